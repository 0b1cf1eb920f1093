#ifndef MOBU_SIMULATOR_WAVREADER_H
#define MOBU_SIMULATOR_WAVREADER_H

#include <string>
#include <vector>

namespace mobuloop {

/** Reads a WAV file (integer PCM of 8, 16, 24 or 32 bits, or IEEE float of 32
 * or 64 bits, plain or WAVE_FORMAT_EXTENSIBLE) into doubles of full scale.
 *
 * The plug-in reads its impulse response itself rather than through libsox:
 * libsox's global initialisation belongs to the process that loads the
 * plug-in, which may be using libsox on its own.  Like the platform's audio
 * files, the factor of a "<file>.scale" that belongs to the file multiplies
 * the samples (see platform/ScaleReference.h).
 */
class WavReader {
public:
    /// @return 0, or a negative errno (-ENOENT, -EINVAL for a file that isn't a regular WAV file it can read).
    int read(const std::string& fileName);

    unsigned channels = 0;
    unsigned rate = 0;
    /// One vector per channel.
    std::vector<std::vector<double>> samples;
};

} // namespace mobuloop

#endif
