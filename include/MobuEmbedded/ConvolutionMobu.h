#ifndef MOBUEMBEDDED_CONVOLUTIONMOBU_H
#define MOBUEMBEDDED_CONVOLUTIONMOBU_H

#ifndef EIGEN_FFTW_DEFAULT
#define EIGEN_FFTW_DEFAULT // FFTW behind Eigen's FFT front end
#endif
#include <Eigen/Dense>
#include <unsupported/Eigen/FFT>

#include "MobuEmbedded/MobuCommon.h"

#include <string>

/** Abstract block convolver.
 *
 * Owns the FFT front end (and so the cache of FFTW plans, one per size and
 * direction, made on first use and kept for the life of the object).  Inverse
 * transforms are scaled by 1/size.  Constructing the first convolver makes
 * FFTW's planner thread-safe, so engines may be created and used on several
 * threads at once.
 */
class ConvolutionMobu : virtual public Eigen::FFT<double>, public MobuCommon {
public:
    ConvolutionMobu();
    virtual ~ConvolutionMobu() = default;
    // The FFT front end owns its FFTW plans: a copy would destroy them twice.
    ConvolutionMobu(const ConvolutionMobu&) = delete;
    ConvolutionMobu& operator=(const ConvolutionMobu&) = delete;

    /// Loads one filter per column of the audio file; 0 or a negative code.
    virtual int loadTimeDomainCoefficients(std::string fileName) = 0;
    /// Loads one filter per column of h (rows are taps).
    virtual void loadTimeDomainCoefficients(Eigen::MatrixXd h) = 0;
    /// Clears the filter memory; coefficients stay.
    virtual void reset() = 0;
    /// Number of filter channels (0 before coefficients are loaded).
    virtual int getChCnt() = 0;
    /// Block length N processed per call.
    virtual int getSampleCnt() = 0;
};

#endif
