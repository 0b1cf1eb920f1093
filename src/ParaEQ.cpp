#include "MobuEmbedded/ParaEQ.h"

#include "MobuEmbedded/MobuDebug.h"

#include <SafeFile.h>
#include <ThreadPriority.h>
#include <json/json.h>

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
/// Largest equaliser file read: a few hundred sections take a few kilobytes.
constexpr off_t maxFileBytes = off_t(1) << 20;

/** The text of an equaliser file, opened without blocking so that a FIFO or a device under its
 * name is refused instead of waited on.  A file that can't be opened gives no text.
 * @return 0, or PARAEQ_FILE_ERROR (reported) for anything but a regular file of at most 1 MiB. */
int readEqualiserFile(const std::string& name, std::string& text) {
    text.clear();
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    int ret = 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ret = MobuDebug().evaluateError(PARAEQ_FILE_ERROR, name + " is not a regular file\n");
    } else {
        char buffer[1 << 16];
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            text.append(buffer, static_cast<size_t>(got));
            if (static_cast<off_t>(text.size()) > maxFileBytes) break; // it grew since fstat
        }
        if (static_cast<off_t>(text.size()) > maxFileBytes || st.st_size > maxFileBytes) {
            text.clear();
            ret = MobuDebug().evaluateError(PARAEQ_FILE_ERROR, name + " is larger than 1 MiB\n");
        }
    }
    close(fd);
    return ret;
}

/// Upper bound on the section count of a binary record when the stream's size is unknown.
constexpr int64_t maxStreamSections = 1 << 20;
constexpr int64_t recordRows = 3;

void toLittleEndian(uint64_t v, unsigned char* out) {
    for (int k = 0; k < 8; ++k)
        out[k] = static_cast<unsigned char>(v >> (8 * k));
}

uint64_t fromLittleEndian(const unsigned char* in) {
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k)
        v |= static_cast<uint64_t>(in[k]) << (8 * k);
    return v;
}

bool writeInt64(std::ostream& os, int64_t v) {
    unsigned char b[8];
    toLittleEndian(static_cast<uint64_t>(v), b);
    os.write(reinterpret_cast<const char*>(b), 8);
    return !os.fail();
}

bool readInt64(std::istream& is, int64_t& v) {
    unsigned char b[8];
    if (!is.read(reinterpret_cast<char*>(b), 8)) return false;
    v = static_cast<int64_t>(fromLittleEndian(b));
    return true;
}

/// Bytes left in a seekable stream from the read position, or -1 when unknown.
std::streamoff bytesLeft(std::istream& is) {
    const std::streampos pos = is.tellg();
    if (pos == std::streampos(-1)) return -1;
    is.seekg(0, std::ios::end);
    const std::streampos end = is.tellg();
    is.clear();
    is.seekg(pos);
    if (end == std::streampos(-1) || !is) {
        is.clear();
        return -1;
    }
    return end - pos;
}

int writeRecord(std::ostream& os, const Eigen::ArrayXXd& m) {
    if (!writeInt64(os, m.rows())) return MobuDebug().evaluateError(PARAEQ_WRITE_ERROR, "when writing the row count\n");
    if (!writeInt64(os, m.cols()))
        return MobuDebug().evaluateError(PARAEQ_WRITE_ERROR, "when writing the column count\n");
    std::vector<unsigned char> bytes(static_cast<size_t>(m.size()) * 8);
    for (Eigen::Index k = 0; k < m.size(); ++k) { // column-major, as Eigen stores it
        uint64_t bits;
        const double v = m.data()[k];
        std::memcpy(&bits, &v, 8);
        toLittleEndian(bits, &bytes[static_cast<size_t>(k) * 8]);
    }
    os.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (os.fail()) return MobuDebug().evaluateError(PARAEQ_WRITE_ERROR, "when writing the coefficients\n");
    return 0;
}

/// Reads one record into m; checks the counts before allocating anything.
int readRecord(std::istream& is, Eigen::ArrayXXd& m) {
    int64_t rows = 0, cols = 0;
    if (!readInt64(is, rows)) return MobuDebug().evaluateError(PARAEQ_READ_ERROR, "when reading the row count\n");
    if (!readInt64(is, cols)) return MobuDebug().evaluateError(PARAEQ_READ_ERROR, "when reading the column count\n");
    if (rows != recordRows)
        return MobuDebug().evaluateError(PARAEQ_READ_ERROR,
                                         "the coefficient record has " + std::to_string(rows) + " rows instead of 3\n");
    const std::streamoff left = bytesLeft(is);
    if (cols < 0 || cols > maxStreamSections || (left >= 0 && cols > left / (recordRows * 8)))
        return MobuDebug().evaluateError(PARAEQ_READ_ERROR, "the coefficient record claims " + std::to_string(cols) +
                                                                " sections, more than the stream holds\n");
    std::vector<unsigned char> bytes(static_cast<size_t>(rows * cols * 8));
    if (!is.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        return MobuDebug().evaluateError(PARAEQ_READ_ERROR, "when reading the coefficients\n");
    m.resize(rows, cols);
    for (Eigen::Index k = 0; k < m.size(); ++k) {
        const uint64_t bits = fromLittleEndian(&bytes[static_cast<size_t>(k) * 8]);
        std::memcpy(m.data() + k, &bits, 8);
    }
    return 0;
}
} // namespace

ParaEQ::ParaEQ() {
    setUnity();
    buffer(0).reset(B, A);
    buffer(1).reset(B, A);
}

void ParaEQ::reset(int n) {
    A.setZero(3, std::max(n, 0));
    B.setZero(3, std::max(n, 0));
}

void ParaEQ::setUnity() {
    reset(1);
    A(0, 0) = 1.0;
    B = A;
}

int ParaEQ::indexError(const char* format, long have, int asked) {
    printf(format, have, asked);
    return MobuDebug().evaluateError(PARAEQ_INDEX_ERROR);
}

int ParaEQ::loadCoefficient(Eigen::ArrayXXd& table, unsigned i, unsigned j, double v) {
    if (i >= 3)
        return indexError("You're asking for a coeff index which is too large, we have %ld coeffs, you're requesting "
                          "array index %d",
                          3, static_cast<int>(i));
    if (j >= static_cast<unsigned long>(table.cols()))
        return indexError("You're asking for an IIR filter index which is too large, we have %ld filters, you're "
                          "requesting filter array index %d",
                          static_cast<long>(table.cols()), static_cast<int>(j));
    table(i, j) = v;
    return 0;
}

int ParaEQ::loadA(unsigned i, unsigned j, double v) {
    return loadCoefficient(A, i, j, v);
}

int ParaEQ::loadB(unsigned i, unsigned j, double v) {
    return loadCoefficient(B, i, j, v);
}

int ParaEQ::appendDesign() {
    if (!design.isStable()) return PARAEQ_DESIGN_ERROR;
    const Eigen::Index n = A.cols();
    A.conservativeResize(3, n + 1);
    B.conservativeResize(3, n + 1);
    A.col(n) << design.a0, design.a1, design.a2;
    B.col(n) << design.b0, design.b1, design.b2;
    return 0;
}

int ParaEQ::newBPF(double fc, double dB, double Q) {
    if (!(std::isfinite(fc) && fc > 0.0 && std::isfinite(dB) && std::isfinite(Q) && Q > 0.0))
        return PARAEQ_DESIGN_ERROR;
    design.designBPF(fc, dB, Q);
    return appendDesign();
}

int ParaEQ::newLPF(double fc, double dB) {
    if (!(std::isfinite(fc) && fc > 0.0 && std::isfinite(dB))) return PARAEQ_DESIGN_ERROR;
    design.designLPF(fc, dB);
    return appendDesign();
}

int ParaEQ::newHPF(double fc, double dB) {
    if (!(std::isfinite(fc) && fc > 0.0 && std::isfinite(dB))) return PARAEQ_DESIGN_ERROR;
    design.designHPF(fc, dB, 0.0);
    return appendDesign();
}

int ParaEQ::fromJSON(std::istream& is) {
    if (!is.good()) // a file that could not be opened reads as an empty stream
        return 0;
    const std::streamoff length = bytesLeft(is);
    if (length == 0) return 0;
    is >> std::ws; // white space alone is an empty document too
    if (is.peek() == std::char_traits<char>::eof()) {
        is.clear();
        return 0;
    }

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true; // "[] garbage" or "[][]" is not one document
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, is, &root, &errors);
    } catch (const std::exception& e) { // e.g. nesting deeper than the parser's stack limit
        errors = std::string(e.what()) + "\n";
    }
    if (!parsed)
        return MobuDebug().evaluateError(PARAEQ_JSON_ERROR,
                                         "the json file " + fileName + " can't be parsed: " + errors);
    if (!root.isArray())
        return MobuDebug().evaluateError(PARAEQ_JSON_ERROR,
                                         "the json file " + fileName + " doesn't hold an array of filters\n");

    for (const Json::Value& filter : root) {
        const bool isBPF = filter.isObject() && filter["type"].isString() &&
                           filter["type"].asString().find("BPF") != std::string::npos;
        if (!isBPF)
            return MobuDebug().evaluateError(PARAEQ_DESIGN_ERROR, "a non BPF filter found in the json file " +
                                                                      fileName + " expand here to handle\n");
        if (!filter["Fc"].isNumeric() || !filter["dB"].isNumeric() || !filter["Q"].isNumeric())
            return MobuDebug().evaluateError(PARAEQ_DESIGN_ERROR, "a BPF filter from the json file " + fileName +
                                                                      " is missing a parameter {Fc, dB, Q}\n");
        const double Fc = filter["Fc"].asDouble(), dB = filter["dB"].asDouble(), Q = filter["Q"].asDouble();
        printf("fs %f\n", fs);
        printf("Fc %f\n", Fc);
        // A file's section stays within half the sample rate and the gain limit.
        const bool inLimits = Fc <= fs / 2.0 && std::abs(dB) <= maxGainDB;
        if (!inLimits || newBPF(2.0 * Fc / fs, dB, Q) != 0) {
            char values[160];
            snprintf(values, sizeof(values),
                     " can't be designed with Fc %g, dB %g, Q %g at fs %g (it needs 0 < Fc <= fs/2, |dB| <= %g, "
                     "Q > 0 and a stable section)\n",
                     Fc, dB, Q, fs, maxGainDB);
            return MobuDebug().evaluateError(PARAEQ_DESIGN_ERROR,
                                             "a BPF filter from the json file " + fileName + values);
        }
    }
    return 0;
}

int ParaEQ::loadIntoInactive() {
    if (fileName.empty()) return MobuDebug().evaluateError(PARAEQ_FILENAME_ERROR);
    reset(0);
    std::string text;
    int ret = readEqualiserFile(fileName, text);
    if (ret == 0) {
        std::istringstream file(text);
        ret = fromJSON(file);
    }
    if (ret < 0) setUnity();
    inactiveBuffer()->reset(B, A);
    return ret;
}

int ParaEQ::loadFromFile() {
    const int ret = loadIntoInactive();
    if (ret < 0 && ret != PARAEQ_FILENAME_ERROR) resetCascade(); // the unity section is put in force at once
    return ret;
}

int ParaEQ::prepTransition() {
    // printf rather than std::cout: producers on several threads may print at once.
    printf("prepTransition\n");
    const int priority = ALSA::getThreadPriority(true);
    printf("FullDuplexFIR::prepTransition thread priority %d\n", priority);
    if (transitionPending()) { // the target belongs to the audio thread until it switches
        printf("ParaEQ::prepTransition : already waiting for a switch\n");
        fflush(stdout);
        return 0;
    }
    fflush(stdout);
    IIRCascade* spare = inactiveBuffer();
    spare->clearState(); // the new cascade starts from silence, not from its last use
    target.store(spare, std::memory_order_release);
    return 0;
}

int ParaEQ::toStream(std::ostream& os) {
    const int ret = writeRecord(os, A);
    return ret != 0 ? ret : writeRecord(os, B);
}

int ParaEQ::fromStream(std::istream& is) {
    Eigen::ArrayXXd newA, newB;
    int ret = readRecord(is, newA);
    if (ret == 0) ret = readRecord(is, newB);
    if (ret != 0) return ret;
    if (newA.cols() != newB.cols())
        return MobuDebug().evaluateError(PARAEQ_READ_ERROR, "the A and B records hold different section counts\n");
    // The same test as for designed sections: finite coefficients, a0 != 0, poles inside the unit circle.
    IIRDesign section;
    for (Eigen::Index j = 0; j < newA.cols(); ++j) {
        section.a0 = newA(0, j), section.a1 = newA(1, j), section.a2 = newA(2, j);
        section.b0 = newB(0, j), section.b1 = newB(1, j), section.b2 = newB(2, j);
        if (!section.isStable())
            return MobuDebug().evaluateError(PARAEQ_READ_ERROR,
                                             "section " + std::to_string(j) +
                                                 " of the stream is not a stable filter with finite coefficients\n");
    }
    if (newA.cols() != A.cols()) {
        std::cout << "Resetting" << std::endl;
        reset(static_cast<int>(newA.cols()));
    }
    A = newA;
    B = newB;
    return 0;
}

int ParaEQ::saveToFile() {
    if (fileName.empty()) return MobuDebug().evaluateError(PARAEQ_FILENAME_ERROR);
    std::ostringstream bytes(std::ios::binary);
    int ret = toStream(bytes);
    if (ret != 0) return ret;
    // A new file renamed into place: a link or FIFO at the path is refused, never written through.
    ret = writeFileSafely(fileName, bytes.str());
    if (ret != 0) return MobuDebug().evaluateError(PARAEQ_WRITE_ERROR, "when writing " + fileName + "\n");
    return 0;
}

int ParaEQ::resetCascade() {
    const int ret = activeBuffer()->reset(B, A);
    if (ret != 0) IIRDebug().evaluateError(ret, "when resetting the equaliser cascade\n");
    return ret;
}

int ParaEQ::genImpulseResponse(int n) {
    if (n < 1) return MobuDebug().evaluateError(PARAEQ_INDEX_ERROR, "an impulse response needs at least one sample\n");
    const int ret = resetCascade();
    h.setZero(n);
    h[0] = 1.0;
    if (ret != 0) return ret;
    return activeBuffer()->process(h, h);
}

int ParaEQ::getH(unsigned i, double& out) {
    if (i >= static_cast<unsigned long>(h.size()))
        return indexError("You're asking for an impulse response (h) index which is too large, we have %ld samples, "
                          "you're requesting array index %d",
                          static_cast<long>(h.size()), static_cast<int>(i));
    out = h[i];
    return 0;
}

double ParaEQ::getH(unsigned i) {
    double v = 0.0;
    if (getH(i, v) != 0) return static_cast<double>(PARAEQ_INDEX_ERROR);
    const double smallest = std::numeric_limits<double>::min();
    if (std::abs(v) < smallest) return v < 0.0 ? -smallest : smallest;
    return v;
}

int ParaEQ::spliceOutIIR(unsigned i) {
    const Eigen::Index n = A.cols();
    if (i >= static_cast<unsigned long>(n))
        return indexError("You're asking for an IIR filter index which is too large, we have %ld filters, you're "
                          "requesting filter array index %d",
                          static_cast<long>(n), static_cast<int>(i));
    for (Eigen::Index k = i; k + 1 < n; ++k) {
        A.col(k) = A.col(k + 1);
        B.col(k) = B.col(k + 1);
    }
    A.conservativeResize(3, n - 1);
    B.conservativeResize(3, n - 1);
    return 0;
}

void ParaEQ::dumpAB() {
    std::cout << "a : \n"
              << A << "\n"
              << "b : \n"
              << B << "\n";
}

int ParaEQ::process(const Eigen::Ref<const Eigen::ArrayXd>& in, Eigen::Ref<Eigen::ArrayXd> out) {
    if (work.size() != out.size()) work.resize(out.size());
    const int ret = activeBuffer()->process(in, work);
    if (ret == 0) out = work;
    return ret;
}

double ParaEQ::peakGainDB(double fs, double* atHz) const {
    double best = 0.0, where = 0.0;
    bool any = false;
    if (!(fs > 0.0) || A.cols() == 0) {
        if (atHz) *atHz = 0.0;
        return 0.0;
    }
    for (double f = 10.0; f < fs / 2.0; f *= std::pow(2.0, 1.0 / 96.0)) {
        const std::complex<double> z1 = std::polar(1.0, -2.0 * M_PI * f / fs); // z^-1
        std::complex<double> h = 1.0;
        for (Eigen::Index j = 0; j < A.cols(); ++j)
            h *= (B(0, j) + B(1, j) * z1 + B(2, j) * z1 * z1) / (A(0, j) + A(1, j) * z1 + A(2, j) * z1 * z1);
        const double dB = 20.0 * std::log10(std::abs(h));
        if (!any || dB > best) best = dB, where = f, any = true;
    }
    if (atHz) *atHz = where;
    return best;
}

std::string ParaEQ::headroomWarning(double fs, const std::string& what) const {
    double at = 0.0;
    const double peak = peakGainDB(fs, &at);
    if (!(peak > HEADROOM_DB)) return "";
    char line[512];
    std::snprintf(line, sizeof line,
                  "Warning : the equaliser %s boosts by up to %+.1f dB (at %.0f Hz), more than the %+.0f dB of "
                  "headroom: loud passages clip (only an output guard bounds the outputs)",
                  what.c_str(), peak, at, HEADROOM_DB);
    return line;
}
