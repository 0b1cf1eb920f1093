// The virtual board's control device (control plug-in "mobuboard") and the
// generator of its private ALSA configuration, seen through amixer and alsa-lib.
#include "TestSupport.h"

#include <ALSAConfig.h>
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <poll.h>
#include <set>
#include <sstream>

namespace {

const std::string AMIXER = "/usr/bin/amixer";

/// Runs amixer on the board device with the given arguments.
mobutest::ProcessResult amixer(std::vector<std::string> args) {
    args.insert(args.begin(), {AMIXER, "-D", "board"});
    return mobutest::runProcess(args);
}

/// The text of a simple control as amixer prints it.
std::string sget(const std::string& control) {
    return amixer({"sget", control}).out;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

/// A fresh board configuration per test, selected for this process and its children.
class VirtualBoard : public testing::Test {
protected:
    void SetUp() override {
        dir = mobutest::makeTempDir("board");
        const auto r = mobutest::runProcess({MOBU_BOARD_CONFIG, dir});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.out, "ALSA_CONFIG_PATH='" + dir + "/asound.conf'\n");
        setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
    }
    void TearDown() override { mobutest::removeTree(dir); }

    /// Writes raw values to a control through the control interface of this process.
    int writeControl(const char* name, long value) {
        snd_ctl_t* ctl = nullptr;
        int err = snd_ctl_open(&ctl, "board", 0);
        if (err < 0) return err;
        snd_ctl_elem_value_t* v;
        snd_ctl_elem_value_alloca(&v);
        snd_ctl_elem_value_set_interface(v, SND_CTL_ELEM_IFACE_MIXER);
        snd_ctl_elem_value_set_name(v, name);
        snd_ctl_elem_info_t* info;
        snd_ctl_elem_info_alloca(&info);
        snd_ctl_elem_info_set_interface(info, SND_CTL_ELEM_IFACE_MIXER);
        snd_ctl_elem_info_set_name(info, name);
        if ((err = snd_ctl_elem_info(ctl, info)) >= 0) {
            if (snd_ctl_elem_info_get_type(info) == SND_CTL_ELEM_TYPE_ENUMERATED)
                snd_ctl_elem_value_set_enumerated(v, 0, static_cast<unsigned int>(value));
            else
                snd_ctl_elem_value_set_integer(v, 0, value);
            err = snd_ctl_elem_write(ctl, v);
        }
        snd_ctl_close(ctl);
        return err;
    }

    std::string dir;
};

} // namespace

TEST_F(VirtualBoard, SimpleControlsAreTheBoardsOnes) {
    const auto r = amixer({"scontrols"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> names;
    std::istringstream lines(r.out);
    const std::string prefix = "Simple mixer control '";
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        ASSERT_EQ(line.substr(line.size() - 3), "',0") << line;
        names.insert(line.substr(prefix.size(), line.size() - prefix.size() - 3));
    }
    std::set<std::string> expected = {"Analogue Input Selection",
                                      "I2S Input Selection",
                                      "Master",
                                      "Master Mute",
                                      "DAC DIT Mute",
                                      "Mode",
                                      "Control",
                                      "RemoteButton",
                                      "Headphone"};
    for (int n = 0; n < 8; ++n) {
        const std::string g = "Gain " + std::to_string(n);
        expected.insert({g, g + " Mute", g + " Invert", "Sensitivity " + g});
    }
    EXPECT_EQ(names, expected);
}

TEST_F(VirtualBoard, StartsWithTheBoardDriversValues) {
    const std::string all = amixer({"scontents"}).out;
    for (int n = 0; n < 8; ++n) {
        const std::string g = "Gain " + std::to_string(n);
        const std::string gain = sget(g);
        EXPECT_TRUE(contains(gain, "Limits: 0 - 48") && contains(gain, "Mono: 24 [50%] [0.00dB]")) << gain;
        EXPECT_TRUE(contains(sget(g + " Mute"), "Mono: Playback [off]"));
        EXPECT_TRUE(contains(sget(g + " Invert"), "Mono: Playback [off]"));
        const std::string sens = sget("Sensitivity " + g);
        EXPECT_TRUE(contains(sens, "Limits: 0 - 96") && contains(sens, "Mono: 48 [50%] [0.00dB]")) << sens;
    }
    const std::string master = sget("Master");
    EXPECT_TRUE(contains(master, "Limits: 0 - 255") && contains(master, "Mono: 0 [0%] [-127.50dB]")) << master;
    EXPECT_TRUE(contains(sget("Master Mute"), "Mono: Playback [off]"));
    EXPECT_TRUE(contains(sget("DAC DIT Mute"), "Mono: Playback [off]"));
    // The selector lines start on the balanced analogue input and the HDMI input.
    EXPECT_TRUE(contains(sget("Analogue Input Selection"), "Item0: 'XLR'"));
    EXPECT_TRUE(contains(sget("I2S Input Selection"), "Item0: 'HDMI'"));
    EXPECT_TRUE(contains(sget("Mode"), "Item0: 'Digital Receiver'"));
    const std::string hp = sget("Headphone");
    EXPECT_TRUE(contains(hp, "Front Left: Playback 255 [100%] [0.00dB]") &&
                contains(hp, "Front Right: Playback 255 [100%] [0.00dB]"))
        << hp;
    EXPECT_TRUE(contains(all, "Simple mixer control 'Gain 7',0"));
}

TEST_F(VirtualBoard, VolumesCarryTheBoardsDbScales) {
    struct Case {
        const char* control;
        const char* range;
        const char* tlv;
    };
    const Case cases[] = {{"Gain 3 Volume", "min=0,max=48", "dBminmax-min=-12.00dB,max=12.00dB"},
                          {"Sensitivity Gain 6 Volume", "min=0,max=96", "dBminmax-min=-24.00dB,max=24.00dB"},
                          {"Master Volume", "min=0,max=255", "dBscale-min=-127.50dB,step=0.50dB,mute=0"},
                          {"Headphone Playback Volume", "min=0,max=255", "dBscale-min=-127.50dB,step=0.50dB,mute=0"}};
    for (const auto& c : cases) {
        const auto r = amixer({"cget", std::string("name=") + c.control});
        ASSERT_EQ(r.status, 0) << c.control << r.err;
        EXPECT_TRUE(contains(r.out, c.range) && contains(r.out, c.tlv)) << r.out;
    }
    EXPECT_TRUE(contains(amixer({"cget", "name=Headphone Playback Volume"}).out, "values=2,"));

    // Setting by dB lands on the right raw value, both ends included.
    EXPECT_TRUE(contains(amixer({"--", "sset", "Gain 0", "-6dB"}).out, "Mono: 12 [25%] [-6.00dB]"));
    EXPECT_TRUE(contains(amixer({"sset", "Gain 0", "0"}).out, "[-12.00dB]"));
    EXPECT_TRUE(contains(amixer({"sset", "Gain 0", "48"}).out, "[12.00dB]"));
    EXPECT_TRUE(contains(amixer({"--", "sset", "Sensitivity Gain 1", "-24dB"}).out, "Mono: 0 [0%] [-24.00dB]"));
    EXPECT_TRUE(contains(amixer({"sset", "Master", "255"}).out, "[0.00dB]"));
    const std::string hp = amixer({"--", "sset", "Headphone", "-63.5dB,-1dB"}).out;
    EXPECT_TRUE(contains(hp, "Front Left: Playback 128 [50%] [-63.50dB]") &&
                contains(hp, "Front Right: Playback 253 [99%] [-1.00dB]"))
        << hp;
}

TEST_F(VirtualBoard, EnumerationsHaveTheBoardsItems) {
    const auto mode = amixer({"cget", "name=Mode"}).out;
    EXPECT_TRUE(contains(mode, "items=5") && contains(mode, "Item #0 'Digital Receiver'") &&
                contains(mode, "Item #4 'Speaker Calibration'"))
        << mode;
    const auto control = amixer({"cget", "name=Control"}).out;
    EXPECT_TRUE(contains(control, "items=11") && contains(control, "Item #9 'SPEAKER CALIBRATION'") &&
                contains(control, "Item #10 'EXIT SPEAKER CALIBRATION'"))
        << control;
    const auto analogue = amixer({"cget", "name=Analogue Input Selection"}).out;
    EXPECT_TRUE(contains(analogue, "items=4") && contains(analogue, "Item #3 'Phono'")) << analogue;
    const auto i2s = amixer({"cget", "name=I2S Input Selection"}).out;
    EXPECT_TRUE(contains(i2s, "items=3") && contains(i2s, "Item #1 'Analogue'")) << i2s;

    // A button written by one client is read by every other (another process here).
    ASSERT_EQ(amixer({"cset", "name=RemoteButton", "REMOTE_BUTTON_OK_PRESSED"}).status, 0);
    const auto button = amixer({"cget", "name=RemoteButton"}).out;
    EXPECT_TRUE(contains(button, "items=9") && contains(button, "Item #8 'REMOTE_BUTTON_BUTTON_RELEASED'") &&
                contains(button, ": values=3"))
        << button;
    ASSERT_EQ(amixer({"sset", "Analogue Input Selection", "Mic"}).status, 0);
    EXPECT_TRUE(contains(sget("Analogue Input Selection"), "Item0: 'Mic'"));
}

TEST_F(VirtualBoard, ValuesPersistAcrossProcessesAndConfigurationRewrites) {
    ASSERT_EQ(amixer({"--", "sset", "Gain 4", "-3dB"}).status, 0);
    ASSERT_EQ(amixer({"sset", "Gain 4 Mute", "on"}).status, 0);
    EXPECT_TRUE(contains(sget("Gain 4"), "[-3.00dB]"));
    EXPECT_TRUE(contains(sget("Gain 4 Mute"), "[on]"));

    // Writing the configuration again keeps the state file and its values.
    const auto r = mobutest::runProcess({MOBU_BOARD_CONFIG, dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(sget("Gain 4"), "[-3.00dB]"));
    EXPECT_TRUE(contains(sget("Gain 4 Mute"), "[on]"));
    EXPECT_TRUE(contains(sget("Gain 5"), "[0.00dB]"));
}

TEST_F(VirtualBoard, OutOfRangeWritesAreRefusedAndChangeNothing) {
    EXPECT_EQ(writeControl("Gain 2 Volume", 49), -EINVAL);
    EXPECT_EQ(writeControl("Gain 2 Volume", -1), -EINVAL);
    EXPECT_EQ(writeControl("Analogue Input Selection", 4), -EINVAL);
    EXPECT_EQ(writeControl("RemoteButton", 9), -EINVAL);
    EXPECT_TRUE(contains(sget("Gain 2"), "Mono: 24 [50%]"));
    EXPECT_TRUE(contains(sget("Analogue Input Selection"), "Item0: 'XLR'"));

    EXPECT_GE(writeControl("Gain 2 Volume", 48), 0);
    EXPECT_TRUE(contains(sget("Gain 2"), "Mono: 48 [100%]"));
    EXPECT_EQ(writeControl("No Such Control", 1), -ENOENT);
}

TEST_F(VirtualBoard, DamagedStateFileIsReplacedByStartValues) {
    ASSERT_EQ(amixer({"sset", "Gain 1", "40"}).status, 0);
    mobutest::writeFile(dir + "/board-mixer.state", "not a state file");
    EXPECT_TRUE(contains(sget("Gain 1"), "Mono: 24 [50%]"));
    ASSERT_EQ(amixer({"sset", "Gain 1", "30"}).status, 0);
    EXPECT_TRUE(contains(sget("Gain 1"), "Mono: 30 "));

    mobutest::writeFile(dir + "/board-mixer.state", ""); // as the generator leaves a new one
    EXPECT_TRUE(contains(sget("Gain 1"), "Mono: 24 [50%]"));
}

TEST_F(VirtualBoard, BadDeviceDefinitionsFailToOpen) {
    const std::string extra = dir + "/extra.conf";
    std::string text = "ctl.nostate { type mobuboard }\n";
    text += "ctl.nodir { type mobuboard state \"" + dir + "/missing/board.state\" }\n";
    text += "ctl.unknown { type mobuboard state \"" + dir + "/other.state\" colour red }\n";
    mobutest::writeFile(extra, text);
    setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf:" + extra).c_str(), 1);
    snd_ctl_t* ctl = nullptr;
    EXPECT_EQ(snd_ctl_open(&ctl, "nostate", 0), -EINVAL);
    EXPECT_EQ(snd_ctl_open(&ctl, "nodir", 0), -ENOENT);
    EXPECT_EQ(snd_ctl_open(&ctl, "unknown", 0), -EINVAL);
    EXPECT_FALSE(mobutest::exists(dir + "/other.state"));
    ASSERT_EQ(snd_ctl_open(&ctl, "board", 0), 0); // the good one still opens
    snd_ctl_close(ctl);
}

TEST_F(VirtualBoard, WritesFromOtherProcessesArriveAsValueEvents) {
    snd_ctl_t* ctl = nullptr;
    ASSERT_EQ(snd_ctl_open(&ctl, "board", SND_CTL_NONBLOCK), 0);
    ASSERT_EQ(snd_ctl_subscribe_events(ctl, 1), 0);

    // Waits (bounded) for the next event and returns its control's name.
    auto nextEvent = [ctl]() -> std::string {
        for (int tries = 0; tries < 50; ++tries) {
            snd_ctl_event_t* ev;
            snd_ctl_event_alloca(&ev);
            if (snd_ctl_read(ctl, ev) == 1) {
                if (snd_ctl_event_elem_get_mask(ev) != SND_CTL_EVENT_MASK_VALUE) return "wrong mask";
                return snd_ctl_event_elem_get_name(ev);
            }
            pollfd pfd;
            if (snd_ctl_poll_descriptors(ctl, &pfd, 1) != 1) return "no descriptor";
            poll(&pfd, 1, 100);
        }
        return "none";
    };

    ASSERT_EQ(amixer({"sset", "Gain 2 Mute", "on"}).status, 0);
    EXPECT_EQ(nextEvent(), "Gain 2 Mute");
    // The board reports every write as a change, also one that keeps the value
    // (cset writes unconditionally; sset skips values that are already set).
    ASSERT_EQ(amixer({"cset", "name=Gain 2 Mute", "on"}).status, 0);
    EXPECT_EQ(nextEvent(), "Gain 2 Mute");
    ASSERT_EQ(amixer({"cset", "name=Mode", "Speaker Calibration"}).status, 0);
    EXPECT_EQ(nextEvent(), "Mode");
    snd_ctl_event_t* ev;
    snd_ctl_event_alloca(&ev);
    EXPECT_LE(snd_ctl_read(ctl, ev), 0); // nothing else changed
    snd_ctl_close(ctl);
}

TEST(BoardConfigGenerator, KeepsAlsaLibsStandardDevices) {
    const std::string dir = mobutest::makeTempDir("gen");
    ASSERT_EQ(mobutest::runProcess({MOBU_BOARD_CONFIG, dir}).status, 0);
    const auto r = mobutest::runProcess(
        {"/usr/bin/aplay", "-q", "-D", "null", "-f", "S16_LE", "-r", "48000", "-c", "2", "-d", "1", "/dev/zero"},
        {"ALSA_CONFIG_PATH=" + dir + "/asound.conf"});
    EXPECT_EQ(r.status, 0) << r.err;
    mobutest::removeTree(dir);
}

TEST(BoardConfigGenerator, RefusesBadArguments) {
    const std::string dir = mobutest::makeTempDir("gen");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {dir, "--mode", "fast"},
        {dir, "--rate", "0"},
        {dir, "--rate=48k"},
        {dir, "--rate", "7999"},
        {dir, "--rate", "768001"},
        {dir, "--rate", "99999999999999999999999"},
        {dir, "--noise-db", "0.5"},
        {dir, "--noise-db", "+3"},
        {dir, "--playback-channels", "-2"},
        {dir, "--capture-channels"},
        {dir, "--noise-db", "loud"},
        {dir, "--delay", "-5"},
        {dir, "--room", dir + "/missing.wav"},
        {dir, "--colour", "red"},
        {dir, dir + "/second"},
        // Values the loop-back plug-in would refuse when the PCM is opened.
        {dir, "--playback-channels", "65"},
        {dir, "--capture-channels", "100"},
        {dir, "--delay", "2147483648"},
        {dir, "--delay", "99999999999999999999"},
        {dir, "--noise-db", "-200.5"},
        {dir, "--noise-db", "-3\n4"},
        {dir, "--noise-db", "-3\n"},
        {dir, "--noise-db", "nan"},
        {dir, "--delay", "5\n"},
        {dir, "--", dir, "--rate"},
        {dir, "--polynomial", ""},
        {dir, "--polynomial", "1 x"},
        {dir, "--polynomial", "*"},
        {dir, "--polynomial", "1 2 3 4 5 6 7 8 9 10"},
        {dir, "--loopback", "2"}, // the default two capture channels are 0 and 1
        {dir, "--loopback", "-1"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv = {MOBU_BOARD_CONFIG};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = mobutest::runProcess(argv);
        std::string all;
        for (const auto& a : args)
            all += a + " ";
        EXPECT_NE(r.status, 0) << all;
        EXPECT_EQ(r.out, "") << all;
        EXPECT_FALSE(r.err.empty()) << all;
    }
    EXPECT_FALSE(mobutest::exists(dir + "/asound.conf"));
    EXPECT_FALSE(mobutest::exists(dir + "/board-mixer.state"));

    const auto good = mobutest::runProcess({MOBU_BOARD_CONFIG, dir, "--mode=lockstep", "--rate", "96000", "--noise-db",
                                            "-60.5", "--delay", "0", "--capture-channels", "1"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_TRUE(mobutest::exists(dir + "/asound.conf"));
    const std::vector<std::vector<std::string>> limits = {
        {"--rate", "8000", "--noise-db", "0"},
        {"--rate", "768000", "--noise-db", "-200"},
        {"--playback-channels", "64", "--capture-channels", "64", "--delay", "2147483647"}};
    for (const auto& args : limits) {
        std::vector<std::string> argv = {MOBU_BOARD_CONFIG, dir};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = mobutest::runProcess(argv);
        EXPECT_EQ(r.status, 0) << args[0] << " " << args[1] << r.err;
    }
    mobutest::removeTree(dir);
}

TEST(BoardConfigGenerator, RoomNamesReachTheConfigurationAsTheyAre) {
    const std::string dir = mobutest::makeTempDir("gen");
    for (const std::string name : {"a\\\" delay 4242 #.wav", "back\\slash\\.wav", "q\"uote's $x.wav"}) {
        const std::string room = dir + "/" + name;
        mobutest::writeFile(room, "RIFF");
        const auto r = mobutest::runProcess({MOBU_BOARD_CONFIG, dir, "--room", room});
        ASSERT_EQ(r.status, 0) << name << r.err;
        ALSA::Config conf;
        ASSERT_EQ(conf.load(dir + "/asound.conf"), 0) << name << mobutest::readFile(dir + "/asound.conf");
        std::string value;
        EXPECT_EQ(conf.search("pcm.board_capture.room", value), 0) << name;
        EXPECT_EQ(value, room);
        EXPECT_EQ(conf.search("pcm.board_capture.delay"), -ENOENT) << name;
    }
    mobutest::removeTree(dir);
}

TEST(BoardConfigGenerator, DirectoriesNamedLikeOptions) {
    // A relative directory after "--", or any argument with a single dash, is the directory.
    const std::string dir = mobutest::makeTempDir("gen");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--", "--board"}, {"-board"}, {"--", "-"}}) {
        const std::string name = args.back();
        std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$1\" && shift && exec \"$@\"",
                                         "sh",      dir,  MOBU_BOARD_CONFIG};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = mobutest::runProcess(argv);
        ASSERT_EQ(r.status, 0) << name << r.err;
        EXPECT_EQ(r.out, "ALSA_CONFIG_PATH='" + dir + "/" + name + "/asound.conf'\n");
        EXPECT_TRUE(mobutest::exists(dir + "/" + name + "/asound.conf")) << name;
    }
    mobutest::removeTree(dir);
}

TEST(BoardConfigGenerator, ItsOutputIsQuotedForTheShell) {
    // The README's  eval "export $(mobu-board-config DIR)"  in a shell of its own,
    // with characters the shell would otherwise expand or end a word at.
    const std::string dir = mobutest::makeTempDir("gen") + "/it's$HOME*;dir";
    const auto r =
        mobutest::runProcess({"/bin/sh", "-c", "eval \"export $(\"$0\" \"$1\")\" && printf '%s' \"$ALSA_CONFIG_PATH\"",
                              MOBU_BOARD_CONFIG, dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dir + "/asound.conf");
    const auto controls = mobutest::runProcess({AMIXER, "-D", "board", "scontrols"}, {"ALSA_CONFIG_PATH=" + r.out});
    EXPECT_EQ(controls.status, 0) << controls.err;
    EXPECT_TRUE(contains(controls.out, "'Gain 7'")) << controls.out;
    // Paths alsa-lib would split are refused.
    for (const char* name : {"/with space", "/with:colon"}) {
        const auto refused = mobutest::runProcess({MOBU_BOARD_CONFIG, dir + name});
        EXPECT_NE(refused.status, 0) << name;
        EXPECT_EQ(refused.out, "") << name;
        EXPECT_TRUE(contains(refused.err, "space or colon")) << refused.err;
    }
    mobutest::removeTree(dir.substr(0, dir.rfind('/')));
}
