#ifndef MOBU_SWIG_PLAYRECORDPROCESSEMBEDDED_H
#define MOBU_SWIG_PLAYRECORDPROCESSEMBEDDED_H

#include <LevinsonDurban.h>
#include <MobuEmbedded/ChirpRecorder.h>

#include <limits>

/// Frequency constants the user interface offers for the alignment's band, in Hz.
#define FI_HZ 800.0
#define FA_HZ 1200.0

/** The measurement and its identification in one object, for the user interface's script engine.
 *
 * The recorder part plays and records (queue channels with setPlayCh, run(), poll threadRunning());
 * the identification part then works on the object's own recording (getImpulseModelThreaded(),
 * poll isImpulseModuleComputed(), read getH and getTOF).  The two parts run on threads of their
 * own; the object must outlive both (its destructor ends the run and waits for the identification).
 */
class PlayRecordProcessEmbedded : public ChirpRecorder, public LevinsonDurban {
public:
    explicit PlayRecordProcessEmbedded(const char* deviceName);
    PlayRecordProcessEmbedded(const char* playbackName, const char* captureName);
    ~PlayRecordProcessEmbedded() override;

    /** A reference without playing: init(getMaxPlayCh()), stopFreq = fs / 2, the chirp and chirps,
     * reset().  -EBUSY while a measurement or an identification runs (they use those signals). */
    int prepare();

    /// Identifies whichSpeaker from this object's recording on the calling thread (no band-pass);
    /// -EBUSY while the identification thread or a measurement runs.
    int getImpulseModel(int N, int whichSpeaker, bool doAlignData, float fsIn);
    /// The same on the identification thread; returns at once (0, -EBUSY or a thread error;
    /// -EBUSY also during a measurement).
    int getImpulseModelThreaded(int N, int whichSpeaker, bool doAlignData, float fsIn,
                                double bandPassFilterCenterFrequency, double bandPassFilterQFactor);
    /** Closes the measurement devices and the metering FIFO, so that another program (or another
     * recorder) can open them; the recording and the identified responses stay readable.  0, or
     * -EBUSY (nothing closed) while a measurement or an identification runs.  A new measurement
     * needs a new object. */
    int releaseDevices();
    /// True when no identification thread exists (finished or never started).
    bool isImpulseModuleComputed() const { return !isGetImpulseModelRunning(); }

    /// The playback stream's state name, or "The pcm device isn't open, open first.".
    const char* getStateName() const { return ALSA::Playback::getStateName(); }
    /// Rows of microphones / chirps; -EBUSY during a run (it rebuilds them).
    int getMicrophoneSampleCount() const;
    int getChirpsSampleCount() const;
    /// microphones(row, col), or NaN outside the matrix or during a run.
    double getMicVal(int row, int col) const;
    /// chirp(index), or NaN outside it or during a run; the second argument is not used.
    double getChirpVal(int index, int unused) const;
    double getDefaultDelay() const { return DEFAULT_DELAY; }

    // Both parts have these; the recorder's are the object's.
    using ChirpRecorder::getFS;
    using ChirpRecorder::run;
    using ChirpRecorder::running;
    using ChirpRecorder::setStatus;
    using ChirpRecorder::stop;

protected:
    /// The recordings are also in use while the identification reads them: setPlayCh, zeroChannel
    /// and setFrameCount are refused then as during a measurement.
    bool measuring() override { return ChirpRecorder::measuring() || isGetImpulseModelRunning(); }

private:
    /// A measurement or an identification is running on this object.
    bool busy() const;
};

#endif
