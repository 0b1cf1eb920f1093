#include "MobuEmbedded/SysLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {
std::once_flag opened;
std::atomic<LogObserver> observer{nullptr};

void emit(int priority, const char* line) {
    init_syslog();
    syslog(priority, "%s", line);
    if (LogObserver o = observer.load(std::memory_order_acquire)) o(priority, line);
}
} // namespace

void init_syslog() {
    std::call_once(opened, [] { openlog("MobuFullDuplexFIR", LOG_PID | LOG_NDELAY, LOG_USER); });
}

void setLogObserver(LogObserver o) {
    observer.store(o, std::memory_order_release);
}

void mobuLog(int priority, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    emit(priority, line);
}

RealTimeLog::RealTimeLog(size_t n) : ring(std::make_unique<Line[]>(n < 2 ? 2 : n)), slots(n < 2 ? 2 : n) {}

bool RealTimeLog::post(int priority, const char* format, ...) {
    const size_t h = head.load(std::memory_order_relaxed);
    if (h - tail.load(std::memory_order_acquire) >= slots) {
        droppedLines.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    Line& line = ring[h % slots];
    line.priority = priority;
    va_list args;
    va_start(args, format);
    vsnprintf(line.text, sizeof line.text, format, args);
    va_end(args);
    head.store(h + 1, std::memory_order_release);
    return true;
}

int RealTimeLog::drain() {
    int count = 0;
    size_t t = tail.load(std::memory_order_relaxed);
    while (t != head.load(std::memory_order_acquire)) {
        const Line& line = ring[t % slots];
        emit(line.priority, line.text);
        tail.store(++t, std::memory_order_release);
        ++count;
    }
    if (const unsigned lost = droppedLines.exchange(0, std::memory_order_relaxed))
        mobuLog(LOG_WARNING, "%u log lines of the audio thread were dropped (the log queue was full)", lost);
    return count;
}

std::string logTimestamp() {
    char text[32];
    const time_t now = time(nullptr);
    if (ctime_r(&now, text) == nullptr) return "?";
    text[strcspn(text, "\n")] = '\0';
    return text;
}
