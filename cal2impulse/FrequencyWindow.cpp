#include "FrequencyWindow.h"
#include "LevinsonDurban.h"
#include "RealDFT.h"

#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <utility>
#include <vector>

Eigen::VectorXd applyGaussianFrequencyWindow(const Eigen::VectorXd& s, float fs, double fc, Eigen::VectorXd* window) {
    if (s.size() == 0) {
        syslog(LOG_WARNING, "applyGaussianFrequencyWindow: Empty input signal");
        return Eigen::VectorXd();
    }
    if (fc <= 0.0) {
        syslog(LOG_WARNING, "applyGaussianFrequencyWindow: Invalid crossover frequency: %f", fc);
        fc = fs / 10.0;
    }
    if (fs / 2.0 < fc) {
        syslog(LOG_WARNING, "applyGaussianFrequencyWindow: Crossover frequency too high: %f > %f/2", fc,
               static_cast<double>(fs));
        fc = fs / 4.0;
    }
    const Eigen::Index n = s.size();
    // Bin k and bin n - k share one weight, so the half spectrum carries the whole window.
    auto weight = [&](Eigen::Index k) {
        const Eigen::Index m = k <= n / 2 ? k : n - k;
        if (m == 0) return 0.0;
        const double u =
            std::clamp(static_cast<double>(fs) * static_cast<double>(m) / static_cast<double>(n) / fc, 1e-6, 1e6);
        const double l = std::log(u);
        return std::exp(-0.7213475204444816 * l * l);
    };
    Eigen::VectorXcd S = realdft::forward(s);
    for (Eigen::Index k = 0; k < S.size(); ++k)
        S(k) *= weight(k);
    if (window) {
        window->resize(n);
        for (Eigen::Index k = 0; k < n; ++k)
            (*window)(k) = weight(k);
    }
    return realdft::inverse(S, n);
}

Eigen::Array<bool, Eigen::Dynamic, 1> excitedBins(const Eigen::VectorXd& played) {
    if (played.size() == 0) return Eigen::Array<bool, Eigen::Dynamic, 1>();
    const Eigen::VectorXd magnitude = realdft::forward(played).cwiseAbs();
    const double peak = magnitude.maxCoeff();
    if (!(peak > 0.0) || !std::isfinite(peak))
        return Eigen::Array<bool, Eigen::Dynamic, 1>::Constant(magnitude.size(), false);
    return magnitude.array() >= excitedBandThreshold * peak;
}

void computeHLocAbsSmoothed(const Eigen::VectorXd& r, const Eigen::VectorXd& s, Eigen::VectorXd& out, float fs,
                            double fc) {
    computeHLocAbsSmoothed(r, s, out, fs, fc, Eigen::Array<bool, Eigen::Dynamic, 1>());
}

void computeHLocAbsSmoothed(const Eigen::VectorXd& r, const Eigen::VectorXd& s, Eigen::VectorXd& out, float fs,
                            double fc, const Eigen::Array<bool, Eigen::Dynamic, 1>& excited) {
    const Eigen::Index n = std::min(r.size(), s.size());
    out.setZero(n);
    if (n == 0) return;
    const Eigen::VectorXcd R = realdft::forward(r.head(n)), S = realdft::forward(s.head(n));
    // H = S / R on bins 0 ... n/2, doubled between DC and Nyquist: the analytic signal's spectrum.
    const double floor = 1e-12 * R.cwiseAbs().maxCoeff();
    const bool masked = excited.size() == R.size();
    Eigen::VectorXcd A = Eigen::VectorXcd::Zero(n);
    for (Eigen::Index k = 0; k < R.size(); ++k) {
        const bool use = std::abs(R(k)) > floor && (!masked || excited(k));
        const std::complex<double> H = use ? S(k) / R(k) : 0.0;
        const bool single = k == 0 || (n % 2 == 0 && k == n / 2);
        A(k) = single ? H : 2.0 * H;
    }
    const Eigen::VectorXd env = realdft::inverseComplex(A).cwiseAbs();

    const double F = fs >= 1.0f ? static_cast<double>(fs) : 1.0;
    if (fc <= 0.0) fc = F / 10.0;
    if (fc < 1.0) fc = 1.0;
    Eigen::Index W = static_cast<Eigen::Index>(std::round(F / (5.0 * fc)));
    W = std::max<Eigen::Index>(std::min<Eigen::Index>(std::min<Eigen::Index>(std::max<Eigen::Index>(W, 5), 401), n), 1);
    if (W % 2 == 0) W = W < n ? W + 1 : (W <= 1 ? 1 : W - 1);
    const Eigen::Index D = W / 2;
    // Running sums: each output is the mean of the window, which shrinks at both ends.
    Eigen::VectorXd sum(n + 1);
    sum(0) = 0.0;
    for (Eigen::Index k = 0; k < n; ++k)
        sum(k + 1) = sum(k) + env(k);
    for (Eigen::Index k = 0; k < n; ++k) {
        const Eigen::Index lo = std::max<Eigen::Index>(0, k - D), hi = std::min<Eigen::Index>(n - 1, k + D);
        out(k) = (sum(hi + 1) - sum(lo)) / static_cast<double>(hi - lo + 1);
    }
}

void computePeakIndices(const Eigen::VectorXd& e, float fs, int bufferLength, double& peakValue, int& peakIndex) {
    const Eigen::Index n = e.size();
    if (n == 0) {
        syslog(LOG_WARNING, "computePeakIndices: Empty input vector");
        peakValue = 0.0;
        peakIndex = 0;
        return;
    }
    if (fs <= 0.0f) {
        syslog(LOG_WARNING, "computePeakIndices: Invalid sample rate: %f", static_cast<double>(fs));
        fs = 1.0f;
    }
    std::vector<std::pair<double, Eigen::Index>> candidates;
    candidates.reserve(static_cast<size_t>(n / 10));
    for (Eigen::Index k = 1; k + 1 < n; ++k)
        if (e(k) >= e(k - 1) && e(k) > e(k + 1)) candidates.emplace_back(e(k), k);
    Eigen::Index raw = 0;
    if (candidates.empty()) {
        peakValue = e.maxCoeff(&raw); // the first occurrence
    } else {
        std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        size_t best = 0;
        for (size_t i = 1; i < std::min<size_t>(3, candidates.size()); ++i)
            if (candidates[i].second < candidates[best].second) best = i;
        peakValue = candidates[best].first;
        raw = candidates[best].second;
    }
    int P = static_cast<int>(std::round(DEFAULT_DELAY * static_cast<double>(fs)));
    if (bufferLength < P) {
        syslog(LOG_WARNING, "computePeakIndices: Delay exceeds buffer size: %d > %d", P, bufferLength);
        P = bufferLength;
    }
    peakIndex = static_cast<int>(((raw - P) % n + n) % n);
}
