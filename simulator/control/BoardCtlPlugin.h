#ifndef MOBU_SIMULATOR_BOARDCTLPLUGIN_H
#define MOBU_SIMULATOR_BOARDCTLPLUGIN_H

#include "BoardStateFile.h"

#include <alsa/asoundlib.h>
#include <alsa/control_external.h>

#include <string>
#include <vector>

namespace mobuboard {

/** The control device of the virtual analogue board: an alsa-lib external control
 * plug-in (control type "mobuboard") that publishes the board's mixer controls
 * (BoardControls.h) with their ranges, item texts and dB scales.
 *
 * Values live in a BoardStateFile shared by every process that opens the device.
 * The file's inotify descriptor is the plug-in's poll descriptor: after any process
 * writes a control, every subscribed handle becomes readable and reports a value
 * event for each control whose stored generation moved since it last looked, its
 * own writes included (as a sound card reports them).
 *
 * Writes outside a control's range (or an enumeration's items) are refused with
 * -EINVAL and change nothing.  The alsa-lib callbacks are static trampolines with a
 * `_static` suffix that forward to the member functions of the handle's object.
 */
class BoardCtlPlugin {
public:
    BoardCtlPlugin() = default;
    BoardCtlPlugin(const BoardCtlPlugin&) = delete;
    BoardCtlPlugin& operator=(const BoardCtlPlugin&) = delete;

    /** Opens the state file and creates the control handle.  On success alsa-lib owns
     * the object until the handle is closed.  @return 0 or a negative errno. */
    int create(const char* name, const std::string& statePath, int mode);

    /// The control handle made by create().
    snd_ctl_t* handle() const { return ext.handle; }

private:
    int elemList(unsigned int offset, snd_ctl_elem_id_t* id);
    snd_ctl_ext_key_t findElem(const snd_ctl_elem_id_t* id);
    int getAttribute(snd_ctl_ext_key_t key, int* type, unsigned int* acc, unsigned int* count);
    int getIntegerInfo(snd_ctl_ext_key_t key, long* imin, long* imax, long* istep);
    int getEnumeratedInfo(snd_ctl_ext_key_t key, unsigned int* items);
    int getEnumeratedName(snd_ctl_ext_key_t key, unsigned int item, char* name, size_t maxLength);
    int readValues(snd_ctl_ext_key_t key, long* values);
    int writeValues(snd_ctl_ext_key_t key, const long* values);
    void subscribeEvents(int subscribe);
    int readEvent(snd_ctl_elem_id_t* id, unsigned int* eventMask);
    int readTLV(snd_ctl_ext_key_t key, int opFlag, unsigned int* tlv, unsigned int tlvSize);

    static BoardCtlPlugin* self(snd_ctl_ext_t* ext) { return static_cast<BoardCtlPlugin*>(ext->private_data); }
    static void close_static(snd_ctl_ext_t* ext);
    static int elemCount_static(snd_ctl_ext_t* ext);
    static int elemList_static(snd_ctl_ext_t* ext, unsigned int offset, snd_ctl_elem_id_t* id);
    static snd_ctl_ext_key_t findElem_static(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id);
    static int getAttribute_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int* type, unsigned int* acc,
                                   unsigned int* count);
    static int getIntegerInfo_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* imin, long* imax, long* istep);
    static int getEnumeratedInfo_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items);
    static int getEnumeratedName_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int item, char* name,
                                        size_t maxLength);
    static int readInteger_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value);
    static int readEnumerated_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items);
    static int writeInteger_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value);
    static int writeEnumerated_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items);
    static void subscribeEvents_static(snd_ctl_ext_t* ext, int subscribe);
    static int readEvent_static(snd_ctl_ext_t* ext, snd_ctl_elem_id_t* id, unsigned int* eventMask);
    static int tlv_static(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int opFlag, unsigned int numid, unsigned int* tlv,
                          unsigned int tlvSize);

    static const snd_ctl_ext_callback_t callbacks;

    snd_ctl_ext_t ext{};
    BoardStateFile state;
    std::vector<BoardStateFile::Slot> slots; ///< scratch for reading the whole file
    std::vector<uint32_t> seen;              ///< generation of each control last reported
    std::vector<char> pending;               ///< controls with a value event still to report
    size_t pendingCount = 0;
};

} // namespace mobuboard

#endif
