// ffmpeg as the oracle: every stream the encoder writes decodes without a
// single warning or error, the decoded pictures equal the encoder's own
// reconstruction (at least 50 dB on every frame; in practice identical), and
// the quality at quantiser 4 matches ffmpeg's own MPEG-4 encoder run with
// zero motion, no B-frames, the same quantiser and GOP. Streams, sources and
// decoded pictures live in a temporary folder removed afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/mpeg4/mp4enc.h"
#include "capture/mpeg4/mp4enc_internal.h"
#include "capture/mpeg4/synth.h"
#include "lib/devices/zarn3.h"
#include "lib/platform/exec.h"

namespace {

using dv::mp4::Scene;

bool write_file(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// PSNR of one picture against another (all three planes); 100 when equal.
double psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) {
    double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0) return 100.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

// PSNR over a whole sequence (from the summed squared error).
double sequence_psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = std::min(a.size(), b.size());
  double se = 0;
  for (size_t i = 0; i < n; ++i) {
    double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  return se == 0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

enum class Kinds { kIntraOnly, kCamtap, kAuto };

struct Case {
  const char* name;
  Scene scene;
  int w, h, quant, frames, gop;
  Kinds kinds;
  uint32_t layout;
  uint32_t bitrate;
  int minquant, maxquant, resolution;
  bool want_empty;  // the sequence must contain empty VOPs
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class FfmpegTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    if (dv::run_shell("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/mp4ffXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
  }
  void TearDown() override {
    if (!dir_.empty()) dv::run_argv({"rm", "-rf", dir_});
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs ffmpeg (no shell data: every path is quoted); returns its exit
  // status and puts what it printed on standard error into *err.
  int ffmpeg(const std::string& args, std::string* err) {
    std::string errfile = path("ffmpeg.err");
    int rc =
        dv::run_shell("ffmpeg -nostdin -hide_banner " + args + " 2> " + dv::shell_quote(errfile));
    std::vector<uint8_t> e = read_file(errfile);
    err->assign(e.begin(), e.end());
    return rc;
  }

  // Decodes a stream with warnings as errors; every frame, in coding order.
  std::vector<uint8_t> decode(const std::string& stream, std::string* err, int* rc) {
    std::string out = path("decoded.yuv");
    *rc =
        ffmpeg("-v warning -xerror -i " + dv::shell_quote(stream) +
                   " -fps_mode passthrough -f rawvideo -pix_fmt yuv420p -y " + dv::shell_quote(out),
               err);
    return read_file(out);
  }

  std::string dir_;
};

struct Coded {
  std::vector<uint8_t> source, stream, recon;
  int empty = 0;
};

Coded code(const Case& c) {
  const size_t pic = dv::yuv420_size(c.w, c.h);
  MP4encodeParams p{};
  p.width = static_cast<uint16_t>(c.w);
  p.height = static_cast<uint16_t>(c.h);
  p.quant = static_cast<uint16_t>(c.quant);
  p.gop = static_cast<uint16_t>(c.gop);
  p.bitrate = c.bitrate;
  p.minquant = static_cast<uint16_t>(c.minquant);
  p.maxquant = static_cast<uint16_t>(c.maxquant);
  p.time_resolution = static_cast<uint16_t>(c.resolution);
  p.input_layout = c.layout;
  std::memset(p.mask, 1, sizeof p.mask);
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  EXPECT_NE(ctx, nullptr) << MP4encodeLastError();
  Coded out;
  if (!ctx) return out;
  std::vector<uint8_t> planar(pic), input(pic), buf(MP4encodeMaxFrameBytes(c.w, c.h)), rec(pic);
  for (int i = 0; i < c.frames; ++i) {
    dv::mp4::synth_picture(c.scene, i, c.w, c.h, planar.data());
    out.source.insert(out.source.end(), planar.begin(), planar.end());
    if (c.layout == MP4_LAYOUT_ZARN3)
      dv::planar_to_zarn3(planar.data(), input.data(), c.w, c.h);
    else
      input = planar;
    int flags = 0;
    if (c.kinds == Kinds::kIntraOnly) flags = MP4_FRAME_INTRA;
    if (c.kinds == Kinds::kCamtap) flags = i % c.gop == 0 ? MP4_FRAME_INTRA : MP4_FRAME_PREDICTED;
    int n = MP4encodeENCODE(ctx, buf.data(), buf.size(), input.data(), flags, nullptr);
    EXPECT_GT(n, 0) << MP4encodeLastError();
    if (n <= 0) break;
    out.stream.insert(out.stream.end(), buf.begin(), buf.begin() + n);
    out.empty += ctx->empty_vop;
    MP4encodeReconstruction(ctx, rec.data(), rec.size());
    out.recon.insert(out.recon.end(), rec.begin(), rec.end());
  }
  MP4encodeCLOSE(ctx);
  return out;
}

TEST_P(FfmpegTest, DecodesCleanlyAndMatchesTheReconstruction) {
  const Case c = GetParam();
  Coded coded = code(c);
  ASSERT_EQ(coded.recon.size(), dv::yuv420_size(c.w, c.h) * static_cast<size_t>(c.frames));
  if (c.want_empty) {
    EXPECT_GT(coded.empty, 0);
  }
  std::string stream = path(std::string(c.name) + ".m4v");
  ASSERT_TRUE(write_file(stream, coded.stream));

  std::string err;
  int rc;
  std::vector<uint8_t> decoded = decode(stream, &err, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(err, "") << "ffmpeg reported problems";
  const size_t pic = dv::yuv420_size(c.w, c.h);
  ASSERT_EQ(decoded.size(), coded.recon.size()) << "decoded frame count";
  for (int i = 0; i < c.frames; ++i) {
    double db = psnr(decoded.data() + pic * i, coded.recon.data() + pic * i, pic);
    EXPECT_GE(db, 50.0) << "frame " << i;
  }
  // Sanity of the coding itself: the reconstruction is close to the source
  // (empty VOPs freeze the picture on purpose).
  if (!c.want_empty) {
    EXPECT_GT(sequence_psnr(coded.recon, coded.source), c.quant <= 8 ? 33.0 : 25.0);
  }
}

const Case kCases[] = {
    {"intra_704x288_q4", Scene::kStill, 704, 288, 4, 6, 25, Kinds::kIntraOnly, MP4_LAYOUT_ZARN3, 0,
     0, 0, 25, false},
    {"intra_704x288_q2", Scene::kMotion, 704, 288, 2, 4, 25, Kinds::kIntraOnly, MP4_LAYOUT_PLANAR,
     0, 0, 0, 25, false},
    {"intra_176x144_q31", Scene::kMotion, 176, 144, 31, 4, 25, Kinds::kIntraOnly, MP4_LAYOUT_PLANAR,
     0, 0, 0, 25, false},
    {"still_704x288_q4_gop", Scene::kStill, 704, 288, 4, 25, 25, Kinds::kCamtap, MP4_LAYOUT_ZARN3,
     0, 0, 0, 25, false},
    {"motion_704x288_q4_gop", Scene::kMotion, 704, 288, 4, 25, 25, Kinds::kCamtap, MP4_LAYOUT_ZARN3,
     0, 0, 0, 25, false},
    {"motion_704x240_q6", Scene::kMotion, 704, 240, 6, 25, 25, Kinds::kCamtap, MP4_LAYOUT_PLANAR, 0,
     0, 0, 30, false},
    {"still_704x240_q3", Scene::kStill, 704, 240, 3, 12, 25, Kinds::kAuto, MP4_LAYOUT_ZARN3, 0, 0,
     0, 30, false},
    {"motion_352x288_q8", Scene::kMotion, 352, 288, 8, 25, 10, Kinds::kAuto, MP4_LAYOUT_PLANAR, 0,
     0, 0, 25, false},
    {"still_352x288_q5", Scene::kStill, 352, 288, 5, 25, 25, Kinds::kCamtap, MP4_LAYOUT_ZARN3, 0, 0,
     0, 25, false},
    {"still_176x144_q12", Scene::kStill, 176, 144, 12, 25, 25, Kinds::kAuto, MP4_LAYOUT_PLANAR, 0,
     0, 0, 25, false},
    {"empty_vops_176x144", Scene::kMotion, 176, 144, 4, 30, 5, Kinds::kCamtap, MP4_LAYOUT_PLANAR,
     80000, 3, 9, 25, true},
    {"rate_352x288", Scene::kMotion, 352, 288, 4, 30, 10, Kinds::kCamtap, MP4_LAYOUT_ZARN3, 1000000,
     0, 0, 25, false},
    {"rate_704x288_low", Scene::kStill, 704, 288, 4, 25, 5, Kinds::kCamtap, MP4_LAYOUT_ZARN3,
     200000, 2, 20, 25, false},
    {"resolution_1", Scene::kStill, 176, 144, 4, 6, 3, Kinds::kAuto, MP4_LAYOUT_PLANAR, 0, 0, 0, 1,
     false},
};

INSTANTIATE_TEST_SUITE_P(Streams, FfmpegTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                           return std::string(i.param.name);
                         });

// Quality at quantiser 4 against ffmpeg's own encoder under the same
// conditions (zero motion, no B-frames, GOP 25): within 0.5 dB of it.
class FfmpegQualityTest : public FfmpegTest {};

TEST_P(FfmpegQualityTest, PsnrNotBelowFfmpegsOwnEncoder) {
  const Case c = GetParam();
  Coded coded = code(c);
  std::string src = path("source.yuv"), ours = path("ours.m4v"), theirs = path("theirs.m4v");
  ASSERT_TRUE(write_file(src, coded.source));
  ASSERT_TRUE(write_file(ours, coded.stream));
  std::string err;
  int rc = ffmpeg(
      "-v error -f rawvideo -pix_fmt yuv420p -s " + std::to_string(c.w) + "x" +
          std::to_string(c.h) + " -r 25 -i " + dv::shell_quote(src) +
          " -threads 1 -c:v mpeg4 -qscale:v 4 -g 25 -bf 0 -motion_est zero -mbd 0 -f m4v -y " +
          dv::shell_quote(theirs),
      &err);
  ASSERT_EQ(rc, 0) << err;
  int drc;
  std::vector<uint8_t> their_dec = decode(theirs, &err, &drc);
  ASSERT_EQ(their_dec.size(), coded.source.size());
  std::vector<uint8_t> our_dec = decode(ours, &err, &drc);
  ASSERT_EQ(our_dec.size(), coded.source.size());
  double our_db = sequence_psnr(our_dec, coded.source);
  double their_db = sequence_psnr(their_dec, coded.source);
  size_t their_bytes = read_file(theirs).size();
  std::printf("%s: ours %.2f dB %zu bytes, ffmpeg %.2f dB %zu bytes\n", c.name, our_db,
              coded.stream.size(), their_db, their_bytes);
  EXPECT_GE(our_db, their_db - 0.5);
}

const Case kQualityCases[] = {
    {"quality_still", Scene::kStill, 704, 288, 4, 25, 25, Kinds::kCamtap, MP4_LAYOUT_ZARN3, 0, 0, 0,
     25, false},
    {"quality_motion", Scene::kMotion, 704, 288, 4, 25, 25, Kinds::kCamtap, MP4_LAYOUT_PLANAR, 0, 0,
     0, 25, false},
};

INSTANTIATE_TEST_SUITE_P(Quant4, FfmpegQualityTest, ::testing::ValuesIn(kQualityCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
