#include "ALSAMixerElement.h"

#include <cmath>

namespace ALSA {

using Lock = std::lock_guard<std::recursive_mutex>;

MixerElement::MixerElement(snd_mixer_elem_t* elem, std::recursive_mutex& mixerLock)
    : elem(elem), lock(mixerLock), name(snd_mixer_selem_get_name(elem)), index(snd_mixer_selem_get_index(elem)) {}

bool MixerElement::hasPlaybackVolume() const {
    Lock l(lock);
    return snd_mixer_selem_has_playback_volume(elem) != 0;
}

bool MixerElement::hasPlaybackSwitch() const {
    Lock l(lock);
    return snd_mixer_selem_has_playback_switch(elem) != 0;
}

int MixerElement::getPlaybackChannelCount() const {
    Lock l(lock);
    if (!snd_mixer_selem_has_playback_volume(elem) && !snd_mixer_selem_has_playback_switch(elem)) return 0;
    if (snd_mixer_selem_is_playback_mono(elem)) return 1;
    int count = 0;
    for (int ch = 0; ch <= SND_MIXER_SCHN_LAST; ++ch)
        if (snd_mixer_selem_has_playback_channel(elem, static_cast<snd_mixer_selem_channel_id_t>(ch))) ++count;
    return count;
}

int MixerElement::getPlaybackDB(double& dB, int channel) const {
    Lock l(lock);
    long centi = 0;
    const int err = snd_mixer_selem_get_playback_dB(elem, static_cast<snd_mixer_selem_channel_id_t>(channel), &centi);
    if (err < 0) return err;
    dB = static_cast<double>(centi) / 100.0;
    return 0;
}

int MixerElement::getPlaybackDBRange(double& minDB, double& maxDB) const {
    Lock l(lock);
    long lo = 0, hi = 0;
    const int err = snd_mixer_selem_get_playback_dB_range(elem, &lo, &hi);
    if (err < 0) return err;
    minDB = static_cast<double>(lo) / 100.0;
    maxDB = static_cast<double>(hi) / 100.0;
    return 0;
}

int MixerElement::getPlaybackSwitch(int& value, int channel) const {
    Lock l(lock);
    return snd_mixer_selem_get_playback_switch(elem, static_cast<snd_mixer_selem_channel_id_t>(channel), &value);
}

int MixerElement::setPlaybackDB(double dB, int dir) {
    Lock l(lock);
    return snd_mixer_selem_set_playback_dB_all(elem, std::lround(dB * 100.0), dir);
}

int MixerElement::setPlaybackSwitch(int value) {
    Lock l(lock);
    return snd_mixer_selem_set_playback_switch_all(elem, value);
}

} // namespace ALSA
