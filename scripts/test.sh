#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and
# with AddressSanitizer and UndefinedBehaviorSanitizer, and runs all tests.
# The updater under test talks to a local FTP server on a port picked here.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-tests}

bash "$top/scripts/setup.sh"
port=$(/usr/bin/python3 "$top/scripts/freeport.py")

cmake -S "$top" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Debug \
    -DUPDATER_WERROR=ON \
    -DUPDATER_SANITIZE=ON \
    -DUPDATE_HOST=127.0.0.1 \
    -DUPDATE_PORT="$port" >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j2 "$@"
