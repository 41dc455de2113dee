// Constants of the integer forward DCT shared by the kernels.
//
// The 1-D transform is the Loeffler-Ligtenberg-Moschytz factorisation with
// 13-bit constants (FIX(x) = round(x * 8192)). Every multiplication is written
// as a sum of two products, a*c1 + b*c2, so that the vector kernels can use a
// multiply-add on interleaved 16-bit pairs and get the same integers.
#pragma once

#include <cstdint>

namespace dv::fdct {

inline constexpr int kConstBits = 13;
inline constexpr int kPass1Bits = 2;

inline constexpr int32_t F0298 = 2446;   // FIX(0.298631336)
inline constexpr int32_t F0390 = 3196;   // FIX(0.390180644)
inline constexpr int32_t F0541 = 4433;   // FIX(0.541196100)
inline constexpr int32_t F0765 = 6270;   // FIX(0.765366865)
inline constexpr int32_t F0899 = 7373;   // FIX(0.899976223)
inline constexpr int32_t F1175 = 9633;   // FIX(1.175875602)
inline constexpr int32_t F1501 = 12299;  // FIX(1.501321110)
inline constexpr int32_t F1847 = 15137;  // FIX(1.847759065)
inline constexpr int32_t F1961 = 16069;  // FIX(1.961570560)
inline constexpr int32_t F2053 = 16819;  // FIX(2.053119869)
inline constexpr int32_t F2562 = 20995;  // FIX(2.562915447)
inline constexpr int32_t F3072 = 25172;  // FIX(3.072711026)

// Even part: out2 = tmp13*kE2a + tmp12*kE2b, out6 = tmp13*kE6a + tmp12*kE6b.
inline constexpr int32_t kE2a = F0541 + F0765, kE2b = F0541;
inline constexpr int32_t kE6a = F0541, kE6b = F0541 - F1847;
// Odd part: z3' = z3*kZ3a + z4*kZ3b, z4' = z3*kZ4a + z4*kZ4b.
inline constexpr int32_t kZ3a = F1175 - F1961, kZ3b = F1175;
inline constexpr int32_t kZ4a = F1175, kZ4b = F1175 - F0390;
// out7 = tmp4*kO7a + tmp7*kO7b + z3', out1 = tmp4*kO1a + tmp7*kO1b + z4',
// out5 = tmp5*kO5a + tmp6*kO5b + z4', out3 = tmp5*kO3a + tmp6*kO3b + z3'.
inline constexpr int32_t kO7a = F0298 - F0899, kO7b = -F0899;
inline constexpr int32_t kO1a = -F0899, kO1b = F1501 - F0899;
inline constexpr int32_t kO5a = F2053 - F2562, kO5b = -F2562;
inline constexpr int32_t kO3a = -F2562, kO3b = F3072 - F2562;

}  // namespace dv::fdct
