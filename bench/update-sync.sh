#!/bin/sh
# One of the update scripts beside this one (update.sh, update-signed.sh),
# then everything written forced to the disk, as the updater's commit does
# before it calls an update installed: the yardstick for a durable update.
#
#     sh update-sync.sh SCRIPT PORT [PUBLIC-KEY-FILE]
script=$1
shift
sh "$(dirname "$0")/$script" "$@"
sync
