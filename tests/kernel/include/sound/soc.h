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

struct snd_pcm_runtime;

struct snd_pcm_substream {
    int stream;
    void* private_data; /* the runtime of the stream's link */
    struct snd_pcm_runtime* runtime;
};

/* A PCM device: its substream per direction (NULL where it has none). */
struct snd_pcm_str {
    struct snd_pcm_substream* substream;
};
struct snd_pcm {
    struct snd_pcm_str streams[2];
};

#define SNDRV_PCM_HW_PARAM_SAMPLE_BITS 8
#define SNDRV_PCM_HW_PARAM_RATE 11
struct snd_pcm_hw_constraint_list {
    const unsigned int* list;
    unsigned int count;
    unsigned int mask;
};
/* Record the values a parameter is left in the runtime (struct snd_pcm_runtime). */
int snd_pcm_hw_constraint_list(struct snd_pcm_runtime* runtime, unsigned int cond, int var,
                               const struct snd_pcm_hw_constraint_list* l);
int snd_pcm_hw_constraint_single(struct snd_pcm_runtime* runtime, int var, unsigned int val);

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
#define SNDRV_CTL_TLVT_DB_MINMAX 4
#define TLV_DB_MINMAX_ITEM(min_dB, max_dB)                                                                             \
    SNDRV_CTL_TLVT_DB_MINMAX, 2 * sizeof(unsigned int), (unsigned int)(min_dB), (unsigned int)(max_dB)
#define DECLARE_TLV_DB_MINMAX(name, min_dB, max_dB) unsigned int name[] = {TLV_DB_MINMAX_ITEM(min_dB, max_dB)}

/* Mixer controls. */
#define SNDRV_CTL_ELEM_IFACE_MIXER 2
#define SNDRV_CTL_ELEM_ACCESS_READ (1 << 0)
#define SNDRV_CTL_ELEM_ACCESS_WRITE (1 << 1)
#define SNDRV_CTL_ELEM_ACCESS_READWRITE (SNDRV_CTL_ELEM_ACCESS_READ | SNDRV_CTL_ELEM_ACCESS_WRITE)
#define SNDRV_CTL_ELEM_ACCESS_TLV_READ (1 << 4)

#define SNDRV_CTL_ELEM_TYPE_BOOLEAN 1
#define SNDRV_CTL_ELEM_TYPE_INTEGER 2
#define SNDRV_CTL_ELEM_TYPE_ENUMERATED 3

struct snd_ctl_elem_id {
    char name[44];
};

struct snd_kcontrol {
    unsigned long private_value;
    void* private_data; /* the component, the card, or the DAPM state */
    struct snd_ctl_elem_id id;
};

struct snd_ctl_elem_info {
    int type;
    unsigned int count;
    union {
        struct {
            long min;
            long max;
            long step;
        } integer;
        struct {
            unsigned int items;
            unsigned int item;
            char name[64];
        } enumerated;
    } value;
};

struct snd_ctl_elem_value {
    union {
        struct {
            long value[128];
        } integer;
        struct {
            unsigned int item[128];
        } enumerated;
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
#define SND_SOC_NOPM -1
#define SOC_SINGLE_VALUE(xreg, xshift, xmax, xinvert, xautodisable)                                                    \
    ((unsigned long)&(struct soc_mixer_control){.max = xmax,                                                           \
                                                .reg = xreg,                                                           \
                                                .rreg = xreg,                                                          \
                                                .shift = xshift,                                                       \
                                                .rshift = xshift,                                                      \
                                                .invert = xinvert,                                                     \
                                                .autodisable = xautodisable})
#define SOC_SINGLE_EXT(xname, xreg, xshift, xmax, xinvert, xhandler_get, xhandler_put)                                 \
    {                                                                                                                  \
        .iface = SNDRV_CTL_ELEM_IFACE_MIXER, .name = xname, .info = snd_soc_info_volsw, .get = xhandler_get,           \
        .put = xhandler_put, .private_value = SOC_SINGLE_VALUE(xreg, xshift, xmax, xinvert, 0)                         \
    }
#define SOC_SINGLE_EXT_TLV(xname, xreg, xshift, xmax, xinvert, xhandler_get, xhandler_put, tlv_array)                  \
    {                                                                                                                  \
        .iface = SNDRV_CTL_ELEM_IFACE_MIXER, .name = xname,                                                            \
        .access = SNDRV_CTL_ELEM_ACCESS_TLV_READ | SNDRV_CTL_ELEM_ACCESS_READWRITE, .info = snd_soc_info_volsw,        \
        .get = xhandler_get, .put = xhandler_put, .tlv.p = (tlv_array),                                                \
        .private_value = SOC_SINGLE_VALUE(xreg, xshift, xmax, xinvert, 0)                                              \
    }

/* Enumerated controls. */
struct soc_enum {
    int reg;
    unsigned char shift_l;
    unsigned char shift_r;
    unsigned int items;
    unsigned int mask;
    const char* const* texts;
    const unsigned int* values;
    unsigned int autodisable : 1;
};

#define SOC_ENUM_SINGLE_EXT(xitems, xtexts)                                                                            \
    { .items = xitems, .texts = xtexts }
#define SOC_ENUM_SINGLE_VIRT(xitems, xtexts)                                                                           \
    { .reg = SND_SOC_NOPM, .items = xitems, .texts = xtexts }
#define SOC_ENUM_SINGLE_EXT_DECL(name, xtexts)                                                                         \
    const struct soc_enum name = SOC_ENUM_SINGLE_EXT(ARRAY_SIZE(xtexts), xtexts)
#define SOC_ENUM_SINGLE_VIRT_DECL(name, xtexts)                                                                        \
    const struct soc_enum name = SOC_ENUM_SINGLE_VIRT(ARRAY_SIZE(xtexts), xtexts)
#define SOC_ENUM_EXT(xname, xenum, xhandler_get, xhandler_put)                                                         \
    {                                                                                                                  \
        .iface = SNDRV_CTL_ELEM_IFACE_MIXER, .name = xname, .info = snd_soc_info_enum_double, .get = xhandler_get,     \
        .put = xhandler_put, .private_value = (unsigned long)&xenum                                                    \
    }
int snd_soc_info_enum_double(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_info* uinfo);

#define SOC_DOUBLE_R_TLV(xname, reg_left, reg_right, xshift, xmax, xinvert, tlv_array)                                 \
    {                                                                                                                  \
        .iface = SNDRV_CTL_ELEM_IFACE_MIXER, .name = (xname),                                                          \
        .access = SNDRV_CTL_ELEM_ACCESS_TLV_READ | SNDRV_CTL_ELEM_ACCESS_READWRITE, .info = snd_soc_info_volsw,        \
        .get = snd_soc_get_volsw, .put = snd_soc_put_volsw, .tlv.p = (tlv_array),                                      \
        .private_value = SOC_DOUBLE_R_VALUE(reg_left, reg_right, xshift, xmax, xinvert)                                \
    }

/* DAI formats. */
#define SND_SOC_DAIFMT_NB_NF (0 << 8)
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
struct snd_soc_dapm_widget;

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
    unsigned int symmetric_samplebits : 1;
#else
    unsigned int symmetric_rate : 1;
    unsigned int symmetric_sample_bits : 1;
#endif
    unsigned int symmetric_channels : 1;
};

struct snd_soc_component;
struct snd_soc_component_driver {
    const char* name;
    int (*suspend)(struct snd_soc_component* component);
    int (*resume)(struct snd_soc_component* component);
    const struct snd_kcontrol_new* controls;
    unsigned int num_controls;
    const struct snd_soc_dapm_widget* dapm_widgets;
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
    unsigned int id;
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

/* DAI clocks and mute, through the DAI's operations. */
#define SND_SOC_CLOCK_IN 0
#define SND_SOC_CLOCK_OUT 1
int snd_soc_dai_set_sysclk(struct snd_soc_dai* dai, int clk_id, unsigned int freq, int dir);
int snd_soc_dai_set_fmt(struct snd_soc_dai* dai, unsigned int fmt);
int snd_soc_dai_digital_mute(struct snd_soc_dai* dai, int mute, int direction);

/* DAPM: widgets, register-less enumerated muxes and routes. */
enum snd_soc_dapm_type {
    snd_soc_dapm_input = 0,
    snd_soc_dapm_output,
    snd_soc_dapm_mux,
    snd_soc_dapm_aif_in,
    snd_soc_dapm_aif_out,
};

struct snd_soc_dapm_widget {
    enum snd_soc_dapm_type id;
    const char* name;
    const char* sname;
    int reg;
    unsigned char shift;
    unsigned int mask;
    unsigned int on_val;
    unsigned int off_val;
    const struct snd_kcontrol_new* kcontrol_news;
    int num_kcontrols;
};

#define SND_SOC_DAPM_INIT_REG_VAL(wreg, wshift, winvert)                                                               \
    .reg = wreg, .mask = 1, .shift = wshift, .on_val = (winvert) ? 0 : 1, .off_val = (winvert) ? 1 : 0
#define SND_SOC_DAPM_INPUT(wname)                                                                                      \
    { .id = snd_soc_dapm_input, .name = wname, .reg = SND_SOC_NOPM, .kcontrol_news = NULL, .num_kcontrols = 0 }
#define SND_SOC_DAPM_OUTPUT(wname)                                                                                     \
    { .id = snd_soc_dapm_output, .name = wname, .reg = SND_SOC_NOPM, .kcontrol_news = NULL, .num_kcontrols = 0 }
#define SND_SOC_DAPM_MUX(wname, wreg, wshift, winvert, wcontrols)                                                      \
    {                                                                                                                  \
        .id = snd_soc_dapm_mux, .name = wname, SND_SOC_DAPM_INIT_REG_VAL(wreg, wshift, winvert),                       \
        .kcontrol_news = wcontrols, .num_kcontrols = 1                                                                 \
    }

int snd_soc_dapm_get_enum_double(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_value* ucontrol);
int snd_soc_dapm_put_enum_double(struct snd_kcontrol* kcontrol, struct snd_ctl_elem_value* ucontrol);
#define SOC_DAPM_ENUM(xname, xenum)                                                                                    \
    {                                                                                                                  \
        .iface = SNDRV_CTL_ELEM_IFACE_MIXER, .name = xname, .info = snd_soc_info_enum_double,                          \
        .get = snd_soc_dapm_get_enum_double, .put = snd_soc_dapm_put_enum_double,                                      \
        .private_value = (unsigned long)&xenum                                                                         \
    }

struct snd_soc_dapm_route {
    const char* sink;
    const char* control;
    const char* source;
};

/* Cards, their DAI links and the runtimes of bound links. */
struct snd_soc_card;
struct snd_soc_pcm_runtime;

struct snd_soc_ops {
    int (*startup)(struct snd_pcm_substream*);
    void (*shutdown)(struct snd_pcm_substream*);
    int (*hw_params)(struct snd_pcm_substream*, struct snd_pcm_hw_params*);
    int (*hw_free)(struct snd_pcm_substream*);
};

struct snd_soc_dai_link_component {
    const char* name;
    struct device_node* of_node;
    const char* dai_name;
};

struct snd_soc_dai_link {
    const char* name;
    const char* stream_name;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 4, 0)
    struct snd_soc_dai_link_component* cpus;
    unsigned int num_cpus;
    struct snd_soc_dai_link_component* codecs;
    unsigned int num_codecs;
    struct snd_soc_dai_link_component* platforms;
    unsigned int num_platforms;
#else
    const char* cpu_name;
    struct device_node* cpu_of_node;
    const char* cpu_dai_name;
    const char* codec_name;
    struct device_node* codec_of_node;
    const char* codec_dai_name;
    struct snd_soc_dai_link_component* codecs;
    unsigned int num_codecs;
    const char* platform_name;
    struct device_node* platform_of_node;
#endif
    int id;
    unsigned int dai_fmt;
    const struct snd_soc_ops* ops;
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 4, 0)
#define SND_SOC_DAILINK_REG3(cpu, codec, platform)                                                                     \
    .cpus = cpu, .num_cpus = ARRAY_SIZE(cpu), .codecs = codec, .num_codecs = ARRAY_SIZE(codec), .platforms = platform, \
    .num_platforms = ARRAY_SIZE(platform)
#define SND_SOC_DAILINK_REG(name) SND_SOC_DAILINK_REG3(name##_cpus, name##_codecs, name##_platforms)
#define SND_SOC_DAILINK_DEF(name, def...) static struct snd_soc_dai_link_component name[] = {def}
#define SND_SOC_DAILINK_DEFS(name, cpu, codec, platform...)                                                            \
    SND_SOC_DAILINK_DEF(name##_cpus, cpu);                                                                             \
    SND_SOC_DAILINK_DEF(name##_codecs, codec);                                                                         \
    SND_SOC_DAILINK_DEF(name##_platforms, platform)
#define DAILINK_COMP_ARRAY(param...) param
#define COMP_EMPTY()                                                                                                   \
    {}
#define COMP_CPU(_dai)                                                                                                 \
    { .dai_name = _dai, }
#define COMP_CODEC(_name, _dai)                                                                                        \
    { .name = _name, .dai_name = _dai, }
#define COMP_PLATFORM(_name)                                                                                           \
    { .name = _name }
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 7, 0)
struct snd_soc_pcm_runtime {
    struct snd_soc_card* card;
    struct snd_soc_dai_link* dai_link;
    struct snd_soc_dai** dais; /* CPU DAIs, then codec DAIs */
    unsigned int num_cpus;
    unsigned int num_codecs;
    int num;
    struct snd_pcm* pcm;
};
#define asoc_rtd_to_cpu(rtd, n) (rtd)->dais[n]
#define asoc_rtd_to_codec(rtd, n) (rtd)->dais[n + (rtd)->dai_link->num_cpus]
#define asoc_substream_to_rtd(substream) ((struct snd_soc_pcm_runtime*)((substream)->private_data))
struct snd_soc_pcm_runtime* snd_soc_get_pcm_runtime(struct snd_soc_card* card, struct snd_soc_dai_link* dai_link);
#else
struct snd_soc_pcm_runtime {
    struct snd_soc_card* card;
    struct snd_soc_dai_link* dai_link;
    struct snd_soc_dai* cpu_dai;
    struct snd_soc_dai* codec_dai;
    int num;
    struct snd_pcm* pcm;
};
struct snd_soc_pcm_runtime* snd_soc_get_pcm_runtime(struct snd_soc_card* card, const char* dai_link);
#endif

/* The power-management operations of an ASoC card's driver. */
extern const struct dev_pm_ops snd_soc_pm_ops;

struct snd_soc_card {
    const char* name;
    const char* driver_name;
    struct device* dev;
    struct module* owner;
    struct snd_soc_dai_link* dai_link;
    int num_links;
    const struct snd_kcontrol_new* controls;
    int num_controls;
    const struct snd_soc_dapm_widget* dapm_widgets;
    int num_dapm_widgets;
    const struct snd_soc_dapm_route* dapm_routes;
    int num_dapm_routes;
    int (*late_probe)(struct snd_soc_card* card);
    void* drvdata;
};

static inline void snd_soc_card_set_drvdata(struct snd_soc_card* card, void* data) {
    card->drvdata = data;
}
static inline void* snd_soc_card_get_drvdata(struct snd_soc_card* card) {
    return card->drvdata;
}

/*
 * Binds every link to the registered DAIs it names (-EPROBE_DEFER while one
 * is missing), sets the links' formats on their DAIs, adds the card's
 * controls and builds its DAPM graph; a route naming no widget or no mux
 * item fails the registration, as in 6.1.
 */
int snd_soc_register_card(struct snd_soc_card* card);
/* Components are found by device-tree node only: none by device. */
static inline struct snd_soc_component* snd_soc_lookup_component(struct device* dev, const char* driver_name) {
    (void)dev, (void)driver_name;
    return NULL;
}
void snd_soc_unregister_card(struct snd_soc_card* card);

#ifdef __cplusplus
}
#endif

#endif
