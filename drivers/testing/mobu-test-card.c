// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only description of the analogue board for a machine without a device
 * tree (a PC kernel under emulation): software nodes take the place of the
 * board's device-tree nodes, so the real machine driver registers its card
 * over real codec drivers and any mixer client can use its controls.
 *
 * Loading the module registers
 *   - a stand-in I2S controller ("mobu-test-i2s": one CPU DAI, no DMA),
 *   - the converter of the test codecs ("mobu-test-src4xxx"),
 *   - the DAC ("ess9038") and the ADC ("ess9822") on I2C adapter "bus" at
 *     "dac_addr" and "adc_addr" (chips the adapter must answer for),
 *   - the card's device ("mobu-digi-ana") whose software node refers to the
 *     four by the properties the device tree uses.
 * Unloading removes them in the reverse order.
 */

#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/property.h>
#include <sound/pcm.h>
#include <sound/soc.h>

static int bus = -1;
module_param(bus, int, 0444);
MODULE_PARM_DESC(bus, "number of the I2C adapter the DAC and ADC sit on");
static unsigned short dac_addr = 0x4d;
module_param(dac_addr, ushort, 0444);
MODULE_PARM_DESC(dac_addr, "I2C address of the DAC");
static unsigned short adc_addr = 0x4e;
module_param(adc_addr, ushort, 0444);
MODULE_PARM_DESC(adc_addr, "I2C address of the ADC");

#define MOBU_TEST_I2S_RATES	SNDRV_PCM_RATE_8000_192000
#define MOBU_TEST_I2S_FORMATS	(SNDRV_PCM_FMTBIT_S16_LE | \
				 SNDRV_PCM_FMTBIT_S24_LE | \
				 SNDRV_PCM_FMTBIT_S32_LE)

static struct snd_soc_dai_driver mobu_test_i2s_dai = {
	.name = "mobu-test-i2s",
	.playback = {
		.stream_name = "I2S Playback",
		.channels_min = 2,
		.channels_max = 8,
		.rates = MOBU_TEST_I2S_RATES,
		.formats = MOBU_TEST_I2S_FORMATS,
	},
	.capture = {
		.stream_name = "I2S Capture",
		.channels_min = 2,
		.channels_max = 8,
		.rates = MOBU_TEST_I2S_RATES,
		.formats = MOBU_TEST_I2S_FORMATS,
	},
};

static const struct snd_soc_component_driver mobu_test_i2s_component = {
	.name = "mobu-test-i2s",
};

static int mobu_test_i2s_probe(struct platform_device *pdev)
{
	return devm_snd_soc_register_component(&pdev->dev,
					       &mobu_test_i2s_component,
					       &mobu_test_i2s_dai, 1);
}

static struct platform_driver mobu_test_i2s_driver = {
	.driver = {
		.name = "mobu-test-i2s",
	},
	.probe = mobu_test_i2s_probe,
};

static const struct software_node mobu_test_i2s_node = { .name = "i2s" };
static const struct software_node mobu_test_digi_node = { .name = "digi" };
static const struct software_node mobu_test_dac_node = { .name = "dac" };
static const struct software_node mobu_test_adc_node = { .name = "adc" };

static const struct property_entry mobu_test_card_props[] = {
	PROPERTY_ENTRY_REF("i2s-controller", &mobu_test_i2s_node),
	PROPERTY_ENTRY_REF("mobu,digi-codec", &mobu_test_digi_node),
	PROPERTY_ENTRY_REF("mobu,dac-codec", &mobu_test_dac_node),
	PROPERTY_ENTRY_REF("mobu,adc-codec", &mobu_test_adc_node),
	{ }
};

static const struct software_node mobu_test_card_node = {
	.name = "mobu-digi-ana",
	.properties = mobu_test_card_props,
};

static const struct software_node *mobu_test_nodes[] = {
	&mobu_test_i2s_node, &mobu_test_digi_node, &mobu_test_dac_node,
	&mobu_test_adc_node, &mobu_test_card_node, NULL,
};

static struct platform_device *mobu_test_i2s;
static struct platform_device *mobu_test_digi;
static struct i2c_client *mobu_test_dac;
static struct i2c_client *mobu_test_adc;
static struct platform_device *mobu_test_card;

static struct platform_device *
mobu_test_add_platform(const char *name, const struct software_node *node)
{
	struct platform_device_info info = {
		.name = name,
		.id = PLATFORM_DEVID_NONE,
		.fwnode = software_node_fwnode(node),
	};

	return platform_device_register_full(&info);
}

static struct i2c_client *mobu_test_add_i2c(struct i2c_adapter *adapter,
					    const char *type,
					    unsigned short addr,
					    const struct software_node *node)
{
	struct i2c_board_info info = {
		.addr = addr,
		.swnode = node,
	};

	strscpy(info.type, type, sizeof(info.type));
	return i2c_new_client_device(adapter, &info);
}

static void mobu_test_remove_all(void)
{
	if (!IS_ERR_OR_NULL(mobu_test_card))
		platform_device_unregister(mobu_test_card);
	if (!IS_ERR_OR_NULL(mobu_test_adc))
		i2c_unregister_device(mobu_test_adc);
	if (!IS_ERR_OR_NULL(mobu_test_dac))
		i2c_unregister_device(mobu_test_dac);
	if (!IS_ERR_OR_NULL(mobu_test_digi))
		platform_device_unregister(mobu_test_digi);
	if (!IS_ERR_OR_NULL(mobu_test_i2s))
		platform_device_unregister(mobu_test_i2s);
	mobu_test_card = NULL;
	mobu_test_adc = NULL;
	mobu_test_dac = NULL;
	mobu_test_digi = NULL;
	mobu_test_i2s = NULL;
}

static int __init mobu_test_card_init(void)
{
	struct i2c_adapter *adapter;
	int ret;

	adapter = i2c_get_adapter(bus);
	if (!adapter) {
		pr_err("mobu-test-card: no I2C adapter %d\n", bus);
		return -ENODEV;
	}
	ret = software_node_register_node_group(mobu_test_nodes);
	if (ret)
		goto put_adapter;
	ret = platform_driver_register(&mobu_test_i2s_driver);
	if (ret)
		goto unregister_nodes;

	mobu_test_i2s = mobu_test_add_platform("mobu-test-i2s",
					       &mobu_test_i2s_node);
	ret = PTR_ERR_OR_ZERO(mobu_test_i2s);
	if (ret)
		goto remove;
	mobu_test_digi = mobu_test_add_platform("mobu-test-src4xxx",
						&mobu_test_digi_node);
	ret = PTR_ERR_OR_ZERO(mobu_test_digi);
	if (ret)
		goto remove;
	mobu_test_dac = mobu_test_add_i2c(adapter, "ess9038", dac_addr,
					  &mobu_test_dac_node);
	ret = PTR_ERR_OR_ZERO(mobu_test_dac);
	if (ret)
		goto remove;
	mobu_test_adc = mobu_test_add_i2c(adapter, "ess9822", adc_addr,
					  &mobu_test_adc_node);
	ret = PTR_ERR_OR_ZERO(mobu_test_adc);
	if (ret)
		goto remove;
	mobu_test_card = mobu_test_add_platform("mobu-digi-ana",
						&mobu_test_card_node);
	ret = PTR_ERR_OR_ZERO(mobu_test_card);
	if (ret)
		goto remove;
	i2c_put_adapter(adapter);
	return 0;

remove:
	mobu_test_remove_all();
	platform_driver_unregister(&mobu_test_i2s_driver);
unregister_nodes:
	software_node_unregister_node_group(mobu_test_nodes);
put_adapter:
	i2c_put_adapter(adapter);
	return ret;
}
module_init(mobu_test_card_init);

static void __exit mobu_test_card_exit(void)
{
	mobu_test_remove_all();
	platform_driver_unregister(&mobu_test_i2s_driver);
	software_node_unregister_node_group(mobu_test_nodes);
}
module_exit(mobu_test_card_exit);

MODULE_DESCRIPTION("Mobu test-only analogue board described by software nodes");
MODULE_LICENSE("GPL v2");
