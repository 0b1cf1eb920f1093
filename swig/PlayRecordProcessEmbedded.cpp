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

int PlayRecordProcessEmbedded::prepare() {
    if (busy()) return -EBUSY; // the signals it rebuilds are in use by a measurement or an identification
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
    return LevinsonDurban::getImpulseModel(this, N, whichSpeaker, doAlignData, fsIn, 0.0, 0.0);
}

int PlayRecordProcessEmbedded::getImpulseModelThreaded(int N, int whichSpeaker, bool doAlignData, float fsIn, double fc,
                                                       double Q) {
    printf("N=%d, whichSpeaker=%d, doAlignData=%d fsIn=%f bandPassFilterCenterFrequency:%f "
           "bandPassFilterQFactor:%f\n",
           N, whichSpeaker, doAlignData, fsIn, fc, Q);
    fflush(stdout);
    return LevinsonDurban::getImpulseModelThreaded(this, N, whichSpeaker, doAlignData, fsIn, fc, Q);
}

double PlayRecordProcessEmbedded::getMicVal(int row, int col) const {
    if (row < 0 || col < 0 || row >= microphones.rows() || col >= microphones.cols())
        return std::numeric_limits<double>::quiet_NaN();
    return microphones(row, col);
}

double PlayRecordProcessEmbedded::getChirpVal(int index, int) const {
    if (index < 0 || index >= chirp.size()) return std::numeric_limits<double>::quiet_NaN();
    return chirp(index);
}
