// The processor's host program on the virtual board (real time): its usage, one
// line and a status for what it can't open or use, its default devices, SIGUSR1
// and an orderly end on SIGTERM, SIGINT at every stage within a bound, and starting
// again (backing off) after over/under-runs.
#include "LoopbackBoard.h"

#include <Sox.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

namespace {

/// The last line of a text (without its line feed).
std::string lastLine(const std::string& text) {
    const size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Host : public ::testing::Test {
protected:
    void SetUp() override {
        board = std::make_unique<LoopbackBoard>(std::vector<std::string>{"--mode", "realtime"});
        ASSERT_TRUE(board->ok()) << board->generator().err;
        dir = mobutest::makeTempDir("host");
        Eigen::MatrixXd h = Eigen::MatrixXd::Zero(4096, 8);
        h.row(0).setConstant(0.5);
        ASSERT_EQ(writeAudioFile(dir + "/filters.wav", 48000, h), 0);
        config = dir + "/processor.conf";
        mobutest::writeFile(config, "MobuFullDuplexFIR {\n  filter \"" + dir +
                                        "/filters.wav\"\n  paraeq \"host.json\"\n"
                                        "  mixerDevice \"board\"\n  fifopath \"" +
                                        dir + "/levels\"\n  statusfile \"" + dir + "/status.json\"\n}\n");
    }
    void TearDown() override { mobutest::removeTree(dir); }

    std::vector<std::string> command(std::vector<std::string> args) const {
        args.insert(args.begin(), MOBU_MOBU_PROCESSOR);
        return args;
    }
    mobutest::ProcessResult run(const std::vector<std::string>& args) const {
        return mobutest::runProcess(command(args), board->environment());
    }

    std::unique_ptr<LoopbackBoard> board;
    std::string dir, config;
};

TEST_F(Host, NamesWhatItCannotOpenOrUseOnOneLineWithAStatus) {
    // The configuration with one value replaced.
    const auto variant = [&](const std::string& name, const std::string& from, const std::string& to) {
        std::string text = mobutest::readFile(config);
        text.replace(text.find(from), from.size(), to);
        mobutest::writeFile(dir + "/" + name, text);
        return dir + "/" + name;
    };
    const std::string noMixer = variant("m.conf", "\"board\"", "\"nosuch\""),
                      compound = variant("c.conf", "\"board\"", "{ card 0 }"),
                      lostFifo = variant("l.conf", dir + "/levels", dir + "/none/levels"),
                      relativeFifo = variant("r.conf", "\"" + dir + "/levels\"", "7"),
                      badGuard = variant("g.conf", "}", "  guard \"" + dir + "/guard.json\"\n}"),
                      fastGuard = variant("f.conf", "}", "  guard \"" + dir + "/fast.json\"\n}");
    mobutest::writeFile(dir + "/guard.json", R"({"outputs": [{"output": 6, "maxLevel": 3}]})");
    mobutest::writeFile(dir + "/fast.json",
                        R"({"outputs": [{"output": 7, "lowpass": {"frequency": 30000, "order": 2}}]})");
    ASSERT_EQ(mkfifo((dir + "/pipe.conf").c_str(), 0600), 0);
    const std::string cantUse = "mobu-processor: can't use the configuration ";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string lastErrorLine; ///< "" : nothing on standard error
        std::string out;           ///< in standard output
    } cases[] = {
        {{"--help"}, 0, "", "usage: mobu-processor"},
        {{"--playback=nosuch", "--config=" + config}, 3, "mobu-processor: can't open the playback device nosuch", ""},
        {{"--capture=nosuch", "--config=" + config}, 3, "mobu-processor: can't open the capture device nosuch", ""},
        {{"--config=" + dir + "/none.conf"},
         4,
         cantUse + dir + "/none.conf: can't read " + dir + "/none.conf: No such file or directory (-2)",
         ""},
        {{"--config=/dev/zero"},
         4,
         cantUse + "/dev/zero: can't read /dev/zero: it is not a regular file of at most 1 MiB (-41023)",
         ""},
        {{"--config=" + dir + "/pipe.conf"},
         4,
         cantUse + dir + "/pipe.conf: can't read " + dir +
             "/pipe.conf: it is not a regular file of at most 1 MiB (-41023)",
         ""},
        {{"--config=" + noMixer},
         4,
         cantUse + noMixer +
             ": can't open the mixer device nosuch (key MobuFullDuplexFIR.mixerDevice): No such file or directory (-2)",
         ""},
        {{"--config=" + compound},
         4,
         cantUse + compound +
             ": the key MobuFullDuplexFIR.mixerDevice can't be used: it holds a compound, not a value (-41021)",
         ""},
        {{"--config=" + lostFifo},
         4,
         cantUse + lostFifo + ": can't create the FIFO " + dir +
             "/none/levels (key MobuFullDuplexFIR.fifopath): No such file or directory (-2)",
         ""},
        {{"--config=" + relativeFifo},
         4,
         cantUse + relativeFifo +
             ": the FIFO path \"7\" (key MobuFullDuplexFIR.fifopath) is not an absolute path (-22)",
         ""},
        {{"--config=" + badGuard},
         4,
         cantUse + badGuard + ": the output guard file " + dir +
             "/guard.json: outputs[0].maxLevel: 3 is not a level in dBFS from -200 to 0 (key "
             "MobuFullDuplexFIR.guard) (-1380)",
         ""},
        {{"--config=" + fastGuard},
         3,
         "mobu-processor: the output guard file " + dir +
             "/fast.json: output 7: lowpass.frequency 30000 Hz is not below half the sample rate (24000 Hz)",
         ""},
        // The devices refuse the period before any filter is built for it.
        {{"--config=" + config, "--latency=0.25"},
         3,
         "mobu-processor: the playback device mobu_playback can't take periods of 12000 frames (and a buffer of two)",
         ""},
        {{"--config=" + config, "--latency=10"}, 2, "", ""},
        {{"--config=" + config, "--rate=-4294919296"}, 2, "", ""},
        {{"--config=" + config, "--nosuch=1"}, 2, "", ""},
        {{"--config=" + config, "--rate=44100"},
         3,
         "mobu-processor: the playback device mobu_playback can't run at 44100 Hz",
         ""},
        {{"--config=" + config, "--latency=soon"}, 2, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const auto r = run(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (!c.lastErrorLine.empty()) {
            EXPECT_EQ(lastLine(r.err), c.lastErrorLine);
        }
        if (c.status == 2) {
            EXPECT_TRUE(r.err.find("bad option value\nusage: mobu-processor") != std::string::npos ||
                        r.err.find("unknown option --nosuch\nusage: mobu-processor") != std::string::npos)
                << r.err;
        }
        if (c.status == 0) {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    }
}

TEST_F(Host, DefaultDevicesRunUntilSigtermDrainsInOrder) {
    // A busy machine may over/under-run and the program then starts the processor again:
    // such a run is tried again (up to three times); the last is checked for what load can't change.
    for (int attempt = 1;; ++attempt) {
        mobutest::Child processor(command({"--config=" + config, "--verbose"}), board->environment());
        const auto waitForError = [&](const std::string& what) {
            for (int i = 0; i < 2000; ++i) {
                if (processor.errorSoFar().find(what) != std::string::npos) return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return false;
        };
        ASSERT_TRUE(waitForError("creating filters done")) << processor.errorSoFar();
        processor.signal(SIGUSR1);
        const bool reloaded = waitForError("SIGUSR1 SUCCESS: Gains reloaded successfully");
        processor.signal(SIGTERM);
        const auto r = processor.wait(std::chrono::seconds(30));
        EXPECT_EQ(r.status, 0) << r.err;
        const bool disturbed = r.err.find("XRUN detected") != std::string::npos;
        if (disturbed && attempt < 3) continue;
        const size_t shutdown = r.err.find("Processing shutdown signal"), exiting = r.err.find("process exiting"),
                     destructor = r.err.rfind("Starting destructor"),
                     cleaned = r.err.rfind("Cleanup completed successfully");
        ASSERT_NE(shutdown, std::string::npos) << r.err;
        ASSERT_NE(exiting, std::string::npos) << r.err;
        EXPECT_LT(shutdown, exiting);
        EXPECT_LT(r.err.rfind("process exiting"), destructor)
            << "the audio thread's last lines come before the destructor's";
        EXPECT_LT(destructor, cleaned);
        if (disturbed) {
            printf("over/under-runs in 3 runs: the reload and the count of shutdown notices are not checked\n");
            break;
        }
        EXPECT_TRUE(reloaded) << r.err;
        // One period of fade-out and four of silence: the signal is seen in six calls.
        EXPECT_EQ(count(r.err, "Processing shutdown signal"), 6);
        break;
    }
}

TEST_F(Host, SigintEndsTheProcessorAtOnceAtEveryStage) {
    // A filter whose build takes seconds (2 s for 8 channels of 2^19 taps on a quiet machine).
    const Eigen::Index taps = Eigen::Index(1) << 19;
    {
        Eigen::MatrixXd h = Eigen::MatrixXd::Random(taps, 8) * 0.01;
        for (Eigen::Index k = 0; k < taps; ++k)
            h.row(k) *= std::exp(-5.0 * static_cast<double>(k) / static_cast<double>(taps));
        h.row(0).setConstant(0.5);
        ASSERT_EQ(writeAudioFile(dir + "/big.wav", 48000, h), 0);
    }
    const std::string loading = "Loading the coefficients of 8 channels";
    const struct Stage {
        const char* name;
        bool lockstep;        ///< in lock-step the programme capture gives nothing while nothing plays
        bool bigFirst;        ///< the configuration names the big filter
        bool rewrite;         ///< the big filter is renamed over the small one once audio runs
        std::string signalAt; ///< the log line after which SIGINT is sent (its count-th time)
        int count;
        bool abandons; ///< the signal finds a build in progress, which is abandoned
    } stages[] = {
        {"the capture has stalled", true, false, false, "not linking capture/playback", 1, false},
        {"the first filter set is built", false, true, false, loading, 1, true},
        {"a rewritten filter file is built", false, false, true, loading, 2, true},
        {"audio runs", false, false, false, "FIFO backlog detected", 1, false},
    };
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.name);
        std::string text = mobutest::readFile(config);
        if (stage.bigFirst) text.replace(text.find(dir + "/filters.wav"), dir.size() + 12, dir + "/big.wav");
        mobutest::writeFile(dir + "/stage.conf", text);
        std::unique_ptr<LoopbackBoard> lockstep;
        if (stage.lockstep) {
            lockstep = std::make_unique<LoopbackBoard>(std::vector<std::string>{"--mode", "lockstep"});
            ASSERT_TRUE(lockstep->ok()) << lockstep->generator().err;
        }
        mobutest::Child processor(command({"--config=" + dir + "/stage.conf", "--verbose"}),
                                  (lockstep ? *lockstep : *board).environment());
        const auto await = [&](const std::string& what, int times) {
            for (int i = 0; i < 6000; ++i) { // 60 s
                if (count(processor.errorSoFar(), what) >= times) return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return false;
        };
        if (stage.rewrite) {
            ASSERT_TRUE(await("FIFO backlog detected", 1)) << processor.errorSoFar(); // audio runs
            mobutest::writeFile(dir + "/next.wav", mobutest::readFile(dir + "/big.wav"));
            ASSERT_EQ(rename((dir + "/next.wav").c_str(), (dir + "/filters.wav").c_str()), 0);
        }
        ASSERT_TRUE(await(stage.signalAt, stage.count)) << processor.errorSoFar();
        const auto stop = std::chrono::steady_clock::now();
        processor.signal(SIGINT);
        const auto r = processor.wait(std::chrono::seconds(120));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count();
        EXPECT_EQ(r.status, 0) << r.err;
        // 0.5 s on a quiet machine (README); a busy one gets more.
        EXPECT_LT(seconds, 2.0) << r.err;
        if (stage.abandons) {
            EXPECT_NE(r.err.find("stopped while building from"), std::string::npos) << r.err;
        }
        printf("SIGINT to exit while %s: %.3f s\n", stage.name, seconds);
        if (stage.rewrite) { // the small filter again for the next stage
            Eigen::MatrixXd h = Eigen::MatrixXd::Zero(4096, 8);
            h.row(0).setConstant(0.5);
            ASSERT_EQ(writeAudioFile(dir + "/filters.wav", 48000, h), 0);
        }
    }
}

TEST_F(Host, OverAndUnderRunsNeverEndTheServiceItBacksOffAndAStopEndsTheWaitAtOnce) {
    // One frame per period: no machine keeps up, every run drains after an underrun at once.
    mobutest::Child processor(command({"--config=" + config, "--latency=0.00000001", "--verbose"}),
                              board->environment());
    const std::string fourth =
        "(4 so far, 4 in a row within 2 s of their start), starting the processor again in 1600 ms";
    bool waiting = false;
    for (int i = 0; i < 6000 && !waiting; ++i) { // 60 s
        waiting = processor.errorSoFar().find(fourth) != std::string::npos;
        if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(waiting) << processor.errorSoFar();
    const auto stop = std::chrono::steady_clock::now();
    processor.signal(SIGINT); // during the 1.6 s wait
    const auto r = processor.wait(std::chrono::seconds(30));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(seconds, 1.0) << "the wait before the next start ended at SIGINT";
    for (const char* wait : {"in 200 ms", "in 400 ms", "in 800 ms"})
        EXPECT_EQ(count(r.err, wait), 1) << wait << r.err;
    EXPECT_EQ(r.err.find("giving up"), std::string::npos) << r.err;
    // The fourth run's last status: three restarts before it, and at least one over/under-run each.
    const std::string status = mobutest::readFile(dir + "/status.json");
    EXPECT_NE(status.find("\"running\": false"), std::string::npos) << status;
    EXPECT_NE(status.find("\"restarts\": 3,"), std::string::npos) << status;
    const std::string key = "\"xruns\": ";
    const size_t xruns = status.find(key);
    ASSERT_NE(xruns, std::string::npos) << status;
    EXPECT_GE(std::atoi(status.c_str() + xruns + key.size()), 4) << status;
}

namespace {
/// How many threads of a process run above real-time priority 10 (the audio thread and its team).
int threadsAbovePriority10(pid_t pid) {
    int n = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        const std::string stat = mobutest::readFile(task.path().string() + "/stat");
        if (stat.empty()) continue;                                  // the thread has gone
        std::istringstream fields(stat.substr(stat.rfind(')') + 2)); // from the state (field 3) on
        std::string field;
        long priority = 0;
        for (int k = 3; k <= 40 && fields >> field; ++k)
            if (k == 40) priority = std::atol(field.c_str()); // rt_priority
        n += priority > 10;
    }
    return n;
}
} // namespace

TEST_F(Host, AfterARestartOnlyTheAudioThreadAndItsTeamRunAboveTheHelpers) {
    mobutest::Child processor(command({"--config=" + config, "--verbose"}), board->environment());
    const auto await = [&](const std::string& what, int times) {
        for (int i = 0; i < 6000; ++i) { // 60 s
            if (count(processor.errorSoFar(), what) >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    ASSERT_TRUE(await("FIFO backlog detected", 1)) << processor.errorSoFar(); // audio runs
    const int first = threadsAbovePriority10(processor.id());
    // Stopped for 0.2 s the devices over/under-run; the program builds the processor again
    // on its audio thread, whose priority every thread it starts inherits.
    processor.signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    processor.signal(SIGCONT);
    ASSERT_TRUE(await("FIFO backlog detected", 2)) << processor.errorSoFar();
    ASSERT_GE(count(processor.errorSoFar(), "starting the processor again"), 1) << processor.errorSoFar();
    EXPECT_EQ(threadsAbovePriority10(processor.id()), first) << "the control thread runs above 10";
    EXPECT_GE(first, 1);
    processor.signal(SIGINT);
    EXPECT_EQ(processor.wait(std::chrono::seconds(60)).status, 0);
}

TEST_F(Host, AMeteringReaderThatFallsBehindIsOneEpisodeInTheLogWithItsCount) {
    // A page reading the levels a few times a second: the processor writes every 10 ms.
    mobutest::Child processor(command({"--config=" + config, "--verbose"}), board->environment());
    bool started = false;
    for (int i = 0; i < 6000 && !started; ++i) {
        started = processor.errorSoFar().find("not linking capture/playback") != std::string::npos;
        if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(started) << processor.errorSoFar();
    const int fd = ::open((dir + "/levels").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char record[56];
    int reads = 0;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         std::chrono::steady_clock::now() < end; ++reads) {
        const ssize_t got = ::read(fd, record, sizeof record);
        ASSERT_GE(got, 0) << strerror(errno);
        // No writer for a moment: the processor reopens the pipe when it restarts its stream.
        if (got == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        ASSERT_EQ(got, static_cast<ssize_t>(sizeof record));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    processor.signal(SIGINT);
    const auto r = processor.wait(std::chrono::seconds(60));
    ::close(fd);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t at = r.err.find("FIFO backlog"); at != std::string::npos; at = r.err.find("FIFO backlog", at + 1))
        lines.push_back(r.err.substr(at, r.err.find('\n', at) - at));
    // A restart of the stream (an xrun on a slow machine) ends one run and its episode.
    const size_t runs = 1 + static_cast<size_t>(count(r.err, "starting the processor again"));
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_LE(lines.size(), 3u * runs) << "one line when it starts, one when it ends (" << reads << " reads)";
    EXPECT_NE(lines.front().find("FIFO backlog detected: bytes=56"), std::string::npos) << lines.front();
    // The closing lines sum the episodes up: most of the 300 periods found the last record unread.
    int unread = 0;
    for (const std::string& line : lines)
        if (const size_t periods = line.find(" periods in "); periods != std::string::npos)
            unread += std::atoi(line.c_str() + line.rfind(": ", periods) + 2);
    EXPECT_GT(unread, 150) << r.err;
}

} // namespace
