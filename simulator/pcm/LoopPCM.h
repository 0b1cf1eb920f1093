#ifndef MOBU_SIMULATOR_LOOPPCM_H
#define MOBU_SIMULATOR_LOOPPCM_H

#include "LoopConfig.h"
#include "LoopSegment.h"

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

namespace mobuloop {

/** One direction of the loop-back as an alsa-lib I/O plug-in.
 *
 * This base holds the ioplug record, the shared segment and the poll
 * descriptor: a CLOCK_MONOTONIC timerfd ticking a few times per period
 * (real-time) or every 250 us (lock-step), on whose ticks the derived class
 * says whether the stream is ready.  The C callbacks are static trampolines
 * (`*_static`) that forward to the virtual hooks.
 *
 * Hardware positions are kept as 64-bit frame counts since prepare and handed
 * to alsa-lib modulo the boundary (SND_PCM_IOPLUG_FLAG_BOUNDARY_WA), so a jump
 * of a whole buffer between two calls is never mistaken for no progress.
 *
 * The object is owned by its PCM once create() succeeded: closing the PCM
 * deletes it.
 */
class LoopPCM {
public:
    explicit LoopPCM(const LoopConfig& config);
    virtual ~LoopPCM();
    LoopPCM(const LoopPCM&) = delete;
    LoopPCM& operator=(const LoopPCM&) = delete;

    /** Attaches to the shared segment and creates the PCM with its constraints.
     * @return 0 (the PCM now owns this object), or a negative errno. */
    int create(const char* name, snd_pcm_stream_t stream, int mode);

    snd_pcm_t* getPCM() const { return io.pcm; }

protected:
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual snd_pcm_sframes_t pointer() = 0;
    virtual snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                                       snd_pcm_uframes_t size) = 0;
    virtual int prepare() = 0;
    virtual int hwParams(snd_pcm_hw_params_t* params);
    /// True when avail has reached avail_min (or the stream needs attention).
    virtual bool ready() = 0;
    /// Extra work before attaching and creating the PCM (capture: reading the room).
    virtual int setUp() { return 0; }

    /// The channel count of this direction.
    unsigned channels() const;
    /// A 64-bit frame count as alsa-lib's pointer (modulo the boundary).
    snd_pcm_sframes_t wrap(uint64_t frames) const { return static_cast<snd_pcm_sframes_t>(frames % boundary); }
    /// Starts the poll ticks (at prepare).
    void armTimer();

    /// Reads sample `frame` of a channel area as a double of full scale.
    double readSample(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame) const;
    /// Writes a double of full scale (rounded and saturated for S32_LE) into a channel area.
    void writeSample(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame, double value) const;

    snd_pcm_ioplug_t io{};
    LoopConfig config;
    LoopSegment segment;
    snd_pcm_uframes_t boundary = 1;
    snd_pcm_uframes_t availMin = 1;

private:
    static int start_static(snd_pcm_ioplug_t* io);
    static int stop_static(snd_pcm_ioplug_t* io);
    static snd_pcm_sframes_t pointer_static(snd_pcm_ioplug_t* io);
    static snd_pcm_sframes_t transfer_static(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                             snd_pcm_uframes_t offset, snd_pcm_uframes_t size);
    static int close_static(snd_pcm_ioplug_t* io);
    static int hw_params_static(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* params);
    static int hw_free_static(snd_pcm_ioplug_t* io);
    static int sw_params_static(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params);
    static int prepare_static(snd_pcm_ioplug_t* io);
    static int poll_revents_static(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                                   unsigned short* revents);
    static const snd_pcm_ioplug_callback_t callbacks;

    int setConstraints();

    int timerFd = -1;
    int timerError = 0;
    bool ownedByPCM = false;
};

} // namespace mobuloop

#endif
