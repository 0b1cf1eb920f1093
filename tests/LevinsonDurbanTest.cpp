// Impulse identification: the solver against an independent Toeplitz solution, known
// systems recovered from the chirp (noise-free, noisy, delayed and aligned), period
// averaging, the error paths, the threaded run, and the peak, window and alignment rules.
#include <FrequencyWindow.h>
#include <LevinsonDurban.h>
#include <MobuEmbedded/Calibration.h>
#include <MobuEmbedded/ChirpRecorder.h>

#include "LoopbackBoard.h"
#include "TestSupport.h"

#include <Sox.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <iomanip>
#include <limits>
#include <sstream>
#include <random>
#include <set>
#include <thread>

namespace {

using Column = Eigen::VectorXd;

Column randomColumn(Eigen::Index n, unsigned seed, double scale = 1.0) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> g(0.0, scale);
    Column v(n);
    for (Eigen::Index i = 0; i < n; ++i)
        v(i) = g(gen);
    return v;
}

/// Circular convolution of x with h delayed by `delay`, in the time domain.
Column circularConvolution(const Column& x, const Column& h, Eigen::Index delay = 0) {
    const Eigen::Index L = x.size();
    Column y = Column::Zero(L);
    for (Eigen::Index k = 0; k < h.size(); ++k)
        for (Eigen::Index n = 0; n < L; ++n)
            y((n + k + delay) % L) += h(k) * x(n);
    return y;
}

/// Error energy of a model relative to the true one, in dB.
double errorDB(const Column& model, const Column& truth) {
    return 10.0 * std::log10((model - truth).squaredNorm() / truth.squaredNorm());
}

/// A decaying random FIR.
Column decayingFIR(Eigen::Index taps, unsigned seed) {
    Column h = randomColumn(taps, seed);
    for (Eigen::Index k = 0; k < taps; ++k)
        h(k) *= std::exp(-4.0 * k / taps);
    return h;
}

class Identification : public ::testing::Test {
protected:
    void SetUp() override {
        dir = mobutest::makeTempDir("ld");
        MobuCommon::setStatusFile(dir + "/status.json");
        calibration.generateChirp();
    }
    void TearDown() override { mobutest::removeTree(dir); }

    /// A measurement whose recordings are the chirp train through h (delayed), plus noise of that RMS.
    void record(const Column& h, Eigen::Index delay, double noise = 0.0) {
        calibration.generateChirps(1);
        const Eigen::Index P = calibration.chirp.rows();
        const Column period = circularConvolution(calibration.chirp.matrix(), h, delay);
        const Column n = randomColumn(calibration.microphones.rows(), 7, noise);
        for (Eigen::Index r = 0; r < calibration.microphones.rows(); ++r)
            calibration.microphones(r, 0) = period(r % P) + n(r);
    }

    std::string dir;
    Calibration calibration;
};

TEST_F(Identification, SolverEqualsAnIndependentToeplitzSolution) {
    const Eigen::Index L = 8192;
    const Column x = randomColumn(L, 1), y = circularConvolution(x, decayingFIR(64, 2)) + randomColumn(L, 3, 0.1);
    const std::string xFile = dir + "/x.txt", yFile = dir + "/y.txt";
    std::ofstream(xFile) << std::setprecision(17) << x;
    std::ofstream(yFile) << std::setprecision(17) << y;
    const std::vector<int> lengths{1, 2, 3, 17, 256, 1000, 4096};
    // numpy's correlations and scipy's Toeplitz solver, one model per line.
    const std::string script = "import sys, numpy as np, scipy.linalg as la\n"
                               "x = np.loadtxt(sys.argv[1]); y = np.loadtxt(sys.argv[2]); L = len(x)\n"
                               "X = np.fft.fft(x); Y = np.fft.fft(y)\n"
                               "r = np.real(np.fft.ifft(X * np.conj(X))); c = np.real(np.fft.ifft(Y * np.conj(X)))\n"
                               "for n in map(int, sys.argv[3:]):\n"
                               "    print(' '.join(repr(v) for v in la.solve_toeplitz(r[:n], c[:n])))\n";
    std::vector<std::string> argv{mobutest::referencePython(), "-c", script, xFile, yFile};
    for (int n : lengths)
        argv.push_back(std::to_string(n));
    const auto py = mobutest::runProcess(argv);
    ASSERT_EQ(py.status, 0) << py.err;
    std::istringstream lines(py.out);
    LevinsonDurban ld;
    for (int n : lengths) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << n;
        std::istringstream values(line);
        Column want(n);
        for (int k = 0; k < n; ++k)
            values >> want(k);
        const Column got = ld.getImpulseModelCoreCore(n, x, y);
        ASSERT_EQ(got.size(), n);
        EXPECT_LE((got - want).norm() / want.norm(), 1e-8) << "N = " << n;
    }
}

TEST_F(Identification, KnownSystemsComeBackFromTheChirp) {
    const Column x = calibration.chirp.matrix();
    struct Case {
        Eigen::Index taps;
        double snrDB, worstDB;
    };
    for (const Case& c : {Case{256, 0, -100}, Case{4096, 0, -100}, Case{1024, 40, -30}}) {
        const Column h = decayingFIR(c.taps, 5);
        Column y = circularConvolution(x, h);
        if (c.snrDB > 0)
            y += randomColumn(y.size(), 9, std::sqrt(y.squaredNorm() / y.size()) * std::pow(10.0, -c.snrDB / 20));
        LevinsonDurban ld;
        const Column got = ld.getImpulseModelCoreCore(static_cast<int>(c.taps), x, y);
        ASSERT_EQ(got.size(), c.taps);
        EXPECT_LE(errorDB(got, h), c.worstDB) << c.taps << " taps, SNR " << c.snrDB;
    }
}

TEST_F(Identification, AlignedMeasurementGivesTheTimeOfFlight) {
    // The stacked window starts one sample before the second period: the response arrives one
    // sample later than its delay; alignment puts the arrival 144 samples (3 ms) in.
    const Eigen::Index P = calibration.chirp.rows();
    Column h = 0.1 * decayingFIR(300, 11); // a direct sound, then a weaker tail
    h(0) = 1.0;
    for (Eigen::Index delay : {Eigen::Index(1000), Eigen::Index(20), Eigen::Index(30000)}) {
        record(h, delay, 1e-3 * calibration.chirp.abs().maxCoeff());
        LevinsonDurban ld;
        ASSERT_EQ(ld.getImpulseModel(&calibration, 1024, 0, true, 48000.0f, 0.0, 0.0), 0);
        const Eigen::Index want = ((delay + 1 - 144) % P + P) % P;
        EXPECT_LE(std::abs(ld.getTOF(0) - want), 2) << "delay " << delay;
        // The identified response has the direct sound 144 samples in (give or take the tof's error).
        Eigen::Index off = ((want - ld.getTOF(0)) % P + P) % P;
        if (off > P / 2) off -= P;
        ASSERT_LE(std::abs(off), 2);
        Column aligned(1024), truth = Column::Zero(1024);
        for (int k = 0; k < 1024; ++k)
            aligned(k) = ld.getH(k, 0);
        truth.segment(144 + off, 300) = h;
        EXPECT_LE(errorDB(aligned, truth), -30.0) << "delay " << delay;
    }
    EXPECT_EQ(mobutest::readFile(dir + "/status.json"),
              R"({"error" : "","message" : "Identifying ... done ","progressMax" : 0,"progress" : 0})");
}

TEST_F(Identification, StackingAveragesThePeriodsFromOneSampleBeforeTheSecond) {
    Eigen::MatrixXd x = Eigen::MatrixXd::Constant(12, 1, 1.0), y(12, 2);
    for (int r = 0; r < 12; ++r)
        y.row(r) << r, 100 + r;
    EXPECT_EQ(LevinsonDurban::stackData(3, 5, x, y), 0); // K = 2 periods from row 2: rows 2-4 and 5-7
    EXPECT_EQ(x.rows(), 3);
    ASSERT_EQ(y.rows(), 3);
    EXPECT_EQ(y.col(0), (Column(3) << 3.5, 4.5, 5.5).finished());
    EXPECT_EQ(y(0, 1), 103.5);

    struct Case {
        int P, M, xCols, code;
    };
    for (const Case& c :
         {Case{0, 9, 1, 0}, Case{3, 3, 1, LEVINSONDURBAN_PERIOD_COUNT_ERROR},
          Case{3, 8, 1, LEVINSONDURBAN_PERIOD_COUNT_ERROR}, Case{3, 5, 2, LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR}}) {
        Eigen::MatrixXd a = Eigen::MatrixXd::Ones(12, c.xCols), b = Eigen::MatrixXd::Ones(12, 3);
        EXPECT_EQ(LevinsonDurban::stackData(c.P, c.M, a, b), c.code) << c.P << " " << c.M;
        EXPECT_EQ(a.rows(), 12) << "unchanged";
        EXPECT_EQ(b.rows(), 12) << "unchanged";
    }
}

TEST_F(Identification, FailuresAreReportedWithTheirTexts) {
    LevinsonDurban ld;
    const auto reported = [](const std::function<int()>& call, int code, const std::string& text) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(call(), code);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(text), std::string::npos) << err;
    };
    // Rates: the first file sets the rate, a second at another rate is refused.
    for (auto [name, rate] : {std::pair<const char*, double>{"a.wav", 48000}, {"b.wav", 44100}}) {
        Sox<double> out;
        ASSERT_EQ(out.openWrite(dir + "/" + name, rate, 1, 1.0, 64), 0);
        out.write(Eigen::MatrixXd::Constant(16, 1, 0.25));
        out.closeWrite();
    }
    EXPECT_EQ(ld.loadReference(dir + "/a.wav"), 0);
    EXPECT_EQ(ld.getFS(), 48000.0f);
    EXPECT_EQ(ld.getXN(), 16);
    reported([&] { return ld.loadResponse(dir + "/b.wav"); }, LEVINSONDURBAN_FS_MISMATCH_ERROR,
             "Sample rate doesn't match that of the previously loaded signal  when loading the response signal.");
    ld.reset();
    EXPECT_EQ(ld.loadResponse(dir + "/b.wav"), 0);
    EXPECT_EQ(ld.getFS(), 44100.0f) << "a first load adopts its rate";

    ld.reset();
    for (unsigned r = 0; r < 8; ++r) {
        ld.loadReference(r == 0 ? 1.0 : 0.0, r, 0, 8, 1);
        for (unsigned c = 0; c < 2; ++c)
            ld.loadResponse(1.0, r, c, 8, 2);
    }
    reported([&] { return ld.getImpulseModelCore(4, 2); }, LEVINSONDURBAN_CHANNEL_COUNT_ERROR,
             "Channel 2 requested, with reference channel count=1 and response channel count=2");
    reported([&] { return ld.getImpulseModelCore(9, 0); }, LEVINSONDURBAN_MODEL_LENGTH_ERROR, "N=9");
    reported([&] { return ld.alignDataTime(0.0f, 0, 0.0, 0.0); }, LEVINSONDURBAN_FS_VAL_ERROR, "invalid sample rate");
    reported([&] { return ld.alignDataTime(48000.0f, 2, 0.0, 0.0); }, LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR,
             "invalid speaker index");
    reported([&] { return ld.getTOF(0); }, LEVINSONDURBAN_CHANNEL_COUNT_ERROR, "Have you run getImpulseModel yet ?");
    EXPECT_EQ(ld.getTOF(-1), LEVINSONDURBAN_CHANNEL_COUNT_ERROR);
    ld.loadResponse(1.0, 0, 0, 9, 2);
    reported([&] { return ld.getImpulseModelCore(4, 0); }, LEVINSONDURBAN_N_MISMATCH_ERROR,
             "different lengths.  when deconvolving the signals.");
    // A silent reference has no model: an error, never non-finite taps.
    const Column silent = Column::Zero(64);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ld.getImpulseModelCoreCore(8, silent, randomColumn(64, 1)).size(), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error : -206"), std::string::npos);

    // Nothing to identify (a silent response column, a measurement without recordings), arguments
    // that are not numbers, and a matrix beyond the size limit: codes, and nothing changed.
    LevinsonDurban quiet;
    for (unsigned r = 0; r < 8; ++r) {
        quiet.loadReference(r == 0 ? 1.0 : 0.0, r, 0, 8, 1);
        quiet.loadResponse(r == 3 ? 1.0 : 0.0, r, 0, 8, 2); // column 1 stays silent
    }
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    reported([&] { return quiet.getImpulseModelCore(4, 1); }, LEVINSONDURBAN_NO_SIGNAL_ERROR, "channel 1 is silent");
    reported([&] { return quiet.alignDataTime(48000.0f, 1, 0.0, 0.0); }, LEVINSONDURBAN_NO_SIGNAL_ERROR,
             "channel 1 is silent");
    reported([&] { return quiet.getImpulseModel(4, 0, true, static_cast<float>(inf), 0.0, 0.0); },
             LEVINSONDURBAN_NOT_FINITE_ERROR, "not a finite number");
    reported([&] { return quiet.alignDataTime(48000.0f, 0, nan, 0.0); }, LEVINSONDURBAN_NOT_FINITE_ERROR,
             "when aligning");
    reported([&] { return quiet.loadResponse(1.0, 0, 0, 1u << 12, (1u << 11) + 1); }, LEVINSONDURBAN_SIZE_ERROR,
             "larger than LEVINSONDURBAN_MAX_SAMPLES");
    reported(
        [&] {
            Calibration unrecorded;
            return quiet.getImpulseModel(&unrecorded, 4, 0, false, 48000.0f, 0.0, 0.0);
        },
        LEVINSONDURBAN_NO_SIGNAL_ERROR, "no reference chirp or no recordings");
    EXPECT_EQ(quiet.getYN(), 8);
    EXPECT_EQ(quiet.getTOF(1), LEVINSONDURBAN_CHANNEL_COUNT_ERROR) << "no made-up time of flight";
    EXPECT_EQ(quiet.getImpulseModelCore(4, 0), 0) << "the recorded column is identified";
    EXPECT_NEAR(quiet.getH(3, 0), 1.0, 1e-9);

    for (auto [row, col] : {std::pair<int, int>{-1, 0}, {0, -1}, {0, 0}, {100, 0}})
        EXPECT_TRUE(std::isnan(ld.getH(row, col))) << row << "," << col << " (h is empty)";
    EXPECT_TRUE(std::isnan(ld.getX(8, 0)));
    EXPECT_TRUE(std::isnan(ld.getY(0, 2)));
    EXPECT_EQ(ld.getX(0, 0), 1.0);
}

TEST_F(Identification, SecondRunRewritesOnlyItsColumnAndThreadedRunsReport) {
    const Column x = randomColumn(4096, 3), h0 = decayingFIR(32, 4), h1 = decayingFIR(32, 5);
    const Column y0 = circularConvolution(x, h0), y1 = circularConvolution(x, h1);
    LevinsonDurban ld;
    for (Eigen::Index r = 0; r < x.size(); ++r) {
        ld.loadReference(x(r), r, 0, 4096, 1);
        ld.loadResponse(y0(r), r, 0, 4096, 2);
        ld.loadResponse(y1(r), r, 1, 4096, 2);
    }
    ASSERT_EQ(ld.getImpulseModel(32), 0);
    EXPECT_NEAR(ld.getH(5, 1), h1(5), 1e-9);
    for (Eigen::Index r = 0; r < x.size(); ++r)
        ld.loadResponse(-y0(r), r, 0, 4096, 2);
    ASSERT_EQ(ld.getImpulseModelCore(32, 0), 0);
    EXPECT_NEAR(ld.getH(5, 0), -h0(5), 1e-9);
    EXPECT_NEAR(ld.getH(5, 1), h1(5), 1e-9) << "the other column is kept";
    ld.zeroH(1);
    EXPECT_EQ(ld.getH(5, 1), 0.0);

    // On the object's thread: running while it works, the result and both status messages after.
    record(decayingFIR(200, 6), 500);
    std::atomic<bool> stop{false};
    std::set<std::string> seen;
    std::thread poller([&] {
        while (!stop)
            seen.insert(mobutest::readFile(dir + "/status.json"));
    });
    ASSERT_EQ(ld.getImpulseModelThreaded(&calibration, 4096, 0, true, 48000.0f, 1000.0, 0.7), 0);
    const bool wasRunning = ld.isGetImpulseModelRunning();
    while (ld.isGetImpulseModelRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    poller.join();
    seen.insert(mobutest::readFile(dir + "/status.json")); // the last write may follow the poller's last read
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(ld.getImpulseModelResult(), 0);
    EXPECT_EQ(ld.getHLength(), 4096);
    for (const char* message : {"Identifying ... final stage ", "Identifying ... done "})
        EXPECT_EQ(seen.count(std::string(R"({"error" : "","message" : ")") + message +
                             R"(","progressMax" : 0,"progress" : 0})"),
                  1u)
            << message;
    EXPECT_TRUE(mobutest::exists("/tmp/yFiltered-0-1000.csv")) << "the band window's debug file";
}

TEST(Alignment, PeakIsTheEarliestOfTheThreeHighestThreeMillisecondsBack) {
    struct Case {
        const char* what;
        std::vector<std::pair<int, double>> peaks; // index, height over a zero floor
        bool rising;                               // a monotonic envelope instead
        int want;
    };
    const int n = 4800;
    for (const Case& c :
         {Case{"one sharp peak", {{1000, 1.0}}, false, 1000 - 144},
          Case{"earliest of three, though lowest", {{900, 0.5}, {1500, 1.0}, {2000, 0.8}}, false, 900 - 144},
          Case{"a fourth-highest earlier peak is ignored",
               {{300, 0.1}, {900, 0.5}, {1500, 1.0}, {2000, 0.8}},
               false,
               900 - 144},
          Case{"equal peaks rank by index", {{700, 1.0}, {800, 1.0}, {900, 1.0}, {1000, 1.0}}, false, 700 - 144},
          Case{"wraps around", {{100, 1.0}}, false, 100 - 144 + n},
          Case{"monotonic: the global maximum", {}, true, n - 1 - 144}}) {
        Eigen::VectorXd e = Eigen::VectorXd::Zero(n);
        if (c.rising) e = Eigen::VectorXd::LinSpaced(n, 0.0, 1.0);
        for (auto [at, v] : c.peaks)
            e(at) = v;
        double value = 0;
        int index = -1;
        computePeakIndices(e, 48000.0f, n, value, index);
        EXPECT_EQ(index, c.want) << c.what;
    }
}

TEST(Alignment, GaussianWindowIsOneAtTheCentreAndHalfPowerAnOctaveAway) {
    const Eigen::Index n = 48000; // 1 Hz bins
    Eigen::VectorXd w;
    const Eigen::VectorXd s = randomColumn(n, 1);
    const Eigen::VectorXd filtered = applyGaussianFrequencyWindow(s, 48000.0f, 1000.0, &w);
    ASSERT_EQ(w.size(), n);
    EXPECT_EQ(filtered.size(), n);
    EXPECT_EQ(w(0), 0.0);
    EXPECT_NEAR(w(1000), 1.0, 1e-12);
    EXPECT_NEAR(w(2000), 1.0 / std::sqrt(2.0), 1e-9);
    EXPECT_NEAR(w(500), 1.0 / std::sqrt(2.0), 1e-9);
    EXPECT_EQ(w(n - 1000), w(1000)) << "negative frequencies alike";
    applyGaussianFrequencyWindow(s, 48000.0f, 30000.0, &w); // above Nyquist: fs / 4
    EXPECT_NEAR(w(12000), 1.0, 1e-12);
    EXPECT_EQ(applyGaussianFrequencyWindow(Eigen::VectorXd(), 48000.0f, 1000.0).size(), 0);

    // A reference with a silent bin (no DC) still gives a finite envelope.
    Eigen::VectorXd r = randomColumn(4096, 2), out;
    r.array() -= r.mean();
    computeHLocAbsSmoothed(r, randomColumn(4096, 3), out, 48000.0f, 0.0);
    EXPECT_TRUE(out.allFinite());
    computeHLocAbsSmoothed(Eigen::VectorXd::Zero(64), randomColumn(64, 3), out, 48000.0f, 0.0);
    EXPECT_TRUE(out.allFinite()) << "a silent reference";
}

TEST(Alignment, AboveNyquistBandIsClampedAndEarlyPeaksStayUnshifted) {
    LevinsonDurban ld;
    const Eigen::Index L = 4800;
    Column x = Column::Zero(L), y = Column::Zero(L); // a response arriving at sample 40, closer than 3 ms
    x(0) = 1.0;
    y(40) = 1.0;
    for (Eigen::Index r = 0; r < L; ++r) {
        ld.loadReference(x(r), r, 0, L, 1);
        ld.loadResponse(y(r), r, 0, L, 1);
    }
    ASSERT_EQ(ld.alignData(48000.0f), 0);
    EXPECT_EQ(ld.getY(40, 0), y(40)) << "a peak closer than 3 ms is not moved";
    mobutest::removeTree("/tmp/yFiltered-0-12000.csv");
    ASSERT_EQ(ld.alignDataTime(48000.0f, 0, 30000.0, 1.0), 0);
    EXPECT_TRUE(mobutest::exists("/tmp/yFiltered-0-12000.csv")) << "the clamped centre names the files";
    EXPECT_LE(std::abs(ld.getTOF(0) - (40 - 144 + L)), 2);
    EXPECT_EQ(ld.timeOfFlight(Eigen::MatrixXd(x), Eigen::MatrixXd(y)), 0);
    EXPECT_EQ(ld.getTOF(0), 40) << "the phase-only deconvolution peaks at the delay";
}

/// A recorder that holds its run at period 10 until released (the test's call then falls in the run).
class HeldRecorder : public ChirpRecorder {
public:
    using ChirpRecorder::ChirpRecorder;
    int process() override {
        const int ret = ChirpRecorder::process();
        if (getRunCall() == 10) {
            reached = true;
            while (!released)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return ret;
    }
    std::atomic<bool> reached{false}, released{false};
};

TEST(MeasurementInUse, ARecorderStillMeasuringIsRefusedUntilItsRunEnds) {
    // A separate identification handed a recorder in the middle of its run gets -16 instead of a
    // model of a half-written recording; after the run it identifies the recording.
    const std::string dir = mobutest::makeTempDir("inuse");
    MobuCommon::setStatusFile(dir + "/status.json");
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    HeldRecorder recorder("board_playback", "board_capture");
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal); // the recorder raised this thread
    ASSERT_EQ(recorder.setPlayCh(0), 0);
    ASSERT_EQ(recorder.run(0), 0);
    while (!recorder.reached && recorder.threadRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(recorder.reached.load());
    LevinsonDurban ld;
    EXPECT_EQ(ld.getImpulseModel(&recorder, 256, 0, false, 48000.0f, 0.0, 0.0), -EBUSY) << "during the run";
    recorder.released = true;
    ASSERT_EQ(recorder.join(), 0);
    EXPECT_EQ(recorder.getRunResult(), 1);
    EXPECT_EQ(ld.getImpulseModel(&recorder, 256, 0, false, 48000.0f, 0.0, 0.0), 0) << "after the run";
    mobutest::removeTree(dir);
}

} // namespace
