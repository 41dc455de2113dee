// Kernel tests: every accelerated kernel gives the portable kernel's output
// bit for bit, and the portable kernel is an accurate DCT and quantiser.
#include "lib/jcodec/jcodec_dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "lib/jcodec/jcodec.h"

namespace dv {
namespace {

// Blocks that push the transform to its limits plus random ones.
std::vector<uint8_t> test_blocks() {
  std::vector<uint8_t> b;
  auto add = [&b](auto f) {
    for (int i = 0; i < 64; ++i) b.push_back(static_cast<uint8_t>(f(i / 8, i % 8)));
  };
  add([](int, int) { return 0; });
  add([](int, int) { return 255; });
  add([](int, int) { return 128; });
  add([](int r, int c) { return ((r ^ c) & 1) ? 255 : 0; });
  add([](int r, int c) { return ((r ^ c) & 1) ? 0 : 255; });
  add([](int r, int) { return r < 4 ? 0 : 255; });
  add([](int, int c) { return c < 4 ? 255 : 0; });
  // For every basis function, the block that maximises (and minimises) it.
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u) {
      for (int sign = 0; sign < 2; ++sign) {
        add([=](int r, int c) {
          const double s =
              std::cos((2 * r + 1) * v * M_PI / 16) * std::cos((2 * c + 1) * u * M_PI / 16);
          return ((s >= 0) != (sign == 1)) ? 255 : 0;
        });
      }
    }
  }
  uint32_t seed = 12345;
  for (int n = 0; n < 2000; ++n) {
    const int kind = n % 4;
    const int base = static_cast<int>((seed >> 24) & 0xFF);
    add([&](int r, int c) {
      seed = seed * 1664525u + 1013904223u;
      const int noise = static_cast<int>(seed >> 24);
      switch (kind) {
        case 0:
          return noise;  // white noise
        case 1:
          return std::min(255, std::max(0, base + noise / 16 - 8));  // flat + noise
        case 2:
          return (base + 9 * r + 5 * c) & 0xFF;  // ramps that wrap
        default:
          return noise < 128 ? 0 : 255;  // binary noise
      }
    });
  }
  return b;
}

TEST(JcodecDsp, Avx2MatchesPortableBitForBit) {
#if defined(__x86_64__) || defined(__i386__)
  if (!jcodec_cpu_has_avx2()) GTEST_SKIP() << "CPU without AVX2";
  const std::vector<uint8_t> blocks = test_blocks();
  const int n = static_cast<int>(blocks.size() / 64);
  // Odd and even counts: the vector kernel pairs blocks and handles a single
  // last block on its own.
  for (int kind : {0, 1}) {
    for (int count : {n, n - 1, 1, 6}) {
      std::vector<int8_t> zc(64 * count), za(64 * count);
      std::vector<uint64_t> mc(count), ma(count);
      jcodec_quant_blocks_c(blocks.data(), count, kind, zc.data(), mc.data());
      jcodec_quant_blocks_avx2(blocks.data(), count, kind, za.data(), ma.data());
      for (int b = 0; b < count; ++b) {
        ASSERT_EQ(0, std::memcmp(zc.data() + 64 * b, za.data() + 64 * b, 64))
            << "kind " << kind << " block " << b;
        ASSERT_EQ(mc[b], ma[b]) << "kind " << kind << " block " << b;
      }
    }
  }
#else
  GTEST_SKIP() << "no vector kernels on this CPU family";
#endif
}

TEST(JcodecDsp, InitSelectsPortableOrBest) {
  EXPECT_STREQ("portable", jcodec_dsp_init(0));
  EXPECT_EQ(jcodec_dsp.quant_blocks, &jcodec_quant_blocks_c);
  const char* best = jcodec_dsp_init(1);
#if defined(__x86_64__) || defined(__i386__)
  EXPECT_STREQ(jcodec_cpu_has_avx2() ? "avx2" : "portable", best);
#else
  EXPECT_STREQ("portable", best);
#endif
}

// The reciprocal multiply equals integer division by 8 x qtable for every
// transform output the kernels can produce (|c| <= 8192); DC rounds to
// nearest, AC never rounds up from less than one half.
TEST(JcodecDsp, QuantiserIsExactDivision) {
  for (int kind : {0, 1}) {
    const JcodecQuant& q = jcodec_quant(kind);
    for (int k = 0; k < 64; ++k) {
      const int n = kJpegNaturalOrder[k];
      const uint32_t d = 8u * qtable[k];
      if (k == 0) {
        EXPECT_EQ(d / 2, q.bias[n]);
      }
      EXPECT_LE(q.bias[n], d / 2);
      if (k == 0) {
        EXPECT_EQ(0, q.zero[n]);
      }
      for (uint32_t a = 0; a <= 8192; ++a) {
        const uint32_t got = ((a + q.bias[n]) * q.mult[n]) >> 20;
        ASSERT_EQ((a + q.bias[n]) / d, got) << "kind " << kind << " zigzag " << k << " |c| " << a;
      }
    }
  }
}

// Against a floating-point DCT and the same quantiser rule: every quantised
// coefficient is within one step of the exact value, and almost all are equal.
class JcodecDspKind : public testing::TestWithParam<int> {};

TEST_P(JcodecDspKind, PortableKernelIsAccurate) {
  const int kind = GetParam();
  const std::vector<uint8_t> blocks = test_blocks();
  const int n = static_cast<int>(blocks.size() / 64);
  std::vector<int8_t> zz(64 * n);
  std::vector<uint64_t> masks(n);
  const JcodecQuant& q = jcodec_quant(kind);
  jcodec_quant_blocks_c(blocks.data(), n, kind, zz.data(), masks.data());
  int differ = 0;
  for (int b = 0; b < n; ++b) {
    const uint8_t* s = blocks.data() + 64 * b;
    uint64_t mask = 0;
    for (int k = 0; k < 64; ++k) {
      const int nat = kJpegNaturalOrder[k];
      const int v = nat / 8, u = nat % 8;
      double sum = 0;
      for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) {
          sum += (s[r * 8 + c] - 128.0) * std::cos((2 * r + 1) * v * M_PI / 16) *
                 std::cos((2 * c + 1) * u * M_PI / 16);
        }
      }
      const double cu = u ? 1.0 : M_SQRT1_2, cv = v ? 1.0 : M_SQRT1_2;
      const double coef = 0.25 * cu * cv * sum;
      const double offset = q.bias[nat] / (8.0 * qtable[k]);
      double mag = std::min(127.0, std::floor(std::fabs(coef) / qtable[k] + offset));
      if (std::fabs(coef) * 8 < q.zero[nat]) mag = 0;
      const double exact = coef < 0 ? -mag : mag;
      const int got = zz[64 * b + k];
      ASSERT_LE(std::fabs(got - exact), 1.0) << "block " << b << " zigzag " << k;
      if (got != exact) ++differ;
      if (got) mask |= uint64_t{1} << k;
    }
    ASSERT_EQ(mask, masks[b]) << "block " << b;
  }
  EXPECT_LT(differ, n * 64 / 100) << "more than 1% of the coefficients off by one";
}

INSTANTIATE_TEST_SUITE_P(LumaChroma, JcodecDspKind, testing::Values(0, 1));

}  // namespace
}  // namespace dv
