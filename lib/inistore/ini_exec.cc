// The general utilities: running a command into a buffer and writing an md5
// sidecar file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/inistore/ini_lines.h"
#include "lib/inistore/ini_store.h"
#include "lib/platform/exec.h"
#include "lib/platform/sysroot.h"

namespace inistore {

int write_all(int fd, const char* p, size_t len) {
  while (len > 0) {
    ssize_t w = write(fd, p, len);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += w;
    len -= static_cast<size_t>(w);
  }
  return 0;
}

std::string staging_name(const std::string& target_real) {
  return target_real + ".tmp-" + std::to_string(getpid());
}

// Replaces path with text: staged beside it, flushed, renamed over it.
static int replace_file(const std::string& path, const char* text, size_t len) {
  std::string tmp = staging_name(path);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  bool ok = write_all(fd, text, len) == 0 && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return 0;
  unlink(tmp.c_str());
  return -1;
}

int write_md5_at(const std::string& file_real, const char* name, const std::string& sidecar_real) {
  // The file name is data: quoted, so that it can never become shell syntax.
  std::string cmd = "md5sum " + dv::shell_quote(file_real);
  char* out = nullptr;
  if (ExecExternalToBuffer(cmd.c_str(), &out) != 0) {
    fprintf(stderr, "Error in calculating md5 of %s", name);
    return -1;
  }
  // The first whitespace-separated word of the output, at most 50 bytes.
  const char* p = out;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  // md5sum marks a line whose file name it had to escape with a leading
  // backslash; the digest follows it.
  if (*p == '\\') ++p;
  size_t n = 0;
  while (p[n] != '\0' && n < 50 && !strchr(" \t\n\r\v\f", p[n])) ++n;
  std::string digest(p, n);
  free(out);
  if (digest.empty()) {
    fprintf(stderr, "Error in getting md5 of %s", name);
    return -1;
  }
  std::string text = digest + "  " + name;
  if (replace_file(sidecar_real, text.data(), text.size()) != 0) {
    fprintf(stderr, "Error in writing md5 of %s", name);
    return -1;
  }
  return 0;
}

}  // namespace inistore

int ExecExternalToBuffer(const char* cmd, char** buffer) {
  if (cmd == nullptr || buffer == nullptr) return -1;
  std::string line = std::string(cmd) + " 2>/dev/null";
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return -1;
  free(*buffer);
  *buffer = nullptr;
  size_t len = 0;
  size_t cap = 1024 + 1;
  char* data = static_cast<char*>(malloc(cap));
  if (data == nullptr) {
    pclose(pipe);
    return -1;
  }
  for (;;) {
    char piece[1024];
    size_t r = fread(piece, 1, sizeof piece, pipe);
    if (r == 0) break;
    // Always room for the data so far, this piece and one NUL.
    if (cap - len < r + 1) {
      size_t want = cap * 2 < len + r + 1 ? len + r + 1 : cap * 2;
      char* bigger = static_cast<char*>(realloc(data, want));
      if (bigger == nullptr) {
        free(data);
        pclose(pipe);
        return -1;
      }
      data = bigger;
      cap = want;
    }
    memcpy(data + len, piece, r);
    len += r;
  }
  pclose(pipe);  // the command's exit status is not ours to judge
  data[len] = '\0';
  *buffer = data;
  return 0;
}

int write_md5(const char* file, const char* name) {
  if (file == nullptr || name == nullptr) {
    fprintf(stderr, "Error in calculating md5 of %s", name ? name : "");
    return -1;
  }
  return inistore::write_md5_at(dv::sys_path(file), name, dv::sys_path(name) + ".md5");
}
