#ifndef MOBU_PLATFORM_DIRECTORYSCANNER_H
#define MOBU_PLATFORM_DIRECTORYSCANNER_H

#include "Debug.h"

#include <string>
#include <sys/types.h>

#define DIRECTORYSCANNER_NODIR_ERROR -40205 ///< the directory could not be opened

/// Error table of DirectoryScanner.
class DirectoryScannerDebug : virtual public Debug {
public:
    DirectoryScannerDebug() { errors[DIRECTORYSCANNER_NODIR_ERROR] = "Could not find that directory : "; }
};

/** Opens and creates directories.
 *
 * open() checks that a path names a readable directory; mkDir() creates one
 * directory with the given mode (its parent must exist).
 */
class DirectoryScanner {
public:
    DirectoryScanner() = default;

    /// Returns 0 when path is a directory that can be opened, otherwise -40205.
    int open(const std::string& path);
    /// Creates path with the given mode; 0 on success, -errno otherwise.
    int mkDir(const std::string& path, mode_t mode);

    /// The path given to the last successful open().
    const std::string& path() const { return dirPath; }

private:
    std::string dirPath;
};

#endif
