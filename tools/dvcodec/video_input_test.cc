#include "tools/dvcodec/video_input.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace dv::codec {
namespace {

struct HeaderCase {
  const char* line;
  int ok;  // 1: parses
  int w, h, num, den;
  const char* error;  // part of the reason when it does not
};

const HeaderCase kHeaders[] = {
    {"YUV4MPEG2 W704 H288 F25:1 Ip A1:1 C420jpeg\n", 1, 704, 288, 25, 1, ""},
    {"YUV4MPEG2 W16 H16\n", 1, 16, 16, 0, 0, ""},
    {"YUV4MPEG2 W176 H144 F30000:1001 C420mpeg2 XYSCSS=420MPEG2\n", 1, 176, 144, 30000, 1001, ""},
    {"YUV4MPEG2  W32  H32  C420paldv\n", 1, 32, 32, 0, 0, ""},
    {"YUV4MPEG2 W32 H32 C420\n", 1, 32, 32, 0, 0, ""},
    {"YUV4MPEG2 W32 H32 Zunknown\n", 1, 32, 32, 0, 0, ""},
    {"YUV4MPEG2 W704 H288 C422\n", 0, 0, 0, 0, 0, "colour space"},
    {"YUV4MPEG2 W704 H288 C420p10\n", 0, 0, 0, 0, 0, "colour space"},
    {"YUV4MPEG2 W704 H288 Cmono\n", 0, 0, 0, 0, 0, "colour space"},
    {"YUV4MPEG2 H288\n", 0, 0, 0, 0, 0, "width or height"},
    {"YUV4MPEG2 W704\n", 0, 0, 0, 0, 0, "width or height"},
    {"YUV4MPEG2 W-704 H288\n", 0, 0, 0, 0, 0, "width"},
    {"YUV4MPEG2 W7x4 H288\n", 0, 0, 0, 0, 0, "width"},
    {"YUV4MPEG2 W99999999999 H288\n", 0, 0, 0, 0, 0, "width"},
    {"YUV4MPEG2 W704 H\n", 0, 0, 0, 0, 0, "height"},
    {"YUV4MPEG2 W704 H288 F25\n", 0, 0, 0, 0, 0, "frame rate"},
    {"YUV4MPEG2 W704 H288 F0:1\n", 0, 0, 0, 0, 0, "frame rate"},
    {"YUV4MPEG2 W704 H288 F25:0\n", 0, 0, 0, 0, 0, "frame rate"},
    {"YUV4MPEG2 W704 H288", 0, 0, 0, 0, 0, "line feed"},
    {"YUV4MPEG W704 H288\n", 0, 0, 0, 0, 0, "not a YUV4MPEG2"},
};

TEST(Y4mHeader, ParsesOrExplains) {
  for (const HeaderCase& c : kHeaders) {
    Y4mHeader h;
    std::string err;
    const std::string line = c.line;
    const int rc = y4m_parse_header(line.data(), line.size(), &h, &err);
    if (c.ok) {
      ASSERT_EQ(0, rc) << c.line << err;
      EXPECT_EQ(c.w, h.width) << c.line;
      EXPECT_EQ(c.h, h.height) << c.line;
      EXPECT_EQ(c.num, h.rate_num) << c.line;
      EXPECT_EQ(c.den, h.rate_den) << c.line;
    } else {
      EXPECT_EQ(-1, rc) << c.line;
      EXPECT_NE(std::string::npos, err.find(c.error)) << c.line << " -> " << err;
    }
  }
}

TEST(PictureSize, ParseAndCheck) {
  struct {
    const char* text;
    int parse_ok, w, h, check_ok;
  } cases[] = {
      {"704x288", 1, 704, 288, 1}, {"2x2", 1, 2, 2, 1},         {"8192x8192", 1, 8192, 8192, 1},
      {"0x288", 1, 0, 288, 0},     {"704x0", 1, 704, 0, 0},     {"8194x16", 1, 8194, 16, 0},
      {"705x288", 1, 705, 288, 0}, {"704x289", 1, 704, 289, 0}, {"704", 0, 0, 0, 0},
      {"704x", 0, 0, 0, 0},        {"x288", 0, 0, 0, 0},        {"-704x288", 0, 0, 0, 0},
      {"704X288", 0, 0, 0, 0},     {"704x288x1", 0, 0, 0, 0},   {"9999999999x16", 0, 0, 0, 0},
  };
  for (auto& c : cases) {
    int w = -1, h = -1;
    ASSERT_EQ(c.parse_ok ? 0 : -1, parse_size(c.text, &w, &h)) << c.text;
    if (!c.parse_ok) continue;
    EXPECT_EQ(c.w, w) << c.text;
    EXPECT_EQ(c.h, h) << c.text;
    std::string err;
    EXPECT_EQ(c.check_ok ? 0 : -1, check_picture_size(w, h, &err)) << c.text;
    if (!c.check_ok) {
      EXPECT_NE(std::string::npos, err.find("picture size")) << c.text;
    }
  }
}

class VideoFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dvcodec_io_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const std::string& p : files_) unlink(p.c_str());
    rmdir(dir_.c_str());
  }
  std::string file(const std::string& name, const std::string& bytes) {
    const std::string p = dir_ + "/" + name;
    FILE* f = std::fopen(p.c_str(), "wb");
    EXPECT_NE(nullptr, f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    files_.push_back(p);
    return p;
  }
  static std::string picture(int w, int h, char fill) {
    return std::string(static_cast<size_t>(w) * h * 3 / 2, fill);
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(VideoFileTest, RawReadsWholePicturesThenEnds) {
  const std::string p = file("two.yuv", picture(16, 16, 'a') + picture(16, 16, 'b'));
  VideoReader r;
  std::string err;
  ASSERT_EQ(0, video_open(&r, p, 16, 16, &err)) << err;
  std::vector<uint8_t> buf(r.frame_bytes);
  ASSERT_EQ(1, video_read(&r, buf.data(), &err));
  EXPECT_EQ('a', buf[0]);
  EXPECT_EQ('a', buf.back());
  ASSERT_EQ(1, video_read(&r, buf.data(), &err));
  EXPECT_EQ('b', buf[0]);
  EXPECT_EQ(0, video_read(&r, buf.data(), &err));
  video_close(&r);
}

TEST_F(VideoFileTest, RawRefusedWhenTruncatedEmptyOrSizeless) {
  struct {
    std::string bytes;
    int w, h;
    const char* error;
  } cases[] = {
      {picture(16, 16, 'a') + "xyz", 16, 16, "truncated"},
      {"", 16, 16, "holds no picture"},
      {picture(16, 16, 'a'), 0, 0, "--size"},
      {picture(16, 16, 'a'), 15, 16, "even"},
  };
  for (auto& c : cases) {
    const std::string p = file("bad.yuv", c.bytes);
    VideoReader r;
    std::string err;
    EXPECT_EQ(-1, video_open(&r, p, c.w, c.h, &err)) << c.error;
    EXPECT_NE(std::string::npos, err.find(c.error)) << err;
    EXPECT_EQ(nullptr, r.file);
  }
}

TEST_F(VideoFileTest, Y4mGivesItsSizeAndRate) {
  const std::string p =
      file("a.y4m", "YUV4MPEG2 W32 H16 F10:1 C420jpeg\nFRAME\n" + picture(32, 16, 'x') +
                        "FRAME Ixyz\n" + picture(32, 16, 'y'));
  VideoReader r;
  std::string err;
  ASSERT_EQ(0, video_open(&r, p, 0, 0, &err)) << err;
  EXPECT_TRUE(r.y4m);
  EXPECT_EQ(32, r.width);
  EXPECT_EQ(16, r.height);
  EXPECT_EQ(10, r.rate_num);
  std::vector<uint8_t> buf(r.frame_bytes);
  ASSERT_EQ(1, video_read(&r, buf.data(), &err)) << err;
  EXPECT_EQ('x', buf[0]);
  ASSERT_EQ(1, video_read(&r, buf.data(), &err)) << err;
  EXPECT_EQ('y', buf.back());
  EXPECT_EQ(0, video_read(&r, buf.data(), &err));
  video_close(&r);
}

TEST_F(VideoFileTest, Y4mDamageIsReported) {
  const std::string head = "YUV4MPEG2 W32 H16\n";
  struct {
    std::string bytes;
    int open_ok;
    const char* error;
  } cases[] = {
      {head + "FRAME\n" + picture(32, 16, 'x').substr(10), 1, "truncated (758 of 768"},
      {head + "FRAME\n" + picture(32, 16, 'x') + "FRA", 1, "truncated FRAME line"},
      {head + "FRAMEX\n" + picture(32, 16, 'x'), 1, "bad FRAME line"},
      {head + "frame\n" + picture(32, 16, 'x'), 1, "bad FRAME line"},
      {head + "FRAME " + std::string(5000, 'x'), 1, "bad FRAME line"},
      {"YUV4MPEG2 W32 H16", 0, "truncated Y4M header"},
      {"YUV4MPEG2 W32 H16 X" + std::string(5000, 'c') + "\n", 0, "longer than 4096"},
      {"YUV4MPEG2 W31 H16\n", 0, "even"},
      {"YUV4MPEG2 W32 H16 C444\n", 0, "colour space"},
      {"YUV4MPEG2 W9000 H16\n", 0, "out of range"},
  };
  for (auto& c : cases) {
    const std::string p = file("bad.y4m", c.bytes);
    VideoReader r;
    std::string err;
    if (!c.open_ok) {
      EXPECT_EQ(-1, video_open(&r, p, 0, 0, &err)) << c.error;
      EXPECT_NE(std::string::npos, err.find(c.error)) << err;
      continue;
    }
    ASSERT_EQ(0, video_open(&r, p, 0, 0, &err)) << err;
    std::vector<uint8_t> buf(r.frame_bytes);
    int rc;
    while ((rc = video_read(&r, buf.data(), &err)) == 1) {
    }
    EXPECT_EQ(-1, rc) << c.error;
    EXPECT_NE(std::string::npos, err.find(c.error)) << err;
    video_close(&r);
  }
}

TEST_F(VideoFileTest, Y4mSizeMustMatchAGivenSize) {
  const std::string p = file("a.y4m", "YUV4MPEG2 W32 H16\nFRAME\n" + picture(32, 16, 'x'));
  VideoReader r;
  std::string err;
  EXPECT_EQ(-1, video_open(&r, p, 64, 16, &err));
  EXPECT_NE(std::string::npos, err.find("32x16")) << err;
  EXPECT_EQ(0, video_open(&r, p, 32, 16, &err)) << err;
  video_close(&r);
}

TEST_F(VideoFileTest, WriterOutputReadsBack) {
  for (const char* name : {"out.yuv", "out.Y4M"}) {
    const std::string p = dir_ + "/" + name;
    files_.push_back(p);
    VideoWriter w;
    std::string err;
    ASSERT_EQ(0, video_create(&w, p, 16, 32, 30000, 1001, &err)) << err;
    std::vector<uint8_t> pic(16 * 32 * 3 / 2);
    for (size_t i = 0; i < pic.size(); ++i) pic[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(0, video_write(&w, pic.data(), &err));
    ASSERT_EQ(0, video_write(&w, pic.data(), &err));
    ASSERT_EQ(0, video_finish(&w, &err));
    VideoReader r;
    ASSERT_EQ(
        0, video_open(&r, p, has_suffix(p, ".y4m") ? 0 : 16, has_suffix(p, ".y4m") ? 0 : 32, &err))
        << err;
    EXPECT_EQ(has_suffix(p, ".y4m"), r.y4m);
    if (r.y4m) {
      EXPECT_EQ(1001, r.rate_den);
    }
    std::vector<uint8_t> back(pic.size());
    for (int k = 0; k < 2; ++k) {
      ASSERT_EQ(1, video_read(&r, back.data(), &err)) << err;
      EXPECT_EQ(pic, back);
    }
    EXPECT_EQ(0, video_read(&r, back.data(), &err));
    video_close(&r);
  }
}

TEST_F(VideoFileTest, MissingFileAndFolder) {
  VideoReader r;
  std::string err;
  EXPECT_EQ(-1, video_open(&r, dir_ + "/none.yuv", 16, 16, &err));
  EXPECT_NE(std::string::npos, err.find("No such file")) << err;
  EXPECT_EQ(-1, video_open(&r, dir_, 16, 16, &err));
  EXPECT_NE(std::string::npos, err.find("folder")) << err;
}

}  // namespace
}  // namespace dv::codec
