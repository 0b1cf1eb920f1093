// The measurement signals: the reference chirp measured from the signal itself (zero
// crossings), the chirp matrices and the channel bookkeeping, and pink noise whose
// average spectrum falls 3 dB per octave, whitened back to flat, made without allocating.
#include <MobuEmbedded/Calibration.h>
#include <MobuEmbedded/Pink.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <fftw3.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#include "TestSupport.h"

#include "AllocationAudit.h" // after the other headers: it defines malloc and its relatives

namespace {

/// Positions (fractional, by linear interpolation) where x changes sign.
std::vector<double> zeroCrossings(const Eigen::ArrayXd& x) {
    std::vector<double> at;
    for (Eigen::Index n = 1; n < x.size(); ++n)
        if ((x(n - 1) < 0) != (x(n) < 0)) at.push_back(n - 1 + x(n - 1) / (x(n - 1) - x(n)));
    return at;
}

TEST(Chirp, SweepsAWholeNumberOfCyclesFromAbout20HzToHalfTheRate) {
    Calibration c;
    c.generateChirp();
    ASSERT_EQ(c.chirp.rows(), 48000);
    EXPECT_NEAR(c.chirp(0), 0.0, 1e-9);
    const std::vector<double> z = zeroCrossings(c.chirp);
    ASSERT_GT(z.size(), 100u);
    // The frequency of each of the first half cycles, extrapolated to t = 0 along the
    // exponential sweep (a straight line in log frequency); K = T (w2 - w1) / (2 pi ln(w2 / w1)).
    Eigen::ArrayXd t(12), logF(12);
    for (int i = 0; i < 12; ++i) {
        t(i) = (z[i] + z[i + 1]) / 2.0 / 48000.0;
        logF(i) = std::log(48000.0 / (2.0 * (z[i + 1] - z[i])));
    }
    const double slope = ((t - t.mean()) * (logF - logF.mean())).sum() / (t - t.mean()).square().sum();
    const double fStart = std::exp(logF.mean() - slope * t.mean());
    const double K = (24000.0 - 20.0) / std::log(24000.0 / 20.0);
    EXPECT_NEAR(fStart, 20.0 - 2.0 * (K - std::floor(K)), 0.5);
    EXPECT_LT(fStart, 20.0);
    const double fEnd = 48000.0 / (2.0 * (z.back() - z[z.size() - 21]) / 20.0);
    EXPECT_GT(fEnd, 23000.0);
    // A whole number of cycles: 2 floor(K) sign changes, ending on zero phase (rising through 0 at T).
    EXPECT_NEAR(static_cast<double>(z.size()), 2.0 * std::floor(K), 1.0);
    EXPECT_LT(c.chirp(c.chirp.rows() - 1), 0.0);
    EXPECT_GT(c.chirp(c.chirp.rows() - 1), -0.5);

    c.chirpDuration = 0.5; // 24000 samples exactly
    c.generateChirp();
    EXPECT_EQ(c.chirp.rows(), 24000);
}

TEST(Chirp, DebugFilesGoToTheDebugFolderWithNegativePeaksIntactAndNoLinkFollowed) {
    const std::string dir = mobutest::makeTempDir("debug");
    const std::string victim = dir + "/victim";
    mobutest::writeFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/chirp.wav").c_str()), 0); // planted before the run
    ASSERT_EQ(setenv("MOBU_DEBUG_DIR", dir.c_str(), 1), 0);
    Calibration c;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    c.generateChirp();
    const std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(mobutest::readFile(victim), "precious");
    EXPECT_NE(err.find(dir + "/chirp.wav"), std::string::npos) << err;

    c.microphones = Eigen::MatrixXd::Zero(4, 2);
    c.microphones(1, 0) = -3000.0; // the negative peak is the larger magnitude
    c.microphones(2, 1) = 1000.0;
    ASSERT_EQ(c.micsToFile((dir + "/mics.wav").c_str()), 0);
    unsetenv("MOBU_DEBUG_DIR");
    Sox<double> sox;
    ASSERT_EQ(sox.openRead(dir + "/mics.wav"), 0) << "with its scale reference";
    Eigen::MatrixXd back;
    ASSERT_EQ(sox.read(back), 4);
    EXPECT_NEAR(back(1, 0), -3000.0, 1e-5);
    EXPECT_NEAR(back(2, 1), 1000.0, 1e-5);
    mobutest::removeTree(dir);
}

TEST(Chirp, MatricesAndChannelBookkeeping) {
    Calibration c;
    EXPECT_EQ(c.generateChirps(2), -1300) << "no chirp yet";
    EXPECT_EQ(c.chirps.size(), 0);
    c.generateChirp();
    c.maxScaleChirp(32);
    EXPECT_EQ(c.chirp.maxCoeff(), 2147483647.0);
    ASSERT_EQ(c.generateChirps(2), 0);
    EXPECT_EQ(c.chirps.rows(), 432000);
    EXPECT_EQ(c.chirps.cols(), 2);
    EXPECT_TRUE((c.chirps.col(1).segment(48000, 48000).array() == c.chirp).all());
    EXPECT_EQ(c.microphones.rows(), 480000);
    EXPECT_TRUE((c.microphones.array() == 0).all());

    ASSERT_EQ(c.N.size(), 8u);
    EXPECT_EQ(c.N[7], 10000000u);
    c.N[1] = c.N[3] = 0;
    EXPECT_EQ(c.getPlayChCnt(), 2);
    c.init(10);
    EXPECT_EQ(c.N.size(), 10u);
    EXPECT_EQ(c.N[1], 0u) << "init keeps the entries there were";
    EXPECT_EQ(c.N[9], 10000000u);
    EXPECT_EQ(c.stopFreq, 24000.0);
    c.reset();
    EXPECT_EQ(c.N[0], 960000u);
    EXPECT_EQ(c.N[3], 0u);
    EXPECT_EQ(Calibration::getMaxScaleFactor(16), 32767.0);
}

TEST(ChirpDeathTest, TheRateConstructorEndsTheProcess) {
    EXPECT_EXIT(Calibration(44100.0), ::testing::ExitedWithCode(static_cast<unsigned char>(-1314)), "-1314");
}

/// Power in each third-octave band from 50 Hz to 10 kHz of the average spectrum of blocks (rows x 1).
std::vector<double> bandPowers(const std::vector<Eigen::ArrayXd>& blocks, double fs, std::vector<double>& centres) {
    const int N = static_cast<int>(blocks.front().size());
    Eigen::ArrayXd power = Eigen::ArrayXd::Zero(N / 2 + 1);
    Eigen::ArrayXd x(N);
    Eigen::ArrayXcd X(N / 2 + 1);
    fftw_plan p = fftw_plan_dft_r2c_1d(N, x.data(), reinterpret_cast<fftw_complex*>(X.data()), FFTW_ESTIMATE);
    for (const auto& b : blocks) {
        x = b;
        fftw_execute(p);
        power += X.abs2();
    }
    fftw_destroy_plan(p);
    std::vector<double> bands;
    centres.clear();
    for (double f = 50.0; f <= 10000.0; f *= std::pow(2.0, 1.0 / 3.0)) {
        const int lo = static_cast<int>(std::ceil(f / std::pow(2.0, 1.0 / 6.0) * N / fs));
        const int hi = static_cast<int>(std::floor(f * std::pow(2.0, 1.0 / 6.0) * N / fs));
        if (hi < lo) continue;
        bands.push_back(power.segment(lo, hi - lo + 1).mean());
        centres.push_back(f);
    }
    return bands;
}

TEST(PinkNoise, FallsThreeDecibelsPerOctaveAndWhitensToFlat) {
    const int N = 4096, fs = 48000;
    Pink pink;
    pink.genNoiseMag(fs, N);
    Eigen::Array<int32_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> block(N, 3);
    std::vector<Eigen::ArrayXd> noise, white;
    audited = true;
    pink.genNoise(block); // the first block as well: everything was sized by genNoiseMag
    audited = false;
#ifdef MOBU_AUDIT_ALLOCATIONS
    EXPECT_EQ(auditedAllocations.load(), 0) << "genNoise allocated";
#endif
    for (int b = 0; b < 300; ++b) {
        pink.genNoise(block);
        ASSERT_TRUE((block.col(1) == block.col(0)).all() && (block.col(2) == block.col(0)).all());
        noise.push_back(block.col(0).cast<double>());
        std::vector<float> data(N);
        for (int n = 0; n < N; ++n)
            data[n] = static_cast<float>(block(n, 0));
        pink.deNoise(data.data(), N);
        white.push_back(Eigen::Map<Eigen::ArrayXf>(data.data(), N).cast<double>());
    }
    EXPECT_LT(block.cast<double>().abs().maxCoeff(), 2147483647.0) << "no clipping";
    std::vector<double> centres;
    const std::vector<double> pinkBands = bandPowers(noise, fs, centres), whiteBands = bandPowers(white, fs, centres);
    for (size_t i = 0; i < centres.size(); ++i) {
        // Pink: power x f is constant; white: power is.
        const double pinkDB = 10 * std::log10(pinkBands[i] * centres[i] / (pinkBands[0] * centres[0]));
        const double whiteDB = 10 * std::log10(whiteBands[i] / whiteBands[0]);
        EXPECT_NEAR(pinkDB, 0.0, 1.0) << centres[i] << " Hz";
        EXPECT_NEAR(whiteDB, 0.0, 1.0) << centres[i] << " Hz";
    }
}

TEST(PinkNoise, BlocksOfAnotherLengthStaySilentAndDeNoiseLeavesThem) {
    Pink pink;
    pink.genNoiseMag(48000, 1024);
    Eigen::Array<int32_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> block = decltype(block)::Constant(333, 2, 7);
    testing::internal::CaptureStdout();
    pink.genNoise(block);
    pink.genNoise(block);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_TRUE((block == 0).all());
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    std::vector<float> data(512, 0.25f);
    testing::internal::CaptureStdout();
    pink.deNoise(data.data(), 512);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Pink::N = 512, but expecting HNoise.rows() = 1024."),
              std::string::npos);
    EXPECT_EQ(data[0], 0.25f);
}

} // namespace
