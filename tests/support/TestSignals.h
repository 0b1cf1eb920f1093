#ifndef MOBU_TESTS_TESTSIGNALS_H
#define MOBU_TESTS_TESTSIGNALS_H

#include <Eigen/Dense>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>

namespace mobutest {

/// Random filters, taps x channels, decaying as exp(-decay t / taps), with sum |h| of 0.9 per channel.
inline Eigen::MatrixXd randomFilters(int taps, int channels, unsigned seed, double decay = 4.0) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> dist;
    Eigen::MatrixXd h(taps, channels);
    for (int c = 0; c < channels; ++c) {
        for (int t = 0; t < taps; ++t)
            h(t, c) = dist(gen) * std::exp(-decay * t / taps);
        h.col(c) *= 0.9 / h.col(c).cwiseAbs().sum();
    }
    return h;
}

/// A WAV file of 32-bit IEEE floats written as it is given (NaN and infinities included).
inline void writeFloatWav(const std::string& path, const Eigen::MatrixXd& x, uint32_t rate = 48000) {
    const uint32_t channels = static_cast<uint32_t>(x.cols()), bytes = static_cast<uint32_t>(x.size() * 4);
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF", 4), u32(36 + bytes), f.write("WAVEfmt ", 8), u32(16), u16(3), u16(static_cast<uint16_t>(channels));
    u32(rate), u32(rate * channels * 4), u16(static_cast<uint16_t>(channels * 4)), u16(32), f.write("data", 4),
        u32(bytes);
    for (Eigen::Index n = 0; n < x.rows(); ++n)
        for (Eigen::Index c = 0; c < x.cols(); ++c) {
            const float v = static_cast<float>(x(n, c));
            f.write(reinterpret_cast<const char*>(&v), 4);
        }
}

/// Coefficient files that can't be loaded whole, as a user might save them.
enum class BadCoefficients { NonFinite, Fifo, NoSamples, SixChannels };
inline const char* name(BadCoefficients b) {
    switch (b) {
    case BadCoefficients::NonFinite:
        return "a NaN in channel 3";
    case BadCoefficients::Fifo:
        return "a FIFO";
    case BadCoefficients::NoSamples:
        return "no samples";
    default:
        return "six channels";
    }
}
/// Puts such a file onto `path` the way an editor saves: made beside it, renamed over it.
inline bool renameBadCoefficients(BadCoefficients b, const std::string& path) {
    const std::string made = path + ".bad.wav";
    Eigen::MatrixXd h = Eigen::MatrixXd::Zero(2049, 8);
    h.row(0).setConstant(0.5);
    if (b == BadCoefficients::Fifo) {
        std::remove(made.c_str());
        if (mkfifo(made.c_str(), 0600) != 0) return false;
    } else if (b == BadCoefficients::NonFinite) {
        h(100, 3) = std::nan("");
        writeFloatWav(made, h);
    } else {
        writeFloatWav(made, b == BadCoefficients::NoSamples ? Eigen::MatrixXd(0, 8) : Eigen::MatrixXd(h.leftCols(6)));
    }
    return std::rename(made.c_str(), path.c_str()) == 0;
}

/// The level in dB (re full scale of 32-bit samples) at f Hz of x, Hann-windowed.
template <typename Column> double levelAtDB(const Column& x, double f, double fs = 48000.0) {
    std::complex<double> sum = 0.0;
    double w = 0.0;
    const Eigen::Index n = x.size();
    for (Eigen::Index k = 0; k < n; ++k) {
        const double hann = 0.5 - 0.5 * std::cos(2 * M_PI * k / (n - 1));
        sum += hann * static_cast<double>(x(k)) / 2147483648.0 * std::polar(1.0, -2 * M_PI * f * k / fs);
        w += hann;
    }
    return 20 * std::log10(std::abs(sum) / w + 1e-300);
}

} // namespace mobutest

#endif
