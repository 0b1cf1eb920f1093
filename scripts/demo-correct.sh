#!/usr/bin/env bash
# The room-correction scenario of the demonstration (scripts/demo.sh --correct): on the virtual
# board in lock-step with a room of clear modes and reflections (scripts/modal-room.wav, written by
# scripts/make-modal-room.py), it measures two loudspeakers at two microphone positions (the board
# switched to the room heard from the second), designs their correction from both, loads it into
# the running processor (which switches it in), verifies it at both positions by measuring again
# through it, and checks that the processor's output is the programme convolved with the file.  It
# prints the before/after figures and leaves the pictures in the folder.
#
#   scripts/demo-correct.sh [DIR]     work in DIR (default: a new /tmp/mobu-correct.XXXXXX)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MOBU_BUILD:-$root/build}"
py=/usr/bin/python3 # Debian's, with numpy and scipy
work="${1:-$(mktemp -d /tmp/mobu-correct.XXXXXX)}"
mkdir -p "$work/home/.mobu"
work="$(cd "$work" && pwd)"
rm -rf "$work/measurement"
rm -f "$work"/{filters.wav,filters.wav.scale,processor.log,output.wav,design.png,verify.png,verify-2.png,eq.json,eq-0.json,eq-1.json}

pids=()
shms=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for s in "${shms[@]}"; do rm -f /dev/shm/"$s" /dev/shm/"$s"-programme; done
}
trap cleanup EXIT

# A scratch home (~/.mobu for the measurement filter), found through the password database.
source "$root/scripts/board-lib.sh"
scratch_home "$work" "$work/home"

board() { # board DIR OPTIONS...: a lock-step board; its configuration in $cfg
    local dir="$1"
    shift
    "$build/simulator/mobu-board-config" "$dir" --mode lockstep "$@" >/dev/null
    cfg="$dir/asound.conf"
    shms+=("$(loop_shm "$cfg")")
}
processor_conf() {
    cat >"$work/processor.conf" <<CONF
MobuFullDuplexFIR {
    filter "$work/filters.wav"
    paraeq "paraEQ0.json"
    mixerDevice "board"
    fifopath "$work/levels"
}
CONF
}
wait_for() { # wait_for FILE TEXT SECONDS
    for _ in $(seq $((10 * $3))); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

SECONDS=0
echo "== The room: two loudspeakers, 41 samples apart, with modes and reflections"
"$py" "$root/scripts/make-modal-room.py" "$work/room.wav" --print
board "$work/board-room" --room "$work/room.wav" --noise-db -90
room_cfg="$cfg"
echo "== The same room from a second microphone position (modes 4 % higher, reflections 0.4 ms later)"
"$py" "$root/scripts/make-modal-room.py" "$work/room-2.wav" --second-position
board "$work/board-room-2" --room "$work/room-2.wav" --noise-db -90
room2_cfg="$cfg"

for position in 1 2; do
    echo "== Measuring channels 0 and 1 at position $position (mobu-measure, 16384 taps, aligned)"
    config="$room_cfg"
    [ "$position" = 2 ] && config="$room2_cfg"
    ALSA_CONFIG_PATH="$config" env "${home_env[@]}" "$build/applications/mobu-measure" \
        --playback=board_playback --capture=board_capture --channels=0,1 --taps=16384 --align \
        --out="$work/measurement" --position="$position" --status="$work/status.json" | grep -E '^channel|^picture'
done

echo "== Starting mobu-processor with filters that change nothing (-6 dB)"
"$py" "$root/scripts/correct-demo.py" flat "$work/filters.wav"
processor_conf
ALSA_CONFIG_PATH="$room_cfg" env "${home_env[@]}" "$build/applications/mobu-processor" \
    --config="$work/processor.conf" --verbose >/dev/null 2>"$work/processor.log" &
processor=$!
pids+=("$processor")
wait_for "$work/processor.log" "first pass resizing exit" 20 || { echo "the processor did not start" >&2; exit 1; }
"$py" "$root/scripts/correct-demo.py" noise |
    ALSA_CONFIG_PATH="$room_cfg" aplay -q -t raw -f S32_LE -c 2 -r 48000 -D board_programme 2>/dev/null &
pids+=($!)

echo "== Designing the correction from both positions into the processor's coefficient file (mobu-correct)"
"$build/applications/mobu-correct" --in="$work/measurement" --out="$work/filters.wav" --align \
    --plot="$work/design.png" --eq="$work/eq.json"
if wait_for "$work/processor.log" "switching FIR filter over" 20; then
    echo "processor: $(grep -m1 'closeWrite file just closed' "$work/processor.log" | sed 's/^.*FullDuplexFIR/FullDuplexFIR/')"
    echo "processor: $(grep -m1 'switching FIR filter over' "$work/processor.log" | sed 's/^.*FullDuplexFIR/FullDuplexFIR/')"
else
    echo "the processor did not switch to the new filters: see $work/processor.log" >&2
    exit 1
fi
kill -INT "$processor"
wait "$processor" || true
kill "${pids[-1]}" 2>/dev/null || true

echo "== Verifying at the main position: measuring again through the correction (~/.mobu/fir-measure.wav)"
ALSA_CONFIG_PATH="$room_cfg" env "${home_env[@]}" "$build/applications/mobu-correct" --verify \
    --in="$work/measurement" --filter="$work/filters.wav" --playback=board_playback --capture=board_capture \
    --plot="$work/verify.png"

echo "== Verifying at the second position (the same correction heard from the moved microphone)"
ALSA_CONFIG_PATH="$room2_cfg" env "${home_env[@]}" "$build/applications/mobu-correct" --verify \
    --in="$work/measurement/pos-2" --filter="$work/filters.wav" --playback=board_playback --capture=board_capture \
    --plot="$work/verify-2.png"

echo "== The processor runs the file exactly: its eight outputs against the programme convolved with it"
board "$work/board-exact" --capture-channels 8
exact_cfg="$cfg"
"$py" "$root/scripts/correct-demo.py" programme "$work/programme.wav"
ALSA_CONFIG_PATH="$exact_cfg" env "${home_env[@]}" "$build/applications/mobu-processor" \
    --config="$work/processor.conf" --verbose >/dev/null 2>"$work/processor-exact.log" &
processor=$!
pids+=("$processor")
ALSA_CONFIG_PATH="$exact_cfg" arecord -q -D board_capture -f S32_LE -c 8 -r 48000 --period-size=480 -s 120000 \
    "$work/output.wav" &
recorder=$!
pids+=("$recorder")
# The programme once the processor's capture runs (the lock-step ring holds the last 49152 frames of a
# playback nobody captures yet, less than the programme): the processor starts its playback, four
# silent blocks, right after its capture, so the first data the recorder writes says so.
for _ in $(seq 200); do
    [ "$(stat -c %s "$work/output.wav" 2>/dev/null || echo 0)" -gt 44 ] && break
    sleep 0.1
done
[ "$(stat -c %s "$work/output.wav" 2>/dev/null || echo 0)" -gt 44 ] || { echo "the processor did not start" >&2; exit 1; }
ALSA_CONFIG_PATH="$exact_cfg" aplay -q -D board_programme "$work/programme.wav"
wait "$recorder"
kill -INT "$processor"
wait "$processor" || true
"$py" "$root/scripts/correct-demo.py" exact "$work"

echo
echo "Pictures: $work/design.png (the design), $work/verify.png and $work/verify-2.png (before and after at"
echo "the two positions)"
echo "Measurement: $work/measurement; coefficients: $work/filters.wav; equaliser: $work/eq.json"
echo "The scenario took ${SECONDS} s"
