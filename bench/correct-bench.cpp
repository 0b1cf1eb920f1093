// correct-bench: room-correction designs over rooms and settings.  For each it prints the
// smoothed deviation from the flat target within 20 Hz ... 20 kHz before and after (the room
// convolved with the designed filter, max over the frequencies whose smoothing band reaches no
// dip deeper than the boost limit, and RMS), the largest boost and the pre-ringing; then the
// time of a design of 8 channels x 65536 taps for each phase.  Between them, listening areas of
// four positions each, designed from some positions and judged at the others.
//
//   build/bench/correct-bench

#include "BenchSupport.h"

#include <RealDFT.h>
#include <RoomCorrection.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Column = Eigen::VectorXd;

/// A room: a direct sound at `delay`, reflections, modes (decaying sinusoids) and a diffuse tail.
Column room(int kind, int delay, int length = 16384) {
    Column h = Column::Zero(length);
    h(delay) = 1.0;
    uint64_t state = 17 + kind;
    const double reflection = kind == 0 ? 0.3 : kind == 1 ? 0.6 : 0.85;
    const int gaps[] = {97, 233, 451, 780};
    for (int i = 0; i < 4; ++i)
        if (delay + gaps[i] < length) h(delay + gaps[i]) += (i % 2 ? -1 : 1) * reflection / (1 + i);
    const double modes[] = {38, 55, 83, 121};
    for (int t = 0; delay + t < length; ++t) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double noise = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
        double v = 0.004 * std::exp(-t / 2000.0) * noise;
        for (int m = 0; m < (kind == 0 ? 1 : 4); ++m)
            v += (kind == 0 ? 0.002 : 0.004) * std::exp(-t / (2400.0 - 400 * m)) *
                 std::sin(2 * M_PI * modes[m] * t / 48000.0);
        h(delay + t) += v;
    }
    return h;
}

/// The room through a filter (linear convolution by FFT).
Column through(const Column& h, const Column& filter) {
    Eigen::Index n = 1;
    while (n < h.size() + filter.size())
        n *= 2;
    Column a = Column::Zero(n), b = Column::Zero(n);
    a.head(h.size()) = h;
    b.head(filter.size()) = filter;
    return realdft::inverse(realdft::forward(a).cwiseProduct(realdft::forward(b)), n);
}

/** A listening area: one loudspeaker heard at microphone position `position` (0 ... 3) of room
 * `kind` (0 ... 2): a direct sound, reflections whose delays grow with the position, three to five
 * modes (decaying sinusoids, 35 ... 140 Hz) that move 1.5 % up and change level from position to
 * position, a null (a strong reflection arriving opposite the direct sound), a diffuse tail.
 * These rooms are apart from the ones above and from the tests'. */
Column areaRoom(int kind, int position, int length = 24000) {
    const int delay = 40 + 3 * position;
    Column h = Column::Zero(length);
    h(delay) = 1.0;
    const double shift = 1.0 + 0.015 * position;
    const int gaps[] = {120, 260, 530};
    for (int i = 0; i < 3; ++i)
        h(delay + gaps[i] + (7 + 2 * kind) * position) += (i % 2 ? -1 : 1) * (0.5 - 0.1 * i);
    h(delay + 24 + 2 * kind + position) -= 0.55 + 0.1 * kind; // a comb null near 1 kHz
    const double modes[3][5] = {{36, 52, 77, 104, 131}, {41, 58, 88, 117, 0}, {47, 63, 95, 140, 0}};
    uint64_t state = 91 + 13 * kind + position;
    for (int t = 0; delay + t < length; ++t) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double noise = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
        double v = 0.006 * std::exp(-t / (3500.0 + 1500 * kind)) * noise;
        for (int m = 0; m < 5 && modes[kind][m] > 0; ++m)
            v += (0.003 + 0.001 * ((m + position) % 3)) * std::exp(-t / (5000.0 + 2000 * kind - 500 * m)) *
                 std::sin(2 * M_PI * modes[kind][m] * shift * t / 48000.0);
        h(delay + t) += v;
    }
    return h;
}

struct Figures {
    double worst = 0, rms = 0;
};

Figures figures(const Column& dev, const Column& before, const Column& f, double K, double maxBoost) {
    Figures out;
    int count = 0;
    for (Eigen::Index k = 0; k < dev.size(); ++k) {
        if (!std::isfinite(dev(k))) continue;
        bool limited = false;
        for (Eigen::Index j = 0; j < before.size() && !limited; ++j)
            limited = std::abs(std::log2(f(j) / f(k))) <= 0.5 / K && before(j) < -maxBoost;
        out.rms += dev(k) * dev(k), ++count;
        if (!limited) out.worst = std::max(out.worst, std::abs(dev(k)));
    }
    out.rms = count ? std::sqrt(out.rms / count) : 0;
    return out;
}

} // namespace

int main() {
    printf("room-correction designs, flat target, 20 Hz ... 20 kHz, 16384 taps unless said\n");
    printf("%-8s %-7s %-6s %-7s | %-17s | %-17s | %-9s %-9s\n", "room", "phase", "smooth", "boost", "before max/RMS dB",
           "after max/RMS dB", "boost dB", "pre-ring");
    const char* rooms[] = {"mild", "modal", "combs"};
    struct Setting {
        RoomCorrection::Phase phase;
        double K, boost;
    };
    const Setting settings[] = {{RoomCorrection::Phase::minimum, 6, 6},  {RoomCorrection::Phase::minimum, 3, 6},
                                {RoomCorrection::Phase::minimum, 12, 6}, {RoomCorrection::Phase::minimum, 6, 3},
                                {RoomCorrection::Phase::minimum, 6, 9},  {RoomCorrection::Phase::mixed, 6, 6}};
    for (int kind = 0; kind < 3; ++kind)
        for (const Setting& s : settings) {
            RoomCorrection design;
            RoomCorrection::Settings set;
            set.taps = 16384, set.smoothing = s.K, set.maxBoostDB = s.boost, set.phase = s.phase, set.mixedDelay = 2400;
            set.transitionHz = 0; // the smoothing given, as mobu-correct --smoothing=1/K does
            std::string error;
            const Column h = room(kind, 30);
            if (design.setSettings(set, error) != 0 || design.addChannel(0, h, 30, error) != 0 ||
                design.design(error) != 0) {
                fprintf(stderr, "correct-bench: %s\n", error.c_str());
                return 1;
            }
            double level = 0;
            const Column before = design.deviationDB(h, level);
            const Column after = design.deviationDB(through(h, design.filters().col(0)), level);
            const Figures b = figures(before, before, design.frequencies(), s.K, 1e9),
                          a = figures(after, before, design.frequencies(), s.K, s.boost);
            const auto& r = design.reports()[0];
            printf("%-8s %-7s 1/%-4g %-7g | %6.2f / %-8.2f | %6.2f / %-8.2f | %-9.2f %-9s\n", rooms[kind],
                   s.phase == RoomCorrection::Phase::mixed ? "mixed" : "minimum", s.K, s.boost, b.worst, b.rms, a.worst,
                   a.rms, r.correctionDB.maxCoeff(),
                   s.phase == RoomCorrection::Phase::mixed
                       ? (std::to_string(static_cast<int>(r.preRingingDB)) + " dB").c_str()
                       : "-");
        }

    // Designed from measured positions, judged at positions that were not measured: the 1/6-octave
    // deviation from flat within 40 Hz ... 16 kHz, each at its own level.
    printf("\nheld-out positions: 3 rooms x 4 positions, 65536 taps, 1/6 octave, boost 6 dB, judged in 40 Hz ... 16 "
           "kHz\n");
    printf("%-6s %-21s | %-21s | %-24s | %-16s | %-8s %-8s\n", "room", "designed from", "held out RMS / worst dB",
           "measured RMS (each) dB", "least possible", "boost dB", "pre-ring");
    RoomCorrection judge;
    {
        RoomCorrection::Settings set;
        set.lowHz = 40, set.highHz = 16000;
        std::string error;
        judge.setSettings(set, error);
    }
    const auto judged = [&](const Column& h, const Column& filter) {
        double level = 0;
        const Column dev = judge.deviationDB(through(h, filter), level);
        double sum = 0, worst = 0;
        int count = 0;
        for (Eigen::Index k = 0; k < dev.size(); ++k)
            if (std::isfinite(dev(k))) sum += dev(k) * dev(k), worst = std::max(worst, std::abs(dev(k))), ++count;
        return Figures{worst, std::sqrt(sum / count)};
    };
    struct Plan {
        const char* name;
        std::vector<int> measured, heldOut;
        RoomCorrection::Phase phase;
        double transitionHz = 300, maxSpreadDB = 0, maxNarrowCutDB = 100; ///< the defaults unless said
        double mainWeight = 1; ///< the main position's weight in the average (the others 1)
    };
    using P = RoomCorrection::Phase;
    const Plan plans[] = {{"none (uncorrected)", {}, {1, 2, 3}, P::minimum},
                          {"position 0", {0}, {1, 2, 3}, P::minimum},
                          {"position 0 1/6 always", {0}, {1, 2, 3}, P::minimum, 0},
                          {"position 0 cut <= 6", {0}, {1, 2, 3}, P::minimum, 300, 0, 6},
                          {"positions 0, 2", {0, 2}, {1, 3}, P::minimum},
                          {"positions 0, 2 1/6", {0, 2}, {1, 3}, P::minimum, 0},
                          {"positions 0, 2 spread", {0, 2}, {1, 3}, P::minimum, 300, 3},
                          {"positions 0, 2 x2", {0, 2}, {1, 3}, P::minimum, 300, 0, 100, 2},
                          {"positions 0, 2, 3", {0, 2, 3}, {1}, P::minimum},
                          {"positions 0, 2, 3 x2", {0, 2, 3}, {1}, P::minimum, 300, 0, 100, 2},
                          {"positions 0, 2 mixed", {0, 2}, {1, 3}, P::mixed}};
    for (int kind = 0; kind < 3; ++kind)
        for (const Plan& plan : plans) {
            Column filter = Column::Zero(65536);
            filter(0) = 1.0;
            double boost = 0, preRinging = -300;
            if (!plan.measured.empty()) {
                RoomCorrection design;
                RoomCorrection::Settings set;
                set.phase = plan.phase, set.transitionHz = plan.transitionHz, set.maxSpreadDB = plan.maxSpreadDB;
                set.maxNarrowCutDB = plan.maxNarrowCutDB;
                if (plan.measured.size() > 1) {
                    set.positionWeights.assign(plan.measured.size(), 1.0);
                    set.positionWeights[0] = plan.mainWeight;
                }
                std::string error;
                bool ok = design.setSettings(set, error) == 0 &&
                          design.addChannel(0, areaRoom(kind, plan.measured[0]), 40, error) == 0;
                for (size_t i = 1; ok && i < plan.measured.size(); ++i)
                    ok = design.addPosition(0, areaRoom(kind, plan.measured[i]), error) == 0;
                if (!ok || design.design(error) != 0) {
                    fprintf(stderr, "correct-bench: %s\n", error.c_str());
                    return 1;
                }
                filter = design.filters().col(0);
                boost = design.reports()[0].correctionDB.maxCoeff();
                preRinging = design.reports()[0].preRingingDB;
            }
            double sum = 0, worst = 0;
            for (int p : plan.heldOut) {
                const Figures f = judged(areaRoom(kind, p), filter);
                sum += f.rms * f.rms, worst = std::max(worst, f.worst);
            }
            std::string measured;
            for (int p : plan.measured.empty() ? std::vector<int>{0, 2} : plan.measured) {
                char text[16];
                snprintf(text, sizeof text, "%s%.2f", measured.empty() ? "" : " ",
                         judged(areaRoom(kind, p), filter).rms);
                measured += text;
            }
            // The least any one filter could leave at the measured positions: each position's
            // deviation from the weighted mean of their deviations (no boost limit, no smoothing
            // of the product), which a common correction cannot take away.
            std::string floor = "-";
            if (plan.measured.size() > 1) {
                std::vector<Column> dev;
                Column mean = Column::Zero(judge.frequencies().size());
                double total = 0;
                for (size_t i = 0; i < plan.measured.size(); ++i) {
                    double level = 0;
                    const double w = i == 0 ? plan.mainWeight : 1.0;
                    dev.push_back(judge.deviationDB(areaRoom(kind, plan.measured[i]), level));
                    mean += w * dev.back(), total += w;
                }
                mean /= total;
                floor.clear();
                for (const Column& d : dev) {
                    double squares = 0;
                    int count = 0;
                    for (Eigen::Index k = 0; k < d.size(); ++k)
                        if (std::isfinite(d(k))) squares += (d(k) - mean(k)) * (d(k) - mean(k)), ++count;
                    char text[16];
                    snprintf(text, sizeof text, "%s%.2f", floor.empty() ? "" : " ", std::sqrt(squares / count));
                    floor += text;
                }
            }
            printf("%-6d %-21s | %6.2f / %-12.2f | %-24s | %-16s | %-8.2f %-8s\n", kind, plan.name,
                   std::sqrt(sum / plan.heldOut.size()), worst, measured.c_str(), floor.c_str(), boost,
                   plan.phase == RoomCorrection::Phase::mixed
                       ? (std::to_string(static_cast<int>(preRinging)) + " dB").c_str()
                       : "-");
        }

    printf("\ndesign time, 8 channels x 65536 taps (aligned, 1/6 octave), wall clock:\n");
    for (auto phase : {RoomCorrection::Phase::minimum, RoomCorrection::Phase::mixed}) {
        RoomCorrection design;
        RoomCorrection::Settings set;
        set.phase = phase, set.align = true;
        std::string error;
        design.setSettings(set, error);
        for (int c = 0; c < 8; ++c)
            design.addChannel(c, room(c % 3, 30 + 7 * c), 30 + 7 * c, error);
        const double t0 = bench::wallSeconds();
        if (design.design(error) != 0) {
            fprintf(stderr, "correct-bench: %s\n", error.c_str());
            return 1;
        }
        printf("  %-7s %.2f s\n", phase == RoomCorrection::Phase::mixed ? "mixed" : "minimum",
               bench::wallSeconds() - t0);
    }
    return 0;
}
