#include "BoardControls.h"

namespace mobuboard {

namespace {

BoardControl volume(const std::string& name, long max, long initial, DbScale scale, long dbMin, long dbMaxOrStep,
                    unsigned int channels = 1) {
    BoardControl c;
    c.name = name;
    c.kind = ControlKind::Integer;
    c.channels = channels;
    c.min = 0;
    c.max = max;
    c.initial = initial;
    c.scale = scale;
    c.dbMin = dbMin;
    if (scale == DbScale::Step)
        c.dbStep = dbMaxOrStep;
    else
        c.dbMax = dbMaxOrStep;
    return c;
}

BoardControl boolean(const std::string& name) {
    BoardControl c;
    c.name = name;
    c.kind = ControlKind::Boolean;
    return c;
}

BoardControl enumeration(const std::string& name, std::vector<std::string> items, long initial) {
    BoardControl c;
    c.name = name;
    c.kind = ControlKind::Enumerated;
    c.max = static_cast<long>(items.size()) - 1;
    c.initial = initial;
    c.items = std::move(items);
    return c;
}

std::vector<BoardControl> makeTable() {
    std::vector<BoardControl> t;
    // The selectors read back the state of their selector lines.  At power-up the
    // analogue lines select the balanced input and the digital lines the HDMI input.
    t.push_back(enumeration("Analogue Input Selection", {"RCA", "XLR", "Mic", "Phono"}, 1));
    t.push_back(enumeration("I2S Input Selection", {"USB", "Analogue", "HDMI"}, 2));
    t.push_back(volume("Master Volume", 255, 0, DbScale::Step, -12750, 50));
    t.push_back(boolean("Master Mute"));
    t.push_back(boolean("DAC DIT Mute"));
    for (int n = 0; n < 8; ++n) {
        const std::string base = "Gain " + std::to_string(n);
        t.push_back(volume(base + " Volume", 48, 24, DbScale::MinMax, -1200, 1200));
        t.push_back(boolean(base + " Mute"));
        t.push_back(boolean(base + " Invert"));
    }
    for (int n = 0; n < 8; ++n)
        t.push_back(volume("Sensitivity Gain " + std::to_string(n) + " Volume", 96, 48, DbScale::MinMax, -2400, 2400));
    t.push_back(enumeration(
        "Mode", {"Digital Receiver", "Analogue Input", "Audio Streaming", "USB Audio Input", "Speaker Calibration"},
        0));
    t.push_back(enumeration("Control",
                            {"STREAMING", "RCA", "OPTICAL2", "XLR", "USB", "COAX", "PHONO", "OPTICAL1", "AES",
                             "SPEAKER CALIBRATION", "EXIT SPEAKER CALIBRATION"},
                            0));
    t.push_back(enumeration("RemoteButton",
                            {"REMOTE_BUTTON_HOME_PRESSED", "REMOTE_BUTTON_MENU_PRESSED", "REMOTE_BUTTON_BACK_PRESSED",
                             "REMOTE_BUTTON_OK_PRESSED", "REMOTE_BUTTON_CURSOR_UP_PRESSED",
                             "REMOTE_BUTTON_CURSOR_DOWN_PRESSED", "REMOTE_BUTTON_CURSOR_LEFT_PRESSED",
                             "REMOTE_BUTTON_CURSOR_RIGHT_PRESSED", "REMOTE_BUTTON_BUTTON_RELEASED"},
                            0));
    // Headphone level, 0.5 dB steps down from 0 dB, starting at 0 dB.
    t.push_back(volume("Headphone Playback Volume", 255, 255, DbScale::Step, -12750, 50, 2));
    return t;
}

} // namespace

const std::vector<BoardControl>& boardControls() {
    // Never destroyed: a client's mixer-event thread may still read the controls while the process
    // exits (a plug-in's events run until its own destructor, which may come after this table's),
    // as a real card's controls outlive the process.
    struct Table {
        union {
            std::vector<BoardControl> controls;
        };
        Table() : controls(makeTable()) {}
        ~Table() {}
    };
    static const Table table;
    return table.controls;
}

int findBoardControl(const std::string& name) {
    const auto& t = boardControls();
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i].name == name) return static_cast<int>(i);
    return -1;
}

unsigned int boardLayoutHash() {
    // FNV-1a over everything that decides where and how values are stored.
    unsigned int h = 2166136261u;
    auto mix = [&h](const std::string& s) {
        for (unsigned char ch : s) {
            h ^= ch;
            h *= 16777619u;
        }
        h ^= 0xffu;
        h *= 16777619u;
    };
    for (const auto& c : boardControls()) {
        mix(c.name);
        mix(std::to_string(static_cast<int>(c.kind)) + "/" + std::to_string(c.channels) + "/" + std::to_string(c.min) +
            "/" + std::to_string(c.max));
    }
    return h;
}

} // namespace mobuboard
