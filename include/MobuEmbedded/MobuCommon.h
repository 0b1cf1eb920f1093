#ifndef MOBUEMBEDDED_MOBUCOMMON_H
#define MOBUEMBEDDED_MOBUCOMMON_H

#include <string>

/** Common base of the processing classes: a sample rate and a per-user file.
 *
 * Files named through setFileName live in the user's ~/.mobu directory, which
 * is created (mode 0700) when missing.
 */
class MobuCommon {
public:
    MobuCommon() = default;
    virtual ~MobuCommon() = default;

    /** Sets fileName to <home>/.mobu/<name>, creating <home>/.mobu if needed.
     * The home directory comes from the password database of the real user.
     * @return 0, or -40205 when the user has no home directory (fileName unchanged). */
    virtual int setFileName(const char* name);
    /// The sample rate in Hz.
    virtual double getFS() { return fs; }

    /// Sets the sample rate in Hz.
    void setFS(double rate) { fs = rate; }
    /// The full path set by setFileName.
    const std::string& getFileName() const { return fileName; }

protected:
    std::string fileName; ///< full path set by setFileName
    double fs = 0.0;      ///< sample rate in Hz, set by derived classes or owners
};

#endif
