/* SPDX-License-Identifier: GPL-2.0 */
/*
 * ESS9038 eight-channel DAC: state shared by the codec and its I2C binding.
 */
#ifndef ES9038_CODEC_H
#define ES9038_CODEC_H

#include <linux/device.h>
#include <linux/gpio/consumer.h>
#include <linux/regmap.h>

struct ess9038_priv {
	struct regmap *regmap;
	unsigned int sysclk;		/* master clock rate, Hz */
	bool master;			/* codec masters the serial clocks */
	struct gpio_desc *mute_gpio;	/* optional mute line, may be NULL */
};

extern const struct regmap_config ess9038_regmap_config;

/* Identifies the chip and registers the component; priv->regmap must be set. */
int ess9038_probe(struct device *dev, struct ess9038_priv *priv);

#endif /* ES9038_CODEC_H */
