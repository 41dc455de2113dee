// Code tables and the table-driven writers: the tables form prefix-free code
// sets, every event written comes back unchanged through a reader built from
// the standard's tables (including all escape forms), the shortest form is
// chosen, and the bit writer never stores beyond its end.
#include "capture/mpeg4/mp4_vlc.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "capture/mpeg4/mp4_test_util.h"

namespace dv::mp4 {
namespace {

using test::BitReader;
using test::Event;

std::string bits_of(uint32_t code, int length) {
  std::string s;
  for (int i = length - 1; i >= 0; --i) s += ((code >> i) & 1) ? '1' : '0';
  return s;
}

// No code is a prefix of another.
void expect_prefix_free(const std::vector<std::string>& codes, const char* what) {
  for (size_t i = 0; i < codes.size(); ++i)
    for (size_t j = 0; j < codes.size(); ++j)
      if (i != j) {
        ASSERT_NE(codes[j].compare(0, codes[i].size(), codes[i]), 0)
            << what << ": " << codes[i] << " is a prefix of " << codes[j];
      }
}

TEST(TablesTest, CoefficientTablesArePrefixFreeWithTheEscape) {
  for (const TcoefCode* rows : {kIntraTcoef, kInterTcoef}) {
    std::vector<std::string> codes{bits_of(kTcoefEscape, kTcoefEscapeLength)};
    int per_last[2] = {};
    for (int i = 0; i < 102; ++i) {
      codes.push_back(bits_of(rows[i].code, rows[i].length));
      ++per_last[rows[i].last];
    }
    expect_prefix_free(codes, "tcoef");
    // The codes (each followed by its sign bit) and the escape fill the code
    // space except for one 9-bit slot that the standard leaves unused.
    double kraft = 1.0 / (1 << kTcoefEscapeLength);
    for (int i = 0; i < 102; ++i) kraft += 1.0 / (1 << rows[i].length);
    EXPECT_DOUBLE_EQ(kraft, 1.0 - 1.0 / 512);
    EXPECT_GT(per_last[0], 50);
    EXPECT_GT(per_last[1], 30);
  }
}

TEST(TablesTest, HeaderTablesArePrefixFree) {
  auto codes = [](const Vlc* t, int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i) v.push_back(bits_of(t[i].code, t[i].length));
    return v;
  };
  expect_prefix_free(codes(kCbpy, 16), "cbpy");
  expect_prefix_free(codes(kDcSizeLuma, 13), "dc luma");
  expect_prefix_free(codes(kDcSizeChroma, 13), "dc chroma");
  std::vector<std::string> mcbpc = codes(kMcbpcInter, 4);
  for (auto& c : codes(kMcbpcInterIntra, 4)) mcbpc.push_back(c);
  expect_prefix_free(mcbpc, "mcbpc inter");
  expect_prefix_free(codes(kMcbpcIntra, 4), "mcbpc intra");
}

TEST(TablesTest, DcScalersFollowTheQuantiser) {
  const int luma[] = {8, 8, 8, 8, 10, 12, 14, 16, 17, 18};
  for (int q = 1; q <= 10; ++q) EXPECT_EQ(dc_scaler_luma(q), luma[q - 1]) << q;
  EXPECT_EQ(dc_scaler_luma(24), 32);
  EXPECT_EQ(dc_scaler_luma(31), 46);
  EXPECT_EQ(dc_scaler_chroma(4), 8);
  EXPECT_EQ(dc_scaler_chroma(5), 9);
  EXPECT_EQ(dc_scaler_chroma(24), 18);
  EXPECT_EQ(dc_scaler_chroma(31), 25);
}

TEST(TablesTest, SadThresholdsByQuantiser) {
  EXPECT_EQ(quant_to_sad[0], 1300);
  EXPECT_EQ(quant_to_sad[1], 1300);
  EXPECT_EQ(quant_to_sad[2], 1600);
  EXPECT_EQ(quant_to_sad[4], 2300);
  EXPECT_EQ(quant_to_sad[10], 3000);
  EXPECT_EQ(quant_to_sad[11], 3200);
  EXPECT_EQ(quant_to_sad[31], 3200);
}

// Writes one block of levels and reads the events back.
std::vector<Event> round_trip(const TcoefEvents& t, const TcoefCode* rows, const int16_t* coef,
                              int first, size_t* bits) {
  uint64_t mask = 0;
  for (int i = first; i < 64; ++i)
    if (coef[kZigzag[i]]) mask |= uint64_t{1} << i;
  std::vector<uint8_t> buf(2048);
  BitWriter bw;
  bw_init(&bw, buf.data(), buf.size());
  put_block_coefs(&bw, t, coef, kZigzag, first, mask);
  *bits = bw_count(&bw);
  bw_stuff(&bw);
  size_t n = bw_flush(&bw);
  BitReader br(buf.data(), n);
  std::vector<Event> out;
  for (;;) {
    Event e{};
    if (!read_event(&br, rows, &e)) {
      ADD_FAILURE() << "unreadable event at bit " << br.pos;
      break;
    }
    out.push_back(e);
    if (e.last) break;
  }
  return out;
}

TEST(CoefficientWriterTest, RandomBlocksComeBackUnchanged) {
  std::mt19937 rng(3);
  for (int intra = 0; intra < 2; ++intra) {
    const TcoefEvents& t = intra ? intra_events() : inter_events();
    const TcoefCode* rows = intra ? kIntraTcoef : kInterTcoef;
    for (int n = 0; n < 3000; ++n) {
      int16_t coef[64] = {};
      int count = 1 + n % 20;
      int range = n % 5 == 0 ? 2047 : (n % 5 == 1 ? 70 : 6);
      std::uniform_int_distribution<int> pos(intra, 63), lev(1, range);
      for (int k = 0; k < count; ++k)
        coef[kZigzag[pos(rng)]] = static_cast<int16_t>(rng() & 1 ? lev(rng) : -lev(rng));
      std::vector<Event> want;
      int run = 0;
      int lastpos = 0;
      for (int i = intra; i < 64; ++i)
        if (coef[kZigzag[i]]) lastpos = i;
      for (int i = intra; i <= lastpos; ++i) {
        int v = coef[kZigzag[i]];
        if (!v) {
          ++run;
          continue;
        }
        want.push_back({i == lastpos, run, v});
        run = 0;
      }
      if (want.empty()) continue;
      size_t bits;
      std::vector<Event> got = round_trip(t, rows, coef, intra, &bits);
      ASSERT_EQ(got.size(), want.size()) << "block " << n;
      for (size_t i = 0; i < want.size(); ++i)
        ASSERT_TRUE(got[i] == want[i]) << "block " << n << " event " << i;
    }
  }
}

// Length of the shortest code of the final event (last 1, run, level) from
// the table rows: direct, escape 1 (level less LMAX), escape 2 (run less
// RMAX + 1) or escape 3.
size_t shortest(const TcoefCode* rows, int run, int level) {
  auto direct = [rows](int r, int l) -> size_t {
    for (int i = 0; i < 102; ++i)
      if (rows[i].last == 1 && rows[i].run == r && rows[i].level == l) return rows[i].length + 1u;
    return 0;
  };
  size_t best = 30;
  if (size_t d = direct(run, level)) best = std::min(best, d);
  int lmax = test::table_lmax(rows, 1, run);
  if (lmax > 0 && level > lmax) {
    if (size_t d = direct(run, level - lmax)) best = std::min(best, 8 + d);
  }
  int rmax = test::table_rmax(rows, 1, level);
  if (rmax >= 0 && run > rmax) {
    if (size_t d = direct(run - rmax - 1, level)) best = std::min(best, 9 + d);
  }
  return best;
}

TEST(CoefficientWriterTest, ShortestFormIsChosen) {
  struct Case {
    bool intra;
    int pos, level;
    size_t form_bits;  // expected length, as a cross-check of shortest()
  };
  const Case cases[] = {
      {true, 1, 5, 0},   {true, 1, 12, 0}, {true, 1, 40, 30},
      {false, 0, 2, 0},  {false, 0, 5, 0}, {false, 0, 2047, 30},
      {false, 50, 1, 0}, {true, 60, 1, 0}, {false, 63, 3, 30},
  };
  for (const Case& c : cases) {
    int16_t coef[64] = {};
    coef[kZigzag[c.pos]] = static_cast<int16_t>(c.level);
    size_t bits;
    const TcoefEvents& t = c.intra ? intra_events() : inter_events();
    const TcoefCode* rows = c.intra ? kIntraTcoef : kInterTcoef;
    std::vector<Event> got = round_trip(t, rows, coef, c.intra ? 1 : 0, &bits);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].level, c.level);
    size_t want = shortest(rows, c.pos - (c.intra ? 1 : 0), c.level);
    EXPECT_EQ(bits, want) << "pos " << c.pos << " level " << c.level;
    if (c.form_bits) {
      EXPECT_EQ(want, c.form_bits);
    }
  }
  // Escape 1 and 2 are in use: an inter level of 5 after no run and an
  // inter level of 1 after a run of 50 are shorter than escape 3.
  EXPECT_LT(shortest(kInterTcoef, 0, 5), 30u);
  EXPECT_LT(shortest(kInterTcoef, 50, 1), 30u);
}

TEST(DcWriterTest, DifferencesComeBackUnchanged) {
  for (int luma = 0; luma < 2; ++luma) {
    for (int diff = -2047; diff <= 2047; ++diff) {
      uint8_t buf[16] = {};
      BitWriter bw;
      bw_init(&bw, buf, sizeof buf);
      put_intra_dc(&bw, diff, luma);
      bw_stuff(&bw);
      size_t n = bw_flush(&bw);
      BitReader br(buf, n);
      int got;
      ASSERT_TRUE(test::read_intra_dc(&br, luma, &got)) << diff;
      ASSERT_EQ(got, diff);
    }
  }
}

TEST(BitWriterTest, StuffingAlwaysAddsAtLeastOneBit) {
  for (int lead = 0; lead < 16; ++lead) {
    uint8_t buf[8] = {};
    BitWriter bw;
    bw_init(&bw, buf, sizeof buf);
    if (lead) put_bits(&bw, lead, 0);
    bw_stuff(&bw);
    size_t n = bw_flush(&bw);
    ASSERT_EQ(n, static_cast<size_t>(lead / 8 + 1));
    int pad = 8 - lead % 8;  // 0 then ones
    EXPECT_EQ(buf[n - 1], (1 << (pad - 1)) - 1) << lead;
  }
}

TEST(BitWriterTest, NeverStoresPastTheEnd) {
  for (size_t cap = 0; cap < 24; ++cap) {
    std::vector<uint8_t> buf(cap + 8, 0xA5);
    BitWriter bw;
    bw_init(&bw, buf.data(), cap);
    for (int i = 0; i < 40; ++i) put_bits(&bw, 7, 0x55);
    bw_stuff(&bw);
    size_t n = bw_flush(&bw);
    EXPECT_TRUE(bw.overflow) << cap;
    EXPECT_LE(n, cap);
    for (size_t i = cap; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xA5) << "cap " << cap;
  }
}

}  // namespace
}  // namespace dv::mp4
