#ifndef MOBU_SIMULATOR_NOISESOURCE_H
#define MOBU_SIMULATOR_NOISESOURCE_H

#include <cmath>
#include <cstdint>

namespace mobuloop {

/** Gaussian white noise of a given RMS, from a fixed seed, so that a capture
 * run is repeatable.  splitmix64 gives the uniform numbers, the Box-Muller
 * transform two normal samples per pair. */
class NoiseSource {
public:
    NoiseSource(double rms = 0.0, uint64_t seed = 1) : rms(rms), seed(seed) { reset(); }

    /// Starts the sequence again from its first value.
    void reset() {
        state = seed;
        haveSpare = false;
    }

    double next() {
        if (haveSpare) {
            haveSpare = false;
            return spare;
        }
        // u1 in (0, 1] so that the logarithm is finite.
        const double u1 = (static_cast<double>(nextBits() >> 11) + 1.0) * 0x1.0p-53;
        const double u2 = static_cast<double>(nextBits() >> 11) * 0x1.0p-53;
        const double radius = rms * std::sqrt(-2.0 * std::log(u1));
        const double angle = 2.0 * M_PI * u2;
        spare = radius * std::sin(angle);
        haveSpare = true;
        return radius * std::cos(angle);
    }

private:
    uint64_t nextBits() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    double rms;
    uint64_t seed;
    uint64_t state = 0;
    bool haveSpare = false;
    double spare = 0.0;
};

} // namespace mobuloop

#endif
