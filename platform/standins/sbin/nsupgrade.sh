#!/bin/sh
# Stand-in for the package installer: nsupgrade.sh PACKAGE_FILE. Installs
# nothing. Like the real installer it leaves its complaints in
# /var/install.log (empty or absent means success): "package file not found"
# when the file is missing, or the text of var/lib/standins/nsupgrade.result
# when a test has put one there. The call is recorded in var/log/standins.log.
here=$(dirname "$(readlink -f "$0")")
. "$here/../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/.." && pwd -P)"
dv_record nsupgrade.sh "$@"
log=$DV_ROOT/var/install.log
pkg=${1:-}
if [ -z "$pkg" ] || { [ ! -f "$pkg" ] && [ ! -f "$(dv_path "$pkg")" ]; }; then
	echo "nsupgrade: package file not found: $pkg" >"$log"
elif [ -f "$DV_ROOT/var/lib/standins/nsupgrade.result" ]; then
	cat "$DV_ROOT/var/lib/standins/nsupgrade.result" >"$log"
fi
exit 0
