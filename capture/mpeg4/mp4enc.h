// MPEG-4 Part 2 (ISO/IEC 14496-2) Simple Profile video encoder of the capture
// daemon: one captured picture in, one video object plane (VOP) out, written
// straight into the caller's buffer.
//
// No motion search: every predicted macroblock uses the zero vector and is
// sent as not coded, inter, or intra, decided from the sum of absolute luma
// differences against the reference picture (threshold `quant_to_sad`). The
// number of watched macroblocks that had to be coded intra is the picture's
// activity count (the camera's motion measure). Each intra VOP is preceded by
// the video object and video object layer headers, so every group of pictures
// decodes on its own. VOPs carry no capture time (every VOP has time 0); the
// time of a frame travels beside the stream.
//
// The transform (DCT, quantisation, inverse quantisation, IDCT) runs on the
// co-processor /dev/dctidct when the board has it, else in software
// (capture/mpeg4/mp4_dsp.h: portable kernels, SSE2 and AVX2 where the
// processor has them, all with the same results); the encoder's reference
// picture is exactly what a decoder reconstructs. The software path takes an
// inter block whose residual looks like sensor noise (SAD below 20 x quant,
// no sample off by more than 2 x quant) as all zero without transforming it.
//
// Rate control (bitrate above 64000): the quantiser moves at intra VOPs with
// the rate since the last intra VOP and the long-term rate; at the upper
// bound, predicted VOPs are sent empty (every macroblock not coded, activity
// 320) while the rate since the last intra VOP stays above the target.
//
// One context per stream, used by one thread; contexts are independent.
// Failures are logged through lib/platform/log.h and reported by the result,
// and MP4encodeLastError() gives the last failure's text.
#pragma once

#include <cstddef>
#include <cstdint>

// Input layouts.
enum : uint32_t {
  MP4_LAYOUT_PLANAR = 0,  // Y plane, then U, then V (any value other than 1 and 2)
  MP4_LAYOUT_NONE = 1,    // no fetchers: not a valid layout
  MP4_LAYOUT_ZARN3 = 2,   // the capture driver's line-pair layout
};

// Frame kind flags of MP4encodeENCODE.
enum : int {
  MP4_FRAME_AUTO = 0,       // the encoder's own GOP countdown decides
  MP4_FRAME_INTRA = 2,      // code an intra VOP now
  MP4_FRAME_PREDICTED = 4,  // predicted VOP, GOP countdown not advanced
};

constexpr int MP4_MASK_SIZE = 792;  // 44 x 18 macroblocks of a 704 x 288 picture
constexpr int MP4_MAX_WIDTH = 2048;
constexpr int MP4_MAX_HEIGHT = 2048;

// Open parameters, filled by the caller.
struct MP4encodeParams {
  uint16_t width;     // pixels, a multiple of 16, 16..MP4_MAX_WIDTH
  uint16_t height;    // pixels, a multiple of 16, 16..MP4_MAX_HEIGHT
  uint16_t quant;     // quantiser 1..31 (above 31: 31; 0: 1)
  uint16_t gop;       // frames between intra VOPs when the encoder counts; 0: 25
  uint16_t reserved;  // 0
  uint32_t bitrate;   // bit/s; above 64000 the quantiser follows the rate
  uint16_t minquant;  // rate control bounds (see MP4encodeOPEN)
  uint16_t maxquant;
  uint16_t time_resolution;  // frames per second; 0: 25 (written back)
  uint32_t input_layout;     // MP4_LAYOUT_*
  // One byte per macroblock of a 44 x 18 grid (704 x 288) in raster order,
  // non-zero = watched. Macroblock (row, column) of a picture uses entry
  // row x 44 + column; macroblocks outside the grid count as watched.
  uint8_t mask[MP4_MASK_SIZE];
};

// Statistics record written after every MP4encodeENCODE.
struct MP4encodeStats {
  uint32_t intra;     // 1 for an intra VOP
  uint32_t zero;      // always 0
  uint16_t quant;     // quantiser used
  uint16_t pad;       // 0
  uint32_t activity;  // watched intra macroblocks of the last predicted VOP (320: empty VOP)
};
static_assert(sizeof(MP4encodeStats) == 16);

struct MP4encodeContext;

// Opens an encoder. Rate control: with bitrate above 64000 the target is
// bitrate / 8 bytes per second and the quantiser moves within [lower, upper]
// (the smaller and the larger of minquant and maxquant; maxquant 0 or above
// 31 means 31, minquant above 31 means 31; minquant 0 means a lower bound of
// 2 and a start at `quant` limited to the bounds, otherwise the start is the
// lower bound). Returns null (and logs why) for an invalid size or layout, when
// memory runs out, or when the transform device is present but cannot be
// opened read-write.
MP4encodeContext* MP4encodeOPEN(MP4encodeParams* params);

// Codes one picture. dest receives the VOP (with the stream headers before an
// intra VOP); at most dest_size bytes are written. src holds width x height x
// 3 / 2 bytes in the input layout. flags: MP4_FRAME_*. stats may be null.
// Returns the number of bytes written, or -1 when an argument is invalid or
// the VOP does not fit into dest_size bytes (nothing beyond dest_size is
// touched, the statistics record is left as it was, and the next picture is
// coded intra).
int MP4encodeENCODE(MP4encodeContext* ctx, uint8_t* dest, size_t dest_size, const uint8_t* src,
                    int flags, MP4encodeStats* stats);

// Closes the device and frees everything. Null is ignored.
void MP4encodeCLOSE(MP4encodeContext* ctx);

// The encoder's reconstruction of the last coded picture (what a decoder
// shows), as planar YUV 4:2:0 of width x height x 3 / 2 bytes. Returns 0, or
// -1 when size is too small.
int MP4encodeReconstruction(const MP4encodeContext* ctx, uint8_t* planar, size_t size);

// Picture size the context was opened with.
int MP4encodeWidth(const MP4encodeContext* ctx);
int MP4encodeHeight(const MP4encodeContext* ctx);

// Text of the last failure of MP4encodeOPEN or MP4encodeENCODE in this
// process ("" if none).
const char* MP4encodeLastError();

// Bytes enough for any VOP of a width x height picture (with its headers).
size_t MP4encodeMaxFrameBytes(int width, int height);
