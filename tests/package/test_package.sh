#!/usr/bin/env bash
# The Debian package as a user gets it.
#   test_package.sh lintian BUILD_DIR VERSION
#       lintian finds no errors in it (77: lintian is not installed)
#   test_package.sh start BUILD_DIR VERSION PO_FILE
#       unpacked into a scratch folder (never installed), its kp6 started from
#       a folder without a catalogue shows the translated title and writes
#       its start line to port.out there
set -euo pipefail
mode=$1 build=$2 version=$3
debs=("$build"/kp6_"$version"_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no single package in $build: ${debs[*]}"; exit 1; }
deb=${debs[0]}

if [ "$mode" = lintian ]; then
    command -v lintian >/dev/null || { echo "lintian is not installed"; exit 77; }
    lintian --fail-on error --tag-display-limit 0 "$deb"
    exit
fi

po=$4
scratch=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

root=$scratch/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/kp6 usr/bin/kp6-sim usr/share/kp6/ru/kp6.mo \
         usr/share/applications/kp6.desktop usr/share/icons/hicolor/scalable/apps/kp6.svg \
         usr/share/man/man1/kp6.1.gz usr/share/man/man1/kp6-sim.1.gz \
         usr/share/doc/kp6/copyright usr/share/doc/kp6/changelog.gz; do
    [ -f "$root/$f" ] || fail "$f is not in the package"
done
for p in "$root"/usr/bin/*; do
    [ -f "$root/usr/share/man/man1/$(basename "$p").1.gz" ] || fail "$p has no manual page"
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/kp6.desktop" || fail "desktop entry"
fi

title=$(awk '$0 == "msgid \"KP-6\"" { getline; sub(/^msgstr "/, ""); sub(/"$/, ""); print }' "$po")
[ -n "$title" ] || fail "no translation of KP-6 in $po"

mkdir "$scratch/cwd" "$scratch/no-devices"
(cd "$scratch/cwd" && KP6_PORTS= KP6_TTY_CLASS="$scratch/no-devices" \
    exec "$root/usr/bin/kp6" >"$scratch/stdout" 2>&1) &
pid=$!
window=
for _ in $(seq 400); do
    window=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -1) || true
    [ -n "$window" ] && break
    kill -0 "$pid" 2>/dev/null || fail "kp6 ended: $(cat "$scratch/stdout")"
    sleep 0.05
done
[ -n "$window" ] || fail "no window of kp6 appeared"
name=$(xdotool getwindowname "$window")
[ "$name" = "$title" ] || fail "window titled '$name', not '$title'"

# CR LF "Вход в программу" CR LF in code page 866.
printf '\r\n\x82\xe5\xae\xa4 \xa2 \xaf\xe0\xae\xa3\xe0\xa0\xac\xac\xe3\r\n' >"$scratch/start_line"
log=$scratch/cwd/port.out
for _ in $(seq 400); do
    [ "$(stat -c %s "$log" 2>/dev/null || echo 0)" -ge 20 ] && break
    sleep 0.05
done
cmp "$log" "$scratch/start_line" || fail "port.out is not the start line: $(od -c "$log")"
[ ! -e "$scratch/cwd/ru" ] || fail "a catalogue appeared in the working folder"
echo "unpacked kp6 titled '$name', start line written"
