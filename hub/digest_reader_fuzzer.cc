// Feeds arbitrary bytes to the digest reader: every walk must stay inside the
// bytes given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "hub/digest_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly size bytes, so any read past the end is caught.
  std::vector<uint8_t> copy(data, data + size);
  DigestReader r;
  if (digest_reader_open(&r, copy.data(), copy.size()) != 0) return 0;
  DigestStream s;
  size_t total = 0;
  while (digest_next_stream(&r, &s) == 1) {
    total += std::strlen(s.codec) + std::strlen(s.name) + std::strlen(s.params);
  }
  for (int tag = 0; tag <= 9; ++tag) {
    const char* t = digest_trailer_text(&r, tag);
    if (t != nullptr) total += std::strlen(t);
  }
  return total == SIZE_MAX ? 1 : 0;
}
