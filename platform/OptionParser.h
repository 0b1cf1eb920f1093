#ifndef MOBU_PLATFORM_OPTIONPARSER_H
#define MOBU_PLATFORM_OPTIONPARSER_H

#include <map>
#include <sstream>
#include <string>
#include <vector>

/** Command-line option parser.
 *
 * Accepts "-N 512", "--N=512" and "--N 512"; a name followed by nothing (or by
 * another option) is a flag with an empty value.  Values that do not start
 * with '-' or that look like numbers ("-3", "-0.5") are taken as values.
 */
class OptionParser {
public:
    OptionParser() = default;
    OptionParser(int argc, const char* const argv[]) { parse(argc, argv); }

    /// Parses argv[1..argc-1]; later occurrences of a name override earlier ones.
    void parse(int argc, const char* const argv[]);

    /// True when the option was given (with or without a value).
    bool has(const std::string& name) const { return options.count(name) != 0; }

    /// The names of the options given, sorted (to refuse unknown ones).
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& o : options)
            result.push_back(o.first);
        return result;
    }

    /** Converts the option's value into value.
     * @return 0 on success, -1 when the option is missing, -2 when its value does not convert. */
    template <typename T> int getArg(const std::string& name, T& value) const {
        const auto it = options.find(name);
        if (it == options.end()) return -1;
        std::istringstream is(it->second);
        T v{};
        if (!(is >> v) || !(is >> std::ws).eof()) return -2;
        value = v;
        return 0;
    }

private:
    std::map<std::string, std::string> options;
};

template <> inline int OptionParser::getArg<std::string>(const std::string& name, std::string& value) const {
    const auto it = options.find(name);
    if (it == options.end()) return -1;
    value = it->second;
    return 0;
}

#endif
