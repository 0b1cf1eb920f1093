// The processor's status file on the lock-step virtual board: known sines at both inputs,
// read back as the RMS of every input and output (through per-output filter gains) against
// their closed form, the CPU load and over/under-runs of a clean run, the files in force with
// their times, a reader in another thread that parses every read while the file is rewritten,
// the last document of a processor that stopped, and a status path that can't be used.
#include "LoopbackBoard.h"

#include <MobuEmbedded/FullDuplexFIR.h>
#include <Sox.h>

#include <json/json.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int periodFrames = 480; // 10 ms at 48 kHz
constexpr double fullScale = 2147483648.0;
/// The inputs: amplitude (of full scale) and frequency, a whole number of cycles per period.
constexpr double amplitude[2] = {0.5, 0.25};
constexpr double frequency[2] = {1000.0, 500.0};
/// The filters: a unit impulse scaled per output.
double outputScale(int m) {
    return 1.0 / (m + 1);
}

/// The processor fed sines instead of its capture; stops itself once `enough` is set.
class SineProbe : public FullDuplexFIR {
public:
    explicit SineProbe(const std::atomic<bool>& enough)
        : FullDuplexFIR("board_playback", "board_capture"), enough(enough) {}
    ~SineProbe() override {
        FileWatchThreaded::stop();
        MixerEvents::stopEvents();
    }
    int process() override {
        if (calls++ > 0) {
            for (int n = 0; n < periodFrames; ++n, ++frame)
                for (int c = 0; c < 2; ++c)
                    inputAudio(n, c) = static_cast<int>(
                        std::lround(amplitude[c] * fullScale * std::sin(2 * M_PI * frequency[c] * frame / 48000.0)));
        }
        if (enough.load() && !stopping) {
            stopping = true;
            handleSignal(SIGINT);
        }
        return FullDuplexFIR::process();
    }

private:
    const std::atomic<bool>& enough;
    int calls = 0;
    long frame = 0;
    bool stopping = false;
};

bool parse(const std::string& text, Json::Value& doc) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &doc, &errors) && doc.isObject();
}

/// An ISO 8601 UTC time with milliseconds as ns since the epoch (-1 when it is not one).
int64_t isoNs(const std::string& text) {
    tm t{};
    int ms = -1;
    if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
               &t.tm_sec, &ms) != 7)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&t)) * 1000000000ll + ms * 1000000ll;
}

class Status : public ::testing::Test {
protected:
    void SetUp() override {
        board = std::make_unique<LoopbackBoard>(std::vector<std::string>{"--mode", "lockstep"});
        ASSERT_TRUE(board->ok()) << board->generator().err;
        board->use();
        dir = mobutest::makeTempDir("status");
        filter = dir + "/filters.wav";
        statusFile = dir + "/status.json";
        Eigen::MatrixXd h = Eigen::MatrixXd::Zero(2049, 8);
        for (int m = 0; m < 8; ++m)
            h(0, m) = outputScale(m);
        ASSERT_EQ(writeAudioFile(filter, 48000, h), 0);
        shutdown_received = 0;
    }
    void TearDown() override { mobutest::removeTree(dir); }

    std::string config(const std::string& status) {
        const std::string path = dir + "/processor.conf";
        mobutest::writeFile(path, "MobuFullDuplexFIR {\n  filter \"" + filter +
                                      "\"\n  paraeq \"status-eq.json\"\n  mixerDevice \"board\"\n  fifopath \"" + dir +
                                      "/levels\"\n  statusfile \"" + status + "\"\n}\n");
        return path;
    }

    std::unique_ptr<LoopbackBoard> board;
    std::string dir, filter, statusFile;
};

TEST_F(Status, KnownSinesGiveTheirRMSEverywhereAndAReaderNeverSeesAPartialDocument) {
    std::vector<Json::Value> docs; // every distinct document, in order
    std::atomic<long> reads{0}, unparsed{0};
    std::atomic<bool> done{false}, enough{false};
    auto probe = std::make_unique<SineProbe>(enough);
    // Reads the file as fast as it can and parses every read; stops the processor after six
    // documents of a running stream (the first ones hold the start-up's silence and fade-in).
    std::thread reader([&] {
        std::string last;
        int running = 0;
        while (!done.load()) {
            // Until the first document the processor builds its filters: stay out of its way.
            if (access(statusFile.c_str(), F_OK) != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            std::ifstream in(statusFile);
            if (!in) continue;
            std::stringstream text;
            text << in.rdbuf();
            ++reads;
            Json::Value doc;
            if (!parse(text.str(), doc)) {
                ++unparsed;
                continue;
            }
            if (text.str() == last) continue;
            last = text.str();
            docs.push_back(doc);
            if (doc["interval"]["periods"].asUInt() > 0 && doc["running"].asBool() && ++running == 6) enough = true;
        }
    });
    const int ret = mobutest::finishesWithin(std::chrono::seconds(240), [&] {
        probe->init();
        EXPECT_EQ(probe->loadConfig(config(statusFile)), 0) << probe->getConfigError();
        probe->Playback::setSampleRate(48000);
        EXPECT_EQ(probe->setLatency(0.01f), 0);
        return probe->go();
    });
    EXPECT_EQ(ret, -1);
    probe.reset(); // the processor stops: its last document says so
    done = true;
    reader.join();

    EXPECT_EQ(unparsed.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_GT(reads.load(), 100);
    ASSERT_GE(docs.size(), 6u);
    Json::Value last;
    ASSERT_TRUE(parse(mobutest::readFile(statusFile), last));
    EXPECT_FALSE(last["running"].asBool()) << last;

    // The third and later documents of the running stream are steady: the sines throughout.
    std::vector<Json::Value> steady;
    int running = 0;
    for (const Json::Value& d : docs)
        if (d["running"].asBool() && d["interval"]["periods"].asUInt() > 0 && ++running >= 3) steady.push_back(d);
    ASSERT_GE(steady.size(), 2u);
    struct stat st {};
    ASSERT_EQ(stat(filter.c_str(), &st), 0);
    const int64_t filterNs = st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec;
    double worst = 0.0; // dB
    for (const Json::Value& d : steady) {
        SCOPED_TRACE(d.toStyledString());
        EXPECT_EQ(d["rate"].asUInt(), 48000u);
        EXPECT_EQ(d["period"].asInt(), periodFrames);
        EXPECT_NEAR(d["latencyMs"].asDouble(), 10.0, 1e-9);
        EXPECT_EQ(d["interval"]["frames"].asUInt64(), d["interval"]["periods"].asUInt64() * periodFrames);
        EXPECT_GT(d["interval"]["seconds"].asDouble(), 0.0);
        const double mean = d["cpuLoad"]["mean"].asDouble(), max = d["cpuLoad"]["max"].asDouble();
        EXPECT_GT(mean, 0.0);
        EXPECT_LT(mean, 1.0);
        EXPECT_GE(max, mean);
        EXPECT_EQ(d["xruns"].asUInt(), 0u);
        EXPECT_EQ(d["restarts"].asUInt(), 0u);
        // A sine of amplitude A has the RMS A / sqrt(2); output m carries input m mod 2 times its scale.
        for (int c = 0; c < 10; ++c) {
            const double level = c < 2 ? d["rms"]["inputs"][c].asDouble() : d["rms"]["outputs"][c - 2].asDouble();
            const double expected = 20 * std::log10(c < 2 ? amplitude[c] / std::sqrt(2.0)
                                                          : amplitude[c % 2] * outputScale(c - 2) / std::sqrt(2.0));
            EXPECT_NEAR(level, expected, 0.1) << (c < 2 ? "input " : "output ") << (c < 2 ? c : c - 2);
            worst = std::max(worst, std::abs(level - expected));
        }
        EXPECT_EQ(d["files"]["filter"]["path"].asString(), filter);
        EXPECT_EQ(isoNs(d["files"]["filter"]["modified"].asString()), filterNs / 1000000 * 1000000);
        EXPECT_EQ(d["files"]["paraeq"]["path"].asString(), mobutest::testHome() + "/.mobu/status-eq.json");
        EXPECT_GT(isoNs(d["files"]["paraeq"]["modified"].asString()), 0);
    }
    printf("%zu documents, %ld reads; RMS within %.4f dB of the closed form; CPU load per period mean %.4f, "
           "largest %.4f over %u periods\n",
           docs.size(), reads.load(), worst, steady.back()["cpuLoad"]["mean"].asDouble(),
           steady.back()["cpuLoad"]["max"].asDouble(), steady.back()["interval"]["periods"].asUInt());
}

TEST_F(Status, APathThatCantBeUsedIsRefusedNamingTheKey) {
    ASSERT_EQ(symlink(filter.c_str(), (dir + "/link.json").c_str()), 0);
    const struct {
        std::string path, why;
    } cases[] = {
        {"status.json", "it is not an absolute path"},
        {dir, "it is not a regular file this program may replace"},
        {dir + "/link.json", "it is not a regular file this program may replace"},
    };
    for (const auto& c : cases) {
        FullDuplexFIR p("board_playback", "board_capture");
        EXPECT_LT(p.loadConfig(config(c.path)), 0) << c.path;
        EXPECT_EQ(p.getConfigError(),
                  "the status file \"" + c.path + "\" (key MobuFullDuplexFIR.statusfile) can't be used: " + c.why);
    }
    FullDuplexFIR p("board_playback", "board_capture");
    EXPECT_EQ(p.loadConfig(config(statusFile)), 0) << p.getConfigError();
    EXPECT_EQ(p.getStatusFile(), statusFile);
}

} // namespace
