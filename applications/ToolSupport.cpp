#include "ToolSupport.h"

#include <MobuEmbedded/MobuCommon.h>
#include <SafeFile.h>
#include <ScaleReference.h>
#include <Sox.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace toolsupport {

std::string checkArguments(int argc, char* argv[], const KnownOption* begin, const KnownOption* end) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg(argv[i]);
        if (arg.compare(0, 2, "--") != 0) return "unexpected argument " + arg + " (options are --name=value)";
        std::string name = arg.substr(2);
        const size_t eq = name.find('=');
        const bool hasValue = eq != std::string::npos;
        if (hasValue) name.erase(eq);
        const auto known = std::find_if(begin, end, [&](const KnownOption& o) { return name == o.name; });
        if (known == end) return "unknown option " + arg;
        if (hasValue && !known->value) return "--" + name + " takes no value";
        if (!hasValue && known->value) return "--" + name + " needs a value (--" + name + "=...)";
    }
    return "";
}

std::string replaceAudioFile(const std::string& path, double fs, const Eigen::MatrixXd& data) {
    Sox<double> out;
    const double peak = data.cwiseAbs().maxCoeff();
    int ret = out.openWrite(path, fs, static_cast<int>(data.cols()), peak > 0 ? peak : 1.0, 32);
    if (ret >= 0) ret = out.write(data);
    const int closed = out.closeWrite();
    if (ret < 0 || closed < 0) return "can't write " + path + " (" + std::to_string(ret < 0 ? ret : closed) + ")";
    return "";
}

bool runGnuplot(const std::string& script) {
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        execlp("gnuplot", "gnuplot", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string MeasurementFilterSwap::install(double fs, const Eigen::MatrixXd& coefficients) {
    restore();
    MobuCommon home;
    if (home.setFileName("fir-measure.wav") != 0) return "no home folder for ~/.mobu/fir-measure.wav";
    path = home.getFileName();
    kept = path + ".before-verify";
    had = access(path.c_str(), F_OK) == 0;
    if (had && (rename(path.c_str(), kept.c_str()) != 0 ||
                (access(scalereference::nameOf(path).c_str(), F_OK) == 0 &&
                 rename(scalereference::nameOf(path).c_str(), scalereference::nameOf(kept).c_str()) != 0)))
        return "can't set " + path + " aside: " + strerror(errno);
    installed = true;
    if (std::string wrong = replaceAudioFile(path, fs, coefficients); !wrong.empty()) {
        restore();
        return wrong;
    }
    return "";
}

void MeasurementFilterSwap::restore() {
    if (!installed) return;
    installed = false;
    unlink(scalereference::nameOf(path).c_str());
    unlink(path.c_str());
    if (had) {
        rename(scalereference::nameOf(kept).c_str(), scalereference::nameOf(path).c_str());
        rename(kept.c_str(), path.c_str());
    }
}

std::string makeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return "can't make the folder " + path + ": " + strerror(errno);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "can't make the folder " + path + ": " + strerror(errno);
    if (!S_ISDIR(st.st_mode)) return path + " is not a folder (a link or a file is there): refused";
    if (st.st_uid != geteuid()) return path + " belongs to another user: refused";
    return "";
}

std::string drawPicture(const std::string& png, const std::function<std::string(const std::string& output)>& script,
                        const std::string& scriptPath) {
    if (png.find_first_of("'\n\r") != std::string::npos)
        return "the picture's name " + png + " holds a quote or a line break, which gnuplot would read as commands";
    SafeFile picture;
    if (const int made = picture.create(png); made < 0)
        return "can't write " + png + ": " + SafeFileDebug().message(made);
    const std::string kept = scriptPath.empty() ? png + ".gp" : scriptPath;
    if (const int w = writeFileSafely(kept, script(picture.tempName())); w < 0)
        return "can't write " + kept + ": " + SafeFileDebug().message(w);
    if (!runGnuplot(kept)) return "gnuplot could not draw " + png + " (script " + kept + ")";
    if (const int done = picture.commit(); done < 0) return "can't write " + png + ": " + SafeFileDebug().message(done);
    return "";
}

} // namespace toolsupport
