#ifndef MOBUEMBEDDED_SYSLOG_H
#define MOBUEMBEDDED_SYSLOG_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <syslog.h>

/** Opens the system log on the first call (identity "MobuFullDuplexFIR", LOG_PID |
 * LOG_NDELAY, LOG_USER); later calls do nothing.  Thread-safe. */
void init_syslog();

/** Formats one line and logs it: to the system log at the given priority and to
 * the observer, if one is set.  Takes a lock and may allocate: not for the audio
 * thread (it uses RealTimeLog). */
void mobuLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// The local time as text (as ctime gives it, without the line end), for log lines.
std::string logTimestamp();

/// Receives every logged line as well (a console, a test).  Called on the logging thread.
using LogObserver = void (*)(int priority, const char* line);

/// Sets (or, with nullptr, clears) the observer.
void setLogObserver(LogObserver observer);

/** Log lines of a real-time thread.
 *
 * The audio thread must not take locks or allocate, and the system log does
 * both.  post() formats a line into a slot of a fixed ring (no allocation, no
 * lock, no system call) and drain(), called by another thread, logs the posted
 * lines in order through mobuLog.  One thread posts, one drains.  A line posted
 * while the ring is full is dropped and counted; drain() reports the count.
 */
class RealTimeLog {
public:
    /// A ring of `slots` lines of up to lineLength - 1 characters each.
    explicit RealTimeLog(size_t slots = 256);
    RealTimeLog(const RealTimeLog&) = delete;
    RealTimeLog& operator=(const RealTimeLog&) = delete;

    /// Audio thread: formats and queues one line.  @return false when the ring was full (line dropped).
    bool post(int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));

    /// Another thread: logs every queued line.  @return the number of lines logged.
    int drain();

    /// True when every posted line has been drained.
    bool empty() const { return head.load(std::memory_order_acquire) == tail.load(std::memory_order_acquire); }

    static constexpr size_t lineLength = 256;

private:
    struct Line {
        int priority;
        char text[lineLength];
    };
    std::unique_ptr<Line[]> ring;
    const size_t slots;
    std::atomic<size_t> head{0}; ///< next slot to write (poster only)
    std::atomic<size_t> tail{0}; ///< next slot to read (drainer only)
    std::atomic<unsigned> droppedLines{0};
};

#endif
