#include "ImpulseBandLimited.h"

#include <cmath>

ImpulseBandLimitedDebug::ImpulseBandLimitedDebug() {
    errors[IMPULSE_ARGUMENT_ERROR] = "ImpulseBandLimited : the duration, sample rate or band edges give no filter "
                                     "(at least one tap, fs > 0, 0 <= fLow < fHigh, fLow < fs / 2, all finite). ";
}

namespace {

constexpr double kaiserBeta = 8.0; // side lobes near -80 dB

/// Kaiser-windowed sinc low-pass with cutoff f (Hz), taps centred on (L - 1) / 2, DC gain 1.
Eigen::ArrayXd lowPass(Eigen::Index L, double fs, double f) {
    const double centre = 0.5 * static_cast<double>(L - 1), wc = 2.0 * f / fs, pi = std::acos(-1.0);
    const double i0Beta = std::cyl_bessel_i(0.0, kaiserBeta);
    Eigen::ArrayXd h(L);
    for (Eigen::Index n = 0; n < L; ++n) {
        const double t = static_cast<double>(n) - centre;
        const double x = wc * t;
        const double sinc = x == 0.0 ? 1.0 : std::sin(pi * x) / (pi * x);
        const double r = centre > 0.0 ? t / centre : 0.0;
        const double window = std::cyl_bessel_i(0.0, kaiserBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / i0Beta;
        h(n) = sinc * window;
    }
    return h / h.sum();
}

} // namespace

template <typename FP>
int ImpulseBandLimited<FP>::generateImpulseShift(float duration, float fs, float fLow, float fHigh) {
    this->resize(0);
    const double taps = std::round(static_cast<double>(duration) * fs);
    if (!std::isfinite(duration) || !std::isfinite(fs) || !std::isfinite(fLow) || !std::isfinite(fHigh) || fs <= 0.0f ||
        !(taps >= 1.0) || taps > 1e8 || fLow < 0.0f || fHigh <= fLow || fLow >= 0.5f * fs)
        return ImpulseBandLimitedDebug().evaluateError(IMPULSE_ARGUMENT_ERROR);
    const auto L = static_cast<Eigen::Index>(taps);
    const double top = std::min(static_cast<double>(fHigh), 0.5 * fs);
    Eigen::ArrayXd h = lowPass(L, fs, top);
    if (fLow > 0.0f) h -= lowPass(L, fs, fLow);
    // Exactly symmetric: average each tap with its mirror.
    h = (0.5 * (h + h.reverse())).eval(); // evaluated first: reverse() aliases h
    static_cast<Eigen::Matrix<FP, Eigen::Dynamic, 1>&>(*this) = h.cast<FP>().matrix();
    return 0;
}

template class ImpulseBandLimited<double>;
template class ImpulseBandLimited<float>;
