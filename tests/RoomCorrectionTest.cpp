// Room-correction design: the smoothing and the minimum-phase construction against numpy,
// designs over rooms and settings judged on the corrected response, and target files.
#include "TestSupport.h"

#include <RealDFT.h>
#include <RoomCorrection.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace {

using Column = Eigen::VectorXd;

class RoomCorrectionDesign : public ::testing::Test {
protected:
    void SetUp() override { dir = mobutest::makeTempDir("correction"); }
    void TearDown() override { mobutest::removeTree(dir); }

    /// Runs a numpy script on a column written to a file; its output as numbers.
    Column python(const std::string& script, const Column& data, const std::vector<std::string>& args = {}) {
        const std::string file = dir + "/data.txt";
        std::ofstream(file) << std::setprecision(17) << data;
        std::vector<std::string> argv{mobutest::referencePython(), "-c", script, file};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = mobutest::runProcess(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        std::istringstream in(r.out);
        std::vector<double> v;
        for (double x; in >> x;)
            v.push_back(x);
        return Eigen::Map<Column>(v.data(), static_cast<Eigen::Index>(v.size()));
    }

    std::string dir;
};

/// A room: direct sound, two reflections and a resonance ringing after it.
Column room(double resonanceHz, double reflection, int length = 8192) {
    Column h = Column::Zero(length);
    h(20) = 1.0;
    h(20 + 97) += reflection;
    h(20 + 431) += -0.5 * reflection;
    for (int t = 0; t + 20 < length; ++t)
        h(20 + t) += 0.02 * std::exp(-t / 1500.0) * std::sin(2 * M_PI * resonanceHz * t / 48000.0);
    return h;
}

TEST_F(RoomCorrectionDesign, SmoothingEqualsNumpyBandMeans) {
    Column power(4097);
    uint64_t state = 7;
    for (Eigen::Index k = 0; k < power.size(); ++k) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        power(k) = std::pow(10.0, 4.0 * static_cast<double>(state >> 11) / 9007199254740992.0); // 0 ... 40 dB
    }
    const std::string script = "import sys, numpy as np\n"
                               "p = np.loadtxt(sys.argv[1]); K = float(sys.argv[2]); k = np.arange(len(p))\n"
                               "for j in range(len(p)):\n"
                               "    band = (k >= j * 2 ** (-0.5 / K)) & (k <= j * 2 ** (0.5 / K)) if j else k == 0\n"
                               "    print(repr(p[band].mean()))\n";
    for (double K : {1.0, 3.0, 6.0, 24.0}) {
        const Column want = python(script, power, {std::to_string(K)});
        ASSERT_EQ(want.size(), power.size());
        const Column got = RoomCorrection::smoothPower(power, K);
        EXPECT_LE(((got - want).array() / want.array()).abs().maxCoeff(), 1e-12) << "1/" << K << " octave";
    }
}

TEST_F(RoomCorrectionDesign, MinimumPhaseFromTheMagnitudeOfAKnownMinimumPhaseFilter) {
    // numpy builds filters from zeros inside the unit circle (minimum phase by construction) and
    // gives their magnitudes on a 4096-point grid; the cepstral construction must return the filter.
    const std::string script =
        "import sys, numpy as np\n"
        "rng = np.random.default_rng(int(sys.argv[2])); m = int(sys.argv[3])\n"
        "r = rng.uniform(0.2, float(sys.argv[4]), m // 2); a = rng.uniform(0, np.pi, m // 2)\n"
        "h = np.real(np.poly(np.concatenate([r * np.exp(1j * a), r * np.exp(-1j * a)]))) * 0.3\n"
        "print(' '.join(repr(v) for v in h)); print(' '.join(repr(v) for v in np.abs(np.fft.rfft(h, 4096))))\n";
    struct Case {
        int seed, zeros;
        double radius;
    };
    for (const Case& c : {Case{1, 10, 0.9}, Case{2, 40, 0.95}, Case{3, 2, 0.5}}) {
        const Column out = python(script, Column::Zero(1),
                                  {std::to_string(c.seed), std::to_string(c.zeros), std::to_string(c.radius)});
        const Eigen::Index taps = c.zeros + 1;
        ASSERT_EQ(out.size(), taps + 2049);
        const Column want = out.head(taps);
        const Column got = RoomCorrection::minimumPhase(out.tail(2049), 4096);
        EXPECT_LE((got.head(taps) - want).norm() / want.norm(), 1e-8) << "seed " << c.seed;
        EXPECT_LE(got.tail(4096 - taps).norm() / want.norm(), 1e-8) << "nothing after the filter";
    }
}

TEST_F(RoomCorrectionDesign, CorrectedRoomsMeetTheTargetWithinTheLimits) {
    struct Case {
        const char* name;
        double resonance, reflection;
        double maxBoost, low, high;
        const char* target;
        RoomCorrection::Phase phase;
    };
    const Case cases[] = {
        {"flat, 6 dB", 60, 0.7, 6, 20, 20000, "", RoomCorrection::Phase::minimum},
        {"flat, 3 dB", 90, 0.9, 3, 20, 20000, "", RoomCorrection::Phase::minimum},
        {"narrow range", 60, 0.7, 6, 100, 8000, "", RoomCorrection::Phase::minimum},
        {"tilted target", 60, 0.5, 6, 20, 20000, "frequency,dB\n# tilt\n100,3\n10000,-3\n",
         RoomCorrection::Phase::minimum},
        {"mixed phase", 70, 0.7, 6, 20, 20000, "", RoomCorrection::Phase::mixed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RoomCorrection design;
        RoomCorrection::Settings s;
        s.taps = 16384, s.maxBoostDB = c.maxBoost, s.lowHz = c.low, s.highHz = c.high, s.phase = c.phase;
        s.mixedDelay = 1200;
        s.transitionHz = 0; // judged at 1/6 octave everywhere: designed at that resolution throughout
        std::string error;
        ASSERT_EQ(design.setSettings(s, error), 0) << error;
        if (*c.target) {
            std::istringstream target(c.target);
            ASSERT_EQ(design.setTarget(target, error), 0) << error;
        }
        const Column h = room(c.resonance, c.reflection);
        ASSERT_EQ(design.addChannel(0, h, 0, error), 0);
        ASSERT_EQ(design.design(error), 0) << error;
        const Column filter = design.filters().col(0);

        // No boost beyond the limit at any frequency (a DFT four times the filter's length).
        const Eigen::Index n = 4 * s.taps;
        Column padded = Column::Zero(n);
        padded.head(s.taps) = filter;
        const Column gainDB =
            realdft::forward(padded).cwiseAbs2().unaryExpr([](double p) { return 10 * std::log10(p); });
        EXPECT_LE(gainDB.maxCoeff(), c.maxBoost + 0.01);
        // Outside the range (below one octave under it, and from half an octave over it) it does nothing.
        for (Eigen::Index k = 1; k < gainDB.size(); ++k) {
            const double f = k * 48000.0 / n;
            if (f < 0.45 * c.low || (f > 1.5 * c.high && c.high < 16000)) {
                ASSERT_NEAR(gainDB(k), 0.0, 0.2) << f << " Hz";
            }
        }
        // Through the filter the smoothed room (the smoothing is checked against numpy above) follows the target
        // within 1.5 dB, wherever it needed no more boost than allowed, each at its level over 500
        // Hz ... 2 kHz.
        Column roomPadded = Column::Zero(n);
        roomPadded.head(h.size()) = h;
        const Column roomPower = realdft::forward(roomPadded).cwiseAbs2();
        const auto dB = [](const Column& p) {
            return Column(p.unaryExpr([](double v) { return 10 * std::log10(v); }));
        };
        const Column before = dB(RoomCorrection::smoothPower(roomPower, 6));
        const Column after =
            dB(RoomCorrection::smoothPower(roomPower.cwiseProduct(realdft::forward(padded).cwiseAbs2()), 6));
        const auto levelOf = [&](const Column& dB) { // median at 64 log-spaced points of 500 Hz ... 2 kHz
            std::vector<double> v;
            for (int i = 0; i < 64; ++i) {
                const double f = 500 * std::pow(4.0, i / 63.0);
                v.push_back(dB(std::lround(f * n / 48000.0)) - design.targetDB(f));
            }
            std::sort(v.begin(), v.end());
            return 0.5 * (v[31] + v[32]);
        };
        const double lb = levelOf(before), la = levelOf(after);
        // Bins whose smoothing band (1/6 octave) reaches a dip that needs more than the allowed boost
        // can't be brought to the target: they are left out.
        std::vector<int> limited(static_cast<size_t>(before.size()) + 1, 0);
        for (Eigen::Index k = 1; k < before.size(); ++k)
            limited[k + 1] = limited[k] + (before(k) - lb - design.targetDB(k * 48000.0 / n) < -c.maxBoost);
        double worst = 0, worstAt = 0;
        int checked = 0;
        for (Eigen::Index k = 1; k < before.size(); ++k) {
            const double f = k * 48000.0 / n;
            const Eigen::Index lo = static_cast<Eigen::Index>(std::ceil(k * std::pow(2.0, -1.0 / 12))),
                               hi = std::min<Eigen::Index>(before.size() - 1, k * std::pow(2.0, 1.0 / 12));
            if (f < c.low || f > c.high || limited[hi + 1] - limited[lo] > 0) continue;
            const double deviation = std::abs(after(k) - la - design.targetDB(f));
            if (deviation > worst) worst = deviation, worstAt = f;
            ++checked;
        }
        EXPECT_GT(checked, 1000);
        EXPECT_LE(worst, 1.5) << "at " << worstAt << " Hz";
        if (c.phase == RoomCorrection::Phase::mixed) { // pre-ringing: taps more than 1 ms before the main one
            Eigen::Index main = 0;
            filter.cwiseAbs().maxCoeff(&main);
            EXPECT_NEAR(main, s.mixedDelay, 60);
            EXPECT_LE(20 * std::log10(filter.head(main - 48).cwiseAbs().maxCoeff() / std::abs(filter(main))), -30.0);
        }
    }
}

TEST_F(RoomCorrectionDesign, TargetFilesParseOrNameTheirLine) {
    RoomCorrection design;
    std::string error;
    std::istringstream good("# house curve\nfrequency,dB\n\n100, 3\n1000,-3\r\n");
    ASSERT_EQ(design.setTarget(good, error), 0) << error;
    EXPECT_NEAR(design.targetDB(std::sqrt(100.0 * 1000.0)), 0.0, 1e-12) << "linear over log frequency";
    EXPECT_DOUBLE_EQ(design.targetDB(20), 3.0) << "held before the first point";
    EXPECT_DOUBLE_EQ(design.targetDB(20000), -3.0) << "held after the last point";
    const struct {
        const char* text;
        const char* names;
    } bad[] = {{"100,3\n50,2\n", "line 2"}, {"100;3\n", "line 1"}, {"100,3,4\n", "line 1"},
               {"0,3\n", "line 1"},         {"# only\n", "no"},    {"100,abc\n", "line 1"}};
    for (const auto& b : bad) {
        std::istringstream in(b.text);
        error.clear();
        EXPECT_EQ(design.setTarget(in, error), ROOMCORRECTION_TARGET_ERROR) << b.text;
        EXPECT_NE(error.find(b.names), std::string::npos) << error;
    }
}

} // namespace
