// ALSA::Config: alsa-lib's configuration parser with dotted-key search.
#include "TestSupport.h"

#include <ALSAConfig.h>
#include <ALSADebug.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

namespace {

class ConfigFile : public testing::Test {
protected:
    void SetUp() override { dir = mobutest::makeTempDir("conf"); }
    void TearDown() override { mobutest::removeTree(dir); }

    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir + "/" + name;
        mobutest::writeFile(path, text);
        return path;
    }

    std::string dir;
};

} // namespace

TEST_F(ConfigFile, ReadsDottedKeysWithNumbersAsDecimalText) {
    const std::string path = write("fir.conf", R"(
# processor configuration
MobuFullDuplexFIR {
    filter "/home/user/filters/room correction.wav"
    paraeq eq.json
    mixerDevice "board"
    fifopath /tmp/mobu.fifo
}
numbers.count 42
numbers.negative -7
numbers.large 12345678901234
numbers.half 0.5
numbers.third 0.333333333333333314829616256247
)");
    ALSA::Config config;
    EXPECT_FALSE(config.isLoaded());
    ASSERT_EQ(config.load(path), 0);
    EXPECT_TRUE(config.isLoaded());

    EXPECT_EQ(config.search("MobuFullDuplexFIR"), 0);
    std::string v;
    EXPECT_EQ(config.search("MobuFullDuplexFIR.filter", v), 0);
    EXPECT_EQ(v, "/home/user/filters/room correction.wav");
    EXPECT_EQ(config.search("MobuFullDuplexFIR.paraeq", v), 0);
    EXPECT_EQ(v, "eq.json");
    EXPECT_EQ(config.search("MobuFullDuplexFIR.mixerDevice", v), 0);
    EXPECT_EQ(v, "board");
    EXPECT_EQ(config.search("MobuFullDuplexFIR.fifopath", v), 0);
    EXPECT_EQ(v, "/tmp/mobu.fifo");

    const std::pair<const char*, const char*> numbers[] = {{"numbers.count", "42"},
                                                           {"numbers.negative", "-7"},
                                                           {"numbers.large", "12345678901234"},
                                                           {"numbers.half", "0.5"},
                                                           {"numbers.third", "0.3333333333333333"}};
    for (const auto& [key, text] : numbers) {
        EXPECT_EQ(config.search(key, v), 0) << key;
        EXPECT_EQ(v, text) << key;
    }
}

TEST_F(ConfigFile, MissingKeysCompoundsAndBadFilesGiveCodes) {
    const std::string path = write("fir.conf", "MobuFullDuplexFIR { filter \"f.wav\" }\n");
    ALSA::Config config;
    std::string v = "unchanged";
    EXPECT_EQ(config.search("MobuFullDuplexFIR"), ALSA_CONFIG_NOT_LOADED_ERROR);
    EXPECT_EQ(config.search("MobuFullDuplexFIR.filter", v), ALSA_CONFIG_NOT_LOADED_ERROR);

    ASSERT_EQ(config.load(path), 0);
    EXPECT_EQ(config.search("MobuFullDuplexFIR.fifopath", v), -ENOENT);
    EXPECT_EQ(config.search("Other.filter"), -ENOENT);
    EXPECT_EQ(config.search("MobuFullDuplexFIR.filter.deeper", v), -ENOENT);
    EXPECT_EQ(config.search("MobuFullDuplexFIR", v), ALSA_CONFIG_NOT_TEXT_ERROR);
    EXPECT_EQ(v, "unchanged");

    // A failed load leaves no tree behind.
    EXPECT_EQ(config.load(dir + "/missing.conf"), -ENOENT);
    EXPECT_FALSE(config.isLoaded());
    EXPECT_LT(config.load(write("broken.conf", "MobuFullDuplexFIR { filter \"f.wav\"\n")), 0);
    EXPECT_FALSE(config.isLoaded());
    // Only a regular file of at most 1 MiB is read (a device or a FIFO: the host's test).
    EXPECT_EQ(config.load(write("large.conf", std::string(ALSA::Config::maxFileBytes + 1, ' '))),
              ALSA_CONFIG_FILE_ERROR);

    ALSA::ALSADebug table;
    for (int code :
         {ALSA_CONFIG_NOT_LOADED_ERROR, ALSA_CONFIG_NOT_TEXT_ERROR, ALSA_MIXER_NOT_OPEN_ERROR, ALSA_CONFIG_FILE_ERROR})
        EXPECT_FALSE(table.message(code).empty()) << code;
}

TEST_F(ConfigFile, DefaultConfigurationFollowsAlsaConfigPath) {
    const auto r = mobutest::runProcess({MOBU_BOARD_CONFIG, dir + "/board"});
    ASSERT_EQ(r.status, 0) << r.err;
    setenv("ALSA_CONFIG_PATH", (dir + "/board/asound.conf").c_str(), 1);
    ALSA::Config config;
    ASSERT_EQ(config.loadDefault(), 0);
    std::string v;
    EXPECT_EQ(config.search("ctl.board.type", v), 0);
    EXPECT_EQ(v, "mobuboard");
    EXPECT_EQ(config.search("ctl.board.state", v), 0);
    EXPECT_EQ(v, dir + "/board/board-mixer.state");
    EXPECT_EQ(config.search("pcm.null.type", v), 0); // alsa-lib's own definitions are kept
    EXPECT_EQ(v, "null");
    config.clear();
    EXPECT_FALSE(config.isLoaded());
    unsetenv("ALSA_CONFIG_PATH");
}
