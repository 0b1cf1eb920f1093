#include "MobuEmbedded/Audio.h"

#include <cstdlib>
#include <iostream>

Audio::Audio() {
    init();
}

Audio::Audio(int inputs, int outputs) : inChCnt(inputs), outChCnt(outputs) {
    init();
}

void Audio::init() {
    fs = 0.0;
    const int ret = reConnect("mic ", "speaker ");
    if (ret != 0) std::exit(ret);
    gain = 1.0f;
}

int Audio::reConnect(std::string in, std::string out) {
    return reConnect(std::move(in), std::move(out), "");
}

int Audio::reConnect(std::string in, std::string out, std::string serverName) {
    return reConnect(std::move(in), std::move(out), "Mobu", std::move(serverName));
}

int Audio::reConnect(std::string in, std::string out, std::string clientName, std::string serverName) {
    disconnect();
    int ret = connect(clientName, serverName);
    if (ret != 0) return ret;
    fs = getSampleRate();
    std::cout << "Jack : sample rate set to : " << fs << " Hz" << std::endl;
    std::cout << "Jack : block size set to : " << getBlockSize() << " samples" << std::endl;
    inPrefix = std::move(in);
    outPrefix = std::move(out);
    return createPorts(inPrefix, inChCnt, outPrefix, outChCnt);
}

int Audio::setChCnt(int inputs, int outputs) {
    inChCnt = inputs;
    outChCnt = outputs;
    if (!connected()) return evaluateError(JACK_NOCLIENT_ERROR, "\n");
    return createPorts(inPrefix, inChCnt, outPrefix, outChCnt);
}
