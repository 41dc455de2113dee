// The local time zone: the first line of /etc/TZ goes into the TZ environment
// variable before any local-time conversion. Callers print their own texts
// for the two failures, since some log them and some write them to a stream.
#pragma once

namespace dv {

enum TzResult {
  kTzOk = 0,
  kTzCannotOpen = -1,  // /etc/TZ missing or unreadable
  kTzCannotSet = -2,   // setenv failed
};

// Reads the first line of /etc/TZ (line end removed, at most 255 bytes) into
// TZ and calls tzset(). An empty first line sets an empty TZ (UTC).
TzResult load_tz();

}  // namespace dv
