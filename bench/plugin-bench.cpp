// plugin-bench: the cost of each FIR plug-in inside a playing program.
//
// aplay plays a stereo programme through each plug-in (8 filters of 65536 taps,
// periods of 256 and 1024 frames) to a null slave, and to the bare null slave
// alone; the difference of the CPU times (user + system, every thread) is the
// plug-in's cost.  It is printed per second of audio, i.e. as the fraction of one
// core the plug-in needs in real time.  The null slave takes frames as fast as
// they come, so a run takes its CPU time, not the programme's duration.
//
// Then the set-up: aplay plays one period through each plug-in (and the pink-noise
// generator) for periods from 4096 to 1048576 frames; its wall-clock time is nearly
// all set-up (building the filters or the noise spectra).  Filters serve blocks of at
// most 16384 frames and the noise generator 65536, so it levels off past those.
//
//   plugin-bench [-s seconds]   programme length (default 60)
#include <OptionParser.h>
#include <Sox.h>

#include <Eigen/Dense>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Run {
    double cpu = -1;  ///< seconds (user + system, every thread); -1: aplay failed
    double wall = -1; ///< seconds
};

/// Runs aplay with these arguments (output discarded).
Run aplay(const std::vector<std::string>& args, const std::string& config) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
        setenv("OMP_WAIT_POLICY", "passive", 1);
        if (FILE* null = std::fopen("/dev/null", "w")) {
            dup2(fileno(null), STDOUT_FILENO);
            dup2(fileno(null), STDERR_FILENO);
        }
        std::vector<char*> argv{const_cast<char*>("/usr/bin/aplay")};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    Run run;
    run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

} // namespace

int main(int argc, char* argv[]) {
    OptionParser options(argc, argv);
    double seconds = 60;
    options.getArg("s", seconds);
    char scratch[] = "/tmp/plugin-bench.XXXXXX";
    if (!mkdtemp(scratch)) return 1;
    const std::string dir = scratch;

    // 8 filters of 65536 taps (decaying noise) and the programme, raw, in both formats.
    std::mt19937 gen(1);
    std::normal_distribution<double> dist;
    Eigen::MatrixXd h(65536, 8);
    for (Eigen::Index c = 0; c < h.cols(); ++c) {
        for (Eigen::Index t = 0; t < h.rows(); ++t)
            h(t, c) = dist(gen) * std::exp(-4.0 * static_cast<double>(t) / static_cast<double>(h.rows()));
        h.col(c) *= 0.9 / h.col(c).cwiseAbs().sum();
    }
    if (writeAudioFile(dir + "/filters.wav", 48000, h) != 0) return 1;
    const auto frames = static_cast<size_t>(seconds * 48000);
    std::vector<int32_t> ints(2 * frames);
    std::vector<float> floats(2 * frames);
    for (size_t i = 0; i < ints.size(); ++i) {
        floats[i] = static_cast<float>(0.1 * dist(gen));
        ints[i] = static_cast<int32_t>(floats[i] * 2147483647.0f);
    }
    std::ofstream(dir + "/s32.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(ints.data()), static_cast<std::streamsize>(ints.size() * 4));
    std::ofstream(dir + "/float.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(floats.data()), static_cast<std::streamsize>(floats.size() * 4));

    const std::string config = dir + "/asound.conf";
    std::ofstream(config) << "<" << MOBU_ALSA_CONF << ">\n"
                          << "pcm_type.ALSAMobuFIRSwitching { lib \"" << MOBU_PLUGIN_SWITCHING << "\" }\n"
                          << "pcm_type.ALSAMobuFIRPlugin { lib \"" << MOBU_PLUGIN_PLAIN << "\" }\n"
                          << "pcm_type.ALSAMobuPinkGenerator { lib \"" << MOBU_PLUGIN_PINK << "\" }\n"
                          << "pcm.pink { type ALSAMobuPinkGenerator slave.pcm \"null\" }\n"
                          << "pcm.switching { type ALSAMobuFIRSwitching slave.pcm \"null\" filter \"" << dir
                          << "/filters.wav\" }\n"
                          << "pcm.plain { type ALSAMobuFIRPlugin slave.pcm \"null\" filter \"" << dir
                          << "/filters.wav\" }\n";

    printf("CPU time of aplay through each plug-in minus aplay to the bare null slave, per second of audio\n"
           "(the fraction of one core the plug-in needs in real time); 8 filters of 65536 taps, 48 kHz,\n"
           "%.0f s of stereo audio, OpenMP team waiting passively.\n\n",
           seconds);
    printf("  plug-in                period   bare s   with s   plug-in s   per second of audio\n");
    for (const char* plugin : {"switching", "plain"}) {
        const bool s32 = std::string(plugin) == "switching";
        for (const int period : {256, 1024}) {
            const std::vector<std::string> common{"-q",
                                                  "-t",
                                                  "raw",
                                                  "-r",
                                                  "48000",
                                                  "-c",
                                                  "2",
                                                  "-f",
                                                  s32 ? "S32_LE" : "FLOAT_LE",
                                                  "--period-size=" + std::to_string(period),
                                                  "--buffer-size=" + std::to_string(4 * period),
                                                  dir + (s32 ? "/s32.raw" : "/float.raw")};
            std::vector<std::string> bare{"-D", "null"}, with{"-D", plugin};
            bare.insert(bare.end(), common.begin(), common.end());
            with.insert(with.end(), common.begin(), common.end());
            const double b = aplay(bare, config).cpu, w = aplay(with, config).cpu;
            if (b < 0 || w < 0) {
                printf("  %-22s %6d   aplay failed\n", plugin, period);
                continue;
            }
            printf("  %-22s %6d   %6.2f   %6.2f   %9.2f   %.4f\n", plugin, period, b, w, w - b, (w - b) / seconds);
        }
    }

    printf("\nSet-up: wall-clock seconds of aplay playing one period through each plug-in (null slave).\n\n");
    printf("  plug-in        period   seconds\n");
    for (const char* plugin : {"switching", "plain", "pink"}) {
        const bool isFloat = std::string(plugin) == "plain";
        for (const long period : {4096L, 24000L, 96000L, 1048576L}) {
            if (static_cast<size_t>(period) > frames) continue; // a longer programme (-s) is needed
            const Run run =
                aplay({"-q", "-D", plugin, "-t", "raw", "-r", "48000", "-c", "2", "-f", isFloat ? "FLOAT_LE" : "S32_LE",
                       "--period-size=" + std::to_string(period), "--buffer-size=" + std::to_string(4 * period), "-s",
                       std::to_string(period), dir + (isFloat ? "/float.raw" : "/s32.raw")},
                      config);
            if (run.wall < 0)
                printf("  %-12s %8ld   aplay failed\n", plugin, period);
            else
                printf("  %-12s %8ld   %7.2f\n", plugin, period, run.wall);
        }
    }
    std::system(("rm -rf " + dir).c_str());
    return 0;
}
