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

// Event table of one TCOEF table: for (last 0/1, run 0..63, |level| 1..64)
// at tcoef_index, the code with a free low bit for the sign, shifted left by 5,
// OR its length (sign included); 0 where only the third escape form codes the
// event. Direct codes and the first two escape forms are at most 23 bits.
struct TcoefEvents {
  uint32_t entry[2 * 64 * 64];
  // The same for run < 16 and |level| <= 16 (the common events), compact.
  uint32_t hot[2 * 16 * 16];
};

inline int tcoef_hot_index(int last, int run, int abs_level) {
  return (last << 8) | (run << 4) | (abs_level - 1);
}

inline int tcoef_index(int last, int run, int abs_level) {
  return (last << 12) | (run << 6) | (abs_level - 1);
}

const TcoefEvents& intra_events();
const TcoefEvents& inter_events();

// Turns a mask of non-zero coefficients by stored index into a mask by scan
// position, a byte at a time.
struct ScanMasks {
  uint64_t part[8][256];
};

// The tables of the two coefficient layouts in use (kScanTransposed and
// kZigzag); null for another scan.
const ScanMasks* scan_masks_for(const uint8_t* scan);

inline uint64_t to_scan_order(const ScanMasks& t, uint64_t stored) {
  uint64_t m = 0;
  for (int k = 0; k < 8; ++k) m |= t.part[k][(stored >> (8 * k)) & 255];
  return m;
}

// Third escape form of (last, run, level), level within -2047..2047, not 0.
inline void put_escape3(BitWriter* bw, int last, int run, int level) {
  // escape, "11", last, run (6), marker, level (12, two's complement), marker
  uint32_t v = (kTcoefEscape << 23) | (3u << 21) | (static_cast<uint32_t>(last) << 20) |
               (static_cast<uint32_t>(run) << 14) | (1u << 13) |
               ((static_cast<uint32_t>(level) & 0xfff) << 1) | 1u;
  put_bits(bw, 30, v);
}

// Writes the levels of one block in scan order. `scan_mask` marks the
// positions to send (for intra blocks without position 0, whose DC is coded
// apart); it must not be 0. `first` is the first position that can be sent
// (1 for intra blocks, 0 for inter blocks). The writer's state is held in
// local variables while the block is written.
inline void put_block_coefs(BitWriter* out, const TcoefEvents& t, const int16_t* coef,
                            const uint8_t* scan, int first, uint64_t scan_mask) {
  uint64_t acc = out->acc;
  int bits = out->bits;
  uint8_t* cur = out->cur;
  uint8_t* const end = out->end;
  bool overflow = false;
  auto put = [&](int n, uint32_t v) {
    acc = (acc << n) | v;
    bits += n;
    if (bits >= 32) {
      bits -= 32;
      uint32_t w = static_cast<uint32_t>(acc >> bits);
      if (end - cur >= 4) {
        cur[0] = static_cast<uint8_t>(w >> 24);
        cur[1] = static_cast<uint8_t>(w >> 16);
        cur[2] = static_cast<uint8_t>(w >> 8);
        cur[3] = static_cast<uint8_t>(w);
        cur += 4;
      } else {
        overflow = true;
      }
    }
  };
  int prev = first - 1;
  while (scan_mask) {
    int pos = __builtin_ctzll(scan_mask);
    scan_mask &= scan_mask - 1;
    int run = pos - prev - 1;
    prev = pos;
    int v = coef[scan[pos]];
    int last = scan_mask == 0;
    uint32_t sign = v < 0;
    int a = sign ? -v : v;
    if (a <= 64) {
      uint32_t e = (run < 16 && a <= 16) ? t.hot[tcoef_hot_index(last, run, a)]
                                         : t.entry[tcoef_index(last, run, a)];
      if (e) {
        put(static_cast<int>(e & 31), (e >> 5) | sign);
        continue;
      }
    }
    // escape, "11", last, run (6), marker, level (12, two's complement), marker
    put(30, (kTcoefEscape << 23) | (3u << 21) | (static_cast<uint32_t>(last) << 20) |
                (static_cast<uint32_t>(run) << 14) | (1u << 13) |
                ((static_cast<uint32_t>(v) & 0xfff) << 1) | 1u);
  }
  out->acc = acc;
  out->bits = bits;
  out->cur = cur;
  if (overflow) out->overflow = true;
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
