#include "LoopConfig.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace mobuloop {

namespace {

int readCount(snd_config_t* node, const char* id, long minimum, long maximum, long& value) {
    if (snd_config_get_integer(node, &value) < 0 || value < minimum || value > maximum) {
        SNDERR("mobuloop: %s must be an integer from %ld to %ld", id, minimum, maximum);
        return -EINVAL;
    }
    return 0;
}

int readText(snd_config_t* node, const char* id, std::string& value) {
    const char* text = nullptr;
    if (snd_config_get_string(node, &text) < 0 || text == nullptr) {
        SNDERR("mobuloop: %s must be a string", id);
        return -EINVAL;
    }
    value = text;
    return 0;
}

} // namespace

int LoopConfig::parse(const char* pcmName, snd_config_t* conf) {
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0) continue;
        if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0) continue;
        long value = 0;
        int err = 0;
        if (strcmp(id, "shm") == 0) {
            err = readText(node, id, shm);
        } else if (strcmp(id, "mode") == 0) {
            std::string text;
            err = readText(node, id, text);
            if (err == 0 && text == "realtime")
                mode = LoopMode::realtime;
            else if (err == 0 && text == "lockstep")
                mode = LoopMode::lockstep;
            else if (err == 0) {
                SNDERR("mobuloop: mode must be \"realtime\" or \"lockstep\", not \"%s\"", text.c_str());
                err = -EINVAL;
            }
        } else if (strcmp(id, "rate") == 0) {
            err = readCount(node, id, 8000, 768000, value);
            rate = static_cast<unsigned>(value);
        } else if (strcmp(id, "playback_channels") == 0) {
            err = readCount(node, id, 1, 64, value);
            playbackChannels = static_cast<unsigned>(value);
        } else if (strcmp(id, "capture_channels") == 0) {
            err = readCount(node, id, 1, 64, value);
            captureChannels = static_cast<unsigned>(value);
        } else if (strcmp(id, "room") == 0) {
            err = readText(node, id, room);
        } else if (strcmp(id, "noise_db") == 0) {
            double db = 0.0;
            // Written so that NaN (alsa-lib reads "-nan" as a real) fails too.
            if (snd_config_get_ireal(node, &db) < 0 || !(db >= -200.0 && db <= 0.0)) {
                SNDERR("mobuloop: noise_db must be a number from -200 to 0");
                err = -EINVAL;
            } else {
                noise = true;
                noiseDB = db;
            }
        } else if (strcmp(id, "polynomial") == 0) {
            std::string text;
            err = readText(node, id, text);
            polynomial.clear();
            const char* p = text.c_str();
            while (err == 0 && *p != '\0') {
                char* end = nullptr;
                const double a = std::strtod(p, &end);
                if (end == p || !std::isfinite(a) || std::fabs(a) > 1e6 || polynomial.size() == 9) {
                    SNDERR("mobuloop: polynomial must be 1 ... 9 finite numbers (coefficients of x, x^2, ...)");
                    err = -EINVAL;
                    break;
                }
                polynomial.push_back(a);
                for (p = end; *p == ' ' || *p == ','; ++p) {
                }
            }
            if (err == 0 && polynomial.empty()) {
                SNDERR("mobuloop: polynomial must be 1 ... 9 finite numbers (coefficients of x, x^2, ...)");
                err = -EINVAL;
            }
        } else if (strcmp(id, "loopback_channel") == 0) {
            err = readCount(node, id, 0, 63, value);
            loopbackChannel = static_cast<int>(value);
        } else if (strcmp(id, "delay") == 0) {
            err = readCount(node, id, 0, INT_MAX, value);
            delay = static_cast<unsigned long>(value);
        } else {
            SNDERR("Unknown field %s", id);
            err = -EINVAL;
        }
        if (err < 0) return err;
    }
    const char* missing = shm.empty()             ? "shm"
                          : rate == 0             ? "rate"
                          : playbackChannels == 0 ? "playback_channels"
                          : captureChannels == 0  ? "capture_channels"
                                                  : nullptr;
    if (missing) {
        SNDERR("mobuloop: %s needs the field %s", pcmName ? pcmName : "the PCM", missing);
        return -EINVAL;
    }
    if (loopbackChannel >= static_cast<int>(captureChannels)) {
        SNDERR("mobuloop: loopback_channel %d is not one of the %u capture channels", loopbackChannel, captureChannels);
        return -EINVAL;
    }
    if (shm.find('/') != std::string::npos || shm.size() > 200) {
        SNDERR("mobuloop: shm must be a plain name without '/'");
        return -EINVAL;
    }
    return 0;
}

} // namespace mobuloop
