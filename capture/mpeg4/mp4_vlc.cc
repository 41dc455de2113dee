#include "capture/mpeg4/mp4_vlc.h"

#include <memory>

#include "capture/mpeg4/mp4_dsp.h"

namespace dv::mp4 {

namespace {

struct Code {
  uint32_t code = 0;
  int length = 0;  // 0: no code
};

// Lookups into one standard table.
struct TcoefTable {
  const TcoefCode* rows;
  // Direct code of (last, run, |level|), or length 0.
  Code direct(int last, int run, int level) const {
    for (int i = 0; i < 102; ++i) {
      const TcoefCode& r = rows[i];
      if (r.last == last && r.run == run && r.level == level) return {r.code, r.length};
    }
    return {};
  }
  // Largest level of (last, run), 0 if none.
  int lmax(int last, int run) const {
    int m = 0;
    for (int i = 0; i < 102; ++i)
      if (rows[i].last == last && rows[i].run == run && rows[i].level > m) m = rows[i].level;
    return m;
  }
  // Largest run of (last, level), -1 if none.
  int rmax(int last, int level) const {
    int m = -1;
    for (int i = 0; i < 102; ++i)
      if (rows[i].last == last && rows[i].level == level && rows[i].run > m) m = rows[i].run;
    return m;
  }
};

// The shortest code of (last, run, level != 0) from the direct code and the
// three escape forms; the sign bit is included.
Code best_code(const TcoefTable& t, int last, int run, int level) {
  const int a = level < 0 ? -level : level;
  const uint32_t sign = level < 0 ? 1 : 0;
  // Escape 3: always possible.
  Code best;
  best.length = 30;
  best.code = (kTcoefEscape << 23) | (3u << 21) | (static_cast<uint32_t>(last) << 20) |
              (static_cast<uint32_t>(run) << 14) | (1u << 13) |
              ((static_cast<uint32_t>(level) & 0xfff) << 1) | 1u;
  auto consider = [&best](uint32_t prefix, int prefix_len, Code c, uint32_t s) {
    int len = prefix_len + c.length + 1;
    if (len < best.length) {
      best.length = len;
      best.code = (((prefix << c.length) | c.code) << 1) | s;
    }
  };
  Code d = t.direct(last, run, a);
  if (d.length) consider(0, 0, d, sign);
  // Escape 1: level reduced by the largest level of (last, run).
  int lm = t.lmax(last, run);
  if (lm > 0 && a > lm) {
    Code c = t.direct(last, run, a - lm);
    if (c.length) consider((kTcoefEscape << 1) | 0, kTcoefEscapeLength + 1, c, sign);
  }
  // Escape 2: run reduced by the largest run of (last, level) plus one.
  int rm = t.rmax(last, a);
  if (rm >= 0 && run > rm) {
    Code c = t.direct(last, run - rm - 1, a);
    if (c.length) consider((kTcoefEscape << 2) | 2, kTcoefEscapeLength + 2, c, sign);
  }
  return best;
}

std::unique_ptr<TcoefEvents> build(const TcoefCode* rows) {
  auto t = std::make_unique<TcoefEvents>();
  TcoefTable table{rows};
  for (int last = 0; last < 2; ++last) {
    for (int run = 0; run < 64; ++run) {
      for (int a = 1; a <= 64; ++a) {
        // The code of the positive level; its last bit is the sign.
        Code c = best_code(table, last, run, a);
        uint32_t e = c.length < 30 ? (c.code << 5) | static_cast<uint32_t>(c.length) : 0;
        t->entry[tcoef_index(last, run, a)] = e;
        if (run < 16 && a <= 16) t->hot[tcoef_hot_index(last, run, a)] = e;
      }
    }
  }
  return t;
}

std::unique_ptr<ScanMasks> build_scan_masks(const uint8_t* scan) {
  auto t = std::make_unique<ScanMasks>();
  int position[64];
  for (int i = 0; i < 64; ++i) position[scan[i]] = i;
  for (int k = 0; k < 8; ++k)
    for (int v = 0; v < 256; ++v) {
      uint64_t m = 0;
      for (int j = 0; j < 8; ++j)
        if (v & (1 << j)) m |= uint64_t{1} << position[8 * k + j];
      t->part[k][v] = m;
    }
  return t;
}

}  // namespace

const TcoefEvents& intra_events() {
  static const std::unique_ptr<TcoefEvents> t = build(kIntraTcoef);
  return *t;
}

const ScanMasks* scan_masks_for(const uint8_t* scan) {
  if (scan == kScanTransposed) {
    static const std::unique_ptr<ScanMasks> t = build_scan_masks(kScanTransposed);
    return t.get();
  }
  if (scan == kZigzag) {
    static const std::unique_ptr<ScanMasks> t = build_scan_masks(kZigzag);
    return t.get();
  }
  return nullptr;
}

const TcoefEvents& inter_events() {
  static const std::unique_ptr<TcoefEvents> t = build(kInterTcoef);
  return *t;
}

}  // namespace dv::mp4
