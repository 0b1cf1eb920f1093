#ifndef MOBUEMBEDDED_MOBUCOMMON_H
#define MOBUEMBEDDED_MOBUCOMMON_H

#include <string>

/** Common base of the processing classes: a sample rate and a per-user file.
 *
 * Files named through setFileName live in the user's ~/.mobu directory, which
 * is created (mode 0700) when missing, unless the name is an absolute path.
 */
class MobuCommon {
public:
    MobuCommon() = default;
    virtual ~MobuCommon() = default;

    /** Sets fileName to <home>/.mobu/<name>, creating <home>/.mobu if needed, or to name
     * itself when it is an absolute path.  The home directory comes from the password
     * database of the real user.  A relative name with a '/' or that is "." or "..", an empty
     * one, and an absolute path with a ".." component are refused (reported, naming it).
     * @return 0, MOBU_FILENAME_ERROR (-1374) for a refused name, or -40205 when the user
     *         has no home directory (fileName unchanged either way). */
    virtual int setFileName(const char* name);
    /// The sample rate in Hz.
    virtual double getFS() { return fs; }

    /// Sets the sample rate in Hz.
    void setFS(double rate) { fs = rate; }
    /// The full path set by setFileName.
    const std::string& getFileName() const { return fileName; }

    /** Replaces the status file (getStatusFile(), "/tmp/status.json" by default) with
     * {"error" : "E","message" : "M","progressMax" : X,"progress" : P} on one line.
     * The file is written beside it under a temporary name and renamed over it, so a
     * reader never sees it empty or half-written.  Double quotes, backslashes and
     * control characters in the texts are escaped, so the file is always valid JSON.
     * @return 0; SAFEFILE_NOT_REGULAR_ERROR (-40701, reported with the path) when the path is a
     * link, FIFO, device or directory, or SAFEFILE_OWNER_ERROR (-40702) when it is another
     * user's file in a sticky folder such as /tmp, both left untouched; or -100 (reported)
     * when the file can't be written; it is left as it was. */
    int setStatus(std::string error, std::string message, unsigned progressMax, unsigned progress);

    /// The status file of this process.
    static std::string getStatusFile();
    /// Moves the status file of this process (for hosts and tests).
    static void setStatusFile(const std::string& path);

protected:
    std::string fileName; ///< full path set by setFileName
    double fs = 0.0;      ///< sample rate in Hz, set by derived classes or owners
};

#endif
