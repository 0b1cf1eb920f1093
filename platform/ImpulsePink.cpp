#include "ImpulsePink.h"

#include <fftw3.h>

#include <cmath>
#include <complex>

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
    // magnitudes with the phase of the delay, which is real and symmetric.  One
    // inverse real transform makes it in O(L log L) (the sum term by term is O(L^2):
    // seconds for the blocks of a long audio period).
    const Eigen::Index bins = L / 2 + 1;
    Eigen::ArrayXcd X = Eigen::ArrayXcd::Zero(bins);
    for (Eigen::Index k = 1; k <= half; ++k) {
        if (A(k) == 0.0) continue;
        // The delay's phase -pi k (L - 1) / L, reduced exactly modulo 2 pi first.
        const auto turns = static_cast<long long>(k) * static_cast<long long>(L - 1) % (2LL * L);
        X(k) = std::polar(A(k), -pi * static_cast<double>(turns) / static_cast<double>(L));
    }
    Eigen::ArrayXd h(L);
    fftw_plan plan = fftw_plan_dft_c2r_1d(static_cast<int>(L), reinterpret_cast<fftw_complex*>(X.data()), h.data(),
                                          FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    if (!plan) return ImpulseBandLimitedDebug().evaluateError(IMPULSE_ARGUMENT_ERROR);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    h /= static_cast<double>(L);
    h = (0.5 * (h + h.reverse())).eval(); // evaluated first: reverse() aliases h
    static_cast<Eigen::Matrix<FP, Eigen::Dynamic, 1>&>(*this) = h.cast<FP>().matrix();
    return 0;
}

template class ImpulsePowerLaw<double>;
template class ImpulsePowerLaw<float>;
