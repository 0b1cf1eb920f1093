// The two FIR filter plug-ins through real alsa-lib: a client process plays a
// programme into a PCM of each type, whose slave writes what it gets to a file.
// The definitions' fields, the audio path against a convolution done here (one
// period late, for transfers of any size), the "Headphone" gains changed with
// amixer, a rewritten coefficient or equaliser file switched in click-free, and
// SIGINT ending the stream in order.
#include "LoopbackBoard.h"
#include "TestSignals.h"

#include <Sox.h>

#include <gtest/gtest.h>

#include <fftw3.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <numeric>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int period = 256;

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

Eigen::MatrixXd randomFilters(int taps, int channels, unsigned seed) {
    return mobutest::randomFilters(taps, channels, seed, 5.0);
}

/// Writes filters as a WAV file and gives them back as stored (32-bit samples).
Eigen::MatrixXd storeFilters(const std::string& path, const Eigen::MatrixXd& h) {
    EXPECT_EQ(writeAudioFile(path + ".new.wav", 48000, h), 0);
    EXPECT_EQ(rename((path + ".new.wav").c_str(), path.c_str()), 0); // as an editor saves
    Sox<double> sox;
    EXPECT_GE(sox.openRead(path), SOX_REFERENCE_WARNING);
    Eigen::MatrixXd stored;
    EXPECT_GT(sox.read(stored), 0);
    return stored;
}

/// y(n) = sum_k h(k) x(n - k) for the whole of x, in long double.
Eigen::ArrayXd convolve(const Eigen::ArrayXd& x, const Eigen::VectorXd& h) {
    Eigen::ArrayXd y(x.size());
    for (Eigen::Index n = 0; n < x.size(); ++n) {
        long double acc = 0.0L;
        for (Eigen::Index k = 0; k < h.size() && k <= n; ++k)
            acc += static_cast<long double>(h(k)) * x(n - k);
        y(n) = static_cast<double>(acc);
    }
    return y;
}

template <typename T> void writeRaw(const std::string& path, const Eigen::Array<T, -1, -1, Eigen::RowMajor>& x) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(x.data()), x.size() * sizeof(T));
}

template <typename T> Eigen::Array<T, -1, -1, Eigen::RowMajor> readRaw(const std::string& path, int channels) {
    const std::string bytes = mobutest::readFile(path);
    Eigen::Array<T, -1, -1, Eigen::RowMajor> y(bytes.size() / (sizeof(T) * channels), channels);
    std::copy(bytes.begin(), bytes.begin() + y.size() * sizeof(T), reinterpret_cast<char*>(y.data()));
    return y;
}

using Ints = Eigen::Array<int32_t, -1, -1, Eigen::RowMajor>;
using Floats = Eigen::Array<float, -1, -1, Eigen::RowMajor>;

class Plugins : public ::testing::Test {
protected:
    void SetUp() override {
        board = std::make_unique<LoopbackBoard>(std::vector<std::string>{"--mode", "lockstep"});
        ASSERT_TRUE(board->ok()) << board->generator().err;
        dir = board->directory();
        filters = dir + "/filters.wav";
        eq = dir + "/eq.json";
        mobutest::writeFile(eq, "[]\n");
        board->addConfig("pcm_type.ALSAMobuFIRPlugin { lib \"" MOBU_PLUGIN_ALSAMobuFIRPlugin "\" }\n"
                         "pcm_type.ALSAMobuFIRSwitching { lib \"" MOBU_PLUGIN_ALSAMobuFIRSwitching "\" }\n"
                         "pcm_type.ALSAMobuPinkGenerator { lib \"" MOBU_PLUGIN_ALSAMobuPinkGenerator "\" }\n"
                         "pcm.out { type file slave.pcm null file \"" +
                         dir + "/out.raw\" format raw }\n");
    }

    /// Adds pcm.NAME { type TYPE BODY }.
    void define(const std::string& name, const std::string& type, const std::string& body) {
        board->addConfig("pcm." + name + " { type " + type + " " + body + " }\n");
    }
    std::string plainBody() const { return "slave.pcm \"out\" filter \"" + filters + "\""; }
    std::string switchingBody() const {
        return "slave.pcm \"out\" filter \"" + filters + "\" paraeq \"" + eq + "\" mixerDevice \"board\"";
    }

    mobutest::ProcessResult play(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{MOBU_HELPER_pcm_play};
        argv.insert(argv.end(), args.begin(), args.end());
        return mobutest::runProcess(argv, board->environment());
    }
    std::unique_ptr<mobutest::Child> start(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{MOBU_HELPER_pcm_play};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<mobutest::Child>(argv, board->environment());
    }

    /// Waits until the child's standard output holds `what` n times.
    static bool waitFor(const mobutest::Child& child, const std::string& what, int n = 1) {
        for (int i = 0; i < 3000; ++i) {
            if (count(child.outputSoFar(), what) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    /// Waits until the client has written up to its pause.
    static bool waitForPause(const mobutest::Child& child) {
        for (int i = 0; i < 3000; ++i) {
            if (child.errorSoFar().find("paused") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::unique_ptr<LoopbackBoard> board;
    std::string dir, filters, eq;
};

/// Stereo S32 noise, |x| below 2^28.
Ints intProgramme(int frames, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-(1 << 28), 1 << 28);
    Ints x(frames, 2);
    for (Eigen::Index i = 0; i < x.size(); ++i)
        x(i) = dist(gen);
    return x;
}

/// Expects output channel c of y (from frame `from`) to be trunc(ref x gain) to one step, one period late.
void expectFiltered(const Ints& y, int c, const Eigen::ArrayXd& ref, const Eigen::ArrayXd& gain, Eigen::Index from,
                    Eigen::Index to, const std::string& what) {
    int bad = 0;
    for (Eigen::Index n = from; n < to; ++n) {
        const double expected = std::trunc(ref(n) * gain(n));
        if (std::abs(y(n + period, c) - expected) > 1.0 + 1e-9 * std::abs(expected) && bad++ < 3)
            ADD_FAILURE() << what << ": output " << c << " frame " << n << " is " << y(n + period, c) << ", expected "
                          << expected;
    }
}

// --- definitions --------------------------------------------------------------------------------

TEST_F(Plugins, DefinitionsAreCheckedWhenOpened) {
    storeFilters(filters, randomFilters(2100, 8, 1));
    const std::string badGuard = dir + "/badguard.json";
    mobutest::writeFile(badGuard, R"({"outputs": [{"output": 6, "highpass": {"frequency": 1000}}]})");
    const struct {
        std::string name, type, body;
        int status;       ///< of the open: 0 or the errno
        std::string text; ///< printed by the plug-in ("" : nothing to look for)
    } cases[] = {
        {"plain", "ALSAMobuFIRPlugin", plainBody(), 0, "_snd_pcm_ALSAMobuFIRPlugin_open returning"},
        {"noslave", "ALSAMobuFIRPlugin", "filter \"" + filters + "\"", EINVAL, ""},
        {"unknownfirst", "ALSAMobuFIRPlugin", "colour \"red\" " + plainBody(), EINVAL, ""},
        {"unknownlast", "ALSAMobuFIRPlugin", plainBody() + " colour \"red\"", 0, ""},
        {"channels", "ALSAMobuFIRPlugin", plainBody() + " channels 8", 0, "read 8 channels from the config file"},
        {"numberfilter", "ALSAMobuFIRPlugin", "filter 5 slave.pcm \"out\"", EINVAL,
         "filter file configuration variable is not a string"},
        {"switching", "ALSAMobuFIRSwitching", switchingBody(), 0, "_snd_pcm_ALSAMobuFIRSwitching_open returning"},
        {"swnoslave", "ALSAMobuFIRSwitching", "filter \"" + filters + "\"", EINVAL, ""},
        {"swchannels", "ALSAMobuFIRSwitching", switchingBody() + " channels 8", 0,
         "the channels config variable is currently unused"},
        {"swchannelstext", "ALSAMobuFIRSwitching", switchingBody() + " channels \"eight\"", 0,
         "channels configuration variable is not an integer"},
        {"swnomixer", "ALSAMobuFIRSwitching", "mixerDevice \"nosuch\" slave.pcm \"out\"", EINVAL,
         "read nosuch (mixer device) from the config file"},
        {"swparaeq", "ALSAMobuFIRSwitching", switchingBody(), 0,
         "the paraeq file " + eq + " is watched but not applied: this plug-in has no equaliser"},
        {"swbadguard", "ALSAMobuFIRSwitching", switchingBody() + " guard \"" + badGuard + "\"", EINVAL,
         "the output guard file " + badGuard + ": outputs[0].highpass.order: missing (field guard)"},
        {"swrelativeguard", "ALSAMobuFIRSwitching", switchingBody() + " guard \"guard.json\"", EINVAL,
         "the guard field must be the absolute path of the output guard file"},
        {"swsingle", "ALSAMobuFIRSwitching", switchingBody() + " precision \"single\"", 0,
         "the filters' later stages in single precision"},
        {"swhalf", "ALSAMobuFIRSwitching", switchingBody() + " precision \"half\"", EINVAL,
         "the precision field must be \"double\" or \"single\""},
    };
    for (const auto& c : cases)
        define(c.name, c.type, c.body);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = play({c.name, "open"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
    }
    // One PCM of a type per process: a second open is refused while the first is open.
    for (const char* name : {"plain", "switching"}) {
        const auto r = play({name, "open", "2"});
        EXPECT_EQ(r.status, EBUSY) << name << r.err;
        EXPECT_NE(r.err.find("already open in this process"), std::string::npos) << r.err;
    }
    // Refusals name the field, its value and why, and nothing misleading follows them; a PCM of a
    // type whose slave is another of the same type is refused as the second open it is.
    const struct {
        std::string name, type, body;
        int status;
        std::string said;
    } refusals[] = {
        {"nested", "ALSAMobuFIRSwitching", "slave.pcm \"switching\" filter \"" + filters + "\"", EBUSY,
         "already open in this process"},
        {"nestedplain", "ALSAMobuFIRPlugin", "slave.pcm \"plain\" filter \"" + filters + "\"", EBUSY,
         "already open in this process"},
        {"numberfilter", "", "", EINVAL, "filter 5 refused: the value is not a string"},
        {"swnumberfilter", "ALSAMobuFIRSwitching", "filter 42 slave.pcm \"out\"", EINVAL,
         "filter 42 refused: the value is not a string"},
        {"swnomixer", "", "", EINVAL, "mixerDevice \"nosuch\" refused: its mixer can't be opened"},
        {"unknownfirst", "", "", EINVAL,
         "Unknown field colour in the definition of unknownfirst: a ALSAMobuFIRPlugin PCM has no such setting"},
    };
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.name);
        if (!c.type.empty()) define(c.name, c.type, c.body);
        const auto r = play({c.name, "open"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("No slave configuration"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Broken configuration"), std::string::npos) << r.err;
    }
}

// The client's thread: raised to the maximum by default, to the level the "priority" field gives,
// left alone with 0, and as it was after an open that fails.
TEST_F(Plugins, PriorityFieldSetsTheClientsSchedulingAndARefusedOpenPutsItBack) {
    storeFilters(filters, randomFilters(2100, 8, 3));
    const auto scheduling = [](const std::string& out) {
        const size_t at = out.rfind("scheduling ");
        return at == std::string::npos ? std::string("none") : out.substr(at + 11, out.find('\n', at) - at - 11);
    };
    const std::string fifoPath = dir + "/prio.fifo";
    const std::string top = std::to_string(sched_get_priority_max(SCHED_FIFO));
    const struct {
        std::string name, type, body;
        int status;
        std::string scheduling; ///< "POLICY PRIORITY" after the open
    } cases[] = {
        {"prdefault", "ALSAMobuFIRPlugin", plainBody(), 0, std::to_string(SCHED_FIFO) + " " + top},
        {"prgiven", "ALSAMobuFIRSwitching", switchingBody() + " priority 20", 0, std::to_string(SCHED_FIFO) + " 20"},
        {"prnone", "ALSAMobuPinkGenerator", "slave.pcm \"out\" fifopath \"" + fifoPath + "\" priority 0", 0,
         std::to_string(SCHED_OTHER) + " 0"},
        {"prnoslave", "ALSAMobuFIRPlugin", "slave.pcm \"nosuchpcm\" filter \"" + filters + "\"", ENOENT,
         std::to_string(SCHED_OTHER) + " 0"},
        {"prnested", "ALSAMobuFIRSwitching", "slave.pcm \"prgiven\" filter \"" + filters + "\" priority 30", EBUSY,
         std::to_string(SCHED_OTHER) + " 0"},
        {"prtoohigh", "ALSAMobuPinkGenerator", "priority 1000 slave.pcm \"out\"", EINVAL,
         std::to_string(SCHED_OTHER) + " 0"},
    };
    for (const auto& c : cases)
        define(c.name, c.type, c.body);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = play({c.name, "open"});
        if (r.out.find("Couldn't set the thread") != std::string::npos)
            GTEST_SKIP() << "this system refuses SCHED_FIFO threads: " << r.out;
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(scheduling(r.out), c.scheduling) << r.out;
    }
    const auto refused = play({"prtoohigh", "open"});
    EXPECT_NE(refused.err.find("priority 1000 refused: give 0 (the client's scheduling is left alone) or a "
                               "real-time level of 1 ... " +
                               top),
              std::string::npos)
        << refused.err;
}

// --- the plain plug-in --------------------------------------------------------------------------

TEST_F(Plugins, PlainFiltersAnyTransferSizeLikeAConvolution) {
    const Eigen::MatrixXd h = storeFilters(filters, randomFilters(2100, 8, 2));
    define("fir", "ALSAMobuFIRPlugin", plainBody());
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    Floats x(12 * period, 2);
    for (Eigen::Index i = 0; i < x.size(); ++i)
        x(i) = dist(gen);
    writeRaw(dir + "/in.raw", x);

    const auto whole = play({"fir", "FLOAT", "2", std::to_string(period), dir + "/in.raw", "256"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    const Floats y = readRaw<float>(dir + "/out.raw", 2);
    // The drain gives the plug-in no call: the last period stays inside (the documented limit).
    ASSERT_EQ(y.rows(), x.rows());
    for (int c = 0; c < 2; ++c) {
        const Eigen::ArrayXd ref = convolve(x.col(c).cast<double>(), h.col(c));
        EXPECT_EQ((y.col(c).head(period) == 0).count(), period) << "one period of silence first";
        const double err =
            (y.col(c).segment(period, x.rows() - period).cast<double>() - ref.head(x.rows() - period)).abs().maxCoeff();
        EXPECT_LT(err, 1e-6) << "output " << c;
    }

    // Odd transfers give the same samples; parameters set twice build all 8 filters again.
    const auto odd = play({"fir", "FLOAT", "2", std::to_string(period), dir + "/in.raw", "1,7,333", "twice"});
    ASSERT_EQ(odd.status, 0) << odd.err;
    EXPECT_TRUE((readRaw<float>(dir + "/out.raw", 2).topRows(x.rows()) == y.topRows(x.rows())).all());
    EXPECT_EQ(count(odd.out, "ALSAMobuFIRPlugin::createFIRFilters loading channel 7"), 2);
    EXPECT_EQ(count(odd.out, "deleteFIRFilters"), count(whole.out, "deleteFIRFilters") + 1);
}

TEST_F(Plugins, WrongChannelsOrFormatsAreRefused) {
    storeFilters(filters, randomFilters(2100, 8, 4));
    define("fir", "ALSAMobuFIRPlugin", plainBody());
    define("sw", "ALSAMobuFIRSwitching", switchingBody());
    writeRaw(dir + "/in.raw", Floats(Floats::Zero(4 * period, 4)));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"fir", "S32", "2"}, {"fir", "FLOAT", "4"}, {"sw", "FLOAT", "2"}, {"sw", "S32", "4"}}) {
        const auto r = play({args[0], args[1], args[2], std::to_string(period), dir + "/in.raw", "256"});
        EXPECT_EQ(r.status, 3) << args[0] << " " << args[1] << " " << args[2];
        EXPECT_NE(r.err.find("hardware parameters: Invalid argument"), std::string::npos) << r.err;
    }
    // A coefficient file with fewer than eight channels fails the plain plug-in's parameters.
    storeFilters(filters, randomFilters(2100, 4, 4));
    const auto r = play({"fir", "FLOAT", "2", std::to_string(period), dir + "/in.raw", "256"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE((r.out + r.err).find("Error : -100 Couldn't open the file"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("creating filters done"), std::string::npos);
}

// arecord through each type on a null slave: the switching plug-in (eight filtered
// channels, no place for them in a capture) refuses at open; the other two capture.
TEST_F(Plugins, CaptureIsRefusedOnlyWhereItCantWork) {
    storeFilters(filters, randomFilters(2100, 8, 15));
    const std::string fifo = dir + "/capture.fifo";
    define("swcap", "ALSAMobuFIRSwitching", "slave.pcm \"null\" filter \"" + filters + "\"");
    define("fircap", "ALSAMobuFIRPlugin", "slave.pcm \"null\" filter \"" + filters + "\"");
    define("pinkcap", "ALSAMobuPinkGenerator", "slave.pcm \"null\" fifopath \"" + fifo + "\"");
    const struct {
        std::string pcm, format;
        int status;
    } cases[] = {{"swcap", "S32_LE", 1}, {"fircap", "FLOAT_LE", 0}, {"pinkcap", "S32_LE", 0}};
    const int frames = 8 * period;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pcm);
        const std::string out = dir + "/" + c.pcm + ".raw";
        const auto r =
            mobutest::runProcess(LoopbackBoard::tool({"/usr/bin/arecord", "-q", "-D", c.pcm, "-f", c.format, "-c", "2",
                                                      "-r", "48000", "--period-size=" + std::to_string(period),
                                                      "--buffer-size=" + std::to_string(4 * period), "-s",
                                                      std::to_string(frames), "-t", "raw", out}),
                                 board->environment());
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (c.status != 0) {
            EXPECT_NE(r.err.find("Error : -1370"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("PCM swcap"), std::string::npos) << r.err;
            continue;
        }
        if (c.pcm == "fircap") {
            // What the null slave captures is whatever its buffer held (not always zeros): the
            // client getting every frame is what counts here.
            EXPECT_EQ(readRaw<float>(out, 2).rows(), frames);
        } else {
            const Ints y = readRaw<int32_t>(out, 2);
            ASSERT_EQ(y.rows(), frames);
            EXPECT_TRUE((y.col(0) == y.col(1)).all());
            EXPECT_GT((y.col(0).tail(frames - period) != 0).count(), frames / 2) << "the client records noise";
        }
    }
}

// A client may pick periods far longer than the filters serve (speaker-test takes the
// longest a null slave offers): set-up completes, the filters run in blocks of 16384
// frames, and the output is the convolution one block late.
TEST_F(Plugins, LongPeriodsAreFilteredInBlocks) {
    const Eigen::MatrixXd h = storeFilters(filters, randomFilters(300, 8, 16));
    define("fir", "ALSAMobuFIRPlugin", plainBody());
    constexpr int block = 16384, longPeriod = 4 * block;
    std::mt19937 gen(17);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    Floats x(3 * block, 2);
    for (Eigen::Index i = 0; i < x.size(); ++i)
        x(i) = dist(gen);
    writeRaw(dir + "/in.raw", x);
    const auto r = play({"fir", "FLOAT", "2", std::to_string(longPeriod), dir + "/in.raw", "5000"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("period size " + std::to_string(longPeriod)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ALSAMobuFIRPlugin::createFIRFilters to handle 16384 samples"), std::string::npos);
    const Floats y = readRaw<float>(dir + "/out.raw", 2);
    ASSERT_GE(y.rows(), x.rows());
    for (int c = 0; c < 2; ++c) {
        const Eigen::ArrayXd ref = convolve(x.col(c).cast<double>(), h.col(c));
        EXPECT_TRUE((y.col(c).head(block) == 0).all()) << "one block of silence first";
        const double err =
            (y.col(c).segment(block, x.rows() - block).cast<double>() - ref.head(x.rows() - block)).abs().maxCoeff();
        EXPECT_LT(err, 1e-6) << "output " << c;
    }
}

// --- the switching plug-in ----------------------------------------------------------------------

TEST_F(Plugins, SwitchingFiltersWithHeadphoneGainsRampedOverOnePeriod) {
    const Eigen::MatrixXd h = storeFilters(filters, randomFilters(2100, 8, 5));
    define("sw", "ALSAMobuFIRSwitching", switchingBody());
    const Ints x = intProgramme(16 * period, 6);
    writeRaw(dir + "/in.raw", x);
    const std::string go = dir + "/go";
    // Pause after 8 periods: "Headphone" and another control change, then play on.
    auto child =
        start({"sw", "S32", "2", std::to_string(period), dir + "/in.raw", "1,7,333", std::to_string(8 * period), go});
    ASSERT_TRUE(waitForPause(*child));
    const auto amixer = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/amixer", "-q", "-D", "board"});
        return mobutest::runProcess(LoopbackBoard::tool(args), board->environment()).status;
    };
    // Both channels in one write (0.5 dB steps from -127.5 dB): -6 dB and -12 dB.
    ASSERT_EQ(amixer({"cset", "name=Headphone Playback Volume", "243,231"}), 0);
    ASSERT_EQ(amixer({"--", "sset", "Gain 0", "-6dB"}), 0); // not "Headphone": nothing changes
    // The second change waits for the first one's ramp, which the next period plays.
    ASSERT_TRUE(waitFor(*child, "me.name Gain 0")) << child->outputSoFar();
    EXPECT_EQ(count(child->outputSoFar(), "Preparing the switching for the new gains"), 1);
    mobutest::writeFile(go, "");
    const auto r = child->wait(std::chrono::seconds(60));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(count(r.out, "gains already waiting for a transition"), 1) << r.out;

    const Ints y = readRaw<int32_t>(dir + "/out.raw", 8);
    ASSERT_GE(y.rows(), x.rows());
    const double target[2] = {std::pow(10.0, -6.0 / 20), std::pow(10.0, -12.0 / 20)};
    for (int c = 0; c < 8; ++c) {
        const Eigen::ArrayXd ref = convolve(x.col(c % 2).cast<double>(), h.col(c));
        // The ramp is the period processed after the change: frames [8, 9) periods of the input.
        Eigen::ArrayXd g = Eigen::ArrayXd::Ones(x.rows());
        if (c < 2) {
            g.segment(8 * period, period) = Eigen::ArrayXd::LinSpaced(period, 1.0, target[c]);
            g.tail(x.rows() - 9 * period).setConstant(target[c]);
        }
        expectFiltered(y, c, ref, g, 0, x.rows() - period, "output " + std::to_string(c));
    }
}

TEST_F(Plugins, SwitchingRewritesSwitchClickFreeAndSigintEndsInOrder) {
    const Eigen::MatrixXd h = storeFilters(filters, randomFilters(2100, 8, 7));
    define("sw", "ALSAMobuFIRSwitching", switchingBody());
    const Ints x = intProgramme(20 * period, 8);
    writeRaw(dir + "/in.raw", x);
    enum What { Filters, Equaliser, Sigint };
    using mobutest::BadCoefficients;
    struct Case {
        What what;
        int refused = -1; ///< a BadCoefficients file is renamed in first: refused, the set in force plays on
    };
    for (const Case& test :
         {Case{Filters}, Case{Equaliser}, Case{Sigint}, Case{Filters, int(BadCoefficients::NonFinite)},
          Case{Filters, int(BadCoefficients::Fifo)}, Case{Filters, int(BadCoefficients::NoSamples)}}) {
        const What what = test.what;
        SCOPED_TRACE(what == Filters ? "filters" : what == Equaliser ? "equaliser" : "SIGINT");
        SCOPED_TRACE(test.refused < 0 ? "" : mobutest::name(BadCoefficients(test.refused)));
        const std::string go = dir + "/go";
        std::remove(go.c_str());
        storeFilters(filters, h); // the same filters play first each time
        const Eigen::MatrixXd h2 = what == Filters ? randomFilters(2100, 8, 9) : h;
        auto child =
            start({"sw", "S32", "2", std::to_string(period), dir + "/in.raw", "256", std::to_string(6 * period), go});
        ASSERT_TRUE(waitForPause(*child));
        Eigen::MatrixXd stored = h;
        if (test.refused >= 0) {
            ASSERT_TRUE(mobutest::renameBadCoefficients(BadCoefficients(test.refused), filters));
            ASSERT_TRUE(waitFor(*child, "is refused")) << child->outputSoFar();
        }
        if (what == Filters) stored = storeFilters(filters, h2);
        if (what == Equaliser) mobutest::writeFile(eq, "[]\n"); // saved again: the filters are rebuilt
        if (what == Sigint) child->signal(SIGINT);
        if (what != Sigint) { // the new set is built (after hwParams' one) and waits for the next period
            ASSERT_TRUE(waitFor(*child, "inactiveFIR loaded", 2)) << child->outputSoFar();
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the switch is asked for right after
        }
        mobutest::writeFile(go, "");
        const auto r = child->wait(std::chrono::seconds(60));
        const Ints y = readRaw<int32_t>(dir + "/out.raw", 8);
        if (what == Sigint) {
            EXPECT_EQ(r.status, 4) << "the stream ends with an error" << r.err;
            EXPECT_EQ(count(r.out, "handled signal : 2"), 1) << r.out;
            EXPECT_EQ(count(r.out, "transfer ramping down"), 1);
            EXPECT_EQ(count(r.out, "transfer playing zeros"), 4);
            EXPECT_EQ(count(r.out, "transfer exiting"), 1);
        } else {
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(count(r.out, "transfer switching over"), 1) << r.out;
        }
        // Periods 0..5 of the input play the old filters; period 6 fades them out; then
        // silence (two periods, or to the end), a fade-in and the new filters.
        const Eigen::Index fadeOut = 6 * period;
        for (int c = 0; c < 8; ++c) {
            const Eigen::ArrayXd before = convolve(x.col(c % 2).cast<double>(), h.col(c));
            Eigen::ArrayXd g = Eigen::ArrayXd::Ones(x.rows());
            g.segment(fadeOut, period) = Eigen::ArrayXd::LinSpaced(period, 1.0, 0.0);
            expectFiltered(y, c, before, g, 0, fadeOut + period, "before, output " + std::to_string(c));
            if (what == Sigint) {
                // Silence to the end: the fade's period (one late) and the four silent ones all
                // reach the slave; the transfer after them fails.
                EXPECT_EQ(y.rows(), fadeOut + 6 * period) << "the stream ends after the silence";
                EXPECT_TRUE((y.col(c).tail(y.rows() - fadeOut - 2 * period) == 0).all());
                continue;
            }
            const Eigen::Index silentTo = fadeOut + 3 * period; // input frames
            EXPECT_TRUE((y.col(c).segment(fadeOut + 2 * period, 2 * period) == 0).all());
            // The new filters start from the first silent period: what came before is not in them.
            Eigen::ArrayXd input = x.col(c % 2).cast<double>();
            input.head(fadeOut + period).setZero();
            const Eigen::ArrayXd after = convolve(input, stored.col(c));
            Eigen::ArrayXd fade = Eigen::ArrayXd::Ones(x.rows());
            fade.segment(silentTo, period) = Eigen::ArrayXd::LinSpaced(period, 0.0, 1.0);
            expectFiltered(y, c, after, fade, silentTo, x.rows() - period, "after, output " + std::to_string(c));
        }
    }
}

TEST_F(Plugins, SwitchingWithoutCoefficientsPassesBandLimitedAudio) {
    define("sw", "ALSAMobuFIRSwitching", "slave.pcm \"out\" paraeq \"" + eq + "\" mixerDevice \"board\"");
    Ints x = Ints::Zero(16 * period, 2);
    x.row(0).setConstant(1 << 30); // an impulse: each output is its filter
    writeRaw(dir + "/in.raw", x);
    const auto r = play({"sw", "S32", "2", std::to_string(period), dir + "/in.raw", "256"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count(r.out, "Couldn't load filter from file, setting as the impulse with sample rate = 48000"), 8);
    const Ints y = readRaw<int32_t>(dir + "/out.raw", 8);
    ASSERT_GE(y.rows(), 2 * period + 1024);
    const auto gainDB = [&](int c, double f) { // of the impulse response at f Hz
        std::complex<double> sum = 0;
        for (int n = 0; n < 1024; ++n)
            sum += static_cast<double>(y(period + n, c)) / (1 << 30) * std::polar(1.0, -2 * M_PI * f * n / 48000);
        return 20 * std::log10(std::abs(sum));
    };
    for (int c = 0; c < 8; ++c) {
        SCOPED_TRACE("output " + std::to_string(c));
        EXPECT_NEAR(gainDB(c, 1000), 0.0, 0.5);
        EXPECT_NEAR(gainDB(c, 12000), 0.0, 0.5);
        EXPECT_LT(gainDB(c, 0), -40.0) << "no DC";
    }
    EXPECT_LT(gainDB(2, 100), gainDB(0, 100) - 6) << "outputs 2-7 start higher (400 Hz) than 0 and 1 (20 Hz)";
}

TEST_F(Plugins, SwitchingOutputsStayWithinTheirGuardWhateverTheFilters) {
    Eigen::MatrixXd h = Eigen::MatrixXd::Zero(2049, 8);
    h.row(0).setOnes(); // pass-through of a programme near full scale
    storeFilters(filters, h);
    const std::string guard = dir + "/guard.json";
    mobutest::writeFile(guard, R"({"outputs": [{"output": 6, "highpass": {"frequency": 1000, "order": 8}},
                                               {"output": 7, "maxLevel": -20}]})");
    define("sw", "ALSAMobuFIRSwitching", switchingBody() + " guard \"" + guard + "\"");
    writeRaw(dir + "/in.raw", Ints(intProgramme(48 * period, 21) * 7));
    const auto r = play({"sw", "S32", "2", std::to_string(period), dir + "/in.raw", "256"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("the output guard is in force: output 6: high-pass 1000 Hz order 8\noutput 7: at most -20 "
                         "dBFS"),
              std::string::npos)
        << r.out;
    const Ints all = readRaw<int32_t>(dir + "/out.raw", 8);
    ASSERT_GE(all.rows(), 40 * period);
    const Ints y = all.middleRows(2 * period, 36 * period);
    const double limit = 2147483648.0 * 0.1;
    EXPECT_LE(y.col(7).abs().maxCoeff(), limit) << "output 7 is held at -20 dBFS";
    EXPECT_GT(y.col(5).abs().maxCoeff(), 3 * limit) << "the filters drive the unguarded outputs past it";
    EXPECT_TRUE((y.col(4) == y.col(0)).all()) << "an unguarded output is untouched";
    for (const double f : {125.0, 250.0, 500.0})
        EXPECT_LT(mobutest::levelAtDB(y.col(6), f), mobutest::levelAtDB(y.col(4), f) - 40.0) << f << " Hz";
    // The pass band plays; this programme is near full scale, so the limit that keeps the filtered
    // output from clipping takes a few dB.
    EXPECT_GT(mobutest::levelAtDB(y.col(6), 4000), mobutest::levelAtDB(y.col(4), 4000) - 4.0);
}

// --- the pink-noise plug-in ---------------------------------------------------------------------

TEST_F(Plugins, PinkNoiseReplacesTheAudioWhichArrivesUnchangedInTheFifo) {
    const std::string fifo = dir + "/pink.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0); // an existing FIFO is used as it is
    define("pink", "ALSAMobuPinkGenerator", "fifopath \"" + fifo + "\" slave.pcm \"out\"");
    define("pinknumber", "ALSAMobuPinkGenerator", "fifopath 5 slave.pcm \"out\"");
    const Ints x = intProgramme(12 * period, 13);
    writeRaw(dir + "/in.raw", x);

    // A reader that is there before the player and drains the FIFO until the player is gone; a
    // write end of our own keeps it from seeing the end before the plug-in has opened the FIFO.
    const auto playWithReader = [&](int periodFrames, const std::string& chunks) {
        const int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK), writeEnd = open(fifo.c_str(), O_WRONLY);
        EXPECT_GE(readEnd, 0);
        EXPECT_GE(writeEnd, 0);
        std::string received;
        std::thread reader([&] {
            char buffer[65536];
            for (;;) {
                pollfd p{readEnd, POLLIN, 0};
                poll(&p, 1, 1000);
                const ssize_t n = read(readEnd, buffer, sizeof buffer);
                if (n == 0) break; // no writer left and nothing buffered
                if (n > 0) received.append(buffer, static_cast<size_t>(n));
            }
        });
        const auto r = play({"pink", "S32", "2", std::to_string(periodFrames), dir + "/in.raw", chunks});
        close(writeEnd);
        reader.join();
        close(readEnd);
        EXPECT_EQ(r.status, 0) << r.err;
        return std::make_pair(r, received);
    };
    const auto [r, received] = playWithReader(period, "1,7,333");
    EXPECT_NE(r.out.find("fifo " + fifo + " already exists, not creating again."), std::string::npos) << r.out;
    EXPECT_TRUE(received == mobutest::readFile(dir + "/in.raw")) << "every frame, once";
    const Ints y = readRaw<int32_t>(dir + "/out.raw", 2);
    ASSERT_GE(y.rows(), x.rows());
    EXPECT_TRUE((y.col(0) == y.col(1)).all()) << "the same noise on both channels";
    EXPECT_TRUE((y.topRows(period) == 0).all()) << "one period late";
    for (int k = 1; k < 12; ++k) // noise in every later period, none of the programme
        EXPECT_GT((y.col(0).segment(k * period, period) != 0).count(), period / 2) << "period " << k;
    EXPECT_FALSE((y.col(0).segment(period, x.rows() - period) == x.col(0).head(x.rows() - period)).any());

    // Periods of 16384 frames (128 KiB, twice a pipe's default size) reach the FIFO too.
    writeRaw(dir + "/in.raw", intProgramme(4 * 16384, 18));
    const auto big = playWithReader(16384, "5000");
    EXPECT_EQ(big.second.size(), 4u * 16384 * 8);
    EXPECT_TRUE(big.second == mobutest::readFile(dir + "/in.raw")) << "every frame, once";

    // No reader: a programme far longer than the FIFO holds plays on.
    const Ints longer = intProgramme(200 * period, 14);
    writeRaw(dir + "/in.raw", longer);
    const auto alone = play({"pink", "S32", "2", std::to_string(period), dir + "/in.raw", "256"});
    EXPECT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(readRaw<int32_t>(dir + "/out.raw", 2).rows(), longer.rows());
    // A number for the path: said, and no FIFO.
    const auto number = play({"pinknumber", "S32", "2", std::to_string(period), dir + "/in.raw", "256"});
    EXPECT_EQ(number.status, 0) << number.err;
    EXPECT_NE(number.out.find("fifoPath file configuration variable is not a string"), std::string::npos);
    // A path that is no FIFO would swallow the audio: the open is refused, naming it.
    const std::string regular = dir + "/regular";
    mobutest::writeFile(regular, "");
    for (const std::string& path : {regular, std::string("/dev/null")}) {
        const std::string name = path == regular ? "pinkfile" : "pinkdevice";
        define(name, "ALSAMobuPinkGenerator", "fifopath \"" + path + "\" slave.pcm \"out\"");
        const auto refused = play({name, "open"});
        EXPECT_EQ(refused.status, EINVAL) << path;
        EXPECT_NE(refused.err.find("Error : -1371"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("fifopath " + path), std::string::npos) << refused.err;
    }
    EXPECT_EQ(mobutest::readFile(regular), "");
    // A folder: refused naming it and why, with no misleading line about the slave after it.
    define("pinkdir", "ALSAMobuPinkGenerator", "fifopath \"" + dir + "\" slave.pcm \"out\"");
    const auto folder = play({"pinkdir", "open"});
    EXPECT_EQ(folder.status, EINVAL);
    EXPECT_NE(folder.err.find("Error : -1371"), std::string::npos) << folder.err;
    EXPECT_NE(folder.err.find("fifopath " + dir + " is a directory"), std::string::npos) << folder.err;
    EXPECT_EQ(folder.err.find("No slave configuration"), std::string::npos) << folder.err;
}

/// Energy per octave (dB) of x in bands from 40 Hz to 16 kHz at 48 kHz: 40-80, 80-160, ... 10240-16000.
std::vector<double> octaveLevels(const Eigen::ArrayXd& x) {
    const int n = static_cast<int>(x.size());
    Eigen::ArrayXd in = x;
    Eigen::ArrayXcd X(n / 2 + 1);
    fftw_plan p = fftw_plan_dft_r2c_1d(n, in.data(), reinterpret_cast<fftw_complex*>(X.data()), FFTW_ESTIMATE);
    fftw_execute(p);
    fftw_destroy_plan(p);
    std::vector<double> levels;
    for (double lo = 40.0; lo < 16000.0; lo *= 2.0) {
        const double hi = std::min(2.0 * lo, 16000.0);
        double energy = 0.0;
        for (int k = static_cast<int>(std::ceil(lo * n / 48000.0)); k < hi * n / 48000.0; ++k)
            energy += std::norm(X(k));
        levels.push_back(10.0 * std::log10(energy / std::log2(hi / lo)));
    }
    return levels;
}

TEST_F(Plugins, PinkNoiseHasOneLevelAndAPinkSpectrumWhateverThePeriod) {
    define("pinkonly", "ALSAMobuPinkGenerator", "slave.pcm \"out\"");
    const int analysed = 1 << 18; // 5.5 s: every octave from 40 Hz holds hundreds of bins
    for (const int periodFrames : {16, 64, 512, 8192, 65536}) {
        SCOPED_TRACE(periodFrames);
        writeRaw(dir + "/in.raw", Ints(Ints::Zero(analysed + periodFrames, 2)));
        const auto r = play({"pinkonly", "S32", "2", std::to_string(periodFrames), dir + "/in.raw",
                             std::to_string(std::min(periodFrames, 4096))});
        ASSERT_EQ(r.status, 0) << r.err;
        const Ints y = readRaw<int32_t>(dir + "/out.raw", 2);
        ASSERT_GE(y.rows(), analysed + periodFrames);
        const Eigen::ArrayXd x = y.col(0).segment(periodFrames, analysed).cast<double>() / 2147483648.0;
        const double rmsDB = 20.0 * std::log10(std::sqrt(x.square().mean()));
        EXPECT_NEAR(rmsDB, -20.0, 1.0) << "the documented level";
        const std::vector<double> levels = octaveLevels(x);
        const double mean = std::accumulate(levels.begin(), levels.end(), 0.0) / static_cast<double>(levels.size());
        for (size_t b = 0; b < levels.size(); ++b)
            EXPECT_NEAR(levels[b], mean, 1.5) << "octave from " << 40 * (1 << b) << " Hz";
    }
}

} // namespace

namespace {

// Stacked on the virtual board's loop-back (lock-step): what arecord captures is the filtered programme.
TEST(PluginsOnTheBoard, CaptureIsTheFilteredProgramme) {
    const struct {
        std::string type, format;
        std::vector<std::string> boardOptions;
        int outputs;
    } cases[] = {
        {"ALSAMobuFIRSwitching", "S32", {"--capture-channels", "8"}, 8},
        {"ALSAMobuFIRPlugin", "FLOAT", {"--playback-channels", "2", "--capture-channels", "2"}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        std::vector<std::string> options{"--mode", "lockstep"};
        options.insert(options.end(), c.boardOptions.begin(), c.boardOptions.end());
        LoopbackBoard board(options);
        ASSERT_TRUE(board.ok()) << board.generator().err;
        const std::string dir = board.directory(), filters = dir + "/filters.wav";
        const Eigen::MatrixXd h = storeFilters(filters, randomFilters(2100, 8, 11));
        board.addConfig("pcm_type." + c.type + " { lib \"" +
                        (c.outputs == 8 ? MOBU_PLUGIN_ALSAMobuFIRSwitching : MOBU_PLUGIN_ALSAMobuFIRPlugin) +
                        "\" }\npcm.fir { type " + c.type + " slave.pcm \"board_playback\" filter \"" + filters +
                        "\" }\n");
        const Ints x = intProgramme(10 * period, 12);
        Floats xf = x.cast<float>() / float(1 << 30);
        if (c.outputs == 8)
            writeRaw(dir + "/in.raw", x);
        else
            writeRaw(dir + "/in.raw", xf);
        const int frames = static_cast<int>(x.rows());
        // The programme is played, then captured: the lock-step board keeps a finished
        // playback for a capture that starts after it.
        const auto played = mobutest::runProcess(
            {MOBU_HELPER_pcm_play, "fir", c.format, "2", std::to_string(period), dir + "/in.raw", "1,7,333"},
            board.environment());
        ASSERT_EQ(played.status, 0) << played.err;
        const auto recorded = mobutest::runProcess(
            LoopbackBoard::tool({"/usr/bin/arecord", "-q", "-D", "board_capture", "-f", c.format + "_LE", "-c",
                                 std::to_string(c.outputs), "-r", "48000", "--period-size=256", "--buffer-size=1024",
                                 "-s", std::to_string(frames), "-t", "raw", dir + "/captured.raw"}),
            board.environment());
        ASSERT_EQ(recorded.status, 0) << recorded.err;
        for (int m = 0; m < c.outputs; ++m) {
            const Eigen::ArrayXd input = c.outputs == 8 ? Eigen::ArrayXd(x.col(m % 2).cast<double>())
                                                        : Eigen::ArrayXd(xf.col(m % 2).cast<double>());
            const Eigen::ArrayXd ref = convolve(input, h.col(m));
            double err = 0;
            if (c.outputs == 8) {
                const Ints y = readRaw<int32_t>(dir + "/captured.raw", 8);
                ASSERT_EQ(y.rows(), frames);
                for (int n = 0; n < frames - period; ++n)
                    err = std::max(err, std::abs(y(n + period, m) - std::trunc(ref(n))));
                EXPECT_LE(err, 1.0) << "output " << m;
            } else {
                const Floats y = readRaw<float>(dir + "/captured.raw", 2);
                ASSERT_EQ(y.rows(), frames);
                for (int n = 0; n < frames - period; ++n)
                    err = std::max(err, std::abs(y(n + period, m) - ref(n)));
                EXPECT_LT(err, 1e-6) << "output " << m;
            }
        }
    }
}

} // namespace

namespace {

// On the real-time board the slave still holds up to a buffer of what was written when
// a stream ends: SIGINT's fade-out must be heard, not dropped with what the slave held
// (the silence lasts as long as the slave's buffer).  A run that reports an under- or
// overrun (a busy machine) is run again.
void sigintOnTheRealTimeBoard(int bufferPeriods) {
    LoopbackBoard board({"--mode", "realtime", "--capture-channels", "8"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    const std::string dir = board.directory(), filters = dir + "/filters.wav";
    Eigen::MatrixXd h = Eigen::MatrixXd::Zero(16, 8);
    h.row(0).setConstant(0.5); // each output is half its input
    storeFilters(filters, h);
    board.addConfig("pcm_type.ALSAMobuFIRSwitching { lib \"" MOBU_PLUGIN_ALSAMobuFIRSwitching "\" }\n"
                    "pcm.sw { type ALSAMobuFIRSwitching slave.pcm \"board_playback\" filter \"" +
                    filters + "\" }\n");
    constexpr int block = 480, level = 1 << 27; // what the slave gets of a constant 2^28
    writeRaw(dir + "/in.raw", Ints(Ints::Constant(3 * 48000, 2, 1 << 28)));
    const auto waitFor = [](const mobutest::Child& child, const std::string& what) {
        for (int i = 0; i < 2000 && child.outputSoFar().find(what) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    // The player's OpenMP team sleeps between periods instead of spinning at its real-time
    // priority over the recorder.
    std::vector<std::string> playerEnvironment = board.environment();
    playerEnvironment.push_back("OMP_WAIT_POLICY=passive");
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        const std::string captured = dir + "/captured.raw";
        mobutest::Child recorder(
            LoopbackBoard::tool({"/usr/bin/arecord", "-D", "board_capture", "-f", "S32_LE", "-c", "8", "-r", "48000",
                                 "--period-size=4800", "--buffer-size=48000", "-s", "96000", "-t", "raw", captured}),
            board.environment());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mobutest::Child player(
            LoopbackBoard::tool({"/usr/bin/aplay", "-D", "sw", "-f", "S32_LE", "-c", "2", "-r", "48000",
                                 "--period-size=480", "--buffer-size=" + std::to_string(bufferPeriods * block), "-t",
                                 "raw", dir + "/in.raw"}),
            playerEnvironment);
        waitFor(player, "ALSAMobuFIRSwitching::init thread priority");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        player.signal(SIGINT);
        const auto played = player.wait(std::chrono::seconds(30));
        const auto recorded = recorder.wait(std::chrono::seconds(30));
        ASSERT_EQ(recorded.status, 0) << recorded.err;
        if ((played.err + recorded.err).find("run!!!") != std::string::npos) { // under- or overrun
            std::cerr << "disturbed run:\n" << played.err << recorded.err;
            continue;
        }
        EXPECT_EQ(count(played.out, "transfer ramping down"), 1) << played.out;
        EXPECT_EQ(count(played.out, "transfer playing zeros"), bufferPeriods) << played.out;
        const Ints y = readRaw<int32_t>(captured, 8);
        ASSERT_EQ(y.rows(), 96000);
        for (int c = 0; c < 8; ++c) {
            SCOPED_TRACE("output " + std::to_string(c));
            // The last frame at full level, then a linear fall to silence over one block.
            Eigen::Index last = y.rows() - 1;
            while (last > 0 && y(last, c) < level - 1)
                --last;
            ASSERT_GT(last, 0) << "the programme was heard";
            ASSERT_LT(last + block + 1, y.rows()) << "and ended within the recording";
            double worst = 0.0;
            for (int n = 0; n <= block; ++n)
                worst = std::max(worst, std::abs(y(last + n, c) - level * (1.0 - double(n) / block)));
            EXPECT_LT(worst, level * 0.01) << "the fade-out is heard, not cut";
            EXPECT_TRUE((y.col(c).tail(y.rows() - last - block - 1) == 0).all()) << "silence after it";
        }
        return;
    }
    GTEST_SKIP() << "every run was disturbed by under- or overruns (a busy machine)";
}

TEST(PluginsOnTheBoard, SigintFadeOutIsHeardOnARealTimeSlave) {
    for (const int bufferPeriods : {4, 8}) {
        SCOPED_TRACE("a buffer of " + std::to_string(bufferPeriods) + " periods");
        sigintOnTheRealTimeBoard(bufferPeriods);
    }
}

} // namespace
