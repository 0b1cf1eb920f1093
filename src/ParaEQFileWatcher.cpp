#include "MobuEmbedded/ParaEQFileWatcher.h"
#include "MobuEmbedded/SysLog.h"

#include <SafeFile.h>
#include <ThreadPriority.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <typeinfo>

namespace {
/// Highest real-time priority of a watch thread: it must never compete with the audio thread.
constexpr int maxWatchPriority = 10;

/// The watcher whose watch thread is the calling thread, if any.
thread_local const ParaEQFileWatcher* watchThreadOf = nullptr;
} // namespace

ParaEQFileWatcher::~ParaEQFileWatcher() {
    stop(); // the hooks use the equaliser: end the thread before any of it goes
}

int ParaEQFileWatcher::setFileName(const char* name) {
    return setFileName(std::string(name));
}

int ParaEQFileWatcher::setFileName(std::string name) {
    const char* type = typeid(*this).name();
    if (*type == '*') ++type;
    printf("%s\tsetFileName\n", type);

    std::lock_guard<std::mutex> lock(producerLock);
    const std::string previous = fileName;
    const int ret = MobuCommon::setFileName(name.c_str());
    if (ret != 0) return ret;
    if (!previous.empty() && previous != fileName) rmPath(previous);

    // Something other than a regular file there (a folder, a FIFO, a device, a dangling
    // link, whose target a new file would create) can't be an equaliser file: refused.
    struct stat st {};
    if (stat(fileName.c_str(), &st) == 0 ? !S_ISREG(st.st_mode) : lstat(fileName.c_str(), &st) == 0)
        return SafeFileDebug().evaluateError(SAFEFILE_NOT_REGULAR_ERROR,
                                             "the equaliser file " + fileName + " is not a regular file\n");
    int watching = addFile(fileName);
    if (watching != 0) { // most likely missing: create it empty and try once more
        const int made = writeFileSafely(fileName, "");
        if (made < 0) return SafeFileDebug().evaluateError(made, "the equaliser file " + fileName + "\n");
        watching = addFile(fileName);
    }
    return watching;
}

void ParaEQFileWatcher::setFS(double rate) {
    std::lock_guard<std::mutex> lock(producerLock);
    MobuCommon::setFS(rate);
}

int ParaEQFileWatcher::refreshParaEQ() {
    printf("refreshParaEQ\n");
    owed.store(true, std::memory_order_release);
    if (watchThreadOf == this) return serveOwedReloads();

    std::lock_guard<std::mutex> lock(producerLock);
    if (transitionPending()) { // the target is the audio thread's: the watch thread or a later call loads it
        printf("refreshParaEQ : a switch is still pending, the file is loaded once it is done\n");
        fflush(stdout);
        return 0;
    }
    return buildLocked();
}

int ParaEQFileWatcher::buildLocked() {
    owed.store(false, std::memory_order_release); // the file is read below: later rewrites owe again
    const int ret = loadIntoInactive();
    if (ret < 0) {
        printf("Couldn't load filters from %s using an impulse for this channel\n", fileName.c_str());
        fflush(stdout);
    }
    if (ret == PARAEQ_FILENAME_ERROR) // nothing was built: the equaliser keeps what it runs
        return 0;
    if (const std::string warning = headroomWarning(getFS(), fileName); !warning.empty())
        mobuLog(LOG_WARNING, "%s", warning.c_str());
    return prepTransition();
}

int ParaEQFileWatcher::serveOwedReloads() {
    int ret = 0;
    // Also waits for the switch just requested, so that a reload owed meanwhile is not left behind.
    while (waitForSwitch() && reloadOwed()) {
        std::lock_guard<std::mutex> lock(producerLock);
        if (!transitionPending()) ret = buildLocked();
    }
    return ret;
}

bool ParaEQFileWatcher::waitForSwitch() {
    // A switch waits for its partner's; one left alone for a while has the partner reload once.
    const auto alone = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    bool nudged = false;
    return waitUntilIdle([&] {
        ParaEQFileWatcher* const other = partner.load(std::memory_order_acquire);
        if (!nudged && other && std::chrono::steady_clock::now() >= alone && !other->transitionPending()) {
            nudged = true;
            other->refreshParaEQ(); // never waits: builds now, or records the reload as owed
        }
        return stopRequested();
    });
}

void ParaEQFileWatcher::closeWrite(char* name) {
    printf("closeWrite\n");
    refreshParaEQ();
}

int ParaEQFileWatcher::threadMain() {
    watchThreadOf = this;
    int priority = ALSA::getThreadPriority(true);
    printf("FullDuplexFIR::threadMain thread priority %d\n", priority);
    if (priority > maxWatchPriority) {
        printf("FullDuplexFIR::threadMain thread priority %d\n", priority);
        const int result = ALSA::changeThreadPriority(maxWatchPriority);
        printf("FullDuplexFIR::threadMain change thread priority result =  %d\n", result);
        priority = ALSA::getThreadPriority(false);
    }
    printf("FullDuplexFIR::threadMain thread priority %d\n", priority);
    fflush(stdout);

    if (reloadOwed()) serveOwedReloads(); // asked for while no thread could wait for the switch
    const int ret = FileWatchThreaded::threadMain();
    watchThreadOf = nullptr;
    return ret;
}
