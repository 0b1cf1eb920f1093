#ifndef MOBUEMBEDDED_PARAEQFILEWATCHER_H
#define MOBUEMBEDDED_PARAEQFILEWATCHER_H

#include "MobuEmbedded/ParaEQ.h"

#include <FileWatchThreaded.h>

#include <atomic>
#include <mutex>
#include <string>

/** An equaliser that reloads its JSON file whenever the file has been rewritten.
 *
 * The owner names the file (setFileName, which creates it empty when missing
 * and watches it), sets the sample rate and starts the watch thread with
 * run(priority); the thread caps its own real-time priority at 10.  When the
 * file is closed after writing (or replaced by rename), the watch thread
 * builds the new settings into the inactive cascade and requests a switch;
 * the audio thread keeps calling process() and, between blocks, completeTransition()
 * to take the new settings up.  No lock is taken on the audio thread.
 *
 * Rules that keep the audio thread's cascades safe:
 *  - settings are only ever built while no switch is pending, so neither the
 *    running cascade nor the one it is about to switch to is written;
 *  - on the watch thread, a reload that finds a switch pending waits until the
 *    audio thread has completed it (or the watcher is stopped), then builds
 *    from the file as it is at that moment; after requesting its own switch the
 *    watch thread also waits for it before reading the next file event, so
 *    every rewrite ends up in force, the last one last;
 *  - an owner's refreshParaEQ() never waits: when a switch is pending it only
 *    records that a reload is owed (reloadOwed()), which the watch thread
 *    performs once that switch completes (or at its start), or the next
 *    refreshParaEQ() does;
 *  - a file that can't be loaded gives one unity section, built into the
 *    inactive cascade and switched to like any other settings: the audio
 *    passes unchanged from the switch on, and the running cascade is never
 *    reset under the audio thread.
 * Producers (the watch thread, owner calls, setFileName, setFS) are
 * serialised by a lock that process() and completeTransition() never take; it
 * is held only while settings are built, never while waiting for a switch.
 */
class ParaEQFileWatcher : public ParaEQ, public FileWatchThreaded {
public:
    ParaEQFileWatcher() = default;
    /// Stops the watch thread first (ending a wait for a switch), then the equaliser goes.
    ~ParaEQFileWatcher() override;

    /** Prints the class name, a tab and "setFileName"; makes ~/.mobu/<name> the
     * equaliser file and watches it (a previous file is no longer watched).  A
     * file that can't be watched because it is missing is created empty first.
     * @return 0 when watching; the code of MobuCommon::setFileName (e.g. -40205
     *         without a home directory) or the watch's negative errno. */
    virtual int setFileName(std::string name);
    /// As setFileName(std::string).
    int setFileName(const char* name) override;

    /** Sets the sample rate used by the next load (under the producer lock, so it
     * may be called while the watch thread runs). */
    void setFS(double rate);

    /** Prints "refreshParaEQ" and loads the file into the inactive cascade, then
     * requests the switch (see the class comment for a pending switch).  A file
     * that can't be loaded prints "Couldn't load filters from <file> using an
     * impulse for this channel" and switches to a unity section.
     * @return 0, or PARAEQ_FILENAME_ERROR when no file name is set (nothing built). */
    int refreshParaEQ();

    // The single-threaded loaders of ParaEQ would reset the cascade the audio thread
    // runs; a watcher loads only through refreshParaEQ and its watch thread.
    int loadFromFile() = delete;
    int resetCascade() = delete;
    int genImpulseResponse(int n) = delete;

    /// Watch thread: the file was closed after writing; prints "closeWrite" and reloads it.
    void closeWrite(char* name) override;

    /** True from a reload request until its build begins; stays true while the
     * reload waits for a pending switch (or for the watch thread to start). */
    bool reloadOwed() const { return owed.load(std::memory_order_acquire); }

    /** Names the watcher whose switch this one's must pair with (the audio thread switches
     * both equalisers together).  The file system may merge two quick rewrites into one
     * event for one watcher and not for the other; a watcher whose switch then waits alone
     * (its partner not pending) has the partner reload the file once, so
     * that the pair switches together and neither is left a version behind. */
    void pairWith(ParaEQFileWatcher* other) { partner.store(other, std::memory_order_release); }

protected:
    /** The watch thread: prints its priority, lowers a real-time priority above
     * 10 to 10, performs a reload owed from before its start, then runs the
     * watch loop until stopped. */
    int threadMain() override;

private:
    /// Builds the file into the inactive cascade and requests the switch; producer lock held, no switch pending.
    int buildLocked();
    /// Watch thread: performs owed reloads, each once the pending switch is done, until none is owed.
    int serveOwedReloads();
    /// Watch thread: waits until no switch is pending; false when stopped first.
    bool waitForSwitch();

    std::mutex producerLock;       ///< serialises everything that builds or changes what a build reads
    std::atomic<bool> owed{false}; ///< the file may hold settings not yet built
    std::atomic<ParaEQFileWatcher*> partner{nullptr};
};

#endif
