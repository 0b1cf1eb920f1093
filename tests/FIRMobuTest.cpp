// FIR engine: exactness against a direct time-domain convolution, the gain
// path, fades, block-length errors, coefficient files and integer output.
#include "TestSupport.h"

#include <MobuEmbedded/FIRMobu.h>
#include <MobuEmbedded/MobuDebug.h>
#include <FIRKernels.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sys/stat.h>
#include <tuple>

#include "AllocationAudit.h" // after the other headers: it defines malloc and its relatives

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

Eigen::MatrixXd randomMatrix(Eigen::Index rows, Eigen::Index cols, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    Eigen::MatrixXd m(rows, cols);
    for (Eigen::Index c = 0; c < cols; ++c)
        for (Eigen::Index r = 0; r < rows; ++r)
            m(r, c) = dist(gen);
    return m;
}

// y[n] = sum_k h[k] x[n-k], computed directly with long double accumulation.
Eigen::MatrixXd directConvolution(const Eigen::MatrixXd& x, const Eigen::MatrixXd& h) {
    Eigen::MatrixXd y(x.rows(), x.cols());
    for (Eigen::Index c = 0; c < x.cols(); ++c)
        for (Eigen::Index n = 0; n < x.rows(); ++n) {
            long double acc = 0.0L;
            const Eigen::Index kMax = std::min<Eigen::Index>(h.rows() - 1, n);
            for (Eigen::Index k = 0; k <= kMax; ++k)
                acc += static_cast<long double>(h(k, c)) * x(n - k, c);
            y(n, c) = static_cast<double>(acc);
        }
    return y;
}

// Runs x through the engine block by block and returns the concatenated output.
Eigen::MatrixXd filterStream(FIRMobu& fir, const Eigen::MatrixXd& x, int N) {
    Eigen::MatrixXd y(x.rows(), x.cols());
    for (Eigen::Index s = 0; s + N <= x.rows(); s += N) {
        fir.filterLocal(x.middleRows(s, N), 0);
        y.middleRows(s, N) = fir.getFiltered().matrix();
    }
    return y;
}

double relativeError(const Eigen::MatrixXd& y, const Eigen::MatrixXd& ref) {
    return (y - ref).cwiseAbs().maxCoeff() / ref.cwiseAbs().maxCoeff();
}

// Loads h silently (the loader prints trace lines).
void load(FIRMobu& fir, const Eigen::MatrixXd& h) {
    CaptureStdout();
    fir.loadTimeDomainCoefficients(h);
    GetCapturedStdout();
}

std::string writeWav(const std::string& dir, const std::string& name, const Eigen::MatrixXd& data,
                     double fs = 48000.0) {
    const std::string path = dir + "/" + name;
    Sox<double> sox;
    const double peak = data.size() ? data.cwiseAbs().maxCoeff() : 1.0;
    EXPECT_EQ(sox.openWrite(path, fs, static_cast<int>(data.cols()), peak), 0);
    EXPECT_EQ(sox.write(data), data.size());
    EXPECT_EQ(sox.closeWrite(), 0);
    return path;
}

} // namespace

struct ConvolutionCase {
    int N;
    int taps;
    int channels;
};

class FIRMobuExactness : public testing::TestWithParam<ConvolutionCase> {};

TEST_P(FIRMobuExactness, MatchesDirectConvolutionAcrossBlocks) {
    const auto p = GetParam();
    const int blocks = p.taps / p.N + 12;
    const Eigen::MatrixXd x = randomMatrix(static_cast<Eigen::Index>(blocks) * p.N, p.channels, 1);
    const Eigen::MatrixXd h = randomMatrix(p.taps, p.channels, 2);
    FIRMobu fir(2 * p.N);
    load(fir, h);
    ASSERT_EQ(fir.getChCnt(), p.channels);
    ASSERT_EQ(fir.getSampleCnt(), p.N);
    EXPECT_LT(relativeError(filterStream(fir, x, p.N), directConvolution(x, h)), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FIRMobuExactness,
                         testing::Values(ConvolutionCase{64, 17, 1}, ConvolutionCase{64, 64, 1},
                                         ConvolutionCase{64, 192, 1}, ConvolutionCase{64, 193, 1},
                                         ConvolutionCase{64, 1280, 1}, ConvolutionCase{64, 193, 3},
                                         ConvolutionCase{256, 5120 + 7, 2}, ConvolutionCase{512, 1536, 8},
                                         ConvolutionCase{1, 4, 1}, ConvolutionCase{3, 10, 2},
                                         ConvolutionCase{37, 17 * 37 + 5, 1}),
                         [](const testing::TestParamInfo<ConvolutionCase>& info) {
                             return "N" + std::to_string(info.param.N) + "_taps" + std::to_string(info.param.taps) +
                                    "_ch" + std::to_string(info.param.channels);
                         });

// y[n] = sum_k h[k] x[n-k] for the last `rows` samples only (long double accumulation).
Eigen::MatrixXd directConvolutionTail(const Eigen::MatrixXd& x, const Eigen::MatrixXd& h, Eigen::Index rows) {
    Eigen::MatrixXd y(rows, x.cols());
    const Eigen::Index from = x.rows() - rows;
    for (Eigen::Index c = 0; c < x.cols(); ++c)
        for (Eigen::Index n = from; n < x.rows(); ++n) {
            long double acc = 0.0L;
            for (Eigen::Index k = 0; k <= std::min<Eigen::Index>(h.rows() - 1, n); ++k)
                acc += static_cast<long double>(h(k, c)) * x(n - k, c);
            y(n - from, c) = static_cast<double>(acc);
        }
    return y;
}

// Non-uniform partitioning with a given schedule: filters that end just before, at and
// just after the first tap of each later stage and one partition into it.  The whole output
// is checked against the uniform engine, the last two blocks against direct convolution.
struct NonUniformCase {
    int N;
    std::vector<int> ratios; // block lengths / N of stages 1, 2, ...
    int channels;
};

class FIRMobuNonUniformExactness : public testing::TestWithParam<NonUniformCase> {};

TEST_P(FIRMobuNonUniformExactness, MatchesUniformEngineAndDirectConvolutionAroundStageEdges) {
    const auto& p = GetParam();
    std::vector<int> lengths;
    for (const int r : p.ratios)
        for (const int d : {-1, 0, 1, r * p.N + 1})
            lengths.push_back(2 * r * p.N + d);

    for (const int taps : lengths) {
        const Eigen::MatrixXd h = randomMatrix(taps, p.channels, taps);
        FIRMobu uniform(2 * p.N), nonUniform(2 * p.N);
        uniform.setPartitioning(FIRMobu::Partitioning::Uniform);
        ASSERT_EQ(nonUniform.setPartitioning(FIRMobu::Partitioning::NonUniform, p.ratios), 0);
        nonUniform.setLaterPrecision(FIRMobu::Precision::Double);
        load(uniform, h);
        load(nonUniform, h);
        ASSERT_EQ(uniform.stages().size(), 1u);
        // Every stage that starts before the end of the filter is there.
        const auto stages = nonUniform.stages();
        const auto expected =
            std::count_if(p.ratios.begin(), p.ratios.end(), [&](int r) { return 2 * r * p.N < taps; });
        ASSERT_EQ(stages.size(), static_cast<size_t>(expected) + 1) << taps << " taps";
        // Enough blocks for every tap of the last stage to reach the output.
        const int blocks = (taps + 2 * stages.back().blockLength) / p.N + 3;
        const Eigen::MatrixXd x = randomMatrix(static_cast<Eigen::Index>(blocks) * p.N, p.channels, taps + 1);
        const Eigen::MatrixXd y = filterStream(nonUniform, x, p.N);
        EXPECT_LT(relativeError(y, filterStream(uniform, x, p.N)), 1e-12) << taps << " taps";
        const Eigen::Index tail = 2 * p.N;
        EXPECT_LT(relativeError(y.bottomRows(tail), directConvolutionTail(x, h, tail)), 1e-9) << taps << " taps";
    }
}

INSTANTIATE_TEST_SUITE_P(Schedules, FIRMobuNonUniformExactness,
                         testing::Values(NonUniformCase{1, {2, 8, 32}, 1}, NonUniformCase{37, {2, 4, 16}, 3},
                                         NonUniformCase{480, {2, 8}, 2}, NonUniformCase{512, {4, 8}, 1},
                                         NonUniformCase{1024, {2, 4}, 1}),
                         [](const testing::TestParamInfo<NonUniformCase>& info) {
                             return "N" + std::to_string(info.param.N) + "_ch" + std::to_string(info.param.channels);
                         });

// The later stages' spectra in single precision: every stage of every schedule
// above, through filters that end one partition into the last stage, against the direct
// convolution.  Single precision rounds to u = 2^-24; the packing, twiddles, the transform
// passes each way and the multiply-add leave errors of a few u of the output's peak (about
// 2e-7 measured, 3 to 4 u), so 16 u of the peak bounds them with some margin yet fails for any
// tap, window or block in the wrong place (an error of the order of the taps themselves).
class FIRMobuSinglePrecision : public testing::TestWithParam<NonUniformCase> {};

TEST_P(FIRMobuSinglePrecision, LaterStagesStayWithinSixteenSingleRoundingsOfTheOutputPeak) {
    const auto& p = GetParam();
    constexpr double tolerance = 16.0 * 0x1p-24;
    const int last = p.ratios.back();
    const int taps = 2 * last * p.N + last * p.N + 1;
    const Eigen::MatrixXd h = randomMatrix(taps, p.channels, 41);
    FIRMobu fir(2 * p.N);
    fir.setLaterPrecision(FIRMobu::Precision::Single);
    ASSERT_EQ(fir.setPartitioning(FIRMobu::Partitioning::NonUniform, p.ratios), 0);
    load(fir, h);
    ASSERT_EQ(fir.stages().size(), p.ratios.size() + 1);
    // Every stage contributes to the last two of its own blocks.
    const Eigen::Index tail = 2 * static_cast<Eigen::Index>(last) * p.N;
    const int blocks = static_cast<int>((taps + tail) / p.N) + 3;
    const Eigen::MatrixXd x = randomMatrix(static_cast<Eigen::Index>(blocks) * p.N, p.channels, 42);
    const Eigen::MatrixXd y = filterStream(fir, x, p.N);
    const double error = relativeError(y.bottomRows(tail), directConvolutionTail(x, h, tail));
    EXPECT_LT(error, tolerance) << taps << " taps";
    char figure[32];
    snprintf(figure, sizeof figure, "%.3g", error);
    RecordProperty("relativeError", figure);
}

INSTANTIATE_TEST_SUITE_P(Schedules, FIRMobuSinglePrecision,
                         testing::Values(NonUniformCase{1, {2, 8, 32}, 1}, NonUniformCase{37, {2, 4, 16}, 3},
                                         NonUniformCase{480, {2, 8}, 2}, NonUniformCase{512, {4, 8}, 1},
                                         NonUniformCase{64, {4, 32, 128}, 1}),
                         [](const testing::TestParamInfo<NonUniformCase>& info) {
                             return "N" + std::to_string(info.param.N) + "_ch" + std::to_string(info.param.channels);
                         });

TEST(FIRMobu, PartitionCountHoldsEveryTapBeyondSinglePrecision) {
    struct Probe : FIRMobu {
        using FIRMobu::partitionCount;
    };
    struct Case {
        Eigen::Index L, N, P;
    };
    const Eigen::Index big = Eigen::Index(1) << 24; // single precision counts exactly up to here
    for (const Case& k : {Case{64, 64, 1}, Case{160, 64, 3}, Case{1, 64, 1}, Case{big + 1, 1, big + 1},
                          Case{big + 1, 1024, 16385}, Case{2 * big + 1, 1 << 20, 33}, Case{3 * (big + 1), 3, big + 1}})
        EXPECT_EQ(Probe::partitionCount(k.L, k.N), k.P) << k.L << " taps in partitions of " << k.N;
}

// The behaviours below hold for either partitioning; the filters are long enough for later
// stages when non-uniform (checked, so that the stages are really exercised).
// The set the engine runs by default (AVX2, NEON) against the portable one, kernel by kernel, on
// lengths that leave every vector loop a scalar tail.  The single-precision kernels of both
// sets are checked against the double ones on the same values (random floats), on columns that
// start a complex value off a cache line: the sum over partitions alone and shared by K
// channels (1 to 5) over a range of bins that starts inside a vector.
TEST(FIRMobu, DefaultSpectrumKernelsMatchThePortableOnesToRounding) {
    const firkernels::SpectrumKernels& a = firkernels::portableSpectrumKernels();
    const firkernels::SpectrumKernels& b = firkernels::defaultSpectrumKernels();
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    auto random = [&](size_t n) {
        std::vector<double> v(n);
        for (double& e : v)
            e = u(rng);
        return v;
    };
    auto single = [](const std::vector<double>& v) { return std::vector<float>(v.begin(), v.end()); };
    for (const int N : {1, 3, 8, 37, 64, 301})
        for (const int P : {1, 3, 4, 6, 9}) { // every remainder of groups of four
            SCOPED_TRACE(testing::Message() << firkernels::defaultSpectrumKernelsName() << " N=" << N << " P=" << P);
            const size_t stride = 2 * N + 6;
            const auto ring = random(stride * P), windows = random(stride * P), x = random(2 * N), h = random(2 * N);
            const auto start = random(2 * N);
            std::vector<std::vector<double>> out[2];
            for (int s = 0; s < 2; ++s) {
                const firkernels::SpectrumKernels& k = s == 0 ? a : b;
                std::vector<double> carry = start, y(2 * N), real(N, 0.0), added = start, product = x;
                k.multiplyAccumulate(carry.data(), ring.data(), P / 2, windows.data(), P, N, stride);
                k.blockSpectrum(y.data(), x.data(), h.data(), start.data(), N);
                k.realOutput(real.data(), x.data(), h.data(), 0.5, N);
                k.realOutputAdd(added.data(), x.data(), h.data(), 0.5, N);
                k.multiplyInPlace(product.data(), h.data(), N);
                out[s] = {carry, y, real, added, product};
            }
            for (size_t i = 0; i < out[0].size(); ++i)
                for (size_t n = 0; n < out[0][i].size(); ++n)
                    ASSERT_NEAR(out[0][i][n], out[1][i][n], 1e-13 * P) << "kernel " << i << " value " << n;

            // Single precision: K = 5 windows, column 0 of each two floats into its array.
            constexpr int K = 5, off = 2;
            const auto windowsK = random(stride * P * K + off);
            const std::vector<float> ringF = single(ring), windowsF = single(windowsK), xF = single(x);
            const std::vector<float> hF = single(h);
            const int from = N / 3, count = N - from;
            const float* columns[K];
            for (int c = 0; c < K; ++c)
                columns[c] = windowsF.data() + off + c * stride * P;
            for (const firkernels::SpectrumKernels* k : {&a, &b}) {
                SCOPED_TRACE(k == &a ? "portable" : "default");
                std::vector<float> carry(2 * N + off), product = xF, sums[K];
                std::vector<double> added = start;
                k->multiplyAccumulateSingle(carry.data() + off, ringF.data() + off, P / 2, columns[0], P, N, stride);
                k->multiplyInPlaceSingle(product.data(), hF.data(), N);
                k->realOutputAddSingle(added.data(), xF.data(), h.data(), 0.5, N);
                // The double kernels on the same values.
                std::vector<double> carryD(2 * N), productD = x, addedD = start;
                a.multiplyAccumulate(carryD.data(), ring.data() + off, P / 2, windowsK.data() + off, P, N, stride);
                a.multiplyInPlace(productD.data(), h.data(), N);
                a.realOutputAdd(addedD.data(), x.data(), h.data(), 0.5, N);
                for (int n = 0; n < 2 * N; ++n) {
                    ASSERT_NEAR(carry[n + off], carryD[n], 1e-6 * P) << "sum over partitions, value " << n;
                    ASSERT_NEAR(product[n], productD[n], 1e-6) << "product, value " << n;
                }
                for (int n = 0; n < N; ++n)
                    ASSERT_NEAR(added[n], addedD[n], 1e-12) << "real output, value " << n;
                for (const int channels : {1, 2, 3, 4, K}) { // sharing channels in fours
                    float* carries[K];
                    for (int c = 0; c < K; ++c) {
                        sums[c].assign(2 * N + 2 * off, 7.0f); // bins outside from .. from + count - 1 stay
                        carries[c] = sums[c].data() + off;
                    }
                    k->multiplyAccumulateSharedSingle(carries, ringF.data() + off, P - 1, columns, channels, P, from,
                                                      count, stride);
                    for (int c = 0; c < K; ++c) {
                        a.multiplyAccumulate(carryD.data(), ring.data() + off, P - 1,
                                             windowsK.data() + off + c * stride * P, P, N, stride);
                        for (int n = -off; n < 2 * N + off; ++n) {
                            const bool inside = c < channels && n >= 2 * from && n < 2 * N;
                            ASSERT_NEAR(sums[c][n + off], inside ? carryD[n] : 7.0f, 1e-6 * P)
                                << channels << " channels: channel " << c << " value " << n;
                        }
                    }
                }
            }
        }
}

class FIRMobuPartitioned : public testing::TestWithParam<FIRMobu::Partitioning> {
protected:
    void loadPartitioned(FIRMobu& fir, const Eigen::MatrixXd& h) {
        fir.setPartitioning(GetParam());
        fir.setLaterPrecision(FIRMobu::Precision::Double);
        load(fir, h);
        if (GetParam() == FIRMobu::Partitioning::NonUniform && h.rows() > 1) {
            ASSERT_GT(fir.stages().size(), 1u);
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Partitionings, FIRMobuPartitioned,
                         testing::Values(FIRMobu::Partitioning::Uniform, FIRMobu::Partitioning::NonUniform),
                         [](const testing::TestParamInfo<FIRMobu::Partitioning>& info) {
                             return info.param == FIRMobu::Partitioning::Uniform ? "Uniform" : "NonUniform";
                         });

TEST_P(FIRMobuPartitioned, ResetClearsMemoryButKeepsCoefficients) {
    const int N = 64;
    const Eigen::MatrixXd h = randomMatrix(300, 1, 3);
    const Eigen::MatrixXd x = randomMatrix(10 * N, 1, 4);
    FIRMobu fir(2 * N);
    loadPartitioned(fir, h);
    filterStream(fir, randomMatrix(5 * N, 1, 5), N); // unrelated history, in the middle of a later stage's period
    fir.reset();
    EXPECT_LT(relativeError(filterStream(fir, x, N), directConvolution(x, h)), 1e-9);
}

// Channels that read one input column share its transforms and history: every channel must
// still be the direct convolution of the column it reads, uniformly and non-uniformly
// partitioned, with later stages whole and split, and with groups interleaved (m mod 2).
struct SharedInputCase {
    int N;
    std::vector<int> ratios; // empty: uniform
    std::vector<int> inputOf;
    int taps;
};

class FIRMobuSharedInputs : public testing::TestWithParam<SharedInputCase> {};

TEST_P(FIRMobuSharedInputs, EveryChannelIsTheConvolutionOfTheColumnItReads) {
    const auto& p = GetParam();
    const int C = static_cast<int>(p.inputOf.size());
    const int inputs = *std::max_element(p.inputOf.begin(), p.inputOf.end()) + 1;
    const Eigen::MatrixXd h = randomMatrix(p.taps, C, 31);
    FIRMobu fir(2 * p.N);
    ASSERT_EQ(fir.setPartitioning(p.ratios.empty() ? FIRMobu::Partitioning::Uniform : FIRMobu::Partitioning::NonUniform,
                                  p.ratios),
              0);
    ASSERT_EQ(fir.setChannelInputs(p.inputOf), 0);
    fir.setLaterPrecision(FIRMobu::Precision::Double);
    load(fir, h);
    ASSERT_EQ(fir.stages().size(), p.ratios.size() + 1);
    EXPECT_EQ(fir.getInputCnt(), inputs);
    const int blocks = p.taps / p.N + 3;
    const Eigen::MatrixXd x = randomMatrix(static_cast<Eigen::Index>(blocks) * p.N, inputs, 32);
    Eigen::MatrixXd y(x.rows(), C), routed(x.rows(), C);
    for (int b = 0; b < blocks; ++b) {
        ASSERT_EQ(fir.filterLocal(x.middleRows(b * p.N, p.N), 0), 0);
        y.middleRows(b * p.N, p.N) = fir.getFiltered().matrix();
    }
    for (int c = 0; c < C; ++c)
        routed.col(c) = x.col(p.inputOf[c]);
    const Eigen::Index tail = 2 * p.N;
    EXPECT_LT(relativeError(y.bottomRows(tail), directConvolutionTail(routed, h, tail)), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Groups, FIRMobuSharedInputs,
                         testing::Values(SharedInputCase{64, {}, {0, 1, 0, 1, 0, 1, 0, 1}, 64 * 9 + 5},
                                         SharedInputCase{37, {2, 4}, {0, 0, 0, 0}, 37 * 20 + 3},
                                         SharedInputCase{64, {2, 8}, {0, 1, 0, 1, 0, 1, 0, 1}, 64 * 40 + 1},
                                         SharedInputCase{480, {2, 8}, {1, 0, 1, 0}, 480 * 18 - 7},
                                         SharedInputCase{64, {4, 32}, {2, 0, 2}, 64 * 100}),
                         [](const testing::TestParamInfo<SharedInputCase>& info) {
                             return "N" + std::to_string(info.param.N) + "_stages" +
                                    std::to_string(info.param.ratios.size()) + "_ch" +
                                    std::to_string(info.param.inputOf.size());
                         });

TEST(FIRMobu, ChannelInputsThatDoNotFitAreReported) {
    const int N = 32;
    FIRMobu fir(2 * N);
    CaptureStderr();
    EXPECT_EQ(fir.setChannelInputs({0, -1}), -1350);
    EXPECT_NE(GetCapturedStderr().find("column -1 is negative"), std::string::npos);
    // Two channels on column 1: a block needs two columns.
    ASSERT_EQ(fir.setChannelInputs({1, 1}), 0);
    load(fir, randomMatrix(50, 2, 23));
    CaptureStderr();
    EXPECT_EQ(fir.filterLocal(randomMatrix(N, 1, 24), 0), -1350);
    EXPECT_NE(GetCapturedStderr().find("input channel count == 1 but should be 2"), std::string::npos);
    // A list for another channel count falls back to column c for channel c, and says so.
    CaptureStderr();
    load(fir, randomMatrix(50, 3, 25));
    EXPECT_NE(GetCapturedStderr().find("setChannelInputs gave columns for 2 channels but the filter has 3"),
              std::string::npos);
    EXPECT_EQ(fir.getInputCnt(), 3);
}

TEST(FIRMobu, FilterLocalAllocatesNothingOnceLoaded) {
#ifndef MOBU_AUDIT_ALLOCATIONS
    GTEST_SKIP() << "sanitizer build: allocations are not counted";
#else
    struct Case {
        int N;
        std::vector<int> ratios; // empty: uniform
    };
    // Uniform; later stages whole and split into short transforms; on x86-64 a prime block
    // length as well (FFTW's arm64 build has no plan for those that does not allocate as it runs).
    std::vector<Case> cases = {Case{64, {}}, Case{64, {2, 32}}, Case{480, {2, 8}}, Case{1024, {2, 4}}, Case{1024, {}}};
#ifdef __x86_64__
    cases.push_back(Case{37, {}});
    cases.push_back(Case{37, {2, 4}});
#endif
    for (const Case& k : cases)
        for (const bool shared : {false, true}) { // one column each, or both channels on column 0
            const int last = k.ratios.empty() ? 1 : k.ratios.back();
            const int taps = 3 * last * k.N + 1, blocks = 2 * last + 4;
            const Eigen::MatrixXd x = randomMatrix(blocks * k.N, 2, 23);
            FIRMobu fir(2 * k.N);
            fir.setPartitioning(k.ratios.empty() ? FIRMobu::Partitioning::Uniform : FIRMobu::Partitioning::NonUniform,
                                k.ratios);
            if (shared) fir.setChannelInputs({0, 0});
            load(fir, randomMatrix(taps, 2, 24));
            ASSERT_EQ(fir.stages().size(), k.ratios.size() + 1);
            auditedAllocations = 0;
            audited = true;
            for (int b = 0; b < blocks; ++b)
                fir.filterLocal(x.middleRows(b * k.N, k.N), b % 3 - 1);
            audited = false;
            EXPECT_EQ(auditedAllocations.load(), 0)
                << "N " << k.N << ", " << k.ratios.size() << " later stages" << (shared ? ", shared input" : "");
        }
#endif
}

#ifdef MOBU_AUDIT_ALLOCATIONS
// A load that runs out of memory part way through, at every point where it asks for spectra,
// throws and keeps the filter the engine had.
TEST(FIRMobu, LoadThatRunsOutOfMemoryKeepsTheOldFilter) {
    const int N = 64;
    const Eigen::MatrixXd oldH = randomMatrix(3 * N, 2, 11), newH = randomMatrix(40 * N, 2, 12);
    const Eigen::MatrixXd x = randomMatrix(4 * N, 2, 13);
    FIRMobu reference(2 * N);
    reference.loadTimeDomainCoefficients(oldH);
    int failures = 0;
    for (long k = 0;; ++k) {
        FIRMobu f(2 * N);
        f.loadTimeDomainCoefficients(oldH);
        alignedAllocsBeforeFailure = k;
        bool threw = false;
        try {
            f.loadTimeDomainCoefficients(newH);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        alignedAllocsBeforeFailure = -1;
        if (!threw) break;
        ++failures;
        SCOPED_TRACE(k);
        ASSERT_EQ(f.getChCnt(), 2);
        reference.reset();
        for (int b = 0; b < 4; ++b) {
            ASSERT_EQ(f.filterLocal(x.middleRows(b * N, N), 0), 0);
            reference.filterLocal(x.middleRows(b * N, N), 0);
            ASSERT_TRUE((f.getFiltered() - reference.getFiltered()).isZero(0.0)) << b;
        }
    }
    EXPECT_GT(failures, 2); // the stages and the first partitions both ran out
}
#endif

TEST(FIRMobu, AutomaticPartitioningGoesNonUniformAtTheSwitchOver) {
    const int N = 64;
    const Eigen::Index from = FIRMobu::nonUniformFromPartitions * N;
    FIRMobu below(2 * N), at(2 * N), uniform(2 * N);
    load(below, randomMatrix(from - N, 1, 25));
    EXPECT_EQ(below.stages().size(), 1u);
    const Eigen::MatrixXd h = randomMatrix(from, 1, 26);
    at.setLaterPrecision(FIRMobu::Precision::Double);
    load(at, h);
    ASSERT_GT(at.stages().size(), 1u);
    uniform.setPartitioning(FIRMobu::Partitioning::Uniform);
    load(uniform, h);
    const Eigen::MatrixXd x = randomMatrix(from + 2 * at.stages().back().blockLength + 2 * N, 1, 27);
    EXPECT_LT(relativeError(filterStream(at, x, N), filterStream(uniform, x, N)), 1e-12);
}

TEST(FIRMobu, UnitImpulsePassesInputWithoutDelay) {
    const int N = 128;
    Eigen::MatrixXd h = Eigen::MatrixXd::Zero(5, 2);
    h(0, 0) = h(0, 1) = 1.0;
    FIRMobu fir(2 * N);
    load(fir, h);
    EXPECT_EQ(fir.getDirectGains().cwiseAbs().maxCoeff(), 0.0); // convolving channels
    const Eigen::MatrixXd x = randomMatrix(6 * N, 2, 6) * 1e6;
    EXPECT_LT((filterStream(fir, x, N) - x).cwiseAbs().maxCoeff(), 1e-12 * 1e6 * 10);
}

TEST_P(FIRMobuPartitioned, OneRowIsAPureGainPerChannel) {
    const int N = 32;
    Eigen::MatrixXd h(1, 3);
    h << 0.5, -2.0, 1.25;
    FIRMobu fir(2 * N);
    loadPartitioned(fir, h);
    EXPECT_EQ(fir.stages().size(), 1u);
    EXPECT_TRUE((fir.getDirectGains().matrix() - h.row(0)).isZero(0.0));
    const Eigen::MatrixXd x = randomMatrix(N, 3, 7);
    fir.filterLocal(x, 0);
    for (int c = 0; c < 3; ++c) {
        const Eigen::VectorXd expected = x.col(c) * h(0, c);
        const Eigen::VectorXd got = fir.getFiltered().col(c);
        EXPECT_TRUE(got == expected) << c;
    }
}

TEST(FIRMobu, IntegerAndSingleColumnInputsMatchDoubleInput) {
    const int N = 64;
    const Eigen::MatrixXd h = randomMatrix(200, 1, 8);
    Eigen::Matrix<int32_t, Eigen::Dynamic, Eigen::Dynamic> xi(N, 2);
    for (int n = 0; n < N; ++n)
        xi(n, 0) = xi(n, 1) = (n * 7919) % 20001 - 10000;
    FIRMobu a(2 * N), b(2 * N);
    load(a, h);
    load(b, h);
    a.filterLocal(xi.col(1), 0);
    const Eigen::VectorXd xd = xi.col(1).cast<double>();
    b.filterLocal(xd, 0);
    EXPECT_TRUE((a.getFiltered() - b.getFiltered()).isZero(0.0));
}

TEST_P(FIRMobuPartitioned, FadesRampTheBlockAndSilenceKeepsHistoryAdvancing) {
    const int N = 64;
    const Eigen::MatrixXd h = randomMatrix(6 * N + 5, 1, 9);
    const Eigen::MatrixXd x = randomMatrix(12 * N, 1, 10);
    FIRMobu plain(2 * N), fadeIn(2 * N), fadeOut(2 * N), silent(2 * N);
    for (FIRMobu* f : {&plain, &fadeIn, &fadeOut, &silent})
        loadPartitioned(*f, h);
    const Eigen::ArrayXd up = Eigen::ArrayXd::LinSpaced(N, 0.0, 1.0);
    for (int b = 0; b < 12; ++b) {
        const auto block = x.middleRows(b * N, N);
        plain.filterLocal(block, 0);
        fadeIn.filterLocal(block, 1);
        fadeOut.filterLocal(block, -5);
        silent.filterLocal(block, b == 1 ? 2 : 0);
        const Eigen::ArrayXd y = plain.getFiltered().col(0);
        EXPECT_EQ(fadeIn.getFiltered()(0, 0), 0.0);
        EXPECT_EQ(fadeIn.getFiltered()(N - 1, 0), y(N - 1));
        EXPECT_EQ(fadeOut.getFiltered()(0, 0), y(0));
        EXPECT_EQ(fadeOut.getFiltered()(N - 1, 0), 0.0);
        // To rounding (aarch64 builds fuse multiply-adds, so the ramps may differ in their last bit).
        const double tolerance = 1e-14 * y.abs().maxCoeff();
        EXPECT_LT((fadeIn.getFiltered().col(0) - y * up).abs().maxCoeff(), tolerance);
        EXPECT_LT((fadeOut.getFiltered().col(0) - y * up.reverse()).abs().maxCoeff(), tolerance);
        if (b == 1)
            EXPECT_TRUE(silent.getFiltered().isZero(0.0));
        else // the silent block's input still reached the memory
            EXPECT_TRUE((silent.getFiltered().col(0) - y).isZero(0.0)) << b;
    }
}

TEST(FIRMobu, WrongBlockLengthIsReportedAndNothingChanges) {
    const int N = 64;
    FIRMobu fir(2 * N);
    load(fir, randomMatrix(100, 1, 11));
    fir.filterLocal(randomMatrix(N, 1, 12), 0);
    const Eigen::ArrayXXd before = fir.getFiltered();
    CaptureStderr();
    fir.filterLocal(randomMatrix(N - 1, 1, 13), 0);
    EXPECT_EQ(GetCapturedStderr(), "Error : -1313 The ConvolutionMobu object and the audio subsystem have mismatching "
                                   "block sizes.   input sample count == 63 but should be 64returning without "
                                   "processing.\n");
    EXPECT_TRUE((fir.getFiltered() - before).isZero(0.0));
}

TEST(FIRMobu, BlockWithTooFewChannelsIsReportedAndNothingChanges) {
    const int N = 32;
    FIRMobu fir(2 * N);
    load(fir, randomMatrix(50, 3, 23));
    fir.filterLocal(randomMatrix(N, 3, 24), 0);
    const Eigen::ArrayXXd before = fir.getFiltered();
    CaptureStderr();
    fir.filterLocal(randomMatrix(N, 1, 25), 0);
    EXPECT_EQ(GetCapturedStderr(), "Error : -1350 Wrong number of channels specified.   input channel count == 1 but "
                                   "should be 3 returning without processing.\n");
    EXPECT_TRUE((fir.getFiltered() - before).isZero(0.0));
}

TEST(FIRMobu, EngineWithoutCoefficientsHasNoChannels) {
    FIRMobu fir(128);
    EXPECT_EQ(fir.getChCnt(), 0);
    fir.filterLocal(Eigen::MatrixXd::Ones(64, 1), 0);
    EXPECT_EQ(fir.getFiltered().rows(), 64);
    EXPECT_EQ(fir.getFiltered().cols(), 0);
}

TEST(FIRMobu, FilterGainedTruncatesTowardZeroAndSaturates) {
    const int N = 8;
    Eigen::MatrixXd h = Eigen::MatrixXd::Zero(2, 1);
    h(0, 0) = 1.0; // two rows: the convolving path
    FIRMobu fir(2 * N);
    load(fir, h);
    Eigen::VectorXd in(N);
    in << 7.3, -7.3, 3e9, -3e9, 2147483647.5, -2147483648.5, 0.25, -0.75;
    Eigen::Array<int32_t, Eigen::Dynamic, 2, Eigen::RowMajor> out =
        Eigen::Array<int32_t, Eigen::Dynamic, 2, Eigen::RowMajor>::Constant(N, 2, 99);
    EXPECT_EQ(fir.filterGained(in, out.col(0), 0, 1.0), 0);
    const int32_t expected[N] = {7, -7, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, 0, 0};
    for (int n = 0; n < N; ++n) {
        EXPECT_EQ(out(n, 0), expected[n]) << n;
        EXPECT_EQ(out(n, 1), 99) << "other column untouched";
    }
    // A per-sample gain column; the engine is reset so the block is filtered afresh.
    fir.reset();
    Eigen::ArrayXd gain = Eigen::ArrayXd::Constant(N, 2.0);
    gain(0) = -1.0;
    Eigen::Matrix<int32_t, Eigen::Dynamic, 1> outMapped(N);
    fir.filterGained(in, outMapped, 0, gain);
    EXPECT_EQ(outMapped(0), -7);
    EXPECT_EQ(outMapped(1), -14);
    EXPECT_EQ(outMapped(6), 0);
    EXPECT_EQ(outMapped(7), -1);
}

TEST(FIRMobu, FilterGainedOnSeveralChannelsReportsAndLeavesOutputAlone) {
    const int N = 8;
    FIRMobu fir(2 * N);
    load(fir, randomMatrix(20, 2, 14));
    Eigen::Matrix<int32_t, Eigen::Dynamic, 1> out = Eigen::Matrix<int32_t, Eigen::Dynamic, 1>::Constant(N, 5);
    CaptureStderr();
    EXPECT_EQ(fir.filterGained(randomMatrix(N, 2, 15), out, 0, 1.0), -1350);
    EXPECT_EQ(GetCapturedStderr(), "Error : -1350 Wrong number of channels specified.   gains.cols() == 1 but should "
                                   "be 2returning without processing.\n");
    EXPECT_TRUE((out.array() == 5).all());
}

TEST(FIRMobu, FilterGainedOnARefusedBlockLeavesOutputAlone) {
    const int N = 8;
    FIRMobu fir(2 * N);
    load(fir, randomMatrix(20, 1, 26));
    Eigen::Matrix<int32_t, Eigen::Dynamic, 1> out(N);
    fir.filterGained(randomMatrix(N, 1, 27) * 1000.0, out, 0, 1.0); // a block the engine could repeat
    struct Case {
        Eigen::MatrixXd block;
        int code;
    };
    for (const Case& k : {Case{randomMatrix(N - 1, 1, 28), -1313}, Case{Eigen::MatrixXd(N, 0), -1350}}) {
        out.setConstant(5);
        CaptureStderr();
        EXPECT_EQ(fir.filterGained(k.block, out, 0, 1.0), k.code);
        GetCapturedStderr();
        EXPECT_TRUE((out.array() == 5).all()) << k.block.rows() << " x " << k.block.cols();
    }
}

class FIRMobuFiles : public testing::Test {
protected:
    void SetUp() override { dir = mobutest::makeTempDir("fir"); }
    void TearDown() override { mobutest::removeTree(dir); }

    // Loads channel m of a file, returning the code and the captured standard output.
    int loadChannel(FIRMobu& fir, const std::string& path, unsigned m, std::string& out) {
        CaptureStdout();
        const int r = fir.loadTimeDomainCoefficients(path, m);
        out = GetCapturedStdout();
        return r;
    }
    std::string dir;
};

TEST_F(FIRMobuFiles, TrailingZerosAreTrimmedButNeverBelow2049Taps) {
    struct Case {
        int length, zeros, kept;
    };
    for (const Case& k : {Case{10000, 3000, 7000}, Case{3000, 2000, 2049}, Case{2000, 0, 2000}}) {
        Eigen::MatrixXd data = randomMatrix(k.length, 2, 16) * 0.5;
        data.col(1).tail(k.zeros).setZero();
        const std::string path = writeWav(dir, "trim" + std::to_string(k.length) + ".wav", data);
        // The loaded filter is channel 1 as stored (to the file's 32-bit resolution).
        Eigen::MatrixXd stored;
        Sox<double> sox;
        sox.openRead(path);
        sox.read(stored);
        const Eigen::MatrixXd x = randomMatrix(256 * 45, 1, 17);
        const Eigen::MatrixXd ref = directConvolution(x, stored.col(1));
        for (const auto partitioning : {FIRMobu::Partitioning::Uniform, FIRMobu::Partitioning::NonUniform}) {
            FIRMobu fir(512);
            fir.setPartitioning(partitioning);
            fir.setLaterPrecision(FIRMobu::Precision::Double);
            std::string out;
            ASSERT_EQ(loadChannel(fir, path, 1, out), 0);
            EXPECT_NE(out.find("Trimming channel 1 from " + std::to_string(k.length) + " to " + std::to_string(k.kept) +
                               " samples\n"),
                      std::string::npos)
                << out;
            char maxLine[128];
            snprintf(maxLine, sizeof maxLine, "FIRMobu::loadTimeDomainCoefficients : max coefficient = %f\n",
                     data.maxCoeff());
            EXPECT_NE(out.find(maxLine), std::string::npos) << out;
            if (partitioning == FIRMobu::Partitioning::NonUniform) {
                EXPECT_GT(fir.stages().size(), 1u);
            }
            EXPECT_LT(relativeError(filterStream(fir, x, 256), ref), 1e-9);
        }
    }
}

TEST_F(FIRMobuFiles, WholeFileLoadsEveryChannel) {
    const Eigen::MatrixXd data = randomMatrix(700, 3, 18) * 0.9;
    const std::string path = writeWav(dir, "whole.wav", data);
    FIRMobu fir(256);
    CaptureStdout();
    ASSERT_EQ(fir.loadTimeDomainCoefficients(path), 0);
    GetCapturedStdout();
    ASSERT_EQ(fir.getChCnt(), 3);
    const Eigen::MatrixXd x = randomMatrix(128 * 12, 3, 19);
    EXPECT_LT(relativeError(filterStream(fir, x, 128), directConvolution(x, data)), 1e-8);
}

TEST_F(FIRMobuFiles, FailuresReturnCodesAndKeepTheOldCoefficients) {
    const int N = 64;
    const Eigen::MatrixXd h = randomMatrix(150, 1, 20);
    const Eigen::MatrixXd x = randomMatrix(6 * N, 1, 21);
    const Eigen::MatrixXd ref = directConvolution(x, h);
    const std::string twoCh = writeWav(dir, "two.wav", randomMatrix(3000, 2, 22) * 0.5);
    const std::string empty = writeWav(dir, "empty.wav", Eigen::MatrixXd(0, 1));
    mobutest::writeFile(dir + "/garbage.wav", "this is not audio");

    FIRMobu fir(2 * N);
    load(fir, h);
    std::string out;

    CaptureStderr();
    EXPECT_EQ(loadChannel(fir, twoCh, 2, out), -1350);
    EXPECT_EQ(GetCapturedStderr(), "Error : -1350 Wrong number of channels specified.  loadTimeDomainCoefficients, "
                                   "m+1<b.cols, less channels in the FIR filter then requested.\n");

    CaptureStderr();
    EXPECT_EQ(loadChannel(fir, twoCh, static_cast<unsigned>(-1), out), -1350); // no wrap-around past the last channel
    GetCapturedStderr();

    CaptureStderr();
    EXPECT_EQ(loadChannel(fir, empty, 0, out), -1309);
    EXPECT_NE(GetCapturedStderr().find("Error : -1309 The number of samples requested and present don't match.  "
                                       "loadTimeDomainCoefficients, b.rows<1, the filter is empty.\n"),
              std::string::npos);
    CaptureStdout();
    CaptureStderr();
    const int whole = fir.loadTimeDomainCoefficients(empty);
    GetCapturedStderr();
    GetCapturedStdout();
    EXPECT_EQ(whole, -1309) << "the whole file, as one channel of it";

    for (const std::string& bad : {dir + "/missing.wav", dir + "/garbage.wav"}) {
        CaptureStderr();
        const int r = loadChannel(fir, bad, 0, out);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(r, SOX_READ_FILE_OPEN_ERROR) << bad;
        EXPECT_NE(err.find("Error : -40023 "), std::string::npos) << err;
        EXPECT_NE(err.find(bad + "\n"), std::string::npos) << err;
        CaptureStderr();
        EXPECT_EQ(fir.loadTimeDomainCoefficients(bad), SOX_READ_FILE_OPEN_ERROR);
        GetCapturedStderr();
    }
    EXPECT_EQ(fir.getChCnt(), 1);
    EXPECT_LT(relativeError(filterStream(fir, x, N), ref), 1e-9);
}

TEST_F(FIRMobuFiles, FilesPastTheTapLimitAreRefusedNamingTheFileAndTheOldFilterKept) {
    const int N = 64;
    const Eigen::MatrixXd h = randomMatrix(150, 1, 40);
    const Eigen::MatrixXd x = randomMatrix(6 * N, 1, 41);
    FIRMobu fir(2 * N);
    load(fir, h);
    Eigen::MatrixXd longest = Eigen::MatrixXd::Zero(FIRMobu::maxTaps, 1);
    longest(FIRMobu::maxTaps - 1, 0) = 0.5; // nothing to trim
    const std::string atLimit = writeWav(dir, "limit.wav", longest);
    longest.conservativeResize(FIRMobu::maxTaps + 1, 1);
    longest(FIRMobu::maxTaps, 0) = 0.25;
    const std::string past = writeWav(dir, "past.wav", longest);

    Eigen::VectorXd taps;
    CaptureStdout();
    EXPECT_EQ(FIRMobu::readChannel(atLimit, 0, taps), 0);
    GetCapturedStdout();
    EXPECT_EQ(taps.size(), FIRMobu::maxTaps);
    const std::string refusal = "Error : -1373 ";
    const std::string naming = past + " has more than 2097152 taps\n";
    CaptureStderr();
    std::string out;
    EXPECT_EQ(loadChannel(fir, past, 0, out), MOBU_TAP_LIMIT_ERROR);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find(refusal), std::string::npos) << err;
    EXPECT_NE(err.find(naming), std::string::npos) << err;
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(fir.loadTimeDomainCoefficients(past), MOBU_TAP_LIMIT_ERROR) << "the whole file";
    err = GetCapturedStderr();
    GetCapturedStdout();
    EXPECT_NE(err.find(naming), std::string::npos) << err;
    EXPECT_EQ(fir.getChCnt(), 1);
    EXPECT_LT(relativeError(filterStream(fir, x, N), directConvolution(x, h)), 1e-9);
}

TEST_F(FIRMobuFiles, CoefficientFilesWithNaNOrInfinityAreRefusedAndTheOldFilterKept) {
    // Floating-point WAV files as other programs write them (libsox reads NaN as -1, infinity as +1).
    struct Case {
        const char* name;
        const char* dtype;
        const char* value;
        int column, code;
    };
    const Case cases[] = {
        {"nan32.wav", "float32", "np.nan", 0, SOX_NON_FINITE_ERROR},
        {"inf64.wav", "float64", "np.inf", 0, SOX_NON_FINITE_ERROR},
        {"minusinf32.wav", "float32", "-np.inf", 1, SOX_NON_FINITE_ERROR}, // in the channel not loaded
        {"finite32.wav", "float32", "0.5", 0, 0},
    };
    const int N = 64;
    const Eigen::MatrixXd h = randomMatrix(150, 1, 20);
    const Eigen::MatrixXd x = randomMatrix(6 * N, 1, 21);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string path = dir + "/" + k.name;
        const std::string script = std::string("import numpy as np, scipy.io.wavfile as w, sys\n") +
                                   "x = np.full((3000, 2), 0.25, dtype=np." + k.dtype + ")\n" + "x[1234, " +
                                   std::to_string(k.column) + "] = " + k.value + "\n" +
                                   "w.write(sys.argv[1], 48000, x)\n";
        const auto py = mobutest::runProcess({mobutest::referencePython(), "-c", script, path});
        ASSERT_EQ(py.status, 0) << py.err;
        FIRMobu fir(2 * N);
        load(fir, h);
        std::string out;
        CaptureStderr();
        EXPECT_EQ(loadChannel(fir, path, 0, out), k.code);
        const std::string err = GetCapturedStderr();
        if (k.code == 0) {
            EXPECT_EQ(err, "");
            continue;
        }
        EXPECT_NE(err.find("Error : -40035 The audio file holds samples that are not finite numbers"),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find(path + "\n"), std::string::npos) << err;
        EXPECT_LT(relativeError(filterStream(fir, x, N), directConvolution(x, h)), 1e-9) << "old filter kept";
    }
}

TEST_F(FIRMobuFiles, AFileAtAnotherRateThanTheStreamLoadsWithAWarningNamingBoth) {
    const std::string path = writeWav(dir, "rate.wav", randomMatrix(3000, 1, 23) * 0.5, 44100.0);
    FIRMobu fir(128);
    const struct {
        double stream;
        bool warned;
    } cases[] = {{48000.0, true}, {44100.0, false}, {0.0, false}};
    for (const auto& k : cases) {
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(fir.loadTimeDomainCoefficients(path, 0, k.stream), 0);
        const std::string err = GetCapturedStderr();
        GetCapturedStdout();
        EXPECT_EQ(err.find("Warning : the coefficient file " + path +
                           " is at 44100 Hz but the stream runs at 48000 Hz\n") != std::string::npos,
                  k.warned)
            << k.stream << ": " << err;
    }
}

TEST_F(FIRMobuFiles, FilesThatAreNotRegularAreRefusedWithoutWaiting) {
    const std::string fifo = dir + "/fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FIRMobu fir(128);
    for (const std::string& path : {fifo, dir}) {
        const auto r = mobutest::returnsWithoutWriter(fifo, std::chrono::seconds(5), [&] {
            CaptureStdout();
            CaptureStderr();
            const int whole = fir.loadTimeDomainCoefficients(path);
            const int one = fir.loadTimeDomainCoefficients(path, 0);
            const std::string err = GetCapturedStderr();
            GetCapturedStdout();
            return std::make_tuple(whole, one, err);
        });
        EXPECT_TRUE(r.first) << path << " kept the loader waiting";
        EXPECT_EQ(std::get<0>(r.second), -40033) << path;
        EXPECT_EQ(std::get<1>(r.second), -40033) << path;
        EXPECT_NE(std::get<2>(r.second).find("Error : -40033 The audio file is not a regular file. "),
                  std::string::npos)
            << std::get<2>(r.second);
    }
    EXPECT_EQ(fir.getChCnt(), 0);
}
