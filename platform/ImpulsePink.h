#ifndef MOBU_PLATFORM_IMPULSEPINK_H
#define MOBU_PLATFORM_IMPULSEPINK_H

#include "ImpulseBandLimited.h"

#include <Eigen/Dense>

/** Linear-phase impulses whose magnitude follows a power of the frequency inside a band.
 *
 * generateImpulseShift(duration, fs, fLow, fHigh) makes L = round(duration * fs) taps,
 * exactly symmetric about (L - 1) / 2, by frequency sampling: at the L frequencies
 * k fs / L of an L-point DFT the response has the magnitude (f / 1000 Hz)^exponent for
 * fLow <= f <= fHigh and 0 elsewhere (DC and fs / 2 included), with the phase of a
 * delay of (L - 1) / 2 samples.  An L-point DFT of the taps gives exactly those
 * values, so noise shaped with it in the frequency domain follows the slope bin by
 * bin.  Unit gain at 1 kHz.  Arguments that give no filter: IMPULSE_ARGUMENT_ERROR
 * and an empty column.
 */
template <typename FP> class ImpulsePowerLaw : public Eigen::Matrix<FP, Eigen::Dynamic, 1> {
public:
    explicit ImpulsePowerLaw(double exponent) : exponent(exponent) {}
    /// @return 0, or IMPULSE_ARGUMENT_ERROR (reported).
    int generateImpulseShift(float duration, float fs, float fLow, float fHigh);

private:
    double exponent;
};

/// Pink: the magnitude falls as 1 / sqrt(f) (3 dB per octave).
template <typename FP> class ImpulsePink : public ImpulsePowerLaw<FP> {
public:
    ImpulsePink() : ImpulsePowerLaw<FP>(-0.5) {}
};

/// Inverse pink: the magnitude rises as sqrt(f); pink times inverse pink is flat in the band.
template <typename FP> class ImpulsePinkInv : public ImpulsePowerLaw<FP> {
public:
    ImpulsePinkInv() : ImpulsePowerLaw<FP>(0.5) {}
};

extern template class ImpulsePowerLaw<double>;
extern template class ImpulsePowerLaw<float>;

#endif
