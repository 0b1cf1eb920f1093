#ifndef MOBU_PLATFORM_ALSAMIXERELEMENT_H
#define MOBU_PLATFORM_ALSAMIXERELEMENT_H

#include <alsa/asoundlib.h>
#include <mutex>
#include <string>

namespace ALSA {

/** One simple-mixer element of an open ALSA::Mixer ("Gain 0", "Gain 0 Mute", "Headphone", ...).
 *
 * Elements are made and owned by their Mixer; a reference stays valid until the
 * mixer is closed or rescanned (Mixer::scanMixer) or the device removes the
 * element.  Every call takes the mixer's lock, so elements may be read from any
 * thread while the mixer's event thread updates them.
 *
 * Channel arguments are alsa-lib's channel numbers (0 = front left, or mono).  dB
 * values are in decibels (alsa-lib's hundredths divided by 100).  Results: 0 or
 * alsa-lib's negative errno (-EINVAL, say, for a channel or kind the element lacks).
 */
class MixerElement {
public:
    MixerElement(snd_mixer_elem_t* elem, std::recursive_mutex& mixerLock);
    MixerElement(const MixerElement&) = delete;
    MixerElement& operator=(const MixerElement&) = delete;

    /// The element's name, e.g. "Gain 3 Mute".
    const std::string& getName() const { return name; }
    /// The element's index (0 unless the device has several elements of one name).
    unsigned int getIndex() const { return index; }
    /// The alsa-lib element.
    snd_mixer_elem_t* getElem() const { return elem; }

    /// True when the element has a playback (or common) volume.
    bool hasPlaybackVolume() const;
    /// True when the element has a playback (or common) switch.
    bool hasPlaybackSwitch() const;
    /// Number of playback channels: 0 for an element without playback volume or switch.
    int getPlaybackChannelCount() const;

    /// The playback volume of a channel in dB.
    int getPlaybackDB(double& dB, int channel = 0) const;
    /// The playback volume's dB range.
    int getPlaybackDBRange(double& minDB, double& maxDB) const;
    /// The playback switch of a channel (0 off, 1 on).
    int getPlaybackSwitch(int& value, int channel = 0) const;

    /** Sets every playback channel to a dB value; dir picks the step when dB falls
     * between two (-1 the one below, 1 the one above). */
    int setPlaybackDB(double dB, int dir = -1);
    /// Sets the playback switch of every channel.
    int setPlaybackSwitch(int value);

private:
    snd_mixer_elem_t* const elem;
    std::recursive_mutex& lock;
    const std::string name;
    const unsigned int index;
};

} // namespace ALSA

#endif
