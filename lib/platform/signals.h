// Signal flags, daemonising and scheduling priority.
//
// Handlers only set a volatile sig_atomic_t flag; loops poll it. Handlers are
// installed without SA_RESTART, so a blocking msgrcv/select/read returns EINTR
// and the loop gets to look at its flags.
#pragma once

#include <csignal>

namespace dv {

using SigFlag = volatile sig_atomic_t;

// Makes signal sig set *flag to 1. One flag per signal; a later call for the
// same signal replaces the flag. Returns 0 or -1.
int on_signal(int sig, SigFlag* flag);

// The usual stop set: SIGTERM, SIGINT and SIGQUIT set *flag.
int on_stop_signals(SigFlag* flag);

// Ignores sig (SIGPIPE for servers, for example).
int ignore_signal(int sig);

// Restores the default action of sig.
int default_signal(int sig);

// Detaches from the terminal: fork (the parent exits 0), setsid, chdir to /,
// standard streams to /dev/null. With DEEPVAULT_FOREGROUND=1 in the
// environment it does nothing, so a test harness or a debugger keeps the
// process. Returns 0 in the process that goes on, -1 when fork fails.
int daemonize();

// setpriority(PRIO_PROCESS, 0, prio). Returns 0 or -1; callers log their own
// refusal text.
int set_priority(int prio);

}  // namespace dv
