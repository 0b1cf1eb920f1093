#ifndef MOBU_SIMULATOR_LOOPPLAYBACK_H
#define MOBU_SIMULATOR_LOOPPLAYBACK_H

#include "LoopPCM.h"

namespace mobuloop {

/** The playback end: frames are put on the wire when they are transferred and
 * count as played (the hardware position) once the segment has emitted them -
 * at once in lock-step mode, at the clock's pace in real-time mode.  In
 * real-time mode running out of frames is an underrun (-EPIPE). */
class LoopPlayback : public LoopPCM {
public:
    using LoopPCM::LoopPCM;

protected:
    int start() override;
    int stop() override;
    snd_pcm_sframes_t pointer() override;
    snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                               snd_pcm_uframes_t size) override;
    int prepare() override;
    bool ready() override;

private:
    /// Played frames since prepare at nowNs; false on an underrun.
    bool played(int64_t nowNs, uint64_t& frames);

    uint64_t base = 0;    ///< wire position of frame 0
    uint64_t written = 0; ///< frames transferred since prepare
    uint64_t hw = 0;      ///< frames played since prepare
    int64_t startNs = 0;
    bool running = false;
};

} // namespace mobuloop

#endif
