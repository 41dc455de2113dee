// Picture input and output of dvcodec: raw planar YUV 4:2:0 files (or raw
// files of the ZARN3 capture layout, which have the same size per picture),
// and YUV4MPEG2 (Y4M) streams of 8-bit 4:2:0.
//
// A reader walks the file picture by picture, so footage of any length goes
// through a fixed amount of memory. Everything read from the file is checked
// before use: the Y4M header and every FRAME line have a bounded length, the
// size must be plausible before any buffer is made, and a file that ends in
// the middle of a picture is reported as truncated rather than padded.
//
// Single-threaded; a reader or writer belongs to its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace dv::codec {

// Largest picture side any reader accepts (the coders have their own, lower
// limits).
constexpr int kMaxSide = 8192;
// Longest Y4M stream header or FRAME line accepted, line feed included.
constexpr size_t kMaxY4mLine = 4096;

// What a Y4M stream header says.
struct Y4mHeader {
  int width = 0;
  int height = 0;
  int rate_num = 0;  // frame rate num / den; 0 / 0 when the header has none
  int rate_den = 0;
};

// Parses a Y4M stream header line: "YUV4MPEG2", then space-separated
// parameters (W, H, F, I, A, C, X), ending in a line feed (included in n).
// Accepts 8-bit 4:2:0 only (no C parameter, or C420, C420jpeg, C420paldv,
// C420mpeg2). Returns 0, or -1 with the reason in *err.
int y4m_parse_header(const char* line, size_t n, Y4mHeader* header, std::string* err);

// Checks a picture size for 4:2:0 pictures: both sides from 2 to kMaxSide
// and even. Returns 0, or -1 with the reason in *err.
int check_picture_size(int w, int h, std::string* err);

// Parses "WxH" (decimal, no signs). Returns 0, or -1.
int parse_size(const char* text, int* w, int* h);

struct VideoReader {
  FILE* file = nullptr;
  bool owned = false;  // false for standard input
  bool y4m = false;
  std::string name;  // for messages
  int width = 0;
  int height = 0;
  int rate_num = 0;  // from a Y4M header; 0 when unknown
  int rate_den = 0;
  size_t frame_bytes = 0;
  int64_t frames_read = 0;
  // Bytes read while probing for the Y4M signature that belong to the first
  // picture of a raw file.
  std::string pending;
};

// Opens path ("-" is standard input). A file that starts with "YUV4MPEG2 "
// is read as Y4M and gives its own size (raw_w and raw_h must then be 0 or
// equal to it); any other file is raw pictures of raw_w x raw_h, which must
// be given. A regular raw file whose length is not a whole number of
// pictures, or that holds no picture, is refused here. Returns 0, or -1 with
// the reason in *err (the reader is then closed).
int video_open(VideoReader* r, const std::string& path, int raw_w, int raw_h, std::string* err);

// Reads the next picture into planar (frame_bytes bytes). Returns 1 for a
// picture, 0 at the clean end of the input, -1 with the reason in *err (a
// truncated picture, a bad FRAME line, a read error).
int video_read(VideoReader* r, uint8_t* planar, std::string* err);

void video_close(VideoReader* r);

// Writes pictures as raw planar, or as Y4M when the file name ends in ".y4m"
// (rate_num / rate_den frames per second in the header).
struct VideoWriter {
  FILE* file = nullptr;
  bool y4m = false;
  std::string name;
  size_t frame_bytes = 0;
};

// Creates path. Returns 0, or -1 with the reason in *err.
int video_create(VideoWriter* w, const std::string& path, int width, int height, int rate_num,
                 int rate_den, std::string* err);
// Appends one picture. Returns 0, or -1 with the reason in *err.
int video_write(VideoWriter* w, const uint8_t* planar, std::string* err);
// Closes the file; returns -1 with the reason in *err when the last writes
// failed (for example a full disc). A writer that is not open gives 0.
int video_finish(VideoWriter* w, std::string* err);

// True when name ends in suffix (ASCII letters compared without case).
bool has_suffix(const std::string& name, const char* suffix);

}  // namespace dv::codec
