// SPDX-License-Identifier: GPL-2.0
/*
 * ASoC machine driver of the digital output board variant with one
 * sample-rate converter/transmitter of two ports.  Both links take the same
 * chip, through the dummy CPU DAI: port A as clock slave, port B as the bit
 * and frame clock master.  Per stream the chip gets the master clock rate of
 * the stream's rate family.
 */

#include <linux/module.h>
#include <linux/of.h>
#include <linux/platform_device.h>
#include <sound/pcm.h>
#include <sound/pcm_params.h>
#include <sound/soc.h>
#include <sound/soc-dapm.h>

#include "mobu-machine.h"

struct mobu_digi_dit2 {
	struct snd_soc_card card;
	u32 mclk48k;
	u32 mclk44k;
	struct device_node *codec_np;	/* one chip behind both links */
};

static int snd_mobu_digi_dit2_hw_params(struct snd_pcm_substream *substream,
					struct snd_pcm_hw_params *params)
{
	struct snd_soc_pcm_runtime *rtd = mobu_substream_rtd(substream);
	struct snd_soc_card *card = rtd->card;
	struct mobu_digi_dit2 *priv = snd_soc_card_get_drvdata(card);

	return mobu_dit_set_mclk(substream, params, priv->mclk48k,
				 priv->mclk44k, __func__);
}

static const struct snd_soc_ops mobu_digi_dit2_ops = {
	.hw_params = snd_mobu_digi_dit2_hw_params,
};

MOBU_DAILINK_DEFS_DUMMY(dit2_1a, "src4xxx-portA");
MOBU_DAILINK_DEFS_DUMMY(dit2_1b, "src4xxx-portB");

/* The template of each device's links, which probe copies and fills in. */
static const struct snd_soc_dai_link mobu_digi_dit2_links[] = {
	{
		.name = "Mobu Digi out 1A",
		.stream_name = "Mobu Digi out 1A",
		.id = 0,
		.dai_fmt = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBC_CFC,
		.ops = &mobu_digi_dit2_ops,
		MOBU_DAILINK_DUMMY(dit2_1a, "src4xxx-portA"),
	},
	{
		.name = "Mobu Digi out 1B",
		.stream_name = "Mobu Digi out 1B",
		.id = 1,
		.dai_fmt = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBP_CFP,
		.ops = &mobu_digi_dit2_ops,
		MOBU_DAILINK_DUMMY(dit2_1b, "src4xxx-portB"),
	},
};

static const struct snd_soc_dapm_widget mobu_digi_dit2_widgets[] = {
	SND_SOC_DAPM_OUTPUT("Digital output"),
	SND_SOC_DAPM_INPUT("Digital input"),
};

static const struct snd_soc_dapm_route mobu_digi_dit2_routes[] = {
	{ "Digital input", NULL, "SRC_OUT" },
	{ "Playback B", NULL, "Digital output" },
};

static const struct snd_soc_card mobu_digi_dit2_card = {
	.name = "mobu_dit2_soundcard",
	.owner = THIS_MODULE,
	.num_links = ARRAY_SIZE(mobu_digi_dit2_links),
	.dapm_widgets = mobu_digi_dit2_widgets,
	.num_dapm_widgets = ARRAY_SIZE(mobu_digi_dit2_widgets),
	.dapm_routes = mobu_digi_dit2_routes,
	.num_dapm_routes = ARRAY_SIZE(mobu_digi_dit2_routes),
};

static int mobu_digi_dit2_probe(struct platform_device *pdev)
{
	struct device *dev = &pdev->dev;
	struct mobu_digi_dit2 *priv;
	unsigned int i;
	int ret;

	priv = devm_kzalloc(dev, sizeof(*priv), GFP_KERNEL);
	if (!priv)
		return -ENOMEM;
	priv->card = mobu_digi_dit2_card;
	priv->card.dev = dev;
	priv->card.dai_link = mobu_dup_links(dev, mobu_digi_dit2_links,
					     ARRAY_SIZE(mobu_digi_dit2_links));
	if (!priv->card.dai_link)
		return -ENOMEM;

	/* Both links name the same property: it is resolved and held once. */
	priv->codec_np = of_parse_phandle(dev->of_node, "mobu,digi-out-codec-3",
					  0);
	if (!priv->codec_np) {
		dev_err(dev, "Property 'mobu,digi-out-codec-3' missing or invalid\n");
		ret = -EINVAL;
		goto err;
	}
	for (i = 0; i < ARRAY_SIZE(mobu_digi_dit2_links); i++)
		MOBU_LINK_CODEC_OF(&priv->card.dai_link[i]) = priv->codec_np;

	mobu_read_mclks(dev, &priv->mclk48k, &priv->mclk44k);

	snd_soc_card_set_drvdata(&priv->card, priv);
	ret = snd_soc_register_card(&priv->card);
	if (ret)
		goto err;
	return 0;

err:
	dev_err(dev, "%s error %d exit\n", __func__, ret);
	of_node_put(priv->codec_np);
	priv->codec_np = NULL;
	return ret;
}

static void mobu_digi_dit2_teardown(struct platform_device *pdev)
{
	struct snd_soc_card *card = platform_get_drvdata(pdev);
	struct mobu_digi_dit2 *priv = snd_soc_card_get_drvdata(card);

	dev_dbg(&pdev->dev, "mobu_digi_dit2_remove enter\n");
	/* The node is released once the card no longer links it. */
	snd_soc_unregister_card(card);
	of_node_put(priv->codec_np);
	priv->codec_np = NULL;
}

MOBU_PLATFORM_REMOVE(mobu_digi_dit2_remove, mobu_digi_dit2_teardown)

static const struct of_device_id mobu_digi_dit2_of_match[] = {
	{ .compatible = "mobu,mobu-digi-dit2", },
	{ }
};
MODULE_DEVICE_TABLE(of, mobu_digi_dit2_of_match);

static struct platform_driver mobu_digi_dit2_driver = {
	.driver = {
		.name = "mobu-digi-dit2",
		.of_match_table = mobu_digi_dit2_of_match,
	},
	.probe = mobu_digi_dit2_probe,
	.remove = mobu_digi_dit2_remove,
};
module_platform_driver(mobu_digi_dit2_driver);

MODULE_ALIAS("platform:mobu_digi_dit2");
MODULE_DESCRIPTION("Mobu Digital DIT Board");
MODULE_LICENSE("GPL v2");
