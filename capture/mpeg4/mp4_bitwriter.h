// The encoder's bit writer: bits are collected most significant first in a
// 64-bit accumulator and stored as big-endian 32-bit words, so one store is
// made per 32 bits written. The writer never stores beyond the end it was
// given: a word that does not fit marks the writer as overflowed, and every
// later word is dropped (the caller checks `overflow` when the picture is
// done and reports the error).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dv::mp4 {

struct BitWriter {
  uint64_t acc = 0;          // pending bits in the low `bits` bits
  int bits = 0;              // pending bit count, always < 32 between calls
  uint8_t* start = nullptr;  // first byte of the output
  uint8_t* cur = nullptr;    // next byte to store
  uint8_t* end = nullptr;    // one past the last byte that may be stored
  bool overflow = false;     // a store would have passed `end`
};

inline void bw_init(BitWriter* bw, uint8_t* dest, size_t capacity) {
  bw->acc = 0;
  bw->bits = 0;
  bw->start = dest;
  bw->cur = dest;
  bw->end = dest + capacity;
  bw->overflow = false;
}

inline void bw_store32(BitWriter* bw, uint32_t w) {
  if (bw->end - bw->cur < 4) {
    bw->overflow = true;
    return;
  }
  uint8_t* p = bw->cur;
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
  bw->cur = p + 4;
}

// Writes the low n bits of v (n in 0..32; bits of v above n must be 0).
inline void put_bits(BitWriter* bw, int n, uint32_t v) {
  bw->acc = (bw->acc << n) | v;
  bw->bits += n;
  if (bw->bits >= 32) {
    bw->bits -= 32;
    bw_store32(bw, static_cast<uint32_t>(bw->acc >> bw->bits));
  }
}

// Bits written so far.
inline size_t bw_count(const BitWriter* bw) {
  return static_cast<size_t>(bw->cur - bw->start) * 8 + static_cast<size_t>(bw->bits);
}

inline bool bw_aligned(const BitWriter* bw) { return (bw->bits & 7) == 0; }

// MPEG-4 stuffing up to the next byte boundary: one 0 bit, then 1 bits. On a
// boundary that is a whole 0x7F byte.
inline void bw_stuff(BitWriter* bw) {
  put_bits(bw, 1, 0);
  int n = (8 - (bw->bits & 7)) & 7;
  if (n) put_bits(bw, n, (1u << n) - 1);
}

// Stores the pending whole bytes (the writer must be byte aligned) and returns
// the number of bytes written since bw_init. Nothing is stored past `end`.
inline size_t bw_flush(BitWriter* bw) {
  while (bw->bits >= 8) {
    bw->bits -= 8;
    if (bw->cur < bw->end) {
      *bw->cur++ = static_cast<uint8_t>(bw->acc >> bw->bits);
    } else {
      bw->overflow = true;
    }
  }
  return static_cast<size_t>(bw->cur - bw->start);
}

}  // namespace dv::mp4
