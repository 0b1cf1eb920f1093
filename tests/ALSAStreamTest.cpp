// ALSA::Stream on the virtual board: hardware parameters and their read-back,
// state names, over/under-run detection and recovery, transfer time-outs and
// the thread-priority report.
#include "LoopbackBoard.h"

#include <ALSACapture.h>
#include <ALSADebug.h>
#include <ALSAPlayback.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

namespace {

/// Configures a stream for S32_LE interleaved audio; returns the first failure.
int configure(ALSA::Stream& s, unsigned channels, snd_pcm_uframes_t period, snd_pcm_uframes_t buffer) {
    int err = s.fillParams();
    if (err == 0) err = s.setAccess(SND_PCM_ACCESS_RW_INTERLEAVED);
    if (err == 0) err = s.setFormat(SND_PCM_FORMAT_S32_LE);
    if (err == 0) err = s.setSampleRate(48000);
    if (err == 0) err = s.setChannels(channels);
    if (err == 0) err = s.setPeriodSize(period);
    if (err == 0) err = s.setBufferSize(buffer);
    if (err == 0) err = s.setParams();
    return err;
}

TEST(ALSAStream, ParametersReadBackBeforeAndAfterInstalling) {
    LoopbackBoard board({"--rate", "96000"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    ALSA::Playback p("board_playback");
    ASSERT_TRUE(p.isOpen());
    EXPECT_EQ(p.getDeviceName(), "board_playback");
    EXPECT_EQ(p.getDirection(), SND_PCM_STREAM_PLAYBACK);
    EXPECT_STREQ(p.getStateName(), "OPEN");
    unsigned maxChannels = 0;
    ASSERT_EQ(p.getMaxChannels(maxChannels), 0);
    EXPECT_EQ(maxChannels, 8u);

    EXPECT_EQ(p.getSampleRate(), 0u) << "nothing configured yet";
    ASSERT_EQ(p.fillParams(), 0);
    EXPECT_EQ(p.getSampleRate(), 96000u) << "the board offers one rate only";
    EXPECT_LT(p.setSampleRate(48000), 0) << "a rate the device does not offer is refused";
    ASSERT_EQ(p.setFormat(SND_PCM_FORMAT_S32_LE), 0);
    EXPECT_EQ(p.getFormatPhysicalWidth(), 32);
    ASSERT_EQ(p.setChannels(8), 0);
    ASSERT_EQ(p.setPeriodSize(480), 0);
    ASSERT_EQ(p.setBufferSize(8 * 480), 0);
    EXPECT_FALSE(p.paramsSet());
    ASSERT_EQ(p.setParams(), 0);
    EXPECT_TRUE(p.paramsSet());
    EXPECT_STREQ(p.getStateName(), "PREPARED");

    unsigned rate = 0, channels = 0;
    snd_pcm_uframes_t period = 0, buffer = 0;
    snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
    EXPECT_EQ(p.getSampleRate(rate), 0);
    EXPECT_EQ(rate, 96000u);
    EXPECT_EQ(p.getChannels(channels), 0);
    EXPECT_EQ(channels, 8u);
    EXPECT_EQ(p.getPeriodSize(period), 0);
    EXPECT_EQ(period, 480u);
    EXPECT_EQ(p.getBufferSize(buffer), 0);
    EXPECT_EQ(buffer, 8u * 480u);
    EXPECT_EQ(p.getFormat(format), 0);
    EXPECT_EQ(format, SND_PCM_FORMAT_S32_LE);

    ASSERT_EQ(p.close(), 0);
    EXPECT_FALSE(p.isOpen());
    EXPECT_STREQ(p.getStateName(), "The pcm device isn't open, open first.");
    EXPECT_EQ(p.getSampleRate(rate), ALSA_PCM_NOT_OPEN_ERROR);
    EXPECT_EQ(p.setParams(), ALSA_PCM_NOT_OPEN_ERROR);
}

TEST(ALSAStream, OpenFailureLeavesTheStreamClosed) {
    LoopbackBoard board;
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    ALSA::Capture c;
    EXPECT_LT(c.open("not_a_device"), 0);
    EXPECT_FALSE(c.isOpen());
    EXPECT_EQ(c.getPCM(), nullptr);
    std::vector<int32_t> frames(64 * 2);
    EXPECT_EQ(c.readFrames(frames.data(), 64), ALSA_PCM_NOT_OPEN_ERROR);
    EXPECT_EQ(c.open("board_capture"), 0);
    EXPECT_TRUE(c.isOpen());
}

TEST(ALSAStream, UnderrunIsDetectedAndRecovered) {
    LoopbackBoard board;
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    ALSA::Playback p("board_playback");
    ASSERT_EQ(configure(p, 8, 256, 2048), 0);
    ASSERT_EQ(p.setSWParams(1 << 30, 256), 0);
    const std::vector<int32_t> block(256 * 8, 1000);
    ASSERT_EQ(p.writeFrames(block.data(), 256), 256);
    ASSERT_EQ(p.start(), 0);
    EXPECT_TRUE(p.running());
    EXPECT_STREQ(p.getStateName(), "RUNNING");
    // 5 ms of audio queued, 60 ms waited: the device ran dry.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(p.writeFrames(block.data(), 256), -EPIPE);
    EXPECT_TRUE(p.xrunDetected());
    EXPECT_EQ(p.getXrunCount(), 1u);

    ASSERT_EQ(p.recover(-EPIPE), 0);
    EXPECT_STREQ(p.getStateName(), "PREPARED");
    p.clearXrun();
    EXPECT_FALSE(p.xrunDetected());
    for (int b = 0; b < 4; ++b) // 21 ms queued: room for a slow machine before the next write
        ASSERT_EQ(p.writeFrames(block.data(), 256), 256);
    ASSERT_EQ(p.start(), 0);
    EXPECT_EQ(p.writeFrames(block.data(), 256), 256);
    EXPECT_FALSE(p.xrunDetected());
    EXPECT_EQ(p.drop(), 0);
    EXPECT_STREQ(p.getStateName(), "SETUP");
}

TEST(ALSAStream, OverrunIsDetectedAndRecovered) {
    LoopbackBoard board;
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    ALSA::Capture c("board_capture");
    ASSERT_EQ(configure(c, 2, 256, 1024), 0); // 21 ms of buffer
    std::vector<int32_t> block(256 * 2);
    ASSERT_EQ(c.start(), 0);
    EXPECT_EQ(c.readFrames(block.data(), 256), 256);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(c.readFrames(block.data(), 256), -EPIPE);
    EXPECT_TRUE(c.xrunDetected());
    ASSERT_EQ(c.recover(-EPIPE), 0);
    ASSERT_EQ(c.start(), 0);
    EXPECT_EQ(c.readFrames(block.data(), 256), 256);
    EXPECT_EQ(c.getXrunCount(), 1u);
    EXPECT_NE(c.recover(-EINVAL), 0) << "only over/under-runs and suspends are recoverable";
}

TEST(ALSAStream, StalledDeviceTimesOutInsteadOfHanging) {
    LoopbackBoard board({"--mode", "lockstep"}); // capture waits for a playback that never comes
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    ALSA::Capture c("board_capture");
    ASSERT_EQ(configure(c, 2, 128, 1024), 0);
    c.setTimeout(100);
    ASSERT_EQ(c.start(), 0);
    std::vector<int32_t> block(128 * 2);
    EXPECT_EQ(c.readFrames(block.data(), 128), ALSA_TRANSFER_TIMEOUT_ERROR);
}

TEST(ALSAStream, WritingPastAFullBufferOfAStoppedStreamFailsAtOnce) {
    // A prepared playback that nobody starts: its full buffer never drains, whatever the time-out.
    LoopbackBoard board;
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    ALSA::Playback p("board_playback");
    ASSERT_EQ(configure(p, 8, 256, 1024), 0);
    ASSERT_EQ(p.setSWParams(1 << 30, 256), 0); // started by start() only
    const std::vector<int32_t> out(2048 * 8, 7);
    testing::internal::CaptureStderr();
    EXPECT_EQ(mobutest::finishesWithin(std::chrono::seconds(30), [&] { return p.writeFrames(out.data(), 2048); }),
              -EBADFD);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("the buffer is full and the stream is PREPARED"),
              std::string::npos);
    EXPECT_STREQ(p.getStateName(), "PREPARED");
    EXPECT_FALSE(p.xrunDetected());
    // Once started it takes frames again.
    ASSERT_EQ(p.start(), 0);
    EXPECT_EQ(mobutest::finishesWithin(std::chrono::seconds(30), [&] { return p.writeFrames(out.data(), 256); }), 256);
}

TEST(ALSAStream, LockStepStreamsOfOneProcessLoopBackExactly) {
    LoopbackBoard board({"--mode", "lockstep", "--playback-channels", "2"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    ALSA::Playback p("board_playback");
    ALSA::Capture c("board_capture");
    ASSERT_EQ(configure(p, 2, 64, 512), 0);
    ASSERT_EQ(configure(c, 2, 64, 512), 0);
    ASSERT_EQ(p.setSWParams(1 << 30, 64), 0); // started by start() only
    EXPECT_NE(p.link(c), 0) << "the loop-back can't be linked; the refusal is only returned";
    std::vector<int32_t> out(64 * 2), in(64 * 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int32_t>(i * 1000003u);
    ASSERT_EQ(p.writeFrames(out.data(), 64), 64);
    ASSERT_EQ(c.start(), 0);
    ASSERT_EQ(p.start(), 0);
    ASSERT_EQ(c.readFrames(in.data(), 64), 64);
    EXPECT_EQ(in, out);
}

TEST(ALSAStream, PriorityReportUsesTheStreamTexts) {
    testing::internal::CaptureStdout();
    const int priority = ALSA::Stream::getThreadPriority();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(priority, 0);
    EXPECT_NE(out.find("ALSA::Stream::changeThreadPriority : Current thread policy "), std::string::npos) << out;
    EXPECT_LT(ALSA::Stream::changeThreadPriority(100000), 0) << "above the maximum";
}

} // namespace
