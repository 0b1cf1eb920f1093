#ifndef MOBU_SIMULATOR_ROOMCONVOLVER_H
#define MOBU_SIMULATOR_ROOMCONVOLVER_H

#include <fftw3.h>

#include <memory>
#include <vector>

namespace mobuloop {

/** Sum of several inputs, each convolved with its own impulse response, one
 * sample at a time and without added latency.
 *
 * The first `blockSize` taps are applied directly in the time domain; the rest
 * of each response is cut into partitions of `blockSize` taps whose
 * contributions are computed once per block by overlap-save in the frequency
 * domain (the partitions start one block late, so the FFT of the block just
 * completed is all they need).  The result is the exact linear convolution to
 * rounding, whatever the lengths in which process() is called.
 */
class RoomConvolver {
public:
    /** @param responses one impulse response per input (they may differ in length)
     *  @param blockSize length of the direct part and of the partitions */
    explicit RoomConvolver(const std::vector<std::vector<double>>& responses, int blockSize = 128);
    ~RoomConvolver();
    RoomConvolver(const RoomConvolver&) = delete;
    RoomConvolver& operator=(const RoomConvolver&) = delete;

    /// Forgets the history (as if every input had been silent until now).
    void reset();

    /// Takes one sample of every input and returns the next output sample.
    double process(const double* inputs);

private:
    struct FFTWDeleter {
        void operator()(void* p) const { fftw_free(p); }
    };
    using RealBuffer = std::unique_ptr<double[], FFTWDeleter>;
    using ComplexBuffer = std::unique_ptr<fftw_complex[], FFTWDeleter>;

    void computeTail();
    void finishBlock();

    int inputs;
    int B;                         ///< block size
    int headLength;                ///< taps applied directly (<= B)
    int partitions;                ///< frequency-domain partitions after the head (may be 0)
    int bins;                      ///< B + 1
    int position = 0;              ///< sample index within the current block
    int newest = 0;                ///< index of the newest spectrum in the delay line
    std::vector<double> head;      ///< inputs x B direct taps
    std::vector<double> history;   ///< inputs x 2B: previous block then current block
    std::vector<double> tail;      ///< partition contributions to the current block
    ComplexBuffer responseSpectra; ///< inputs x partitions x bins
    ComplexBuffer inputSpectra;    ///< inputs x partitions x bins, a ring over blocks
    ComplexBuffer accumulator;     ///< bins
    RealBuffer timeBuffer;         ///< 2B
    fftw_plan forward = nullptr;
    fftw_plan inverse = nullptr;
};

} // namespace mobuloop

#endif
