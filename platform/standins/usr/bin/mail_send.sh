#!/bin/sh
# Stand-in for the mail sending script, which on the device hands every
# complete mail of /mnt/disc/mailstorage (*.mail) to the SMTP relay of
# /etc/ssmtp. A sandbox has no relay: the mails stay queued where the
# notification daemon and the setup service put them (the storage daemon trims
# the queue), and the call is recorded in var/log/standins.log.
here=$(dirname "$(readlink -f "$0")")
. "$here/../lib/deepvault/platform.sh"
dv_init "$(cd "$here/../.." && pwd -P)"
dv_record mail_send.sh "$@"
exit 0
