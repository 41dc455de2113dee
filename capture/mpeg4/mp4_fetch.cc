#include "capture/mpeg4/mp4_fetch.h"

#include <cstring>
#include <new>

#include "capture/mpeg4/mp4_dsp.h"

struct MbFetchState {
  int width = 0;
  int height = 0;
  int mb_w = 0;
  const uint8_t* picture = nullptr;
  int row = 0;  // macroblock row of the last gathered macroblock
  int col = 0;  // macroblock column of the last gathered macroblock
  int sad_threshold = 0;
  int quiet_sad = 0;  // see mb_fetch_set_quiet
  int quiet_peak = 0;
  unsigned quiet = 0;  // quiet blocks of the last residual
};

namespace {

inline void copy8(uint8_t* d, const uint8_t* s) { std::memcpy(d, s, 8); }
inline void copy4(uint8_t* d, const uint8_t* s) { std::memcpy(d, s, 4); }

MbFetchState* make_state(int width, int height) {
  if (width <= 0 || height <= 0 || width % 16 || height % 16) return nullptr;
  MbFetchState* s = new (std::nothrow) MbFetchState;
  if (!s) return nullptr;
  s->width = width;
  s->height = height;
  s->mb_w = width / 16;
  return s;
}

// ZARN3: macroblock (row, col) from its eight line-pair records.
void zarn3_gather(uint8_t* pix, const MbFetchState* s) {
  const size_t rec_size = 3 * static_cast<size_t>(s->width);
  const uint8_t* rec = s->picture + static_cast<size_t>(s->row) * 8 * rec_size;
  const size_t upper = 32 * static_cast<size_t>(s->col);
  const size_t lower = 2 * static_cast<size_t>(s->width) + 16 * static_cast<size_t>(s->col);
  for (int r = 0; r < 8; ++r, rec += rec_size) {
    const uint8_t* up = rec + upper;
    const uint8_t* lo = rec + lower;
    // Luma lines 2r and 2r + 1: blocks Y0/Y1 for r < 4, else Y2/Y3.
    uint8_t* y = pix + (r < 4 ? 0 : 128) + 16 * (r & 3);
    copy8(y, up);            // upper line, columns 0-7
    copy8(y + 64, up + 16);  // upper line, columns 8-15
    copy8(y + 8, lo);        // lower line, columns 0-7
    copy8(y + 72, lo + 8);   // lower line, columns 8-15
    // Chroma line r.
    copy4(pix + 256 + 8 * r, up + 8);
    copy4(pix + 260 + 8 * r, up + 24);
    copy4(pix + 320 + 8 * r, up + 12);
    copy4(pix + 324 + 8 * r, up + 28);
  }
}

// Macroblocks ahead of the one gathered whose lines are asked for early: the
// picture usually comes straight from the capture hardware (not in any
// cache), and the many short row streams of a macroblock row are more than
// the processor's own prefetcher follows.
constexpr int kAhead = 8;

// The macroblock kAhead places after (row, col) in raster order, if any.
inline bool ahead_of(const MbFetchState* s, int* row, int* col) {
  *col = s->col + kAhead;
  *row = s->row;
  if (*col >= s->mb_w) {
    *col -= s->mb_w;
    ++*row;
  }
  return *row < s->height / 16 && *col < s->mb_w;
}

// Prefetches the cache lines of macroblock (row, col) that no earlier
// macroblock of the row shares (64-byte lines).
// (Inlined: a function that only prefetches counts as free of effects, and
// the compiler would drop the calls.)
__attribute__((always_inline)) inline void zarn3_prefetch(const MbFetchState* s) {
  int row, col;
  if (!ahead_of(s, &row, &col)) return;
  const size_t rec_size = 3 * static_cast<size_t>(s->width);
  const uint8_t* rec = s->picture + static_cast<size_t>(row) * 8 * rec_size;
  for (int r = 0; r < 8; ++r, rec += rec_size) {
    if (col % 2 == 0) __builtin_prefetch(rec + 32 * static_cast<size_t>(col));
    if (col % 4 == 0)
      __builtin_prefetch(rec + 2 * static_cast<size_t>(s->width) + 16 * static_cast<size_t>(col));
  }
}

__attribute__((always_inline)) inline void yuv420_prefetch(const MbFetchState* s) {
  int row, col;
  if (!ahead_of(s, &row, &col) || col % 4) return;
  const size_t w = static_cast<size_t>(s->width), h = static_cast<size_t>(s->height);
  const uint8_t* y = s->picture + static_cast<size_t>(row) * 16 * w + 16 * static_cast<size_t>(col);
  for (int r = 0; r < 16; ++r) __builtin_prefetch(y + r * w);
  if (col % 8) return;
  const uint8_t* u =
      s->picture + w * h + static_cast<size_t>(row) * 8 * (w / 2) + 8 * static_cast<size_t>(col);
  const uint8_t* v = u + (w / 2) * (h / 2);
  for (int r = 0; r < 8; ++r) {
    __builtin_prefetch(u + r * (w / 2));
    __builtin_prefetch(v + r * (w / 2));
  }
}

void yuv420_gather(uint8_t* pix, const MbFetchState* s) {
  const size_t w = static_cast<size_t>(s->width);
  const size_t h = static_cast<size_t>(s->height);
  const uint8_t* y = s->picture + static_cast<size_t>(s->row) * 16 * w + 16 * s->col;
  const uint8_t* u = s->picture + w * h + static_cast<size_t>(s->row) * 8 * (w / 2) + 8 * s->col;
  const uint8_t* v = u + (w / 2) * (h / 2);
  YUV420_mb_copy(pix, y, u, v, s->width, s->width / 2);
}

template <void (*Gather)(uint8_t*, const MbFetchState*), void (*Prefetch)(const MbFetchState*)>
struct Walker {
  static void start(uint8_t* pix, const uint8_t* picture, MbFetchState* s) {
    s->picture = picture;
    s->row = 0;
    // The lines of the first macroblocks.
    for (s->col = -kAhead; s->col < 0; ++s->col) Prefetch(s);
    Prefetch(s);
    Gather(pix, s);
  }
  static void new_line(uint8_t* pix, MbFetchState* s) {
    ++s->row;
    s->col = 0;
    Prefetch(s);
    Gather(pix, s);
  }
  static void get_mb(uint8_t* pix, MbFetchState* s) {
    ++s->col;
    Prefetch(s);
    Gather(pix, s);
  }
  static int residual(const uint8_t* pix, const uint8_t* ref_mb, int16_t* res, MbFetchState* s) {
    s->quiet = 0;
    return dv::mp4::g_dsp.residual_sad(pix, ref_mb, res, s->sad_threshold, s->quiet_sad,
                                       s->quiet_peak, &s->quiet);
  }
  static int start_me(uint8_t* pix, int16_t* res, const uint8_t* picture, const uint8_t* ref_mb,
                      MbFetchState* s, int sad_threshold) {
    s->sad_threshold = sad_threshold;
    start(pix, picture, s);
    return residual(pix, ref_mb, res, s);
  }
  static int new_line_me(uint8_t* pix, int16_t* res, const uint8_t* ref_mb, MbFetchState* s) {
    new_line(pix, s);
    return residual(pix, ref_mb, res, s);
  }
  static int get_mb_me(uint8_t* pix, int16_t* res, const uint8_t* ref_mb, MbFetchState* s) {
    get_mb(pix, s);
    return residual(pix, ref_mb, res, s);
  }
};

using Zarn3 = Walker<zarn3_gather, zarn3_prefetch>;
using Yuv420 = Walker<yuv420_gather, yuv420_prefetch>;

}  // namespace

void mb_fetch_set_quiet(MbFetchState* state, int quiet_sad, int quiet_peak) {
  state->quiet_sad = quiet_sad;
  state->quiet_peak = quiet_peak;
}

unsigned mb_fetch_quiet(const MbFetchState* state) { return state->quiet; }

void YUV420_mb_copy(uint8_t* pix, const uint8_t* y, const uint8_t* u, const uint8_t* v,
                    int stride_y, int stride_c) {
  for (int r = 0; r < 16; ++r, y += stride_y) {
    uint8_t* d = pix + (r < 8 ? 0 : 128) + 8 * (r & 7);
    copy8(d, y);
    copy8(d + 64, y + 8);
  }
  for (int r = 0; r < 8; ++r, u += stride_c, v += stride_c) {
    copy8(pix + 256 + 8 * r, u);
    copy8(pix + 320 + 8 * r, v);
  }
}

MbFetchState* ZARN3_2MBInit(int width, int height) { return make_state(width, height); }
void ZARN3_2MBClose(MbFetchState* state) { delete state; }
void ZARN3_2MBStart(uint8_t* pix, const uint8_t* picture, MbFetchState* state) {
  Zarn3::start(pix, picture, state);
}
void ZARN3_2MBNewLine(uint8_t* pix, MbFetchState* state) { Zarn3::new_line(pix, state); }
void ZARN3_2MBGetMB(uint8_t* pix, MbFetchState* state) { Zarn3::get_mb(pix, state); }
int ZARN3_2MBStart_ME(uint8_t* pix, int16_t* residual, const uint8_t* picture,
                      const uint8_t* ref_mb, MbFetchState* state, int sad_threshold) {
  return Zarn3::start_me(pix, residual, picture, ref_mb, state, sad_threshold);
}
int ZARN3_2MBNewLine_ME(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb,
                        MbFetchState* state) {
  return Zarn3::new_line_me(pix, residual, ref_mb, state);
}
int ZARN3_2MBGetMB_ME(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb, MbFetchState* state) {
  return Zarn3::get_mb_me(pix, residual, ref_mb, state);
}

MbFetchState* YUV420_2MBInit(int width, int height) { return make_state(width, height); }
void YUV420_2MBClose(MbFetchState* state) { delete state; }
void YUV420_2MBStart(uint8_t* pix, const uint8_t* picture, MbFetchState* state) {
  Yuv420::start(pix, picture, state);
}
void YUV420_2MBNewLine(uint8_t* pix, MbFetchState* state) { Yuv420::new_line(pix, state); }
void YUV420_2MBGetMB(uint8_t* pix, MbFetchState* state) { Yuv420::get_mb(pix, state); }
int YUV420_2MBStart_ME(uint8_t* pix, int16_t* residual, const uint8_t* picture,
                       const uint8_t* ref_mb, MbFetchState* state, int sad_threshold) {
  return Yuv420::start_me(pix, residual, picture, ref_mb, state, sad_threshold);
}
int YUV420_2MBNewLine_ME(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb,
                         MbFetchState* state) {
  return Yuv420::new_line_me(pix, residual, ref_mb, state);
}
int YUV420_2MBGetMB_ME(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb,
                       MbFetchState* state) {
  return Yuv420::get_mb_me(pix, residual, ref_mb, state);
}

const MbFetcher kZarn3Fetcher = {
    ZARN3_2MBInit,  ZARN3_2MBClose,    ZARN3_2MBStart,      ZARN3_2MBNewLine,
    ZARN3_2MBGetMB, ZARN3_2MBStart_ME, ZARN3_2MBNewLine_ME, ZARN3_2MBGetMB_ME,
};

const MbFetcher kYuv420Fetcher = {
    YUV420_2MBInit,  YUV420_2MBClose,    YUV420_2MBStart,      YUV420_2MBNewLine,
    YUV420_2MBGetMB, YUV420_2MBStart_ME, YUV420_2MBNewLine_ME, YUV420_2MBGetMB_ME,
};
