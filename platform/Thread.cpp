#include "Thread.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>

Thread::~Thread() {
    join();
}

namespace {
/// The Thread whose body runs on this thread (so that a body stopping itself is recognised).
thread_local const Thread* currentBody = nullptr;
} // namespace

void* Thread::threadMain_static(void* self) {
    auto* t = static_cast<Thread*>(self);
    currentBody = t;
    const int r = t->threadMain();
    t->active.store(false, std::memory_order_release);
    return reinterpret_cast<void*>(static_cast<intptr_t>(r));
}

int Thread::run(int priority) {
    if (running()) return -EBUSY;
    join(); // a body that ended by itself
    stopFlag.store(false, std::memory_order_release);
    active.store(true, std::memory_order_release);

    int r = EINVAL;
    if (priority > 0) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        sched_param param{};
        param.sched_priority = priority;
        pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
        pthread_attr_setschedparam(&attr, &param);
        r = pthread_create(&handle, &attr, threadMain_static, this);
        pthread_attr_destroy(&attr);
        if (r != 0)
            fprintf(stderr,
                    "Thread::run : couldn't start with SCHED_FIFO priority %d (%s), using the caller's "
                    "scheduling\n",
                    priority, strerror(r));
    }
    if (r != 0) r = pthread_create(&handle, nullptr, threadMain_static, this);
    if (r != 0) {
        active.store(false, std::memory_order_release);
        return -r;
    }
    joinable = true;
    return 0;
}

int Thread::stop() {
    if (currentBody != this && !joinable) return 0;
    stopFlag.store(true, std::memory_order_release);
    wakeForStop();
    return join();
}

int Thread::join() {
    if (currentBody == this) return -EDEADLK; // the body cannot wait for itself; its owner joins it later
    if (!joinable) return 0;
    pthread_join(handle, nullptr);
    joinable = false;
    active.store(false, std::memory_order_release);
    return 0;
}
