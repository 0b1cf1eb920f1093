// The chirp recorder on the virtual board: queued channels measured highest first and
// recorded bit-exact after the loop's delay (lock-step and real time), all-left and
// all-right selection, shaping by the measurement filter or the band limit, a stop
// that clears the interrupted channel, metering records in the FIFO, and a recording
// through a room that is the played chirp convolved with the room.
#include "LoopbackBoard.h"

#include <MobuEmbedded/ChirpRecorder.h>

#include <ALSADebug.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <memory>
#include <thread>
#include <set>
#include <vector>

namespace {

constexpr Eigen::Index F = 4800; // frames per period

/// The recorder with a view of what each period played: a bit mask of the output columns
/// carrying signal, and an optional stop requested from inside a given period.
class Recorder : public ChirpRecorder {
public:
    explicit Recorder(const char* device = "board") : ChirpRecorder(device) {
        masks.reserve(4000);
        watched.reserve(4000);
    }

    int process() override {
        // A lock-step run never waits: at real-time priority it would starve every other test.
        if (getRunCall() == 0 && normalPriority) {
            sched_param normal{};
            pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
        }
        const int ret = ChirpRecorder::process();
        if (getRunCall() > 1 && masks.size() < masks.capacity()) {
            int mask = 0;
            for (Eigen::Index c = 0; c < outputAudio.cols(); ++c)
                if ((outputAudio.col(c).array() != 0).any()) mask |= 1 << c;
            masks.push_back(mask);
        }
        if (watchColumn >= 0 && watched.size() < watched.capacity()) watched.push_back(getMaxVal(watchColumn));
        if (getRunCall() == stopIn) stop();
        calls.store(getRunCall(), std::memory_order_release);
        return getRunCall() == failIn ? -EIO : ret;
    }
    /// A period length no caller can set (setFrameCount refuses it).
    void forceFrameCount(int frames) { frameCount = frames; }

    /// The masks of the periods that played something, in order, with repeats collapsed.
    std::vector<int> playedInOrder() const {
        std::vector<int> order;
        for (int m : masks)
            if (m != 0 && (order.empty() || order.back() != m)) order.push_back(m);
        return order;
    }

    std::vector<int> masks;
    int watchColumn = -1; ///< the column whose getMaxVal the audio thread notes after every period
    std::vector<double> watched;
    int stopIn = -1;
    int failIn = -1;            ///< the period whose process() fails as a device error would
    bool normalPriority = true; ///< false: keep the recorder's real-time priority (real-time board)
    std::atomic<int> calls{0};
};

class ChirpRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = mobutest::makeTempDir("chirp");
        home = mobutest::testHome();
        MobuCommon::setStatusFile(dir + "/status.json");
        mobutest::removeTree(home + "/.asoundrc");
        mobutest::removeTree(home + "/.mobu/fir-measure.wav");
        mobutest::removeTree(home + "/.mobu/guard.json");
    }
    void TearDown() override {
        // The recorder raises the thread that makes it to real-time priority.
        sched_param normal{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
        board.reset();
        mobutest::removeTree(dir);
    }

    void makeBoard(std::vector<std::string> options) {
        board = std::make_unique<LoopbackBoard>(options);
        ASSERT_TRUE(board->ok()) << board->generator().err;
        board->use();
    }

    /** A room of one tap per playback channel: the microphone hears the sum of the channels times these
     * gains (a gain of 1 is stored as 1 - 2^-31, so a channel comes back to within 1 LSB). */
    std::string gainRoom(const std::vector<double>& gains) {
        Eigen::MatrixXd ir =
            Eigen::Map<const Eigen::RowVectorXd>(gains.data(), static_cast<Eigen::Index>(gains.size()));
        return writeWav("room.wav", ir);
    }

    std::string writeWav(const std::string& name, const Eigen::MatrixXd& data) {
        const std::string path = dir + "/" + name;
        Sox<double> out;
        EXPECT_EQ(out.openWrite(path, 48000, static_cast<int>(data.cols()), 1.0, 64), 0); // 64-bit float: exact
        EXPECT_GT(out.write(data), 0);
        out.closeWrite();
        return path;
    }

    /// What column c of chirps sends: truncated to integers, silence after the end.
    static double sent(const ChirpRecorder& r, Eigen::Index k, Eigen::Index c) {
        return k < r.chirps.rows() ? static_cast<double>(static_cast<int>(r.chirps(k, c))) : 0.0;
    }

    /// The loop's delay: first non-zero recorded sample minus first non-zero sent sample.
    static Eigen::Index delayOf(const ChirpRecorder& r, Eigen::Index column, Eigen::Index played) {
        Eigen::Index m = 0, s = 0;
        while (m < r.microphones.rows() && r.microphones(m, column) == 0.0)
            ++m;
        while (s < r.chirps.rows() && sent(r, s, played) == 0.0)
            ++s;
        return m - s;
    }

    /// Recorded column `column` is `played` sent with `delay` (within `lsb`), and nothing after the channel's end.
    static void expectDelayedCopy(const ChirpRecorder& r, Eigen::Index column, Eigen::Index played, Eigen::Index delay,
                                  double lsb = 0.0) {
        const Eigen::Index end = r.chirps.rows() + 2 * F;
        int wrong = 0;
        for (Eigen::Index m = delay; m < r.microphones.rows() && wrong < 5; ++m) {
            const double want = m < end ? sent(r, m - delay, played) : 0.0;
            if (std::fabs(r.microphones(m, column) - want) > lsb) {
                ADD_FAILURE() << "column " << column << " row " << m << ": " << r.microphones(m, column) << " not "
                              << want;
                ++wrong;
            }
        }
    }

    std::string status() const { return mobutest::readFile(dir + "/status.json"); }

    std::string dir, home;
    std::unique_ptr<LoopbackBoard> board;
};

TEST_F(ChirpRecorderTest, ChannelArgumentsAreRangeChecked) {
    makeBoard({"--mode", "lockstep", "--playback-channels", "4", "--capture-channels", "2"});
    Recorder r;
    EXPECT_EQ(r.getFS(), 48000.0);
    EXPECT_EQ(r.getFrameCount(), F);
    EXPECT_EQ(r.getMaxPlayCh(), 4);
    EXPECT_EQ(r.getMaxRecCh(), 2);
    for (int bad : {-3, 4, 1000})
        EXPECT_EQ(r.setPlayCh(bad), -1350) << bad;
    EXPECT_EQ(r.getPlayChCnt(), 0);
    EXPECT_EQ(r.setPlayCh(-1), 0);
    EXPECT_EQ(r.N[0], 0u);
    EXPECT_EQ(r.getPlayCh(), r.getAllLeftChIndex());
    EXPECT_EQ(r.setRecCh(0), 0);
    EXPECT_EQ(r.setRecCh(2), -1350);
    EXPECT_EQ(r.setRecCh(-1), -1350);
    for (int frames : {0, -100, CR_MAX_FRAME_COUNT + 1, std::numeric_limits<int>::max()})
        EXPECT_EQ(r.setFrameCount(frames), CR_FRAME_COUNT_ERROR) << frames;
    EXPECT_EQ(r.getFrameCount(), F) << "unchanged";
    EXPECT_EQ(r.setFrameCount(CR_MAX_FRAME_COUNT), 0);

    EXPECT_EQ(r.getRecordedChannelCnt(), -1302) << "no recordings yet";
    r.microphones = Eigen::MatrixXd::Zero(10, 3);
    r.microphones(4, 1) = 1e-13;
    r.microphones(2, 2) = -0.5;
    EXPECT_EQ(r.isChannelEmpty(1), 1);
    EXPECT_EQ(r.isChannelEmpty(2), 0);
    EXPECT_EQ(r.getRecordedChannelCnt(), 1);
    EXPECT_EQ(r.getMaxVal(2), 0.5);
    for (unsigned out : {3u, 100u}) {
        EXPECT_EQ(r.isChannelEmpty(out), -1302);
        EXPECT_EQ(r.zeroChannel(out), -1302);
        EXPECT_EQ(r.getMaxVal(out), -1.0);
    }
    EXPECT_EQ(r.zeroChannel(2), 2);
    EXPECT_EQ(r.getRecordedChannelCnt(), 0);
}

class QueuedChannels : public ChirpRecorderTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(QueuedChannels, PlayHighestFirstAndComeBackBitExact) {
    // Every channel reaches the microphone through a room of one unit tap (exact to 1 LSB).
    makeBoard({"--mode", GetParam(), "--room", gainRoom({1.0})});
    const bool lockstep = std::string(GetParam()) == "lockstep";
    // In real time a loaded machine can make the devices over- or under-run: the recorder reports
    // it and that recording has a gap, which says nothing about the recorder.  Such a run is made
    // again (a few times); a lock-step board never runs over.
    std::unique_ptr<Recorder> measured;
    int ret = 0;
    std::string out;
    for (int attempt = 0; attempt < 3; ++attempt) {
        measured.reset(); // the board's devices are held by one recorder at a time
        measured = std::make_unique<Recorder>();
        measured->normalPriority = lockstep;
        ASSERT_EQ(measured->setPlayCh(1), 0);
        ASSERT_EQ(measured->setPlayCh(3), 0);
        testing::internal::CaptureStdout();
        ret = measured->go();
        out = testing::internal::GetCapturedStdout();
        if (lockstep || measured->getXrunCount() == 0) break;
        std::fprintf(stderr, "%d over/under-runs on a loaded machine: measuring again\n", measured->getXrunCount());
    }
    Recorder& r = *measured;
    if (lockstep) {
        EXPECT_EQ(r.getXrunCount(), 0);
    }
    if (r.getXrunCount() > 0) GTEST_SKIP() << "every real-time attempt over/under-ran: the machine is too loaded";
    EXPECT_EQ(ret, 1) << "the last channel's end ends the run";
    EXPECT_EQ(r.playedInOrder(), (std::vector<int>{1 << 3, 1 << 1}));
    EXPECT_NE(out.find("ChirpRecorder::process : setting channel 1 for playback next"), std::string::npos);
    EXPECT_EQ(r.getRecordedChannelCnt(), 2);
    const Eigen::Index delay = delayOf(r, 3, 3);
    if (lockstep) {
        EXPECT_EQ(delay, r.getPrefillBlocks() * F) << "the pre-fill";
    }
    ASSERT_GT(delay, 0);
    ASSERT_LT(delay, 2 * F + r.chirp.rows());
    expectDelayedCopy(r, 3, 3, delay, 1.0);
    expectDelayedCopy(r, 1, 1, delay, 1.0); // measured second, after the same delay
    EXPECT_EQ(status(), R"({"error" : "","message" : "Chirping ... done.","progressMax" : 0,"progress" : 0})");
    EXPECT_FALSE(r.getForceStopState());
}

INSTANTIATE_TEST_SUITE_P(Board, QueuedChannels, ::testing::Values("lockstep", "realtime"));

TEST_F(ChirpRecorderTest, AllLeftOrAllRightChannelsAtOnce) {
    // All left through the plain loop-back (the microphone is playback channel 0, bit-exact); all
    // right through a room in which the microphone hears channel 1 alone (exact to 1 LSB).
    struct Case {
        int select, mask, column;
        Eigen::Index heard;
        double lsb;
    };
    for (const Case& c : {Case{-1, 0b0101, 0, 0, 0.0}, Case{-2, 0b1010, 1, 1, 1.0}}) {
        std::vector<std::string> options{"--mode", "lockstep", "--playback-channels", "4"};
        if (c.select == -2) options.insert(options.end(), {"--room", gainRoom({0, 1, 0, 0})});
        makeBoard(options);
        Recorder r;
        ASSERT_EQ(r.setPlayCh(c.select), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(r.go(), 1);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("No FIFO path found in ALSA config"), std::string::npos) << "no FIFO configured";
        EXPECT_EQ(r.playedInOrder(), std::vector<int>{c.mask}) << c.select;
        EXPECT_EQ(r.getRecordedChannelCnt(), 1);
        expectDelayedCopy(r, c.column, c.heard, r.getPrefillBlocks() * F, c.lsb);
    }
}

/// The DFT of x at k cycles per its length (a direct sum in long double).
std::complex<double> binOf(const Eigen::Ref<const Eigen::VectorXd>& x, double k) {
    std::complex<long double> sum = 0;
    for (Eigen::Index n = 0; n < x.size(); ++n)
        sum += static_cast<long double>(x(n)) * std::polar(1.0L, -2.0L * M_PIl * k * n / x.size());
    return std::complex<double>(sum);
}

TEST_F(ChirpRecorderTest, ChirpsAreShapedByTheMeasurementFilterOrBandLimited) {
    // Each column goes through the file's filter when the file has that column, and through the
    // band limit (flat from 20 Hz, from 400 Hz for channels 6 and 7) when it has not or when more
    // than one channel is queued; the played peak is 0.99 of the chirp's.  The shaping is read off
    // a steady period of the played column over the chirp, at whole hertz (a period is 48000
    // samples), against closed forms: the file's two taps of 0.5 are cos(pi f / fs), the band
    // limit is 0 dB within 1 dB from its edge up and at least 60 dB down at a third below it.
    struct Case {
        Eigen::Index fileColumns; // 0: no file
        std::vector<int> queue;
    };
    const double fs = 48000.0, P = 48000;
    for (const Case& c : {Case{0, {2}}, Case{8, {2}}, Case{3, {6, 1}}}) {
        const Eigen::MatrixXd h = Eigen::MatrixXd::Constant(2, std::max<Eigen::Index>(c.fileColumns, 1), 0.5);
        mobutest::removeTree(home + "/.mobu/fir-measure.wav");
        if (c.fileColumns > 0) {
            mkdir((home + "/.mobu").c_str(), 0700);
            Sox<double> out;
            ASSERT_EQ(out.openWrite(home + "/.mobu/fir-measure.wav", 48000, static_cast<int>(h.cols()), 1.0, 64), 0);
            ASSERT_GT(out.write(h), 0);
            out.closeWrite();
        }
        makeBoard({"--mode", "lockstep"});
        Recorder r;
        for (int q : c.queue)
            ASSERT_EQ(r.setPlayCh(q), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.go(), 1);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(r.chirps.rows(), 9 * P);
        ASSERT_EQ(r.chirp.rows(), P);
        EXPECT_NEAR(r.chirps.cwiseAbs().maxCoeff(), 0.99 * r.chirp.abs().maxCoeff(), 1e-6 * r.chirp.abs().maxCoeff());

        for (Eigen::Index ch = 0; ch < 8; ++ch) {
            SCOPED_TRACE(std::to_string(c.fileColumns) + " file columns, channel " + std::to_string(ch));
            const bool filtered = ch < c.fileColumns, limited = !filtered || c.queue.size() > 1;
            const double edge = ch < 6 ? 20.0 : 400.0;
            const auto shapingDB = [&](double f) {
                const double file = filtered ? std::cos(M_PI * f / fs) : 1.0;
                const std::complex<double> g =
                    binOf(r.chirps.col(ch).segment(2 * P, P), f) / binOf(r.chirp.matrix(), f);
                return 20.0 * std::log10(std::abs(g) / file);
            };
            const double reference = shapingDB(1000.0);
            for (double f : {20.0, 30.0, 50.0, 100.0, 400.0, 5000.0, 20000.0})
                if (!limited || f >= edge) {
                    EXPECT_NEAR(shapingDB(f), reference, 1.0) << f << " Hz";
                }
            if (limited && ch >= 6) {
                for (double f : {50.0, 300.0}) {
                    EXPECT_LT(shapingDB(f), reference - 60.0) << f << " Hz, tweeter protection";
                }
            }
        }
    }
}

TEST_F(ChirpRecorderTest, TheOutputGuardShapesWhatPlaysAndARefusedGuardPlaysNothing) {
    // Output 6 guarded by an 8th-order high-pass at 1 kHz and -12 dBFS: the sweep recorded back
    // from it is at least 40 dB down an octave below (against 4 kHz, over the reference chirp) and
    // peaks at most at -12 dBFS.  A guard file that can't be used fails the run before it plays.
    const double P = 48000;
    mkdir((home + "/.mobu").c_str(), 0700);
    mobutest::writeFile(
        home + "/.mobu/guard.json",
        R"({"outputs": [{"output": 6, "highpass": {"frequency": 1000, "order": 8}, "maxLevel": -12}]})");
    makeBoard({"--mode", "lockstep", "--room", gainRoom(std::vector<double>(8, 1.0))});
    {
        Recorder r;
        ASSERT_EQ(r.setPlayCh(6), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.go(), 1);
        testing::internal::GetCapturedStdout();
        const Eigen::VectorXd heard = r.microphones.col(6).segment(3 * P, P);
        const auto gainDB = [&](double f) {
            return 20.0 * std::log10(std::abs(binOf(heard, f) / binOf(r.chirp.matrix(), f)));
        };
        EXPECT_LE(gainDB(500.0), gainDB(4000.0) - 40.0);
        EXPECT_LE(r.microphones.col(6).cwiseAbs().maxCoeff(), 2147483648.0 * std::pow(10.0, -12.0 / 20.0) + 1.0);
        EXPECT_GT(r.microphones.col(6).cwiseAbs().maxCoeff(), 2147483648.0 * std::pow(10.0, -13.0 / 20.0));
    }
    mobutest::writeFile(home + "/.mobu/guard.json", R"({"outputs": [{"output": 6, "highpass": {"frequency": "x"}}]})");
    Recorder r;
    ASSERT_EQ(r.setPlayCh(6), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(r.go(), -1380);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.getRunCall(), 0) << "nothing played";
    EXPECT_NE(err.find("guard.json"), std::string::npos) << err;
    EXPECT_NE(status().find("guard.json"), std::string::npos) << status();
    EXPECT_NE(status().find("frequency"), std::string::npos) << "the key: " << status();
}

TEST_F(ChirpRecorderTest, StopEndsTheRunAtTheNextPeriodAndClearsThatChannel) {
    for (int stopIn : {3, 30}) {
        makeBoard({"--mode", "lockstep"});
        Recorder r;
        r.stopIn = stopIn;
        ASSERT_EQ(r.setPlayCh(0), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.go(), 1);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.getRunCall(), stopIn + 1);
        EXPECT_NE(out.find("Forced to stop early, clearing captured audio data for channel 0."), std::string::npos);
        EXPECT_EQ(r.isChannelEmpty(0), 1);
        EXPECT_TRUE(r.getForceStopState()) << "stays set after the run";
        r.resetForceStopState();
        EXPECT_FALSE(r.getForceStopState());
    }
    // A stop that arrives while the chirps are prepared ends the run before anything plays.
    makeBoard({"--mode", "lockstep"});
    Recorder r;
    ASSERT_EQ(r.setPlayCh(0), 0);
    r.stop();
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.go(), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.getRunCall(), 0) << "no period played";
    EXPECT_NE(status().find("Stopped before chirping."), std::string::npos) << status();
}

TEST_F(ChirpRecorderTest, AFailedRunSaysSoAndClearsTheHalfRecordedChannel) {
    // Blocks without frames (refused before the streams start), and a device error in the
    // middle of the channel: the code comes back, the status file has its error, and the
    // channel that was being recorded reads as empty.
    struct Case {
        int frames, failIn, code;
        const char* text;
    };
    for (const Case& c : {Case{0, -1, ALSA_BLOCK_SHAPE_ERROR, "The capture and playback blocks need"},
                          Case{static_cast<int>(F), 20, -EIO, "Input/output error"}}) {
        makeBoard({"--mode", "lockstep", "--room", gainRoom({1.0})});
        Recorder r;
        r.forceFrameCount(c.frames);
        r.failIn = c.failIn;
        ASSERT_EQ(r.setPlayCh(3), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(r.go(), c.code);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.getRunResult(), c.code);
        const std::string st = status();
        EXPECT_EQ(st.find(R"({"error" : "ChirpRecorder: the measurement failed with error )" + std::to_string(c.code) +
                          ": " + c.text),
                  0u)
            << st;
        EXPECT_NE(st.find(R"("message" : "Chirping ... done.")"), std::string::npos) << st;
        EXPECT_EQ(r.isChannelEmpty(3), 1) << c.code;
    }
}

TEST_F(ChirpRecorderTest, StopFromAnotherThreadEndsARunOnTheRecordersThread) {
    makeBoard({"--mode", "realtime"});
    Recorder r;
    r.normalPriority = false;
    ASSERT_EQ(r.setPlayCh(0), 0);
    ASSERT_EQ(r.run(0), 0);
    EXPECT_TRUE(r.threadRunning());
    while (r.calls.load(std::memory_order_acquire) < 30)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(r.running());
    EXPECT_EQ(r.stop(), 0);
    const int stoppedAt = r.calls.load(std::memory_order_acquire);
    ASSERT_EQ(r.join(), 0);
    EXPECT_FALSE(r.threadRunning());
    EXPECT_FALSE(r.running());
    EXPECT_LE(r.getRunCall(), stoppedAt + 2);
    EXPECT_EQ(r.isChannelEmpty(0), 1) << "the interrupted channel is cleared";
    EXPECT_TRUE(r.getForceStopState());
}

TEST_F(ChirpRecorderTest, PollingFromAnotherThreadDuringAThreadedRun) {
    // The user interface reads the channel and the recorded peaks while the run moves on (the
    // peaks only grow, and end as those of the recordings), and can't queue, clear a channel,
    // write the stacked file or start a second run meanwhile; Thread::stop() ends the run like
    // stop() does.
    makeBoard({"--mode", "lockstep", "--room", gainRoom({1.0})});
    Recorder r;
    ASSERT_EQ(r.setPlayCh(2), 0);
    ASSERT_EQ(r.setPlayCh(6), 0);
    ASSERT_EQ(r.run(0), 0);
    std::set<int> seen;
    bool tried = false, refused = false, secondRunRefused = false, peaksGrow = true;
    double peak6 = -1.0; // no recording yet
    while (r.threadRunning()) {
        seen.insert(r.getPlayCh());
        if (!tried && r.running()) { // once: a second run that wasn't refused would really run
            tried = true;
            refused = r.setPlayCh(0) == -EBUSY && r.zeroChannel(2) == -EBUSY && r.setFrameCount(2400) == -EBUSY &&
                      r.stackDataToFile((dir + "/stacked.wav").c_str()) == -EBUSY;
            secondRunRefused = r.go() == -EBUSY;
        }
        const double now = r.getMaxVal(6);
        peaksGrow &= now >= peak6;
        peak6 = std::max(peak6, now);
        r.isChannelEmpty(6);
        r.getRecordedChannelCnt();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_EQ(r.join(), 0);
    EXPECT_EQ(r.getRunResult(), 1);
    EXPECT_EQ(seen, (std::set<int>{2, 6}));
    EXPECT_TRUE(refused) << "queueing during a run";
    EXPECT_TRUE(secondRunRefused) << "a run on this thread during the threaded one";
    EXPECT_TRUE(peaksGrow);
    EXPECT_EQ(peak6, r.getMaxVal(6));
    EXPECT_EQ(r.getRecordedChannelCnt(), 2);

    ASSERT_EQ(r.setPlayCh(1), 0);
    ASSERT_EQ(r.run(0), 0);
    while (r.calls.load() < 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(static_cast<Thread&>(r).stop(), 0);
    EXPECT_TRUE(r.getForceStopState());
    EXPECT_EQ(r.isChannelEmpty(1), 1);
}

TEST_F(ChirpRecorderTest, PeaksReadDuringARunAreThoseOfTheRecordings) {
    // Read on the audio thread after every period, where a run answers from the peaks it keeps
    // rather than from the matrix it writes: at the end they are the recordings' own, also when
    // two recordings share a column (all right channels, then channel 1, both into column 1).
    struct Case {
        std::vector<int> queue;
        int column;
    };
    for (const Case& c : {Case{{3}, 3}, Case{{1, -2}, 1}}) {
        makeBoard({"--mode", "lockstep", "--playback-channels", "4", "--room", gainRoom({0, 0.5, 0, 0.5})});
        Recorder r;
        r.watchColumn = c.column;
        for (const int ch : c.queue)
            ASSERT_EQ(r.setPlayCh(ch), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(r.go(), 1);
        testing::internal::GetCapturedStderr();
        ASSERT_FALSE(r.watched.empty());
        EXPECT_GT(r.watched.back(), 0.0) << c.column;
        EXPECT_EQ(r.watched.back(), r.getMaxVal(static_cast<unsigned>(c.column))) << c.column;
    }
}

TEST_F(ChirpRecorderTest, MeteringRecordsGoToTheConfiguredFifo) {
    // ~/.asoundrc names the FIFO with a tilde; one reader takes every record, the other none.
    mobutest::writeFile(home + "/.asoundrc", "MobuFullDuplexFIR { fifopath \"~/meter.fifo\" }\n");
    const std::string fifo = home + "/meter.fifo";
    for (bool reading : {true, false}) {
        mobutest::removeTree(fifo);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0660), 0);
        const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        makeBoard({"--mode", "lockstep", "--room", gainRoom({1.0})});
        Recorder r;
        ASSERT_EQ(r.setPlayCh(5), 0);
        std::atomic<bool> done{false};
        std::vector<std::array<int, CR_METER_CNT>> records;
        std::thread reader([&] {
            std::array<int, CR_METER_CNT> record{};
            while (reading && !done.load()) {
                if (read(fd, record.data(), sizeof record) == static_cast<ssize_t>(sizeof record))
                    records.push_back(record);
                else
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        testing::internal::CaptureStderr();
        EXPECT_EQ(r.go(), 1);
        const std::string err = testing::internal::GetCapturedStderr();
        done = true;
        reader.join();
        EXPECT_NE(err.find("ChirpRecorder::ensureMeteringFifoOpen: using FIFO " + fifo), std::string::npos) << err;
        EXPECT_TRUE(r.getMeteringFifoPath().empty()) << "open during a run only";
        std::array<int, CR_METER_CNT> record{};
        if (!reading) { // only the first period's record: nothing is written while one waits
            ASSERT_EQ(read(fd, record.data(), sizeof record), static_cast<ssize_t>(sizeof record));
            records.push_back(record);
            EXPECT_LT(read(fd, record.data(), sizeof record), 1);
            ASSERT_EQ(records.size(), 1u);
        } else {
            ASSERT_GT(records.size(), 10u);
        }
        close(fd);
        std::array<int, CR_METER_CNT> peaks{};
        for (const auto& rec : records) {
            for (int w = 0; w < 4; ++w)
                EXPECT_EQ(rec[w], w);
            for (int w = 4; w < CR_METER_CNT; ++w)
                peaks[w] = std::max(peaks[w], rec[w]);
        }
        if (reading) {
            const int played = static_cast<int>(r.chirps.col(5).cwiseAbs().maxCoeff()); // truncated as sent
            EXPECT_EQ(peaks[6 + 5], played);
            EXPECT_EQ(peaks[4], static_cast<int>(r.microphones.col(5).cwiseAbs().maxCoeff()));
            EXPECT_EQ(peaks[5], peaks[4]) << "the room reaches both capture channels";
        }
        for (int ch = 0; ch < 8; ++ch)
            if (ch != 5 || !reading) {
                EXPECT_EQ(peaks[6 + ch], 0) << "channel " << ch;
            }
    }
}

TEST_F(ChirpRecorderTest, AFifoPathNamingAPlainFileIsNotWrittenTo) {
    mobutest::writeFile(home + "/.asoundrc", "MobuFullDuplexFIR { fifopath \"~/notes.txt\" }\n");
    mobutest::writeFile(home + "/notes.txt", "keep me");
    makeBoard({"--mode", "lockstep"});
    Recorder r;
    ASSERT_EQ(r.setPlayCh(0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(r.go(), 1) << "the run goes on unmetered";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("open failed for " + home + "/notes.txt: not a FIFO"), std::string::npos) << err;
    EXPECT_EQ(mobutest::readFile(home + "/notes.txt"), "keep me");
    EXPECT_EQ(r.isChannelEmpty(0), 0);
}

TEST_F(ChirpRecorderTest, RecordingThroughARoomIsTheSentChirpConvolvedWithIt) {
    const Eigen::Index taps = 200;
    Eigen::MatrixXd ir(taps, 1);
    for (Eigen::Index t = 0; t < taps; ++t)
        ir(t, 0) = 0.04 * std::exp(-t / 40.0) * std::cos(0.3 * t) * (t >= 5 ? 1.0 : 0.0); // gain below 1
    const std::string room = writeWav("room.wav", ir);
    Sox<double> in; // the response as the board reads it (the file holds it to 32 bits)
    ASSERT_GE(in.openRead(room), 0);
    ASSERT_EQ(in.read(ir), taps);
    makeBoard({"--mode", "lockstep", "--room", room});
    Recorder r;
    ASSERT_EQ(r.setPlayCh(4), 0);
    EXPECT_EQ(r.go(), 1);
    const Eigen::Index delay = r.getPrefillBlocks() * F;
    // Around the first chirp's start and across a chirp boundary (where the sweep is at its highest).
    double worst = 0;
    for (Eigen::Index from : {Eigen::Index(0), r.chirp.rows() - 5000})
        for (Eigen::Index k = from; k < from + 10000; ++k) {
            long double y = 0;
            for (Eigen::Index t = 0; t < taps && t <= k; ++t)
                y += static_cast<long double>(ir(t, 0)) * sent(r, k - t, 4);
            ASSERT_LT(std::fabs(y), 2147483647.0L) << "the room must not clip";
            worst = std::max(worst, static_cast<double>(std::fabs(y - r.microphones(delay + k, 4))));
        }
    EXPECT_LE(worst, 1.0) << "LSB";
}

} // namespace
