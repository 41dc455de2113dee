#!/bin/sh
# Stand-in for the NTP synchronisation script (server in /etc/cserv). Only
# recorded in var/log/standins.log: a sandbox never changes the clock.
here=$(dirname "$(readlink -f "$0")")
. "$here/../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/.." && pwd -P)"
dv_record timesync.sh "$@"
exit 0
