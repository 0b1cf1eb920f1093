// The equaliser tools eq-impulse and eq-fir-render, run as processes with a
// private home directory.  They write fixed files in /tmp, which these tests
// remove before each run and inspect afterwards.
#include "PlantedPaths.h"
#include "TestSupport.h"

#include <MobuEmbedded/ParaEQ.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <sys/stat.h>

namespace {
const std::string impulseFile = "/tmp/paraEQ0.wav";
const std::string firFile = "/tmp/paraEQ_X_FIR.wav";

const char* const zeroDB = R"([{"type": "BPF", "Fc": 1000, "dB": 0, "Q": 1}])";
const char* const boost =
    R"([{"type": "BPF", "Fc": 1000, "dB": 12, "Q": 1}, {"type": "BPF", "Fc": 150, "dB": -6, "Q": 3}])";

struct Audio {
    int status = 1;
    Eigen::MatrixXd data;
    double fs = 0.0;
};

Audio readAudio(const std::string& name) {
    Audio a;
    Sox<double> sox;
    const int ret = sox.openRead(name);
    if (ret != 0 && ret != SOX_REFERENCE_WARNING) return a;
    a.fs = sox.getFSIn();
    a.status = sox.read(a.data) < 0 ? 1 : 0;
    return a;
}

void writeAudio(const std::string& name, double fs, const Eigen::MatrixXd& data) {
    Sox<double> sox;
    ASSERT_EQ(sox.openWrite(name, fs, static_cast<int>(data.cols()), data.cwiseAbs().maxCoeff()), 0);
    ASSERT_EQ(sox.write(data), data.size());
    ASSERT_EQ(sox.closeWrite(), 0);
}

/// A home directory with ~/.mobu holding the given equaliser file (none when json is null).
class EqTools : public ::testing::Test {
protected:
    void SetUp() override {
        home = mobutest::makeTempDir("home");
        ASSERT_FALSE(home.empty());
        mobu = home + "/.mobu";
        ASSERT_EQ(mkdir(mobu.c_str(), 0700), 0);
        removeOutputs();
    }
    void TearDown() override {
        removeOutputs();
        mobutest::removeTree(home);
    }
    static void removeOutputs() {
        for (const auto& f : {impulseFile, firFile}) {
            mobutest::removeTree(f);
            mobutest::removeTree(f + ".scale");
        }
    }

    void equaliser(const char* json) { mobutest::writeFile(mobu + "/paraEQ0.json", json); }
    mobutest::ProcessResult run(const char* tool) {
        return mobutest::runProcess({tool}, mobutest::homeEnvironment(home));
    }
    /// The impulse response of the equaliser text at rate fs, computed here.
    Eigen::ArrayXd expectedImpulse(const char* json, double fs, int n) {
        ParaEQ eq;
        eq.setFS(fs);
        std::istringstream doc(json);
        eq.reset(0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(eq.fromJSON(doc), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(eq.genImpulseResponse(n), 0);
        return eq.getImpulseResponse();
    }
    /// A random FIR of the given size written to ~/.mobu/dayton.48k.wav at rate fs.
    Eigen::MatrixXd storeFIR(double fs, int taps, int channels) {
        std::mt19937 gen(11);
        std::uniform_real_distribution<double> u(-0.5, 0.5);
        Eigen::MatrixXd F(taps, channels);
        for (Eigen::Index k = 0; k < F.size(); ++k)
            F.data()[k] = u(gen);
        writeAudio(mobu + "/dayton.48k.wav", fs, F);
        return F;
    }

    std::string home, mobu;
};

// 32-bit file samples: values come back within about 2^-31 of full scale.
const double fileTol = 1e-8;
} // namespace

TEST_F(EqTools, ImpulseOfAZeroDBEqualiserIsAUnitImpulse) {
    equaliser(zeroDB);
    const auto r = run(MOBU_EQ_IMPULSE);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Setting the file name to " + mobu + "/paraEQ0.json\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("fs 48000.000000\nFc 1000.000000\n"), std::string::npos) << r.out;
    const Audio a = readAudio(impulseFile);
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.fs, 48000.0);
    ASSERT_EQ(a.data.rows(), 5000);
    ASSERT_EQ(a.data.cols(), 2);
    EXPECT_NEAR(a.data(0, 0), 1.0, fileTol);
    EXPECT_NEAR(a.data(0, 1), 1.0, fileTol);
    EXPECT_EQ(a.data.bottomRows(4999).cwiseAbs().maxCoeff(), 0.0);
    EXPECT_FALSE(mobutest::exists(firFile));
}

TEST_F(EqTools, ImpulseMatchesTheEqualiserAndKeepsItsScale) {
    equaliser(boost);
    const auto r = run(MOBU_EQ_IMPULSE);
    EXPECT_EQ(r.status, 0) << r.err;
    const Audio a = readAudio(impulseFile);
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(a.data.rows(), 5000);
    ASSERT_EQ(a.data.cols(), 2);
    const Eigen::ArrayXd h = expectedImpulse(boost, 48000.0, 5000);
    ASSERT_GT(h.abs().maxCoeff(), 1.0); // so the file holds a scaling reference
    EXPECT_TRUE(mobutest::exists(impulseFile + ".scale"));
    for (int c = 0; c < 2; ++c)
        EXPECT_LT((a.data.col(c).array() - h).abs().maxCoeff(), fileTol * h.abs().maxCoeff()) << c;
}

TEST_F(EqTools, BoostsPastTheHeadroomAreWarnedOfButStillUsed) {
    std::string sixteen = "[";
    for (int i = 0; i < 16; ++i)
        sixteen += std::string(i ? "," : "") + R"({"type": "BPF", "Fc": 200, "dB": 1.5, "Q": 1})";
    sixteen += "]";
    const struct {
        std::string json;
        bool warned;
    } cases[] = {
        {R"([{"type": "BPF", "Fc": 1000, "dB": 12, "Q": 1}])", false}, // exactly the headroom
        {boost, false},
        {R"([{"type": "BPF", "Fc": 1000, "dB": 7, "Q": 1}, {"type": "BPF", "Fc": 1000, "dB": 7, "Q": 1}])", true},
        {sixteen, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        equaliser(c.json.c_str());
        storeFIR(48000, 1000, 2);
        for (const char* tool : {MOBU_EQ_IMPULSE, MOBU_EQ_FIR_RENDER}) {
            const auto r = run(tool);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err.find("Warning : the equaliser " + mobu + "/paraEQ0.json boosts by up to +") !=
                          std::string::npos,
                      c.warned)
                << tool << ": " << r.err;
            EXPECT_EQ(r.err.find("more than the +12 dB of headroom") != std::string::npos, c.warned) << r.err;
            EXPECT_EQ(readAudio(impulseFile).status, 0) << "the file is still used";
        }
    }
}

TEST_F(EqTools, ImpulseWithMissingOrInvalidFileIsAUnitImpulse) {
    for (const char* json : {static_cast<const char*>(nullptr), "[{\"type\": \"BPF\", ", "{\"type\": \"BPF\"}"}) {
        mobutest::removeTree(mobu + "/paraEQ0.json");
        if (json != nullptr) equaliser(json);
        mobutest::removeTree(impulseFile);
        const auto r = run(MOBU_EQ_IMPULSE);
        EXPECT_EQ(r.status, 0) << r.err;
        if (json != nullptr) {
            EXPECT_NE(r.err.find("Error : -1357 "), std::string::npos) << r.err;
        }
        const Audio a = readAudio(impulseFile);
        ASSERT_EQ(a.status, 0);
        ASSERT_EQ(a.data.rows(), 5000);
        EXPECT_NEAR(a.data(0, 0), 1.0, fileTol);
        EXPECT_EQ(a.data.bottomRows(4999).cwiseAbs().maxCoeff(), 0.0);
    }
}

TEST_F(EqTools, RenderWithZeroDBLeavesTheFIRUnchanged) {
    equaliser(zeroDB);
    const Eigen::MatrixXd F = storeFIR(48000.0, 4096, 2);
    const auto r = run(MOBU_EQ_FIR_RENDER);
    EXPECT_EQ(r.status, 0) << r.err;
    const Audio rendered = readAudio(firFile);
    ASSERT_EQ(rendered.status, 0);
    EXPECT_EQ(rendered.fs, 48000.0);
    ASSERT_EQ(rendered.data.rows(), 5000);
    ASSERT_EQ(rendered.data.cols(), 2);
    EXPECT_LT((rendered.data.topRows(4096) - F).cwiseAbs().maxCoeff(), fileTol);
    EXPECT_EQ(rendered.data.bottomRows(5000 - 4096).cwiseAbs().maxCoeff(), 0.0);
    const Audio h = readAudio(impulseFile);
    ASSERT_EQ(h.status, 0);
    ASSERT_EQ(h.data.rows(), 5000);
    ASSERT_EQ(h.data.cols(), 2);
    EXPECT_NEAR(h.data(0, 1), 1.0, fileTol);
    EXPECT_EQ(h.data.bottomRows(4999).cwiseAbs().maxCoeff(), 0.0);
}

TEST_F(EqTools, RenderIsTheFIRConvolvedWithTheEqualiser) {
    equaliser(boost);
    const int N = 8192; // a 96 kHz filter renders 8192 samples
    const Eigen::MatrixXd F = storeFIR(96000.0, 700, 3);
    const auto r = run(MOBU_EQ_FIR_RENDER);
    EXPECT_EQ(r.status, 0) << r.err;
    const Audio rendered = readAudio(firFile);
    ASSERT_EQ(rendered.status, 0);
    EXPECT_EQ(rendered.fs, 96000.0);
    ASSERT_EQ(rendered.data.rows(), N);
    ASSERT_EQ(rendered.data.cols(), 3);

    const Eigen::ArrayXd h = expectedImpulse(boost, 96000.0, N);
    for (int c = 0; c < 3; ++c) {
        Eigen::ArrayXd y = Eigen::ArrayXd::Zero(N); // direct convolution, truncated to N samples
        for (int k = 0; k < F.rows(); ++k)
            y.segment(k, N - k) += F(k, c) * h.head(N - k);
        EXPECT_LT((rendered.data.col(c).array() - y).abs().maxCoeff(), fileTol * y.abs().maxCoeff()) << c;
    }
    const Audio hFile = readAudio(impulseFile);
    ASSERT_EQ(hFile.status, 0);
    EXPECT_EQ(hFile.fs, 96000.0);
    ASSERT_EQ(hFile.data.rows(), N);
    ASSERT_EQ(hFile.data.cols(), 2);
    EXPECT_LT((hFile.data.col(1).array() - h).abs().maxCoeff(), fileTol * h.abs().maxCoeff());
}

TEST_F(EqTools, RenderRefusesAFIRLongerThanTheRender) {
    equaliser(zeroDB);
    storeFIR(96000.0, 9000, 1);
    const auto r = run(MOBU_EQ_FIR_RENDER);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Error : FIR N=9000 but we are specifying an N=8192 which is too short\n");
    EXPECT_FALSE(mobutest::exists(firFile));
    EXPECT_FALSE(mobutest::exists(impulseFile));

    storeFIR(48000.0, 5001, 2); // 5000 at any other rate
    const auto r48 = run(MOBU_EQ_FIR_RENDER);
    EXPECT_EQ(r48.status, 255);
    EXPECT_EQ(r48.out, "Error : FIR N=5001 but we are specifying an N=5000 which is too short\n");
    EXPECT_FALSE(mobutest::exists(firFile));
}

TEST_F(EqTools, RenderWithoutAFilterFileWritesNothing) {
    equaliser(zeroDB);
    const auto r = run(MOBU_EQ_FIR_RENDER);
    EXPECT_EQ(r.status, SOX_READ_FILE_OPEN_ERROR & 0xff);
    EXPECT_NE(r.err.find("Error : -40023 Couldn't open the audio file for reading.  " + mobu + "/dayton.48k.wav\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(mobutest::exists(firFile));
    EXPECT_FALSE(mobutest::exists(impulseFile));
}

TEST_F(EqTools, RenderRefusesAFilterWithNaNOrInfinitySamples) {
    equaliser(zeroDB);
    for (const char* value : {"np.nan", "np.inf"}) {
        const std::string script = std::string("import numpy as np, scipy.io.wavfile as w, sys\n") +
                                   "x = np.zeros((4096, 2), dtype=np.float32)\nx[0, 1] = " + value + "\n" +
                                   "w.write(sys.argv[1], 48000, x)\n";
        const auto py = mobutest::runProcess({mobutest::referencePython(), "-c", script, mobu + "/dayton.48k.wav"});
        ASSERT_EQ(py.status, 0) << py.err;
        const auto r = run(MOBU_EQ_FIR_RENDER);
        EXPECT_EQ(r.status, SOX_NON_FINITE_ERROR & 0xff) << value;
        EXPECT_NE(r.err.find("Error : -40035 The audio file holds samples that are not finite numbers (NaN or "
                             "infinity).  " +
                             mobu + "/dayton.48k.wav\n"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(mobutest::exists(firFile));
        EXPECT_FALSE(mobutest::exists(impulseFile));
    }
}

TEST_F(EqTools, ToolsRefuseALinkFIFOOrDirectoryPlantedAtTheirOutputs) {
    equaliser(zeroDB);
    storeFIR(48000.0, 4096, 2);
    const struct {
        const char* tool;
        std::string path;
    } outputs[] = {{MOBU_EQ_IMPULSE, impulseFile}, {MOBU_EQ_FIR_RENDER, impulseFile}, {MOBU_EQ_FIR_RENDER, firFile}};
    for (const auto& o : outputs)
        for (const auto kind : {mobutest::Planted::link, mobutest::Planted::fifo, mobutest::Planted::directory}) {
            SCOPED_TRACE(std::string(o.tool) + " at " + o.path + ": " + mobutest::plantedName(kind));
            removeOutputs();
            mobutest::Plant plant;
            ASSERT_TRUE(plant.make(kind, o.path));
            const auto r = mobutest::finishesWithin(std::chrono::seconds(60), [&] { return run(o.tool); });
            EXPECT_EQ(r.status, SAFEFILE_NOT_REGULAR_ERROR & 0xff);
            EXPECT_NE(r.err.find("Error : -40701 "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(o.path + "\n"), std::string::npos) << r.err;
            EXPECT_TRUE(plant.untouched());
            plant.remove();
        }
}
