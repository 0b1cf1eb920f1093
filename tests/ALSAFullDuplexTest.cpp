// ALSA::FullDuplex<int> driving the virtual board's loop-back: a known signal
// played through it comes back bit-exact after a constant delay (lock-step and
// real time), through a room it comes back as the convolution with the
// room's impulse response, and noise comes at the configured level.
#include "LoopbackBoard.h"

#include <ALSAFullDuplex.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace {

using Block = Eigen::Array<int, Eigen::Dynamic, Eigen::Dynamic>;

/// Deterministic full-range 32-bit samples (extremes included).
Block testSignal(Eigen::Index frames, Eigen::Index channels, int shift = 0) {
    Block s(frames, channels);
    uint64_t state = 12345;
    for (Eigen::Index f = 0; f < frames; ++f)
        for (Eigen::Index c = 0; c < channels; ++c) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            s(f, c) = static_cast<int32_t>(state >> 32) >> shift;
        }
    s(0, 0) = INT32_MIN;
    s(1, 0) = INT32_MAX;
    return s;
}

/** Plays `signal` block by block from the second process() call on (the first
 * only sizes the blocks) and keeps every captured block; ends after `blocks`
 * blocks have been captured. */
class LoopRecorder : public ALSA::FullDuplex<int> {
public:
    LoopRecorder(const Block& signal, Eigen::Index n, Eigen::Index captureChannels, int blocks,
                 const char* playback = "board_playback")
        : FullDuplex<int>(playback, "board_capture"), signal(signal), n(n), captureChannels(captureChannels),
          blocks(blocks), recorded(Block::Zero(n * blocks, captureChannels)) {}

    /// Sets up another measurement (block size and length) on the same streams.
    void measureAgain(Eigen::Index blockSize, int blockCount) {
        n = blockSize;
        blocks = blockCount;
        recorded.setZero(n * blocks, captureChannels);
        calls = xruns = 0;
        silentInputAtOverrun = true;
    }

    int process() override {
        if (calls > 0) {
            recorded.middleRows((calls - 1) * n, n) = inputAudio;
            if (xrunDetected()) {
                ++xruns;
                if (Capture::xrunDetected() && (inputAudio != 0).any()) silentInputAtOverrun = false;
            }
        } else {
            inputAudio.setZero(n, captureChannels);
            outputAudio.setConstant(n, signal.cols(), 0x5a5a5a5a); // never played
            return ++calls > blocks ? 1 : 0;
        }
        if (stallAtCall == calls) std::this_thread::sleep_for(std::chrono::milliseconds(150));
        outputAudio.setZero();
        const Eigen::Index first = (calls - 1) * n;
        if (first < signal.rows()) {
            const Eigen::Index count = std::min(n, signal.rows() - first);
            outputAudio.topRows(count) = signal.middleRows(first, count);
        }
        return ++calls > blocks ? 1 : 0;
    }

    const Block signal;
    Eigen::Index n;
    const Eigen::Index captureChannels;
    int blocks;
    Block recorded;
    int calls = 0;
    int xruns = 0;
    bool silentInputAtOverrun = true; ///< every call that saw a capture overrun had a silent inputAudio
    int stallAtCall = -1;
};

/// Frames by which the capture lags the output of process(): the pre-fill plus the device's delay.
Eigen::Index loopDelay(const LoopRecorder& r, Eigen::Index deviceDelay = 0) {
    return r.getPrefillBlocks() * r.n + deviceDelay;
}

void expectLoopedBack(const LoopRecorder& r, Eigen::Index delay) {
    const Eigen::Index frames = std::min(r.signal.rows(), r.recorded.rows() - delay);
    ASSERT_GT(frames, 0);
    EXPECT_TRUE((r.recorded.topRows(delay) == 0).all()) << "something arrived before the delay";
    for (Eigen::Index c = 0; c < r.captureChannels; ++c)
        EXPECT_TRUE((r.recorded.col(c).segment(delay, frames) == r.signal.col(c).head(frames)).all())
            << "capture channel " << c << " differs from playback channel " << c;
}

TEST(ALSAFullDuplex, LockStepLoopBackIsBitExactAfterAConstantDelay) {
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    const Eigen::Index n = 256;
    const Block signal = testSignal(20 * n + 37, 8);
    for (int run = 0; run < 2; ++run) { // a second run on the same board behaves the same
        LoopRecorder r(signal, n, 2, 26);
        EXPECT_EQ(r.go(), 1);
        EXPECT_EQ(r.getPrefillBlocks(), 4);
        EXPECT_EQ(r.xruns, 0);
        expectLoopedBack(r, loopDelay(r));
    }
}

/** Every captured block is either silence (its frames were dropped by a restart)
 * or exactly the signal `delay` frames earlier.  Returns how many blocks from
 * `fromBlock` on carried the signal. */
int blocksAtTheDelay(const LoopRecorder& r, Eigen::Index delay, int fromBlock) {
    int carried = 0;
    for (int b = 0; b < r.blocks; ++b) {
        const auto got = r.recorded.middleRows(b * r.n, r.n);
        if ((got == 0).all()) continue;
        Block expected = Block::Zero(r.n, r.captureChannels);
        for (Eigen::Index f = 0; f < r.n; ++f) {
            const Eigen::Index source = b * r.n + f - delay;
            if (source >= 0 && source < r.signal.rows()) expected.row(f) = r.signal.row(source).head(r.captureChannels);
        }
        EXPECT_TRUE((got == expected).all())
            << "captured block " << b << " is not the signal " << delay << " frames earlier";
        if (b >= fromBlock) ++carried;
    }
    return carried;
}

TEST(ALSAFullDuplex, GoAgainWithAnotherBlockSizeLoopsBackWithTheNewBlocks) {
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    const Block signal = testSignal(20 * 256 + 37, 8);
    LoopRecorder r(signal, 256, 2, 26);
    // A recorder measuring with one block size, then a larger one, then the first again.
    const std::pair<Eigen::Index, int> runs[] = {{256, 26}, {4096, 10}, {256, 26}};
    for (const auto& [n, blocks] : runs) {
        r.measureAgain(n, blocks);
        EXPECT_EQ(mobutest::finishesWithin(std::chrono::seconds(60), [&] { return r.go(); }), 1) << "N = " << n;
        snd_pcm_uframes_t period = 0, buffer = 0;
        EXPECT_EQ(r.Playback::getPeriodSize(period), 0);
        EXPECT_EQ(r.Playback::getBufferSize(buffer), 0);
        EXPECT_EQ(period, static_cast<snd_pcm_uframes_t>(n)) << "N = " << n;
        // The board's buffer ends at 16384 frames: four blocks of 4096.
        EXPECT_EQ(r.getPrefillBlocks(), std::min<int>(4, static_cast<int>(buffer / period))) << "N = " << n;
        EXPECT_EQ(r.xruns, 0);
        expectLoopedBack(r, loopDelay(r));
    }
}

TEST(ALSAFullDuplex, BlocksTheDeviceBufferCannotHoldAreRefused) {
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    LoopRecorder r(Block::Zero(1, 8), 24000, 2, 4); // the board's buffer holds 16384 frames
    testing::internal::CaptureStderr();
    const int ret = mobutest::finishesWithin(std::chrono::seconds(60), [&] { return r.go(); });
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ret, -EINVAL);
    EXPECT_EQ(r.calls, 1) << "nothing runs after the sizing call";
    EXPECT_NE(err.find("buffer of 16384 frames can't hold two blocks of 24000 frames"), std::string::npos) << err;
    EXPECT_NE(std::string(r.Playback::getStateName()), "RUNNING");
}

TEST(ALSAFullDuplex, RealTimeLoopBackIsBitExactAfterAConstantDelay) {
    LoopbackBoard board; // real time is the default
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    const Eigen::Index n = 480;
    // A loaded machine can make a real-time device over- or under-run, which says nothing
    // about the loop: such a run is made again (a few times), and the loop must come back
    // bit exact in a run without one.
    for (int attempt = 0;; ++attempt) {
        LoopRecorder r(testSignal(12 * n, 8), n, 2, 18); // 0.18 s
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(r.go(), 1);
        // Paced by the clock: 18 blocks of 10 ms (not a timing test: only "not as fast as possible").
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
        if (r.xruns != 0 && attempt < 4) continue;
        EXPECT_EQ(r.xruns, 0) << "in each of " << attempt + 1 << " runs";
        expectLoopedBack(r, loopDelay(r));
        break;
    }
}

TEST(ALSAFullDuplex, ConfiguredExtraDelayIsAddedToTheLoop) {
    LoopbackBoard board({"--mode", "lockstep", "--delay", "100"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    LoopRecorder r(testSignal(8 * 128, 8), 128, 2, 14);
    EXPECT_EQ(r.go(), 1);
    expectLoopedBack(r, loopDelay(r, 100));
}

TEST(ALSAFullDuplex, RoomCaptureIsTheConvolutionOfEveryChannelWithItsImpulseResponse) {
    // An 8-column impulse response longer than the convolver's direct part, so both
    // of its paths (direct taps and FFT partitions) are exercised.
    const std::string dir = mobutest::makeTempDir("room");
    const std::string irFile = dir + "/room.wav";
    const Eigen::Index taps = 700, channels = 8;
    Eigen::MatrixXd ir(taps, channels);
    for (Eigen::Index c = 0; c < channels; ++c)
        for (Eigen::Index t = 0; t < taps; ++t)
            ir(t, c) = 0.4 * std::exp(-t / 150.0) * std::cos(0.05 * t * (c + 1) + c) * (t >= 3 * c ? 1.0 : 0.0);
    {
        Sox<double> out;
        ASSERT_EQ(out.openWrite(irFile, 48000, channels, ir.cwiseAbs().maxCoeff(), 32), 0);
        ASSERT_GT(out.write(ir), 0);
        out.closeWrite();
    }
    // The response exactly as the plug-in will read it.
    Sox<double> in;
    ASSERT_GE(in.openRead(irFile), 0);
    Sox<double>::Matrix h;
    ASSERT_EQ(in.read(h), taps);
    in.closeRead();

    LoopbackBoard board({"--mode", "lockstep", "--room", irFile});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    const Eigen::Index n = 256;
    const Block signal = testSignal(10 * n, channels, 4); // 1/16 of full scale: the sum stays in range
    LoopRecorder r(signal, n, 2, 16);
    ASSERT_EQ(r.go(), 1);

    const Eigen::Index delay = loopDelay(r);
    long double worst = 0;
    for (Eigen::Index t = 0; t < r.recorded.rows() - delay; ++t) {
        long double y = 0;
        for (Eigen::Index c = 0; c < channels; ++c)
            for (Eigen::Index k = 0; k < taps && k <= t; ++k)
                if (t - k < signal.rows()) y += static_cast<long double>(h(k, c)) * signal(t - k, c);
        ASSERT_LT(std::fabs(y), 2147483647.0L) << "reference out of range at " << t;
        for (Eigen::Index m = 0; m < 2; ++m)
            worst = std::max(worst, std::fabs(static_cast<long double>(r.recorded(t + delay, m)) - y));
    }
    EXPECT_LE(worst, 1.0L) << "largest difference from the direct convolution, in LSB";
    EXPECT_TRUE((r.recorded.topRows(delay) == 0).all());
    mobutest::removeTree(dir);
}

TEST(ALSAFullDuplex, NoiseComesAtTheConfiguredLevel) {
    LoopbackBoard board({"--mode", "lockstep", "--noise-db", "-40"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    LoopRecorder r(Block::Zero(1, 8), 512, 2, 60); // silence in, 30720 frames of noise out
    ASSERT_EQ(r.go(), 1);
    for (Eigen::Index c = 0; c < 2; ++c) {
        const double rms = std::sqrt((r.recorded.col(c).cast<double>() / 2147483648.0).square().mean());
        EXPECT_NEAR(20 * std::log10(rms), -40.0, 1.0) << "channel " << c;
    }
    // Independent per channel.
    const Eigen::ArrayXd a = r.recorded.col(0).cast<double>(), b = r.recorded.col(1).cast<double>();
    EXPECT_LT(std::fabs((a * b).mean()) / std::sqrt(a.square().mean() * b.square().mean()), 0.05);
}

TEST(ALSAFullDuplex, PlaybackUnderrunIsRecoveredWithTheSameDelay) {
    LoopbackBoard board; // real time: a stalled process() lets the playback run dry
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    const Eigen::Index n = 256; // 4 blocks of pre-fill = 21 ms, the stall is 150 ms
    const int blocks = 24;
    LoopRecorder r(testSignal(blocks * n, 8), n, 2, blocks);
    r.stallAtCall = 5;
    EXPECT_EQ(r.go(), 1);
    EXPECT_GE(r.xruns, 1);
    EXPECT_EQ(r.calls, blocks + 1) << "the run goes on after the recovery";
    // The blocks in flight at the underrun are lost; the rest arrive at the same delay.
    EXPECT_GT(blocksAtTheDelay(r, loopDelay(r), r.stallAtCall), 0) << "nothing arrived after the recovery";
}

TEST(ALSAFullDuplex, CaptureOverrunIsRecoveredWithASilentInput) {
    // A playback that never runs dry (the null device) and a real-time capture
    // that overruns while process() stalls; the capture hears noise, so a silent
    // block is one the overrun replaced.
    LoopbackBoard board({"--noise-db", "-40"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    const Eigen::Index n = 256; // capture buffer 8 x 256 frames = 43 ms, the stall is 150 ms
    LoopRecorder r(Block::Zero(1, 8), n, 2, 20, "null");
    r.stallAtCall = 5;
    testing::internal::CaptureStderr();
    EXPECT_EQ(r.go(), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GE(r.xruns, 1);
    EXPECT_NE(err.find("overrun when reading"), std::string::npos) << err;
    EXPECT_TRUE(r.silentInputAtOverrun);
    int silentBlocks = 0;
    for (int b = 0; b < r.blocks; ++b)
        silentBlocks += (r.recorded.middleRows(b * n, n) == 0).all() ? 1 : 0;
    EXPECT_EQ(silentBlocks, r.xruns) << "only the blocks lost to an overrun are silent";
    EXPECT_EQ(r.calls, 21) << "the run goes on after the recovery";
    EXPECT_EQ(r.getPrefillBlocks(), 4);
}

/// A process() that returns at once, or leaves the blocks in a shape the loop can't use.
class Misbehaving : public ALSA::FullDuplex<int> {
public:
    explicit Misbehaving(int mode) : FullDuplex<int>("board"), mode(mode) {}
    int process() override {
        ++calls;
        switch (mode) {
        case 0:
            return 7; // nothing to do
        case 1:
            return 0; // never sizes the blocks
        default:
            inputAudio.setZero(calls == 1 ? 64 : 32, 2); // shrinks them while running
            outputAudio.setZero(64, 8);
            return calls > 50 ? 1 : 0;
        }
    }
    const int mode;
    int calls = 0;
};

TEST(ALSAFullDuplex, GoStopsCleanlyWhenProcessEndsOrMisshapesTheBlocks) {
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    {
        Misbehaving m(0);
        EXPECT_EQ(m.go(), 7);
        EXPECT_EQ(m.calls, 1);
        EXPECT_STREQ(m.Playback::getStateName(), "OPEN") << "no transfer before process() allowed it";
    }
    {
        Misbehaving m(1);
        EXPECT_EQ(m.go(), ALSA_BLOCK_SHAPE_ERROR);
    }
    {
        Misbehaving m(2);
        EXPECT_EQ(m.go(), ALSA_BLOCK_SHAPE_ERROR);
        EXPECT_EQ(m.calls, 2);
    }
}

TEST(ALSAFullDuplex, UnopenedDevicesAreReportedNotUsed) {
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    class Recorder : public ALSA::FullDuplex<int> {
    public:
        Recorder() : FullDuplex<int>("board_playback", "no_such_device") {}
        int process() override {
            inputAudio.setZero(64, 2);
            outputAudio.setZero(64, 8);
            return 0;
        }
    } r;
    EXPECT_FALSE(r.Capture::isOpen());
    EXPECT_TRUE(r.Playback::isOpen());
    EXPECT_STREQ(r.Capture::getStateName(), "The pcm device isn't open, open first.");
    EXPECT_EQ(r.go(), ALSA_PCM_NOT_OPEN_ERROR);
}

} // namespace
