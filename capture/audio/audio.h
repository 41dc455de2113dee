// Audio capture of the board's line input: the OSS capture device set to
// 16-bit stereo at 22050 Hz (lib/devices/oss_audio.h gives the real driver or
// its simulator), read in whole fragments without blocking the capture loop,
// and the loudness measure of a block. Used by camtap, one pass of its capture
// loop at a time; the coder is capture/audio/adpcm.h.
//
// Log lines go through dv::log_msg (camtap's log); open failures of the
// devices also print "<device>: <error text>" on standard error.
#pragma once

#include <cstddef>
#include <cstdint>

// The capture buffer camtap owns, and the most one AudioProc reads into it.
#define AUDIO_BUFFER_SIZE 131072
#define AUDIO_READ_MAX 65536
#define AUDIO_RATE 22050

// Sets the mixer's recording source to the line input, opens the capture
// device and sets 16-bit little-endian, stereo, 22050 Hz. Returns the handle
// (> 0), or -1 (device missing or refusing a setting; nothing stays open).
int AudioOpen();

// Reads what the device has ready, in whole fragments, one fragment left
// behind: 0 when fewer than 3 fragments are ready, -1 without a handle (or
// when the device fails before anything was read), else the bytes read, at
// most AUDIO_READ_MAX and at most `capacity`, always whole stereo frames.
int AudioProc(int handle, uint8_t* buffer, size_t capacity = AUDIO_BUFFER_SIZE);

// Reads and throws away `bytes` bytes (camtap drops 512 after opening).
// Returns the bytes read or -1.
int AudioDiscard(int handle, int bytes);

// Resets and closes the device; handles <= 0 are ignored.
void AudioClose(int handle);

// Loudness 0..63 of `count` samples read every `step` 16-bit words from
// `first`: sum of absolute values >> 18, at most 63; 0 for count <= 0.
int AudioCNTActiv(const int16_t* first, int count, int step);

// Sample count and word step of one channel's block in `bytes` captured
// bytes, for rate divisor `divisor` (22050 / rate): every (2 x divisor)-th
// word, (bytes / 2) / divisor samples, halved unless `stereo` is set. The
// count is limited so that the block stays inside the captured bytes when it
// starts at word 0 (left) or word 1 (right): a doubled count would read past
// them, so with `stereo` it codes what fits.
void AudioBlockLayout(int bytes, int divisor, int stereo, int* count, int* step);
