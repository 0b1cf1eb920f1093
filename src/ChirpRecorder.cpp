#include "MobuEmbedded/ChirpRecorder.h"
#include "MobuEmbedded/MobuDebug.h"
#include "MobuEmbedded/OutputGuard.h"

#include <ALSAConfig.h>
#include <ALSADebug.h>
#include <FIR.h>
#include <ImpulseBandLimited.h>
#include <SafeFile.h>
#include <Sox.h>
#include <ThreadPriority.h>

#include <omp.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

namespace {

constexpr int OMP_THREADS = 4; ///< threads shaping the chirps
// The band limit: linear phase, an odd length (a whole-sample delay of 4095), with its transition
// (5.1 fs / length wide, about 30 Hz) placed below the lower edge, so that the pass band is flat
// (within 0.01 dB) from the edge up: 20 Hz for the woofers, 400 Hz for the tweeters, which get
// at least 80 dB of attenuation below 370 Hz.  8191 taps leave a chirp period (48000) to reach
// the steady state before the recorded periods begin.
constexpr int bandLimitTaps = 8191;
constexpr double bandLimitHalfTransition = 2.55; ///< times fs / taps: the -6 dB point below the edge
constexpr double blockPeakShare = 0.99;          ///< the played peak relative to the reference chirp's

void openSyslog() {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("ChirpRecorder", LOG_PID | LOG_NDELAY, LOG_USER); });
}

/// The peak magnitude of each of the first `count` columns of a block, merged into levels by maximum.
template <typename Block, typename Levels> void mergePeaks(const Block& block, Levels& levels) {
    const Eigen::Index count = std::min<Eigen::Index>(levels.size(), block.cols());
    for (Eigen::Index c = 0; c < count; ++c) {
        int64_t peak = 0;
        for (Eigen::Index r = 0; r < block.rows(); ++r)
            peak = std::max<int64_t>(peak, std::llabs(static_cast<int64_t>(block(r, c))));
        levels(c) = std::max(levels(c), static_cast<int>(std::min<int64_t>(peak, INT32_MAX)));
    }
}

/// The error text of a failed run for the status file: the code and its table message.
std::string failureText(int code) {
    std::string text = MobuDebug().message(code);
    if (text.empty()) text = ALSA::ALSADebug().message(code);
    if (text.empty()) text = SoxDebug().message(code);
    if (text.empty() && code > -4096) text = snd_strerror(code); // alsa-lib and errno codes
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return "ChirpRecorder: the measurement failed with error " + std::to_string(code) +
           (text.empty() ? std::string() : ": " + text);
}

/// A leading "~" or "~/" becomes HOME (when HOME is set and not empty); other forms stay.
std::string expandTilde(const std::string& path) {
    const char* home = getenv("HOME");
    if (!home || !*home || path.empty() || path[0] != '~') return path;
    if (path.size() == 1) return home;
    if (path[1] == '/') return std::string(home) + path.substr(1);
    return path;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and device set-up

ChirpRecorder::ChirpRecorder(const char* deviceName) : ChirpRecorder(deviceName, deviceName) {}

ChirpRecorder::ChirpRecorder(const char* playbackName, const char* captureName)
    : ALSA::FullDuplex<int>(playbackName, captureName) {
    initializeMeteringState(true);
    playDeviceName = playbackName;
    recDeviceName = captureName;
    init();
}

ChirpRecorder::~ChirpRecorder() {
    // The run on our own thread uses this object: end it before anything is taken down.
    if (Thread::running()) stop();
    Thread::join();
    closeMeteringFifo();
}

int ChirpRecorder::init() {
    std::cout << "ChirpRecorder::init : "
              << "V1.8" << std::endl;
    ALSA::changeThreadPriority(sched_get_priority_max(SCHED_FIFO) - 2);
    setFS(48000.0);
    Playback::fillParams();
    Playback::setFormat(SND_PCM_FORMAT_S32_LE);
    Playback::setAccess(SND_PCM_ACCESS_RW_INTERLEAVED);
    if (Playback::setSampleRate(48000, 0) < 0) return 1;
    int ret = Capture::fillParams();
    if (ret == 0) ret = Capture::setFormat(SND_PCM_FORMAT_S32_LE);
    if (ret == 0) ret = Capture::setAccess(SND_PCM_ACCESS_RW_INTERLEAVED);
    if (ret == 0) ret = Capture::setSampleRate(48000, 0);
    return ret;
}

int ChirpRecorder::getMaxPlayCh() {
    unsigned channels = 0;
    if (Playback::getMaxChannels(channels) < 0) return 0;
    return static_cast<int>(std::min<unsigned>(channels, CR_MAX_PLAY_CH));
}

int ChirpRecorder::getMaxRecCh() {
    unsigned channels = 0;
    if (Capture::getMaxChannels(channels) < 0) return 0;
    return static_cast<int>(std::min<unsigned>(channels, CR_MAX_REC_CH));
}

int ChirpRecorder::link() {
    std::cout << "ChirpRecorder::linking is giving problems on the cm3 board, don't link for now." << std::endl;
    return 0;
}

int ChirpRecorder::unLink() {
    std::cout << "ChirpRecorder::unLink (skipping base unLink to match link behavior)" << std::endl;
    return 0;
}

bool ChirpRecorder::running() const {
    return Playback::running() || Capture::running();
}

int ChirpRecorder::stop() {
    forceStop.store(true, std::memory_order_release);
    return playCh;
}

int ChirpRecorder::threadMain() {
    try {
        go(); // its result is kept in runResult
    } catch (const std::exception& e) {
        // Out of memory while preparing: a failed run, never the end of the host process.
        std::fprintf(stderr, "ChirpRecorder::threadMain : the measurement failed: %s\n", e.what());
        runResult.store(-ENOMEM, std::memory_order_release);
        setStatus(failureText(-ENOMEM), "Chirping ... done.", 0, 0);
        endRun();
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// A run

void ChirpRecorder::prepareChannel(Eigen::Index c, const Eigen::MatrixXd& coefficients, Eigen::MatrixXd& y) {
    if (forceStop.load(std::memory_order_acquire)) return;
    setStatus("", "Preparing channels", static_cast<unsigned>(std::max<Eigen::Index>(chirps.cols() - 1, 0)),
              static_cast<unsigned>(c));
    std::printf("OMP_THREADS=%d, omp_get_num_threads()=%d\n", OMP_THREADS, omp_get_num_threads());
    std::cout << "ch " << c << std::endl << "file name " << fileName << std::endl;

    // Filtered a chirp period at a time (the filter carries its state across blocks), so that a
    // stop is answered between blocks instead of after the whole channel.
    const Eigen::Index period = chirp.rows();
    const Eigen::Index block = period > 0 && chirps.rows() % period == 0 ? period : chirps.rows();
    FIR<double> fir;
    fir.init(block);
    const auto filterBlocks = [&](const Eigen::VectorXd& in) {
        for (Eigen::Index at = 0; at + block <= in.size(); at += block) {
            if (forceStop.load(std::memory_order_acquire)) return false;
            fir.filter(in.segment(at, block), y.col(c).segment(at, block));
        }
        return true;
    };
    Eigen::VectorXd x = chirps.col(c);
    bool filtered = false;
    if (coefficients.rows() >= 1 && coefficients.cols() > c &&
        fir.loadTimeDomainCoefficients(coefficients.col(c)) == 0) {
        std::cout << "\nApplying the FIR filter from " << fileName << " for channel " << c << std::endl;
        if (!filterBlocks(x)) return;
        x = y.col(c);
        filtered = true;
    }
    if (forceStop.load(std::memory_order_acquire)) return;
    const bool several = getPlayChCnt() > 1;
    if (!filtered || several) {
        if (!filtered)
            std::cout << "\ncouldn't load the FIR filter from " << fileName << " for channel " << c
                      << " defaulting to an impulse." << std::endl;
        if (several) std::cout << "\nBand limiting for tweeter protection " << std::endl;
        const float rate = static_cast<float>(getFS());
        const double edge = c < 6 ? 20.0 : 400.0;
        const double cutoff = edge - bandLimitHalfTransition * rate / bandLimitTaps; // the -6 dB point
        ImpulseBandLimited<double> limit;
        limit.generateImpulseShift(static_cast<float>(bandLimitTaps) / rate, rate, static_cast<float>(cutoff),
                                   rate / 2.0f);
        if (fir.loadTimeDomainCoefficients(limit) == 0) {
            std::cout << "filtering" << std::endl;
            if (!filterBlocks(x)) return;
            x = y.col(c);
        } else {
            y.col(c) = x; // the band limit could not be made: the chirp goes out as it is
        }
    } else {
        std::cout << "\nNot applying band limiting" << std::endl;
    }
    const auto& taps = fir.getCoefficients();
    std::cout << "max filter value " << (taps.size() > 0 ? taps.cwiseAbs().maxCoeff() : 0.0) << std::endl
              << "max chirps value " << chirps.col(c).cwiseAbs().maxCoeff() << std::endl
              << "max y value " << y.col(c).cwiseAbs().maxCoeff() << std::endl;
}

int ChirpRecorder::go() {
    // One run at a time: a second one, on the caller's thread while the recorder's thread
    // runs or the other way round, would rebuild chirps and microphones under the first one's
    // audio.
    if (!beginRun(getMaxPlayCh())) {
        std::fprintf(stderr, "ChirpRecorder::go : a run is already in progress\n");
        return -EBUSY;
    }
    runResult.store(-EBUSY, std::memory_order_release); // until this run ends
    runError.clear();
    const int ret = measure();
    // A failed run ends with its error in the status file (a successful one with an empty error).
    if (ret < 0) setStatus(failureText(ret) + (runError.empty() ? "" : " " + runError), "Chirping ... done.", 0, 0);
    runResult.store(ret, std::memory_order_release);
    endRun();
    return ret;
}

int ChirpRecorder::readGuard(std::vector<OutputGuard::Limits>& limits) {
    limits.clear();
    MobuCommon paths;
    if (paths.setFileName(OutputGuard::DEFAULT_NAME) != 0) return 0; // no home: no guard file either
    std::string error;
    const int ret = OutputGuard::readFile(paths.getFileName(), limits, error, getMaxPlayCh());
    if (ret == -ENOENT) {
        limits.clear();
        return 0;
    }
    if (ret < 0) {
        // Fail safe: a guard that exists but can't be read plays nothing at all.
        runError = error;
        std::fprintf(stderr, "ChirpRecorder: the output guard refused, nothing played: %s\n", error.c_str());
        return ret;
    }
    std::printf("ChirpRecorder: output guard %s: %s\n", paths.getFileName().c_str(),
                OutputGuard::describe(limits).c_str());
    return 0;
}

int ChirpRecorder::guardChirps(const std::vector<OutputGuard::Limits>& limits, double fullScale) {
    const double bound = chirps.size() > 0 ? chirps.cwiseAbs().maxCoeff() : 0.0;
    for (Eigen::Index c = 0; c < chirps.cols() && c < static_cast<Eigen::Index>(limits.size()); ++c) {
        const OutputGuard::Limits& l = limits[static_cast<size_t>(c)];
        if (!l.guarded()) continue;
        std::string error;
        if (const int ret = OutputGuard::shape(l, getFS(), chirps.col(c), fullScale, error); ret < 0) {
            runError = "output " + std::to_string(c) + ": " + error;
            std::fprintf(stderr, "ChirpRecorder: the output guard refused, nothing played: %s\n", runError.c_str());
            return ret;
        }
        // A filter's overshoot must not take the sweep past the level the run scaled it to.
        const double peak = chirps.col(c).cwiseAbs().maxCoeff();
        if (peak > bound && peak > 0.0) chirps.col(c) *= bound / peak;
    }
    return 0;
}

int ChirpRecorder::measure() {
    runCall = 0;
    xruns = 0;
    inputLevels.setZero();
    outputLevels.setZero();
    if (ensureMeteringFifoOpen() != 0)
        std::cerr << "ChirpRecorder::go: Metering FIFO unavailable, metering disabled for this run.\n";
    setFS(48000.0);
    // The outputs' guard, before anything is prepared: a refused guard file fails the run.
    std::vector<OutputGuard::Limits> guard;
    if (const int refused = readGuard(guard); refused < 0) {
        closeMeteringFifo();
        initializeMeteringState(true);
        return refused;
    }
    if (Playback::isOpen() || Capture::isOpen()) {
        Calibration::init(getMaxPlayCh());
        stopFreq = getFS() * 0.5;
        generateChirp();
        const int bits = Playback::getFormatPhysicalWidth();
        maxScaleChirp(bits > 0 ? bits : 32); // 32 when the playback stream can't tell (not open)
    }
    generateChirps(getMaxPlayCh());
    if (stoppedWhilePreparing()) return 1;
    chirpsToFile(debugFilePath("chirpsBeforeFIR.wav").c_str());
    if (stoppedWhilePreparing()) return 1;

    int ret = setFileName("fir-measure.wav");
    if (ret != 0) {
        std::cout << "error setting the filter name" << std::endl;
        return ret;
    }
    Eigen::MatrixXd coefficients;
    {
        Sox<double> sox;
        const int opened = sox.openRead(fileName);
        if (opened < 0 && opened != SOX_REFERENCE_WARNING) {
            SoxDebug().evaluateError(opened, fileName + "\n");
        } else {
            const int read = sox.read(coefficients);
            if (read < 0) {
                SoxDebug().evaluateError(read, fileName + "\n");
                coefficients.resize(0, 0);
            }
        }
    }

    // Each thread shapes a contiguous run of columns with its own filter (OMP_NUM_THREADS may ask for fewer).
    Eigen::MatrixXd y = Eigen::MatrixXd::Zero(chirps.rows(), chirps.cols());
    const Eigen::Index columns = chirps.cols();
#pragma omp parallel num_threads(std::min(OMP_THREADS, omp_get_max_threads()))
    {
        const Eigen::Index threads = omp_get_num_threads(), t = omp_get_thread_num();
        const Eigen::Index share = columns / threads, extra = columns % threads;
        const Eigen::Index first = t * share + std::min(t, extra), count = share + (t < extra ? 1 : 0);
        for (Eigen::Index c = first; c < first + count; ++c)
            prepareChannel(c, coefficients, y);
    }

    if (stoppedWhilePreparing()) return 1;
    const double yPeak = y.size() > 0 ? y.cwiseAbs().maxCoeff() : 0.0;
    const double chirpPeak = chirp.size() > 0 ? chirp.abs().maxCoeff() : 0.0;
    if (yPeak > 0.0 && std::isfinite(yPeak))
        chirps = y / yPeak * chirpPeak * blockPeakShare;
    else
        chirps = Eigen::MatrixXd::Zero(y.rows(), y.cols()); // nothing to scale: play silence, never NaN
    // Each output's guard last, on the sweep as it will play: no sweep reaches a driver below its
    // high-pass or above its level.
    const int bits = Playback::getFormatPhysicalWidth();
    if (const int refused = guardChirps(guard, getMaxScaleFactor(bits > 0 ? bits : 32) + 1.0); refused < 0) {
        closeMeteringFifo();
        initializeMeteringState(true);
        return refused;
    }
    std::cout << "unfiltered chirps " << playCh.load() << std::endl;
    chirpsToFile(debugFilePath("chirpsAfterFIR.wav").c_str());
    if (stoppedWhilePreparing()) return 1;

    // init()'s 1 (the playback rate could not be set) is a failure too: the devices are not usable.
    if ((ret = init()) != 0) return ret > 0 ? -1200 : ret;
    playChannels = getMaxPlayCh();
    recChannels = getMaxRecCh();
    std::printf("Playback::getStateName() %s\n", Playback::getStateName());
    std::printf("Capture::getStateName() %s\n", Capture::getStateName());
    setStatus("", "Chirping ...", 0, 0);

    Calibration::reset();
    loopbacks.setZero(microphones.rows(), loopbackCh >= 0 ? microphones.cols() : 0);
    ret = ALSA::FullDuplex<int>::go();

    std::cout << "recorder exit, saving mics to file" << std::endl;
    if (const int gaps = xruns.load(std::memory_order_relaxed); gaps > 0)
        std::fprintf(stderr, "ChirpRecorder::go: %d over/under-runs during the run: the recordings have gaps.\n", gaps);
    micsToFile(debugFilePath("mics.wav").c_str());
    closeMeteringFifo();
    initializeMeteringState(true);
    // A stopped or failed run leaves its channel half recorded: it must not read as measured.
    if (forceStop.load(std::memory_order_acquire) || ret < 0) {
        const int stopped = playCh.load();
        const int interrupted = stopped == -1 ? 0 : stopped == -2 ? 1 : stopped;
        if (ret < 0)
            std::printf("The run failed (%d), clearing captured audio data for channel %d.\n", ret, interrupted);
        else
            std::printf("Forced to stop early, clearing captured audio data for channel %d.\n", interrupted);
        if (interrupted < microphones.cols()) microphones.col(interrupted).setZero();
        if (interrupted < loopbacks.cols()) loopbacks.col(interrupted).setZero();
        setLivePeak(interrupted, 0.0);
    }
    if (ret >= 0) setStatus("", "Chirping ... done.", 0, 0); // go() reports a failure
    return ret;
}

int ChirpRecorder::setLoopbackCh(int ch) {
    const MatrixReader reader(*this); // no run begins while the channel changes
    if (!reader.matrices() || measuring()) {
        std::fprintf(stderr, "ChirpRecorder::setLoopbackCh : a run is in progress, channel %d not set\n", ch);
        return -EBUSY;
    }
    if (ch != -1 && (ch < 1 || ch >= getMaxRecCh()))
        return MobuDebug().evaluateError(-1350, " the loop-back must be capture channel 1 ... getMaxRecCh() - 1\n");
    loopbackCh = ch;
    return 0;
}

bool ChirpRecorder::stoppedWhilePreparing() {
    if (!forceStop.load(std::memory_order_acquire)) return false;
    // Nothing has been played or recorded: the recordings stay silent.
    std::printf("Stopped while preparing the chirps: nothing played.\n");
    closeMeteringFifo();
    initializeMeteringState(true);
    setStatus("", "Stopped before chirping.", 0, 0);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The audio thread

int ChirpRecorder::process() {
    const int runCall = ++this->runCall;
    if (runCall > 1 && xrunDetected()) xruns.fetch_add(1, std::memory_order_relaxed);
    const int selected = playCh.load(std::memory_order_relaxed);
    const Eigen::Index F = frameCount;
    if (inputAudio.rows() != F || inputAudio.cols() != recChannels) inputAudio.setZero(F, recChannels);
    if (outputAudio.rows() != F || outputAudio.cols() != playChannels) outputAudio.setZero(F, playChannels);
    const int ch = std::max(selected, 0);
    if (static_cast<size_t>(ch) >= N.size()) {
        std::fprintf(stderr, "ChirpRecorder::process: channel %d has no position, ending the run.\n", ch);
        return -1350;
    }

    // Output: the chirp samples at the channel's position (silence while priming).
    outputAudio.setZero();
    if (runCall == 1) {
        std::fprintf(stderr, "ChirpRecorder::process: RunCall %d: Outputting SILENCE. N[%d]=%u\n", runCall, ch, N[ch]);
    } else {
        const Eigen::Index p = N[ch];
        const Eigen::Index count = p + F > chirps.rows() ? chirps.rows() - p : F;
        if (count >= 1) {
            const Eigen::Index columns = std::min(outputAudio.cols(), chirps.cols());
            auto play = [&](Eigen::Index c) {
                outputAudio.col(c).head(count) =
                    chirps.col(c).segment(p, count).cwiseMax(-2147483648.0).cwiseMin(2147483647.0).cast<int>();
            };
            if (selected >= 0) {
                if (ch < columns) play(ch);
            } else {
                for (Eigen::Index c = 0; c < columns; ++c)
                    play(c);
                for (Eigen::Index c = selected == -1 ? 1 : 0; c < outputAudio.cols(); c += 2)
                    outputAudio.col(c).setZero();
            }
        }
        if (runCall < 6)
            std::fprintf(stderr,
                         "ChirpRecorder::process: RunCall %d: Output CHIRP from chirps[%u]. N[%d]=%u. "
                         "Samples: %d.\n",
                         runCall, N[ch], ch, N[ch], static_cast<int>(count));
    }

    // Input: capture channel 0 into the channel's column, at the position of this period's chirp samples.
    const Eigen::Index at = N[ch];
    const Eigen::Index n = at + F > microphones.rows() ? microphones.rows() - at : F;
    const Eigen::Index column = selected >= 0 ? ch : selected == -1 ? 0 : 1;
    if (n < 1) {
        if (runCall <= 5 && inputAudio.rows() >= 1)
            std::fprintf(stderr,
                         "ChirpRecorder::process: RunCall %d: Not storing input. n_in_storage_size=%d. "
                         "N[%d]=%u. microphones.rows()=%ld, inputAudio.rows()=%ld\n",
                         runCall, static_cast<int>(n), ch, N[ch], static_cast<long>(microphones.rows()),
                         static_cast<long>(inputAudio.rows()));
    } else if (column < microphones.cols() && inputAudio.cols() >= 1) {
        microphones.col(column).segment(at, n) = inputAudio.col(0).head(n).cast<double>();
        if (column < loopbacks.cols() && loopbackCh < inputAudio.cols())
            loopbacks.col(column).segment(at, n) = inputAudio.col(loopbackCh).head(n).cast<double>();
        // The first period's capture is overwritten by the second's: it counts for no peak.  A
        // recording that starts over a column (-2 then channel 1 share column 1) starts its peak.
        if (runCall > 1) {
            const double peak = microphones.col(column).segment(at, n).cwiseAbs().maxCoeff();
            if (at == 0)
                setLivePeak(column, peak);
            else
                raiseLivePeak(column, peak);
        }
        if (runCall < 6)
            std::fprintf(stderr,
                         "ChirpRecorder::process: RunCall %d: Stored inputAudio into microphones at "
                         "N[%d]=%u. Samples: %d.\n",
                         runCall, ch, N[ch], static_cast<int>(n));
    }

    // Advance; the first period only primes the devices, the second overwrites its capture.
    if (runCall > 1) {
        N[ch] += static_cast<uint32_t>(F);
        if (runCall < 6)
            std::fprintf(stderr, "ChirpRecorder::process: RunCall %d: Advanced N[%d] by %u to %u.\n", runCall, ch,
                         static_cast<unsigned>(F), N[ch]);
    } else {
        std::fprintf(stderr, "ChirpRecorder::process: RunCall %d: Did NOT advance N[%d]. It remains %u.\n", runCall, ch,
                     N[ch]);
    }

    if (meteringFd >= 0) meter();

    const bool stopping = forceStop.load(std::memory_order_acquire);
    if (static_cast<Eigen::Index>(N[ch]) < chirps.rows() + 2 * F) return stopping;
    for (int i = static_cast<int>(N.size()) - 1; i >= 0; --i)
        if (N[i] == 0) {
            std::cout << "ChirpRecorder::process : setting channel " << i << " for playback next" << std::endl;
            playCh = i;
            return stopping;
        }
    return 1;
}

void ChirpRecorder::meter() {
    mergePeaks(inputAudio, inputLevels);
    mergePeaks(outputAudio, outputLevels);
    meteringRecord.segment<2>(4) = inputLevels;
    meteringRecord.segment<8>(6) = outputLevels;
    int waiting = 0;
    if (::ioctl(meteringFd, FIONREAD, &waiting) < 0) {
        const int err = errno;
        syslog(LOG_ERR, "ChirpRecorder::process: ioctl FIONREAD failed for fd=%d: %s", meteringFd, strerror(err));
        std::fprintf(stderr, "ChirpRecorder::process: ioctl FIONREAD failed: %s\n", strerror(err));
        inputLevels.setZero();
        outputLevels.setZero();
        return;
    }
    if (waiting > 0) return; // the reader has not taken the last record: keep the peaks growing
    const ssize_t written = ::write(meteringFd, meteringRecord.data(), sizeof(int) * CR_METER_CNT);
    if (written < 0) {
        const int err = errno;
        syslog(LOG_ERR, "ChirpRecorder::process: write to FIFO failed for fd=%d: %s", meteringFd, strerror(err));
        std::fprintf(stderr, "ChirpRecorder::process: write to FIFO failed: %s\n", strerror(err));
    } else {
        syslog(LOG_DEBUG, "ChirpRecorder::process: wrote %zd bytes to FIFO %s", written, meteringFifoPath.c_str());
    }
    inputLevels.setZero();
    outputLevels.setZero();
}

// ---------------------------------------------------------------------------------------------
// Metering FIFO

int ChirpRecorder::ensureMeteringFifoOpen() {
    if (meteringFd >= 0) return 0;
    openSyslog();
    std::string path = meteringFifoPath;
    if (path.empty()) {
        std::vector<std::string> files{"/etc/asound.conf"};
        const char* home = getenv("HOME");
        if (home && *home) files.push_back(std::string(home) + "/.asoundrc");
        for (const std::string& file : files) {
            ALSA::Config config;
            std::string value;
            if (access(file.c_str(), R_OK) == 0 && config.load(file) == 0 &&
                config.search("MobuFullDuplexFIR.fifopath", value) == 0) {
                path = value;
                break;
            }
        }
    }
    if (path.empty()) {
        syslog(LOG_ERR, "ChirpRecorder::ensureMeteringFifoOpen: No FIFO path found in ALSA config");
        std::fprintf(stderr, "ChirpRecorder::ensureMeteringFifoOpen: No FIFO path found in ALSA config\n");
        return -ENOENT;
    }
    path = expandTilde(path);
    if (mkfifo(path.c_str(), 0660) != 0 && errno != EEXIST) {
        const int err = errno;
        syslog(LOG_ERR, "ChirpRecorder::ensureMeteringFifoOpen: mkfifo failed for %s: %s", path.c_str(), strerror(err));
        std::fprintf(stderr, "ChirpRecorder::ensureMeteringFifoOpen: mkfifo failed for %s: %s\n", path.c_str(),
                     strerror(err));
        return -err;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_ASYNC);
    if (fd < 0) {
        const int err = errno;
        syslog(LOG_ERR, "ChirpRecorder::ensureMeteringFifoOpen: open failed for %s: %s", path.c_str(), strerror(err));
        std::fprintf(stderr, "ChirpRecorder::ensureMeteringFifoOpen: open failed for %s: %s\n", path.c_str(),
                     strerror(err));
        return -err;
    }
    // Records go to a FIFO only: a path naming a regular file or a device would be overwritten.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        ::close(fd);
        syslog(LOG_ERR, "ChirpRecorder::ensureMeteringFifoOpen: open failed for %s: %s", path.c_str(), "not a FIFO");
        std::fprintf(stderr, "ChirpRecorder::ensureMeteringFifoOpen: open failed for %s: %s\n", path.c_str(),
                     "not a FIFO");
        return -EINVAL;
    }
    meteringFd = fd;
    meteringFifoPath = lastMeteringFifoPath = path;
    for (int w = 0; w < 4; ++w)
        meteringRecord(w) = w;
    syslog(LOG_NOTICE, "ChirpRecorder::ensureMeteringFifoOpen: using FIFO %s (fd=%d)", path.c_str(), fd);
    std::fprintf(stderr, "ChirpRecorder::ensureMeteringFifoOpen: using FIFO %s\n", path.c_str());
    return 0;
}

void ChirpRecorder::closeMeteringFifo() {
    if (meteringFd < 0) return;
    const std::string& path = meteringFifoPath.empty() ? lastMeteringFifoPath : meteringFifoPath;
    syslog(LOG_NOTICE, "ChirpRecorder::closeMeteringFifo: closing FIFO %s (fd=%d)", path.c_str(), meteringFd);
    ::close(meteringFd);
    meteringFd = -1;
}

void ChirpRecorder::initializeMeteringState(bool resetPath) {
    meteringFd = -1;
    if (resetPath) {
        lastMeteringFifoPath = meteringFifoPath; // empty when none was in use
        meteringFifoPath.clear();
    }
    inputLevels.setZero();
    outputLevels.setZero();
    meteringRecord.setZero();
    for (int w = 0; w < 4; ++w)
        meteringRecord(w) = w;
}

// ---------------------------------------------------------------------------------------------
// Results

double ChirpRecorder::getMaxVal(unsigned ch) {
    const MatrixReader reader(*this);
    if (!reader.matrices()) return livePeak(ch);
    if (ch >= static_cast<unsigned>(microphones.cols()) || microphones.rows() == 0) return -1.0;
    return std::max(microphones.col(ch).maxCoeff(), -microphones.col(ch).minCoeff());
}

int ChirpRecorder::stackDataToFile(const char* name) {
    const MatrixReader reader(*this);
    if (!reader.matrices()) {
        std::fprintf(stderr, "ChirpRecorder::stackDataToFile : a run is in progress, %s not written\n",
                     name != nullptr ? name : "the file");
        return -EBUSY;
    }
    const Eigen::Index L = chirp.rows();
    if (L < 1) return MobuDebug().evaluateError(-1300, "\n");
    const Eigen::Index R = chirps.rows() / L;
    if (R < 2 || microphones.rows() < L * R)
        return MobuDebug().evaluateError(-1302, " the recordings don't hold the repeated chirps\n");
    Eigen::MatrixXd stacked = Eigen::MatrixXd::Zero(L, microphones.cols() + 1);
    stacked.col(0) = chirp.matrix() * static_cast<double>(R - 1);
    for (Eigen::Index k = 0; k < R - 1; ++k)
        stacked.rightCols(microphones.cols()) += microphones.middleRows(L + k * L, L);
    stacked /= static_cast<double>(R - 1);
    return matrixToFile(name, stacked, 48000.0);
}
