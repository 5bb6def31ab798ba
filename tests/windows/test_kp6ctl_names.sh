#!/usr/bin/env bash
# kp6ctl.exe on a Windows whose ANSI code page is Latin (1252), as a
# technician scripts it: a backup file named in Cyrillic is written, restored
# from, and refused when a value in it is bad, against kp6-sim on COM7; what
# it prints names the file as typed.
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
# Lines end in CR LF there.
ctl() {
    "$wine_run" "$dir" --sim "$sim" --state "$work/state" -- "$exe" --port COM7 "$@" 2>err.crlf |
        tr -d '\r'
    local status=${PIPESTATUS[0]}
    tr -d '\r' <err.crlf >err
    return "$status"
}

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
echo "kp6ctl.exe took $name"
