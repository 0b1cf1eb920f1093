#include "OptionParser.h"

#include <cctype>

namespace {
bool looksLikeNumber(const std::string& s) {
    return s.size() > 1 && s[0] == '-' && (std::isdigit(static_cast<unsigned char>(s[1])) || s[1] == '.');
}
bool isOption(const std::string& s) {
    return s.size() > 1 && s[0] == '-' && !looksLikeNumber(s);
}
} // namespace

void OptionParser::parse(int argc, const char* const argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg(argv[i]);
        if (!isOption(arg)) continue; // stray value
        std::string name = arg.substr(arg.compare(0, 2, "--") == 0 ? 2 : 1);
        std::string value;
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
        } else if (i + 1 < argc && !isOption(argv[i + 1]))
            value = argv[++i];
        if (!name.empty()) options[name] = value;
    }
}
