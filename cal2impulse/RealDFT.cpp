#include "RealDFT.h"

#include <fftw3.h>

#include <complex>
#include <memory>
#include <mutex>

namespace realdft {

namespace {

struct Free {
    void operator()(void* p) const { fftw_free(p); }
};
using Real = std::unique_ptr<double[], Free>;
using Complex = std::unique_ptr<fftw_complex[], Free>;

struct Plan {
    explicit Plan(fftw_plan p) : plan(p) {}
    ~Plan() {
        if (plan) fftw_destroy_plan(plan);
    }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    fftw_plan plan;
};

void threadSafePlanner() {
    static std::once_flag once;
    std::call_once(once, [] { fftw_make_planner_thread_safe(); });
}

Real real(Eigen::Index n) {
    return Real(fftw_alloc_real(static_cast<size_t>(std::max<Eigen::Index>(n, 1))));
}
Complex complex(Eigen::Index n) {
    return Complex(fftw_alloc_complex(static_cast<size_t>(std::max<Eigen::Index>(n, 1))));
}

} // namespace

Eigen::VectorXcd forward(const Eigen::VectorXd& x) {
    const Eigen::Index n = x.size(), bins = n / 2 + 1;
    if (n == 0) return Eigen::VectorXcd();
    threadSafePlanner();
    Real in = real(n);
    Complex out = complex(bins);
    const Plan p(fftw_plan_dft_r2c_1d(static_cast<int>(n), in.get(), out.get(), FFTW_ESTIMATE));
    std::copy(x.data(), x.data() + n, in.get());
    fftw_execute(p.plan);
    Eigen::VectorXcd X(bins);
    for (Eigen::Index k = 0; k < bins; ++k)
        X(k) = {out[k][0], out[k][1]};
    return X;
}

Eigen::VectorXd inverse(const Eigen::VectorXcd& half, Eigen::Index n) {
    if (n == 0) return Eigen::VectorXd();
    threadSafePlanner();
    const Eigen::Index bins = n / 2 + 1;
    Complex in = complex(bins);
    Real out = real(n);
    const Plan p(fftw_plan_dft_c2r_1d(static_cast<int>(n), in.get(), out.get(), FFTW_ESTIMATE));
    for (Eigen::Index k = 0; k < bins; ++k) {
        const std::complex<double> v = k < half.size() ? half(k) : 0.0;
        in[k][0] = v.real();
        in[k][1] = v.imag();
    }
    fftw_execute(p.plan); // destroys `in`, which is ours
    Eigen::VectorXd x(n);
    for (Eigen::Index i = 0; i < n; ++i)
        x(i) = out[i] / static_cast<double>(n);
    return x;
}

Eigen::VectorXcd inverseComplex(const Eigen::VectorXcd& full) {
    const Eigen::Index n = full.size();
    if (n == 0) return Eigen::VectorXcd();
    threadSafePlanner();
    Complex in = complex(n), out = complex(n);
    const Plan p(fftw_plan_dft_1d(static_cast<int>(n), in.get(), out.get(), FFTW_BACKWARD, FFTW_ESTIMATE));
    for (Eigen::Index k = 0; k < n; ++k) {
        in[k][0] = full(k).real();
        in[k][1] = full(k).imag();
    }
    fftw_execute(p.plan);
    Eigen::VectorXcd x(n);
    for (Eigen::Index i = 0; i < n; ++i)
        x(i) = std::complex<double>(out[i][0], out[i][1]) / static_cast<double>(n);
    return x;
}

} // namespace realdft
