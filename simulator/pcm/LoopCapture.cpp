#include "LoopCapture.h"

#include <algorithm>
#include <cerrno>

namespace mobuloop {

int LoopCapture::setUp() {
    return model.load(config, config.playbackChannels);
}

int LoopCapture::hwParams(snd_pcm_hw_params_t* params) {
    const int err = LoopPCM::hwParams(params);
    if (err < 0) return err;
    frames.assign(static_cast<size_t>(io.buffer_size) * config.captureChannels, 0.0);
    wire.assign(static_cast<size_t>(io.buffer_size) * config.playbackChannels, 0.0);
    return 0;
}

int LoopCapture::prepare() {
    running = false;
    segment.capturePrepare();
    model.reset();
    hw = 0;
    armTimer();
    return 0;
}

int LoopCapture::start() {
    startNs = LoopSegment::nowNs();
    base = segment.captureStart(startNs);
    running = true;
    return 0;
}

int LoopCapture::stop() {
    segment.captureStop();
    running = false;
    return 0;
}

uint64_t LoopCapture::applied() const {
    const snd_pcm_uframes_t hwWrapped = hw % boundary;
    const snd_pcm_uframes_t behind = (hwWrapped + boundary - io.appl_ptr % boundary) % boundary;
    return hw - std::min<uint64_t>(behind, hw);
}

bool LoopCapture::target(int64_t now, uint64_t& end) {
    const uint64_t emitted = segment.updateEmitted(now);
    // Capture frames whose wire frame has been emitted (the first `delay` need none).
    const uint64_t available = (emitted > base ? emitted - base : 0) + config.delay;
    const uint64_t appl = applied();
    if (config.mode == LoopMode::lockstep) {
        end = std::max(hw, std::min<uint64_t>(available, appl + io.buffer_size));
        return true;
    }
    end = LoopSegment::framesBetween(startNs, now, config.rate);
    if (end > available && segment.playbackActive()) end = available;
    end = std::max(end, hw);
    return end - appl <= io.buffer_size;
}

bool LoopCapture::produce(uint64_t end) {
    const unsigned inputs = config.playbackChannels;
    const unsigned outputs = config.captureChannels;
    const size_t bufferFrames = io.buffer_size;
    uint64_t k = hw;
    // Frames before the delay has passed hear silence.
    for (; k < end && k < config.delay; ++k) {
        std::fill(wire.begin(), wire.begin() + inputs, 0.0);
        model.process(wire.data(), frames.data() + (k % bufferFrames) * outputs);
    }
    if (k < end) {
        const uint64_t count = end - k;
        if (!segment.read(base + (k - config.delay), count, wire.data())) return false;
        for (uint64_t i = 0; i < count; ++i, ++k)
            model.process(wire.data() + i * inputs, frames.data() + (k % bufferFrames) * outputs);
        segment.setCapturePosition(base + (k - config.delay));
    }
    return true;
}

snd_pcm_sframes_t LoopCapture::pointer() {
    if (running) {
        uint64_t end = hw;
        if (!target(LoopSegment::nowNs(), end) || !produce(end)) {
            segment.captureStop();
            running = false;
            return -EPIPE;
        }
        hw = end;
    }
    return wrap(hw);
}

snd_pcm_sframes_t LoopCapture::transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                                        snd_pcm_uframes_t size) {
    const unsigned outputs = config.captureChannels;
    const snd_pcm_uframes_t first = io.appl_ptr;
    for (snd_pcm_uframes_t f = 0; f < size; ++f) {
        const double* frame = frames.data() + ((first + f) % io.buffer_size) * outputs;
        for (unsigned c = 0; c < outputs; ++c)
            writeSample(areas[c], offset + f, frame[c]);
    }
    return static_cast<snd_pcm_sframes_t>(size);
}

bool LoopCapture::ready() {
    if (!running) return false;
    uint64_t end = hw;
    if (!target(LoopSegment::nowNs(), end)) return true; // let the application find the overrun
    return end - applied() >= availMin || io.state == SND_PCM_STATE_DRAINING;
}

} // namespace mobuloop
