#ifndef MOBU_PLATFORM_THREADPRIORITY_H
#define MOBU_PLATFORM_THREADPRIORITY_H

/** Scheduling helpers for the calling thread.
 *
 * Audio threads run under SCHED_FIFO at the highest priority; helper threads
 * (file watching, mixer events) at priority 10 at most.  Failures are reported
 * through the ALSA error table (ALSADebug) and their codes returned.
 */
namespace ALSA {

/** Reads the calling thread's policy and priority.  When print is set, prints
 * "ALSA::Stream::changeThreadPriority : Current thread policy %d and priority %d\n"
 * on standard output.
 * @return the priority (>= 0), or ALSA_SCHED_GET_ERROR (reported with
 *         "when trying to pthread_getschedparam\n"). */
int getThreadPriority(bool print = true);

/// As getThreadPriority, also giving the policy.
int getThreadPriority(int& policy, bool print);

/** Puts the calling thread under SCHED_FIFO with the given priority; a negative
 * priority means the maximum FIFO priority.  Prints the current policy and
 * priority first and "ALSA::Stream::changeThreadPriority : New thread priority
 * changed to %d\n" on success.
 * @return 0, or a negative code (priority too high or too low, change refused,
 *         policy not set). */
int changeThreadPriority(int priority);

} // namespace ALSA

#endif
