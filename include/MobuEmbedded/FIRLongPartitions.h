#ifndef MOBUEMBEDDED_FIRLONGPARTITIONS_H
#define MOBUEMBEDDED_FIRLONGPARTITIONS_H

#include "MobuEmbedded/FIRMobu.h"

#include <vector>

namespace firkernels {
class TransformPlan;
}

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
 * Everything runs in the caller's thread; nothing is allocated once constructed.
 */
class FIRLongPartitions {
public:
    /** Taps [2B, end) of every column of h (rows beyond h's count as zero), B = r N, r >= 2.
     * end must be above 2B.  group[c]: the input group of channel c, numbered by first
     * appearance (empty: every channel its own). */
    FIRLongPartitions(int N, int r, const Eigen::MatrixXd& h, Eigen::Index end, std::vector<int> group = {});
    ~FIRLongPartitions();
    FIRLongPartitions(const FIRLongPartitions&) = delete;
    FIRLongPartitions& operator=(const FIRLongPartitions&) = delete;

    /// Clears input, spectra and output and starts again at the first block of a period.
    void reset();
    /** One engine block of channel c: takes its N input samples x (read for the first channel
     * of a group only, which comes before the others) and adds the output of these taps for the
     * block to y (N values). */
    void process(int c, const double* x, double* y);
    /// Moves on to the next engine block; called once per block, after every channel.
    void advance();

    int blockLength() const { return B; }
    /// Number of B-tap windows (partitions) the taps [2B, end) take.
    int partitionCount() const { return W; }
    /** Estimated cost per output sample of a stage of blocks of r N with W partitions, in the
     * cost model's units (see FIRMobu.h): the transforms split as the stage would split them. */
    static double estimatedCost(int N, int r, int W);

private:
    /// How a B-point transform is split: B = R Q, column units of `columns` R-point
    /// transforms, row units of `rows` Q-point transforms (R = 1: not split); and the bins of
    /// one multiply-add unit.
    struct Layout {
        int R = 1, Q = 1, stride = 1, columns = 1, rows = 1, bins = 1;
    };
    static Layout layout(int N, int r, int W);
    /// Estimated cost of every unit of one period's work, in order.
    static std::vector<double> unitCosts(int N, int r, int W, const Layout& l);
    void runUnits(int c, int first, int last);
    /// Times the first count units of a period on channel 0 (see the constructor).
    std::vector<double> measuredUnitCosts(size_t count);
    /// Runs channel 0's units first .. last - 1, each timed into unitTime.
    void runTimedUnits(int first, int last);
    /// Cuts the units into r slices of nearly equal time (sliceStart, from unitTime).
    void cutSlices();

    int N, r, B, R, Q, W;
    int S; ///< distance between rows (Q and some padding, or B when not split)
    Layout shape;
    int phase = 0;                               ///< engine block within the period, 0 .. r-1
    int parity = 0;                              ///< which input and output buffers belong to the current period
    std::vector<FIRMobu::SpectrumArray> windows; ///< C of R S x W, j times the spectra of taps qB .. qB+2B-1, q >= 1
    std::vector<FIRMobu::SpectrumArray> history; ///< G of R S x W, spectra of the last W input blocks (a ring)
    std::vector<FIRMobu::SpectrumArray> output;  ///< C of R S x 2, output signals of this and the next period
    std::vector<FIRMobu::SpectrumArray> work;    ///< C of R S x 2, the sum over the windows and a transform pass
    std::vector<Eigen::ArrayXd> input;           ///< G of 2B input samples (two blocks)
    std::vector<int> head;                       ///< G ring positions of the newest input spectrum
    std::vector<int> groupOf;                    ///< C: each channel's group
    std::vector<char> leads;                     ///< C: whether the channel is its group's first
    std::vector<std::vector<double*>> groupSums; ///< G: the sums (work column 0) of each group's channels
    std::vector<std::vector<const double*>> groupWindows; ///< G: their windows
    FIRMobu::ComplexColumn packTwiddle;                   ///< exp(-j pi n / 2B); split: exp(-j pi n1 / 2R) by row n1
    FIRMobu::ComplexColumn outputTwiddle;                 ///< exp(+j pi n / 2B)
    FIRMobu::ComplexColumn passTwiddle;           ///< exp(-2 pi j n2 (4 k1 + 1) / 4B) at S k1 + n2 (0 in the padding)
    FIRMobu::ComplexColumn passTwiddleInv;        ///< exp(2 pi j n2 k1 / B) at S k1 + n2 (0 in the padding)
    std::vector<firkernels::TransformPlan> plans; ///< forward R, forward Q, backward Q, backward R
    std::vector<int> sliceStart;                  ///< r + 1 unit indices
    std::vector<double> unitTime;                 ///< estimated time of every unit (channel 0), ns
    std::vector<double> unitWeight;               ///< how many of channel 0's runs of a unit a period has
};

#endif
