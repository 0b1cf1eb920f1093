#include "JackClient.h"

#include <cerrno>

JackDebug::JackDebug() {
    errors[JACK_CONNECT_ERROR] = "Couldn't connect to the JACK server (is it running, under that name?).";
    errors[JACK_NOCLIENT_ERROR] = "Client doesn't exist, please use the connect method first.";
    errors[JACK_PORT_ERROR] = "Couldn't register a JACK port.";
    errors[JACK_ACTIVATE_ERROR] = "Couldn't activate the JACK client or connect its ports.";
    errors[JACK_CALLBACK_ERROR] = "Couldn't set the JACK process callback.";
}

// --- JackBase ----------------------------------------------------------------------------------

JackBase::~JackBase() {
    JackBase::disconnect();
}

int JackBase::connect(const std::string& clientName, const std::string& serverName) {
    disconnect();
    jack_status_t status{};
    const int options = JackNoStartServer | (serverName.empty() ? 0 : JackServerName);
    client = serverName.empty() ? jack_client_open(clientName.c_str(), static_cast<jack_options_t>(options), &status)
                                : jack_client_open(clientName.c_str(), static_cast<jack_options_t>(options), &status,
                                                   serverName.c_str());
    if (!client)
        return evaluateError(JACK_CONNECT_ERROR, " client " + clientName + ", server " +
                                                     (serverName.empty() ? std::string("(default)") : serverName) +
                                                     "\n");
    return 0;
}

int JackBase::disconnect() {
    if (!client) return 0;
    jack_deactivate(client);
    jack_client_close(client);
    client = nullptr;
    return 0;
}

unsigned JackBase::getSampleRate() const {
    return client ? jack_get_sample_rate(client) : 0;
}

unsigned JackBase::getBlockSize() const {
    return client ? jack_get_buffer_size(client) : 0;
}

std::vector<std::string> JackBase::physicalPorts(bool inputs) const {
    std::vector<std::string> names;
    if (!client) return names;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsPhysical | (inputs ? JackPortIsInput : JackPortIsOutput));
    for (const char** p = ports; p && *p; ++p)
        names.emplace_back(*p);
    if (ports) jack_free(ports);
    return names;
}

// --- JackClient --------------------------------------------------------------------------------

JackClient::~JackClient() {
    JackClient::disconnect();
}

int JackClient::disconnect() {
    if (client) jack_deactivate(client); // the callback stops before the ports go
    destroyPorts();
    callbackSet = false;
    return JackBase::disconnect();
}

int JackClient::createPorts(const std::string& inPrefix, int inCount, const std::string& outPrefix, int outCount) {
    if (!client) return evaluateError(JACK_NOCLIENT_ERROR, "\n");
    destroyPorts();
    for (int i = 0; i < inCount + outCount; ++i) {
        const bool in = i < inCount;
        const std::string name = (in ? inPrefix : outPrefix) + std::to_string(in ? i : i - inCount);
        jack_port_t* port = jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               in ? JackPortIsInput : JackPortIsOutput, 0);
        if (!port) {
            destroyPorts();
            return evaluateError(JACK_PORT_ERROR, " " + name + "\n");
        }
        (in ? inputs : outputs).push_back(port);
    }
    return 0;
}

void JackClient::destroyPorts() {
    if (client)
        for (auto* list : {&inputs, &outputs})
            for (jack_port_t* port : *list)
                jack_port_unregister(client, port);
    inputs.clear();
    outputs.clear();
}

int JackClient::startClient(int inCount, int outCount, bool doReconnect) {
    if (!client) return evaluateError(JACK_NOCLIENT_ERROR, "\n");
    if (!callbackSet) {
        if (jack_set_process_callback(client, processAudio_static, this) != 0 ||
            jack_set_xrun_callback(client, xrun_static, this) != 0)
            return evaluateError(JACK_CALLBACK_ERROR, "\n");
        callbackSet = true;
    }
    xruns.store(0, std::memory_order_relaxed);
    if (jack_activate(client) != 0) return evaluateError(JACK_ACTIVATE_ERROR, " when activating\n");
    if (!doReconnect) return 0;
    const std::vector<std::string> playback = physicalPorts(true), capture = physicalPorts(false);
    for (int i = 0; i < outCount && i < getOutputCount() && i < static_cast<int>(playback.size()); ++i)
        if (connectPorts(outputName(i), playback[i]) != 0) return JACK_ACTIVATE_ERROR;
    for (int i = 0; i < inCount && i < getInputCount() && i < static_cast<int>(capture.size()); ++i)
        if (connectPorts(capture[i], inputName(i)) != 0) return JACK_ACTIVATE_ERROR;
    return 0;
}

int JackClient::stopClient() {
    if (!client) return evaluateError(JACK_NOCLIENT_ERROR, "\n");
    return jack_deactivate(client) == 0 ? 0 : evaluateError(JACK_ACTIVATE_ERROR, " when deactivating\n");
}

std::string JackClient::inputName(int i) const {
    return i >= 0 && i < getInputCount() ? jack_port_name(inputs[i]) : std::string();
}

std::string JackClient::outputName(int i) const {
    return i >= 0 && i < getOutputCount() ? jack_port_name(outputs[i]) : std::string();
}

int JackClient::connectPorts(const std::string& from, const std::string& to) {
    if (!client) return evaluateError(JACK_NOCLIENT_ERROR, "\n");
    const int err = jack_connect(client, from.c_str(), to.c_str());
    if (err != 0 && err != EEXIST)
        return evaluateError(JACK_ACTIVATE_ERROR, " connecting " + from + " to " + to + "\n");
    return 0;
}

float* JackClient::inputBuffer(int i, jack_nframes_t nframes) const {
    return static_cast<float*>(jack_port_get_buffer(inputs[static_cast<size_t>(i)], nframes));
}

float* JackClient::outputBuffer(int i, jack_nframes_t nframes) const {
    return static_cast<float*>(jack_port_get_buffer(outputs[static_cast<size_t>(i)], nframes));
}

int JackClient::processAudio_static(jack_nframes_t nframes, void* self) {
    return static_cast<JackClient*>(self)->processAudio(nframes);
}

int JackClient::xrun_static(void* self) {
    static_cast<JackClient*>(self)->xruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
