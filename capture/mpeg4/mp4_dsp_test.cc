// Transform kernels: IEEE 1180 accuracy of the IDCT, forward DCT accuracy,
// the quantiser rules, and bit-identical results of the SIMD kernels and the
// portable reference on the same random blocks.
#include "capture/mpeg4/mp4_dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "capture/mpeg4/mp4_dsp_impl.h"
#include "capture/mpeg4/mp4_tables.h"

namespace dv::mp4 {
namespace {

// ---------------------------------------------------------------------------
// Double-precision reference transforms (orthonormal 8 x 8 DCT of the
// standard), natural layout.

double basis(int k, int x) {
  double c = k == 0 ? std::sqrt(0.125) : 0.5;
  return c * std::cos((2 * x + 1) * k * M_PI / 16.0);
}

void ref_fdct(const double in[64], double out[64]) {
  double tmp[64];
  for (int u = 0; u < 8; ++u)
    for (int c = 0; c < 8; ++c) {
      double s = 0;
      for (int x = 0; x < 8; ++x) s += basis(u, x) * in[8 * x + c];
      tmp[8 * u + c] = s;
    }
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v) {
      double s = 0;
      for (int c = 0; c < 8; ++c) s += basis(v, c) * tmp[8 * u + c];
      out[8 * u + v] = s;
    }
}

void ref_idct(const double in[64], double out[64]) {
  double tmp[64];
  for (int u = 0; u < 8; ++u)
    for (int x = 0; x < 8; ++x) {
      double s = 0;
      for (int v = 0; v < 8; ++v) s += basis(v, x) * in[8 * u + v];
      tmp[8 * u + x] = s;
    }
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double s = 0;
      for (int u = 0; u < 8; ++u) s += basis(u, y) * tmp[8 * u + x];
      out[8 * y + x] = s;
    }
}

// Natural-order coefficients to the kernels' transposed layout and back.
void to_stored(const int16_t* natural, int16_t* stored) {
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v) stored[8 * v + u] = natural[8 * u + v];
}

// The random number generator of IEEE Std 1180-1990 (32-bit arithmetic).
struct Ieee1180Random {
  uint32_t randx = 1;
  long next(long lo, long hi) {
    static const double z = static_cast<double>(0x7fffffff) + 1;
    randx = (randx * 1103515245u) + 12345u;
    long i = static_cast<long>(randx & 0x7ffffffeu);
    double x = static_cast<double>(i) / z;
    x *= static_cast<double>(lo + hi + 1);
    long j = static_cast<long>(x);
    return j - lo;
  }
};

long clip(long v, long lo, long hi) { return v < lo ? lo : (v > hi ? hi : v); }

struct Ieee1180Case {
  long lo, hi;
  int sign;
};

class Ieee1180Test : public ::testing::TestWithParam<Ieee1180Case> {};

// IEEE 1180: 10000 random blocks per range and sign; the IDCT of the rounded
// reference coefficients must stay within the peak, mean and mean-square
// error limits of the standard against the double-precision IDCT.
TEST_P(Ieee1180Test, PortableIdctMeetsAccuracyLimits) {
  const Ieee1180Case c = GetParam();
  Ieee1180Random rnd;
  const int kBlocks = 10000;
  double err_sum[64] = {}, err_sq[64] = {};
  long peak = 0;
  for (int n = 0; n < kBlocks; ++n) {
    double pix[64], coef[64], ref[64];
    for (int i = 0; i < 64; ++i) pix[i] = static_cast<double>(rnd.next(c.lo, c.hi) * c.sign);
    ref_fdct(pix, coef);
    int16_t natural[64], stored[64];
    double rounded[64];
    for (int i = 0; i < 64; ++i) {
      natural[i] = static_cast<int16_t>(clip(std::lround(coef[i]), -2048, 2047));
      rounded[i] = natural[i];
    }
    ref_idct(rounded, ref);
    to_stored(natural, stored);
    idct_portable(stored);
    for (int i = 0; i < 64; ++i) {
      long want = clip(std::lround(ref[i]), -256, 255);
      long got = clip(stored[i], -256, 255);
      long e = got - want;
      peak = std::max(peak, std::labs(e));
      err_sum[i] += static_cast<double>(e);
      err_sq[i] += static_cast<double>(e * e);
    }
  }
  double total_mean = 0, total_mse = 0;
  for (int i = 0; i < 64; ++i) {
    EXPECT_LE(std::fabs(err_sum[i] / kBlocks), 0.015) << "pixel " << i;
    EXPECT_LE(err_sq[i] / kBlocks, 0.06) << "pixel " << i;
    total_mean += err_sum[i];
    total_mse += err_sq[i];
  }
  EXPECT_LE(peak, 1);
  EXPECT_LE(std::fabs(total_mean / (64.0 * kBlocks)), 0.0015);
  EXPECT_LE(total_mse / (64.0 * kBlocks), 0.02);
}

INSTANTIATE_TEST_SUITE_P(Ranges, Ieee1180Test,
                         ::testing::Values(Ieee1180Case{256, 255, 1}, Ieee1180Case{256, 255, -1},
                                           Ieee1180Case{5, 5, 1}, Ieee1180Case{5, 5, -1},
                                           Ieee1180Case{300, 300, 1}, Ieee1180Case{300, 300, -1}));

TEST(IdctTest, ZeroBlockGivesZero) {
  int16_t b[64] = {};
  idct_portable(b);
  for (int16_t v : b) EXPECT_EQ(v, 0);
}

// A block whose only coefficient is the DC gives the constant of the short
// cut the macroblock kernels use.
TEST(IdctTest, DcOnlyShortCutEqualsFullTransform) {
  for (int d = -2048; d <= 2047; ++d) {
    int16_t b[64] = {};
    b[0] = static_cast<int16_t>(d);
    idct_portable(b);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(b[i], idct_dc_only_value(d)) << "dc " << d;
  }
}

TEST(FdctTest, WithinOneOfTheExactTransform) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pix(-255, 255);
  for (int n = 0; n < 2000; ++n) {
    int16_t b[64];
    double in[64], want[64];
    for (int i = 0; i < 64; ++i) in[i] = b[i] = static_cast<int16_t>(pix(rng));
    ref_fdct(in, want);
    dsp_portable().fdct(b);
    for (int u = 0; u < 8; ++u)
      for (int v = 0; v < 8; ++v)
        ASSERT_LE(std::fabs(b[8 * v + u] - want[8 * u + v]), 1.0) << u << "," << v;
  }
}

// ---------------------------------------------------------------------------
// Quantiser rules (portable reference).

TEST(QuantTest, InterDeadZoneAndIntraTruncation) {
  struct Case {
    int f, q, inter, intra;
  };
  // inter: (|F| - q/2) / 2q; intra AC: |F| / 2q.
  const Case cases[] = {
      {0, 4, 0, 0},        {9, 4, 0, 1},
      {10, 4, 1, 1},       {-10, 4, -1, -1},
      {17, 4, 1, 2},       {18, 4, 2, 2},
      {-25, 5, -2, -2},    {100, 1, 50, 50},
      {4000, 2, 511, 511}, {-4000, 1, -1023, -1023},
  };
  for (const Case& c : cases) {
    int16_t a[64] = {}, b[64] = {};
    a[5] = b[5] = static_cast<int16_t>(c.f);
    dsp_portable().quant_inter(a, c.q);
    dsp_portable().quant_intra(b, c.q, 8);
    EXPECT_EQ(a[5], c.inter) << c.f << " q" << c.q;
    EXPECT_EQ(b[5], c.intra) << c.f << " q" << c.q;
  }
}

TEST(QuantTest, IntraDcRoundsAndStaysWithin2047) {
  struct Case {
    int f, scaler, level;
  };
  const Case cases[] = {{0, 8, 0},       {3, 8, 0},      {4, 8, 1},   {2040, 8, 255},
                        {2040, 16, 127}, {2047, 46, 44}, {100, 17, 6}};
  for (const Case& c : cases) {
    int16_t b[64] = {};
    b[0] = static_cast<int16_t>(c.f);
    uint64_t nz = dsp_portable().quant_intra(b, 8, c.scaler);
    EXPECT_EQ(b[0], c.level) << c.f << "/" << c.scaler;
    EXPECT_LE(b[0] * c.scaler, 2047);
    EXPECT_EQ(nz & 1, c.level ? 1u : 0u);
  }
}

TEST(QuantTest, InverseFollowsTheH263Rule) {
  for (int q = 1; q <= 31; ++q) {
    int16_t lev[64] = {}, out[64];
    lev[0] = 1;
    lev[1] = -2;
    lev[2] = static_cast<int16_t>(max_level(q));
    dsp_portable().dequant_inter(out, lev, q);
    int odd_fix = (q & 1) ? 0 : 1;
    EXPECT_EQ(out[0], q * 3 - odd_fix);
    EXPECT_EQ(out[1], -(q * 5 - odd_fix));
    EXPECT_LE(out[2], 2047);
    EXPECT_GT(q * (2 * (max_level(q) + 1) + 1) - odd_fix, 2047);
    EXPECT_EQ(out[3], 0);
    dsp_portable().dequant_intra(out, lev, q, 13);
    EXPECT_EQ(out[0], 13);
  }
}

// The all-zero short cut of the inter kernel never changes a result.
TEST(QuantTest, InterShortCutMatchesFullPath) {
  std::mt19937 rng(11);
  for (int q = 1; q <= 31; ++q) {
    for (int n = 0; n < 400; ++n) {
      int amp = 1 + n % (3 * q + 2);
      std::uniform_int_distribution<int> d(-amp, amp);
      int16_t a[64], b[64];
      for (int i = 0; i < 64; ++i) a[i] = b[i] = static_cast<int16_t>(d(rng));
      const DspFunctions& k = dsp_portable();
      uint64_t nz_a[6];
      int16_t mb[384] = {};
      std::memcpy(mb, a, sizeof a);
      k.mb_forward_inter(mb, q, 0, nz_a);
      k.fdct(b);
      uint64_t nz_b = k.quant_inter(b, q);
      ASSERT_EQ(nz_a[0], nz_b) << "q " << q;
      ASSERT_EQ(0, std::memcmp(mb, b, sizeof b)) << "q " << q;
    }
  }
}

// ---------------------------------------------------------------------------
// SIMD kernels against the portable reference.

enum class SimdSet { kSse2, kAvx2 };

std::string simd_name(const ::testing::TestParamInfo<SimdSet>& i) {
  return i.param == SimdSet::kSse2 ? "Sse2" : "Avx2";
}

class SimdTest : public ::testing::TestWithParam<SimdSet> {
 protected:
  void SetUp() override {
    simd_ = GetParam() == SimdSet::kSse2 ? dsp_sse2() : dsp_avx2();
    if (!simd_) GTEST_SKIP() << "this kernel set is not available here";
  }
  const DspFunctions& ref() { return dsp_portable(); }
  const DspFunctions& simd() { return *simd_; }
  std::mt19937 rng_{1234};
  const DspFunctions* simd_ = nullptr;

  // Coefficient blocks of several shapes: dense, sparse, low 4 x 4, DC only.
  void random_coefs(int16_t* b, int shape, int range) {
    std::uniform_int_distribution<int> v(-range, range - 1);
    std::uniform_int_distribution<int> pos(0, 63);
    std::memset(b, 0, 64 * sizeof(int16_t));
    switch (shape % 4) {
      case 0:
        for (int i = 0; i < 64; ++i) b[i] = static_cast<int16_t>(v(rng_));
        break;
      case 1:
        for (int i = 0; i < 5; ++i) b[pos(rng_)] = static_cast<int16_t>(v(rng_));
        break;
      case 2:
        for (int r = 0; r < 4; ++r)
          for (int c = 0; c < 4; ++c) b[8 * r + c] = static_cast<int16_t>(v(rng_) / (1 + r + c));
        break;
      default:
        b[0] = static_cast<int16_t>(v(rng_));
    }
  }
};

TEST_P(SimdTest, ForwardDctIdentical) {
  std::uniform_int_distribution<int> pix(-255, 255);
  for (int n = 0; n < 20000; ++n) {
    int16_t a[64], b[64];
    for (int i = 0; i < 64; ++i) a[i] = b[i] = static_cast<int16_t>(pix(rng_));
    ref().fdct(a);
    simd().fdct(b);
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << "block " << n;
  }
}

TEST_P(SimdTest, InverseDctIdentical) {
  std::uniform_int_distribution<int> pix(0, 255);
  for (int n = 0; n < 20000; ++n) {
    int16_t c[64], a[64], b[64];
    random_coefs(c, n, n % 8 == 0 ? 2048 : 300);
    uint8_t pa[64], pb[64], qa[64], qb[64];
    for (int i = 0; i < 64; ++i) qa[i] = qb[i] = static_cast<uint8_t>(pix(rng_));
    std::memcpy(a, c, sizeof c);
    std::memcpy(b, c, sizeof c);
    ref().idct_put(pa, 8, a);
    simd().idct_put(pb, 8, b);
    ASSERT_EQ(0, std::memcmp(pa, pb, 64)) << "put, block " << n;
    std::memcpy(a, c, sizeof c);
    std::memcpy(b, c, sizeof c);
    ref().idct_add(qa, 8, a);
    simd().idct_add(qb, 8, b);
    ASSERT_EQ(0, std::memcmp(qa, qb, 64)) << "add, block " << n;
  }
}

TEST_P(SimdTest, QuantisersIdentical) {
  std::uniform_int_distribution<int> f(-4100, 4100);
  std::uniform_int_distribution<int> qd(1, 31);
  for (int n = 0; n < 20000; ++n) {
    int q = qd(rng_);
    int16_t a[64], b[64];
    for (int i = 0; i < 64; ++i) a[i] = b[i] = static_cast<int16_t>(f(rng_) >> (n % 6));
    a[0] = b[0] = static_cast<int16_t>(std::abs(a[0]));
    int16_t a2[64], b2[64];
    std::memcpy(a2, a, sizeof a);
    std::memcpy(b2, b, sizeof b);
    ASSERT_EQ(ref().quant_inter(a, q), simd().quant_inter(b, q));
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a));
    int s = dc_scaler_luma(q);
    ASSERT_EQ(ref().quant_intra(a2, q, s), simd().quant_intra(b2, q, s));
    ASSERT_EQ(0, std::memcmp(a2, b2, sizeof a2));
    int16_t da[64], db[64];
    ref().dequant_inter(da, a, q);
    simd().dequant_inter(db, b, q);
    ASSERT_EQ(0, std::memcmp(da, db, sizeof da));
    ref().dequant_intra(da, a2, q, s);
    simd().dequant_intra(db, b2, q, s);
    ASSERT_EQ(0, std::memcmp(da, db, sizeof da));
  }
}

TEST_P(SimdTest, ResidualAndDecisionIdentical) {
  std::uniform_int_distribution<int> pix(0, 255);
  std::uniform_int_distribution<int> noise(-6, 6);
  for (int n = 0; n < 5000; ++n) {
    uint8_t cur[384], refmb[384];
    int spread = n % 3 == 0 ? 60 : 3;
    for (int i = 0; i < 384; ++i) {
      refmb[i] = static_cast<uint8_t>(pix(rng_));
      int v = refmb[i] + noise(rng_) * spread / 3;
      cur[i] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
    int threshold = 200 + (n % 40) * 100;
    int16_t ra[384] = {}, rb[384] = {};
    unsigned qa = 99, qb = 99;
    int ia = ref().residual_sad(cur, refmb, ra, threshold, 80, 8, &qa);
    int ib = simd().residual_sad(cur, refmb, rb, threshold, 80, 8, &qb);
    ASSERT_EQ(ia, ib) << "block " << n;
    if (!ia) {
      ASSERT_EQ(qa, qb);
      ASSERT_EQ(0, std::memcmp(ra, rb, sizeof ra));
      for (int i = 0; i < 384; ++i) {
        if (!(qa & (1u << (i / 64)))) {
          ASSERT_EQ(ra[i], cur[i] - refmb[i]);
        }
      }
    }
  }
}

TEST_P(SimdTest, MacroblockKernelsIdentical) {
  std::uniform_int_distribution<int> pix(0, 255);
  std::uniform_int_distribution<int> res(-40, 40);
  std::uniform_int_distribution<int> qd(1, 31);
  for (int n = 0; n < 3000; ++n) {
    int q = qd(rng_);
    int sl = dc_scaler_luma(q), sc = dc_scaler_chroma(q);
    uint8_t pix_mb[384];
    for (int i = 0; i < 384; ++i) pix_mb[i] = static_cast<uint8_t>(pix(rng_) / (1 + n % 4));
    int16_t ca[384], cb[384];
    uint64_t na[6], nb[6];
    ref().mb_forward_intra(pix_mb, ca, q, sl, sc, na);
    simd().mb_forward_intra(pix_mb, cb, q, sl, sc, nb);
    ASSERT_EQ(0, std::memcmp(ca, cb, sizeof ca));
    ASSERT_EQ(0, std::memcmp(na, nb, sizeof na));
    uint8_t ra[384], rb[384];
    ref().mb_recon_intra(ra, ca, q, sl, sc, na);
    simd().mb_recon_intra(rb, cb, q, sl, sc, nb);
    ASSERT_EQ(0, std::memcmp(ra, rb, sizeof ra));

    for (int i = 0; i < 384; ++i) ca[i] = cb[i] = static_cast<int16_t>(res(rng_) / (1 + n % 5));
    unsigned zero = static_cast<unsigned>(n) & 0x2d;
    ref().mb_forward_inter(ca, q, zero, na);
    simd().mb_forward_inter(cb, q, zero, nb);
    ASSERT_EQ(0, std::memcmp(ca, cb, sizeof ca));
    ASSERT_EQ(0, std::memcmp(na, nb, sizeof na));
    int cbp = 0;
    for (int k = 0; k < 6; ++k)
      if (na[k]) cbp |= 32 >> k;
    ref().mb_recon_inter(ra, ca, q, cbp, na);
    simd().mb_recon_inter(rb, cb, q, cbp, nb);
    ASSERT_EQ(0, std::memcmp(ra, rb, sizeof ra));
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, SimdTest, ::testing::Values(SimdSet::kSse2, SimdSet::kAvx2),
                         simd_name);

TEST(DspInitTest, PicksTheFastestSetOrThePortableOne) {
  mp4_dsp_init(false);
  EXPECT_EQ(g_dsp.mb_forward_inter, dsp_portable().mb_forward_inter);
  mp4_dsp_init(true);
  const DspFunctions* want = dsp_avx2() ? dsp_avx2() : dsp_sse2();
  EXPECT_EQ(g_dsp.mb_forward_inter,
            want ? want->mb_forward_inter : dsp_portable().mb_forward_inter);
}

}  // namespace
}  // namespace dv::mp4
