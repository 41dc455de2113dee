#!/bin/sh
# Stand-in for the settings keeper: settings.sh save|reset|fix stores the
# configuration in flash, restores the factory settings or repairs them on the
# device. Only recorded in var/log/standins.log.
here=$(dirname "$(readlink -f "$0")")
. "$here/../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/.." && pwd -P)"
dv_record settings.sh "$@"
exit 0
