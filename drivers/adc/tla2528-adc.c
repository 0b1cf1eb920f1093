// SPDX-License-Identifier: GPL-2.0
/*
 * Texas Instruments TLA2528 eight-input 12-bit ADC on I2C.
 *
 * The converter is used in manual channel selection mode: a read of
 * channel n selects n in the channel-select register (only when another
 * channel was selected before) and reads one conversion, a big-endian
 * 16-bit word holding the result in bits 15:4 and the channel tag in
 * bits 3:0.
 */

#include <linux/i2c.h>
#include <linux/iio/iio.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/of.h>
#include <linux/regulator/consumer.h>

#define TLA2528_OP_REG_WRITE		0x08

#define TLA2528_DATA_CFG		0x02
#define TLA2528_PIN_CFG			0x05
#define TLA2528_SEQUENCE_CFG		0x10
#define TLA2528_CHANNEL_SEL		0x11

/* DATA_CFG: append the 4-bit channel tag to each result */
#define TLA2528_DATA_CFG_APPEND_TAG	0x10
/* PIN_CFG: every pin is an analogue input */
#define TLA2528_PIN_CFG_ALL_ANALOG	0x00
/* SEQUENCE_CFG: channels are selected by hand */
#define TLA2528_SEQUENCE_CFG_MANUAL	0x00

#define TLA2528_CHANNEL_NONE		0xFF
#define TLA2528_RESOLUTION_BITS		12

struct tla2528_priv {
	struct i2c_client *client;
	struct regulator *vref;
	/* Serialises conversions and protects lastChannel. */
	struct mutex lock;
	u8 lastChannel;
};

#define TLA2528_CHANNEL(n) {					\
	.type = IIO_VOLTAGE,					\
	.indexed = 1,						\
	.channel = (n),						\
	.info_mask_separate = BIT(IIO_CHAN_INFO_RAW),		\
	.info_mask_shared_by_type = BIT(IIO_CHAN_INFO_SCALE),	\
	.datasheet_name = "AIN" #n,				\
}

static const struct iio_chan_spec tla2528_channels[] = {
	TLA2528_CHANNEL(0),
	TLA2528_CHANNEL(1),
	TLA2528_CHANNEL(2),
	TLA2528_CHANNEL(3),
	TLA2528_CHANNEL(4),
	TLA2528_CHANNEL(5),
	TLA2528_CHANNEL(6),
	TLA2528_CHANNEL(7),
};

static int tla2528_write_reg(struct i2c_client *client, u8 reg, u8 val)
{
	u8 buf[3] = { TLA2528_OP_REG_WRITE, reg, val };
	int ret;

	ret = i2c_master_send(client, buf, sizeof(buf));
	if (ret < 0)
		return ret;
	return ret == sizeof(buf) ? 0 : -EIO;
}

/* Called with priv->lock held. */
static int tla2528_read_channel(struct tla2528_priv *priv, u8 channel,
				int *val)
{
	struct i2c_client *client = priv->client;
	__be16 word;
	int ret;

	if (channel != priv->lastChannel) {
		ret = tla2528_write_reg(client, TLA2528_CHANNEL_SEL, channel);
		if (ret)
			return ret;
		priv->lastChannel = channel;
	}

	ret = i2c_master_recv(client, (char *)&word, sizeof(word));
	if (ret != sizeof(word)) {
		dev_err(&client->dev, "i2c_master_recv failed\n");
		return ret < 0 ? ret : -EIO;
	}

	/* drop the channel tag */
	*val = be16_to_cpu(word) >> 4;
	return 0;
}

static int tla2528_read_raw(struct iio_dev *indio_dev,
			    struct iio_chan_spec const *chan,
			    int *val, int *val2, long mask)
{
	struct tla2528_priv *priv = iio_priv(indio_dev);
	int ret;

	switch (mask) {
	case IIO_CHAN_INFO_RAW:
		mutex_lock(&priv->lock);
		ret = tla2528_read_channel(priv, chan->channel, val);
		mutex_unlock(&priv->lock);
		if (ret)
			return ret;
		return IIO_VAL_INT;

	case IIO_CHAN_INFO_SCALE:
		ret = regulator_get_voltage(priv->vref);
		if (ret < 0)
			return ret;
		*val = ret / 1000;
		*val2 = TLA2528_RESOLUTION_BITS;
		return IIO_VAL_FRACTIONAL_LOG2;

	default:
		return -EINVAL;
	}
}

static const struct iio_info tla2528_info = {
	.read_raw = tla2528_read_raw,
};

static const struct i2c_device_id tla2528_id[] = {
	{ "tla2528", 0 },
	{ }
};
MODULE_DEVICE_TABLE(i2c, tla2528_id);

static void tla2528_vref_disable(void *vref)
{
	regulator_disable(vref);
}

static int tla2528_probe(struct i2c_client *client)
{
	const struct i2c_device_id *id = i2c_match_id(tla2528_id, client);
	struct device *dev = &client->dev;
	struct iio_dev *indio_dev;
	struct tla2528_priv *priv;
	int ret;

	dev_dbg(dev, "%s : enter\n", __func__);

	if (!i2c_check_functionality(client->adapter, I2C_FUNC_I2C |
				     I2C_FUNC_SMBUS_WRITE_BYTE_DATA))
		return -EOPNOTSUPP;

	indio_dev = devm_iio_device_alloc(dev, sizeof(*priv));
	if (!indio_dev)
		return -ENOMEM;

	priv = iio_priv(indio_dev);
	priv->client = client;
	mutex_init(&priv->lock);
	i2c_set_clientdata(client, indio_dev);

	indio_dev->dev.parent = dev;
	indio_dev->name = id ? id->name : client->name;
	indio_dev->info = &tla2528_info;
	indio_dev->modes = INDIO_DIRECT_MODE;
	indio_dev->channels = tla2528_channels;
	indio_dev->num_channels = ARRAY_SIZE(tla2528_channels);

	dev_dbg(dev, "%s : finding vref\n", __func__);
	priv->vref = devm_regulator_get(dev, "vref");
	if (IS_ERR(priv->vref))
		return PTR_ERR(priv->vref);
	dev_dbg(dev, "%s : vref found\n", __func__);

	ret = regulator_enable(priv->vref);
	if (ret)
		return ret;
	/*
	 * Device-managed from here on: the supply is disabled after the IIO
	 * device is unregistered on remove, and on any later probe failure.
	 */
	ret = devm_add_action_or_reset(dev, tla2528_vref_disable, priv->vref);
	if (ret)
		goto err_exit;

	dev_dbg(dev, "%s : i2s write reg TLA2528_PIN_CFG\n", __func__);
	ret = tla2528_write_reg(client, TLA2528_PIN_CFG,
				TLA2528_PIN_CFG_ALL_ANALOG);
	if (ret)
		goto err_exit;

	dev_dbg(dev, "%s : i2s write reg TLA2528_DATA_CFG\n", __func__);
	ret = tla2528_write_reg(client, TLA2528_DATA_CFG,
				TLA2528_DATA_CFG_APPEND_TAG);
	if (ret)
		goto err_exit;

	dev_dbg(dev, "%s : i2s write reg TLA2528_SEQUENCE_CFG\n", __func__);
	ret = tla2528_write_reg(client, TLA2528_SEQUENCE_CFG,
				TLA2528_SEQUENCE_CFG_MANUAL);
	if (ret)
		goto err_exit;

	priv->lastChannel = TLA2528_CHANNEL_NONE;

	dev_dbg(dev, "%s : iio_device_register\n", __func__);
	ret = devm_iio_device_register(dev, indio_dev);
	if (ret)
		goto err_exit;

	dev_dbg(dev, "%s : exit\n", __func__);
	return 0;

err_exit:
	dev_err(dev, "%s : error exit\n", __func__);
	return ret;
}

static const struct of_device_id tla2528_of_match[] = {
	{ .compatible = "ti,tla2528" },
	{ }
};
MODULE_DEVICE_TABLE(of, tla2528_of_match);

static struct i2c_driver tla2528_driver = {
	.driver = {
		.name = "tla2528",
		.of_match_table = tla2528_of_match,
	},
	.probe_new = tla2528_probe,
	.id_table = tla2528_id,
};
module_i2c_driver(tla2528_driver);

MODULE_DESCRIPTION("Texas Instruments TLA2528 ADC driver");
MODULE_LICENSE("GPL v2");
