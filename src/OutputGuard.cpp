#include "MobuEmbedded/OutputGuard.h"

#include <SafeFile.h>
#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int guardFileError = -1380;
constexpr int guardDesignError = -1381;
constexpr off_t maxFileBytes = 1 << 20;
constexpr double fullScale32 = 2147483648.0;

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

/// Reads a JSON file's text: a regular file of at most 1 MiB, never waiting on a FIFO or device.
int readText(const std::string& path, std::string& text, std::string& why) {
    const int ret = readBoundedFile(path, maxFileBytes, text);
    if (ret == 0) return 0;
    why = ret == SAFEFILE_NOT_REGULAR_ERROR ? "is not a regular file"
          : ret == SAFEFILE_TOO_LARGE_ERROR ? "is larger than 1 MiB"
                                            : std::string("can't be opened: ") + std::strerror(-ret);
    return ret == -ENOENT ? -ENOENT : guardFileError;
}

/// The key's own check: an object whose members are all among `allowed`.
bool onlyKeys(const Json::Value& v, std::initializer_list<const char*> allowed, const std::string& where,
              std::string& why) {
    if (!v.isObject()) {
        why = where + ": " + valueText(v) + " is not an object";
        return false;
    }
    for (const std::string& name : v.getMemberNames()) {
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return name == a; })) {
            std::string list;
            for (const char* a : allowed)
                list += std::string(list.empty() ? "" : ", ") + "\"" + a + "\"";
            why = where + (where.empty() ? "" : ".") + name + ": unknown key (expected " + list + ")";
            return false;
        }
    }
    return true;
}

bool readFilter(const Json::Value& v, const std::string& where, OutputGuard::Filter& f, std::string& why) {
    if (!onlyKeys(v, {"frequency", "order"}, where, why)) return false;
    const Json::Value& fr = v["frequency"];
    if (fr.isNull()) return why = where + ".frequency: missing", false;
    if (!fr.isNumeric() || fr.isBool() || !std::isfinite(fr.asDouble()) || fr.asDouble() <= 0.0)
        return why = where + ".frequency: " + valueText(fr) + " is not a frequency in Hz above 0", false;
    const Json::Value& o = v["order"];
    if (o.isNull()) return why = where + ".order: missing", false;
    if (!o.isNumeric() || o.isBool() || o.asDouble() != std::floor(o.asDouble()) || o.asDouble() < 1 ||
        o.asDouble() > OutputGuard::MAX_ORDER)
        return why = where + ".order: " + valueText(o) + " is not a whole number from 1 to " +
                     std::to_string(OutputGuard::MAX_ORDER),
               false;
    f.frequency = fr.asDouble();
    f.order = o.asInt();
    return true;
}

/// Butterworth sections of one filter, bilinear with the frequency pre-warped: one column each.
void butterworth(const OutputGuard::Filter& f, bool highpass, double fs, std::vector<Eigen::Vector3d>& b,
                 std::vector<Eigen::Vector3d>& a) {
    const double K = std::tan(M_PI * f.frequency / fs);
    const int n = f.order;
    for (int k = 1; k <= n / 2; ++k) {
        const double twoZeta = 2.0 * std::sin(M_PI * (2 * k - 1) / (2.0 * n)); // 1/Q
        const double norm = 1.0 / (1.0 + K * twoZeta + K * K);
        const double a1 = 2.0 * (K * K - 1.0) * norm, a2 = (1.0 - K * twoZeta + K * K) * norm;
        if (highpass)
            b.emplace_back(norm, -2.0 * norm, norm);
        else
            b.emplace_back(K * K * norm, 2.0 * K * K * norm, K * K * norm);
        a.emplace_back(1.0, a1, a2);
    }
    if (n % 2) {
        const double a1 = (K - 1.0) / (K + 1.0);
        if (highpass)
            b.emplace_back(1.0 / (1.0 + K), -1.0 / (1.0 + K), 0.0);
        else
            b.emplace_back(K / (1.0 + K), K / (1.0 + K), 0.0);
        a.emplace_back(1.0, a1, 0.0);
    }
}

int32_t toInt32(double v) {
    if (!(v < 2147483647.0)) return v != v ? 0 : INT32_MAX; // NaN never reaches an output
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v); // toward zero: never above the level it was limited to
}

} // namespace

int OutputGuard::readFile(const std::string& path, std::vector<Limits>& limits, std::string& error, int outputs) {
    limits.assign(static_cast<size_t>(std::max(outputs, 0)), Limits{});
    std::string text, why;
    const int ret = readText(path, text, why);
    if (ret < 0) {
        error = "the output guard file " + path + " " + why;
        return ret;
    }
    return parse(text, path, limits, error, outputs);
}

int OutputGuard::parse(const std::string& text, const std::string& source, std::vector<Limits>& limits,
                       std::string& error, int outputs) {
    limits.assign(static_cast<size_t>(std::max(outputs, 0)), Limits{});
    auto refuse = [&](const std::string& why) {
        error = "the output guard file " + source + ": " + why;
        limits.assign(static_cast<size_t>(std::max(outputs, 0)), Limits{});
        return guardFileError;
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
    std::string why;
    if (!onlyKeys(root, {"outputs"}, "", why)) return refuse(why.empty() ? "not a JSON object" : why);
    const Json::Value& list = root["outputs"];
    if (list.isNull()) return refuse("outputs: missing");
    if (!list.isArray()) return refuse("outputs: " + valueText(list) + " is not an array");
    std::vector<bool> seen(limits.size(), false);
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& e = list[i];
        const std::string where = "outputs[" + std::to_string(i) + "]";
        if (!onlyKeys(e, {"output", "highpass", "lowpass", "maxLevel"}, where, why)) return refuse(why);
        const Json::Value& o = e["output"];
        if (o.isNull()) return refuse(where + ".output: missing");
        if (!o.isNumeric() || o.isBool() || o.asDouble() != std::floor(o.asDouble()) || o.asDouble() < 0 ||
            o.asDouble() >= outputs)
            return refuse(where + ".output: " + valueText(o) + " is not an output number from 0 to " +
                          std::to_string(outputs - 1));
        const int m = o.asInt();
        if (seen[m]) return refuse(where + ".output: output " + std::to_string(m) + " is named twice");
        seen[m] = true;
        Limits l;
        if (e.isMember("highpass") && !readFilter(e["highpass"], where + ".highpass", l.highpass, why))
            return refuse(why);
        if (e.isMember("lowpass") && !readFilter(e["lowpass"], where + ".lowpass", l.lowpass, why)) return refuse(why);
        if (e.isMember("maxLevel")) {
            const Json::Value& v = e["maxLevel"];
            if (!v.isNumeric() || v.isBool() || !std::isfinite(v.asDouble()) || v.asDouble() > 0.0 ||
                v.asDouble() < -200.0)
                return refuse(where + ".maxLevel: " + valueText(v) + " is not a level in dBFS from -200 to 0");
            l.limited = true;
            l.maxLevel = v.asDouble();
        }
        if (l.highpass.order > 0 && l.lowpass.order > 0 && l.lowpass.frequency <= l.highpass.frequency)
            return refuse(where + ".lowpass.frequency: " + number(l.lowpass.frequency) +
                          " Hz is not above the high-pass frequency " + number(l.highpass.frequency) + " Hz");
        if (!l.guarded()) return refuse(where + ": names no \"highpass\", \"lowpass\" or \"maxLevel\"");
        limits[m] = l;
    }
    error.clear();
    return 0;
}

std::string OutputGuard::describe(const std::vector<Limits>& limits) {
    std::string out;
    for (size_t m = 0; m < limits.size(); ++m) {
        const Limits& l = limits[m];
        if (!l.guarded()) continue;
        std::string line = "output " + std::to_string(m) + ":";
        const char* sep = " ";
        if (l.highpass.order > 0) {
            line += sep + std::string("high-pass ") + number(l.highpass.frequency) + " Hz order " +
                    std::to_string(l.highpass.order);
            sep = ", ";
        }
        if (l.lowpass.order > 0) {
            line += sep + std::string("low-pass ") + number(l.lowpass.frequency) + " Hz order " +
                    std::to_string(l.lowpass.order);
            sep = ", ";
        }
        if (l.limited) line += sep + std::string("at most ") + number(l.maxLevel) + " dBFS";
        out += (out.empty() ? "" : "\n") + line;
    }
    return out.empty() ? "no output guarded" : out;
}

int OutputGuard::design(const Limits& l, double fs, Eigen::ArrayXXd& B, Eigen::ArrayXXd& A, std::string& error,
                        const std::string& where) {
    for (const auto& [f, name] : {std::pair<const Filter&, const char*>{l.highpass, "highpass"},
                                  std::pair<const Filter&, const char*>{l.lowpass, "lowpass"}})
        if (f.order > 0 && !(f.frequency < fs / 2.0)) {
            error = where + name + ".frequency " + number(f.frequency) + " Hz is not below half the sample rate (" +
                    number(fs / 2.0) + " Hz)";
            return guardDesignError;
        }
    std::vector<Eigen::Vector3d> b, a;
    if (l.highpass.order > 0) butterworth(l.highpass, true, fs, b, a);
    if (l.lowpass.order > 0) butterworth(l.lowpass, false, fs, b, a);
    B.resize(3, static_cast<Eigen::Index>(b.size()));
    A.resize(3, static_cast<Eigen::Index>(a.size()));
    for (size_t j = 0; j < b.size(); ++j) {
        B.col(static_cast<Eigen::Index>(j)) = b[j].array();
        A.col(static_cast<Eigen::Index>(j)) = a[j].array();
    }
    return 0;
}

int OutputGuard::configure(const std::vector<Limits>& newLimits, double fs, std::string& error) {
    if (!(fs > 0.0) || !std::isfinite(fs)) {
        error = "the sample rate " + number(fs) + " Hz is not usable";
        return guardDesignError;
    }
    std::vector<Channel> built(newLimits.size());
    int count = 0;
    for (size_t m = 0; m < newLimits.size(); ++m) {
        const Limits& l = newLimits[m];
        Channel& c = built[m];
        Eigen::ArrayXXd B, A;
        const int ret = design(l, fs, B, A, error, "output " + std::to_string(m) + ": ");
        if (ret < 0) return ret;
        if (B.cols() > 0 && c.filters.reset(B, A) < 0) {
            error = "output " + std::to_string(m) + ": the filters could not be made";
            return guardDesignError;
        }
        c.filtering = B.cols() > 0;
        // A filtered output is held below full scale too: clipping after the filters would put back
        // what they took out (a high-passed tweeter signal that clips has energy at every frequency).
        c.limited = l.limited || c.filtering;
        c.limit = std::min(l.limited ? fullScale32 * std::pow(10.0, l.maxLevel / 20.0) : fullScale32, 2147483647.0);
        if (l.guarded()) ++count;
    }
    const Eigen::Index frames = channels.empty() ? 0 : channels.front().scratch.size();
    limits = newLimits;
    channels = std::move(built);
    rate = fs;
    release = 1.0 - std::exp(-1.0 / (RELEASE_SECONDS * fs));
    guardedCount = count;
    reserve(frames);
    error.clear();
    return 0;
}

void OutputGuard::reserve(Eigen::Index frames) {
    for (Channel& c : channels)
        if (c.scratch.size() < frames) c.scratch.setZero(frames);
}

void OutputGuard::clearState() {
    for (Channel& c : channels) {
        c.filters.clearState();
        c.gain = 1.0;
    }
}

void OutputGuard::process(int m, int32_t* data, Eigen::Index frames, Eigen::Index stride) {
    if (m < 0 || static_cast<size_t>(m) >= channels.size()) return;
    Channel& c = channels[static_cast<size_t>(m)];
    if (!c.filtering && !c.limited) return;
    if (c.scratch.size() < frames) c.scratch.setZero(frames); // only when not reserved
    auto x = c.scratch.head(frames);
    for (Eigen::Index n = 0; n < frames; ++n)
        x(n) = data[n * stride];
    if (c.filtering) c.filters.process(x, x);
    if (c.limited) {
        double g = c.gain;
        for (Eigen::Index n = 0; n < frames; ++n) {
            const double a = std::abs(x(n));
            if (a * g > c.limit) g = c.limit / a;
            x(n) *= g;
            g += (1.0 - g) * release;
        }
        c.gain = g;
    }
    for (Eigen::Index n = 0; n < frames; ++n)
        data[n * stride] = toInt32(x(n));
}

int OutputGuard::shape(const Limits& l, double fs, Eigen::Ref<Eigen::VectorXd> signal, double fullScale,
                       std::string& error) {
    Eigen::ArrayXXd B, A;
    const int ret = design(l, fs, B, A, error, "");
    if (ret < 0) return ret;
    Eigen::ArrayXd x = signal.array();
    if (B.cols() > 0) {
        IIRCascade filters;
        if (filters.reset(B, A) < 0 || filters.process(x, x) < 0) {
            error = "the guard's filters could not be made";
            return guardDesignError;
        }
    }
    if (l.limited) {
        const double limit = std::abs(fullScale) * std::pow(10.0, l.maxLevel / 20.0);
        const double peak = x.size() ? x.abs().maxCoeff() : 0.0;
        if (peak > limit) x *= limit / peak;
    }
    signal = x.matrix();
    error.clear();
    return 0;
}
