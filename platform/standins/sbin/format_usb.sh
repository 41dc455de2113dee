#!/bin/sh
# Stand-in for the USB disc formatter: formats nothing, prints the progress
# lines of a format run a step at a time (DV_FORMAT_STEP seconds apart,
# default 0.3) and ends. The call is recorded in var/log/standins.log.
here=$(dirname "$(readlink -f "$0")")
. "$here/../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/.." && pwd -P)"
dv_record format_usb.sh "$@"
step=${DV_FORMAT_STEP:-0.3}
for line in "Checking USB disc /dev/scsi/host1/bus0/target0/lun0/disc" \
	"Creating partition table" \
	"Creating file system on /dev/scsi/host1/bus0/target0/lun0/part1" \
	"Writing inode tables: done" \
	"Creating folder videodata"; do
	echo "$line"
	sleep "$step"
done
echo "USB disc formatted"
exit 0
