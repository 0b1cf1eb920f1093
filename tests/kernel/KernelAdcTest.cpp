// The monitoring ADC's IIO driver bound to a simulated converter through the
// kernel stand-in: probe, channels, raw and scale reads, remove.

#include "KernelStandIn.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>

namespace standin {
void PrintTo(const I2cTransfer& t, std::ostream* os) {
    *os << (t.read ? "read" : "write") << " [";
    for (u8 b : t.bytes)
        *os << " 0x" << std::hex << int(b) << std::dec;
    *os << " ] lock " << t.lockHeld;
}
} // namespace standin

using standin::I2cChip;
using standin::I2cTransfer;

namespace {

constexpr int VREF_3V3 = 3300000;

I2cTransfer sent(std::vector<u8> bytes, int lockHeld = 0) {
    return {false, std::move(bytes), lockHeld};
}
I2cTransfer received(std::vector<u8> bytes, int lockHeld = 1) {
    return {true, std::move(bytes), lockHeld};
}
I2cTransfer selected(u8 channel) {
    return sent({0x08, 0x11, channel}, 1);
}

// The converter as the driver sees it: a register write (0x08, reg, val)
// sets a register, a read answers with the word of the selected channel.  A
// write to failReg, or a read when recvResult is set, answers that instead.
struct Adc {
    explicit Adc(int vref = VREF_3V3) : chip("tla2528") {
        chip.supplies()["vref"].voltage = vref;
        chip.responder() = [this](bool read, std::vector<u8>& bytes) { return answer(read, bytes); };
    }
    int answer(bool read, std::vector<u8>& bytes) {
        if (read) {
            if (recvResult) return recvResult;
            u16 word = words[regs[0x11] & 7];
            bytes = {static_cast<u8>(word >> 8), static_cast<u8>(word)};
            return 2;
        }
        if (bytes.size() != 3 || bytes[0] != 0x08) return -EIO;
        if (bytes[1] == failReg) return sendResult;
        regs[bytes[1]] = bytes[2];
        return 3;
    }
    // Probed, with its transfers and log cleared.
    Adc& probed() {
        EXPECT_EQ(chip.probe(), 0);
        chip.clearTransfers();
        standin::clearLog();
        return *this;
    }
    int read(int channel, long mask, int* val, int* val2 = nullptr) {
        int unused = 0;
        iio_dev* iio = chip.iio();
        return iio->info->read_raw(iio, &iio->channels[channel], val, val2 ? val2 : &unused, mask);
    }
    int lockHeld() { return standin_mutex_holds; }
    standin::Supply& vref() { return chip.supplies()["vref"]; }

    I2cChip chip;
    std::array<u8, 256> regs{};
    std::array<u16, 8> words{};
    int failReg = -1, sendResult = -EIO, recvResult = 0;
};

const std::vector<std::string> PROBE_LOG = {
    "tla2528_probe : enter\n",
    "tla2528_probe : finding vref\n",
    "tla2528_probe : vref found\n",
    "tla2528_probe : i2s write reg TLA2528_PIN_CFG\n",
    "tla2528_probe : i2s write reg TLA2528_DATA_CFG\n",
    "tla2528_probe : i2s write reg TLA2528_SEQUENCE_CFG\n",
    "tla2528_probe : iio_device_register\n",
    "tla2528_probe : exit\n",
};

const std::vector<I2cTransfer> PROBE_WRITES = {
    sent({0x08, 0x05, 0x00}),
    sent({0x08, 0x02, 0x10}),
    sent({0x08, 0x10, 0x00}),
};

TEST(KernelAdc, ModuleDescribesItselfAndMatchesCompatibleAndId) {
    EXPECT_EQ(standin::modinfo("tla2528_adc", "license"), std::vector<std::string>{"GPL v2"});
    EXPECT_EQ(standin::modinfo("tla2528_adc", "description"),
              std::vector<std::string>{"Texas Instruments TLA2528 ADC driver"});
    EXPECT_EQ(standin::modinfo("tla2528_adc", "device_table"), (std::vector<std::string>{"i2c", "of"}));
    auto reg = standin::i2cDriver("tla2528");
    ASSERT_NE(reg.driver, nullptr);
    EXPECT_STREQ(reg.driver->driver.of_match_table[0].compatible, "ti,tla2528");
    EXPECT_STREQ(reg.driver->id_table[0].name, "tla2528");
}

TEST(KernelAdc, ProbeConfiguresTheConverterAndRegistersTheDevice) {
    Adc adc;
    standin::clearLog();
    ASSERT_EQ(adc.chip.probe(), 0);
    EXPECT_EQ(adc.chip.transfers(), PROBE_WRITES);
    EXPECT_EQ(standin::log(), PROBE_LOG);
    EXPECT_EQ(adc.vref().enabled, 1);
    EXPECT_TRUE(adc.chip.iioRegistered());
    iio_dev* iio = adc.chip.iio();
    EXPECT_STREQ(iio->name, "tla2528");
    EXPECT_EQ(iio->modes, INDIO_DIRECT_MODE);
    EXPECT_EQ(iio->dev.parent, &adc.chip.client()->dev);
}

TEST(KernelAdc, ProbeFailuresReturnTheErrorAndLeaveVrefDisabled) {
    const u32 full = I2C_FUNC_I2C | I2C_FUNC_SMBUS_BYTE_DATA;
    struct Row {
        const char* name;
        u32 functionality;
        int getError, enableError, failReg, sendResult, registerError, result;
        size_t writes, logLines;
    } rows[] = {
        {"no plain I2C", I2C_FUNC_SMBUS_BYTE_DATA, 0, 0, -1, 0, 0, -EOPNOTSUPP, 0, 1},
        {"no byte writes", I2C_FUNC_I2C, 0, 0, -1, 0, 0, -EOPNOTSUPP, 0, 1},
        {"vref missing", full, -EPROBE_DEFER, 0, -1, 0, 0, -EPROBE_DEFER, 0, 2},
        {"vref enable", full, 0, -EINVAL, -1, 0, 0, -EINVAL, 0, 3},
        {"PIN_CFG write", full, 0, 0, 0x05, -ENXIO, 0, -ENXIO, 1, 4},
        {"DATA_CFG short write", full, 0, 0, 0x02, 2, 0, -EIO, 2, 5},
        {"SEQUENCE_CFG write", full, 0, 0, 0x10, -EIO, 0, -EIO, 3, 6},
        {"registration", full, 0, 0, -1, 0, -ENOMEM, -ENOMEM, 3, 7},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Adc adc;
        adc.chip.adapter().functionality = r.functionality;
        adc.vref().getError = r.getError;
        adc.vref().enableError = r.enableError;
        adc.failReg = r.failReg;
        adc.sendResult = r.sendResult;
        adc.chip.iioRegisterError() = r.registerError;
        standin::clearLog();
        EXPECT_EQ(adc.chip.probe(), r.result);
        EXPECT_EQ(adc.chip.transfers(),
                  std::vector<I2cTransfer>(PROBE_WRITES.begin(), PROBE_WRITES.begin() + r.writes));
        std::vector<std::string> expected(PROBE_LOG.begin(), PROBE_LOG.begin() + r.logLines);
        if (r.writes || r.registerError) expected.push_back("tla2528_probe : error exit\n");
        EXPECT_EQ(standin::log(), expected);
        EXPECT_EQ(adc.vref().enabled, 0);
        EXPECT_EQ(adc.vref().unbalanced, 0);
        EXPECT_FALSE(adc.chip.iioRegistered());
    }
}

TEST(KernelAdc, ChannelsAreTheEightVoltageInputs) {
    Adc adc;
    adc.probed();
    iio_dev* iio = adc.chip.iio();
    ASSERT_EQ(iio->num_channels, 8);
    for (int n = 0; n < 8; ++n) {
        SCOPED_TRACE(n);
        const iio_chan_spec& c = iio->channels[n];
        EXPECT_EQ(c.type, IIO_VOLTAGE);
        EXPECT_EQ(c.indexed, 1u);
        EXPECT_EQ(c.channel, n);
        EXPECT_STREQ(c.datasheet_name, ("AIN" + std::to_string(n)).c_str());
        EXPECT_EQ(c.info_mask_separate, static_cast<long>(BIT(IIO_CHAN_INFO_RAW)));
        EXPECT_EQ(c.info_mask_shared_by_type, static_cast<long>(BIT(IIO_CHAN_INFO_SCALE)));
    }
}

TEST(KernelAdc, RawReadIsTheTwelveBitResultWithoutTheTag) {
    struct Row {
        int channel;
        u16 word;
        int value;
    } rows[] = {
        {0, 0x1230, 0x123}, {6, 0x8006, 2048}, {7, 0x0007, 0}, {3, 0xFFF0, 4095}, {3, 0xFFF3, 4095}, {3, 0xFFFF, 4095},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.channel) + " " + std::to_string(r.word));
        Adc adc;
        adc.probed().words[r.channel] = r.word;
        int val = -1;
        EXPECT_EQ(adc.read(r.channel, IIO_CHAN_INFO_RAW, &val), IIO_VAL_INT);
        EXPECT_EQ(val, r.value);
        EXPECT_EQ(adc.chip.transfers(),
                  (std::vector<I2cTransfer>{selected(r.channel), received({u8(r.word >> 8), u8(r.word)})}));
        EXPECT_EQ(adc.lockHeld(), 0);
    }
}

TEST(KernelAdc, ChannelSelectIsWrittenOnlyWhenTheChannelChanges) {
    Adc adc;
    adc.probed().words = {0x0010, 0x0020, 0x0030, 0x0040, 0x0050, 0x0060, 0x0070, 0x0080};
    std::vector<I2cTransfer> expected;
    int last = -1;
    for (int channel : {0, 0, 5, 5, 5, 2, 0}) {
        int val = -1;
        EXPECT_EQ(adc.read(channel, IIO_CHAN_INFO_RAW, &val), IIO_VAL_INT);
        EXPECT_EQ(val, channel + 1);
        if (channel != last) expected.push_back(selected(channel));
        expected.push_back(received({0x00, u8((channel + 1) << 4)}));
        last = channel;
    }
    EXPECT_EQ(adc.chip.transfers(), expected);
}

TEST(KernelAdc, FailedTransfersOfARawReadReturnTheError) {
    struct Row {
        const char* name;
        int sendResult, recvResult, result;
        bool logged;
        std::vector<I2cTransfer> failed, retried;
    } rows[] = {
        {"select fails", -ENXIO, 0, -ENXIO, false, {selected(4)}, {selected(4), received({0x00, 0x00})}},
        {"select short", 1, 0, -EIO, false, {selected(4)}, {selected(4), received({0x00, 0x00})}},
        {"receive fails", 0, -ETIMEDOUT, -ETIMEDOUT, true, {selected(4), received({})}, {received({0x00, 0x00})}},
        {"receive short", 0, 1, -EIO, true, {selected(4), received({0x00})}, {received({0x00, 0x00})}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Adc adc;
        adc.probed();
        if (r.sendResult) adc.failReg = 0x11;
        adc.sendResult = r.sendResult;
        adc.recvResult = r.recvResult;
        int val = -1;
        EXPECT_EQ(adc.read(4, IIO_CHAN_INFO_RAW, &val), r.result);
        EXPECT_EQ(adc.chip.transfers(), r.failed);
        EXPECT_EQ(standin::log(),
                  r.logged ? std::vector<std::string>{"i2c_master_recv failed\n"} : std::vector<std::string>{});
        EXPECT_EQ(adc.lockHeld(), 0);

        // Once the bus recovers the channel is selected again unless its
        // selection had gone through.
        adc.failReg = -1;
        adc.recvResult = 0;
        adc.chip.clearTransfers();
        EXPECT_EQ(adc.read(4, IIO_CHAN_INFO_RAW, &val), IIO_VAL_INT);
        EXPECT_EQ(adc.chip.transfers(), r.retried);
    }
}

TEST(KernelAdc, ScaleIsVrefMillivoltsOverTwelveBits) {
    struct Row {
        int channel, vref, result, val;
    } rows[] = {
        {0, VREF_3V3, IIO_VAL_FRACTIONAL_LOG2, 3300},
        {7, 2500000, IIO_VAL_FRACTIONAL_LOG2, 2500},
        {2, 1800999, IIO_VAL_FRACTIONAL_LOG2, 1800},
        {0, -EINVAL, -EINVAL, -1},
        {5, -ENODEV, -ENODEV, -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.vref);
        Adc adc(r.vref);
        adc.probed();
        int val = -1, val2 = -1;
        EXPECT_EQ(adc.read(r.channel, IIO_CHAN_INFO_SCALE, &val, &val2), r.result);
        EXPECT_EQ(val, r.val);
        if (r.result >= 0) {
            EXPECT_EQ(val2, 12);
        }
        EXPECT_TRUE(adc.chip.transfers().empty());
    }
}

TEST(KernelAdc, OtherRequestsAreInvalid) {
    for (long mask : {IIO_CHAN_INFO_PROCESSED, IIO_CHAN_INFO_OFFSET, IIO_CHAN_INFO_CALIBSCALE}) {
        SCOPED_TRACE(mask);
        Adc adc;
        int val = -1;
        EXPECT_EQ(adc.probed().read(1, mask, &val), -EINVAL);
        EXPECT_TRUE(adc.chip.transfers().empty());
    }
}

TEST(KernelAdc, RemoveUnregistersAndDisablesVref) {
    Adc adc;
    adc.probed();
    EXPECT_EQ(adc.chip.remove(), 0);
    EXPECT_FALSE(adc.chip.iioRegistered());
    EXPECT_EQ(adc.vref().enabled, 0);
    EXPECT_EQ(adc.vref().unbalanced, 0);
}

} // namespace
