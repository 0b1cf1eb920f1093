#!/usr/bin/env bash
# The crossover scenario of the demonstration (scripts/demo.sh --crossover): on the virtual board in
# lock-step with a pair of 3-way loudspeakers (scripts/make-speaker-room.py: woofers on outputs 0/1,
# mids on 2/3, tweeters on 6/7), it measures every driver alone, designs the crossovers from those
# measurements (mobu-crossover), loads them into the running processor (which switches them in),
# and verifies them by measuring each driver and each loudspeaker with all its drivers at once
# through the filters.  It prints the table and the figures and leaves the pictures in the folder.
#
#   scripts/demo-crossover.sh [DIR]     work in DIR (default: a new /tmp/mobu-crossover.XXXXXX)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MOBU_BUILD:-$root/build}"
py=/usr/bin/python3 # Debian's, with numpy and scipy
work="${1:-$(mktemp -d /tmp/mobu-crossover.XXXXXX)}"
mkdir -p "$work/home/.mobu"
work="$(cd "$work" && pwd)"
rm -rf "$work/measurement"
rm -f "$work"/{filters.wav,filters.wav.scale,processor.log,design.png,verify.png,room-fir.wav,eq.json,eq-0.json,eq-1.json} "$work/home/.mobu/guard.json"

pids=()
shms=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for s in "${shms[@]}"; do rm -f /dev/shm/"$s" /dev/shm/"$s"-programme; done
}
trap cleanup EXIT

source "$root/scripts/board-lib.sh"
scratch_home "$work" "$work/home"
wait_for() { # wait_for FILE TEXT SECONDS
    for _ in $(seq $((10 * $3))); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

SECONDS=0
echo "== The loudspeakers: a 3-way pair (woofer, mid, tweeter), and their description"
"$py" "$root/scripts/make-speaker-room.py" "$work/room.wav" "$work/home/.mobu/loudspeakers.json" --print
"$build/simulator/mobu-board-config" "$work/board" --mode lockstep --room "$work/room.wav" --noise-db -100 >/dev/null
cfg="$work/board/asound.conf"
shms+=("$(loop_shm "$cfg")")

echo "== Measuring every driver alone (mobu-measure, 16384 taps, aligned; the tweeters band-limited from 400 Hz)"
ALSA_CONFIG_PATH="$cfg" env "${home_env[@]}" "$build/applications/mobu-measure" \
    --playback=board_playback --capture=board_capture --channels=0,1,2,3,6,7 --taps=16384 --align \
    --out="$work/measurement" --status="$work/status.json" | grep -E '^channel|^picture'

echo "== Starting mobu-processor with silent filters"
"$py" -c "
import sys, numpy as np
sys.path.insert(0, '$root/scripts')
from mobuwav import write_int32
write_int32(sys.argv[1], np.zeros((1024, 8)), 48000)" "$work/filters.wav"
cat >"$work/processor.conf" <<CONF
MobuFullDuplexFIR {
    filter "$work/filters.wav"
    paraeq "paraEQ0.json"
    mixerDevice "board"
    fifopath "$work/levels"
}
CONF
ALSA_CONFIG_PATH="$cfg" env "${home_env[@]}" "$build/applications/mobu-processor" \
    --config="$work/processor.conf" --verbose >/dev/null 2>"$work/processor.log" &
processor=$!
pids+=("$processor")
wait_for "$work/processor.log" "first pass resizing exit" 20 || { echo "the processor did not start" >&2; exit 1; }
"$py" "$root/scripts/correct-demo.py" noise |
    ALSA_CONFIG_PATH="$cfg" aplay -q -t raw -f S32_LE -c 2 -r 48000 -D board_programme 2>/dev/null &
pids+=($!)

echo "== Designing the crossovers into the processor's coefficient file and the guard (mobu-crossover)"
env "${home_env[@]}" "$build/applications/mobu-crossover" --in="$work/measurement" --out="$work/filters.wav" \
    --plot="$work/design.png"
if wait_for "$work/processor.log" "switching FIR filter over" 20; then
    echo "processor: $(grep -m1 'switching FIR filter over' "$work/processor.log" | sed 's/^.*FullDuplexFIR/FullDuplexFIR/')"
else
    echo "the processor did not switch to the new filters: see $work/processor.log" >&2
    exit 1
fi
kill -INT "$processor"
wait "$processor" || true
kill "${pids[-1]}" 2>/dev/null || true

echo "== Verifying: every driver alone, then each loudspeaker with all its drivers, through the filters"
ALSA_CONFIG_PATH="$cfg" env "${home_env[@]}" "$build/applications/mobu-crossover" --verify \
    --in="$work/measurement" --filter="$work/filters.wav" --playback=board_playback --capture=board_capture \
    --plot="$work/verify.png"

echo "== Room correction on top: each summed loudspeaker corrected as a whole, as equaliser sections its input"
echo "   equaliser applies to every driver of that loudspeaker alike (mobu-correct on the verified sums)"
"$build/applications/mobu-correct" --in="$work/measurement/verify/loudspeakers" --out="$work/room-fir.wav" \
    --eq="$work/eq.json" | grep -E '^designed|^equaliser'

echo
echo "Pictures: $work/design.png (the design), $work/verify.png (recorded through the filters)"
echo "Measurement: $work/measurement; coefficients: $work/filters.wav; guard: $work/home/.mobu/guard.json"
echo "The scenario took ${SECONDS} s"
