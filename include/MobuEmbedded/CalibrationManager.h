#ifndef MOBUEMBEDDED_CALIBRATIONMANAGER_H
#define MOBUEMBEDDED_CALIBRATIONMANAGER_H

#include "MobuEmbedded/Audio.h"
#include "MobuEmbedded/Calibration.h"

#include <atomic>

/** Plays one channel's chirps through JACK while recording its microphone.
 *
 * Construction connects, sizes the ports from the server's physical ports and prepares
 * the chirps at the server's rate (peak 1, JACK's full scale).  Queue a channel (N[ch] = 0),
 * beginPlayCapture(ch), wait for isDone(), read microphones column ch.  The recording of
 * channel ch comes from input port ch, or input port 0 (the measurement microphone) when
 * there are fewer inputs. */
class CalibrationManager : public Calibration, public Audio {
public:
    CalibrationManager();
    ~CalibrationManager() override;

    double getFS() override { return Audio::getFS(); }
    /** Starts playing and recording channel ch (0 ... microphones.cols() - 1).  0, -1302, a JACK code,
     * or -EBUSY (nothing changed) while a channel still plays. */
    int beginPlayCapture(int ch);
    /// chirpingDone, read safely from another thread.
    bool isDone() const { return done.load(std::memory_order_acquire); }

protected:
    int processAudio(jack_nframes_t nframes) override;

private:
    int playCaptureCh = 0;
    std::atomic<bool> done{false};
    bool started = false; ///< a channel was started (it plays until done)
};

#endif
