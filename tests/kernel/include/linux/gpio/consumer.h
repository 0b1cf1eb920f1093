/* Stand-in of the GPIO descriptor consumer interface. */
#ifndef STANDIN_LINUX_GPIO_CONSUMER_H
#define STANDIN_LINUX_GPIO_CONSUMER_H

#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

struct gpio_desc;

#define GPIOD_FLAGS_BIT_DIR_SET BIT(0)
#define GPIOD_FLAGS_BIT_DIR_OUT BIT(1)
#define GPIOD_FLAGS_BIT_DIR_VAL BIT(2)

enum gpiod_flags {
    GPIOD_ASIS = 0,
    GPIOD_IN = GPIOD_FLAGS_BIT_DIR_SET,
    GPIOD_OUT_LOW = GPIOD_FLAGS_BIT_DIR_SET | GPIOD_FLAGS_BIT_DIR_OUT,
    GPIOD_OUT_HIGH = GPIOD_FLAGS_BIT_DIR_SET | GPIOD_FLAGS_BIT_DIR_OUT | GPIOD_FLAGS_BIT_DIR_VAL,
};

struct gpio_desc* devm_gpiod_get_optional(struct device* dev, const char* con_id, enum gpiod_flags flags);
/* As in the kernel, a NULL descriptor (an absent optional line) is ignored
 * and reads as 0. */
void gpiod_set_value_cansleep(struct gpio_desc* desc, int value);
int gpiod_get_value_cansleep(const struct gpio_desc* desc);

#ifdef __cplusplus
}
#endif

#endif
