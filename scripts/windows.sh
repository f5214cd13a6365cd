#!/usr/bin/env bash
# The Windows lane: cross-compiles the updater and its tests for Windows with
# MinGW-w64, runs the suites that make sense there under Wine, and then one
# real update end to end: the Windows updater, pressed with xdotool on an
# Xvfb display, updates a Windows stand-in product in a folder whose name
# holds a space and Chinese characters, from a local FTP server.
#
#     bash scripts/windows.sh
#
# The toolchain (Qt for MinGW-w64, 7za.exe, libsodium) is built once per
# machine by scripts/windows-toolchain.sh and kept outside the checkout.
# Everything else goes to build-windows/ (or $WINDOWS_BUILD_DIR). Wine runs
# with a Western code page (C.UTF-8 gives ANSI code page 1252), which cannot
# spell the installation's Chinese name: the start of the product must not
# depend on it.
#
# The suites reach the Linux test FTP server and minisign through
# tests/support/testservices.py, which this script starts on 127.0.0.1 and
# names to them in VLM_TEST_SERVICES: a Windows program under Wine can start
# a Linux one, but can neither wait for it nor read its output.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
lib_name=windows
# shellcheck source=scripts/lib.sh
source "$top/scripts/lib.sh"
build=${WINDOWS_BUILD_DIR:-$top/build-windows}
title=$updater_title
py=/usr/bin/python3

say() { printf 'windows: %s\n' "$*"; }
fail() {
    printf 'windows: FAILED: %s\n' "$*" >&2
    exit 1
}

bash "$top/scripts/setup.sh"
bash "$top/scripts/windows-toolchain.sh"
cache_root=${VLM_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vlm-updater-windows}
# shellcheck disable=SC1091
source "$cache_root/toolchain.env"

# --- the build ----------------------------------------------------------------

port=$("$py" "$top/scripts/freeport.py")
say "building in $build (FTP port $port)"
mkdir -p "$build"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DUPDATER_WERROR=ON \
    -DUPDATE_HOST=127.0.0.1 -DUPDATE_PORT="$port" >"$build/configure.log" \
    || { cat "$build/configure.log" >&2; fail "configuring the Windows build"; }
cmake --build "$build" || fail "the Windows build"

# --- Wine and the display -----------------------------------------------------

export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
export LANG=C.UTF-8 LC_ALL=C.UTF-8
winpath() { winepath -w "$1" 2>/dev/null; }

pids=()
cleanup() {
    local status=$? pid
    trap - EXIT
    wineserver -k 2>/dev/null || true
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_xvfb "$build" 800x600x24 || fail "Xvfb did not start: $(cat "$build/xvfb.log")"
pids+=("$xvfb_pid")

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "making the Wine prefix $WINEPREFIX"
    wineboot -i >"$build/wineboot.log" 2>&1 || fail "wineboot: $(tail -n 20 "$build/wineboot.log")"
fi
wineserver -w

# Windows programs find Qt's DLLs, MinGW's runtime and 7za.exe on the path,
# and Qt's plugins through QT_PLUGIN_PATH.
wine_path="$(winpath "$QT_WIN_PREFIX/bin");$(winpath "$OPENSSL_WIN_PREFIX/bin");$(winpath "$(dirname "$SEVENZIP_WIN_EXE")")"
IFS=: read -r -a runtime_dirs <<<"$MINGW_RUNTIME_DLLS"
for dir in "${runtime_dirs[@]}"; do
    wine_path+=";$(winpath "$dir")"
done
export WINEPATH=$wine_path
export QT_PLUGIN_PATH=$(winpath "$QT_WIN_PREFIX/plugins")

# --- the suites ---------------------------------------------------------------

: >"$build/testservices.log"
start_listening "$build/testservices.log" "$py" "$top/tests/support/testservices.py" \
    || fail "the test services did not start: $(cat "$build/testservices.log")"
pids+=("$listener_pid")
export VLM_TEST_SERVICES=127.0.0.1:$listener_port
say "test services (FTP server, minisign) on $VLM_TEST_SERVICES"

# ctest runs each suite under Wine, the emulator this build names for its
# tests; suites that need Linux (the X11-driven system tests) are not built
# for Windows, and what only Linux has is skipped and said.
# WINDOWS_SUITES="tst_a tst_b" runs only those. One suite at a time: they
# share one wineserver, and several stop every "vlm.exe".
ctest_args=(--output-on-failure)
if [ -n "${WINDOWS_SUITES:-}" ]; then
    ctest_args+=(-R "^(${WINDOWS_SUITES// /|})\$")
fi
(cd "$build" && ctest "${ctest_args[@]}") || fail "suites failed under Wine"

# --- one real update ----------------------------------------------------------

run=$build/e2e
install_dir="$run/Velmora 产品"
content=$run/update-content
served=$run/ftp-root
say "end to end: laying out $install_dir"
rm -rf "$run"
mkdir -p "$install_dir/data" "$content/data" "$content/资料" "$served"

# What a deployment puts beside the updater (windeployqt does this on
# Windows): Qt's libraries and platform plugin, the compiler's runtime, 7za.
cp "$build/app/vlm-updater.exe" "$install_dir/"
for dll in Qt5Core Qt5Gui Qt5Widgets Qt5Network; do
    cp "$QT_WIN_PREFIX/bin/$dll.dll" "$install_dir/"
done
mkdir -p "$install_dir/platforms" "$install_dir/styles"
cp "$QT_WIN_PREFIX/plugins/platforms/qwindows.dll" "$install_dir/platforms/"
cp "$QT_WIN_PREFIX/plugins/styles/qwindowsvistastyle.dll" "$install_dir/styles/"
for dir in "${runtime_dirs[@]}"; do
    for dll in libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll; do
        [ -f "$dir/$dll" ] && cp "$dir/$dll" "$install_dir/"
    done
done
cp "$SEVENZIP_WIN_EXE" "$install_dir/"
product=$build/standin/standinproduct.exe
lay_out_installation "$install_dir" "$product" 1
printf 'Velmora 1\r\n' >"$install_dir/data/readme.txt"
printf 'not in the archive\r\n' >"$install_dir/user-notes.txt"

put_product "$content" "$product" 2
printf 'Velmora 2\r\n' >"$content/data/readme.txt"
printf '欢迎使用 Velmora 2\r\n' >"$content/资料/说明 文件.txt"
make_update_archive "$content" "$served/vlm_update.zip"

start_ftp_server "$run/ftpserver.out" "$port" --root "$served" \
    || fail "the FTP server did not start: $(cat "$run/ftpserver.out")"
pids+=("$ftp_pid")

(cd "$install_dir" && exec wine ./vlm.exe) </dev/null >"$run/product-1.out" 2>&1 &
wait_until 60 product_is "$install_dir" 1 || fail "the product of version 1 did not start"
say "product 1 runs"

# Started from another folder, as a shortcut's "Start in" may do.
press_update "$run" "$title" "$run/screenshot-idle.png" wine "$install_dir/vlm-updater.exe" \
    || fail "the updater's window did not come up: $(cat "$run/updater.out")"
pressed=$SECONDS
say "pressed 开始更新 (window $window)"

wait_for_update 120 || fail "the updater did not finish"
[ "$updater_status" -eq 0 ] || fail "the updater exited with $updater_status"
took=$((SECONDS - pressed))
wait_until 60 product_is "$install_dir" 2 || fail "the product of version 2 did not start; log: $(cat "$install_dir"/log/*.log)"
say "product 2 runs; the update took ${took}s from the press"
# A start command that waited for the console product would have held the
# updater for the runner's whole bound of 10 s.
[ "$took" -lt 10 ] || fail "the updater waited ${took}s: the start command blocked on the product"

check_update "$install_dir" "$content" || fail "the installation does not hold the update"
grep -q 'not in the archive' "$install_dir/user-notes.txt" || fail "a file outside the update changed"
say "--- log"
tr -d '\r' <"$install_dir"/log/debug_*.log | sed 's/^/    /'
say "screenshot: ${run#"$top"/}/screenshot-idle.png"
say "Windows lane passed"
