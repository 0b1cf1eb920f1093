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
import sys

from mobuwav import room_arguments, write_int32


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
    out, channels, _ = room_arguments(argv, "make-room.py", "room.wav", 8)
    responses = [room(c) for c in range(channels)]
    # 0.5 at the peak: x * 2^31 stays within the 32-bit range as the old writer's x * (2^31 - 1) did.
    write_int32(out, responses, 48000)
    print(f"{out}: {channels} channel(s), {len(responses[0])} samples at 48 kHz")


if __name__ == "__main__":
    main(sys.argv[1:])
