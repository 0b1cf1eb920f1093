#ifndef MOBU_PLATFORM_ALSAPERIODBUFFER_H
#define MOBU_PLATFORM_ALSAPERIODBUFFER_H

#include <alsa/asoundlib.h>

#include <Eigen/Dense>

#include <algorithm>

namespace ALSA {

/** Whole periods for a filter plug-in whose transfers come in any size.
 *
 * alsa-lib hands an extplug's transfer() as many frames as are contiguous in both
 * rings, which need not be one period.  This buffer gathers the source frames into
 * an input block of one period and hands out the output block of the previous
 * period at the same positions: when the input block is full, process() turns it
 * into the next output block.  Every frame is filtered exactly once, in whole
 * periods, and the output lags the input by exactly one period (silence first).
 *
 * The block need not be the stream's period: a plug-in whose filters serve blocks
 * up to some size gathers longer periods in several blocks.
 *
 * Blocks are row-major (frames x channels) of the sample type T, which is the
 * type of the samples in the areas (int32_t for S32, float for FLOAT).
 */
template <typename T> class PeriodBuffer {
public:
    using Block = Eigen::Array<T, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    /// Sizes the blocks (zeros) and starts a new block.
    void resize(Eigen::Index block, Eigen::Index inChannels, Eigen::Index outChannels) {
        input.setZero(block, inChannels);
        output.setZero(block, outChannels);
        fill = 0;
        failed = 0;
    }
    /// Silence out and a new block (the stream starts again).
    void reset() {
        input.setZero();
        output.setZero();
        fill = 0;
        failed = 0;
    }

    /** Moves size frames: source -> input block, output block -> destination, calling
     * process() (returning 0 or a negative code) each time a block is complete.
     * When process() fails, the frames moved so far in this call are still handed on
     * (alsa-lib commits nothing of a transfer that fails, and those frames hold what
     * was made before the failure) and the code is returned by the next call.
     * @return size, the frames moved before a failure, or the code of an earlier failure. */
    template <typename Process>
    snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* dst, snd_pcm_uframes_t dstOffset,
                               const snd_pcm_channel_area_t* src, snd_pcm_uframes_t srcOffset, snd_pcm_uframes_t size,
                               Process&& process) {
        const auto period = static_cast<snd_pcm_uframes_t>(input.rows());
        if (period == 0) return -EINVAL;
        if (failed < 0) return failed;
        snd_pcm_uframes_t done = 0;
        while (done < size) {
            const snd_pcm_uframes_t chunk = std::min(size - done, period - fill);
            for (Eigen::Index c = 0; c < input.cols(); ++c)
                for (snd_pcm_uframes_t f = 0; f < chunk; ++f)
                    input(fill + f, c) = *at(src[c], srcOffset + done + f);
            for (Eigen::Index c = 0; c < output.cols(); ++c)
                for (snd_pcm_uframes_t f = 0; f < chunk; ++f)
                    *at(dst[c], dstOffset + done + f) = output(fill + f, c);
            fill += chunk;
            done += chunk;
            if (fill == period) {
                fill = 0;
                const int ret = process();
                if (ret < 0) {
                    failed = ret;
                    return static_cast<snd_pcm_sframes_t>(done);
                }
            }
        }
        return static_cast<snd_pcm_sframes_t>(size);
    }

    Block input;  ///< the period being gathered (complete when process() runs)
    Block output; ///< what process() makes of it, handed out during the next period

private:
    static T* at(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame) {
        return reinterpret_cast<T*>(static_cast<char*>(area.addr) + (area.first + frame * area.step) / 8);
    }

    snd_pcm_uframes_t fill = 0; ///< frames of the current block gathered so far
    int failed = 0;             ///< the code process() failed with, given by the next transfer
};

} // namespace ALSA

#endif
