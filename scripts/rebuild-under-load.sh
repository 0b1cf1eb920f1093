#!/usr/bin/env bash
# Rewrites the coefficient file of a running processor while every core is busy, and
# counts the over/under-runs.  The processor runs in real time on the virtual board at
# the demo's settings (latency 0.01 s, 480 frames at 48 kHz, eight 65536-tap filters,
# a programme playing); one shell loop per core spins beside it at normal priority.
# Each rewrite must be built and switched in (the log's "switching FIR filter over")
# with no "XRUN detected" in the processor's log.  Prints each build's time and the
# counts; exit status 0 when no over/under-run was seen, 1 otherwise.
#
#   scripts/rebuild-under-load.sh [REWRITES] [BUILD-DIR]     (default 4, build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rewrites="${1:-4}"
build="$(cd "${2:-$root/build}" && pwd)"
py=/usr/bin/python3
work="$(mktemp -d /tmp/mobu-rebuild.XXXXXX)"
pids=()
hogs=()
cleanup() {
    for p in "${hogs[@]}" "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -z "${LOOP_SHM:-}" ] || rm -f /dev/shm/"$LOOP_SHM" /dev/shm/"$LOOP_SHM"-programme
}
trap cleanup EXIT
mkdir -p "$work/home/.mobu"
"$py" "$root/scripts/demo.py" signals "$work"
cp "$work/filters-a.wav" "$work/filters.wav"
cp "$work/eq-flat.json" "$work/home/.mobu/paraEQ0.json"
source "$root/scripts/board-lib.sh"
scratch_home "$work" "$work/home"
eval "export $("$build/simulator/mobu-board-config" "$work/board")"
LOOP_SHM="$(loop_shm "$work/board/asound.conf")"
cat >"$work/processor.conf" <<CONF
MobuFullDuplexFIR {
    filter "$work/filters.wav"
    paraeq "paraEQ0.json"
    mixerDevice "board"
    fifopath "$work/levels"
}
CONF
mkfifo "$work/levels"
cat "$work/levels" >/dev/null &
pids+=($!)
log="$work/processor.log"
env "${home_env[@]}" "$build/applications/mobu-processor" --config="$work/processor.conf" --verbose \
    >"$work/processor.out" 2>"$log" &
processor=$!
pids+=("$processor")
# count PATTERN: how many lines of the log hold it.
count() { grep -c -- "$1" "$log" || true; }
# await PATTERN N: waits (up to 120 s) until the log holds PATTERN N times.
await() {
    for _ in $(seq 1200); do
        [ "$(count "$1")" -ge "$2" ] && return 0
        kill -0 "$processor" 2>/dev/null || break
        sleep 0.1
    done
    echo "timed out waiting for $2 x \"$1\"" >&2
    tail -n 20 "$log" >&2
    exit 1
}
await "not linking capture/playback" 1
aplay -q -D board_programme "$work/programme.wav" 2>/dev/null &
pids+=($!)
await "first pass resizing exit" 1
before=$(count "XRUN detected")
for _ in $(seq "$(nproc)"); do
    sh -c 'while :; do :; done' &
    hogs+=($!)
done
sleep 1
for k in $(seq "$rewrites"); do
    if [ $((k % 2)) -eq 1 ]; then next=filters-b.wav; else next=filters-a.wav; fi
    cp "$work/$next" "$work/filters.wav.new.wav"
    mv "$work/filters.wav.new.wav" "$work/filters.wav"
    start=$(date +%s.%N)
    taken=$(($(count "switching FIR filter over") + $(count "first pass resizing exit")))
    # Taken up by a switch, or (after an over/under-run) by the restart's first pass.
    for _ in $(seq 1200); do
        [ $(($(count "switching FIR filter over") + $(count "first pass resizing exit"))) -gt "$taken" ] && break
        sleep 0.1
    done
    printf 'rewrite %d (%s): switched in after %.2f s\n' "$k" "$next" "$(echo "$(date +%s.%N) - $start" | bc)"
done
for p in "${hogs[@]}"; do kill "$p" 2>/dev/null || true; done
hogs=()
kill -INT "$processor"
status=0
wait "$processor" || status=$?
xruns=$(($(count "XRUN detected") - before))
restarts=$(count "the run ended after an over/under-run")
echo "$(nproc) spinning loops beside the processor, $rewrites rewrites built and switched in"
echo "XRUN detected while the loops spun: $xruns (before them: $before), restarts after an over/under-run: $restarts, exit status $status"
grep -m1 "filter sets are built" "$log" || true
echo "log: $log"
[ "$xruns" -eq 0 ] && [ "$status" -eq 0 ]
