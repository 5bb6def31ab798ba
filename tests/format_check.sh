#!/usr/bin/env bash
# The C++ sources in the style .clang-format describes, as clang-format 14
# (Debian's clang-format) writes it. From anywhere in the tree:
#   bash tests/format_check.sh          names each tracked source that differs; 1 if any
#   bash tests/format_check.sh --diff   the same, with how each differs
#   bash tests/format_check.sh --fix    formats those files in place
# third_party/ is never looked at. 2: no clang-format 14, or a bad argument.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-check}
case "$mode" in
check | --diff | --fix) ;;
*)
    echo "usage: bash tests/format_check.sh [--diff | --fix]" >&2
    exit 2
    ;;
esac

# Another version lays some lines out otherwise: only 14 is the style.
format=
for c in clang-format-14 clang-format; do
    if command -v "$c" >/dev/null && "$c" --version | grep -q 'version 14\.'; then
        format=$c
        break
    fi
done
if [ -z "$format" ]; then
    echo "format_check: clang-format 14 is not installed (Debian 12: apt-get install clang-format)" >&2
    exit 2
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files -- '*.cpp' '*.h' ':!:third_party/')
else
    # An unpacked copy of the tree: its sources, without build folders.
    mapfile -t files < <(find . \( -path ./third_party -o -path './build*' -o -path ./.git \) -prune \
        -o -type f \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort)
fi

present=()
for f in "${files[@]}"; do
    [ -f "$f" ] && present+=("$f")  # not those deleted but not yet committed
done
files=("${present[@]}")
if [ ${#files[@]} -eq 0 ]; then
    echo "format_check: no sources found" >&2
    exit 2
fi
# One run over every file: each place it would change is a warning that
# names the file.
if ! report=$("$format" --dry-run --style=file "${files[@]}" 2>&1); then
    printf '%s\n' "$report" >&2
    echo "format_check: clang-format could not read the sources" >&2
    exit 2
fi
mapfile -t differ < <(printf '%s\n' "$report" |
    sed -n 's/^\(.*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' | sort -u)

if [ ${#differ[@]} -eq 0 ]; then
    echo "format_check: ${#files[@]} files in the style of .clang-format"
    exit 0
fi
if [ "$mode" = --fix ]; then
    "$format" --style=file -i "${differ[@]}"
    echo "format_check: formatted ${#differ[@]} files"
    exit 0
fi
for f in "${differ[@]}"; do
    echo "$f"
    if [ "$mode" = --diff ]; then
        "$format" --style=file "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" - || true
    fi
done
echo "format_check: ${#differ[@]} of ${#files[@]} files differ from .clang-format's style;" \
    "bash tests/format_check.sh --fix formats them" >&2
exit 1
