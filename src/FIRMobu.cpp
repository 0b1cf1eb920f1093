#include "MobuEmbedded/FIRMobu.h"

#include <Sox.h>

#include <cstdio>
#include <iostream>

FIRMobu::FIRMobu() = default;

FIRMobu::FIRMobu(int M) { init(static_cast<unsigned>(M)); }

void FIRMobu::init(unsigned M) {
    fftLength = M;
    const Eigen::Index N = M / 2;
    // The ramp n is N evenly spaced values from 0 to N-1.
    const Eigen::ArrayXd n = Eigen::ArrayXd::LinSpaced(N, 0.0, static_cast<double>(N - 1));
    const Eigen::ArrayXd angle = n * (M_PI / static_cast<double>(M));
    twiddleFwd.resize(N);
    twiddleInv.resize(N);
    for (Eigen::Index i = 0; i < N; ++i) {
        twiddleFwd(i) = std::polar(1.0, -angle(i));
        twiddleInv(i) = std::polar(1.0, angle(i));
    }
}

void FIRMobu::reset() {
    for (auto& h : history)
        h.setZero();
    for (auto& c : carry)
        c.setZero();
    std::fill(historyHead.begin(), historyHead.end(), 0);
}

void FIRMobu::loadTimeDomainCoefficients(Eigen::MatrixXd h) {
    std::cout << "FIRMobu::loadTimeDomainCoefficients : entering" << std::endl;
    const Eigen::Index N = fftLength / 2;
    if (N < 1) {
        MobuDebug().evaluateError(-1312, " : init the transform length before loading coefficients\n");
        return;
    }

    if (h.rows() == 1)
        directGains = h.row(0).array();
    else
        directGains = Eigen::Array<double, 1, Eigen::Dynamic>::Zero(h.cols());

    Eigen::MatrixXd copy = h;
    if (removeDC && copy.rows() > 0)
        copy.rowwise() -= copy.colwise().mean();
    if (copy.rows() < N) {
        const Eigen::Index old = copy.rows();
        copy.conservativeResize(N, Eigen::NoChange);
        copy.bottomRows(N - old).setZero();
    }

    mDFT(copy.topRows(N), firstPartition);
    const Eigen::Index C = firstPartition.cols();
    windowSpectra.resize(C);
    history.resize(C);
    carry.resize(C);
    historyHead.assign(C, 0);

    const Eigen::Index L = copy.rows();
    for (Eigen::Index c = 0; c < C; ++c) {
        // Partition count, as single precision, rounded up: L = N gives 1, 2.5N gives 3.
        const Eigen::Index P = static_cast<Eigen::Index>(std::ceil(static_cast<float>(L) / static_cast<float>(N)));
        Eigen::MatrixXd W = Eigen::MatrixXd::Zero(2 * N, P);
        for (Eigen::Index k = 0; k < L; k += N) {
            const Eigen::Index len = std::min(2 * N, L - k);
            W.col(k / N).head(len) = copy.col(c).segment(k, len);
        }
        mDFT(W, windowSpectra[c]);
        history[c].resize(N, P);
        carry[c].resize(N);
    }
    blockSpectrum.resize(N);
    ifftOut.resize(N, 1);
    packed.resize(N, 1);
    zeros = Eigen::MatrixXd::Zero(N, 1);
    reset();
    std::cout << "FIRMobu::loadTimeDomainCoefficients : leaving" << std::endl;
}

int FIRMobu::readFile(const std::string& fileName, Eigen::MatrixXd& b) {
    Sox<double> sox;
    const int openRes = sox.openRead(fileName);
    if (openRes < 0 && openRes != SOX_REFERENCE_WARNING)
        return MobuDebug().evaluateError(openRes, fileName + "\n");
    const int readRes = sox.read(b);
    if (readRes < 0) {
        MobuDebug().evaluateError(1, fileName + "\n");
        return readRes;
    }
    return 0;
}

int FIRMobu::loadTimeDomainCoefficients(std::string fileName) {
    Eigen::MatrixXd b;
    const int res = readFile(fileName, b);
    if (res < 0)
        return res;
    loadTimeDomainCoefficients(b);
    return 0;
}

int FIRMobu::loadTimeDomainCoefficients(std::string fileName, unsigned m) {
    Eigen::MatrixXd b;
    const int res = readFile(fileName, b);
    if (res < 0)
        return res;
    if (m + 1 > b.cols())
        return MobuDebug().evaluateError(
            -1350, "loadTimeDomainCoefficients, m+1<b.cols, less channels in the FIR filter then requested.\n");
    if (b.rows() < 1)
        return MobuDebug().evaluateError(-1309, "loadTimeDomainCoefficients, b.rows<1, the filter is empty.\n");
    Eigen::Index i = b.rows() - 1;
    while (i > 2048 && b(i, m) == 0.0)
        --i;
    const int kept = static_cast<int>(i + 1);
    printf("Trimming channel %d from %ld to %d samples\n", m, static_cast<long>(b.rows()), kept);
    fflush(stdout);
    ConvolutionMobu& self = *this; // through the virtual slot
    self.loadTimeDomainCoefficients(Eigen::MatrixXd(b.col(m).head(kept)));
    printf("FIRMobu::loadTimeDomainCoefficients : max coefficient = %f\n", b.maxCoeff());
    fflush(stdout);
    return 0;
}

bool FIRMobu::wrongBlockLength(Eigen::Index rows) {
    const Eigen::Index N = fftLength / 2;
    if (rows == N)
        return false;
    MobuDebug().evaluateError(-1313, " input sample count == " + std::to_string(rows) + " but should be " +
                                         std::to_string(N) + "returning without processing.\n");
    return true;
}

void FIRMobu::prepareOutput(int N, int C) {
    filtered.resize(N, C);
    if (fadeIn.rows() != N || fadeIn.cols() != C) {
        fadeIn.resize(N, C);
        fadeIn.colwise() = Eigen::ArrayXd::LinSpaced(N, 0.0, 1.0);
    }
    if (fadeOut.rows() != N || fadeOut.cols() != C) {
        fadeOut.resize(N, C);
        fadeOut.colwise() = Eigen::ArrayXd::LinSpaced(N, 1.0, 0.0);
    }
}

void FIRMobu::applyFade(int fade) {
    if (fade == 1)
        filtered *= fadeIn;
    else if (fade < 0)
        filtered *= fadeOut;
    else if (fade > 1)
        filtered.setZero();
}

void FIRMobu::convolvePacked(int c) {
    const int N = static_cast<int>(fftLength / 2);
    ComplexArray& hist = history[c];
    const ComplexArray& win = windowSpectra[c];
    const int P = static_cast<int>(hist.cols());
    int& head = historyHead[c];

    // The spectrum of the new block goes straight into the ring's newest column.
    std::complex<double>* newest = hist.col(head).data();
    fwd(newest, packed.data(), N);

    // blockSpectrum = X_T * H_0 + j * carry (the older blocks' contribution).
    {
        const double* x = reinterpret_cast<const double*>(newest);
        const double* h0 = reinterpret_cast<const double*>(firstPartition.col(c).data());
        const double* a = reinterpret_cast<const double*>(carry[c].data());
        double* y = reinterpret_cast<double*>(blockSpectrum.data());
        for (int n = 0; n < 2 * N; n += 2) {
            y[n] = x[n] * h0[n] - x[n + 1] * h0[n + 1] - a[n + 1];
            y[n + 1] = x[n] * h0[n + 1] + x[n + 1] * h0[n] + a[n];
        }
    }

    // carry = sum over p of X_{T-p} * G_p, four partitions per pass over carry.
    {
        double* a = reinterpret_cast<double*>(carry[c].data());
        auto colOf = [&](int p) {
            int idx = head + p;
            if (idx >= P)
                idx -= P;
            return reinterpret_cast<const double*>(hist.col(idx).data());
        };
        auto winOf = [&](int p) { return reinterpret_cast<const double*>(win.col(p).data()); };
        int p = 0;
        {
            // First pass initialises carry.
            const double* x0 = colOf(0);
            const double* g0 = winOf(0);
            for (int n = 0; n < 2 * N; n += 2) {
                a[n] = x0[n] * g0[n] - x0[n + 1] * g0[n + 1];
                a[n + 1] = x0[n] * g0[n + 1] + x0[n + 1] * g0[n];
            }
            p = 1;
        }
        for (; p + 3 < P; p += 4) {
            const double *x0 = colOf(p), *x1 = colOf(p + 1), *x2 = colOf(p + 2), *x3 = colOf(p + 3);
            const double *g0 = winOf(p), *g1 = winOf(p + 1), *g2 = winOf(p + 2), *g3 = winOf(p + 3);
            for (int n = 0; n < 2 * N; n += 2) {
                const double re = (x0[n] * g0[n] - x0[n + 1] * g0[n + 1]) + (x1[n] * g1[n] - x1[n + 1] * g1[n + 1]) +
                                  (x2[n] * g2[n] - x2[n + 1] * g2[n + 1]) + (x3[n] * g3[n] - x3[n + 1] * g3[n + 1]);
                const double im = (x0[n] * g0[n + 1] + x0[n + 1] * g0[n]) + (x1[n] * g1[n + 1] + x1[n + 1] * g1[n]) +
                                  (x2[n] * g2[n + 1] + x2[n + 1] * g2[n]) + (x3[n] * g3[n + 1] + x3[n + 1] * g3[n]);
                a[n] += re;
                a[n + 1] += im;
            }
        }
        for (; p < P; ++p) {
            const double* x0 = colOf(p);
            const double* g0 = winOf(p);
            for (int n = 0; n < 2 * N; n += 2) {
                a[n] += x0[n] * g0[n] - x0[n + 1] * g0[n + 1];
                a[n + 1] += x0[n] * g0[n + 1] + x0[n + 1] * g0[n];
            }
        }
    }

    // The oldest column is overwritten by the next block.
    head = head == 0 ? P - 1 : head - 1;

    // Output: real part of the inverse transform times twiddleInv (the first N samples).
    inv(ifftOut.data(), blockSpectrum.data(), N);
    const double* z = reinterpret_cast<const double*>(ifftOut.data());
    const double* t = reinterpret_cast<const double*>(twiddleInv.data());
    double* out = filtered.col(c).data();
    for (int n = 0; n < N; ++n)
        out[n] = z[2 * n] * t[2 * n] - z[2 * n + 1] * t[2 * n + 1];
}
