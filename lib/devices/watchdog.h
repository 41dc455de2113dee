// The hardware watchdog (/dev/rtc on the board), driven through the Linux
// watchdog interface: set the time-out, enable or disable the card, and keep
// it alive by writing to it.
//
// Two backends, chosen at open: the real device when the resolved path is a
// character device, else a simulator that appends one line per request to a
// log file at the device path (created when missing), so tests can see what
// was asked and when. Simulator lines:
//   "<sec>.<msec> open"
//   "<sec>.<msec> settimeout <seconds>"
//   "<sec>.<msec> setoptions <options>"   (2 enable, 1 disable)
//   "<sec>.<msec> keepalive"              (one zero byte written)
//   "<sec>.<msec> close"
// where <sec>.<msec> is the wall-clock time of the request.
//
// Closing never disarms the watchdog (no magic close); what happens after the
// last close is the driver's business.
#pragma once

namespace dv {

inline constexpr const char* kWatchdogDevice = "/dev/rtc";

// Options for watchdog_set_options (the values of WDIOS_DISABLECARD and
// WDIOS_ENABLECARD).
inline constexpr int kWatchdogDisable = 1;
inline constexpr int kWatchdogEnable = 2;

struct Watchdog {
  int fd = -1;
  bool simulated = false;
};

// Opens the watchdog at a logical device path. Returns 0, or -1 with errno.
int watchdog_open(Watchdog* wd, const char* logical_path = kWatchdogDevice);

// WDIOC_SETTIMEOUT with the time-out in seconds. Returns 0 or -1.
int watchdog_set_timeout(Watchdog* wd, int seconds);

// WDIOC_SETOPTIONS (kWatchdogEnable / kWatchdogDisable). Returns 0 or -1.
int watchdog_set_options(Watchdog* wd, int options);

// Keeps the watchdog alive: writes one zero byte. Returns 0 or -1.
int watchdog_kick(Watchdog* wd);

// Closes the device (the watchdog keeps running). Safe on a closed record.
void watchdog_close(Watchdog* wd);

inline bool watchdog_is_open(const Watchdog* wd) { return wd->fd >= 0; }

}  // namespace dv
