#ifndef MOBUEMBEDDED_FIRLONGPARTITIONS_H
#define MOBUEMBEDDED_FIRLONGPARTITIONS_H

#include "MobuEmbedded/FIRMobu.h"

#include <memory>
#include <vector>

/** The taps [2B, end) of a filter bank, in partitions of B = r N taps, for an engine that
 * filters blocks of N samples (FIRMobu's later partitions).
 *
 * The arithmetic is FIRMobu's at block length B: odd-frequency transforms of B complex points
 * (2B-sample negacyclic convolutions), overlapping 2B-tap windows with a hop of B, a ring of
 * the last input spectra.  Input block J (samples JB .. JB+B-1) is complete after the engine's
 * block (J+1)r - 1; output block J + 2 is first needed at block (J+2)r.  The taps start at 2B,
 * so output block J + 2 depends on no input after block J, and its computation can take the r
 * engine blocks in between: transform input block J, multiply-add it and the older spectra
 * with the windows, inverse transform.  Those r blocks are also when input block J + 1 comes
 * in and output block J + 1 goes out, so the input and the output are double buffered.
 *
 * One block's work is a list of units, sized with FIRMobu's cost model: packing the input,
 * the forward transform, the multiply-add of a run of bins over every window, the inverse
 * transform.  At load time every unit is timed (on channel 0, the fastest of a few runs), the
 * list is cut into r slices of nearly equal time, and engine block φ of the r runs slice φ.
 * Channel 0's units stay timed as they run (a unit streaming its spectra from memory among
 * other channels' work takes longer than at load), and the slices are cut again from those
 * times at the start of every period, so that they stay even.  Where the slices fall does not
 * change the output, only which engine block does which unit.  Where one B-point transform
 * would take more than a slice, it is split in two passes of short transforms (B = R Q, R a
 * power of two near sqrt(B)): R-point transforms with a stride of Q, a twiddle, Q-point
 * transforms of contiguous rows, each pass in units of several transforms.  Rows are stored
 * S > Q apart (the columns would alias in the caches with a stride of whole pages), sample
 * Q n1 + n2 at S n1 + n2.  The spectra stay in the order the second pass leaves them (bin
 * k1 + R k2 at S k1 + k2, the padding zero): the multiply-add works bin by bin and the
 * inverse runs the same passes backwards, so no reordering is needed.
 *
 * Channels that read the same input (FIRMobu::setChannelInputs) form a group with one input
 * buffer and one ring of input spectra: the group's first channel packs and transforms the
 * input and runs the multiply-add of every channel of the group, bin run by bin run, so that
 * the ring is read from memory once for all of them; the others run only the inverse
 * transform of each block.
 *
 * The spectra of these stages (input ring, windows, transforms) are single precision by default
 * (FFTW's float plans), which halves their memory and the bytes the multiply-add streams; the
 * output is still summed in double.  The rounding this adds is a few parts in 1e8 to 1e7 of the
 * output's peak (see the README's FIR engine section).  Double precision is kept as a choice
 * (FIRMobu::setLaterPrecision), with results equal to the uniform engine's to 1e-12.
 *
 * Everything runs in the caller's thread; nothing is allocated once constructed.
 */
class FIRLongPartitions {
public:
    /** Taps [2B, end) of every column of h (rows beyond h's count as zero), B = r N, r >= 2.
     * end must be above 2B.  group[c]: the input group of channel c, numbered by first
     * appearance (empty: every channel its own).  single: spectra in single precision.
     * Throws as loading does (out of memory, no transform plan), and FIRMobu::BuildAbandoned
     * once abandon says so (asked before every window's transform and every timing round). */
    static std::unique_ptr<FIRLongPartitions> make(int N, int r, const Eigen::MatrixXd& h, Eigen::Index end,
                                                   std::vector<int> group = {}, bool single = true,
                                                   const FIRMobu::AbandonCheck& abandon = {});
    virtual ~FIRLongPartitions();
    FIRLongPartitions(const FIRLongPartitions&) = delete;
    FIRLongPartitions& operator=(const FIRLongPartitions&) = delete;

    /// Clears input, spectra and output and starts again at the first block of a period.
    virtual void reset() = 0;
    /** One engine block of channel c: takes its N input samples x (read for the first channel
     * of a group only, which comes before the others) and adds the output of these taps for the
     * block to y (N values). */
    virtual void process(int c, const double* x, double* y) = 0;
    /// Moves on to the next engine block; called once per block, after every channel.
    virtual void advance() = 0;

    int blockLength() const { return B; }
    /// Number of B-tap windows (partitions) the taps [2B, end) take.
    int partitionCount() const { return W; }
    /// Whether the spectra are single precision.
    virtual bool single() const = 0;
    /** Estimated cost per output sample of a stage of blocks of r N with W partitions, in the
     * cost model's units (see FIRMobu.h): the transforms split as the stage would split them. */
    static double estimatedCost(int N, int r, int W);

    /// How a B-point transform is split: B = R Q, column units of `columns` R-point
    /// transforms, row units of `rows` Q-point transforms (R = 1: not split); and the bins of
    /// one multiply-add unit.
    struct Layout {
        int R = 1, Q = 1, stride = 1, columns = 1, rows = 1, bins = 1;
    };
    static Layout layout(int N, int r, int W);
    /// Estimated cost of every unit of one period's work, in order.
    static std::vector<double> unitCosts(int N, int r, int W, const Layout& l);

protected:
    FIRLongPartitions(int N_, int r_, int W_) : N(N_), r(r_), B(N_ * r_), W(W_) {}
    int N, r, B, W;
};

#endif
