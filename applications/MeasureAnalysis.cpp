#include "MeasureAnalysis.h"

#include <RealDFT.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>

Eigen::VectorXd deconvolve(const Eigen::VectorXd& played, const Eigen::VectorXd& averaged) {
    const Eigen::VectorXcd X = realdft::forward(played), Y = realdft::forward(averaged);
    const double floor = 1e-2 * X.cwiseAbs().maxCoeff();
    Eigen::VectorXcd H = Eigen::VectorXcd::Zero(X.size());
    for (Eigen::Index k = 1; k < X.size(); ++k)
        if (std::abs(X(k)) > floor) H(k) = Y(k) / X(k);
    return realdft::inverse(H, played.size());
}

Arrival findArrival(const Eigen::VectorXd& response) {
    const Eigen::VectorXd h = response.cwiseAbs();
    Arrival a;
    if (h.size() == 0) return a;
    const double peak = h.maxCoeff(), rms = std::sqrt(h.squaredNorm() / static_cast<double>(h.size()));
    if (!(peak > 0.0) || !std::isfinite(peak)) return a;
    while (h(a.at) < 0.5 * peak)
        ++a.at;
    a.clarity = peak / rms;
    return a;
}

namespace {

/// Samples by which harmonic k precedes the linear response.
double harmonicDelay(int k, Eigen::Index period, double f1, double f2) {
    return static_cast<double>(period) * std::log(static_cast<double>(k)) / std::log(f2 / f1);
}

/// `length` samples of the circular signal from `start` (any integer, taken modulo its length).
Eigen::VectorXd circularSegment(const Eigen::VectorXd& x, Eigen::Index start, Eigen::Index length) {
    const Eigen::Index P = x.size();
    Eigen::VectorXd out(length);
    for (Eigen::Index n = 0; n < length; ++n)
        out(n) = x((((start + n) % P) + P) % P);
    return out;
}

std::complex<double> dft(const Eigen::VectorXd& h, double f, double fs) {
    std::complex<double> sum = 0;
    for (Eigen::Index n = 0; n < h.size(); ++n)
        sum += h(n) * std::polar(1.0, -2.0 * M_PI * f * static_cast<double>(n) / fs);
    return sum;
}

} // namespace

Harmonics extractHarmonics(const Eigen::VectorXd& deconvolved, Eigen::Index arrival, double f1, double f2,
                           Eigen::Index taps) {
    Harmonics out;
    const Eigen::Index P = deconvolved.size();
    if (P == 0 || !(f2 > f1 && f1 > 0.0)) return out;
    for (int k = Harmonics::first; k <= Harmonics::last; ++k) {
        const double delay = harmonicDelay(k, P, f1, f2);
        const auto spacing = static_cast<Eigen::Index>(delay - harmonicDelay(k - 1, P, f1, f2));
        const Eigen::Index length = std::max<Eigen::Index>(1, std::min(taps, spacing));
        const Eigen::Index start = arrival - static_cast<Eigen::Index>(std::lround(delay)) - Harmonics::lead;
        out.response[k - Harmonics::first] = circularSegment(deconvolved, start, length);
        out.linear[k - Harmonics::first] = circularSegment(deconvolved, arrival - Harmonics::lead, length);
    }
    return out;
}

std::vector<DistortionRow> distortion(const Harmonics& h, double low, double high, double fs) {
    std::vector<DistortionRow> rows;
    const double top = std::min(high, 0.5 * fs);
    if (!(low > 0.0) || !(top > low) || h.linear[0].size() == 0) return rows;
    for (double f = low; 2.0 * f <= top; f *= std::pow(2.0, 1.0 / 24.0)) {
        DistortionRow row;
        row.frequency = f;
        double sum = 0.0;
        for (int k = Harmonics::first; k <= Harmonics::last; ++k) {
            double& level = row.level[k - Harmonics::first];
            level = NAN;
            if (k * f > top) continue;
            const double fundamental = std::abs(dft(h.linear[k - Harmonics::first], f, fs));
            const double harmonic = std::abs(dft(h.response[k - Harmonics::first], k * f, fs));
            if (!(fundamental > 0.0)) continue;
            level = harmonic / fundamental;
            sum += level * level;
        }
        row.thd = std::sqrt(sum);
        rows.push_back(row);
    }
    return rows;
}

std::string distortionCsv(const std::vector<DistortionRow>& rows) {
    std::ostringstream csv;
    csv << "frequency_hz,thd_percent";
    for (int k = Harmonics::first; k <= Harmonics::last; ++k)
        csv << ",h" << k << "_db";
    csv << '\n';
    csv.precision(6);
    for (const DistortionRow& row : rows) {
        csv << row.frequency << ',' << 100.0 * row.thd;
        for (double level : row.level) {
            csv << ',';
            if (std::isfinite(level) && level > 0.0) csv << 20.0 * std::log10(level);
        }
        csv << '\n';
    }
    return csv.str();
}
