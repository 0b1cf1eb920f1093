#include "LoopPlayback.h"

#include <algorithm>
#include <cerrno>

namespace mobuloop {

int LoopPlayback::prepare() {
    running = false;
    base = segment.playbackPrepare(LoopSegment::nowNs());
    written = 0;
    hw = 0;
    armTimer();
    return 0;
}

int LoopPlayback::start() {
    startNs = LoopSegment::nowNs();
    segment.playbackStart(startNs);
    running = true;
    return 0;
}

int LoopPlayback::stop() {
    if (running) segment.playbackStop(LoopSegment::nowNs());
    running = false;
    return 0;
}

bool LoopPlayback::played(int64_t now, uint64_t& frames) {
    const uint64_t emitted = segment.updateEmitted(now);
    frames = std::min(emitted > base ? emitted - base : 0, written);
    // Real time: the clock wanted a frame that was never written.
    return !(config.mode == LoopMode::realtime && io.state == SND_PCM_STATE_RUNNING &&
             LoopSegment::framesBetween(startNs, now, config.rate) > written);
}

snd_pcm_sframes_t LoopPlayback::pointer() {
    if (running) {
        const int64_t now = LoopSegment::nowNs();
        if (!played(now, hw)) {
            hw = written;
            segment.playbackStop(now);
            running = false;
            return -EPIPE;
        }
    }
    return wrap(hw);
}

snd_pcm_sframes_t LoopPlayback::transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                                         snd_pcm_uframes_t size) {
    const uint64_t first = base + written;
    const unsigned n = config.playbackChannels;
    segment.claim(first + size);
    for (snd_pcm_uframes_t f = 0; f < size; ++f) {
        double* slot = segment.slot(first + f);
        for (unsigned c = 0; c < n; ++c)
            slot[c] = readSample(areas[c], offset + f);
    }
    segment.publish(first + size);
    written += size;
    if (running && config.mode == LoopMode::lockstep) segment.updateEmitted(LoopSegment::nowNs());
    return static_cast<snd_pcm_sframes_t>(size);
}

bool LoopPlayback::ready() {
    uint64_t frames = hw;
    if (running && !played(LoopSegment::nowNs(), frames)) return true; // let the application find the underrun
    if (io.state == SND_PCM_STATE_DRAINING)
        return true; // alsa-lib re-reads the position on every wake-up while draining
    const uint64_t queued = written - std::min(frames, written);
    return io.buffer_size - std::min<uint64_t>(queued, io.buffer_size) >= availMin;
}

} // namespace mobuloop
