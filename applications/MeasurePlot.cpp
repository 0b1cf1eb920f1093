#include "MeasurePlot.h"

#include "ToolSupport.h"

#include <SafeFile.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>

/// The responses (ms) and their magnitudes (dB on a log-frequency axis) as a PNG, through gnuplot.
bool plotResponses(const std::string& dir, const std::vector<int>& channels, const std::vector<Eigen::VectorXd>& h) {
    std::ostringstream data, spectra;
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
    // Written as new files renamed into place: a link planted in the folder is never followed.
    if (writeFileSafely(dir + "/impulses.dat", data.str()) < 0 ||
        writeFileSafely(dir + "/magnitudes.dat", spectra.str()) < 0)
        return false;
    const auto series = [&](const std::string& file) {
        std::string s = "plot ";
        for (size_t i = 0; i < channels.size(); ++i)
            s += (i ? ", '" : "'") + file + "' using 1:" + std::to_string(i + 2) + " with lines title 'channel " +
                 std::to_string(channels[i]) + "'";
        return s + "\n";
    };
    // gnuplot renders into a new file, renamed into place once it is complete.
    const auto script = [&](const std::string& output) {
        return "set terminal pngcairo size 1200,900 noenhanced\nset output '" + output +
               "'\nset multiplot layout 2,1\nset grid\n"
               "set title 'Impulse responses'\nset xlabel 'time (ms)'\nset ylabel 'amplitude'\n" +
               series(dir + "/impulses.dat") +
               "set title 'Magnitude responses'\nset logscale x\nset xrange [10:24000]\nset xlabel 'frequency (Hz)'\n"
               "set ylabel 'dB'\n" +
               series(dir + "/magnitudes.dat") + "unset multiplot\n";
    };
    return toolsupport::drawPicture(dir + "/impulses.png", script, dir + "/impulses.gp").empty();
}

bool plotDistortion(const std::string& dir, const std::vector<int>& channels,
                    const std::vector<std::vector<DistortionRow>>& rows) {
    // One block per channel (gnuplot's index), the invalid levels as NaN (not drawn).
    std::ostringstream data;
    for (const auto& channel : rows) {
        for (const DistortionRow& row : channel) {
            data << row.frequency << ' ' << 100.0 * row.thd;
            for (double level : row.level)
                data << ' ' << (std::isfinite(level) && level > 0.0 ? 20.0 * std::log10(level) : NAN);
            data << '\n';
        }
        data << "\n\n";
    }
    const std::string file = dir + "/distortion.dat";
    if (writeFileSafely(file, data.str()) < 0) return false;
    std::ostringstream script;
    script << "set multiplot layout 2,1\nset grid\nset key outside right top\nset logscale x\nset xrange [10:24000]\n"
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
    return toolsupport::drawPicture(
               dir + "/distortion.png",
               [&](const std::string& output) {
                   return "set terminal pngcairo size 1200,900 noenhanced\nset output '" + output + "'\n" +
                          script.str();
               },
               dir + "/distortion.gp")
        .empty();
}
