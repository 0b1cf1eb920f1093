#ifndef MOBU_CAL2IMPULSE_FREQUENCYWINDOW_H
#define MOBU_CAL2IMPULSE_FREQUENCYWINDOW_H

#include <Eigen/Dense>

/** Band weighting on a logarithmic frequency axis: every bin of s is weighted by
 * exp(-(ln(f / fc))^2 / (2 ln 2)) (1 at fc, 1/sqrt(2) an octave away, 0 at DC).  fc <= 0
 * becomes fs / 10, above fs / 2 it becomes fs / 4 (both logged as warnings).  The weights
 * (one per DFT bin) go to *window when it is given.  An empty s gives an empty column. */
Eigen::VectorXd applyGaussianFrequencyWindow(const Eigen::VectorXd& s, float fs, double crossoverFrequency,
                                             Eigen::VectorXd* window = nullptr);

/** The smoothed envelope of the deconvolution of s by r: |analytic signal of IDFT(S / R)|,
 * averaged over W samples (W = round(fs / (5 fc)), odd, 5 ... 401, at most the length).
 * A bin where the reference has (next to) no energy, |R(k)| <= 1e-12 max |R|, contributes
 * nothing instead of dividing by zero; a silent reference gives a zero envelope. */
void computeHLocAbsSmoothed(const Eigen::VectorXd& r, const Eigen::VectorXd& s, Eigen::VectorXd& out, float fs,
                            double crossoverFrequency);
/** The same over the excited band only: `excited` is true for the bins (0 ... n/2) the played
 * signal excites; the others contribute nothing (what is recorded there is noise alone). */
void computeHLocAbsSmoothed(const Eigen::VectorXd& r, const Eigen::VectorXd& s, Eigen::VectorXd& out, float fs,
                            double crossoverFrequency, const Eigen::Array<bool, Eigen::Dynamic, 1>& excited);

/// Bins whose magnitude is below this share of the strongest bin's count as not excited (-40 dB).
constexpr double excitedBandThreshold = 1e-2;
/** The bins 0 ... n/2 of a played period that are excited: magnitude at least
 * excitedBandThreshold of the strongest.  An empty or silent signal excites nothing. */
Eigen::Array<bool, Eigen::Dynamic, 1> excitedBins(const Eigen::VectorXd& played);

/** The arrival in an envelope: the earliest of its three highest local maxima (the global maximum
 * when it has none), moved 3 ms earlier (circularly).  peakValue is the envelope there. */
void computePeakIndices(const Eigen::VectorXd& envelope, float fs, int bufferLength, double& peakValue, int& peakIndex);

#endif
