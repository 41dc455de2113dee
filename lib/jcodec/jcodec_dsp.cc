// Portable transform/quantisation kernel and the kernel table.
#include "lib/jcodec/jcodec_dsp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "lib/jcodec/jcodec.h"
#include "lib/jcodec/jcodec_fdct.h"

namespace dv {

const uint8_t kJpegNaturalOrder[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

namespace {

// Rounding offset and zero threshold of the AC coefficients as fractions of
// the step, in 1/64, per kind (luma, chroma) and step (the qtable value: 8,
// 12, 16, 32, 64 or 128). DC rounds to nearest. An offset below one half
// widens the zero zone. The written table is finer at the lowest frequencies
// (step 8) than the picture needs and coarse at the highest: bits spent on a
// step-8 coefficient buy four times less error than on a step-16 one, so the
// fine positions get a wide zero zone and the coarse ones round closer to
// nearest. Chroma also drops AC coefficients below 1.25 steps (1.625 at step
// 8). Measured against libjpeg-turbo at equal file size, on camera scenes and
// photographs.
struct StepRounding {
  uint8_t step;
  uint8_t bias64[2];  // luma, chroma
  uint8_t zero64[2];
};
constexpr StepRounding kRounding[] = {
    {8, {8, 16}, {0, 104}}, {12, {24, 16}, {0, 80}}, {16, {24, 12}, {0, 80}},
    {32, {28, 8}, {0, 80}}, {64, {26, 8}, {0, 80}},  {128, {32, 8}, {0, 80}},
};

const StepRounding& rounding_of(int step) {
  for (const StepRounding& r : kRounding) {
    if (r.step == step) return r;
  }
  return kRounding[2];  // any other step: as 16
}

JcodecQuant make_quant(int kind) {
  JcodecQuant t{};
  for (int k = 0; k < 64; ++k) {
    // The transform output is 8x the coefficient; the divisor is 8 x qtable.
    const uint32_t d = 8u * qtable[k];
    const int n = kJpegNaturalOrder[k];
    // ceil(2^20 / d) is exact for |c| + bias < 2^14 with these divisors
    // (checked exhaustively by the tests).
    t.mult[n] = static_cast<uint16_t>(((1u << 20) + d - 1) / d);
    if (k == 0) {
      t.bias[n] = static_cast<uint16_t>(d / 2);  // DC: to nearest
      t.zero[n] = 0;
      continue;
    }
    const StepRounding& r = rounding_of(qtable[k]);
    t.bias[n] = static_cast<uint16_t>(d * r.bias64[kind] / 64);
    t.zero[n] = static_cast<uint16_t>(d * r.zero64[kind] / 64);
  }
  return t;
}

}  // namespace

const JcodecQuant& jcodec_quant(int kind) {
  static const JcodecQuant q[2] = {make_quant(0), make_quant(1)};
  return q[kind ? 1 : 0];
}

namespace {

// One 1-D pass over eight values d[0..7] (read with stride `in`, written with
// stride `out`). Pass 1 keeps two extra bits; pass 2 removes them.
template <int kPass>
inline void fdct_1d(const int32_t* d, int in, int32_t* o, int out) {
  using namespace fdct;
  const int32_t tmp0 = d[0 * in] + d[7 * in], tmp7 = d[0 * in] - d[7 * in];
  const int32_t tmp1 = d[1 * in] + d[6 * in], tmp6 = d[1 * in] - d[6 * in];
  const int32_t tmp2 = d[2 * in] + d[5 * in], tmp5 = d[2 * in] - d[5 * in];
  const int32_t tmp3 = d[3 * in] + d[4 * in], tmp4 = d[3 * in] - d[4 * in];
  const int32_t tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
  const int32_t tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
  constexpr int kShift = kPass == 1 ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
  constexpr int32_t kRound = 1 << (kShift - 1);
  if (kPass == 1) {
    o[0 * out] = (tmp10 + tmp11) * (1 << kPass1Bits);
    o[4 * out] = (tmp10 - tmp11) * (1 << kPass1Bits);
  } else {
    o[0 * out] = (tmp10 + tmp11 + (1 << (kPass1Bits - 1))) >> kPass1Bits;
    o[4 * out] = (tmp10 - tmp11 + (1 << (kPass1Bits - 1))) >> kPass1Bits;
  }
  o[2 * out] = (tmp13 * kE2a + tmp12 * kE2b + kRound) >> kShift;
  o[6 * out] = (tmp13 * kE6a + tmp12 * kE6b + kRound) >> kShift;
  const int32_t z3 = tmp4 + tmp6, z4 = tmp5 + tmp7;
  const int32_t z3r = z3 * kZ3a + z4 * kZ3b;
  const int32_t z4r = z3 * kZ4a + z4 * kZ4b;
  o[7 * out] = (tmp4 * kO7a + tmp7 * kO7b + z3r + kRound) >> kShift;
  o[1 * out] = (tmp4 * kO1a + tmp7 * kO1b + z4r + kRound) >> kShift;
  o[5 * out] = (tmp5 * kO5a + tmp6 * kO5b + z4r + kRound) >> kShift;
  o[3 * out] = (tmp5 * kO3a + tmp6 * kO3b + z3r + kRound) >> kShift;
}

}  // namespace

void jcodec_quant_blocks_c(const uint8_t* samples, int nblocks, int kind, int8_t* zz,
                           uint64_t* masks) {
  const JcodecQuant& q = jcodec_quant(kind);
  for (int b = 0; b < nblocks; ++b, samples += 64, zz += 64) {
    int32_t x[64], ws[64], c[64];
    for (int i = 0; i < 64; ++i) x[i] = static_cast<int32_t>(samples[i]) - 128;
    // Columns first (vertical frequencies), then rows.
    for (int u = 0; u < 8; ++u) fdct_1d<1>(x + u, 8, ws + u, 8);
    for (int v = 0; v < 8; ++v) fdct_1d<2>(ws + 8 * v, 1, c + 8 * v, 1);
    uint64_t mask = 0;
    for (int k = 0; k < 64; ++k) {
      const int n = kJpegNaturalOrder[k];
      const int32_t v = c[n];
      const uint32_t a = static_cast<uint32_t>(v < 0 ? -v : v);
      const uint32_t y = a + q.bias[n];
      int32_t m = static_cast<int32_t>(std::min<uint32_t>(((y * q.mult[n]) >> 16) >> 4, 127));
      if (a < q.zero[n]) m = 0;
      if (v < 0) m = -m;
      zz[k] = static_cast<int8_t>(m);
      mask |= static_cast<uint64_t>(m != 0) << k;
    }
    masks[b] = mask;
  }
}

JcodecDsp jcodec_dsp = {"portable", jcodec_quant_blocks_c};

namespace {
bool g_dsp_chosen = false;
}

void jcodec_dsp_default() {
  if (g_dsp_chosen) return;
  const char* e = std::getenv("DEEPVAULT_JCODEC_PORTABLE");
  jcodec_dsp_init(e && *e && std::strcmp(e, "0") != 0 ? 0 : 1);
}

const char* jcodec_dsp_init(int level) {
  g_dsp_chosen = true;
  jcodec_dsp = JcodecDsp{"portable", jcodec_quant_blocks_c};
  if (level == 0) return jcodec_dsp.name;
#if defined(__x86_64__) || defined(__i386__)
  if (jcodec_cpu_has_avx2()) jcodec_dsp = JcodecDsp{"avx2", jcodec_quant_blocks_avx2};
#endif
  return jcodec_dsp.name;
}

}  // namespace dv
