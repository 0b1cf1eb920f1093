// mobu-crossover: designs the crossover filters of multi-way loudspeakers from their drivers'
// own measurements, and verifies the summed loudspeakers by measuring them through the filters.
//
//   mobu-crossover --in=DIR --out=FILE [--speakers=FILE.json] [--guard=FILE.json] [--merge]
//                  [--taps=N] [--phase=linear|minimum] [--max-boost=DB] [--smoothing=1/K] [--plot=FILE.png]
//   mobu-crossover --verify --in=DIR --filter=FILE --playback=DEV --capture=DEV [--speakers=FILE.json]
//                  [--smoothing=1/K] [--plot=FILE.png]
//
// Every file is written through SafeFile (a new file renamed into place), so a running
// processor's file watch sees only finished files.

#include "ToolSupport.h"

#include <CoefficientMerge.h>
#include <Crossover.h>
#include <Loudspeakers.h>
#include <MobuEmbedded/ChirpRecorder.h>
#include <MobuEmbedded/MobuCommon.h>
#include <RealDFT.h>

#include <OptionParser.h>
#include <SafeFile.h>
#include <ScaleReference.h>
#include <Sox.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int outputs = 8;
volatile sig_atomic_t interrupted = 0;
void onSignal(int) {
    interrupted = 1;
}

const char* usage =
    "usage: mobu-crossover --in=DIR --out=FILE [--speakers=FILE.json] [--guard=FILE.json] [--merge] [--taps=N]\n"
    "                      [--phase=linear|minimum] [--max-boost=DB] [--margin=OCTAVES] [--smoothing=1/K]\n"
    "                      [--plot=FILE.png]\n"
    "       mobu-crossover --verify --in=DIR --filter=FILE --playback=DEV --capture=DEV [--speakers=FILE.json]\n"
    "                      [--smoothing=1/K] [--plot=FILE.png]\n"
    "  --in        a mobu-measure folder in which every described driver was measured alone at one\n"
    "              microphone position (impulse-<c>.wav, tof.csv, bands.csv; or its pos-1)\n"
    "  --speakers  the loudspeaker description (default ~/.mobu/loudspeakers.json)\n"
    "  --out       the coefficient file: the described outputs' filters; the other outputs silent, or\n"
    "              with --merge kept as the existing file has them (the file before kept as FILE.previous)\n"
    "  --guard     the output guard file derived from the protection (default ~/.mobu/guard.json); the\n"
    "              outputs not described keep their entries\n"
    "  --taps      filter length, 1024 ... 262144 (default 16384; linear phase adds taps/2 of latency)\n"
    "  --phase     linear (default: the sum is flat and linear in phase) or minimum (Linkwitz-Riley slopes only)\n"
    "  --max-boost largest boost of a driver's correction (default 6 dB)\n"
    "  --margin    octaves beyond each crossover edge in which a driver is corrected (default 1)\n"
    "  --smoothing 1/K octave (default 1/6)\n"
    "  --plot      a picture: each driver's predicted response through its filter and the predicted sum\n"
    "  --verify    measure every driver alone and then every loudspeaker with all its drivers at once\n"
    "              (the sweep on all of its outputs: the even ones for the loudspeaker on output 0, the odd\n"
    "              ones for output 1), through FILE as the measurement filter (~/.mobu/fir-measure.wav,\n"
    "              put back afterwards); the recorded responses go to DIR/verify/ (driver-<c>.wav, sum-<i>.wav,\n"
    "              and DIR/verify/loudspeakers/, the sums as a measurement for mobu-correct)\n"
    "Exit status: 0 done; 1 a file or device could not be used; 2 bad options, description or\n"
    "measurement; 3 the verifying measurement failed or was stopped.\n";

const toolsupport::KnownOption knownOptions[] = {
    {"in", true},     {"out", true},      {"speakers", true},  {"guard", true},     {"merge", false}, {"taps", true},
    {"phase", true},  {"margin", true},   {"max-boost", true}, {"smoothing", true}, {"plot", true},   {"verify", false},
    {"filter", true}, {"playback", true}, {"capture", true},   {"help", false},     {"h", false}};

int fail(const std::string& text, int code) {
    fprintf(stderr, "mobu-crossover: %s\n", text.c_str());
    return code;
}

bool parseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value);
}

/// Splits a CSV line.
std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, ',');)
        out.push_back(field);
    return out;
}

struct Measurement {
    double fs = 0.0;
    std::vector<Crossover::Measured> drivers = std::vector<Crossover::Measured>(outputs);
};

/// Reads a mobu-measure folder (or its first position): "" or what is wrong.
std::string readMeasurement(std::string dir, Measurement& m) {
    struct stat st {};
    if (stat((dir + "/tof.csv").c_str(), &st) != 0 && stat((dir + "/pos-1/tof.csv").c_str(), &st) == 0) dir += "/pos-1";
    std::ifstream csv(dir + "/tof.csv");
    if (!csv) return "can't read " + dir + "/tof.csv: " + strerror(errno);
    std::string line;
    for (int number = 1; std::getline(csv, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || std::isalpha(static_cast<unsigned char>(line[0]))) continue;
        const auto f = fieldsOf(line);
        double channel = -1, samples = 0;
        if (f.size() < 2 || !parseNumber(f[0], channel) || !parseNumber(f[1], samples) ||
            channel != std::floor(channel) || channel < 0 || channel >= outputs)
            return dir + "/tof.csv line " + std::to_string(number) + " \"" + line + "\" is not channel,samples,ms";
        if (samples < 0) continue; // not identified
        const std::string wav = dir + "/impulse-" + std::to_string(static_cast<int>(channel)) + ".wav";
        Sox<double> in;
        Eigen::MatrixXd h;
        const int opened = in.openRead(wav);
        if (opened < 0 && opened != SOX_REFERENCE_WARNING) return "can't read the response " + wav;
        if (in.read(h) < 0 || h.rows() < 16 || h.cols() != 1 || !h.allFinite())
            return "the response " + wav + " is not one readable, finite channel";
        if (m.fs != 0.0 && in.getFSIn() != m.fs) return "the response " + wav + " is at another rate than the others";
        m.fs = in.getFSIn();
        auto& d = m.drivers[static_cast<size_t>(channel)];
        d.impulse = h.col(0);
        d.shift = samples;
    }
    if (m.fs == 0.0) return dir + "/tof.csv names no identified channel";
    std::ifstream bands(dir + "/bands.csv");
    for (int number = 1; bands && std::getline(bands, line); ++number) {
        const auto f = fieldsOf(line);
        double channel = -1, lo = 0, hi = 0;
        if (f.size() != 3 || !parseNumber(f[0], channel) || !parseNumber(f[1], lo) || !parseNumber(f[2], hi)) continue;
        if (channel >= 0 && channel < outputs) {
            m.drivers[static_cast<size_t>(channel)].validLowHz = lo;
            m.drivers[static_cast<size_t>(channel)].validHighHz = hi;
        }
    }
    return "";
}

std::string homeFile(const char* name) {
    MobuCommon home;
    return home.setFileName(name) == 0 ? home.getFileName() : std::string();
}

/// One panel per loudspeaker; each panel's curves (dB on `f`) with their titles.
struct Panel {
    std::string title;
    std::vector<std::pair<std::string, Eigen::VectorXd>> curves;
};
std::string plot(const std::string& png, const std::string& title, const Eigen::VectorXd& f,
                 const std::vector<Panel>& panels) {
    std::ostringstream data, gp;
    for (const Panel& p : panels) {
        for (Eigen::Index i = 0; i < f.size(); ++i) {
            data << f(i);
            for (const auto& c : p.curves)
                data << ' ' << (std::isfinite(c.second(i)) ? c.second(i) : -200.0);
            data << '\n';
        }
        data << "\n\n";
    }
    const std::string dataFile = png + ".dat";
    if (png.find_first_of("'\n\r") == std::string::npos)
        if (const int w = writeFileSafely(dataFile, data.str()); w < 0)
            return "can't write " + dataFile + ": " + SafeFileDebug().message(w);
    return toolsupport::drawPicture(png, [&](const std::string& output) {
        gp << "set terminal pngcairo size 1200," << 450 * panels.size() << "\nset output '" << output << "'\n"
           << "set multiplot layout " << panels.size() << ",1 title '" << title << "'\n"
           << "set logscale x\nset xrange [20:20000]\nset yrange [-70:12]\nset grid\nset xlabel 'frequency (Hz)'\n"
           << "set ylabel 'dB (1/6 octave)'\nset key outside right\n";
        for (size_t p = 0; p < panels.size(); ++p) {
            gp << "set title '" << panels[p].title << "'\nplot ";
            for (size_t c = 0; c < panels[p].curves.size(); ++c)
                gp << (c ? ", " : "") << "'" << dataFile << "' index " << p << " using 1:" << c + 2 << " with lines lw "
                   << (c + 1 == panels[p].curves.size() ? 3 : 1) << " title '" << panels[p].curves[c].first << "'";
            gp << "\n";
        }
        gp << "unset multiplot\n";
        return gp.str();
    });
}

/// A name without quotes for gnuplot titles.
std::string plain(std::string s) {
    std::replace(s.begin(), s.end(), '\'', ' ');
    return s;
}

std::string hz(double f) {
    char b[32];
    snprintf(b, sizeof b, f >= 1000 ? "%.3gk" : "%.0f", f >= 1000 ? f / 1000 : f);
    return f > 0 ? b : "-";
}

struct Options {
    std::string in, out, speakers, guard, plot, filter, playback, capture;
    bool merge = false;
    Crossover::Settings settings;
};

int readCommon(OptionParser& options, Options& o, std::vector<loudspeakers::Driver>& drivers, Measurement& m) {
    options.getArg("in", o.in);
    if (o.in.empty()) return fail("--in is needed: the measurement folder (see --help)", 2);
    if (!options.has("speakers"))
        o.speakers = homeFile(loudspeakers::DEFAULT_NAME);
    else
        options.getArg("speakers", o.speakers);
    std::string error;
    if (const int r = loudspeakers::readFile(o.speakers, drivers, error, outputs); r != 0)
        return fail(error, r == -ENOENT ? 1 : 2);
    if (const std::string wrong = readMeasurement(o.in, m); !wrong.empty()) return fail(wrong, 2);
    std::string text;
    if (options.getArg("smoothing", text) == 0) {
        double k = 0;
        if (text.compare(0, 2, "1/") != 0 || !parseNumber(text.substr(2), k))
            return fail("--smoothing=" + text + " must be 1/K (e.g. 1/6)", 2);
        o.settings.smoothing = k;
    }
    o.settings.fs = m.fs;
    o.settings.outputs = outputs;
    options.getArg("plot", o.plot);
    return 0;
}

int design(OptionParser& options, Options& o) {
    std::vector<loudspeakers::Driver> drivers;
    Measurement m;
    if (const int r = readCommon(options, o, drivers, m); r != 0) return r;
    std::string text;
    if (options.getArg("taps", text) == 0) {
        double v = 0;
        if (!parseNumber(text, v) || v != std::floor(v)) return fail("--taps=" + text + " must be a whole number", 2);
        o.settings.taps = static_cast<int>(std::clamp(v, 0.0, 1e9));
    }
    if (options.getArg("phase", text) == 0) {
        if (text != "linear" && text != "minimum") return fail("--phase=" + text + " must be linear or minimum", 2);
        o.settings.phase = text == "linear" ? Crossover::Phase::linear : Crossover::Phase::minimum;
    }
    if (options.getArg("margin", text) == 0 && !parseNumber(text, o.settings.marginOctaves))
        return fail("--margin=" + text + " must be a number of octaves", 2);
    if (options.getArg("max-boost", text) == 0 && !parseNumber(text, o.settings.maxBoostDB))
        return fail("--max-boost=" + text + " must be a number of dB", 2);
    if (o.settings.phase == Crossover::Phase::minimum)
        for (const auto& d : drivers)
            for (const auto* e : {&d.low, &d.high})
                if (e->present() && !e->lr)
                    return fail("output " + std::to_string(d.output) +
                                    ": a \"linear\" slope has no minimum-phase form; "
                                    "use LR12, LR24 or LR48 with --phase=minimum",
                                2);
    options.getArg("out", o.out);
    if (o.out.empty()) return fail("--out is needed: the coefficient file (see --help)", 2);
    if (!options.has("guard"))
        o.guard = homeFile(OutputGuard::DEFAULT_NAME);
    else
        options.getArg("guard", o.guard);
    o.merge = options.has("merge");
    Crossover xo;
    std::string error;
    if (xo.setSettings(o.settings, error) != 0 || xo.design(drivers, m.drivers, error) != 0) return fail(error, 2);
    const auto& s = xo.settings();

    printf("designed %zu output(s): %s phase, %d taps (latency %d samples), 1/%g octave, boost at most %g dB\n",
           xo.reports().size(), s.phase == Crossover::Phase::linear ? "linear" : "minimum", s.taps,
           s.phase == Crossover::Phase::linear ? s.taps / 2 : 64, s.smoothing, s.maxBoostDB);
    printf("%-6s %-12s %-9s %-13s %-13s %9s %8s %9s %9s %9s\n", "output", "loudspeaker", "role", "band Hz",
           "corrected Hz", "delay", "level dB", "boost dB", "-2oct dB", "+2oct dB");
    for (const auto& r : xo.reports()) {
        char below[16] = "-", above[16] = "-";
        if (std::isfinite(r.belowDB)) snprintf(below, sizeof below, "%.1f", r.belowDB);
        if (std::isfinite(r.aboveDB)) snprintf(above, sizeof above, "%.1f", r.aboveDB);
        printf("%-6d %-12s %-9s %-13s %-13s %9.2f %+8.2f %+9.2f %9s %9s\n", r.output, r.loudspeaker.c_str(),
               r.role.c_str(), (hz(r.lowHz) + "-" + hz(r.highHz)).c_str(),
               (hz(r.correctLowHz) + "-" + hz(r.correctHighHz)).c_str(), r.delay, r.gainDB, r.maxBoostDB, below, above);
    }
    // The predicted sums against the flat target.
    const Eigen::VectorXd& f = xo.frequencies();
    for (const auto& sum : xo.sums()) {
        double worst = 0, squares = 0;
        int count = 0;
        for (Eigen::Index i = 0; i < f.size(); ++i)
            if (f(i) >= 40.0 && f(i) <= 16000.0)
                worst = std::max(worst, std::abs(sum.predictedDB(i))),
                squares += sum.predictedDB(i) * sum.predictedDB(i), ++count;
        printf("loudspeaker %s: predicted sum within %.2f dB of the target (RMS %.2f dB, 40 Hz ... 16 kHz)\n",
               sum.loudspeaker.c_str(), worst, std::sqrt(squares / std::max(count, 1)));
    }

    // The picture first: a design whose picture can't be drawn changes no file.
    if (!o.plot.empty()) {
        std::vector<Panel> panels;
        for (const auto& sum : xo.sums()) {
            Panel p{"loudspeaker " + plain(sum.loudspeaker) + ": predicted, each driver through its filter", {}};
            for (const auto& r : xo.reports())
                if (r.loudspeaker == sum.loudspeaker)
                    p.curves.push_back({"output " + std::to_string(r.output) + " " + plain(r.role), r.predictedDB});
            p.curves.push_back({"sum", sum.predictedDB});
            panels.push_back(p);
        }
        if (const std::string wrong = plot(o.plot, "Crossover design", f, panels); !wrong.empty())
            return fail(wrong + " (nothing written)", 1);
        printf("picture: %s\n", o.plot.c_str());
    }

    // The guard, checked before anything is written: the described outputs' protection, the
    // others' entries as they were.  An entry the description would drop is refused rather than
    // loosened without a word.
    std::vector<OutputGuard::Limits> limits;
    std::string guardError;
    const int had = OutputGuard::readFile(o.guard, limits, guardError, outputs);
    if (had != 0 && had != -ENOENT) {
        std::replace(guardError.begin(), guardError.end(), '\n', ' ');
        return fail(guardError + " (nothing written)", 2);
    }
    limits.resize(outputs);
    for (const auto& d : drivers) {
        OutputGuard::Limits& entry = limits[static_cast<size_t>(d.output)];
        if (!d.protected_ && entry.guarded()) {
            std::vector<OutputGuard::Limits> only(limits.size());
            only[static_cast<size_t>(d.output)] = entry;
            return fail(o.guard + ": " + OutputGuard::describe(only) + ", and " + o.speakers +
                            " gives it no protection: add it to the description, or remove the entry from the guard "
                            "first (nothing written)",
                        2);
        }
        if (d.protected_) entry = d.protection;
    }
    // The guard before the coefficients: a processor that sees the new filters already has their
    // protection.
    if (const int w = writeFileSafely(o.guard, loudspeakers::guardText(limits)); w < 0)
        return fail("can't write " + o.guard + ": " + SafeFileDebug().message(w) + " (nothing written)", 1);
    printf("guard: %s (%s)\n", o.guard.c_str(), OutputGuard::describe(limits).c_str());

    // The coefficient file.
    std::vector<int> described;
    for (const auto& r : xo.reports())
        described.push_back(r.output);
    if (o.merge) {
        std::string notes;
        if (const std::string wrong = coefficientmerge::merge(o.out, s.fs, xo.filters(), described, notes);
            !wrong.empty())
            return fail(wrong + " (the guard was written)", wrong.find(": not merged") != std::string::npos ? 2 : 1);
        if (!notes.empty()) printf("note: %s\n", notes.c_str());
    } else {
        if (const std::string wrong = coefficientmerge::keepBackup(o.out); !wrong.empty())
            return fail(wrong + " (the guard was written)", 1);
        if (const std::string wrong = toolsupport::replaceAudioFile(o.out, s.fs, xo.filters()); !wrong.empty())
            return fail(wrong + " (the guard was written)", 1);
    }
    printf("coefficients: %s (%d outputs, %s)\n", o.out.c_str(), outputs,
           o.merge ? "the outputs not described kept" : "the outputs not described silent");
    return 0;
}

/// One run of the recorder on `selected` (an output, or -1 / -2 for every even / odd output at
/// once): the response through the measurement filter, the recording over the reference chirp.
int measureThrough(ChirpRecorder& recorder, int selected, Eigen::Index taps, Eigen::VectorXd& response) {
    if (recorder.setPlayCh(selected) != 0) return -1;
    if (recorder.run(0) != 0) return -1;
    while (recorder.threadRunning()) {
        if (interrupted) recorder.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    recorder.join();
    if (interrupted) return -3;
    const int ran = recorder.getRunResult();
    if (ran < 0 || recorder.getForceStopState()) return ran < 0 ? ran : -1;
    const Eigen::Index P = recorder.chirp.rows(), played = recorder.chirps.rows();
    const Eigen::Index column = selected >= 0 ? selected : selected == -1 ? 0 : 1;
    // Periods after the measurement filter has settled and before the chirps end.
    const Eigen::Index start = (1 + (taps + P - 1) / P) * P - 1;
    const Eigen::Index periods = (played - start) / P;
    if (periods < 2 || column >= recorder.microphones.cols()) return -2;
    Eigen::VectorXd averaged = Eigen::VectorXd::Zero(P);
    for (Eigen::Index k = 0; k < periods; ++k)
        averaged += recorder.microphones.col(column).segment(start + k * P, P);
    averaged /= static_cast<double>(periods);
    const Eigen::VectorXcd X = realdft::forward(recorder.chirp.matrix()), Y = realdft::forward(averaged);
    const double floor = 1e-2 * X.cwiseAbs().maxCoeff();
    Eigen::VectorXcd H = Eigen::VectorXcd::Zero(X.size());
    for (Eigen::Index k = 1; k < X.size(); ++k)
        if (std::abs(X(k)) > floor) H(k) = Y(k) / X(k);
    response = realdft::inverse(H, P);
    return 0;
}

Eigen::Index powerOfTwoAbove(Eigen::Index n) {
    Eigen::Index p = 1;
    while (p < n)
        p *= 2;
    return p;
}

/// Worst and RMS of v over the frequencies f within lo ... hi.
void figures(const Eigen::VectorXd& f, const Eigen::VectorXd& v, double lo, double hi, double& worst, double& rms) {
    worst = 0, rms = 0;
    int n = 0;
    for (Eigen::Index i = 0; i < f.size(); ++i)
        if (f(i) >= lo && f(i) <= hi) worst = std::max(worst, std::abs(v(i))), rms += v(i) * v(i), ++n;
    rms = std::sqrt(rms / std::max(n, 1));
}

int verify(OptionParser& options, Options& o) {
    std::vector<loudspeakers::Driver> drivers;
    Measurement m;
    if (const int r = readCommon(options, o, drivers, m); r != 0) return r;
    options.getArg("filter", o.filter);
    options.getArg("playback", o.playback);
    options.getArg("capture", o.capture);
    if (o.filter.empty() || o.playback.empty() || o.capture.empty())
        return fail("--verify needs --filter, --playback and --capture (see --help)", 2);
    Crossover xo;
    std::string error;
    if (xo.setSettings(o.settings, error) != 0) return fail(error, 2);
    // Each loudspeaker is played on the even or the odd outputs at once.
    const std::vector<std::string> names = loudspeakers::names(drivers);
    std::vector<int> parity;
    for (const std::string& name : names) {
        int p = -1;
        for (const auto& d : drivers)
            if (d.loudspeaker == name) {
                if (p >= 0 && d.output % 2 != p)
                    return fail("loudspeaker " + name +
                                    " has even and odd outputs: it can't be measured as one "
                                    "(the sweep plays on every even or every odd output)",
                                2);
                p = d.output % 2;
            }
        parity.push_back(p);
    }
    Sox<double> filterFile;
    Eigen::MatrixXd coefficients;
    const int opened = filterFile.openRead(o.filter);
    if ((opened < 0 && opened != SOX_REFERENCE_WARNING) || filterFile.read(coefficients) < 0 ||
        coefficients.rows() < 1 || coefficients.cols() != outputs)
        return fail("can't read the coefficient file " + o.filter + " (" + std::to_string(outputs) + " outputs)", 1);
    if (filterFile.getFSIn() != m.fs)
        return fail("the coefficient file " + o.filter + " is at another rate than the measurement", 2);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The filters become the measurement filter for the run; the one there is kept aside.
    toolsupport::MeasurementFilterSwap measurementFilter; // put back on every way out
    if (const std::string wrong = measurementFilter.install(m.fs, coefficients); !wrong.empty()) return fail(wrong, 1);
    const std::string folder = o.in + "/verify";
    if (const std::string wrong = toolsupport::makeFolder(folder); !wrong.empty()) {
        return fail(wrong, 1);
    }
    // The recorder's own lines go to DIR/verify/verify.log; the terminal keeps the figures.
    const std::string logPath = folder + "/verify.log";
    SafeFile log;
    if (const int made = log.create(logPath); made < 0) {
        return fail("can't write " + logPath + ": " + SafeFileDebug().message(made), 1);
    }
    fflush(stdout);
    fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    dup2(log.fd(), STDOUT_FILENO);
    dup2(log.fd(), STDERR_FILENO);
    const auto toTerminal = [&] {
        fflush(stdout);
        fflush(stderr);
        dup2(savedOut, STDOUT_FILENO);
        dup2(savedErr, STDERR_FILENO);
        close(savedOut);
        close(savedErr);
        if (log.fd() >= 0) log.commit();
    };
    std::map<int, Eigen::VectorXd> alone;
    std::vector<Eigen::VectorXd> summed;
    int failed = 0;
    std::string what;
    {
        auto recorder = std::make_unique<ChirpRecorder>(o.playback.c_str(), o.capture.c_str());
        if (!recorder->Playback::isOpen() || !recorder->Capture::isOpen()) {
            toTerminal();
            return fail("can't open the devices " + o.playback + " / " + o.capture, 1);
        }
        for (const auto& d : drivers) {
            dprintf(savedOut, "measuring output %d alone through %s\n", d.output, o.filter.c_str());
            if ((failed = measureThrough(*recorder, d.output, coefficients.rows(), alone[d.output])) != 0) {
                what = "output " + std::to_string(d.output);
                break;
            }
        }
        for (size_t i = 0; i < names.size() && failed == 0; ++i) {
            dprintf(savedOut, "measuring loudspeaker %s: all its drivers at once\n", names[i].c_str());
            summed.emplace_back();
            if ((failed = measureThrough(*recorder, parity[i] == 0 ? -1 : -2, coefficients.rows(), summed.back())) != 0)
                what = "loudspeaker " + names[i];
        }
    }
    measurementFilter.restore();
    toTerminal();
    if (failed == -3) return fail("stopped: the measurement filter is put back, nothing verified", 3);
    if (failed != 0)
        return fail("the measurement of " + what + " failed (" + std::to_string(failed) + ", see " + logPath + ")", 3);

    // The recordings as files, for any tool to check.
    for (const auto& [c, h] : alone)
        if (const std::string w =
                toolsupport::replaceAudioFile(folder + "/driver-" + std::to_string(c) + ".wav", m.fs, h);
            !w.empty())
            return fail(w, 1);
    for (size_t i = 0; i < names.size(); ++i)
        if (const std::string w =
                toolsupport::replaceAudioFile(folder + "/sum-" + std::to_string(i) + ".wav", m.fs, summed[i]);
            !w.empty())
            return fail(w, 1);
    // The summed loudspeakers as a measurement of their own (channel 0 the one on the even outputs,
    // 1 the one on the odd), for mobu-correct to correct each loudspeaker in the room as a whole.
    {
        const std::string room = folder + "/loudspeakers";
        if (const std::string wrong = toolsupport::makeFolder(room); !wrong.empty()) return fail(wrong, 1);
        std::ostringstream tof;
        tof << "channel,samples,milliseconds\n";
        for (size_t i = 0; i < names.size(); ++i) {
            const int channel = parity[i];
            if (const std::string w = toolsupport::replaceAudioFile(
                    room + "/impulse-" + std::to_string(channel) + ".wav", m.fs, summed[i]);
                !w.empty())
                return fail(w, 1);
            tof << channel << ",0,0\n";
        }
        if (writeFileSafely(room + "/tof.csv", tof.str()) < 0) return fail("can't write " + room + "/tof.csv", 1);
    }

    const Eigen::VectorXd& f = xo.frequencies();
    std::vector<Panel> panels;
    printf("verified through %s (1/%g octave, 40 Hz ... 16 kHz; recorded files in %s):\n", o.filter.c_str(),
           o.settings.smoothing, folder.c_str());
    for (size_t i = 0; i < names.size(); ++i) {
        // The prediction: each driver's measured response through its filter, summed.
        Eigen::Index longest = 0;
        for (const auto& d : drivers)
            if (d.loudspeaker == names[i])
                longest = std::max(longest, m.drivers[static_cast<size_t>(d.output)].impulse.size());
        const Eigen::Index n = powerOfTwoAbove(coefficients.rows() + longest);
        Eigen::VectorXcd predicted = Eigen::VectorXcd::Zero(n / 2 + 1);
        double earliest = 1e300;
        for (const auto& d : drivers)
            if (d.loudspeaker == names[i])
                earliest = std::min(earliest, m.drivers[static_cast<size_t>(d.output)].shift);
        for (const auto& d : drivers) {
            if (d.loudspeaker != names[i]) continue;
            Eigen::VectorXd a = Eigen::VectorXd::Zero(n), b = Eigen::VectorXd::Zero(n);
            a.head(coefficients.rows()) = coefficients.col(d.output);
            const Eigen::VectorXd& h = m.drivers[static_cast<size_t>(d.output)].impulse;
            b.head(h.size()) = h;
            Eigen::VectorXcd through = realdft::forward(a).cwiseProduct(realdft::forward(b));
            for (Eigen::Index k = 0; k < through.size(); ++k)
                through(k) *=
                    Crossover::guardResponse(d.protection, k * m.fs / n, m.fs) *
                    std::polar(1.0, -2.0 * M_PI * k * (m.drivers[static_cast<size_t>(d.output)].shift - earliest) / n);
            predicted += through;
        }
        const Eigen::VectorXd predictedDB = xo.smoothedDB(realdft::inverse(predicted, n));
        const Eigen::VectorXd recordedDB = xo.smoothedDB(summed[i]);
        const double level = Crossover::bandLevel(f, recordedDB, 40.0, 16000.0);
        const double predictedLevel = Crossover::bandLevel(f, predictedDB, 40.0, 16000.0);
        const Eigen::VectorXd deviation = recordedDB.array() - level;
        const Eigen::VectorXd versus = (recordedDB.array() - level) - (predictedDB.array() - predictedLevel);
        double worst = 0, rms = 0, worstP = 0, rmsP = 0;
        figures(f, deviation, 40.0, 16000.0, worst, rms);
        figures(f, versus, 40.0, 16000.0, worstP, rmsP);
        printf(
            "loudspeaker %s: sum against the target: RMS %.2f dB, worst %.2f dB; against the prediction: RMS %.2f dB, "
            "worst %.2f dB\n",
            names[i].c_str(), rms, worst, rmsP, worstP);
        std::vector<double> crossovers;
        for (const auto& d : drivers)
            if (d.loudspeaker == names[i] && d.high.present())
                for (const auto& e : drivers)
                    if (e.loudspeaker == names[i] && e.low == d.high) crossovers.push_back(d.high.frequency);
        std::sort(crossovers.begin(), crossovers.end());
        for (double c : crossovers) {
            double w = 0, r = 0;
            figures(f, versus, c / M_SQRT2, c * M_SQRT2, w, r);
            printf("loudspeaker %s: crossover %g Hz: sum against the prediction within %.2f dB (half an octave either "
                   "side)\n",
                   names[i].c_str(), c, w);
        }
        Panel panel{"loudspeaker " + plain(names[i]) + ": recorded through the filters (dB of the level of the sum)",
                    {}};
        double first = 1e300, last = -1e300;
        for (const auto& d : drivers) {
            if (d.loudspeaker != names[i]) continue;
            const Eigen::VectorXd db = xo.smoothedDB(alone[d.output]).array() - level;
            panel.curves.push_back({"output " + std::to_string(d.output) + " " + plain(d.role) + " alone", db});
            const auto at = [&](double g) -> double {
                for (Eigen::Index k = 1; k < f.size(); ++k)
                    if (f(k) >= g)
                        return db(k - 1) + (db(k) - db(k - 1)) * std::log(g / f(k - 1)) / std::log(f(k) / f(k - 1));
                return double(NAN);
            };
            const double lo = d.low.present() ? d.low.frequency : 0, hi = d.high.present() ? d.high.frequency : 0;
            const Eigen::Index np = powerOfTwoAbove(8 * alone[d.output].size());
            Eigen::VectorXd padded = Eigen::VectorXd::Zero(np);
            padded.head(alone[d.output].size()) = alone[d.output];
            double arrival = NAN;
            Crossover::phaseFit(realdft::forward(padded), np, m.fs, Crossover::alignmentRegions(d, 20.0, 20000.0),
                                arrival);
            first = std::min(first, arrival), last = std::max(last, arrival);
            printf("output %d (%s): two octaves below its band %s dB, above %s dB; arrival %.2f samples%s\n", d.output,
                   d.role.c_str(), lo > 0 && lo / 4 >= 20 ? std::to_string(at(lo / 4)).substr(0, 6).c_str() : "-",
                   hi > 0 && hi * 4 <= 20000 ? std::to_string(at(hi * 4)).substr(0, 6).c_str() : "-", arrival, "");
        }
        printf("loudspeaker %s: arrival spread %.2f samples (group delays an octave either side of the crossovers)\n",
               names[i].c_str(), last - first);
        // At each crossover, the time between the two drivers' phases there (0: they add in phase).
        const auto phaseAt = [&](const Eigen::VectorXd& h, double fc) {
            std::complex<double> v = 0;
            for (Eigen::Index t = 0; t < h.size(); ++t)
                v += h(t) * std::polar(1.0, -2.0 * M_PI * fc * t / m.fs);
            return std::arg(v);
        };
        for (const auto& a : drivers)
            for (const auto& b : drivers)
                if (a.loudspeaker == names[i] && b.loudspeaker == names[i] && a.high.present() && a.high == b.low) {
                    const double fc = a.high.frequency;
                    const double lag =
                        std::remainder(phaseAt(alone[a.output], fc) - phaseAt(alone[b.output], fc), 2.0 * M_PI) /
                        (2.0 * M_PI * fc / m.fs);
                    printf(
                        "loudspeaker %s: crossover %g Hz: output %d against output %d in phase within %.2f samples\n",
                        names[i].c_str(), fc, b.output, a.output, std::abs(lag));
                }
        panel.curves.push_back({"predicted sum", predictedDB.array() - predictedLevel});
        panel.curves.push_back({"recorded sum", deviation});
        panels.push_back(panel);
    }
    if (!o.plot.empty()) {
        if (const std::string wrong = plot(o.plot, "Crossover verification", f, panels); !wrong.empty())
            return fail(wrong, 1);
        printf("picture: %s\n", o.plot.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    OptionParser options(argc, argv);
    if (options.has("help") || options.has("h")) {
        fputs(usage, stdout);
        return 0;
    }
    if (const std::string wrong =
            toolsupport::checkArguments(argc, argv, std::begin(knownOptions), std::end(knownOptions));
        !wrong.empty())
        return fail(wrong + " (see --help)", 2);
    Options o;
    return options.has("verify") ? verify(options, o) : design(options, o);
}
