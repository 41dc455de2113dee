#include "lib/devices/oss_audio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/soundcard.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace dv {
namespace {

class OssAudioTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string t = (std::filesystem::temp_directory_path() / "oss_audio.XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(t.data()));
    dir_ = t;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) {
    const std::string p = dir_ + "/" + name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

  // Opens a simulated /dev/dsp with the given settings and configures it as
  // the capture code does: 16-bit, stereo, 22050 Hz.
  int open_dsp(const std::string& settings, int flags = O_RDWR) {
    const std::string p = settings.empty() ? dir_ + "/dsp" : write("dsp", settings);
    const int h = oss_open_path(p, flags);
    if (h <= 0) return h;
    int fmt = AFMT_S16_LE, stereo = 1, speed = 22050;
    EXPECT_EQ(0, oss_ioctl(h, SNDCTL_DSP_SETFMT, &fmt));
    EXPECT_EQ(AFMT_S16_LE, fmt);
    EXPECT_EQ(0, oss_ioctl(h, SNDCTL_DSP_STEREO, &stereo));
    EXPECT_EQ(0, oss_ioctl(h, SNDCTL_DSP_SPEED, &speed));
    EXPECT_EQ(22050, speed);
    return h;
  }

  static std::vector<int16_t> read_samples(int h, size_t frames) {
    std::vector<int16_t> s(frames * 2);
    EXPECT_EQ(static_cast<ssize_t>(frames * 4), oss_read(h, s.data(), frames * 4));
    return s;
  }

  static audio_buf_info space(int h) {
    audio_buf_info info{};
    EXPECT_EQ(0, oss_ioctl(h, SNDCTL_DSP_GETISPACE, &info));
    return info;
  }

  std::string dir_;
};

std::string wav_file(int channels, int rate, int bits, const std::vector<int>& samples) {
  std::string d;
  for (int v : samples) {
    if (bits == 16) {
      d.push_back(static_cast<char>(v & 0xFF));
      d.push_back(static_cast<char>((v >> 8) & 0xFF));
    } else {
      d.push_back(static_cast<char>(v));
    }
  }
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
  };
  const uint32_t block = static_cast<uint32_t>(channels * bits / 8);
  std::string fmt = "fmt " + le(16, 4) + le(1, 2) + le(static_cast<uint32_t>(channels), 2) +
                    le(static_cast<uint32_t>(rate), 4) +
                    le(static_cast<uint32_t>(rate) * block, 4) + le(block, 2) +
                    le(static_cast<uint32_t>(bits), 2);
  std::string body = "WAVE" + std::string("LIST") + le(3, 4) + "abc" + std::string(1, '\0') + fmt +
                     "data" + le(static_cast<uint32_t>(d.size()), 4) + d;
  return "RIFF" + le(static_cast<uint32_t>(body.size()), 4) + body;
}

TEST_F(OssAudioTest, SettingsParse) {
  OssSimSettings s;
  std::string err;
  ASSERT_TRUE(oss_parse_settings(
      "# demo\nsource = tone\nfrequency=1000\nfrequency_right=500 # right\namplitude=30000\n"
      "fast=1\nfragment=1024\nfragments=4\nrate=11025\nfail=setfmt, read\nunknown=7\n\n",
      &s, &err))
      << err;
  EXPECT_EQ(OssSimSettings::Source::kTone, s.source);
  EXPECT_EQ(1000, s.frequency);
  EXPECT_EQ(500, s.frequency_right);
  EXPECT_EQ(30000, s.amplitude);
  EXPECT_TRUE(s.fast);
  EXPECT_EQ(1024, s.fragment);
  EXPECT_EQ(4, s.fragments);
  EXPECT_EQ(11025, s.rate);
  EXPECT_EQ((std::vector<std::string>{"setfmt", "read"}), s.fail);

  for (const char* bad : {"source=music", "amplitude=40000", "fragment=1001", "fragment=100",
                          "fragments=1", "fast=2", "rate=5", "frequency=x", "novalue"}) {
    EXPECT_FALSE(oss_parse_settings(bad, &s, &err)) << bad;
  }
}

TEST_F(OssAudioTest, MissingSettingsGiveSilence) {
  const int h = open_dsp("");
  ASSERT_GT(h, 0);
  EXPECT_TRUE(oss_is_simulated(h));
  for (int16_t v : read_samples(h, 256)) ASSERT_EQ(0, v);
  EXPECT_EQ(0, oss_close(h));
}

TEST_F(OssAudioTest, ToneIsASineOnEachChannel) {
  const int h =
      open_dsp("source=tone\nfrequency=1000\nfrequency_right=250\namplitude=10000\nfast=1\n");
  ASSERT_GT(h, 0);
  const std::vector<int16_t> s = read_samples(h, 2048);
  for (size_t n = 0; n < 2048; ++n) {
    ASSERT_NEAR(10000 * std::sin(2 * M_PI * 1000.0 * n / 22050), s[2 * n], 1.0) << n;
    ASSERT_NEAR(10000 * std::sin(2 * M_PI * 250.0 * n / 22050), s[2 * n + 1], 1.0) << n;
  }
  oss_close(h);
}

TEST_F(OssAudioTest, NoiseIsRepeatableAndBounded) {
  const std::string cfg = "source=noise\namplitude=1000\nseed=7\nfast=1\n";
  int h = open_dsp(cfg);
  const std::vector<int16_t> a = read_samples(h, 4096);
  oss_close(h);
  h = open_dsp(cfg);
  const std::vector<int16_t> b = read_samples(h, 4096);
  oss_close(h);
  EXPECT_EQ(a, b);
  int distinct_sign = 0;
  for (int16_t v : a) {
    ASSERT_LE(std::abs(v), 1000);
    distinct_sign += v < 0;
  }
  EXPECT_GT(distinct_sign, 1000);
  EXPECT_LT(distinct_sign, 7000);
}

TEST_F(OssAudioTest, WavFilesPlayAtTheDeviceRate) {
  // Stereo 16-bit at the device rate: played as it is, then looped.
  write("a.wav", wav_file(2, 22050, 16, {1, -1, 2, -2, 3, -3}));
  int h = open_dsp("source=wav\nwav=a.wav\nfast=1\n");
  ASSERT_GT(h, 0);
  EXPECT_EQ((std::vector<int16_t>{1, -1, 2, -2, 3, -3, 1, -1}), read_samples(h, 4));
  oss_close(h);
  // Mono 8-bit at half the rate: each sample twice, on both channels; no loop.
  write("b.wav", wav_file(1, 11025, 8, {128, 129, 127}));
  h = open_dsp("source=wav\nwav=" + dir_ + "/b.wav\nloop=0\nfast=1\n");
  ASSERT_GT(h, 0);
  EXPECT_EQ((std::vector<int16_t>{0, 0, 0, 0, 256, 256, 256, 256, -256, -256, -256, -256, 0, 0}),
            read_samples(h, 7));
  oss_close(h);
}

TEST_F(OssAudioTest, DamagedWavFilesAreRefused) {
  const std::string good = wav_file(2, 22050, 16, {1, 2, 3, 4});
  std::string long_data = good;
  long_data[long_data.size() - 12] = 0x7F;  // data length far past the end
  const std::vector<std::string> bad = {"",
                                        "RIFF",
                                        good.substr(0, 30),
                                        "RIFX" + good.substr(4),
                                        long_data,
                                        wav_file(3, 22050, 16, {1, 2, 3}),
                                        wav_file(1, 22050, 24, {1, 2, 3}),
                                        wav_file(1, 10, 16, {1, 2})};
  for (size_t i = 0; i < bad.size(); ++i) {
    WavData w;
    EXPECT_FALSE(wav_decode(reinterpret_cast<const uint8_t*>(bad[i].data()), bad[i].size(), &w))
        << i;
    write("bad.wav", bad[i]);
    errno = 0;
    EXPECT_EQ(-1, oss_open_path(write("dsp", "source=wav\nwav=bad.wav\n"), O_RDWR)) << i;
    EXPECT_EQ(EINVAL, errno);
  }
  EXPECT_EQ(-1, oss_open_path(write("dsp", "source=wav\nwav=missing.wav\n"), O_RDWR));
  EXPECT_EQ(-1, oss_open_path(write("dsp", "amplitude=-3\n"), O_RDWR));
}

TEST_F(OssAudioTest, FragmentsArriveInRealTime) {
  const int h = open_dsp("fragment=4096\nfragments=8\n");
  ASSERT_GT(h, 0);
  EXPECT_EQ(0, space(h).fragments) << "nothing is recorded before the first read";
  std::vector<uint8_t> buf(512);
  ASSERT_EQ(512, oss_read(h, buf.data(), buf.size()));  // starts recording
  EXPECT_LE(space(h).fragments, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  // 250 ms at 88200 bytes/s is about 5 fragments of 4096 bytes.
  const audio_buf_info info = space(h);
  EXPECT_GE(info.fragments, 3);
  EXPECT_LE(info.fragments, 8);
  EXPECT_EQ(8, info.fragstotal);
  EXPECT_EQ(4096, info.fragsize);
  // An overrun keeps only what the device holds.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(8, space(h).fragments);
  // After a reset nothing is ready until the next read.
  ASSERT_EQ(0, oss_ioctl(h, SNDCTL_DSP_RESET, nullptr));
  EXPECT_EQ(0, space(h).fragments);
  oss_close(h);
}

TEST_F(OssAudioTest, FastModeHasEveryFragmentReady) {
  const int h = open_dsp("fast=1\nfragment=2048\nfragments=12\n");
  ASSERT_GT(h, 0);
  const audio_buf_info info = space(h);
  EXPECT_EQ(12, info.fragments);
  EXPECT_EQ(2048, info.fragsize);
  std::vector<uint8_t> buf(2048 * 40);
  EXPECT_EQ(static_cast<ssize_t>(buf.size()), oss_read(h, buf.data(), buf.size()));
  EXPECT_EQ(12, space(h).fragments);
  oss_close(h);
}

TEST_F(OssAudioTest, NonBlockingReadDoesNotWait) {
  const int h = open_dsp("", O_RDWR | O_NONBLOCK);
  ASSERT_GT(h, 0);
  std::vector<uint8_t> buf(4096);
  errno = 0;
  const ssize_t n = oss_read(h, buf.data(), buf.size());
  EXPECT_TRUE(n == -1 ? errno == EAGAIN : n < static_cast<ssize_t>(buf.size()));
  oss_close(h);
}

TEST_F(OssAudioTest, ConfiguredFailures) {
  struct Case {
    const char* op;
    unsigned long request;
  } cases[] = {{"setfmt", SNDCTL_DSP_SETFMT},
               {"stereo", SNDCTL_DSP_STEREO},
               {"speed", SNDCTL_DSP_SPEED},
               {"getispace", SNDCTL_DSP_GETISPACE}};
  for (const Case& c : cases) {
    const int h = oss_open_path(write("dsp", std::string("fail=") + c.op + "\n"), O_RDWR);
    ASSERT_GT(h, 0);
    audio_buf_info info{};
    int v = AFMT_S16_LE;
    void* arg = c.request == SNDCTL_DSP_GETISPACE ? static_cast<void*>(&info) : &v;
    errno = 0;
    EXPECT_EQ(-1, oss_ioctl(h, c.request, arg)) << c.op;
    EXPECT_EQ(EIO, errno);
    oss_close(h);
  }
  EXPECT_EQ(-1, oss_open_path(write("dsp", "fail=open\n"), O_RDWR));
  const int h = open_dsp("fail=read\n");
  uint8_t b[16];
  EXPECT_EQ(-1, oss_read(h, b, sizeof(b)));
  oss_close(h);
  // A format other than signed 16-bit is answered with the one in force.
  const int g = oss_open_path(write("dsp", ""), O_RDWR);
  int fmt = AFMT_S8;
  EXPECT_EQ(0, oss_ioctl(g, SNDCTL_DSP_SETFMT, &fmt));
  EXPECT_NE(AFMT_S8, fmt);
  oss_close(g);
}

TEST_F(OssAudioTest, MixerRecordingSource) {
  int h = oss_open_path(dir_ + "/mixer", O_RDWR);
  ASSERT_GT(h, 0);
  int mask = SOUND_MASK_LINE;
  EXPECT_EQ(0, oss_ioctl(h, SOUND_MIXER_WRITE_RECSRC, &mask));
  EXPECT_EQ(SOUND_MASK_LINE, mask);
  int now = 0;
  EXPECT_EQ(0, oss_ioctl(h, SOUND_MIXER_READ_RECSRC, &now));
  EXPECT_EQ(SOUND_MASK_LINE, now);
  oss_close(h);
  h = oss_open_path(write("mixer", "fail=recsrc\n"), O_RDWR);
  ASSERT_GT(h, 0);
  EXPECT_EQ(-1, oss_ioctl(h, SOUND_MIXER_WRITE_RECSRC, &mask));
  oss_close(h);
  EXPECT_EQ(-1, oss_open_path(write("mixer", "fail=open\n"), O_RDWR));
}

// A character device at the path selects the real driver: /dev/null takes
// the open but refuses the OSS requests.
TEST_F(OssAudioTest, CharacterDeviceUsesTheRealDriver) {
  const std::string link = dir_ + "/dsp";
  ASSERT_EQ(0, symlink("/dev/null", link.c_str()));
  const int h = oss_open_path(link, O_RDWR);
  ASSERT_GT(h, 0);
  EXPECT_FALSE(oss_is_simulated(h));
  int fmt = AFMT_S16_LE;
  EXPECT_EQ(-1, oss_ioctl(h, SNDCTL_DSP_SETFMT, &fmt));
  EXPECT_EQ(0, oss_close(h));
}

// Handles are above 0 even when descriptor 0 is free.
TEST_F(OssAudioTest, HandleIsNeverZero) {
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  const int h = oss_open_path(dir_ + "/dsp", O_RDWR);
  const int r = oss_open_path("/dev/null", O_RDONLY);  // real backend too
  dup2(saved, 0);
  close(saved);
  EXPECT_GT(h, 0);
  EXPECT_GT(r, 0);
  oss_close(h);
  oss_close(r);
}

}  // namespace
}  // namespace dv
