#include "MobuEmbedded/CalibrationManager.h"
#include "MobuEmbedded/MobuDebug.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

CalibrationManager::CalibrationManager() {
    int P = 0, C = 0;
    if (connected()) {
        P = static_cast<int>(physicalPorts(true).size());  // playback destinations
        C = static_cast<int>(physicalPorts(false).size()); // capture sources
        std::cout << "inChCnt " << P << " outChCnt " << C << std::endl;
    } else {
        JackDebug().evaluateError(JACK_NOCLIENT_ERROR, "\n");
    }
    setChCnt(C, P);
    Calibration::init(P);
    stopFreq = getFS() * 0.5;
    generateChirp();
    generateChirps(P);
}

CalibrationManager::~CalibrationManager() {
    disconnect(); // the callback must stop before the matrices go
}

int CalibrationManager::beginPlayCapture(int ch) {
    // The JACK thread reads the channel and N while it plays: neither changes under it.
    if (started && !done.load(std::memory_order_acquire)) {
        std::fprintf(stderr, "CalibrationManager::beginPlayCapture : channel %d still plays, channel %d not started\n",
                     playCaptureCh, ch);
        return -EBUSY;
    }
    if (ch < 0 || ch >= microphones.cols() || static_cast<size_t>(ch) >= N.size())
        return MobuDebug().evaluateError(-1302, " you specified a channel out of range\n");
    // Ending a run (the callback's -1) leaves the server's client unusable: connect afresh.
    if (done.load(std::memory_order_acquire))
        if (const int ret = reConnect("mic ", "speaker "); ret != 0) return MobuDebug().evaluateError(ret, "\n");
    playCaptureCh = ch;
    Calibration::reset();
    done.store(false, std::memory_order_release);
    if (const int ret = startClient(2, outChCnt, true); ret != 0) return MobuDebug().evaluateError(ret, "\n");
    started = true;
    return 0;
}

int CalibrationManager::processAudio(jack_nframes_t nframes) {
    const int ch = playCaptureCh;
    const Eigen::Index p = N[ch], frames = nframes;
    const Eigen::Index count = std::max<Eigen::Index>(std::min(chirps.rows() - p, frames), 0);
    for (int i = 0; i < getOutputCount(); ++i) {
        float* out = outputBuffer(i, nframes);
        for (Eigen::Index k = 0; k < frames; ++k)
            out[k] = i == ch && k < count && i < chirps.cols() ? gain * static_cast<float>(chirps(p + k, i)) : 0.0f;
    }
    // The whole period is stored, as far as microphones reaches.
    if (getInputCount() > 0) {
        const float* in = inputBuffer(ch < getInputCount() ? ch : 0, nframes);
        const Eigen::Index stored = std::max<Eigen::Index>(std::min(microphones.rows() - p, frames), 0);
        for (Eigen::Index k = 0; k < stored; ++k)
            microphones(p + k, ch) = in[k];
    }
    N[ch] += nframes;
    if (count > 0) return 0;
    std::puts("finished");
    chirpingDone = 1;
    done.store(true, std::memory_order_release);
    return -1;
}
