// The arithmetic on spectra that the FIR engine runs every block, behind one table of
// function pointers per instruction set.  The table is chosen once: on x86-64 at run time,
// AVX2 on processors that have it and the portable short-vector code otherwise; on aarch64
// the NEON set, chosen at build time (FIRKernelsNeon.cpp).  The callers do not change.
//
// Spectra are arrays of complex doubles seen as interleaved (real, imaginary) doubles; a
// count N is in complex values.
#ifndef MOBU_FIRKERNELS_H
#define MOBU_FIRKERNELS_H

#include <cstddef>

namespace firkernels {

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
};

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
