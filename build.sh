#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds, and either starts the tool, runs
# every test (the Windows program's under Wine too, and the fuzz targets a
# short while), makes the Debian package in build/ or the Windows program,
# its zip and its installer in build-win/, or runs the fuzz targets for
# longer.
#   bash build.sh run | test | package | windows | fuzz [SECONDS]
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make pkg-config libfltk1.3-dev libgtest-dev libgmock-dev
          gettext nlohmann-json3-dev xvfb xauth xdotool xclip x11-utils
          fonts-dejavu-core libssl-dev  # the journal's SHA-256 (libcrypto)
          libhpdf-dev libz-mingw-w64-dev poppler-utils qpdf  # the service report's PDF, and its checks
          dpkg-dev file lintian appstream bash-completion  # the package and its checks
          ser2net python3-serial  # network lines: the device server, the reference client
          g++-mingw-w64-x86-64-posix wine wine64 zip unzip locales  # the Windows program (locales: a Russian Wine),
          nsis librsvg2-bin icoutils  # its installer and icon
          clang  # the fuzz targets (libFuzzer)
          clang-format)  # the sources' style (tests/format_check.sh)

install_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures DIR with the CMake arguments given and builds it whole.
build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}

# The Windows program, cross-built; FLTK for Windows is built into the
# folder once. With a Linux build folder given, its kp6-sim and window
# driver take part in the tests under Wine.
build_windows() {
    local host=$1 args=()
    shift
    if [ -n "$host" ]; then args=(-DKP6_HOST_BUILD="$PWD/$host"); fi
    cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        "${args[@]}" >/dev/null
    cmake --build build-win -j"$(nproc)" "$@"
}

# The fuzz targets alone, built with clang into build-fuzz/.
build_fuzz() {
    build build-fuzz -DKP6_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
}

# Runs each fuzz target for `seconds`, from its seeds and what earlier runs
# found (kept in build-fuzz/corpus/NAME; the seeds are never written to).
# An input that fails a target lands in build-fuzz/found/NAME. The backup
# loader takes inputs up to a backup file's bound (1 MiB and one byte),
# from one near it too.
fuzz_long() {
    local seconds=$1 here=$PWD fuzzer name failed=() longer
    for fuzzer in build-fuzz/fuzz/*-fuzzer; do
        name=$(basename "$fuzzer" -fuzzer)
        longer=()
        mkdir -p "build-fuzz/corpus/$name" "build-fuzz/found/$name"
        if [ "$name" = backup ]; then
            longer=(-max_len=1048577)
            # A loadable backup of 85,000 keys near the bound, so that
            # mutations start there too (mutations alone grow slowly).
            { printf '{"version": 1, "controllers": [{"address": "01", "registers": '
              printf '{"ER78": 2, "ER79": 9, "ER72": 8, "ER74": 7, "ER75": 6, "ER77": 5}}],\n'
              seq -f '"%g": 0,' 1 85000
              printf '"end": 0}\n'; } >build-fuzz/corpus/backup/near-the-bound.json
        fi
        echo "== $name, ${seconds} s ${longer[*]} =="
        (cd "build-fuzz/found/$name" && "$here/$fuzzer" -max_total_time="$seconds" \
            "${longer[@]}" -close_fd_mask=1 -rss_limit_mb=1024 -print_final_stats=1 \
            "$here/build-fuzz/corpus/$name" "$here/fuzz/seeds/$name" >fuzz.log 2>&1) ||
            failed+=("$name")
        grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|SUMMARY)' \
            "build-fuzz/found/$name/fuzz.log" || true
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "failed: ${failed[*]} (see build-fuzz/found/)" >&2
        return 1
    fi
}

run_tests() {
    local dir=$1
    # Every test, GUI ones included, runs on a private headless X server.
    (cd "$dir" && xvfb-run -a -s "-screen 0 1600x1200x24" \
        ctest --output-on-failure --timeout 300 -j2)
}

case "${1:-}" in
run)
    install_packages
    # Only what it runs: the window, its catalogue and the simulator; the
    # tests are built by `test`.
    cmake -S . -B build >/dev/null
    cmake --build build -j"$(nproc)" --target kp6 catalogue kp6-sim
    cd build
    # The simulated controller comes first in the port list; closing the
    # window ends it.
    sim_out=$(mktemp)
    ./kp6-sim --state kp6-sim.state >"$sim_out" &
    sim=$!
    trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$sim_out"' EXIT
    for _ in $(seq 200); do
        [ -s "$sim_out" ] && break
        sleep 0.05
    done
    line=$(head -n 1 "$sim_out")
    KP6_PORTS="$line${KP6_PORTS:+:$KP6_PORTS}" ./kp6
    ;;
test)
    install_packages
    echo "== the C++ sources against .clang-format =="
    # A source that differs from the style stops the run here
    # (bash tests/format_check.sh --fix mends it).
    bash tests/format_check.sh
    build build
    run_tests build
    echo "== the Windows program, and its tests under Wine =="
    build_windows build
    run_tests build-win
    echo "== the fuzz targets, a fixed number of runs each =="
    build_fuzz
    (cd build-fuzz && ctest --output-on-failure -j2 -L fuzz)
    echo "== again under AddressSanitizer and UndefinedBehaviorSanitizer =="
    build build-asan -DKP6_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
        run_tests build-asan
    ;;
package)
    install_packages
    build build
    cmake --build build --target package
    ;;
windows)
    install_packages
    build_windows "" --target zip --target installer
    echo "made build-win/kp6-windows.zip"
    echo "made $(ls build-win/kp6-*-setup.exe)"
    ;;
fuzz)
    install_packages
    build_fuzz
    fuzz_long "${2:-300}"
    ;;
*)
    echo "usage: bash build.sh run|test|package|windows|fuzz [SECONDS]" >&2
    exit 2
    ;;
esac
