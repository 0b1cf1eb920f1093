/* `mobufanout`: a small alsa-lib filter (extplug) plug-in used to check that
 * filter plug-ins stack on the virtual board the way the system's FIR plug-ins
 * do on the real one.  Playback only: the application plays `inputs` channels
 * (default 2) of S32_LE, the slave gets `channels` channels (default 8) of
 * S32_LE, and slave channel m carries input channel m modulo `inputs`.
 *
 *     pcm.fanout {
 *         type mobufanout
 *         slave.pcm "board_playback"
 *         channels 8
 *     }
 */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    snd_pcm_extplug_t ext;
    unsigned int inputs;
    unsigned int outputs;
} fanout_t;

static inline const int32_t* sample_in(const snd_pcm_channel_area_t* area, snd_pcm_uframes_t frame) {
    return (const int32_t*)((const char*)area->addr + (area->first + frame * area->step) / 8);
}

static inline int32_t* sample_out(const snd_pcm_channel_area_t* area, snd_pcm_uframes_t frame) {
    return (int32_t*)((char*)area->addr + (area->first + frame * area->step) / 8);
}

static snd_pcm_sframes_t fanout_transfer(snd_pcm_extplug_t* ext, const snd_pcm_channel_area_t* dst,
                                         snd_pcm_uframes_t dst_offset, const snd_pcm_channel_area_t* src,
                                         snd_pcm_uframes_t src_offset, snd_pcm_uframes_t size) {
    const fanout_t* fanout = (const fanout_t*)ext->private_data;
    for (unsigned int m = 0; m < fanout->outputs; ++m) {
        const snd_pcm_channel_area_t* in = &src[m % fanout->inputs];
        for (snd_pcm_uframes_t f = 0; f < size; ++f)
            *sample_out(&dst[m], dst_offset + f) = *sample_in(in, src_offset + f);
    }
    return (snd_pcm_sframes_t)size;
}

static int fanout_close(snd_pcm_extplug_t* ext) {
    free(ext->private_data);
    return 0;
}

static const snd_pcm_extplug_callback_t fanout_callbacks = {
    .transfer = fanout_transfer,
    .close = fanout_close,
};

SND_PCM_PLUGIN_DEFINE_FUNC(mobufanout) {
    snd_config_t* slave = NULL;
    long inputs = 2, outputs = 8;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id;
        if (snd_config_get_id(node, &id) < 0) continue;
        if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0) continue;
        if (strcmp(id, "slave") == 0) {
            slave = node;
        } else if (strcmp(id, "inputs") == 0 || strcmp(id, "channels") == 0) {
            long value;
            if (snd_config_get_integer(node, &value) < 0 || value < 1 || value > 64) {
                SNDERR("mobufanout: %s must be an integer from 1 to 64", id);
                return -EINVAL;
            }
            if (strcmp(id, "inputs") == 0)
                inputs = value;
            else
                outputs = value;
        } else {
            SNDERR("Unknown field %s", id);
            return -EINVAL;
        }
    }
    if (!slave) {
        SNDERR("mobufanout: no slave defined");
        return -EINVAL;
    }
    if (stream != SND_PCM_STREAM_PLAYBACK) {
        SNDERR("mobufanout: playback only");
        return -EINVAL;
    }
    fanout_t* fanout = calloc(1, sizeof(*fanout));
    if (!fanout) return -ENOMEM;
    fanout->inputs = (unsigned int)inputs;
    fanout->outputs = (unsigned int)outputs;
    fanout->ext.version = SND_PCM_EXTPLUG_VERSION;
    fanout->ext.name = "mobufanout: channel fan-out";
    fanout->ext.callback = &fanout_callbacks;
    fanout->ext.private_data = fanout;
    int err = snd_pcm_extplug_create(&fanout->ext, name, root, slave, stream, mode);
    if (err < 0) {
        free(fanout);
        return err;
    }
    snd_pcm_extplug_set_param_minmax(&fanout->ext, SND_PCM_EXTPLUG_HW_CHANNELS, fanout->inputs, fanout->inputs);
    snd_pcm_extplug_set_slave_param(&fanout->ext, SND_PCM_EXTPLUG_HW_CHANNELS, fanout->outputs);
    snd_pcm_extplug_set_param(&fanout->ext, SND_PCM_EXTPLUG_HW_FORMAT, SND_PCM_FORMAT_S32_LE);
    snd_pcm_extplug_set_slave_param(&fanout->ext, SND_PCM_EXTPLUG_HW_FORMAT, SND_PCM_FORMAT_S32_LE);
    *pcmp = fanout->ext.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(mobufanout);
