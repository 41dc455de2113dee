#!/bin/sh
# Stand-in for the GPS clock script: gpstimesync.sh "DD/MM/YYYY hh:mm:ss".
# Only recorded in var/log/standins.log: a sandbox never changes the clock.
here=$(dirname "$(readlink -f "$0")")
. "$here/../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/.." && pwd -P)"
dv_record gpstimesync.sh "$@"
exit 0
