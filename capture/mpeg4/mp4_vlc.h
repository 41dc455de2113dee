// Table-driven writing of the MPEG-4 variable-length codes: every (last, run,
// level) event of the transform coefficient tables with |level| <= 64 is
// looked up in a table built once from the standard's tables, holding the
// shortest of the direct code and the three escape forms. Larger levels use
// the third escape (fixed-length) form.
#pragma once

#include <cstdint>

#include "capture/mpeg4/mp4_bitwriter.h"
#include "capture/mpeg4/mp4_dsp.h"
#include "capture/mpeg4/mp4_tables.h"

namespace dv::mp4 {

// Event table of one TCOEF table, indexed by tcoef_index.
struct TcoefEvents {
  uint32_t code[2 * 64 * 128];
  uint8_t length[2 * 64 * 128];
};

// Index of (last 0/1, run 0..63, level -64..63, not 0).
inline int tcoef_index(int last, int run, int level) {
  return (last << 13) | (run << 7) | (level & 127);
}

const TcoefEvents& intra_events();
const TcoefEvents& inter_events();

// Third escape form of (last, run, level), level within -2047..2047, not 0.
inline void put_escape3(BitWriter* bw, int last, int run, int level) {
  // escape, "11", last, run (6), marker, level (12, two's complement), marker
  uint32_t v = (kTcoefEscape << 23) | (3u << 21) | (static_cast<uint32_t>(last) << 20) |
               (static_cast<uint32_t>(run) << 14) | (1u << 13) |
               ((static_cast<uint32_t>(level) & 0xfff) << 1) | 1u;
  put_bits(bw, 30, v);
}

inline void put_event(BitWriter* bw, const TcoefEvents& t, int last, int run, int level) {
  if (static_cast<unsigned>(level + 64) < 128u) {
    int i = tcoef_index(last, run, level);
    put_bits(bw, t.length[i], t.code[i]);
  } else {
    put_escape3(bw, last, run, level);
  }
}

// Writes the coefficients of one block in scan order from scan position
// `first` (1 for intra blocks, whose DC is coded apart, 0 for inter blocks).
// `mask` marks the non-zero coefficients (bit = stored index) from `first`
// on; it must not be 0.
inline void put_block_coefs(BitWriter* bw, const TcoefEvents& t, const int16_t* coef,
                            const uint8_t* scan, int first, uint64_t mask) {
  int left = popcount64(mask);
  int run = 0;
  for (int i = first;; ++i) {
    int v = coef[scan[i]];
    if (v == 0) {
      ++run;
      continue;
    }
    if (--left == 0) {
      put_event(bw, t, 1, run, v);
      return;
    }
    put_event(bw, t, 0, run, v);
    run = 0;
  }
}

// Intra DC difference: dct_dc_size (luma or chroma table), the differential
// value (negative values as value + 2^size - 1) and, above size 8, a marker.
inline void put_intra_dc(BitWriter* bw, int diff, bool luma) {
  unsigned a = static_cast<unsigned>(diff < 0 ? -diff : diff);
  int size = a ? 32 - __builtin_clz(a) : 0;
  const Vlc& v = luma ? kDcSizeLuma[size] : kDcSizeChroma[size];
  if (size == 0) {
    put_bits(bw, v.length, v.code);
    return;
  }
  uint32_t bits =
      diff > 0 ? static_cast<uint32_t>(diff) : static_cast<uint32_t>(diff + (1 << size) - 1);
  uint32_t word = (static_cast<uint32_t>(v.code) << size) | bits;
  int n = v.length + size;
  if (size > 8) {
    word = (word << 1) | 1;  // marker
    ++n;
  }
  put_bits(bw, n, word);
}

}  // namespace dv::mp4
