#include "BoardStateFile.h"

#include "BoardControls.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mobuboard {

namespace {

constexpr char MAGIC[8] = {'M', 'O', 'B', 'U', 'B', 'R', 'D', '\0'};
constexpr uint32_t FORMAT_VERSION = 1;

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t layout;
    uint32_t count;
    uint32_t reserved;
};

off_t slotOffset(int index) {
    return static_cast<off_t>(sizeof(Header) + static_cast<size_t>(index) * sizeof(BoardStateFile::Slot));
}

off_t fileSize() {
    return slotOffset(static_cast<int>(boardControls().size()));
}

/// Holds a flock() on a descriptor for its lifetime.
class FileLock {
public:
    FileLock(int fd, int operation) : fd(fd) {
        while ((result = flock(fd, operation)) < 0 && errno == EINTR) {
        }
        if (result < 0) result = -errno;
    }
    ~FileLock() {
        if (result == 0) flock(fd, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    int status() const { return result; }

private:
    int fd;
    int result = 0;
};

int preadAll(int fd, void* buf, size_t n, off_t at) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        const ssize_t r = pread(fd, p, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -errno;
        if (r == 0) return -EIO; // shorter than the layout says
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return 0;
}

int pwriteAll(int fd, const void* buf, size_t n, off_t at) {
    const auto* p = static_cast<const char*>(buf);
    while (n > 0) {
        const ssize_t r = pwrite(fd, p, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -errno;
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return 0;
}

bool inRange(const BoardControl& c, const BoardStateFile::Slot& s) {
    for (unsigned int ch = 0; ch < c.channels; ++ch)
        if (s.value[ch] < c.min || s.value[ch] > c.max) return false;
    return true;
}

BoardStateFile::Slot initialSlot(const BoardControl& c, uint32_t generation) {
    BoardStateFile::Slot s{};
    s.generation = generation;
    for (unsigned int ch = 0; ch < c.channels; ++ch)
        s.value[ch] = static_cast<int32_t>(c.initial);
    return s;
}

} // namespace

BoardStateFile::~BoardStateFile() {
    if (notifyFd >= 0) ::close(notifyFd);
    if (fd >= 0) ::close(fd);
}

int BoardStateFile::open(const std::string& path) {
    if (fd >= 0) return -EBUSY;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -errno;
    int err = repair();
    if (err == 0) {
        notifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (notifyFd < 0 || inotify_add_watch(notifyFd, path.c_str(), IN_MODIFY) < 0) err = -errno;
    }
    if (err < 0) {
        if (notifyFd >= 0) ::close(notifyFd);
        ::close(fd);
        fd = notifyFd = -1;
    }
    return err;
}

int BoardStateFile::repair() {
    FileLock lock(fd, LOCK_EX);
    if (lock.status() < 0) return lock.status();
    const auto& table = boardControls();
    struct stat st;
    if (fstat(fd, &st) < 0) return -errno;

    Header h{};
    bool valid = st.st_size == fileSize() && preadAll(fd, &h, sizeof h, 0) == 0 &&
                 memcmp(h.magic, MAGIC, sizeof MAGIC) == 0 && h.version == FORMAT_VERSION &&
                 h.layout == boardLayoutHash() && h.count == table.size();
    if (!valid) {
        std::vector<char> image(static_cast<size_t>(fileSize()));
        memcpy(h.magic, MAGIC, sizeof MAGIC);
        h.version = FORMAT_VERSION;
        h.layout = boardLayoutHash();
        h.count = static_cast<uint32_t>(table.size());
        h.reserved = 0;
        memcpy(image.data(), &h, sizeof h);
        for (size_t i = 0; i < table.size(); ++i) {
            const Slot s = initialSlot(table[i], 1);
            memcpy(image.data() + slotOffset(static_cast<int>(i)), &s, sizeof s);
        }
        int err = pwriteAll(fd, image.data(), image.size(), 0);
        if (err == 0 && ftruncate(fd, fileSize()) < 0) err = -errno;
        return err;
    }
    for (size_t i = 0; i < table.size(); ++i) {
        Slot s;
        int err = preadAll(fd, &s, sizeof s, slotOffset(static_cast<int>(i)));
        if (err < 0) return err;
        if (!inRange(table[i], s)) {
            s = initialSlot(table[i], s.generation + 1);
            if ((err = pwriteAll(fd, &s, sizeof s, slotOffset(static_cast<int>(i)))) < 0) return err;
        }
    }
    return 0;
}

int BoardStateFile::readAll(std::vector<Slot>& slots) const {
    if (fd < 0) return -EBADF;
    FileLock lock(fd, LOCK_SH);
    if (lock.status() < 0) return lock.status();
    slots.resize(boardControls().size());
    return preadAll(fd, slots.data(), slots.size() * sizeof(Slot), slotOffset(0));
}

int BoardStateFile::read(int index, Slot& slot) const {
    if (fd < 0) return -EBADF;
    if (index < 0 || index >= static_cast<int>(boardControls().size())) return -EINVAL;
    FileLock lock(fd, LOCK_SH);
    if (lock.status() < 0) return lock.status();
    return preadAll(fd, &slot, sizeof slot, slotOffset(index));
}

int BoardStateFile::write(int index, const long* values) {
    if (fd < 0) return -EBADF;
    if (index < 0 || index >= static_cast<int>(boardControls().size())) return -EINVAL;
    const BoardControl& c = boardControls()[static_cast<size_t>(index)];
    FileLock lock(fd, LOCK_EX);
    if (lock.status() < 0) return lock.status();
    Slot s;
    int err = preadAll(fd, &s, sizeof s, slotOffset(index));
    if (err < 0) return err;
    s.generation += 1;
    for (unsigned int ch = 0; ch < c.channels; ++ch)
        s.value[ch] = static_cast<int32_t>(values[ch]);
    return pwriteAll(fd, &s, sizeof s, slotOffset(index));
}

void BoardStateFile::drainEvents() const {
    if (notifyFd < 0) return;
    alignas(inotify_event) char buf[4096];
    while (::read(notifyFd, buf, sizeof buf) > 0) {
    }
}

} // namespace mobuboard
