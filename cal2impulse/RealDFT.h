#ifndef MOBU_CAL2IMPULSE_REALDFT_H
#define MOBU_CAL2IMPULSE_REALDFT_H

#include <Eigen/Dense>

/// DFTs of exactly the given length (any length), by FFTW; safe to call from several threads.
namespace realdft {

/// Bins 0 ... n/2 of the DFT of a real column of length n (unnormalised).
Eigen::VectorXcd forward(const Eigen::VectorXd& x);
/// The real signal of length n whose bins 0 ... n/2 are `half` (the rest mirrored), normalised by 1/n.
Eigen::VectorXd inverse(const Eigen::VectorXcd& half, Eigen::Index n);
/// The complex inverse DFT of a full spectrum, normalised by 1/n.
Eigen::VectorXcd inverseComplex(const Eigen::VectorXcd& full);

} // namespace realdft

#endif
