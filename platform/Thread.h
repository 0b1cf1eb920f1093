#ifndef MOBU_PLATFORM_THREAD_H
#define MOBU_PLATFORM_THREAD_H

#include <atomic>
#include <pthread.h>

/** A joinable POSIX thread that runs the virtual threadMain().
 *
 * run() starts it (optionally under SCHED_FIFO at a priority); running() is
 * true from run() until threadMain returns (the thread "handle" is cleared
 * then).  stop() asks the body to end (stopRequested() becomes true and the
 * wakeForStop() hook runs so that a blocked body can notice) and joins it.
 *
 * A derived class whose threadMain uses its own members must call stop() in
 * its destructor: the base destructor joins as a last resort, but by then the
 * derived part is gone.
 */
class Thread {
public:
    Thread() = default;
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    /** Starts threadMain on a new thread.
     * @param priority 0 inherits the caller's scheduling; > 0 asks for SCHED_FIFO at
     *        that priority (if the system refuses, the thread starts with the caller's
     *        scheduling and a warning is printed).
     * @return 0, or a negative errno when no thread could be started (or one is running). */
    int run(int priority = 0);

    /** Requests the body to end, wakes it and joins it; 0 (also when nothing ran).
     * Called from the body itself it only requests and wakes, and returns -EDEADLK;
     * the owner's later stop() or join() then joins. */
    int stop();

    /// Waits for the body to end by itself; 0 (also when nothing ran), -EDEADLK from the body itself.
    int join();

    /// True while threadMain runs.
    bool running() const { return active.load(std::memory_order_acquire); }

    /// The thread's handle while threadMain runs, 0 otherwise.
    pthread_t getHandle() const { return running() ? handle : 0; }

    /// True once stop() has been called (until the next run()).
    bool stopRequested() const { return stopFlag.load(std::memory_order_acquire); }

protected:
    /// The thread's body; its result is kept as the thread's exit value.
    virtual int threadMain() = 0;

    /// Called by stop() on the stopping thread, after stopRequested() became true.
    virtual void wakeForStop() {}

private:
    static void* threadMain_static(void* self);

    pthread_t handle{};
    bool joinable = false;
    std::atomic<bool> active{false};
    std::atomic<bool> stopFlag{false};
};

/// A class whose method runs on its own thread (the name the system's classes derive from).
class ThreadedMethod : public Thread {};

#endif
