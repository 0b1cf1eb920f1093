#ifndef MOBUEMBEDDED_IIRDESIGN_H
#define MOBUEMBEDDED_IIRDESIGN_H

/** Coefficients of one equaliser section.
 *
 * Frequencies are normalised: fc = 1 is half the sample rate.  Gains are in dB
 * relative to the reference gain G0 (0 dB).  Each design leaves the six
 * coefficients of the section in b0, b1, b2 (numerator) and a0, a1, a2
 * (denominator, a0 = 1) and returns 0.  The designs are peaking and shelving
 * filters specified by their gain at the centre (or on the shelf) and their
 * gain at the band edges, the square root of the two (half the dB).
 *
 * The designs do not check their arguments: a frequency outside (0, 1] or a
 * Q that is not positive gives non-finite or unstable coefficients, which the
 * caller has to detect (see isStable).
 */
class IIRDesign {
public:
    static constexpr double G0 = 1.0;     ///< the reference gain (0 dB)
    static constexpr double tol = 0.0001; ///< distance from half the sample rate below which a peak becomes a shelf

    virtual ~IIRDesign() = default;

    /// ωc = π fc and the band-edge gain GB = sqrt(G G0).
    static void getWcGb(double fc, double G, double& wc, double& GB);
    /// The scale of the bandwidth term: 1 when g0 = GB = G (0 dB), else sqrt((GB² - g0²)/(G² - GB²)).
    static double getSqrtG(double g0, double GB, double G);

    /** Peaking section: gain dB at fc, 0 dB at DC and half the sample rate, the
     * half-dB points at the edges of a band of constant relative width Q.  Within
     * tol of half the sample rate it becomes designHPF(fc, dB, Q). */
    int designBPF(double fc, double dB, double Q);
    /// First-order low shelf: gain dB at 0 Hz, 0 dB at half the sample rate, half-dB point at fc.
    int designLPF(double fc, double dB);
    /** First-order high shelf: 0 dB at 0 Hz, gain dB at half the sample rate.
     * Q = 0: half-dB point at fc; otherwise the edge of a peak of that Q centred at half the sample rate. */
    int designHPF(double fc, double dB, double Q);

    /** True when all six coefficients are finite, a0 is not 0, the coefficients divided
     * by a0 are finite and the poles lie strictly inside the unit circle. */
    bool isStable() const;

    double b0 = 1.0, b1 = 0.0, b2 = 0.0; ///< numerator of the last designed section
    double a0 = 1.0, a1 = 0.0, a2 = 0.0; ///< denominator of the last designed section
};

#endif
