// SPDX-License-Identifier: GPL-2.0
/*
 * ASoC machine driver of the digital output board with three S/PDIF-AES
 * transmitters.  Each transmitter takes I2S through a link whose CPU side is
 * the dummy DAI, so the links only carry the format and, per stream, the
 * master clock rate of the stream's rate family to the transmitters.
 */

#include <linux/module.h>
#include <linux/of.h>
#include <linux/platform_device.h>
#include <sound/pcm.h>
#include <sound/pcm_params.h>
#include <sound/soc.h>

#include "mobu-machine.h"

#define MOBU_DIT_LINKS	3

struct mobu_digi_dit {
	struct snd_soc_card card;
	u32 mclk48k;
	u32 mclk44k;
	struct device_node *codec_np[MOBU_DIT_LINKS];
};

static int snd_mobu_digi_dit_hw_params(struct snd_pcm_substream *substream,
				       struct snd_pcm_hw_params *params)
{
	struct snd_soc_pcm_runtime *rtd = mobu_substream_rtd(substream);
	struct snd_soc_card *card = rtd->card;
	struct mobu_digi_dit *priv = snd_soc_card_get_drvdata(card);
	int ret;

	ret = mobu_dit_set_mclk(substream, params, priv->mclk48k,
				priv->mclk44k, __func__);
	if (ret < 0)
		return ret;
	dev_dbg(card->dev, "snd_mobu_digi_hw_params exit ret=%d\n", ret);
	return ret;
}

static const struct snd_soc_ops mobu_digi_dit_ops = {
	.hw_params = snd_mobu_digi_dit_hw_params,
};

MOBU_DAILINK_DEFS_DUMMY(dit_1a, "dix4192-portA");
MOBU_DAILINK_DEFS_DUMMY(dit_2a, "dix4192-portA");
MOBU_DAILINK_DEFS_DUMMY(dit_3a, "dix4192-portA");

#define MOBU_DIT_LINK(xid, xname, xdefs)				\
	{								\
		.name = xname,						\
		.stream_name = xname,					\
		.id = xid,						\
		.dai_fmt = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBC_CFC,	\
		.ops = &mobu_digi_dit_ops,				\
		MOBU_DAILINK_DUMMY(xdefs, "dix4192-portA"),		\
	}

/* The template of each device's links, which probe copies and fills in. */
static const struct snd_soc_dai_link mobu_digi_dit_links[MOBU_DIT_LINKS] = {
	MOBU_DIT_LINK(0, "Mobu Digi out 1A", dit_1a),
	MOBU_DIT_LINK(1, "Mobu Digi out 2A", dit_2a),
	MOBU_DIT_LINK(2, "Mobu Digi out 3A", dit_3a),
};

static const char * const mobu_digi_dit_codec_props[MOBU_DIT_LINKS] = {
	"mobu,digi-out-codec-1", "mobu,digi-out-codec-2",
	"mobu,digi-out-codec-3",
};

static const struct snd_soc_card mobu_digi_dit_card = {
	.name = "mobu_dit_soundcard",
	.owner = THIS_MODULE,
	.num_links = ARRAY_SIZE(mobu_digi_dit_links),
};

static void mobu_digi_dit_put_nodes(struct mobu_digi_dit *priv)
{
	unsigned int i;

	for (i = 0; i < MOBU_DIT_LINKS; i++) {
		of_node_put(priv->codec_np[i]);
		priv->codec_np[i] = NULL;
	}
}

static int mobu_digi_dit_probe(struct platform_device *pdev)
{
	struct device *dev = &pdev->dev;
	struct mobu_digi_dit *priv;
	unsigned int i;
	int ret;

	priv = devm_kzalloc(dev, sizeof(*priv), GFP_KERNEL);
	if (!priv)
		return -ENOMEM;
	priv->card = mobu_digi_dit_card;
	priv->card.dev = dev;
	priv->card.dai_link = mobu_dup_links(dev, mobu_digi_dit_links,
					     ARRAY_SIZE(mobu_digi_dit_links));
	if (!priv->card.dai_link)
		return -ENOMEM;

	for (i = 0; i < MOBU_DIT_LINKS; i++) {
		priv->codec_np[i] = of_parse_phandle(dev->of_node,
						     mobu_digi_dit_codec_props[i],
						     0);
		if (!priv->codec_np[i]) {
			dev_err(dev, "Property '%s' missing or invalid\n",
				mobu_digi_dit_codec_props[i]);
			ret = -EINVAL;
			goto err_nodes;
		}
		MOBU_LINK_CODEC_OF(&priv->card.dai_link[i]) = priv->codec_np[i];
	}

	mobu_read_mclks(dev, &priv->mclk48k, &priv->mclk44k);

	snd_soc_card_set_drvdata(&priv->card, priv);
	ret = snd_soc_register_card(&priv->card);
	if (ret)
		goto err_nodes;
	dev_dbg(dev, "%s exit\n", __func__);
	return 0;

err_nodes:
	dev_err(dev, "%s error %d exit\n", __func__, ret);
	mobu_digi_dit_put_nodes(priv);
	return ret;
}

static void mobu_digi_dit_teardown(struct platform_device *pdev)
{
	struct snd_soc_card *card = platform_get_drvdata(pdev);
	struct mobu_digi_dit *priv = snd_soc_card_get_drvdata(card);

	dev_dbg(&pdev->dev, "mobu_digi_dit_remove enter\n");
	/* The nodes are released once the card no longer links them. */
	snd_soc_unregister_card(card);
	mobu_digi_dit_put_nodes(priv);
}

MOBU_PLATFORM_REMOVE(mobu_digi_dit_remove, mobu_digi_dit_teardown)

static const struct of_device_id mobu_digi_dit_of_match[] = {
	{ .compatible = "mobu,mobu-digi-dit", },
	{ }
};
MODULE_DEVICE_TABLE(of, mobu_digi_dit_of_match);

static struct platform_driver mobu_digi_dit_driver = {
	.driver = {
		.name = "mobu-digi-dit",
		.of_match_table = mobu_digi_dit_of_match,
	},
	.probe = mobu_digi_dit_probe,
	.remove = mobu_digi_dit_remove,
};
module_platform_driver(mobu_digi_dit_driver);

MODULE_ALIAS("platform:mobu_digi_dit");
MODULE_DESCRIPTION("Mobu Digital DIT Board");
MODULE_LICENSE("GPL v2");
