// ALSA::Mixer, ALSA::MixerElement and ALSA::MixerEvents against the virtual board,
// with amixer changing the controls from other processes.
#include "TestSupport.h"

#include <ALSADebug.h>
#include <ALSAMixer.h>
#include <ALSAMixerEvents.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <pthread.h>

namespace {

mobutest::ProcessResult amixer(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/amixer", "-D", "board"});
    return mobutest::runProcess(args);
}

class BoardMixer : public testing::Test {
protected:
    void SetUp() override {
        dir = mobutest::makeTempDir("mixer");
        const auto r = mobutest::runProcess({MOBU_BOARD_CONFIG, dir});
        ASSERT_EQ(r.status, 0) << r.err;
        setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
    }
    void TearDown() override { mobutest::removeTree(dir); }
    std::string dir;
};

/// What the event thread reported: element names with the value read in the hook.
struct Report {
    std::string name;
    double dB = 0;
    int sw = -1;
};

/// Records the hooks' calls; the test thread waits on them with a bound.
class RecordingMixer : public ALSA::MixerEvents {
public:
    ~RecordingMixer() override { stopEvents(); }

    void mixerEventsStarting() override {
        std::lock_guard<std::mutex> l(m);
        ++starts;
        startedOnOtherThread = !pthread_equal(pthread_self(), testThread);
        startedBeforeEvents = reports.empty();
    }

    int handleValueEvents(ALSA::MixerElement& e) override {
        Report r;
        r.name = e.getName();
        if (e.hasPlaybackVolume()) e.getPlaybackDB(r.dB);
        if (e.hasPlaybackSwitch()) e.getPlaybackSwitch(r.sw);
        if (rescanInHook) {
            // A hook may rebuild the element list; the remaining reports of this
            // wake-up are dropped, later ones arrive as usual.
            scanMixer();
            r.name += getElement(r.name) ? " (found after rescan)" : " (lost)";
        }
        std::lock_guard<std::mutex> l(m);
        reports.push_back(r);
        cv.notify_all();
        return 0;
    }

    /// Waits up to 10 s for a report about `name`; removes and returns it.
    bool waitFor(const std::string& name, Report& out) {
        std::unique_lock<std::mutex> l(m);
        const bool found = cv.wait_for(l, std::chrono::seconds(10), [&] {
            for (const auto& r : reports)
                if (r.name == name) return true;
            return false;
        });
        for (auto it = reports.begin(); found && it != reports.end(); ++it)
            if (it->name == name) {
                out = *it;
                reports.erase(it);
                break;
            }
        return found;
    }

    std::vector<Report> takeReports() {
        std::lock_guard<std::mutex> l(m);
        return std::move(reports);
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<Report> reports;
    int starts = 0;
    bool startedOnOtherThread = false, startedBeforeEvents = false;
    std::atomic<bool> rescanInHook{false};
    const pthread_t testThread = pthread_self();
};

} // namespace

TEST_F(BoardMixer, FindsElementsWithTheirChannelsDbAndSwitches) {
    ALSA::Mixer mixer;
    ASSERT_EQ(mixer.open("board"), 0);
    EXPECT_TRUE(mixer.isOpen());
    EXPECT_EQ(mixer.getDeviceName(), "board");
    EXPECT_EQ(mixer.getElementNames().size(), 41u);

    for (int n = 0; n < 8; ++n) {
        const std::string g = "Gain " + std::to_string(n);
        ALSA::MixerElement* gain = mixer.getElement(g);
        ASSERT_NE(gain, nullptr) << g;
        EXPECT_EQ(gain->getName(), g);
        EXPECT_EQ(gain->getPlaybackChannelCount(), 1);
        double dB = 99, lo = 0, hi = 0;
        EXPECT_EQ(gain->getPlaybackDB(dB), 0);
        EXPECT_EQ(dB, 0.0);
        EXPECT_EQ(gain->getPlaybackDBRange(lo, hi), 0);
        EXPECT_EQ(lo, -12.0);
        EXPECT_EQ(hi, 12.0);
        for (const char* suffix : {" Mute", " Invert"}) {
            ALSA::MixerElement* sw = mixer.getElement(g + suffix);
            ASSERT_NE(sw, nullptr) << g << suffix;
            EXPECT_EQ(sw->getPlaybackChannelCount(), 1);
            EXPECT_FALSE(sw->hasPlaybackVolume());
            int value = -1;
            EXPECT_EQ(sw->getPlaybackSwitch(value), 0);
            EXPECT_EQ(value, 0);
        }
    }
    ALSA::MixerElement* hp = mixer.getElement("Headphone");
    ASSERT_NE(hp, nullptr);
    EXPECT_EQ(hp->getPlaybackChannelCount(), 2);
    double right = 1;
    EXPECT_EQ(hp->getPlaybackDB(right, SND_MIXER_SCHN_FRONT_RIGHT), 0);
    EXPECT_EQ(right, 0.0);

    // Selectors have no playback channel; reading a volume they lack fails.
    ALSA::MixerElement* mode = mixer.getElement("Mode");
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->getPlaybackChannelCount(), 0);
    double dB = 0;
    EXPECT_LT(mode->getPlaybackDB(dB), 0);
    EXPECT_EQ(mixer.getElement("Gain 9"), nullptr);
    EXPECT_EQ(mixer.getElement("Gain 0", 1), nullptr);

    mixer.close();
    EXPECT_FALSE(mixer.isOpen());
    EXPECT_EQ(mixer.getElement("Gain 0"), nullptr);
    EXPECT_EQ(mixer.scanMixer(), ALSA_MIXER_NOT_OPEN_ERROR);
    EXPECT_EQ(mixer.handleEvents(), ALSA_MIXER_NOT_OPEN_ERROR);
}

TEST_F(BoardMixer, UnknownDeviceLeavesTheMixerClosed) {
    ALSA::Mixer mixer;
    EXPECT_LT(mixer.open("no_such_board"), 0);
    EXPECT_FALSE(mixer.isOpen());
    EXPECT_TRUE(mixer.getElementNames().empty());

    ASSERT_EQ(mixer.open("board"), 0); // a failed open does not spoil the next one
    EXPECT_LT(mixer.open("no_such_board"), 0);
    EXPECT_FALSE(mixer.isOpen());
}

TEST_F(BoardMixer, ReadsValuesSetByAmixerAfterARescan) {
    ALSA::Mixer mixer;
    ASSERT_EQ(mixer.open("board"), 0);
    ASSERT_EQ(amixer({"--", "sset", "Gain 2", "-6dB"}).status, 0);
    ASSERT_EQ(amixer({"sset", "Gain 2 Mute", "on"}).status, 0);
    ASSERT_EQ(amixer({"sset", "Gain 3 Invert", "on"}).status, 0);
    ASSERT_EQ(amixer({"--", "sset", "Headphone", "-10dB,-20dB"}).status, 0);

    ASSERT_EQ(mixer.scanMixer(), 0);
    EXPECT_EQ(mixer.getElementNames().size(), 41u);
    double dB = 0;
    ASSERT_NE(mixer.getElement("Gain 2"), nullptr);
    EXPECT_EQ(mixer.getElement("Gain 2")->getPlaybackDB(dB), 0);
    EXPECT_EQ(dB, -6.0);
    int sw = 0;
    EXPECT_EQ(mixer.getElement("Gain 2 Mute")->getPlaybackSwitch(sw), 0);
    EXPECT_EQ(sw, 1);
    EXPECT_EQ(mixer.getElement("Gain 3 Invert")->getPlaybackSwitch(sw), 0);
    EXPECT_EQ(sw, 1);
    EXPECT_EQ(mixer.getElement("Gain 3 Mute")->getPlaybackSwitch(sw), 0);
    EXPECT_EQ(sw, 0);
    ALSA::MixerElement* hp = mixer.getElement("Headphone");
    EXPECT_EQ(hp->getPlaybackDB(dB, SND_MIXER_SCHN_FRONT_LEFT), 0);
    EXPECT_EQ(dB, -10.0);
    EXPECT_EQ(hp->getPlaybackDB(dB, SND_MIXER_SCHN_FRONT_RIGHT), 0);
    EXPECT_EQ(dB, -20.0);
}

TEST_F(BoardMixer, WritesReachOtherProcesses) {
    ALSA::Mixer mixer;
    ASSERT_EQ(mixer.open("board"), 0);
    EXPECT_EQ(mixer.getElement("Gain 6")->setPlaybackDB(-4.5), 0);
    EXPECT_EQ(mixer.getElement("Gain 6 Mute")->setPlaybackSwitch(1), 0);
    EXPECT_EQ(mixer.getElement("Sensitivity Gain 0")->setPlaybackDB(30.0), 0); // clamped to the range
    const std::string gain = amixer({"sget", "Gain 6"}).out;
    EXPECT_NE(gain.find("Mono: 15 [31%] [-4.50dB]"), std::string::npos) << gain;
    EXPECT_NE(amixer({"sget", "Gain 6 Mute"}).out.find("[on]"), std::string::npos);
    EXPECT_NE(amixer({"sget", "Sensitivity Gain 0"}).out.find("[24.00dB]"), std::string::npos);
}

TEST_F(BoardMixer, EventThreadReportsChangesFromAnotherProcess) {
    RecordingMixer mixer;
    ASSERT_EQ(mixer.open("board"), 0);
    EXPECT_TRUE(mixer.eventsRunning());

    ASSERT_EQ(amixer({"--", "sset", "Gain 5", "-6dB"}).status, 0);
    Report r;
    ASSERT_TRUE(mixer.waitFor("Gain 5", r));
    EXPECT_EQ(r.dB, -6.0);
    ASSERT_EQ(amixer({"sset", "Gain 6 Invert", "on"}).status, 0);
    ASSERT_TRUE(mixer.waitFor("Gain 6 Invert", r));
    EXPECT_EQ(r.sw, 1);
    {
        std::lock_guard<std::mutex> l(mixer.m);
        EXPECT_EQ(mixer.starts, 1);
        EXPECT_TRUE(mixer.startedOnOtherThread);
        EXPECT_TRUE(mixer.startedBeforeEvents);
    }
    // A write in this process, through another handle, is reported as well.
    ALSA::Mixer other;
    ASSERT_EQ(other.open("board"), 0);
    ASSERT_EQ(other.getElement("Headphone")->setPlaybackDB(-3.0), 0);
    ASSERT_TRUE(mixer.waitFor("Headphone", r));
    EXPECT_EQ(r.dB, -3.0);
    // Only the elements that changed were reported.  (A stereo element set channel
    // by channel may be reported once per channel write.)
    for (const auto& extra : mixer.takeReports())
        if (extra.name != "Headphone") ADD_FAILURE() << "unexpected event for " << extra.name;

    EXPECT_EQ(mixer.stopEvents(), 0);
    EXPECT_FALSE(mixer.eventsRunning());
    EXPECT_TRUE(mixer.isOpen());
}

TEST_F(BoardMixer, EventThreadRestartsAndSurvivesARescanInsideTheHook) {
    RecordingMixer mixer;
    ASSERT_EQ(mixer.open("board"), 0);
    ASSERT_EQ(mixer.open("board"), 0); // reopening stops and restarts the thread
    EXPECT_TRUE(mixer.eventsRunning());
    EXPECT_EQ(mixer.runEvents(), -EBUSY);

    mixer.rescanInHook = true;
    ASSERT_EQ(amixer({"sset", "Gain 1 Mute", "on"}).status, 0);
    Report r;
    EXPECT_TRUE(mixer.waitFor("Gain 1 Mute (found after rescan)", r));
    mixer.rescanInHook = false;
    ASSERT_EQ(amixer({"sset", "Gain 1 Mute", "off"}).status, 0);
    ASSERT_TRUE(mixer.waitFor("Gain 1 Mute", r));
    EXPECT_EQ(r.sw, 0);
    {
        std::lock_guard<std::mutex> l(mixer.m);
        EXPECT_EQ(mixer.starts, 2);
    }
    mixer.close();
    EXPECT_FALSE(mixer.eventsRunning());
    EXPECT_EQ(mixer.runEvents(), ALSA_MIXER_NOT_OPEN_ERROR);
}
