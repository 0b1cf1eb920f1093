#ifndef MOBUEMBEDDED_AUDIO_H
#define MOBUEMBEDDED_AUDIO_H

#include "MobuEmbedded/MobuCommon.h"

#include <JackClient.h>

#include <string>

/** A JACK client named "Mobu" with inChCnt input ports "mic 0", "mic 1", ... and outChCnt
 * output ports "speaker 0", "speaker 1", ...; the server's rate is getFS().  The server
 * named by JACK_DEFAULT_SERVER (or the default one) is used; it is never started here. */
class Audio : public JackClient, public MobuCommon {
public:
    /// 2 inputs, 8 outputs; connects, and ends the process with the code when that fails.
    Audio();
    Audio(int inputs, int outputs);
    ~Audio() override = default;

    /// Connects with the "mic " and "speaker " prefixes; gain = 1.  Ends the process on failure.
    void init();
    int reConnect(std::string inPrefix, std::string outPrefix);
    int reConnect(std::string inPrefix, std::string outPrefix, std::string serverName);
    /** Drops any connection and ports, connects under clientName to serverName ("" = default),
     * keeps the server's rate and creates the ports.  0 or a code (reported). */
    int reConnect(std::string inPrefix, std::string outPrefix, std::string clientName, std::string serverName);
    /** New port counts; the ports are created again under the same prefixes (numbered from 0,
     * whatever the physical ports are called, so names stay stable across hardware).
     * JACK_NOCLIENT_ERROR without a client. */
    int setChCnt(int inputs, int outputs);
    double getFS() override { return fs; }
    int getInChCnt() const { return inChCnt; }
    int getOutChCnt() const { return outChCnt; }

protected:
    double fs = 0.0;
    int inChCnt = 2;
    int outChCnt = 8;
    float gain = 0.0f;

private:
    std::string inPrefix = "mic ", outPrefix = "speaker ";
};

#endif
