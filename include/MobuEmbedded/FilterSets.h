#ifndef MOBUEMBEDDED_FILTERSETS_H
#define MOBUEMBEDDED_FILTERSETS_H

#include "MobuEmbedded/FIRMobu.h"
#include "MobuEmbedded/ObjectDoubleBuffer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

/** The processor's two filter sets (one FIR engine per input, feeding the outputs m with
 * m mod inputs = i) and the hand-over of a new set to the audio thread.
 *
 * A set is built from the coefficient file read once, into the inactive half of a double
 * buffer; the audio thread alone switches to it.  Builds are serialised (the first pass and
 * the file-watch thread).  What the file held when the newest set read it (its stamp) is
 * kept, so an event for a file that has not changed since builds nothing.  Before any set
 * has played, a channel that can't be loaded becomes 2048 zero taps; once a set plays, a
 * file that can't be loaded whole is refused and the set in force keeps playing.
 *
 * The audio thread uses only pending(), active() and completeSwitch().
 */
class FilterSets {
public:
    /// What a coefficient file held when it was read (to skip rebuilding the same file).
    struct FileStamp {
        bool valid = true; ///< false: matches no file (it changed while it was read)
        bool exists = false;
        uint64_t device = 0, inode = 0;
        int64_t modified = 0, changed = 0; ///< ns
        uint64_t size = 0;
        uint64_t hash = 0; ///< of the bytes of a regular file
        bool operator==(const FileStamp& o) const {
            return valid && o.valid && exists == o.exists && device == o.device && inode == o.inode &&
                   modified == o.modified && changed == o.changed && size == o.size && hash == o.hash;
        }
    };
    /** What a coefficient file holds now (identity, times, size, FNV-1a hash of its bytes);
     * read without blocking, so a FIFO under the name is not waited on. */
    static FileStamp stampOf(const std::string& path);

    FilterSets(int outputs, int inputs);
    ~FilterSets();
    FilterSets(const FilterSets&) = delete;
    FilterSets& operator=(const FilterSets&) = delete;

    void setFile(const std::string& path) { filterFile = path; }
    const std::string& file() const { return filterFile; }
    /// The later stages' precision of the sets built from now on.
    void setPrecision(FIRMobu::Precision p) { laterPrecision = p; }
    FIRMobu::Precision& precision() { return laterPrecision; }

    /// Deletes both sets; the first pass builds the next one and takes it up at once.
    void reset(int outputs);

    /** Builds a complete set for blocks of n frames at the given rate into the inactive set.
     * stop is asked between the build's steps, a few milliseconds apart: once it says so, the
     * build is abandoned (what it built is freed, the set in force stays) and this returns.
     * @return 0, -39902 (refused), -39903 (stopped) or -39901 (the set is then incomplete and
     *         not switched to). */
    int build(int n, unsigned rate, const std::function<bool()>& stop = {});
    void deleteInactive();
    void deleteActive();

    /** First pass: builds a set (unless one waits) and puts it in force.  Builds nothing when
     * stopRequested() says so.  @return 0, or -1 (stopped, or the build failed). */
    int startFirst(int n, unsigned rate, const std::function<bool()>& stopRequested);
    /** File-watch thread: once no switch is pending, builds the file as it is now (if it changed
     * since the newest set read it) and requests the switch.  afterBuild runs after the build,
     * under the build lock, whatever its outcome; why is logged when the switch is requested.
     * Nothing happens before the first pass or when giveUp() says so while waiting. */
    void rebuild(int n, unsigned rate, const std::function<bool()>& giveUp, const char* why,
                 const std::function<void()>& afterBuild = {});
    /// The newest set was built from the file as it is now (waits for a build in progress).
    bool readCurrentFile();

    // Audio thread.
    bool pending() const { return sets.transitionPending(); }
    std::vector<FIRMobu*>& active() { return *sets.activeBuffer(); }
    void completeSwitch() { sets.completeTransition(); }

private:
    std::vector<FIRMobu*>& inactive() { return *sets.inactiveBuffer(); }
    void deleteSet(std::vector<FIRMobu*>& set, const char* function, const char* which);
    /// True (logged) when the filter file holds what the newest set was built from; buildLock held.
    bool unchangedSinceBuilt();

    int M;
    const int inputs;
    std::string filterFile;
    FIRMobu::Precision laterPrecision = FIRMobu::defaultPrecision();
    ObjectDoubleBuffer<std::vector<FIRMobu*>> sets;
    std::mutex buildLock;           ///< serialises building sets (first pass, file-watch thread)
    std::atomic<bool> ready{false}; ///< the first pass has put a set in force
    FileStamp builtStamp;           ///< the filter file as the newest set read it (buildLock)
};

#endif
