// Macroblock fetchers: the encoder never addresses the input picture itself.
// A fetcher set gathers each 16 x 16 macroblock of the picture into a
// 384-byte macroblock pixel block (Y0 Y1 Y2 Y3 Cb Cr, 8 x 8 bytes each, row by
// row), walking the picture in raster order: `start` gathers the first
// macroblock of a picture, `new line` the first of the next row, `get` the
// next one of the row. The `_ME` forms also form the residual against the
// co-located reference macroblock and take the intra/inter decision (see
// DspFunctions::residual_sad): they return 1 for intra (the SAD budget was
// exceeded) and 0 for inter (the residual has been formed, except for blocks
// found quiet: see mb_fetch_set_quiet).
//
// Two sets exist, chosen by the encoder's input layout:
//  - ZARN3, the capture driver's layout (lib/devices/zarn3.h): the picture is
//    height / 2 line-pair records of 3 x width bytes; the macroblock of row i,
//    column j takes from records 8i .. 8i + 7 the 32 bytes at 32j of the upper
//    line (Y 0-7, Cb 0-3, Cr 0-3, Y 8-15, Cb 4-7, Cr 4-7) and the 16 luma bytes
//    at 2 x width + 16j of the lower line. The record width is taken from the
//    state, so every width that is a multiple of 16 works.
//  - planar YUV 4:2:0: the Y plane (width x height), then U and V (width / 2 x
//    height / 2 each).
//
// A state belongs to one encoder; the picture passed to `start` must stay
// valid until the last macroblock of that picture has been gathered. The
// caller gathers exactly (width / 16) x (height / 16) macroblocks per
// picture: `start` once, then per row `get` for the other macroblocks and
// `new line` for the first macroblock of each following row.
#pragma once

#include <cstdint>

struct MbFetchState;

// The seven (plus three residual) functions of one fetcher set.
struct MbFetcher {
  MbFetchState* (*init)(int width, int height);
  void (*close)(MbFetchState* state);
  void (*start)(uint8_t* pix, const uint8_t* picture, MbFetchState* state);
  void (*new_line)(uint8_t* pix, MbFetchState* state);
  void (*get_mb)(uint8_t* pix, MbFetchState* state);
  int (*start_me)(uint8_t* pix, int16_t* residual, const uint8_t* picture, const uint8_t* ref_mb,
                  MbFetchState* state, int sad_threshold);
  int (*new_line_me)(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb, MbFetchState* state);
  int (*get_mb_me)(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb, MbFetchState* state);
};

// ZARN3 set. Init returns null for a size the layout cannot hold.
MbFetchState* ZARN3_2MBInit(int width, int height);
void ZARN3_2MBClose(MbFetchState* state);
void ZARN3_2MBStart(uint8_t* pix, const uint8_t* picture, MbFetchState* state);
void ZARN3_2MBNewLine(uint8_t* pix, MbFetchState* state);
void ZARN3_2MBGetMB(uint8_t* pix, MbFetchState* state);
int ZARN3_2MBStart_ME(uint8_t* pix, int16_t* residual, const uint8_t* picture,
                      const uint8_t* ref_mb, MbFetchState* state, int sad_threshold);
int ZARN3_2MBNewLine_ME(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb,
                        MbFetchState* state);
int ZARN3_2MBGetMB_ME(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb, MbFetchState* state);

// Planar set.
MbFetchState* YUV420_2MBInit(int width, int height);
void YUV420_2MBClose(MbFetchState* state);
void YUV420_2MBStart(uint8_t* pix, const uint8_t* picture, MbFetchState* state);
void YUV420_2MBNewLine(uint8_t* pix, MbFetchState* state);
void YUV420_2MBGetMB(uint8_t* pix, MbFetchState* state);
int YUV420_2MBStart_ME(uint8_t* pix, int16_t* residual, const uint8_t* picture,
                       const uint8_t* ref_mb, MbFetchState* state, int sad_threshold);
int YUV420_2MBNewLine_ME(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb,
                         MbFetchState* state);
int YUV420_2MBGetMB_ME(uint8_t* pix, int16_t* residual, const uint8_t* ref_mb, MbFetchState* state);

// Gathers one planar macroblock whose top-left luma sample is y (row step
// stride_y) and chroma samples u, v (row step stride_c).
void YUV420_mb_copy(uint8_t* pix, const uint8_t* y, const uint8_t* u, const uint8_t* v,
                    int stride_y, int stride_c);

// Limits of a "quiet" block for the residual forms (see
// DspFunctions::residual_sad); 0, 0 (the initial state) marks no block quiet.
void mb_fetch_set_quiet(MbFetchState* state, int quiet_sad, int quiet_peak);
// The quiet blocks (block k in bit k) of the last residual formed.
unsigned mb_fetch_quiet(const MbFetchState* state);

extern const MbFetcher kZarn3Fetcher;
extern const MbFetcher kYuv420Fetcher;
