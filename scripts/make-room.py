#!/usr/bin/env python3
"""Writes an example room for the virtual board: one impulse response per playback channel.

    scripts/make-room.py [OUT.wav] [--channels N]

Each channel's response (1200 samples at 48 kHz, 25 ms) is a direct sound 30 + 7 c samples
in (c being the channel), two reflections and a decaying noise tail, peaking at 0.5, so that
the chirps reach the microphone without clipping.  The file is 32-bit integer PCM, readable
by the board's --room and by any audio tool.  Only the standard library is used; the same
arguments always give the same file.
"""
import math
import random
import struct
import sys
import wave


def room(channel, length=1200):
    h = [0.0] * length
    direct = 30 + 7 * channel
    h[direct] = 0.5
    h[direct + 90 + 11 * channel] = -0.2
    h[direct + 230 + 5 * channel] = 0.1
    rng = random.Random(1000 + channel)
    for t in range(direct + 10, length):
        h[t] += 0.02 * math.exp(-(t - direct - 10) / 120.0) * (rng.random() - 0.5)
    return h


def main(argv):
    out, channels = "room.wav", 8
    args = list(argv)
    while args:
        a = args.pop(0)
        if a.startswith("--channels"):
            value = a.split("=", 1)[1] if "=" in a else (args.pop(0) if args else "")
            if not value.isdigit() or not 1 <= int(value) <= 8:
                sys.exit("make-room.py: --channels needs 1 ... 8")
            channels = int(value)
        elif a.startswith("-"):
            sys.exit("usage: make-room.py [OUT.wav] [--channels N]")
        else:
            out = a
    responses = [room(c) for c in range(channels)]
    frames = bytearray()
    for n in range(len(responses[0])):
        for h in responses:
            frames += struct.pack("<i", int(round(h[n] * 2147483647)))
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(4)
        w.setframerate(48000)
        w.writeframes(bytes(frames))
    print(f"{out}: {channels} channel(s), {len(responses[0])} samples at 48 kHz")


if __name__ == "__main__":
    main(sys.argv[1:])
