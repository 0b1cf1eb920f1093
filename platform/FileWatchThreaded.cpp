#include "FileWatchThreaded.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

FileWatchThreaded::FileWatchThreaded() {
    stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd < 0) stopFdError = -errno;
}

FileWatchThreaded::~FileWatchThreaded() {
    stop(); // a derived class has stopped already; this only covers a plain FileWatchThreaded
    if (stopFd >= 0) close(stopFd);
}

int FileWatchThreaded::threadMain() {
    fileWatchThreadedStarting();
    return watchLoop();
}

void FileWatchThreaded::wakeForStop() {
    if (stopFd < 0) return;
    const uint64_t one = 1;
    while (write(stopFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

int FileWatchThreaded::watchLoop() {
    if (getFD() < 0 || stopFd < 0) {
        // Without both descriptors the loop could neither see events nor be stopped.
        const int err = getFD() < 0 ? readEvents(events) : stopFdError;
        fprintf(stderr, "FileWatchThreaded::watchLoop : can't watch files : %s\n", strerror(-err));
        return err;
    }
    uint64_t count = 0;
    while (read(stopFd, &count, sizeof count) > 0) { // a wake-up left from an earlier stop
    }

    pollfd fds[2] = {{getFD(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    while (!stopRequested()) {
        if (nextEvent < events.size()) { // one event at a time, so that a stop is seen between two
            dispatch(events[nextEvent++]);
            continue;
        }
        events.clear();
        nextEvent = 0;
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            const int err = -errno;
            fprintf(stderr, "FileWatchThreaded::watchLoop : poll failed : %s\n", strerror(errno));
            return err;
        }
        if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) {
            fprintf(stderr, "FileWatchThreaded::watchLoop : a watched descriptor failed\n");
            return -EIO;
        }
        if (fds[1].revents & POLLIN)
            while (read(stopFd, &count, sizeof count) > 0) {
            }
        if (fds[0].revents & POLLIN) {
            const int r = readEvents(events);
            if (r < 0) {
                fprintf(stderr, "FileWatchThreaded::watchLoop : reading events failed : %s\n", strerror(-r));
                return r;
            }
        }
    }
    return 0;
}

void FileWatchThreaded::dispatch(Event& event) {
    char* name = &event.path[0];
    switch (event.kind) {
    case EventKind::CloseWrite:
        closeWrite(name);
        break;
    case EventKind::Modified:
        modified(name);
        break;
    case EventKind::AttribChange:
        attribChange(name, event.wd);
        break;
    case EventKind::DeleteSelf:
        deleteSelf(name);
        break;
    }
}
