#include "capture/audio/audio.h"

#include <fcntl.h>
#include <linux/soundcard.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "lib/devices/oss_audio.h"
#include "lib/platform/log.h"

namespace {

constexpr char kMixer[] = "/dev/mixer";
constexpr char kDsp[] = "/dev/dsp";

void open_error(const char* device) {
  std::fprintf(stderr, "%s: %s\n", device, std::strerror(errno));
}

}  // namespace

int AudioOpen() {
  dv::log_msg("Opening %s\n", kMixer);
  const int mixer = dv::oss_open(kMixer, O_RDWR);
  if (mixer < 0) {
    open_error(kMixer);
    return -1;
  }
  int source = SOUND_MASK_LINE;  // 64: record from the line input
  dv::oss_ioctl(mixer, SOUND_MIXER_WRITE_RECSRC, &source);
  dv::oss_close(mixer);

  dv::log_msg("Opening %s\n", kDsp);
  const int dsp = dv::oss_open(kDsp, O_RDWR);
  if (dsp < 0) {
    open_error(kDsp);
    return -1;
  }
  int format = AFMT_S16_LE;
  if (dv::oss_ioctl(dsp, SNDCTL_DSP_SETFMT, &format) < 0 || format != AFMT_S16_LE) {
    dv::log_msg("Unable to set the sample size");
    dv::oss_close(dsp);
    return -1;
  }
  int stereo = 1;
  if (dv::oss_ioctl(dsp, SNDCTL_DSP_STEREO, &stereo) < 0 || stereo != 1) {
    dv::log_msg("Unable to set mono/stereo");
    dv::oss_close(dsp);
    return -1;
  }
  int speed = AUDIO_RATE;
  if (dv::oss_ioctl(dsp, SNDCTL_DSP_SPEED, &speed) < 0) {
    dv::log_msg("Unable to set audio speed");
    dv::oss_close(dsp);
    return -1;
  }
  dv::log_msg("AudioRate = %u\n", static_cast<unsigned>(speed));
  return dsp;
}

int AudioProc(int handle, uint8_t* buffer, size_t capacity) {
  if (handle <= 0 || !buffer) return -1;
  audio_buf_info info{};
  if (dv::oss_ioctl(handle, SNDCTL_DSP_GETISPACE, &info) < 0) return -1;
  if (info.fragments < 3 || info.fragsize <= 0) return 0;
  const size_t frag = static_cast<size_t>(info.fragsize);
  // Leave one fragment in the device; keep a pass within 65536 bytes.
  size_t count = static_cast<size_t>(info.fragments - 1);
  if (count * frag > 65535) count = AUDIO_READ_MAX / frag;
  const size_t room = capacity < AUDIO_READ_MAX ? capacity : AUDIO_READ_MAX;
  if (count * frag > room) count = room / frag;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    const ssize_t r = dv::oss_read(handle, buffer + total, frag);
    if (r < 0) {
      if (total == 0) return -1;
      break;
    }
    total += static_cast<size_t>(r);
    if (static_cast<size_t>(r) != frag) {
      // The device had less than it announced: keep what came and stop, so
      // that later reads cannot land in the middle of a sample frame.
      dv::log_msg("sound - read != a_info.fragsize");
      break;
    }
  }
  return static_cast<int>(total - total % 4);
}

int AudioDiscard(int handle, int bytes) {
  if (handle <= 0 || bytes < 0) return -1;
  std::vector<uint8_t> sink(static_cast<size_t>(bytes));
  const ssize_t r = dv::oss_read(handle, sink.data(), sink.size());
  return r < 0 ? -1 : static_cast<int>(r);
}

void AudioClose(int handle) {
  if (handle <= 0) return;
  dv::oss_ioctl(handle, SNDCTL_DSP_RESET, nullptr);
  dv::oss_close(handle);
}

int AudioCNTActiv(const int16_t* first, int count, int step) {
  if (!first || count <= 0 || step < 1) return 0;
  uint64_t sum = 0;
  const size_t stride = static_cast<size_t>(step);
  for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
    const int v = first[i * stride];
    sum += static_cast<uint64_t>(v < 0 ? -v : v);
  }
  sum >>= 18;
  return sum > 63 ? 63 : static_cast<int>(sum);
}

void AudioBlockLayout(int bytes, int divisor, int stereo, int* count, int* step) {
  *step = 2 * (divisor > 0 ? divisor : 1);
  const int words = bytes / 2;
  if (words < 2 || divisor <= 0) {
    *count = 0;
    return;
  }
  int n = words / divisor;
  if (!stereo) n /= 2;
  const int fits = (words - 2) / *step + 1;  // last word read: 1 + (n - 1) * step
  *count = n < fits ? n : fits;
}
