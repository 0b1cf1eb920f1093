#ifndef MOBU_PLATFORM_SOX_H
#define MOBU_PLATFORM_SOX_H

#include "Debug.h"
#include "SafeFile.h"

#include <Eigen/Dense>
#include <sox.h>

#include <cstdint>
#include <string>
#include <vector>

#define SOX_INIT_ERROR -40021             ///< libsox could not be initialised
#define SOX_CLOSE_FILE_ERROR -40022       ///< closing a file failed
#define SOX_READ_FILE_OPEN_ERROR -40023   ///< a file could not be opened for reading
#define SOX_WRITE_FILE_OPEN_ERROR -40024  ///< a file could not be opened for writing
#define SOX_READ_ERROR -40025             ///< reading samples failed
#define SOX_REFERENCE_WARNING -40026      ///< no rescaling reference: samples are read at file scale (harmless)
#define SOX_WRITE_ERROR -40027            ///< writing samples failed
#define SOX_NOT_OPEN_ERROR -40028         ///< the file for this operation is not open
#define SOX_SHORT_WRITE_ERROR -40029      ///< fewer samples were written than given
#define SOX_CHANNEL_ERROR -40030          ///< the data's channel count differs from the file's
#define SOX_PARAMETER_ERROR -40031        ///< invalid sample rate, channel count or peak (above 2^32)
#define SOX_WORD_SIZE_ERROR -40032        ///< unsupported sample word size
#define SOX_NOT_REGULAR_FILE_ERROR -40033 ///< the file to read is a FIFO, device or directory
#define SOX_CHANNEL_LIMIT_ERROR -40034    ///< more channels than Sox<T>::maxChannels
#define SOX_NON_FINITE_ERROR -40035       ///< a floating-point sample of the file is NaN or infinite

/// Error table of the audio-file classes, with the file writer's codes (SafeFile.h).
class SoxDebug : virtual public Debug, public SafeFileDebug {
public:
    SoxDebug();
};

/** Audio-file reading and writing through libsox.
 *
 * Samples are exchanged as FP_TYPE values in the range [-1, 1) of the file's
 * full scale, multiplied by the file's rescaling reference.
 *
 * Writing takes the largest absolute value of the data (maxVal).  Data whose
 * peak is above 1 would clip, so it is written divided by maxVal and the
 * factor is stored beside the audio file in "<file>.scale" (the rescaling
 * reference, see ScaleReference.h), with the size and a hash of the file it
 * was written for; data within [-1, 1] is written unchanged with a factor of
 * 1.  Reading multiplies by the stored factor.  When a file has no reference
 * (any file written by another program), or one that no longer belongs to it
 * (another program replaced or changed the file), openRead returns
 * SOX_REFERENCE_WARNING (-40026) and the samples are read at file scale;
 * callers treat that code as success.
 */
template <typename FP_TYPE> class Sox {
public:
    using Matrix = Eigen::Matrix<FP_TYPE, Eigen::Dynamic, Eigen::Dynamic>;

    /// Most channels a file may have (one per loudspeaker channel or room column is far fewer).
    static constexpr unsigned maxChannels = 1024;

    Sox();
    ~Sox();
    Sox(const Sox&) = delete;
    Sox& operator=(const Sox&) = delete;

    /** Opens a file for reading: 0, SOX_REFERENCE_WARNING, or a negative error
     * (SOX_NOT_REGULAR_FILE_ERROR for anything but a regular file, refused without
     * waiting on it; SOX_CHANNEL_LIMIT_ERROR for more than maxChannels channels). */
    int openRead(const std::string& fileName);
    /** Reads frames into audioData (frames x channels).  Memory grows with the
     * samples actually read, starting from what the file's size can hold, never
     * from what its header claims.
     * Floating-point files are checked as stored: a NaN or infinite sample (which libsox
     * would turn into full scale) fails the read with SOX_NON_FINITE_ERROR.
     * @param count frames to read; 0 reads to the end of the file.
     * @return frames read (>= 0) or a negative error code. */
    int read(Matrix& audioData, int count = 0);
    /// Closes the file open for reading (0 when none is open).
    int closeRead();

    double getFSIn() const;                       ///< sample rate of the file open for reading, 0 when unknown
    int getChCntIn() const;                       ///< channel count of the file open for reading
    double getScaleIn() const { return scaleIn; } ///< rescaling factor applied on reading

    /** Opens a file for writing: the data goes into a new file beside fileName, which
     * closeWrite renames into place (SafeFile) after writing its reference.  An existing
     * fileName or "<fileName>.scale" that is not a regular file, or is another user's
     * in a sticky folder, is refused with SAFEFILE_NOT_REGULAR_ERROR or SAFEFILE_OWNER_ERROR.
     * @param fs sample rate, channels channel count,
     * @param maxVal largest absolute sample value of the data to come (the scaling reference, at most 2^32),
     * @param wordSize bits per sample: 64 writes IEEE doubles, 8/16/24/32 signed integers.
     * @return 0 or a negative error code (SOX_CHANNEL_LIMIT_ERROR above maxChannels). */
    int openWrite(const std::string& fileName, double fs, int channels, double maxVal, unsigned int wordSize = 64);

    /// Writes frames (rows) x channels; returns the number of samples written or a negative code.
    template <typename Derived> int write(const Eigen::DenseBase<Derived>& audioData);

    /// Closes the file open for writing (0 when none is open).
    int closeWrite();

private:
    int writeInterleaved(const std::vector<sox_sample_t>& samples);
    /// False when one of the count stored samples from sample first on is NaN or infinite.
    bool storedSamplesFinite(uint64_t first, size_t count) const;

    sox_format_t* in = nullptr;
    sox_format_t* out = nullptr;
    uint64_t bytesIn = 0;    ///< size of the file open for reading
    int rawIn = -1;          ///< the file open for reading, kept to check floating-point samples as stored
    off_t rawStart = 0;      ///< offset of its first sample
    unsigned rawBytes = 0;   ///< bytes of one stored sample (4 or 8), 0 for integer encodings
    bool rawSwapped = false; ///< stored in the other byte order
    uint64_t samplesIn = 0;  ///< samples read so far
    double scaleIn = 1.0;
    double scaleOut = 1.0;
    std::string outName; ///< the file open for writing, for its reference
    SafeFile outFile;    ///< the new file the data goes into, renamed over outName when closed
    bool initialised = false;
};

/** Writes a whole matrix (frames x channels) to an audio file of 64-bit samples at
 * rate fs, with the data's peak as scaling reference: open, one write, a check
 * that every sample was written, close.  Failures are reported through SoxDebug
 * with the file name.
 * @return 0 or the negative code reported. */
int writeAudioFile(const std::string& name, double fs, const Eigen::MatrixXd& data);

template <typename FP_TYPE>
template <typename Derived>
int Sox<FP_TYPE>::write(const Eigen::DenseBase<Derived>& audioData) {
    if (out == nullptr) return SoxDebug().evaluateError(SOX_NOT_OPEN_ERROR, " when writing\n");
    if (static_cast<unsigned>(audioData.cols()) != out->signal.channels)
        return SoxDebug().evaluateError(SOX_CHANNEL_ERROR, " when writing\n");
    std::vector<sox_sample_t> samples(static_cast<size_t>(audioData.rows() * audioData.cols()));
    size_t k = 0;
    SOX_SAMPLE_LOCALS;
    size_t clips = 0;
    for (Eigen::Index r = 0; r < audioData.rows(); ++r)
        for (Eigen::Index c = 0; c < audioData.cols(); ++c)
            samples[k++] = SOX_FLOAT_64BIT_TO_SAMPLE(static_cast<double>(audioData(r, c)) / scaleOut, clips);
    return writeInterleaved(samples);
}

#endif
