#include "capture/camtap_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/inistore/ini_store.h"

namespace camtap {
namespace {

// A store over INI text (the store wants the text as a NUL-separated line
// list closed by two NULs).
struct Ini {
  std::string lines;
  ConfigHandle* h = nullptr;
  explicit Ini(const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) {
        lines.append(text, start, end - start);
        lines.push_back('\0');
      }
      start = end + 1;
    }
    lines.push_back('\0');
    if (lines.size() == 1) lines.push_back('\0');
    h = ConfigOpenMem(lines.data(), static_cast<int32_t>(lines.size()));
  }
  ~Ini() { ConfigClose(h); }
};

Settings read(const std::string& text) {
  Ini ini(text);
  EXPECT_NE(ini.h, nullptr);
  Settings s;
  settings_defaults(&s);
  settings_read(ini.h, &s);
  return s;
}

std::string cams(const std::vector<int>& on, const std::string& extra = "") {
  std::string t;
  for (int c : on) t += "[stream_" + std::to_string(c) + "]\nON = 1\n" + extra;
  return t;
}

TEST(CamtapSettings, DefaultsWithoutKeys) {
  Settings s = read("[camtap]\n" + cams({2}));
  EXPECT_FALSE(s.ntsc);
  EXPECT_STREQ(s.nosig, "Camera %d off");
  EXPECT_STREQ(s.sig, "Camera %d on");
  ASSERT_EQ(s.active_count, 1);
  const VideoSettings& v = s.video[2];
  EXPECT_TRUE(v.on);
  EXPECT_FALSE(v.mjpeg);
  EXPECT_EQ(v.quant, 4);
  EXPECT_EQ(v.threshold, 64);
  EXPECT_EQ(v.drep, 130);
  EXPECT_EQ(v.holdoff, 1);
  EXPECT_EQ(v.fdiv, 1);
  EXPECT_STREQ(v.message, "Motion %d");
  EXPECT_EQ(std::string(v.motion_mask), std::string(100, '0'));
  EXPECT_EQ(s.camera_mask, 0x4u);
  EXPECT_EQ(s.base_width, 704);
  EXPECT_EQ(s.base_height, 288);
  EXPECT_EQ(s.audio[0].drep, 145);
  EXPECT_EQ(s.audio[1].drep, kRightSoundTextStream);
}

TEST(CamtapSettings, ClampsAndCorrections) {
  struct Case {
    const char* keys;
    int quant, minquant, maxquant, height, fdiv, holdoff, threshold, drep, bitrate;
  } cases[] = {
      {"quant = 1\nminquant = 99\nmaxquant = -4\n", 2, 30, 2, 288, 1, 1, 64, 128, 0},
      {"quant = 31\nheight = 576\n", 30, 0, 0, 288, 1, 1, 64, 128, 0},
      {"height = 240\n", 4, 0, 0, 288, 1, 1, 64, 128, 0},  // PAL corrects 240 to 288
      {"fdiv = 3\ndtime = 12\ndval = 17\ndrep = 200\n", 4, 0, 0, 288, 3, 5, 8, 200, 0},
      {"dtime = 1\n", 4, 0, 0, 288, 1, 1, 64, 128, 0},
      {"dtime = 4\n", 4, 0, 0, 288, 1, 2, 64, 128, 0},
      {"dtime = 9\n", 4, 0, 0, 288, 1, 3, 64, 128, 0},
      // Values that would break the loop or the protocol are refused.
      {"fdiv = -2\ndtime = -5\ndrep = 300\nbitrate = -1\n", 4, 0, 0, 288, 1, 1, 64, 128, 0},
      {"drep = 0x180\n", 4, 0, 0, 288, 1, 1, 64, 128, 0},
      // Wrong types read as 0: quoted numbers, words.
      {"quant = 'abc'\nfdiv = 'x'\nbitrate = '384000'\n", 2, 0, 0, 288, 1, 1, 64, 128, 0},
      {"bitrate = 384000\n", 4, 0, 0, 288, 1, 1, 64, 128, 384000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    Settings s = read(cams({0}, c.keys));
    const VideoSettings& v = s.video[0];
    EXPECT_EQ(v.quant, c.quant);
    EXPECT_EQ(v.minquant, c.minquant);
    EXPECT_EQ(v.maxquant, c.maxquant);
    EXPECT_EQ(v.height, c.height);
    EXPECT_EQ(v.fdiv, c.fdiv);
    EXPECT_EQ(v.holdoff, c.holdoff);
    EXPECT_EQ(v.threshold, c.threshold);
    EXPECT_EQ(v.drep, c.drep);
    EXPECT_EQ(v.bitrate, c.bitrate);
  }
}

TEST(CamtapSettings, NtscHeightAndStandard) {
  Settings s = read("[camtap]\nntsc = 1\n" + cams({0, 1}, "height = 480\n"));
  EXPECT_TRUE(s.ntsc);
  EXPECT_EQ(s.video[0].height, 240);
  EXPECT_EQ(settings_base_rate(s), 30);
  EXPECT_EQ(settings_decoder_standard(s), 10);
  Settings p = read("[camtap]\nntsc = 0\n" + cams({0}, "height = 288\n"));
  EXPECT_EQ(settings_decoder_standard(p), 4);
}

TEST(CamtapSettings, DifferingCameraLeftOff) {
  Settings s = read(
      "[stream_0]\nON = 1\nwidth = 704\n[stream_1]\nON = 1\nwidth = 352\n"
      "[stream_2]\nON = 0\n[stream_3]\nON = 1\n");
  EXPECT_EQ(s.active_count, 2);
  EXPECT_EQ(s.camera_mask, 0x9u);
  EXPECT_FALSE(s.video[1].on);
  EXPECT_EQ(s.active[0], 0);
  EXPECT_EQ(s.active[1], 3);
}

TEST(CamtapSettings, CodecAndTexts) {
  Settings s = read(
      "[camtap]\nnosig = 'Lost %d'\nsig = 'Back %d'\n"
      "[stream_0]\nON = 1\ncodec = mjpeg\nmessage = 'M %d here'\n"
      "[stream_1]\nON = 1\ncodec = mjpeg2\n");
  EXPECT_TRUE(s.video[0].mjpeg);
  EXPECT_FALSE(s.video[1].mjpeg);
  EXPECT_STREQ(s.video[0].message, "M %d here");
  EXPECT_STREQ(s.nosig, "Lost %d");
  EXPECT_STREQ(s.sig, "Back %d");
}

TEST(CamtapSettings, AudioStreams) {
  Settings s = read(cams({0}) +
                    "[stream_16]\nON = 1\nrate = 11025\nfilt = 3\ndval = 20\nstereo = 1\n"
                    "[stream_17]\nON = 1\nrate = 44100\n");
  EXPECT_EQ(s.audio[0].divisor, 2);
  EXPECT_TRUE(s.audio[0].stereo);
  EXPECT_EQ(s.audio[0].filt, 3);
  EXPECT_EQ(s.audio[0].threshold, 10);
  EXPECT_STREQ(s.audio[0].message, "Sound %d");
  EXPECT_EQ(s.audio[1].divisor, 0);  // above the input rate: inactive
  Settings n = read(cams({0}) + "[stream_16]\nON = 1\nrate = -5\n");
  EXPECT_EQ(n.audio[0].divisor, 0);
}

TEST(CamtapSettings, SlotTable) {
  struct Case {
    std::vector<int> cameras;
    bool ntsc, auto_mode;
    int slots[4];
    int fps[4];
    int result;
  } cases[] = {
      {{1}, false, false, {1, 1, 1, 1}, {0, 25, 0, 0}, 0},
      {{0, 2}, false, false, {0, 2, 0, 2}, {12, 0, 12, 0}, 0},
      {{0, 1, 3}, false, false, {0, 1, 0, 3}, {12, 6, 0, 6}, 0},
      {{0, 1, 2, 3}, false, false, {0, 1, 2, 3}, {6, 6, 6, 6}, 0},
      {{0, 1, 2, 3}, true, false, {0, 1, 2, 3}, {7, 7, 7, 7}, 0},
      {{0, 1}, true, false, {0, 1, 0, 1}, {15, 15, 0, 0}, 0},
      {{0, 1}, false, true, {0, 1, -1, -1}, {25, 6, 0, 0}, 0},
      {{0, 1}, true, true, {0, 1, -1, -1}, {25, 6, 0, 0}, 0},
      {{0, 1, 2}, false, true, {-1, -1, -1, -1}, {0, 0, 0, 0}, -1},
  };
  for (const Case& c : cases) {
    Settings s;
    settings_defaults(&s);
    s.ntsc = c.ntsc;
    s.auto_mode = c.auto_mode;
    for (int cam : c.cameras) s.active[s.active_count++] = cam;
    int slots[4];
    int fps[4];
    ASSERT_EQ(plan_slots(s, slots, fps), c.result);
    if (c.result != 0) continue;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(slots[i], c.slots[i]) << "slot " << i;
      EXPECT_EQ(fps[i], c.fps[i]) << "camera " << i;
    }
  }
}

TEST(CamtapSettings, FrameRateDividedByFdiv) {
  Settings s;
  settings_defaults(&s);
  s.active[s.active_count++] = 0;
  s.video[0].fdiv = 3;
  int slots[4];
  int fps[4];
  ASSERT_EQ(plan_slots(s, slots, fps), 0);
  EXPECT_EQ(fps[0], 8);
}

TEST(CamtapSettings, MotionMask) {
  uint8_t mask[kMaskEntries];
  // All watched: 396 cells cover the 792 entries (bits 396..399 are beyond).
  EXPECT_EQ(build_mask(std::string(100, '0').c_str(), mask), 396);
  for (int i = 0; i < kMaskEntries; ++i) ASSERT_EQ(mask[i], 1);
  // Empty text: every entry watched, no active cell.
  EXPECT_EQ(build_mask("", mask), 0);
  for (int i = 0; i < kMaskEntries; ++i) ASSERT_EQ(mask[i], 1);
  // 0x01: bit 0 ignores entries 0 and 1; bits 1..7 watch 2..15.
  EXPECT_EQ(build_mask("01", mask), 7);
  EXPECT_EQ(mask[0], 0);
  EXPECT_EQ(mask[1], 0);
  EXPECT_EQ(mask[2], 1);
  // 0x80 in the second pair: bit 15 ignores entries 30, 31.
  EXPECT_EQ(build_mask("0080", mask), 15);
  EXPECT_EQ(mask[30], 0);
  EXPECT_EQ(mask[31], 0);
  EXPECT_EQ(mask[29], 1);
  // Not hex: counts as 0 (all eight bits watched); a lone last digit covers nothing.
  EXPECT_EQ(build_mask("zz0", mask), 8);
  // Overlong: only 50 pairs count, and the last byte only up to entry 791.
  std::string all_ignored(400, 'F');
  EXPECT_EQ(build_mask(all_ignored.c_str(), mask), 0);
  for (int i = 0; i < kMaskEntries; ++i) ASSERT_EQ(mask[i], 0);
  std::string half = std::string(50, 'F') + std::string(200, '0');
  EXPECT_EQ(build_mask(half.c_str(), mask), 396 - 200);
}

TEST(CamtapSettings, MaskTextFromConfigCutAt256) {
  std::string long_mask(600, 'F');
  Settings s = read(cams({0}, "motion_mask = '" + long_mask + "'\n"));
  EXPECT_EQ(std::strlen(s.video[0].motion_mask), 256u);
}

TEST(CamtapSettings, ActivityLevel) {
  EXPECT_EQ(activity_level(0, 396), 0);
  EXPECT_EQ(activity_level(792, 396), 63);
  EXPECT_EQ(activity_level(320, 396), 25);
  EXPECT_EQ(activity_level(5000, 396), 63);
  EXPECT_EQ(activity_level(100, 0), 0);
  EXPECT_EQ(activity_level(10, 1), 63);
}

TEST(CamtapSettings, EventText) {
  char out[kEventTextSize];
  event_text("Motion %d", 7, out);
  EXPECT_STREQ(out, "Motion 7");
  event_text("%d first, %d second %s", 12, out);
  EXPECT_STREQ(out, "12 first, %d second %s");
  event_text("no number", 3, out);
  EXPECT_STREQ(out, "no number");
  std::string longer(70, 'x');
  event_text(("%d" + longer).c_str(), 123456, out);
  EXPECT_EQ(std::strlen(out), 64u);
  EXPECT_EQ(std::string(out, 6), "123456");
}

}  // namespace
}  // namespace camtap
