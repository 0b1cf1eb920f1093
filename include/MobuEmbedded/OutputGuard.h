#ifndef MOBUEMBEDDED_OUTPUTGUARD_H
#define MOBUEMBEDDED_OUTPUTGUARD_H

#include <IIR.h>

#include <Eigen/Dense>

#include <cstdint>
#include <string>
#include <vector>

/** The last stage of every output: protective filters and a level limit per output.
 *
 * An optional guard file (JSON, by default ~/.mobu/guard.json) gives, per output, a
 * Butterworth high-pass and/or low-pass (frequency in Hz, order 1 ... 8) and a maximum
 * level in dBFS:
 *
 *     { "outputs": [ { "output": 6, "highpass": { "frequency": 1000, "order": 8 }, "maxLevel": -12 },
 *                    { "output": 7, "highpass": { "frequency": 1000, "order": 8 },
 *                      "lowpass": { "frequency": 20000, "order": 2 } } ] }
 *
 * Every key is checked: an unknown key, a duplicate output, a value out of range or of
 * the wrong type refuses the whole file, with a message naming the file and the key.
 * Outputs the file does not name pass unchanged.
 *
 * The guard runs after everything else on an output (filters, fades, gains), on the
 * 32-bit samples about to be played, so nothing before it can take the output past it:
 * first the filters (second-order sections in transposed direct form II, memory kept
 * from period to period), then the limit.  The limit never lets a sample past the
 * level: a sample that would pass it sets the gain to exactly what brings it to the
 * level (no look-ahead, no overshoot), and the gain recovers towards 1 with a time
 * constant of RELEASE_SECONDS.  An output with filters but no maximum level is limited at
 * full scale, so that the samples never clip after the filters (clipping would put back the
 * low frequencies a high-pass took out).  process() allocates nothing and takes no lock.
 */
class OutputGuard {
public:
    static constexpr int MAX_ORDER = 8;
    static constexpr double RELEASE_SECONDS = 0.1;
    static constexpr const char* DEFAULT_NAME = "guard.json"; ///< in the per-user folder ~/.mobu

    struct Filter {
        double frequency = 0.0; ///< Hz
        int order = 0;          ///< 0: none
        bool operator==(const Filter& o) const { return frequency == o.frequency && order == o.order; }
    };
    struct Limits {
        Filter highpass, lowpass;
        bool limited = false;
        double maxLevel = 0.0; ///< dBFS, when limited
        bool guarded() const { return highpass.order > 0 || lowpass.order > 0 || limited; }
        bool operator==(const Limits& o) const {
            return highpass == o.highpass && lowpass == o.lowpass && limited == o.limited &&
                   (!limited || maxLevel == o.maxLevel);
        }
    };

    /** Reads a guard file for `outputs` outputs into limits (one entry per output).
     * @return 0; -ENOENT when there is no file (limits all unguarded, error names the path);
     *         or -1380 with error naming the file, the key and why (limits unguarded). */
    static int readFile(const std::string& path, std::vector<Limits>& limits, std::string& error, int outputs = 8);
    /// As readFile, from the file's text; `source` names it in messages.
    static int parse(const std::string& text, const std::string& source, std::vector<Limits>& limits,
                     std::string& error, int outputs = 8);
    /// One line per guarded output ("output 6: high-pass 1000 Hz order 8, at most -12 dBFS"); "no output guarded".
    static std::string describe(const std::vector<Limits>& limits);

    /** Designs the guard for a stream at fs Hz.  Allocates; not for the audio thread.
     * @return 0, or -1381 with error naming the output and key (a frequency at or above half
     *         the rate, a low-pass below the high-pass); the guard is then unchanged. */
    int configure(const std::vector<Limits>& limits, double fs, std::string& error);
    /// No output is guarded (configure not called, or nothing guarded): process() changes nothing.
    bool empty() const { return guardedCount == 0; }
    const std::vector<Limits>& getLimits() const { return limits; }
    double getRate() const { return rate; }
    /// Clears the filters' memory and the limits' gains: the next block starts from rest.
    void clearState();

    /** Runs output m's guard over `frames` 32-bit samples in place, `stride` words apart
     * (an interleaved block: data = block + m, stride = channel count).  Audio thread:
     * allocates nothing (blocks up to the longest configured or seen before on this thread
     * of the same output would otherwise size the scratch once). */
    void process(int m, int32_t* data, Eigen::Index frames, Eigen::Index stride);
    /// Sizes every output's scratch for blocks of `frames` (call before the audio thread runs).
    void reserve(Eigen::Index frames);

    /** What playback of `signal` on an output with these limits would be: the filters run over the
     * whole signal from rest, then, when the output has a level limit, the signal is scaled down
     * (never up) so its peak is at most the level; fullScale is 0 dBFS in the signal's scale.
     * For the measurement's sweeps, which are made whole before they play.
     * @return 0, or -1381 (error says why) with the signal unchanged. */
    static int shape(const Limits& limits, double fs, Eigen::Ref<Eigen::VectorXd> signal, double fullScale,
                     std::string& error);

private:
    struct Channel {
        IIRCascade filters;
        bool filtering = false;
        bool limited = false;
        double limit = 0.0; ///< in the 32-bit scale
        double gain = 1.0;
        Eigen::ArrayXd scratch;
    };
    static int design(const Limits& l, double fs, Eigen::ArrayXXd& B, Eigen::ArrayXXd& A, std::string& error,
                      const std::string& where);

    std::vector<Limits> limits;
    std::vector<Channel> channels;
    double rate = 0.0;
    double release = 0.0; ///< per-sample step of the gain's recovery
    int guardedCount = 0;
};

#endif
