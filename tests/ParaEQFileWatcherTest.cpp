// The equaliser's switch hand-over and its file watcher: prepTransition's state
// machine, reloads driven by real inotify events in the private home, producers
// that find a switch pending, the watch thread's priority cap, and a consumer
// thread running blocks while the file is rewritten hundreds of times.
#include "PlantedPaths.h"
#include "TestSupport.h"

#include <MobuEmbedded/MobuDebug.h>
#include <MobuEmbedded/ParaEQFileWatcher.h>
#include <SafeFile.h>
#include <ThreadPriority.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {
const double fs = 48000.0;
const int blockLength = 2048; // long enough for both settings' responses to die out within a block

// Two settings whose sections all differ, so a cascade mixing them matches neither.
const std::string settingsA =
    R"([{"type": "BPF", "Fc": 1000, "dB": 6, "Q": 1}, {"type": "BPF", "Fc": 5000, "dB": -4, "Q": 2}])";
const std::string settingsB =
    R"([{"type": "BPF", "Fc": 2000, "dB": -6, "Q": 1.5}, {"type": "BPF", "Fc": 8000, "dB": 3, "Q": 1}])";

Eigen::ArrayXd impulse(Eigen::Index n = blockLength) {
    Eigen::ArrayXd x = Eigen::ArrayXd::Zero(n);
    x[0] = 1.0;
    return x;
}

/// Impulse response of settings at fs, from an equaliser of its own (no switching involved).
Eigen::ArrayXd referenceResponse(const std::string& json, double rate = fs) {
    ParaEQ eq;
    eq.setFS(rate);
    eq.reset(0);
    std::istringstream is(json);
    EXPECT_EQ(eq.fromJSON(is), 0);
    EXPECT_EQ(eq.genImpulseResponse(blockLength), 0);
    return eq.getImpulseResponse();
}

/// What the equaliser in force makes of an impulse block (the audio thread's view).
Eigen::ArrayXd respond(ParaEQ& eq) {
    Eigen::ArrayXd y(blockLength);
    EXPECT_EQ(eq.process(impulse(), y), 0);
    return y;
}

/// Equal but for the vanishing tail a cascade carries over from its previous block.
bool near(const Eigen::ArrayXd& a, const Eigen::ArrayXd& b) {
    return a.size() == b.size() && (a - b).abs().maxCoeff() < 1e-9;
}

/// Waits (bounded) until condition() holds; false on time-out.
template <class Condition> bool waitFor(Condition condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string mobuPath(const std::string& name) {
    mkdir((mobutest::testHome() + "/.mobu").c_str(), 0700);
    return mobutest::testHome() + "/.mobu/" + name;
}

/// Replaces path by a complete new file, the way atomic writers save.
void replaceFile(const std::string& path, const std::string& text) {
    const std::string spare = mobutest::testHome() + "/replacement.tmp";
    mobutest::writeFile(spare, text);
    ASSERT_EQ(rename(spare.c_str(), path.c_str()), 0);
}

/// The lines prepTransition prints first on the calling thread.
std::string prepTransitionHeader() {
    int policy = 0;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    char line[160];
    snprintf(line, sizeof line,
             "prepTransition\nALSA::Stream::changeThreadPriority : Current thread policy %d and priority %d\n"
             "FullDuplexFIR::prepTransition thread priority %d\n",
             policy, param.sched_priority, param.sched_priority);
    return line;
}

/// Opens a test's view of the equaliser's two halves.
class ProbeEQ : public ParaEQ {
public:
    const IIRCascade* active() { return activeBuffer(); }
    const IIRCascade* target() { return targetBuffer(); }
    const IIRCascade* half(int i) { return &buffer(i); }
    IIRCascade& inactive() { return *inactiveBuffer(); }
};

/// A watcher that notes when it has reloaded a file that held finalText from the start of the reload.
class FinalReloadProbe : public ParaEQFileWatcher {
public:
    std::string finalText; ///< set before the thread runs
    std::atomic<bool> reloadedFinal{false};
    void closeWrite(char* name) override {
        const bool final = mobutest::readFile(getFileName()) == finalText;
        ParaEQFileWatcher::closeWrite(name); // returns once the audio thread has switched
        if (final) reloadedFinal.store(true);
    }
};

/// A watcher that records the scheduling its thread has once threadMain has capped it.
class StartProbe : public ParaEQFileWatcher {
public:
    std::atomic<int> policy{-1}, priority{-1};
    void fileWatchThreadedStarting() override {
        int p = 0;
        const int prio = ALSA::getThreadPriority(p, false);
        policy.store(p);
        priority.store(prio);
    }
};
} // namespace

// ---------------------------------------------------------------- switch state machine

TEST(ParaEQSwitch, PrepTransitionTwiceThenCompletionAndTheNextTargetIsTheFormerlyActiveHalf) {
    ProbeEQ eq;
    const std::string header = prepTransitionHeader();
    EXPECT_EQ(eq.active(), eq.half(0));
    EXPECT_FALSE(eq.transitionPending());
    EXPECT_FALSE(eq.completeTransition()); // nothing to complete

    CaptureStdout();
    EXPECT_EQ(eq.prepTransition(), 0);
    EXPECT_EQ(GetCapturedStdout(), header);
    EXPECT_TRUE(eq.transitionPending());
    EXPECT_EQ(eq.target(), eq.half(1));
    EXPECT_EQ(eq.active(), eq.half(0));

    CaptureStdout();
    EXPECT_EQ(eq.prepTransition(), 0);
    EXPECT_EQ(GetCapturedStdout(), header + "ParaEQ::prepTransition : already waiting for a switch\n");
    EXPECT_EQ(eq.target(), eq.half(1));

    EXPECT_TRUE(eq.completeTransition());
    EXPECT_EQ(eq.active(), eq.half(1));
    EXPECT_FALSE(eq.transitionPending());
    EXPECT_FALSE(eq.completeTransition());

    CaptureStdout();
    EXPECT_EQ(eq.prepTransition(), 0);
    GetCapturedStdout();
    EXPECT_EQ(eq.target(), eq.half(0));
}

TEST(ParaEQSwitch, TheNewCascadeRunsOnlyAfterTheSwitchAndStartsFromSilence) {
    const Eigen::ArrayXd refA = referenceResponse(settingsA);
    ProbeEQ eq;
    eq.setFS(fs);
    eq.reset(0);
    std::istringstream is(settingsA);
    CaptureStdout();
    const int parsed = eq.fromJSON(is);
    GetCapturedStdout();
    ASSERT_EQ(parsed, 0);
    ASSERT_EQ(eq.inactive().reset(eq.getB(), eq.getA()), 0);
    Eigen::ArrayXd noise = Eigen::ArrayXd::Random(blockLength); // leaves the spare cascade's memory dirty
    ASSERT_EQ(eq.inactive().process(noise, noise), 0);

    CaptureStdout();
    EXPECT_EQ(eq.prepTransition(), 0);
    GetCapturedStdout();
    EXPECT_TRUE((respond(eq) == impulse()).all()); // the unity cascade runs until the audio thread switches
    EXPECT_TRUE(eq.completeTransition());
    EXPECT_TRUE((respond(eq) == refA).all());
}

// ---------------------------------------------------------------- the equaliser file

TEST(ParaEQFileWatcherFile, AMissingFileIsCreatedEmptyAndWatched) {
    const std::string path = mobuPath("created.json");
    mobutest::removeTree(path);
    ParaEQFileWatcher w;
    CaptureStdout();
    const int ret = w.setFileName("created.json");
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(out.rfind("17ParaEQFileWatcher\tsetFileName\n", 0), 0u) << out;
    EXPECT_EQ(w.getFileName(), path);
    EXPECT_TRUE(mobutest::exists(path));
    EXPECT_EQ(mobutest::readFile(path), "");
    EXPECT_GE(w.getWatchDescriptor(path), 0);

    // Naming another file moves the watch; a file that can't be created is not watched.
    CaptureStdout();
    const int second = w.setFileName("second.json");
    const int impossible = w.setFileName("no-such-folder/eq.json");
    GetCapturedStdout();
    EXPECT_EQ(second, 0);
    EXPECT_LT(impossible, 0);
    EXPECT_FALSE(mobutest::exists(mobuPath("no-such-folder/eq.json")));
    EXPECT_EQ(w.getWatchDescriptor(path), -1);
}

TEST(ParaEQFileWatcherFile, NamesLeavingTheFolderAndPlantedPathsAreRefusedAbsolutePathsAreUsed) {
    ParaEQFileWatcher w;
    const auto name = [&w](const std::string& n, std::string& err) {
        CaptureStdout();
        CaptureStderr();
        const int r = w.setFileName(n);
        err = GetCapturedStderr();
        GetCapturedStdout();
        return r;
    };
    std::string err;
    const std::string dir = mobutest::makeTempDir("eqnames");
    for (const std::string& bad : {std::string("../escape.json"), std::string("sub/eq.json"), std::string(".."),
                                   std::string(""), dir + "/../escape.json"}) {
        EXPECT_EQ(name(bad, err), MOBU_FILENAME_ERROR) << bad;
        EXPECT_NE(err.find("\"" + bad + "\""), std::string::npos) << err;
    }
    EXPECT_FALSE(mobutest::exists(mobuPath("../escape.json")));
    EXPECT_FALSE(mobutest::exists(dir + "/../escape.json"));

    // Something other than a regular file at the name is left as it is, the link's target uncreated.
    for (const mobutest::Planted kind : mobutest::plantableKinds()) {
        if (kind == mobutest::Planted::link) continue; // a link to a regular file is read through
        SCOPED_TRACE(mobutest::plantedName(kind));
        mobutest::Plant plant;
        ASSERT_TRUE(plant.make(kind, mobuPath("planted.json")));
        EXPECT_EQ(name("planted.json", err), SAFEFILE_NOT_REGULAR_ERROR);
        EXPECT_NE(err.find("the equaliser file " + plant.path + " is not a regular file"), std::string::npos) << err;
        EXPECT_TRUE(plant.untouched());
        EXPECT_EQ(w.getWatchDescriptor(plant.path), -1);
        plant.remove();
    }

    // An absolute path is used as it is: created there (empty) and watched.
    EXPECT_EQ(name(dir + "/eq.json", err), 0) << err;
    EXPECT_EQ(w.getFileName(), dir + "/eq.json");
    EXPECT_EQ(mobutest::readFile(dir + "/eq.json"), "");
    EXPECT_GE(w.getWatchDescriptor(dir + "/eq.json"), 0);
    mobutest::removeTree(dir);
}

TEST(ParaEQFileWatcherReload, RewritingTheFileRequestsASwitchToItsSettings) {
    const Eigen::ArrayXd refA = referenceResponse(settingsA);
    mobutest::removeTree(mobuPath("live.json"));
    ParaEQFileWatcher w;
    w.setFS(fs);
    CaptureStdout();
    const int named = w.setFileName("live.json"); // created empty, watched
    const int ran = w.run();
    mobutest::writeFile(w.getFileName(), settingsA);
    const bool pending = waitFor([&] { return w.transitionPending(); });
    const std::string out = GetCapturedStdout();
    ASSERT_EQ(named, 0);
    ASSERT_EQ(ran, 0);
    ASSERT_TRUE(pending);
    EXPECT_NE(out.find("closeWrite\nrefreshParaEQ\n"), std::string::npos) << out;
    EXPECT_TRUE(near(respond(w), impulse())); // the running cascade is untouched until the switch
    EXPECT_TRUE(w.completeTransition());
    EXPECT_TRUE((respond(w) == refA).all());
    EXPECT_FALSE(w.reloadOwed());
}

TEST(ParaEQFileWatcherReload, ASwitchLeftWaitingAloneHasItsPartnerReloadSoBothSwitchTogether) {
    // As when the file system hands one watcher two rewrites and the other one merged event:
    // here the partner's thread doesn't run at all, so only the nudge can bring it along.
    const Eigen::ArrayXd refA = referenceResponse(settingsA);
    mobutest::removeTree(mobuPath("paired.json"));
    ParaEQFileWatcher a, b;
    CaptureStdout();
    for (ParaEQFileWatcher* w : {&a, &b}) {
        w->setFS(fs);
        ASSERT_EQ(w->setFileName("paired.json"), 0);
    }
    a.pairWith(&b);
    b.pairWith(&a);
    ASSERT_EQ(a.run(), 0);
    mobutest::writeFile(a.getFileName(), settingsA);
    const bool both = waitFor([&] { return a.transitionPending() && b.transitionPending(); });
    GetCapturedStdout();
    ASSERT_TRUE(both) << "a pending " << a.transitionPending() << ", b pending " << b.transitionPending();
    EXPECT_TRUE(a.completeTransition());
    EXPECT_TRUE(b.completeTransition());
    EXPECT_TRUE((respond(a) == refA).all());
    EXPECT_TRUE((respond(b) == refA).all());
    a.stop();
}

TEST(ParaEQFileWatcherReload, AnInvalidDocumentSwitchesToPassThroughWithoutResettingTheRunningCascade) {
    const Eigen::ArrayXd refA = referenceResponse(settingsA);
    const std::string path = mobuPath("invalid.json");
    mobutest::writeFile(path, settingsA);
    ParaEQFileWatcher w;
    w.setFS(fs);
    CaptureStdout();
    const int named = w.setFileName("invalid.json");
    w.refreshParaEQ();
    w.completeTransition();
    const int ran = w.run();
    GetCapturedStdout();
    ASSERT_EQ(named, 0);
    ASSERT_EQ(ran, 0);
    ASSERT_TRUE((respond(w) == refA).all());

    CaptureStdout();
    CaptureStderr();
    mobutest::writeFile(path, "[{\"type\": ");
    const bool pending = waitFor([&] { return w.transitionPending(); });
    const std::string err = GetCapturedStderr();
    const std::string out = GetCapturedStdout();
    ASSERT_TRUE(pending);
    EXPECT_NE(out.find("Couldn't load filters from " + path + " using an impulse for this channel\n"),
              std::string::npos)
        << out;
    EXPECT_NE(err.find("Error : -1357"), std::string::npos) << err;
    EXPECT_TRUE(near(respond(w), refA)); // still the old settings, memory and all, until the switch
    EXPECT_TRUE(w.completeTransition());
    EXPECT_TRUE((respond(w) == impulse()).all());
}

// ---------------------------------------------------------------- a switch still pending

TEST(ParaEQFileWatcherPending, ARewriteWaitsForThePendingSwitchThenLoadsTheNewFile) {
    const Eigen::ArrayXd refA = referenceResponse(settingsA), refB = referenceResponse(settingsB);
    const std::string path = mobuPath("pending.json");
    mobutest::writeFile(path, settingsA);
    ParaEQFileWatcher w;
    w.setFS(fs);
    CaptureStdout();
    const int named = w.setFileName("pending.json");
    w.refreshParaEQ(); // settings A wait for the audio thread
    const int ran = w.run();
    mobutest::writeFile(path, settingsB);
    const bool owed = waitFor([&] { return w.reloadOwed(); }); // the watch thread has the event and waits
    const bool stillPending = w.transitionPending();
    const bool switchedToA = w.completeTransition();
    const Eigen::ArrayXd first = respond(w); // runs while the watch thread builds B into the other half
    const bool pendingB = waitFor([&] { return w.transitionPending(); });
    const bool switchedToB = w.completeTransition();
    const std::string out = GetCapturedStdout();
    ASSERT_EQ(named, 0);
    ASSERT_EQ(ran, 0);
    ASSERT_TRUE(owed);
    EXPECT_TRUE(stillPending);
    EXPECT_TRUE(switchedToA);
    EXPECT_TRUE((first == refA).all()); // nothing was built into the pending half
    ASSERT_TRUE(pendingB);
    EXPECT_TRUE(switchedToB);
    EXPECT_TRUE((respond(w) == refB).all());
    EXPECT_FALSE(w.reloadOwed());
    EXPECT_EQ(out.find("already waiting for a switch"), std::string::npos) << out;
}

TEST(ParaEQFileWatcherPending, AnOwnerReloadDuringASwitchIsOwedAndDoneByTheNextCall) {
    const Eigen::ArrayXd refA = referenceResponse(settingsA), refB = referenceResponse(settingsB);
    const std::string path = mobuPath("owed.json");
    mobutest::writeFile(path, settingsA);
    ParaEQFileWatcher w; // no watch thread
    w.setFS(fs);
    CaptureStdout();
    const int named = w.setFileName("owed.json");
    w.refreshParaEQ();
    mobutest::writeFile(path, settingsB);
    const int again = w.refreshParaEQ();
    const std::string out = GetCapturedStdout();
    ASSERT_EQ(named, 0);
    EXPECT_EQ(again, 0);
    EXPECT_NE(out.find("refreshParaEQ : a switch is still pending, the file is loaded once it is done\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(w.reloadOwed());
    EXPECT_TRUE(w.completeTransition());
    EXPECT_TRUE((respond(w) == refA).all());

    CaptureStdout();
    w.refreshParaEQ();
    GetCapturedStdout();
    EXPECT_FALSE(w.reloadOwed());
    EXPECT_TRUE(w.completeTransition());
    EXPECT_TRUE((respond(w) == refB).all());

    // Without a file name the load fails as usual, but nothing is built and no switch is requested.
    ParaEQFileWatcher unnamed;
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(unnamed.refreshParaEQ(), 0);
    EXPECT_EQ(GetCapturedStderr(), "Error : -1356 Problem when using the file name, is it empty, did you set it ?  ");
    EXPECT_NE(GetCapturedStdout().find("Couldn't load filters from  using an impulse for this channel\n"),
              std::string::npos);
    EXPECT_FALSE(unnamed.transitionPending());
}

TEST(ParaEQFileWatcherPending, TheWatchThreadPerformsAReloadOwedBeforeItStarted) {
    // The first build runs at another sample rate, so only a rebuild gives settings A at fs.
    const Eigen::ArrayXd refA = referenceResponse(settingsA);
    const std::string path = mobuPath("owed-start.json");
    mobutest::writeFile(path, settingsA);
    ParaEQFileWatcher w;
    w.setFS(fs / 2);
    CaptureStdout();
    const int named = w.setFileName("owed-start.json");
    w.refreshParaEQ();
    w.setFS(fs);
    w.refreshParaEQ(); // owed: a switch is pending and no file event will come
    const bool owed = w.reloadOwed();
    const int ran = w.run();
    const bool switchedToHalfRate = w.completeTransition();
    const Eigen::ArrayXd halfRate = respond(w);
    const bool rebuilt = waitFor([&] { return w.transitionPending(); });
    const std::string out = GetCapturedStdout();
    ASSERT_EQ(named, 0);
    ASSERT_EQ(ran, 0);
    EXPECT_TRUE(owed);
    EXPECT_TRUE(switchedToHalfRate);
    EXPECT_FALSE(near(halfRate, refA));
    ASSERT_TRUE(rebuilt) << out;
    EXPECT_TRUE(w.completeTransition());
    EXPECT_TRUE((respond(w) == refA).all());
    EXPECT_FALSE(w.reloadOwed());
}

TEST(ParaEQFileWatcherPending, StoppingEndsAWaitAndTheReloadStaysOwed) {
    const std::string path = mobuPath("stopped.json");
    mobutest::writeFile(path, settingsA);
    ParaEQFileWatcher w;
    w.setFS(fs);
    CaptureStdout();
    const int named = w.setFileName("stopped.json");
    w.refreshParaEQ();
    const int ran = w.run();
    mobutest::writeFile(path, settingsB);
    const bool owed = waitFor([&] { return w.reloadOwed(); });
    const int stopped = w.stop(); // no audio thread will ever complete the switch
    GetCapturedStdout();
    ASSERT_EQ(named, 0);
    ASSERT_EQ(ran, 0);
    ASSERT_TRUE(owed);
    EXPECT_EQ(stopped, 0);
    EXPECT_FALSE(w.running());
    EXPECT_TRUE(w.reloadOwed()); // for the next refreshParaEQ or run()
}

// ---------------------------------------------------------------- the watch thread

TEST(ParaEQFileWatcherThread, ARealTimePriorityAboveTenIsLoweredToTen) {
    const std::string fifo = std::to_string(SCHED_FIFO);
    for (const int start : {20, 5}) {
        SCOPED_TRACE("started at " + std::to_string(start));
        StartProbe w;
        CaptureStdout();
        const int ran = w.run(start);
        const bool began = waitFor([&] { return w.priority.load() >= 0; });
        w.stop();
        const std::string out = GetCapturedStdout();
        ASSERT_EQ(ran, 0);
        ASSERT_TRUE(began);
        const std::string current =
            "ALSA::Stream::changeThreadPriority : Current thread policy " + fifo + " and priority ";
        const std::string line = "FullDuplexFIR::threadMain thread priority ";
        if (out.rfind(current + std::to_string(start) + "\n", 0) != 0)
            GTEST_SKIP() << "this system refuses SCHED_FIFO threads: " << out;
        const std::string s = std::to_string(start);
        if (start > 10) {
            EXPECT_EQ(out, current + s + "\n" + line + s + "\n" + line + s + "\n" + current + s + "\n" +
                               "ALSA::Stream::changeThreadPriority : New thread priority changed to 10\n" +
                               "FullDuplexFIR::threadMain change thread priority result =  0\n" + line + "10\n");
        } else {
            EXPECT_EQ(out, current + s + "\n" + line + s + "\n" + line + s + "\n");
        }
        EXPECT_EQ(w.policy.load(), SCHED_FIFO);
        EXPECT_EQ(w.priority.load(), std::min(start, 10));
    }
}

// ---------------------------------------------------------------- a consumer and a busy producer

// The test thread rewrites the file 301 times, alternately with settings B and A
// (B last), each a complete file renamed over the old one; a consumer thread
// runs impulse blocks through the equaliser as the audio thread does,
// completing every switch it finds.  Every block must be the response of A or
// of B, never of half-built or mixed coefficients, and B must end up in force.
// ThreadSanitizer reports any write to a cascade the consumer is reading.
TEST(ParaEQFileWatcherStress, EveryBlockIsOneWholeSettingAndTheLastFileEndsUpInForce) {
    const Eigen::ArrayXd refs[2] = {referenceResponse(settingsA), referenceResponse(settingsB)};
    ASSERT_FALSE(near(refs[0], refs[1]));
    const std::string path = mobuPath("stress.json");
    mobutest::writeFile(path, settingsA);

    FinalReloadProbe w;
    w.finalText = settingsB + "\n"; // settings B; the text tells the last file from the earlier ones
    w.setFS(fs);
    CaptureStdout(); // hundreds of reloads print their trace
    const int named = w.setFileName("stress.json");
    w.refreshParaEQ();
    w.completeTransition(); // settings A in force before audio starts
    const int ran = w.run();

    std::atomic<bool> stopConsumer{false};
    std::atomic<long> blocks{0}, switches{0}, mixed{0}, seenA{0}, seenB{0};
    std::thread consumer([&] {
        const Eigen::ArrayXd in = impulse();
        Eigen::ArrayXd out(blockLength);
        while (!stopConsumer.load(std::memory_order_acquire)) {
            if (w.completeTransition()) ++switches;
            const bool processed = w.process(in, out) == 0;
            if (processed && near(out, refs[0]))
                ++seenA;
            else if (processed && near(out, refs[1]))
                ++seenB;
            else
                ++mixed;
            ++blocks;
            std::this_thread::yield();
        }
    });

    const bool consuming = waitFor([&] { return blocks.load() > 0; });
    const int writes = 301;
    for (int i = 0; i + 1 < writes; ++i)
        replaceFile(path, i % 2 == 0 ? settingsB : settingsA);
    replaceFile(path, w.finalText);
    // Once a reload that began after the last write is done, every later one reads that file too.
    const bool settled = waitFor([&] { return w.reloadedFinal.load(); }, std::chrono::seconds(120));
    w.stop();
    stopConsumer.store(true, std::memory_order_release);
    consumer.join();
    GetCapturedStdout();

    ASSERT_EQ(named, 0);
    ASSERT_EQ(ran, 0);
    EXPECT_TRUE(consuming);
    EXPECT_TRUE(settled);
    w.completeTransition(); // a reload still under way when stopped read the last file too
    const Eigen::ArrayXd inForce = respond(w);
    EXPECT_TRUE(near(inForce, refs[1])) << "settings A: " << near(inForce, refs[0]) << ", response starts "
                                        << inForce.head(4).transpose();
    EXPECT_EQ(mixed.load(), 0) << "of " << blocks.load() << " blocks";
    EXPECT_GT(seenA.load(), 0);
    EXPECT_GT(seenB.load(), 0);
    EXPECT_GE(switches.load(), 2);
}
