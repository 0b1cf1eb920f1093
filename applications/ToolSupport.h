#ifndef MOBU_APPLICATIONS_TOOLSUPPORT_H
#define MOBU_APPLICATIONS_TOOLSUPPORT_H

#include <Eigen/Dense>

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

/// Runs gnuplot on a script (no shell: file names are never parsed); true when it succeeded.
bool runGnuplot(const std::string& script);

} // namespace toolsupport

#endif
