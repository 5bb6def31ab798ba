#!/usr/bin/env bash
# The Debian package as a user gets it.
#   test_package.sh lintian BUILD_DIR VERSION
#       lintian finds no errors in it (77: lintian is not installed)
#   test_package.sh start BUILD_DIR VERSION PO_FILE
#       unpacked into a scratch folder (never installed), its kp6 started from
#       a folder without a catalogue shows the translated title and writes
#       its start line to port.out there
#   test_package.sh completion BUILD_DIR VERSION
#       bash-completion's loader finds the unpacked package's completion for
#       kp6ctl, and its function completes commands, options, settings,
#       ports and files
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

if [ "$mode" = completion ]; then
    mkdir "$scratch/cwd" "$scratch/no-devices"
    touch "$scratch/cwd/backup.json" "$scratch/cwd/bench.txt"
    cd "$scratch/cwd"
    # Each case: the line typed after "kp6ctl ", a tab, and the completions.
    KP6_PORTS=/dev/pts/77:ttyFAKE3:tcp://127.0.0.1:7003 KP6_TTY_CLASS="$scratch/no-devices" PATH="$root/usr/bin:$PATH" \
        XDG_DATA_DIRS="$root/usr/share" XDG_DATA_HOME="$scratch/none" bash --norc --noprofile -c '
        . /usr/share/bash-completion/bash_completion
        __load_completion kp6ctl || { echo "FAIL: the loader finds no completion for kp6ctl"; exit 1; }
        registered=$(complete -p kp6ctl) || exit 1
        fn=${registered#*-F }; fn=${fn%% *}
        failed=0
        check() {
            # The words as bash splits them by default: at spaces and at "=".
            local line="kp6ctl $1" want=$2 w got
            COMP_LINE=$line COMP_POINT=${#line} COMP_WORDS=()
            for w in $line; do
                while [[ $w == *=* ]]; do
                    [ -n "${w%%=*}" ] && COMP_WORDS+=("${w%%=*}")
                    COMP_WORDS+=("=")
                    w=${w#*=}
                done
                [ -n "$w" ] && COMP_WORDS+=("$w")
            done
            [[ $line == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            COMPREPLY=()
            "$fn" kp6ctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
            got=$(printf "%s\n" "${COMPREPLY[@]}" | sort | xargs)
            [ "$got" = "$want" ] || { echo "FAIL: kp6ctl $1<tab>: \"$got\", not \"$want\""; failed=1; }
        }
        check "" "backup decode help journal monitor ports read report restore scan test write"
        check "--" "--address --converter --help --log --port --retries --stats --timeout --verbose --version"
        check "--port " "/dev/pts/77 tcp://127.0.0.1:7003 ttyFAKE3"
        check "--port=tty" "ttyFAKE3"
        check "-p tcp://127" "//127.0.0.1:7003"
        check "--log out.txt -v r" "read report restore"
        check "help re" "read report restore"
        check "restore --d" "--dry-run"
        check "scan --j" "--json"
        check "ports --" "--help --json"
        check "--port /dev/pts/77 --address 1f r" "read report restore"
        check "scan --" "--csv --from --help --json --read --to"
        check "write inv" "inverse="
        check "write er7" "er72= er74= er75= er77= er78= er79="
        check "write type=" "hand liter milliliter"
        check "write er79=5 type=li" "liter"
        check "write inverse=o" "off on"
        check "backup -o b" "backup.json bench.txt"
        check "restore -i ba" "backup.json"
        check "read --address " ""
        check "journal --v" "--verify"
        check "journal --since " ""
        check "monitor --" "--help --raw"
        check "decode --j" "--json"
        check "report --l" "--language"
        exit $failed'
    echo "completion of kp6ctl from the unpacked package"
    exit
fi
for f in usr/bin/kp6 usr/bin/kp6-sim usr/share/kp6/ru/kp6.mo \
         usr/share/applications/kp6.desktop usr/share/icons/hicolor/scalable/apps/kp6.svg \
         usr/share/man/man1/kp6.1.gz usr/share/man/man1/kp6-sim.1.gz \
         usr/share/doc/kp6/copyright usr/share/doc/kp6/changelog.gz \
         usr/share/bash-completion/completions/kp6ctl; do
    [ -f "$root/$f" ] || fail "$f is not in the package"
done
for p in "$root"/usr/bin/*; do
    [ -f "$root/usr/share/man/man1/$(basename "$p").1.gz" ] || fail "$p has no manual page"
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/kp6.desktop" || fail "desktop entry"
fi
# The software centre's entry: one, valid, naming the desktop entry.
metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
[ ${#metainfo[@]} -eq 1 ] && [ -f "${metainfo[0]}" ] || fail "no single metainfo file: ${metainfo[*]}"
appstreamcli validate --no-net "${metainfo[0]}" || fail "appstreamcli refuses ${metainfo[0]}"
grep -q '<launchable type="desktop-id">kp6.desktop</launchable>' "${metainfo[0]}" ||
    fail "the metainfo does not name kp6.desktop"
grep -q "<release version=\"$version\"" "${metainfo[0]}" || fail "the metainfo has no release $version"
# The package's description names every program beside the tool.
# (read once: grep -q closing the pipe early would fail dpkg-deb under pipefail)
description=$(dpkg-deb -f "$deb" Description)
for p in "$root"/usr/bin/*; do
    p=$(basename "$p")
    [ "$p" = kp6 ] || grep -qw -- "$p" <<<"$description" ||
        fail "the package's description does not name $p"
done
# ... and says the window is in the user's language, not in one alone.
grep -qw English <<<"$description" || fail "the package's description names no English window"

po=$4
title=$(awk '$0 == "msgid \"KP-6\"" { getline; sub(/^msgstr "/, ""); sub(/"$/, ""); print }' "$po")
[ -n "$title" ] || fail "no translation of KP-6 in $po"

mkdir "$scratch/cwd" "$scratch/no-devices"
# (What the window remembers goes to a scratch home.)
(cd "$scratch/cwd" && KP6_PORTS= KP6_TTY_CLASS="$scratch/no-devices" HOME="$scratch" \
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
