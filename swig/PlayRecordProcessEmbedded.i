// The measurement module of the user interface: a loudspeaker measurement and its impulse
// identification in one object, PlayRecordProcessEmbedded, with the classes it is built from.
// The declarations below are what JavaScript sees; the code is the project's own classes.
%module PlayRecordProcessEmbedded

%{
#include "PlayRecordProcessEmbedded.h"
#include <MobuEmbedded/MobuCommon.h>
#include <MobuEmbedded/MobuDebug.h>
#include <ThreadPriority.h>
#include <cerrno>
#include <stdexcept>
%}

%include "Strings.i"
%include "Integers.i"

typedef double FP_TYPE_LD;

%constant int ALSA_DEFAULT_START_FS = 48000;
%constant int ALSA_DEFAULT_CHANNELS = 2;
%constant int LEVINSONDURBAN_ERROR_OFFSET = LEVINSONDURBAN_ERROR_OFFSET;
%constant int LEVINSONDURBAN_FS_MISMATCH_ERROR = LEVINSONDURBAN_FS_MISMATCH_ERROR;
%constant int LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR = LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR;
%constant int LEVINSONDURBAN_N_MISMATCH_ERROR = LEVINSONDURBAN_N_MISMATCH_ERROR;
%constant int LEVINSONDURBAN_CHANNEL_COUNT_ERROR = LEVINSONDURBAN_CHANNEL_COUNT_ERROR;
%constant int LEVINSONDURBAN_FS_VAL_ERROR = LEVINSONDURBAN_FS_VAL_ERROR;
%constant int LEVINSONDURBAN_SINGULAR_ERROR = LEVINSONDURBAN_SINGULAR_ERROR;
%constant int LEVINSONDURBAN_PERIOD_COUNT_ERROR = LEVINSONDURBAN_PERIOD_COUNT_ERROR;
%constant int LEVINSONDURBAN_MODEL_LENGTH_ERROR = LEVINSONDURBAN_MODEL_LENGTH_ERROR;
%constant int LEVINSONDURBAN_NO_SIGNAL_ERROR = LEVINSONDURBAN_NO_SIGNAL_ERROR;
%constant int LEVINSONDURBAN_NOT_FINITE_ERROR = LEVINSONDURBAN_NOT_FINITE_ERROR;
%constant int LEVINSONDURBAN_SIZE_ERROR = LEVINSONDURBAN_SIZE_ERROR;
%constant int LEVINSONDURBAN_MAX_SAMPLES = LEVINSONDURBAN_MAX_SAMPLES;
%constant int DROP_CNT_CHIRPS = DROP_CNT_CHIRPS;
%constant double FI_HZ = FI_HZ;
%constant double FA_HZ = FA_HZ;
%constant double DEFAULT_DELAY = DEFAULT_DELAY;
%constant int CR_MAX_PLAY_CH = CR_MAX_PLAY_CH;
%constant int CR_MAX_REC_CH = CR_MAX_REC_CH;
%constant int CR_MAX_FRAME_COUNT = CR_MAX_FRAME_COUNT;
%constant int CR_FRAME_COUNT_ERROR = CR_FRAME_COUNT_ERROR;

// Known to the type system (a PlayRecordProcessEmbedded passes as one) but not exported.
%import "Calibration.i"

class LevinsonDurbanDebug {
public:
    LevinsonDurbanDebug();
};

class LevinsonDurban {
public:
    typedef Eigen::MatrixXd Matrix;
    typedef Eigen::VectorXd Column;
    LevinsonDurban();
    virtual ~LevinsonDurban();
    int getXN() const;
    int getXM() const;
    int getYN() const;
    int getYM() const;
    double getX(unsigned row, unsigned col) const;
    double getY(unsigned row, unsigned col) const;
    int loadReference(FP_TYPE_LD value, unsigned row, unsigned col, unsigned rows, unsigned cols);
    int loadResponse(FP_TYPE_LD value, unsigned row, unsigned col, unsigned rows, unsigned cols);
    int stackData(int periodSamples, int periodCount);
    int timeOfFlight(const Matrix& reference, const Matrix& response);
    int alignData(float fs);
    int alignDataTime(float fs, int channel, double bandPassFilterCenterFrequency, double bandPassFilterQFactor);
    int getImpulseModelCore(int N, int channel);
    int getImpulseModelThreaded(Calibration* calibration, int N, int whichSpeaker, bool doAlignData, float fsIn,
                                double bandPassFilterCenterFrequency, double bandPassFilterQFactor);
    bool isGetImpulseModelRunning() const;
    int getImpulseModelResult() const;
    int getImpulseModel(int N);
    int getImpulseModel(int N, int whichSpeaker, bool doAlignData, float fsIn, double bandPassFilterCenterFrequency,
                        double bandPassFilterQFactor);
    int getImpulseModel(Calibration* calibration, int N, int whichSpeaker, bool doAlignData, float fsIn,
                        double bandPassFilterCenterFrequency, double bandPassFilterQFactor);
    Column getImpulseModelCoreCore(int N, const Column& x, const Column& y);
    int getHLength() const;
    double getH(int row, int col) const;
    void zeroH(unsigned channel);
    int getTOF(int channel) const;
    double getBandLow(int channel) const;
    double getBandHigh(int channel) const;
    int setStatus(std::string error, std::string message, unsigned progressMax, unsigned progress);
};

// Both forms of stackData are methods of the object: SWIG registers an overload set that mixes
// static and member forms as a static function only, so the member form would not be callable.
%extend LevinsonDurban {
    int stackData(int periodSamples, int periodCount, Matrix& reference, Matrix& response) {
        return LevinsonDurban::stackData(periodSamples, periodCount, reference, response);
    }
}

class ChirpRecorderBase : public Calibration {
public:
    virtual int getMaxPlayCh() = 0;
    virtual int getMaxRecCh() = 0;
    int getPlayCh() const;
    int setPlayCh(int ch);
    int getRecCh() const;
    int setRecCh(int ch);
    int zeroChannel(unsigned ch);
    int isChannelEmpty(unsigned ch);
    int getRecordedChannelCnt();
    int setFrameCount(int frames);
};

// The sample-rate form cannot be honoured (the device sets the rate): it reports -1314 and
// throws, where the measurement classes would end the process.
%exception ChirpRecorder::ChirpRecorder(const char* deviceName, double fs) {
  try {
    $action
  } catch (const std::exception& e) {
    SWIG_exception_fail(SWIG_RuntimeError, e.what());
  }
}

class ChirpRecorder : public ChirpRecorderBase {
public:
    ChirpRecorder(const char* playbackName, const char* captureName);
    ChirpRecorder(const char* deviceName);
    virtual ~ChirpRecorder();
    virtual double getFS();
    virtual int getMaxPlayCh();
    virtual int getMaxRecCh();
    double getMaxVal(unsigned ch);
    bool running() const;
    int stop();
    bool threadRunning() const;
    bool getForceStopState() const;
    void resetForceStopState();
    int getAllLeftChIndex() const;
    int getAllRightChIndex() const;
    int getRunResult() const;
    int getXrunCount() const;
};

%extend ChirpRecorder {
    ChirpRecorder(const char* deviceName, double fs) {
        const int code = MobuDebug().evaluateError(-1314);
        throw std::runtime_error(MobuDebug().message(code));
    }
    /// One complete measurement on the recorder's thread (priority 0); the start's result at once.
    int run() { return $self->run(0); }
}

class PlayRecordProcessEmbedded : public ChirpRecorder {
public:
    PlayRecordProcessEmbedded(const char* deviceName);
    PlayRecordProcessEmbedded(const char* playbackName, const char* captureName);
    virtual ~PlayRecordProcessEmbedded();
    int prepare();
    int releaseDevices();
    int getImpulseModel(int N, int whichSpeaker, bool doAlignData, float fsIn);
    int getImpulseModelThreaded(int N, int whichSpeaker, bool doAlignData, float fsIn,
                                double bandPassFilterCenterFrequency, double bandPassFilterQFactor);
    bool isImpulseModuleComputed() const;
    bool isGetImpulseModelRunning() const;
    int getImpulseModelResult() const;
    double getH(int row, int col) const;
    int getTOF(int channel) const;
    double getBandLow(int channel) const;
    double getBandHigh(int channel) const;
    void zeroH(unsigned channel);
    double getX(unsigned row, unsigned col) const;
    double getY(unsigned row, unsigned col) const;
    int getXN() const;
    int getXM() const;
    int getYN() const;
    int getYM() const;
    int getHLength() const;
    const char* getStateName() const;
    int getMicrophoneSampleCount() const;
    int getChirpsSampleCount() const;
    double getMicVal(int row, int col) const;
    double getChirpVal(int index, int unused) const;
    double getDefaultDelay() const;
};

%extend PlayRecordProcessEmbedded {
    /// A measurement on the recorder's thread; -EBUSY while the identification thread reads the recording.
    int run() { return $self->isGetImpulseModelRunning() ? -EBUSY : static_cast<ChirpRecorder*>($self)->run(0); }
}

%inline %{
/// Puts the calling (JavaScript) thread under SCHED_FIFO at this priority (< 0: the maximum).
int changeThreadPriority(int priority) { return ALSA::changeThreadPriority(priority); }
/// The calling thread's priority (printed with its policy), or a negative code.
int getThreadPriority() { return ALSA::getThreadPriority(true); }
/// Moves the status file this process's measurements and identifications write (by default
/// /tmp/status.json), so that two servers on one machine do not share one; returns 0.
int setStatusFile(const char* path) {
    MobuCommon::setStatusFile(path);
    return 0;
}
/// The status file this process writes.
const char* getStatusFile() {
    static thread_local std::string path;
    path = MobuCommon::getStatusFile();
    return path.c_str();
}
%}
