// ALSAMobuPinkGenerator: an alsa-lib filter plug-in (PCM type "ALSAMobuPinkGenerator")
// that replaces the audio passing through it with pink noise on both channels and
// copies the audio it replaced, unchanged, into a FIFO.
//
//     pcm.pink {
//         type ALSAMobuPinkGenerator
//         slave.pcm "hw:0"            # 2 channels of S32_LE
//         fifopath "/tmp/mobu-pink"   # receives the replaced audio (raw interleaved S32_LE)
//     }
//
// The audio is handled in whole periods: transfers of any size are gathered into
// periods, so the noise never drops out and the FIFO receives every frame once, one
// period late.  Periods longer than MAX_BLOCK frames are handled in blocks of MAX_BLOCK.
// The noise itself is made in blocks of NOISE_BLOCK frames whatever the period, and
// handed out across periods, so its level (PINK_RMS, -20 dBFS) and its pink spectrum
// are the same for every client.  A block goes to the FIFO only when the FIFO has room
// for all of it (a reader never sees a torn frame); without a reader blocks are
// dropped from the FIFO, never from the audio.  The pipe is enlarged to hold several blocks (a block larger than the
// pipe would never fit); fifopath must name a FIFO.
#include <MobuEmbedded/MobuDebug.h>
#include <MobuEmbedded/Pink.h>

#include <ALSAExternalPlugin.h>
#include <ALSAPeriodBuffer.h>
#include <ThreadPriority.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

class ALSAMobuPinkGenerator : public ALSA::ALSAExternalPlugin, public Pink {
public:
    ALSAMobuPinkGenerator() {
        setName("ALSAMobuPinkGenerator");
        std::cout << "ALSAMobuPinkGenerator" << std::endl;
    }
    ~ALSAMobuPinkGenerator() override { std::cout << "ALSAMobuPinkGenerator::~ALSAMobuPinkGenerator" << std::endl; }

    int close() override {
        if (fifoFd > 0) ::close(fifoFd);
        fifoFd = -1;
        return 0;
    }

    int parseConfig(const char* name, snd_config_t* conf, snd_pcm_stream_t stream, int mode) override {
        std::cout << "ALSAMobuPinkGenerator::parseConfig" << std::endl;
        close();
        snd_config_iterator_t i, next;
        snd_config_for_each(i, next, conf) {
            snd_config_t* node = snd_config_iterator_entry(i);
            const char* id = nullptr;
            if (snd_config_get_id(node, &id) < 0 || std::strcmp(id, "fifopath") != 0) continue;
            const char* path = nullptr;
            if (snd_config_get_string(node, &path) < 0) {
                std::cout << "fifoPath file configuration variable is not a string, please replace with a path."
                          << std::endl;
                snd_config_delete(node); // runs without a FIFO, wherever the field stands
                continue;
            }
            printf("read %s fifoPath from the config file\n", path);
            if (mkfifo(path, 0660) != 0) {
                if (errno != EEXIST) {
                    const int e = errno;
                    printf("FIRALSAPluginMulti::%s : couldn't create the fifoFd %d : %s\n", "parseConfig", e,
                           strerror(e));
                    SNDERR("fifopath \"%s\" refused: the FIFO can't be made there (%s)", path, strerror(e));
                    return -EINVAL;
                }
                printf("FIRALSAPluginMulti::%s : fifo %s already exists, not creating again.\n", "parseConfig", path);
            }
            // Read-write: the open never waits for a reader.
            fifoFd = open(path, O_RDWR | O_NONBLOCK | O_ASYNC | O_CLOEXEC);
            if (fifoFd < 0) {
                const int e = errno;
                if (e == EISDIR) // a folder, say, is no FIFO either
                    return MobuDebug().evaluateError(-1371, std::string("fifopath ") + path + " is a directory\n"),
                           -EINVAL;
                SNDERR("fifopath \"%s\" refused: it can't be opened (%s)", path, strerror(e));
                return -EINVAL;
            }
            struct stat st {};
            if (fstat(fifoFd, &st) != 0 || !S_ISFIFO(st.st_mode)) { // a file or device would take the audio nowhere
                close();
                fifoPath.clear();
                return MobuDebug().evaluateError(-1371, std::string("fifopath ") + path + "\n"), -EINVAL;
            }
            fifoPath = path;
            if (snd_config_delete(node) < 0)
                std::cout << "FIRALSAPluginMulti::parseConfig error removing configuration node ... continuing ... "
                          << std::endl;
        }
        std::cout << "ALSAMobuPinkGenerator::parseConfig done" << std::endl;
        return ALSAExternalPlugin::parseConfig(name, conf, stream, mode);
    }

    int specifyHWParams() override {
        if (setInputChannels(2, 2) < 0)
            return MobuDebug().evaluateError(-1350, "Input channel count. Asked for 2"), -EINVAL;
        if (setOutputChannels({2}) < 0)
            return MobuDebug().evaluateError(-1350, "Output channel count. Asked for 2"), -EINVAL;
        if (setOutputFormats({SND_PCM_FORMAT_S32_LE}) < 0)
            return MobuDebug().evaluateError(-1351, "Output channel format. Asked for S32_LE"), -EINVAL;
        if (setInputFormats({SND_PCM_FORMAT_S32_LE}) < 0)
            return MobuDebug().evaluateError(-1351, "Input channel format incorrect. Asked for S32_LE"), -EINVAL;
        return 0;
    }

    /// The longest block handled at once (frames); longer periods are handled in blocks.
    static constexpr snd_pcm_uframes_t MAX_BLOCK = 65536;
    /** The length of every block of noise (frames), whatever the period: long enough for a pink
     * spectrum down to 20 Hz at 48 kHz, short enough that making one (an inverse FFT) fits in
     * the shortest period's slack. */
    static constexpr int NOISE_BLOCK = 16384;
    /// The noise's RMS value: -20 dBFS (a tenth of 32-bit full scale), with room for its peaks.
    static constexpr double PINK_RMS = 0.1 * 2147483648.0;
    /// The FIFO is enlarged (as far as the system allows) to hold this many blocks.
    static constexpr int FIFO_BLOCKS = 4;

    int hwParams(snd_pcm_hw_params_t* params) override {
        ALSAExternalPlugin::hwParams(params);
        printHWParams(true);
        const int n = blockLength(MAX_BLOCK, "ALSAMobuPinkGenerator", "made in");
        if (n < 0) return -1;
        genNoiseMag(static_cast<int>(getRate()), NOISE_BLOCK);
        setNoiseLevel(PINK_RMS);
        noise.setZero(NOISE_BLOCK, 1);
        noiseUsed = NOISE_BLOCK; // the first period starts a new block
        periods.resize(n, 2, 2);
        pipeSize = fifoFd > 0 ? fitPipe(n * 2 * static_cast<int>(sizeof(int32_t))) : 0;
        return 0;
    }

    int init() override {
        periods.reset();
        return 0;
    }

    snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* dst, snd_pcm_uframes_t dstOffset,
                               const snd_pcm_channel_area_t* src, snd_pcm_uframes_t srcOffset,
                               snd_pcm_uframes_t size) override {
        return periods.transfer(dst, dstOffset, src, srcOffset, size, [this] {
            fillWithNoise();
            copyToFifo();
            return 0;
        });
    }

private:
    /// The output block from the noise blocks, continuing where the last period stopped.
    void fillWithNoise() {
        auto& out = periods.output;
        for (Eigen::Index f = 0; f < out.rows();) {
            if (noiseUsed == NOISE_BLOCK) {
                genNoise(noise);
                noiseUsed = 0;
            }
            const Eigen::Index take = std::min<Eigen::Index>(out.rows() - f, NOISE_BLOCK - noiseUsed);
            for (Eigen::Index c = 0; c < out.cols(); ++c)
                out.col(c).segment(f, take) = noise.col(0).segment(noiseUsed, take);
            f += take;
            noiseUsed += take;
        }
    }

    /** Enlarges the pipe to hold FIFO_BLOCKS blocks of `bytes`, or as many as the system
     * allows (at least one); the size it has then, or 0 (reported) if not even one fits. */
    int fitPipe(int bytes) {
        int size = fcntl(fifoFd, F_GETPIPE_SZ);
        for (int blocks = FIFO_BLOCKS; blocks > 0 && size < blocks * bytes; --blocks)
            if (fcntl(fifoFd, F_SETPIPE_SZ, blocks * bytes) >= 0) size = fcntl(fifoFd, F_GETPIPE_SZ);
        if (size >= bytes) return size;
        MobuDebug().evaluateError(-1372, "fifopath " + fifoPath + " holds " + std::to_string(size) +
                                             " bytes, a block is " + std::to_string(bytes) + "\n");
        return 0;
    }

    /// The period just replaced, to the FIFO in one write, if all of it fits.
    void copyToFifo() {
        if (fifoFd <= 0 || pipeSize <= 0) return;
        const auto bytes = static_cast<int>(periods.input.size() * sizeof(int32_t));
        int unread = 0;
        if (ioctl(fifoFd, FIONREAD, &unread) != 0 || pipeSize - unread < bytes) return; // dropped, never torn
        [[maybe_unused]] const ssize_t n = ::write(fifoFd, periods.input.data(), static_cast<size_t>(bytes));
    }

    int fifoFd = -1;
    std::string fifoPath;
    int pipeSize = 0;                               ///< of the FIFO; 0: nothing is written to it
    Eigen::Array<int32_t, Eigen::Dynamic, 1> noise; ///< the current block of noise
    Eigen::Index noiseUsed = NOISE_BLOCK;           ///< frames of it handed out
    ALSA::PeriodBuffer<int32_t> periods;
};

/// The process-wide plug-in object.
ALSAMobuPinkGenerator aMPGPlugin;

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(ALSAMobuPinkGenerator) {
    // Only create() decides the outcome: refused constraints still hand out the PCM.
    return aMPGPlugin.openPCM("_snd_pcm_ALSAMobuPinkGenerator_open", pcmp, name, root, conf, stream, mode, false,
                              " returning ");
}

SND_PCM_PLUGIN_SYMBOL(ALSAMobuPinkGenerator);
}
