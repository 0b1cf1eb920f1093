// correct-bench: room-correction designs over rooms and settings.  For each it prints the
// smoothed deviation from the flat target within 20 Hz ... 20 kHz before and after (the room
// convolved with the designed filter, max over the frequencies whose smoothing band reaches no
// dip deeper than the boost limit, and RMS), the largest boost and the pre-ringing; then the
// time of a design of 8 channels x 65536 taps for each phase.
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
