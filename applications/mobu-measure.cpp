// mobu-measure: measures loudspeakers through the chirp recorder and identifies their
// impulse responses, for a person at the box without the user interface.
//
//   mobu-measure --playback=DEV --capture=DEV --channels=0,3|left|right|all --taps=N
//                [--align] [--band=FC] [--out=DIR] [--status=FILE] [--verbose]
//
// Writes DIR/impulse-<c>.wav (one per recorded channel), DIR/tof.csv (time of flight in
// samples and milliseconds) and DIR/impulses.png (the responses and their magnitudes);
// the library's own diagnostics go to DIR/measure.log.

#include <FrequencyWindow.h>
#include <LevinsonDurban.h>
#include <MobuEmbedded/ChirpRecorder.h>

#include <OptionParser.h>
#include <Sox.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdarg>
#include <complex>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* usage = "usage: mobu-measure --playback=DEV --capture=DEV --channels=0,3|left|right|all --taps=N\n"
                    "                    [--align] [--band=FC] [--out=DIR] [--status=FILE] [--verbose]\n"
                    "  --channels  playback channels to measure (a comma list, left = every even channel at once,\n"
                    "              right = every odd one, all = each channel in turn)\n"
                    "  --taps      impulse response length, 1 ... 48000 (one chirp period)\n"
                    "  --align     put each response's arrival 3 ms in; its shift is the time of flight\n"
                    "  --band      centre (Hz) of the band in which the arrival is looked for (with --align)\n"
                    "  --out       output folder (default ./measurement)\n"
                    "  --status    the status file the interface polls (default /tmp/status.json)\n";

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

/// Shows the status file's messages while `done` is false: one line per step, a bar on a terminal.
void showProgress(const std::atomic<bool>& done) {
    const auto start = std::chrono::steady_clock::now();
    const bool tty = isatty(fileno(terminal));
    std::string last, stepsOf;
    std::set<unsigned> steps;
    while (!done.load()) {
        std::ifstream file(MobuCommon::getStatusFile());
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
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
                const int width = 30, filled = static_cast<int>(width * count / (max + 1));
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

int writeImpulse(const std::string& path, const Eigen::VectorXd& h) {
    Sox<double> out;
    const double peak = h.size() > 0 ? h.cwiseAbs().maxCoeff() : 0.0;
    int ret = out.openWrite(path, 48000.0, 1, peak > 0.0 ? peak : 1.0, 32);
    if (ret < 0) return ret;
    ret = out.write(h);
    const int closed = out.closeWrite();
    return ret < 0 ? ret : closed;
}

/// The responses (ms) and their magnitudes (dB on a log-frequency axis) as a PNG, through gnuplot.
bool plot(const std::string& dir, const std::vector<int>& channels, const std::vector<Eigen::VectorXd>& h) {
    std::ofstream data(dir + "/impulses.dat");
    std::ofstream spectra(dir + "/magnitudes.dat");
    const Eigen::Index taps = h.empty() ? 0 : h[0].size();
    for (Eigen::Index n = 0; n < taps; ++n) {
        data << 1000.0 * n / 48000.0;
        for (const auto& col : h)
            data << ' ' << col(n);
        data << '\n';
    }
    // Magnitudes on 400 log-spaced frequencies from 10 Hz to 24 kHz (a direct DFT of each response).
    for (int i = 0; i < 400; ++i) {
        const double f = 10.0 * std::pow(2400.0, i / 399.0);
        spectra << f;
        for (const auto& col : h) {
            std::complex<double> sum = 0;
            for (Eigen::Index n = 0; n < col.size(); ++n)
                sum += col(n) * std::polar(1.0, -2.0 * M_PI * f * n / 48000.0);
            spectra << ' ' << 20.0 * std::log10(std::max(std::abs(sum), 1e-12));
        }
        spectra << '\n';
    }
    data.close();
    spectra.close();
    std::ofstream script(dir + "/impulses.gp");
    script << "set terminal pngcairo size 1200,900 noenhanced\n"
              "set output '"
           << dir
           << "/impulses.png'\nset multiplot layout 2,1\nset grid\n"
              "set title 'Impulse responses'\nset xlabel 'time (ms)'\nset ylabel 'amplitude'\n";
    const auto series = [&](const std::string& file) {
        std::string s = "plot ";
        for (size_t i = 0; i < channels.size(); ++i)
            s += (i ? ", '" : "'") + file + "' using 1:" + std::to_string(i + 2) + " with lines title 'channel " +
                 std::to_string(channels[i]) + "'";
        return s + "\n";
    };
    script << series(dir + "/impulses.dat");
    script << "set title 'Magnitude responses'\nset logscale x\nset xrange [10:24000]\nset xlabel 'frequency (Hz)'\n"
              "set ylabel 'dB'\n"
           << series(dir + "/magnitudes.dat") << "unset multiplot\n";
    script.close();
    // gnuplot with the script as its argument, no shell: the folder name is never parsed.
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        const std::string path = dir + "/impulses.gp";
        execlp("gnuplot", "gnuplot", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char* argv[]) {
    OptionParser options(argc, argv);
    if (options.has("help") || options.has("h")) {
        fputs(usage, stdout);
        return 0;
    }
    std::string playback, capture, channelText, out = "measurement";
    int taps = 0;
    double band = 0.0;
    if (options.getArg("playback", playback) != 0 || options.getArg("capture", capture) != 0 ||
        options.getArg("channels", channelText) != 0 || options.getArg("taps", taps) != 0)
        return fail(std::string("--playback, --capture, --channels and --taps are needed\n") + usage, 2);
    if (options.getArg("out", out) == -2 || options.getArg("band", band) == -2 || !(band >= 0.0))
        return fail("bad --out or --band value", 2);
    if (out.find('\'') != std::string::npos || out.find('\n') != std::string::npos)
        return fail("--out=" + out + ": a folder name with a quote or a line feed can't be plotted", 2);
    if (taps < 1 || taps > 48000)
        return fail("--taps=" + std::to_string(taps) + " must be 1 ... 48000 (one chirp period)", 2);
    const bool align = options.has("align");
    std::string status;
    if (options.getArg("status", status) == 0) MobuCommon::setStatusFile(status);
    if (mkdir(out.c_str(), 0755) != 0 && errno != EEXIST) return fail("can't make " + out + ": " + strerror(errno));

    // The library's diagnostics go to the log; the terminal keeps the progress.
    if (!options.has("verbose")) {
        const int log = open((out + "/measure.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log < 0) return fail("can't write " + out + "/measure.log: " + strerror(errno));
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

    ChirpRecorder recorder(playback.c_str(), capture.c_str());
    if (!recorder.Playback::isOpen()) return fail("can't open the playback device " + playback);
    if (!recorder.Capture::isOpen()) return fail("can't open the capture device " + capture);
    std::vector<int> channels;
    if (!parseChannels(channelText, recorder.getMaxPlayCh(), channels))
        return fail("bad --channels=" + channelText + ": give 0 ... " + std::to_string(recorder.getMaxPlayCh() - 1) +
                        " separated by commas, or left, right or all",
                    2);
    for (int c : channels)
        recorder.setPlayCh(c);
    say("measuring %zu channel%s of %s (recording from %s)\n", channels.size(), channels.size() == 1 ? "" : "s",
        playback.c_str(), capture.c_str());

    // The recorder raised this thread to real-time priority: drop back, and let the run raise
    // only its own thread, so that shaping, identification and plotting don't compete with audio.
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::atomic<bool> done{false};
    std::thread progress(showProgress, std::cref(done));
    if (const int started = recorder.run(0); started != 0) {
        done = true;
        progress.join();
        return fail("can't start the measurement thread: " + std::string(strerror(-started)));
    }
    // Ctrl-C ends the measurement at the next period; what was recorded is still identified.
    while (recorder.threadRunning()) {
        if (interrupted) recorder.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    recorder.join();
    const int ran = recorder.getRunResult();

    // Identification of every recorded column.
    std::vector<int> recorded;
    for (int c : channels)
        recorded.push_back(c == -1 ? 0 : c == -2 ? 1 : c);
    std::vector<Eigen::VectorXd> responses;
    std::vector<int> flights;
    int failures = 0;
    for (size_t i = 0; i < recorded.size(); ++i) {
        const int c = recorded[i];
        MobuCommon().setStatus("", "Identifying channel " + std::to_string(c),
                               static_cast<unsigned>(recorded.size() - 1), static_cast<unsigned>(i));
        LevinsonDurban ld;
        if (recorder.isChannelEmpty(static_cast<unsigned>(c)) != 0 ||
            ld.getImpulseModel(&recorder, taps, c, align, 48000.0f, band, 0.7) != 0) {
            ++failures;
            responses.emplace_back(Eigen::VectorXd::Zero(taps));
            flights.push_back(-1);
            continue;
        }
        Eigen::VectorXd h(taps);
        for (int n = 0; n < taps; ++n)
            h(n) = ld.getH(n, c);
        if (!align) { // the time of flight from the phase-only deconvolution of the stacked signals
            Eigen::MatrixXd x(ld.getXN(), 1), y(ld.getYN(), 1);
            for (int n = 0; n < ld.getXN(); ++n)
                x(n, 0) = ld.getX(n, 0);
            for (int n = 0; n < ld.getYN(); ++n)
                y(n, 0) = ld.getY(n, c);
            ld.timeOfFlight(x, y);
            flights.push_back(ld.getTOF(0));
        } else {
            flights.push_back(ld.getTOF(c));
        }
        responses.push_back(h);
    }
    done = true;
    progress.join();
    MobuCommon().setStatus("", "Identifying ... done ", 0, 0);

    std::ofstream csv(out + "/tof.csv");
    csv << "channel,samples,milliseconds\n";
    for (size_t i = 0; i < recorded.size(); ++i) {
        const std::string wav = out + "/impulse-" + std::to_string(recorded[i]) + ".wav";
        if (writeImpulse(wav, responses[i]) < 0) ++failures;
        csv << recorded[i] << ',' << flights[i] << ',' << 1000.0 * flights[i] / 48000.0 << '\n';
        if (flights[i] >= 0)
            say("channel %d: time of flight %d samples (%.3f ms), %s\n", recorded[i], flights[i],
                1000.0 * flights[i] / 48000.0, wav.c_str());
        else
            say("channel %d: nothing recorded or no model (see %s/measure.log)\n", recorded[i], out.c_str());
    }
    csv.close();
    if (!plot(out, recorded, responses))
        say("no picture: gnuplot failed or is missing (see %s/measure.log)\n", out.c_str());
    else
        say("picture: %s/impulses.png\n", out.c_str());
    if (recorder.getXrunCount() > 0)
        say("warning: %d over/under-runs during the measurement; the recordings have gaps\n", recorder.getXrunCount());
    if (recorder.getForceStopState()) return fail("the measurement was stopped", 3);
    if (ran < 0) return fail("the audio devices failed (code " + std::to_string(ran) + ")", 4);
    return failures ? fail(std::to_string(failures) + " channel(s) could not be identified", 5) : 0;
}
