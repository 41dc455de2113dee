// The one logging module. Daemons log every line at priority 0 under their own
// program name. Where lines go is chosen by DEEPVAULT_LOG when the log is
// opened:
//   unset or "syslog"  syslog (facility user, the options given to log_open)
//   "stderr"           standard error, one "ident: text" line per message
//   "dir:PATH"         appended to PATH/<ident>.log, the text exactly, one line
//                      per message (tests and the demo read these files)
// A message's trailing line feeds are dropped and exactly one is added, so a
// text with or without "\n" gives the same line.
#pragma once

#include <cstdarg>

namespace dv {

// Opens the log under ident (kept by pointer: pass a string that lives as long
// as the program). syslog_options are openlog() options (default: no delay and
// pid). Calling it again switches the ident.
void log_open(const char* ident, int syslog_options = -1);

// Logs one message at priority 0. Safe before log_open (then uses "deepvault").
void log_msg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_vmsg(const char* fmt, va_list ap);

void log_close();

}  // namespace dv
