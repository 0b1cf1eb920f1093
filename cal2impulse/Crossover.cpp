#include "Crossover.h"

#include "RealDFT.h"
#include "RoomCorrection.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

constexpr int reportPoints = 400;
constexpr int minimumPhaseLead = 64; ///< samples before a minimum-phase filter's start (fractional delays)
constexpr double deepestCutDB = -60.0;
using cd = std::complex<double>;

Eigen::Index nextPowerOfTwo(Eigen::Index n) {
    Eigen::Index p = 1;
    while (p < n)
        p *= 2;
    return p;
}

double lowPass(const loudspeakers::Edge& e, double f) {
    return 1.0 / (1.0 + std::pow(f / e.frequency, e.order));
}

/// The analog Linkwitz-Riley low-pass and high-pass of an edge at f (the squared Butterworth of
/// half its order); the high-pass inverted for odd Butterworth orders, so that LP + HP is an all-pass.
void linkwitzRiley(const loudspeakers::Edge& e, double f, cd& lp, cd& hp) {
    const int m = e.order / 2;
    const cd s(0.0, f / e.frequency);
    cd b = 1.0;
    for (int k = 1; k <= m; ++k)
        b *= s - std::polar(1.0, M_PI * (2.0 * k + m - 1.0) / (2.0 * m));
    lp = 1.0 / (b * b);
    hp = std::pow(s, 2 * m) / (b * b) * (m % 2 ? -1.0 : 1.0);
}

/// The analog Butterworth of a guard filter at the bilinear transform's pre-warped frequency of f.
cd butterworth(const OutputGuard::Filter& g, bool highpass, double f, double fs) {
    const double warped = std::tan(M_PI * std::min(f, 0.4999 * fs) / fs) / std::tan(M_PI * g.frequency / fs);
    const cd s(0.0, warped);
    cd b = 1.0;
    for (int k = 1; k <= g.order; ++k)
        b *= s - std::polar(1.0, M_PI * (2.0 * k + g.order - 1.0) / (2.0 * g.order));
    return highpass ? std::pow(s, g.order) / b : 1.0 / b;
}

/// The report grid value of a per-bin curve (linear interpolation between bins).
double atFrequency(const Eigen::VectorXd& bins, double f, double fs, Eigen::Index n) {
    const double position = f * n / fs;
    const Eigen::Index k = std::min<Eigen::Index>(static_cast<Eigen::Index>(position), bins.size() - 2);
    const double t = position - k;
    return (1.0 - t) * bins(k) + t * bins(k + 1);
}

double interpolate(const Eigen::VectorXd& f, const Eigen::VectorXd& v, double at) {
    if (at <= f(0)) return v(0);
    for (Eigen::Index i = 1; i < f.size(); ++i)
        if (f(i) >= at) {
            const double t = std::log(at / f(i - 1)) / std::log(f(i) / f(i - 1));
            return (1.0 - t) * v(i - 1) + t * v(i);
        }
    return v(v.size() - 1);
}

/// The crossovers between the drivers of one loudspeaker: the high edges that are another's low edge.
std::vector<loudspeakers::Edge> crossoversOf(const std::string& name, const std::vector<loudspeakers::Driver>& all) {
    std::vector<loudspeakers::Edge> out;
    for (const auto& a : all)
        for (const auto& b : all)
            if (a.loudspeaker == name && b.loudspeaker == name && a.high.present() && a.high == b.low)
                out.push_back(a.high);
    return out;
}

} // namespace

int Crossover::setSettings(const Settings& s, std::string& error) {
    std::ostringstream why;
    if (!(s.fs >= 8000.0 && s.fs <= 768000.0))
        why << "the sample rate " << s.fs << " Hz is outside 8000 ... 768000";
    else if (s.taps < 1024 || s.taps > RoomCorrection::maxTaps)
        why << "the filter length " << s.taps << " is outside 1024 ... " << RoomCorrection::maxTaps << " taps";
    else if (!(s.maxBoostDB >= 0.0 && s.maxBoostDB <= 24.0))
        why << "the largest boost " << s.maxBoostDB << " dB is outside 0 ... 24 dB";
    else if (!(s.smoothing >= 1.0 && s.smoothing <= 96.0))
        why << "the smoothing 1/" << s.smoothing << " octave is outside 1/1 ... 1/96";
    else if (!(s.marginOctaves >= 0.0 && s.marginOctaves <= 3.0))
        why << "the correction margin " << s.marginOctaves << " octaves is outside 0 ... 3";
    else if (s.outputs < 1 || s.outputs > 64)
        why << "the output count " << s.outputs << " is outside 1 ... 64";
    if (!why.str().empty()) return error = why.str(), -1;
    set = s;
    reportFrequencies.resize(reportPoints);
    for (int i = 0; i < reportPoints; ++i)
        reportFrequencies(i) = 10.0 * std::pow(0.4999 * set.fs / 10.0, i / (reportPoints - 1.0));
    return 0;
}

std::complex<double> Crossover::guardResponse(const OutputGuard::Limits& limits, double f, double fs) {
    cd g = 1.0;
    if (limits.highpass.order > 0) g *= butterworth(limits.highpass, true, f, fs);
    if (limits.lowpass.order > 0) g *= butterworth(limits.lowpass, false, f, fs);
    return g;
}

double Crossover::targetMagnitude(const loudspeakers::Driver& d, double f) {
    double t = 1.0;
    if (d.high.present()) t *= lowPass(d.high, f);
    if (d.low.present()) t *= 1.0 - lowPass(d.low, f);
    return t;
}

std::complex<double> Crossover::minimumTarget(const loudspeakers::Driver& d,
                                              const std::vector<loudspeakers::Driver>& all, double f) const {
    cd t = 1.0, lp, hp;
    const bool linear = set.phase == Phase::linear;
    if (d.low.present()) {
        linkwitzRiley(d.low, f, lp, hp);
        t *= linear ? cd(1.0 - lowPass(d.low, f)) : hp;
    }
    if (d.high.present()) {
        linkwitzRiley(d.high, f, lp, hp);
        t *= linear ? cd(lowPass(d.high, f)) : lp;
    }
    // The loudspeaker's other crossovers: a high-pass for those below the band, so that the drivers
    // above a crossover add up to its high-pass exactly; an all-pass (minimum phase) for those above.
    for (const auto& c : crossoversOf(d.loudspeaker, all)) {
        if (c == d.low || c == d.high) continue;
        const bool below = d.low.present() ? c.frequency < d.low.frequency : false;
        linkwitzRiley(c, f, lp, hp);
        if (below)
            t *= linear ? cd(1.0 - lowPass(c, f)) : hp;
        else if (!linear)
            t *= lp + hp;
    }
    return t;
}

Eigen::VectorXd Crossover::smoothedDB(const Eigen::VectorXd& impulse) const {
    const Eigen::Index n = nextPowerOfTwo(std::max<Eigen::Index>(impulse.size(), 8192));
    Eigen::VectorXd padded = Eigen::VectorXd::Zero(n);
    padded.head(impulse.size()) = impulse;
    const Eigen::VectorXd power = RoomCorrection::smoothPower(realdft::forward(padded).cwiseAbs2(), set.smoothing);
    const Eigen::VectorXd db = power.unaryExpr([](double p) { return 10.0 * std::log10(std::max(p, 1e-300)); });
    Eigen::VectorXd out(reportFrequencies.size());
    for (Eigen::Index i = 0; i < out.size(); ++i)
        out(i) = atFrequency(db, reportFrequencies(i), set.fs, n);
    return out;
}

double Crossover::bandLevel(const Eigen::VectorXd& frequencies, const Eigen::VectorXd& smoothedDB, double lowHz,
                            double highHz) {
    if (!(lowHz < highHz)) lowHz = highHz = std::sqrt(lowHz * highHz);
    std::vector<double> v;
    for (int i = 0; i < 33; ++i)
        v.push_back(interpolate(frequencies, smoothedDB, lowHz * std::pow(highHz / lowHz, i / 32.0)));
    std::nth_element(v.begin(), v.begin() + 16, v.end());
    return v[16];
}

bool Crossover::phaseFit(const Eigen::VectorXcd& spectrum, Eigen::Index n, double fs,
                         const std::vector<std::pair<double, double>>& regions, double& delay) {
    double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    bool any = false;
    for (const auto& [lowHz, highHz] : regions) {
        double previous = 0, unwrapped = 0;
        bool started = false;
        // Each region unwrapped on its own, its phase taken nearest the straight line through 0 found so far.
        for (Eigen::Index k = 1; k < spectrum.size(); ++k) {
            const double f = k * fs / n;
            if (f < lowHz || f > highHz) continue;
            const double phase = std::arg(spectrum(k));
            unwrapped = started ? unwrapped + std::remainder(phase - previous, 2.0 * M_PI) : phase;
            if (!started && any) {
                const double det = sw * sxx - sx * sx;
                const double expected = det > 0 ? ((sw * sxy - sx * sy) / det) * (2.0 * M_PI * k / n) +
                                                      (sy - (sw * sxy - sx * sy) / det * sx) / sw
                                                : 0.0;
                unwrapped = phase + 2.0 * M_PI * std::round((expected - phase) / (2.0 * M_PI));
            }
            started = true;
            previous = phase;
            const double x = 2.0 * M_PI * k / n;
            sw += 1, sx += x, sy += unwrapped, sxx += x * x, sxy += x * unwrapped;
        }
        any = any || started;
    }
    const double det = sw * sxx - sx * sx;
    if (!any || !(det > 0)) return false;
    const double slope = (sw * sxy - sx * sy) / det;
    delay = -slope;
    return true;
}

std::vector<std::pair<double, double>> Crossover::alignmentRegions(const loudspeakers::Driver& d, double lowHz,
                                                                   double highHz) {
    std::vector<std::pair<double, double>> out;
    for (const auto* e : {&d.low, &d.high})
        if (e->present()) out.emplace_back(std::max(lowHz, e->frequency / 2.0), std::min(highHz, e->frequency * 2.0));
    if (out.empty()) out.emplace_back(lowHz, highHz);
    return out;
}

int Crossover::design(const std::vector<loudspeakers::Driver>& drivers, const std::vector<Measured>& measured,
                      std::string& error) {
    if (reportFrequencies.size() == 0 && setSettings(set, error) != 0) return -1;
    driverReports.clear();
    loudspeakerSums.clear();
    coefficients = Eigen::MatrixXd::Zero(set.taps, set.outputs);
    Eigen::Index longest = 0;
    for (const auto& d : drivers) {
        if (d.output >= set.outputs || static_cast<size_t>(d.output) >= measured.size() ||
            measured[static_cast<size_t>(d.output)].impulse.size() < 16)
            return error = "output " + std::to_string(d.output) + " is described but was not measured", -1;
        const Eigen::VectorXd& h = measured[static_cast<size_t>(d.output)].impulse;
        if (!h.allFinite() || !(h.cwiseAbs().maxCoeff() > 0.0))
            return error = "the response of output " + std::to_string(d.output) + " is silent or not finite", -1;
        longest = std::max(longest, h.size());
    }
    const Eigen::Index n = grid = nextPowerOfTwo(2 * std::max<Eigen::Index>(set.taps, longest));
    const Eigen::Index bins = n / 2 + 1;
    const double base = set.phase == Phase::linear ? set.taps / 2 : minimumPhaseLead;
    const double nyquist = 0.45 * set.fs;
    const auto binHz = [&](Eigen::Index k) { return k * set.fs / n; };

    struct Work {
        const loudspeakers::Driver* d;
        Eigen::VectorXcd H, shaped; ///< measured; target x correction (before gain and delay)
        Report r;
    };
    std::vector<Work> work;
    for (const auto& d : drivers) {
        const Measured& m = measured[static_cast<size_t>(d.output)];
        Work w{&d, {}, {}, {}};
        Report& r = w.r;
        r.output = d.output, r.loudspeaker = d.loudspeaker, r.role = d.role;
        r.lowHz = d.low.present() ? d.low.frequency : 0.0;
        r.highHz = d.high.present() ? d.high.frequency : 0.0;
        Eigen::VectorXd padded = Eigen::VectorXd::Zero(n);
        padded.head(m.impulse.size()) = m.impulse;
        // What reaches the microphone: the filter, then the output's guard, then the driver.
        w.H = realdft::forward(padded);
        for (Eigen::Index k = 0; k < bins; ++k)
            w.H(k) *= guardResponse(d.protection, binHz(k), set.fs);
        const Eigen::VectorXd smoothed =
            RoomCorrection::smoothPower(w.H.cwiseAbs2(), set.smoothing).unaryExpr([](double p) {
                return 10.0 * std::log10(std::max(p, 1e-300));
            });
        // Where the measurement and the driver are to be trusted, and where the correction works.
        const double validLow = std::max(m.validLowHz, 10.0);
        const double validHigh = m.validHighHz > 0.0 ? std::min(m.validHighHz, nyquist) : nyquist;
        double lo = std::max(validLow, d.low.present() ? d.low.frequency / std::exp2(set.marginOctaves) : 0.0);
        if (d.protection.highpass.order > 0) lo = std::max(lo, d.protection.highpass.frequency);
        double hi = std::min(validHigh, d.high.present() ? d.high.frequency * std::exp2(set.marginOctaves) : nyquist);
        if (d.protection.lowpass.order > 0) hi = std::min(hi, d.protection.lowpass.frequency);
        if (!(hi > 1.5 * lo))
            return error = "output " + std::to_string(d.output) + ": its band " + std::to_string(lo) + " ... " +
                           std::to_string(hi) + " Hz leaves nothing to correct (the measurement is valid in " +
                           std::to_string(validLow) + " ... " + std::to_string(validHigh) + " Hz)",
                   -1;
        r.correctLowHz = lo, r.correctHighHz = hi;
        // The level in the band, away from its edges.
        const double levelLow =
            d.low.present() ? std::max(d.low.frequency * M_SQRT2, 2.0 * lo) : std::max(2.0 * lo, 50.0);
        const double levelHigh =
            d.high.present() ? std::min(d.high.frequency / M_SQRT2, hi / 2.0) : std::min(hi / 2.0, 10000.0);
        {
            Eigen::VectorXd onGrid(reportFrequencies.size());
            for (Eigen::Index i = 0; i < onGrid.size(); ++i)
                onGrid(i) = atFrequency(smoothed, reportFrequencies(i), set.fs, n);
            r.levelDB = bandLevel(reportFrequencies, onGrid, levelLow, levelHigh);
        }
        // The correction: inverse within the range, boost-limited; beyond, its edge value, never a boost.
        Eigen::VectorXd correctionDB(bins);
        const auto inside = [&](Eigen::Index k) {
            return std::clamp(r.levelDB - smoothed(k), deepestCutDB, set.maxBoostDB);
        };
        const Eigen::Index kLo = std::max<Eigen::Index>(1, std::lround(lo * n / set.fs));
        const Eigen::Index kHi = std::min<Eigen::Index>(bins - 1, std::lround(hi * n / set.fs));
        const double belowValue = std::min(inside(kLo), 0.0), aboveValue = std::min(inside(kHi), 0.0);
        r.maxBoostDB = -300.0;
        for (Eigen::Index k = 0; k < bins; ++k) {
            correctionDB(k) = k < kLo ? belowValue : k > kHi ? aboveValue : inside(k);
            r.maxBoostDB = std::max(r.maxBoostDB, correctionDB(k));
        }
        const Eigen::VectorXcd C = realdft::forward(RoomCorrection::minimumPhase(
            correctionDB.unaryExpr([](double db) { return std::pow(10.0, db / 20.0); }), n));
        w.shaped.resize(bins);
        for (Eigen::Index k = 0; k < bins; ++k)
            w.shaped(k) = minimumTarget(d, drivers, binHz(k)) * C(k);
        // The corrected driver is a delay within its band: its phase slope gives the arrival to a
        // fraction of a sample, its phase the polarity.
        double slope = 0;
        if (!phaseFit(C.cwiseProduct(w.H), n, set.fs, alignmentRegions(d, lo, hi), slope))
            return error = "output " + std::to_string(d.output) + ": no arrival could be found in its band", -1;
        r.arrival = m.shift + slope;
        work.push_back(std::move(w));
    }

    for (const std::string& name : loudspeakers::names(drivers)) {
        Sum sum;
        sum.loudspeaker = name;
        double latest = -1e300, quietest = 1e300, earliestShift = 1e300;
        for (const auto& d : drivers)
            if (d.loudspeaker == name)
                earliestShift = std::min(earliestShift, measured[static_cast<size_t>(d.output)].shift);
        for (const Work& w : work)
            if (w.r.loudspeaker == name)
                latest = std::max(latest, w.r.arrival), quietest = std::min(quietest, w.r.levelDB);
        for (const auto& c : crossoversOf(name, drivers))
            sum.crossovers.push_back(c.frequency);
        std::sort(sum.crossovers.begin(), sum.crossovers.end());
        sum.levelDB = quietest;
        sum.predicted = Eigen::VectorXcd::Zero(bins);
        // The delays: from the lowest driver up, each next one delayed so that its phase at the
        // crossover it shares with the one below equals that one's, on the branch nearest the
        // difference of their arrivals (the arrivals alone leave a residue of the phase the
        // correction could not reach outside its range).
        std::vector<Work*> own;
        for (Work& w : work)
            if (w.r.loudspeaker == name) own.push_back(&w);
        std::sort(own.begin(), own.end(), [](const Work* a, const Work* b) { return a->r.lowHz < b->r.lowHz; });
        const auto responseAt = [&](const Work& w, double f) {
            const Eigen::Index k = std::lround(f * n / set.fs);
            const double shift = measured[static_cast<size_t>(w.r.output)].shift - earliestShift;
            return w.shaped(k) * w.H(k) * std::polar(1.0, -2.0 * M_PI * k * shift / n);
        };
        double lowest = 0.0;
        for (size_t i = 1; i < own.size(); ++i) {
            const Report& below = own[i - 1]->r;
            Report& r = own[i]->r;
            const double fc = r.lowHz, omega = 2.0 * M_PI * std::lround(fc * n / set.fs) / n;
            const double difference =
                std::arg(responseAt(*own[i - 1], fc)) - omega * below.delay - std::arg(responseAt(*own[i], fc));
            const double estimate = below.delay + below.arrival - r.arrival; // in the frame of the shifts
            const double first = -difference / omega, period = 2.0 * M_PI / omega;
            r.delay = first + period * std::round((estimate - first) / period);
            lowest = std::min(lowest, r.delay);
        }
        (void)latest;
        for (Work& w : work) {
            if (w.r.loudspeaker != name) continue;
            Report& r = w.r;
            r.delay -= lowest;
            r.gainDB = quietest - r.levelDB + w.d->trimDB;
            const double gain = std::pow(10.0, r.gainDB / 20.0);
            Eigen::VectorXcd F(bins);
            for (Eigen::Index k = 0; k < bins; ++k)
                F(k) = gain * w.shaped(k) * std::polar(1.0, -2.0 * M_PI * k * (base + r.delay) / n);
            Eigen::VectorXd taps = realdft::inverse(F, n).head(set.taps);
            // A short fade at the end of the filter (nothing of it should be left there).
            const Eigen::Index fade = set.taps / 16;
            for (Eigen::Index t = 0; t < fade; ++t)
                taps(set.taps - fade + t) *= 0.5 * (1.0 + std::cos(M_PI * (t + 0.5) / fade));
            coefficients.col(r.output) = taps;
            // The prediction from the filter as written.
            Eigen::VectorXd padded = Eigen::VectorXd::Zero(n);
            padded.head(set.taps) = taps;
            // Each response was aligned by its own time of flight: put back their differences.
            Eigen::VectorXcd Y = realdft::forward(padded).cwiseProduct(w.H);
            const double shift = measured[static_cast<size_t>(r.output)].shift - earliestShift;
            for (Eigen::Index k = 0; k < bins; ++k)
                Y(k) *= std::polar(1.0, -2.0 * M_PI * k * shift / n);
            sum.predicted += Y;
            const Eigen::VectorXd db =
                RoomCorrection::smoothPower(Y.cwiseAbs2(), set.smoothing).unaryExpr([](double p) {
                    return 10.0 * std::log10(std::max(p, 1e-300));
                });
            r.predictedDB.resize(reportFrequencies.size());
            for (Eigen::Index i = 0; i < r.predictedDB.size(); ++i)
                r.predictedDB(i) = atFrequency(db, reportFrequencies(i), set.fs, n) - quietest;
            if (r.lowHz > 0 && r.lowHz / 4.0 >= reportFrequencies(0))
                r.belowDB = interpolate(reportFrequencies, r.predictedDB, r.lowHz / 4.0);
            if (r.highHz > 0 && r.highHz * 4.0 <= reportFrequencies(reportFrequencies.size() - 1))
                r.aboveDB = interpolate(reportFrequencies, r.predictedDB, r.highHz * 4.0);
            driverReports.push_back(r);
        }
        const Eigen::VectorXd db =
            RoomCorrection::smoothPower(sum.predicted.cwiseAbs2(), set.smoothing).unaryExpr([](double p) {
                return 10.0 * std::log10(std::max(p, 1e-300));
            });
        sum.predictedDB.resize(reportFrequencies.size());
        for (Eigen::Index i = 0; i < sum.predictedDB.size(); ++i)
            sum.predictedDB(i) = atFrequency(db, reportFrequencies(i), set.fs, n) - quietest;
        loudspeakerSums.push_back(std::move(sum));
    }
    std::sort(driverReports.begin(), driverReports.end(),
              [](const Report& a, const Report& b) { return a.output < b.output; });
    return 0;
}
