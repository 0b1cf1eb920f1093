#ifndef MOBU_PLATFORM_JACKCLIENT_H
#define MOBU_PLATFORM_JACKCLIENT_H

#include "Debug.h"

#include <jack/jack.h>

#include <atomic>
#include <string>
#include <vector>

#define JACK_CONNECT_ERROR -40061  ///< no server, or the server refused the client
#define JACK_NOCLIENT_ERROR -40062 ///< an operation that needs a connected client
#define JACK_PORT_ERROR -40063     ///< a port could not be registered
#define JACK_ACTIVATE_ERROR -40064 ///< activation or port connection failed
#define JACK_CALLBACK_ERROR -40065 ///< the process callback could not be installed

/// Error table of the JACK wrapper.
class JackDebug : virtual public Debug {
public:
    JackDebug();
};

/** A connection to a JACK server: the client handle, the server's rate and block size,
 * and port listing.  The server is never started on demand: without one, connect() fails
 * with JACK_CONNECT_ERROR. */
class JackBase : virtual public JackDebug {
public:
    JackBase() = default;
    ~JackBase() override;
    JackBase(const JackBase&) = delete;
    JackBase& operator=(const JackBase&) = delete;

    /// Opens a client of this name on the named server ("" = the default server).  0 or a code.
    virtual int connect(const std::string& clientName, const std::string& serverName = "");
    /// Deactivates and closes the client (0 also when none is open).
    virtual int disconnect();
    bool connected() const { return client != nullptr; }
    jack_client_t* getClient() const { return client; }
    /// The server's rate and block size; 0 without a client.
    unsigned getSampleRate() const;
    unsigned getBlockSize() const;
    /** Full names of the physical ports: inputs (playback destinations) or outputs (capture
     * sources).  Empty without a client. */
    std::vector<std::string> physicalPorts(bool inputs) const;

protected:
    jack_client_t* client = nullptr;
};

/** A JACK client with numbered ports ("<prefix><k>", k = 0, 1, ...) and a process callback
 * that forwards to processAudio(nframes) on the server's thread.  Buffers are float. */
class JackClient : virtual public JackBase {
public:
    JackClient() = default;
    ~JackClient() override;

    int disconnect() override;
    /// Registers inputs and outputs (removing earlier ones).  0, JACK_NOCLIENT_ERROR or JACK_PORT_ERROR.
    int createPorts(const std::string& inPrefix, int inCount, const std::string& outPrefix, int outCount);
    /// Unregisters every port.
    void destroyPorts();
    /** Activates the client.  With doReconnect the first outCount outputs go to the physical
     * playback ports and the first inCount physical capture ports to the inputs, in order, as
     * far as both exist.  0 or a code. */
    int startClient(int inCount, int outCount, bool doReconnect);
    /// Deactivates the client (its ports stay).
    int stopClient();
    int getInputCount() const { return static_cast<int>(inputs.size()); }
    int getOutputCount() const { return static_cast<int>(outputs.size()); }
    /// Full port names ("client:port"), for connections.
    std::string inputName(int i) const;
    std::string outputName(int i) const;
    /// Connects two ports by full name.  0 or JACK_ACTIVATE_ERROR.
    int connectPorts(const std::string& from, const std::string& to);
    /** Over/under-runs the server reported since the last startClient (each is a period this client
     * missed, a gap in what it recorded); readable from any thread. */
    int getXrunCount() const { return xruns.load(std::memory_order_relaxed); }

protected:
    /// One period on the server's thread; a non-zero result ends processing for this client.
    virtual int processAudio(jack_nframes_t nframes) = 0;
    /// The period's buffer of input / output port i (nframes floats).
    float* inputBuffer(int i, jack_nframes_t nframes) const;
    float* outputBuffer(int i, jack_nframes_t nframes) const;

private:
    static int processAudio_static(jack_nframes_t nframes, void* self);
    static int xrun_static(void* self);
    std::vector<jack_port_t*> inputs, outputs;
    bool callbackSet = false;
    std::atomic<int> xruns{0};
};

#endif
