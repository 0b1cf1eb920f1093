#include "ALSAConfig.h"

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

namespace {
/** The text of a regular file of at most `limit` bytes.  Opened without blocking, so a FIFO
 * is refused instead of waited on, and read no further than the limit (a device never ends).
 * @return 0, -errno when it can't be opened or read, or ALSA_CONFIG_FILE_ERROR. */
int readBounded(const std::string& fileName, long limit, std::string& text) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat st {};
    int ret = fstat(fd, &st) != 0 ? -errno : S_ISREG(st.st_mode) && st.st_size <= limit ? 0 : ALSA_CONFIG_FILE_ERROR;
    char buffer[1 << 14];
    while (ret == 0) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ret = -errno;
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        if (static_cast<long>(text.size()) > limit) ret = ALSA_CONFIG_FILE_ERROR; // it grew since fstat
    }
    ::close(fd);
    return ret;
}
} // namespace

int Config::load(const std::string& fileName) {
    clear();
    std::string text;
    int err = readBounded(fileName, maxFileBytes, text);
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
