// Transform and quantisation kernels of libjcodec.
//
// A kernel takes 8x8 blocks of 8-bit samples (64 bytes each, row-major,
// contiguous) of one kind (luma or chroma, which selects the quantiser
// rounding) and writes, per block, the 64 quantised coefficients in zigzag
// order as signed 8-bit values (-127..127) and a mask of the nonzero ones
// (bit k set when coefficient k in zigzag order is nonzero).
//
// The transform is an accurate integer DCT (13-bit constants, columns first,
// two extra bits of precision between the passes, output scaled by 8); the
// quantiser divides each coefficient by 8 x qtable through exact reciprocal
// multiplies, rounding with a per-position offset (see jcodec_quant). Every kernel gives
// bit-identical output: the table starts with the portable reference and jcodec_dsp_init() replaces
// entries with the fastest version the CPU runs.
#pragma once

#include <cstdint>

namespace dv {

// kind: 0 = luma blocks, 1 = chroma blocks.
using JcodecBlocksFn = void (*)(const uint8_t* samples, int nblocks, int kind, int8_t* zz,
                                uint64_t* masks);

struct JcodecDsp {
  const char* name;
  JcodecBlocksFn quant_blocks;
};

// The kernels in use (portable until jcodec_dsp_init() is called).
extern JcodecDsp jcodec_dsp;

// Selects the kernels: level 0 = portable reference, any other value = the
// best the CPU supports. Returns the name of the selected set. The coder calls
// jcodec_dsp_default() before its first picture: it selects the best set
// unless jcodec_dsp_init was called before (or DEEPVAULT_JCODEC_PORTABLE is
// set in the environment, which keeps the portable kernels).
const char* jcodec_dsp_init(int level = 1);
void jcodec_dsp_default();

// The portable reference kernel.
void jcodec_quant_blocks_c(const uint8_t* samples, int nblocks, int kind, int8_t* zz,
                           uint64_t* masks);

#if defined(__x86_64__) || defined(__i386__)
// AVX2 kernel (only call when the CPU has AVX2).
void jcodec_quant_blocks_avx2(const uint8_t* samples, int nblocks, int kind, int8_t* zz,
                              uint64_t* masks);
bool jcodec_cpu_has_avx2();
#endif

// Quantiser tables shared by the kernels, indexed by natural position
// (row * 8 + column): q = ((|c| + bias) * mult) >> 20, at most 127, and 0
// when |c| < zero, where c
// is the transform output (8x the coefficient) and mult = ceil(2^20 / d) for
// the divisor d = 8 x qtable. bias = d/2 rounds to nearest; a smaller bias
// widens the zero zone, which saves more bits than it costs in error.
struct JcodecQuant {
  uint16_t mult[64];
  uint16_t bias[64];
  uint16_t zero[64];  // |c| below this quantises to 0
};
const JcodecQuant& jcodec_quant(int kind);

// Zigzag order: natural position of the k-th coefficient.
extern const uint8_t kJpegNaturalOrder[64];

}  // namespace dv
