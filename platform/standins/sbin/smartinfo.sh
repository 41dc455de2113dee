#!/bin/sh
# Stand-in for the SMART reader of the system disc: writes the short summary
# /tmp/smart.log (MAXTEMP, MAXDATE, MINTEMP, MINDATE lines) and the full
# report /tmp/smart_full.log that the setup service shows, with the values of
# a healthy simulated disc. The call is recorded in var/log/standins.log.
here=$(dirname "$(readlink -f "$0")")
. "$here/../usr/lib/deepvault/platform.sh"
dv_init "$(cd "$here/.." && pwd -P)"
dv_record smartinfo.sh "$@"
mkdir -p "$DV_ROOT/tmp"
cat >"$DV_ROOT/tmp/smart.log" <<'END'
MAXTEMP=46
MAXDATE=14:32:10 21/06/2007
MINTEMP=24
MINDATE=06:05:41 03/01/2007
END
cat >"$DV_ROOT/tmp/smart_full.log" <<'END'
=== START OF INFORMATION SECTION ===
Device Model:	DVSIM-2500AS
Serial Number:	DVS0000000001
Firmware Version:	1.00
User Capacity:	250,059,350,016 bytes
SMART overall-health self-assessment test result: PASSED

ID# ATTRIBUTE_NAME          VALUE WORST THRESH RAW_VALUE
  1 Raw_Read_Error_Rate     100   100   006    0
  5 Reallocated_Sector_Ct   100   100   036    0
  9 Power_On_Hours          096   096   000    3712
194 Temperature_Celsius     039   046   000    39
END
exit 0
