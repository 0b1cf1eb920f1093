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
