#!/usr/bin/env bash
# Times full Reads and Writes against kp6-sim, with and without a line as
# slow as a real one, with the machine idle and with every core busy; then
# the start-up of kp6 beside a bare FLTK window (under xvfb-run when there
# is no display); then a network line through ser2net (RFC 2217) beside
# pyserial's rfc2217:// client; then kp6ctl's backup loader on 1 MiB files
# of every shape; then, given a Windows build folder, the Windows build
# under Wine beside the Linux build on the same line.
#   bash bench/run.sh [build folder] [Windows build folder]
# KP6_BENCH_ONLY=net, KP6_BENCH_ONLY=backup, KP6_BENCH_ONLY=journal,
# KP6_BENCH_ONLY=writes, KP6_BENCH_ONLY=bus, KP6_BENCH_ONLY=traffic
# (bench/traffic.sh) or KP6_BENCH_ONLY=wine runs that part alone.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build}" && pwd)
win=${2:+$(cd "$2" && pwd)}
cmake --build "$build" --target kp6-bench kp6-netbench kp6-sim kp6 kp6-startup bare-window \
    kp6-backupbench kp6-busbench kp6-reportbench kp6-journalbench kp6-writebench catalogue >/dev/null
[ -z "$win" ] || cmake --build "$win" --target kp6-netbench wine_prefix >/dev/null
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
    (cd "$work" && "$build/kp6-bench" "$(head -n 1 "$work/sim.out")" --runs "$runs" $flags "$@" |
        grep -v '^tick')
    kill "$sim"
    wait "$sim" 2>/dev/null || true
}

# A network line: ser2net (its own configuration, on 127.0.0.1, chardelay
# off) in front of kp6-sim's pseudo-terminal (sets pty and port).
start_server() {  # simulator flags...
    "$build/kp6-sim" "$@" >"$work/sim.out" &
    sim=$!
    for _ in $(seq 200); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
    pty=$(head -n 1 "$work/sim.out")
    port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    printf '%s\n' "connection: &rfc2217" \
        "  accepter: telnet(rfc2217),tcp,127.0.0.1,$port" \
        "  connector: serialdev(nouucplock),$pty,4800n81,local" \
        "  options:" "    chardelay: false" >"$work/ser2net.yaml"
    /usr/sbin/ser2net -n -c "$work/ser2net.yaml" -P "$work/ser2net.pid" 2>/dev/null &
    server=$!
    for _ in $(seq 100); do
        grep -q ":$(printf %04X "$port") .* 0A " /proc/net/tcp && break
        sleep 0.05
    done
    echo "== $title: ser2net $(/usr/sbin/ser2net -v | awk '{print $3}'), RFC 2217, chardelay off (kp6-sim $*)"
}
stop_server() {
    kill "$server" "$sim"
    wait "$server" "$sim" 2>/dev/null || true
}

# kp6 and pyserial's client open, Read and close through it by turns.
net_run() {  # title, simulator flags...
    title=$1
    shift
    start_server "$@"
    (cd "$work" && "$build/kp6-netbench" --direct "$pty" --url "rfc2217://127.0.0.1:$port" --runs 20)
    sleep 0.1
    /usr/bin/python3 bench/pyserial_ref.py "rfc2217://127.0.0.1:$port" 20
    stop_server
}

# The Windows build under Wine (the tests' prefix, its COM7 led to the
# simulator) and the Linux build by turns on the same line, each beside the
# pseudo-terminal itself; then the Windows build without acknowledging part
# of an answer at once, left to what the system does.
wine_run() {  # title, simulator flags...
    title=$1
    shift
    start_server "$@" --link "$win/wine/com7"
    local url="rfc2217://127.0.0.1:$port" round
    local windows=("$root/tests/windows/wine-run.sh" "$win/wine" "$win/kp6-netbench.exe" --url "$url"
        --runs 20 --label windows)
    for round in 1 2; do
        (cd "$work" && "$build/kp6-netbench" --direct "$pty" --url "$url" --runs 20 --label linux) |
            grep -v close
        (cd "$work" && "${windows[@]}" --direct COM7 | tr -d '\r') | grep -v close
    done
    (cd "$work" && "${windows[@]}" --late-ack | tr -d '\r') | grep Read
    stop_server
}
journal_run() {
    echo "== the journal: --verify of 1,000,000 records, and appends"
    TMPDIR=$work "$build/kp6-journalbench" --runs 3
}
backup_run() {
    echo "== kp6ctl's backup loader, files at the 1 MiB bound"
    "$build/kp6-backupbench" --runs 5
}
report_run() {
    echo "== the service report of 255 controllers"
    "$build/kp6-reportbench" --runs 5 "$work"
}
# A bus of controllers read through the bus window and as kp6ctl reads it
# (under xvfb-run when there is no display).
bus_run() {  # title, last address of the scan, simulator flags... (KP6_BUS_TRAFFIC=1: --traffic)
    local title=$1 last=$2
    shift 2
    "$build/kp6-sim" "$@" >"$work/sim.out" &
    local sim=$!
    for _ in $(seq 200); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
    echo "== $title (kp6-sim $*)"
    local bench=("$build/kp6-busbench" "$(head -n 1 "$work/sim.out")" "$last" --runs 5)
    [ -z "${KP6_BUS_TRAFFIC:-}" ] || bench+=(--traffic)
    if [ -n "${DISPLAY:-}" ]; then
        (cd "$work" && "${bench[@]}")
    else
        (cd "$work" && xvfb-run -a -s "-screen 0 1600x1200x24" "${bench[@]}")
    fi
    kill "$sim"
    wait "$sim" 2>/dev/null || true
}
bus_cases() {
    local eight=() a
    for a in 01 02 03 04 05 06 07 08; do eight+=(--address "$a"); done
    bus_run "a bus of 8 controllers, line at 4800 baud" 10 "${eight[@]}" --baud 4800 --turnaround 0
    bus_run "a bus of 8 controllers, no line timing" 10 "${eight[@]}"
    local full=()
    for a in $(seq 1 32); do full+=(--address "$(printf %02X "$a")"); done
    bus_run "a bus of 32 controllers, line at 4800 baud" 20 "${full[@]}" --baud 4800 --turnaround 0
    KP6_BUS_TRAFFIC=1 bus_run "a bus of 32 controllers, line at 4800 baud, the traffic view open" \
        20 "${full[@]}" --baud 4800 --turnaround 0
}
# Writes without and with the journal (a file in the scratch folder), at
# 4800 baud: one Write, and a template written to 32 controllers.
writes_run() {
    local full=() a
    for a in $(seq 1 32); do full+=(--address "$(printf %02X "$a")"); done
    "$build/kp6-sim" "${full[@]}" --baud 4800 --turnaround 0 >"$work/sim.out" &
    local sim=$!
    for _ in $(seq 200); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
    echo "== the journal, line at 4800 baud (kp6-sim, 32 controllers)"
    "$build/kp6-writebench" "$(head -n 1 "$work/sim.out")" 20 --journal "$work/journal.jsonl" \
        --runs "${KP6_WRITES_RUNS:-5}"
    kill "$sim"
    wait "$sim" 2>/dev/null || true
}
case "${KP6_BENCH_ONLY:-}" in
writes)
    writes_run
    exit 0
    ;;
traffic)
    bash "$root/bench/traffic.sh" "$build"
    exit 0
    ;;
bus)
    bus_cases
    exit 0
    ;;
backup)
    backup_run
    exit 0
    ;;
report)
    report_run
    exit 0
    ;;
journal)
    journal_run
    exit 0
    ;;
net)
    net_run "network line, no line timing"
    net_run "network line, line at 4800 baud" --baud 4800 --turnaround 0
    exit 0
    ;;
wine)
    wine_run "Windows under Wine beside Linux, line at 4800 baud" --baud 4800 --turnaround 0
    exit 0
    ;;
esac

line=(--baud 4800 --turnaround 0)
case_run "line at 4800 baud" 25 "" "${line[@]}"
case_run "line at 4800 baud, waits polling without sleep (the old way)" 25 --spin "${line[@]}"
case_run "line at 4800 baud, 5 ms turnaround" 25 "" --baud 4800 --turnaround 5
start_load
case_run "line at 4800 baud, every core busy" 25 "" "${line[@]}"
case_run "line at 4800 baud, every core busy, waits polling without sleep" 25 --spin "${line[@]}"
stop_load
case_run "no line timing" 300 ""

# Start-up, in a folder of its own with the catalogue where kp6 looks; then
# with a preferences file near its 64 KiB bound, of 11,616 entries.
mkdir -p "$work/start/ru" "$work/home/.fltk/kp6"
cp "$build/ru/kp6.mo" "$work/start/ru/"
{ printf '; a\n; b\n; c\n[.]\n'; seq 1 11616 | awk '{ printf "%x:\n", $1 % 4096 }'; } \
    >"$work/home/.fltk/kp6/kp6.prefs"
startup() {
    echo "== start-up to the window mapped, resident memory once shown"
    cd "$work/start"
    for program in kp6 bare-window; do
        "$build/kp6-startup" --runs 15 "$build/$program"
    done
    echo "== start-up with 58 KiB of preferences (11,616 entries)"
    HOME="$work/home" "$build/kp6-startup" --runs 15 "$build/kp6"
}
if [ -n "${DISPLAY:-}" ]; then
    (startup)
else
    export work build
    xvfb-run -a -s "-screen 0 1600x1200x24" bash -c "$(declare -f startup); startup"
fi

net_run "network line, no line timing"
net_run "network line, line at 4800 baud" --baud 4800 --turnaround 0
backup_run
report_run
journal_run
bus_cases
writes_run
[ -z "$win" ] ||
    wine_run "Windows under Wine beside Linux, line at 4800 baud" --baud 4800 --turnaround 0
bash "$root/bench/traffic.sh" "$build"
