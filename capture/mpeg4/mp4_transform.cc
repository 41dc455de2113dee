#include "capture/mpeg4/mp4_transform.h"

#include <cstring>

#include "capture/mpeg4/mp4_dsp.h"
#include "capture/mpeg4/mp4_dsp_impl.h"
#include "capture/mpeg4/mp4_tables.h"

using dv::mp4::g_dsp;

namespace {

inline int16_t* coefs(uint8_t* work) {
  return reinterpret_cast<int16_t*>(work + dv::kDctCoefOffset);
}

// Per-block measure of the coded levels: every non-zero level counts 6, so a
// block with any non-zero level passes the device's threshold of 5.
inline uint32_t indicator(uint64_t nz) {
  return 6u * static_cast<uint32_t>(dv::mp4::popcount64(nz));
}

// Indicator of block k (block 5's shares its word with the control word).
inline uint32_t block_indicator(const uint8_t* work, int k) {
  return dv::dct_get_word(work, dv::kDctIndicatorOffset + 4 * static_cast<size_t>(k));
}

// The coded-block rule on one block: indices 1 and 8 hold the first
// horizontal and first vertical levels (in either order, depending on the
// layout).
inline bool block_coded(const int16_t* c, uint32_t ind) {
  return ind > static_cast<uint32_t>(dv::kDctCodedIndicator) || c[0] || c[1] || c[8];
}

// The mask of non-zero levels of a block read back from the device, whose
// levels are first brought into the range the bit stream can carry (a
// device fault must not turn into an unwritable code): AC levels within
// -2047..2047; for intra blocks the DC level within 0..2047 / dc_scaler.
uint64_t device_levels(int16_t* c, int intra_dc_scaler) {
  uint64_t m = 0;
  for (int i = 0; i < 64; ++i) {
    if (c[i] > 2047) c[i] = 2047;
    if (c[i] < -2047) c[i] = -2047;
    if (c[i]) m |= uint64_t{1} << i;
  }
  if (intra_dc_scaler) {
    int lmax = 2047 / intra_dc_scaler;
    if (c[0] < 0) c[0] = 0;
    if (c[0] > lmax) c[0] = static_cast<int16_t>(lmax);
    m = c[0] ? (m | 1) : (m & ~uint64_t{1});
  }
  return m;
}

void transpose_block(const int16_t* in, int16_t* out) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) out[8 * c + r] = in[8 * r + c];
}

}  // namespace

void mp4_transform_software(Mp4Transform* t) {
  t->use_device = false;
  t->device = dv::DctDevice{};
  t->scan = dv::mp4::kScanTransposed;
  t->scan_masks = dv::mp4::scan_masks_for(t->scan);
}

void mp4_transform_device(Mp4Transform* t, const dv::DctDevice& device) {
  t->use_device = true;
  t->device = device;
  t->scan = dv::mp4::kZigzag;
  t->scan_masks = dv::mp4::scan_masks_for(t->scan);
}

void mp4_device_emulate(uint8_t* work) {
  const dv::mp4::DspFunctions& k = dv::mp4::dsp_portable();
  const uint32_t control = dv::dct_get_word(work, dv::kDctControlOffset);
  const int q = static_cast<int>(control & 31);
  const bool inter = (control & 0x20) != 0;
  alignas(16) int16_t levels[384];
  alignas(16) int16_t out[384];
  uint64_t nz[6];
  if (!inter) {
    const int sl = dv::mp4::dc_scaler_luma(q), sc = dv::mp4::dc_scaler_chroma(q);
    uint8_t recon[384];
    k.mb_forward_intra(work + dv::kDctDataOffset, levels, q, sl, sc, nz);
    k.mb_recon_intra(recon, levels, q, sl, sc, nz);
    for (int i = 0; i < 384; ++i) out[i] = recon[i];
  } else {
    dv::dct_unpack_input(work + dv::kDctDataOffset, levels);
    k.mb_forward_inter(levels, q, 0, nz);
    for (int b = 0; b < 6; ++b) {
      alignas(16) int16_t tmp[64];
      k.dequant_inter(tmp, levels + 64 * b, q);
      dv::mp4::idct_portable(tmp);
      for (int i = 0; i < 64; ++i) {
        int v = tmp[i];
        out[64 * b + i] = static_cast<int16_t>(v < -256 ? -256 : (v > 255 ? 255 : v));
      }
    }
  }
  for (int b = 0; b < 6; ++b) {
    transpose_block(levels + 64 * b, coefs(work) + 64 * b);
    dv::dct_put_word(work, dv::kDctIndicatorOffset + 4 * static_cast<size_t>(b), indicator(nz[b]));
  }
  dv::dct_pack_output(out, work + dv::kDctDataOffset);
}

void __MBTransQuantIntraStep1(Mp4Transform* t, MbSlot* slot, int quant) {
  uint8_t* work = slot->work;
  slot->intra = 1;
  if (t->use_device) {
    dv::dct_put_word(work, dv::kDctControlOffset,
                     static_cast<uint32_t>(quant) | dv::kDctControlIntra);
    slot->ticket = dv::dct_device_submit(&t->device, work);
    return;
  }
  g_dsp.mb_forward_intra(work + dv::kDctDataOffset, coefs(work), quant,
                         dv::mp4::dc_scaler_luma(quant), dv::mp4::dc_scaler_chroma(quant),
                         slot->nz);
  slot->ticket = 0;
}

void __MBTransQuantIntraStep2(Mp4Transform* t, MbSlot* slot, uint8_t* ref_mb, int quant,
                              int dc[6]) {
  uint8_t* work = slot->work;
  int16_t* c = coefs(work);
  const int sl = dv::mp4::dc_scaler_luma(quant), sc = dv::mp4::dc_scaler_chroma(quant);
  if (t->use_device) {
    dv::dct_device_wait(&t->device, slot->ticket);
    const uint8_t* data = work + dv::kDctDataOffset;
    for (int g = 0; g < dv::kDctGroups; ++g)
      std::memcpy(ref_mb + 32 * g, data + dv::kDctGroupBytes * g, 32);
    for (int b = 0; b < 6; ++b) slot->nz[b] = device_levels(c + 64 * b, b < 4 ? sl : sc);
  } else {
    g_dsp.mb_recon_intra(ref_mb, c, quant, sl, sc, slot->nz);
  }
  for (int b = 0; b < 6; ++b) {
    int v = c[64 * b] * (b < 4 ? sl : sc);
    dc[b] = v > 2047 ? 2047 : v;
  }
}

void __MBTransQuantInterStep1(Mp4Transform* t, MbSlot* slot, int quant) {
  uint8_t* work = slot->work;
  slot->intra = 0;
  if (t->use_device) {
    dv::dct_pack_input(coefs(work), work + dv::kDctDataOffset);
    dv::dct_put_word(work, dv::kDctControlOffset,
                     static_cast<uint32_t>(quant) | dv::kDctControlInter);
    slot->ticket = dv::dct_device_submit(&t->device, work);
    return;
  }
  slot->ticket = 0;
  if (slot->quiet == 0x3f) {
    // Nothing to transform (the levels are not looked at).
    for (uint64_t& m : slot->nz) m = 0;
    return;
  }
  g_dsp.mb_forward_inter(coefs(work), quant, slot->quiet, slot->nz);
}

int __MBTransQuantInterStep2(Mp4Transform* t, MbSlot* slot, uint8_t* ref_mb, int quant) {
  uint8_t* work = slot->work;
  int16_t* c = coefs(work);
  int cbp = 0;
  if (!t->use_device) {
    // The software indicator counts 6 per non-zero level, so the coded-block
    // rule reduces to "any non-zero level".
    for (int b = 0; b < 6; ++b)
      if (slot->nz[b]) cbp |= 32 >> b;
    if (cbp) g_dsp.mb_recon_inter(ref_mb, c, quant, cbp, slot->nz);
    return cbp;
  }
  dv::dct_device_wait(&t->device, slot->ticket);
  for (int b = 0; b < 6; ++b) {
    slot->nz[b] = device_levels(c + 64 * b, 0);
    // A block without any non-zero level cannot be sent, whatever its
    // indicator says.
    if (slot->nz[b] && block_coded(c + 64 * b, block_indicator(work, b))) cbp |= 32 >> b;
  }
  alignas(16) int16_t rec[384];
  dv::dct_unpack_output(work + dv::kDctDataOffset, rec);
  for (int b = 0; b < 6; ++b) {
    if (!(cbp & (32 >> b))) continue;
    for (int i = 64 * b; i < 64 * b + 64; ++i) ref_mb[i] = dv::mp4::clip_pixel(ref_mb[i] + rec[i]);
  }
  return cbp;
}
