#!/usr/bin/env bash
# kp6ctl.exe writes a traffic log of a Read on COM7 (kp6-sim behind it) and
# decodes it: every frame named, the same lines as the Linux build's decode
# of that log gives.
#   test_kp6ctl_decode.sh WINE_RUN DIR KP6CTL_EXE KP6_SIM KP6CTL
set -euo pipefail
wine_run=$1 dir=$2 exe=$3 sim=$4 linux=$5
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$wine_run" "$dir" --sim "$sim" --address 1F -- "$exe" --port COM7 -a 1F --log read >/dev/null ||
    fail "read: $?"
"$wine_run" "$dir" "$exe" decode port.out 2>err.crlf | tr -d '\r' >decoded ||
    fail "decode: $(tr -d '\r' <err.crlf)"
for line in " 1 -> 60 1F 00 80 C0  select 1F" " 1 <- C0  selected" \
    " 1 -> CA 79 00 01 00  read ER79" " 1 <- 05 0F F5  ER79 = 15" "    program started"; do
    grep -qF -- "$line" decoded || fail "no \"$line\" in: $(cat decoded)"
done
"$linux" decode port.out >linux || fail "the Linux build's decode: $?"
diff linux decoded || fail "the two builds decode the log apart"
