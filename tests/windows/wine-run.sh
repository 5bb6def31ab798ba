#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix, where exactly one
# COM name, COM7, leads anywhere: to DIR/com7, a link the caller points at
# a pseudo-terminal. No COM name can reach a real serial device (on these
# machines /dev/ttyS0 is the system console):
#  - every other dosdevices/comN is a folder, so Wine cannot link it;
#  - as root, Wine runs in a private mount namespace where every serial
#    device node is covered by an empty file;
#  - before each run the links are checked, and the run refused if one
#    leads elsewhere.
#
#   wine-run.sh DIR setup       make the prefix (once)
#   wine-run.sh DIR stop        end the prefix's wine server
#   wine-run.sh DIR [--sim KP6-SIM [ARGS...] --] PROGRAM [ARGS...]
#                               with --sim, kp6-sim serves COM7 for the run;
#                               its output goes to DIR/sim.out
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: wine-run.sh DIR setup|stop|PROGRAM..." >&2; exit 2; }
mkdir -p "$1"
dir=$(cd "$1" && pwd)
shift
self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")

export WINEPREFIX=$dir/prefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
link=$dir/com7

# Re-enters this script in a private mount namespace when that is possible.
if [ "${KP6_WINE_NS:-}" != 1 ] && [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
    KP6_WINE_NS=1 exec unshare -m "$self" "$dir" "$@"
fi
if [ "${KP6_WINE_NS:-}" = 1 ]; then
    : >"$dir/no-device"
    for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA* /dev/rfcomm*; do
        [ -e "$dev" ] || continue
        mount --bind "$dir/no-device" "$dev"
    done
fi

check_links() {
    local l i
    # A missing entry is as bad as a link: Wine then maps COMn to
    # /dev/ttyS(n-1) by itself.
    for i in $(seq 1 256); do
        [ "$i" = 7 ] && continue
        l=$WINEPREFIX/dosdevices/com$i
        if [ -L "$l" ] || [ ! -d "$l" ]; then
            echo "wine-run: $l is not a folder" >&2
            exit 3
        fi
    done
    for l in "$WINEPREFIX"/dosdevices/*; do
        [ -L "$l" ] || continue
        case "$(basename "$l")" in
        c: | z:) ;;
        com7) [ "$(readlink "$l")" = "$link" ] || { echo "wine-run: $l leads elsewhere" >&2; exit 3; } ;;
        *) echo "wine-run: unexpected device link $l" >&2; exit 3 ;;
        esac
    done
}

start_server() {
    # One server for the whole run of tests (each program then starts in
    # a tenth of a second); it ends a while after its last client. It and
    # the system processes the first program starts stay off any pipe a
    # caller reads, or the caller would wait for them to end.
    exec 8>"$dir/server.lock"
    flock 8
    if wineserver -p30 </dev/null >/dev/null 2>&1 8>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 8>&- || true
    fi
    exec 8>&-
}

setup() {
    exec 9>"$dir/lock"
    flock 9
    [ -e "$dir/ready" ] && return 0
    rm -rf "$WINEPREFIX"
    # Made by hand so the folders are in place before Wine's first start.
    mkdir -p "$WINEPREFIX/dosdevices" "$WINEPREFIX/drive_c"
    ln -s ../drive_c "$WINEPREFIX/dosdevices/c:"
    ln -s / "$WINEPREFIX/dosdevices/z:"
    local i
    for i in $(seq 1 256); do
        [ "$i" = 7 ] || mkdir "$WINEPREFIX/dosdevices/com$i"
    done
    # (The lock stays with this script, not with the server.)
    wineboot -i </dev/null >"$dir/setup.log" 2>&1 9>&-
    # Without a window manager, hiding a window Wine manages costs 2 s.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$dir/setup.log" 2>&1 9>&-
    wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /d "$link" /f >>"$dir/setup.log" 2>&1 9>&-
    wineserver -k >>"$dir/setup.log" 2>&1 9>&- || true
    wineserver -w 9>&-
    # The next start links COM7 and lists it in the registry.
    wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >"$dir/serialcomm.txt" 2>>"$dir/setup.log" 9>&-
    wineserver -k >>"$dir/setup.log" 2>&1 9>&- || true
    wineserver -w 9>&-
    check_links
    grep -q 'COM7' "$dir/serialcomm.txt" || { echo "wine-run: COM7 is not mapped" >&2; exit 3; }
    touch "$dir/ready"
}

case "$1" in
setup)
    setup
    exit 0
    ;;
stop)
    [ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
    exit 0
    ;;
esac

[ -e "$dir/ready" ] || setup
check_links

# A Russian locale of the prefix's own: with LANG=ru_RU.UTF-8 Wine is then
# a Russian Windows (the window speaks the user's interface language),
# whether or not the machine has that locale installed.
locales=$dir/locale
if [ ! -d "$locales/ru_RU.UTF-8" ] && command -v localedef >/dev/null; then
    mkdir -p "$locales"
    new=$(mktemp -d "$locales/.new.XXXXXX")
    localedef -i ru_RU -f UTF-8 "$new/ru_RU.UTF-8" >/dev/null 2>&1 || true
    [ -d "$new/ru_RU.UTF-8" ] && mv -T "$new/ru_RU.UTF-8" "$locales/ru_RU.UTF-8" 2>/dev/null || true
    rm -rf "$new"
fi
export LOCPATH=$locales

sim_pid=
if [ "$1" = --sim ]; then
    shift
    sim=$1
    shift
    sim_args=()
    while [ "$1" != -- ]; do
        sim_args+=("$1")
        shift
    done
    shift
    listing=0
    for a in "$@"; do
        [ "$a" = --gtest_list_tests ] && listing=1
    done
    if [ $listing = 0 ]; then
        rm -f "$link"
        "$sim" --link "$link" "${sim_args[@]}" </dev/null >"$dir/sim.out" 2>&1 &
        sim_pid=$!
        for _ in $(seq 500); do
            [ -L "$link" ] && break
            sleep 0.01
        done
        [ -L "$link" ] || { echo "wine-run: kp6-sim did not start" >&2; kill "$sim_pid"; exit 3; }
    fi
fi

start_server
if [ -z "$sim_pid" ]; then
    exec wine "$@"
fi
rc=0
wine "$@" || rc=$?
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
exit $rc
