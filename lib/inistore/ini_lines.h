// Internal helpers shared by the modules of libinistore: the byte classes of
// the text format, the construction of line-list blocks, and file writing.
// Not installed.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/inistore/ini_store.h"

namespace inistore {

// Longest text of a value or of a line the library formats (without the NUL).
constexpr size_t kMaxLineText = 2046;

// A blank byte: below 33 taken as a signed 8-bit number (NUL, 0x01-0x20 and
// 0x80-0xFF).
inline bool is_blank(char c) { return static_cast<signed char>(c) < 33; }

// Skips leading blank bytes, never past the terminating NUL.
inline const char* skip_blanks(const char* p) {
  while (*p != '\0' && is_blank(*p)) ++p;
  return p;
}

// ASCII-only lower case (bytes 0x80-0xFF unchanged, independent of locale).
inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// True when the n bytes at a and b are equal ignoring ASCII case; stops at a
// NUL in a (then equal only if b has the NUL at the same place).
bool ascii_equal_n(const char* a, const char* b, size_t n);

// The first occurrence of needle in hay ignoring ASCII case, or null. An empty
// needle is found at hay.
const char* ascii_casestr(const char* hay, const char* needle);

// Replaces the handle's list with a new owned block (may be null with size 0),
// freeing the old one unless borrowed; sets modified and resets the cursor.
void install_block(ConfigHandle* h, char* block, int32_t size);

// The start of the line that holds address p of the handle's list, or null
// when p is not inside the list.
char* line_start(ConfigHandle* h, char* p);

// Formats "fmt" into out (kMaxLineText + 1 bytes), cut at the first line feed.
// Returns the text's length (up to its first NUL).
size_t format_line(char* out, const char* fmt, va_list ap);

}  // namespace inistore

namespace inistore {

// write_md5 on resolved paths: hashes file_real, writes sidecar_real holding
// the digest, two blanks and name (the logical name). 0 or -1 after a message.
int write_md5_at(const std::string& file_real, const char* name, const std::string& sidecar_real);

// Writes len bytes to fd, retrying short writes. 0 or -1 (errno set).
int write_all(int fd, const char* p, size_t len);

// The name a new copy of target_real is staged under: beside it, with the
// process id ("<target>.tmp-<pid>").
std::string staging_name(const std::string& target_real);

}  // namespace inistore
