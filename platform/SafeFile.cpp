#include "SafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

SafeFileDebug::SafeFileDebug() {
    errors[SAFEFILE_NOT_REGULAR_ERROR] =
        "The path exists and is not a regular file (link, FIFO, device, socket or directory): refused. ";
    errors[SAFEFILE_OWNER_ERROR] = "The file belongs to another user in a shared folder: refused. ";
    errors[SAFEFILE_CREATE_ERROR] = "Couldn't create a new file in the folder of the path. ";
    errors[SAFEFILE_WRITE_ERROR] = "Couldn't write the new file. ";
    errors[SAFEFILE_RENAME_ERROR] = "Couldn't move the new file into place. ";
    errors[SAFEFILE_TOO_LARGE_ERROR] = "The file is larger than its limit. ";
}

namespace {
std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/// 0 with exists set, or a SAFEFILE_* code.
int inspect(const std::string& path, bool& exists) {
    exists = false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : SAFEFILE_CREATE_ERROR;
    exists = true;
    if (!S_ISREG(st.st_mode)) return SAFEFILE_NOT_REGULAR_ERROR;
    if (st.st_uid == geteuid()) return 0;
    // In a shared folder another user's file is theirs, even to root.
    struct stat folder;
    if (stat(folderOf(path).c_str(), &folder) != 0) return SAFEFILE_CREATE_ERROR;
    return (folder.st_mode & S_ISVTX) != 0 ? SAFEFILE_OWNER_ERROR : 0;
}
} // namespace

SafeFile::~SafeFile() {
    abandon();
}

int SafeFile::checkTarget(const std::string& path) {
    bool exists;
    return inspect(path, exists);
}

int SafeFile::create(const std::string& path, mode_t mode) {
    abandon();
    if (path.empty() || path.back() == '/') return SAFEFILE_NOT_REGULAR_ERROR;
    const int checked = checkTarget(path);
    if (checked != 0) return checked;
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string name =
        (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." + base + ".XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC); // O_CREAT | O_EXCL: a name nobody holds
    if (fd < 0) return SAFEFILE_CREATE_ERROR;
    if (fchmod(fd, mode) != 0) {
        close(fd);
        unlink(name.c_str());
        return SAFEFILE_CREATE_ERROR;
    }
    target = path;
    temp = name;
    fileFd = fd;
    return 0;
}

int SafeFile::write(const void* bytes, size_t n) {
    if (fileFd < 0) return SAFEFILE_WRITE_ERROR;
    const char* p = static_cast<const char*>(bytes);
    while (n > 0) {
        const ssize_t done = ::write(fileFd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return SAFEFILE_WRITE_ERROR;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return 0;
}

int SafeFile::commit() {
    if (temp.empty()) return SAFEFILE_WRITE_ERROR;
    if (fileFd >= 0) {
        const int closed = close(fileFd);
        fileFd = -1;
        if (closed != 0) {
            abandon();
            return SAFEFILE_WRITE_ERROR;
        }
    }
    bool exists;
    int ret = inspect(target, exists);
    if (ret == 0 && !exists) {
        // Into an empty place only: a path planted since the check is looked at again.
        if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            temp.clear();
            return 0;
        }
        if (errno == EEXIST)
            ret = inspect(target, exists);
        else if (errno != EINVAL && errno != ENOSYS) // a file system without it falls back to rename
            ret = SAFEFILE_RENAME_ERROR;
    }
    if (ret == 0 && rename(temp.c_str(), target.c_str()) != 0) ret = SAFEFILE_RENAME_ERROR;
    if (ret != 0) {
        abandon();
        return ret;
    }
    temp.clear();
    return 0;
}

void SafeFile::abandon() {
    if (fileFd >= 0) close(fileFd);
    fileFd = -1;
    if (!temp.empty()) unlink(temp.c_str());
    temp.clear();
}

int readBoundedFile(const std::string& path, long limit, std::string& text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat st {};
    int ret = fstat(fd, &st) != 0    ? -errno
              : !S_ISREG(st.st_mode) ? SAFEFILE_NOT_REGULAR_ERROR
              : st.st_size > limit   ? SAFEFILE_TOO_LARGE_ERROR
                                     : 0;
    char buffer[1 << 14];
    while (ret == 0) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ret = -errno;
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        if (static_cast<long>(text.size()) > limit) ret = SAFEFILE_TOO_LARGE_ERROR; // it grew since fstat
    }
    ::close(fd);
    return ret;
}

int writeFileSafely(const std::string& path, const std::string& contents, mode_t mode) {
    SafeFile file;
    int ret = file.create(path, mode);
    if (ret == 0) ret = file.write(contents.data(), contents.size());
    if (ret == 0) ret = file.commit();
    return ret;
}

std::string debugDir() {
    const char* dir = std::getenv("MOBU_DEBUG_DIR");
    return dir != nullptr && dir[0] != '\0' ? std::string(dir) : std::string("/tmp");
}

std::string debugFilePath(const std::string& name) {
    std::string dir = debugDir();
    if (dir.back() != '/') dir += '/';
    return dir + name;
}
