#include "FIR.h"

#include <fftw3.h>

#include <cmath>
#include <mutex>
#include <string>

FIRDebug::FIRDebug() {
    errors[FIR_ARGUMENT_ERROR] = "FIR : the block size must be at least 1, init() must come before the "
                                 "coefficients, and the coefficients must be a non-empty column of finite values. ";
    errors[FIR_BLOCK_ERROR] = "FIR : the block isn't the length given to init(), or no coefficients are loaded. ";
}

namespace {

/// The smallest 2^a 3^b 5^c that is at least n.
Eigen::Index fastSize(Eigen::Index n) {
    Eigen::Index best = 1;
    while (best < n)
        best *= 2;
    for (Eigen::Index p5 = 1; p5 < best; p5 *= 5)
        for (Eigen::Index p35 = p5; p35 < best; p35 *= 3) {
            Eigen::Index m = p35;
            while (m < n)
                m *= 2;
            best = std::min(best, m);
        }
    return best;
}

} // namespace

template <typename T> struct FIR<T>::Plans {
    explicit Plans(Eigen::Index size) : bins(size / 2 + 1) {
        static std::once_flag threadSafe;
        std::call_once(threadSafe, [] { fftw_make_planner_thread_safe(); });
        time = fftw_alloc_real(static_cast<size_t>(size));
        spectrum = fftw_alloc_complex(static_cast<size_t>(bins));
        response = fftw_alloc_complex(static_cast<size_t>(bins));
        const int n = static_cast<int>(size);
        forward = fftw_plan_dft_r2c_1d(n, time, spectrum, FFTW_ESTIMATE);
        backward = fftw_plan_dft_c2r_1d(n, spectrum, time, FFTW_ESTIMATE);
    }
    ~Plans() {
        fftw_destroy_plan(forward);
        fftw_destroy_plan(backward);
        fftw_free(time);
        fftw_free(spectrum);
        fftw_free(response);
    }
    Plans(const Plans&) = delete;
    Plans& operator=(const Plans&) = delete;

    Eigen::Index bins;
    double* time = nullptr;
    fftw_complex* spectrum = nullptr;
    fftw_complex* response = nullptr; ///< the taps' spectrum divided by the FFT size
    fftw_plan forward = nullptr, backward = nullptr;
};

template <typename T> FIR<T>::FIR() = default;
template <typename T> FIR<T>::~FIR() = default;

template <typename T> int FIR<T>::init(Eigen::Index size) {
    plans.reset();
    taps.resize(0);
    tail.resize(0);
    fftSize = 0;
    blockSize = 0;
    if (size < 1) return FIRDebug().evaluateError(FIR_ARGUMENT_ERROR, "block size " + std::to_string(size) + "\n");
    blockSize = size;
    return 0;
}

template <typename T> int FIR<T>::loadTimeDomainCoefficients(const Eigen::Ref<const Column>& h) {
    plans.reset();
    taps.resize(0);
    tail.resize(0);
    fftSize = 0;
    if (blockSize < 1 || h.size() < 1 || !h.allFinite())
        return FIRDebug().evaluateError(FIR_ARGUMENT_ERROR, std::to_string(h.size()) + " taps for blocks of " +
                                                                std::to_string(blockSize) + "\n");
    taps = h;
    fftSize = fastSize(blockSize + h.size() - 1);
    plans = std::make_unique<Plans>(fftSize);
    std::fill(plans->time, plans->time + fftSize, 0.0);
    std::copy(h.data(), h.data() + h.size(), plans->time);
    fftw_execute(plans->forward);
    const double scale = 1.0 / static_cast<double>(fftSize); // FFTW's transforms are unnormalised
    for (Eigen::Index k = 0; k < plans->bins; ++k) {
        plans->response[k][0] = plans->spectrum[k][0] * scale;
        plans->response[k][1] = plans->spectrum[k][1] * scale;
    }
    tail.setZero(h.size() - 1);
    return 0;
}

template <typename T> int FIR<T>::filter(const Eigen::Ref<const Column>& x, Eigen::Ref<Column> y) {
    if (!plans || x.size() != blockSize || y.size() != blockSize)
        return FIRDebug().evaluateError(FIR_BLOCK_ERROR, std::to_string(x.size()) + " samples in, " +
                                                             std::to_string(y.size()) + " out, blocks of " +
                                                             std::to_string(blockSize) + "\n");
    double* time = plans->time;
    std::copy(x.data(), x.data() + blockSize, time);
    std::fill(time + blockSize, time + fftSize, 0.0);
    fftw_execute(plans->forward);
    for (Eigen::Index k = 0; k < plans->bins; ++k) {
        const double re = plans->spectrum[k][0], im = plans->spectrum[k][1];
        const double hr = plans->response[k][0], hi = plans->response[k][1];
        plans->spectrum[k][0] = re * hr - im * hi;
        plans->spectrum[k][1] = re * hi + im * hr;
    }
    fftw_execute(plans->backward);
    // time[0, B + taps - 1) is this block's whole response: its first B samples plus the
    // tail carried from before are the output, the rest (with what is left of the old tail)
    // is carried on.  Updating the tail in place reads each old sample before it is replaced.
    const Eigen::Index carried = tail.size();
    for (Eigen::Index n = 0; n < blockSize; ++n)
        y(n) = time[n] + (n < carried ? tail(n) : 0.0);
    for (Eigen::Index i = 0; i < carried; ++i)
        tail(i) = time[blockSize + i] + (i + blockSize < carried ? tail(i + blockSize) : 0.0);
    return 0;
}

template <typename T> typename FIR<T>::Column FIR<T>::filter(const Eigen::Ref<const Column>& x) {
    Column y(blockSize);
    if (filter(x, y) != 0) y.resize(0);
    return y;
}

template <typename T> void FIR<T>::reset() {
    tail.setZero();
}

template class FIR<double>;
