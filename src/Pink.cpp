#include "MobuEmbedded/Pink.h"

#include <ImpulsePink.h>

#include <cmath>
#include <iostream>

Pink::~Pink() {
    destroyPlans();
}

void Pink::destroyPlans() {
    if (forward) fftw_destroy_plan(forward);
    if (inverse) fftw_destroy_plan(inverse);
    forward = inverse = nullptr;
}

namespace {
/// The N-point spectrum of an impulse response of N taps.
Eigen::ArrayXcd spectrum(const Eigen::VectorXd& h, int N) {
    Eigen::ArrayXd x = Eigen::ArrayXd::Zero(N);
    x.head(std::min<Eigen::Index>(N, h.size())) = h.head(std::min<Eigen::Index>(N, h.size())).array();
    Eigen::ArrayXcd X(N);
    fftw_plan p = fftw_plan_dft_r2c_1d(N, x.data(), reinterpret_cast<fftw_complex*>(X.data()), FFTW_ESTIMATE);
    fftw_execute(p);
    fftw_destroy_plan(p);
    for (int k = N / 2 + 1; k < N; ++k) // the upper half of a real signal's spectrum
        X(k) = std::conj(X(N - k));
    return X;
}
} // namespace

void Pink::genNoiseMag(int fs, int N) {
    destroyPlans();
    ImpulsePink<double> pink;
    ImpulsePinkInv<double> inversePink;
    const float duration = static_cast<float>(N) / static_cast<float>(fs);
    pink.generateImpulseShift(duration, static_cast<float>(fs), 20.0f, 20000.0f);
    inversePink.generateImpulseShift(duration, static_cast<float>(fs), 20.0f, 20000.0f);
    const double scale = static_cast<double>(N) * pinkScale / 100.0;
    HNoise.setZero(N);
    HNoiseInv.setZero(N);
    noiseSpectrum.setZero(N);
    noiseTime.setZero(N);
    if (N < 1) return;
    HNoise = spectrum(pink * scale, N);
    HNoiseInv = spectrum(inversePink * scale, N);
    // Plans on the member arrays, made here so that the audio path only executes them.
    forward =
        fftw_plan_dft_r2c_1d(N, noiseTime.data(), reinterpret_cast<fftw_complex*>(noiseSpectrum.data()), FFTW_ESTIMATE);
    inverse = fftw_plan_dft_c2r_1d(N, reinterpret_cast<fftw_complex*>(noiseSpectrum.data()), noiseTime.data(),
                                   FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    lengthWarned = false;
}

void Pink::setNoiseLevel(double rms) {
    // A block is the real inverse transform of bins 0 ... N / 2 of (v + iv) H, v uniform in
    // [-1, 1] (E v^2 = 1/3): bins 1 ... N / 2 - 1 give a mean power of 2 E|(v + iv) H_k|^2 = (4/3)
    // |H_k|^2 each, bins 0 and N / 2 (E (v H_k)^2 = |H_k|^2 / 3, their real part only) less;
    // scaled by 1 / N^2 with the transform's 1 / N.
    const Eigen::Index N = HNoise.rows();
    if (N < 2) return;
    double power = 0.0;
    for (Eigen::Index k = 1; k < N / 2; ++k)
        power += 4.0 / 3.0 * std::norm(HNoise(k));
    power += (std::pow(HNoise(0).real(), 2) + std::pow(HNoise(N / 2).real(), 2)) / 3.0;
    const double scale = unscaled ? 1.0 : 1.0 / static_cast<double>(N);
    const double expected = std::sqrt(power) * scale;
    if (expected > 0.0) HNoise *= rms / expected;
}

void Pink::makeNoiseBlock() {
    const Eigen::Index N = noiseSpectrum.rows();
    for (Eigen::Index k = 0; k < N; ++k) {
        const double v = rand() * 2.0 / 2147483647.0 - 1.0;
        noiseSpectrum(k) = std::complex<double>(v, v);
    }
    noiseSpectrum *= HNoise;
    fftw_execute(inverse); // reads bins 0 ... N / 2
    if (!unscaled) noiseTime /= static_cast<double>(N);
}

void Pink::deNoise(float* data, int N) {
    if (N != HNoise.rows()) {
        printf("Pink::N = %d, but expecting HNoise.rows() = %ld.\n", N, static_cast<long>(HNoise.rows()));
        std::cout << "Call Pink::genNoiseMag first with these parameters." << std::endl;
        return;
    }
    if (N < 1) return;
    for (int n = 0; n < N; ++n)
        noiseTime(n) = data[n];
    fftw_execute(forward); // bins 0 ... N / 2
    for (int k = N / 2 + 1; k < N; ++k)
        noiseSpectrum(k) = std::conj(noiseSpectrum(N - k));
    noiseSpectrum *= HNoiseInv;
    const double mean = noiseSpectrum.abs().mean();
    if (mean > 0.0) noiseSpectrum /= mean; // silence stays silence
    fftw_execute(inverse);
    if (!unscaled) noiseTime /= static_cast<double>(N);
    for (int n = 0; n < N; ++n)
        data[n] = static_cast<float>(noiseTime(n));
}
