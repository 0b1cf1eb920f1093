#include "ALSAStream.h"

#include "ALSADebug.h"
#include "ThreadPriority.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <functional>
#include <unistd.h>

namespace ALSA {

namespace {
constexpr const char* notOpenText = "The pcm device isn't open, open first.";

} // namespace

Stream::ParamsPtr Stream::allocateParams() {
    snd_pcm_hw_params_t* p = nullptr;
    snd_pcm_hw_params_malloc(&p);
    return ParamsPtr(p);
}

Stream::Stream() : space(allocateParams()), installed(allocateParams()) {
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); // without it a hurry only limits the next waits
}

Stream::Stream(const std::string& name, snd_pcm_stream_t dir) : Stream() {
    open(name, dir);
}

Stream::~Stream() {
    close();
    if (wakeFd >= 0) ::close(wakeFd);
}

void Stream::hurry(int milliseconds) {
    hurriedMs.store(std::max(1, milliseconds));
    if (wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
}

int Stream::report(int err, const std::string& what) const {
    return ALSADebug().evaluateError(err, what + " (" + deviceName + ")\n");
}

int Stream::open(const std::string& name, snd_pcm_stream_t dir) {
    close();
    deviceName = name;
    direction = dir;
    if (!space || !installed) return report(-ENOMEM, "when allocating the hardware parameters");
    const int err = snd_pcm_open(&handle, name.c_str(), dir, SND_PCM_NONBLOCK);
    if (err < 0) {
        handle = nullptr;
        return report(err, std::string("when opening the ") +
                               (dir == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture") + " PCM device");
    }
    // Allocated here, not while audio runs.
    pollDescriptors.assign(static_cast<size_t>(std::max(1, snd_pcm_poll_descriptors_count(handle))) + 1, pollfd{});
    return 0;
}

int Stream::close() {
    if (!handle) return 0;
    if (linked) unlink();
    const int err = snd_pcm_close(handle);
    handle = nullptr;
    spaceFilled = false;
    installedValid = false;
    xrunFlag = false;
    xrunCount = 0;
    return err < 0 ? report(err, "when closing the PCM device") : 0;
}

// --- hardware parameters -----------------------------------------------------------------

int Stream::fillParams() {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when filling the hardware parameters");
    const int err = snd_pcm_hw_params_any(handle, space.get());
    if (err < 0) return report(err, "when filling the hardware parameters");
    spaceFilled = true;
    return 0;
}

int Stream::narrow(const std::function<int(snd_pcm_hw_params_t*)>& set, const std::string& what) {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, what);
    if (!spaceFilled) {
        const int err = fillParams();
        if (err < 0) return err;
    }
    const int err = set(space.get());
    return err < 0 ? report(err, what) : 0;
}

int Stream::setAccess(snd_pcm_access_t access) {
    return narrow([&](snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_set_access(handle, p, access); },
                  "when setting the access");
}

int Stream::setFormat(snd_pcm_format_t format) {
    return narrow([&](snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_set_format(handle, p, format); },
                  std::string("when setting the format ") + snd_pcm_format_name(format));
}

int Stream::setSampleRate(unsigned int rate, int dir) {
    return narrow([&](snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_set_rate(handle, p, rate, dir); },
                  "when setting the sample rate " + std::to_string(rate));
}

int Stream::setChannels(unsigned int channels) {
    return narrow([&](snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_set_channels(handle, p, channels); },
                  "when setting the channel count " + std::to_string(channels));
}

int Stream::setPeriodSize(snd_pcm_uframes_t frames) {
    return narrow(
        [&](snd_pcm_hw_params_t* p) {
            int dir = 0;
            return snd_pcm_hw_params_set_period_size_near(handle, p, &frames, &dir);
        },
        "when setting the period size " + std::to_string(frames));
}

int Stream::setBufferSize(snd_pcm_uframes_t frames) {
    return narrow([&](snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_set_buffer_size_near(handle, p, &frames); },
                  "when setting the buffer size " + std::to_string(frames));
}

int Stream::setParams() {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when setting the hardware parameters");
    if (!spaceFilled) {
        const int err = fillParams();
        if (err < 0) return err;
    }
    const int err = snd_pcm_hw_params(handle, space.get());
    if (err < 0) return report(err, "when setting the hardware parameters");
    snd_pcm_hw_params_current(handle, installed.get());
    installedValid = true;
    return 0;
}

bool Stream::paramsSet() const {
    return handle && installedValid && snd_pcm_state(handle) != SND_PCM_STATE_OPEN;
}

const snd_pcm_hw_params_t* Stream::readBackParams() const {
    if (paramsSet()) return installed.get();
    return spaceFilled ? space.get() : nullptr;
}

// --- read-back ---------------------------------------------------------------------------------

int Stream::readBack(const std::function<int(const snd_pcm_hw_params_t*)>& get) const {
    if (!handle) return ALSA_PCM_NOT_OPEN_ERROR;
    const snd_pcm_hw_params_t* params = readBackParams();
    if (!params) return -EINVAL;
    const int err = get(params);
    return err < 0 ? err : 0;
}

int Stream::getSampleRate(unsigned int& rate) const {
    return readBack([&](const snd_pcm_hw_params_t* p) {
        int dir = 0;
        return snd_pcm_hw_params_get_rate(p, &rate, &dir);
    });
}

unsigned int Stream::getSampleRate() const {
    unsigned int rate = 0;
    return getSampleRate(rate) == 0 ? rate : 0;
}

int Stream::getChannels(unsigned int& channels) const {
    return readBack([&](const snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_get_channels(p, &channels); });
}

int Stream::getFormat(snd_pcm_format_t& format) const {
    return readBack([&](const snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_get_format(p, &format); });
}

int Stream::getAccess(snd_pcm_access_t& access) const {
    return readBack([&](const snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_get_access(p, &access); });
}

int Stream::getPeriodSize(snd_pcm_uframes_t& frames) const {
    return readBack([&](const snd_pcm_hw_params_t* p) {
        int dir = 0;
        return snd_pcm_hw_params_get_period_size(p, &frames, &dir);
    });
}

int Stream::getBufferSize(snd_pcm_uframes_t& frames) const {
    return readBack([&](const snd_pcm_hw_params_t* p) { return snd_pcm_hw_params_get_buffer_size(p, &frames); });
}

int Stream::getMaxChannels(unsigned int& channels) const {
    if (!handle) return ALSA_PCM_NOT_OPEN_ERROR;
    const ParamsPtr all = allocateParams();
    int err = all ? snd_pcm_hw_params_any(handle, all.get()) : -ENOMEM;
    if (err >= 0) err = snd_pcm_hw_params_get_channels_max(all.get(), &channels);
    return err < 0 ? err : 0;
}

int Stream::getFormatPhysicalWidth() const {
    snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
    const int err = getFormat(format);
    return err < 0 ? err : snd_pcm_format_physical_width(format);
}

// --- software parameters -------------------------------------------------------------------

int Stream::setSWParams(snd_pcm_uframes_t startThreshold, snd_pcm_uframes_t availMin) {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when setting the software parameters");
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    int err = snd_pcm_sw_params_current(handle, sw);
    snd_pcm_uframes_t boundary = 0;
    if (err >= 0 && snd_pcm_sw_params_get_boundary(sw, &boundary) == 0 && boundary > 0)
        startThreshold = std::min(startThreshold, boundary);
    if (err >= 0) err = snd_pcm_sw_params_set_start_threshold(handle, sw, startThreshold);
    if (err >= 0) err = snd_pcm_sw_params_set_avail_min(handle, sw, availMin);
    if (err >= 0) err = snd_pcm_sw_params(handle, sw);
    return err < 0 ? report(err, "when setting the software parameters") : 0;
}

// --- state -------------------------------------------------------------------------------------

snd_pcm_state_t Stream::getState() const {
    return handle ? snd_pcm_state(handle) : SND_PCM_STATE_DISCONNECTED;
}

const char* Stream::getStateName() const {
    return handle ? snd_pcm_state_name(snd_pcm_state(handle)) : notOpenText;
}

bool Stream::running() const {
    const snd_pcm_state_t state = getState();
    return handle && (state == SND_PCM_STATE_RUNNING || state == SND_PCM_STATE_DRAINING);
}

int Stream::prepare() {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when preparing");
    const int err = snd_pcm_prepare(handle);
    return err < 0 ? report(err, "when preparing") : 0;
}

int Stream::start() {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when starting");
    const int err = snd_pcm_start(handle);
    return err < 0 ? report(err, "when starting") : 0;
}

int Stream::drop() {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when stopping");
    const int err = snd_pcm_drop(handle);
    return err < 0 ? report(err, "when stopping") : 0;
}

int Stream::drain() {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when draining");
    snd_pcm_nonblock(handle, 0); // drain waits only in blocking mode
    const int err = snd_pcm_drain(handle);
    snd_pcm_nonblock(handle, 1);
    return err < 0 ? report(err, "when draining") : 0;
}

int Stream::link(Stream& other) {
    if (!handle || !other.handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when linking");
    const int err = snd_pcm_link(handle, other.handle);
    if (err < 0) return err; // not every device can be linked; the caller decides whether that matters
    linked = true;
    return 0;
}

int Stream::unlink() {
    if (!handle || !linked) return 0;
    linked = false;
    const int err = snd_pcm_unlink(handle);
    return err < 0 ? report(err, "when unlinking") : 0;
}

// --- transfers ---------------------------------------------------------------------------------

void Stream::noteXrun() {
    xrunFlag = true;
    ++xrunCount;
}

bool Stream::xrunDetected() const {
    return xrunFlag || (handle && snd_pcm_state(handle) == SND_PCM_STATE_XRUN);
}

snd_pcm_sframes_t Stream::transfer(void* buffer, snd_pcm_uframes_t frames, bool write) {
    const char* what = write ? "when writing" : "when reading";
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, what);
    char* data = static_cast<char*>(buffer);
    snd_pcm_uframes_t done = 0;
    // The device has timeoutMs to move once a transfer has to wait; the time
    // starts again whenever frames go through.
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline{};
    bool waiting = false;
    while (done < frames) {
        snd_pcm_sframes_t got =
            write ? snd_pcm_writei(handle, data, frames - done) : snd_pcm_readi(handle, data, frames - done);
        if (got == 0 && !running())
            // Prepared but not started (or stopped): no frame will fit or arrive
            // until someone starts the stream, so waiting here would be for ever.
            return report(-EBADFD, std::string(what) + (write ? ": the buffer is full" : ": nothing was captured") +
                                       " and the stream is " + snd_pcm_state_name(snd_pcm_state(handle)));
        if (got == -EAGAIN || got == 0) {
            if (!waiting) {
                deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
                waiting = true;
            } else if (Clock::now() >= deadline) {
                return report(ALSA_TRANSFER_TIMEOUT_ERROR, what);
            }
            const int ready = waitReady();
            if (ready == 0) return report(ALSA_TRANSFER_TIMEOUT_ERROR, what);
            if (ready > 0) continue;
            got = ready;
        }
        if (got == -EPIPE || got == -ESTRPIPE) {
            noteXrun();
            report(static_cast<int>(got), std::string(write ? "underrun " : "overrun ") + what);
            return got;
        }
        if (got < 0) return report(static_cast<int>(got), what);
        waiting = false;
        data += snd_pcm_frames_to_bytes(handle, got);
        done += static_cast<snd_pcm_uframes_t>(got);
    }
    return static_cast<snd_pcm_sframes_t>(frames);
}

int Stream::waitReady() {
    // snd_pcm_wait() starts its time-out again on every wake-up that does not make
    // the stream ready, so it can wait for ever; this waits timeoutMs in all.
    using Clock = std::chrono::steady_clock;
    const auto limit = [this] {
        const int hurried = hurriedMs.load();
        return Clock::now() + std::chrono::milliseconds(hurried > 0 ? std::min(hurried, timeoutMs) : timeoutMs);
    };
    auto deadline = limit();
    for (;;) {
        const int count =
            snd_pcm_poll_descriptors(handle, pollDescriptors.data(), static_cast<unsigned>(pollDescriptors.size() - 1));
        if (count < 0) return count;
        pollDescriptors[static_cast<size_t>(count)] = pollfd{wakeFd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return 0;
        const int polled = poll(pollDescriptors.data(), static_cast<nfds_t>(count + 1), static_cast<int>(left));
        if (polled < 0 && errno != EINTR) return -errno;
        if (polled <= 0) continue;
        if (pollDescriptors[static_cast<size_t>(count)].revents & POLLIN) { // hurried: the wait is shortened
            uint64_t wakes = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd, &wakes, sizeof wakes);
            deadline = std::min(deadline, limit());
        }
        unsigned short revents = 0;
        const int err =
            snd_pcm_poll_descriptors_revents(handle, pollDescriptors.data(), static_cast<unsigned>(count), &revents);
        if (err < 0) return err;
        if (revents & (POLLERR | POLLNVAL)) {
            switch (snd_pcm_state(handle)) {
            case SND_PCM_STATE_XRUN:
                return -EPIPE;
            case SND_PCM_STATE_SUSPENDED:
                return -ESTRPIPE;
            case SND_PCM_STATE_DISCONNECTED:
                return -ENODEV;
            default:
                return 1; // let the transfer find out what is wrong
            }
        }
        if (revents & (POLLIN | POLLOUT)) return 1;
    }
}

snd_pcm_sframes_t Stream::readFrames(void* buffer, snd_pcm_uframes_t frames) {
    return transfer(buffer, frames, false);
}

snd_pcm_sframes_t Stream::writeFrames(const void* buffer, snd_pcm_uframes_t frames) {
    // snd_pcm_writei does not write through its buffer argument.
    return transfer(const_cast<void*>(buffer), frames, true);
}

int Stream::recover(int err) {
    if (!handle) return report(ALSA_PCM_NOT_OPEN_ERROR, "when recovering");
    int result = err;
    if (err == -EPIPE) {
        result = snd_pcm_prepare(handle);
    } else if (err == -ESTRPIPE) {
        for (int attempt = 0; attempt < 50 && (result = snd_pcm_resume(handle)) == -EAGAIN; ++attempt)
            usleep(100000);
        if (result < 0) result = snd_pcm_prepare(handle);
    }
    return result < 0 ? report(result, "when recovering from an over/under-run") : 0;
}

// --- scheduling --------------------------------------------------------------------------------

int Stream::changeThreadPriority(int priority) {
    return ALSA::changeThreadPriority(priority);
}

int Stream::getThreadPriority() {
    return ALSA::getThreadPriority(true);
}

} // namespace ALSA
