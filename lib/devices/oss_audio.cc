#include "lib/devices/oss_audio.h"

#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "lib/platform/sysroot.h"

namespace dv {

namespace {

// ---------------------------------------------------------------------------
// Settings

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool parse_int(const std::string& v, long lo, long hi, long* out) {
  if (v.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long x = std::strtol(v.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || x < lo || x > hi) return false;
  *out = x;
  return true;
}

bool parse_double(const std::string& v, double lo, double hi, double* out) {
  if (v.empty()) return false;
  char* end = nullptr;
  const double x = std::strtod(v.c_str(), &end);
  if (*end != '\0' || !(x >= lo && x <= hi)) return false;
  *out = x;
  return true;
}

bool fails(const OssSimSettings& s, const char* op) {
  return std::find(s.fail.begin(), s.fail.end(), op) != s.fail.end();
}

// ---------------------------------------------------------------------------
// Simulated devices

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct SimDevice {
  bool mixer = false;
  bool nonblock = false;
  OssSimSettings settings;
  WavData wav;
  // Capture format.
  int channels = 1;
  int rate = 8000;
  int format = AFMT_U8;
  // Recording clock: frames produced since `start_ns`, frames taken.
  bool running = false;
  int64_t start_ns = 0;
  int64_t taken = 0;  // frames consumed (or dropped)
  int recsrc = SOUND_MASK_MIC;

  int frame_bytes() const { return 2 * channels; }
  int64_t capacity_frames() const {
    return static_cast<int64_t>(settings.fragment) * settings.fragments / frame_bytes();
  }
  // Frames ready to read now (after dropping what overran the buffer).
  int64_t ready() {
    if (settings.fast) return capacity_frames();
    if (!running) return 0;
    const int64_t produced = (now_ns() - start_ns) * rate / 1000000000;
    if (produced - taken > capacity_frames()) taken = produced - capacity_frames();
    return produced - taken;
  }
  int16_t sample(int64_t frame, int ch) const;
};

int16_t SimDevice::sample(int64_t frame, int ch) const {
  const OssSimSettings& s = settings;
  switch (s.source) {
    case OssSimSettings::Source::kSilence:
      return 0;
    case OssSimSettings::Source::kTone: {
      const double f = (ch == 1 && s.frequency_right >= 0) ? s.frequency_right : s.frequency;
      const double phase = std::fmod(static_cast<double>(frame) * f / rate, 1.0);
      return static_cast<int16_t>(std::lround(s.amplitude * std::sin(2 * M_PI * phase)));
    }
    case OssSimSettings::Source::kNoise: {
      // A hash of (seed, frame, channel): the same stream on every open.
      uint64_t x = (static_cast<uint64_t>(frame) << 1 | static_cast<uint64_t>(ch)) +
                   0x9E3779B97F4A7C15ull * (s.seed + 1);
      x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
      x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
      x ^= x >> 31;
      const int64_t span = 2 * static_cast<int64_t>(s.amplitude) + 1;
      return static_cast<int16_t>(static_cast<int64_t>(x % static_cast<uint64_t>(span)) -
                                  s.amplitude);
    }
    case OssSimSettings::Source::kWav: {
      const int64_t frames = static_cast<int64_t>(wav.samples.size()) / wav.channels;
      if (frames == 0) return 0;
      int64_t m = frame * wav.rate / rate;
      if (m >= frames) {
        if (!s.loop) return 0;
        m %= frames;
      }
      const int c = wav.channels == 1 ? 0 : std::min(ch, wav.channels - 1);
      return wav.samples[static_cast<size_t>(m * wav.channels + c)];
    }
  }
  return 0;
}

std::map<int, std::unique_ptr<SimDevice>>& sims() {
  static std::map<int, std::unique_ptr<SimDevice>> m;
  return m;
}

SimDevice* find_sim(int handle) {
  auto it = sims().find(handle);
  return it == sims().end() ? nullptr : it->second.get();
}

// Moves fd 0 out of the way: handles are always above 0.
int above_zero(int fd) {
  if (fd != 0) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return moved;
}

bool read_text(const std::string& path, std::string* text) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  *text = ss.str();
  return true;
}

int sim_open(const std::string& path, int flags) {
  auto dev = std::make_unique<SimDevice>();
  const std::string base = path.substr(path.find_last_of('/') + 1);
  dev->mixer = base.rfind("mixer", 0) == 0;
  dev->nonblock = (flags & O_NONBLOCK) != 0;
  std::string text;
  if (read_text(path, &text)) {
    std::string error;
    if (!oss_parse_settings(text, &dev->settings, &error)) {
      errno = EINVAL;
      return -1;
    }
  }
  if (fails(dev->settings, "open")) {
    errno = EIO;
    return -1;
  }
  if (!dev->mixer && dev->settings.source == OssSimSettings::Source::kWav) {
    std::string wav = dev->settings.wav;
    if (!wav.empty() && wav[0] != '/') {
      const size_t slash = path.find_last_of('/');
      wav = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + wav;
    }
    std::string data;
    if (wav.empty() || !read_text(wav, &data) ||
        !wav_decode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &dev->wav)) {
      errno = EINVAL;
      return -1;
    }
  }
  int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return -1;
  fd = above_zero(fd);
  if (fd < 0) return -1;
  sims()[fd] = std::move(dev);
  return fd;
}

int sim_ioctl(SimDevice* d, unsigned long request, void* arg) {
  int* iarg = static_cast<int*>(arg);
  if (d->mixer) {
    switch (request) {
      case SOUND_MIXER_WRITE_RECSRC:
        if (fails(d->settings, "recsrc")) break;
        d->recsrc = *iarg & (SOUND_MASK_LINE | SOUND_MASK_MIC);
        if (d->recsrc == 0) d->recsrc = SOUND_MASK_MIC;
        *iarg = d->recsrc;
        return 0;
      case SOUND_MIXER_READ_RECSRC:
        *iarg = d->recsrc;
        return 0;
      case SOUND_MIXER_READ_RECMASK:
        *iarg = SOUND_MASK_LINE | SOUND_MASK_MIC;
        return 0;
      default:
        errno = EINVAL;
        return -1;
    }
    errno = EIO;
    return -1;
  }
  const OssSimSettings& s = d->settings;
  switch (request) {
    case SNDCTL_DSP_SETFMT:
      if (fails(s, "setfmt")) break;
      // The device only records signed 16-bit little-endian; any other
      // request is answered with the format in force.
      if (*iarg == AFMT_S16_LE) d->format = AFMT_S16_LE;
      *iarg = d->format == AFMT_S16_LE ? AFMT_S16_LE : AFMT_U8;
      return 0;
    case SNDCTL_DSP_STEREO:
      if (fails(s, "stereo")) break;
      if (*iarg != 0 && *iarg != 1) {
        errno = EINVAL;
        return -1;
      }
      d->channels = *iarg + 1;
      return 0;
    case SNDCTL_DSP_CHANNELS:
      if (fails(s, "stereo")) break;
      d->channels = *iarg >= 2 ? 2 : 1;
      *iarg = d->channels;
      return 0;
    case SNDCTL_DSP_SPEED:
      if (fails(s, "speed")) break;
      if (*iarg <= 0) {
        errno = EINVAL;
        return -1;
      }
      d->rate = s.rate > 0 ? s.rate : std::clamp(*iarg, 4000, 48000);
      *iarg = d->rate;
      return 0;
    case SNDCTL_DSP_GETBLKSIZE:
      *iarg = s.fragment;
      return 0;
    case SNDCTL_DSP_GETISPACE: {
      if (fails(s, "getispace")) break;
      audio_buf_info* info = static_cast<audio_buf_info*>(arg);
      const int64_t bytes = d->ready() * d->frame_bytes();
      info->fragsize = s.fragment;
      info->fragstotal = s.fragments;
      info->fragments = static_cast<int>(std::min<int64_t>(bytes / s.fragment, s.fragments));
      info->bytes = static_cast<int>(bytes);
      return 0;
    }
    case SNDCTL_DSP_RESET:
      d->running = false;
      d->taken = 0;
      return 0;
    default:
      errno = EINVAL;
      return -1;
  }
  errno = EIO;
  return -1;
}

ssize_t sim_read(SimDevice* d, void* buf, size_t n) {
  if (d->mixer) {
    errno = EINVAL;
    return -1;
  }
  if (fails(d->settings, "read")) {
    errno = EIO;
    return -1;
  }
  if (d->format == AFMT_U8) {
    // Not configured: behave as a silent 8-bit device would.
    std::memset(buf, 0x80, n);
    return static_cast<ssize_t>(n);
  }
  if (!d->running && !d->settings.fast) {
    d->running = true;
    d->start_ns = now_ns();
    d->taken = 0;
  }
  const int fb = d->frame_bytes();
  const size_t want = n / static_cast<size_t>(fb);
  uint8_t* out = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < want) {
    int64_t ready = d->ready();
    if (ready == 0) {
      if (d->nonblock) break;
      // Sleep until the next frames are due (at most 20 ms at a time).
      const int64_t missing = static_cast<int64_t>(want - done);
      int64_t wait_ns = std::min<int64_t>(missing * 1000000000 / d->rate + 1000000, 20000000);
      timespec ts{static_cast<time_t>(wait_ns / 1000000000),
                  static_cast<long>(wait_ns % 1000000000)};
      if (nanosleep(&ts, nullptr) != 0 && errno == EINTR) {
        if (done == 0) return -1;
        break;
      }
      continue;
    }
    const int64_t take = std::min<int64_t>(ready, static_cast<int64_t>(want - done));
    for (int64_t f = 0; f < take; ++f) {
      for (int ch = 0; ch < d->channels; ++ch) {
        const uint16_t v = static_cast<uint16_t>(d->sample(d->taken + f, ch));
        *out++ = static_cast<uint8_t>(v & 0xFF);  // little-endian
        *out++ = static_cast<uint8_t>(v >> 8);
      }
    }
    d->taken += take;
    done += static_cast<size_t>(take);
  }
  if (done == 0 && d->nonblock && want > 0) {
    errno = EAGAIN;
    return -1;
  }
  return static_cast<ssize_t>(done * static_cast<size_t>(fb));
}

}  // namespace

bool oss_parse_settings(const std::string& text, OssSimSettings* out, std::string* error) {
  OssSimSettings s;
  std::istringstream in(text);
  std::string line;
  int lineno = 0;
  auto bad = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(lineno) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineno;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    line = trim(line);
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return bad("no '='");
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    long n = 0;
    if (key == "source") {
      if (value == "silence") {
        s.source = OssSimSettings::Source::kSilence;
      } else if (value == "tone") {
        s.source = OssSimSettings::Source::kTone;
      } else if (value == "noise") {
        s.source = OssSimSettings::Source::kNoise;
      } else if (value == "wav") {
        s.source = OssSimSettings::Source::kWav;
      } else {
        return bad("unknown source " + value);
      }
    } else if (key == "frequency") {
      if (!parse_double(value, 0, 100000, &s.frequency)) return bad("bad frequency");
    } else if (key == "frequency_right") {
      if (!parse_double(value, 0, 100000, &s.frequency_right)) return bad("bad frequency_right");
    } else if (key == "amplitude") {
      if (!parse_int(value, 0, 32767, &n)) return bad("bad amplitude");
      s.amplitude = static_cast<int>(n);
    } else if (key == "seed") {
      if (!parse_int(value, 0, 0xFFFFFFFFL, &n)) return bad("bad seed");
      s.seed = static_cast<uint32_t>(n);
    } else if (key == "wav") {
      s.wav = value;
    } else if (key == "loop") {
      if (!parse_int(value, 0, 1, &n)) return bad("bad loop");
      s.loop = n != 0;
    } else if (key == "fast") {
      if (!parse_int(value, 0, 1, &n)) return bad("bad fast");
      s.fast = n != 0;
    } else if (key == "fragment") {
      if (!parse_int(value, 256, 65536, &n) || n % 4 != 0) return bad("bad fragment");
      s.fragment = static_cast<int>(n);
    } else if (key == "fragments") {
      if (!parse_int(value, 2, 256, &n)) return bad("bad fragments");
      s.fragments = static_cast<int>(n);
    } else if (key == "rate") {
      if (!parse_int(value, 0, 192000, &n) || (n != 0 && n < 1000)) return bad("bad rate");
      s.rate = static_cast<int>(n);
    } else if (key == "fail") {
      std::istringstream ops(value);
      std::string op;
      while (std::getline(ops, op, ',')) {
        op = trim(op);
        if (!op.empty()) s.fail.push_back(op);
      }
    }
  }
  *out = s;
  return true;
}

bool wav_decode(const uint8_t* data, size_t size, WavData* out) {
  auto u16 = [data](size_t p) { return static_cast<uint32_t>(data[p] | (data[p + 1] << 8)); };
  auto u32 = [data](size_t p) {
    return static_cast<uint32_t>(data[p]) | static_cast<uint32_t>(data[p + 1]) << 8 |
           static_cast<uint32_t>(data[p + 2]) << 16 | static_cast<uint32_t>(data[p + 3]) << 24;
  };
  if (!data || size < 12 || std::memcmp(data, "RIFF", 4) != 0 ||
      std::memcmp(data + 8, "WAVE", 4) != 0) {
    return false;
  }
  size_t pos = 12;
  int channels = 0, rate = 0, bits = 0;
  bool have_fmt = false;
  while (pos + 8 <= size) {
    const uint32_t len = u32(pos + 4);
    const size_t body = pos + 8;
    if (len > size - body) return false;  // chunk runs past the file
    if (std::memcmp(data + pos, "fmt ", 4) == 0) {
      if (len < 16) return false;
      const uint32_t tag = u16(body);
      channels = static_cast<int>(u16(body + 2));
      rate = static_cast<int>(u32(body + 4));
      bits = static_cast<int>(u16(body + 14));
      if (tag != 1 || channels < 1 || channels > 2 || rate < 1000 || rate > 192000 ||
          (bits != 8 && bits != 16)) {
        return false;
      }
      have_fmt = true;
    } else if (std::memcmp(data + pos, "data", 4) == 0) {
      if (!have_fmt) return false;
      const size_t bytes_per = static_cast<size_t>(bits / 8);
      const size_t count =
          len / bytes_per / static_cast<size_t>(channels) * static_cast<size_t>(channels);
      out->channels = channels;
      out->rate = rate;
      out->samples.resize(count);
      for (size_t i = 0; i < count; ++i) {
        out->samples[i] =
            bits == 16 ? static_cast<int16_t>(u16(body + 2 * i))
                       : static_cast<int16_t>((static_cast<int>(data[body + i]) - 128) * 256);
      }
      return true;
    }
    pos = body + len + (len & 1);  // chunks are padded to even sizes
  }
  return false;
}

int oss_open_path(const std::string& resolved_path, int flags) {
  if (is_char_device(resolved_path)) {
    const int fd = ::open(resolved_path.c_str(), flags | O_CLOEXEC);
    return fd < 0 ? -1 : above_zero(fd);
  }
  return sim_open(resolved_path, flags);
}

int oss_open(const char* logical_path, int flags) {
  if (!logical_path) {
    errno = EINVAL;
    return -1;
  }
  return oss_open_path(sys_path(logical_path), flags);
}

int oss_ioctl(int handle, unsigned long request, void* arg) {
  if (SimDevice* d = find_sim(handle)) {
    if (!arg && request != SNDCTL_DSP_RESET) {
      errno = EFAULT;
      return -1;
    }
    return sim_ioctl(d, request, arg);
  }
  return ::ioctl(handle, request, arg);
}

ssize_t oss_read(int handle, void* buf, size_t n) {
  if (SimDevice* d = find_sim(handle)) return sim_read(d, buf, n);
  return ::read(handle, buf, n);
}

int oss_close(int handle) {
  sims().erase(handle);
  return ::close(handle);
}

bool oss_is_simulated(int handle) { return find_sim(handle) != nullptr; }

}  // namespace dv
