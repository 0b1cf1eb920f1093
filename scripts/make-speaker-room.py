#!/usr/bin/env python3
"""Writes a pair of 3-way loudspeakers for the virtual board, and their description.

    scripts/make-speaker-room.py ROOM.wav SPEAKERS.json [--held-out] [--print]

ROOM.wav has one response per output (8 channels at 48 kHz, 32-bit PCM, as the board's --room
reads them): even outputs the left loudspeaker, odd the right; 0/1 the woofers, 2/3 the mids,
6/7 the tweeters (4/5 drive nothing).  Each driver is an analog model (box high-pass, roll-off,
break-up or resonance) made digital by the bilinear transform, placed at its acoustic centre
(fractional delays, the drivers 0.1 ... 0.5 ms apart), the right loudspeaker 0.3 ms further
away than the left.  SPEAKERS.json is the loudspeaker description mobu-crossover reads.

--held-out writes a different loudspeaker (other drivers, other crossover frequencies and slopes),
for checks that the design was not tuned to the example.
"""
import json
import sys

import numpy as np
from scipy import signal

from mobuwav import write_int32

FS = 48000
LENGTH = 4096

EXAMPLE = {
    # role: sections (kind, Hz, Q or dB...), level (linear), acoustic centre (samples after the first)
    "woofer": dict(sections=[("hp2", 32, 0.7), ("lp2", 1800, 0.7), ("peak", 3500, 4.0, 9.0), ("lp2", 5000, 0.7)],
                   level=0.25, centre=19.6),
    "mid": dict(sections=[("hp2", 220, 0.8), ("peak", 1200, 1.5, 2.0), ("lp2", 9000, 0.7)], level=0.22, centre=7.3),
    "tweeter": dict(sections=[("hp4", 500, 0.0), ("hp2", 1000, 1.6), ("lp1", 25000, 0.0)], level=0.35, centre=0.0),
}
EXAMPLE_BANDS = {
    "woofer": {"high": {"frequency": 500, "slope": "LR24"}},
    "mid": {"low": {"frequency": 500, "slope": "LR24"}, "high": {"frequency": 3000, "slope": "LR24"}},
    "tweeter": {"low": {"frequency": 3000, "slope": "LR24"}},
}
EXAMPLE_PROTECTION = {"woofer": {"highpass": {"frequency": 20, "order": 2}},
                      "tweeter": {"highpass": {"frequency": 1200, "order": 2}}}

HELD_OUT = {
    "woofer": dict(sections=[("hp2", 40, 0.9), ("lp2", 1200, 0.8), ("peak", 2500, 5.0, 7.0), ("lp2", 4000, 0.7)],
                   level=0.3, centre=23.2),
    "mid": dict(sections=[("hp2", 180, 0.7), ("peak", 900, 2.0, -2.5), ("lp2", 7000, 0.8)], level=0.18, centre=11.8),
    "tweeter": dict(sections=[("hp4", 600, 0.0), ("hp2", 1400, 2.0), ("lp2", 22000, 0.7)], level=0.4, centre=2.1),
}
HELD_OUT_BANDS = {
    "woofer": {"high": {"frequency": 350, "slope": "LR48"}},
    "mid": {"low": {"frequency": 350, "slope": "LR48"}, "high": {"frequency": 2400, "slope": "linear", "order": 6}},
    "tweeter": {"low": {"frequency": 2400, "slope": "linear", "order": 6}},
}
HELD_OUT_PROTECTION = {"tweeter": {"highpass": {"frequency": 1000, "order": 3}}}

OUTPUTS = {"woofer": (0, 1), "mid": (2, 3), "tweeter": (6, 7)}


def analog(kind, f, a=0.0, b=0.0):
    """Numerator and denominator (in s) of one section."""
    w = 2 * np.pi * f
    if kind == "hp2":
        return [1, 0, 0], [1, w / a, w * w]
    if kind == "lp2":
        return [w * w], [1, w / a, w * w]
    if kind == "lp1":
        return [w], [1, w]
    if kind == "hp4":  # fourth-order Butterworth high-pass
        num, den = signal.butter(4, w, "highpass", analog=True)
        return list(num), list(den)
    if kind == "peak":  # a resonance of b dB, quality a
        g = 10 ** (b / 20)
        return [1, g * w / a, w * w], [1, w / a, w * w]
    raise ValueError(kind)


def driver(model, extra_delay):
    x = np.zeros(LENGTH)
    x[0] = 1.0
    for sec in model["sections"]:
        num, den = analog(*sec)
        bz, az = signal.bilinear(num, den, FS)
        x = signal.lfilter(bz, az, x)
    # The acoustic centre: a fractional delay in the frequency domain (the response has decayed
    # long before the end, so the circular shift wraps nothing).
    delay = 40.0 + model["centre"] + extra_delay
    n = 2 * LENGTH
    spectrum = np.fft.rfft(x, n) * np.exp(-2j * np.pi * np.arange(n // 2 + 1) * delay / n)
    return model["level"] * np.fft.irfft(spectrum, n)[:LENGTH]


def main(argv):
    args = [a for a in argv if not a.startswith("--")]
    if len(args) != 2 or any(a not in ("--held-out", "--print") for a in argv if a.startswith("--")):
        sys.exit("usage: make-speaker-room.py ROOM.wav SPEAKERS.json [--held-out] [--print]")
    held = "--held-out" in argv
    models, bands, protection = (HELD_OUT, HELD_OUT_BANDS, HELD_OUT_PROTECTION) if held else (
        EXAMPLE, EXAMPLE_BANDS, EXAMPLE_PROTECTION)
    room = np.zeros((LENGTH, 8))
    outputs = []
    for role, (left, right) in OUTPUTS.items():
        room[:, left] = driver(models[role], 0.0)
        room[:, right] = driver(models[role], 14.4)  # 0.3 ms further away
        for output, side in ((left, "left"), (right, "right")):
            entry = {"output": output, "loudspeaker": side, "role": role, "band": bands[role]}
            if role in protection:
                entry["protection"] = protection[role]
            outputs.append(entry)
    peak = np.abs(room).max()
    if peak > 0.9:
        sys.exit(f"make-speaker-room.py: the responses peak at {peak:.2f}: lower the levels")
    write_int32(args[0], room, FS)
    with open(args[1], "w") as f:
        json.dump({"outputs": sorted(outputs, key=lambda e: e["output"])}, f, indent=2)
        f.write("\n")
    if "--print" in argv:
        name = "held-out" if held else "example"
        for role in OUTPUTS:
            m = models[role]
            print(f"{name} {role}: outputs {OUTPUTS[role][0]}/{OUTPUTS[role][1]}, acoustic centre "
                  f"{m['centre'] / FS * 1000:.2f} ms behind the tweeter's, band {json.dumps(bands[role])}")


if __name__ == "__main__":
    main(sys.argv[1:])
