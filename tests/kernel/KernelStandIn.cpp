// User-space stand-in of the kernel services the drivers call: register maps
// and plain transfers over a simulated I2C chip, device-managed resources,
// GPIO descriptors, supplies, ASoC component registration with the generic
// volume control handlers, and IIO device registration.

#include "KernelStandIn.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <linux/regulator/consumer.h>

struct gpio_desc {
    std::string name;
    bool output = false;
    int value = 0;
};

struct regmap {
    regmap_config cfg;
    device* dev;
    unsigned int valMask;
    std::map<unsigned int, unsigned int> cache;
    std::vector<standin::BusWrite> log;
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
};

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
    int ret = busRead(map, reg, val);
    if (ret == 0 && cached(map, reg)) map->cache[reg] = *val;
    return ret;
}

// The cache takes the value before the bus write, as in the kernel.
int mapWrite(regmap* map, unsigned int reg, unsigned int val) {
    if (!standin::writeable(map->cfg, reg)) return -EIO;
    val &= map->valMask;
    if (cached(map, reg)) map->cache[reg] = val;
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
    s->transfers.push_back({read, bytes, s->iio ? s->iio->mlock.held : 0});
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

int I2cChip::probe() {
    if (!driver_ || !driver_->probe_new) return -ENODEV;
    return driver_->probe_new(client_.get());
}

int I2cChip::remove() {
    if (!driver_ || !driver_->remove) return -ENODEV;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
    driver_->remove(client_.get());
    return 0;
#else
    return driver_->remove(client_.get());
#endif
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
    for (const auto& g : client_->dev.standin->gpioDescs)
        if (g->name == name) return g->value;
    return -1;
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
    snd_kcontrol kcontrol{k->private_value, component()};
    snd_ctl_elem_value value{};
    value.value.integer.value[0] = left;
    value.value.integer.value[1] = right;
    return k->put(&kcontrol, &value);
}

std::pair<long, long> I2cChip::controlGet(const std::string& name) {
    const snd_kcontrol_new* k = control(name);
    if (!k) return {-1, -1};
    snd_kcontrol kcontrol{k->private_value, component()};
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
    mutex_init(&indio_dev->mlock);
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
    dev->standin->gpioDescs.push_back(std::move(desc));
    return dev->standin->gpioDescs.back().get();
}

void gpiod_set_value_cansleep(struct gpio_desc* desc, int value) {
    if (desc->output) desc->value = value ? 1 : 0;
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
    for (int i = 0; i < num_dai; ++i)
        s->dais.push_back({dai_drv[i].name, dev, &dai_drv[i], s->component.get()});
    return 0;
}

int snd_soc_info_volsw(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_info* uinfo) {
    const soc_mixer_control* mc = mixer(kcontrol);
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
