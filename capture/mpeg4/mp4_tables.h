// Constant tables of the MPEG-4 Part 2 (ISO/IEC 14496-2) Simple Profile coder:
// scan order, DC scalers, the SAD threshold of the macroblock decision, and
// the variable-length codes (macroblock type, coded block pattern, intra DC
// size, transform coefficients). Shared by the encoder and its tests.
#pragma once

#include <cstdint>

namespace dv::mp4 {

// Zigzag scan: kZigzag[i] is the natural (row-major) index of the i-th
// coefficient in scan order.
extern const uint8_t kZigzag[64];

// DC scaler of quantiser q (1..31) for luminance and chrominance blocks.
int dc_scaler_luma(int q);
int dc_scaler_chroma(int q);

// One variable-length code: the code value in its low `length` bits, first
// bit most significant.
struct Vlc {
  uint16_t code;
  uint8_t length;
};

// MCBPC of intra VOPs, by cbpc (chroma coded-block bits: Cb in bit 1, Cr in
// bit 0), for mb_type 3 (intra).
extern const Vlc kMcbpcIntra[4];
// MCBPC of predicted VOPs, mb_type 0 (inter) and mb_type 3 (intra), by cbpc.
extern const Vlc kMcbpcInter[4];
extern const Vlc kMcbpcInterIntra[4];
// CBPY by the four luma coded-block bits (Y0 in bit 3 ... Y3 in bit 0), as
// coded for intra macroblocks; inter macroblocks code (15 - cbpy).
extern const Vlc kCbpy[16];
// dct_dc_size_luminance / dct_dc_size_chrominance, by size 0..12.
extern const Vlc kDcSizeLuma[13];
extern const Vlc kDcSizeChroma[13];

// One row of a transform coefficient table: (last, run, |level|) and its code
// without the trailing sign bit.
struct TcoefCode {
  uint8_t last;
  uint8_t run;
  uint8_t level;
  uint8_t length;
  uint16_t code;
};
extern const TcoefCode kIntraTcoef[102];
extern const TcoefCode kInterTcoef[102];

// The escape code that precedes the three escape forms.
constexpr uint32_t kTcoefEscape = 0x03;
constexpr int kTcoefEscapeLength = 7;

// SAD threshold of the intra/inter decision of a predicted macroblock, by
// quantiser 0..31 (sum of absolute luma differences over 256 samples).
extern const uint16_t quant_to_sad[32];

}  // namespace dv::mp4
