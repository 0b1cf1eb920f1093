// A program built against an installed tree (by run-install-test.sh, through
// pkg-config and through find_package): filters a two-channel stream through
// FIRMobu block by block and compares it with the direct convolution computed
// here, and checks libMobuCal2Impulse's band window at its centre and an octave
// above.  Exit status 0 when both agree, 1 otherwise.
#include <FrequencyWindow.h>
#include <MobuEmbedded/FIRMobu.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

int main() {
    const int N = 64, taps = 150, blocks = 6, channels = 2;
    Eigen::MatrixXd h(taps, channels), x(N * blocks, channels);
    for (int c = 0; c < channels; ++c) {
        for (int k = 0; k < taps; ++k)
            h(k, c) = std::sin(0.37 * k + c) / (1.0 + 0.05 * k);
        for (int n = 0; n < N * blocks; ++n)
            x(n, c) = std::cos(0.11 * n * (c + 1)) + 0.25 * std::sin(1.7 * n);
    }
    FIRMobu fir(2 * N);
    fir.loadTimeDomainCoefficients(h);
    double error = 0.0, peak = 0.0;
    for (int b = 0; b < blocks; ++b) {
        if (fir.filterLocal(x.middleRows(b * N, N), 0) != 0) {
            std::printf("block %d refused\n", b);
            return 1;
        }
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < N; ++i) {
                const int n = b * N + i;
                double direct = 0.0;
                for (int k = 0; k <= std::min(taps - 1, n); ++k)
                    direct += h(k, c) * x(n - k, c);
                error = std::max(error, std::abs(fir.getFiltered()(i, c) - direct));
                peak = std::max(peak, std::abs(direct));
            }
    }
    // 480 bins at 48 kHz are 100 Hz apart: bin 10 is the centre (1 kHz), bin 20 an octave up.
    Eigen::VectorXd window;
    applyGaussianFrequencyWindow(Eigen::VectorXd::Unit(480, 0), 48000.0f, 1000.0, &window);
    const bool windowRight = window.size() == 480 && std::abs(window(10) - 1.0) < 1e-12 &&
                             std::abs(window(20) - std::sqrt(0.5)) < 1e-9 && window(0) == 0.0;
    std::printf("FIR error %.3g of peak %.3g; window %.9f at fc, %.9f an octave up\n", error, peak,
                window.size() > 20 ? window(10) : NAN, window.size() > 20 ? window(20) : NAN);
    return peak > 1.0 && error < 1e-9 * peak && windowRight ? 0 : 1;
}
