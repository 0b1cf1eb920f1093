// mobu-correct: designs room-correction filters from a mobu-measure folder, and verifies them by
// measuring again through them.
//
//   mobu-correct --in=DIR[,DIR2...] --out=FILE [--taps=N] [--target=flat|FILE.csv] [--range=LO:HI]
//                [--max-boost=DB] [--smoothing=1/K] [--phase=minimum|mixed] [--align]
//                [--weights=W1,W2,...] [--eq=FILE.json] [--plot=FILE.png] [--merge]
//   mobu-correct --undo --out=FILE
//   mobu-correct --verify --in=DIR --filter=FILE --playback=DEV --capture=DEV [--channels=0,3]
//                [--target=...] [--range=...] [--max-boost=DB] [--smoothing=1/K] [--plot=FILE.png]
//
// Every file is written as a new file beside its destination and renamed over it (SafeFile; the
// scale reference first), so a running processor or switching plug-in reads either the old file
// or the new one, never a part, and no link or FIFO at the name is written through.

#include "ToolSupport.h"

#include <CoefficientMerge.h>
#include <LevinsonDurban.h>
#include <MobuEmbedded/ChirpRecorder.h>
#include <RealDFT.h>
#include <RoomCorrection.h>

#include <OptionParser.h>
#include <ScaleReference.h>
#include <SafeFile.h>
#include <Sox.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int outputs = 8; ///< the processor's outputs: channels of every coefficient file

const char* usage =
    "usage: mobu-correct --in=DIR[,DIR2...] --out=FILE [--taps=N] [--target=flat|FILE.csv] [--range=LO:HI]\n"
    "                    [--max-boost=DB] [--smoothing=1/K] [--phase=minimum|mixed] [--align]\n"
    "                    [--weights=W1,W2,...] [--eq=FILE.json] [--plot=FILE.png] [--merge]\n"
    "       mobu-correct --undo --out=FILE\n"
    "       mobu-correct --verify --in=DIR --filter=FILE --playback=DEV --capture=DEV [--channels=0,3]\n"
    "                    [--target=...] [--range=...] [--max-boost=DB] [--smoothing=1/K] [--plot=FILE.png]\n"
    "  --in         a mobu-measure folder: tof.csv and impulse-<channel>.wav of every channel in it;\n"
    "               DIR1,DIR2,... (or a folder of pos-1, pos-2, ... from mobu-measure --position) designs\n"
    "               from several positions (magnitude averaged, arrivals and phase from the first)\n"
    "  --weights    with several positions, their weights in the average, the main one first (default all 1;\n"
    "               e.g. 2,1,1 favours the main seat over the others)\n"
    "  --out        the coefficient file to write (one channel per output, 8 outputs)\n"
    "  --taps       filter length (default 65536, at most 262144)\n"
    "  --target     flat (default) or a CSV of frequency,dB lines (Hz increasing; # comments)\n"
    "  --range      correction range in Hz (default 20:20000, its top at most 95 % of half the rate);\n"
    "               outside it the correction fades to 0 dB\n"
    "  --max-boost  largest boost in dB (default 6); cuts are not limited\n"
    "  --smoothing  fraction of an octave the measured magnitude is smoothed over (default 1/6 up to 300 Hz,\n"
    "               widening to 1/3 from 600 Hz; given, 1/K at every frequency)\n"
    "  --phase      minimum (default) or mixed (also undoes the direct sound's excess phase; 50 ms delay)\n"
    "  --align      delays so that every arrival meets the latest, levels matched to the quietest\n"
    "  --eq         also (or instead of --out) fit up to 10 peaking sections to the mean of the channels\n"
    "               and write an equaliser file; with several channels also FILE-<channel>.json each\n"
    "  --plot       a picture of measured, target, predicted and correction per channel\n"
    "  --merge      replace only the measured outputs' filters in the existing --out file (same rate and\n"
    "               channel count); every other output keeps its filter as stored, shorter ones padded with zeros\n"
    "  --undo       put back the coefficient file --out as it was before the last write (FILE.previous);\n"
    "               the file it replaces becomes FILE.previous\n"
    "               (every write of --out keeps the file it replaces as FILE.previous)\n"
    "  --verify     measure the channels again with FILE as the measurement filter (~/.mobu/fir-measure.wav,\n"
    "               restored afterwards) and print the smoothed deviation from the target before and after,\n"
    "               and the spread of the arrivals\n"
    "Exit status: 0 done; 1 a file or device could not be used; 2 a bad option or input;\n"
    "3 the verifying measurement failed or was stopped (SIGINT, SIGTERM: the measurement filter is put back).\n";

const toolsupport::KnownOption knownOptions[] = {
    {"in", true},        {"out", true},       {"taps", true},   {"target", true},   {"range", true},
    {"max-boost", true}, {"smoothing", true}, {"phase", true},  {"align", false},   {"eq", true},
    {"plot", true},      {"verify", false},   {"filter", true}, {"playback", true}, {"capture", true},
    {"channels", true},  {"merge", false},    {"undo", false},  {"help", false},    {"h", false},
    {"weights", true}};

int fail(const std::string& text, int code) {
    fprintf(stderr, "mobu-correct: %s\n", text.c_str());
    return code;
}

bool parseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value);
}

/// A mobu-measure folder: the channels of tof.csv with their responses and times of flight.
struct Measurement {
    std::vector<int> channels, arrivals;
    std::vector<Eigen::VectorXd> impulses;
    double fs = 0.0;
};

/// A whole number of `text` within lo ... hi.
bool parseWhole(const std::string& text, long long lo, long long hi, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && value >= lo && value <= hi;
}

std::string readMeasurement(const std::string& dir, Measurement& m) {
    std::ifstream csv(dir + "/tof.csv");
    if (!csv) return "can't read " + dir + "/tof.csv: " + strerror(errno);
    std::string line;
    int number = 0;
    while (std::getline(csv, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A header ("channel,samples,milliseconds") is a first line that starts with a letter.
        if (line.empty() || (number == 1 && std::isalpha(static_cast<unsigned char>(line[0])))) continue;
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, ',');)
            fields.push_back(field);
        long long channel = -1, samples = 0;
        double ms = 0;
        const std::string where = dir + "/tof.csv line " + std::to_string(number) + " \"" + line + "\"";
        if (fields.size() != 3 || !parseWhole(fields[0], 0, 1000, channel) ||
            !parseWhole(fields[1], -1, std::numeric_limits<int>::max(), samples) || !parseNumber(fields[2], ms))
            return where + " is not channel,samples,ms (whole numbers, samples -1 ... " +
                   std::to_string(std::numeric_limits<int>::max()) + ")";
        if (channel >= outputs)
            return where + ": channel " + std::to_string(channel) + " is not one of the " + std::to_string(outputs) +
                   " outputs 0 ... " + std::to_string(outputs - 1);
        if (samples < 0) return "channel " + std::to_string(channel) + " was not identified in " + dir;
        const std::string wav = dir + "/impulse-" + std::to_string(channel) + ".wav";
        Sox<double> in;
        Eigen::MatrixXd h;
        const int opened = in.openRead(wav);
        if (opened < 0 && opened != SOX_REFERENCE_WARNING) return "can't read the response " + wav;
        const int read = in.read(h);
        if (read == SOX_NON_FINITE_ERROR) return "the response " + wav + " is not finite (a NaN or infinite sample)";
        if (read < 0 || h.rows() < 2 || h.cols() != 1) return "the response " + wav + " is not one readable channel";
        if (m.fs != 0.0 && in.getFSIn() != m.fs)
            return "the response " + wav + " is at " + std::to_string(in.getFSIn()) + " Hz, the others at " +
                   std::to_string(m.fs) + " Hz";
        m.fs = in.getFSIn();
        m.channels.push_back(static_cast<int>(channel));
        m.arrivals.push_back(static_cast<int>(samples));
        m.impulses.push_back(h.col(0));
    }
    if (m.channels.empty()) return dir + "/tof.csv names no channel";
    return "";
}

/// "" when `path` can be written (its folder exists and is writable, nothing but a regular file
/// there), or why not: checked before the design, which can take seconds.
std::string checkWritable(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0)
        return "can't write " + path + ": its folder " + folder + ": " + strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "can't write " + path + ": " + folder + " is not a folder";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return "can't write " + path + ": its folder " + folder + ": " + strerror(errno);
    if (const int refused = SafeFile::checkTarget(path); refused < 0)
        return "can't write " + path + ": " + SafeFileDebug().message(refused);
    return "";
}

std::string replaceTextFile(const std::string& path, const std::string& text) {
    const int ret = writeFileSafely(path, text);
    if (ret < 0) return "can't write " + path + ": " + SafeFileDebug().message(ret);
    return "";
}

/// The equaliser file of one channel: eq.json becomes eq-3.json (FILE-3 without the .json).
std::string equaliserOf(const std::string& path, int channel) {
    const size_t slash = path.rfind('/'), dot = path.rfind('.');
    const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return extension ? path.substr(0, dot) + "-" + std::to_string(channel) + path.substr(dot)
                     : path + "-" + std::to_string(channel);
}

/** A picture with one panel per channel: data columns (frequency first) from `rows`, one curve per
 * entry of `titles` (column 2, 3, ...), on a log frequency axis.  "" or why not. */
std::string plotPanels(const std::string& png, const std::string& title, const std::vector<int>& channels,
                       const Eigen::VectorXd& frequencies, const std::vector<std::vector<Eigen::VectorXd>>& curves,
                       const std::vector<std::string>& titles, double lowHz, double highHz, double floorDB = NAN) {
    const std::string data = png + ".dat";
    {
        std::ostringstream out;
        for (size_t c = 0; c < channels.size(); ++c) {
            for (Eigen::Index i = 0; i < frequencies.size(); ++i) {
                out << frequencies(i);
                for (const Eigen::VectorXd& v : curves[c])
                    out << ' ' << (std::isfinite(v(i)) ? std::to_string(v(i)) : std::string("NaN"));
                out << '\n';
            }
            out << "\n\n"; // one gnuplot data block per channel
        }
        if (const int w = writeFileSafely(data, out.str()); w < 0)
            return "can't write " + data + ": " + SafeFileDebug().message(w);
    }
    const int columns = channels.size() > 1 ? 2 : 1;
    const int rows = static_cast<int>((channels.size() + columns - 1) / columns);
    std::ostringstream head, gp;
    head << "set terminal pngcairo size " << 800 * columns << "," << 420 * rows + 60 << " noenhanced font ',10'\n";
    gp << "set multiplot layout " << rows << "," << columns << " title '" << title << "'\n"
       << "set grid xtics mxtics ytics\nset logscale x\nset xrange [10:24000]\nset mxtics 10\n"
       << "set xlabel 'frequency (Hz)'\nset ylabel 'level (dB)'\nset key bottom right\nset datafile missing 'NaN'\n"
       << "set object 1 rect from " << lowHz << ", graph 0 to " << highHz
       << ", graph 1 behind fillcolor rgb '#f2f2f2' fillstyle solid noborder\n";
    if (std::isfinite(floorDB))
        gp << "set arrow 1 from 10," << floorDB << " to 24000," << floorDB << " nohead dashtype 2 lc rgb '#808080'\n"
           << "set label 1 'deeper dips are not filled (boost limit)' at 12," << floorDB - 0.7 << " tc rgb '#606060'\n";
    const char* colours[] = {"#1f77b4", "#2ca02c", "#d62728", "#9467bd", "#ff7f0e"};
    for (size_t c = 0; c < channels.size(); ++c) {
        gp << "set title 'channel " << channels[c] << " (shaded: correction range)'\nplot ";
        for (size_t k = 0; k < titles.size(); ++k)
            gp << (k ? ", " : "") << "'" << data << "' index " << c << " using 1:" << k + 2
               << " with lines lw 2 lc rgb '" << colours[k % 5] << "' title '" << titles[k] << "'";
        gp << "\n";
    }
    gp << "unset multiplot\n";
    // gnuplot draws into a new file renamed over the picture: a link planted there is never followed.
    return toolsupport::drawPicture(
        png, [&](const std::string& output) { return head.str() + "set output '" + output + "'\n" + gp.str(); });
}

struct Options {
    std::string in, out, eq, plot, filter, playback, capture, channels, targetFile;
    std::vector<std::string> positions; ///< further measurement folders (--in=MAIN,DIR2,...)
    bool rangeGiven = false;
    bool merge = false;
    RoomCorrection::Settings settings;
};

/// Reads the design options shared by both modes: "" or what is wrong.
std::string readDesignOptions(OptionParser& options, Options& o) {
    std::string text;
    if (options.getArg("taps", text) == 0) {
        double v = 0;
        if (!parseNumber(text, v) || v != std::floor(v) || v < 256 || v > RoomCorrection::maxTaps)
            return "--taps=" + text + " must be a whole number 256 ... " + std::to_string(RoomCorrection::maxTaps) +
                   " (longer filters take minutes and gigabytes to design)";
        o.settings.taps = static_cast<int>(v);
    }
    if (options.getArg("target", text) == 0 && text != "flat") o.targetFile = text;
    if (options.getArg("range", text) == 0) {
        const size_t colon = text.find(':');
        double lo = 0, hi = 0;
        if (colon == std::string::npos || !parseNumber(text.substr(0, colon), lo) ||
            !parseNumber(text.substr(colon + 1), hi))
            return "--range=" + text + " must be LO:HI in Hz";
        if (!(lo > 0) || !(hi > lo)) return "--range=" + text + " is impossible: it needs 0 < LO < HI";
        o.settings.lowHz = lo, o.settings.highHz = hi;
        o.rangeGiven = true;
    }
    if (options.getArg("max-boost", text) == 0 && !parseNumber(text, o.settings.maxBoostDB))
        return "--max-boost=" + text + " must be a number of dB";
    if (options.getArg("smoothing", text) == 0) {
        double k = 0;
        if (text.compare(0, 2, "1/") != 0 || !parseNumber(text.substr(2), k))
            return "--smoothing=" + text + " must be 1/K (e.g. 1/6)";
        o.settings.smoothing = k;
        o.settings.transitionHz = 0.0; // the user's resolution at every frequency
    }
    if (options.getArg("phase", text) == 0) {
        if (text != "minimum" && text != "mixed") return "--phase=" + text + " must be minimum or mixed";
        o.settings.phase = text == "mixed" ? RoomCorrection::Phase::mixed : RoomCorrection::Phase::minimum;
    }
    o.settings.align = options.has("align");
    if (options.getArg("weights", text) == 0) {
        std::stringstream list(text);
        for (std::string item; std::getline(list, item, ',');) {
            double w = 0;
            if (!parseNumber(item, w) || !(w >= 0.01 && w <= 100.0))
                return "--weights=" + text + ": " + item + " is not a weight 0.01 ... 100";
            o.settings.positionWeights.push_back(w);
        }
        if (o.settings.positionWeights.size() != 1 + o.positions.size() || text.back() == ',')
            return "--weights=" + text + " needs one weight for each of the " + std::to_string(1 + o.positions.size()) +
                   " position(s)";
    }
    return "";
}

/// Sets up a design from the measurement: 0, or the exit status after printing why not.
int prepare(RoomCorrection& design, Options& o, Measurement& m) {
    if (const std::string wrong = readMeasurement(o.in, m); !wrong.empty()) return fail(wrong, 2);
    o.settings.fs = m.fs;
    o.settings.outputs = outputs;
    // The default range ends at 20 kHz or, at low rates, at 95 % of half the rate.
    if (!o.rangeGiven) o.settings.highHz = std::min(o.settings.highHz, 0.475 * m.fs);
    std::string error;
    if (design.setSettings(o.settings, error) != 0) return fail(error, 2);
    if (!o.targetFile.empty()) {
        std::ifstream target(o.targetFile);
        if (!target) return fail("can't read the target " + o.targetFile + ": " + strerror(errno), 1);
        if (design.setTarget(target, error) != 0) return fail("the target " + o.targetFile + ": " + error, 2);
    }
    return 0;
}

int designFilters(Options& o) {
    RoomCorrection design;
    Measurement m;
    if (const int status = prepare(design, o, m); status != 0) return status;
    std::string error;
    for (size_t i = 0; i < m.channels.size(); ++i)
        if (design.addChannel(m.channels[i], m.impulses[i], m.arrivals[i], error) != 0) return fail(error, 2);
    // Further positions: the same channels at the same rate; their magnitudes join the average.
    for (const std::string& dir : o.positions) {
        Measurement p;
        if (const std::string wrong = readMeasurement(dir, p); !wrong.empty()) return fail(wrong, 2);
        std::vector<int> mine = m.channels, theirs = p.channels;
        std::sort(mine.begin(), mine.end());
        std::sort(theirs.begin(), theirs.end());
        if (mine != theirs) return fail(dir + " does not measure the same channels as " + o.in, 2);
        if (p.fs != m.fs) return fail(dir + " is at another rate than " + o.in, 2);
        for (size_t i = 0; i < p.channels.size(); ++i)
            if (design.addPosition(p.channels[i], p.impulses[i], error) != 0) return fail(error, 2);
    }
    if (design.design(error) != 0) return fail(error, 2);
    const auto& s = design.settings();
    const std::string resolution = s.transitionHz > 0.0 && s.broadSmoothing < s.smoothing
                                       ? " up to " + std::to_string(static_cast<int>(s.transitionHz)) + " Hz, 1/" +
                                             std::to_string(static_cast<int>(s.broadSmoothing)) + " from " +
                                             std::to_string(static_cast<int>(2 * s.transitionHz)) + " Hz"
                                       : "";
    printf("designed %zu channel(s): %d taps, 1/%g octave%s, %g ... %g Hz, boost at most %g dB, %s phase%s\n",
           m.channels.size(), s.taps, s.smoothing, resolution.c_str(), s.lowHz, s.highHz, s.maxBoostDB,
           s.phase == RoomCorrection::Phase::mixed ? "mixed" : "minimum", s.align ? ", aligned" : "");
    for (const auto& r : design.reports()) {
        const Eigen::VectorXd& f = design.frequencies();
        double worstBefore = 0, worstAfter = 0, boost = -300;
        for (Eigen::Index i = 0; i < f.size(); ++i) {
            boost = std::max(boost, r.correctionDB(i) - r.gainDB);
            if (f(i) < s.lowHz || f(i) > s.highHz) continue;
            worstBefore = std::max(worstBefore, std::abs(r.measuredDB(i) - r.targetDB(i)));
            // As the verification does: where the smoothing band reaches no dip beyond the limit and
            // the filter's boost is below its ceiling.
            bool limited = false;
            for (Eigen::Index j = 0; j < f.size() && !limited; ++j)
                limited = std::abs(std::log2(f(j) / f(i))) <= 0.5 / s.smoothing &&
                          (r.requiredDB(j) > s.maxBoostDB || r.correctionDB(j) - r.gainDB >= s.maxBoostDB - 0.25);
            if (!limited) worstAfter = std::max(worstAfter, std::abs(r.predictedDB(i) - r.targetDB(i)));
        }
        printf(
            "channel %d: delay %d samples, gain %+.2f dB, largest boost %+.2f dB, predicted deviation where the boost "
            "suffices %.2f dB (was %.2f dB)",
            r.channel, r.delay, r.gainDB, boost + r.gainDB, worstAfter, worstBefore);
        if (s.phase == RoomCorrection::Phase::mixed) printf(", pre-ringing %.1f dB", r.preRingingDB);
        printf("\n");
    }
    if (!o.out.empty()) {
        struct stat before {};
        const bool replacing = stat(o.out.c_str(), &before) == 0;
        if (o.merge) {
            std::string notes;
            if (const std::string wrong = coefficientmerge::merge(o.out, s.fs, design.filters(), m.channels, notes);
                !wrong.empty())
                return fail(wrong, wrong.find(": not merged") != std::string::npos ? 2 : 1);
            if (!notes.empty()) printf("note: %s\n", notes.c_str());
        } else {
            if (const std::string wrong = coefficientmerge::keepBackup(o.out); !wrong.empty()) return fail(wrong, 1);
            if (const std::string wrong = toolsupport::replaceAudioFile(o.out, s.fs, design.filters()); !wrong.empty())
                return fail(wrong, 1);
        }
        printf("coefficients: %s (%d outputs%s)%s%s\n", o.out.c_str(), static_cast<int>(design.filters().cols()),
               o.merge ? ", only the measured ones replaced" : "", replacing ? "; the file before is kept as " : "",
               replacing ? coefficientmerge::backupOf(o.out).c_str() : "");
    }
    if (!o.eq.empty()) {
        // The file the processor reads for both inputs: the mean of the channels' corrections; with
        // several channels also one file per channel, fitted to its own correction.
        const auto writeEqualiser = [&](const std::string& path, int channel) {
            double residual = 0;
            const auto peaks = design.fitEqualiser(10, residual, channel);
            std::ostringstream json;
            json << "[";
            for (size_t i = 0; i < peaks.size(); ++i)
                json << (i ? ",\n " : "\n ") << "{\"type\": \"BPF\", \"Fc\": " << peaks[i].fc
                     << ", \"dB\": " << peaks[i].dB << ", \"Q\": " << peaks[i].Q << "}";
            json << "\n]\n";
            if (const std::string wrong = replaceTextFile(path, json.str()); !wrong.empty()) return wrong;
            printf("equaliser: %s (%zu sections, %.2f dB RMS from %s)\n", path.c_str(), peaks.size(), residual,
                   channel < 0 ? "the mean correction"
                               : ("the correction of channel " + std::to_string(channel)).c_str());
            // What peaking sections can't hold (they are 0 dB at 0 Hz and at half the rate, and
            // don't delay): the broadband gain of the level match and the delay of the alignment,
            // which the coefficient file carries and which must otherwise be set on the output.
            // The gain is the coefficient file's less what the sections themselves leave in the
            // reference band, so that the channels equalised by their files meet at the same level.
            const int common = s.phase == RoomCorrection::Phase::mixed ? s.mixedDelay : 0;
            for (const auto& r : design.reports())
                if (r.channel == channel && s.align)
                    printf("  not in %s: gain %+.2f dB and delay %d samples (%.2f ms) of output %d, the level match "
                           "and the alignment (mixer control \"Gain %d\" for the gain; a delay only the coefficient "
                           "file gives)\n",
                           path.c_str(), r.gainDB - design.equalisedLevelDB(peaks, channel), r.delay - common,
                           1000.0 * (r.delay - common) / s.fs, r.channel, r.channel);
            return std::string();
        };
        if (const std::string wrong = writeEqualiser(o.eq, -1); !wrong.empty()) return fail(wrong, 1);
        if (m.channels.size() > 1)
            for (int c : m.channels)
                if (const std::string wrong = writeEqualiser(equaliserOf(o.eq, c), c); !wrong.empty())
                    return fail(wrong, 1);
    }
    if (!o.plot.empty()) {
        std::vector<int> channels;
        std::vector<std::vector<Eigen::VectorXd>> curves;
        for (const auto& r : design.reports()) {
            channels.push_back(r.channel);
            curves.push_back({r.measuredDB, r.targetDB, r.predictedDB, r.correctionDB});
        }
        if (const std::string wrong = plotPanels(
                o.plot,
                "Room correction: 1/" + std::to_string(static_cast<int>(s.smoothing)) + " octave" + resolution +
                    " smoothed, each channel at its own level",
                channels, design.frequencies(), curves,
                {"measured", "target", "predicted (measured x correction)", "correction filter"}, s.lowHz, s.highHz);
            !wrong.empty())
            return fail(wrong, 1);
        printf("picture: %s\n", o.plot.c_str());
    }
    return 0;
}

/// Figures of a deviation within the range: max |dev| and RMS, optionally only where `mask` holds.
void figures(const Eigen::VectorXd& dev, const std::vector<bool>& mask, double& worst, double& rms) {
    worst = 0;
    double sum = 0;
    int count = 0;
    for (Eigen::Index i = 0; i < dev.size(); ++i) {
        if (!std::isfinite(dev(i)) || (!mask.empty() && !mask[static_cast<size_t>(i)])) continue;
        worst = std::max(worst, std::abs(dev(i)));
        sum += dev(i) * dev(i);
        ++count;
    }
    rms = count ? std::sqrt(sum / count) : 0.0;
}

/// The frequencies where a filter boosts within 0.25 dB of the limit over its median level in 500 Hz ... 2 kHz.
std::vector<double> limitedFrequencies(const Eigen::VectorXd& filter, const RoomCorrection::Settings& s) {
    Eigen::Index n = 1;
    while (n < 4 * filter.size())
        n *= 2;
    Eigen::VectorXd padded = Eigen::VectorXd::Zero(n);
    padded.head(filter.size()) = filter;
    const Eigen::VectorXd dB =
        realdft::forward(padded).cwiseAbs2().unaryExpr([](double p) { return 10 * std::log10(std::max(p, 1e-300)); });
    std::vector<double> reference;
    for (int i = 0; i < 64; ++i)
        reference.push_back(dB(std::lround(500.0 * std::pow(4.0, i / 63.0) * n / s.fs)));
    std::sort(reference.begin(), reference.end());
    const double level = 0.5 * (reference[31] + reference[32]);
    std::vector<double> out;
    for (Eigen::Index k = 1; k < dB.size(); ++k)
        if (dB(k) - level >= s.maxBoostDB - 0.25) out.push_back(k * s.fs / n);
    return out;
}

volatile std::sig_atomic_t interrupted = 0; ///< SIGINT or SIGTERM arrived during a verification

void onSignal(int) {
    interrupted = 1;
}

/// Measures one channel with the recorder (on its own thread, stopped by a signal): the averaged
/// steady periods of its recording.  0, -3 when stopped, or another negative code.
int measureChannel(ChirpRecorder& recorder, int channel, int taps, Eigen::VectorXd& averaged) {
    if (recorder.setPlayCh(channel) != 0) return -1;
    if (recorder.run(0) != 0) return -1;
    while (recorder.threadRunning()) {
        if (interrupted) recorder.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    recorder.join();
    if (interrupted) return -3;
    const int ran = recorder.getRunResult();
    if (ran < 0 || recorder.getForceStopState()) return ran < 0 ? ran : -1;
    const Eigen::Index P = recorder.chirp.rows();
    const Eigen::Index played = recorder.chirps.rows();
    // Periods after the measurement filter has settled (its taps) and before the chirps end.
    const Eigen::Index start = (1 + (taps + P - 1) / P) * P - 1;
    const Eigen::Index periods = (played - start) / P;
    if (periods < 2) return -2;
    averaged = Eigen::VectorXd::Zero(P);
    for (Eigen::Index k = 0; k < periods; ++k)
        averaged += recorder.microphones.col(channel).segment(start + k * P, P);
    averaged /= static_cast<double>(periods);
    return 0;
}

int verify(Options& o) {
    RoomCorrection design;
    Measurement m;
    if (const int status = prepare(design, o, m); status != 0) return status;
    std::vector<int> channels = m.channels;
    if (!o.channels.empty()) {
        channels.clear();
        std::stringstream list(o.channels);
        std::string item;
        while (std::getline(list, item, ',')) {
            char* end = nullptr;
            const long c = std::strtol(item.c_str(), &end, 10);
            if (item.empty() || *end != '\0' || std::find(m.channels.begin(), m.channels.end(), c) == m.channels.end())
                return fail("--channels=" + o.channels + ": " + item + " is not a channel of " + o.in, 2);
            channels.push_back(static_cast<int>(c));
        }
    }
    // A signal stops the measurement at its next period, and the measurement filter is put back.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // The filter to verify becomes the measurement filter for the run; the one there is kept aside.
    Sox<double> filterFile;
    Eigen::MatrixXd coefficients;
    const int opened = filterFile.openRead(o.filter);
    if ((opened < 0 && opened != SOX_REFERENCE_WARNING) || filterFile.read(coefficients) < 0 || coefficients.rows() < 1)
        return fail("can't read the coefficient file " + o.filter, 1);
    if (filterFile.getFSIn() != m.fs)
        return fail("the coefficient file " + o.filter + " is at another rate than the measurement", 2);
    toolsupport::MeasurementFilterSwap measurementFilter; // put back on every way out
    if (const std::string wrong = measurementFilter.install(m.fs, coefficients); !wrong.empty()) return fail(wrong, 1);

    // The recorder's own lines go to DIR/verify.log; the terminal keeps the figures.
    const std::string logPath = o.in + "/verify.log";
    SafeFile log;
    if (const int made = log.create(logPath); made < 0) {
        return fail("can't write " + logPath + ": " + SafeFileDebug().message(made), 1);
    }
    fflush(stdout);
    fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    dup2(log.fd(), STDOUT_FILENO);
    dup2(log.fd(), STDERR_FILENO);
    // Back to the terminal, and the log renamed into place (whatever the outcome: it says why).
    const auto toTerminal = [&] {
        fflush(stdout);
        fflush(stderr);
        dup2(savedOut, STDOUT_FILENO);
        dup2(savedErr, STDERR_FILENO);
        if (log.fd() >= 0 && log.commit() < 0) fprintf(stderr, "mobu-correct: can't write %s\n", logPath.c_str());
    };
    FILE* terminal = fdopen(dup(savedOut), "w");
    std::vector<Eigen::VectorXd> after;
    {
        auto recorder = std::make_unique<ChirpRecorder>(o.playback.c_str(), o.capture.c_str());
        if (!recorder->Playback::isOpen() || !recorder->Capture::isOpen()) {
            toTerminal();
            return fail("can't open the devices " + o.playback + " / " + o.capture, 1);
        }
        for (int c : channels) {
            Eigen::VectorXd averaged;
            fprintf(terminal, "measuring channel %d through %s\n", c, o.filter.c_str());
            fflush(terminal);
            if (const int r = measureChannel(*recorder, c, static_cast<int>(coefficients.rows()), averaged); r != 0) {
                toTerminal();
                if (r == -3) return fail("stopped: the measurement filter is put back, nothing verified", 3);
                return fail("the measurement of channel " + std::to_string(c) + " failed (" + std::to_string(r) +
                                ", see " + logPath + ")",
                            3);
            }
            // The response through the correction: the recording over the reference chirp, in the
            // band the chirp excites.
            const Eigen::VectorXcd X = realdft::forward(recorder->chirp.matrix()), Y = realdft::forward(averaged);
            const double floor = 1e-2 * X.cwiseAbs().maxCoeff();
            Eigen::VectorXcd H = Eigen::VectorXcd::Zero(X.size());
            for (Eigen::Index k = 1; k < X.size(); ++k)
                if (std::abs(X(k)) > floor) H(k) = Y(k) / X(k);
            after.push_back(realdft::inverse(H, averaged.size()));
        }
    }
    measurementFilter.restore();
    toTerminal();
    if (terminal) fclose(terminal);
    close(savedOut);
    close(savedErr);

    // Before and after, and where the room's dips needed more boost than allowed.
    const auto& s = design.settings();
    std::vector<int> arrivalsBefore, arrivalsAfter;
    std::vector<std::vector<Eigen::VectorXd>> curves;
    printf("smoothed deviation from the target within %g ... %g Hz (1/%g octave), max and RMS in dB:\n", s.lowHz,
           s.highHz, s.smoothing);
    for (size_t i = 0; i < channels.size(); ++i) {
        const size_t j =
            static_cast<size_t>(std::find(m.channels.begin(), m.channels.end(), channels[i]) - m.channels.begin());
        double levelBefore = 0, levelAfter = 0;
        const Eigen::VectorXd before = design.deviationDB(m.impulses[j], levelBefore);
        const Eigen::VectorXd now = design.deviationDB(after[i], levelAfter);
        // Where the dips needed no more than the allowed boost: frequencies whose smoothing band
        // reaches neither a dip deeper than the limit nor a frequency where the filter boosts at its
        // limit (over its own level in the reference band).
        const Eigen::VectorXd& f = design.frequencies();
        const std::vector<double> ceiling = limitedFrequencies(coefficients.col(channels[i]), s);
        std::vector<bool> allowed(static_cast<size_t>(before.size()));
        for (Eigen::Index k = 0; k < before.size(); ++k) {
            const auto near = [&](double g) { return std::abs(std::log2(g / f(k))) <= 0.5 / s.smoothing; };
            allowed[static_cast<size_t>(k)] =
                std::isfinite(before(k)) && std::none_of(ceiling.begin(), ceiling.end(), near);
            for (Eigen::Index j = 0; j < before.size(); ++j)
                if (near(f(j)) && -before(j) > s.maxBoostDB) allowed[static_cast<size_t>(k)] = false;
        }
        double b = 0, bRms = 0, a = 0, aRms = 0, aIn = 0, aInRms = 0;
        figures(before, {}, b, bRms);
        figures(now, {}, a, aRms);
        figures(now, allowed, aIn, aInRms);
        printf("channel %d: before max %.2f RMS %.2f; after max %.2f RMS %.2f; after where the boost sufficed max "
               "%.2f RMS %.2f; level %+.2f dB\n",
               channels[i], b, bRms, a, aRms, aIn, aInRms, levelAfter);
        arrivalsBefore.push_back(m.arrivals[j]);
        arrivalsAfter.push_back(RoomCorrection::arrivalOf(after[i]));
        curves.push_back({before, now});
    }
    const auto spread = [](const std::vector<int>& v) {
        return *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
    };
    std::string list;
    for (int a : arrivalsAfter)
        list += (list.empty() ? "" : " ") + std::to_string(a);
    printf("arrival spread: before %d samples, after %d samples (arrivals after: %s)\n", spread(arrivalsBefore),
           spread(arrivalsAfter), list.c_str());
    if (!o.plot.empty()) {
        if (const std::string wrong = plotPanels(
                o.plot, "Deviation from the target before and after correction (smoothed, each at its level)", channels,
                design.frequencies(), curves, {"before", "after"}, s.lowHz, s.highHz, -s.maxBoostDB);
            !wrong.empty())
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
    options.getArg("in", o.in);
    options.getArg("out", o.out);
    options.getArg("eq", o.eq);
    options.getArg("plot", o.plot);
    options.getArg("filter", o.filter);
    options.getArg("playback", o.playback);
    options.getArg("capture", o.capture);
    options.getArg("channels", o.channels);
    if (options.has("undo")) {
        if (o.out.empty() || !o.in.empty() || options.has("merge") || options.has("verify"))
            return fail("--undo takes --out=FILE alone (see --help)", 2);
        if (const std::string wrong = coefficientmerge::undo(o.out); !wrong.empty()) return fail(wrong, 1);
        printf("restored %s; the file it replaced is %s\n", o.out.c_str(), coefficientmerge::backupOf(o.out).c_str());
        return 0;
    }
    o.merge = options.has("merge");
    if (o.in.empty()) return fail("--in=DIR (a mobu-measure folder) is needed (see --help)", 2);
    if (o.in.find(',') != std::string::npos) {
        std::stringstream list(o.in);
        std::vector<std::string> dirs;
        for (std::string dir; std::getline(list, dir, ',');)
            dirs.push_back(dir);
        if (std::any_of(dirs.begin(), dirs.end(), [](const std::string& d) { return d.empty(); }) || o.in.back() == ',')
            return fail("--in=" + o.in + ": an empty folder name in the list", 2);
        o.in = dirs.front();
        o.positions.assign(dirs.begin() + 1, dirs.end());
    } else if (access((o.in + "/tof.csv").c_str(), F_OK) != 0 && access((o.in + "/pos-1/tof.csv").c_str(), F_OK) == 0) {
        // A folder of positions (mobu-measure --position=K): pos-1 the main one, then pos-2, ...
        const std::string top = o.in;
        o.in = top + "/pos-1";
        for (int k = 2; access((top + "/pos-" + std::to_string(k) + "/tof.csv").c_str(), F_OK) == 0; ++k)
            o.positions.push_back(top + "/pos-" + std::to_string(k));
    }
    for (const std::string* name : {&o.plot, &o.out})
        if (name->find('\'') != std::string::npos || name->find('\n') != std::string::npos)
            return fail(*name + ": a file name with a quote or a line feed can't be used", 2);
    if (const std::string wrong = readDesignOptions(options, o); !wrong.empty()) return fail(wrong, 2);
    if (!o.plot.empty())
        if (const std::string wrong = checkWritable(o.plot); !wrong.empty()) return fail(wrong, 1);
    if (options.has("verify")) {
        if (o.filter.empty() || o.playback.empty() || o.capture.empty())
            return fail("--verify needs --filter, --playback and --capture (see --help)", 2);
        return verify(o);
    }
    if (o.out.empty() && o.eq.empty()) return fail("give --out=FILE, --eq=FILE.json or both (see --help)", 2);
    for (const std::string* name : {&o.out, &o.eq})
        if (!name->empty())
            if (const std::string wrong = checkWritable(*name); !wrong.empty()) return fail(wrong, 1);
    return designFilters(o);
}
