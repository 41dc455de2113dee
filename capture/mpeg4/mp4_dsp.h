// Transform and quantisation kernels of the software transform, behind a table
// of function pointers. The table starts as the portable C++ reference; on
// processors with SSE2 or AVX2 mp4_dsp_init() replaces it with SIMD versions
// that give bit-identical results (the tests feed them and the reference the
// same random blocks).
//
// Conventions shared by every kernel:
//  - A pixel block is 8 x 8 bytes, row by row. A macroblock pixel block is six
//    of them (Y0 Y1 Y2 Y3 Cb Cr, 384 bytes); a macroblock residual is the same
//    as 384 signed 16-bit values.
//  - A coefficient block is 64 signed 16-bit values stored TRANSPOSED: the
//    coefficient of vertical frequency u and horizontal frequency v is at
//    index v * 8 + u (kScanTransposed gives the zigzag order in this layout).
//    Keeping the transform's natural output order saves a transpose in both
//    the forward and the inverse transform.
//  - The forward DCT is the orthonormal 8 x 8 DCT of ISO/IEC 14496-2 (a flat
//    block of value p has DC 8 p), computed with 15-bit constants and rounded.
//  - The inverse DCT is a separable integer IDCT (rows, then columns, 14-bit
//    constants, 32-bit sums) that meets IEEE 1180 and equals, for every block a
//    conforming stream can carry, the integer IDCT that common software
//    decoders use, so the encoder's reference picture and a decoder's output
//    stay the same over a whole GOP.
//  - Quantisation is the H.263 method of the standard (quant_type 0):
//    intra DC: level = round(F / dc_scaler), limited so that level x dc_scaler
//    stays within 2047; intra AC: level = |F| / (2q); inter: level =
//    (|F| - q/2) / (2q); levels are limited so that their inverse stays
//    within 2047. Inverse: |F'| = q (2 |level| + 1), minus 1 for even q; intra
//    DC F' = level x dc_scaler.
//  - Quantisers return a 64-bit mask of the non-zero levels (bit i for index
//    i of the stored, transposed block).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dv::mp4 {

// kScanTransposed[i]: index, in the transposed coefficient layout, of the i-th
// coefficient in zigzag order.
extern const uint8_t kScanTransposed[64];

// Number of set bits (the processor's instruction where the build may use
// it, else a few shifts and adds instead of a library call).
inline int popcount64(uint64_t x) {
#if defined(__POPCNT__)
  return __builtin_popcountll(x);
#else
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<int>((x * 0x0101010101010101ull) >> 56);
#endif
}

// Largest level whose inverse quantisation stays within 2047.
inline int max_level(int q) { return (2047 + ((q & 1) ? 0 : 1) - q) / (2 * q); }

struct DspFunctions {
  // Forward DCT of one block in place: natural pixel-order input (-255..255,
  // or 0..255), transposed coefficient output.
  void (*fdct)(int16_t* block);
  // Inverse DCT of one transposed coefficient block (values within
  // -2048..2047), written to 8 x 8 bytes at dst (row step stride) with
  // limiting to 0..255, or added to them. The block is clobbered.
  void (*idct_put)(uint8_t* dst, ptrdiff_t stride, int16_t* block);
  void (*idct_add)(uint8_t* dst, ptrdiff_t stride, int16_t* block);
  // Quantisation in place; the result is the mask of non-zero levels.
  uint64_t (*quant_intra)(int16_t* block, int q, int dc_scaler);
  uint64_t (*quant_inter)(int16_t* block, int q);
  // Inverse quantisation of a level block into out.
  void (*dequant_intra)(int16_t* out, const int16_t* levels, int q, int dc_scaler);
  void (*dequant_inter)(int16_t* out, const int16_t* levels, int q);
  // The intra/inter decision of a 384-byte macroblock pixel block against
  // its reference: the luma SAD is taken against the budget `threshold`
  // after the first 128 and after all 256 luma samples; the result is 1
  // (intra) as soon as the budget is exceeded. Otherwise the result is 0,
  // *quiet has bit k set for every block k whose SAD is below quiet_sad and
  // whose largest |cur - ref| is at most quiet_peak, and the residual
  // cur - ref is formed for every other block (a quiet block's residual is
  // left as it was).
  int (*residual_sad)(const uint8_t* cur, const uint8_t* ref, int16_t* residual, int threshold,
                      int quiet_sad, int quiet_peak, unsigned* quiet);

  // Macroblock forms (six blocks in one call, Y0 Y1 Y2 Y3 with the luma
  // scaler, Cb Cr with the chroma scaler), nz[k] the mask of block k.
  // Intra: forward DCT and quantisation of a 384-byte pixel block into coef.
  void (*mb_forward_intra)(const uint8_t* pix, int16_t* coef, int q, int dcs_luma, int dcs_chroma,
                           uint64_t nz[6]);
  // Inter: forward DCT and quantisation of a residual, in place. Blocks
  // whose bit is set in `zero` (block k in bit k) are taken as quantising to
  // zero without being transformed.
  void (*mb_forward_inter)(int16_t* coef, int q, unsigned zero, uint64_t nz[6]);
  // Intra reconstruction: inverse quantisation and IDCT of all six level
  // blocks into the 384-byte macroblock pixel block mb.
  void (*mb_recon_intra)(uint8_t* mb, const int16_t* levels, int q, int dcs_luma, int dcs_chroma,
                         const uint64_t nz[6]);
  // Inter reconstruction: for every block whose bit is set in cbp (block 0 in
  // bit 5 ... block 5 in bit 0), inverse quantisation and IDCT added to mb.
  void (*mb_recon_inter)(uint8_t* mb, const int16_t* levels, int q, int cbp, const uint64_t nz[6]);
};

// Plain inverse DCT of one transposed coefficient block in place, the
// spatial result (16-bit, not limited) in natural order. Portable only; used
// to model the transform device.
void idct_portable(int16_t* block);

// The kernels in use. Starts as the portable reference; see mp4_dsp_init.
extern DspFunctions g_dsp;

// The portable reference kernels.
const DspFunctions& dsp_portable();

// The SSE2 kernels, or null when this build or processor has none.
const DspFunctions* dsp_sse2();
// The AVX2 kernels (macroblock kernels two blocks at a time), or null.
const DspFunctions* dsp_avx2();

// Selects the fastest kernels this processor supports (called by
// MP4encodeOPEN; cheap and idempotent): AVX2, else SSE2, else the portable
// reference. With use_simd false the portable reference is used.
void mp4_dsp_init(bool use_simd = true);

// Uses the given kernel set (tests and timing tools).
void mp4_dsp_use(const DspFunctions& kernels);

}  // namespace dv::mp4
