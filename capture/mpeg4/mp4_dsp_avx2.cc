// AVX2 kernels of the software transform: the macroblock kernels take two
// blocks at a time, one in each 128-bit lane of the 256-bit registers, with
// the same register-level code as the SSE2 set (mp4_dsp_x86.inc), so they
// give the portable reference's results exactly. Single blocks (and pairs
// that take different short cuts) use the SSE2 code. Compiled with target
// attributes only, so nothing here runs unless dsp_avx2() found AVX2.
#include "capture/mpeg4/mp4_dsp.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)

#include <immintrin.h>

#include <cstring>
#include <initializer_list>

#include "capture/mpeg4/mp4_dsp_impl.h"

namespace dv::mp4 {

namespace {

#define DV_TARGET __attribute__((target("avx2")))
#define DV_FN __attribute__((always_inline, target("avx2"))) inline
#define DV_FN_STATIC __attribute__((always_inline, target("avx2"))) static

namespace x128 {
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
}  // namespace x128

namespace x256 {
#define V __m256i
#define VOP(op) _mm256_##op
#define VOR _mm256_or_si256
#define VAND _mm256_and_si256
#define VANDNOT _mm256_andnot_si256
#define VXOR _mm256_xor_si256
#define VZERO _mm256_setzero_si256
#include "capture/mpeg4/mp4_dsp_x86.inc"
#undef V
#undef VOP
#undef VOR
#undef VAND
#undef VANDNOT
#undef VXOR
#undef VZERO
}  // namespace x256

using x128::Blocks;

// Row k of block a in the low lane, row k of block b in the high lane.
DV_FN __m256i load_pair(const int16_t* a, const int16_t* b) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1);
}

DV_FN void store_pair(int16_t* a, int16_t* b, __m256i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(a), _mm256_castsi256_si128(v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(b), _mm256_extracti128_si256(v, 1));
}

// Eight rows of 8 pixels of blocks a and b, widened to 16 bits.
DV_FN void load_pixel_pair(const uint8_t* a, const uint8_t* b, __m256i x[8]) {
  for (int k = 0; k < 8; ++k)
    x[k] = _mm256_cvtepu8_epi16(
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + 8 * k)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + 8 * k))));
}

// Quantises the registers of two blocks and stores them; the non-zero masks
// of both blocks.
DV_FN void quant_store_pair(__m256i x[8], int16_t* a, int16_t* b, int q, int bias, uint64_t* mask_a,
                            uint64_t* mask_b) {
  const __m256i recip = _mm256_set1_epi16(static_cast<int16_t>((65536 + 2 * q - 1) / (2 * q)));
  const __m256i vbias = _mm256_set1_epi16(static_cast<int16_t>(bias));
  const __m256i lmax = _mm256_set1_epi16(static_cast<int16_t>(max_level(q)));
  uint64_t za = 0, zb = 0;
  for (int k = 0; k < 8; k += 2) {
    __m256i eq0, eq1;
    store_pair(a + 8 * k, b + 8 * k, x256::quant8(x[k], recip, vbias, lmax, &eq0));
    store_pair(a + 8 * k + 8, b + 8 * k + 8, x256::quant8(x[k + 1], recip, vbias, lmax, &eq1));
    uint32_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(eq0, eq1)));
    za |= static_cast<uint64_t>(bits & 0xffff) << (8 * k);
    zb |= static_cast<uint64_t>(bits >> 16) << (8 * k);
  }
  *mask_a = ~za;
  *mask_b = ~zb;
}

// Dequantised level rows of blocks a and b (all eight, or the first four).
DV_FN void load_dequant_pair(const int16_t* a, const int16_t* b, int q, int rows, __m256i r[8]) {
  const __m256i mul = _mm256_set1_epi16(static_cast<int16_t>(2 * q));
  const __m256i add = _mm256_set1_epi16(static_cast<int16_t>((q - 1) | 1));
  for (int k = 0; k < rows; ++k) r[k] = x256::dequant8(load_pair(a + 8 * k, b + 8 * k), mul, add);
}

DV_FN void idct_pair(__m256i r[8], bool low) {
  if (low)
    x256::idct_2d_low(r);
  else
    x256::idct_2d(r);
}

// Stores the limited rows of both blocks (rows y and y + 1 are adjacent in a
// macroblock pixel block).
DV_FN void put_pair(uint8_t* a, uint8_t* b, const __m256i r[8]) {
  for (int y = 0; y < 8; y += 2) {
    __m256i p = _mm256_packus_epi16(r[y], r[y + 1]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a + 8 * y), _mm256_castsi256_si128(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 8 * y), _mm256_extracti128_si256(p, 1));
  }
}

DV_FN void add_pair(uint8_t* a, uint8_t* b, const __m256i r[8]) {
  for (int y = 0; y < 8; y += 2) {
    __m128i da = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 8 * y));
    __m128i db = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 8 * y));
    __m256i d0 = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(da, db));
    __m256i d1 = _mm256_cvtepu8_epi16(_mm_unpackhi_epi64(da, db));
    __m256i p = _mm256_packus_epi16(_mm256_adds_epi16(d0, r[y]), _mm256_adds_epi16(d1, r[y + 1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a + 8 * y), _mm256_castsi256_si128(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 8 * y), _mm256_extracti128_si256(p, 1));
  }
}

constexpr uint64_t kLow = 0x0F0F0F0Full;  // stored indices of the lowest 4 x 4 frequencies

struct Avx2Mb {
  DV_TARGET static void forward_intra(const uint8_t* pix, int16_t* coef, int q, int dcs_luma,
                                      int dcs_chroma, uint64_t nz[6]) {
    for (int a = 0; a < 6; a += 2) {
      const int b = a + 1, s = a < 4 ? dcs_luma : dcs_chroma;
      __m256i x[8];
      load_pixel_pair(pix + 64 * a, pix + 64 * b, x);
      x256::fdct_pass<11>(x);
      x256::transpose8(x);
      x256::fdct_pass<19>(x);
      int dc_a = static_cast<int16_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(x[0])));
      int dc_b = static_cast<int16_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(x[0], 1)));
      uint64_t ma, mb;
      quant_store_pair(x, coef + 64 * a, coef + 64 * b, q, 0, &ma, &mb);
      int la = quant_intra_dc(dc_a, s), lb = quant_intra_dc(dc_b, s);
      coef[64 * a] = static_cast<int16_t>(la);
      coef[64 * b] = static_cast<int16_t>(lb);
      nz[a] = (ma & ~uint64_t{1}) | (la ? 1 : 0);
      nz[b] = (mb & ~uint64_t{1}) | (lb ? 1 : 0);
    }
  }

  DV_TARGET static void forward_inter(int16_t* coef, int q, unsigned zero, uint64_t nz[6]) {
    const int bound = inter_skip_bound(q);
    for (int a = 0; a < 6; a += 2) {
      const int b = a + 1;
      const bool za = zero & (1u << a), zb = zero & (1u << b);
      if (za || zb) {
        for (int k : {a, b}) {
          if (zero & (1u << k)) {
            Blocks::zero_block(coef + 64 * k);
            nz[k] = 0;
          } else {
            nz[k] = Blocks::fdct_quant_inter(coef + 64 * k, q, bound);
          }
        }
        continue;
      }
      __m256i x[8];
      for (int k = 0; k < 8; ++k) x[k] = load_pair(coef + 64 * a + 8 * k, coef + 64 * b + 8 * k);
      x256::fdct_pass<11>(x);
      x256::transpose8(x);
      // The all-zero short cut (see inter_skip_bound), for both blocks; a
      // block that could take it alone gives zero levels below anyway.
      const __m256i z = _mm256_setzero_si256();
      __m256i sum = z;
      for (int k = 0; k < 8; ++k)
        sum = _mm256_adds_epu16(sum, _mm256_max_epi16(x[k], _mm256_sub_epi16(z, x[k])));
      __m256i over = _mm256_subs_epu16(sum, _mm256_set1_epi16(static_cast<int16_t>(bound)));
      if (static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(over, z))) == 0xffffffffu) {
        Blocks::zero_block(coef + 64 * a);
        Blocks::zero_block(coef + 64 * b);
        nz[a] = nz[b] = 0;
        continue;
      }
      x256::fdct_pass<19>(x);
      quant_store_pair(x, coef + 64 * a, coef + 64 * b, q, q / 2, &nz[a], &nz[b]);
    }
  }

  DV_TARGET static void recon_intra(uint8_t* mb, const int16_t* levels, int q, int dcs_luma,
                                    int dcs_chroma, const uint64_t nz[6]) {
    for (int a = 0; a < 6; a += 2) {
      const int b = a + 1, s = a < 4 ? dcs_luma : dcs_chroma;
      const bool dc_a = (nz[a] & ~uint64_t{1}) == 0, dc_b = (nz[b] & ~uint64_t{1}) == 0;
      if (dc_a || dc_b) {
        for (int k : {a, b}) {
          if ((nz[k] & ~uint64_t{1}) == 0)
            std::memset(mb + 64 * k, clip_pixel(idct_dc_only_value(levels[64 * k] * s)), 64);
          else
            Blocks::dequant_idct_put(mb + 64 * k, levels + 64 * k, q, s, nz[k]);
        }
        continue;
      }
      const bool low = ((nz[a] | nz[b]) & ~kLow) == 0;
      __m256i r[8];
      load_dequant_pair(levels + 64 * a, levels + 64 * b, q, low ? 4 : 8, r);
      r[0] = _mm256_insert_epi16(r[0], static_cast<int16_t>(levels[64 * a] * s), 0);
      r[0] = _mm256_insert_epi16(r[0], static_cast<int16_t>(levels[64 * b] * s), 8);
      idct_pair(r, low);
      put_pair(mb + 64 * a, mb + 64 * b, r);
    }
  }

  DV_TARGET static void recon_inter(uint8_t* mb, const int16_t* levels, int q, int cbp,
                                    const uint64_t nz[6]) {
    for (int a = 0; a < 6; a += 2) {
      const int b = a + 1;
      const bool ca = cbp & (32 >> a), cb = cbp & (32 >> b);
      if (!ca || !cb || nz[a] == 1 || nz[b] == 1) {
        for (int k : {a, b}) {
          if (!(cbp & (32 >> k))) continue;
          if (nz[k] == 1)
            Blocks::add_constant(mb + 64 * k,
                                 idct_dc_only_value(dequant_inter_level(levels[64 * k], q)));
          else
            Blocks::dequant_idct_add(mb + 64 * k, levels + 64 * k, q, nz[k]);
        }
        continue;
      }
      const bool low = ((nz[a] | nz[b]) & ~kLow) == 0;
      __m256i r[8];
      load_dequant_pair(levels + 64 * a, levels + 64 * b, q, low ? 4 : 8, r);
      idct_pair(r, low);
      add_pair(mb + 64 * a, mb + 64 * b, r);
    }
  }
};

#undef DV_FN_STATIC
#undef DV_FN
#undef DV_TARGET

DspFunctions make_avx2() {
  DspFunctions f;
  f.fdct = Blocks::fdct;
  f.idct_put = Blocks::idct_put;
  f.idct_add = Blocks::idct_add;
  f.quant_intra = Blocks::quant_intra;
  f.quant_inter = Blocks::quant_inter;
  f.dequant_intra = Blocks::dequant_intra;
  f.dequant_inter = Blocks::dequant_inter;
  f.residual_sad = Blocks::residual_sad;
  f.mb_forward_intra = Avx2Mb::forward_intra;
  f.mb_forward_inter = Avx2Mb::forward_inter;
  f.mb_recon_intra = Avx2Mb::recon_intra;
  f.mb_recon_inter = Avx2Mb::recon_inter;
  return f;
}

}  // namespace

const DspFunctions* dsp_avx2() {
  static const DspFunctions table = make_avx2();
  return __builtin_cpu_supports("avx2") ? &table : nullptr;
}

}  // namespace dv::mp4

#else  // not an x86 build

namespace dv::mp4 {
const DspFunctions* dsp_avx2() { return nullptr; }
}  // namespace dv::mp4

#endif
