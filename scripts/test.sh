#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# once as users get it (optimised), once with AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer, where any report fails the
# test that caused it. Warnings are errors in both builds. The updater under
# test talks to a local FTP server on a port picked here. Then the Windows
# lane (scripts/windows.sh) builds the updater for Windows and tries it under
# Wine; WINDOWS_LANE=0 leaves it out.
# Arguments are passed to the Linux builds' ctest (for instance -R tst_faults).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
builds=${BUILD_DIR:-$top/build-tests}

bash "$top/scripts/setup.sh"

run_suite() {
    local build=$1 sanitize=$2 type=$3
    shift 3
    local port
    port=$(/usr/bin/python3 "$top/scripts/freeport.py")
    echo "== $(basename "$build"): $type, sanitizers $sanitize"
    cmake -S "$top" -B "$build" -G Ninja \
        -DCMAKE_BUILD_TYPE="$type" \
        -DUPDATER_WERROR=ON \
        -DUPDATER_SANITIZE="$sanitize" \
        -DUPDATE_HOST=127.0.0.1 \
        -DUPDATE_PORT="$port" >/dev/null
    cmake --build "$build"
    # The tests that stop "vlm.exe" run one at a time (RUN_SERIAL), and the
    # two builds one after the other for the same reason.
    (cd "$build" && ctest --output-on-failure -j2 "$@")
}

run_suite "$builds" OFF RelWithDebInfo "$@"
run_suite "$builds-sanitize" ON Debug "$@"
if [ "${WINDOWS_LANE:-1}" = 0 ]; then
    echo "== Windows lane: left out (WINDOWS_LANE=0)"
else
    echo "== Windows lane"
    bash "$top/scripts/windows.sh"
fi
