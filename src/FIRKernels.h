// The arithmetic on spectra that the FIR engine runs every block, behind one table of
// function pointers per instruction set.  The table is chosen once: on x86-64 at run time,
// AVX2 (with FMA) on processors that have it and the portable short-vector code otherwise; on aarch64
// the NEON set, chosen at build time (FIRKernelsNeon.cpp).  The callers do not change.
//
// Spectra are arrays of complex doubles (the later stages' optionally of complex floats) seen
// as interleaved (real, imaginary) pairs; a count N is in complex values.
#ifndef MOBU_FIRKERNELS_H
#define MOBU_FIRKERNELS_H

#include <complex>
#include <cstddef>

typedef struct fftw_plan_s* fftw_plan;
typedef struct fftwf_plan_s* fftwf_plan;

namespace firkernels {

/** One FFTW plan of howMany complex transforms of n points (stride apart within one, distance
 * apart from each other), out of place, made at load and run on other arrays of the same layout.
 * The plan is measured on sampleIn and sampleOut, whose contents it overwrites.  aligned: every
 * array it will run on starts on a cache line, as the samples do (FFTW's vector code needs that;
 * unaligned plans are slower and may allocate a buffer each time they run).  Throws
 * std::runtime_error when FFTW has no plan. */
class TransformPlan {
public:
    TransformPlan(int n, int howMany, int stride, int distance, int sign, bool aligned, std::complex<double>* sampleIn,
                  std::complex<double>* sampleOut);
    TransformPlan(TransformPlan&& other) noexcept;
    TransformPlan(const TransformPlan&) = delete;
    TransformPlan& operator=(const TransformPlan&) = delete;
    TransformPlan& operator=(TransformPlan&&) = delete;
    ~TransformPlan();
    /// Transforms in into out (in is left as it was).
    void run(std::complex<double>* in, std::complex<double>* out) const;

private:
    fftw_plan plan = nullptr;
};

/// TransformPlan in single precision (FFTW's float plans), for the spectra of the later stages.
class TransformPlanSingle {
public:
    TransformPlanSingle(int n, int howMany, int stride, int distance, int sign, bool aligned,
                        std::complex<float>* sampleIn, std::complex<float>* sampleOut);
    TransformPlanSingle(TransformPlanSingle&& other) noexcept;
    TransformPlanSingle(const TransformPlanSingle&) = delete;
    TransformPlanSingle& operator=(const TransformPlanSingle&) = delete;
    TransformPlanSingle& operator=(TransformPlanSingle&&) = delete;
    ~TransformPlanSingle();
    void run(std::complex<float>* in, std::complex<float>* out) const;

private:
    fftwf_plan plan = nullptr;
};

struct SpectrumKernels {
    /// carry = sum over p < P of ring column (head + p) mod P times window column p (N complex
    /// values each, columns stride doubles apart).
    void (*multiplyAccumulate)(double* carry, const double* ring, int head, const double* windows, int P, int N,
                               size_t stride);
    /// y = x * h + j * a.
    void (*blockSpectrum)(double* y, const double* x, const double* h, const double* a, int N);
    /// out[n] = Re(z[n] t[n]) * scale.
    void (*realOutput)(double* out, const double* z, const double* t, double scale, int N);
    /// out[n] += Re(z[n] t[n]) * scale.
    void (*realOutputAdd)(double* out, const double* z, const double* t, double scale, int N);
    /// y[n] *= t[n].
    void (*multiplyInPlace)(double* y, const double* t, int N);
    /// The later stages' single-precision spectra (interleaved floats; counts in complex values).
    /// carry = sum over p < P of ring column (head + p) mod P times window column p, summed in
    /// single precision (P is at most a few dozen in the later stages, so the sum adds a
    /// rounding of a few parts in 1e7 of the largest term; see the README).
    void (*multiplyAccumulateSingle)(float* carry, const float* ring, int head, const float* windows, int P, int N,
                                     size_t stride);
    /// multiplyAccumulateShared for single-precision spectra: carries[k] (bins from .. from +
    /// count - 1) for the K channels that share the ring.
    void (*multiplyAccumulateSharedSingle)(float* const* carries, const float* ring, int head,
                                           const float* const* windows, int K, int P, int from, int count,
                                           size_t stride);
    /// y[n] *= t[n].
    void (*multiplyInPlaceSingle)(float* y, const float* t, int N);
    /// out[n] += Re(z[n] t[n]) * scale, in double from single-precision z (t in double).
    void (*realOutputAddSingle)(double* out, const float* z, const double* t, double scale, int N);
};

/** carries[k] (bins from .. from + count - 1) = sum over p < P of ring column (head + p) mod P
 * times windows[k] column p, for K channels that share one ring of input spectra (all columns
 * stride doubles apart, every pointer at bin 0).  The bins go in runs short enough for the
 * ring's run to stay in cache between the channels, so that it is read from memory once for
 * all K instead of once each; with the kernels' multiply-add, so the result is that of K
 * separate calls. */
void multiplyAccumulateShared(const SpectrumKernels& kernels, double* const* carries, const double* ring, int head,
                              const double* const* windows, int K, int P, int from, int count, size_t stride);

/** The ring and window columns that partitions p .. p + count - 1 multiply: x[i] the ring's column
 * (head + p + i) mod P, g[i] window column p + i, each `offset` values in (columns stride apart). */
template <typename Real>
inline void groupColumns(const Real* ring, int head, const Real* windows, int P, int p, int count, size_t stride,
                         size_t offset, const Real** x, const Real** g) {
    for (int i = 0; i < count; ++i) {
        int column = head + p + i;
        if (column >= P) column -= P;
        x[i] = ring + column * stride + offset;
        g[i] = windows + (p + i) * stride + offset;
    }
}

/// multiplyAccumulateSharedSingle made of K calls of a one-channel kernel (single) per run of
/// bins, as multiplyAccumulateShared is.
void multiplyAccumulateSharedSingleByRuns(void (*single)(float*, const float*, int, const float*, int, int, size_t),
                                          float* const* carries, const float* ring, int head,
                                          const float* const* windows, int K, int P, int from, int count,
                                          size_t stride);

/// The set the engine runs.  MOBU_FIR_KERNELS=portable in the environment forces the
/// portable set, so that it is tested on every machine.
const SpectrumKernels& spectrumKernels();

/// The portable set, whatever the processor (to compare against).
const SpectrumKernels& portableSpectrumKernels();
/// The set this processor runs when nothing is forced, and its name ("avx2", "neon" or
/// "portable").
const SpectrumKernels& defaultSpectrumKernels();
const char* defaultSpectrumKernelsName();

#if defined(__aarch64__) && defined(__ARM_NEON)
/// Advanced SIMD intrinsics with fused multiply-adds: equal to the portable set to rounding.
extern const SpectrumKernels neonKernels;
#endif

} // namespace firkernels

#endif
