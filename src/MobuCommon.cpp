#include "MobuEmbedded/MobuCommon.h"

#include <DirectoryScanner.h>

#include <cstdio>
#include <iostream>
#include <pwd.h>
#include <unistd.h>

int MobuCommon::setFileName(const char* name) {
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
