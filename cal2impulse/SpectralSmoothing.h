#ifndef MOBU_CAL2IMPULSE_SPECTRALSMOOTHING_H
#define MOBU_CAL2IMPULSE_SPECTRALSMOOTHING_H

#include <Eigen/Dense>

#include <vector>

/** Smoothing of power spectra whose resolution depends on the frequency, and the measure of how
 * much several measurement positions disagree.  All work on the bins 0 ... n/2 of an n-point DFT.
 *
 * Below a room's transition frequency its response is ruled by a few modes, narrow and, at one
 * seat, stable enough to correct; above it the response is a dense pattern of reflections that
 * changes completely within a few centimetres.  A correction narrow there fits the microphone and
 * misses everywhere else, so the resolution is the user's 1/K octave up to the transition and
 * widens over the next octave to a broad one above it.
 */
namespace spectralsmoothing {

/** The width in octaves of every bin's smoothing band: 1/lowK up to transitionHz, 1/highK from
 * twice transitionHz, log-interpolated between (a transitionHz of 0 or highK >= lowK: 1/lowK at
 * every frequency). */
Eigen::VectorXd widths(Eigen::Index bins, double fs, Eigen::Index n, double lowK, double highK, double transitionHz);

/// Bin k becomes the mean of the bins j with k 2^(-w_k/2) <= j <= k 2^(w_k/2) (bin 0 stays).
Eigen::VectorXd smooth(const Eigen::VectorXd& values, const Eigen::VectorXd& widths);

/** How far the positions' smoothed levels (dB, one vector each, already level-matched) spread
 * about their mean: the RMS difference from the mean at each bin (0 with fewer than two). */
Eigen::VectorXd spreadDB(const std::vector<Eigen::VectorXd>& positionsDB);

} // namespace spectralsmoothing

#endif
