#ifndef MOBU_PLATFORM_IMPULSEBANDLIMITED_H
#define MOBU_PLATFORM_IMPULSEBANDLIMITED_H

#include "Debug.h"

#include <Eigen/Dense>

#define IMPULSE_ARGUMENT_ERROR -40601 ///< a duration, rate or band edge that gives no filter

/// Error table of ImpulseBandLimited.
class ImpulseBandLimitedDebug : virtual public Debug {
public:
    ImpulseBandLimitedDebug();
};

/** A linear-phase band-pass impulse response, as a column of taps.
 *
 * generateImpulseShift(duration, fs, fLow, fHigh) makes round(duration * fs) taps
 * of a band-pass from fLow to fHigh Hz, exactly symmetric about the middle of the
 * column (a delay of half its length), with unit gain in the pass band and exactly
 * zero gain at DC when fLow > 0.  It is the difference of two Kaiser-windowed
 * (beta 8) sinc low-passes, each scaled to a DC gain of exactly one; an upper edge
 * at or above half the rate leaves the top open (the low-pass at fs / 2 is the
 * windowed half-band-shifted impulse: exactly an impulse for an odd length, with a
 * zero at fs / 2 for an even one).  Each edge is the -6 dB point while the window's
 * transition (about 5.1 fs / length wide) fits between the edge and DC; closer to
 * DC the high-pass is as steep as the length allows.
 */
template <typename FP> class ImpulseBandLimited : public Eigen::Matrix<FP, Eigen::Dynamic, 1> {
public:
    /// @return 0, or IMPULSE_ARGUMENT_ERROR (reported) leaving the column empty.
    int generateImpulseShift(float duration, float fs, float fLow, float fHigh);
};

extern template class ImpulseBandLimited<double>;
extern template class ImpulseBandLimited<float>;

#endif
