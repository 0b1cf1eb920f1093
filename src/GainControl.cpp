#include "MobuEmbedded/GainControl.h"
#include "MobuEmbedded/SysLog.h"

#include <cmath>
#include <cstdio>

namespace {
/// "[g0,g1,...]" with %f values.
std::string gainText(const GainControl::GainRow& g) {
    std::string text = "[";
    char value[64];
    for (Eigen::Index c = 0; c < g.size(); ++c) {
        snprintf(value, sizeof value, c ? ",%f" : "%f", g(c));
        text += value;
    }
    return text + "]";
}
} // namespace

void GainControl::size(int n, int m) {
    std::lock_guard<std::mutex> hold(lock);
    matrices.buffer(0).setOnes(n, m);
    matrices.buffer(1).setOnes(n, m);
    matrices.completeTransition();
    savedGains.setZero(m);
    muted.assign(m, false);
    inverted.assign(m, false);
    requestedGains.setOnes(m);
    rampOwed = false;
    ready = true;
}

void GainControl::holdRequested() {
    // Nothing has been played yet: the mixer's gains, mutes and polarities hold from the
    // first sound on, without a ramp from unity (a muted channel must never sound).
    std::lock_guard<std::mutex> hold(lock);
    const Eigen::Index n = matrices.buffer(0).rows();
    matrices.buffer(0) = requestedGains.replicate(n, 1);
    matrices.buffer(1) = matrices.buffer(0);
    matrices.completeTransition();
    rampOwed = false;
}

void GainControl::set(const GainRow& newGains) {
    std::lock_guard<std::mutex> hold(lock);
    setLocked(newGains);
}

void GainControl::setLocked(const GainRow& newGains) {
    mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - ENTRY with gains: %s", gainText(newGains).c_str());
    if (!ready || newGains.size() != requestedGains.size()) {
        mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - %s, nothing to do - EXIT",
                ready ? "the row does not have one gain per channel" : "the gain matrices are not sized yet");
        return;
    }
    requestedGains = newGains;
    if (matrices.transitionPending()) {
        // The pending ramp is the audio thread's now: ramp on from its end once it has been applied.
        mobuLog(LOG_NOTICE, "gains already waiting for a transition");
        rampOwed = true;
        wake();
    } else {
        buildRampLocked();
    }
    mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - EXIT");
}

void GainControl::buildRampLocked() {
    Eigen::ArrayXXd& next = *matrices.inactiveBuffer();
    const Eigen::ArrayXXd& current = *matrices.activeBuffer();
    const Eigen::Index Ng = next.rows(), C = next.cols();
    mobuLog(LOG_NOTICE, "FullDuplexFIR::setGains - Ng=%d, cols=%d", static_cast<int>(Ng), static_cast<int>(C));
    for (Eigen::Index c = 0; c < C; ++c)
        next.col(c) = Eigen::ArrayXd::LinSpaced(Ng, current(Ng - 1, c), requestedGains(c));
    mobuLog(LOG_NOTICE, "Preparing the switching for the new gains %s", gainText(requestedGains).c_str());
    matrices.prepTransition();
    rampOwed = false;
}

bool GainControl::owed() {
    std::lock_guard<std::mutex> hold(lock);
    return rampOwed;
}

void GainControl::serveOwed() {
    std::lock_guard<std::mutex> hold(lock);
    if (rampOwed && !matrices.transitionPending()) buildRampLocked();
}

GainControl::GainRow GainControl::requested() {
    std::lock_guard<std::mutex> hold(lock);
    return requestedGains;
}

int GainControl::applyReadings(const std::vector<Reading>& readings) {
    std::lock_guard<std::mutex> hold(lock);
    if (!ready) {
        mobuLog(LOG_NOTICE, "FullDuplexFIR::loadGains - the gain matrices are not sized yet - RETURN -1");
        return -1;
    }
    const int M = static_cast<int>(requestedGains.size());
    if (readings.size() != static_cast<size_t>(3 * M)) return -1;
    GainRow g = requestedGains;
    for (int c = 0; c < M; ++c) {
        const Reading& volume = readings[3 * c];
        const Reading& mute = readings[3 * c + 1];
        const Reading& invert = readings[3 * c + 2];

        if (volume.found) {
            g(c) = std::pow(10.0, volume.dB / 20.0);
            mobuLog(LOG_NOTICE, "Loaded Gain %d: %fdB (linear: %f)", c, volume.dB, g(c));
        } else {
            mobuLog(LOG_NOTICE, "Warning: Could not find Gain %d element, using default value", c);
            g(c) = 1.0;
        }

        if (mute.found && mute.value != 0) {
            muted[c] = true;
            savedGains(c) = std::abs(g(c));
            g(c) = 0.0;
            mobuLog(LOG_NOTICE, "Loaded Gain %d Mute: ON (saved unmuted gain: %f, set processing gain to 0)", c,
                    savedGains(c));
        } else if (mute.found) {
            muted[c] = false;
            mobuLog(LOG_NOTICE, "Loaded Gain %d Mute: OFF (processing gain: %f)", c, g(c));
        } else {
            muted[c] = false;
            mobuLog(LOG_NOTICE, "Warning: Could not find Gain %d Mute element", c);
        }

        if (invert.found) {
            inverted[c] = invert.value != 0;
            if (inverted[c] && !muted[c]) {
                g(c) = -std::abs(g(c));
                mobuLog(LOG_NOTICE, "Loaded Gain %d Invert: ON (inverted gain: %f)", c, g(c));
            } else if (inverted[c]) {
                mobuLog(LOG_NOTICE, "Loaded Gain %d Invert: ON (channel is muted, gain stays 0)", c);
            } else if (!muted[c]) {
                g(c) = std::abs(g(c));
                mobuLog(LOG_NOTICE, "Loaded Gain %d Invert: OFF (positive gain: %f)", c, g(c));
            } else {
                mobuLog(LOG_NOTICE, "Loaded Gain %d Invert: OFF (channel is muted, gain stays 0)", c);
            }
        } else {
            mobuLog(LOG_NOTICE, "Warning: Could not find Gain %d Invert element", c);
            inverted[c] = g(c) < 0.0;
        }
    }
    mobuLog(LOG_NOTICE, "Final loaded gains: %s", gainText(g).c_str());
    setLocked(g);
    return 0;
}

void GainControl::applyChange(int c, Kind kind, double dB, int value) {
    std::lock_guard<std::mutex> hold(lock);
    if (!ready || c < 0 || c >= requestedGains.size()) return; // the first pass reads every control
    // Start from what the latest request ends on, so a change still ramping is not lost.
    GainRow g = requestedGains;
    mobuLog(LOG_NOTICE, "current gains %s", gainText(g).c_str());
    const double sign = inverted[c] ? -1.0 : 1.0;
    switch (kind) {
    case Kind::Volume: {
        const double v = std::pow(10.0, dB / 20.0);
        if (muted[c]) {
            savedGains(c) = v;
            mobuLog(LOG_NOTICE, "Volume changed on muted channel %d: saved gain %f, keeping muted", c, v);
        } else {
            g(c) = sign * v;
        }
        break;
    }
    case Kind::Mute:
        if (value != 0) {
            if (!muted[c]) savedGains(c) = std::abs(g(c)); // a repeated mute keeps the saved gain
            muted[c] = true;
            g(c) = 0.0;
        } else if (muted[c]) { // an unmute of a channel that plays changes nothing
            muted[c] = false;
            g(c) = sign * savedGains(c);
        }
        break;
    case Kind::Invert:
        inverted[c] = value != 0;
        if (!muted[c]) g(c) = inverted[c] ? -std::abs(g(c)) : std::abs(g(c));
        break;
    }
    mobuLog(LOG_NOTICE, "new gains %s", gainText(g).c_str());
    setLocked(g);
}
