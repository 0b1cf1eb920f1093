// SPDX-License-Identifier: GPL-2.0
/*
 * ASoC codec driver of the ESS9038 eight-channel DAC of the analogue board.
 *
 * The chip sits on I2C (see es9038-codec-i2c.c); this module holds its
 * register map, its one DAI and the channel volume controls.
 */

#include <linux/bitops.h>
#include <linux/gpio/consumer.h>
#include <linux/math64.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/regmap.h>
#include <sound/pcm.h>
#include <sound/pcm_params.h>
#include <sound/soc.h>
#include <sound/tlv.h>

#include "ess-codec-compat.h"
#include "es9038-codec.h"

#define ESS9038_INPUT_SELECT	0x01
#define ESS9038_AUTO_SELECT	GENMASK(3, 2)
#define ESS9038_SERIAL_FMT	0x02
#define ESS9038_FMT_MASK	GENMASK(1, 0)
#define ESS9038_FMT_I2S		0x00
#define ESS9038_FMT_LJ		0x01
#define ESS9038_FMT_RJ		0x02
#define ESS9038_WORD_MASK	GENMASK(5, 4)
#define ESS9038_WORD_32		0x10
#define ESS9038_FILTER_MUTE	0x07
#define ESS9038_MUTE_ALL	BIT(0)
#define ESS9038_BYPASS_MASK	GENMASK(7, 5)
#define ESS9038_MASTER_MODE	0x0A
#define ESS9038_MASTER_EN	0x08
#define ESS9038_MCLK_DIV_MASK	GENMASK(6, 5)
#define ESS9038_VOLUME(ch)	(0x10 + (ch))
#define ESS9038_NCO(n)		(0x2A + (n))
#define ESS9038_CHIP_ID		0x40
#define ESS9038_CHIP_ID_VAL	0x2A
#define ESS9038_DPLL(n)		(0x42 + (n))

static const struct reg_default ess9038_reg_defaults[] = {
	{ 0x00, 0x0c }, { 0x01, 0x3c }, { 0x02, 0x3d }, { 0x04, 0x00 },
	{ 0x05, 0x68 }, { 0x06, 0x4a }, { 0x07, 0x40 }, { 0x08, 0x88 },
	{ 0x09, 0x88 }, { 0x0a, 0x00 }, { 0x0b, 0x00 }, { 0x0c, 0x5a },
	{ 0x0d, 0x20 }, { 0x0e, 0x8a }, { 0x0f, 0x09 }, { 0x10, 0x00 },
	{ 0x11, 0x00 }, { 0x12, 0x00 }, { 0x13, 0x00 }, { 0x14, 0x00 },
	{ 0x15, 0x00 }, { 0x16, 0x00 }, { 0x17, 0x00 }, { 0x18, 0xff },
	{ 0x19, 0xff }, { 0x1a, 0xff }, { 0x1b, 0x7f }, { 0x1c, 0x00 },
	{ 0x1d, 0x00 }, { 0x1e, 0x00 }, { 0x1f, 0x00 }, { 0x20, 0x00 },
	{ 0x21, 0x00 }, { 0x22, 0x00 }, { 0x23, 0x00 }, { 0x24, 0x00 },
	{ 0x25, 0x00 }, { 0x26, 0x10 }, { 0x27, 0x32 }, { 0x28, 0x54 },
	{ 0x29, 0x76 }, { 0x2a, 0x00 }, { 0x2b, 0x00 }, { 0x2c, 0x00 },
	{ 0x2d, 0x00 }, { 0x2e, 0x00 }, { 0x2f, 0xe0 }, { 0x30, 0x03 },
	{ 0x31, 0x00 }, { 0x32, 0x40 }, { 0x33, 0x00 }, { 0x34, 0x40 },
	{ 0x36, 0xf0 }, { 0x3e, 0x00 }, { 0x3f, 0x06 },
};

static const struct regmap_range ess9038_writeable_ranges[] = {
	regmap_reg_range(0, 2),
	regmap_reg_range(4, 52),
	regmap_reg_range(54, 54),
	regmap_reg_range(62, 63),
};

static const struct regmap_access_table ess9038_writeable_table = {
	.yes_ranges = ess9038_writeable_ranges,
	.n_yes_ranges = ARRAY_SIZE(ess9038_writeable_ranges),
};

static const struct regmap_range ess9038_readable_ranges[] = {
	regmap_reg_range(0, 2),
	regmap_reg_range(4, 52),
	regmap_reg_range(54, 54),
	regmap_reg_range(62, 93),
	regmap_reg_range(100, 100),
	regmap_reg_range(110, 115),
};

static const struct regmap_access_table ess9038_readable_table = {
	.yes_ranges = ess9038_readable_ranges,
	.n_yes_ranges = ARRAY_SIZE(ess9038_readable_ranges),
};

/* Status and read-back registers change under the chip's own control. */
static const struct regmap_range ess9038_volatile_ranges[] = {
	regmap_reg_range(64, 93),
};

static const struct regmap_access_table ess9038_volatile_table = {
	.yes_ranges = ess9038_volatile_ranges,
	.n_yes_ranges = ARRAY_SIZE(ess9038_volatile_ranges),
};

const struct regmap_config ess9038_regmap_config = {
	.reg_bits = 8,
	.val_bits = 8,
	.max_register = 0x73,
	.wr_table = &ess9038_writeable_table,
	.rd_table = &ess9038_readable_table,
	.volatile_table = &ess9038_volatile_table,
	.reg_defaults = ess9038_reg_defaults,
	.num_reg_defaults = ARRAY_SIZE(ess9038_reg_defaults),
	.cache_type = REGCACHE_RBTREE,
};
EXPORT_SYMBOL_GPL(ess9038_regmap_config);

/* 0.5 dB of attenuation per step: register 0 is 0 dB, 255 is -127.5 dB. */
static const DECLARE_TLV_DB_SCALE(ess9038_dac_tlv, -12750, 50, 0);

static const struct snd_kcontrol_new ess9038_controls[] = {
	SOC_DOUBLE_R_TLV("DAC 0 1 Volume", ESS9038_VOLUME(0), ESS9038_VOLUME(1),
			 0, 255, 1, ess9038_dac_tlv),
	SOC_DOUBLE_R_TLV("DAC 2 3 Volume", ESS9038_VOLUME(2), ESS9038_VOLUME(3),
			 0, 255, 1, ess9038_dac_tlv),
	SOC_DOUBLE_R_TLV("DAC 4 5 Volume", ESS9038_VOLUME(4), ESS9038_VOLUME(5),
			 0, 255, 1, ess9038_dac_tlv),
	SOC_DOUBLE_R_TLV("DAC 6 7 Volume", ESS9038_VOLUME(6), ESS9038_VOLUME(7),
			 0, 255, 1, ess9038_dac_tlv),
};

static int ess9038_set_dai_sysclk(struct snd_soc_dai *dai, int clk_id,
				  unsigned int freq, int dir)
{
	struct ess9038_priv *priv =
		snd_soc_component_get_drvdata(dai->component);

	dev_dbg(dai->dev, "changing mclk rate from %d to %d Hz\n",
		priv->sysclk, freq);
	priv->sysclk = freq;
	return 0;
}

/* The bit-clock ratio follows from the word length; it is only checked. */
static int ess9038_set_bclk_ratio(struct snd_soc_dai *dai, unsigned int ratio)
{
	struct ess9038_priv *priv =
		snd_soc_component_get_drvdata(dai->component);

	dev_dbg(dai->dev, "%s ratio=%d\n", __func__, ratio);
	switch (ratio) {
	case 16:
	case 24:
	case 32:
		break;
	default:
		return -EINVAL;
	}
	return regmap_update_bits(priv->regmap, ESS9038_INPUT_SELECT,
				  ESS9038_AUTO_SELECT, 0);
}

static int ess9038_set_dai_fmt(struct snd_soc_dai *dai, unsigned int fmt)
{
	struct ess9038_priv *priv =
		snd_soc_component_get_drvdata(dai->component);
	unsigned int master_bits, format;
	int ret;

	dev_dbg(dai->dev, "%s enter 0x%x\n", __func__, fmt);

	/* The serial input is fixed: no automatic source selection. */
	ret = regmap_update_bits(priv->regmap, ESS9038_INPUT_SELECT,
				 ESS9038_AUTO_SELECT, 0);
	if (ret) {
		dev_err(dai->dev,
			"Failed to update ess9038 auto sense bits : %d\n", ret);
		return ret;
	}

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
	master_bits = priv->master ? ESS9038_MASTER_EN : 0;
	ret = regmap_update_bits(priv->regmap, ESS9038_MASTER_MODE,
				 ESS9038_MASTER_EN, master_bits);
	if (ret) {
		dev_err(dai->dev, "reg %d, mas %d, bits %d\n",
			ESS9038_MASTER_MODE, ESS9038_MASTER_EN, master_bits);
		dev_err(dai->dev,
			"Failed to update ess9038 master state : returning %d\n",
			ret);
		return ret;
	}

	switch (fmt & SND_SOC_DAIFMT_FORMAT_MASK) {
	case SND_SOC_DAIFMT_I2S:
		format = ESS9038_FMT_I2S;
		break;
	case SND_SOC_DAIFMT_RIGHT_J:
		format = ESS9038_FMT_RJ;
		break;
	case SND_SOC_DAIFMT_LEFT_J:
		format = ESS9038_FMT_LJ;
		break;
	default:
		return -EINVAL;
	}
	ret = regmap_update_bits(priv->regmap, ESS9038_SERIAL_FMT,
				 ESS9038_FMT_MASK, format);
	if (ret)
		return ret;

	dev_dbg(dai->dev, "%s exit\n", __func__);
	return 0;
}

/* Programs the NCO that sets the sample rate when the codec is master. */
static int ess9038_write_nco(struct snd_soc_dai *dai,
			     struct ess9038_priv *priv, unsigned int rate)
{
	s64 nco;
	int i, ret;

	if (!priv->sysclk) {
		dev_err(dai->dev, "%s mclk rate not set\n", __func__);
		return -EINVAL;
	}
	nco = div64_s64((s64)rate << 32, priv->sysclk);
	dev_dbg(dai->dev, "%s nco set to %ld\n", __func__, (long)nco);

	/* Forced: the chip must see every byte even when the cache agrees. */
	for (i = 0; i < 4; i++) {
		unsigned int byte = (nco >> (8 * i)) & 0xff;

		dev_dbg(dai->dev, "%s writing %d 0x%x\n", __func__,
			ESS9038_NCO(i), byte);
		ret = regmap_write_bits(priv->regmap, ESS9038_NCO(i), 0xff,
					byte);
		if (ret)
			return ret;
	}
	return 0;
}

/*
 * Reads back the DPLL ratio the chip locked to, for the log only: a read
 * that fails leaves the stream as it is.
 */
static void ess9038_read_dpll(struct snd_soc_dai *dai,
			      struct ess9038_priv *priv)
{
	unsigned int byte;
	s64 dpll = 0;
	int i, ret;

	for (i = 0; i < 4; i++) {
		ret = regmap_read(priv->regmap, ESS9038_DPLL(i), &byte);
		if (ret) {
			dev_dbg(dai->dev, "%s dpll read failed: %d\n", __func__,
				ret);
			return;
		}
		dpll |= (s64)(byte & 0xff) << (8 * i);
	}
	dev_dbg(dai->dev, "%s nco read as %ld\n", __func__, (long)dpll);
}

/*
 * The two directions share the serial format and clock registers: a stream
 * opened while the other direction runs is offered that one's rate and
 * sample width only.  (ASoC's own symmetry flags compare a new stream with
 * the CPU DAI's last parameters, which on this card another link may have
 * set, so the codec keeps its directions' parameters itself.)  ASoC
 * serialises the operations of the two directions of a link.
 */
static int ess9038_startup(struct snd_pcm_substream *substream,
			   struct snd_soc_dai *dai)
{
	struct ess9038_priv *priv =
		snd_soc_component_get_drvdata(dai->component);
	int other = !substream->stream;
	int ret;

	if (!priv->stream_rate[other])
		return 0;
	ret = snd_pcm_hw_constraint_single(substream->runtime,
					   SNDRV_PCM_HW_PARAM_RATE,
					   priv->stream_rate[other]);
	if (ret < 0)
		return ret;
	return snd_pcm_hw_constraint_single(substream->runtime,
					    SNDRV_PCM_HW_PARAM_SAMPLE_BITS,
					    priv->stream_bits[other]);
}

static int ess9038_hw_free(struct snd_pcm_substream *substream,
			   struct snd_soc_dai *dai)
{
	struct ess9038_priv *priv =
		snd_soc_component_get_drvdata(dai->component);

	priv->stream_rate[substream->stream] = 0;
	priv->stream_bits[substream->stream] = 0;
	return 0;
}

static void ess9038_shutdown(struct snd_pcm_substream *substream,
			     struct snd_soc_dai *dai)
{
	ess9038_hw_free(substream, dai);
}

static int ess9038_hw_params(struct snd_pcm_substream *substream,
			     struct snd_pcm_hw_params *params,
			     struct snd_soc_dai *dai)
{
	struct ess9038_priv *priv =
		snd_soc_component_get_drvdata(dai->component);
	unsigned int rate = params_rate(params);
	unsigned int bits = params_width(params);
	unsigned int word, div, div_bits;
	int other = !substream->stream;
	int ret;

	/* Nothing changes under the other direction's running stream. */
	if (priv->stream_rate[other] &&
	    (priv->stream_rate[other] != rate ||
	     priv->stream_bits[other] != bits)) {
		dev_err(dai->dev, "%u Hz, %u bits refused: the other direction runs %u Hz, %u bits\n",
			rate, bits, priv->stream_rate[other],
			priv->stream_bits[other]);
		return -EBUSY;
	}

	switch (params_width(params)) {
	case 16:
	case 24:
		word = 0;
		break;
	case 32:
		word = ESS9038_WORD_32;
		break;
	default:
		return -EINVAL;
	}
	ret = regmap_update_bits(priv->regmap, ESS9038_SERIAL_FMT,
				 ESS9038_WORD_MASK, word);
	if (ret)
		return ret;

	if (priv->master) {
		ret = ess9038_write_nco(dai, priv, rate);
		if (ret)
			return ret;
	}

	ess9038_read_dpll(dai, priv);

	div = (priv->sysclk / 64) / rate;
	dev_dbg(dai->dev, "%s mclk div = %d\n", __func__, div);
	switch (div) {
	case 2:
		div_bits = 0x00;
		break;
	case 4:
		div_bits = 0x20;
		break;
	case 8:
		div_bits = 0x40;
		break;
	case 16:
		div_bits = 0x60;
		break;
	default:
		return -EINVAL;
	}
	ret = regmap_update_bits(priv->regmap, ESS9038_MASTER_MODE,
				 ESS9038_MCLK_DIV_MASK, div_bits);
	if (ret) {
		dev_err(dai->dev,
			"Failed to update ess9038 master div 0x%x : %d\n",
			div_bits, ret);
		return ret;
	}

	ret = regmap_update_bits(priv->regmap, ESS9038_FILTER_MUTE,
				 ESS9038_BYPASS_MASK, ESS9038_BYPASS_MASK);
	if (ret) {
		dev_err(dai->dev, "Failed to update ess9038 deemph bypass\n");
		return ret;
	}

	priv->stream_rate[substream->stream] = rate;
	priv->stream_bits[substream->stream] = bits;
	dev_dbg(dai->dev, "%s exit, %d\n", __func__, 0);
	return 0;
}

/*
 * Register 0x07 bit 0 and the mute line follow the stream mute ASoC gives
 * and the mutes the card's users hold: the chip plays only when neither
 * asks for silence.  Called with priv->mute_lock held: a stream and a mixer
 * client may change their mute at the same time.
 */
static int ess9038_apply_mute(struct snd_soc_component *component)
{
	struct ess9038_priv *priv = snd_soc_component_get_drvdata(component);
	bool mute = priv->stream_mute || priv->user_mute;
	int ret;

	/*
	 * Forced: after a write that failed, the cache holds the value the
	 * chip did not take, and a plain update would not write it again.
	 */
	ret = regmap_write_bits(priv->regmap, ESS9038_FILTER_MUTE,
				ESS9038_MUTE_ALL, mute ? ESS9038_MUTE_ALL : 0);
	if (ret < 0) {
		dev_err(component->dev, "mute write failed: %d\n", ret);
		return ret;
	}

	if (priv->mute_gpio)
		gpiod_set_value_cansleep(priv->mute_gpio, mute);
	else
		dev_dbg(component->dev, "no mute gpio line present %s : %d\n",
			__func__, __LINE__);
	return 0;
}

static int ess9038_digital_mute(struct snd_soc_dai *dai, int mute)
{
	struct ess9038_priv *priv =
		snd_soc_component_get_drvdata(dai->component);
	int ret;

	dev_dbg(dai->dev, "calling mute (%d) %s : %d\n", mute, __func__,
		__LINE__);
	mutex_lock(&priv->mute_lock);
	priv->stream_mute = mute;
	ret = ess9038_apply_mute(dai->component);
	mutex_unlock(&priv->mute_lock);
	return ret;
}

int ess9038_set_user_mute(struct snd_soc_component *component,
			  unsigned int holders)
{
	struct ess9038_priv *priv = snd_soc_component_get_drvdata(component);
	unsigned int old;
	int ret;

	mutex_lock(&priv->mute_lock);
	old = priv->user_mute;
	priv->user_mute = holders;
	ret = ess9038_apply_mute(component);
	/* A mute the chip did not take is not held. */
	if (ret < 0)
		priv->user_mute = old;
	mutex_unlock(&priv->mute_lock);
	return ret;
}
EXPORT_SYMBOL_GPL(ess9038_set_user_mute);

unsigned int ess9038_user_mute(struct snd_soc_component *component)
{
	struct ess9038_priv *priv = snd_soc_component_get_drvdata(component);
	unsigned int holders;

	mutex_lock(&priv->mute_lock);
	holders = priv->user_mute;
	mutex_unlock(&priv->mute_lock);
	return holders;
}
EXPORT_SYMBOL_GPL(ess9038_user_mute);

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 12, 0)
static int ess9038_mute_stream(struct snd_soc_dai *dai, int mute, int stream)
{
	return ess9038_digital_mute(dai, mute);
}
#endif

static const struct snd_soc_dai_ops ess9038_dai_ops = {
	.startup = ess9038_startup,
	.shutdown = ess9038_shutdown,
	.hw_free = ess9038_hw_free,
	.set_sysclk = ess9038_set_dai_sysclk,
	.set_bclk_ratio = ess9038_set_bclk_ratio,
	.set_fmt = ess9038_set_dai_fmt,
	.hw_params = ess9038_hw_params,
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 12, 0)
	.mute_stream = ess9038_mute_stream,
	.no_capture_mute = 1,
#else
	.digital_mute = ess9038_digital_mute,
#endif
};

#define ESS9038_RATES (SNDRV_PCM_RATE_44100 | SNDRV_PCM_RATE_48000 | \
		       SNDRV_PCM_RATE_88200 | SNDRV_PCM_RATE_96000 | \
		       SNDRV_PCM_RATE_176400 | SNDRV_PCM_RATE_192000)
#define ESS9038_FORMATS (SNDRV_PCM_FMTBIT_S16_LE | SNDRV_PCM_FMTBIT_S32_LE)

static struct snd_soc_dai_driver ess9038_dai = {
	.name = "ess9038-hifi",
	.playback = {
		.stream_name = "Playback A",
		.channels_min = 2,
		.channels_max = 8,
		.rates = ESS9038_RATES,
		.formats = ESS9038_FORMATS,
		.sig_bits = 24,
	},
	.capture = {
		.stream_name = "Capture A",
		.channels_min = 2,
		.channels_max = 2,
		.rates = ESS9038_RATES,
		.formats = ESS9038_FORMATS,
		.sig_bits = 24,
	},
	.ops = &ess9038_dai_ops,
	/* Symmetric rates and sample widths: see ess9038_startup(). */
};

/*
 * The chip may lose power while the system sleeps: the register map keeps
 * what is written meanwhile in its cache, and resume writes the cache back.
 */
static int ess9038_suspend(struct snd_soc_component *component)
{
	struct ess9038_priv *priv = snd_soc_component_get_drvdata(component);

	regcache_cache_only(priv->regmap, true);
	regcache_mark_dirty(priv->regmap);
	return 0;
}

static int ess9038_resume(struct snd_soc_component *component)
{
	struct ess9038_priv *priv = snd_soc_component_get_drvdata(component);
	int ret;

	regcache_cache_only(priv->regmap, false);
	ret = regcache_sync(priv->regmap);
	if (ret)
		dev_err(component->dev, "registers not restored after resume: %d\n",
			ret);
	return ret;
}

static const struct snd_soc_component_driver ess9038_component_driver = {
	.suspend = ess9038_suspend,
	.resume = ess9038_resume,
	.controls = ess9038_controls,
	.num_controls = ARRAY_SIZE(ess9038_controls),
	ESS_CODEC_DAI_NAMING
};

int ess9038_probe(struct device *dev, struct ess9038_priv *priv)
{
	unsigned int id = 0;
	int ret;

	ret = regmap_read(priv->regmap, ESS9038_CHIP_ID, &id);
	if (ret)
		return ret;
	if ((id >> 2) != ESS9038_CHIP_ID_VAL) {
		dev_dbg(dev,
			"%s chip ID 0x2a not found, found 0x%x which >>2 = 0x%x\n",
			__func__, id, id >> 2);
		return -EINVAL;
	}

	/* Stay silent until ASoC unmutes the first stream. */
	mutex_init(&priv->mute_lock);
	priv->stream_mute = true;
	ret = regmap_update_bits(priv->regmap, ESS9038_FILTER_MUTE,
				 ESS9038_MUTE_ALL, ESS9038_MUTE_ALL);
	if (ret)
		return ret;

	priv->mute_gpio = devm_gpiod_get_optional(dev, "mute", GPIOD_OUT_HIGH);
	if (IS_ERR(priv->mute_gpio))
		return PTR_ERR(priv->mute_gpio);

	ret = devm_snd_soc_register_component(dev, &ess9038_component_driver,
					      &ess9038_dai, 1);
	if (!ret)
		dev_dbg(dev, "ess9038 probe ok %d\n", ret);
	return ret;
}
EXPORT_SYMBOL_GPL(ess9038_probe);

MODULE_DESCRIPTION("ASoC ESS9038 CODEC driver");
MODULE_LICENSE("GPL v2");
