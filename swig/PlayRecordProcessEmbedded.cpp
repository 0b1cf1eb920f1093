#include "PlayRecordProcessEmbedded.h"

#include <cerrno>
#include <cstdio>

PlayRecordProcessEmbedded::PlayRecordProcessEmbedded(const char* deviceName) : ChirpRecorder(deviceName) {}

PlayRecordProcessEmbedded::PlayRecordProcessEmbedded(const char* playbackName, const char* captureName)
    : ChirpRecorder(playbackName, captureName) {}

PlayRecordProcessEmbedded::~PlayRecordProcessEmbedded() {
    // The recorder's run writes the recording the identification reads: end it first.  The
    // identification part (destroyed before the recorder part) then waits for its own thread.
    if (ChirpRecorder::threadRunning()) ChirpRecorder::stop();
    ChirpRecorder::join();
}

bool PlayRecordProcessEmbedded::busy() const {
    return ChirpRecorder::threadRunning() || ChirpRecorder::running() || isGetImpulseModelRunning();
}

int PlayRecordProcessEmbedded::releaseDevices() {
    if (busy()) return -EBUSY;
    ChirpRecorder::join(); // a run that has ended: its thread is gone before the streams
    closeMeteringFifo();
    ALSA::Capture::close();
    ALSA::Playback::close();
    return 0;
}

int PlayRecordProcessEmbedded::prepare() {
    const MatrixReader reader(*this);                // no run begins while the signals are rebuilt
    if (!reader.matrices() || busy()) return -EBUSY; // in use by a measurement or an identification
    const int channels = getMaxPlayCh();
    if (channels < 0) return channels;
    if (const int ret = Calibration::init(channels); ret < 0) return ret;
    stopFreq = getFS() / 2.0;
    generateChirp();
    if (const int ret = generateChirps(channels); ret < 0) return ret;
    Calibration::reset();
    return 0;
}

int PlayRecordProcessEmbedded::getImpulseModel(int N, int whichSpeaker, bool doAlignData, float fsIn) {
    printf("N=%d, whichSpeaker=%d, doAlignData=%d fsIn=%f\n", N, whichSpeaker, doAlignData, fsIn);
    fflush(stdout);
    if (isGetImpulseModelRunning()) return -EBUSY; // the identification thread owns x, y and h now
    const MatrixReader reader(*this);              // the recording is not rebuilt meanwhile
    if (!reader.matrices() || measuring()) return -EBUSY;
    return LevinsonDurban::getImpulseModel(this, N, whichSpeaker, doAlignData, fsIn, 0.0, 0.0);
}

int PlayRecordProcessEmbedded::getImpulseModelThreaded(int N, int whichSpeaker, bool doAlignData, float fsIn, double fc,
                                                       double Q) {
    printf("N=%d, whichSpeaker=%d, doAlignData=%d fsIn=%f bandPassFilterCenterFrequency:%f "
           "bandPassFilterQFactor:%f\n",
           N, whichSpeaker, doAlignData, fsIn, fc, Q);
    fflush(stdout);
    if (measuring()) return -EBUSY; // the recording is being rebuilt or written
    return LevinsonDurban::getImpulseModelThreaded(this, N, whichSpeaker, doAlignData, fsIn, fc, Q);
}

int PlayRecordProcessEmbedded::getMicrophoneSampleCount() const {
    const MatrixReader reader(*this);
    return reader.matrices() ? static_cast<int>(microphones.rows()) : -EBUSY;
}

int PlayRecordProcessEmbedded::getChirpsSampleCount() const {
    const MatrixReader reader(*this);
    return reader.matrices() ? static_cast<int>(chirps.rows()) : -EBUSY;
}

double PlayRecordProcessEmbedded::getMicVal(int row, int col) const {
    const MatrixReader reader(*this);
    if (!reader.matrices()) return std::numeric_limits<double>::quiet_NaN();
    if (row < 0 || col < 0 || row >= microphones.rows() || col >= microphones.cols())
        return std::numeric_limits<double>::quiet_NaN();
    return microphones(row, col);
}

double PlayRecordProcessEmbedded::getChirpVal(int index, int) const {
    const MatrixReader reader(*this);
    if (!reader.matrices()) return std::numeric_limits<double>::quiet_NaN();
    if (index < 0 || index >= chirp.size()) return std::numeric_limits<double>::quiet_NaN();
    return chirp(index);
}
