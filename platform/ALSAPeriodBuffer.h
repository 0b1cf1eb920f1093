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
 * Blocks are row-major (frames x channels) of the sample type T, which is the
 * type of the samples in the areas (int32_t for S32, float for FLOAT).
 */
template <typename T> class PeriodBuffer {
public:
    using Block = Eigen::Array<T, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    /// Sizes the blocks (zeros) and starts a new period.
    void resize(Eigen::Index period, Eigen::Index inChannels, Eigen::Index outChannels) {
        input.setZero(period, inChannels);
        output.setZero(period, outChannels);
        fill = 0;
    }
    /// Silence out and a new period (the stream starts again).
    void reset() {
        input.setZero();
        output.setZero();
        fill = 0;
    }

    /** Moves size frames: source -> input block, output block -> destination, calling
     * process() (returning 0 or a negative code) each time a period is complete.
     * @return size, or the first negative code process() gave. */
    template <typename Process>
    snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* dst, snd_pcm_uframes_t dstOffset,
                               const snd_pcm_channel_area_t* src, snd_pcm_uframes_t srcOffset, snd_pcm_uframes_t size,
                               Process&& process) {
        const auto period = static_cast<snd_pcm_uframes_t>(input.rows());
        if (period == 0) return -EINVAL;
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
                if (ret < 0) return ret;
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

    snd_pcm_uframes_t fill = 0; ///< frames of the current period gathered so far
};

} // namespace ALSA

#endif
