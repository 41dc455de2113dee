// The transform co-processor /dev/dctidct: forward DCT, quantisation, inverse
// quantisation and inverse DCT of one macroblock held in a work buffer.
//
// The encoder fills a work buffer (8192 bytes, aligned to 4096) and submits it;
// the device works on it while the processor gathers the next macroblock, and
// `wait` returns when the buffer holds the results. Work buffer layout, as far
// as the encoder uses it:
//
//   0 .. 767    384 signed 16-bit values: output, the quantised coefficients of
//               the six blocks (Y0 Y1 Y2 Y3 Cb Cr), each in natural row order
//   792 .. 815  six 32-bit per-block indicators (output); a block whose
//               indicator exceeds 5 is worth coding
//   812         32-bit control word (input): quant | 0x80000000 for intra,
//               quant | 0x80000020 for inter; after the wait it holds the sixth
//               block's indicator
//   816 ..      input, intra: the 384-byte macroblock pixel block; inter: 12
//               groups of 36 bytes, each a 32-bit sign mask (sign of the group's
//               first value in bit 31, the next in bit 30, ...) followed by the
//               low bytes of the group's 32 residual values.
//               output: 12 groups of 36 bytes, each 32 reconstructed bytes
//               (intra: pixels; inter: low bytes of the reconstructed residual)
//               followed by a 32-bit sign mask (first value's sign in bit 0).
// 32-bit words are in the machine's native order.
//
// Backends: the real device when the resolved path is a character device;
// otherwise a simulator that runs a caller-given emulation function on the
// work buffer at submit time (the encoder's own software transform does not
// need the device at all; the simulator exists so that the device protocol
// can be exercised without the hardware).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dv {

constexpr unsigned long DCT_IOC_SUBMIT = 0xC004411EUL;
constexpr unsigned long DCT_IOC_WAIT = 0xC0044120UL;

constexpr size_t kDctWorkSize = 8192;
constexpr size_t kDctWorkAlign = 4096;
constexpr size_t kDctCoefOffset = 0;
constexpr size_t kDctIndicatorOffset = 792;
constexpr size_t kDctControlOffset = 812;
constexpr size_t kDctDataOffset = 816;
constexpr int kDctGroups = 12;
constexpr int kDctGroupBytes = 36;
constexpr uint32_t kDctControlIntra = 0x80000000u;
constexpr uint32_t kDctControlInter = 0x80000020u;
constexpr int kDctCodedIndicator = 5;  // a block is coded above this

// Runs the device's work on one work buffer (simulator backend).
using DctEmulator = void (*)(uint8_t* work);

struct DctDevice {
  int fd = -1;                     // real device, or -1
  DctEmulator emulator = nullptr;  // simulator, or null
  int next_ticket = 1;             // simulator tickets
};

// The logical path of the device.
constexpr const char* kDctDevicePath = "/dev/dctidct";

// True when the transform co-processor is present (the resolved device path
// is a character device).
bool dct_device_present();

// Opens the device at a resolved path read-write. Returns 0, or -1 with errno
// set.
int dct_device_open(DctDevice* dev, const std::string& resolved_path);

// Makes dev a simulator that runs `emulator` on every submitted buffer.
void dct_device_open_simulated(DctDevice* dev, DctEmulator emulator);

// Closes the device (no-op for a simulator or a closed device).
void dct_device_close(DctDevice* dev);

// Starts the transform of the work buffer; returns the device's ticket.
// The request result is not examined further by the encoder.
int dct_device_submit(DctDevice* dev, uint8_t* work);

// Waits until the work buffer of `ticket` holds its results.
void dct_device_wait(DctDevice* dev, int ticket);

// Residual packing: 384 values (-256..255; only the low 9 bits travel) into
// the 12 input groups at `data`, and back.
void dct_pack_input(const int16_t* values, uint8_t* data);
void dct_unpack_input(const uint8_t* data, int16_t* values);

// Output groups: 384 values into the 12 output groups at `data` (the
// simulator's side), and back (the encoder's side; values come out as
// -256..255).
void dct_pack_output(const int16_t* values, uint8_t* data);
void dct_unpack_output(const uint8_t* data, int16_t* values);

// Native-order 32-bit words of the work buffer.
uint32_t dct_get_word(const uint8_t* work, size_t offset);
void dct_put_word(uint8_t* work, size_t offset, uint32_t value);

}  // namespace dv
