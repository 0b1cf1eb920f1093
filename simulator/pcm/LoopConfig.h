#ifndef MOBU_SIMULATOR_LOOPCONFIG_H
#define MOBU_SIMULATOR_LOOPCONFIG_H

#include <alsa/asoundlib.h>

#include <string>
#include <vector>

namespace mobuloop {

/// How the loop-back is paced.
enum class LoopMode : unsigned {
    realtime = 0, ///< both directions advance with CLOCK_MONOTONIC, like a sound card
    lockstep = 1, ///< as fast as possible: capture returns exactly what playback wrote, waiting for it
};

/** The fields of a `mobuloop` PCM definition.
 *
 *     pcm.board_capture {
 *         type mobuloop
 *         shm "mobuloop-1234"      # name of the shared segment both directions meet in
 *         mode "lockstep"          # or "realtime" (default)
 *         rate 48000
 *         playback_channels 8
 *         capture_channels 2
 *         room "/path/ir.wav"      # optional: one impulse-response column per playback channel
 *         noise_db -80             # optional: white noise, RMS in dB of full scale
 *         delay 0                  # optional: extra delay of the capture in frames
 *         polynomial "1 0.02 0.01" # optional: a static nonlinearity before the room
 *         loopback_channel 1       # optional: this capture channel is a wire from the outputs
 *     }
 *
 * rate, playback_channels and mode must be the same in every definition that
 * names the same segment; room, noise_db, delay, polynomial and loopback_channel
 * only concern capture.  The polynomial's coefficients are those of x, x^2, ...
 * (at most 9), x in units of full scale.
 */
struct LoopConfig {
    std::string shm;
    LoopMode mode = LoopMode::realtime;
    unsigned rate = 0;
    unsigned playbackChannels = 0;
    unsigned captureChannels = 0;
    std::string room;     ///< empty: capture channel c carries playback channel c
    bool noise = false;   ///< whether noiseDB applies
    double noiseDB = 0.0; ///< RMS of the noise in dB relative to full scale
    unsigned long delay = 0;
    std::vector<double> polynomial; ///< empty: linear (coefficients of x, x^2, ...)
    int loopbackChannel = -1;       ///< capture channel carrying the sum of the playback channels, -1 none

    /** Reads the plug-in's configuration node.
     * @return 0, or -EINVAL after printing what is wrong through alsa-lib's error handler. */
    int parse(const char* pcmName, snd_config_t* conf);
};

} // namespace mobuloop

#endif
