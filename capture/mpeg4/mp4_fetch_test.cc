// Macroblock fetchers: both layouts gather the same macroblocks as direct
// indexing of the planar picture, for several widths, and the residual forms
// take the intra/inter decision at the two SAD checkpoints.
#include "capture/mpeg4/mp4_fetch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "capture/mpeg4/mp4_dsp.h"
#include "lib/devices/zarn3.h"

namespace {

// The macroblock pixel block of (row, col) taken straight from a planar
// picture.
void direct_mb(const std::vector<uint8_t>& planar, int w, int h, int row, int col, uint8_t* pix) {
  const uint8_t* y = planar.data();
  const uint8_t* u = y + w * h;
  const uint8_t* v = u + (w / 2) * (h / 2);
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c) {
      int block = (r / 8) * 2 + c / 8;
      pix[64 * block + 8 * (r % 8) + c % 8] = y[(16 * row + r) * w + 16 * col + c];
    }
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      pix[256 + 8 * r + c] = u[(8 * row + r) * (w / 2) + 8 * col + c];
      pix[320 + 8 * r + c] = v[(8 * row + r) * (w / 2) + 8 * col + c];
    }
}

struct Size {
  int w, h;
};

class FetchTest : public ::testing::TestWithParam<Size> {};

TEST_P(FetchTest, BothLayoutsGatherEveryMacroblock) {
  const Size sz = GetParam();
  std::mt19937 rng(sz.w * 7 + sz.h);
  std::vector<uint8_t> planar(dv::yuv420_size(sz.w, sz.h)), zarn3(planar.size());
  for (auto& b : planar) b = static_cast<uint8_t>(rng());
  ASSERT_EQ(0, dv::planar_to_zarn3(planar.data(), zarn3.data(), sz.w, sz.h));

  for (const MbFetcher* f : {&kZarn3Fetcher, &kYuv420Fetcher}) {
    const std::vector<uint8_t>& pic = f == &kZarn3Fetcher ? zarn3 : planar;
    MbFetchState* st = f->init(sz.w, sz.h);
    ASSERT_NE(st, nullptr);
    uint8_t got[384], want[384];
    for (int row = 0; row < sz.h / 16; ++row)
      for (int col = 0; col < sz.w / 16; ++col) {
        if (row == 0 && col == 0)
          f->start(got, pic.data(), st);
        else if (col == 0)
          f->new_line(got, st);
        else
          f->get_mb(got, st);
        direct_mb(planar, sz.w, sz.h, row, col, want);
        ASSERT_EQ(0, std::memcmp(got, want, 384))
            << (f == &kZarn3Fetcher ? "ZARN3" : "planar") << " mb " << row << "," << col;
      }
    f->close(st);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FetchTest,
                         ::testing::Values(Size{704, 288}, Size{704, 240}, Size{352, 288},
                                           Size{176, 144}, Size{16, 16}, Size{48, 32}));

TEST(FetchInitTest, RejectsSizesThatAreNotMacroblockMultiples) {
  for (auto init : {ZARN3_2MBInit, YUV420_2MBInit}) {
    EXPECT_EQ(init(0, 288), nullptr);
    EXPECT_EQ(init(704, 0), nullptr);
    EXPECT_EQ(init(700, 288), nullptr);
    EXPECT_EQ(init(704, 280), nullptr);
    EXPECT_EQ(init(-16, 16), nullptr);
  }
}

// The decision: intra when the luma SAD passes the threshold after the first
// 128 or after all 256 samples, inter with the full residual otherwise.
TEST(FetchResidualTest, DecisionAtTheTwoCheckpoints) {
  const int w = 32, h = 16;
  std::vector<uint8_t> planar(dv::yuv420_size(w, h), 100);
  uint8_t ref[384];
  std::memset(ref, 100, sizeof ref);
  struct Case {
    int top_diff, bottom_diff, threshold, intra;
  };
  // top_diff: |difference| on each of the first 128 luma samples, bottom_diff
  // on the other 128.
  const Case cases[] = {
      {0, 0, 0, 0},   {1, 0, 128, 0}, {1, 0, 127, 1}, {1, 1, 256, 0},
      {1, 1, 255, 1}, {0, 2, 255, 1}, {3, 0, 383, 1}, {0, 0, 1300, 0},
  };
  for (auto fetch : {&kYuv420Fetcher, &kZarn3Fetcher}) {
    for (const Case& c : cases) {
      std::vector<uint8_t> pic = planar;
      // Macroblock (0, 0): rows 0-7 hold the first 128 luma samples.
      for (int r = 0; r < 16; ++r)
        for (int col = 0; col < 16; ++col)
          pic[r * w + col] = static_cast<uint8_t>(100 + (r < 8 ? c.top_diff : -c.bottom_diff));
      std::vector<uint8_t> in = pic;
      if (fetch == &kZarn3Fetcher) {
        ASSERT_EQ(0, dv::planar_to_zarn3(pic.data(), in.data(), w, h));
      }
      MbFetchState* st = fetch->init(w, h);
      uint8_t pix[384];
      int16_t res[384];
      int intra = fetch->start_me(pix, res, in.data(), ref, st, c.threshold);
      EXPECT_EQ(intra, c.intra) << c.top_diff << " " << c.bottom_diff << " " << c.threshold;
      if (!intra) {
        for (int i = 0; i < 384; ++i) ASSERT_EQ(res[i], pix[i] - ref[i]);
      }
      // The next macroblock is flat: inter, with a zero residual.
      EXPECT_EQ(fetch->get_mb_me(pix, res, ref, st), 0);
      for (int i = 0; i < 384; ++i) ASSERT_EQ(res[i], 0);
      fetch->close(st);
    }
  }
}

TEST(FetchResidualTest, QuietBlocksAreMarked) {
  const int w = 16, h = 16;
  std::vector<uint8_t> pic(dv::yuv420_size(w, h), 50);
  uint8_t ref[384];
  std::memset(ref, 50, sizeof ref);
  // Y1: small noise (quiet); Y2: one large spike (not quiet); Y3: many small
  // differences (SAD too large); chroma: none.
  for (int c = 8; c < 16; c += 2) pic[c] = 51;  // Y1, row 0
  pic[8 * w + 3] = 90;                          // Y2 spike
  for (int r = 8; r < 16; ++r)
    for (int c = 8; c < 16; ++c) pic[r * w + c] = 53;  // Y3: SAD 192
  MbFetchState* st = YUV420_2MBInit(w, h);
  mb_fetch_set_quiet(st, 80, 8);
  uint8_t pix[384];
  int16_t res[384];
  ASSERT_EQ(YUV420_2MBStart_ME(pix, res, pic.data(), ref, st, 10000), 0);
  EXPECT_EQ(mb_fetch_quiet(st), 0b110011u);
  mb_fetch_set_quiet(st, 0, 0);
  ASSERT_EQ(YUV420_2MBStart_ME(pix, res, pic.data(), ref, st, 10000), 0);
  EXPECT_EQ(mb_fetch_quiet(st), 0u);
  YUV420_2MBClose(st);
}

}  // namespace
