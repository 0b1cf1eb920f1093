#include "LoopPCM.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace mobuloop {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "S32_LE and FLOAT_LE are handled as native samples");

const snd_pcm_ioplug_callback_t LoopPCM::callbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = start_static;
    c.stop = stop_static;
    c.pointer = pointer_static;
    c.transfer = transfer_static;
    c.close = close_static;
    c.hw_params = hw_params_static;
    c.hw_free = hw_free_static;
    c.sw_params = sw_params_static;
    c.prepare = prepare_static;
    c.poll_revents = poll_revents_static;
    return c;
}();

LoopPCM::LoopPCM(const LoopConfig& loopConfig) : config(loopConfig) {
    timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd < 0) timerError = -errno;
}

LoopPCM::~LoopPCM() {
    segment.detach();
    if (timerFd >= 0) close(timerFd);
}

unsigned LoopPCM::channels() const {
    return io.stream == SND_PCM_STREAM_PLAYBACK ? config.playbackChannels : config.captureChannels;
}

int LoopPCM::create(const char* name, snd_pcm_stream_t stream, int mode) {
    if (timerFd < 0) return timerError;
    io.stream = stream; // channels() is needed before the ioplug fills it in
    // What can fail on its own (reading the room) before the shared memory is touched.
    int err = setUp();
    if (err < 0) return err;
    if ((err = segment.attach(config, stream)) < 0) return err;
    io.version = SND_PCM_IOPLUG_VERSION;
    io.name = "mobuloop: virtual board loop-back";
    // Status time stamps on the wall clock, as a sound card gives them by default: clients
    // such as aplay compare the trigger time stamp with gettimeofday().
    io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    io.poll_fd = timerFd;
    io.poll_events = POLLIN;
    io.mmap_rw = 0;
    io.callback = &callbacks;
    io.private_data = this;
    if ((err = snd_pcm_ioplug_create(&io, name, stream, mode)) < 0) return err;
    if ((err = setConstraints()) < 0) {
        snd_pcm_ioplug_delete(&io); // runs close_static, which leaves this object to the caller
        return err;
    }
    ownedByPCM = true;
    return 0;
}

int LoopPCM::setConstraints() {
    static const unsigned accesses[] = {SND_PCM_ACCESS_MMAP_INTERLEAVED, SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned formats[] = {SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_FLOAT_LE};
    const unsigned frameBytes = channels() * 4;
    int err = snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_ACCESS, 2, accesses);
    if (err >= 0) err = snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_FORMAT, 2, formats);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_CHANNELS, channels(), channels());
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_RATE, config.rate, config.rate);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 16 * frameBytes,
                                              static_cast<unsigned>(LoopSegment::maxBuffer / 2) * frameBytes);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 32 * frameBytes,
                                              static_cast<unsigned>(LoopSegment::maxBuffer) * frameBytes);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
    return err;
}

int LoopPCM::hwParams(snd_pcm_hw_params_t*) {
    if (io.buffer_size == 0 || io.buffer_size > LoopSegment::maxBuffer || io.period_size == 0) return -EINVAL;
    // The same boundary as alsa-lib's (the sw_params callback confirms it).
    boundary = io.buffer_size;
    while (boundary * 2 <= LONG_MAX - io.buffer_size)
        boundary *= 2;
    availMin = io.period_size;
    return 0;
}

void LoopPCM::armTimer() {
    long tickNs = 250000; // lock-step: waiting only for the other side
    if (config.mode == LoopMode::realtime) {
        tickNs = static_cast<long>(1e9 * io.period_size / config.rate / 4);
        tickNs = std::max(100000L, std::min(tickNs, 10000000L));
    }
    itimerspec tick{};
    tick.it_value.tv_nsec = tickNs;
    tick.it_interval.tv_nsec = tickNs;
    timerfd_settime(timerFd, 0, &tick, nullptr);
}

double LoopPCM::readSample(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame) const {
    const char* p = static_cast<const char*>(area.addr) + (area.first + frame * area.step) / 8;
    if (io.format == SND_PCM_FORMAT_S32_LE) {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return v * 0x1.0p-31;
    }
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void LoopPCM::writeSample(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame, double value) const {
    char* p = static_cast<char*>(area.addr) + (area.first + frame * area.step) / 8;
    if (io.format == SND_PCM_FORMAT_S32_LE) {
        double scaled = std::nearbyint(value * 0x1.0p31);
        if (!(scaled >= -2147483648.0)) // also NaN
            scaled = std::isnan(scaled) ? 0.0 : -2147483648.0;
        if (scaled > 2147483647.0) scaled = 2147483647.0;
        const int32_t v = static_cast<int32_t>(scaled);
        std::memcpy(p, &v, sizeof v);
        return;
    }
    const float v = static_cast<float>(value);
    std::memcpy(p, &v, sizeof v);
}

// --- trampolines ---------------------------------------------------------------

namespace {
LoopPCM* self(snd_pcm_ioplug_t* io) {
    return static_cast<LoopPCM*>(io->private_data);
}
} // namespace

int LoopPCM::start_static(snd_pcm_ioplug_t* io) {
    return self(io)->start();
}
int LoopPCM::stop_static(snd_pcm_ioplug_t* io) {
    return self(io)->stop();
}
snd_pcm_sframes_t LoopPCM::pointer_static(snd_pcm_ioplug_t* io) {
    return self(io)->pointer();
}
snd_pcm_sframes_t LoopPCM::transfer_static(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                           snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    return self(io)->transfer(areas, offset, size);
}
int LoopPCM::prepare_static(snd_pcm_ioplug_t* io) {
    return self(io)->prepare();
}
int LoopPCM::hw_params_static(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* params) {
    return self(io)->hwParams(params);
}

int LoopPCM::hw_free_static(snd_pcm_ioplug_t* io) {
    const itimerspec off{};
    timerfd_settime(self(io)->timerFd, 0, &off, nullptr);
    return 0;
}

int LoopPCM::sw_params_static(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    snd_pcm_uframes_t value = 0;
    if (snd_pcm_sw_params_get_avail_min(params, &value) == 0 && value > 0) self(io)->availMin = value;
    if (snd_pcm_sw_params_get_boundary(params, &value) == 0 && value > 0) self(io)->boundary = value;
    return 0;
}

int LoopPCM::close_static(snd_pcm_ioplug_t* io) {
    LoopPCM* pcm = self(io);
    if (pcm->ownedByPCM) {
        pcm->ownedByPCM = false;
        std::unique_ptr<LoopPCM> owned(pcm); // the PCM is going away: so is its plug-in object
    }
    return 0;
}

int LoopPCM::poll_revents_static(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents) {
    LoopPCM* pcm = self(io);
    uint64_t ticks = 0;
    if (nfds >= 1 && (pfd[0].revents & POLLIN)) (void)!read(pcm->timerFd, &ticks, sizeof ticks);
    const unsigned short ready = io->stream == SND_PCM_STREAM_PLAYBACK ? POLLOUT : POLLIN;
    switch (io->state) {
    case SND_PCM_STATE_PREPARED:
    case SND_PCM_STATE_RUNNING:
    case SND_PCM_STATE_DRAINING:
        *revents = pcm->ready() ? ready : 0;
        break;
    case SND_PCM_STATE_XRUN:
        *revents = ready | POLLERR;
        break;
    default:
        *revents = POLLERR;
        break;
    }
    return 0;
}

} // namespace mobuloop
