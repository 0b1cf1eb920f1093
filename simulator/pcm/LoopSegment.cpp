#include "LoopSegment.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mobuloop {

namespace {
constexpr uint32_t segmentMagic = 0x4d4c4f4f; // "MLOO"
constexpr uint32_t segmentVersion = 1;
constexpr size_t headerBytes = 4096;
constexpr int attachAttempts = 100;

bool alive(int32_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

/// Raises a monotonic counter to at least value.
void raiseTo(std::atomic<uint64_t>& counter, uint64_t value) {
    uint64_t current = counter.load(std::memory_order_acquire);
    while (current < value && !counter.compare_exchange_weak(current, value, std::memory_order_acq_rel))
        ;
}
} // namespace

struct LoopSegment::Header {
    std::atomic<uint32_t> magic;
    uint32_t version;
    uint32_t rate;
    uint32_t playbackChannels;
    uint32_t mode;
    uint32_t capacity;
    std::atomic<int32_t> playbackPid; ///< process attached as playback, 0 when none
    std::atomic<int32_t> capturePid;  ///< process attached as capture, 0 when none
    // The playback run, written only by the playback's process, under a sequence count.
    std::atomic<uint32_t> runSequence;
    std::atomic<uint32_t> runState;
    std::atomic<uint64_t> runBase;
    std::atomic<int64_t> runStartNs;
    std::atomic<uint64_t> writeClaim; ///< end of the frames being (over)written
    std::atomic<uint64_t> written;    ///< end of the frames written
    std::atomic<uint64_t> emitted;    ///< end of the frames played
    std::atomic<uint32_t> captureState;
    std::atomic<uint64_t> captureWire; ///< first wire frame the capture has not taken yet
};

static_assert(sizeof(int64_t) == 8 && std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<int64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "the shared header needs address-free atomics");

LoopSegment::~LoopSegment() {
    detach();
}

int64_t LoopSegment::nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint64_t LoopSegment::framesBetween(int64_t startNs, int64_t endNs, unsigned rate) {
    if (endNs <= startNs) return 0;
    return static_cast<uint64_t>(static_cast<unsigned __int128>(endNs - startNs) * rate / 1000000000u);
}

int LoopSegment::attach(const LoopConfig& config, snd_pcm_stream_t dir) {
    detach();
    const std::string shmName = "/" + config.shm;
    const size_t totalBytes = headerBytes + capacity * config.playbackChannels * sizeof(double);
    for (int attempt = 0; attempt < attachAttempts; ++attempt) {
        const int f = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (f < 0) {
            const int err = -errno;
            SNDERR("mobuloop: couldn't open the shared memory %s: %s", shmName.c_str(), strerror(errno));
            return err;
        }
        if (flock(f, LOCK_EX) < 0) {
            const int err = -errno;
            close(f);
            return err;
        }
        // The last user may have removed the name while we waited for the lock:
        // make sure the name still leads to the object we hold.
        struct stat held {
        }, named{};
        const int check = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0600);
        const bool same = check >= 0 && fstat(f, &held) == 0 && fstat(check, &named) == 0 &&
                          held.st_ino == named.st_ino && held.st_dev == named.st_dev;
        if (check >= 0) close(check);
        if (!same) {
            close(f); // also drops the lock
            continue;
        }
        // A segment nobody is attached to is (re)made for this configuration: it may
        // be left from an earlier configuration with another rate or channel count.
        void* map = MAP_FAILED;
        bool fresh = held.st_size == 0;
        if (!fresh && static_cast<size_t>(held.st_size) >= headerBytes) {
            map = mmap(nullptr, static_cast<size_t>(held.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
            if (map != MAP_FAILED) {
                auto* h = static_cast<Header*>(map);
                const bool matches = static_cast<size_t>(held.st_size) == totalBytes &&
                                     h->magic.load(std::memory_order_acquire) == segmentMagic &&
                                     h->version == segmentVersion && h->rate == config.rate &&
                                     h->playbackChannels == config.playbackChannels &&
                                     h->mode == static_cast<uint32_t>(config.mode) && h->capacity == capacity;
                if (!matches) {
                    const bool inUse = alive(h->playbackPid.load()) || alive(h->capturePid.load());
                    munmap(map, static_cast<size_t>(held.st_size));
                    map = MAP_FAILED;
                    if (inUse) {
                        SNDERR("mobuloop: the shared memory %s is in use with another rate, mode or channel count",
                               shmName.c_str());
                        close(f);
                        return -EINVAL;
                    }
                    fresh = true;
                }
            }
        } else if (!fresh) {
            fresh = true; // too short to be one of ours
        }
        if (fresh) {
            if (ftruncate(f, 0) < 0 || ftruncate(f, static_cast<off_t>(totalBytes)) < 0) {
                const int err = -errno;
                SNDERR("mobuloop: couldn't size the shared memory %s: %s", shmName.c_str(), strerror(errno));
                close(f);
                return err;
            }
            map = mmap(nullptr, totalBytes, PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
        }
        if (map == MAP_FAILED) {
            const int err = -errno;
            close(f);
            return err;
        }
        auto* h = static_cast<Header*>(map);
        if (fresh) {
            // Truncated and grown again: zero filled, so the atomics start at 0 and the ring is silence.
            h->version = segmentVersion;
            h->rate = config.rate;
            h->playbackChannels = config.playbackChannels;
            h->mode = static_cast<uint32_t>(config.mode);
            h->capacity = static_cast<uint32_t>(capacity);
            h->magic.store(segmentMagic, std::memory_order_release);
        }
        std::atomic<int32_t>& role = dir == SND_PCM_STREAM_PLAYBACK ? h->playbackPid : h->capturePid;
        const int32_t owner = role.load();
        if (alive(owner)) {
            SNDERR("mobuloop: the %s side of %s is in use by process %d",
                   dir == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture", shmName.c_str(), owner);
            munmap(map, totalBytes);
            close(f);
            return -EBUSY;
        }
        if (dir == SND_PCM_STREAM_PLAYBACK) {
            // Whatever a dead owner left behind: its run is over.
            h->runSequence.store(h->runSequence.load() & ~1u);
            if (h->runState.load() != runIdle) {
                h->runState.store(runIdle);
                h->runSequence.fetch_add(2);
            }
        } else {
            h->captureState.store(runIdle);
        }
        role.store(static_cast<int32_t>(getpid()));
        flock(f, LOCK_UN);

        fd = f;
        header = h;
        ring = reinterpret_cast<double*>(static_cast<char*>(map) + headerBytes);
        bytes = totalBytes;
        name = shmName;
        direction = dir;
        rate = config.rate;
        playbackChannels = config.playbackChannels;
        mode = config.mode;
        return 0;
    }
    SNDERR("mobuloop: couldn't attach to the shared memory %s", shmName.c_str());
    return -EAGAIN;
}

void LoopSegment::release(int f, Header* h, size_t size, snd_pcm_stream_t dir) {
    flock(f, LOCK_EX);
    std::atomic<int32_t>& mine = dir == SND_PCM_STREAM_PLAYBACK ? h->playbackPid : h->capturePid;
    if (mine.load() == static_cast<int32_t>(getpid())) mine.store(0);
    munmap(h, size);
    close(f); // drops the lock
}

void LoopSegment::detach() {
    if (!header) return;
    if (direction == SND_PCM_STREAM_PLAYBACK)
        playbackStop(nowNs());
    else
        captureStop();
    release(fd, header, bytes, direction);
    fd = -1;
    header = nullptr;
    ring = nullptr;
}

PlaybackRun LoopSegment::playbackRun() const {
    PlaybackRun run;
    // The writer holds an odd count only for a few stores; a count stuck odd (a
    // process killed in between) is treated as an idle playback.
    for (int attempt = 0; attempt < 100000; ++attempt) {
        const uint32_t before = header->runSequence.load(std::memory_order_acquire);
        if (before & 1u) continue;
        // Acquire loads: the second look at the count cannot move before them.
        run.state = header->runState.load(std::memory_order_acquire);
        run.base = header->runBase.load(std::memory_order_acquire);
        run.startNs = header->runStartNs.load(std::memory_order_acquire);
        if (header->runSequence.load(std::memory_order_relaxed) == before) return run;
    }
    return PlaybackRun{};
}

bool LoopSegment::playbackActive() const {
    return playbackRun().state != runIdle && alive(header->playbackPid.load(std::memory_order_relaxed));
}

void LoopSegment::writeRun(const PlaybackRun& run) {
    const uint32_t sequence = header->runSequence.load(std::memory_order_relaxed);
    header->runSequence.store(sequence + 1, std::memory_order_relaxed);
    // Release stores: the odd count cannot move after them.
    header->runState.store(run.state, std::memory_order_release);
    header->runBase.store(run.base, std::memory_order_release);
    header->runStartNs.store(run.startNs, std::memory_order_release);
    header->runSequence.store(sequence + 2, std::memory_order_release);
}

uint64_t LoopSegment::updateEmitted(int64_t now) {
    const PlaybackRun run = playbackRun();
    const uint64_t current = header->emitted.load(std::memory_order_acquire);
    if (run.state != runRunning) return current;
    const uint64_t end = header->written.load(std::memory_order_acquire);
    if (end < run.base) return current;
    uint64_t target = end;
    if (mode == LoopMode::realtime) {
        target = run.base + std::min(end - run.base, framesBetween(run.startNs, now, rate));
    } else if (header->captureState.load(std::memory_order_acquire) == runRunning) {
        // Lock-step: do not run so far ahead that the playback would overwrite frames
        // the capture has not taken yet.
        const uint64_t limit = header->captureWire.load(std::memory_order_acquire) + capacity - maxBuffer;
        if (target > limit && alive(header->capturePid.load(std::memory_order_relaxed)))
            target = std::min(target, limit); // (a capture that died holds nobody back)
    }
    raiseTo(header->emitted, target);
    return std::max(current, target);
}

uint64_t LoopSegment::playbackPrepare(int64_t now) {
    if (playbackRun().state == runRunning) playbackStop(now);
    const uint64_t emittedEnd = header->emitted.load(std::memory_order_acquire);
    // After everything written so far, so that a late update from the previous
    // run can never mark frames of this one as played.
    uint64_t base = std::max({emittedEnd, header->written.load(), header->writeClaim.load()});
    if (mode == LoopMode::realtime && header->captureState.load() == runRunning)
        base = std::max(base, header->captureWire.load()); // a free-running capture is already there
    claim(base);
    // The gap between the old end and the new run plays as silence.
    for (uint64_t p = std::max(emittedEnd, base > capacity ? base - capacity : 0); p < base; ++p)
        std::fill(slot(p), slot(p) + playbackChannels, 0.0);
    publish(base);
    raiseTo(header->emitted, base);
    writeRun(PlaybackRun{runPrepared, base, 0});
    return base;
}

void LoopSegment::playbackStart(int64_t now) {
    const PlaybackRun run = playbackRun();
    writeRun(PlaybackRun{runRunning, run.base, now});
    updateEmitted(now);
}

void LoopSegment::playbackStop(int64_t now) {
    const PlaybackRun run = playbackRun();
    if (run.state == runIdle) return;
    updateEmitted(now);
    writeRun(PlaybackRun{runIdle, run.base, 0});
}

void LoopSegment::claim(uint64_t end) {
    header->writeClaim.store(end, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst); // before any of the overwriting stores
}

void LoopSegment::publish(uint64_t end) {
    header->written.store(end, std::memory_order_release);
}

void LoopSegment::setCapturePosition(uint64_t position) {
    header->captureWire.store(position, std::memory_order_release);
}

void LoopSegment::capturePrepare() {
    header->captureState.store(runPrepared, std::memory_order_release);
}

uint64_t LoopSegment::captureStart(int64_t now) {
    const uint64_t emittedEnd = updateEmitted(now);
    uint64_t start = emittedEnd;
    if (mode == LoopMode::lockstep) {
        // Lock-step has no "now": the capture gets the latest playback run from its
        // first frame, less what an earlier capture already took, as far as the ring
        // still holds it.  So the order in which the two sides start does not matter.
        const uint64_t oldest = emittedEnd > capacity - maxBuffer ? emittedEnd - (capacity - maxBuffer) : 0;
        start = std::max({playbackRun().base, header->captureWire.load(std::memory_order_acquire), oldest});
        start = std::min(start, emittedEnd);
    }
    header->captureWire.store(start, std::memory_order_release);
    header->captureState.store(runRunning, std::memory_order_release);
    return start;
}

void LoopSegment::captureStop() {
    if (header) header->captureState.store(runIdle, std::memory_order_release);
}

bool LoopSegment::read(uint64_t position, uint64_t count, double* out) const {
    const uint64_t emittedEnd = header->emitted.load(std::memory_order_acquire);
    const size_t frameSize = playbackChannels;
    uint64_t copied = 0;
    for (; copied < count && position + copied < emittedEnd; ++copied) {
        const double* s = ring + ((position + copied) & (capacity - 1)) * frameSize;
        std::copy(s, s + frameSize, out + copied * frameSize);
    }
    std::fill(out + copied * frameSize, out + count * frameSize, 0.0);
    if (copied == 0) return true;
    std::atomic_thread_fence(std::memory_order_acquire);
    return header->writeClaim.load(std::memory_order_seq_cst) <= position + capacity;
}

} // namespace mobuloop
