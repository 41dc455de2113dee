// Opening, reading, editing and iterating a store. Committing lives in
// ini_commit.cc, the command and md5 utilities in ini_exec.cc.
#include "lib/inistore/ini_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/inistore/ini_lines.h"
#include "lib/platform/sysroot.h"

using inistore::is_blank;

namespace {

// Reads the whole file behind fd into a heap block with two spare bytes at its
// end. Returns the block (null on a read or allocation failure) and the byte
// count in *len.
char* read_all(int fd, size_t* len) {
  struct stat st;
  size_t cap = 4096;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    if (static_cast<uint64_t>(st.st_size) > INT32_MAX - 4) return nullptr;
    cap = static_cast<size_t>(st.st_size) + 4;
  }
  char* buf = static_cast<char*>(malloc(cap));
  if (buf == nullptr) return nullptr;
  size_t n = 0;
  for (;;) {
    if (cap - n < 3) {
      // The file grew after fstat, or its size was unknown.
      if (cap > (INT32_MAX - 4) / 2) {
        free(buf);
        return nullptr;
      }
      char* bigger = static_cast<char*>(realloc(buf, cap * 2));
      if (bigger == nullptr) {
        free(buf);
        return nullptr;
      }
      buf = bigger;
      cap *= 2;
    }
    ssize_t r = read(fd, buf + n, cap - n - 2);
    if (r < 0) {
      if (errno == EINTR) continue;
      free(buf);
      return nullptr;
    }
    if (r == 0) break;
    n += static_cast<size_t>(r);
  }
  *len = n;
  return buf;
}

// Turns the raw text buf[0, n) into the line list in place: each line up to
// its line feed, cut at a NUL byte, trailing blanks removed, empty lines
// dropped, every kept line NUL-terminated, then the closing NUL. The output
// never overtakes the input except by the two spare bytes. Returns the size.
size_t build_list(char* buf, size_t n) {
  size_t out = 0;
  size_t in = 0;
  while (in < n) {
    const char* lf = static_cast<const char*>(memchr(buf + in, '\n', n - in));
    size_t end = lf ? static_cast<size_t>(lf - buf) : n;
    size_t len = end - in;
    const char* nul = static_cast<const char*>(memchr(buf + in, '\0', len));
    if (nul != nullptr) len = static_cast<size_t>(nul - (buf + in));
    while (len > 0 && is_blank(buf[in + len - 1])) --len;
    if (len > 0) {
      memmove(buf + out, buf + in, len);
      buf[out + len] = '\0';
      out += len + 1;
    }
    in = end + 1;
  }
  buf[out] = '\0';
  return out + 1;
}

int open_file(const char* path, int writable) {
  if (!writable) return open(path, O_RDONLY | O_CLOEXEC);
  for (int tries = 0; tries < 2; ++tries) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    // Missing: create it empty, but never truncate a file someone else just
    // created.
    fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

ConfigHandle* new_handle() { return static_cast<ConfigHandle*>(calloc(1, sizeof(ConfigHandle))); }

// The section's first line, or null: also for an empty store.
char* section_of(ConfigHandle* h, const char* section) {
  if (h == nullptr || h->lines == nullptr) return nullptr;
  return find_section(h->lines, section);
}

}  // namespace

ConfigHandle* ConfigOpen(const char* path, int writable) {
  if (path == nullptr) return nullptr;
  ConfigHandle* h = new_handle();
  if (h == nullptr) return nullptr;
  std::string real = dv::sys_path(path);
  int fd = open_file(real.c_str(), writable);
  if (fd < 0) {
    free(h);
    return nullptr;
  }
  h->filename = strdup(path);
  h->writable = writable ? 1 : 0;
  size_t n = 0;
  char* buf = h->filename ? read_all(fd, &n) : nullptr;
  close(fd);
  if (buf == nullptr) {
    free(h->filename);
    free(h);
    return nullptr;
  }
  if (n == 0) {
    free(buf);
    return h;  // an empty store
  }
  size_t size = build_list(buf, n);
  char* shrunk = static_cast<char*>(realloc(buf, size));
  h->lines = shrunk ? shrunk : buf;
  h->size = static_cast<int32_t>(size);
  h->search = h->lines;
  return h;
}

ConfigHandle* ConfigOpenMem(const char* buffer, int32_t size) {
  if (buffer != nullptr && size > 0) {
    // The list must be closed inside the buffer, so that no scan can run off.
    if (buffer[size - 1] != '\0' || (size > 1 && buffer[size - 2] != '\0')) return nullptr;
  }
  ConfigHandle* h = new_handle();
  if (h == nullptr) return nullptr;
  h->borrowed = 1;
  if (buffer == nullptr || size <= 0) return h;
  // The list ends at its first empty string, which may come before the end of
  // the caller's buffer; the size is that of the list.
  const char* p = buffer;
  while (*p != '\0') p = nextString(p);
  h->lines = const_cast<char*>(buffer);  // never written: the store is read-only
  h->size = static_cast<int32_t>(p - buffer + 1);
  h->search = h->lines;
  return h;
}

int ConfigClose(ConfigHandle* h) {
  if (h == nullptr) return 0;
  int rc = h->modified ? ConfigCommit(h) : 0;
  if (!h->borrowed) free(h->lines);
  free(h->filename);
  free(h);
  return rc;
}

int ConfigGetStr(ConfigHandle* h, char* dest, const char* section, const char* key, int32_t size) {
  if (size <= 0 || dest == nullptr) return CONFIG_NO_SECTION;
  char* first = section_of(h, section);
  if (first == nullptr) return CONFIG_NO_SECTION;
  const char* v = find_key(first, key);
  if (v == nullptr) return CONFIG_NO_KEY;
  size_t n = static_cast<size_t>(size);
  char quote = *v;
  if (quote == '\'' || quote == '"') {
    strncpy(dest, v + 1, n);
    dest[n - 1] = '\0';
    size_t len = strlen(dest);
    if (len > 0 && dest[len - 1] == quote) dest[len - 1] = '\0';
  } else {
    strncpy(dest, v, n);
    dest[n - 1] = '\0';
  }
  return CONFIG_OK;
}

int ConfigGetInt(ConfigHandle* h, int32_t* value, const char* section, const char* key) {
  int32_t dummy;
  if (value == nullptr) value = &dummy;
  *value = 0;
  char* first = section_of(h, section);
  if (first == nullptr) return CONFIG_NO_SECTION;
  const char* v = find_key(first, key);
  if (v == nullptr) return CONFIG_NO_KEY;
  // strtoll then saturate: the same result on 32- and 64-bit machines.
  errno = 0;
  long long x = strtoll(v, nullptr, 0);
  if (x > INT32_MAX) x = INT32_MAX;
  if (x < INT32_MIN) x = INT32_MIN;
  *value = static_cast<int32_t>(x);
  return CONFIG_OK;
}

static int config_vprintf(ConfigHandle* h, const char* section, const char* key, const char* fmt,
                          va_list ap) {
  if (h == nullptr || !h->writable) return CONFIG_READONLY;
  if (h->size == 0) return CONFIG_NO_SECTION;
  char* first = section_of(h, section);
  if (first == nullptr) return CONFIG_NO_SECTION;
  if (key == nullptr) return CONFIG_NO_KEY;
  char value[inistore::kMaxLineText + 1];
  inistore::format_line(value, fmt, ap);
  stripTail(value);
  char* old = find_key(first, key);
  if (old != nullptr) return replaceLine(h, old, "%s = %s", key, value);
  return addLine(h, first, "%s = %s", key, value);
}

int ConfigPrintf(ConfigHandle* h, const char* section, const char* key, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int rc = config_vprintf(h, section, key, fmt, ap);
  va_end(ap);
  return rc;
}

int ConfigWriteStr(ConfigHandle* h, const char* section, const char* key, const char* text) {
  return ConfigPrintf(h, section, key, "'%s'", text ? text : "");
}

int ConfigWriteStrWoQuotes(ConfigHandle* h, const char* section, const char* key,
                           const char* text) {
  return ConfigPrintf(h, section, key, "%s", text ? text : "");
}

int ConfigWriteInt(ConfigHandle* h, const char* section, const char* key, int32_t value) {
  return ConfigPrintf(h, section, key, "%d", value);
}

int ConfigAddSection(ConfigHandle* h, const char* name) {
  if (h == nullptr || !h->writable) return CONFIG_READONLY;
  if (name == nullptr) return CONFIG_NO_SECTION;
  if (h->size != 0 && find_section(h->lines, name) != nullptr) return CONFIG_OK;
  char* end = h->lines ? h->lines + h->size - 1 : nullptr;  // the closing NUL
  return addLine(h, end, "[ %s ]", name);
}

int ConfigDelSection(ConfigHandle* h, const char* name) {
  if (h == nullptr || !h->writable) return CONFIG_READONLY;
  if (h->size == 0 || name == nullptr) return CONFIG_OK;
  char* first = find_section(h->lines, name);
  if (first == nullptr) return CONFIG_OK;
  // The header is the line before first; the section runs up to the next
  // header or the end of the list.
  char* header = first - 1;
  while (header > h->lines && header[-1] != '\0') --header;
  char* end = first;
  while (*end != '\0' && !is_section(end)) end = nextString(end);
  size_t cut = static_cast<size_t>(header - h->lines);
  size_t cut_len = static_cast<size_t>(end - header);
  size_t new_size = static_cast<size_t>(h->size) - cut_len;
  char* block = static_cast<char*>(malloc(new_size));
  if (block == nullptr) return CONFIG_NO_MEMORY;
  memcpy(block, h->lines, cut);
  memcpy(block + cut, end, static_cast<size_t>(h->size) - cut - cut_len);
  inistore::install_block(h, block, static_cast<int32_t>(new_size));
  return CONFIG_OK;
}

int ConfigDelKey(ConfigHandle* h, const char* section, const char* key) {
  if (h == nullptr || !h->writable) return CONFIG_READONLY;
  if (h->size == 0) return CONFIG_NO_SECTION;
  char* first = section_of(h, section);
  if (first == nullptr) return CONFIG_NO_SECTION;
  char* v = find_key(first, key);
  if (v == nullptr) return CONFIG_OK;
  return delLine(h, v);
}

const char* ConfigSearchSection(ConfigHandle* h, const char* prefix) {
  if (h == nullptr || h->lines == nullptr || h->size == 0) return nullptr;
  if (h->search == nullptr) h->search = h->lines;
  while (*h->search != '\0') {
    char* line = h->search;
    h->search = nextString(line);
    if (!is_section(line)) continue;
    if (prefix == nullptr) return line;
    const char* at = inistore::ascii_casestr(line, prefix);
    if (at == nullptr) continue;
    if (at > line && !is_blank(at[-1]) && at[-1] != '[') continue;
    return at + strlen(prefix);
  }
  return nullptr;
}

const char* ConfigSearchRewind(ConfigHandle* h) {
  if (h == nullptr) return nullptr;
  h->search = h->lines;
  return h->search;
}

const char* ConfigGetBuffer(ConfigHandle* h) { return h ? h->lines : nullptr; }
int32_t ConfigGetSize(ConfigHandle* h) { return h ? h->size : 0; }
const char* ConfigGetFilename(ConfigHandle* h) { return h ? h->filename : nullptr; }

const char* ConfigError(int code) {
  static const char* const kTexts[] = {
      "OK",        "Section is not found", "Key is not found",
      "No memory", "File error",           "Config is readonly",
  };
  if (code >= 0 && code < static_cast<int>(sizeof kTexts / sizeof kTexts[0])) return kTexts[code];
  if (code == -1) return "Commit failed";
  return "Unknown error";
}
