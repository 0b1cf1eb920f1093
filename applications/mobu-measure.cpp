// mobu-measure: measures loudspeakers through the chirp recorder and identifies their
// impulse responses, for a person at the box without the user interface.
//
//   mobu-measure --playback=DEV --capture=DEV --channels=0,3|left|right|all --taps=N
//                [--align [--band=FC]] [--loopback=C | --latency=SAMPLES] [--out=DIR] [--status=FILE]
//                [--ignore-clipping] [--verbose]
//
// Writes DIR/impulse-<c>.wav (one per recorded channel), DIR/tof.csv (time of flight in
// samples and milliseconds), DIR/flight.csv (the acoustic time of flight: the arrival less the
// devices' latency), DIR/bands.csv (the band each response is valid in), DIR/impulses.png (the
// responses and their magnitudes), and from the same sweep the harmonic distortion:
// DIR/harmonic-<k>-<c>.wav (k = 2 ... 5), DIR/thd-<c>.csv and DIR/distortion.png; the library's own diagnostics go to
// DIR/measure.log, its debug files to DIR/debug.  A run writes into a new folder that takes
// DIR's place only when the run completed (MeasureFolder).
//
// Each response is identified against the signal that was actually played on its channel
// (the chirp after the recorder's shaping: measurement filter or band limit, and scaling), so
// it is the response of the loudspeaker, room and converters alone.

#include "MeasureAnalysis.h"
#include "MeasureFolder.h"
#include "MeasurePlot.h"

#include <FrequencyWindow.h>
#include <LevinsonDurban.h>
#include <MobuEmbedded/ChirpRecorder.h>
#include <RealDFT.h>

#include <OptionParser.h>
#include <SafeFile.h>
#include <Sox.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdarg>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* usage =
    "usage: mobu-measure --playback=DEV --capture=DEV --channels=0,3|left|right|all --taps=N\n"
    "                    [--align [--band=FC]] [--loopback=C | --latency=SAMPLES] [--out=DIR] [--position=K]\n"
    "                    [--status=FILE] [--ignore-clipping] [--verbose]\n"
    "  --channels  playback channels to measure (a comma list, left = every even channel at once,\n"
    "              right = every odd one, all = each channel in turn)\n"
    "  --taps      impulse response length, 1 ... 48000 (one chirp period)\n"
    "  --align     put each response's arrival 3 ms in; its shift is the time of flight.  Without it\n"
    "              the response starts at the loop's time zero, and a channel whose sound arrives\n"
    "              outside the N taps is refused (use --align or more taps)\n"
    "  --band      centre (Hz, 20 ... below 24000) of the band in which the arrival is looked\n"
    "              for (only with --align)\n"
    "  --loopback  capture channel C (1 ... ) is wired to the outputs: what it records gives the\n"
    "              devices' latency on every run, and the acoustic time of flight is the rest\n"
    "  --latency   the devices' latency in samples, known from a calibration run (the arrival in\n"
    "              flight.csv of a run with the microphone at the loudspeaker's grille)\n"
    "  --out       output folder (default ./measurement).  A run writes into a new folder beside it,\n"
    "              which replaces it only when the run completed (the old one kept as DIR.previous);\n"
    "              a stopped or failed run leaves DIR as it was and is set aside as DIR.incomplete\n"
    "  --position  K (1 ... 99): one microphone position of several, written into DIR/pos-K\n"
    "              (mobu-correct --in=DIR designs from all of them, pos-1 the main one)\n"
    "  --status    the status file the interface polls (default /tmp/status.json); it must be a\n"
    "              regular file or not exist\n"
    "  --ignore-clipping  identify recordings that reached full scale instead of refusing them\n"
    "  --verbose   the library's lines on the terminal instead of DIR/measure.log\n"
    "Writes DIR/impulse-<c>.wav, DIR/tof.csv (channel, samples, ms), DIR/bands.csv (channel and the\n"
    "band in Hz each response is valid in: what its chirp excited), DIR/flight.csv (channel, the\n"
    "arrival in samples with the devices' latency, the latency, and the acoustic time of flight\n"
    "in samples, ms and metres at 343 m/s, air at 20 C; the last four empty without --loopback or\n"
    "--latency), DIR/impulses.png, the harmonics 2 ... 5 of the same sweep as\n"
    "DIR/harmonic-<k>-<c>.wav, the distortion against the fundamental's frequency as\n"
    "DIR/thd-<c>.csv (frequency_hz, thd_percent, h2_db ... h5_db) and DIR/distortion.png, and\n"
    "DIR/measure.log; the library's debug files go to DIR/debug (MOBU_DEBUG_DIR).\n"
    "Each response is identified against the chirp as it was played on that channel (after the\n"
    "measurement filter or the band limit and the scaling), so it holds only what lies between\n"
    "the converters: the loudspeaker, the room, the devices' latency.  For left and right it is\n"
    "identified against channel 0's or 1's played chirp.\n"
    "Exit status: 0 every channel identified; 1 a device, folder or file could not be used; 2 a bad\n"
    "option; 3 stopped by SIGINT or SIGTERM; 4 the audio devices failed; 5 a channel could not be\n"
    "identified (nothing recorded, peak below -80 dB of full scale, no clear arrival, arrival\n"
    "outside the response); 6 a recording clipped (without --ignore-clipping; nothing is identified).\n";

/// The options: name and whether it takes a value.
const struct {
    const char* name;
    bool value;
} knownOptions[] = {
    {"playback", true}, {"capture", true},  {"channels", true}, {"taps", true},     {"align", false},
    {"band", true},     {"out", true},      {"status", true},   {"verbose", false}, {"ignore-clipping", false},
    {"position", true}, {"loopback", true}, {"latency", true},  {"help", false},    {"h", false}};

constexpr double fs = 48000.0;
constexpr double fullScale = 2147483392.0; ///< 0x7fffff00: full scale of 24- and 32-bit converters alike
constexpr double quietPeak = 214748.3392;  ///< -80 dB of full scale: below it there is nothing to identify
constexpr double lowestBand = 20.0;        ///< Hz: the sweep excites nothing below (for --band)
constexpr double clearArrival = 10.0;      ///< the arrival's peak over the response's RMS

volatile std::sig_atomic_t interrupted = 0; ///< SIGINT or SIGTERM arrived

void onSignal(int) {
    interrupted = 1;
}

FILE* terminal = stdout;    ///< progress and results; the library's own lines go to the log
FILE* errTerminal = stderr; ///< our error lines

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(terminal, format, args);
    va_end(args);
    fflush(terminal);
}

int fail(const std::string& text, int code = 1) {
    fprintf(errTerminal, "mobu-measure: %s\n", text.c_str());
    fflush(errTerminal);
    return code;
}

/// Every argument must be a known option (a value only where one is taken): "" or what is wrong.
std::string checkArguments(int argc, char* argv[]) {
    const auto looksLikeNumber = [](const std::string& s) {
        return s.size() > 1 && s[0] == '-' && (isdigit(static_cast<unsigned char>(s[1])) || s[1] == '.');
    };
    const auto isOption = [&](const std::string& s) { return s.size() > 1 && s[0] == '-' && !looksLikeNumber(s); };
    for (int i = 1; i < argc; ++i) {
        const std::string arg(argv[i]);
        if (!isOption(arg)) return "unexpected argument " + arg;
        std::string name = arg.substr(arg.compare(0, 2, "--") == 0 ? 2 : 1);
        const size_t eq = name.find('=');
        bool hasValue = eq != std::string::npos;
        if (hasValue)
            name.erase(eq);
        else if (i + 1 < argc && !isOption(argv[i + 1]))
            hasValue = true, ++i; // the parser takes the next word as the value
        const auto known = std::find_if(std::begin(knownOptions), std::end(knownOptions),
                                        [&](const auto& o) { return name == o.name; });
        if (known == std::end(knownOptions)) return "unknown option " + arg;
        if (hasValue && !known->value) return "--" + name + " takes no value";
        if (!hasValue && known->value) return "--" + name + " needs a value";
    }
    return "";
}

/// The channel list: a comma list of indices, or left (-1), right (-2), all.
bool parseChannels(const std::string& text, int maxChannels, std::vector<int>& channels) {
    if (text == "left" || text == "right") {
        channels = {text == "left" ? -1 : -2};
        return maxChannels > (text == "left" ? 0 : 1);
    }
    if (text == "all") {
        for (int c = 0; c < maxChannels; ++c)
            channels.push_back(c);
        return maxChannels > 0;
    }
    if (text.empty() || text.back() == ',') return false; // "0," names no second channel
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        const long c = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || c < 0 || c >= maxChannels) return false;
        for (int seen : channels)
            if (seen == c) return false;
        channels.push_back(static_cast<int>(c));
    }
    return !channels.empty();
}

/// The status file's text, at most 4 KiB, and only from a regular file: a device or a FIFO
/// put there by anyone is never read from (and never waited for).
std::string readStatus(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return "";
    std::string text;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) text.assign(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

/// Shows the status file's messages while `done` is false: one line per step, a bar on a terminal.
void showProgress(const std::atomic<bool>& done) {
    const auto start = std::chrono::steady_clock::now();
    const bool tty = isatty(fileno(terminal));
    const std::string path = MobuCommon::getStatusFile();
    std::string last, stepsOf;
    std::set<unsigned> steps;
    while (!done.load()) {
        const std::string text = readStatus(path);
        if (!text.empty() && text != last) {
            last = text;
            const auto field = [&](const std::string& key) {
                const size_t at = text.find("\"" + key + "\" : ");
                return at == std::string::npos ? std::string() : text.substr(at + key.size() + 5);
            };
            std::string message = field("message");
            message = message.empty() ? message : message.substr(1, message.find('"', 1) - 1);
            const unsigned max = std::strtoul(field("progressMax").c_str(), nullptr, 10);
            const unsigned step = std::strtoul(field("progress").c_str(), nullptr, 10);
            const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            // Steps may come in any order (channels are prepared in parallel): count those seen.
            if (message != stepsOf) {
                stepsOf = message;
                steps.clear();
            }
            steps.insert(step);
            const unsigned count = static_cast<unsigned>(steps.size());
            if (max > 0 && tty) {
                const int width = 30, filled = static_cast<int>(width * std::min(count, max + 1) / (max + 1));
                say("\r[%6.1f s] %-24s [%s%s] %u/%u", t, message.c_str(), std::string(filled, '#').c_str(),
                    std::string(width - filled, ' ').c_str(), count, max + 1);
            } else if (max > 0) {
                say("[%6.1f s] %s %u/%u\n", t, message.c_str(), count, max + 1);
            } else {
                say("%s[%6.1f s] %s\n", tty ? "\n" : "", t, message.c_str());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

/// A response as a 32-bit WAV (Sox writes a new file and renames it into place, with its scale reference).
int writeImpulse(const std::string& path, const Eigen::VectorXd& h) {
    Sox<double> out;
    const double peak = h.size() > 0 ? h.cwiseAbs().maxCoeff() : 0.0;
    int ret = out.openWrite(path, 48000.0, 1, peak > 0.0 ? peak : 1.0, 32);
    if (ret < 0) return ret;
    ret = out.write(h);
    const int closed = out.closeWrite();
    return ret < 0 ? ret : closed;
}

} // namespace

int main(int argc, char* argv[]) {
    // From the start: a signal only sets the flag, and every stage below looks at it.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    OptionParser options(argc, argv);
    if (options.has("help") || options.has("h")) {
        fputs(usage, stdout);
        return 0;
    }
    if (const std::string wrong = checkArguments(argc, argv); !wrong.empty()) return fail(wrong + " (see --help)", 2);
    std::string playback, capture, channelText, out = "measurement";
    int taps = 0;
    double band = 0.0;
    for (const char* name : {"playback", "capture", "channels", "taps"})
        if (!options.has(name))
            return fail(
                std::string("--") + name + " is needed: --playback, --capture, --channels and --taps (see --help)", 2);
    options.getArg("playback", playback);
    options.getArg("capture", capture);
    options.getArg("channels", channelText);
    options.getArg("out", out);
    std::string text;
    options.getArg("taps", text);
    if (options.getArg("taps", taps) != 0 || taps < 1 || taps > 48000)
        return fail("--taps=" + text + " must be a whole number 1 ... 48000 (one chirp period)", 2);
    const bool align = options.has("align");
    if (options.has("band")) {
        options.getArg("band", text);
        if (!align) return fail("--band needs --align: it chooses the band in which the arrival is looked for", 2);
        if (options.getArg("band", band) != 0 || !(band >= lowestBand) || !(band < 0.5 * fs))
            return fail("--band=" + text + " must be a frequency from 20 Hz (where the sweep starts) to below 24000 Hz",
                        2);
    }
    if (out.empty()) return fail("--out needs a folder", 2);
    // The devices' latency: from a loop-back capture channel, or given.
    long loopback = -1, latency = -1;
    if (options.has("loopback") && options.has("latency"))
        return fail("--loopback and --latency both give the devices' latency: choose one", 2);
    if (options.getArg("loopback", text) == 0) {
        char* end = nullptr;
        loopback = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || loopback < 1 || loopback > 63)
            return fail("--loopback=" + text + " must be a capture channel 1 ... 63 (0 is the microphone)", 2);
    }
    if (options.getArg("latency", text) == 0) {
        char* end = nullptr;
        latency = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || latency < 0 || latency > 10 * static_cast<long>(fs))
            return fail("--latency=" + text + " must be a whole number of samples 0 ... 480000 (10 s)", 2);
    }
    std::string position; // --position=K: this measurement goes into DIR/pos-K
    if (options.getArg("position", position) == 0) {
        char* end = nullptr;
        const long k = std::strtol(position.c_str(), &end, 10);
        if (position.empty() || *end != '\0' || k < 1 || k > 99)
            return fail("--position=" + position + " must be a whole number 1 ... 99", 2);
        position = "pos-" + std::to_string(k);
    }
    if (out.find('\'') != std::string::npos || out.find('\n') != std::string::npos)
        return fail("--out=" + out + ": a folder name with a quote or a line feed can't be plotted", 2);
    std::string status;
    if (options.getArg("status", status) == 0) {
        if (status.empty()) return fail("--status needs a file", 2);
        MobuCommon::setStatusFile(status);
    }
    status = MobuCommon::getStatusFile();
    // Checked as it will be written (a link, FIFO, device or folder, or another user's file in a
    // shared folder, is refused then): refused now, before anything is made.
    if (const int refused = SafeFile::checkTarget(status); refused == SAFEFILE_OWNER_ERROR)
        return fail("the status file " + status + " belongs to another user", 1);
    else if (refused != 0)
        return fail("the status file " + status + " exists and is not a regular file", 1);
    if (!position.empty()) {
        if (mkdir(out.c_str(), 0755) != 0 && errno != EEXIST) return fail("can't make " + out + ": " + strerror(errno));
        out += "/" + position;
    }

    // The run writes into a new folder of its own, which replaces DIR only once the run completed.
    MeasureFolder folder;
    if (const std::string wrong = folder.begin(out); !wrong.empty()) return fail(wrong);
    const std::string dir = folder.path(), target = folder.target();
    if (dir.find('\'') != std::string::npos || dir.find('\n') != std::string::npos)
        return fail("--out=" + out + ": a folder name with a quote or a line feed can't be plotted", 2);
    // The library's debug files go to a folder of the measurement's own.
    const std::string debugDir = dir + "/debug";
    if (mkdir(debugDir.c_str(), 0755) != 0) return fail("can't make " + debugDir + ": " + strerror(errno));
    setenv("MOBU_DEBUG_DIR", debugDir.c_str(), 1);
    const bool keepClipped = options.has("ignore-clipping");

    // The library's diagnostics go to the log; the terminal keeps the progress.
    if (!options.has("verbose")) {
        const int log =
            open((dir + "/measure.log").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (log < 0) return fail("can't write " + dir + "/measure.log: " + strerror(errno));
        FILE* progressOut = fdopen(dup(STDOUT_FILENO), "w");
        FILE* errorOut = fdopen(dup(STDERR_FILENO), "w");
        if (!progressOut || !errorOut) return fail(std::string("can't keep the terminal: ") + strerror(errno));
        terminal = progressOut;
        errTerminal = errorOut;
        fflush(stdout);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        close(log);
    }
    // A fresh status: what an earlier process left there is not this measurement's progress.
    if (MobuCommon().setStatus("", "Opening the devices", 0, 0) != 0)
        return fail("can't write the status file " + status);
    // From here on a failure is in the status file too, for the interface that polls it.
    const auto failRun = [&](const std::string& why, int code) {
        MobuCommon().setStatus("mobu-measure: " + why, "Failed.", 0, 0);
        return fail(why, code);
    };

    auto recorder = std::make_unique<ChirpRecorder>(playback.c_str(), capture.c_str());
    if (!recorder->Playback::isOpen()) return failRun("can't open the playback device " + playback, 1);
    if (!recorder->Capture::isOpen()) return failRun("can't open the capture device " + capture, 1);
    std::vector<int> channels;
    if (!parseChannels(channelText, recorder->getMaxPlayCh(), channels))
        return failRun("bad --channels=" + channelText + ": give 0 ... " +
                           std::to_string(recorder->getMaxPlayCh() - 1) + " separated by commas, or left, right or all",
                       2);
    for (int c : channels)
        recorder->setPlayCh(c);
    if (loopback >= 0 &&
        (loopback >= recorder->getMaxRecCh() || recorder->setLoopbackCh(static_cast<int>(loopback)) != 0))
        return failRun("bad --loopback=" + std::to_string(loopback) + ": the capture device has " +
                           std::to_string(recorder->getMaxRecCh()) + " channel(s), 0 the microphone",
                       2);
    if (interrupted) return failRun("stopped before measuring: " + target + " is unchanged", 3);
    say("measuring %zu channel%s of %s (recording from %s)\n", channels.size(), channels.size() == 1 ? "" : "s",
        playback.c_str(), capture.c_str());

    // The recorder raised this thread to real-time priority: drop back, and let the run raise
    // only its own thread, so that shaping, identification and plotting don't compete with audio.
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    std::atomic<bool> done{false};
    std::thread progress(showProgress, std::cref(done));
    const auto endProgress = [&] {
        done = true;
        if (progress.joinable()) progress.join();
    };
    if (const int started = recorder->run(0); started != 0) {
        endProgress();
        return failRun("can't start the measurement thread: " + std::string(strerror(-started)), 1);
    }
    // A signal ends the measurement at the next period (or the preparation within one chirp period).
    while (recorder->threadRunning()) {
        if (interrupted) recorder->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    recorder->join();
    const int ran = recorder->getRunResult();
    // A stopped run never replaces the results in DIR: what it recorded is set aside unidentified.
    if (recorder->getForceStopState() || interrupted) {
        endProgress();
        folder.abandon();
        return failRun("the measurement was stopped: " + target + " is unchanged (this run's files are in " + target +
                           ".incomplete)",
                       3);
    }
    if (ran < 0 && !recorder->getRunError().empty()) {
        endProgress();
        folder.abandon();
        return failRun("nothing measured: " + recorder->getRunError(), 1);
    }
    if (ran < 0) {
        endProgress();
        folder.abandon();
        return failRun("the audio devices failed (code " + std::to_string(ran) + "): " + target + " is unchanged", 4);
    }

    // The recordings: clipped ones are refused unless asked for, quiet ones can't be identified.
    std::vector<int> recorded;
    for (int c : channels)
        recorded.push_back(c == -1 ? 0 : c == -2 ? 1 : c);
    std::vector<std::string> reasons(recorded.size());
    int clippedChannels = 0;
    for (size_t i = 0; i < recorded.size(); ++i) {
        const int c = recorded[i];
        if (c >= recorder->microphones.cols() || recorder->isChannelEmpty(static_cast<unsigned>(c)) != 0) {
            reasons[i] = "nothing recorded";
            continue;
        }
        const auto column = recorder->microphones.col(c).cwiseAbs();
        const Eigen::Index clipped = (column.array() >= fullScale).count();
        const double peak = column.maxCoeff();
        if (clipped > 0) {
            ++clippedChannels;
            say("%s: channel %d: %ld samples of the recording reached full scale (clipped): lower the level\n",
                keepClipped ? "warning" : "error", c, static_cast<long>(clipped));
        } else if (peak < quietPeak) {
            reasons[i] = "the recording is too quiet to identify (peak " +
                         std::to_string(static_cast<int>(std::floor(20.0 * std::log10(peak / fullScale)))) +
                         " dB of full scale)";
        }
    }
    if (clippedChannels > 0 && !keepClipped) {
        endProgress();
        folder.abandon();
        return failRun(std::to_string(clippedChannels) +
                           " recording(s) clipped: nothing identified (--ignore-clipping identifies them anyway)",
                       6);
    }

    // Identification of every recorded column against what its channel played: one period of the
    // shaped chirps, taken where the averaged recording's window starts (one sample before a
    // period boundary) and past the shaping's settling, so that both are the same steady period.
    // The identification keeps to the band that period excites.
    const Eigen::Index P = recorder->chirp.rows();
    Calibration played;
    played.chirps = recorder->chirps;
    played.microphones = recorder->microphones;
    std::vector<Eigen::VectorXd> responses;
    std::vector<int> flights;
    std::vector<std::pair<double, double>> bands;
    std::vector<long> arrivals, latencies; // samples, -1: unknown
    std::vector<std::vector<DistortionRow>> distortions;
    std::vector<Harmonics> harmonics;
    for (size_t i = 0; i < recorded.size(); ++i) {
        const int c = recorded[i];
        responses.emplace_back(Eigen::VectorXd::Zero(taps));
        flights.push_back(-1);
        bands.emplace_back(NAN, NAN);
        arrivals.push_back(-1);
        latencies.push_back(latency);
        distortions.emplace_back();
        harmonics.emplace_back();
        if (!reasons[i].empty()) continue;
        if (interrupted) {
            reasons[i] = "not identified: stopped";
            continue;
        }
        MobuCommon().setStatus("", "Identifying channel " + std::to_string(c),
                               static_cast<unsigned>(recorded.size() - 1), static_cast<unsigned>(i));
        played.chirp = played.chirps.col(c).segment(2 * P - 1, P).array();
        const Eigen::Index periods = played.chirps.rows() / P - 3;
        const auto average = [&](const Eigen::MatrixXd& recordings) {
            Eigen::VectorXd sum = Eigen::VectorXd::Zero(P);
            for (Eigen::Index k = 0; k < periods; ++k)
                sum += recordings.col(c).segment(P - 1 + k * P, P);
            return Eigen::VectorXd(sum / static_cast<double>(periods));
        };
        // The deconvolution over the excited band: the arrival, and before it the harmonics.
        const Eigen::VectorXd deconvolved = deconvolve(played.chirp.matrix(), average(played.microphones));
        const Arrival arrival = findArrival(deconvolved);
        if (arrival.clarity < clearArrival) {
            reasons[i] = "no clear arrival in the recording: nothing to identify";
            continue;
        }
        if (!align && arrival.at >= taps) {
            reasons[i] = "the sound arrives at sample " + std::to_string(arrival.at) + ", outside the " +
                         std::to_string(taps) + "-tap response: use --align, or --taps above " +
                         std::to_string(arrival.at);
            continue;
        }
        // On the worker thread, so that a signal is answered at once.
        auto ld = std::make_unique<LevinsonDurban>();
        ld->getImpulseModelThreaded(&played, taps, c, align, static_cast<float>(fs), band, 0.7);
        while (ld->isGetImpulseModelRunning() && !interrupted)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (interrupted && ld->isGetImpulseModelRunning()) {
            // The solver can't be cut short: leave without waiting for it (it writes nothing of ours).
            endProgress();
            folder.abandon();
            failRun("stopped during the identification: nothing written, " + target + " is unchanged", 3);
            ld.release(); // still in use by its thread until the process ends
            recorder.reset();
            _exit(3);
        }
        if (const int result = ld->getImpulseModelResult(); result != 0) {
            reasons[i] = "no model (code " + std::to_string(result) + ", see " + target + "/measure.log)";
            continue;
        }
        for (int n = 0; n < taps; ++n)
            responses[i](n) = ld->getH(n, c);
        flights[i] = align ? ld->getTOF(c) : static_cast<int>(arrival.at);
        bands.back() = {ld->getBandLow(c), ld->getBandHigh(c)};
        arrivals[i] = static_cast<long>(arrival.at);
        // The loop-back's arrival is the devices' latency (what was played, straight back).
        if (c < recorder->loopbacks.cols()) {
            const Arrival wire = findArrival(deconvolve(played.chirp.matrix(), average(recorder->loopbacks)));
            if (wire.clarity < clearArrival) {
                reasons[i] = "no clear arrival on the loop-back channel " + std::to_string(loopback) +
                             ": the devices' latency is unknown";
                responses[i].setZero();
                flights[i] = -1;
                continue;
            }
            latencies[i] = static_cast<long>(wire.at);
        }
        harmonics[i] = extractHarmonics(deconvolved, arrival.at, recorder->startFreq, recorder->stopFreq, taps);
        distortions[i] = distortion(harmonics[i], std::max(bands[i].first, recorder->startFreq), bands[i].second, fs);
    }
    endProgress();
    MobuCommon().setStatus("", "Identifying ... done ", 0, 0);

    int failures = 0, unwritten = 0;
    std::ostringstream csv, bandCsv, flight;
    flight << "channel,arrival_samples,latency_samples,acoustic_samples,acoustic_ms,acoustic_m\n";
    csv << "channel,samples,milliseconds\n";
    bandCsv << "channel,low_hz,high_hz\n";
    for (size_t i = 0; i < recorded.size(); ++i) {
        const std::string wav = "/impulse-" + std::to_string(recorded[i]) + ".wav";
        if (writeImpulse(dir + wav, responses[i]) < 0) {
            ++unwritten;
            say("channel %d: can't write %s\n", recorded[i], (target + wav).c_str());
        } else if (reasons[i].empty()) {
            say("channel %d: time of flight %d samples (%.3f ms), valid from %.0f Hz to %.0f Hz, %s\n", recorded[i],
                flights[i], 1000.0 * flights[i] / fs, bands[i].first, bands[i].second, (target + wav).c_str());
            if (latencies[i] >= 0) {
                const long acoustic = arrivals[i] - latencies[i];
                say("channel %d: acoustic time of flight %ld samples (%.3f ms, %.3f m at %.0f m/s) after the "
                    "devices' latency of %ld samples\n",
                    recorded[i], acoustic, 1000.0 * acoustic / fs, speedOfSound * acoustic / fs, speedOfSound,
                    latencies[i]);
            }
        }
        if (reasons[i].empty()) {
            for (int k = Harmonics::first; k <= Harmonics::last; ++k) {
                const std::string name = "/harmonic-" + std::to_string(k) + "-" + std::to_string(recorded[i]) + ".wav";
                if (writeImpulse(dir + name, harmonics[i].response[k - Harmonics::first]) < 0)
                    ++unwritten, say("channel %d: can't write %s\n", recorded[i], (target + name).c_str());
            }
            const std::string name = "/thd-" + std::to_string(recorded[i]) + ".csv";
            if (writeFileSafely(dir + name, distortionCsv(distortions[i])) < 0)
                ++unwritten, say("channel %d: can't write %s\n", recorded[i], (target + name).c_str());
        }
        flight << recorded[i] << ',';
        if (reasons[i].empty()) flight << arrivals[i];
        if (reasons[i].empty() && latencies[i] >= 0) {
            const long acoustic = arrivals[i] - latencies[i];
            flight << ',' << latencies[i] << ',' << acoustic << ',' << 1000.0 * acoustic / fs << ','
                   << speedOfSound * acoustic / fs << '\n';
        } else {
            flight << ",,,,\n";
        }
        csv << recorded[i] << ',' << flights[i] << ',' << 1000.0 * flights[i] / fs << '\n';
        if (reasons[i].empty()) bandCsv << recorded[i] << ',' << bands[i].first << ',' << bands[i].second << '\n';
        if (!reasons[i].empty()) {
            ++failures;
            say("channel %d: %s\n", recorded[i], reasons[i].c_str());
        }
    }
    if (writeFileSafely(dir + "/tof.csv", csv.str()) < 0) ++unwritten, say("can't write %s/tof.csv\n", target.c_str());
    if (writeFileSafely(dir + "/bands.csv", bandCsv.str()) < 0)
        ++unwritten, say("can't write %s/bands.csv\n", target.c_str());
    if (writeFileSafely(dir + "/flight.csv", flight.str()) < 0)
        ++unwritten, say("can't write %s/flight.csv\n", target.c_str());
    const bool drawn = plotResponses(dir, recorded, responses);
    std::vector<int> analysed;
    std::vector<std::vector<DistortionRow>> analyses;
    for (size_t i = 0; i < recorded.size(); ++i)
        if (reasons[i].empty()) analysed.push_back(recorded[i]), analyses.push_back(distortions[i]);
    const bool distortionDrawn = analysed.empty() || plotDistortion(dir, analysed, analyses);
    if (recorder->getXrunCount() > 0)
        say("warning: %d over/under-runs during the measurement; the recordings have gaps\n", recorder->getXrunCount());
    if (interrupted) {
        folder.abandon();
        return failRun("the measurement was stopped: " + target + " is unchanged", 3);
    }
    // The run completed: its folder takes DIR's place, the earlier results become DIR.previous.
    if (const std::string wrong = folder.commit(); !wrong.empty()) return failRun(wrong, 1);
    if (!drawn)
        say("no picture: gnuplot failed or is missing (see %s/measure.log)\n", target.c_str());
    else
        say("picture: %s/impulses.png\n", target.c_str());
    if (!distortionDrawn)
        say("no distortion picture: gnuplot failed or is missing (see %s/measure.log)\n", target.c_str());
    else if (!analysed.empty())
        say("distortion: %s/distortion.png\n", target.c_str());
    if (unwritten > 0) return failRun(std::to_string(unwritten) + " file(s) could not be written in " + target, 1);
    return failures ? failRun(std::to_string(failures) + " channel(s) could not be identified", 5) : 0;
}
