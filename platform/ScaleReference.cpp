#include "ScaleReference.h"

#include <cerrno>
#include <fcntl.h>
#include <iomanip>
#include <locale>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace scalereference {

namespace {
/// A reference is one short line: anything longer is not one.
constexpr off_t maxReferenceBytes = 256;

/// The text of fileName's reference, read without blocking on anything but a regular file.
bool readText(const std::string& fileName, std::string& text) {
    const int fd = open(nameOf(fileName).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxReferenceBytes;
    if (ok) {
        char buffer[maxReferenceBytes + 1];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
        }
        ok = got >= 0 && got <= maxReferenceBytes;
        if (ok) text.assign(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return ok;
}
} // namespace

uint64_t hashBytes(const void* bytes, size_t n, uint64_t hash) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (size_t k = 0; k < n; ++k) {
        hash ^= p[k];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

bool identify(int fd, Identity& id) {
    std::vector<unsigned char> buffer(1 << 16);
    Identity found;
    found.hash = hashBytes(nullptr, 0);
    for (off_t at = 0;;) {
        const ssize_t got = pread(fd, buffer.data(), buffer.size(), at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        found.hash = hashBytes(buffer.data(), static_cast<size_t>(got), found.hash);
        found.size += static_cast<uint64_t>(got);
        at += got;
    }
    id = found;
    return true;
}

bool read(const std::string& fileName, int fd, double& factor) {
    std::string text;
    if (!readText(fileName, text)) return false;
    std::istringstream line(text);
    line.imbue(std::locale::classic());
    double f = 0.0;
    Identity stored;
    if (!(line >> f >> stored.size >> std::hex >> stored.hash) || !(line >> std::ws).eof()) return false;
    if (!(f >= 1.0 && f <= maxFactor)) return false; // also refuses NaN
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != stored.size) return false;
    Identity now;
    if (!identify(fd, now) || now.size != stored.size || now.hash != stored.hash) return false;
    factor = f;
    return true;
}

std::string format(double factor, const Identity& id) {
    std::ostringstream line;
    line.imbue(std::locale::classic());
    line.precision(17);
    line << factor << ' ' << id.size << ' ' << std::hex << std::setw(16) << std::setfill('0') << id.hash << '\n';
    return line.str();
}

} // namespace scalereference
