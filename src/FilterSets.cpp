#include "MobuEmbedded/FilterSets.h"
#include "MobuEmbedded/MobuDebug.h"
#include "MobuEmbedded/SysLog.h"

#include <MemoryRelease.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FilterSets::FileStamp FilterSets::stampOf(const std::string& path) {
    FileStamp stamp;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return stamp;
    struct stat st {};
    stamp.exists = true;
    if (fstat(fd, &st) == 0) {
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.modified = st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec;
        stamp.changed = st.st_ctim.tv_sec * 1000000000ll + st.st_ctim.tv_nsec;
    }
    if (S_ISREG(st.st_mode)) {
        uint64_t hash = 14695981039346656037ull;
        char buffer[1 << 16];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            for (ssize_t i = 0; i < got; ++i)
                hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
            stamp.size += static_cast<uint64_t>(got);
        }
        stamp.hash = hash;
    }
    ::close(fd);
    return stamp;
}

FilterSets::FilterSets(int outputs, int inputs) : M(outputs), inputs(inputs) {
    sets.buffer(0).assign(M, nullptr);
    sets.buffer(1).assign(M, nullptr);
}

FilterSets::~FilterSets() {
    // The owner deletes both sets (logged) once its threads have stopped; this only catches the rest.
    for (int b = 0; b < 2; ++b)
        for (FIRMobu*& f : sets.buffer(b)) {
            delete f;
            f = nullptr;
        }
}

void FilterSets::reset(int outputs) {
    std::lock_guard<std::mutex> lock(buildLock);
    M = outputs;
    for (int b = 0; b < 2; ++b) // a second start begins from nothing as well
        if (std::any_of(sets.buffer(b).begin(), sets.buffer(b).end(), [](FIRMobu* f) { return f != nullptr; }))
            deleteSet(sets.buffer(b), "init", "old");
    sets.buffer(0).assign(M, nullptr);
    sets.buffer(1).assign(M, nullptr);
    // Active on the first set, target on the second: the first pass builds the target and takes it up.
    if (!sets.transitionPending()) sets.prepTransition();
    ready.store(false, std::memory_order_release);
}

int FilterSets::build(int n, unsigned rate, const std::function<bool()>& stop) {
    const int pid = getpid();
    std::vector<FIRMobu*>& set = inactive();
    // Taken before the file is read: a rewrite during the build makes the next event build again.
    const FileStamp stamp = stampOf(filterFile);
    try {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters PID=%d to handle %d samples, M=%d",
                logTimestamp().c_str(), pid, n, M);
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: Deleting inactive FIR filters...",
                logTimestamp().c_str());
        deleteInactive();
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: Inactive filters deleted", logTimestamp().c_str());
    } catch (const std::exception& e) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters EXCEPTION: %s PID=%d", logTimestamp().c_str(),
                e.what(), pid);
        return MobuDebug().evaluateError(-39901);
    } catch (...) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters UNKNOWN EXCEPTION PID=%d", logTimestamp().c_str(),
                pid);
        return MobuDebug().evaluateError(-39901);
    }
    mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: Loading the coefficients of %d channels from file %s",
            logTimestamp().c_str(), M, filterFile.c_str());
    // The file is read once, then one engine per input for the outputs it feeds (output m from
    // input m mod inputs), which transforms that input once for all of them.  The build asks
    // stop between its steps (a few milliseconds apart), so that the end of the run is heard
    // at once however long the filters are; what it built so far is then dropped.
    const bool mayZero = !ready.load(std::memory_order_acquire);
    const auto started = std::chrono::steady_clock::now();
    const auto secondsSince = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    std::vector<Eigen::VectorXd> taps;
    std::vector<int> codes;
    std::string why;
    const auto stopped = [&] {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: stopped while building from %s; nothing switched",
                logTimestamp().c_str(), filterFile.c_str());
        return -39903;
    };
    int read = 0;
    try {
        read = FIRMobu::readChannels(filterFile, M, taps, codes, why, rate, stop);
    } catch (const FIRMobu::BuildAbandoned&) {
        return stopped();
    }
    const double readSeconds = secondsSince(started);
    if (read < 0) {
        const int first =
            static_cast<int>(std::find_if(codes.begin(), codes.end(), [](int c) { return c < 0; }) - codes.begin());
        if (!mayZero) {
            // A set plays: a file that can't be loaded whole changes nothing (no silent or mixed set).
            mobuLog(LOG_NOTICE,
                    "[%s] FullDuplexFIR::createFIRFilters: the filter file %s is refused from channel %d on: %s; "
                    "the filters in force stay until a file that loads replaces it",
                    logTimestamp().c_str(), filterFile.c_str(), first, why.c_str());
            return MobuDebug().evaluateError(-39902, filterFile + ": " + why + "\n");
        }
        for (int m = 0; m < M; ++m)
            if (codes[m] < 0) {
                mobuLog(LOG_NOTICE,
                        "[%s] FullDuplexFIR::createFIRFilters: Couldn't load filter from file, zeroing channel %d "
                        "PID=%d: %s",
                        logTimestamp().c_str(), m, pid, why.c_str());
                taps[m] = Eigen::VectorXd::Zero(2048);
            }
    }
    try {
        std::vector<std::unique_ptr<FIRMobu>> engines =
            FIRMobu::perInputEngines(2 * n, inputs, taps, FIRMobu::defaultPartitioning(), laterPrecision, stop);
        set.assign(engines.size(), nullptr);
        for (size_t i = 0; i < engines.size(); ++i) {
            set[i] = engines[i].release(); // owned by the set; deleted by deleteSet
            mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: Filter %d (2*N=%d) for %d outputs at %p",
                    logTimestamp().c_str(), static_cast<int>(i), 2 * n, set[i]->getChCnt(), static_cast<void*>(set[i]));
        }
    } catch (const FIRMobu::BuildAbandoned&) {
        return stopped();
    } catch (const std::exception& e) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters COEFF LOAD EXCEPTION: %s PID=%d",
                logTimestamp().c_str(), e.what(), pid);
        return MobuDebug().evaluateError(-39901);
    } catch (...) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters COEFF LOAD UNKNOWN EXCEPTION PID=%d",
                logTimestamp().c_str(), pid);
        return MobuDebug().evaluateError(-39901);
    }
    // A file that changed while it was read holds no one version: the next event builds again.
    builtStamp = stamp;
    builtStamp.valid = stamp == stampOf(filterFile);
    mobuLog(LOG_NOTICE, "inactiveFIR loaded %p", static_cast<void*>(&set));
    mobuLog(LOG_NOTICE,
            "FullDuplexFIR::createFIRFilters: the filter set from %s built in %.3f s (the file read in %.3f s)",
            filterFile.c_str(), secondsSince(started), readSeconds);
    return 0;
}

void FilterSets::deleteSet(std::vector<FIRMobu*>& set, const char* function, const char* which) {
    const int pid = getpid();
    mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s PID=%d M=%d", logTimestamp().c_str(), function, pid, M);
    try {
        for (size_t m = 0; m < set.size(); ++m) {
            if (set[m] != nullptr) {
                mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s: Deleting filter %d at %p", logTimestamp().c_str(),
                        function, static_cast<int>(m), static_cast<void*>(set[m]));
                delete set[m];
                mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s: Filter %d deleted successfully", logTimestamp().c_str(),
                        function, static_cast<int>(m));
            }
            set[m] = nullptr;
        }
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s: All %s filters deleted PID=%d", logTimestamp().c_str(), function,
                which, pid);
    } catch (const std::exception& e) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s EXCEPTION: %s PID=%d", logTimestamp().c_str(), function, e.what(),
                pid);
    } catch (...) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s UNKNOWN EXCEPTION PID=%d", logTimestamp().c_str(), function, pid);
    }
}

void FilterSets::deleteInactive() {
    deleteSet(inactive(), "deleteInactiveFIRFilters", "inactive");
}

void FilterSets::deleteActive() {
    deleteSet(active(), "deleteActiveFIRFilters", "active");
}

int FilterSets::startFirst(int n, unsigned rate, const std::function<bool()>& stopRequested) {
    std::lock_guard<std::mutex> lock(buildLock);
    if (stopRequested()) { // asked to stop while starting: build nothing
        mobuLog(LOG_NOTICE, "FullDuplexFIR::process shutdown requested before the filters were built");
        return -1;
    }
    if (inactive()[0] == nullptr) {
        mobuLog(LOG_NOTICE, "creating filters");
        if (build(n, rate, stopRequested) != 0) return -1;
        releaseFreedMemory(); // the build's temporaries, before the audio runs
        mobuLog(LOG_NOTICE, "creating filters done");
    }
    sets.completeTransition();
    ready.store(true, std::memory_order_release);
    return 0;
}

void FilterSets::rebuild(int n, unsigned rate, const std::function<bool()>& giveUp, const char* why,
                         const std::function<void()>& afterBuild) {
    // The inactive set is the pending target until the audio thread has switched to it:
    // wait for that, then build the file as it is now.
    if (!sets.waitUntilIdle(giveUp)) return;
    std::lock_guard<std::mutex> lock(buildLock);
    if (!ready.load(std::memory_order_acquire) || sets.transitionPending() || unchangedSinceBuilt()) return;
    const int built = build(n, rate, giveUp);
    releaseFreedMemory(); // what deleting the old set and the build freed
    if (afterBuild) afterBuild();
    if (built == 0) {
        if (why) mobuLog(LOG_NOTICE, "%s", why);
        sets.prepTransition();
    }
}

bool FilterSets::readCurrentFile() {
    std::lock_guard<std::mutex> lock(buildLock);
    return stampOf(filterFile) == builtStamp;
}

bool FilterSets::unchangedSinceBuilt() {
    if (!(stampOf(filterFile) == builtStamp)) return false;
    // A burst of rewrites leaves events behind that the set in force already covers.
    mobuLog(LOG_NOTICE, "FullDuplexFIR::%s the filter file %s is unchanged since the filters in force were read",
            "rebuildFilters", filterFile.c_str());
    return true;
}
