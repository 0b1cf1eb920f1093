// The FIR engine's spectrum kernels (see FIRKernels.h) in Advanced SIMD (NEON) intrinsics, the
// set aarch64 builds run by default.  Complex values are loaded de-interleaved (vld2q: the real
// parts of two values in one register, their imaginary parts in another), so every complex
// product is a chain of fused multiply-adds and no lane ever moves; stores interleave again
// (vst2q).  A fused multiply-add rounds once where the portable kernels round twice, so the
// results equal theirs to rounding, not bit for bit.
#include "FIRKernels.h"

#if defined(__aarch64__) && defined(__ARM_NEON)

#include <algorithm>
#include <arm_neon.h>
#include <cmath>

namespace {

// carry = sum over p < P of ring column (head + p) mod P times window column p.  Partitions are
// taken four at a time, as in the portable kernels, so carry is read and written once per four;
// eight complex values per step give eight independent accumulator chains.
void multiplyAccumulateNeon(double* carry, const double* ring, int head, const double* windows, int P, int N,
                            size_t stride) {
    constexpr int G = 4, U = 4; // partitions per pass; pairs of complex values per step
    for (int p = 0; p < P; p += G) {
        const int count = std::min(G, P - p);
        const double* x[G];
        const double* g[G];
        firkernels::groupColumns(ring, head, windows, P, p, count, stride, 0, x, g);
        const bool first = p == 0;
        int k = 0; // complex values done
        for (; k + 2 * U <= N; k += 2 * U) {
            float64x2x2_t acc[U];
            for (int u = 0; u < U; ++u)
                acc[u] =
                    first ? float64x2x2_t{{vdupq_n_f64(0.0), vdupq_n_f64(0.0)}} : vld2q_f64(carry + 2 * (k + 2 * u));
            for (int i = 0; i < count; ++i)
                for (int u = 0; u < U; ++u) {
                    const float64x2x2_t xv = vld2q_f64(x[i] + 2 * (k + 2 * u));
                    const float64x2x2_t gv = vld2q_f64(g[i] + 2 * (k + 2 * u));
                    acc[u].val[0] = vfmaq_f64(acc[u].val[0], xv.val[0], gv.val[0]);
                    acc[u].val[0] = vfmsq_f64(acc[u].val[0], xv.val[1], gv.val[1]);
                    acc[u].val[1] = vfmaq_f64(acc[u].val[1], xv.val[0], gv.val[1]);
                    acc[u].val[1] = vfmaq_f64(acc[u].val[1], xv.val[1], gv.val[0]);
                }
            for (int u = 0; u < U; ++u)
                vst2q_f64(carry + 2 * (k + 2 * u), acc[u]);
        }
        for (; k < N; ++k) {
            double re = first ? 0.0 : carry[2 * k], im = first ? 0.0 : carry[2 * k + 1];
            for (int i = 0; i < count; ++i) {
                const double xr = x[i][2 * k], xi = x[i][2 * k + 1];
                const double gr = g[i][2 * k], gi = g[i][2 * k + 1];
                re = std::fma(-xi, gi, std::fma(xr, gr, re));
                im = std::fma(xi, gr, std::fma(xr, gi, im));
            }
            carry[2 * k] = re;
            carry[2 * k + 1] = im;
        }
    }
}

// The product of two complex values held de-interleaved.
inline float64x2x2_t complexProduct(const float64x2x2_t& a, const float64x2x2_t& b) {
    float64x2x2_t r;
    r.val[0] = vfmsq_f64(vmulq_f64(a.val[0], b.val[0]), a.val[1], b.val[1]);
    r.val[1] = vfmaq_f64(vmulq_f64(a.val[0], b.val[1]), a.val[1], b.val[0]);
    return r;
}

// y = x * h + j * a.
void blockSpectrumNeon(double* y, const double* x, const double* h, const double* a, int N) {
    int k = 0;
    for (; k + 2 <= N; k += 2) {
        float64x2x2_t r = complexProduct(vld2q_f64(x + 2 * k), vld2q_f64(h + 2 * k));
        const float64x2x2_t av = vld2q_f64(a + 2 * k);
        r.val[0] = vsubq_f64(r.val[0], av.val[1]);
        r.val[1] = vaddq_f64(r.val[1], av.val[0]);
        vst2q_f64(y + 2 * k, r);
    }
    for (; k < N; ++k) {
        const double xr = x[2 * k], xi = x[2 * k + 1], hr = h[2 * k], hi = h[2 * k + 1];
        y[2 * k] = std::fma(-xi, hi, xr * hr) - a[2 * k + 1];
        y[2 * k + 1] = std::fma(xi, hr, xr * hi) + a[2 * k];
    }
}

// out[n] = Re(z[n] t[n]) * scale, or out[n] += that.
template <bool Add> void realOutputNeonWith(double* out, const double* z, const double* t, double scale, int N) {
    const float64x2_t s = vdupq_n_f64(scale);
    int n = 0;
    for (; n + 2 <= N; n += 2) {
        const float64x2x2_t zv = vld2q_f64(z + 2 * n), tv = vld2q_f64(t + 2 * n);
        const float64x2_t re = vfmsq_f64(vmulq_f64(zv.val[0], tv.val[0]), zv.val[1], tv.val[1]);
        vst1q_f64(out + n, Add ? vfmaq_f64(vld1q_f64(out + n), re, s) : vmulq_f64(re, s));
    }
    for (; n < N; ++n) {
        const double re = std::fma(-z[2 * n + 1], t[2 * n + 1], z[2 * n] * t[2 * n]);
        out[n] = Add ? std::fma(re, scale, out[n]) : re * scale;
    }
}
void realOutputNeon(double* out, const double* z, const double* t, double scale, int N) {
    realOutputNeonWith<false>(out, z, t, scale, N);
}
void realOutputAddNeon(double* out, const double* z, const double* t, double scale, int N) {
    realOutputNeonWith<true>(out, z, t, scale, N);
}

// y[n] *= t[n].
void multiplyInPlaceNeon(double* y, const double* t, int N) {
    int k = 0;
    for (; k + 2 <= N; k += 2)
        vst2q_f64(y + 2 * k, complexProduct(vld2q_f64(y + 2 * k), vld2q_f64(t + 2 * k)));
    for (; k < N; ++k) {
        const double yr = y[2 * k], yi = y[2 * k + 1], tr = t[2 * k], ti = t[2 * k + 1];
        y[2 * k] = std::fma(-yi, ti, yr * tr);
        y[2 * k + 1] = std::fma(yi, tr, yr * ti);
    }
}

// The later stages' single-precision kernels, in the same form (four complex floats to a
// register pair).  carry = sum over p < P of ring column (head + p) mod P times window column
// p, in runs of bins whose sum stays in the first-level cache while groups of four partitions
// are added into it.
template <int count, int U>
inline int accumulateStepsSingleNeon(float* carry, const float* const* x, const float* const* g, int k, int end,
                                     bool first) {
    for (; k + 4 * U <= end; k += 4 * U) {
        float32x4x2_t acc[U];
        for (int u = 0; u < U; ++u)
            acc[u] = first ? float32x4x2_t{{vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)}} : vld2q_f32(carry + 2 * (k + 4 * u));
        for (int i = 0; i < count; ++i)
            for (int u = 0; u < U; ++u) {
                const float32x4x2_t xv = vld2q_f32(x[i] + 2 * (k + 4 * u));
                const float32x4x2_t gv = vld2q_f32(g[i] + 2 * (k + 4 * u));
                acc[u].val[0] = vfmaq_f32(acc[u].val[0], xv.val[0], gv.val[0]);
                acc[u].val[0] = vfmsq_f32(acc[u].val[0], xv.val[1], gv.val[1]);
                acc[u].val[1] = vfmaq_f32(acc[u].val[1], xv.val[0], gv.val[1]);
                acc[u].val[1] = vfmaq_f32(acc[u].val[1], xv.val[1], gv.val[0]);
            }
        for (int u = 0; u < U; ++u)
            vst2q_f32(carry + 2 * (k + 4 * u), acc[u]);
    }
    return k;
}

void multiplyAccumulateSingleNeon(float* carry, const float* ring, int head, const float* windows, int P, int N,
                                  size_t stride) {
    constexpr int G = 4, run = 256;
    for (int at = 0; at < N; at += run) {
        const int end = std::min(N, at + run);
        for (int p = 0; p < P; p += G) {
            const int count = std::min(G, P - p);
            const float* x[G];
            const float* g[G];
            firkernels::groupColumns(ring, head, windows, P, p, count, stride, 0, x, g);
            const bool first = p == 0;
            int k = at;
            if (count == 4) {
                k = accumulateStepsSingleNeon<4, 4>(carry, x, g, k, end, first);
                k = accumulateStepsSingleNeon<4, 1>(carry, x, g, k, end, first);
            } else if (count == 3) {
                k = accumulateStepsSingleNeon<3, 4>(carry, x, g, k, end, first);
                k = accumulateStepsSingleNeon<3, 1>(carry, x, g, k, end, first);
            } else if (count == 2) {
                k = accumulateStepsSingleNeon<2, 4>(carry, x, g, k, end, first);
                k = accumulateStepsSingleNeon<2, 1>(carry, x, g, k, end, first);
            } else {
                k = accumulateStepsSingleNeon<1, 4>(carry, x, g, k, end, first);
                k = accumulateStepsSingleNeon<1, 1>(carry, x, g, k, end, first);
            }
            for (; k < end; ++k) {
                float re = first ? 0.0f : carry[2 * k], im = first ? 0.0f : carry[2 * k + 1];
                for (int i = 0; i < count; ++i) {
                    const float xr = x[i][2 * k], xi = x[i][2 * k + 1];
                    const float gr = g[i][2 * k], gi = g[i][2 * k + 1];
                    re = std::fma(-xi, gi, std::fma(xr, gr, re));
                    im = std::fma(xi, gr, std::fma(xr, gi, im));
                }
                carry[2 * k] = re;
                carry[2 * k + 1] = im;
            }
        }
    }
}

void multiplyAccumulateSharedSingleNeon(float* const* carries, const float* ring, int head, const float* const* windows,
                                        int K, int P, int from, int count, size_t stride) {
    firkernels::multiplyAccumulateSharedSingleByRuns(multiplyAccumulateSingleNeon, carries, ring, head, windows, K, P,
                                                     from, count, stride);
}

// y[n] *= t[n] in single precision.
void multiplyInPlaceSingleNeon(float* y, const float* t, int N) {
    int k = 0;
    for (; k + 4 <= N; k += 4) {
        const float32x4x2_t a = vld2q_f32(y + 2 * k), b = vld2q_f32(t + 2 * k);
        float32x4x2_t r;
        r.val[0] = vfmsq_f32(vmulq_f32(a.val[0], b.val[0]), a.val[1], b.val[1]);
        r.val[1] = vfmaq_f32(vmulq_f32(a.val[0], b.val[1]), a.val[1], b.val[0]);
        vst2q_f32(y + 2 * k, r);
    }
    for (; k < N; ++k) {
        const float yr = y[2 * k], yi = y[2 * k + 1], tr = t[2 * k], ti = t[2 * k + 1];
        y[2 * k] = std::fma(-yi, ti, yr * tr);
        y[2 * k + 1] = std::fma(yi, tr, yr * ti);
    }
}

// out[n] += Re(z[n] t[n]) * scale, z widened to double.
void realOutputAddSingleNeon(double* out, const float* z, const double* t, double scale, int N) {
    const float64x2_t s = vdupq_n_f64(scale);
    int n = 0;
    for (; n + 4 <= N; n += 4) {
        const float32x4x2_t zv = vld2q_f32(z + 2 * n);
        const float64x2x2_t t0 = vld2q_f64(t + 2 * n), t1 = vld2q_f64(t + 2 * n + 4);
        const float64x2_t re0 = vfmsq_f64(vmulq_f64(vcvt_f64_f32(vget_low_f32(zv.val[0])), t0.val[0]),
                                          vcvt_f64_f32(vget_low_f32(zv.val[1])), t0.val[1]);
        const float64x2_t re1 =
            vfmsq_f64(vmulq_f64(vcvt_high_f64_f32(zv.val[0]), t1.val[0]), vcvt_high_f64_f32(zv.val[1]), t1.val[1]);
        vst1q_f64(out + n, vfmaq_f64(vld1q_f64(out + n), re0, s));
        vst1q_f64(out + n + 2, vfmaq_f64(vld1q_f64(out + n + 2), re1, s));
    }
    for (; n < N; ++n) {
        const double re =
            std::fma(-static_cast<double>(z[2 * n + 1]), t[2 * n + 1], static_cast<double>(z[2 * n]) * t[2 * n]);
        out[n] = std::fma(re, scale, out[n]);
    }
}

} // namespace

namespace firkernels {

const SpectrumKernels neonKernels{multiplyAccumulateNeon,
                                  blockSpectrumNeon,
                                  realOutputNeon,
                                  realOutputAddNeon,
                                  multiplyInPlaceNeon,
                                  multiplyAccumulateSingleNeon,
                                  multiplyAccumulateSharedSingleNeon,
                                  multiplyInPlaceSingleNeon,
                                  realOutputAddSingleNeon};

} // namespace firkernels

#endif
