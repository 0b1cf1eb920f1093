#include "TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace mobutest {

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv)
    : dir(makeTempDir("proc")) {
    const std::string outPath = dir + "/out", errPath = dir + "/err";
    pid = fork();
    if (pid == 0) {
        for (const auto& e : extraEnv) {
            const size_t eq = e.find('=');
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int er = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int nul = open("/dev/null", O_RDONLY);
        dup2(nul, 0);
        dup2(o, 1);
        dup2(er, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
}

Child::~Child() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    removeTree(dir);
}

void Child::signal(int signalNumber) const {
    if (pid > 0) kill(pid, signalNumber);
}

std::string Child::outputSoFar() const {
    return readFile(dir + "/out");
}

std::string Child::errorSoFar() const {
    return readFile(dir + "/err");
}

ProcessResult Child::wait(std::chrono::seconds limit) {
    ProcessResult result;
    if (pid <= 0) return result;
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid = -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(dir + "/out");
    result.err = readFile(dir + "/err");
    return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    return Child(argv, extraEnv).wait();
}

std::string makeTempDir(const std::string& prefix) {
    const char* base = getenv("MOBU_TEST_HOME");
    std::string tmpl = std::string(base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return std::string();
    return std::string(buf.data());
}

void removeTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string testHome() {
    const char* h = getenv("MOBU_TEST_HOME");
    return h ? h : std::string();
}

std::vector<std::string> homeEnvironment(const std::string& home) {
    const std::string dir = makeTempDir("passwd");
    std::ostringstream line;
    if (!home.empty())
        line << "mobutest:x:" << getuid() << ":" << getgid() << ":test:" << home << ":/bin/sh\n";
    else // some other user only: ours has no entry
        line << "someone:x:" << getuid() + 1 << ":" << getgid() << ":test:/nonexistent:/bin/sh\n";
    writeFile(dir + "/passwd", line.str());
    std::ostringstream group;
    group << "mobutest:x:" << getgid() << ":\n";
    writeFile(dir + "/group", group.str());
    return {"NSS_WRAPPER_PASSWD=" + dir + "/passwd", "NSS_WRAPPER_GROUP=" + dir + "/group",
            std::string("LD_PRELOAD=") + MOBU_NSS_WRAPPER, "HOME=" + (home.empty() ? "/nonexistent" : home)};
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

} // namespace mobutest
