// Writing a store back to its file.
//
// A name beginning with "/tmp" is written in place. Any other target is
// replaced atomically: the text is staged beside the target (same folder, so
// the rename never crosses a file system), flushed, its md5 sidecar written,
// and the staged file renamed over the target; then the folder is flushed. At
// every moment the target holds either the old or the new text, also when the
// process dies half-way; a failure removes the staged file and leaves the old
// one as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/inistore/ini_lines.h"
#include "lib/inistore/ini_store.h"
#include "lib/platform/sysroot.h"

namespace {

// The file text: every line followed by a line feed, then one more line feed.
// That is the list itself with every NUL turned into a line feed.
char* file_text(const ConfigHandle* h) {
  char* text = static_cast<char*>(malloc(static_cast<size_t>(h->size)));
  if (text == nullptr) return nullptr;
  memcpy(text, h->lines, static_cast<size_t>(h->size));
  for (int32_t i = 0; i < h->size; ++i) {
    if (text[i] == '\0') text[i] = '\n';
  }
  return text;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void sync_folder(const std::string& path) {
  int fd = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

int write_direct(const std::string& real, const char* text, size_t len) {
  int fd = open(real.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return CONFIG_FILE_ERROR;
  bool ok = inistore::write_all(fd, text, len) == 0;
  if (close(fd) != 0) ok = false;
  return ok ? CONFIG_OK : CONFIG_FILE_ERROR;
}

// Writes the staged copy; 0 or 4 (then nothing is left behind).
int write_staged(const std::string& staged, const std::string& real, const char* text, size_t len) {
  int fd = open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return CONFIG_FILE_ERROR;
  // The new file keeps the old one's permissions (user.cfg holds passwords).
  struct stat st;
  if (stat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode)) fchmod(fd, st.st_mode & 07777);
  bool ok = inistore::write_all(fd, text, len) == 0 && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok) return CONFIG_OK;
  unlink(staged.c_str());
  return CONFIG_FILE_ERROR;
}

}  // namespace

int ConfigCommit(ConfigHandle* h) {
  if (h == nullptr || !h->writable) return CONFIG_READONLY;
  if (h->size == 0 || h->lines == nullptr) return CONFIG_FILE_ERROR;
  if (!h->modified) return CONFIG_OK;
  if (h->filename == nullptr) return CONFIG_FILE_ERROR;
  char* text = file_text(h);
  if (text == nullptr) return CONFIG_NO_MEMORY;
  size_t len = static_cast<size_t>(h->size);
  std::string real = dv::sys_path(h->filename);
  int rc;
  if (strncmp(h->filename, "/tmp", 4) == 0) {
    rc = write_direct(real, text, len);
  } else {
    std::string staged = inistore::staging_name(real);
    rc = write_staged(staged, real, text, len);
    if (rc == CONFIG_OK) {
      if (inistore::write_md5_at(staged, h->filename, real + ".md5") != 0) {
        fputs("Error in write md5\n", stderr);
        unlink(staged.c_str());
        rc = -1;
      } else if (rename(staged.c_str(), real.c_str()) != 0) {
        unlink(staged.c_str());
        rc = -1;
      } else {
        sync_folder(real);
      }
    }
  }
  free(text);
  if (rc == CONFIG_OK) h->modified = 0;
  return rc;
}
