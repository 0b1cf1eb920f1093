#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job on the virtual board:
# the processor plays a stereo programme through two equalisers and eight
# 65536-tap filters to the board's eight outputs while the equaliser file, the
# coefficient file and the mixer gains are changed under it; then it is stopped
# with SIGINT and the run is reported: the actions, the processor's log lines,
# the switch sequences and the output levels the metering FIFO gave, a plot of
# the levels and the recorded output.
#
#   scripts/demo.sh [DIR]     work in DIR (default: a new /tmp/mobu-demo.XXXXXX)
#   scripts/demo.sh --correct [DIR]
#                             the room-correction scenario instead (scripts/demo-correct.sh):
#                             measure, correct, load into the running processor, verify
#   scripts/demo.sh --crossover [DIR]
#                             the crossover scenario (scripts/demo-crossover.sh): measure the drivers
#                             of a 3-way pair, design the crossovers, load, verify the summed loudspeakers
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" >/dev/null
build="$root/build"
if [ "${1:-}" = "--correct" ]; then
    shift
    exec "$root/scripts/demo-correct.sh" "$@"
fi
if [ "${1:-}" = "--crossover" ]; then
    shift
    exec "$root/scripts/demo-crossover.sh" "$@"
fi
py=/usr/bin/python3 # Debian's, with numpy
work="${1:-$(mktemp -d /tmp/mobu-demo.XXXXXX)}"
mkdir -p "$work/home/.mobu"
work="$(cd "$work" && pwd)"
rm -f "$work"/{events.txt,meter.txt,processor.log,output.wav,levels.png,levels,log.pipe}
event() { echo "$(date +%s.%N) $*" >>"$work/events.txt"; }

pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -z "${LOOP_SHM:-}" ] || rm -f /dev/shm/"$LOOP_SHM" /dev/shm/"$LOOP_SHM"-programme
}
trap cleanup EXIT

echo "== Writing the programme, the filters and the equalisers into $work"
"$py" "$root/scripts/demo.py" signals "$work"
cp "$work/filters-a.wav" "$work/filters.wav"
cp "$work/eq-flat.json" "$work/home/.mobu/paraEQ0.json"

# A scratch home for the processor (it finds ~/.mobu through the password database).
source "$root/scripts/board-lib.sh"
scratch_home "$work" "$work/home"

# The virtual board in real time, its 8 outputs looped back to 8 capture channels for the recording.
eval "export $("$build/simulator/mobu-board-config" "$work/board" --capture-channels 8)"
LOOP_SHM="$(loop_shm "$work/board/asound.conf")"
cat >"$work/processor.conf" <<CONF
MobuFullDuplexFIR {
    filter "$work/filters.wav"
    paraeq "paraEQ0.json"
    mixerDevice "board"
    fifopath "$work/levels"
}
CONF
amixer -q -D board -- sset "Gain 3" 0dB
amixer -q -D board sset "Gain 6 Mute" off

echo "== Starting mobu-processor on the virtual board"
mkfifo "$work/levels" "$work/log.pipe"
"$py" "$root/scripts/demo.py" meter "$work/levels" "$work/meter.txt" &
pids+=($!)
"$py" "$root/scripts/demo.py" stamp "$work/processor.log" <"$work/log.pipe" &
stamper=$!
env "${home_env[@]}" "$build/applications/mobu-processor" --config="$work/processor.conf" --verbose \
    >"$work/processor.out" 2>"$work/log.pipe" &
processor=$!
pids+=("$processor")
for _ in $(seq 200); do
    [ -s "$work/meter.txt" ] && break
    kill -0 "$processor" 2>/dev/null || break
    sleep 0.1
done
if ! [ -s "$work/meter.txt" ]; then
    echo "the processor did not start: see $work/processor.log" >&2
    tail -n 5 "$work/processor.log" >&2 || true
    exit 1
fi

arecord -q -D board_capture -f S32_LE -c 8 -r 48000 "$work/output.wav" &
recorder=$!
pids+=("$recorder")
aplay -q -D board_programme "$work/programme.wav" 2>/dev/null &
pids+=($!)
event "programme starts"
sleep 2

cp "$work/eq-cut.json" "$work/home/.mobu/paraEQ0.json.new"
mv "$work/home/.mobu/paraEQ0.json.new" "$work/home/.mobu/paraEQ0.json"
event "equaliser rewritten (6 dB cut at 200 Hz, left input)"
sleep 2

cp "$work/filters-b.wav" "$work/filters.wav.new.wav"
mv "$work/filters.wav.new.wav" "$work/filters.wav"
event "coefficient file rewritten (levels reversed)"
sleep 2

amixer -q -D board -- sset "Gain 3" -9dB
event "amixer: Gain 3 to -9 dB"
sleep 1
amixer -q -D board sset "Gain 6 Mute" on
event "amixer: Gain 6 muted"
sleep 1

kill -INT "$processor"
event "SIGINT"
status=0
wait "$processor" || status=$?
wait "$stamper" || true
kill -INT "$recorder" 2>/dev/null || true
wait "$recorder" 2>/dev/null || true
echo "mobu-processor exited with status $status"

"$py" "$root/scripts/demo.py" report "$work"
if command -v gnuplot >/dev/null; then
    gnuplot "$work/levels.gp" && echo && echo "Plot of the output levels: $work/levels.png"
fi
echo "Recorded output (8 channels, 32-bit, 48 kHz): $work/output.wav"
echo "Processor's log: $work/processor.log; metering records: $work/meter.txt"
exit "$status"
