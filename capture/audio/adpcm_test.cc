// The block coder against a reference IMA ADPCM decoder written here from the
// algorithm (not from the coder): after every block the decoder's predictor
// and index equal the coder's state, and the decoded signal follows the input.
#include "capture/audio/adpcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

const int kSteps[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

// Reference decoder: high nibble first; predictor kept within -32767..32767.
struct RefDecoder {
  int predictor = 0;
  int index = 0;
  int nibble(unsigned code) {
    const int step = kSteps[index];
    int diff = step >> 3;
    if (code & 4) diff += step;
    if (code & 2) diff += step >> 1;
    if (code & 1) diff += step >> 2;
    predictor += (code & 8) ? -diff : diff;
    predictor = std::max(-32767, std::min(32767, predictor));
    static const int kIndex[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    index = std::max(0, std::min(88, index + kIndex[code & 7]));
    return predictor;
  }
  void block(const uint8_t* b, int bytes, std::vector<int>* out) {
    for (int i = 0; i < bytes; ++i) {
      out->push_back(nibble(b[i] >> 4));
      out->push_back(nibble(b[i] & 15));
    }
  }
};

TEST(Adpcm, Tables) {
  for (int i = 0; i < 89; ++i) EXPECT_EQ(kSteps[i], StepSizeTable[i]) << i;
  const int8_t idx[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
  EXPECT_EQ(0, std::memcmp(idx, IndexTable, sizeof(idx)));
}

// Several signals, block sizes and decimation steps, carried over many
// blocks: the decoder tracks the coder's state after every block, and the
// decoded samples stay close to the input.
TEST(Adpcm, ReferenceDecoderTracksTheCoderAfterEveryBlock) {
  struct Case {
    const char* name;
    int step;        // word step (2 = one channel of stereo, 4 = stereo halved rate)
    int block;       // samples per block
    double min_snr;  // dB
  } cases[] = {{"sine", 2, 1024, 25},
               {"speech-like", 2, 640, 15},
               {"noise", 4, 333, 5},
               {"square", 2, 100, -100},
               {"silence", 2, 64, -100}};
  for (const Case& c : cases) {
    const int blocks = 40;
    std::vector<int16_t> pcm(static_cast<size_t>(c.step) * c.block * blocks + 8);
    uint32_t seed = 3;
    for (size_t n = 0; n < pcm.size(); ++n) {
      double v = 0;
      const double t = static_cast<double>(n / static_cast<size_t>(c.step));
      if (!std::strcmp(c.name, "sine")) v = 12000 * std::sin(t * 0.07);
      if (!std::strcmp(c.name, "speech-like")) {
        v = 9000 * std::sin(t * 0.03) * std::sin(t * 0.0011) + 3000 * std::sin(t * 0.4);
      }
      if (!std::strcmp(c.name, "noise")) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<double>(static_cast<int32_t>(seed) >> 17);
      }
      if (!std::strcmp(c.name, "square")) v = (static_cast<int>(t) / 50) % 2 ? 32767 : -32768;
      pcm[n] = static_cast<int16_t>(v);
    }
    ADPCMState st;
    ADPCMInit(&st);
    RefDecoder dec;
    std::vector<int> decoded;
    std::vector<uint8_t> out(static_cast<size_t>(c.block / 2));
    double sig = 0, err = 0;
    for (int b = 0; b < blocks; ++b) {
      const int16_t* first = pcm.data() + static_cast<size_t>(b) * c.block * c.step;
      ASSERT_EQ(c.block / 2, ADPCMEncodeBlock(out.data(), first, &st, c.block, c.step));
      decoded.clear();
      dec.block(out.data(), c.block / 2, &decoded);
      ASSERT_EQ(st.predictor, dec.predictor) << c.name << " block " << b;
      ASSERT_EQ(st.index, dec.index) << c.name << " block " << b;
      ASSERT_EQ(static_cast<size_t>(c.block / 2 * 2), decoded.size());
      for (int i = 0; i < c.block / 2 * 2; ++i) {
        const double x = first[static_cast<size_t>(i) * c.step];
        sig += x * x;
        err += (x - decoded[static_cast<size_t>(i)]) * (x - decoded[static_cast<size_t>(i)]);
      }
    }
    if (c.min_snr > -100) {
      EXPECT_GT(10 * std::log10(sig / err), c.min_snr) << c.name;
    }
  }
}

TEST(Adpcm, FullScaleSquareWaveSaturates) {
  struct Case {
    int16_t level;
    int16_t predictor;
  } cases[] = {{32767, 32767}, {-32768, -32767}, {-32767, -32767}};
  for (const Case& c : cases) {
    std::vector<int16_t> pcm(2 * 400, c.level);
    ADPCMState st;
    ADPCMInit(&st);
    std::vector<uint8_t> out(200);
    RefDecoder dec;
    std::vector<int> d;
    for (int b = 0; b < 4; ++b) {
      ASSERT_EQ(50, ADPCMEncodeBlock(out.data(), pcm.data(), &st, 100, 2));
      dec.block(out.data(), 50, &d);
      EXPECT_EQ(st.predictor, dec.predictor);
    }
    EXPECT_EQ(c.predictor, st.predictor) << c.level;
    for (int v : d) {
      ASSERT_LE(v, 32767);
      ASSERT_GE(v, -32767);
    }
  }
}

TEST(Adpcm, OddCountDropsTheLastSample) {
  const int16_t pcm[7] = {1000, 2000, 3000, 4000, 5000, 6000, 7000};
  ADPCMState a, b;
  ADPCMInit(&a);
  ADPCMInit(&b);
  uint8_t oa[4] = {0, 0, 0, 0xEE}, ob[3];
  EXPECT_EQ(3, ADPCMEncodeBlock(oa, pcm, &a, 7, 1));
  EXPECT_EQ(0xEE, oa[3]) << "no fourth byte";
  EXPECT_EQ(3, ADPCMEncodeBlock(ob, pcm, &b, 6, 1));
  EXPECT_EQ(0, std::memcmp(oa, ob, 3));
  EXPECT_EQ(a.predictor, b.predictor);
  EXPECT_EQ(a.index, b.index);
}

TEST(Adpcm, FirstSampleInTheHighNibble) {
  // From predictor 0, index 0 (step 7): +100 codes 7 (0111), -100 codes 15.
  const int16_t pcm[2] = {100, -100};
  ADPCMState st;
  ADPCMInit(&st);
  uint8_t out[1];
  ASSERT_EQ(1, ADPCMEncodeBlock(out, pcm, &st, 2, 1));
  EXPECT_EQ(0x7F, out[0]);
}

TEST(Adpcm, BadArgumentsWriteNothing) {
  int16_t pcm[4] = {};
  uint8_t out[2] = {0x55, 0x55};
  ADPCMState st;
  ADPCMInit(&st);
  EXPECT_EQ(0, ADPCMEncodeBlock(out, pcm, &st, 1, 1));
  EXPECT_EQ(0, ADPCMEncodeBlock(out, pcm, &st, 0, 1));
  EXPECT_EQ(0, ADPCMEncodeBlock(out, pcm, &st, -4, 1));
  EXPECT_EQ(0, ADPCMEncodeBlock(out, pcm, &st, 4, 0));
  EXPECT_EQ(0, ADPCMEncodeBlock(nullptr, pcm, &st, 4, 1));
  EXPECT_EQ(0, ADPCMEncodeBlock(out, nullptr, &st, 4, 1));
  EXPECT_EQ(0, ADPCMEncodeBlock(out, pcm, nullptr, 4, 1));
  EXPECT_EQ(0x55, out[0]);
}

TEST(Adpcm, QuietBlockHoldsTheSampleCount) {
  struct Case {
    int count;
    uint16_t stored;
  } cases[] = {{0, 0}, {735, 735}, {32768, 32768}, {70000, 65535}, {-5, 0}};
  for (const Case& c : cases) {
    uint8_t b[3] = {0, 0, 0xAA};
    EXPECT_EQ(2, ADPCMQuietBlock(b, c.count));
    uint16_t v;
    std::memcpy(&v, b, 2);
    EXPECT_EQ(c.stored, v) << c.count;
    EXPECT_EQ(0xAA, b[2]);
  }
}

}  // namespace
