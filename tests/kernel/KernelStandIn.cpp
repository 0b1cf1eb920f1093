// User-space stand-in of the kernel services the drivers call: register maps
// and plain transfers over a simulated I2C chip, device-managed resources,
// GPIO descriptors, supplies, ASoC component registration with the generic
// volume control handlers, and IIO device registration; device-tree nodes,
// platform devices, and ASoC cards bound to the registered DAIs with their
// controls and DAPM graph.

#include "KernelStandIn.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <linux/property.h>
#include <linux/regulator/consumer.h>

#include <array>

struct gpio_desc {
    std::string name;
    bool output = false;
    int value = 0;
    standin_device* owner = nullptr;
};

struct standin_node {
    std::string compatible;
    std::map<std::string, standin::Node*> phandles;
    std::map<std::string, u32> u32s;
};

struct regmap {
    regmap_config cfg;
    device* dev;
    unsigned int valMask;
    std::map<unsigned int, unsigned int> cache;
    std::vector<standin::BusWrite> log;
    bool cacheOnly = false;
    bool dirty = false;
};

struct regulator {
    standin::Supply* supply;
};

struct standin_device {
    i2c_adapter adapter{I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA};
    standin::I2cResponder responder = [](bool, std::vector<u8>& bytes) { return static_cast<int>(bytes.size()); };
    std::vector<standin::I2cTransfer> transfers;
    std::map<std::string, standin::Supply> supplies;
    std::vector<std::unique_ptr<regulator>> regulators;
    iio_dev* iio = nullptr;
    bool iioRegistered = false;
    int iioRegisterError = 0;
    std::map<unsigned int, unsigned int> chip;
    std::set<unsigned int> failing;
    std::map<std::string, int> gpios;
    std::vector<std::unique_ptr<gpio_desc>> gpioDescs;
    std::vector<void*> allocations;
    std::unique_ptr<regmap> map;
    std::unique_ptr<snd_soc_component> component;
    std::vector<snd_soc_dai> dais;
    std::vector<std::pair<std::string, int>> gpioWrites;
    const of_device_id* match = nullptr;
    // Device-managed actions, run last first when the device is unbound.
    std::vector<std::pair<void (*)(void*), void*>> actions;
    void releaseActions() {
        while (!actions.empty()) {
            auto a = actions.back();
            actions.pop_back();
            a.first(a.second);
        }
    }
    ~standin_device();
};

int standin_mutex_holds;

namespace {

struct ModInfo {
    std::string module, tag, value;
};

std::vector<ModInfo>& modinfoTable() {
    static std::vector<ModInfo> table;
    return table;
}

std::map<std::string, standin::RegisteredDriver>& i2cDrivers() {
    static std::map<std::string, standin::RegisteredDriver> drivers;
    return drivers;
}

std::map<std::string, standin::RegisteredPlatformDriver>& platformDrivers() {
    static std::map<std::string, standin::RegisteredPlatformDriver> drivers;
    return drivers;
}

// Devices whose component is registered, whose DAIs cards can bind.
std::vector<standin_device*>& componentDevices() {
    static std::vector<standin_device*> devices;
    return devices;
}

int gpioValueOf(const standin_device* s, const std::string& name) {
    for (const auto& g : s->gpioDescs)
        if (g->name == name) return g->value;
    return -1;
}

std::vector<std::string>& logLines() {
    static std::vector<std::string> lines;
    return lines;
}

// A register is in a table unless it is in a no-range; a table without
// yes-ranges takes every other register.
bool inTable(const regmap_access_table* t, unsigned int reg) {
    for (unsigned int i = 0; i < t->n_no_ranges; ++i)
        if (reg >= t->no_ranges[i].range_min && reg <= t->no_ranges[i].range_max) return false;
    if (t->n_yes_ranges == 0) return true;
    for (unsigned int i = 0; i < t->n_yes_ranges; ++i)
        if (reg >= t->yes_ranges[i].range_min && reg <= t->yes_ranges[i].range_max) return true;
    return false;
}

bool cached(const regmap* map, unsigned int reg) {
    return map->cfg.cache_type != REGCACHE_NONE && !standin::isVolatile(map->cfg, reg);
}

int busRead(regmap* map, unsigned int reg, unsigned int* val) {
    standin_device* s = map->dev->standin;
    if (s->failing.count(reg)) return -EIO;
    *val = s->chip[reg] & map->valMask;
    return 0;
}

int busWrite(regmap* map, unsigned int reg, unsigned int val) {
    standin_device* s = map->dev->standin;
    if (s->failing.count(reg)) return -EIO;
    map->log.push_back({reg, val});
    s->chip[reg] = val;
    return 0;
}

// As the kernel's register map: the cache answers first, then the bus, and
// what the bus returned for a cacheable register is cached.
int mapRead(regmap* map, unsigned int reg, unsigned int* val) {
    if (cached(map, reg)) {
        auto it = map->cache.find(reg);
        if (it != map->cache.end()) {
            *val = it->second;
            return 0;
        }
    }
    if (!standin::readable(map->cfg, reg)) return -EIO;
    if (map->cacheOnly) return -EBUSY;
    int ret = busRead(map, reg, val);
    if (ret == 0 && cached(map, reg)) map->cache[reg] = *val;
    return ret;
}

// The cache takes the value before the bus write, as in the kernel.
int mapWrite(regmap* map, unsigned int reg, unsigned int val) {
    if (!standin::writeable(map->cfg, reg)) return -EIO;
    val &= map->valMask;
    if (cached(map, reg)) map->cache[reg] = val;
    else if (map->cacheOnly) return -EBUSY;
    if (map->cacheOnly) {
        map->dirty = true;
        return 0;
    }
    return busWrite(map, reg, val);
}

const soc_mixer_control* mixer(const snd_kcontrol* kcontrol) {
    return reinterpret_cast<const soc_mixer_control*>(kcontrol->private_value);
}

// A transfer reaches the responder and is recorded with what it moved.
int transfer(const i2c_client* client, bool read, char* buf, int count) {
    standin_device* s = client->dev.standin;
    std::vector<u8> bytes(count);
    if (!read) std::memcpy(bytes.data(), buf, count);
    int ret = s->responder(read, bytes);
    if (read) {
        bytes.resize(ret > 0 ? std::min(ret, count) : 0);
        std::memcpy(buf, bytes.data(), bytes.size());
    }
    s->transfers.push_back({read, bytes, standin_mutex_holds});
    return ret;
}

unsigned int fieldMask(int max) {
    unsigned int mask = 1;
    while (mask < static_cast<unsigned int>(max))
        mask = (mask << 1) | 1;
    return mask;
}

} // namespace

namespace standin {

std::vector<std::string> modinfo(const std::string& module, const std::string& tag) {
    std::vector<std::string> values;
    for (const auto& m : modinfoTable())
        if (m.module == module && m.tag == tag) values.push_back(m.value);
    return values;
}

RegisteredDriver i2cDriver(const std::string& name) {
    auto it = i2cDrivers().find(name);
    return it == i2cDrivers().end() ? RegisteredDriver{} : it->second;
}

bool readable(const regmap_config& cfg, unsigned int reg) {
    if (cfg.max_register && reg > cfg.max_register) return false;
    if (cfg.readable_reg) return cfg.readable_reg(nullptr, reg);
    if (cfg.rd_table) return inTable(cfg.rd_table, reg);
    return true;
}

bool writeable(const regmap_config& cfg, unsigned int reg) {
    if (cfg.max_register && reg > cfg.max_register) return false;
    if (cfg.writeable_reg) return cfg.writeable_reg(nullptr, reg);
    if (cfg.wr_table) return inTable(cfg.wr_table, reg);
    return true;
}

bool isVolatile(const regmap_config& cfg, unsigned int reg) {
    if (!readable(cfg, reg)) return false;
    if (cfg.volatile_reg) return cfg.volatile_reg(nullptr, reg);
    if (cfg.volatile_table) return inTable(cfg.volatile_table, reg);
    return cfg.cache_type == REGCACHE_NONE;
}

const std::vector<std::string>& log() {
    return logLines();
}
void clearLog() {
    logLines().clear();
}

I2cChip::I2cChip(const std::string& driverName)
    : name_(driverName), driver_(i2cDriver(driverName).driver), client_(new i2c_client()) {
    std::snprintf(client_->name, sizeof(client_->name), "%s", driverName.c_str());
    client_->addr = 0x48;
    client_->dev.name = client_->name;
    client_->dev.standin = new standin_device();
    client_->adapter = &client_->dev.standin->adapter;
}

// Releasing the device frees what the driver allocated against it.
I2cChip::~I2cChip() {
    for (void* p : client_->dev.standin->allocations)
        std::free(p);
    delete client_->dev.standin;
}

std::map<unsigned int, unsigned int>& I2cChip::chip() {
    return client_->dev.standin->chip;
}
std::set<unsigned int>& I2cChip::failing() {
    return client_->dev.standin->failing;
}
std::map<std::string, int>& I2cChip::gpios() {
    return client_->dev.standin->gpios;
}

i2c_adapter& I2cChip::adapter() {
    return client_->dev.standin->adapter;
}
I2cResponder& I2cChip::responder() {
    return client_->dev.standin->responder;
}
const std::vector<I2cTransfer>& I2cChip::transfers() const {
    return client_->dev.standin->transfers;
}
void I2cChip::clearTransfers() {
    client_->dev.standin->transfers.clear();
}
std::map<std::string, Supply>& I2cChip::supplies() {
    return client_->dev.standin->supplies;
}
iio_dev* I2cChip::iio() {
    return client_->dev.standin->iio;
}
bool I2cChip::iioRegistered() const {
    return client_->dev.standin->iioRegistered;
}
int& I2cChip::iioRegisterError() {
    return client_->dev.standin->iioRegisterError;
}

// A failed probe releases what it had set up device-managed, as the
// driver core does.
int I2cChip::probe() {
    if (!driver_ || !driver_->probe_new) return -ENODEV;
    int ret = driver_->probe_new(client_.get());
    if (ret) client_->dev.standin->releaseActions();
    return ret;
}

// The driver's remove callback (if it has one), then its device-managed
// actions.
int I2cChip::remove() {
    if (!driver_) return -ENODEV;
    int ret = 0;
    if (driver_->remove) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
        driver_->remove(client_.get());
#else
        ret = driver_->remove(client_.get());
#endif
    }
    client_->dev.standin->releaseActions();
    return ret;
}

i2c_client* I2cChip::client() {
    return client_.get();
}
regmap* I2cChip::map() {
    return client_->dev.standin->map.get();
}

const std::vector<BusWrite>& I2cChip::busLog() const {
    static const std::vector<BusWrite> none;
    const regmap* m = client_->dev.standin->map.get();
    return m ? m->log : none;
}

void I2cChip::clearBusLog() {
    if (map()) map()->log.clear();
}

long I2cChip::reg(unsigned int r) {
    unsigned int val = 0;
    if (!map() || regmap_read(map(), r, &val)) return -1;
    return val;
}

std::map<unsigned int, unsigned int> I2cChip::cache() const {
    const regmap* m = client_->dev.standin->map.get();
    return m ? m->cache : std::map<unsigned int, unsigned int>{};
}

int I2cChip::gpioValue(const std::string& name) const {
    return gpioValueOf(client_->dev.standin, name);
}

snd_soc_component* I2cChip::component() {
    return client_->dev.standin->component.get();
}

snd_soc_dai* I2cChip::dai(unsigned int index) {
    auto& dais = client_->dev.standin->dais;
    return index < dais.size() ? &dais[index] : nullptr;
}

const snd_kcontrol_new* I2cChip::control(const std::string& name) {
    const snd_soc_component* c = component();
    if (!c) return nullptr;
    for (unsigned int i = 0; i < c->driver->num_controls; ++i)
        if (name == c->driver->controls[i].name) return &c->driver->controls[i];
    return nullptr;
}

int I2cChip::controlPut(const std::string& name, long left, long right) {
    const snd_kcontrol_new* k = control(name);
    if (!k) return -ENOENT;
    snd_kcontrol kcontrol{k->private_value, component(), {}};
    snd_ctl_elem_value value{};
    value.value.integer.value[0] = left;
    value.value.integer.value[1] = right;
    return k->put(&kcontrol, &value);
}

std::pair<long, long> I2cChip::controlGet(const std::string& name) {
    const snd_kcontrol_new* k = control(name);
    if (!k) return {-1, -1};
    snd_kcontrol kcontrol{k->private_value, component(), {}};
    snd_ctl_elem_value value{};
    if (k->get(&kcontrol, &value)) return {-1, -1};
    return {value.value.integer.value[0], value.value.integer.value[1]};
}

} // namespace standin

extern "C" {

void standin_modinfo_add(const char* module, const char* tag, const char* value) {
    modinfoTable().push_back({module, tag, value});
}

void standin_i2c_add_driver(const char* module, struct i2c_driver* driver) {
    i2cDrivers()[driver->driver.name] = {module, driver};
}

void standin_dev_printk(const char* level, const struct device* dev, const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    logLines().push_back(text);
    std::printf("[%s] %s: %s", level, dev && dev->name ? dev->name : "?", text);
}

void* devm_kzalloc(struct device* dev, size_t size, gfp_t) {
    void* p = std::calloc(1, size);
    if (p) dev->standin->allocations.push_back(p);
    return p;
}

void* devm_kmemdup(struct device* dev, const void* src, size_t len, gfp_t gfp) {
    void* p = devm_kzalloc(dev, len, gfp);
    if (p) std::memcpy(p, src, len);
    return p;
}

char* devm_kstrdup(struct device* dev, const char* s, gfp_t gfp) {
    char* p = static_cast<char*>(devm_kzalloc(dev, std::strlen(s) + 1, gfp));
    if (p) std::strcpy(p, s);
    return p;
}

struct bus_type platform_bus_type = {"platform"};
struct bus_type i2c_bus_type = {"i2c"};

const struct i2c_device_id* i2c_match_id(const struct i2c_device_id* id, const struct i2c_client* client) {
    for (; id && id->name[0]; ++id)
        if (std::strcmp(client->name, id->name) == 0) return id;
    return nullptr;
}

int i2c_master_send(const struct i2c_client* client, const char* buf, int count) {
    return transfer(client, false, const_cast<char*>(buf), count);
}

int i2c_master_recv(const struct i2c_client* client, char* buf, int count) {
    return transfer(client, true, buf, count);
}

// A supply the test did not provide is not there.
struct regulator* devm_regulator_get(struct device* dev, const char* id) {
    auto it = dev->standin->supplies.find(id);
    if (it == dev->standin->supplies.end()) return (regulator*)ERR_PTR(-ENODEV);
    if (it->second.getError) return (regulator*)ERR_PTR(it->second.getError);
    dev->standin->regulators.push_back(std::make_unique<regulator>(regulator{&it->second}));
    return dev->standin->regulators.back().get();
}

int regulator_enable(struct regulator* regulator) {
    if (regulator->supply->enableError) return regulator->supply->enableError;
    ++regulator->supply->enabled;
    return 0;
}

// As the kernel, a disable without an enable is refused (and warned about).
int regulator_disable(struct regulator* regulator) {
    if (regulator->supply->enabled <= 0) {
        ++regulator->supply->unbalanced;
        return -EIO;
    }
    --regulator->supply->enabled;
    return 0;
}

int regulator_is_enabled(struct regulator* regulator) {
    return regulator->supply->enabled > 0;
}

int regulator_get_voltage(struct regulator* regulator) {
    return regulator->supply->voltage;
}

// As in 4.19, the parent is left for the driver to set.
struct iio_dev* devm_iio_device_alloc(struct device* parent, int sizeof_priv) {
    auto* indio_dev = static_cast<iio_dev*>(devm_kzalloc(parent, STANDIN_IIO_PRIV_OFFSET + sizeof_priv, GFP_KERNEL));
    if (!indio_dev) return nullptr;
    parent->standin->iio = indio_dev;
    return indio_dev;
}

int iio_device_register(struct iio_dev* indio_dev) {
    standin_device* s = indio_dev->dev.parent ? indio_dev->dev.parent->standin : nullptr;
    if (!s || s->iio != indio_dev) return -EINVAL;
    if (s->iioRegisterError) return s->iioRegisterError;
    s->iioRegistered = true;
    return 0;
}

void iio_device_unregister(struct iio_dev* indio_dev) {
    indio_dev->dev.parent->standin->iioRegistered = false;
}

static void iioUnregisterAction(void* indio_dev) {
    iio_device_unregister(static_cast<iio_dev*>(indio_dev));
}

int devm_iio_device_register(struct device* dev, struct iio_dev* indio_dev) {
    int ret = iio_device_register(indio_dev);
    return ret ? ret : devm_add_action_or_reset(dev, iioUnregisterAction, indio_dev);
}

int devm_add_action_or_reset(struct device* dev, void (*action)(void*), void* data) {
    dev->standin->actions.push_back({action, data});
    return 0;
}

struct regmap* devm_regmap_init_i2c(struct i2c_client* client, const struct regmap_config* config) {
    if (config->reg_bits != 8 || config->val_bits <= 0 || config->val_bits > 16) return (regmap*)ERR_PTR(-EINVAL);
    standin_device* s = client->dev.standin;
    s->map.reset(new regmap{*config, &client->dev, (1u << config->val_bits) - 1, {}, {}});
    for (unsigned int i = 0; i < config->num_reg_defaults; ++i) {
        const reg_default& d = config->reg_defaults[i];
        s->map->cache[d.reg] = d.def & s->map->valMask;
        s->chip.emplace(d.reg, d.def & s->map->valMask); // power-on value unless the test set one
    }
    client->dev.regmap = s->map.get();
    return s->map.get();
}

struct regmap* dev_get_regmap(struct device* dev, const char*) {
    return dev->regmap;
}

void regcache_cache_only(struct regmap* map, bool enable) {
    map->cacheOnly = enable;
}

void regcache_mark_dirty(struct regmap* map) {
    map->dirty = true;
}

int regcache_sync(struct regmap* map) {
    if (!map->dirty) return 0;
    for (const auto& [reg, val] : map->cache) {
        const reg_default* d = nullptr;
        for (unsigned int i = 0; i < map->cfg.num_reg_defaults; ++i)
            if (map->cfg.reg_defaults[i].reg == reg) d = &map->cfg.reg_defaults[i];
        if (d && (d->def & map->valMask) == val) continue;
        if (int ret = busWrite(map, reg, val)) return ret;
    }
    map->dirty = false;
    return 0;
}

struct dev_pm_ops {};
const struct dev_pm_ops snd_soc_pm_ops{};

int regmap_write(struct regmap* map, unsigned int reg, unsigned int val) {
    return mapWrite(map, reg, val);
}

int regmap_read(struct regmap* map, unsigned int reg, unsigned int* val) {
    return mapRead(map, reg, val);
}

// Read-modify-write; the write is skipped when nothing changes unless forced.
int regmap_update_bits_base(struct regmap* map, unsigned int reg, unsigned int mask, unsigned int val, bool* change,
                            bool, bool force) {
    unsigned int orig = 0;
    int ret = mapRead(map, reg, &orig);
    if (ret) return ret;
    unsigned int tmp = (orig & ~mask) | (val & mask);
    bool changed = force || tmp != orig;
    if (changed) ret = mapWrite(map, reg, tmp);
    if (change) *change = changed && ret == 0;
    return ret;
}

struct gpio_desc* devm_gpiod_get_optional(struct device* dev, const char* con_id, enum gpiod_flags flags) {
    auto it = dev->standin->gpios.find(con_id);
    if (it == dev->standin->gpios.end()) return nullptr;
    if (it->second < 0) return (gpio_desc*)ERR_PTR(it->second);
    auto desc = std::make_unique<gpio_desc>();
    desc->name = con_id;
    desc->output = flags & GPIOD_FLAGS_BIT_DIR_OUT;
    desc->value = (flags & GPIOD_FLAGS_BIT_DIR_VAL) ? 1 : 0;
    desc->owner = dev->standin;
    dev->standin->gpioDescs.push_back(std::move(desc));
    return dev->standin->gpioDescs.back().get();
}

void gpiod_set_value_cansleep(struct gpio_desc* desc, int value) {
    if (!desc || !desc->output) return;
    desc->value = value ? 1 : 0;
    desc->owner->gpioWrites.push_back({desc->name, desc->value});
}

int gpiod_get_value_cansleep(const struct gpio_desc* desc) {
    return desc ? desc->value : 0;
}

int snd_pcm_format_width(snd_pcm_format_t format) {
    switch (format) {
    case SNDRV_PCM_FORMAT_S8:
        return 8;
    case SNDRV_PCM_FORMAT_S16_LE:
        return 16;
    case SNDRV_PCM_FORMAT_S24_LE:
    case SNDRV_PCM_FORMAT_S24_3LE:
        return 24;
    case SNDRV_PCM_FORMAT_S32_LE:
        return 32;
    default:
        return -EINVAL;
    }
}

unsigned int snd_soc_component_read(struct snd_soc_component* component, unsigned int reg) {
    unsigned int val = 0;
    if (regmap_read(component->regmap, reg, &val)) return -1u;
    return val;
}

int snd_soc_component_write(struct snd_soc_component* component, unsigned int reg, unsigned int val) {
    return regmap_write(component->regmap, reg, val);
}

// As ASoC: 1 when the register changed, 0 when not, or a negative error.
int snd_soc_component_update_bits(struct snd_soc_component* component, unsigned int reg, unsigned int mask,
                                  unsigned int val) {
    bool change = false;
    int ret = regmap_update_bits_base(component->regmap, reg, mask, val, &change, false, false);
    return ret < 0 ? ret : change;
}

int devm_snd_soc_register_component(struct device* dev, const struct snd_soc_component_driver* component_driver,
                                    struct snd_soc_dai_driver* dai_drv, int num_dai) {
    standin_device* s = dev->standin;
    s->component.reset(new snd_soc_component{dev->name, dev, component_driver, dev_get_regmap(dev, nullptr)});
    s->dais.clear();
    for (int i = 0; i < num_dai; ++i) {
        unsigned int id = dai_drv[i].id ? dai_drv[i].id : static_cast<unsigned int>(i);
        s->dais.push_back({dai_drv[i].name, id, dev, &dai_drv[i], s->component.get()});
    }
    if (std::find(componentDevices().begin(), componentDevices().end(), s) == componentDevices().end())
        componentDevices().push_back(s);
    return 0;
}

// As ASoC: a one-step control not named as a volume is a switch.
int snd_soc_info_volsw(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_info* uinfo) {
    const soc_mixer_control* mc = mixer(kcontrol);
    int platformMax = mc->platform_max ? mc->platform_max : mc->max;
    bool isSwitch = platformMax == 1 && !std::strstr(kcontrol->id.name, " Volume");
    uinfo->type = isSwitch ? SNDRV_CTL_ELEM_TYPE_BOOLEAN : SNDRV_CTL_ELEM_TYPE_INTEGER;
    uinfo->count = (mc->reg != mc->rreg || mc->shift != mc->rshift) ? 2 : 1;
    uinfo->value.integer.min = 0;
    uinfo->value.integer.max = mc->max - mc->min;
    return 0;
}

int snd_soc_get_volsw(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_value* ucontrol) {
    auto* component = static_cast<snd_soc_component*>(snd_kcontrol_chip(kcontrol));
    const soc_mixer_control* mc = mixer(kcontrol);
    unsigned int mask = fieldMask(mc->max);
    const unsigned int regs[2] = {static_cast<unsigned int>(mc->reg), static_cast<unsigned int>(mc->rreg)};
    const unsigned int shifts[2] = {mc->shift, mc->rshift};
    for (int ch = 0; ch < 2; ++ch) {
        unsigned int val = 0;
        int ret = regmap_read(component->regmap, regs[ch], &val);
        if (ret) return ret;
        val = (val >> shifts[ch]) & mask;
        ucontrol->value.integer.value[ch] = mc->invert ? mc->max - val : val;
    }
    return 0;
}

int snd_soc_put_volsw(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_value* ucontrol) {
    auto* component = static_cast<snd_soc_component*>(snd_kcontrol_chip(kcontrol));
    const soc_mixer_control* mc = mixer(kcontrol);
    unsigned int mask = fieldMask(mc->max);
    const unsigned int regs[2] = {static_cast<unsigned int>(mc->reg), static_cast<unsigned int>(mc->rreg)};
    const unsigned int shifts[2] = {mc->shift, mc->rshift};
    int changed = 0;
    for (int ch = 0; ch < 2; ++ch) {
        long val = ucontrol->value.integer.value[ch];
        if (val < 0 || val > mc->max - mc->min) return -EINVAL;
        unsigned int field = mc->invert ? mc->max - val : val;
        int ret = snd_soc_component_update_bits(component, regs[ch], mask << shifts[ch], field << shifts[ch]);
        if (ret < 0) return ret;
        changed |= ret;
    }
    return changed;
}

} // extern "C"

// Device-tree nodes, platform devices and ASoC cards.

standin_device::~standin_device() {
    auto& devices = componentDevices();
    devices.erase(std::remove(devices.begin(), devices.end(), this), devices.end());
}

namespace {

struct Widget {
    std::string name;
    snd_soc_dapm_type type;
    const soc_enum* muxEnum; // the items of a mux
};

// A link's PCM device: a substream and its runtime per direction.
struct Pcm {
    snd_pcm pcm;
    snd_pcm_substream substreams[2];
    snd_pcm_runtime runtimes[2];
};

struct CardState {
    snd_soc_card* card;
    std::deque<snd_soc_pcm_runtime> rtds;
    std::deque<Pcm> pcms;
    std::deque<std::array<snd_soc_dai*, 2>> rtdDais; // CPU, codec
    std::deque<standin::CardControl> controls;
    std::deque<standin::CardControl> dapmControls;
    std::deque<unsigned int> muxValues;
    std::vector<Widget> widgets;
    int connected = 0;
};

std::vector<std::unique_ptr<CardState>>& cardStates() {
    static std::vector<std::unique_ptr<CardState>> states;
    return states;
}

CardState* stateOf(const snd_soc_card* card) {
    for (auto& st : cardStates())
        if (st->card == card) return st.get();
    return nullptr;
}

// The dummy component's DAI, always there.
snd_soc_dai* dummyDai() {
    static snd_soc_dai_driver driver{};
    static snd_soc_dai dai{"snd-soc-dummy-dai", 0, nullptr, &driver, nullptr};
    driver.name = dai.name;
    return &dai;
}

// A registered DAI on the node (any node when null) with that name (the
// component's first when null).
snd_soc_dai* findDai(const device_node* np, const char* name) {
    if (!np && name && std::strcmp(name, dummyDai()->name) == 0) return dummyDai();
    for (standin_device* s : componentDevices()) {
        if (np && s->component->dev->of_node != np) continue;
        for (auto& dai : s->dais)
            if (!name || std::strcmp(dai.name, name) == 0) return &dai;
    }
    return nullptr;
}

bool componentOn(const device_node* np) {
    for (standin_device* s : componentDevices())
        if (s->component->dev->of_node == np) return true;
    return false;
}

// What a link names at each end (the stand-in itself is built as 6.1).
struct LinkEnds {
    device_node* cpuNp;
    const char* cpuDai;
    device_node* codecNp;
    const char* codecName;
    const char* codecDai;
    unsigned int platforms;
    device_node* platformNp;
    const char* platformName;
};

LinkEnds linkEnds(const snd_soc_dai_link* link) {
    LinkEnds e{};
    if (link->num_cpus) {
        e.cpuNp = link->cpus[0].of_node;
        e.cpuDai = link->cpus[0].dai_name;
    }
    if (link->num_codecs) {
        e.codecNp = link->codecs[0].of_node;
        e.codecName = link->codecs[0].name;
        e.codecDai = link->codecs[0].dai_name;
    }
    e.platforms = link->num_platforms;
    if (link->num_platforms) {
        e.platformNp = link->platforms[0].of_node;
        e.platformName = link->platforms[0].name;
    }
    return e;
}

// The CPU side of a link takes the opposite clock roles of its codec.
unsigned int cpuFormat(unsigned int fmt) {
    unsigned int roles = fmt & SND_SOC_DAIFMT_CLOCK_PROVIDER_MASK;
    unsigned int flipped = roles == SND_SOC_DAIFMT_CBP_CFP   ? SND_SOC_DAIFMT_CBC_CFC
                           : roles == SND_SOC_DAIFMT_CBC_CFC ? SND_SOC_DAIFMT_CBP_CFP
                                                             : roles;
    return (fmt & ~SND_SOC_DAIFMT_CLOCK_PROVIDER_MASK) | flipped;
}

int fail(const snd_soc_card* card, int ret, const std::string& why) {
    standin_dev_printk("err", card->dev, "ASoC: %s\n", why.c_str());
    return ret;
}

// Binds the links, as snd_soc_register_card() instantiates a card.
int bindLinks(CardState& st) {
    snd_soc_card* card = st.card;
    for (int i = 0; i < card->num_links; ++i) {
        snd_soc_dai_link* link = &card->dai_link[i];
        LinkEnds e = linkEnds(link);
        if ((!e.cpuNp && !e.cpuDai) || (!e.codecNp && !e.codecName) || !e.codecDai)
            return fail(card, -EINVAL, std::string("link ") + link->name + " names no CPU or codec DAI");
        if (e.platforms && !e.platformNp == !e.platformName)
            return fail(card, -EINVAL, std::string("Neither/both platform name/of_node are set for ") + link->name);
        snd_soc_dai* cpu = findDai(e.cpuNp, e.cpuDai);
        snd_soc_dai* codec = findDai(e.codecNp, e.codecDai);
        bool platform = !e.platforms ||
                        (e.platformNp ? componentOn(e.platformNp) : std::strcmp(e.platformName, "snd-soc-dummy") == 0);
        if (!cpu || !codec || !platform)
            return fail(card, -EPROBE_DEFER, std::string("link ") + link->name + " waits for a component");
        st.rtdDais.push_back({cpu, codec});
        st.rtds.push_back({card, link, st.rtdDais.back().data(), 1, 1, i, nullptr});
        Pcm& pcm = st.pcms.emplace_back();
        for (int dir = 0; dir < 2; ++dir) {
            pcm.substreams[dir] = {dir, &st.rtds.back(), &pcm.runtimes[dir]};
            pcm.pcm.streams[dir].substream = &pcm.substreams[dir];
        }
        st.rtds.back().pcm = &pcm.pcm;
        if (link->dai_fmt) {
            int ret = snd_soc_dai_set_fmt(codec, link->dai_fmt);
            if (ret && ret != -ENOTSUPP) return ret;
            ret = snd_soc_dai_set_fmt(cpu, cpuFormat(link->dai_fmt));
            if (ret && ret != -ENOTSUPP) return ret;
        }
    }
    return 0;
}

void addWidget(CardState& st, const snd_soc_dapm_widget& w) {
    const soc_enum* e = nullptr;
    if (w.id == snd_soc_dapm_mux && w.num_kcontrols == 1) {
        const snd_kcontrol_new* k = &w.kcontrol_news[0];
        e = reinterpret_cast<const soc_enum*>(k->private_value);
        st.muxValues.push_back(0);
        st.dapmControls.push_back({k, {k->private_value, &st.muxValues.back(), {}}});
        std::snprintf(st.dapmControls.back().kcontrol.id.name, sizeof(snd_ctl_elem_id::name), "%s", w.name);
    }
    st.widgets.push_back({w.name, w.id, e});
}

const Widget* findWidget(const CardState& st, const char* name) {
    for (const auto& w : st.widgets)
        if (w.name == name) return &w;
    return nullptr;
}

// The card's widgets, those of the bound components and the DAIs' stream
// widgets; then the routes, a named control being an item of the sink mux.
int buildGraph(CardState& st) {
    snd_soc_card* card = st.card;
    for (int i = 0; i < card->num_dapm_widgets; ++i)
        addWidget(st, card->dapm_widgets[i]);
    std::vector<const snd_soc_component*> components;
    for (const auto& dais : st.rtdDais)
        for (snd_soc_dai* dai : dais)
            if (dai->component && std::find(components.begin(), components.end(), dai->component) == components.end())
                components.push_back(dai->component);
    for (const snd_soc_component* c : components) {
        for (unsigned int i = 0; i < c->driver->num_dapm_widgets; ++i)
            addWidget(st, c->driver->dapm_widgets[i]);
        for (const auto& dai : c->dev->standin->dais) {
            if (dai.driver->playback.stream_name)
                st.widgets.push_back({dai.driver->playback.stream_name, snd_soc_dapm_aif_in, nullptr});
            if (dai.driver->capture.stream_name)
                st.widgets.push_back({dai.driver->capture.stream_name, snd_soc_dapm_aif_out, nullptr});
        }
    }
    for (int i = 0; i < card->num_dapm_routes; ++i) {
        const snd_soc_dapm_route& r = card->dapm_routes[i];
        const Widget* sink = findWidget(st, r.sink);
        const Widget* source = findWidget(st, r.source);
        if (!sink || !source)
            return fail(card, -ENODEV, std::string("no widget for route ") + r.source + " -> " + r.sink);
        if (r.control) {
            bool item = false;
            for (unsigned int j = 0; sink->muxEnum && j < sink->muxEnum->items; ++j)
                item |= std::strcmp(sink->muxEnum->texts[j], r.control) == 0;
            if (!item) return fail(card, -ENODEV, std::string("no mux item ") + r.control + " on " + r.sink);
        }
        ++st.connected;
    }
    return 0;
}

} // namespace

namespace standin {

Node::Node(const std::string& name, const std::string& compatible) : np_(new device_node()) {
    np_->full_name = strdup(name.c_str());
    np_->standin = new standin_node{compatible, {}, {}};
}

Node::~Node() {
    std::free(const_cast<char*>(np_->full_name));
    delete np_->standin;
}

device_node* Node::np() {
    return np_.get();
}
std::map<std::string, Node*>& Node::phandles() {
    return np_->standin->phandles;
}
std::map<std::string, u32>& Node::u32s() {
    return np_->standin->u32s;
}
int Node::refs() const {
    return np_->refcount;
}

RegisteredPlatformDriver platformDriver(const std::string& name) {
    auto it = platformDrivers().find(name);
    return it == platformDrivers().end() ? RegisteredPlatformDriver{} : it->second;
}

// The driver binds through the match table entry of the node's compatible.
PlatformDevice::PlatformDevice(const std::string& driverName, Node& node) : driver_(platformDriver(driverName).driver) {
    pdev_.name = strdup(driverName.c_str());
    pdev_.id = -1;
    pdev_.dev.name = pdev_.name;
    pdev_.dev.of_node = node.np();
    pdev_.dev.standin = new standin_device();
    const of_device_id* id = driver_ ? driver_->driver.of_match_table : nullptr;
    for (; id && id->compatible[0]; ++id)
        if (node.np()->standin->compatible == id->compatible) pdev_.dev.standin->match = id;
}

PlatformDevice::~PlatformDevice() {
    if (bound_) remove();
    for (void* p : pdev_.dev.standin->allocations)
        std::free(p);
    delete pdev_.dev.standin;
    std::free(const_cast<char*>(pdev_.name));
}

std::map<std::string, int>& PlatformDevice::gpios() {
    return pdev_.dev.standin->gpios;
}
int PlatformDevice::gpioValue(const std::string& name) const {
    return gpioValueOf(pdev_.dev.standin, name);
}
const std::vector<std::pair<std::string, int>>& PlatformDevice::gpioWrites() const {
    return pdev_.dev.standin->gpioWrites;
}
void PlatformDevice::clearGpioWrites() {
    pdev_.dev.standin->gpioWrites.clear();
}
void PlatformDevice::setGpioValue(const std::string& name, int value) {
    for (auto& g : pdev_.dev.standin->gpioDescs)
        if (g->name == name) g->value = value;
}

int PlatformDevice::probe() {
    if (!driver_ || !driver_->probe) return -ENODEV;
    int ret = driver_->probe(&pdev_);
    bound_ = ret == 0;
    return ret;
}

int PlatformDevice::remove() {
    if (!driver_ || !bound_) return -ENODEV;
    bound_ = false;
    return driver_->remove ? driver_->remove(&pdev_) : 0;
}

device* PlatformDevice::dev() {
    return &pdev_.dev;
}

snd_soc_card* card(const std::string& name) {
    for (auto& st : cardStates())
        if (name == st->card->name) return st->card;
    return nullptr;
}

std::vector<std::string> controlNames(snd_soc_card* card, bool dapm) {
    std::vector<std::string> names;
    CardState* st = stateOf(card);
    if (!st) return names;
    for (const auto& c : dapm ? st->dapmControls : st->controls)
        names.push_back(c.kcontrol.id.name);
    return names;
}

CardControl* control(snd_soc_card* card, const std::string& name) {
    CardState* st = stateOf(card);
    if (!st) return nullptr;
    for (auto* list : {&st->controls, &st->dapmControls})
        for (auto& c : *list)
            if (name == c.kcontrol.id.name) return &c;
    return nullptr;
}

snd_ctl_elem_info controlInfo(snd_soc_card* card, const std::string& name) {
    snd_ctl_elem_info info{};
    CardControl* c = control(card, name);
    if (c) c->knew->info(&c->kcontrol, &info);
    return info;
}

int controlPut(snd_soc_card* card, const std::string& name, long value) {
    CardControl* c = control(card, name);
    if (!c) return -ENOENT;
    snd_ctl_elem_value v{};
    if (controlInfo(card, name).type == SNDRV_CTL_ELEM_TYPE_ENUMERATED)
        v.value.enumerated.item[0] = static_cast<unsigned int>(value);
    else
        v.value.integer.value[0] = value;
    return c->knew->put(&c->kcontrol, &v);
}

long controlGet(snd_soc_card* card, const std::string& name) {
    CardControl* c = control(card, name);
    if (!c) return -ENOENT;
    snd_ctl_elem_value v{};
    int ret = c->knew->get(&c->kcontrol, &v);
    if (ret) return ret;
    if (controlInfo(card, name).type == SNDRV_CTL_ELEM_TYPE_ENUMERATED) return v.value.enumerated.item[0];
    return v.value.integer.value[0];
}

std::vector<std::string> widgetNames(snd_soc_card* card) {
    std::vector<std::string> names;
    if (CardState* st = stateOf(card))
        for (const auto& w : st->widgets)
            names.push_back(w.name);
    return names;
}

int connectedRoutes(snd_soc_card* card) {
    CardState* st = stateOf(card);
    return st ? st->connected : -1;
}

snd_soc_dai* codecDai(snd_soc_card* card, int link) {
    snd_soc_pcm_runtime* rtd = card ? snd_soc_get_pcm_runtime(card, &card->dai_link[link]) : nullptr;
    return rtd ? asoc_rtd_to_codec(rtd, 0) : nullptr;
}

snd_soc_dai* cpuDai(snd_soc_card* card, int link) {
    snd_soc_pcm_runtime* rtd = card ? snd_soc_get_pcm_runtime(card, &card->dai_link[link]) : nullptr;
    return rtd ? asoc_rtd_to_cpu(rtd, 0) : nullptr;
}

int hwParams(snd_soc_card* card, int link, unsigned int rate, snd_pcm_format_t format, unsigned int channels,
             int stream) {
    snd_soc_pcm_runtime* rtd = snd_soc_get_pcm_runtime(card, &card->dai_link[link]);
    if (!rtd || !rtd->dai_link->ops || !rtd->dai_link->ops->hw_params) return -ENOENT;
    snd_pcm_hw_params params{format, rate, channels};
    return rtd->dai_link->ops->hw_params(rtd->pcm->streams[stream].substream, &params);
}

int startup(snd_soc_card* card, int link, int stream) {
    snd_soc_pcm_runtime* rtd = snd_soc_get_pcm_runtime(card, &card->dai_link[link]);
    if (!rtd || !rtd->dai_link->ops || !rtd->dai_link->ops->startup) return -ENOENT;
    snd_pcm_substream* substream = rtd->pcm->streams[stream].substream;
    substream->runtime->constraints.clear();
    return rtd->dai_link->ops->startup(substream);
}

int hwFree(snd_soc_card* card, int link, int stream) {
    snd_soc_pcm_runtime* rtd = snd_soc_get_pcm_runtime(card, &card->dai_link[link]);
    if (!rtd || !rtd->dai_link->ops || !rtd->dai_link->ops->hw_free) return -ENOENT;
    return rtd->dai_link->ops->hw_free(rtd->pcm->streams[stream].substream);
}

} // namespace standin

extern "C" {

struct device_node* of_parse_phandle(const struct device_node* np, const char* phandle_name, int index) {
    if (!np || index != 0) return nullptr;
    auto it = np->standin->phandles.find(phandle_name);
    if (it == np->standin->phandles.end() || !it->second) return nullptr;
    return of_node_get(it->second->np());
}

struct device_node* of_node_get(struct device_node* node) {
    if (node) ++node->refcount;
    return node;
}

void of_node_put(struct device_node* node) {
    if (node) --node->refcount;
}

int of_property_read_u32(const struct device_node* np, const char* propname, u32* out_value) {
    if (!np) return -EINVAL;
    auto it = np->standin->u32s.find(propname);
    if (it == np->standin->u32s.end()) return -EINVAL;
    *out_value = it->second;
    return 0;
}

const void* of_device_get_match_data(const struct device* dev) {
    return dev->standin->match ? dev->standin->match->data : nullptr;
}

void standin_platform_add_driver(const char* module, struct platform_driver* driver) {
    platformDrivers()[driver->driver.name] = {module, driver};
}

int snd_soc_register_card(struct snd_soc_card* card) {
    if (!card->dev || !card->name) return -EINVAL;
    if (stateOf(card)) return -EBUSY;
    auto st = std::make_unique<CardState>();
    st->card = card;
    int ret = bindLinks(*st);
    if (ret == 0) ret = buildGraph(*st);
    if (ret) return ret;
    for (int i = 0; i < card->num_controls; ++i) {
        const snd_kcontrol_new* k = &card->controls[i];
        st->controls.push_back({k, {k->private_value, card, {}}});
        std::snprintf(st->controls.back().kcontrol.id.name, sizeof(snd_ctl_elem_id::name), "%s", k->name);
    }
    dev_set_drvdata(card->dev, card);
    cardStates().push_back(std::move(st));
    if (card->late_probe && (ret = card->late_probe(card))) {
        snd_soc_unregister_card(card);
        return ret;
    }
    return 0;
}

void snd_soc_unregister_card(struct snd_soc_card* card) {
    auto& states = cardStates();
    states.erase(std::remove_if(states.begin(), states.end(), [card](const auto& st) { return st->card == card; }),
                 states.end());
}

int snd_pcm_hw_constraint_list(struct snd_pcm_runtime* runtime, unsigned int, int var,
                               const struct snd_pcm_hw_constraint_list* l) {
    runtime->constraints[var].assign(l->list, l->list + l->count);
    return 0;
}

int snd_pcm_hw_constraint_single(struct snd_pcm_runtime* runtime, int var, unsigned int val) {
    runtime->constraints[var] = {val};
    return 0;
}

struct snd_soc_pcm_runtime* snd_soc_get_pcm_runtime(struct snd_soc_card* card, struct snd_soc_dai_link* dai_link) {
    CardState* st = stateOf(card);
    if (!st) return nullptr;
    for (auto& rtd : st->rtds)
        if (rtd.dai_link == dai_link) return &rtd;
    return nullptr;
}

int snd_soc_dai_set_sysclk(struct snd_soc_dai* dai, int clk_id, unsigned int freq, int dir) {
    if (dai->driver->ops && dai->driver->ops->set_sysclk) return dai->driver->ops->set_sysclk(dai, clk_id, freq, dir);
    return -ENOTSUPP;
}

int snd_soc_dai_set_fmt(struct snd_soc_dai* dai, unsigned int fmt) {
    if (dai->driver->ops && dai->driver->ops->set_fmt) return dai->driver->ops->set_fmt(dai, fmt);
    return -ENOTSUPP;
}

// As 6.1: the stream mute, unless the DAI keeps capture unmuted.
int snd_soc_dai_digital_mute(struct snd_soc_dai* dai, int mute, int direction) {
    const snd_soc_dai_ops* ops = dai->driver->ops;
    if (ops && ops->mute_stream && (direction == SNDRV_PCM_STREAM_PLAYBACK || !ops->no_capture_mute))
        return ops->mute_stream(dai, mute, direction);
    return -ENOTSUPP;
}

int snd_soc_info_enum_double(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_info* uinfo) {
    const auto* e = reinterpret_cast<const soc_enum*>(kcontrol->private_value);
    uinfo->type = SNDRV_CTL_ELEM_TYPE_ENUMERATED;
    uinfo->count = e->shift_l == e->shift_r ? 1 : 2;
    uinfo->value.enumerated.items = e->items;
    if (uinfo->value.enumerated.item >= e->items) uinfo->value.enumerated.item = e->items - 1;
    std::snprintf(uinfo->value.enumerated.name, sizeof(uinfo->value.enumerated.name), "%s",
                  e->texts[uinfo->value.enumerated.item]);
    return 0;
}

// A register-less mux keeps its item in the DAPM state behind the control.
int snd_soc_dapm_get_enum_double(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_value* ucontrol) {
    ucontrol->value.enumerated.item[0] = *static_cast<unsigned int*>(kcontrol->private_data);
    return 0;
}

int snd_soc_dapm_put_enum_double(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_value* ucontrol) {
    const auto* e = reinterpret_cast<const soc_enum*>(kcontrol->private_value);
    auto* value = static_cast<unsigned int*>(kcontrol->private_data);
    unsigned int item = ucontrol->value.enumerated.item[0];
    if (item >= e->items) return -EINVAL;
    int changed = *value != item;
    *value = item;
    return changed;
}

} // extern "C"
