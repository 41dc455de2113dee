// Encoder life cycle, frame kinds and rate control.
#include "capture/mpeg4/mp4enc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "capture/mpeg4/mp4_dsp.h"
#include "capture/mpeg4/mp4_vlc.h"
#include "capture/mpeg4/mp4enc_internal.h"
#include "lib/platform/log.h"
#include "lib/platform/sysroot.h"

namespace {

char g_last_error[160] = "";

void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(g_last_error, sizeof g_last_error, fmt, ap);
  va_end(ap);
  dv::log_msg("%s", g_last_error);
}

constexpr int kMaskColumns = 44;
constexpr int kMaskRows = 18;

// Bits of vop_time_increment: enough for resolution - 1, at least one (a
// decoder reads at least one bit, also for a resolution of 1).
int time_increment_bits(int resolution) {
  int bits = 1;
  while ((1 << bits) < resolution) ++bits;
  return bits;
}

int clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Quantiser adjustment at an intra VOP from the window and long-term rates.
void rate_control(MP4encodeContext* ctx) {
  const uint64_t t = ctx->target;
  const uint64_t w =
      ctx->window_bytes / ctx->window_frames * static_cast<uint64_t>(ctx->time_resolution);
  const uint64_t l =
      ctx->total_bytes / ctx->total_frames * static_cast<uint64_t>(ctx->time_resolution);
  if (w > t) {
    if (!(l < t && w <= ctx->allowance)) {
      ctx->quant += w > 3 * t ? 3 : 1;
      if (ctx->quant > ctx->maxquant) ctx->quant = ctx->maxquant;
    }
  } else if (l <= t) {
    ctx->quant -= 1;
    if (ctx->quant < ctx->minquant) ctx->quant = ctx->minquant;
  }
  ctx->window_bytes = 0;
  ctx->window_frames = 0;
  if (ctx->total_bytes > 0x40000000u) {
    ctx->total_bytes /= 256;
    ctx->total_frames /= 256;
    if (ctx->total_frames == 0) ctx->total_frames = 1;
  }
}

// Whether the window's rate is above the target (the predicted VOP is then
// sent empty when the quantiser is already at its upper bound).
bool window_over_target(const MP4encodeContext* ctx) {
  if (ctx->target == 0 || ctx->window_frames == 0) return false;
  uint64_t w = ctx->window_bytes / ctx->window_frames * static_cast<uint64_t>(ctx->time_resolution);
  return w > ctx->target;
}

void free_context(MP4encodeContext* ctx) {
  if (ctx->fetch_state) ctx->fetcher->close(ctx->fetch_state);
  if (ctx->transform.use_device) dv::dct_device_close(&ctx->transform.device);
  std::free(ctx->work_block);
  std::free(ctx->reference);
  delete ctx;
}

}  // namespace

MP4encodeContext* MP4encodeOPEN(MP4encodeParams* p) {
  if (!p) {
    fail("MP4encodeOPEN: no parameters");
    return nullptr;
  }
  const int w = p->width, h = p->height;
  if (w < 16 || h < 16 || w > MP4_MAX_WIDTH || h > MP4_MAX_HEIGHT || w % 16 || h % 16) {
    fail("MP4encodeOPEN: picture size %dx%d is not supported (multiples of 16, 16x16 to %dx%d)", w,
         h, MP4_MAX_WIDTH, MP4_MAX_HEIGHT);
    return nullptr;
  }
  if (p->input_layout == MP4_LAYOUT_NONE) {
    fail("MP4encodeOPEN: input layout 1 has no macroblock fetchers");
    return nullptr;
  }
  dv::mp4::mp4_dsp_init();

  MP4encodeContext* ctx = new (std::nothrow) MP4encodeContext;
  if (!ctx) {
    fail("MP4encodeOPEN: out of memory");
    return nullptr;
  }
  ctx->width = w;
  ctx->height = h;
  ctx->mb_w = w / 16;
  ctx->mb_h = h / 16;
  ctx->mb_count = ctx->mb_w * ctx->mb_h;
  ctx->quant = clamp(p->quant, 1, 31);
  ctx->gop = p->gop ? p->gop : 25;
  ctx->gop_countdown = 0;
  if (p->time_resolution == 0) p->time_resolution = 25;
  ctx->time_resolution = p->time_resolution;
  ctx->time_bits = time_increment_bits(ctx->time_resolution);

  if (p->bitrate > 64000) {
    ctx->target = p->bitrate / 8;
    ctx->allowance = p->bitrate < 1500000 ? 2 * ctx->target : 375000;
    int maxq = (p->maxquant == 0 || p->maxquant > 31) ? 31 : p->maxquant;
    int minq = p->minquant > 31 ? 31 : p->minquant;
    if (minq == 0) {
      // No lower bound configured: quantisers below 2 only inflate the
      // stream; start from the configured quantiser.
      int lo = 2, hi = maxq < 2 ? 2 : maxq;
      ctx->minquant = lo;
      ctx->maxquant = hi;
      ctx->quant = clamp(ctx->quant, lo, hi);
    } else {
      ctx->minquant = minq < maxq ? minq : maxq;
      ctx->maxquant = minq < maxq ? maxq : minq;
      ctx->quant = ctx->minquant;
    }
  } else {
    ctx->target = 0;
    ctx->allowance = 375000;
    ctx->minquant = ctx->quant;
    ctx->maxquant = ctx->quant;
  }

  ctx->watched.resize(static_cast<size_t>(ctx->mb_count));
  for (int r = 0; r < ctx->mb_h; ++r)
    for (int c = 0; c < ctx->mb_w; ++c)
      ctx->watched[static_cast<size_t>(r * ctx->mb_w + c)] =
          (r < kMaskRows && c < kMaskColumns) ? (p->mask[r * kMaskColumns + c] != 0) : 1;

  ctx->dc_luma.assign(static_cast<size_t>((2 * ctx->mb_h + 1) * (2 * ctx->mb_w + 1)), 1024);
  ctx->dc_cb.assign(static_cast<size_t>((ctx->mb_h + 1) * (ctx->mb_w + 1)), 1024);
  ctx->dc_cr.assign(static_cast<size_t>((ctx->mb_h + 1) * (ctx->mb_w + 1)), 1024);

  ctx->work_block =
      static_cast<uint8_t*>(std::aligned_alloc(dv::kDctWorkAlign, 2 * dv::kDctWorkSize));
  size_t ref_size = 384 * static_cast<size_t>(ctx->mb_count);
  ctx->reference = static_cast<uint8_t*>(std::aligned_alloc(64, (ref_size + 63) / 64 * 64));
  if (!ctx->work_block || !ctx->reference) {
    fail("MP4encodeOPEN: out of memory");
    free_context(ctx);
    return nullptr;
  }
  std::memset(ctx->work_block, 0, 2 * dv::kDctWorkSize);
  std::memset(ctx->reference, 0, ref_size);
  ctx->slot[0].work = ctx->work_block;
  ctx->slot[1].work = ctx->work_block + dv::kDctWorkSize;

  ctx->fetcher = p->input_layout == MP4_LAYOUT_ZARN3 ? &kZarn3Fetcher : &kYuv420Fetcher;
  ctx->fetch_state = ctx->fetcher->init(w, h);
  if (!ctx->fetch_state) {
    fail("MP4encodeOPEN: out of memory");
    free_context(ctx);
    return nullptr;
  }

  mp4_transform_software(&ctx->transform);
  if (dv::dct_device_present()) {
    dv::DctDevice dev;
    std::string path = dv::sys_path(dv::kDctDevicePath);
    if (dv::dct_device_open(&dev, path) != 0) {
      fail("MP4encodeOPEN: cannot open %s: %s", path.c_str(), std::strerror(errno));
      free_context(ctx);
      return nullptr;
    }
    mp4_transform_device(&ctx->transform, dev);
  }
  // Build the code tables now rather than inside the first picture.
  (void)dv::mp4::intra_events();
  (void)dv::mp4::inter_events();
  return ctx;
}

int MP4encodeENCODE(MP4encodeContext* ctx, uint8_t* dest, size_t dest_size, const uint8_t* src,
                    int flags, MP4encodeStats* stats) {
  if (!ctx || !dest || !src) {
    fail("MP4encodeENCODE: missing context, destination or source");
    return -1;
  }
  // A VOP's size is reported as an int: larger buffers are used up to that.
  if (dest_size > 0x7fffffff) dest_size = 0x7fffffff;
  dv::mp4::bw_init(&ctx->bw, dest, dest_size);
  ctx->empty_vop = 0;

  bool intra = (flags & MP4_FRAME_INTRA) || ctx->gop_countdown == 0;
  if (intra) {
    ctx->gop_countdown = ctx->gop - 1;
    if (ctx->target && ctx->window_frames) rate_control(ctx);
    CodeIFrame(ctx, src);
  } else {
    if (!(flags & MP4_FRAME_PREDICTED)) --ctx->gop_countdown;
    if (ctx->quant == ctx->maxquant && window_over_target(ctx)) {
      CodeEmptyPFrame(ctx);
      ctx->empty_vop = 1;
    } else {
      CodePFrame(ctx, src);
    }
  }
  dv::mp4::bw_stuff(&ctx->bw);
  size_t size = dv::mp4::bw_flush(&ctx->bw);
  if (ctx->bw.overflow) {
    // The reference may hold part of this picture: start again with an
    // intra VOP.
    ctx->gop_countdown = 0;
    fail("MP4encodeENCODE: coded picture does not fit into %zu bytes", dest_size);
    return -1;
  }

  if (stats) {
    stats->intra = intra ? 1 : 0;
    stats->zero = 0;
    stats->quant = static_cast<uint16_t>(ctx->quant);
    stats->pad = 0;
    stats->activity = ctx->activity;
  }
  ctx->window_bytes += size;
  ctx->window_frames += 1;
  ctx->total_bytes += size;
  ctx->total_frames += 1;
  return static_cast<int>(size);
}

void MP4encodeCLOSE(MP4encodeContext* ctx) {
  if (ctx) free_context(ctx);
}

int MP4encodeReconstruction(const MP4encodeContext* ctx, uint8_t* planar, size_t size) {
  if (!ctx || !planar) return -1;
  const size_t w = static_cast<size_t>(ctx->width), h = static_cast<size_t>(ctx->height);
  if (size < w * h * 3 / 2) return -1;
  uint8_t* y = planar;
  uint8_t* u = planar + w * h;
  uint8_t* v = u + (w / 2) * (h / 2);
  for (int k = 0; k < ctx->mb_count; ++k) {
    const uint8_t* mb = ctx->reference + 384 * static_cast<size_t>(k);
    const size_t mx = static_cast<size_t>(k % ctx->mb_w), my = static_cast<size_t>(k / ctx->mb_w);
    for (int r = 0; r < 16; ++r) {
      const uint8_t* src = mb + (r < 8 ? 0 : 128) + 8 * (r & 7);
      uint8_t* dst = y + (16 * my + static_cast<size_t>(r)) * w + 16 * mx;
      std::memcpy(dst, src, 8);
      std::memcpy(dst + 8, src + 64, 8);
    }
    for (int r = 0; r < 8; ++r) {
      std::memcpy(u + (8 * my + static_cast<size_t>(r)) * (w / 2) + 8 * mx, mb + 256 + 8 * r, 8);
      std::memcpy(v + (8 * my + static_cast<size_t>(r)) * (w / 2) + 8 * mx, mb + 320 + 8 * r, 8);
    }
  }
  return 0;
}

int MP4encodeWidth(const MP4encodeContext* ctx) { return ctx ? ctx->width : 0; }
int MP4encodeHeight(const MP4encodeContext* ctx) { return ctx ? ctx->height : 0; }

const char* MP4encodeLastError() { return g_last_error; }

size_t MP4encodeMaxFrameBytes(int width, int height) {
  // Headers, then per macroblock at most 6 blocks of a DC (25 bits) and 63
  // escape-coded levels (30 bits each) plus 40 bits of macroblock header.
  size_t mbs = static_cast<size_t>(width / 16) * static_cast<size_t>(height / 16);
  return 64 + mbs * ((6 * (25 + 63 * 30) + 40 + 7) / 8);
}

void mp4enc_use_device(MP4encodeContext* ctx, const dv::DctDevice& device) {
  if (ctx->transform.use_device) dv::dct_device_close(&ctx->transform.device);
  mp4_transform_device(&ctx->transform, device);
}
