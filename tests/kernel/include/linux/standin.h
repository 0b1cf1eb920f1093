/*
 * Stand-in of the kernel's basic types, error pointers, bit helpers, device,
 * device-managed allocation, device log and module information, for compiling
 * the drivers into user-space tests.  Implemented in KernelStandIn.cpp.
 */
#ifndef STANDIN_LINUX_STANDIN_H
#define STANDIN_LINUX_STANDIN_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include <linux/version.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef unsigned long long u64;
typedef long long s64;
typedef unsigned long kernel_ulong_t;
typedef unsigned int gfp_t;
typedef uint16_t __be16;

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define be16_to_cpu(x) ((u16)__builtin_bswap16((u16)(x)))
#else
#define be16_to_cpu(x) ((u16)(x))
#endif
#define cpu_to_be16(x) ((__be16)be16_to_cpu(x))

#define GFP_KERNEL 0u
#define EPROBE_DEFER 517
#define ENOTSUPP 524

#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#define BIT(n) (1UL << (n))
#define GENMASK(h, l) (((~0UL) << (l)) & (~0UL >> (8 * sizeof(long) - 1 - (h))))
#define __maybe_unused __attribute__((unused))

#define MAX_ERRNO 4095
static inline void* ERR_PTR(long error) {
    return (void*)error;
}
static inline long PTR_ERR(const void* ptr) {
    return (long)ptr;
}
static inline bool IS_ERR(const void* ptr) {
    return (unsigned long)ptr >= (unsigned long)-MAX_ERRNO;
}
static inline bool IS_ERR_OR_NULL(const void* ptr) {
    return !ptr || IS_ERR(ptr);
}
static inline int PTR_ERR_OR_ZERO(const void* ptr) {
    return IS_ERR(ptr) ? (int)PTR_ERR(ptr) : 0;
}

static inline s64 div64_s64(s64 dividend, s64 divisor) {
    return dividend / divisor;
}
static inline u64 div_u64(u64 dividend, u32 divisor) {
    return dividend / divisor;
}

struct regmap;
struct device_node;
struct of_device_id;
/* Test-side state of a device: its chip, GPIOs, resources and component. */
struct standin_device;

struct device {
    const char* name;
    struct device* parent;
    void* driver_data;
    struct regmap* regmap; /* what dev_get_regmap() finds */
    struct device_node* of_node;
    struct standin_device* standin;
};

struct module;
#define THIS_MODULE ((struct module*)0)

struct dev_pm_ops;
struct device_driver {
    const char* name;
    const struct of_device_id* of_match_table;
    const struct dev_pm_ops* pm;
};

static inline void* dev_get_drvdata(const struct device* dev) {
    return dev->driver_data;
}
static inline void dev_set_drvdata(struct device* dev, void* data) {
    dev->driver_data = data;
}
void* devm_kzalloc(struct device* dev, size_t size, gfp_t gfp);
char* devm_kstrdup(struct device* dev, const char* s, gfp_t gfp);
void* devm_kmemdup(struct device* dev, const void* src, size_t len, gfp_t gfp);
int devm_add_action_or_reset(struct device* dev, void (*action)(void*), void* data);

void standin_dev_printk(const char* level, const struct device* dev, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
#define dev_dbg(dev, fmt, ...) standin_dev_printk("debug", dev, fmt, ##__VA_ARGS__)
#define dev_info(dev, fmt, ...) standin_dev_printk("info", dev, fmt, ##__VA_ARGS__)
#define dev_warn(dev, fmt, ...) standin_dev_printk("warn", dev, fmt, ##__VA_ARGS__)
#define dev_err(dev, fmt, ...) standin_dev_printk("err", dev, fmt, ##__VA_ARGS__)
#define dev_err_probe(dev, err, fmt, ...) (standin_dev_printk("err", dev, fmt, ##__VA_ARGS__), (err))

/*
 * Module information is recorded at program start under the module's name
 * (KBUILD_MODNAME, given per source file by the build).
 */
void standin_modinfo_add(const char* module, const char* tag, const char* value);
#define STANDIN_CAT_(a, b) a##b
#define STANDIN_CAT(a, b) STANDIN_CAT_(a, b)
#define STANDIN_MODINFO_(tag, value, n)                                                                                \
    static void __attribute__((constructor)) STANDIN_CAT(standin_modinfo_, n)(void) {                                  \
        standin_modinfo_add(KBUILD_MODNAME, tag, value);                                                               \
    }                                                                                                                  \
    extern int standin_modinfo_end
#define STANDIN_MODINFO(tag, value) STANDIN_MODINFO_(tag, value, __COUNTER__)

#define MODULE_LICENSE(l) STANDIN_MODINFO("license", l)
#define MODULE_DESCRIPTION(d) STANDIN_MODINFO("description", d)
#define MODULE_AUTHOR(a) STANDIN_MODINFO("author", a)
#define MODULE_ALIAS(a) STANDIN_MODINFO("alias", a)
#define MODULE_DEVICE_TABLE(type, name) STANDIN_MODINFO("device_table", #type)
#define EXPORT_SYMBOL_GPL(sym) STANDIN_MODINFO("export_gpl", #sym)
#define EXPORT_SYMBOL(sym) STANDIN_MODINFO("export", #sym)

#ifdef __cplusplus
}
#endif

#endif
