#include "MobuEmbedded/FullDuplexFIR.h"
#include "MobuEmbedded/MobuCommon.h"

#include <ALSAConfig.h>
#include <ALSADebug.h>
#include <MemoryRelease.h>
#include <ThreadPriority.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

int sigusr1_received = 0;
int sigusr2_received = 0;
int shutdown_received = 0;

namespace {
/// Highest real-time priority of the helper threads: they must never compete with the audio thread.
constexpr int maxHelperPriority = 10;

// Heartbeat state: process-wide, like the flags.
int callCount = 0;
long lastHeartbeat = 0;

/// The local time as text without its line end.
std::string timestamp() {
    char text[32];
    const time_t now = time(nullptr);
    if (ctime_r(&now, text) == nullptr) return "?";
    text[strcspn(text, "\n")] = '\0';
    return text;
}

/// "[g0,g1,...]" with %f values.
std::string gainText(const FullDuplexFIR::GainRow& g) {
    std::string text = "[";
    char value[64];
    for (Eigen::Index c = 0; c < g.size(); ++c) {
        snprintf(value, sizeof value, c ? ",%f" : "%f", g(c));
        text += value;
    }
    return text + "]";
}

/** What a coefficient file holds now: whether it is there, which file it is (device, inode,
 * times) and its size and a hash of its bytes (FNV-1a).  Read without blocking, so a FIFO
 * under the name is not waited on. */
FullDuplexFIR::FileStamp stampOf(const std::string& path) {
    FullDuplexFIR::FileStamp stamp;
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

int loadFlag(int& flag) {
    return __atomic_load_n(&flag, __ATOMIC_ACQUIRE);
}
int takeFlag(int& flag) {
    return __atomic_exchange_n(&flag, 0, __ATOMIC_ACQ_REL);
}
void raiseFlag(int& flag) {
    __atomic_store_n(&flag, 1, __ATOMIC_RELEASE);
}
} // namespace

FullDuplexFIR::FullDuplexFIR(const std::string& playbackName, const std::string& captureName)
    : FullDuplex<int>(playbackName, captureName), control(*this) {
    init_syslog();
    controlFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    buffer(0).assign(M, nullptr);
    buffer(1).assign(M, nullptr);
}

FullDuplexFIR::~FullDuplexFIR() {
    const int pid = getpid();
    // The audio thread's last lines (its exit notice) are still queued: the control thread
    // passes them on as it ends, so they come before the destructor's own.
    control.stop();
    audioLog.drain();
    mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::~FullDuplexFIR PID=%d - Starting destructor", timestamp().c_str(), pid);
    try {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Stopping FileWatchThreaded...", timestamp().c_str());
        FileWatchThreaded::stop();
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: FileWatchThreaded stopped successfully",
                timestamp().c_str());
        // The other producers use the gains and the log queue: they end before anything goes.
        MixerEvents::stopEvents();
        for (auto& eq : paraEQs)
            eq.pairWith(nullptr);
        for (auto& eq : paraEQs)
            eq.stop();
        audioLog.drain();

        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Deleting inactive FIR filters...", timestamp().c_str());
        deleteInactiveFIRFilters();
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Inactive FIR filters deleted", timestamp().c_str());
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Deleting active FIR filters...", timestamp().c_str());
        deleteActiveFIRFilters();
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Active FIR filters deleted", timestamp().c_str());
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Cleanup completed successfully PID=%d", timestamp().c_str(),
                pid);
    } catch (const std::exception& e) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor EXCEPTION: %s PID=%d", timestamp().c_str(), e.what(), pid);
    } catch (...) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor UNKNOWN EXCEPTION PID=%d", timestamp().c_str(), pid);
    }
    if (fifoFd > 0) ::close(fifoFd);
    if (controlFd >= 0) ::close(controlFd);
}

// ---------------------------------------------------------------------------------------------
// Configuration and life cycle

int FullDuplexFIR::init() {
    mobuLog(LOG_NOTICE, "%s", "init");
    M = OUT_CHCNT;
    {
        std::lock_guard<std::mutex> lock(filterBuildLock);
        for (int b = 0; b < 2; ++b) // a second init starts from nothing as well
            if (std::any_of(buffer(b).begin(), buffer(b).end(), [](FIRMobu* f) { return f != nullptr; }))
                deleteFilters(buffer(b), "init", "old");
        buffer(0).assign(M, nullptr);
        buffer(1).assign(M, nullptr);
        // Active on the first set, target on the second: the first pass builds the target and takes it up.
        if (!transitionPending()) ObjectDoubleBuffer<std::vector<FIRMobu*>>::prepTransition();
        filtersReady.store(false, std::memory_order_release);
    }
    if (!FileWatchThreaded::running() && FileWatchThreaded::run(0) != 0)
        mobuLog(LOG_NOTICE, "ERROR: Couldn't run the file watching thread.");
    if (!control.running() && (controlFd < 0 || control.run(0) != 0))
        mobuLog(LOG_NOTICE, "ERROR: Couldn't run the control thread: gain changes and audio-thread messages wait.");
    exitCount.store(0, std::memory_order_release);
    switchCount = -1;
    endedSilent = false;
    N = -1;
    if (ALSA::changeThreadPriority(-1) != 0)
        mobuLog(LOG_NOTICE, "WARNING: Couldn't set the thread to maximum priority, running with lower then expected "
                            "priority.");
    return 0;
}

namespace {
/// The text of a code from loading or searching a configuration.
std::string configText(int code) {
    switch (code) {
    case ALSA_CONFIG_FILE_ERROR:
        return "it is not a regular file of at most 1 MiB";
    case ALSA_CONFIG_NOT_TEXT_ERROR:
        return "it holds a compound, not a value";
    default:
        return snd_strerror(code);
    }
}
} // namespace

int FullDuplexFIR::loadConfig(std::string fileName) {
    mobuLog(LOG_NOTICE, "%s\t%s", "FullDuplexFIR", "loadConfig");
    configError.clear();
    // Each failure names what failed and the key it came from, for the log and the host.
    auto fail = [&](int code, const std::string& what) {
        configError = what;
        mobuLog(LOG_NOTICE, "MobuFullDuplexFIR::loadConfig : %s (%d)", what.c_str(), code);
        return code;
    };
    ALSA::Config config;
    int ret = config.load(fileName);
    if (ret < 0) {
        mobuLog(LOG_NOTICE, "Tried to open the file %s", fileName.c_str());
        return fail(ret, "can't read " + fileName + ": " + configText(ret));
    }
    std::string value;
    auto search = [&](const std::string& key) {
        const int code = key.find('.') == std::string::npos ? config.search(key) : config.search(key, value);
        if (code == -ENOENT) {
            mobuLog(LOG_NOTICE, "Couldn't find the key %s in the file %s", key.c_str(), fileName.c_str());
            fail(code, "the key " + key + " is missing");
        } else if (code < 0) {
            fail(code, "the key " + key + " can't be used: " + configText(code));
        }
        return code;
    };
    const std::string top = "MobuFullDuplexFIR";
    if ((ret = search(top)) < 0) return ret;

    if ((ret = search(top + ".filter")) < 0) return ret;
    mobuLog(LOG_NOTICE, "adding the filter file %s", value.c_str());
    if ((ret = addFilterFile(value)) != 0)
        mobuLog(LOG_NOTICE, "the filter file %s can't be watched (%s): changes to it go unnoticed", value.c_str(),
                strerror(-ret));
    else if (access(value.c_str(), F_OK) != 0)
        mobuLog(LOG_NOTICE, "the filter file %s does not exist yet: its channels are silent until it is created",
                value.c_str());

    if ((ret = search(top + ".paraeq")) < 0) return ret;
    mobuLog(LOG_NOTICE, "adding the paraeq file %s", value.c_str());
    if ((ret = addParaEQFile(value)) < 0)
        return fail(ret, "the paraeq file " + value + " (key " + top +
                             ".paraeq) can't be used: it must be a plain "
                             "name in ~/.mobu or an absolute path to a regular file");

    // The output guard: optional, from the key or else the per-user default.
    const std::string guardKey = top + ".guard";
    std::string guardPath;
    if (const int code = config.search(guardKey, value); code == 0) {
        if (value.empty() || (value[0] != '/' && (value.find('/') != std::string::npos || value == "..")))
            return fail(-EINVAL, "the output guard file \"" + value + "\" (key " + guardKey +
                                     ") is neither an absolute path nor a file name in ~/.mobu");
        if (value[0] == '/')
            guardPath = value;
        else if (MobuCommon home; home.setFileName(value.c_str()) == 0)
            guardPath = home.getFileName();
    } else if (code != -ENOENT) {
        return fail(code, "the key " + guardKey + " can't be used: " + configText(code));
    } else if (MobuCommon home; home.setFileName(OutputGuard::DEFAULT_NAME) == 0) {
        guardPath = home.getFileName();
    }
    if (!guardPath.empty() && (ret = setGuardFile(guardPath)) < 0)
        return fail(ret, configError + " (key " + guardKey + ")");

    const std::string precisionKey = top + ".precision";
    if (const int code = config.search(precisionKey, value); code == 0) {
        if (!FIRMobu::parsePrecision(value, laterPrecision))
            return fail(-EINVAL,
                        "the precision \"" + value + "\" (key " + precisionKey + ") is neither double nor single");
    } else if (code != -ENOENT) {
        return fail(code, "the key " + precisionKey + " can't be used: " + configText(code));
    }

    const std::string mixerKey = top + ".mixerDevice";
    if ((ret = search(mixerKey)) < 0) return ret;
    if ((ret = MixerEvents::open(value)) < 0) {
        mobuLog(LOG_NOTICE, "Couldn't open the ALSA mixer %s", value.c_str());
        return fail(ret, "can't open the mixer device " + value + " (key " + mixerKey + "): " + snd_strerror(ret));
    }
    mobuLog(LOG_NOTICE, "scanning the mixer %s", value.c_str());
    scanMixer();

    const std::string fifoKey = top + ".fifopath";
    if ((ret = search(fifoKey)) < 0) return ret;
    const std::string about = " (key " + fifoKey + ")";
    if (value.empty() || value[0] != '/') // else it would depend on the folder the host runs in
        return fail(-EINVAL, "the FIFO path \"" + value + "\"" + about + " is not an absolute path");
    if (mkfifo(value.c_str(), 0660) != 0) {
        const int err = errno;
        if (err != EEXIST) {
            mobuLog(LOG_NOTICE, "MobuFullDuplexFIR::%s : couldn't create the fifoFd %d : %s", "loadConfig", err,
                    strerror(err));
            return fail(-err, "can't create the FIFO " + value + about + ": " + strerror(err));
        }
        mobuLog(LOG_NOTICE, "MobuFullDuplexFIR::%s : fifo %s already exists, not creating again.", "loadConfig",
                value.c_str());
    }
    if (fifoFd > 0) ::close(fifoFd);
    fifoFd = ::open(value.c_str(), O_RDWR | O_NONBLOCK | O_ASYNC | O_CLOEXEC);
    if (fifoFd < 0) {
        const int err = errno;
        return fail(-err, "can't open the FIFO " + value + about + ": " + strerror(err));
    }
    struct stat st {};
    if (fstat(fifoFd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        // Records written into a regular file would pile up for ever.
        mobuLog(LOG_NOTICE, "MobuFullDuplexFIR::%s : %s is not a named pipe, metering is off", "loadConfig",
                value.c_str());
        ::close(fifoFd);
        fifoFd = -1;
        return fail(-EINVAL, value + about + " is not a named pipe");
    }
    for (int w = 0; w < FIFO_HEADER_CNT; ++w)
        meterRecord[FIFO_OFSET + w] = w;
    return 0;
}

int FullDuplexFIR::setLatency(float seconds) {
    const float fs = static_cast<float>(Playback::getSampleRate());
    const float frames = fs * seconds;
    N = std::isfinite(frames) && frames < 1e9f ? static_cast<int>(std::ceil(frames)) : 0;
    mobuLog(LOG_NOTICE, "requested latency : %f fs: %f setting N = %d", seconds, fs, N.load());
    if (N <= 0) {
        mobuLog(LOG_NOTICE, "invalid N");
        return -1;
    }
    return 0;
}

int FullDuplexFIR::checkDevices(std::string& problem) {
    problem.clear();
    if (N < 1) {
        problem = "no period size is set";
        return -EINVAL;
    }
    const auto n = static_cast<snd_pcm_uframes_t>(N.load());
    struct Direction {
        const ALSA::Stream& stream;
        const char* name;
        unsigned channels;
    };
    for (const Direction& d : {Direction{static_cast<const Playback&>(*this), "playback", static_cast<unsigned>(M)},
                               Direction{static_cast<const Capture&>(*this), "capture", IN_CHCNT}}) {
        const std::string device = "the " + std::string(d.name) + " device " + d.stream.getDeviceName();
        snd_pcm_t* const pcm = d.stream.ALSA::Stream::getPCM(); // this direction's own (getPCM() is the playback's)
        if (pcm == nullptr) {
            problem = device + " is not open";
            return ALSA_PCM_NOT_OPEN_ERROR;
        }
        // The stream's own configuration space is left alone: a copy is narrowed as go() will.
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        int err = snd_pcm_hw_params_any(pcm, hw);
        const unsigned rate = d.stream.getSampleRate() > 0 ? d.stream.getSampleRate() : 48000;
        if (err >= 0) err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
        if (err >= 0) err = snd_pcm_hw_params_set_format(pcm, hw, sampleFormat());
        if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm, hw, d.channels);
        if (err >= 0) err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0);
        if (err < 0) {
            problem = device + " can't take " + std::to_string(d.channels) + " channels of 32-bit samples at " +
                      std::to_string(rate) + " Hz: " + snd_strerror(err);
            return err;
        }
        // As go() sets them up: the period nearest N, and a buffer that holds two blocks of N.
        snd_pcm_uframes_t period = n, largestBuffer = 0;
        int dir = 0;
        if ((err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir)) < 0 ||
            (err = snd_pcm_hw_params_get_buffer_size_max(hw, &largestBuffer)) < 0 || largestBuffer < 2 * n) {
            problem = device + " can't take periods of " + std::to_string(n) + " frames (and a buffer of two)";
            return err < 0 ? err : -EINVAL;
        }
    }
    OutputGuard trial;
    std::lock_guard<std::mutex> lock(guardLock);
    return configureGuard(trial, problem);
}

int FullDuplexFIR::addFilterFile(std::string path) {
    filterFile = path;
    return addFileOrAwait(path); // a file still to come is loaded when it appears
}

int FullDuplexFIR::setGuardFile(const std::string& path) {
    std::vector<OutputGuard::Limits> limits;
    std::string error;
    const int ret = OutputGuard::readFile(path, limits, error, M);
    if (ret < 0 && ret != -ENOENT) {
        configError = error;
        mobuLog(LOG_NOTICE, "FullDuplexFIR::setGuardFile: %s; refused", error.c_str());
        return ret;
    }
    {
        std::lock_guard<std::mutex> lock(guardLock);
        if (!guardFile.empty() && guardFile != path) rmPath(guardFile);
        guardFile = path;
        guardLimits = limits;
    }
    if (ret == -ENOENT)
        mobuLog(LOG_NOTICE, "FullDuplexFIR::setGuardFile: no output guard file %s: the outputs are not guarded",
                path.c_str());
    else
        mobuLog(LOG_NOTICE, "FullDuplexFIR::setGuardFile: the output guard file %s: %s", path.c_str(),
                OutputGuard::describe(limits).c_str());
    if (const int watch = addFileOrAwait(path); watch < 0)
        mobuLog(LOG_NOTICE, "the output guard file %s can't be watched (%s): changes to it go unnoticed", path.c_str(),
                strerror(-watch));
    return 0;
}

int FullDuplexFIR::configureGuard(OutputGuard& guard, std::string& problem) {
    const unsigned rate = Playback::getSampleRate();
    std::vector<OutputGuard::Limits> limits = guardLimits; // the caller holds guardLock
    if (limits.empty()) limits.assign(static_cast<size_t>(M), OutputGuard::Limits{});
    const int ret = guard.configure(limits, rate > 0 ? rate : 48000.0, problem);
    if (ret < 0) {
        problem = "the output guard file " + guardFile + ": " + problem;
        return ret;
    }
    guard.reserve(std::max(N.load(), 1));
    return 0;
}

std::string FullDuplexFIR::guardPath() {
    std::lock_guard<std::mutex> lock(guardLock);
    return guardFile;
}

void FullDuplexFIR::rebuildGuard() {
    std::vector<OutputGuard::Limits> limits;
    std::string error;
    const std::string path = guardPath(); // set by the host thread while the watcher runs
    const int ret = OutputGuard::readFile(path, limits, error, M);
    if (ret == -ENOENT) {
        mobuLog(LOG_NOTICE, "FullDuplexFIR::rebuildGuard: the output guard file %s is gone; the guard in force stays",
                path.c_str());
        return;
    }
    if (ret < 0) {
        mobuLog(LOG_NOTICE, "FullDuplexFIR::rebuildGuard: %s; refused, the guard in force stays", error.c_str());
        return;
    }
    // The spare guard is the pending target until the audio thread has switched to it.
    if (!guards.waitUntilIdle([this] { return FileWatchThreaded::stopRequested(); })) return;
    std::lock_guard<std::mutex> lock(guardLock);
    if (limits == guardLimits && guardsReady) return; // what is in force already
    const std::vector<OutputGuard::Limits> before = guardLimits;
    guardLimits = limits;
    if (!guardsReady) return; // the first pass takes the file as it is now
    std::string problem;
    OutputGuard& next = *guards.inactiveBuffer();
    if (const int built = configureGuard(next, problem); built < 0) {
        guardLimits = before;
        mobuLog(LOG_NOTICE, "FullDuplexFIR::rebuildGuard: %s; refused, the guard in force stays", problem.c_str());
        return;
    }
    mobuLog(LOG_NOTICE, "FullDuplexFIR::rebuildGuard: the output guard file %s changed, switching in: %s",
            path.c_str(), OutputGuard::describe(limits).c_str());
    guards.prepTransition();
}

int FullDuplexFIR::addParaEQFile(std::string name) {
    paraEQFile = name;
    paraEQs[0].pairWith(&paraEQs[1]); // both read the one file and switch together
    paraEQs[1].pairWith(&paraEQs[0]);
    for (int i = 0; i < IN_CHCNT; ++i) {
        const int named = paraEQs[i].setFileName(name);
        if (named < 0) return named; // refused (reported, naming it): no equaliser file is watched
        if (named == 0 && (paraEQs[i].running() || paraEQs[i].run(0) == 0)) continue;
        mobuLog(LOG_NOTICE, "not running thread %d for %s", i, name.c_str());
    }
    return 0;
}

int FullDuplexFIR::link() {
    mobuLog(LOG_NOTICE, "not linking capture/playback");
    return 0;
}

int FullDuplexFIR::unLink() {
    mobuLog(LOG_NOTICE, "not linked, so not unlinking capture/playback");
    return 0;
}

void FullDuplexFIR::handleSignal(int signalNumber) {
    switch (signalNumber) {
    case SIGINT:
    case SIGKILL:
        raiseFlag(shutdown_received);
        exitCount.store(-1, std::memory_order_release);
        break;
    case SIGUSR1:
        raiseFlag(sigusr1_received);
        break;
    case SIGUSR2:
        raiseFlag(sigusr2_received);
        break;
    default:
        break;
    }
}

void FullDuplexFIR::capThreadPriority(const char* hook, const char* report, const char* changeReport) {
    const int priority = ALSA::getThreadPriority(true);
    std::cout << "FullDuplexFIR::" << hook << report << priority << std::endl;
    if (priority > maxHelperPriority) {
        std::cout << "FullDuplexFIR::" << hook << report << priority << std::endl;
        const int result = ALSA::changeThreadPriority(maxHelperPriority);
        std::cout << "FullDuplexFIR::" << hook << changeReport << result << std::endl;
    }
    std::cout << "FullDuplexFIR::" << hook << report << priority << std::endl;
}

void FullDuplexFIR::fileWatchThreadedStarting() {
    capThreadPriority("fileWatchThreadedStarting", " FileWatchThreaded : thread priority ",
                      " FileWatchThreaded : change thread priority result =  ");
}

void FullDuplexFIR::mixerEventsStarting() {
    capThreadPriority("mixerEventsStarting", " MixerEvents : thread priority ",
                      " MixerEvents :  change thread priority result =  ");
}

// ---------------------------------------------------------------------------------------------
// The control thread: gain work handed over by the audio thread, owed ramps, the audio thread's log

void FullDuplexFIR::wakeControl() {
    if (controlFd < 0) return;
    const uint64_t one = 1;
    // Non-blocking: a counter that is already set wakes the thread just as well.
    [[maybe_unused]] const ssize_t n = ::write(controlFd, &one, sizeof one);
}

int FullDuplexFIR::controlLoop() {
    while (!control.stopRequested()) {
        pollfd p{controlFd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR) return -errno;
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(controlFd, &count, sizeof count);
        controlBusy.store(true, std::memory_order_release);
        audioLog.drain();
        if (const unsigned requests = controlRequests.exchange(0, std::memory_order_acq_rel))
            serveGainRequests(requests);
        bool owed = false;
        {
            std::lock_guard<std::mutex> lock(gainLock);
            owed = gainsOwed;
        }
        if (owed && waitForGainRamp()) {
            std::lock_guard<std::mutex> lock(gainLock);
            if (gainsOwed && !gains.transitionPending()) buildGainRampLocked();
        }
        audioLog.drain();
        controlBusy.store(false, std::memory_order_release);
    }
    audioLog.drain();
    return 0;
}

bool FullDuplexFIR::waitForGainRamp() {
    while (gains.transitionPending()) {
        if (control.stopRequested()) return false;
        audioLog.drain();
        pollfd p{controlFd, POLLIN, 0};
        poll(&p, 1, 2); // the audio thread wakes us when it posts; otherwise look again soon
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(controlFd, &count, sizeof count);
    }
    return true;
}

void FullDuplexFIR::serveGainRequests(unsigned requests) {
    if (requests & RELOAD_GAINS) {
        try {
            if (loadGains() >= 0)
                mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR1 SUCCESS: Gains reloaded successfully");
            else
                mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR1 ERROR: Failed to reload gains");
        } catch (const std::exception& e) {
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR1 EXCEPTION: %s", e.what());
        } catch (...) {
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR1 UNKNOWN EXCEPTION");
        }
    }
    if (requests & RESCAN_MIXER) {
        try {
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2: About to call scanMixer()");
            scanMixer();
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2: scanMixer() completed successfully");
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2: About to call loadGains()");
            if (loadGains() >= 0) {
                mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2: loadGains() completed successfully");
                mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2 SUCCESS: Mixer state refreshed successfully");
            } else {
                mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2 ERROR: Failed to refresh mixer state");
            }
        } catch (const std::exception& e) {
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2 EXCEPTION: %s", e.what());
        } catch (...) {
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2 UNKNOWN EXCEPTION");
        }
        mobuLog(LOG_NOTICE, "FullDuplexFIR::process SIGUSR2 processing completed");
    }
}

bool FullDuplexFIR::controlIdle() const {
    return !controlBusy.load(std::memory_order_acquire) && controlRequests.load(std::memory_order_acquire) == 0 &&
           audioLog.empty();
}

FullDuplexFIR::GainRow FullDuplexFIR::getRequestedGains() {
    std::lock_guard<std::mutex> lock(gainLock);
    return requestedGains;
}

bool FullDuplexFIR::changesPending() {
    bool owed;
    {
        std::lock_guard<std::mutex> lock(gainLock);
        owed = gainsOwed;
    }
    return owed || transitionPending() || gains.transitionPending() || paraEQs[0].transitionPending() ||
           paraEQs[1].transitionPending() || paraEQs[0].reloadOwed() || paraEQs[1].reloadOwed() || !controlIdle();
}

// ---------------------------------------------------------------------------------------------
// Gains

void FullDuplexFIR::setGains(const GainRow& newGains) {
    std::lock_guard<std::mutex> lock(gainLock);
    setGainsLocked(newGains);
}

void FullDuplexFIR::setGainsLocked(const GainRow& newGains) {
    mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - ENTRY with gains: %s", gainText(newGains).c_str());
    if (!gainsReady || newGains.size() != M) {
        mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - %s, nothing to do - EXIT",
                gainsReady ? "the row does not have one gain per channel" : "the gain matrices are not sized yet");
        return;
    }
    requestedGains = newGains;
    if (gains.transitionPending()) {
        // The pending ramp is the audio thread's now: ramp on from its end once it has been applied.
        mobuLog(LOG_NOTICE, "gains already waiting for a transition");
        gainsOwed = true;
        wakeControl();
    } else {
        buildGainRampLocked();
    }
    mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - EXIT");
}

void FullDuplexFIR::buildGainRampLocked() {
    Eigen::ArrayXXd& next = *gains.inactiveBuffer();
    const Eigen::ArrayXXd& current = *gains.activeBuffer();
    const Eigen::Index Ng = next.rows(), C = next.cols();
    mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - Ng=%d, cols=%d", static_cast<int>(Ng), static_cast<int>(C));
    for (Eigen::Index c = 0; c < C; ++c) {
        mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - Processing column %d", static_cast<int>(c));
        next.col(c) = Eigen::ArrayXd::LinSpaced(Ng, current(Ng - 1, c), requestedGains(c));
        mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - Column %d updated successfully", static_cast<int>(c));
    }
    mobuLog(LOG_NOTICE, "Preparing the switching for the new gains %s", gainText(requestedGains).c_str());
    mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - About to call prepTransition()");
    gains.prepTransition();
    gainsOwed = false;
    mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - prepTransition() completed successfully");
}

int FullDuplexFIR::loadGains() {
    mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Loading initial gain, mute, and invert settings from ALSA - ENTRY");
    // Read every control first: the mixer's lock is never taken while gainLock is held
    // (the mixer thread holds the mixer's lock when it takes gainLock).
    struct Control {
        std::string name;
        bool found = false;
        double dB = 0.0;
        int value = 0;
    };
    std::vector<Control> controls(static_cast<size_t>(3 * M));
    for (int c = 0; c < M; ++c) {
        const std::string base = "Gain " + std::to_string(c);
        const std::string names[3] = {base, base + " Mute", base + " Invert"};
        for (int k = 0; k < 3; ++k) {
            Control& control = controls[3 * c + k];
            control.name = names[k];
            ALSA::MixerElement* e = getElement(names[k]);
            if (e == nullptr || e->getPlaybackChannelCount() < 1) continue;
            control.found = (k == 0 ? e->getPlaybackDB(control.dB, 0) : e->getPlaybackSwitch(control.value, 0)) == 0;
        }
    }

    std::lock_guard<std::mutex> lock(gainLock);
    if (!gainsReady) {
        mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - the gain matrices are not sized yet - RETURN -1");
        return -1;
    }
    mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Initializing gain array with current bottom row values");
    GainRow g = requestedGains;
    mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Gain array initialized successfully, M=%d", M);
    for (int c = 0; c < M; ++c) {
        mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Processing channel %d/%d", c, M);
        const Control& volume = controls[3 * c];
        const Control& mute = controls[3 * c + 1];
        const Control& invert = controls[3 * c + 2];

        mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Looking for element: %s", volume.name.c_str());
        if (volume.found) {
            g(c) = std::pow(10.0, volume.dB / 20.0);
            mobuLog(LOG_NOTICE, "Loaded Gain %d: %fdB (linear: %f)", c, volume.dB, g(c));
        } else {
            mobuLog(LOG_NOTICE, "Warning: Could not find Gain %d element, using default value", c);
            g(c) = 1.0;
        }

        mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Looking for element: %s", mute.name.c_str());
        if (mute.found && mute.value != 0) {
            muted[c] = true;
            savedGains(c) = std::abs(g(c));
            g(c) = 0.0;
            mobuLog(LOG_NOTICE, "Loaded Gain %d Mute: ON (saved unmuted gain: %f, set processing gain to 0)", c,
                    savedGains(c));
        } else if (mute.found) {
            muted[c] = false;
            mobuLog(LOG_NOTICE, "Loaded Gain %d Mute: OFF (processing gain: %f)", c, g(c));
        } else {
            muted[c] = false;
            mobuLog(LOG_NOTICE, "Warning: Could not find Gain %d Mute element", c);
        }

        mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Looking for element: %s", invert.name.c_str());
        if (invert.found) {
            inverted[c] = invert.value != 0;
            if (inverted[c] && !muted[c]) {
                g(c) = -std::abs(g(c));
                mobuLog(LOG_NOTICE, "Loaded Gain %d Invert: ON (inverted gain: %f)", c, g(c));
            } else if (inverted[c]) {
                mobuLog(LOG_NOTICE, "Loaded Gain %d Invert: ON (channel is muted, gain stays 0)", c);
            } else if (!muted[c]) {
                g(c) = std::abs(g(c));
                mobuLog(LOG_NOTICE, "Loaded Gain %d Invert: OFF (positive gain: %f)", c, g(c));
            } else {
                mobuLog(LOG_NOTICE, "Loaded Gain %d Invert: OFF (channel is muted, gain stays 0)", c);
            }
        } else {
            mobuLog(LOG_NOTICE, "Warning: Could not find Gain %d Invert element", c);
            inverted[c] = g(c) < 0.0;
        }
        mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Channel %d processing completed", c);
    }
    mobuLog(LOG_NOTICE, "Final loaded gains: %s", gainText(g).c_str());
    mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - About to call setGains()");
    setGainsLocked(g);
    mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - setGains() completed successfully");
    mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Exiting successfully - RETURN 0");
    return 0;
}

int FullDuplexFIR::handleValueEvents(ALSA::MixerElement& element) {
    const std::string& name = element.getName();
    const size_t length = name.size();
    if (name.compare(0, 5, "Gain ") != 0 || (length != 6 && length != 11 && length != 13)) return 0;
    if (name[5] < '0' || name[5] > '9') return 0;
    const int c = name[5] - '0';
    const bool isVolume = length == 6;
    const bool isMute = length == 11 && name.compare(6, 5, " Mute") == 0;
    const bool isInvert = length == 13 && name.compare(6, 7, " Invert") == 0;
    if (c >= M || !(isVolume || isMute || isInvert) || element.getPlaybackChannelCount() < 1) return 0;
    double dB = 0.0;
    int value = 0;
    if (isVolume ? element.getPlaybackDB(dB, 0) != 0 : element.getPlaybackSwitch(value, 0) != 0) return 0;

    std::lock_guard<std::mutex> lock(gainLock);
    if (!gainsReady) return 0; // the first pass reads every control
    // Start from what the latest request ends on, so a change still ramping is not lost.
    GainRow g = requestedGains;
    mobuLog(LOG_NOTICE, "current gains %s", gainText(g).c_str());
    const double sign = inverted[c] ? -1.0 : 1.0;
    if (isVolume) {
        const double v = std::pow(10.0, dB / 20.0);
        if (muted[c]) {
            savedGains(c) = v;
            mobuLog(LOG_NOTICE, "Volume changed on muted channel %d: saved gain %f, keeping muted", c, v);
        } else {
            g(c) = sign * v;
        }
    } else if (isMute) {
        if (value != 0) {
            if (!muted[c]) savedGains(c) = std::abs(g(c)); // a repeated mute keeps the saved gain
            muted[c] = true;
            g(c) = 0.0;
        } else if (muted[c]) { // an unmute of a channel that plays changes nothing
            muted[c] = false;
            g(c) = sign * savedGains(c);
        }
    } else {
        inverted[c] = value != 0;
        if (!muted[c]) g(c) = inverted[c] ? -std::abs(g(c)) : std::abs(g(c));
    }
    mobuLog(LOG_NOTICE, "new gains %s", gainText(g).c_str());
    setGainsLocked(g);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Filter sets

int FullDuplexFIR::createFIRFilters(int n) {
    const int pid = getpid();
    std::vector<FIRMobu*>& set = inactiveSet();
    // Taken before the file is read: a rewrite during the build makes the next event build again.
    const FileStamp stamp = stampOf(filterFile);
    try {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters PID=%d to handle %d samples, M=%d",
                timestamp().c_str(), pid, n, M);
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: Deleting inactive FIR filters...",
                timestamp().c_str());
        deleteInactiveFIRFilters();
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: Inactive filters deleted", timestamp().c_str());
    } catch (const std::exception& e) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters EXCEPTION: %s PID=%d", timestamp().c_str(), e.what(),
                pid);
        return MobuDebug().evaluateError(-39901);
    } catch (...) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters UNKNOWN EXCEPTION PID=%d", timestamp().c_str(), pid);
        return MobuDebug().evaluateError(-39901);
    }
    // Every output's taps first (the file read once), then one engine per input for the outputs
    // it feeds (output m from input m mod IN_CHCNT), which transforms that input once for all of them.
    mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: Loading the coefficients of %d channels from file %s",
            timestamp().c_str(), M, filterFile.c_str());
    std::vector<Eigen::VectorXd> taps;
    std::vector<int> codes;
    std::string why;
    if (FIRMobu::readChannels(filterFile, M, taps, codes, why, Playback::getSampleRate()) < 0) {
        const int first =
            static_cast<int>(std::find_if(codes.begin(), codes.end(), [](int c) { return c < 0; }) - codes.begin());
        if (filtersReady.load(std::memory_order_acquire)) {
            // A set plays: a file that can't be loaded whole changes nothing (no silent or mixed set).
            mobuLog(LOG_NOTICE,
                    "[%s] FullDuplexFIR::createFIRFilters: the filter file %s is refused from channel %d on: %s; "
                    "the filters in force stay until a file that loads replaces it",
                    timestamp().c_str(), filterFile.c_str(), first, why.c_str());
            return MobuDebug().evaluateError(-39902, filterFile + ": " + why + "\n");
        }
        for (int m = 0; m < M; ++m)
            if (codes[m] < 0) {
                mobuLog(LOG_NOTICE,
                        "[%s] FullDuplexFIR::createFIRFilters: Couldn't load filter from file, zeroing channel %d "
                        "PID=%d: %s",
                        timestamp().c_str(), m, pid, why.c_str());
                taps[m] = Eigen::VectorXd::Zero(2048);
            }
    }
    try {
        std::vector<std::unique_ptr<FIRMobu>> engines =
            FIRMobu::perInputEngines(2 * n, IN_CHCNT, taps, FIRMobu::defaultPartitioning(), laterPrecision);
        set.assign(engines.size(), nullptr);
        for (size_t i = 0; i < engines.size(); ++i) {
            set[i] = engines[i].release(); // owned by the set; deleted by delete...FIRFilters
            mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters: Filter %d (2*N=%d) for %d outputs at %p",
                    timestamp().c_str(), static_cast<int>(i), 2 * n, set[i]->getChCnt(), static_cast<void*>(set[i]));
        }
    } catch (const std::exception& e) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters COEFF LOAD EXCEPTION: %s PID=%d", timestamp().c_str(),
                e.what(), pid);
        return MobuDebug().evaluateError(-39901);
    } catch (...) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::createFIRFilters COEFF LOAD UNKNOWN EXCEPTION PID=%d",
                timestamp().c_str(), pid);
        return MobuDebug().evaluateError(-39901);
    }
    // A file that changed while it was read holds no one version: the next event builds again.
    builtStamp = stamp;
    builtStamp.valid = stamp == stampOf(filterFile);
    mobuLog(LOG_NOTICE, "inactiveFIR loaded %p", static_cast<void*>(&set));
    return 0;
}

void FullDuplexFIR::deleteFilters(std::vector<FIRMobu*>& set, const char* function, const char* which) {
    const int pid = getpid();
    mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s PID=%d M=%d", timestamp().c_str(), function, pid, M);
    try {
        for (size_t m = 0; m < set.size(); ++m) {
            if (set[m] != nullptr) {
                mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s: Deleting filter %d at %p", timestamp().c_str(), function,
                        static_cast<int>(m), static_cast<void*>(set[m]));
                delete set[m];
                mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s: Filter %d deleted successfully", timestamp().c_str(),
                        function, static_cast<int>(m));
            }
            set[m] = nullptr;
        }
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s: All %s filters deleted PID=%d", timestamp().c_str(), function,
                which, pid);
    } catch (const std::exception& e) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s EXCEPTION: %s PID=%d", timestamp().c_str(), function, e.what(),
                pid);
    } catch (...) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::%s UNKNOWN EXCEPTION PID=%d", timestamp().c_str(), function, pid);
    }
}

void FullDuplexFIR::deleteInactiveFIRFilters() {
    deleteFilters(inactiveSet(), "deleteInactiveFIRFilters", "inactive");
}

void FullDuplexFIR::deleteActiveFIRFilters() {
    deleteFilters(activeSet(), "deleteActiveFIRFilters", "active");
}

bool FullDuplexFIR::waitForFilterSwitch() {
    return waitUntilIdle([this] { return FileWatchThreaded::stopRequested(); });
}

void FullDuplexFIR::rebuildFilters(const char* why) {
    // The inactive set is the pending target until the audio thread has switched to it:
    // wait for that, then build the file as it is now.
    if (!waitForFilterSwitch()) return;
    std::lock_guard<std::mutex> lock(filterBuildLock);
    if (!filtersReady.load(std::memory_order_acquire) || transitionPending() || unchangedSinceBuilt()) return;
    if (createFIRFilters(N) == 0) {
        if (why) mobuLog(LOG_NOTICE, "%s", why);
        ObjectDoubleBuffer<std::vector<FIRMobu*>>::prepTransition();
    }
    releaseFreedMemory(); // what deleting the old set and the build freed
}

bool FullDuplexFIR::filtersReadCurrentFile() {
    std::lock_guard<std::mutex> lock(filterBuildLock);
    return stampOf(filterFile) == builtStamp;
}

bool FullDuplexFIR::unchangedSinceBuilt() {
    if (!(stampOf(filterFile) == builtStamp)) return false;
    // A burst of rewrites leaves events behind that the set in force already covers.
    mobuLog(LOG_NOTICE, "FullDuplexFIR::%s the filter file %s is unchanged since the filters in force were read",
            "rebuildFilters", filterFile.c_str());
    return true;
}

void FullDuplexFIR::closeWrite(char* name) {
    mobuLog(LOG_NOTICE, "FullDuplexFIR::closeWrite file just closed : %s", name);
    if (const std::string guard = guardPath(); !guard.empty() && guard == name) {
        rebuildGuard();
        return;
    }
    if (N < 1) {
        mobuLog(LOG_NOTICE, "N=%d which is not valid - can't create filters", N.load());
        return;
    }
    rebuildFilters(nullptr);
}

void FullDuplexFIR::attribChange(char* name, int wd) {
    mobuLog(LOG_NOTICE, "FullDuplexFIR::attribChange on file : %s", name);
    mobuLog(LOG_NOTICE, "FullDuplexFIR::attribChange wd : %d", wd);
    mobuLog(LOG_NOTICE, "FullDuplexFIR::attribChange fd : %d", getWatchDescriptor(filterFile));
    std::this_thread::sleep_for(std::chrono::milliseconds(250)); // let a writer finish
    if (const std::string guard = guardPath(); !guard.empty() && guard == name) {
        rm(wd);
        addFileOrAwait(guard); // a file replaced by rename is watched under its new inode
        rebuildGuard();
        return;
    }
    if (N < 1) {
        mobuLog(LOG_NOTICE, "N=%d which is not valid - can't create filters", N.load());
        return;
    }
    if (!waitForFilterSwitch()) return;
    std::lock_guard<std::mutex> lock(filterBuildLock);
    if (!filtersReady.load(std::memory_order_acquire) || transitionPending() || unchangedSinceBuilt()) return;
    const int ret = createFIRFilters(N);
    releaseFreedMemory(); // what deleting the old set and the build freed
    rm(wd);
    addFileOrAwait(filterFile); // a file replaced by rename is watched under its new inode
    if (ret == 0) ObjectDoubleBuffer<std::vector<FIRMobu*>>::prepTransition();
}

// ---------------------------------------------------------------------------------------------
// The audio thread

template <typename... Args> void FullDuplexFIR::rtLog(int priority, const char* format, Args... args) {
    audioLog.post(priority, format, args...);
    posted = true;
}

template <typename Column> int32_t FullDuplexFIR::peak(const Column& column) {
    int64_t p = 0;
    for (Eigen::Index n = 0; n < column.size(); ++n)
        p = std::max(p, std::abs(static_cast<int64_t>(column(n))));
    return static_cast<int32_t>(std::min<int64_t>(p, INT32_MAX));
}

int FullDuplexFIR::process() {
    posted = false;
    const long now = static_cast<long>(time(nullptr));
    if (++callCount % 1000 == 0 || now - lastHeartbeat >= 10) {
        rtLog(LOG_NOTICE, "FullDuplexFIR::process [PID:%d] call #%d at %ld", static_cast<int>(getpid()), callCount,
              now);
        lastHeartbeat = now;
    }
    // Reloading gains reads the mixer, which takes locks: the control thread does it.
    if (takeFlag(sigusr1_received)) {
        rtLog(LOG_NOTICE, "FullDuplexFIR::process [PID:%d] Processing SIGUSR1 - reloading ALSA gains",
              static_cast<int>(getpid()));
        controlRequests.fetch_or(RELOAD_GAINS, std::memory_order_acq_rel);
    }
    if (takeFlag(sigusr2_received)) {
        rtLog(LOG_NOTICE, "FullDuplexFIR::process [PID:%d] Processing SIGUSR2 - refreshing mixer state",
              static_cast<int>(getpid()));
        controlRequests.fetch_or(RESCAN_MIXER, std::memory_order_acq_rel);
    }
    if (loadFlag(shutdown_received))
        rtLog(LOG_NOTICE, "FullDuplexFIR::process [PID:%d] Processing shutdown signal", static_cast<int>(getpid()));
    if (xrunDetected()) {
        rtLog(LOG_NOTICE, "FullDuplexFIR::process XRUN detected - shutting down");
        // Only a running processor starts the drain: on a machine that can't keep up every
        // period over/under-runs, and starting the drain again each time would never end it.
        int running = 0;
        exitCount.compare_exchange_strong(running, -1, std::memory_order_acq_rel);
    }

    int ret = 0;
    if (inputAudio.rows() != N || inputAudio.cols() != IN_CHCNT || outputAudio.rows() != N || outputAudio.cols() != M) {
        ret = firstPass();
    } else {
        for (int c = 0; c < IN_CHCNT; ++c)
            inLevels[c] = std::max(inLevels[c], peak(inputAudio.col(c)));
        const bool firPending = transitionPending();
        const bool eqPending = paraEQs[0].transitionPending() && paraEQs[1].transitionPending();
        const bool guardPending = guards.transitionPending();
        const int exiting = exitCount.load(std::memory_order_acquire);
        bool ended = false;
        if (exiting == 0 && (eqPending || switchCount > 0 || firPending || guardPending)) {
            switchStep(firPending, eqPending, guardPending);
        } else {
            switchCount = -1;
            if (exiting == 0)
                normalStep();
            else
                ended = exitStep();
        }
        if (ended) {
            ret = -1;
        } else {
            guardPass();
            meter();
        }
    }
    if (posted) wakeControl();
    return ret;
}

int FullDuplexFIR::firstPass() {
    mobuLog(LOG_NOTICE, "FullDuplexFIR::process first pass resizing");
    if (N < 1) { // nothing can be sized
        mobuLog(LOG_NOTICE, "FullDuplexFIR::setLatency and setSampleRate haven't been called yet");
        return -1;
    }
    const unsigned rate = Playback::getSampleRate();
    const double fs = rate > 0 ? rate : 48000.0; // the rate the driver loop chooses when none was set
    inputAudio.setZero(N, IN_CHCNT);
    for (int c = 0; c < IN_CHCNT; ++c) {
        eqIn[c].setZero(N);
        eqOut[c].setZero(N);
        paraEQs[c].setFS(fs);
        paraEQs[c].refreshParaEQ();
        // Nothing has been played yet: the file's settings are in force from the first block, no switch.
        if (paraEQs[c].transitionPending()) paraEQs[c].completeTransition();
        paraEQs[c].process(eqIn[c], eqOut[c]); // sizes its scratch block (silence leaves the state at rest)
    }
    outputAudio.setZero(N, M); // the first block is never played; silence is what a restart would send

    {
        std::lock_guard<std::mutex> lock(filterBuildLock);
        if (loadFlag(shutdown_received)) { // asked to stop while starting: build nothing
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process shutdown requested before the filters were built");
            return -1;
        }
        if (inactiveSet()[0] == nullptr) {
            mobuLog(LOG_NOTICE, "creating filters");
            if (createFIRFilters(N) != 0) return -1;
            releaseFreedMemory(); // the build's temporaries, before the audio runs
            mobuLog(LOG_NOTICE, "creating filters done");
        }
        completeTransition();
        filtersReady.store(true, std::memory_order_release);
    }

    {
        // The guard file as it is now; a change from here on is built by the file-watch thread.
        std::string problem;
        std::lock_guard<std::mutex> lock(guardLock);
        guards.completeTransition();
        OutputGuard& guard = *guards.activeBuffer();
        if (configureGuard(guard, problem) < 0) {
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process %s; nothing plays", problem.c_str());
            return -1;
        }
        guardsReady = true;
        if (!guard.empty())
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process the output guard is in force: %s",
                    OutputGuard::describe(guard.getLimits()).c_str());
    }
    mobuLog(LOG_NOTICE, "setting gain matrices");
    {
        std::lock_guard<std::mutex> lock(gainLock);
        gains.buffer(0).setOnes(N, M);
        gains.buffer(1).setOnes(N, M);
        gains.completeTransition();
        savedGains.setZero(M);
        muted.assign(M, false);
        inverted.assign(M, false);
        requestedGains.setOnes(M);
        gainsOwed = false;
        gainsReady = true;
    }
    mobuLog(LOG_NOTICE, "loading gains");
    if (loadGains() < 0) return -1;
    {
        // Nothing has been played yet: the mixer's gains, mutes and polarities hold from the
        // first sound on, without a ramp from unity (a muted channel must never sound).
        std::lock_guard<std::mutex> lock(gainLock);
        gains.buffer(0) = requestedGains.replicate(N, 1);
        gains.buffer(1) = gains.buffer(0);
        gains.completeTransition();
        gainsOwed = false;
    }
    mobuLog(LOG_NOTICE, "gains loaded");
    // Start from silence: the filters hear the input for three silent periods, then fade in.
    switchCount = startingCount;
    endedSilent = true;

    // Start the OpenMP team now, so that the first period does not create threads.
#pragma omp parallel
    {}
    mobuLog(LOG_NOTICE, "FullDuplexFIR::process first pass resizing exit");
    return 0;
}

void FullDuplexFIR::equaliserPass(bool switchEqualisers) {
#pragma omp parallel for schedule(static)
    for (int c = 0; c < IN_CHCNT; ++c) {
        if (switchEqualisers) paraEQs[c].completeTransition();
        eqIn[c] = inputAudio.col(c).cast<double>();
        paraEQs[c].process(eqIn[c], eqOut[c]);
    }
}

void FullDuplexFIR::filterPass(int fade) {
    const Eigen::ArrayXXd& g = *gains.activeBuffer();
    std::vector<FIRMobu*>& set = activeSet();
    // Engine i filters input i for outputs i, i + IN_CHCNT, ... (its channels 0, 1, ...).
#pragma omp parallel for schedule(static)
    for (int i = 0; i < static_cast<int>(set.size()); ++i) {
        set[i]->filterLocal(eqOut[i], fade);
        for (int k = 0, m = i; k < set[i]->getChCnt(); ++k, m += IN_CHCNT)
            set[i]->writeGained(k, outputAudio.col(m), g(N - 1, m));
    }
}

void FullDuplexFIR::normalStep() {
    endedSilent = false;
    equaliserPass(false);
    if (!gains.transitionPending()) {
        filterPass(0);
        return;
    }
    // Every channel of this period follows its ramp; the next period uses the new gains.
    const Eigen::ArrayXXd& ramp = *gains.targetBuffer();
    std::vector<FIRMobu*>& set = activeSet();
#pragma omp parallel for schedule(static)
    for (int i = 0; i < static_cast<int>(set.size()); ++i) {
        set[i]->filterLocal(eqOut[i], 0);
        for (int k = 0, m = i; k < set[i]->getChCnt(); ++k, m += IN_CHCNT)
            set[i]->writeGained(k, outputAudio.col(m), ramp.col(m));
    }
    gains.completeTransition();
}

void FullDuplexFIR::switchStep(bool firPending, bool eqPending, bool guardPending) {
    if (switchCount < 0) { // the old filters fade out
        equaliserPass(false);
        filterPass(-1);
        switchCount = 3;
        endedSilent = true;
        return;
    }
    if (switchCount == startingCount) { // start-up: silent while the filters fill
        equaliserPass(false);
        filterPass(2);
        switchCount = 3;
        endedSilent = true;
        return;
    }
    bool switchEqualisers = false;
    if (switchCount == 3) {
        if (firPending) {
            rtLog(LOG_NOTICE, "FullDuplexFIR::%s switching FIR filter over", "process");
            completeTransition();
        }
        if (eqPending) {
            rtLog(LOG_NOTICE, "FullDuplexFIR::%s switching paraEQs over", "process");
            switchEqualisers = true;
        }
        if (guardPending) {
            rtLog(LOG_NOTICE, "FullDuplexFIR::%s switching the output guard over", "process");
            guards.completeTransition();
        }
    }
    equaliserPass(switchEqualisers);
    filterPass(switchCount); // 3, 2: silence while the new filters fill; 1: fade in; 0: plain
    endedSilent = switchCount > 1;
    --switchCount;
}

bool FullDuplexFIR::exitStep() {
    int state = exitCount.load(std::memory_order_acquire);
    if (state < 0) {
        // After silence (a switch's silent periods, or the drain itself) a fade-out would
        // bring the filters back for one period: stay silent instead.
        if (endedSilent) {
            outputAudio.setZero();
        } else {
            equaliserPass(false);
            filterPass(-1);
        }
        endedSilent = true;
        exitCount.compare_exchange_strong(state, 5, std::memory_order_acq_rel); // a new request stays -1
        return false;
    }
    const int next = state - 1;
    if (exitCount.compare_exchange_strong(state, next, std::memory_order_acq_rel) && next == 0) {
        rtLog(LOG_NOTICE, "FullDuplexFIR::%s exiting", "process");
        endedSilent = false;
        __atomic_store_n(&shutdown_received, 0, __ATOMIC_RELEASE);
        return true;
    }
    outputAudio.setZero();
    return false;
}

void FullDuplexFIR::guardPass() {
    OutputGuard& guard = *guards.activeBuffer();
    if (guard.empty()) return;
    int32_t* const block = outputAudio.data(); // row-major: sample n of output m at n * M + m
#pragma omp parallel for schedule(static)
    for (int m = 0; m < M; ++m)
        guard.process(m, block + m, N, M);
}

void FullDuplexFIR::meter() {
    for (int m = 0; m < M && m < OUT_CHCNT; ++m)
        outLevels[m] = std::max(outLevels[m], peak(outputAudio.col(m)));
    std::copy(inLevels, inLevels + IN_CHCNT, meterRecord + FIFO_HEADER_CNT);
    std::copy(outLevels, outLevels + OUT_CHCNT, meterRecord + FIFO_HEADER_CNT + IN_CHCNT);
    if (fifoFd <= 0) return;
    auto clearLevels = [this] {
        std::fill(inLevels, inLevels + IN_CHCNT, 0);
        std::fill(outLevels, outLevels + OUT_CHCNT, 0);
    };
    int unread = 0;
    if (ioctl(fifoFd, FIONREAD, &unread) < 0) {
        rtLog(LOG_NOTICE, "MobuFullDuplexFIR::ioctl FIONREAD failed");
        clearLevels();
        return;
    }
    if (unread > 0) { // the reader has not taken the last record: keep accumulating
        ++backlogCount;
        const long now = static_cast<long>(time(nullptr));
        if (backlogCount == 1 || (backlogCount % 256 == 0 && now != lastBacklogSecond)) {
            rtLog(LOG_DEBUG, "MobuFullDuplexFIR::process FIFO backlog detected: bytes=%d, iterations=%d", unread,
                  static_cast<int>(backlogCount));
            lastBacklogSecond = now;
        }
        return;
    }
    backlogCount = 0;
    [[maybe_unused]] const ssize_t n = ::write(fifoFd, meterRecord, sizeof meterRecord);
    clearLevels();
}
