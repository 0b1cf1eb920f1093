#ifndef MOBU_PLATFORM_ALSASTREAM_H
#define MOBU_PLATFORM_ALSASTREAM_H

#include <alsa/asoundlib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <vector>

namespace ALSA {

/** One ALSA PCM stream: open by name and direction, hardware and software
 * parameters, state, interleaved transfers with over/under-run detection and
 * recovery.
 *
 * Hardware parameters are gathered in a configuration space: fillParams()
 * starts from everything the device offers, the setters narrow it, setParams()
 * installs it (alsa-lib picks the values still open).  The read-back getters
 * give the installed value, or the configured one while the space holds a
 * single value (so the rate can be read after setSampleRate and before
 * setParams).
 *
 * The PCM is opened non-blocking; readFrames/writeFrames wait in poll with a
 * time-out (setTimeout), so a device that stops moving gives an error instead
 * of hanging the caller.  An over/under-run seen by a transfer (or in the
 * state) is counted and stays flagged until clearXrun(); recover() prepares
 * the stream again.
 *
 * Failures are printed through ALSADebug ("Error : %d %s " plus a context) and
 * their negative codes returned.  alsa-lib's own codes are negative errno values.
 */
class Stream {
public:
    Stream();
    /// Opens at once; a failure is printed and the object stays closed.
    Stream(const std::string& deviceName, snd_pcm_stream_t direction);
    virtual ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    /// Opens the named PCM (closing one already open).  @return 0 or a negative code.
    int open(const std::string& deviceName, snd_pcm_stream_t direction);
    /// Closes the PCM (0 when none is open).
    int close();
    bool isOpen() const { return handle != nullptr; }
    /// The alsa-lib handle (null when closed).
    virtual snd_pcm_t* getPCM() const { return handle; }
    const std::string& getDeviceName() const { return deviceName; }
    snd_pcm_stream_t getDirection() const { return direction; }

    // --- hardware parameters -----------------------------------------------------
    /// Starts a configuration space holding everything the device offers.
    int fillParams();
    int setAccess(snd_pcm_access_t access);
    int setFormat(snd_pcm_format_t format);
    /// Exactly this rate (dir as alsa-lib's: 0 exact, -1 just below, 1 just above).
    int setSampleRate(unsigned int rate, int dir = 0);
    int setChannels(unsigned int channels);
    /// The period nearest to frames.
    int setPeriodSize(snd_pcm_uframes_t frames);
    /// The buffer nearest to frames.
    int setBufferSize(snd_pcm_uframes_t frames);
    /// Installs the configuration space (fills it first if that was not done).
    int setParams();
    /// True once hardware parameters are installed.
    bool paramsSet() const;

    // --- read-back (0 and the value, or a negative code) ---------------------------
    int getSampleRate(unsigned int& rate) const;
    /// The rate, or 0 when it is not known yet.
    unsigned int getSampleRate() const;
    int getChannels(unsigned int& channels) const;
    /// The largest channel count the device offers.
    int getMaxChannels(unsigned int& channels) const;
    int getFormat(snd_pcm_format_t& format) const;
    /// Bits a sample of the configured format occupies (32 for S32_LE), or a negative code.
    int getFormatPhysicalWidth() const;
    int getAccess(snd_pcm_access_t& access) const;
    int getPeriodSize(snd_pcm_uframes_t& frames) const;
    int getBufferSize(snd_pcm_uframes_t& frames) const;

    // --- software parameters ------------------------------------------------------
    /** Start threshold and minimum available frames for a wake-up.  A start threshold
     * larger than the buffer means the stream starts only through start(). */
    int setSWParams(snd_pcm_uframes_t startThreshold, snd_pcm_uframes_t availMin);

    // --- state ------------------------------------------------------------------------
    snd_pcm_state_t getState() const;
    /// alsa-lib's name of the state ("RUNNING", "PREPARED" ...), or "The pcm device isn't open, open first.".
    const char* getStateName() const;
    /// Running (or draining).
    bool running() const;
    int prepare();
    int start();
    /// Stops at once, dropping what is queued.
    int drop();
    /// Plays out what is queued, then stops (playback).
    int drain();
    /// Links this stream with another one so that they start and stop together.
    int link(Stream& other);
    int unlink();

    // --- transfers ----------------------------------------------------------------------
    /** Reads `frames` interleaved frames, waiting as needed.
     * @return frames, or a negative code: -EPIPE (overrun), -ESTRPIPE (suspended),
     *         ALSA_TRANSFER_TIMEOUT_ERROR, or another alsa-lib code. */
    snd_pcm_sframes_t readFrames(void* buffer, snd_pcm_uframes_t frames);
    /// Writes `frames` interleaved frames, waiting as needed; codes as readFrames (-EPIPE: underrun).
    snd_pcm_sframes_t writeFrames(const void* buffer, snd_pcm_uframes_t frames);
    /// Longest wait for the device to move during a transfer, in ms (default 10000).
    void setTimeout(int milliseconds) { timeoutMs = milliseconds; }
    /** From now on no wait for the device lasts longer than milliseconds (a wait under way
     * is shortened too): a stop is not held up by a device that has stalled, while one that
     * moves goes on as before.  Async-signal-safe: for a signal handler. */
    void hurry(int milliseconds);

    /// True when an over/under-run was seen since the last clearXrun() (or the state is XRUN now).
    bool xrunDetected() const;
    void clearXrun() { xrunFlag = false; }
    /// Over/under-runs seen since open.
    unsigned getXrunCount() const { return xrunCount; }
    /** Brings the stream back after an over/under-run (-EPIPE) or a suspend (-ESTRPIPE):
     * the stream ends up prepared (the caller refills and starts it).
     * @return 0, or the code when it can't be recovered. */
    int recover(int err);

    // --- scheduling of the calling thread (ThreadPriority.h) ------------------------------
    /// SCHED_FIFO at priority (negative: the maximum), printing the policy reports.
    static int changeThreadPriority(int priority);
    /// Prints "ALSA::Stream::changeThreadPriority : Current thread policy %d and priority %d" and returns the priority.
    static int getThreadPriority();

protected:
    /// The installed parameters, or the configuration space while it holds a single value.
    const snd_pcm_hw_params_t* readBackParams() const;

private:
    struct HWParamsDeleter {
        void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
    };
    using ParamsPtr = std::unique_ptr<snd_pcm_hw_params_t, HWParamsDeleter>;
    static ParamsPtr allocateParams();
    int report(int err, const std::string& what) const;
    /// Applies one narrowing to the configuration space (filling it first when needed).
    int narrow(const std::function<int(snd_pcm_hw_params_t*)>& set, const std::string& what);
    /// Reads one value from readBackParams().
    int readBack(const std::function<int(const snd_pcm_hw_params_t*)>& get) const;
    snd_pcm_sframes_t transfer(void* buffer, snd_pcm_uframes_t frames, bool write);
    /// Waits until the stream can transfer: 1, 0 after timeoutMs, or a negative code.
    int waitReady();
    void noteXrun();

    snd_pcm_t* handle = nullptr;
    std::string deviceName;
    snd_pcm_stream_t direction = SND_PCM_STREAM_PLAYBACK;
    ParamsPtr space;     ///< configuration being built
    ParamsPtr installed; ///< configuration installed by setParams
    bool spaceFilled = false;
    bool installedValid = false;
    bool linked = false;
    bool xrunFlag = false;
    unsigned xrunCount = 0;
    int timeoutMs = 10000;
    std::atomic<int> hurriedMs{0};       ///< the longest wait once hurried (0: not hurried)
    int wakeFd = -1;                     ///< an eventfd that ends a wait under way when hurried
    std::vector<pollfd> pollDescriptors; ///< the stream's, then wakeFd
};

} // namespace ALSA

#endif
