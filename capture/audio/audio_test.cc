// Audio capture against the simulated OSS devices of a private system root:
// the open sequence and its messages, whole-fragment reads with one fragment
// left behind and the 65536-byte cap, the loudness measure.
#include "capture/audio/audio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/audio/adpcm.h"
#include "lib/platform/log.h"

namespace {

// The system root and log folder are fixed before anything reads them.
const std::string& root() {
  static const std::string r = [] {
    std::string t = (std::filesystem::temp_directory_path() / "audio_test.XXXXXX").string();
    if (!mkdtemp(t.data())) std::abort();
    std::filesystem::create_directories(t + "/dev");
    std::filesystem::create_directories(t + "/log");
    setenv("DEEPVAULT_ROOT", t.c_str(), 1);
    setenv("DEEPVAULT_LOG", ("dir:" + t + "/log").c_str(), 1);
    return t;
  }();
  return r;
}
const bool kRootReady = !root().empty();

class AudioTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kRootReady);
    std::filesystem::remove(root() + "/dev/dsp");
    std::filesystem::remove(root() + "/dev/mixer");
    std::filesystem::remove(log_file());
    dv::log_open("audiotest");
  }
  static std::string log_file() { return root() + "/log/audiotest.log"; }
  static void settings(const std::string& device, const std::string& text) {
    std::ofstream(root() + "/dev/" + device) << text;
  }
  static std::string log_text() {
    std::ifstream f(log_file());
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
};

TEST_F(AudioTest, OpenSetsUpTheDeviceAndLogs) {
  settings("dsp", "source=tone\nfast=1\n");
  const int h = AudioOpen();
  ASSERT_GT(h, 0);
  EXPECT_EQ("Opening /dev/mixer\nOpening /dev/dsp\nAudioRate = 22050\n", log_text());
  AudioClose(h);
}

TEST_F(AudioTest, OpenFailures) {
  struct Case {
    const char* device;
    const char* text;
    const char* log_tail;     // last log line
    const char* stderr_text;  // start of the standard error text
  } cases[] = {
      {"mixer", "fail=open\n", "Opening /dev/mixer\n", "/dev/mixer: "},
      {"dsp", "fail=open\n", "Opening /dev/dsp\n", "/dev/dsp: "},
      {"dsp", "fail=setfmt\n", "Unable to set the sample size\n", ""},
      {"dsp", "fail=stereo\n", "Unable to set mono/stereo\n", ""},
      {"dsp", "fail=speed\n", "Unable to set audio speed\n", ""},
  };
  for (const Case& c : cases) {
    SetUp();
    settings(c.device, c.text);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, AudioOpen()) << c.device << " " << c.text;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.rfind(c.stderr_text, 0)) << err;
    if (!*c.stderr_text) {
      EXPECT_EQ("", err);
    }
    const std::string log = log_text();
    EXPECT_GE(log.size(), std::strlen(c.log_tail));
    EXPECT_EQ(c.log_tail, log.substr(log.size() - std::strlen(c.log_tail))) << log;
  }
}

// With every fragment ready (fast device), a pass reads all but one, capped
// at 65536 bytes; with 2 ready it reads nothing.
TEST_F(AudioTest, ReadsWholeFragmentsLeavingOne) {
  struct Case {
    int fragment, fragments, capacity, bytes;
  } cases[] = {
      {4096, 16, AUDIO_BUFFER_SIZE, 15 * 4096},  // 61440: under the cap
      {8192, 16, AUDIO_BUFFER_SIZE, 65536},      // 15 x 8192 > 65535: 8 fragments
      {1024, 128, AUDIO_BUFFER_SIZE, 65536},     // 127 x 1024 > 65535: 64 fragments
      {4096, 3, AUDIO_BUFFER_SIZE, 8192},        // 3 ready: 2 read
      {4096, 2, AUDIO_BUFFER_SIZE, 0},           // 2 ready: nothing
      {4096, 16, 10000, 8192},                   // a small buffer bounds the read
  };
  for (const Case& c : cases) {
    settings("dsp", "source=noise\nfast=1\nfragment=" + std::to_string(c.fragment) +
                        "\nfragments=" + std::to_string(c.fragments) + "\n");
    const int h = AudioOpen();
    ASSERT_GT(h, 0);
    EXPECT_EQ(512, AudioDiscard(h, 512));
    std::vector<uint8_t> buf(static_cast<size_t>(c.capacity) + 64, 0xA5);
    EXPECT_EQ(c.bytes, AudioProc(h, buf.data(), static_cast<size_t>(c.capacity)))
        << c.fragment << " x " << c.fragments;
    for (size_t i = static_cast<size_t>(c.capacity); i < buf.size(); ++i) ASSERT_EQ(0xA5, buf[i]);
    AudioClose(h);
  }
}

TEST_F(AudioTest, NoHandleNoRead) {
  uint8_t buf[16];
  EXPECT_EQ(-1, AudioProc(-1, buf));
  EXPECT_EQ(-1, AudioProc(0, buf));
  AudioClose(0);  // ignored
  AudioClose(-1);
}

// In real time, the first pass right after opening finds too little; a pass
// some 200 ms later reads whole fragments of the tone.
TEST_F(AudioTest, PacedDeviceFillsUpOverTime) {
  settings("dsp", "source=tone\namplitude=20000\nfrequency=441\n");
  const int h = AudioOpen();
  ASSERT_GT(h, 0);
  ASSERT_EQ(512, AudioDiscard(h, 512));
  std::vector<uint8_t> buf(AUDIO_BUFFER_SIZE);
  EXPECT_EQ(0, AudioProc(h, buf.data()));
  int got = 0;
  for (int i = 0; i < 40 && got == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    got = AudioProc(h, buf.data());
  }
  ASSERT_GT(got, 0);
  EXPECT_EQ(0, got % 4096);
  const int16_t* s = reinterpret_cast<const int16_t*>(buf.data());
  int count = 0, step = 0;
  AudioBlockLayout(got, 1, 0, &count, &step);
  // A 20000-peak sine (mean |x| about 12700) over 2048 or more samples sums
  // far past 63 << 18.
  EXPECT_EQ(63, AudioCNTActiv(s, count, step));
  AudioClose(h);
}

TEST(AudioLevel, Loudness) {
  std::vector<int16_t> loud(4000, -32768), quiet(4000, 100);
  struct Case {
    const int16_t* p;
    int count, step, level;
  } cases[] = {
      {loud.data(), 0, 2, 0},     {loud.data(), -3, 2, 0},
      {loud.data(), 8, 1, 1},  // 8 x 32768 = 2^18
      {loud.data(), 7, 1, 0},     {loud.data(), 16, 1, 2},
      {loud.data(), 2000, 2, 63}, {quiet.data(), 2000, 2, 0},
      {nullptr, 10, 1, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.level, AudioCNTActiv(c.p, c.count, c.step)) << c.count;
  // Only every step-th word counts: the odd words of a stereo buffer.
  std::vector<int16_t> lr(200);
  for (size_t i = 0; i < lr.size(); ++i) lr[i] = (i % 2) ? 0 : 32767;
  EXPECT_EQ(0, AudioCNTActiv(lr.data() + 1, 100, 2));
  // Silence: level 0, so any filt >= 0 gives quiet blocks.
  std::vector<int16_t> silence(1024, 0);
  EXPECT_EQ(0, AudioCNTActiv(silence.data(), 512, 2));
}

TEST(AudioLevel, BlockLayoutStaysInsideTheCapture) {
  struct Case {
    int bytes, divisor, stereo, count, step;
  } cases[] = {
      {61440, 1, 0, 15360, 2}, {61440, 2, 0, 7680, 4}, {61440, 3, 0, 5120, 6},
      {61440, 1, 1, 15360, 2},  // a doubled count would read past the capture
      {6, 1, 0, 1, 2},         {2, 1, 0, 0, 2},        {0, 1, 0, 0, 2},
      {61440, 0, 0, 0, 2},
  };
  for (const Case& c : cases) {
    int count = -1, step = -1;
    AudioBlockLayout(c.bytes, c.divisor, c.stereo, &count, &step);
    EXPECT_EQ(c.count, count) << c.bytes << "/" << c.divisor << "/" << c.stereo;
    EXPECT_EQ(c.step, step);
    if (count > 0) {
      EXPECT_LE(1 + (count - 1) * step, c.bytes / 2 - 1);
    }
  }
}

}  // namespace
