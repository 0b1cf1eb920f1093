#include "MobuEmbedded/MobuCommon.h"
#include "JsonText.h"

#include "MobuEmbedded/MobuDebug.h"

#include <DirectoryScanner.h>
#include <SafeFile.h>

#include <algorithm>
#include <mutex>

#include <cstdio>
#include <iostream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
/// True when path has ".." as one of its components.
bool climbs(const std::string& path) {
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        if (path.compare(at, end - at, "..") == 0) return true;
        at = end + 1;
    }
    return false;
}
} // namespace

int MobuCommon::setFileName(const char* name) {
    const std::string given = name ? name : "";
    if (!given.empty() && given[0] == '/') { // an absolute path is used as it is
        if (climbs(given)) return MobuDebug().evaluateError(MOBU_FILENAME_ERROR, "\"" + given + "\"\n");
        std::cout << "Setting the file name to " << given << std::endl;
        fileName = given;
        return 0;
    }
    // Anything else lives in ~/.mobu: a name with a folder in it would reach elsewhere.
    if (given.empty() || given == "." || given.find('/') != std::string::npos || climbs(given))
        return MobuDebug().evaluateError(MOBU_FILENAME_ERROR, "\"" + given + "\"\n");
    const struct passwd* pw = getpwuid(getuid());
    if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] == '\0')
        return DirectoryScannerDebug().evaluateError(DIRECTORYSCANNER_NODIR_ERROR, " your home directory");
    std::string path = std::string(pw->pw_dir) + "/.mobu";
    DirectoryScanner ds;
    if (ds.open(path) != 0) ds.mkDir(path, 0700); // a failure shows when the file is used
    path += "/";
    path += name;
    std::cout << "Setting the file name to " << path << std::endl;
    fileName = path;
    return 0;
}

namespace {

std::mutex statusFileLock; // guards the path only; writers don't wait for each other
std::string statusFile = "/tmp/status.json";

using mobujson::jsonText;

} // namespace

std::string MobuCommon::getStatusFile() {
    std::lock_guard<std::mutex> lock(statusFileLock);
    return statusFile;
}

void MobuCommon::setStatusFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(statusFileLock);
    statusFile = path;
}

int MobuCommon::setStatus(std::string error, std::string message, unsigned progressMax, unsigned progress) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(statusFileLock);
        path = statusFile;
    }
    const std::string text = "{\"error\" : \"" + jsonText(error) + "\",\"message\" : \"" + jsonText(message) +
                             "\",\"progressMax\" : " + std::to_string(progressMax) +
                             ",\"progress\" : " + std::to_string(progress) + "}";
    // A new file beside the old one, renamed over it: the reader sees the old or the new
    // status.  A link, FIFO, device or directory at the path is refused and left alone.
    const int ret = writeFileSafely(path, text);
    if (ret == SAFEFILE_NOT_REGULAR_ERROR || ret == SAFEFILE_OWNER_ERROR)
        return SafeFileDebug().evaluateError(ret, " : the status file " + path + "\n");
    if (ret != 0) return MobuDebug().evaluateError(-100, " : when opening the status file\n");
    return 0;
}
