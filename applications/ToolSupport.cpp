#include "ToolSupport.h"

#include <Sox.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

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

} // namespace toolsupport
