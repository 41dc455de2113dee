// Small text helpers shared by the parsers of configuration values and file
// names.
#pragma once

namespace dv {

// The value of one hexadecimal digit, or -1 for any other byte.
inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace dv
