/*
 * Stand-in of the ALSA/ASoC interface the codec drivers use: PCM formats and
 * rates, hardware parameters, mixer controls with TLV, DAI and component
 * drivers.  The DAI and component structures take the shape of the kernel
 * version compiled for (4.19 or 6.1).
 */
#ifndef STANDIN_SOUND_SOC_H
#define STANDIN_SOUND_SOC_H

#include <linux/standin.h>

#ifdef __cplusplus
extern "C" {
#endif

/* PCM formats, rates and hardware parameters. */
typedef int snd_pcm_format_t;
#define SNDRV_PCM_FORMAT_S8 0
#define SNDRV_PCM_FORMAT_S16_LE 2
#define SNDRV_PCM_FORMAT_S24_LE 6
#define SNDRV_PCM_FORMAT_S32_LE 10
#define SNDRV_PCM_FORMAT_S24_3LE 32
#define SNDRV_PCM_FMTBIT_S8 (1ULL << SNDRV_PCM_FORMAT_S8)
#define SNDRV_PCM_FMTBIT_S16_LE (1ULL << SNDRV_PCM_FORMAT_S16_LE)
#define SNDRV_PCM_FMTBIT_S24_LE (1ULL << SNDRV_PCM_FORMAT_S24_LE)
#define SNDRV_PCM_FMTBIT_S32_LE (1ULL << SNDRV_PCM_FORMAT_S32_LE)

#define SNDRV_PCM_RATE_32000 (1 << 5)
#define SNDRV_PCM_RATE_44100 (1 << 6)
#define SNDRV_PCM_RATE_48000 (1 << 7)
#define SNDRV_PCM_RATE_88200 (1 << 9)
#define SNDRV_PCM_RATE_96000 (1 << 10)
#define SNDRV_PCM_RATE_176400 (1 << 11)
#define SNDRV_PCM_RATE_192000 (1 << 12)

#define SNDRV_PCM_STREAM_PLAYBACK 0
#define SNDRV_PCM_STREAM_CAPTURE 1

struct snd_pcm_substream {
    int stream;
};

struct snd_pcm_hw_params {
    snd_pcm_format_t format;
    unsigned int rate;
    unsigned int channels;
};

int snd_pcm_format_width(snd_pcm_format_t format);
static inline snd_pcm_format_t params_format(const struct snd_pcm_hw_params* p) {
    return p->format;
}
static inline unsigned int params_rate(const struct snd_pcm_hw_params* p) {
    return p->rate;
}
static inline unsigned int params_channels(const struct snd_pcm_hw_params* p) {
    return p->channels;
}
static inline int params_width(const struct snd_pcm_hw_params* p) {
    return snd_pcm_format_width(p->format);
}

/* TLV. */
#define SNDRV_CTL_TLVT_DB_SCALE 1
#define TLV_DB_SCALE_MASK 0xffff
#define TLV_DB_SCALE_MUTE 0x10000
#define TLV_DB_SCALE_ITEM(min, step, mute)                                                                             \
    SNDRV_CTL_TLVT_DB_SCALE, 2 * sizeof(unsigned int), (unsigned int)(min),                                            \
        ((step)&TLV_DB_SCALE_MASK) | ((mute) ? TLV_DB_SCALE_MUTE : 0)
#define DECLARE_TLV_DB_SCALE(name, min, step, mute) unsigned int name[] = {TLV_DB_SCALE_ITEM(min, step, mute)}

/* Mixer controls. */
#define SNDRV_CTL_ELEM_IFACE_MIXER 2
#define SNDRV_CTL_ELEM_ACCESS_READ (1 << 0)
#define SNDRV_CTL_ELEM_ACCESS_WRITE (1 << 1)
#define SNDRV_CTL_ELEM_ACCESS_READWRITE (SNDRV_CTL_ELEM_ACCESS_READ | SNDRV_CTL_ELEM_ACCESS_WRITE)
#define SNDRV_CTL_ELEM_ACCESS_TLV_READ (1 << 4)

struct snd_kcontrol {
    unsigned long private_value;
    void* private_data; /* the component */
};

struct snd_ctl_elem_info {
    unsigned int count;
    union {
        struct {
            long min;
            long max;
            long step;
        } integer;
    } value;
};

struct snd_ctl_elem_value {
    union {
        struct {
            long value[128];
        } integer;
    } value;
};

typedef int(snd_kcontrol_info_t)(struct snd_kcontrol*, struct snd_ctl_elem_info*);
typedef int(snd_kcontrol_get_t)(struct snd_kcontrol*, struct snd_ctl_elem_value*);
typedef int(snd_kcontrol_put_t)(struct snd_kcontrol*, struct snd_ctl_elem_value*);

struct snd_kcontrol_new {
    int iface;
    const char* name;
    unsigned int access;
    snd_kcontrol_info_t* info;
    snd_kcontrol_get_t* get;
    snd_kcontrol_put_t* put;
    union {
        const unsigned int* p;
    } tlv;
    unsigned long private_value;
};

struct soc_mixer_control {
    int min, max, platform_max;
    int reg, rreg;
    unsigned int shift, rshift;
    unsigned int sign_bit;
    unsigned int invert : 1;
    unsigned int autodisable : 1;
};

int snd_soc_info_volsw(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_info* uinfo);
int snd_soc_get_volsw(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_value* ucontrol);
int snd_soc_put_volsw(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_value* ucontrol);

#define SOC_DOUBLE_R_VALUE(xlreg, xrreg, xshift, xmax, xinvert)                                                        \
    ((unsigned long)&(struct soc_mixer_control){                                                                       \
        .max = xmax, .reg = xlreg, .rreg = xrreg, .shift = xshift, .rshift = xshift, .invert = xinvert})
#define SOC_DOUBLE_R_TLV(xname, reg_left, reg_right, xshift, xmax, xinvert, tlv_array)                                 \
    {                                                                                                                  \
        .iface = SNDRV_CTL_ELEM_IFACE_MIXER, .name = (xname),                                                          \
        .access = SNDRV_CTL_ELEM_ACCESS_TLV_READ | SNDRV_CTL_ELEM_ACCESS_READWRITE, .info = snd_soc_info_volsw,        \
        .get = snd_soc_get_volsw, .put = snd_soc_put_volsw, .tlv.p = (tlv_array),                                      \
        .private_value = SOC_DOUBLE_R_VALUE(reg_left, reg_right, xshift, xmax, xinvert)                                \
    }

/* DAI formats. */
#define SND_SOC_DAIFMT_I2S 1
#define SND_SOC_DAIFMT_RIGHT_J 2
#define SND_SOC_DAIFMT_LEFT_J 3
#define SND_SOC_DAIFMT_DSP_A 4
#define SND_SOC_DAIFMT_DSP_B 5
#define SND_SOC_DAIFMT_FORMAT_MASK 0x000f
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0)
#define SND_SOC_DAIFMT_CBP_CFP (1 << 12)
#define SND_SOC_DAIFMT_CBC_CFP (2 << 12)
#define SND_SOC_DAIFMT_CBP_CFC (3 << 12)
#define SND_SOC_DAIFMT_CBC_CFC (4 << 12)
#define SND_SOC_DAIFMT_CBM_CFM SND_SOC_DAIFMT_CBP_CFP
#define SND_SOC_DAIFMT_CBS_CFS SND_SOC_DAIFMT_CBC_CFC
#define SND_SOC_DAIFMT_CLOCK_PROVIDER_MASK 0xf000
#define SND_SOC_DAIFMT_MASTER_MASK SND_SOC_DAIFMT_CLOCK_PROVIDER_MASK
#else
#define SND_SOC_DAIFMT_CBM_CFM (1 << 12)
#define SND_SOC_DAIFMT_CBS_CFM (2 << 12)
#define SND_SOC_DAIFMT_CBM_CFS (3 << 12)
#define SND_SOC_DAIFMT_CBS_CFS (4 << 12)
#define SND_SOC_DAIFMT_MASTER_MASK 0xf000
#endif

struct snd_soc_dai;
struct snd_soc_component;

struct snd_soc_dai_ops {
    int (*set_sysclk)(struct snd_soc_dai* dai, int clk_id, unsigned int freq, int dir);
    int (*set_clkdiv)(struct snd_soc_dai* dai, int div_id, int div);
    int (*set_bclk_ratio)(struct snd_soc_dai* dai, unsigned int ratio);
    int (*set_fmt)(struct snd_soc_dai* dai, unsigned int fmt);
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 12, 0)
    int (*digital_mute)(struct snd_soc_dai* dai, int mute);
#endif
    int (*mute_stream)(struct snd_soc_dai* dai, int mute, int stream);
    int (*startup)(struct snd_pcm_substream*, struct snd_soc_dai*);
    void (*shutdown)(struct snd_pcm_substream*, struct snd_soc_dai*);
    int (*hw_params)(struct snd_pcm_substream*, struct snd_pcm_hw_params*, struct snd_soc_dai*);
    int (*hw_free)(struct snd_pcm_substream*, struct snd_soc_dai*);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 12, 0)
    unsigned int no_capture_mute : 1;
#endif
};

struct snd_soc_pcm_stream {
    const char* stream_name;
    u64 formats;
    unsigned int rates;
    unsigned int rate_min;
    unsigned int rate_max;
    unsigned int channels_min;
    unsigned int channels_max;
    unsigned int sig_bits;
};

struct snd_soc_dai_driver {
    const char* name;
    unsigned int id;
    const struct snd_soc_dai_ops* ops;
    struct snd_soc_pcm_stream capture;
    struct snd_soc_pcm_stream playback;
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 12, 0)
    unsigned int symmetric_rates : 1;
#else
    unsigned int symmetric_rate : 1;
#endif
    unsigned int symmetric_channels : 1;
};

struct snd_soc_component_driver {
    const char* name;
    const struct snd_kcontrol_new* controls;
    unsigned int num_controls;
    const void* dapm_widgets;
    unsigned int num_dapm_widgets;
    unsigned int idle_bias_on : 1;
    unsigned int use_pmdown_time : 1;
    unsigned int endianness : 1;
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 0, 0)
    unsigned int non_legacy_dai_naming : 1;
#else
    unsigned int legacy_dai_naming : 1;
#endif
};

struct snd_soc_component {
    const char* name;
    struct device* dev;
    const struct snd_soc_component_driver* driver;
    struct regmap* regmap;
};

struct snd_soc_dai {
    const char* name;
    struct device* dev;
    struct snd_soc_dai_driver* driver;
    struct snd_soc_component* component;
};

static inline void* snd_soc_component_get_drvdata(struct snd_soc_component* c) {
    return dev_get_drvdata(c->dev);
}
static inline void* snd_kcontrol_chip(struct snd_kcontrol* kcontrol) {
    return kcontrol->private_data;
}

unsigned int snd_soc_component_read(struct snd_soc_component* component, unsigned int reg);
int snd_soc_component_write(struct snd_soc_component* component, unsigned int reg, unsigned int val);
int snd_soc_component_update_bits(struct snd_soc_component* component, unsigned int reg, unsigned int mask,
                                  unsigned int val);
int devm_snd_soc_register_component(struct device* dev, const struct snd_soc_component_driver* component_driver,
                                    struct snd_soc_dai_driver* dai_drv, int num_dai);

#ifdef __cplusplus
}
#endif

#endif
