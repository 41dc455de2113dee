// libjcodec unit tests: header bytes, the table-driven entropy coder against
// a plain bit-by-bit reference coder, the change measure and activity rule,
// the capacity bound, bad input, and the portable/vector identity of whole
// pictures.
#include "lib/jcodec/jcodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/devices/zarn3.h"
#include "lib/jcodec/jcodec_dsp.h"
#include "lib/jcodec/jcodec_test_util.h"

namespace dv {
namespace {

using jtest::Scene;

// ---------------------------------------------------------------------------
// Header

std::vector<uint8_t> expected_header(int width, int height) {
  std::vector<uint8_t> h = {0xFF, 0xD8,                                             // SOI
                            0xFF, 0xE0, 0, 16,  'J', 'F', 'I', 'F', 0, 1, 0, 0, 0,  // APP0
                            1,    0,    1, 0,   0,                                  //
                            0xFF, 0xDB, 0, 132, 0};                                 // DQT
  const uint8_t q[64] = {16,  8,  8,  16,  12,  8,   16,  16,  16, 16,  16,  16,  16,
                         16,  16, 32, 32,  16,  16,  16,  16,  32, 32,  32,  32,  32,
                         64,  64, 64, 64,  64,  64,  64,  64,  64, 64,  64,  64,  64,
                         64,  64, 64, 64,  64,  64,  128, 64,  64, 128, 128, 128, 128,
                         128, 64, 64, 128, 128, 128, 128, 128, 64, 128, 128, 128};
  h.insert(h.end(), q, q + 64);
  h.push_back(1);
  h.insert(h.end(), q, q + 64);
  const uint8_t sof[] = {0xFF,
                         0xC0,
                         0,
                         17,
                         8,
                         static_cast<uint8_t>(height >> 8),
                         static_cast<uint8_t>(height),
                         static_cast<uint8_t>(width >> 8),
                         static_cast<uint8_t>(width),
                         3,
                         1,
                         0x22,
                         0,
                         2,
                         0x11,
                         1,
                         3,
                         0x11,
                         1};
  h.insert(h.end(), sof, sof + sizeof(sof));
  const uint8_t dc_bits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t ac_bits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
  const uint8_t ac_vals[162] = {
      0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
      0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
      0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
      0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
      0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
      0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
      0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
      0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
      0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
      0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
      0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
  h.insert(h.end(), {0xFF, 0xC4, 0x01, 0xA2});
  for (uint8_t id : {0x00, 0x10, 0x01, 0x11}) {
    h.push_back(id);
    const bool ac = id & 0x10;
    h.insert(h.end(), ac ? ac_bits : dc_bits, (ac ? ac_bits : dc_bits) + 16);
    if (ac) {
      h.insert(h.end(), ac_vals, ac_vals + 162);
    } else {
      for (int i = 0; i < 12; ++i) h.push_back(static_cast<uint8_t>(i));
    }
  }
  h.insert(h.end(), {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
  return h;
}

TEST(JcodecHeader, BytesExactForEverySize) {
  struct Case {
    int w, h;
  } cases[] = {{704, 288}, {704, 240}, {352, 288}, {176, 144}, {16, 16}, {4080, 4080}};
  for (const Case& c : cases) {
    std::vector<uint8_t> z(yuv420_size(c.w, c.h), 128);
    std::vector<uint8_t> out(jcodec_max_size(c.w, c.h));
    const int n = jcodec_encode_zarn3(z.data(), c.w, c.h, out.data(), out.size());
    ASSERT_GT(n, JPEG_HEADER_SIZE) << c.w << "x" << c.h;
    const std::vector<uint8_t> want = expected_header(c.w, c.h);
    ASSERT_EQ(607u, want.size());
    EXPECT_EQ(0, std::memcmp(want.data(), out.data(), want.size())) << c.w << "x" << c.h;
    EXPECT_EQ(0, std::memcmp(want.data(), jpegheader, want.size()));
    uint8_t again[JPEG_HEADER_SIZE];
    EXPECT_EQ(607, writejpegheader(again));
    EXPECT_EQ(0, std::memcmp(want.data(), again, want.size()));
    EXPECT_EQ(0xFF, out[n - 2]);
    EXPECT_EQ(0xD9, out[n - 1]);
  }
}

// ---------------------------------------------------------------------------
// Entropy coder against a plain reference coder

struct Code {
  uint32_t code;
  int length;
};

// Canonical codes straight from T.81 Annex C, written independently of the
// library's builder.
std::vector<Code> canonical(const uint8_t* bits, const uint8_t* vals) {
  std::vector<Code> t(256, Code{0, 0});
  uint32_t code = 0;
  int k = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < bits[len - 1]; ++i) t[vals[k++]] = Code{code++, len};
    code <<= 1;
  }
  return t;
}

// Bit-at-a-time writer with byte stuffing.
struct RefWriter {
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int n = 0;
  void bits(uint32_t v, int len) {
    for (int i = len - 1; i >= 0; --i) {
      acc = (acc << 1) | ((v >> i) & 1);
      if (++n == 8) {
        out.push_back(static_cast<uint8_t>(acc));
        if (acc == 0xFF) out.push_back(0);
        acc = 0;
        n = 0;
      }
    }
  }
  void flush() {
    if (n) bits(0x7F, 8 - n);
  }
};

int category(int v) {
  int a = v < 0 ? -v : v, s = 0;
  while (a) {
    ++s;
    a >>= 1;
  }
  return s;
}

void ref_block(RefWriter& w, const int8_t* zz, int* pred) {
  static const std::vector<Code> dc = canonical(huffmancount[0], huffDCvalues);
  static const std::vector<Code> ac = canonical(huffmancount[1], huffACvalues);
  const int diff = zz[0] - *pred;
  *pred = zz[0];
  int s = category(diff);
  w.bits(dc[s].code, dc[s].length);
  w.bits(static_cast<uint32_t>(diff < 0 ? diff + (1 << s) - 1 : diff) & ((1u << s) - 1), s);
  int run = 0;
  int last = 0;
  for (int k = 63; k > 0; --k) {
    if (zz[k]) {
      last = k;
      break;
    }
  }
  for (int k = 1; k <= last; ++k) {
    const int v = zz[k];
    if (v == 0) {
      ++run;
      continue;
    }
    while (run > 15) {
      w.bits(ac[0xF0].code, ac[0xF0].length);
      run -= 16;
    }
    s = category(v);
    const int sym = (run << 4) | s;
    w.bits(ac[sym].code, ac[sym].length);
    w.bits(static_cast<uint32_t>(v < 0 ? v + (1 << s) - 1 : v) & ((1u << s) - 1), s);
    run = 0;
  }
  if (last < 63) w.bits(ac[0x00].code, ac[0x00].length);
}

TEST(JcodecEntropy, TableCoderMatchesReferenceCoder) {
  ASSERT_EQ(0, init_stream_table());
  // Random blocks of every density, long zero runs, extreme values, and
  // all-ones codes that force stuffing at every bit position.
  std::vector<int8_t> blocks;
  uint32_t seed = 99;
  auto rnd = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (int b = 0; b < 3000; ++b) {
    int8_t zz[64] = {};
    const int kind = b % 6;
    for (int k = 0; k < 64; ++k) {
      const uint32_t r = rnd();
      switch (kind) {
        case 0:
          zz[k] = static_cast<int8_t>(static_cast<int>(r % 255) - 127);
          break;
        case 1:
          zz[k] = (r % 8 == 0) ? static_cast<int8_t>(static_cast<int>(r % 31) - 15) : 0;
          break;
        case 2:
          zz[k] = (k == 0 || k == 40 || k == 63) ? static_cast<int8_t>(r % 2 ? 127 : -127) : 0;
          break;
        case 3:
          zz[k] = (k == 17) ? 1 : 0;
          break;
        case 4:
          zz[k] = (r % 3 == 0) ? static_cast<int8_t>(r % 2 ? -1 : 1) : 0;
          break;
        default:
          zz[k] = (k < 3) ? static_cast<int8_t>(static_cast<int>(r % 128) - 64) : 0;
          break;
      }
    }
    blocks.insert(blocks.end(), zz, zz + 64);
  }
  const int n = static_cast<int>(blocks.size() / 64);
  std::vector<uint8_t> buf(static_cast<size_t>(n) * 500 + 64, 0);
  jpeg_buf = buf.data();
  vlc_init_start();
  RefWriter ref;
  int pred[3] = {0, 0, 0};
  for (int b = 0; b < n; ++b) {
    const int8_t* zz = blocks.data() + 64 * b;
    int nonzero = 0;
    for (int k = 0; k < 64; ++k) nonzero += zz[k] != 0;
    EncodeDataUnit(zz, b % 3, nonzero);
    ref_block(ref, zz, &pred[b % 3]);
  }
  endwriteraw();
  ref.flush();
  const size_t got = static_cast<size_t>(jpeg_buf - buf.data());
  ASSERT_EQ(ref.out.size(), got);
  for (size_t i = 0; i < got; ++i) ASSERT_EQ(ref.out[i], buf[i]) << "byte " << i;
}

TEST(JcodecEntropy, CodingStopsAfterTheCountedCoefficients) {
  ASSERT_EQ(0, init_stream_table());
  int8_t zz[64] = {5, 3, 0, -2, 0, 0, 7};
  int8_t cut[64] = {5, 3, 0, -2};  // what a count of 3 codes
  std::vector<uint8_t> a(64, 0), b(64, 0);
  jpeg_buf = a.data();
  vlc_init_start();
  EncodeDataUnit(zz, 0, 3);
  endwriteraw();
  const size_t na = static_cast<size_t>(jpeg_buf - a.data());
  jpeg_buf = b.data();
  vlc_init_start();
  EncodeDataUnit(cut, 0, 3);
  endwriteraw();
  ASSERT_EQ(na, static_cast<size_t>(jpeg_buf - b.data()));
  EXPECT_EQ(0, std::memcmp(a.data(), b.data(), na));
}

TEST(JcodecEntropy, DcCodesOfTableK3) {
  const Code want[12] = {{0x0, 2}, {0x2, 3},  {0x3, 3},  {0x4, 3},  {0x5, 3},  {0x6, 3},
                         {0xE, 4}, {0x1E, 5}, {0x3E, 6}, {0x7E, 7}, {0xFE, 8}, {0x1FE, 9}};
  for (int c = 0; c < 12; ++c) {
    int code = -1, length = -1;
    ConvertDCMagnitudeC(c, &code, &length);
    EXPECT_EQ(static_cast<int>(want[c].code), code) << c;
    EXPECT_EQ(want[c].length, length) << c;
  }
  for (int c : {-1, 12, 1000}) {
    int code = -1, length = -1;
    ConvertDCMagnitudeC(c, &code, &length);
    EXPECT_EQ(0, code);
    EXPECT_EQ(0, length);
  }
}

TEST(JcodecEntropy, ElementHelpersStuffAndCount) {
  uint8_t e[20] = {};
  int counter = 0;
  e[9] = 12;
  push_byte_to_element(e, &counter, 0x12);
  push_byte_to_element(e, &counter, 0xFF);
  EXPECT_EQ(3, counter);
  EXPECT_EQ(0x12, e[0]);
  EXPECT_EQ(0xFF, e[1]);
  EXPECT_EQ(0x00, e[2]);
  EXPECT_EQ(20, e[9]);
  counter = 0;
  push_byte_to_element_FF(e, &counter, 0xFF);
  EXPECT_EQ(2, counter);
  EXPECT_EQ(0xFF, e[10]);
  EXPECT_EQ(0x00, e[11]);
  EXPECT_EQ(8, e[19]);
  // A string never grows past its 8 output bytes.
  counter = 7;
  push_byte_to_element(e, &counter, 0xFF);
  EXPECT_EQ(8, counter);
  EXPECT_EQ(20, e[9]);
  push_byte_to_element(e, &counter, 0x55);
  EXPECT_EQ(8, counter);

  uint8_t d[20] = {};
  counter = 0;
  push_byte_to_data(d, &counter, 0xAB);
  push_byte_to_data_FF(d, &counter, 0xCD);
  EXPECT_EQ(2, counter);
  EXPECT_EQ(0xAB, d[0]);
  EXPECT_EQ(0xCD, d[11]);

  uint32_t w = 0x11223344;
  swap_endian(&w);
  EXPECT_EQ(0x44332211u, w);
}

// Short random block sequences end in every bit state; the padding at the
// end matches the reference, including a padded 0xFF followed by 0x00.
TEST(JcodecEntropy, PaddingWithOnesIsStuffed) {
  ASSERT_EQ(0, init_stream_table());
  uint32_t seed = 5;
  int padded_ff = 0;
  for (int t = 0; t < 3000; ++t) {
    std::vector<uint8_t> buf(2048, 0);
    jpeg_buf = buf.data();
    vlc_init_start();
    RefWriter ref;
    int pred[3] = {0, 0, 0};
    const int blocks = 1 + t % 3;
    for (int b = 0; b < blocks; ++b) {
      int8_t zz[64] = {};
      for (int k = 0; k < 64; ++k) {
        seed = seed * 1664525u + 1013904223u;
        if ((seed >> 28) < 3)
          zz[k] = static_cast<int8_t>(static_cast<int>((seed >> 8) % 255) - 127);
      }
      EncodeDataUnit(zz, 0, 64);
      ref_block(ref, zz, &pred[0]);
    }
    const bool ones_left = ref.n > 0 && ref.acc == (1u << ref.n) - 1;
    endwriteraw();
    ref.flush();
    const size_t got = static_cast<size_t>(jpeg_buf - buf.data());
    ASSERT_EQ(ref.out.size(), got) << "sequence " << t;
    ASSERT_EQ(0, std::memcmp(ref.out.data(), buf.data(), got)) << "sequence " << t;
    if (ones_left) {
      ++padded_ff;
      EXPECT_EQ(0xFF, buf[got - 2]);
      EXPECT_EQ(0x00, buf[got - 1]);
    }
  }
  EXPECT_GT(padded_ff, 0);
  // At a byte boundary nothing is padded.
  uint8_t b2[4] = {};
  jpeg_buf = b2;
  endwriteraw();
  EXPECT_EQ(b2, jpeg_buf);
}

// ---------------------------------------------------------------------------
// Whole pictures

TEST(JcodecPicture, UniformGreyCodesZeroDcAndEndOfBlock) {
  const int w = 176, h = 144;
  std::vector<uint8_t> z(yuv420_size(w, h), 128);
  std::vector<uint8_t> out(jcodec_max_size(w, h));
  const int n = jcodec_encode_zarn3(z.data(), w, h, out.data(), out.size());
  RefWriter ref;
  for (int b = 0; b < (w / 16) * (h / 16) * 6; ++b) ref.bits(0x0A, 6);  // 00 (DC 0) 1010 (EOB)
  ref.flush();
  ASSERT_EQ(static_cast<int>(JPEG_HEADER_SIZE + ref.out.size() + 2), n);
  EXPECT_EQ(0, std::memcmp(ref.out.data(), out.data() + JPEG_HEADER_SIZE, ref.out.size()));
}

// Every picture codes to the same bytes with the portable and the vector
// kernels.
TEST(JcodecPicture, PortableAndVectorKernelsGiveIdenticalFiles) {
  for (Scene s : {Scene::kCamera, Scene::kNoise, Scene::kCheckers, Scene::kBars}) {
    const int w = 704, h = 288;
    const std::vector<uint8_t> z = jtest::make_zarn3(w, h, s, 7);
    std::vector<uint8_t> a(jcodec_max_size(w, h)), b(a.size());
    jcodec_dsp_init(0);
    const int na = jcodec_encode_zarn3(z.data(), w, h, a.data(), a.size());
    jcodec_dsp_init(1);
    const int nb = jcodec_encode_zarn3(z.data(), w, h, b.data(), b.size());
    ASSERT_GT(na, 0);
    ASSERT_EQ(na, nb);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), static_cast<size_t>(na)));
  }
}

TEST(JcodecPicture, BadSizesAndBuffersAreRefused) {
  std::vector<uint8_t> z(yuv420_size(704, 288), 128);
  std::vector<uint8_t> out(jcodec_max_size(704, 288));
  struct Case {
    int w, h;
  } bad[] = {{0, 288},   {704, 0},   {700, 288}, {704, 280},
             {-16, 288}, {4096, 16}, {16, 4096}, {8, 8}};
  for (const Case& c : bad) {
    EXPECT_EQ(-1, jcodec_encode_zarn3(z.data(), c.w, c.h, out.data(), out.size()))
        << c.w << "x" << c.h;
  }
  EXPECT_EQ(-1, jcodec_encode_zarn3(nullptr, 704, 288, out.data(), out.size()));
  EXPECT_EQ(-1, jcodec_encode_zarn3(z.data(), 704, 288, nullptr, out.size()));

  testing::internal::CaptureStderr();
  EXPECT_EQ(-1,
            fast_jpeg_compress(out.data(), static_cast<int>(out.size()), z.data(), nullptr, 0, 18));
  EXPECT_EQ("Can't generate jpeg header", testing::internal::GetCapturedStderr());
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1,
            fast_jpeg_compress(out.data(), static_cast<int>(out.size()), z.data(), nullptr, 44, 0));
  EXPECT_EQ("Can't generate jpeg header", testing::internal::GetCapturedStderr());

  MJPEGHandle* h = MJPEGencodeOPEN(nullptr);
  ASSERT_NE(nullptr, h);
  for (const Case& c : bad) EXPECT_EQ(-1, MJPEGencodeSIZE(h, c.w, c.h)) << c.w << "x" << c.h;
  EXPECT_EQ(704, h->width);
  EXPECT_EQ(288, h->height);
  EXPECT_EQ(0, MJPEGencodeENCODE(h, out.data(), z.data(), 0, nullptr, 0));
  EXPECT_EQ(0, MJPEGencodeENCODE(h, out.data(), z.data(), 0, nullptr, -5));
  EXPECT_EQ(0, MJPEGencodeENCODE(h, nullptr, z.data(), 0, nullptr, 1000));
  EXPECT_EQ(0, MJPEGencodeENCODE(nullptr, out.data(), z.data(), 0, nullptr, 1000));
  MJPEGencodeCLOSE(h);
}

// The destination sits inside a larger block filled with a guard pattern;
// for every capacity the coder either writes exactly the unconstrained file,
// or fails with the memory message, and never touches the guard. It fails
// only where the per-row budget (columns x 768 + 2 bytes left before each
// row) or the file itself does not fit. One-column pictures code their last
// macroblocks through the near-end path.
TEST(JcodecPicture, CapacityIsNeverOverrun) {
  struct Case {
    int w, h;
    Scene scene;
  } cases[] = {{176, 144, Scene::kCamera},
               {176, 144, Scene::kNoise},
               {352, 288, Scene::kCheckers},
               {16, 64, Scene::kNoise},
               {16, 16, Scene::kCheckers}};
  constexpr size_t kGuard = 64;
  constexpr uint8_t kPattern = 0xA5;
  for (const Case& c : cases) {
    const std::vector<uint8_t> z = jtest::make_zarn3(c.w, c.h, c.scene, 3);
    std::vector<uint8_t> full(jcodec_max_size(c.w, c.h));
    const int n = jcodec_encode_zarn3(z.data(), c.w, c.h, full.data(), full.size());
    ASSERT_GT(n, 0);
    const int row_budget = (c.w / 16) * JPEG_MB_BUDGET + 2;
    std::vector<int> caps = {
        1, 100,   606,   607,   608,   607 + row_budget,  607 + row_budget + 1, n - 1,
        n, n + 1, n + 3, n + 4, n + 5, n + row_budget + 4};
    for (int cap = 608; cap < n + row_budget + 50; cap += 37) caps.push_back(cap);
    for (int cap : caps) {
      std::vector<uint8_t> area(static_cast<size_t>(cap) + 2 * kGuard, kPattern);
      uint8_t* dest = area.data() + kGuard;
      testing::internal::CaptureStderr();
      const int r = fast_jpeg_compress(dest, cap, z.data(), nullptr, static_cast<uint8_t>(c.w / 16),
                                       static_cast<uint8_t>(c.h / 16));
      const std::string err = testing::internal::GetCapturedStderr();
      for (size_t i = 0; i < kGuard; ++i) {
        ASSERT_EQ(kPattern, area[i]) << "before, cap " << cap;
        ASSERT_EQ(kPattern, area[kGuard + static_cast<size_t>(cap) + i]) << "after, cap " << cap;
      }
      if (r < 0) {
        EXPECT_EQ("Not enough memory to generate jpeg\n", err) << "cap " << cap;
        EXPECT_LT(cap, n + row_budget + 4) << "a file of " << n << " bytes should fit in " << cap;
      } else {
        EXPECT_EQ(n, r) << "cap " << cap;
        EXPECT_LE(r, cap);
        EXPECT_EQ(0, std::memcmp(full.data(), dest, static_cast<size_t>(n))) << "cap " << cap;
        EXPECT_TRUE(err.empty());
      }
      if (cap <= 607 + row_budget) {
        EXPECT_EQ(-1, r) << "cap " << cap << " leaves less than one row's budget";
        if (cap > 607) {
          EXPECT_EQ(0, dest[607]) << "no macroblock coded";
        }
      }
    }
  }
}

TEST(JcodecPicture, MaxSizeIsEnoughForNoise) {
  for (Scene s : {Scene::kNoise, Scene::kCheckers}) {
    const std::vector<uint8_t> z = jtest::make_zarn3(352, 288, s, 11);
    const size_t cap = jcodec_max_size(352, 288);
    std::vector<uint8_t> out(cap);
    EXPECT_GT(jcodec_encode_zarn3(z.data(), 352, 288, out.data(), cap), 0);
  }
}

// ---------------------------------------------------------------------------
// Motion-JPEG handle: change measure and activity

// A picture of grey 128 with `changed` macroblocks (raster order from the
// top left) set to luma 140.
std::vector<uint8_t> picture_with_changes(int w, int h, int changed) {
  std::vector<uint8_t> planar(yuv420_size(w, h), 128);
  const int cols = w / 16;
  for (int m = 0; m < changed; ++m) {
    const int i = m / cols, j = m % cols;
    for (int r = 16 * i; r < 16 * i + 16; ++r) {
      std::memset(planar.data() + static_cast<size_t>(r) * w + 16 * j, 140, 16);
    }
  }
  std::vector<uint8_t> z(planar.size());
  planar_to_zarn3(planar.data(), z.data(), w, h);
  return z;
}

TEST(JcodecMotion, ActivityFollowsChangedMacroblocks) {
  struct Case {
    int changed;
    uint32_t activity;
  } cases[] = {{0, 0}, {10, 0}, {11, 3}, {44, 102}, {300, 792}};
  for (const Case& c : cases) {
    MJPEGHandle* h = MJPEGencodeOPEN(nullptr);
    ASSERT_NE(nullptr, h);
    std::vector<uint8_t> out(200000);
    const std::vector<uint8_t> grey = picture_with_changes(704, 288, 0);
    const std::vector<uint8_t> next = picture_with_changes(704, 288, c.changed);
    uint32_t stats[4] = {7, 7, 7, 7};
    ASSERT_GT(MJPEGencodeENCODE(h, out.data(), grey.data(), 0, stats, static_cast<int>(out.size())),
              0);
    EXPECT_EQ(0u, stats[3]);
    ASSERT_GT(MJPEGencodeENCODE(h, out.data(), next.data(), 4, stats, static_cast<int>(out.size())),
              0);
    EXPECT_EQ(c.activity, stats[3]) << c.changed << " changed";
    EXPECT_EQ(c.activity, h->activity);
    EXPECT_EQ(7u, stats[0]);
    // The same picture again: nothing changed since.
    ASSERT_GT(MJPEGencodeENCODE(h, out.data(), next.data(), 4, stats, static_cast<int>(out.size())),
              0);
    EXPECT_EQ(0u, stats[3]);
    MJPEGencodeCLOSE(h);
  }
}

TEST(JcodecMotion, OnlyWatchedMacroblocksCount) {
  uint8_t mask[MJPEG_MASK_SIZE];
  std::memset(mask, 1, sizeof(mask));
  for (int m = 0; m < 20; m += 2) mask[m] = 0;  // 10 of the first 20 ignored
  MJPEGHandle* h = MJPEGencodeOPEN(mask);
  ASSERT_NE(nullptr, h);
  mask[1] = 0;  // the handle keeps its own copy
  EXPECT_EQ(1, h->mask[1]);
  std::vector<uint8_t> out(200000);
  const std::vector<uint8_t> next = picture_with_changes(704, 288, 24);
  ASSERT_GT(MJPEGencodeENCODE(h, out.data(), next.data(), 0, nullptr, static_cast<int>(out.size())),
            0);
  EXPECT_EQ(3u * 14 - 30, h->activity);
  MJPEGencodeCLOSE(h);
}

TEST(JcodecMotion, ChangeSampleOfTheFirstLine) {
  // dct() returns the low 8 bits of (sum of the first line - 1024) * 11585 >> 13.
  const int w = 16, h = 16;
  std::vector<uint8_t> planar(yuv420_size(w, h), 128);
  const uint8_t line[8] = {10, 20, 30, 40, 50, 60, 70, 80};  // sum 360
  std::memcpy(planar.data(), line, 8);
  std::vector<uint8_t> z(planar.size());
  planar_to_zarn3(planar.data(), z.data(), w, h);
  std::vector<uint8_t> out(jcodec_max_size(w, h));
  ASSERT_GT(jcodec_encode_zarn3(z.data(), w, h, out.data(), out.size()), 0);
  std::vector<uint8_t> buf(1024, 0);
  jpeg_buf = buf.data();
  vlc_init_start();
  EXPECT_EQ(static_cast<uint8_t>(((360 - 1024) * 11585) >> 13), dct(z.data(), 0, 0, 0));
  EXPECT_EQ(0, dct(z.data(), 1, 1, 0));  // grey: 0
  EXPECT_EQ(0, dct(z.data(), 0, 0, 1));
  EXPECT_EQ(-1, dct(z.data(), 2, 0, 0));
  EXPECT_EQ(-1, dct(z.data(), 0, 1, 2));
  EXPECT_EQ(-1, dct(z.data(), 0, 0, 3));
}

// A 240-line picture is coded in 15 macroblock rows and never read past its
// end (the buffer is exactly the picture; the sanitizer build checks it).
TEST(JcodecMotion, NtscPictureStaysInside) {
  const int w = 704, h = 240;
  const std::vector<uint8_t> z = jtest::make_zarn3(w, h, Scene::kCamera, 5);
  ASSERT_EQ(yuv420_size(w, h), z.size());
  MJPEGHandle* hd = MJPEGencodeOPEN(nullptr);
  ASSERT_EQ(0, MJPEGencodeSIZE(hd, w, h));
  std::vector<uint8_t> out(131072);
  const int n =
      MJPEGencodeENCODE(hd, out.data(), z.data(), 0, nullptr, static_cast<int>(out.size()));
  ASSERT_GT(n, 0);
  const jtest::Decoded d = jtest::decode_libjpeg(out.data(), static_cast<size_t>(n));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(704, d.width);
  EXPECT_EQ(240, d.height);
  MJPEGencodeCLOSE(hd);
}

// The grant bounds the coder: a picture larger than the grant fails cleanly
// instead of running on into the next frame's space.
TEST(JcodecMotion, EncodeIsBoundedByTheGrant) {
  const std::vector<uint8_t> z = jtest::make_zarn3(704, 288, Scene::kNoise, 9);
  MJPEGHandle* h = MJPEGencodeOPEN(nullptr);
  std::vector<uint8_t> big(jcodec_max_size(704, 288));
  const int n =
      MJPEGencodeENCODE(h, big.data(), z.data(), 0, nullptr, static_cast<int>(big.size()));
  ASSERT_GT(n, 0);
  const int grant = n / 2;
  std::vector<uint8_t> area(static_cast<size_t>(grant) + 4096, 0x5A);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, MJPEGencodeENCODE(h, area.data(), z.data(), 0, nullptr, grant));
  EXPECT_EQ("Not enough memory to generate jpeg\n", testing::internal::GetCapturedStderr());
  for (size_t i = static_cast<size_t>(grant); i < area.size(); ++i) ASSERT_EQ(0x5A, area[i]) << i;
  MJPEGencodeCLOSE(h);
}

}  // namespace
}  // namespace dv
