#include "MobuEmbedded/FIRLongPartitions.h"

#include "FIRKernels.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

/// One FFTW plan of a short transform, executed on other arrays of the same layout (planned
/// unaligned, so any start of a row or column will do).
struct FIRLongPartitions::Plan {
    fftw_plan plan = nullptr;
    Plan(int n, int stride, int sign, std::complex<double>* sample) {
        auto* p = reinterpret_cast<fftw_complex*>(sample);
        plan = fftw_plan_many_dft(1, &n, 1, p, nullptr, stride, 1, p, nullptr, stride, 1, sign,
                                  FFTW_ESTIMATE | FFTW_UNALIGNED);
        if (plan == nullptr) throw std::runtime_error("FIRLongPartitions: no FFTW plan");
    }
    Plan(Plan&& other) noexcept : plan(std::exchange(other.plan, nullptr)) {}
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    Plan& operator=(Plan&&) = delete;
    ~Plan() {
        if (plan != nullptr) fftw_destroy_plan(plan);
    }
    void run(std::complex<double>* data) const {
        auto* p = reinterpret_cast<fftw_complex*>(data);
        fftw_execute_dft(plan, p, p);
    }
};

namespace {

enum PlanIndex { forwardR, forwardQ, backwardQ, backwardR };

// The largest power of two that divides B and is at most sqrt(B) (at least 1).
int splitFactor(int B) {
    int R = 1;
    while (B % (2 * R) == 0 && static_cast<long>(2 * R) * (2 * R) <= B)
        R *= 2;
    return R;
}

} // namespace

FIRLongPartitions::FIRLongPartitions(int N_, int r_, const Eigen::MatrixXd& h, Eigen::Index end)
    : N(N_), r(r_), B(N_ * r_) {
    R = splitFactor(B);
    Q = B / R;
    W = static_cast<int>((end + B - 1) / B) - 1;
    const Eigen::Index C = h.cols();

    packTwiddle.resize(B);
    outputTwiddle.resize(B);
    passTwiddle.resize(B);
    passTwiddleInv.resize(B);
    for (int n = 0; n < B; ++n) {
        packTwiddle(n) = std::polar(1.0, -M_PI * n / (2.0 * B));
        outputTwiddle(n) = std::conj(packTwiddle(n));
    }
    for (int k1 = 0; k1 < R; ++k1)
        for (int n2 = 0; n2 < Q; ++n2) {
            // The angle reduced to one turn first keeps it exact for large products.
            const long turn = static_cast<long>(n2) * k1 % B;
            passTwiddle(Q * k1 + n2) = std::polar(1.0, -2.0 * M_PI * static_cast<double>(turn) / B);
            passTwiddleInv(Q * k1 + n2) = std::conj(passTwiddle(Q * k1 + n2));
        }

    windows.resize(C);
    history.resize(C);
    output.resize(C);
    input.resize(C);
    head.assign(C, 0);
    for (Eigen::Index c = 0; c < C; ++c) {
        // Ring, windows and output of a channel start on different lines of a page.
        windows[c].resize(B, W, 0);
        history[c].resize(B, W, 21);
        output[c].resize(B, 2, 42);
        input[c].resize(2 * B);
    }
    {
        FIRMobu::SpectrumArray sample;
        sample.resize(B, 1, 0);
        plans.emplace_back(R, Q, FFTW_FORWARD, sample.col(0));
        plans.emplace_back(Q, 1, FFTW_FORWARD, sample.col(0));
        plans.emplace_back(Q, 1, FFTW_BACKWARD, sample.col(0));
        plans.emplace_back(R, Q, FFTW_BACKWARD, sample.col(0));
    }

    // Window q holds taps qB .. qB+2B-1 of those in [2B, end), packed as w[n] - j w[n+B], and
    // is stored times j: the output block is the second half of the window's convolution,
    // which j brings to the first.
    for (Eigen::Index c = 0; c < C; ++c)
        for (int q = 1; q <= W; ++q) {
            std::complex<double>* u = windows[c].col(q - 1);
            for (int n = 0; n < B; ++n) {
                auto tap = [&](Eigen::Index k) { return k >= 2 * B && k < end && k < h.rows() ? h(k, c) : 0.0; };
                const Eigen::Index k = static_cast<Eigen::Index>(q) * B + n;
                u[n] = std::complex<double>(tap(k), -tap(k + B)) * packTwiddle(n);
            }
            for (int n2 = 0; n2 < Q; ++n2)
                plans[forwardR].run(u + n2);
            for (int k1 = 0; k1 < R; ++k1) {
                for (int n2 = 0; n2 < Q; ++n2)
                    u[Q * k1 + n2] *= passTwiddle(Q * k1 + n2);
                plans[forwardQ].run(u + Q * k1);
            }
            for (int n = 0; n < B; ++n)
                u[n] *= std::complex<double>(0.0, 1.0);
        }

    // The work of one period: Q packings with R-point transforms, R twiddled Q-point
    // transforms, R multiply-adds of Q bins over W windows, and the inverse passes.
    std::vector<double> cost;
    const double shortR = FIRMobu::transformCost(R), shortQ = FIRMobu::transformCost(Q);
    const double pass = FIRMobu::elementCost;
    cost.insert(cost.end(), Q, shortR + pass * R);
    cost.insert(cost.end(), R, shortQ + pass * Q);
    cost.insert(cost.end(), R, FIRMobu::macCost * Q * W);
    cost.insert(cost.end(), R, shortQ + pass * Q);
    cost.insert(cost.end(), Q, shortR);
    totalCost = 0.0;
    for (const double u : cost)
        totalCost += u;
    // Slice φ ends at the unit boundary nearest to (φ + 1) / r of the total.
    sliceStart.assign(r + 1, 0);
    sliceStart[r] = static_cast<int>(cost.size());
    double done = 0.0;
    int u = 0;
    largestSlice = 0.0;
    for (int phi = 1; phi < r; ++phi) {
        const double target = totalCost * phi / r;
        while (u < static_cast<int>(cost.size()) && done + cost[u] / 2 < target)
            done += cost[u++];
        sliceStart[phi] = u;
    }
    for (int phi = 0; phi < r; ++phi) {
        double slice = 0.0;
        for (int i = sliceStart[phi]; i < sliceStart[phi + 1]; ++i)
            slice += cost[i];
        largestSlice = std::max(largestSlice, slice);
    }
    reset();
}

FIRLongPartitions::~FIRLongPartitions() = default;

void FIRLongPartitions::reset() {
    for (auto& a : history)
        a.setZero();
    for (auto& a : output)
        a.setZero();
    for (auto& a : input)
        a.setZero();
    std::fill(head.begin(), head.end(), 0);
    phase = 0;
    parity = 0;
}

void FIRLongPartitions::advance() {
    if (++phase == r) {
        phase = 0;
        parity ^= 1;
    }
}

void FIRLongPartitions::process(int c, const double* x, double* y) {
    std::copy(x, x + N, input[c].data() + parity * B + phase * N);
    if (phase == 0) head[c] = head[c] == 0 ? W - 1 : head[c] - 1; // the previous block's spectrum goes here
    runUnits(c, sliceStart[phase], sliceStart[phase + 1]);
    // Output block of this period: the real part of the inverse transform times the output
    // twiddle; the transforms are unscaled, so 1/B comes in here.
    firkernels::spectrumKernels().realOutputAdd(y, reinterpret_cast<const double*>(output[c].col(parity) + phase * N),
                                                reinterpret_cast<const double*>(outputTwiddle.data() + phase * N),
                                                1.0 / B, N);
}

void FIRLongPartitions::runUnits(int c, int first, int last) {
    const firkernels::SpectrumKernels& kernels = firkernels::spectrumKernels();
    std::complex<double>* newest = history[c].col(head[c]);
    std::complex<double>* next = output[c].col(parity ^ 1);   // the output of the next period
    const double* block = input[c].data() + (parity ^ 1) * B; // the input block of the previous period
    for (int u = first; u < last; ++u) {
        int i = u;
        if (i < Q) { // pack column n2 = i of the input block, R-point transform
            for (int n1 = 0; n1 < R; ++n1) {
                const int n = i + Q * n1;
                newest[n] = packTwiddle(n) * block[n];
            }
            plans[forwardR].run(newest + i);
            continue;
        }
        i -= Q;
        if (i < R) { // twiddle row k1 = i, Q-point transform
            kernels.multiplyInPlace(reinterpret_cast<double*>(newest + Q * i),
                                    reinterpret_cast<const double*>(passTwiddle.data() + Q * i), Q);
            plans[forwardQ].run(newest + Q * i);
            continue;
        }
        i -= R;
        if (i < R) { // bins Q i .. Q i + Q - 1 of the next output: sum over the windows
            const size_t stride = 2 * static_cast<size_t>(history[c].columnStride());
            kernels.multiplyAccumulate(reinterpret_cast<double*>(next + Q * i),
                                       reinterpret_cast<const double*>(history[c].col(0) + Q * i), head[c],
                                       reinterpret_cast<const double*>(windows[c].col(0) + Q * i), W, Q, stride);
            continue;
        }
        i -= R;
        if (i < R) { // inverse Q-point transform of row i, twiddle
            plans[backwardQ].run(next + Q * i);
            kernels.multiplyInPlace(reinterpret_cast<double*>(next + Q * i),
                                    reinterpret_cast<const double*>(passTwiddleInv.data() + Q * i), Q);
            continue;
        }
        i -= R;
        plans[backwardR].run(next + i); // inverse R-point transform of column i
    }
}
