#ifndef MOBU_APPLICATIONS_MEASUREPLOT_H
#define MOBU_APPLICATIONS_MEASUREPLOT_H

#include "MeasureAnalysis.h"

#include <Eigen/Dense>

#include <string>
#include <vector>

/** The pictures of a measurement, through gnuplot (run with the script as its argument, no
 * shell).  Each is rendered into a new file of ours and renamed into place once complete; its
 * data and script are written as new files renamed into place, so a link planted in the folder
 * is never followed.  False when gnuplot failed or is missing, or a file could not be written. */

/// DIR/impulses.png: the responses (ms) and their magnitudes (dB on a log-frequency axis).
bool plotResponses(const std::string& dir, const std::vector<int>& channels, const std::vector<Eigen::VectorXd>& h);

/// DIR/distortion.png: per channel the THD (%) and each harmonic's level (dB) against the fundamental's frequency.
bool plotDistortion(const std::string& dir, const std::vector<int>& channels,
                    const std::vector<std::vector<DistortionRow>>& rows);

#endif
