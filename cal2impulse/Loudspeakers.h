#ifndef MOBU_CAL2IMPULSE_LOUDSPEAKERS_H
#define MOBU_CAL2IMPULSE_LOUDSPEAKERS_H

#include <MobuEmbedded/OutputGuard.h>

#include <string>
#include <vector>

/** The description of the multi-way loudspeakers the outputs drive (JSON, by default
 * ~/.mobu/loudspeakers.json):
 *
 *     { "outputs": [
 *         { "output": 0, "loudspeaker": "left", "role": "woofer",
 *           "band": { "high": { "frequency": 3000, "slope": "LR24" } },
 *           "protection": { "highpass": { "frequency": 25, "order": 2 } } },
 *         { "output": 6, "loudspeaker": "left", "role": "tweeter", "trim": -1.5,
 *           "band": { "low": { "frequency": 3000, "slope": "LR24" } },
 *           "protection": { "highpass": { "frequency": 1500, "order": 4 }, "maxLevel": -6 } } ] }
 *
 * Per output: the loudspeaker it belongs to (any name), its role (any name; "tweeter" and the
 * outputs 6 and up are treated as tweeters), its pass band (a low and/or a high crossover edge:
 * frequency 10 Hz ... 24 kHz and the acoustic slope there: "LR12", "LR24", "LR48" — Linkwitz-Riley
 * magnitudes — or "linear" with an "order" 1 ... 16, a slope of 6 x order dB/octave), a level trim
 * (dB, -30 ... +6, default 0) and its protection, from which the output guard file is derived
 * (the guard file's own "highpass", "lowpass" and "maxLevel", checked by the guard's rules).
 *
 * Read strictly: an unknown key, a duplicate key or output, a value of the wrong type or out of
 * range refuses the whole file with a message naming the file and the key.  Beyond the values:
 * a tweeter needs a low crossover edge and a protection high-pass below it; no protection
 * high-pass may reach a driver's low edge nor a low-pass its high edge; and within one loudspeaker
 * the bands, taken in order of frequency, must meet: each driver's high edge is the next one's low
 * edge (same frequency and slope), so that the acoustic targets add up to a flat sum.
 */
namespace loudspeakers {

constexpr const char* DEFAULT_NAME = "loudspeakers.json"; ///< in the per-user folder ~/.mobu
constexpr int FILE_ERROR = -1390;                         ///< a description that can't be used

/// One crossover edge; order 0: none.
struct Edge {
    double frequency = 0.0;
    int order = 0;     ///< n of the magnitude 1 / (1 + (f/fc)^n): LR12 2, LR24 4, LR48 8, linear: its order
    bool lr = false;   ///< a Linkwitz-Riley slope (its phase is defined for minimum-phase crossovers)
    std::string slope; ///< as written ("LR24", "linear")
    bool present() const { return order > 0; }
    bool operator==(const Edge& o) const { return frequency == o.frequency && order == o.order && lr == o.lr; }
};

struct Driver {
    int output = -1;
    std::string loudspeaker, role;
    Edge low, high; ///< the pass band's edges
    double trimDB = 0.0;
    bool protected_ = false;
    OutputGuard::Limits protection;
    bool tweeter() const { return role == "tweeter" || output >= 6; }
};

/** Reads the description for `outputs` outputs: 0; -ENOENT (no file) or FILE_ERROR with `error`
 * naming the file, the key and why (drivers then empty). */
int readFile(const std::string& path, std::vector<Driver>& drivers, std::string& error, int outputs = 8);
/// As readFile, from the text; `source` names it in messages.
int parse(const std::string& text, const std::string& source, std::vector<Driver>& drivers, std::string& error,
          int outputs = 8);

/// The names of the loudspeakers, in order of their first output.
std::vector<std::string> names(const std::vector<Driver>& drivers);

/// The guard file's text for `limits` (one entry per output; unguarded outputs left out).
std::string guardText(const std::vector<OutputGuard::Limits>& limits);

} // namespace loudspeakers

#endif
