// Test side of the kernel stand-in: a simulated I2C chip with its register
// file or its own answers to plain transfers, the drivers and module
// information registered at start-up, and access to what a probe registered
// (component, DAIs, GPIOs, supplies, IIO device).
#pragma once

#include <linux/gpio/consumer.h>
#include <linux/i2c.h>
#include <linux/iio/iio.h>
#include <linux/of.h>
#include <linux/platform_device.h>
#include <linux/regmap.h>
#include <sound/soc.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// What the stand-in's PCM runtime holds: per hardware parameter, the values
// the constraints left (none: unconstrained).
struct snd_pcm_runtime {
    std::map<int, std::vector<unsigned int>> constraints;
};

namespace standin {

struct BusWrite {
    unsigned int reg;
    unsigned int val;
    bool operator==(const BusWrite& o) const { return reg == o.reg && val == o.val; }
};

// One plain transfer (i2c_master_send/recv) as the chip saw it.
struct I2cTransfer {
    bool read;
    std::vector<u8> bytes; // sent, or received (none when the read failed)
    int lockHeld;          // hold count of the IIO device lock meanwhile
    bool operator==(const I2cTransfer& o) const { return read == o.read && bytes == o.bytes && lockHeld == o.lockHeld; }
};

// The chip's side of plain transfers: given the bytes sent, or a buffer to
// fill for a read, it returns the count moved or a negative errno.
using I2cResponder = std::function<int(bool read, std::vector<u8>& bytes)>;

// A supply the device tree gives the device.
struct Supply {
    int getError = 0;    // devm_regulator_get() fails with this
    int enableError = 0; // regulator_enable() fails with this
    int voltage = 0;     // microvolts, or a negative errno
    int enabled = 0;     // enable count
    int unbalanced = 0;  // disables without a matching enable
};

// Values recorded by MODULE_LICENSE, MODULE_DESCRIPTION, EXPORT_SYMBOL_GPL and
// MODULE_DEVICE_TABLE ("license", "description", "export_gpl", "device_table").
std::vector<std::string> modinfo(const std::string& module, const std::string& tag);

struct RegisteredDriver {
    std::string module;
    i2c_driver* driver = nullptr;
};
// The I2C driver registered under its driver name, or a null driver.
RegisteredDriver i2cDriver(const std::string& name);

// The register access rules of a configuration, as the register map applies them.
bool readable(const regmap_config& cfg, unsigned int reg);
bool writeable(const regmap_config& cfg, unsigned int reg);
bool isVolatile(const regmap_config& cfg, unsigned int reg);

// Everything logged through dev_dbg/dev_err/... since the last clearLog().
const std::vector<std::string>& log();
void clearLog();

// One chip on the I2C bus, bound to a registered driver by probe().
class I2cChip {
public:
    explicit I2cChip(const std::string& driverName);
    ~I2cChip();
    I2cChip(const I2cChip&) = delete;
    I2cChip& operator=(const I2cChip&) = delete;

    // The chip's own registers; unset ones read as 0.  Set before probe()
    // they replace the power-on defaults.
    std::map<unsigned int, unsigned int>& chip();
    // Bus accesses of these registers fail with -EIO.
    std::set<unsigned int>& failing();
    // GPIOs the device tree provides: a name with 0 is present, with a
    // negative errno its request fails.
    std::map<std::string, int>& gpios();

    // What the adapter supports (I2C_FUNC_*).
    i2c_adapter& adapter();
    I2cResponder& responder();
    const std::vector<I2cTransfer>& transfers() const;
    void clearTransfers();
    std::map<std::string, Supply>& supplies();
    // The IIO device the driver allocated, whether it is registered, and the
    // error registration fails with.
    iio_dev* iio();
    bool iioRegistered() const;
    int& iioRegisterError();

    int probe();
    int remove();

    i2c_client* client();
    regmap* map();
    const std::vector<BusWrite>& busLog() const;
    void clearBusLog();
    // The register as the driver sees it (through the cache); -1 on error.
    long reg(unsigned int r);
    // Cached values of every cached register.
    std::map<unsigned int, unsigned int> cache() const;
    // Value of a requested GPIO, -1 if it was never requested.
    int gpioValue(const std::string& name) const;

    snd_soc_component* component();
    snd_soc_dai* dai(unsigned int index = 0);

    int controlPut(const std::string& name, long left, long right);
    // Left and right values of a double control.
    std::pair<long, long> controlGet(const std::string& name);
    const snd_kcontrol_new* control(const std::string& name);

private:
    std::string name_;
    i2c_driver* driver_;
    std::unique_ptr<i2c_client> client_;
};

// A device-tree node the test builds: its compatible, phandle and u32
// properties.  Its reference count tells what drivers still hold of it.
class Node {
public:
    explicit Node(const std::string& name, const std::string& compatible = "");
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    device_node* np();
    std::map<std::string, Node*>& phandles();
    std::map<std::string, u32>& u32s();
    int refs() const;

private:
    std::unique_ptr<device_node> np_;
};

struct RegisteredPlatformDriver {
    std::string module;
    platform_driver* driver = nullptr;
};
// The platform driver registered under its driver name, or a null driver.
RegisteredPlatformDriver platformDriver(const std::string& name);

// A device on the platform bus with its node, bound to the registered
// driver of that name by probe().  A device still bound when destroyed is
// removed first, as an unbind would.  Without a driver it is a plain device
// a test can register DAIs on itself.
class PlatformDevice {
public:
    PlatformDevice(const std::string& driverName, Node& node);
    ~PlatformDevice();
    PlatformDevice(const PlatformDevice&) = delete;
    PlatformDevice& operator=(const PlatformDevice&) = delete;

    // GPIOs the device tree provides, as for I2cChip.
    std::map<std::string, int>& gpios();
    // Value of a requested GPIO, -1 if it was never requested.
    int gpioValue(const std::string& name) const;
    // Every value written to an output line, in order.
    const std::vector<std::pair<std::string, int>>& gpioWrites() const;
    void clearGpioWrites();
    // Sets the level a requested line reads as (not logged as a write).
    void setGpioValue(const std::string& name, int value);

    int probe();
    int remove();
    bool bound() const { return bound_; }
    device* dev();
    platform_device* pdev() { return &pdev_; }

private:
    platform_driver* driver_;
    platform_device pdev_{};
    bool bound_ = false;
};

// A control of a bound card, with the element ALSA would hand to it.
struct CardControl {
    const snd_kcontrol_new* knew;
    snd_kcontrol kcontrol;
};

// The bound card of that name, or null.
snd_soc_card* card(const std::string& name);
// The card's own controls in the order added, or the controls its DAPM
// muxes created.
std::vector<std::string> controlNames(snd_soc_card* card, bool dapm = false);
CardControl* control(snd_soc_card* card, const std::string& name);
snd_ctl_elem_info controlInfo(snd_soc_card* card, const std::string& name);
// Integer value, or item of an enumerated control; put returns the handler's result.
int controlPut(snd_soc_card* card, const std::string& name, long value);
long controlGet(snd_soc_card* card, const std::string& name);
// Every widget the card's DAPM graph holds (card, component and DAI stream
// widgets), and the routes that connected.
std::vector<std::string> widgetNames(snd_soc_card* card);
int connectedRoutes(snd_soc_card* card);
snd_soc_dai* codecDai(snd_soc_card* card, int link);
snd_soc_dai* cpuDai(snd_soc_card* card, int link);
// Runs the link's hw_params as ASoC would for a stream of that rate.
int hwParams(snd_soc_card* card, int link, unsigned int rate, snd_pcm_format_t format = SNDRV_PCM_FORMAT_S32_LE,
             unsigned int channels = 2, int stream = SNDRV_PCM_STREAM_PLAYBACK);
// The link's startup and hw_free in a direction, on the substream hwParams uses.
int startup(snd_soc_card* card, int link, int stream = SNDRV_PCM_STREAM_PLAYBACK);
int hwFree(snd_soc_card* card, int link, int stream = SNDRV_PCM_STREAM_PLAYBACK);


} // namespace standin
