#include "lib/platform/signals.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace dv {
namespace {

SigFlag* g_flags[NSIG];

void set_flag(int sig) {
  if (sig > 0 && sig < NSIG && g_flags[sig] != nullptr) *g_flags[sig] = 1;
}

int install(int sig, void (*handler)(int)) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: blocking calls must see EINTR
  return sigaction(sig, &sa, nullptr);
}

}  // namespace

int on_signal(int sig, SigFlag* flag) {
  if (sig <= 0 || sig >= NSIG) return -1;
  g_flags[sig] = flag;
  return install(sig, set_flag);
}

int on_stop_signals(SigFlag* flag) {
  int r = 0;
  for (int sig : {SIGTERM, SIGINT, SIGQUIT}) r |= on_signal(sig, flag);
  return r;
}

int ignore_signal(int sig) { return install(sig, SIG_IGN); }

int default_signal(int sig) { return install(sig, SIG_DFL); }

int daemonize() {
  const char* fg = std::getenv("DEEPVAULT_FOREGROUND");
  if (fg != nullptr && std::strcmp(fg, "1") == 0) return 0;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid > 0) _exit(0);
  setsid();
  if (chdir("/") != 0) {
    // Staying in the old folder is harmless.
  }
  int fd = open("/dev/null", O_RDWR);
  if (fd >= 0) {
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
  }
  return 0;
}

int set_priority(int prio) { return setpriority(PRIO_PROCESS, 0, prio); }

}  // namespace dv
