#include "CoefficientMerge.h"

#include <SafeFile.h>
#include <ScaleReference.h>
#include <Sox.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace coefficientmerge {

namespace {

/// The whole content of a regular file: 1 read, 0 absent, -1 unreadable (error says why).
int readWhole(const std::string& path, std::string& content, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return 0;
        error = "can't read " + path + ": " + strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return -1;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        error = "can't read " + path;
        return -1;
    }
    content = text.str();
    return 1;
}

std::string writeWhole(const std::string& path, const std::string& content) {
    const int ret = writeFileSafely(path, content);
    if (ret < 0) return "can't write " + path + ": " + SafeFileDebug().message(ret);
    return "";
}

/// Removes a stale scale reference (one left beside a file that now has none).
std::string removeReference(const std::string& file) {
    const std::string reference = scalereference::nameOf(file);
    if (unlink(reference.c_str()) != 0 && errno != ENOENT) return "can't remove " + reference + ": " + strerror(errno);
    return "";
}

/// A file and its scale reference as they are on disk.
struct Stored {
    bool exists = false, hasReference = false;
    std::string audio, reference;
};

std::string load(const std::string& file, Stored& s) {
    std::string error;
    const int audio = readWhole(file, s.audio, error);
    if (audio < 0) return error;
    s.exists = audio == 1;
    const int reference = readWhole(scalereference::nameOf(file), s.reference, error);
    if (reference < 0) return error;
    s.hasReference = reference == 1;
    return "";
}

/// Writes a file and its scale reference (the reference first, as the audio writer does).
std::string store(const std::string& file, const Stored& s) {
    std::string wrong = s.hasReference ? writeWhole(scalereference::nameOf(file), s.reference) : removeReference(file);
    if (wrong.empty()) wrong = writeWhole(file, s.audio);
    return wrong;
}

/// Bits per sample of a WAV file's "fmt " chunk (0 when it has none), to write merged data as stored.
unsigned storedBits(const std::string& content) {
    const auto u32 = [&](size_t at) {
        uint32_t v = 0;
        memcpy(&v, content.data() + at, 4);
        return v;
    };
    if (content.size() < 12 || content.compare(0, 4, "RIFF") != 0 || content.compare(8, 4, "WAVE") != 0) return 0;
    for (size_t at = 12; at + 24 <= content.size(); at += 8 + u32(at + 4) + (u32(at + 4) & 1))
        if (content.compare(at, 4, "fmt ") == 0)
            return static_cast<unsigned char>(content[at + 22]) | static_cast<unsigned char>(content[at + 23]) << 8;
    return 0;
}

} // namespace

std::string keepBackup(const std::string& file) {
    Stored current;
    if (std::string wrong = load(file, current); !wrong.empty()) return wrong;
    if (!current.exists) return "";
    return store(backupOf(file), current);
}

std::string undo(const std::string& file) {
    const std::string backup = backupOf(file);
    Stored current, previous;
    if (std::string wrong = load(backup, previous); !wrong.empty()) return wrong;
    if (!previous.exists) return "there is no backup " + backup + " to restore";
    if (std::string wrong = load(file, current); !wrong.empty()) return wrong;
    if (current.exists) {
        if (std::string wrong = store(backup, current); !wrong.empty()) return wrong;
    }
    if (std::string wrong = store(file, previous); !wrong.empty()) {
        if (current.exists) store(backup, previous); // leave the backup as it was
        return wrong;
    }
    return "";
}

std::string merge(const std::string& file, double fs, const Eigen::MatrixXd& filters, const std::vector<int>& outputs,
                  std::string& notes) {
    Sox<double> in;
    const int opened = in.openRead(file);
    if (opened < 0 && opened != SOX_REFERENCE_WARNING)
        return "can't read the coefficient file " + file + " to merge into (" + SoxDebug().message(opened) + ")";
    Eigen::MatrixXd existing;
    const int frames = in.read(existing);
    const double fileFs = in.getFSIn();
    const double fileScale = in.getScaleIn();
    in.closeRead();
    if (frames < 0) return "can't read the coefficient file " + file + " (" + SoxDebug().message(frames) + ")";
    if (existing.rows() < 1) return "the coefficient file " + file + " has no taps";
    if (fileFs != fs) {
        std::ostringstream text;
        text << "the coefficient file " << file << " is at " << fileFs << " Hz, the measurement at " << fs
             << " Hz: not merged (write it with --out alone to replace it whole)";
        return text.str();
    }
    if (existing.cols() != filters.cols())
        return "the coefficient file " + file + " has " + std::to_string(existing.cols()) + " channels, the design " +
               std::to_string(filters.cols()) + ": not merged (write it with --out alone to replace it whole)";
    for (int o : outputs)
        if (o < 0 || o >= filters.cols()) return "output " + std::to_string(o) + " is not in the design";

    const Eigen::Index taps = std::max(existing.rows(), filters.rows());
    Eigen::MatrixXd merged = Eigen::MatrixXd::Zero(taps, filters.cols());
    merged.topRows(existing.rows()) = existing;
    for (int o : outputs) {
        merged.col(o).setZero();
        merged.col(o).head(filters.rows()) = filters.col(o);
    }
    // The file's own scale, unless a new filter needs more: the kept outputs' samples then come
    // back as they were stored.
    const double peak = merged.cwiseAbs().maxCoeff();
    const double scale = std::max(fileScale, peak);
    if (scale > fileScale && scale > 1.0)
        notes = "the new filters peak above the file's scale: every output is stored at the new scale " +
                std::to_string(scale) + " (the kept outputs within one sample step of what they were)";

    // The samples are written in the file's own word size (integers of 8 ... 32 bits or doubles).
    Stored current;
    if (std::string wrong = load(file, current); !wrong.empty()) return wrong;
    unsigned bits = storedBits(current.audio);
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32 && bits != 64) bits = 32;
    if (std::string wrong = store(backupOf(file), current); !wrong.empty()) return wrong;
    Sox<double> out;
    int ret = out.openWrite(file, fs, static_cast<int>(merged.cols()), scale, bits);
    if (ret >= 0) ret = out.write(merged);
    const int closed = out.closeWrite();
    if (ret < 0 || closed < 0) return "can't write " + file + " (" + SoxDebug().message(ret < 0 ? ret : closed) + ")";
    return "";
}

} // namespace coefficientmerge
