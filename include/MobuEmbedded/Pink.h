#ifndef MOBUEMBEDDED_PINK_H
#define MOBUEMBEDDED_PINK_H

#include "MobuEmbedded/MobuCommon.h"

#include <Eigen/Dense>
#include <fftw3.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

/** Pink noise in blocks, and its whitening.
 *
 * genNoiseMag(fs, N) prepares the pink and inverse-pink spectra of blocks of N samples
 * (20 Hz to 20 kHz) and the transforms; genNoise(out) then fills one block with pink
 * noise, the same in every column, without allocating.  A block of another length
 * than N is left silent, with one message until a block of the right length comes.
 * deNoise(data, N) whitens N samples of pink noise in place.
 */
class Pink : public MobuCommon {
public:
    Pink() = default;
    ~Pink() override;
    Pink(const Pink&) = delete;
    Pink& operator=(const Pink&) = delete;

    void genNoiseMag(int fs, int N);

    /// One block of pink noise in 32-bit integer scale in every column of out (frames x channels).
    template <typename Derived> void genNoise(const Eigen::DenseBase<Derived>& block);

    void deNoise(float* data, int N);

    /** Scales the pink spectrum (after genNoiseMag) so that genNoise's blocks have the
     * expected RMS value rms (in the blocks' 32-bit integer scale); silence stays silence. */
    void setNoiseLevel(double rms);

    double pinkScale = 1073741824.0; ///< 2^30
    Eigen::ArrayXcd HNoise;
    Eigen::ArrayXcd HNoiseInv;
    Eigen::ArrayXcd noiseSpectrum;
    Eigen::ArrayXd noiseTime;
    bool unscaled = false; ///< when clear, every inverse transform is scaled by 1 / N

private:
    void makeNoiseBlock(); ///< noiseTime = one block of pink noise
    void destroyPlans();

    fftw_plan forward = nullptr; ///< noiseTime -> noiseSpectrum (N / 2 + 1 bins)
    fftw_plan inverse = nullptr; ///< noiseSpectrum (N / 2 + 1 bins) -> noiseTime
    bool lengthWarned = false;
};

template <typename Derived> void Pink::genNoise(const Eigen::DenseBase<Derived>& block) {
    auto& out = const_cast<Eigen::DenseBase<Derived>&>(block);
    if (out.rows() != noiseTime.rows() || noiseTime.rows() == 0) {
        // Noise of another length would need another spectrum: this block stays silent.
        if (!lengthWarned)
            printf("Pink::genNoise : a block of %ld samples, but the noise is made for %ld: silence instead.\n",
                   static_cast<long>(out.rows()), static_cast<long>(noiseTime.rows()));
        lengthWarned = true;
        out.setZero();
        return;
    }
    lengthWarned = false;
    makeNoiseBlock();
    // Clamped to the 32-bit range: a rare peak past full scale clips rather than wrapping.
    constexpr double top = 2147483647.0, bottom = -2147483648.0;
    for (Eigen::Index c = 0; c < out.cols(); ++c)
        for (Eigen::Index n = 0; n < out.rows(); ++n)
            out(n, c) = static_cast<typename Derived::Scalar>(
                static_cast<int32_t>(std::min(top, std::max(bottom, noiseTime(n)))));
}

#endif
