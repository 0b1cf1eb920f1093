// Full-duplex processor benchmark.
//
// Drives FullDuplexFIR (2 inputs, parametric equaliser, 8 FIR outputs, gains, metering)
// without a sound card: the processor is opened on alsa-lib's "null" PCM in both directions
// and its process() is called back to back, as the driver loop calls it once per period, on
// one block of random input.  For 8 outputs x {16384, 65536, 131072, 262144} taps at 48 kHz
// and periods of N = 64, 256, 480 and 1024 frames it prints, side by side:
//   processor  the whole processor as built, with the OpenMP team over the channels
//   engines    its filtering as built: 8 FIR engines (one-channel FIRMobu each, automatic
//              partitioning), output m fed by input m mod 2, in one thread
//   uniform    the same engines uniformly partitioned
//   zita 2x8   libzita-convolver in the processor's topology: one convolver of 2 inputs and
//              8 outputs, output m fed by input m mod 2 (each input transformed once)
//   zita 8x8   the same filters as 8 single-input convolutions
// zita is configured for speed as its users configure it (OPT_FFTW_MEASURE | OPT_VECTOR_MODE,
// quantum = smallest partition = N, or the next power of two behind a FIFO for N = 480,
// largest partition MAXPART, its worker threads SCHED_OTHER) and driven as its hosts drive it
// (its own buffers in and out when N is the quantum, a memcpy FIFO otherwise).  Each is given as
// CPU time per period over the period (the mean over the turns), the 99.9th percentile and the
// largest time of a single period over the median, and the memory it adds to the process (peak
// and held resident size, the engines' after the processor's releaseFreedMemory()).  Before
// timing, the engines' output is checked against zita 2x8's (float precision) over more periods
// than the filter is long.  CPU time is that of the whole process for the processor and zita
// (the OpenMP team and zita's worker threads work as well; a zita turn ends once its workers are
// idle), the calling thread's for the engines, which do all their work there.
#include "BenchSupport.h"

#include <MobuEmbedded/FIRMobu.h>
#include <MemoryRelease.h>
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
#include <memory>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr unsigned rate = 48000;
constexpr int outputs = IOLevels::OUT_CHCNT;
std::vector<int> blockSizes = {64, 256, 480, 1024};
std::vector<int> tapCounts = {16384, 65536, 131072, 262144};

/// A comma-separated list of positive numbers, or false.
bool parseList(const std::string& text, std::vector<int>& values) {
    std::vector<int> parsed;
    for (size_t pos = 0; pos <= text.size();) {
        const size_t comma = std::min(text.find(',', pos), text.size());
        char* end = nullptr;
        const std::string item = text.substr(pos, comma - pos);
        const long v = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || v < 1 || v > (1 << 24)) return false;
        parsed.push_back(static_cast<int>(v));
        pos = comma + 1;
    }
    values = parsed;
    return true;
}
constexpr int rounds = 3; ///< turns the engines and zita take at each configuration

/// The processor driven by hand: process() once per period, no stream is ever started.
class BenchProcessor : public FullDuplexFIR {
public:
    BenchProcessor() : FullDuplexFIR(std::string("null"), std::string("null")) {}
    // The helper threads make virtual calls on the processor: they end before its destruction
    // begins, which replaces the virtual table under them.
    ~BenchProcessor() override {
        FileWatchThreaded::stop();
        MixerEvents::stopEvents();
    }

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
/// highest SCHED_FIFO priority, and zita is to run as in fir-bench.
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

/// Times per period, or why the configuration could not be timed.
struct Cell {
    bench::PeriodTimes time;
    int settle = 0; ///< periods run before timing
    std::string failure;
};

/// The processor as built with `threads` OpenMP threads, N frames per period, the given filters;
/// at least minPeriods periods are timed.
Cell timeProcessor(int N, int threads, const std::string& filterFile, const std::string& eqName, double seconds,
                   size_t minPeriods, std::mt19937_64& gen) {
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
    // One thread: all the work is the caller's, timed on its CPU clock; a team: wall clock.
    cell.time = bench::timePeriods([&](size_t) { failed |= p.process() != 0; }, seconds, minPeriods, threads == 1);
    if (failed) cell.failure = "process() ended the run";
    return cell;
}

/// Blocks of random input, uniform within -6 dBFS like the processor's, N x inputs.
std::vector<Eigen::MatrixXd> randomBlocks(int N, int inputs) {
    std::vector<Eigen::MatrixXd> blocks;
    for (int b = 0; b < 16; ++b)
        blocks.push_back(0.5 * Eigen::MatrixXd::Random(N, inputs));
    return blocks;
}

/** The processor's filtering alone, run in this thread, partitioned as given (Automatic: as
 * built), output m fed by input m mod 2.  Shared (as the processor builds it): one engine per
 * input for the four outputs it feeds, transforming the input once; otherwise one
 * one-channel engine per output, as the processor had them before.  Their work repeats
 * every `cycle` periods. */
class EngineSet {
public:
    EngineSet(int N, const Eigen::MatrixXd& h, FIRMobu::Partitioning partitioning, size_t cycle, bool shared = true)
        : cycle(cycle), log(cycle), blocks(randomBlocks(N, inputs)), out(N, h.cols()) {
        bench::QuietStdout quiet;
        if (shared) {
            std::vector<Eigen::VectorXd> taps;
            for (Eigen::Index c = 0; c < h.cols(); ++c)
                taps.push_back(h.col(c));
            engines = FIRMobu::perInputEngines(2 * N, inputs, taps, partitioning);
            return;
        }
        for (Eigen::Index c = 0; c < h.cols(); ++c) {
            engines.push_back(std::make_unique<FIRMobu>(2 * N));
            engines.back()->setPartitioning(partitioning);
            engines.back()->loadTimeDomainCoefficients(Eigen::MatrixXd(h.col(c)));
        }
    }
    /// One period: block x (N x 2) in, the 8 outputs in y (N x 8).
    void process(const double* x, double* y) {
        const Eigen::Index N = out.rows();
        const Eigen::Map<const Eigen::MatrixXd> in(x, N, inputs);
        const int E = static_cast<int>(engines.size());
        for (int e = 0; e < E; ++e) {
            // Engine e reads input e mod 2; its channel k is output e + E k.
            engines[e]->filterLocal(in.col(e % inputs), 0);
            for (int k = 0; k < engines[e]->getChCnt(); ++k)
                Eigen::Map<Eigen::VectorXd>(y + (e + E * k) * N, N) = engines[e]->getFiltered().col(k).matrix();
        }
    }
    void run(size_t periods) {
        for (size_t k = 0; k < periods; ++k)
            process(blocks[k % blocks.size()].data(), out.data());
    }
    /// One turn, after one untimed cycle.  All the work is this thread's: its CPU clock.
    void turn(double seconds, size_t minPeriods) {
        log.turn([&](size_t k) { process(blocks[k % blocks.size()].data(), out.data()); }, seconds, minPeriods, true,
                 cycle);
    }
    bench::PeriodTimes times() const { return log.summary(); }

    static constexpr int inputs = IOLevels::IN_CHCNT;

private:
    size_t cycle;
    bench::PeriodLog log;
    std::vector<std::unique_ptr<FIRMobu>> engines;
    std::vector<Eigen::MatrixXd> blocks;
    Eigen::MatrixXd out;
};

/// zita with blocks of N frames on the same filters, `inputs` inputs (output m fed by input
/// m mod inputs); the caller waits for its worker threads when they are late, so single periods
/// are timed on the wall clock, and the CPU time is the whole process's.
class ZitaSet {
public:
    ZitaSet(int N, const Eigen::MatrixXd& h, int inputs)
        : zita(N, h, inputs), blocks(randomBlocks(N, inputs)), out(N, h.cols()) {}
    void run(size_t periods) {
        for (size_t k = 0; k < periods; ++k)
            zita.process(blocks[k % blocks.size()].data(), out.data());
    }
    void turn(double seconds, size_t minPeriods, size_t warmUp) {
        log.turn([&](size_t k) { zita.process(blocks[k % blocks.size()].data(), out.data()); }, seconds, minPeriods,
                 false, warmUp, [&] { zita.drain(); });
    }
    bench::PeriodTimes times() const { return log.summary(); }
    bench::ZitaEngine& engine() { return zita; }

private:
    bench::ZitaEngine zita;
    std::vector<Eigen::MatrixXd> blocks;
    Eigen::MatrixXd out;
    bench::PeriodLog log;
};

/** Largest difference between the engines' output and zita's (delayed by its FIFO) over
 * `periods` periods of random input, relative to the largest output sample.  Both have run on
 * other input before: the periods compared come after as many of common input as the filter
 * is long, so that what either had in memory has left both. */
double outputDifference(EngineSet& engines, bench::ZitaEngine& zita, int N, int C, int taps, size_t periods,
                        std::mt19937_64& gen) {
    std::uniform_real_distribution<double> dist(-0.5, 0.5);
    Eigen::MatrixXd x(N, EngineSet::inputs), a(N, C), b(N, C);
    const Eigen::Index skip = (taps + zita.latency() + N - 1) / N + 1, d = zita.latency();
    const Eigen::Index total = skip + static_cast<Eigen::Index>(periods) + d / N + 1;
    Eigen::MatrixXd ya(total * N, C), yb(total * N, C);
    for (Eigen::Index k = 0; k < total; ++k) {
        for (Eigen::Index i = 0; i < x.size(); ++i)
            x.data()[i] = dist(gen);
        engines.process(x.data(), a.data());
        zita.process(x.data(), b.data());
        ya.middleRows(k * N, N) = a;
        yb.middleRows(k * N, N) = b;
    }
    const Eigen::Index rows = static_cast<Eigen::Index>(periods) * N;
    const auto ours = ya.middleRows(skip * N, rows);
    return (ours - yb.middleRows(skip * N + d, rows)).cwiseAbs().maxCoeff() / ours.cwiseAbs().maxCoeff();
}

/// Memory a set adds: what it holds once warmed up and its peak since construction began.
struct Memory {
    double held = NAN, peak = NAN;
};

/** The same per-period timing of a fixed loop of arithmetic in cache (about 30 us): how far
 * single periods stray on this machine when the work itself never changes. */
bench::PeriodTimes machineNoise() {
    std::vector<double> buffer(4096, 1.0);
    volatile double sink = 0.0;
    return bench::timePeriods(
        [&](size_t) {
            double sum = 0.0;
            for (int pass = 0; pass < 16; ++pass)
                for (const double v : buffer)
                    sum += v * 1.0000001;
            sink = sum;
        },
        0.0, 20000, true);
}

struct Row {
    int N, L, q;
    std::string stages; ///< block lengths / N of the automatic schedule's later stages
    Cell team, engines, uniform, separate, zita, zita8;
    Memory engineMemory, zitaMemory, zita8Memory;
    double difference = NAN; ///< engines against zita 2x8, relative to the output's peak
};

/// CPU time per period over the period, NaN when not timed.
double fraction(const Cell& c, int frames) {
    return c.failure.empty() ? c.time.cpu / (static_cast<double>(frames) / rate) : NAN;
}
double spread(const Cell& c) {
    return c.failure.empty() ? c.time.worst / c.time.median : NAN;
}
double highSpread(const Cell& c) {
    return c.failure.empty() ? c.time.high / c.time.median : NAN;
}
double phaseSpread(const Cell& c) {
    return c.failure.empty() ? c.time.worstPhase / c.time.median : NAN;
}

/** The aims against zita 2x8 (the processor's topology) for the engines' precision: mean CPU
 * per period at most 0.7x zita's from 65536 taps on and 0.9x at 16384 in single precision, 1.2x
 * in double; memory held at 262144 taps at most 1.3x zita's in single, 2.0x in double. */
std::string verdict(const Row& r, bool single) {
    for (const Cell* c : {&r.engines, &r.uniform, &r.separate, &r.zita, &r.zita8, &r.team})
        if (!c->failure.empty()) return "not timed (" + c->failure + ")";
    const double toZita = fraction(r.engines, r.N) / fraction(r.zita, r.N);
    const double limit = single ? (r.L >= 65536 ? 0.7 : 0.9) : 1.2;
    const double held = r.engineMemory.held / r.zitaMemory.held;
    const double heldLimit = single ? 1.3 : 2.0;
    std::string memoryAim = "-";
    if (r.L == 262144) memoryAim = held <= heldLimit ? "yes" : "NO";
    char text[480];
    std::snprintf(text, sizeof text,
                  "output difference to zita 2x8 %.1e; engines/zita 2x8 CPU %.2f (aim <= %.1f): %s; held MiB "
                  "engines %.1f, zita 2x8 %.1f, 8x8 %.1f (peak %.1f, %.1f, %.1f), ratio %.2f (aim <= %.1f at 262144 "
                  "taps): %s; worst/median %.2f, 99.9 %%/median %.2f, worst phase/median %.2f",
                  r.difference, toZita, limit, toZita <= limit ? "yes" : "NO", r.engineMemory.held, r.zitaMemory.held,
                  r.zita8Memory.held, r.engineMemory.peak, r.zitaMemory.peak, r.zita8Memory.peak, held, heldLimit,
                  memoryAim.c_str(), spread(r.engines), highSpread(r.engines), phaseSpread(r.engines));
    return text;
}

void usage() {
    std::cout << "processor-bench [-t seconds] [--N=64,256,480,1024] [--taps=16384,65536,131072,262144]\n"
                 "  -t      CPU seconds spent timing each configuration (default 1; the run takes a few minutes,\n"
                 "          -t 0.1 under a minute)\n"
                 "  --N     periods in frames (from 64 on)\n"
                 "  --taps  filter lengths (from 2 on)\n";
}

} // namespace

int main(int argc, char* argv[]) {
    const OptionParser options(argc, argv);
    if (options.has("h") || options.has("help")) {
        usage();
        return 0;
    }
    double seconds = 1.0;
    std::string nList, tapList;
    if ((options.has("t") && (options.getArg("t", seconds) != 0 || !(seconds > 0.0))) ||
        (options.has("N") && (options.getArg("N", nList) != 0 || !parseList(nList, blockSizes))) ||
        (options.has("taps") && (options.getArg("taps", tapList) != 0 || !parseList(tapList, tapCounts)))) {
        usage();
        return 255;
    }
    for (const int N : blockSizes)
        if (N < 64) {
            usage();
            return 255;
        }
    const int team = omp_get_max_threads();
    const bool single = FIRMobu::defaultPrecision() == FIRMobu::Precision::Single;
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
                    "process() called back to back on the alsa-lib \"null\" PCM; %.3g CPU s per configuration\n",
                    bench::cpuModel().c_str(), outputs, rate, seconds);
        std::printf("processor: OpenMP with its default team of %d thread(s); the engines' later stages in %s "
                    "precision\n",
                    team, single ? "single" : "double");
        const bench::PeriodTimes noise = machineNoise();
        std::printf("machine noise: a fixed arithmetic loop of %.0f us timed %zu times on this thread's CPU clock, "
                    "99.9 %%/median %.2f, worst/median %.2f\n\n",
                    1e6 * noise.median, noise.periods, noise.high / noise.median, noise.worst / noise.median);

        std::vector<Row> rows;
        for (const int N : blockSizes)
            for (size_t t = 0; t < tapCounts.size(); ++t) {
                const int L = tapCounts[t];
                Row r{N, L, bench::ZitaEngine::quantumFor(N), "", {}, {}, {}, {}, {}, {}, {}, {}, {}};
                std::vector<int> ratios;
                if (bench::partitions(N, L) >= FIRMobu::nonUniformFromPartitions)
                    ratios = FIRMobu::nonUniformSchedule(L, N);
                for (const int s : ratios)
                    r.stages += (r.stages.empty() ? "" : ",") + std::to_string(s);
                if (r.stages.empty()) r.stages = "-";
                // Every phase of the longest stage's cycle at least five times.
                const size_t cycle = ratios.empty() ? 1 : static_cast<size_t>(ratios.back());
                const size_t minPeriods = std::max<size_t>(5 * cycle, 32);
                // zita's longest partition repeats every MAXPART frames.
                const size_t zitaCycle = Convproc::MAXPART / static_cast<size_t>(N) + 2;
                const std::string file = scratch.path("filters-" + std::to_string(L) + ".wav");
                const std::string eq = scratch.fromMobuDir(eqFile);
                r.team = timeProcessor(N, team, file, eq, seconds, 32, gen);
                {
                    EngineSet uniform(N, filters[t], FIRMobu::Partitioning::Uniform, 1);
                    uniform.turn(seconds, 16);
                    r.uniform.time = uniform.times();
                }
                {
                    EngineSet separate(N, filters[t], FIRMobu::Partitioning::Automatic, cycle, false);
                    separate.turn(seconds, minPeriods);
                    r.separate.time = separate.times();
                }
                // Each set's memory: built and run for a cycle, before the next one is built.
                auto measured = [](const bench::MemoryMeter& meter) {
                    return Memory{meter.heldMiB(), meter.peakMiB()};
                };
                std::unique_ptr<EngineSet> engines;
                std::unique_ptr<ZitaSet> zita, zita8;
                {
                    const bench::MemoryMeter meter;
                    engines = std::make_unique<EngineSet>(N, filters[t], FIRMobu::Partitioning::Automatic, cycle);
                    releaseFreedMemory(); // as the processor does once a set is built
                    engines->run(cycle + 1);
                    r.engineMemory = measured(meter);
                }
                {
                    const bench::MemoryMeter meter;
                    zita = std::make_unique<ZitaSet>(N, filters[t], EngineSet::inputs);
                    zita->run(zitaCycle);
                    r.zitaMemory = measured(meter);
                }
                {
                    const bench::MemoryMeter meter;
                    zita8 = std::make_unique<ZitaSet>(N, filters[t], outputs);
                    zita8->run(zitaCycle);
                    r.zita8Memory = measured(meter);
                }
                r.difference = outputDifference(*engines, zita->engine(), N, outputs, L,
                                                static_cast<size_t>(bench::partitions(N, L) + 4), gen);
                if (!(r.difference < 1e-4))
                    r.zita.failure = r.engines.failure =
                        "output differs from zita's by " + std::to_string(r.difference);
                // The engines and zita take turns, so that all see the machine as it was.
                for (int round = 0; round < rounds && r.engines.failure.empty(); ++round) {
                    engines->turn(seconds / rounds, minPeriods);
                    zita->turn(seconds / rounds, minPeriods, zitaCycle);
                    zita8->turn(seconds / rounds, minPeriods, zitaCycle);
                }
                r.engines.time = engines->times();
                r.zita.time = zita->times();
                r.zita8.time = zita8->times();
                std::printf("  N %4d taps %6d: %s\n", N, L, verdict(r, single).c_str());
                std::fflush(stdout);
                rows.push_back(r);
            }

        std::printf(
            "\nCPU: CPU time per period / period, of the whole process for the processor and zita, of the calling\n"
            "thread for the engines.  processor: the whole processor as built, OpenMP team.  engines: its filtering\n"
            "as built (output m fed by input m mod 2: one engine per input for its four outputs, each input\n"
            "transformed once) in one thread, automatic partitioning; uniform: the same uniformly partitioned; sep.:\n"
            "8 one-channel engines, one per output, each transforming its input.  zita: OPT_FFTW_MEASURE | "
            "OPT_VECTOR_MODE, quantum = smallest\n"
            "partition zq (behind a FIFO when zq > N), largest MAXPART; 2x8: one convolver with 2 inputs and 8\n"
            "outputs (the processor's topology), 8x8: 8 single-input convolutions.  The engines and zita take three\n"
            "turns: the mean CPU per period over all three (a zita turn ends once its workers are idle), the spreads\n"
            "over all their periods.  w/m: the largest over the median time of one period (engines: the caller's\n"
            "CPU clock; zita: wall clock, its caller waits for its workers), after one untimed cycle.  q/m: the same\n"
            "for the 99.9th percentile of periods.  ph/m: the largest median of one phase of the longest stage's\n"
            "cycle over the median.  MiB: resident memory the set holds once built and run for one cycle (the\n"
            "engines after releaseFreedMemory(), as the processor; the check lines give the peaks too).  stages:\n"
            "block lengths / N of the later stages "
            "(-: uniform).\n\n");
        std::printf("%5s %7s %7s | %9s | %7s %6s %5s %5s %6s | %7s %6s | %6s %6s %5s %6s | %6s %6s | %4s | %5s %5s | "
                    "%s\n",
                    "N", "taps", "period", "processor", "engines", "w/m", "q/m", "ph/m", "MiB", "uniform", "sep.",
                    "zita", "w/m", "q/m", "MiB", "zita", "MiB", "zq", "eng./", "eng./", "stages");
        std::printf("%5s %7s %7s | %9s | %7s %6s %5s %5s %6s | %7s %6s | %6s %6s %5s %6s | %6s %6s | %4s | %5s %5s |\n",
                    "", "", "us", "CPU", "CPU", "", "", "", "", "CPU", "CPU", "2x8", "", "", "", "8x8", "", "", "zita",
                    "zita");
        std::printf("%5s %7s %7s | %9s | %7s %6s %5s %5s %6s | %7s %6s | %6s %6s %5s %6s | %6s %6s | %4s | %5s %5s |\n",
                    "", "", "", "", "", "", "", "", "", "", "", "CPU", "", "", "", "CPU", "", "", "CPU", "MiB");
        for (const Row& r : rows)
            std::printf(
                "%5d %7d %7.1f | %9.3f | %7.3f %6.2f %5.2f %5.2f %6.1f | %7.3f %6.3f | %6.3f %6.2f %5.2f %6.1f | "
                "%6.3f %6.1f | %4d | %5.2f %5.2f | %s\n",
                r.N, r.L, 1e6 * r.N / rate, fraction(r.team, r.N), fraction(r.engines, r.N), spread(r.engines),
                highSpread(r.engines), phaseSpread(r.engines), r.engineMemory.held, fraction(r.uniform, r.N),
                fraction(r.separate, r.N), fraction(r.zita, r.N), spread(r.zita), highSpread(r.zita), r.zitaMemory.held,
                fraction(r.zita8, r.N), r.zita8Memory.held, r.q, fraction(r.engines, r.N) / fraction(r.zita, r.N),
                r.engineMemory.held / r.zitaMemory.held, r.stages.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "processor-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
