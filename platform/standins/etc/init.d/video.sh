#!/bin/sh
# Start script of everything after memhub and camtap: the state manager, the
# recorders, the notification, snapshot, storage and peripheral daemons, and
# the network server roles.
#   video.sh start | stop [PID] | restart | status
# "stop PID" stops all of them except the process PID (the setup connection
# that asks for the stop and starts them again when it ends).
here=$(dirname "$(readlink -f "$0")")
. "$here/../../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/../.." && pwd -P)"

# Server roles: links to video.qvs named after the role.
ROLES="video.online video.archive video.events net.setup jpeg.stream"
DAEMONS="statekeeper snapbot recorder clipsaver postwarden diskkeeper gpsread serialalarm"

# True when the serial port of the alarm board, [rsconfig] device (read with
# initool when it is installed), exists in the root, or is a pseudo-terminal
# (a test's emulated board); serialalarm needs it. The machine's own serial
# ports are never used from a root.
alarm_port_present() {
	dev=
	if [ -x "$DV_ROOT/usr/bin/initool" ]; then
		dev=$("$DV_ROOT/usr/bin/initool" /etc/streams.ini rsconfig device 2>/dev/null)
	fi
	[ -n "$dev" ] || dev=/dev/ttyS2
	case "$dev" in
	/dev/pts/*) [ -c "$dev" ] ;;
	*) [ -e "$(dv_path "$dev")" ] ;;
	esac
}

# The USB disc is in use when its archive folder exists.
usb_present() {
	[ -d "$DV_ROOT/mnt/usb/videodata" ]
}

start() {
	# Recorders and live servers register with statekeeper (queue 0x9F9F)
	# and clients ask snapbot (queue 0x9FAF): wait for both queues.
	dv_start statekeeper --queue 40863
	dv_start snapbot --queue 40879
	dv_start recorder
	dv_start clipsaver
	dv_start postwarden
	dv_start diskkeeper
	if usb_present; then
		dv_start diskkeeper --pidname diskkeeper.usb -u /mnt/usb
	fi
	dv_start gpsread
	if alarm_port_present; then
		dv_start serialalarm
	else
		echo "serialalarm: no alarm board port, skipped"
	fi
	for r in $ROLES; do
		dv_start "$r"
	done
}

stop() {
	if [ -n "$1" ]; then
		# shellcheck disable=SC2086
		dv_stop --except "$1" $ROLES all.in.one all.in.one_custom
		# shellcheck disable=SC2086
		dv_stop --except "$1" serialalarm gpsread diskkeeper postwarden clipsaver recorder snapbot statekeeper
	else
		# shellcheck disable=SC2086
		dv_stop $ROLES all.in.one all.in.one_custom
		dv_stop serialalarm gpsread diskkeeper postwarden clipsaver recorder snapbot statekeeper
	fi
}

case "$1" in
start) start ;;
stop) stop "$2" ;;
restart)
	stop
	start
	;;
status)
	# shellcheck disable=SC2086
	dv_status $DAEMONS $ROLES
	exit $?
	;;
*)
	echo "usage: $0 start|stop [pid]|restart|status" >&2
	exit 1
	;;
esac
exit 0
