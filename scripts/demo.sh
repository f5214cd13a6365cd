#!/usr/bin/env bash
# Shows one whole update on this machine, with real parts only: the updater
# built from this tree, an FTP server on 127.0.0.1, 7za, minisign, an X
# display, and a stand-in product "vlm.exe" that reports which version runs
# and which files it found. The archive is signed with a key made for the
# demo and the updater is built with its public key; after the update to 2.0
# a second run is offered a 3.0 archive altered after signing, and refuses it.
#
#   bash scripts/demo.sh
#
# The updater is built in build-demo/; everything else goes under demo-run/,
# laid out anew on each run. With a working $DISPLAY you press the button
# yourself; without one (or with DEMO_HEADLESS=1) the demo starts its own Xvfb
# display and clicks the button with xdotool. Either way it saves screenshots
# of the window to demo-run/screenshot-idle.png and
# demo-run/screenshot-download.png. Exits non-zero when the update did not
# happen.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-demo
run=$top/demo-run
# A space and Chinese characters: the installation's path must survive the
# trip through the shell commands the updater runs.
install_dir="$run/Velmora 产品"
content=$run/update-content   # what goes into the archive
served=$run/ftp-root          # the folder the FTP server serves
py=/usr/bin/python3
title='Velmora升级程序1.1'
product=("$py" "$top/scripts/demo-product.py")

pids=()   # every process this script started itself

# The window is found by its Chinese title: xdotool matches it, and Qt sets
# the window's older name property, in the locale's encoding, which has to be
# UTF-8 for that (a bare "C" locale garbles the title there).
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
    export LC_ALL=C.UTF-8
fi

say() { printf '%s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds and fails
# with a message naming WHAT when SECONDS pass first.
wait_for() {
    local limit=$1 what=$2
    shift 2
    local deadline=$(($(date +%s) + limit))
    until "$@"; do
        if [ "$(date +%s)" -ge "$deadline" ]; then
            printf 'demo: gave up after %ss waiting for %s\n' "$limit" "$what" >&2
            return 1
        fi
        sleep 0.1
    done
}

# True while the process runs. A child that has ended but is not reaped yet
# (a zombie) counts as gone.
alive() {
    local state
    state=$(awk '/^State:/ {print $2}' "/proc/$1/status" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# The product that the updater started is ours as well; it is told apart
# from any other "vlm.exe" on the machine by its path.
ours_products() {
    local pid
    for pid in $(pgrep -x 'vlm\.exe' || true); do
        if tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF "$install_dir/vlm.exe"; then
            printf '%s\n' "$pid"
        fi
    done
}

cleanup() {
    local status=$? pid
    trap - EXIT
    for pid in "${pids[@]}" $(ours_products); do
        if alive "$pid"; then
            kill "$pid" 2>/dev/null || true
            wait_for 5 "process $pid to end" eval '! alive '"$pid" || kill -KILL "$pid" 2>/dev/null || true
        fi
    done
    if [ "$status" -ne 0 ]; then
        say "demo: FAILED (exit $status); the updater's output is in demo-run/updater.out" >&2
    fi
    exit "$status"
}
trap cleanup EXIT

# --- machine and installation -----------------------------------------------

say "== installing what is missing"
bash "$top/scripts/setup.sh"

say "== laying out $install_dir"
rm -rf "$run"
mkdir -p "$install_dir/log" "$install_dir/data" "$install_dir/config" "$served"
"$py" "$top/tests/support/fakeproduct.py" --write "$install_dir/vlm.exe" 1.0
printf 'Velmora 1.0\n' >"$install_dir/data/readme.txt"
printf '[product]\nversion=1.0\n' >"$install_dir/config/settings.ini"
printf 'Notes of the user; no update touches them.\n' >"$install_dir/data/user-notes.txt"

say "== making the update archive"
mkdir -p "$content/data/assets" "$content/data/lang/zh_CN" "$content/config"
"$py" "$top/tests/support/fakeproduct.py" --write "$content/vlm.exe" 2.0
printf 'Velmora 2.0\n' >"$content/data/readme.txt"
printf '[product]\nversion=2.0\n' >"$content/config/settings.ini"
printf '欢迎使用 Velmora 2.0\n' >"$content/data/lang/zh_CN/说明.txt"
# Random bytes do not compress, so the archive stays big enough for the
# download to take a few seconds at the server's throttled rate.
head -c $((4 * 1024 * 1024)) /dev/urandom >"$content/data/assets/textures.pak"
(cd "$content" && 7za a -tzip "$served/vlm_update.zip" . >/dev/null)
zip_size=$(stat -c %s "$served/vlm_update.zip")

say "== signing it as the publisher does"
mkdir -p "$run/keys"
minisign -G -W -p "$run/keys/publisher.pub" -s "$run/keys/publisher.key" >/dev/null
minisign -S -s "$run/keys/publisher.key" -m "$served/vlm_update.zip" -t "Velmora 2.0" >/dev/null
public_key=$(tail -n 1 "$run/keys/publisher.pub")
say "public key built into the updater: $public_key"
# The server's throttle sends in bursts about two seconds apart, and the
# first one comes too soon after the request for Qt to report progress on it;
# an eighth of the archive per second makes some six seconds of download, in
# which the label shows two or three percentages.
throttle=$((zip_size / 8))
say "vlm_update.zip: $zip_size bytes, served at $throttle bytes/s"

# --- FTP server and updater ---------------------------------------------------

# The port is compiled into the updater, so the server takes it before the
# build and keeps it: nothing else can grab it in between. Should another
# program take it first, the server dies at once and the next port is tried.
server_up_or_dead() { grep -qx "PORT $port" "$run/ftpserver.out" || ! alive "$ftp_pid"; }
for attempt in 1 2 3 4 5; do
    port=$("$py" "$top/scripts/freeport.py")
    "$py" "$top/tests/support/ftpserver.py" --root "$served" --port "$port" \
        --throttle "$throttle" </dev/null >"$run/ftpserver.out" 2>&1 &
    ftp_pid=$!
    wait_for 15 "the FTP server to listen" server_up_or_dead
    if alive "$ftp_pid"; then
        pids+=("$ftp_pid")
        break
    fi
    [ "$attempt" -lt 5 ] || fail "the FTP server did not start: $(cat "$run/ftpserver.out")"
done
say "FTP server on 127.0.0.1:$port (pid $ftp_pid)"

say "== building the updater for 127.0.0.1:$port in build-demo/"
if ! {
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_TESTS=OFF \
        -DUPDATE_HOST=127.0.0.1 -DUPDATE_PORT="$port" -DUPDATE_PUBLIC_KEY="$public_key" \
        && cmake --build "$build" --target vlm-updater
} >"$run/build.log" 2>&1; then
    cat "$run/build.log" >&2
    fail "the build failed"
fi
cp "$build/app/vlm-updater" "$install_dir/"

# --- the running product ------------------------------------------------------

# product_is VERSION: the product has reported itself at that version; leaves
# its pid in $product_pid.
product_is() {
    local version
    read -r version product_pid < <("${product[@]}" state "$install_dir" || true) || return 1
    [ "$version" = "$1" ]
}

(cd "$install_dir" && exec ./vlm.exe) </dev/null >/dev/null 2>&1 &
old_pid=$!
pids+=("$old_pid")
disown "$old_pid"   # its end by the updater's kill is expected: no "Killed" notice
wait_for 20 "the product 1.0 to report itself" product_is 1.0
[ "$product_pid" = "$old_pid" ] || fail "product-state.json names pid $product_pid, not $old_pid"
say "before: version 1.0 (pid $old_pid)"

# --- the window -----------------------------------------------------------------

if [ -z "${DEMO_HEADLESS:-}" ] && [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
    interactive=1
    say "== using your display $DISPLAY"
else
    interactive=0
    display_known() { [ -s "$run/xvfb.display" ] || ! alive "$xvfb_pid"; }
    Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp \
        3>"$run/xvfb.display" </dev/null >"$run/xvfb.out" 2>&1 &
    xvfb_pid=$!
    pids+=("$xvfb_pid")
    wait_for 20 "Xvfb to pick a display" display_known
    alive "$xvfb_pid" || fail "Xvfb did not start: $(cat "$run/xvfb.out")"
    display=$(head -n 1 "$run/xvfb.display")
    export DISPLAY=":$display"
    wait_for 10 "display $DISPLAY to answer" eval 'xdotool getdisplaygeometry >/dev/null 2>&1'
    say "== no display of yours: started Xvfb on $DISPLAY (pid $xvfb_pid)"
fi

# Started from another folder, as a shortcut may: the updater finds its
# installation by its own path.
(cd "$run" && exec "$install_dir/vlm-updater") </dev/null >"$run/updater.out" 2>&1 &
updater_pid=$!
pids+=("$updater_pid")
say "updater started (pid $updater_pid)"

window_shown() {
    window=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1)
    [ -n "$window" ]
}
wait_for 30 "the window \"$title\"" window_shown
say "window \"$title\" is up (X window $window)"

# screenshot FILE: succeeds once the window shows more than a blank area,
# i.e. Qt has painted it.
screenshot() {
    import -window "$window" "$1" 2>/dev/null && [ "$(identify -format %k "$1")" -gt 8 ]
}
wait_for 15 "the window to be painted" screenshot "$run/screenshot-idle.png"

if [ "$interactive" = 1 ]; then
    say ">> Press 开始更新 in the window \"$title\" (the demo waits up to 5 minutes)."
    press_limit=300
else
    xdotool mousemove --window "$window" 240 25 click 1
    say "clicked 开始更新"
    press_limit=15
fi

# The press first stops the product, then opens the local archive file.
download_started() { [ -e "$install_dir/vlm_update.zip" ]; }
wait_for "$press_limit" "the button to be pressed" download_started
wait_for 10 "the old product to be stopped" eval '! alive '"$old_pid"
say "download running; product 1.0 stopped"

# The label shows text while the local archive is still empty: that text is
# the download's progress, since the archive is written only once complete
# and the later texts ("解包中..", "启动程序...") come after that.
label_has_text() {
    [ "$(convert "$1" -crop 175x30+20+10 +repage -format %k info:)" -gt 1 ]
}
archive_empty() { [ ! -s "$install_dir/vlm_update.zip" ]; }
progress_shot=0
progress_shown() {
    archive_empty || return 0   # too late: the download is over
    import -window "$window" "$run/screenshot-download.png" 2>/dev/null \
        && label_has_text "$run/screenshot-download.png" && archive_empty && progress_shot=1
}
wait_for 60 "the label to show the download's progress" progress_shown
if [ "$progress_shot" = 1 ]; then
    say "screenshot of the running download: demo-run/screenshot-download.png"
else
    rm -f "$run/screenshot-download.png"
    say "the download ended before the label showed progress; no screenshot of it"
fi

# --- the outcome ----------------------------------------------------------------

wait_for 120 "the updater to finish" eval '! alive '"$updater_pid"
updater_status=0
wait "$updater_pid" || updater_status=$?
say "updater exited with code $updater_status"

wait_for 30 "the product 2.0 to report itself" product_is 2.0 \
    || fail "the product did not come back at version 2.0; now: $("${product[@]}" state "$install_dir" || echo nothing)"
say "after: version 2.0 (pid $product_pid)"
[ "$product_pid" != "$old_pid" ] || fail "version 2.0 runs under the old pid"
! alive "$old_pid" || fail "the old product (pid $old_pid) still runs"
say "old pid $old_pid is gone"

say "== what product 2.0 found of the archive's files"
"${product[@]}" verify "$install_dir" "$content" || fail "the installation does not hold the update"
grep -qx 'Notes of the user; no update touches them.' "$install_dir/data/user-notes.txt" \
    || fail "a file outside the update was changed"

say "== debug log (log/debug_MM-dd.log)"
shopt -s nullglob
logs=("$install_dir"/log/debug_*.log)
[ ${#logs[@]} -gt 0 ] || fail "the updater wrote no debug log"
for log in "${logs[@]}"; do
    say "--- log/${log##*/}"
    # Records start with CR LF; the CRs only clutter a terminal.
    tr -d '\r' <"$log"
done

say "== installed files"
(cd "$install_dir" && find . -type f -printf '%10s  %P\n' | sort -k2)

[ "$updater_status" -eq 0 ] || fail "the updater exited with code $updater_status"
say "demo: update from 1.0 to 2.0 done"

# --- a tampered archive -----------------------------------------------------------

say "== a 3.0 archive, signed, then altered on the server"
rm -f "$served/vlm_update.zip" "$served/vlm_update.zip.minisig"
"$py" "$top/tests/support/fakeproduct.py" --write "$content/vlm.exe" 3.0
(cd "$content" && 7za a -tzip "$served/vlm_update.zip" . >/dev/null)
minisign -S -s "$run/keys/publisher.key" -m "$served/vlm_update.zip" -t "Velmora 3.0" >/dev/null
printf 'X' | dd of="$served/vlm_update.zip" bs=1 seek=100 conv=notrunc status=none
before=$(cd "$install_dir" && find . -path ./log -prune -o -type f ! -name 'product-*' ! -name 'vlm_update.zip*' -print0 | sort -z | xargs -0 sha256sum)
second_pid=$product_pid

(cd "$run" && exec "$install_dir/vlm-updater") </dev/null >>"$run/updater.out" 2>&1 &
updater_pid=$!
pids+=("$updater_pid")
wait_for 30 "the window \"$title\"" window_shown
if [ "$interactive" = 1 ]; then
    say ">> Press 开始更新 again (the demo waits up to 5 minutes)."
    wait_for 300 "the button to be pressed" eval '! alive '"$second_pid"
else
    wait_for 15 "the window to be painted" screenshot "$run/screenshot-second.png"
    xdotool mousemove --window "$window" 240 25 click 1
    say "clicked 开始更新"
fi
wait_for 120 "the updater to finish" eval '! alive '"$updater_pid"
wait_for 30 "the product to run again" eval 'product_is 2.0 && [ "$product_pid" != "$second_pid" ]' \
    || fail "the product did not come back at version 2.0"
after=$(cd "$install_dir" && find . -path ./log -prune -o -type f ! -name 'product-*' ! -name 'vlm_update.zip*' -print0 | sort -z | xargs -0 sha256sum)
[ "$before" = "$after" ] || fail "the refused update changed the installation"
say "refused: the installation is unchanged and version 2.0 runs again (pid $product_pid)"
say "--- the log's last records"
tr -d '\r' <"${logs[0]}" | tail -n 4
grep -q 'the update was not installed: vlm_update.zip is refused' "${logs[0]}" \
    || fail "the log does not say why the update was refused"
say "demo: the tampered archive was refused"
