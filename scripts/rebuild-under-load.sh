#!/usr/bin/env bash
# Rewrites the coefficient file of a running processor while every core is busy, and
# counts the over/under-runs.  The processor runs in real time on the virtual board at
# the demo's settings (latency 0.01 s, 480 frames at 48 kHz, eight 65536-tap filters,
# equaliser and gains as the demo has them, a programme playing throughout).  After a
# quiet phase, one spinning loop per core runs beside it at normal priority, first alone
# (the load's own over/under-runs, if any), then while the file is rewritten REWRITES
# times (the demo's two sets in turn, each renamed over the file once the previous one
# plays).  The programme's player runs at real-time priority 20 (below the processor):
# it stands for the board's converters, which a busy core does not slow down.  Each
# rewrite must be built and switched in (the log's "switching FIR filter over") with no
# "XRUN detected" in the processor's log.
#
# Prints the machine's load (uptime) at the start, when the loops start and at the end;
# the processor's threads by scheduling; for each rewrite the build's time as the
# processor measured it and the time from the rename to the switch; the over/under-runs
# of the quiet phase (the start-up included), with the loops alone, and with the loops
# and the rewrites; the processor's exit status.  Exit status 0 when every rewrite was
# switched in, none over/under-ran while the loops spun and the processor ended with
# status 0; 1 otherwise.  On a machine shared with other real-time work the first two
# phases show what the load costs by itself.
#
#   scripts/rebuild-under-load.sh [REWRITES] [BUILD-DIR]     (default 4, build/)
#
# MOBU_QUIET_SECONDS (default 3) and MOBU_HOG_ALONE_SECONDS (default 5) set the first two
# phases, MOBU_HOGS (default: the number of cores) the spinning loops.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rewrites="${1:-4}"
build="$(cd "${2:-$root/build}" && pwd)"
quiet="${MOBU_QUIET_SECONDS:-3}"
alone="${MOBU_HOG_ALONE_SECONDS:-5}"
hogCount="${MOBU_HOGS:-$(nproc)}"
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
now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }

echo "load at the start: $(uptime)"
mkdir -p "$work/home/.mobu"
"$py" "$root/scripts/demo.py" signals "$work"
cp "$work/filters-a.wav" "$work/filters.wav"
cp "$work/eq-flat.json" "$work/home/.mobu/paraEQ0.json"
# The programme plays for the whole run (a player that ends would change the load).
repeats=$(((quiet + alone + 30 * rewrites + 60) / 30))
sox "$work/programme.wav" "$work/programme-long.wav" repeat "$repeats"
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
chrt -f 20 aplay -q -D board_programme "$work/programme-long.wav" 2>"$work/aplay.err" &
pids+=($!)
await "first pass resizing exit" 1
sleep "$quiet"
# The processor's threads by scheduling class, real-time priority and niceness (the audio
# thread and its OpenMP team in FIFO at the top, the builder time-shared at nice 10).
echo "the processor's threads (count, class, real-time priority, nice):" \
    $(ps -L -o cls=,rtprio=,ni= -p "$processor" | sort | uniq -c | awk '{printf "%s x %s %s %s; ", $1, $2, $3, $4}')
before=$(count "XRUN detected")
echo "load when the loops start: $(uptime)"
for _ in $(seq "$hogCount"); do
    sh -c 'while :; do :; done' &
    hogs+=($!)
done
# The loops alone first: over/under-runs here come from the load, not from a rebuild.
sleep "$alone"
alonexruns=$(($(count "XRUN detected") - before))
switched=0
for k in $(seq "$rewrites"); do
    if [ $((k % 2)) -eq 1 ]; then next=filters-b.wav; else next=filters-a.wav; fi
    built=$(count "filter set from $work/filters.wav built in")
    # Taken up by a switch, or (after an over/under-run) by the restart's first pass.
    taken=$(($(count "switching FIR filter over") + $(count "first pass resizing exit")))
    cp "$work/$next" "$work/filters.wav.new.wav"
    start=$(now_ms)
    mv "$work/filters.wav.new.wav" "$work/filters.wav"
    ok=0
    for _ in $(seq 1200); do
        if [ $(($(count "switching FIR filter over") + $(count "first pass resizing exit"))) -gt "$taken" ]; then
            ok=1
            break
        fi
        kill -0 "$processor" 2>/dev/null || break
        sleep 0.1
    done
    took=$(($(now_ms) - start))
    # The build's own time, from the processor's log line for this build.
    buildTime=$(grep -- "filter set from $work/filters.wav built in" "$log" | sed -n "$((built + 1))p" |
        sed 's/.* built in \([0-9.]*\) s (the file read in \([0-9.]*\) s).*/\1 s (the file read in \2 s)/')
    if [ "$ok" -eq 1 ]; then
        switched=$((switched + 1))
        echo "rewrite $k ($next): built in ${buildTime:-?}, switched in $(seconds "$took") s after the rename"
    else
        echo "rewrite $k ($next): NOT switched in within $(seconds "$took") s (build: ${buildTime:-none logged})"
    fi
done
for p in "${hogs[@]}"; do kill "$p" 2>/dev/null || true; done
hogs=()
during=$(($(count "XRUN detected") - before - alonexruns))
echo "load at the end: $(uptime)"
kill -INT "$processor"
status=0
wait "$processor" || status=$?
restarts=$(count "the run ended after an over/under-run")
echo "$hogCount spinning loops beside the processor; $switched of $rewrites rewrites built and switched in"
echo "XRUN detected: $before in the quiet phase (start-up and ${quiet} s), $alonexruns while the loops spun" \
    "alone (${alone} s), $during while they spun and the file was rewritten;" \
    "restarts after an over/under-run: $restarts; exit status $status"
grep -m1 "filter sets are built" "$log" || true
echo "log: $log"
[ "$switched" -eq "$rewrites" ] && [ "$alonexruns" -eq 0 ] && [ "$during" -eq 0 ] && [ "$status" -eq 0 ]
