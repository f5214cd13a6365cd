#!/usr/bin/env bash
# Screenshots of the updater's window at 100 % and 200 % for the README, as a
# user sees it: a second updater started on an installation that another
# one holds, which says so in its label ("更新已在进行中"). On Linux under an
# Xvfb display that announces its DPI as a desktop does (Xft.dpi); for
# Windows the Windows build of scripts/windows.sh under Wine, with the
# display's DPI set in Wine's registry.
#
#     bash scripts/screenshots.sh [linux] [windows]
#
# The pictures go to docs/screenshots/<system>-<scale>.png. The Linux
# updater comes from build-x/ (or $BUILD_DIR), the Windows one from
# build-windows/ (or $WINDOWS_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
lib_name=screenshots
# shellcheck source=scripts/lib.sh
source "$top/scripts/lib.sh"
out=$top/docs/screenshots
title='Velmora升级程序1.1'
export LC_ALL=C.UTF-8

fail() {
    printf 'screenshots: %s\n' "$*" >&2
    exit 1
}

pids=()
cleanup() {
    local pid
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

# window_of PID: leaves in window the visible window titled $title of PID.
window_of() {
    window=$(xdotool search --all --onlyvisible --pid "$1" --name "^$title\$" 2>/dev/null | head -n 1)
    [ -n "$window" ]
}

# shoot FILE COMMAND...: a first updater from COMMAND holds the installation,
# a second one shows why it changes nothing; its window goes to FILE.
shoot() {
    local file=$1 first second
    shift
    "$@" </dev/null >>"$work/updater.log" 2>&1 &
    first=$!
    pids+=("$first")
    wait_for 60 "the first updater's window" window_of "$first" || fail "$(cat "$work/updater.log")"
    "$@" </dev/null >>"$work/updater.log" 2>&1 &
    second=$!
    pids+=("$second")
    wait_for 60 "the second updater's window" window_of "$second" || fail "$(cat "$work/updater.log")"
    wait_for 30 "the window to be painted" painted "$window" "$file" || fail "nothing painted"
    # Under Wine the label's text may come a moment after the button; a
    # picture for people, so a second's wait is enough.
    sleep 1
    import -window "$window" "$file"
    kill "$second" "$first"
    wait "$second" "$first" 2>/dev/null || true
    printf 'screenshots: %s\n' "${file#"$top"/}"
}

linux() {
    local build=${BUILD_DIR:-$top/build-x} scale
    [ -x "$build/app/vlm-updater" ] || fail "no Linux updater in $build: build it first"
    for scale in 100 200; do
        work=$(mktemp -d)
        mkdir -p "$work/install/log"
        cp "$build/app/vlm-updater" "$work/install/"
        start_xvfb "$work" 800x600x24 || fail "Xvfb did not start"
        pids+=("$xvfb_pid")
        printf 'Xft.dpi:\t%d\n' $((96 * scale / 100)) | xrdb -nocpp -merge
        QT_QPA_PLATFORM=xcb shoot "$out/linux-$scale.png" "$work/install/vlm-updater"
        kill "$xvfb_pid"
        rm -rf "$work"
    done
}

windows() {
    local build=${WINDOWS_BUILD_DIR:-$top/build-windows} scale dir
    local cache=${VLM_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vlm-updater-windows}
    [ -f "$build/app/vlm-updater.exe" ] || fail "no Windows updater in $build: run scripts/windows.sh"
    # shellcheck disable=SC1091
    source "$cache/toolchain.env"
    export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
    local wine_path
    wine_path="$(winepath -w "$QT_WIN_PREFIX/bin")"
    IFS=: read -r -a dirs <<<"$MINGW_RUNTIME_DLLS"
    for dir in "${dirs[@]}"; do
        wine_path+=";$(winepath -w "$dir")"
    done
    [ -n "${OPENSSL_WIN_PREFIX:-}" ] && wine_path+=";$(winepath -w "$OPENSSL_WIN_PREFIX/bin")"
    export WINEPATH=$wine_path QT_PLUGIN_PATH="$(winepath -w "$QT_WIN_PREFIX/plugins")"
    for scale in 100 200; do
        work=$(mktemp -d)
        mkdir -p "$work/install/log"
        cp "$build/app/vlm-updater.exe" "$work/install/"
        start_xvfb "$work" 800x600x24 || fail "Xvfb did not start"
        pids+=("$xvfb_pid")
        wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
            /d $((96 * scale / 100)) /f >/dev/null 2>&1
        wineserver -w
        QT_QPA_PLATFORM=windows shoot "$out/windows-$scale.png" wine "$work/install/vlm-updater.exe"
        wineserver -k 2>/dev/null || true
        kill "$xvfb_pid"
        rm -rf "$work"
    done
    wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 || true
    wineserver -w
}

mkdir -p "$out"
[ $# -gt 0 ] || set -- linux windows
for system in "$@"; do
    case $system in
        linux | windows) "$system" ;;
        *) fail "no system $system: linux or windows" ;;
    esac
done
