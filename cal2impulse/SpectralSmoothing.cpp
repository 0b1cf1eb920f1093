#include "SpectralSmoothing.h"

#include <algorithm>
#include <cmath>

namespace spectralsmoothing {

Eigen::VectorXd widths(Eigen::Index bins, double fs, Eigen::Index n, double lowK, double highK, double transitionHz) {
    Eigen::VectorXd w = Eigen::VectorXd::Constant(bins, 1.0 / lowK);
    if (!(transitionHz > 0.0) || !(highK < lowK)) return w;
    for (Eigen::Index k = 1; k < bins; ++k) {
        const double octaves = std::log2(k * fs / n / transitionHz); // above the transition
        if (octaves <= 0.0) continue;
        const double t = std::min(octaves, 1.0);
        w(k) = std::pow(1.0 / lowK, 1.0 - t) * std::pow(1.0 / highK, t);
    }
    return w;
}

Eigen::VectorXd smooth(const Eigen::VectorXd& values, const Eigen::VectorXd& widths) {
    const Eigen::Index m = values.size();
    std::vector<long double> sums(static_cast<size_t>(m) + 1, 0.0L);
    for (Eigen::Index j = 0; j < m; ++j)
        sums[static_cast<size_t>(j) + 1] = sums[static_cast<size_t>(j)] + values(j);
    Eigen::VectorXd out(m);
    if (m > 0) out(0) = values(0);
    for (Eigen::Index k = 1; k < m; ++k) {
        const double half = 0.5 * widths(std::min(k, widths.size() - 1));
        const Eigen::Index lo = std::max<Eigen::Index>(1, static_cast<Eigen::Index>(std::ceil(k * std::exp2(-half))));
        const Eigen::Index hi = std::min(m - 1, static_cast<Eigen::Index>(std::floor(k * std::exp2(half))));
        out(k) = static_cast<double>((sums[static_cast<size_t>(hi) + 1] - sums[static_cast<size_t>(lo)]) /
                                     static_cast<long double>(hi - lo + 1));
    }
    return out;
}

Eigen::VectorXd spreadDB(const std::vector<Eigen::VectorXd>& positionsDB) {
    if (positionsDB.size() < 2) return Eigen::VectorXd::Zero(positionsDB.empty() ? 0 : positionsDB[0].size());
    Eigen::VectorXd mean = Eigen::VectorXd::Zero(positionsDB[0].size());
    for (const Eigen::VectorXd& p : positionsDB)
        mean += p;
    mean /= static_cast<double>(positionsDB.size());
    Eigen::VectorXd sum = Eigen::VectorXd::Zero(mean.size());
    for (const Eigen::VectorXd& p : positionsDB)
        sum += (p - mean).cwiseAbs2();
    return (sum / static_cast<double>(positionsDB.size())).cwiseSqrt();
}

} // namespace spectralsmoothing
