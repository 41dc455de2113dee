// OSS audio devices: the sound card's capture device (/dev/dsp) and its mixer
// (/dev/mixer), behind the four calls of the OSS interface: open, ioctl, read,
// close.
//
// Backend, chosen at open: the real driver when the resolved device path
// (dv::sys_path) is a character device, otherwise a simulator. Handles are
// file descriptors above 0 in both cases (a simulated device holds an eventfd
// as its handle), so "handle > 0" means "open".
//
// The simulated capture device delivers 16-bit little-endian samples (stereo
// after SNDCTL_DSP_STEREO 1, 22050 Hz unless told otherwise), produced in real
// time from the first read on, as real OSS starts recording on the first read.
// Data that is not read in time is dropped once the device's fragments are
// full, as on an overrun. Its settings come from the regular file at the
// device path, if there is one: "key=value" lines, '#' starts a comment,
// unknown keys are ignored:
//
//   source=silence   silence | tone | noise | wav                (silence)
//   frequency=440    tone frequency in Hz, left channel            (440)
//   frequency_right=  tone frequency of the right channel     (frequency)
//   amplitude=8000   peak amplitude of tone and noise, 0..32767   (8000)
//   seed=1           noise seed                                       (1)
//   wav=PATH         16-bit or 8-bit PCM WAV file, mono or stereo, any rate
//                    (played at the device rate by nearest sample); a
//                    relative path is taken from the settings file's folder;
//                    the path is used as it stands (not below DEEPVAULT_ROOT)
//   loop=1           repeat the WAV file; 0 = silence after its end     (1)
//   fast=0           1 = no pacing: every fragment is ready at once, for
//                    benchmarks                                         (0)
//   fragment=4096    fragment size in bytes, a multiple of 4, 256..65536
//   fragments=16     fragments the device holds                        (16)
//   rate=0           rate granted to SNDCTL_DSP_SPEED; 0 = the rate asked
//   fail=            comma list of operations that fail with EIO: open,
//                    setfmt, stereo, speed, getispace, read, recsrc
//
// The simulated mixer accepts SOUND_MIXER_WRITE_RECSRC / READ_RECSRC /
// READ_RECMASK and honours fail=open,recsrc from its own settings file.
// A settings file that cannot be used (bad value, unreadable WAV) makes the
// open fail with EINVAL.
//
// Single-threaded use; the simulator's table of open devices is process-wide.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dv {

// Opens the device at a logical path ("/dev/dsp", "/dev/mixer"), resolved
// through the system root. Returns a handle > 0, or -1 with errno set.
int oss_open(const char* logical_path, int flags);

// The same with a path that is already resolved (tests, tools).
int oss_open_path(const std::string& resolved_path, int flags);

// OSS requests (SNDCTL_DSP_*, SOUND_MIXER_*): 0 or -1 with errno set.
int oss_ioctl(int handle, unsigned long request, void* arg);

// Reads up to n bytes; blocks until n bytes are there (a simulated device
// paces in real time) unless the device was opened O_NONBLOCK. An interrupted
// wait returns what was read so far, or -1 with errno EINTR.
ssize_t oss_read(int handle, void* buf, size_t n);

// Closes the handle: 0 or -1.
int oss_close(int handle);

// True when the handle is a simulated device.
bool oss_is_simulated(int handle);

// Simulator settings as parsed from a settings file.
struct OssSimSettings {
  enum class Source { kSilence, kTone, kNoise, kWav };
  Source source = Source::kSilence;
  double frequency = 440;
  double frequency_right = -1;  // -1: same as frequency
  int amplitude = 8000;
  uint32_t seed = 1;
  std::string wav;
  bool loop = true;
  bool fast = false;
  int fragment = 4096;
  int fragments = 16;
  int rate = 0;
  std::vector<std::string> fail;
};

// Parses settings text; returns false (with a reason in *error) for a bad
// value. Unknown keys are ignored.
bool oss_parse_settings(const std::string& text, OssSimSettings* out, std::string* error);

// A decoded WAV file: interleaved 16-bit samples.
struct WavData {
  int channels = 0;
  int rate = 0;
  std::vector<int16_t> samples;
};

// Decodes an in-memory WAV file (PCM 8 or 16 bit, 1 or 2 channels); every
// length is checked against the data. Returns false for anything else.
bool wav_decode(const uint8_t* data, size_t size, WavData* out);

}  // namespace dv
