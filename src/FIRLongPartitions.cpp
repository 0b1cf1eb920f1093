#include "MobuEmbedded/FIRLongPartitions.h"

#include "FIRKernels.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace {

enum PlanIndex { forwardR, forwardQ, backwardQ, backwardR };

constexpr int cacheLine = 4; // complex doubles

// Bins per multiply-add unit: about half a share, whole cache lines.
int macChunk(int B, int W, double budget) {
    const double perBin = FIRMobu::macCost * W;
    const int bins = static_cast<int>(budget / 2 / perBin) / cacheLine * cacheLine;
    return std::min(B, std::max(cacheLine, bins));
}

// Batched transforms: g of n points.
double batchCost(int n, int g) {
    return g * (FIRMobu::transformCost(n) - FIRMobu::transformCall) + FIRMobu::transformCall;
}

// Staggered arrays of complex values of either precision, laid out as FIRMobu::SpectrumArray
// lays them out (columns on cache lines, one line further apart than their length, the first
// on a chosen line of a page).
template <typename Real> class Spectra {
public:
    using Complex = std::complex<Real>;
    void resize(int rows, int cols, int line) {
        constexpr size_t lineBytes = 64, page = 4096;
        constexpr int perLine = static_cast<int>(lineBytes / sizeof(Complex));
        stride = (rows + perLine - 1) / perLine * perLine + perLine;
        size = static_cast<size_t>(stride) * cols;
        const size_t offset = static_cast<size_t>(line % (page / lineBytes)) * lineBytes;
        const size_t bytes = (offset + size * sizeof(Complex) + page - 1) / page * page;
        void* raw = std::aligned_alloc(page, bytes);
        if (raw == nullptr) throw std::bad_alloc();
        storage.reset(static_cast<char*>(raw));
        first = reinterpret_cast<Complex*>(static_cast<char*>(raw) + offset);
    }
    void setZero() { std::fill(first, first + size, Complex(0)); }
    Complex* col(int p) { return first + static_cast<size_t>(p) * stride; }
    const Complex* col(int p) const { return first + static_cast<size_t>(p) * stride; }
    /// Distance between two columns, in complex values.
    int columnStride() const { return stride; }

private:
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> storage;
    Complex* first = nullptr;
    int stride = 0;
    size_t size = 0;
};

template <typename Real>
using PlanOf =
    std::conditional_t<std::is_same<Real, float>::value, firkernels::TransformPlanSingle, firkernels::TransformPlan>;

// The arithmetic of a stage in either precision: the double set of kernels, or the single one.
void multiplyInPlace(double* y, const double* t, int n) {
    firkernels::spectrumKernels().multiplyInPlace(y, t, n);
}
void multiplyInPlace(float* y, const float* t, int n) {
    firkernels::spectrumKernels().multiplyInPlaceSingle(y, t, n);
}
void realOutputAdd(double* y, const double* z, const double* t, double scale, int n) {
    firkernels::spectrumKernels().realOutputAdd(y, z, t, scale, n);
}
void realOutputAdd(double* y, const float* z, const double* t, double scale, int n) {
    firkernels::spectrumKernels().realOutputAddSingle(y, z, t, scale, n);
}
void multiplyAccumulate(double* acc, const double* ring, int head, const double* windows, int W, int count,
                        size_t stride) {
    firkernels::spectrumKernels().multiplyAccumulate(acc, ring, head, windows, W, count, stride);
}
void multiplyAccumulate(float* acc, const float* ring, int head, const float* windows, int W, int count,
                        size_t stride) {
    firkernels::spectrumKernels().multiplyAccumulateSingle(acc, ring, head, windows, W, count, stride);
}
void multiplyAccumulateShared(double* const* sums, const double* ring, int head, const double* const* windows, int K,
                              int W, int from, int count, size_t stride) {
    firkernels::multiplyAccumulateShared(firkernels::spectrumKernels(), sums, ring, head, windows, K, W, from, count,
                                         stride);
}
void multiplyAccumulateShared(float* const* sums, const float* ring, int head, const float* const* windows, int K,
                              int W, int from, int count, size_t stride) {
    firkernels::spectrumKernels().multiplyAccumulateSharedSingle(sums, ring, head, windows, K, W, from, count, stride);
}

/// FIRLongPartitions with spectra of type std::complex<Real> (see FIRLongPartitions.h).
template <typename Real> class LongStage final : public FIRLongPartitions {
public:
    using Complex = std::complex<Real>;
    using ComplexColumn = Eigen::Array<Complex, Eigen::Dynamic, 1>;

    LongStage(int N, int r, const Eigen::MatrixXd& h, Eigen::Index end, std::vector<int> group,
              const FIRMobu::AbandonCheck& abandon);
    void reset() override;
    void process(int c, const double* x, double* y) override;
    void advance() override;
    bool single() const override { return std::is_same<Real, float>::value; }

private:
    void runUnits(int c, int first, int last);
    /// Times the first count units of a period on channel 0 (see the constructor).
    std::vector<double> measuredUnitCosts(size_t count, const FIRMobu::AbandonCheck& abandon);
    /// Runs channel 0's units first .. last - 1, each timed into unitTime.
    void runTimedUnits(int first, int last);
    /// Cuts the units into r slices of nearly equal time (sliceStart, from unitTime).
    void cutSlices();

    int R, Q;
    int S; ///< distance between rows (Q and some padding, or B when not split)
    Layout shape;
    int phase = 0;                             ///< engine block within the period, 0 .. r-1
    int parity = 0;                            ///< which input and output buffers belong to the current period
    std::vector<Spectra<Real>> windows;        ///< C of R S x W, j times the spectra of taps qB .. qB+2B-1, q >= 1
    std::vector<Spectra<Real>> history;        ///< G of R S x W, spectra of the last W input blocks (a ring)
    std::vector<Spectra<Real>> output;         ///< C of R S x 2, output signals of this and the next period
    std::vector<Spectra<Real>> work;           ///< C of R S x 2, the sum over the windows and a transform pass
    std::vector<Eigen::ArrayXd> input;         ///< G of 2B input samples (two blocks)
    std::vector<int> head;                     ///< G ring positions of the newest input spectrum
    std::vector<int> groupOf;                  ///< C: each channel's group
    std::vector<char> leads;                   ///< C: whether the channel is its group's first
    std::vector<std::vector<Real*>> groupSums; ///< G: the sums (work column 0) of each group's channels
    std::vector<std::vector<const Real*>> groupWindows; ///< G: their windows
    ComplexColumn packTwiddle;                          ///< exp(-j pi n / 2B); split: exp(-j pi n1 / 2R) by row n1
    FIRMobu::ComplexColumn outputTwiddle; ///< exp(+j pi n / 2B), in double: the output is summed in double
    ComplexColumn passTwiddle;            ///< exp(-2 pi j n2 (4 k1 + 1) / 4B) at S k1 + n2 (0 in the padding)
    ComplexColumn passTwiddleInv;         ///< exp(2 pi j n2 k1 / B) at S k1 + n2 (0 in the padding)
    std::vector<PlanOf<Real>> plans;      ///< forward R, forward Q, backward Q, backward R
    std::vector<int> sliceStart;          ///< r + 1 unit indices
    std::vector<double> unitTime;         ///< estimated time of every unit (channel 0), ns
    std::vector<double> unitWeight;       ///< how many of channel 0's runs of a unit a period has
};

} // namespace

FIRLongPartitions::Layout FIRLongPartitions::layout(int N, int r, int W) {
    Layout l;
    const int B = N * r;
    const double whole = 2.0 * FIRMobu::transformCost(B) + B * FIRMobu::elementCost + FIRMobu::macCost * B * W;
    const double budget = whole / r; // one engine block's share
    if (FIRMobu::transformCost(B) <= budget) {
        // One transform fits in a share: no split (the packing is then one unit).
        l.R = 1;
        l.Q = B;
        l.stride = B;
        l.columns = B;
        l.rows = 1;
        l.bins = macChunk(B, W, budget);
        return l;
    }
    // The largest power of two dividing B and at most sqrt(B).
    l.R = 1;
    while (B % (2 * l.R) == 0 && static_cast<long>(2 * l.R) * (2 * l.R) <= B)
        l.R *= 2;
    l.Q = B / l.R;
    // Rows one cache line longer than Q: the column transforms and the packing step through
    // memory Q apart, and a power-of-two step of whole pages would put all of a column in a
    // few cache sets.
    l.stride = l.Q + cacheLine;
    // Units of batched transforms, each about half a share or less, but if possible starting
    // on cache lines (four complex values) so that FFTW's aligned vector code runs.
    l.columns = 1;
    while (l.Q % (2 * l.columns) == 0 &&
           (l.columns < cacheLine ||
            batchCost(l.R, 2 * l.columns) + 2 * l.columns * l.R * FIRMobu::elementCost <= budget / 2))
        l.columns *= 2;
    l.rows = 1;
    while (l.R % (2 * l.rows) == 0 &&
           (l.stride * l.rows % cacheLine != 0 ||
            batchCost(l.Q, 2 * l.rows) + 2 * l.rows * l.Q * FIRMobu::elementCost <= budget / 2))
        l.rows *= 2;
    l.bins = macChunk(l.R * l.stride, W, budget);
    return l;
}

std::vector<double> FIRLongPartitions::unitCosts(int N, int r, int W, const Layout& l) {
    std::vector<double> cost;
    const double pass = FIRMobu::elementCost;
    const bool split = l.R > 1;
    const int columnUnits = l.Q / l.columns, rowUnits = l.R / l.rows;
    cost.insert(cost.end(), columnUnits, l.columns * l.R * pass + (split ? batchCost(l.R, l.columns) : 0.0));
    cost.insert(cost.end(), rowUnits, (split ? l.rows * l.Q * pass : 0.0) + batchCost(l.Q, l.rows));
    for (int from = 0; from < l.R * l.stride; from += l.bins)
        cost.push_back(FIRMobu::macCost * std::min(l.bins, l.R * l.stride - from) * W);
    cost.insert(cost.end(), rowUnits, (split ? l.rows * l.Q * pass : 0.0) + batchCost(l.Q, l.rows));
    if (split) cost.insert(cost.end(), columnUnits, batchCost(l.R, l.columns));
    return cost;
}

double FIRLongPartitions::estimatedCost(int N, int r, int W) {
    double total = 0.0;
    for (const double u : unitCosts(N, r, W, layout(N, r, W)))
        total += u;
    return total / (N * r) + FIRMobu::elementCost; // and the output of every block
}

FIRLongPartitions::~FIRLongPartitions() = default;

std::unique_ptr<FIRLongPartitions> FIRLongPartitions::make(int N, int r, const Eigen::MatrixXd& h, Eigen::Index end,
                                                           std::vector<int> group, bool single,
                                                           const FIRMobu::AbandonCheck& abandon) {
    if (single) return std::make_unique<LongStage<float>>(N, r, h, end, std::move(group), abandon);
    return std::make_unique<LongStage<double>>(N, r, h, end, std::move(group), abandon);
}

template <typename Real>
LongStage<Real>::LongStage(int N_, int r_, const Eigen::MatrixXd& h, Eigen::Index end, std::vector<int> group,
                           const FIRMobu::AbandonCheck& abandon)
    : FIRLongPartitions(N_, r_, static_cast<int>((end + N_ * r_ - 1) / (N_ * r_)) - 1), groupOf(std::move(group)) {
    shape = layout(N, r, W);
    R = shape.R;
    Q = shape.Q;
    S = shape.stride;
    const int size = R * S; // complex values of a spectrum or transformed block, padding included
    const Eigen::Index C = h.cols();

    // The input is packed times exp(-j pi n / 2B).  Split, with n = Q n1 + n2, that is
    // exp(-j pi n1 / 2R) exp(-j pi n2 / 2B): the first factor is one value per row, and the
    // second, the same for all of column n2, is taken into the twiddle between the passes,
    // so that the packing reads R values instead of a table of B.
    const bool split = R > 1;
    packTwiddle.resize(split ? R : B);
    for (int n = 0; n < packTwiddle.size(); ++n)
        packTwiddle(n) = Complex(std::polar(1.0, -M_PI * n / (2.0 * packTwiddle.size())));
    outputTwiddle.resize(B);
    for (int n = 0; n < B; ++n)
        outputTwiddle(n) = std::polar(1.0, M_PI * n / (2.0 * B));
    passTwiddle.setZero(size);
    passTwiddleInv.setZero(size);
    for (int k1 = 0; k1 < R; ++k1)
        for (int n2 = 0; n2 < Q; ++n2) {
            // Angles reduced to one turn first stay exact for large products: the inverse pass
            // takes exp(2 pi j n2 k1 / B), the forward one exp(-2 pi j n2 (4 k1 + 1) / 4B).
            const long turn = static_cast<long>(n2) * k1 % B;
            passTwiddleInv(S * k1 + n2) = Complex(std::polar(1.0, 2.0 * M_PI * static_cast<double>(turn) / B));
            const long quarterTurn = static_cast<long>(n2) * (4 * k1 + 1) % (4L * B);
            passTwiddle(S * k1 + n2) =
                Complex(std::polar(1.0, -2.0 * M_PI * static_cast<double>(quarterTurn) / (4.0 * B)));
        }

    if (static_cast<Eigen::Index>(groupOf.size()) != C) {
        groupOf.resize(C);
        for (Eigen::Index c = 0; c < C; ++c)
            groupOf[c] = static_cast<int>(c);
    }
    const int G = C == 0 ? 0 : *std::max_element(groupOf.begin(), groupOf.end()) + 1;
    leads.assign(C, 0);
    for (Eigen::Index c = 0; c < C; ++c)
        leads[c] = std::find(groupOf.begin(), groupOf.begin() + c, groupOf[c]) == groupOf.begin() + c;
    windows.resize(C);
    history.resize(G);
    output.resize(C);
    work.resize(C);
    input.resize(G);
    head.assign(G, 0);
    for (Eigen::Index c = 0; c < C; ++c) {
        // Ring, windows and output of a channel start on different lines of a page.
        windows[c].resize(size, W, 0);
        windows[c].setZero(); // the padding takes part in the multiply-add
        output[c].resize(size, 2, 42);
        work[c].resize(size, 2, 63);
    }
    for (int g = 0; g < G; ++g) {
        history[g].resize(size, W, 21);
        input[g].resize(2 * B);
    }
    groupSums.assign(G, {});
    groupWindows.assign(G, {});
    for (Eigen::Index c = 0; c < C; ++c) {
        groupSums[groupOf[c]].push_back(reinterpret_cast<Real*>(work[c].col(0)));
        groupWindows[groupOf[c]].push_back(reinterpret_cast<const Real*>(windows[c].col(0)));
    }
    {
        Spectra<Real> sample;
        sample.resize(size, 2, 0);
        // Units start at multiples of `columns` (column transforms) or S `rows` (row transforms).
        const bool columnsAligned = shape.columns % cacheLine == 0 || shape.columns == Q;
        const bool rowsAligned = S * shape.rows % cacheLine == 0 || shape.rows == R;
        plans.emplace_back(R, shape.columns, S, 1, FFTW_FORWARD, columnsAligned, sample.col(0), sample.col(1));
        plans.emplace_back(Q, shape.rows, 1, S, FFTW_FORWARD, rowsAligned, sample.col(0), sample.col(1));
        plans.emplace_back(Q, shape.rows, 1, S, FFTW_BACKWARD, rowsAligned, sample.col(0), sample.col(1));
        plans.emplace_back(R, shape.columns, S, 1, FFTW_BACKWARD, columnsAligned, sample.col(0), sample.col(1));
    }

    // Window q holds taps qB .. qB+2B-1 of those in [2B, end), packed as w[n] - j w[n+B], and
    // is stored times j: the output block is the second half of the window's convolution,
    // which j brings to the first.
    for (Eigen::Index c = 0; c < C; ++c)
        for (int q = 1; q <= W; ++q) {
            FIRMobu::abandonIf(abandon);
            // The same passes as runUnits: packed -> (column transforms, twiddle) -> row transforms.
            Complex* u = windows[c].col(q - 1);
            Complex* t = work[c].col(1);
            Complex* packed = R > 1 ? work[c].col(0) : t;
            for (int n = 0; n < B; ++n) {
                auto tap = [&](Eigen::Index k) { return k >= 2 * B && k < end && k < h.rows() ? h(k, c) : 0.0; };
                const Eigen::Index k = static_cast<Eigen::Index>(q) * B + n;
                packed[S * (n / Q) + n % Q] =
                    Complex(static_cast<Real>(tap(k)), static_cast<Real>(-tap(k + B))) * packTwiddle(split ? n / Q : n);
            }
            if (R > 1) {
                for (int n2 = 0; n2 < Q; n2 += shape.columns)
                    plans[forwardR].run(packed + n2, t + n2);
                for (int n = 0; n < size; ++n)
                    t[n] *= passTwiddle(n);
            }
            for (int k1 = 0; k1 < R; k1 += shape.rows)
                plans[forwardQ].run(t + S * k1, u + S * k1);
            for (int n = 0; n < size; ++n)
                u[n] = Complex(-u[n].imag(), u[n].real()); // times j, exactly
        }

    // The work of one period: packing and column transforms, twiddled row transforms, the
    // multiply-add of rows of bins over the windows, and the inverse passes.
    reset(); // zeros to time the units on (uninitialised memory might hold slow subnormals)
    unitTime = measuredUnitCosts(unitCosts(N, r, W, shape).size(), abandon);
    // Channel 0's units stand for the whole period's work: its transforms for every group's,
    // its multiply-adds (its group's channels) for every channel's, its inverse units for
    // every channel's.
    {
        const int columnUnits = Q / shape.columns, rowUnits = R / shape.rows;
        const int macUnits = (size + shape.bins - 1) / shape.bins;
        const double groups = static_cast<double>(history.size()), channels = static_cast<double>(C);
        const double macWeight =
            channels / static_cast<double>(std::max<size_t>(groupSums.empty() ? 1 : groupSums[0].size(), 1));
        unitWeight.assign(unitTime.size(), channels);
        for (int u = 0; u < columnUnits + rowUnits && u < static_cast<int>(unitWeight.size()); ++u)
            unitWeight[u] = groups;
        for (int u = columnUnits + rowUnits;
             u < columnUnits + rowUnits + macUnits && u < static_cast<int>(unitWeight.size()); ++u)
            unitWeight[u] = macWeight;
    }
    sliceStart.assign(r + 1, 0);
    cutSlices();
    reset();
}

template <typename Real>
std::vector<double> LongStage<Real>::measuredUnitCosts(size_t count, const FIRMobu::AbandonCheck& abandon) {
    // The model's estimates are off by up to a factor of two between kinds of unit (the
    // transforms run from cache, the multiply-add streams from memory), so the shares are cut
    // by time instead.  Every unit is timed on its own, and keeps its fastest of a few rounds:
    // the first round touches the arrays for the first time, and a slow time is one in which
    // the thread was interrupted.  The values are of no account (reset follows).
    constexpr int rounds = 4;
    std::vector<double> cost(count, std::numeric_limits<double>::infinity());
    for (int round = 0; round < rounds; ++round) {
        FIRMobu::abandonIf(abandon);
        for (size_t u = 0; u < count; ++u) {
            const auto start = std::chrono::steady_clock::now();
            runUnits(0, static_cast<int>(u), static_cast<int>(u) + 1);
            const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
            cost[u] = std::min(cost[u], took.count());
        }
    }
    return cost;
}

template <typename Real> void LongStage<Real>::reset() {
    for (auto& a : history)
        a.setZero();
    for (auto& a : output)
        a.setZero();
    for (auto& a : work)
        a.setZero();
    for (auto& a : input)
        a.setZero();
    std::fill(head.begin(), head.end(), 0);
    phase = 0;
    parity = 0;
}

template <typename Real> void LongStage<Real>::cutSlices() {
    const int units = static_cast<int>(unitTime.size());
    auto cost = [this](int u) { return unitTime[u] * unitWeight[u]; };
    double total = 0.0;
    for (int u = 0; u < units; ++u)
        total += cost(u);
    // Slice φ ends at the unit boundary nearest to (φ + 1) / r of the total.
    sliceStart[0] = 0;
    sliceStart[r] = units;
    double done = 0.0;
    int u = 0;
    for (int phi = 1; phi < r; ++phi) {
        const double target = total * phi / r;
        while (u < units && done + cost(u) / 2 < target)
            done += cost(u++);
        sliceStart[phi] = u;
    }
}

template <typename Real> void LongStage<Real>::advance() {
    if (++phase == r) {
        phase = 0;
        parity ^= 1;
        cutSlices(); // the next period runs on the times measured so far
    }
}

template <typename Real> void LongStage<Real>::runTimedUnits(int first, int last) {
    // Each unit's time moves an eighth of the way towards the new one; a time more than three
    // times the estimate and a microsecond counts as that (the thread was most likely
    // interrupted), so that one interruption moves no share far, yet an estimate that started
    // too low, even at zero, still catches up.
    for (int u = first; u < last; ++u) {
        const auto start = std::chrono::steady_clock::now();
        runUnits(0, u, u + 1);
        const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        unitTime[u] += (std::min(took.count(), 3.0 * unitTime[u] + 1000.0) - unitTime[u]) / 8.0;
    }
}

template <typename Real> void LongStage<Real>::process(int c, const double* x, double* y) {
    const int g = groupOf[c];
    if (leads[c]) {
        std::copy(x, x + N, input[g].data() + parity * B + phase * N);
        if (phase == 0) head[g] = head[g] == 0 ? W - 1 : head[g] - 1; // the previous block's spectrum goes here
    }
    if (c == 0)
        runTimedUnits(sliceStart[phase], sliceStart[phase + 1]);
    else
        runUnits(c, sliceStart[phase], sliceStart[phase + 1]);
    // Output block of this period: the real part of the inverse transform times the output
    // twiddle; the transforms are unscaled, so 1/B comes in here.  Sample n is at S (n / Q) +
    // n % Q: a block may take pieces of two or more rows.
    const Complex* signal = output[c].col(parity);
    for (int n = phase * N, done = 0; done < N;) {
        const int piece = std::min(N - done, Q - n % Q);
        realOutputAdd(y + done, reinterpret_cast<const Real*>(signal + S * (n / Q) + n % Q),
                      reinterpret_cast<const double*>(outputTwiddle.data() + n), 1.0 / B, piece);
        n += piece;
        done += piece;
    }
}

template <typename Real> void LongStage<Real>::runUnits(int c, int first, int last) {
    // Transforms run out of place (FFTW may buffer in-place ones, allocating as they run).
    // Split, the input is packed into acc, transformed by columns into t and by rows into the
    // ring; the sum over the windows goes to acc, by rows into t, by columns into the output.
    // Not split, t holds the packed input and acc goes straight to the output.
    // The group's first channel transforms its input into the ring; the others use it.
    const int g = groupOf[c];
    const bool transforms = leads[c] != 0;
    Complex* newest = history[g].col(head[g]);
    Complex* acc = work[c].col(0);
    Complex* t = work[c].col(1);
    Complex* next = output[c].col(parity ^ 1);                // the output of the next period
    const double* block = input[g].data() + (parity ^ 1) * B; // the input block of the previous period
    const int G1 = shape.columns, G2 = shape.rows;
    const int size = R * S;
    const int columnUnits = Q / G1, rowUnits = R / G2, macUnits = (size + shape.bins - 1) / shape.bins;
    const bool split = R > 1;
    Complex* packed = split ? acc : t;
    for (int u = first; u < last; ++u) {
        int i = u;
        if (i < columnUnits) { // pack columns G1 i .. G1 i + G1 - 1 of the input block, R-point transforms
            if (!transforms) continue;
            if (split)
                for (int n1 = 0; n1 < R; ++n1) {
                    const Complex w = packTwiddle(n1);
                    for (int n = Q * n1 + G1 * i; n < Q * n1 + G1 * (i + 1); ++n)
                        packed[n + (S - Q) * n1] = w * static_cast<Real>(block[n]);
                }
            else
                for (int n = G1 * i; n < G1 * (i + 1); ++n)
                    packed[n] = packTwiddle(n) * static_cast<Real>(block[n]);
            if (split) plans[forwardR].run(acc + G1 * i, t + G1 * i);
            continue;
        }
        i -= columnUnits;
        const int at = S * G2 * i, bins = S * G2; // the first bin of a row unit, and its bins (with padding)
        if (i < rowUnits) {                       // twiddle, Q-point transforms
            if (!transforms) continue;
            if (split)
                multiplyInPlace(reinterpret_cast<Real*>(t + at), reinterpret_cast<const Real*>(passTwiddle.data() + at),
                                bins);
            plans[forwardQ].run(t + at, newest + at);
            continue;
        }
        i -= rowUnits;
        if (i < macUnits) { // bins of the next output: sum over the windows
            // The group's first channel sums for every channel of the group (their work
            // column 0 is theirs only between this and their inverse units).
            if (!transforms) continue;
            const int from = shape.bins * i, count = std::min(shape.bins, size - from);
            const size_t stride = 2 * static_cast<size_t>(history[g].columnStride());
            const int K = static_cast<int>(groupSums[g].size());
            if (K == 1)
                multiplyAccumulate(reinterpret_cast<Real*>(acc + from),
                                   reinterpret_cast<const Real*>(history[g].col(0) + from), head[g],
                                   reinterpret_cast<const Real*>(windows[c].col(0) + from), W, count, stride);
            else
                multiplyAccumulateShared(groupSums[g].data(), reinterpret_cast<const Real*>(history[g].col(0)), head[g],
                                         groupWindows[g].data(), K, W, from, count, stride);
            continue;
        }
        i -= macUnits;
        if (i < rowUnits) { // inverse Q-point transforms, twiddle
            const int from = S * G2 * i;
            plans[backwardQ].run(acc + from, (split ? t : next) + from);
            if (split)
                multiplyInPlace(reinterpret_cast<Real*>(t + from),
                                reinterpret_cast<const Real*>(passTwiddleInv.data() + from), bins);
            continue;
        }
        i -= rowUnits;
        plans[backwardR].run(t + G1 * i, next + G1 * i); // inverse R-point transforms of columns
    }
}
