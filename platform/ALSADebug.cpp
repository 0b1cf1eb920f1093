#include "ALSADebug.h"

#include <alsa/asoundlib.h>
#include <cstdio>

namespace ALSA {

ALSADebug::ALSADebug() {
    errors[ALSA_SCHED_GET_ERROR] = "Couldn't read the thread's scheduling parameters. ";
    errors[ALSA_SCHED_SET_ERROR] = "Couldn't change the thread's scheduling. ";
    errors[ALSA_PRIORITY_TOO_HIGH_ERROR] = "Thread priority error. ";
    errors[ALSA_PRIORITY_TOO_LOW_ERROR] = "Thread priority error. ";
    errors[ALSA_SCHED_POLICY_ERROR] = "Thread scheduling policy error. ";
    errors[ALSA_PCM_NOT_OPEN_ERROR] = "The pcm device isn't open, open first. ";
    errors[ALSA_TRANSFER_TIMEOUT_ERROR] = "The pcm device didn't transfer any audio within the time-out. ";
    errors[ALSA_BLOCK_SHAPE_ERROR] =
        "The capture and playback blocks need the same non-zero frame count and at least one channel each. ";
    errors[ALSA_CONFIG_NOT_LOADED_ERROR] = "No ALSA configuration is loaded. ";
    errors[ALSA_CONFIG_NOT_TEXT_ERROR] = "The ALSA configuration key holds a compound, not a value. ";
    errors[ALSA_MIXER_NOT_OPEN_ERROR] = "The ALSA mixer isn't open. ";
    errors[ALSA_CONFIG_FILE_ERROR] = "The ALSA configuration file is not a regular file or is larger than 1 MiB. ";
}

int ALSADebug::evaluateError(int errorNum) {
    if (errorNum < 0 && errorNum > -4096 && errors.find(errorNum) == errors.end()) {
        // An alsa-lib (negative errno) code.
        fprintf(stderr, "Error : %d %s ", errorNum, snd_strerror(errorNum));
        return errorNum;
    }
    return Debug::evaluateError(errorNum);
}

} // namespace ALSA
