/* SPDX-License-Identifier: GPL-2.0 */
/*
 * ESS9822 stereo ADC: state shared by the codec and its I2C binding.
 */
#ifndef ES9822_CODEC_H
#define ES9822_CODEC_H

#include <linux/device.h>
#include <linux/regmap.h>

struct ess9822_priv {
	struct regmap *regmap;
	unsigned int sysclk;	/* master clock rate, Hz */
	bool master;		/* codec masters the serial clocks */
};

extern const struct regmap_config ess9822_regmap_config;

/* Identifies the chip and registers the component; priv->regmap must be set. */
int ess9822_probe(struct device *dev, struct ess9822_priv *priv);

#endif /* ES9822_CODEC_H */
