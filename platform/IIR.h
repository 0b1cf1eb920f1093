#ifndef MOBU_PLATFORM_IIR_H
#define MOBU_PLATFORM_IIR_H

#include "Debug.h"

#include <Eigen/Dense>

#define IIR_SHAPE_ERROR -40501  ///< coefficient arrays are not 3 x n, or B and A differ in size
#define IIR_COEFF_ERROR -40502  ///< a coefficient is not finite, or a section's a0 is 0
#define IIR_LENGTH_ERROR -40503 ///< input and output blocks differ in length

/// Error table of the IIR classes.
class IIRDebug : virtual public Debug {
public:
    IIRDebug();
};

/** A set of second-order IIR sections (biquads), each with its own memory.
 *
 * Coefficients come as two 3 x n arrays, one column per section: B holds b0,
 * b1, b2 and A holds a0, a1, a2.  Sections are stored normalised by a0.  The
 * memory of every section (two words of the transposed direct form II, in
 * double) persists from one processed block to the next until reset or
 * clearState is called.  Zero sections (3 x 0 arrays) means pass-through.
 *
 * Functions return 0 or a negative code of IIRDebug; they print nothing, the
 * caller reports.  Nothing allocates except reset.
 */
class IIR {
public:
    IIR() = default;
    virtual ~IIR() = default;

    /** Takes new coefficients and clears the memory.
     * On error the object becomes a pass-through (zero sections).
     * @return 0, IIR_SHAPE_ERROR or IIR_COEFF_ERROR. */
    int reset(const Eigen::Ref<const Eigen::ArrayXXd>& B, const Eigen::Ref<const Eigen::ArrayXXd>& A);

    /// Sets the memory of every section to zero; coefficients stay.
    void clearState() { state.setZero(); }

    /// Number of sections.
    Eigen::Index getSectionCount() const { return coeffs.cols(); }

protected:
    /** Runs section j over data in place.  The sample loop of the transposed
     * direct form II: y = b0 x + s1, s1 = b1 x - a1 y + s2, s2 = b2 x - a2 y. */
    void processSection(Eigen::Index j, Eigen::Ref<Eigen::ArrayXd> data);

private:
    /// One column per section: b0, b1, b2, a1, a2, all divided by a0.
    Eigen::Array<double, 5, Eigen::Dynamic> coeffs;
    /// One column per section: the two memory words s1, s2.
    Eigen::Array<double, 2, Eigen::Dynamic> state;
};

/** Sections of an IIR run one after the other, in column order. */
class IIRCascade : public IIR {
public:
    /** Filters in into out (which may be the same array).
     * @return 0, or IIR_LENGTH_ERROR (out untouched) when the lengths differ. */
    int process(const Eigen::Ref<const Eigen::ArrayXd>& in, Eigen::Ref<Eigen::ArrayXd> out);
};

#endif
