// The line list and its building blocks: byte classes, section and key
// look-up, and the three line editors every edit is made of.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/inistore/ini_lines.h"
#include "lib/inistore/ini_store.h"

namespace inistore {

bool ascii_equal_n(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}

const char* ascii_casestr(const char* hay, const char* needle) {
  size_t n = strlen(needle);
  if (n == 0) return hay;
  for (const char* p = hay; *p != '\0'; ++p) {
    if (ascii_lower(*p) == ascii_lower(*needle) && ascii_equal_n(p, needle, n)) return p;
  }
  return nullptr;
}

void install_block(ConfigHandle* h, char* block, int32_t size) {
  if (!h->borrowed) free(h->lines);
  h->borrowed = 0;
  h->lines = block;
  h->size = block ? size : 0;
  h->search = block;
  h->modified = 1;
}

char* line_start(ConfigHandle* h, char* p) {
  if (h == nullptr || h->lines == nullptr || p == nullptr) return nullptr;
  uintptr_t base = reinterpret_cast<uintptr_t>(h->lines);
  uintptr_t at = reinterpret_cast<uintptr_t>(p);
  if (at < base || at - base >= static_cast<uintptr_t>(h->size)) return nullptr;
  char* s = p;
  while (s > h->lines && s[-1] != '\0') --s;
  return s;
}

size_t format_line(char* out, const char* fmt, va_list ap) {
  int n = vsnprintf(out, kMaxLineText + 1, fmt, ap);
  if (n < 0) out[0] = '\0';
  // One string is one line of the file: a line feed inside the text would
  // split it into lines (and let a value forge keys or sections) on reload.
  char* lf = strchr(out, '\n');
  if (lf != nullptr) *lf = '\0';
  return strlen(out);
}

// Builds the block: the list with [cut, cut + cut_len) replaced by text (len
// bytes + NUL; len 0 inserts nothing) and installs it. Returns 0 or 3.
static int splice(ConfigHandle* h, size_t cut, size_t cut_len, const char* text, size_t len) {
  size_t old_size = h->lines ? static_cast<size_t>(h->size) : 0;
  size_t add = len ? len + 1 : 0;
  size_t new_size = old_size - cut_len + add;
  if (old_size == 0) new_size += 1;  // an empty store gets its closing NUL
  if (new_size > INT32_MAX) return CONFIG_NO_MEMORY;
  char* block = static_cast<char*>(malloc(new_size));
  if (block == nullptr) return CONFIG_NO_MEMORY;
  if (old_size == 0) {
    if (add) memcpy(block, text, add);
    block[new_size - 1] = '\0';
  } else {
    memcpy(block, h->lines, cut);
    if (add) memcpy(block + cut, text, add);
    memcpy(block + cut + add, h->lines + cut + cut_len, old_size - cut - cut_len);
  }
  install_block(h, block, static_cast<int32_t>(new_size));
  return CONFIG_OK;
}

}  // namespace inistore

using inistore::is_blank;
using inistore::skip_blanks;

char* stripTail(char* s) {
  char* end = s + strlen(s);
  while (end > s && is_blank(end[-1])) --end;
  *end = '\0';
  return end == s ? s : end + 1;
}

char* nextString(char* s) { return s + strlen(s) + 1; }
const char* nextString(const char* s) { return s + strlen(s) + 1; }

int is_comment(const char* line) {
  char c = *skip_blanks(line);
  return c == '#' || c == ';' || c == '/';
}

int is_section(const char* line) { return *skip_blanks(line) == '[' ? 1 : 0; }

// The header names the section when the first occurrence of the name stands
// after a blank or "[" and before a blank (NUL included) or "]".
static bool header_names(const char* header, const char* name) {
  const char* at = inistore::ascii_casestr(header, name);
  if (at == nullptr) return false;
  if (at > header && !is_blank(at[-1]) && at[-1] != '[') return false;
  char after = at[strlen(name)];
  return is_blank(after) || after == ']';
}

char* find_section(char* lines, const char* name) {
  if (lines == nullptr) return nullptr;
  if (name == nullptr) return lines;
  for (char* p = lines; *p != '\0'; p = nextString(p)) {
    if (is_section(p) && header_names(p, name)) return nextString(p);
  }
  return nullptr;
}

char* find_key(char* line, const char* key) {
  if (line == nullptr || key == nullptr) return nullptr;
  size_t n = strlen(key);
  for (char* p = line; *p != '\0'; p = nextString(p)) {
    if (is_section(p)) return nullptr;
    if (is_comment(p)) continue;
    char* k = const_cast<char*>(skip_blanks(p));
    if (!inistore::ascii_equal_n(k, key, n)) continue;
    char after = k[n];
    if (!is_blank(after) && after != '=') continue;
    char* v = k + n;
    while (*v != '\0' && (is_blank(*v) || *v == '=')) ++v;
    return v;
  }
  return nullptr;
}

int addLine(ConfigHandle* h, char* before, const char* fmt, ...) {
  if (h == nullptr) return CONFIG_NO_MEMORY;
  size_t cut = 0;
  if (h->lines != nullptr) {
    char* s = inistore::line_start(h, before);
    if (s == nullptr) return CONFIG_NO_MEMORY;
    cut = static_cast<size_t>(s - h->lines);
  } else if (before != nullptr) {
    return CONFIG_NO_MEMORY;
  }
  char text[inistore::kMaxLineText + 1];
  va_list ap;
  va_start(ap, fmt);
  size_t len = inistore::format_line(text, fmt, ap);
  va_end(ap);
  if (len == 0) return CONFIG_OK;
  return inistore::splice(h, cut, 0, text, len);
}

int replaceLine(ConfigHandle* h, char* at, const char* fmt, ...) {
  char* s = inistore::line_start(h, at);
  if (s == nullptr || *s == '\0') return CONFIG_NO_MEMORY;  // outside, or the closing NUL
  char text[inistore::kMaxLineText + 1];
  va_list ap;
  va_start(ap, fmt);
  size_t len = inistore::format_line(text, fmt, ap);
  va_end(ap);
  if (len == 0) return CONFIG_OK;
  size_t cut = static_cast<size_t>(s - h->lines);
  return inistore::splice(h, cut, strlen(s) + 1, text, len);
}

int delLine(ConfigHandle* h, char* at) {
  char* s = inistore::line_start(h, at);
  if (s == nullptr || *s == '\0') return CONFIG_NO_MEMORY;
  size_t cut = static_cast<size_t>(s - h->lines);
  return inistore::splice(h, cut, strlen(s) + 1, nullptr, 0);
}
