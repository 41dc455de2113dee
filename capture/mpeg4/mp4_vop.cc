// Stream headers and VOP coding: macroblock decisions, DC prediction and the
// macroblock layer syntax, around the two-slot transform pipeline.
#include <cstdlib>

#include "capture/mpeg4/mp4_tables.h"
#include "capture/mpeg4/mp4_vlc.h"
#include "capture/mpeg4/mp4enc_internal.h"

using dv::mp4::BitWriter;
using dv::mp4::put_bits;

namespace {

constexpr int kVopIntra = 0;
constexpr int kVopPredicted = 1;

inline void put_vlc(BitWriter* bw, const dv::mp4::Vlc& v) { put_bits(bw, v.length, v.code); }

inline int16_t* slot_coefs(const MbSlot& s) {
  return reinterpret_cast<int16_t*>(s.work + dv::kDctCoefOffset);
}
inline uint8_t* slot_pixels(const MbSlot& s) { return s.work + dv::kDctDataOffset; }

// Predicted DC level of a block from its left (a), upper-left (b) and upper
// (c) reconstructed DC values, in the direction of the smaller gradient,
// divided by the DC scaler with rounding (by the scaler's reciprocal
// ceil(2^20 / scaler), exact for these values).
inline int dc_prediction(int a, int b, int c, int scaler, uint32_t recip) {
  int pred = std::abs(a - b) < std::abs(b - c) ? c : a;
  return static_cast<int>((static_cast<uint32_t>(pred + scaler / 2) * recip) >> 20);
}

void set_dc_scalers(MP4encodeContext* ctx) {
  ctx->dc_scaler[0] = dv::mp4::dc_scaler_luma(ctx->quant);
  ctx->dc_scaler[1] = dv::mp4::dc_scaler_chroma(ctx->quant);
  for (int i = 0; i < 2; ++i)
    ctx->dc_recip[i] = ((1u << 20) + static_cast<uint32_t>(ctx->dc_scaler[i]) - 1) /
                       static_cast<uint32_t>(ctx->dc_scaler[i]);
}

// Marks macroblock (mbx, mby) as not intra for the DC prediction of the
// macroblocks that follow.
inline void reset_dc(MP4encodeContext* ctx, int mbx, int mby) {
  int ls = 2 * ctx->mb_w + 1;
  int16_t* y = ctx->dc_luma.data() + (2 * mby + 1) * ls + 2 * mbx + 1;
  y[0] = y[1] = y[ls] = y[ls + 1] = 1024;
  int cs = ctx->mb_w + 1;
  ctx->dc_cb[(mby + 1) * cs + mbx + 1] = 1024;
  ctx->dc_cr[(mby + 1) * cs + mbx + 1] = 1024;
}

// Intra macroblock after step 2: type, pattern, then per block the DC
// difference (its reconstructed value kept for the blocks that follow) and
// the AC levels.
void put_intra_mb(MP4encodeContext* ctx, int mbx, int mby, const MbSlot& s, const int dc[6],
                  bool predicted_vop) {
  BitWriter bw = ctx->bw;
  const dv::mp4::ScanMasks& masks = *ctx->transform.scan_masks;
  uint64_t ac[6];
  int cbp = 0;
  for (int b = 0; b < 6; ++b) {
    ac[b] = s.nz[b] & ~uint64_t{1};
    if (ac[b]) cbp |= 32 >> b;
  }
  if (predicted_vop) {
    put_bits(&bw, 1, 0);  // not_coded
    put_vlc(&bw, dv::mp4::kMcbpcInterIntra[cbp & 3]);
  } else {
    put_vlc(&bw, dv::mp4::kMcbpcIntra[cbp & 3]);
  }
  put_bits(&bw, 1, 0);  // ac_pred_flag
  put_vlc(&bw, dv::mp4::kCbpy[cbp >> 2]);
  const int16_t* c = slot_coefs(s);
  const dv::mp4::TcoefEvents& events = dv::mp4::intra_events();
  const int ls = 2 * ctx->mb_w + 1, cs = ctx->mb_w + 1;
  int16_t* yv = ctx->dc_luma.data() + (2 * mby + 1) * ls + 2 * mbx + 1;
  for (int b = 0; b < 6; ++b) {
    int16_t* v;
    int stride, scaler;
    uint32_t recip;
    if (b < 4) {
      v = yv + (b >> 1) * ls + (b & 1);
      stride = ls;
      scaler = ctx->dc_scaler[0];
      recip = ctx->dc_recip[0];
    } else {
      v = (b == 4 ? ctx->dc_cb.data() : ctx->dc_cr.data()) + (mby + 1) * cs + mbx + 1;
      stride = cs;
      scaler = ctx->dc_scaler[1];
      recip = ctx->dc_recip[1];
    }
    int pred = dc_prediction(v[-1], v[-stride - 1], v[-stride], scaler, recip);
    dv::mp4::put_intra_dc(&bw, c[64 * b] - pred, b < 4);
    *v = static_cast<int16_t>(dc[b]);
    if (ac[b])
      dv::mp4::put_block_coefs(&bw, events, c + 64 * b, ctx->transform.scan, 1,
                               dv::mp4::to_scan_order(masks, ac[b]));
  }
  ctx->bw = bw;
}

// Inter macroblock with the zero vector after step 2 (cbp from step 2).
void put_inter_mb(MP4encodeContext* ctx, int mbx, int mby, const MbSlot& s, int cbp) {
  reset_dc(ctx, mbx, mby);
  if (cbp == 0) {
    put_bits(&ctx->bw, 1, 1);  // not_coded
    return;
  }
  BitWriter bw = ctx->bw;
  const dv::mp4::Vlc& mcbpc = dv::mp4::kMcbpcInter[cbp & 3];
  const dv::mp4::Vlc& cbpy = dv::mp4::kCbpy[(cbp >> 2) ^ 15];
  // not_coded 0, mcbpc, cbpy (inter meaning), horizontal and vertical motion
  // vector differences 0 ("1" each)
  uint32_t head = ((static_cast<uint32_t>(mcbpc.code) << cbpy.length | cbpy.code) << 2) | 3u;
  put_bits(&bw, 1 + mcbpc.length + cbpy.length + 2, head);
  const int16_t* c = slot_coefs(s);
  const dv::mp4::TcoefEvents& events = dv::mp4::inter_events();
  const dv::mp4::ScanMasks& masks = *ctx->transform.scan_masks;
  for (int b = 0; b < 6; ++b)
    if (cbp & (32 >> b))
      dv::mp4::put_block_coefs(&bw, events, c + 64 * b, ctx->transform.scan, 0,
                               dv::mp4::to_scan_order(masks, s.nz[b]));
  ctx->bw = bw;
}

}  // namespace

void BitstreamWriteVolHeader(MP4encodeContext* ctx) {
  BitWriter* bw = &ctx->bw;
  if (!bw_aligned(bw)) bw_stuff(bw);
  put_bits(bw, 32, 0x00000100);  // video_object_start_code
  put_bits(bw, 32, 0x00000120);  // video_object_layer_start_code
  put_bits(bw, 1, 0);            // random_accessible_vol
  put_bits(bw, 8, 1);            // video_object_type_indication: Simple Object
  put_bits(bw, 1, 0);            // is_object_layer_identifier
  put_bits(bw, 4, 15);           // aspect_ratio_info: extended pixel aspect ratio
  put_bits(bw, 8, 1);            // par_width
  put_bits(bw, 8, 2);            // par_height (pictures are single fields)
  put_bits(bw, 1, 1);            // vol_control_parameters
  put_bits(bw, 2, 1);            // chroma_format: 4:2:0
  put_bits(bw, 1, 1);            // low_delay
  put_bits(bw, 1, 0);            // vbv_parameters
  put_bits(bw, 2, 0);            // video_object_layer_shape: rectangular
  put_bits(bw, 1, 1);            // marker
  put_bits(bw, 16, static_cast<uint32_t>(ctx->time_resolution));  // vop_time_increment_resolution
  put_bits(bw, 1, 1);                                             // marker
  put_bits(bw, 1, 1);                                             // fixed_vop_rate
  put_bits(bw, ctx->time_bits, 1);                                // fixed_vop_time_increment
  put_bits(bw, 1, 1);                                             // marker
  put_bits(bw, 13, static_cast<uint32_t>(ctx->width));            // video_object_layer_width
  put_bits(bw, 1, 1);                                             // marker
  put_bits(bw, 13, static_cast<uint32_t>(ctx->height));           // video_object_layer_height
  put_bits(bw, 1, 1);                                             // marker
  put_bits(bw, 1, 0);                                             // interlaced
  put_bits(bw, 1, 1);                                             // obmc_disable
  put_bits(bw, 1, 0);                                             // sprite_enable
  put_bits(bw, 1, 0);                                             // not_8_bit
  put_bits(bw, 1, 0);                                             // quant_type: H.263 method
  put_bits(bw, 1, 1);                                             // complexity_estimation_disable
  put_bits(bw, 1, 1);                                             // resync_marker_disable
  put_bits(bw, 1, 0);                                             // data_partitioned
  put_bits(bw, 1, 0);                                             // scalability
  bw_stuff(bw);
}

void BitstreamWriteVopHeader(MP4encodeContext* ctx, int vop_coded) {
  BitWriter* bw = &ctx->bw;
  if (!bw_aligned(bw)) bw_stuff(bw);
  put_bits(bw, 32, 0x000001B6);                           // vop_start_code
  put_bits(bw, 2, static_cast<uint32_t>(ctx->vop_type));  // vop_coding_type
  // modulo_time_base: one "1" per second carried (none), then "0"
  for (uint32_t i = 0; i < ctx->vop_seconds; ++i) put_bits(bw, 1, 1);
  put_bits(bw, 1, 0);
  put_bits(bw, 1, 1);                           // marker
  put_bits(bw, ctx->time_bits, ctx->vop_tick);  // vop_time_increment
  put_bits(bw, 1, 1);                           // marker
  put_bits(bw, 1, vop_coded ? 1 : 0);           // vop_coded
  if (!vop_coded) return;
  if (ctx->vop_type == kVopPredicted) put_bits(bw, 1, 0);  // vop_rounding_type
  put_bits(bw, 3, 0);                                      // intra_dc_vlc_thr: always DC VLC
  put_bits(bw, 5, static_cast<uint32_t>(ctx->quant));      // vop_quant
  if (ctx->vop_type == kVopPredicted) put_bits(bw, 3, 1);  // vop_fcode_forward
}

void CodeIFrame(MP4encodeContext* ctx, const uint8_t* src) {
  ctx->vop_type = kVopIntra;
  BitstreamWriteVolHeader(ctx);
  BitstreamWriteVopHeader(ctx, 1);
  const int q = ctx->quant;
  set_dc_scalers(ctx);
  const MbFetcher& f = *ctx->fetcher;
  f.start(slot_pixels(ctx->slot[0]), src, ctx->fetch_state);
  __MBTransQuantIntraStep1(&ctx->transform, &ctx->slot[0], q);
  int mbx = 0, mby = 0;
  for (int k = 0; k < ctx->mb_count; ++k) {
    MbSlot& cur = ctx->slot[k & 1];
    if (k + 1 < ctx->mb_count) {
      MbSlot& next = ctx->slot[(k + 1) & 1];
      if ((k + 1) % ctx->mb_w == 0)
        f.new_line(slot_pixels(next), ctx->fetch_state);
      else
        f.get_mb(slot_pixels(next), ctx->fetch_state);
      __MBTransQuantIntraStep1(&ctx->transform, &next, q);
    }
    int dc[6];
    __MBTransQuantIntraStep2(&ctx->transform, &cur, ctx->reference + 384 * static_cast<size_t>(k),
                             q, dc);
    put_intra_mb(ctx, mbx, mby, cur, dc, false);
    if (++mbx == ctx->mb_w) {
      mbx = 0;
      ++mby;
    }
  }
}

void CodePFrame(MP4encodeContext* ctx, const uint8_t* src) {
  ctx->vop_type = kVopPredicted;
  ctx->activity = 0;
  BitstreamWriteVopHeader(ctx, 1);
  const int q = ctx->quant;
  set_dc_scalers(ctx);
  const MbFetcher& f = *ctx->fetcher;
  uint8_t* ref = ctx->reference;
  // Blocks whose residual looks like sensor noise (SAD below 20 q, no sample
  // off by more than 2 q) are taken as quantising to zero without a
  // transform: nearly all of them do, and the rest carry a level of 1 or 2
  // that is not worth its bits. Software transform only.
  if (ctx->quiet_blocks && !ctx->transform.use_device)
    mb_fetch_set_quiet(ctx->fetch_state, 20 * q, 2 * q);
  else
    mb_fetch_set_quiet(ctx->fetch_state, 0, 0);
  auto submit = [ctx, q](MbSlot& s, int intra) {
    s.quiet = mb_fetch_quiet(ctx->fetch_state);
    if (intra)
      __MBTransQuantIntraStep1(&ctx->transform, &s, q);
    else
      __MBTransQuantInterStep1(&ctx->transform, &s, q);
  };
  MbSlot& first = ctx->slot[0];
  submit(first, f.start_me(slot_pixels(first), slot_coefs(first), src, ref, ctx->fetch_state,
                           dv::mp4::quant_to_sad[q]));
  int mbx = 0, mby = 0;
  for (int k = 0; k < ctx->mb_count; ++k) {
    MbSlot& cur = ctx->slot[k & 1];
    if (k + 1 < ctx->mb_count) {
      MbSlot& next = ctx->slot[(k + 1) & 1];
      const uint8_t* next_ref = ref + 384 * static_cast<size_t>(k + 1);
      int intra =
          (k + 1) % ctx->mb_w == 0
              ? f.new_line_me(slot_pixels(next), slot_coefs(next), next_ref, ctx->fetch_state)
              : f.get_mb_me(slot_pixels(next), slot_coefs(next), next_ref, ctx->fetch_state);
      submit(next, intra);
    }
    uint8_t* ref_mb = ref + 384 * static_cast<size_t>(k);
    if (cur.intra) {
      int dc[6];
      __MBTransQuantIntraStep2(&ctx->transform, &cur, ref_mb, q, dc);
      put_intra_mb(ctx, mbx, mby, cur, dc, true);
      if (ctx->watched[static_cast<size_t>(k)]) ++ctx->activity;
    } else {
      int cbp = __MBTransQuantInterStep2(&ctx->transform, &cur, ref_mb, q);
      put_inter_mb(ctx, mbx, mby, cur, cbp);
    }
    if (++mbx == ctx->mb_w) {
      mbx = 0;
      ++mby;
    }
  }
}

void CodeEmptyPFrame(MP4encodeContext* ctx) {
  ctx->vop_type = kVopPredicted;
  BitstreamWriteVopHeader(ctx, 1);
  // not_coded = 1 for every macroblock
  int n = ctx->mb_count;
  for (; n >= 32; n -= 32) put_bits(&ctx->bw, 32, 0xffffffffu);
  if (n) put_bits(&ctx->bw, n, (1u << n) - 1);
  ctx->activity = 320;
}
