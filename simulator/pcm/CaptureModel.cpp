#include "CaptureModel.h"

#include "WavReader.h"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <cmath>

namespace mobuloop {

int CaptureModel::load(const LoopConfig& config, unsigned playbackChannelCount) {
    playbackChannels = playbackChannelCount;
    captureChannels = config.captureChannels;
    polynomial = config.polynomial;
    loopbackChannel = config.loopbackChannel;
    shaped.assign(playbackChannels, 0.0);
    noise.clear();
    if (config.noise) {
        const double rms = std::pow(10.0, config.noiseDB / 20.0);
        for (unsigned c = 0; c < captureChannels; ++c)
            noise.emplace_back(rms, 0x5EEDull + 7919ull * c);
    }
    room.reset();
    if (config.room.empty()) return 0;

    WavReader file;
    const int err = file.read(config.room);
    if (err < 0 || file.samples.empty() || file.samples[0].empty()) {
        SNDERR("mobuloop: couldn't read the room impulse response %s (a WAV file is needed)", config.room.c_str());
        return err < 0 ? err : -EINVAL;
    }
    if (file.rate != config.rate)
        SNDERR("mobuloop: warning: %s is at %u Hz, the loop at %u Hz", config.room.c_str(), file.rate, config.rate);
    std::vector<std::vector<double>> responses(playbackChannels);
    for (unsigned p = 0; p < playbackChannels; ++p)
        responses[p] = file.samples[p % file.channels];
    room = std::make_unique<RoomConvolver>(responses);
    return 0;
}

void CaptureModel::reset() {
    if (room) room->reset();
    for (auto& n : noise)
        n.reset();
}

void CaptureModel::process(const double* wire, double* out) {
    const double* in = wire;
    if (!polynomial.empty()) {
        for (unsigned p = 0; p < playbackChannels; ++p) {
            double y = 0.0; // Horner's scheme on x * (a1 + a2 x + ...)
            for (size_t k = polynomial.size(); k-- > 0;)
                y = y * wire[p] + polynomial[k];
            shaped[p] = y * wire[p];
        }
        in = shaped.data();
    }
    if (room) {
        const double microphone = room->process(in);
        for (unsigned c = 0; c < captureChannels; ++c)
            out[c] = microphone;
    } else {
        for (unsigned c = 0; c < captureChannels; ++c)
            out[c] = c < playbackChannels ? in[c] : 0.0;
    }
    if (loopbackChannel >= 0 && static_cast<unsigned>(loopbackChannel) < captureChannels) {
        double sum = 0.0;
        for (unsigned p = 0; p < playbackChannels; ++p)
            sum += wire[p];
        out[loopbackChannel] = sum;
    }
    for (unsigned c = 0; c < noise.size(); ++c)
        out[c] += noise[c].next();
}

} // namespace mobuloop
