// SPDX-License-Identifier: GPL-2.0
/*
 * ASoC machine driver of the analogue board.
 *
 * The card ties the SoC's I2S controller to the board's sample-rate
 * converter/receiver (two ports), the ESS9038 DAC and the ESS9822 ADC.  It
 * picks the master-clock oscillator of the stream's rate family, drives the
 * analogue and digital input selectors, and holds the gain, mute, invert and
 * sensitivity values the user-space processor reads through the mixer.  The
 * Mode, Control and RemoteButton selectors are register-less DAPM muxes: they
 * only hold a state that any mixer client can set and read.
 */

#include <linux/gpio/consumer.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/of.h>
#include <linux/platform_device.h>
#include <linux/regmap.h>
#include <sound/pcm.h>
#include <sound/pcm_params.h>
#include <sound/soc.h>
#include <sound/soc-dapm.h>
#include <sound/tlv.h>

#include "es9038-codec.h"
#include "mobu-machine.h"

#define MOBU_CHANNELS		8
#define MOBU_GAIN_0DB		24
#define MOBU_SENSITIVITY_0DB	48

/* ESS9038 channel mapping registers, one nibble per channel. */
#define ESS9038_CH_MAP_01	0x26
#define ESS9038_CH_MAP_23	0x27

struct mobu_digi_ana {
	struct snd_soc_card card;
	u32 mclk48k;
	u32 mclk44k;
	struct gpio_desc *clkPen;
	struct gpio_desc *clkPen44;
	struct gpio_desc *clkPen48;
	struct gpio_desc *led;
	struct gpio_desc *rsli;
	struct gpio_desc *rsmic;
	struct gpio_desc *rspho;
	struct gpio_desc *nppe;
	struct gpio_desc *nxsel;
	struct gpio_desc *nasel;
	struct gpio_desc *nhsel;
	u32 masterVolume;
	u32 gain[MOBU_CHANNELS];
	u32 gainMute[MOBU_CHANNELS];
	u32 gainInvert[MOBU_CHANNELS];
	u32 masterMute;
	u32 dacDitMute;
	/* Selector items last written, read back when lines are missing. */
	unsigned int analogueInput;
	unsigned int digitalInput;
	u32 sensitivity[MOBU_CHANNELS];
	/*
	 * The master clock the links share: the rate family it runs and the
	 * streams that use it (one bit per link and direction, from hw_params
	 * to hw_free).  While any stream uses it, the oscillator stays.
	 */
	struct mutex clock_lock;
	enum mobu_rate_family clock_family;
	unsigned int clock_users;
	/* Device-tree nodes held for the links. */
	struct device_node *i2s_np;
	struct device_node *digi_np;
	struct device_node *dac_np;
	struct device_node *adc_np;
};

enum {
	MOBU_LINK_DIGI_B,
	MOBU_LINK_DIGI_A,
	MOBU_LINK_DAC,
	MOBU_LINK_ADC,
};

#define MOBU_FIELD(field)	offsetof(struct mobu_digi_ana, field)

/* The mutes the card holds on the DAC, one per mute control. */
#define MOBU_MUTE_MASTER	BIT(0)
#define MOBU_MUTE_DAC_DIT	BIT(1)

static struct gpio_desc **mobu_line(struct mobu_digi_ana *priv, size_t field)
{
	return (struct gpio_desc **)((char *)priv + field);
}

/* The DAC of link "Mobu DAC", or NULL before the card is bound. */
static struct snd_soc_dai *mobu_dac_dai(struct snd_soc_card *card)
{
	return mobu_card_link_codec_dai(card, &card->dai_link[MOBU_LINK_DAC]);
}

/* The rates of each family, for a stream opened while the other runs. */
static const unsigned int mobu_rates_48k[] = { 48000, 96000, 192000 };
static const unsigned int mobu_rates_44k1[] = { 44100, 88200, 176400 };

static const struct snd_pcm_hw_constraint_list mobu_family_48k = {
	.count = ARRAY_SIZE(mobu_rates_48k),
	.list = mobu_rates_48k,
};

static const struct snd_pcm_hw_constraint_list mobu_family_44k1 = {
	.count = ARRAY_SIZE(mobu_rates_44k1),
	.list = mobu_rates_44k1,
};

/* The stream's bit in clock_users. */
static unsigned int mobu_clock_user(struct snd_pcm_substream *substream)
{
	struct snd_soc_pcm_runtime *rtd = mobu_substream_rtd(substream);

	return BIT(rtd->num * 2 + substream->stream);
}

#define MOBU_CLOCK_USERS_OF(link)	(BIT((link) * 2) | BIT((link) * 2 + 1))

/*
 * A stream opened while another uses the master clock is offered the rates
 * of the family that clock runs: the oscillator cannot change under it.
 */
static int mobu_digi_ana_startup(struct snd_pcm_substream *substream)
{
	struct snd_soc_pcm_runtime *rtd = mobu_substream_rtd(substream);
	struct mobu_digi_ana *priv = snd_soc_card_get_drvdata(rtd->card);
	const struct snd_pcm_hw_constraint_list *family = NULL;

	mutex_lock(&priv->clock_lock);
	if (priv->clock_users & ~mobu_clock_user(substream))
		family = priv->clock_family == MOBU_RATE_48K ?
			 &mobu_family_48k : &mobu_family_44k1;
	mutex_unlock(&priv->clock_lock);
	if (!family)
		return 0;
	return snd_pcm_hw_constraint_list(substream->runtime, 0,
					  SNDRV_PCM_HW_PARAM_RATE, family);
}

static void mobu_release_clock(struct snd_pcm_substream *substream)
{
	struct snd_soc_pcm_runtime *rtd = mobu_substream_rtd(substream);
	struct mobu_digi_ana *priv = snd_soc_card_get_drvdata(rtd->card);

	mutex_lock(&priv->clock_lock);
	priv->clock_users &= ~mobu_clock_user(substream);
	mutex_unlock(&priv->clock_lock);
}

static int mobu_digi_ana_hw_free(struct snd_pcm_substream *substream)
{
	mobu_release_clock(substream);
	return 0;
}

static void mobu_digi_ana_shutdown(struct snd_pcm_substream *substream)
{
	mobu_release_clock(substream);
}

/*
 * Takes the master clock for the stream at the family of rate: switches the
 * oscillator when no other stream uses it, refuses (-EBUSY) a family other
 * than the one running for another stream.  Returns the MCLK rate or the
 * error; *port_b_busy tells whether port B's own link streams.
 */
static int mobu_take_clock(struct snd_pcm_substream *substream,
			   unsigned int rate, bool *port_b_busy)
{
	struct snd_soc_pcm_runtime *rtd = mobu_substream_rtd(substream);
	struct snd_soc_card *card = rtd->card;
	struct mobu_digi_ana *priv = snd_soc_card_get_drvdata(card);
	enum mobu_rate_family family = mobu_rate_family(rate);
	unsigned int user = mobu_clock_user(substream);
	unsigned int others;
	int mclk;

	if (family == MOBU_RATE_UNSUPPORTED) {
		dev_err(card->dev, "unsupported sample rate %d Hz \n", rate);
		return -EINVAL;
	}

	mutex_lock(&priv->clock_lock);
	others = priv->clock_users & ~user;
	if (others && family != priv->clock_family) {
		mutex_unlock(&priv->clock_lock);
		dev_err(card->dev,
			"%u Hz refused: the master clock runs the other rate family for another stream\n",
			rate);
		return -EBUSY;
	}
	if (!others) {
		if (family == MOBU_RATE_48K) {
			gpiod_set_value_cansleep(priv->clkPen44, 0);
			gpiod_set_value_cansleep(priv->clkPen48, 1);
		} else {
			gpiod_set_value_cansleep(priv->clkPen48, 0);
			gpiod_set_value_cansleep(priv->clkPen44, 1);
		}
		priv->clock_family = family;
	}
	priv->clock_users |= user;
	*port_b_busy = others & MOBU_CLOCK_USERS_OF(MOBU_LINK_DIGI_B);
	mutex_unlock(&priv->clock_lock);

	if (family == MOBU_RATE_48K) {
		mclk = priv->mclk48k;
		dev_dbg(card->dev, "snd_mobu_digi_ana_hw_params setting clk rate %d\n",
			mclk);
	} else {
		mclk = priv->mclk44k;
		dev_dbg(card->dev, "snd_mobu_digi_hw_params setting clk rate %d\n",
			mclk);
	}
	return mclk;
}

/*
 * Port B of the converter clocks the board's digital path whatever stream
 * runs, so a stream on another link configures it too, unless port B's own
 * link streams.  The port's driver gets the substream of port B's own link
 * in the stream's direction (not running, only configured).
 */
static int mobu_configure_port_b(struct snd_soc_card *card,
				 struct snd_pcm_substream *substream,
				 struct snd_pcm_hw_params *params,
				 unsigned int mclk)
{
	struct snd_soc_dai_link *link = &card->dai_link[MOBU_LINK_DIGI_B];
	struct snd_soc_pcm_runtime *src_rtd = mobu_card_rtd(card, link);
	struct snd_soc_dai *src_dai = src_rtd ? mobu_rtd_codec_dai(src_rtd) : NULL;
	struct snd_pcm_substream *src_substream = NULL;
	int ret;

	dev_dbg(card->dev, "snd_mobu_digi_ana_hw_params src4392 not in opeation hard calling hw_params on the src4392_dai.\n");
	if (!src_dai) {
		dev_err(card->dev, "snd_mobu_digi_ana_hw_params src4392_dai not found. We need it to run hw_params\n");
		return -EINVAL;
	}
	ret = snd_soc_dai_set_sysclk(src_dai, 0, mclk, SND_SOC_CLOCK_IN);
	if (ret < 0)
		dev_err(card->dev, "snd_soc_dai_set_sysclk src4392_dai err = %d\n",
			ret);
	if (!src_dai->driver->ops || !src_dai->driver->ops->hw_params)
		return 0;
	if (src_rtd->pcm)
		src_substream = src_rtd->pcm->streams[substream->stream].substream;
	if (!src_substream) {
		dev_err(card->dev, "port B has no %s stream to configure\n",
			substream->stream ? "capture" : "playback");
		return -EINVAL;
	}
	ret = src_dai->driver->ops->hw_params(src_substream, params, src_dai);
	if (ret < 0)
		dev_err(card->dev, "port B refused the stream's parameters: %d\n",
			ret);
	return ret;
}

static int mobu_digi_ana_hw_params(struct snd_pcm_substream *substream,
				   struct snd_pcm_hw_params *params)
{
	struct snd_soc_pcm_runtime *rtd = mobu_substream_rtd(substream);
	struct snd_soc_card *card = rtd->card;
	struct snd_soc_dai *codec_dai = mobu_rtd_codec_dai(rtd);
	struct snd_soc_dai *dac_dai = mobu_dac_dai(card);
	struct regmap *dac_map = NULL;
	bool port_b_busy;
	int mclk;
	int ret;

	if (dac_dai && dac_dai->component)
		dac_map = dac_dai->component->regmap;
	if (!dac_map)
		return -ENODEV;

	mclk = mobu_take_clock(substream, params_rate(params), &port_b_busy);
	if (mclk < 0)
		return mclk;

	ret = snd_soc_dai_set_sysclk(codec_dai, 0, mclk, SND_SOC_CLOCK_IN);
	if (ret < 0)
		dev_err(card->dev, "snd_soc_dai_set_sysclk codec_dai err = %d\n",
			ret);

	if (rtd->dai_link == &card->dai_link[MOBU_LINK_DIGI_B])
		dev_dbg(card->dev, "snd_mobu_digi_ana_hw_params src4392 in opeation not hard calling hw_params twice.\n");
	else if (!port_b_busy) {
		ret = mobu_configure_port_b(card, substream, params, mclk);
		if (ret < 0)
			goto release;
	}

	/*
	 * The board wires the DAC's first two channel pairs the other way
	 * round: exchange them in the channel map (defaults 0x10 and 0x32).
	 * The writes are forced so that the chip gets them even when its
	 * cache already agrees.
	 */
	ret = regmap_write_bits(dac_map, ESS9038_CH_MAP_01, 0xff, 0x32);
	if (!ret)
		ret = regmap_write_bits(dac_map, ESS9038_CH_MAP_23, 0xff, 0x10);
	dev_dbg(card->dev, "snd_mobu_digi_hw_params exit ret=%d\n", ret);
	if (!ret)
		return 0;
release:
	/* A failed hw_params gets no hw_free: give the clock back here. */
	mobu_release_clock(substream);
	return ret;
}

static const struct snd_soc_ops mobu_digi_ana_ops = {
	.startup = mobu_digi_ana_startup,
	.shutdown = mobu_digi_ana_shutdown,
	.hw_params = mobu_digi_ana_hw_params,
	.hw_free = mobu_digi_ana_hw_free,
};

MOBU_DAILINK_DEFS_OF(digi_b, "src4xxx-portB");
MOBU_DAILINK_DEFS_DUMMY(digi_a, "src4xxx-portA");
MOBU_DAILINK_DEFS_OF(dac, "ess9038-hifi");
MOBU_DAILINK_DEFS_OF(adc, "ess9822-hifi");

/* The template of each device's links, which probe copies and fills in. */
static const struct snd_soc_dai_link mobu_digi_ana_links[] = {
	[MOBU_LINK_DIGI_B] = {
		.name = "Mobu Digi B",
		.stream_name = "Mobu Digi B",
		.dai_fmt = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBP_CFP,
		.ops = &mobu_digi_ana_ops,
		MOBU_DAILINK_OF(digi_b, "src4xxx-portB"),
	},
	[MOBU_LINK_DIGI_A] = {
		.name = "Mobu Digi A",
		.stream_name = "Mobu Digi A",
		.id = 1,
		.dai_fmt = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBC_CFC,
		MOBU_DAILINK_DUMMY(digi_a, "src4xxx-portA"),
	},
	[MOBU_LINK_DAC] = {
		.name = "Mobu DAC",
		.stream_name = "Mobu DAC",
		.id = 2,
		.dai_fmt = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBC_CFC,
		.ops = &mobu_digi_ana_ops,
		MOBU_DAILINK_OF(dac, "ess9038-hifi"),
	},
	[MOBU_LINK_ADC] = {
		.name = "Mobu ADC",
		.stream_name = "Mobu ADC",
		.id = 3,
		.dai_fmt = SND_SOC_DAIFMT_I2S | SND_SOC_DAIFMT_CBP_CFP,
		.ops = &mobu_digi_ana_ops,
		MOBU_DAILINK_OF(adc, "ess9822-hifi"),
	},
};

/* Input selectors: the GPIO logical values of each item, written in order. */
struct mobu_gpio_write {
	size_t line;
	int value;
};

static const char * const mobu_analogue_texts[] = {
	"RCA", "XLR", "Mic", "Phono",
};

static const struct mobu_gpio_write mobu_analogue_writes[][4] = {
	{ { MOBU_FIELD(rspho), 0 }, { MOBU_FIELD(rsli), 0 },
	  { MOBU_FIELD(rsmic), 0 }, { MOBU_FIELD(nppe), 1 } },
	{ { MOBU_FIELD(rsmic), 0 }, { MOBU_FIELD(rsli), 1 },
	  { MOBU_FIELD(rspho), 0 }, { MOBU_FIELD(nppe), 1 } },
	{ { MOBU_FIELD(rsmic), 1 }, { MOBU_FIELD(rsli), 1 },
	  { MOBU_FIELD(rspho), 0 }, { MOBU_FIELD(nppe), 0 } },
	{ { MOBU_FIELD(rspho), 1 }, { MOBU_FIELD(rsli), 0 },
	  { MOBU_FIELD(rsmic), 0 }, { MOBU_FIELD(nppe), 1 } },
};

static const char * const mobu_digital_texts[] = {
	"USB", "Analogue", "HDMI",
};

static const struct mobu_gpio_write mobu_digital_writes[][3] = {
	{ { MOBU_FIELD(nxsel), 0 }, { MOBU_FIELD(nasel), 1 },
	  { MOBU_FIELD(nhsel), 1 } },
	{ { MOBU_FIELD(nxsel), 1 }, { MOBU_FIELD(nasel), 0 },
	  { MOBU_FIELD(nhsel), 1 } },
	{ { MOBU_FIELD(nxsel), 1 }, { MOBU_FIELD(nasel), 1 },
	  { MOBU_FIELD(nhsel), 0 } },
};

static SOC_ENUM_SINGLE_EXT_DECL(mobu_analogue_enum, mobu_analogue_texts);
static SOC_ENUM_SINGLE_EXT_DECL(mobu_digital_enum, mobu_digital_texts);

static struct mobu_digi_ana *mobu_kcontrol_priv(struct snd_kcontrol *kcontrol)
{
	struct snd_soc_card *card = snd_kcontrol_chip(kcontrol);

	return snd_soc_card_get_drvdata(card);
}

/* A missing line reads as clear. */
static int mobu_line_value(struct mobu_digi_ana *priv, size_t field)
{
	struct gpio_desc *desc = *mobu_line(priv, field);

	return desc ? gpiod_get_value_cansleep(desc) > 0 : 0;
}

static void mobu_write_lines(struct mobu_digi_ana *priv,
			     const struct mobu_gpio_write *writes,
			     unsigned int count)
{
	unsigned int i;

	/* A line the tree does not give is skipped (a NULL descriptor). */
	for (i = 0; i < count; i++)
		gpiod_set_value_cansleep(*mobu_line(priv, writes[i].line),
					 writes[i].value);
}

static unsigned int mobu_analogue_input(struct mobu_digi_ana *priv)
{
	/* Without the lines to read, the item last written. */
	if (!priv->rsli || !priv->rsmic || !priv->rspho)
		return priv->analogueInput;
	if (mobu_line_value(priv, MOBU_FIELD(rsli)))
		return mobu_line_value(priv, MOBU_FIELD(rsmic)) ? 2 : 1;
	return mobu_line_value(priv, MOBU_FIELD(rspho)) ? 3 : 0;
}

static int mobu_analogue_input_get(struct snd_kcontrol *kcontrol,
				   struct snd_ctl_elem_value *ucontrol)
{
	ucontrol->value.enumerated.item[0] =
		mobu_analogue_input(mobu_kcontrol_priv(kcontrol));
	return 0;
}

static int mobu_analogue_input_put(struct snd_kcontrol *kcontrol,
				   struct snd_ctl_elem_value *ucontrol)
{
	struct mobu_digi_ana *priv = mobu_kcontrol_priv(kcontrol);
	unsigned int item = ucontrol->value.enumerated.item[0];
	unsigned int old = mobu_analogue_input(priv);

	if (item >= ARRAY_SIZE(mobu_analogue_writes)) {
		dev_err(priv->card.dev, "%s : unknown input value %d\n",
			__func__, item);
		return -EINVAL;
	}
	mobu_write_lines(priv, mobu_analogue_writes[item],
			 ARRAY_SIZE(mobu_analogue_writes[item]));
	priv->analogueInput = item;
	dev_dbg(priv->card.dev, "%s : lines now read as input %u\n", __func__,
		mobu_analogue_input(priv));
	return item != old;
}

/* The last clear line names the input; none clear reads as USB. */
static unsigned int mobu_digital_input(struct mobu_digi_ana *priv)
{
	unsigned int item = 0;

	/* Without the lines to read, the item last written. */
	if (!priv->nxsel || !priv->nasel || !priv->nhsel)
		return priv->digitalInput;

	if (!mobu_line_value(priv, MOBU_FIELD(nxsel)))
		item = 0;
	if (!mobu_line_value(priv, MOBU_FIELD(nasel)))
		item = 1;
	if (!mobu_line_value(priv, MOBU_FIELD(nhsel)))
		item = 2;
	return item;
}

static int mobu_digital_input_get(struct snd_kcontrol *kcontrol,
				  struct snd_ctl_elem_value *ucontrol)
{
	ucontrol->value.enumerated.item[0] =
		mobu_digital_input(mobu_kcontrol_priv(kcontrol));
	return 0;
}

static int mobu_digital_input_put(struct snd_kcontrol *kcontrol,
				  struct snd_ctl_elem_value *ucontrol)
{
	struct mobu_digi_ana *priv = mobu_kcontrol_priv(kcontrol);
	unsigned int item = ucontrol->value.enumerated.item[0];
	unsigned int old = mobu_digital_input(priv);

	if (item >= ARRAY_SIZE(mobu_digital_writes)) {
		dev_err(priv->card.dev, "%s : unknown digital input value %d\n",
			__func__, item);
		return -EINVAL;
	}
	mobu_write_lines(priv, mobu_digital_writes[item],
			 ARRAY_SIZE(mobu_digital_writes[item]));
	priv->digitalInput = item;
	dev_dbg(priv->card.dev, "%s : lines now read as input %u\n", __func__,
		mobu_digital_input(priv));
	return item != old;
}

/*
 * Stored controls: the mixer control's register field holds the offset of
 * the value array in the driver state and its shift the channel.
 */
static u32 *mobu_stored_value(struct snd_kcontrol *kcontrol,
			      const struct soc_mixer_control **mc)
{
	*mc = (const struct soc_mixer_control *)kcontrol->private_value;
	return (u32 *)((char *)mobu_kcontrol_priv(kcontrol) + (*mc)->reg) +
	       (*mc)->shift;
}

static int mobu_stored_get(struct snd_kcontrol *kcontrol,
			   struct snd_ctl_elem_value *ucontrol)
{
	const struct soc_mixer_control *mc;

	ucontrol->value.integer.value[0] = *mobu_stored_value(kcontrol, &mc);
	return 0;
}

/*
 * Reports a change (1) only when the value changed, so that a write of the
 * same value sends no event; values outside the control's range are refused.
 */
static int mobu_stored_put(struct snd_kcontrol *kcontrol,
			   struct snd_ctl_elem_value *ucontrol)
{
	const struct soc_mixer_control *mc;
	u32 *value = mobu_stored_value(kcontrol, &mc);
	long v = ucontrol->value.integer.value[0];

	if (v < 0 || v > mc->max)
		return -EINVAL;
	if (*value == v)
		return 0;
	*value = v;
	return 1;
}

/*
 * Master Mute and DAC DIT Mute hold a mute on the DAC of their own, which
 * the DAC keeps across streams (ASoC's mute around each stream only adds to
 * it) and across a re-bind of the card.
 */
static int mobu_apply_dac_mute(struct mobu_digi_ana *priv)
{
	struct snd_soc_dai *dac_dai = mobu_dac_dai(&priv->card);
	unsigned int holders = 0;
	int ret;

	if (!dac_dai)
		return -ENODEV;
	if (priv->masterMute)
		holders |= MOBU_MUTE_MASTER;
	if (priv->dacDitMute)
		holders |= MOBU_MUTE_DAC_DIT;
	ret = ess9038_set_user_mute(dac_dai->component, holders);
	if (ret < 0)
		dev_err(priv->card.dev, "ESS9038 mute failed\n");
	return ret;
}

/*
 * A mute the DAC could not be given is not stored: the control keeps the
 * value the DAC follows, and the writer gets the error.
 */
static int mobu_dac_mute_put(struct snd_kcontrol *kcontrol,
			     struct snd_ctl_elem_value *ucontrol)
{
	struct mobu_digi_ana *priv = mobu_kcontrol_priv(kcontrol);
	const struct soc_mixer_control *mc;
	u32 *value = mobu_stored_value(kcontrol, &mc);
	u32 old = *value;
	int ret;

	ret = mobu_stored_put(kcontrol, ucontrol);
	if (ret <= 0)
		return ret;
	ret = mobu_apply_dac_mute(priv);
	if (ret < 0) {
		*value = old;
		return ret;
	}
	return 1;
}

/*
 * Each time the card binds: a mute the DAC still holds from before a re-bind
 * of the card shows in its control again, and the controls' mutes reach a
 * DAC that was re-bound.
 */
static int mobu_digi_ana_late_probe(struct snd_soc_card *card)
{
	struct mobu_digi_ana *priv = snd_soc_card_get_drvdata(card);
	struct snd_soc_dai *dac_dai = mobu_dac_dai(card);
	unsigned int held;

	if (!dac_dai)
		return 0;
	held = ess9038_user_mute(dac_dai->component);
	if (held & MOBU_MUTE_MASTER)
		priv->masterMute = 1;
	if (held & MOBU_MUTE_DAC_DIT)
		priv->dacDitMute = 1;
	return mobu_apply_dac_mute(priv);
}

static const DECLARE_TLV_DB_SCALE(mobu_master_tlv, -12750, 50, 0);
static const DECLARE_TLV_DB_MINMAX(mobu_gain_tlv, -1200, 1200);
static const DECLARE_TLV_DB_MINMAX(mobu_sensitivity_tlv, -2400, 2400);

#define MOBU_STORED(xname, field, ch, xmax, xput)			\
	SOC_SINGLE_EXT(xname, MOBU_FIELD(field), ch, xmax, 0,		\
		       mobu_stored_get, xput)
#define MOBU_STORED_TLV(xname, field, ch, xmax, xtlv)			\
	SOC_SINGLE_EXT_TLV(xname, MOBU_FIELD(field), ch, xmax, 0,	\
			   mobu_stored_get, mobu_stored_put, xtlv)
#define MOBU_CHANNEL_CONTROLS(ch)					\
	MOBU_STORED_TLV("Gain " #ch " Volume", gain, ch, 48, mobu_gain_tlv), \
	MOBU_STORED("Gain " #ch " Mute", gainMute, ch, 1, mobu_stored_put), \
	MOBU_STORED("Gain " #ch " Invert", gainInvert, ch, 1, mobu_stored_put)
#define MOBU_SENSITIVITY_CONTROL(ch)					\
	MOBU_STORED_TLV("Sensitivity Gain " #ch " Volume", sensitivity, ch, \
			96, mobu_sensitivity_tlv)

static const struct snd_kcontrol_new mobu_digi_ana_controls[] = {
	SOC_ENUM_EXT("Analogue Input Selection", mobu_analogue_enum,
		     mobu_analogue_input_get, mobu_analogue_input_put),
	SOC_ENUM_EXT("I2S Input Selection", mobu_digital_enum,
		     mobu_digital_input_get, mobu_digital_input_put),
	MOBU_STORED_TLV("Master Volume", masterVolume, 0, 255, mobu_master_tlv),
	MOBU_STORED("Master Mute", masterMute, 0, 1, mobu_dac_mute_put),
	MOBU_STORED("DAC DIT Mute", dacDitMute, 0, 1, mobu_dac_mute_put),
	MOBU_CHANNEL_CONTROLS(0),
	MOBU_CHANNEL_CONTROLS(1),
	MOBU_CHANNEL_CONTROLS(2),
	MOBU_CHANNEL_CONTROLS(3),
	MOBU_CHANNEL_CONTROLS(4),
	MOBU_CHANNEL_CONTROLS(5),
	MOBU_CHANNEL_CONTROLS(6),
	MOBU_CHANNEL_CONTROLS(7),
	MOBU_SENSITIVITY_CONTROL(0),
	MOBU_SENSITIVITY_CONTROL(1),
	MOBU_SENSITIVITY_CONTROL(2),
	MOBU_SENSITIVITY_CONTROL(3),
	MOBU_SENSITIVITY_CONTROL(4),
	MOBU_SENSITIVITY_CONTROL(5),
	MOBU_SENSITIVITY_CONTROL(6),
	MOBU_SENSITIVITY_CONTROL(7),
};

/* Virtual selectors: muxes without a register, one input widget per item. */
static const char * const mobu_mode_texts[] = {
	"Digital Receiver", "Analogue Input", "Audio Streaming",
	"USB Audio Input", "Speaker Calibration",
};

static const char * const mobu_control_texts[] = {
	"STREAMING", "RCA", "OPTICAL2", "XLR", "USB", "COAX", "PHONO",
	"OPTICAL1", "AES", "SPEAKER CALIBRATION", "EXIT SPEAKER CALIBRATION",
};

static const char * const mobu_remote_texts[] = {
	"REMOTE_BUTTON_HOME_PRESSED", "REMOTE_BUTTON_MENU_PRESSED",
	"REMOTE_BUTTON_BACK_PRESSED", "REMOTE_BUTTON_OK_PRESSED",
	"REMOTE_BUTTON_CURSOR_UP_PRESSED", "REMOTE_BUTTON_CURSOR_DOWN_PRESSED",
	"REMOTE_BUTTON_CURSOR_LEFT_PRESSED",
	"REMOTE_BUTTON_CURSOR_RIGHT_PRESSED", "REMOTE_BUTTON_BUTTON_RELEASED",
};

static SOC_ENUM_SINGLE_VIRT_DECL(mobu_mode_enum, mobu_mode_texts);
static SOC_ENUM_SINGLE_VIRT_DECL(mobu_control_enum, mobu_control_texts);
static SOC_ENUM_SINGLE_VIRT_DECL(mobu_remote_enum, mobu_remote_texts);

static const struct snd_kcontrol_new mobu_mode_mux =
	SOC_DAPM_ENUM("Mode", mobu_mode_enum);
static const struct snd_kcontrol_new mobu_control_mux =
	SOC_DAPM_ENUM("Control", mobu_control_enum);
static const struct snd_kcontrol_new mobu_remote_mux =
	SOC_DAPM_ENUM("RemoteButton", mobu_remote_enum);

static const struct snd_soc_dapm_widget mobu_digi_ana_widgets[] = {
	SND_SOC_DAPM_OUTPUT("Digital output"),
	SND_SOC_DAPM_INPUT("Digital input"),
	SND_SOC_DAPM_MUX("Mode", SND_SOC_NOPM, 0, 0, &mobu_mode_mux),
	SND_SOC_DAPM_INPUT("Digital Receiver"),
	SND_SOC_DAPM_INPUT("Analogue Input"),
	SND_SOC_DAPM_INPUT("Audio Streaming"),
	SND_SOC_DAPM_INPUT("USB Audio Input"),
	SND_SOC_DAPM_INPUT("Speaker Calibration"),
	SND_SOC_DAPM_MUX("Control", SND_SOC_NOPM, 0, 0, &mobu_control_mux),
	SND_SOC_DAPM_INPUT("STREAMING"),
	SND_SOC_DAPM_INPUT("RCA"),
	SND_SOC_DAPM_INPUT("OPTICAL2"),
	SND_SOC_DAPM_INPUT("XLR"),
	SND_SOC_DAPM_INPUT("USB"),
	SND_SOC_DAPM_INPUT("COAX"),
	SND_SOC_DAPM_INPUT("PHONO"),
	SND_SOC_DAPM_INPUT("OPTICAL1"),
	SND_SOC_DAPM_INPUT("AES"),
	SND_SOC_DAPM_INPUT("CALIBRATION"),
	SND_SOC_DAPM_INPUT("EXIT CALIBRATION"),
	SND_SOC_DAPM_MUX("RemoteButton", SND_SOC_NOPM, 0, 0, &mobu_remote_mux),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_HOME_PRESSED"),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_MENU_PRESSED"),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_BACK_PRESSED"),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_OK_PRESSED"),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_CURSOR_UP_PRESSED"),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_CURSOR_DOWN_PRESSED"),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_CURSOR_LEFT_PRESSED"),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_CURSOR_RIGHT_PRESSED"),
	SND_SOC_DAPM_INPUT("REMOTE_BUTTON_BUTTON_RELEASED"),
};

#define MOBU_MUX_ROUTE(mux, item)	{ mux, item, item }

/*
 * The last two Control sources are the widgets "CALIBRATION" and
 * "EXIT CALIBRATION", while the mux items user space selects are
 * "SPEAKER CALIBRATION" and "EXIT SPEAKER CALIBRATION".  A route names the
 * mux item it goes through, so these two routes take the item texts and
 * keep the widget names as their sources; named by the widget names they
 * would match no item and the card would not bind.  Neither the item texts
 * nor the widget names change.
 */
static const struct snd_soc_dapm_route mobu_digi_ana_routes[] = {
	{ "Digital input", NULL, "Capture B" },
	{ "Playback B", NULL, "Digital output" },
	MOBU_MUX_ROUTE("Mode", "Digital Receiver"),
	MOBU_MUX_ROUTE("Mode", "Analogue Input"),
	MOBU_MUX_ROUTE("Mode", "Audio Streaming"),
	MOBU_MUX_ROUTE("Mode", "USB Audio Input"),
	MOBU_MUX_ROUTE("Mode", "Speaker Calibration"),
	MOBU_MUX_ROUTE("Control", "STREAMING"),
	MOBU_MUX_ROUTE("Control", "RCA"),
	MOBU_MUX_ROUTE("Control", "OPTICAL2"),
	MOBU_MUX_ROUTE("Control", "XLR"),
	MOBU_MUX_ROUTE("Control", "USB"),
	MOBU_MUX_ROUTE("Control", "COAX"),
	MOBU_MUX_ROUTE("Control", "PHONO"),
	MOBU_MUX_ROUTE("Control", "OPTICAL1"),
	MOBU_MUX_ROUTE("Control", "AES"),
	{ "Control", "SPEAKER CALIBRATION", "CALIBRATION" },
	{ "Control", "EXIT SPEAKER CALIBRATION", "EXIT CALIBRATION" },
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_HOME_PRESSED"),
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_MENU_PRESSED"),
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_BACK_PRESSED"),
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_OK_PRESSED"),
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_CURSOR_UP_PRESSED"),
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_CURSOR_DOWN_PRESSED"),
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_CURSOR_LEFT_PRESSED"),
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_CURSOR_RIGHT_PRESSED"),
	MOBU_MUX_ROUTE("RemoteButton", "REMOTE_BUTTON_BUTTON_RELEASED"),
};

static const struct snd_soc_card mobu_digi_ana_card = {
	.name = "mobu_digi_anasoundcard",
	/* The card's name is longer than ALSA's driver field. */
	.driver_name = "mobu-digi-ana",
	.owner = THIS_MODULE,
	.num_links = ARRAY_SIZE(mobu_digi_ana_links),
	.controls = mobu_digi_ana_controls,
	.num_controls = ARRAY_SIZE(mobu_digi_ana_controls),
	.dapm_widgets = mobu_digi_ana_widgets,
	.num_dapm_widgets = ARRAY_SIZE(mobu_digi_ana_widgets),
	.dapm_routes = mobu_digi_ana_routes,
	.num_dapm_routes = ARRAY_SIZE(mobu_digi_ana_routes),
	.late_probe = mobu_digi_ana_late_probe,
};

/* Optional GPIO lines, requested in order as groups. */
struct mobu_gpio_line {
	const char *name;
	const char *label;	/* as the log names it */
	enum gpiod_flags flags;
	size_t field;
};

static const struct mobu_gpio_line mobu_clock_lines[] = {
	{ "clk-pen", "clk-pen", GPIOD_OUT_LOW, MOBU_FIELD(clkPen) },
	{ "led", "led", GPIOD_OUT_LOW, MOBU_FIELD(led) },
	{ "clk-pen44", "clk-pen44", GPIOD_OUT_LOW, MOBU_FIELD(clkPen44) },
	{ "clk-pen48", "clk-pen48", GPIOD_OUT_LOW, MOBU_FIELD(clkPen48) },
};

static const struct mobu_gpio_line mobu_analogue_lines[] = {
	{ "rsli", "rsli-gpio", GPIOD_OUT_HIGH, MOBU_FIELD(rsli) },
	{ "rsmic", "rsmic-gpio", GPIOD_OUT_LOW, MOBU_FIELD(rsmic) },
	{ "rspho", "rspho-gpio", GPIOD_OUT_LOW, MOBU_FIELD(rspho) },
	{ "nppe", "nppe-gpio", GPIOD_OUT_LOW, MOBU_FIELD(nppe) },
};

static const struct mobu_gpio_line mobu_digital_lines[] = {
	{ "nxsel", "nxsel-gpio", GPIOD_OUT_HIGH, MOBU_FIELD(nxsel) },
	{ "nasel", "nasel-gpio", GPIOD_OUT_LOW, MOBU_FIELD(nasel) },
	{ "nhsel", "nhsel-gpio", GPIOD_OUT_LOW, MOBU_FIELD(nhsel) },
};

/*
 * Requests a group of lines in order and stops at the first one the
 * description does not give, which stays NULL with the rest: a missing line
 * is not fatal, the feature it drives stays inert.  A line that is given
 * but cannot be had yet (its controller not probed, -EPROBE_DEFER) or at all
 * (-EBUSY, ...) fails the probe with that error, so that the card binds
 * with its lines once their controller is there.  Returns 1 when all lines
 * were obtained, 0 when one is missing, or the error.
 */
static int mobu_get_lines(struct device *dev, struct mobu_digi_ana *priv,
			  const char *step, const struct mobu_gpio_line *lines,
			  unsigned int count, bool dotted_first)
{
	unsigned int i;

	for (i = 0; i < count; i++) {
		struct gpio_desc **desc = mobu_line(priv, lines[i].field);

		*desc = devm_gpiod_get_optional(dev, lines[i].name,
						lines[i].flags);
		if (IS_ERR(*desc)) {
			int ret = PTR_ERR(*desc);

			*desc = NULL;
			/* A deferral is retried quietly; 4.19 has no dev_err_probe. */
			if (ret != -EPROBE_DEFER)
				dev_err(dev, "%s cannot get the %s : %d\n", step,
					lines[i].label, ret);
			return ret;
		}
		if (*desc)
			continue;
		if (dotted_first && i == 0)
			dev_err(dev, "%s failed to get the %s from the dev. tree. \n",
				step, lines[i].label);
		else
			dev_err(dev, "%s failed to get the %s from the dev. tree\n",
				step, lines[i].label);
		return 0;
	}
	return 1;
}

static void mobu_put_nodes(struct mobu_digi_ana *priv)
{
	of_node_put(priv->i2s_np);
	of_node_put(priv->digi_np);
	of_node_put(priv->dac_np);
	of_node_put(priv->adc_np);
	priv->i2s_np = NULL;
	priv->digi_np = NULL;
	priv->dac_np = NULL;
	priv->adc_np = NULL;
}

/* The references to the I2S controller and the three codecs, in this order. */
static const char * const mobu_ref_props[] = {
	"i2s-controller", "mobu,digi-codec", "mobu,dac-codec", "mobu,adc-codec",
};

static int mobu_get_nodes(struct device *dev, struct mobu_digi_ana *priv)
{
	struct device_node **nodes[] = {
		&priv->i2s_np, &priv->digi_np, &priv->dac_np, &priv->adc_np,
	};
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(mobu_ref_props); i++) {
		*nodes[i] = of_parse_phandle(dev->of_node, mobu_ref_props[i], 0);
		if (!*nodes[i]) {
			dev_err(dev, "Property '%s' missing or invalid\n",
				mobu_ref_props[i]);
			mobu_put_nodes(priv);
			return -EINVAL;
		}
	}
	return 0;
}

/*
 * The reference (index into mobu_ref_props) each link's ends take: CPU and
 * platform the I2S controller, except port A's, which are the dummy.
 */
#define MOBU_REF_NONE	(-1)
static const struct {
	int link;
	int cpu;
	int codec;
} mobu_link_refs[] = {
	{ MOBU_LINK_DIGI_B, 0, 1 },
	{ MOBU_LINK_DIGI_A, MOBU_REF_NONE, 1 },
	{ MOBU_LINK_DAC, 0, 2 },
	{ MOBU_LINK_ADC, 0, 3 },
};

static void mobu_set_link_nodes(struct mobu_digi_ana *priv)
{
	struct device_node *nodes[] = {
		priv->i2s_np, priv->digi_np, priv->dac_np, priv->adc_np,
	};
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(mobu_link_refs); i++) {
		struct snd_soc_dai_link *link =
			&priv->card.dai_link[mobu_link_refs[i].link];

		if (mobu_link_refs[i].cpu != MOBU_REF_NONE) {
			MOBU_LINK_CPU_OF(link) = nodes[mobu_link_refs[i].cpu];
			MOBU_LINK_PLATFORM_OF(link) = nodes[mobu_link_refs[i].cpu];
		}
		MOBU_LINK_CODEC_OF(link) = nodes[mobu_link_refs[i].codec];
	}
}

#if MOBU_HAVE_FWNODE_REFS
/*
 * Without a device tree the same properties are references of the device's
 * firmware node (software nodes, for instance), and the links name the
 * components instead of pointing at nodes.
 */
static int mobu_set_link_names(struct device *dev, struct snd_soc_card *card)
{
	const char *names[ARRAY_SIZE(mobu_ref_props)];
	unsigned int i;
	int ret;

	for (i = 0; i < ARRAY_SIZE(mobu_ref_props); i++) {
		names[i] = mobu_ref_component_name(dev, mobu_ref_props[i]);
		ret = PTR_ERR_OR_ZERO(names[i]);
		if (ret == -EINVAL) {
			dev_err(dev, "Property '%s' missing or invalid\n",
				mobu_ref_props[i]);
			return ret;
		}
		/* A deferral keeps its reason for devices_deferred. */
		if (ret)
			return dev_err_probe(dev, ret,
					     "no component registered for '%s'\n",
					     mobu_ref_props[i]);
	}
	for (i = 0; i < ARRAY_SIZE(mobu_link_refs); i++) {
		struct snd_soc_dai_link *link =
			&card->dai_link[mobu_link_refs[i].link];

		if (mobu_link_refs[i].cpu != MOBU_REF_NONE) {
			MOBU_LINK_CPU_NAME(link) = names[mobu_link_refs[i].cpu];
			MOBU_LINK_PLATFORM_NAME(link) = names[mobu_link_refs[i].cpu];
		}
		MOBU_LINK_CODEC_NAME(link) = names[mobu_link_refs[i].codec];
	}
	return 0;
}
#endif

/* Points the links at the components, by device-tree node or by name. */
static int mobu_find_components(struct device *dev, struct mobu_digi_ana *priv)
{
	int ret;

#if MOBU_HAVE_FWNODE_REFS
	if (!dev->of_node)
		return mobu_set_link_names(dev, &priv->card);
#endif
	ret = mobu_get_nodes(dev, priv);
	if (ret)
		return ret;
	mobu_set_link_nodes(priv);
	return 0;
}

static int mobu_digi_ana_probe(struct platform_device *pdev)
{
	struct device *dev = &pdev->dev;
	struct mobu_digi_ana *priv;
	unsigned int i;
	int ret;

	priv = devm_kzalloc(dev, sizeof(*priv), GFP_KERNEL);
	if (!priv)
		return -ENOMEM;
	for (i = 0; i < MOBU_CHANNELS; i++) {
		priv->gain[i] = MOBU_GAIN_0DB;
		priv->sensitivity[i] = MOBU_SENSITIVITY_0DB;
	}

	mutex_init(&priv->clock_lock);
	priv->card = mobu_digi_ana_card;
	priv->card.dev = dev;
	/*
	 * Each device fills in links of its own: the core may keep what it
	 * allocates for a link with the device, which a deferred probe frees.
	 */
	priv->card.dai_link = mobu_dup_links(dev, mobu_digi_ana_links,
					     ARRAY_SIZE(mobu_digi_ana_links));
	if (!priv->card.dai_link)
		return -ENOMEM;

	ret = mobu_find_components(dev, priv);
	if (ret)
		return ret;

	mobu_read_mclks(dev, &priv->mclk48k, &priv->mclk44k);

	/* With every clock line present, run the 48 kHz oscillator. */
	ret = mobu_get_lines(dev, priv, "mobu_digi_clk_setup", mobu_clock_lines,
			     ARRAY_SIZE(mobu_clock_lines), false);
	if (ret < 0)
		goto put_nodes;
	if (ret) {
		gpiod_set_value_cansleep(priv->clkPen, 1);
		gpiod_set_value_cansleep(priv->led, 1);
		gpiod_set_value_cansleep(priv->clkPen44, 0);
		gpiod_set_value_cansleep(priv->clkPen48, 1);
	} else {
		/*
		 * The set-up stops at the first missing line: the lines after
		 * it are not requested, and no oscillator is switched.
		 */
		dev_warn(dev, "running without the clock lines%s%s%s%s: the oscillators are not switched\n",
			 priv->clkPen ? "" : " clk-pen", priv->led ? "" : " led",
			 priv->clkPen44 ? "" : " clk-pen44",
			 priv->clkPen48 ? "" : " clk-pen48");
	}
	ret = mobu_get_lines(dev, priv, "mobu_digi_input_setup",
			     mobu_analogue_lines,
			     ARRAY_SIZE(mobu_analogue_lines), true);
	if (ret < 0)
		goto put_nodes;
	ret = mobu_get_lines(dev, priv, "mobu_digi_i2s_input_setup",
			     mobu_digital_lines, ARRAY_SIZE(mobu_digital_lines),
			     true);
	if (ret < 0)
		goto put_nodes;

	snd_soc_card_set_drvdata(&priv->card, priv);
	ret = snd_soc_register_card(&priv->card);
	if (ret) {
		dev_err(dev, "mobu_digi_probe error %d exit\n", ret);
		goto put_nodes;
	}
	return 0;

put_nodes:
	/* The lines are device-managed and go with the failed probe. */
	mobu_put_nodes(priv);
	return ret;
}

static void mobu_digi_ana_teardown(struct platform_device *pdev)
{
	struct snd_soc_card *card = platform_get_drvdata(pdev);
	struct mobu_digi_ana *priv = snd_soc_card_get_drvdata(card);

	gpiod_set_value_cansleep(priv->clkPen, 0);
	gpiod_set_value_cansleep(priv->led, 0);
	/*
	 * The lines are device-managed and are released after this returns;
	 * the nodes are released once the card no longer links them.
	 */
	snd_soc_unregister_card(card);
	mobu_put_nodes(priv);
}

MOBU_PLATFORM_REMOVE(mobu_digi_ana_remove, mobu_digi_ana_teardown)

static const struct of_device_id mobu_digi_ana_of_match[] = {
	{ .compatible = "mobu,mobu-digi-ana", },
	{ }
};
MODULE_DEVICE_TABLE(of, mobu_digi_ana_of_match);

static struct platform_driver mobu_digi_ana_driver = {
	.driver = {
		.name = "mobu-digi-ana",
		.of_match_table = mobu_digi_ana_of_match,
		/* Suspends and resumes the card's components with it. */
		.pm = &snd_soc_pm_ops,
	},
	.probe = mobu_digi_ana_probe,
	.remove = mobu_digi_ana_remove,
};
module_platform_driver(mobu_digi_ana_driver);

MODULE_ALIAS("platform:mobu_digi_anark3399");
/* The alias of the driver's own name, which its devices' modalias carries. */
MODULE_ALIAS("platform:mobu-digi-ana");
MODULE_DESCRIPTION("Mobu Analogue Board");
MODULE_LICENSE("GPL v2");
