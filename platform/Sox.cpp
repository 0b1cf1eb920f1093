#include "Sox.h"

#include "ScaleReference.h"

#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <mutex>
#include <unistd.h>

namespace {
/// libsox keeps global state: initialise it once per process and keep it.
int soxInitOnce() {
    static std::once_flag flag;
    static int result = SOX_SUCCESS;
    std::call_once(flag, [] {
        sox_globals.verbosity = 1; // errors only
        result = sox_init();
    });
    return result;
}
} // namespace

SoxDebug::SoxDebug() { // the writer's refusals come through here too (SafeFileDebug)
    errors[SOX_INIT_ERROR] = "Couldn't initialise the audio file library. ";
    errors[SOX_CLOSE_FILE_ERROR] = "Couldn't close the audio file. ";
    errors[SOX_READ_FILE_OPEN_ERROR] = "Couldn't open the audio file for reading. ";
    errors[SOX_WRITE_FILE_OPEN_ERROR] = "Couldn't open the audio file for writing. ";
    errors[SOX_READ_ERROR] = "Couldn't read samples from the audio file. ";
    errors[SOX_REFERENCE_WARNING] = "Warning : rescaling reference not found, reading samples at file scale. ";
    errors[SOX_WRITE_ERROR] = "Couldn't write samples to the audio file. ";
    errors[SOX_NOT_OPEN_ERROR] = "The audio file is not open. ";
    errors[SOX_SHORT_WRITE_ERROR] = "Fewer samples were written than requested. ";
    errors[SOX_CHANNEL_ERROR] = "The channel count of the data doesn't match the audio file. ";
    errors[SOX_PARAMETER_ERROR] = "Invalid sample rate, channel count or peak value for the audio file. ";
    errors[SOX_WORD_SIZE_ERROR] = "Unsupported sample word size for the audio file. ";
    errors[SOX_NOT_REGULAR_FILE_ERROR] = "The audio file is not a regular file. ";
    errors[SOX_CHANNEL_LIMIT_ERROR] = "The audio file has more than 1024 channels. ";
    errors[SOX_NON_FINITE_ERROR] = "The audio file holds samples that are not finite numbers (NaN or infinity). ";
}

template <typename FP_TYPE> Sox<FP_TYPE>::Sox() {
    initialised = soxInitOnce() == SOX_SUCCESS;
}

template <typename FP_TYPE> Sox<FP_TYPE>::~Sox() {
    closeRead();
    closeWrite();
}

template <typename FP_TYPE> int Sox<FP_TYPE>::openRead(const std::string& fileName) {
    if (!initialised) return SOX_INIT_ERROR;
    closeRead();
    const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return SOX_READ_FILE_OPEN_ERROR;
    // Opened without blocking and checked first: libsox would wait for ever on a FIFO.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return SOX_NOT_REGULAR_FILE_ERROR;
    }
    bytesIn = static_cast<uint64_t>(st.st_size);
    in = sox_open_read(fileName.c_str(), nullptr, nullptr, nullptr);
    if (in != nullptr && in->signal.channels > maxChannels) {
        close(fd);
        closeRead();
        return SOX_CHANNEL_LIMIT_ERROR;
    }
    scaleIn = 1.0;
    // The reference counts only while it belongs to the file as it is now.
    const bool referenced = in != nullptr && scalereference::read(fileName, fd, scaleIn);
    if (in == nullptr) {
        close(fd);
        return SOX_READ_FILE_OPEN_ERROR;
    }
    // libsox maps NaN and infinities to full scale: floating-point samples are checked as stored.
    const unsigned bits = in->encoding.bits_per_sample;
    const off_t start = in->fp != nullptr ? ftello(static_cast<FILE*>(in->fp)) : -1;
    if (in->encoding.encoding == SOX_ENCODING_FLOAT && (bits == 32 || bits == 64) && start >= 0) {
        rawIn = fd;
        rawStart = start;
        rawBytes = bits / 8;
        rawSwapped = in->encoding.reverse_bytes == sox_option_yes;
    } else {
        close(fd);
    }
    return referenced ? 0 : SOX_REFERENCE_WARNING;
}

template <typename FP_TYPE> int Sox<FP_TYPE>::read(Matrix& audioData, int count) {
    if (in == nullptr) return SOX_NOT_OPEN_ERROR;
    const unsigned ch = in->signal.channels;
    if (ch == 0) return SOX_READ_ERROR;
    std::vector<sox_sample_t> samples;
    // The first read asks for no more samples than the file has bytes (a header may claim
    // anything); each further one for as many as were read so far, up to 65536 frames.
    const size_t maxChunk = size_t(65536) * ch;
    size_t chunk = std::min<uint64_t>(maxChunk, std::max<uint64_t>(bytesIn / ch, 1) * ch);
    const size_t wanted = count > 0 ? static_cast<size_t>(count) * ch : SIZE_MAX;
    while (samples.size() < wanted) {
        chunk = std::min(maxChunk, std::max(chunk, samples.size()));
        const size_t ask = std::min(chunk, wanted - samples.size());
        const size_t old = samples.size();
        samples.resize(old + ask);
        const size_t got = sox_read(in, samples.data() + old, ask);
        samples.resize(old + got);
        if (got < ask) {
            if (in->sox_errno != 0) return SOX_READ_ERROR;
            break;
        }
    }
    if (rawIn >= 0 && !storedSamplesFinite(samplesIn, samples.size())) return SOX_NON_FINITE_ERROR;
    samplesIn += samples.size();
    const size_t frames = samples.size() / ch;
    audioData.resize(static_cast<Eigen::Index>(frames), ch);
    SOX_SAMPLE_LOCALS;
    size_t clips = 0;
    (void)clips;
    for (size_t f = 0; f < frames; ++f)
        for (unsigned c = 0; c < ch; ++c)
            audioData(f, c) = static_cast<FP_TYPE>(SOX_SAMPLE_TO_FLOAT_64BIT(samples[f * ch + c], clips) * scaleIn);
    return static_cast<int>(frames);
}

template <typename FP_TYPE> bool Sox<FP_TYPE>::storedSamplesFinite(uint64_t first, size_t count) const {
    unsigned char buffer[1 << 16];
    const size_t perChunk = sizeof buffer / rawBytes;
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(perChunk, count - done);
        const off_t at = rawStart + static_cast<off_t>((first + done) * rawBytes);
        if (pread(rawIn, buffer, n * rawBytes, at) != static_cast<ssize_t>(n * rawBytes)) return false;
        for (size_t k = 0; k < n; ++k) {
            uint64_t v = 0;
            for (unsigned b = 0; b < rawBytes; ++b) // little-endian unless swapped
                v |= uint64_t(buffer[k * rawBytes + (rawSwapped ? rawBytes - 1 - b : b)]) << (8 * b);
            const bool allOnes = rawBytes == 4 ? ((v >> 23) & 0xff) == 0xff : ((v >> 52) & 0x7ff) == 0x7ff;
            if (allOnes) return false; // the exponent of NaN and infinity
        }
        done += n;
    }
    return true;
}

template <typename FP_TYPE> int Sox<FP_TYPE>::closeRead() {
    if (rawIn >= 0) close(rawIn);
    rawIn = -1;
    rawBytes = 0;
    samplesIn = 0;
    if (in == nullptr) return 0;
    const int r = sox_close(in);
    in = nullptr;
    return r == SOX_SUCCESS ? 0 : SOX_CLOSE_FILE_ERROR;
}

template <typename FP_TYPE> double Sox<FP_TYPE>::getFSIn() const {
    return in == nullptr ? 0.0 : in->signal.rate;
}

template <typename FP_TYPE> int Sox<FP_TYPE>::getChCntIn() const {
    return in == nullptr ? 0 : static_cast<int>(in->signal.channels);
}

template <typename FP_TYPE>
int Sox<FP_TYPE>::openWrite(const std::string& fileName, double fs, int channels, double maxVal,
                            unsigned int wordSize) {
    if (!initialised) return SOX_INIT_ERROR;
    if (!(fs > 0.0) || channels <= 0) return SOX_PARAMETER_ERROR;
    if (static_cast<unsigned>(channels) > maxChannels) return SOX_CHANNEL_LIMIT_ERROR;
    if (std::isfinite(maxVal) && maxVal > scalereference::maxFactor) return SOX_PARAMETER_ERROR; // unreadable reference
    sox_encodinginfo_t enc{};
    if (wordSize == 64)
        enc.encoding = SOX_ENCODING_FLOAT;
    else if (wordSize == 8 || wordSize == 16 || wordSize == 24 || wordSize == 32)
        enc.encoding = wordSize == 8 ? SOX_ENCODING_UNSIGNED : SOX_ENCODING_SIGN2;
    else
        return SOX_WORD_SIZE_ERROR;
    enc.bits_per_sample = wordSize;
    enc.compression = HUGE_VAL;
    closeWrite();
    // The data goes into a new file beside the path, moved into place with its reference
    // when complete: a link, FIFO or device at either path is refused, never written through.
    int refused = SafeFile::checkTarget(scalereference::nameOf(fileName));
    if (refused == 0) refused = outFile.create(fileName);
    if (refused == SAFEFILE_NOT_REGULAR_ERROR || refused == SAFEFILE_OWNER_ERROR) return refused;
    if (refused != 0) return SOX_WRITE_FILE_OPEN_ERROR;
    sox_signalinfo_t sig{};
    sig.rate = fs;
    sig.channels = static_cast<unsigned>(channels);
    sig.precision = wordSize == 64 ? 32 : wordSize; // libsox carries 32-bit samples internally
    // The new file's name carries no extension: the type is the one the path names.
    const size_t slash = fileName.rfind('/');
    const size_t dot = fileName.rfind('.');
    const std::string type =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? fileName.substr(dot + 1) : "";
    out =
        sox_open_write(outFile.tempName().c_str(), &sig, &enc, type.empty() ? nullptr : type.c_str(), nullptr, nullptr);
    if (out == nullptr) {
        outFile.abandon();
        return SOX_WRITE_FILE_OPEN_ERROR;
    }
    scaleOut = (std::isfinite(maxVal) && maxVal > 1.0) ? maxVal : 1.0;
    outName = fileName;
    return 0;
}

template <typename FP_TYPE> int Sox<FP_TYPE>::writeInterleaved(const std::vector<sox_sample_t>& samples) {
    const size_t written = sox_write(out, samples.data(), samples.size());
    if (written != samples.size() && out->sox_errno != 0) return SOX_WRITE_ERROR;
    return static_cast<int>(written);
}

template <typename FP_TYPE> int Sox<FP_TYPE>::closeWrite() {
    if (out == nullptr) return 0;
    const int r = sox_close(out);
    out = nullptr;
    if (r != SOX_SUCCESS) {
        outFile.abandon(); // the old file and its reference stay as they were
        return SOX_CLOSE_FILE_ERROR;
    }
    // The reference names the complete file; it goes first so the file is never in place
    // with a factor that is not its own (until the rename the old file reads at file scale).
    scalereference::Identity id;
    const int fd = open(outFile.tempName().c_str(), O_RDONLY | O_CLOEXEC);
    const bool identified = fd >= 0 && scalereference::identify(fd, id);
    if (fd >= 0) close(fd);
    if (!identified || writeFileSafely(scalereference::nameOf(outName), scalereference::format(scaleOut, id)) != 0) {
        outFile.abandon();
        return SOX_WRITE_ERROR;
    }
    return outFile.commit() == 0 ? 0 : SOX_WRITE_ERROR;
}

template class Sox<double>;
template class Sox<float>;

int writeAudioFile(const std::string& name, double fs, const Eigen::MatrixXd& data) {
    Sox<double> sox;
    const double maxVal = data.size() > 0 ? data.cwiseAbs().maxCoeff() : 0.0;
    int ret = sox.openWrite(name, fs, static_cast<int>(data.cols()), maxVal);
    if (ret != 0) return SoxDebug().evaluateError(ret, name + "\n");
    const int written = sox.write(data);
    if (written < 0) return SoxDebug().evaluateError(written, name + "\n");
    if (written != data.rows() * data.cols()) return SoxDebug().evaluateError(SOX_SHORT_WRITE_ERROR, name + "\n");
    ret = sox.closeWrite();
    if (ret != 0) return SoxDebug().evaluateError(ret, name + "\n");
    return 0;
}
