#ifndef MOBU_APPLICATIONS_TOOLSUPPORT_H
#define MOBU_APPLICATIONS_TOOLSUPPORT_H

#include <Eigen/Dense>

#include <functional>
#include <string>

/// What the design tools (mobu-correct, mobu-crossover) share: their option check and their files.
namespace toolsupport {

/// An option a tool knows: its name and whether it takes a value.
struct KnownOption {
    const char* name;
    bool value;
};

/// Every argument must be a known option given as --name or --name=value: "" or what is wrong.
std::string checkArguments(int argc, char* argv[], const KnownOption* begin, const KnownOption* end);

/// Writes the audio file (32-bit, with its scale reference) as new files renamed into place (the
/// reference first), so a running processor's file watch sees only the finished file.  "" or why not.
std::string replaceAudioFile(const std::string& path, double fs, const Eigen::MatrixXd& data);

/** The per-user measurement filter (~/.mobu/fir-measure.wav) replaced for one run: install()
 * sets the one there aside and writes the given filters in its place; restore() (or the
 * destructor, on every way out) removes them and puts the one set aside back. */
class MeasurementFilterSwap {
public:
    MeasurementFilterSwap() = default;
    MeasurementFilterSwap(const MeasurementFilterSwap&) = delete;
    MeasurementFilterSwap& operator=(const MeasurementFilterSwap&) = delete;
    ~MeasurementFilterSwap() { restore(); }
    /// "" or why not (nothing is changed then).
    std::string install(double fs, const Eigen::MatrixXd& coefficients);
    void restore();

private:
    std::string path, kept;
    bool had = false, installed = false;
};

/// Makes the folder unless it exists; "" when it is a folder of this user's (not a link), else why not.
std::string makeFolder(const std::string& path);

/// Runs gnuplot on a script (no shell: file names are never parsed); true when it succeeded.
bool runGnuplot(const std::string& script);

/** Draws a picture at `png` with gnuplot: `script` is given the name gnuplot must write to (a new
 * file beside `png`, renamed over it once gnuplot succeeded, so a link planted at `png` is never
 * followed); the script is kept as `scriptPath` (png.gp when empty).  "" or why not.  Paths
 * holding a quote or a line break are refused: gnuplot would read them as commands. */
std::string drawPicture(const std::string& png, const std::function<std::string(const std::string& output)>& script,
                        const std::string& scriptPath = "");

} // namespace toolsupport

#endif
