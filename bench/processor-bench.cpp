// Full-duplex processor benchmark.
//
// Drives FullDuplexFIR (2 inputs, parametric equaliser, 8 FIR outputs, gains, metering)
// without a sound card: the processor is opened on alsa-lib's "null" PCM in both directions
// and its process() is called back to back, as the driver loop calls it once per period, on
// one block of random input.  For 8 outputs x {16384, 65536, 131072} taps at 48 kHz and
// periods of N = 480, 256 and 64 frames it prints the CPU time per period as a fraction of the
// period, with the OpenMP team over the channels (default size) and with one thread, and
// next to it:
//   zita   libzita-convolver as 8 single-input convolutions of the same filters, quantum and
//          smallest partition N (the library needs a power of two: the next one above N
//          otherwise), as a fraction of its own period
//   bound  the bytes of history and windowSpectra the 8 FIR engines read per period divided
//          by the streaming read bandwidth measured here for a buffer of that size: the
//          partition pass cannot go faster
// CPU time is that of the whole process, since the OpenMP team and zita's worker threads
// work as well; wall time per period is printed too.
#include "BenchSupport.h"

#include <MobuEmbedded/FullDuplexFIR.h>
#include <OptionParser.h>
#include <Sox.h>

#include <omp.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr unsigned rate = 48000;
constexpr int outputs = IOLevels::OUT_CHCNT;
const std::vector<int> blockSizes = {480, 256, 64};
const std::vector<int> tapCounts = {16384, 65536, 131072};

/// The processor driven by hand: process() once per period, no stream is ever started.
class BenchProcessor : public FullDuplexFIR {
public:
    BenchProcessor() : FullDuplexFIR(std::string("null"), std::string("null")) {}

    /// Fills the input block (sized by the first pass) with samples uniform within -6 dBFS.
    void fillInput(std::mt19937_64& gen) {
        std::uniform_int_distribution<int32_t> dist(-(1 << 30), 1 << 30);
        for (Eigen::Index i = 0; i < inputAudio.size(); ++i)
            inputAudio.data()[i] = dist(gen);
    }
    /// True when every output channel of the last period has a sample other than zero
    /// (a channel whose filter could not be loaded runs zero taps and stays silent).
    bool allOutputsSound() const { return outputAudio.cols() == outputs && (outputAudio != 0).colwise().any().all(); }
};

/// Puts the calling thread's scheduling back as it was on destruction: init() raises it to the
/// highest SCHED_FIFO priority, and zita and the bandwidth runs are to run as in fir-bench.
class SchedulingGuard {
public:
    SchedulingGuard() { pthread_getschedparam(pthread_self(), &policy, &param); }
    ~SchedulingGuard() { pthread_setschedparam(pthread_self(), policy, &param); }
    SchedulingGuard(const SchedulingGuard&) = delete;
    SchedulingGuard& operator=(const SchedulingGuard&) = delete;

private:
    int policy = SCHED_OTHER;
    sched_param param{};
};

/** A private directory for the coefficient and equaliser files, removed with its contents on
 * destruction.  The equaliser file is named relative to ~/.mobu, the home directory coming
 * from the password database (MobuCommon::setFileName), so HOME can't redirect it: the name
 * climbs out of ~/.mobu with one ".." per component of its physical path instead. */
class Scratch {
public:
    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/processor-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("can't create a directory like " + pattern);
        dir = physical(pattern);

        const passwd* pw = getpwuid(getuid());
        if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] == '\0')
            throw std::runtime_error("no home directory in the password database");
        mobuDir = std::string(pw->pw_dir) + "/.mobu";
        createdMobuDir = mkdir(mobuDir.c_str(), 0700) == 0; // setFileName would create it as well
        const std::string real = physical(mobuDir);
        for (size_t i = 0; i + 1 < real.size(); ++i)
            if (real[i] == '/') up += "../";
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        if (createdMobuDir) rmdir(mobuDir.c_str()); // only when still empty
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string path(const std::string& name) const { return dir + "/" + name; }
    /// The name in ~/.mobu that reaches path(name).
    std::string fromMobuDir(const std::string& name) const { return up + path(name).substr(1); }

private:
    static std::string physical(const std::string& path) {
        char* real = realpath(path.c_str(), nullptr);
        if (real == nullptr) throw std::runtime_error("can't resolve " + path);
        std::string text(real);
        std::free(real);
        return text;
    }

    std::string dir, mobuDir, up;
    bool createdMobuDir = false;
};

/// Taps x channels of exponentially decaying noise: uniform in [-1, 1], -60 dB at the end.
Eigen::MatrixXd decayingNoise(int taps, int channels, std::mt19937_64& gen) {
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    Eigen::MatrixXd h(taps, channels);
    for (int c = 0; c < channels; ++c)
        for (int k = 0; k < taps; ++k)
            h(k, c) = dist(gen) * std::exp(-6.9 * k / taps);
    return h;
}

/// Seconds per period, or why the configuration could not be timed.
struct Cell {
    bench::CallTime time;
    int settle = 0; ///< periods run before timing
    std::string failure;
};

/// The processor with `threads` OpenMP threads, N frames per period, the given filters.
Cell timeProcessor(int N, int threads, const std::string& filterFile, const std::string& eqName, double seconds,
                   int runs, std::mt19937_64& gen) {
    omp_set_num_threads(threads);
    Cell cell;
    SchedulingGuard scheduling;
    bench::QuietStdout quiet; // the engines and the helper threads print progress lines
    BenchProcessor p;         // destroyed first: its destructor stops its threads
    if (!p.Playback::isOpen() || !p.Capture::isOpen()) {
        cell.failure = "can't open the null PCM";
        return cell;
    }
    p.init();
    if (p.addFilterFile(filterFile) != 0) cell.failure = "can't watch the coefficient file";
    p.addParaEQFile(eqName);
    if (p.Playback::setSampleRate(rate) < 0 || p.setLatency((N - 0.5f) / rate) != 0 || p.getN() != N)
        cell.failure = "can't set N";
    // The first pass sizes the blocks and builds the filters.
    if (cell.failure.empty() && p.process() != 0) cell.failure = "the first pass failed";
    if (!cell.failure.empty()) return cell;
    p.fillInput(gen);

    // Start-up: the equaliser switch (fade out, two silent periods, fade in) and the gain ramp.
    bool failed = false;
    while (cell.settle < 10 || (p.changesPending() && cell.settle < 2000)) {
        if (cell.settle >= 10) usleep(1000); // let the helper threads take up what is pending
        failed |= p.process() != 0;
        ++cell.settle;
    }
    if (failed || p.changesPending() || !p.allOutputsSound()) {
        cell.failure = failed               ? "process() ended the run"
                       : p.changesPending() ? "changes still pending"
                                            : "silent output";
        return cell;
    }
    cell.time = bench::timeCalls([&](size_t) { failed |= p.process() != 0; }, seconds, runs);
    if (failed) cell.failure = "process() ended the run";
    return cell;
}

/// zita with blocks of q frames on the same filters.
Cell timeZita(int q, const Eigen::MatrixXd& h, double seconds, int runs) {
    Cell cell;
    bench::ZitaEngine zita(q, h);
    std::vector<Eigen::MatrixXd> blocks;
    for (int b = 0; b < 16; ++b) // uniform within -6 dBFS, like the processor's input
        blocks.push_back(0.5 * Eigen::MatrixXd::Random(q, h.cols()));
    Eigen::MatrixXd out(q, h.cols());
    cell.time =
        bench::timeCalls([&](size_t k) { zita.process(blocks[k % blocks.size()].data(), out.data()); }, seconds, runs);
    return cell;
}

int nextPowerOfTwo(int n) {
    int p = 1;
    while (p < n)
        p *= 2;
    return p;
}

struct Row {
    int N, L, P, q;
    double bandwidth, bound;
    Cell team, single, zita;
};

/// Processor CPU time per period over the bound and over zita's, or why it wasn't timed.
std::string ratios(const Row& r, const Cell& c, const char* name, bool& withinBound, bool& belowZita) {
    if (!c.failure.empty()) return std::string(name) + " not timed (" + c.failure + ")";
    const double fraction = c.time.cpu * rate / r.N;
    const double toBound = fraction / r.bound;
    const double toZita = fraction / (r.zita.time.cpu * rate / r.q);
    withinBound = toBound <= 1.5;
    belowZita = toZita < 1.0;
    char text[96];
    std::snprintf(text, sizeof text, "%s %.2fx bound %.2fx zita", name, toBound, toZita);
    return text;
}

/// One line: both configurations' ratios, then whether each is within 1.5x of the bound and
/// (for N >= 256) below zita.
std::string verdict(const Row& r) {
    bool withinSingle = false, belowSingle = false, withinTeam = false, belowTeam = false;
    const std::string single = ratios(r, r.single, "1 thread", withinSingle, belowSingle);
    const std::string team = ratios(r, r.team, "team", withinTeam, belowTeam);
    auto yes = [](bool b) { return b ? "yes" : "NO"; };
    std::string text = single + " | " + team + " | within 1.5x of the bound: " + yes(withinSingle) + ", " +
                       yes(withinTeam) + "; below zita: ";
    return text +
           (r.N < 256 ? std::string("not judged (N < 256)") : std::string(yes(belowSingle)) + ", " + yes(belowTeam));
}

void usage() {
    std::cout << "processor-bench [-t seconds]\n"
                 "  -t   CPU seconds spent timing each configuration (default 1; the run takes about a minute)\n";
}

} // namespace

int main(int argc, char* argv[]) {
    const OptionParser options(argc, argv);
    if (options.has("h") || options.has("help")) {
        usage();
        return 0;
    }
    double seconds = 1.0;
    if (options.has("t") && (options.getArg("t", seconds) != 0 || !(seconds > 0.0))) {
        usage();
        return 255;
    }
    const int runs = 3;
    const int team = omp_get_max_threads();
    std::mt19937_64 gen(20240611);

    try {
        const Scratch scratch;
        const std::string eqFile = "eq.json";
        std::ofstream(scratch.path(eqFile)) << R"([{"type": "BPF", "Fc": 1000, "dB": -3, "Q": 2}])"
                                            << "\n";
        std::vector<Eigen::MatrixXd> filters;
        for (const int L : tapCounts) {
            filters.push_back(decayingNoise(L, outputs, gen));
            if (writeAudioFile(scratch.path("filters-" + std::to_string(L) + ".wav"), rate, filters.back()) != 0)
                throw std::runtime_error("can't write the coefficient file");
        }

        std::printf("Full-duplex processor benchmark on %s: 2 inputs, equaliser, %d FIR outputs at %u Hz,\n"
                    "process() called back to back on the alsa-lib \"null\" PCM\n",
                    bench::cpuModel().c_str(), outputs, rate);
        std::printf("CPU time of the whole process (CLOCK_PROCESS_CPUTIME_ID: every OpenMP and zita thread counts)\n"
                    "per period as a fraction of the period; best of %d runs of %.3g CPU s per configuration\n",
                    runs, seconds / runs);
        std::printf("team: OpenMP with its default team of %d thread(s); 1 thread: omp_set_num_threads(1)\n\n", team);

        std::vector<Row> rows;
        for (const int N : blockSizes)
            for (size_t t = 0; t < tapCounts.size(); ++t) {
                const int L = tapCounts[t];
                Row r{N, L, bench::partitions(N, L), nextPowerOfTwo(N), 0, 0, {}, {}, {}};
                const double bytes = bench::spectraBytesPerBlock(N, L, outputs);
                r.bandwidth = bench::readBandwidth(static_cast<size_t>(bytes), 0.3, runs);
                r.bound = bytes / r.bandwidth * 1e-9 / (static_cast<double>(N) / rate);
                const std::string file = scratch.path("filters-" + std::to_string(L) + ".wav");
                r.team = timeProcessor(N, team, file, scratch.fromMobuDir(eqFile), seconds, runs, gen);
                r.single = timeProcessor(N, 1, file, scratch.fromMobuDir(eqFile), seconds, runs, gen);
                r.zita = timeZita(r.q, filters[t], seconds, runs);
                auto state = [](const Cell& c) {
                    return c.failure.empty() ? "ready after " + std::to_string(c.settle) + " periods" : c.failure;
                };
                std::printf("  N %4d taps %6d: team %s, 1 thread %s\n", N, L, state(r.team).c_str(),
                            state(r.single).c_str());
                std::fflush(stdout);
                rows.push_back(r);
            }

        std::printf(
            "\nCPU time per period / period.  zita: blocks of zq frames (a power of two), over its own period.\n"
            "bound: bytes of history and windowSpectra of the %d engines read per period (32 N P x %d)\n"
            "/ read bandwidth (GB/s) for a buffer of that size.  wall: microseconds per period.\n\n",
            outputs, outputs);
        std::printf("%5s %7s %5s %8s | %6s %8s %6s %4s %6s | %8s %8s %8s | %5s\n", "N", "taps", "P", "period", "team",
                    "1 thread", "zita", "zq", "bound", "team", "1 thread", "zita", "GB/s");
        std::printf("%5s %7s %5s %8s | %34s | %26s |\n", "", "", "", "us", "CPU time / period", "wall us per period");
        auto fraction = [](const Cell& c, int frames) {
            return c.failure.empty() ? c.time.cpu / (static_cast<double>(frames) / rate) : NAN;
        };
        auto micro = [](const Cell& c) { return c.failure.empty() ? c.time.wall * 1e6 : NAN; };
        for (const Row& r : rows)
            std::printf("%5d %7d %5d %8.1f | %6.3f %8.3f %6.3f %4d %6.3f | %8.1f %8.1f %8.1f | %5.1f\n", r.N, r.L, r.P,
                        1e6 * r.N / rate, fraction(r.team, r.N), fraction(r.single, r.N), fraction(r.zita, r.q), r.q,
                        r.bound, micro(r.team), micro(r.single), micro(r.zita), r.bandwidth);

        std::printf("\nProcessor CPU time per period over the bound's and over zita's (1 thread, team); verdicts\n");
        for (const Row& r : rows)
            std::printf("  N %4d taps %6d | %s\n", r.N, r.L, verdict(r).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "processor-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
