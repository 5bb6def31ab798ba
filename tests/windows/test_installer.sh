#!/usr/bin/env bash
# The installer as a technician runs it, under Wine in a fresh prefix of
# its own made by wine-run.sh (the same guarantees: COM7 alone leads
# anywhere, no COM name reaches a serial device), with a private home so
# that the prefix's Documents is a scratch folder:
#  - a silent install puts the programs, the catalogue, the Start-menu
#    shortcut and the Uninstall entry in place, with the version;
#  - the installed kp6.exe, started from another folder, comes up
#    translated and writes its start line there; started from its
#    shortcut, it writes it in Documents;
#  - a silent uninstall leaves no program, shortcut or entry behind, and
#    keeps a port.out the user left in the folder and the preferences the
#    tool wrote in AppData; /REMOVEPREFS removes those too; /D= chooses
#    the folder.
#   test_installer.sh SETUP_EXE VERSION WINE_RUN DIR PO_FILE
set -euo pipefail
setup=$1 version=$2 wine_run=$(realpath "$3") dir=$4 po=$5

fail() { echo "FAIL: $*"; exit 1; }
[ -f "$setup" ] || fail "no installer $setup"
pid=
cleanup() {
    if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
        wait "$pid" 2>/dev/null || true
    fi
    "$wine_run" "$dir" stop || true
    # A prefix takes some 700 MB; a failed run's stays to be looked at.
    [ -z "$passed" ] || rm -rf "$dir"
}
passed=
trap cleanup EXIT
if [ -d "$dir/prefix" ]; then "$wine_run" "$dir" stop || true; fi
rm -rf "$dir"
mkdir -p "$dir/home" "$dir/elsewhere"
export HOME=$dir/home
# A Russian Windows (wine-run.sh gives the prefix the locale): the tool
# speaks the user's interface language.
export LC_ALL= LC_MESSAGES= LANG=ru_RU.UTF-8
run() { "$wine_run" "$dir" "$@"; }
run setup

c=$dir/prefix/drive_c
pf=$c/Program\ Files/KP-6
menu=$c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/KP-6
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KP-6'
# One value of the Uninstall entry, or nothing.
value() { run reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }

run "$setup" /S || fail "the silent install failed"
for f in kp6.exe kp6ctl.exe ru/kp6.mo uninstall.exe; do
    [ -f "$pf/$f" ] || fail "$f is not installed"
done
[ -f "$menu/KP-6.lnk" ] || fail "no Start-menu shortcut"
# The shortcut starts the tool in the user's Documents.
strings -el "$menu/KP-6.lnk" | grep -qx '%USERPROFILE%\\Documents' ||
    fail "the shortcut does not start in Documents"
[ "$(value DisplayName)" = KP-6 ] || fail "DisplayName: $(value DisplayName)"
[ "$(value DisplayVersion)" = "$version" ] || fail "DisplayVersion: $(value DisplayVersion)"
[ -n "$(value Publisher)" ] || fail "no Publisher"
[ "$(value DisplayIcon)" = 'C:\Program Files\KP-6\kp6.exe,0' ] || fail "DisplayIcon: $(value DisplayIcon)"
[ "$(value UninstallString)" = '"C:\Program Files\KP-6\uninstall.exe"' ] ||
    fail "UninstallString: $(value UninstallString)"
[ "$(value QuietUninstallString)" = '"C:\Program Files\KP-6\uninstall.exe" /S' ] ||
    fail "QuietUninstallString: $(value QuietUninstallString)"
# Both programs carry the version resource and the icon.
for exe in kp6.exe kp6ctl.exe; do
    strings -el "$pf/$exe" | grep -A1 -x ProductVersion | grep -qx "$version" ||
        fail "$exe has no ProductVersion $version"
    strings -el "$pf/$exe" | grep -A1 -x FileVersion | grep -qx "$version" ||
        fail "$exe has no FileVersion $version"
    strings -el "$pf/$exe" | grep -A1 -x ProductName | grep -qx KP-6 || fail "$exe has no ProductName"
    wrestool -l --type=14 "$pf/$exe" | grep -q . || fail "$exe has no icon"
done

got=$(run 'C:\Program Files\KP-6\kp6ctl.exe' --version | tr -d '\r')
[ "$got" = "kp6ctl $version" ] || fail "kp6ctl.exe --version says '$got'"

title=$(awk '$0 == "msgid \"KP-6\"" { getline; sub(/^msgstr "/, ""); sub(/"$/, ""); print }' "$po")
[ -n "$title" ] || fail "no translation of KP-6 in $po"
# CR LF "Вход в программу" CR LF in code page 866.
printf '\r\n\x82\xe5\xae\xa4 \xa2 \xaf\xe0\xae\xa3\xe0\xa0\xac\xac\xe3\r\n' >"$dir/start_line"

# The window of process $1, titled $title, within a generous bound.
window_of() {
    local w name
    for _ in $(seq 600); do
        for w in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
            name=$(xdotool getwindowname "$w" 2>/dev/null) || continue
            [ "$name" = "$title" ] && { echo "$w"; return 0; }
        done
        kill -0 "$1" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
# Waits for the start line in port.out of folder $1.
start_line_in() {
    for _ in $(seq 600); do
        [ "$(stat -c %s "$1/port.out" 2>/dev/null || echo 0)" -ge 20 ] && break
        sleep 0.1
    done
    cmp "$1/port.out" "$dir/start_line" || fail "$1/port.out is not the start line"
}
# Ends kp6.exe, window $1, as a user does, with Alt+F4, and waits for its
# process $2.
close() {
    xdotool mousemove --window "$1" 100 100 sleep 0.1 key alt+F4 || true
    for _ in $(seq 300); do
        kill -0 "$2" 2>/dev/null || break
        sleep 0.1
    done
    kill "$2" 2>/dev/null || true
}

(cd "$dir/elsewhere" && KP6_PORTS= exec "$wine_run" "$dir" 'C:\Program Files\KP-6\kp6.exe' \
    >"$dir/kp6.out" 2>&1) &
pid=$!
w=$(window_of "$pid") || fail "no window titled $title: $(cat "$dir/kp6.out")"
start_line_in "$dir/elsewhere"
[ ! -e "$pf/port.out" ] || fail "port.out was written beside the program"
close "$w" "$pid"
wait "$pid" 2>/dev/null || true
pid=

# From the Start menu it runs in Documents, the private home here.
run start 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\KP-6\KP-6.lnk' ||
    fail "the shortcut did not start"
for _ in $(seq 600); do
    w=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1) || true
    [ -n "$w" ] && break
    sleep 0.1
done
[ -n "$w" ] || fail "no window titled $title from the shortcut"
pid=$(xdotool getwindowpid "$w")
start_line_in "$dir/home"
close "$w" "$pid"
pid=

# What the tool remembers is the user's, in AppData.
prefs=$(ls "$c"/users/*/AppData/Roaming/kp6/kp6.prefs 2>/dev/null | head -1)
[ -n "$prefs" ] || fail "the tool left no preferences in AppData"

# The user's own port.out in the program's folder outlives the uninstall.
echo mine >"$pf/port.out"
run 'C:\Program Files\KP-6\uninstall.exe' /S || fail "the silent uninstall failed"
# The uninstaller runs on from a copy of itself: wait for its end.
for _ in $(seq 600); do
    [ ! -e "$pf/uninstall.exe" ] && [ -z "$(value DisplayName)" ] && break
    sleep 0.1
done
for f in kp6.exe kp6ctl.exe ru uninstall.exe; do
    [ ! -e "$pf/$f" ] || fail "$f is left after the uninstall"
done
[ ! -e "$menu" ] || fail "the Start-menu folder is left after the uninstall"
[ -z "$(value DisplayName)" ] || fail "the Uninstall entry is left"
[ "$(cat "$pf/port.out")" = mine ] || fail "the user's port.out was removed"
[ -f "$prefs" ] || fail "the uninstall removed the user's preferences"

# /D= chooses the folder; emptied, it goes too.
run "$setup" /S '/D=C:\Tools\KP-6' || fail "the install into C:\\Tools\\KP-6 failed"
[ -f "$c/Tools/KP-6/kp6.exe" ] && [ -f "$c/Tools/KP-6/ru/kp6.mo" ] || fail "nothing in C:\\Tools\\KP-6"
[ "$(value InstallLocation)" = 'C:\Tools\KP-6' ] || fail "InstallLocation: $(value InstallLocation)"
run 'C:\Tools\KP-6\uninstall.exe' /S /REMOVEPREFS || fail "the second uninstall failed"
for _ in $(seq 600); do
    [ ! -e "$c/Tools/KP-6" ] && [ ! -e "$(dirname "$prefs")" ] && break
    sleep 0.1
done
[ ! -e "$c/Tools/KP-6" ] || fail "C:\\Tools\\KP-6 is left: $(ls -R "$c/Tools/KP-6")"
[ ! -e "$(dirname "$prefs")" ] || fail "/REMOVEPREFS left $(dirname "$prefs")"
echo "installed, started translated from another folder, uninstalled"
passed=1
