// FIR convolution benchmark.
//
// Runs four convolvers side by side in one process on the same random data:
//   FIRMobu  - the system's engine (double, odd-frequency transform) with its automatic
//              partitioning: non-uniform for long filters (MOBU_FIR_PARTITIONING overrides)
//   uniform  - the same engine uniformly partitioned, the reference scheme
//   zita     - libzita-convolver (float, non-uniformly partitioned, background threads
//              for the long partitions), configured for the same block size, taps and channels
//              as its users configure it for speed: OPT_FFTW_MEASURE | OPT_VECTOR_MODE, quantum =
//              smallest partition = N, largest partition MAXPART
//   fftw     - a textbook uniformly partitioned overlap-save convolver in double written
//              here: 2N-point real FFTs, a ring of input spectra, one multiply-add pass
//              per partition
// For every block size and filter length it first checks that the four produce the
// same output (to float precision for zita, to double rounding for the double engines)
// over more blocks than the filter is long, then times each engine alone and prints CPU
// nanoseconds per output sample per channel, the mean over the runs.  CPU time is that of the
// whole process, so the zita library's worker threads are counted, and a run ends once they
// are idle.
//
// It also prints the bound a uniformly partitioned engine cannot beat: every block must
// read all of the uniform engine's input-spectrum ring and filter spectra (32 bytes per bin
// and partition), so the bytes read per output sample divided by the streaming read
// bandwidth of this machine for a buffer of that size (measured here) is a lower limit
// of its time per sample.
#include "BenchSupport.h"

#include <MobuEmbedded/FIRMobu.h>
#include <OptionParser.h>

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bench::cpuModel;
using bench::cpuSeconds;
using bench::Engine;
using bench::QuietStdout;
using bench::readBandwidth;
using bench::ZitaEngine;

/// Memory from fftw_malloc (aligned for FFTW's SIMD code), freed on destruction.
template <typename T> class FftwBuffer {
public:
    explicit FftwBuffer(size_t count) : data_(static_cast<T*>(fftw_malloc(count * sizeof(T))), fftw_free) {
        if (!data_) throw std::bad_alloc();
        std::memset(static_cast<void*>(data_.get()), 0, count * sizeof(T));
    }
    T* get() const { return data_.get(); }

private:
    std::unique_ptr<T, void (*)(void*)> data_;
};

class MobuEngine : public Engine {
public:
    MobuEngine(int N, const Eigen::MatrixXd& h, FIRMobu::Partitioning partitioning = FIRMobu::defaultPartitioning())
        : N(N), C(static_cast<int>(h.cols())), fir(2 * N) {
        QuietStdout quiet;
        fir.setPartitioning(partitioning);
        fir.loadTimeDomainCoefficients(h);
    }
    void process(const double* in, double* out) override {
        fir.filterLocal(Eigen::Map<const Eigen::MatrixXd>(in, N, C), 0);
        Eigen::Map<Eigen::MatrixXd>(out, N, C) = fir.getFiltered().matrix();
    }

private:
    const int N, C;
    FIRMobu fir;
};

/// Textbook uniformly partitioned overlap-save in double with 2N-point real FFTs.
class OverlapSaveEngine : public Engine {
public:
    OverlapSaveEngine(int N, const Eigen::MatrixXd& h)
        : N(N), C(static_cast<int>(h.cols())), B(N + 1), P(static_cast<int>((h.rows() + N - 1) / N)), frame(2 * N),
          time(2 * N), acc(B), spectra(static_cast<size_t>(C) * P * B), filters(static_cast<size_t>(C) * P * B),
          frames(static_cast<size_t>(C) * 2 * N), head(C, 0) {
        r2c = fftw_plan_dft_r2c_1d(2 * N, frame.get(), acc.get(), FFTW_ESTIMATE);
        c2r = fftw_plan_dft_c2r_1d(2 * N, acc.get(), time.get(), FFTW_ESTIMATE);
        // Partition p holds taps pN..pN+N-1, zero-padded to 2N, scaled for the inverse transform.
        const double scale = 1.0 / (2.0 * N);
        for (int c = 0; c < C; ++c)
            for (int p = 0; p < P; ++p) {
                double* f = frame.get();
                std::fill(f, f + 2 * N, 0.0);
                for (int n = 0; n < N && p * N + n < h.rows(); ++n)
                    f[n] = h(p * N + n, c) * scale;
                fftw_execute_dft_r2c(r2c, f, filterSpectrum(c, p));
            }
    }
    ~OverlapSaveEngine() override {
        fftw_destroy_plan(r2c);
        fftw_destroy_plan(c2r);
    }
    void process(const double* in, double* out) override {
        for (int c = 0; c < C; ++c) {
            // The frame holds the previous block and the new one.
            double* f = frames.get() + static_cast<size_t>(c) * 2 * N;
            std::copy(f + N, f + 2 * N, f);
            std::copy(in + c * N, in + (c + 1) * N, f + N);
            int& h0 = head[c];
            h0 = h0 == 0 ? P - 1 : h0 - 1;
            fftw_execute_dft_r2c(r2c, f, inputSpectrum(c, h0));

            double* a = reinterpret_cast<double*>(acc.get());
            std::fill(a, a + 2 * B, 0.0);
            for (int p = 0; p < P; ++p) {
                const int slot = (h0 + p) % P;
                const double* x = reinterpret_cast<const double*>(inputSpectrum(c, slot));
                const double* g = reinterpret_cast<const double*>(filterSpectrum(c, p));
                for (int k = 0; k < 2 * B; k += 2) {
                    a[k] += x[k] * g[k] - x[k + 1] * g[k + 1];
                    a[k + 1] += x[k] * g[k + 1] + x[k + 1] * g[k];
                }
            }
            fftw_execute_dft_c2r(c2r, acc.get(), time.get());
            std::copy(time.get() + N, time.get() + 2 * N, out + c * N);
        }
    }

private:
    fftw_complex* inputSpectrum(int c, int slot) { return spectra.get() + (static_cast<size_t>(c) * P + slot) * B; }
    fftw_complex* filterSpectrum(int c, int p) { return filters.get() + (static_cast<size_t>(c) * P + p) * B; }

    const int N, C, B, P;
    FftwBuffer<double> frame, time;
    FftwBuffer<fftw_complex> acc, spectra, filters;
    FftwBuffer<double> frames;
    std::vector<int> head;
    fftw_plan r2c = nullptr, c2r = nullptr;
};

/// CPU nanoseconds per sample of one forward and one inverse N-point complex FFT, planned as the
/// engine plans them: the transforms every block needs whatever the filter length.
double transformTime(int N, double seconds, int runs) {
    FftwBuffer<fftw_complex> a(N), b(N);
    for (int n = 0; n < N; ++n)
        a.get()[n][0] = std::sin(0.1 * n);
    const fftw_plan forward = fftw_plan_dft_1d(N, a.get(), b.get(), FFTW_FORWARD, FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
    const fftw_plan inverse = fftw_plan_dft_1d(N, b.get(), a.get(), FFTW_BACKWARD, FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
    const size_t pairsPerReading = std::max(1, (1 << 20) / N);
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        size_t done = 0;
        const double start = cpuSeconds();
        double elapsed = 0.0;
        do {
            for (size_t k = 0; k < pairsPerReading; ++k, ++done) {
                fftw_execute_dft(forward, a.get(), b.get());
                fftw_execute_dft(inverse, b.get(), a.get());
            }
            elapsed = cpuSeconds() - start;
        } while (elapsed < seconds / runs);
        best = std::min(best, elapsed * 1e9 / (static_cast<double>(done) * N));
    }
    fftw_destroy_plan(forward);
    fftw_destroy_plan(inverse);
    return best;
}

Eigen::MatrixXd randomMatrix(Eigen::Index rows, Eigen::Index cols, std::mt19937_64& gen, double scale) {
    std::uniform_real_distribution<double> dist(-scale, scale);
    Eigen::MatrixXd m(rows, cols);
    for (Eigen::Index i = 0; i < m.size(); ++i)
        m.data()[i] = dist(gen);
    return m;
}

/// Largest difference relative to the largest reference sample.
double relativeError(const Eigen::MatrixXd& y, const Eigen::MatrixXd& ref) {
    return (y - ref).cwiseAbs().maxCoeff() / ref.cwiseAbs().maxCoeff();
}

/// Runs x (a whole number of N-row blocks) through the engine and returns the output.
Eigen::MatrixXd runStream(Engine& engine, const Eigen::MatrixXd& x, int N) {
    const Eigen::Index C = x.cols();
    Eigen::MatrixXd in(N, C), out(N, C), y(x.rows(), C);
    for (Eigen::Index s = 0; s + N <= x.rows(); s += N) {
        in = x.middleRows(s, N);
        engine.process(in.data(), out.data());
        y.middleRows(s, N) = out;
    }
    return y;
}

/// CPU nanoseconds per output sample per channel: the mean over `runs` runs of about seconds/runs
/// each, every run ending once the engine's worker threads are done with what it started.
double timeEngine(Engine& engine, const std::vector<Eigen::MatrixXd>& blocks, int N, double seconds, int runs) {
    const Eigen::Index C = blocks.front().cols();
    Eigen::MatrixXd out(N, C);
    const auto step = [&](size_t k) { engine.process(blocks[k % blocks.size()].data(), out.data()); };
    return bench::timeCalls(step, seconds, runs, [&] { engine.drain(); }).cpu * 1e9 / (static_cast<double>(N) * C);
}

std::vector<int> parseList(const OptionParser& options, const std::string& name, std::vector<int> fallback) {
    std::string text;
    if (options.getArg(name, text) != 0 || text.empty()) return fallback;
    std::vector<int> values;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = std::min(text.find(',', pos), text.size());
        values.push_back(std::stoi(text.substr(pos, comma - pos)));
        pos = comma + 1;
    }
    return values;
}

void usage() {
    std::cout << "fir-bench [--quick] [-c channels] [-t seconds] [--N=64,256,1024] [--taps=4096,16384,65536,262144]\n"
                 "  --quick   short timing runs (about ten times faster, noisier figures)\n"
                 "  -c        channels per engine (default 1)\n"
                 "  -t        CPU seconds spent timing each engine in each configuration (default 0.5)\n"
                 "  --N       block lengths, powers of two from 64 to 8192\n"
                 "  --taps    filter lengths, at least 2\n";
}

} // namespace

int main(int argc, char* argv[]) {
    const OptionParser options(argc, argv);
    if (options.has("h") || options.has("help")) {
        usage();
        return 0;
    }
    const bool quick = options.has("quick");
    int C = 1;
    double seconds = quick ? 0.05 : 0.5;
    std::vector<int> blockSizes, tapCounts;
    try {
        if (options.has("c") && (options.getArg("c", C) != 0 || C < 1 || C > 64)) throw std::invalid_argument("c");
        if (options.has("t") && (options.getArg("t", seconds) != 0 || !(seconds > 0.0)))
            throw std::invalid_argument("t");
        blockSizes = parseList(options, "N", {64, 256, 1024});
        tapCounts = parseList(options, "taps", {4096, 16384, 65536, 262144});
        for (const int N : blockSizes)
            if (N < 64 || N > 8192 || (N & (N - 1)) != 0) throw std::invalid_argument("N");
        for (const int L : tapCounts)
            if (L < 2) throw std::invalid_argument("taps");
    } catch (const std::exception&) {
        usage();
        return 255;
    }
    const int runs = quick ? 1 : 5;

    std::mt19937_64 gen(20240611);
    const double dramBandwidth = readBandwidth(size_t(512) << 20, quick ? 0.2 : 1.0, quick ? 1 : 3);
    std::printf("FIR benchmark on %s: %d channel(s), CPU time of the whole process, mean of %d run(s) of %.3g s\n",
                cpuModel().c_str(), C, runs, seconds / runs);
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    std::printf("AVX2 %s\n", __builtin_cpu_supports("avx2") ? "available (the engine uses its AVX2 kernels)"
                                                            : "not available (the engine uses its portable kernels)");
#endif
    std::printf("streaming read bandwidth from memory (512 MiB buffer): %.1f GB/s\n\n", dramBandwidth);
    std::printf("check: largest output difference relative to the largest output sample, against FIRMobu\n");

    struct Row {
        int N, L, P;
        double mobu, uniform, zita, fftw, transforms, bandwidth, bound;
        bool ok;
    };
    std::vector<Row> rows;
    bool allOk = true;
    for (const int N : blockSizes)
        for (const int L : tapCounts) {
            Row row{N, L, bench::partitions(N, L), 0, 0, 0, 0, 0, 0, 0, true};
            // Taps scaled so that the output stays near full scale whatever the length.
            const Eigen::MatrixXd h = randomMatrix(L, C, gen, std::sqrt(3.0 / L));
            MobuEngine mobu(N, h);
            MobuEngine uniform(N, h, FIRMobu::Partitioning::Uniform);
            ZitaEngine zita(N, h);
            OverlapSaveEngine fftw(N, h);

            // Check over more blocks than the filter is long, so every partition takes part.
            const int checkBlocks = row.P + 4;
            const Eigen::MatrixXd x = randomMatrix(static_cast<Eigen::Index>(checkBlocks) * N, C, gen, 1.0);
            const Eigen::MatrixXd yMobu = runStream(mobu, x, N);
            const double errZita = relativeError(runStream(zita, x, N), yMobu);
            const double errFftw = relativeError(runStream(fftw, x, N), yMobu);
            const double errUniform = relativeError(runStream(uniform, x, N), yMobu);
            // zita computes in float; the double engines must agree to double rounding, unless
            // FIRMobu's later stages run in single precision (the default), which rounds to
            // a few 1e-7 of the output's peak: 16 single-precision roundings.
            const bool single = FIRMobu::defaultPrecision() == FIRMobu::Precision::Single;
            row.ok = errZita < 1e-5 && errFftw < (single ? 0x1p-20 : 1e-9) && errUniform < (single ? 0x1p-20 : 1e-12);
            std::printf("  N %5d taps %6d: uniform %.1e  zita %.1e  fftw %.1e  %s\n", N, L, errUniform, errZita,
                        errFftw, row.ok ? "same" : "DIFFERENT: not timed");
            std::fflush(stdout);
            if (!row.ok) {
                allOk = false;
                rows.push_back(row);
                continue;
            }

            std::vector<Eigen::MatrixXd> blocks;
            for (int b = 0; b < 16; ++b)
                blocks.push_back(randomMatrix(N, C, gen, 1.0));
            row.mobu = timeEngine(mobu, blocks, N, seconds, runs);
            row.uniform = timeEngine(uniform, blocks, N, seconds, runs);
            row.zita = timeEngine(zita, blocks, N, seconds, runs);
            row.fftw = timeEngine(fftw, blocks, N, seconds, runs);
            row.transforms = transformTime(N, quick ? 0.02 : 0.1, runs);

            const double bytesPerBlock = bench::spectraBytesPerBlock(N, L, C);
            row.bandwidth = readBandwidth(static_cast<size_t>(bytesPerBlock), quick ? 0.05 : 0.3, runs);
            row.bound = bytesPerBlock / row.bandwidth / (static_cast<double>(N) * C);
            rows.push_back(row);
        }

    std::printf("\nCPU ns per output sample per channel.  P: partitions of N taps.  2 FFT: one forward and one\n"
                "inverse N-point transform, which every block needs.  bound: bytes of history and windowSpectra\n"
                "read per sample / read bandwidth (GB/s) for a buffer of that size.\n\n");
    std::printf("%5s %7s %5s | %9s %9s %9s %9s | %8s %8s | %7s | %6s %9s | %8s\n", "N", "taps", "P", "FIRMobu",
                "uniform", "zita", "fftw", "FIRMobu/", "FIRMobu/", "2 FFT", "GB/s", "bound", "uniform/");
    std::printf("%5s %7s %5s | %9s %9s %9s %9s | %8s %8s | %7s | %6s %9s | %8s\n", "", "", "", "", "", "", "",
                "uniform", "zita", "", "", "", "bound");
    for (const Row& r : rows) {
        if (!r.ok) {
            std::printf("%5d %7d %5d | output differs: not timed\n", r.N, r.L, r.P);
            continue;
        }
        std::printf("%5d %7d %5d | %9.2f %9.2f %9.2f %9.2f | %8.2f %8.2f | %7.2f | %6.1f %9.2f | %8.2f\n", r.N, r.L,
                    r.P, r.mobu, r.uniform, r.zita, r.fftw, r.mobu / r.uniform, r.mobu / r.zita, r.transforms,
                    r.bandwidth, r.bound, r.uniform / r.bound);
    }
    return allOk ? 0 : 1;
}
