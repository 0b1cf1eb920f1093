#ifndef MOBU_TESTS_ALLOCATIONAUDIT_H
#define MOBU_TESTS_ALLOCATIONAUDIT_H

// Counts the heap allocations made by threads marked `audited`, by replacing malloc and
// its relatives for the whole program.  Include it in one source file of a test program
// only, after the other headers (their declarations of those functions come first).  Sanitizer builds have allocators
// of their own: there it counts nothing, and MOBU_AUDIT_ALLOCATIONS is not defined.

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define MOBU_AUDIT_ALLOCATIONS 1
#endif

// Allocations made on audited threads (an audio thread and its OpenMP team, say).
inline thread_local bool audited = false;
inline std::atomic<long> auditedAllocations{0};
// When 0 or more: aligned_alloc calls of this thread succeed that many times more, then fail
// (out of memory) until it is set back to -1.
inline thread_local long alignedAllocsBeforeFailure = -1;

#ifdef MOBU_AUDIT_ALLOCATIONS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    if (audited) auditedAllocations.fetch_add(1);
    if (audited && getenv("MOBU_AUDIT_ABORT")) abort(); // run under a debugger to see where it allocated
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t s) {
    if (audited) auditedAllocations.fetch_add(1);
    return __libc_calloc(n, s);
}
void* realloc(void* p, size_t n) {
    if (audited) auditedAllocations.fetch_add(1);
    return __libc_realloc(p, n);
}
void free(void* p) {
    __libc_free(p);
}
int posix_memalign(void** p, size_t alignment, size_t n) {
    if (audited) auditedAllocations.fetch_add(1);
    *p = __libc_memalign(alignment, n);
    return *p ? 0 : ENOMEM;
}
void* aligned_alloc(size_t alignment, size_t n) {
    if (audited) auditedAllocations.fetch_add(1);
    if (alignedAllocsBeforeFailure == 0) return nullptr;
    if (alignedAllocsBeforeFailure > 0) --alignedAllocsBeforeFailure;
    return __libc_memalign(alignment, n);
}
void* memalign(size_t alignment, size_t n) {
    if (audited) auditedAllocations.fetch_add(1);
    return __libc_memalign(alignment, n);
}
}
#endif

#endif
