#ifndef MOBU_APPLICATIONS_MEASUREANALYSIS_H
#define MOBU_APPLICATIONS_MEASUREANALYSIS_H

#include <Eigen/Dense>

#include <array>
#include <string>
#include <vector>

/// The speed of sound in air at 20 °C (m/s): the distance that a time of flight stands for.
constexpr double speedOfSound = 343.0;

/** One recorded period divided by the played one over the band the chirp excited (bins within
 * 40 dB of the played period's strongest; the others are left out), back in time: one period of
 * the circular response.  Besides the linear response it holds, before it, the harmonics'. */
Eigen::VectorXd deconvolve(const Eigen::VectorXd& played, const Eigen::VectorXd& averaged);

/// Where a response arrives: the first sample reaching half its peak magnitude, and how clearly
/// the peak stands above the response's RMS (0 for a silent one).
struct Arrival {
    Eigen::Index at = 0;
    double clarity = 0.0;
};
Arrival findArrival(const Eigen::VectorXd& response);

/** The harmonics 2 ... 5 of an exponential sweep's recording (the sweep from f1 to f2 Hz in one
 * period of P samples).  Harmonic k's response lies P ln(k) / ln(f2 / f1) samples before the
 * linear one, circularly; each is cut from `lead` samples before its arrival up to where the
 * next lower harmonic's cut begins (at most `taps` samples), and the linear response is cut the
 * same way with the same length, so that the two compare at the same resolution. */
struct Harmonics {
    static constexpr int first = 2, last = 5;
    static constexpr Eigen::Index lead = 144;               ///< 3 ms at 48 kHz before each arrival
    std::array<Eigen::VectorXd, last - first + 1> response; ///< response[k - first]
    std::array<Eigen::VectorXd, last - first + 1> linear;   ///< the linear response, cut as harmonic k
};
Harmonics extractHarmonics(const Eigen::VectorXd& deconvolved, Eigen::Index arrival, double f1, double f2,
                           Eigen::Index taps);

/** Distortion against the fundamental's frequency f, on a 1/24-octave grid from `low` to half
 * of `high`: each harmonic's level relative to the fundamental, |H_k(k f)| / |H_1(f)|, where
 * k f lies in low ... high (NaN elsewhere), and the total (root of the sum of their squares) as
 * a fraction.  As CSV: frequency_hz, thd_percent, h2_db ... h5_db (an empty field: not valid). */
struct DistortionRow {
    double frequency = 0.0;
    double thd = 0.0;
    std::array<double, Harmonics::last - Harmonics::first + 1> level{};
};
std::vector<DistortionRow> distortion(const Harmonics& h, double low, double high, double fs);
std::string distortionCsv(const std::vector<DistortionRow>& rows);

#endif
