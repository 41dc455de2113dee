#!/bin/sh
# Stand-in for the disc safe mode switch (safemode.sh on|off), which on the
# device spins the disc down or up. Only recorded in var/log/standins.log.
here=$(dirname "$(readlink -f "$0")")
. "$here/../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/.." && pwd -P)"
dv_record safemode.sh "$@"
exit 0
