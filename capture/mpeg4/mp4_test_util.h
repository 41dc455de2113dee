// Test helpers: a bit reader and a reference parser of the encoder's syntax
// elements, written from the standard's tables (independent of the encoder's
// event tables).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/mpeg4/mp4_tables.h"

namespace dv::mp4::test {

struct BitReader {
  const uint8_t* data;
  size_t size;     // bytes
  size_t pos = 0;  // bits
  BitReader(const uint8_t* d, size_t n) : data(d), size(n) {}
  bool at_end() const { return pos >= size * 8; }
  uint32_t peek(int n) const {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      size_t p = pos + static_cast<size_t>(i);
      int bit = p < size * 8 ? (data[p / 8] >> (7 - p % 8)) & 1 : 0;
      v = (v << 1) | static_cast<uint32_t>(bit);
    }
    return v;
  }
  uint32_t get(int n) {
    uint32_t v = peek(n);
    pos += static_cast<size_t>(n);
    return v;
  }
  bool match(const Vlc& v) {
    if (peek(v.length) != v.code) return false;
    pos += v.length;
    return true;
  }
};

struct Event {
  int last, run, level;
  bool operator==(const Event& o) const {
    return last == o.last && run == o.run && level == o.level;
  }
};

inline int table_lmax(const TcoefCode* rows, int last, int run) {
  int m = 0;
  for (int i = 0; i < 102; ++i)
    if (rows[i].last == last && rows[i].run == run && rows[i].level > m) m = rows[i].level;
  return m;
}

inline int table_rmax(const TcoefCode* rows, int last, int level) {
  int m = -1;
  for (int i = 0; i < 102; ++i)
    if (rows[i].last == last && rows[i].level == level && rows[i].run > m) m = rows[i].run;
  return m;
}

// One table code (no sign), or false.
inline bool read_table_code(BitReader* br, const TcoefCode* rows, int* last, int* run, int* level) {
  for (int i = 0; i < 102; ++i) {
    if (br->peek(rows[i].length) == rows[i].code) {
      br->pos += rows[i].length;
      *last = rows[i].last;
      *run = rows[i].run;
      *level = rows[i].level;
      return true;
    }
  }
  return false;
}

// One transform coefficient event with the escape forms; false on a code
// that is not in the table.
inline bool read_event(BitReader* br, const TcoefCode* rows, Event* e) {
  int last, run, level;
  if (br->peek(kTcoefEscapeLength) == kTcoefEscape) {
    br->pos += kTcoefEscapeLength;
    if (br->get(1) == 0) {  // type 1: level offset
      if (!read_table_code(br, rows, &last, &run, &level)) return false;
      level += table_lmax(rows, last, run);
    } else if (br->get(1) == 0) {  // type 2: run offset
      if (!read_table_code(br, rows, &last, &run, &level)) return false;
      run += table_rmax(rows, last, level) + 1;
    } else {  // type 3: fixed length
      last = static_cast<int>(br->get(1));
      run = static_cast<int>(br->get(6));
      if (br->get(1) != 1) return false;
      int v = static_cast<int>(br->get(12));
      if (br->get(1) != 1) return false;
      e->last = last;
      e->run = run;
      e->level = v >= 2048 ? v - 4096 : v;
      return true;
    }
  } else if (!read_table_code(br, rows, &last, &run, &level)) {
    return false;
  }
  int sign = static_cast<int>(br->get(1));
  e->last = last;
  e->run = run;
  e->level = sign ? -level : level;
  return true;
}

// Intra DC differential.
inline bool read_intra_dc(BitReader* br, bool luma, int* diff) {
  const Vlc* t = luma ? kDcSizeLuma : kDcSizeChroma;
  int size = -1;
  for (int s = 0; s < 13; ++s)
    if (br->peek(t[s].length) == t[s].code) {
      br->pos += t[s].length;
      size = s;
      break;
    }
  if (size < 0) return false;
  if (size == 0) {
    *diff = 0;
    return true;
  }
  int v = static_cast<int>(br->get(size));
  *diff = (v >> (size - 1)) ? v : v - (1 << size) + 1;
  if (size > 8 && br->get(1) != 1) return false;
  return true;
}

// The fields of the stream headers the encoder writes.
struct VolFields {
  uint32_t vo_start = 0, vol_start = 0;
  int random_accessible = -1, type_indication = -1, is_identifier = -1, aspect = -1;
  int par_width = -1, par_height = -1, control = -1, chroma = -1, low_delay = -1, vbv = -1;
  int shape = -1, resolution = -1, fixed_rate = -1, fixed_increment = -1, increment_bits = -1;
  int width = -1, height = -1, interlaced = -1, obmc_disable = -1, sprite = -1, not_8_bit = -1;
  int quant_type = -1, complexity_disable = -1, resync_disable = -1, partitioned = -1;
  int scalability = -1;
  bool markers_ok = true;
};

inline int increment_bits_for(int resolution) {
  int bits = 1;
  while ((1 << bits) < resolution) ++bits;
  return bits;
}

inline VolFields read_vol(BitReader* br) {
  VolFields v;
  auto marker = [&]() { v.markers_ok = v.markers_ok && br->get(1) == 1; };
  v.vo_start = br->get(32);
  v.vol_start = br->get(32);
  v.random_accessible = static_cast<int>(br->get(1));
  v.type_indication = static_cast<int>(br->get(8));
  v.is_identifier = static_cast<int>(br->get(1));
  v.aspect = static_cast<int>(br->get(4));
  if (v.aspect == 15) {
    v.par_width = static_cast<int>(br->get(8));
    v.par_height = static_cast<int>(br->get(8));
  }
  v.control = static_cast<int>(br->get(1));
  if (v.control) {
    v.chroma = static_cast<int>(br->get(2));
    v.low_delay = static_cast<int>(br->get(1));
    v.vbv = static_cast<int>(br->get(1));
  }
  v.shape = static_cast<int>(br->get(2));
  marker();
  v.resolution = static_cast<int>(br->get(16));
  marker();
  v.increment_bits = increment_bits_for(v.resolution);
  v.fixed_rate = static_cast<int>(br->get(1));
  if (v.fixed_rate) v.fixed_increment = static_cast<int>(br->get(v.increment_bits));
  marker();
  v.width = static_cast<int>(br->get(13));
  marker();
  v.height = static_cast<int>(br->get(13));
  marker();
  v.interlaced = static_cast<int>(br->get(1));
  v.obmc_disable = static_cast<int>(br->get(1));
  v.sprite = static_cast<int>(br->get(1));
  v.not_8_bit = static_cast<int>(br->get(1));
  v.quant_type = static_cast<int>(br->get(1));
  v.complexity_disable = static_cast<int>(br->get(1));
  v.resync_disable = static_cast<int>(br->get(1));
  v.partitioned = static_cast<int>(br->get(1));
  v.scalability = static_cast<int>(br->get(1));
  return v;
}

// MPEG-4 stuffing: a 0 bit, then 1 bits to the byte boundary.
inline bool read_stuffing(BitReader* br) {
  if (br->get(1) != 0) return false;
  while (br->pos % 8)
    if (br->get(1) != 1) return false;
  return true;
}

struct VopFields {
  uint32_t start = 0;
  int coding_type = -1, modulo = -1, increment = -1, coded = -1, rounding = -1, dc_thr = -1;
  int quant = -1, fcode = -1;
  bool markers_ok = true;
};

inline VopFields read_vop(BitReader* br, int increment_bits) {
  VopFields v;
  v.start = br->get(32);
  v.coding_type = static_cast<int>(br->get(2));
  v.modulo = 0;
  while (br->get(1) == 1) ++v.modulo;
  v.markers_ok = br->get(1) == 1;
  v.increment = static_cast<int>(br->get(increment_bits));
  v.markers_ok = v.markers_ok && br->get(1) == 1;
  v.coded = static_cast<int>(br->get(1));
  if (!v.coded) return v;
  if (v.coding_type == 1) v.rounding = static_cast<int>(br->get(1));
  v.dc_thr = static_cast<int>(br->get(3));
  v.quant = static_cast<int>(br->get(5));
  if (v.coding_type == 1) v.fcode = static_cast<int>(br->get(3));
  return v;
}

}  // namespace dv::mp4::test
