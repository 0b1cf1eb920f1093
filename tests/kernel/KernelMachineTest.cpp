// The board machine drivers bound through the kernel stand-in: the analogue
// card over a recording CPU DAI, the converter test codec and the simulated
// DAC and ADC chips; the two digital boards over the transmitter and
// converter test codecs.  Probe, links, clocks, GPIOs, controls and DAPM.

#include "KernelStandIn.h"

extern "C" {
#include "../../drivers/analogue/es9038-codec.h"
#include "../../drivers/analogue/es9822-codec.h"
#include "../../drivers/testing/mobu-test-codec.h"
}

#include <gtest/gtest.h>

#include <algorithm>

using standin::I2cChip;
using standin::Node;
using standin::PlatformDevice;

namespace {

constexpr u32 MCLK_48K = 24576000;
constexpr u32 MCLK_44K = 22579200;
constexpr unsigned int I2S_SLAVE = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBC_CFC;
constexpr unsigned int I2S_MASTER = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBP_CFP;
enum { DIGI_B, DIGI_A, DAC, ADC };

bool logged(const std::string& line) {
    const auto& log = standin::log();
    return std::find(log.begin(), log.end(), line) != log.end();
}

// The SoC's I2S controller: one CPU DAI recording the formats it is given.
std::vector<unsigned int> cpuFormats;
int cpuSetFmt(snd_soc_dai*, unsigned int fmt) {
    cpuFormats.push_back(fmt);
    return 0;
}
struct CpuController {
    snd_soc_dai_ops ops{};
    snd_soc_dai_driver dai{};
    snd_soc_component_driver component{};
    CpuController() {
        ops.set_fmt = cpuSetFmt;
        dai.name = "i2s-cpu";
        dai.ops = &ops;
        component.name = "i2s-controller";
    }
} cpu;

const mobu_test_dai_record& record(PlatformDevice& codec, unsigned int dai) {
    return static_cast<mobu_test_codec*>(dev_get_drvdata(codec.dev()))->dai[dai];
}

// The analogue board with every node, clock and line present until a test
// takes one away before bind().
struct AnalogueBoard {
    Node i2s{"i2s"}, digi{"digi", "mobu,test-src4xxx"}, dacNode{"dac"}, adcNode{"adc"};
    Node board{"sound", "mobu,mobu-digi-ana"};
    PlatformDevice i2sDev{"", i2s};
    PlatformDevice src{"mobu-test-codec", digi};
    I2cChip dac{"ess9038"}, adc{"ess9822"};
    PlatformDevice machine{"mobu-digi-ana", board};
    bool withDac = true;

    AnalogueBoard() {
        board.phandles() = {{"i2s-controller", &i2s},
                            {"mobu,digi-codec", &digi},
                            {"mobu,dac-codec", &dacNode},
                            {"mobu,adc-codec", &adcNode}};
        board.u32s() = {{"mclk_48k", MCLK_48K}, {"mclk_44k", MCLK_44K}};
        for (const char* line :
             {"clk-pen", "led", "clk-pen44", "clk-pen48", "rsli", "rsmic", "rspho", "nppe", "nxsel", "nasel", "nhsel"})
            machine.gpios()[line] = 0;
        dac.chip()[0x40] = 0xA8;
        adc.chip()[0xE1] = 0x81;
        dac.client()->dev.of_node = dacNode.np();
        adc.client()->dev.of_node = adcNode.np();
    }
    int bind() {
        cpuFormats.clear();
        standin::clearLog();
        devm_snd_soc_register_component(i2sDev.dev(), &cpu.component, &cpu.dai, 1);
        EXPECT_EQ(src.probe(), 0);
        if (withDac) {
            EXPECT_EQ(dac.probe(), 0);
        }
        EXPECT_EQ(adc.probe(), 0);
        return machine.probe();
    }
    snd_soc_card* card() { return standin::card("mobu_digi_anasoundcard"); }
    int refs() { return i2s.refs() + digi.refs() + dacNode.refs() + adcNode.refs(); }
    unsigned int dacSysclk() { return static_cast<ess9038_priv*>(dev_get_drvdata(&dac.client()->dev))->sysclk; }
};

// A digital board: three transmitters, or the two-port converter.
struct DigitalBoard {
    explicit DigitalBoard(bool twoPort)
        : twoPort(twoPort), board("sound", twoPort ? "mobu,mobu-digi-dit2" : "mobu,mobu-digi-dit"),
          machine(twoPort ? "mobu-digi-dit2" : "mobu-digi-dit", board) {
        for (int i = 0; i < 3; ++i) {
            nodes.push_back(
                std::make_unique<Node>("out" + std::to_string(i), twoPort ? "mobu,test-src4xxx" : "mobu,test-dix4192"));
            codecs.push_back(std::make_unique<PlatformDevice>("mobu-test-codec", *nodes.back()));
            board.phandles()["mobu,digi-out-codec-" + std::to_string(i + 1)] = nodes.back().get();
        }
        board.u32s() = {{"mclk_48k", MCLK_48K}, {"mclk_44k", MCLK_44K}};
    }
    int bind() {
        standin::clearLog();
        for (auto& c : codecs)
            EXPECT_EQ(c->probe(), 0);
        return machine.probe();
    }
    snd_soc_card* card() { return standin::card(twoPort ? "mobu_dit2_soundcard" : "mobu_dit_soundcard"); }
    std::string probeName() const { return twoPort ? "mobu_digi_dit2_probe" : "mobu_digi_dit_probe"; }
    int refs() {
        int n = 0;
        for (auto& node : nodes)
            n += node->refs();
        return n;
    }
    // The test codec and DAI behind a link.
    const mobu_test_dai_record& linkRecord(int link) {
        return twoPort ? record(*codecs[2], link) : record(*codecs[link], 0);
    }

    bool twoPort;
    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<std::unique_ptr<PlatformDevice>> codecs;
    Node board;
    PlatformDevice machine;
};

TEST(KernelMachine, ModulesDescribeThemselvesAndMatchTheirBoards) {
    struct Row {
        const char *module, *driver, *compatible, *description, *alias;
    } rows[] = {
        {"snd_soc_mobu_digi_ana", "mobu-digi-ana", "mobu,mobu-digi-ana", "Mobu Analogue Board",
         "platform:mobu_digi_anark3399"},
        {"snd_soc_mobu_digi_dit", "mobu-digi-dit", "mobu,mobu-digi-dit", "Mobu Digital DIT Board",
         "platform:mobu_digi_dit"},
        {"snd_soc_mobu_digi_dit2", "mobu-digi-dit2", "mobu,mobu-digi-dit2", "Mobu Digital DIT Board",
         "platform:mobu_digi_dit2"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.module);
        auto reg = standin::platformDriver(r.driver);
        ASSERT_NE(reg.driver, nullptr);
        EXPECT_EQ(reg.module, r.module);
        EXPECT_STREQ(reg.driver->driver.of_match_table[0].compatible, r.compatible);
        EXPECT_NE(reg.driver->remove, nullptr);
        EXPECT_EQ(standin::modinfo(r.module, "license"), std::vector<std::string>{"GPL v2"});
        EXPECT_EQ(standin::modinfo(r.module, "description"), std::vector<std::string>{r.description});
        // Each module answers to its devices' modalias, "platform:" and the driver's name.
        auto aliases = standin::modinfo(r.module, "alias");
        EXPECT_NE(std::find(aliases.begin(), aliases.end(), r.alias), aliases.end());
        if (std::string(r.module) == "snd_soc_mobu_digi_ana") {
            EXPECT_NE(std::find(aliases.begin(), aliases.end(), std::string("platform:") + r.driver), aliases.end());
        }
        EXPECT_EQ(standin::modinfo(r.module, "device_table"), std::vector<std::string>{"of"});
    }
}

TEST(KernelMachine, AnalogueProbeFailsForEachMissingPhandleOrCodec) {
    struct Row {
        // a phandle, "dac" for a DAC that never registered, "tree" for no device-tree node at all
        // (then the references are firmware-node properties, and there are none)
        const char* missing;
        int result;
        std::vector<std::string> lines;
    } rows[] = {
        {"i2s-controller", -EINVAL, {"Property 'i2s-controller' missing or invalid\n"}},
        {"mobu,digi-codec", -EINVAL, {"Property 'mobu,digi-codec' missing or invalid\n"}},
        {"mobu,dac-codec", -EINVAL, {"Property 'mobu,dac-codec' missing or invalid\n"}},
        {"mobu,adc-codec", -EINVAL, {"Property 'mobu,adc-codec' missing or invalid\n"}},
        {"dac", -EPROBE_DEFER, {"mobu_digi_probe error -517 exit\n"}},
        {"tree", -EINVAL, {"Property 'i2s-controller' missing or invalid\n"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.missing);
        AnalogueBoard b;
        b.board.phandles().erase(r.missing);
        b.withDac = std::string(r.missing) != "dac";
        if (std::string(r.missing) == "tree") b.machine.dev()->of_node = nullptr;
        EXPECT_EQ(b.bind(), r.result);
        for (const auto& line : r.lines)
            EXPECT_TRUE(logged(line)) << line;
        EXPECT_EQ(b.card(), nullptr);
        EXPECT_EQ(b.refs(), 0);
    }
}

TEST(KernelMachine, AnalogueBindsFourLinksWithTheirFormatsAndRemoveReleasesAll) {
    AnalogueBoard b;
    ASSERT_EQ(b.bind(), 0);
    snd_soc_card* card = b.card();
    ASSERT_NE(card, nullptr);
    struct Row {
        const char *name, *cpu, *codec;
        int id;
        unsigned int fmt;
    } rows[] = {
        {"Mobu Digi B", "i2s-cpu", "src4xxx-portB", 0, I2S_MASTER},
        {"Mobu Digi A", "snd-soc-dummy-dai", "src4xxx-portA", 1, I2S_SLAVE},
        {"Mobu DAC", "i2s-cpu", "ess9038-hifi", 2, I2S_SLAVE},
        {"Mobu ADC", "i2s-cpu", "ess9822-hifi", 3, I2S_MASTER},
    };
    ASSERT_EQ(card->num_links, 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_STREQ(card->dai_link[i].name, rows[i].name);
        EXPECT_STREQ(card->dai_link[i].stream_name, rows[i].name);
        EXPECT_EQ(card->dai_link[i].id, rows[i].id);
        EXPECT_EQ(card->dai_link[i].dai_fmt, rows[i].fmt);
        EXPECT_STREQ(standin::cpuDai(card, i)->name, rows[i].cpu);
        EXPECT_STREQ(standin::codecDai(card, i)->name, rows[i].codec);
        EXPECT_EQ(card->dai_link[i].ops != nullptr, i != DIGI_A);
    }
    // The codecs took their clock roles, the controller the opposite ones.
    EXPECT_EQ(record(b.src, 1).fmt, I2S_MASTER);
    EXPECT_EQ(record(b.src, 0).fmt, I2S_SLAVE);
    EXPECT_FALSE(static_cast<ess9038_priv*>(dev_get_drvdata(&b.dac.client()->dev))->master);
    EXPECT_TRUE(static_cast<ess9822_priv*>(dev_get_drvdata(&b.adc.client()->dev))->master);
    EXPECT_EQ(cpuFormats, (std::vector<unsigned int>{I2S_SLAVE, I2S_MASTER, I2S_SLAVE}));
    EXPECT_EQ(b.refs(), 4); // each node once, though three links share the controller

    EXPECT_EQ(b.machine.remove(), 0);
    EXPECT_EQ(b.machine.gpioValue("clk-pen"), 0);
    EXPECT_EQ(b.machine.gpioValue("led"), 0);
    EXPECT_EQ(b.card(), nullptr);
    EXPECT_EQ(b.refs(), 0);
}

TEST(KernelMachine, AnalogueClockPropertiesAreOptional) {
    struct Row {
        bool has48, has44;
        std::vector<std::string> lines;
        u32 sysclk48, sysclk44;
    } rows[] = {
        {true,
         true,
         {"mobu-digi mclk 48k = 24576000 Hz\n", "mobu-digi mclk 44.1k = 22579200 Hz\n"},
         MCLK_48K,
         MCLK_44K},
        {false, true, {"Unable to probe mclk_48k in the device tree : -22\n"}, 0, MCLK_44K},
        {true, false, {"Unable to probe mclk_44k in the device tree : -22\n"}, MCLK_48K, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.has48) + std::to_string(r.has44));
        AnalogueBoard b;
        if (!r.has48) b.board.u32s().erase("mclk_48k");
        if (!r.has44) b.board.u32s().erase("mclk_44k");
        ASSERT_EQ(b.bind(), 0);
        for (const auto& line : r.lines)
            EXPECT_TRUE(logged(line)) << line;
        EXPECT_EQ(standin::hwParams(b.card(), DAC, 96000), 0);
        EXPECT_EQ(b.dacSysclk(), r.sysclk48);
        EXPECT_EQ(standin::hwParams(b.card(), DAC, 176400), 0);
        EXPECT_EQ(b.dacSysclk(), r.sysclk44);
    }
}

TEST(KernelMachine, AnalogueGpioGroupsStopAtTheirFirstMissingLine) {
    const std::vector<std::string> all = {"clk-pen", "led",  "clk-pen44", "clk-pen48", "rsli", "rsmic",
                                          "rspho",   "nppe", "nxsel",     "nasel",     "nhsel"};
    const std::vector<int> initial = {1, 1, 0, 1, 1, 0, 0, 0, 1, 0, 0};
    struct Row {
        std::string missing;
        std::vector<std::string> skipped; // lines after it in its group, never requested
        std::string line;
        bool clocksSet;
    } rows[] = {
        {"", {}, "", true},
        {"led", {"clk-pen44", "clk-pen48"}, "mobu_digi_clk_setup failed to get the led from the dev. tree\n", false},
        {"clk-pen",
         {"led", "clk-pen44", "clk-pen48"},
         "mobu_digi_clk_setup failed to get the clk-pen from the dev. tree\n",
         false},
        {"rsli",
         {"rsmic", "rspho", "nppe"},
         "mobu_digi_input_setup failed to get the rsli-gpio from the dev. tree. \n",
         true},
        {"rspho", {"nppe"}, "mobu_digi_input_setup failed to get the rspho-gpio from the dev. tree\n", true},
        {"nxsel",
         {"nasel", "nhsel"},
         "mobu_digi_i2s_input_setup failed to get the nxsel-gpio from the dev. tree. \n",
         true},
        {"nhsel", {}, "mobu_digi_i2s_input_setup failed to get the nhsel-gpio from the dev. tree\n", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.missing);
        AnalogueBoard b;
        b.machine.gpios().erase(r.missing);
        ASSERT_EQ(b.bind(), 0);
        if (!r.line.empty()) {
            EXPECT_TRUE(logged(r.line)) << r.line;
        }
        for (size_t i = 0; i < all.size(); ++i) {
            SCOPED_TRACE(all[i]);
            bool requested =
                all[i] != r.missing && std::find(r.skipped.begin(), r.skipped.end(), all[i]) == r.skipped.end();
            int expected = i < 4 && !r.clocksSet ? 0 : initial[i];
            EXPECT_EQ(b.machine.gpioValue(all[i]), requested ? expected : -1);
        }
    }
}

TEST(KernelMachine, AnalogueHwParamsPicksTheRateFamilyAndConfiguresPortB) {
    struct Row {
        int link;
        unsigned int rate;
        int result;
        int pen44, pen48;
        u32 mclk;
        unsigned int portBDirectCalls; // hw_params called on port B by another link's stream
        bool dacRegmap = true;
    } rows[] = {
        {DAC, 88200, 0, 1, 0, MCLK_44K, 1},       {DAC, 48000, 0, 0, 1, MCLK_48K, 1},
        {ADC, 192000, 0, 0, 1, MCLK_48K, 1},      {ADC, 44100, 0, 1, 0, MCLK_44K, 1},
        {DIGI_B, 176400, 0, 1, 0, MCLK_44K, 0},   {DAC, 32000, -EINVAL, 0, 1, 0, 0},
        {DAC, 48000, -ENODEV, 0, 1, 0, 0, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.link) + " " + std::to_string(r.rate));
        AnalogueBoard b;
        ASSERT_EQ(b.bind(), 0);
        if (!r.dacRegmap) b.dac.component()->regmap = nullptr;
        b.dac.clearBusLog();
        standin::clearLog();
        EXPECT_EQ(standin::hwParams(b.card(), r.link, r.rate), r.result);
        EXPECT_EQ(b.machine.gpioValue("clk-pen44"), r.pen44);
        EXPECT_EQ(b.machine.gpioValue("clk-pen48"), r.pen48);
        const auto& portB = record(b.src, 1);
        EXPECT_EQ(portB.sysclk, r.mclk);
        EXPECT_EQ(portB.hw_params_calls, r.portBDirectCalls);
        if (r.portBDirectCalls) {
            // Port B is given its own link's substream of the stream's direction.
            snd_soc_pcm_runtime* portBRtd = snd_soc_get_pcm_runtime(b.card(), &b.card()->dai_link[DIGI_B]);
            EXPECT_EQ(portB.substream, portBRtd->pcm->streams[SNDRV_PCM_STREAM_PLAYBACK].substream);
            EXPECT_EQ(portB.rate, r.rate);
        }
        if (r.link == ADC && r.result == 0) {
            EXPECT_EQ(static_cast<ess9822_priv*>(dev_get_drvdata(&b.adc.client()->dev))->sysclk, r.mclk);
        }
        if (r.link == DAC && r.result == 0) {
            EXPECT_EQ(b.dacSysclk(), r.mclk);
        }
        // The channel-map exchange reaches the DAC even where its cache agrees.
        std::vector<standin::BusWrite> map;
        for (const auto& w : b.dac.busLog())
            if (w.reg == 0x26 || w.reg == 0x27) map.push_back(w);
        const std::vector<standin::BusWrite> exchanged = {{0x26, 0x32}, {0x27, 0x10}};
        EXPECT_EQ(map, r.result == 0 ? exchanged : std::vector<standin::BusWrite>{});
        if (r.result == -EINVAL) {
            EXPECT_TRUE(logged("unsupported sample rate 32000 Hz \n"));
        }
    }
}

// The links share one master clock: a stream of the other rate family is
// offered only the running family's rates and refused if it asks for
// another; the oscillator and port B change only when no stream runs on
// them.  A port B that refuses the parameters fails the stream.
TEST(KernelMachine, AnalogueStreamsShareTheMasterClockFamily) {
    const std::vector<unsigned int> family48{48000, 96000, 192000}, family44{44100, 88200, 176400};
    constexpr int P = SNDRV_PCM_STREAM_PLAYBACK, C = SNDRV_PCM_STREAM_CAPTURE;
    AnalogueBoard b;
    ASSERT_EQ(b.bind(), 0);
    snd_soc_card* card = b.card();
    auto offered = [&](int link, int dir) {
        EXPECT_EQ(standin::startup(card, link, dir), 0);
        return snd_soc_get_pcm_runtime(card, &card->dai_link[link])->pcm->streams[dir].substream->runtime->constraints[SNDRV_PCM_HW_PARAM_RATE];
    };
    EXPECT_TRUE(offered(DAC, P).empty());
    ASSERT_EQ(standin::hwParams(card, DAC, 48000, SNDRV_PCM_FORMAT_S16_LE, 2, P), 0);
    EXPECT_EQ(offered(ADC, C), family48);
    EXPECT_EQ(offered(DAC, C), family48);
    EXPECT_EQ(standin::hwParams(card, ADC, 44100, SNDRV_PCM_FORMAT_S32_LE, 2, C), -EBUSY);
    EXPECT_EQ(b.machine.gpioValue("clk-pen44"), 0);
    EXPECT_EQ(b.machine.gpioValue("clk-pen48"), 1);
    EXPECT_EQ(b.dacSysclk(), MCLK_48K);
    // The same family runs beside it; the playback may change its own rate.
    EXPECT_EQ(standin::hwParams(card, ADC, 96000, SNDRV_PCM_FORMAT_S32_LE, 2, C), 0);
    EXPECT_EQ(standin::hwParams(card, DAC, 192000, SNDRV_PCM_FORMAT_S16_LE, 2, P), 0);
    EXPECT_EQ(standin::hwFree(card, DAC, P), 0);
    EXPECT_EQ(offered(DAC, P), family48); // the capture still runs
    EXPECT_EQ(standin::hwFree(card, ADC, C), 0);
    EXPECT_TRUE(offered(ADC, C).empty());
    EXPECT_EQ(standin::hwParams(card, ADC, 44100, SNDRV_PCM_FORMAT_S32_LE, 2, C), 0);
    EXPECT_EQ(b.machine.gpioValue("clk-pen44"), 1);
    EXPECT_EQ(b.machine.gpioValue("clk-pen48"), 0);
    EXPECT_EQ(offered(DAC, P), family44);
    EXPECT_EQ(standin::hwFree(card, ADC, C), 0);

    // Port B streaming on its own link is not reconfigured by another link.
    ASSERT_EQ(standin::hwParams(card, DIGI_B, 48000, SNDRV_PCM_FORMAT_S32_LE, 2, P), 0);
    const unsigned int calls = record(b.src, 1).hw_params_calls;
    EXPECT_EQ(standin::hwParams(card, DAC, 96000, SNDRV_PCM_FORMAT_S32_LE, 2, P), 0);
    EXPECT_EQ(record(b.src, 1).hw_params_calls, calls);
    EXPECT_EQ(standin::hwFree(card, DIGI_B, P), 0);
    EXPECT_EQ(standin::hwFree(card, DAC, P), 0);

    // A port B that refuses fails the stream, which then holds no clock.
    static_cast<mobu_test_codec*>(dev_get_drvdata(b.src.dev()))->dai[1].hw_params_error = -EIO;
    EXPECT_EQ(standin::hwParams(card, DAC, 48000, SNDRV_PCM_FORMAT_S32_LE, 2, P), -EIO);
    EXPECT_TRUE(offered(ADC, C).empty());
}

// Each card fills in links of its own: a second board's probe leaves the
// first card's links naming the first board's nodes (ASoC binds a card again
// from its links when one of its components comes back).
TEST(KernelMachine, AnalogueCardsKeepLinksOfTheirOwn) {
    AnalogueBoard first, second;
    ASSERT_EQ(first.bind(), 0);
    ASSERT_EQ(second.bind(), 0);
    auto* card = static_cast<snd_soc_card*>(dev_get_drvdata(first.machine.dev()));
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->dai_link[DAC].codecs->of_node, first.dacNode.np());
    EXPECT_EQ(card->dai_link[ADC].cpus->of_node, first.i2s.np());
}

TEST(KernelMachine, AnalogueControlsInRegistrationOrderWithRangesScalesAndValues) {
    struct Expect {
        std::string name;
        int type;
        long max, initial;
        std::vector<unsigned int> tlv;
    };
    const std::vector<unsigned int> master = {SNDRV_CTL_TLVT_DB_SCALE, 8, static_cast<unsigned int>(-12750), 50};
    const std::vector<unsigned int> gain = {SNDRV_CTL_TLVT_DB_MINMAX, 8, static_cast<unsigned int>(-1200), 1200};
    const std::vector<unsigned int> sens = {SNDRV_CTL_TLVT_DB_MINMAX, 8, static_cast<unsigned int>(-2400), 2400};
    std::vector<Expect> expected = {
        {"Analogue Input Selection", SNDRV_CTL_ELEM_TYPE_ENUMERATED, 4, 1, {}},
        {"I2S Input Selection", SNDRV_CTL_ELEM_TYPE_ENUMERATED, 3, 2, {}},
        {"Master Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 255, 0, master},
        {"Master Mute", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, {}},
        {"DAC DIT Mute", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, {}},
    };
    for (int ch = 0; ch < 8; ++ch) {
        std::string g = "Gain " + std::to_string(ch);
        expected.push_back({g + " Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 48, 24, gain});
        expected.push_back({g + " Mute", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, {}});
        expected.push_back({g + " Invert", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, {}});
    }
    for (int ch = 0; ch < 8; ++ch)
        expected.push_back(
            {"Sensitivity Gain " + std::to_string(ch) + " Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 96, 48, sens});
    ASSERT_EQ(expected.size(), 37u);

    AnalogueBoard b;
    ASSERT_EQ(b.bind(), 0);
    std::vector<std::string> names;
    for (const auto& e : expected)
        names.push_back(e.name);
    EXPECT_EQ(standin::controlNames(b.card()), names);
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        const standin::CardControl* c = standin::control(b.card(), e.name);
        ASSERT_NE(c, nullptr);
        snd_ctl_elem_info info = standin::controlInfo(b.card(), e.name);
        EXPECT_EQ(info.type, e.type);
        EXPECT_EQ(info.count, 1u);
        if (e.type == SNDRV_CTL_ELEM_TYPE_ENUMERATED) {
            EXPECT_EQ(info.value.enumerated.items, static_cast<unsigned int>(e.max));
        } else {
            EXPECT_EQ(info.value.integer.min, 0);
            EXPECT_EQ(info.value.integer.max, e.max);
        }
        EXPECT_EQ(standin::controlGet(b.card(), e.name), e.initial);
        if (e.tlv.empty()) {
            EXPECT_EQ(c->knew->tlv.p, nullptr);
        } else {
            ASSERT_NE(c->knew->tlv.p, nullptr);
            EXPECT_EQ(std::vector<unsigned int>(c->knew->tlv.p, c->knew->tlv.p + 4), e.tlv);
            EXPECT_EQ(c->knew->access, SNDRV_CTL_ELEM_ACCESS_TLV_READ | SNDRV_CTL_ELEM_ACCESS_READWRITE);
        }
        if (e.type == SNDRV_CTL_ELEM_TYPE_ENUMERATED) continue;
        // Stored values: a put reports a change only when the value changes
        // (ALSA's convention), the range bounds it.
        EXPECT_EQ(standin::controlPut(b.card(), e.name, e.max), 1);
        EXPECT_EQ(standin::controlPut(b.card(), e.name, e.max), 0);
        EXPECT_EQ(standin::controlGet(b.card(), e.name), e.max);
        EXPECT_EQ(standin::controlPut(b.card(), e.name, e.max + 1), -EINVAL);
        EXPECT_EQ(standin::controlPut(b.card(), e.name, -1), -EINVAL);
        EXPECT_EQ(standin::controlGet(b.card(), e.name), e.max);
    }
}

TEST(KernelMachine, AnalogueInputSelectorsWriteTheirLinesInOrder) {
    using Writes = std::vector<std::pair<std::string, int>>;
    struct Row {
        const char* control;
        long item;
        int result;
        Writes writes;
        std::string line;
    } rows[] = {
        {"Analogue Input Selection", 0, 1, {{"rspho", 0}, {"rsli", 0}, {"rsmic", 0}, {"nppe", 1}}, ""},
        // The item the lines read at probe: written again, not a change.
        {"Analogue Input Selection", 1, 0, {{"rsmic", 0}, {"rsli", 1}, {"rspho", 0}, {"nppe", 1}}, ""},
        {"Analogue Input Selection", 2, 1, {{"rsmic", 1}, {"rsli", 1}, {"rspho", 0}, {"nppe", 0}}, ""},
        {"Analogue Input Selection", 3, 1, {{"rspho", 1}, {"rsli", 0}, {"rsmic", 0}, {"nppe", 1}}, ""},
        {"Analogue Input Selection", 4, -EINVAL, {}, "mobu_analogue_input_put : unknown input value 4\n"},
        {"I2S Input Selection", 0, 1, {{"nxsel", 0}, {"nasel", 1}, {"nhsel", 1}}, ""},
        {"I2S Input Selection", 1, 1, {{"nxsel", 1}, {"nasel", 0}, {"nhsel", 1}}, ""},
        {"I2S Input Selection", 2, 0, {{"nxsel", 1}, {"nasel", 1}, {"nhsel", 0}}, ""},
        {"I2S Input Selection", 3, -EINVAL, {}, "mobu_digital_input_put : unknown digital input value 3\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.control) + " " + std::to_string(r.item));
        AnalogueBoard b;
        ASSERT_EQ(b.bind(), 0);
        long before = standin::controlGet(b.card(), r.control);
        b.machine.clearGpioWrites();
        standin::clearLog();
        EXPECT_EQ(standin::controlPut(b.card(), r.control, r.item), r.result);
        EXPECT_EQ(b.machine.gpioWrites(), r.writes);
        EXPECT_EQ(standin::controlGet(b.card(), r.control), r.result >= 0 ? r.item : before);
        if (!r.line.empty()) {
            EXPECT_TRUE(logged(r.line)) << r.line;
        }
    }
}

TEST(KernelMachine, AnalogueSelectorsReadTheLinesAsTheyAre) {
    struct Row {
        const char* control;
        std::vector<std::pair<std::string, int>> levels;
        long item;
    } rows[] = {
        {"I2S Input Selection", {{"nxsel", 1}, {"nasel", 1}, {"nhsel", 1}}, 0},
        {"I2S Input Selection", {{"nxsel", 0}, {"nasel", 0}, {"nhsel", 1}}, 1},
        {"Analogue Input Selection", {{"rsli", 1}, {"rsmic", 1}, {"rspho", 1}}, 2},
        {"Analogue Input Selection", {{"rsli", 0}, {"rsmic", 1}, {"rspho", 1}}, 3},
        {"Analogue Input Selection", {{"rsli", 0}, {"rsmic", 1}, {"rspho", 0}}, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.control) + " " + std::to_string(r.item));
        AnalogueBoard b;
        ASSERT_EQ(b.bind(), 0);
        for (const auto& [line, level] : r.levels)
            b.machine.setGpioValue(line, level);
        EXPECT_EQ(standin::controlGet(b.card(), r.control), r.item);
    }
}

// Without the lines to read, a selector reads the item last written.
TEST(KernelMachine, AnalogueSelectorsWithoutLinesReadTheItemWritten) {
    AnalogueBoard b;
    for (const char* line : {"rsli", "nxsel"})
        b.machine.gpios().erase(line);
    ASSERT_EQ(b.bind(), 0);
    for (const char* control : {"Analogue Input Selection", "I2S Input Selection"}) {
        SCOPED_TRACE(control);
        EXPECT_EQ(standin::controlGet(b.card(), control), 0);
        for (long item : {2, 1, 0, 2}) {
            EXPECT_EQ(standin::controlPut(b.card(), control, item), 1);
            EXPECT_EQ(standin::controlGet(b.card(), control), item);
        }
        EXPECT_EQ(standin::controlPut(b.card(), control, 7), -EINVAL);
        EXPECT_EQ(standin::controlGet(b.card(), control), 2);
    }
}

// ASoC unmutes the DAC when a stream starts and mutes it when it stops; a
// user's mute holds through both, and through a re-bind of the card.
TEST(KernelMachine, AnalogueMuteControlsHoldAcrossStreamsAndRebinds) {
    enum Step { USER_ON, USER_OFF, STREAM_START, STREAM_STOP, REBIND };
    struct Row {
        Step step;
        long control; // what the mute control reads after the step
        long muted;
    };
    const std::vector<Row> rows = {
        {STREAM_START, 0, 0}, {USER_ON, 1, 1},  {STREAM_STOP, 1, 1}, {STREAM_START, 1, 1}, {REBIND, 1, 1},
        {STREAM_START, 1, 1}, {USER_OFF, 0, 0}, {STREAM_STOP, 0, 1}, {REBIND, 0, 1},       {STREAM_START, 0, 0},
    };
    for (const char* control : {"Master Mute", "DAC DIT Mute"}) {
        AnalogueBoard b;
        ASSERT_EQ(b.bind(), 0);
        EXPECT_EQ(b.dac.reg(0x07) & 0x01, 1); // muted from probe until a stream starts
        for (size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE(std::string(control) + " step " + std::to_string(i));
            snd_soc_dai* dac = b.dac.dai();
            switch (rows[i].step) {
            case USER_ON:
            case USER_OFF:
                EXPECT_EQ(standin::controlPut(b.card(), control, rows[i].step == USER_ON), 1);
                break;
            case STREAM_START:
            case STREAM_STOP:
                EXPECT_EQ(snd_soc_dai_digital_mute(dac, rows[i].step == STREAM_STOP, SNDRV_PCM_STREAM_PLAYBACK), 0);
                break;
            case REBIND:
                EXPECT_EQ(b.machine.remove(), 0);
                ASSERT_EQ(b.machine.probe(), 0);
                break;
            }
            EXPECT_EQ(standin::controlGet(b.card(), control), rows[i].control);
            EXPECT_EQ(b.dac.reg(0x07) & 0x01, rows[i].muted);
        }
    }
    // Either control's mute holds while the other is released.
    AnalogueBoard b;
    ASSERT_EQ(b.bind(), 0);
    snd_soc_dai_digital_mute(b.dac.dai(), 0, SNDRV_PCM_STREAM_PLAYBACK);
    standin::controlPut(b.card(), "Master Mute", 1);
    standin::controlPut(b.card(), "DAC DIT Mute", 1);
    standin::controlPut(b.card(), "DAC DIT Mute", 0);
    EXPECT_EQ(b.dac.reg(0x07) & 0x01, 1);
    standin::controlPut(b.card(), "Master Mute", 0);
    EXPECT_EQ(b.dac.reg(0x07) & 0x01, 0);

    // A mute the DAC does not take is an error, and the control keeps off.
    b.dac.failing().insert(0x07);
    EXPECT_EQ(standin::controlPut(b.card(), "Master Mute", 1), -EIO);
    EXPECT_EQ(standin::controlGet(b.card(), "Master Mute"), 0);
    b.dac.failing().clear();
    EXPECT_EQ(standin::controlPut(b.card(), "Master Mute", 1), 1);
    EXPECT_EQ(b.dac.chip()[0x07] & 0x01, 1u); // the chip, not only the cache
}

// Lines the description gives but that cannot be had (their controller not
// probed yet, or taken) fail the probe with the error, so that the card
// binds later with them; nothing of the failed probe stays.
TEST(KernelMachine, AnalogueProbeFailsForALineThatCannotBeHadYet) {
    for (const char* line : {"clk-pen", "clk-pen48", "rsmic", "nxsel", "nhsel"}) {
        for (int error : {-EPROBE_DEFER, -EBUSY}) {
            SCOPED_TRACE(std::string(line) + " " + std::to_string(error));
            AnalogueBoard b;
            b.machine.gpios()[line] = error;
            EXPECT_EQ(b.bind(), error);
            EXPECT_EQ(b.card(), nullptr);
            EXPECT_EQ(b.refs(), 0);
            b.machine.gpios()[line] = 0;
            EXPECT_EQ(b.machine.probe(), 0);
            EXPECT_NE(b.card(), nullptr);
        }
    }
}

TEST(KernelMachine, AnalogueVirtualSelectorsHoldTheirItemsAndAllRoutesConnect) {
    AnalogueBoard b;
    ASSERT_EQ(b.bind(), 0);
    snd_soc_card* card = b.card();
    EXPECT_EQ(card->num_dapm_widgets, 30);
    EXPECT_EQ(card->num_dapm_routes, 27);
    EXPECT_EQ(standin::connectedRoutes(card), 27);
    EXPECT_EQ(standin::controlNames(card, true), (std::vector<std::string>{"Mode", "Control", "RemoteButton"}));
    struct Row {
        const char* mux;
        unsigned int items;
        unsigned int probe;
        const char* text;
    } rows[] = {
        {"Mode", 5, 4, "Speaker Calibration"},
        {"Control", 11, 10, "EXIT SPEAKER CALIBRATION"},
        {"RemoteButton", 9, 3, "REMOTE_BUTTON_OK_PRESSED"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.mux);
        EXPECT_EQ(standin::controlGet(card, r.mux), 0);
        EXPECT_EQ(standin::controlPut(card, r.mux, r.probe), 1);
        EXPECT_EQ(standin::controlPut(card, r.mux, r.probe), 0);
        EXPECT_EQ(standin::controlPut(card, r.mux, r.items), -EINVAL);
        // A second client's element reads the same state.
        standin::CardControl other = *standin::control(card, r.mux);
        snd_ctl_elem_value v{};
        ASSERT_EQ(other.knew->get(&other.kcontrol, &v), 0);
        EXPECT_EQ(v.value.enumerated.item[0], r.probe);
        snd_ctl_elem_info info{};
        info.value.enumerated.item = r.probe;
        other.knew->info(&other.kcontrol, &info);
        EXPECT_EQ(info.value.enumerated.items, r.items);
        EXPECT_STREQ(info.value.enumerated.name, r.text);
    }
}

TEST(KernelMachine, DigitalProbeFailsForEachMissingPhandleAndReleasesTheNodes) {
    struct Row {
        bool twoPort;
        int missing;
    } rows[] = {{false, 1}, {false, 2}, {false, 3}, {true, 3}};
    for (const auto& r : rows) {
        std::string prop = "mobu,digi-out-codec-" + std::to_string(r.missing);
        SCOPED_TRACE(prop + (r.twoPort ? " two-port" : ""));
        DigitalBoard b(r.twoPort);
        b.board.phandles().erase(prop);
        EXPECT_EQ(b.bind(), -EINVAL);
        EXPECT_TRUE(logged("Property '" + prop + "' missing or invalid\n"));
        EXPECT_TRUE(logged(b.probeName() + " error -22 exit\n"));
        EXPECT_EQ(b.card(), nullptr);
        EXPECT_EQ(b.refs(), 0);
    }
}

TEST(KernelMachine, DigitalBoardsLinkTheirTransmittersThroughTheDummyDai) {
    struct Row {
        bool twoPort;
        std::vector<std::string> names, dais;
        std::vector<unsigned int> fmts;
        int refs, routes;
    } rows[] = {
        {false,
         {"Mobu Digi out 1A", "Mobu Digi out 2A", "Mobu Digi out 3A"},
         {"dix4192-portA", "dix4192-portA", "dix4192-portA"},
         {I2S_SLAVE, I2S_SLAVE, I2S_SLAVE},
         3,
         0},
        {true,
         {"Mobu Digi out 1A", "Mobu Digi out 1B"},
         {"src4xxx-portA", "src4xxx-portB"},
         {I2S_SLAVE, I2S_MASTER},
         1,
         2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.twoPort);
        DigitalBoard b(r.twoPort);
        ASSERT_EQ(b.bind(), 0);
        snd_soc_card* card = b.card();
        ASSERT_NE(card, nullptr);
        ASSERT_EQ(card->num_links, static_cast<int>(r.names.size()));
        for (int i = 0; i < card->num_links; ++i) {
            SCOPED_TRACE(i);
            EXPECT_STREQ(card->dai_link[i].name, r.names[i].c_str());
            EXPECT_STREQ(card->dai_link[i].stream_name, r.names[i].c_str());
            EXPECT_EQ(card->dai_link[i].id, i);
            EXPECT_STREQ(standin::cpuDai(card, i)->name, "snd-soc-dummy-dai");
            EXPECT_STREQ(standin::codecDai(card, i)->name, r.dais[i].c_str());
            EXPECT_EQ(b.linkRecord(i).fmt, r.fmts[i]);
        }
        EXPECT_EQ(standin::controlNames(card).size(), 0u);
        EXPECT_EQ(card->num_dapm_widgets, r.routes);
        EXPECT_EQ(standin::connectedRoutes(card), r.routes);
        EXPECT_EQ(b.refs(), r.refs); // the shared node is held once
        EXPECT_EQ(b.machine.remove(), 0);
        EXPECT_EQ(b.refs(), 0);
    }
}

TEST(KernelMachine, DigitalHwParamsGivesTheCodecTheFamilyClock) {
    struct Row {
        bool twoPort;
        int link;
        unsigned int rate;
        bool clocks;
        int result;
        u32 mclk;
    } rows[] = {
        {false, 0, 176400, true, 0, MCLK_44K}, {false, 2, 96000, true, 0, MCLK_48K},
        {false, 1, 64000, true, -EINVAL, 0},   {false, 1, 48000, false, 0, 0},
        {true, 0, 44100, true, 0, MCLK_44K},   {true, 1, 192000, true, 0, MCLK_48K},
        {true, 1, 64000, true, -EINVAL, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.twoPort) + " " + std::to_string(r.link) + " " + std::to_string(r.rate));
        DigitalBoard b(r.twoPort);
        if (!r.clocks) b.board.u32s().clear();
        ASSERT_EQ(b.bind(), 0);
        EXPECT_EQ(standin::hwParams(b.card(), r.link, r.rate), r.result);
        const auto& rec = b.linkRecord(r.link);
        EXPECT_EQ(rec.sysclk_calls, r.result == 0 ? 1u : 0u);
        EXPECT_EQ(rec.sysclk, r.mclk);
        EXPECT_EQ(rec.clk_id, 0);
        EXPECT_EQ(rec.clk_dir, SND_SOC_CLOCK_IN);
        std::string fn = r.twoPort ? "snd_mobu_digi_dit2_hw_params" : "snd_mobu_digi_dit_hw_params";
        if (r.result == 0) {
            EXPECT_TRUE(logged(fn + " setting clk rate " + std::to_string(r.mclk) + "\n"));
        }
        if (r.result == -EINVAL) {
            EXPECT_TRUE(logged("unsupported sample rate 64000 Hz \n"));
        }
    }
}

} // namespace
