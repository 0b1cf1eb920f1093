#ifndef MOBU_PLATFORM_SCALEREFERENCE_H
#define MOBU_PLATFORM_SCALEREFERENCE_H

#include <cstddef>
#include <cstdint>
#include <string>

/** The rescaling reference kept beside an audio file in "<file>.scale".
 *
 * One line of text, "<factor> <size> <hash>": the factor the file's samples are
 * multiplied by on reading, and the identity of the audio file it was written
 * for, its size in bytes and the 64-bit FNV-1a hash of all its bytes (16
 * hexadecimal digits).  A reference is ignored when it does not belong to the
 * file as it is now (another program replaced or changed the file), when it
 * can't be read or parsed, and when its factor lies outside [1, maxFactor]:
 * writers store 1 for data within full scale and the data's peak above it.
 *
 * Free of global state: the loop-back plug-in compiles this file in as well.
 */
namespace scalereference {

/// Largest factor accepted: 2^32, room for data counted in 32-bit sample steps.
constexpr double maxFactor = 4294967296.0;

/// Size and content hash of an audio file.
struct Identity {
    uint64_t size = 0;
    uint64_t hash = 0;
};

/// "<fileName>.scale".
inline std::string nameOf(const std::string& fileName) {
    return fileName + ".scale";
}

/// Continues a 64-bit FNV-1a hash over n bytes (start from the offset basis, the default).
uint64_t hashBytes(const void* bytes, size_t n, uint64_t hash = 0xcbf29ce484222325ull);

/// Identity of the whole file open on fd (read from its start); false when it can't be read.
bool identify(int fd, Identity& id);

/** The factor of fileName's reference, when that reference belongs to the regular file open
 * on fd and its factor is in range; false otherwise (factor unchanged). */
bool read(const std::string& fileName, int fd, double& factor);

/** The text of a reference: the factor and the identity of the audio file it belongs to
 * (writers compute the identity of the complete file and store the text beside it). */
std::string format(double factor, const Identity& id);

} // namespace scalereference

#endif
