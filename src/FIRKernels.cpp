// The spectrum kernels of the FIR engine (see FIRKernels.h) for every instruction set.
#include "FIRKernels.h"

#include <fftw3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// The per-block arithmetic on spectra, written with short vectors of doubles (the compiler's
// generic vector extension: SSE2 or AVX on x86-64, NEON on aarch64) holding complex values as
// (real, imaginary) lane pairs.  Every kernel is compiled twice on x86-64, for any processor
// and for AVX2 ones, and chosen at run time; both versions perform the same operations in the
// same order, and as neither target has fused multiply-add (unless the whole build asks for
// it), they give identical results.  On aarch64 the compiler fuses multiply-adds in this code
// too, so there the portable set equals the PC's to rounding only.
//
// The sum over partitions, carry = sum_p X_{T-p} * G_p, reads every input spectrum of the ring
// and every window spectrum once per block: it is the bulk of the work for long filters and is
// limited by how fast those bytes stream in.  It needs no shuffle per partition: with
// X = (xr, xi) and G = (gr, gi),
//   sa += X * G          = (xr gr, xi gi)
//   sb += X * swap(G)    = (xr gi, xi gr)
// over a group of four partitions, and only then re = sa0 - sa1, im = sb0 + sb1 is added to
// carry.  A group keeps eight input streams and the carry in flight per pass.
typedef double Vec2 __attribute__((vector_size(16)));
typedef double Vec4 __attribute__((vector_size(32)));

#if defined(__clang__) || __GNUC__ >= 12
#define MOBU_SHUFFLE2(a, b, i, j) __builtin_shufflevector(a, b, i, j)
#define MOBU_SHUFFLE4(a, b, i, j, k, l) __builtin_shufflevector(a, b, i, j, k, l)
#else
typedef long long Mask2 __attribute__((vector_size(16)));
typedef long long Mask4 __attribute__((vector_size(32)));
#define MOBU_SHUFFLE2(a, b, i, j) __builtin_shuffle(a, b, Mask2{i, j})
#define MOBU_SHUFFLE4(a, b, i, j, k, l) __builtin_shuffle(a, b, Mask4{i, j, k, l})
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MOBU_AVX2_KERNELS 1
#include <immintrin.h>
#endif

#define MOBU_INLINE inline __attribute__((always_inline))

// The four-lane helpers are only ever inlined into the AVX2 kernels, so the note that passing
// such vectors between functions compiled without AVX changes the calling convention does not
// apply (it is issued when the templates are instantiated, at the end of this file).
#pragma GCC diagnostic ignored "-Wpsabi"

template <typename V> MOBU_INLINE V loadVec(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof(V));
    return v;
}
template <typename V> MOBU_INLINE void storeVec(double* p, const V& v) {
    std::memcpy(p, &v, sizeof(V));
}

// Lane patterns on complex pairs: (im, re); (re, re); (im, im).
MOBU_INLINE Vec2 swapPairs(const Vec2& v) {
    return MOBU_SHUFFLE2(v, v, 1, 0);
}
MOBU_INLINE Vec4 swapPairs(const Vec4& v) {
    return MOBU_SHUFFLE4(v, v, 1, 0, 3, 2);
}
MOBU_INLINE Vec2 realParts(const Vec2& v) {
    return MOBU_SHUFFLE2(v, v, 0, 0);
}
MOBU_INLINE Vec4 realParts(const Vec4& v) {
    return MOBU_SHUFFLE4(v, v, 0, 0, 2, 2);
}
MOBU_INLINE Vec2 imagParts(const Vec2& v) {
    return MOBU_SHUFFLE2(v, v, 1, 1);
}
MOBU_INLINE Vec4 imagParts(const Vec4& v) {
    return MOBU_SHUFFLE4(v, v, 1, 1, 3, 3);
}
// (-1, +1) on every pair: multiplying by it is exact.
template <typename V> MOBU_INLINE V pairSign();
template <> MOBU_INLINE Vec2 pairSign<Vec2>() {
    return Vec2{-1.0, 1.0};
}
template <> MOBU_INLINE Vec4 pairSign<Vec4>() {
    return Vec4{-1.0, 1.0, -1.0, 1.0};
}
// The first and the second lane of every pair of a and b, in order.
MOBU_INLINE Vec2 firstLanes(const Vec2& a, const Vec2& b) {
    return MOBU_SHUFFLE2(a, b, 0, 2);
}
MOBU_INLINE Vec4 firstLanes(const Vec4& a, const Vec4& b) {
    return MOBU_SHUFFLE4(a, b, 0, 2, 4, 6);
}
MOBU_INLINE Vec2 secondLanes(const Vec2& a, const Vec2& b) {
    return MOBU_SHUFFLE2(a, b, 1, 3);
}
MOBU_INLINE Vec4 secondLanes(const Vec4& a, const Vec4& b) {
    return MOBU_SHUFFLE4(a, b, 1, 3, 5, 7);
}

// (sa0 - sa1, sb0 + sb1) for every complex pair.
MOBU_INLINE Vec2 complexFromSums(const Vec2& sa, const Vec2& sb) {
    return MOBU_SHUFFLE2(sa, sb, 0, 3) + MOBU_SHUFFLE2(sa, sb, 1, 2) * pairSign<Vec2>();
}
MOBU_INLINE Vec4 complexFromSums(const Vec4& sa, const Vec4& sb) {
    return MOBU_SHUFFLE4(sa, sb, 0, 5, 2, 7) + MOBU_SHUFFLE4(sa, sb, 1, 4, 3, 6) * pairSign<Vec4>();
}

// carry[k..end) (+)= sum over the G partitions of x[i] * g[i] (doubles k..end-1); the first group
// stores.  Four complex values per step give independent sums to overlap (two-lane vectors).
template <typename V, int G>
MOBU_INLINE void accumulateGroup(double* carry, const double* const* x, const double* const* g, int k, int end,
                                 bool first) {
    constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(double));
    constexpr int U = 8 / lanes;
    for (; k + U * lanes <= end; k += U * lanes) {
        V sa[U], sb[U];
        for (int u = 0; u < U; ++u) {
            const V x0 = loadVec<V>(x[0] + k + u * lanes);
            const V g0 = loadVec<V>(g[0] + k + u * lanes);
            sa[u] = x0 * g0;
            sb[u] = x0 * swapPairs(g0);
        }
        for (int i = 1; i < G; ++i)
            for (int u = 0; u < U; ++u) {
                const V xi = loadVec<V>(x[i] + k + u * lanes);
                const V gi = loadVec<V>(g[i] + k + u * lanes);
                sa[u] += xi * gi;
                sb[u] += xi * swapPairs(gi);
            }
        for (int u = 0; u < U; ++u) {
            V sum = complexFromSums(sa[u], sb[u]);
            if (!first) sum += loadVec<V>(carry + k + u * lanes);
            storeVec(carry + k + u * lanes, sum);
        }
    }
    for (; k + lanes <= end; k += lanes) {
        const V x0 = loadVec<V>(x[0] + k);
        const V g0 = loadVec<V>(g[0] + k);
        V sa = x0 * g0;
        V sb = x0 * swapPairs(g0);
        for (int i = 1; i < G; ++i) {
            const V xi = loadVec<V>(x[i] + k);
            const V gi = loadVec<V>(g[i] + k);
            sa += xi * gi;
            sb += xi * swapPairs(gi);
        }
        V sum = complexFromSums(sa, sb);
        if (!first) sum += loadVec<V>(carry + k);
        storeVec(carry + k, sum);
    }
    if constexpr (lanes > 2) {
        if (k < end) // an odd bin count leaves one complex value for the two-lane code
            accumulateGroup<Vec2, G>(carry, x, g, k, end, first);
    }
}

// carry = sum over p < P of ring column (head + p) mod P times window column p (N complex values
// each; columns stride doubles apart).
template <typename V>
MOBU_INLINE void multiplyAccumulateWith(double* carry, const double* ring, int head, const double* windows, int P,
                                        int N, size_t stride) {
    constexpr int G = 4;
    const double* x[G];
    const double* g[G];
    auto gather = [&](int p, int count) {
        firkernels::groupColumns(ring, head, windows, P, p, count, stride, 0, x, g);
    };
    int p = 0;
    for (; p + G <= P; p += G) {
        gather(p, G);
        accumulateGroup<V, G>(carry, x, g, 0, 2 * N, p == 0);
    }
    const int rest = P - p;
    gather(p, rest);
    if (rest == 3)
        accumulateGroup<V, 3>(carry, x, g, 0, 2 * N, p == 0);
    else if (rest == 2)
        accumulateGroup<V, 2>(carry, x, g, 0, 2 * N, p == 0);
    else if (rest == 1)
        accumulateGroup<V, 1>(carry, x, g, 0, 2 * N, p == 0);
}

// y = x * h + j * a for N complex values: (xr hr - xi hi - ai, xr hi + xi hr + ar).
template <typename V>
MOBU_INLINE void blockSpectrumWith(double* y, const double* x, const double* h, const double* a, int N) {
    constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(double));
    int k = 0;
    for (; k + lanes <= 2 * N; k += lanes) {
        const V xv = loadVec<V>(x + k);
        const V hv = loadVec<V>(h + k);
        const V product = xv * realParts(hv) + swapPairs(xv) * imagParts(hv) * pairSign<V>();
        storeVec(y + k, product + swapPairs(loadVec<V>(a + k)) * pairSign<V>());
    }
    for (; k < 2 * N; k += 2) {
        y[k] = x[k] * h[k] - x[k + 1] * h[k + 1] - a[k + 1];
        y[k + 1] = x[k] * h[k + 1] + x[k + 1] * h[k] + a[k];
    }
}

// out[n] = (zr tr - zi ti) * scale for N complex z and t (the real part of their product,
// scaled), or out[n] += that when Add.
template <typename V, bool Add>
MOBU_INLINE void realOutputWith(double* out, const double* z, const double* t, double scale, int N) {
    constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(double));
    int n = 0;
    for (; n + lanes <= N; n += lanes) {
        const V p0 = loadVec<V>(z + 2 * n) * loadVec<V>(t + 2 * n);
        const V p1 = loadVec<V>(z + 2 * n + lanes) * loadVec<V>(t + 2 * n + lanes);
        const V re = (firstLanes(p0, p1) - secondLanes(p0, p1)) * scale;
        storeVec(out + n, Add ? loadVec<V>(out + n) + re : re);
    }
    for (; n < N; ++n) {
        const double re = (z[2 * n] * t[2 * n] - z[2 * n + 1] * t[2 * n + 1]) * scale;
        out[n] = Add ? out[n] + re : re;
    }
}

// y[n] *= t[n] for N complex values.
template <typename V> MOBU_INLINE void multiplyInPlaceWith(double* y, const double* t, int N) {
    constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(double));
    int k = 0;
    for (; k + lanes <= 2 * N; k += lanes) {
        const V yv = loadVec<V>(y + k);
        const V tv = loadVec<V>(t + k);
        storeVec(y + k, yv * realParts(tv) + swapPairs(yv) * imagParts(tv) * pairSign<V>());
    }
    for (; k < 2 * N; k += 2) {
        const double re = y[k] * t[k] - y[k + 1] * t[k + 1];
        y[k + 1] = y[k] * t[k + 1] + y[k + 1] * t[k];
        y[k] = re;
    }
}

// One instantiation of every kernel for the vector type V, under the name of its set.
template <typename V> struct KernelSet {
    static void multiplyAccumulate(double* carry, const double* ring, int head, const double* windows, int P, int N,
                                   size_t stride) {
        multiplyAccumulateWith<V>(carry, ring, head, windows, P, N, stride);
    }
    static void blockSpectrum(double* y, const double* x, const double* h, const double* a, int N) {
        blockSpectrumWith<V>(y, x, h, a, N);
    }
    static void realOutput(double* out, const double* z, const double* t, double scale, int N) {
        realOutputWith<V, false>(out, z, t, scale, N);
    }
    static void realOutputAdd(double* out, const double* z, const double* t, double scale, int N) {
        realOutputWith<V, true>(out, z, t, scale, N);
    }
    static void multiplyInPlace(double* y, const double* t, int N) { multiplyInPlaceWith<V>(y, t, N); }
};

// The portable single-precision kernels are plain loops over restrict pointers, left to the
// compiler's vectoriser (SSE2 on x86-64).
void multiplyAccumulateSinglePortable(float* carry, const float* ring, int head, const float* windows, int P, int N,
                                      size_t stride) {
    // Runs of bins short enough for their sum to stay in the first-level cache while four
    // partitions at a time are added into it (each input and window column is read once).
    constexpr int run = 256;
    for (int at = 0; at < N; at += run) {
        const int end = std::min(N, at + run);
        float* __restrict acc = carry + 2 * static_cast<size_t>(at);
        const int n2 = 2 * (end - at);
        for (int i = 0; i < n2; ++i)
            acc[i] = 0.0f;
        for (int p = 0; p < P; p += 4) {
            const int group = std::min(4, P - p);
            const float* x[4];
            const float* g[4];
            for (int q = 0; q < 4; ++q) {
                const int pq = p + std::min(q, group - 1);
                x[q] = ring + stride * static_cast<size_t>((head + pq) % P) + 2 * static_cast<size_t>(at);
                g[q] = windows + stride * static_cast<size_t>(pq) + 2 * static_cast<size_t>(at);
            }
            // Groups shorter than four (the last, group < 4) repeat their last partition with a
            // weight of zero.
            const float w1 = group > 1 ? 1.0f : 0.0f, w2 = group > 2 ? 1.0f : 0.0f;
            const float* __restrict x0 = x[0];
            const float* __restrict x1 = x[1];
            const float* __restrict x2 = x[2];
            const float* __restrict x3 = x[3];
            const float* __restrict g0 = g[0];
            const float* __restrict g1 = g[1];
            const float* __restrict g2 = g[2];
            const float* __restrict g3 = g[3];
            if (group == 4) {
                for (int i = 0; i < n2; i += 2) {
                    acc[i] += (x0[i] * g0[i] - x0[i + 1] * g0[i + 1]) + (x1[i] * g1[i] - x1[i + 1] * g1[i + 1]) +
                              (x2[i] * g2[i] - x2[i + 1] * g2[i + 1]) + (x3[i] * g3[i] - x3[i + 1] * g3[i + 1]);
                    acc[i + 1] += (x0[i] * g0[i + 1] + x0[i + 1] * g0[i]) + (x1[i] * g1[i + 1] + x1[i + 1] * g1[i]) +
                                  (x2[i] * g2[i + 1] + x2[i + 1] * g2[i]) + (x3[i] * g3[i + 1] + x3[i + 1] * g3[i]);
                }
            } else {
                for (int i = 0; i < n2; i += 2) {
                    acc[i] += (x0[i] * g0[i] - x0[i + 1] * g0[i + 1]) + w1 * (x1[i] * g1[i] - x1[i + 1] * g1[i + 1]) +
                              w2 * (x2[i] * g2[i] - x2[i + 1] * g2[i + 1]);
                    acc[i + 1] += (x0[i] * g0[i + 1] + x0[i + 1] * g0[i]) +
                                  w1 * (x1[i] * g1[i + 1] + x1[i + 1] * g1[i]) +
                                  w2 * (x2[i] * g2[i + 1] + x2[i + 1] * g2[i]);
                }
            }
        }
    }
}

void multiplyInPlaceSinglePortable(float* __restrict y, const float* __restrict t, int N) {
    for (int i = 0; i < 2 * N; i += 2) {
        const float re = y[i] * t[i] - y[i + 1] * t[i + 1];
        const float im = y[i] * t[i + 1] + y[i + 1] * t[i];
        y[i] = re;
        y[i + 1] = im;
    }
}

void realOutputAddSinglePortable(double* __restrict out, const float* __restrict z, const double* __restrict t,
                                 double scale, int N) {
    for (int n = 0; n < N; ++n)
        out[n] += (static_cast<double>(z[2 * n]) * t[2 * n] - static_cast<double>(z[2 * n + 1]) * t[2 * n + 1]) * scale;
}

void multiplyAccumulateSharedSinglePortable(float* const* carries, const float* ring, int head,
                                            const float* const* windows, int K, int P, int from, int count,
                                            size_t stride) {
    firkernels::multiplyAccumulateSharedSingleByRuns(multiplyAccumulateSinglePortable, carries, ring, head, windows, K,
                                                     P, from, count, stride);
}

const firkernels::SpectrumKernels portableKernels{
    KernelSet<Vec2>::multiplyAccumulate,    KernelSet<Vec2>::blockSpectrum,   KernelSet<Vec2>::realOutput,
    KernelSet<Vec2>::realOutputAdd,         KernelSet<Vec2>::multiplyInPlace, multiplyAccumulateSinglePortable,
    multiplyAccumulateSharedSinglePortable, multiplyInPlaceSinglePortable,    realOutputAddSinglePortable};

#ifdef MOBU_AVX2_KERNELS
// The same templates compiled for AVX2 processors (four-lane vectors).
__attribute__((target("avx2"))) void multiplyAccumulateAvx2(double* carry, const double* ring, int head,
                                                            const double* windows, int P, int N, size_t stride) {
    multiplyAccumulateWith<Vec4>(carry, ring, head, windows, P, N, stride);
}
__attribute__((target("avx2"))) void blockSpectrumAvx2(double* y, const double* x, const double* h, const double* a,
                                                       int N) {
    blockSpectrumWith<Vec4>(y, x, h, a, N);
}
__attribute__((target("avx2"))) void realOutputAvx2(double* out, const double* z, const double* t, double scale,
                                                    int N) {
    realOutputWith<Vec4, false>(out, z, t, scale, N);
}
__attribute__((target("avx2"))) void realOutputAddAvx2(double* out, const double* z, const double* t, double scale,
                                                       int N) {
    realOutputWith<Vec4, true>(out, z, t, scale, N);
}
__attribute__((target("avx2"))) void multiplyInPlaceAvx2(double* y, const double* t, int N) {
    multiplyInPlaceWith<Vec4>(y, t, N);
}

// The single-precision kernels for AVX2 processors, in intrinsics with fused multiply-adds
// (eight floats, four complex values, a register).  The sum over partitions uses the same
// shuffle-free form as above, with the swap on the input spectrum:
//   sa += X * G       = (xr gr, xi gi)
//   sb += swap(X) * G = (xi gr, xr gi)
// and only after a group of partitions re = sa0 - sa1, im = sb0 + sb1 goes into carry.  A count
// that is not a multiple of four complex values ends in one masked step.
#define MOBU_AVX2_FMA __attribute__((target("avx2,fma")))
#define MOBU_AVX2_FMA_INLINE inline __attribute__((always_inline, target("avx2,fma")))

MOBU_AVX2_FMA_INLINE __m256 swapPairsAvx(__m256 v) {
    return _mm256_permute_ps(v, 0xB1);
}
// (sa0 - sa1, sb0 + sb1) for every complex pair.
MOBU_AVX2_FMA_INLINE __m256 complexFromSumsAvx(__m256 sa, __m256 sb) {
    return _mm256_addsub_ps(_mm256_blend_ps(sa, sb, 0xAA), swapPairsAvx(_mm256_blend_ps(sb, sa, 0xAA)));
}
// The lanes below floats (an even count, 2 .. 6) of a step, for masked loads and stores.
MOBU_AVX2_FMA_INLINE __m256i tailMask(int floats) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(floats), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// carry[0 .. n2) (+)= sum over the G partitions of x[i] * g[i] (n2 floats); the first group stores.
template <int G>
MOBU_AVX2_FMA_INLINE void accumulateGroupAvx2(float* carry, const float* const* x, const float* const* g, int n2,
                                              bool first) {
    constexpr int U = 2; // registers of complex values per step: independent sums to overlap
    int k = 0;
    for (; k + 8 * U <= n2; k += 8 * U) {
        __m256 sa[U], sb[U];
        for (int u = 0; u < U; ++u) {
            const __m256 xv = _mm256_loadu_ps(x[0] + k + 8 * u), gv = _mm256_loadu_ps(g[0] + k + 8 * u);
            sa[u] = _mm256_mul_ps(xv, gv);
            sb[u] = _mm256_mul_ps(swapPairsAvx(xv), gv);
        }
        for (int i = 1; i < G; ++i)
            for (int u = 0; u < U; ++u) {
                const __m256 xv = _mm256_loadu_ps(x[i] + k + 8 * u), gv = _mm256_loadu_ps(g[i] + k + 8 * u);
                sa[u] = _mm256_fmadd_ps(xv, gv, sa[u]);
                sb[u] = _mm256_fmadd_ps(swapPairsAvx(xv), gv, sb[u]);
            }
        for (int u = 0; u < U; ++u) {
            __m256 sum = complexFromSumsAvx(sa[u], sb[u]);
            if (!first) sum = _mm256_add_ps(sum, _mm256_loadu_ps(carry + k + 8 * u));
            _mm256_storeu_ps(carry + k + 8 * u, sum);
        }
    }
    for (; k < n2; k += 8) {
        const __m256i mask = tailMask(n2 - k); // all lanes but in the last step
        __m256 xv = _mm256_maskload_ps(x[0] + k, mask), gv = _mm256_maskload_ps(g[0] + k, mask);
        __m256 sa = _mm256_mul_ps(xv, gv), sb = _mm256_mul_ps(swapPairsAvx(xv), gv);
        for (int i = 1; i < G; ++i) {
            xv = _mm256_maskload_ps(x[i] + k, mask);
            gv = _mm256_maskload_ps(g[i] + k, mask);
            sa = _mm256_fmadd_ps(xv, gv, sa);
            sb = _mm256_fmadd_ps(swapPairsAvx(xv), gv, sb);
        }
        __m256 sum = complexFromSumsAvx(sa, sb);
        if (!first) sum = _mm256_add_ps(sum, _mm256_maskload_ps(carry + k, mask));
        _mm256_maskstore_ps(carry + k, mask, sum);
    }
}

MOBU_AVX2_FMA void multiplyAccumulateSingleAvx2(float* carry, const float* ring, int head, const float* windows, int P,
                                                int N, size_t stride) {
    // Runs of bins whose sum stays in the first-level cache while the groups of four
    // partitions are added into it.
    constexpr int G = 4, run = 256;
    for (int at = 0; at < N; at += run) {
        const int n2 = 2 * (std::min(N, at + run) - at);
        const size_t offset = 2 * static_cast<size_t>(at);
        for (int p = 0; p < P; p += G) {
            const int count = std::min(G, P - p);
            const float* x[G];
            const float* g[G];
            firkernels::groupColumns(ring, head, windows, P, p, count, stride, offset, x, g);
            float* acc = carry + offset;
            if (count == 4)
                accumulateGroupAvx2<4>(acc, x, g, n2, p == 0);
            else if (count == 3)
                accumulateGroupAvx2<3>(acc, x, g, n2, p == 0);
            else if (count == 2)
                accumulateGroupAvx2<2>(acc, x, g, n2, p == 0);
            else
                accumulateGroupAvx2<1>(acc, x, g, n2, p == 0);
        }
    }
}

// The sum over partitions for C channels that share the ring (C at most four): each input
// vector is loaded and swapped once for all of them.  Steps of U registers per channel keep
// at least eight sums in flight.  From float k to end (a multiple of eight floats from k, or
// with mask the one step that ends the range); x: count input columns, g: the windows of
// every channel for them, carry: every channel's (all at bin 0).
template <bool Masked> MOBU_AVX2_FMA_INLINE __m256 loadStep(const float* p, __m256i mask) {
    return Masked ? _mm256_maskload_ps(p, mask) : _mm256_loadu_ps(p);
}

template <int C, int U, bool Masked>
MOBU_AVX2_FMA_INLINE int sharedStepsAvx2(float* const* carry, const float* const* x, const float* const (*g)[4],
                                         int count, int k, int end, bool first) {
    const __m256i mask = tailMask(Masked ? end - k : 8);
    for (; Masked ? k < end : k + 8 * U <= end; k += 8 * U) {
        __m256 sa[C][U], sb[C][U];
        for (int c = 0; c < C; ++c)
            for (int u = 0; u < U; ++u)
                sa[c][u] = sb[c][u] = _mm256_setzero_ps();
        for (int i = 0; i < count; ++i)
            for (int u = 0; u < U; ++u) {
                const __m256 xv = loadStep<Masked>(x[i] + k + 8 * u, mask), xs = swapPairsAvx(xv);
                for (int c = 0; c < C; ++c) {
                    const __m256 gv = loadStep<Masked>(g[c][i] + k + 8 * u, mask);
                    sa[c][u] = _mm256_fmadd_ps(xv, gv, sa[c][u]);
                    sb[c][u] = _mm256_fmadd_ps(xs, gv, sb[c][u]);
                }
            }
        for (int c = 0; c < C; ++c)
            for (int u = 0; u < U; ++u) {
                float* out = carry[c] + k + 8 * u;
                __m256 sum = complexFromSumsAvx(sa[c][u], sb[c][u]);
                if (!first) sum = _mm256_add_ps(sum, loadStep<Masked>(out, mask));
                if (Masked)
                    _mm256_maskstore_ps(out, mask, sum);
                else
                    _mm256_storeu_ps(out, sum);
            }
        if (Masked) return end;
    }
    return k;
}

template <int C>
MOBU_AVX2_FMA_INLINE void sharedRangeAvx2(float* const* carry, const float* const* x, const float* const (*g)[4],
                                          int count, int k, int end, bool first) {
    constexpr int U = C >= 3 ? 1 : 4 / C;
    k = sharedStepsAvx2<C, U, false>(carry, x, g, count, k, end, first);
    if (U > 1) k = sharedStepsAvx2<C, 1, false>(carry, x, g, count, k, end, first);
    if (k < end) sharedStepsAvx2<C, 1, true>(carry, x, g, count, k, end, first);
}

MOBU_AVX2_FMA void multiplyAccumulateSharedSingleAvx2(float* const* carries, const float* ring, int head,
                                                      const float* const* windows, int K, int P, int from, int count,
                                                      size_t stride) {
    // Runs of about 24 KiB of the ring, which stays in cache for the groups of channels and
    // their sums for the groups of four partitions.
    constexpr int ringBytes = 24 * 1024, G = 4;
    const int run = std::max(8, ringBytes / (8 * std::max(P, 1)) / 8 * 8);
    for (int at = from; at < from + count; at += run) {
        const int k = 2 * at, end = 2 * std::min(from + count, at + run);
        for (int c0 = 0; c0 < K; c0 += 4) {
            const int C = std::min(4, K - c0);
            for (int p = 0; p < P; p += G) {
                const int n = std::min(G, P - p);
                const float* x[G];
                const float* g[4][G];
                for (int i = 0; i < n; ++i) {
                    int column = head + p + i;
                    if (column >= P) column -= P;
                    x[i] = ring + column * stride;
                    for (int c = 0; c < C; ++c)
                        g[c][i] = windows[c0 + c] + (p + i) * stride;
                }
                float* const* carry = carries + c0;
                if (C == 4)
                    sharedRangeAvx2<4>(carry, x, g, n, k, end, p == 0);
                else if (C == 3)
                    sharedRangeAvx2<3>(carry, x, g, n, k, end, p == 0);
                else if (C == 2)
                    sharedRangeAvx2<2>(carry, x, g, n, k, end, p == 0);
                else
                    sharedRangeAvx2<1>(carry, x, g, n, k, end, p == 0);
            }
        }
    }
}

// The product of the complex values of a and b.
MOBU_AVX2_FMA_INLINE __m256 complexProductAvx2(__m256 a, __m256 b) {
    return _mm256_fmaddsub_ps(a, _mm256_moveldup_ps(b), _mm256_mul_ps(swapPairsAvx(a), _mm256_movehdup_ps(b)));
}

MOBU_AVX2_FMA void multiplyInPlaceSingleAvx2(float* y, const float* t, int N) {
    int k = 0;
    for (; k + 8 <= 2 * N; k += 8)
        _mm256_storeu_ps(y + k, complexProductAvx2(_mm256_loadu_ps(y + k), _mm256_loadu_ps(t + k)));
    if (k < 2 * N) {
        const __m256i mask = tailMask(2 * N - k);
        _mm256_maskstore_ps(y + k, mask,
                            complexProductAvx2(_mm256_maskload_ps(y + k, mask), _mm256_maskload_ps(t + k, mask)));
    }
}

MOBU_AVX2_FMA void realOutputAddSingleAvx2(double* out, const float* z, const double* t, double scale, int N) {
    const __m256d s = _mm256_set1_pd(scale);
    int n = 0;
    for (; n + 4 <= N; n += 4) {
        const __m256 zv = _mm256_loadu_ps(z + 2 * n);
        const __m256d p0 = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(zv)), _mm256_loadu_pd(t + 2 * n));
        const __m256d p1 = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(zv, 1)), _mm256_loadu_pd(t + 2 * n + 4));
        // (re0, re2, re1, re3) into order
        const __m256d re = _mm256_permute4x64_pd(_mm256_hsub_pd(p0, p1), 0xD8);
        _mm256_storeu_pd(out + n, _mm256_fmadd_pd(re, s, _mm256_loadu_pd(out + n)));
    }
    for (; n < N; ++n)
        out[n] += (static_cast<double>(z[2 * n]) * t[2 * n] - static_cast<double>(z[2 * n + 1]) * t[2 * n + 1]) * scale;
}

const firkernels::SpectrumKernels avx2Kernels{multiplyAccumulateAvx2,
                                              blockSpectrumAvx2,
                                              realOutputAvx2,
                                              realOutputAddAvx2,
                                              multiplyInPlaceAvx2,
                                              multiplyAccumulateSingleAvx2,
                                              multiplyAccumulateSharedSingleAvx2,
                                              multiplyInPlaceSingleAvx2,
                                              realOutputAddSingleAvx2};
#endif

} // namespace

namespace firkernels {

const SpectrumKernels& portableSpectrumKernels() {
    return portableKernels;
}

const SpectrumKernels& defaultSpectrumKernels() {
#if defined(__aarch64__) && defined(__ARM_NEON)
    return neonKernels;
#else
#ifdef MOBU_AVX2_KERNELS
    __builtin_cpu_init();
    // The single-precision kernels of the set fuse multiply-adds.
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return avx2Kernels;
#endif
    return portableKernels;
#endif
}

const char* defaultSpectrumKernelsName() {
    const SpectrumKernels& set = defaultSpectrumKernels();
#if defined(__aarch64__) && defined(__ARM_NEON)
    if (&set == &neonKernels) return "neon";
#endif
#ifdef MOBU_AVX2_KERNELS
    if (&set == &avx2Kernels) return "avx2";
#endif
    return "portable";
}

void multiplyAccumulateShared(const SpectrumKernels& kernels, double* const* carries, const double* ring, int head,
                              const double* const* windows, int K, int P, int from, int count, size_t stride) {
    // About 24 KiB of the ring per run (16 bytes a bin and column), whole cache lines.
    constexpr int ringBytes = 24 * 1024;
    const int run = std::max(4, ringBytes / (16 * std::max(P, 1)) / 4 * 4);
    for (int at = from; at < from + count; at += run) {
        const int bins = std::min(run, from + count - at);
        for (int k = 0; k < K; ++k)
            kernels.multiplyAccumulate(carries[k] + 2 * static_cast<size_t>(at), ring + 2 * static_cast<size_t>(at),
                                       head, windows[k] + 2 * static_cast<size_t>(at), P, bins, stride);
    }
}

void multiplyAccumulateSharedSingleByRuns(void (*single)(float*, const float*, int, const float*, int, int, size_t),
                                          float* const* carries, const float* ring, int head,
                                          const float* const* windows, int K, int P, int from, int count,
                                          size_t stride) {
    // About 24 KiB of the ring per run (8 bytes a bin and column), whole cache lines.
    constexpr int ringBytes = 24 * 1024;
    const int run = std::max(8, ringBytes / (8 * std::max(P, 1)) / 8 * 8);
    for (int at = from; at < from + count; at += run) {
        const int bins = std::min(run, from + count - at);
        for (int k = 0; k < K; ++k)
            single(carries[k] + 2 * static_cast<size_t>(at), ring + 2 * static_cast<size_t>(at), head,
                   windows[k] + 2 * static_cast<size_t>(at), P, bins, stride);
    }
}

const SpectrumKernels& spectrumKernels() {
    static const SpectrumKernels& chosen = []() -> const SpectrumKernels& {
        const char* forced = getenv("MOBU_FIR_KERNELS");
        if (forced != nullptr && std::strcmp(forced, "portable") == 0) return portableKernels;
        return defaultSpectrumKernels();
    }();
    return chosen;
}

TransformPlan::TransformPlan(int n, int howMany, int stride, int distance, int sign, bool aligned,
                             std::complex<double>* sampleIn, std::complex<double>* sampleOut) {
    auto* p = reinterpret_cast<fftw_complex*>(sampleIn);
    auto* o = reinterpret_cast<fftw_complex*>(sampleOut);
    // Plans that buffer allocate their buffers when they run: not on the audio thread, unless
    // FFTW has no other plan for the size.  Measured plans (made at load, on the samples) run
    // markedly faster than estimated ones: about twice as fast for 480 points.
    for (const unsigned extra : {FFTW_NO_BUFFERING, 0u}) {
        plan = fftw_plan_many_dft(1, &n, howMany, p, nullptr, stride, distance, o, nullptr, stride, distance, sign,
                                  FFTW_MEASURE | (aligned ? 0u : FFTW_UNALIGNED) | extra);
        if (plan != nullptr) break;
    }
    if (plan == nullptr) throw std::runtime_error("no FFTW plan for " + std::to_string(n) + " points");
}

TransformPlan::TransformPlan(TransformPlan&& other) noexcept : plan(std::exchange(other.plan, nullptr)) {}

TransformPlan::~TransformPlan() {
    if (plan != nullptr) fftw_destroy_plan(plan);
}

void TransformPlan::run(std::complex<double>* in, std::complex<double>* out) const {
    fftw_execute_dft(plan, reinterpret_cast<fftw_complex*>(in), reinterpret_cast<fftw_complex*>(out));
}

TransformPlanSingle::TransformPlanSingle(int n, int howMany, int stride, int distance, int sign, bool aligned,
                                         std::complex<float>* sampleIn, std::complex<float>* sampleOut) {
    auto* p = reinterpret_cast<fftwf_complex*>(sampleIn);
    auto* o = reinterpret_cast<fftwf_complex*>(sampleOut);
    for (const unsigned extra : {FFTW_NO_BUFFERING, 0u}) {
        plan = fftwf_plan_many_dft(1, &n, howMany, p, nullptr, stride, distance, o, nullptr, stride, distance, sign,
                                   FFTW_MEASURE | (aligned ? 0u : FFTW_UNALIGNED) | extra);
        if (plan != nullptr) break;
    }
    if (plan == nullptr) throw std::runtime_error("no single-precision FFTW plan for " + std::to_string(n) + " points");
}

TransformPlanSingle::TransformPlanSingle(TransformPlanSingle&& other) noexcept
    : plan(std::exchange(other.plan, nullptr)) {}

TransformPlanSingle::~TransformPlanSingle() {
    if (plan != nullptr) fftwf_destroy_plan(plan);
}

void TransformPlanSingle::run(std::complex<float>* in, std::complex<float>* out) const {
    fftwf_execute_dft(plan, reinterpret_cast<fftwf_complex*>(in), reinterpret_cast<fftwf_complex*>(out));
}

} // namespace firkernels
