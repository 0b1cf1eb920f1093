// A text as the inside of a JSON string, for the library's small JSON writers.
#pragma once

#include <cstdio>
#include <string>

namespace mobujson {

/// ", \ and control characters escaped; everything else as it is.
inline std::string jsonText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7f) {
            char code[8];
            snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += ch;
        }
    }
    return out;
}

} // namespace mobujson
