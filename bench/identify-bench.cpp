// identify-bench: the cost of identifying one channel (least squares by the Levinson-Durbin
// recursion) for N = 1024, 4096 and 16384 taps from a 48000-sample chirp period, and its error
// on noisy recordings next to a plain spectral-division deconvolution written here.
//
//   build/bench/identify-bench [--quick]

#include <LevinsonDurban.h>
#include <MobuEmbedded/Calibration.h>

#include <fftw3.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Column = Eigen::VectorXd;

/// y = x circularly convolved with h, by FFT (the benchmark's own, independent of the library).
struct Spectra {
    explicit Spectra(int n) : n(n), time(fftw_alloc_real(n)), freq(fftw_alloc_complex(n / 2 + 1)) {
        forward = fftw_plan_dft_r2c_1d(n, time, freq, FFTW_ESTIMATE);
        backward = fftw_plan_dft_c2r_1d(n, freq, time, FFTW_ESTIMATE);
    }
    ~Spectra() {
        fftw_destroy_plan(forward);
        fftw_destroy_plan(backward);
        fftw_free(time);
        fftw_free(freq);
    }
    std::vector<std::complex<double>> dft(const Column& x) {
        std::fill(time, time + n, 0.0);
        std::copy(x.data(), x.data() + std::min<Eigen::Index>(x.size(), n), time);
        fftw_execute(forward);
        std::vector<std::complex<double>> X(n / 2 + 1);
        for (int k = 0; k <= n / 2; ++k)
            X[k] = {freq[k][0], freq[k][1]};
        return X;
    }
    Column idft(const std::vector<std::complex<double>>& X) {
        for (int k = 0; k <= n / 2; ++k) {
            freq[k][0] = X[k].real();
            freq[k][1] = X[k].imag();
        }
        fftw_execute(backward);
        Column x(n);
        for (int i = 0; i < n; ++i)
            x(i) = time[i] / n;
        return x;
    }
    int n;
    double* time;
    fftw_complex* freq;
    fftw_plan forward, backward;
};

double errorDB(const Column& model, const Column& truth) {
    return 10.0 * std::log10((model - truth).squaredNorm() / truth.squaredNorm());
}

} // namespace

int main(int argc, char* argv[]) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    Calibration calibration;
    calibration.generateChirp();
    calibration.maxScaleChirp(32);
    const Column x = calibration.chirp.matrix();
    const int L = static_cast<int>(x.size());
    Spectra spectra(L);

    std::mt19937 gen(1);
    std::normal_distribution<double> normal;
    // A loudspeaker in a room: 3000 taps, a direct sound 40 samples in and a decaying tail.
    Column h = Column::Zero(3000);
    h(40) = 1.0;
    for (int k = 41; k < 3000; ++k)
        h(k) = 0.05 * std::exp(-(k - 41) / 600.0) * normal(gen);
    const auto X = spectra.dft(x), H = spectra.dft(h);
    std::vector<std::complex<double>> Y(X.size());
    for (size_t k = 0; k < X.size(); ++k)
        Y[k] = X[k] * H[k];
    const Column clean = spectra.idft(Y);

    LevinsonDurban ld;
    std::printf("Identification of one channel from a %d-sample period (%s)\n\n", L, quick ? "quick" : "full");
    std::printf("%8s %14s\n", "N", "time (ms)");
    for (int N : {1024, 4096, 16384}) {
        const int repeats = quick ? 1 : 5;
        double bestMs = 1e30;
        for (int r = 0; r < repeats; ++r) {
            const auto start = std::chrono::steady_clock::now();
            const Column model = ld.getImpulseModelCoreCore(N, x, clean);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            bestMs = std::min(bestMs, ms);
            if (model.size() != N) return 1;
        }
        std::printf("%8d %14.1f\n", N, bestMs);
    }

    std::printf("\nError energy of the identified response against the true one (dB); the room is 3000 taps,\n"
                "so at N = 1024 the truth is its first 1024 taps\n\n");
    std::printf("%6s %8s %16s %18s\n", "N", "SNR dB", "least squares", "spectral division");
    const double rms = std::sqrt(clean.squaredNorm() / L);
    for (int N : {1024, 4096}) {
        Column truth = Column::Zero(N);
        truth.head(std::min<Eigen::Index>(N, h.size())) = h.head(std::min<Eigen::Index>(N, h.size()));
        for (double snr : {20.0, 40.0, 60.0}) {
            Column noisy = clean;
            for (int n = 0; n < L; ++n)
                noisy(n) += rms * std::pow(10.0, -snr / 20.0) * normal(gen);
            const Column ls = ld.getImpulseModelCoreCore(N, x, noisy);
            // Spectral division: H = Y / X in every bin, the first N samples of its inverse.
            const auto Yn = spectra.dft(noisy);
            std::vector<std::complex<double>> D(X.size());
            for (size_t k = 0; k < X.size(); ++k)
                D[k] = std::abs(X[k]) > 0.0 ? Yn[k] / X[k] : 0.0;
            const Column sd = spectra.idft(D).head(N);
            std::printf("%6d %8.0f %16.1f %18.1f\n", N, snr, errorDB(ls, truth), errorDB(sd, truth));
        }
    }
    return 0;
}
