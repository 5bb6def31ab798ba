#!/usr/bin/env bash
# kp6ctl.exe report under Wine: a journal of today's visit made a PDF with
# the fonts beside the program, Russian text and the head in it.
#   test_kp6ctl_report.sh WINE_RUN DIR KP6CTL_EXE
set -euo pipefail
wine_run=$1 dir=$2 exe=$3
export LC_ALL=C.UTF-8
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
now=$(date -u +%Y-%m-%dT%H:%M:%S.000Z)
line='{"seq":1,"time":"'$now'","offset":"+00:00","event":"found","user":"u","host":"h","program":"kp6ctl 1.0.0","line":"COM7","address":"1F","settings":{"ER78":2,"ER79":15,"ER72":30,"ER74":40,"ER75":50,"ER77":60},"prev":"'$(printf '0%.0s' $(seq 64))'"}'
printf '%s\n' "$line" >journal.jsonl
head=$(printf '%s' "$line" | sha256sum | cut -d' ' -f1)
out=$(KP6_JOURNAL='Z:'"${work//\//\\}"'\journal.jsonl' WINEDEBUG=-all \
    "$wine_run" "$dir" "$exe" report -o r.pdf --site 'Склад 3' --language ru 2>err | tr -d '\r') ||
    fail "report: $(cat err)"
[ "$out" = "r.pdf: 1 controller, 1 record, head $head" ] || fail "said: $out; $(cat err)"
text=$(pdftotext -layout r.pdf - 2>/dev/null)
for part in "Сервисный отчёт" "Склад 3" "Контроллер 1F" "$head"; do
    grep -qF "$part" <<<"$text" || fail "no $part in: $text"
done
pdffonts r.pdf | grep -q DejaVuSansMono || fail "fonts: $(pdffonts r.pdf)"
echo "kp6ctl.exe report: ok"
