// The arithmetic on spectra that the FIR engine runs every block, behind one table of
// function pointers per instruction set.  The table is chosen once, at run time: AVX2 on
// x86-64 processors that have it, the portable short-vector code otherwise (and on aarch64).
// Another set (NEON, say) is added as one more table in FIRKernels.cpp and one more case in
// spectrumKernels(); the callers do not change.
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

/// The set this processor runs.  MOBU_FIR_KERNELS=portable in the environment forces the
/// portable set (the code the aarch64 board runs), so that it is tested on x86-64 too.
const SpectrumKernels& spectrumKernels();

} // namespace firkernels

#endif
