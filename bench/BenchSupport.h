// Measurements shared by the benchmarks: clocks, a timing loop, the streaming read bandwidth,
// libzita-convolver as a comparison engine and the memory bound of FIRMobu's partition pass.
#ifndef MOBU_BENCH_BENCHSUPPORT_H
#define MOBU_BENCH_BENCHSUPPORT_H

#include <Eigen/Dense>
#include <MemoryRelease.h>
#include <zita-convolver.h>

#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <limits>
#include <vector>

namespace bench {

/// CPU time of the whole process (every thread), in seconds.
inline double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

/// Monotonic wall-clock time in seconds.
inline double wallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

/// Sends standard output to /dev/null while alive (the engine prints trace lines while loading).
class QuietStdout {
public:
    QuietStdout() {
        std::cout.flush();
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        FILE* null = std::fopen("/dev/null", "w");
        if (null != nullptr) {
            dup2(fileno(null), STDOUT_FILENO);
            std::fclose(null);
        }
    }
    ~QuietStdout() {
        std::cout.flush();
        std::fflush(stdout);
        if (saved >= 0) {
            dup2(saved, STDOUT_FILENO);
            close(saved);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved = -1;
};

/// Seconds per call: process CPU time on average over all runs, and the least wall-clock time
/// of a run.
struct CallTime {
    double cpu = 0.0;
    double wall = 0.0;
};

/** Calls step(k) with k = 0, 1, 2, ...: first in rounds of doubling length until one round
 * takes about 2 ms of CPU time (reading the clock is a system call, so that many calls go
 * between two readings; the rounds warm up as well), then in `runs` runs of about
 * seconds / runs of process CPU time each.  drain() runs before a run's first clock reading
 * and before its last: an engine whose worker threads still have work in hand when its caller
 * returns finishes that work there, so that each run counts the work its own calls started
 * (and none from before).  Returns the mean process CPU time per call over all the runs and
 * the least wall time per call of a run. */
template <typename Step>
CallTime timeCalls(Step&& step, double seconds, int runs, const std::function<void()>& drain = {}) {
    size_t callsPerReading = 1;
    for (;;) {
        const double start = cpuSeconds();
        for (size_t k = 0; k < callsPerReading; ++k)
            step(k);
        if (cpuSeconds() - start > 2e-3) break;
        callsPerReading *= 2;
    }
    CallTime t{0.0, 1e300};
    double cpu = 0.0;
    size_t calls = 0;
    for (int r = 0; r < runs; ++r) {
        size_t done = 0;
        if (drain) drain();
        const double wallStart = wallSeconds();
        const double start = cpuSeconds();
        double elapsed = 0.0;
        do {
            for (size_t k = 0; k < callsPerReading; ++k, ++done)
                step(done);
            elapsed = cpuSeconds() - start;
        } while (elapsed < seconds / runs);
        if (drain) drain();
        const double wall = wallSeconds() - wallStart;
        cpu += cpuSeconds() - start;
        calls += done;
        t.wall = std::min(t.wall, wall / static_cast<double>(done));
    }
    t.cpu = cpu / static_cast<double>(calls);
    return t;
}

/** Waits until no thread of this process but the caller is running or waiting to run (state R
 * in /proc/self/task), seen twice a millisecond apart, or `limit` seconds have passed.  Worker
 * threads that still compute what their engine started are then done, and the process CPU clock
 * holds all of it; a thread preempted by another program counts as waiting to run. */
inline void waitForOtherThreadsIdle(double limit = 5.0) {
    const long self = syscall(SYS_gettid);
    auto othersRunnable = [self] {
        DIR* tasks = opendir("/proc/self/task");
        if (tasks == nullptr) return false;
        bool runnable = false;
        while (const dirent* e = readdir(tasks)) {
            if (e->d_name[0] == '.' || std::atol(e->d_name) == self) continue;
            const std::string stat = "/proc/self/task/" + std::string(e->d_name) + "/stat";
            if (FILE* f = std::fopen(stat.c_str(), "r")) {
                char line[512];
                if (std::fgets(line, sizeof line, f) != nullptr) {
                    // pid (comm) state ...: the name may hold spaces and parentheses.
                    const char* close = std::strrchr(line, ')');
                    if (close != nullptr && close[1] == ' ' && close[2] == 'R') runnable = true;
                }
                std::fclose(f);
            }
            if (runnable) break;
        }
        closedir(tasks);
        return runnable;
    };
    const double end = wallSeconds() + limit;
    int idle = 0;
    while (idle < 2 && wallSeconds() < end) {
        idle = othersRunnable() ? 0 : idle + 1;
        if (idle < 2) usleep(1000);
    }
}

/// CPU time of the calling thread, in seconds.
inline double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

/// Per-period figures: CPU time per period on average over every turn, the median, the 99.9th percentile and
/// the largest time of a single period, and the largest median over the periods of one phase
/// of a cycle (seconds).
struct PeriodTimes {
    double cpu = 0.0;
    double median = 0.0;
    double worst = 0.0;
    double high = 0.0; ///< the 99.9th percentile of single periods
    double worstPhase = 0.0;
    double lowestTurn = 0.0; ///< the CPU time per period of the cheapest turn
    size_t periods = 0;
};

/** Single periods of some work, timed in one or more turns (other work may run between them).
 *
 * A turn calls step(k) with k counting on over the turns (untimed warm-up calls included)
 * until both `seconds` of CPU time have passed and `minPeriods` calls were timed, and times
 * every call on its own: with the calling thread's CPU clock (threadClock, for work done in
 * the caller: preemption by other programs does not count, and the turn's CPU time is the
 * thread's too) or the wall clock (for work the caller waits for on other threads; the CPU
 * time is then the whole process's).  Calls k and k + cycle do the same share of work in an
 * engine whose work repeats every `cycle` calls: the median of each phase shows that share
 * without the odd period that other programs slow down.  The first `warmUp` calls of a turn
 * are made untimed (an engine just loaded, or after other work, runs from cold caches).
 * drain() (if given) runs after them and again after the last timed call, before the turn's CPU
 * time is read: an engine's worker threads finish there what they have in hand, so the process
 * CPU time of a turn is that of the work its periods started. */
class PeriodLog {
public:
    explicit PeriodLog(size_t cycle = 1) : cycle(std::max<size_t>(cycle, 1)) {}

    template <typename Step>
    void turn(Step&& step, double seconds, size_t minPeriods, bool threadClock, size_t warmUp = 0,
              const std::function<void()>& drain = {}) {
        for (size_t k = 0; k < warmUp; ++k)
            step(calls++);
        if (drain) drain();
        // Room for the turn, written once beforehand: growing the log or touching a new page
        // of it would land in a period.
        reserve(count + std::max<size_t>(minPeriods, 4096));
        auto now = [threadClock] { return threadClock ? threadSeconds() : wallSeconds(); };
        auto cpuNow = [threadClock] { return threadClock ? threadSeconds() : cpuSeconds(); };
        const size_t first = count;
        const double start = cpuNow();
        // Reading a CPU clock is a system call of a microsecond or more, a fair part of a
        // short period: one reading ends a period and starts the next, and the CPU clock for
        // the end of the turn is read every 16 periods only.
        double t0 = now();
        for (size_t k = 1;; ++k) {
            step(calls);
            const double t1 = now();
            each[count] = t1 - t0;
            phase[count] = calls % cycle;
            ++count;
            ++calls;
            t0 = t1;
            if (count == each.size()) {
                reserve(2 * count);
                t0 = now(); // the time taken to grow belongs to no period
            }
            if (k % 16 == 0) {
                if (k >= minPeriods && cpuNow() - start >= seconds) break;
                t0 = now(); // nor does that reading
            }
        }
        if (drain) drain();
        cpuTotal += cpuNow() - start;
        cpuLowest = std::min(cpuLowest, (cpuNow() - start) / static_cast<double>(count - first));
    }

    /// Over every period of every turn; the CPU time per period is the mean over all the turns'
    /// periods.
    PeriodTimes summary() const {
        PeriodTimes t;
        t.periods = count;
        if (count == 0) return t;
        t.cpu = cpuTotal / static_cast<double>(count);
        t.lowestTurn = cpuLowest;
        std::vector<std::vector<double>> phases(cycle);
        for (size_t i = 0; i < count; ++i)
            phases[phase[i]].push_back(each[i]);
        for (std::vector<double>& same : phases)
            if (!same.empty()) {
                std::nth_element(same.begin(), same.begin() + same.size() / 2, same.end());
                t.worstPhase = std::max(t.worstPhase, same[same.size() / 2]);
            }
        std::vector<double> all(each.begin(), each.begin() + static_cast<std::ptrdiff_t>(count));
        t.worst = *std::max_element(all.begin(), all.end());
        const size_t high = count - 1 - (count - 1) / 1000;
        std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(high), all.end());
        t.high = all[high];
        std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count / 2), all.end());
        t.median = all[count / 2];
        return t;
    }

private:
    void reserve(size_t n) {
        if (each.size() >= n) return;
        each.resize(n);
        phase.resize(n);
    }

    size_t cycle;
    size_t calls = 0; ///< step calls so far, warm-ups included
    size_t count = 0; ///< periods timed
    std::vector<double> each;
    std::vector<size_t> phase;
    double cpuTotal = 0.0; ///< CPU seconds of every turn
    double cpuLowest = std::numeric_limits<double>::infinity();
};

/// One turn of PeriodLog: its figures.
template <typename Step>
PeriodTimes timePeriods(Step&& step, double seconds, size_t minPeriods, bool threadClock, size_t cycle = 1,
                        size_t warmUp = 0, const std::function<void()>& drain = {}) {
    PeriodLog log(cycle);
    log.turn(step, seconds, minPeriods, threadClock, warmUp, drain);
    return log.summary();
}

/// Streaming read bandwidth in bytes per nanosecond for a buffer of the given size, read
/// over and over (as an engine reads its spectra block after block); best of `runs`.
inline double readBandwidth(size_t bytes, double seconds, int runs) {
    const size_t words = std::max<size_t>(bytes / sizeof(uint64_t), 64) & ~size_t(7);
    std::vector<uint64_t> buffer(words);
    for (size_t i = 0; i < words; ++i)
        buffer[i] = i * 0x9E3779B97F4A7C15ull;
    const size_t passesPerReading = std::max<size_t>(1, (size_t(8) << 20) / (words * sizeof(uint64_t)));
    volatile uint64_t sink = 0;
    double best = 0.0;
    for (int r = 0; r < runs; ++r) {
        size_t passes = 0;
        const double start = cpuSeconds();
        double elapsed = 0.0;
        do {
            // Reading the clock is a system call: read at least 8 MiB between readings.
            for (size_t k = 0; k < passesPerReading; ++k, ++passes) {
                // Independent integer sums vectorise without reassociation concerns.
                uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0, s6 = 0, s7 = 0;
                const uint64_t* p = buffer.data();
                for (size_t i = 0; i < words; i += 8) {
                    s0 += p[i];
                    s1 += p[i + 1];
                    s2 += p[i + 2];
                    s3 += p[i + 3];
                    s4 += p[i + 4];
                    s5 += p[i + 5];
                    s6 += p[i + 6];
                    s7 += p[i + 7];
                }
                sink = sink + (s0 ^ s1 ^ s2 ^ s3 ^ s4 ^ s5 ^ s6 ^ s7);
            }
            elapsed = cpuSeconds() - start;
        } while (elapsed < seconds / runs);
        best = std::max(best, static_cast<double>(passes) * words * sizeof(uint64_t) / (elapsed * 1e9));
    }
    return best;
}

/// Partitions of N taps in a filter of `taps` taps: P = ceil(taps / N).
inline int partitions(int N, int taps) {
    return (taps + N - 1) / N;
}

/// Bytes FIRMobu's partition pass reads per block of N: per channel, history and windowSpectra
/// are N x P complex doubles (16 bytes) each, and all of both are read every block.
inline double spectraBytesPerBlock(int N, int taps, int channels) {
    return 2.0 * 16.0 * N * partitions(N, taps) * channels;
}

inline std::string cpuModel() {
    std::FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (f == nullptr) return "unknown processor";
    char line[512];
    std::string model = "unknown processor";
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const std::string text(line);
        const size_t colon = text.find(':');
        if (colon != std::string::npos && (text.rfind("model name", 0) == 0 || text.rfind("Model", 0) == 0)) {
            model = text.substr(colon + 2);
            model.erase(model.find_last_not_of(" \n") + 1);
            break;
        }
    }
    std::fclose(f);
    return model;
}

/// A block convolver under test: N x C blocks in, N x C blocks out (column-major doubles).
class Engine {
public:
    virtual ~Engine() = default;
    virtual void process(const double* in, double* out) = 0;
    /// Returns once work started by earlier calls is done (engines that work only in the caller
    /// are always done).
    virtual void drain() {}
};

/** libzita-convolver configured as its users configure it for speed: options
 * Convproc::OPT_FFTW_MEASURE | Convproc::OPT_VECTOR_MODE (measured FFTW plans, the vector
 * multiply-add), quantum and smallest partition q = the block rounded up to a power of two
 * (at least the library's smallest partition), largest partition the library's maximum.
 *
 * I inputs, C outputs, output c fed by input c mod I through column c of h: I = C is one
 * convolution per channel (a diagonal matrix), I = 2 with C = 8 the processor's topology, where
 * the library transforms each input once for the four outputs it feeds.  The longer partitions
 * run on the library's worker threads.
 *
 * process() takes and gives blocks of N frames, driven as the library's hosts drive it.  When
 * N = q the input goes straight into its input buffers and the output comes straight from its
 * output buffers, one quantum a call.  Otherwise (N = 480, q = 512) the frames go through a
 * FIFO of whole blocks on the output side (memcpy in, memmove out), as a host with that period
 * runs the library: the output is then delayed by latency() = q frames more than FIRMobu's, and
 * one call in about q / (q - N) runs no quantum at all. */
class ZitaEngine : public Engine {
public:
    static constexpr uint32_t speedOptions = Convproc::OPT_FFTW_MEASURE | Convproc::OPT_VECTOR_MODE;

    /// inputs 0: one input per output.
    ZitaEngine(int N, const Eigen::MatrixXd& h, int inputs = 0, uint32_t options = speedOptions)
        : N(N), C(static_cast<int>(h.cols())), I(inputs > 0 ? inputs : static_cast<int>(h.cols())), q(quantumFor(N)),
          delay(N % q == 0 ? 0 : q), outFifo(static_cast<size_t>(C)) {
        const auto taps = static_cast<uint32_t>(h.rows());
        conv.set_options(options);
        // Density: the share of the I x C matrix's cells that hold a filter.
        if (conv.configure(I, C, taps, q, q, Convproc::MAXPART, 1.0f / static_cast<float>(I)) != 0)
            throw std::runtime_error("zita configure failed");
        std::vector<float> hf(taps);
        for (int c = 0; c < C; ++c) {
            for (uint32_t k = 0; k < taps; ++k)
                hf[k] = static_cast<float>(h(k, c));
            if (conv.impdata_create(c % I, c, 1, hf.data(), 0, static_cast<int32_t>(taps)) != 0)
                throw std::runtime_error("zita impdata_create failed");
        }
        if (N != q) {
            // At most q frames are held after a call and one quantum comes in before N go out.
            for (auto& f : outFifo)
                f.assign(static_cast<size_t>(2 * q + N), 0.0f);
            outCount = delay;
        }
        if (conv.start_process(0, SCHED_OTHER) != 0) throw std::runtime_error("zita start_process failed");
        // The worker threads must be running before the first block: a level whose thread has
        // not started yet is computed in the caller instead, which mixes up the output of the
        // first blocks, and a thread that starts only after stop_process never ends.
        usleep(50000);
    }
    ~ZitaEngine() override {
        conv.stop_process();
        while (!conv.check_stop())
            usleep(1000);
        conv.cleanup();
    }
    /// N x I frames in, N x C out (column-major).
    void process(const double* in, double* out) override {
        if (N == q) {
            for (int i = 0; i < I; ++i) {
                float* x = conv.inpdata(i);
                for (int n = 0; n < N; ++n)
                    x[n] = static_cast<float>(in[i * N + n]);
            }
            // Synchronous: waits for late partitions, so the output is always complete.
            conv.process(true);
            for (int c = 0; c < C; ++c) {
                const float* y = conv.outdata(c);
                for (int n = 0; n < N; ++n)
                    out[c * N + n] = y[n];
            }
            return;
        }
        for (int done = 0; done < N;) {
            const int piece = std::min(N - done, q - inFill);
            for (int i = 0; i < I; ++i) {
                float* x = conv.inpdata(i) + inFill;
                for (int n = 0; n < piece; ++n)
                    x[n] = static_cast<float>(in[i * N + done + n]);
            }
            inFill += piece;
            done += piece;
            if (inFill < q) break;
            conv.process(true);
            inFill = 0;
            for (int c = 0; c < C; ++c)
                std::memcpy(outFifo[c].data() + outCount, conv.outdata(c), sizeof(float) * static_cast<size_t>(q));
            outCount += q;
        }
        for (int c = 0; c < C; ++c) {
            float* f = outFifo[c].data();
            for (int n = 0; n < N; ++n)
                out[c * N + n] = f[n];
            std::memmove(f, f + N, sizeof(float) * static_cast<size_t>(outCount - N));
        }
        outCount -= N;
    }
    /// Waits for the worker threads to finish the partitions they have in hand.
    void drain() override { waitForOtherThreadsIdle(); }
    /// Frames by which the output comes later than FIRMobu's (the FIFO).
    int latency() const { return delay; }
    int quantum() const { return q; }
    int inputs() const { return I; }

    static int quantumFor(int N) {
        int p = Convproc::MINPART;
        while (p < N)
            p *= 2;
        return p;
    }

private:
    const int N, C, I, q, delay;
    Convproc conv;
    std::vector<std::vector<float>> outFifo; ///< N < q: C FIFOs of output frames not yet given out
    int outCount = 0;                        ///< frames held in each FIFO, from its start
    int inFill = 0;                          ///< frames of the current quantum already in zita's input
};

/** Memory that some work adds to the process: construct before it, read after it.  The base is
 * the resident size at construction, after the allocator has returned its free memory to the
 * system, so that what earlier work freed is not reused unseen; the peak is the process's
 * resident high-water mark (reset at construction through /proc/self/clear_refs) over it, and
 * the held memory the resident size now over it, as the work left it: memory it freed but the
 * allocator kept counts, unless the work itself returned it (as the processor does after
 * building a filter set, through releaseFreedMemory()). */
class MemoryMeter {
public:
    MemoryMeter() {
        releaseFreedMemory();
        if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", f);
            std::fclose(f);
        }
        base = statusKiB("VmRSS:");
    }
    /// MiB resident now beyond the start.
    double heldMiB() const { return (statusKiB("VmRSS:") - base) / 1024.0; }
    /// MiB of the largest resident size since the start beyond the start.
    double peakMiB() const { return (statusKiB("VmHWM:") - base) / 1024.0; }

    static double statusKiB(const char* key) {
        FILE* f = std::fopen("/proc/self/status", "r");
        if (f == nullptr) return 0.0;
        char line[256];
        double value = 0.0;
        const size_t length = std::strlen(key);
        while (std::fgets(line, sizeof line, f) != nullptr)
            if (std::strncmp(line, key, length) == 0) {
                value = std::atof(line + length);
                break;
            }
        std::fclose(f);
        return value;
    }

private:
    double base = 0.0;
};

} // namespace bench

#endif
