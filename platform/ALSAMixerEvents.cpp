#include "ALSAMixerEvents.h"

#include "ALSADebug.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace ALSA {

MixerEvents::MixerEvents() : thread(*this) {
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) wakeFdError = -errno;
}

MixerEvents::~MixerEvents() {
    stopEvents();
    if (wakeFd >= 0) ::close(wakeFd);
}

int MixerEvents::open(const std::string& deviceName) {
    const int err = Mixer::open(deviceName); // closes (and stops) first
    if (err < 0) return err;
    return runEvents(0);
}

void MixerEvents::close() {
    stopEvents();
    Mixer::close();
}

int MixerEvents::runEvents(int priority) {
    if (wakeFd < 0) return wakeFdError;
    if (!isOpen()) return ALSA_MIXER_NOT_OPEN_ERROR;
    return thread.run(priority);
}

int MixerEvents::stopEvents() {
    return thread.stop();
}

void MixerEvents::valueChanged(MixerElement& element) {
    handleValueEvents(element);
}

void MixerEvents::wake() {
    const uint64_t one = 1;
    // The counter cannot overflow here; a failed write would mean a closed descriptor.
    [[maybe_unused]] const ssize_t r = ::write(wakeFd, &one, sizeof one);
}

void MixerEvents::drainWake() {
    uint64_t count;
    [[maybe_unused]] const ssize_t r = ::read(wakeFd, &count, sizeof count);
}

int MixerEvents::eventLoop() {
    drainWake(); // a wake-up left over from an earlier stop
    mixerEventsStarting();
    std::vector<pollfd> fds;
    while (!thread.stopRequested()) {
        const int n = getPollDescriptors(fds);
        if (n < 0) return n;
        fds.push_back(pollfd{wakeFd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (fds.back().revents != 0) {
            drainWake();
            continue; // stop requested: the loop condition ends it
        }
        bool ready = false;
        for (int i = 0; i < n; ++i)
            ready = ready || fds[static_cast<size_t>(i)].revents != 0;
        if (!ready) continue;
        unsigned short revents = 0;
        int err = getPollRevents(fds, static_cast<unsigned int>(n), revents);
        if (err < 0) return err;
        if (revents & (POLLERR | POLLNVAL)) return -EIO; // the device went away; polling again would spin
        // Handle whenever a descriptor woke us, so that a readable one is always drained.
        if ((err = handleEvents()) < 0) return err;
    }
    return 0;
}

} // namespace ALSA
