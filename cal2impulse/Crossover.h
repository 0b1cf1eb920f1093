#ifndef MOBU_CAL2IMPULSE_CROSSOVER_H
#define MOBU_CAL2IMPULSE_CROSSOVER_H

#include "Loudspeakers.h"

#include <Eigen/Dense>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

/** Design of the crossover filters of multi-way loudspeakers from each driver's own measurement.
 *
 * Every driver was measured alone at one microphone position.  Its filter is the product of:
 *  - its acoustic target, the crossover's band-pass: zero-phase magnitudes 1 / (1 + (f/fc)^n)
 *    (low-pass) and (f/fc)^n / (1 + (f/fc)^n) (high-pass), which add up to exactly 1 at every
 *    frequency, so that the drivers of a loudspeaker sum to a flat, linear-phase response (the
 *    linear-phase design); or the analog Linkwitz-Riley responses, each driver also given the
 *    all-pass of the crossovers it lies outside, so that the sum is an all-pass (minimum phase);
 *  - the correction of the driver towards that target: the measured magnitude smoothed (in power,
 *    over 1/K octave), over the driver's level in its band, inverted within the correction range
 *    (the band and a margin around it, never below what the measurement is valid for nor below
 *    the protection high-pass), boosts limited to maxBoostDB, cuts unlimited; beyond the range the
 *    correction stays at its edge value but never boosts; made minimum phase, so that it also
 *    undoes the driver's own minimum-phase response within the range;
 *  - the level match: every driver of a loudspeaker brought to the quietest one's level in its
 *    band, plus its trim;
 *  - the output guard's filters, which run after the filter: part of the driver's response as
 *    designed for, so that the correction also undoes them within the range;
 *  - the delay aligning the drivers within each loudspeaker, a fractional delay: from the lowest
 *    driver up, each one's phase at its lower crossover brought to the phase of the driver below,
 *    on the branch nearest the difference of their arrivals (each corrected driver's time of
 *    flight plus the delay its phase slope shows an octave either side of its crossovers).
 * The linear-phase filters are centred on taps/2 (the latency of the design); the minimum-phase
 * ones start 64 samples in (the room the fractional delays need).
 */
class Crossover {
public:
    enum class Phase { linear, minimum };

    struct Settings {
        double fs = 48000.0;
        int taps = 16384;
        Phase phase = Phase::linear;
        double maxBoostDB = 6.0;
        double smoothing = 6.0;     ///< K of the 1/K-octave smoothing
        double marginOctaves = 1.0; ///< correction beyond each crossover edge
        int outputs = 8;
    };

    /// One measured driver: its response (as mobu-measure wrote it), the shift it was aligned by
    /// (its time of flight in samples), and the band the measurement is valid in.
    struct Measured {
        Eigen::VectorXd impulse;
        double shift = 0.0;
        double validLowHz = 0.0, validHighHz = 0.0;
    };

    struct Report {
        int output = 0;
        std::string loudspeaker, role;
        double lowHz = 0.0, highHz = 0.0; ///< band edges (0: none)
        double correctLowHz = 0.0, correctHighHz = 0.0;
        double arrival = 0.0;                ///< measured arrival, samples
        double delay = 0.0;                  ///< samples added for the alignment
        double levelDB = 0.0;                ///< the driver's level in its band
        double gainDB = 0.0;                 ///< broadband gain of the level match and trim
        double maxBoostDB = 0.0;             ///< largest boost of the correction
        double belowDB = NAN, aboveDB = NAN; ///< predicted response two octaves outside the band, dB of the band
        Eigen::VectorXd predictedDB;         ///< the driver through its filter (smoothed), on frequencies()
    };

    struct Sum {
        std::string loudspeaker;
        double levelDB = 0.0;        ///< the target's level
        Eigen::VectorXd predictedDB; ///< the predicted sum (smoothed), on frequencies()
        Eigen::VectorXcd predicted;  ///< the predicted sum, on the design grid (bins 0 ... N/2)
        std::vector<double> crossovers;
    };

    /// 0 or -1 with error set.
    int setSettings(const Settings& s, std::string& error);
    const Settings& settings() const { return set; }

    /// Designs every described output that was measured: 0 or -1 with `error` set.  `measured`
    /// holds one entry per output (empty impulses for outputs not measured).
    int design(const std::vector<loudspeakers::Driver>& drivers, const std::vector<Measured>& measured,
               std::string& error);

    /// taps x outputs; outputs not described are zero.
    const Eigen::MatrixXd& filters() const { return coefficients; }
    const std::vector<Report>& reports() const { return driverReports; }
    const std::vector<Sum>& sums() const { return loudspeakerSums; }
    /// Log-spaced report frequencies, 10 Hz ... fs/2.
    const Eigen::VectorXd& frequencies() const { return reportFrequencies; }
    /// The design grid's size (the predicted sums have N/2 + 1 bins).
    Eigen::Index gridSize() const { return grid; }

    /// The response at f Hz of an output's guard filters (as the guard runs them, bilinear Butterworths).
    static std::complex<double> guardResponse(const OutputGuard::Limits& limits, double f, double fs);
    /// The acoustic target of a driver's band at f Hz (linear phase: its magnitude).
    static double targetMagnitude(const loudspeakers::Driver& d, double f);
    /// The 1/K-octave smoothed magnitude in dB of an impulse response on the report frequencies.
    Eigen::VectorXd smoothedDB(const Eigen::VectorXd& impulse) const;
    /// A driver's level: the median of the smoothed dB over its band, away from the edges.
    static double bandLevel(const Eigen::VectorXd& frequencies, const Eigen::VectorXd& smoothedDB, double lowHz,
                            double highHz);

    /** The delay (samples) and polarity of a response that is a delay within the regions (Hz): the
     * least-squares line through its unwrapped phase over those bins of an n-point DFT (bins
     * 0 ... n/2).  False when the regions hold no bin. */
    static bool phaseFit(const Eigen::VectorXcd& spectrum, Eigen::Index n, double fs,
                         const std::vector<std::pair<double, double>>& regions, double& delay);
    /// Where a driver's arrival is taken: an octave either side of each crossover edge, within lowHz ... highHz.
    static std::vector<std::pair<double, double>> alignmentRegions(const loudspeakers::Driver& d, double lowHz,
                                                                   double highHz);

private:
    std::complex<double> minimumTarget(const loudspeakers::Driver& d, const std::vector<loudspeakers::Driver>& all,
                                       double f) const;

    Settings set;
    Eigen::Index grid = 0;
    Eigen::MatrixXd coefficients;
    std::vector<Report> driverReports;
    std::vector<Sum> loudspeakerSums;
    Eigen::VectorXd reportFrequencies;
};

#endif
