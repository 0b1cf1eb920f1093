#ifndef MOBUEMBEDDED_CALIBRATION_H
#define MOBUEMBEDDED_CALIBRATION_H

#include "MobuEmbedded/MobuCommon.h"

#include <Eigen/Dense>

#include <cstdint>
#include <vector>

/** The measurement signals: a phase-synchronised exponential sweep (the reference
 * chirp), the chirps to play (one column per playback channel, the chirp nine times)
 * and the recordings (one chirp period longer than what is played).
 *
 * N holds one entry per playback channel: while a channel is measured, its sample
 * position in chirps and microphones; 0 marks a channel waiting to be played; any
 * other value a channel not to be played (or done).
 */
class Calibration : public MobuCommon {
public:
    static constexpr int chirpRepeatCount = 9;

    Calibration();
    /// Not to be used: the audio device defines the rate.  Reports -1314 and ends the process.
    explicit Calibration(double fs);
    ~Calibration() override = default;

    double getFS() override { return 48000.0; }
    /// A copy of the chirps to play.
    virtual Eigen::MatrixXd getChirps() { return chirps; }

    /** Sets the playback channel count: N grows with 10000000 entries (existing ones kept)
     * or shrinks; the sweep runs from 20 Hz to fs / 2 over 1 s.  @return 0. */
    int init(int playChannels);
    /// Every entry of N that isn't 0 becomes 2 x microphones.rows(); chirpingDone = 0.
    void reset();
    /// The channels still to be played (entries of N equal to 0).
    int getPlayChCnt() const;
    /// 2^(bits - 1) - 1.
    static double getMaxScaleFactor(int bits);

    /// Computes the reference chirp and writes it to chirp.wav in the debug folder (MOBU_DEBUG_DIR, /tmp by default).
    void generateChirp();
    /// chirps = the chirp 9 times in `channels` columns; microphones zeroed, 10 chirps long.  0 or -1300.
    int generateChirps(int channels);
    /// Scales the chirp so that its largest (signed) element is getMaxScaleFactor(bits).
    void maxScaleChirp(int bits);
    /// Write chirps / microphones as 32-bit files, the largest magnitude at full scale.  0 or a Sox code.
    int chirpsToFile(const char* name);
    int micsToFile(const char* name);

    /** A reader of chirp, chirps and microphones from outside the object (an identification, say):
     * while one holds them no measurement begins on the object; signals() is false (and nothing
     * is held) while a measurement rebuilds or records them, when they are not to be read. */
    class SignalReader {
    public:
        explicit SignalReader(const Calibration& owner) : owner(owner), free(owner.acquireSignals()) {}
        ~SignalReader() {
            if (free) owner.releaseSignals();
        }
        SignalReader(const SignalReader&) = delete;
        SignalReader& operator=(const SignalReader&) = delete;
        bool signals() const { return free; }

    private:
        const Calibration& owner;
        const bool free;
    };

    int chirpingDone = 0;
    Eigen::ArrayXd chirp;
    Eigen::MatrixXd chirps;
    Eigen::MatrixXd microphones;
    double startFreq = 20.0;
    double stopFreq = 24000.0;
    std::vector<uint32_t> N;
    double chirpDuration = 1.0;

protected:
    /// SignalReader's hold: true when the signals may be read (then released once); plain signals always may.
    virtual bool acquireSignals() const { return true; }
    virtual void releaseSignals() const {}

    /** A matrix as a 32-bit file at `rate` (getFS() when 0), the largest magnitude at full scale
     * (its scale reference restores the values).  0 or a Sox code (reported with the name). */
    int matrixToFile(const char* name, const Eigen::MatrixXd& data, double rate = 0.0);
};

#endif
