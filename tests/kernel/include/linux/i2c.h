/* Stand-in of the I2C client and driver interface. */
#ifndef STANDIN_LINUX_I2C_H
#define STANDIN_LINUX_I2C_H

#include <linux/mod_devicetable.h>
#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

#define I2C_FUNC_I2C 0x00000001
#define I2C_FUNC_SMBUS_QUICK 0x00010000
#define I2C_FUNC_SMBUS_READ_BYTE 0x00020000
#define I2C_FUNC_SMBUS_WRITE_BYTE 0x00040000
#define I2C_FUNC_SMBUS_READ_BYTE_DATA 0x00080000
#define I2C_FUNC_SMBUS_WRITE_BYTE_DATA 0x00100000
#define I2C_FUNC_SMBUS_BYTE (I2C_FUNC_SMBUS_READ_BYTE | I2C_FUNC_SMBUS_WRITE_BYTE)
#define I2C_FUNC_SMBUS_BYTE_DATA (I2C_FUNC_SMBUS_READ_BYTE_DATA | I2C_FUNC_SMBUS_WRITE_BYTE_DATA)

/* The bus the chip sits on; what it can do is set by the test. */
struct i2c_adapter {
    u32 functionality;
};

struct i2c_client {
    unsigned short flags;
    unsigned short addr;
    char name[I2C_NAME_SIZE];
    struct i2c_adapter* adapter;
    struct device dev;
};

static inline u32 i2c_get_functionality(struct i2c_adapter* adap) {
    return adap->functionality;
}
static inline int i2c_check_functionality(struct i2c_adapter* adap, u32 func) {
    return (func & i2c_get_functionality(adap)) == func;
}

const struct i2c_device_id* i2c_match_id(const struct i2c_device_id* id, const struct i2c_client* client);

/* Plain transfers to the simulated chip: the count moved or a negative errno. */
int i2c_master_send(const struct i2c_client* client, const char* buf, int count);
int i2c_master_recv(const struct i2c_client* client, char* buf, int count);

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
