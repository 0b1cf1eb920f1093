#ifndef MOBUEMBEDDED_CHIRPRECORDERBASE_H
#define MOBUEMBEDDED_CHIRPRECORDERBASE_H

#include "MobuEmbedded/Calibration.h"

#include <array>
#include <atomic>

#define CR_MAX_PLAY_CH 8 ///< playback channels measured at most
/// Frames per period at most: one second at 48 kHz, a whole chirp period (a longer period only
/// adds silence to the run, and the device buffer has to hold eight of them).
#define CR_MAX_FRAME_COUNT 48000
/// Error code of a frame count outside 1 ... CR_MAX_FRAME_COUNT (MobuDebug's table).
#define CR_FRAME_COUNT_ERROR -1360

/** The channel bookkeeping of a loudspeaker measurement, independent of the audio devices.
 *
 * playCh is the playback channel being measured: 0 ... getMaxPlayCh() - 1 one channel,
 * -1 every left (even) channel at once, -2 every right (odd) channel at once.  Queue
 * channels with setPlayCh (each call queues one more); recordings land in the
 * channel's column of microphones (column 0 for -1, 1 for -2).
 */
class ChirpRecorderBase : public Calibration {
public:
    ChirpRecorderBase();
    ~ChirpRecorderBase() override = default;

    /// Playback channels the device offers (at most 8).
    virtual int getMaxPlayCh() = 0;
    /// Capture channels the device offers (at most 10).
    virtual int getMaxRecCh() = 0;

    /// playCh = 0; frameCount = 100 ms of frames.  @return 0.
    int init();
    int getPlayCh() const { return playCh; }
    int getRecCh() const { return recCh; }
    /** Frames per period of the next run: 1 ... CR_MAX_FRAME_COUNT.  0; CR_FRAME_COUNT_ERROR
     * (reported) outside that range, -EBUSY while a run is in progress; nothing changed then. */
    int setFrameCount(int frames);
    int getFrameCount() const { return frameCount; }

    /** Selects and queues a playback channel (-2 ... getMaxPlayCh() - 1; -1 and -2 queue N[0]).
     * @return 0, or -1350 (reported) with nothing changed; -EBUSY while a run plays. */
    int setPlayCh(int ch);
    /// Selects a capture channel (0 ... getMaxRecCh() - 1).  0, or -1350 (reported).
    int setRecCh(int ch);
    /** 1 when every sample of that column of microphones is within 1e-12 of zero, else 0; -1302
     * when out of range.  During a run it answers from the peaks the run has recorded so far,
     * without reading the matrix the audio thread writes. */
    int isChannelEmpty(unsigned ch);
    /// Columns of microphones that are not empty; -1302 when there are no columns.
    int getRecordedChannelCnt();
    /// Zeroes that column of microphones and returns ch; -1302 when out of range, -EBUSY during a
    /// run (or while anything else uses the recordings, see measuring()).
    int zeroChannel(unsigned ch);

protected:
    /// True while a run uses the channel bookkeeping or the recordings (then they are not to be changed).
    virtual bool measuring() { return runActive(); }

    /** Marks a run as begun, with `columns` recording columns all silent so far; false (and
     * nothing changed) when one already is.  Returns once no reader of the matrices is left, so
     * that the run may then rebuild them. */
    bool beginRun(int columns);
    /// Marks the run as ended: readers use the matrices again.
    void endRun();
    bool runActive() const { return inRun.load(); }
    /** The peak magnitude recorded in a column during the run (the audio thread: it alone writes
     * them while the run lasts); set replaces it (a column cleared). */
    void raiseLivePeak(Eigen::Index column, double peak);
    void setLivePeak(Eigen::Index column, double peak);
    /// That column's live peak, or -1.0 when the run has no such column.
    double livePeak(unsigned column) const;

    /// A SignalReader counts as a MatrixReader: no run begins while it holds the signals.
    bool acquireSignals() const override;
    void releaseSignals() const override;

    /** Readers of chirps and microphones outside the audio thread: while one is alive, a run
     * can't begin; `matrices()` is false during a run (then they are not to be read). */
    class MatrixReader {
    public:
        explicit MatrixReader(const ChirpRecorderBase& owner);
        ~MatrixReader();
        MatrixReader(const MatrixReader&) = delete;
        MatrixReader& operator=(const MatrixReader&) = delete;
        bool matrices() const { return free; }

    private:
        const ChirpRecorderBase& owner;
        bool free;
    };

    std::atomic<int> playCh{0}; ///< the channel being measured (or -1 / -2); the audio thread moves it on
    int recCh = 0;              ///< the selected capture channel (the recording is always capture channel 0)
    int frameCount = 0;         ///< frames per period

private:
    /// isChannelEmpty from the matrix or from the live peaks.
    int columnEmpty(unsigned ch, bool fromMatrix) const;

    std::atomic<bool> inRun{false};
    mutable std::atomic<int> matrixReaders{0};
    std::atomic<int> liveColumns{0};
    std::array<std::atomic<double>, CR_MAX_PLAY_CH> livePeaks{};
};

#endif
