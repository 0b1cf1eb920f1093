#ifndef MOBU_SIMULATOR_LOOPCONFIG_H
#define MOBU_SIMULATOR_LOOPCONFIG_H

#include <alsa/asoundlib.h>

#include <string>

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
 *     }
 *
 * rate, playback_channels and mode must be the same in every definition that
 * names the same segment; room, noise_db and delay only concern capture.
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

    /** Reads the plug-in's configuration node.
     * @return 0, or -EINVAL after printing what is wrong through alsa-lib's error handler. */
    int parse(const char* pcmName, snd_config_t* conf);
};

} // namespace mobuloop

#endif
