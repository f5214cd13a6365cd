#!/usr/bin/env bash
# Shows one whole update on this machine, with real parts only: the updater
# built from this tree, an FTP server on 127.0.0.1, 7za, minisign, an X
# display, and the stand-in product "vlm.exe" (standin/standinproduct.cpp)
# that reports which version runs and which files it found. The archive is signed with a key made for the
# demo and the updater is built with its public key; after the update to 2.0
# a second run is offered a 3.0 archive altered after signing, and refuses it;
# a third is offered release 1.5, soundly signed a day before 2.0, and refuses
# to go back to it.
#
#   bash scripts/demo.sh
#
# The updater and the stand-in are built in build-demo/; everything else goes under demo-run/,
# laid out anew on each run. With a working $DISPLAY you press the button
# yourself; without one (or with DEMO_HEADLESS=1) the demo starts its own Xvfb
# display and clicks the button with xdotool. Either way it saves screenshots
# of the window to demo-run/screenshot-idle.png and
# demo-run/screenshot-download.png. Exits non-zero when the update did not
# happen.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
lib_name=demo
# shellcheck source=scripts/lib.sh
source "$top/scripts/lib.sh"
build=$top/build-demo
run=$top/demo-run
# A space and Chinese characters: the installation's path must survive the
# trip through the shell commands the updater runs.
install_dir="$run/Velmora 产品"
content=$run/update-content   # what goes into the archive
served=$run/ftp-root          # the folder the FTP server serves
title=$updater_title
standin=$build/standin/standinproduct
# Each stand-in lists the files it finds when it starts (product-files.txt).
export VLM_STANDIN_SNAPSHOT=1

pids=()   # every process this script started itself

# The window is found by its Chinese title: xdotool matches it, and Qt sets
# the window's older name property, in the locale's encoding, which has to be
# UTF-8 for that (a bare "C" locale garbles the title there).
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
    export LC_ALL=C.UTF-8
fi

say() { printf '%s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# The product that the updater started is ours as well; it is told apart
# from any other "vlm.exe" on the machine by the program it runs.
ours_products() {
    local pid
    for pid in $(pgrep -x 'vlm\.exe' || true); do
        case $(readlink "/proc/$pid/exe" 2>/dev/null) in
            "$install_dir/vlm.exe"*) printf '%s\n' "$pid" ;;
        esac
    done
}

cleanup() {
    local status=$? pid
    trap - EXIT
    for pid in "${pids[@]}" $(ours_products); do
        if alive "$pid"; then
            kill "$pid" 2>/dev/null || true
            wait_for 5 "process $pid to end" gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
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

# The stand-in goes into the installation and the archive, whose size sets
# the server's throttle; so it is built before the server takes its port.
# The updater's own build follows once the port is known.
say "== building the stand-in product in build-demo/"
rm -rf "$run"
mkdir -p "$run"
if ! {
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_TESTS=ON \
        && cmake --build "$build" --target standinproduct
} >"$run/build.log" 2>&1; then
    cat "$run/build.log" >&2
    fail "the build failed"
fi

# write_product DIR VERSION: the stand-in as DIR/vlm.exe, at that version.
write_product() {
    put_product "$1" "$standin" "$2"
}

say "== laying out $install_dir"
mkdir -p "$install_dir/data" "$install_dir/config" "$served"
lay_out_installation "$install_dir" "$standin" 1.0
printf 'Velmora 1.0\n' >"$install_dir/data/readme.txt"
printf '[product]\nversion=1.0\n' >"$install_dir/config/settings.ini"
printf 'Notes of the user; no update touches them.\n' >"$install_dir/data/user-notes.txt"

say "== making the update archive"
mkdir -p "$content/data/assets" "$content/data/lang/zh_CN" "$content/config"
write_product "$content" 2.0
printf 'Velmora 2.0\n' >"$content/data/readme.txt"
printf '[product]\nversion=2.0\n' >"$content/config/settings.ini"
printf '欢迎使用 Velmora 2.0\n' >"$content/data/lang/zh_CN/说明.txt"
# Random bytes do not compress, so the archive stays big enough for the
# download to take a few seconds at the server's throttled rate.
head -c $((4 * 1024 * 1024)) /dev/urandom >"$content/data/assets/textures.pak"
make_update_archive "$content" "$served/vlm_update.zip"
zip_size=$(stat -c %s "$served/vlm_update.zip")

say "== signing it as the publisher does"
mkdir -p "$run/keys"
minisign -G -W -p "$run/keys/publisher.pub" -s "$run/keys/publisher.key" >/dev/null
# Without -t the tool signs "timestamp:<now>", the file's name and "hashed":
# the updater refuses a release signed earlier than the installed one.
minisign -S -s "$run/keys/publisher.key" -m "$served/vlm_update.zip" >/dev/null
say "trusted comment: $(sed -n 's/^trusted comment: //p' "$served/vlm_update.zip.minisig" | tr '\t' ' ')"
# Release 1.5, as its signature from a day earlier would have it; served last.
older=$run/older-release
mkdir -p "$older/content"
cp -r "$content/." "$older/content/"
write_product "$older/content" 1.5
make_update_archive "$older/content" "$older/vlm_update.zip"
minisign -S -s "$run/keys/publisher.key" -m "$older/vlm_update.zip" \
    -t "$(printf 'timestamp:%s\tfile:vlm_update.zip\thashed' $(($(date +%s) - 86400)))" >/dev/null
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
start_ftp_server "$run/ftpserver.out" free --root "$served" --throttle "$throttle" \
    || fail "the FTP server did not start: $(cat "$run/ftpserver.out")"
port=$ftp_port
pids+=("$ftp_pid")
say "FTP server on 127.0.0.1:$port (pid $ftp_pid)"

say "== building the updater for 127.0.0.1:$port in build-demo/"
if ! {
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_TESTS=ON \
        -DUPDATE_HOST=127.0.0.1 -DUPDATE_PORT="$port" -DUPDATE_PUBLIC_KEY="$public_key" \
        && cmake --build "$build" --target vlm-updater
} >>"$run/build.log" 2>&1; then
    cat "$run/build.log" >&2
    fail "the build failed"
fi
cp "$build/app/vlm-updater" "$install_dir/"

# --- the running product ------------------------------------------------------

(cd "$install_dir" && exec ./vlm.exe) </dev/null >/dev/null 2>&1 &
old_pid=$!
pids+=("$old_pid")
disown "$old_pid"   # its end by the updater's kill is expected: no "Killed" notice
wait_for 20 "the product 1.0 to report itself" product_is "$install_dir" 1.0
[ "$product_pid" = "$old_pid" ] || fail "product-started.txt names pid $product_pid, not $old_pid"
say "before: version 1.0 (pid $old_pid)"

# --- the window -----------------------------------------------------------------

if [ -z "${DEMO_HEADLESS:-}" ] && [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
    interactive=1
    say "== using your display $DISPLAY"
else
    interactive=0
    start_xvfb "$run" 640x480x24 || fail "Xvfb did not start: $(cat "$run/xvfb.log")"
    pids+=("$xvfb_pid")
    say "== no display of yours: started Xvfb on $DISPLAY (pid $xvfb_pid)"
fi

# Started from another folder, as a shortcut may: the updater finds its
# installation by its own path. A person at their own display presses.
press_by_hand=$interactive
press_update "$run" "$title" "$run/screenshot-idle.png" "$install_dir/vlm-updater" \
    || { pids+=("$updater_pid"); fail "the updater's window did not come up"; }
pids+=("$updater_pid")
say "updater started (pid $updater_pid); window \"$title\" is up (X window $window)"

if [ "$interactive" = 1 ]; then
    say ">> Press 开始更新 in the window \"$title\" (the demo waits up to 5 minutes)."
    press_limit=300
else
    say "clicked 开始更新"
    press_limit=15
fi

# The press first stops the product, then opens the local archive file.
download_started() { [ -e "$install_dir/vlm_update.zip" ]; }
wait_for "$press_limit" "the button to be pressed" download_started
wait_for 10 "the old product to be stopped" gone "$old_pid"
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

wait_for_update 120 || fail "the updater did not finish"
say "updater exited with code $updater_status"

wait_for 30 "the product 2.0 to report itself" product_is "$install_dir" 2.0 \
    || fail "the product did not come back at version 2.0; now: $(tail -n 1 "$install_dir/product-started.txt" 2>/dev/null || echo nothing)"
say "after: version 2.0 (pid $product_pid)"
[ "$product_pid" != "$old_pid" ] || fail "version 2.0 runs under the old pid"
! alive "$old_pid" || fail "the old product (pid $old_pid) still runs"
say "old pid $old_pid is gone"

# found_by_product CONTENT: checks that the running product found every file
# of the folder CONTENT (what went into the archive) with the same size and
# SHA-256, one line per file.
found_by_product() {
    local path relative size line bad=0
    while IFS= read -r -d '' path; do
        relative=${path#"$1"/}
        size=$(stat -c %s "$path")
        line="$(sha256sum <"$path" | cut -d ' ' -f 1) $size $relative"
        if grep -qxF "$line" "$install_dir/product-files.txt"; then
            printf '  ok       %s (%s bytes)\n' "$relative" "$size"
        else
            bad=1
            printf '  DIFFERS  %s: expected %s, product saw %s\n' "$relative" "${line% "$relative"}" \
                "$(awk -v p="$relative" 'substr($0, length($1) + length($2) + 3) == p { print $1, $2 }' \
                    "$install_dir/product-files.txt")"
        fi
    done < <(find "$1" -type f -print0 | sort -z)
    return "$bad"
}

say "== what product 2.0 found of the archive's files"
found_by_product "$content" || fail "the product did not find the update's files"
check_update "$install_dir" "$content" || fail "the installation does not hold the update"
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
write_product "$content" 3.0
make_update_archive "$content" "$served/vlm_update.zip"
minisign -S -s "$run/keys/publisher.key" -m "$served/vlm_update.zip" -t "Velmora 3.0" >/dev/null
# The altered byte lies in the data of version.txt, the one file that differs
# from 2.0: a download that reuses the installed release's archive fetches
# only what changed, and must fetch that byte.
/usr/bin/python3 - "$served/vlm_update.zip" <<'PY'
import struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    entry = archive.getinfo("version.txt")
with open(sys.argv[1], "r+b") as archive:
    archive.seek(entry.header_offset + 26)
    name_length, extra_length = struct.unpack("<HH", archive.read(4))
    archive.seek(entry.header_offset + 30 + name_length + extra_length)
    byte = archive.read(1)
    archive.seek(-1, 1)
    archive.write(bytes([byte[0] ^ 0x20]))
PY
# refused WHAT: runs the updater on what the server holds now, presses the
# button and checks that the update was refused: the installation unchanged,
# version 2.0 running again, and the reason in the log's last records.
refused() {
    local what=$1 before after second_pid=$product_pid
    before=$(installed_files)
    press_update "$run" "$title" "$run/screenshot-second.png" "$install_dir/vlm-updater" \
        || { pids+=("$updater_pid"); fail "the updater's window did not come up"; }
    pids+=("$updater_pid")
    if [ "$interactive" = 1 ]; then
        say ">> Press 开始更新 again (the demo waits up to 5 minutes)."
        wait_for 300 "the button to be pressed" gone "$second_pid"
    else
        say "clicked 开始更新"
    fi
    wait_for_update 120 || fail "the updater did not finish"
    runs_again() { product_is "$install_dir" 2.0 && [ "$product_pid" != "$second_pid" ]; }
    wait_for 30 "the product to run again" runs_again \
        || fail "the product did not come back at version 2.0"
    after=$(installed_files)
    [ "$before" = "$after" ] || fail "the refused update changed the installation"
    say "refused: the installation is unchanged and version 2.0 runs again (pid $product_pid)"
    say "--- the log's last records"
    tr -d '\r' <"${logs[0]}" | grep -v '^$' | tail -n 3
    tr -d '\r' <"${logs[0]}" | grep -v '^$' | tail -n 3 \
        | grep -q "the update was not installed: vlm_update.zip is refused: $what" \
        || fail "the log does not say why the update was refused"
}
installed_files() {
    (cd "$install_dir" && find . -path ./log -prune -o -type f ! -name 'product-*' \
        ! -name 'vlm_update.zip*' -print0 | sort -z | xargs -0 sha256sum)
}

refused ""
say "demo: the tampered archive was refused"

# --- an older release, soundly signed ------------------------------------------

say "== release 1.5, signed a day before 2.0, served in its place"
cp "$older/vlm_update.zip" "$older/vlm_update.zip.minisig" "$served/"
refused "it is an older release than the one installed"
say "demo: the older release was refused"
