#include "MobuEmbedded/ProcessorStatus.h"
#include "JsonText.h"

#include "MobuEmbedded/SysLog.h"

#include <SafeFile.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>

namespace {

/// A text as a JSON string (quotes included).
std::string jsonString(const std::string& text) {
    return "\"" + mobujson::jsonText(text) + "\"";
}

/// A time as ISO 8601 in UTC with milliseconds, as a JSON string.
std::string isoTime(const timespec& t) {
    tm utc{};
    gmtime_r(&t.tv_sec, &utc);
    char text[80];
    snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ\"", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, t.tv_nsec / 1000000);
    return text;
}

std::string number(double value, const char* format) {
    char text[40];
    snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

ProcessorStatus::~ProcessorStatus() {
    stop();
}

int ProcessorStatus::setPath(const std::string& path) {
    stop(); // the publisher reads the path
    if (path.empty() || path[0] != '/') return -EINVAL;
    if (const int ret = SafeFile::checkTarget(path); ret < 0) return ret;
    file = path;
    return 0;
}

int ProcessorStatus::start(std::vector<File> usedFiles, unsigned restarts, unsigned xrunsBefore) {
    stop();
    if (file.empty()) return 0;
    files = std::move(usedFiles);
    restartCount = restarts;
    xrunsEarlier = xrunsBefore;
    lastXrun = false;
    return run(0);
}

int64_t ProcessorStatus::nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000ll + t.tv_nsec;
}

void ProcessorStatus::setStream(unsigned streamRate, int periodFrames) {
    period.store(periodFrames, std::memory_order_relaxed);
    rate.store(streamRate, std::memory_order_release);
}

void ProcessorStatus::Share::add(const Share& other) {
    periods += other.periods;
    frames += other.frames;
    busyNs += other.busyNs;
    maxBusyNs = std::max(maxBusyNs, other.maxBusyNs);
    for (int c = 0; c < CHANNELS; ++c)
        squares[c] += other.squares[c];
}

void ProcessorStatus::recordPeriod(int64_t startNs, bool xrun, const int32_t* in, const int32_t* out, int frames) {
    Share period;
    period.periods = 1;
    period.frames = static_cast<uint64_t>(frames);
    for (int n = 0; n < frames; ++n) {
        for (int c = 0; c < INPUTS; ++c) {
            const double x = in[n * INPUTS + c];
            period.squares[c] += x * x;
        }
        for (int c = 0; c < OUTPUTS; ++c) {
            const double y = out[n * OUTPUTS + c];
            period.squares[INPUTS + c] += y * y;
        }
    }
    // The flag stays up for the periods that follow an over/under-run: one event per rise.
    if (xrun && !lastXrun) xruns.fetch_add(1, std::memory_order_relaxed);
    lastXrun = xrun;
    period.busyNs = period.maxBusyNs = nowNs() - startNs;
    held.add(period);
    // Hand over what is held when the ring has room; else keep summing into it.
    const size_t at = head.load(std::memory_order_relaxed);
    if (at - tail.load(std::memory_order_acquire) >= ringSize) return;
    ring[at % ringSize] = held;
    head.store(at + 1, std::memory_order_release);
    held = Share{};
}

void ProcessorStatus::collect(Share& sum) {
    const size_t end = head.load(std::memory_order_acquire);
    size_t at = tail.load(std::memory_order_relaxed);
    for (; at != end; ++at)
        sum.add(ring[at % ringSize]);
    tail.store(at, std::memory_order_release);
}

std::string ProcessorStatus::document(const Share& sum, double seconds, bool running) const {
    const unsigned fs = rate.load(std::memory_order_acquire);
    const int n = period.load(std::memory_order_relaxed);
    const double periodNs = 1e9 * n / fs;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::string d = "{\"running\": " + std::string(running ? "true" : "false") + ", \"time\": " + isoTime(now) +
                    ", \"rate\": " + std::to_string(fs) + ", \"period\": " + std::to_string(n) +
                    ", \"latencyMs\": " + number(1000.0 * n / fs, "%.3f") +
                    ",\n \"interval\": {\"seconds\": " + number(seconds, "%.3f") +
                    ", \"periods\": " + std::to_string(sum.periods) + ", \"frames\": " + std::to_string(sum.frames) +
                    "},\n \"cpuLoad\": ";
    if (sum.periods > 0)
        d += "{\"mean\": " + number(sum.busyNs / periodNs / sum.periods, "%.6f") +
             ", \"max\": " + number(sum.maxBusyNs / periodNs, "%.6f") + "}";
    else
        d += "null";
    d += ",\n \"xruns\": " + std::to_string(xrunsEarlier + xrunCount()) +
         ", \"restarts\": " + std::to_string(restartCount) + ",\n \"rms\": ";
    if (sum.frames > 0) {
        // dBFS against the 32-bit full scale: a full-scale sine is -3.01 dBFS.
        auto level = [&](int c) {
            const double rms = std::sqrt(sum.squares[c] / static_cast<double>(sum.frames)) / 2147483648.0;
            return number(rms > 0.0 ? std::max(silenceDb, 20.0 * std::log10(rms)) : silenceDb, "%.3f");
        };
        d += "{\"inputs\": [";
        for (int c = 0; c < INPUTS; ++c)
            d += (c ? ", " : "") + level(c);
        d += "], \"outputs\": [";
        for (int c = 0; c < OUTPUTS; ++c)
            d += (c ? ", " : "") + level(INPUTS + c);
        d += "]}";
    } else {
        d += "null";
    }
    d += ",\n \"files\": {";
    for (size_t i = 0; i < files.size(); ++i) {
        struct stat st {};
        const bool found = stat(files[i].second.c_str(), &st) == 0;
        d += (i ? ",\n   " : "\n   ") + jsonString(files[i].first) + ": {\"path\": " + jsonString(files[i].second) +
             ", \"modified\": " + (found ? isoTime(st.st_mtim) : std::string("null")) + "}";
    }
    return d + "}}\n";
}

void ProcessorStatus::publish(const Share& sum, double seconds, bool running) {
    const int ret = writeFileSafely(file, document(sum, seconds, running));
    if (ret < 0 && !problemLogged)
        mobuLog(LOG_NOTICE, "ProcessorStatus: can't write the status file %s (%d); trying again", file.c_str(), ret);
    problemLogged = ret < 0;
}

int ProcessorStatus::threadMain() {
    // Started from a real-time thread: this one writes files and must never compete with audio.
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
    Share sum;
    auto since = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(wakeLock);
    while (!stopRequested()) {
        wake.wait_until(lock, since + std::chrono::milliseconds(intervalMs), [this] { return stopRequested(); });
        if (rate.load(std::memory_order_acquire) == 0) { // the stream is not running yet
            since = std::chrono::steady_clock::now();
            continue;
        }
        collect(sum);
        const auto now = std::chrono::steady_clock::now();
        const bool running = !stopRequested();
        publish(sum, std::chrono::duration<double>(now - since).count(), running);
        if (!running) return 0; // that was the last document
        sum = Share{};
        since = now;
    }
    // Stopped before the loop wrote its last document (a run that ended within its first
    // moments): the file still says that this run took place, and that it stopped.
    if (rate.load(std::memory_order_acquire) != 0) {
        collect(sum);
        publish(sum, std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count(), false);
    }
    return 0;
}

void ProcessorStatus::wakeForStop() {
    std::lock_guard<std::mutex> lock(wakeLock);
    wake.notify_all();
}
