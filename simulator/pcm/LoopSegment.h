#ifndef MOBU_SIMULATOR_LOOPSEGMENT_H
#define MOBU_SIMULATOR_LOOPSEGMENT_H

#include "LoopConfig.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace mobuloop {

/// State of one direction as seen by the other one.
enum RunState : uint32_t { runIdle = 0, runPrepared = 1, runRunning = 2 };

/// One playback run: when it started and where on the wire its frame 0 goes.
struct PlaybackRun {
    uint32_t state = runIdle;
    uint64_t base = 0;   ///< wire position of playback frame 0 of this run
    int64_t startNs = 0; ///< CLOCK_MONOTONIC time of the start (running only)
};

/** The shared memory both directions of a loop-back meet in.
 *
 * It holds a ring of `capacity` frames of playback samples (doubles of full
 * scale, playback-channel interleaved) indexed by the "wire" position, an ever
 * growing frame count, and the bookkeeping of the two directions:
 *
 * - the playback writes its frames at base + (frames written since prepare)
 *   and "emits" them as its hardware position advances: at once in lock-step
 *   mode (as long as the capture is not more than 3/4 of the ring behind), at
 *   the clock's pace in real-time mode;
 * - the capture reads wire positions below `emitted` (positions not yet
 *   emitted read as silence), so it never sees a frame before it was played;
 * - a stopped playback leaves its emitted frames where they are, and the next
 *   run continues on the wire after them.
 *
 * One playback and one capture may be attached at a time (by process id; the
 * entry of a process that died is taken over).  The segment is created by the
 * first one attaching and stays, like a device, when both have detached (what
 * was played can still be captured); one that nobody is attached to is made
 * again when the configuration changed.  Remove it with shm_unlink (or from
 * /dev/shm) when it is no longer wanted.  Creation, attaching and detaching
 * are serialised with flock() on the segment.
 */
class LoopSegment {
public:
    static constexpr uint64_t capacity = 65536;         ///< frames in the ring (a power of two)
    static constexpr uint64_t maxBuffer = capacity / 4; ///< largest buffer a PCM may use

    LoopSegment() = default;
    ~LoopSegment();
    LoopSegment(const LoopSegment&) = delete;
    LoopSegment& operator=(const LoopSegment&) = delete;

    /** Opens (creating if needed) the segment of the configuration and takes the
     * role of the given direction.
     * @return 0, -EBUSY when another live process has that direction, -EINVAL when
     *         the segment was created with another rate, mode or playback channel
     *         count, or another negative errno. */
    int attach(const LoopConfig& config, snd_pcm_stream_t direction);
    /// Gives up the role (a running playback is stopped first).
    void detach();

    unsigned getPlaybackChannels() const { return playbackChannels; }
    LoopMode getMode() const { return mode; }

    /// Frames of `rate` elapsed from startNs to nowNs (0 when nowNs is earlier).
    static uint64_t framesBetween(int64_t startNs, int64_t nowNs, unsigned rate);
    /// CLOCK_MONOTONIC in nanoseconds.
    static int64_t nowNs();

    // --- playback side ---------------------------------------------------------
    /** Starts a new run after everything written so far (and after the capture's
     * position in real-time mode); stops a running one first.
     * @return the wire position of the run's frame 0. */
    uint64_t playbackPrepare(int64_t nowNs);
    void playbackStart(int64_t nowNs);
    /// Ends the run; frames already emitted stay readable.
    void playbackStop(int64_t nowNs);
    /// Slot of a wire position (playbackChannels doubles).
    double* slot(uint64_t position) { return ring + (position & (capacity - 1)) * playbackChannels; }
    /// Announces that frames up to (excluding) end are about to be overwritten.
    void claim(uint64_t end);
    /// Publishes frames written up to (excluding) end.
    void publish(uint64_t end);

    /** Advances `emitted` to what the running playback has played by nowNs and
     * returns it.  Both directions call it, so that neither depends on the
     * other process calling into alsa-lib. */
    uint64_t updateEmitted(int64_t nowNs);
    /// The playback run as last published.
    PlaybackRun playbackRun() const;
    /// True while a playback run is prepared or running in a process that is still alive.
    bool playbackActive() const;

    // --- capture side ----------------------------------------------------------
    /// Marks the capture prepared (it puts no limit on the playback yet).
    void capturePrepare();
    /** Marks the capture running and returns the wire position of its first frame: the
     * end of the emitted frames in real-time mode; in lock-step mode the first frame
     * of the latest playback run that no capture has taken yet (within the ring). */
    uint64_t captureStart(int64_t nowNs);
    void captureStop();
    /// Tells the playback (lock-step mode) that the capture has taken everything before position.
    void setCapturePosition(uint64_t position);
    /** Copies frames [position, position + count) into out (count x playbackChannels);
     * frames not emitted yet read as zeros.
     * @return false when part of them had already been overwritten (the capture fell
     *         a whole ring behind: an overrun). */
    bool read(uint64_t position, uint64_t count, double* out) const;

private:
    struct Header;
    void writeRun(const PlaybackRun& run);
    static void release(int fd, Header* header, size_t bytes, snd_pcm_stream_t direction);

    int fd = -1;
    Header* header = nullptr;
    double* ring = nullptr;
    size_t bytes = 0;
    std::string name;
    snd_pcm_stream_t direction = SND_PCM_STREAM_PLAYBACK;
    unsigned rate = 0;
    unsigned playbackChannels = 0;
    LoopMode mode = LoopMode::realtime;
};

} // namespace mobuloop

#endif
