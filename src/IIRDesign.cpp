#include "MobuEmbedded/IIRDesign.h"

#include <cmath>
#include <initializer_list>

void IIRDesign::getWcGb(double fc, double G, double& wc, double& GB) {
    wc = M_PI * fc;
    GB = std::sqrt(G * G0);
}

double IIRDesign::getSqrtG(double g0, double GB, double G) {
    if (g0 == GB && GB == G) // 0 dB: the general form would be 0/0
        return 1.0;
    return std::sqrt((GB * GB - g0 * g0) / (G * G - GB * GB));
}

int IIRDesign::designBPF(double fc, double dB, double Q) {
    if (1.0 - fc < tol) return designHPF(fc, dB, Q);
    const double G = std::pow(10.0, dB / 20.0);
    double wc, GB;
    getWcGb(fc, G, wc, GB);
    const double s = getSqrtG(G0, GB, G);
    const double r = (1.0 + std::sqrt(1.0 + 4.0 * Q * Q)) / (2.0 * Q); // upper band edge / centre
    double beta;
    if (fc * r * r > 1.0) { // the upper edge lies above half the sample rate: warp both edges
        const double t1 = std::tan(wc / (2.0 * r));
        const double t2 = std::tan(wc / 2.0);
        const double t3 = t2 * t2 / t1;
        beta = s * (t3 - t1) / (1.0 + t1 * t3);
    } else
        beta = s * std::tan(wc / (2.0 * Q));
    const double c = std::cos(wc);
    b0 = (G0 + G * beta) / (1.0 + beta);
    b1 = -2.0 * G0 * c / (1.0 + beta);
    b2 = (G0 - G * beta) / (1.0 + beta);
    a0 = 1.0;
    a1 = -2.0 * c / (1.0 + beta);
    a2 = (1.0 - beta) / (1.0 + beta);
    return 0;
}

int IIRDesign::designLPF(double fc, double dB) {
    const double G = std::pow(10.0, dB / 20.0);
    double wc, GB;
    getWcGb(fc, G, wc, GB);
    const double beta = getSqrtG(G0, GB, G) * std::tan(wc / 2.0);
    b0 = (G0 + G * beta) / (1.0 + beta);
    b1 = (G * beta - G0) / (1.0 + beta);
    b2 = 0.0;
    a0 = 1.0;
    a1 = -(1.0 - beta) / (1.0 + beta);
    a2 = 0.0;
    return 0;
}

int IIRDesign::designHPF(double fc, double dB, double Q) {
    const double G = std::pow(10.0, dB / 20.0);
    double wc, GB;
    getWcGb(fc, G, wc, GB);
    // Q != 0 only comes from designBPF near half the sample rate: the shelf's
    // half-dB point is then the lower edge of the peak, at π/r.
    const double x = Q == 0.0 ? wc / 2.0 : M_PI * Q / (1.0 + std::sqrt(1.0 + 4.0 * Q * Q));
    const double beta = getSqrtG(G0, GB, G) / std::tan(x);
    b0 = (G0 + G * beta) / (1.0 + beta);
    b1 = (G0 - G * beta) / (1.0 + beta);
    b2 = 0.0;
    a0 = 1.0;
    a1 = (1.0 - beta) / (1.0 + beta);
    a2 = 0.0;
    return 0;
}

bool IIRDesign::isStable() const {
    for (double v : {b0, b1, b2, a0, a1, a2})
        if (!std::isfinite(v)) return false;
    if (a0 == 0.0) return false;
    // Normalised by a0 as the cascade runs them: a tiny a0 can make them infinite.
    for (double v : {b0, b1, b2, a1, a2})
        if (!std::isfinite(v / a0)) return false;
    const double d1 = a1 / a0, d2 = a2 / a0;
    return std::abs(d2) < 1.0 && std::abs(d1) < 1.0 + d2;
}
