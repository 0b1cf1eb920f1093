#ifndef MOBU_APPLICATIONS_MEASUREFOLDER_H
#define MOBU_APPLICATIONS_MEASUREFOLDER_H

#include <string>

/** The output folder of one measurement run.
 *
 * The run writes into a new, private folder made beside the target (TARGET.new-XXXXXX, made
 * exclusively, so nothing can be planted in it beforehand).  Only a run that completed takes the
 * target's place: commit() swaps the new folder in with one atomic exchange and keeps the folder
 * it replaced as TARGET.previous.  A run that was stopped or failed is set aside as
 * TARGET.incomplete by abandon() (also by the destructor), leaving the target as it was.
 * A target that is a link to a folder is followed once, when the run begins: the folder it names
 * is the one replaced.
 */
class MeasureFolder {
public:
    MeasureFolder() = default;
    /// An unfinished run is set aside (abandon()).
    ~MeasureFolder();
    MeasureFolder(const MeasureFolder&) = delete;
    MeasureFolder& operator=(const MeasureFolder&) = delete;

    /// Makes the run's folder for target.  "" or what is wrong (the target is left as it is).
    std::string begin(const std::string& target);
    /// The folder the run writes into.
    const std::string& path() const { return scratch; }
    /// The folder the results end up in.
    const std::string& target() const { return final; }
    /// Puts the run in place of the target (the old one becomes TARGET.previous).  "" or what is wrong.
    std::string commit();
    /// Sets the run aside as TARGET.incomplete (replacing an older one); the target is untouched.
    void abandon();

private:
    std::string final;
    std::string scratch;
};

/// Removes a folder and everything under it without following links (links are removed as such).
int removeTree(const std::string& path);

#endif
