// Writes the impulse response of the equaliser in ~/.mobu/paraEQ0.json, at
// 48 kHz, to /tmp/paraEQ0.wav (two identical channels of 5000 samples).
#include <MobuEmbedded/ParaEQ.h>
#include <Sox.h>

#include <string>

namespace {
/// Writes data (frames x channels) to an audio file; 0 or the SoxDebug code reported.
int writeAudio(const std::string& name, double fs, const Eigen::MatrixXd& data) {
    Sox<double> sox;
    const double maxVal = data.size() > 0 ? data.cwiseAbs().maxCoeff() : 0.0;
    int ret = sox.openWrite(name, fs, static_cast<int>(data.cols()), maxVal);
    if (ret != 0) return SoxDebug().evaluateError(ret, name + "\n");
    const int written = sox.write(data);
    if (written < 0) return SoxDebug().evaluateError(written, name + "\n");
    if (written != data.rows() * data.cols()) return SoxDebug().evaluateError(SOX_SHORT_WRITE_ERROR, name + "\n");
    ret = sox.closeWrite();
    if (ret != 0) return SoxDebug().evaluateError(ret, name + "\n");
    return 0;
}
} // namespace

int main() {
    const double fs = 48000.0;
    const int N = 5000;
    ParaEQ eq;
    eq.setFS(fs);
    eq.setFileName("paraEQ0.json");
    eq.loadFromFile();
    eq.genImpulseResponse(N);

    Eigen::MatrixXd h(N, 2);
    h.col(0) = eq.getImpulseResponse().matrix();
    h.col(1) = h.col(0);
    return writeAudio("/tmp/paraEQ0.wav", fs, h);
}
