#ifndef MOBU_SIMULATOR_BOARDCONTROLS_H
#define MOBU_SIMULATOR_BOARDCONTROLS_H

#include <string>
#include <vector>

namespace mobuboard {

/// Value type of a control, as the control interface reports it.
enum class ControlKind { Boolean, Integer, Enumerated };

/// How a volume control's raw values map to decibels (none for switches and selectors).
enum class DbScale {
    None,
    Step,  ///< dbMin at the minimum raw value, dbStep per raw step
    MinMax ///< dbMin at the minimum raw value, dbMax at the maximum, linear in between
};

/** One mixer control of the analogue board.
 * Decibel values are in hundredths of a dB, as alsa-lib's dB scales hold them. */
struct BoardControl {
    std::string name;
    ControlKind kind = ControlKind::Integer;
    unsigned int channels = 1;
    long min = 0, max = 1; ///< raw range (enumerations: 0 .. items - 1)
    long initial = 0;      ///< value every channel has when the board starts
    DbScale scale = DbScale::None;
    long dbMin = 0, dbMax = 0, dbStep = 0;
    std::vector<std::string> items; ///< item texts of an enumeration
};

/** The board's controls in the order the card registers them: the card's own 37
 * (input selectors, master volume and mutes, "Gain n Volume/Mute/Invert" interleaved
 * per channel, the sensitivities), the three selector controls made by the routing
 * widgets ("Mode", "Control", "RemoteButton"), and a stereo "Headphone Playback Volume"
 * that the switching plug-in follows. */
const std::vector<BoardControl>& boardControls();

/// Index of the control with that exact name in boardControls(), or -1.
int findBoardControl(const std::string& name);

/// A number that changes whenever the table's names, kinds, channel counts or ranges change.
unsigned int boardLayoutHash();

} // namespace mobuboard

#endif
