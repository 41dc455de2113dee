#!/bin/sh
# Start script of the stream hub (memhub), which must run before every other
# daemon: it owns the shared stream memory and the hub queue.
#   memhub.sh start | stop | restart | status
# Extra options for memhub (for example -nowd) may be given in MEMHUB_OPTS.
here=$(dirname "$(readlink -f "$0")")
. "$here/../../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/../.." && pwd -P)"

case "$1" in
start)
	# The other daemons need the hub queue (key 0x5F5A) the moment they start.
	# shellcheck disable=SC2086
	dv_start memhub --queue 24410 ${MEMHUB_OPTS:-}
	;;
stop)
	dv_stop memhub
	;;
restart)
	dv_stop memhub
	# shellcheck disable=SC2086
	dv_start memhub --queue 24410 ${MEMHUB_OPTS:-}
	;;
status)
	dv_status memhub
	exit $?
	;;
*)
	echo "usage: $0 start|stop|restart|status" >&2
	exit 1
	;;
esac
exit 0
