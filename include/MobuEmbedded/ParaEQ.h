#ifndef MOBUEMBEDDED_PARAEQ_H
#define MOBUEMBEDDED_PARAEQ_H

#include "MobuEmbedded/IIRDesign.h"
#include "MobuEmbedded/MobuCommon.h"
#include "MobuEmbedded/ObjectDoubleBuffer.h"

#include <IIR.h>

#include <Eigen/Dense>

#include <string>

#include <istream>
#include <ostream>

#define PARAEQ_INDEX_ERROR -1352    ///< a coefficient, section or sample index out of range
#define PARAEQ_DESIGN_ERROR -1353   ///< a section that can't be designed, or an unknown filter type
#define PARAEQ_WRITE_ERROR -1354    ///< writing the binary coefficient stream failed
#define PARAEQ_READ_ERROR -1355     ///< the binary coefficient stream is short or malformed
#define PARAEQ_FILENAME_ERROR -1356 ///< no file name set
#define PARAEQ_JSON_ERROR -1357     ///< the equaliser file is not a JSON array
#define PARAEQ_FILE_ERROR -1358     ///< the equaliser file is not a regular file, or larger than 1 MiB

/** Parametric equaliser: a cascade of peaking sections described in a JSON file.
 *
 * A and B (3 rows, one column per section: a0, a1, a2 and b0, b1, b2) are the
 * master copy of the settings.  Two cascades are kept (the double buffer):
 * process runs the active one, loading builds the other, so new settings are
 * prepared while the old ones run.  A new equaliser is a unity section in
 * both cascades.  The sample rate (setFS) must be set before sections are
 * added from a file.
 *
 * Hand-over while audio runs: a producer thread builds the inactive cascade
 * (loadIntoInactive) and calls prepTransition; the audio thread calls
 * completeTransition between two blocks to start using it.  A producer must
 * not build again while transitionPending() (ParaEQFileWatcher waits).
 *
 * The JSON file is an array of objects with "type" (a string containing
 * "BPF"), "Fc" (Hz), "dB" and "Q", for example
 *   [{"type": "BPF", "Fc": 1000, "dB": -3, "Q": 2}, {"type": "BPF", "Fc": 8000, "dB": 1.5, "Q": 0.7}]
 *
 * Failures are reported through MobuDebug and returned as negative codes; the
 * equaliser is always left usable.
 */
class ParaEQ : protected ObjectDoubleBuffer<IIRCascade>, public MobuCommon {
public:
    ParaEQ();
    virtual ~ParaEQ() = default;

    /// A and B become 3 x n arrays of zeros (n < 0 counts as 0).
    void reset(int n);

    /** Sets coefficient i (0..2) of section j of A (resp. B).
     * @return 0 or PARAEQ_INDEX_ERROR (with a message). */
    int loadA(unsigned i, unsigned j, double v);
    int loadB(unsigned i, unsigned j, double v); ///< see loadA

    /// Largest gain, boost or cut, of a section of an equaliser file in dB.
    static constexpr double maxGainDB = 60.0;

    /** Appends a peaking section (fc normalised, 1 = half the sample rate).
     * @return 0, or PARAEQ_DESIGN_ERROR without appending and without a message
     * when a parameter is not finite, fc or Q is not positive, or the design is
     * not stable; the caller reports it.  (An fc at or above 1 gives a high shelf;
     * fromJSON refuses a file's section above half the rate or beyond maxGainDB.) */
    int newBPF(double fc, double dB, double Q);
    int newLPF(double fc, double dB); ///< appends a first-order low shelf; errors as newBPF
    int newHPF(double fc, double dB); ///< appends a first-order high shelf; errors as newBPF

    /** Appends the sections of a JSON document (see the class comment).
     * An empty stream, one of white space only or an empty array adds nothing and returns 0.
     * @return 0, PARAEQ_JSON_ERROR (not JSON, not an array, or text after it) or PARAEQ_DESIGN_ERROR
     * (an element that is not a BPF object, lacks a numeric parameter or can't be
     * designed: Fc must lie in (0, fs/2], |dB| within maxGainDB, Q above 0; the sections
     * before it stay). */
    int fromJSON(std::istream& is);

    /** Loads the file named by setFileName into A, B and the inactive cascade.
     * A file that can't be opened adds no section (pass-through).  When the file
     * is invalid, A and B become one unity section and both cascades are reset to
     * it at once (the active cascade too, so this is for single-threaded use; a
     * thread feeding a running equaliser uses loadIntoInactive).  Anything but a
     * regular file (a FIFO, a device, a directory) is refused without waiting on
     * it, as is a file larger than 1 MiB: PARAEQ_FILE_ERROR, one unity section.
     * @return the code of fromJSON, PARAEQ_FILE_ERROR, or PARAEQ_FILENAME_ERROR
     * (nothing changed). */
    int loadFromFile();

    /** Binary form of A then B: per record the row count (3) and the column count
     * as little-endian int64, then the coefficients column by column as
     * little-endian IEEE doubles.
     * @return 0 or PARAEQ_WRITE_ERROR. */
    int toStream(std::ostream& os);
    /** Reads what toStream writes.  Both records are read and checked before A
     * and B are replaced; on any error they stay unchanged.  Every section must
     * be usable: finite coefficients, a0 not 0 and its poles inside the unit
     * circle (as for sections designed from the JSON file).
     * @return 0 or PARAEQ_READ_ERROR. */
    int fromStream(std::istream& is);
    /** Writes the binary form to the file name set (a new file renamed into place; a link,
     * FIFO, device or directory there is refused); 0, PARAEQ_WRITE_ERROR or PARAEQ_FILENAME_ERROR. */
    int saveToFile();

    /** Resets the active cascade from A and B and stores its response to a unit
     * impulse of n samples (n >= 1) in h.  For single-threaded tools.
     * @return 0 or a negative code. */
    int genImpulseResponse(int n);

    /// Writes h[i] into out; 0 or PARAEQ_INDEX_ERROR.
    int getH(unsigned i, double& out);
    /** h[i], but a magnitude below the smallest normal double comes back as that
     * smallest normal value with the sign of h[i] (+ for 0); -1352.0 on an index error. */
    double getH(unsigned i);
    /// The impulse response of the last genImpulseResponse.
    const Eigen::ArrayXd& getImpulseResponse() const { return h; }

    /// Removes section i from A and B; 0 or PARAEQ_INDEX_ERROR.
    int spliceOutIIR(unsigned i);

    /// Prints A and B on the standard output.
    void dumpAB();

    /** Runs in through the active cascade into out (in and out may be the same).
     * Allocates only when the block length changes.
     * @return 0, or the cascade's code (IIR_LENGTH_ERROR when the lengths differ). */
    int process(const Eigen::Ref<const Eigen::ArrayXd>& in, Eigen::Ref<Eigen::ArrayXd> out);

    /** Producer: requests a switch to the inactive cascade, which must be complete.
     * Prints "prepTransition", the calling thread's scheduling policy and priority
     * and "FullDuplexFIR::prepTransition thread priority <p>".  When no switch is
     * pending, clears the memory of the inactive cascade and makes it the target;
     * otherwise prints "ParaEQ::prepTransition : already waiting for a switch" and
     * changes nothing.
     * @return 0 in both cases (transitionPending() tells them apart). */
    int prepTransition() override;

    /// True while a requested switch has not been completed by the audio thread.
    using ObjectDoubleBuffer<IIRCascade>::transitionPending;

    /** Audio thread, between two process calls: makes the target cascade the
     * active one.  Takes no lock and allocates nothing.
     * @return true when a switch was pending (and is now done). */
    using ObjectDoubleBuffer<IIRCascade>::completeTransition;

    /// Resets the active cascade (state cleared) from A and B.  For single-threaded tools.
    int resetCascade();

    /// The boost above which a set of sections is said to leave too little headroom (dB).
    static constexpr double HEADROOM_DB = 12.0;
    /** The largest gain of the sections together (dB) from 10 Hz to half the rate fs, on a grid
     * of 1/96 octave; atHz receives where.  0 dB without sections. */
    double peakGainDB(double fs, double* atHz = nullptr) const;
    /** "" when the sections' peak gain is at most HEADROOM_DB at fs, else a one-line warning
     * naming `what` (the file), the boost and its frequency.  Files that boost more are still
     * used: the warning says that loud passages clip before the output guard. */
    std::string headroomWarning(double fs, const std::string& what) const;

    const Eigen::ArrayXXd& getA() const { return A; } ///< a0, a1, a2 of each section
    const Eigen::ArrayXXd& getB() const { return B; } ///< b0, b1, b2 of each section

protected:
    /** The part of loadFromFile that never touches the active cascade: parses the
     * file into A and B (one unity section when the file is invalid) and resets
     * the inactive cascade from them.  A producer thread calls this and then
     * requests a switch, whatever the result (except PARAEQ_FILENAME_ERROR).
     * @return as loadFromFile. */
    int loadIntoInactive();

    /// A and B become one unity section.
    void setUnity();

    IIRDesign design;    ///< scratch for the section being added
    Eigen::ArrayXd h;    ///< impulse response from genImpulseResponse
    Eigen::ArrayXd work; ///< output of the last process call
    Eigen::ArrayXXd A;   ///< a0, a1, a2 per section
    Eigen::ArrayXXd B;   ///< b0, b1, b2 per section

private:
    /// Appends the section held in design; PARAEQ_DESIGN_ERROR (nothing appended) when it isn't stable.
    int appendDesign();
    /// Reports an index error: prints the text (no newline), then the -1352 report.
    static int indexError(const char* format, long have, int asked);
    /// Sets coefficient i of section j of table (A or B) after the index checks; 0 or -1352.
    static int loadCoefficient(Eigen::ArrayXXd& table, unsigned i, unsigned j, double v);
};

#endif
