#ifndef MOBU_PLATFORM_FIR_H
#define MOBU_PLATFORM_FIR_H

#include "Debug.h"

#include <Eigen/Dense>

#include <memory>
#include <type_traits>

#define FIR_ARGUMENT_ERROR -40611 ///< a block size or coefficient column that gives no filter
#define FIR_BLOCK_ERROR -40612    ///< a block of another length than init() was given

/// Error table of FIR.
class FIRDebug : virtual public Debug {
public:
    FIRDebug();
};

/** Linear convolution of a stream of equal blocks with a column of taps, by FFT.
 *
 * init(B) sets the block length; loadTimeDomainCoefficients(h) plans real FFTs of
 * the smallest size of the form 2^a 3^b 5^c that holds B + taps - 1 samples and
 * clears the state.  Each filter(x, y) call then gives the next B samples of the
 * convolution of everything filtered since the load (or reset()) with h: the
 * tail of one block's response (taps - 1 samples, getState()) is carried into the
 * next by overlap-add, so filtering a signal in blocks equals filtering it whole.
 * A whole signal can be one block.  Results match direct convolution to the
 * rounding of double-precision FFTs (about 1e-15 of the signal's magnitude times
 * the taps' sum of magnitudes).
 *
 * Each object owns its plans and buffers, so objects can filter on different
 * threads at once; planning is serialised inside FFTW's thread-safe planner.
 * Only double precision is provided.
 */
template <typename T> class FIR {
    static_assert(std::is_same<T, double>::value, "FIR is provided in double precision");

public:
    using Column = Eigen::Matrix<T, Eigen::Dynamic, 1>;

    FIR();
    ~FIR();
    FIR(const FIR&) = delete;
    FIR& operator=(const FIR&) = delete;

    /// Blocks of blockSize samples; drops the coefficients.  0, or FIR_ARGUMENT_ERROR (reported) for < 1.
    int init(Eigen::Index blockSize);
    /// Loads the taps (one column) and clears the state.  0, or FIR_ARGUMENT_ERROR (reported) when
    /// init() has not set a block size, h is empty or holds a non-finite value; the filter is then unloaded.
    int loadTimeDomainCoefficients(const Eigen::Ref<const Column>& h);
    /// y = the next block of the convolution.  0, or FIR_BLOCK_ERROR (reported, y untouched and the state
    /// kept) when x or y is not one block long or no coefficients are loaded.
    int filter(const Eigen::Ref<const Column>& x, Eigen::Ref<Column> y);
    /// The same, returning the block; an empty column on error.
    Column filter(const Eigen::Ref<const Column>& x);
    /// Clears the carried tail: the next block starts a new signal.
    void reset();

    Eigen::Index getBlockSize() const { return blockSize; }
    Eigen::Index getFFTSize() const { return fftSize; }
    const Column& getCoefficients() const { return taps; }
    /// The part of the response that the next block receives (taps - 1 samples).
    const Column& getState() const { return tail; }

private:
    struct Plans;
    std::unique_ptr<Plans> plans; ///< FFTW plans and aligned buffers
    Eigen::Index blockSize = 0;
    Eigen::Index fftSize = 0;
    Column taps;
    Column tail;
};

extern template class FIR<double>;

#endif
