// libjcodec: the JPEG encoder of the recorder. It codes one picture of the
// capture driver's ZARN3 layout (lib/devices/zarn3.h) into a baseline JFIF
// JPEG (4:2:0, fixed quantisation and Huffman tables, no restart markers) and,
// with a Motion-JPEG handle, measures how much the picture changed since the
// previous one.
//
// Users: camtap codes its Motion-JPEG streams through MJPEGencodeOPEN /
// MJPEGencodeSIZE / MJPEGencodeENCODE / MJPEGencodeCLOSE; snapbot calls
// fast_jpeg_compress for snapshots; tools and benchmarks use
// dv::jcodec_encode_zarn3. Every process calls free_stream_table once before
// it exits.
//
// Not reentrant: the output cursor (jpeg_buf), the bit position, the DC
// predictors and the AC code table are process-wide. One picture is coded at a
// time per process; no threads.
//
// The coder never writes outside [destination, destination + capacity): the
// capacity is the whole space the caller has, header included. A picture that
// does not fit gives -1 and "Not enough memory to generate jpeg\n" on standard
// error.
//
// The exported names have C linkage so that they appear in the library under
// these names.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of the JPEG header that writejpegheader produces.
#define JPEG_HEADER_SIZE 607
// Macroblock grid of the change-detection mask: 44 x 18 (a 704 x 288 picture).
#define MJPEG_MASK_COLS 44
#define MJPEG_MASK_ROWS 18
#define MJPEG_MASK_SIZE (MJPEG_MASK_COLS * MJPEG_MASK_ROWS)
// Output budget per macroblock used by the per-row capacity test.
#define JPEG_MB_BUDGET 768
// Entries of the AC code table and their size (20 bytes: two strings of 10).
#define JPEG_AC_ENTRIES 32768
#define JPEG_ENTRY_SIZE 20

extern "C" {

// Motion-JPEG handle. The first three fields are the change-detection record
// (mask, previous values, activity); the picture size follows. Allocated by
// MJPEGencodeOPEN, freed by MJPEGencodeCLOSE.
struct MJPEGHandle {
  uint8_t mask[MJPEG_MASK_SIZE];      // one per macroblock, raster order; nonzero = watched
  uint8_t previous[MJPEG_MASK_SIZE];  // last stored change value per macroblock
  uint32_t activity;                  // activity count of the last picture (0..792)
  uint16_t width;                     // picture size in pixels (704 x 288 after open)
  uint16_t height;
};

// Fixed tables and the header buffer (exported data).
extern uint8_t qtable[64];           // quantisation table, zigzag order (both tables)
extern uint8_t huffmancount[4][16];  // code-length counts: DC 0, AC 0, DC 1, AC 1
extern uint8_t huffDCvalues[12];     // luminance DC symbols (T.81 Table K.3)
extern uint8_t huffACvalues[162];    // luminance AC symbols (T.81 Table K.5)
extern uint8_t jpegheader[JPEG_HEADER_SIZE];
// Output cursor: the byte that receives the next bits.
extern uint8_t* jpeg_buf;

// Opens a handle: the 792-byte mask is copied (a null mask watches every
// macroblock), previous values are zero, activity 0, picture size 704 x 288.
// Returns null when out of memory.
MJPEGHandle* MJPEGencodeOPEN(const uint8_t* mask);

// Sets the picture size the handle codes (for example 704 x 240 for NTSC).
// width and height must be positive multiples of 16, at most 4080. Macroblocks
// outside the 44 x 18 mask grid are never watched. Returns 0, or -1 (size kept).
int MJPEGencodeSIZE(MJPEGHandle* handle, int width, int height);

// Codes src (a ZARN3 picture of the handle's size) into dest, which has
// capacity bytes (the space granted by the hub). frame_kind is ignored. stats,
// when not null, points at the caller's statistics record: on success its
// fourth 32-bit field (byte offset 12) receives the handle's activity.
// Returns the JPEG size in bytes, or 0 on failure (nothing usable in dest).
int MJPEGencodeENCODE(MJPEGHandle* handle, uint8_t* dest, const uint8_t* src, int frame_kind,
                      void* stats, int capacity);

// Frees a handle (null is accepted).
void MJPEGencodeCLOSE(MJPEGHandle* handle);

// Codes a ZARN3 picture of (16 * mb_cols) x (16 * mb_rows) into dest
// (capacity bytes). With a handle, the change detection of its watched
// macroblocks runs and handle->activity receives the picture's activity.
// Returns the size of the complete JPEG (header, data, end marker), or -1:
// zero macroblock counts ("Can't generate jpeg header"), null buffers, or not
// enough room ("Not enough memory to generate jpeg\n"). Nothing is written
// past dest + capacity.
int fast_jpeg_compress(uint8_t* dest, int capacity, const uint8_t* src, MJPEGHandle* handle,
                       uint8_t mb_cols, uint8_t mb_rows);

// Writes the 607-byte header for the current picture size into buf. Returns
// 607, or 0 when no valid picture size is set.
int writejpegheader(uint8_t* buf);

// Appends the end-of-image marker 0xFF 0xD9 at the cursor.
void writejpegfooter(void);

// Builds the AC code table once (later calls do nothing); returns 0, or -1
// when out of memory. free_stream_table releases it.
int init_stream_table(void);
void free_stream_table(void);

// Transforms, quantises and entropy-codes one 8x8 block of the current
// picture (the one fast_jpeg_compress set up) at the cursor. component: 0 = Y
// (block row/column in 8-pixel units), 1 = Cb, 2 = Cr (in 16-pixel units).
// Returns the block's change sample (0..255), or -1 for a block outside the
// picture, an unknown component, no picture set up, or too little room left.
int dct(const uint8_t* src, int block_row, int block_col, int component);

// Huffman-codes one block: 64 quantised coefficients in zigzag order, the
// component (0..2) whose DC predictor is used, and the number of nonzero
// coefficients to code (coding ends after that many). -128 is coded as -127.
// The caller guarantees room for the block at the cursor.
void EncodeDataUnit(const int8_t* coeffs, int component, int nonzero);

// DC code (T.81 Table K.3) of a size category 0..11; other categories give
// code 0 and length 0.
void ConvertDCMagnitudeC(int category, int* code, int* length);

// Clears the DC predictors.
void vlc_init_start(void);

// Pad the current byte with one-bits and step past it (a 0xFF result is
// followed by 0x00). Nothing happens at a byte boundary.
void endwriteraw(void);
void vlc_stop_done(void);

// Appends one byte at the cursor (at a byte boundary).
void put_char(uint8_t byte);

// Table-building helpers. push_byte_to_data stores byte at buffer[*counter]
// (push_byte_to_data_FF at buffer[10 + *counter]) and increments *counter.
// push_byte_to_element(_FF) do the same on a 20-byte entry and, after a 0xFF,
// also store 0x00 and add 8 to the entry's bit count (byte 9, respectively
// byte 19). Writes that would leave the 10-byte string are dropped.
void push_byte_to_data(uint8_t* buffer, int* counter, uint8_t byte);
void push_byte_to_data_FF(uint8_t* buffer, int* counter, uint8_t byte);
void push_byte_to_element(uint8_t* entry, int* counter, uint8_t byte);
void push_byte_to_element_FF(uint8_t* entry, int* counter, uint8_t byte);

// Reverses the byte order of a 32-bit word.
void swap_endian(uint32_t* word);

}  // extern "C"

namespace dv {

// Convenience entry for tools and benchmarks: codes a ZARN3 picture of
// width x height (positive multiples of 16, at most 4080) into dest without
// change detection. Returns the JPEG size, or -1 (bad size, or as
// fast_jpeg_compress).
int jcodec_encode_zarn3(const uint8_t* zarn3, int width, int height, uint8_t* dest,
                        size_t capacity);

// Upper bound of the JPEG size of a width x height picture (multiples of 16):
// a destination of this size never fails for lack of room.
size_t jcodec_max_size(int width, int height);

}  // namespace dv
