#!/bin/sh
# Stand-in for the clock setting script: settime.sh "DD/MM/YYYY hh:mm:ss" OFFSET
# sets the clock to that local time plus OFFSET seconds on the device. A
# sandbox never changes the clock: the call is only recorded in
# var/log/standins.log.
here=$(dirname "$(readlink -f "$0")")
. "$here/../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/.." && pwd -P)"
dv_record settime.sh "$@"
exit 0
