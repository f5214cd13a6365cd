#!/bin/sh
# curl resuming a cut download for real: its own --retry starts each new try
# from the first byte again (it throws away what arrived), so this runs
# "curl -C -" anew after each cut, with FtpCLient's pauses between the tries.
#
#     sh curl-resume.sh URL FILE
for pause in 1 2 4 8 8 ''; do
    curl -s -C - -o "$2" "$1" && exit 0
    [ -n "$pause" ] || exit 1
    sleep "$pause"
done
