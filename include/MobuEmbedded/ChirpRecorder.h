#ifndef MOBUEMBEDDED_CHIRPRECORDER_H
#define MOBUEMBEDDED_CHIRPRECORDER_H

#include "MobuEmbedded/ChirpRecorderBase.h"
#include "MobuEmbedded/OutputGuard.h"

#include <ALSAFullDuplex.h>
#include <Thread.h>

#include <Eigen/Dense>

#include <atomic>
#include <string>
#include <vector>

#define CR_MAX_REC_CH 10 ///< capture channels used at most
#define CR_METER_CNT 14  ///< ints in a metering record: 0, 1, 2, 3, two capture and eight playback peaks

/** Measures loudspeakers through one playback and one capture device.
 *
 * Queue channels with setPlayCh, then go() (on the caller's thread, or run() to use
 * the recorder's own thread): the chirps are shaped by ~/.mobu/fir-measure.wav (or,
 * without it, a band-limited impulse) and scaled, then each output's guard
 * (~/.mobu/guard.json, OutputGuard::shape: its high-/low-pass from rest and its level) runs
 * over that output's sweep; a guard file that exists but is refused fails the run before
 * anything plays (getRunError() and the status file say why).  Then each queued channel plays the nine
 * chirps while capture channel 0 is stored in that channel's column of microphones,
 * highest queued channel next, until none is left.  Progress goes to the status
 * file, peak levels to the metering FIFO named by MobuFullDuplexFIR.fifopath in
 * /etc/asound.conf or ~/.asoundrc.  stop() ends a run at the next period and clears
 * the interrupted channel's recording.
 *
 * A run writes /tmp/chirp.wav, /tmp/chirpsBeforeFIR.wav, /tmp/chirpsAfterFIR.wav and
 * /tmp/mics.wav for inspection.
 */
class ChirpRecorder : public ChirpRecorderBase, public ALSA::FullDuplex<int>, public ThreadedMethod {
public:
    /// One device for both directions.
    explicit ChirpRecorder(const char* deviceName);
    /// Playback device, then capture device.
    ChirpRecorder(const char* playbackName, const char* captureName);
    /// Ends a run on the recorder's thread (as stop() does) and waits for it.
    ~ChirpRecorder() override;

    /** Prints the version, raises the calling thread to real-time priority (maximum - 2) and sets
     * both streams to S32_LE, interleaved read/write, 48 kHz.  @return 0, a capture stream's
     * negative code, or 1 when the playback rate could not be set. */
    int init();
    double getFS() override { return fs; }
    int getMaxPlayCh() override;
    int getMaxRecCh() override;

    /// One period: the chirp out, the microphone in, metering; non-zero ends the run.
    int process() override;
    /** One whole measurement run; the full-duplex loop's result or the error that stopped
     * preparation, or -EBUSY (nothing done) while another run is in progress. */
    int go() override;
    /// The streams are not linked (the board's devices misbehave when linked).
    int link() override;
    int unLink() override;

    /// Ends the run at the next period (while the chirps are prepared, within one chirp period of
    /// filtering, before anything plays); stays set until resetForceStopState().  @return playCh.
    int stop();
    bool getForceStopState() const { return forceStop.load(std::memory_order_acquire); }
    void resetForceStopState() { forceStop.store(false, std::memory_order_release); }
    int getAllLeftChIndex() const { return -1; }
    int getAllRightChIndex() const { return -2; }
    /// Either stream runs.
    bool running() const;
    /// A run executes on the recorder's own thread.
    bool threadRunning() const { return Thread::running(); }
    /// Peak magnitude of a column of microphones; -1.0 when out of range.  During a run: of what
    /// the run has recorded so far.
    double getMaxVal(unsigned ch);
    /** Writes the reference chirp (channel 0) and the average of the recorded periods 2 ... 9
     * (one channel per microphones column) as 32-bit words at 48 kHz.  0 or a negative code
     * (-EBUSY during a run). */
    int stackDataToFile(const char* name);

    /// Opens the metering FIFO when it is not open.  0 or a negative errno (metering then off).
    int ensureMeteringFifoOpen();
    void closeMeteringFifo();
    /// meteringFd = -1 (without closing), levels and record cleared; resetPath forgets the path in use.
    void initializeMeteringState(bool resetPath);

    /// process() calls in the current run.
    int getRunCall() const { return runCall.load(std::memory_order_relaxed); }
    /** The result of the last go() (on the recorder's thread as on the caller's): 1 when the last
     * channel ended the run (or a stop did), a negative code when it failed (the status file then
     * holds the error), -EBUSY while a run is in progress. */
    int getRunResult() const { return runResult.load(std::memory_order_acquire); }
    /// Why the last run failed beyond its code (the output guard's refusal, naming file and key); "" otherwise.
    const std::string& getRunError() const { return runError; }
    /// Over- and under-runs during the last run (each leaves a gap in the recording).
    int getXrunCount() const { return xruns.load(std::memory_order_relaxed); }
    const std::string& getMeteringFifoPath() const { return meteringFifoPath; }

    /** The capture channel wired to the outputs (a loop-back of the played signal, for the
     * devices' latency), recorded beside capture channel 0 into `loopbacks`; -1 (the default)
     * records none.  @return 0; -1350 outside -1 and 1 ... getMaxRecCh() - 1 (capture channel 0
     * is the microphone); -EBUSY during a run.  Nothing changed on a refusal. */
    int setLoopbackCh(int ch);
    int getLoopbackCh() const { return loopbackCh; }
    /// What the loop-back channel recorded, laid out as microphones (no columns without one).
    Eigen::MatrixXd loopbacks;

protected:
    int threadMain() override;
    /// Thread::stop() asks the run to end as stop() does.
    void wakeForStop() override { stop(); }
    bool measuring() override { return runActive() || Thread::running() || running(); }

private:
    /// go()'s steps.
    int measure();
    /// The shaped chirps for the queued channels (the measurement filter or the band limit).
    void prepareChannel(Eigen::Index c, const Eigen::MatrixXd& coefficients, Eigen::MatrixXd& y);
    void meter();
    /// The guard file (~/.mobu/guard.json): 0 and the outputs' limits (none without a file), or its refusal.
    int readGuard(std::vector<OutputGuard::Limits>& limits);
    /// Runs each guarded output's guard over its column of chirps; 0 or the guard's refusal.
    int guardChirps(const std::vector<OutputGuard::Limits>& limits, double fullScale);
    /// A stop arrived before the chirps play: the run ends (status "Stopped before chirping.").
    bool stoppedWhilePreparing();

    std::atomic<bool> forceStop{false};
    std::atomic<int> runCall{0};
    std::atomic<int> runResult{0};
    std::atomic<int> xruns{0};
    std::string runError; ///< written by the run, read after it
    std::string playDeviceName, recDeviceName;
    int meteringFd = -1;
    Eigen::Matrix<int, 1, 2> inputLevels;
    Eigen::Matrix<int, 1, 8> outputLevels;
    Eigen::Matrix<int, 1, CR_METER_CNT> meteringRecord;
    std::string meteringFifoPath;
    std::string lastMeteringFifoPath;
    int playChannels = 0; ///< getMaxPlayCh() for the run (queried once, not on the audio thread)
    int recChannels = 0;  ///< getMaxRecCh() for the run
    int loopbackCh = -1;  ///< capture channel recorded into loopbacks, -1 none
};

#endif
