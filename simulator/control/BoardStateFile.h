#ifndef MOBU_SIMULATOR_BOARDSTATEFILE_H
#define MOBU_SIMULATOR_BOARDSTATEFILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace mobuboard {

/** The virtual board's control values, kept in a file that every process using the
 * board shares, so that a value written by one process is read by all others.
 *
 * Layout (native byte order; the file never leaves the machine): a header (magic
 * "MOBUBRD", format version, layout hash of the control table, slot count), then one
 * slot per control of boardControls(): a generation counter and the values of up to
 * two channels.  Every write advances the slot's generation, so readers notice every
 * write, also one that stores the value already there (the board reports those as
 * changes too).  Writers take an exclusive lock on the file, readers a shared one.
 *
 * A missing, empty, truncated or foreign file (another layout), or a slot holding a
 * value outside its control's range, is (re)written with the board's initial values
 * when the file is opened.
 */
class BoardStateFile {
public:
    static constexpr unsigned int MAX_CHANNELS = 2;

    /// One control's stored state.
    struct Slot {
        uint32_t generation;
        int32_t value[MAX_CHANNELS];
    };

    BoardStateFile() = default;
    ~BoardStateFile();
    BoardStateFile(const BoardStateFile&) = delete;
    BoardStateFile& operator=(const BoardStateFile&) = delete;

    /** Opens the file (creating it with mode 0644 if missing), repairs it as described
     * above and starts watching it.  @return 0 or a negative errno. */
    int open(const std::string& path);

    /// Reads all slots, in table order.  @return 0 or a negative errno.
    int readAll(std::vector<Slot>& slots) const;

    /// Reads one slot.  @return 0 or a negative errno (-EINVAL for a bad index).
    int read(int index, Slot& slot) const;

    /** Stores the values of one control (as many as it has channels) and advances its
     * generation.  Values must already be in range.  @return 0 or a negative errno. */
    int write(int index, const long* values);

    /// A non-blocking inotify descriptor that becomes readable after any write to the file.
    int eventDescriptor() const { return notifyFd; }

    /// Reads and discards the notifications waiting on eventDescriptor().
    void drainEvents() const;

private:
    int repair();

    int fd = -1;
    int notifyFd = -1;
};

} // namespace mobuboard

#endif
