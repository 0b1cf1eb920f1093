/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Bridges between the ASoC machine interfaces of the board's 4.19 kernel and
 * those of later kernels, shared by the analogue and digital board drivers.
 *
 * 4.19 names a link's CPU DAI, codec DAI and platform through plain fields of
 * the link; later kernels take arrays of link components, declared with
 * SND_SOC_DAILINK_DEFS.  A link is declared here in one of two shapes:
 *
 *   MOBU_DAILINK_DEFS_OF(name, codec_dai);     CPU and platform by node
 *   MOBU_DAILINK_DEFS_DUMMY(name, codec_dai);  CPU and platform the dummy
 *
 * and filled in as a link member with MOBU_DAILINK_OF(name, codec_dai) or
 * MOBU_DAILINK_DUMMY(name, codec_dai).  The nodes are set at probe through
 * MOBU_LINK_CPU_OF(), MOBU_LINK_CODEC_OF() and MOBU_LINK_PLATFORM_OF().
 */
#ifndef MOBU_MACHINE_COMPAT_H
#define MOBU_MACHINE_COMPAT_H

#include <linux/device.h>
#include <linux/platform_device.h>
#include <linux/slab.h>
#include <linux/version.h>
#include <sound/soc.h>

#include "ess-codec-compat.h"

#define MOBU_DUMMY_DAI		"snd-soc-dummy-dai"
#define MOBU_DUMMY_PLATFORM	"snd-soc-dummy"

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 4, 0)

#define MOBU_DAILINK_DEFS_OF(name, codec_dai)				\
	SND_SOC_DAILINK_DEFS(name,					\
			     DAILINK_COMP_ARRAY(COMP_EMPTY()),		\
			     DAILINK_COMP_ARRAY(COMP_CODEC(NULL, codec_dai)), \
			     DAILINK_COMP_ARRAY(COMP_EMPTY()))
#define MOBU_DAILINK_DEFS_DUMMY(name, codec_dai)			\
	SND_SOC_DAILINK_DEFS(name,					\
			     DAILINK_COMP_ARRAY(COMP_CPU(MOBU_DUMMY_DAI)), \
			     DAILINK_COMP_ARRAY(COMP_CODEC(NULL, codec_dai)), \
			     DAILINK_COMP_ARRAY(COMP_PLATFORM(MOBU_DUMMY_PLATFORM)))
#define MOBU_DAILINK_OF(name, codec_dai)	SND_SOC_DAILINK_REG(name)
#define MOBU_DAILINK_DUMMY(name, codec_dai)	SND_SOC_DAILINK_REG(name)

#define MOBU_LINK_CPU_OF(link)		((link)->cpus->of_node)
#define MOBU_LINK_CODEC_OF(link)	((link)->codecs->of_node)
#define MOBU_LINK_PLATFORM_OF(link)	((link)->platforms->of_node)
#define MOBU_LINK_CPU_NAME(link)	((link)->cpus->name)
#define MOBU_LINK_CODEC_NAME(link)	((link)->codecs->name)
#define MOBU_LINK_PLATFORM_NAME(link)	((link)->platforms->name)

/* A link's own copies of its component arrays: -ENOMEM or 0. */
static inline int mobu_dup_link_components(struct device *dev,
					   struct snd_soc_dai_link *l)
{
	l->cpus = devm_kmemdup(dev, l->cpus, l->num_cpus * sizeof(*l->cpus),
			       GFP_KERNEL);
	l->codecs = devm_kmemdup(dev, l->codecs,
				 l->num_codecs * sizeof(*l->codecs), GFP_KERNEL);
	l->platforms = devm_kmemdup(dev, l->platforms,
				    l->num_platforms * sizeof(*l->platforms),
				    GFP_KERNEL);
	return l->cpus && l->codecs && l->platforms ? 0 : -ENOMEM;
}

#else

/* Nothing to define: the names sit in the link itself. */
#define MOBU_DAILINK_DEFS_OF(name, codec_dai)	struct name##_dailink_unused
#define MOBU_DAILINK_DEFS_DUMMY(name, codec_dai) struct name##_dailink_unused
#define MOBU_DAILINK_OF(name, codec_dai)	.codec_dai_name = codec_dai
#define MOBU_DAILINK_DUMMY(name, codec_dai)			\
	.cpu_dai_name = MOBU_DUMMY_DAI,				\
	.platform_name = MOBU_DUMMY_PLATFORM,			\
	.codec_dai_name = codec_dai

#define MOBU_LINK_CPU_OF(link)		((link)->cpu_of_node)
#define MOBU_LINK_CODEC_OF(link)	((link)->codec_of_node)
#define MOBU_LINK_PLATFORM_OF(link)	((link)->platform_of_node)
#define MOBU_LINK_CPU_NAME(link)	((link)->cpu_name)
#define MOBU_LINK_CODEC_NAME(link)	((link)->codec_name)
#define MOBU_LINK_PLATFORM_NAME(link)	((link)->platform_name)

/* The names and nodes sit in the link itself, which is copied whole. */
static inline int mobu_dup_link_components(struct device *dev,
					   struct snd_soc_dai_link *l)
{
	return 0;
}

#endif

/*
 * The runtime of a stream and its first codec DAI, and the runtime of a
 * card's link: 5.7 moved the DAIs of a runtime into one array and made the
 * link itself, not its name, the key of a runtime.
 */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 7, 0)
#define mobu_substream_rtd(substream)	asoc_substream_to_rtd(substream)
#define mobu_rtd_codec_dai(rtd)		asoc_rtd_to_codec(rtd, 0)
#define mobu_card_rtd(card, link)	snd_soc_get_pcm_runtime(card, link)
#else
#define mobu_substream_rtd(substream)				\
	((struct snd_soc_pcm_runtime *)(substream)->private_data)
#define mobu_rtd_codec_dai(rtd)		((rtd)->codec_dai)
#define mobu_card_rtd(card, link)	snd_soc_get_pcm_runtime(card, (link)->name)
#endif

/* The codec DAI of a card's link, or NULL before the card is bound. */
static inline struct snd_soc_dai *
mobu_card_link_codec_dai(struct snd_soc_card *card, struct snd_soc_dai_link *link)
{
	struct snd_soc_pcm_runtime *rtd = mobu_card_rtd(card, link);

	return rtd ? mobu_rtd_codec_dai(rtd) : NULL;
}

/*
 * A device's own copy of a template of links (and of the arrays of link
 * components they point at, where links have them), device-managed; NULL
 * when out of memory.
 */
static inline struct snd_soc_dai_link *
mobu_dup_links(struct device *dev, const struct snd_soc_dai_link *template,
	       unsigned int count)
{
	struct snd_soc_dai_link *links;
	unsigned int i;

	links = devm_kmemdup(dev, template, count * sizeof(*links), GFP_KERNEL);
	if (!links)
		return NULL;
	for (i = 0; i < count; i++)
		if (mobu_dup_link_components(dev, &links[i]))
			return NULL;
	return links;
}

/*
 * Reference properties of software nodes (and so links named without a
 * device tree) are used from 5.10 on; before that only the device tree is.
 */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 10, 0)
#define MOBU_HAVE_FWNODE_REFS 1
#else
#define MOBU_HAVE_FWNODE_REFS 0
#endif

/*
 * 6.11 made the platform driver's remove callback return nothing: defines
 * the callback `name` of either shape around a void teardown function.
 */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
#define MOBU_PLATFORM_REMOVE(name, teardown)				\
static void name(struct platform_device *pdev)				\
{									\
	teardown(pdev);							\
}
#else
#define MOBU_PLATFORM_REMOVE(name, teardown)				\
static int name(struct platform_device *pdev)				\
{									\
	teardown(pdev);							\
	return 0;							\
}
#endif

#endif /* MOBU_MACHINE_COMPAT_H */
