// The analogue board's codec drivers (ES9038 DAC, ES9822 ADC) bound to a
// simulated chip through the kernel stand-in: identification, register map,
// DAI operations and controls.

#include "KernelStandIn.h"

extern "C" {
#include "../../drivers/analogue/es9038-codec.h"
#include "../../drivers/analogue/es9822-codec.h"
}

#include <gtest/gtest.h>

#include <array>
#include <map>

using standin::BusWrite;
using standin::I2cChip;

namespace {

constexpr unsigned int MCLK_48K = 24576000;
constexpr unsigned int MCLK_44K = 22579200;
constexpr unsigned int I2S_SLAVE = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBC_CFC;
constexpr unsigned int I2S_MASTER = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBP_CFP;

// A chip answering with a valid identification, probed.
struct Codec {
    explicit Codec(const std::string& driver, bool muteGpio = false) : chip(driver) {
        if (driver == "ess9038")
            chip.chip()[0x40] = 0xA8;
        else
            chip.chip()[0xE1] = 0x81;
        if (muteGpio) chip.gpios()["mute"] = 0;
        probed = chip.probe();
        chip.clearBusLog();
    }
    const snd_soc_dai_ops* ops() { return chip.dai()->driver->ops; }
    int setFmt(unsigned int fmt) { return ops()->set_fmt(chip.dai(), fmt); }
    int hwParams(unsigned int sysclk, unsigned int rate, snd_pcm_format_t format) {
        ops()->set_sysclk(chip.dai(), 0, sysclk, 0);
        snd_pcm_substream substream{SNDRV_PCM_STREAM_PLAYBACK, nullptr, nullptr};
        snd_pcm_hw_params params{format, rate, 2};
        return ops()->hw_params(&substream, &params, chip.dai());
    }
    long field(unsigned int reg, unsigned int mask) { return chip.reg(reg) & mask; }
    std::vector<BusWrite> writesTo(unsigned int first, unsigned int last) const {
        std::vector<BusWrite> writes;
        for (const auto& w : chip.busLog())
            if (w.reg >= first && w.reg <= last) writes.push_back(w);
        return writes;
    }
    I2cChip chip;
    int probed;
};

TEST(KernelCodec, ModulesDescribeThemselvesAndExportTheCodecEntryPoints) {
    struct Row {
        const char* module;
        const char* description;
        std::vector<std::string> exports, tables;
    } rows[] = {
        {"es9038_codec",
         "ASoC ESS9038 CODEC driver",
         {"ess9038_regmap_config", "ess9038_set_user_mute", "ess9038_user_mute", "ess9038_probe"},
         {}},
        {"es9038_codec_i2c", "ASoC ESS9038 CODEC I2C driver", {}, {"of", "i2c"}},
        {"es9822_codec", "ASoC ESS9822 CODEC driver", {"ess9822_regmap_config", "ess9822_probe"}, {}},
        {"es9822_codec_i2c", "ASoC ESS9822 CODEC I2C driver", {}, {"of", "i2c"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.module);
        EXPECT_EQ(standin::modinfo(r.module, "license"), std::vector<std::string>{"GPL v2"});
        EXPECT_EQ(standin::modinfo(r.module, "description"), std::vector<std::string>{r.description});
        EXPECT_EQ(standin::modinfo(r.module, "export_gpl"), r.exports);
        EXPECT_EQ(standin::modinfo(r.module, "device_table"), r.tables);
    }
}

TEST(KernelCodec, I2cDriversMatchTheirCompatibleAndIdWithoutRemove) {
    for (std::string chip : {"ess9038", "ess9822"}) {
        SCOPED_TRACE(chip);
        auto reg = standin::i2cDriver(chip);
        ASSERT_NE(reg.driver, nullptr);
        EXPECT_EQ(reg.module, "es" + chip.substr(3) + "_codec_i2c");
        EXPECT_STREQ(reg.driver->driver.of_match_table[0].compatible, ("ess," + chip).c_str());
        EXPECT_STREQ(reg.driver->id_table[0].name, chip.c_str());
        EXPECT_EQ(reg.driver->remove, nullptr);
    }
}

// Register defaults as the chips' documentation gives them: single registers
// and runs of registers sharing one value.
using Defaults = std::map<unsigned int, unsigned int>;
Defaults defaults(std::initializer_list<std::pair<unsigned int, unsigned int>> regs,
                  std::initializer_list<std::array<unsigned int, 3>> runs = {}) {
    Defaults d(regs.begin(), regs.end());
    for (const auto& [first, last, value] : runs)
        for (unsigned int r = first; r <= last; ++r)
            d[r] = value;
    return d;
}

Defaults driverDefaults(const regmap_config& cfg) {
    Defaults d;
    for (unsigned int i = 0; i < cfg.num_reg_defaults; ++i)
        EXPECT_TRUE(d.emplace(cfg.reg_defaults[i].reg, cfg.reg_defaults[i].def).second) << cfg.reg_defaults[i].reg;
    return d;
}

TEST(KernelCodec, RegisterMapsHoldTheirDefaultsAndAccessRules) {
    const Defaults dac =
        defaults({{0x00, 0x0C}, {0x01, 0x3C}, {0x02, 0x3D}, {0x04, 0x00}, {0x05, 0x68}, {0x06, 0x4A}, {0x07, 0x40},
                  {0x08, 0x88}, {0x09, 0x88}, {0x0A, 0x00}, {0x0B, 0x00}, {0x0C, 0x5A}, {0x0D, 0x20}, {0x0E, 0x8A},
                  {0x0F, 0x09}, {0x18, 0xFF}, {0x19, 0xFF}, {0x1A, 0xFF}, {0x1B, 0x7F}, {0x26, 0x10}, {0x27, 0x32},
                  {0x28, 0x54}, {0x29, 0x76}, {0x2F, 0xE0}, {0x30, 0x03}, {0x31, 0x00}, {0x32, 0x40}, {0x33, 0x00},
                  {0x34, 0x40}, {0x36, 0xF0}, {0x3E, 0x00}, {0x3F, 0x06}},
                 {{0x10, 0x17, 0x00}, {0x1C, 0x25, 0x00}, {0x2A, 0x2E, 0x00}});
    const Defaults adc = defaults(
        {{0x02, 0x03}, {0x09, 0x03}, {0x0A, 0x05},   {0x0B, 0x01},   {0x0D, 0x01}, {0x11, 0x2C},   {0x12, 0x2C},
         {0x13, 0x2C}, {0x14, 0x0A}, {0x15, 0xFFFF}, {0x16, 0xFFFF}, {0x17, 0x04}, {0x21, 0x15},   {0x22, 0x1F},
         {0x6D, 0x7F}, {0x6E, 0xFF}, {0x70, 0x20},   {0x71, 0x80},   {0x7B, 0xFF}, {0x7E, 0x7FFF}, {0x7F, 0x7FFF},
         {0x81, 0x20}, {0x82, 0x80}, {0x00, 0x00},   {0x01, 0x00},   {0x0C, 0x00}, {0x47, 0x00},   {0x6F, 0x00},
         {0x7C, 0x00}, {0x7D, 0x00}, {0x80, 0x00},   {0x98, 0x00}},
        {{0x03, 0x08, 0x00},
         {0x1B, 0x20, 0x00},
         {0x23, 0x42, 0x00},
         {0x49, 0x4F, 0x00},
         {0x52, 0x6C, 0x00},
         {0x72, 0x7A, 0x00},
         {0x83, 0x86, 0x00},
         {0xC0, 0xC2, 0x00}});
    ASSERT_EQ(dac.size(), 55u);
    ASSERT_EQ(adc.size(), 126u);
    EXPECT_EQ(driverDefaults(ess9038_regmap_config), dac);
    EXPECT_EQ(driverDefaults(ess9822_regmap_config), adc);
    EXPECT_EQ(ess9038_regmap_config.max_register, 0x73u);
    // The ADC's status registers run up to 0xFD: the map reaches them.
    EXPECT_EQ(ess9822_regmap_config.max_register, 0xFDu);
    struct Row {
        const regmap_config* cfg;
        unsigned int reg;
        bool r, w, v;
    } rows[] = {
        {&ess9038_regmap_config, 2, true, true, false},    {&ess9038_regmap_config, 3, false, false, false},
        {&ess9038_regmap_config, 53, false, false, false}, {&ess9038_regmap_config, 54, true, true, false},
        {&ess9038_regmap_config, 63, true, true, false},   {&ess9038_regmap_config, 64, true, false, true},
        {&ess9038_regmap_config, 93, true, false, true},   {&ess9038_regmap_config, 94, false, false, false},
        {&ess9038_regmap_config, 100, true, false, false}, {&ess9038_regmap_config, 115, true, false, false},
        {&ess9822_regmap_config, 179, true, true, false},  {&ess9822_regmap_config, 180, false, false, false},
        {&ess9822_regmap_config, 192, false, true, false}, {&ess9822_regmap_config, 195, false, false, false},
        {&ess9822_regmap_config, 225, true, false, true},  {&ess9822_regmap_config, 0xF4, true, false, true},
        {&ess9822_regmap_config, 0xFD, true, false, true}, {&ess9822_regmap_config, 0xFE, false, false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reg);
        EXPECT_EQ(standin::readable(*r.cfg, r.reg), r.r);
        EXPECT_EQ(standin::writeable(*r.cfg, r.reg), r.w);
        EXPECT_EQ(standin::isVolatile(*r.cfg, r.reg), r.v);
    }
    Codec adcChip("ess9822");
    adcChip.chip.chip()[0xFA] = 0x5A;
    EXPECT_EQ(adcChip.chip.reg(0xFA), 0x5A);
}

TEST(KernelCodec, ProbeAcceptsOnlyTheChipIdentification) {
    struct Row {
        const char* driver;
        unsigned int idReg, id;
        bool readFails;
        int result;
    } rows[] = {
        {"ess9038", 0x40, 0xA8, false, 0},   {"ess9038", 0x40, 0xAB, false, 0}, {"ess9038", 0x40, 0xA4, false, -EINVAL},
        {"ess9038", 0x40, 0xA8, true, -EIO}, {"ess9822", 0xE1, 0x81, false, 0}, {"ess9822", 0xE1, 0x80, false, -EINVAL},
        {"ess9822", 0xE1, 0x81, true, -EIO},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.driver) + " " + std::to_string(r.id));
        I2cChip chip(r.driver);
        chip.chip()[r.idReg] = r.id;
        if (r.readFails) chip.failing().insert(r.idReg);
        EXPECT_EQ(chip.probe(), r.result);
        EXPECT_EQ(chip.dai() != nullptr, r.result == 0);
        if (r.result == 0) {
            EXPECT_STREQ(chip.dai()->name, (std::string(r.driver) + "-hifi").c_str());
        }
    }
}

TEST(KernelCodec, DacProbeMutesAndRequestsTheOptionalMuteLine) {
    struct Row {
        bool provided;
        int gpioError, result, gpioValue;
    } rows[] = {{false, 0, 0, -1}, {true, 0, 0, 1}, {true, -EPROBE_DEFER, -EPROBE_DEFER, -1}};
    for (const auto& r : rows) {
        I2cChip chip("ess9038");
        chip.chip()[0x40] = 0xA8;
        if (r.provided) chip.gpios()["mute"] = r.gpioError;
        EXPECT_EQ(chip.probe(), r.result);
        EXPECT_EQ(chip.reg(0x07) & 0x01, 1);
        EXPECT_EQ(chip.gpioValue("mute"), r.gpioValue);
    }
}

TEST(KernelCodec, DacSetFmtWritesInputMasterAndFormatFields) {
    struct Row {
        unsigned int fmt;
        int result;
        long master, format;
    } rows[] = {
        {I2S_SLAVE, 0, 0x00, 0},
        {SND_SOC_DAIFMT_LEFT_J | SND_SOC_DAIFMT_CBP_CFP, 0, 0x08, 1},
        {SND_SOC_DAIFMT_RIGHT_J | SND_SOC_DAIFMT_CBC_CFC, 0, 0x00, 2},
        {I2S_MASTER, 0, 0x08, 0},
        {SND_SOC_DAIFMT_DSP_A | SND_SOC_DAIFMT_CBP_CFP, -EINVAL, 0x08, 1}, // master written, format kept
        {SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBC_CFP, -EINVAL, 0x00, 1},   // mixed clock roles
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fmt);
        Codec dac("ess9038");
        EXPECT_EQ(dac.setFmt(r.fmt), r.result);
        EXPECT_EQ(dac.field(0x01, 0x0C), 0);
        EXPECT_EQ(dac.field(0x0A, 0x08), r.master);
        EXPECT_EQ(dac.field(0x02, 0x03), r.format);
    }
}

TEST(KernelCodec, DacHwParamsSetsWordLengthDividerAndMasterNco) {
    struct Row {
        unsigned int fmt, sysclk, rate;
        snd_pcm_format_t format;
        int result;
        long divider, word;
        std::vector<BusWrite> nco;
        unsigned int failing = 0;
    } rows[] = {
        {I2S_SLAVE, MCLK_48K, 48000, SNDRV_PCM_FORMAT_S16_LE, 0, 0x40, 0x00, {}},
        {I2S_SLAVE, MCLK_48K, 96000, SNDRV_PCM_FORMAT_S32_LE, 0, 0x20, 0x10, {}},
        {I2S_SLAVE, MCLK_48K, 192000, SNDRV_PCM_FORMAT_S24_LE, 0, 0x00, 0x00, {}},
        {I2S_SLAVE, MCLK_48K, 44100, SNDRV_PCM_FORMAT_S16_LE, 0, 0x40, 0x00, {}},
        {I2S_SLAVE, MCLK_48K, 32000, SNDRV_PCM_FORMAT_S16_LE, -EINVAL, 0x00, 0x00, {}},
        {I2S_SLAVE, MCLK_48K, 48000, SNDRV_PCM_FORMAT_S8, -EINVAL, 0x00, 0x30, {}}, // reset word length kept
        // Bytes 0, 1 and 3 equal the cache: forced, they still reach the chip.
        {I2S_MASTER,
         MCLK_48K,
         48000,
         SNDRV_PCM_FORMAT_S32_LE,
         0,
         0x40,
         0x10,
         {{0x2A, 0x00}, {0x2B, 0x00}, {0x2C, 0x80}, {0x2D, 0x00}}},
        {I2S_MASTER, 0, 48000, SNDRV_PCM_FORMAT_S32_LE, -EINVAL, 0x00, 0x10, {}},          // no master clock
        // The DPLL read-back is for the log only: its failure does not stop the stream.
        {I2S_SLAVE, MCLK_48K, 48000, SNDRV_PCM_FORMAT_S16_LE, 0, 0x40, 0x00, {}, 0x43},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.rate) + (r.fmt == I2S_MASTER ? " master" : " slave"));
        Codec dac("ess9038");
        ASSERT_EQ(dac.setFmt(r.fmt), 0);
        dac.chip.clearBusLog();
        if (r.failing) dac.chip.failing().insert(r.failing);
        EXPECT_EQ(dac.hwParams(r.sysclk, r.rate, r.format), r.result);
        EXPECT_EQ(dac.field(0x0A, 0x60), r.divider);
        EXPECT_EQ(dac.field(0x02, 0x30), r.word);
        EXPECT_EQ(dac.writesTo(0x2A, 0x2D), r.nco);
        EXPECT_EQ(dac.field(0x07, 0xE0), r.result == 0 ? 0xE0 : 0x40);
    }
}

TEST(KernelCodec, DacMuteFollowsOnRegisterAndLine) {
    for (bool gpio : {false, true}) {
        SCOPED_TRACE(gpio);
        Codec dac("ess9038", gpio);
        for (int mute : {0, 1, 0}) {
            auto before = dac.chip.cache();
            EXPECT_EQ(dac.ops()->mute_stream(dac.chip.dai(), mute, SNDRV_PCM_STREAM_PLAYBACK), 0);
            auto after = dac.chip.cache();
            EXPECT_EQ(after[0x07] & 0x01, static_cast<unsigned int>(mute));
            after[0x07] = (after[0x07] & ~1u) | (before[0x07] & 1u);
            EXPECT_EQ(after, before);
            EXPECT_EQ(dac.chip.gpioValue("mute"), gpio ? mute : -1);
        }
        EXPECT_EQ(static_cast<unsigned int>(dac.ops()->no_capture_mute), 1u);
    }
}

TEST(KernelCodec, DacVolumeControlsAreInvertedHalfDecibelSteps) {
    for (unsigned int pair = 0; pair < 4; ++pair) {
        std::string name = "DAC " + std::to_string(2 * pair) + " " + std::to_string(2 * pair + 1) + " Volume";
        SCOPED_TRACE(name);
        Codec dac("ess9038");
        const snd_kcontrol_new* k = dac.chip.control(name);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->tlv.p[0], static_cast<unsigned int>(SNDRV_CTL_TLVT_DB_SCALE));
        EXPECT_EQ(static_cast<int>(k->tlv.p[2]), -12750);
        EXPECT_EQ(k->tlv.p[3], 50u); // no mute step
        snd_kcontrol kcontrol{k->private_value, dac.chip.component(), {}};
        snd_ctl_elem_info info{};
        k->info(&kcontrol, &info);
        EXPECT_EQ(info.value.integer.max, 255);
        EXPECT_EQ(dac.chip.controlPut(name, 255, 0), 1);
        EXPECT_EQ(dac.chip.reg(0x10 + 2 * pair), 0);
        EXPECT_EQ(dac.chip.reg(0x11 + 2 * pair), 255);
        EXPECT_EQ(dac.chip.controlGet(name), std::make_pair(255L, 0L));
    }
    EXPECT_EQ(Codec("ess9038").chip.controlGet("DAC 0 1 Volume"), std::make_pair(255L, 255L)); // reset: 0 dB
}

TEST(KernelCodec, SetBclkRatioAcceptsTheSupportedRatios) {
    struct Row {
        const char* driver;
        unsigned int ratio;
        int result;
        unsigned int reg, mask;
        long value;
    } rows[] = {
        {"ess9038", 16, 0, 0x01, 0x0C, 0x00},       {"ess9038", 24, 0, 0x01, 0x0C, 0x00},
        {"ess9038", 32, 0, 0x01, 0x0C, 0x00},       {"ess9038", 64, -EINVAL, 0x01, 0x0C, 0x0C},
        {"ess9822", 16, 0, 0x08, 0x30, 0x20},       {"ess9822", 32, 0, 0x08, 0x30, 0x00},
        {"ess9822", 24, -EINVAL, 0x08, 0x30, 0x00},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.driver) + " " + std::to_string(r.ratio));
        Codec codec(r.driver);
        EXPECT_EQ(codec.ops()->set_bclk_ratio(codec.chip.dai(), r.ratio), r.result);
        EXPECT_EQ(codec.field(r.reg, r.mask), r.value);
    }
}

// Every write of an I2S set-up, in order; 0x43 has no default and its bit 2,
// read from the chip, survives the masked update.
const std::vector<BusWrite> ADC_CAPTURE_SETUP = {
    {0x01, 0x33}, {0x17, 0x0A}, {0x4A, 0x22}, {0x4B, 0x02}, {0x56, 0x03}, {0x58, 0x07}, {0x3F, 0xBB}, {0x40, 0x38},
    {0x41, 0xBB}, {0x42, 0x38}, {0x43, 0xBF}, {0x44, 0x38}, {0x45, 0xBB}, {0x46, 0x38}, {0x47, 0xFF}, {0x71, 0x98},
    {0x76, 0x01}, {0x82, 0x98}, {0x87, 0x01}, {0x93, 0x98}, {0xA4, 0x98}, {0x76, 0x00}, {0x98, 0x01},
};

TEST(KernelCodec, AdcSetFmtWritesTheCaptureSetupInOrder) {
    Codec adc("ess9822");
    adc.chip.chip()[0x43] = 0x04;
    ASSERT_EQ(adc.setFmt(I2S_MASTER), 0);
    std::vector<BusWrite> expected{{0x08, 0x01}};
    expected.insert(expected.end(), ADC_CAPTURE_SETUP.begin(), ADC_CAPTURE_SETUP.end());
    EXPECT_EQ(adc.chip.busLog(), expected);

    // Again: the plain updates now match the cache and stay off the bus; the
    // forced ones and the writes do not.
    adc.chip.clearBusLog();
    ASSERT_EQ(adc.setFmt(I2S_MASTER), 0);
    EXPECT_EQ(adc.chip.busLog(), std::vector<BusWrite>(ADC_CAPTURE_SETUP.begin() + 2, ADC_CAPTURE_SETUP.end()));
}

TEST(KernelCodec, AdcSetFmtRefusesWhatItCannotCapture) {
    struct Row {
        unsigned int fmt;
        unsigned int failingReg;
        int result;
        long master;
        size_t writes;
        const char* logged;
    } rows[] = {
        // A refused format writes nothing, not even the master bit.
        {SND_SOC_DAIFMT_LEFT_J | SND_SOC_DAIFMT_CBP_CFP, 0, -EINVAL, 0, 0, nullptr},
        {SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBP_CFC, 0, -EINVAL, 0, 0, nullptr},
        {I2S_SLAVE, 0x56, -EIO, 0, 4, "ess9822_set_dai_fmt 128, ret -5\n"},
        {I2S_SLAVE, 0x98, -EIO, 0, 22, "ess9822_set_dai_fmt 396, ret -5\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fmt);
        Codec adc("ess9822");
        if (r.failingReg) adc.chip.failing().insert(r.failingReg);
        standin::clearLog();
        EXPECT_EQ(adc.setFmt(r.fmt), r.result);
        EXPECT_EQ(adc.field(0x08, 0x01), r.master);
        EXPECT_EQ(adc.chip.busLog().size(), r.writes);
        if (r.logged) {
            EXPECT_EQ(standin::log().back(), r.logged);
        }
    }
}

TEST(KernelCodec, AdcHwParamsSetsWordLengthAndClockDividers) {
    struct Row {
        unsigned int fmt, sysclk, rate;
        snd_pcm_format_t format;
        int result;
        long divider, masterDivider, word;
    } rows[] = {
        {I2S_SLAVE, MCLK_48K, 48000, SNDRV_PCM_FORMAT_S16_LE, 0, 3, 3, 0x21},
        {I2S_SLAVE, MCLK_48K, 96000, SNDRV_PCM_FORMAT_S32_LE, 0, 1, 3, 0x01},
        {I2S_MASTER, MCLK_48K, 96000, SNDRV_PCM_FORMAT_S32_LE, 0, 1, 1, 0x01},
        {I2S_MASTER, MCLK_44K, 44100, SNDRV_PCM_FORMAT_S16_LE, 0, 3, 3, 0x21},
        {I2S_SLAVE, MCLK_48K, 44100, SNDRV_PCM_FORMAT_S16_LE, -EINVAL, 0x1F, 3, 0x21}, // remainder
        {I2S_SLAVE, MCLK_48K, 48000, SNDRV_PCM_FORMAT_S24_LE, -EINVAL, 0x1F, 3, 0x01},
        {I2S_SLAVE, 0, 48000, SNDRV_PCM_FORMAT_S32_LE, -EINVAL, 0x1F, 3, 0x01},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.sysclk) + " " + std::to_string(r.rate));
        Codec adc("ess9822");
        ASSERT_EQ(adc.setFmt(r.fmt), 0);
        ASSERT_EQ(regmap_write(adc.chip.map(), 0x02, 0x1F), 0); // unlike any divider below
        EXPECT_EQ(adc.hwParams(r.sysclk, r.rate, r.format), r.result);
        EXPECT_EQ(adc.field(0x02, 0x1F), r.divider);
        EXPECT_EQ(adc.field(0x09, 0x7F), r.masterDivider);
        EXPECT_EQ(adc.field(0x0B, 0x3F), r.word);
    }
}

TEST(KernelCodec, DaisDescribeTheirStreams) {
    Codec dac("ess9038"), adc("ess9822");
    const u64 formats = SNDRV_PCM_FMTBIT_S16_LE | SNDRV_PCM_FMTBIT_S32_LE;
    const unsigned int rates = SNDRV_PCM_RATE_44100 | SNDRV_PCM_RATE_48000 | SNDRV_PCM_RATE_88200 |
                               SNDRV_PCM_RATE_96000 | SNDRV_PCM_RATE_176400 | SNDRV_PCM_RATE_192000;
    struct Row {
        const snd_soc_pcm_stream* stream;
        const char* name;
        unsigned int chMin, chMax, sigBits;
    } rows[] = {
        {&dac.chip.dai()->driver->playback, "Playback A", 2, 8, 24},
        {&dac.chip.dai()->driver->capture, "Capture A", 2, 2, 24},
        {&adc.chip.dai()->driver->capture, "ADC", 2, 2, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_STREQ(r.stream->stream_name, r.name);
        EXPECT_EQ(r.stream->channels_min, r.chMin);
        EXPECT_EQ(r.stream->channels_max, r.chMax);
        EXPECT_EQ(r.stream->formats, formats);
        EXPECT_EQ(r.stream->rates, rates);
        EXPECT_EQ(r.stream->sig_bits, r.sigBits);
    }
    EXPECT_EQ(adc.chip.dai()->driver->playback.channels_max, 0u);
    EXPECT_EQ(dac.chip.component()->driver->num_controls, 4u);
    EXPECT_EQ(adc.chip.component()->driver->num_controls, 0u);
}

} // namespace

// Over a system sleep the chips may lose their registers: what the driver
// wrote before and during the sleep reaches the chip again on resume.
TEST(KernelCodec, RegistersSurviveASuspendThatCutsThePower) {
    for (const char* driver : {"ess9038", "ess9822"}) {
        SCOPED_TRACE(driver);
        const bool dac = std::string(driver) == "ess9038";
        Codec codec(driver);
        ASSERT_EQ(codec.probed, 0);
        ASSERT_EQ(codec.setFmt(I2S_MASTER), 0);
        snd_soc_component* component = codec.chip.component();
        ASSERT_NE(component->driver->suspend, nullptr);
        ASSERT_NE(component->driver->resume, nullptr);
        ASSERT_EQ(component->driver->suspend(component), 0);
        // Written while asleep: kept for the resume, not sent to the chip.
        codec.chip.clearBusLog();
        if (dac) {
            EXPECT_EQ(codec.chip.controlPut("DAC 0 1 Volume", 200, 100), 1);
        } else {
            EXPECT_EQ(codec.ops()->set_bclk_ratio(codec.chip.dai(), 16), 0);
        }
        EXPECT_TRUE(codec.chip.busLog().empty());
        codec.chip.chip().clear(); // the power cut
        ASSERT_EQ(component->driver->resume(component), 0);
        const std::map<unsigned int, unsigned int> expected =
            dac ? std::map<unsigned int, unsigned int>{{0x07, 0x41}, {0x0A, 0x08}, {0x10, 55}, {0x11, 155}}
                : std::map<unsigned int, unsigned int>{{0x01, 0x33}, {0x08, 0x21}, {0x17, 0x0A}};
        for (const auto& [reg, val] : expected)
            EXPECT_EQ(codec.chip.chip()[reg], val) << "register " << reg;
    }
}

// The DAC's two directions share its format registers: a capture opened
// beside a playback is offered the playback's rate and sample width only,
// and one that asks for others changes nothing under the playback.
TEST(KernelCodec, DacDirectionsShareRateAndSampleWidth) {
    Codec dac("ess9038");
    ASSERT_EQ(dac.setFmt(I2S_SLAVE), 0);
    const snd_soc_dai_ops* ops = dac.ops();
    snd_pcm_runtime playbackRuntime, captureRuntime;
    snd_pcm_substream playback{SNDRV_PCM_STREAM_PLAYBACK, nullptr, &playbackRuntime};
    snd_pcm_substream capture{SNDRV_PCM_STREAM_CAPTURE, nullptr, &captureRuntime};
    auto hwParams = [&](snd_pcm_substream& s, unsigned int rate, snd_pcm_format_t format) {
        snd_pcm_hw_params params{format, rate, 2};
        return ops->hw_params(&s, &params, dac.chip.dai());
    };
    ops->set_sysclk(dac.chip.dai(), 0, MCLK_48K, 0);
    ASSERT_EQ(ops->startup(&playback, dac.chip.dai()), 0);
    EXPECT_TRUE(playbackRuntime.constraints.empty());
    ASSERT_EQ(hwParams(playback, 48000, SNDRV_PCM_FORMAT_S16_LE), 0);
    ASSERT_EQ(ops->startup(&capture, dac.chip.dai()), 0);
    const std::map<int, std::vector<unsigned int>> running{{SNDRV_PCM_HW_PARAM_RATE, {48000}},
                                                           {SNDRV_PCM_HW_PARAM_SAMPLE_BITS, {16}}};
    EXPECT_EQ(captureRuntime.constraints, running);
    dac.chip.clearBusLog();
    EXPECT_EQ(hwParams(capture, 48000, SNDRV_PCM_FORMAT_S32_LE), -EBUSY);
    EXPECT_EQ(hwParams(capture, 96000, SNDRV_PCM_FORMAT_S16_LE), -EBUSY);
    EXPECT_TRUE(dac.chip.busLog().empty());
    EXPECT_EQ(dac.field(0x02, 0x30), 0x00);
    EXPECT_EQ(hwParams(capture, 48000, SNDRV_PCM_FORMAT_S16_LE), 0);
    // Once both are freed, either direction is free again.
    ASSERT_EQ(ops->hw_free(&playback, dac.chip.dai()), 0);
    ops->shutdown(&capture, dac.chip.dai());
    captureRuntime.constraints.clear();
    ASSERT_EQ(ops->startup(&capture, dac.chip.dai()), 0);
    EXPECT_TRUE(captureRuntime.constraints.empty());
    EXPECT_EQ(hwParams(capture, 96000, SNDRV_PCM_FORMAT_S32_LE), 0);
    EXPECT_EQ(dac.field(0x02, 0x30), 0x10);
}
