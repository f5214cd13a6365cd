#!/bin/sh
# bench/update.sh, then everything written forced to the disk, as the
# updater's commit does before it calls an update installed: the yardstick
# for a durable update.
#
#     sh update-sync.sh PORT
sh "$(dirname "$0")/update.sh" "$@"
sync
