#ifndef MOBUEMBEDDED_OBJECTDOUBLEBUFFER_H
#define MOBUEMBEDDED_OBJECTDOUBLEBUFFER_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>
#include <type_traits>

/** Two copies of an object and the hand-over between a producer and the audio thread.
 *
 * The consumer (the audio thread) uses the active buffer.  A producer builds a
 * new state into the inactive buffer only, then calls prepTransition(), which
 * points target at it: a switch is pending while target differs from active.
 * Only the consumer completes a switch (completeTransition(), usually at the
 * end of a cross-fade), after which the old buffer is the inactive one.
 *
 * No lock is taken.  target is written by the producer while no switch is
 * pending (release) and read by the consumer (acquire), so the consumer never
 * sees the pointer before the data; active is written by the consumer only
 * (release) and read by the producer (acquire), so a producer never writes the
 * buffer the consumer has just left before the consumer is done with it.
 * There is one producer per double buffer at a time.
 */
template <class T> class ObjectDoubleBuffer {
public:
    ObjectDoubleBuffer() : active(&buffers[0]), target(&buffers[0]) {}
    virtual ~ObjectDoubleBuffer() = default;
    ObjectDoubleBuffer(const ObjectDoubleBuffer&) = delete;
    ObjectDoubleBuffer& operator=(const ObjectDoubleBuffer&) = delete;

    /** Producer: requests a switch to the inactive buffer.
     * @return 0, or 1 (with a message) when a switch is already pending. */
    virtual int prepTransition() {
        if (transitionPending()) {
            std::cout << "prepTransition : already waiting for a switch" << std::endl;
            return 1;
        }
        target.store(inactiveBuffer(), std::memory_order_release);
        return 0;
    }

    /// True while a requested switch has not been completed by the consumer.
    bool transitionPending() const {
        return target.load(std::memory_order_acquire) != active.load(std::memory_order_acquire);
    }

    /** Consumer: makes the target active.  Returns true when a switch was pending
     * (the old buffer is now inactive), false when there was nothing to do. */
    bool completeTransition() {
        T* t = target.load(std::memory_order_acquire);
        if (t == active.load(std::memory_order_relaxed)) return false;
        active.store(t, std::memory_order_release);
        return true;
    }

    /** Producer: waits until no switch is pending, so the inactive buffer is free
     * to be rebuilt, or until giveUp() returns true.  The consumer completes a
     * switch at a block boundary and signals nothing (the audio thread makes no
     * system call for it), so this polls, backing off from 0.1 ms to 5 ms.
     * @return true when idle. */
    template <typename GiveUp, typename = std::enable_if_t<std::is_invocable_r_v<bool, GiveUp>>>
    bool waitUntilIdle(GiveUp giveUp) const {
        std::chrono::microseconds step(100);
        const std::chrono::microseconds longest(5000);
        while (transitionPending()) {
            if (giveUp()) return false;
            std::this_thread::sleep_for(step);
            step = std::min(step * 2, longest);
        }
        return true;
    }

    /// As above, giving up after timeout.
    bool waitUntilIdle(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        return waitUntilIdle([end] { return std::chrono::steady_clock::now() >= end; });
    }

    /// The buffer the consumer uses now.
    T* activeBuffer() { return active.load(std::memory_order_acquire); }
    const T* activeBuffer() const { return active.load(std::memory_order_acquire); }
    /// The buffer the consumer is to use next (equal to the active one when idle).
    T* targetBuffer() { return target.load(std::memory_order_acquire); }
    /// The buffer the active pointer does not point to.
    T* inactiveBuffer() { return activeBuffer() == &buffers[0] ? &buffers[1] : &buffers[0]; }
    /// Buffer 0 or 1.
    T& buffer(int i) { return buffers[i & 1]; }

protected:
    T buffers[2];
    std::atomic<T*> active; ///< written by the consumer only
    std::atomic<T*> target; ///< written by the producer only, while idle
};

#endif
