#include "MobuEmbedded/FIRMobu.h"

#include <Sox.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <iostream>

namespace {

// The per-block arithmetic on spectra, written with short vectors of doubles (the compiler's
// generic vector extension: SSE2 or AVX on x86-64, NEON on aarch64) holding complex values as
// (real, imaginary) lane pairs.  Every kernel is compiled twice on x86-64, for any processor
// and for AVX2 ones, and chosen at run time; both versions perform the same operations in the
// same order, and as neither target has fused multiply-add (unless the whole build asks for
// it), they give identical results.
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
        for (int i = 0; i < count; ++i) {
            int column = head + p + i;
            if (column >= P) column -= P;
            x[i] = ring + column * stride;
            g[i] = windows + (p + i) * stride;
        }
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

// out[n] = (zr tr - zi ti) * scale for N complex z and t: the real part of their product, scaled.
template <typename V>
MOBU_INLINE void realOutputWith(double* out, const double* z, const double* t, double scale, int N) {
    constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(double));
    int n = 0;
    for (; n + lanes <= N; n += lanes) {
        const V p0 = loadVec<V>(z + 2 * n) * loadVec<V>(t + 2 * n);
        const V p1 = loadVec<V>(z + 2 * n + lanes) * loadVec<V>(t + 2 * n + lanes);
        storeVec(out + n, (firstLanes(p0, p1) - secondLanes(p0, p1)) * scale);
    }
    for (; n < N; ++n)
        out[n] = (z[2 * n] * t[2 * n] - z[2 * n + 1] * t[2 * n + 1]) * scale;
}

struct SpectrumKernels {
    void (*multiplyAccumulate)(double* carry, const double* ring, int head, const double* windows, int P, int N,
                               size_t stride);
    void (*blockSpectrum)(double* y, const double* x, const double* h, const double* a, int N);
    void (*realOutput)(double* out, const double* z, const double* t, double scale, int N);
};

void multiplyAccumulatePortable(double* carry, const double* ring, int head, const double* windows, int P, int N,
                                size_t stride) {
    multiplyAccumulateWith<Vec2>(carry, ring, head, windows, P, N, stride);
}
void blockSpectrumPortable(double* y, const double* x, const double* h, const double* a, int N) {
    blockSpectrumWith<Vec2>(y, x, h, a, N);
}
void realOutputPortable(double* out, const double* z, const double* t, double scale, int N) {
    realOutputWith<Vec2>(out, z, t, scale, N);
}

#ifdef MOBU_AVX2_KERNELS
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
    realOutputWith<Vec4>(out, z, t, scale, N);
}
#endif

// MOBU_FIR_KERNELS=portable in the environment forces the portable kernels (the code the
// aarch64 board runs), so that they are tested on x86-64 machines too.
const SpectrumKernels& spectrumKernels() {
    static const SpectrumKernels chosen = [] {
        const char* forced = getenv("MOBU_FIR_KERNELS");
        if (forced != nullptr && std::strcmp(forced, "portable") == 0)
            return SpectrumKernels{multiplyAccumulatePortable, blockSpectrumPortable, realOutputPortable};
#ifdef MOBU_AVX2_KERNELS
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2"))
            return SpectrumKernels{multiplyAccumulateAvx2, blockSpectrumAvx2, realOutputAvx2};
#endif
        return SpectrumKernels{multiplyAccumulatePortable, blockSpectrumPortable, realOutputPortable};
    }();
    return chosen;
}

} // namespace

void FIRMobu::SpectrumArray::Free::operator()(void* p) const {
    std::free(p);
}

void FIRMobu::SpectrumArray::resize(Eigen::Index rows, Eigen::Index cols, int line) {
    constexpr size_t cacheLine = 64, page = 4096;
    constexpr Eigen::Index perLine = cacheLine / sizeof(std::complex<double>);
    // Columns rounded up to whole lines plus one line, so that neighbouring columns start on
    // neighbouring sets even when a column is a whole number of pages long.
    const Eigen::Index newStride = (rows + perLine - 1) / perLine * perLine + perLine;
    const size_t offset = static_cast<size_t>(line % (page / cacheLine)) * cacheLine;
    const size_t bytes = offset + static_cast<size_t>(newStride * cols) * sizeof(std::complex<double>);
    const size_t rounded = (bytes + page - 1) / page * page;
    void* raw = std::aligned_alloc(page, rounded);
    if (raw == nullptr) throw std::bad_alloc();
    storage.reset(static_cast<std::complex<double>*>(raw));
    first = reinterpret_cast<std::complex<double>*>(static_cast<char*>(raw) + offset);
    nRows = rows;
    nCols = cols;
    stride = newStride;
    firstLine = line;
}

FIRMobu::SpectrumArray::SpectrumArray(const SpectrumArray& other) {
    *this = other;
}

FIRMobu::SpectrumArray& FIRMobu::SpectrumArray::operator=(SpectrumArray&& other) noexcept {
    if (this == &other) return *this;
    storage = std::move(other.storage);
    first = std::exchange(other.first, nullptr);
    nRows = std::exchange(other.nRows, 0);
    nCols = std::exchange(other.nCols, 0);
    stride = std::exchange(other.stride, 0);
    firstLine = std::exchange(other.firstLine, 0);
    return *this;
}

FIRMobu::SpectrumArray& FIRMobu::SpectrumArray::operator=(const SpectrumArray& other) {
    if (this == &other) return *this;
    if (other.storage) {
        resize(other.nRows, other.nCols, other.firstLine);
        view() = other.view();
    } else {
        storage.reset();
        first = nullptr;
        nRows = nCols = stride = 0;
        firstLine = other.firstLine;
    }
    return *this;
}

FIRMobu::FIRMobu() = default;

FIRMobu::FIRMobu(int M) {
    init(static_cast<unsigned>(M));
}

void FIRMobu::init(unsigned M) {
    fftLength = M;
    const Eigen::Index N = M / 2;
    // The ramp n is N evenly spaced values from 0 to N-1.
    const Eigen::ArrayXd n = Eigen::ArrayXd::LinSpaced(N, 0.0, static_cast<double>(N - 1));
    const Eigen::ArrayXd angle = n * (M_PI / static_cast<double>(M));
    twiddleFwd.resize(N);
    twiddleInv.resize(N);
    for (Eigen::Index i = 0; i < N; ++i) {
        twiddleFwd(i) = std::polar(1.0, -angle(i));
        twiddleInv(i) = std::polar(1.0, angle(i));
    }
}

void FIRMobu::reset() {
    for (auto& h : history)
        h.setZero();
    for (auto& a : carry)
        a.setZero();
    std::fill(historyHead.begin(), historyHead.end(), 0);
}

void FIRMobu::loadTimeDomainCoefficients(Eigen::MatrixXd h) {
    std::cout << "FIRMobu::loadTimeDomainCoefficients : entering" << std::endl;
    const Eigen::Index N = fftLength / 2;
    if (N < 1) {
        MobuDebug().evaluateError(-1312, " : init the transform length before loading coefficients\n");
        return;
    }

    if (h.rows() == 1)
        directGains = h.row(0).array();
    else
        directGains = Eigen::Array<double, 1, Eigen::Dynamic>::Zero(h.cols());

    Eigen::MatrixXd copy = h;
    if (removeDC && copy.rows() > 0) copy.rowwise() -= copy.colwise().mean();
    if (copy.rows() < N) {
        const Eigen::Index old = copy.rows();
        copy.conservativeResize(N, Eigen::NoChange);
        copy.bottomRows(N - old).setZero();
    }

    spectrumKernels(); // picks the kernels now rather than in the first filterLocal call
    mDFT(copy.topRows(N), firstPartition);
    const Eigen::Index C = firstPartition.cols();
    windowSpectra.resize(C);
    history.resize(C);
    carry.resize(C);
    historyHead.assign(C, 0);

    const Eigen::Index L = copy.rows();
    ComplexArray spectra;
    const Eigen::Index P = partitionCount(L, N);
    for (Eigen::Index c = 0; c < C; ++c) {
        Eigen::MatrixXd W = Eigen::MatrixXd::Zero(2 * N, P);
        for (Eigen::Index k = 0; k < L; k += N) {
            const Eigen::Index len = std::min(2 * N, L - k);
            W.col(k / N).head(len) = copy.col(c).segment(k, len);
        }
        mDFT(W, spectra);
        // The ring, the windows and the carry of a channel start on different lines of a page.
        windowSpectra[c].resize(N, P, 0);
        windowSpectra[c].view() = spectra;
        history[c].resize(N, P, 21);
        carry[c].resize(N, 1, 42);
    }
    blockSpectrum.resize(N);
    ifftOut.resize(N, 1);
    packed.resize(N, 1);
    zeros = Eigen::MatrixXd::Zero(N, 1);
    prepareOutput(static_cast<int>(N), static_cast<int>(h.cols())); // the first block must not allocate either
    if (!history.empty()) {
        // Make the FFTW plans filterLocal uses now (same sizes and alignment), not on the audio thread.
        packed.setZero();
        fwd(history[0].col(0), packed.data(), N);
        impl().inv(ifftOut.data(), blockSpectrum.data(), N);
    }
    reset();
    std::cout << "FIRMobu::loadTimeDomainCoefficients : leaving" << std::endl;
}

Eigen::Index FIRMobu::partitionCount(Eigen::Index L, Eigen::Index N) {
    // Single precision, rounded up (L = N gives 1, 2.5N gives 3), is exact up to 2^24 taps.
    // Beyond, L itself rounds: step to the smallest count whose partitions hold every tap.
    Eigen::Index P = static_cast<Eigen::Index>(std::ceil(static_cast<float>(L) / static_cast<float>(N)));
    while (P * N < L)
        ++P;
    while (P > 1 && (P - 1) * N >= L)
        --P;
    return P;
}

int FIRMobu::readFile(const std::string& fileName, Eigen::MatrixXd& b) {
    Sox<double> sox;
    const int openRes = sox.openRead(fileName);
    if (openRes < 0 && openRes != SOX_REFERENCE_WARNING) return SoxDebug().evaluateError(openRes, fileName + "\n");
    const int readRes = sox.read(b);
    if (readRes < 0) {
        MobuDebug().evaluateError(1, fileName + "\n");
        return readRes;
    }
    return 0;
}

int FIRMobu::loadTimeDomainCoefficients(std::string fileName) {
    Eigen::MatrixXd b;
    const int res = readFile(fileName, b);
    if (res < 0) return res;
    if (b.rows() < 1)
        return MobuDebug().evaluateError(-1309, "loadTimeDomainCoefficients, b.rows<1, the filter is empty.\n");
    loadTimeDomainCoefficients(b);
    return 0;
}

int FIRMobu::loadTimeDomainCoefficients(std::string fileName, unsigned m) {
    Eigen::MatrixXd b;
    const int res = readFile(fileName, b);
    if (res < 0) return res;
    if (m >= b.cols())
        return MobuDebug().evaluateError(
            -1350, "loadTimeDomainCoefficients, m+1<b.cols, less channels in the FIR filter then requested.\n");
    if (b.rows() < 1)
        return MobuDebug().evaluateError(-1309, "loadTimeDomainCoefficients, b.rows<1, the filter is empty.\n");
    Eigen::Index i = b.rows() - 1;
    while (i > 2048 && b(i, m) == 0.0)
        --i;
    const int kept = static_cast<int>(i + 1);
    printf("Trimming channel %d from %ld to %d samples\n", m, static_cast<long>(b.rows()), kept);
    fflush(stdout);
    ConvolutionMobu& self = *this; // through the virtual slot
    self.loadTimeDomainCoefficients(Eigen::MatrixXd(b.col(m).head(kept)));
    printf("FIRMobu::loadTimeDomainCoefficients : max coefficient = %f\n", b.maxCoeff());
    fflush(stdout);
    return 0;
}

bool FIRMobu::tooFewChannels(Eigen::Index cols) {
    if (cols >= getChCnt()) return false;
    MobuDebug().evaluateError(-1350, " input channel count == " + std::to_string(cols) + " but should be " +
                                         std::to_string(getChCnt()) + " returning without processing.\n");
    return true;
}

bool FIRMobu::wrongBlockLength(Eigen::Index rows) {
    const Eigen::Index N = fftLength / 2;
    if (rows == N) return false;
    MobuDebug().evaluateError(-1313, " input sample count == " + std::to_string(rows) + " but should be " +
                                         std::to_string(N) + "returning without processing.\n");
    return true;
}

void FIRMobu::prepareOutput(int N, int C) {
    filtered.resize(N, C);
    if (fadeIn.rows() != N || fadeIn.cols() != C) {
        fadeIn.resize(N, C);
        fadeIn.colwise() = Eigen::ArrayXd::LinSpaced(N, 0.0, 1.0);
    }
    if (fadeOut.rows() != N || fadeOut.cols() != C) {
        fadeOut.resize(N, C);
        fadeOut.colwise() = Eigen::ArrayXd::LinSpaced(N, 1.0, 0.0);
    }
}

void FIRMobu::applyFade(int fade) {
    if (fade == 1)
        filtered *= fadeIn;
    else if (fade < 0)
        filtered *= fadeOut;
    else if (fade > 1)
        filtered.setZero();
}

void FIRMobu::convolvePacked(int c) {
    const SpectrumKernels& kernels = spectrumKernels();
    const int N = static_cast<int>(fftLength / 2);
    SpectrumArray& hist = history[c];
    const int P = static_cast<int>(hist.cols());
    int& head = historyHead[c];
    double* a = reinterpret_cast<double*>(carry[c].col(0));

    // The spectrum of the new block goes straight into the ring's newest column.
    std::complex<double>* newest = hist.col(head);
    fwd(newest, packed.data(), N);

    // blockSpectrum = X_T * H_0 + j * carry (the older blocks' contribution).
    kernels.blockSpectrum(reinterpret_cast<double*>(blockSpectrum.data()), reinterpret_cast<const double*>(newest),
                          reinterpret_cast<const double*>(firstPartition.col(c).data()), a, N);

    // carry = sum over p of X_{T-p} * G_p, read straight from the ring.
    kernels.multiplyAccumulate(a, reinterpret_cast<const double*>(hist.col(0)), head,
                               reinterpret_cast<const double*>(windowSpectra[c].col(0)), P, N,
                               2 * static_cast<size_t>(hist.columnStride()));

    // The oldest column is overwritten by the next block.
    head = head == 0 ? P - 1 : head - 1;

    // Output: real part of the inverse transform times twiddleInv (the first N samples).  The
    // transform runs unscaled and its 1/N is applied here, saving a pass over the spectrum.
    impl().inv(ifftOut.data(), blockSpectrum.data(), N);
    kernels.realOutput(filtered.col(c).data(), reinterpret_cast<const double*>(ifftOut.data()),
                       reinterpret_cast<const double*>(twiddleInv.data()), 1.0 / static_cast<double>(N), N);
}
