// Handing freed heap memory back to the system.
#ifndef MOBU_PLATFORM_MEMORYRELEASE_H
#define MOBU_PLATFORM_MEMORYRELEASE_H

#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

/** Returns the heap's free pages to the system (glibc's malloc_trim; nothing elsewhere).  A
 * filter set's build frees its temporary copies and transforms, a deleted set its spectra: the
 * allocator keeps such pages resident for reuse unless told.  It walks the heap under the
 * allocator's locks, so it is called on the building thread, never on the audio thread. */
inline void releaseFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

#endif
