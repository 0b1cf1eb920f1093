#include "MobuEmbedded/FIRMobu.h"

#include "FIRKernels.h"
#include "MobuEmbedded/FIRLongPartitions.h"

#include <Sox.h>
#include <fftw3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <iostream>

using firkernels::spectrumKernels;
using firkernels::SpectrumKernels;

void FIRMobu::SpectrumArray::Free::operator()(void* p) const {
    std::free(p);
}

void FIRMobu::SpectrumArray::resize(Eigen::Index rows, Eigen::Index cols, int line) {
    constexpr size_t cacheLine = 64, page = 4096;
    constexpr Eigen::Index perLine = cacheLine / sizeof(std::complex<double>);
    // Columns rounded up to whole lines plus one line, so that neighbouring columns start on
    // neighbouring sets even when a column is a whole number of pages long.
    const Eigen::Index newStride = (rows + perLine - 1) / perLine * perLine + perLine;
    const size_t offset = static_cast<size_t>(line % (page / cacheLine)) * cacheLine;
    const size_t bytes = offset + static_cast<size_t>(newStride * cols) * sizeof(std::complex<double>);
    const size_t rounded = (bytes + page - 1) / page * page;
    void* raw = std::aligned_alloc(page, rounded);
    if (raw == nullptr) throw std::bad_alloc();
    storage.reset(static_cast<std::complex<double>*>(raw));
    first = reinterpret_cast<std::complex<double>*>(static_cast<char*>(raw) + offset);
    nRows = rows;
    nCols = cols;
    stride = newStride;
    firstLine = line;
}

FIRMobu::SpectrumArray::SpectrumArray(const SpectrumArray& other) {
    *this = other;
}

FIRMobu::SpectrumArray& FIRMobu::SpectrumArray::operator=(SpectrumArray&& other) noexcept {
    if (this == &other) return *this;
    storage = std::move(other.storage);
    first = std::exchange(other.first, nullptr);
    nRows = std::exchange(other.nRows, 0);
    nCols = std::exchange(other.nCols, 0);
    stride = std::exchange(other.stride, 0);
    firstLine = std::exchange(other.firstLine, 0);
    return *this;
}

FIRMobu::SpectrumArray& FIRMobu::SpectrumArray::operator=(const SpectrumArray& other) {
    if (this == &other) return *this;
    if (other.storage) {
        resize(other.nRows, other.nCols, other.firstLine);
        view() = other.view();
    } else {
        storage.reset();
        first = nullptr;
        nRows = nCols = stride = 0;
        firstLine = other.firstLine;
    }
    return *this;
}

FIRMobu::FIRMobu() = default;

FIRMobu::FIRMobu(int M) {
    init(static_cast<unsigned>(M));
}

FIRMobu::~FIRMobu() = default;

FIRMobu::Partitioning FIRMobu::defaultPartitioning() {
    const char* chosen = getenv("MOBU_FIR_PARTITIONING");
    if (chosen != nullptr && std::strcmp(chosen, "uniform") == 0) return Partitioning::Uniform;
    if (chosen != nullptr && (std::strcmp(chosen, "nonuniform") == 0 || std::isdigit(chosen[0])))
        return Partitioning::NonUniform;
    return Partitioning::Automatic;
}

FIRMobu::Precision FIRMobu::defaultPrecision() {
    const char* chosen = getenv("MOBU_FIR_PRECISION");
    return chosen != nullptr && std::strcmp(chosen, "single") == 0 ? Precision::Single : Precision::Double;
}

bool FIRMobu::parsePrecision(const std::string& text, Precision& p) {
    if (text != "single" && text != "double") return false;
    p = text == "single" ? Precision::Single : Precision::Double;
    return true;
}

std::vector<int> FIRMobu::defaultRatios() {
    std::vector<int> ratios;
    const char* chosen = getenv("MOBU_FIR_PARTITIONING");
    for (const char* p = chosen; p != nullptr && std::isdigit(*p);) {
        char* end = nullptr;
        ratios.push_back(static_cast<int>(std::strtol(p, &end, 10)));
        p = *end == ',' ? end + 1 : nullptr;
    }
    for (size_t s = 0; s < ratios.size(); ++s)
        if (ratios[s] < 2 || (s > 0 && ratios[s] <= ratios[s - 1])) return {};
    return ratios;
}

int FIRMobu::setPartitioning(Partitioning p, std::vector<int> blockRatios) {
    // Stage s + 1 must start beyond stage s: block lengths strictly increasing, from 2N.
    for (size_t s = 0; s < blockRatios.size(); ++s)
        if (blockRatios[s] < 2 || (s > 0 && blockRatios[s] <= blockRatios[s - 1]))
            return MobuDebug().evaluateError(-1352, " : stage block lengths must increase from 2N\n");
    partitioning = p;
    requestedRatios = std::move(blockRatios);
    return 0;
}

int FIRMobu::setChannelInputs(std::vector<int> inputOf) {
    for (const int column : inputOf)
        if (column < 0)
            return MobuDebug().evaluateError(-1350, " : setChannelInputs, column " + std::to_string(column) +
                                                        " is negative; nothing changed\n");
    requestedInputs = std::move(inputOf);
    return 0;
}

void FIRMobu::assignInputs(int C, std::vector<int>& column, std::vector<int>& group, std::vector<int>& leader,
                           int& needed) const {
    column.resize(C);
    for (int c = 0; c < C; ++c)
        column[c] = c;
    if (!requestedInputs.empty()) {
        if (static_cast<int>(requestedInputs.size()) == C)
            column = requestedInputs;
        else
            MobuDebug().evaluateError(
                -1350, " : setChannelInputs gave columns for " + std::to_string(requestedInputs.size()) +
                           " channels but the filter has " + std::to_string(C) + "; channel c reads column c\n");
    }
    // Groups numbered by first appearance, so channel 0 leads group 0.
    group.assign(C, 0);
    leader.clear();
    needed = 0;
    for (int c = 0; c < C; ++c) {
        int g = 0;
        while (g < static_cast<int>(leader.size()) && column[leader[g]] != column[c])
            ++g;
        if (g == static_cast<int>(leader.size())) leader.push_back(c);
        group[c] = g;
        needed = std::max(needed, column[c] + 1);
    }
}

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
    for (auto& a : carry)
        a.setZero();
    std::fill(historyHead.begin(), historyHead.end(), 0);
    for (auto& s : longPartitions)
        s->reset();
}

void FIRMobu::advanceLongPartitions() {
    for (auto& s : longPartitions)
        s->advance();
}

double FIRMobu::transformCost(int n) {
    return transformPerPoint * n * std::log2(static_cast<double>(std::max(n, 2))) + transformCall;
}

std::vector<int> FIRMobu::nonUniformSchedule(Eigen::Index L, int N, bool evenIfDearer, double* cost,
                                             double* uniformCost) {
    auto stage0 = [N](Eigen::Index P) {
        return 2.0 * transformCost(N) / N + 4.0 * elementCost + macCost * static_cast<double>(P + 1);
    };
    auto later = [N](int r, Eigen::Index W) { return FIRLongPartitions::estimatedCost(N, r, static_cast<int>(W)); };
    const double uniform = stage0(partitionCount(std::max<Eigen::Index>(L, 1), N));
    double best = evenIfDearer ? std::numeric_limits<double>::infinity() : uniform;
    std::vector<int> chosen, ratios;
    for (int a = 2; a <= 64; a *= 2)
        for (int g = 2; g <= 16; g *= 2) {
            // Stages 1 .. K with block lengths a g^(s-1) N, each starting at twice its block length.
            ratios.clear();
            double lower = stage0(2 * a); // stage 0 and the full stages before the last
            for (long r = a; 2 * r * N < L && r * N <= (1L << 24); r *= g) {
                ratios.push_back(static_cast<int>(r));
                const double total = lower + later(static_cast<int>(r), (L + r * N - 1) / (r * N) - 1);
                if (total < best) {
                    best = total;
                    chosen = ratios;
                }
                lower += later(static_cast<int>(r), 2 * g - 1);
            }
        }
    if (cost != nullptr) *cost = chosen.empty() ? uniform : best;
    if (uniformCost != nullptr) *uniformCost = uniform;
    return chosen;
}

std::vector<FIRMobu::Stage> FIRMobu::stages() const {
    std::vector<Stage> list;
    if (history.empty()) return list;
    list.push_back({0, static_cast<int>(fftLength / 2), static_cast<int>(history[0].cols())});
    for (const auto& s : longPartitions)
        list.push_back({2 * static_cast<Eigen::Index>(s->blockLength()), s->blockLength(), s->partitionCount()});
    return list;
}

void FIRMobu::loadTimeDomainCoefficients(Eigen::MatrixXd h) {
    std::cout << "FIRMobu::loadTimeDomainCoefficients : entering" << std::endl;
    const Eigen::Index N = fftLength / 2;
    if (N < 1) {
        MobuDebug().evaluateError(-1312, " : init the transform length before loading coefficients\n");
        return;
    }

    // Everything is built aside first and taken over only once complete: a build that throws
    // (out of memory, no transform plan) leaves the engine with its old coefficients.
    Eigen::Array<double, 1, Eigen::Dynamic> gains = h.rows() == 1
                                                        ? Eigen::Array<double, 1, Eigen::Dynamic>(h.row(0).array())
                                                        : Eigen::Array<double, 1, Eigen::Dynamic>::Zero(h.cols());

    Eigen::MatrixXd copy = std::move(h); // h is this call's own copy: no third one while loading
    if (removeDC && copy.rows() > 0) copy.rowwise() -= copy.colwise().mean();
    if (copy.rows() < N) {
        const Eigen::Index old = copy.rows();
        copy.conservativeResize(N, Eigen::NoChange);
        copy.bottomRows(N - old).setZero();
    }

    abandonIf(abandonCheck);
    spectrumKernels(); // picks the kernels now rather than in the first filterLocal call
    ComplexArray first;
    mDFT(copy.topRows(N), first);
    const Eigen::Index C = first.cols();
    std::vector<int> columns, groups, leaders;
    int needed = 0;
    assignInputs(static_cast<int>(C), columns, groups, leaders, needed);
    const Eigen::Index G = static_cast<Eigen::Index>(leaders.size());

    // Stage 0 takes every tap, or with later stages the first 2 B1.
    std::vector<int> ratios;
    const Eigen::Index taps = copy.rows();
    if (partitioning == Partitioning::NonUniform && !requestedRatios.empty()) {
        for (const int r : requestedRatios)
            if (2 * N * r < taps) ratios.push_back(r);
    } else if (partitioning == Partitioning::NonUniform ||
               (partitioning == Partitioning::Automatic && partitionCount(taps, N) >= nonUniformFromPartitions)) {
        ratios = nonUniformSchedule(taps, static_cast<int>(N), partitioning == Partitioning::NonUniform);
    }
    const Eigen::Index L = ratios.empty() ? taps : 2 * N * ratios[0];
    std::vector<std::unique_ptr<FIRLongPartitions>> stagesAfter0;
    for (size_t s = 0; s < ratios.size(); ++s) {
        const Eigen::Index end = s + 1 < ratios.size() ? 2 * N * ratios[s + 1] : taps;
        abandonIf(abandonCheck);
        stagesAfter0.push_back(FIRLongPartitions::make(static_cast<int>(N), ratios[s], copy, end, groups,
                                                       laterPrecision == Precision::Single, abandonCheck));
    }
    // Stage 0's transforms, measured on arrays laid out as the ring and blockWork.
    SpectrumArray work;
    work.resize(N, 3, 63);
    auto forward = std::make_unique<firkernels::TransformPlan>(static_cast<int>(N), 1, 1, static_cast<int>(N),
                                                               FFTW_FORWARD, true, work.col(0), work.col(1));
    auto inverse = std::make_unique<firkernels::TransformPlan>(static_cast<int>(N), 1, 1, static_cast<int>(N),
                                                               FFTW_BACKWARD, true, work.col(1), work.col(2));
    std::vector<SpectrumArray> windows(C), ring(G), ahead(C);
    ComplexArray spectra;
    const Eigen::Index P = partitionCount(L, N);
    for (Eigen::Index c = 0; c < C; ++c) {
        abandonIf(abandonCheck);
        Eigen::MatrixXd W = Eigen::MatrixXd::Zero(2 * N, P);
        for (Eigen::Index k = 0; k < L; k += N) {
            const Eigen::Index len = std::min(2 * N, L - k);
            W.col(k / N).head(len) = copy.col(c).segment(k, len);
        }
        mDFT(W, spectra);
        // The ring, the windows and the carry of a channel start on different lines of a page.
        windows[c].resize(N, P, 0);
        windows[c].view() = spectra;
        ahead[c].resize(N, 1, 42);
    }
    for (Eigen::Index g = 0; g < G; ++g) // one ring per input column
        ring[g].resize(N, P, 21);

    directGains = std::move(gains);
    firstPartition = std::move(first);
    longPartitions = std::move(stagesAfter0);
    windowSpectra = std::move(windows);
    history = std::move(ring);
    carry = std::move(ahead);
    historyHead.assign(G, 0);
    inputColumn = std::move(columns);
    inputGroup = std::move(groups);
    groupLeader = std::move(leaders);
    inputsNeeded = needed;
    groupLast.assign(G, 0);
    groupCarries.assign(G, {});
    groupWindows.assign(G, {});
    for (Eigen::Index c = 0; c < C; ++c) {
        const int g = inputGroup[c];
        groupLast[g] = static_cast<int>(c);
        groupCarries[g].push_back(reinterpret_cast<double*>(carry[c].col(0)));
        groupWindows[g].push_back(reinterpret_cast<const double*>(windowSpectra[c].col(0)));
    }
    blockWork = std::move(work);
    forwardPlan = std::move(forward);
    inversePlan = std::move(inverse);
    blockIn.setZero(N);
    prepareOutput(static_cast<int>(N), static_cast<int>(C)); // the first block must not allocate either
    reset();
    std::cout << "FIRMobu::loadTimeDomainCoefficients : leaving" << std::endl;
}

Eigen::Index FIRMobu::partitionCount(Eigen::Index L, Eigen::Index N) {
    // Single precision, rounded up (L = N gives 1, 2.5N gives 3), is exact up to 2^24 taps.
    // Beyond, L itself rounds: step to the smallest count whose partitions hold every tap.
    Eigen::Index P = static_cast<Eigen::Index>(std::ceil(static_cast<float>(L) / static_cast<float>(N)));
    while (P * N < L)
        ++P;
    while (P > 1 && (P - 1) * N >= L)
        --P;
    return P;
}

int FIRMobu::readFile(const std::string& fileName, Eigen::MatrixXd& b, double* fileRate, const AbandonCheck& abandon) {
    Sox<double> sox;
    const int openRes = sox.openRead(fileName);
    if (openRes < 0 && openRes != SOX_REFERENCE_WARNING) return SoxDebug().evaluateError(openRes, fileName + "\n");
    // In pieces, so that an abandoned build stops reading within milliseconds; one frame past
    // the limit is enough to refuse a file: a longer one is never read in full.
    constexpr Eigen::Index piece = 65536;
    std::vector<Eigen::MatrixXd> pieces;
    Eigen::Index frames = 0;
    while (frames <= maxTaps) {
        abandonIf(abandon);
        Eigen::MatrixXd part;
        const Eigen::Index ask = std::min(piece, maxTaps + 1 - frames);
        const int readRes = sox.read(part, static_cast<int>(ask));
        if (readRes == SOX_NON_FINITE_ERROR) return SoxDebug().evaluateError(readRes, fileName + "\n");
        if (readRes < 0) {
            MobuDebug().evaluateError(1, fileName + "\n");
            return readRes;
        }
        if (readRes == 0) break;
        frames += part.rows();
        const bool end = part.rows() < ask;
        pieces.push_back(std::move(part));
        if (end) break;
    }
    if (pieces.size() == 1) {
        b = std::move(pieces[0]);
    } else {
        b.resize(frames, pieces.empty() ? sox.getChCntIn() : pieces[0].cols());
        Eigen::Index at = 0;
        for (const Eigen::MatrixXd& part : pieces) {
            b.middleRows(at, part.rows()) = part;
            at += part.rows();
        }
    }
    if (b.rows() > maxTaps) {
        b.resize(0, 0);
        return MobuDebug().evaluateError(MOBU_TAP_LIMIT_ERROR,
                                         fileName + " has more than " + std::to_string(maxTaps) + " taps\n");
    }
    if (fileRate != nullptr) *fileRate = sox.getFSIn();
    return 0;
}

int FIRMobu::loadTimeDomainCoefficients(std::string fileName) {
    Eigen::MatrixXd b;
    const int res = readFile(fileName, b);
    if (res < 0) return res;
    if (b.rows() < 1)
        return MobuDebug().evaluateError(-1309, "loadTimeDomainCoefficients, b.rows<1, the filter is empty.\n");
    return loadBuilt(b);
}

int FIRMobu::loadBuilt(const Eigen::MatrixXd& h) {
    try {
        ConvolutionMobu& self = *this; // through the virtual slot
        self.loadTimeDomainCoefficients(h);
        return 0;
    } catch (const std::exception& e) {
        return MobuDebug().evaluateError(-1359, std::string("loadTimeDomainCoefficients: ") + e.what() + "\n");
    }
}

namespace {
/// Channel m of b without its trailing zeros (at least 2048 taps kept), with the "Trimming" line.
Eigen::VectorXd trimmedChannel(const Eigen::MatrixXd& b, Eigen::Index m) {
    Eigen::Index i = b.rows() - 1;
    while (i > 2048 && b(i, m) == 0.0)
        --i;
    const int kept = static_cast<int>(i + 1);
    printf("Trimming channel %d from %ld to %d samples\n", static_cast<int>(m), static_cast<long>(b.rows()), kept);
    fflush(stdout);
    return b.col(m).head(kept);
}

void warnRate(const std::string& fileName, double fileRate, double streamRate) {
    if (streamRate > 0.0 && fileRate != streamRate) // still loaded: a filter is better than none
        fprintf(stderr, "Warning : the coefficient file %s is at %g Hz but the stream runs at %g Hz\n",
                fileName.c_str(), fileRate, streamRate);
}
} // namespace

int FIRMobu::readChannel(const std::string& fileName, unsigned m, Eigen::VectorXd& taps, double* maxCoefficient,
                         double streamRate) {
    Eigen::MatrixXd b;
    double fileRate = 0.0;
    const int res = readFile(fileName, b, &fileRate);
    if (res < 0) return res;
    warnRate(fileName, fileRate, streamRate);
    if (m >= b.cols())
        return MobuDebug().evaluateError(
            -1350, "loadTimeDomainCoefficients, m+1<b.cols, less channels in the FIR filter then requested.\n");
    if (b.rows() < 1)
        return MobuDebug().evaluateError(-1309, "loadTimeDomainCoefficients, b.rows<1, the filter is empty.\n");
    taps = trimmedChannel(b, m);
    if (maxCoefficient != nullptr) *maxCoefficient = b.maxCoeff();
    return 0;
}

int FIRMobu::readChannels(const std::string& fileName, int channels, std::vector<Eigen::VectorXd>& taps,
                          std::vector<int>& codes, std::string& why, double streamRate, const AbandonCheck& abandon) {
    taps.assign(static_cast<size_t>(std::max(channels, 0)), Eigen::VectorXd());
    codes.assign(taps.size(), 0);
    why.clear();
    Eigen::MatrixXd b;
    double fileRate = 0.0;
    int res = readFile(fileName, b, &fileRate, abandon);
    if (res < 0) {
        const std::string sox = SoxDebug().message(res);
        const std::string text = sox.empty() ? MobuDebug().message(res) : sox; // the tap limit is the system's own
        why = text.empty() ? "it can't be read (code " + std::to_string(res) + ")" : text;
        while (!why.empty() && why.back() == ' ')
            why.pop_back();
    } else if (b.rows() < 1) {
        res = -1309;
        why = "it holds no samples";
    }
    if (res < 0) {
        std::fill(codes.begin(), codes.end(), res);
        return res;
    }
    warnRate(fileName, fileRate, streamRate);
    for (int m = 0; m < channels; ++m) {
        if (m < b.cols()) {
            taps[static_cast<size_t>(m)] = trimmedChannel(b, m);
        } else {
            codes[static_cast<size_t>(m)] = -1350;
            res = -1350;
        }
    }
    if (res < 0)
        why = "it has " + std::to_string(b.cols()) + " channel" + (b.cols() == 1 ? "" : "s") + ", " +
              std::to_string(channels) + " are needed";
    return res;
}

int FIRMobu::loadTimeDomainCoefficients(std::string fileName, unsigned m, double streamRate) {
    Eigen::VectorXd taps;
    double maxCoefficient = 0.0;
    const int res = readChannel(fileName, m, taps, &maxCoefficient, streamRate);
    if (res < 0) return res;
    const int built = loadBuilt(Eigen::MatrixXd(taps));
    if (built < 0) return built;
    printf("FIRMobu::loadTimeDomainCoefficients : max coefficient = %f\n", maxCoefficient);
    fflush(stdout);
    return 0;
}

std::vector<std::unique_ptr<FIRMobu>> FIRMobu::perInputEngines(int M, int inputs,
                                                               const std::vector<Eigen::VectorXd>& taps,
                                                               Partitioning partitioning, Precision precision,
                                                               const AbandonCheck& abandon) {
    std::vector<std::unique_ptr<FIRMobu>> engines;
    const int outputs = static_cast<int>(taps.size());
    for (int i = 0; i < inputs; ++i) {
        abandonIf(abandon);
        Eigen::Index length = 0;
        int channels = 0;
        for (int m = i; m < outputs; m += inputs, ++channels)
            length = std::max(length, taps[m].size());
        Eigen::MatrixXd h = Eigen::MatrixXd::Zero(length, channels);
        for (int m = i, k = 0; m < outputs; m += inputs, ++k)
            h.col(k).head(taps[m].size()) = taps[m];
        engines.push_back(std::make_unique<FIRMobu>(M));
        engines.back()->setPartitioning(partitioning);
        engines.back()->setLaterPrecision(precision);
        engines.back()->setChannelInputs(std::vector<int>(static_cast<size_t>(channels), 0));
        engines.back()->setAbandonCheck(abandon);
        engines.back()->loadTimeDomainCoefficients(std::move(h));
        engines.back()->setAbandonCheck({}); // what it asks may not outlive this build
    }
    return engines;
}

bool FIRMobu::tooFewChannels(Eigen::Index cols) {
    if (cols >= inputsNeeded) return false;
    MobuDebug().evaluateError(-1350, " input channel count == " + std::to_string(cols) + " but should be " +
                                         std::to_string(inputsNeeded) + " returning without processing.\n");
    return true;
}

bool FIRMobu::wrongBlockLength(Eigen::Index rows) {
    const Eigen::Index N = fftLength / 2;
    if (rows == N) return false;
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

void FIRMobu::transformInput(int g) {
    // The spectrum of the new block goes straight into the ring's newest column.
    forwardPlan->run(blockWork.col(0), history[g].col(historyHead[g]));
}

void FIRMobu::carryAhead(int g) {
    // carry = sum over p of X_{T-p} * G_p, read straight from the ring, for every channel on
    // this input: the ring is read once for all of them.
    const SpectrumKernels& kernels = spectrumKernels();
    const int N = static_cast<int>(fftLength / 2);
    const SpectrumArray& hist = history[g];
    const int P = static_cast<int>(hist.cols());
    const size_t stride = 2 * static_cast<size_t>(hist.columnStride());
    const auto* ring = reinterpret_cast<const double*>(hist.col(0));
    const int K = static_cast<int>(groupCarries[g].size());
    if (K == 1)
        kernels.multiplyAccumulate(groupCarries[g][0], ring, historyHead[g], groupWindows[g][0], P, N, stride);
    else
        firkernels::multiplyAccumulateShared(kernels, groupCarries[g].data(), ring, historyHead[g],
                                             groupWindows[g].data(), K, P, 0, N, stride);
}

void FIRMobu::advanceHistory() {
    // The oldest column is overwritten by the next block.
    for (size_t g = 0; g < history.size(); ++g) {
        const int P = static_cast<int>(history[g].cols());
        historyHead[g] = historyHead[g] == 0 ? P - 1 : historyHead[g] - 1;
    }
}

void FIRMobu::convolvePacked(int c) {
    const SpectrumKernels& kernels = spectrumKernels();
    const int N = static_cast<int>(fftLength / 2);
    const int g = inputGroup[c];
    const double* a = reinterpret_cast<const double*>(carry[c].col(0));
    const std::complex<double>* newest = history[g].col(historyHead[g]);

    // The block's spectrum = X_T * H_0 + j * carry (the older blocks' contribution).
    std::complex<double>* spectrum = blockWork.col(1);
    kernels.blockSpectrum(reinterpret_cast<double*>(spectrum), reinterpret_cast<const double*>(newest),
                          reinterpret_cast<const double*>(firstPartition.col(c).data()), a, N);

    // Output: real part of the inverse transform times twiddleInv (the first N samples).  The
    // transform runs unscaled and its 1/N is applied here, saving a pass over the spectrum.
    inversePlan->run(spectrum, blockWork.col(2));
    kernels.realOutput(filtered.col(c).data(), reinterpret_cast<const double*>(blockWork.col(2)),
                       reinterpret_cast<const double*>(twiddleInv.data()), 1.0 / static_cast<double>(N), N);

    // The later stages add their share of the same output block.
    for (auto& s : longPartitions)
        s->process(c, blockIn.data(), filtered.col(c).data());
}
