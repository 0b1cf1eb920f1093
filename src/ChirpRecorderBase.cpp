#include "MobuEmbedded/ChirpRecorderBase.h"
#include "MobuEmbedded/MobuDebug.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

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
    if (measuring()) {
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

int ChirpRecorderBase::setRecCh(int ch) {
    if (ch < 0 || ch >= getMaxRecCh())
        return MobuDebug().evaluateError(-1350, " you specified a capture channel <0 or >= getMaxRecCh()\n");
    recCh = ch;
    return 0;
}

int ChirpRecorderBase::isChannelEmpty(unsigned ch) {
    if (ch >= static_cast<unsigned>(microphones.cols()))
        return MobuDebug().evaluateError(-1302, " you specified a capture channel which is too large\n");
    return (microphones.col(ch).array().abs() > 1e-12).any() ? 0 : 1;
}

int ChirpRecorderBase::getRecordedChannelCnt() {
    if (microphones.cols() == 0) return MobuDebug().evaluateError(-1302, "microphones matrix is not the right size \n");
    int count = 0;
    for (Eigen::Index c = 0; c < microphones.cols(); ++c)
        count += isChannelEmpty(static_cast<unsigned>(c)) == 0;
    return count;
}

int ChirpRecorderBase::zeroChannel(unsigned ch) {
    if (ch >= static_cast<unsigned>(microphones.cols()))
        return MobuDebug().evaluateError(-1302, " you specified a capture channel which is too large\n");
    microphones.col(ch).setZero();
    return static_cast<int>(ch);
}
