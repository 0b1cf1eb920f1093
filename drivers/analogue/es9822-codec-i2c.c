// SPDX-License-Identifier: GPL-2.0
/*
 * I2C binding of the ESS9822 ADC codec driver.
 */

#include <linux/device.h>
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/regmap.h>

#include "ess-codec-compat.h"
#include "es9822-codec.h"

static int ess9822_i2c_probe(struct i2c_client *client)
{
	struct ess9822_priv *priv;

	priv = devm_kzalloc(&client->dev, sizeof(*priv), GFP_KERNEL);
	if (!priv)
		return -ENOMEM;

	priv->regmap = devm_regmap_init_i2c(client, &ess9822_regmap_config);
	if (IS_ERR(priv->regmap))
		return PTR_ERR(priv->regmap);

	i2c_set_clientdata(client, priv);
	return ess9822_probe(&client->dev, priv);
}

static const struct of_device_id ess9822_of_match[] = {
	{ .compatible = "ess,ess9822" },
	{ }
};
MODULE_DEVICE_TABLE(of, ess9822_of_match);

static const struct i2c_device_id ess9822_i2c_id[] = {
	{ "ess9822", 0 },
	{ }
};
MODULE_DEVICE_TABLE(i2c, ess9822_i2c_id);

/* No remove: everything the probe sets up is device-managed. */
static struct i2c_driver ess9822_i2c_driver = {
	.driver = {
		.name = "ess9822",
		.of_match_table = ess9822_of_match,
	},
	ESS_CODEC_I2C_PROBE = ess9822_i2c_probe,
	.id_table = ess9822_i2c_id,
};
module_i2c_driver(ess9822_i2c_driver);

MODULE_DESCRIPTION("ASoC ESS9822 CODEC I2C driver");
MODULE_LICENSE("GPL v2");
