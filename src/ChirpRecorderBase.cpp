#include "MobuEmbedded/ChirpRecorderBase.h"
#include "MobuEmbedded/MobuDebug.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

ChirpRecorderBase::ChirpRecorderBase() {
    setFS(48000.0);
    if (const int ret = init(); ret != 0) std::exit(ret);
}

int ChirpRecorderBase::init() {
    playCh = 0;
    frameCount = static_cast<int>(std::floor(static_cast<float>(getFS()) * 0.1f));
    return 0;
}

int ChirpRecorderBase::setPlayCh(int ch) {
    const MatrixReader reader(*this); // no run begins while N changes
    if (!reader.matrices() || measuring()) {
        std::fprintf(stderr, "ChirpRecorderBase::setPlayCh : a run is playing, channel %d not queued\n", ch);
        return -EBUSY;
    }
    if (ch < -2 || ch >= getMaxPlayCh())
        return MobuDebug().evaluateError(-1350, " you specified a playback channel <-2 or >= then getMaxPlayCh()\n");
    const size_t queued = static_cast<size_t>(std::max(ch, 0));
    if (queued >= N.size()) N.resize(queued + 1, 10000000u); // the bookkeeping follows the device
    playCh = ch;
    std::cout << "ChirpRecorderBase::setPlayCh : setting up channel " << ch << std::endl;
    N[queued] = 0;
    return 0;
}

int ChirpRecorderBase::setFrameCount(int frames) {
    const MatrixReader reader(*this); // no run begins while the period changes
    if (!reader.matrices() || measuring()) {
        std::fprintf(stderr, "ChirpRecorderBase::setFrameCount : a run is in progress, %d frames not set\n", frames);
        return -EBUSY;
    }
    if (frames < 1 || frames > CR_MAX_FRAME_COUNT)
        return MobuDebug().evaluateError(CR_FRAME_COUNT_ERROR,
                                         " you asked for " + std::to_string(frames) + " frames per period\n");
    frameCount = frames;
    return 0;
}

int ChirpRecorderBase::setRecCh(int ch) {
    if (ch < 0 || ch >= getMaxRecCh())
        return MobuDebug().evaluateError(-1350, " you specified a capture channel <0 or >= getMaxRecCh()\n");
    recCh = ch;
    return 0;
}

int ChirpRecorderBase::isChannelEmpty(unsigned ch) {
    const MatrixReader reader(*this);
    return columnEmpty(ch, reader.matrices());
}

int ChirpRecorderBase::columnEmpty(unsigned ch, bool fromMatrix) const {
    if (!fromMatrix) {
        const double peak = livePeak(ch);
        if (peak < 0.0)
            return MobuDebug().evaluateError(-1302, " you specified a capture channel which is too large\n");
        return peak > 1e-12 ? 0 : 1;
    }
    if (ch >= static_cast<unsigned>(microphones.cols()))
        return MobuDebug().evaluateError(-1302, " you specified a capture channel which is too large\n");
    return (microphones.col(ch).array().abs() > 1e-12).any() ? 0 : 1;
}

int ChirpRecorderBase::getRecordedChannelCnt() {
    const MatrixReader reader(*this);
    const Eigen::Index columns = reader.matrices() ? microphones.cols() : liveColumns.load();
    if (columns == 0) return MobuDebug().evaluateError(-1302, "microphones matrix is not the right size \n");
    int count = 0;
    for (Eigen::Index c = 0; c < columns; ++c)
        count += columnEmpty(static_cast<unsigned>(c), reader.matrices()) == 0;
    return count;
}

int ChirpRecorderBase::zeroChannel(unsigned ch) {
    const MatrixReader reader(*this);
    if (!reader.matrices() || measuring()) {
        std::fprintf(stderr, "ChirpRecorderBase::zeroChannel : a run is in progress, channel %u not cleared\n", ch);
        return -EBUSY;
    }
    if (ch >= static_cast<unsigned>(microphones.cols()))
        return MobuDebug().evaluateError(-1302, " you specified a capture channel which is too large\n");
    microphones.col(ch).setZero();
    setLivePeak(ch, 0.0);
    return static_cast<int>(ch);
}

// A run and the readers of the matrices keep out of each other's way without locks: a reader
// counts itself in and then looks whether a run is on, a run marks itself and then waits for
// the readers counted in.  Sequentially consistent, one of the two always sees the other.
bool ChirpRecorderBase::beginRun(int columns) {
    bool idle = false;
    if (!inRun.compare_exchange_strong(idle, true)) return false;
    for (std::atomic<double>& peak : livePeaks)
        peak.store(0.0, std::memory_order_relaxed);
    liveColumns.store(std::clamp(columns, 0, CR_MAX_PLAY_CH));
    // The run's thread may be real-time and the readers not: after a few turns it sleeps, so
    // that a reader on the same processor (one writing a file, say) can finish.
    for (int turn = 0; matrixReaders.load() != 0; ++turn)
        if (turn < 16)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    return true;
}

void ChirpRecorderBase::endRun() {
    inRun.store(false);
}

void ChirpRecorderBase::raiseLivePeak(Eigen::Index column, double peak) {
    if (column < 0 || column >= CR_MAX_PLAY_CH) return;
    std::atomic<double>& live = livePeaks[static_cast<size_t>(column)];
    if (peak > live.load(std::memory_order_relaxed)) live.store(peak, std::memory_order_relaxed);
}

void ChirpRecorderBase::setLivePeak(Eigen::Index column, double peak) {
    if (column >= 0 && column < CR_MAX_PLAY_CH) livePeaks[static_cast<size_t>(column)].store(peak);
}

double ChirpRecorderBase::livePeak(unsigned column) const {
    if (column >= static_cast<unsigned>(liveColumns.load())) return -1.0;
    return livePeaks[column].load(std::memory_order_relaxed);
}

ChirpRecorderBase::MatrixReader::MatrixReader(const ChirpRecorderBase& owner) : owner(owner) {
    owner.matrixReaders.fetch_add(1);
    free = !owner.inRun.load();
    if (!free) owner.matrixReaders.fetch_sub(1); // it reads nothing, and holds up no later run
}

ChirpRecorderBase::MatrixReader::~MatrixReader() {
    if (free) owner.matrixReaders.fetch_sub(1);
}

bool ChirpRecorderBase::acquireSignals() const {
    matrixReaders.fetch_add(1);
    if (!inRun.load()) return true;
    matrixReaders.fetch_sub(1); // it reads nothing, and holds up no later run
    return false;
}

void ChirpRecorderBase::releaseSignals() const {
    matrixReaders.fetch_sub(1);
}
