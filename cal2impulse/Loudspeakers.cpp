#include "Loudspeakers.h"

#include <SafeFile.h>
#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

namespace loudspeakers {
namespace {

std::string number(double v) {
    std::ostringstream s;
    s.precision(12);
    s << v;
    return s.str();
}

std::string valueText(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return Json::writeString(w, v);
}

/// "" when v is an object whose keys are all in `allowed`, or what is wrong.
std::string onlyKeys(const Json::Value& v, std::initializer_list<const char*> allowed, const std::string& where) {
    if (!v.isObject()) return (where.empty() ? "the file" : where) + ": " + valueText(v) + " is not an object";
    for (const std::string& name : v.getMemberNames())
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return name == a; })) {
            std::string list;
            for (const char* a : allowed)
                list += std::string(list.empty() ? "" : ", ") + "\"" + a + "\"";
            return where + (where.empty() ? "" : ".") + name + ": unknown key (expected " + list + ")";
        }
    return "";
}

bool isNumber(const Json::Value& v) {
    return v.isNumeric() && !v.isBool() && std::isfinite(v.asDouble());
}

std::string readEdge(const Json::Value& v, const std::string& where, Edge& e) {
    if (std::string why = onlyKeys(v, {"frequency", "slope", "order"}, where); !why.empty()) return why;
    const Json::Value& f = v["frequency"];
    if (f.isNull()) return where + ".frequency: missing";
    if (!isNumber(f) || f.asDouble() < 10.0 || f.asDouble() > 24000.0)
        return where + ".frequency: " + valueText(f) + " is not a frequency from 10 to 24000 Hz";
    const Json::Value& s = v["slope"];
    if (s.isNull()) return where + ".slope: missing";
    const std::string slope = s.isString() ? s.asString() : "";
    const Json::Value& o = v["order"];
    if (slope == "LR12" || slope == "LR24" || slope == "LR48") {
        if (!o.isNull()) return where + ".order: only a \"linear\" slope takes an order (" + slope + " is fixed)";
        e.order = slope == "LR12" ? 2 : slope == "LR24" ? 4 : 8;
        e.lr = true;
    } else if (slope == "linear") {
        if (o.isNull()) return where + ".order: missing (a \"linear\" slope needs its order, 1 ... 16)";
        if (!isNumber(o) || o.asDouble() != std::floor(o.asDouble()) || o.asDouble() < 1 || o.asDouble() > 16)
            return where + ".order: " + valueText(o) + " is not a whole number from 1 to 16";
        e.order = o.asInt();
        e.lr = false;
    } else {
        return where + ".slope: " + valueText(s) + " is not \"LR12\", \"LR24\", \"LR48\" or \"linear\"";
    }
    e.frequency = f.asDouble();
    e.slope = slope;
    return "";
}

/// The protection, read by the output guard's own rules (its message's key put under `where`).
std::string readProtection(const Json::Value& v, const std::string& where, int output, int outputs,
                           OutputGuard::Limits& limits) {
    if (!v.isObject()) return where + ": " + valueText(v) + " is not an object";
    Json::Value entry = v;
    if (entry.isMember("output"))
        return where + ".output: unknown key (expected \"highpass\", \"lowpass\", \"maxLevel\")";
    entry["output"] = output;
    Json::Value root;
    root["outputs"].append(entry);
    std::vector<OutputGuard::Limits> all;
    std::string error;
    if (OutputGuard::parse(valueText(root), "", all, error, outputs) != 0) {
        const std::string key = "outputs[0]";
        const size_t at = error.find(key);
        return at == std::string::npos ? where + ": " + error : where + error.substr(at + key.size());
    }
    limits = all[static_cast<size_t>(output)];
    return "";
}

std::string readDriver(const Json::Value& e, const std::string& where, int outputs, Driver& d) {
    if (std::string why = onlyKeys(e, {"output", "loudspeaker", "role", "band", "trim", "protection"}, where);
        !why.empty())
        return why;
    const Json::Value& o = e["output"];
    if (o.isNull()) return where + ".output: missing";
    if (!isNumber(o) || o.asDouble() != std::floor(o.asDouble()) || o.asDouble() < 0 || o.asDouble() >= outputs)
        return where + ".output: " + valueText(o) + " is not an output number from 0 to " + std::to_string(outputs - 1);
    d.output = o.asInt();
    for (const auto& [key, target] : {std::pair<const char*, std::string*>{"loudspeaker", &d.loudspeaker},
                                      std::pair<const char*, std::string*>{"role", &d.role}}) {
        const Json::Value& s = e[key];
        if (s.isNull()) return where + "." + key + ": missing";
        if (!s.isString() || s.asString().empty() || s.asString().size() > 32)
            return where + "." + key + ": " + valueText(s) + " is not a name of 1 ... 32 characters";
        *target = s.asString();
    }
    const Json::Value& band = e["band"];
    if (band.isNull()) return where + ".band: missing";
    if (std::string why = onlyKeys(band, {"low", "high"}, where + ".band"); !why.empty()) return why;
    if (band.isMember("low"))
        if (std::string why = readEdge(band["low"], where + ".band.low", d.low); !why.empty()) return why;
    if (band.isMember("high"))
        if (std::string why = readEdge(band["high"], where + ".band.high", d.high); !why.empty()) return why;
    if (!d.low.present() && !d.high.present()) return where + ".band: names neither \"low\" nor \"high\"";
    if (d.low.present() && d.high.present() && !(d.high.frequency >= 2.0 * d.low.frequency))
        return where + ".band.high.frequency: " + number(d.high.frequency) +
               " Hz is not at least an octave above the low edge " + number(d.low.frequency) + " Hz";
    if (e.isMember("trim")) {
        const Json::Value& t = e["trim"];
        if (!isNumber(t) || t.asDouble() < -30.0 || t.asDouble() > 6.0)
            return where + ".trim: " + valueText(t) + " is not a level in dB from -30 to 6";
        d.trimDB = t.asDouble();
    }
    if (e.isMember("protection")) {
        if (std::string why = readProtection(e["protection"], where + ".protection", d.output, outputs, d.protection);
            !why.empty())
            return why;
        d.protected_ = true;
    }
    const auto& p = d.protection;
    if (d.tweeter()) {
        if (!d.low.present())
            return where + ".band.low: missing (output " + std::to_string(d.output) +
                   " is a tweeter: it needs a low crossover edge)";
        if (p.highpass.order == 0)
            return where + ".protection.highpass: missing (output " + std::to_string(d.output) +
                   " is a tweeter: it needs a protection high-pass below its crossover)";
    }
    if (p.highpass.order > 0 && d.low.present() && !(p.highpass.frequency < d.low.frequency))
        return where + ".protection.highpass.frequency: " + number(p.highpass.frequency) +
               " Hz is not below the crossover " + number(d.low.frequency) + " Hz";
    if (p.highpass.order > 0 && d.high.present() && !(p.highpass.frequency < d.high.frequency))
        return where + ".protection.highpass.frequency: " + number(p.highpass.frequency) +
               " Hz is not below the band's high edge " + number(d.high.frequency) + " Hz";
    if (p.lowpass.order > 0 && d.high.present() && !(p.lowpass.frequency > d.high.frequency))
        return where + ".protection.lowpass.frequency: " + number(p.lowpass.frequency) +
               " Hz is not above the crossover " + number(d.high.frequency) + " Hz";
    if (p.lowpass.order > 0 && d.low.present() && !(p.lowpass.frequency > d.low.frequency))
        return where + ".protection.lowpass.frequency: " + number(p.lowpass.frequency) +
               " Hz is not above the band's low edge " + number(d.low.frequency) + " Hz";
    return "";
}

/// The bands of each loudspeaker must meet edge to edge: "" or what is wrong.
std::string checkTiling(const std::vector<Driver>& drivers) {
    for (const std::string& name : names(drivers)) {
        std::vector<const Driver*> own;
        for (const Driver& d : drivers)
            if (d.loudspeaker == name) own.push_back(&d);
        const auto lowOf = [](const Driver* d) { return d->low.present() ? d->low.frequency : 0.0; };
        std::sort(own.begin(), own.end(), [&](const Driver* a, const Driver* b) { return lowOf(a) < lowOf(b); });
        for (size_t i = 0; i + 1 < own.size(); ++i) {
            const Driver &a = *own[i], &b = *own[i + 1];
            const std::string pair = "loudspeaker \"" + name + "\", outputs " + std::to_string(a.output) + " and " +
                                     std::to_string(b.output);
            if (!b.low.present())
                return pair + ": two drivers without a low edge (each driver but the lowest needs one)";
            if (!a.high.present())
                return pair + ": output " + std::to_string(a.output) + " has no high edge, but output " +
                       std::to_string(b.output) + " starts at " + number(b.low.frequency) + " Hz";
            if (!(a.high == b.low))
                return pair + ": the crossover does not meet: output " + std::to_string(a.output) + " ends at " +
                       number(a.high.frequency) + " Hz " + a.high.slope +
                       (a.high.lr ? "" : " " + std::to_string(a.high.order)) + ", output " + std::to_string(b.output) +
                       " starts at " + number(b.low.frequency) + " Hz " + b.low.slope +
                       (b.low.lr ? "" : " " + std::to_string(b.low.order));
        }
    }
    return "";
}

} // namespace

int readFile(const std::string& path, std::vector<Driver>& drivers, std::string& error, int outputs) {
    drivers.clear();
    // Opened without blocking and bounded, as the guard's file: a FIFO or a device is refused, not waited on.
    std::string text;
    if (const int ret = readBoundedFile(path, 1 << 20, text); ret != 0) {
        error = "the loudspeaker description " + path + ": " +
                (ret == SAFEFILE_NOT_REGULAR_ERROR ? std::string("not a regular file")
                 : ret == SAFEFILE_TOO_LARGE_ERROR ? std::string("larger than 1 MiB")
                                                   : std::strerror(-ret));
        return ret == -ENOENT ? -ENOENT : FILE_ERROR;
    }
    return parse(text, path, drivers, error, outputs);
}

int parse(const std::string& text, const std::string& source, std::vector<Driver>& drivers, std::string& error,
          int outputs) {
    drivers.clear();
    const auto refuse = [&](const std::string& why) {
        error = "the loudspeaker description " + source + ": " + why;
        drivers.clear();
        return FILE_ERROR;
    };
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_); // duplicate keys and trailing text refused
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errs;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errs)) {
        while (!errs.empty() && (errs.back() == '\n' || errs.back() == ' '))
            errs.pop_back();
        return refuse("not valid JSON: " + errs);
    }
    if (std::string why = onlyKeys(root, {"outputs"}, ""); !why.empty()) return refuse(why);
    const Json::Value& list = root["outputs"];
    if (list.isNull()) return refuse("outputs: missing");
    if (!list.isArray() || list.empty()) return refuse("outputs: " + valueText(list) + " is not a non-empty array");
    std::vector<bool> seen(static_cast<size_t>(std::max(outputs, 0)), false);
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const std::string where = "outputs[" + std::to_string(i) + "]";
        Driver d;
        if (std::string why = readDriver(list[i], where, outputs, d); !why.empty()) return refuse(why);
        if (seen[static_cast<size_t>(d.output)])
            return refuse(where + ".output: output " + std::to_string(d.output) + " is named twice");
        seen[static_cast<size_t>(d.output)] = true;
        drivers.push_back(d);
    }
    if (std::string why = checkTiling(drivers); !why.empty()) return refuse(why);
    return 0;
}

std::vector<std::string> names(const std::vector<Driver>& drivers) {
    std::map<std::string, int> first;
    for (const Driver& d : drivers)
        if (!first.count(d.loudspeaker) || first[d.loudspeaker] > d.output) first[d.loudspeaker] = d.output;
    std::vector<std::string> out;
    for (const auto& entry : first)
        out.push_back(entry.first);
    std::sort(out.begin(), out.end(), [&](const std::string& a, const std::string& b) { return first[a] < first[b]; });
    return out;
}

std::string guardText(const std::vector<OutputGuard::Limits>& limits) {
    std::ostringstream out;
    out << "{ \"outputs\": [";
    bool any = false;
    for (size_t m = 0; m < limits.size(); ++m) {
        const auto& l = limits[m];
        if (!l.guarded()) continue;
        out << (any ? ",\n" : "\n") << "    { \"output\": " << m;
        if (l.highpass.order > 0)
            out << ", \"highpass\": { \"frequency\": " << number(l.highpass.frequency)
                << ", \"order\": " << l.highpass.order << " }";
        if (l.lowpass.order > 0)
            out << ", \"lowpass\": { \"frequency\": " << number(l.lowpass.frequency)
                << ", \"order\": " << l.lowpass.order << " }";
        if (l.limited) out << ", \"maxLevel\": " << number(l.maxLevel);
        out << " }";
        any = true;
    }
    out << (any ? "\n] }\n" : "] }\n");
    return out.str();
}

} // namespace loudspeakers
