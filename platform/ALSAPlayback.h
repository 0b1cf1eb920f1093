#ifndef MOBU_PLATFORM_ALSAPLAYBACK_H
#define MOBU_PLATFORM_ALSAPLAYBACK_H

#include "ALSAStream.h"

namespace ALSA {

/** A playback stream.  As a base of full-duplex classes it lets them name the
 * playback side's operations as `Playback::getSampleRate()` and so on. */
class Playback : public Stream {
public:
    Playback() = default;
    /// Opens the named playback PCM; a failure is printed and the stream stays closed.
    explicit Playback(const std::string& deviceName) : Stream(deviceName, SND_PCM_STREAM_PLAYBACK) {}

    using Stream::open;
    int open(const std::string& deviceName) { return Stream::open(deviceName, SND_PCM_STREAM_PLAYBACK); }
};

} // namespace ALSA

#endif
