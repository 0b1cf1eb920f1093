#ifndef MOBU_PLATFORM_ALSACONFIG_H
#define MOBU_PLATFORM_ALSACONFIG_H

#include <alsa/asoundlib.h>
#include <string>

namespace ALSA {

/** A configuration tree in ALSA configuration syntax, read with alsa-lib's parser.
 *
 * load() parses one file into a private tree; loadDefault() takes alsa-lib's own
 * configuration (the files ALSA_CONFIG_PATH names, or the system's, with their hooks
 * run).  Keys are searched by dotted path ("MobuFullDuplexFIR.filter"), and leaf
 * values are returned as text: strings as they are, integers in decimal, reals in
 * the shortest decimal form that reads back to the same value.
 *
 * Codes: alsa-lib's negative errno values (the parser's code from load(), -ENOENT
 * from the search when a key is missing), ALSA_CONFIG_NOT_LOADED_ERROR before a
 * tree is loaded, ALSA_CONFIG_NOT_TEXT_ERROR for a key that holds a compound,
 * ALSA_CONFIG_FILE_ERROR from load() for anything but a regular file of at most
 * maxFileBytes (a device or a FIFO is refused without being read or waited on).
 */
class Config {
public:
    Config() = default;
    ~Config();
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    /// Largest configuration file load() reads.
    static constexpr long maxFileBytes = 1L << 20;

    /** Parses a regular file of at most maxFileBytes, replacing any tree loaded before.
     * @return 0, -errno when it can't be opened, ALSA_CONFIG_FILE_ERROR, or the parser's code. */
    int load(const std::string& fileName);

    /// Takes alsa-lib's own configuration, replacing any tree loaded before.  @return 0 or a code.
    int loadDefault();

    /// Drops the loaded tree.
    void clear();

    /// True once a tree is loaded.
    bool isLoaded() const { return top != nullptr; }

    /// 0 when the dotted key exists (a value or a compound), else the search code.
    int search(const std::string& key) const;

    /** The value at a dotted key as text.
     * @return 0, the search code for a missing key, or ALSA_CONFIG_NOT_TEXT_ERROR. */
    int search(const std::string& key, std::string& value) const;

    /// The node at a dotted key (owned by this tree), for alsa-lib calls.  @return 0 or a code.
    int searchNode(const std::string& key, snd_config_t*& node) const;

private:
    snd_config_t* top = nullptr;
    bool shared = false; ///< top is alsa-lib's global tree (a reference, not ours to delete)
};

} // namespace ALSA

#endif
