# What scripts/demo.sh, scripts/windows.sh and bench/run share: waiting for a
# condition, programs that name the port they listen on (the test FTP server,
# the test services), a private Xvfb display, the updater's window and its
# button, and what the stand-in product reports. Sourced, not run:
#
#     lib_name=demo     # the prefix of this library's messages
#     source "$top/scripts/lib.sh"
#
# poll_interval (seconds, default 0.1) sets how often conditions are polled.

lib_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
lib_py=/usr/bin/python3
lib_name=${lib_name:-$(basename "$0")}
poll_interval=${poll_interval:-0.1}

# alive PID: true while the process runs. A child that has ended but is not
# reaped yet (a zombie) counts as gone.
alive()
{
    local state
    state=$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

gone()
{
    ! alive "$1"
}

# Microseconds of the real-time clock, whatever the locale's decimal sign.
lib_now()
{
    echo "${EPOCHREALTIME//[!0-9]/}"
}

# wait_until SECONDS COMMAND...: polls COMMAND until it succeeds; fails once
# SECONDS have passed.
wait_until()
{
    local limit=$1
    shift
    local deadline=$(($(lib_now) + limit * 1000000))
    until "$@"; do
        [ "$(lib_now)" -lt "$deadline" ] || return 1
        sleep "$poll_interval"
    done
}

# wait_for SECONDS WHAT COMMAND...: the same, saying on standard error what
# it gave up waiting for.
wait_for()
{
    local limit=$1 what=$2
    shift 2
    wait_until "$limit" "$@" && return 0
    printf '%s: gave up after %ss waiting for %s\n' "$lib_name" "$limit" "$what" >&2
    return 1
}

# --- programs that print "PORT <n>" once they listen --------------------------

# Only what the program printed counts, not what OUTPUT held before it.
lib_listening()
{
    listener_port=$(tail -c +"$(($3 + 1))" "$2" 2>/dev/null \
        | sed -n 's/^PORT \([0-9][0-9]*\)\r\{0,1\}$/\1/p' | tail -n 1)
    [ -n "$listener_port" ] || gone "$1"
}

# start_listening OUTPUT COMMAND...: starts COMMAND in the background, its
# output appended to OUTPUT, and waits (20 s) until it names its port. Leaves
# listener_pid and listener_port; fails, the program ended, when it does not.
start_listening()
{
    local output=$1 before
    shift
    listener_port=
    before=$(stat -c %s "$output" 2>/dev/null || echo 0)
    "$@" </dev/null >>"$output" 2>&1 &
    listener_pid=$!
    if wait_until 20 lib_listening "$listener_pid" "$output" "$before" && alive "$listener_pid"; then
        return 0
    fi
    kill "$listener_pid" 2>/dev/null || true
    wait "$listener_pid" 2>/dev/null || true
    return 1
}

# start_ftp_server OUTPUT PORT ARGUMENT...: tests/support/ftpserver.py on
# 127.0.0.1:PORT with the arguments, its output appended to OUTPUT. With PORT
# "free" it takes a free one, and another should a program take that first
# (five tries). Leaves ftp_pid and ftp_port.
start_ftp_server()
{
    local output=$1 wanted=$2 port attempt
    shift 2
    for attempt in 1 2 3 4 5; do
        port=$wanted
        [ "$wanted" = free ] && port=$("$lib_py" "$lib_top/scripts/freeport.py")
        start_listening "$output" "$lib_py" "$lib_top/tests/support/ftpserver.py" \
            --port "$port" "$@" || { [ "$wanted" = free ] && continue; return 1; }
        if [ "$listener_port" = "$port" ]; then
            ftp_pid=$listener_pid ftp_port=$port
            return 0
        fi
        # An older PORT line of a shared output file answered: this server is
        # not the one asked for, and must not be left running.
        kill "$listener_pid" 2>/dev/null || true
        wait "$listener_pid" 2>/dev/null || true
        [ "$wanted" = free ] || return 1
    done
    return 1
}

# --- the display, the window, the button --------------------------------------

lib_display_named()
{
    [ -s "$1" ] || gone "$2"
}

lib_display_answers()
{
    xdotool getdisplaygeometry >/dev/null 2>&1
}

# start_xvfb FOLDER GEOMETRY: a private X display, which Xvfb names in
# FOLDER/xvfb.display once it accepts clients; what it prints goes to
# FOLDER/xvfb.log. Exports DISPLAY and leaves xvfb_pid.
start_xvfb()
{
    local folder=$1 geometry=$2
    rm -f "$folder/xvfb.display"
    Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp -noreset \
        3>"$folder/xvfb.display" </dev/null >"$folder/xvfb.log" 2>&1 &
    xvfb_pid=$!
    wait_until 20 lib_display_named "$folder/xvfb.display" "$xvfb_pid" && alive "$xvfb_pid" \
        || return 1
    export DISPLAY=":$(head -n 1 "$folder/xvfb.display")"
    wait_until 10 lib_display_answers
}

# The window's title and the middle of its button, as app/windowlayout.h
# gives them to the window itself.
lib_layout=$lib_top/app/windowlayout.h
updater_title=$(sed -n '/title()/,/^}/s/.*QStringLiteral("\([^"]*\)").*/\1/p' "$lib_layout")
read -r lib_button_x lib_button_y < <(sed -n 's/.*return QRect(\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\)).*/\1 \2 \3 \4/p' \
    "$lib_layout" | awk '{ print $1 + int($3 / 2), $2 + int($4 / 2) }')

# find_window TITLE: leaves in window the first visible window titled
# exactly TITLE.
find_window()
{
    window=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
    [ -n "$window" ]
}

# painted WINDOW FILE: saves a screenshot of the window to FILE; true once it
# shows more than a blank area, that is, once Qt has painted it.
painted()
{
    import -window "$1" "$2" 2>/dev/null && [ "$(identify -format %k "$2")" -gt 8 ]
}

# press_button WINDOW: clicks the updater's button "开始更新".
press_button()
{
    xdotool mousemove --window "$1" "$lib_button_x" "$lib_button_y" click 1
}

# --- the stand-in product (standin/standinproduct.cpp) -------------------------

# product_is DIR VERSION: true when the stand-in that started last in DIR
# reported VERSION; leaves its pid in product_pid.
product_is()
{
    local version
    product_pid=
    read -r version product_pid _ < <(tail -n 1 "$1/product-started.txt" 2>/dev/null | tr -d '\r') \
        || return 1
    [ "$version" = "$2" ] && [ -n "$product_pid" ]
}

# --- one update, end to end ------------------------------------------------------
#
# What every script that updates an installation for real does, in order:
#   lay_out_installation DIR PRODUCT VERSION   the product before the update
#   put_product CONTENT PRODUCT VERSION        and the one after it
#   make_update_archive CONTENT ARCHIVE        what the server offers
#   press_update FOLDER TITLE SHOT COMMAND...  starts the updater, presses
#   wait_for_update SECONDS                    the updater has finished
#   check_update DIR CONTENT                   the installation holds CONTENT

# put_product DIR PRODUCT VERSION: the stand-in PRODUCT as DIR/vlm.exe at
# VERSION (DIR/version.txt), in an installation or in an archive's content.
put_product()
{
    mkdir -p "$1"
    cp "$2" "$1/vlm.exe"
    printf '%s\n' "$3" >"$1/version.txt"
}

# lay_out_installation DIR PRODUCT VERSION: put_product, and the folder
# DIR/log for the updater's debug log.
lay_out_installation()
{
    put_product "$@"
    mkdir -p "$1/log"
}

# make_update_archive CONTENT ARCHIVE: every file below the folder CONTENT,
# zipped by 7za with paths relative to CONTENT.
make_update_archive()
{
    local archive
    archive=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
    rm -f "$archive"
    (cd "$1" && 7za a -tzip "$archive" . >/dev/null)
}

# press_update FOLDER TITLE SHOT COMMAND...: starts the updater (COMMAND) from
# FOLDER, its output appended to FOLDER/updater.out, waits for its window
# titled TITLE to be painted (a screenshot in SHOT), and presses the button,
# unless press_by_hand=1 leaves that to a person. Leaves updater_pid and window.
press_update()
{
    local folder=$1 title=$2 shot=$3
    shift 3
    (cd "$folder" && exec "$@") </dev/null >>"$folder/updater.out" 2>&1 &
    updater_pid=$!
    wait_for 60 "the window \"$title\"" find_window "$title" || return 1
    wait_for 30 "the window to be painted" painted "$window" "$shot" || return 1
    [ "${press_by_hand:-0}" = 1 ] || press_button "$window"
}

# wait_for_update SECONDS: waits for the updater that press_update started to
# end; leaves its exit code in updater_status.
wait_for_update()
{
    wait_for "$1" "the updater to finish" gone "$updater_pid" || return 1
    updater_status=0
    wait "$updater_pid" || updater_status=$?
}

# check_update DIR CONTENT: every file below CONTENT is in the installation
# DIR with the same bytes, and nothing of the update's own is left behind.
# Names on standard error what differs.
check_update()
{
    local path relative leftover bad=0
    while IFS= read -r -d '' path; do
        relative=${path#"$2"/}
        if ! cmp -s "$path" "$1/$relative"; then
            printf '%s: %s was not installed as the archive has it\n' "$lib_name" "$relative" >&2
            bad=1
        fi
    done < <(find "$2" -type f -print0)
    for leftover in vlm_update.staging vlm_update.backup vlm_update.journal; do
        if [ -e "$1/$leftover" ]; then
            printf '%s: %s was left behind\n' "$lib_name" "$leftover" >&2
            bad=1
        fi
    done
    return "$bad"
}
