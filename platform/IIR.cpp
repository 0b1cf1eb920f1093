#include "IIR.h"

IIRDebug::IIRDebug() {
    errors[IIR_SHAPE_ERROR] = "IIR : the coefficient arrays must both be 3 x n. ";
    errors[IIR_COEFF_ERROR] = "IIR : a coefficient is not finite or a section has a0 = 0. ";
    errors[IIR_LENGTH_ERROR] = "IIR : the input and output lengths differ. ";
}

int IIR::reset(const Eigen::Ref<const Eigen::ArrayXXd>& B, const Eigen::Ref<const Eigen::ArrayXXd>& A) {
    int ret = 0;
    if (B.rows() != 3 || A.rows() != 3 || B.cols() != A.cols())
        ret = IIR_SHAPE_ERROR;
    else if (!B.allFinite() || !A.allFinite() || (A.row(0) == 0.0).any())
        ret = IIR_COEFF_ERROR;
    const Eigen::Index n = ret == 0 ? A.cols() : 0;
    coeffs.resize(5, n);
    state.setZero(2, n);
    for (Eigen::Index j = 0; j < n; ++j) {
        const double a0 = A(0, j);
        coeffs.col(j) << B(0, j) / a0, B(1, j) / a0, B(2, j) / a0, A(1, j) / a0, A(2, j) / a0;
    }
    return ret;
}

void IIR::processSection(Eigen::Index j, Eigen::Ref<Eigen::ArrayXd> data) {
    const double b0 = coeffs(0, j), b1 = coeffs(1, j), b2 = coeffs(2, j);
    const double a1 = coeffs(3, j), a2 = coeffs(4, j);
    double s1 = state(0, j), s2 = state(1, j);
    for (Eigen::Index n = 0; n < data.size(); ++n) {
        const double x = data[n];
        const double y = b0 * x + s1;
        s1 = b1 * x - a1 * y + s2;
        s2 = b2 * x - a2 * y;
        data[n] = y;
    }
    state(0, j) = s1;
    state(1, j) = s2;
}

int IIRCascade::process(const Eigen::Ref<const Eigen::ArrayXd>& in, Eigen::Ref<Eigen::ArrayXd> out) {
    if (in.size() != out.size()) return IIR_LENGTH_ERROR;
    if (out.data() != in.data()) out = in;
    for (Eigen::Index j = 0; j < getSectionCount(); ++j)
        processSection(j, out);
    return 0;
}
