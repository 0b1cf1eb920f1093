// Measures how fast the FIR engine filters random audio at 96 kHz, for one to
// three channels and filters of 4096 to 65536 taps, and prints the processor
// time used and its fraction of real time.
#include <MobuEmbedded/FIRMobu.h>
#include <OptionParser.h>

#include <cmath>
#include <ctime>
#include <iostream>
#include <memory>

int main(int argc, char* argv[]) {
    OptionParser options(argc, argv);
    int n = 0;
    float t = 0.0f;
    if (options.getArg("N", n) != 0 || n < 2) {
        std::cout << "Please specifcy the number of samples to process at the same time e.g. : -N 512 or --N=512"
                  << std::endl;
        return -1;
    }
    if (options.getArg("s", t) != 0 || !(t > 0.0f)) {
        std::cout << "Please specifcy the number of seconds to process at the same time e.g. : -s 10.1 or --s=10.1"
                  << std::endl;
        return -1;
    }
    const float fs = 96000.0f;
    const int half = n / 2;
    // The run holds its input and output in memory: up to a minute, and at least one block.
    const float maxSeconds = 60.0f;
    if (!(t <= maxSeconds) || std::floor(t * fs) <= static_cast<float>(half)) {
        std::cerr << "Error : -s " << t << " seconds is out of range: at 96000 Hz it must give more than one block of "
                  << half << " samples (N/2) and be at most " << maxSeconds << " seconds" << std::endl;
        return -1;
    }
    std::cout << "Processing N=" << n << " samples at a time" << std::endl;
    std::cout << "Processing " << t << " seconds" << std::endl;
    const int L = static_cast<int>(std::floor(t * fs));
    std::cout << "N/2=" << half << " latency = " << static_cast<float>(half) / fs << " s" << std::endl;

    const int chCnt = 3, lengthCnt = 5;
    Eigen::ArrayXXd times(chCnt, lengthCnt);
    for (int c = 1; c <= chCnt; ++c)
        for (int k = 0; k < lengthCnt; ++k) {
            const int taps = 1 << (12 + k);
            const Eigen::MatrixXd x = Eigen::MatrixXd::Random(L, c);
            const Eigen::MatrixXd h = Eigen::MatrixXd::Random(taps, c);
            Eigen::MatrixXd y(L, c);
            auto fir = std::make_unique<FIRMobu>(n);
            fir->loadTimeDomainCoefficients(h);
            std::cout << "Processing for " << c << " channels and " << taps << " samples" << std::endl;
            const clock_t start = clock();
            for (int s = 0; s + half < L; s += half) {
                fir->filterLocal(x.block(s, 0, half, c), 0);
                y.block(s, 0, half, c) = fir->getFiltered().matrix();
            }
            times(c - 1, k) = static_cast<double>(clock() - start);
        }

    auto table = [&](double divisor) {
        for (int c = 1; c <= chCnt; ++c) {
            std::cout << "ch = " << c << " : ";
            for (int k = 0; k < lengthCnt; ++k)
                std::cout << static_cast<float>(times(c - 1, k) / 1000000. / divisor) << '\t';
            std::cout << std::endl;
        }
    };
    std::cout << std::endl << "ticks : " << std::endl;
    table(1.0);
    std::cout << "real time : " << std::endl;
    table(t);
    return 0;
}
