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
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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
/// Niceness of the thread that builds filter sets (time-shared, below every other thread of the processor).
constexpr int builderNiceness = 10;
/// A metering FIFO backlog ends once the reader has kept up this long; while it lasts it is summed up this often.
constexpr int64_t backlogQuietMs = 2000;
constexpr int64_t backlogSummaryEveryMs = 60000;

// Heartbeat state: process-wide, like the flags.
int callCount = 0;
long lastHeartbeat = 0;

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
}

FullDuplexFIR::~FullDuplexFIR() {
    const int pid = getpid();
    status.stop(); // its last document says the processor stopped
    // The audio thread's last lines (its exit notice) are still queued: the control thread
    // passes them on as it ends, so they come before the destructor's own.
    control.stop();
    audioLog.drain();
    mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR::~FullDuplexFIR PID=%d - Starting destructor", logTimestamp().c_str(), pid);
    try {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Stopping FileWatchThreaded...", logTimestamp().c_str());
        FileWatchThreaded::stop();
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: FileWatchThreaded stopped successfully",
                logTimestamp().c_str());
        // The other producers use the gains and the log queue: they end before anything goes.
        MixerEvents::stopEvents();
        for (auto& eq : paraEQs)
            eq.pairWith(nullptr);
        for (auto& eq : paraEQs)
            eq.stop();
        audioLog.drain();

        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Deleting inactive FIR filters...", logTimestamp().c_str());
        deleteInactiveFIRFilters();
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Inactive FIR filters deleted", logTimestamp().c_str());
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Deleting active FIR filters...", logTimestamp().c_str());
        deleteActiveFIRFilters();
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Active FIR filters deleted", logTimestamp().c_str());
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor: Cleanup completed successfully PID=%d",
                logTimestamp().c_str(), pid);
    } catch (const std::exception& e) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor EXCEPTION: %s PID=%d", logTimestamp().c_str(), e.what(),
                pid);
    } catch (...) {
        mobuLog(LOG_NOTICE, "[%s] FullDuplexFIR destructor UNKNOWN EXCEPTION PID=%d", logTimestamp().c_str(), pid);
    }
    if (fifoFd > 0) ::close(fifoFd);
    if (controlFd >= 0) ::close(controlFd);
}

// ---------------------------------------------------------------------------------------------
// Configuration and life cycle

int FullDuplexFIR::init() {
    mobuLog(LOG_NOTICE, "%s", "init");
    M = OUT_CHCNT;
    filters.reset(M);
    if (!FileWatchThreaded::running() && FileWatchThreaded::run(0) != 0)
        mobuLog(LOG_NOTICE, "ERROR: Couldn't run the file watching thread.");
    if (!control.running() && (controlFd < 0 || control.run(0) != 0))
        mobuLog(LOG_NOTICE, "ERROR: Couldn't run the control thread: gain changes and audio-thread messages wait.");
    exitCount.store(0, std::memory_order_release);
    switchCount = -1;
    silentEngines = 0;
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

    // The equalisers: paraeq for both inputs, paraeq0 and paraeq1 for one input each (either
    // wins over paraeq for its input); every input needs one.
    std::string eqFiles[IN_CHCNT], eqKeys[IN_CHCNT];
    for (int c = 0; c < IN_CHCNT; ++c) {
        eqKeys[c] = top + ".paraeq" + std::to_string(c);
        if (const int code = config.search(eqKeys[c], eqFiles[c]); code < 0 && code != -ENOENT)
            return fail(code, "the key " + eqKeys[c] + " can't be used: " + configText(code));
    }
    if (eqFiles[0].empty() || eqFiles[1].empty()) {
        if ((ret = search(top + ".paraeq")) < 0) return ret;
        for (int c = 0; c < IN_CHCNT; ++c)
            if (eqFiles[c].empty()) {
                eqFiles[c] = value;
                eqKeys[c] = top + ".paraeq";
            }
    }
    const auto refusedEq = [&](int code, int c) {
        return fail(code, "the paraeq file " + eqFiles[c] + " (key " + eqKeys[c] +
                              ") can't be used: it must be a plain "
                              "name in ~/.mobu or an absolute path to a regular file");
    };
    if (eqFiles[0] == eqFiles[1]) {
        mobuLog(LOG_NOTICE, "adding the paraeq file %s", eqFiles[0].c_str());
        if ((ret = addParaEQFile(eqFiles[0])) < 0) return refusedEq(ret, 0);
    } else {
        for (int c = 0; c < IN_CHCNT; ++c) {
            mobuLog(LOG_NOTICE, "adding the paraeq file %s for input %d", eqFiles[c].c_str(), c);
            if ((ret = addParaEQFile(c, eqFiles[c])) < 0) return refusedEq(ret, c);
        }
    }

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
        if (!FIRMobu::parsePrecision(value, filters.precision()))
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

    // Optional: the status file the processor publishes about four times a second.
    const std::string statusKey = top + ".statusfile";
    if (const int code = config.search(statusKey, value); code == 0) {
        if (const int refused = status.setPath(value); refused < 0)
            return fail(refused, "the status file \"" + value + "\" (key " + statusKey + ") can't be used: " +
                                     (refused == -EINVAL ? "it is not an absolute path"
                                                         : "it is not a regular file this program may replace"));
    } else if (code != -ENOENT) {
        return fail(code, "the key " + statusKey + " can't be used: " + configText(code));
    }
    return 0;
}

int FullDuplexFIR::setLatency(float seconds) {
    streamRate.store(Playback::getSampleRate(), std::memory_order_release);
    const float fs = static_cast<float>(streamRate.load(std::memory_order_acquire));
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
    filters.setFile(path);
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
    const unsigned rate = streamRate.load(std::memory_order_acquire); // also on the file-watch thread
    std::vector<OutputGuard::Limits> limits = guardLimits;            // the caller holds guardLock
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
    mobuLog(LOG_NOTICE, "FullDuplexFIR::rebuildGuard: the output guard file %s changed, switching in: %s", path.c_str(),
            OutputGuard::describe(limits).c_str());
    guards.prepTransition();
}

int FullDuplexFIR::addParaEQFile(std::string name) {
    paraEQFiles[0] = paraEQFiles[1] = name;
    eqPaired = true;
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

int FullDuplexFIR::addParaEQFile(int input, const std::string& name) {
    if (input < 0 || input >= IN_CHCNT) return -EINVAL;
    paraEQFiles[input] = name;
    eqPaired = false; // each input reads its own file and switches alone
    for (auto& eq : paraEQs)
        eq.pairWith(nullptr);
    ParaEQFileWatcher& eq = paraEQs[input];
    const int named = eq.setFileName(name);
    if (named < 0) return named; // refused (reported, naming it): this input watches no file
    if (named != 0 || (!eq.running() && eq.run(0) != 0))
        mobuLog(LOG_NOTICE, "not running thread %d for %s", input, name.c_str());
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
    // This thread builds the filter sets: seconds of work on a board whose cores the audio
    // thread shares with the web interface and measurement.  Under SCHED_FIFO a build would
    // take a core from everything time-shared and count against the real-time budget the
    // audio thread lives on; time-shared at a raised niceness it runs below the audio thread,
    // the mixer and the control thread and takes mostly idle time.
    sched_param param{};
    param.sched_priority = 0;
    const int policy = pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
    const int niced =
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), builderNiceness) == 0 ? 0 : errno;
    if (policy == 0 && niced == 0)
        mobuLog(LOG_NOTICE, "FullDuplexFIR::fileWatchThreadedStarting: filter sets are built time-shared at nice %d",
                builderNiceness);
    else
        mobuLog(LOG_NOTICE, "FullDuplexFIR::fileWatchThreadedStarting: can't lower the building thread (%s)",
                strerror(policy != 0 ? policy : niced));
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
    // Created by a thread that may already run at the audio thread's priority (a restart
    // after an over/under-run): never above the other helpers.
    capThreadPriority("controlLoop", " control : thread priority ", " control : change thread priority result = ");
    while (!control.stopRequested()) {
        pollfd p{controlFd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR) return -errno;
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(controlFd, &count, sizeof count);
        controlBusy.store(true, std::memory_order_release);
        audioLog.drain();
        if (const unsigned requests = controlRequests.exchange(0, std::memory_order_acq_rel))
            serveGainRequests(requests);
        if (gains.owed() && waitForGainRamp()) gains.serveOwed();
        audioLog.drain();
        controlBusy.store(false, std::memory_order_release);
    }
    audioLog.drain();
    return 0;
}

bool FullDuplexFIR::waitForGainRamp() {
    while (gains.rampPending()) {
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
    return gains.requested();
}

bool FullDuplexFIR::changesPending() {
    return gains.owed() || filters.pending() || gains.rampPending() || paraEQs[0].transitionPending() ||
           paraEQs[1].transitionPending() || paraEQs[0].reloadOwed() || paraEQs[1].reloadOwed() || !controlIdle();
}

// ---------------------------------------------------------------------------------------------
// Gains

void FullDuplexFIR::setGains(const GainRow& newGains) {
    gains.set(newGains);
}

int FullDuplexFIR::loadGains() {
    mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - Loading initial gain, mute, and invert settings from ALSA - ENTRY");
    // Read every control first: the mixer's lock is never taken while the gain control's lock
    // is held (the mixer thread holds the mixer's lock when it takes the gain control's).
    std::vector<GainControl::Reading> controls(static_cast<size_t>(3 * M));
    for (int c = 0; c < M; ++c) {
        const std::string base = "Gain " + std::to_string(c);
        const std::string names[3] = {base, base + " Mute", base + " Invert"};
        for (int k = 0; k < 3; ++k) {
            GainControl::Reading& control = controls[3 * c + k];
            control.name = names[k];
            ALSA::MixerElement* e = getElement(names[k]);
            if (e == nullptr || e->getPlaybackChannelCount() < 1) continue;
            control.found = (k == 0 ? e->getPlaybackDB(control.dB, 0) : e->getPlaybackSwitch(control.value, 0)) == 0;
        }
    }

    if (gains.applyReadings(controls) < 0) return -1;
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

    gains.applyChange(c,
                      isVolume ? GainControl::Kind::Volume
                      : isMute ? GainControl::Kind::Mute
                               : GainControl::Kind::Invert,
                      dB, value);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Filter sets

int FullDuplexFIR::createFIRFilters(int n) {
    return filters.build(n, Playback::getSampleRate(), [] { return loadFlag(shutdown_received) != 0; });
}

void FullDuplexFIR::deleteInactiveFIRFilters() {
    filters.deleteInactive();
}

void FullDuplexFIR::deleteActiveFIRFilters() {
    filters.deleteActive();
}

bool FullDuplexFIR::filtersReadCurrentFile() {
    return filters.readCurrentFile();
}

bool FullDuplexFIR::buildGivesUp() const {
    // The watcher stops (the processor ends), or the run is ending: a set now would never play.
    return FileWatchThreaded::stopRequested() || loadFlag(shutdown_received) != 0;
}

void FullDuplexFIR::rebuildFilters(const char* why) {
    filters.rebuild(
        N, streamRate.load(std::memory_order_acquire), [this] { return buildGivesUp(); }, why);
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
    mobuLog(LOG_NOTICE, "FullDuplexFIR::attribChange fd : %d", getWatchDescriptor(filters.file()));
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
    // A file replaced by rename is watched under its new inode.
    filters.rebuild(
        N, streamRate.load(std::memory_order_acquire), [this] { return buildGivesUp(); }, nullptr,
        [this, wd] {
            rm(wd);
            addFileOrAwait(filters.file());
        });
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
    // A period after the first pass, measured for the status file.
    const bool measured = status.enabled() && inputAudio.rows() == N && inputAudio.cols() == IN_CHCNT &&
                          outputAudio.rows() == N && outputAudio.cols() == OUT_CHCNT;
    const int64_t began = measured ? ProcessorStatus::nowNs() : 0;
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
        const bool firPending = filters.pending();
        const unsigned eqPending = equaliserSwitchMask();
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
    if (measured && ret == 0) status.recordPeriod(began, xrunDetected(), inputAudio.data(), outputAudio.data(), N);
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

    if (filters.startFirst(N, rate, [] { return loadFlag(shutdown_received) != 0; }) < 0) return -1;

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
    gains.size(N, M);
    mobuLog(LOG_NOTICE, "loading gains");
    if (loadGains() < 0) return -1;
    gains.holdRequested();
    mobuLog(LOG_NOTICE, "gains loaded");
    // Start from silence: the filters hear the input for three silent periods, then fade in.
    switchCount = startingCount;
    silentEngines = allEngines;

    if (status.enabled()) {
        std::vector<ProcessorStatus::File> used{{"filter", filters.file()}};
        // One equaliser file for both inputs, or one per input.
        if (paraEQs[0].getFileName() == paraEQs[1].getFileName())
            used.emplace_back("paraeq", paraEQs[0].getFileName());
        else
            for (int c = 0; c < IN_CHCNT; ++c)
                used.emplace_back("paraeq" + std::to_string(c), paraEQs[c].getFileName());
        if (const std::string guard = guardPath(); !guard.empty()) used.emplace_back("guard", guard);
        status.setStream(rate > 0 ? rate : 48000, N);
        if (status.start(std::move(used), historyRestarts, historyXruns) != 0)
            mobuLog(LOG_NOTICE, "FullDuplexFIR::process can't start the thread of the status file %s",
                    status.path().c_str());
    }
    // Start the OpenMP team now, so that the first period does not create threads.
#pragma omp parallel
    {}
    mobuLog(LOG_NOTICE, "FullDuplexFIR::process first pass resizing exit");
    return 0;
}

void FullDuplexFIR::normalStep() {
    silentEngines = 0;
    equaliserPass(0);
    if (!gains.rampPending()) {
        filterPass(0);
        return;
    }
    // Every channel of this period follows its ramp; the next period uses the new gains.
    const Eigen::ArrayXXd& ramp = gains.ramp();
    std::vector<FIRMobu*>& set = filters.active();
#pragma omp parallel for schedule(static)
    for (int i = 0; i < static_cast<int>(set.size()); ++i) {
        set[i]->filterLocal(eqOut[i], 0);
        for (int k = 0, m = i; k < set[i]->getChCnt(); ++k, m += IN_CHCNT)
            set[i]->writeGained(k, outputAudio.col(m), ramp.col(m));
    }
    gains.completeRamp();
}

void FullDuplexFIR::switchStep(bool firPending, unsigned eqPending, bool guardPending) {
    if (switchCount < 0) { // the old filters fade out
        // New filters or a new guard take every output through the switch; an equaliser
        // alone only the outputs its input feeds (engine i filters input i).
        switching = firPending || guardPending ? allEngines : eqPending;
        equaliserPass(0);
        filterPass(switchFades(-1));
        switchCount = 3;
        silentEngines = switching;
        return;
    }
    if (switchCount == startingCount) { // start-up: silent while the filters fill
        switching = allEngines;
        equaliserPass(0);
        filterPass(2);
        switchCount = 3;
        silentEngines = allEngines;
        return;
    }
    unsigned switchEqualisers = 0;
    if (switchCount == 3) {
        // What became pending after the fade-out waits for a switch of its own, unless the
        // outputs it changes are silent now.
        if (firPending && switching == allEngines) {
            rtLog(LOG_NOTICE, "FullDuplexFIR::%s switching FIR filter over", "process");
            filters.completeSwitch();
        }
        switchEqualisers = eqPending & switching;
        if (switchEqualisers != 0 && eqPaired) {
            rtLog(LOG_NOTICE, "FullDuplexFIR::%s switching paraEQs over", "process");
        } else {
            for (int c = 0; c < IN_CHCNT; ++c)
                if (switchEqualisers & (1u << c))
                    rtLog(LOG_NOTICE, "FullDuplexFIR::%s switching the equaliser of input %d over", "process", c);
        }
        if (guardPending && switching == allEngines) {
            rtLog(LOG_NOTICE, "FullDuplexFIR::%s switching the output guard over", "process");
            guards.completeTransition();
        }
    }
    equaliserPass(switchEqualisers);
    filterPass(switchFades(switchCount)); // 3, 2: silence while the new filters fill; 1: fade in; 0: plain
    silentEngines = switchCount > 1 ? switching : 0;
    --switchCount;
}

std::array<int, FullDuplexFIR::IN_CHCNT> FullDuplexFIR::switchFades(int fade) const {
    std::array<int, IN_CHCNT> fades{};
    for (int i = 0; i < IN_CHCNT; ++i)
        fades[i] = switching & (1u << i) ? fade : 0;
    return fades;
}

unsigned FullDuplexFIR::equaliserSwitchMask() const {
    unsigned mask = 0;
    for (int c = 0; c < IN_CHCNT; ++c)
        if (paraEQs[c].transitionPending()) mask |= 1u << c;
    // One file for both inputs: they switch together, once both have the new settings.
    if (eqPaired && mask != allEngines) return 0;
    return mask;
}

bool FullDuplexFIR::exitStep() {
    int state = exitCount.load(std::memory_order_acquire);
    if (state < 0) {
        // After silence (a switch's silent periods, or the drain itself) a fade-out would
        // bring the filters back for one period: stay silent instead.
        if (silentEngines == allEngines) {
            outputAudio.setZero();
        } else { // an engine silent in an equaliser's switch stays silent
            std::array<int, IN_CHCNT> fades{};
            for (int i = 0; i < IN_CHCNT; ++i)
                fades[i] = silentEngines & (1u << i) ? 2 : -1;
            equaliserPass(0);
            filterPass(fades);
        }
        silentEngines = allEngines;
        exitCount.compare_exchange_strong(state, 5, std::memory_order_acq_rel); // a new request stays -1
        return false;
    }
    const int next = state - 1;
    if (exitCount.compare_exchange_strong(state, next, std::memory_order_acq_rel) && next == 0) {
        if (backlogEpisode) {
            backlogEpisode = false;
            rtLog(LOG_NOTICE, "MobuFullDuplexFIR::process FIFO backlog at the end of the run: %u periods in %.1f s",
                  backlogPeriods, (lastBacklogMs - backlogStartMs) / 1000.0);
        }
        rtLog(LOG_NOTICE, "FullDuplexFIR::%s exiting", "process");
        silentEngines = 0;
        __atomic_store_n(&shutdown_received, 0, __ATOMIC_RELEASE);
        return true;
    }
    outputAudio.setZero();
    return false;
}

void FullDuplexFIR::equaliserPass(unsigned switchEqualisers) {
#pragma omp parallel for schedule(static)
    for (int c = 0; c < IN_CHCNT; ++c) {
        if (switchEqualisers & (1u << c)) paraEQs[c].completeTransition();
        eqIn[c] = inputAudio.col(c).cast<double>();
        paraEQs[c].process(eqIn[c], eqOut[c]);
    }
}

void FullDuplexFIR::filterPass(int fade) {
    std::array<int, IN_CHCNT> fades;
    fades.fill(fade);
    filterPass(fades);
}

void FullDuplexFIR::filterPass(const std::array<int, IN_CHCNT>& fades) {
    const Eigen::ArrayXXd& g = gains.inForce();
    std::vector<FIRMobu*>& set = filters.active();
    // Engine i filters input i for outputs i, i + IN_CHCNT, ... (its channels 0, 1, ...).
#pragma omp parallel for schedule(static)
    for (int i = 0; i < static_cast<int>(set.size()); ++i) {
        set[i]->filterLocal(eqOut[i], fades[static_cast<size_t>(i) % IN_CHCNT]);
        for (int k = 0, m = i; k < set[i]->getChCnt(); ++k, m += IN_CHCNT)
            set[i]->writeGained(k, outputAudio.col(m), g(N - 1, m));
    }
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
    // A reader that is behind (a web page reading a few times a second) is one episode: one
    // line when it starts, a summary each minute it lasts and one when the reader has kept up
    // for a while, each with the count of periods it missed.
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock); // vDSO: no system call
    const int64_t nowMs = clock.tv_sec * 1000ll + clock.tv_nsec / 1000000;
    if (unread > 0) { // the reader has not taken the last record: keep accumulating
        if (!backlogEpisode) {
            backlogEpisode = true;
            backlogPeriods = 0;
            backlogStartMs = backlogSummaryMs = nowMs;
            rtLog(LOG_NOTICE,
                  "MobuFullDuplexFIR::process FIFO backlog detected: bytes=%d, the metering FIFO's reader is "
                  "behind; levels accumulate until it reads",
                  unread);
        }
        ++backlogPeriods;
        lastBacklogMs = nowMs;
        if (nowMs - backlogSummaryMs >= backlogSummaryEveryMs) {
            backlogSummaryMs = nowMs;
            rtLog(LOG_NOTICE, "MobuFullDuplexFIR::process FIFO backlog goes on: %u periods in %.1f s", backlogPeriods,
                  (nowMs - backlogStartMs) / 1000.0);
        }
        return;
    }
    if (backlogEpisode && nowMs - lastBacklogMs >= backlogQuietMs) {
        backlogEpisode = false;
        rtLog(LOG_NOTICE, "MobuFullDuplexFIR::process FIFO backlog ended: %u periods in %.1f s", backlogPeriods,
              (lastBacklogMs - backlogStartMs) / 1000.0);
    }
    [[maybe_unused]] const ssize_t n = ::write(fifoFd, meterRecord, sizeof meterRecord);
    clearLevels();
}
