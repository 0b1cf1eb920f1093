#ifndef MOBU_CAL2IMPULSE_COEFFICIENTMERGE_H
#define MOBU_CAL2IMPULSE_COEFFICIENTMERGE_H

#include <Eigen/Dense>

#include <string>
#include <vector>

/** Writing room-correction filters into a coefficient file that also carries the filters of
 * other outputs (crossovers, filters of outputs not measured this time).
 *
 * merge replaces the columns of the given outputs only: every other column keeps its samples
 * as stored (the shorter filters are padded with zeros to the longer length, which changes
 * nothing they do).  Before the file is replaced, what it held is kept as "<file>.previous"
 * (with its scale reference), and undo swaps the two back, so the file replaced by an undo
 * becomes the backup and nothing is lost.  Every file goes through SafeFile: a reader sees
 * the old file or the new one.  Functions return "" or what went wrong, with the file's name.
 */
namespace coefficientmerge {

/// "<file>.previous".
inline std::string backupOf(const std::string& file) {
    return file + ".previous";
}

/** Replaces the columns `outputs` of the coefficient file `file` by those of `filters` (taps x
 * outputs).  The file must exist and have the rate fs and as many channels as filters has
 * columns; otherwise nothing is written.  notes gets a line for the user when the kept outputs
 * could not be stored at their old scale (a filter above full scale changes the file's scale
 * reference: the kept outputs are then requantised, within one step of the file's samples).
 * The merged file keeps the word size of the file it replaces. */
std::string merge(const std::string& file, double fs, const Eigen::MatrixXd& filters, const std::vector<int>& outputs,
                  std::string& notes);

/** Keeps the current content of `file` (if any) as its backup; used before any replacement. */
std::string keepBackup(const std::string& file);

/// Puts the backup back as `file`; the file it replaces becomes the backup.
std::string undo(const std::string& file);

} // namespace coefficientmerge

#endif
