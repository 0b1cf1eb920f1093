// Times the FIR engine's spectrum kernels set against set on the same data: the portable
// short-vector code against the instruction set this processor runs by default (AVX2 on x86-64
// processors that have it, NEON on aarch64).  The figure that matters is the ratio; under
// user-mode emulation (qemu-aarch64) absolute times mean nothing.  Then the single-precision
// kernels of the later stages, kernel by kernel.
//   fir-kernels-bench [-t seconds per measurement]
#include "FIRKernels.h"

#include <chrono>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Best time of five runs of fn, each repeated until it has taken its share of seconds.
template <typename Fn> double bestSeconds(double seconds, const Fn& fn) {
    double best = 1e300;
    for (int run = 0; run < 5; ++run) {
        long calls = 0;
        const auto start = Clock::now();
        double elapsed = 0;
        do {
            fn();
            ++calls;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < seconds / 5);
        best = std::min(best, elapsed / calls);
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 0.5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-t") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [-t seconds per measurement]\n", argv[0]);
            return 1;
        }
    }
    const firkernels::SpectrumKernels& portable = firkernels::portableSpectrumKernels();
    const firkernels::SpectrumKernels& chosen = firkernels::defaultSpectrumKernels();
    std::printf("default set: %s\n", firkernels::defaultSpectrumKernelsName());
    std::printf("%6s %6s %14s %14s %10s\n", "N", "P", "portable ns", "default ns", "ratio");

    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (const int N : {256, 1024})
        for (const int P : {16, 64}) {
            const size_t stride = 2 * static_cast<size_t>(N) + 8;
            std::vector<double> ring(stride * P), windows(stride * P), carry(2 * N), h(2 * N), a(2 * N), y(2 * N);
            for (auto* v : {&ring, &windows, &h, &a})
                for (double& e : *v)
                    e = u(rng);
            // One block's spectrum work: the sum over partitions, the block spectrum, the output.
            auto block = [&](const firkernels::SpectrumKernels& k) {
                return [&, N, P] {
                    k.multiplyAccumulate(carry.data(), ring.data(), 1, windows.data(), P, N, stride);
                    k.blockSpectrum(y.data(), carry.data(), h.data(), a.data(), N);
                    k.realOutput(carry.data(), y.data(), h.data(), 0.5, N);
                };
            };
            const double tp = bestSeconds(seconds, block(portable));
            const double tc = bestSeconds(seconds, block(chosen));
            std::printf("%6d %6d %14.0f %14.0f %10.2f\n", N, P, tp * 1e9, tc * 1e9, tp / tc);
        }

    // The later stages' single-precision kernels, one by one: the sum over partitions for one
    // channel and shared by four, the twiddle (complex product in place), the output.
    std::printf("\nsingle precision\n%-12s %6s %6s %14s %14s %10s\n", "kernel", "N", "P", "portable ns", "default ns",
                "ratio");
    std::uniform_real_distribution<float> uf(-1.0f, 1.0f);
    auto row = [&](const char* name, int N, int P, const auto& run) {
        const double tp = bestSeconds(seconds, [&] { run(portable); });
        const double tc = bestSeconds(seconds, [&] { run(chosen); });
        std::printf("%-12s %6d %6d %14.0f %14.0f %10.2f\n", name, N, P, tp * 1e9, tc * 1e9, tp / tc);
    };
    for (const int N : {256, 1024, 4096})
        for (const int P : {16, 64}) {
            constexpr int K = 4;
            const size_t stride = 2 * static_cast<size_t>(N) + 16;
            std::vector<float> ring(stride * P), windows(stride * P * K), sums(2 * static_cast<size_t>(N) * K);
            for (auto* v : {&ring, &windows})
                for (float& e : *v)
                    e = uf(rng);
            float* carries[K];
            const float* columns[K];
            for (int k = 0; k < K; ++k) {
                carries[k] = sums.data() + 2 * static_cast<size_t>(N) * k;
                columns[k] = windows.data() + stride * P * k;
            }
            row("sum", N, P, [&](const firkernels::SpectrumKernels& k) {
                k.multiplyAccumulateSingle(carries[0], ring.data(), 1, columns[0], P, N, stride);
            });
            row("sum K=4", N, P, [&](const firkernels::SpectrumKernels& k) {
                k.multiplyAccumulateSharedSingle(carries, ring.data(), 1, columns, K, P, 0, N, stride);
            });
        }
    for (const int N : {1024, 4096}) {
        std::vector<float> y(2 * static_cast<size_t>(N)), t(2 * static_cast<size_t>(N));
        std::vector<double> td(2 * static_cast<size_t>(N)), out(N, 0.0);
        for (size_t i = 0; i < y.size(); ++i) {
            y[i] = uf(rng);
            t[i] = std::polar(1.0f, uf(rng)).real();
            td[i] = t[i];
        }
        row("twiddle", N, 0,
            [&](const firkernels::SpectrumKernels& k) { k.multiplyInPlaceSingle(y.data(), t.data(), N); });
        row("output", N, 0, [&](const firkernels::SpectrumKernels& k) {
            k.realOutputAddSingle(out.data(), y.data(), td.data(), 1e-3, N);
        });
    }
    return 0;
}
