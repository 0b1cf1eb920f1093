// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only description of the analogue board for a machine without a device
 * tree (a PC kernel under emulation): software nodes take the place of the
 * board's device-tree nodes, so the real machine driver registers its card
 * over real codec drivers and any mixer client can use its controls.
 *
 * Loading the module registers
 *   - the stand-in I2S controller's device ("mobu-test-i2s", bound by the
 *     mobu-test-i2s module: one CPU DAI and a timer-driven PCM),
 *   - the converter of the test codecs ("mobu-test-src4xxx"),
 *   - the DAC ("ess9038") and the ADC ("ess9822") on I2C adapter "bus" at
 *     "dac_addr" and "adc_addr" (chips the adapter must answer for),
 *   - the card's device ("mobu-digi-ana") whose software node refers to the
 *     four by the properties the device tree uses and gives the board's
 *     master clocks;
 *   - with "gpio_lines", the card's GPIO lines on the test GPIO controller
 *     "mobu-test-gpio" (lines 0-10 in the order of mobu_test_gpio_lookup),
 *     which the card waits for;
 *   - with "nco_dac_addr", a one-link card ("mobu_test_nco") over the
 *     controller and an ESS9038 already bound at that address of the same
 *     adapter, with the DAC as clock master, which the analogue card never
 *     makes it: its streams program the DAC's NCO.
 * Unloading removes them in the reverse order.
 */

#include <linux/gpio/machine.h>
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/property.h>
#include <sound/pcm.h>
#include <sound/pcm_params.h>
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
static unsigned short nco_dac_addr;
module_param(nco_dac_addr, ushort, 0444);
MODULE_PARM_DESC(nco_dac_addr,
		 "I2C address of a bound ESS9038 to master a card of its own (0: none)");

static bool gpio_lines;
module_param(gpio_lines, bool, 0444);
MODULE_PARM_DESC(gpio_lines, "give the card its lines on mobu-test-gpio");

#define MOBU_TEST_MCLK_48K	24576000
#define MOBU_TEST_MCLK_44K	22579200

/* The card's lines, by the names the machine driver requests them. */
static struct gpiod_lookup_table mobu_test_gpio_lookup = {
	.dev_id = "mobu-digi-ana",
	.table = {
		GPIO_LOOKUP("mobu-test-gpio", 0, "clk-pen", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 1, "led", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 2, "clk-pen44", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 3, "clk-pen48", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 4, "rsli", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 5, "rsmic", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 6, "rspho", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 7, "nppe", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 8, "nxsel", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 9, "nasel", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("mobu-test-gpio", 10, "nhsel", GPIO_ACTIVE_HIGH),
		{ }
	},
};

static const struct software_node mobu_test_i2s_node = { .name = "i2s" };
static const struct software_node mobu_test_digi_node = { .name = "digi" };
static const struct software_node mobu_test_dac_node = { .name = "dac" };
static const struct software_node mobu_test_adc_node = { .name = "adc" };

static const struct property_entry mobu_test_card_props[] = {
	PROPERTY_ENTRY_U32("mclk_48k", MOBU_TEST_MCLK_48K),
	PROPERTY_ENTRY_U32("mclk_44k", MOBU_TEST_MCLK_44K),
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

/* ---- the card with the DAC as clock master ---------------------------- */

static int mobu_test_nco_hw_params(struct snd_pcm_substream *substream,
				   struct snd_pcm_hw_params *params)
{
	struct snd_soc_pcm_runtime *rtd = asoc_substream_to_rtd(substream);
	unsigned int mclk = params_rate(params) % 8000 ? MOBU_TEST_MCLK_44K :
							 MOBU_TEST_MCLK_48K;

	return snd_soc_dai_set_sysclk(asoc_rtd_to_codec(rtd, 0), 0, mclk,
				      SND_SOC_CLOCK_IN);
}

static const struct snd_soc_ops mobu_test_nco_ops = {
	.hw_params = mobu_test_nco_hw_params,
};

/* A controller of its own: a component serves one card only. */
SND_SOC_DAILINK_DEFS(mobu_test_nco,
		     DAILINK_COMP_ARRAY(COMP_CPU("mobu-test-i2s")),
		     DAILINK_COMP_ARRAY(COMP_CODEC(NULL, "ess9038-hifi")),
		     DAILINK_COMP_ARRAY(COMP_PLATFORM("mobu-test-i2s.1")));

static struct snd_soc_dai_link mobu_test_nco_link = {
	.name = "Mobu NCO DAC",
	.stream_name = "Mobu NCO DAC",
	.dai_fmt = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBP_CFP,
	.ops = &mobu_test_nco_ops,
	SND_SOC_DAILINK_REG(mobu_test_nco),
};

static struct snd_soc_card mobu_test_nco_card = {
	.name = "mobu_test_nco",
	.owner = THIS_MODULE,
	.dai_link = &mobu_test_nco_link,
	.num_links = 1,
};

/*
 * The component name of the DAC bound at nco_dac_addr of the adapter, or an
 * error pointer while it is not bound.
 */
static const char *mobu_test_nco_codec(struct device *dev)
{
	struct snd_soc_component *component;
	struct device *codec;
	const char *name;
	char codec_dev[24];

	snprintf(codec_dev, sizeof(codec_dev), "%d-%04x", bus, nco_dac_addr);
	codec = bus_find_device_by_name(&i2c_bus_type, NULL, codec_dev);
	if (!codec)
		return ERR_PTR(-EPROBE_DEFER);
	component = snd_soc_lookup_component(codec, NULL);
	name = component ? devm_kstrdup(dev, component->name, GFP_KERNEL) :
			   ERR_PTR(-EPROBE_DEFER);
	put_device(codec);
	return name ? name : ERR_PTR(-ENOMEM);
}

static int mobu_test_nco_probe(struct platform_device *pdev)
{
	const char *name = mobu_test_nco_codec(&pdev->dev);

	if (IS_ERR(name))
		return dev_err_probe(&pdev->dev, PTR_ERR(name),
				     "no ESS9038 bound at 0x%02x\n",
				     nco_dac_addr);
	mobu_test_nco_link.cpus->name = "mobu-test-i2s.1";
	mobu_test_nco_link.codecs->name = name;
	mobu_test_nco_card.dev = &pdev->dev;
	return devm_snd_soc_register_card(&pdev->dev, &mobu_test_nco_card);
}

static struct platform_driver mobu_test_nco_driver = {
	.driver = {
		.name = "mobu-test-nco-card",
	},
	.probe = mobu_test_nco_probe,
};

static struct platform_device *mobu_test_nco;
static struct platform_device *mobu_test_nco_i2s;
static bool mobu_test_lookup_added;

static void mobu_test_remove_all(void)
{
	if (!IS_ERR_OR_NULL(mobu_test_nco))
		platform_device_unregister(mobu_test_nco);
	if (!IS_ERR_OR_NULL(mobu_test_nco_i2s))
		platform_device_unregister(mobu_test_nco_i2s);
	if (!IS_ERR_OR_NULL(mobu_test_card))
		platform_device_unregister(mobu_test_card);
	if (mobu_test_lookup_added)
		gpiod_remove_lookup_table(&mobu_test_gpio_lookup);
	mobu_test_lookup_added = false;
	if (!IS_ERR_OR_NULL(mobu_test_adc))
		i2c_unregister_device(mobu_test_adc);
	if (!IS_ERR_OR_NULL(mobu_test_dac))
		i2c_unregister_device(mobu_test_dac);
	if (!IS_ERR_OR_NULL(mobu_test_digi))
		platform_device_unregister(mobu_test_digi);
	if (!IS_ERR_OR_NULL(mobu_test_i2s))
		platform_device_unregister(mobu_test_i2s);
	mobu_test_nco = NULL;
	mobu_test_nco_i2s = NULL;
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
	ret = platform_driver_register(&mobu_test_nco_driver);
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
	if (gpio_lines) {
		gpiod_add_lookup_table(&mobu_test_gpio_lookup);
		mobu_test_lookup_added = true;
	}
	mobu_test_card = mobu_test_add_platform("mobu-digi-ana",
						&mobu_test_card_node);
	ret = PTR_ERR_OR_ZERO(mobu_test_card);
	if (ret)
		goto remove;
	if (nco_dac_addr) {
		mobu_test_nco_i2s = platform_device_register_simple(
			"mobu-test-i2s", 1, NULL, 0);
		ret = PTR_ERR_OR_ZERO(mobu_test_nco_i2s);
		if (ret)
			goto remove;
		mobu_test_nco = platform_device_register_simple(
			"mobu-test-nco-card", PLATFORM_DEVID_NONE, NULL, 0);
		ret = PTR_ERR_OR_ZERO(mobu_test_nco);
		if (ret)
			goto remove;
	}
	i2c_put_adapter(adapter);
	return 0;

remove:
	mobu_test_remove_all();
	platform_driver_unregister(&mobu_test_nco_driver);
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
	platform_driver_unregister(&mobu_test_nco_driver);
	software_node_unregister_node_group(mobu_test_nodes);
}
module_exit(mobu_test_card_exit);

MODULE_DESCRIPTION("Mobu test-only analogue board described by software nodes");
MODULE_LICENSE("GPL v2");
