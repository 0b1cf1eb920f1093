// mobu-measure on the virtual board with a room: the room's response comes back (after the
// loop's latency and the tweeter band limit), the time of flight repeats and follows the
// room's delay, the CSV and the picture are written, and bad requests fail with one line.
#include "LoopbackBoard.h"

#include <MobuEmbedded/Calibration.h>

#include <FIR.h>
#include <ImpulseBandLimited.h>
#include <Sox.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <sstream>
#include <thread>

namespace {

class MobuMeasure : public ::testing::Test {
protected:
    void SetUp() override {
        dir = mobutest::makeTempDir("measure");
        // A room: the direct sound 30 samples in, two reflections and a decaying tail.
        room = Eigen::MatrixXd::Zero(600, 1);
        room(30, 0) = 0.5;
        room(120, 0) = -0.2;
        room(260, 0) = 0.1;
        uint64_t state = 99;
        for (Eigen::Index t = 40; t < 600; ++t) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            room(t, 0) +=
                0.02 * std::exp(-(t - 40) / 120.0) * (static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5);
        }
        Sox<double> out;
        EXPECT_EQ(out.openWrite(dir + "/room.wav", 48000, 1, 1.0, 64), 0);
        out.write(room);
        out.closeWrite();
        Sox<double> in; // as the board reads it
        EXPECT_GE(in.openRead(dir + "/room.wav"), 0);
        in.read(room);
    }
    void TearDown() override { mobutest::removeTree(dir); }

    /// Runs the tool on a lock-step board with the room, this extra delay and noise.
    mobutest::ProcessResult measure(const std::vector<std::string>& args, int delay = 0, const char* noise = "-200") {
        LoopbackBoard board(
            {"--mode", "lockstep", "--room", dir + "/room.wav", "--delay", std::to_string(delay), "--noise-db", noise});
        EXPECT_TRUE(board.ok()) << board.generator().err;
        std::vector<std::string> argv{MOBU_MOBU_MEASURE, "--status=" + dir + "/status.json"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto env = board.environment();
        return mobutest::runProcess(argv, env);
    }

    /// What the chirp recorder's band limit and scaling make of the room, for channel c < 6.
    Eigen::VectorXd expectedResponse() const {
        Calibration c;
        c.generateChirp();
        c.maxScaleChirp(32);
        const Eigen::VectorXd train = c.chirp.matrix().replicate(Calibration::chirpRepeatCount, 1);
        double peak = 0.0;
        Eigen::VectorXd low;
        for (float from : {20.0f, 400.0f}) { // channels 0-5 and 6-7: the played matrix's peak
            ImpulseBandLimited<double> limit;
            limit.generateImpulseShift(1024.0f / 48000.0f, 48000.0f, from, 24000.0f);
            FIR<double> fir;
            fir.init(train.size());
            fir.loadTimeDomainCoefficients(limit);
            peak = std::max(peak, fir.filter(train).cwiseAbs().maxCoeff());
            if (from == 20.0f) low = limit;
        }
        const double gain = 0.99 * c.chirp.abs().maxCoeff() / peak;
        Eigen::VectorXd h = Eigen::VectorXd::Zero(low.size() + room.rows() - 1);
        for (Eigen::Index a = 0; a < low.size(); ++a)
            for (Eigen::Index b = 0; b < room.rows(); ++b)
                h(a + b) += gain * low(a) * room(b, 0);
        return h;
    }

    std::string dir;
    Eigen::MatrixXd room;
};

Eigen::VectorXd readImpulse(const std::string& path) {
    Sox<double> in;
    Eigen::MatrixXd h;
    if (in.openRead(path) < 0 || in.read(h) < 0 || h.cols() != 1) return Eigen::VectorXd();
    return h.col(0);
}

int tofOf(const std::string& csv, int channel) {
    std::istringstream in(csv);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        int c = -1, t = -1;
        if (sscanf(line.c_str(), "%d,%d", &c, &t) == 2 && c == channel) return t;
    }
    return -1000;
}

TEST_F(MobuMeasure, RecoversTheRoomAndItsTimeOfFlight) {
    // At 40 dB SNR: the room-filtered chirp's level less 40 dB.
    const double level = 20 * std::log10(0.99 / std::sqrt(2.0) * room.norm());
    std::ostringstream noise;
    noise << level - 40.0;
    const std::string out = dir + "/out";
    const auto r = measure({"--playback=board_playback", "--capture=board_capture", "--channels=2", "--taps=4096",
                            "--align", "--out=" + out},
                           0, noise.str().c_str());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Chirping ..."), std::string::npos) << "progress on the terminal: " << r.out;
    EXPECT_NE(r.out.find("channel 2: time of flight"), std::string::npos) << r.out;

    const Eigen::VectorXd got = readImpulse(out + "/impulse-2.wav"), want = expectedResponse();
    ASSERT_EQ(got.size(), 4096);
    // Aligned up to the loop's constant latency: the best lag (the band limit's early ringing may
    // fall before the window and is left out of both), then the error energy.
    const auto placed = [&](Eigen::Index lag) {
        Eigen::VectorXd t = Eigen::VectorXd::Zero(got.size());
        for (Eigen::Index k = 0; k < want.size(); ++k)
            if (k + lag >= 0 && k + lag < t.size()) t(k + lag) = want(k);
        return t;
    };
    Eigen::Index bestLag = 0;
    double best = -1;
    for (Eigen::Index lag = -600; lag + want.size() <= got.size(); ++lag) {
        const double c = got.dot(placed(lag));
        if (c > best) best = c, bestLag = lag;
    }
    const Eigen::VectorXd truth = placed(bestLag);
    EXPECT_LE(10 * std::log10((got - truth).squaredNorm() / truth.squaredNorm()), -30.0) << "lag " << bestLag;
    const int tof = tofOf(mobutest::readFile(out + "/tof.csv"), 2);
    // The shift puts the arrival 3 ms (144 samples) in; what is left of the arrival after the room's
    // 30 samples, the band limit's 512 and the stacking window's 1 is the loop's latency, whole periods.
    const int latency = tof + 144 - 30 - 512 - 1;
    EXPECT_LE(std::abs(latency - 4800 * ((latency + 2400) / 4800)), 1) << "tof " << tof;
    EXPECT_GT(latency, 0);
    EXPECT_EQ(mobutest::readFile(out + "/impulses.png").substr(0, 4), "\x89PNG");

    // The same measurement again, then with the room 100 samples further away.
    const auto again = measure({"--playback=board_playback", "--capture=board_capture", "--channels=2", "--taps=4096",
                                "--align", "--out=" + out},
                               0);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_LE(std::abs(tofOf(mobutest::readFile(out + "/tof.csv"), 2) - tof), 1);
    const auto further = measure({"--playback=board_playback", "--capture=board_capture", "--channels=2", "--taps=4096",
                                  "--align", "--out=" + out},
                                 100);
    ASSERT_EQ(further.status, 0) << further.err;
    EXPECT_LE(std::abs(tofOf(mobutest::readFile(out + "/tof.csv"), 2) - (tof + 100)), 1);
}

TEST_F(MobuMeasure, InterruptStopsTheMeasurementAndKeepsWhatWasMeasured) {
    // Real time: an interrupt half a second into the chirps ends the run at the next period; the
    // interrupted channel is cleared and said to be empty, and the outputs are still written.
    LoopbackBoard board({"--room", dir + "/room.wav"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    const std::string out = dir + "/stopped";
    mobutest::Child tool({MOBU_MOBU_MEASURE, "--status=" + dir + "/status.json", "--playback=board_playback",
                          "--capture=board_capture", "--channels=0", "--taps=256", "--out=" + out},
                         board.environment());
    for (int i = 0; i < 200 && tool.outputSoFar().find("Chirping") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    tool.signal(SIGINT);
    const auto r = tool.wait(std::chrono::seconds(30));
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("mobu-measure: the measurement was stopped"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("channel 0: nothing recorded"), std::string::npos) << r.out;
    EXPECT_TRUE(mobutest::exists(out + "/tof.csv"));
}

TEST_F(MobuMeasure, BadRequestsFailWithOneLine) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Case& c : {Case{{"--playback=nosuchdevice", "--capture=board_capture", "--channels=0", "--taps=64"},
                               "can't open the playback device nosuchdevice"},
                          Case{{"--playback=board_playback", "--capture=board_capture", "--channels=0,9", "--taps=64"},
                               "bad --channels=0,9"},
                          Case{{"--playback=board_playback", "--capture=board_capture", "--channels=0", "--taps=48001"},
                               "--taps=48001 must be 1 ... 48000"}}) {
        std::vector<std::string> args = c.args;
        args.push_back("--out=" + dir + "/bad");
        const auto r = measure(args);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(std::string("mobu-measure: ") + c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

} // namespace
