#ifndef MOBU_CAL2IMPULSE_ROOMCORRECTION_H
#define MOBU_CAL2IMPULSE_ROOMCORRECTION_H

#include <Debug.h>

#include <Eigen/Dense>

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#define ROOMCORRECTION_ERROR_OFFSET -220                                ///< base of the range; never returned
#define ROOMCORRECTION_SETTINGS_ERROR (ROOMCORRECTION_ERROR_OFFSET - 1) ///< a setting outside its range
#define ROOMCORRECTION_TARGET_ERROR (ROOMCORRECTION_ERROR_OFFSET - 2)   ///< a target file that does not parse
#define ROOMCORRECTION_RESPONSE_ERROR (ROOMCORRECTION_ERROR_OFFSET - 3) ///< an empty, silent or non-finite response
#define ROOMCORRECTION_CHANNEL_ERROR (ROOMCORRECTION_ERROR_OFFSET - 4)  ///< a channel given twice or out of range

/// Error table of RoomCorrection (codes -221 ... -224).
class RoomCorrectionDebug : virtual public Debug {
public:
    RoomCorrectionDebug();
};

/** Design of room-correction filters from measured impulse responses.
 *
 * For each measured loudspeaker channel the measured magnitude is smoothed (in power) over
 * 1/smoothing octave up to transitionHz, widening over the next octave to 1/broadSmoothing
 * (a room's response above its transition changes from seat to seat: a correction there as
 * fine as at the modes fits only the microphone), compared with a target (flat or a curve) and turned
 * into a correction: within the correction range the difference to the target at the
 * channel's level, boosts limited to maxBoostDB (so a dip is never filled by more than
 * that), cuts unlimited; outside the range the correction returns smoothly to 0 dB (a
 * raised-cosine fade over one octave below the range and up to half an octave above it).
 * The channel's level is the median of its smoothed level over the target at 64 frequencies
 * spaced evenly in log over the reference band (500 Hz ... 2 kHz, within the range; the whole
 * range when they do not meet).  With
 * alignment every channel is brought down to the quietest channel's level (a broadband
 * gain, applied at all frequencies) and delayed so that its arrival, measured + delay,
 * equals the latest one.
 *
 * The minimum-phase correction is built from its magnitude by the cepstral method on a
 * grid of 4 x taps points and cut to taps with a short fade at the end.  The mixed-phase
 * correction also removes the excess phase of the direct sound, taken from the measured
 * response through a frequency-dependent window (15 cycles up to 100 Hz, falling to 3
 * cycles from 10 kHz, at most 100 ms); it is delayed by mixedDelay samples (the same for
 * every output) and its pre-ringing, the largest tap more than 1 ms before the main one,
 * is kept at or below maxPreRingingDB of the main tap: when the full correction rings
 * more, the windows are shortened, and in the end the excess-phase part is dropped.
 *
 * Filters of outputs without a measurement pass their input unchanged (a unit tap at the
 * common delay).
 */
class RoomCorrection {
public:
    enum class Phase { minimum, mixed };

    /// The longest filter designed (5.5 s at 48 kHz): a design grid of 4 x taps points per channel.
    static constexpr int maxTaps = 1 << 18;

    struct Settings {
        double fs = 48000.0;
        int taps = 65536;    ///< length of every correction filter
        double lowHz = 20.0; ///< correction range
        double highHz = 20000.0;
        double maxBoostDB = 6.0; ///< largest boost of any correction
        double smoothing = 6.0;  ///< K of the 1/K-octave smoothing (up to the transition)
        double transitionHz =
            300.0; ///< 1/smoothing up to it, 1/broadSmoothing from twice it (0: 1/smoothing throughout)
        double broadSmoothing = 3.0;   ///< K of the smoothing above the room's transition
        double maxNarrowCutDB = 100.0; ///< deepest cut below the correction smoothed over 3x the resolution
        double maxSpreadDB =
            0.0; ///< above 0: where the positions spread more, the correction is scaled by this / spread
        Phase phase = Phase::minimum;
        bool align = false; ///< delays and levels matched across channels
        int outputs = 8;    ///< channels of the coefficient file (at least the highest channel + 1)
        double maxPreRingingDB = -30.0;
        int mixedDelay = 2400; ///< samples (50 ms at 48 kHz) of the mixed-phase filters (checked in mixed phase only)
        /// Weights of the positions in the spatial average, the main one first (empty: all alike;
        /// otherwise one per position, each 0.01 ... 100, checked by design()).
        std::vector<double> positionWeights;
    };

    /// What the design found for one channel, on the frequencies of `frequencies`.
    struct Report {
        int channel = 0;
        int delay = 0;                ///< samples added for the alignment (and the mixed-phase delay)
        double levelDB = 0.0;         ///< the channel's level in the reference band over the target
        double gainDB = 0.0;          ///< broadband gain of the level match
        double preRingingDB = -300.0; ///< largest tap before the main tap's neighbourhood, dB of the main tap
        Eigen::VectorXd measuredDB;   ///< smoothed, less levelDB
        Eigen::VectorXd targetDB;
        Eigen::VectorXd predictedDB;  ///< smoothed measured times correction, less levelDB + gainDB
        Eigen::VectorXd correctionDB; ///< the correction filter's own response (unsmoothed)
        Eigen::VectorXd requiredDB;   ///< boost the target asks for (can be above the limit)
    };

    /// A peaking section of the equaliser (its JSON form: "type" "BPF", "Fc", "dB", "Q").
    struct Peak {
        double fc, dB, Q;
    };

    /// Takes the default settings.
    RoomCorrection();

    /// Checks and takes the settings: 0 or ROOMCORRECTION_SETTINGS_ERROR with `error` set.
    /// (No method prints: the caller reports `error`.)
    int setSettings(const Settings& s, std::string& error);
    const Settings& settings() const { return set; }

    /** Reads a target curve: one "frequency,dB" pair a line (or the two columns separated by
     * spaces or tabs; Hz above 0, increasing; blank lines, lines starting with # or *, a UTF-8
     * byte-order mark and header lines that start with a letter before the first pair are skipped),
     * at least one pair.  The curve is interpolated linearly over log frequency and held
     * at its end values beyond them.  0 or ROOMCORRECTION_TARGET_ERROR with `error` naming
     * the line. */
    int setTarget(std::istream& in, std::string& error);
    /// The target at f Hz (0 dB for the flat target).
    double targetDB(double f) const;

    /** Adds a measured channel: its impulse response and its arrival (time of flight) in
     * samples.  0, ROOMCORRECTION_CHANNEL_ERROR or ROOMCORRECTION_RESPONSE_ERROR. */
    int addChannel(int channel, const Eigen::VectorXd& impulse, int arrival, std::string& error);

    /** Adds the response of a channel already added at a further measurement position.  The
     * magnitude is then designed from the spatial average: the power spectra of all positions,
     * each brought to the main position's level in the reference band, averaged (weighted by
     * Settings::positionWeights when given); the arrival,
     * the alignment and the excess phase of mixed phase stay the main position's.  0,
     * ROOMCORRECTION_CHANNEL_ERROR (no such channel) or ROOMCORRECTION_RESPONSE_ERROR. */
    int addPosition(int channel, const Eigen::VectorXd& impulse, std::string& error);

    /// Designs every filter: 0 or a negative code with `error` set.
    int design(std::string& error);

    /// The coefficient matrix: taps x outputs, column m the filter of output m.
    const Eigen::MatrixXd& filters() const { return coefficients; }
    const std::vector<Report>& reports() const { return channelReports; }
    /// The log-spaced frequencies of the reports (10 Hz ... fs/2).
    const Eigen::VectorXd& frequencies() const { return reportFrequencies; }

    /** Fits up to `sections` peaking sections to the mean over the channels of the corrections
     * the design asked for (Report::requiredDB within the range, boosts limited: the same target,
     * level, range and spatial average as the filters), or to the one of `channel` alone, greedily
     * at the largest remaining error and refined section by section.  (Not to the filters' own
     * refined shape: its sharper detail, which the smoothed response needs from a long filter,
     * costs ten sections more elsewhere than it gains.)  Call after design().
     * `residualDB` receives the RMS error left within the range.  (Peaking sections are 0 dB at
     * 0 Hz and half the rate: the broadband gain of the level match (Report::gainDB) and the
     * delay of the alignment (Report::delay) are not theirs.) */
    std::vector<Peak> fitEqualiser(int sections, double& residualDB, int channel = -1) const;
    /** The level of `channel` through a cascade of peaking sections, over its own level
     * (Report::levelDB): the median, over the report frequencies of the reference band, of its
     * smoothed measured response plus the sections over the target.  Call after design().  The
     * sections' error there moves the level: a channel equalised by them is level-matched by the
     * broadband gain Report::gainDB less this. */
    double equalisedLevelDB(const std::vector<Peak>& peaks, int channel) const;
    /// The response in dB of a cascade of peaking sections at f Hz, as the equaliser designs them.
    double equaliserDB(const std::vector<Peak>& peaks, double f) const;

    /** Smoothed deviation of a measured response from the target within the range, after
     * its own level: dB on `frequencies()` (for before/after reports).  `level` receives
     * the level that was taken off. */
    Eigen::VectorXd deviationDB(const Eigen::VectorXd& impulse, double& level) const;

    /** Fractional-octave smoothing of a power spectrum on the bins 0 ... n/2 of an n-point
     * DFT: bin k becomes the mean of the bins j with k 2^(-1/(2K)) <= j <= k 2^(1/(2K))
     * (bin 0 stays). */
    static Eigen::VectorXd smoothPower(const Eigen::VectorXd& power, double K);

    /** The minimum-phase filter (n taps) whose magnitude is `magnitude` on the bins
     * 0 ... n/2 of an n-point DFT, by the real cepstrum: log magnitude, folded onto the
     * positive times, exponentiated.  Magnitudes are floored at 1e-12 of their largest. */
    static Eigen::VectorXd minimumPhase(const Eigen::VectorXd& magnitude, Eigen::Index n);

    /// The first sample where |h| reaches half its peak (-1 for a silent response).
    static int arrivalOf(const Eigen::VectorXd& h);

private:
    struct Channel {
        int index;
        Eigen::VectorXd impulse;
        int arrival;
        std::vector<Eigen::VectorXd> positions; ///< responses at further positions
    };

    double rangeWeight(double f) const;
    static Eigen::VectorXd powerOf(const Eigen::VectorXd& impulse, Eigen::Index n);
    Eigen::VectorXd smoothedDB(const Eigen::VectorXd& impulse, Eigen::Index n) const;
    double levelOf(const Eigen::VectorXd& smoothedDB, Eigen::Index n) const;
    Eigen::VectorXd onReportGrid(const Eigen::VectorXd& binsDB, Eigen::Index n) const;
    Eigen::VectorXcd excessPhaseInverse(const Eigen::VectorXd& impulse, Eigen::Index n, double cycleScale) const;

    Settings set;
    std::vector<std::pair<double, double>> target; ///< (log frequency, dB); empty for flat
    std::vector<Channel> channels;
    Eigen::MatrixXd coefficients;
    std::vector<Report> channelReports;
    Eigen::VectorXd reportFrequencies;
};

#endif
