/* SPDX-License-Identifier: GPL-2.0 */
/*
 * ESS9038 eight-channel DAC: state shared by the codec and its I2C binding.
 */
#ifndef ES9038_CODEC_H
#define ES9038_CODEC_H

#include <linux/device.h>
#include <linux/gpio/consumer.h>
#include <linux/mutex.h>
#include <linux/regmap.h>
#include <sound/soc.h>

struct ess9038_priv {
	struct regmap *regmap;
	unsigned int sysclk;		/* master clock rate, Hz */
	bool master;			/* codec masters the serial clocks */
	struct gpio_desc *mute_gpio;	/* optional mute line, may be NULL */
	struct mutex mute_lock;		/* the two mutes and their write */
	bool stream_mute;		/* muted by ASoC: no stream running */
	unsigned int user_mute;		/* mutes held by the card's users */
	/*
	 * Rate and sample width of each direction from hw_params to hw_free
	 * (0: none): both share the serial format registers.
	 */
	unsigned int stream_rate[2];
	unsigned int stream_bits[2];
};

extern const struct regmap_config ess9038_regmap_config;

/* Identifies the chip and registers the component; priv->regmap must be set. */
int ess9038_probe(struct device *dev, struct ess9038_priv *priv);

/*
 * Mutes held for the card's users, one bit per holder (a mixer control, for
 * instance): the DAC is muted while any is set, whatever the streams do,
 * and while no stream runs.  The set survives a re-bind of the card, so the
 * card can read it back.
 */
int ess9038_set_user_mute(struct snd_soc_component *component,
			  unsigned int holders);
unsigned int ess9038_user_mute(struct snd_soc_component *component);

#endif /* ES9038_CODEC_H */
