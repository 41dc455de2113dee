// Reading a configuration digest safely: the header, the device id, the stream
// records and the tagged trailer, every string and record checked against the
// digest's length before it is used.
//
// The reader points into the bytes it is given; they must stay unchanged while
// it is used. The hub rewrites a digest half only two reloads later, but a
// consumer that keeps the stream list for long should copy the digest first.
#pragma once

#include <cstddef>
#include <cstdint>

struct DigestStream {
  int number;         // 0..255
  uint8_t type;       // T_* bits
  const char* codec;  // NUL-terminated, inside the digest
  const char* name;
  const char* params;
};

struct DigestReader {
  const uint8_t* data = nullptr;
  size_t length = 0;  // bytes of the digest (trailer end)
  size_t trailer_offset = 0;
  size_t trailer_length = 0;
  const char* device_id = nullptr;
  size_t pos = 0;  // next stream record
};

// Checks the header (length, magic, trailer bounds, device id) of size bytes
// at data. Returns 0, or -1 for anything that is not a whole digest.
int digest_reader_open(DigestReader* r, const void* data, size_t size);

// The next stream record: 1 with *s filled, 0 at the trailer, -1 for a record
// that runs past the trailer offset (the walk stops there).
int digest_next_stream(DigestReader* r, DigestStream* s);

// Starts the stream walk again.
void digest_rewind(DigestReader* r);

// The string of a trailer tag (1..8), or null when the tag is absent or the
// trailer is damaged.
const char* digest_trailer_text(const DigestReader* r, int tag);
