// libjcodec: header, code tables, entropy coder, picture loop and the
// Motion-JPEG entry points.
//
// Entropy coding is table driven. Every code the coder emits (DC difference,
// AC (run, value), end of block, zero run) is a precomputed 20-byte entry per
// bit position 0..7 of the current output byte: two ready strings of 10 bytes,
// the code already shifted to that bit position and already byte-stuffed. The
// first string serves a current byte whose bits are not all ones, the second
// one whose bits are (the joined byte may then become 0xFF and need a 0x00).
// String layout: bytes 0..7 output (byte 0 is OR-ed into the current byte,
// the rest stored), byte 8 = whole bytes to advance, byte 9 = the new bit
// position as the coder's next state (bit position x 20, + 10 when the new
// current byte holds only one-bits: the offset of the string the next code
// uses within its entry group). While a string is built, byte 9 counts its
// bits (bit position + code bits + 8 per stuffed byte).
#include "lib/jcodec/jcodec.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "lib/jcodec/jcodec_dsp.h"

extern "C" {

uint8_t qtable[64] = {16,  8,   8,   16,  12,  8,  16, 16,  16,  16,  16,  16,  16, 16,  16,  32,
                      32,  16,  16,  16,  16,  32, 32, 32,  32,  32,  64,  64,  64, 64,  64,  64,
                      64,  64,  64,  64,  64,  64, 64, 64,  64,  64,  64,  64,  64, 128, 64,  64,
                      128, 128, 128, 128, 128, 64, 64, 128, 128, 128, 128, 128, 64, 128, 128, 128};

uint8_t huffmancount[4][16] = {
    {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},      // DC 0 (Table K.3)
    {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},   // AC 0 (Table K.5)
    {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},      // DC 1
    {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d}};  // AC 1

uint8_t huffDCvalues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

uint8_t huffACvalues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

uint8_t jpegheader[JPEG_HEADER_SIZE];
uint8_t* jpeg_buf = nullptr;

}  // extern "C"

namespace {

// Process-wide coder state (the library is not reentrant).
int g_width = 0;  // current picture size in pixels
int g_height = 0;
unsigned g_bitpos = 0;  // bits already used in *jpeg_buf
int g_dc_pred[3] = {0, 0, 0};
uint8_t* g_ac_table = nullptr;  // JPEG_AC_ENTRIES entries
uint8_t* g_dc_table = nullptr;  // kDcEntries entries

constexpr int kDcRange = 255;  // DC differences -255..255
constexpr int kDcEntries = (2 * kDcRange + 1) * 8;
// AC codes are addressed by (value + 127) * 16 + run; the entry of bit
// position p is that index * 8 + p (= (value + 127) * 128 + run * 8 + p).
constexpr int kEobCode = 127 * 16;       // value 0, run 0
constexpr int kZrlCode = 127 * 16 + 15;  // value 0, run 15

// Room the coder needs before a macroblock: 6 blocks of at most 68 codes
// (DC, 63 AC, 3 zero runs, end of block) of at most 7 bytes each, the 8-byte
// stores of the last code, and the tail (padding byte, its stuffing byte and
// the end marker).
constexpr int kCodeMax = 7;
constexpr int kBlockCodesMax = 68;
constexpr int kTail = 4;
constexpr int kBlockRoom = kBlockCodesMax * kCodeMax + 8;
constexpr int kMbRoom = 6 * kBlockCodesMax * kCodeMax + 8 + kTail;

const char kMemoryMessage[] = "Not enough memory to generate jpeg\n";

// Canonical Huffman codes of one table (T.81 Annex C).
struct HuffCode {
  uint16_t code[256];
  uint8_t length[256];
};

void make_codes(const uint8_t* counts, const uint8_t* values, HuffCode* out) {
  std::memset(out, 0, sizeof(*out));
  unsigned code = 0;
  int k = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < counts[len - 1]; ++i, ++k) {
      out->code[values[k]] = static_cast<uint16_t>(code);
      out->length[values[k]] = static_cast<uint8_t>(len);
      ++code;
    }
    code <<= 1;
  }
}

int size_category(int v) {
  unsigned a = static_cast<unsigned>(v < 0 ? -v : v);
  return a == 0 ? 0 : static_cast<int>(std::bit_width(a));
}

// Value bits of v in its size category (negative values as v - 1).
uint32_t value_bits(int v, int size) {
  if (v >= 0) return static_cast<uint32_t>(v);
  return static_cast<uint32_t>(v + (1 << size) - 1);
}

// Coder state: where the next code's string starts within its group of
// entries (the code at bit positions 0..7, 160 bytes): bit position x 20,
// + 10 for the second string when the current byte holds only one-bits.
constexpr int kGroup = 8 * JPEG_ENTRY_SIZE;  // one code at the eight bit positions

inline uint32_t state_of(uint32_t bitpos, uint32_t cur) {
  const bool ones = ((cur | (0xFFu >> bitpos)) & 0xFFu) == 0xFFu;
  return bitpos * JPEG_ENTRY_SIZE + (ones ? 10 : 0);
}

// Fills one 20-byte entry with the code `bits` (nbits long) at bit position p.
void build_entry(uint8_t* e, uint32_t bits, int nbits, int p) {
  for (int variant = 0; variant < 2; ++variant) {
    uint8_t* s = e + 10 * variant;
    std::memset(s, 0, 10);
    s[9] = static_cast<uint8_t>(p + nbits);
    // The current byte's p used bits: all ones for the second string; for the
    // first they are taken as zeros (some of them are), so the joined byte
    // never needs stuffing.
    uint64_t acc = variant ? (1u << p) - 1 : 0;
    int accbits = p + nbits;
    acc = (acc << nbits) | bits;
    int counter = 0;
    while (accbits >= 8) {
      const uint8_t byte = static_cast<uint8_t>(acc >> (accbits - 8));
      accbits -= 8;
      if (variant) {
        push_byte_to_element_FF(e, &counter, byte);
      } else {
        push_byte_to_element(e, &counter, byte);
      }
    }
    if (accbits > 0) s[counter] = static_cast<uint8_t>(acc << (8 - accbits));
    // Byte 8: whole bytes to advance. Byte 9: from the bit count to the
    // state of the next code (its bit position x 20, + 10 when the new current
    // byte holds only one-bits).
    const unsigned np = s[9] & 7u;
    s[8] = static_cast<uint8_t>(s[9] >> 3);
    s[9] = static_cast<uint8_t>(state_of(np, s[counter]));
  }
}

// The bit writer the hot loop keeps in registers: output pointer, the
// current byte, and the state: the offset of the string to use within the
// next code's 160-byte group (bit position x 20, + 10 for the second string).
struct Vlc {
  uint8_t* p;
  uint32_t cur;
  uint32_t st;
};

inline Vlc vlc_load() {
  Vlc v;
  v.p = jpeg_buf;
  const uint32_t bitpos = g_bitpos & 7;
  v.cur = bitpos ? *v.p : 0;
  v.st = state_of(bitpos, v.cur);
  return v;
}

inline void vlc_store(const Vlc& v) {
  jpeg_buf = v.p;
  g_bitpos = v.st / JPEG_ENTRY_SIZE;
  if (g_bitpos) *v.p = static_cast<uint8_t>(v.cur);
}

// Emits one code given its group (the code's entries for bit positions 0..7).
[[gnu::always_inline]] inline void put(Vlc& v, const uint8_t* group) {
  const uint8_t* e = group + v.st;
  const uint32_t adv = e[8];
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t w;
    std::memcpy(&w, e, 8);
    w |= v.cur;
    std::memcpy(v.p, &w, 8);
    v.cur = static_cast<uint32_t>(w >> (adv * 8)) & 0xFF;
  } else {
    v.p[0] = static_cast<uint8_t>(e[0] | v.cur);
    std::memcpy(v.p + 1, e + 1, 7);
    v.cur = v.p[adv];
  }
  v.p += adv;
  v.st = e[9];
}

inline const uint8_t* ac_group(int code) { return g_ac_table + static_cast<size_t>(code) * kGroup; }

// Codes one block: zz in zigzag order, mask of its nonzero coefficients. The
// codes' groups are listed first (independent work the processor overlaps),
// then emitted in one dependent chain.
[[gnu::always_inline]] inline void code_block(Vlc& v, const int8_t* zz, uint64_t mask, int* pred) {
  const uint8_t* groups[kBlockCodesMax];
  int n = 0;
  const int dc = zz[0];
  const int diff = dc - *pred;
  *pred = dc;
  groups[n++] = g_dc_table + static_cast<size_t>(diff + kDcRange) * kGroup;
  uint64_t m = mask >> 1;  // AC coefficient k at bit k - 1
  int pos = 1;
  while (m) {
    const int z = std::countr_zero(m);
    int run = z;
    pos += z;
    while (run > 15) {
      groups[n++] = ac_group(kZrlCode);
      run -= 16;
    }
    groups[n++] = ac_group((zz[pos] + 127) * 16 + run);
    m = (m >> z) >> 1;
    ++pos;
  }
  if (pos < 64) groups[n++] = ac_group(kEobCode);
  for (int i = 0; i < n; ++i) put(v, groups[i]);
}

// Copies the six blocks of macroblock (i, j) out of the ZARN3 picture (width
// w): four luma blocks, Cb, Cr; 64 bytes each.
inline void gather_mb(const uint8_t* src, int w, int i, int j, uint8_t* blk) {
  const size_t rec = 3 * static_cast<size_t>(w);
  const uint8_t* base = src + static_cast<size_t>(8 * i) * rec;
  for (int k = 0; k < 8; ++k) {
    const uint8_t* rp = base + k * rec;
    const uint8_t* up = rp + 32 * j;          // upper line: Y Cb Cr Y Cb Cr
    const uint8_t* lo = rp + 2 * w + 16 * j;  // lower line: 16 Y
    uint8_t* y = blk + (k >= 4 ? 128 : 0) + 16 * (k & 3);
    std::memcpy(y, up, 8);
    std::memcpy(y + 8, lo, 8);
    std::memcpy(y + 64, up + 16, 8);
    std::memcpy(y + 72, lo + 8, 8);
    std::memcpy(blk + 256 + 8 * k, up + 8, 4);
    std::memcpy(blk + 260 + 8 * k, up + 24, 4);
    std::memcpy(blk + 320 + 8 * k, up + 12, 4);
    std::memcpy(blk + 324 + 8 * k, up + 28, 4);
  }
}

// One block (r, c) of a component into 64 bytes.
void gather_block(const uint8_t* src, int w, int r, int c, int component, uint8_t* blk) {
  const size_t rec = 3 * static_cast<size_t>(w);
  if (component == 0) {
    for (int k = 0; k < 4; ++k) {
      const uint8_t* rp = src + static_cast<size_t>(4 * r + k) * rec;
      std::memcpy(blk + 16 * k, rp + 16 * c, 8);
      std::memcpy(blk + 16 * k + 8, rp + 2 * w + 8 * c, 8);
    }
  } else {
    const int off = component == 1 ? 8 : 12;
    for (int k = 0; k < 8; ++k) {
      const uint8_t* rp = src + static_cast<size_t>(8 * r + k) * rec + 32 * c + off;
      std::memcpy(blk + 8 * k, rp, 4);
      std::memcpy(blk + 8 * k + 4, rp + 16, 4);
    }
  }
}

// The change sample of a luma block: low 8 bits of the row-pass DC term of its
// first line, (sum of the eight level-shifted samples x 11585) >> 13.
inline uint8_t change_sample(const uint8_t* blk) {
  int s = -1024;
  for (int k = 0; k < 8; ++k) s += blk[k];
  return static_cast<uint8_t>((s * 11585) >> 13);
}

// Codes the six blocks of one macroblock.
[[gnu::always_inline]] inline void code_mb(Vlc& v, const int8_t* zz, const uint64_t* masks) {
  code_block(v, zz, masks[0], &g_dc_pred[0]);
  code_block(v, zz + 64, masks[1], &g_dc_pred[0]);
  code_block(v, zz + 128, masks[2], &g_dc_pred[0]);
  code_block(v, zz + 192, masks[3], &g_dc_pred[0]);
  code_block(v, zz + 256, masks[4], &g_dc_pred[1]);
  code_block(v, zz + 320, masks[5], &g_dc_pred[2]);
}

}  // namespace

extern "C" {

void push_byte_to_data(uint8_t* buffer, int* counter, uint8_t byte) {
  if (*counter < 0 || *counter >= 10) return;
  buffer[*counter] = byte;
  ++*counter;
}

void push_byte_to_data_FF(uint8_t* buffer, int* counter, uint8_t byte) {
  if (*counter < 0 || *counter >= 10) return;
  buffer[10 + *counter] = byte;
  ++*counter;
}

static void push_to_string(uint8_t* s, int* counter, uint8_t byte) {
  if (*counter < 0 || *counter >= 8) return;
  s[*counter] = byte;
  ++*counter;
  if (byte == 0xFF && *counter < 8) {
    s[*counter] = 0x00;
    ++*counter;
    s[9] = static_cast<uint8_t>(s[9] + 8);
  }
}

void push_byte_to_element(uint8_t* entry, int* counter, uint8_t byte) {
  push_to_string(entry, counter, byte);
}

void push_byte_to_element_FF(uint8_t* entry, int* counter, uint8_t byte) {
  push_to_string(entry + 10, counter, byte);
}

void swap_endian(uint32_t* word) {
  const uint32_t w = *word;
  *word = (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}

void ConvertDCMagnitudeC(int category, int* code, int* length) {
  static const HuffCode dc = [] {
    HuffCode h;
    make_codes(huffmancount[0], huffDCvalues, &h);
    return h;
  }();
  if (category < 0 || category > 11) {
    *code = 0;
    *length = 0;
    return;
  }
  *code = dc.code[category];
  *length = dc.length[category];
}

int init_stream_table(void) {
  if (g_ac_table && g_dc_table) return 0;
  dv::jcodec_dsp_default();
  free_stream_table();
  g_ac_table = new (std::nothrow) uint8_t[static_cast<size_t>(JPEG_AC_ENTRIES) * JPEG_ENTRY_SIZE];
  g_dc_table = new (std::nothrow) uint8_t[static_cast<size_t>(kDcEntries) * JPEG_ENTRY_SIZE];
  if (!g_ac_table || !g_dc_table) {
    free_stream_table();
    return -1;
  }
  HuffCode ac;
  make_codes(huffmancount[1], huffACvalues, &ac);
  for (int value = -127; value <= 128; ++value) {
    for (int run = 0; run < 16; ++run) {
      const int size = size_category(value);
      const int symbol = (run << 4) | size;
      uint32_t bits = 0;
      int nbits = 0;
      if (value != 0 || run == 0 || run == 15) {
        nbits = ac.length[symbol] + size;
        bits = (static_cast<uint32_t>(ac.code[symbol]) << size) | value_bits(value, size);
      }
      for (int p = 0; p < 8; ++p) {
        build_entry(
            g_ac_table + static_cast<size_t>(((value + 127) * 16 + run) * 8 + p) * JPEG_ENTRY_SIZE,
            bits, nbits, p);
      }
    }
  }
  for (int diff = -kDcRange; diff <= kDcRange; ++diff) {
    const int size = size_category(diff);
    int code = 0, length = 0;
    ConvertDCMagnitudeC(size, &code, &length);
    const uint32_t bits = (static_cast<uint32_t>(code) << size) | value_bits(diff, size);
    for (int p = 0; p < 8; ++p) {
      build_entry(g_dc_table + static_cast<size_t>((diff + kDcRange) * 8 + p) * JPEG_ENTRY_SIZE,
                  bits, length + size, p);
    }
  }
  return 0;
}

void free_stream_table(void) {
  delete[] g_ac_table;
  delete[] g_dc_table;
  g_ac_table = nullptr;
  g_dc_table = nullptr;
}

void vlc_init_start(void) { g_dc_pred[0] = g_dc_pred[1] = g_dc_pred[2] = 0; }

void endwriteraw(void) {
  if (!jpeg_buf || g_bitpos == 0) return;
  *jpeg_buf = static_cast<uint8_t>(*jpeg_buf | (0xFFu >> g_bitpos));
  if (*jpeg_buf == 0xFF) *++jpeg_buf = 0x00;
  ++jpeg_buf;
  g_bitpos = 0;
}

void vlc_stop_done(void) { endwriteraw(); }

void put_char(uint8_t byte) {
  if (jpeg_buf) *jpeg_buf++ = byte;
}

void writejpegfooter(void) {
  put_char(0xFF);
  put_char(0xD9);
}

int writejpegheader(uint8_t* buf) {
  if (!buf || g_width <= 0 || g_height <= 0 || g_width > 65535 || g_height > 65535) return 0;
  uint8_t* p = buf;
  auto b = [&p](unsigned v) { *p++ = static_cast<uint8_t>(v); };
  auto w16 = [&b](unsigned v) {
    b(v >> 8);
    b(v & 0xFF);
  };
  w16(0xFFD8);  // SOI
  // APP0 (JFIF)
  w16(0xFFE0);
  w16(16);  // length
  for (char c : {'J', 'F', 'I', 'F', '\0'}) b(static_cast<uint8_t>(c));
  b(1);  // version 1.00
  b(0);
  b(0);    // units: none (aspect ratio only)
  w16(1);  // X density
  w16(1);  // Y density
  b(0);    // thumbnail width
  b(0);    // thumbnail height
  // DQT: tables 0 and 1, 8-bit precision, zigzag order
  w16(0xFFDB);
  w16(132);
  for (int t = 0; t < 2; ++t) {
    b(static_cast<unsigned>(t));  // precision 0, table id
    for (int k = 0; k < 64; ++k) b(qtable[k]);
  }
  // SOF0: baseline, 8-bit, 3 components 4:2:0
  w16(0xFFC0);
  w16(17);
  b(8);  // sample precision
  w16(static_cast<unsigned>(g_height));
  w16(static_cast<unsigned>(g_width));
  b(3);                 // components
  b(1), b(0x22), b(0);  // Y: 2x2 sampling, table 0
  b(2), b(0x11), b(1);  // Cb: 1x1, table 1
  b(3), b(0x11), b(1);  // Cr: 1x1, table 1
  // DHT: DC 0, AC 0, DC 1, AC 1
  w16(0xFFC4);
  w16(418);
  static const unsigned kClassId[4] = {0x00, 0x10, 0x01, 0x11};
  for (int t = 0; t < 4; ++t) {
    b(kClassId[t]);
    int n = 0;
    for (int i = 0; i < 16; ++i) {
      b(huffmancount[t][i]);
      n += huffmancount[t][i];
    }
    const uint8_t* values = (t & 1) ? huffACvalues : huffDCvalues;
    for (int i = 0; i < n; ++i) b(values[i]);
  }
  // SOS: 3 components, full spectral range, no successive approximation
  w16(0xFFDA);
  w16(12);
  b(3);
  b(1), b(0x00);  // Y: DC table 0, AC table 0
  b(2), b(0x11);  // Cb: DC 1, AC 1
  b(3), b(0x11);  // Cr: DC 1, AC 1
  b(0);           // Ss
  b(63);          // Se
  b(0);           // Ah/Al
  return static_cast<int>(p - buf);
}

void EncodeDataUnit(const int8_t* coeffs, int component, int nonzero) {
  if (!coeffs || component < 0 || component > 2 || !jpeg_buf) return;
  if (init_stream_table() != 0) return;
  // The DC difference is always coded; AC coding ends once `nonzero`
  // nonzero coefficients (the DC one included) have been coded.
  int8_t zz[64];
  uint64_t mask = 0;
  int left = nonzero;
  for (int k = 0; k < 64; ++k) {
    zz[k] = coeffs[k] == -128 ? static_cast<int8_t>(-127) : coeffs[k];
    if (zz[k] != 0 && left > 0) {
      mask |= uint64_t{1} << k;
      --left;
    }
  }
  Vlc v = vlc_load();
  code_block(v, zz, mask, &g_dc_pred[component]);
  vlc_store(v);
}

int dct(const uint8_t* src, int block_row, int block_col, int component) {
  if (!src || !jpeg_buf || g_width <= 0 || g_height <= 0) return -1;
  const int unit = component == 0 ? 8 : 16;
  if (component < 0 || component > 2 || block_row < 0 || block_col < 0 ||
      block_row >= g_height / unit || block_col >= g_width / unit) {
    return -1;
  }
  if (init_stream_table() != 0) return -1;
  uint8_t blk[64];
  int8_t zz[64];
  uint64_t mask;
  gather_block(src, g_width, block_row, block_col, component, blk);
  dv::jcodec_dsp.quant_blocks(blk, 1, component == 0 ? 0 : 1, zz, &mask);
  Vlc v = vlc_load();
  code_block(v, zz, mask, &g_dc_pred[component]);
  vlc_store(v);
  return change_sample(blk);
}

int fast_jpeg_compress(uint8_t* dest, int capacity, const uint8_t* src, MJPEGHandle* handle,
                       uint8_t mb_cols, uint8_t mb_rows) {
  g_width = 16 * mb_cols;
  g_height = 16 * mb_rows;
  if (handle) handle->activity = 0;
  vlc_init_start();
  g_bitpos = 0;
  if (init_stream_table() != 0) {
    std::fputs(kMemoryMessage, stderr);
    return -1;
  }
  const int header = writejpegheader(jpegheader);
  if (header == 0) {
    std::fputs("Can't generate jpeg header", stderr);
    return -1;
  }
  if (!dest || !src || capacity <= header) {
    std::fputs(kMemoryMessage, stderr);
    return -1;
  }
  uint8_t* const end = dest + capacity;
  std::memcpy(dest, jpegheader, static_cast<size_t>(header));
  dest[header] = 0;
  jpeg_buf = dest + header;

  alignas(32) uint8_t blk[6 * 64];
  alignas(32) int8_t zz[6 * 64];
  uint64_t masks[6];
  const int row_budget = mb_cols * JPEG_MB_BUDGET + 2;
  const dv::JcodecBlocksFn quant_blocks = dv::jcodec_dsp.quant_blocks;
  int counted = 0;
  bool failed = false;
  Vlc v = vlc_load();
  for (int i = 0; i < mb_rows && !failed; ++i) {
    if (row_budget >= end - v.p) {
      failed = true;
      break;
    }
    for (int j = 0; j < mb_cols; ++j) {
      gather_mb(src, g_width, i, j, blk);
      quant_blocks(blk, 4, 0, zz, masks);
      quant_blocks(blk + 256, 2, 1, zz + 256, masks + 4);
      if (end - v.p >= kMbRoom) {
        code_mb(v, zz, masks);
      } else {
        // Near the end: code into a scratch area and keep the result only if
        // it fits, so nothing is ever stored past the end.
        static uint8_t scratch[kMbRoom + 8];
        scratch[0] = static_cast<uint8_t>(v.cur);
        Vlc s{scratch, v.cur, v.st};
        code_mb(s, zz, masks);
        const ptrdiff_t whole = s.p - scratch;
        if (whole + kTail > end - v.p) {
          failed = true;
          break;
        }
        scratch[whole] = static_cast<uint8_t>(s.cur);
        std::memcpy(v.p, scratch, static_cast<size_t>(whole) + 1);
        v.p += whole;
        v.cur = s.cur;
        v.st = s.st;
      }
      if (handle && i < MJPEG_MASK_ROWS && j < MJPEG_MASK_COLS) {
        const int mb = i * MJPEG_MASK_COLS + j;
        if (handle->mask[mb]) {
          const int avg = (change_sample(blk) + change_sample(blk + 64) + change_sample(blk + 128) +
                           change_sample(blk + 192)) >>
                          2;
          const int diff = avg - handle->previous[mb];
          if (diff > 64 || diff < -64) {
            handle->previous[mb] = static_cast<uint8_t>(avg);
            ++counted;
          }
        }
      }
    }
  }
  vlc_store(v);
  if (handle) {
    int activity = 3 * counted - 30;
    if (activity < 0) activity = 0;
    if (activity > MJPEG_MASK_SIZE) activity = MJPEG_MASK_SIZE;
    handle->activity = static_cast<uint32_t>(activity);
  }
  if (failed) {
    std::fputs(kMemoryMessage, stderr);
    return -1;
  }
  endwriteraw();
  writejpegfooter();
  return static_cast<int>(jpeg_buf - dest);
}

MJPEGHandle* MJPEGencodeOPEN(const uint8_t* mask) {
  MJPEGHandle* h = new (std::nothrow) MJPEGHandle;
  if (!h) return nullptr;
  if (mask) {
    std::memcpy(h->mask, mask, MJPEG_MASK_SIZE);
  } else {
    std::memset(h->mask, 1, MJPEG_MASK_SIZE);
  }
  std::memset(h->previous, 0, MJPEG_MASK_SIZE);
  h->activity = 0;
  h->width = 16 * MJPEG_MASK_COLS;
  h->height = 16 * MJPEG_MASK_ROWS;
  return h;
}

int MJPEGencodeSIZE(MJPEGHandle* handle, int width, int height) {
  if (!handle || width <= 0 || height <= 0 || width % 16 != 0 || height % 16 != 0 ||
      width > 16 * 255 || height > 16 * 255) {
    return -1;
  }
  handle->width = static_cast<uint16_t>(width);
  handle->height = static_cast<uint16_t>(height);
  return 0;
}

int MJPEGencodeENCODE(MJPEGHandle* handle, uint8_t* dest, const uint8_t* src, int frame_kind,
                      void* stats, int capacity) {
  (void)frame_kind;
  if (!handle || !dest || !src || capacity <= 0) return 0;
  const int size =
      fast_jpeg_compress(dest, capacity, src, handle, static_cast<uint8_t>(handle->width / 16),
                         static_cast<uint8_t>(handle->height / 16));
  if (size <= 0) return 0;
  if (stats) {
    const uint32_t activity = handle->activity;
    std::memcpy(static_cast<uint8_t*>(stats) + 12, &activity, 4);
  }
  return size;
}

void MJPEGencodeCLOSE(MJPEGHandle* handle) { delete handle; }

}  // extern "C"

namespace dv {

size_t jcodec_max_size(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const size_t mbs =
      static_cast<size_t>((width + 15) / 16) * static_cast<size_t>((height + 15) / 16);
  return JPEG_HEADER_SIZE + mbs * kMbRoom + 16;
}

int jcodec_encode_zarn3(const uint8_t* zarn3, int width, int height, uint8_t* dest,
                        size_t capacity) {
  if (!zarn3 || !dest || width <= 0 || height <= 0 || width % 16 != 0 || height % 16 != 0 ||
      width > 16 * 255 || height > 16 * 255) {
    return -1;
  }
  const int cap = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
  return fast_jpeg_compress(dest, cap, zarn3, nullptr, static_cast<uint8_t>(width / 16),
                            static_cast<uint8_t>(height / 16));
}

}  // namespace dv
