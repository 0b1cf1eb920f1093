// Writes the impulse response of the equaliser in ~/.mobu/paraEQ0.json, at
// 48 kHz, to /tmp/paraEQ0.wav (two identical channels of 5000 samples).
#include <MobuEmbedded/ParaEQ.h>
#include <Sox.h>

#include <cstdio>
#include <string>

int main() {
    const double fs = 48000.0;
    const int N = 5000;
    ParaEQ eq;
    eq.setFS(fs);
    eq.setFileName("paraEQ0.json");
    eq.loadFromFile();
    if (const std::string warning = eq.headroomWarning(fs, eq.getFileName()); !warning.empty())
        fprintf(stderr, "%s\n", warning.c_str());
    eq.genImpulseResponse(N);

    Eigen::MatrixXd h(N, 2);
    h.col(0) = eq.getImpulseResponse().matrix();
    h.col(1) = h.col(0);
    return writeAudioFile("/tmp/paraEQ0.wav", fs, h);
}
