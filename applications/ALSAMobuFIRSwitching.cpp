// ALSAMobuFIRSwitching: an alsa-lib filter plug-in (PCM type "ALSAMobuFIRSwitching")
// that plays a stereo S32 stream through eight FIR filters to an 8-channel slave.
//
//     pcm.speakers {
//         type ALSAMobuFIRSwitching
//         slave.pcm "hw:0"                 # 8 channels of S32_LE
//         filter "/home/mobu/filters.wav"  # 8 channels; without it: band-limited impulses
//         paraeq "/home/mobu/.mobu/paraEQ0.json"  # watched, NOT applied: saving it rebuilds the filters
//         mixerDevice "hw:0"               # its stereo "Headphone" control scales outputs 0 and 1
//         guard "/home/mobu/.mobu/guard.json"  # the output guard (default ~/.mobu/guard.json)
//         precision "double"               # the filters' later stages: double (default) or single
//     }
//
// This plug-in has no equaliser: a "paraeq" file is watched (saving it rebuilds the
// filters) but its settings change nothing; the plug-in says so once at open.
//
// A coefficient file that can't be loaded before any filters play (no file, a missing
// channel) gives those outputs a band-limited impulse (20 Hz up on outputs 0 and 1,
// 400 Hz up on the others).  Once a set plays, a rewritten file that can't be loaded
// whole is refused, with the file, the channel and why: the set in force keeps playing
// and the next file that loads switches in.  The output guard (OutputGuard) runs last on
// every output; a guard file that is present but refused fails the open, a refused
// rewrite or a removed file leaves the guard in force, and a changed one switches in
// with the filters' fade-out and silence.
//
// Output m is client channel m mod 2 through filter m.  A rewritten coefficient (or
// equaliser) file is built into the spare filter set and switched in with one period
// of fade-out, two silent periods while the new filters fill, and one of fade-in.
// A "Headphone" change ramps over one period.  SIGINT ends the stream in order: one
// period of fade-out, silence until the slave has played the fade (four periods, or
// the slave's buffer if that is longer), then the transfer fails.  The filters take
// whole periods: transfers of any size are gathered into periods, so the output lags
// the input by exactly one period.  Periods longer than MAX_BLOCK frames are filtered
// in blocks of MAX_BLOCK (and the fades, ramps and latency are one block long), so a
// client's choice of period never makes filters it can't afford.  Playback only.
#include <MobuEmbedded/FIRMobu.h>
#include <MobuEmbedded/MobuCommon.h>
#include <MobuEmbedded/MobuDebug.h>
#include <MobuEmbedded/ObjectDoubleBuffer.h>
#include <MobuEmbedded/OutputGuard.h>

#include <ALSAExternalPlugin.h>
#include <ALSAMixerEvents.h>
#include <ALSAPeriodBuffer.h>
#include <FileWatchThreaded.h>
#include <ImpulseBandLimited.h>
#include <ThreadPriority.h>

#include <Eigen/Core>
#include <fftw3.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
void sigHandler(int signalNumber);
}

class ALSAMobuFIRSwitching : public ALSA::ALSAExternalPlugin,
                             ObjectDoubleBuffer<std::vector<FIRMobu*>>,
                             public FileWatchThreaded,
                             public ALSA::MixerEvents {
public:
    using GainRow = Eigen::Array<double, 1, Eigen::Dynamic>;

    ALSAMobuFIRSwitching() {
        setName("ALSAMobuFIRSwitching");
        buffer(0).assign(M, nullptr);
        buffer(1).assign(M, nullptr);
        if (FileWatchThreaded::run(0) != 0) std::cout << "ERROR: Couldn't run the file watching thread." << std::endl;
    }

    ~ALSAMobuFIRSwitching() override {
        std::cout << "ALSAMobuFIRSwitching::~ALSAMobuFIRSwitching" << std::endl;
        FileWatchThreaded::stop();
        closing.store(true);
        MixerEvents::stopEvents();
        deleteFilters(*inactiveBuffer());
        std::cout << "deleteActiveFIRFilters" << std::endl;
        deleteFilters(*activeBuffer());
    }

    /// The stream's parameters go (also on the way to closing): no stream, no gain ramps.
    int hwFree() override {
        std::lock_guard<std::mutex> lock(buildLock);
        periodSize.store(0);
        return 0;
    }

    /// The longest block the filters are built for (frames); longer periods are split.
    static constexpr snd_pcm_uframes_t MAX_BLOCK = 16384;

    int hwParams(snd_pcm_hw_params_t* params) override {
        ALSAExternalPlugin::hwParams(params);
        printHWParams(true);
        const int n = blockLength(MAX_BLOCK, "ALSAMobuFIRSwitching", "filtered in");
        if (n < 0) return -1;
        // After the fade-out, silence until the slave has played the fade: a stream ended
        // earlier would lose what the slave still holds when the client closes it.
        const snd_pcm_uframes_t bufferBlocks = (getBufferSize() + n - 1) / n;
        silentBlocks = static_cast<int>(std::max<snd_pcm_uframes_t>(4, bufferBlocks));
        std::lock_guard<std::mutex> lock(buildLock);
        {
            guards.completeTransition(); // no stream runs now: a guard still pending is simply taken
            std::string problem;
            if (guards.activeBuffer()->configure(guardLimits, getRate(), problem) < 0) {
                std::cout << "ALSAMobuFIRSwitching: the output guard file " << guardFile << ": " << problem
                          << "; nothing plays" << std::endl;
                return -1;
            }
            guards.activeBuffer()->reserve(n);
            if (!guards.activeBuffer()->empty())
                std::cout << "ALSAMobuFIRSwitching: the output guard is in force: "
                          << OutputGuard::describe(guardLimits) << std::endl;
        }
        completeTransition(); // no stream runs now: a rebuilt set still pending is simply taken
        std::cout << "creating filters" << std::endl;
        startingUp = true; // this stream's first set: a channel that can't be loaded gets the fall-back
        const int built = createFIRFilters(n);
        startingUp = false;
        if (built < 0) return -1;
        std::cout << "creating filters done" << std::endl;
        prepTransition();
        completeTransition();
        deleteFilters(*inactiveBuffer()); // built for the stream before, if any
        std::cout << "setting gain matrices " << std::endl;
        {
            std::lock_guard<std::mutex> gainGuard(gainLock);
            gains.completeTransition();
            gains.buffer(0).setOnes(n, M);
            gains.buffer(1).setOnes(n, M);
            requested.setOnes(M);
        }
        periods.resize(n, 2, M);
        eqIn[0].setZero(n);
        eqIn[1].setZero(n);
        periodSize.store(n);
        switchCount = 0;
        return 0;
    }

    int specifyHWParams() override {
        std::cout << "getPeriodSize : " << getPeriodSize() << std::endl;
        if (setInputChannels(2, 2) < 0)
            return MobuDebug().evaluateError(-1350, "Input channel count. Asked for 2"), -EINVAL;
        if (setOutputChannels({8}) < 0) return MobuDebug().evaluateError(-1350), -EINVAL;
        if (setOutputFormats({SND_PCM_FORMAT_S32_LE}) < 0)
            return MobuDebug().evaluateError(-1351, "Output channel format. Asked for S32_LE"), -EINVAL;
        if (setInputFormats({SND_PCM_FORMAT_S32_LE}) < 0)
            return MobuDebug().evaluateError(-1351, "Input channel format incorrect. Asked for S32_LE"), -EINVAL;
        return 0;
    }

    int init() override {
        std::cout << "init\ngetPeriodSize : " << getPeriodSize() << std::endl;
        exitCount.store(0);
        periods.reset(); // a stream prepared again starts from silence
        struct sigaction action {};
        action.sa_handler = sigHandler;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGINT, &action, nullptr) != 0) {
            std::cout << "signal setup error - exiting" << std::endl;
            return -1;
        }
        std::cout << "ALSAMobuFIRSwitching::init thread priority " << ALSA::getThreadPriority(false) << std::endl;
        return 0;
    }

    snd_pcm_sframes_t transfer(const snd_pcm_channel_area_t* dst, snd_pcm_uframes_t dstOffset,
                               const snd_pcm_channel_area_t* src, snd_pcm_uframes_t srcOffset,
                               snd_pcm_uframes_t size) override {
        return periods.transfer(dst, dstOffset, src, srcOffset, size, [this] { return filterPeriod(); });
    }

    int parseConfig(const char* name, snd_config_t* conf, snd_pcm_stream_t stream, int mode) override {
        // A PCM of this type opened before in this process leaves its mixer and watches: start afresh.
        closing.store(true);
        MixerEvents::close();
        closing.store(false);
        {
            std::lock_guard<std::mutex> lock(buildLock);
            for (const std::string& path : {filterFile, paraEQFile, guardFile})
                if (!path.empty()) rmPath(path);
            filterFile.clear();
            paraEQFile.clear();
            guardFile.clear();
        }
        std::string guardPath;
        snd_config_iterator_t i, next;
        snd_config_for_each(i, next, conf) {
            snd_config_t* node = snd_config_iterator_entry(i);
            const char* id = nullptr;
            if (snd_config_get_id(node, &id) < 0) continue;
            const std::string field = id;
            const char* text = nullptr;
            if (field == "channels") {
                long channels = 0;
                if (snd_config_get_integer(node, &channels) < 0) {
                    std::cout << "channels configuration variable is not an integer, please replace with a number"
                              << std::endl;
                    continue;
                }
                printf("read %ld channels from the config file\n", channels);
                removeNode(node, "ALSAMobuFIRSwitching");
                std::cout << "ALSAMobuFIRSwitching::parseConfig warning, the channels config variable is currently "
                             "unused "
                          << std::endl;
            } else if (field == "filter" || field == "paraeq") {
                if (snd_config_get_string(node, &text) < 0) {
                    std::cout << "filter file configuration variable is not a string, please replace with a path "
                                 "and file name."
                              << std::endl;
                    SNDERR("%s %s refused: the value is not a string (give the file's path in quotes)", id,
                           valueText(node).c_str());
                    return -EINVAL;
                }
                std::lock_guard<std::mutex> lock(buildLock); // the file-watch thread reads the names
                if (field == "filter") {
                    printf("read %s filter file name from the config file\n", text);
                    filterFile = text;
                } else {
                    printf("read %s parametric EQ file name from the config file\n", text);
                    paraEQFile = text;
                }
                addFile(text);
                removeNode(node, "FIRALSAPluginMulti");
            } else if (field == "guard") {
                if (snd_config_get_string(node, &text) < 0 || text[0] != '/') {
                    std::cout << "ALSAMobuFIRSwitching: the guard field must be the absolute path of the output "
                                 "guard file"
                              << std::endl;
                    return -EINVAL;
                }
                guardPath = text;
                removeNode(node, "ALSAMobuFIRSwitching");
            } else if (field == "precision") {
                if (snd_config_get_string(node, &text) < 0 || !FIRMobu::parsePrecision(text, laterPrecision)) {
                    std::cout << "ALSAMobuFIRSwitching: the precision field must be \"double\" or \"single\""
                              << std::endl;
                    SNDERR("precision %s refused: it must be \"double\" or \"single\"", valueText(node).c_str());
                    return -EINVAL;
                }
                printf("ALSAMobuFIRSwitching: the filters' later stages in %s precision\n", text);
                removeNode(node, "ALSAMobuFIRSwitching");
            } else if (field == "mixerDevice") {
                if (snd_config_get_string(node, &text) < 0) {
                    std::cout << "mixer device configuration variable is not a string, please replace with a mixer "
                                 "device name."
                              << std::endl;
                    continue;
                }
                printf("read %s (mixer device) from the config file\n", text);
                int ret = MixerEvents::open(text);
                if (ret == 0) ret = scanMixer();
                if (ret < 0) { // the slave is not recorded: the open fails
                    SNDERR("mixerDevice \"%s\" refused: its mixer can't be opened (%s)", text, snd_strerror(ret));
                    return -EINVAL;
                }
                removeNode(node, "FIRALSAPluginMulti");
            }
        }
        if (!paraEQFile.empty())
            std::cout << "ALSAMobuFIRSwitching: warning: the paraeq file " << paraEQFile
                      << " is watched but not applied: this plug-in has no equaliser (saving the file rebuilds the "
                         "filters, its settings change nothing)"
                      << std::endl;
        if (const int ret = setGuardFile(guardPath); ret < 0) return ret;
        return ALSAExternalPlugin::parseConfig(name, conf, stream, mode);
    }

    /** Reads and watches the output guard file (empty: ~/.mobu/guard.json).  No file: no guard.
     * @return 0, or -EINVAL when the file is present but refused (the open fails, saying why). */
    int setGuardFile(std::string path) {
        if (path.empty()) {
            MobuCommon home;
            if (home.setFileName(OutputGuard::DEFAULT_NAME) != 0) return 0;
            path = home.getFileName();
        }
        std::vector<OutputGuard::Limits> limits;
        std::string error;
        const int ret = OutputGuard::readFile(path, limits, error, M);
        if (ret < 0 && ret != -ENOENT) {
            std::cout << "ALSAMobuFIRSwitching: " << error << " (field guard); the PCM is not opened" << std::endl;
            return -EINVAL;
        }
        {
            std::lock_guard<std::mutex> lock(buildLock);
            guardFile = path;
            guardLimits = limits;
        }
        std::cout << "ALSAMobuFIRSwitching: "
                  << (ret == -ENOENT ? "no output guard file " + path + ": the outputs are not guarded"
                                     : "the output guard file " + path + ": " + OutputGuard::describe(limits))
                  << std::endl;
        addFileOrAwait(path); // a guard file made later switches in
        return 0;
    }

    /** SIGINT (2) or 9: end the stream in order.  Runs in the signal handler: it only
     * writes (write(2), not the stream library) and stores. */
    void handleSignal(int signalNumber) {
        say("ALSAMobuFIRSwitching::handleSignal handling signal : ", signalNumber);
        if (signalNumber == SIGINT || signalNumber == SIGKILL) {
            exitCount.store(-1);
            say("ALSAMobuFIRSwitching::handleSignal handled signal : ", signalNumber);
        } else {
            say("ALSAMobuFIRSwitching::handleSignal unhandled signal : ", signalNumber);
        }
    }

    /// Writes text and a number on a line of standard output, async-signal-safely.
    static void say(const char* text, int number) {
        char line[160];
        size_t n = 0;
        for (const char* c = text; *c && n < sizeof line - 16; ++c)
            line[n++] = *c;
        char digits[12];
        int d = 0;
        unsigned v = number < 0 ? 0u - static_cast<unsigned>(number) : static_cast<unsigned>(number);
        do {
            digits[d++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        if (number < 0) line[n++] = '-';
        while (d)
            line[n++] = digits[--d];
        line[n++] = '\n';
        [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line, n);
    }

    int handleValueEvents(ALSA::MixerElement& element) override {
        int policy = 0;
        const int priority = ALSA::getThreadPriority(policy, false);
        std::cout << "ALSAMobuFIRSwitching::handleValueEvents thread priority " << priority << std::endl;
        if (priority > 10)
            std::cout << "ALSAMobuFIRSwitching::handleValueEvents change thread priority result =  "
                      << ALSA::changeThreadPriority(10) << std::endl;
        std::cout << "me.name " << element.getName() << std::endl;
        double dB[2] = {0.0, 0.0};
        const bool stereo = element.getPlaybackChannelCount() >= 2 && element.getPlaybackDB(dB[0], 0) == 0 &&
                            element.getPlaybackDB(dB[1], 1) == 0;
        const double gL = std::pow(10.0, dB[0] / 20.0), gR = std::pow(10.0, dB[1] / 20.0);
        if (stereo) {
            std::cout << "me.name dB=" << dB[0] << " g=" << gL << std::endl;
            std::cout << "me.name dB=" << dB[1] << " g=" << gR << std::endl;
        }
        std::unique_lock<std::mutex> lock(gainLock);
        if (periodSize == 0) return 0; // no stream yet: the gains start at 1
        // Start from what the latest request ends on, so a change still ramping is not lost.
        GainRow g = requested;
        std::cout << "current gains " << g << std::endl;
        if (stereo && element.getName() == "Headphone") {
            g(0) = gL;
            g(1) = gR;
        }
        std::cout << "new     gains " << g << std::endl;
        lock.unlock();
        setGains(g);
        return 0;
    }

    /** Ramps every output from the gain in use to g over one period.  A ramp still pending
     * is waited for (off the audio thread), so two quick changes both take effect. */
    void setGains(const GainRow& g) {
        if (gains.transitionPending()) std::cout << "gains already waiting for a transition" << std::endl;
        // Until the stream plays the pending ramp (or the PCM closes); later events wait in the mixer.
        if (!gains.waitUntilIdle([this] { return closing.load() || periodSize.load() == 0; })) return;
        std::lock_guard<std::mutex> lock(gainLock);
        if (periodSize == 0 || g.size() != M) return;
        requested = g;
        Eigen::ArrayXXd& next = *gains.inactiveBuffer();
        const Eigen::ArrayXXd& current = *gains.activeBuffer();
        const Eigen::Index n = next.rows();
        for (int m = 0; m < M; ++m)
            next.col(m) = Eigen::ArrayXd::LinSpaced(n, current(n - 1, m), g(m));
        std::cout << "Preparing the switching for the new gains" << std::endl;
        gains.prepTransition();
    }

    int createFIRFilters(int n) {
        printf("ALSAMobuFIRSwitching::createFIRFilters to handle %d samples\n", n);
        std::vector<FIRMobu*>& set = *inactiveBuffer();
        std::cout << "deleteInactiveFIRFilters" << std::endl;
        deleteFilters(set);
        // Every output's taps first (the file read once), then one engine per input for the outputs
        // it feeds (output m from input m mod 2), which transforms that input once for all of them.
        std::vector<Eigen::VectorXd> taps;
        std::vector<int> codes;
        std::string why = "no filter file is set";
        if (filterFile.empty())
            codes.assign(M, -1);
        else
            FIRMobu::readChannels(filterFile, M, taps, codes, why, getRate());
        taps.resize(M);
        const auto refused = std::find_if(codes.begin(), codes.end(), [](int c) { return c < 0; });
        if (refused != codes.end() && !startingUp) {
            // A set plays: a file that can't be loaded whole changes nothing (no pass-through, no mix).
            printf("ALSAMobuFIRSwitching::createFIRFilters: the filter file %s is refused from channel %d on: %s; the "
                   "filters in force stay until a file that loads replaces it\n",
                   filterFile.c_str(), static_cast<int>(refused - codes.begin()), why.c_str());
            fflush(stdout);
            return -39902;
        }
        for (int m = 0; m < M; ++m) {
            printf("loading channel %d from file %s\n", m, filterFile.c_str());
            if (codes[m] >= 0) continue;
            const float fs = static_cast<float>(getRate());
            printf("channel %d: %s\n", m, why.c_str());
            printf("Couldn't load filter from file, setting as the impulse with sample rate = %f Hz.\n", fs);
            ImpulseBandLimited<double> impulse;
            const int ret = impulse.generateImpulseShift(1024.0f / fs, fs, m < 2 ? 20.0f : 400.0f, (fs - 1.0f) / 2.0f);
            if (ret < 0) {
                std::cout << "Couldn't generate a band limited impulse, exiting." << std::endl;
                return ret;
            }
            taps[m] = Eigen::MatrixXd(impulse).col(0);
        }
        std::vector<std::unique_ptr<FIRMobu>> engines =
            FIRMobu::perInputEngines(2 * n, inputs, taps, FIRMobu::defaultPartitioning(), laterPrecision);
        set.assign(engines.size(), nullptr);
        for (size_t i = 0; i < engines.size(); ++i)
            set[i] = engines[i].release(); // owned by the set; deleted by deleteFilters
        // One silent block sizes every filter's buffers before it meets the audio thread.
        for (FIRMobu* f : set)
            f->filterLocal(Eigen::ArrayXd::Zero(n), 0);
        std::cout << "inactiveFIR loaded " << static_cast<void*>(&set) << std::endl;
        return 0;
    }

    void closeWrite(char* name) override {
        printf("ALSAMobuFIRSwitching::closeWrite file just closed : %s\n", name);
        if (isGuardFile(name))
            rebuildGuard();
        else
            rebuild();
    }

    void attribChange(char* name, int wd) override {
        printf("ALSAMobuFIRSwitching::attribChange on file : %s\n", name);
        printf("ALSAMobuFIRSwitching::attribChange wd : %d\n", wd);
        {
            std::lock_guard<std::mutex> lock(buildLock);
            printf("ALSAMobuFIRSwitching::attribChange fd : %d\n", getWatchDescriptor(filterFile));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250)); // let a writer finish
        // The watch follows a file replaced by rename by itself; playing goes on.
        if (isGuardFile(name))
            rebuildGuard();
        else
            rebuild();
    }

private:
    void removeNode(snd_config_t* node, const char* who) {
        if (snd_config_delete(node) < 0)
            std::cout << who << "::parseConfig error removing configuration node ... continuing ... " << std::endl;
    }

    static void deleteFilters(std::vector<FIRMobu*>& set) {
        for (FIRMobu*& f : set) {
            delete f;
            f = nullptr;
        }
    }

    /** Builds the files as they are now into the spare set and asks for the switch.  A
     * switch still pending is waited for first, so the newest file always ends up playing. */
    void rebuild() {
        if (!waitUntilIdle([this] { return FileWatchThreaded::stopRequested(); })) return;
        std::lock_guard<std::mutex> lock(buildLock);
        const int n = periodSize.load();
        if (n == 0 || transitionPending()) return; // no stream: hwParams builds
        if (createFIRFilters(n) == 0) prepTransition();
    }

    bool isGuardFile(const char* name) {
        std::lock_guard<std::mutex> lock(buildLock);
        return !guardFile.empty() && guardFile == name;
    }

    /** Reads the guard file as it is now into the spare guard and asks for the switch; a file that
     * is refused or gone leaves the guard in force. */
    void rebuildGuard() {
        if (!guards.waitUntilIdle([this] { return FileWatchThreaded::stopRequested(); })) return;
        std::lock_guard<std::mutex> lock(buildLock);
        std::vector<OutputGuard::Limits> limits;
        std::string error;
        const int ret = OutputGuard::readFile(guardFile, limits, error, M);
        if (ret < 0) {
            std::cout << "ALSAMobuFIRSwitching::rebuildGuard: "
                      << (ret == -ENOENT ? "the output guard file " + guardFile + " is gone" : error)
                      << "; the guard in force stays" << std::endl;
            return;
        }
        if (limits == guardLimits) return;
        const int n = periodSize.load();
        if (n == 0) { // no stream: the next hwParams builds it
            guardLimits = limits;
            return;
        }
        OutputGuard& next = *guards.inactiveBuffer();
        if (next.configure(limits, getRate(), error) < 0) {
            std::cout << "ALSAMobuFIRSwitching::rebuildGuard: the output guard file " << guardFile << ": " << error
                      << "; the guard in force stays" << std::endl;
            return;
        }
        next.reserve(n);
        guardLimits = limits;
        std::cout << "ALSAMobuFIRSwitching::rebuildGuard: the output guard file " << guardFile
                  << " changed, switching in: " << OutputGuard::describe(limits) << std::endl;
        guards.prepTransition();
    }

    /// The guard in force over the period's output, last of all.
    void guardPass() {
        OutputGuard& guard = *guards.activeBuffer();
        if (guard.empty()) return;
        int32_t* const block = periods.output.data(); // row-major: sample k of output m at k * M + m
        const Eigen::Index n = periods.output.rows();
#pragma omp parallel for schedule(static)
        for (int m = 0; m < M; ++m)
            guard.process(m, block + m, n, M);
    }

    /// Filters one period of periods.input into periods.output with a fade and the gains in use.
    void filterPass(int fade) {
        const Eigen::ArrayXXd& g = *gains.activeBuffer();
        std::vector<FIRMobu*>& set = *activeBuffer();
        const Eigen::Index n = g.rows();
        // Engine i filters input i for outputs i, i + 2, ... (its channels 0, 1, ...).
#pragma omp parallel for schedule(static)
        for (int i = 0; i < static_cast<int>(set.size()); ++i) {
            set[i]->filterLocal(eqIn[i], fade);
            for (int k = 0, m = i; k < set[i]->getChCnt(); ++k, m += inputs)
                set[i]->writeGained(k, periods.output.col(m), g(n - 1, m));
        }
    }

    int filterPeriod() {
        const int ret = filterStep();
        if (ret == 0) guardPass();
        return ret;
    }

    int filterStep() {
        eqIn[0] = periods.input.col(0).cast<double>();
        eqIn[1] = periods.input.col(1).cast<double>();
        const bool firPending = transitionPending();
        const bool guardPending = guards.transitionPending();
        const int exiting = exitCount.load();
        if (exiting != 0 || (!firPending && !guardPending && switchCount < 1)) {
            switchCount = -1;
            if (exiting < 0) {
                printf("ALSAMobuFIRSwitching::%s ramping down\n", "transfer");
                filterPass(-1);
                exitCount.store(silentBlocks + 1);
                return 0;
            }
            if (exiting > 0) {
                exitCount.store(exiting - 1);
                if (exiting == 1) {
                    printf("ALSAMobuFIRSwitching::%s exiting\n", "transfer");
                    return -1;
                }
                printf("ALSAMobuFIRSwitching::%s playing zeros\n", "transfer");
                periods.output.setZero();
                return 0;
            }
            if (!gains.transitionPending()) {
                filterPass(0);
                return 0;
            }
            const Eigen::ArrayXXd& ramp = *gains.targetBuffer();
            std::vector<FIRMobu*>& set = *activeBuffer();
#pragma omp parallel for schedule(static)
            for (int i = 0; i < static_cast<int>(set.size()); ++i) {
                set[i]->filterLocal(eqIn[i], 0);
                for (int k = 0, m = i; k < set[i]->getChCnt(); ++k, m += inputs)
                    set[i]->writeGained(k, periods.output.col(m), ramp.col(m));
            }
            gains.completeTransition();
            return 0;
        }
        if (switchCount < 0) {
            filterPass(-1);
            printf("ALSAMobuFIRSwitching::%s ramping down\n", "transfer");
            switchCount = 3;
            return 0;
        }
        if (switchCount > 2 && firPending) {
            printf("ALSAMobuFIRSwitching::%s switching over\n", "transfer");
            completeTransition();
        }
        if (switchCount > 2 && guardPending) {
            printf("ALSAMobuFIRSwitching::%s switching the output guard over\n", "transfer");
            guards.completeTransition();
        }
        filterPass(switchCount); // 3, 2: silence while the new filters fill; 1: fade in
        --switchCount;
        return 0;
    }

    int M = 8;
    static constexpr int inputs = 2; ///< output m is fed by input m mod inputs
    std::string filterFile;
    std::string paraEQFile;
    std::string guardFile;                                           ///< buildLock
    FIRMobu::Precision laterPrecision = FIRMobu::defaultPrecision(); ///< of the filters' later stages
    std::vector<OutputGuard::Limits> guardLimits;                    ///< as the guard in force was made (buildLock)
    ObjectDoubleBuffer<OutputGuard> guards;
    bool startingUp = false; ///< hwParams builds: channels that can't be loaded get the fall-back (buildLock)
    int switchCount = 0;
    std::atomic<int> exitCount{0};
    int silentBlocks = 4;             ///< of the exit sequence: at least the slave's buffer
    std::atomic<int> periodSize{0};   ///< of the stream the filters are built for (0: none)
    std::atomic<bool> closing{false}; ///< the PCM closes: a gain change waiting for a ramp gives up
    std::mutex buildLock;             ///< serialises building filter sets (hwParams, the file-watch thread)
    std::mutex gainLock;              ///< the gain matrices' shape and the latest request; never on the audio thread
    GainRow requested;                ///< what the latest gain request ends on
    ObjectDoubleBuffer<Eigen::ArrayXXd> gains;
    Eigen::ArrayXd eqIn[2]; ///< the period's inputs as doubles
    ALSA::PeriodBuffer<int32_t> periods;
};

/// The process-wide plug-in object (one PCM of this type at a time).
ALSAMobuFIRSwitching aMFSPlugin;

namespace {
void sigHandler(int signalNumber) {
    ALSAMobuFIRSwitching::say("sigHandler handling signal : ", signalNumber);
    aMFSPlugin.handleSignal(signalNumber);
}
} // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(ALSAMobuFIRSwitching) {
    if (stream == SND_PCM_STREAM_CAPTURE) { // eight filtered channels have nowhere to go in a capture
        MobuDebug().evaluateError(-1370, std::string("ALSAMobuFIRSwitching PCM ") + name + "\n");
        return -EINVAL;
    }
    if (!getenv("OMP_NUM_THREADS")) omp_set_num_threads(4); // a team size set by the user wins
    fftw_make_planner_thread_safe();
    Eigen::initParallel();
    return aMFSPlugin.openPCM("_snd_pcm_ALSAMobuFIRSwitching_open", pcmp, name, root, conf, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(ALSAMobuFIRSwitching);
}
