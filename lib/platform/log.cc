#include "lib/platform/log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace dv {
namespace {

enum class Sink { kSyslog, kStderr, kDir };

struct LogState {
  bool open = false;
  const char* ident = "deepvault";
  Sink sink = Sink::kSyslog;
  std::string file;  // for kDir
};

LogState g_log;

void choose_sink() {
  const char* v = std::getenv("DEEPVAULT_LOG");
  g_log.sink = Sink::kSyslog;
  g_log.file.clear();
  if (v == nullptr || *v == '\0' || std::strcmp(v, "syslog") == 0) return;
  if (std::strcmp(v, "stderr") == 0) {
    g_log.sink = Sink::kStderr;
  } else if (std::strncmp(v, "dir:", 4) == 0 && v[4] != '\0') {
    g_log.sink = Sink::kDir;
    g_log.file = std::string(v + 4) + "/" + g_log.ident + ".log";
  }
}

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

void log_open(const char* ident, int syslog_options) {
  if (g_log.open && g_log.sink == Sink::kSyslog) closelog();
  g_log.ident = ident ? ident : "deepvault";
  choose_sink();
  if (g_log.sink == Sink::kSyslog) {
    openlog(g_log.ident, syslog_options < 0 ? (LOG_NDELAY | LOG_PID) : syslog_options, LOG_USER);
  }
  g_log.open = true;
}

void log_vmsg(const char* fmt, va_list ap) {
  if (!g_log.open) log_open(g_log.ident);
  int saved_errno = errno;
  char stack_buf[1024];
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(stack_buf, sizeof stack_buf, fmt, ap);
  std::string heap;
  const char* text = stack_buf;
  if (n < 0) {
    va_end(ap2);
    errno = saved_errno;
    return;
  }
  if (static_cast<size_t>(n) >= sizeof stack_buf) {
    heap.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(heap.data(), heap.size(), fmt, ap2);
    text = heap.data();
  }
  va_end(ap2);
  size_t len = static_cast<size_t>(n);
  while (len > 0 && text[len - 1] == '\n') --len;

  switch (g_log.sink) {
    case Sink::kSyslog:
      syslog(LOG_EMERG, "%.*s", static_cast<int>(len), text);
      break;
    case Sink::kStderr: {
      std::string line = std::string(g_log.ident) + ": " + std::string(text, len) + "\n";
      write_all(2, line.data(), line.size());
      break;
    }
    case Sink::kDir: {
      // One write per line on an O_APPEND descriptor keeps lines of several
      // processes (forked children included) whole.
      int fd = ::open(g_log.file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd >= 0) {
        std::string line(text, len);
        line.push_back('\n');
        write_all(fd, line.data(), line.size());
        ::close(fd);
      }
      break;
    }
  }
  errno = saved_errno;
}

void log_msg(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_vmsg(fmt, ap);
  va_end(ap);
}

void log_close() {
  if (g_log.open && g_log.sink == Sink::kSyslog) closelog();
  g_log.open = false;
}

}  // namespace dv
