#include "hub/digest.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hub/digest_reader.h"
#include "lib/platform/log.h"

namespace {

struct Rec {
  int number;
  int type;
  std::string codec, name, params;
};

// The digest as the format describes it, built independently of the builder.
std::vector<uint8_t> Expected(const std::string& device_id, const std::vector<Rec>& recs,
                              const std::vector<std::string>& trailer) {
  std::vector<uint8_t> d = {0xB5, 0xB5, 0x05, 0xB5, 0, 0, 0, 0};
  auto put = [&](const std::string& s) {
    d.insert(d.end(), s.begin(), s.end());
    d.push_back(0);
  };
  put(device_id);
  for (const Rec& r : recs) {
    d.push_back(static_cast<uint8_t>(r.number));
    d.push_back(static_cast<uint8_t>(r.type));
    put(r.codec);
    put(r.name);
    put(r.params);
  }
  size_t toff = d.size();
  for (size_t t = 0; t < trailer.size(); ++t) {
    d.push_back(static_cast<uint8_t>(t + 1));
    put(trailer[t]);
  }
  size_t tlen = d.size() - toff;
  d[4] = static_cast<uint8_t>(toff);
  d[5] = static_cast<uint8_t>(toff >> 8);
  d[6] = static_cast<uint8_t>(tlen);
  d[7] = static_cast<uint8_t>(tlen >> 8);
  return d;
}

class DigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/digest_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    paths_ = {dir_ + "/streams.ini", dir_ + "/timer.ini", dir_ + "/TZ", dir_ + "/cserv",
              dir_ + "/time.cfg"};
    src_.streams_ini = paths_[0].c_str();
    src_.timer_ini = paths_[1].c_str();
    src_.tz = paths_[2].c_str();
    src_.cserv = paths_[3].c_str();
    src_.time_cfg = paths_[4].c_str();
    setenv("DEEPVAULT_LOG", ("dir:" + dir_).c_str(), 1);
    dv::log_open("digest");
    buf_.assign(0x10000, 0xEE);
  }
  void TearDown() override {
    dv::log_close();
    setenv("DEEPVAULT_LOG", "stderr", 1);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  void Write(int which, const std::string& text) {
    std::ofstream(paths_[which], std::ios::binary) << text;
  }
  // Writes the three small system files and a schedule.
  void WriteSystemFiles() {
    Write(1, "[common]\nmode=2\n[monday]\nh0=1\nh23=1\n");
    Write(2, "CET-1CEST\nsecond line\n");
    Write(3, "mail.example.org 25\nrest\n");
    Write(4, "pool.ntp.org");
  }
  int Build() {
    return digest_build(src_, 0x1000000, buf_.data(), buf_.size(), &tables_, &settings_);
  }
  std::vector<uint8_t> Got(int len) {
    return std::vector<uint8_t>(buf_.begin(), buf_.begin() + len);
  }
  std::vector<std::string> Log() {
    std::ifstream in(dir_ + "/digest.log");
    std::vector<std::string> lines;
    std::string l;
    while (std::getline(in, l)) lines.push_back(l);
    return lines;
  }
  bool Logged(const std::string& line) {
    std::vector<std::string> l = Log();
    return std::find(l.begin(), l.end(), line) != l.end();
  }

  std::string dir_;
  std::vector<std::string> paths_;
  DigestSources src_;
  std::vector<uint8_t> buf_;
  HubStreamTables tables_;
  HubSettings settings_;
};

const std::string kSchedule = "2,800001" + std::string(36, '0');

TEST_F(DigestTest, FullConfigurationByteExact) {
  WriteSystemFiles();
  Write(0,
        "[common]\n"
        "gop = 50\nprefix = /mnt/disc/videodata\nDeviceID = 'Gate 4'\ncodepage = cp1251\n"
        "[rsconfig]\ndevice = /dev/ttyS2\n"
        "[smtp_mail]\nsmtp_to = ops@example.org\n"
        "[camtap]\nntsc = 0\n"
        "[stream_2]\nON = 1\ntype = t_audio\ncodec = adpcm\nname = Left\nparams = -rate=22050\n"
        "[stream_0]\nON=1\ntype=T_VIDEO\ncodec=mpeg4\nname=Front door\n"
        "width=720\nheight=576\nnosnd=1\nmono=0\n"
        "[stream_3]\nON=0\ncodec=mjpeg\nname=\n"
        "[stream_128]\nON=1\ntype=T_TEXT\ncodec=text\nname=motion\nutf8=1\nACHTUNG=-3\n");
  int len = Build();
  ASSERT_GT(len, 0);
  std::vector<Rec> recs = {
      {0, 1, "mpeg4", "Front door", " -width=720 -height=576 -nosnd"},
      {2, 2, "adpcm", "Left", "-rate=22050"},
      {3, 0, "mjpeg", "noname", "-none"},
      {128, 4, "text", "motion", " -utf8"},
  };
  std::vector<std::string> trailer = {
      "cp1251",          "CET-1CEST\n",           "/dev/ttyS2",   kSchedule,
      "ops@example.org", "mail.example.org 25\n", "pool.ntp.org", "0"};
  EXPECT_EQ(Got(len), Expected("Gate 4", recs, trailer));

  EXPECT_EQ(settings_.gop, 50);
  EXPECT_STREQ(settings_.prefix, "/mnt/disc/videodata/");
  EXPECT_STREQ(settings_.device_id, "Gate 4");
  for (int n = 0; n < 256; ++n) {
    bool want = n == 0 || n == 2 || n == 3 || n == 128;
    EXPECT_EQ(tables_.configured[n] != 0, want) << n;
  }
  EXPECT_EQ(tables_.type_bits[0], 1);
  EXPECT_EQ(tables_.type_bits[2], 2);
  EXPECT_EQ(tables_.type_bits[3], 0);
  EXPECT_EQ(tables_.type_bits[128], 4);
  EXPECT_EQ(tables_.alarm[128], -1);
  EXPECT_EQ(tables_.alarm[0], 0);

  for (const char* line :
       {"GOP = 50", "prefix = /mnt/disc/videodata/", "memsize = 16777216", "DeviceID = Gate 4",
        "Found stream 2", "Found stream 0", " - IS OFF", " type = 0x0", " codec = 'mjpeg'",
        " name = 'noname'", " params = ' -width=720 -height=576 -nosnd'",
        "stream_128 achtung = -3"}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
}

TEST_F(DigestTest, MissingSourcesGiveDefaultsEmptyTagsAndLogLines) {
  Write(0, "[stream_1]\nON=1\ntype=T_VIDEO\ncodec=mpeg4\nname=cam\n");
  int len = Build();
  ASSERT_GT(len, 0);
  std::vector<std::string> empty(8);
  EXPECT_EQ(Got(len), Expected("VideoServer", {{1, 1, "mpeg4", "cam", "-none"}}, empty));
  EXPECT_EQ(settings_.gop, 75);
  EXPECT_STREQ(settings_.prefix, "/videodata/");
  for (const std::string& line :
       {std::string("common/gop Section is not found"),
        std::string("common/prefix Section is not found"),
        std::string("common/DeviceID Section is not found"),
        std::string("common/codepage Section is not found"), "Error: Can't open " + paths_[2],
        std::string("rsconfig/device Section is not found"), "Can't open " + paths_[1],
        std::string("smtp_mail/smtp_to Section is not found"), "Error: Can't open " + paths_[3],
        "Error: Can't open " + paths_[4], std::string("camtap/ntsc Section is not found")}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
}

TEST_F(DigestTest, ScheduleWithoutModeLogsAndUsesTwo) {
  Write(0, "[common]\ngop=0\nprefix=\n[stream_1]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\n");
  Write(1, "[tuesday]\nh1=1\n");
  int len = Build();
  ASSERT_GT(len, 0);
  DigestReader r;
  ASSERT_EQ(digest_reader_open(&r, buf_.data(), static_cast<size_t>(len)), 0);
  EXPECT_STREQ(digest_trailer_text(&r, 4), "2,000000400000000000000000000000000000000000");
  EXPECT_TRUE(Logged(paths_[1] + ": common/mode Section is not found"));
  EXPECT_EQ(settings_.gop, 75);         // 0 means the default
  EXPECT_STREQ(settings_.prefix, "/");  // an empty prefix still ends in "/"
}

TEST_F(DigestTest, SkippedSectionsAndStreamNumbers) {
  Write(0,
        "[stream_0x10]\nON=1\ntype=T_TEXT\ncodec=t\nname=hex\n"
        "[stream_010]\nON=1\ntype=T_TEXT\ncodec=t\nname=octal\n"
        "[stream_4]\nON=1\ntype=T_MOVIE\ncodec=t\nname=n\n"
        "[stream_5]\nON=1\ntype=T_TEXT\nname=n\n"
        "[stream_6]\nON=1\ntype=T_TEXT\ncodec=t\n"
        "[stream_7]\ntype=T_TEXT\ncodec=t\nname=n\n"
        "[stream_8x]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\n"
        "[stream_256]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\n"
        "[stream_-1]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\n"
        "[stream_99999999999999999999]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\n"
        "[stream_]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\n"
        "[stream_9]\nON=1\ntype=t_binary\ncodec=abcdefghijkl\nname=" +
            std::string(100, 'x') + "\n");
  int len = Build();
  ASSERT_GT(len, 0);
  DigestReader r;
  ASSERT_EQ(digest_reader_open(&r, buf_.data(), static_cast<size_t>(len)), 0);
  std::vector<int> numbers;
  DigestStream s;
  while (digest_next_stream(&r, &s) == 1) {
    numbers.push_back(s.number);
    if (s.number == 9) {
      EXPECT_STREQ(s.codec, "abcdefghi");
      EXPECT_EQ(std::string(s.name), std::string(79, 'x'));
      EXPECT_EQ(s.type, 16);
    }
    if (s.number == 8) {
      EXPECT_STREQ(s.name, "octal");
    }
    if (s.number == 16) {
      EXPECT_STREQ(s.name, "hex");
    }
  }
  EXPECT_EQ(numbers, (std::vector<int>{8, 9, 16}));
  for (int n : {4, 5, 6, 7}) EXPECT_EQ(tables_.configured[n], 0) << n;
  for (const char* line : {" stream_4 unknown type T_MOVIE", " stream_5/codec Key is not found",
                           " stream_6/name Key is not found", " stream_7/ON Key is not found",
                           " stream_8x: stream number not in 0..255, skipped",
                           " stream_256: stream number not in 0..255, skipped",
                           " stream_-1: stream number not in 0..255, skipped",
                           " stream_99999999999999999999: stream number not in 0..255, skipped",
                           " stream_: stream number not in 0..255, skipped"}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
}

TEST_F(DigestTest, AlarmOverrides) {
  Write(0,
        "[stream_1]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\nACHTUNG=7\n"
        "[stream_2]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\nACHTUNG=0\n"
        "[stream_3]\nON=1\ntype=T_TEXT\ncodec=t\nname=n\nACHTUNG=-1\n");
  ASSERT_GT(Build(), 0);
  EXPECT_EQ(tables_.alarm[1], 1);
  EXPECT_EQ(tables_.alarm[2], 0);
  EXPECT_EQ(tables_.alarm[3], -1);
}

TEST_F(DigestTest, ParameterPiecesThatWouldOverflowAreLeftOutWhole) {
  std::string base(240, 'p');
  Write(0, "[stream_1]\nON=1\ntype=T_VIDEO\ncodec=c\nname=n\nparams=" + base +
               "\nwidth=704\nheight=288\nbw=1\n");
  int len = Build();
  ASSERT_GT(len, 0);
  DigestReader r;
  ASSERT_EQ(digest_reader_open(&r, buf_.data(), static_cast<size_t>(len)), 0);
  DigestStream s;
  ASSERT_EQ(digest_next_stream(&r, &s), 1);
  // " -width=704" (11) fits to 251; " -height=288" (12) does not; " -bw" (4) does.
  EXPECT_EQ(std::string(s.params), base + " -width=704 -bw");
  EXPECT_LE(std::string(s.params).size(), 255u);
  EXPECT_TRUE(Logged(" stream_1 params too long, -height left out"));
}

TEST_F(DigestTest, DigestNeverExceeds65535Bytes) {
  std::string ini;
  for (int n = 0; n < 256; ++n) {
    ini += "[stream_" + std::to_string(n) +
           "]\nON=1\ntype=T_TEXT\ncodec=codec\nname=" + std::string(79, 'n') +
           "\nparams=" + std::string(255, 'p') + "\n";
  }
  Write(0, ini);
  int len = Build();
  ASSERT_GT(len, 0);
  EXPECT_LE(len, 65535);
  DigestReader r;
  ASSERT_EQ(digest_reader_open(&r, buf_.data(), static_cast<size_t>(len)), 0);
  EXPECT_EQ(r.length, static_cast<size_t>(len));
  int count = 0;
  DigestStream s;
  int last = -1;
  while (digest_next_stream(&r, &s) == 1) {
    EXPECT_GT(s.number, last);
    last = s.number;
    EXPECT_EQ(tables_.configured[s.number], 1);
    ++count;
  }
  EXPECT_GT(count, 100);
  EXPECT_LT(count, 256);
  int configured = 0;
  for (uint8_t c : tables_.configured) configured += c;
  EXPECT_EQ(configured, count);  // left-out streams are not configured
  EXPECT_TRUE(Logged(" stream 255 does not fit in the digest, left out"));
  // Nothing written past the digest.
  EXPECT_EQ(buf_[static_cast<size_t>(len)], 0xEE);
}

TEST_F(DigestTest, FailingPasses) {
  EXPECT_EQ(Build(), -1);  // no file
  EXPECT_TRUE(Logged("Config file is not found " + paths_[0]));
  Write(0, "[common]\ngop=10\n[streams]\nx=1\n");
  EXPECT_EQ(Build(), -1);
  EXPECT_TRUE(Logged("streams not found"));
  for (uint8_t c : tables_.configured) EXPECT_EQ(c, 0);
}

TEST_F(DigestTest, DuplicateSectionsGiveOneRecord) {
  Write(0,
        "[stream_1]\nON=1\ntype=T_TEXT\ncodec=a\nname=first\n"
        "[stream_1]\nON=1\ntype=T_TEXT\ncodec=b\nname=second\n");
  int len = Build();
  ASSERT_GT(len, 0);
  EXPECT_EQ(Got(len),
            Expected("VideoServer", {{1, 4, "a", "first", "-none"}}, std::vector<std::string>(8)));
}

}  // namespace
