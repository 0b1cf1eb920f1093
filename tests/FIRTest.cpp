// Block convolution by FFT: blocks of any length against any number of taps give
// the direct linear convolution of the whole signal; bad arguments are refused
// without touching the output or the carried state.
#include <FIR.h>

#include <gtest/gtest.h>

#include <random>

namespace {

using Column = FIR<double>::Column;

Column randomColumn(Eigen::Index n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Column x(n);
    for (Eigen::Index i = 0; i < n; ++i)
        x(i) = u(gen);
    return x;
}

TEST(FIR, BlocksGiveTheDirectConvolutionOfTheWholeSignal) {
    struct Case {
        Eigen::Index block, taps;
        int blocks;
    };
    for (const Case& c :
         {Case{64, 1, 5}, Case{64, 10, 7}, Case{1, 5, 20}, Case{7, 300, 60}, Case{1000, 1024, 3}, Case{4800, 777, 2}}) {
        const Column h = randomColumn(c.taps, 1), x = randomColumn(c.block * c.blocks, 2);
        FIR<double> fir;
        ASSERT_EQ(fir.init(c.block), 0);
        ASSERT_EQ(fir.loadTimeDomainCoefficients(h), 0);
        EXPECT_GE(fir.getFFTSize(), c.block + c.taps - 1);
        double worst = 0;
        for (int b = 0; b < c.blocks; ++b) {
            const Column y = fir.filter(x.segment(b * c.block, c.block));
            ASSERT_EQ(y.size(), c.block);
            for (Eigen::Index n = 0; n < c.block; ++n) {
                const Eigen::Index t = b * c.block + n;
                long double ref = 0;
                for (Eigen::Index k = 0; k < c.taps && k <= t; ++k)
                    ref += static_cast<long double>(h(k)) * x(t - k);
                worst = std::max(worst, static_cast<double>(std::fabs(ref - y(n))));
            }
        }
        EXPECT_LT(worst, 1e-12) << "block " << c.block << ", " << c.taps << " taps";
        // The carried tail is the rest of the last block's response; reset() starts afresh.
        EXPECT_EQ(fir.getState().size(), c.taps - 1);
        fir.reset();
        const Column again = fir.filter(x.head(c.block));
        FIR<double> fresh;
        fresh.init(c.block);
        fresh.loadTimeDomainCoefficients(h);
        EXPECT_LT((fresh.filter(x.head(c.block)) - again).cwiseAbs().maxCoeff(), 1e-13);
    }
}

TEST(FIR, BadArgumentsAreRefusedAndLeaveTheOutputAndStateAlone) {
    FIR<double> fir;
    EXPECT_EQ(fir.loadTimeDomainCoefficients(Column::Ones(3)), FIR_ARGUMENT_ERROR) << "before init";
    EXPECT_EQ(fir.init(0), FIR_ARGUMENT_ERROR);
    ASSERT_EQ(fir.init(8), 0);
    Column y = Column::Constant(8, 7.0);
    EXPECT_EQ(fir.filter(Column::Ones(8), y), FIR_BLOCK_ERROR) << "no coefficients";
    EXPECT_EQ(fir.loadTimeDomainCoefficients(Column(0)), FIR_ARGUMENT_ERROR);
    Column bad = Column::Ones(3);
    bad(1) = std::nan("");
    EXPECT_EQ(fir.loadTimeDomainCoefficients(bad), FIR_ARGUMENT_ERROR);
    ASSERT_EQ(fir.loadTimeDomainCoefficients(Column::Ones(3)), 0);
    ASSERT_EQ(fir.filter(Column::Ones(8), y), 0);
    const Column state = fir.getState();
    EXPECT_LT((state - Column::LinSpaced(2, 2.0, 1.0)).cwiseAbs().maxCoeff(), 1e-12) << "the tail of 8 ones * 3 ones";
    Column shortOut = Column::Constant(5, 7.0);
    EXPECT_EQ(fir.filter(Column::Ones(5), shortOut), FIR_BLOCK_ERROR);
    EXPECT_EQ(fir.filter(Column::Ones(8), shortOut), FIR_BLOCK_ERROR);
    EXPECT_EQ(shortOut, Column::Constant(5, 7.0));
    EXPECT_EQ(fir.getState(), state);
    EXPECT_EQ(fir.filter(Column::Ones(5)).size(), 0);
}

} // namespace
