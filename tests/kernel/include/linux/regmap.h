/* Stand-in of the register map interface (the parts the drivers use). */
#ifndef STANDIN_LINUX_REGMAP_H
#define STANDIN_LINUX_REGMAP_H

#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

struct i2c_client;

struct reg_default {
    unsigned int reg;
    unsigned int def;
};

struct regmap_range {
    unsigned int range_min;
    unsigned int range_max;
};

#define regmap_reg_range(low, high)                                                                                    \
    { .range_min = low, .range_max = high, }

struct regmap_access_table {
    const struct regmap_range* yes_ranges;
    unsigned int n_yes_ranges;
    const struct regmap_range* no_ranges;
    unsigned int n_no_ranges;
};

enum regcache_type { REGCACHE_NONE, REGCACHE_RBTREE, REGCACHE_COMPRESSED, REGCACHE_FLAT };

struct regmap_config {
    const char* name;
    int reg_bits;
    int reg_stride;
    int pad_bits;
    int val_bits;
    bool (*writeable_reg)(struct device* dev, unsigned int reg);
    bool (*readable_reg)(struct device* dev, unsigned int reg);
    bool (*volatile_reg)(struct device* dev, unsigned int reg);
    unsigned int max_register;
    const struct regmap_access_table* wr_table;
    const struct regmap_access_table* rd_table;
    const struct regmap_access_table* volatile_table;
    const struct reg_default* reg_defaults;
    unsigned int num_reg_defaults;
    enum regcache_type cache_type;
};

struct regmap* devm_regmap_init_i2c(struct i2c_client* client, const struct regmap_config* config);
struct regmap* dev_get_regmap(struct device* dev, const char* name);

int regmap_write(struct regmap* map, unsigned int reg, unsigned int val);
int regmap_read(struct regmap* map, unsigned int reg, unsigned int* val);
int regmap_update_bits_base(struct regmap* map, unsigned int reg, unsigned int mask, unsigned int val, bool* change,
                            bool async, bool force);

static inline int regmap_update_bits(struct regmap* map, unsigned int reg, unsigned int mask, unsigned int val) {
    return regmap_update_bits_base(map, reg, mask, val, NULL, false, false);
}

static inline int regmap_write_bits(struct regmap* map, unsigned int reg, unsigned int mask, unsigned int val) {
    return regmap_update_bits_base(map, reg, mask, val, NULL, false, true);
}

/*
 * Cache-only mode keeps writes of cached registers in the cache (volatile
 * ones fail with -EBUSY); regcache_sync() writes the cached values that differ
 * from the defaults once the cache was marked dirty.
 */
void regcache_cache_only(struct regmap* map, bool enable);
void regcache_mark_dirty(struct regmap* map);
int regcache_sync(struct regmap* map);

#ifdef __cplusplus
}
#endif

#endif
