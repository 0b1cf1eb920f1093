#include "ALSAExternalPlugin.h"

#include "ThreadPriority.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <sched.h>

namespace ALSA {

namespace {

ALSAExternalPlugin* self(snd_pcm_extplug_t* ext) {
    return static_cast<ALSAExternalPlugin*>(ext->private_data);
}

snd_pcm_sframes_t onTransfer(snd_pcm_extplug_t* ext, const snd_pcm_channel_area_t* dst, snd_pcm_uframes_t dstOffset,
                             const snd_pcm_channel_area_t* src, snd_pcm_uframes_t srcOffset, snd_pcm_uframes_t size) {
    return self(ext)->transfer(dst, dstOffset, src, srcOffset, size);
}

int onClose(snd_pcm_extplug_t* ext) {
    const int ret = self(ext)->close();
    ext->pcm = nullptr; // alsa-lib frees the PCM after this
    return ret;
}

int onHwParams(snd_pcm_extplug_t* ext, snd_pcm_hw_params_t* params) {
    return self(ext)->hwParams(params);
}

int onHwFree(snd_pcm_extplug_t* ext) {
    return self(ext)->hwFree();
}

void onDump(snd_pcm_extplug_t* ext, snd_output_t* out) {
    self(ext)->dump(out);
}

int onInit(snd_pcm_extplug_t* ext) {
    return self(ext)->init();
}

} // namespace

ALSAExternalPlugin::ALSAExternalPlugin() : name("ALSAExternalPlugin default name") {
    callbacks.transfer = onTransfer;
    callbacks.close = onClose;
    callbacks.hw_params = onHwParams;
    callbacks.hw_free = onHwFree;
    callbacks.dump = onDump;
    callbacks.init = onInit;
    extplug.version = SND_PCM_EXTPLUG_VERSION;
    extplug.name = name.c_str();
    extplug.callback = &callbacks;
    extplug.private_data = this;
}

ALSAExternalPlugin::~ALSAExternalPlugin() = default;

void ALSAExternalPlugin::setName(const std::string& pluginName) {
    name = pluginName;
    extplug.name = name.c_str();
}

int ALSAExternalPlugin::hwParams(snd_pcm_hw_params_t* params) {
    snd_pcm_uframes_t frames = 0;
    int dir = 0;
    const int ret = snd_pcm_hw_params_get_period_size(params, &frames, &dir);
    periodSize = ret < 0 ? 0 : frames;
    snd_pcm_uframes_t buffer = 0;
    bufferSize = snd_pcm_hw_params_get_buffer_size(params, &buffer) < 0 ? 0 : buffer;
    return 0;
}

void ALSAExternalPlugin::dump(snd_output_t* out) {
    snd_output_printf(out, "%s\n", name.c_str());
    if (extplug.pcm && periodSize > 0) {
        snd_output_printf(out, "Its setup is:\n");
        snd_pcm_dump_setup(extplug.pcm, out);
    }
}

snd_pcm_sframes_t ALSAExternalPlugin::transfer(const snd_pcm_channel_area_t* dstAreas, snd_pcm_uframes_t dstOffset,
                                               const snd_pcm_channel_area_t* srcAreas, snd_pcm_uframes_t srcOffset,
                                               snd_pcm_uframes_t size) {
    const unsigned channels = std::min(extplug.channels, extplug.slave_channels);
    for (unsigned c = 0; c < channels; ++c)
        snd_pcm_area_copy(&dstAreas[c], dstOffset, &srcAreas[c], srcOffset, size, extplug.format);
    return static_cast<snd_pcm_sframes_t>(size);
}

int ALSAExternalPlugin::parseConfig(const char* pcmName, snd_config_t* conf, snd_pcm_stream_t, int) {
    slaveConf = nullptr;
    priority = -1;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0) continue;
        if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0) continue;
        if (strcmp(id, "slave") == 0) {
            slaveConf = node;
            continue;
        }
        if (strcmp(id, "priority") == 0) {
            long level = 0;
            const int top = sched_get_priority_max(SCHED_FIFO);
            if (snd_config_get_integer(node, &level) < 0 || level < 0 || level > top) {
                SNDERR("priority %s refused: give 0 (the client's scheduling is left alone) or a real-time "
                       "level of 1 ... %d",
                       valueText(node).c_str(), top);
                return -EINVAL;
            }
            priority = static_cast<int>(level);
            continue;
        }
        SNDERR("Unknown field %s in the definition of %s: a %s PCM has no such setting", id, pcmName, name.c_str());
        return -EINVAL;
    }
    return 0;
}

int ALSAExternalPlugin::create(const char* pcmName, snd_config_t* root, snd_pcm_stream_t stream, int mode) {
    if (!slaveConf) {
        SNDERR("No slave configuration for %s : %s external plugin", pcmName, name.c_str());
        return -EINVAL;
    }
    periodSize = bufferSize = 0;
    const int ret = snd_pcm_extplug_create(&extplug, pcmName, root, slaveConf, stream, mode);
    slaveConf = nullptr; // a node of the caller's configuration: not valid after the open
    if (ret < 0) extplug.pcm = nullptr;
    return ret;
}

int ALSAExternalPlugin::openPCM(const char* entry, snd_pcm_t** pcmp, const char* pcmName, snd_config_t* root,
                                snd_config_t* conf, snd_pcm_stream_t stream, int mode, bool constraintsDecide,
                                const char* returning) {
    std::cout << entry << std::endl;
    // Opening counts from here: a slave of the same type (opened by create) is refused too.
    if (extplug.pcm || opening) {
        SNDERR("%s: a PCM of this type is already open in this process (one at a time)", pcmName);
        return -EBUSY;
    }
    struct Opening {
        bool& flag;
        explicit Opening(bool& f) : flag(f) { flag = true; }
        ~Opening() { flag = false; }
    } guard(opening);
    // A field refused before the slave is read ends the open with the refusal's own
    // message; one refused after it leaves the PCM usable, as before.
    priority = -1;
    const int parsed = parseConfig(pcmName, conf, stream, mode);
    if (parsed < 0 && !slaveConf) return parsed;
    // The client's thread runs the transfers: raised as asked, and put back if the open fails.
    int policy = 0;
    sched_param before{};
    const bool saved = pthread_getschedparam(pthread_self(), &policy, &before) == 0;
    const auto restore = [&] {
        if (saved && priority != 0) pthread_setschedparam(pthread_self(), policy, &before);
    };
    if (priority != 0 && changeThreadPriority(priority) < 0)
        std::cout << "WARNING: Couldn't set the thread to " << (priority < 0 ? "maximum" : "the requested")
                  << " priority, running with lower then expected priority." << std::endl;
    int ret = create(pcmName, root, stream, mode);
    if (ret < 0) {
        restore();
        return ret;
    }
    if ((ret = specifyHWParams()) < 0 && constraintsDecide) {
        snd_pcm_close(extplug.pcm);
        restore();
        return ret;
    }
    *pcmp = extplug.pcm;
    std::cout << entry << returning << std::endl;
    return 0;
}

void ALSAExternalPlugin::printHWParams(bool withSampleRate) const {
    std::cout << "extplug.rate " << getRate() << "\nextplug.channels " << getChannels() << "\nextplug.slave_channels "
              << getSlaveChannels() << "\nformat " << formatDescription(getFormat()) << "\nslave format "
              << formatDescription(getSlaveFormat()) << "\n";
    if (withSampleRate) std::cout << "sample rate " << getRate() << " Hz\n";
    std::cout << "period size " << getPeriodSize() << std::endl;
}

int ALSAExternalPlugin::blockLength(snd_pcm_uframes_t maxBlock, const char* who, const char* how) const {
    if (getPeriodSize() == 0) {
        std::cout << "can't have 0 period size, exiting" << std::endl;
        return -1;
    }
    const int n = static_cast<int>(std::min(getPeriodSize(), maxBlock));
    if (static_cast<snd_pcm_uframes_t>(n) < getPeriodSize())
        printf("%s::hwParams periods of %lu frames are %s blocks of %d\n", who,
               static_cast<unsigned long>(getPeriodSize()), how, n);
    return n;
}

int ALSAExternalPlugin::setInputChannels(unsigned min, unsigned max) {
    return snd_pcm_extplug_set_param_minmax(&extplug, SND_PCM_EXTPLUG_HW_CHANNELS, min, max);
}

int ALSAExternalPlugin::setOutputChannels(const std::vector<unsigned>& list) {
    return snd_pcm_extplug_set_slave_param_list(&extplug, SND_PCM_EXTPLUG_HW_CHANNELS,
                                                static_cast<unsigned>(list.size()), list.data());
}

namespace {
std::vector<unsigned> asList(const std::vector<snd_pcm_format_t>& formats) {
    std::vector<unsigned> list;
    for (snd_pcm_format_t f : formats)
        list.push_back(static_cast<unsigned>(f));
    return list;
}
} // namespace

int ALSAExternalPlugin::setInputFormats(const std::vector<snd_pcm_format_t>& formats) {
    const std::vector<unsigned> list = asList(formats);
    return snd_pcm_extplug_set_param_list(&extplug, SND_PCM_EXTPLUG_HW_FORMAT, static_cast<unsigned>(list.size()),
                                          list.data());
}

int ALSAExternalPlugin::setOutputFormats(const std::vector<snd_pcm_format_t>& formats) {
    const std::vector<unsigned> list = asList(formats);
    return snd_pcm_extplug_set_slave_param_list(&extplug, SND_PCM_EXTPLUG_HW_FORMAT, static_cast<unsigned>(list.size()),
                                                list.data());
}

std::string ALSAExternalPlugin::valueText(snd_config_t* node) {
    char* text = nullptr;
    if (snd_config_get_ascii(node, &text) < 0 || text == nullptr) return "";
    std::string value(text);
    free(text);
    return value;
}

std::string ALSAExternalPlugin::formatDescription(snd_pcm_format_t format) {
    const char* text = snd_pcm_format_description(format);
    return text ? text : "unknown";
}

} // namespace ALSA
