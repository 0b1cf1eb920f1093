#ifndef MOBU_PLATFORM_ALSAMIXEREVENTS_H
#define MOBU_PLATFORM_ALSAMIXEREVENTS_H

#include "ALSAMixer.h"
#include "Thread.h"

namespace ALSA {

/** A Mixer with an event thread that reports value changes.
 *
 * open() opens the mixer (closing one that is open, and stopping its thread) and
 * starts the event thread.  The thread first calls mixerEventsStarting(), then
 * waits (poll, no timeout) on the mixer's poll descriptors and on a stop
 * descriptor, and after every wake-up calls handleValueEvents() once for each
 * element whose value changed, in the order alsa-lib reported them.  The hook runs
 * with the mixer's lock held: it may read elements and call the Mixer operations,
 * but must not call stopEvents() or close().
 *
 * stopEvents() (or close(), or the destructor) ends the thread promptly.  The
 * thread also ends when the device fails (its return value is the code).
 *
 * A derived class that overrides the hooks must call stopEvents() (or close()) in
 * its own destructor, before the data its hooks use goes.  The thread is a member,
 * not a base, so this class combines with other threaded bases without ambiguity.
 */
class MixerEvents : public Mixer {
public:
    MixerEvents();
    ~MixerEvents() override;

    /// Opens the mixer of a control device and starts the event thread.  @return 0 or a code.
    int open(const std::string& deviceName) override;

    /// Stops the event thread and closes the mixer.
    void close() override;

    /** Starts the event thread on the open mixer (open() does this).
     * @param priority as Thread::run: 0 inherits the caller's scheduling.
     * @return 0, ALSA_MIXER_NOT_OPEN_ERROR, or a negative errno (-EBUSY when running). */
    int runEvents(int priority = 0);

    /// Stops the event thread and waits for it; 0 (also when it was not running).
    int stopEvents();

    /// True while the event thread runs.
    bool eventsRunning() const { return thread.running(); }

    /// Called on the event thread for every element whose value changed; the result is ignored.
    virtual int handleValueEvents(MixerElement& element) { return 0; }

    /// Called first on the event thread, before any event (adjust its priority here, say).
    virtual void mixerEventsStarting() {}

protected:
    void valueChanged(MixerElement& element) override;

private:
    /// The event thread: runs eventLoop() of its owner.
    class EventThread : public Thread {
    public:
        explicit EventThread(MixerEvents& owner) : owner(owner) {}

    protected:
        int threadMain() override { return owner.eventLoop(); }
        void wakeForStop() override { owner.wake(); }

    private:
        MixerEvents& owner;
    };

    int eventLoop();
    void wake();
    void drainWake();

    int wakeFd = -1; ///< eventfd written to stop the loop
    int wakeFdError = 0;
    EventThread thread;
};

} // namespace ALSA

#endif
