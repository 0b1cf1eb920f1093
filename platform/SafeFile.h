#ifndef MOBU_PLATFORM_SAFEFILE_H
#define MOBU_PLATFORM_SAFEFILE_H

#include "Debug.h"

#include <string>
#include <sys/types.h>

#define SAFEFILE_NOT_REGULAR_ERROR -40701 ///< the path is a link, FIFO, device, socket or directory
#define SAFEFILE_OWNER_ERROR -40702       ///< the file belongs to another user in a shared (sticky) folder
#define SAFEFILE_CREATE_ERROR -40703      ///< no new file could be made in the folder
#define SAFEFILE_WRITE_ERROR -40704       ///< writing or closing the new file failed
#define SAFEFILE_RENAME_ERROR -40705      ///< the new file could not be moved into place
#define SAFEFILE_TOO_LARGE_ERROR -40706   ///< the file read is larger than its limit

/// Error table of the file writer.
class SafeFileDebug : virtual public Debug {
public:
    SafeFileDebug();
};

/** The way this system writes a file: a new file made in the same folder (never an
 * existing one opened), written, then renamed into place, so a reader sees the old
 * content or the new one and nothing in between.
 *
 * The path may be absent or a regular file; anything else there (a symbolic link,
 * FIFO, device, socket or directory) is refused and left as it is, never followed and
 * never replaced.  In a folder with the sticky bit (such as /tmp) a regular file of
 * another user is refused as well.  The target is checked when the file is created
 * and again just before it is moved into place; a path that appears in between is
 * not replaced.  Methods return 0 or a negative SAFEFILE_* code and print nothing:
 * callers report with the path.
 */
class SafeFile {
public:
    SafeFile() = default;
    /// Removes the new file unless it was committed.
    ~SafeFile();
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    /// 0 when path is absent or a regular file this process may replace, else a SAFEFILE_* code.
    static int checkTarget(const std::string& path);

    /** Checks path and makes the new file beside it (mode applied exactly, default 0644).
     * Any file begun before and not committed is abandoned. */
    int create(const std::string& path, mode_t mode = 0644);
    /// The new file's descriptor (-1 when none is open).
    int fd() const { return fileFd; }
    /// The new file's name, for libraries that open files by name.
    const std::string& tempName() const { return temp; }
    /// The final path given to create.
    const std::string& path() const { return target; }
    /// Appends all n bytes to the new file.
    int write(const void* bytes, size_t n);
    /// Flushes and closes the new file, checks the target again and renames the file over it.
    int commit();
    /// Removes the new file; the target is untouched.
    void abandon();

private:
    std::string target;
    std::string temp;
    int fileFd = -1;
};

/// Writes contents to path through a SafeFile; 0 or a SAFEFILE_* code (nothing printed).
int writeFileSafely(const std::string& path, const std::string& contents, mode_t mode = 0644);

/** Reads a regular file of at most `limit` bytes into text.  Opened without blocking, so a FIFO
 * is refused instead of waited on, and read no further than the limit (a device never ends).
 * @return 0; -errno when it can't be opened or read (-ENOENT: there is none);
 *         SAFEFILE_NOT_REGULAR_ERROR or SAFEFILE_TOO_LARGE_ERROR (nothing printed). */
int readBoundedFile(const std::string& path, long limit, std::string& text);

/** The folder of the debug files (the measurement's recordings, impulse responses and
 * CSV traces): the environment variable MOBU_DEBUG_DIR, or /tmp when it is unset or empty. */
std::string debugDir();
/// debugDir() + "/" + name.
std::string debugFilePath(const std::string& name);

#endif
