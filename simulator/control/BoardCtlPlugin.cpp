#include "BoardCtlPlugin.h"

#include "BoardControls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace mobuboard {

namespace {

const BoardControl* control(snd_ctl_ext_key_t key) {
    const auto& table = boardControls();
    return key < table.size() ? &table[key] : nullptr;
}

} // namespace

const snd_ctl_ext_callback_t BoardCtlPlugin::callbacks = [] {
    snd_ctl_ext_callback_t c{};
    c.close = close_static;
    c.elem_count = elemCount_static;
    c.elem_list = elemList_static;
    c.find_elem = findElem_static;
    c.get_attribute = getAttribute_static;
    c.get_integer_info = getIntegerInfo_static;
    c.get_enumerated_info = getEnumeratedInfo_static;
    c.get_enumerated_name = getEnumeratedName_static;
    c.read_integer = readInteger_static;
    c.read_enumerated = readEnumerated_static;
    c.write_integer = writeInteger_static;
    c.write_enumerated = writeEnumerated_static;
    c.subscribe_events = subscribeEvents_static;
    c.read_event = readEvent_static;
    // No poll callbacks: alsa-lib polls ext.poll_fd (the state file's inotify descriptor).
    return c;
}();

int BoardCtlPlugin::create(const char* name, const std::string& statePath, int mode) {
    int err = state.open(statePath);
    if (err < 0) {
        SNDERR("mobuboard: cannot open the state file %s: %s", statePath.c_str(), snd_strerror(err));
        return err;
    }
    const size_t n = boardControls().size();
    slots.resize(n);
    seen.assign(n, 0);
    pending.assign(n, 0);

    ext.version = SND_CTL_EXT_VERSION;
    ext.card_idx = 0;
    snprintf(ext.id, sizeof ext.id, "%s", "MobuBoard");
    snprintf(ext.driver, sizeof ext.driver, "%s", "mobuboard");
    snprintf(ext.name, sizeof ext.name, "%s", "mobu_digi_anasoundcard");
    snprintf(ext.longname, sizeof ext.longname, "Virtual analogue board, state in %s", statePath.c_str());
    snprintf(ext.mixername, sizeof ext.mixername, "%s", "Virtual analogue board");
    ext.poll_fd = state.eventDescriptor();
    ext.callback = &callbacks;
    ext.private_data = this;
    ext.tlv.c = tlv_static;
    return snd_ctl_ext_create(&ext, name, mode);
}

int BoardCtlPlugin::elemList(unsigned int offset, snd_ctl_elem_id_t* id) {
    const BoardControl* c = control(offset);
    if (!c) return -EINVAL;
    snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_id_set_name(id, c->name.c_str());
    snd_ctl_elem_id_set_index(id, 0);
    return 0;
}

snd_ctl_ext_key_t BoardCtlPlugin::findElem(const snd_ctl_elem_id_t* id) {
    if (snd_ctl_elem_id_get_interface(id) != SND_CTL_ELEM_IFACE_MIXER || snd_ctl_elem_id_get_index(id) != 0)
        return SND_CTL_EXT_KEY_NOT_FOUND;
    const int i = findBoardControl(snd_ctl_elem_id_get_name(id));
    return i < 0 ? SND_CTL_EXT_KEY_NOT_FOUND : static_cast<snd_ctl_ext_key_t>(i);
}

int BoardCtlPlugin::getAttribute(snd_ctl_ext_key_t key, int* type, unsigned int* acc, unsigned int* count) {
    const BoardControl* c = control(key);
    if (!c) return -EINVAL;
    switch (c->kind) {
    case ControlKind::Boolean:
        *type = SND_CTL_ELEM_TYPE_BOOLEAN;
        break;
    case ControlKind::Integer:
        *type = SND_CTL_ELEM_TYPE_INTEGER;
        break;
    case ControlKind::Enumerated:
        *type = SND_CTL_ELEM_TYPE_ENUMERATED;
        break;
    }
    *acc = SND_CTL_EXT_ACCESS_READWRITE;
    if (c->scale != DbScale::None) *acc |= SND_CTL_EXT_ACCESS_TLV_READ | SND_CTL_EXT_ACCESS_TLV_CALLBACK;
    *count = c->channels;
    return 0;
}

int BoardCtlPlugin::getIntegerInfo(snd_ctl_ext_key_t key, long* imin, long* imax, long* istep) {
    const BoardControl* c = control(key);
    if (!c) return -EINVAL;
    *imin = c->min;
    *imax = c->max;
    *istep = 0;
    return 0;
}

int BoardCtlPlugin::getEnumeratedInfo(snd_ctl_ext_key_t key, unsigned int* items) {
    const BoardControl* c = control(key);
    if (!c || c->kind != ControlKind::Enumerated) return -EINVAL;
    *items = static_cast<unsigned int>(c->items.size());
    return 0;
}

int BoardCtlPlugin::getEnumeratedName(snd_ctl_ext_key_t key, unsigned int item, char* name, size_t maxLength) {
    const BoardControl* c = control(key);
    if (!c || c->kind != ControlKind::Enumerated || item >= c->items.size() || maxLength == 0) return -EINVAL;
    snprintf(name, maxLength, "%s", c->items[item].c_str());
    return 0;
}

int BoardCtlPlugin::readValues(snd_ctl_ext_key_t key, long* values) {
    const BoardControl* c = control(key);
    if (!c) return -EINVAL;
    BoardStateFile::Slot s;
    const int err = state.read(static_cast<int>(key), s);
    if (err < 0) return err;
    for (unsigned int ch = 0; ch < c->channels; ++ch)
        values[ch] = s.value[ch];
    return 0;
}

int BoardCtlPlugin::writeValues(snd_ctl_ext_key_t key, const long* values) {
    const BoardControl* c = control(key);
    if (!c) return -EINVAL;
    for (unsigned int ch = 0; ch < c->channels; ++ch)
        if (values[ch] < c->min || values[ch] > c->max) return -EINVAL;
    const int err = state.write(static_cast<int>(key), values);
    // Like the board's drivers, every accepted write counts as a change.
    return err < 0 ? err : 1;
}

void BoardCtlPlugin::subscribeEvents(int subscribe) {
    std::fill(pending.begin(), pending.end(), 0);
    pendingCount = 0;
    state.drainEvents();
    if (subscribe && state.readAll(slots) == 0)
        for (size_t i = 0; i < slots.size(); ++i)
            seen[i] = slots[i].generation;
}

int BoardCtlPlugin::readEvent(snd_ctl_elem_id_t* id, unsigned int* eventMask) {
    if (!ext.subscribed) {
        state.drainEvents();
        return -EAGAIN;
    }
    if (pendingCount == 0) {
        // Drain first, then read: a write that lands after the read leaves the
        // descriptor readable again, so no change is missed.
        state.drainEvents();
        const int err = state.readAll(slots);
        if (err < 0) return err;
        for (size_t i = 0; i < slots.size(); ++i)
            if (slots[i].generation != seen[i]) {
                seen[i] = slots[i].generation;
                pending[i] = 1;
                ++pendingCount;
            }
        if (pendingCount == 0) return -EAGAIN;
    }
    for (size_t i = 0; i < pending.size(); ++i)
        if (pending[i]) {
            pending[i] = 0;
            --pendingCount;
            snd_ctl_elem_id_clear(id);
            snd_ctl_elem_id_set_numid(id, static_cast<unsigned int>(i) + 1);
            elemList(i, id);
            *eventMask = SND_CTL_EVENT_MASK_VALUE;
            return 1;
        }
    pendingCount = 0;
    return -EAGAIN;
}

int BoardCtlPlugin::readTLV(snd_ctl_ext_key_t key, int opFlag, unsigned int* tlv, unsigned int tlvSize) {
    const BoardControl* c = control(key);
    if (!c || c->scale == DbScale::None || opFlag != 0) return -ENXIO;
    if (tlvSize < 4 * sizeof(unsigned int)) return -ENOMEM;
    if (c->scale == DbScale::Step) {
        tlv[0] = SND_CTL_TLVT_DB_SCALE;
        tlv[2] = static_cast<unsigned int>(c->dbMin);
        tlv[3] = static_cast<unsigned int>(c->dbStep) & 0xffffu; // no mute step
    } else {
        tlv[0] = SND_CTL_TLVT_DB_MINMAX;
        tlv[2] = static_cast<unsigned int>(c->dbMin);
        tlv[3] = static_cast<unsigned int>(c->dbMax);
    }
    tlv[1] = 2 * sizeof(unsigned int);
    return 0;
}

// ---- trampolines ----

void BoardCtlPlugin::close_static(snd_ctl_ext_t* ext) {
    std::unique_ptr<BoardCtlPlugin> owned(self(ext)); // alsa-lib is done with the object
}

int BoardCtlPlugin::elemCount_static(snd_ctl_ext_t*) {
    return static_cast<int>(boardControls().size());
}

int BoardCtlPlugin::elemList_static(snd_ctl_ext_t* ext, unsigned int offset, snd_ctl_elem_id_t* id) {
    return self(ext)->elemList(offset, id);
}

snd_ctl_ext_key_t BoardCtlPlugin::findElem_static(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id) {
    return self(ext)->findElem(id);
}

int BoardCtlPlugin::getAttribute_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int* type, unsigned int* acc,
                                        unsigned int* count) {
    return self(ext)->getAttribute(key, type, acc, count);
}

int BoardCtlPlugin::getIntegerInfo_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* imin, long* imax,
                                          long* istep) {
    return self(ext)->getIntegerInfo(key, imin, imax, istep);
}

int BoardCtlPlugin::getEnumeratedInfo_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
    return self(ext)->getEnumeratedInfo(key, items);
}

int BoardCtlPlugin::getEnumeratedName_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int item, char* name,
                                             size_t maxLength) {
    return self(ext)->getEnumeratedName(key, item, name, maxLength);
}

int BoardCtlPlugin::readInteger_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
    return self(ext)->readValues(key, value);
}

int BoardCtlPlugin::readEnumerated_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
    long values[BoardStateFile::MAX_CHANNELS];
    const int err = self(ext)->readValues(key, values);
    if (err < 0) return err;
    for (unsigned int ch = 0; ch < boardControls()[key].channels; ++ch)
        items[ch] = static_cast<unsigned int>(values[ch]);
    return 0;
}

int BoardCtlPlugin::writeInteger_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
    return self(ext)->writeValues(key, value);
}

int BoardCtlPlugin::writeEnumerated_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
    const BoardControl* c = control(key);
    if (!c) return -EINVAL;
    long values[BoardStateFile::MAX_CHANNELS] = {};
    for (unsigned int ch = 0; ch < c->channels; ++ch)
        values[ch] = static_cast<long>(items[ch]);
    return self(ext)->writeValues(key, values);
}

void BoardCtlPlugin::subscribeEvents_static(snd_ctl_ext_t* ext, int subscribe) {
    self(ext)->subscribeEvents(subscribe);
}

int BoardCtlPlugin::readEvent_static(snd_ctl_ext_t* ext, snd_ctl_elem_id_t* id, unsigned int* eventMask) {
    return self(ext)->readEvent(id, eventMask);
}

int BoardCtlPlugin::tlv_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int opFlag, unsigned int, unsigned int* tlv,
                               unsigned int tlvSize) {
    return self(ext)->readTLV(key, opFlag, tlv, tlvSize);
}

} // namespace mobuboard

// ---- alsa-lib entry point: control type "mobuboard" ----
//
//   ctl.board {
//       type mobuboard
//       state "/path/to/board-mixer.state"   # shared value file (created if missing)
//   }

namespace {

/// Reads the device's configuration and opens it; never lets an exception reach alsa-lib.
int openBoardCtl(snd_ctl_t** handlep, const char* name, snd_config_t* conf, int mode) noexcept {
    try {
        std::string statePath;
        snd_config_iterator_t i, next;
        snd_config_for_each(i, next, conf) {
            snd_config_t* n = snd_config_iterator_entry(i);
            const char* id;
            if (snd_config_get_id(n, &id) < 0) continue;
            if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0) continue;
            if (strcmp(id, "state") == 0) {
                const char* s;
                if (snd_config_get_string(n, &s) < 0 || s[0] == '\0') {
                    SNDERR("mobuboard: the field state must be a file name");
                    return -EINVAL;
                }
                statePath = s;
                continue;
            }
            SNDERR("Unknown field %s", id);
            return -EINVAL;
        }
        if (statePath.empty()) {
            SNDERR("mobuboard: the field state (the shared value file) is missing");
            return -EINVAL;
        }
        auto plugin = std::make_unique<mobuboard::BoardCtlPlugin>();
        const int err = plugin->create(name, statePath, mode);
        if (err < 0) return err;
        *handlep = plugin.release()->handle(); // owned by the handle now; freed by close_static
        return 0;
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (...) {
        return -EINVAL;
    }
}

} // namespace

extern "C" {

SND_CTL_PLUGIN_DEFINE_FUNC(mobuboard) {
    return openBoardCtl(handlep, name, conf, mode);
}

SND_CTL_PLUGIN_SYMBOL(mobuboard)

} // extern "C"
