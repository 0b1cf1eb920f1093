// The full-duplex processor on the virtual board: configuration, period-by-period
// switching of filters and equalisers, gains from the mixer changed by amixer in
// another process, the metering FIFO read by another process, an over/under-run,
// a storm of changes, and no allocation on the audio thread.
//
// The processor plays to the loop-back board in lock-step mode (so every period
// is processed, none is lost to timing); a probe class feeds each period a known
// programme instead of the looped-back capture and keeps every output block.
#include "LoopbackBoard.h"
#include "TestSignals.h"

#include <MobuEmbedded/FullDuplexFIR.h>
#include <MobuEmbedded/ParaEQ.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "AllocationAudit.h"

namespace {

using Block = Eigen::Array<int, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
constexpr int periodFrames = 480; // 10 ms at 48 kHz
constexpr int N = periodFrames;

// --- the processor's log ---------------------------------------------------------------------
std::mutex logMutex;
std::vector<std::string> logLines;

void collect(int, const char* line) {
    std::lock_guard<std::mutex> lock(logMutex);
    logLines.emplace_back(line);
}

int countLog(const std::string& text) {
    std::lock_guard<std::mutex> lock(logMutex);
    return static_cast<int>(std::count_if(logLines.begin(), logLines.end(),
                                          [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

/// Waits until cond() holds (false after `seconds`).
bool waitFor(const std::function<bool()>& cond, double seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// --- files ----------------------------------------------------------------------------------
/// Writes an audio file the way the user interface should: a new file renamed over the old one.
void replaceAudioFile(const std::string& path, const Eigen::MatrixXd& data) {
    ASSERT_EQ(writeAudioFile(path + ".new.wav", 48000, data), 0);
    ASSERT_EQ(rename((path + ".new.wav").c_str(), path.c_str()), 0);
}

/// Reads the coefficients back as stored (the file holds 32-bit samples).
Eigen::MatrixXd readAudioFile(const std::string& path) {
    Sox<double> sox;
    EXPECT_GE(sox.openRead(path), SOX_REFERENCE_WARNING);
    Eigen::MatrixXd data;
    EXPECT_GT(sox.read(data), 0);
    return data;
}

using mobutest::randomFilters;

/// A unit impulse scaled by `scale` in every channel (2049 taps, the shortest the loader keeps).
Eigen::MatrixXd impulses(double scale, int channels = 8) {
    Eigen::MatrixXd h = Eigen::MatrixXd::Zero(2049, channels);
    h.row(0).setConstant(scale);
    return h;
}

/// Stereo noise of `periods` periods, |x| between 2^27 and 2^28 (no sample near zero).
Block programme(int periods, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(1 << 27, 1 << 28);
    Block x(periods * N, 2);
    for (Eigen::Index i = 0; i < x.size(); ++i)
        x(i) = (gen() & 1) ? dist(gen) : -dist(gen);
    return x;
}

std::string eqPath(const std::string& name) {
    return mobutest::testHome() + "/.mobu/" + name;
}

void replaceEq(const std::string& name, const std::string& json) {
    mkdir((mobutest::testHome() + "/.mobu").c_str(), 0700);
    mobutest::writeFile(eqPath(name) + ".new", json);
    ASSERT_EQ(rename((eqPath(name) + ".new").c_str(), eqPath(name).c_str()), 0);
}

mobutest::ProcessResult amixer(const LoopbackBoard& board, std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/amixer", "-q", "-D", "board"});
    return mobutest::runProcess(LoopbackBoard::tool(args), board.environment());
}

// --- references -----------------------------------------------------------------------------
/// y(n) = sum_k h(k) u(n - k) for n in [from, from + count), long double accumulation.
Eigen::ArrayXd convolve(const Eigen::ArrayXd& u, const Eigen::VectorXd& h, Eigen::Index from, Eigen::Index count) {
    Eigen::ArrayXd y(count);
    for (Eigen::Index n = from; n < from + count; ++n) {
        long double acc = 0.0L;
        for (Eigen::Index k = 0; k < h.size() && k <= n; ++k)
            acc += static_cast<long double>(h(k)) * u(n - k);
        y(n - from) = static_cast<double>(acc);
    }
    return y;
}

enum class Shape { Plain, FadeOut, Silent, FadeIn };

/// Expects one period of one output channel: trunc(ref x ramp x gain), to one step and 1e-9.
void expectPeriod(const Block& out, int channel, const Eigen::ArrayXd& ref, Shape shape, double gain,
                  const std::string& what) {
    int bad = 0;
    for (int n = 0; n < N; ++n) {
        const double ramp = shape == Shape::Plain     ? 1.0
                            : shape == Shape::Silent  ? 0.0
                            : shape == Shape::FadeOut ? 1.0 - double(n) / (N - 1)
                                                      : double(n) / (N - 1);
        const double expected = std::trunc(ref(n) * ramp * gain);
        if (std::abs(out(n, channel) - expected) > 1.0 + 1e-9 * std::abs(expected) && bad++ < 3)
            ADD_FAILURE() << what << " channel " << channel << " sample " << n << ": " << out(n, channel)
                          << " expected " << expected;
    }
}

/// Expects a gain ramp from a to b (linear, both ends included) on trunc(x x scale x gain).
void expectGain(const Block& out, const Block& x, int channel, double scale, double a, double b,
                const std::string& what) {
    const Eigen::ArrayXd g = Eigen::ArrayXd::LinSpaced(N, a, b);
    int bad = 0;
    for (int n = 0; n < N; ++n) {
        const double expected = std::trunc(x(n, channel % 2) * scale * g(n));
        if (std::abs(out(n, channel) - expected) > 1.0 + 1e-9 * std::abs(expected) && bad++ < 3)
            ADD_FAILURE() << what << " channel " << channel << " sample " << n << ": " << out(n, channel)
                          << " expected " << expected << " (gain " << a << " to " << b << ")";
    }
}

// --- the probe --------------------------------------------------------------------------------
/** The processor with a known programme as input: call k (k >= 1) gets rows
 * [(k - 1) N, k N) of `input`, its output block is kept in outputs[k - 1], and
 * after(k) runs after the call (on the audio thread). */
class Probe : public FullDuplexFIR {
public:
    explicit Probe(const char* playback = "board_playback", const char* capture = "board_capture")
        : FullDuplexFIR(playback, capture) {}
    // The helper threads make virtual calls on the processor: they end before its destruction
    // begins, which replaces the virtual table under them.
    ~Probe() override {
        FileWatchThreaded::stop();
        MixerEvents::stopEvents();
    }

    int process() override {
        const int k = calls++;
        if (k > 0 && xrunDetected() && firstXrun < 0) firstXrun = k;
        if (k > 0 && feed)
            feed(k, inputAudio);
        else if (k > 0 && input.rows() >= k * periodFrames)
            inputAudio = input.middleRows((k - 1) * periodFrames, periodFrames);
        if (k > 0 && audit && !auditing) { // mark the OpenMP team's threads as well
            auditing = true;
#pragma omp parallel
            audited = true;
        }
        audited = k > 0 && audit;
        const int ret = FullDuplexFIR::process();
        audited = false;
        if (ret != 0 && auditing) { // the run ends: the team's threads may go
#pragma omp parallel
            audited = false;
        }
        if (k > 0 && ret == 0) {
            if (keep) outputs.push_back(outputAudio);
            if (after) after(k);
        }
        return ret;
    }
    /// The block of call k.
    const Block& out(int k) const {
        return outputs.at(k - 1);
    }
    /// The input of call k.
    Block in(int k) const {
        return input.middleRows((k - 1) * periodFrames, periodFrames);
    }
    /// The blocks of the call that runs after() now.
    const Block& currentOutput() const {
        return outputAudio;
    }
    const Block& currentInput() const {
        return inputAudio;
    }

    Block input;                           ///< the programme, or
    std::function<void(int, Block&)> feed; ///< fills the input of call k
    std::function<void(int)> after;
    std::vector<Block> outputs;
    bool keep = true; ///< keep every output block
    int calls = 0;
    int firstXrun = -1; ///< the first call that saw an over/under-run
    bool audit = false;

private:
    bool auditing = false;
};

class Processor : public ::testing::Test {
protected:
    void SetUp() override {
        board = std::make_unique<LoopbackBoard>(std::vector<std::string>{"--mode", "lockstep"});
        ASSERT_TRUE(board->ok()) << board->generator().err;
        board->use();
        dir = mobutest::makeTempDir("proc");
        filter = dir + "/filters.wav";
        fifo = dir + "/levels";
        eqName = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".json";
        {
            std::lock_guard<std::mutex> lock(logMutex);
            logLines.clear();
        }
        setLogObserver(collect);
        sigusr1_received = sigusr2_received = shutdown_received = 0;
        auditedAllocations = 0;
    }
    void TearDown() override {
        setLogObserver(nullptr);
        mobutest::removeTree(dir);
    }

    /// The configuration file; `more` holds further lines of the section.
    std::string config(const std::string& mixer = "board", const std::string& guard = "",
                       const std::string& more = "") {
        const std::string path = dir + "/processor.conf";
        mobutest::writeFile(path, "MobuFullDuplexFIR {\n  filter \"" + filter + "\"\n  paraeq \"" + eqName +
                                      "\"\n  mixerDevice \"" + mixer + "\"\n  fifopath \"" + fifo + "\"\n" +
                                      (guard.empty() ? "" : "  guard \"" + guard + "\"\n") + more + "}\n");
        return path;
    }

    /// Runs the probe on a thread of its own (init raises it to real-time priority); go()'s result.
    int run(Probe& p, const std::string& configFile, int expectConfig = 0) {
        return mobutest::finishesWithin(std::chrono::seconds(240), [&] {
            p.init();
            const int loaded = p.loadConfig(configFile);
            EXPECT_EQ(loaded < 0, expectConfig < 0) << loaded;
            p.Playback::setSampleRate(48000);
            EXPECT_EQ(p.setLatency(0.01f), 0);
            EXPECT_EQ(p.getN(), N);
            const int ret = p.go();
            EXPECT_TRUE(waitFor([&] { return p.controlIdle(); })); // the audio thread's lines are logged
            return ret;
        });
    }

    void expectNoAuditedAllocation() {
#ifdef MOBU_AUDIT_ALLOCATIONS
        EXPECT_EQ(auditedAllocations.load(), 0) << "the audio thread allocated after the first pass";
#endif
    }

    std::unique_ptr<LoopbackBoard> board;
    std::string dir, filter, fifo, eqName;
};

// --- configuration and small operations --------------------------------------------------------

TEST_F(Processor, ConfigurationNeedsEveryKeyAndAppliesThoseBefore) {
    replaceAudioFile(filter, impulses(0.5));
    const std::string all = "MobuFullDuplexFIR { filter \"" + filter + "\" paraeq \"" + eqName +
                            "\" mixerDevice \"board\" fifopath \"" + fifo + "\" }\n";
    struct Case {
        const char* drop;
        const char* key;
    };
    for (const Case& c : {Case{"filter", "MobuFullDuplexFIR.filter"}, Case{"paraeq", "MobuFullDuplexFIR.paraeq"},
                          Case{"mixerDevice", "MobuFullDuplexFIR.mixerDevice"},
                          Case{"fifopath", "MobuFullDuplexFIR.fifopath"}, Case{nullptr, "MobuFullDuplexFIR"}}) {
        std::string text = all;
        if (c.drop) {
            const size_t at = text.find(std::string(c.drop) + " ");
            text.erase(at, text.find('"', text.find('"', at) + 1) + 1 - at);
        } else {
            text = "Other { x 1 }\n";
        }
        const std::string path = dir + "/c.conf";
        mobutest::writeFile(path, text);
        FullDuplexFIR p("board_playback", "board_capture");
        EXPECT_EQ(p.loadConfig(path), -ENOENT) << c.key;
        EXPECT_EQ(countLog(std::string("Couldn't find the key ") + c.key + " in the file " + path), 1) << c.key;
        const bool filterApplied = c.drop && strcmp(c.drop, "filter") != 0;
        EXPECT_EQ(p.getFilterFile(), filterApplied ? filter : "") << c.key;
        EXPECT_EQ(p.MixerEvents::isOpen(), c.drop && strcmp(c.drop, "fifopath") == 0) << c.key;
    }
    EXPECT_LT(FullDuplexFIR("board_playback", "board_capture").loadConfig(dir + "/none.conf"), 0);
    EXPECT_EQ(countLog("Tried to open the file " + dir + "/none.conf"), 1);

    // An existing pipe is reused with a notice; a regular file in its place is refused.
    FullDuplexFIR p("board_playback", "board_capture");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0660), 0);
    EXPECT_EQ(p.loadConfig(config()), 0);
    EXPECT_EQ(countLog("fifo " + fifo + " already exists, not creating again."), 1);
    EXPECT_GT(p.getFifoFd(), 0);
    unlink(fifo.c_str());
    mobutest::writeFile(fifo, "");
    EXPECT_EQ(p.loadConfig(config()), -EINVAL);
    EXPECT_EQ(countLog(fifo + " is not a named pipe, metering is off"), 1);
}

TEST_F(Processor, AnAbsoluteParaeqPathIsUsedAndAnUnusableOneIsRefusedNamingIt) {
    replaceAudioFile(filter, impulses(0.5));
    const auto withEqualiser = [&](const std::string& eq) {
        const std::string path = dir + "/eq.conf";
        mobutest::writeFile(path, "MobuFullDuplexFIR { filter \"" + filter + "\" paraeq \"" + eq +
                                      "\" mixerDevice \"board\" fifopath \"" + fifo + "\" }\n");
        return path;
    };
    FullDuplexFIR p("board_playback", "board_capture");
    EXPECT_EQ(p.loadConfig(withEqualiser(dir + "/absolute.json")), 0) << p.getConfigError();
    EXPECT_TRUE(mobutest::exists(dir + "/absolute.json")) << "created where the path says, and watched";
    EXPECT_EQ(p.getParaEQFile(), dir + "/absolute.json");
    ASSERT_EQ(mkdir((dir + "/folder.json").c_str(), 0755), 0);
    // paraeq for both inputs, or one input's own key beside a usable paraeq.
    for (const std::string key : {"paraeq", "paraeq0", "paraeq1"})
        for (const std::string& eq : {dir + "/folder.json", std::string("../elsewhere.json")}) {
            FullDuplexFIR q("board_playback", "board_capture");
            std::string path = withEqualiser(key == "paraeq" ? eq : eqName);
            if (key != "paraeq") {
                std::string text = mobutest::readFile(path);
                text.insert(text.rfind('}'), key + " \"" + eq + "\" ");
                mobutest::writeFile(path, text);
            }
            EXPECT_LT(q.loadConfig(path), 0) << eq;
            EXPECT_NE(q.getConfigError().find("the paraeq file " + eq + " (key MobuFullDuplexFIR." + key + ")"),
                      std::string::npos)
                << q.getConfigError();
        }
    // Both inputs' own files: no paraeq is needed; one of them alone is not enough.
    for (const bool both : {true, false}) {
        const std::string path = dir + "/own.conf";
        mobutest::writeFile(path, "MobuFullDuplexFIR { filter \"" + filter + "\" paraeq0 \"" + dir + "/zero.json\" " +
                                      (both ? "paraeq1 \"" + dir + "/one.json\" " : "") +
                                      "mixerDevice \"board\" fifopath \"" + fifo + "\" }\n");
        FullDuplexFIR q("board_playback", "board_capture");
        EXPECT_EQ(q.loadConfig(path), both ? 0 : -ENOENT) << q.getConfigError();
        if (both) {
            EXPECT_EQ(q.getParaEQFile(0), dir + "/zero.json");
            EXPECT_EQ(q.getParaEQFile(1), dir + "/one.json");
        } else {
            EXPECT_EQ(q.getConfigError(), "the key MobuFullDuplexFIR.paraeq is missing");
        }
    }
}

TEST_F(Processor, LatencySignalsAndAnUnsizedRun) {
    FullDuplexFIR p("board_playback", "board_capture");
    ASSERT_EQ(p.Playback::setSampleRate(48000), 0);
    struct Case {
        float seconds;
        int ret, n;
    };
    for (const Case& c : {Case{0.0f, -1, 0}, Case{0.01f, 0, 480}, Case{0.0100001f, 0, 481}, Case{1e-6f, 0, 1}}) {
        EXPECT_EQ(p.setLatency(c.seconds), c.ret) << c.seconds;
        EXPECT_EQ(p.getN(), c.n) << c.seconds;
    }
    EXPECT_EQ(countLog("invalid N"), 1);

    p.handleSignal(SIGTERM);
    EXPECT_EQ(p.getExitCount() | sigusr1_received | sigusr2_received | shutdown_received, 0);
    p.handleSignal(SIGUSR1);
    p.handleSignal(SIGUSR2);
    EXPECT_EQ(sigusr1_received + sigusr2_received, 2);
    p.handleSignal(SIGINT);
    EXPECT_EQ(p.getExitCount(), -1);
    EXPECT_EQ(shutdown_received, 1);

    // init after setLatency leaves N unset: the first call ends the run.
    Probe q;
    const int ret = mobutest::finishesWithin(std::chrono::seconds(30), [&] {
        q.Playback::setSampleRate(48000);
        q.setLatency(0.01f);
        q.init();
        return q.go();
    });
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(q.getN(), -1);
    EXPECT_EQ(countLog("FullDuplexFIR::setLatency and setSampleRate haven't been called yet"), 1);
}

// --- switching --------------------------------------------------------------------------------

TEST_F(Processor, FilterRewriteSwitchesClickFreeAndSigintEndsInOrder) {
    const Eigen::MatrixXd h1 = randomFilters(3000, 8, 1), h2 = randomFilters(2500, 8, 2);
    replaceAudioFile(filter, h1);
    const Eigen::MatrixXd r1 = readAudioFile(filter); // as stored
    replaceEq(eqName, "[]");
    Probe p;
    p.audit = true;
    p.input = programme(22, 7);
    p.after = [&](int k) {
        if (k == 8) { // rewritten while audio runs; period 9 starts the switch
            replaceAudioFile(filter, h2);
            EXPECT_TRUE(waitFor([&] { return p.firSwitchPending(); }));
        }
        if (k == 16) p.handleSignal(SIGINT);
    };
    EXPECT_EQ(run(p, config()), -1);
    ASSERT_EQ(p.calls, 23); // the first pass, 21 periods, and the sixth call after the request
    expectNoAuditedAllocation();

    const Eigen::MatrixXd r2 = readAudioFile(filter);
    const Block x = p.input;
    for (int m = 0; m < 8; ++m) {
        const Eigen::ArrayXd u = x.col(m % 2).cast<double>();
        Eigen::ArrayXd later = u; // the new filters hear the input from period 10 on
        later.head(9 * N).setZero();
        const Shape old[] = {Shape::Silent, Shape::Silent, Shape::Silent, Shape::FadeIn, Shape::Plain,
                             Shape::Plain,  Shape::Plain,  Shape::Plain,  Shape::FadeOut};
        for (int k = 1; k <= 9; ++k)
            expectPeriod(p.out(k), m, convolve(u, r1.col(m), (k - 1) * N, N), old[k - 1], 1.0,
                         "old filters, period " + std::to_string(k));
        for (int k = 10; k <= 11; ++k)
            expectPeriod(p.out(k), m, Eigen::ArrayXd::Zero(N), Shape::Silent, 1.0, "switch");
        const Shape next[] = {Shape::FadeIn, Shape::Plain, Shape::Plain, Shape::Plain, Shape::Plain, Shape::FadeOut};
        for (int k = 12; k <= 17; ++k)
            expectPeriod(p.out(k), m, convolve(later, r2.col(m), (k - 1) * N, N), next[k - 12], 1.0,
                         "new filters, period " + std::to_string(k));
        for (int k = 18; k <= 21; ++k)
            EXPECT_TRUE((p.out(k).col(m) == 0).all()) << "drain period " << k;
    }
    EXPECT_EQ(countLog("switching FIR filter over"), 1);
    EXPECT_EQ(countLog("switching paraEQs over"), 0); // the first settings hold from the start
    EXPECT_EQ(countLog("FullDuplexFIR::process exiting"), 1);
}

TEST_F(Processor, EqualiserChangeSwitchesAloneAndMissingChannelsAreSilent) {
    const Eigen::MatrixXd h = randomFilters(2100, 5, 3); // five channels for eight outputs
    replaceAudioFile(filter, h);
    replaceEq(eqName, "[]");
    const std::string eq =
        R"([{"type": "BPF", "Fc": 1000, "dB": -6, "Q": 2}, {"type": "BPF", "Fc": 5000, "dB": 4, "Q": 1}])";
    Probe p;
    p.audit = true;
    p.input = programme(20, 11);
    p.after = [&](int k) {
        if (k == 8) {
            replaceEq(eqName, eq);
            EXPECT_TRUE(waitFor([&] { return p.equaliserSwitchPending(); }));
        }
        if (k == 14) p.handleSignal(SIGINT);
    };
    EXPECT_EQ(run(p, config()), -1);
    ASSERT_EQ(p.calls, 21);
    expectNoAuditedAllocation();

    ParaEQ reference; // the new settings, from a cleared state at period 10
    reference.setFS(48000);
    reference.setFileName(eqName.c_str());
    ASSERT_EQ(reference.loadFromFile(), 0);
    ASSERT_EQ(reference.resetCascade(), 0);
    const Eigen::MatrixXd stored = readAudioFile(filter);
    for (int c = 0; c < 2; ++c) {
        Eigen::ArrayXd u = p.input.col(c).cast<double>();
        Eigen::ArrayXd tail = u.segment(9 * N, u.size() - 9 * N), eqd(tail.size());
        ASSERT_EQ(reference.process(tail, eqd), 0);
        if (c == 0) reference.resetCascade();
        u.segment(9 * N, tail.size()) = eqd;
        for (int m = c; m < 8; m += 2) {
            if (m >= 5) {
                for (int k = 1; k <= 19; ++k)
                    EXPECT_TRUE((p.out(k).col(m) == 0).all()) << "output " << m << " has no filter, period " << k;
                continue;
            }
            const Shape shapes[] = {Shape::Plain,  Shape::FadeOut, Shape::Silent, Shape::Silent,
                                    Shape::FadeIn, Shape::Plain,   Shape::Plain,  Shape::FadeOut};
            for (int k = 8; k <= 15; ++k)
                expectPeriod(p.out(k), m, convolve(u, stored.col(m), (k - 1) * N, N), shapes[k - 8], 1.0,
                             "period " + std::to_string(k));
        }
    }
    EXPECT_EQ(countLog("switching paraEQs over"), 1);
    EXPECT_EQ(countLog("switching FIR filter over"), 0);
    EXPECT_EQ(countLog("Couldn't load filter from file, zeroing channel"), 3);
}

TEST_F(Processor, EachInputFollowsItsOwnEqualiserFileAndARewriteSwitchesOnlyItsOutputs) {
    const Eigen::MatrixXd h = randomFilters(2100, 8, 7);
    replaceAudioFile(filter, h);
    const std::string names[2] = {"in0-" + eqName, "in1-" + eqName};
    const std::string settings[3] = {R"([{"type": "BPF", "Fc": 800, "dB": -9, "Q": 2}])",
                                     R"([{"type": "BPF", "Fc": 4000, "dB": 6, "Q": 1}])",
                                     R"([{"type": "BPF", "Fc": 2000, "dB": -12, "Q": 0.7}])"};
    replaceEq(names[0], settings[0]);
    replaceEq(names[1], settings[1]);
    replaceEq(eqName, "[]"); // paraeq: overridden for both inputs
    Probe p;
    p.audit = true;
    p.input = programme(20, 5);
    p.after = [&](int k) {
        if (k == 8) { // input 1's file alone is rewritten
            replaceEq(names[1], settings[2]);
            EXPECT_TRUE(waitFor([&] { return p.equaliserSwitchPending(); }));
        }
        if (k == 16) p.handleSignal(SIGINT);
    };
    EXPECT_EQ(run(p, config("board", "", "  paraeq0 \"" + names[0] + "\"\n  paraeq1 \"" + names[1] + "\"\n")), -1);
    ASSERT_EQ(p.calls, 23);
    expectNoAuditedAllocation();
    EXPECT_EQ(p.getParaEQFile(1), names[1]);

    // The settings each input should hear: its own file from the first sample; input 1 the
    // rewrite from a cleared state at period 10 (the switch's first silent period).
    const auto equalised = [&](const std::string& json, const Eigen::ArrayXd& x) {
        replaceEq("reference-" + eqName, json);
        ParaEQ reference;
        reference.setFS(48000);
        reference.setFileName(("reference-" + eqName).c_str());
        EXPECT_EQ(reference.loadFromFile(), 0);
        EXPECT_EQ(reference.resetCascade(), 0);
        Eigen::ArrayXd y(x.size());
        EXPECT_EQ(reference.process(x, y), 0);
        return y;
    };
    const Eigen::MatrixXd stored = readAudioFile(filter);
    for (int c = 0; c < 2; ++c) {
        const Eigen::ArrayXd x = p.input.col(c).cast<double>();
        Eigen::ArrayXd u = equalised(settings[c], x);
        if (c == 1) u.tail(x.size() - 9 * N) = equalised(settings[2], x.tail(x.size() - 9 * N));
        // Input 0's outputs play on through input 1's switch; both fade out at SIGINT.
        const Shape plain[] = {Shape::Plain, Shape::Plain, Shape::Plain, Shape::Plain, Shape::Plain,  Shape::Plain,
                               Shape::Plain, Shape::Plain, Shape::Plain, Shape::Plain, Shape::FadeOut};
        const Shape switched[] = {Shape::Plain,  Shape::Plain,  Shape::FadeOut, Shape::Silent,
                                  Shape::Silent, Shape::FadeIn, Shape::Plain,   Shape::Plain,
                                  Shape::Plain,  Shape::Plain,  Shape::FadeOut};
        for (int m = c; m < 8; m += 2)
            for (int k = 7; k <= 17; ++k)
                expectPeriod(p.out(k), m, convolve(u, stored.col(m), (k - 1) * N, N),
                             (c == 0 ? plain : switched)[k - 7], 1.0,
                             "input " + std::to_string(c) + ", period " + std::to_string(k));
    }
    EXPECT_EQ(countLog("switching the equaliser of input 1 over"), 1);
    EXPECT_EQ(countLog("switching the equaliser of input 0 over"), 0);
    EXPECT_EQ(countLog("switching paraEQs over"), 0);
    EXPECT_EQ(countLog("switching FIR filter over"), 0);
}

TEST_F(Processor, ShutdownDuringASwitchsSilenceStaysSilent) {
    replaceAudioFile(filter, impulses(0.5));
    replaceEq(eqName, "[]");
    Probe p;
    p.input = programme(20, 13);
    p.after = [&](int k) {
        if (k == 8) {
            replaceAudioFile(filter, impulses(0.25));
            EXPECT_TRUE(waitFor([&] { return p.firSwitchPending(); }));
        }
        if (k == 10) p.handleSignal(SIGINT); // period 10 is the switch's first silent one
    };
    EXPECT_EQ(run(p, config()), -1);
    ASSERT_EQ(p.calls, 17);
    for (int m = 0; m < 8; ++m)
        expectGain(p.out(9), p.in(9), m, 0.5, 1.0, 0.0, "fade-out of the old filters");
    for (int k = 10; k <= 15; ++k)
        EXPECT_TRUE((p.out(k) == 0).all()) << "period " << k << ": the new filters must not be heard";
}

TEST_F(Processor, AFilterFileCreatedLaterPlaysAndABurstOfRewritesSwitchesAtMostTwice) {
    replaceEq(eqName, "[]");
    Probe p; // no coefficient file yet: every output is silent until it comes
    p.input = programme(2000, 17);
    const int burst = 30, burstAt = 20, lastPeriod = 1990;
    int stopAt = -1;
    p.after = [&](int k) {
        if (k == 8) {
            replaceAudioFile(filter, impulses(0.5)); // renamed onto the name
            EXPECT_TRUE(waitFor([&] { return p.firSwitchPending(); })) << "the new file is not picked up";
        }
        if (k == burstAt) // a burst of rewrites, the last one 0.25
            for (int i = 0; i < burst; ++i)
                replaceAudioFile(filter, impulses(i % 2 ? 0.25 : 0.5));
        if (k > burstAt && stopAt < 0) {
            // Until the newest set was read from the file as the burst left it and is in force (the
            // watcher needs periods to go by to switch): 10 s in all, however busy the machine.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const bool settled = p.filtersReadCurrentFile() && p.getSwitchCount() == -1 && !p.changesPending();
            if (settled || k == lastPeriod) p.handleSignal(SIGINT), stopAt = k;
        }
    };
    EXPECT_EQ(run(p, config()), -1);
    for (int k = 1; k <= 11; ++k)
        EXPECT_TRUE((p.out(k) == 0).all()) << "period " << k << " before the file's filters fade in";
    for (int m = 0; m < 8; ++m) {
        expectGain(p.out(12), p.in(12), m, 0.5, 0.0, 1.0, "fade-in of the created file");
        expectGain(p.out(burstAt), p.in(burstAt), m, 0.5, 1.0, 1.0, "the created file");
        expectGain(p.out(stopAt), p.in(stopAt), m, 0.25, 1.0, 1.0, "the last rewrite");
    }
    const int switches = countLog("switching FIR filter over");
    EXPECT_GE(switches, 2);
    EXPECT_LE(switches, 3) << "one switch for the file's creation, at most two for the burst";
}

// --- fail safe: refused files and the output guard ------------------------------------------

TEST_F(Processor, ARefusedRewriteKeepsTheSetInForceAndTheNextGoodFileSwitchesIn) {
    using mobutest::BadCoefficients;
    for (const BadCoefficients bad : {BadCoefficients::NonFinite, BadCoefficients::Fifo, BadCoefficients::NoSamples,
                                      BadCoefficients::SixChannels}) {
        SCOPED_TRACE(mobutest::name(bad));
        {
            std::lock_guard<std::mutex> lock(logMutex);
            logLines.clear();
        }
        replaceAudioFile(filter, impulses(0.5));
        replaceEq(eqName, "[]");
        Probe p;
        p.input = programme(22, 19);
        p.after = [&](int k) {
            if (k == 6) {
                ASSERT_TRUE(mobutest::renameBadCoefficients(bad, filter));
                EXPECT_TRUE(waitFor([&] { return countLog("is refused") > 0; })) << "the refusal is logged";
            }
            if (k == 10) { // the next file that loads switches in: period 11 fades out
                replaceAudioFile(filter, impulses(0.25));
                EXPECT_TRUE(waitFor([&] { return p.firSwitchPending(); }));
            }
            if (k == 18) p.handleSignal(SIGINT);
        };
        EXPECT_EQ(run(p, config()), -1);
        ASSERT_GE(p.calls, 20);
        for (int m = 0; m < 8; ++m) {
            for (int k = 5; k <= 10; ++k)
                expectGain(p.out(k), p.in(k), m, 0.5, 1.0, 1.0, "the set in force, period " + std::to_string(k));
            expectGain(p.out(11), p.in(11), m, 0.5, 1.0, 0.0, "its fade-out");
            EXPECT_TRUE((p.out(12).col(m) == 0).all() && (p.out(13).col(m) == 0).all());
            expectGain(p.out(14), p.in(14), m, 0.25, 0.0, 1.0, "the good file's fade-in");
            expectGain(p.out(16), p.in(16), m, 0.25, 1.0, 1.0, "the good file");
        }
        EXPECT_EQ(countLog("switching FIR filter over"), 1);
    }
}

/// The periods [from, to] of the probe's output, one after the other.
Block periods(const Probe& p, int from, int to) {
    Block y((to - from + 1) * N, 8);
    for (int k = from; k <= to; ++k)
        y.middleRows((k - from) * N, N) = p.out(k);
    return y;
}

TEST_F(Processor, TheOutputGuardBoundsItsOutputsWhateverTheFiltersAndEqualiserAsk) {
    replaceAudioFile(filter, impulses(1.0));                                   // pass-through: the guard alone protects
    replaceEq(eqName, R"([{"type": "BPF", "Fc": 1000, "dB": 20, "Q": 0.3}])"); // +20 dB
    const std::string guard = dir + "/guard.json";
    auto replaceGuard = [&](const std::string& json) {
        mobutest::writeFile(guard + ".new", json);
        ASSERT_EQ(rename((guard + ".new").c_str(), guard.c_str()), 0);
    };
    replaceGuard(R"({"outputs": [{"output": 6, "highpass": {"frequency": 1000, "order": 8}},
                                 {"output": 7, "maxLevel": -20}]})");
    Probe p;
    p.audit = true;
    p.input = programme(52, 23);
    p.after = [&](int k) {
        if (k == 24) { // refused: the guard in force stays
            replaceGuard(R"({"outputs": [{"output": 7, "maxLevel": "-20"}]})");
            EXPECT_TRUE(waitFor([&] { return countLog("refused, the guard in force stays") > 0; }));
        }
        if (k == 30) { // switches in: period 31 fades out, the new guard from period 32 on
            replaceGuard(R"({"outputs": [{"output": 2, "maxLevel": -30}]})");
            EXPECT_TRUE(waitFor([&] { return p.guardSwitchPending(); }));
        }
        if (k == 50) p.handleSignal(SIGINT);
    };
    EXPECT_EQ(run(p, config("board", guard)), -1);
    ASSERT_GE(p.calls, 52);
    expectNoAuditedAllocation();
    const double limit7 = 2147483648.0 * 0.1, limit2 = 2147483648.0 * std::pow(10.0, -1.5);

    const Block first = periods(p, 5, 30);
    EXPECT_LE(first.col(7).abs().maxCoeff(), limit7) << "output 7 is held at -20 dBFS";
    EXPECT_GT(first.col(5).abs().maxCoeff(), 3 * limit7) << "the equaliser drives the unguarded outputs past it";
    EXPECT_TRUE((first.col(4) == first.col(0)).all()) << "an unguarded output is untouched";
    for (const double f : {125.0, 250.0, 500.0})
        EXPECT_LT(mobutest::levelAtDB(first.col(6), f), mobutest::levelAtDB(first.col(4), f) - 40.0)
            << "output 6 below its guard, at " << f << " Hz";
    EXPECT_NEAR(mobutest::levelAtDB(first.col(6), 4000), mobutest::levelAtDB(first.col(4), 4000), 0.5);

    const Block second = periods(p, 35, 49);
    EXPECT_LE(second.col(2).abs().maxCoeff(), limit2) << "the new guard holds output 2 at -30 dBFS";
    EXPECT_TRUE((second.col(6) == second.col(4)).all() && (second.col(7) == second.col(5)).all())
        << "outputs the new file does not name are no longer guarded";
    EXPECT_EQ(countLog("switching the output guard over"), 1);
    EXPECT_GE(countLog("boosts by up to +20.0 dB (at "), 1) << "the processor's log warns of the equaliser's boost";
}

TEST_F(Processor, ARefusedGuardFileStopsTheStartNamingTheFileAndTheKey) {
    replaceAudioFile(filter, impulses(0.5));
    replaceEq(eqName, "[]");
    const std::string guard = dir + "/guard.json";
    struct Case {
        const char* json;
        const char* says;
    };
    for (const Case& c : {
             Case{R"({"outputs": [{"output": 6, "highpass": {"frequency": 1000, "order": 9}}]})",
                  "outputs[0].highpass.order: 9 is not a whole number from 1 to 8"},
             Case{R"({"outputs": [{"output": 8, "maxLevel": -6}]})",
                  "outputs[0].output: 8 is not an output number from 0 to 7"},
             Case{R"({"outputs": [{"output": 6, "hihgpass": {"frequency": 1000, "order": 4}}]})",
                  "outputs[0].hihgpass: unknown key"},
             Case{R"({"outputs": [{"output": 6, "maxLevel": 3}]})", "outputs[0].maxLevel: 3 is not a level"},
             Case{R"({"outputs": [{"output": 6, "maxLevel": -6}, {"output": 6, "maxLevel": -3}]})",
                  "outputs[1].output: output 6 is named twice"},
             Case{R"({"outputs": [{"output": 6, "lowpass": {"frequency": 1000, "order": 2},
                                   "highpass": {"frequency": 2000, "order": 2}}]})",
                  "outputs[0].lowpass.frequency: 1000 Hz is not above the high-pass frequency 2000 Hz"},
             Case{"{\"outputs\": [", "not valid JSON"},
         }) {
        SCOPED_TRACE(c.json);
        mobutest::writeFile(guard, c.json);
        Probe p;
        p.init();
        EXPECT_LT(p.loadConfig(config("board", guard)), 0);
        EXPECT_NE(p.getConfigError().find(guard + ": " + c.says), std::string::npos) << p.getConfigError();
        EXPECT_NE(p.getConfigError().find("(key MobuFullDuplexFIR.guard)"), std::string::npos) << p.getConfigError();
    }
    // One the stream's rate can't take is refused before anything is built or played.
    mobutest::writeFile(guard, R"({"outputs": [{"output": 7, "lowpass": {"frequency": 30000, "order": 2}}]})");
    Probe p;
    p.init();
    ASSERT_EQ(p.loadConfig(config("board", guard)), 0) << p.getConfigError();
    p.Playback::setSampleRate(48000);
    ASSERT_EQ(p.setLatency(0.01f), 0);
    std::string problem;
    EXPECT_LT(p.checkDevices(problem), 0);
    EXPECT_NE(problem.find("output 7: lowpass.frequency 30000 Hz is not below half the sample rate (24000 Hz)"),
              std::string::npos)
        << problem;
}

// --- precision -----------------------------------------------------------------------------------

/** The precision key chooses the filters' later stages and wins over MOBU_FIR_PRECISION: in single
 * precision the output stays within 2^-20 of its peak of a double-precision convolution (and does
 * differ from it: the setting is in force), in double it is that convolution to one step.  A value
 * that is neither is refused, naming the key. */
TEST_F(Processor, ThePrecisionKeyChoosesTheLaterStagesOverTheEnvironment) {
    // 16384 flat taps at N = 480 (34 partitions: later stages from 3840 taps on), scaled so that
    // the output runs near full scale (about 2^28 RMS) and the single rounding shows in many steps.
    Eigen::MatrixXd h = randomFilters(16384, 8, 21, 0.0);
    h *= 130.0 / 0.9;
    replaceAudioFile(filter, h);
    const Eigen::MatrixXd stored = readAudioFile(filter);
    replaceEq(eqName, "[]");
    struct Case {
        const char* key;
        const char* environment;
        bool single;
    };
    for (const Case& c : {Case{"single", "double", true}, Case{"double", "single", false}}) {
        SCOPED_TRACE(c.key);
        setenv("MOBU_FIR_PRECISION", c.environment, 1);
        Probe p;
        p.input = programme(44, 23);
        p.after = [&](int k) {
            if (k == 40) p.handleSignal(SIGINT);
        };
        EXPECT_EQ(run(p, config("board", "", std::string("  precision \"") + c.key + "\"\n")), -1);
        unsetenv("MOBU_FIR_PRECISION");
        ASSERT_GE(p.calls, 41);
        // Periods 37 to 40 hear every tap.
        double largest = 0.0, peak = 0.0;
        for (int m = 0; m < 8; ++m) {
            const Eigen::ArrayXd u = p.input.col(m % 2).cast<double>();
            for (int k = 37; k <= 40; ++k) {
                const Eigen::ArrayXd ref = convolve(u, stored.col(m), (k - 1) * N, N);
                if (!c.single) expectPeriod(p.out(k), m, ref, Shape::Plain, 1.0, "period " + std::to_string(k));
                const Eigen::ArrayXd expected = ref.unaryExpr([](double v) { return std::trunc(v); });
                largest = std::max(largest, (p.out(k).col(m).cast<double>() - expected).abs().maxCoeff());
                peak = std::max(peak, ref.abs().maxCoeff());
            }
        }
        ASSERT_GT(peak, 5e8) << "the output is to run near full scale";
        std::cout << c.key << " precision: largest difference to the convolution " << largest / peak
                  << " of the output's peak (" << largest << " steps)" << std::endl;
        if (c.single) {
            EXPECT_LE(largest, 0x1p-20 * peak);
            EXPECT_GT(largest, 2.0) << "the output is the double-precision convolution's: single is not in force";
        }
    }
    for (const char* value : {"\"half\"", "1"}) {
        SCOPED_TRACE(value);
        Probe p;
        p.init();
        EXPECT_LT(p.loadConfig(config("board", "", std::string("  precision ") + value + "\n")), 0);
        EXPECT_NE(p.getConfigError().find("MobuFullDuplexFIR.precision"), std::string::npos) << p.getConfigError();
    }
}

// --- gains ------------------------------------------------------------------------------------

TEST_F(Processor, MixerSettingsHoldFromTheFirstSoundAndChangesRampOverOnePeriod) {
    replaceAudioFile(filter, impulses(0.5));
    replaceEq(eqName, "[]");
    const double g6 = std::pow(10.0, -6.0 / 20), g12 = std::pow(10.0, -12.0 / 20);
    // Set before the start: a muted, a quieter and an inverted loudspeaker.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"sset", "Gain 5 Mute", "on"}, {"--", "sset", "Gain 3", "-12dB"}, {"sset", "Gain 6 Invert", "on"}})
        ASSERT_EQ(amixer(*board, args).status, 0) << args[1];
    Probe p;
    p.audit = true;
    p.input = programme(42, 5);
    auto change = [&](std::vector<std::string> args, const std::function<bool()>& done) {
        EXPECT_EQ(amixer(*board, args).status, 0) << args[1];
        EXPECT_TRUE(waitFor(done)) << args[1];
    };
    auto rampWaits = [&] { return p.gainRampPending(); };
    p.after = [&](int k) {
        switch (k) {
        case 8:
            change({"--", "sset", "Gain 2", "-6dB"}, rampWaits);
            break;
        case 12:
            change({"sset", "Gain 1 Mute", "on"}, rampWaits);
            break;
        case 16:
            change({"--", "sset", "Gain 1", "-12dB"},
                   [&] { return countLog("Volume changed on muted channel 1") > 0; });
            break;
        case 20:
            change({"sset", "Gain 1 Mute", "off"}, rampWaits);
            break;
        case 24:
            change({"sset", "Gain 3 Invert", "on"}, rampWaits);
            break;
        case 26: // an unmute of a channel that plays changes nothing; a volume change keeps the polarity
            EXPECT_EQ(amixer(*board, {"sset", "Gain 2 Mute", "off"}).status, 0);
            change({"--", "sset", "Gain 3", "-6dB"}, rampWaits);
            break;
        case 28: // two changes before the next period: the second is ramped to right after the first
            EXPECT_EQ(amixer(*board, {"--", "sset", "Gain 4", "-6dB"}).status, 0);
            change({"--", "sset", "Gain 7", "-12dB"}, [&] { return std::abs(p.getRequestedGains()(7) - g12) < 1e-12; });
            break;
        case 29:
            EXPECT_TRUE(waitFor(rampWaits));
            break;
        case 32:
            p.handleSignal(SIGUSR1);
            break; // taken up at the start of the next period
        case 33:
            EXPECT_TRUE(waitFor([] { return countLog("SIGUSR1 SUCCESS: Gains reloaded successfully") == 1; }));
            p.handleSignal(SIGUSR2);
            break;
        case 34:
            EXPECT_TRUE(waitFor([] { return countLog("FullDuplexFIR::process SIGUSR2 processing completed") == 1; }));
            EXPECT_EQ(countLog("SIGUSR2 SUCCESS: Mixer state refreshed successfully"), 1);
            break;
        case 36:
            p.handleSignal(SIGINT);
            break;
        }
    };
    EXPECT_EQ(run(p, config()), -1);
    ASSERT_EQ(p.calls, 43);
    expectNoAuditedAllocation();

    // From the first frame: three silent periods, a fade-in to the mixer's settings, the
    // ramps of the changes (each from the gain that plays), the fade-out and silence.
    for (int k = 1; k <= 3; ++k)
        EXPECT_TRUE((p.out(k) == 0).all()) << "start-up period " << k << " must be silent";
    struct Ramp {
        int call, channel;
        double to;
    };
    const Ramp ramps[] = {{9, 2, g6}, {13, 1, 0}, {21, 1, g12}, {25, 3, -g12}, {27, 3, -g6}, {29, 4, g6}, {30, 7, g12}};
    double gain[8] = {1, 1, 1, g12, 1, 0, -1, 1};
    for (int m = 0; m < 8; ++m)
        expectGain(p.out(4), p.in(4), m, 0.5, 0.0, gain[m], "fade-in");
    for (int k = 5; k <= 36; ++k)
        for (int m = 0; m < 8; ++m) {
            double to = gain[m];
            for (const Ramp& r : ramps)
                if (r.call == k && r.channel == m) to = r.to;
            expectGain(p.out(k), p.in(k), m, 0.5, gain[m], to, "period " + std::to_string(k));
            gain[m] = to;
        }
    for (int m = 0; m < 8; ++m)
        expectGain(p.out(37), p.in(37), m, 0.5, gain[m], 0.0, "fade-out");
    for (int k = 38; k <= 41; ++k)
        EXPECT_TRUE((p.out(k) == 0).all()) << "drain period " << k;
    EXPECT_EQ(countLog("Warning: Could not find Gain "), 0);
    EXPECT_GE(countLog("gains already waiting for a transition"), 1);
}

TEST_F(Processor, WithoutMixerControlsEveryGainIsOne) {
    replaceAudioFile(filter, impulses(0.5));
    replaceEq(eqName, "[]");
    Probe p;
    p.input = programme(8, 2);
    p.after = [&](int k) {
        if (k == 1) p.handleSignal(SIGINT);
    };
    EXPECT_EQ(run(p, config("nosuchmixer"), -1), -1);
    EXPECT_EQ(countLog("Couldn't open the ALSA mixer nosuchmixer"), 1);
    EXPECT_EQ(countLog("Warning: Could not find Gain "), 24);
    EXPECT_TRUE((p.getRequestedGains() == 1.0).all());
}

// --- metering ---------------------------------------------------------------------------------

/// A process of its own reading the FIFO on request (tests/helpers/fifo_reader).
class FifoReader {
public:
    explicit FifoReader(const std::string& path) {
        int toChild[2], fromChild[2];
        EXPECT_EQ(pipe(toChild), 0);
        EXPECT_EQ(pipe(fromChild), 0);
        pid = fork();
        if (pid == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            execl(MOBU_HELPER_fifo_reader, MOBU_HELPER_fifo_reader, path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        out = fdopen(toChild[1], "w");
        in = fdopen(fromChild[0], "r");
    }
    ~FifoReader() {
        fclose(out);
        fclose(in);
        kill(pid, SIGKILL); // it may be waiting for a record that never came
        waitpid(pid, nullptr, 0);
    }
    std::vector<long> ask(const char* command) {
        fprintf(out, "%s\n", command);
        fflush(out);
        char line[512];
        std::vector<long> words;
        if (!fgets(line, sizeof line, in)) return words;
        char* p = line;
        for (char* end; (words.push_back(strtol(p, &end, 10)), end != p); p = end) {
        }
        words.pop_back();
        return words;
    }

private:
    pid_t pid = -1;
    FILE* out = nullptr;
    FILE* in = nullptr;
};

TEST_F(Processor, MeteringKeepsOneRecordAndLosesNoPeak) {
    replaceAudioFile(filter, impulses(0.5));
    replaceEq(eqName, "[]");
    ASSERT_EQ(amixer(*board, {"sset", "Gain 7 Mute", "on"}).status, 0);
    Probe p;
    p.input = programme(20, 9);
    p.input(14 * N - 3, 1) = INT32_MIN; // in period 14
    ASSERT_EQ(mkfifo(fifo.c_str(), 0660), 0);
    FifoReader reader(fifo);
    std::map<int, std::vector<long>> records;
    p.after = [&](int k) {
        if (k == 10) {
            EXPECT_EQ(reader.ask("n"), std::vector<long>{56}) << "one record waits, however long";
        }
        if (k >= 10 && k % 2 == 0) records[k] = reader.ask("r");
        if (k == 16) p.handleSignal(SIGINT);
    };
    EXPECT_EQ(run(p, config()), -1);
    {
        std::lock_guard<std::mutex> lock(logMutex); // the first backlog after the first record
        const auto first = std::find_if(logLines.begin(), logLines.end(), [](const std::string& l) {
            return l.find("FIFO backlog") != std::string::npos;
        });
        ASSERT_NE(first, logLines.end());
        EXPECT_NE(first->find("FIFO backlog detected: bytes=56,"), std::string::npos) << *first;
    }

    auto peak = [](const Block& b, int c) {
        return std::min<long>(INT32_MAX, std::max<long>(b.col(c).maxCoeff(), -static_cast<long>(b.col(c).minCoeff())));
    };
    auto peaks = [&](std::initializer_list<int> calls) {
        std::vector<long> words = {0, 1, 2, 3};
        for (int c = 0; c < 10; ++c) {
            long m = 0;
            for (int k : calls)
                m = std::max(m, c < 2 ? peak(p.in(k), c) : peak(p.out(k), c - 2));
            words.push_back(m);
        }
        return words;
    };
    EXPECT_EQ(records[10], peaks({1}));
    EXPECT_EQ(records[12], peaks({2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(records[14], peaks({12, 13}));
    EXPECT_EQ(records[16], peaks({14, 15}));
    EXPECT_EQ(records[16][5], INT32_MAX) << "the most negative sample is clamped";
    EXPECT_EQ(records[16][13], 0) << "a muted output reads 0";
    EXPECT_GT(records[16][12], 0);
}

// --- over/under-runs, a storm, the destructor -------------------------------------------------

TEST_F(Processor, AnXrunInRealTimeDrainsInOrder) {
    LoopbackBoard realtime({"--mode", "realtime"});
    ASSERT_TRUE(realtime.ok());
    realtime.use();
    replaceAudioFile(filter, impulses(0.5));
    replaceEq(eqName, "[]");
    // One late period, then a machine that falls behind in every period: the drain
    // started by the first over/under-run ends the run all the same.  A busy machine may
    // add over/under-runs of its own: the drain's shape is checked in every attempt, its
    // place and the count of reports in an attempt that only had the ones made here.
    for (const bool everyPeriod : {false, true}) {
        SCOPED_TRACE(everyPeriod ? "late in every period" : "one late period");
        for (int attempt = 1;; ++attempt) {
            {
                std::lock_guard<std::mutex> lock(logMutex);
                logLines.clear();
            }
            Probe p;
            p.input = programme(400, 3);
            p.after = [&](int k) {
                if (k == 20 || (everyPeriod && k > 20)) // the board runs on
                    std::this_thread::sleep_for(std::chrono::milliseconds(150));
            };
            EXPECT_EQ(run(p, config()), -1);
            EXPECT_EQ(countLog("FullDuplexFIR::process exiting"), 1);
            // The last sounding period fades out, four silent ones follow, and the run ends.
            int last = static_cast<int>(p.outputs.size());
            while (last > 0 && (p.out(last) == 0).all())
                --last;
            EXPECT_EQ(static_cast<int>(p.outputs.size()), last + 4);
            if (last >= 5) {
                for (int m = 0; m < 8; ++m)
                    expectGain(p.out(last), p.in(last), m, 0.5, 1.0, 0.0, "fade-out");
            } else { // silent throughout: only an over/under-run before the fade-in ends a run so early
                EXPECT_TRUE(p.firstXrun >= 1 && p.firstXrun <= 4) << "first over/under-run " << p.firstXrun;
            }
            const bool disturbed = p.firstXrun < 20 || (!everyPeriod && countLog("XRUN detected") > 1);
            if (disturbed && attempt < 3) continue;
            if (disturbed) {
                printf("over/under-runs the test did not make (first in period %d, %d reported) in 3 runs: "
                       "their place is not checked\n",
                       p.firstXrun, countLog("XRUN detected"));
                break;
            }
            EXPECT_EQ(countLog("XRUN detected - shutting down") > 1, everyPeriod);
            EXPECT_GE(last, 20);
            EXPECT_LE(last, 23);
            break;
        }
    }
    board->use();
}

/** Storm: coefficient files, equaliser files and mixer changes rewritten from three
 * threads while the processor streams.  With unit-impulse filters and equalisers that
 * pass audio unchanged, every output period must be the input times a linear gain
 * a -> b (constant, ramp, fade or silence) whose ends come from the allowed gains, and
 * each period must start where the last one ended: no click, no lost or repeated block.
 * Once the storm is over, the last file and the last control values are in force. */
TEST_F(Processor, StormOfChangesNeverClicksAndEndsOnTheLastValues) {
    const double scales[] = {0.5, 0.25}, g6 = std::pow(10.0, -6.0 / 20);
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // Under the race detector every amixer (with the detector preloaded) costs a second, and under
    // the address checks every rebuild of the filters several: a smaller storm (the same paths).
    const int filterWrites = 30, eqWrites = 30, mixerWrites = 48;
#else
    // Each mixer write is an amixer process (about 0.1 s of processor): 20 per channel.
    const int filterWrites = 200, eqWrites = 200, mixerWrites = 160;
#endif
    replaceAudioFile(filter, impulses(scales[0]));
    replaceEq(eqName, "[]");
    std::vector<double> allowed = {0.0};
    for (double s : scales)
        for (double g : {1.0, g6})
            allowed.push_back(s * g);
    auto isAllowed = [&](double v) {
        return std::any_of(allowed.begin(), allowed.end(), [&](double a) { return std::abs(v - a) < 1e-6; });
    };

    Probe p;
    p.audit = true;
    p.keep = false;
    p.feed = [](int k, Block& in) {
        std::mt19937 gen(static_cast<unsigned>(k));
        std::uniform_int_distribution<int> dist(1 << 27, 1 << 28);
        for (Eigen::Index i = 0; i < in.size(); ++i)
            in(i) = (gen() & 1) ? dist(gen) : -dist(gen);
    };
    std::atomic<bool> settled{false};
    double end[8], final[8];
    int failures = 0, stopAt = -1, periods = 0;
    p.after = [&](int k) {
        // The lock-step loop never waits: at real-time priority on a small machine it would leave the
        // watcher, the mixer and the writers next to nothing, and the storm would take minutes.
        if (k == 0) {
            sched_param normal{};
            pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
        }
        const Block& y = p.currentOutput();
        const Block& x = p.currentInput();
        for (int m = 0; m < 8 && k > 5; ++m) {
            const double a = double(y(0, m)) / x(0, m % 2), b = double(y(N - 1, m)) / x(N - 1, m % 2);
            bool ok = isAllowed(a) && isAllowed(b) && (k == 6 || std::abs(a - end[m]) < 1e-6);
            for (int n = 0; n < N && ok; ++n)
                ok = std::abs(y(n, m) - std::trunc(x(n, m % 2) * (a + (b - a) * n / (N - 1)))) <= 4.0;
            if (!ok && failures++ < 5)
                ADD_FAILURE() << "period " << k << " channel " << m << ": gain " << a << " to " << b << " after "
                              << end[m];
            end[m] = b;
        }
        ++periods;
        if (settled && stopAt < 0 && p.getSwitchCount() == -1 && !p.changesPending()) stopAt = k + 3;
        if (k == stopAt) {
            std::copy(end, end + 8, final);
            p.handleSignal(SIGINT);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300)); // leave the producers some processor
    };

    double lastGain[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    auto storm = std::async(std::launch::async, [&] {
        auto filters = std::async(std::launch::async, [&] {
            for (int i = 0; i < filterWrites; ++i) {
                replaceAudioFile(filter, impulses(scales[i % 2]));
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        auto equalisers = std::async(std::launch::async, [&] {
            for (int i = 0; i < eqWrites; ++i) {
                replaceEq(eqName, i % 2 ? "[]" : R"([{"type": "BPF", "Fc": 1000, "dB": 0, "Q": 1}])");
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        for (int i = 0; i < mixerWrites; ++i) {
            const int c = i % 8;
            const bool cut = (i / 8) % 2 == 0;
            EXPECT_EQ(amixer(*board, {"--", "sset", "Gain " + std::to_string(c), cut ? "-6dB" : "0dB"}).status, 0);
            lastGain[c] = cut ? g6 : 1.0;
        }
        filters.get();
        equalisers.get();
        // Settled: nothing pending for a second, longer than the watcher waits (250 ms) before
        // it reloads a file whose attributes changed, so no late reload starts a switch after it,
        // and the newest filter set read the file as it is now (a slow build is waited for).
        auto quietSince = std::chrono::steady_clock::now();
        waitFor(
            [&] {
                const bool current = p.filtersReadCurrentFile();
                const auto now = std::chrono::steady_clock::now();
                if (p.changesPending() || !current) quietSince = now;
                return now - quietSince > std::chrono::seconds(1);
            },
            60);
        settled = true;
    });
    EXPECT_EQ(run(p, config()), -1);
    storm.get();
    expectNoAuditedAllocation();
    EXPECT_GT(periods, 100);
    EXPECT_EQ(failures, 0);
    for (int m = 0; m < 8; ++m)
        EXPECT_NEAR(final[m], scales[(filterWrites - 1) % 2] * lastGain[m], 1e-6) << "channel " << m;
    EXPECT_GE(countLog("switching FIR filter over"), 2);
    EXPECT_GE(countLog("switching paraEQs over"), 2);
}

TEST_F(Processor, DestructorLogsItsStepsInOrder) {
    replaceAudioFile(filter, impulses(0.5));
    replaceEq(eqName, "[]");
    mobutest::finishesWithin(std::chrono::seconds(60), [&] { // destroyed at once after a run, as a host does
        Probe p;
        p.input = programme(10, 1);
        p.after = [&](int k) {
            if (k == 1) p.handleSignal(SIGINT);
        };
        p.init();
        p.loadConfig(config());
        p.Playback::setSampleRate(48000);
        p.setLatency(0.01f);
        return p.go();
    });
    const char* steps[] = {"FullDuplexFIR::process exiting", // the audio thread's last line comes first
                           "Starting destructor",
                           "Stopping FileWatchThreaded...",
                           "FileWatchThreaded stopped successfully",
                           "Deleting inactive FIR filters...",
                           "Inactive FIR filters deleted",
                           "Deleting active FIR filters...",
                           "Active FIR filters deleted",
                           "Cleanup completed successfully"};
    std::lock_guard<std::mutex> lock(logMutex);
    size_t at = 0;
    for (const char* step : steps) {
        while (at < logLines.size() && logLines[at].find(step) == std::string::npos)
            ++at;
        EXPECT_LT(at, logLines.size()) << step << " missing or out of order";
    }
}

} // namespace
