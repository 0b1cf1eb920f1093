// mobu-measure on the virtual board with a room: the room's own response comes back (after
// the loop's latency only), the time of flight repeats and follows the room's delay, the CSV
// and the picture are written; a response window that misses the arrival, clipped and quiet
// recordings are refused; signals stop it at any stage; bad requests fail with one line
// before anything is measured.
#include "LoopbackBoard.h"

#include <Sox.h>

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <complex>
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
        writeRoom("room.wav", 1.0);
    }
    void TearDown() override { mobutest::removeTree(dir); }

    /// Writes the room times gain into dir/name as 64-bit float samples, which the board reads
    /// as they are (above full scale too).
    void writeRoom(const std::string& name, double gain) const {
        std::string wav = "RIFF____WAVEfmt ";
        const auto put = [&](uint32_t v, int bytes) {
            for (int i = 0; i < bytes; ++i)
                wav += static_cast<char>((v >> (8 * i)) & 0xff);
        };
        put(16, 4), put(3, 2), put(1, 2), put(48000, 4), put(48000 * 8, 4), put(8, 2), put(64, 2);
        wav += "data";
        put(static_cast<uint32_t>(room.rows() * 8), 4);
        for (Eigen::Index t = 0; t < room.rows(); ++t) {
            const double v = gain * room(t, 0);
            wav.append(reinterpret_cast<const char*>(&v), 8);
        }
        const uint32_t riff = static_cast<uint32_t>(wav.size() - 8);
        for (int i = 0; i < 4; ++i)
            wav[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xff);
        mobutest::writeFile(dir + "/" + name, wav);
    }

    /// Runs the tool on a lock-step board with the room, this extra delay and noise.
    /// (boardOptions: more of the board's, e.g. {"--loopback", "1"}.)
    mobutest::ProcessResult measure(const std::vector<std::string>& args, int delay = 0, const char* noise = "-200",
                                    const std::string& roomFile = "room.wav",
                                    const std::vector<std::string>& boardOptions = {}) {
        std::vector<std::string> options{
            "--mode",     "lockstep", "--room", dir + "/" + roomFile, "--delay", std::to_string(delay),
            "--noise-db", noise};
        options.insert(options.end(), boardOptions.begin(), boardOptions.end());
        LoopbackBoard board(options);
        EXPECT_TRUE(board.ok()) << board.generator().err;
        std::vector<std::string> argv{MOBU_MOBU_MEASURE, "--status=" + dir + "/status.json"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto env = board.environment();
        return mobutest::runProcess(argv, env);
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

/// The magnitude of h at f Hz (a direct DFT).
double magnitudeAt(const Eigen::VectorXd& h, double f) {
    std::complex<double> sum = 0;
    for (Eigen::Index n = 0; n < h.size(); ++n)
        sum += h(n) * std::polar(1.0, -2.0 * M_PI * f * n / 48000.0);
    return std::abs(sum);
}

/// Relative error energy (dB) of got against the room placed at its best lag, over lo ... hi Hz
/// (by default 25 Hz ... 20 kHz, the band the chirp excites), from DFTs at 400 frequencies.
double errorInBandDB(const Eigen::VectorXd& got, const Eigen::MatrixXd& room, double lo = 25.0, double hi = 20000.0) {
    Eigen::Index bestLag = 0;
    double best = -1;
    for (Eigen::Index lag = 0; lag + room.rows() <= got.size(); ++lag) {
        const double c = got.segment(lag, room.rows()).dot(room.col(0));
        if (c > best) best = c, bestLag = lag;
    }
    double error = 0, energy = 0;
    for (int i = 0; i < 400; ++i) {
        const double f = lo * std::pow(hi / lo, i / 399.0);
        std::complex<double> g = 0, t = 0;
        for (Eigen::Index n = 0; n < got.size(); ++n) {
            const std::complex<double> e = std::polar(1.0, -2.0 * M_PI * f * n / 48000.0);
            g += got(n) * e;
            if (n >= bestLag && n - bestLag < room.rows()) t += room(n - bestLag, 0) * e;
        }
        error += std::norm(g - t);
        energy += std::norm(t);
    }
    return 10 * std::log10(error / energy);
}

TEST_F(MobuMeasure, RecoversTheRoomsOwnResponseAndItsTimeOfFlight) {
    // What an earlier process left in the status file is not shown as progress.
    mobutest::writeFile(dir + "/status.json", "{\"error\" : \"\",\"message\" : \"Left over\",\"progressMax\" : 0,"
                                              "\"progress\" : 0}");
    const std::string out = dir + "/out";
    const std::vector<std::string> args{"--playback=board_playback",
                                        "--capture=board_capture",
                                        "--channels=2",
                                        "--taps=4096",
                                        "--align",
                                        "--out=" + out};
    const auto r = measure(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Chirping ..."), std::string::npos) << "progress on the terminal: " << r.out;
    EXPECT_EQ(r.out.find("Left over"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("channel 2: time of flight"), std::string::npos) << r.out;
    EXPECT_TRUE(mobutest::exists(out + "/debug")) << "the library's debug folder";

    // Noise-free, the room itself comes back, whatever the recorder's shaping and scaling were.
    const Eigen::VectorXd got = readImpulse(out + "/impulse-2.wav");
    ASSERT_EQ(got.size(), 4096);
    EXPECT_LE(errorInBandDB(got, room), -40.0);
    const int tof = tofOf(mobutest::readFile(out + "/tof.csv"), 2);
    // The shift puts the arrival 3 ms (144 samples) in; what is left of the arrival after the room's
    // 30 samples is the loop's latency, whole periods.
    const int latency = tof + 144 - 30;
    EXPECT_LE(std::abs(latency - 4800 * ((latency + 2400) / 4800)), 1) << "tof " << tof;
    EXPECT_GT(latency, 0);
    EXPECT_EQ(mobutest::readFile(out + "/impulses.png").substr(0, 4), "\x89PNG");

    // Again at 40 dB SNR (the room-filtered chirp's level less 40 dB), then 100 samples further away.
    std::ostringstream noise;
    noise << 20 * std::log10(0.99 / std::sqrt(2.0) * room.norm()) - 40.0;
    const auto noisy = measure(args, 0, noise.str().c_str());
    ASSERT_EQ(noisy.status, 0) << noisy.err;
    EXPECT_LE(std::abs(tofOf(mobutest::readFile(out + "/tof.csv"), 2) - tof), 1);
    EXPECT_LE(errorInBandDB(readImpulse(out + "/impulse-2.wav"), room), -30.0);
    const auto further = measure(args, 100);
    ASSERT_EQ(further.status, 0) << further.err;
    EXPECT_LE(std::abs(tofOf(mobutest::readFile(out + "/tof.csv"), 2) - (tof + 100)), 1);
}

/// The rows of a CSV file after its header, each split at commas (an empty field stays empty).
std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        rows.emplace_back();
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, ','))
            rows.back().push_back(field);
        if (!line.empty() && line.back() == ',') rows.back().push_back("");
    }
    return rows;
}

TEST_F(MobuMeasure, TheAcousticTimeOfFlightIsTheArrivalLessTheDevicesLatency) {
    // The board's latency: three periods of pre-fill (14400 samples) and 250 frames of delay; the
    // room's direct sound 30 samples (0.625 ms, 0.214 m at 343 m/s).  In noise, from the board's
    // loop-back channel, from a latency given, and unknown without either.
    const std::string out = dir + "/out";
    std::ostringstream noise;
    noise << 20 * std::log10(0.99 / std::sqrt(2.0) * room.norm()) - 40.0;
    const std::vector<std::string> args{"--playback=board_playback",
                                        "--capture=board_capture",
                                        "--channels=2,5",
                                        "--taps=1024",
                                        "--align",
                                        "--out=" + out};
    const struct {
        std::vector<std::string> options;
        std::string latency, acoustic, ms, metres, says;
    } cases[] = {
        {{"--loopback=1"}, "14650", "30", "0.625", "0.214375", "30 samples (0.625 ms, 0.214 m at 343 m/s)"},
        {{"--latency=14600"}, "14600", "80", "1.66667", "0.571667", "80 samples (1.667 ms, 0.572 m at 343 m/s)"},
        {{}, "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = args;
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        const auto r = measure(argv, 250, noise.str().c_str(), "room.wav", {"--loopback", "1"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto rows = csvRows(mobutest::readFile(out + "/flight.csv"));
        ASSERT_EQ(rows.size(), 2u) << mobutest::readFile(out + "/flight.csv");
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto& row = rows[i];
            ASSERT_EQ(row.size(), 6u);
            EXPECT_EQ(row[0], i == 0 ? "2" : "5");
            EXPECT_EQ(row[1], "14680") << "the arrival, the devices' latency included";
            EXPECT_EQ(row[2], c.latency);
            EXPECT_EQ(row[3], c.acoustic);
            EXPECT_EQ(row[4], c.ms);
            EXPECT_EQ(row[5], c.metres);
        }
        EXPECT_EQ(r.out.find("acoustic time of flight") != std::string::npos, !c.says.empty()) << r.out;
        if (!c.says.empty()) {
            EXPECT_NE(r.out.find("channel 5: acoustic time of flight " + c.says), std::string::npos) << r.out;
        }
        // The raw time of flight keeps its file and meaning: the arrival less the 3 ms of alignment.
        EXPECT_EQ(mobutest::readFile(out + "/tof.csv").substr(0, 28), "channel,samples,milliseconds");
        EXPECT_NEAR(tofOf(mobutest::readFile(out + "/tof.csv"), 5), 14680 - 144, 8);
    }
}

TEST_F(MobuMeasure, HarmonicsOfAStaticNonlinearityMatchTheirClosedForm) {
    // Before a flat room (the direct sound alone) the board bends the sound by
    // p(x) = x + a2 x^2 + a3 x^3.  For x = A sin: the fundamental A + 3 a3 A^3 / 4, the 2nd
    // harmonic a2 A^2 / 2, the 3rd a3 A^3 / 4, nothing above.  A is the played chirp's level, from
    // its RMS in the recorder's debug file (a sweep of constant level: A = RMS * sqrt 2).
    room = Eigen::MatrixXd::Zero(64, 1);
    room(30, 0) = 0.5;
    writeRoom("flat.wav", 1.0);
    const double a2 = 0.1, a3 = 0.05;
    const std::string out = dir + "/out";
    const auto r = measure({"--playback=board_playback", "--capture=board_capture", "--channels=0", "--taps=4096",
                            "--align", "--out=" + out},
                           0, "-70", "flat.wav", {"--polynomial", "1 0.1 0.05"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("distortion: " + out + "/distortion.png"), std::string::npos) << r.out;
    EXPECT_EQ(mobutest::readFile(out + "/distortion.png").substr(0, 4), "\x89PNG");
    for (int k = 2; k <= 5; ++k)
        EXPECT_GT(readImpulse(out + "/harmonic-" + std::to_string(k) + "-0.wav").size(), 1000) << k;

    Sox<double> played;
    Eigen::MatrixXd chirps;
    ASSERT_EQ(played.openRead(out + "/debug/chirpsAfterFIR.wav") >= 0 && played.read(chirps) >= 0, true);
    const Eigen::VectorXd period = chirps.col(0).segment(2 * 48000, 48000) / 2147483648.0;
    const double A = std::sqrt(2.0 * period.squaredNorm() / 48000.0);
    ASSERT_GT(A, 0.5);
    const double fundamental = A + 0.75 * a3 * A * A * A;
    const double h2 = 20 * std::log10(a2 * A * A / 2 / fundamental),
                 h3 = 20 * std::log10(a3 * A * A * A / 4 / fundamental);

    // From 500 Hz to 5 kHz the sweep is fast enough and the harmonics clear of half the rate.
    int checked = 0;
    for (const auto& row : csvRows(mobutest::readFile(out + "/thd-0.csv"))) {
        ASSERT_EQ(row.size(), 6u);
        const double f = std::stod(row[0]);
        if (f < 500 || f > 5000) continue;
        ++checked;
        EXPECT_NEAR(std::stod(row[2]), h2, 0.5) << f << " Hz";
        EXPECT_NEAR(std::stod(row[3]), h3, 1.0) << f << " Hz";
        if (f <= 2000) { // the 4th and 5th below 10 kHz
            EXPECT_LT(std::stod(row[4]), h3 - 15) << f << " Hz";
            EXPECT_LT(std::stod(row[5]), h3 - 15) << f << " Hz";
        }
        EXPECT_NEAR(std::stod(row[1]), 100 * std::hypot(a2 * A / 2, a3 * A * A / 4) * A / fundamental, 0.4) << f;
    }
    EXPECT_GT(checked, 70);
}

TEST_F(MobuMeasure, ResponsesCarryNothingWhereTheChirpExcitedNothing) {
    // A tweeter (channel 6, band-limited from 400 Hz) at 40 dB SNR: below the band the recording is
    // noise alone, and the response must stay empty there, say which band it holds, keep the room
    // within that band and arrive where the room puts it.  The longest response (48000 taps, one
    // chirp period) is identified too.
    std::ostringstream noise;
    noise << 20 * std::log10(0.99 / std::sqrt(2.0) * room.norm()) - 40.0;
    const struct {
        int channel;
        int taps;
        std::string noise;
        double lowFrom, lowTo;
    } cases[] = {{6, 4096, noise.str(), 370.0, 400.0}, {0, 48000, "-200", 1.0, 20.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("channel " + std::to_string(c.channel) + ", " + std::to_string(c.taps) + " taps");
        const std::string out = dir + "/band";
        const auto r =
            measure({"--playback=board_playback", "--capture=board_capture", "--channels=" + std::to_string(c.channel),
                     "--taps=" + std::to_string(c.taps), "--align", "--out=" + out},
                    0, c.noise.c_str());
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        double low = 0, high = 0;
        int channel = -1;
        const std::string bands = mobutest::readFile(out + "/bands.csv");
        ASSERT_EQ(sscanf(bands.c_str(), "channel,low_hz,high_hz\n%d,%lf,%lf", &channel, &low, &high), 3) << bands;
        EXPECT_EQ(channel, c.channel);
        EXPECT_GE(low, c.lowFrom);
        EXPECT_LE(low, c.lowTo);
        EXPECT_GE(high, 23000.0);
        EXPECT_NE(r.out.find("valid from"), std::string::npos) << r.out;

        const Eigen::VectorXd got = readImpulse(out + "/impulse-" + std::to_string(c.channel) + ".wav");
        ASSERT_EQ(got.size(), c.taps);
        EXPECT_LE(errorInBandDB(got, room, std::max(25.0, 1.25 * low), 20000.0), -30.0);
        const int tof = tofOf(mobutest::readFile(out + "/tof.csv"), c.channel);
        const int latency = tof + 144 - 30;
        EXPECT_LE(std::abs(latency - 4800 * ((latency + 2400) / 4800)), 2) << "tof " << tof;
        if (c.channel < 6) continue;
        // Below the band: next to nothing against the room's level in the band (the room itself is
        // about 0.5 there; noise divided by the excitation would be tens of dB above it).
        double below = 0.0;
        for (double f = 20.0; f <= 250.0; f += 10.0)
            below = std::max(below, magnitudeAt(got, f));
        EXPECT_LE(20 * std::log10(below / magnitudeAt(got, 2000.0)), -35.0);
    }
}

TEST_F(MobuMeasure, TheExampleRoomMeasuresAsTheReadmeSays) {
    // scripts/make-room.py's room: channel c's direct sound is 30 + 7c samples in.
    const auto made = mobutest::runProcess(
        {mobutest::referencePython(), std::string(MOBU_SOURCE_DIR) + "/scripts/make-room.py", dir + "/example.wav"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string out = dir + "/example";
    const auto r = measure({"--playback=board_playback", "--capture=board_capture", "--channels=0,3", "--taps=4096",
                            "--align", "--out=" + out},
                           0, "-70", "example.wav");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string csv = mobutest::readFile(out + "/tof.csv");
    EXPECT_LE(std::abs(tofOf(csv, 3) - tofOf(csv, 0) - 21), 1) << csv;
}

TEST_F(MobuMeasure, RecordingsThatGiveNoTrueResponseAreRefused) {
    // Without --align the response starts at the loop's time zero: an arrival past its end is
    // refused, one within it is found (the latency and the room's 30 samples).  Clipped recordings
    // fail unless asked for; a recording far below full scale, or of noise alone, can't be identified.
    writeRoom("loud.wav", 3.0);
    writeRoom("quiet.wav", 1e-5);
    writeRoom("faint.wav", 3e-5); // a recording peaking near -92 dBFS, below the -80 dB threshold
    writeRoom("silent.wav", 0.0); // the board's noise alone
    const struct {
        std::vector<std::string> args;
        std::string room;
        int status;
        const char* says;
    } cases[] = {
        {{"--taps=4096"}, "room.wav", 5, "outside the 4096-tap response: use --align"},
        {{"--taps=16384"}, "room.wav", 0, "channel 1: time of flight"},
        {{"--taps=1024", "--align"}, "loud.wav", 6, "reached full scale (clipped)"},
        {{"--taps=1024", "--align", "--ignore-clipping"}, "loud.wav", 0, "reached full scale (clipped)"},
        {{"--taps=1024", "--align"}, "quiet.wav", 5, "too quiet to identify"},
        {{"--taps=1024", "--align"}, "faint.wav", 5, "too quiet to identify (peak -93 dB of full scale)"},
        {{"--taps=1024", "--align"}, "silent.wav", 5, "no clear arrival"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--playback=board_playback", "--capture=board_capture", "--channels=1",
                                      "--out=" + dir + "/out"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = measure(args, 0, c.room == "silent.wav" ? "-40" : "-200", c.room);
        SCOPED_TRACE(c.args.front() + " " + c.room + ": " + r.out + r.err);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.says), std::string::npos);
        if (c.status == 0 && !c.args.empty() && c.args.size() == 1) {
            const int tof = tofOf(mobutest::readFile(dir + "/out/tof.csv"), 1);
            EXPECT_LE(std::abs(tof - 30 - 4800 * ((tof - 30 + 2400) / 4800)), 1) << "tof " << tof;
        }
    }
}

TEST_F(MobuMeasure, AStoppedRunLeavesTheEarlierMeasurementAsItWas) {
    // Real time.  SIGINT while the chirps are prepared ends the run before anything plays; SIGINT
    // half a second into the chirps ends it at the next period.  Either way the earlier results in
    // the folder stay as they were, and the stopped run's files are set aside beside it.
    struct Case {
        const char* waitFor;
        int afterMs;
    };
    for (const Case& c : {Case{"Preparing channels", 0}, Case{"Chirping", 500}}) {
        SCOPED_TRACE(c.waitFor);
        LoopbackBoard board({"--room", dir + "/room.wav"});
        ASSERT_TRUE(board.ok()) << board.generator().err;
        const std::string out = dir + "/stopped";
        mobutest::removeTree(out);
        mobutest::removeTree(out + ".incomplete");
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        mobutest::writeFile(out + "/impulse-0.wav", "earlier");
        mobutest::writeFile(out + "/tof.csv", "channel,samples,milliseconds\n0,1234,25.7\n");
        mobutest::Child tool({MOBU_MOBU_MEASURE, "--status=" + dir + "/status.json", "--playback=board_playback",
                              "--capture=board_capture", "--channels=0", "--taps=256", "--out=" + out},
                             board.environment());
        for (int i = 0; i < 600 && tool.outputSoFar().find(c.waitFor) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(c.afterMs));
        tool.signal(SIGINT);
        const auto r = tool.wait(std::chrono::seconds(30));
        EXPECT_EQ(r.status, 3) << r.out << r.err;
        EXPECT_NE(r.err.find("mobu-measure: the measurement was stopped: " + out + " is unchanged"), std::string::npos)
            << r.err;
        if (c.afterMs == 0) {
            EXPECT_EQ(r.out.find("Chirping"), std::string::npos) << "nothing played: " << r.out;
        }
        EXPECT_EQ(mobutest::readFile(out + "/impulse-0.wav"), "earlier");
        EXPECT_EQ(mobutest::readFile(out + "/tof.csv"), "channel,samples,milliseconds\n0,1234,25.7\n");
        EXPECT_TRUE(mobutest::exists(out + ".incomplete/measure.log"));
        EXPECT_NE(mobutest::readFile(dir + "/status.json").find("the measurement was stopped"), std::string::npos);
    }
}

TEST_F(MobuMeasure, ACompletedRunReplacesTheFolderAndFollowsNoPlantedLink) {
    // The folder holds an earlier measurement and links, planted at the names the tool writes, to
    // files that must not change.  The completed run takes the folder's place; the earlier one is
    // kept beside it as DIR.previous, links and all, and nothing was written through a link.
    const std::string out = dir + "/linked";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    mobutest::writeFile(out + "/tof.csv", "earlier");
    const std::vector<std::string> names{"measure.log",   ".mobu-measure-probe", "impulses.png",   "impulses.gp",
                                         "impulse-0.wav", "bands.csv",           "distortion.png", "flight.csv",
                                         "thd-0.csv",     "harmonic-2-0.wav",    "distortion.gp"};
    for (const std::string& name : names) {
        mobutest::writeFile(dir + "/victim" + name, "precious");
        ASSERT_EQ(symlink((dir + "/victim" + name).c_str(), (out + "/" + name).c_str()), 0);
    }
    const auto r = measure({"--playback=board_playback", "--capture=board_capture", "--channels=0", "--taps=512",
                            "--align", "--out=" + out});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const std::string& name : names)
        EXPECT_EQ(mobutest::readFile(dir + "/victim" + name), "precious") << name;
    struct stat st {};
    ASSERT_EQ(lstat((out + "/impulses.png").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(mobutest::readFile(out + "/impulses.png").substr(0, 4), "\x89PNG");
    EXPECT_NE(tofOf(mobutest::readFile(out + "/tof.csv"), 0), -1000);
    EXPECT_EQ(mobutest::readFile(out + ".previous/tof.csv"), "earlier");
    EXPECT_FALSE(mobutest::exists(out + ".incomplete"));
}

TEST_F(MobuMeasure, TerminateDuringTheIdentificationStopsAtOnce) {
    // The longest model takes seconds to solve: SIGTERM then ends the tool without waiting for it.
    LoopbackBoard board({"--mode", "lockstep", "--room", dir + "/room.wav"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    mobutest::Child tool({MOBU_MOBU_MEASURE, "--status=" + dir + "/status.json", "--playback=board_playback",
                          "--capture=board_capture", "--channels=0", "--taps=48000", "--align",
                          "--out=" + dir + "/out"},
                         board.environment());
    for (int i = 0; i < 600 && tool.outputSoFar().find("Identifying channel") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    tool.signal(SIGTERM);
    const auto r = tool.wait(std::chrono::seconds(60));
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("mobu-measure: stopped during the identification"), std::string::npos) << r.err;
}

TEST_F(MobuMeasure, ADeviceHeldElsewhereFailsWithTheErrorInTheStatusFile) {
    LoopbackBoard board({"--mode", "lockstep"});
    ASSERT_TRUE(board.ok()) << board.generator().err;
    board.use();
    snd_pcm_t* held = nullptr;
    ASSERT_EQ(snd_pcm_open(&held, "board_playback", SND_PCM_STREAM_PLAYBACK, 0), 0);
    const auto r =
        mobutest::runProcess({MOBU_MOBU_MEASURE, "--status=" + dir + "/status.json", "--playback=board_playback",
                              "--capture=board_capture", "--channels=0", "--taps=64", "--out=" + dir + "/out"},
                             board.environment());
    snd_pcm_close(held);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("can't open the playback device board_playback"), std::string::npos) << r.err;
    const std::string status = mobutest::readFile(dir + "/status.json");
    EXPECT_NE(status.find("\"error\" : \"mobu-measure: can't open the playback device board_playback"),
              std::string::npos)
        << status;
}

TEST_F(MobuMeasure, BadRequestsFailWithOneLineBeforeMeasuring) {
    mobutest::writeFile(dir + "/plain", "x");
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("plain", (dir + "/link").c_str()), 0); // a link to a regular file
    const std::vector<std::string> good{"--playback=board_playback", "--capture=board_capture", "--channels=0"};
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : {
             Case{{"--playback=nosuchdevice", "--capture=board_capture", "--channels=0", "--taps=64"},
                  "can't open the playback device nosuchdevice"},
             Case{{"--playback=board_playback", "--capture=board_capture", "--channels=0,9", "--taps=64"},
                  "bad --channels=0,9"},
             Case{{"--taps=48001"}, "--taps=48001 must be a whole number 1 ... 48000"},
             Case{{"--taps=abc"}, "--taps=abc must be a whole number"},
             Case{{"--capture=board_capture", "--channels=0", "--taps=64"}, "--playback is needed"},
             Case{{"--taps=64", "--band=300"}, "--band needs --align"},
             Case{{"--taps=64", "--align", "--band=1e308"}, "--band=1e308 must be a frequency from 20 Hz"},
             Case{{"--taps=64", "--align", "--band=1e-320"}, "--band=1e-320 must be a frequency from 20 Hz"},
             Case{{"--playback=board_playback", "--capture=board_capture", "--channels=0,", "--taps=64"},
                  "bad --channels=0,"},
             Case{{"--taps=64", "--align", "--band=30000"}, "--band=30000 must be"},
             Case{{"--taps=64", "--bogus"}, "unknown option --bogus"},
             Case{{"--taps=64", "stray"}, "unexpected argument stray"},
             Case{{"--taps=64", "--align=yes"}, "--align takes no value"},
             Case{{"--taps=64", "--loopback=0"}, "--loopback=0 must be a capture channel 1 ... 63"},
             Case{{"--taps=64", "--loopback=1", "--latency=10"}, "--loopback and --latency both give"},
             Case{{"--taps=64", "--latency=-1"}, "--latency=-1 must be a whole number of samples"},
             Case{{"--playback=board_playback", "--capture=board_capture", "--channels=0", "--taps=64", "--loopback=2"},
                  "bad --loopback=2: the capture device has 2 channel(s)"},
             Case{{"--taps=64", "--out=" + dir + "/plain"}, "--out=" + dir + "/plain is not a folder"},
             Case{{"--taps=64", "--status=" + dir}, "the status file " + dir + " exists and is not a regular file"},
             Case{{"--taps=64", "--status=" + dir + "/fifo"}, "the status file " + dir + "/fifo exists and is not"},
             Case{{"--taps=64", "--status=" + dir + "/link"}, "the status file " + dir + "/link exists and is not"},
         }) {
        std::vector<std::string> args = c.args;
        const bool ownDevices =
            std::any_of(args.begin(), args.end(), [](const std::string& a) { return a.rfind("--capture", 0) == 0; });
        if (!ownDevices) args.insert(args.begin(), good.begin(), good.end());
        if (c.says.find("--out") == std::string::npos) args.push_back("--out=" + dir + "/bad");
        mobutest::removeTree(dir + "/bad.incomplete");
        const auto r = measure(args);
        EXPECT_NE(r.status, 0) << c.says;
        EXPECT_NE(r.err.find("mobu-measure: " + c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out.find("Chirping"), std::string::npos) << c.says << ": nothing is measured";
        EXPECT_FALSE(mobutest::exists(dir + "/bad")) << c.says << ": no results folder";
        if (c.says.find("status file") != std::string::npos) {
            EXPECT_FALSE(mobutest::exists(dir + "/bad.incomplete")) << c.says << ": refused before anything is made";
        }
    }
}

} // namespace
