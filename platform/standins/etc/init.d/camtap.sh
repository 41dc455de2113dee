#!/bin/sh
# Start script of the capture daemon (camtap); memhub must be running.
#   camtap.sh start | stop | restart | status
here=$(dirname "$(readlink -f "$0")")
. "$here/../../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/../.." && pwd -P)"

case "$1" in
start)
	dv_start camtap
	;;
stop)
	dv_stop camtap
	;;
restart)
	dv_stop camtap
	dv_start camtap
	;;
status)
	dv_status camtap
	exit $?
	;;
*)
	echo "usage: $0 start|stop|restart|status" >&2
	exit 1
	;;
esac
exit 0
