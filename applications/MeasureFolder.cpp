#include "MeasureFolder.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

/// Moves from into to's place, removing what was at `to` (a folder tree, a link or a file).
int replaceWith(const std::string& from, const std::string& to) {
    struct stat st {};
    if (lstat(to.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode) ? removeTree(to) != 0 : unlink(to.c_str()) != 0) return -1;
    }
    return rename(from.c_str(), to.c_str());
}
} // namespace

int removeTree(const std::string& path) {
    // Depth first, physical: a link inside is removed, never entered.
    return nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0 ? 0 : -1;
}

MeasureFolder::~MeasureFolder() {
    abandon();
}

std::string MeasureFolder::begin(const std::string& target) {
    abandon();
    struct stat st {};
    std::string where = target;
    while (where.size() > 1 && where.back() == '/')
        where.pop_back();
    if (stat(where.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return "--out=" + target + " is not a folder";
        struct stat own {};
        if (lstat(where.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
            char resolved[PATH_MAX];
            if (!realpath(where.c_str(), resolved)) return "can't use " + target + ": " + strerror(errno);
            where = resolved;
        }
        if (access(where.c_str(), W_OK) != 0) return "can't write into " + target + ": " + strerror(errno);
    } else if (errno != ENOENT) {
        return "can't use " + target + ": " + strerror(errno);
    }
    std::vector<char> name(where.begin(), where.end());
    const std::string suffix = ".new-XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) return "can't make a folder beside " + target + ": " + strerror(errno);
    scratch = name.data();
    chmod(scratch.c_str(), 0755); // a results folder others may read, as a plain mkdir makes it
    final = where;
    return "";
}

std::string MeasureFolder::commit() {
    if (scratch.empty()) return "no run folder";
    struct stat st {};
    if (lstat(final.c_str(), &st) != 0) {
        if (renameat2(AT_FDCWD, scratch.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) != 0)
            return "can't move " + scratch + " to " + final + ": " + strerror(errno);
        scratch.clear();
        return "";
    }
    if (!S_ISDIR(st.st_mode)) return final + " is no longer a folder: the results stay in " + scratch;
    // One step for readers: the target holds the old results or the new ones, never neither.
    if (renameat2(AT_FDCWD, scratch.c_str(), AT_FDCWD, final.c_str(), RENAME_EXCHANGE) != 0)
        return "can't move " + scratch + " to " + final + ": " + strerror(errno);
    const std::string old = scratch;
    scratch.clear();
    if (replaceWith(old, final + ".previous") != 0)
        return "the earlier results could not be kept as " + final + ".previous (they are in " + old + ")";
    return "";
}

void MeasureFolder::abandon() {
    if (scratch.empty()) return;
    if (replaceWith(scratch, final + ".incomplete") == 0) scratch.clear();
    scratch.clear();
}
