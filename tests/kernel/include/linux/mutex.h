/*
 * Stand-in of the kernel mutex.  The tests run on one thread, so a mutex only
 * counts how often it is held: 0 when free, 1 when held, more when a path
 * locked it twice (a deadlock in the kernel).
 */
#ifndef STANDIN_LINUX_MUTEX_H
#define STANDIN_LINUX_MUTEX_H

#include <linux/standin.h>

/* Holds of all mutexes together, for the checks of what runs under a lock. */
extern int standin_mutex_holds;

struct mutex {
    int held;
};

static inline void mutex_init(struct mutex* lock) {
    lock->held = 0;
}
static inline void mutex_lock(struct mutex* lock) {
    ++lock->held;
    ++standin_mutex_holds;
}
static inline void mutex_unlock(struct mutex* lock) {
    --lock->held;
    --standin_mutex_holds;
}
static inline int mutex_is_locked(struct mutex* lock) {
    return lock->held != 0;
}

#endif
