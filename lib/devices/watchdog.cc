#include "lib/devices/watchdog.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "lib/platform/sysroot.h"

namespace dv {
namespace {

// One simulator line, written with a single write() so lines of several
// processes never interleave.
int sim_log(const Watchdog* wd, const char* request, int arg, bool with_arg) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  char line[96];
  int n =
      with_arg
          ? std::snprintf(line, sizeof line, "%lld.%03ld %s %d\n",
                          static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000000L, request, arg)
          : std::snprintf(line, sizeof line, "%lld.%03ld %s\n", static_cast<long long>(ts.tv_sec),
                          ts.tv_nsec / 1000000L, request);
  if (n < 0 || static_cast<size_t>(n) >= sizeof line) return -1;
  ssize_t w;
  do {
    w = ::write(wd->fd, line, static_cast<size_t>(n));
  } while (w < 0 && errno == EINTR);
  return w == n ? 0 : -1;
}

}  // namespace

int watchdog_open(Watchdog* wd, const char* logical_path) {
  watchdog_close(wd);
  std::string path = sys_path(logical_path);
  if (is_char_device(path)) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    wd->fd = fd;
    wd->simulated = false;
    return 0;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  wd->fd = fd;
  wd->simulated = true;
  if (sim_log(wd, "open", 0, false) != 0) {
    int e = errno;
    watchdog_close(wd);
    errno = e;
    return -1;
  }
  return 0;
}

int watchdog_set_timeout(Watchdog* wd, int seconds) {
  if (wd->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (wd->simulated) return sim_log(wd, "settimeout", seconds, true);
  int v = seconds;
  return ::ioctl(wd->fd, WDIOC_SETTIMEOUT, &v) < 0 ? -1 : 0;
}

int watchdog_set_options(Watchdog* wd, int options) {
  if (wd->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (wd->simulated) return sim_log(wd, "setoptions", options, true);
  int v = options;
  return ::ioctl(wd->fd, WDIOC_SETOPTIONS, &v) < 0 ? -1 : 0;
}

int watchdog_kick(Watchdog* wd) {
  if (wd->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (wd->simulated) return sim_log(wd, "keepalive", 0, false);
  const char zero = 0;
  ssize_t w;
  do {
    w = ::write(wd->fd, &zero, 1);
  } while (w < 0 && errno == EINTR);
  return w == 1 ? 0 : -1;
}

void watchdog_close(Watchdog* wd) {
  if (wd->fd < 0) return;
  if (wd->simulated) sim_log(wd, "close", 0, false);
  ::close(wd->fd);
  wd->fd = -1;
  wd->simulated = false;
}

}  // namespace dv
