// Helpers and macroblock loops shared by the kernel sets of mp4_dsp: a set
// provides block kernels as static member functions of a struct K, and
// MbKernels<K> builds the macroblock entries of DspFunctions from them (the
// AVX2 set, which works on pairs of blocks, takes the same decisions in its
// own loops). Every short cut here gives exactly what the full computation
// gives (for example the DC-only IDCT).
#pragma once

#include <cstdint>
#include <cstring>

#include "capture/mpeg4/mp4_dsp.h"

namespace dv::mp4 {

// Value of every sample of the IDCT of a block whose only non-zero
// coefficient is the DC coefficient d (|d| <= 2047): the row pass turns the
// DC-only row into 8 d, the column pass gives W4 (8 d + 32) >> 20 with
// W4 = 16383.
inline int idct_dc_only_value(int d) { return (16383 * (8 * d + 32)) >> 20; }

inline uint8_t clip_pixel(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline int dequant_inter_level(int level, int q) {
  if (level == 0) return 0;
  int a = 2 * q * (level < 0 ? -level : level) + ((q - 1) | 1);
  return level < 0 ? -a : a;
}

// Intra DC level: F / dc_scaler rounded to nearest, limited to 0..2047 /
// dc_scaler so that the reconstructed DC never exceeds 2047.
inline int quant_intra_dc(int f, int dc_scaler) {
  int level = f >= 0 ? (f + dc_scaler / 2) / dc_scaler : 0;
  int lmax = 2047 / dc_scaler;
  return level > lmax ? lmax : level;
}

// Inter blocks whose first DCT pass shows that no level can be non-zero skip
// the second pass and the quantiser. After the first (vertical) pass, with
// y[u][c] its 16-bit outputs (4 fractional bits), every coefficient of row u
// is |F(u, v)| <= (16069 B_u + 2^18) >> 19 where B_u = sum over c of
// |y[u][c]| (16069 being the largest 15-bit DCT constant), and the inter
// quantiser gives level 0 for every |F| <= q/2 + 2q - 1. So a block whose
// B_u all stay within this bound quantises to all zero: the short cut never
// changes a result.
inline int inter_skip_bound(int q) {
  int lim = q / 2 + 2 * q - 1;
  return static_cast<int>(((static_cast<int64_t>(lim) + 1) * (1 << 19) - (1 << 18) - 1) / 16069);
}

template <class K>
struct MbKernels {
  static void forward_intra(const uint8_t* pix, int16_t* coef, int q, int dcs_luma, int dcs_chroma,
                            uint64_t nz[6]) {
    for (int k = 0; k < 6; ++k) {
      nz[k] = K::fdct_quant_intra(pix + 64 * k, coef + 64 * k, q, k < 4 ? dcs_luma : dcs_chroma);
    }
  }

  static void forward_inter(int16_t* coef, int q, unsigned zero, uint64_t nz[6]) {
    const int bound = inter_skip_bound(q);
    for (int k = 0; k < 6; ++k) {
      if (zero & (1u << k)) {
        K::zero_block(coef + 64 * k);
        nz[k] = 0;
      } else {
        nz[k] = K::fdct_quant_inter(coef + 64 * k, q, bound);
      }
    }
  }

  static void recon_intra(uint8_t* mb, const int16_t* levels, int q, int dcs_luma, int dcs_chroma,
                          const uint64_t nz[6]) {
    for (int k = 0; k < 6; ++k) {
      int s = k < 4 ? dcs_luma : dcs_chroma;
      if ((nz[k] & ~uint64_t{1}) == 0) {
        std::memset(mb + 64 * k, clip_pixel(idct_dc_only_value(levels[64 * k] * s)), 64);
      } else {
        K::dequant_idct_put(mb + 64 * k, levels + 64 * k, q, s, nz[k]);
      }
    }
  }

  static void recon_inter(uint8_t* mb, const int16_t* levels, int q, int cbp,
                          const uint64_t nz[6]) {
    for (int k = 0; k < 6; ++k) {
      if (!(cbp & (32 >> k))) continue;
      if (nz[k] == 1) {
        K::add_constant(mb + 64 * k, idct_dc_only_value(dequant_inter_level(levels[64 * k], q)));
      } else {
        K::dequant_idct_add(mb + 64 * k, levels + 64 * k, q, nz[k]);
      }
    }
  }
};

}  // namespace dv::mp4
