// The platform's impulses: length, exact symmetry, and their responses (a DFT in long
// double here): the band-limited one in its pass band, at the edges and in the stop
// bands; the pink and inverse-pink ones at the bins of a DFT of their length.
#include <ImpulseBandLimited.h>
#include <ImpulsePink.h>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>

namespace {

/// |H(f)| in dB of the taps h at rate fs.
double gainDB(const Eigen::VectorXd& h, double fs, double f) {
    std::complex<long double> sum = 0;
    for (Eigen::Index n = 0; n < h.size(); ++n)
        sum += static_cast<long double>(h(n)) * std::polar(1.0L, -2.0L * M_PIl * f * n / fs);
    return 20.0 * std::log10(std::max(static_cast<double>(std::abs(sum)), 1e-300));
}

TEST(ImpulseBandLimited, BandsLieWhereAsked) {
    const struct {
        int taps;
        float fs, fLow, fHigh;
        std::vector<double> pass;  ///< within 0.01 dB of unity
        std::vector<double> edges; ///< -6 dB within 0.5 dB
        std::vector<double> stop;  ///< below stopDB
        double stopDB;
    } cases[] = {
        {1024, 48000, 20, 23999.5f, {1000, 5000, 12000, 20000}, {}, {0}, -200},
        {1024, 48000, 400, 23999.5f, {1000, 5000, 12000, 20000}, {400}, {0, 50}, -40},
        {4096, 48000, 500, 5000, {1000, 2000, 4000}, {500, 5000}, {0, 100, 8000, 20000}, -70},
        {8192, 96000, 500, 5000, {1000, 2000, 4000}, {500, 5000}, {0, 100, 8000, 40000}, -70},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.taps) + " taps, " + std::to_string(c.fLow) + "-" + std::to_string(c.fHigh));
        ImpulseBandLimited<double> h;
        ASSERT_EQ(h.generateImpulseShift(c.taps / c.fs, c.fs, c.fLow, c.fHigh), 0);
        ASSERT_EQ(h.size(), c.taps);
        EXPECT_TRUE(h == h.reverse()) << "linear phase";
        Eigen::Index peak = 0;
        h.maxCoeff(&peak);
        EXPECT_NEAR(static_cast<double>(peak), (c.taps - 1) / 2.0, 0.5) << "centred";
        for (double f : c.pass)
            EXPECT_NEAR(gainDB(h, c.fs, f), 0.0, 0.01) << f << " Hz";
        for (double f : c.edges)
            EXPECT_NEAR(gainDB(h, c.fs, f), -6.02, 0.5) << f << " Hz";
        for (double f : c.stop)
            EXPECT_LT(gainDB(h, c.fs, f), c.stopDB) << f << " Hz";
    }
}

TEST(ImpulsePink, FollowsItsSlopeAtEveryBinOfItsLength) {
    for (const auto& [taps, fs] : {std::pair<int, float>{1024, 48000}, {1023, 44100}, {4096, 96000}}) {
        SCOPED_TRACE(std::to_string(taps) + " taps at " + std::to_string(fs));
        ImpulsePink<double> pink;
        ImpulsePinkInv<double> inverse;
        ASSERT_EQ(pink.generateImpulseShift(taps / fs, fs, 20, 20000), 0);
        ASSERT_EQ(inverse.generateImpulseShift(taps / fs, fs, 20, 20000), 0);
        ASSERT_EQ(pink.size(), taps);
        EXPECT_TRUE(pink == pink.reverse() && inverse == inverse.reverse());
        for (int k = 0; k < taps / 2; k += 1 + k / 16) { // every bin at first, then spread out
            const double f = k * static_cast<double>(fs) / taps, inBand = f >= 20 && f <= 20000;
            const double p = std::pow(10.0, gainDB(pink, fs, f) / 20), q = std::pow(10.0, gainDB(inverse, fs, f) / 20);
            EXPECT_NEAR(p, inBand ? std::sqrt(1000 / f) : 0.0, 1e-9) << f << " Hz";
            EXPECT_NEAR(q, inBand ? std::sqrt(f / 1000) : 0.0, 1e-9) << f << " Hz";
        }
    }
    ImpulsePink<double> refused;
    EXPECT_EQ(refused.generateImpulseShift(0.01f, 48000, 2000, 1000), IMPULSE_ARGUMENT_ERROR);
    EXPECT_EQ(refused.size(), 0);
}

TEST(ImpulseBandLimited, ArgumentsThatGiveNoFilterAreRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float bad[][4] = {{0.00001f, 48000, 20, 20000}, {0.01f, 0, 20, 20000},        {0.01f, 48000, -1, 20000},
                            {0.01f, 48000, 300, 200},     {0.01f, 48000, 24000, 30000}, {nan, 48000, 20, 20000},
                            {0.01f, 48000, 20, nan}};
    for (const auto& b : bad) {
        ImpulseBandLimited<double> h;
        EXPECT_EQ(h.generateImpulseShift(b[0], b[1], b[2], b[3]), IMPULSE_ARGUMENT_ERROR) << b[0] << " " << b[1];
        EXPECT_EQ(h.size(), 0);
    }
}

} // namespace
