#include "MeasurePlot.h"

#include <SafeFile.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>

namespace {

/// gnuplot on that script: true when it exited with status 0.
bool runGnuplot(const std::string& script) {
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        execlp("gnuplot", "gnuplot", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

/// The responses (ms) and their magnitudes (dB on a log-frequency axis) as a PNG, through gnuplot.
bool plotResponses(const std::string& dir, const std::vector<int>& channels, const std::vector<Eigen::VectorXd>& h) {
    std::ostringstream data, spectra, script;
    const Eigen::Index taps = h.empty() ? 0 : h[0].size();
    for (Eigen::Index n = 0; n < taps; ++n) {
        data << 1000.0 * n / 48000.0;
        for (const auto& col : h)
            data << ' ' << col(n);
        data << '\n';
    }
    // Magnitudes on 400 log-spaced frequencies from 10 Hz to 24 kHz (a direct DFT of each response).
    for (int i = 0; i < 400; ++i) {
        const double f = 10.0 * std::pow(2400.0, i / 399.0);
        spectra << f;
        for (const auto& col : h) {
            std::complex<double> sum = 0;
            for (Eigen::Index n = 0; n < col.size(); ++n)
                sum += col(n) * std::polar(1.0, -2.0 * M_PI * f * n / 48000.0);
            spectra << ' ' << 20.0 * std::log10(std::max(std::abs(sum), 1e-12));
        }
        spectra << '\n';
    }
    // gnuplot renders into a new file of ours, which is renamed into place once it is complete.
    SafeFile picture;
    if (picture.create(dir + "/impulses.png") < 0) return false;
    script << "set terminal pngcairo size 1200,900 noenhanced\n"
              "set output '"
           << picture.tempName()
           << "'\nset multiplot layout 2,1\nset grid\n"
              "set title 'Impulse responses'\nset xlabel 'time (ms)'\nset ylabel 'amplitude'\n";
    const auto series = [&](const std::string& file) {
        std::string s = "plot ";
        for (size_t i = 0; i < channels.size(); ++i)
            s += (i ? ", '" : "'") + file + "' using 1:" + std::to_string(i + 2) + " with lines title 'channel " +
                 std::to_string(channels[i]) + "'";
        return s + "\n";
    };
    script << series(dir + "/impulses.dat");
    script << "set title 'Magnitude responses'\nset logscale x\nset xrange [10:24000]\nset xlabel 'frequency (Hz)'\n"
              "set ylabel 'dB'\n"
           << series(dir + "/magnitudes.dat") << "unset multiplot\n";
    // Written as new files renamed into place: a link planted in the folder is never followed.
    if (writeFileSafely(dir + "/impulses.dat", data.str()) < 0 ||
        writeFileSafely(dir + "/magnitudes.dat", spectra.str()) < 0 ||
        writeFileSafely(dir + "/impulses.gp", script.str()) < 0)
        return false;
    return runGnuplot(dir + "/impulses.gp") && picture.commit() == 0;
}

bool plotDistortion(const std::string& dir, const std::vector<int>& channels,
                    const std::vector<std::vector<DistortionRow>>& rows) {
    // One block per channel (gnuplot's index), the invalid levels as NaN (not drawn).
    std::ostringstream data, script;
    for (const auto& channel : rows) {
        for (const DistortionRow& row : channel) {
            data << row.frequency << ' ' << 100.0 * row.thd;
            for (double level : row.level)
                data << ' ' << (std::isfinite(level) && level > 0.0 ? 20.0 * std::log10(level) : NAN);
            data << '\n';
        }
        data << "\n\n";
    }
    SafeFile picture;
    if (picture.create(dir + "/distortion.png") < 0) return false;
    const std::string file = dir + "/distortion.dat";
    script
        << "set terminal pngcairo size 1200,900 noenhanced\nset output '" << picture.tempName()
        << "'\nset multiplot layout 2,1\nset grid\nset key outside right top\nset logscale x\nset xrange [10:24000]\n"
           "set xlabel 'fundamental frequency (Hz)'\nset datafile missing 'nan'\n"
           "set title 'Total harmonic distortion (2nd to 5th)'\nset ylabel 'THD (%)'\nplot ";
    for (size_t i = 0; i < channels.size(); ++i)
        script << (i ? ", '" : "'") << file << "' index " << i << " using 1:2 with lines title 'channel " << channels[i]
               << "'";
    script << "\nset title 'Harmonics relative to the fundamental'\nset ylabel 'dB'\nplot ";
    for (size_t i = 0; i < channels.size(); ++i)
        for (int k = Harmonics::first; k <= Harmonics::last; ++k)
            script << (i || k > Harmonics::first ? ", '" : "'") << file << "' index " << i << " using 1:" << k + 1
                   << " with lines title 'channel " << channels[i] << " H" << k << "'";
    script << "\nunset multiplot\n";
    if (writeFileSafely(file, data.str()) < 0 || writeFileSafely(dir + "/distortion.gp", script.str()) < 0)
        return false;
    return runGnuplot(dir + "/distortion.gp") && picture.commit() == 0;
}
