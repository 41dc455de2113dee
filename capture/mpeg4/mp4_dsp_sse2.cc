// SSE2 kernels of the software transform. Each repeats the arithmetic of the
// portable reference in mp4_dsp.cc exactly (same constants, same rounding,
// 32-bit wrapping sums, 16-bit saturation), eight samples at a time. Built
// only where the compiler targets SSE2; elsewhere dsp_sse2() returns null.
#include "capture/mpeg4/mp4_dsp.h"

#if defined(__SSE2__)

#include <emmintrin.h>

#include "capture/mpeg4/mp4_dsp_impl.h"

namespace dv::mp4 {

namespace {

#define DV_TARGET
#define DV_FN __attribute__((always_inline)) inline
#define DV_FN_STATIC __attribute__((always_inline)) static
#define V __m128i
#define VOP(op) _mm_##op
#define VOR _mm_or_si128
#define VAND _mm_and_si128
#define VANDNOT _mm_andnot_si128
#define VXOR _mm_xor_si128
#define VZERO _mm_setzero_si128
#include "capture/mpeg4/mp4_dsp_x86.inc"
#include "capture/mpeg4/mp4_dsp_x86_blocks.inc"
#undef V
#undef VOP
#undef VOR
#undef VAND
#undef VANDNOT
#undef VXOR
#undef VZERO
#undef DV_FN_STATIC
#undef DV_FN
#undef DV_TARGET

DspFunctions make_sse2() {
  DspFunctions f;
  f.fdct = Blocks::fdct;
  f.idct_put = Blocks::idct_put;
  f.idct_add = Blocks::idct_add;
  f.quant_intra = Blocks::quant_intra;
  f.quant_inter = Blocks::quant_inter;
  f.dequant_intra = Blocks::dequant_intra;
  f.dequant_inter = Blocks::dequant_inter;
  f.residual_sad = Blocks::residual_sad;
  f.mb_forward_intra = MbKernels<Blocks>::forward_intra;
  f.mb_forward_inter = MbKernels<Blocks>::forward_inter;
  f.mb_recon_intra = MbKernels<Blocks>::recon_intra;
  f.mb_recon_inter = MbKernels<Blocks>::recon_inter;
  return f;
}

}  // namespace

const DspFunctions* dsp_sse2() {
  static const DspFunctions table = make_sse2();
  return __builtin_cpu_supports("sse2") ? &table : nullptr;
}

}  // namespace dv::mp4

#else  // no SSE2 in this build

namespace dv::mp4 {
const DspFunctions* dsp_sse2() { return nullptr; }
}  // namespace dv::mp4

#endif
