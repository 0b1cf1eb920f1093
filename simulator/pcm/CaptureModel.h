#ifndef MOBU_SIMULATOR_CAPTUREMODEL_H
#define MOBU_SIMULATOR_CAPTUREMODEL_H

#include "LoopConfig.h"
#include "NoiseSource.h"
#include "RoomConvolver.h"

#include <memory>
#include <vector>

namespace mobuloop {

/** What the capture channels hear of one frame on the wire.
 *
 * Without a room, capture channel c carries playback channel c (channels the
 * playback does not have are silent).  With a room, every playback channel is
 * convolved with its column of the impulse-response file (column c, or
 * c modulo the column count when the file has fewer) and the sum - the
 * microphone signal - goes to every capture channel.  A polynomial, when
 * configured, is applied to every playback sample before the room (or the plain
 * loop): a loudspeaker's static nonlinearity.  A loop-back channel, when
 * configured, carries the sum of the playback channels as they were played (a
 * wire from the outputs: no polynomial, no room).  Noise, when configured, is
 * added independently to each capture channel.
 */
class CaptureModel {
public:
    /** Reads the impulse-response file of the configuration, if any.
     * @return 0 or a negative errno (the file is missing or unreadable). */
    int load(const LoopConfig& config, unsigned playbackChannels);

    /// Back to silence: convolution history cleared, noise restarted from its seeds.
    void reset();

    /// in: playbackChannels samples; out: captureChannels samples.
    void process(const double* in, double* out);

private:
    unsigned playbackChannels = 0;
    unsigned captureChannels = 0;
    std::unique_ptr<RoomConvolver> room;
    std::vector<NoiseSource> noise;
    std::vector<double> polynomial; ///< coefficients of x, x^2, ...; empty: linear
    std::vector<double> shaped;     ///< the playback frame after the polynomial
    int loopbackChannel = -1;
};

} // namespace mobuloop

#endif
