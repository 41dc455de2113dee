// IMA ADPCM block coder of the audio streams (16 = left, 17 = right).
//
// A block is N/2 bytes for N samples, two samples per byte, the earlier one in
// the high nibble; each nibble is sign (8) and magnitude bits 4, 2, 1. Blocks
// carry no header: the decoder continues from the state the previous block of
// the same stream left, and both sides start from predictor 0, index 0 at
// every new group of pictures (ADPCMInit). The predictor is kept within
// -32767..32767.
//
// A quiet block stands for silence: 2 bytes holding the number of samples
// (16-bit, native order); it leaves the coder state unchanged.
#pragma once

#include <cstdint>

// Coder state of one stream.
struct ADPCMState {
  int16_t predictor;  // predicted sample
  uint8_t index;      // step index 0..88
};

// Step sizes (89 entries, 7 .. 32767) and index changes per code.
extern const int16_t StepSizeTable[89];
extern const int8_t IndexTable[16];

// Clears a coder state (predictor 0, index 0).
void ADPCMInit(ADPCMState* state);

// Codes `count` samples read from `first` every `step` 16-bit words (step 2
// takes one channel of interleaved stereo) into dest, which must hold
// count / 2 bytes. An odd last sample is dropped. The state after the last
// coded pair is stored back. Returns the bytes written (count / 2), or 0 for
// bad arguments (null pointers, count < 2, step < 1).
int ADPCMEncodeBlock(uint8_t* dest, const int16_t* first, ADPCMState* state, int count, int step);

// Writes the 2-byte quiet block for `count` samples (limited to 0..65535).
// Returns 2.
int ADPCMQuietBlock(uint8_t* dest, int count);
