// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only codecs for the board machine drivers: the two-port sample-rate
 * converter ("src4xxx-portA", "src4xxx-portB") and the S/PDIF transmitter
 * ("dix4192-portA").  They drive no chip; every DAI operation the machine
 * drivers use is recorded in the device's driver data and logged, so a test
 * (or a test kernel's log) can see what each DAI was given.  The converter
 * also carries the "SRC_OUT" widget the two-port board routes from.
 */

#include <linux/module.h>
#include <linux/of.h>
#include <linux/of_device.h>
#include <linux/platform_device.h>
#include <sound/pcm.h>
#include <sound/pcm_params.h>
#include <sound/soc.h>
#include <sound/soc-dapm.h>

#include "ess-codec-compat.h"
#include "mobu-test-codec.h"

#define MOBU_TEST_RATES	(SNDRV_PCM_RATE_44100 | SNDRV_PCM_RATE_48000 | \
			 SNDRV_PCM_RATE_88200 | SNDRV_PCM_RATE_96000 | \
			 SNDRV_PCM_RATE_176400 | SNDRV_PCM_RATE_192000)
#define MOBU_TEST_FORMATS	(SNDRV_PCM_FMTBIT_S16_LE | SNDRV_PCM_FMTBIT_S24_LE | \
				 SNDRV_PCM_FMTBIT_S32_LE)

static struct mobu_test_dai_record *mobu_test_record(struct snd_soc_dai *dai)
{
	struct mobu_test_codec *priv = dev_get_drvdata(dai->dev);

	return &priv->dai[dai->id % MOBU_TEST_CODEC_MAX_DAIS];
}

static int mobu_test_set_sysclk(struct snd_soc_dai *dai, int clk_id,
				unsigned int freq, int dir)
{
	struct mobu_test_dai_record *rec = mobu_test_record(dai);

	rec->sysclk_calls++;
	rec->clk_id = clk_id;
	rec->sysclk = freq;
	rec->clk_dir = dir;
	dev_info(dai->dev, "%s sysclk %u Hz (id %d, dir %d)\n", dai->name, freq,
		 clk_id, dir);
	return 0;
}

static int mobu_test_set_fmt(struct snd_soc_dai *dai, unsigned int fmt)
{
	struct mobu_test_dai_record *rec = mobu_test_record(dai);

	rec->fmt_calls++;
	rec->fmt = fmt;
	dev_info(dai->dev, "%s fmt 0x%x\n", dai->name, fmt);
	return 0;
}

/* What it was given is recorded; it fails when a test asks it to. */
static int mobu_test_hw_params(struct snd_pcm_substream *substream,
			       struct snd_pcm_hw_params *params,
			       struct snd_soc_dai *dai)
{
	struct mobu_test_dai_record *rec = mobu_test_record(dai);

	rec->hw_params_calls++;
	rec->rate = params_rate(params);
	rec->channels = params_channels(params);
	rec->width = params_width(params);
	rec->without_substream = !substream;
	rec->substream = substream;
	dev_info(dai->dev, "%s hw_params %u Hz, %u channels, %d bits%s\n",
		 dai->name, rec->rate, rec->channels, rec->width,
		 substream ? "" : ", no substream");
	return rec->hw_params_error;
}

static const struct snd_soc_dai_ops mobu_test_dai_ops = {
	.set_sysclk = mobu_test_set_sysclk,
	.set_fmt = mobu_test_set_fmt,
	.hw_params = mobu_test_hw_params,
};

#define MOBU_TEST_STREAM(xname)						\
	{								\
		.stream_name = xname,					\
		.channels_min = 2,					\
		.channels_max = 2,					\
		.rates = MOBU_TEST_RATES,				\
		.formats = MOBU_TEST_FORMATS,				\
	}

static struct snd_soc_dai_driver mobu_test_src_dais[] = {
	{
		.name = "src4xxx-portA",
		.id = 0,
		.ops = &mobu_test_dai_ops,
		.playback = MOBU_TEST_STREAM("Port A Playback"),
		.capture = MOBU_TEST_STREAM("Port A Capture"),
	},
	{
		.name = "src4xxx-portB",
		.id = 1,
		.ops = &mobu_test_dai_ops,
		.playback = MOBU_TEST_STREAM("Playback B"),
		.capture = MOBU_TEST_STREAM("Capture B"),
	},
};

static struct snd_soc_dai_driver mobu_test_dix_dais[] = {
	{
		.name = "dix4192-portA",
		.ops = &mobu_test_dai_ops,
		.playback = MOBU_TEST_STREAM("Transmitter Playback"),
	},
};

static const struct snd_soc_dapm_widget mobu_test_src_widgets[] = {
	SND_SOC_DAPM_OUTPUT("SRC_OUT"),
};

static const struct snd_soc_component_driver mobu_test_src_component = {
	.name = "mobu-test-src4xxx",
	.dapm_widgets = mobu_test_src_widgets,
	.num_dapm_widgets = ARRAY_SIZE(mobu_test_src_widgets),
	ESS_CODEC_DAI_NAMING
};

static const struct snd_soc_component_driver mobu_test_dix_component = {
	.name = "mobu-test-dix4192",
	ESS_CODEC_DAI_NAMING
};

struct mobu_test_variant {
	const struct snd_soc_component_driver *component;
	struct snd_soc_dai_driver *dais;
	int num_dais;
};

static const struct mobu_test_variant mobu_test_src = {
	&mobu_test_src_component, mobu_test_src_dais,
	ARRAY_SIZE(mobu_test_src_dais),
};

static const struct mobu_test_variant mobu_test_dix = {
	&mobu_test_dix_component, mobu_test_dix_dais,
	ARRAY_SIZE(mobu_test_dix_dais),
};

static const struct of_device_id mobu_test_codec_of_match[] = {
	{ .compatible = "mobu,test-src4xxx", .data = &mobu_test_src },
	{ .compatible = "mobu,test-dix4192", .data = &mobu_test_dix },
	{ }
};
MODULE_DEVICE_TABLE(of, mobu_test_codec_of_match);

/* The same codecs by device name, for machines without a device tree. */
static const struct platform_device_id mobu_test_codec_ids[] = {
	{ "mobu-test-src4xxx", (kernel_ulong_t)&mobu_test_src },
	{ "mobu-test-dix4192", (kernel_ulong_t)&mobu_test_dix },
	{ }
};
MODULE_DEVICE_TABLE(platform, mobu_test_codec_ids);

static int mobu_test_codec_probe(struct platform_device *pdev)
{
	const struct platform_device_id *id = platform_get_device_id(pdev);
	const struct mobu_test_variant *variant;
	struct mobu_test_codec *priv;

	variant = of_device_get_match_data(&pdev->dev);
	if (!variant && id)
		variant = (const struct mobu_test_variant *)id->driver_data;
	if (!variant)
		return -ENODEV;
	priv = devm_kzalloc(&pdev->dev, sizeof(*priv), GFP_KERNEL);
	if (!priv)
		return -ENOMEM;
	platform_set_drvdata(pdev, priv);
	return devm_snd_soc_register_component(&pdev->dev, variant->component,
					       variant->dais,
					       variant->num_dais);
}

static struct platform_driver mobu_test_codec_driver = {
	.driver = {
		.name = "mobu-test-codec",
		.of_match_table = mobu_test_codec_of_match,
	},
	.id_table = mobu_test_codec_ids,
	.probe = mobu_test_codec_probe,
};
module_platform_driver(mobu_test_codec_driver);

MODULE_DESCRIPTION("Mobu test-only converter and transmitter codecs");
MODULE_LICENSE("GPL v2");
