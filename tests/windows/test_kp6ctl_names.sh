#!/usr/bin/env bash
# kp6ctl.exe on a Windows whose ANSI code page is Latin (1252), as a
# technician scripts it: a backup file named in Cyrillic is written, restored
# from, and refused when a value in it is bad, against kp6-sim on COM7; what
# it prints names the file as typed; a read-only one is refused. Then
# Ctrl-C during a restore, and its output's reader gone.
#   test_kp6ctl_names.sh WINE_RUN DIR KP6CTL_EXE KP6_SIM
set -euo pipefail
wine_run=$1 dir=$2 exe=$3 sim=$4
# Under LC_ALL=C Wine strips the high bit of every argument before a
# Windows program sees it; under C.UTF-8 it hands them whole and still
# runs with the ANSI code page 1252, which has no Cyrillic.
export LC_ALL=C.UTF-8

fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Lines end in CR LF there. ctl_sim takes the simulator's own arguments
# first, up to --; its trace goes to $dir/sim.out.
ctl_sim() {
    local sim_args=()
    while [ "$1" != -- ]; do
        sim_args+=("$1")
        shift
    done
    shift
    "$wine_run" "$dir" --sim "$sim" --state "$work/state" --trace "${sim_args[@]}" -- \
        "$exe" --port COM7 "$@" 2>err.crlf | tr -d '\r'
    local status=${PIPESTATUS[0]}
    tr -d '\r' <err.crlf >err
    return "$status"
}
ctl() { ctl_sim -- "$@"; }

name=Линия3.json
out=$(ctl backup -o "$name" 01) || fail "backup: $(cat err)"
[ "$out" = "saved 01 to $name" ] || fail "backup said: $out"
[ -f "$name" ] || fail "no $name: $(ls)"
grep -q '"ER79": 15' "$name" || fail "$name holds: $(cat "$name")"

sed -i 's/"ER79": 15/"ER79": 42/' "$name"
out=$(ctl restore -i "$name") || fail "restore: $(cat err)"
[ "$out" = "01: restored" ] || fail "restore said: $out"
grep -q '^01 010079 2A ' state || fail "the controller holds: $(cat state)"

sed -i 's/"ER79": 42/"ER79": 300/' "$name"
status=0
ctl restore -i "$name" >/dev/null || status=$?
[ "$status" = 2 ] || fail "a bad value gave exit $status"
grep -q "^kp6ctl: $name:11: ER79 is 300" err || fail "refused with: $(cat err)"
grep -q '^01 010079 2A ' state || fail "the refused file changed the controller"
# A read-only file is refused, not replaced.
chmod 444 "$name"
status=0
ctl backup -o "$name" 01 >/dev/null || status=$?
[ "$status" = 2 ] && grep -q "^kp6ctl: cannot write $name: " err ||
    fail "a read-only file gave exit $status: $(cat err)"
grep -q '"ER79": 300' "$name" || fail "the read-only file was replaced"
echo "kp6ctl.exe took $name"

# What happened, said as on Linux: a fault by its name, a lossy line carried
# by retries, a dry run that sends only reads, a list of addresses, a bad
# KP6_ADDRESS that matters only where it is used, the bus read as a record
# with each controller's health and two controllers at one address named,
# and no file left behind.
status=0
ctl_sim --ack 15 -- read >/dev/null || status=$?
[ "$status" = 1 ] && [ "$(cat err)" = "01: Error read ER78: acknowledged with 15, not 05" ] ||
    fail "a wrong acknowledgement gave exit $status: $(cat err)"
out=$(ctl_sim --drop-every 3 -- -t 500 --retries 1 read --json) || fail "retries: $(cat err)"
grep -q '"er79":42' <<<"$out" && grep -q '^kp6ctl: [0-9]* retries in 6 exchanges$' err ||
    fail "with retries: $out / $(cat err)"
ctl backup -o dry.json 01 >/dev/null || fail "backup: $(cat err)"
sed -i 's/"ER79": 42/"ER79": 9/' dry.json
status=0
out=$(ctl restore -i dry.json --dry-run) || status=$?
[ "$status" = 1 ] && grep -q '^01: 1 of 6 registers would change$' <<<"$out" &&
    grep -q '^      -> 9 ' <<<"$out" || fail "the dry run gave exit $status: $out / $(cat err)"
! grep -Eq ' rx C[9B] ' "$dir/sim.out" || fail "the dry run wrote: $(cat "$dir/sim.out")"
status=0
out=$(ctl -t 500 test 01,02) || status=$?
[ "$status" = 1 ] && [ "$out" = "01: Ok" ] && [ "$(cat err)" = "02: No reply: no answer in 500 ms" ] ||
    fail "the list gave exit $status: $out / $(cat err)"
KP6_ADDRESS=zz "$wine_run" "$dir" "$exe" ports >/dev/null 2>&1 || fail "KP6_ADDRESS=zz stopped ports"
status=0
KP6_ADDRESS=zz ctl read >/dev/null || status=$?
[ "$status" = 2 ] && [ "$(cat err)" = "kp6ctl: KP6_ADDRESS=zz is no bus address (01 to FF)" ] ||
    fail "KP6_ADDRESS=zz gave exit $status: $(cat err)"
status=0
out=$(ctl_sim --address 01 --address 02 --collide 05 -- --stats scan --read --csv --to 06) ||
    status=$?
[ "$status" = 1 ] && grep -q '^address,type,inverse,ER79,ER72,ER74,ER75,ER77,exchanges,' <<<"$out" &&
    grep -q '^01,milliliter,off,42,10,5,3,50,7,0,0,0,0,0,[0-9]*,[0-9]*,read$' <<<"$out" &&
    grep -q '^05,,,,,,,,1,1,1,0,0,2,.*,garbled answers: two controllers may share' <<<"$out" &&
    grep -q '^02: 7 exchanges, 0 retries, 0 failed, answer [0-9]* ms median' err ||
    fail "scan --read --csv gave exit $status: $out / $(cat err)"
[ ! -e port.out ] || fail "a run without --log left port.out"
# RTS that Wine cannot switch on a pseudo-terminal is named, unsent; an
# echoing converter needs no setting.
status=0
ctl --converter rts test >/dev/null || status=$?
[ "$status" = 3 ] && grep -q "^kp6ctl: the converter rts cannot be switched: the driver of COM7 " err &&
    ! grep -q ' rx ' "$dir/sim.out" || fail "--converter rts gave exit $status: $(cat err)"
status=0
out=$(ctl_sim --echo -- -v test 01,02) || status=$?
[ "$status" = 1 ] && [ "$out" = "01: Ok" ] && grep -q '<> 60 01 81 FB  (echo)$' err &&
    grep -q '^02: No reply: no answer in 1000 ms$' err || fail "with an echo: $out / $(cat err)"
# A log that is no file, the line itself above all, is refused unsent.
for log in COM7 NUL .; do
    status=0
    ctl --log="$log" read >/dev/null || status=$?
    [ "$status" = 2 ] && grep -q "^kp6ctl: the log $log is " err && ! grep -q ' rx ' "$dir/sim.out" ||
        fail "--log $log gave exit $status: $(cat err)"
done
echo "kp6ctl.exe said what happened"

# Ctrl-C in the terminal during a restore of three slow controllers: Wine
# hands it to the program as the console's Ctrl-C. The controller in hand
# is finished, the others are untouched, each is named, exit 130.
python3 - <<'PY'
regs = '"registers": {"ER78": 2, "ER79": 9, "ER72": 8, "ER74": 7, "ER75": 6, "ER77": 5}'
items = ['{"address": "%s", %s}' % (a, regs) for a in ("01", "02", "03")]
open("three.json", "w").write('{"version": 1, "controllers": [\n' + ",\n".join(items) + "\n]}\n")
PY
"$sim" --address 01 --address 02 --address 03 --turnaround 40 --state three.state --trace \
    --link "$dir/com7" >sim.out 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 200); do [ -s sim.out ] && break; sleep 0.05; done
setsid "$wine_run" "$dir" "$exe" --port COM7 restore -i three.json >out.crlf 2>err.crlf &
group=$!
for _ in $(seq 300); do grep -q ' rx ' sim.out && break; sleep 0.05; done
kill -INT -- "-$group"
status=0
wait "$group" || status=$?
[ "$status" = 130 ] || fail "Ctrl-C gave exit $status: $(cat err.crlf)"
tr -d '\r' <err.crlf >err
printf '01: restored\n02: not written (interrupted)\n03: not written (interrupted)\n' | cmp -s - err ||
    fail "after Ctrl-C: $(cat err)"
grep -q '^01 010077 05 ' three.state || fail "01 not finished: $(cat three.state)"
grep -q '^02 010077 32 ' three.state || fail "02 was touched"
echo "Ctrl-C finished 01 and named each"

# The reader of the output goes after the first line: 02 is finished, 03
# named as not written, exit 141.
(st=0; "$wine_run" "$dir" "$exe" --port COM7 restore -i three.json 2>err.crlf || st=$?
    echo $st >status) | head -1 >/dev/null
[ "$(cat status)" = 141 ] || fail "a closed output gave exit $(cat status): $(cat err.crlf)"
tr -d '\r' <err.crlf >err
printf '01: restored\n02: restored\n03: not written (interrupted)\n' | cmp -s - err ||
    fail "after the output closed: $(cat err)"
grep -q '^03 010077 32 ' three.state || fail "03 was touched"
echo "a closed output finished 02 and named 03"
