#!/usr/bin/env bash
# Serves the web interface (ui/).
#
#   scripts/ui.sh [--port=N] [--address=A] [--board=DIR] [--password-file=FILE]
#   scripts/ui.sh --set-password [--password-file=FILE]
#
# On a PC (no /etc/mobu/mobu-processor.conf, or --board given) it installs and builds what is
# missing, writes a virtual board into DIR (default: a new /tmp/mobu-ui.XXXXXX), starts
# mobu-processor on it with a programme playing into its input (200 Hz left, 1 kHz right at
# -6 dBFS; output c filtered to -2c dB) and serves the page until it is stopped (Ctrl-C), then
# stops the processor and removes the board's shared memory.  A server that ends on its own is
# started again: the processor keeps running.  What it leaves in DIR:
#   asound.conf, board-mixer.state   the virtual board (mobu-board-config)
#   measure.conf, room.wav           the measurement devices: a lock-step loop through a room
#   processor.conf, filters.wav, home/.mobu/paraEQ0.json, levels (the metering FIFO)
#   processor.log                    the processor's log (--verbose)
#   status.json                      the measurement's progress (the server's --status-file)
# On the board it serves the running processor of /etc/mobu/mobu-processor.conf.
# MOBU_BUILD_DIR names the build to use (default build/); MOBU_UI_REALTIME=0 keeps the
# measurement from real-time priority; MOBU_UI_EXIT_WITH_PARENT=1 stops everything when the
# caller goes.
#
# The default address is 127.0.0.1 (port 8080).  Any other address needs a password, set with
# --set-password (stored as a salted hash in FILE, default /etc/mobu/ui-password).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
ui="$root/ui"
build="${MOBU_BUILD_DIR:-$root/build}"

port=8080 address=127.0.0.1 board="" password_file="" set_password=0
for a in "$@"; do
    case "$a" in
    --port=*) port="${a#*=}" ;;
    --address=*) address="${a#*=}" ;;
    --board=*) board="${a#*=}" ;;
    --password-file=*) password_file="${a#*=}" ;;
    --set-password) set_password=1 ;;
    *) echo "ui.sh: unknown argument $a" >&2; exit 2 ;;
    esac
done

# The interface's own packages, as its lock file pins them.
if [ ! -d "$ui/node_modules/ws" ] || [ ! -d "$ui/node_modules/uplot" ]; then
    command -v npm >/dev/null || "$root/scripts/install-deps.sh"
    (cd "$ui" && npm ci --omit=dev --no-audit --no-fund --loglevel=error)
fi

if [ "$set_password" = 1 ]; then
    exec node "$ui/set-password.js" ${password_file:+--password-file="$password_file"}
fi

server_args=(--address="$address" --port="$port" ${password_file:+--password-file="$password_file"})

if [ -z "$board" ] && [ -f /etc/mobu/mobu-processor.conf ]; then
    exec node "$ui/server.js" "${server_args[@]}" --config=/etc/mobu/mobu-processor.conf
fi

# ---- a PC: the virtual board ---------------------------------------------------------------
if [ ! -x "$build/applications/mobu-processor" ] || [ ! -x "$build/applications/mobu-correct" ] ||
    [ ! -f "$build/node/libLevelMeter.node" ]; then
    "$root/scripts/install-deps.sh"
    "$root/scripts/build.sh" "$build" >/dev/null
fi
board="${board:-$(mktemp -d /tmp/mobu-ui.XXXXXX)}"
mkdir -p "$board"
board="$(cd "$board" && pwd)"

pids=()
shm=()
watcher=""
cleanup() {
    trap - EXIT INT TERM
    [ -z "$watcher" ] || kill -TERM "$watcher" 2>/dev/null || true
    for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$p" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    for s in "${shm[@]}"; do rm -f "/dev/shm/$s" "/dev/shm/$s-programme"; done
}
trap cleanup EXIT
trap 'exit 0' INT TERM
# MOBU_UI_EXIT_WITH_PARENT=1 (the tests): everything stops when the caller goes, whatever ended it.
if [ "${MOBU_UI_EXIT_WITH_PARENT:-0}" = 1 ]; then
    parent=$PPID self=$$
    (while kill -0 "$parent" 2>/dev/null; do sleep 1; done; kill -TERM "$self") &
    watcher=$!
fi

config="$("$build/simulator/mobu-board-config" "$board" --capture-channels 8)"
measure_shm="$(node "$ui/tools/pc-board.js" files "$board")"
source "$root/scripts/board-lib.sh"
shm=("$(loop_shm "$board/asound.conf")" "$measure_shm")
rm -f "/dev/shm/$measure_shm" "/dev/shm/$measure_shm-programme"
export ALSA_CONFIG_PATH="${config#ALSA_CONFIG_PATH=}"
ALSA_CONFIG_PATH="${ALSA_CONFIG_PATH//\'/}:$board/measure.conf"
export OMP_WAIT_POLICY=passive

# A home of the board's own for the processor and the interface (~/.mobu holds the equaliser;
# both find it through the password database).
scratch_home "$board" "$board/home"

rm -f "$board/levels"
env "${home_env[@]}" "$build/applications/mobu-processor" --config="$board/processor.conf" --verbose \
    >"$board/processor.out" 2>"$board/processor.log" &
pids+=($!)
for _ in $(seq 100); do [ -p "$board/levels" ] && break; sleep 0.1; done
[ -p "$board/levels" ] || { echo "ui.sh: the processor did not start: see $board/processor.log" >&2; exit 1; }

aplay -q -D board_programme -t raw -f S32_LE -c 2 -r 48000 < <(exec node "$ui/tools/pc-board.js" programme) 2>/dev/null &
pids+=($!)

echo "ui.sh: virtual board in $board (ALSA_CONFIG_PATH=$ALSA_CONFIG_PATH)"
# MOBU_UI_REALTIME=0 keeps the measurement from real-time priority (the tests, beside others).
norealtime=()
if [ "${MOBU_UI_REALTIME:-1}" = 0 ] && setpriv --inh-caps=-sys_nice --bounding-set=-sys_nice true 2>/dev/null; then
    norealtime=(setpriv --inh-caps=-sys_nice --bounding-set=-sys_nice)
fi
# The server and the processor are separate services: the server's end never stops the
# processor.  A server that ends after it has served for a while is started again; one that
# can't start at all ends this script (and what it started).  Only Ctrl-C or a signal to this
# script stops the processor.
others=("${pids[@]}")
# A server started again must answer where the page is: --port=0 picks a free port once.
if [ "$port" = 0 ]; then
    port="$(node -e 'const s = require("node:net").createServer().listen(0, process.argv[1], () => { console.log(s.address().port); s.close(); });' "$address")"
    server_args=(--address="$address" --port="$port" ${password_file:+--password-file="$password_file"})
fi
while :; do
    started=$SECONDS
    "${norealtime[@]}" env "${home_env[@]}" MOBU_NODE_ADDONS="$build/node" node "$ui/server.js" "${server_args[@]}" \
        --config="$board/processor.conf" --correct-tool="$build/applications/mobu-correct" \
        --processor-log="$board/processor.log" --status-file="$board/status.json" &
    server=$!
    pids=("$server" "${others[@]}")
    status=0
    wait "$server" || status=$?
    if [ $((SECONDS - started)) -lt 5 ] && [ -z "${served:-}" ]; then
        echo "ui.sh: the server could not start (status $status)" >&2
        exit 1
    fi
    served=1
    echo "ui.sh: the server ended (status $status); the processor goes on, the server starts again" >&2
    sleep 1
done
