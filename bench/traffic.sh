#!/usr/bin/env bash
# The line's traffic: kp6ctl decode on a traffic log of 100 MB (a log of
# Tests, Reads and Writes that the port layer wrote, repeated), then
# kp6ctl monitor listening to a pseudo-terminal that a script fills with a
# bus's frames paced as at 115200 baud, its processor time over 5 s.
#   bash bench/traffic.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
cmake --build "$build" --target kp6ctl kp6-sim >/dev/null
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
cd "$work"

# A seed log: Tests, Reads and a Write through a converter that echoes.
"$build/kp6-sim" --address 1F --echo >sim.out &
pids+=($!)
for _ in $(seq 200); do [ -s sim.out ] && break; sleep 0.05; done
export KP6_PORT=$(head -n 1 sim.out)
for _ in $(seq 10); do
    "$build/kp6ctl" -a 1F --log test >/dev/null
    "$build/kp6ctl" -a 1F --log read >/dev/null
done
"$build/kp6ctl" -a 1F --log write er79=13 >/dev/null
kill "${pids[0]}"
cp port.out big.out
while [ "$(stat -c %s big.out)" -lt 100000000 ]; do cat big.out big.out >twice.out; mv twice.out big.out; done
head -c 100000000 big.out >log.out
echo "== kp6ctl decode, a log of 100 MB ($(grep -c . port.out) lines a seed)"
for flags in "" "--json"; do
    start=$(date +%s.%N)
    /usr/bin/time -f "%M" -o rss "$build/kp6ctl" decode $flags log.out >/dev/null 2>err || true
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" -v f="${flags:-text}" -v rss="$(cat rss)" \
        'BEGIN { printf "decode %-6s %6.2f s  %6.1f MB/s  at most %d KiB resident\n", f, e - s, 100 / (e - s), rss }'
done

# A bus read at 115200 baud, played on a pseudo-terminal: frames and
# answers with their line time and a gap of 1 ms.
cat >play.py <<'PY'
import os, sys, time, tty
m, s = os.openpty()
tty.setraw(s)
print(os.ttyname(s), flush=True)
frames = [bytes.fromhex(h) for h in
          ['60 1F 00 80 C0', 'C0', 'CA 79 00 01 00', '05 0F F5', '60 1F 81 83', 'C0']]
end = time.monotonic() + float(sys.argv[1])
sent = 0
while time.monotonic() < end:
    for f in frames:
        os.write(m, f)
        sent += len(f)
        time.sleep(len(f) * 10 / 115200 + 0.001)
print(sent, flush=True)
PY
/usr/bin/python3 play.py 9 >play.out &
pids+=($!)
for _ in $(seq 200); do [ -s play.out ] && break; sleep 0.05; done
pty=$(head -n 1 play.out)
"$build/kp6ctl" -p "$pty" monitor >monitor.out 2>monitor.err &
mon=$!
pids+=($mon)
sleep 2
tick=$(getconf CLK_TCK)
before=$(awk '{ print $14 + $15 }' /proc/$mon/stat)
sleep 5
after=$(awk '{ print $14 + $15 }' /proc/$mon/stat)
kill -INT $mon
wait $mon || true
echo "== kp6ctl monitor at 115200 baud, 5 s of a bus read"
awk -v b="$before" -v a="$after" -v t="$tick" -v n="$(wc -l <monitor.out)" \
    'BEGIN { printf "monitor: %.2f s of processor time in 5 s (%.1f %% of one core), %d frames named\n", (a - b) / t, (a - b) / t / 5 * 100, n }'
