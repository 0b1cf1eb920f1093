#ifndef MOBU_PLATFORM_ALSAFULLDUPLEX_H
#define MOBU_PLATFORM_ALSAFULLDUPLEX_H

#include "ALSACapture.h"
#include "ALSADebug.h"
#include "ALSAPlayback.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

namespace ALSA {

/** A capture stream and a playback stream driven together, one block of N
 * frames at a time, by a derived class's process().
 *
 * go() calls process() once before any transfer; that call sizes the blocks:
 * inputAudio (N x capture channels) and outputAudio (N x playback channels),
 * row-major, so a block is N interleaved frames.  go() then sets up both
 * streams for those shapes (interleaved read/write access, the sample format
 * of T, the rate already chosen or 48000 Hz, a period of N and a buffer of
 * bufferBlocks x N frames), pre-fills the playback with prefillBlocks blocks
 * of silence, starts capture then playback, and loops: read N frames into
 * inputAudio, process(), write outputAudio, until process() returns non-zero.
 * go() returns that value (or a negative code when the streams fail).  A
 * device whose buffer (either direction) can't hold two blocks is refused with
 * -EINVAL before anything is transferred; a smaller buffer than asked for
 * shortens the pre-fill to what fits (getPrefillBlocks()).  go() may be called
 * again, with the same or another N; the streams are set up again when their
 * installed parameters don't match.
 *
 * The first call's outputAudio is never played (that call only sizes the
 * blocks, whose contents may not be set yet): the pre-fill is silence.  From
 * the second call on, each call's outputAudio follows the pre-fill without a
 * gap, so on a loop-back device the output of call k comes back as the input
 * of call k + prefillBlocks (plus the device's own delay).
 *
 * An over/under-run on either stream restarts both (drop, prepare, pre-fill,
 * start) and is visible to the next process() call through xrunDetected()
 * (or Capture::/Playback::xrunDetected()); after an overrun that call's
 * inputAudio is silent.  The flags are cleared after that call.  The restart
 * keeps the loop's delay: the last pre-filled block is the outputAudio the
 * device could not take (underrun) or the one made from the silent input
 * (overrun), so the output of call k still comes back at call k + prefillBlocks.
 *
 * process() must keep the blocks' shapes once the loop runs: a block resized
 * to another frame or channel count ends the run with ALSA_BLOCK_SHAPE_ERROR.
 *
 * link() and unLink() are called around the run; by default they link the two
 * streams with snd_pcm_link (not every device can be; the streams then run
 * unlinked).  A derived class may override them to keep the streams apart.
 */
template <typename T> class FullDuplex : public Capture, public Playback {
public:
    using AudioBlock = Eigen::Array<T, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    /// Opens both directions of one device name.
    explicit FullDuplex(const std::string& deviceName) : FullDuplex(deviceName, deviceName) {}
    /// Opens the playback and the capture device; failures are printed and the streams stay closed.
    FullDuplex(const std::string& playbackName, const std::string& captureName)
        : Capture(captureName), Playback(playbackName) {}
    explicit FullDuplex(const char* deviceName) : FullDuplex(std::string(deviceName)) {}
    FullDuplex(const char* playbackName, const char* captureName)
        : FullDuplex(std::string(playbackName), std::string(captureName)) {}
    ~FullDuplex() override = default;

    /// The playback handle.
    snd_pcm_t* getPCM() const override { return Playback::getPCM(); }
    /// True while the two streams are linked.
    virtual bool getLinked() const { return linked; }

    /// One block: read inputAudio, fill outputAudio; 0 to go on, anything else ends go().
    virtual int process() = 0;
    virtual int link();
    virtual int unLink();
    /// The driver loop described above.
    virtual int go();

    /// An over/under-run on either stream since the last process() call.
    bool xrunDetected() const { return Capture::xrunDetected() || Playback::xrunDetected(); }
    /// Blocks pre-filled at the last (re)start.
    int getPrefillBlocks() const { return prefilled; }

    /// The sample format of T.
    static constexpr snd_pcm_format_t sampleFormat() {
        if constexpr (std::is_same_v<T, float>)
            return SND_PCM_FORMAT_FLOAT;
        else if constexpr (std::is_same_v<T, double>)
            return SND_PCM_FORMAT_FLOAT64;
        else if constexpr (std::is_same_v<T, int16_t>)
            return SND_PCM_FORMAT_S16;
        else {
            static_assert(std::is_same_v<T, int32_t>, "FullDuplex handles int32, int16, float or double samples");
            return SND_PCM_FORMAT_S32;
        }
    }

protected:
    AudioBlock inputAudio;  ///< N frames x capture channels
    AudioBlock outputAudio; ///< N frames x playback channels
    int prefillBlocks = 4;  ///< blocks written to the playback before the start
    int bufferBlocks = 8;   ///< device buffer, in blocks

private:
    int configure(Stream& stream, unsigned channels, snd_pcm_uframes_t frames);
    /// -EINVAL (reported) when the stream's installed buffer can't hold two blocks.
    int checkBuffer(const Stream& stream, const char* direction) const;
    int restart(const AudioBlock& lastPrefill);
    bool shapesHold() const {
        return inputAudio.rows() == frames && outputAudio.rows() == frames && inputAudio.cols() == inChannels &&
               outputAudio.cols() == outChannels;
    }

    bool linked = false;
    int prefilled = 0;
    Eigen::Index frames = 0;
    Eigen::Index inChannels = 0;
    Eigen::Index outChannels = 0;
    AudioBlock silence;
};

template <typename T> int FullDuplex<T>::link() {
    linked = Capture::link(static_cast<Stream&>(static_cast<Playback&>(*this))) == 0;
    return 0;
}

template <typename T> int FullDuplex<T>::unLink() {
    if (!linked) return 0;
    linked = false;
    return Capture::unlink();
}

template <typename T> int FullDuplex<T>::configure(Stream& stream, unsigned channels, snd_pcm_uframes_t n) {
    unsigned current = 0;
    snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
    snd_pcm_access_t access = SND_PCM_ACCESS_MMAP_INTERLEAVED;
    snd_pcm_uframes_t period = 0, buffer = 0;
    const snd_pcm_uframes_t wantedBuffer = n * static_cast<snd_pcm_uframes_t>(bufferBlocks);
    const bool keep = stream.paramsSet() && stream.getChannels(current) == 0 && current == channels &&
                      stream.getFormat(format) == 0 && format == sampleFormat() && stream.getAccess(access) == 0 &&
                      access == SND_PCM_ACCESS_RW_INTERLEAVED && stream.getPeriodSize(period) == 0 && period == n &&
                      stream.getBufferSize(buffer) == 0 && buffer == wantedBuffer;
    if (!keep) {
        unsigned rate = stream.getSampleRate();
        if (stream.paramsSet()) // start again from the device's full range, keeping the rate
            stream.fillParams();
        else
            rate = 0; // a rate set by the caller is still in the configuration space
        int err = stream.setAccess(SND_PCM_ACCESS_RW_INTERLEAVED);
        if (err == 0) err = stream.setFormat(sampleFormat());
        if (err == 0 && rate > 0) err = stream.setSampleRate(rate);
        if (err == 0 && stream.getSampleRate() == 0) err = stream.setSampleRate(48000);
        if (err == 0) err = stream.setChannels(channels);
        if (err == 0) err = stream.setPeriodSize(n);
        if (err == 0) err = stream.setBufferSize(wantedBuffer);
        if (err == 0) err = stream.setParams();
        if (err < 0) return err;
    }
    // Started explicitly; woken when a block can be transferred.
    return stream.setSWParams(std::numeric_limits<snd_pcm_uframes_t>::max(), n);
}

template <typename T> int FullDuplex<T>::checkBuffer(const Stream& stream, const char* direction) const {
    snd_pcm_uframes_t buffer = 0;
    int err = stream.getBufferSize(buffer);
    if (err < 0) return err;
    const auto n = static_cast<snd_pcm_uframes_t>(frames);
    if (buffer / n >= 2) return 0;
    // One block in the device while the next is transferred: anything less
    // overruns (or underruns) at once, or can't be pre-filled at all.
    return ALSADebug().evaluateError(-EINVAL, std::string("the ") + direction + " buffer of " + std::to_string(buffer) +
                                                  " frames can't hold two blocks of " + std::to_string(n) +
                                                  " frames\n");
}

template <typename T> int FullDuplex<T>::restart(const AudioBlock& lastPrefill) {
    // Pre-fill: silence, with lastPrefill (the block process() made that has not
    // been written yet, or silence at the first start) as the last block.
    Capture::drop();
    Playback::drop();
    int err = Capture::prepare();
    if (err == 0 && !linked) err = Playback::prepare();
    snd_pcm_uframes_t buffer = 0;
    if (err == 0) err = Playback::getBufferSize(buffer);
    if (err < 0) return err;
    const auto fit = static_cast<int>(buffer / static_cast<snd_pcm_uframes_t>(frames));
    prefilled = std::max(1, std::min(prefillBlocks, fit));
    for (int b = 0; b < prefilled && err >= 0; ++b) {
        const AudioBlock& block = b == prefilled - 1 ? lastPrefill : silence;
        const snd_pcm_sframes_t written = Playback::writeFrames(block.data(), frames);
        err = written < 0 ? static_cast<int>(written) : 0;
    }
    // Capture first: on a loop-back device it then meets the playback's first frame.
    if (err == 0) err = Capture::start();
    if (err == 0 && !linked) err = Playback::start();
    return err;
}

template <typename T> int FullDuplex<T>::go() {
    int ret = process();
    if (ret != 0) return ret;
    frames = inputAudio.rows();
    inChannels = inputAudio.cols();
    outChannels = outputAudio.cols();
    if (frames < 1 || outputAudio.rows() != frames || inChannels < 1 || outChannels < 1)
        return ALSADebug().evaluateError(ALSA_BLOCK_SHAPE_ERROR, "before starting the streams\n");
    if (!Capture::isOpen() || !Playback::isOpen())
        return ALSADebug().evaluateError(ALSA_PCM_NOT_OPEN_ERROR, "FullDuplex::go\n");
    const auto n = static_cast<snd_pcm_uframes_t>(frames);
    if ((ret = configure(static_cast<Capture&>(*this), static_cast<unsigned>(inChannels), n)) < 0 ||
        (ret = configure(static_cast<Playback&>(*this), static_cast<unsigned>(outChannels), n)) < 0 ||
        (ret = checkBuffer(static_cast<Capture&>(*this), "capture")) < 0 ||
        (ret = checkBuffer(static_cast<Playback&>(*this), "playback")) < 0)
        return ret;
    silence.setZero(frames, outChannels);
    link();
    Capture::clearXrun();
    Playback::clearXrun();
    ret = restart(silence);
    while (ret == 0) {
        if (!shapesHold()) {
            ret = ALSADebug().evaluateError(ALSA_BLOCK_SHAPE_ERROR, "process() changed the blocks' shapes\n");
            break;
        }
        const snd_pcm_sframes_t got = Capture::readFrames(inputAudio.data(), n);
        // After an overrun the streams are restarted once process() has made the
        // block that would have been written now: it ends the new pre-fill.
        const bool overrun = got == -EPIPE || got == -ESTRPIPE;
        if (overrun) {
            inputAudio.setZero();
        } else if (got < 0) {
            ret = static_cast<int>(got);
            break;
        }
        ret = process();
        Capture::clearXrun();
        Playback::clearXrun();
        if (ret != 0) break;
        if (!shapesHold()) {
            ret = ALSADebug().evaluateError(ALSA_BLOCK_SHAPE_ERROR, "process() changed the blocks' shapes\n");
            break;
        }
        if (overrun) {
            ret = restart(outputAudio);
            continue;
        }
        const snd_pcm_sframes_t put = Playback::writeFrames(outputAudio.data(), n);
        if (put == -EPIPE || put == -ESTRPIPE)
            ret = restart(outputAudio);
        else if (put < 0)
            ret = static_cast<int>(put);
    }
    unLink();
    Capture::drop();
    Playback::drop();
    return ret;
}

} // namespace ALSA

#endif
