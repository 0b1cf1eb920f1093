"""32-bit integer PCM files and the common arguments of the scripts that write rooms and signals.

Only the standard library is needed; a numpy array is written with numpy's own conversion.
"""
import os
import struct
import sys
import wave

FULL_SCALE = 2.0**31


def write_int32(path, data, rate):
    """Writes data (frames x channels: a 2-D numpy array, or a list of channel lists) as 32-bit
    integer samples, x * 2^31 rounded and saturated to the 32-bit range.  The file is written
    beside path and renamed into place, so a reader never sees half a file."""
    if hasattr(data, "tobytes"):
        import numpy as np

        channels = data.shape[1]
        ints = np.clip(np.round(data * FULL_SCALE), -FULL_SCALE, FULL_SCALE - 1).astype("<i4").tobytes()
    else:
        channels = len(data)
        step = lambda x: int(max(-FULL_SCALE, min(FULL_SCALE - 1, round(x * FULL_SCALE))))
        ints = b"".join(struct.pack(f"<{channels}i", *(step(c[n]) for c in data)) for n in range(len(data[0])))
    tmp = f"{path}.{os.getpid()}.new.wav"
    try:
        with wave.open(tmp, "wb") as w:
            w.setnchannels(channels)
            w.setsampwidth(4)
            w.setframerate(rate)
            w.writeframes(ints)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def room_arguments(argv, prog, out, channels, flags=()):
    """[OUT.wav] [--channels N] [flags...]: returns (out, channels, set of the flags given); exits
    with the usage line on anything else."""
    usage = f"usage: {prog} [OUT.wav] [--channels N]" + "".join(f" [{f}]" for f in flags)
    given = set()
    args = list(argv)
    while args:
        a = args.pop(0)
        if a.startswith("--channels"):
            value = a.split("=", 1)[1] if "=" in a else (args.pop(0) if args else "")
            if not value.isdigit() or not 1 <= int(value) <= 8:
                sys.exit(f"{prog}: --channels needs 1 ... 8")
            channels = int(value)
        elif a in flags:
            given.add(a)
        elif a.startswith("-"):
            sys.exit(usage)
        else:
            out = a
    return out, channels, given
