#include "FileWatch.h"

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// The path without trailing slashes (the root stays "/").
std::string trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

/// Splits a path into its directory and its last component.
void split(const std::string& path, std::string& dir, std::string& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        name = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

/// "dir/name", without doubling the root's slash.
std::string joined(const std::string& dir, const std::string& name) {
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

} // namespace

FileWatch::FileWatch() {
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) initError = -errno;
}

FileWatch::~FileWatch() {
    if (fd >= 0) close(fd); // the kernel drops every watch of the instance with it
}

int FileWatch::add(std::string path) {
    std::lock_guard<std::mutex> guard(lock);
    return addLocked(trimmed(path), false);
}

int FileWatch::addFile(std::string path) {
    std::lock_guard<std::mutex> guard(lock);
    return addLocked(trimmed(path), true);
}

int FileWatch::addFileOrAwait(std::string path) {
    std::lock_guard<std::mutex> guard(lock);
    return addLocked(trimmed(path), true, true);
}

int FileWatch::rm(int wd) {
    std::lock_guard<std::mutex> guard(lock);
    const auto node = nodes.find(wd);
    if (node == nodes.end() || !node->second.watched) return -EINVAL;
    removeLocked(node->second.path);
    return 0;
}

int FileWatch::rmPath(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock);
    const std::string p = trimmed(path);
    if (entries.find(p) == entries.end()) return -EINVAL;
    removeLocked(p);
    return 0;
}

int FileWatch::getWatchDescriptor(const std::string& path) const {
    std::lock_guard<std::mutex> guard(lock);
    const auto e = entries.find(trimmed(path));
    return e == entries.end() ? -1 : e->second.wd;
}

std::string FileWatch::getPath(int wd) const {
    std::lock_guard<std::mutex> guard(lock);
    const auto node = nodes.find(wd);
    return node == nodes.end() || !node->second.watched ? std::string() : node->second.path;
}

std::vector<std::string> FileWatch::paths() const {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> result;
    for (const auto& e : entries)
        result.push_back(e.first);
    return result;
}

int FileWatch::addLocked(const std::string& path, bool filesOnly, bool mayBeAbsent) {
    if (fd < 0) return initError;
    if (path.empty()) return -ENOENT;
    const auto existing = entries.find(path);
    if (existing != entries.end()) {
        if (existing->second.wd >= 0) return 0;
        removeLocked(path); // waiting for its file: start afresh
    }

    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT || !mayBeAbsent) return -err;
        // Not there yet: its directory reports it when it comes (rearmLocked then watches it).
        Entry absent;
        const int parentWd = watchParentLocked(path, absent);
        if (parentWd < 0) return parentWd;
        entries[path] = absent;
        return 0;
    }
    Entry entry;
    entry.isDir = S_ISDIR(st.st_mode);
    if (entry.isDir && filesOnly) return -EISDIR;

    const uint32_t mask = (entry.isDir ? DIRECTORY_MASK | IN_ONLYDIR : FILE_MASK) | IN_MASK_ADD;
    const int wd = inotify_add_watch(fd, path.c_str(), mask);
    if (wd < 0) return -errno;
    Node& node = nodes[wd];           // a directory may already be watched as the parent of files
    if (node.watched) return -EEXIST; // another name of a path on the list
    node.path = path;
    node.watched = true;
    entry.wd = wd;

    if (!entry.isDir) watchParentLocked(path, entry); // replacements and new files under this name
    entries[path] = entry;
    return 0;
}

int FileWatch::watchParentLocked(const std::string& path, Entry& entry) {
    std::string dir, name;
    split(path, dir, name);
    const int parentWd = inotify_add_watch(fd, dir.c_str(), PARENT_MASK | IN_MASK_ADD | IN_ONLYDIR);
    if (parentWd < 0) return -errno;
    Node& parent = nodes[parentWd];
    if (parent.path.empty()) parent.path = dir;
    parent.files[name] = path;
    entry.parentWd = parentWd;
    return parentWd;
}

void FileWatch::removeLocked(const std::string& path) {
    const auto it = entries.find(path);
    if (it == entries.end()) return;
    const Entry entry = it->second;
    entries.erase(it);
    if (entry.parentWd >= 0) {
        const auto parent = nodes.find(entry.parentWd);
        if (parent != nodes.end()) {
            std::string dir, name;
            split(path, dir, name);
            parent->second.files.erase(name);
            dropNodeRoleLocked(entry.parentWd, false);
        }
    }
    if (entry.wd >= 0) dropNodeRoleLocked(entry.wd, true);
}

void FileWatch::dropNodeRoleLocked(int wd, bool asWatched) {
    const auto node = nodes.find(wd);
    if (node == nodes.end()) return;
    if (asWatched) node->second.watched = false;
    if (!node->second.watched && node->second.files.empty()) {
        inotify_rm_watch(fd, wd); // its IN_IGNORED then finds no node and is dropped
        nodes.erase(node);
    }
}

bool FileWatch::rearmLocked(const std::string& path) {
    const auto it = entries.find(path);
    if (it == entries.end() || it->second.isDir) return false;
    const int wd = inotify_add_watch(fd, path.c_str(), FILE_MASK | IN_MASK_ADD);
    Entry& entry = it->second;
    if (wd >= 0 && wd == entry.wd) return true; // still the same file
    // The file we watched is no longer at the path: forget its watch, so that
    // what still happens to it (in its new place or on its way out) is dropped.
    if (entry.wd >= 0) dropNodeRoleLocked(entry.wd, true);
    entry.wd = -1;
    if (wd < 0) return false; // nothing there now: wait for a file to appear
    Node& node = nodes[wd];
    if (node.watched) return false; // the file is on the list under another name
    node.path = path;
    node.watched = true;
    entry.wd = wd;
    return true;
}

int FileWatch::readEvents(std::vector<Event>& events) {
    if (fd < 0) return initError;
    const size_t before = events.size();
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return -errno;
        }
        if (n == 0) break;
        std::lock_guard<std::mutex> guard(lock);
        for (ssize_t offset = 0; offset < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            decodeLocked(event->wd, event->mask, event->len ? event->name : "", events);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return static_cast<int>(events.size() - before);
}

void FileWatch::decodeLocked(int wd, uint32_t mask, const char* name, std::vector<Event>& events) {
    if (mask & IN_Q_OVERFLOW) {
        overflowLocked(events);
        return;
    }
    const auto it = nodes.find(wd);
    if (it == nodes.end()) return; // a watch we gave up (a replaced file, a removed path)

    if (mask & IN_IGNORED) { // the kernel dropped the watch: the file or directory is gone
        const Node gone = it->second;
        nodes.erase(it);
        const auto entry = gone.watched ? entries.find(gone.path) : entries.end();
        if (entry != entries.end() && entry->second.wd == wd) {
            if (entry->second.isDir)
                entries.erase(entry); // a directory watch ends with its directory
            else
                entry->second.wd = -1; // a file waits for its name to reappear
        }
        for (const auto& file : gone.files) {
            const auto e = entries.find(file.second);
            if (e != entries.end() && e->second.parentWd == wd) e->second.parentWd = -1;
        }
        return;
    }

    if (*name) { // about an entry of a watched directory
        const auto file = it->second.files.find(name);
        if (file != it->second.files.end()) {
            const std::string path = file->second;
            if (mask & (IN_CREATE | IN_MOVED_TO)) {
                // A new file under a watched name.  One moved in is complete: report it
                // as written; one just created is reported when its writer closes it.
                if (rearmLocked(path) && (mask & IN_MOVED_TO))
                    events.push_back({EventKind::CloseWrite, path, entries[path].wd});
            }
            if (mask & IN_CLOSE_WRITE) events.push_back({EventKind::CloseWrite, path, entries[path].wd});
            return;
        }
        if (!it->second.watched) return;
        const std::string path = joined(it->second.path, name);
        if (mask & IN_MODIFY) events.push_back({EventKind::Modified, path, wd});
        if (mask & IN_ATTRIB) events.push_back({EventKind::AttribChange, path, wd});
        if (mask & IN_CLOSE_WRITE) events.push_back({EventKind::CloseWrite, path, wd});
        return;
    }

    if (!it->second.watched) return;
    const std::string path = it->second.path;
    const auto entry = entries.find(path);
    if (entry == entries.end()) return;
    if (mask & IN_MODIFY) events.push_back({EventKind::Modified, path, wd});
    if (mask & IN_ATTRIB) events.push_back({EventKind::AttribChange, path, wd});
    if ((mask & IN_CLOSE_WRITE) && entry->second.parentWd < 0) // else its directory reports it
        events.push_back({EventKind::CloseWrite, path, wd});
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        if (entry->second.isDir) {
            if (mask & IN_DELETE_SELF) events.push_back({EventKind::DeleteSelf, path, wd});
        } else {
            // Deleted or renamed away: follow the name.  A file moved away and back
            // before we looked is the same file at the same place: nothing happened.
            rearmLocked(path);
            if (entries[path].wd != wd) events.push_back({EventKind::DeleteSelf, path, wd});
        }
    }
}

void FileWatch::overflowLocked(std::vector<Event>& events) {
    std::vector<std::string> files;
    for (const auto& e : entries)
        if (!e.second.isDir) files.push_back(e.first);
    for (const auto& path : files)
        if (rearmLocked(path)) events.push_back({EventKind::CloseWrite, path, entries[path].wd});
}
