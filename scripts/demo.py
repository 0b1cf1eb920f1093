#!/usr/bin/python3
"""Helpers of the demonstration run (scripts/demo.sh).

  demo.py signals DIR          writes the programme, two coefficient sets and two equalisers
  demo.py meter FIFO OUT       reads metering records until the FIFO closes, one line each
  demo.py stamp OUT            copies standard input to OUT, each line with the time it came
  demo.py report DIR           prints what happened and plots the levels (DIR/levels.png)

Times are wall-clock seconds (time.time()), the same clock as `date +%s.%N` in the
shell script, so the script's actions, the log and the meter share one time axis.
"""
import json
import math
import os
import struct
import sys
import time
import wave

from mobuwav import FULL_SCALE, write_int32

RATE = 48000
OUTPUTS = 8
TAPS = 65536
RECORD = struct.Struct("=14i")  # header 0 1 2 3, inputs 0 1, outputs 0 ... 7
FLOOR_DB = -100.0  # where silence is drawn


def write_wav(path, columns):
    """Writes 32-bit integer samples (columns: one list/array per channel, values in [-1, 1))."""
    import numpy as np

    write_int32(path, np.stack(columns, axis=1), RATE)


def signals(directory):
    import numpy as np

    seconds = 30  # longer than the run: the player is stopped with the processor
    t = np.arange(seconds * RATE) / RATE
    # Two steady tones at -6 dBFS: each 10 ms period holds whole cycles, so its peak is steady.
    write_wav(os.path.join(directory, "programme.wav"),
              [0.5 * np.sin(2 * np.pi * 200 * t), 0.5 * np.sin(2 * np.pi * 1000 * t)])

    # Coefficient sets: output c is input c mod 2 through a delayed impulse of a
    # level of its own (set A steps down 2 dB per output, set B steps up), followed
    # by a quiet decaying tail, 65536 taps long.
    rng = np.random.default_rng(1)
    tail = rng.standard_normal(TAPS) * np.exp(-np.arange(TAPS) / 4000.0) * 1e-4
    for name, level_db in (("filters-a.wav", lambda c: -2.0 * c), ("filters-b.wav", lambda c: -14.0 + 2.0 * c)):
        columns = []
        for c in range(OUTPUTS):
            h = tail.copy()
            h[0:2] = 0.0
            h[10 * c] = 10 ** (level_db(c) / 20)
            columns.append(h)
        write_wav(os.path.join(directory, name), columns)

    # Equalisers: none, then a 6 dB cut on the left tone.
    with open(os.path.join(directory, "eq-flat.json"), "w") as f:
        f.write("[]\n")
    with open(os.path.join(directory, "eq-cut.json"), "w") as f:
        json.dump([{"type": "BPF", "Fc": 200, "dB": -6, "Q": 2}], f)
        f.write("\n")


def meter(fifo, out):
    # Opening blocks until the processor opens its end; records come once per period.
    # A processor started again after an over/under-run opens the FIFO again: so does
    # this reader, until it is stopped.
    with open(out, "w") as o:
        while True:
            with open(fifo, "rb", buffering=0) as f:
                pending = b""
                while True:
                    chunk = f.read(RECORD.size - len(pending))
                    if not chunk:
                        break
                    pending += chunk
                    if len(pending) == RECORD.size:
                        words = RECORD.unpack(pending)
                        pending = b""
                        o.write("%.6f %s\n" % (time.time(), " ".join(str(w) for w in words)))
                        o.flush()


def stamp(out):
    with open(out, "w") as o:
        for line in sys.stdin:
            o.write("%.6f %s" % (time.time(), line))
            o.flush()


def db(peak):
    return 20 * math.log10(peak / FULL_SCALE) if peak > 0 else FLOOR_DB


def recorded_zooms(directory):
    """Sample-exact views of the recorded output: the filter switch on out6 (from the left
    tone) and the gain ramp on out3.  Returns (title, data file, channel) for each found."""
    path = os.path.join(directory, "output.wav")
    try:
        import numpy as np

        with wave.open(path) as w:
            if w.getnchannels() != OUTPUTS or w.getsampwidth() != 4:
                return []
            y = np.frombuffer(w.readframes(w.getnframes()), "<i4").reshape(-1, OUTPUTS) / FULL_SCALE
    except (OSError, EOFError, wave.Error, ImportError):
        return []
    period = RATE // 100
    zooms = []
    # Runs of at least one period where every output is exactly zero: the switches' silence.
    silent = np.all(y == 0, axis=1)
    edges = np.flatnonzero(np.diff(silent.astype(np.int8))) + 1
    gaps = [(a, b) for a, b in zip(edges[:-1], edges[1:]) if silent[a] and b - a >= period]
    if len(gaps) >= 2:  # the second is the coefficient file's switch (the first the equaliser's)
        a, b = gaps[1]
        zooms.append(("Filter switch: fade-out, two silent periods, fade-in", 6, a - 2 * period, b + 2 * period))
    # The gain change: the first period of out3 after the filter switch whose peak falls by 3 dB.
    if gaps:
        first = gaps[-1][1] if len(gaps) < 2 else gaps[1][1]
        peaks = [np.abs(y[i:i + period, 3]).max() for i in range(first, len(y) - period, period)]
        for k in range(1, len(peaks)):
            if 0 < peaks[k] < peaks[k - 1] / 10 ** (3 / 20):
                at = first + k * period
                zooms.append(("Gain 3 to -9 dB: a ramp over one period", 3, at - 2 * period, at + 2 * period))
                break
    result = []
    for n, (title, channel, a, b) in enumerate(zooms):
        a, b = max(a, 0), min(b, len(y))
        data = os.path.join(directory, "zoom%d.dat" % n)
        with open(data, "w") as f:
            for i in range(a, b):
                f.write("%.4f %.6f\n" % ((i - a) * 1000.0 / RATE, y[i, channel]))
        result.append((title, data, channel))
    return result


def report(directory):
    records = []
    with open(os.path.join(directory, "meter.txt")) as f:
        for line in f:
            fields = line.split()
            if len(fields) == 15:
                records.append((float(fields[0]), [int(w) for w in fields[1:]]))
    events = []
    with open(os.path.join(directory, "events.txt")) as f:
        for line in f:
            when, what = line.rstrip("\n").split(" ", 1)
            events.append((float(when), what))
    log = []
    with open(os.path.join(directory, "processor.log")) as f:
        for line in f:
            when, what = line.rstrip("\n").split(" ", 1)
            log.append((float(when), what))
    if not records:
        print("no metering record was read: see %s" % os.path.join(directory, "processor.log"))
        return 1
    t0 = records[0][0]

    print("\nWhat the demonstration did (seconds from the first metering record):")
    for when, what in events:
        print("  %6.2f  %s" % (when - t0, what))

    keys = ("switching FIR filter over", "switching paraEQs over", "Preparing the switching for the new gains",
            "Processing shutdown signal", "XRUN", "starting the processor again", "exiting")
    print("\nThe processor's log at those moments:")
    shown = [(when, what.replace("mobu-processor: ", "")) for when, what in log if any(k in what for k in keys)]
    i = 0
    while i < len(shown):  # a line repeated period after period is shown once, with its count
        j = i
        while j + 1 < len(shown) and shown[j + 1][1] == shown[i][1] and shown[j + 1][0] - shown[j][0] < 0.1:
            j += 1
        print("  %6.2f  %s%s" % (shown[i][0] - t0, shown[i][1], " (%d periods)" % (j - i + 1) if j > i else ""))
        i = j + 1

    bad = [r for _, r in records if list(r[:4]) != [0, 1, 2, 3]]
    print("\nMetering: %d records, %d with a wrong header." % (len(records), len(bad)))

    # Switches as the meter saw them: periods where every output was silent while an input played.
    print("\nSwitch sequences seen on the outputs (10 ms periods):")
    runs, start = [], None
    for i, (_, r) in enumerate(records):
        silent = max(r[6:]) == 0 and max(r[4:6]) > 0
        if silent and start is None:
            start = i
        if not silent and start is not None:
            runs.append((start, i - start))
            start = None
    if start is not None:
        runs.append((start, len(records) - start))
    for first, count in runs:
        ending = first + count == len(records)
        when = records[first][0]
        cause = [what for t, what in events if t <= when and "starts" not in what and "running" not in what]
        cause = "after: " + cause[-1] if cause else "the equaliser file put in force at the start"
        if ending:
            print("  %6.2f  fade-out, silent until the end of the run (%d silent period%s metered)   (%s)" %
                  (when - t0, count, "" if count == 1 else "s", cause))
        else:
            print("  %6.2f  fade-out, %d silent period%s, fade-in   (%s)" %
                  (when - t0, count, "" if count == 1 else "s", cause))
    if not runs:
        print("  none")

    print("\nOutput peak levels in dBFS (largest over each half second; %d = silent):" % FLOOR_DB)
    print("  time  " + " ".join("  out%d" % c for c in range(OUTPUTS)))
    slot, peaks = None, None
    rows = []
    for when, r in records:
        s = int((when - t0) / 0.5)
        if s != slot:
            if peaks is not None:
                rows.append((slot, peaks))
            slot, peaks = s, [0] * OUTPUTS
        peaks = [max(a, b) for a, b in zip(peaks, r[6:])]
    rows.append((slot, peaks))
    for s, p in rows:
        print("  %4.1f  " % (s * 0.5) + " ".join("%6.1f" % db(v) for v in p))

    data = os.path.join(directory, "levels.dat")
    with open(data, "w") as f:
        for when, r in records:
            f.write("%.4f %s\n" % (when - t0, " ".join("%.2f" % db(v) for v in r[6:])))
    zooms = recorded_zooms(directory)
    end = records[-1][0] - t0
    with open(os.path.join(directory, "levels.gp"), "w") as f:
        f.write('set terminal pngcairo size 1400,%d font ",10"\n' % (1000 if zooms else 700))
        f.write('set output "%s"\n' % os.path.join(directory, "levels.png"))
        if zooms:
            f.write("set multiplot\nset size 1,0.62\nset origin 0,0.38\n")
        f.write('set title "Output peak levels per 10 ms period from the metering FIFO'
                ' (silent periods drop below the bottom edge)"\n')
        f.write('set xlabel "seconds"\nset ylabel "dBFS"\nset xrange [0:%.2f]\nset yrange [-50:0]\n' % end)
        f.write("set grid\nset key outside right\n")
        for i, (when, what) in enumerate(events):
            x = when - t0
            f.write("set arrow from %.4f, graph 0 to %.4f, graph 1 nohead dt 2 lc rgb 'gray40'\n" % (x, x))
            f.write('set label %d "%s" at %.4f, graph 0.03 rotate by 90 left font ",8"\n' %
                    (i + 1, what.replace('"', "'"), x - 0.03))
        f.write("plot " + ", ".join('"%s" using 1:%d with lines lw 1.5 title "out%d"' % (data, c + 2, c)
                                    for c in range(OUTPUTS)) + "\n")
        f.write("unset arrow\nunset label\nset key inside top right\nset xrange [*:*]\n")
        f.write('set xlabel "milliseconds"\nset ylabel "full scale"\nset yrange [*:*]\n')
        for k, (title, path, channel) in enumerate(zooms):
            f.write("set size 0.5,0.38\nset origin %.1f,0\n" % (0.5 * k))
            f.write('set title "%s (recorded output)"\n' % title)
            f.write('plot "%s" using 1:2 with lines lc rgb "#0060c0" title "out%d"\n' % (path, channel))
        if zooms:
            f.write("unset multiplot\n")
    return 0


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    command = argv[1]
    if command == "signals":
        signals(argv[2])
    elif command == "meter" and len(argv) == 4:
        meter(argv[2], argv[3])
    elif command == "stamp":
        stamp(argv[2])
    elif command == "report":
        return report(argv[2])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
