#ifndef MOBUEMBEDDED_GAINCONTROL_H
#define MOBUEMBEDDED_GAINCONTROL_H

#include "MobuEmbedded/ObjectDoubleBuffer.h"

#include <Eigen/Dense>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

/** The processor's per-output gains, mutes and polarities and their one-period ramps.
 *
 * Producers (the mixer-event thread, the control thread, the first pass) turn control
 * values into a requested row of M gains; a request becomes a ramp of N rows from the
 * gains in use to the requested ones, built into the inactive matrix and handed to the
 * audio thread through a double buffer.  A request that arrives while a ramp is still
 * pending is kept ("owed") and ramped to once the pending one has been applied, so no
 * change is lost; the control thread serves what is owed (the wake callback tells it).
 * A muted channel keeps its gain and polarity for the unmute.
 *
 * The audio thread uses only inForce(), rampPending(), ramp() and completeRamp(); it
 * takes no lock.  Every other member takes the lock and is for the producers.
 */
class GainControl {
public:
    using GainRow = Eigen::Array<double, 1, Eigen::Dynamic>;

    /// One mixer control as read: found, its level in dB (a gain) or its switch (mute, invert).
    struct Reading {
        std::string name;
        bool found = false;
        double dB = 0.0;
        int value = 0;
    };
    /// What a control of channel c does.
    enum class Kind { Volume, Mute, Invert };

    /// wake: asks the control thread to serve an owed ramp (called with the lock held; must not block).
    explicit GainControl(std::function<void()> wake) : wake(std::move(wake)) {}

    /// First pass: N x M unity matrices in force, nothing owed or pending, no channel muted.
    void size(int n, int m);
    /// First pass, before anything plays: the requested gains hold at once, without a ramp.
    void holdRequested();

    /** Applies the 3 x M readings of "Gain c", "Gain c Mute" and "Gain c Invert" (in that order
     * per channel) and ramps to the result.  @return 0, or -1 before size(). */
    int applyReadings(const std::vector<Reading>& readings);
    /// One control of channel c changed (a mixer event); ramps to the result.  Ignored before size().
    void applyChange(int c, Kind kind, double dB, int value);
    /// Requests a ramp to newGains (M values); see the class comment.
    void set(const GainRow& newGains);

    /// Control thread: a request waits for the pending ramp to be applied.
    bool owed();
    /// Control thread: builds the owed ramp if the pending one has been applied.
    void serveOwed();

    /// The gains the latest request ends on.
    GainRow requested();

    // Audio thread.
    bool rampPending() const { return matrices.transitionPending(); }
    const Eigen::ArrayXXd& inForce() { return *matrices.activeBuffer(); }
    const Eigen::ArrayXXd& ramp() { return *matrices.targetBuffer(); }
    void completeRamp() { matrices.completeTransition(); }

private:
    void setLocked(const GainRow& newGains);
    void buildRampLocked();

    std::function<void()> wake;
    std::mutex lock;        ///< never taken by the audio thread once it runs
    bool ready = false;     ///< the gain matrices are sized (first pass done)
    bool rampOwed = false;  ///< requestedGains still waits for its ramp
    GainRow requestedGains; ///< what the latest request ends on
    GainRow savedGains;     ///< a muted channel's gain, for the unmute
    std::vector<bool> muted;
    std::vector<bool> inverted; ///< the Invert control of each channel (kept while muted)
    ObjectDoubleBuffer<Eigen::ArrayXXd> matrices;
};

#endif
