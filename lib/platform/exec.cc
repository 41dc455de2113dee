#include "lib/platform/exec.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "lib/platform/sysroot.h"

namespace dv {

std::string shell_quote(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('\'');
  for (char c : s) {
    if (c == '\'') {
      out.append("'\\''");
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
}

std::string command_word(std::string_view logical_path) {
  return shell_quote(sys_path(logical_path));
}

static int decode_status(int status) {
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int run_shell(const std::string& cmdline) {
  int status = std::system(cmdline.c_str());
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    // The shell ran but found no command: report it like any exit status.
    return 127;
  }
  return decode_status(status);
}

int run_argv(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return decode_status(status);
}

int run_capture(const std::string& cmdline, std::string* out) {
  out->clear();
  FILE* p = popen(cmdline.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  return decode_status(pclose(p));
}

}  // namespace dv
