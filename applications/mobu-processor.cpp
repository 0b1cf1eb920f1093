// mobu-processor: runs the full-duplex FIR processor until it is told to stop.
//
// Constructs FullDuplexFIR on the playback and capture devices, reads its
// configuration, sets the rate and the period, and runs the driver loop.
// SIGINT and SIGTERM end the run in order (one period of fade-out, four of
// silence) and the program exits 0; SIGUSR1 reloads the gains, SIGUSR2 rescans
// the mixer first.  When the run ends by itself after an over/under-run, the
// processor is built again and audio comes back without a person: at once after a
// run of 2 s or more, else after a wait that doubles for each such run in a row
// (0.2 s up to 5 s), with the count logged; it never gives up on over/under-runs.
#include <MobuEmbedded/FullDuplexFIR.h>

#include <OptionParser.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

/// Longest period accepted: the filters are built for twice as many frames, eight of them.
constexpr float maxLatency = 0.5f;
/// And at high rates no more frames than this per period (eight filters of 64 Ki frames).
constexpr int maxPeriodFrames = 32768;
/// A run that ends sooner than this after an over/under-run is followed by a wait before the next.
constexpr auto quickRun = std::chrono::seconds(2);
/// The first wait, doubled for each further quick run in a row, up to the longest.
constexpr int firstBackOffMs = 200;
constexpr int maxBackOffMs = 5000;

const char* const usage =
    "usage: mobu-processor [--playback=DEV] [--capture=DEV] [--config=FILE] [--latency=SECONDS] [--rate=HZ]\n"
    "                      [--verbose] [--help]\n"
    "\n"
    "Runs the 2-in / 8-out FIR processor from the capture device to the playback device.\n"
    "\n"
    "  --playback=DEV     ALSA playback PCM, 8 channels            (default mobu_playback)\n"
    "  --capture=DEV      ALSA capture PCM, 2 channels             (default mobu_capture)\n"
    "  --config=FILE      ALSA-syntax file with MobuFullDuplexFIR.filter, .paraeq,\n"
    "                     .mixerDevice and .fifopath     (default /etc/mobu/mobu-processor.conf)\n"
    "  --latency=SECONDS  period length, at most 0.5 and 32768 frames (default 0.01)\n"
    "  --rate=HZ          sample rate, 8000 to 768000              (default 48000)\n"
    "  --verbose          copy the log lines to standard error as well as the system log\n"
    "  --help             this text\n"
    "\n"
    "SIGINT or SIGTERM stop in order (exit status 0); SIGUSR1 reloads the gains from the mixer,\n"
    "SIGUSR2 rescans the mixer and reloads them.  After an over/under-run the processor starts again\n"
    "(after a wait of 0.2 s, doubling up to 5 s, while the runs keep ending within 2 s).\n";

std::atomic<FullDuplexFIR*> running{nullptr};
volatile sig_atomic_t stopRequested = 0;

/// Once stopping, the longest wait for a device: a period and 0.2 s (set from the latency).
int stopWaitMs = 210;

void onSignal(int signalNumber) {
    const bool stop = signalNumber == SIGINT || signalNumber == SIGTERM;
    if (stop) stopRequested = 1;
    FullDuplexFIR* p = running.load();
    if (!p) return;
    p->handleSignal(stop ? SIGINT : signalNumber);
    if (stop) { // a device that has stalled must not hold the end up until its time-out
        p->Capture::hurry(stopWaitMs);
        p->Playback::hurry(stopWaitMs);
    }
}

void toStandardError(int, const char* line) {
    fprintf(stderr, "mobu-processor: %s\n", line);
}

/** One run on a new processor: 0 stopped by a signal, 1 ended by an over/under-run, else an exit
 * status.  restarts and xruns (added to) are the counts since the program started. */
int runOnce(const std::string& playback, const std::string& capture, const std::string& config, float latency,
            unsigned rate, unsigned restarts, unsigned& xruns) {
    FullDuplexFIR processor(playback, capture);
    if (!processor.Playback::isOpen()) {
        fprintf(stderr, "mobu-processor: can't open the playback device %s\n", playback.c_str());
        return 3;
    }
    if (!processor.Capture::isOpen()) {
        fprintf(stderr, "mobu-processor: can't open the capture device %s\n", capture.c_str());
        return 3;
    }
    if (stopRequested) return 0; // each stage of the start-up ends at once on SIGINT or SIGTERM
    processor.init();
    if (const int ret = processor.loadConfig(config); ret < 0) {
        fprintf(stderr, "mobu-processor: can't use the configuration %s: %s (%d)\n", config.c_str(),
                processor.getConfigError().c_str(), ret);
        return 4;
    }
    if (stopRequested) return 0;
    if (processor.Playback::setSampleRate(rate) < 0) {
        fprintf(stderr, "mobu-processor: the playback device %s can't run at %u Hz\n", playback.c_str(), rate);
        return 3;
    }
    if (processor.setLatency(latency) < 0) {
        fprintf(stderr, "mobu-processor: a latency of %g s gives no whole frame at %u Hz\n", latency, rate);
        return 2;
    }
    if (processor.getN() > maxPeriodFrames) {
        fprintf(stderr, "mobu-processor: a latency of %g s gives %d frames at %u Hz, more than %d\n", latency,
                processor.getN(), rate, maxPeriodFrames);
        return 2;
    }
    // Before anything is built for the period: the devices must take it.
    if (std::string problem; processor.checkDevices(problem) < 0) {
        fprintf(stderr, "mobu-processor: %s\n", problem.c_str());
        return 3;
    }
    if (stopRequested) return 0;
    processor.setRunHistory(restarts, xruns);
    running.store(&processor);
    if (stopRequested) { // asked to stop before the processor could hear it
        processor.handleSignal(SIGINT);
        processor.Capture::hurry(stopWaitMs);
        processor.Playback::hurry(stopWaitMs);
    }
    const int ret = processor.go();
    running.store(nullptr);
    xruns += processor.getXrunCount();
    if (stopRequested) return 0;
    if (ret == -1 && processor.getN() > 0 && processor.getExitCount() == 0) return 1; // drained after an xrun
    fprintf(stderr, "mobu-processor: the audio loop ended with code %d\n", ret);
    return 5;
}

/** The OpenMP team's threads run at the audio thread's real-time priority.  By default the
 * runtime lets them spin between periods, which at that priority takes most of every core
 * from the rest of the system (the control thread, the mixer, the user interface) for
 * nothing: a period's work is a few per cent of its duration.  The runtime reads its wait
 * policy once, when it is loaded, so the program runs itself again with the policy set;
 * a policy the caller set is kept. */
void waitPassivelyBetweenPeriods(char* argv[]) {
    if (getenv("OMP_WAIT_POLICY")) return;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        setenv("OMP_WAIT_POLICY", "passive", 1);
        execv(self, argv); // the program's own path: its process name stays the same
    }
    // Without /proc the team spins: audio still runs.
    fprintf(stderr, "mobu-processor: can't run again with a passive OpenMP wait policy: %s\n", strerror(errno));
}

} // namespace

int main(int argc, char* argv[]) {
    waitPassivelyBetweenPeriods(argv);
    OptionParser options(argc, argv);
    if (options.has("help") || options.has("h")) {
        fputs(usage, stdout);
        return 0;
    }
    for (const std::string& name : options.names())
        if (name != "playback" && name != "capture" && name != "config" && name != "latency" && name != "rate" &&
            name != "verbose") {
            fprintf(stderr, "mobu-processor: unknown option %s%s\n%s", name.size() > 1 ? "--" : "-", name.c_str(),
                    usage);
            return 2;
        }
    std::string playback = "mobu_playback", capture = "mobu_capture", config = "/etc/mobu/mobu-processor.conf";
    float latency = 0.01f;
    long long rate = 48000; // read wide, so that a negative or huge value is refused, not wrapped
    if (options.getArg("playback", playback) == -2 || options.getArg("capture", capture) == -2 ||
        options.getArg("config", config) == -2 || options.getArg("latency", latency) == -2 ||
        options.getArg("rate", rate) == -2 || playback.empty() || capture.empty() || config.empty() ||
        !(latency > 0.0f) || latency > maxLatency || rate < 8000 || rate > 768000) {
        fprintf(stderr, "mobu-processor: bad option value\n%s", usage);
        return 2;
    }
    if (options.has("verbose")) setLogObserver(toStandardError);
    stopWaitMs = static_cast<int>(latency * 1000.0f) + 200;

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaction(s, &action, nullptr);

    // A device that can't be opened or used, or a loop that ends for any other reason, ends
    // the program at once (its status says which).  Over/under-runs come from load (another
    // process taking the cores): the service keeps going, backing off while they follow
    // each other, so that a run that keeps ending at once does not spin.
    unsigned xruns = 0, inARow = 0, overUnderRuns = 0;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        const int ret = runOnce(playback, capture, config, latency, static_cast<unsigned>(rate), xruns, overUnderRuns);
        if (ret != 1) return ret;
        if (stopRequested) return 0;
        ++xruns;
        inARow = std::chrono::steady_clock::now() - start < quickRun ? inARow + 1 : 0;
        const int waitMs = inARow == 0 ? 0 : std::min(maxBackOffMs, firstBackOffMs << std::min(inARow - 1, 8u));
        mobuLog(LOG_NOTICE,
                "mobu-processor: the run ended after an over/under-run (%u so far, %u in a row within 2 s of their "
                "start), starting the processor again in %d ms",
                xruns, inARow, waitMs);
        // In slices, so that SIGINT or SIGTERM ends the program at once.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (!stopRequested && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (stopRequested) return 0;
    }
}
