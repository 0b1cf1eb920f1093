// SPDX-License-Identifier: GPL-2.0
/*
 * ASoC codec driver of the ESS9822 stereo ADC of the analogue board.
 *
 * The chip sits on I2C (see es9822-codec-i2c.c); this module holds its
 * register map and its capture-only DAI.  The component has no controls.
 */

#include <linux/bitops.h>
#include <linux/module.h>
#include <linux/regmap.h>
#include <sound/pcm.h>
#include <sound/pcm_params.h>
#include <sound/soc.h>

#include "ess-codec-compat.h"
#include "es9822-codec.h"

#define ESS9822_CLOCK_EN	0x01
#define ESS9822_CLOCK_EN_ALL	0x33
#define ESS9822_CLK_DIV		0x02
#define ESS9822_CLK_DIV_MASK	GENMASK(4, 0)
#define ESS9822_MASTER_MODE	0x08
#define ESS9822_MASTER_EN	0x01
#define ESS9822_BCLK_MASK	GENMASK(5, 4)
#define ESS9822_BCLK_16		0x20
#define ESS9822_BCLK_32		0x00
#define ESS9822_MASTER_DIV	0x09
#define ESS9822_MASTER_DIV_MASK	GENMASK(6, 0)
#define ESS9822_WORD_LEN	0x0B
#define ESS9822_WORD_MASK	GENMASK(5, 0)
#define ESS9822_WORD_16		0x21
#define ESS9822_WORD_32		0x01
#define ESS9822_PHASE		0x17
#define ESS9822_PHASE_VAL	0x0A
#define ESS9822_CHIP_ID		0xE1
#define ESS9822_CHIP_ID_VAL	0x81

/*
 * The 16-bit reset values (0x15, 0x16, 0x7e, 0x7f) are kept as the chip
 * documents them; the 8-bit cache holds their low byte.
 */
static const struct reg_default ess9822_reg_defaults[] = {
	{ 0x00, 0x00 }, { 0x01, 0x00 }, { 0x02, 0x03 }, { 0x03, 0x00 },
	{ 0x04, 0x00 }, { 0x05, 0x00 }, { 0x06, 0x00 }, { 0x07, 0x00 },
	{ 0x08, 0x00 }, { 0x09, 0x03 }, { 0x0a, 0x05 }, { 0x0b, 0x01 },
	{ 0x0c, 0x00 }, { 0x0d, 0x01 }, { 0x11, 0x2c }, { 0x12, 0x2c },
	{ 0x13, 0x2c }, { 0x14, 0x0a }, { 0x15, 0xffff }, { 0x16, 0xffff },
	{ 0x17, 0x04 }, { 0x1b, 0x00 }, { 0x1c, 0x00 }, { 0x1d, 0x00 },
	{ 0x1e, 0x00 }, { 0x1f, 0x00 }, { 0x20, 0x00 }, { 0x21, 0x15 },
	{ 0x22, 0x1f }, { 0x23, 0x00 }, { 0x24, 0x00 }, { 0x25, 0x00 },
	{ 0x26, 0x00 }, { 0x27, 0x00 }, { 0x28, 0x00 }, { 0x29, 0x00 },
	{ 0x2a, 0x00 }, { 0x2b, 0x00 }, { 0x2c, 0x00 }, { 0x2d, 0x00 },
	{ 0x2e, 0x00 }, { 0x2f, 0x00 }, { 0x30, 0x00 }, { 0x31, 0x00 },
	{ 0x32, 0x00 }, { 0x33, 0x00 }, { 0x34, 0x00 }, { 0x35, 0x00 },
	{ 0x36, 0x00 }, { 0x37, 0x00 }, { 0x38, 0x00 }, { 0x39, 0x00 },
	{ 0x3a, 0x00 }, { 0x3b, 0x00 }, { 0x3c, 0x00 }, { 0x3d, 0x00 },
	{ 0x3e, 0x00 }, { 0x3f, 0x00 }, { 0x40, 0x00 }, { 0x41, 0x00 },
	{ 0x42, 0x00 }, { 0x47, 0x00 }, { 0x49, 0x00 }, { 0x4a, 0x00 },
	{ 0x4b, 0x00 }, { 0x4c, 0x00 }, { 0x4d, 0x00 }, { 0x4e, 0x00 },
	{ 0x4f, 0x00 }, { 0x52, 0x00 }, { 0x53, 0x00 }, { 0x54, 0x00 },
	{ 0x55, 0x00 }, { 0x56, 0x00 }, { 0x57, 0x00 }, { 0x58, 0x00 },
	{ 0x59, 0x00 }, { 0x5a, 0x00 }, { 0x5b, 0x00 }, { 0x5c, 0x00 },
	{ 0x5d, 0x00 }, { 0x5e, 0x00 }, { 0x5f, 0x00 }, { 0x60, 0x00 },
	{ 0x61, 0x00 }, { 0x62, 0x00 }, { 0x63, 0x00 }, { 0x64, 0x00 },
	{ 0x65, 0x00 }, { 0x66, 0x00 }, { 0x67, 0x00 }, { 0x68, 0x00 },
	{ 0x69, 0x00 }, { 0x6a, 0x00 }, { 0x6b, 0x00 }, { 0x6c, 0x00 },
	{ 0x6d, 0x7f }, { 0x6e, 0xff }, { 0x6f, 0x00 }, { 0x70, 0x20 },
	{ 0x71, 0x80 }, { 0x72, 0x00 }, { 0x73, 0x00 }, { 0x74, 0x00 },
	{ 0x75, 0x00 }, { 0x76, 0x00 }, { 0x77, 0x00 }, { 0x78, 0x00 },
	{ 0x79, 0x00 }, { 0x7a, 0x00 }, { 0x7b, 0xff }, { 0x7c, 0x00 },
	{ 0x7d, 0x00 }, { 0x7e, 0x7fff }, { 0x7f, 0x7fff }, { 0x80, 0x00 },
	{ 0x81, 0x20 }, { 0x82, 0x80 }, { 0x83, 0x00 }, { 0x84, 0x00 },
	{ 0x85, 0x00 }, { 0x86, 0x00 }, { 0x98, 0x00 }, { 0xc0, 0x00 },
	{ 0xc1, 0x00 }, { 0xc2, 0x00 },
};

static const struct regmap_range ess9822_readable_ranges[] = {
	regmap_reg_range(0, 179),
	regmap_reg_range(224, 253),
};

static const struct regmap_access_table ess9822_readable_table = {
	.yes_ranges = ess9822_readable_ranges,
	.n_yes_ranges = ARRAY_SIZE(ess9822_readable_ranges),
};

static const struct regmap_range ess9822_writeable_ranges[] = {
	regmap_reg_range(0, 179),
	regmap_reg_range(192, 194),
};

static const struct regmap_access_table ess9822_writeable_table = {
	.yes_ranges = ess9822_writeable_ranges,
	.n_yes_ranges = ARRAY_SIZE(ess9822_writeable_ranges),
};

/* Identification and status registers. */
static const struct regmap_range ess9822_volatile_ranges[] = {
	regmap_reg_range(224, 253),
};

static const struct regmap_access_table ess9822_volatile_table = {
	.yes_ranges = ess9822_volatile_ranges,
	.n_yes_ranges = ARRAY_SIZE(ess9822_volatile_ranges),
};

const struct regmap_config ess9822_regmap_config = {
	.reg_bits = 8,
	.val_bits = 8,
	/* The identification and status registers run up to 0xFD. */
	.max_register = 0xFD,
	.rd_table = &ess9822_readable_table,
	.wr_table = &ess9822_writeable_table,
	.volatile_table = &ess9822_volatile_table,
	.reg_defaults = ess9822_reg_defaults,
	.num_reg_defaults = ARRAY_SIZE(ess9822_reg_defaults),
	.cache_type = REGCACHE_RBTREE,
};
EXPORT_SYMBOL_GPL(ess9822_regmap_config);

/*
 * Fixed settings of the I2S capture path, written in this order after the
 * clocks are enabled.  Forced entries reach the chip even when the cache
 * already holds the value.  step names the entry in the failure log.
 */
struct ess9822_setting {
	u8 reg;
	u8 mask;
	u8 val;
	bool force;
	u16 step;
};

static const struct ess9822_setting ess9822_capture_settings[] = {
	{ 0x4a, 0xff, 0x22, true, 117 },
	{ 0x4b, 0xff, 0x02, true, 122 },
	{ 0x56, 0xff, 0x03, true, 128 },
	{ 0x58, 0xff, 0x07, true, 134 },
	{ 0x3f, 0xfb, 0xbb, true, 142 },
	{ 0x40, 0xff, 0x38, true, 147 },
	{ 0x41, 0xfb, 0xbb, true, 152 },
	{ 0x42, 0xff, 0x38, true, 157 },
	{ 0x43, 0xfb, 0xbb, true, 162 },
	{ 0x44, 0xff, 0x38, true, 167 },
	{ 0x45, 0xfb, 0xbb, true, 172 },
	{ 0x46, 0xff, 0x38, true, 177 },
	{ 0x47, 0xff, 0xff, true, 182 },
	{ 0x71, 0xff, 0x98, false, 189 },
	{ 0x76, 0xff, 0x01, false, 194 },
	{ 0x82, 0xff, 0x98, false, 199 },
	{ 0x87, 0xff, 0x01, false, 204 },
	{ 0x93, 0xff, 0x98, false, 209 },
	{ 0xa4, 0xff, 0x98, false, 214 },
	{ 0x76, 0xff, 0x00, false, 391 },
	{ 0x98, 0xff, 0x01, false, 396 },
};

static int ess9822_set_dai_sysclk(struct snd_soc_dai *dai, int clk_id,
				  unsigned int freq, int dir)
{
	struct ess9822_priv *priv =
		snd_soc_component_get_drvdata(dai->component);

	dev_dbg(dai->dev, "changing mclk rate from %d to %d Hz\n",
		priv->sysclk, freq);
	priv->sysclk = freq;
	return 0;
}

static int ess9822_set_bclk_ratio(struct snd_soc_dai *dai, unsigned int ratio)
{
	struct ess9822_priv *priv =
		snd_soc_component_get_drvdata(dai->component);
	unsigned int bits;

	switch (ratio) {
	case 16:
		bits = ESS9822_BCLK_16;
		break;
	case 32:
		bits = ESS9822_BCLK_32;
		break;
	default:
		return -EINVAL;
	}
	return regmap_update_bits(priv->regmap, ESS9822_MASTER_MODE,
				  ESS9822_BCLK_MASK, bits);
}

static int ess9822_set_dai_fmt(struct snd_soc_dai *dai, unsigned int fmt)
{
	struct ess9822_priv *priv =
		snd_soc_component_get_drvdata(dai->component);
	const struct ess9822_setting *s;
	unsigned int master_bit;
	unsigned int i;
	int ret;

	dev_dbg(dai->dev, "%s enter 0x%x\n", __func__, fmt);

	/*
	 * The capture path is set up for I2S only; a refused format changes
	 * nothing, neither the chip nor the recorded clock role.
	 */
	if ((fmt & SND_SOC_DAIFMT_FORMAT_MASK) != SND_SOC_DAIFMT_I2S)
		return -EINVAL;

	switch (fmt & SND_SOC_DAIFMT_CLOCK_PROVIDER_MASK) {
	case SND_SOC_DAIFMT_CBP_CFP:
		priv->master = true;
		break;
	case SND_SOC_DAIFMT_CBC_CFC:
		priv->master = false;
		break;
	default:
		return -EINVAL;
	}
	master_bit = priv->master ? ESS9822_MASTER_EN : 0;
	ret = regmap_update_bits(priv->regmap, ESS9822_MASTER_MODE,
				 ESS9822_MASTER_EN, master_bit);
	if (ret) {
		dev_err(dai->dev, "reg %d, mas %d, bits %d\n",
			ESS9822_MASTER_MODE, ESS9822_MASTER_EN, master_bit);
		dev_err(dai->dev,
			"Failed to update ess9822 master state : returning %d\n",
			ret);
		return ret;
	}

	ret = regmap_update_bits(priv->regmap, ESS9822_CLOCK_EN, 0xff,
				 ESS9822_CLOCK_EN_ALL);
	if (ret) {
		dev_err(dai->dev, "reg %d, mask %d, bits %d\n",
			ESS9822_CLOCK_EN, 0xff, ESS9822_CLOCK_EN_ALL);
		dev_err(dai->dev,
			"Failed to enable ADC and DATA clocks : returning %d\n",
			ret);
		return ret;
	}

	ret = regmap_update_bits(priv->regmap, ESS9822_PHASE, 0xff,
				 ESS9822_PHASE_VAL);
	if (ret) {
		dev_err(dai->dev,
			"Failed to setup phase control : returning %d\n", ret);
		return ret;
	}

	for (i = 0; i < ARRAY_SIZE(ess9822_capture_settings); i++) {
		s = &ess9822_capture_settings[i];
		if (s->force)
			ret = regmap_write_bits(priv->regmap, s->reg, s->mask,
						s->val);
		else
			ret = regmap_write(priv->regmap, s->reg, s->val);
		if (ret) {
			dev_err(dai->dev, "%s %d, ret %d\n",
				__func__, s->step, ret);
			return ret;
		}
	}

	dev_dbg(dai->dev, "%s exit 2\n", __func__);
	return 0;
}

static int ess9822_hw_params(struct snd_pcm_substream *substream,
			     struct snd_pcm_hw_params *params,
			     struct snd_soc_dai *dai)
{
	struct ess9822_priv *priv =
		snd_soc_component_get_drvdata(dai->component);
	unsigned int rate = params_rate(params);
	unsigned int word, ratio;
	int ret;

	dev_dbg(dai->dev, "%s : %d : \n", __func__, __LINE__);

	switch (params_width(params)) {
	case 16:
		word = ESS9822_WORD_16;
		break;
	case 32:
		word = ESS9822_WORD_32;
		break;
	default:
		return -EINVAL;
	}
	ret = regmap_update_bits(priv->regmap, ESS9822_WORD_LEN,
				 ESS9822_WORD_MASK, word);
	if (ret)
		return ret;

	ratio = (priv->sysclk / rate) / 128;
	if (priv->sysclk != ratio * rate * 128) {
		dev_err(dai->dev, "mclk %d / rate %d has a remainder.\n",
			priv->sysclk, rate);
		return -EINVAL;
	}
	/* ratio - 1 has to fit the divider field (and an unset mclk fails). */
	if (ratio < 1 || ratio - 1 > ESS9822_CLK_DIV_MASK) {
		dev_err(dai->dev, "mclk %d has no divider for rate %d\n",
			priv->sysclk, rate);
		return -EINVAL;
	}

	ret = regmap_update_bits(priv->regmap, ESS9822_CLK_DIV,
				 ESS9822_CLK_DIV_MASK, ratio - 1);
	if (ret)
		return ret;
	if (priv->master) {
		dev_dbg(dai->dev, "%s : %d : master\n", __func__, __LINE__);
		ret = regmap_update_bits(priv->regmap, ESS9822_MASTER_DIV,
					 ESS9822_MASTER_DIV_MASK, ratio - 1);
	}

	dev_dbg(dai->dev, "%s : %d : exit\n", __func__, __LINE__);
	return ret;
}

static const struct snd_soc_dai_ops ess9822_dai_ops = {
	.set_sysclk = ess9822_set_dai_sysclk,
	.set_bclk_ratio = ess9822_set_bclk_ratio,
	.set_fmt = ess9822_set_dai_fmt,
	.hw_params = ess9822_hw_params,
};

static struct snd_soc_dai_driver ess9822_dai = {
	.name = "ess9822-hifi",
	.capture = {
		.stream_name = "ADC",
		.channels_min = 2,
		.channels_max = 2,
		.rates = SNDRV_PCM_RATE_44100 | SNDRV_PCM_RATE_48000 |
			 SNDRV_PCM_RATE_88200 | SNDRV_PCM_RATE_96000 |
			 SNDRV_PCM_RATE_176400 | SNDRV_PCM_RATE_192000,
		.formats = SNDRV_PCM_FMTBIT_S16_LE | SNDRV_PCM_FMTBIT_S32_LE,
	},
	.ops = &ess9822_dai_ops,
};

/*
 * The chip may lose power while the system sleeps: the register map keeps
 * what is written meanwhile in its cache, and resume writes the cache back.
 */
static int ess9822_suspend(struct snd_soc_component *component)
{
	struct ess9822_priv *priv = snd_soc_component_get_drvdata(component);

	regcache_cache_only(priv->regmap, true);
	regcache_mark_dirty(priv->regmap);
	return 0;
}

static int ess9822_resume(struct snd_soc_component *component)
{
	struct ess9822_priv *priv = snd_soc_component_get_drvdata(component);
	int ret;

	regcache_cache_only(priv->regmap, false);
	ret = regcache_sync(priv->regmap);
	if (ret)
		dev_err(component->dev, "registers not restored after resume: %d\n",
			ret);
	return ret;
}

static const struct snd_soc_component_driver ess9822_component_driver = {
	.suspend = ess9822_suspend,
	.resume = ess9822_resume,
	ESS_CODEC_DAI_NAMING
};

int ess9822_probe(struct device *dev, struct ess9822_priv *priv)
{
	unsigned int id = 0;
	int ret;

	ret = regmap_read(priv->regmap, ESS9822_CHIP_ID, &id);
	if (ret)
		return ret;
	if (id != ESS9822_CHIP_ID_VAL) {
		dev_dbg(dev, "%s chip ID 0x%x not found\n", __func__,
			ESS9822_CHIP_ID_VAL);
		return -EINVAL;
	}

	ret = devm_snd_soc_register_component(dev, &ess9822_component_driver,
					      &ess9822_dai, 1);
	if (!ret)
		dev_dbg(dev, "ess9822 probe ok %d\n", ret);
	return ret;
}
EXPORT_SYMBOL_GPL(ess9822_probe);

MODULE_DESCRIPTION("ASoC ESS9822 CODEC driver");
MODULE_LICENSE("GPL v2");
