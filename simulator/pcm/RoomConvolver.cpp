#include "RoomConvolver.h"

#include <algorithm>
#include <cstring>

// Plans are made and destroyed while another stream of the plug-in may be doing
// the same: the plug-in's entry point makes FFTW's planner thread-safe first.

namespace mobuloop {

RoomConvolver::RoomConvolver(const std::vector<std::vector<double>>& responses, int blockSize)
    : inputs(static_cast<int>(responses.size())), B(std::max(blockSize, 1)), bins(B + 1) {
    size_t longest = 0;
    for (const auto& r : responses)
        longest = std::max(longest, r.size());
    headLength = static_cast<int>(std::min<size_t>(longest, B));
    partitions = longest > static_cast<size_t>(B) ? static_cast<int>((longest - B + B - 1) / B) : 0;

    head.assign(static_cast<size_t>(inputs) * B, 0.0);
    history.assign(static_cast<size_t>(inputs) * 2 * B, 0.0);
    tail.assign(B, 0.0);
    for (int i = 0; i < inputs; ++i)
        for (int t = 0; t < headLength && t < static_cast<int>(responses[i].size()); ++t)
            head[static_cast<size_t>(i) * B + t] = responses[i][t];

    if (partitions == 0) return;
    const size_t spectra = static_cast<size_t>(inputs) * partitions * bins;
    responseSpectra.reset(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * spectra)));
    inputSpectra.reset(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * spectra)));
    accumulator.reset(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * bins)));
    timeBuffer.reset(static_cast<double*>(fftw_malloc(sizeof(double) * 2 * B)));
    forward = fftw_plan_dft_r2c_1d(2 * B, timeBuffer.get(), accumulator.get(), FFTW_ESTIMATE);
    inverse = fftw_plan_dft_c2r_1d(2 * B, accumulator.get(), timeBuffer.get(), FFTW_ESTIMATE);
    // Partition p (1 ... partitions) holds taps pB ... pB + B - 1, zero padded to 2B.
    for (int i = 0; i < inputs; ++i)
        for (int p = 0; p < partitions; ++p) {
            std::fill(timeBuffer.get(), timeBuffer.get() + 2 * B, 0.0);
            const size_t first = static_cast<size_t>(p + 1) * B;
            for (int t = 0; t < B && first + t < responses[i].size(); ++t)
                timeBuffer[t] = responses[i][first + t];
            fftw_execute(forward);
            std::memcpy(responseSpectra.get() + (static_cast<size_t>(i) * partitions + p) * bins, accumulator.get(),
                        sizeof(fftw_complex) * bins);
        }
    reset();
}

RoomConvolver::~RoomConvolver() {
    if (forward) fftw_destroy_plan(forward);
    if (inverse) fftw_destroy_plan(inverse);
}

void RoomConvolver::reset() {
    std::fill(history.begin(), history.end(), 0.0);
    std::fill(tail.begin(), tail.end(), 0.0);
    position = 0;
    newest = 0;
    if (partitions > 0)
        std::memset(inputSpectra.get(), 0, sizeof(fftw_complex) * static_cast<size_t>(inputs) * partitions * bins);
}

double RoomConvolver::process(const double* x) {
    if (position == 0 && partitions > 0) computeTail();
    double y = tail[position];
    for (int i = 0; i < inputs; ++i) {
        double* h = history.data() + static_cast<size_t>(i) * 2 * B;
        h[B + position] = x[i];
        const double* taps = head.data() + static_cast<size_t>(i) * B;
        const double* newestSample = h + B + position;
        double sum = 0.0;
        for (int t = 0; t < headLength; ++t)
            sum += taps[t] * newestSample[-t];
        y += sum;
    }
    if (++position == B) finishBlock();
    return y;
}

void RoomConvolver::computeTail() {
    // Block j gets partition p from the spectrum of blocks (j - p - 1, j - p), p = 1 ... partitions.
    std::memset(accumulator.get(), 0, sizeof(fftw_complex) * bins);
    for (int i = 0; i < inputs; ++i)
        for (int p = 0; p < partitions; ++p) {
            const int slotIndex = (newest - p + partitions) % partitions;
            const fftw_complex* X = inputSpectra.get() + (static_cast<size_t>(i) * partitions + slotIndex) * bins;
            const fftw_complex* H = responseSpectra.get() + (static_cast<size_t>(i) * partitions + p) * bins;
            fftw_complex* acc = accumulator.get();
            for (int k = 0; k < bins; ++k) {
                acc[k][0] += X[k][0] * H[k][0] - X[k][1] * H[k][1];
                acc[k][1] += X[k][0] * H[k][1] + X[k][1] * H[k][0];
            }
        }
    fftw_execute(inverse);
    const double scale = 1.0 / (2.0 * B);
    for (int n = 0; n < B; ++n)
        tail[n] = timeBuffer[B + n] * scale;
}

void RoomConvolver::finishBlock() {
    position = 0;
    if (partitions > 0) {
        newest = (newest + 1) % partitions;
        for (int i = 0; i < inputs; ++i) {
            std::memcpy(timeBuffer.get(), history.data() + static_cast<size_t>(i) * 2 * B, sizeof(double) * 2 * B);
            fftw_execute(forward);
            std::memcpy(inputSpectra.get() + (static_cast<size_t>(i) * partitions + newest) * bins, accumulator.get(),
                        sizeof(fftw_complex) * bins);
        }
    }
    for (int i = 0; i < inputs; ++i) {
        double* h = history.data() + static_cast<size_t>(i) * 2 * B;
        std::memmove(h, h + B, sizeof(double) * B);
    }
}

} // namespace mobuloop
