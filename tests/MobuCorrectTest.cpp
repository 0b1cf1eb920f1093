// mobu-correct: the whole loop on the lock-step virtual board with a room of modes and
// reflections (measure, design, verify through the measurement filter), and refusals of bad
// input with one line and a status before anything is written.
#include "LoopbackBoard.h"

#include <MobuEmbedded/ParaEQ.h>
#include <RoomCorrection.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

class MobuCorrect : public ::testing::Test {
protected:
    void SetUp() override { dir = mobutest::makeTempDir("correct"); }
    void TearDown() override { mobutest::removeTree(dir); }

    mobutest::ProcessResult correct(const std::vector<std::string>& args,
                                    const std::vector<std::string>& env = {}) const {
        std::vector<std::string> argv{MOBU_MOBU_CORRECT};
        argv.insert(argv.end(), args.begin(), args.end());
        return mobutest::runProcess(argv, env);
    }

    std::string dir;
};

/// The numbers after each `key` in the line that starts with `start`.
std::vector<double> figuresOf(const std::string& text, const std::string& start, const std::string& key) {
    std::istringstream in(text);
    std::vector<double> out;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, start.size(), start) != 0) continue;
        const size_t at = line.find(key);
        if (at != std::string::npos) out.push_back(std::strtod(line.c_str() + at + key.size(), nullptr));
    }
    return out;
}

TEST_F(MobuCorrect, MeasuresCorrectsAndVerifiesARoomOnTheLockStepBoard) {
    const auto room = mobutest::runProcess(
        {mobutest::referencePython(), MOBU_SOURCE_DIR "/scripts/make-modal-room.py", dir + "/room.wav"});
    ASSERT_EQ(room.status, 0) << room.err;
    LoopbackBoard board({"--mode", "lockstep", "--room", dir + "/room.wav", "--noise-db", "-90"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    const auto measured = mobutest::runProcess(
        {MOBU_MOBU_MEASURE, "--playback=board_playback", "--capture=board_capture", "--channels=0,1", "--taps=16384",
         "--align", "--out=" + dir + "/m", "--position=1", "--status=" + dir + "/status.json"},
        board.environment());
    ASSERT_EQ(measured.status, 0) << measured.out << measured.err;

    // A folder of positions (here one, pos-1) is read as its positions.  At 1/6 octave throughout,
    // as the verification judges it (the default is broader above the transition).
    const auto designed = correct({"--in=" + dir + "/m", "--out=" + dir + "/filters.wav", "--align", "--smoothing=1/6",
                                   "--plot=" + dir + "/design.png", "--eq=" + dir + "/eq.json"});
    ASSERT_EQ(designed.status, 0) << designed.out << designed.err;
    EXPECT_GT(mobutest::readFile(dir + "/design.png").size(), 10000u);
    // The equaliser files load into the system's equaliser, and their sections flatten the room:
    // the mean set (the processor's one file) and each channel's own set on its channel.
    const auto equalisedRms = [&](const std::string& file, int channel, double& before) {
        ParaEQ eq;
        eq.setFS(48000);
        std::ifstream json(file);
        EXPECT_EQ(eq.fromJSON(json), 0) << file;
        EXPECT_LE(eq.getA().cols(), 11) << "at most 10 sections after the unity one";
        eq.genImpulseResponse(16384);
        Sox<double> in;
        Eigen::MatrixXd h;
        EXPECT_GE(in.openRead(dir + "/m/pos-1/impulse-" + std::to_string(channel) + ".wav"), SOX_REFERENCE_WARNING);
        EXPECT_GT(in.read(h), 0);
        Eigen::VectorXd equalised = Eigen::VectorXd::Zero(h.rows() + 16384);
        for (Eigen::Index t = 0; t < 16384; ++t)
            equalised.segment(t, h.rows()) += eq.getImpulseResponse()(t) * h.col(0);
        RoomCorrection reference;
        double level = 0;
        const auto rms = [](const Eigen::VectorXd& dev) {
            double sum = 0;
            int n = 0;
            for (double d : dev)
                if (std::isfinite(d)) sum += d * d, ++n;
            return std::sqrt(sum / n);
        };
        before = rms(reference.deviationDB(h.col(0), level));
        return rms(reference.deviationDB(equalised, level));
    };
    for (int c = 0; c < 2; ++c) {
        double before = 0;
        const double mean = equalisedRms(dir + "/eq.json", c, before);
        const double own = equalisedRms(dir + "/eq-" + std::to_string(c) + ".json", c, before);
        EXPECT_LT(mean, before - 1.0) << "channel " << c << ": RMS deviation " << before << " dB before, " << mean
                                      << " dB after";
        EXPECT_LT(own, mean) << "channel " << c << ": RMS deviation with its own set " << own << " dB, with the mean "
                             << mean << " dB";
    }
    // The file as any reader sees it (the samples times the factor of its scale reference): eight
    // outputs of 65536 taps, no boost above 6 dB at any frequency.
    const auto file =
        mobutest::runProcess({mobutest::referencePython(), "-c",
                              "import sys, numpy as np, scipy.io.wavfile as wav\n"
                              "rate, data = wav.read(sys.argv[1]); frames, c = data.shape\n"
                              "h = data / 2.0**31 * float(open(sys.argv[1] + '.scale').read().split()[0])\n"
                              "print(c, frames, 20 * np.log10(np.abs(np.fft.rfft(h, 1 << 18, axis=0)).max()))\n",
                              dir + "/filters.wav"});
    ASSERT_EQ(file.status, 0) << file.err;
    int channels = 0, taps = 0;
    double boost = 99;
    std::istringstream(file.out) >> channels >> taps >> boost;
    EXPECT_EQ(channels, 8);
    EXPECT_EQ(taps, 65536);
    EXPECT_LE(boost, 6.0 + 1e-3);

    // The verification measures through ~/.mobu/fir-measure.wav and puts the one there back.
    const std::string measurementFilter = mobutest::testHome() + "/.mobu/fir-measure.wav";
    mobutest::writeFile(measurementFilter, "the user's own");
    const auto verified =
        correct({"--verify", "--in=" + dir + "/m", "--filter=" + dir + "/filters.wav", "--playback=board_playback",
                 "--capture=board_capture", "--plot=" + dir + "/verify.png"},
                board.environment());
    ASSERT_EQ(verified.status, 0) << verified.out << verified.err;
    EXPECT_EQ(mobutest::readFile(measurementFilter), "the user's own");
    EXPECT_NE(mobutest::readFile(dir + "/m/pos-1/verify.log").find("fir-measure.wav"), std::string::npos)
        << "the recorder's lines are in the main position's verify.log";
    EXPECT_GT(mobutest::readFile(dir + "/verify.png").size(), 10000u);
    const auto before = figuresOf(verified.out, "channel ", "before max ");
    const auto after = figuresOf(verified.out, "channel ", "where the boost sufficed max ");
    const auto level = figuresOf(verified.out, "channel ", "level ");
    ASSERT_EQ(before.size(), 2u) << verified.out;
    ASSERT_EQ(after.size(), 2u) << verified.out;
    for (size_t c = 0; c < 2; ++c) {
        EXPECT_GE(before[c], 8.0) << "the room deviates: channel " << c;
        EXPECT_LE(after[c], 1.5) << "corrected: channel " << c << "\n" << verified.out;
    }
    EXPECT_NEAR(level[0], level[1], 0.5) << "levels matched";
    const auto spreadBefore = figuresOf(verified.out, "arrival spread", "before ");
    const auto spreadAfter = figuresOf(verified.out, "arrival spread", "after ");
    ASSERT_EQ(spreadAfter.size(), 1u) << verified.out;
    EXPECT_EQ(spreadBefore[0], 41) << "the room's channels are 41 samples apart";
    EXPECT_LE(spreadAfter[0], 1) << verified.out;
}

TEST_F(MobuCorrect, TheProcessorRunsTheWrittenFileExactly) {
    // A design from two responses (a direct sound and a reflection each), written into the
    // coefficient file, then the processor on a board without a room: its eight outputs must be the
    // programme convolved with the file as any reader sees it (numpy, through the scale reference).
    mkdir((dir + "/m").c_str(), 0755);
    for (int c = 0; c < 2; ++c) {
        Eigen::MatrixXd h = Eigen::MatrixXd::Zero(4096, 1);
        h(20 + 5 * c, 0) = 0.5;
        h(300 + 40 * c, 0) = 0.3;
        ASSERT_EQ(writeAudioFile(dir + "/m/impulse-" + std::to_string(c) + ".wav", 48000, h), 0);
    }
    mobutest::writeFile(dir + "/m/tof.csv", "channel,samples,milliseconds\n0,100,2.08\n1,105,2.19\n");
    const auto designed = correct({"--in=" + dir + "/m", "--out=" + dir + "/filters.wav", "--taps=16384", "--align"});
    ASSERT_EQ(designed.status, 0) << designed.err;
    const auto programme = mobutest::runProcess(
        {mobutest::referencePython(), MOBU_SOURCE_DIR "/scripts/correct-demo.py", "programme", dir + "/programme.wav"});
    ASSERT_EQ(programme.status, 0) << programme.err;
    LoopbackBoard board({"--mode", "lockstep", "--capture-channels", "8"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    mobutest::writeFile(dir + "/processor.conf", "MobuFullDuplexFIR {\n  filter \"" + dir +
                                                     "/filters.wav\"\n  paraeq \"correct.json\"\n"
                                                     "  mixerDevice \"board\"\n  fifopath \"" +
                                                     dir + "/levels\"\n}\n");
    mobutest::Child processor({MOBU_MOBU_PROCESSOR, "--config=" + dir + "/processor.conf", "--verbose"},
                              board.environment());
    mobutest::Child recorder(
        LoopbackBoard::tool({"/usr/bin/arecord", "-q", "-D", "board_capture", "-f", "S32_LE", "-c", "8", "-r", "48000",
                             "--period-size=480", "-s", "120000", dir + "/output.wav"}),
        board.environment());
    // The programme once the processor's capture runs: the lock-step ring holds the last 49152
    // frames of a playback nobody captures yet, less than the programme.  The processor starts its
    // playback (four silent blocks) right after its capture, so the first data the recorder writes
    // says so.
    struct stat recorded {};
    for (int i = 0; i < 2000 && (stat((dir + "/output.wav").c_str(), &recorded) != 0 || recorded.st_size <= 44); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(recorded.st_size, 44) << processor.errorSoFar();
    const auto played = mobutest::runProcess(
        LoopbackBoard::tool({"/usr/bin/aplay", "-q", "-D", "board_programme", dir + "/programme.wav"}),
        board.environment());
    EXPECT_EQ(played.status, 0) << played.err;
    const auto tail = [](const std::string& log) { return log.substr(log.size() > 4000 ? log.size() - 4000 : 0); };
    EXPECT_EQ(recorder.wait(std::chrono::seconds(60)).status, 0) << tail(processor.errorSoFar());
    processor.signal(SIGINT);
    const auto ended = processor.wait(std::chrono::seconds(30));
    EXPECT_EQ(ended.status, 0) << tail(ended.err);
    const auto exact =
        mobutest::runProcess({mobutest::referencePython(), MOBU_SOURCE_DIR "/scripts/correct-demo.py", "exact", dir});
    EXPECT_EQ(exact.status, 0) << exact.out << exact.err;
    EXPECT_NE(exact.out.find("largest difference"), std::string::npos) << exact.out;
}

TEST_F(MobuCorrect, RefusesBadInputWithOneLineAndWritesNothing) {
    // A measurement folder of two short responses.
    mkdir((dir + "/m").c_str(), 0755);
    Eigen::MatrixXd h = Eigen::MatrixXd::Zero(4096, 1);
    h(10, 0) = 0.5;
    ASSERT_EQ(writeAudioFile(dir + "/m/impulse-0.wav", 48000, h), 0);
    ASSERT_EQ(writeAudioFile(dir + "/m/impulse-1.wav", 48000, h), 0);
    mobutest::writeFile(dir + "/m/tof.csv", "channel,samples,milliseconds\n0,100,2.08\n1,120,2.5\n");
    mkdir((dir + "/rates").c_str(), 0755);
    ASSERT_EQ(writeAudioFile(dir + "/rates/impulse-0.wav", 48000, h), 0);
    ASSERT_EQ(writeAudioFile(dir + "/rates/impulse-1.wav", 44100, h), 0);
    mobutest::writeFile(dir + "/rates/tof.csv", "channel,samples,milliseconds\n0,100,2.08\n1,120,2.5\n");
    mkdir((dir + "/missing").c_str(), 0755);
    mobutest::writeFile(dir + "/missing/tof.csv", "channel,samples,milliseconds\n3,100,2.08\n");
    mobutest::writeFile(dir + "/target.csv", "100,0\n50,3\n");
    // Times of flight that do not fit, and a channel the box does not have (8 outputs).
    const auto folder = [&](const std::string& name, const std::string& tof) {
        mkdir((dir + "/" + name).c_str(), 0755);
        for (int c : {0, 10})
            ASSERT_EQ(writeAudioFile(dir + "/" + name + "/impulse-" + std::to_string(c) + ".wav", 48000, h), 0);
        mobutest::writeFile(dir + "/" + name + "/tof.csv", tof);
    };
    folder("huge", "channel,samples,milliseconds\n0,99999999999,2.08\n");
    folder("ten", "channel,samples,milliseconds\n0,100,2.08\n10,120,2.5\n");
    folder("one", "channel,samples,milliseconds\n0,100,2.08\n");
    // A response with a NaN, as a float file (numpy writes it as it is).
    mkdir((dir + "/nan").c_str(), 0755);
    const auto nan = mobutest::runProcess({mobutest::referencePython(), "-c",
                                           "import sys, numpy as np, scipy.io.wavfile as wav\n"
                                           "h = np.zeros(4096, np.float32); h[10] = 0.5; h[50] = np.nan\n"
                                           "wav.write(sys.argv[1], 48000, h)\n",
                                           dir + "/nan/impulse-0.wav"});
    ASSERT_EQ(nan.status, 0) << nan.err;
    mobutest::writeFile(dir + "/nan/tof.csv", "channel,samples,milliseconds\n0,100,2.08\n");
    const std::string in = "--in=" + dir + "/m", out = "--out=" + dir + "/f.wav";
    const struct {
        std::vector<std::string> args;
        const char* says;
        int status;
    } cases[] = {
        {{out}, "--in", 2},
        {{"--in=" + dir + "/nowhere", out}, "tof.csv", 2},
        {{"--in=" + dir + "/missing", out}, "impulse-3.wav", 2},
        {{"--in=" + dir + "/rates", out}, "44100", 2},
        {{in, out, "--target=" + dir + "/target.csv"}, "line 2", 2},
        {{in, out, "--target=" + dir + "/none.csv"}, "none.csv", 1},
        {{in, out, "--range=200:100"}, "impossible", 2},
        {{in, out, "--range=20:30000"}, "half the rate", 2},
        {{in, out, "--smoothing=6"}, "1/K", 2},
        {{in, out, "--phase=linear"}, "minimum or mixed", 2},
        {{in, out, "--taps=1000.5"}, "--taps", 2},
        {{in, out, "--loud"}, "unknown option --loud", 2},
        {{in}, "--out", 2},
        {{"--verify", in, "--playback=board_playback"}, "--filter", 2},
        {{"--in=" + dir + "/huge", out}, "99999999999", 2},
        {{"--in=" + dir + "/ten", out}, "channel 10 is not one of the 8 outputs", 2},
        {{"--in=" + dir + "/nan", out}, "not finite", 2},
        {{in, out, "--taps=4194304"}, "256 ... 262144", 2},
        {{in, out, "--phase=mixed", "--taps=4096"}, "mixed-phase delay", 2},
        {{in, "--out=" + dir + "/nowhere/f.wav"}, "nowhere: No such file or directory", 1},
        {{"--in=" + dir + "/m," + dir + "/one", out}, "does not measure the same channels", 2},
        {{"--in=" + dir + "/m,", out}, "empty folder name", 2},
        {{in, out, "--weights=2,1"}, "one weight for each of the 1 position(s)", 2},
        {{"--in=" + dir + "/m," + dir + "/m", out, "--weights=1,0"}, "0 is not a weight 0.01 ... 100", 2},
    };
    for (const auto& c : cases) {
        const auto r = correct(c.args);
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        EXPECT_EQ(r.status, c.status) << line << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << line << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << line << r.err;
        EXPECT_EQ(r.out.find("designed"), std::string::npos) << "refused before the design: " << line;
        EXPECT_FALSE(mobutest::exists(dir + "/f.wav")) << line;
    }
}

} // namespace

namespace {

/// The coefficient file as numpy reads it (samples times the factor of the scale reference):
/// "rate outputs taps", then per output 1 when it is a single tap (passes unchanged) else 0, then,
/// for each channel of `channels` with its response in `measured`, the level in dB of the
/// response through its filter: the median over 64 frequencies from 500 Hz to 2 kHz of the power
/// spectrum averaged over 1/6 octave.
const char* fileFigures = R"(import sys, numpy as np, scipy.io.wavfile as wav
rate, data = wav.read(sys.argv[1])
h = data / 2.0**31 * float(open(sys.argv[1] + '.scale').read().split()[0])
print(rate, h.shape[1], h.shape[0])
print(*[int(np.count_nonzero(np.abs(h[:, m]) > 1e-9) == 1) for m in range(h.shape[1])])
levels = []
for c in [int(c) for c in sys.argv[3].split(',')] if len(sys.argv) > 3 else []:
    _, m = wav.read(sys.argv[2] + '/impulse-%d.wav' % c)
    n = 1 << 19
    p = np.abs(np.fft.rfft(m.astype(float), n) * np.fft.rfft(h[:, c], n)) ** 2
    f = np.arange(len(p)) * rate / n
    at = 500 * 4 ** (np.arange(64) / 63)
    levels.append(np.median([10 * np.log10(p[(f >= x * 2**(-1/12)) & (f <= x * 2**(1/12))].mean()) for x in at]))
print(*levels)
)";

} // namespace

TEST_F(MobuCorrect, AcceptsWhatOtherToolsWriteAndKeepsItsPromises) {
    // Two channels of a direct sound and a reflection; the same at 32 kHz; the same with a tof.csv
    // without its header line.
    const auto folder = [&](const std::string& name, double fs, const std::string& tof) {
        mkdir((dir + "/" + name).c_str(), 0755);
        for (int c = 0; c < 2; ++c) {
            Eigen::MatrixXd h = Eigen::MatrixXd::Zero(4096, 1);
            h(10 + 3 * c, 0) = 0.5;
            h(300 + 40 * c, 0) = 0.3;
            ASSERT_EQ(writeAudioFile(dir + "/" + name + "/impulse-" + std::to_string(c) + ".wav", fs, h), 0);
        }
        mobutest::writeFile(dir + "/" + name + "/tof.csv", tof);
    };
    folder("m", 48000, "channel,samples,milliseconds\n0,100,2.08\n1,105,2.19\n");
    folder("noheader", 48000, "0,100,2.08\n1,105,2.19\n");
    folder("rate32", 32000, "channel,samples,milliseconds\n0,67,2.08\n1,70,2.19\n");
    mkdir((dir + "/mixed").c_str(), 0755);
    // Two channels 6 dB apart whose direct sounds have excess phase (a later, larger tap), so that
    // the mixed-phase filters ripple beyond the boost limit.
    const auto mixed =
        mobutest::runProcess({mobutest::referencePython(), "-c",
                              "import sys, numpy as np, scipy.io.wavfile as wav\n"
                              "rng = np.random.default_rng(4); t = np.arange(8192)\n"
                              "for c, g in ((0, 1.0), (1, 0.5)):\n"
                              "    h = np.zeros(8192)\n"
                              "    h[20 + 5 * c] = 0.3 * g; h[24 + 5 * c] = -0.6 * g; h[60] = 0.4 * g * (1 - 2 * c)\n"
                              "    h += g * 0.05 * rng.standard_normal(8192) * np.exp(-t / 800.0) * (t > 30)\n"
                              "    wav.write(sys.argv[1] + '/impulse-%d.wav' % c, 48000, h.astype(np.float32))\n",
                              dir + "/mixed"});
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    mobutest::writeFile(dir + "/mixed/tof.csv", "channel,samples,milliseconds\n0,100,2.08\n1,110,2.29\n");
    // One tilted target in the forms other tools write.
    mobutest::writeFile(dir + "/plain.csv", "100,3\n10000,-3\n");
    mobutest::writeFile(dir + "/bom.csv", "\xEF\xBB\xBF"
                                          "100,3\n10000,-3\n");
    mobutest::writeFile(dir + "/header.csv", "Frequency,dB\n100,3\n10000,-3\n");
    mobutest::writeFile(dir + "/spaces.txt", "* exported\nFreq(Hz) SPL(dB)\n100.000  3.000\n10000.000\t-3.000\n");

    const struct {
        const char* name;
        std::string in, target, out; ///< a folder, a target file (or ""), the coefficient file (under dir)
        std::vector<std::string> options;
        int rate, taps;
        std::string sameAs;  ///< a file this design must equal byte for byte
        double levelsWithin; ///< the aligned channels' levels through their filters within this (dB)
    } cases[] = {
        {"with a header", "m", "", "m.wav", {"--taps=8192"}, 48000, 8192, "", 0},
        {"without a header: both channels", "noheader", "", "noheader.wav", {"--taps=8192"}, 48000, 8192, "m.wav", 0},
        {"a short minimum-phase filter", "m", "", "short.wav", {"--taps=1024"}, 48000, 1024, "", 0},
        {"the default range at 32 kHz", "rate32", "", "rate32.wav", {"--taps=8192"}, 32000, 8192, "", 0},
        {"plain target", "m", "plain.csv", "plain.wav", {"--taps=8192"}, 48000, 8192, "", 0},
        {"target with a byte-order mark", "m", "bom.csv", "bom.wav", {"--taps=8192"}, 48000, 8192, "plain.wav", 0},
        {"target with a header", "m", "header.csv", "header.wav", {"--taps=8192"}, 48000, 8192, "plain.wav", 0},
        {"target in columns", "m", "spaces.txt", "spaces.wav", {"--taps=8192"}, 48000, 8192, "plain.wav", 0},
        {"mixed phase, aligned",
         "mixed",
         "",
         "mixed.wav",
         {"--taps=8192", "--phase=mixed", "--align"},
         48000,
         8192,
         "",
         0.1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = dir + "/" + c.in, file = dir + "/" + c.out;
        std::vector<std::string> args{"--in=" + in, "--out=" + file};
        if (!c.target.empty()) args.push_back("--target=" + dir + "/" + c.target);
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto r = correct(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        if (r.status != 0) continue;
        const auto figures = mobutest::runProcess({mobutest::referencePython(), "-c", fileFigures, file, in, "0,1"});
        ASSERT_EQ(figures.status, 0) << figures.err;
        std::istringstream text(figures.out);
        int rate = 0, outputs = 0, taps = 0;
        text >> rate >> outputs >> taps;
        EXPECT_EQ(rate, c.rate);
        EXPECT_EQ(outputs, 8);
        EXPECT_EQ(taps, c.taps);
        std::vector<int> passes(8);
        for (int& p : passes)
            text >> p;
        EXPECT_EQ(passes, (std::vector<int>{0, 0, 1, 1, 1, 1, 1, 1})) << "channels 0 and 1 corrected, not the others";
        double level0 = 0, level1 = 0;
        text >> level0 >> level1;
        if (c.levelsWithin > 0) {
            EXPECT_NEAR(level0, level1, c.levelsWithin) << "levels matched\n" << r.out;
        }
        if (!c.sameAs.empty()) {
            EXPECT_TRUE(mobutest::readFile(file) == mobutest::readFile(dir + "/" + c.sameAs)) << "not as " << c.sameAs;
        }
    }
}

TEST_F(MobuCorrect, DesignsFromSeveralPositionsForThoseBetweenThem) {
    // One loudspeaker at three microphone positions: the same three modes moved by 0, 2.5 and 5 %,
    // a reflection at 2.0, 2.35 and 2.7 ms.  Designed from the outer two, judged at the middle one
    // (not measured): the 1/6-octave RMS deviation from flat in 40 Hz ... 16 kHz of each response
    // through the file, as numpy computes it.
    const auto room =
        mobutest::runProcess({mobutest::referencePython(), "-c", R"(import sys, os, numpy as np, scipy.io.wavfile as wav
fs = 48000; n = 16384; t = np.arange(n - 40) / fs
for name, shift, reflection, depth in (('a', 0.0, 96, 1.0), ('b', 0.05, 130, 0.8), ('c', 0.025, 113, 0.9)):
    os.makedirs(sys.argv[1] + '/' + name)
    h = np.zeros(n); h[40] = 1.0; h[40 + reflection] = 0.5
    for f0, a, tau in ((45, 0.08, 0.25), (71, 0.06, 0.2), (103, 0.05, 0.15)):
        h[40:] += depth * a * np.sin(2 * np.pi * f0 * (1 + shift) * t) * np.exp(-t / tau)
    wav.write(sys.argv[1] + '/' + name + '/impulse-0.wav', fs, (0.3 * h).astype(np.float32))
    open(sys.argv[1] + '/' + name + '/tof.csv', 'w').write('channel,samples,milliseconds\n0,40,0.83\n')
import shutil
shutil.copytree(sys.argv[1] + '/a', sys.argv[1] + '/positions/pos-1')
shutil.copytree(sys.argv[1] + '/b', sys.argv[1] + '/positions/pos-2')
)",
                              dir});
    ASSERT_EQ(room.status, 0) << room.err;
    const auto deviations = [&](const std::string& file) {
        const auto r =
            mobutest::runProcess({mobutest::referencePython(), "-c", R"(import sys, numpy as np, scipy.io.wavfile as wav
rate, data = wav.read(sys.argv[1]); h = data / 2.0**31 * float(open(sys.argv[1] + '.scale').read().split()[0])
n = 1 << 18; at = 40 * (16000 / 40) ** (np.arange(200) / 199)
for d in sys.argv[2:]:
    m = wav.read(d + '/impulse-0.wav')[1].astype(float)
    p = np.abs(np.fft.rfft(m, n) * np.fft.rfft(h[:, 0], n)) ** 2; f = np.arange(len(p)) * rate / n
    s = np.array([10 * np.log10(p[(f >= x * 2**(-1/12)) & (f <= x * 2**(1/12))].mean()) for x in at])
    print(np.sqrt(np.mean((s - np.median(s[(at >= 500) & (at <= 2000)])) ** 2)))
)",
                                  file, dir + "/a", dir + "/b", dir + "/c"});
        EXPECT_EQ(r.status, 0) << r.err;
        std::istringstream in(r.out);
        std::vector<double> v(3, 99.0);
        for (double& x : v)
            in >> x;
        return v;
    };
    const auto design = [&](const std::string& in, const std::string& out) {
        const auto r = correct({"--in=" + in, "--out=" + dir + "/" + out, "--taps=16384"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    };
    design(dir + "/a", "a.wav");
    design(dir + "/a," + dir + "/b", "ab.wav");
    design(dir + "/a," + dir + "/a", "aa.wav");
    design(dir + "/positions", "positions.wav"); // pos-1 and pos-2, as mobu-measure --position writes them
    {
        const auto r = correct(
            {"--in=" + dir + "/a," + dir + "/b", "--out=" + dir + "/ab31.wav", "--taps=16384", "--weights=3,1"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    {
        const auto r = correct({"--in=" + dir + "/a", "--out=" + dir + "/a6.wav", "--taps=16384", "--smoothing=1/6"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    const auto one = deviations(dir + "/a.wav"), two = deviations(dir + "/ab.wav");
    const auto uniform = deviations(dir + "/a6.wav");
    // From one position the default's broad resolution above the transition leaves the moved
    // reflection's comb alone: better where the microphone was not, at a small cost where it was.
    EXPECT_LT(one[2], uniform[2] - 0.1) << "at the position between, from position a: " << one[2] << " dB by default, "
                                        << uniform[2] << " dB at 1/6 octave throughout";
    EXPECT_LT(one[0], 1.0) << "at position a itself";

    EXPECT_LT(two[2], one[2] - 0.3) << "at the position between: " << one[2] << " dB from one position, " << two[2]
                                    << " dB from two";
    EXPECT_LT(std::max(two[0], two[1]), one[1]) << "the measured positions: " << two[0] << " and " << two[1]
                                                << " dB; the second from the first alone " << one[1] << " dB";
    // Weighted towards the main position, the design moves towards it: better there, worse at the other.
    const auto weighted = deviations(dir + "/ab31.wav");
    EXPECT_LT(weighted[0], two[0] - 0.1) << "at a, weighted 3:1 " << weighted[0] << " dB, alike " << two[0] << " dB";
    EXPECT_GT(weighted[1], two[1] + 0.1) << "at b, weighted 3:1 " << weighted[1] << " dB, alike " << two[1] << " dB";
    EXPECT_TRUE(mobutest::readFile(dir + "/aa.wav") == mobutest::readFile(dir + "/a.wav"))
        << "a position given twice designs as one";
    EXPECT_TRUE(mobutest::readFile(dir + "/positions.wav") == mobutest::readFile(dir + "/ab.wav"))
        << "a folder of positions designs as its positions listed";
}

TEST_F(MobuCorrect, EqualiserFilesPerInputCarryTheShapeAndNameTheGainAndDelay) {
    // Two loudspeakers 41 samples and about 6 dB apart, each with its own modes and reflections.
    // With --align the coefficient file matches their levels and arrivals; each channel's
    // equaliser file must carry that channel's shape, and the tool must name the broadband gain
    // and the delay the sections can't hold.  Judged by numpy: the sections designed from the
    // file's Fc, dB and Q (peaking sections, half the dB at the band edges), the responses
    // through them and through the coefficient file, 1/6-octave smoothed.
    const auto room =
        mobutest::runProcess({mobutest::referencePython(), "-c", R"(import sys, os, numpy as np, scipy.io.wavfile as wav
fs = 48000; n = 16384; t = np.arange(n) / fs; os.makedirs(sys.argv[1] + '/m')
for c, (delay, amp, modes) in enumerate(((40, 0.3, ((45, 8e-4), (88, 5e-4))), (81, 0.6, ((52, 7e-4), (118, 6e-4))))):
    h = np.zeros(n); h[delay] = 1.0; h[delay + 150] = 0.4; h[delay + 37] = -0.3
    for f0, a in modes:
        h[delay:] += a * np.sin(2 * np.pi * f0 * t[:n - delay]) * np.exp(-t[:n - delay] / 0.2)
    wav.write(sys.argv[1] + '/m/impulse-%d.wav' % c, fs, (amp * h).astype(np.float32))
open(sys.argv[1] + '/m/tof.csv', 'w').write('channel,samples,milliseconds\n0,40,0.83\n1,81,1.69\n')
)",
                              dir});
    ASSERT_EQ(room.status, 0) << room.err;
    const auto r = correct({"--in=" + dir + "/m", "--out=" + dir + "/f.wav", "--eq=" + dir + "/eq.json", "--align",
                            "--taps=16384", "--smoothing=1/6"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto judged = mobutest::runProcess({mobutest::referencePython(), "-c",
                                              R"(import sys, json, numpy as np, scipy.io.wavfile as wav
d = sys.argv[1]; rate, data = wav.read(d + '/f.wav'); fir = data / 2.0**31 * float(open(d + '/f.wav.scale').read().split()[0])
n = 1 << 18; f = np.arange(n // 2 + 1) * rate / n; z = np.exp(-2j * np.pi * f / rate)
at = 40 * (16000 / 40) ** (np.arange(200) / 199); band = (at >= 500) & (at <= 2000)
def sections(path):
    H = np.ones(len(f), complex)
    for s in json.load(open(path)):
        fc = 2 * s['Fc'] / rate; G = 10 ** (s['dB'] / 20); GB = np.sqrt(G); Q = s['Q']; wc = np.pi * fc
        g = 1.0 if s['dB'] == 0 else np.sqrt((GB**2 - 1) / (G**2 - GB**2)); r = (1 + np.sqrt(1 + 4 * Q * Q)) / (2 * Q)
        if fc * r * r > 1:
            t1 = np.tan(wc / (2 * r)); t3 = np.tan(wc / 2) ** 2 / t1; beta = g * (t3 - t1) / (1 + t1 * t3)
        else:
            beta = g * np.tan(wc / (2 * Q))
        c = np.cos(wc)
        b = np.array([1 + G * beta, -2 * c, 1 - G * beta]) / (1 + beta); a = np.array([1, -2 * c / (1 + beta), (1 - beta) / (1 + beta)])
        H *= (b[0] + b[1] * z + b[2] * z * z) / (a[0] + a[1] * z + a[2] * z * z)
    return H
def smoothed(H):
    p = np.abs(H) ** 2
    return np.array([10 * np.log10(p[(f >= x * 2**(-1/12)) & (f <= x * 2**(1/12))].mean()) for x in at])
for c in (0, 1):
    m = np.fft.rfft(wav.read(d + '/m/impulse-%d.wav' % c)[1].astype(float), n)
    for H in (m, m * np.fft.rfft(fir[:, c], n), m * sections(d + '/eq-%d.json' % c), m * sections(d + '/eq.json')):
        s = smoothed(H); level = np.median(s[band])
        print(level, np.sqrt(np.mean((s - level) ** 2)), end=' ')
    print(np.flatnonzero(np.abs(fir[:, c]) > 1e-9)[0])
)",
                                              dir});
    ASSERT_EQ(judged.status, 0) << judged.err;
    const auto gains = figuresOf(r.out, "  not in", "gain "), delays = figuresOf(r.out, "  not in", "and delay ");
    ASSERT_EQ(gains.size(), 2u) << r.out;
    ASSERT_EQ(delays.size(), 2u) << r.out;
    std::istringstream in(judged.out);
    double matched[2] = {0, 0};
    for (int c = 0; c < 2; ++c) {
        double level[4], rms[4];
        int start = -1;
        for (int k = 0; k < 4; ++k)
            in >> level[k] >> rms[k];
        in >> start;
        ASSERT_TRUE(in) << judged.out;
        // The printed gain is the coefficient file's broadband part, and the printed delay its delay.
        EXPECT_NEAR(level[2] + gains[c], level[1], 0.3)
            << "channel " << c << ": through the file " << level[1] << " dB, through its sections " << level[2]
            << " dB plus the gain printed " << gains[c] << " dB";
        EXPECT_EQ(delays[c], start) << "channel " << c << ": the file's filter starts at " << start;
        EXPECT_EQ(delays[c], c == 0 ? 41 : 0) << "the arrivals 40 and 81 aligned";
        matched[c] = level[2] + gains[c];
        // Its own sections flatten it, better than the set for both inputs.
        EXPECT_LT(rms[2], rms[0] - 1.0) << "channel " << c << ": RMS " << rms[0] << " dB before, " << rms[2]
                                        << " dB through its sections";
        EXPECT_LT(rms[2], rms[3]) << "channel " << c << ": own sections " << rms[2] << " dB, both inputs' " << rms[3]
                                  << " dB";
    }
    EXPECT_NEAR(matched[0], matched[1], 0.1) << "the levels through the sections and the gains printed";
}

namespace {

/// The 32-bit samples of a WAV file's data chunk, frames x channels, as stored.
std::vector<std::vector<int32_t>> storedSamples(const std::string& path, int& channels) {
    const std::string b = mobutest::readFile(path);
    const auto u32 = [&](size_t at) {
        uint32_t v = 0;
        memcpy(&v, b.data() + at, 4);
        return v;
    };
    channels = 0;
    for (size_t at = 12; at + 8 <= b.size(); at += 8 + u32(at + 4) + (u32(at + 4) & 1)) {
        if (b.compare(at, 4, "fmt ") == 0) channels = static_cast<unsigned char>(b[at + 10]);
        if (b.compare(at, 4, "data") != 0 || channels == 0) continue;
        std::vector<std::vector<int32_t>> frames(u32(at + 4) / (4 * channels), std::vector<int32_t>(channels));
        for (size_t t = 0; t < frames.size(); ++t)
            memcpy(frames[t].data(), b.data() + at + 8 + 4 * channels * t, 4 * channels);
        return frames;
    }
    return {};
}

} // namespace

TEST_F(MobuCorrect, MergeReplacesOnlyTheMeasuredOutputsAndUndoPutsTheFileBack) {
    // Outputs 0 and 1 measured; the coefficient file carries a different filter on every output.
    mkdir((dir + "/m").c_str(), 0755);
    Eigen::MatrixXd h = Eigen::MatrixXd::Zero(4096, 1);
    h(10, 0) = 0.5, h(40, 0) = 0.2;
    ASSERT_EQ(writeAudioFile(dir + "/m/impulse-0.wav", 48000, h), 0);
    ASSERT_EQ(writeAudioFile(dir + "/m/impulse-1.wav", 48000, h), 0);
    mobutest::writeFile(dir + "/m/tof.csv", "channel,samples,milliseconds\n0,100,2.08\n1,120,2.5\n");
    const std::string file = dir + "/filters.wav";
    Eigen::MatrixXd crossovers = Eigen::MatrixXd::Zero(1024, 8);
    for (int c = 0; c < 8; ++c)
        for (int t = 0; t < 1024; ++t)
            crossovers(t, c) = 0.6 * std::exp(-t / 50.0) * std::cos(0.01 * (c + 1) * t) / (c + 1);
    {
        Sox<double> out; // 32-bit integers, as the board's coefficient files are
        ASSERT_EQ(out.openWrite(file, 48000, 8, 1.0, 32), 0);
        ASSERT_GT(out.write(crossovers), 0);
        ASSERT_EQ(out.closeWrite(), 0);
    }
    const std::string original = mobutest::readFile(file);
    int channels = 0;
    const auto before = storedSamples(file, channels);
    ASSERT_EQ(channels, 8);
    ASSERT_EQ(before.size(), 1024u);

    const auto merged = correct({"--in=" + dir + "/m", "--out=" + file, "--merge", "--taps=8192", "--phase=minimum"});
    ASSERT_EQ(merged.status, 0) << merged.out << merged.err;
    const auto after = storedSamples(file, channels);
    ASSERT_EQ(channels, 8);
    ASSERT_EQ(after.size(), 8192u) << "the kept filters are padded to the new length";
    int changed = 0;
    for (size_t t = 0; t < after.size(); ++t) {
        for (int c = 2; c < 8; ++c)
            ASSERT_EQ(after[t][c], t < before.size() ? before[t][c] : 0) << "output " << c << " tap " << t;
        changed += t < before.size() && (after[t][0] != before[t][0] || after[t][1] != before[t][1]);
    }
    EXPECT_GT(changed, 0) << "outputs 0 and 1 carry the correction";
    EXPECT_EQ(mobutest::readFile(file + ".previous"), original) << "the file before is kept";

    // Undo puts the file back byte for byte; the merged one becomes the backup, and a second undo
    // brings it back.
    const std::string mergedBytes = mobutest::readFile(file);
    const auto undone = correct({"--undo", "--out=" + file});
    ASSERT_EQ(undone.status, 0) << undone.err;
    EXPECT_EQ(mobutest::readFile(file), original);
    EXPECT_EQ(mobutest::readFile(file + ".previous"), mergedBytes);
    ASSERT_EQ(correct({"--undo", "--out=" + file}).status, 0);
    EXPECT_EQ(mobutest::readFile(file), mergedBytes);

    // A file of another rate or channel count is refused with the reason and left as it is.
    const struct {
        double fs;
        int channels;
        const char* says;
    } refusals[] = {{44100, 8, "44100 Hz"}, {48000, 2, "2 channels"}};
    for (const auto& r : refusals) {
        ASSERT_EQ(writeAudioFile(file, r.fs, Eigen::MatrixXd::Constant(256, r.channels, 0.25)), 0);
        const std::string kept = mobutest::readFile(file);
        const auto refused =
            correct({"--in=" + dir + "/m", "--out=" + file, "--merge", "--taps=8192", "--phase=minimum"});
        EXPECT_EQ(refused.status, 2) << refused.err;
        EXPECT_NE(refused.err.find(r.says), std::string::npos) << refused.err;
        EXPECT_EQ(mobutest::readFile(file), kept);
    }
    const auto nothing = correct({"--undo", "--out=" + dir + "/none.wav"});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.err.find("no backup"), std::string::npos) << nothing.err;
}
