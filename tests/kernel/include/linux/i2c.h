/* Stand-in of the I2C client and driver interface. */
#ifndef STANDIN_LINUX_I2C_H
#define STANDIN_LINUX_I2C_H

#include <linux/mod_devicetable.h>
#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

struct device_driver {
    const char* name;
    const struct of_device_id* of_match_table;
};

struct i2c_client {
    unsigned short flags;
    unsigned short addr;
    char name[I2C_NAME_SIZE];
    struct device dev;
};

struct i2c_driver {
    int (*probe)(struct i2c_client* client, const struct i2c_device_id* id);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
    void (*remove)(struct i2c_client* client);
#else
    int (*remove)(struct i2c_client* client);
#endif
    int (*probe_new)(struct i2c_client* client);
    struct device_driver driver;
    const struct i2c_device_id* id_table;
};

static inline void i2c_set_clientdata(struct i2c_client* client, void* data) {
    dev_set_drvdata(&client->dev, data);
}
static inline void* i2c_get_clientdata(const struct i2c_client* client) {
    return dev_get_drvdata(&client->dev);
}

/* Loading the module registers the driver: here, at program start. */
void standin_i2c_add_driver(const char* module, struct i2c_driver* driver);
#define module_i2c_driver(drv)                                                                                         \
    static void __attribute__((constructor)) STANDIN_CAT(standin_i2c_init_, drv)(void) {                               \
        standin_i2c_add_driver(KBUILD_MODNAME, &drv);                                                                  \
    }                                                                                                                  \
    extern int standin_modinfo_end

#ifdef __cplusplus
}
#endif

#endif
