#include "lib/devices/capture_sim.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lib/devices/capture_device.h"
#include "lib/devices/zarn3.h"

namespace dv {
namespace {

constexpr int64_t kSec = 1000000000;
// A time where a slot cycle starts (the period number is a multiple of 4 for
// both standards).
constexpr int64_t kT0 = int64_t{1700000000} * kSec;
constexpr size_t kPal = 704 * 288 * 3 / 2;

// The virtual clock: sleeping jumps to the wake-up time at once.
struct VClock {
  int64_t t = kT0;
  int sleeps = 0;
  bool interrupt_next = false;
  std::function<void()> on_sleep;  // runs after every completed sleep
  CapSimClock clock{now, sleep, this};

  static int64_t now(void* c) { return static_cast<VClock*>(c)->t; }
  static int sleep(void* c, int64_t until) {
    VClock* v = static_cast<VClock*>(c);
    if (v->interrupt_next) {
      v->interrupt_next = false;
      errno = EINTR;
      return -1;
    }
    ++v->sleeps;
    if (until > v->t) v->t = until;
    if (v->on_sleep) v->on_sleep();
    return 0;
  }
};

class CapSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "capsimXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/tvp5150";
  }
  void TearDown() override {
    for (CaptureSim* s : open_) capsim_close(s);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  // Writes the settings file as a new inode (what a careful test does).
  void settings(const std::string& text) { write_file(path_, text); }
  void write_file(const std::string& p, const std::string& text) {
    std::string tmp = p + ".new";
    FILE* f = std::fopen(tmp.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    ASSERT_EQ(std::rename(tmp.c_str(), p.c_str()), 0);
  }

  CaptureSim* open(VClock* clock) {
    CaptureSim* s = capsim_open(path_, &clock->clock);
    EXPECT_NE(s, nullptr) << std::strerror(errno);
    if (s) open_.push_back(s);
    return s;
  }
  void close(CaptureSim* s) {
    capsim_close(s);
    std::erase(open_, s);
  }

  static int req(CaptureSim* s, unsigned long r, uint32_t v = 0) { return capsim_request(s, r, v); }
  static int req_ptr(CaptureSim* s, unsigned long r, int* p) {
    return capsim_request(s, r, reinterpret_cast<uintptr_t>(p));
  }
  static std::vector<uint8_t> picture(CaptureSim* s, int camera, int64_t n, bool* signal) {
    int w, h;
    capsim_picture_size(s, &w, &h);
    std::vector<uint8_t> out(yuv420_size(w, h));
    EXPECT_EQ(capsim_picture(s, camera, n, out.data(), signal), 0);
    return out;
  }
  // Bytes that differ by more than the noise can explain.
  static int moved(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    int n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += std::abs(a[i] - b[i]) > 4;
    return n;
  }

  std::string dir_, path_;
  std::vector<CaptureSim*> open_;
};

// Programs the driver the way the capture daemon does for a camera list.
void program(CaptureSim* s, std::vector<int> cams, bool ntsc, bool auto_mode = false) {
  ASSERT_EQ(capsim_request(s, ntsc ? CAP_SET_NTSC : CAP_SET_PAL, 0), 0);
  ASSERT_EQ(capsim_request(s, CAP_SET_MAIN, CAP_NONE), 0);
  for (int slot = 0; slot < 4; ++slot) {
    ASSERT_EQ(capsim_request(s, CAP_SET_SLOT, cap_slot_off_arg(slot)), 0);
  }
  if (auto_mode) {
    ASSERT_EQ(capsim_request(s, CAP_SET_MAIN, static_cast<uint32_t>(cams[0])), 0);
    ASSERT_EQ(capsim_request(s, CAP_SET_SLOT, cap_slot_arg(cams[1], 1)), 0);
  } else if (cams.size() == 1) {
    ASSERT_EQ(capsim_request(s, CAP_SET_MAIN, static_cast<uint32_t>(cams[0])), 0);
  } else {
    std::vector<int> slots;
    if (cams.size() == 2) slots = {cams[0], cams[1], cams[0], cams[1]};
    if (cams.size() == 3) slots = {cams[0], cams[1], cams[0], cams[2]};
    if (cams.size() == 4) slots = cams;
    for (int slot = 0; slot < 4; ++slot) {
      ASSERT_EQ(capsim_request(s, CAP_SET_SLOT, cap_slot_arg(slots[slot], slot)), 0);
    }
  }
  ASSERT_EQ(capsim_request(s, CAP_START, 0), 0);
}

TEST(CapSimSettings, ParsesEveryKeyAndRefusesBadLines) {
  CapSimSettings s;
  std::vector<std::string> errors;
  int refused = capsim_parse_settings(
      "# comment\n"
      "\n"
      "  fast = 1 \r\n"
      "standard=ntsc\n"
      "free_run=1, 3\n"
      "origin=1700000000.25\n"
      "cam2.signal=0\n"
      "cam3.file=clips/a.y4m\n"
      "cam3.size=352x288\n"
      "cam1.motion=2-4.5,50-60f, 7\n"
      "cam0.motion=off\n"
      "garbage line\n"       // 12
      "cam4.signal=0\n"      // 13: no camera 4
      "colour=red\n"         // 14
      "fast=maybe\n"         // 15
      "cam0.size=351x288\n"  // 16: odd
      "cam0.motion=5-2\n"    // 17: backwards
      "cam0.motion=1s-2f\n"  // 18: mixed units
      "free_run=0,4\n"       // 19
      "origin=-5\n"          // 20
      "\x01\x02\xff=\x7f\n"  // 21
      "cam1.deliver=0\n"
      "cam2.deliver=maybe\n",  // 23
      &s, &errors);
  EXPECT_EQ(refused, 11);
  ASSERT_EQ(errors.size(), 11u);
  EXPECT_EQ(errors[0], "line 12: expected key=value, got 'garbage line'");
  EXPECT_EQ(errors[1], "line 13: unknown key 'cam4.signal'");
  EXPECT_EQ(errors[3], "line 15: bad value 'maybe' for fast");
  EXPECT_EQ(errors[9], std::string("line 21: unknown key '") + std::string(3, '?') + "'");
  EXPECT_EQ(errors[10], "line 23: bad value 'maybe' for cam2.deliver");
  EXPECT_TRUE(s.fast);
  EXPECT_TRUE(s.ntsc);
  EXPECT_EQ(s.free_run, 0xAu);
  EXPECT_TRUE(s.has_origin);
  EXPECT_EQ(s.origin_ns, int64_t{1700000000} * kSec + kSec / 4);
  EXPECT_FALSE(s.cam[2].signal);
  EXPECT_TRUE(s.cam[0].signal);
  EXPECT_FALSE(s.cam[1].deliver);
  EXPECT_TRUE(s.cam[2].deliver);  // the bad value left the default
  EXPECT_EQ(s.cam[3].file, "clips/a.y4m");
  EXPECT_EQ(s.cam[3].file_w, 352);
  EXPECT_EQ(s.cam[3].file_h, 288);
  EXPECT_EQ(s.cam[0].motion, CAPSIM_MOTION_OFF);  // the bad lines left it alone
  ASSERT_EQ(s.cam[1].motion, CAPSIM_MOTION_RANGES);
  ASSERT_EQ(s.cam[1].ranges.size(), 3u);
  EXPECT_EQ(s.cam[1].ranges[0].start, 2000);
  EXPECT_EQ(s.cam[1].ranges[0].end, 4500);
  EXPECT_FALSE(s.cam[1].ranges[0].frames);
  EXPECT_EQ(s.cam[1].ranges[1].start, 50);
  EXPECT_EQ(s.cam[1].ranges[1].end, 60);
  EXPECT_TRUE(s.cam[1].ranges[1].frames);
  EXPECT_EQ(s.cam[1].ranges[2].start, 7000);
  EXPECT_EQ(s.cam[1].ranges[2].end, 8000);
}

TEST_F(CapSimTest, RequestHandling) {
  VClock clock;
  CaptureSim* s = open(&clock);
  ASSERT_NE(s, nullptr);
  struct Case {
    const char* what;
    unsigned long request;
    uint32_t arg;
    int result;
    int err;
  };
  const Case cases[] = {
      {"frame before start", CAP_GET_FRAME, 0, -1, EAGAIN},
      {"width", CAP_GET_WIDTH, 0, 704, 0},
      {"height pal", CAP_GET_HEIGHT, 0, 288, 0},
      {"main camera", CAP_SET_MAIN, 3, 0, 0},
      {"main none", CAP_SET_MAIN, CAP_NONE, 0, 0},
      {"main camera 4", CAP_SET_MAIN, 4, -1, EINVAL},
      {"main negative", CAP_SET_MAIN, 0xFFFFFFFFu, -1, EINVAL},
      {"slot", CAP_SET_SLOT, cap_slot_arg(2, 3), 0, 0},
      {"slot off", CAP_SET_SLOT, cap_slot_off_arg(3), 0, 0},
      {"slot 4", CAP_SET_SLOT, cap_slot_arg(1, 4), -1, EINVAL},
      {"slot camera 4", CAP_SET_SLOT, cap_slot_arg(4, 1), -1, EINVAL},
      {"slot off mismatch", CAP_SET_SLOT, CAP_NONE | (1u << 8) | 2u, -1, EINVAL},
      {"slot high bits", CAP_SET_SLOT, 0x00010001u, -1, EINVAL},
      {"started without cameras", CAP_START, 0, 0, 0},
      {"frame without cameras", CAP_GET_FRAME, 0, -1, EAGAIN},
      {"latest camera 4", CAP_GET_LATEST, 4, -1, EINVAL},
      {"latest camera -1", CAP_GET_LATEST, 0xFFFFFFFFu, -1, EINVAL},
      {"latest, not captured", CAP_GET_LATEST, 1, CAP_LATEST_NOT_CAPTURED, EPERM},
      {"ntsc", CAP_SET_NTSC, 0, 0, 0},
      {"height ntsc", CAP_GET_HEIGHT, 0, 240, 0},
      {"unknown request", 0x40044120, 0, -1, ENOTTY},
      {"stats, null pointer", CAP_GET_STATS, 0, -1, EFAULT},
      {"bufsize, null pointer", CAP_GET_BUFSIZE, 0, -1, EFAULT},
      {"stop", CAP_STOP, 0, 0, 0},
  };
  for (const Case& c : cases) {
    errno = 0;
    EXPECT_EQ(req(s, c.request, c.arg), c.result) << c.what;
    if (c.result == -1) {
      EXPECT_EQ(errno, c.err) << c.what;
    }
  }
  int size = 0;
  EXPECT_EQ(req_ptr(s, CAP_GET_BUFSIZE, &size), 0);
  EXPECT_EQ(size, static_cast<int>(kPal) * kCapSimBuffers);
  int stats[CAP_STATS_COUNT] = {9, 9, 9, 9, 9};
  EXPECT_EQ(req_ptr(s, CAP_GET_STATS, stats), 0);
  EXPECT_EQ(stats[CAP_STAT_FRAME_NUMBER], 0);
  EXPECT_EQ(stats[CAP_STAT_FRAME_CURRENT], -1);
  EXPECT_EQ(stats[CAP_STAT_RESET], 1);
}

// Pictures per camera over 4 s of virtual time, for every slot layout the
// capture daemon programs, in both standards.
TEST_F(CapSimTest, PacesOnePicturePerSlotPeriod) {
  struct Case {
    std::vector<int> cams;
    bool auto_mode;
    bool ntsc;
    std::map<int, int> expect;  // pictures per camera in 4 s
  };
  const Case cases[] = {
      {{2}, false, false, {{2, 100}}},
      {{0, 3}, false, false, {{0, 50}, {3, 50}}},
      {{0, 1, 2}, false, false, {{0, 50}, {1, 25}, {2, 25}}},
      {{0, 1, 2, 3}, false, false, {{0, 25}, {1, 25}, {2, 25}, {3, 25}}},
      {{0, 1}, true, false, {{0, 75}, {1, 25}}},
      {{1}, false, true, {{1, 120}}},
      {{0, 1, 2}, false, true, {{0, 60}, {1, 30}, {2, 30}}},
      {{0, 1, 2, 3}, false, true, {{0, 30}, {1, 30}, {2, 30}, {3, 30}}},
  };
  for (const Case& c : cases) {
    VClock clock;
    CaptureSim* s = open(&clock);
    ASSERT_NE(s, nullptr);
    program(s, c.cams, c.ntsc, c.auto_mode);
    std::map<int, int> count;
    int64_t ms = 0;
    int prev_index = -1;
    while (clock.t < kT0 + 4 * kSec) {
      int word = req(s, CAP_GET_FRAME);
      ASSERT_GE(word, 0);
      ++count[cap_frame_camera(word)];
      EXPECT_FALSE(cap_frame_no_signal(word));
      EXPECT_LT(cap_frame_index(word), kCapSimBuffers);
      EXPECT_NE(cap_frame_index(word), prev_index);
      prev_index = cap_frame_index(word);
      ms += cap_frame_delta(word);
    }
    EXPECT_EQ(count, c.expect) << "cameras " << c.cams.size() << " ntsc " << c.ntsc;
    // The deltas add up to the time covered (the first one is one period).
    int period_ms = c.ntsc ? 33 : 40;
    EXPECT_NEAR(ms, 4000, period_ms) << c.cams.size();
    EXPECT_EQ(clock.t, kT0 + 4 * kSec);
    int stats[CAP_STATS_COUNT];
    ASSERT_EQ(req_ptr(s, CAP_GET_STATS, stats), 0);
    EXPECT_EQ(stats[CAP_STAT_FRAME_NUMBER], c.ntsc ? 120 : 100);
    EXPECT_EQ(stats[CAP_STAT_FRAMES_LOST], 0);
    EXPECT_EQ(stats[CAP_STAT_FRAMES_IN_BUFF], 0);
    close(s);
  }
}

TEST_F(CapSimTest, SlowCallerLosesTheOldestPictures) {
  VClock clock;
  CaptureSim* s = open(&clock);
  program(s, {0, 1}, false);
  int first = req(s, CAP_GET_FRAME);
  ASSERT_GE(first, 0);
  EXPECT_EQ(cap_frame_delta(first), 40);
  // 1 s (25 periods) later: the ring holds the newest 7, 18 are lost.
  clock.t += kSec;
  int stats[CAP_STATS_COUNT];
  ASSERT_EQ(req_ptr(s, CAP_GET_STATS, stats), 0);
  EXPECT_EQ(stats[CAP_STAT_FRAMES_IN_BUFF], kCapSimBuffers);
  int sleeps = clock.sleeps;
  int word = req(s, CAP_GET_FRAME);
  ASSERT_GE(word, 0);
  EXPECT_EQ(clock.sleeps, sleeps);  // due already: no waiting
  EXPECT_EQ(cap_frame_delta(word), 19 * 40);
  for (int i = 1; i < kCapSimBuffers; ++i) {
    word = req(s, CAP_GET_FRAME);
    EXPECT_EQ(cap_frame_delta(word), 40);
  }
  EXPECT_EQ(clock.sleeps, sleeps);
  ASSERT_EQ(req_ptr(s, CAP_GET_STATS, stats), 0);
  EXPECT_EQ(stats[CAP_STAT_FRAMES_LOST], 18);
  EXPECT_EQ(stats[CAP_STAT_FRAMES_IN_BUFF], 0);
  EXPECT_EQ(stats[CAP_STAT_FRAME_NUMBER], 1 + kCapSimBuffers);
  EXPECT_EQ(stats[CAP_STAT_FRAME_CURRENT], cap_frame_index(word));
}

TEST_F(CapSimTest, InterruptedWaitFailsWithEintrAndLosesNothing) {
  VClock clock;
  CaptureSim* s = open(&clock);
  program(s, {1}, false);
  clock.interrupt_next = true;
  errno = 0;
  EXPECT_EQ(req(s, CAP_GET_FRAME), -1);
  EXPECT_EQ(errno, EINTR);
  int word = req(s, CAP_GET_FRAME);
  ASSERT_GE(word, 0);
  EXPECT_EQ(clock.t, kT0 + kSec / 25);  // still the first period after start
  EXPECT_EQ(cap_frame_camera(word), 1);
}

TEST_F(CapSimTest, FastModeNeverWaits) {
  settings("fast=1\n");
  VClock clock;
  CaptureSim* s = open(&clock);
  program(s, {0, 1, 2, 3}, false);
  std::map<int, int> count;
  for (int i = 0; i < 400; ++i) {
    int word = req(s, CAP_GET_FRAME);
    ASSERT_GE(word, 0);
    ++count[cap_frame_camera(word)];
    EXPECT_EQ(cap_frame_delta(word), 40);
  }
  EXPECT_EQ(clock.sleeps, 0);
  EXPECT_EQ(clock.t, kT0);
  EXPECT_EQ(count, (std::map<int, int>{{0, 100}, {1, 100}, {2, 100}, {3, 100}}));
}

TEST_F(CapSimTest, PicturesAreAFunctionOfCameraAndFrame) {
  VClock c1, c2;
  CaptureSim* a = open(&c1);
  CaptureSim* b = open(&c2);
  bool sig;
  const int64_t n = kT0 / (kSec / 25) + 17;
  auto pa = picture(a, 1, n, &sig);
  EXPECT_TRUE(sig);
  auto pb = picture(b, 1, n, &sig);
  EXPECT_EQ(pa, pb);
  picture(b, 2, n, &sig);  // other work in between changes nothing
  EXPECT_EQ(picture(b, 1, n, &sig), pa);
  // Cameras differ from each other; the next period differs a little (noise)
  // and a lot where the ball moved.
  for (int cam = 0; cam < 4; ++cam) {
    for (int other = cam + 1; other < 4; ++other) {
      EXPECT_GT(moved(picture(a, cam, n, &sig), picture(a, other, n, &sig)), 50000)
          << cam << " " << other;
    }
    auto now = picture(a, cam, n, &sig), next = picture(a, cam, n + 1, &sig);
    EXPECT_NE(now, next);
    EXPECT_GT(moved(now, next), 100) << cam;
    EXPECT_LT(moved(now, next), 4000) << cam;
  }
  // The picture in the area after CAP_GET_FRAME is that same picture.
  program(a, {1}, false);
  int word = req(a, CAP_GET_FRAME);
  ASSERT_GE(word, 0);
  size_t len;
  uint8_t* area = capsim_area(a, &len);
  const int64_t delivered = c1.t / (kSec / 25);
  std::vector<uint8_t> got(area + cap_frame_index(word) * kPal,
                           area + (cap_frame_index(word) + 1) * kPal);
  EXPECT_EQ(got, picture(b, 1, delivered, &sig));
}

TEST_F(CapSimTest, NoSignalFollowsTheSettingsFileWhileRunning) {
  VClock clock;
  CaptureSim* s = open(&clock);
  program(s, {0, 1}, false);
  auto signal_of = [&](int camera) {
    for (int i = 0; i < 4; ++i) {
      int word = req(s, CAP_GET_FRAME);
      EXPECT_GE(word, 0);
      if (cap_frame_camera(word) == camera) return !cap_frame_no_signal(word);
    }
    ADD_FAILURE() << "camera " << camera << " never came";
    return false;
  };
  EXPECT_TRUE(signal_of(1));
  EXPECT_NE(req(s, CAP_GET_LATEST, 1), CAP_LATEST_NO_SIGNAL);
  settings("cam1.signal=0\n");
  EXPECT_FALSE(signal_of(1));
  EXPECT_TRUE(signal_of(0));
  EXPECT_EQ(req(s, CAP_GET_LATEST, 1), CAP_LATEST_NO_SIGNAL);
  // The no-signal picture is black.
  size_t len;
  uint8_t* area = capsim_area(s, &len);
  int word;
  do {
    word = req(s, CAP_GET_FRAME);
  } while (cap_frame_camera(word) != 1);
  EXPECT_EQ(area[cap_frame_index(word) * kPal], 16);
  // Rewritten in place (same inode) counts too.
  FILE* f = std::fopen(path_.c_str(), "w");
  std::fputs("cam1.signal=1\n# back\n", f);
  std::fclose(f);
  EXPECT_TRUE(signal_of(1));
  // Removing the file brings back the defaults.
  settings("cam1.signal=0\n");
  EXPECT_FALSE(signal_of(1));
  ASSERT_EQ(unlink(path_.c_str()), 0);
  EXPECT_TRUE(signal_of(1));
}

// deliver=0 is a dead decoder: the periods of its slots pass without a
// picture, the other cameras keep their own periods, the time delta spans
// the empty periods, and nothing counts as lost.
TEST_F(CapSimTest, SilentCameraLeavesItsPeriodsEmpty) {
  struct Case {
    std::vector<int> cams;
    bool auto_mode;
    const char* settings;
    std::map<int, int> expect;  // pictures per camera in periods 1..100 after start
  };
  const Case cases[] = {
      {{0, 1}, false, "cam1.deliver=0\n", {{0, 50}}},
      {{0, 1, 2}, false, "cam0.deliver=0\n", {{1, 25}, {2, 25}}},  // the camera of two slots
      {{0, 1, 2, 3}, false, "cam2.deliver=0\n", {{0, 25}, {1, 25}, {3, 25}}},
      {{0, 1, 2, 3}, false, "cam1.deliver=0\ncam3.deliver=off\n", {{0, 25}, {2, 25}}},
      {{0, 1}, true, "cam1.deliver=0\n", {{0, 75}}},
      {{0, 1}, true, "cam0.deliver=0\n", {{1, 25}}},
      {{0, 1}, false, "cam3.deliver=0\n", {{0, 50}, {1, 50}}},  // not programmed: no change
  };
  for (const Case& c : cases) {
    settings(c.settings);
    VClock clock;
    CaptureSim* s = open(&clock);
    ASSERT_NE(s, nullptr);
    program(s, c.cams, false, c.auto_mode);
    std::map<int, int> count;
    int total = 0;
    int64_t prev_t = kT0;
    for (;;) {
      int word = req(s, CAP_GET_FRAME);
      ASSERT_GE(word, 0);
      if (clock.t > kT0 + 4 * kSec) break;
      ++count[cap_frame_camera(word)];
      // The virtual clock stands at the picture's period: the delta is the
      // time since the previous picture (the first one: one period).
      if (total++ > 0) {
        EXPECT_EQ(cap_frame_delta(word), (clock.t - prev_t) / 1000000) << c.settings;
      } else {
        EXPECT_EQ(cap_frame_delta(word), 40) << c.settings;
      }
      prev_t = clock.t;
    }
    EXPECT_EQ(count, c.expect) << c.settings;
    int stats[CAP_STATS_COUNT];
    ASSERT_EQ(req_ptr(s, CAP_GET_STATS, stats), 0);
    EXPECT_EQ(stats[CAP_STAT_FRAME_NUMBER], total + 1) << c.settings;
    EXPECT_EQ(stats[CAP_STAT_FRAMES_LOST], 0) << c.settings;
    for (int cam : c.cams) {
      errno = 0;
      int latest = req(s, CAP_GET_LATEST, static_cast<uint32_t>(cam));
      if (count.count(cam)) {
        EXPECT_GE(latest, 0) << cam;
      } else {
        EXPECT_EQ(latest, CAP_LATEST_NOT_CAPTURED) << cam;
        EXPECT_EQ(errno, EPERM) << cam;
      }
    }
    close(s);
  }
}

TEST_F(CapSimTest, FastModeSkipsTheSilentCamera) {
  settings("fast=1\ncam1.deliver=0\n");
  VClock clock;
  CaptureSim* s = open(&clock);
  program(s, {0, 1, 2, 3}, false);
  std::map<int, int> count;
  for (int i = 0; i < 300; ++i) {
    int word = req(s, CAP_GET_FRAME);
    ASSERT_GE(word, 0);
    ++count[cap_frame_camera(word)];
  }
  EXPECT_EQ(clock.sleeps, 0);
  EXPECT_EQ(count, (std::map<int, int>{{0, 100}, {2, 100}, {3, 100}}));
}

TEST_F(CapSimTest, DeliveryFollowsTheSettingsFileWhileRunning) {
  VClock clock;
  CaptureSim* s = open(&clock);
  program(s, {0, 1}, false);
  auto cameras = [&](int pictures) {
    std::map<int, int> count;
    for (int i = 0; i < pictures; ++i) {
      int word = req(s, CAP_GET_FRAME);
      EXPECT_GE(word, 0);
      ++count[cap_frame_camera(word)];
    }
    return count;
  };
  EXPECT_EQ(cameras(4), (std::map<int, int>{{0, 2}, {1, 2}}));
  settings("cam1.deliver=0\n");
  EXPECT_EQ(cameras(10), (std::map<int, int>{{0, 10}}));
  EXPECT_EQ(req(s, CAP_GET_LATEST, 1), CAP_LATEST_NOT_CAPTURED);
  EXPECT_GE(req(s, CAP_GET_LATEST, 0), 0);
  // A caller one second behind loses only pictures that were there: camera
  // 0's 9 of the 18 periods that dropped out of the ring.
  clock.t += kSec;
  EXPECT_EQ(cameras(1), (std::map<int, int>{{0, 1}}));
  int stats[CAP_STATS_COUNT];
  ASSERT_EQ(req_ptr(s, CAP_GET_STATS, stats), 0);
  EXPECT_EQ(stats[CAP_STAT_FRAMES_LOST], 9);
  // Back: the camera's next period brings its picture again, with a signal.
  settings("cam1.deliver=1\n");
  int word;
  do {
    word = req(s, CAP_GET_FRAME);
    ASSERT_GE(word, 0);
  } while (cap_frame_camera(word) == 0 && clock.t < kT0 + 10 * kSec);
  EXPECT_EQ(cap_frame_camera(word), 1);
  EXPECT_FALSE(cap_frame_no_signal(word));
  EXPECT_GE(req(s, CAP_GET_LATEST, 1), 0);
}

// With every programmed camera silent the request waits period by period
// (fast mode too), picks up a settings change, gives up after a second of
// nothing and can be interrupted.
TEST_F(CapSimTest, WaitsWhileNoProgrammedCameraDelivers) {
  for (bool fast : {false, true}) {
    const std::string mode = fast ? "fast=1\n" : "";
    settings(mode + "cam2.deliver=0\n");
    VClock clock;
    clock.on_sleep = [&] {
      if (clock.sleeps == 10) settings(mode);
    };
    CaptureSim* s = open(&clock);
    program(s, {2}, false);
    int word = req(s, CAP_GET_FRAME);
    ASSERT_GE(word, 0) << fast;
    EXPECT_EQ(cap_frame_camera(word), 2);
    EXPECT_EQ(clock.sleeps, 10) << fast;
    EXPECT_EQ(clock.t, kT0 + 10 * kSec / 25) << fast;
    clock.on_sleep = nullptr;
    settings(mode + "cam2.deliver=0\n");
    const int64_t t = clock.t;
    const int sleeps = clock.sleeps;
    errno = 0;
    EXPECT_EQ(req(s, CAP_GET_FRAME), -1) << fast;
    EXPECT_EQ(errno, ETIMEDOUT) << fast;
    EXPECT_EQ(clock.sleeps - sleeps, 25) << fast;
    EXPECT_EQ(clock.t - t, kSec) << fast;
    clock.interrupt_next = true;
    errno = 0;
    EXPECT_EQ(req(s, CAP_GET_FRAME), -1) << fast;
    EXPECT_EQ(errno, EINTR) << fast;
    close(s);
  }
}

TEST_F(CapSimTest, MotionScheduleMovesTheBallOnlyInItsRanges) {
  // Origin at kT0: period p of the schedule is frame p after kT0.
  settings(
      "origin=1700000000\n"
      "cam0.motion=off\n"
      "cam1.motion=1-2\n"
      "cam2.motion=10f-20f, 40f\n");
  VClock clock;
  CaptureSim* s = open(&clock);
  const int64_t n0 = kT0 / (kSec / 25);
  bool sig;
  auto moves = [&](int cam, int64_t k) {
    return moved(picture(s, cam, n0 + k - 1, &sig), picture(s, cam, n0 + k, &sig)) > 0;
  };
  struct Case {
    int cam;
    int64_t frame;
    bool moving;
  };
  const Case cases[] = {
      {0, 5, false},  {0, 30, false}, {3, 5, true},  // default: always moving
      {1, 20, false}, {1, 26, true},  {1, 49, true},  {1, 51, false},
      {2, 9, false},  {2, 12, true},  {2, 20, true},  // 20: back to rest is a move
      {2, 21, false}, {2, 40, true},  {2, 42, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(moves(c.cam, c.frame), c.moving) << "camera " << c.cam << " frame " << c.frame;
  }
  // Switching motion on through the file works while running.
  EXPECT_FALSE(moves(0, 100));
  settings("cam0.motion=on\n");
  EXPECT_TRUE(moves(0, 100));
}

// Writes a YUV4MPEG2 file whose frame k is flat: Y 50+40k, U 100+k, V 150-k.
std::string y4m(int w, int h, int frames, const char* colour = " C420jpeg", size_t cut_last = 0) {
  std::string s = "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) + " F25:1 Ip A1:1" +
                  colour + "\n";
  for (int k = 0; k < frames; ++k) {
    s += k == 1 ? "FRAME Ixyz\n" : "FRAME\n";
    s.append(static_cast<size_t>(w) * h, static_cast<char>(50 + 40 * k));
    s.append(static_cast<size_t>(w / 2) * (h / 2), static_cast<char>(100 + k));
    s.append(static_cast<size_t>(w / 2) * (h / 2), static_cast<char>(150 - k));
  }
  s.resize(s.size() - cut_last);
  return s;
}

std::string raw(int w, int h, int frames, size_t extra) {
  std::string s;
  for (int k = 0; k < frames; ++k) {
    s.append(static_cast<size_t>(w) * h, static_cast<char>(50 + 40 * k));
    s.append(static_cast<size_t>(w / 2) * (h / 2), static_cast<char>(100 + k));
    s.append(static_cast<size_t>(w / 2) * (h / 2), static_cast<char>(150 - k));
  }
  s.append(extra, 'x');
  return s;
}

TEST_F(CapSimTest, FileSourcesLoopTheirWholeFrames) {
  write_file(dir_ + "/clip.y4m", y4m(64, 48, 3));
  write_file(dir_ + "/cut.y4m", y4m(64, 48, 3, " C420", 100));
  write_file(dir_ + "/full.yuv", raw(704, 288, 2, 0));
  write_file(dir_ + "/cut.yuv", raw(32, 16, 2, 700));
  settings(
      "origin=1700000000\n"
      "cam0.file=clip.y4m\n"
      "cam1.file=" +
      dir_ +
      "/cut.y4m\n"
      "cam2.file=full.yuv\n"
      "cam3.file=cut.yuv\n"
      "cam3.size=32x16\n");
  VClock clock;
  CaptureSim* s = open(&clock);
  const int64_t n0 = kT0 / (kSec / 25);
  struct Case {
    int cam;
    int64_t k;
    int frame;  // of the file
  };
  const Case cases[] = {
      {0, 0, 0}, {0, 1, 1}, {0, 2, 2}, {0, 4, 1}, {0, -1, 2},
      {1, 0, 0}, {1, 1, 1}, {1, 2, 0},                        // the cut third frame is skipped
      {2, 0, 0}, {2, 3, 1}, {3, 0, 0}, {3, 1, 1}, {3, 2, 0},  // trailing bytes ignored
  };
  for (const Case& c : cases) {
    bool sig = false;
    auto p = picture(s, c.cam, n0 + c.k, &sig);
    EXPECT_TRUE(sig);
    const size_t w = 704;
    // First luma, a lower-line luma, a Cb and a Cr sample of a late record.
    const size_t rec = 100 * 3 * w;
    EXPECT_EQ(p[0], 50 + 40 * c.frame) << c.cam << " " << c.k;
    EXPECT_EQ(p[rec + 2 * w + 333], 50 + 40 * c.frame) << c.cam << " " << c.k;
    EXPECT_EQ(p[rec + 16 * 7 + 9], 100 + c.frame) << c.cam << " " << c.k;
    EXPECT_EQ(p[rec + 16 * 7 + 13], 150 - c.frame) << c.cam << " " << c.k;
  }
}

// The capture daemon switches to NTSC after opening the driver: a raw file
// without a size then has 704x240 frames.
TEST_F(CapSimTest, RawFileFramesFollowTheStandard) {
  write_file(dir_ + "/ntsc.yuv", raw(704, 240, 3, 0));
  settings("origin=1700000000\ncam0.file=ntsc.yuv\n");
  VClock clock;
  CaptureSim* s = open(&clock);
  program(s, {0}, true);
  const int64_t n0 = kT0 / (kSec / 30);
  for (int k = 0; k < 4; ++k) {
    bool sig = false;
    auto p = picture(s, 0, n0 + k, &sig);
    ASSERT_EQ(p.size(), 704u * 240 * 3 / 2);
    EXPECT_TRUE(sig);
    EXPECT_EQ(p[p.size() - 1], 50 + 40 * (k % 3)) << k;
    EXPECT_EQ(p[16 * 3 + 8], 100 + k % 3) << k;
  }
}

TEST_F(CapSimTest, BrokenFileSourcesShowNoSignal) {
  write_file(dir_ + "/yuv422.y4m", y4m(64, 48, 2, " C422"));
  write_file(dir_ + "/short.yuv", raw(704, 288, 0, 1000));
  write_file(dir_ + "/nothing.y4m", "YUV4MPEG2 W64 H48\nFRAME\nabc");
  settings(
      "cam0.file=yuv422.y4m\n"
      "cam1.file=short.yuv\n"
      "cam2.file=missing.y4m\n"
      "cam3.file=nothing.y4m\n");
  VClock clock;
  CaptureSim* s = open(&clock);
  program(s, {0, 1, 2, 3}, false);
  for (int i = 0; i < 4; ++i) {
    int word = req(s, CAP_GET_FRAME);
    ASSERT_GE(word, 0);
    EXPECT_TRUE(cap_frame_no_signal(word)) << cap_frame_camera(word);
    EXPECT_EQ(req(s, CAP_GET_LATEST, static_cast<uint32_t>(i)), CAP_LATEST_NO_SIGNAL);
  }
  // A file that shrinks under a running camera: no signal from then on.
  write_file(dir_ + "/clip.yuv", raw(704, 288, 3, 0));
  settings("cam0.file=clip.yuv\norigin=1700000000\n");
  bool sig;
  const int64_t n0 = kT0 / (kSec / 25);
  picture(s, 0, n0, &sig);
  EXPECT_TRUE(sig);
  ASSERT_EQ(truncate((dir_ + "/clip.yuv").c_str(), 1000), 0);
  picture(s, 0, n0 + 1, &sig);
  EXPECT_FALSE(sig);
}

TEST_F(CapSimTest, OpenRefusesWhatCannotBeASettingsFile) {
  VClock clock;
  std::string saved = path_;
  path_ = dir_;  // a folder
  errno = 0;
  EXPECT_EQ(capsim_open(path_, &clock.clock), nullptr);
  EXPECT_EQ(errno, EISDIR);
  path_ = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  errno = 0;
  EXPECT_EQ(capsim_open(path_, &clock.clock), nullptr);
  EXPECT_EQ(errno, ENODEV);
  // Missing or garbage files give a working simulator with the defaults.
  path_ = saved;
  CaptureSim* s = open(&clock);
  ASSERT_NE(s, nullptr);
  close(s);
  const char junk[] =
      "\x7f"
      "ELF\x02\x01\x01\0\0\0 garbage\n=\n==\n";
  settings(std::string(junk, sizeof junk - 1));
  s = open(&clock);
  ASSERT_NE(s, nullptr);
  program(s, {0}, false);
  int word = req(s, CAP_GET_FRAME);
  ASSERT_GE(word, 0);
  EXPECT_FALSE(cap_frame_no_signal(word));
}

// A second process (here a second simulator) sees the programming of the
// first: which cameras are captured, the standard, and the same pictures.
TEST_F(CapSimTest, SecondProcessFollowsThePublishedProgramming) {
  settings("free_run=2\n");
  VClock clock;
  CaptureSim* camtap = open(&clock);
  CaptureSim* snap = open(&clock);
  // Nobody has programmed the driver: only the free-running camera 2.
  EXPECT_EQ(req(snap, CAP_GET_LATEST, 0), CAP_LATEST_NOT_CAPTURED);
  EXPECT_GE(req(snap, CAP_GET_LATEST, 2), 0);
  EXPECT_EQ(req(snap, CAP_GET_HEIGHT), 288);

  program(camtap, {0, 1, 3}, true);
  EXPECT_EQ(req(snap, CAP_GET_HEIGHT), 240);
  EXPECT_EQ(req(snap, CAP_GET_LATEST, 2), CAP_LATEST_NOT_CAPTURED);
  size_t len;
  const uint8_t* camtap_area = capsim_area(camtap, &len);
  const uint8_t* snap_area = capsim_area(snap, &len);
  const size_t size = 704 * 240 * 3 / 2;
  for (int i = 0; i < 12; ++i) {
    int word = req(camtap, CAP_GET_FRAME);
    ASSERT_GE(word, 0);
    int cam = cap_frame_camera(word);
    int idx = req(snap, CAP_GET_LATEST, static_cast<uint32_t>(cam));
    ASSERT_EQ(idx, cap_frame_index(word));
    EXPECT_EQ(0, std::memcmp(camtap_area + idx * size, snap_area + idx * size, size));
  }
  // The way snapbot waits for a newer picture: the index changes once the
  // camera's next picture is due, for every camera spacing.
  for (int cam : {0, 1, 3}) {
    int first = req(snap, CAP_GET_LATEST, static_cast<uint32_t>(cam));
    int steps = 0;
    while (req(snap, CAP_GET_LATEST, static_cast<uint32_t>(cam)) == first && steps < 10) {
      clock.t += 40000000;  // 40 ms
      ++steps;
    }
    EXPECT_LT(steps, 10) << cam;
  }
  ASSERT_EQ(req(camtap, CAP_STOP), 0);
  EXPECT_EQ(req(snap, CAP_GET_LATEST, 0), CAP_LATEST_NOT_CAPTURED);
  // Closing the programming process withdraws its programming.
  close(camtap);
  struct stat st;
  EXPECT_NE(stat((path_ + ".state").c_str(), &st), 0);
  EXPECT_GE(req(snap, CAP_GET_LATEST, 2), 0);
  EXPECT_EQ(req(snap, CAP_GET_HEIGHT), 288);
}

TEST_F(CapSimTest, ProgrammingOfADeadProcessIsIgnored) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  write_file(path_ + ".state", "pid=" + std::to_string(child) +
                                   "\nstandard=ntsc\nmain=1\nslots=-1,-1,-1,-1\nstarted=1\n");
  VClock clock;
  CaptureSim* s = open(&clock);
  EXPECT_EQ(req(s, CAP_GET_HEIGHT), 288);
  EXPECT_GE(req(s, CAP_GET_LATEST, 3), 0);  // free-running, not "main 1 only"
  // The same file from a live process counts; a damaged one does not.
  write_file(path_ + ".state", "pid=" + std::to_string(getpid()) +
                                   "\nstandard=ntsc\nmain=1\nslots=-1,-1,-1,-1\nstarted=1\n");
  EXPECT_EQ(req(s, CAP_GET_HEIGHT), 240);
  EXPECT_EQ(req(s, CAP_GET_LATEST, 3), CAP_LATEST_NOT_CAPTURED);
  EXPECT_GE(req(s, CAP_GET_LATEST, 1), 0);
  write_file(path_ + ".state", "pid=" + std::to_string(getpid()) + "\nmain=9\n");
  EXPECT_EQ(req(s, CAP_GET_HEIGHT), 288);
  EXPECT_GE(req(s, CAP_GET_LATEST, 3), 0);
}

}  // namespace
}  // namespace dv
