// The virtual board's loop-back PCM (`mobuloop`) as other programs see it:
// aplay and arecord in separate processes, mmap access, float samples, a filter
// plug-in stacked on it, and how it guards its shared memory.
#include "LoopbackBoard.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

template <typename T> void writeRaw(const std::string& path, const std::vector<T>& samples) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(T)));
}

template <typename T> std::vector<T> readRaw(const std::string& path) {
    const std::string bytes = mobutest::readFile(path);
    std::vector<T> samples(bytes.size() / sizeof(T));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(T));
    return samples;
}

/// Interleaved full-range test samples.
std::vector<int32_t> signal(size_t frames, unsigned channels, uint64_t seed = 99) {
    std::vector<int32_t> s(frames * channels);
    for (auto& v : s) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        v = static_cast<int32_t>(seed >> 32);
    }
    return s;
}

/// Options of aplay/arecord for raw interleaved audio at 48 kHz.
std::vector<std::string> rawOptions(const std::string& device, unsigned channels, const char* format, bool mmap) {
    std::vector<std::string> options{"-D", device, "-t", "raw", "-f", format, "-c", std::to_string(channels)};
    options.insert(options.end(), {"-r", "48000"});
    if (mmap) options.push_back("-M");
    return options;
}

/// aplay of a raw file (run through LoopbackBoard::tool).
std::vector<std::string> aplay(const std::string& device, const std::string& file, unsigned channels,
                               const char* format = "S32_LE", bool mmap = false) {
    std::vector<std::string> a{"/usr/bin/aplay", "-q"};
    const auto options = rawOptions(device, channels, format, mmap);
    a.insert(a.end(), options.begin(), options.end());
    a.push_back(file);
    return LoopbackBoard::tool(a);
}

/// arecord of `frames` frames into a raw file (run through LoopbackBoard::tool); not quiet: it
/// announces "Recording ..." on standard error as it starts.
std::vector<std::string> arecord(const std::string& device, const std::string& file, unsigned channels, size_t frames,
                                 const char* format = "S32_LE", bool mmap = false, bool quiet = true) {
    std::vector<std::string> a{"/usr/bin/arecord"};
    if (quiet) a.push_back("-q");
    const auto options = rawOptions(device, channels, format, mmap);
    a.insert(a.end(), options.begin(), options.end());
    a.insert(a.end(), {"-s", std::to_string(frames), file});
    return LoopbackBoard::tool(a);
}

/// The arguments as one shell word each.
std::string shellWords(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& a : args)
        line += "'" + a + "' ";
    return line;
}

/// Runs a command (at most 30 s) with the board's configuration.
mobutest::ProcessResult run(const LoopbackBoard& board, const std::vector<std::string>& args) {
    std::vector<std::string> withTimeout{"/usr/bin/timeout", "30"};
    withTimeout.insert(withTimeout.end(), args.begin(), args.end());
    return mobutest::runProcess(withTimeout, board.environment());
}

TEST(LoopbackPCM, AplayThenArecordAndBothAtOnceLoopBackBitExactInLockStep) {
    LoopbackBoard board({"--mode", "lockstep", "--playback-channels", "2"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    const std::string in = board.directory() + "/in.raw", out = board.directory() + "/out.raw";
    const auto played = signal(9600, 2);
    writeRaw(in, played);

    // One after the other: what was played stays on the loop until it is captured.
    auto r = run(board, aplay("board_playback", in, 2));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(board, arecord("board_capture", out, 2, 9600));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readRaw<int32_t>(out), played);

    // Both at once, in whatever order they get going.
    const auto second = signal(9600, 2, 7);
    writeRaw(in, second);
    r = run(board, {"/bin/sh", "-c",
                    shellWords(arecord("board_capture", out, 2, 9600)) + "& " +
                        shellWords(aplay("board_playback", in, 2)) + "; wait $!"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readRaw<int32_t>(out), second);
}

TEST(LoopbackPCM, MmapAccessAndFloatSamples) {
    LoopbackBoard board({"--mode", "lockstep", "--playback-channels", "2"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    const std::string in = board.directory() + "/in.raw", out = board.directory() + "/out.raw";
    std::vector<float> played(2 * 4800);
    for (size_t i = 0; i < played.size(); ++i)
        played[i] = static_cast<float>(std::sin(0.001 * i * i) * 0.9);
    // Full scale, beyond it, and a value below one integer step.
    played[0] = 1.0f, played[1] = -1.0f, played[2] = 0.5f, played[3] = 1e-10f, played[4] = 2.0f, played[5] = -3.0f;
    writeRaw(in, played);

    auto r = run(board, aplay("board_playback", in, 2, "FLOAT_LE", true));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(board, arecord("board_capture", out, 2, 4800, "FLOAT_LE", true));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readRaw<float>(out), played) << "float to float is exact";

    r = run(board, aplay("board", in, 2, "FLOAT_LE"));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(board, arecord("board", out, 2, 4800, "S32_LE", true));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto captured = readRaw<int32_t>(out);
    ASSERT_EQ(captured.size(), played.size());
    EXPECT_EQ(captured[0], INT32_MAX) << "+1.0 saturates";
    EXPECT_EQ(captured[1], INT32_MIN);
    EXPECT_EQ(captured[2], 1 << 30);
    EXPECT_EQ(captured[3], 0);
    EXPECT_EQ(captured[4], INT32_MAX);
    EXPECT_EQ(captured[5], INT32_MIN);
    for (size_t i = 6; i < played.size(); ++i)
        ASSERT_EQ(captured[i], static_cast<int32_t>(std::nearbyint(static_cast<double>(played[i]) * 2147483648.0)))
            << "sample " << i;
}

TEST(LoopbackPCM, FilterPluginStacksOnTheLoopBack) {
    LoopbackBoard board({"--mode", "lockstep", "--capture-channels", "8"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.addConfig(std::string("pcm_type.mobufanout { lib \"") + MOBU_PCM_FANOUT_LIB +
                    "\" }\n"
                    "pcm.fanout { type mobufanout slave.pcm \"board_playback\" channels 8 }\n");
    const std::string in = board.directory() + "/in.raw", out = board.directory() + "/out.raw";
    const auto stereo = signal(4800, 2);
    writeRaw(in, stereo);
    auto r = run(board, aplay("fanout", in, 2));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(board, arecord("board_capture", out, 8, 4800));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto captured = readRaw<int32_t>(out);
    ASSERT_EQ(captured.size(), 4800u * 8);
    for (size_t f = 0; f < 4800; ++f)
        for (size_t m = 0; m < 8; ++m)
            ASSERT_EQ(captured[f * 8 + m], stereo[f * 2 + m % 2]) << "frame " << f << " channel " << m;
}

TEST(LoopbackPCM, RealTimeAcrossProcessesIsBitExact) {
    LoopbackBoard board({"--playback-channels", "2"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    const std::string in = board.directory() + "/in.raw", out = board.directory() + "/out.raw";
    const std::string log = board.directory() + "/arecord.log";
    const auto played = signal(4800, 2); // 0.1 s
    writeRaw(in, played);
    // Play once the capture runs (arecord announces itself as it starts); capture 3 s,
    // so that a slow start of aplay (a loaded machine, a sanitizer) still ends in time.
    const auto record = arecord("board_capture", out, 2, 3 * 48000, "S32_LE", false, false);
    const auto r = run(board, {"/bin/sh", "-c",
                               shellWords(record) + "2>'" + log + "' & i=0; until grep -q Recording '" + log +
                                   "' || [ $i -ge 1000 ]; do sleep 0.01; i=$((i+1)); done; sleep 0.05; " +
                                   shellWords(aplay("board_playback", in, 2)) + "; wait $!"});
    ASSERT_EQ(r.status, 0) << r.err << mobutest::readFile(log);
    const auto captured = readRaw<int32_t>(out);
    ASSERT_EQ(captured.size(), 3u * 48000u * 2);
    size_t start = 0;
    while (start < captured.size() && captured[start] == 0)
        ++start;
    ASSERT_LT(start + played.size(), captured.size()) << "the signal did not arrive in time";
    EXPECT_EQ(start % 2, 0u);
    EXPECT_TRUE(std::equal(played.begin(), played.end(), captured.begin() + static_cast<long>(start)));
    EXPECT_TRUE(std::all_of(captured.begin() + static_cast<long>(start + played.size()), captured.end(),
                            [](int32_t v) { return v == 0; }));
}

/// Opens a PCM by name in this process: 0 or alsa-lib's code.
int openPCM(const char* name, snd_pcm_stream_t stream, snd_pcm_t** pcm) {
    *pcm = nullptr;
    return snd_pcm_open(pcm, name, stream, 0);
}

TEST(LoopbackPCM, OneProcessPerDirectionAndDeadOwnersAreTakenOver) {
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    snd_pcm_t* first = nullptr;
    snd_pcm_t* second = nullptr;
    ASSERT_EQ(openPCM("board_playback", SND_PCM_STREAM_PLAYBACK, &first), 0);
    EXPECT_EQ(openPCM("board_playback", SND_PCM_STREAM_PLAYBACK, &second), -EBUSY);
    snd_pcm_t* capture = nullptr;
    EXPECT_EQ(openPCM("board_capture", SND_PCM_STREAM_CAPTURE, &capture), 0) << "the other direction is free";
    snd_pcm_close(capture);
    snd_pcm_close(first);
    ASSERT_EQ(openPCM("board_playback", SND_PCM_STREAM_PLAYBACK, &second), 0);
    snd_pcm_close(second);

    // A process that dies holding the playback side does not block it for ever.
    const pid_t child = fork();
    if (child == 0) {
        snd_pcm_t* held = nullptr;
        _exit(snd_pcm_open(&held, "board_playback", SND_PCM_STREAM_PLAYBACK, 0) == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(openPCM("board_playback", SND_PCM_STREAM_PLAYBACK, &second), 0);
    snd_pcm_close(second);
}

TEST(LoopbackPCM, DefinitionsAreCheckedAgainstEachOtherAndTheirFields) {
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    const std::string shm = board.shmName();
    board.addConfig("pcm.other_rate { type mobuloop shm \"" + shm +
                    "\" mode \"lockstep\" rate 96000 playback_channels 8 capture_channels 2 }\n"
                    "pcm.unknown_field { type mobuloop shm \"x\" rate 48000 playback_channels 2 capture_channels 2 "
                    "colour \"red\" }\n"
                    "pcm.no_shm { type mobuloop rate 48000 playback_channels 2 capture_channels 2 }\n"
                    "pcm.bad_mode { type mobuloop shm \"x\" mode \"fast\" rate 48000 playback_channels 2 "
                    "capture_channels 2 }\n"
                    "pcm.nan_noise { type mobuloop shm \"x\" rate 48000 playback_channels 2 capture_channels 2 "
                    "noise_db -nan }\n" // alsa-lib reads -nan as a real
                    "pcm.bad_polynomial { type mobuloop shm \"x\" rate 48000 playback_channels 2 "
                    "capture_channels 2 polynomial \"1 0.1x\" }\n"
                    "pcm.far_loopback { type mobuloop shm \"x\" rate 48000 playback_channels 2 "
                    "capture_channels 2 loopback_channel 2 }\n"
                    "pcm.bad_room { type mobuloop shm \"" +
                    shm +
                    "\" mode \"lockstep\" rate 48000 playback_channels 8 capture_channels 2 "
                    "room \"/nonexistent.wav\" }\n");
    board.use();
    snd_pcm_t* pcm = nullptr;
    snd_pcm_t* other = nullptr;
    ASSERT_EQ(openPCM("board_playback", SND_PCM_STREAM_PLAYBACK, &pcm), 0);
    EXPECT_EQ(openPCM("other_rate", SND_PCM_STREAM_CAPTURE, &other), -EINVAL) << "the segment is in use at 48 kHz";
    snd_pcm_close(pcm);
    // Nobody uses it any more: it is made again for the new rate.
    ASSERT_EQ(openPCM("other_rate", SND_PCM_STREAM_CAPTURE, &other), 0);
    unsigned rate = 0;
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(other, params);
    EXPECT_EQ(snd_pcm_hw_params_get_rate(params, &rate, nullptr), 0);
    EXPECT_EQ(rate, 96000u);
    snd_pcm_close(other);

    for (const char* name : {"unknown_field", "no_shm", "bad_mode", "nan_noise", "bad_polynomial", "far_loopback"})
        EXPECT_EQ(openPCM(name, SND_PCM_STREAM_PLAYBACK, &pcm), -EINVAL) << name;
    EXPECT_LT(openPCM("bad_room", SND_PCM_STREAM_CAPTURE, &pcm), 0) << "a room that can't be read";
}

} // namespace

namespace {

// aplay reports an underrun's length from the status's trigger time stamp: on the wall clock,
// as a sound card gives it, the length is the stall's, not the time since 1970.
TEST(LoopbackPCM, AnUnderrunIsReportedWithTheStallsLength) {
    LoopbackBoard board({"--mode", "realtime"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    mobutest::Child aplay(LoopbackBoard::tool({"/usr/bin/aplay", "-D", "board_playback", "-t", "raw", "-f", "S32_LE",
                                               "-c", "8", "-r", "48000", "-d", "30", "/dev/zero"}),
                          board.environment());
    const auto underrun = [&] { return aplay.errorSoFar().find("underrun!!!") != std::string::npos; };
    // Stalls of a second (twice aplay's buffer) until one has been reported: the first may come
    // before the stream has started.
    for (int stalls = 0; stalls < 20 && !underrun(); ++stalls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        aplay.signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        aplay.signal(SIGCONT);
        for (int i = 0; i < 200 && !underrun(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    aplay.signal(SIGINT);
    const auto r = aplay.wait(std::chrono::seconds(60));
    const size_t at = r.err.find("underrun!!! (at least ");
    ASSERT_NE(at, std::string::npos) << r.err;
    const double ms = std::atof(r.err.c_str() + at + std::strlen("underrun!!! (at least "));
    EXPECT_GT(ms, 0.0) << r.err;
    EXPECT_LT(ms, 600000.0) << r.err;
}

} // namespace
