#include "ALSAMixer.h"

#include "ALSADebug.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace ALSA {

using Lock = std::lock_guard<std::recursive_mutex>;

Mixer::~Mixer() {
    Mixer::close();
}

int Mixer::open(const std::string& name) {
    close();
    Lock l(lock);
    snd_mixer_t* h = nullptr;
    int err = snd_mixer_open(&h, 0);
    if (err < 0) return err;
    if ((err = snd_mixer_attach(h, name.c_str())) < 0 || (err = snd_mixer_selem_register(h, nullptr, nullptr)) < 0) {
        snd_mixer_close(h);
        return err;
    }
    handle = h;
    snd_mixer_set_callback_private(handle, this);
    snd_mixer_set_callback(handle, mixerCallback_static); // elements arrive as ADD events while loading
    if ((err = snd_mixer_load(handle)) < 0) {
        close();
        return err;
    }
    addAllElements();
    deviceName = name;
    return 0;
}

void Mixer::close() {
    Lock l(lock);
    if (!handle) return;
    changed.clear();
    elements.clear(); // the REMOVE callbacks of the close find nothing left
    ++scanCount;
    snd_mixer_close(handle);
    handle = nullptr;
    deviceName.clear();
}

bool Mixer::isOpen() const {
    Lock l(lock);
    return handle != nullptr;
}

std::string Mixer::getDeviceName() const {
    Lock l(lock);
    return deviceName;
}

int Mixer::scanMixer() {
    Lock l(lock);
    if (!handle) return ALSA_MIXER_NOT_OPEN_ERROR;
    changed.clear();
    ++scanCount;
    snd_mixer_free(handle);
    elements.clear();
    const int err = snd_mixer_load(handle);
    addAllElements();
    return err < 0 ? err : 0;
}

MixerElement* Mixer::getElement(const std::string& name, unsigned int index) {
    Lock l(lock);
    for (const auto& e : elements)
        if (e->getName() == name && e->getIndex() == index) return e.get();
    return nullptr;
}

std::vector<std::string> Mixer::getElementNames() const {
    Lock l(lock);
    std::vector<std::string> names;
    names.reserve(elements.size());
    for (const auto& e : elements)
        names.push_back(e->getName());
    return names;
}

int Mixer::handleEvents() {
    Lock l(lock);
    if (!handle) return ALSA_MIXER_NOT_OPEN_ERROR;
    changed.clear();
    const int err = snd_mixer_handle_events(handle);
    if (err < 0) return err;
    // Report from a copy: a hook may rescan, which frees the elements (scanCount moves).
    const std::vector<MixerElement*> report = std::move(changed);
    changed.clear();
    const unsigned long scan = scanCount;
    int count = 0;
    for (MixerElement* e : report) {
        if (scanCount != scan || !handle) break;
        valueChanged(*e);
        ++count;
    }
    return count;
}

int Mixer::getPollDescriptors(std::vector<pollfd>& fds) const {
    Lock l(lock);
    if (!handle) return ALSA_MIXER_NOT_OPEN_ERROR;
    const int n = snd_mixer_poll_descriptors_count(handle);
    if (n < 0) return n;
    fds.resize(static_cast<size_t>(n));
    return n == 0 ? 0 : snd_mixer_poll_descriptors(handle, fds.data(), static_cast<unsigned int>(n));
}

int Mixer::getPollRevents(std::vector<pollfd>& fds, unsigned int count, unsigned short& revents) const {
    Lock l(lock);
    if (!handle) return ALSA_MIXER_NOT_OPEN_ERROR;
    return snd_mixer_poll_descriptors_revents(handle, fds.data(), count, &revents);
}

void Mixer::addElement(snd_mixer_elem_t* elem) {
    for (const auto& e : elements)
        if (e->getElem() == elem) return;
    elements.push_back(std::make_unique<MixerElement>(elem, lock));
    snd_mixer_elem_set_callback_private(elem, this);
    snd_mixer_elem_set_callback(elem, elementCallback_static);
}

void Mixer::addAllElements() {
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(handle); e; e = snd_mixer_elem_next(e))
        addElement(e);
}

void Mixer::removeElement(snd_mixer_elem_t* elem) {
    changed.erase(
        std::remove_if(changed.begin(), changed.end(), [elem](const MixerElement* e) { return e->getElem() == elem; }),
        changed.end());
    elements.erase(std::remove_if(elements.begin(), elements.end(),
                                  [elem](const std::unique_ptr<MixerElement>& e) { return e->getElem() == elem; }),
                   elements.end());
}

void Mixer::markChanged(snd_mixer_elem_t* elem) {
    for (const MixerElement* e : changed)
        if (e->getElem() == elem) return;
    for (const auto& e : elements)
        if (e->getElem() == elem) {
            changed.push_back(e.get());
            return;
        }
}

int Mixer::mixerCallback_static(snd_mixer_t* mixer, unsigned int mask, snd_mixer_elem_t* elem) {
    auto* self = static_cast<Mixer*>(snd_mixer_get_callback_private(mixer));
    try {
        if (self && (mask & SND_CTL_EVENT_MASK_ADD)) self->addElement(elem);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    return 0;
}

int Mixer::elementCallback_static(snd_mixer_elem_t* elem, unsigned int mask) {
    auto* self = static_cast<Mixer*>(snd_mixer_elem_get_callback_private(elem));
    if (!self) return 0;
    if (mask == SND_CTL_EVENT_MASK_REMOVE) // all bits set: test it first
        self->removeElement(elem);
    else if (mask & SND_CTL_EVENT_MASK_VALUE) {
        try {
            self->markChanged(elem);
        } catch (const std::bad_alloc&) {
            return -ENOMEM;
        }
    }
    return 0;
}

} // namespace ALSA
