// The IIR cascade, the section designs and the parametric equaliser: frequency
// responses evaluated here from the coefficients, the JSON and binary formats
// and their error paths.
#include "TestSupport.h"

#include <IIR.h>
#include <MobuEmbedded/ParaEQ.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {
const double fs = 48000.0;

/// H(e^jw) of the cascade of the sections in B and A, evaluated directly.
std::complex<double> response(const Eigen::ArrayXXd& B, const Eigen::ArrayXXd& A, double w) {
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    std::complex<double> H = 1.0;
    for (Eigen::Index j = 0; j < A.cols(); ++j)
        H *= (B(0, j) + B(1, j) * z1 + B(2, j) * z2) / (A(0, j) + A(1, j) * z1 + A(2, j) * z2);
    return H;
}

double responseDB(const ParaEQ& eq, double w) {
    return 20.0 * std::log10(std::abs(response(eq.getB(), eq.getA(), w)));
}

/// The frequency in [lo, hi] where the response in dB crosses level (one crossing assumed).
double crossing(const ParaEQ& eq, double lo, double hi, double level) {
    const double signLo = responseDB(eq, lo) - level;
    for (int k = 0; k < 200; ++k) {
        const double mid = 0.5 * (lo + hi);
        if ((responseDB(eq, mid) - level) * signLo > 0.0)
            lo = mid;
        else
            hi = mid;
    }
    return 0.5 * (lo + hi);
}

/// True when every section's poles lie strictly inside the unit circle.
bool stable(const Eigen::ArrayXXd& A) {
    for (Eigen::Index j = 0; j < A.cols(); ++j) {
        const double d1 = A(1, j) / A(0, j), d2 = A(2, j) / A(0, j);
        if (!(std::abs(d2) < 1.0 && std::abs(d1) < 1.0 + d2)) return false;
    }
    return true;
}

/// Direct form I in long double, section after section: a reference for the cascade.
Eigen::ArrayXd directFormI(const Eigen::ArrayXXd& B, const Eigen::ArrayXXd& A, const Eigen::ArrayXd& x) {
    std::vector<long double> y(x.data(), x.data() + x.size());
    for (Eigen::Index j = 0; j < A.cols(); ++j) {
        std::vector<long double> in = y;
        long double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (size_t n = 0; n < in.size(); ++n) {
            const long double v =
                (B(0, j) * in[n] + B(1, j) * x1 + B(2, j) * x2 - A(1, j) * y1 - A(2, j) * y2) / A(0, j);
            x2 = x1;
            x1 = in[n];
            y2 = y1;
            y1 = v;
            y[n] = v;
        }
    }
    Eigen::ArrayXd out(x.size());
    for (Eigen::Index n = 0; n < x.size(); ++n)
        out[n] = static_cast<double>(y[n]);
    return out;
}

Eigen::ArrayXd impulse(Eigen::Index n) {
    Eigen::ArrayXd x = Eigen::ArrayXd::Zero(n);
    x[0] = 1.0;
    return x;
}

/// Opens a test's view of the equaliser's two cascades.
class ProbeEQ : public ParaEQ {
public:
    using ParaEQ::loadIntoInactive;
    IIRCascade& active() { return *activeBuffer(); }
    IIRCascade& inactive() { return *inactiveBuffer(); }
    /// Response of the inactive cascade to a unit impulse (state cleared first).
    Eigen::ArrayXd inactiveImpulse(Eigen::Index n) {
        inactive().clearState();
        Eigen::ArrayXd y(n);
        inactive().process(impulse(n), y);
        return y;
    }
};

/// An equaliser with its file name set to ~/.mobu/<name> holding text.
void useFile(ParaEQ& eq, const std::string& name, const std::string& text) {
    CaptureStdout();
    eq.setFileName(name.c_str());
    GetCapturedStdout();
    mobutest::writeFile(eq.getFileName(), text);
}

std::string littleEndian(uint64_t v) {
    std::string s;
    for (int k = 0; k < 8; ++k)
        s += static_cast<char>((v >> (8 * k)) & 0xff);
    return s;
}
} // namespace

// ---------------------------------------------------------------- IIR cascade

TEST(IIRCascade, MatchesDirectFormReferenceAcrossBlocks) {
    // Three stable sections with a0 != 1 (the cascade normalises).
    Eigen::ArrayXXd B(3, 3), A(3, 3);
    B << 0.5, 2.0, -0.3, 0.1, -1.0, 0.7, 0.2, 0.9, 0.05;
    A << 2.0, 1.0, 0.5, -1.6, -0.9, 0.3, 0.8, 0.4, 0.2;
    ASSERT_TRUE(stable(A));
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Eigen::ArrayXd x(3000);
    for (auto& v : x)
        v = u(gen);
    const Eigen::ArrayXd ref = directFormI(B, A, x);

    IIRCascade whole, blocks;
    ASSERT_EQ(whole.reset(B, A), 0);
    ASSERT_EQ(blocks.reset(B, A), 0);
    Eigen::ArrayXd y(x.size());
    ASSERT_EQ(whole.process(x, y), 0);
    EXPECT_LT((y - ref).abs().maxCoeff(), 1e-12 * ref.abs().maxCoeff());

    // Irregular blocks, processed in place: the memory carries over exactly.
    Eigen::ArrayXd z = x;
    for (Eigen::Index start = 0, len = 1; start < z.size(); start += len, len = len * 3 % 997 + 1) {
        const Eigen::Index n = std::min(len, z.size() - start);
        ASSERT_EQ(blocks.process(z.segment(start, n), z.segment(start, n)), 0);
    }
    EXPECT_TRUE((z == y).all());

    // clearState forgets the past; without it the memory shows.
    Eigen::ArrayXd again(x.size());
    ASSERT_EQ(whole.process(x, again), 0);
    EXPECT_FALSE((again == y).all());
    whole.clearState();
    ASSERT_EQ(whole.process(x, again), 0);
    EXPECT_TRUE((again == y).all());
}

TEST(IIRCascade, EmptyOrRejectedCoefficientsPassThrough) {
    IIRCascade iir;
    const Eigen::ArrayXXd unit = (Eigen::ArrayXXd(3, 1) << 2.0, 0.0, 0.0).finished();
    ASSERT_EQ(iir.reset(unit, unit * 4.0), 0); // gain 1/4
    Eigen::ArrayXd y(4);
    iir.process(impulse(4), y);
    EXPECT_DOUBLE_EQ(y[0], 0.25);

    EXPECT_EQ(iir.reset(Eigen::ArrayXXd::Ones(2, 1), Eigen::ArrayXXd::Ones(2, 1)), IIR_SHAPE_ERROR);
    EXPECT_EQ(iir.getSectionCount(), 0); // a failed reset leaves a pass-through
    EXPECT_EQ(iir.reset(Eigen::ArrayXXd::Ones(3, 2), Eigen::ArrayXXd::Ones(3, 1)), IIR_SHAPE_ERROR);
    Eigen::ArrayXXd zeroA = unit;
    zeroA(0, 0) = 0.0;
    EXPECT_EQ(iir.reset(unit, zeroA), IIR_COEFF_ERROR);
    Eigen::ArrayXXd nan = unit;
    nan(1, 0) = std::nan("");
    EXPECT_EQ(iir.reset(nan, unit), IIR_COEFF_ERROR);
    EXPECT_EQ(iir.getSectionCount(), 0);
    iir.process(impulse(4), y);
    EXPECT_TRUE((y == impulse(4)).all());
    EXPECT_EQ(iir.reset(Eigen::ArrayXXd(3, 0), Eigen::ArrayXXd(3, 0)), 0); // no sections: pass-through
    const Eigen::ArrayXd ramp = Eigen::ArrayXd::LinSpaced(4, -1.0, 2.0);
    iir.process(ramp, y);
    EXPECT_TRUE((y == ramp).all());

    ASSERT_EQ(iir.reset(unit, unit * 4.0), 0);
    Eigen::ArrayXd shortOut = Eigen::ArrayXd::Constant(3, 7.0);
    EXPECT_EQ(iir.process(impulse(4), shortOut), IIR_LENGTH_ERROR);
    EXPECT_TRUE((shortOut == 7.0).all());
}

// ---------------------------------------------------------------- section designs

TEST(ParaEQDesign, NewEqualiserAndZeroDBSectionAreIdentities) {
    ParaEQ eq;
    ASSERT_EQ(eq.getA().cols(), 1);
    EXPECT_TRUE((eq.getA().col(0) == Eigen::Array3d(1, 0, 0)).all());
    EXPECT_TRUE((eq.getB() == eq.getA()).all());

    eq.reset(0);
    ASSERT_EQ(eq.newBPF(2.0 * 1000.0 / fs, 0.0, 1.0), 0);
    EXPECT_TRUE((eq.getB() == eq.getA()).all());
    EXPECT_NE(eq.getA()(1, 0), 0.0); // a real section, not an empty one
    ASSERT_EQ(eq.genImpulseResponse(256), 0);
    EXPECT_TRUE((eq.getImpulseResponse() == impulse(256)).all());
}

TEST(ParaEQDesign, PeakingSectionsHitTheirGainAndBandwidth) {
    int bandwidthChecks = 0, lowerEdgeChecks = 0;
    for (double Fc : {50.0, 100.0, 315.0, 1000.0, 2500.0, 6000.0, 10000.0, 16000.0, 20000.0})
        for (double dB : {-12.0, -6.0, -1.5, 0.5, 3.0, 12.0})
            for (double Q : {0.5, 0.707, 1.0, 2.0, 4.0, 8.0}) {
                SCOPED_TRACE("Fc " + std::to_string(Fc) + " dB " + std::to_string(dB) + " Q " + std::to_string(Q));
                ParaEQ eq;
                eq.reset(0);
                const double fc = 2.0 * Fc / fs, wc = M_PI * fc;
                ASSERT_EQ(eq.newBPF(fc, dB, Q), 0);
                ASSERT_EQ(eq.getA().cols(), 1);
                EXPECT_TRUE(stable(eq.getA()));
                EXPECT_NEAR(responseDB(eq, wc), dB, 0.01);
                EXPECT_NEAR(responseDB(eq, 0.0), 0.0, 1e-9);
                const double r = (1.0 + std::sqrt(1.0 + 4.0 * Q * Q)) / (2.0 * Q);
                if (fc * r * r <= 1.0) {
                    const double w1 = crossing(eq, 1e-9, wc, dB / 2.0);
                    const double w2 = crossing(eq, wc, M_PI, dB / 2.0);
                    EXPECT_NEAR((w2 - w1) / (wc / Q), 1.0, 0.005);
                    ++bandwidthChecks;
                } else { // upper edge beyond half the rate: the lower edge stays at fc / r
                    EXPECT_NEAR(crossing(eq, 1e-9, wc, dB / 2.0) / (wc / r), 1.0, 0.005);
                    ++lowerEdgeChecks;
                }
            }
    EXPECT_GT(bandwidthChecks, 200); // most of the grid has both edges below half the rate
    EXPECT_GT(lowerEdgeChecks, 30);
}

TEST(ParaEQDesign, ShelvesAndTheNearNyquistBranch) {
    const double fc = 2.0 * 2000.0 / fs, wc = M_PI * fc;
    ParaEQ eq;
    eq.reset(0);
    ASSERT_EQ(eq.newLPF(fc, 6.0), 0);
    EXPECT_NEAR(responseDB(eq, 0.0), 6.0, 1e-9);
    EXPECT_NEAR(responseDB(eq, wc), 3.0, 1e-9);
    EXPECT_NEAR(responseDB(eq, M_PI), 0.0, 1e-9);

    eq.reset(0);
    ASSERT_EQ(eq.newHPF(fc, -9.0), 0);
    EXPECT_NEAR(responseDB(eq, 0.0), 0.0, 1e-9);
    EXPECT_NEAR(responseDB(eq, wc), -4.5, 1e-9);
    EXPECT_NEAR(responseDB(eq, M_PI), -9.0, 1e-9);

    // A peak at (or within tol of) half the sample rate is a first-order high shelf.
    for (double f : {1.0, 1.0 - 0.5 * IIRDesign::tol, 1.2}) {
        eq.reset(0);
        ASSERT_EQ(eq.newBPF(f, 4.0, 2.0), 0);
        EXPECT_EQ(eq.getA()(2, 0), 0.0);
        EXPECT_EQ(eq.getB()(2, 0), 0.0);
        EXPECT_TRUE(stable(eq.getA()));
        EXPECT_NEAR(responseDB(eq, M_PI), 4.0, 1e-9);
        EXPECT_NEAR(responseDB(eq, 0.0), 0.0, 1e-9);
    }
    // Just outside tol it is still a (stable) peak.
    eq.reset(0);
    ASSERT_EQ(eq.newBPF(1.0 - 2.0 * IIRDesign::tol, 4.0, 2.0), 0);
    EXPECT_NE(eq.getA()(2, 0), 0.0);
    EXPECT_TRUE(stable(eq.getA()));
}

TEST(ParaEQDesign, SectionsThatCantBeDesignedAreRefused) {
    ParaEQ eq;
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const double bad[][3] = {{0.0, 6, 1}, {-0.1, 6, 1}, {0.1, 6, 0},   {0.1, 6, -1},
                             {nan, 6, 1}, {inf, 6, 1},  {0.1, nan, 1}, {0.1, inf, 1}};
    for (const auto& p : bad) {
        EXPECT_EQ(eq.newBPF(p[0], p[1], p[2]), -1353) << p[0] << " " << p[1] << " " << p[2];
        EXPECT_EQ(eq.getA().cols(), 1);
    }
    EXPECT_EQ(eq.newLPF(0.0, 3.0), -1353);
    EXPECT_EQ(eq.newHPF(-1.0, 3.0), -1353);
    EXPECT_EQ(eq.newLPF(0.1, nan), -1353);
    EXPECT_EQ(eq.getA().cols(), 1);
    EXPECT_TRUE((eq.getB() == eq.getA()).all());
}

TEST(ParaEQProcess, SteadySineFollowsTheEvaluatedResponse) {
    struct Case {
        std::vector<std::array<double, 3>> sections; // Fc, dB, Q
    };
    const Case cases[] = {{{{1000, 6, 1}}},
                          {{{50, -12, 8}}},
                          {{{12000, 9, 0.7}}},
                          {{{20000, -6, 0.5}}},
                          {{{100, 4, 2}, {3000, -8, 4}, {9000, 3, 1}}}};
    for (const auto& c : cases) {
        ParaEQ eq;
        eq.reset(0);
        for (const auto& s : c.sections)
            ASSERT_EQ(eq.newBPF(2.0 * s[0] / fs, s[1], s[2]), 0);
        eq.resetCascade();
        const double Fc = c.sections[0][0];
        for (double f : {Fc, 0.7 * Fc, std::min(1.5 * Fc, 23000.0)}) {
            SCOPED_TRACE("Fc " + std::to_string(Fc) + " f " + std::to_string(f));
            const double w = 2.0 * M_PI * f / fs;
            const int L = 120000, block = 1024;
            Eigen::ArrayXd x(L), y(L);
            for (int n = 0; n < L; ++n)
                x[n] = std::sin(w * n);
            for (int start = 0; start < L; start += block) {
                const int n = std::min(block, L - start);
                ASSERT_EQ(eq.process(x.segment(start, n), y.segment(start, n)), 0);
            }
            const std::complex<double> H = response(eq.getB(), eq.getA(), w);
            double err = 0.0;
            for (int n = L - 2000; n < L; ++n)
                err = std::max(err, std::abs(y[n] - std::abs(H) * std::sin(w * n + std::arg(H))));
            EXPECT_LT(err, 1e-6 * std::abs(H));
        }
    }
}

// ---------------------------------------------------------------- JSON

TEST(ParaEQJSON, ValidDocumentAppendsItsSections) {
    ParaEQ eq, ref;
    eq.setFS(fs);
    std::istringstream doc(R"([{"type": "BPF", "Fc": 1000, "dB": -3, "Q": 2, "name": "ignored"},
                               {"type": "myBPF2", "Fc": 8000.5, "dB": 1.5, "Q": 0.7}])");
    CaptureStdout();
    EXPECT_EQ(eq.fromJSON(doc), 0);
    EXPECT_EQ(GetCapturedStdout(), "fs 48000.000000\nFc 1000.000000\nfs 48000.000000\nFc 8000.500000\n");
    ASSERT_EQ(ref.newBPF(2.0 * 1000 / fs, -3, 2), 0);
    ASSERT_EQ(ref.newBPF(2.0 * 8000.5 / fs, 1.5, 0.7), 0);
    ASSERT_EQ(eq.getA().cols(), 3); // appended behind the unity section
    EXPECT_TRUE((eq.getA() == ref.getA()).all());
    EXPECT_TRUE((eq.getB() == ref.getB()).all());

    for (const char* nothing : {"", " ", "\n\t \r\n", "[]", " [ ] ", "[]\n\n"}) { // white space is empty too
        std::istringstream empty(nothing);
        EXPECT_EQ(eq.fromJSON(empty), 0) << nothing;
        EXPECT_EQ(eq.getA().cols(), 3);
    }
}

TEST(ParaEQJSON, ElementErrorsKeepEarlierSections) {
    ParaEQ eq;
    eq.setFS(fs);
    useFile(eq, "errors.json", "");
    const std::string file = eq.getFileName();
    const std::string head = "Error : -1353 Filter couldn't be designed with those parameters.  ";
    const std::string nonBPF = head + "a non BPF filter found in the json file " + file + " expand here to handle\n";
    const std::string missing =
        head + "a BPF filter from the json file " + file + " is missing a parameter {Fc, dB, Q}\n";
    const std::string good = R"({"type": "BPF", "Fc": 500, "dB": 2, "Q": 1})";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"type": "notch", "Fc": 500, "dB": 2, "Q": 1})", nonBPF},
        {R"({"Fc": 500, "dB": 2, "Q": 1})", nonBPF},
        {R"({"type": null, "Fc": 500, "dB": 2, "Q": 1})", nonBPF},
        {R"({"type": 5, "Fc": 500, "dB": 2, "Q": 1})", nonBPF},
        {R"(5)", nonBPF},
        {R"(["BPF"])", nonBPF},
        {R"({"type": "BPF", "Fc": 500, "dB": 2})", missing},
        {R"({"type": "BPF", "Fc": 500, "dB": 2, "Q": null})", missing},
        {R"({"type": "BPF", "Fc": "abc", "dB": 2, "Q": 1})", missing},
        {R"({"type": "BPF", "Fc": 500, "dB": true, "Q": 1})", missing},
        {R"({"type": "BPF", "Fc": 500, "dB": 2, "Q": [1]})", missing},
    };
    for (const auto& c : cases) {
        eq.reset(0);
        std::istringstream doc("[" + good + ", " + c.first + ", " + good + "]");
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(eq.fromJSON(doc), -1353) << c.first;
        EXPECT_EQ(GetCapturedStderr(), c.second) << c.first;
        EXPECT_EQ(GetCapturedStdout(), "fs 48000.000000\nFc 500.000000\n");
        EXPECT_EQ(eq.getA().cols(), 1) << c.first; // the first section stays, the third is never reached
    }
}

TEST(ParaEQJSON, ParametersGivingNoStableSectionAreRefused) {
    ParaEQ eq;
    eq.setFS(fs);
    useFile(eq, "unstable.json", "");
    for (const char* bad :
         {R"({"type": "BPF", "Fc": 0, "dB": 2, "Q": 1})", R"({"type": "BPF", "Fc": -100, "dB": 2, "Q": 1})",
          R"({"type": "BPF", "Fc": 100, "dB": 2, "Q": 0})", R"({"type": "BPF", "Fc": 100, "dB": 2, "Q": -3})",
          R"({"type": "BPF", "Fc": 100, "dB": 1e300, "Q": 1})", R"({"type": "BPF", "Fc": 100, "dB": 300, "Q": 1})",
          R"({"type": "BPF", "Fc": 100, "dB": -60.5, "Q": 1})", R"({"type": "BPF", "Fc": 30000, "dB": 2, "Q": 1})",
          R"({"type": "BPF", "Fc": 24000.5, "dB": 2, "Q": 1})"}) {
        eq.reset(0);
        std::istringstream doc(std::string("[") + bad + "]");
        CaptureStdout();
        CaptureStderr();
        const int ret = eq.fromJSON(doc);
        GetCapturedStdout();
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(ret, -1353) << bad;
        EXPECT_EQ(err.rfind("Error : -1353 Filter couldn't be designed with those parameters.  a BPF filter from the "
                            "json file " +
                                eq.getFileName() + " can't be designed",
                            0),
                  0u)
            << err;
        EXPECT_EQ(eq.getA().cols(), 0);
    }
    // The limits themselves are designable: 60 dB of boost or cut, a centre at half the rate.
    for (const char* edge :
         {R"({"type": "BPF", "Fc": 24000, "dB": 60, "Q": 1})", R"({"type": "BPF", "Fc": 1000, "dB": -60, "Q": 1})"}) {
        eq.reset(0);
        std::istringstream doc(std::string("[") + edge + "]");
        CaptureStdout();
        EXPECT_EQ(eq.fromJSON(doc), 0) << edge;
        GetCapturedStdout();
    }
    // Without a sample rate nothing can be designed either.
    ParaEQ noRate;
    noRate.reset(0);
    std::istringstream doc(R"([{"type": "BPF", "Fc": 1000, "dB": 3, "Q": 1}])");
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(noRate.fromJSON(doc), -1353);
    GetCapturedStdout();
    GetCapturedStderr();
    EXPECT_EQ(noRate.getA().cols(), 0);
}

TEST(ParaEQJSON, DocumentsThatAreNotArraysOfJSON) {
    ParaEQ eq;
    eq.setFS(fs);
    useFile(eq, "notarray.json", "");
    const std::string deep(100000, '[');
    for (const std::string& text :
         {std::string("[{\"type\": \"BPF\", "), std::string("not json"), deep,
          std::string(R"({"type": "BPF", "Fc": 500, "dB": 2, "Q": 1})"), std::string("42"), std::string("[] garbage"),
          std::string("[][]"), std::string(R"([{"type": "BPF", "Fc": 500, "dB": 2, "Q": 1}] ])")}) {
        std::istringstream doc(text);
        CaptureStderr();
        EXPECT_EQ(eq.fromJSON(doc), -1357) << text.substr(0, 40);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(err.rfind("Error : -1357 The equaliser file is not a JSON array of filters", 0), 0u) << err;
        EXPECT_EQ(err.find("strerror"), std::string::npos) << err;
        EXPECT_NE(err.find("notarray.json"), std::string::npos) << err;
        EXPECT_EQ(eq.getA().cols(), 1);
    }
    std::istringstream object(R"({"type": "BPF"})");
    CaptureStderr();
    eq.fromJSON(object);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find(" the json file " + eq.getFileName() + " doesn't hold an array of filters\n"), std::string::npos)
        << err;
}

// ---------------------------------------------------------------- loading a file

TEST(ParaEQLoad, ValidFileBuildsOnlyTheInactiveCascade) {
    ProbeEQ eq;
    ParaEQ ref;
    eq.setFS(fs);
    ref.setFS(fs);
    useFile(eq, "valid.json", R"([{"type": "BPF", "Fc": 2000, "dB": 6, "Q": 1.5}])");
    ref.reset(0);
    ASSERT_EQ(ref.newBPF(2.0 * 2000 / fs, 6, 1.5), 0);
    ASSERT_EQ(ref.genImpulseResponse(300), 0);

    CaptureStdout();
    EXPECT_EQ(eq.loadFromFile(), 0);
    GetCapturedStdout();
    EXPECT_TRUE((eq.getA() == ref.getA()).all());
    EXPECT_TRUE((eq.getB() == ref.getB()).all());
    Eigen::ArrayXd y(300);
    ASSERT_EQ(eq.process(impulse(300), y), 0);
    EXPECT_TRUE((y == impulse(300)).all()); // the running cascade is untouched
    EXPECT_TRUE((eq.inactiveImpulse(300) == ref.getImpulseResponse()).all());

    ASSERT_EQ(eq.genImpulseResponse(300), 0); // puts A/B into the active cascade
    EXPECT_TRUE((eq.getImpulseResponse() == ref.getImpulseResponse()).all());
}

TEST(ParaEQLoad, InvalidFileLeavesOneUnitySection) {
    for (const std::string& text :
         {std::string("[{\"type\""), std::string(R"([{"type": "BPF", "Fc": 1000, "dB": 3, "Q": 1},
                                     {"type": "BPF", "Fc": 1000, "dB": 3}])"),
          std::string(R"([{"type": "BPF", "Fc": 1000, "dB": 3, "Q": 0}])")}) {
        ProbeEQ eq;
        eq.setFS(fs);
        eq.reset(0);
        ASSERT_EQ(eq.newBPF(0.1, 10, 1), 0);
        ASSERT_EQ(eq.genImpulseResponse(8), 0); // the active cascade now filters
        useFile(eq, "invalid.json", text);
        CaptureStdout();
        CaptureStderr();
        const int ret = eq.loadFromFile();
        GetCapturedStdout();
        GetCapturedStderr();
        EXPECT_TRUE(ret == -1357 || ret == -1353) << ret;
        ASSERT_EQ(eq.getA().cols(), 1);
        EXPECT_TRUE((eq.getA().col(0) == Eigen::Array3d(1, 0, 0)).all());
        EXPECT_TRUE((eq.getB() == eq.getA()).all());
        Eigen::ArrayXd y(64);
        ASSERT_EQ(eq.process(impulse(64), y), 0);
        EXPECT_TRUE((y == impulse(64)).all()) << text;
        EXPECT_TRUE((eq.inactiveImpulse(64) == impulse(64)).all());
    }
}

TEST(ParaEQLoad, ProducerPathNeverTouchesTheActiveCascade) {
    ProbeEQ eq;
    eq.setFS(fs);
    eq.reset(0);
    ASSERT_EQ(eq.newBPF(0.1, 10, 1), 0);
    ASSERT_EQ(eq.genImpulseResponse(64), 0);
    const Eigen::ArrayXd running = eq.getImpulseResponse();
    useFile(eq, "producer.json", "[{");
    CaptureStderr();
    EXPECT_EQ(eq.loadIntoInactive(), -1357);
    GetCapturedStderr();
    eq.active().clearState();
    Eigen::ArrayXd y(64);
    ASSERT_EQ(eq.process(impulse(64), y), 0);
    EXPECT_TRUE((y == running).all());
    EXPECT_TRUE((eq.inactiveImpulse(64) == impulse(64)).all());
}

TEST(ParaEQLoad, MissingFileOrNameAddNoSections) {
    ParaEQ eq;
    eq.setFS(fs);
    CaptureStderr();
    EXPECT_EQ(eq.loadFromFile(), -1356);
    EXPECT_EQ(GetCapturedStderr(), "Error : -1356 Problem when using the file name, is it empty, did you set it ?  ");
    EXPECT_EQ(eq.getA().cols(), 1);

    useFile(eq, "missing.json", "");
    mobutest::removeTree(eq.getFileName());
    CaptureStderr();
    EXPECT_EQ(eq.loadFromFile(), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(eq.getA().cols(), 0);
    ASSERT_EQ(eq.genImpulseResponse(16), 0);
    EXPECT_TRUE((eq.getImpulseResponse() == impulse(16)).all());
}

TEST(ParaEQLoad, FilesThatAreNotRegularOrTooLargeAreRefusedWithoutWaiting) {
    ParaEQ eq;
    eq.setFS(fs);
    useFile(eq, "large.json", "[" + std::string(1 << 20, ' ') + "]"); // valid, one byte over 1 MiB
    const std::string home = eq.getFileName().substr(0, eq.getFileName().rfind('/') + 1);
    const std::string fifo = home + "fifo.json";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    mkdir((home + "directory.json").c_str(), 0700);
    for (const char* name : {"fifo.json", "directory.json", "large.json"}) {
        eq.reset(0);
        ASSERT_EQ(eq.newBPF(0.1, 10, 1), 0);
        CaptureStdout();
        eq.setFileName(name);
        GetCapturedStdout();
        const auto r = mobutest::returnsWithoutWriter(fifo, std::chrono::seconds(5), [&] {
            CaptureStderr();
            const int ret = eq.loadFromFile();
            return std::make_pair(ret, GetCapturedStderr());
        });
        EXPECT_TRUE(r.first) << name << " kept the loader waiting";
        EXPECT_EQ(r.second.first, -1358) << name;
        EXPECT_NE(r.second.second.find("Error : -1358 "), std::string::npos) << r.second.second;
        ASSERT_EQ(eq.getA().cols(), 1) << name;
        EXPECT_TRUE((eq.getA().col(0) == Eigen::Array3d(1, 0, 0)).all()) << name << ": a unity section";
    }
    std::remove(fifo.c_str());
}

// ---------------------------------------------------------------- binary stream

TEST(ParaEQStream, TwoSectionsAreByteExactLittleEndian) {
    ParaEQ eq;
    eq.reset(2);
    const double a[] = {1.0, -2.0, 0.5, 1.0, 0.25, 0.0};
    const double b[] = {0.5, 0.0, -2.0, 1.0, 1.0, 0.25};
    for (unsigned k = 0; k < 6; ++k) {
        ASSERT_EQ(eq.loadA(k % 3, k / 3, a[k]), 0);
        ASSERT_EQ(eq.loadB(k % 3, k / 3, b[k]), 0);
    }
    std::ostringstream os;
    ASSERT_EQ(eq.toStream(os), 0);
    // IEEE binary64 bit patterns of the values above.
    const uint64_t one = 0x3FF0000000000000, minusTwo = 0xC000000000000000, half = 0x3FE0000000000000,
                   quarter = 0x3FD0000000000000, zero = 0;
    std::string expected = littleEndian(3) + littleEndian(2);
    for (uint64_t v : {one, minusTwo, half, one, quarter, zero})
        expected += littleEndian(v);
    expected += littleEndian(3) + littleEndian(2);
    for (uint64_t v : {half, zero, minusTwo, one, one, quarter})
        expected += littleEndian(v);
    EXPECT_EQ(os.str().size(), 128u);
    EXPECT_EQ(os.str(), expected);
}

TEST(ParaEQStream, RoundTripAndFileSave) {
    ParaEQ src, dst;
    src.reset(0);
    ASSERT_EQ(src.newBPF(0.01, 3, 1), 0);
    ASSERT_EQ(src.newBPF(0.2, -7, 4), 0);
    ASSERT_EQ(src.newBPF(0.5, 1, 0.6), 0);
    std::stringstream s;
    ASSERT_EQ(src.toStream(s), 0);
    CaptureStdout();
    EXPECT_EQ(dst.fromStream(s), 0);
    EXPECT_EQ(GetCapturedStdout(), "Resetting\n");
    EXPECT_TRUE((dst.getA() == src.getA()).all());
    EXPECT_TRUE((dst.getB() == src.getB()).all());

    std::stringstream again(s.str());
    CaptureStdout();
    EXPECT_EQ(dst.fromStream(again), 0);
    EXPECT_EQ(GetCapturedStdout(), ""); // same section count: no reset message

    useFile(src, "coeffs.bin", "");
    EXPECT_EQ(src.saveToFile(), 0);
    EXPECT_EQ(mobutest::readFile(src.getFileName()), s.str());
}

TEST(ParaEQStream, TruncatedAndHostileStreamsLeaveTheTablesAlone) {
    ParaEQ src, eq;
    src.reset(0);
    ASSERT_EQ(src.newBPF(0.1, 3, 1), 0);
    ASSERT_EQ(src.newBPF(0.3, -3, 2), 0);
    std::ostringstream os;
    ASSERT_EQ(src.toStream(os), 0);
    const std::string full = os.str();
    const Eigen::ArrayXXd A0 = eq.getA(), B0 = eq.getB();
    auto unchanged = [&] {
        return A0.cols() == eq.getA().cols() && (A0 == eq.getA()).all() && (B0 == eq.getB()).all();
    };

    for (size_t len = 0; len < full.size(); ++len) {
        std::istringstream cut(full.substr(0, len));
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(eq.fromStream(cut), -1355) << len;
        EXPECT_EQ(GetCapturedStdout(), "") << len;
        EXPECT_EQ(GetCapturedStderr().rfind("Error : -1355 The equaliser's coefficient stream is short", 0), 0u);
        EXPECT_TRUE(unchanged()) << len;
    }

    auto withCounts = [&](int64_t rowsA, int64_t colsA, int64_t rowsB, int64_t colsB) {
        std::string s = full;
        s.replace(0, 16, littleEndian(rowsA) + littleEndian(colsA));
        s.replace(64, 16, littleEndian(rowsB) + littleEndian(colsB));
        return s;
    };
    // Coefficient k (section k / 3, row k % 3) of record 0 (A) or 1 (B) replaced.
    auto withValue = [&](int record, int k, double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return std::string(full).replace(16 + 64 * record + 8 * k, 8, littleEndian(bits));
    };
    auto withSection0 = [&](std::array<double, 3> a, std::array<double, 3> b) {
        std::string s = full;
        for (int k = 0; k < 3; ++k)
            for (int record = 0; record < 2; ++record) {
                uint64_t bits;
                std::memcpy(&bits, record == 0 ? &a[k] : &b[k], 8);
                s.replace(16 + 64 * record + 8 * k, 8, littleEndian(bits));
            }
        return s;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::string hostile[] = {
        withValue(0, 5, 1.5),                                     // a2 / a0 = 1.5: poles outside the unit circle
        withValue(0, 4, -2.5),                                    // a1 / a0 = -2.5: a real pole beyond 1
        withValue(0, 0, nan),                                     // a0
        withValue(0, 3, 0.0),                                     // a0 = 0
        withValue(1, 4, inf),                                     // b1
        withValue(1, 2, -nan),                                    // b2
        withCounts(4, 2, 3, 2),                                   // not three rows
        withCounts(3, 2, 3, -1),                                  // negative count
        withCounts(3, -2, 3, 2),                                  //
        withCounts(3, int64_t(1) << 40, 3, 2),                    // far more than the stream holds
        withCounts(3, std::numeric_limits<int64_t>::max(), 3, 2), //
        withCounts(3, 2, 3, 1),                                   // A and B differ
        withSection0({1e-300, 0, 0}, {1e10, 0, 0}),               // finite, no poles, but b0 / a0 is infinite
    };
    for (const auto& h : hostile) {
        std::istringstream in(h);
        CaptureStdout();
        CaptureStderr();
        const int ret = eq.fromStream(in);
        GetCapturedStdout();
        GetCapturedStderr();
        EXPECT_EQ(ret, -1355) << &h - hostile;
        EXPECT_TRUE(unchanged()) << &h - hostile;
    }
}

TEST(ParaEQStream, WriteFailuresAreReported) {
    ParaEQ eq;
    std::ostream broken(nullptr);
    CaptureStderr();
    EXPECT_EQ(eq.toStream(broken), -1354);
    EXPECT_EQ(GetCapturedStderr(),
              "Error : -1354 Problem when writing to output file (ofstream).  when writing the row count\n");
    CaptureStdout();
    eq.setFileName((mobutest::testHome() + "/.mobu/no/such/dir/x.bin").c_str()); // a folder name alone is refused
    GetCapturedStdout();
    CaptureStderr();
    EXPECT_EQ(eq.saveToFile(), -1354);
    GetCapturedStderr();

    // A link planted at the path is refused, not written through.
    const std::string dir = mobutest::makeTempDir("eqsave");
    mobutest::writeFile(dir + "/victim", "precious");
    CaptureStdout();
    eq.setFileName("planted-coeffs.bin");
    GetCapturedStdout();
    mobutest::removeTree(eq.getFileName());
    ASSERT_EQ(symlink((dir + "/victim").c_str(), eq.getFileName().c_str()), 0);
    CaptureStderr();
    EXPECT_EQ(eq.saveToFile(), -1354);
    EXPECT_NE(GetCapturedStderr().find("when writing " + eq.getFileName() + "\n"), std::string::npos);
    EXPECT_EQ(mobutest::readFile(dir + "/victim"), "precious");
    mobutest::removeTree(eq.getFileName());
    mobutest::removeTree(dir);
}

// ---------------------------------------------------------------- index checks and helpers

TEST(ParaEQIndex, OutOfRangeIndicesPrintWithoutNewline) {
    ParaEQ eq;
    const std::string report = "Error : -1352 You have passed in a coeff index or value which is in error.  ";
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(eq.loadA(3, 0, 1.0), -1352);
    EXPECT_EQ(eq.loadB(0, 1, 1.0), -1352);
    const std::string err = GetCapturedStderr(), out = GetCapturedStdout();
    EXPECT_EQ(err, report + report);
    EXPECT_EQ(out,
              "You're asking for a coeff index which is too large, we have 3 coeffs, you're requesting array index 3"
              "You're asking for an IIR filter index which is too large, we have 1 filters, you're requesting filter "
              "array index 1");
    EXPECT_TRUE((eq.getA().col(0) == Eigen::Array3d(1, 0, 0)).all());
    EXPECT_EQ(eq.loadB(2, 0, 0.5), 0);
    EXPECT_EQ(eq.getB()(2, 0), 0.5);

    ASSERT_EQ(eq.genImpulseResponse(4), 0);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(eq.getH(5), -1352.0);
    double v = 9.0;
    EXPECT_EQ(eq.getH(4, v), -1352);
    EXPECT_EQ(v, 9.0);
    const std::string hErr = GetCapturedStderr(), hOut = GetCapturedStdout();
    EXPECT_EQ(hErr, report + report);
    const std::string hMsg =
        "You're asking for an impulse response (h) index which is too large, we have 4 samples, you're requesting "
        "array index ";
    EXPECT_EQ(hOut, hMsg + "5" + hMsg + "4");
    CaptureStderr();
    EXPECT_EQ(eq.genImpulseResponse(0), -1352);
    GetCapturedStderr();
}

TEST(ParaEQIndex, GetHRaisesTinyValuesToTheSmallestNormal) {
    ParaEQ eq;
    const double tiny = std::numeric_limits<double>::min();
    ASSERT_EQ(eq.loadB(0, 0, -1e-310), 0); // a subnormal gain
    ASSERT_EQ(eq.genImpulseResponse(2), 0);
    EXPECT_EQ(eq.getH(0), -tiny);
    EXPECT_EQ(eq.getH(1), tiny); // 0 comes back positive
    double v = 1.0;
    EXPECT_EQ(eq.getH(1, v), 0);
    EXPECT_EQ(v, 0.0);
    ASSERT_EQ(eq.loadB(0, 0, -0.75), 0);
    ASSERT_EQ(eq.genImpulseResponse(2), 0);
    EXPECT_EQ(eq.getH(0), -0.75);
}

TEST(ParaEQIndex, SpliceOutAndDump) {
    ParaEQ eq;
    eq.reset(5);
    for (unsigned j = 0; j < 5; ++j) {
        eq.loadA(0, j, j + 1.0);
        eq.loadB(1, j, -(j + 1.0));
    }
    EXPECT_EQ(eq.spliceOutIIR(0), 0);
    ASSERT_EQ(eq.getA().cols(), 4);
    EXPECT_TRUE((eq.getA().row(0) == Eigen::Array4d(2, 3, 4, 5).transpose()).all());
    EXPECT_TRUE((eq.getB().row(1) == -Eigen::Array4d(2, 3, 4, 5).transpose()).all());
    EXPECT_EQ(eq.spliceOutIIR(2), 0);
    EXPECT_TRUE((eq.getA().row(0) == Eigen::Array3d(2, 3, 5).transpose()).all());
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(eq.spliceOutIIR(3), -1352);
    GetCapturedStderr();
    EXPECT_EQ(GetCapturedStdout(), "You're asking for an IIR filter index which is too large, we have 3 filters, "
                                   "you're requesting filter array index 3");
    EXPECT_EQ(eq.getA().cols(), 3);

    ParaEQ unity;
    CaptureStdout();
    unity.dumpAB();
    EXPECT_EQ(GetCapturedStdout(), "a : \n1\n0\n0\nb : \n1\n0\n0\n");
}
