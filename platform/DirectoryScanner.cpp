#include "DirectoryScanner.h"

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

int DirectoryScanner::open(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return DIRECTORYSCANNER_NODIR_ERROR;
    closedir(dir);
    dirPath = path;
    return 0;
}

int DirectoryScanner::mkDir(const std::string& path, mode_t mode) {
    if (mkdir(path.c_str(), mode) != 0) return -errno;
    return 0;
}
