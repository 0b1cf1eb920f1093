#ifndef MOBUEMBEDDED_PROCESSORSTATUS_H
#define MOBUEMBEDDED_PROCESSORSTATUS_H

#include <Thread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

/** The processor's status for other programs (the web interface): a small JSON file
 * rewritten about four times a second through SafeFile (a new file renamed over the old
 * one, so a reader always finds one whole document).
 *
 * The audio thread measures each period, without allocation, locks or system calls other
 * than reading the monotonic clock: the time its processing took and the sum of the squares
 * of every input and output channel.  It hands them over through a single-producer,
 * single-consumer ring of fixed records; when the ring is full it sums further periods into
 * the record it holds back, so nothing is lost and it never waits.  The publishing thread
 * (time-shared, normal priority) takes the records, sums them over its interval and writes
 * the rate, period, latency, the CPU load per period (mean and largest, as a fraction of the
 * period's duration), the over/under-runs and restarts, the RMS level of every input and output
 * in dBFS and the files in force with their modification times.  When it stops it writes a last
 * document with "running" false.  The keys are listed in the README ("The processor's status
 * file").
 *
 * Calling order: setPath(); start() (starts the thread); the audio thread calls setStream()
 * once its blocks are sized, then recordPeriod() every period; stop() (or the destructor).
 */
class ProcessorStatus : public Thread {
public:
    static constexpr int INPUTS = 2;
    static constexpr int OUTPUTS = 8;
    static constexpr int CHANNELS = INPUTS + OUTPUTS;
    /// How often the document is written.
    static constexpr int intervalMs = 250;
    /// The level given for digital silence (the logarithm of zero has no value in JSON).
    static constexpr double silenceDb = -200.0;

    /// A file the processor uses: what it is ("filter", "paraeq", "guard") and its path.
    using File = std::pair<std::string, std::string>;

    ProcessorStatus() = default;
    ~ProcessorStatus() override;

    /** The status file: an absolute path that is absent or a regular file this process may
     * replace.  @return 0, -EINVAL (not absolute) or the SAFEFILE_* code of the path. */
    int setPath(const std::string& path);
    const std::string& path() const { return file; }
    /// A status file was given: the audio thread measures its periods.
    bool enabled() const { return !file.empty(); }

    /** Starts the publishing thread (nothing when no path was given).  The files are kept as
     * given; restarts and xrunsBefore are the host's counts from earlier runs of this program.
     * @return 0, or the code of Thread::run. */
    int start(std::vector<File> files, unsigned restarts, unsigned xrunsBefore);

    // Audio thread.
    /// The monotonic clock in ns (vDSO: no system call).
    static int64_t nowNs();
    /// The stream as it runs: its rate and period (publishing begins with the first).
    void setStream(unsigned rate, int periodFrames);
    /** One period that began at startNs: inputs and outputs row-major, frames x INPUTS and
     * frames x OUTPUTS; xrun: the period followed an over/under-run. */
    void recordPeriod(int64_t startNs, bool xrun, const int32_t* in, const int32_t* out, int frames);
    /// The over/under-runs recorded in this run.
    unsigned xrunCount() const { return xruns.load(std::memory_order_relaxed); }

protected:
    int threadMain() override;
    void wakeForStop() override;

private:
    /// One or more periods summed (the unit of the hand-over).
    struct Share {
        uint32_t periods = 0;
        uint64_t frames = 0;
        int64_t busyNs = 0, maxBusyNs = 0;
        double squares[CHANNELS] = {};
        void add(const Share& other);
    };
    static constexpr size_t ringSize = 64;

    /// Takes every record the audio thread handed over into `sum`.
    void collect(Share& sum);
    /// The document for one interval.
    std::string document(const Share& sum, double seconds, bool running) const;
    void publish(const Share& sum, double seconds, bool running);

    std::string file;
    std::vector<File> files;
    unsigned restartCount = 0, xrunsEarlier = 0;

    std::atomic<unsigned> rate{0};
    std::atomic<int> period{0};
    std::atomic<unsigned> xruns{0};
    bool lastXrun = false; ///< the audio thread's: the last period followed an over/under-run

    Share ring[ringSize];
    std::atomic<size_t> head{0}; ///< next record the audio thread writes
    std::atomic<size_t> tail{0}; ///< next record the publisher reads
    Share held;                  ///< audio thread: periods not handed over yet (the ring was full)

    std::mutex wakeLock;
    std::condition_variable wake;
    bool problemLogged = false; ///< a failed write is logged once until one succeeds
};

#endif
