#!/usr/bin/env bash
# Times full Reads and Writes against kp6-sim, with and without a line as
# slow as a real one.   bash bench/run.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target kp6-bench kp6-sim >/dev/null
work=$(mktemp -d)

load=()
stop_load() {
    for p in "${load[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${load[@]}"; do wait "$p" 2>/dev/null || true; done
    load=()
}
trap 'stop_load; rm -rf "$work"' EXIT

# Keeps every core busy with a shell loop until stop_load.
start_load() {
    for _ in $(seq "$(nproc)"); do
        (while :; do :; done) &
        load+=($!)
    done
}

case_run() {  # title, runs, bench flags, simulator flags...
    local title=$1 runs=$2 flags=$3
    shift 3
    "$build/kp6-sim" "$@" >"$work/sim.out" &
    local sim=$!
    for _ in $(seq 200); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
    echo "== $title (kp6-sim $*)"
    (cd "$work" && "$OLDPWD/$build/kp6-bench" "$(head -n 1 "$work/sim.out")" --runs "$runs" $flags "$@" |
        grep -v '^tick')
    kill "$sim"
    wait "$sim" 2>/dev/null || true
}

case_run "line at 4800 baud" 15 "" --baud 4800 --turnaround 0
case_run "line at 4800 baud, 5 ms turnaround" 15 "" --baud 4800 --turnaround 5
start_load
case_run "line at 4800 baud, every core busy" 15 "" --baud 4800 --turnaround 0
stop_load
case_run "no line timing" 300 "" 
