/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Bridges between the ASoC and I2C interfaces of the board's 4.19 kernel and
 * those of later kernels, so that the codec drivers build for both.
 */
#ifndef ESS_CODEC_COMPAT_H
#define ESS_CODEC_COMPAT_H

#include <linux/version.h>
#include <sound/soc.h>

/* Clock provider/consumer names replaced master/slave in later kernels. */
#ifndef SND_SOC_DAIFMT_CBP_CFP
#define SND_SOC_DAIFMT_CBP_CFP SND_SOC_DAIFMT_CBM_CFM
#define SND_SOC_DAIFMT_CBC_CFC SND_SOC_DAIFMT_CBS_CFS
#define SND_SOC_DAIFMT_CLOCK_PROVIDER_MASK SND_SOC_DAIFMT_MASTER_MASK
#endif

/*
 * Before 6.0 a component with a single DAI took the device's name for it
 * unless it asked for the DAI driver's name; the machine driver links the
 * DAIs by name, so older kernels need the flag.
 */
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 0, 0)
#define ESS_CODEC_DAI_NAMING .non_legacy_dai_naming = 1,
#else
#define ESS_CODEC_DAI_NAMING
#endif

/* The one-argument I2C probe is called probe_new between 4.10 and 6.2. */
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 3, 0)
#define ESS_CODEC_I2C_PROBE .probe_new
#else
#define ESS_CODEC_I2C_PROBE .probe
#endif

#endif /* ESS_CODEC_COMPAT_H */
