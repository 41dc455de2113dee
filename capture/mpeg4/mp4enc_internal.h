// The encoder context and the VOP coding functions behind mp4enc.h; for the
// encoder's own files, its tests and tools that need a look inside.
#pragma once

#include <cstdint>
#include <vector>

#include "capture/mpeg4/mp4_bitwriter.h"
#include "capture/mpeg4/mp4_fetch.h"
#include "capture/mpeg4/mp4_transform.h"
#include "capture/mpeg4/mp4enc.h"

struct MP4encodeContext {
  // Picture geometry.
  int width = 0;
  int height = 0;
  int mb_w = 0;
  int mb_h = 0;
  int mb_count = 0;

  // Coding parameters and rate control.
  int quant = 4;
  int gop = 25;
  int gop_countdown = 0;  // 0: the next VOP is intra
  int minquant = 2;
  int maxquant = 31;
  int time_resolution = 25;
  int time_bits = 5;            // width of vop_time_increment
  uint32_t target = 0;          // bytes per second, 0 = fixed quantiser
  uint32_t allowance = 375000;  // bytes per second
  uint64_t window_bytes = 0;    // since the last intra VOP
  uint64_t window_frames = 0;
  uint64_t total_bytes = 0;
  uint64_t total_frames = 0;
  uint32_t vop_tick = 0;  // VOP time: always 0
  uint32_t vop_seconds = 0;

  // Results of the last call.
  uint32_t activity = 0;
  int empty_vop = 0;
  int vop_type = 0;  // 0 intra, 1 predicted: the VOP being coded

  // Watched flag per macroblock of the picture (from the 44 x 18 mask).
  std::vector<uint8_t> watched;

  // Inter blocks with a noise-like residual skip the transform (software
  // transform only; tests that compare with the device model turn it off).
  bool quiet_blocks = true;

  // Transform backend and the two pipeline slots.
  Mp4Transform transform;
  MbSlot slot[2];
  uint8_t* work_block = nullptr;  // both work buffers, one allocation

  // Reconstruction of the last coded picture: mb_count macroblock pixel
  // blocks of 384 bytes in raster order.
  uint8_t* reference = nullptr;

  dv::mp4::BitWriter bw;

  const MbFetcher* fetcher = nullptr;
  MbFetchState* fetch_state = nullptr;

  // Reconstructed intra DC values for DC prediction, with a border row and
  // column of 1024: luma per 8 x 8 block, chroma per macroblock.
  std::vector<int16_t> dc_luma;  // (2 mb_h + 1) x (2 mb_w + 1)
  std::vector<int16_t> dc_cb;    // (mb_h + 1) x (mb_w + 1)
  std::vector<int16_t> dc_cr;
  int dc_scaler[2] = {8, 8};      // luma, chroma DC scaler of the VOP's quantiser
  uint32_t dc_recip[2] = {0, 0};  // ceil(2^20 / dc_scaler)
};

// Writes the video object and video object layer headers (then stuffing).
void BitstreamWriteVolHeader(MP4encodeContext* ctx);
// Writes a VOP header of ctx->vop_type with the given vop_coded value.
void BitstreamWriteVopHeader(MP4encodeContext* ctx, int vop_coded);

// Code one VOP of the given kind from the source picture into ctx->bw.
void CodeIFrame(MP4encodeContext* ctx, const uint8_t* src);
void CodePFrame(MP4encodeContext* ctx, const uint8_t* src);
void CodeEmptyPFrame(MP4encodeContext* ctx);

// Selects the transform device (real or simulated) for an open context; for
// tests that exercise the device protocol. The device is closed by
// MP4encodeCLOSE.
void mp4enc_use_device(MP4encodeContext* ctx, const dv::DctDevice& device);
