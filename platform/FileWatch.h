#ifndef MOBU_PLATFORM_FILEWATCH_H
#define MOBU_PLATFORM_FILEWATCH_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <sys/inotify.h>
#include <vector>

/** Watches files (and directories) for changes through inotify.
 *
 * A watch follows a *path*, not an inode.  Editors and atomic writers often
 * replace a file by writing a temporary file and renaming it over the old one;
 * the user interface may rewrite a file in place or that way.  Both are seen
 * as one "closed after writing" of the watched path:
 *
 *  - rewritten in place (open, write, close): closeWrite, preceded by
 *    modified events for the writes;
 *  - replaced by rename (temporary file renamed over it): closeWrite once, and
 *    the watch moves to the new file (its watch descriptor changes);
 *  - attributes changed (chmod, touch, …): attribChange with the descriptor;
 *  - deleted or renamed away: deleteSelf; the path stays on the list and the
 *    watch moves to any file that later appears under the same name (a file
 *    created there is reported by closeWrite once its writer closes it).
 *
 * For that every watched file's directory is watched as well (for files closed
 * after writing, created or moved in); if the directory cannot be watched, the
 * file's own close-after-write events are used and a replacement is not
 * followed.  Events of a file's former inode after a replacement are dropped.
 * If the kernel's event queue overflows, every watched file that exists is
 * reported as closed after writing, so no rewrite is missed.
 *
 * A watched directory reports the same events for its entries, named
 * "directory/entry"; an entry that is itself watched is reported once, as a file.
 *
 * Names given to add() are used as given (not resolved) and reported as given.
 * One path per file: a second name for a file already watched is refused.
 *
 * add, addFile, rm and the look-ups may be called from any thread, also while
 * FileWatchThreaded's loop runs and from inside its hooks.
 */
class FileWatch {
public:
    /// What happened to a watched path.
    enum class EventKind { CloseWrite, Modified, AttribChange, DeleteSelf };

    /// One decoded event.
    struct Event {
        EventKind kind;
        std::string path; ///< the watched path (or "directory/entry")
        int wd;           ///< the path's watch descriptor (-1 when it has none now)
    };

    FileWatch();
    virtual ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    /** Watches a file or a directory.  Adding a path already watched changes nothing.
     * @return 0 when watching, else a negative errno (e.g. -ENOENT for a missing path,
     *         -EEXIST for another name of a file already watched). */
    virtual int add(std::string path);

    /// As add(), for a file only: a directory gives -EISDIR.
    virtual int addFile(std::string path);

    /** As addFile(), and a file that does not exist yet is waited for: its directory is
     * watched, and the file's creation (reported once its writer closes it) or a
     * complete file renamed onto its name is reported as a close after writing.
     * @return 0 when watching the file or waiting for it, else a negative errno
     *         (e.g. -ENOENT when its directory is missing too). */
    int addFileOrAwait(std::string path);

    /** Stops watching the path whose watch descriptor is wd.
     * @return 0, or -EINVAL when no watched path has that descriptor. */
    virtual int rm(int wd);

    /** Stops watching a path, also one whose file is absent now (waiting to reappear).
     * @return 0, or -EINVAL when the path is not watched. */
    int rmPath(const std::string& path);

    /// The watch descriptor of a watched path; -1 when not watched or its file is absent now.
    int getWatchDescriptor(const std::string& path) const;

    /// The watched path of a watch descriptor; "" when the descriptor is not one of ours.
    std::string getPath(int wd) const;

    /// The watched paths, sorted.
    std::vector<std::string> paths() const;

    /// The inotify descriptor (readable when events are pending), -1 if inotify is unavailable.
    int getFD() const { return fd; }

    /** Reads every pending event without blocking and appends the decoded events
     * (also doing the bookkeeping of replaced and deleted files).
     * @return the number of events appended, or a negative errno. */
    int readEvents(std::vector<Event>& events);

    /// Events of a watched file's own inode.
    static constexpr uint32_t FILE_MASK = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    /// Events of a watched directory and its entries.
    static constexpr uint32_t DIRECTORY_MASK = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF;
    /// Events of the directory holding watched files: entries closed after writing, created, moved in.
    static constexpr uint32_t PARENT_MASK = IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO;

private:
    /// A watched path.
    struct Entry {
        int wd = -1;       ///< kernel watch of the path, -1 while the file is absent
        int parentWd = -1; ///< kernel watch of a file's directory, -1 if none
        bool isDir = false;
    };
    /// A kernel watch: a watched path, the directory of watched files, or both.
    struct Node {
        std::string path;                         ///< the path it was added under
        bool watched = false;                     ///< the path itself is on the watch list
        std::map<std::string, std::string> files; ///< entry name -> watched path, for directories
    };

    int addLocked(const std::string& path, bool filesOnly, bool mayBeAbsent = false);
    /// Watches a file's directory for it (the entry's parentWd).  @return the directory's watch or -errno.
    int watchParentLocked(const std::string& path, Entry& entry);
    void removeLocked(const std::string& path);
    bool rearmLocked(const std::string& path);
    void dropNodeRoleLocked(int wd, bool asWatched);
    void decodeLocked(int wd, uint32_t mask, const char* name, std::vector<Event>& events);
    void overflowLocked(std::vector<Event>& events);

    int fd = -1;
    int initError = 0;
    mutable std::mutex lock;
    std::map<std::string, Entry> entries; ///< watched path -> its watches
    std::map<int, Node> nodes;            ///< kernel watch descriptor -> what it watches
};

#endif
