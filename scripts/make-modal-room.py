#!/usr/bin/python3
"""Writes a room for the room-correction scenario of the virtual board: one impulse response per
loudspeaker channel with clear room modes and reflections.

    scripts/make-modal-room.py [OUT.wav] [--channels N] [--print] [--second-position]

Each channel (16000 samples at 48 kHz, 1/3 s) is a loudspeaker (a second-order high-pass at
45 Hz, a 4 dB presence peak at 2.5 kHz, a 6 dB treble shelf from 8 kHz) heard directly, 30 + 41 c
samples in (c being the channel), plus four room modes (42, 67, 96 and 131 Hz, Q 6 ... 9, decaying
from the direct sound on), three reflections (2.1, 4.7 and 9.3 ms later, -5 ... -12 dB) and a
faint decaying diffuse tail.  Channels differ in their distances, mode levels and reflections.
--second-position writes the same room heard from a microphone moved a little: the modes 4 %
higher and 1.5 dB weaker, the reflections 0.4 ms later.  The largest gain over all frequencies is 0.5, so full-scale chirps reach the microphone without
clipping.  Smoothed over 1/6 octave the response spans about +-10 dB between 30 Hz and 16 kHz
(--print prints each channel's span).  The file is 32-bit integer PCM; the same arguments
always give the same file.
"""
import sys

import numpy as np
from scipy import signal

from mobuwav import room_arguments, write_int32

RATE = 48000
LENGTH = 16000


def peaking(f0, gain_db, q):
    a = 10 ** (gain_db / 40)
    w = 2 * np.pi * f0 / RATE
    alpha = np.sin(w) / (2 * q)
    b = [1 + alpha * a, -2 * np.cos(w), 1 - alpha * a]
    d = [1 + alpha / a, -2 * np.cos(w), 1 - alpha / a]
    return np.array(b) / d[0], np.array(d) / d[0]


def high_shelf(f0, gain_db):
    a = 10 ** (gain_db / 40)
    w = 2 * np.pi * f0 / RATE
    alpha = np.sin(w) / 2 * np.sqrt(2)
    cw = np.cos(w)
    b = [a * ((a + 1) + (a - 1) * cw + 2 * np.sqrt(a) * alpha), -2 * a * ((a - 1) + (a + 1) * cw),
         a * ((a + 1) + (a - 1) * cw - 2 * np.sqrt(a) * alpha)]
    d = [(a + 1) - (a - 1) * cw + 2 * np.sqrt(a) * alpha, 2 * ((a - 1) - (a + 1) * cw),
         (a + 1) - (a - 1) * cw - 2 * np.sqrt(a) * alpha]
    return np.array(b) / d[0], np.array(d) / d[0]


def room(channel, moved=False):
    t = np.arange(LENGTH) / RATE
    direct = 30 + 41 * channel
    impulse = np.zeros(LENGTH)
    impulse[direct] = 1.0
    speaker = signal.lfilter(*signal.butter(2, 45 / (RATE / 2), "high"), impulse)
    speaker = signal.lfilter(*peaking(2500, 4, 1.5), speaker)
    speaker = signal.lfilter(*high_shelf(8000, -6), speaker)
    h = speaker.copy()
    for delay_ms, gain_db in ((2.1 + 0.3 * channel, -5), (4.7, -9 - channel), (9.3 - 0.4 * channel, -12)):
        shift = int(round((delay_ms + (0.4 if moved else 0.0)) * RATE / 1000))
        h[shift:] += 10 ** (gain_db / 20) * speaker[:LENGTH - shift]
    # Modes: resonances (pole pairs) that ring on after the sound, 6 ... 10 dB over their surroundings.
    for f, q, gain_db in ((42, 6, 10), (67, 8, 7 - channel), (96, 9, 6), (131, 7, 6 + 2 * channel)):
        h = signal.lfilter(*peaking(f * (1.04 if moved else 1.0), gain_db - (1.5 if moved else 0.0), q), h)
    rng = np.random.default_rng(2000 + channel)
    tail = rng.standard_normal(LENGTH) * np.exp(-(t - direct / RATE) / 0.04) * 0.004
    tail[:direct + 20] = 0
    h += tail
    h[-2000:] *= np.cos(np.linspace(0, np.pi / 2, 2000)) ** 2  # the file ends in silence
    return h


def smoothed_span(h):
    n = 1 << 18
    power = np.abs(np.fft.rfft(h, n)) ** 2
    f = np.arange(len(power)) * RATE / n
    grid = np.geomspace(30, 16000, 300)
    db = [10 * np.log10(power[(f >= g * 2 ** (-1 / 12)) & (f <= g * 2 ** (1 / 12))].mean()) for g in grid]
    level = np.mean([d for d, g in zip(db, grid) if 500 <= g <= 2000])
    return min(db) - level, max(db) - level


def main(argv):
    out, channels, given = room_arguments(argv, "make-modal-room.py", "modal-room.wav", 2, ("--print", "--second-position"))
    show = "--print" in given
    responses = np.stack([room(c, "--second-position" in given) for c in range(channels)], axis=1)
    largest = max(np.abs(np.fft.rfft(responses[:, c], 1 << 18)).max() for c in range(channels))
    responses *= 0.5 / largest
    write_int32(out, responses, RATE)
    print(f"{out}: {channels} channel(s), {LENGTH} samples at 48 kHz")
    if show:
        for c in range(channels):
            lo, hi = smoothed_span(responses[:, c])
            print(f"channel {c}: 1/6-octave smoothed response {lo:+.1f} ... {hi:+.1f} dB (30 Hz ... 16 kHz)")


if __name__ == "__main__":
    main(sys.argv[1:])
