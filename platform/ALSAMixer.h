#ifndef MOBU_PLATFORM_ALSAMIXER_H
#define MOBU_PLATFORM_ALSAMIXER_H

#include "ALSAMixerElement.h"

#include <alsa/asoundlib.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <vector>

namespace ALSA {

/** An ALSA mixer on one control device, through alsa-lib's simple-element layer.
 *
 * open() attaches a control device by name ("hw:0", "board", ...), registers the
 * simple elements, loads them and installs a value callback on each.  Elements are
 * found by name; the list follows elements the device adds or removes while events
 * are handled, and scanMixer() reloads it from the device.
 *
 * handleEvents() reads the device's pending events (call it when the poll
 * descriptors are readable; MixerEvents does that on its own thread) and calls
 * valueChanged() once for every element whose value changed.
 *
 * All operations take one recursive lock, so the element list may be used from
 * several threads; valueChanged() runs with it held.  Results: 0 (or a count) on
 * success, alsa-lib's negative errno, or ALSA_MIXER_NOT_OPEN_ERROR.
 */
class Mixer {
public:
    Mixer() = default;
    virtual ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    /** Opens the mixer of a control device, closing one that is open.
     * @return 0 or alsa-lib's code (the mixer is then closed). */
    virtual int open(const std::string& deviceName);

    /// Closes the mixer; its elements are gone afterwards.
    virtual void close();

    /// True while a mixer is open.
    bool isOpen() const;

    /// The name given to the last successful open ("" when closed).
    std::string getDeviceName() const;

    /** Rebuilds the element list from the device (after controls were added or
     * removed).  Element references taken before become invalid.  @return 0 or a code. */
    int scanMixer();

    /// The element of that name and index, or nullptr.
    MixerElement* getElement(const std::string& name, unsigned int index = 0);

    /// Names of all elements, in the device's order.
    std::vector<std::string> getElementNames() const;

    /** Handles the device's pending events without waiting.
     * @return the number of elements reported to valueChanged(), or a negative code. */
    int handleEvents();

protected:
    /// Called by handleEvents() for every element whose value changed (the lock is held).
    virtual void valueChanged(MixerElement& element) {}

    /// Fills fds with the device's poll descriptors.  @return their count or a negative code.
    int getPollDescriptors(std::vector<pollfd>& fds) const;

    /// Translates the first count entries of fds after poll() into revents.  @return 0 or a code.
    int getPollRevents(std::vector<pollfd>& fds, unsigned int count, unsigned short& revents) const;

private:
    static int mixerCallback_static(snd_mixer_t* mixer, unsigned int mask, snd_mixer_elem_t* elem);
    static int elementCallback_static(snd_mixer_elem_t* elem, unsigned int mask);
    void addElement(snd_mixer_elem_t* elem);
    void removeElement(snd_mixer_elem_t* elem);
    void markChanged(snd_mixer_elem_t* elem);
    void addAllElements();

    mutable std::recursive_mutex lock;
    snd_mixer_t* handle = nullptr;
    std::string deviceName;
    std::vector<std::unique_ptr<MixerElement>> elements;
    std::vector<MixerElement*> changed; ///< collected while alsa-lib handles events
    unsigned long scanCount = 0;        ///< advances whenever the element list is rebuilt
};

} // namespace ALSA

#endif
