#include "capture/audio/adpcm.h"

#include <cstring>

const int16_t StepSizeTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

const int8_t IndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

void ADPCMInit(ADPCMState* state) {
  if (!state) return;
  state->predictor = 0;
  state->index = 0;
}

namespace {

// Codes one sample; updates predictor and index.
inline unsigned encode_sample(int sample, int* predictor, int* index) {
  const int step = StepSizeTable[*index];
  int diff = sample - *predictor;
  unsigned code = 0;
  if (diff < 0) {
    code = 8;
    diff = -diff;
  }
  int vpdiff = step >> 3;
  if (diff >= step) {
    code |= 4;
    diff -= step;
    vpdiff += step;
  }
  if (diff >= (step >> 1)) {
    code |= 2;
    diff -= step >> 1;
    vpdiff += step >> 1;
  }
  if (diff >= (step >> 2)) {
    code |= 1;
    vpdiff += step >> 2;
  }
  int p = (code & 8) ? *predictor - vpdiff : *predictor + vpdiff;
  if (p > 32767) p = 32767;
  if (p < -32767) p = -32767;
  *predictor = p;
  int i = *index + IndexTable[code];
  if (i < 0) i = 0;
  if (i > 88) i = 88;
  *index = i;
  return code;
}

}  // namespace

int ADPCMEncodeBlock(uint8_t* dest, const int16_t* first, ADPCMState* state, int count, int step) {
  if (!dest || !first || !state || count < 2 || step < 1) return 0;
  int predictor = state->predictor;
  int index = state->index > 88 ? 88 : state->index;
  const int pairs = count / 2;
  const size_t stride = static_cast<size_t>(step);
  for (int i = 0; i < pairs; ++i) {
    const size_t at = 2 * static_cast<size_t>(i) * stride;
    const unsigned hi = encode_sample(first[at], &predictor, &index);
    const unsigned lo = encode_sample(first[at + stride], &predictor, &index);
    dest[i] = static_cast<uint8_t>((hi << 4) | lo);
  }
  state->predictor = static_cast<int16_t>(predictor);
  state->index = static_cast<uint8_t>(index);
  return pairs;
}

int ADPCMQuietBlock(uint8_t* dest, int count) {
  const uint16_t n = static_cast<uint16_t>(count < 0 ? 0 : count > 65535 ? 65535 : count);
  std::memcpy(dest, &n, 2);
  return 2;
}
