#ifndef MOBU_PLATFORM_FILEWATCHTHREADED_H
#define MOBU_PLATFORM_FILEWATCHTHREADED_H

#include "FileWatch.h"
#include "Thread.h"

/** A FileWatch with its own thread that calls virtual hooks for every event.
 *
 * Derive from it and override the hooks you need; add the files (before or
 * after starting), then run(priority) starts the thread.  The thread first
 * calls fileWatchThreadedStarting(), then blocks (poll, no timeout) on the
 * inotify descriptor and on a stop descriptor, and calls for each event, in
 * the order the kernel reported them:
 *
 *  - closeWrite(path)        the watched file was closed after writing, or a
 *                            complete new file was renamed over it;
 *  - modified(path)          the file's content was changed (each write);
 *  - attribChange(path, wd)  its attributes changed; wd is its watch descriptor
 *                            (for getPath / rm);
 *  - deleteSelf(path)        the file was deleted or renamed away.
 *
 * `path` is the watched path exactly as given to add()/addFile() (for entries
 * of a watched directory, "directory/entry"); it is a NUL-terminated buffer
 * valid during the call only.  See FileWatch for how replacements by rename are
 * followed.  Hooks run on the watch thread; they may call add, addFile, rm and
 * the look-ups (no lock is held while a hook runs).  A hook calling stop()
 * ends the loop once it returns (stop() gives -EDEADLK there; the owner's
 * stop() or join() joins the thread).
 *
 * stop() (from Thread) ends the thread promptly: it wakes the poll, and the
 * loop returns as soon as the hook that is running returns; events not yet
 * delivered are delivered after a later run().
 *
 * A class overriding threadMain() (to adjust the thread's priority first, say)
 * ends its override with `return FileWatchThreaded::threadMain();`, which calls
 * the starting hook and then the loop.  A derived class must call stop() first
 * in its destructor, before its hooks' data goes.  A class with another
 * threaded base as well names this one's run/stop: FileWatchThreaded::run(10).
 */
class FileWatchThreaded : public FileWatch, public ThreadedMethod {
public:
    FileWatchThreaded();
    ~FileWatchThreaded() override;

    /// The watched file `name` was closed after writing (or replaced by a complete file).
    virtual void closeWrite(char* name) {}
    /// The watched file `name` was written to.
    virtual void modified(char* name) {}
    /// The attributes of `name` changed; wd is its watch descriptor.
    virtual void attribChange(char* name, int wd) {}
    /// The watched file `name` was deleted or renamed away.
    virtual void deleteSelf(char* name) {}
    /// Runs first on the watch thread, before any event (adjust the priority here, say).
    virtual void fileWatchThreadedStarting() {}

protected:
    /** Calls fileWatchThreadedStarting(), then watchLoop().
     * @return 0 when stopped, or a negative errno when the watch could not run. */
    int threadMain() override;

    /// Blocks on inotify and dispatches events to the hooks until stopped.
    int watchLoop();

    /// Wakes the loop's poll (stop()).
    void wakeForStop() override;

private:
    void dispatch(Event& event);

    int stopFd = -1; ///< eventfd written by stop()
    int stopFdError = 0;
    std::vector<Event> events; ///< read but not yet dispatched (kept across a stop)
    size_t nextEvent = 0;      ///< the next of events to dispatch
};

#endif
