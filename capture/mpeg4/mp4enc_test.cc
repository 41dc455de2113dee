// Encoder API: parameter checks, bounded output, frame kinds, header fields,
// activity count, statistics record, rate control and empty VOPs, and the
// equality of the software transform, the device protocol model and the
// portable kernels.
#include "capture/mpeg4/mp4enc.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "capture/mpeg4/mp4_dsp.h"
#include "capture/mpeg4/mp4_test_util.h"
#include "capture/mpeg4/mp4enc_internal.h"
#include "capture/mpeg4/synth.h"
#include "lib/devices/zarn3.h"

namespace {

using dv::mp4::Scene;
using dv::mp4::test::BitReader;

MP4encodeParams params(int w, int h, int q) {
  MP4encodeParams p{};
  p.width = static_cast<uint16_t>(w);
  p.height = static_cast<uint16_t>(h);
  p.quant = static_cast<uint16_t>(q);
  p.gop = 25;
  p.time_resolution = 25;
  p.input_layout = MP4_LAYOUT_PLANAR;
  std::memset(p.mask, 1, sizeof p.mask);
  return p;
}

std::vector<uint8_t> picture(Scene s, int frame, int w, int h) {
  std::vector<uint8_t> pic(dv::yuv420_size(w, h));
  dv::mp4::synth_picture(s, frame, w, h, pic.data());
  return pic;
}

// Codes one picture into a fresh buffer (trimmed to the size written).
std::vector<uint8_t> encode(MP4encodeContext* ctx, const std::vector<uint8_t>& pic, int flags,
                            MP4encodeStats* st = nullptr) {
  std::vector<uint8_t> out(1 << 20);
  MP4encodeStats local{};
  int n = MP4encodeENCODE(ctx, out.data(), out.size(), pic.data(), flags, st ? st : &local);
  EXPECT_GT(n, 0) << MP4encodeLastError();
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

struct BadOpen {
  int w, h;
  uint32_t layout;
};

class OpenTest : public ::testing::TestWithParam<BadOpen> {};

TEST_P(OpenTest, RejectsInvalidSizeOrLayout) {
  BadOpen b = GetParam();
  MP4encodeParams p = params(b.w, b.h, 4);
  p.input_layout = b.layout;
  EXPECT_EQ(MP4encodeOPEN(&p), nullptr);
  EXPECT_STRNE(MP4encodeLastError(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenTest,
                         ::testing::Values(BadOpen{0, 288, 0}, BadOpen{704, 0, 2},
                                           BadOpen{700, 288, 2}, BadOpen{704, 280, 0},
                                           BadOpen{8, 8, 0}, BadOpen{4096, 288, 0},
                                           BadOpen{704, 4096, 2}, BadOpen{704, 288, 1}));

TEST(OpenTest, NullParametersAreRefused) { EXPECT_EQ(MP4encodeOPEN(nullptr), nullptr); }

TEST(OpenTest, ZeroTimeResolutionBecomes25AndIsWrittenBack) {
  MP4encodeParams p = params(176, 144, 4);
  p.time_resolution = 0;
  p.gop = 0;
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(p.time_resolution, 25);
  EXPECT_EQ(ctx->gop, 25);
  MP4encodeCLOSE(ctx);
  MP4encodeCLOSE(nullptr);
}

TEST(EncodeTest, MissingArgumentsAreRefused) {
  MP4encodeParams p = params(176, 144, 4);
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  std::vector<uint8_t> pic = picture(Scene::kStill, 0, 176, 144), out(65536);
  EXPECT_EQ(MP4encodeENCODE(nullptr, out.data(), out.size(), pic.data(), 0, nullptr), -1);
  EXPECT_EQ(MP4encodeENCODE(ctx, nullptr, out.size(), pic.data(), 0, nullptr), -1);
  EXPECT_EQ(MP4encodeENCODE(ctx, out.data(), out.size(), nullptr, 0, nullptr), -1);
  MP4encodeCLOSE(ctx);
}

// A buffer too small for the VOP is an error, never a write past its end;
// the next picture is intra again.
TEST(EncodeTest, OutputBufferTooSmallIsReportedWithoutOverrun) {
  const int w = 352, h = 288;
  std::vector<uint8_t> pic0 = picture(Scene::kMotion, 0, w, h);
  std::vector<uint8_t> pic1 = picture(Scene::kMotion, 1, w, h);
  MP4encodeParams p = params(w, h, 4);
  MP4encodeContext* probe = MP4encodeOPEN(&p);
  size_t intra_size = encode(probe, pic0, 0).size();
  size_t pred_size = encode(probe, pic1, 0).size();
  MP4encodeCLOSE(probe);
  ASSERT_GT(intra_size, 1000u);

  for (size_t cap : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{31}, intra_size / 2,
                     intra_size - 5, intra_size - 1}) {
    MP4encodeContext* ctx = MP4encodeOPEN(&p);
    std::vector<uint8_t> buf(cap + 64, 0xA5);
    EXPECT_EQ(MP4encodeENCODE(ctx, buf.data(), cap, pic0.data(), 0, nullptr), -1) << cap;
    for (size_t i = cap; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xA5) << "cap " << cap;
    MP4encodeStats st{};
    encode(ctx, pic1, MP4_FRAME_PREDICTED, &st);
    EXPECT_EQ(st.intra, 1u) << "after a failed picture the next one is intra";
    MP4encodeCLOSE(ctx);
  }
  // Exactly enough room works, also for a predicted VOP.
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  std::vector<uint8_t> buf(intra_size);
  EXPECT_EQ(MP4encodeENCODE(ctx, buf.data(), buf.size(), pic0.data(), 0, nullptr),
            static_cast<int>(intra_size));
  std::vector<uint8_t> pbuf(pred_size);
  EXPECT_EQ(MP4encodeENCODE(ctx, pbuf.data(), pbuf.size(), pic1.data(), 0, nullptr),
            static_cast<int>(pred_size));
  MP4encodeCLOSE(ctx);
  EXPECT_GE(MP4encodeMaxFrameBytes(w, h), intra_size);
}

struct HeaderCase {
  int resolution, increment_bits;
};

class HeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTest, VolAndVopCarryTheListedValues) {
  const HeaderCase hc = GetParam();
  MP4encodeParams p = params(704, 288, 7);
  p.time_resolution = static_cast<uint16_t>(hc.resolution);
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  ASSERT_NE(ctx, nullptr);
  std::vector<uint8_t> i = encode(ctx, picture(Scene::kStill, 0, 704, 288), 0);
  std::vector<uint8_t> pv = encode(ctx, picture(Scene::kStill, 1, 704, 288), 0);
  MP4encodeCLOSE(ctx);

  BitReader br(i.data(), i.size());
  dv::mp4::test::VolFields v = dv::mp4::test::read_vol(&br);
  EXPECT_EQ(v.vo_start, 0x00000100u);
  EXPECT_EQ(v.vol_start, 0x00000120u);
  EXPECT_EQ(v.random_accessible, 0);
  EXPECT_EQ(v.type_indication, 1);
  EXPECT_EQ(v.is_identifier, 0);
  EXPECT_EQ(v.aspect, 15);
  EXPECT_EQ(v.par_width, 1);
  EXPECT_EQ(v.par_height, 2);
  EXPECT_EQ(v.control, 1);
  EXPECT_EQ(v.chroma, 1);
  EXPECT_EQ(v.low_delay, 1);
  EXPECT_EQ(v.vbv, 0);
  EXPECT_EQ(v.shape, 0);
  EXPECT_EQ(v.resolution, hc.resolution);
  EXPECT_EQ(v.increment_bits, hc.increment_bits);
  EXPECT_EQ(v.fixed_rate, 1);
  EXPECT_EQ(v.fixed_increment, 1);
  EXPECT_EQ(v.width, 704);
  EXPECT_EQ(v.height, 288);
  EXPECT_EQ(v.interlaced, 0);
  EXPECT_EQ(v.obmc_disable, 1);
  EXPECT_EQ(v.sprite, 0);
  EXPECT_EQ(v.not_8_bit, 0);
  EXPECT_EQ(v.quant_type, 0);
  EXPECT_EQ(v.complexity_disable, 1);
  EXPECT_EQ(v.resync_disable, 1);
  EXPECT_EQ(v.partitioned, 0);
  EXPECT_EQ(v.scalability, 0);
  EXPECT_TRUE(v.markers_ok);
  EXPECT_TRUE(dv::mp4::test::read_stuffing(&br));

  dv::mp4::test::VopFields f = dv::mp4::test::read_vop(&br, hc.increment_bits);
  EXPECT_EQ(f.start, 0x000001B6u);
  EXPECT_EQ(f.coding_type, 0);
  EXPECT_EQ(f.modulo, 0);
  EXPECT_EQ(f.increment, 0);
  EXPECT_EQ(f.coded, 1);
  EXPECT_EQ(f.dc_thr, 0);
  EXPECT_EQ(f.quant, 7);
  EXPECT_TRUE(f.markers_ok);

  BitReader pr(pv.data(), pv.size());
  dv::mp4::test::VopFields g = dv::mp4::test::read_vop(&pr, hc.increment_bits);
  EXPECT_EQ(g.start, 0x000001B6u);
  EXPECT_EQ(g.coding_type, 1);
  EXPECT_EQ(g.modulo, 0);
  EXPECT_EQ(g.increment, 0);
  EXPECT_EQ(g.coded, 1);
  EXPECT_EQ(g.rounding, 0);
  EXPECT_EQ(g.dc_thr, 0);
  EXPECT_EQ(g.quant, 7);
  EXPECT_EQ(g.fcode, 1);
  EXPECT_TRUE(g.markers_ok);
}

// A resolution of 1 takes one bit for the time increment (decoders read at
// least one); 25 takes 5 bits.
INSTANTIATE_TEST_SUITE_P(Resolutions, HeaderTest,
                         ::testing::Values(HeaderCase{25, 5}, HeaderCase{1, 1}, HeaderCase{2, 1},
                                           HeaderCase{30, 5}, HeaderCase{1000, 10},
                                           HeaderCase{6, 3}));

TEST(FrameKindTest, CountdownFlagsAndFirstPicture) {
  MP4encodeParams p = params(176, 144, 5);
  p.gop = 4;
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  std::vector<uint8_t> pic = picture(Scene::kStill, 0, 176, 144);
  struct Step {
    int flags;
    uint32_t intra;
  };
  // First call intra even with flag 4; flag 4 does not advance the
  // countdown; flag 2 forces intra and restarts it.
  const Step steps[] = {{4, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 1}, {4, 0}, {4, 0}, {4, 0},
                        {4, 0}, {4, 0}, {0, 0}, {2, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 1}};
  int n = 0;
  for (const Step& s : steps) {
    MP4encodeStats st{};
    encode(ctx, pic, s.flags, &st);
    EXPECT_EQ(st.intra, s.intra) << "step " << n;
    EXPECT_EQ(st.zero, 0u);
    EXPECT_EQ(st.quant, 5);
    ++n;
  }
  MP4encodeCLOSE(ctx);
}

TEST(StatsTest, RecordLayout) {
  EXPECT_EQ(offsetof(MP4encodeStats, intra), 0u);
  EXPECT_EQ(offsetof(MP4encodeStats, zero), 4u);
  EXPECT_EQ(offsetof(MP4encodeStats, quant), 8u);
  EXPECT_EQ(offsetof(MP4encodeStats, activity), 12u);
}

// An unchanged picture codes every macroblock as not coded: the predicted
// VOP is its header and one bit per macroblock; the activity is 0.
TEST(PredictedTest, StaticSceneIsAllNotCoded) {
  for (uint32_t layout : {MP4_LAYOUT_PLANAR, MP4_LAYOUT_ZARN3}) {
    const int w = 704, h = 288;
    MP4encodeParams p = params(w, h, 4);
    p.input_layout = layout;
    MP4encodeContext* ctx = MP4encodeOPEN(&p);
    std::vector<uint8_t> planar = picture(Scene::kStill, 0, w, h), pic = planar;
    if (layout == MP4_LAYOUT_ZARN3) dv::planar_to_zarn3(planar.data(), pic.data(), w, h);
    encode(ctx, pic, 0);
    MP4encodeStats st{};
    std::vector<uint8_t> pv = encode(ctx, pic, 0, &st);
    // 32 start code + 2 type + 1 modulo + 1 marker + 5 increment + 1 marker +
    // 1 coded + 1 rounding + 3 dc threshold + 5 quant + 3 fcode = 55 bits.
    size_t bits = 55 + 792;
    EXPECT_EQ(pv.size(), bits / 8 + 1);
    EXPECT_EQ(st.intra, 0u);
    EXPECT_EQ(st.activity, 0u);
    EXPECT_EQ(ctx->empty_vop, 0);
    MP4encodeCLOSE(ctx);
  }
}

// The activity count is the number of watched macroblocks coded intra in a
// predicted VOP; an intra VOP leaves it as it was.
TEST(PredictedTest, ActivityCountsWatchedIntraMacroblocks) {
  const int w = 352, h = 288;  // 22 x 18 macroblocks; mask grid 44 x 18
  MP4encodeParams p = params(w, h, 4);
  std::memset(p.mask, 0, sizeof p.mask);
  // Watch macroblocks (row 2, columns 0..9) and (row 5, column 3).
  for (int c = 0; c < 10; ++c) p.mask[2 * 44 + c] = 1;
  p.mask[5 * 44 + 3] = 1;
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  std::vector<uint8_t> flat(dv::yuv420_size(w, h), 128);
  std::vector<uint8_t> changed = flat;
  // A strong pattern in macroblocks (2, 4..7), (5, 3) and (7, 7).
  auto paint = [&](int row, int col) {
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x)
        changed[(16 * row + y) * w + 16 * col + x] = ((x ^ y) & 4) ? 250 : 5;
  };
  for (int c = 4; c <= 7; ++c) paint(2, c);
  paint(5, 3);
  paint(7, 7);
  encode(ctx, flat, 0);
  MP4encodeStats st{};
  encode(ctx, changed, 0, &st);
  EXPECT_EQ(st.intra, 0u);
  EXPECT_EQ(st.activity, 5u);  // (7, 7) is coded intra but not watched
  encode(ctx, flat, MP4_FRAME_INTRA, &st);
  EXPECT_EQ(st.intra, 1u);
  EXPECT_EQ(st.activity, 5u);
  encode(ctx, flat, 0, &st);
  EXPECT_EQ(st.activity, 0u);
  MP4encodeCLOSE(ctx);
}

// Runs n pictures of the moving scene and collects the statistics.
std::vector<MP4encodeStats> run(MP4encodeParams p, int n, int* empty, std::vector<int>* sizes) {
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  EXPECT_NE(ctx, nullptr);
  std::vector<MP4encodeStats> out;
  *empty = 0;
  for (int i = 0; i < n; ++i) {
    MP4encodeStats st{};
    std::vector<uint8_t> s = encode(ctx, picture(Scene::kMotion, i, p.width, p.height),
                                    i % p.gop == 0 ? MP4_FRAME_INTRA : MP4_FRAME_PREDICTED, &st);
    if (ctx->empty_vop) {
      ++*empty;
      EXPECT_EQ(st.activity, 320u);
    }
    out.push_back(st);
    if (sizes) sizes->push_back(static_cast<int>(s.size()));
  }
  MP4encodeCLOSE(ctx);
  return out;
}

TEST(RateControlTest, LowBitrateKeepsTheQuantiserAndNeverEmpties) {
  MP4encodeParams p = params(176, 144, 6);
  p.bitrate = 64000;
  p.minquant = 2;
  p.maxquant = 6;
  p.gop = 5;
  int empty;
  for (const MP4encodeStats& st : run(p, 30, &empty, nullptr)) EXPECT_EQ(st.quant, 6);
  EXPECT_EQ(empty, 0);
}

// Far too little bitrate: the quantiser climbs to maxquant at intra VOPs and
// predicted VOPs are sent empty while the window rate stays above target.
TEST(RateControlTest, OverTargetAtMaxquantGivesEmptyVops) {
  MP4encodeParams p = params(176, 144, 4);
  p.bitrate = 80000;
  p.minquant = 3;
  p.maxquant = 9;
  p.gop = 5;
  int empty;
  std::vector<int> sizes;
  std::vector<MP4encodeStats> st = run(p, 40, &empty, &sizes);
  EXPECT_EQ(st[0].quant, 3);  // starts at the lower bound
  int last_intra_quant = 0;
  for (size_t i = 0; i < st.size(); ++i)
    if (st[i].intra) {
      EXPECT_GE(st[i].quant, last_intra_quant);
      last_intra_quant = st[i].quant;
    }
  EXPECT_EQ(last_intra_quant, 9);
  EXPECT_GT(empty, 0);
  for (size_t i = 0; i < st.size(); ++i)
    if (!st[i].intra && st[i].activity == 320u) {
      EXPECT_LT(sizes[i], 100);
    }
}

// Plenty of bitrate: the quantiser falls to the lower bound. Without minquant
// the lower bound is 2 and coding starts at the configured quantiser.
TEST(RateControlTest, UnderTargetFallsToTheLowerBound) {
  struct Case {
    int quant, minq, maxq, start, floor;
  };
  const Case cases[] = {{8, 0, 0, 8, 2}, {40, 0, 12, 12, 2}, {8, 5, 0, 5, 5}, {8, 20, 6, 6, 6}};
  for (const Case& c : cases) {
    MP4encodeParams p = params(176, 144, c.quant);
    p.bitrate = 20000000;
    p.minquant = static_cast<uint16_t>(c.minq);
    p.maxquant = static_cast<uint16_t>(c.maxq);
    p.gop = 2;
    int empty;
    std::vector<MP4encodeStats> st = run(p, 40, &empty, nullptr);
    EXPECT_EQ(st.front().quant, c.start) << c.quant << " " << c.minq << " " << c.maxq;
    EXPECT_EQ(st.back().quant, c.floor) << c.quant << " " << c.minq << " " << c.maxq;
    EXPECT_EQ(empty, 0);
  }
}

// ---------------------------------------------------------------------------
// The same stream from every transform path.

struct Coded {
  std::vector<uint8_t> stream;
  std::vector<uint8_t> recon;
};

Coded code_sequence(int w, int h, int frames, bool quiet, bool device,
                    const dv::mp4::DspFunctions* kernels) {
  MP4encodeParams p = params(w, h, 4);
  p.gop = 8;
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  ctx->quiet_blocks = quiet;
  if (device) {
    dv::DctDevice dev;
    dv::dct_device_open_simulated(&dev, mp4_device_emulate);
    mp4enc_use_device(ctx, dev);
  }
  if (kernels) dv::mp4::mp4_dsp_use(*kernels);
  Coded c;
  for (int i = 0; i < frames; ++i) {
    Scene s = i < frames / 2 ? Scene::kStill : Scene::kMotion;
    std::vector<uint8_t> v = encode(ctx, picture(s, i, w, h), 0);
    c.stream.insert(c.stream.end(), v.begin(), v.end());
    size_t at = c.recon.size();
    c.recon.resize(at + dv::yuv420_size(w, h));
    EXPECT_EQ(0, MP4encodeReconstruction(ctx, c.recon.data() + at, dv::yuv420_size(w, h)));
  }
  dv::mp4::mp4_dsp_init(true);
  MP4encodeCLOSE(ctx);
  return c;
}

TEST(TransformPathTest, DeviceProtocolModelGivesTheSoftwareStream) {
  Coded sw = code_sequence(176, 144, 12, false, false, nullptr);
  Coded dev = code_sequence(176, 144, 12, false, true, nullptr);
  EXPECT_EQ(sw.stream, dev.stream);
  EXPECT_EQ(sw.recon, dev.recon);
}

TEST(TransformPathTest, EveryKernelSetGivesTheSameStream) {
  Coded port = code_sequence(352, 288, 10, true, false, &dv::mp4::dsp_portable());
  for (const dv::mp4::DspFunctions* k : {dv::mp4::dsp_sse2(), dv::mp4::dsp_avx2()}) {
    if (!k) continue;
    Coded simd = code_sequence(352, 288, 10, true, false, k);
    EXPECT_EQ(simd.stream, port.stream);
    EXPECT_EQ(simd.recon, port.recon);
  }
}

// A transform device that answers with garbage must not make the encoder
// write out of bounds or an unwritable code.
uint32_t g_garbage_seed = 1;
void garbage_device(uint8_t* work) {
  for (size_t i = 0; i < dv::kDctWorkSize; ++i) {
    g_garbage_seed = g_garbage_seed * 1103515245u + 12345u;
    if (i < dv::kDctControlOffset || i >= dv::kDctDataOffset)
      work[i] = static_cast<uint8_t>(g_garbage_seed >> 16);
  }
}

TEST(TransformPathTest, GarbageFromTheDeviceStaysWithinTheSyntax) {
  MP4encodeParams p = params(176, 144, 4);
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  dv::DctDevice dev;
  dv::dct_device_open_simulated(&dev, garbage_device);
  mp4enc_use_device(ctx, dev);
  for (int i = 0; i < 4; ++i) {
    std::vector<uint8_t> out(MP4encodeMaxFrameBytes(176, 144));
    std::vector<uint8_t> pic = picture(Scene::kMotion, i, 176, 144);
    EXPECT_GT(MP4encodeENCODE(ctx, out.data(), out.size(), pic.data(), 0, nullptr), 0);
  }
  MP4encodeCLOSE(ctx);
}

TEST(ReconstructionTest, RefusesShortBuffers) {
  MP4encodeParams p = params(176, 144, 4);
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  std::vector<uint8_t> buf(dv::yuv420_size(176, 144));
  EXPECT_EQ(MP4encodeReconstruction(ctx, buf.data(), buf.size() - 1), -1);
  EXPECT_EQ(MP4encodeReconstruction(ctx, buf.data(), buf.size()), 0);
  EXPECT_EQ(MP4encodeReconstruction(nullptr, buf.data(), buf.size()), -1);
  EXPECT_EQ(MP4encodeWidth(ctx), 176);
  EXPECT_EQ(MP4encodeHeight(ctx), 144);
  MP4encodeCLOSE(ctx);
}

}  // namespace
