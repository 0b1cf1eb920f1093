// Things other than a regular file planted where a program writes a file: a link
// to a file that must not change, a dangling link, a FIFO, a device and a directory.
#ifndef MOBU_TEST_PLANTEDPATHS_H
#define MOBU_TEST_PLANTEDPATHS_H

#include "TestSupport.h"

#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace mobutest {

enum class Planted { link, danglingLink, fifo, device, directory };

inline const char* plantedName(Planted p) {
    switch (p) {
    case Planted::link:
        return "link to a file";
    case Planted::danglingLink:
        return "dangling link";
    case Planted::fifo:
        return "FIFO";
    case Planted::device:
        return "device";
    case Planted::directory:
        return "directory";
    }
    return "?";
}

/// Every kind this process can make (a device node needs root).
inline std::vector<Planted> plantableKinds() {
    std::vector<Planted> kinds{Planted::link, Planted::danglingLink, Planted::fifo, Planted::directory};
    if (geteuid() == 0) kinds.push_back(Planted::device);
    return kinds;
}

/** A planted path and what must stay as it is: the file a link points at (victim,
 * holding "precious") and the file type at the path. */
struct Plant {
    std::string path, victim, nowhere;
    mode_t type = 0;

    /// Makes kind at path (victim and nowhere beside it); false when it could not.
    bool make(Planted kind, const std::string& at) {
        path = at;
        victim = at + ".victim";
        nowhere = at + ".nowhere";
        writeFile(victim, "precious");
        int r = -1;
        switch (kind) {
        case Planted::link:
            r = symlink(victim.c_str(), path.c_str());
            break;
        case Planted::danglingLink:
            r = symlink(nowhere.c_str(), path.c_str());
            break;
        case Planted::fifo:
            r = mkfifo(path.c_str(), 0666);
            break;
        case Planted::device:
            r = mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3));
            break; // a null device
        case Planted::directory:
            r = mkdir(path.c_str(), 0755);
            break;
        }
        struct stat st;
        if (r != 0 || lstat(path.c_str(), &st) != 0) return false;
        type = st.st_mode & S_IFMT;
        return true;
    }
    /// True when the path, the link's target and the dangling link's target are as planted.
    bool untouched() const {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type && readFile(victim) == "precious" &&
               !exists(nowhere);
    }
    void remove() const {
        removeTree(path);
        removeTree(victim);
        removeTree(nowhere);
    }
};

/// Names in dir beginning with a dot: the writer's new files left behind.
inline std::string hiddenFiles(const std::string& dir) {
    return runProcess({"/bin/sh", "-c", "ls -A \"$0\" | grep '^\\.' || true", dir}).out;
}

} // namespace mobutest

#endif
