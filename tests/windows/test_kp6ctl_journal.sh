#!/usr/bin/env bash
# kp6ctl.exe journal --verify under Wine: a small journal in the default
# place, %APPDATA%\KP-6\journal.jsonl, found intact; one value changed in
# it, the break named and exit 1; KP6_JOURNAL naming another file.
#   test_kp6ctl_journal.sh WINE_RUN DIR KP6CTL_EXE
set -euo pipefail
wine_run=$1 dir=$2 exe=$3
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Three records chained as the tool chains them.
prev=$(printf '0%.0s' $(seq 64))
journal=$work/journal.jsonl
: >"$journal"
for seq in 1 2 3; do
    line='{"seq":'$seq',"time":"2026-12-09T10:11:1'$seq'.345Z","offset":"+03:00","event":"change","user":"tech","host":"pc","program":"kp6ctl 1.0.0","line":"COM7","address":"1F","setting":"ER72","before":30,"asked":9'$seq',"after":9'$seq',"result":"confirmed","prev":"'$prev'"}'
    printf '%s\n' "$line" >>"$journal"
    prev=$(printf '%s' "$line" | sha256sum | cut -c1-64)
done

roaming=$(ls -d "$dir"/prefix/drive_c/users/*/AppData/Roaming | grep -v /Public/ | head -n 1)
[ -d "$roaming" ] || fail "no AppData folder in the prefix"
mkdir -p "$roaming/KP-6"
cp "$journal" "$roaming/KP-6/journal.jsonl"
trap 'rm -rf "$work" "$roaming/KP-6"' EXIT

out=$(env -u KP6_JOURNAL "$wine_run" "$dir" "$exe" journal --verify | tr -d '\r') ||
    fail "verify: $out"
[ "$out" = "journal intact: 3 records, 2026-12-09 to 2026-12-09, head $prev" ] ||
    fail "verify said: $out"

sed -i 's/"asked":92,"after":92/"asked":92,"after":93/' "$roaming/KP-6/journal.jsonl"
status=0
out=$(env -u KP6_JOURNAL "$wine_run" "$dir" "$exe" journal --verify | tr -d '\r') || status=$?
[ "$status" = 1 ] || fail "a changed record gave exit $status: $out"
[ "$out" = "record 2: changed, or a record before it removed" ] || fail "verify said: $out"

out=$(KP6_JOURNAL="Z:${journal//\//\\}" "$wine_run" "$dir" "$exe" journal --verify --head "$prev" |
    tr -d '\r') || fail "KP6_JOURNAL: $out"
case $out in "journal intact: 3 records,"*) ;; *) fail "KP6_JOURNAL's file said: $out" ;; esac
echo ok
