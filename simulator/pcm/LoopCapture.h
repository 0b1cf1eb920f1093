#ifndef MOBU_SIMULATOR_LOOPCAPTURE_H
#define MOBU_SIMULATOR_LOOPCAPTURE_H

#include "CaptureModel.h"
#include "LoopPCM.h"

#include <vector>

namespace mobuloop {

/** The capture end.  Capture frame k (counted from start) is what the capture
 * model makes of wire frame start + k - delay (silence for k < delay), where
 * start is the end of the emitted frames when the capture started.
 *
 * The hardware position advances, in lock-step mode, as far as the wire has
 * been emitted (never more than a buffer ahead of the application, so there
 * are no overruns); in real-time mode with the clock, but never past the
 * emitted frames while a playback run is active ("lagging behind" rather than
 * reading frames that are not there yet).  Frames are computed when the
 * position advances, into a local buffer the size of the PCM's buffer, so the
 * transfer callback may be called any number of times for the same frames
 * (as alsa-lib does with mmap access). */
class LoopCapture : public LoopPCM {
public:
    using LoopPCM::LoopPCM;

protected:
    int setUp() override;
    int start() override;
    int stop() override;
    snd_pcm_sframes_t pointer() override;
    snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                               snd_pcm_uframes_t size) override;
    int prepare() override;
    int hwParams(snd_pcm_hw_params_t* params) override;
    bool ready() override;

private:
    /// The position the hardware has reached at nowNs; false on an overrun.
    bool target(int64_t nowNs, uint64_t& frames);
    /// Computes capture frames [hw, end) into the local buffer; false on an overrun.
    bool produce(uint64_t end);
    /// The application's position as a 64-bit count.
    uint64_t applied() const;

    CaptureModel model;
    std::vector<double> frames; ///< buffer_size x capture channels
    std::vector<double> wire;   ///< buffer_size x playback channels
    uint64_t base = 0;          ///< wire position of capture frame `delay`
    uint64_t hw = 0;            ///< frames captured since prepare
    int64_t startNs = 0;
    bool running = false;
};

} // namespace mobuloop

#endif
