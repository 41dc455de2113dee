// The simulated capture driver: what capture_open() gives when the resolved
// /dev/tvp5150 is not a character device (on the development host, in tests
// and in the demo).
//
// Timing. The driver runs PAL (25 pictures per second) or NTSC (30). Time is
// cut into slot periods of 1/25 s or 1/30 s counted from the UNIX epoch on
// the wall clock: period n ("frame number n") starts at n / rate seconds and
// belongs to slot n % 4. The picture of period n comes from the camera of its
// slot (CAP_SET_SLOT), or from the main camera (CAP_SET_MAIN) when the slot
// has none, or from nobody. So one camera as main camera gets every period,
// slots A,B,A,B give each camera half of them, and a main camera plus one
// slot camera get 3/4 and 1/4. CAP_GET_FRAME blocks until the next picture is
// due and returns it; a caller that falls more than kCapSimBuffers pictures
// behind loses the oldest (FramesLost). The time delta of the result word is
// the milliseconds between this picture's period and the previous delivered
// one's (at most 0x7FFF, so the word stays non-negative).
//
// Pictures. The picture of (camera, n) is a deterministic function of the
// two and of the settings: a still scene per camera (sky, houses, textured
// ground, the camera number in the corner) with a ball that moves from
// period to period and light noise that changes every period. Two processes
// with the same settings therefore see the same picture for the same period
// without sharing anything. Picture i of the mapped area holds the picture of
// some period n with i = n % kCapSimBuffers; the area of each process is its
// own memory and is written when a request returns that index.
//
// Several processes. The process that programs the driver (standard, main,
// slots, start/stop) publishes that programming in the state file
// "<device path>.state" (below); CAP_GET_LATEST and the standard in other
// processes follow it, so snapbot sees what camtap set up. When no live
// process has programmed the driver, every camera listed in free_run counts
// as captured in every period (snapbot can run alone).
//
// Settings file: the regular file at the device path, re-read whenever its
// modification time, size or inode changes (checked at every CAP_GET_FRAME
// and CAP_GET_LATEST), so a test can pull a camera's signal or start motion
// while the driver runs. No file: every setting at its default. Text lines
// "key=value"; blanks around key and value are ignored; empty lines and lines
// starting with '#' are comments. A malformed line or an unknown key is
// logged and skipped; the other lines still apply.
//
//   fast=0|1            1: no real-time pacing; CAP_GET_FRAME returns the
//                       next picture at once (benchmarks). Frame numbers then
//                       no longer follow the clock. Default 0.
//   standard=pal|ntsc   standard before any CAP_SET_PAL/CAP_SET_NTSC (and in
//                       a process that finds no programming). Default pal.
//   free_run=LIST       cameras that count as captured while no live process
//                       has programmed the driver: comma-separated 0..3, or
//                       "none". Default 0,1,2,3.
//   origin=SECONDS      time zero (UNIX seconds, fraction allowed) of motion
//                       schedules and file loops. Default: the settings
//                       file's modification time.
//   camN.signal=1|0     N = 0..3. 0: the camera has no signal: pictures come
//                       black with the no-signal bit, CAP_GET_LATEST gives
//                       255. Default 1.
//   camN.deliver=1|0    N = 0..3. 0: the camera delivers no pictures at all,
//                       as behind a dead decoder: the periods of its slots
//                       pass without a CAP_GET_FRAME result for it (the
//                       next result is the next picture of a delivering
//                       camera; when no programmed camera delivers, the
//                       request waits period by period, also with fast=1,
//                       until one does, and fails with ETIMEDOUT after one
//                       second of nothing or with EINTR on a signal), those
//                       periods count neither as delivered nor as lost,
//                       and CAP_GET_LATEST gives -1 (not captured) for it.
//                       Unlike signal=0 (black pictures with the no-signal
//                       bit) nothing arrives. Default 1.
//   camN.file=PATH      loop this file instead of the scene: a YUV4MPEG2 file
//                       (".y4m", 4:2:0 only) or raw planar 4:2:0 (Y, U, V
//                       planes; any other name). Relative paths are taken
//                       from the settings file's folder. Frame k of the loop
//                       (k = n - frame number of origin, modulo the file's
//                       whole frames) is scaled (nearest neighbour) to the
//                       picture size. An unreadable file, a bad header or a
//                       file shorter than one frame makes the camera show
//                       "no signal" (logged); a trailing partial frame is
//                       ignored. Empty: the scene.
//   camN.size=WxH       size of a raw file's frames. Default: the picture
//                       size of the current standard (704x288 / 704x240).
//   camN.motion=on|off|RANGES
//                       on: the ball moves in every period (default); off: it
//                       rests at its start position (a still picture except
//                       for the noise); RANGES: comma-separated items "A-B"
//                       or "A", in seconds since origin (fraction allowed,
//                       suffix "s" optional) or with suffix "f" in frame
//                       periods since origin (the frame number of the period
//                       holding origin is 0); the ball moves in [A, B)
//                       (an item "A" alone: [A, A+1)) and rests otherwise.
//
//   Example:
//     # camera 2 unplugged, camera 1 moves only 3 to 5 s after this file
//     # was written, camera 3 plays a clip
//     cam2.signal=0
//     cam1.motion=3-5
//     cam3.file=clips/corridor.y4m
//     # camera 0's decoder hangs: its slots stay empty
//     cam0.deliver=0
//
// State file "<device path>.state", written (temporary file, then rename) by
// the process that programs the driver after every programming request and
// removed when it closes the device; readers ignore it when its process is
// gone:
//   pid=<process id>
//   standard=pal|ntsc
//   main=<camera or -1>
//   slots=<s0>,<s1>,<s2>,<s3>     (camera or -1 each)
//   started=0|1
//
// Request handling besides the table of capture_device.h: CAP_GET_FRAME
// fails with EAGAIN when the capture is not started or no camera is
// programmed; CAP_GET_LATEST gives -1 with errno EPERM for a camera that is
// not captured (what a kernel driver's -1 looks like to the caller);
// CAP_GET_LATEST and CAP_SET_* refuse cameras and slots outside 0..3 with
// EINVAL; pointer requests with a null pointer fail with EFAULT;
// unknown requests fail with ENOTTY. CAP_GET_BUFSIZE reports kCapSimBuffers
// PAL pictures; the width is always 704, the height 288 (PAL) or 240 (NTSC).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/devices/capture_device.h"

namespace dv {

inline constexpr int kCapSimBuffers =
    7;  // odd: a camera's consecutive pictures never share an index
inline constexpr int kCapSimWidth = 704;
inline constexpr int kCapSimPalHeight = 288;
inline constexpr int kCapSimNtscHeight = 240;

// The simulator's clock. now_ns: wall-clock nanoseconds since the epoch.
// sleep_until_ns: returns 0 once that time has come, or -1 with errno (EINTR
// when a signal arrived). Tests install a virtual clock through this seam.
struct CapSimClock {
  int64_t (*now_ns)(void* ctx);
  int (*sleep_until_ns)(void* ctx, int64_t t_ns);
  void* ctx;
};

// The real clock (CLOCK_REALTIME; sleeps end early with EINTR on a signal).
const CapSimClock* capsim_real_clock();

// One motion range: [start, end) in milliseconds or in frame periods since
// the origin.
struct CapSimRange {
  int64_t start;
  int64_t end;
  bool frames;
};

enum CapSimMotion { CAPSIM_MOTION_ON, CAPSIM_MOTION_OFF, CAPSIM_MOTION_RANGES };

struct CapSimCamera {
  bool signal = true;
  bool deliver = true;  // false: a dead decoder, no pictures at all
  std::string file;     // as written in the settings (relative to their folder)
  int file_w = 0;       // raw frame size; 0 = picture size
  int file_h = 0;
  CapSimMotion motion = CAPSIM_MOTION_ON;
  std::vector<CapSimRange> ranges;
};

struct CapSimSettings {
  bool fast = false;
  bool ntsc = false;
  unsigned free_run = 0xF;  // bit N: camera N
  bool has_origin = false;
  int64_t origin_ns = 0;
  CapSimCamera cam[4];
};

// Parses settings text into *out (which starts from the defaults). Every
// refused line adds one message ("line 3: unknown key 'x'") to *errors.
// Returns the number of refused lines.
int capsim_parse_settings(std::string_view text, CapSimSettings* out,
                          std::vector<std::string>* errors);

// Opens a simulator whose settings file is settings_path (a resolved path; it
// need not exist). clock: nullptr = the real clock; the pointer must stay
// valid while the simulator is open. Returns nullptr with errno on failure
// (see capture_open).
CaptureSim* capsim_open(const std::string& settings_path, const CapSimClock* clock);

// Keeps this simulator's programming to itself: it never writes the state
// file (tools that only draw pictures).
void capsim_keep_private(CaptureSim* sim);

// One request: arg is the int value or the int* of capture_ioctl.
int capsim_request(CaptureSim* sim, unsigned long request, uintptr_t arg);

// The picture area (kCapSimBuffers PAL pictures) and its length.
uint8_t* capsim_area(CaptureSim* sim, size_t* length);

void capsim_close(CaptureSim* sim);

// Draws the picture camera (0..3) would deliver in period n with the current
// settings and standard into out (width * height * 3/2 bytes, ZARN3), and
// tells whether the camera has a signal. For tools and tests. Returns 0, or
// -1 for a bad camera.
int capsim_picture(CaptureSim* sim, int camera, int64_t n, uint8_t* out, bool* signal);

// Current picture size of the simulator (follows the effective standard).
void capsim_picture_size(CaptureSim* sim, int* width, int* height);

}  // namespace dv
