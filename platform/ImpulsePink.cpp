#include "ImpulsePink.h"

#include <cmath>

template <typename FP>
int ImpulsePowerLaw<FP>::generateImpulseShift(float duration, float fs, float fLow, float fHigh) {
    this->resize(0);
    const double taps = std::round(static_cast<double>(duration) * fs);
    if (!std::isfinite(duration) || !std::isfinite(fs) || !std::isfinite(fLow) || !std::isfinite(fHigh) || fs <= 0.0f ||
        !(taps >= 1.0) || taps > 1e6 || fLow < 0.0f || fHigh <= fLow || fLow >= 0.5f * fs)
        return ImpulseBandLimitedDebug().evaluateError(IMPULSE_ARGUMENT_ERROR);
    const auto L = static_cast<Eigen::Index>(taps);
    const double pi = std::acos(-1.0);
    // The magnitudes at the bins below fs / 2 (DC and fs / 2 are 0: a real, symmetric
    // response of even length must vanish at fs / 2).
    const Eigen::Index half = (L - 1) / 2;
    Eigen::ArrayXd A = Eigen::ArrayXd::Zero(half + 1);
    for (Eigen::Index k = 1; k <= half; ++k) {
        const double f = static_cast<double>(k) * fs / static_cast<double>(L);
        if (f >= fLow && f <= fHigh) A(k) = std::pow(f / 1000.0, exponent);
    }
    // h(n) = (2 / L) sum_k A(k) cos(2 pi k (n - centre) / L): the inverse DFT of the
    // magnitudes with the phase of the delay, which is real and symmetric.
    // The argument is 2 pi k (2n - L + 1) / (2L): a table of 2L cosines serves every term.
    Eigen::ArrayXd cosine(2 * L);
    for (Eigen::Index m = 0; m < 2 * L; ++m)
        cosine(m) = std::cos(pi * static_cast<double>(m) / static_cast<double>(L));
    Eigen::ArrayXd h = Eigen::ArrayXd::Zero(L);
    for (Eigen::Index n = 0; n < L; ++n) {
        const Eigen::Index step = ((2 * n - L + 1) % (2 * L) + 2 * L) % (2 * L);
        double sum = 0.0;
        Eigen::Index m = 0;
        for (Eigen::Index k = 1; k <= half; ++k) {
            m = (m + step) % (2 * L);
            sum += A(k) * cosine(m);
        }
        h(n) = 2.0 * sum / static_cast<double>(L);
    }
    h = (0.5 * (h + h.reverse())).eval(); // evaluated first: reverse() aliases h
    static_cast<Eigen::Matrix<FP, Eigen::Dynamic, 1>&>(*this) = h.cast<FP>().matrix();
    return 0;
}

template class ImpulsePowerLaw<double>;
template class ImpulsePowerLaw<float>;
