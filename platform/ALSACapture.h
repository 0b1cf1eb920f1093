#ifndef MOBU_PLATFORM_ALSACAPTURE_H
#define MOBU_PLATFORM_ALSACAPTURE_H

#include "ALSAStream.h"

namespace ALSA {

/** A capture stream.  As a base of full-duplex classes it lets them name the
 * capture side's operations as `Capture::getStateName()` and so on. */
class Capture : public Stream {
public:
    Capture() = default;
    /// Opens the named capture PCM; a failure is printed and the stream stays closed.
    explicit Capture(const std::string& deviceName) : Stream(deviceName, SND_PCM_STREAM_CAPTURE) {}

    using Stream::open;
    int open(const std::string& deviceName) { return Stream::open(deviceName, SND_PCM_STREAM_CAPTURE); }
};

} // namespace ALSA

#endif
