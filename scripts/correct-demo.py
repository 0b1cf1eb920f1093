#!/usr/bin/python3
"""Helpers of the room-correction scenario (scripts/demo.sh --correct).

  correct-demo.py flat FILE          writes eight 65536-tap unit impulses (filters that change nothing)
  correct-demo.py noise              endless stereo noise at -20 dBFS, raw S32_LE on standard output
  correct-demo.py programme FILE     two seconds of stereo noise at -20 dBFS, then half a second of silence
  correct-demo.py exact DIR          compares DIR/output.wav (the processor's eight outputs) with the
                                     programme convolved with DIR/filters.wav, read as any reader does
                                     (samples times the factor of its .scale reference); prints the
                                     largest difference in 32-bit steps; status 1 when above 2
"""
import os
import sys

import numpy as np

from mobuwav import FULL_SCALE, write_int32

RATE = 48000


def write_wav(path, data):
    write_int32(path, data, RATE)


def read_wav(path):
    import scipy.io.wavfile

    rate, data = scipy.io.wavfile.read(path)
    data = data.astype(np.float64) / FULL_SCALE
    if data.ndim == 1:
        data = data[:, None]
    try:
        with open(path + ".scale") as f:
            data *= float(f.read().split()[0])
    except OSError:
        pass
    return data


def main(argv):
    if len(argv) == 3 and argv[1] == "flat":
        h = np.zeros((65536, 8))
        h[0, :] = 0.5  # -6 dB, so the switch to the correction is heard as a change
        write_wav(argv[2], h)
    elif len(argv) == 2 and argv[1] == "noise":
        rng = np.random.default_rng(5)
        out = sys.stdout.buffer
        try:
            while True:
                block = rng.standard_normal((4800, 2)) * 0.1
                out.write(np.round(block * FULL_SCALE).astype("<i4").tobytes())
        except (BrokenPipeError, KeyboardInterrupt):
            return 0
    elif len(argv) == 3 and argv[1] == "programme":
        rng = np.random.default_rng(6)
        x = np.concatenate([rng.standard_normal((2 * RATE, 2)) * 0.1, np.zeros((RATE // 2, 2))])
        write_wav(argv[2], np.clip(x, -0.99, 0.99))
    elif len(argv) == 3 and argv[1] == "exact":
        d = argv[2]
        x = read_wav(os.path.join(d, "programme.wav"))
        h = read_wav(os.path.join(d, "filters.wav"))
        y = read_wav(os.path.join(d, "output.wav"))
        from scipy.signal import fftconvolve

        want = [fftconvolve(x[:, m % 2], h[:, m])[: len(x)] for m in range(8)]
        # The outputs come a fixed number of frames late (the loop's pre-fill): find it on output 0.
        n = min(len(y), len(x))
        from scipy.signal import correlate

        lag = int(np.argmax(correlate(y[:n, 0], want[0][: n // 2], "valid", method="fft")))
        start = 20 * 480  # past the start-up's switch sequence
        worst = 0.0
        for m in range(8):
            got = y[lag + start: lag + len(x), m]
            ref = want[m][start: start + len(got)]
            worst = max(worst, np.abs(got - ref).max() * FULL_SCALE)
        frames = len(x) - start
        print(f"processor output against the programme convolved with the file: {frames} frames x 8 outputs "
              f"(after a loop delay of {lag} frames), largest difference {worst:.2f} steps of 2^-31")
        return 0 if worst <= 2.0 else 1
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
