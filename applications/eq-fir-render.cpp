// Runs every channel of the FIR filter ~/.mobu/dayton.48k.wav through the
// equaliser in ~/.mobu/paraEQ0.json and writes the result to
// /tmp/paraEQ_X_FIR.wav, then writes the equaliser's impulse response (two
// identical channels) to /tmp/paraEQ0.wav.  Both are N samples long: 8192 for a
// 96 kHz filter, 5000 otherwise.
#include <MobuEmbedded/FIRMobu.h>
#include <MobuEmbedded/ParaEQ.h>
#include <Sox.h>

#include <cstdio>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace {

/// The equaliser of the user's paraEQ0.json at rate fs, its cascade reset from the file's settings.
void loadEqualiser(ParaEQ& eq, double fs) {
    eq.setFS(fs);
    eq.setFileName("paraEQ0.json");
    eq.loadFromFile();
    eq.resetCascade();
}
} // namespace

int main() {
    const struct passwd* pw = getpwuid(getuid());
    const std::string home = (pw != nullptr && pw->pw_dir != nullptr) ? pw->pw_dir : "";
    const std::string firName = home + "/.mobu/dayton.48k.wav";

    Eigen::MatrixXd F;
    double fs = 0.0;
    // The coefficient files' common reader: a file past the tap limit is refused before it is read in full.
    if (const int ret = FIRMobu::readFile(firName, F, &fs); ret < 0) return ret;

    const int N = fs == 96000.0 ? 8192 : 5000;
    if (F.rows() > N) {
        printf("Error : FIR N=%ld but we are specifying an N=%d which is too short\n", static_cast<long>(F.rows()), N);
        return -1;
    }
    const Eigen::Index channels = F.cols();
    Eigen::ArrayXXd padded = Eigen::ArrayXXd::Zero(N, channels);
    padded.topRows(F.rows()) = F.array();

    Eigen::ArrayXXd R = Eigen::ArrayXXd::Zero(N, channels);
    for (Eigen::Index c = 0; c < channels; ++c) {
        ParaEQ eq;
        loadEqualiser(eq, fs);
        const int ret = eq.process(padded.col(c), R.col(c));
        if (ret != 0) { // the channels from this one on stay silent
            IIRDebug().evaluateError(ret, "when filtering channel " + std::to_string(c) + "\n");
            break;
        }
    }
    int ret = writeAudioFile("/tmp/paraEQ_X_FIR.wav", fs, R.matrix());
    if (ret != 0) return ret;

    ParaEQ eq;
    loadEqualiser(eq, fs);
    if (const std::string warning = eq.headroomWarning(fs, eq.getFileName()); !warning.empty())
        fprintf(stderr, "%s\n", warning.c_str());
    eq.genImpulseResponse(N);
    Eigen::MatrixXd h(N, 2);
    h.col(0) = eq.getImpulseResponse().matrix();
    h.col(1) = h.col(0);
    return writeAudioFile("/tmp/paraEQ0.wav", fs, h);
}
