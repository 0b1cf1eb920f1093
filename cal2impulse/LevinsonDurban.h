#ifndef MOBU_CAL2IMPULSE_LEVINSONDURBAN_H
#define MOBU_CAL2IMPULSE_LEVINSONDURBAN_H

#include <Debug.h>
#include <Thread.h>

#include <Eigen/Dense>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

class Calibration;

/// The element type of the identification's signals.
typedef double FP_TYPE_LD;

/// Chirp periods dropped at the start of a recording when it is stacked (the room settles).
#define DROP_CNT_CHIRPS 3
/// Pre-delay before the arrival peak that the alignment leaves, in seconds.
#define DEFAULT_DELAY 0.003

#define LEVINSONDURBAN_ERROR_OFFSET -200
#define LEVINSONDURBAN_FS_MISMATCH_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 1)
#define LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 2)
#define LEVINSONDURBAN_N_MISMATCH_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 3)
#define LEVINSONDURBAN_CHANNEL_COUNT_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 4)
#define LEVINSONDURBAN_FS_VAL_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 5)
#define LEVINSONDURBAN_SINGULAR_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 6)     ///< silent or singular reference
#define LEVINSONDURBAN_PERIOD_COUNT_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 7) ///< too few periods to stack
#define LEVINSONDURBAN_MODEL_LENGTH_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 8) ///< N outside 1 ... signal length
#define LEVINSONDURBAN_NO_SIGNAL_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 9)    ///< empty or silent recording
#define LEVINSONDURBAN_NOT_FINITE_ERROR                                                                                \
    (LEVINSONDURBAN_ERROR_OFFSET - 10)                               ///< a rate or band argument is NaN or infinite
#define LEVINSONDURBAN_SIZE_ERROR (LEVINSONDURBAN_ERROR_OFFSET - 11) ///< a matrix above LEVINSONDURBAN_MAX_SAMPLES

/// The most samples (rows x columns) a signal matrix loaded element by element may have: 2^23,
/// 64 MiB of doubles, more than 20 s of 8 channels at 48 kHz (a measurement is 10 s).
#define LEVINSONDURBAN_MAX_SAMPLES (1u << 23)

/// Error table of LevinsonDurban (codes -201 ... -211).
class LevinsonDurbanDebug : virtual public Debug {
public:
    LevinsonDurbanDebug();
};

/** Least-squares FIR identification: the impulse responses h (N taps per channel) that map
 * the reference x onto the responses y, from the Toeplitz normal equations solved by the
 * Levinson-Durbin recursion, after averaging the recorded periods and, optionally, aligning
 * each response so that its arrival sits 3 ms into the window (its shift is its time of flight).
 *
 * Samples run down the rows, channels across the columns.  x holds one column (shared by
 * every response) or one per response channel.  A run may execute on the object's own
 * thread (getImpulseModelThreaded); while it does, every other call that reads or writes the
 * signals, h or tof is refused: the int results are -EBUSY, getH/getX/getY give NaN, and
 * reset and zeroH change nothing.  Only the status queries answer.
 */
class LevinsonDurban : ThreadedMethod {
public:
    using Matrix = Eigen::MatrixXd;
    using Column = Eigen::VectorXd;

    LevinsonDurban();
    ~LevinsonDurban() override;

    /// Empties x and y; fs = -1.
    void reset();

    /// Reads an audio file into x (or y); the rates of x and y must agree (-201).  0 or a negative code.
    int loadReference(std::string file);
    int loadResponse(std::string file);
    /** Sets one element, the matrix first made rows x cols of zeros when it has another shape.  0, or
     * -211 (nothing changed) when rows x cols exceeds LEVINSONDURBAN_MAX_SAMPLES. */
    int loadReference(FP_TYPE_LD value, unsigned row, unsigned col, unsigned rows, unsigned cols);
    int loadResponse(FP_TYPE_LD value, unsigned row, unsigned col, unsigned rows, unsigned cols);
    /// Writes x, y or h as 64-bit samples at fs, the largest magnitude at full scale.  0 or a file code.
    int saveReference(std::string file, float fs);
    int saveResponse(std::string file, float fs);
    int saveSystemResponse(std::string file, float fs);

    /** Averages the periods: x keeps its first P rows; y keeps K = M - 3 periods from row P - 1 on,
     * averaged into P rows.  P <= 0 does nothing.  0, -202 (x neither one column nor one per
     * response), or -207 when M < 4 or y is shorter than P - 1 + K P rows; nothing changes then. */
    int stackData(int periodSamples, int periodCount);
    static int stackData(int periodSamples, int periodCount, Matrix& reference, Matrix& response);

    /** The N-tap least-squares FIR from x to y (columns of equal length L, circular correlations of
     * length L).  An empty column, reported, when N is outside 1 ... L (-208), the columns differ in
     * length (-203), or the reference is silent or singular (-206). */
    Column getImpulseModelCoreCore(int N, const Column& x, const Column& y);
    /** The same, regularised to the excited bins (0 ... L/2, as excitedBins gives them): what the
     * response holds outside them is left out, and the model's gain there is penalised (by the
     * reference's peak power within 4 L / N bins of the band, by 100 times that further out), so
     * that it is held next to zero instead of dividing noise by an excitation 80 dB down; within
     * the band the power is floored at excitedBandThreshold^2 of the peak.  The normal equations
     * then stay regular up to N = L.  An empty mask gives the plain solver. */
    Column getImpulseModelCoreCore(int N, const Column& x, const Column& y,
                                   const Eigen::Array<bool, Eigen::Dynamic, 1>& excited);
    /// Solves one response channel into column `channel` of h.  0 or a negative code (-209: a silent response).
    int getImpulseModelCore(int N, int channel);
    /// Solves every response channel.  0 or the first failure.
    int getImpulseModel(int N);
    /** Identifies one speaker from the member signals: optional alignment, the solver, status and /tmp
     * files.  -210 when fsIn, the band centre or Q is not finite, -209 when the response is silent. */
    int getImpulseModel(int N, int whichSpeaker, bool doAlignData, float fsIn, double bandPassFilterCenterFrequency,
                        double bandPassFilterQFactor);
    /** The same from a measurement: x = its chirp, y = its recordings, stacked over its periods; -209
     * when it has no chirp or no recordings, -16 (EBUSY) while the measurement records (its
     * signals are then taken as a reader, so no run begins while they are copied).  The
     * identification and the alignment are limited to the band the channel's played chirp
     * (one steady period of its column of chirps) excites; getBandLow/getBandHigh tell it. */
    int getImpulseModel(Calibration* calibration, int N, int whichSpeaker, bool doAlignData, float fsIn,
                        double bandPassFilterCenterFrequency, double bandPassFilterQFactor);
    /// Starts the previous form on the object's thread and returns 0 (or a thread error) at once.
    int getImpulseModelThreaded(Calibration* calibration, int N, int whichSpeaker, bool doAlignData, float fsIn,
                                double bandPassFilterCenterFrequency, double bandPassFilterQFactor);
    bool isGetImpulseModelRunning() const { return getHandle() != 0; }
    int getImpulseModelResult() const { return impulseModelResult.load(std::memory_order_acquire); }

    /// The band (Hz) a measurement's identification of that channel was limited to; NaN when none.
    double getBandLow(int channel) const;
    double getBandHigh(int channel) const;

    /// Elements, or NaN outside the matrix.
    double getH(int row, int col) const;
    double getX(unsigned row, unsigned col) const;
    double getY(unsigned row, unsigned col) const;
    /// Sizes of h, x and y; -EBUSY during a run on the object's thread.
    int getHLength() const { return busy() ? -EBUSY : static_cast<int>(h.rows()); }
    int getXN() const { return busy() ? -EBUSY : static_cast<int>(x.rows()); }
    int getXM() const { return busy() ? -EBUSY : static_cast<int>(x.cols()); }
    int getYN() const { return busy() ? -EBUSY : static_cast<int>(y.rows()); }
    int getYM() const { return busy() ? -EBUSY : static_cast<int>(y.cols()); }
    float getFS() const { return fs; }
    /// Zeroes column `channel` of h (a message and no change when there is none).
    void zeroH(unsigned channel);
    /// The status file (see MobuCommon::setStatus).  0 or -100.
    int setStatus(std::string error, std::string message, unsigned progressMax, unsigned progress);

    /** Rotates response `channel` so that its arrival sits 3 ms in; tof(channel) = the shift.  0 or a
     * code: -210 for a rate, band centre or Q that is not finite, -209 for a silent response. */
    int alignDataTime(float fs, int channel, double bandPassFilterCenterFrequency, double bandPassFilterQFactor);
    /** The older alignment: each response is rotated so that the largest magnitude of its lower half
     * spectrum (doubled, read back as a real signal) sits 3 ms in, never earlier; tof untouched. */
    int alignData(float fs);
    /// tof from the phase-only deconvolution of the given matrices' first columns.  0 or -202.
    int timeOfFlight(const Matrix& reference, const Matrix& response);
    /// tof(channel), or -204 when there is no such entry.
    int getTOF(int channel) const;

    using ThreadedMethod::run;

protected:
    int threadMain() override;

private:
    /// A run on the object's thread owns the members and this call is not part of it.
    bool busy() const;
    /// Reports a call refused by busy() and returns -EBUSY.
    static int refused(const char* what);
    static int loadAudio(const std::string& file, Matrix& data, double& rate);
    static int saveAudio(const std::string& file, const Matrix& data, float rate);
    int loadSignal(const std::string& file, Matrix& into, const Matrix& other, const char* what);

    Matrix x;
    Matrix y;
    Matrix h;
    Eigen::Matrix<int32_t, 1, Eigen::Dynamic> tof;
    Calibration* pendingCalibration = nullptr;
    int pendingN = 0;
    int pendingSpeaker = 0;
    bool pendingAlign = false;
    float pendingFs = 0.0f;
    double pendingCentreFrequency = 0.0;
    double pendingQFactor = 0.0;
    std::atomic<int> impulseModelResult{0};        ///< written by the run, read while it runs
    Eigen::Array<bool, Eigen::Dynamic, 1> excited; ///< the bins the measured channel's chirp excites
    int excitedChannel = -1;                       ///< the response channel `excited` belongs to
    std::vector<double> bandLow, bandHigh;         ///< per response channel, Hz (NaN: none)
    float fs = -1.0f;
};

#endif
