#include "LevinsonDurban.h"
#include "FrequencyWindow.h"
#include "RealDFT.h"

#include <MobuEmbedded/Calibration.h>
#include <MobuEmbedded/MobuCommon.h>

#include <SafeFile.h>
#include <Sox.h>

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <new>
#include <complex>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

LevinsonDurbanDebug::LevinsonDurbanDebug() {
    errors[LEVINSONDURBAN_FS_MISMATCH_ERROR] =
        "LevinsonDurban: Sample rate doesn't match that of the previously loaded signal";
    errors[LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR] =
        "LevinsonDurban: The reference signal has more then one column and the number of reference channels doesn't "
        "equal the number of response channels.";
    errors[LEVINSONDURBAN_N_MISMATCH_ERROR] =
        "LevinsonDurban: The reference and response signals have different lengths.";
    errors[LEVINSONDURBAN_CHANNEL_COUNT_ERROR] =
        "LevinsonDurban: The reference or response channel counts are too small.";
    errors[LEVINSONDURBAN_FS_VAL_ERROR] = "LevinsonDurban: Invalid sample rate specified.";
    errors[LEVINSONDURBAN_SINGULAR_ERROR] =
        "LevinsonDurban: The reference is silent or its autocorrelation is singular, so no model can be solved.";
    errors[LEVINSONDURBAN_PERIOD_COUNT_ERROR] =
        "LevinsonDurban: Stacking needs at least 4 periods, and a response that holds the periods it averages.";
    errors[LEVINSONDURBAN_MODEL_LENGTH_ERROR] =
        "LevinsonDurban: The model length N must be at least 1 and at most the length of the signals.";
    errors[LEVINSONDURBAN_NO_SIGNAL_ERROR] =
        "LevinsonDurban: There is no signal to identify: the recording is empty or the response is silent.";
    errors[LEVINSONDURBAN_NOT_FINITE_ERROR] =
        "LevinsonDurban: The sample rate, band-pass centre frequency or Q factor is not a finite number.";
    errors[LEVINSONDURBAN_SIZE_ERROR] =
        "LevinsonDurban: The requested matrix is larger than LEVINSONDURBAN_MAX_SAMPLES (8388608) samples.";
}

namespace {
/// The LevinsonDurban whose run executes on this thread (its own calls are not refused).
thread_local const LevinsonDurban* identifying = nullptr;

/// True when some sample of the column is above the recorder's silence threshold.
bool hasSignal(const Eigen::Ref<const Eigen::VectorXd>& column) {
    return (column.array().abs() > 1e-12).any();
}
} // namespace

bool LevinsonDurban::busy() const {
    return running() && identifying != this;
}

int LevinsonDurban::refused(const char* what) {
    std::fprintf(stderr, "LevinsonDurban::%s : an identification is running on this object, refused\n", what);
    return -EBUSY;
}

LevinsonDurban::LevinsonDurban() {
    x.resize(0, 0);
    y.resize(0, 0);
    h.resize(0, 0);
    tof.resize(0);
    reset();
}

LevinsonDurban::~LevinsonDurban() {
    join(); // a run on our thread uses the members
}

void LevinsonDurban::reset() {
    if (busy()) {
        refused("reset");
        return;
    }
    x.resize(0, 0);
    y.resize(0, 0);
    fs = -1.0f;
}

// ---------------------------------------------------------------------------------------------
// Signals in and out

int LevinsonDurban::loadAudio(const std::string& file, Matrix& data, double& rate) {
    Sox<double> sox;
    const int opened = sox.openRead(file);
    if (opened != 0 && opened != SOX_REFERENCE_WARNING) return opened;
    rate = sox.getFSIn();
    const int read = sox.read(data);
    const int closed = sox.closeRead();
    return read < 0 ? read : closed;
}

int LevinsonDurban::saveAudio(const std::string& file, const Matrix& data, float rate) {
    Sox<double> sox;
    const double peak = data.size() > 0 ? data.cwiseAbs().maxCoeff() : 0.0;
    int ret = sox.openWrite(file, rate, static_cast<int>(data.cols()), peak > 0.0 ? peak : 1.0, 64);
    if (ret < 0) return ret;
    ret = sox.write(data);
    const int closed = sox.closeWrite();
    return ret < 0 ? ret : closed;
}

int LevinsonDurban::loadSignal(const std::string& file, Matrix& into, const Matrix& other, const char* what) {
    Matrix data;
    double rate = 0.0;
    const int ret = loadAudio(file, data, rate);
    if (ret < 0) return ret;
    // The first signal sets the rate; the other must then have the same.
    if (other.rows() == 0 && other.cols() == 0)
        fs = static_cast<float>(rate);
    else if (rate != static_cast<double>(fs))
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_FS_MISMATCH_ERROR, what);
    into = data.rows() < data.cols() ? Matrix(data.transpose()) : data; // samples down the rows
    return 0;
}

int LevinsonDurban::loadReference(std::string file) {
    if (busy()) return refused("loadReference");
    return loadSignal(file, x, y, " when loading the reference signal.");
}

int LevinsonDurban::loadResponse(std::string file) {
    if (busy()) return refused("loadResponse");
    return loadSignal(file, y, x, " when loading the response signal.");
}

namespace {
int setElement(Eigen::MatrixXd& m, double value, unsigned row, unsigned col, unsigned rows, unsigned cols,
               const char* what) {
    if (static_cast<uint64_t>(rows) * cols > LEVINSONDURBAN_MAX_SAMPLES)
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_SIZE_ERROR, std::string(" when loading the ") + what +
                                                                                  " as " + std::to_string(rows) +
                                                                                  " x " + std::to_string(cols) + ".\n");
    // A new shape starts silent: a script that sets only the non-zero samples gets what it meant,
    // never the memory's old contents.
    if (m.rows() != rows || m.cols() != cols) {
        try {
            m.setZero(rows, cols);
        } catch (const std::bad_alloc&) {
            m.resize(0, 0);
            std::fprintf(stderr, "LevinsonDurban: no memory for the %s of %u x %u samples\n", what, rows, cols);
            return -ENOMEM;
        }
    }
    if (row < rows && col < cols) m(row, col) = value; // an element outside the shape is dropped
    return 0;
}
} // namespace

int LevinsonDurban::loadReference(FP_TYPE_LD value, unsigned row, unsigned col, unsigned rows, unsigned cols) {
    if (busy()) return refused("loadReference");
    return setElement(x, value, row, col, rows, cols, "reference");
}

int LevinsonDurban::loadResponse(FP_TYPE_LD value, unsigned row, unsigned col, unsigned rows, unsigned cols) {
    if (busy()) return refused("loadResponse");
    return setElement(y, value, row, col, rows, cols, "response");
}

int LevinsonDurban::saveReference(std::string file, float rate) {
    return busy() ? refused("saveReference") : saveAudio(file, x, rate);
}
int LevinsonDurban::saveResponse(std::string file, float rate) {
    return busy() ? refused("saveResponse") : saveAudio(file, y, rate);
}
int LevinsonDurban::saveSystemResponse(std::string file, float rate) {
    return busy() ? refused("saveSystemResponse") : saveAudio(file, h, rate);
}

// ---------------------------------------------------------------------------------------------
// Stacking

int LevinsonDurban::stackData(int P, int M) {
    if (busy()) return refused("stackData");
    return stackData(P, M, x, y);
}

int LevinsonDurban::stackData(int P, int M, Matrix& reference, Matrix& response) {
    if (reference.cols() != 1 && reference.cols() != response.cols())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR,
                                                   " when stacking the signals.");
    if (P <= 0) return 0;
    const Eigen::Index K = static_cast<Eigen::Index>(M) - DROP_CNT_CHIRPS;
    if (K < 1 || reference.rows() < P || response.rows() < P - 1 + K * P)
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_PERIOD_COUNT_ERROR,
                                                   " when stacking " + std::to_string(M) + " periods of " +
                                                       std::to_string(P) + " samples from " +
                                                       std::to_string(response.rows()) + " response samples.\n");
    reference.conservativeResize(P, Eigen::NoChange);
    Matrix mean = Matrix::Zero(P, response.cols());
    for (Eigen::Index k = 0; k < K; ++k)
        mean += response.middleRows(P - 1 + k * P, P);
    response = mean / static_cast<double>(K);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The solver

namespace {
/// Reports a failure of the solver, which returns an empty column.
Eigen::VectorXd solverFailure(int code, const std::string& text) {
    LevinsonDurbanDebug().evaluateError(code, text);
    return Eigen::VectorXd();
}
} // namespace

LevinsonDurban::Column LevinsonDurban::getImpulseModelCoreCore(int N, const Column& xc, const Column& yc) {
    return getImpulseModelCoreCore(N, xc, yc, Eigen::Array<bool, Eigen::Dynamic, 1>());
}

LevinsonDurban::Column
LevinsonDurban::getImpulseModelCoreCore(int N, const Column& xc, const Column& yc,
                                        const Eigen::Array<bool, Eigen::Dynamic, 1>& excitedBins) {
    const Eigen::Index L = xc.size();
    if (yc.size() != L) return solverFailure(LEVINSONDURBAN_N_MISMATCH_ERROR, " when deconvolving the signals.");
    if (N < 1 || N > L)
        return solverFailure(LEVINSONDURBAN_MODEL_LENGTH_ERROR,
                             " N=" + std::to_string(N) + " for signals of " + std::to_string(L) + " samples.\n");
    // Circular correlations of length L; the factor 8 / L^2 scales both sides alike.
    const double scale = 8.0 / (static_cast<double>(L) * static_cast<double>(L));
    const Eigen::VectorXcd X = realdft::forward(xc) * scale, Y = realdft::forward(yc) * scale;
    Eigen::VectorXcd cross = Y.cwiseProduct(X.conjugate()), power = X.cwiseProduct(X.conjugate());
    if (excitedBins.size() == X.size()) {
        // Outside the excited band the recording is noise alone: it is left out of the fit, and the
        // model's gain there is penalised instead of fitted, so that it stays next to zero rather
        // than dividing noise by an excitation 80 dB down.  Within four times the model's resolution
        // (L / N bins) of the band the penalty is the best-excited bin's power, leaving room for the
        // model to fall off; further out it is a hundred times that.  Within the band the power is
        // floored at -40 dB of the peak.
        const double peak = power.real().maxCoeff();
        const double floor = excitedBandThreshold * excitedBandThreshold * peak;
        const Eigen::Index transition = 4 * ((L + N - 1) / N), bins = X.size();
        Eigen::VectorXi distance = Eigen::VectorXi::Constant(bins, static_cast<int>(bins));
        for (int pass = 0; pass < 2; ++pass) {
            int last = -1;
            for (Eigen::Index i = 0; i < bins; ++i) {
                const Eigen::Index k = pass == 0 ? i : bins - 1 - i;
                if (excitedBins(k)) last = static_cast<int>(k);
                if (last >= 0) distance(k) = std::min<int>(distance(k), std::abs(static_cast<int>(k) - last));
            }
        }
        for (Eigen::Index k = 0; k < bins; ++k) {
            if (excitedBins(k))
                power(k) = std::max(power(k).real(), floor);
            else
                cross(k) = 0.0, power(k) = distance(k) > transition ? 100.0 * peak : peak;
        }
    }
    const Eigen::VectorXd c = realdft::inverse(cross, L);
    const Eigen::VectorXd r = realdft::inverse(power, L);

    // The prediction error power must stay positive: zero (a silent reference, or an exactly
    // predictable one) would divide by zero below.
    auto singular = [](double alpha) { return !(alpha > 0.0) || !std::isfinite(alpha); };
    double alpha = r(0);
    if (singular(alpha)) return solverFailure(LEVINSONDURBAN_SINGULAR_ERROR, " the reference is silent.\n");
    Column hc = Column::Zero(N), a = Column::Zero(N), g = Column::Zero(N);
    hc(0) = c(0) / alpha;
    g(0) = 1.0 / alpha;
    a(0) = 1.0;
    for (Eigen::Index i = 1; i < N; ++i) {
        double eps = 0.0;
        for (Eigen::Index k = 0; k < i; ++k)
            eps += a(k) * r(i - k);
        const double g0 = g(0);
        a.head(i + 1) -= eps * g.head(i + 1).reverse();
        alpha -= eps * eps * g0;
        if (singular(alpha))
            return solverFailure(LEVINSONDURBAN_SINGULAR_ERROR, " at lag " + std::to_string(i) + ".\n");
        g.head(i + 1) -= (eps * g0 / alpha) * a.head(i + 1).reverse();
        double z = 0.0;
        for (Eigen::Index k = 0; k < i; ++k)
            z += hc(k) * r(i - k);
        hc.head(i + 1) -= (z - c(i)) * g.head(i + 1).reverse();
    }
    if (!hc.allFinite()) return solverFailure(LEVINSONDURBAN_SINGULAR_ERROR, " the model is not finite.\n");
    return hc;
}

int LevinsonDurban::getImpulseModelCore(int N, int channel) {
    if (busy()) return refused("getImpulseModelCore");
    syslog(LOG_DEBUG, "********** getImpulseModelCore executing, channel %d\n", channel);
    if (channel < 0 || (x.cols() >= 2 && x.cols() <= channel) || y.cols() <= channel)
        return LevinsonDurbanDebug().evaluateError(
            LEVINSONDURBAN_CHANNEL_COUNT_ERROR,
            " when deconvolving the signals. Channel " + std::to_string(channel) +
                " requested, with reference channel count=" + std::to_string(x.cols()) +
                " and response channel count=" + std::to_string(y.cols()) + "\n");
    if (x.rows() != y.rows())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_N_MISMATCH_ERROR, " when deconvolving the signals.");
    if (N < 1 || N > x.rows())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_MODEL_LENGTH_ERROR,
                                                   " N=" + std::to_string(N) + " for signals of " +
                                                       std::to_string(x.rows()) + " samples.\n");
    // A silent response would give an all-zero model reported as a success.
    if (!hasSignal(y.col(channel)))
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_NO_SIGNAL_ERROR,
                                                   " when deconvolving the signals: response channel " +
                                                       std::to_string(channel) + " is silent.\n");
    if (h.rows() == N && h.cols() == y.cols())
        h.col(channel).setZero();
    else
        h.setZero(N, y.cols());
    const Column reference = x.cols() == 1 ? Column(x.col(0)) : Column(x.col(channel));
    const bool limited = channel == excitedChannel && excited.size() == x.rows() / 2 + 1;
    const Column solved = getImpulseModelCoreCore(N, reference, y.col(channel),
                                                  limited ? excited : Eigen::Array<bool, Eigen::Dynamic, 1>());
    if (solved.size() != N) return LEVINSONDURBAN_SINGULAR_ERROR; // reported by the solver
    h.col(channel) = solved;
    return 0;
}

int LevinsonDurban::getImpulseModel(int N) {
    if (busy()) return refused("getImpulseModel");
    if (x.cols() != 1 && x.cols() != y.cols())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR,
                                                   " when deconvolving the signals.");
    for (Eigen::Index i = 0; i < y.cols(); ++i)
        if (const int ret = getImpulseModelCore(N, static_cast<int>(i)); ret != 0) return ret;
    return 0;
}

int LevinsonDurban::getImpulseModel(int N, int whichSpeaker, bool doAlignData, float fsIn, double fc, double Q) {
    if (busy()) return refused("getImpulseModel");
    if (!std::isfinite(fsIn) || !std::isfinite(fc) || !std::isfinite(Q))
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_NOT_FINITE_ERROR, " when identifying the speaker.\n");
    fs = fsIn;
    saveAudio(debugFilePath("xStacked.wav"), x, fsIn);
    saveAudio(debugFilePath("yStacked.wav"), y, fsIn);
    if (doAlignData) {
        if (fsIn < 0)
            std::cout << "LevinsonDurban::getImpulseModel ERROR :: about to align data fs= " << fsIn << std::endl;
        const int ret = alignDataTime(fsIn, whichSpeaker, fc, Q);
        if (ret < 0) return ret;
    }
    saveAudio(debugFilePath("xAligned.wav"), x, fsIn);
    saveAudio(debugFilePath("yAligned.wav"), y, fsIn);
    setStatus("", "Identifying ... final stage ", 0, 0);
    const int ret = getImpulseModelCore(N, whichSpeaker);
    saveAudio(debugFilePath("h.wav"), h, fsIn);
    setStatus("", "Identifying ... done ", 0, 0);
    return ret;
}

int LevinsonDurban::getImpulseModel(Calibration* calibration, int N, int whichSpeaker, bool doAlignData, float fsIn,
                                    double fc, double Q) {
    std::cout << "LevinsonDurban::getImpulseModel :: N=" << N << " whichSpeaker = " << whichSpeaker << std::endl;
    if (busy()) return refused("getImpulseModel");
    if (!calibration)
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_CHANNEL_COUNT_ERROR, " no measurement given.\n");
    excited.resize(0);
    excitedChannel = -1;
    Eigen::Index P = 0;
    int M = 0;
    {
        // As a reader of the measurement: a run that records into it is refused, and none begins
        // while its signals are copied.
        const Calibration::SignalReader reader(*calibration);
        if (!reader.signals()) {
            std::fprintf(stderr, "LevinsonDurban::getImpulseModel : the measurement is recording, refused\n");
            return -EBUSY;
        }
        if (calibration->chirp.size() == 0 || calibration->microphones.size() == 0)
            return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_NO_SIGNAL_ERROR,
                                                       " the measurement has no reference chirp or no recordings.\n");
        x = calibration->chirp.matrix();
        y = calibration->microphones;
        P = calibration->chirp.rows();
        M = P > 0 ? static_cast<int>(calibration->chirps.rows() / P) : 0;
        // What this channel played: one steady period of its chirps (past the shaping's settling,
        // where the stacked window starts), or the reference when the chirps don't hold one.
        const bool own =
            whichSpeaker >= 0 && whichSpeaker < calibration->chirps.cols() && calibration->chirps.rows() >= 3 * P;
        excited =
            excitedBins(own ? Column(calibration->chirps.col(whichSpeaker).segment(2 * P - 1, P)) : Column(x.col(0)));
        excitedChannel = whichSpeaker;
    }
    if (whichSpeaker >= 0 && whichSpeaker < y.cols()) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        bandLow.resize(static_cast<size_t>(y.cols()), nan);
        bandHigh.resize(static_cast<size_t>(y.cols()), nan);
        double low = nan, high = nan;
        for (Eigen::Index k = 1; k < excited.size(); ++k)
            if (excited(k)) {
                const double f = static_cast<double>(k) * calibration->getFS() / static_cast<double>(P);
                if (std::isnan(low)) low = f;
                high = f;
            }
        bandLow[static_cast<size_t>(whichSpeaker)] = low;
        bandHigh[static_cast<size_t>(whichSpeaker)] = high;
    }
    const int ret = stackData(static_cast<int>(P), M);
    if (ret != 0) return ret;
    return getImpulseModel(N, whichSpeaker, doAlignData, fsIn, fc, Q);
}

int LevinsonDurban::getImpulseModelThreaded(Calibration* calibration, int N, int whichSpeaker, bool doAlignData,
                                            float fsIn, double fc, double Q) {
    if (isGetImpulseModelRunning()) return -EBUSY; // one run at a time; the caller polls for its end
    join();                                        // the previous run, which has ended
    pendingCalibration = calibration;
    pendingN = N;
    pendingSpeaker = whichSpeaker;
    pendingAlign = doAlignData;
    pendingFs = fsIn;
    pendingCentreFrequency = fc;
    pendingQFactor = Q;
    return run(0);
}

int LevinsonDurban::threadMain() {
    identifying = this;
    int ret = 0;
    try {
        ret = getImpulseModel(pendingCalibration, pendingN, pendingSpeaker, pendingAlign, pendingFs,
                              pendingCentreFrequency, pendingQFactor);
    } catch (const std::exception& e) { // out of memory: a result, never the end of the host process
        std::fprintf(stderr, "LevinsonDurban::threadMain : the identification failed: %s\n", e.what());
        ret = -ENOMEM;
    }
    impulseModelResult = ret;
    identifying = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Accessors

namespace {
double element(const Eigen::MatrixXd& m, long row, long col) {
    if (row < 0 || col < 0 || row >= m.rows() || col >= m.cols()) return std::numeric_limits<double>::quiet_NaN();
    return m(row, col);
}
} // namespace

double LevinsonDurban::getH(int row, int col) const {
    return busy() ? std::numeric_limits<double>::quiet_NaN() : element(h, row, col);
}
double LevinsonDurban::getX(unsigned row, unsigned col) const {
    return busy() ? std::numeric_limits<double>::quiet_NaN()
                  : element(x, static_cast<long>(row), static_cast<long>(col));
}
double LevinsonDurban::getY(unsigned row, unsigned col) const {
    return busy() ? std::numeric_limits<double>::quiet_NaN()
                  : element(y, static_cast<long>(row), static_cast<long>(col));
}

void LevinsonDurban::zeroH(unsigned channel) {
    if (busy()) {
        refused("zeroH");
        return;
    }
    if (channel >= static_cast<unsigned>(h.cols())) {
        std::printf("Your specified channel %d is larger then the available number of channels %ld", channel,
                    static_cast<long>(h.cols()));
        std::fflush(stdout);
        return;
    }
    h.col(channel).setZero();
}

int LevinsonDurban::setStatus(std::string error, std::string message, unsigned progressMax, unsigned progress) {
    return MobuCommon().setStatus(std::move(error), std::move(message), progressMax, progress);
}

// ---------------------------------------------------------------------------------------------
// Alignment and time of flight

namespace {

std::string frequencyText(double f) {
    std::ostringstream s;
    s << f;
    return s.str();
}

/// One value per line (or "frequency,weight" lines); the log line says whether it was written.
/// Written as a new file renamed into place in the debug folder (MOBU_DEBUG_DIR, /tmp by default).
template <typename Write> void writeCsv(const std::string& fileName, const char* what, Write write) {
    const std::string name = debugFilePath(fileName);
    std::ostringstream text;
    write(text);
    const int ret = writeFileSafely(name, text.str());
    if (ret != 0) {
        syslog(LOG_DEBUG, "Failed to write file %s (%d)\n", name.c_str(), ret);
        return;
    }
    syslog(LOG_DEBUG, "%s saved to %s\n", what, name.c_str());
}

void rotateLeft(Eigen::Ref<Eigen::VectorXd> column, Eigen::Index s) {
    const Eigen::Index L = column.size();
    if (L == 0) return;
    s = ((s % L) + L) % L;
    const Eigen::VectorXd old = column;
    for (Eigen::Index n = 0; n < L; ++n)
        column(n) = old((n + s) % L);
}

} // namespace

int LevinsonDurban::alignDataTime(float rate, int channel, double fc, double Q) {
    syslog(
        LOG_DEBUG,
        "********** alignDataTime executing, channel:%d bandPassFilterCenterFrequency:%f bandPassFilterQFactor:%f \n",
        channel, fc, Q);
    if (busy()) return refused("alignDataTime");
    if (!std::isfinite(rate) || !std::isfinite(fc) || !std::isfinite(Q))
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_NOT_FINITE_ERROR, " when aligning the signals.\n");
    if (!(rate > 0.0f)) return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_FS_VAL_ERROR, " invalid sample rate");
    if (channel < 0 || channel >= y.cols())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR, " invalid speaker index");
    if (x.cols() != 1 && x.cols() != y.cols())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR,
                                                   " when aligning the signals.");
    if (x.rows() != y.rows())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_N_MISMATCH_ERROR, " when aligning the signals.");
    // Without a signal the envelope has no arrival and the shift would be a made-up time of flight.
    if (!hasSignal(y.col(channel)))
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_NO_SIGNAL_ERROR,
                                                   " when aligning the signals: response channel " +
                                                       std::to_string(channel) + " is silent.\n");
    if (tof.size() != y.cols()) tof.setZero(y.cols());
    const Eigen::Index L = y.rows();
    const Column r = x.cols() > 1 ? Column(x.col(channel)) : Column(x.col(0));
    const Column response = y.col(channel);
    Column e;
    // A measurement's channel: only the bins its chirp excited carry the arrival.
    const Eigen::Array<bool, Eigen::Dynamic, 1> band =
        channel == excitedChannel && excited.size() == L / 2 + 1 ? excited : Eigen::Array<bool, Eigen::Dynamic, 1>();
    if (fc <= 0.0) {
        syslog(LOG_DEBUG, "alignDataTime - no frequency filtering\n");
        computeHLocAbsSmoothed(r, response, e, rate, 0.0, band);
    } else {
        syslog(LOG_DEBUG, "alignDataTime - applying Gaussian frequency window at %f Hz\n", fc);
        if (fc >= rate / 2.0) {
            syslog(LOG_WARNING, "bandPassFilterCenterFrequency exceeds Nyquist frequency: %f >= %f/2", fc,
                   static_cast<double>(rate));
            fc = rate / 4.0;
        }
        Column w;
        const Column yf = applyGaussianFrequencyWindow(response, rate, fc, &w);
        const std::string tag = std::to_string(channel) + "-" + frequencyText(fc) + ".csv";
        writeCsv("yFiltered-" + tag, "yFiltered", [&](std::ostream& f) {
            for (Eigen::Index k = 0; k < yf.size(); ++k)
                f << yf(k) << '\n';
        });
        writeCsv("gaussianWindow-" + tag, "Actual Gaussian window values", [&](std::ostream& f) {
            for (Eigen::Index k = 0; k <= L / 2 && k < w.size(); ++k)
                f << static_cast<double>(k) * rate / static_cast<double>(L) << ',' << w(k) << '\n';
        });
        computeHLocAbsSmoothed(r, yf, e, rate, fc, band);
    }
    const std::string tag = std::to_string(channel) + "-" + frequencyText(fc) + ".csv";
    writeCsv("hLocAbsSmoothed-" + tag, "hLocAbsSmoothed", [&](std::ostream& f) {
        for (Eigen::Index k = 0; k < e.size(); ++k)
            f << e(k) << '\n';
    });
    writeCsv("y-" + tag, "y", [&](std::ostream& f) {
        for (Eigen::Index k = 0; k < response.size(); ++k)
            f << response(k) << '\n';
    });
    double peakValue = 0.0;
    int peakIndex = 0;
    computePeakIndices(e, rate, static_cast<int>(L), peakValue, peakIndex);
    tof(channel) = peakIndex;
    syslog(LOG_DEBUG, "alignDataTime - channel:%d maxPeakIndex:%d hMax:%lf\n", channel, peakIndex, peakValue);
    rotateLeft(y.col(channel), peakIndex);
    return 0;
}

int LevinsonDurban::alignData(float rate) {
    syslog(LOG_DEBUG, "********** alignData executing");
    if (busy()) return refused("alignData");
    if (!std::isfinite(rate))
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_NOT_FINITE_ERROR, " when aligning the signals.\n");
    if (x.cols() != 1 && x.cols() != y.cols())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR,
                                                   " when aligning the signals.");
    if (x.rows() != y.rows())
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_N_MISMATCH_ERROR, " when aligning the signals.");
#ifdef MOBU_PARALLEL_ALIGNMENT
#pragma omp parallel for schedule(dynamic)
#endif
    // Each channel is transformed and rotated on its own (the planner is thread safe): the script
    // module, which aligns many channels on the user's request, spreads them over the cores.
    for (Eigen::Index c = 0; c < y.cols(); ++c) {
        const Eigen::Index L = y.rows();
        if (L == 0) continue;
        Eigen::VectorXcd Y = realdft::forward(y.col(c));
        for (Eigen::Index k = 0; k < Y.size(); ++k)
            Y(k) = k < L / 2 ? 2.0 * Y(k) : 0.0;
        const Column v = realdft::inverse(Y, L);
        Eigen::Index m = 0;
        v.cwiseAbs().maxCoeff(&m);
        syslog(LOG_DEBUG, "********** ALIGNDATAS maxIdx:%ld", static_cast<long>(m));
        long s = static_cast<long>(m) - static_cast<long>(std::floor(DEFAULT_DELAY * static_cast<double>(rate)));
        if (s < 0) {
            syslog(LOG_DEBUG, "maxIdx=%ld, zeroing as is negative", s);
            s = 0;
        }
        rotateLeft(y.col(c), s);
    }
    return 0;
}

int LevinsonDurban::timeOfFlight(const Matrix& reference, const Matrix& response) {
    if (busy()) return refused("timeOfFlight");
    if (reference.cols() != 1)
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR,
                                                   " when computing time of flight.");
    const Eigen::Index L = reference.rows();
    if (response.rows() < L)
        return LevinsonDurbanDebug().evaluateError(LEVINSONDURBAN_N_MISMATCH_ERROR, " when computing time of flight.");
    Eigen::VectorXcd X = realdft::forward(reference.col(0));
    for (Eigen::Index k = 0; k < X.size(); ++k)
        X(k) = std::polar(1.0, std::arg(X(k)));
    tof.setZero(response.cols());
    for (Eigen::Index c = 0; c < response.cols(); ++c) {
        Eigen::VectorXcd Y = realdft::forward(response.col(c).head(L));
        Y = Y.cwiseQuotient(X);
        const Column t = realdft::inverse(Y, L);
        Eigen::Index m = 0;
        if (t.size() > 0) t.maxCoeff(&m);
        tof(c) = static_cast<int32_t>(m);
    }
    return 0;
}

double LevinsonDurban::getBandLow(int channel) const {
    if (busy() || channel < 0 || static_cast<size_t>(channel) >= bandLow.size())
        return std::numeric_limits<double>::quiet_NaN();
    return bandLow[static_cast<size_t>(channel)];
}

double LevinsonDurban::getBandHigh(int channel) const {
    if (busy() || channel < 0 || static_cast<size_t>(channel) >= bandHigh.size())
        return std::numeric_limits<double>::quiet_NaN();
    return bandHigh[static_cast<size_t>(channel)];
}

int LevinsonDurban::getTOF(int channel) const {
    if (busy()) return refused("getTOF");
    if (channel < 0 || channel >= tof.size())
        return LevinsonDurbanDebug().evaluateError(
            LEVINSONDURBAN_CHANNEL_COUNT_ERROR,
            " getTOF : not that many channels available. Have you run getImpulseModel yet ?\n");
    return tof(channel);
}
