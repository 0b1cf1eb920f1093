#include "RoomCorrection.h"

#include "RealDFT.h"
#include "SpectralSmoothing.h"

#include <MobuEmbedded/IIRDesign.h>

#include <algorithm>
#include <cctype>
#include <complex>
#include <cmath>
#include <istream>
#include <sstream>

namespace {

constexpr double referenceLowHz = 500.0, referenceHighHz = 2000.0; ///< the band the levels are taken in
constexpr int reportPoints = 400;
constexpr int refinements = 8; ///< passes of the correction's shape against the smoothed corrected response
constexpr double tiny = 1e-300;

Eigen::Index nextPowerOfTwo(Eigen::Index n) {
    Eigen::Index p = 1;
    while (p < n)
        p *= 2;
    return p;
}

double toDB(double power) {
    return 10.0 * std::log10(std::max(power, tiny));
}

/// Cycles of the excess-phase window at f: 15 up to 100 Hz, 3 from 10 kHz, log-interpolated between.
double windowCycles(double f) {
    if (f <= 100.0) return 15.0;
    if (f >= 10000.0) return 3.0;
    return 15.0 * std::pow(3.0 / 15.0, std::log(f / 100.0) / std::log(100.0));
}

} // namespace

RoomCorrectionDebug::RoomCorrectionDebug() {
    errors[ROOMCORRECTION_SETTINGS_ERROR] = "RoomCorrection: A setting is outside its range.";
    errors[ROOMCORRECTION_TARGET_ERROR] = "RoomCorrection: The target curve does not parse.";
    errors[ROOMCORRECTION_RESPONSE_ERROR] = "RoomCorrection: A measured response is empty, silent or not finite.";
    errors[ROOMCORRECTION_CHANNEL_ERROR] = "RoomCorrection: A channel is given twice or lies outside the outputs.";
}

int RoomCorrection::setSettings(const Settings& s, std::string& error) {
    std::ostringstream why;
    if (!(s.fs >= 8000.0 && s.fs <= 768000.0))
        why << "the sample rate " << s.fs << " Hz is outside 8000 ... 768000";
    else if (s.taps < 256 || s.taps > maxTaps)
        why << "the filter length " << s.taps << " is outside 256 ... " << maxTaps << " taps";
    else if (!(s.lowHz > 0.0) || !(s.highHz > s.lowHz) || !(s.highHz <= 0.5 * s.fs))
        why << "the range " << s.lowHz << " ... " << s.highHz << " Hz must have 0 < low < high <= " << 0.5 * s.fs
            << " Hz (half the rate)";
    else if (!(s.maxBoostDB >= 0.0 && s.maxBoostDB <= 24.0))
        why << "the largest boost " << s.maxBoostDB << " dB is outside 0 ... 24 dB";
    else if (!(s.smoothing >= 1.0 && s.smoothing <= 96.0))
        why << "the smoothing 1/" << s.smoothing << " octave is outside 1/1 ... 1/96";
    else if (s.outputs < 1 || s.outputs > 64)
        why << "the output count " << s.outputs << " is outside 1 ... 64";
    else if (!(s.transitionHz >= 0.0 && s.transitionHz < 0.5 * s.fs))
        why << "the transition " << s.transitionHz << " Hz is outside 0 ... " << 0.5 * s.fs << " Hz";
    else if (!(s.broadSmoothing >= 1.0 && s.broadSmoothing <= 96.0))
        why << "the smoothing 1/" << s.broadSmoothing << " octave above the transition is outside 1/1 ... 1/96";
    else if (!(s.maxNarrowCutDB > 0.0))
        why << "the deepest narrow cut " << s.maxNarrowCutDB << " dB must be above 0";
    else if (!(s.maxSpreadDB >= 0.0))
        why << "the largest spread between positions " << s.maxSpreadDB << " dB must not be negative";
    else if (std::any_of(s.positionWeights.begin(), s.positionWeights.end(),
                         [](double w) { return !(w >= 0.01 && w <= 100.0); }))
        why << "a position weight is outside 0.01 ... 100";
    else if (s.phase == Phase::mixed && (s.mixedDelay < 0 || s.mixedDelay >= s.taps / 2))
        why << "the mixed-phase delay " << s.mixedDelay << " must be below half the filter length";
    if (!why.str().empty()) {
        error = why.str();
        return ROOMCORRECTION_SETTINGS_ERROR;
    }
    set = s;
    reportFrequencies.resize(reportPoints);
    for (int i = 0; i < reportPoints; ++i)
        reportFrequencies(i) = 10.0 * std::pow(0.4999 * set.fs / 10.0, i / (reportPoints - 1.0));
    return 0;
}

int RoomCorrection::setTarget(std::istream& in, std::string& error) {
    std::vector<std::pair<double, double>> curve;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        std::string text = line.substr(first);
        while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
            text.pop_back();
        // Other tools' exports: a UTF-8 byte-order mark, "*" comment lines, a header of words
        // ("Frequency,dB", "Freq SPL") before the first pair, tabs or spaces between the columns.
        if (number == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        if (text.empty() || text[0] == '*' || text[0] == '#') continue;
        if (curve.empty() && std::isalpha(static_cast<unsigned char>(text[0]))) continue;
        std::replace(text.begin(), text.end(), ',', ' ');
        std::istringstream fields(text);
        double f = 0, dB = 0;
        std::string rest;
        if (!(fields >> f >> dB) || (fields >> rest) || !std::isfinite(f) || !std::isfinite(dB) || !(f > 0.0) ||
            std::abs(dB) > 60.0) {
            error = "line " + std::to_string(number) + " \"" + line +
                    "\" is not \"frequency,dB\" (Hz above 0, dB within +-60)";
        } else if (!curve.empty() && !(std::log(f) > curve.back().first)) {
            error = "line " + std::to_string(number) + ": the frequencies must increase";
        }
        if (!error.empty()) return ROOMCORRECTION_TARGET_ERROR;
        curve.emplace_back(std::log(f), dB);
    }
    if (curve.empty()) {
        error = "no \"frequency,dB\" pair in the target";
        return ROOMCORRECTION_TARGET_ERROR;
    }
    target = std::move(curve);
    return 0;
}

double RoomCorrection::targetDB(double f) const {
    if (target.empty()) return 0.0;
    const double x = std::log(std::max(f, 1e-3));
    if (x <= target.front().first) return target.front().second;
    if (x >= target.back().first) return target.back().second;
    const auto upper = std::upper_bound(target.begin(), target.end(), x,
                                        [](double v, const std::pair<double, double>& p) { return v < p.first; });
    const auto lower = upper - 1;
    const double t = (x - lower->first) / (upper->first - lower->first);
    return lower->second + t * (upper->second - lower->second);
}

int RoomCorrection::addChannel(int channel, const Eigen::VectorXd& impulse, int arrival, std::string& error) {
    if (channel < 0 || channel >= set.outputs ||
        std::any_of(channels.begin(), channels.end(), [&](const Channel& c) { return c.index == channel; })) {
        error = "channel " + std::to_string(channel) + " is given twice or is outside 0 ... " +
                std::to_string(set.outputs - 1);
        return ROOMCORRECTION_CHANNEL_ERROR;
    }
    if (impulse.size() < 2 || !impulse.allFinite() || !(impulse.cwiseAbs().maxCoeff() > 0.0)) {
        error = "the response of channel " + std::to_string(channel) + " is empty, silent or not finite";
        return ROOMCORRECTION_RESPONSE_ERROR;
    }
    channels.push_back(Channel{channel, impulse, arrival, {}});
    return 0;
}

int RoomCorrection::addPosition(int channel, const Eigen::VectorXd& impulse, std::string& error) {
    const auto c = std::find_if(channels.begin(), channels.end(), [&](const Channel& c) { return c.index == channel; });
    if (c == channels.end()) {
        error = "channel " + std::to_string(channel) + " has no main position";
        return ROOMCORRECTION_CHANNEL_ERROR;
    }
    if (impulse.size() < 2 || !impulse.allFinite() || !(impulse.cwiseAbs().maxCoeff() > 0.0)) {
        error = "a further response of channel " + std::to_string(channel) + " is empty, silent or not finite";
        return ROOMCORRECTION_RESPONSE_ERROR;
    }
    c->positions.push_back(impulse);
    return 0;
}

double RoomCorrection::rangeWeight(double f) const {
    if (f >= set.lowHz && f <= set.highHz) return 1.0;
    if (f < set.lowHz) { // one octave below
        const double bottom = 0.5 * set.lowHz;
        if (f <= bottom) return 0.0;
        return 0.5 - 0.5 * std::cos(M_PI * std::log2(f / bottom));
    }
    const double top = std::min(set.highHz * std::sqrt(2.0), 0.5 * set.fs);
    if (f >= top) return 0.0;
    return 0.5 + 0.5 * std::cos(M_PI * std::log2(f / set.highHz) / std::log2(top / set.highHz));
}

Eigen::VectorXd RoomCorrection::smoothPower(const Eigen::VectorXd& power, double K) {
    return spectralsmoothing::smooth(power,
                                     Eigen::VectorXd::Constant(std::max<Eigen::Index>(power.size(), 1), 1.0 / K));
}

Eigen::VectorXd RoomCorrection::minimumPhase(const Eigen::VectorXd& magnitude, Eigen::Index n) {
    const double floor = 1e-12 * magnitude.maxCoeff();
    Eigen::VectorXcd logMagnitude(magnitude.size());
    for (Eigen::Index k = 0; k < magnitude.size(); ++k)
        logMagnitude(k) = std::log(std::max(magnitude(k), floor));
    const Eigen::VectorXd cepstrum = realdft::inverse(logMagnitude, n);
    Eigen::VectorXd folded = Eigen::VectorXd::Zero(n);
    folded(0) = cepstrum(0);
    for (Eigen::Index k = 1; k < (n + 1) / 2; ++k)
        folded(k) = 2.0 * cepstrum(k);
    if (n % 2 == 0) folded(n / 2) = cepstrum(n / 2);
    Eigen::VectorXcd spectrum = realdft::forward(folded);
    for (Eigen::Index k = 0; k < spectrum.size(); ++k)
        spectrum(k) = std::exp(spectrum(k));
    return realdft::inverse(spectrum, n);
}

int RoomCorrection::arrivalOf(const Eigen::VectorXd& h) {
    if (h.size() == 0) return -1;
    const double peak = h.cwiseAbs().maxCoeff();
    if (!(peak > 0.0)) return -1;
    Eigen::Index at = 0;
    while (std::abs(h(at)) < 0.5 * peak)
        ++at;
    return static_cast<int>(at);
}

Eigen::VectorXd RoomCorrection::powerOf(const Eigen::VectorXd& impulse, Eigen::Index n) {
    Eigen::VectorXd padded = Eigen::VectorXd::Zero(n);
    const Eigen::Index used = std::min(n, impulse.size());
    padded.head(used) = impulse.head(used);
    return realdft::forward(padded).cwiseAbs2();
}

Eigen::VectorXd RoomCorrection::smoothedDB(const Eigen::VectorXd& impulse, Eigen::Index n) const {
    const Eigen::VectorXd smoothed = smoothPower(powerOf(impulse, n), set.smoothing);
    return smoothed.unaryExpr([](double p) { return toDB(p); });
}

double RoomCorrection::levelOf(const Eigen::VectorXd& smoothedDB, Eigen::Index n) const {
    double lo = std::max(referenceLowHz, set.lowHz), hi = std::min(referenceHighHz, set.highHz);
    if (!(lo < hi)) lo = set.lowHz, hi = set.highHz;
    // The median over 64 frequencies evenly spaced in log: peaks and dips within the band (and dips
    // the limited boost leaves) do not move it.
    std::vector<double> samples;
    for (int i = 0; i < 64; ++i) {
        const double f = lo * std::pow(hi / lo, i / 63.0);
        const Eigen::Index k = std::min<Eigen::Index>(std::lround(f * n / set.fs), smoothedDB.size() - 1);
        samples.push_back(smoothedDB(k) - targetDB(f));
    }
    std::nth_element(samples.begin(), samples.begin() + 32, samples.end());
    const double upper = samples[32];
    return 0.5 * (upper + *std::max_element(samples.begin(), samples.begin() + 32));
}

Eigen::VectorXd RoomCorrection::onReportGrid(const Eigen::VectorXd& binsDB, Eigen::Index n) const {
    Eigen::VectorXd out(reportFrequencies.size());
    for (Eigen::Index i = 0; i < out.size(); ++i) {
        const double position = reportFrequencies(i) * n / set.fs;
        const Eigen::Index k = std::min<Eigen::Index>(static_cast<Eigen::Index>(position), binsDB.size() - 2);
        const double t = position - k;
        out(i) = (1 - t) * binsDB(k) + t * binsDB(k + 1);
    }
    return out;
}

Eigen::VectorXcd RoomCorrection::excessPhaseInverse(const Eigen::VectorXd& impulse, Eigen::Index n,
                                                    double cycleScale) const {
    const Eigen::Index bins = n / 2 + 1;
    const int a = arrivalOf(impulse);
    const Eigen::Index lead = std::min<Eigen::Index>(a, static_cast<Eigen::Index>(0.001 * set.fs));
    // Windows no longer than the delay: the undone excess phase then rings within it.  Frequencies
    // whose window would be longer keep the minimum phase (a fade over the octave of window lengths
    // from half the delay to the delay).
    const double shortest = 32.0, longest = std::max(2.0 * shortest, std::min(0.1 * set.fs, double(set.mixedDelay)));
    const auto unclamped = [&](double f) { return cycleScale * windowCycles(f) * set.fs / std::max(f, 1.0); };
    const auto windowAt = [&](double f) { return std::clamp(unclamped(f), shortest, longest); };
    const auto phaseWeight = [&](double f) {
        const double W = unclamped(f);
        if (W <= 0.5 * longest) return rangeWeight(f);
        if (W >= longest) return 0.0;
        return rangeWeight(f) * (0.5 + 0.5 * std::cos(M_PI * std::log2(W / (0.5 * longest))));
    };
    // The response through a window of length W after the arrival (and a short rise before it).
    const auto windowed = [&](double W) {
        Eigen::VectorXd x = Eigen::VectorXd::Zero(n);
        for (Eigen::Index t = a - lead; t < std::min<Eigen::Index>(impulse.size(), a + static_cast<Eigen::Index>(W));
             ++t) {
            double w = 1.0;
            if (t < a)
                w = 0.5 - 0.5 * std::cos(M_PI * (t - (a - lead)) / static_cast<double>(lead));
            else
                w = 0.5 + 0.5 * std::cos(M_PI * (t - a) / W);
            x(t) = w * impulse(t);
        }
        return realdft::forward(x);
    };
    // Window lengths spaced evenly in log; each bin interpolates between the two around its own.
    constexpr int J = 24;
    std::vector<double> lengths(J);
    for (int j = 0; j < J; ++j)
        lengths[j] = shortest * std::pow(longest / shortest, j / (J - 1.0));
    Eigen::VectorXcd fdw(bins);
    Eigen::VectorXcd below = windowed(lengths[0]), above;
    for (int j = 0; j + 1 < J; ++j) {
        above = windowed(lengths[j + 1]);
        for (Eigen::Index k = 0; k < bins; ++k) {
            const double W = windowAt(k * set.fs / n);
            if (W < lengths[j] && j > 0) continue;
            if (W > lengths[j + 1] && j + 2 < J) continue;
            const double t = std::clamp(std::log(W / lengths[j]) / std::log(lengths[j + 1] / lengths[j]), 0.0, 1.0);
            fdw(k) = (1 - t) * below(k) + t * above(k);
        }
        below.swap(above);
    }
    const Eigen::VectorXcd minimum = realdft::forward(minimumPhase(fdw.cwiseAbs(), n));
    Eigen::VectorXcd inverse(bins);
    for (Eigen::Index k = 0; k < bins; ++k) {
        // The all-pass part of the direct sound without its delay, undone within the range.
        std::complex<double> allPass = fdw(k) / minimum(k) * std::polar(1.0, 2.0 * M_PI * k * a / n);
        const double m = std::abs(allPass);
        allPass = m > 1e-9 && std::isfinite(m) ? allPass / m : 1.0;
        const double w = phaseWeight(k * set.fs / n);
        std::complex<double> blend = (1.0 - w) + w * std::conj(allPass);
        const double b = std::abs(blend);
        inverse(k) = b > 1e-9 ? blend / b : 1.0;
    }
    return inverse;
}

int RoomCorrection::design(std::string& error) {
    coefficients = Eigen::MatrixXd::Zero(set.taps, set.outputs);
    channelReports.clear();
    if (reportFrequencies.size() == 0) setSettings(set, error);
    Eigen::Index longestResponse = 0;
    for (const Channel& c : channels) {
        longestResponse = std::max(longestResponse, c.impulse.size());
        for (const Eigen::VectorXd& h : c.positions)
            longestResponse = std::max(longestResponse, h.size());
    }
    for (const Channel& c : channels) {
        if (set.positionWeights.empty()) break;
        if (set.positionWeights.size() != 1 + c.positions.size()) {
            error = std::to_string(set.positionWeights.size()) + " position weights for the " +
                    std::to_string(1 + c.positions.size()) + " positions of channel " + std::to_string(c.index);
            return ROOMCORRECTION_SETTINGS_ERROR;
        }
    }
    const Eigen::Index n = nextPowerOfTwo(std::max<Eigen::Index>(4 * set.taps, 2 * longestResponse));
    const Eigen::Index bins = n / 2 + 1;
    const bool mixed = set.phase == Phase::mixed;
    const int commonDelay = mixed ? set.mixedDelay : 0;

    int latest = 0;
    for (const Channel& c : channels)
        latest = std::max(latest, c.arrival);
    const Eigen::VectorXd widths =
        spectralsmoothing::widths(bins, set.fs, n, set.smoothing, set.broadSmoothing, set.transitionHz);
    const auto smooth = [&widths](const Eigen::VectorXd& x) { return spectralsmoothing::smooth(x, widths); };
    std::vector<Eigen::VectorXd> powers, smoothed, agreements;
    std::vector<double> levels;
    for (const Channel& c : channels) {
        powers.push_back(powerOf(c.impulse, n));
        agreements.push_back(Eigen::VectorXd::Ones(bins));
        if (!c.positions.empty()) {
            // The spatial average: each further position brought to the main one's level in the
            // reference band (a nearer or farther microphone does not weigh more), powers averaged
            // with the positions' weights (all alike unless given).
            const auto weightOf = [&](size_t p) { return set.positionWeights.empty() ? 1.0 : set.positionWeights[p]; };
            std::vector<Eigen::VectorXd> positionsDB{smooth(powers.back()).unaryExpr(&toDB)};
            const double mainLevel = levelOf(positionsDB[0], n);
            double total = weightOf(0);
            powers.back() *= weightOf(0);
            for (size_t p = 0; p < c.positions.size(); ++p) {
                const Eigen::VectorXd power = powerOf(c.positions[p], n);
                positionsDB.push_back(smooth(power).unaryExpr(&toDB));
                const double level = levelOf(positionsDB.back(), n);
                positionsDB.back().array() += mainLevel - level;
                powers.back() += weightOf(p + 1) * std::pow(10.0, (mainLevel - level) / 10.0) * power;
                total += weightOf(p + 1);
            }
            powers.back() /= total;
            // Where the positions disagree by more than the limit the correction is scaled down in
            // proportion: what differs from seat to seat is not the loudspeaker's or the room's own.
            const Eigen::VectorXd spread = smooth(spectralsmoothing::spreadDB(positionsDB));
            for (Eigen::Index k = 0; k < bins && set.maxSpreadDB > 0.0; ++k)
                agreements.back()(k) = std::min(1.0, set.maxSpreadDB / std::max(spread(k), 1e-9));
        }
        smoothed.push_back(smooth(powers.back()).unaryExpr([](double p) { return toDB(p); }));
        levels.push_back(levelOf(smoothed.back(), n));
    }
    const double quietest = levels.empty() ? 0.0 : *std::min_element(levels.begin(), levels.end());

    std::vector<Eigen::VectorXd> correctionPowers; // of each channel's filter, on the bins
    std::vector<double> excesses;                  // dB of each filter's boost beyond the limit
    for (int m = 0; m < set.outputs; ++m)
        coefficients(commonDelay, m) = 1.0; // outputs without a measurement pass unchanged
    for (size_t i = 0; i < channels.size(); ++i) {
        const Channel& c = channels[i];
        Report r;
        r.channel = c.index;
        r.levelDB = levels[i];
        r.gainDB = set.align ? quietest - levels[i] : 0.0;
        const int alignDelay = set.align ? latest - c.arrival : 0;
        r.delay = alignDelay + commonDelay;
        if (r.delay >= set.taps / 2) {
            error = "channel " + std::to_string(c.index) + " needs a delay of " + std::to_string(r.delay) +
                    " samples, more than half the " + std::to_string(set.taps) + " taps";
            return ROOMCORRECTION_SETTINGS_ERROR;
        }

        // The correction's magnitude: the shape towards the target within the range (boost limited),
        // the level match everywhere.  Smoothing the corrected response is not the smoothed response
        // times the correction where the correction varies within the smoothing band, so the shape is
        // refined a few times against the smoothed corrected response itself.
        Eigen::VectorXd wanted(bins), requiredDB(bins), weight(bins), target(bins);
        for (Eigen::Index k = 0; k < bins; ++k) {
            const double f = k * set.fs / n;
            target(k) = targetDB(f) + levels[i];
            requiredDB(k) = target(k) - smoothed[i](k);
            weight(k) = rangeWeight(f);
        }
        wanted = requiredDB;
        const auto shapeOf = [&](Eigen::Index k) { return weight(k) * std::min(wanted(k), set.maxBoostDB); };
        for (int pass = 0; pass < refinements; ++pass) {
            Eigen::VectorXd corrected(bins);
            for (Eigen::Index k = 0; k < bins; ++k)
                corrected(k) = powers[i](k) * std::pow(10.0, shapeOf(k) / 10.0);
            const Eigen::VectorXd after = smooth(corrected);
            Eigen::VectorXd error(bins);
            // Where the boost is at its limit and more is wanted, nothing more can be done: such
            // bins must not pull their neighbours up through the smoothed step.
            for (Eigen::Index k = 0; k < bins; ++k) {
                error(k) = target(k) - toDB(after(k));
                if (error(k) > 0.0 && wanted(k) >= set.maxBoostDB) error(k) = 0.0;
            }
            // The step is smoothed as well: detail finer than the smoothing is invisible to it and
            // would otherwise grow from pass to pass.
            const Eigen::VectorXd step = smooth(error);
            for (Eigen::Index k = 0; k < bins; ++k)
                if (weight(k) >= 1.0) wanted(k) = std::min(wanted(k) + step(k), set.maxBoostDB + 20.0);
        }
        // A cut may reach at most maxNarrowCutDB below the correction smoothed over three times the
        // resolution: a deep notch narrower than that fits one seat's mode and overshoots at the next.
        Eigen::VectorXd shape(bins);
        for (Eigen::Index k = 0; k < bins; ++k)
            shape(k) = agreements[i](k) * shapeOf(k);
        const Eigen::VectorXd broad = spectralsmoothing::smooth(shape, 3.0 * widths);
        Eigen::VectorXd magnitude(bins);
        for (Eigen::Index k = 0; k < bins; ++k)
            magnitude(k) = std::pow(10.0, (r.gainDB + std::max(shape(k), broad(k) - set.maxNarrowCutDB)) / 20.0);
        const Eigen::VectorXd minimum = minimumPhase(magnitude, n);
        Eigen::VectorXd filter = minimum; // n taps, delay added below
        if (mixed) {
            const Eigen::VectorXcd minimumSpectrum = realdft::forward(minimum);
            bool accepted = false;
            for (double scale : {1.0, 0.5, 0.25}) {
                const Eigen::VectorXcd inverse = excessPhaseInverse(c.impulse, n, scale);
                Eigen::VectorXcd spectrum(bins);
                for (Eigen::Index k = 0; k < bins; ++k)
                    spectrum(k) = minimumSpectrum(k) * inverse(k) * std::polar(1.0, -2.0 * M_PI * k * commonDelay / n);
                Eigen::VectorXd candidate = realdft::inverse(spectrum, n);
                Eigen::Index main = 0;
                candidate.head(set.taps).cwiseAbs().maxCoeff(&main);
                const Eigen::Index guard = static_cast<Eigen::Index>(0.001 * set.fs);
                const double before = main > guard ? candidate.head(main - guard).cwiseAbs().maxCoeff() : 0.0;
                const double preDB = toDB(before * before) - toDB(candidate(main) * candidate(main));
                if (preDB <= set.maxPreRingingDB) {
                    r.preRingingDB = preDB;
                    // Start from zero: a rise over the first quarter of the delay.
                    const Eigen::Index rise = commonDelay / 4;
                    for (Eigen::Index t = 0; t < rise; ++t)
                        candidate(t) *= 0.5 - 0.5 * std::cos(M_PI * t / static_cast<double>(rise));
                    filter = candidate.head(set.taps - alignDelay);
                    accepted = true;
                    break;
                }
            }
            if (!accepted) { // the excess phase can't be undone without ringing before the sound
                filter = Eigen::VectorXd::Zero(set.taps - alignDelay);
                filter.tail(filter.size() - commonDelay) = minimum.head(filter.size() - commonDelay);
                r.preRingingDB = -300.0;
            }
        } else {
            filter = minimum.head(set.taps - alignDelay);
        }
        // A fade over the last 1/16 of the taps, so that the cut adds no edge.
        const Eigen::Index fade = std::max<Eigen::Index>(64, filter.size() / 16);
        for (Eigen::Index t = 0; t < fade; ++t)
            filter(filter.size() - fade + t) *= 0.5 + 0.5 * std::cos(M_PI * (t + 1) / static_cast<double>(fade));
        coefficients.col(c.index).setZero();
        coefficients.col(c.index).segment(alignDelay, filter.size()) = filter;

        // What it does: the filter's own response.  The cut to the taps (and in mixed phase the
        // excess-phase part) ripples the response a little: where that boosts beyond the limit the
        // filter is lowered by the excess once every channel is designed.
        Eigen::VectorXd padded = Eigen::VectorXd::Zero(n);
        padded.head(set.taps) = coefficients.col(c.index);
        correctionPowers.push_back(realdft::forward(padded).cwiseAbs2());
        excesses.push_back(std::max(0.0, toDB(correctionPowers.back().maxCoeff()) - set.maxBoostDB));
        r.requiredDB = onReportGrid(requiredDB, n);
        channelReports.push_back(std::move(r));
    }
    // Aligned channels are lowered together by the largest excess, so that the level match holds;
    // otherwise each channel by its own.
    const double commonExcess = excesses.empty() ? 0.0 : *std::max_element(excesses.begin(), excesses.end());
    for (size_t i = 0; i < channels.size(); ++i) {
        Report& r = channelReports[i];
        const double excessDB = set.align ? commonExcess : excesses[i];
        if (excessDB > 0.0) {
            const double lower = std::pow(10.0, -excessDB / 20.0);
            coefficients.col(r.channel) *= lower;
            correctionPowers[i] *= lower * lower;
            r.gainDB -= excessDB;
        }
        const Eigen::VectorXd predicted =
            smooth(powers[i].cwiseProduct(correctionPowers[i])).unaryExpr([](double p) { return toDB(p); });
        r.measuredDB = onReportGrid(smoothed[i], n).array() - levels[i];
        r.predictedDB = onReportGrid(predicted, n).array() - levels[i] - r.gainDB;
        r.correctionDB = onReportGrid(correctionPowers[i].unaryExpr([](double p) { return toDB(p); }), n);
        r.targetDB = reportFrequencies.unaryExpr([this](double f) { return targetDB(f); });
    }
    return 0;
}

Eigen::VectorXd RoomCorrection::deviationDB(const Eigen::VectorXd& impulse, double& level) const {
    const Eigen::Index n = nextPowerOfTwo(std::max<Eigen::Index>(65536, 2 * impulse.size()));
    const Eigen::VectorXd smoothed = smoothedDB(impulse, n);
    level = levelOf(smoothed, n);
    const Eigen::VectorXd& frequencies = reportFrequencies;
    Eigen::VectorXd out(frequencies.size());
    for (Eigen::Index i = 0; i < out.size(); ++i) {
        const double f = frequencies(i);
        if (f < set.lowHz || f > set.highHz) {
            out(i) = std::nan("");
            continue;
        }
        const double position = f * n / set.fs;
        const Eigen::Index k = std::min<Eigen::Index>(static_cast<Eigen::Index>(position), smoothed.size() - 2);
        const double t = position - k;
        out(i) = (1 - t) * smoothed(k) + t * smoothed(k + 1) - targetDB(f) - level;
    }
    return out;
}

RoomCorrection::RoomCorrection() {
    std::string unused;
    setSettings(Settings(), unused);
}

double RoomCorrection::equalisedLevelDB(const std::vector<Peak>& peaks, int channel) const {
    const auto r = std::find_if(channelReports.begin(), channelReports.end(),
                                [&](const Report& x) { return x.channel == channel; });
    if (r == channelReports.end()) return 0.0;
    double lo = std::max(referenceLowHz, set.lowHz), hi = std::min(referenceHighHz, set.highHz);
    if (!(lo < hi)) lo = set.lowHz, hi = set.highHz;
    std::vector<double> samples;
    for (Eigen::Index i = 0; i < reportFrequencies.size(); ++i) {
        const double f = reportFrequencies(i);
        if (f >= lo && f <= hi) samples.push_back(r->measuredDB(i) + equaliserDB(peaks, f) - r->targetDB(i));
    }
    if (samples.empty()) return 0.0;
    const size_t half = samples.size() / 2;
    std::nth_element(samples.begin(), samples.begin() + half, samples.end());
    if (samples.size() % 2) return samples[half];
    return 0.5 * (samples[half] + *std::max_element(samples.begin(), samples.begin() + half));
}

double RoomCorrection::equaliserDB(const std::vector<Peak>& peaks, double f) const {
    double dB = 0.0;
    const std::complex<double> z = std::polar(1.0, -2.0 * M_PI * f / set.fs); // z^-1
    for (const Peak& p : peaks) {
        IIRDesign section;
        section.designBPF(2.0 * p.fc / set.fs, p.dB, p.Q);
        const std::complex<double> num = section.b0 + section.b1 * z + section.b2 * z * z;
        const std::complex<double> den = section.a0 + section.a1 * z + section.a2 * z * z;
        dB += 20.0 * std::log10(std::max(std::abs(num / den), 1e-15));
    }
    return dB;
}

std::vector<RoomCorrection::Peak> RoomCorrection::fitEqualiser(int sections, double& residualDB, int channel) const {
    // The wanted curve on the report frequencies within the range: the mean of the channels', or one's.
    std::vector<const Report*> fitted;
    for (const Report& r : channelReports)
        if (channel < 0 || r.channel == channel) fitted.push_back(&r);
    std::vector<double> f, want;
    for (Eigen::Index i = 0; i < reportFrequencies.size(); ++i) {
        if (reportFrequencies(i) < set.lowHz || reportFrequencies(i) > set.highHz || fitted.empty()) continue;
        double sum = 0;
        for (const Report* r : fitted)
            sum += std::min(r->requiredDB(i), set.maxBoostDB);
        f.push_back(reportFrequencies(i));
        want.push_back(sum / fitted.size());
    }
    std::vector<Peak> peaks;
    const auto cost = [&](const std::vector<Peak>& p) {
        double e = 0;
        for (size_t i = 0; i < f.size(); ++i) {
            const double d = want[i] - equaliserDB(p, f[i]);
            e += d * d;
        }
        return e;
    };
    const double nyquist = 0.5 * set.fs;
    for (int s = 0; s < sections && !f.empty(); ++s) {
        size_t worst = 0;
        std::vector<double> residual(f.size());
        for (size_t i = 0; i < f.size(); ++i) {
            residual[i] = want[i] - equaliserDB(peaks, f[i]);
            if (std::abs(residual[i]) > std::abs(residual[worst])) worst = i;
        }
        if (std::abs(residual[worst]) < 0.5) break;
        // Start from the error's own width: the octaves over which it stays above half its peak.
        size_t lo = worst, hi = worst;
        while (lo > 0 && residual[lo - 1] * residual[worst] > 0 &&
               std::abs(residual[lo - 1]) > 0.5 * std::abs(residual[worst]))
            --lo;
        while (hi + 1 < f.size() && residual[hi + 1] * residual[worst] > 0 &&
               std::abs(residual[hi + 1]) > 0.5 * std::abs(residual[worst]))
            ++hi;
        const double octaves = std::max(std::log2(f[hi] / f[lo]), 0.05);
        const double ratio = std::pow(2.0, octaves);
        Peak p{f[worst], std::clamp(residual[worst], -24.0, set.maxBoostDB),
               std::clamp(std::sqrt(ratio) / (ratio - 1.0), 0.3, 20.0)};
        peaks.push_back(p);
        // Coordinate search on the new section: centre, gain, Q, in shrinking steps.
        double best = cost(peaks);
        for (double step = 1.0; step > 0.02; step *= 0.5) {
            bool better = true;
            while (better) {
                better = false;
                for (int which = 0; which < 3; ++which)
                    for (double sign : {-1.0, 1.0}) {
                        Peak trial = peaks.back();
                        if (which == 0)
                            trial.fc = std::clamp(trial.fc * std::pow(2.0, sign * step / 6.0), set.lowHz,
                                                  std::min(set.highHz, 0.45 * nyquist * 2.0));
                        if (which == 1) trial.dB = std::clamp(trial.dB + sign * step, -24.0, set.maxBoostDB);
                        if (which == 2) trial.Q = std::clamp(trial.Q * std::pow(2.0, sign * step / 2.0), 0.3, 20.0);
                        std::vector<Peak> t = peaks;
                        t.back() = trial;
                        const double c = cost(t);
                        if (c < best - 1e-9) {
                            best = c;
                            peaks.back() = trial;
                            better = true;
                        }
                    }
            }
        }
    }
    residualDB = f.empty() ? 0.0 : std::sqrt(cost(peaks) / f.size());
    return peaks;
}
