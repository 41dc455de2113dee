// Picture sources of the simulated capture driver: the synthetic scene of each
// camera and looped video files. Pictures are written in the ZARN3 layout
// (zarn3.h) at the driver's picture size.
//
// The scene is built to be cheap: a camera's still background is drawn once
// (per picture size) and kept; a picture is then one pass that adds a slice
// of a fixed noise table (chosen by frame number and line pair) to the
// background, plus a small sprite (the moving ball) drawn on top.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dv {

// Backgrounds and noise, built lazily; one per simulator.
struct CapScene {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> background[4];  // ZARN3, empty until first use
  std::vector<uint8_t> noise;          // signed steps of -2..2 as bytes
};

// Sets the picture size (w a multiple of 16, h even); drops the backgrounds
// when it changes.
void capscene_set_size(CapScene* scene, int w, int h);

// Draws the scene of camera (0..3) in frame period n into out (ZARN3 of the
// scene's size). moving: the ball is where period n puts it; otherwise it
// rests at its start position.
void capscene_render(CapScene* scene, int camera, int64_t n, bool moving, uint8_t* out);

// Where the ball of camera is in period n (top-left corner, both even) and
// its size; for tests.
void capscene_ball(const CapScene* scene, int camera, int64_t n, bool moving, int* x, int* y,
                   int* size);

// The picture of a camera without signal: black.
void capscene_black(int w, int h, uint8_t* out);

// A looped video file: YUV4MPEG2 (4:2:0) or raw planar 4:2:0.
struct CapFile {
  int fd = -1;
  int w = 0;
  int h = 0;
  int64_t frames = 0;            // whole frames in the file
  int64_t first = 0;             // raw: offset of frame 0
  std::vector<int64_t> offsets;  // Y4M: offset of each frame's data
  std::vector<uint8_t> planar;   // the frame last read
  int64_t cached = -1;           // its index
  std::vector<int> xmap, ymap;   // scaling maps for the last picture size
  int map_w = 0, map_h = 0;
};

// Opens path: Y4M when the name ends in ".y4m" (its header gives the size),
// raw otherwise with frames of raw_w x raw_h. Returns 0, or -1 with a reason
// in *err (unreadable, bad header, unsupported colour space, shorter than one
// frame). *note receives a remark that is not an error (a trailing partial
// frame), or stays empty.
int capfile_open(CapFile* f, const std::string& path, int raw_w, int raw_h, std::string* err,
                 std::string* note);

// Draws whole frame k (taken modulo the frame count; negative k wraps too)
// scaled to w x h into out (ZARN3). Returns 0, or -1 when the file cannot be
// read any more.
int capfile_render(CapFile* f, int64_t k, int w, int h, uint8_t* out);

void capfile_close(CapFile* f);

}  // namespace dv
