// AVX2 transform/quantisation kernel: two blocks at a time, one per 128-bit
// lane. It computes exactly the integers of the portable kernel
// (jcodec_dsp.cc): the same butterflies in 16-bit lanes (no value leaves the
// 16-bit range for 8-bit input), the same products as 32-bit multiply-adds,
// the same rounding shifts and the same reciprocal quantiser.
#include "lib/jcodec/jcodec_dsp.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "lib/jcodec/jcodec_fdct.h"

#define DV_AVX2 __attribute__((target("avx2")))

namespace dv {

bool jcodec_cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

namespace {

using namespace fdct;

// Multiply-add constant for an interleaved pair (a, b): a*ca + b*cb.
DV_AVX2 inline __m256i pair(int32_t ca, int32_t cb) {
  return _mm256_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(cb) << 16) |
                                                (static_cast<uint32_t>(ca) & 0xFFFFu)));
}

template <int kShift>
DV_AVX2 inline __m256i descale(__m256i lo, __m256i hi) {
  const __m256i r = _mm256_set1_epi32(1 << (kShift - 1));
  lo = _mm256_srai_epi32(_mm256_add_epi32(lo, r), kShift);
  hi = _mm256_srai_epi32(_mm256_add_epi32(hi, r), kShift);
  return _mm256_packs_epi32(lo, hi);
}

// One 1-D pass across the eight vectors d[0..7] (lane i of every vector
// belongs to the same line of values).
template <int kPass>
DV_AVX2 inline void pass(const __m256i* d, __m256i* o) {
  constexpr int kShift = kPass == 1 ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
  const __m256i tmp0 = _mm256_add_epi16(d[0], d[7]), tmp7 = _mm256_sub_epi16(d[0], d[7]);
  const __m256i tmp1 = _mm256_add_epi16(d[1], d[6]), tmp6 = _mm256_sub_epi16(d[1], d[6]);
  const __m256i tmp2 = _mm256_add_epi16(d[2], d[5]), tmp5 = _mm256_sub_epi16(d[2], d[5]);
  const __m256i tmp3 = _mm256_add_epi16(d[3], d[4]), tmp4 = _mm256_sub_epi16(d[3], d[4]);
  const __m256i tmp10 = _mm256_add_epi16(tmp0, tmp3), tmp13 = _mm256_sub_epi16(tmp0, tmp3);
  const __m256i tmp11 = _mm256_add_epi16(tmp1, tmp2), tmp12 = _mm256_sub_epi16(tmp1, tmp2);
  if (kPass == 1) {
    o[0] = _mm256_slli_epi16(_mm256_add_epi16(tmp10, tmp11), kPass1Bits);
    o[4] = _mm256_slli_epi16(_mm256_sub_epi16(tmp10, tmp11), kPass1Bits);
  } else {
    const __m256i r = _mm256_set1_epi16(1 << (kPass1Bits - 1));
    o[0] = _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(tmp10, tmp11), r), kPass1Bits);
    o[4] = _mm256_srai_epi16(_mm256_add_epi16(_mm256_sub_epi16(tmp10, tmp11), r), kPass1Bits);
  }
  // Even part.
  const __m256i e_lo = _mm256_unpacklo_epi16(tmp13, tmp12);
  const __m256i e_hi = _mm256_unpackhi_epi16(tmp13, tmp12);
  const __m256i ce2 = pair(kE2a, kE2b), ce6 = pair(kE6a, kE6b);
  o[2] = descale<kShift>(_mm256_madd_epi16(e_lo, ce2), _mm256_madd_epi16(e_hi, ce2));
  o[6] = descale<kShift>(_mm256_madd_epi16(e_lo, ce6), _mm256_madd_epi16(e_hi, ce6));
  // Odd part.
  const __m256i z3 = _mm256_add_epi16(tmp4, tmp6), z4 = _mm256_add_epi16(tmp5, tmp7);
  const __m256i z_lo = _mm256_unpacklo_epi16(z3, z4), z_hi = _mm256_unpackhi_epi16(z3, z4);
  const __m256i cz3 = pair(kZ3a, kZ3b), cz4 = pair(kZ4a, kZ4b);
  const __m256i z3r_lo = _mm256_madd_epi16(z_lo, cz3), z3r_hi = _mm256_madd_epi16(z_hi, cz3);
  const __m256i z4r_lo = _mm256_madd_epi16(z_lo, cz4), z4r_hi = _mm256_madd_epi16(z_hi, cz4);
  const __m256i a_lo = _mm256_unpacklo_epi16(tmp4, tmp7), a_hi = _mm256_unpackhi_epi16(tmp4, tmp7);
  const __m256i b_lo = _mm256_unpacklo_epi16(tmp5, tmp6), b_hi = _mm256_unpackhi_epi16(tmp5, tmp6);
  const __m256i c7 = pair(kO7a, kO7b), c1 = pair(kO1a, kO1b);
  const __m256i c5 = pair(kO5a, kO5b), c3 = pair(kO3a, kO3b);
  o[7] = descale<kShift>(_mm256_add_epi32(_mm256_madd_epi16(a_lo, c7), z3r_lo),
                         _mm256_add_epi32(_mm256_madd_epi16(a_hi, c7), z3r_hi));
  o[1] = descale<kShift>(_mm256_add_epi32(_mm256_madd_epi16(a_lo, c1), z4r_lo),
                         _mm256_add_epi32(_mm256_madd_epi16(a_hi, c1), z4r_hi));
  o[5] = descale<kShift>(_mm256_add_epi32(_mm256_madd_epi16(b_lo, c5), z4r_lo),
                         _mm256_add_epi32(_mm256_madd_epi16(b_hi, c5), z4r_hi));
  o[3] = descale<kShift>(_mm256_add_epi32(_mm256_madd_epi16(b_lo, c3), z3r_lo),
                         _mm256_add_epi32(_mm256_madd_epi16(b_hi, c3), z3r_hi));
}

// 8x8 transpose of 16-bit values inside each 128-bit lane.
DV_AVX2 inline void transpose(const __m256i* r, __m256i* c) {
  const __m256i t0 = _mm256_unpacklo_epi16(r[0], r[1]), t1 = _mm256_unpackhi_epi16(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi16(r[2], r[3]), t3 = _mm256_unpackhi_epi16(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi16(r[4], r[5]), t5 = _mm256_unpackhi_epi16(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi16(r[6], r[7]), t7 = _mm256_unpackhi_epi16(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi32(t0, t2), u1 = _mm256_unpackhi_epi32(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi32(t1, t3), u3 = _mm256_unpackhi_epi32(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi32(t4, t6), u5 = _mm256_unpackhi_epi32(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi32(t5, t7), u7 = _mm256_unpackhi_epi32(t5, t7);
  c[0] = _mm256_unpacklo_epi64(u0, u4);
  c[1] = _mm256_unpackhi_epi64(u0, u4);
  c[2] = _mm256_unpacklo_epi64(u1, u5);
  c[3] = _mm256_unpackhi_epi64(u1, u5);
  c[4] = _mm256_unpacklo_epi64(u2, u6);
  c[5] = _mm256_unpackhi_epi64(u2, u6);
  c[6] = _mm256_unpacklo_epi64(u3, u7);
  c[7] = _mm256_unpackhi_epi64(u3, u7);
}

// Tables in the kernel's storage order: after the row pass, vector u holds
// the coefficients of horizontal frequency u, lane v the vertical frequency v,
// so stored position u*8+v is natural position v*8+u.
struct Avx2Tables {
  alignas(16) uint16_t mult[64];
  alignas(16) uint16_t bias[64];
  alignas(16) uint16_t zero[64];
  alignas(16) uint8_t shuffle[4][4][16];  // [zigzag chunk][stored chunk][byte]
};

Avx2Tables make_tables(int kind) {
  Avx2Tables x{};
  const JcodecQuant& q = jcodec_quant(kind);
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      x.mult[u * 8 + v] = q.mult[v * 8 + u];
      x.bias[u * 8 + v] = q.bias[v * 8 + u];
      x.zero[u * 8 + v] = q.zero[v * 8 + u];
    }
  }
  for (int j = 0; j < 4; ++j) {
    for (int s = 0; s < 4; ++s) {
      for (int i = 0; i < 16; ++i) {
        const int n = kJpegNaturalOrder[16 * j + i];
        const int pos = (n % 8) * 8 + n / 8;
        x.shuffle[j][s][i] = (pos / 16 == s) ? static_cast<uint8_t>(pos % 16) : 0x80;
      }
    }
  }
  return x;
}

const Avx2Tables& tables(int kind) {
  static const Avx2Tables t[2] = {make_tables(0), make_tables(1)};
  return t[kind ? 1 : 0];
}

DV_AVX2 inline __m256i bcast(const void* p) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(static_cast<const __m128i*>(p)));
}

// Codes blocks pa (lane 0) and pb (lane 1).
DV_AVX2 void two_blocks(const Avx2Tables& t, const uint8_t* pa, const uint8_t* pb, int8_t* za,
                        int8_t* zb, uint64_t* ma, uint64_t* mb) {
  const __m256i k128 = _mm256_set1_epi16(128);
  __m256i r[8], p[8], c[8], o[8];
  for (int j = 0; j < 4; ++j) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pa + 16 * j));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb + 16 * j));
    r[2 * j] = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi64(a, b)), k128);
    r[2 * j + 1] = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_unpackhi_epi64(a, b)), k128);
  }
  pass<1>(r, p);  // columns: vectors are rows, lanes are columns
  transpose(p, c);
  pass<2>(c, o);  // rows
  __m256i packed[4];
  for (int j = 0; j < 4; ++j) {
    __m256i q2[2];
    for (int h = 0; h < 2; ++h) {
      const int u = 2 * j + h;
      const __m256i v = o[u];
      const __m256i a = _mm256_abs_epi16(v);
      const __m256i y = _mm256_add_epi16(a, bcast(t.bias + 8 * u));
      __m256i q = _mm256_srli_epi16(_mm256_mulhi_epu16(y, bcast(t.mult + 8 * u)), 4);
      q = _mm256_min_epi16(q, _mm256_set1_epi16(127));
      // Zero below the threshold: |c| and the threshold are below 2^15.
      q = _mm256_andnot_si256(_mm256_cmpgt_epi16(bcast(t.zero + 8 * u), a), q);
      q2[h] = _mm256_sign_epi16(q, v);
    }
    packed[j] = _mm256_packs_epi16(q2[0], q2[1]);
  }
  uint64_t nza = 0, nzb = 0;
  const __m256i zero = _mm256_setzero_si256();
  for (int j = 0; j < 4; ++j) {
    __m256i z = _mm256_shuffle_epi8(packed[0], bcast(t.shuffle[j][0]));
    for (int s = 1; s < 4; ++s) {
      z = _mm256_or_si256(z, _mm256_shuffle_epi8(packed[s], bcast(t.shuffle[j][s])));
    }
    const uint32_t zero_bits =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(z, zero)));
    nza |= static_cast<uint64_t>(~zero_bits & 0xFFFFu) << (16 * j);
    nzb |= static_cast<uint64_t>((~zero_bits >> 16) & 0xFFFFu) << (16 * j);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(za + 16 * j), _mm256_castsi256_si128(z));
    if (zb)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(zb + 16 * j), _mm256_extracti128_si256(z, 1));
  }
  *ma = nza;
  if (mb) *mb = nzb;
}

}  // namespace

DV_AVX2 void jcodec_quant_blocks_avx2(const uint8_t* samples, int nblocks, int kind, int8_t* zz,
                                      uint64_t* masks) {
  const Avx2Tables& t = tables(kind);
  int b = 0;
  for (; b + 1 < nblocks; b += 2) {
    two_blocks(t, samples + 64 * b, samples + 64 * (b + 1), zz + 64 * b, zz + 64 * (b + 1),
               masks + b, masks + b + 1);
  }
  if (b < nblocks) {
    two_blocks(t, samples + 64 * b, samples + 64 * b, zz + 64 * b, nullptr, masks + b, nullptr);
  }
}

}  // namespace dv

#endif  // x86
