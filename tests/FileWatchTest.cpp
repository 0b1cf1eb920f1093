// inotify file watching: the watch table, how rewrites, replacements and
// deletions are decoded, and the watch thread with its hooks.
#include "TestSupport.h"

#include <FileWatch.h>
#include <FileWatchThreaded.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

using Kind = FileWatch::EventKind;

namespace {

const auto LONG_ENOUGH = std::chrono::seconds(20); // a bound for waits that end in milliseconds

/// Writes text through one open/write/close, truncating the file if it exists.
void rewrite(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

/// Writes a temporary file and renames it over path, as atomic writers do.
void replaceByRename(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    rewrite(tmp, text);
    ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
}

std::vector<Kind> kinds(const std::vector<FileWatch::Event>& events) {
    std::vector<Kind> k;
    for (const auto& e : events)
        k.push_back(e.kind);
    return k;
}

size_t countOf(const std::vector<FileWatch::Event>& events, Kind kind, const std::string& path) {
    size_t n = 0;
    for (const auto& e : events)
        n += e.kind == kind && e.path == path;
    return n;
}

/// Stops a thread, failing the whole program rather than hanging if it does not end.
void stopOrDie(Thread& t) {
    auto stopped = std::async(std::launch::async, [&t] { return t.stop(); });
    if (stopped.wait_for(LONG_ENOUGH) != std::future_status::ready) {
        fprintf(stderr, "the watch thread did not stop\n");
        std::_Exit(1);
    }
    EXPECT_EQ(stopped.get(), 0);
}

class Dir : public testing::Test {
protected:
    void SetUp() override {
        dir = mobutest::makeTempDir("watch");
        ASSERT_FALSE(dir.empty());
        file = dir + "/eq.json";
        rewrite(file, "{}");
    }
    void TearDown() override { mobutest::removeTree(dir); }

    std::vector<FileWatch::Event> drain(FileWatch& w) {
        std::vector<FileWatch::Event> events;
        EXPECT_GE(w.readEvents(events), 0);
        return events;
    }

    std::string dir, file;
};

} // namespace

// The watch table, without a thread.  inotify queues events while the system
// call runs, so after the call returns they can be read at once.

class FileWatchTable : public Dir {};

TEST_F(FileWatchTable, RefusesMissingPathsWithNonZeroLooksUpRemovesAndRefusesSecondNames) {
    FileWatch w;
    EXPECT_EQ(w.add(dir + "/missing.json"), -ENOENT);
    EXPECT_EQ(w.addFile(dir), -EISDIR);
    EXPECT_EQ(w.getWatchDescriptor(dir + "/missing.json"), -1);

    ASSERT_EQ(w.addFile(file), 0);
    const int wd = w.getWatchDescriptor(file);
    ASSERT_GE(wd, 0);
    EXPECT_EQ(w.getPath(wd), file);
    EXPECT_EQ(w.add(file), 0); // again: nothing changes
    EXPECT_EQ(w.getWatchDescriptor(file), wd);
    EXPECT_EQ(w.add(dir + "/./eq.json"), -EEXIST);
    EXPECT_EQ(w.paths(), std::vector<std::string>{file});

    EXPECT_EQ(w.rm(wd), 0);
    EXPECT_EQ(w.getWatchDescriptor(file), -1);
    EXPECT_EQ(w.getPath(wd), "");
    EXPECT_NE(w.rm(wd), 0);
    EXPECT_NE(w.rmPath(file), 0);
    rewrite(file, "{\"a\":1}");
    EXPECT_TRUE(drain(w).empty()); // removed: nothing reported
}

TEST_F(FileWatchTable, RewriteInPlaceIsModifiedThenOneCloseWrite) {
    FileWatch w;
    ASSERT_EQ(w.add(file), 0);
    rewrite(file, "{\"gain\":1}");
    const auto events = drain(w);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().kind, Kind::Modified);
    EXPECT_EQ(events.back().kind, Kind::CloseWrite);
    EXPECT_EQ(events.back().path, file);
    EXPECT_EQ(events.back().wd, w.getWatchDescriptor(file));
    EXPECT_EQ(countOf(events, Kind::CloseWrite, file), 1u);

    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    const auto attrib = drain(w);
    ASSERT_EQ(kinds(attrib), std::vector<Kind>{Kind::AttribChange});
    EXPECT_EQ(attrib[0].wd, w.getWatchDescriptor(file));

    // Opening for reading only and closing is no rewrite.
    const int fd = open(file.c_str(), O_RDONLY);
    close(fd);
    EXPECT_TRUE(drain(w).empty());
}

TEST_F(FileWatchTable, ReplacementByRenameIsOneCloseWriteAndTheWatchFollowsTheNewFile) {
    FileWatch w;
    ASSERT_EQ(w.add(file), 0);
    const int before = w.getWatchDescriptor(file);
    replaceByRename(file, "{\"gain\":2}");
    const auto events = drain(w);
    ASSERT_EQ(kinds(events), std::vector<Kind>{Kind::CloseWrite}); // no stray events of the old file
    EXPECT_EQ(events[0].path, file);
    const int after = w.getWatchDescriptor(file);
    EXPECT_GE(after, 0);
    EXPECT_NE(after, before);
    EXPECT_EQ(events[0].wd, after);
    EXPECT_EQ(w.getPath(before), "");

    rewrite(file, "{\"gain\":3}"); // the new file is watched
    EXPECT_EQ(countOf(drain(w), Kind::CloseWrite, file), 1u);
    replaceByRename(file, "{\"gain\":4}"); // and replacing it again works
    EXPECT_EQ(kinds(drain(w)), std::vector<Kind>{Kind::CloseWrite});
}

TEST_F(FileWatchTable, DeletionIsReportedAndAFileCreatedLaterUnderTheNameIsWatched) {
    FileWatch w;
    ASSERT_EQ(w.add(file), 0);
    ASSERT_EQ(unlink(file.c_str()), 0);
    const auto gone = drain(w);
    EXPECT_EQ(countOf(gone, Kind::DeleteSelf, file), 1u);
    EXPECT_EQ(w.getWatchDescriptor(file), -1);
    EXPECT_EQ(w.paths(), std::vector<std::string>{file}); // still on the list

    rewrite(file, "{}"); // created, written and closed
    EXPECT_EQ(kinds(drain(w)), std::vector<Kind>{Kind::CloseWrite});
    EXPECT_GE(w.getWatchDescriptor(file), 0);
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(kinds(drain(w)), std::vector<Kind>{Kind::AttribChange});

    // A path waiting for its file can be removed by name.
    ASSERT_EQ(unlink(file.c_str()), 0);
    drain(w);
    EXPECT_EQ(w.rmPath(file), 0);
    rewrite(file, "{}");
    EXPECT_TRUE(drain(w).empty());
}

TEST_F(FileWatchTable, AFileAwaitedIsReportedOnceWhenCreatedOrRenamedOntoItsName) {
    FileWatch w;
    EXPECT_EQ(w.addFileOrAwait(dir + "/none/filters.wav"), -ENOENT); // no folder to wait in
    for (const bool byRename : {false, true}) {
        SCOPED_TRACE(byRename ? "renamed onto the name" : "created in place");
        const std::string awaited = dir + (byRename ? "/b.wav" : "/a.wav");
        ASSERT_EQ(w.addFileOrAwait(awaited), 0);
        EXPECT_EQ(w.getWatchDescriptor(awaited), -1);
        byRename ? replaceByRename(awaited, "x") : rewrite(awaited, "x");
        const auto events = drain(w);
        EXPECT_EQ(countOf(events, Kind::CloseWrite, awaited), 1u);
        EXPECT_GE(w.getWatchDescriptor(awaited), 0) << "the file itself is watched from then on";
    }
}

TEST_F(FileWatchTable, AFileRenamedAwayIsNoLongerReportedUnderItsOldName) {
    FileWatch w;
    ASSERT_EQ(w.add(file), 0);
    const std::string moved = dir + "/elsewhere.json";
    ASSERT_EQ(rename(file.c_str(), moved.c_str()), 0);
    EXPECT_EQ(kinds(drain(w)), std::vector<Kind>{Kind::DeleteSelf});
    rewrite(moved, "{\"x\":1}");
    EXPECT_TRUE(drain(w).empty());

    // The editor's way: keep the old file as a backup, write a new one.
    rewrite(file, "{}");
    drain(w);
    ASSERT_EQ(rename(file.c_str(), (file + "~").c_str()), 0);
    rewrite(file, "{\"x\":2}");
    const auto events = drain(w);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, Kind::CloseWrite);
    EXPECT_EQ(countOf(events, Kind::CloseWrite, file), 1u);
    rewrite(file + "~", "old");
    EXPECT_TRUE(drain(w).empty()); // the backup is not the watched file
}

TEST_F(FileWatchTable, DirectoriesReportTheirEntriesAndWatchedEntriesOnce) {
    FileWatch w;
    ASSERT_EQ(w.add(dir + "/"), 0);
    EXPECT_EQ(w.paths(), std::vector<std::string>{dir});
    rewrite(dir + "/other.txt", "x");
    const auto entry = drain(w);
    EXPECT_EQ(countOf(entry, Kind::CloseWrite, dir + "/other.txt"), 1u);

    ASSERT_EQ(w.addFile(file), 0);
    rewrite(file, "{\"y\":1}");
    const auto both = drain(w);
    EXPECT_EQ(countOf(both, Kind::CloseWrite, file), 1u);
    EXPECT_EQ(countOf(both, Kind::CloseWrite, dir + "/eq.json"), 1u); // same string: once in all

    // Dropping the directory keeps the file watched, and the other way round.
    EXPECT_EQ(w.rmPath(dir), 0);
    replaceByRename(file, "{\"y\":2}");
    EXPECT_EQ(kinds(drain(w)), std::vector<Kind>{Kind::CloseWrite});
    rewrite(dir + "/other.txt", "y");
    EXPECT_TRUE(drain(w).empty());
}

TEST_F(FileWatchTable, ALostEventQueueReportsEveryWatchedFileAsRewritten) {
    FileWatch w;
    const std::string second = dir + "/second.json";
    rewrite(second, "{}");
    ASSERT_EQ(w.add(file), 0);
    ASSERT_EQ(w.add(second), 0);
    const int limit = std::atoi(mobutest::readFile("/proc/sys/fs/inotify/max_queued_events").c_str());
    ASSERT_GT(limit, 0);
    // Alternate between the files so the kernel cannot merge repeated events.
    const int a = open(file.c_str(), O_WRONLY), b = open(second.c_str(), O_WRONLY);
    for (int i = 0; i <= limit / 2 + 8; ++i) {
        ASSERT_EQ(write(a, "x", 1), 1);
        ASSERT_EQ(write(b, "x", 1), 1);
    }
    close(a);
    close(b);
    const auto events = drain(w);
    EXPECT_GE(countOf(events, Kind::CloseWrite, file), 1u);
    EXPECT_GE(countOf(events, Kind::CloseWrite, second), 1u);
    EXPECT_GE(w.getWatchDescriptor(file), 0);
}

// The watch thread and its hooks.

namespace {

/// Records the hooks' calls; waits (bounded) for them.
class Recorder : public FileWatchThreaded {
public:
    struct Call {
        Kind kind;
        std::string path;
        int wd;
    };

    ~Recorder() override { stop(); }

    void closeWrite(char* name) override { note(Kind::CloseWrite, name, -1); }
    void modified(char* name) override { note(Kind::Modified, name, -1); }
    void attribChange(char* name, int wd) override {
        if (onAttrib) onAttrib(name, wd);
        note(Kind::AttribChange, name, wd);
    }
    void deleteSelf(char* name) override { note(Kind::DeleteSelf, name, -1); }
    void fileWatchThreadedStarting() override {
        std::lock_guard<std::mutex> g(m);
        startingThread = pthread_self();
        startingCallsBeforeEvents += calls.empty();
        ++startings;
        changed.notify_all();
    }

    /// Waits until a call of kind on path is recorded at or after index `from`; its index, or -1.
    int waitFor(Kind kind, const std::string& path, size_t from = 0) {
        std::unique_lock<std::mutex> g(m);
        int found = -1;
        changed.wait_for(g, LONG_ENOUGH, [&] {
            for (size_t i = from; i < calls.size(); ++i)
                if (calls[i].kind == kind && calls[i].path == path) return (found = static_cast<int>(i)) >= 0;
            return false;
        });
        return found;
    }

    bool waitForStartings(int n) {
        std::unique_lock<std::mutex> g(m);
        return changed.wait_for(g, LONG_ENOUGH, [&] { return startings >= n; });
    }

    std::vector<Call> snapshot() {
        std::lock_guard<std::mutex> g(m);
        return calls;
    }

    std::function<void(char*, int)> onAttrib; ///< runs inside attribChange, on the watch thread
    std::mutex m;
    std::condition_variable changed;
    std::vector<Call> calls;
    std::vector<pthread_t> threads;
    pthread_t startingThread{};
    int startingCallsBeforeEvents = 0;
    int startings = 0;

private:
    void note(Kind kind, const char* name, int wd) {
        std::lock_guard<std::mutex> g(m);
        calls.push_back({kind, name, wd});
        threads.push_back(pthread_self());
        changed.notify_all();
    }
};

} // namespace

class FileWatchThread : public Dir {};

TEST_F(FileWatchThread, StartingHookRunsFirstOnTheWatchThreadThenEveryHookGetsTheFullPath) {
    Recorder w;
    ASSERT_EQ(w.add(file), 0);
    const int wd = w.getWatchDescriptor(file);
    ASSERT_EQ(w.run(), 0);
    ASSERT_TRUE(w.waitForStartings(1));

    rewrite(file, "{\"a\":1}");
    const int close = w.waitFor(Kind::CloseWrite, file);
    ASSERT_GE(close, 0);
    EXPECT_GE(w.waitFor(Kind::Modified, file), 0);
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    const int attrib = w.waitFor(Kind::AttribChange, file, close);
    ASSERT_GE(attrib, 0);
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_GE(w.waitFor(Kind::DeleteSelf, file, attrib), 0);
    stopOrDie(w);

    const auto calls = w.snapshot();
    EXPECT_EQ(w.startingCallsBeforeEvents, 1);
    EXPECT_EQ(calls[attrib].wd, wd);
    EXPECT_FALSE(pthread_equal(w.startingThread, pthread_self()));
    for (const auto& t : w.threads)
        EXPECT_TRUE(pthread_equal(t, w.startingThread));
    EXPECT_FALSE(w.running());
}

TEST_F(FileWatchThread, HooksMayReplaceTheirOwnWatchAndRenamedFilesKeepBeingSeen) {
    Recorder w;
    ASSERT_EQ(w.addFile(file), 0);
    const int first = w.getWatchDescriptor(file);
    // What the processor does on an attribute change: drop the watch and add the file again.
    std::vector<int> rmResults, addResults;
    w.onAttrib = [&](char* name, int wd) {
        rmResults.push_back(w.rm(wd));
        addResults.push_back(w.addFile(name));
    };
    ASSERT_EQ(w.run(), 0);
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    const int attrib = w.waitFor(Kind::AttribChange, file);
    ASSERT_GE(attrib, 0);

    replaceByRename(file, "{\"b\":2}");
    const int replaced = w.waitFor(Kind::CloseWrite, file, attrib);
    ASSERT_GE(replaced, 0);
    rewrite(file, "{\"b\":3}");
    ASSERT_GE(w.waitFor(Kind::CloseWrite, file, replaced + 1), 0);
    stopOrDie(w);

    EXPECT_EQ(rmResults, std::vector<int>{0});
    EXPECT_EQ(addResults, std::vector<int>{0});
    EXPECT_EQ(w.snapshot()[attrib].wd, first);
    EXPECT_GE(w.getWatchDescriptor(file), 0);
    EXPECT_NE(w.getWatchDescriptor(file), first);
}

TEST_F(FileWatchThread, StopsWhileBlockedAndDeliversWhatHappenedMeanwhileAfterTheNextRun) {
    Recorder w;
    ASSERT_EQ(w.add(file), 0);
    ASSERT_EQ(w.run(), 0);
    ASSERT_TRUE(w.waitForStartings(1));
    stopOrDie(w); // blocked in poll: the stop wakes it
    EXPECT_FALSE(w.running());
    EXPECT_EQ(w.getHandle(), pthread_t{});

    rewrite(file, "{\"while\":\"stopped\"}");
    EXPECT_EQ(w.run(), 0);
    ASSERT_TRUE(w.waitForStartings(2));
    EXPECT_GE(w.waitFor(Kind::CloseWrite, file), 0);
    stopOrDie(w);
    stopOrDie(w); // a second stop is harmless
}

TEST_F(FileWatchThread, APlainWatcherDestroyedWhileRunningStops) {
    auto destroyed = std::async(std::launch::async, [this] {
        FileWatchThreaded w;
        EXPECT_EQ(w.add(file), 0);
        EXPECT_EQ(w.run(), 0);
    });
    if (destroyed.wait_for(LONG_ENOUGH) != std::future_status::ready) {
        fprintf(stderr, "the watcher's destructor did not stop its thread\n");
        std::_Exit(1);
    }
}
