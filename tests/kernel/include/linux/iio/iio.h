/*
 * Stand-in of the Industrial I/O core interface for drivers with direct-mode
 * channels only: device allocation with private state, channel descriptions,
 * the read operation and registration.
 */
#ifndef STANDIN_LINUX_IIO_IIO_H
#define STANDIN_LINUX_IIO_IIO_H

#include <linux/mutex.h>
#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

enum iio_chan_type {
    IIO_VOLTAGE,
    IIO_CURRENT,
    IIO_POWER,
    IIO_ACCEL,
    IIO_ANGL_VEL,
    IIO_MAGN,
    IIO_LIGHT,
    IIO_INTENSITY,
    IIO_PROXIMITY,
    IIO_TEMP,
};

enum iio_chan_info_enum {
    IIO_CHAN_INFO_RAW = 0,
    IIO_CHAN_INFO_PROCESSED,
    IIO_CHAN_INFO_SCALE,
    IIO_CHAN_INFO_OFFSET,
    IIO_CHAN_INFO_CALIBSCALE,
    IIO_CHAN_INFO_CALIBBIAS,
};

#define IIO_VAL_INT 1
#define IIO_VAL_INT_PLUS_MICRO 2
#define IIO_VAL_INT_PLUS_NANO 3
#define IIO_VAL_INT_PLUS_MICRO_DB 4
#define IIO_VAL_INT_MULTIPLE 5
#define IIO_VAL_FRACTIONAL 10
#define IIO_VAL_FRACTIONAL_LOG2 11

#define INDIO_DIRECT_MODE 0x01

struct iio_chan_spec {
    enum iio_chan_type type;
    int channel;
    int channel2;
    unsigned long address;
    int scan_index;
    long info_mask_separate;
    long info_mask_shared_by_type;
    long info_mask_shared_by_all;
    const char* extend_name;
    const char* datasheet_name;
    unsigned modified : 1;
    unsigned indexed : 1;
    unsigned output : 1;
    unsigned differential : 1;
};

struct iio_dev;

struct iio_info {
    int (*read_raw)(struct iio_dev* indio_dev, struct iio_chan_spec const* chan, int* val, int* val2, long mask);
    int (*write_raw)(struct iio_dev* indio_dev, struct iio_chan_spec const* chan, int val, int val2, long mask);
};

struct iio_dev {
    int modes;
    struct device dev;
    /* No mlock: the kernel keeps the IIO core's lock to itself. */
    const struct iio_chan_spec* channels;
    int num_channels;
    const char* name;
    const struct iio_info* info;
};

/* The private state follows the device at an aligned offset. */
#define STANDIN_IIO_ALIGN 64
#define STANDIN_IIO_PRIV_OFFSET ((sizeof(struct iio_dev) + STANDIN_IIO_ALIGN - 1) & ~(size_t)(STANDIN_IIO_ALIGN - 1))

static inline void* iio_priv(const struct iio_dev* indio_dev) {
    return (char*)indio_dev + STANDIN_IIO_PRIV_OFFSET;
}

struct iio_dev* devm_iio_device_alloc(struct device* parent, int sizeof_priv);
int iio_device_register(struct iio_dev* indio_dev);
void iio_device_unregister(struct iio_dev* indio_dev);
int devm_iio_device_register(struct device* dev, struct iio_dev* indio_dev);

#ifdef __cplusplus
}
#endif

#endif
