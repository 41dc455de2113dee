// The capture driver /dev/tvp5150: the board's four TVP5150 decoders behind
// one time-slot multiplexer that writes pictures into a ring of buffers the
// caller maps. camtap drives it (standard, main camera, slots, start/stop,
// frame wait); snapbot only reads the newest picture of a camera.
//
// Two backends, chosen when the device is opened by its logical path:
//   - the real driver when the resolved path is a character device: every
//     request is an ioctl with the numbers below, the picture area is mmap()ed
//     from the driver;
//   - the simulator (capture_sim.h) otherwise: the regular file at the device
//     path (or no file at all) holds its settings; see capture_sim.h for the
//     settings format and how it paces and draws pictures.
// Callers use the same calls for both, so camtap and snapbot never know which
// one they got.
//
// Not thread-safe; one CaptureDevice per user. The record owns its backend:
// do not copy it, close it exactly once (capture_close is safe to repeat).
#pragma once

#include <cstddef>
#include <cstdint>

// Request numbers of the capture driver. Requests marked "pointer" take an
// int* (capture_ioctl's pointer form); the others take an int value.
constexpr unsigned long CAP_START = 0x80044108;        // value 0: start capturing
constexpr unsigned long CAP_STOP = 0x80044109;         // value 0: stop capturing
constexpr unsigned long CAP_GET_FRAME = 0x4004410A;    // value 0: wait; result word
constexpr unsigned long CAP_GET_STATS = 0x4004410B;    // pointer to CAP_STATS_COUNT ints
constexpr unsigned long CAP_GET_BUFSIZE = 0x40044111;  // pointer to int: area length
constexpr unsigned long CAP_SET_MAIN = 0x80044112;     // value camera or CAP_NONE
constexpr unsigned long CAP_SET_SLOT = 0x80044113;     // value cap_slot_arg/cap_slot_off_arg
constexpr unsigned long CAP_SET_NTSC = 0x80014114;     // value 0
constexpr unsigned long CAP_SET_PAL = 0x80014115;      // value 0
constexpr unsigned long CAP_GET_WIDTH = 0x40044116;    // value 0: result = picture width
constexpr unsigned long CAP_GET_HEIGHT = 0x40044117;   // value 0: result = picture height
constexpr unsigned long CAP_GET_LATEST = 0x40044119;   // value camera: result index

// CAP_SET_MAIN argument for "no main camera"; also the flag of a slot-off
// CAP_SET_SLOT argument.
constexpr uint32_t CAP_NONE = 0x80000000u;

// CAP_GET_LATEST results besides a buffer index.
constexpr int CAP_LATEST_NOT_CAPTURED = -1;
constexpr int CAP_LATEST_NO_SIGNAL = 255;

// CAP_GET_STATS fills these five ints, in this order.
enum CapStat {
  CAP_STAT_FRAME_NUMBER = 0,  // pictures delivered by CAP_GET_FRAME since open
  CAP_STAT_FRAME_CURRENT,     // buffer index of the last delivered picture (-1: none)
  CAP_STAT_FRAMES_LOST,       // pictures overwritten before they were fetched
  CAP_STAT_FRAMES_IN_BUFF,    // pictures due and not yet fetched
  CAP_STAT_RESET,             // capture (re)starts since open
  CAP_STATS_COUNT
};

// The CAP_GET_FRAME result word (non-negative on success): bits 0-7 buffer
// index, bits 8-9 camera, bit 10 no signal, bits 16-31 milliseconds since the
// previously delivered picture.
constexpr int CAP_FRAME_NO_SIGNAL = 0x400;
inline int cap_frame_index(int word) { return word & 0xFF; }
inline int cap_frame_camera(int word) { return (word >> 8) & 3; }
inline bool cap_frame_no_signal(int word) { return (word & CAP_FRAME_NO_SIGNAL) != 0; }
inline int cap_frame_delta(int word) { return (word >> 16) & 0xFFFF; }

// CAP_SET_SLOT arguments: camera into slot (both 0..3), or slot off.
inline uint32_t cap_slot_arg(int camera, int slot) {
  return (static_cast<uint32_t>(camera) << 8) | static_cast<uint32_t>(slot);
}
inline uint32_t cap_slot_off_arg(int slot) {
  return CAP_NONE | (static_cast<uint32_t>(slot) << 8) | static_cast<uint32_t>(slot);
}

namespace dv {

inline constexpr const char* kCaptureDevice = "/dev/tvp5150";

struct CaptureSim;  // capture_sim.h

struct CaptureDevice {
  int fd = -1;                // the real driver
  CaptureSim* sim = nullptr;  // or the simulator
};

// Opens the driver at a logical device path ("/dev/tvp5150", resolved through
// the system root). A character device is opened read-write as the real
// driver; anything else is the simulator, whose settings file is the regular
// file at the path (none: default settings). Fails (-1 with errno) when the
// real device cannot be opened, or when the path exists but is not a regular
// file (EISDIR for a folder, ENODEV otherwise) or cannot be read. Returns 0.
int capture_open(CaptureDevice* dev, const char* logical_path = kCaptureDevice);

// One request with a value argument (see the table above); returns the
// request's result (0, a result word, a width, a buffer index) or -1 with
// errno (EBADF when not open, ENOTTY for an unknown request, EINVAL for a bad
// argument, EINTR when a signal interrupted CAP_GET_FRAME).
int capture_ioctl(CaptureDevice* dev, unsigned long request, int arg);

// One request with an int* argument (CAP_GET_STATS, CAP_GET_BUFSIZE).
int capture_ioctl(CaptureDevice* dev, unsigned long request, int* arg);

// Maps length bytes of the picture area (length at most the CAP_GET_BUFSIZE
// value), shared and read-write. Picture i starts at i * width * height * 3/2
// in the ZARN3 layout (zarn3.h). Returns the address, or nullptr with errno.
// The mapping stays valid until capture_munmap or capture_close.
void* capture_mmap(CaptureDevice* dev, size_t length);

// Releases a mapping of capture_mmap. Returns 0 or -1 with errno.
int capture_munmap(CaptureDevice* dev, void* area, size_t length);

// Closes the device. Safe on a closed record.
void capture_close(CaptureDevice* dev);

inline bool capture_is_open(const CaptureDevice* dev) { return dev->fd >= 0 || dev->sim; }
inline bool capture_is_simulated(const CaptureDevice* dev) { return dev->sim != nullptr; }

}  // namespace dv
