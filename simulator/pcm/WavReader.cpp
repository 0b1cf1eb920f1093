#include "WavReader.h"

#include <ScaleReference.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mobuloop {

namespace {
uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

constexpr uint16_t formatPCM = 1, formatFloat = 3, formatExtensible = 0xFFFE;
constexpr size_t maximumSamples = size_t(1) << 26; // 256 MB of doubles: far beyond any room

/// The whole regular file open on fd; false for anything else or a read error.
bool readAll(int fd, std::vector<unsigned char>& bytes) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    unsigned char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}
} // namespace

int WavReader::read(const std::string& fileName) {
    // Opened without blocking: a FIFO or device under the room's name is refused, not waited on.
    const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -ENOENT;
    std::vector<unsigned char> bytes;
    const bool regular = readAll(fd, bytes);
    double scale = 1.0;
    if (regular) scalereference::read(fileName, fd, scale);
    close(fd);
    if (!regular) return -EINVAL;
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return -EINVAL;

    uint16_t format = 0, bits = 0, blockAlign = 0;
    const unsigned char* data = nullptr;
    size_t dataBytes = 0;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const unsigned char* chunk = bytes.data() + at;
        const size_t size = le32(chunk + 4);
        const size_t available = bytes.size() - at - 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && size <= available) {
            format = le16(chunk + 8);
            channels = le16(chunk + 10);
            rate = le32(chunk + 12);
            blockAlign = le16(chunk + 20);
            bits = le16(chunk + 22);
            if (format == formatExtensible && size >= 26)
                format = le16(chunk + 32); // the sub-format GUID starts with the format code
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = chunk + 8;
            dataBytes = std::min(size, available); // an unfinished file: take what is there
            break;
        }
        at += 8 + size + (size & 1);
    }
    const unsigned width = bits / 8;
    const bool integer = format == formatPCM && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    const bool real = format == formatFloat && (bits == 32 || bits == 64);
    if (!data || channels == 0 || (!integer && !real) || blockAlign != channels * width) return -EINVAL;
    const size_t frames = dataBytes / blockAlign;
    if (frames * channels > maximumSamples) return -EINVAL;

    samples.assign(channels, std::vector<double>(frames));
    for (size_t f = 0; f < frames; ++f)
        for (unsigned c = 0; c < channels; ++c) {
            const unsigned char* p = data + f * blockAlign + c * width;
            double v = 0.0;
            if (real && bits == 32) {
                float x;
                std::memcpy(&x, p, 4);
                v = x;
            } else if (real) {
                std::memcpy(&v, p, 8);
            } else if (bits == 8) {
                v = (p[0] - 128) / 128.0; // 8-bit WAV is unsigned
            } else {
                // Left-align the sample in 32 bits, then scale by 2^-31.
                uint32_t u = 0;
                for (unsigned b = 0; b < width; ++b)
                    u |= static_cast<uint32_t>(p[b]) << (8 * (4 - width + b));
                v = static_cast<int32_t>(u) * 0x1.0p-31;
            }
            samples[c][f] = std::isfinite(v) ? v * scale : 0.0;
        }
    return 0;
}

} // namespace mobuloop
