#ifndef MOBU_TESTS_TESTSIGNALS_H
#define MOBU_TESTS_TESTSIGNALS_H

#include <Eigen/Dense>

#include <cmath>
#include <random>

namespace mobutest {

/// Random filters, taps x channels, decaying as exp(-decay t / taps), with sum |h| of 0.9 per channel.
inline Eigen::MatrixXd randomFilters(int taps, int channels, unsigned seed, double decay = 4.0) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> dist;
    Eigen::MatrixXd h(taps, channels);
    for (int c = 0; c < channels; ++c) {
        for (int t = 0; t < taps; ++t)
            h(t, c) = dist(gen) * std::exp(-decay * t / taps);
        h.col(c) *= 0.9 / h.col(c).cwiseAbs().sum();
    }
    return h;
}

} // namespace mobutest

#endif
