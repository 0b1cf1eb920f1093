/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Pieces shared by the board machine drivers: the master clock rates of the
 * two rate families, as the device tree gives them, and the family of a rate.
 */
#ifndef MOBU_MACHINE_H
#define MOBU_MACHINE_H

#include <linux/device.h>
#include <linux/err.h>
#include <linux/i2c.h>
#include <linux/of.h>
#include <linux/platform_device.h>
#include <linux/property.h>
#include <sound/pcm_params.h>
#include <sound/soc.h>

#include "mobu-machine-compat.h"

enum mobu_rate_family {
	MOBU_RATE_UNSUPPORTED,
	MOBU_RATE_44K1,
	MOBU_RATE_48K,
};

static inline enum mobu_rate_family mobu_rate_family(unsigned int rate)
{
	switch (rate) {
	case 44100:
	case 88200:
	case 176400:
		return MOBU_RATE_44K1;
	case 48000:
	case 96000:
	case 192000:
		return MOBU_RATE_48K;
	default:
		return MOBU_RATE_UNSUPPORTED;
	}
}

/*
 * Reads "mclk_48k" and "mclk_44k" from the device's description (the device
 * tree, or the software node of a machine without one); a clock it does not
 * give stays 0, which the codecs then receive as their system clock.
 */
static inline void mobu_read_mclks(struct device *dev, u32 *mclk48k,
				   u32 *mclk44k)
{
	int ret;

	*mclk48k = 0;
	ret = device_property_read_u32(dev, "mclk_48k", mclk48k);
	if (ret) {
		*mclk48k = 0;
		dev_dbg(dev, "Unable to probe mclk_48k in the device tree : %d\n",
			ret);
	} else {
		dev_info(dev, "mobu-digi mclk 48k = %d Hz\n", *mclk48k);
	}

	*mclk44k = 0;
	ret = device_property_read_u32(dev, "mclk_44k", mclk44k);
	if (ret) {
		*mclk44k = 0;
		dev_dbg(dev, "Unable to probe mclk_44k in the device tree : %d\n",
			ret);
	} else {
		dev_info(dev, "mobu-digi mclk 44.1k = %d Hz\n", *mclk44k);
	}
}

#if MOBU_HAVE_FWNODE_REFS
/*
 * A card described without a device tree (by software nodes, for instance)
 * names its components by reference properties, as the tree does by
 * phandles.  Returns the name of the component registered by the device a
 * property refers to, copied for dev, or an error pointer: -EINVAL when the
 * property is missing or refers to nothing, -EPROBE_DEFER while the device
 * or its component is not there yet.  The device is looked for on the
 * platform and I2C buses, where the board's components sit.
 */
static inline const char *mobu_ref_component_name(struct device *dev,
						  const char *prop)
{
	struct snd_soc_component *component;
	struct fwnode_handle *ref;
	struct device *rdev;
	const char *name;

	ref = fwnode_find_reference(dev_fwnode(dev), prop, 0);
	if (IS_ERR(ref))
		return ERR_PTR(-EINVAL);
	rdev = bus_find_device_by_fwnode(&platform_bus_type, ref);
	if (!rdev)
		rdev = bus_find_device_by_fwnode(&i2c_bus_type, ref);
	fwnode_handle_put(ref);
	if (!rdev)
		return ERR_PTR(-EPROBE_DEFER);
	component = snd_soc_lookup_component(rdev, NULL);
	/* A copy: the card outlives a component that goes and comes back. */
	name = component ? devm_kstrdup(dev, component->name, GFP_KERNEL) :
			   ERR_PTR(-EPROBE_DEFER);
	put_device(rdev);
	return name ? name : ERR_PTR(-ENOMEM);
}
#endif

/*
 * The digital boards' stream setup: the stream's codec DAI gets the master
 * clock of the rate's family.  name is the caller's, for its log line.
 */
static inline int mobu_dit_set_mclk(struct snd_pcm_substream *substream,
				    struct snd_pcm_hw_params *params,
				    u32 mclk48k, u32 mclk44k, const char *name)
{
	struct snd_soc_pcm_runtime *rtd = mobu_substream_rtd(substream);
	struct snd_soc_card *card = rtd->card;
	unsigned int rate = params_rate(params);
	unsigned int mclk;
	int ret;

	switch (mobu_rate_family(rate)) {
	case MOBU_RATE_44K1:
		mclk = mclk44k;
		break;
	case MOBU_RATE_48K:
		mclk = mclk48k;
		break;
	default:
		dev_err(card->dev, "unsupported sample rate %d Hz \n", rate);
		return -EINVAL;
	}

	dev_dbg(card->dev, "%s setting clk rate %d\n", name, mclk);
	ret = snd_soc_dai_set_sysclk(mobu_rtd_codec_dai(rtd), 0, mclk,
				     SND_SOC_CLOCK_IN);
	if (ret < 0)
		dev_err(card->dev, "snd_soc_dai_set_sysclk err = %d\n", ret);
	return ret;
}

#endif /* MOBU_MACHINE_H */
