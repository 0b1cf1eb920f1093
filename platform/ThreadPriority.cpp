#include "ThreadPriority.h"

#include "ALSADebug.h"

#include <cstdio>
#include <pthread.h>
#include <sched.h>

namespace ALSA {

int getThreadPriority(int& policy, bool print) {
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0)
        return ALSADebug().evaluateError(ALSA_SCHED_GET_ERROR, "when trying to pthread_getschedparam\n");
    if (print) {
        printf("ALSA::Stream::changeThreadPriority : Current thread policy %d and priority %d\n", policy,
               param.sched_priority);
        fflush(stdout);
    }
    return param.sched_priority;
}

int getThreadPriority(bool print) {
    int policy = 0;
    return getThreadPriority(policy, print);
}

int changeThreadPriority(int priority) {
    int policy = 0;
    const int current = getThreadPriority(policy, true);
    if (current < 0) return current;
    const int maxPriority = sched_get_priority_max(SCHED_FIFO);
    const int minPriority = sched_get_priority_min(SCHED_FIFO);
    if (priority < 0) priority = maxPriority;
    if (priority > maxPriority)
        return ALSADebug().evaluateError(ALSA_PRIORITY_TOO_HIGH_ERROR, "requested priority is too high\n");
    if (priority < minPriority)
        return ALSADebug().evaluateError(ALSA_PRIORITY_TOO_LOW_ERROR, "requested priority is too low\n");
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        return ALSADebug().evaluateError(
            ALSA_SCHED_SET_ERROR,
            "when trying to pthread_setschedparam - are you su or do you have permission to set this priority?\n");
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0)
        return ALSADebug().evaluateError(ALSA_SCHED_GET_ERROR, "when trying to pthread_getschedparam\n");
    if (policy != SCHED_FIFO)
        return ALSADebug().evaluateError(ALSA_SCHED_POLICY_ERROR, "requested scheduler policy is not correctly set\n");
    printf("ALSA::Stream::changeThreadPriority : New thread priority changed to %d\n", param.sched_priority);
    fflush(stdout);
    return 0;
}

} // namespace ALSA
