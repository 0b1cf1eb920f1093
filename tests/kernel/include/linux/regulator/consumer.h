/*
 * Stand-in of the regulator consumer interface.  The supplies a device finds
 * are set up by the test (standin::I2cChip::supplies()), which also sees
 * their enable count and voltage.
 */
#ifndef STANDIN_LINUX_REGULATOR_CONSUMER_H
#define STANDIN_LINUX_REGULATOR_CONSUMER_H

#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

struct regulator;

struct regulator* devm_regulator_get(struct device* dev, const char* id);
int regulator_enable(struct regulator* regulator);
int regulator_disable(struct regulator* regulator);
int regulator_is_enabled(struct regulator* regulator);
int regulator_get_voltage(struct regulator* regulator);

#ifdef __cplusplus
}
#endif

#endif
