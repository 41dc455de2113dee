#!/bin/sh
# System report of the recorder: time, uptime, network, discs, archive span,
# running daemons and installed packages, as plain text. The setup service
# sends it to the remote client ("GET REPORT"); under the web server (CGI) it
# is preceded by a text/plain header. The call is recorded in
# var/log/standins.log.
here=$(dirname "$(readlink -f "$0")")
. "$here/../../../lib/deepvault/platform.sh"
dv_init "$(cd "$here/../../../.." && pwd -P)"
dv_record snapshot.sh "$@"

if [ -n "${GATEWAY_INTERFACE:-}" ]; then
	printf 'Content-Type: text/plain\r\n\r\n'
fi
net=$DV_ROOT/etc/sysconfig/networking
echo "=== System report ==="
echo "Host: $(dv_setting "$net/common" HOSTNAME).$(dv_setting "$net/common" DOMAINNAME)"
echo "Time zone: $(head -n 1 "$DV_ROOT/etc/TZ" 2>/dev/null)"
echo "Date: $(date)"
echo "Uptime: $(cut -d' ' -f1 "$DV_ROOT/proc/uptime" 2>/dev/null) s"
echo "Kernel command line: $(cat "$DV_ROOT/proc/cmdline" 2>/dev/null)"
echo
echo "=== Network ==="
ifconfig eth0 2>&1
echo "=== Discs ==="
df -h /mnt/disc 2>&1
if [ -d "$DV_ROOT/mnt/usb/videodata" ]; then df -h /mnt/usb 2>&1; fi
if [ -x "$DV_ROOT/bin/arcspan" ]; then
	echo "Archive: $("$DV_ROOT/bin/arcspan" -b 'from ' -e 'to ' -d /mnt/disc/videodata/ 2>&1 | tr '\n' ' ')"
fi
echo "Queued mails: $(ls "$DV_ROOT/mnt/disc/mailstorage" 2>/dev/null | wc -l)"
echo
echo "=== Daemons ==="
for s in memhub camtap video; do
	[ -x "$DV_ROOT/etc/init.d/$s.sh" ] && "$DV_ROOT/etc/init.d/$s.sh" status 2>&1
done
echo
echo "=== Packages ==="
for f in "$DV_ROOT"/var/lib/ipkg/info/*.control; do
	[ -r "$f" ] || continue
	echo "$(sed -n 's/^Package: *//p' "$f") $(sed -n 's/^Version: *//p' "$f")"
done
exit 0
