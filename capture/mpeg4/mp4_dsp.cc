// Portable reference kernels of the software transform, and the kernel table.
//
// The arithmetic is written so that a SIMD version can repeat it exactly:
// sums of products are formed in 32-bit words that wrap (as pmaddwd/paddd do),
// and results stored as 16-bit values are saturated (as packssdw does).
#include "capture/mpeg4/mp4_dsp.h"

#include <cstdlib>
#include <cstring>

#include "capture/mpeg4/mp4_dsp_impl.h"
#include "capture/mpeg4/mp4_tables.h"

namespace dv::mp4 {

// clang-format off
const uint8_t kScanTransposed[64] = {
     0,  8,  1,  2,  9, 16, 24, 17,
    10,  3,  4, 11, 18, 25, 32, 40,
    33, 26, 19, 12,  5,  6, 13, 20,
    27, 34, 41, 48, 56, 49, 42, 35,
    28, 21, 14,  7, 15, 22, 29, 36,
    43, 50, 57, 58, 51, 44, 37, 30,
    23, 31, 38, 45, 52, 59, 60, 53,
    46, 39, 47, 54, 61, 62, 55, 63,
};
// clang-format on

namespace {

// 32-bit wrapping arithmetic on signed values.
inline uint32_t w32(int v) { return static_cast<uint32_t>(v); }
inline int32_t s32(uint32_t v) { return static_cast<int32_t>(v); }

inline int16_t sat16(int32_t v) {
  return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

// Forward DCT matrix, 15-bit: row k of the even half multiplies the sums
// x[j] + x[7-j], row k of the odd half the differences x[j] - x[7-j]
// (j = 0..3), giving outputs 2k and 2k + 1.
constexpr int kFdctEven[4][4] = {
    {11585, 11585, 11585, 11585},
    {15137, 6270, -6270, -15137},
    {11585, -11585, -11585, 11585},
    {6270, -15137, 15137, -6270},
};
constexpr int kFdctOdd[4][4] = {
    {16069, 13623, 9102, 3196},
    {13623, -3196, -16069, -9102},
    {9102, -16069, 3196, 13623},
    {3196, -9102, 13623, -16069},
};

// One 8-point forward DCT: in[0], in[istep], ... to out[0], out[ostep], ...
template <int kShift>
inline void fdct_1d(const int16_t* in, int istep, int16_t* out, int ostep) {
  int s[4], d[4];
  for (int j = 0; j < 4; ++j) {
    // 16-bit sums, as in the SIMD form (the ranges never overflow them).
    s[j] = static_cast<int16_t>(in[j * istep] + in[(7 - j) * istep]);
    d[j] = static_cast<int16_t>(in[j * istep] - in[(7 - j) * istep]);
  }
  const uint32_t round = 1u << (kShift - 1);
  for (int k = 0; k < 4; ++k) {
    uint32_t e = round, o = round;
    for (int j = 0; j < 4; ++j) {
      e += w32(kFdctEven[k][j]) * w32(s[j]);
      o += w32(kFdctOdd[k][j]) * w32(d[j]);
    }
    out[2 * k * ostep] = sat16(s32(e) >> kShift);
    out[(2 * k + 1) * ostep] = sat16(s32(o) >> kShift);
  }
}

// IDCT constants: cos(k pi / 16) sqrt(2) 2^14, rounded (W4 one below).
constexpr int W1 = 22725, W2 = 21407, W3 = 19266, W4 = 16383, W5 = 12873, W6 = 8867, W7 = 4520;

// One 8-point inverse DCT over in[0], in[step], ... with 32-bit wrapping sums;
// returns the eight sums a0+b0, a1+b1, a2+b2, a3+b3, a3-b3, a2-b2, a1-b1,
// a0-b0 (not yet shifted). `round` is added to every output.
inline void idct_sums(const int16_t* in, int step, uint32_t round, int32_t out[8]) {
  const uint32_t c0 = w32(in[0]), c1 = w32(in[step]), c2 = w32(in[2 * step]),
                 c3 = w32(in[3 * step]), c4 = w32(in[4 * step]), c5 = w32(in[5 * step]),
                 c6 = w32(in[6 * step]), c7 = w32(in[7 * step]);
  uint32_t e0 = w32(W4) * c0 + w32(W4) * c4 + round;
  uint32_t e1 = w32(W4) * c0 - w32(W4) * c4 + round;
  uint32_t o0 = w32(W2) * c2 + w32(W6) * c6;
  uint32_t o1 = w32(W6) * c2 - w32(W2) * c6;
  uint32_t a0 = e0 + o0, a3 = e0 - o0, a1 = e1 + o1, a2 = e1 - o1;
  uint32_t b0 = w32(W1) * c1 + w32(W3) * c3 + w32(W5) * c5 + w32(W7) * c7;
  uint32_t b1 = w32(W3) * c1 - w32(W7) * c3 - w32(W1) * c5 - w32(W5) * c7;
  uint32_t b2 = w32(W5) * c1 - w32(W1) * c3 + w32(W7) * c5 + w32(W3) * c7;
  uint32_t b3 = w32(W7) * c1 - w32(W5) * c3 + w32(W3) * c5 - w32(W1) * c7;
  out[0] = s32(a0 + b0);
  out[1] = s32(a1 + b1);
  out[2] = s32(a2 + b2);
  out[3] = s32(a3 + b3);
  out[4] = s32(a3 - b3);
  out[5] = s32(a2 - b2);
  out[6] = s32(a1 - b1);
  out[7] = s32(a0 - b0);
}

// Row pass of the IDCT on the transposed block: row u of the coefficient
// matrix is in[u], in[u + 8], ..., in[u + 56]; the spatial row goes to
// tmp[8u .. 8u + 7].
inline void idct_rows(const int16_t* in, int16_t* tmp) {
  for (int u = 0; u < 8; ++u) {
    const int16_t* r = in + u;
    if ((r[8] | r[16] | r[24] | r[32] | r[40] | r[48] | r[56]) == 0) {
      // A row with only its first coefficient: 8 times it, in 16 bits.
      int16_t v = static_cast<int16_t>(static_cast<uint16_t>(r[0]) << 3);
      for (int x = 0; x < 8; ++x) tmp[8 * u + x] = v;
      continue;
    }
    int32_t sums[8];
    idct_sums(r, 8, 1u << 10, sums);
    for (int x = 0; x < 8; ++x) tmp[8 * u + x] = sat16(sums[x] >> 11);
  }
}

// Column rounding: W4 * 32 added to every sum before the shift by 20.
constexpr uint32_t kColRound = 16383u * 32u;

struct Portable {
  static void load_pixels(const uint8_t* pix, int16_t* block) {
    for (int i = 0; i < 64; ++i) block[i] = pix[i];
  }

  static void fdct(int16_t* block) {
    int16_t tmp[64];
    for (int c = 0; c < 8; ++c) fdct_1d<11>(block + c, 8, tmp + c, 8);
    for (int u = 0; u < 8; ++u) fdct_1d<19>(tmp + 8 * u, 1, block + u, 8);
  }

  // Forward DCT and inter quantisation, with the all-zero short cut.
  static uint64_t fdct_quant_inter(int16_t* block, int q, int bound) {
    int16_t tmp[64];
    for (int c = 0; c < 8; ++c) fdct_1d<11>(block + c, 8, tmp + c, 8);
    bool zero = true;
    for (int u = 0; u < 8 && zero; ++u) {
      int b = 0;
      for (int c = 0; c < 8; ++c) b += tmp[8 * u + c] < 0 ? -tmp[8 * u + c] : tmp[8 * u + c];
      zero = b <= bound;
    }
    if (zero) {
      zero_block(block);
      return 0;
    }
    for (int u = 0; u < 8; ++u) fdct_1d<19>(tmp + 8 * u, 1, block + u, 8);
    return quant_inter(block, q);
  }

  static void idct_put(uint8_t* dst, ptrdiff_t stride, int16_t* block) {
    int16_t tmp[64];
    idct_rows(block, tmp);
    for (int x = 0; x < 8; ++x) {
      int32_t sums[8];
      idct_sums(tmp + x, 8, kColRound, sums);
      for (int y = 0; y < 8; ++y) dst[y * stride + x] = clip_pixel(sat16(sums[y] >> 20));
    }
  }

  static void idct_add(uint8_t* dst, ptrdiff_t stride, int16_t* block) {
    int16_t tmp[64];
    idct_rows(block, tmp);
    for (int x = 0; x < 8; ++x) {
      int32_t sums[8];
      idct_sums(tmp + x, 8, kColRound, sums);
      for (int y = 0; y < 8; ++y) {
        uint8_t* p = dst + y * stride + x;
        *p = clip_pixel(*p + sat16(sums[y] >> 20));
      }
    }
  }

  static uint64_t fdct_quant_intra(const uint8_t* pix, int16_t* block, int q, int dc_scaler) {
    load_pixels(pix, block);
    fdct(block);
    return quant_intra(block, q, dc_scaler);
  }

  static void dequant_idct_put(uint8_t* dst, const int16_t* levels, int q, int dc_scaler,
                               uint64_t /*nz*/) {
    int16_t tmp[64];
    dequant_intra(tmp, levels, q, dc_scaler);
    idct_put(dst, 8, tmp);
  }

  static void dequant_idct_add(uint8_t* dst, const int16_t* levels, int q, uint64_t /*nz*/) {
    int16_t tmp[64];
    dequant_inter(tmp, levels, q);
    idct_add(dst, 8, tmp);
  }

  static void add_constant(uint8_t* blk, int v) {
    for (int i = 0; i < 64; ++i) blk[i] = clip_pixel(blk[i] + v);
  }

  // Quantises the magnitudes a = |x| (as the SIMD form sees them: the
  // magnitude of -32768 is 32768) less `bias`, saturating at 0.
  static uint64_t quant_ac(int16_t* block, int first, int q, int bias) {
    const uint32_t recip = static_cast<uint32_t>((65536 + 2 * q - 1) / (2 * q));
    const int lmax = max_level(q);
    uint64_t mask = 0;
    for (int i = first; i < 64; ++i) {
      int x = block[i];
      int a = (x < 0 ? -x : x) - bias;
      if (a < 0) a = 0;
      int level = static_cast<int>((static_cast<uint32_t>(a) * recip) >> 16);
      if (level > lmax) level = lmax;
      block[i] = static_cast<int16_t>(x < 0 ? -level : level);
      if (level) mask |= uint64_t{1} << i;
    }
    return mask;
  }

  static uint64_t quant_inter(int16_t* block, int q) { return quant_ac(block, 0, q, q / 2); }

  static uint64_t quant_intra(int16_t* block, int q, int dc_scaler) {
    uint64_t mask = quant_ac(block, 1, q, 0);
    int level = quant_intra_dc(block[0], dc_scaler);
    block[0] = static_cast<int16_t>(level);
    return level ? mask | 1 : mask;
  }

  static void dequant_inter(int16_t* out, const int16_t* levels, int q) {
    for (int i = 0; i < 64; ++i) out[i] = static_cast<int16_t>(dequant_inter_level(levels[i], q));
  }

  static void dequant_intra(int16_t* out, const int16_t* levels, int q, int dc_scaler) {
    for (int i = 1; i < 64; ++i) out[i] = static_cast<int16_t>(dequant_inter_level(levels[i], q));
    out[0] = static_cast<int16_t>(levels[0] * dc_scaler);
  }

  static void zero_block(int16_t* block) { std::memset(block, 0, 64 * sizeof(int16_t)); }

  static int residual_sad(const uint8_t* cur, const uint8_t* ref, int16_t* residual, int threshold,
                          int quiet_sad, int quiet_peak, unsigned* quiet) {
    int budget = threshold;
    unsigned q = 0;
    for (int b = 0; b < 6; ++b) {
      int sad = 0, peak = 0;
      for (int i = 64 * b; i < 64 * b + 64; ++i) {
        int a = cur[i] > ref[i] ? cur[i] - ref[i] : ref[i] - cur[i];
        sad += a;
        if (a > peak) peak = a;
      }
      if (sad < quiet_sad && peak <= quiet_peak) q |= 1u << b;
      if (b < 4) {
        budget -= sad;
        if ((b & 1) && budget < 0) return 1;
      }
    }
    for (int b = 0; b < 6; ++b) {
      if (q & (1u << b)) continue;
      for (int i = 64 * b; i < 64 * b + 64; ++i)
        residual[i] = static_cast<int16_t>(cur[i] - ref[i]);
    }
    *quiet = q;
    return 0;
  }
};

DspFunctions make_portable() {
  DspFunctions f;
  f.fdct = Portable::fdct;
  f.idct_put = Portable::idct_put;
  f.idct_add = Portable::idct_add;
  f.quant_intra = Portable::quant_intra;
  f.quant_inter = Portable::quant_inter;
  f.dequant_intra = Portable::dequant_intra;
  f.dequant_inter = Portable::dequant_inter;
  f.residual_sad = Portable::residual_sad;
  f.mb_forward_intra = MbKernels<Portable>::forward_intra;
  f.mb_forward_inter = MbKernels<Portable>::forward_inter;
  f.mb_recon_intra = MbKernels<Portable>::recon_intra;
  f.mb_recon_inter = MbKernels<Portable>::recon_inter;
  return f;
}

}  // namespace

void idct_portable(int16_t* block) {
  int16_t tmp[64];
  idct_rows(block, tmp);
  for (int x = 0; x < 8; ++x) {
    int32_t sums[8];
    idct_sums(tmp + x, 8, kColRound, sums);
    for (int y = 0; y < 8; ++y) block[8 * y + x] = sat16(sums[y] >> 20);
  }
}

const DspFunctions& dsp_portable() {
  static const DspFunctions table = make_portable();
  return table;
}

DspFunctions g_dsp = make_portable();

void mp4_dsp_init(bool use_simd) {
  const DspFunctions* simd = nullptr;
  if (use_simd) simd = dsp_avx2();
  if (use_simd && !simd) simd = dsp_sse2();
  g_dsp = simd ? *simd : dsp_portable();
}

void mp4_dsp_use(const DspFunctions& kernels) { g_dsp = kernels; }

}  // namespace dv::mp4
