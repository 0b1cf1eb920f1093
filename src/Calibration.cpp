#include "MobuEmbedded/Calibration.h"
#include "MobuEmbedded/MobuDebug.h"

#include <SafeFile.h>
#include <Sox.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>

Calibration::Calibration() {
    if (const int ret = init(8); ret < 0) std::exit(ret);
}

Calibration::Calibration(double) {
    std::exit(MobuDebug().evaluateError(-1314));
}

int Calibration::init(int playChannels) {
    chirpingDone = 0;
    N.resize(static_cast<size_t>(std::max(playChannels, 0)), 10000000u);
    startFreq = 20.0;
    stopFreq = getFS() * 0.5;
    chirpDuration = 1.0;
    return 0;
}

void Calibration::reset() {
    for (uint32_t& n : N)
        if (n != 0) n = static_cast<uint32_t>(2 * microphones.rows());
    chirpingDone = 0;
}

int Calibration::getPlayChCnt() const {
    return static_cast<int>(std::count(N.begin(), N.end(), 0u));
}

double Calibration::getMaxScaleFactor(int bits) {
    return std::pow(2.0, bits - 1) - 1.0;
}

void Calibration::generateChirp() {
    const double pi = std::acos(-1.0);
    const double w1 = 2.0 * pi * startFreq, w2 = 2.0 * pi * stopFreq, fs = getFS(), T = chirpDuration;
    std::cout << "Calibration::generateChirp" << std::endl;
    const double R = std::round(T * fs);
    const auto M = static_cast<Eigen::Index>(R + 1.0);
    chirp.setZero(M);
    const double L = std::log(w2 / w1), K = T * (w2 - w1) / (2.0 * pi * L);
    std::cout << "Calibration::generateChirp" << std::endl;
    // The start frequency is lowered a little so that the sweep holds a whole number of cycles.
    double wa = 2.0 * (w2 - w1) / L - 4.0 * pi * std::floor(K) / T;
    if (!(wa > 0.0)) wa = 2.0 * (w2 - w1) / L - 4.0 * pi * std::ceil(K) / T;
    if (wa < 0.0) {
        std::cerr << "Calibration::generateChirp : couldn't find a suitable wa to start with." << std::endl;
        return;
    }
    const double phi = T * w2 / L - T * wa / 2.0, theta0 = 2.0 * pi * std::ceil(phi / pi) - phi;
    std::cout << "Calibration::generateChirp" << std::endl;
    for (Eigen::Index n = 0; n < M; ++n) {
        const double t = M > 1 ? static_cast<double>(n) * T / static_cast<double>(M - 1) : T;
        chirp(n) = std::sin(wa * t * (t / (2.0 * T) - 1.0) + (w1 * T / L) * std::exp(L * t / T) + theta0);
    }
    chirp.conservativeResize(M - 1); // the last sample (the first of the next sweep) goes
    std::cout << "Calibration::generateChirp" << std::endl;
    std::cout << "Calibration::generateChirp " << chirp.rows() << '\t' << 1 << std::endl;

    // For inspection, in the debug folder (MOBU_DEBUG_DIR, /tmp by default).
    const std::string file = debugFilePath("chirp.wav");
    Sox<double> sox;
    const int opened = sox.openWrite(file, fs, 1, chirp.size() > 0 ? chirp.abs().maxCoeff() : 1.0, 64);
    if (opened < 0) {
        SoxDebug().evaluateError(opened, file + "\n");
        std::cerr << "couldn't open the audio file for writing the chirp : " << file << std::endl;
        return;
    }
    sox.write(Eigen::MatrixXd(chirp.matrix()));
    sox.closeWrite();
}

int Calibration::generateChirps(int channels) {
    if (chirp.rows() <= 1) return -1300;
    const Eigen::Index L = chirp.rows();
    chirps = chirp.matrix().replicate(chirpRepeatCount, std::max(channels, 0));
    microphones.setZero(L + chirpRepeatCount * L, std::max(channels, 0));
    return 0;
}

void Calibration::maxScaleChirp(int bits) {
    if (chirp.size() == 0) return;
    chirp *= getMaxScaleFactor(bits) / chirp.maxCoeff();
}

int Calibration::matrixToFile(const char* name, const Eigen::MatrixXd& data, double rate) {
    Sox<double> sox;
    // Full scale is the largest magnitude, so negative peaks are not clipped; the file's
    // scale reference gives the values back as they are.
    const double peak = data.size() > 0 ? data.cwiseAbs().maxCoeff() : 0.0;
    const double fullScale = peak > 0.0 ? peak : 1.0;
    int ret = sox.openWrite(name, rate > 0.0 ? rate : getFS(), static_cast<int>(data.cols()), fullScale, 32);
    if (ret < 0) return SoxDebug().evaluateError(ret, std::string(name) + "\n");
    ret = sox.write(data);
    const int closed = sox.closeWrite();
    if (ret < 0) return SoxDebug().evaluateError(ret, std::string(name) + "\n");
    return closed < 0 ? SoxDebug().evaluateError(closed, std::string(name) + "\n") : 0;
}

int Calibration::chirpsToFile(const char* name) {
    return matrixToFile(name, chirps);
}

int Calibration::micsToFile(const char* name) {
    return matrixToFile(name, microphones);
}
