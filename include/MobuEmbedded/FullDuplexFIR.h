#ifndef MOBUEMBEDDED_FULLDUPLEXFIR_H
#define MOBUEMBEDDED_FULLDUPLEXFIR_H

#include "MobuEmbedded/FIRMobu.h"
#include "MobuEmbedded/FilterSets.h"
#include "MobuEmbedded/GainControl.h"
#include "MobuEmbedded/IOLevels.h"
#include "MobuEmbedded/ObjectDoubleBuffer.h"
#include "MobuEmbedded/OutputGuard.h"
#include "MobuEmbedded/ParaEQFileWatcher.h"
#include "MobuEmbedded/ProcessorStatus.h"
#include "MobuEmbedded/SysLog.h"

#include <ALSAFullDuplex.h>
#include <ALSAMixerEvents.h>
#include <FileWatchThreaded.h>
#include <Thread.h>

#include <Eigen/Dense>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

/// Set to 1 by a signal handler (through FullDuplexFIR::handleSignal); cleared by the audio thread.
extern int sigusr1_received;  ///< reload the gains from the mixer
extern int sigusr2_received;  ///< rescan the mixer, then reload the gains
extern int shutdown_received; ///< end the run in order

/** The 2-in / 8-out full-duplex FIR processor.
 *
 * Reads two channels from a capture PCM, runs each through its parametric
 * equaliser, feeds eight FIR filters (output m from input m mod 2), scales each
 * output by its gain from the mixer and writes the eight channels to a playback
 * PCM, once per period of N frames.  The coefficient file, the equaliser file
 * and the mixer controls may change while audio runs; the change is prepared
 * on another thread and switched in without a click: the old filters fade out
 * over one period, two silent periods fill the new filters' memory, the new
 * filters fade in over one period; a gain change ramps over one period.  A run
 * starts from silence, with the mixer's gains, mutes and polarities and the
 * equaliser file's settings already in force: three silent periods while the
 * filters fill, then a fade-in.  A coefficient file that does not exist yet is
 * loaded when it appears; a file event after a switch builds again only if the
 * file changed since the set in force was read.  A shutdown request or an
 * over/under-run fades out, plays four silent periods and ends the run.  Peak levels go to the metering FIFO once per
 * period.
 *
 * The output guard (OutputGuard: per-output protective filters and level limit, from the
 * file named by MobuFullDuplexFIR.guard or else ~/.mobu/guard.json, none without a file)
 * runs last on every output, after the filters, fades and gains.  A guard file that is
 * present but refused stops the start-up (loadConfig or checkDevices fails naming the file
 * and the key).  A rewritten guard file switches in like an equaliser file (fade-out, the
 * new guard from the silent periods on); a rewrite that is refused, or a removed file,
 * leaves the guard in force, logged.
 *
 * Calling order: construct; init() (on the thread that will run go());
 * loadConfig(); set the playback rate (Playback::setSampleRate); setLatency();
 * install signal handlers that call handleSignal(); go(); destroy.
 *
 * Threads: the audio thread runs process() at the highest SCHED_FIFO priority
 * with an OpenMP team over the channels; it takes no lock, allocates nothing
 * and makes no blocking call after the first pass.  The file-watch thread
 * builds new filter sets, time-shared at nice 10 (below every other thread of
 * the processor); the two equaliser watchers build equaliser settings, the
 * mixer-event thread and the control thread prepare gain ramps (SCHED_FIFO
 * 10 at most).  They write only the inactive half of a double buffer and then
 * request a switch; the audio thread alone completes switches.  A producer that
 * finds a switch still pending waits for it (never the audio thread), so the
 * newest file or control value always ends up in force.  The audio thread's log
 * lines go through a lock-free queue that the control thread passes on to the
 * system log; requests it cannot serve without locks (reloading gains on
 * SIGUSR1/SIGUSR2) are handed to the control thread.
 *
 * Diagnostics go to the system log (identity "MobuFullDuplexFIR", priority
 * notice); setLogObserver() receives them as well.
 */
class FullDuplexFIR : public ALSA::FullDuplex<int>,
                      public FileWatchThreaded,
                      public ALSA::MixerEvents,
                      public IOLevels {
public:
    using GainRow = GainControl::GainRow;
    /// What a coefficient file held when it was read (to skip rebuilding the same file).
    using FileStamp = FilterSets::FileStamp;

    /// Opens the playback and the capture PCM (a failure is printed; see isOpen()).  Starts no thread.
    FullDuplexFIR(const std::string& playbackName, const std::string& captureName);
    /// Stops every thread, then deletes both filter sets (logging each step).
    ~FullDuplexFIR() override;

    /** Sets M = 8 and empty filter sets, starts the file-watch and control threads,
     * raises the calling thread to the highest SCHED_FIFO priority; N becomes -1.
     * @return 0. */
    virtual int init();

    /** Reads MobuFullDuplexFIR.filter, .paraeq, .mixerDevice and .fifopath (and the optional
     * .guard and .precision) from a file in ALSA configuration syntax and applies each in turn.
     * The file must be a regular file of at most 1 MiB; fifopath must be an absolute path;
     * precision is "double" or "single" (the filters' later stages; it wins over
     * MOBU_FIR_PRECISION).
     * @return 0, or the code of the first failure (what was applied before stays;
     *         getConfigError() says what failed). */
    int loadConfig(std::string fileName);
    /// What the last loadConfig() failed on: the file, or the key with its device or path ("" after success).
    const std::string& getConfigError() const { return configError; }

    /** Checks that both devices accept periods of N frames (and a buffer of two) with the
     * processor's channel counts, and that the output guard can be made at the playback rate,
     * before anything is built for N.
     * @return 0, or a negative code with `problem` naming the device and what it refused. */
    int checkDevices(std::string& problem);

    /** N = ceil(rate x seconds) in single precision, from the playback stream's rate.
     * @return 0, or -1 ("invalid N") when N < 1. */
    int setLatency(float seconds);

    /// Watches the coefficient file (channel m feeds output m).  @return the watch's result.
    int addFilterFile(std::string path);
    /** Reads and watches the output guard file.  A missing file is no guard (one that appears
     * later switches in).  @return 0, or -1380 (getConfigError() names the file and key). */
    int setGuardFile(const std::string& path);
    const std::string& getGuardFile() const { return guardFile; }
    bool guardSwitchPending() const { return guards.transitionPending(); }
    /** Gives the equaliser file (a name in ~/.mobu, or an absolute path) to both equalisers and
     * starts their watchers; they switch together.  @return 0, or the refusal of the name or
     * file (reported, naming it). */
    int addParaEQFile(std::string name);
    /** Gives input `input` an equaliser file of its own and starts its watcher: a rewrite
     * switches that input's outputs alone (fade-out, two silent periods, fade-in) while the
     * other input's play on.  @return 0, or the refusal of the name or file (reported, naming it). */
    int addParaEQFile(int input, const std::string& name);

    /// The streams run unlinked: logs and returns 0.
    int link() override;
    int unLink() override;

    /** Async-signal-safe: SIGINT (and 9) request the orderly end, SIGUSR1 a gain
     * reload, SIGUSR2 a mixer rescan and gain reload; other numbers are ignored. */
    void handleSignal(int signalNumber);

    /// One period (see the class comment); 0 to go on, -1 to end the run.
    int process() override;

    /** Builds a complete filter set for blocks of n frames into the inactive set, from the
     * coefficient file read once.  Before any set has played, a channel that can't be loaded
     * becomes 2048 zero taps (silent).  Once a set plays, a file that can't be loaded whole
     * (unreadable, a non-finite sample, fewer than M channels, no samples) is refused: it is
     * logged with the file, the first channel and why, nothing is built, and the set in force
     * keeps playing until a file that loads replaces it.
     * A stop request (SIGINT) abandons the build between its steps, within milliseconds.
     * @return 0, -39902 (refused), -39903 (stopped) or -39901 (the set is then incomplete and
     *         not switched to). */
    int createFIRFilters(int n);
    void deleteInactiveFIRFilters();
    void deleteActiveFIRFilters();

    /// File-watch thread: the coefficient file was rewritten; builds and requests a switch.
    void closeWrite(char* name) override;
    /// File-watch thread: the coefficient file's attributes changed; rebuilds, re-arms the watch, switches.
    void attribChange(char* name, int wd) override;
    void fileWatchThreadedStarting() override;
    void mixerEventsStarting() override;

    /** Reads the 24 gain, mute and invert controls and ramps to the result.
     * Not for the audio thread once it runs (it hands SIGUSR1/SIGUSR2 to the control thread).
     * @return 0, or -1 before the gain matrices are sized (first pass). */
    int loadGains();
    /** Prepares a one-period ramp from the gains in use to newGains (M values).  While
     * a ramp is still pending, the new gains are kept and ramped to as soon as it
     * has been applied, so no change is lost. */
    void setGains(const GainRow& newGains);
    /// Mixer-event thread: a "Gain c", "Gain c Mute" or "Gain c Invert" control changed.
    int handleValueEvents(ALSA::MixerElement& element) override;

    // Read-only views for hosts and tests.
    int getN() const { return N; }
    int getM() const { return M; }
    int getExitCount() const { return exitCount.load(std::memory_order_acquire); }
    int getSwitchCount() const { return switchCount; }
    int getFifoFd() const { return fifoFd; }
    /** The host's counts from earlier runs of the program, for the status file: the restarts
     * after over/under-runs and the over/under-runs themselves.  Before go(). */
    void setRunHistory(unsigned restarts, unsigned xruns) {
        historyRestarts = restarts;
        historyXruns = xruns;
    }
    /// The over/under-runs this run has seen (counted when a status file is configured).
    unsigned getXrunCount() const { return status.xrunCount(); }
    const std::string& getStatusFile() const { return status.path(); }
    const std::string& getFilterFile() const { return filters.file(); }
    /// Input 0's equaliser file as configured (both inputs' with paraeq alone).
    const std::string& getParaEQFile() const { return paraEQFiles[0]; }
    const std::string& getParaEQFile(int input) const { return paraEQFiles[input]; }
    /// The gains the latest request ends on (in force once its ramp has run).
    GainRow getRequestedGains();
    /// A new filter set waits for the audio thread.
    bool firSwitchPending() const { return filters.pending(); }
    /** The newest filter set was built from the coefficient file as it is now (the same
     * file, times, size and content hash).  Not for the audio thread: it waits for a build. */
    bool filtersReadCurrentFile();
    /** New equaliser settings wait for a switch: both equalisers' with one file for both, either
     * one's with a file for each input (the condition that starts a switch). */
    bool equaliserSwitchPending() const { return equaliserSwitchMask() != 0; }
    /// A gain ramp waits for the next normal period.
    bool gainRampPending() const { return gains.rampPending(); }
    /// True while a filter switch, an equaliser switch or a gain ramp is still to be taken up.
    bool changesPending();
    /// True once the control thread has nothing left to do (no gain reload, no audio-thread line to log).
    bool controlIdle() const;

private:
    /// Runs the control thread's loop: owed gain ramps, gain reloads, the audio thread's log lines.
    class ControlThread : public Thread {
    public:
        explicit ControlThread(FullDuplexFIR& owner) : owner(owner) {}

    protected:
        int threadMain() override { return owner.controlLoop(); }
        void wakeForStop() override { owner.wakeControl(); }

    private:
        FullDuplexFIR& owner;
    };

    /// Work requested of the control thread (bits).
    enum ControlRequest : unsigned { RELOAD_GAINS = 1, RESCAN_MIXER = 2 };

    int controlLoop();
    void wakeControl();
    void serveGainRequests(unsigned requests);
    /// Waits (control thread) until the pending gain ramp has been applied, passing on log lines meanwhile.
    bool waitForGainRamp();
    /// Prints the thread's priority and lowers a real-time priority above 10 to 10.
    static void capThreadPriority(const char* hook, const char* report, const char* changeReport);
    /// The rebuild after a coefficient-file change, once the pending switch is done.
    void rebuildFilters(const char* why);
    /// A rebuild (or its wait for the pending switch) ends unfinished: the watcher stops or the run ends.
    bool buildGivesUp() const;
    int firstPass();
    /// Runs both equalisers; those whose bit (1 << input) is set take up their new settings first.
    void equaliserPass(unsigned switchEqualisers);
    void filterPass(int fade);
    /// Engine i (input i's outputs) with fades[i].
    void filterPass(const std::array<int, IN_CHCNT>& fades);
    /// fade for the engines in the switch under way, 0 (plain) for the others.
    std::array<int, IN_CHCNT> switchFades(int fade) const;
    /** The inputs whose equaliser has new settings waiting, as bits (1 << input): with one
     * file for both, both or none. */
    unsigned equaliserSwitchMask() const;
    void normalStep();
    /// The exit countdown; true when the run ends now.
    bool exitStep();
    void switchStep(bool firPending, unsigned eqPending, bool guardPending);
    void guardPass();
    void rebuildGuard();
    std::string guardPath();                                      ///< guardFile, read under guardLock
    int configureGuard(OutputGuard& guard, std::string& problem); ///< guardLock held
    void meter();
    /// Peak of one block column, clamped to 2147483647.
    template <typename Column> static int32_t peak(const Column& column);
    /// Logs from the audio thread (queued for the control thread).
    template <typename... Args> void rtLog(int priority, const char* format, Args... args);

    /// switchCount after the first pass: one silent period, then the switch's silent periods and fade-in.
    static constexpr int startingCount = 4;
    int switchCount = -1;
    std::atomic<int> exitCount{0};
    static constexpr unsigned allEngines = (1u << IN_CHCNT) - 1;
    unsigned silentEngines = 0; ///< engines (bit i: input i's outputs) whose last period ended silent
    unsigned switching = 0;     ///< the engines the switch under way takes through its fades
    bool eqPaired = true;       ///< one equaliser file for both inputs (they switch together)
    int32_t inLevels[IN_CHCNT] = {0, 0};
    int32_t outLevels[OUT_CHCNT] = {0, 0, 0, 0, 0, 0, 0, 0};
    int fifoFd = -1;
    int32_t meterRecord[FIFO_RECORD_WORDS] = {};
    std::atomic<int> N{-1}; ///< set by the host thread, read by the file-watching thread
    /** The playback rate as setLatency read it, for the file-watch thread: the stream's own
     * parameters change under it while go() sets the devices up. */
    std::atomic<unsigned> streamRate{0};
    int M = 8;
    std::string paraEQFiles[IN_CHCNT];
    std::string configError;
    Eigen::ArrayXd eqIn[IN_CHCNT];
    Eigen::ArrayXd eqOut[IN_CHCNT];
    ParaEQFileWatcher paraEQs[IN_CHCNT];
    FilterSets filters{OUT_CHCNT, IN_CHCNT};
    GainControl gains{[this] { wakeControl(); }};

    std::string guardFile;
    std::mutex guardLock;                         ///< the guard file's limits and building the spare guard
    std::vector<OutputGuard::Limits> guardLimits; ///< as the guard file gave them last (guardLock)
    bool guardsReady = false;                     ///< the first pass has put a guard in force (guardLock)
    ObjectDoubleBuffer<OutputGuard> guards;

    RealTimeLog audioLog;
    ProcessorStatus status; ///< the status file (MobuFullDuplexFIR.statusfile), when configured
    unsigned historyRestarts = 0, historyXruns = 0;

    std::atomic<unsigned> controlRequests{0};
    std::atomic<bool> controlBusy{false};
    int controlFd = -1; ///< eventfd that wakes the control thread
    ControlThread control;
    bool posted = false; ///< this period posted log lines (wake the control thread once)
    // The metering FIFO's reader being behind (one episode logged at its start and end).
    bool backlogEpisode = false;
    unsigned backlogPeriods = 0; ///< periods of this episode whose record the reader had not taken
    int64_t backlogStartMs = 0, lastBacklogMs = 0, backlogSummaryMs = 0; ///< CLOCK_MONOTONIC
};

#endif
