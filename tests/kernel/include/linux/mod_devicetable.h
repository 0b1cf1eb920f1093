/* Stand-in of the device-id tables the drivers match on. */
#ifndef STANDIN_LINUX_MOD_DEVICETABLE_H
#define STANDIN_LINUX_MOD_DEVICETABLE_H

#include <linux/standin.h>

#define I2C_NAME_SIZE 20

struct i2c_device_id {
    char name[I2C_NAME_SIZE];
    kernel_ulong_t driver_data;
};

#define PLATFORM_NAME_SIZE 20

struct platform_device_id {
    char name[PLATFORM_NAME_SIZE];
    kernel_ulong_t driver_data;
};

struct of_device_id {
    char name[32];
    char type[32];
    char compatible[128];
    const void* data;
};

#endif
