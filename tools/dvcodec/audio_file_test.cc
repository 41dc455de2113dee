#include "tools/dvcodec/audio_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "capture/audio/adpcm.h"
#include "lib/platform/le.h"

namespace dv::codec {
namespace {

// Pieces of a WAV file image.
std::string u16(uint16_t v) {
  uint8_t b[2];
  put_u16le(b, v);
  return std::string(reinterpret_cast<char*>(b), 2);
}
std::string u32(uint32_t v) {
  uint8_t b[4];
  put_u32le(b, v);
  return std::string(reinterpret_cast<char*>(b), 4);
}
std::string chunk(const char* id, const std::string& body, uint32_t claimed = 0xFFFFFFF0u) {
  std::string c = std::string(id, 4) + u32(claimed == 0xFFFFFFF0u ? body.size() : claimed) + body;
  if (body.size() % 2 && claimed == 0xFFFFFFF0u) c.push_back('\0');
  return c;
}
std::string fmt(uint16_t format, uint16_t channels, uint16_t bits, uint32_t rate = 22050) {
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  return chunk(
      "fmt ", u16(format) + u16(channels) + u32(rate) + u32(rate * align) + u16(align) + u16(bits));
}
std::string extensible(uint16_t sub, uint16_t channels) {
  std::string body = u16(0xFFFE) + u16(channels) + u32(48000) + u32(48000 * 2 * channels) +
                     u16(static_cast<uint16_t>(2 * channels)) + u16(16) + u16(22) + u16(16) +
                     u32(3) + u16(sub) + std::string(14, '\x10');
  return chunk("fmt ", body);
}
std::string riff(const std::string& chunks) {
  return "RIFF" + u32(4 + chunks.size()) + "WAVE" + chunks;
}
std::string samples(std::initializer_list<int16_t> s) {
  std::string out;
  for (int16_t v : s) out += u16(static_cast<uint16_t>(v));
  return out;
}

struct Case {
  const char* name;
  std::string image;
  int ok;
  int channels;
  size_t frames;
  const char* error;
};

TEST(WavParse, AcceptsPcm16AndExplainsTheRest) {
  const std::string stereo = samples({1, -1, 2, -2, 3, -3});
  const Case cases[] = {
      {"stereo", riff(fmt(1, 2, 16) + chunk("data", stereo)), 1, 2, 3, ""},
      {"mono with LIST of odd length first",
       riff(fmt(1, 1, 16) + chunk("LIST", "abc") + chunk("data", stereo)), 1, 1, 6, ""},
      {"extensible pcm", riff(extensible(1, 2) + chunk("data", stereo)), 1, 2, 3, ""},
      {"streamed data length", riff(fmt(1, 2, 16) + chunk("data", stereo, 0xFFFFFFFFu)), 1, 2, 3,
       ""},
      {"empty data", riff(fmt(1, 2, 16) + chunk("data", "")), 1, 2, 0, ""},
      {"8-bit", riff(fmt(1, 1, 8) + chunk("data", "abcd")), 0, 0, 0, "not a 16-bit WAV (8 bits"},
      {"24-bit", riff(fmt(1, 1, 24) + chunk("data", "abcdef")), 0, 0, 0, "24 bits"},
      {"float", riff(fmt(3, 1, 32) + chunk("data", "abcd")), 0, 0, 0, "not uncompressed PCM"},
      {"extensible float", riff(extensible(3, 2) + chunk("data", stereo)), 0, 0, 0,
       "not uncompressed PCM"},
      {"ima adpcm", riff(fmt(0x11, 1, 4) + chunk("data", "ab")), 0, 0, 0, "not uncompressed PCM"},
      {"data cut short", riff(fmt(1, 2, 16) + chunk("data", stereo, 100)), 0, 0, 0,
       "truncated: the 'data' chunk claims 100 bytes, the file holds 12"},
      {"half a sample frame", riff(fmt(1, 2, 16) + chunk("data", stereo.substr(0, 10))), 0, 0, 0,
       "inside a sample frame"},
      {"chunk header cut", riff(fmt(1, 2, 16) + "dat"), 0, 0, 0, "truncated chunk header"},
      {"data before fmt", riff(chunk("data", stereo) + fmt(1, 2, 16)), 0, 0, 0, "before the fmt"},
      {"no data", riff(fmt(1, 2, 16)), 0, 0, 0, "no data chunk"},
      {"no fmt", riff(chunk("LIST", "ab")), 0, 0, 0, "no fmt chunk"},
      {"short fmt", riff(chunk("fmt ", "abcd") + chunk("data", stereo)), 0, 0, 0, "too short"},
      {"zero channels", riff(fmt(1, 0, 16) + chunk("data", stereo)), 0, 0, 0, "inconsistent"},
      {"not riff", "RIFX" + u32(4) + "WAVE", 0, 0, 0, "not a RIFF/WAVE"},
      {"too short", "RIFF", 0, 0, 0, "not a RIFF/WAVE"},
  };
  for (const Case& c : cases) {
    WavInfo info;
    std::string err;
    const auto* p = reinterpret_cast<const uint8_t*>(c.image.data());
    const int rc = wav_parse(p, c.image.size(), &info, &err);
    if (c.ok) {
      ASSERT_EQ(0, rc) << c.name << ": " << err;
      EXPECT_EQ(c.channels, info.channels) << c.name;
      EXPECT_EQ(c.frames, info.frames) << c.name;
    } else {
      EXPECT_EQ(-1, rc) << c.name;
      EXPECT_NE(std::string::npos, err.find(c.error)) << c.name << " -> " << err;
    }
  }
}

TEST(WavParse, SamplesOfEachChannel) {
  const std::string image = riff(fmt(1, 2, 16) + chunk("data", samples({100, -200, 300, -32768})));
  WavInfo info;
  std::string err;
  const auto* p = reinterpret_cast<const uint8_t*>(image.data());
  ASSERT_EQ(0, wav_parse(p, image.size(), &info, &err));
  EXPECT_EQ(100, wav_sample(p, info, 0, 0));
  EXPECT_EQ(-200, wav_sample(p, info, 0, 1));
  EXPECT_EQ(300, wav_sample(p, info, 1, 0));
  EXPECT_EQ(-32768, wav_sample(p, info, 1, 1));
}

TEST(WavBuild, MonoImageParsesBack) {
  const std::vector<int16_t> s = {0, 1, -1, 32767, -32768};
  const std::vector<uint8_t> image = wav_build_mono(s, 11025);
  WavInfo info;
  std::string err;
  ASSERT_EQ(0, wav_parse(image.data(), image.size(), &info, &err)) << err;
  EXPECT_EQ(1, info.channels);
  EXPECT_EQ(11025u, info.rate);
  ASSERT_EQ(s.size(), info.frames);
  for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i], wav_sample(image.data(), info, i, 0));
}

// The decoder follows the coder's predictor exactly, block after block, and
// gives the signal back closely.
TEST(AdpcmDecode, TracksTheCoder) {
  std::vector<int16_t> in(4000);
  for (size_t i = 0; i < in.size(); ++i)
    in[i] = static_cast<int16_t>(12000 * std::sin(i * 0.05) + 3000 * std::sin(i * 0.31));
  ADPCMState st;
  ADPCMInit(&st);
  AdpcmDecoder d;
  std::vector<int16_t> out;
  std::vector<uint8_t> block(500);
  for (size_t at = 0; at < in.size(); at += 1000) {
    const int n = ADPCMEncodeBlock(block.data(), in.data() + at, &st, 1000, 1);
    ASSERT_EQ(500, n);
    adpcm_decode(&d, block.data(), 500, &out);
    EXPECT_EQ(st.predictor, d.predictor);
    EXPECT_EQ(st.index, d.index);
  }
  ASSERT_EQ(in.size(), out.size());
  double sig = 0, noise = 0;
  for (size_t i = 200; i < in.size(); ++i) {
    sig += double(in[i]) * in[i];
    noise += double(in[i] - out[i]) * (in[i] - out[i]);
  }
  EXPECT_GT(10 * std::log10(sig / noise), 20.0);
}

// A full-scale negative square wave stops at -32767, as the coder does.
TEST(AdpcmDecode, NegativeLimit) {
  std::vector<int16_t> in(2000, -32768);
  ADPCMState st;
  ADPCMInit(&st);
  std::vector<uint8_t> block(1000);
  ADPCMEncodeBlock(block.data(), in.data(), &st, 2000, 1);
  AdpcmDecoder d;
  std::vector<int16_t> out;
  adpcm_decode(&d, block.data(), 1000, &out);
  EXPECT_EQ(-32767, out.back());
  EXPECT_EQ(st.predictor, d.predictor);
}

}  // namespace
}  // namespace dv::codec
