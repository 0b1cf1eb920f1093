#ifndef MOBU_TESTS_LOOPBACKBOARD_H
#define MOBU_TESTS_LOOPBACKBOARD_H

// A virtual board in a scratch directory for the loop-back tests: the
// configuration written by mobu-board-config (plus optional extra definitions),
// the environment that selects it for this process or a child, and clean-up of
// its shared memory.

#include "TestSupport.h"

#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <vector>

class LoopbackBoard {
public:
    /// Runs the generator with these options (e.g. {"--mode", "lockstep"}).
    explicit LoopbackBoard(const std::vector<std::string>& options = {}) {
        dir = mobutest::makeTempDir("board");
        std::vector<std::string> argv{MOBU_BOARD_CONFIG, dir};
        argv.insert(argv.end(), options.begin(), options.end());
        generated = mobutest::runProcess(argv);
        const std::string text = mobutest::readFile(dir + "/asound.conf");
        const size_t at = text.find("shm \"");
        if (at != std::string::npos) shm = text.substr(at + 5, text.find('"', at + 5) - at - 5);
    }
    ~LoopbackBoard() {
        if (!shm.empty()) { // the board's loop and the programme loop
            shm_unlink(("/" + shm).c_str());
            shm_unlink(("/" + shm + "-programme").c_str());
        }
        mobutest::removeTree(dir);
    }
    LoopbackBoard(const LoopbackBoard&) = delete;
    LoopbackBoard& operator=(const LoopbackBoard&) = delete;

    /// True when the generator succeeded and the loop-back PCMs are in the configuration.
    bool ok() const { return generated.status == 0 && !shm.empty(); }
    const mobutest::ProcessResult& generator() const { return generated; }
    const std::string& directory() const { return dir; }
    const std::string& shmName() const { return shm; }

    /// Adds definitions in ALSA configuration syntax (after the generated ones).
    void addConfig(const std::string& text) {
        extra += text;
        mobutest::writeFile(dir + "/extra.conf", extra);
    }

    std::string configPath() const {
        return extra.empty() ? dir + "/asound.conf" : dir + "/asound.conf:" + dir + "/extra.conf";
    }

    /// Selects the configuration for alsa-lib in this process.
    void use() const { setenv("ALSA_CONFIG_PATH", configPath().c_str(), 1); }

    /// Environment entries that select the configuration in a child process.
    std::vector<std::string> environment() const { return {"ALSA_CONFIG_PATH=" + configPath()}; }

    /** A command line for a program that loads our plug-ins (aplay, arecord, ...).
     * In sanitizer builds the plug-ins carry the sanitizer and the programs don't:
     * the run-time is preloaded into that program alone (not into a shell around it). */
    static std::vector<std::string> tool(const std::vector<std::string>& args) {
        std::vector<std::string> command;
#ifdef MOBU_SANITIZER_RUNTIME
        const char* preload = getenv("LD_PRELOAD");
        command = {"/usr/bin/env",
                   std::string("LD_PRELOAD=") + MOBU_SANITIZER_RUNTIME + (preload ? std::string(":") + preload : ""),
                   "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
#endif
        command.insert(command.end(), args.begin(), args.end());
        return command;
    }

private:
    std::string dir;
    std::string shm;
    std::string extra;
    mobutest::ProcessResult generated;
};

#endif
