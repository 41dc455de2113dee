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

// A pmaddwd constant: lo multiplies the first sample of each pair, hi the
// second.
inline __m128i pair(int lo, int hi) {
  return _mm_set1_epi32(
      static_cast<int>((static_cast<uint32_t>(hi) << 16) | (static_cast<uint32_t>(lo) & 0xffff)));
}

__attribute__((always_inline)) inline void transpose8(__m128i r[8]) {
  __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  r[0] = _mm_unpacklo_epi64(b0, b4);
  r[1] = _mm_unpackhi_epi64(b0, b4);
  r[2] = _mm_unpacklo_epi64(b1, b5);
  r[3] = _mm_unpackhi_epi64(b1, b5);
  r[4] = _mm_unpacklo_epi64(b2, b6);
  r[5] = _mm_unpackhi_epi64(b2, b6);
  r[6] = _mm_unpacklo_epi64(b3, b7);
  r[7] = _mm_unpackhi_epi64(b3, b7);
}

// Sum of two pmaddwd products for the low and high halves of (x0, x1) and
// (x2, x3) interleaved pairs.
struct Pairs {
  __m128i lo01, hi01, lo23, hi23;
};

inline Pairs make_pairs(__m128i x0, __m128i x1, __m128i x2, __m128i x3) {
  return {_mm_unpacklo_epi16(x0, x1), _mm_unpackhi_epi16(x0, x1), _mm_unpacklo_epi16(x2, x3),
          _mm_unpackhi_epi16(x2, x3)};
}

// (c0 x0 + c1 x1 + c2 x2 + c3 x3 + round) >> shift, eight lanes, saturated.
template <int kShift>
inline __m128i dot4(const Pairs& p, __m128i c01, __m128i c23, __m128i round) {
  __m128i lo =
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(p.lo01, c01), _mm_madd_epi16(p.lo23, c23)), round);
  __m128i hi =
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(p.hi01, c01), _mm_madd_epi16(p.hi23, c23)), round);
  return _mm_packs_epi32(_mm_srai_epi32(lo, kShift), _mm_srai_epi32(hi, kShift));
}

// One forward DCT pass down the registers (each register a row of 8 lanes).
template <int kShift>
__attribute__((always_inline)) inline void fdct_pass(__m128i x[8]) {
  const __m128i round = _mm_set1_epi32(1 << (kShift - 1));
  __m128i s0 = _mm_add_epi16(x[0], x[7]), s1 = _mm_add_epi16(x[1], x[6]);
  __m128i s2 = _mm_add_epi16(x[2], x[5]), s3 = _mm_add_epi16(x[3], x[4]);
  __m128i d0 = _mm_sub_epi16(x[0], x[7]), d1 = _mm_sub_epi16(x[1], x[6]);
  __m128i d2 = _mm_sub_epi16(x[2], x[5]), d3 = _mm_sub_epi16(x[3], x[4]);
  Pairs s = make_pairs(s0, s1, s2, s3);
  Pairs d = make_pairs(d0, d1, d2, d3);
  x[0] = dot4<kShift>(s, pair(11585, 11585), pair(11585, 11585), round);
  x[2] = dot4<kShift>(s, pair(15137, 6270), pair(-6270, -15137), round);
  x[4] = dot4<kShift>(s, pair(11585, -11585), pair(-11585, 11585), round);
  x[6] = dot4<kShift>(s, pair(6270, -15137), pair(15137, -6270), round);
  x[1] = dot4<kShift>(d, pair(16069, 13623), pair(9102, 3196), round);
  x[3] = dot4<kShift>(d, pair(13623, -3196), pair(-16069, -9102), round);
  x[5] = dot4<kShift>(d, pair(9102, -16069), pair(3196, 13623), round);
  x[7] = dot4<kShift>(d, pair(3196, -9102), pair(13623, -16069), round);
}

// Stored indices of the lowest 4 x 4 frequencies (rows 0..3, columns 0..3).
constexpr uint64_t kLow4x4 = 0x0F0F0F0Full;

constexpr int W1 = 22725, W2 = 21407, W3 = 19266, W4 = 16383, W5 = 12873, W6 = 8867, W7 = 4520;

// One IDCT pass down the registers: r[k] holds coefficient k of eight
// independent 1-D transforms; returns the eight 32-bit sums (low and high
// halves) before the shift, in output order.
template <int kShift>
__attribute__((always_inline)) inline void idct_pass(__m128i r[8], __m128i round) {
  __m128i r04l = _mm_unpacklo_epi16(r[0], r[4]), r04h = _mm_unpackhi_epi16(r[0], r[4]);
  __m128i r26l = _mm_unpacklo_epi16(r[2], r[6]), r26h = _mm_unpackhi_epi16(r[2], r[6]);
  __m128i r13l = _mm_unpacklo_epi16(r[1], r[3]), r13h = _mm_unpackhi_epi16(r[1], r[3]);
  __m128i r57l = _mm_unpacklo_epi16(r[5], r[7]), r57h = _mm_unpackhi_epi16(r[5], r[7]);

  const __m128i k44 = pair(W4, W4), k4n4 = pair(W4, -W4);
  const __m128i k26 = pair(W2, W6), k6n2 = pair(W6, -W2);
  const __m128i k13 = pair(W1, W3), k57 = pair(W5, W7);
  const __m128i k3n7 = pair(W3, -W7), kn1n5 = pair(-W1, -W5);
  const __m128i k5n1 = pair(W5, -W1), k73 = pair(W7, W3);
  const __m128i k7n5 = pair(W7, -W5), k3n1 = pair(W3, -W1);

  __m128i out_lo[8], out_hi[8];
  for (int h = 0; h < 2; ++h) {
    __m128i r04 = h ? r04h : r04l, r26 = h ? r26h : r26l;
    __m128i r13 = h ? r13h : r13l, r57 = h ? r57h : r57l;
    __m128i e0 = _mm_add_epi32(_mm_madd_epi16(r04, k44), round);
    __m128i e1 = _mm_add_epi32(_mm_madd_epi16(r04, k4n4), round);
    __m128i o0 = _mm_madd_epi16(r26, k26);
    __m128i o1 = _mm_madd_epi16(r26, k6n2);
    __m128i a0 = _mm_add_epi32(e0, o0), a3 = _mm_sub_epi32(e0, o0);
    __m128i a1 = _mm_add_epi32(e1, o1), a2 = _mm_sub_epi32(e1, o1);
    __m128i b0 = _mm_add_epi32(_mm_madd_epi16(r13, k13), _mm_madd_epi16(r57, k57));
    __m128i b1 = _mm_add_epi32(_mm_madd_epi16(r13, k3n7), _mm_madd_epi16(r57, kn1n5));
    __m128i b2 = _mm_add_epi32(_mm_madd_epi16(r13, k5n1), _mm_madd_epi16(r57, k73));
    __m128i b3 = _mm_add_epi32(_mm_madd_epi16(r13, k7n5), _mm_madd_epi16(r57, k3n1));
    __m128i* o = h ? out_hi : out_lo;
    o[0] = _mm_srai_epi32(_mm_add_epi32(a0, b0), kShift);
    o[1] = _mm_srai_epi32(_mm_add_epi32(a1, b1), kShift);
    o[2] = _mm_srai_epi32(_mm_add_epi32(a2, b2), kShift);
    o[3] = _mm_srai_epi32(_mm_add_epi32(a3, b3), kShift);
    o[4] = _mm_srai_epi32(_mm_sub_epi32(a3, b3), kShift);
    o[5] = _mm_srai_epi32(_mm_sub_epi32(a2, b2), kShift);
    o[6] = _mm_srai_epi32(_mm_sub_epi32(a1, b1), kShift);
    o[7] = _mm_srai_epi32(_mm_sub_epi32(a0, b0), kShift);
  }
  for (int k = 0; k < 8; ++k) r[k] = _mm_packs_epi32(out_lo[k], out_hi[k]);
}

// IDCT pass for a block whose coefficients 4..7 of every 1-D transform are
// zero (r[4..7] are not read); with kLowLanes only lanes 0..3 can be
// non-zero, and the upper lanes of the outputs are zero. Same sums as
// idct_pass, without the products of zeros.
template <int kShift, bool kLowLanes>
__attribute__((always_inline)) inline void idct_pass_low(__m128i r[8], __m128i round) {
  const __m128i z = _mm_setzero_si128();
  const __m128i k44 = pair(W4, W4), k4n4 = pair(W4, -W4);
  const __m128i k26 = pair(W2, W6), k6n2 = pair(W6, -W2);
  const __m128i k13 = pair(W1, W3), k3n7 = pair(W3, -W7);
  const __m128i k5n1 = pair(W5, -W1), k7n5 = pair(W7, -W5);
  __m128i out_lo[8], out_hi[8];
  for (int h = 0; h < (kLowLanes ? 1 : 2); ++h) {
    __m128i r0 = h ? _mm_unpackhi_epi16(r[0], z) : _mm_unpacklo_epi16(r[0], z);
    __m128i r2 = h ? _mm_unpackhi_epi16(r[2], z) : _mm_unpacklo_epi16(r[2], z);
    __m128i r13 = h ? _mm_unpackhi_epi16(r[1], r[3]) : _mm_unpacklo_epi16(r[1], r[3]);
    __m128i e0 = _mm_add_epi32(_mm_madd_epi16(r0, k44), round);
    __m128i e1 = _mm_add_epi32(_mm_madd_epi16(r0, k4n4), round);
    __m128i o0 = _mm_madd_epi16(r2, k26);
    __m128i o1 = _mm_madd_epi16(r2, k6n2);
    __m128i a0 = _mm_add_epi32(e0, o0), a3 = _mm_sub_epi32(e0, o0);
    __m128i a1 = _mm_add_epi32(e1, o1), a2 = _mm_sub_epi32(e1, o1);
    __m128i b0 = _mm_madd_epi16(r13, k13);
    __m128i b1 = _mm_madd_epi16(r13, k3n7);
    __m128i b2 = _mm_madd_epi16(r13, k5n1);
    __m128i b3 = _mm_madd_epi16(r13, k7n5);
    __m128i* o = h ? out_hi : out_lo;
    o[0] = _mm_srai_epi32(_mm_add_epi32(a0, b0), kShift);
    o[1] = _mm_srai_epi32(_mm_add_epi32(a1, b1), kShift);
    o[2] = _mm_srai_epi32(_mm_add_epi32(a2, b2), kShift);
    o[3] = _mm_srai_epi32(_mm_add_epi32(a3, b3), kShift);
    o[4] = _mm_srai_epi32(_mm_sub_epi32(a3, b3), kShift);
    o[5] = _mm_srai_epi32(_mm_sub_epi32(a2, b2), kShift);
    o[6] = _mm_srai_epi32(_mm_sub_epi32(a1, b1), kShift);
    o[7] = _mm_srai_epi32(_mm_sub_epi32(a0, b0), kShift);
  }
  for (int k = 0; k < 8; ++k) r[k] = _mm_packs_epi32(out_lo[k], kLowLanes ? z : out_hi[k]);
}

// Both IDCT passes for a block whose non-zero coefficients all lie in the
// lowest 4 x 4 frequencies (stored rows 0..3, lanes 0..3).
__attribute__((always_inline)) inline void idct_2d_low(__m128i r[8]) {
  __m128i ac = _mm_or_si128(_mm_or_si128(r[1], r[2]), r[3]);
  __m128i dc_only = _mm_cmpeq_epi16(ac, _mm_setzero_si128());
  __m128i dc8 = _mm_and_si128(dc_only, _mm_slli_epi16(r[0], 3));
  idct_pass_low<11, true>(r, _mm_set1_epi32(1 << 10));
  for (int k = 0; k < 8; ++k) r[k] = _mm_or_si128(_mm_andnot_si128(dc_only, r[k]), dc8);
  transpose8(r);
  idct_pass_low<20, false>(r, _mm_set1_epi32(16383 * 32));
}

// Both IDCT passes on a coefficient block held in registers (transposed
// layout, r[k] = stored row k); spatial rows out (16-bit, before limiting).
__attribute__((always_inline)) inline void idct_2d(__m128i r[8]) {
  // Lanes are coefficient rows; a row whose coefficients 1..7 are all zero
  // becomes eight times its first coefficient.
  __m128i ac = _mm_or_si128(_mm_or_si128(_mm_or_si128(r[1], r[2]), _mm_or_si128(r[3], r[4])),
                            _mm_or_si128(_mm_or_si128(r[5], r[6]), r[7]));
  __m128i dc_only = _mm_cmpeq_epi16(ac, _mm_setzero_si128());
  __m128i dc8 = _mm_and_si128(dc_only, _mm_slli_epi16(r[0], 3));
  idct_pass<11>(r, _mm_set1_epi32(1 << 10));
  for (int k = 0; k < 8; ++k) r[k] = _mm_or_si128(_mm_andnot_si128(dc_only, r[k]), dc8);
  transpose8(r);
  idct_pass<20>(r, _mm_set1_epi32(16383 * 32));
}

__attribute__((always_inline)) inline void load_block(const int16_t* block, __m128i r[8]) {
  for (int k = 0; k < 8; ++k)
    r[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * k));
}

// Inverse quantisation of eight levels (H.263 method).
__attribute__((always_inline)) inline __m128i dequant8(__m128i x, __m128i mul, __m128i add) {
  const __m128i z = _mm_setzero_si128();
  __m128i s = _mm_srai_epi16(x, 15);
  __m128i a = _mm_max_epi16(x, _mm_sub_epi16(z, x));
  __m128i v = _mm_andnot_si128(_mm_cmpeq_epi16(a, z), _mm_add_epi16(_mm_mullo_epi16(a, mul), add));
  return _mm_sub_epi16(_mm_xor_si128(v, s), s);
}

// Quantisation of eight values (magnitude less bias, times the reciprocal,
// limited); returns the levels, eq gets the lanes that became zero.
__attribute__((always_inline)) inline __m128i quant8(__m128i x, __m128i recip, __m128i bias,
                                                     __m128i lmax, __m128i* eq) {
  const __m128i z = _mm_setzero_si128();
  __m128i s = _mm_srai_epi16(x, 15);
  __m128i a = _mm_subs_epu16(_mm_max_epi16(x, _mm_sub_epi16(z, x)), bias);
  __m128i l = _mm_min_epi16(_mm_mulhi_epu16(a, recip), lmax);
  *eq = _mm_cmpeq_epi16(l, z);
  return _mm_sub_epi16(_mm_xor_si128(l, s), s);
}

// Stores the quantised registers and returns the non-zero mask.
__attribute__((always_inline)) inline uint64_t quant_store(__m128i x[8], int16_t* block, int q,
                                                           int bias) {
  const __m128i recip = _mm_set1_epi16(static_cast<int16_t>((65536 + 2 * q - 1) / (2 * q)));
  const __m128i vbias = _mm_set1_epi16(static_cast<int16_t>(bias));
  const __m128i lmax = _mm_set1_epi16(static_cast<int16_t>(max_level(q)));
  uint64_t zero_bits = 0;
  for (int k = 0; k < 8; k += 2) {
    __m128i eq0, eq1;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * k),
                     quant8(x[k], recip, vbias, lmax, &eq0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * k + 8),
                     quant8(x[k + 1], recip, vbias, lmax, &eq1));
    uint32_t bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(eq0, eq1)));
    zero_bits |= static_cast<uint64_t>(bits) << (8 * k);
  }
  return ~zero_bits;
}

struct Sse2 {
  static void load_pixels(const uint8_t* pix, int16_t* block) {
    const __m128i z = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
      __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pix + 16 * i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 16 * i), _mm_unpacklo_epi8(p, z));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 16 * i + 8), _mm_unpackhi_epi8(p, z));
    }
  }

  static void fdct(int16_t* block) {
    __m128i x[8];
    for (int k = 0; k < 8; ++k)
      x[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * k));
    fdct_pass<11>(x);
    transpose8(x);
    fdct_pass<19>(x);
    for (int k = 0; k < 8; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * k), x[k]);
  }

  static uint64_t fdct_quant_inter(int16_t* block, int q, int bound) {
    __m128i x[8];
    for (int k = 0; k < 8; ++k)
      x[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * k));
    fdct_pass<11>(x);
    transpose8(x);
    // Lanes are now the rows u of the first pass: sum |y[u][c]| over the
    // registers c (saturating, which only makes the test stricter).
    const __m128i z = _mm_setzero_si128();
    __m128i sum = z;
    for (int k = 0; k < 8; ++k)
      sum = _mm_adds_epu16(sum, _mm_max_epi16(x[k], _mm_sub_epi16(z, x[k])));
    __m128i over = _mm_subs_epu16(sum, _mm_set1_epi16(static_cast<int16_t>(bound)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(over, z)) == 0xffff) {
      __m128i* b = reinterpret_cast<__m128i*>(block);
      _mm_storeu_si128(b + 0, z);
      _mm_storeu_si128(b + 1, z);
      _mm_storeu_si128(b + 2, z);
      _mm_storeu_si128(b + 3, z);
      _mm_storeu_si128(b + 4, z);
      _mm_storeu_si128(b + 5, z);
      _mm_storeu_si128(b + 6, z);
      _mm_storeu_si128(b + 7, z);
      return 0;
    }
    fdct_pass<19>(x);
    return quant_store(x, block, q, q / 2);
  }

  static uint64_t fdct_quant_intra(const uint8_t* pix, int16_t* block, int q, int dc_scaler) {
    const __m128i z = _mm_setzero_si128();
    __m128i x[8];
    for (int k = 0; k < 8; ++k)
      x[k] = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pix + 8 * k)), z);
    fdct_pass<11>(x);
    transpose8(x);
    fdct_pass<19>(x);
    int dc = static_cast<int16_t>(_mm_cvtsi128_si32(x[0]));
    uint64_t mask = quant_store(x, block, q, 0) & ~uint64_t{1};
    int level = quant_intra_dc(dc, dc_scaler);
    block[0] = static_cast<int16_t>(level);
    return level ? mask | 1 : mask;
  }

  static void dequant_idct_put(uint8_t* dst, const int16_t* levels, int q, int dc_scaler,
                               uint64_t nz) {
    const __m128i mul = _mm_set1_epi16(static_cast<int16_t>(2 * q));
    const __m128i add = _mm_set1_epi16(static_cast<int16_t>((q - 1) | 1));
    __m128i r[8];
    if ((nz & ~kLow4x4) == 0) {
      for (int k = 0; k < 4; ++k)
        r[k] =
            dequant8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + 8 * k)), mul, add);
      r[0] = _mm_insert_epi16(r[0], levels[0] * dc_scaler, 0);
      idct_2d_low(r);
      store_rows(dst, 8, r);
      return;
    }
    load_block(levels, r);
    for (int k = 0; k < 8; ++k) r[k] = dequant8(r[k], mul, add);
    r[0] = _mm_insert_epi16(r[0], levels[0] * dc_scaler, 0);
    idct_2d(r);
    store_rows(dst, 8, r);
  }

  static void dequant_idct_add(uint8_t* dst, const int16_t* levels, int q, uint64_t nz) {
    const __m128i mul = _mm_set1_epi16(static_cast<int16_t>(2 * q));
    const __m128i add = _mm_set1_epi16(static_cast<int16_t>((q - 1) | 1));
    __m128i r[8];
    if ((nz & ~kLow4x4) == 0) {
      for (int k = 0; k < 4; ++k)
        r[k] =
            dequant8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + 8 * k)), mul, add);
      idct_2d_low(r);
      add_to_rows(dst, 8, r);
      return;
    }
    load_block(levels, r);
    for (int k = 0; k < 8; ++k) r[k] = dequant8(r[k], mul, add);
    idct_2d(r);
    add_to_rows(dst, 8, r);
  }

  __attribute__((always_inline)) static void put_rows(uint8_t* dst, ptrdiff_t stride,
                                                      __m128i r[8]) {
    idct_2d(r);
    store_rows(dst, stride, r);
  }

  __attribute__((always_inline)) static void store_rows(uint8_t* dst, ptrdiff_t stride,
                                                        __m128i r[8]) {
    for (int y = 0; y < 8; y += 2) {
      __m128i p = _mm_packus_epi16(r[y], r[y + 1]);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + y * stride), p);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + (y + 1) * stride), _mm_srli_si128(p, 8));
    }
  }

  static void idct_put(uint8_t* dst, ptrdiff_t stride, int16_t* block) {
    __m128i r[8];
    load_block(block, r);
    put_rows(dst, stride, r);
  }

  static void idct_add(uint8_t* dst, ptrdiff_t stride, int16_t* block) {
    __m128i r[8];
    load_block(block, r);
    add_rows(dst, stride, r);
  }

  __attribute__((always_inline)) static void add_rows(uint8_t* dst, ptrdiff_t stride,
                                                      __m128i r[8]) {
    idct_2d(r);
    add_to_rows(dst, stride, r);
  }

  __attribute__((always_inline)) static void add_to_rows(uint8_t* dst, ptrdiff_t stride,
                                                         __m128i r[8]) {
    const __m128i z = _mm_setzero_si128();
    for (int y = 0; y < 8; y += 2) {
      __m128i d0 =
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst + y * stride)), z);
      __m128i d1 = _mm_unpacklo_epi8(
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst + (y + 1) * stride)), z);
      __m128i p = _mm_packus_epi16(_mm_adds_epi16(d0, r[y]), _mm_adds_epi16(d1, r[y + 1]));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + y * stride), p);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + (y + 1) * stride), _mm_srli_si128(p, 8));
    }
  }

  static void add_constant(uint8_t* blk, int v) {
    // v is within -2048..2047: add as 16-bit and limit.
    const __m128i z = _mm_setzero_si128();
    const __m128i c = _mm_set1_epi16(static_cast<int16_t>(v));
    for (int i = 0; i < 64; i += 16) {
      __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + i));
      __m128i lo = _mm_adds_epi16(_mm_unpacklo_epi8(p, z), c);
      __m128i hi = _mm_adds_epi16(_mm_unpackhi_epi8(p, z), c);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(blk + i), _mm_packus_epi16(lo, hi));
    }
  }

  static uint64_t quant_ac(int16_t* block, int q, int bias) {
    __m128i x[8];
    load_block(block, x);
    return quant_store(x, block, q, bias);
  }

  static uint64_t quant_inter(int16_t* block, int q) { return quant_ac(block, q, q / 2); }

  static uint64_t quant_intra(int16_t* block, int q, int dc_scaler) {
    int dc = block[0];
    uint64_t mask = quant_ac(block, q, 0) & ~uint64_t{1};
    int level = quant_intra_dc(dc, dc_scaler);
    block[0] = static_cast<int16_t>(level);
    return level ? mask | 1 : mask;
  }

  static void dequant_inter(int16_t* out, const int16_t* levels, int q) {
    const __m128i mul = _mm_set1_epi16(static_cast<int16_t>(2 * q));
    const __m128i add = _mm_set1_epi16(static_cast<int16_t>((q - 1) | 1));
    for (int i = 0; i < 64; i += 8)
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(out + i),
          dequant8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + i)), mul, add));
  }

  static void dequant_intra(int16_t* out, const int16_t* levels, int q, int dc_scaler) {
    dequant_inter(out, levels, q);
    out[0] = static_cast<int16_t>(levels[0] * dc_scaler);
  }

  static void zero_block(int16_t* block) {
    const __m128i z = _mm_setzero_si128();
    __m128i* b = reinterpret_cast<__m128i*>(block);
    _mm_storeu_si128(b + 0, z);
    _mm_storeu_si128(b + 1, z);
    _mm_storeu_si128(b + 2, z);
    _mm_storeu_si128(b + 3, z);
    _mm_storeu_si128(b + 4, z);
    _mm_storeu_si128(b + 5, z);
    _mm_storeu_si128(b + 6, z);
    _mm_storeu_si128(b + 7, z);
  }

  static int residual_sad(const uint8_t* cur, const uint8_t* ref, int16_t* residual, int threshold,
                          int quiet_sad, int quiet_peak, unsigned* quiet) {
    const __m128i z = _mm_setzero_si128();
    const __m128i peak = _mm_set1_epi8(static_cast<char>(quiet_peak > 255 ? 255 : quiet_peak));
    int budget = threshold;
    unsigned q = 0;
    // SAD and largest difference per block; the decision at the two luma
    // checkpoints.
    for (int b = 0; b < 6; ++b) {
      __m128i sad = z, over = z;
      for (int i = 64 * b; i < 64 * b + 64; i += 16) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + i));
        __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ref + i));
        sad = _mm_add_epi64(sad, _mm_sad_epu8(c, r));
        __m128i ad = _mm_or_si128(_mm_subs_epu8(c, r), _mm_subs_epu8(r, c));
        over = _mm_or_si128(over, _mm_subs_epu8(ad, peak));
      }
      int s = _mm_cvtsi128_si32(sad) + _mm_cvtsi128_si32(_mm_srli_si128(sad, 8));
      if (s < quiet_sad && _mm_movemask_epi8(_mm_cmpeq_epi8(over, z)) == 0xffff) q |= 1u << b;
      if (b < 4) {
        budget -= s;
        if ((b & 1) && budget < 0) return 1;
      }
    }
    // The residual of the blocks that will be transformed.
    for (int b = 0; b < 6; ++b) {
      if (q & (1u << b)) continue;
      for (int i = 64 * b; i < 64 * b + 64; i += 16) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + i));
        __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ref + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(residual + i),
                         _mm_sub_epi16(_mm_unpacklo_epi8(c, z), _mm_unpacklo_epi8(r, z)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(residual + i + 8),
                         _mm_sub_epi16(_mm_unpackhi_epi8(c, z), _mm_unpackhi_epi8(r, z)));
      }
    }
    *quiet = q;
    return 0;
  }
};

DspFunctions make_sse2() {
  DspFunctions f;
  f.fdct = Sse2::fdct;
  f.idct_put = Sse2::idct_put;
  f.idct_add = Sse2::idct_add;
  f.quant_intra = Sse2::quant_intra;
  f.quant_inter = Sse2::quant_inter;
  f.dequant_intra = Sse2::dequant_intra;
  f.dequant_inter = Sse2::dequant_inter;
  f.residual_sad = Sse2::residual_sad;
  f.mb_forward_intra = MbKernels<Sse2>::forward_intra;
  f.mb_forward_inter = MbKernels<Sse2>::forward_inter;
  f.mb_recon_intra = MbKernels<Sse2>::recon_intra;
  f.mb_recon_inter = MbKernels<Sse2>::recon_inter;
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
