#include "ALSAConfig.h"
#include "SafeFile.h"

#include "ALSADebug.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ALSA {

Config::~Config() {
    clear();
}

void Config::clear() {
    if (!top) return;
    if (shared)
        snd_config_unref(top);
    else
        snd_config_delete(top);
    top = nullptr;
    shared = false;
}

int Config::load(const std::string& fileName) {
    clear();
    std::string text;
    int err = readBoundedFile(fileName, maxFileBytes, text);
    if (err == SAFEFILE_NOT_REGULAR_ERROR || err == SAFEFILE_TOO_LARGE_ERROR) return ALSA_CONFIG_FILE_ERROR;
    if (err < 0) return err;
    snd_config_t* tree = nullptr;
    if ((err = snd_config_top(&tree)) < 0) return err;
    snd_input_t* in = nullptr;
    if ((err = snd_input_buffer_open(&in, text.data(), static_cast<ssize_t>(text.size()))) < 0) {
        snd_config_delete(tree);
        return err;
    }
    err = snd_config_load(tree, in);
    snd_input_close(in);
    if (err < 0) {
        snd_config_delete(tree);
        return err;
    }
    top = tree;
    return 0;
}

int Config::loadDefault() {
    clear();
    snd_config_t* tree = nullptr;
    const int err = snd_config_update_ref(&tree);
    if (err < 0) return err;
    top = tree;
    shared = true;
    return 0;
}

int Config::searchNode(const std::string& key, snd_config_t*& node) const {
    if (!top) return ALSA_CONFIG_NOT_LOADED_ERROR;
    return snd_config_search(top, key.c_str(), &node);
}

int Config::search(const std::string& key) const {
    snd_config_t* node = nullptr;
    return searchNode(key, node);
}

int Config::search(const std::string& key, std::string& value) const {
    snd_config_t* node = nullptr;
    int err = searchNode(key, node);
    if (err < 0) return err;
    switch (snd_config_get_type(node)) {
    case SND_CONFIG_TYPE_INTEGER: {
        long v = 0;
        if ((err = snd_config_get_integer(node, &v)) < 0) return err;
        value = std::to_string(v);
        return 0;
    }
    case SND_CONFIG_TYPE_INTEGER64: {
        long long v = 0;
        if ((err = snd_config_get_integer64(node, &v)) < 0) return err;
        value = std::to_string(v);
        return 0;
    }
    case SND_CONFIG_TYPE_REAL: {
        double v = 0;
        if ((err = snd_config_get_real(node, &v)) < 0) return err;
        char text[32];
        for (int precision = 6; precision <= 17; ++precision) {
            snprintf(text, sizeof text, "%.*g", precision, v);
            if (strtod(text, nullptr) == v) break;
        }
        value = text;
        return 0;
    }
    case SND_CONFIG_TYPE_STRING: {
        const char* s = nullptr;
        if ((err = snd_config_get_string(node, &s)) < 0) return err;
        value = s ? s : "";
        return 0;
    }
    default: // compound or pointer
        return ALSA_CONFIG_NOT_TEXT_ERROR;
    }
}

} // namespace ALSA
