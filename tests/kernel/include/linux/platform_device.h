/* Stand-in of platform devices and drivers. */
#ifndef STANDIN_LINUX_PLATFORM_DEVICE_H
#define STANDIN_LINUX_PLATFORM_DEVICE_H

#include <linux/mod_devicetable.h>
#include <linux/of.h>
#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

struct platform_device {
    const char* name;
    int id;
    struct device dev;
};

struct platform_driver {
    int (*probe)(struct platform_device* pdev);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
    void (*remove)(struct platform_device* pdev);
#else
    int (*remove)(struct platform_device* pdev);
#endif
    struct device_driver driver;
    const struct platform_device_id* id_table;
};

/* The stand-in matches platform devices by device-tree node only. */
static inline const struct platform_device_id* platform_get_device_id(const struct platform_device* pdev) {
    (void)pdev;
    return NULL;
}
static inline void* platform_get_drvdata(const struct platform_device* pdev) {
    return dev_get_drvdata(&pdev->dev);
}
static inline void platform_set_drvdata(struct platform_device* pdev, void* data) {
    dev_set_drvdata(&pdev->dev, data);
}

/* Loading the module registers the driver: here, at program start. */
void standin_platform_add_driver(const char* module, struct platform_driver* driver);
#define module_platform_driver(drv)                                                                                    \
    static void __attribute__((constructor)) STANDIN_CAT(standin_platform_init_, drv)(void) {                          \
        standin_platform_add_driver(KBUILD_MODNAME, &drv);                                                             \
    }                                                                                                                  \
    extern int standin_modinfo_end

#ifdef __cplusplus
}
#endif

#endif
