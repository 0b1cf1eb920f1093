#ifndef MOBU_PLATFORM_ALSADEBUG_H
#define MOBU_PLATFORM_ALSADEBUG_H

#include "Debug.h"

// Scheduling codes of the ALSA helper classes.
#define ALSA_SCHED_GET_ERROR -41001         ///< the thread's scheduling parameters could not be read
#define ALSA_SCHED_SET_ERROR -41002         ///< the scheduling change was refused
#define ALSA_PRIORITY_TOO_HIGH_ERROR -41003 ///< priority above the policy's maximum
#define ALSA_PRIORITY_TOO_LOW_ERROR -41004  ///< priority below the policy's minimum
#define ALSA_SCHED_POLICY_ERROR -41005      ///< the policy read back is not the one requested

// PCM stream codes.
#define ALSA_PCM_NOT_OPEN_ERROR -41010     ///< the PCM device is not open
#define ALSA_TRANSFER_TIMEOUT_ERROR -41011 ///< the device did not move within the transfer time-out
#define ALSA_BLOCK_SHAPE_ERROR -41012      ///< full-duplex blocks of different lengths or without channels

// Configuration and mixer codes.
#define ALSA_CONFIG_NOT_LOADED_ERROR -41020 ///< no configuration tree is loaded
#define ALSA_CONFIG_NOT_TEXT_ERROR -41021   ///< the key holds a compound, not a value
#define ALSA_MIXER_NOT_OPEN_ERROR -41022    ///< the mixer is not open
#define ALSA_CONFIG_FILE_ERROR -41023       ///< the configuration file is not a regular file of at most 1 MiB

namespace ALSA {

/** Error table of the ALSA helper classes.
 *
 * Besides its own codes it prints alsa-lib's negative error numbers with
 * alsa-lib's text (snd_strerror), in the same "Error : %d %s " form.
 */
class ALSADebug : virtual public Debug {
public:
    ALSADebug();
    int evaluateError(int errorNum) override;
    using Debug::evaluateError;
};

} // namespace ALSA

#endif
