#ifndef MOBUEMBEDDED_FIRMOBU_H
#define MOBUEMBEDDED_FIRMOBU_H

#include "MobuEmbedded/ConvolutionMobu.h"
#include "MobuEmbedded/MobuDebug.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class FIRLongPartitions;
namespace firkernels {
class TransformPlan;
}

/** FIR block convolver with one block of latency, uniformly or non-uniformly partitioned.
 *
 * The engine is built with a real transform length M = 2N and filters blocks of
 * N samples.  Every transform is an N-point complex FFT of an "odd-frequency"
 * DFT (mDFT): a real block x of up to 2N samples is packed as x[n] - j x[n+N],
 * multiplied by exp(-j pi n / M) and transformed.  Products of such spectra
 * are negacyclic convolutions of length 2N.
 *
 * Uniform partitions (the reference, and the choice for short filters).  The first N taps
 * act on the current block directly (firstPartition).  Older blocks contribute through
 * overlapping 2N-tap windows with a hop of N (windowSpectra); their sum over the last P
 * blocks is accumulated one block ahead into a carry spectrum, which a multiplication by j
 * advances by N samples.  The result is the exact linear convolution to rounding.
 *
 * The last P input spectra are kept in a ring (history), so nothing moves in
 * memory from block to block, and the multiply and the sum over partitions
 * run in one pass.  That pass reads all of history and windowSpectra every
 * block and is bounded by memory bandwidth for long filters: both are kept in
 * cache-line aligned, staggered arrays (SpectrumArray), and the arithmetic runs
 * on short vectors (AVX2 when the processor has it, chosen at run time; the
 * default build gives the same results either way).  Nothing is allocated by
 * filterLocal once sizes are set.
 *
 * Non-uniform partitions (long filters).  Reading every partition every block makes the cost
 * per sample grow as taps / N.  Instead, the taps are cut into stages: stage 0 is the uniform
 * scheme above for taps [0, 2 B1); stage s >= 1 takes taps [2 Bs, 2 Bs+1) (the last one up to
 * the end of the filter) in partitions of Bs = rs N taps, with
 *     B1 = a N,  Bs+1 = g Bs   (a, g powers of two, a >= 2, g >= 2),
 * so stage s >= 1 has 2g - 1 partitions (the last one ceil(L / Bs) - 1).  A stage starts at
 * twice its block length, so each of its blocks may be computed over the rs engine blocks
 * after its input is complete, in equal shares (FIRLongPartitions): the cost of every
 * filterLocal call stays nearly the same, with no threads.  Output is the same convolution.
 *
 * Cost model, in rough nanoseconds per output sample and channel (constants below):
 *     transform(n)  = transformPerPoint n log2 n + transformCall, one n-point complex FFT
 *     stage 0       = 2 transform(N) / N + 4 elementCost + macCost (P0 + 1),   P0 = 2a
 *     stage s >= 1  = (its transforms + 3 B elementCost) / B + elementCost + macCost W
 *                     (FIRLongPartitions::estimatedCost: one transform of B points each way,
 *                     or, where that would not fit in one engine block's share, R-point and
 *                     Q-point transforms, B = R Q)
 *     uniform       = 2 transform(N) / N + 4 elementCost + macCost (P + 1),    P = ceil(L / N)
 * macCost is one complex multiply-add of a partition's bin, read from memory.  At load the
 * engine evaluates every a in 2..64, g in 2..16 and number of stages, and keeps the cheapest
 * schedule (the transforms of many small stages against the partitions of few large ones).
 * The same estimates size the units of each stage's work; the shares themselves are cut by
 * the units' measured times (FIRLongPartitions).  The constants are rounded
 * from fir-bench figures; lower transform costs (closer to FFTW's in-cache speed) make the
 * model choose more stages, which measured slower.
 *
 * Partitioning::Automatic goes non-uniform from nonUniformFromPartitions = 32 partitions of
 * N taps on.  Measured with fir-bench (one channel, engines forced either way): non-uniform
 * is faster from 24 partitions on at N = 64 (16.5 against 18.1 ns per sample), from about
 * 32 at N = 256 (17.6 against 17.0 at 24, 19.8 against 21.8 at 32) and N = 512 (18.9
 * against 18.7 at 32, 19.1 against 28.1 at 48), from about 40 at
 * N = 1024 (24.9 against 23.1 at 32, 27.6 against 33.9 at 48); the processor's N = 480 gains
 * 13 % at 34 partitions (8 channels).
 *
 * Precision.  Stage 0 runs in double precision.  The later stages keep their spectra and
 * transforms in double precision by default, and the output then equals the uniform engine's
 * to 1e-12.  setLaterPrecision(Precision::Single) (or MOBU_FIR_PRECISION=single,
 * or the processor's and the switching plug-in's precision setting) keeps them in single
 * precision (FIRLongPartitions), which halves their memory and the bytes their multiply-add
 * reads and adds rounding of about 2e-7 of the output's peak (within 16 single-precision
 * roundings, 2^-20, everywhere).  The cost model's constants were measured in double precision.
 *
 * Shared inputs.  By default column c of the block feeds channel c.  setChannelInputs lets
 * several channels (outputs) read one column: those channels share one forward transform per
 * block and one history of input spectra (in stage 0 and in every later stage), so an input
 * that feeds four outputs costs one input's transforms and one history, not four; the
 * multiply-adds, carries and inverse transforms stay per channel.  The output of every
 * channel is the same as that of a one-channel engine on its input.
 *
 * fade argument of filterLocal: 0 plain, 1 linear fade in over the block,
 * negative linear fade out, above 1 silence (the memory still advances).
 */
class FIRMobu : public ConvolutionMobu {
public:
    using ComplexArray = Eigen::Array<std::complex<double>, Eigen::Dynamic, Eigen::Dynamic>;
    using ComplexColumn = Eigen::Array<std::complex<double>, Eigen::Dynamic, 1>;

    /** Rows x cols complex spectra, column-major, laid out for the partition loop, which reads
     * several columns of several such arrays at once: every column starts on a cache line, the
     * columns are one line further apart than their length, and the caller chooses on which
     * line of a page each array starts.  Columns read together then fall into different cache
     * sets even when a column is a whole number of pages long, and stores to one array rarely
     * look like (4 KiB aliases of) the loads from the others. */
    class SpectrumArray {
    public:
        using Map = Eigen::Map<ComplexArray, Eigen::Aligned16, Eigen::OuterStride<>>;
        using ConstMap = Eigen::Map<const ComplexArray, Eigen::Aligned16, Eigen::OuterStride<>>;

        SpectrumArray() = default;
        SpectrumArray(const SpectrumArray& other);
        SpectrumArray& operator=(const SpectrumArray& other);
        SpectrumArray(SpectrumArray&& other) noexcept { *this = std::move(other); }
        SpectrumArray& operator=(SpectrumArray&& other) noexcept;

        /** Sizes the array (contents undefined afterwards); firstLine (0..63) is the cache line
         * of the page on which column 0 starts. */
        void resize(Eigen::Index rows, Eigen::Index cols, int firstLine);
        void setZero() { view().setZero(); }
        Eigen::Index rows() const { return nRows; }
        Eigen::Index cols() const { return nCols; }
        /// Distance between the starts of two neighbouring columns, in complex values.
        Eigen::Index columnStride() const { return stride; }
        std::complex<double>* col(Eigen::Index p) { return first + p * stride; }
        const std::complex<double>* col(Eigen::Index p) const { return first + p * stride; }
        /// The whole array as an Eigen expression.
        Map view() { return Map(first, nRows, nCols, Eigen::OuterStride<>(stride)); }
        ConstMap view() const { return ConstMap(first, nRows, nCols, Eigen::OuterStride<>(stride)); }

    private:
        struct Free {
            void operator()(void* p) const;
        };
        std::unique_ptr<std::complex<double>, Free> storage;
        std::complex<double>* first = nullptr;
        Eigen::Index nRows = 0, nCols = 0, stride = 0;
        int firstLine = 0;
    };

    /// An engine without transform length: init must be called before use.
    FIRMobu();
    /// An engine of transform length M (blocks of M/2 samples).
    explicit FIRMobu(int M);
    virtual ~FIRMobu();

    /// How the taps are partitioned; see the class comment.
    enum class Partitioning { Automatic, Uniform, NonUniform };
    /** Takes effect at the next loadTimeDomainCoefficients (Automatic by default).  With
     * NonUniform, blockRatios (increasing, from 2 on) sets the block lengths / N of stages 1,
     * 2, ... instead of the cost model (stages that would start at or beyond the end of the
     * filter are left out); used to measure and test schedules.
     * @return 0, or -1352 (reported, nothing changed) for ratios that do not increase from 2. */
    int setPartitioning(Partitioning p, std::vector<int> blockRatios = {});

    /** Asked between the steps of a load (before every stage and every window's transform, a
     * few milliseconds apart on any filter): once it returns true the load throws BuildAbandoned
     * and the engine keeps what it had.  Empty (the default): a load always completes.  For a
     * long build that the end of a run must cut short. */
    using AbandonCheck = std::function<bool()>;
    void setAbandonCheck(AbandonCheck check) { abandonCheck = std::move(check); }
    /// What a load throws when its abandon check says so (nothing of the load is kept).
    struct BuildAbandoned : std::runtime_error {
        BuildAbandoned() : std::runtime_error("the filter build was abandoned") {}
    };
    /// Throws BuildAbandoned when the check is set and says so.
    static void abandonIf(const AbandonCheck& check) {
        if (check && check()) throw BuildAbandoned();
    }

    /// Precision of the spectra of the later stages (taps from 2 B1 on); stage 0 is always double.
    enum class Precision { Single, Double };
    /** Takes effect at the next loadTimeDomainCoefficients (defaultPrecision() until set).
     * Single halves the later stages' memory and the bytes their multiply-add reads, and rounds
     * the output to about 1e-7 of its peak; Double gives the uniform engine's output to 1e-12. */
    void setLaterPrecision(Precision p) { laterPrecision = p; }
    Precision getLaterPrecision() const { return laterPrecision; }
    /// Double, unless MOBU_FIR_PRECISION in the environment says "single".
    static Precision defaultPrecision();
    /// "single" or "double" to p (true); anything else leaves p alone (false).
    static bool parsePrecision(const std::string& text, Precision& p);

    /** Which column of the block each channel reads, from the next loadTimeDomainCoefficients on:
     * channel c reads column inputOf[c]; channels that read the same column share its
     * transforms and history.  Empty (the default): channel c reads column c.  A list whose
     * length is not the loaded filter's channel count is reported there (-1350) and the
     * default is used.
     * @return 0, or -1350 (reported, nothing changed) for a negative column. */
    int setChannelInputs(std::vector<int> inputOf);
    /// Columns a block must have: one beyond the highest column a channel reads.
    int getInputCnt() const { return inputsNeeded; }

    /// One stage of the partitioning in use: taps from firstTap on, in partitions of blockLength.
    struct Stage {
        Eigen::Index firstTap;
        int blockLength;
        int partitions;
    };
    /// The stages of the loaded filter, stage 0 (blocks of N) first.
    std::vector<Stage> stages() const;

    /// Cost model constants (estimated nanoseconds; see the class comment).
    static constexpr double transformPerPoint = 0.5;
    static constexpr double transformCall = 40.0;
    static constexpr double elementCost = 0.5;
    static constexpr double macCost = 1.0;
    /// Automatic partitioning goes non-uniform from this many N-tap partitions on.
    static constexpr Eigen::Index nonUniformFromPartitions = 32;
    /** Automatic, unless MOBU_FIR_PARTITIONING in the environment says "uniform", "nonuniform"
     * or gives stage block lengths / N ("4,32": NonUniform with those), so that a whole
     * processor can be run either way (processor-bench) and schedules can be measured. */
    static Partitioning defaultPartitioning();
    /// The block lengths / N that MOBU_FIR_PARTITIONING gives, if any (see above).
    static std::vector<int> defaultRatios();
    /// Estimated cost of one n-point complex transform.
    static double transformCost(int n);
    /** The block lengths / N of stages 1, 2, ... that the cost model picks for L taps in
     * blocks of N: empty when the uniform scheme is cheaper (unless evenIfDearer) or when L is
     * too short for any later stage.  cost and uniformCost receive the estimated cost per
     * sample of the result and of the uniform scheme. */
    static std::vector<int> nonUniformSchedule(Eigen::Index L, int N, bool evenIfDearer = false, double* cost = nullptr,
                                               double* uniformCost = nullptr);

    /// Sets the transform length M (N = M/2) and the twiddle factors.
    void init(unsigned M);

    /// Clears the filter memory (input spectra and carry); coefficients stay.
    void reset() override;

    /// Loads every column of h as one channel's filter (rows are taps), then resets.
    void loadTimeDomainCoefficients(Eigen::MatrixXd h) override;
    /// Loads every channel of an audio file; 0 or a negative code (old coefficients kept on error, -1309 when empty).
    int loadTimeDomainCoefficients(std::string fileName) override;
    /** Loads channel m of an audio file as a one-channel filter, trimming trailing
     * zeros but never below 2049 taps; 0 or a negative code (old coefficients kept on error;
     * a file with NaN or infinite samples gives SOX_NON_FINITE_ERROR).  With a streamRate
     * above 0, a file at another sample rate is loaded with a warning naming both rates. */
    int loadTimeDomainCoefficients(std::string fileName, unsigned m, double streamRate = 0.0);

    int getChCnt() override { return static_cast<int>(firstPartition.cols()); }
    int getSampleCnt() override { return static_cast<int>(fftLength / 2); }

    /// When set, each coefficient column has its mean removed before use (off by default).
    void setRemoveDC(bool on) { removeDC = on; }

    /// Output of the last filterLocal call, N x C.
    const Eigen::ArrayXXd& getFiltered() const { return filtered; }
    /// Gains of single-tap channels (0 marks a convolving channel).
    const Eigen::Array<double, 1, Eigen::Dynamic>& getDirectGains() const { return directGains; }

    /** Forward odd-frequency transform of each column of x (N..2N rows; missing
     * rows count as zero) into the columns of X (N rows). */
    template <typename Derived> void mDFT(const Eigen::DenseBase<Derived>& x, ComplexArray& X);

    /** Inverse of one spectrum column Y: z (N x 1) has the first half of the
     * 2N-sample signal in its real part and the negated second half in its imaginary part. */
    template <typename DerivedY, typename DerivedZ>
    void iMDFT(const Eigen::DenseBase<DerivedY>& Y, const Eigen::DenseBase<DerivedZ>& z);

    /** Filters one block: in has N rows and one column per channel.  The result
     * lands in getFiltered().  A block of another length (-1313) or with fewer
     * columns than channels (-1350) is reported and not processed.
     * @return 0 or that code. */
    template <typename Derived> int filterLocal(const Eigen::DenseBase<Derived>& in, int fade);

    /** One-channel engines: filters in, scales by gain (a single value) and writes
     * out as 32-bit integers truncated toward zero and saturated.
     * @return 0, or the code of a refused block (-1313, -1350) or of an engine with
     * other than one channel (-1350), already reported; out is then left as it was. */
    template <typename DerivedIn, typename DerivedOut>
    int filterGained(const Eigen::DenseBase<DerivedIn>& in, const Eigen::DenseBase<DerivedOut>& out, int fade,
                     double gain);
    /// As above with a per-sample gain column of N values.
    template <typename DerivedIn, typename DerivedOut, typename DerivedGain>
    int filterGained(const Eigen::DenseBase<DerivedIn>& in, const Eigen::DenseBase<DerivedOut>& out, int fade,
                     const Eigen::DenseBase<DerivedGain>& gain);

    /** Writes channel c of the last filterLocal output times gain (a single value) into out as
     * 32-bit integers, converted as filterGained converts: for engines whose channels share an
     * input, one filterLocal call, then one call per channel. */
    template <typename DerivedOut> void writeGained(int c, const Eigen::DenseBase<DerivedOut>& out, double gain) const {
        writeGainedWith(c, out, [gain](Eigen::Index) { return gain; });
    }
    /// As above with a per-sample gain column of N values.
    template <typename DerivedOut, typename DerivedGain>
    void writeGained(int c, const Eigen::DenseBase<DerivedOut>& out, const Eigen::DenseBase<DerivedGain>& gain) const {
        writeGainedWith(c, out, [&gain](Eigen::Index n) { return gain(n); });
    }

    /// The most taps a coefficient file may hold (frames): 2^21, 43.7 s at 48 kHz.
    static constexpr Eigen::Index maxTaps = Eigen::Index(1) << 21;

    /** Reads a whole coefficient file (frames x channels) as every reader of coefficients
     * does; 0 or the reader's negative code (already reported).  A file of more than maxTaps
     * frames is refused with MOBU_TAP_LIMIT_ERROR naming it, after reading maxTaps + 1 frames
     * only, and b is left empty.  abandon is asked before every 65536 frames read (it throws
     * BuildAbandoned, see setAbandonCheck). */
    static int readFile(const std::string& fileName, Eigen::MatrixXd& b, double* fileRate = nullptr,
                        const AbandonCheck& abandon = {});

    /** Channel m of an audio file, trimmed as loadTimeDomainCoefficients(fileName, m) trims it
     * (the same "Trimming" line printed), into taps; maxCoefficient (if given) receives the
     * largest sample of the whole file.  0 or the same negative codes, reported.  With a
     * streamRate above 0, a file at another sample rate is read with a warning naming both rates. */
    static int readChannel(const std::string& fileName, unsigned m, Eigen::VectorXd& taps,
                           double* maxCoefficient = nullptr, double streamRate = 0.0);
    /** Channels 0 ... channels - 1 of an audio file, read once, each trimmed as readChannel trims it.
     * @return 0; or the reader's code (the file can't be read, or a sample is not finite: every
     *         channel's code is set) or -1350 for channels the file lacks (their codes set, the others
     *         read); `why` then says what is wrong, for the caller's message.  Nothing is printed
     *         but the reader's own report.  abandon as readFile asks it. */
    static int readChannels(const std::string& fileName, int channels, std::vector<Eigen::VectorXd>& taps,
                            std::vector<int>& codes, std::string& why, double streamRate = 0.0,
                            const AbandonCheck& abandon = {});

    /** The engines of a processor whose output m is fed by input m mod `inputs`: engine i holds
     * outputs i, i + inputs, i + 2 inputs, ... of taps (taps[m] for output m, the shorter
     * zero-padded to the longest) as its channels 0, 1, 2, ..., all reading column 0 of its
     * block, so that each input is transformed once for all the outputs it feeds.  Block
     * length N = M / 2, partitioned as given, the later stages in the given precision.  Throws as
     * loading does (out of memory, no transform plan), and BuildAbandoned once abandon (asked
     * as setAbandonCheck asks it) says so. */
    static std::vector<std::unique_ptr<FIRMobu>> perInputEngines(int M, int inputs,
                                                                 const std::vector<Eigen::VectorXd>& taps,
                                                                 Partitioning partitioning = defaultPartitioning(),
                                                                 Precision precision = defaultPrecision(),
                                                                 const AbandonCheck& abandon = {});

    /// Double to 32-bit integer: truncation toward zero, saturating at the limits (NaN gives 0).
    static int32_t toInt32(double v) {
        if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
        if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
        if (std::isnan(v)) return 0;
        return static_cast<int32_t>(v);
    }

protected:
    bool removeDC = false;
    Eigen::Array<double, 1, Eigen::Dynamic> directGains;  ///< per channel, 0 for convolving channels
    ComplexArray firstPartition;                          ///< N x C, spectra of taps 0..N-1
    std::vector<SpectrumArray> windowSpectra;             ///< C of N x P, spectra of taps pN..pN+2N-1
    std::vector<SpectrumArray> history;                   ///< G of N x P, last P input spectra (a ring) per input
    std::vector<int> historyHead;                         ///< G ring positions of the newest input spectrum
    std::vector<int> requestedInputs;                     ///< set by setChannelInputs, empty for the default
    std::vector<int> inputColumn;                         ///< C columns of the block the channels read
    std::vector<int> inputGroup;                          ///< C indices into history: one per distinct column
    std::vector<int> groupLeader;                         ///< G: the first channel of each group, which transforms
    int inputsNeeded = 0;                                 ///< columns a block must have
    std::vector<int> groupLast;                           ///< G: the last channel of each group
    std::vector<std::vector<double*>> groupCarries;       ///< G: the carries of each group's channels
    std::vector<std::vector<const double*>> groupWindows; ///< G: their window spectra
    std::vector<SpectrumArray> carry;                     ///< C of N x 1, older blocks' contribution ahead
    unsigned fftLength = 0;                               ///< M = 2N
    ComplexColumn twiddleFwd;                             ///< exp(-j pi n / M)
    ComplexColumn twiddleInv;                             ///< exp(+j pi n / M)
    Eigen::ArrayXXd filtered;                             ///< N x C output of the last block
    /** N x 3: the packed block, its output spectrum and the inverse transform of that (cache-line
     * aligned, as the stage-0 plans were made for). */
    SpectrumArray blockWork;
    Eigen::MatrixXcd packed; ///< N x K forward transform scratch of mDFT
    Eigen::MatrixXd zeros;   ///< N x K zeros
    Eigen::ArrayXXd fadeOut; ///< N x C ramps 1 -> 0
    Eigen::ArrayXXd fadeIn;  ///< N x C ramps 0 -> 1

    Partitioning partitioning = defaultPartitioning();
    Precision laterPrecision = defaultPrecision();
    AbandonCheck abandonCheck;                                      ///< set by setAbandonCheck
    std::vector<int> requestedRatios = defaultRatios();             ///< stage block lengths / N set by setPartitioning
    std::vector<std::unique_ptr<FIRLongPartitions>> longPartitions; ///< stages 1, 2, ...
    /// N-point forward (blockWork column 0 to a ring column) and inverse (column 1 to 2) transforms.
    std::unique_ptr<firkernels::TransformPlan> forwardPlan, inversePlan;
    Eigen::ArrayXd blockIn; ///< N, the channel's input as doubles

    /// Number of N-tap partitions that hold L taps: ceil(L / N), L >= 1, N >= 1.
    static Eigen::Index partitionCount(Eigen::Index L, Eigen::Index N);

private:
    /// Transforms the block packed and twiddled in blockWork.col(0) into the newest column of history[g].
    void transformInput(int g);
    /** Convolves the newest input spectrum of channel c's group through channel c into filtered.col(c)
     * (with the carry of the older blocks), and blockIn (the group leader's) through the later stages. */
    void convolvePacked(int c);
    /// The next carry of every channel of group g, once their outputs have taken the current one.
    void carryAhead(int g);
    /// Moves every history ring on by one block (the oldest column takes the next spectrum).
    void advanceHistory();
    /// inputColumn, inputGroup, groupLeader and inputsNeeded for C channels from requestedInputs.
    void assignInputs(int C, std::vector<int>& column, std::vector<int>& group, std::vector<int>& leader,
                      int& needed) const;
    /// Moves the later stages on by one block.
    void advanceLongPartitions();
    /// Sizes filtered and the fades for N x C.
    void prepareOutput(int N, int C);
    /// Applies the fade argument to filtered.
    void applyFade(int fade);
    /// Reports a block of the wrong length; returns true when the length is wrong.
    bool wrongBlockLength(Eigen::Index rows);
    /// Reports a block with fewer columns than channels (-1350); returns true when it has too few.
    bool tooFewChannels(Eigen::Index cols);
    /// Loads h through the virtual slot; a build that throws is reported (-1359), old coefficients kept.
    int loadBuilt(const Eigen::MatrixXd& h);
    template <typename DerivedOut, typename GainAt>
    void writeGainedWith(int c, const Eigen::DenseBase<DerivedOut>& outC, const GainAt& gainAt) const {
        auto& out = const_cast<Eigen::DenseBase<DerivedOut>&>(outC);
        const Eigen::Index N = filtered.rows();
        for (Eigen::Index n = 0; n < N; ++n)
            out(n) = toInt32(filtered(n, c) * gainAt(n));
    }
    /// filterGained with the gain of sample n given by gainAt(n).
    template <typename DerivedIn, typename DerivedOut, typename GainAt>
    int filterGainedWith(const Eigen::DenseBase<DerivedIn>& in, const Eigen::DenseBase<DerivedOut>& out, int fade,
                         const GainAt& gainAt);
};

template <typename Derived> void FIRMobu::mDFT(const Eigen::DenseBase<Derived>& x, ComplexArray& X) {
    const Eigen::Index N = fftLength / 2;
    const Eigen::Index L = x.rows();
    const Eigen::Index K = x.cols();
    X.resize(N, K);
    if (packed.rows() != N || packed.cols() != K) {
        packed.resize(N, K);
        zeros.setZero(N, K);
    }
    packed.real() = zeros;
    packed.imag() = zeros;
    const Eigen::Index first = std::min(N, L);
    packed.real().topRows(first) = x.topRows(first).template cast<double>();
    if (L > N) {
        const Eigen::Index second = std::min(2 * N, L) - N;
        packed.imag().topRows(second) = -x.middleRows(N, second).template cast<double>();
    }
    for (Eigen::Index k = 0; k < K; ++k) {
        packed.col(k).array() *= twiddleFwd;
        fwd(X.col(k).data(), packed.col(k).data(), N);
    }
}

template <typename DerivedY, typename DerivedZ>
void FIRMobu::iMDFT(const Eigen::DenseBase<DerivedY>& Y, const Eigen::DenseBase<DerivedZ>& zOut) {
    auto& z = const_cast<Eigen::DenseBase<DerivedZ>&>(zOut).derived();
    const Eigen::Index N = fftLength / 2;
    z.resize(N, 1);
    ComplexColumn y = Y; // contiguous copy of the spectrum
    inv(z.data(), y.data(), N);
    z.array() *= twiddleInv;
}

template <typename Derived> int FIRMobu::filterLocal(const Eigen::DenseBase<Derived>& in, int fade) {
    if (wrongBlockLength(in.rows())) return -1313;
    if (tooFewChannels(in.cols())) return -1350;
    const int N = static_cast<int>(fftLength / 2);
    const int C = getChCnt();
    prepareOutput(N, C);
    for (int c = 0; c < C; ++c) {
        const Eigen::Index column = inputColumn[c];
        if (directGains(c) != 0.0) {
            filtered.col(c) = in.col(column).template cast<double>().array() * directGains(c);
            continue;
        }
        if (groupLeader[inputGroup[c]] == c) {
            // Pack the block (imaginary part zero: only N samples) and twiddle it in one pass;
            // the other channels on this column use the spectrum it gives.
            std::complex<double>* p = blockWork.col(0);
            for (int n = 0; n < N; ++n)
                p[n] = twiddleFwd(n) * static_cast<double>(in(n, column));
            if (!longPartitions.empty())
                for (int n = 0; n < N; ++n)
                    blockIn(n) = static_cast<double>(in(n, column));
            transformInput(inputGroup[c]);
        }
        convolvePacked(c);
        if (groupLast[inputGroup[c]] == c) carryAhead(inputGroup[c]);
    }
    advanceHistory();
    advanceLongPartitions();
    applyFade(fade);
    return 0;
}

template <typename DerivedIn, typename DerivedOut, typename GainAt>
int FIRMobu::filterGainedWith(const Eigen::DenseBase<DerivedIn>& in, const Eigen::DenseBase<DerivedOut>& outC, int fade,
                              const GainAt& gainAt) {
    // A refused block leaves filtered holding the previous block: it must not reach out again.
    const int ret = filterLocal(in, fade);
    if (ret != 0) return ret;
    if (getChCnt() != 1)
        return MobuDebug().evaluateError(-1350, std::string(" gains.cols() == ") + "1" + " but should be " +
                                                    std::to_string(getChCnt()) + "returning without processing.\n");
    writeGainedWith(0, outC, gainAt);
    return 0;
}

template <typename DerivedIn, typename DerivedOut>
int FIRMobu::filterGained(const Eigen::DenseBase<DerivedIn>& in, const Eigen::DenseBase<DerivedOut>& out, int fade,
                          double gain) {
    return filterGainedWith(in, out, fade, [gain](Eigen::Index) { return gain; });
}

template <typename DerivedIn, typename DerivedOut, typename DerivedGain>
int FIRMobu::filterGained(const Eigen::DenseBase<DerivedIn>& in, const Eigen::DenseBase<DerivedOut>& out, int fade,
                          const Eigen::DenseBase<DerivedGain>& gain) {
    return filterGainedWith(in, out, fade, [&gain](Eigen::Index n) { return gain(n); });
}

#endif
