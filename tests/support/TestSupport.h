#ifndef MOBU_TESTS_TESTSUPPORT_H
#define MOBU_TESTS_TESTSUPPORT_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace mobutest {

/// Exit status and captured output of a child process.
struct ProcessResult {
    int status = -1; ///< exit status (0..255), or 128 + signal number
    std::string out; ///< standard output
    std::string err; ///< standard error
};

/** A child process running in the background, its standard output and error kept in
 * files; standard input is /dev/null.  Killed (SIGKILL) and reaped if never waited for. */
class Child {
public:
    /// Starts argv[0] with arguments; extraEnv entries ("NAME=value") are added to the environment.
    explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    /// Sends a signal (nothing once it has been waited for).
    void signal(int signalNumber) const;
    /// The process id (-1 once it has been waited for).
    pid_t id() const { return pid; }
    /// Standard output and error so far.
    std::string outputSoFar() const;
    std::string errorSoFar() const;
    /** Waits for the end; after `limit` it is killed and the status is 128 + SIGKILL. */
    ProcessResult wait(std::chrono::seconds limit = std::chrono::seconds(600));

private:
    pid_t pid = -1;
    std::string dir;
};

/** Runs argv[0] with arguments, waiting for it to end.
 * extraEnv entries ("NAME=value") are added to (or replace) the environment. */
ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});

/// A new empty directory under the test's scratch area.
std::string makeTempDir(const std::string& prefix = "t");

/// Removes a file or directory tree (no error if missing).
void removeTree(const std::string& path);

/// The home directory the test program was started with (its password entry).
std::string testHome();

/** Environment entries that give a child process the home directory `home`
 * through the password database (an empty home gives the user no entry). */
std::vector<std::string> homeEnvironment(const std::string& home);

/// Whole contents of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

/// Writes text to a file, replacing it.
void writeFile(const std::string& path, const std::string& text);

/// True when path exists.
bool exists(const std::string& path);

/** Runs f() on a thread of its own and returns its result.  A call still running
 * after `limit` ends the test program with a failure: a hang must not become the
 * whole suite's time-out. */
template <typename F> auto finishesWithin(std::chrono::seconds limit, F f) {
    auto result = std::async(std::launch::async, f);
    if (result.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: still running after %lld s\n", static_cast<long long>(limit.count()));
        std::_Exit(EXIT_FAILURE);
    }
    return result.get();
}

/** Runs f() on a thread of its own while `fifo` (a FIFO) has no writer, and gives whether it
 * returned within `limit`, and its result.  A call still blocked then is released: the FIFO is
 * opened for writing and closed again (the reader sees its end) until the call returns, so a
 * loader that waits on the FIFO fails the test rather than hanging it. */
template <typename F> auto returnsWithoutWriter(const std::string& fifo, std::chrono::seconds limit, F f) {
    auto result = std::async(std::launch::async, f);
    const bool inTime = result.wait_for(limit) == std::future_status::ready;
    for (int tries = 0; result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready; ++tries) {
        if (tries == 1000) {
            std::fprintf(stderr, "FAILED: still blocked on %s\n", fifo.c_str());
            std::_Exit(EXIT_FAILURE);
        }
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    }
    return std::make_pair(inTime, result.get());
}

/// Python interpreter with numpy and scipy (Debian's).
inline const char* referencePython() {
    return "/usr/bin/python3";
}

} // namespace mobutest

#endif
