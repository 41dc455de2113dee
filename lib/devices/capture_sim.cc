#include "lib/devices/capture_sim.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lib/devices/capture_scene.h"
#include "lib/devices/zarn3.h"
#include "lib/platform/log.h"

namespace dv {
namespace {

constexpr int64_t kNsPerSec = 1000000000;
constexpr size_t kMaxSettingsBytes = 65536;
constexpr size_t kPalPicture = static_cast<size_t>(kCapSimWidth) * kCapSimPalHeight * 3 / 2;
constexpr size_t kAreaSize = kPalPicture * kCapSimBuffers;

// ---------------------------------------------------------------------------
// The real clock.

int64_t real_now(void*) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

int real_sleep_until(void*, int64_t t) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(t / kNsPerSec);
  ts.tv_nsec = static_cast<long>(t % kNsPerSec);
  int rc = clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return 0;
}

const CapSimClock kRealClock = {real_now, real_sleep_until, nullptr};

// ---------------------------------------------------------------------------
// Frame periods. Period n of a standard with rate r pictures per second
// starts at n / r seconds after the epoch (times are never negative here).

int64_t period_of(int64_t t_ns, int rate) {
  if (t_ns < 0) t_ns = 0;
  return (t_ns / kNsPerSec) * rate + (t_ns % kNsPerSec) * rate / kNsPerSec;
}

int64_t period_start(int64_t n, int rate) {
  return (n / rate) * kNsPerSec + ((n % rate) * kNsPerSec + rate - 1) / rate;
}

int64_t period_ms(int64_t n, int rate) { return (n / rate) * 1000 + (n % rate) * 1000 / rate; }

// ---------------------------------------------------------------------------
// Settings text.

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// A piece of outside text made safe for a log line.
std::string printable(std::string_view s) {
  std::string out;
  for (char c : s.substr(0, 40)) {
    out += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  if (s.size() > 40) out += "...";
  return out;
}

bool parse_bool(std::string_view v, bool* out) {
  if (v == "1" || v == "on" || v == "yes" || v == "true") {
    *out = true;
    return true;
  }
  if (v == "0" || v == "off" || v == "no" || v == "false") {
    *out = false;
    return true;
  }
  return false;
}

bool parse_uint(std::string_view v, int64_t max, int64_t* out) {
  if (v.empty() || v.size() > 18) return false;
  int64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n > max) return false;
  *out = n;
  return true;
}

// "12", "12.5", "0.040": a non-negative decimal in units of 10^-digits.
bool parse_decimal(std::string_view v, int digits, int64_t max_whole, int64_t* out) {
  size_t dot = v.find('.');
  std::string_view whole = v.substr(0, dot);
  int64_t w;
  if (!parse_uint(whole, max_whole, &w)) return false;
  int64_t frac = 0;
  int used = 0;
  if (dot != std::string_view::npos) {
    std::string_view f = v.substr(dot + 1);
    if (f.empty()) return false;
    for (char c : f) {
      if (c < '0' || c > '9') return false;
      if (used < digits) {
        frac = frac * 10 + (c - '0');
        ++used;
      }
    }
  }
  for (; used < digits; ++used) frac *= 10;
  int64_t scale = 1;
  for (int i = 0; i < digits; ++i) scale *= 10;
  *out = w * scale + frac;
  return true;
}

bool parse_camera_list(std::string_view v, unsigned* out) {
  if (v == "none") {
    *out = 0;
    return true;
  }
  unsigned mask = 0;
  while (true) {
    size_t comma = v.find(',');
    std::string_view item = trim(v.substr(0, comma));
    if (item.size() != 1 || item[0] < '0' || item[0] > '3') return false;
    mask |= 1u << (item[0] - '0');
    if (comma == std::string_view::npos) break;
    v.remove_prefix(comma + 1);
  }
  *out = mask;
  return true;
}

// Splits a unit suffix ("s" seconds, "f" frame periods) off a range end.
std::string_view split_unit(std::string_view v, char* unit) {
  *unit = 0;
  if (!v.empty() && (v.back() == 's' || v.back() == 'f')) {
    *unit = v.back();
    v.remove_suffix(1);
  }
  return trim(v);
}

// A range end in its unit: frame periods as they are, seconds in milliseconds.
bool parse_range_end(std::string_view v, bool frames, int64_t* out) {
  if (frames) return parse_uint(v, int64_t{1} << 40, out);
  return parse_decimal(v, 3, int64_t{1} << 32, out);
}

// "A-B" or "A" items, comma-separated; both ends of an item share a unit.
bool parse_ranges(std::string_view v, std::vector<CapSimRange>* out) {
  out->clear();
  while (true) {
    size_t comma = v.find(',');
    std::string_view item = trim(v.substr(0, comma));
    size_t dash = item.find('-');
    char ua, ub = 0;
    std::string_view a_text = split_unit(trim(item.substr(0, dash)), &ua);
    std::string_view b_text;
    if (dash != std::string_view::npos) b_text = split_unit(trim(item.substr(dash + 1)), &ub);
    if (ua && ub && ua != ub) return false;  // mixed units
    const bool frames = (ua ? ua : ub) == 'f';
    int64_t a, b;
    if (!parse_range_end(a_text, frames, &a)) return false;
    if (dash == std::string_view::npos) {
      b = a + (frames ? 1 : 1000);
    } else if (!parse_range_end(b_text, frames, &b)) {
      return false;
    }
    if (b < a || out->size() >= 256) return false;
    out->push_back({a, b, frames});
    if (comma == std::string_view::npos) break;
    v.remove_prefix(comma + 1);
  }
  return true;
}

bool parse_size(std::string_view v, int* w, int* h) {
  size_t x = v.find('x');
  if (x == std::string_view::npos) return false;
  int64_t a, b;
  if (!parse_uint(v.substr(0, x), 4096, &a) || !parse_uint(v.substr(x + 1), 4096, &b)) {
    return false;
  }
  if (a < 2 || b < 2 || a % 2 || b % 2) return false;
  *w = static_cast<int>(a);
  *h = static_cast<int>(b);
  return true;
}

// One key of the settings; false when the value is refused.
bool apply_setting(std::string_view key, std::string_view value, CapSimSettings* s, bool* known) {
  *known = true;
  if (key == "fast") return parse_bool(value, &s->fast);
  if (key == "standard") {
    if (value == "pal") {
      s->ntsc = false;
    } else if (value == "ntsc") {
      s->ntsc = true;
    } else {
      return false;
    }
    return true;
  }
  if (key == "free_run") return parse_camera_list(value, &s->free_run);
  if (key == "origin") {
    int64_t ns;
    if (!parse_decimal(value, 9, int64_t{1} << 33, &ns)) return false;
    s->has_origin = true;
    s->origin_ns = ns;
    return true;
  }
  if (key.size() > 5 && key.substr(0, 3) == "cam" && key[3] >= '0' && key[3] <= '3' &&
      key[4] == '.') {
    CapSimCamera& c = s->cam[key[3] - '0'];
    std::string_view what = key.substr(5);
    if (what == "signal") return parse_bool(value, &c.signal);
    if (what == "deliver") return parse_bool(value, &c.deliver);
    if (what == "file") {
      c.file = std::string(value);
      return true;
    }
    if (what == "size") return parse_size(value, &c.file_w, &c.file_h);
    if (what == "motion") {
      if (value == "on") {
        c.motion = CAPSIM_MOTION_ON;
        c.ranges.clear();
        return true;
      }
      if (value == "off") {
        c.motion = CAPSIM_MOTION_OFF;
        c.ranges.clear();
        return true;
      }
      std::vector<CapSimRange> r;
      if (!parse_ranges(value, &r)) return false;
      c.motion = CAPSIM_MOTION_RANGES;
      c.ranges = std::move(r);
      return true;
    }
  }
  *known = false;
  return false;
}

// ---------------------------------------------------------------------------
// The driver's programming, own or published by another process.

struct Programming {
  bool ntsc = false;
  int main = -1;
  int slots[4] = {-1, -1, -1, -1};
  bool started = false;
};

int camera_of(const Programming& p, int64_t n) {
  int c = p.slots[n & 3];
  return c >= 0 ? c : p.main;
}

bool any_camera(const Programming& p) {
  for (int s = 0; s < 4; ++s) {
    if (camera_of(p, s) >= 0) return true;
  }
  return false;
}

// Cameras that deliver no pictures (deliver=0): bit N for camera N.
unsigned silent_cameras(const CapSimSettings& s) {
  unsigned mask = 0;
  for (int c = 0; c < 4; ++c) {
    if (!s.cam[c].deliver) mask |= 1u << c;
  }
  return mask;
}

// The camera whose picture period n brings, or -1 when the period passes
// without one (no camera programmed for it, or a silent one).
int picture_camera(const Programming& p, unsigned silent, int64_t n) {
  const int c = camera_of(p, n);
  return c >= 0 && (silent & (1u << c)) == 0 ? c : -1;
}

// Pictures in periods [from, to).
int64_t pictures_between(const Programming& p, unsigned silent, int64_t from, int64_t to) {
  if (to <= from) return 0;
  int per_cycle = 0;
  for (int s = 0; s < 4; ++s) per_cycle += picture_camera(p, silent, s) >= 0;
  int64_t count = (to - from) / 4 * per_cycle;
  for (int64_t n = from + (to - from) / 4 * 4; n < to; ++n) {
    count += picture_camera(p, silent, n) >= 0;
  }
  return count;
}

// The first period from `from` on that brings a picture, or -1 when none of
// the programmed cameras delivers (the slot table repeats every 4 periods).
int64_t next_picture(const Programming& p, unsigned silent, int64_t from) {
  for (int64_t n = from; n < from + 4; ++n) {
    if (picture_camera(p, silent, n) >= 0) return n;
  }
  return -1;
}

struct FileKey {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtime_ns = 0;
  bool operator==(const FileKey&) const = default;
};

FileKey key_of(const struct stat& st) {
  FileKey k;
  k.exists = true;
  k.dev = st.st_dev;
  k.ino = st.st_ino;
  k.size = st.st_size;
  k.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * kNsPerSec + st.st_mtim.tv_nsec;
  return k;
}

// What a buffer of the area holds.
struct BufferTag {
  int camera = -1;
  int64_t n = 0;
  uint64_t generation = 0;
  bool signal = false;
};

}  // namespace

struct CaptureSim {
  std::string path;        // settings file
  std::string dir;         // its folder, for relative file names
  std::string state_path;  // published programming
  const CapSimClock* clock = &kRealClock;

  // Settings and what they opened.
  CapSimSettings set;
  FileKey settings_key;
  bool settings_trouble_logged = false;
  int64_t origin_ns = 0;
  uint64_t generation = 1;  // changes with every settings load
  CapFile files[4];
  bool file_bad[4] = {};
  bool file_ntsc[4] = {};  // standard the files were opened for

  // Programming: own once this process sent a programming request.
  bool programmed = false;
  Programming own;
  bool wrote_state = false;
  bool keep_private = false;
  bool state_trouble_logged = false;
  Programming shared;
  bool shared_valid = false;
  pid_t shared_pid = 0;
  FileKey state_key;

  // Capture.
  int64_t next = -1;  // first period not yet delivered; -1: set at the next wait
  int64_t last = -1;  // last period delivered
  int64_t delivered = 0, lost = 0, resets = 0;
  int current = -1;

  // The picture area and what each buffer holds.
  uint8_t* area = nullptr;
  BufferTag tags[kCapSimBuffers];
  CapScene scene;
};

namespace {

void sim_log(CaptureSim* sim, const std::string& what) {
  log_msg("tvp5150 sim: %s: %s", sim->path.c_str(), what.c_str());
}

int rate_of(bool ntsc) { return ntsc ? 30 : 25; }

bool pid_alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// Reads the programming another process published.
void refresh_state(CaptureSim* sim) {
  struct stat st;
  if (::stat(sim->state_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    sim->shared_valid = false;
    sim->state_key = FileKey();
    return;
  }
  FileKey key = key_of(st);
  if (key != sim->state_key) {
    sim->state_key = key;
    sim->shared_valid = false;
    FILE* f = std::fopen(sim->state_path.c_str(), "re");
    if (!f) return;
    Programming p;
    int pid = 0, started = 0, fields = 0;
    char standard[8] = "";
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
      if (std::sscanf(line, "pid=%d", &pid) == 1) {
        fields |= 1;
      } else if (std::sscanf(line, "standard=%7s", standard) == 1) {
        fields |= 2;
      } else if (std::sscanf(line, "main=%d", &p.main) == 1) {
        fields |= 4;
      } else if (std::sscanf(line, "slots=%d,%d,%d,%d", &p.slots[0], &p.slots[1], &p.slots[2],
                             &p.slots[3]) == 4) {
        fields |= 8;
      } else if (std::sscanf(line, "started=%d", &started) == 1) {
        fields |= 16;
      }
    }
    std::fclose(f);
    bool ok = fields == 31 && p.main >= -1 && p.main <= 3;
    for (int s = 0; s < 4; ++s) ok = ok && p.slots[s] >= -1 && p.slots[s] <= 3;
    if (!ok) return;
    p.ntsc = std::strcmp(standard, "ntsc") == 0;
    p.started = started != 0;
    sim->shared = p;
    sim->shared_pid = pid;
    sim->shared_valid = true;
  }
  if (sim->shared_valid && !pid_alive(sim->shared_pid)) sim->shared_valid = false;
}

void publish_state(CaptureSim* sim) {
  if (sim->keep_private) return;
  const Programming& p = sim->own;
  char text[160];
  int n = std::snprintf(text, sizeof text,
                        "pid=%d\nstandard=%s\nmain=%d\nslots=%d,%d,%d,%d\nstarted=%d\n",
                        static_cast<int>(::getpid()), p.ntsc ? "ntsc" : "pal", p.main, p.slots[0],
                        p.slots[1], p.slots[2], p.slots[3], p.started ? 1 : 0);
  std::string tmp = sim->state_path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && ::write(fd, text, static_cast<size_t>(n)) == n;
  if (fd >= 0) ::close(fd);
  ok = ok && ::rename(tmp.c_str(), sim->state_path.c_str()) == 0;
  if (!ok) {
    int e = errno;
    ::unlink(tmp.c_str());
    if (!sim->state_trouble_logged) {
      sim_log(sim, std::string("cannot publish the driver state: ") + std::strerror(e));
    }
    sim->state_trouble_logged = true;
    return;
  }
  sim->wrote_state = true;
}

// The first programming request takes over the driver as it is.
Programming* program(CaptureSim* sim) {
  if (!sim->programmed) {
    refresh_state(sim);
    if (sim->shared_valid) {
      sim->own = sim->shared;
    } else {
      sim->own = Programming();
      sim->own.ntsc = sim->set.ntsc;
    }
    sim->programmed = true;
  }
  return &sim->own;
}

// The programming in force: own, else another live process's, else none.
const Programming* effective(CaptureSim* sim) {
  if (sim->programmed) return &sim->own;
  refresh_state(sim);
  return sim->shared_valid ? &sim->shared : nullptr;
}

bool effective_ntsc(CaptureSim* sim) {
  const Programming* p = effective(sim);
  return p ? p->ntsc : sim->set.ntsc;
}

// A file name of the settings, relative to their folder.
std::string file_path(const CaptureSim* sim, const std::string& name) {
  return name[0] == '/' ? name : sim->dir + name;
}

// (Re)opens the file source of camera c for the standard given (a raw file
// without a size in the settings has frames of the picture size).
void open_file(CaptureSim* sim, int c, bool ntsc) {
  capfile_close(&sim->files[c]);
  sim->file_bad[c] = false;
  sim->file_ntsc[c] = ntsc;
  const CapSimCamera& cam = sim->set.cam[c];
  if (cam.file.empty()) return;
  std::string p = file_path(sim, cam.file);
  int rw = cam.file_w ? cam.file_w : kCapSimWidth;
  int rh = cam.file_h ? cam.file_h : (ntsc ? kCapSimNtscHeight : kCapSimPalHeight);
  std::string err, note;
  if (capfile_open(&sim->files[c], p, rw, rh, &err, &note) != 0) {
    sim->file_bad[c] = true;
    sim_log(sim, "camera " + std::to_string(c) + ": " + p + ": " + err + "; no signal");
  } else if (!note.empty()) {
    sim_log(sim, "camera " + std::to_string(c) + ": " + p + ": " + note);
  }
}

void open_files(CaptureSim* sim) {
  const bool ntsc = effective_ntsc(sim);
  for (int c = 0; c < 4; ++c) open_file(sim, c, ntsc);
}

// Reads the settings file when it changed. at_open: failures are returned;
// later they are logged once and the settings in force are kept.
int refresh_settings(CaptureSim* sim, bool at_open) {
  struct stat st;
  if (::stat(sim->path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      if (at_open) return -1;
      if (!sim->settings_trouble_logged) sim_log(sim, std::strerror(errno));
      sim->settings_trouble_logged = true;
      return 0;
    }
    if (!at_open && !sim->settings_key.exists) return 0;
    // No file: the defaults.
    sim->set = CapSimSettings();
    sim->settings_key = FileKey();
    sim->origin_ns = 0;
    ++sim->generation;
    open_files(sim);
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    int e = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    if (at_open) {
      errno = e;
      return -1;
    }
    if (!sim->settings_trouble_logged) sim_log(sim, "not a regular file; settings kept");
    sim->settings_trouble_logged = true;
    return 0;
  }
  FileKey key = key_of(st);
  if (!at_open && key == sim->settings_key) return 0;
  int fd = ::open(sim->path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (at_open) return -1;
    if (!sim->settings_trouble_logged) sim_log(sim, std::strerror(errno));
    sim->settings_trouble_logged = true;
    return 0;
  }
  std::string text(kMaxSettingsBytes + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t r = ::read(fd, text.data() + got, text.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  std::vector<std::string> errors;
  if (got > kMaxSettingsBytes) {
    got = kMaxSettingsBytes;
    errors.push_back("longer than " + std::to_string(kMaxSettingsBytes) +
                     " bytes; the rest is ignored");
  }
  text.resize(got);
  CapSimSettings fresh;
  capsim_parse_settings(text, &fresh, &errors);
  for (const std::string& e : errors) sim_log(sim, e);
  sim->set = fresh;
  sim->settings_key = key;
  sim->settings_trouble_logged = false;
  sim->origin_ns = fresh.has_origin ? fresh.origin_ns : key.mtime_ns;
  ++sim->generation;
  open_files(sim);
  return 0;
}

bool moving(CaptureSim* sim, int camera, int64_t n, int rate) {
  const CapSimCamera& c = sim->set.cam[camera];
  if (c.motion == CAPSIM_MOTION_ON) return true;
  if (c.motion == CAPSIM_MOTION_OFF) return false;
  const int64_t frame = n - period_of(sim->origin_ns, rate);
  const int64_t start = period_start(n, rate) - sim->origin_ns;
  const int64_t ms = start >= 0 ? start / 1000000 : -((-start + 999999) / 1000000);
  for (const CapSimRange& r : sim->set.cam[camera].ranges) {
    int64_t x = r.frames ? frame : ms;
    if (x >= r.start && x < r.end) return true;
  }
  return false;
}

// Draws the picture of (camera, n) into out at the size of the standard.
// Returns whether the camera has a signal.
bool draw(CaptureSim* sim, int camera, int64_t n, bool ntsc, uint8_t* out) {
  const int w = kCapSimWidth, h = ntsc ? kCapSimNtscHeight : kCapSimPalHeight;
  const int rate = rate_of(ntsc);
  const CapSimCamera& c = sim->set.cam[camera];
  if (!c.file.empty() && c.file_w == 0 && sim->file_ntsc[camera] != ntsc) {
    open_file(sim, camera, ntsc);  // raw frames follow the picture size
  }
  bool signal = c.signal && !sim->file_bad[camera];
  if (signal && !c.file.empty()) {
    if (capfile_render(&sim->files[camera], n - period_of(sim->origin_ns, rate), w, h, out) != 0) {
      sim->file_bad[camera] = true;
      sim_log(sim, "camera " + std::to_string(camera) + ": " + file_path(sim, c.file) +
                       ": cannot be read any more; no signal");
      signal = false;
    }
  } else if (signal) {
    capscene_set_size(&sim->scene, w, h);
    capscene_render(&sim->scene, camera, n, moving(sim, camera, n, rate), out);
  }
  if (!signal) capscene_black(w, h, out);
  return signal;
}

// Puts the picture of (camera, n) into its buffer unless it is there already.
// Returns the buffer index; *signal tells whether the camera has a signal.
int fill_buffer(CaptureSim* sim, int camera, int64_t n, bool ntsc, bool* signal) {
  const int idx = static_cast<int>(n % kCapSimBuffers);
  const size_t size = yuv420_size(kCapSimWidth, ntsc ? kCapSimNtscHeight : kCapSimPalHeight);
  BufferTag& t = sim->tags[idx];
  if (t.camera != camera || t.n != n || t.generation != sim->generation) {
    t.signal = draw(sim, camera, n, ntsc, sim->area + idx * size);
    t.camera = camera;
    t.n = n;
    t.generation = sim->generation;
  }
  *signal = t.signal;
  return idx;
}

int fail(int e) {
  errno = e;
  return -1;
}

int get_frame(CaptureSim* sim) {
  refresh_settings(sim, false);
  const Programming* p = effective(sim);
  if (!p || !p->started || !any_camera(*p)) return fail(EAGAIN);
  const bool ntsc = p->ntsc;
  const int rate = rate_of(ntsc);
  int64_t n;
  int empty_waits = 0;
  for (;;) {
    const bool fast = sim->set.fast;
    const unsigned silent = silent_cameras(sim->set);
    int64_t now_period = 0;
    if (!fast || sim->next < 0) now_period = period_of(sim->clock->now_ns(sim->clock->ctx), rate);
    if (sim->next < 0) sim->next = fast ? now_period : now_period + 1;
    if (!fast && now_period - sim->next + 1 > kCapSimBuffers) {
      // The caller fell behind the ring: the oldest pictures are gone.
      int64_t keep_from = now_period - kCapSimBuffers + 1;
      sim->lost += pictures_between(*p, silent, sim->next, keep_from);
      sim->next = keep_from;
    }
    n = next_picture(*p, silent, sim->next);
    if (n < 0) {
      // No programmed camera delivers: the periods pass empty. Wait for the
      // next one (in fast mode too: nothing would come sooner) and look at
      // the settings again; after a second of nothing, give up as a driver's
      // frame wait does, so that the caller gets to look at its own state.
      if (empty_waits == rate) return fail(ETIMEDOUT);
      ++empty_waits;
      int64_t wake;
      if (fast) {
        wake = sim->clock->now_ns(sim->clock->ctx) + kNsPerSec / rate;
      } else {
        sim->next = now_period + 1;
        wake = period_start(sim->next, rate);
      }
      if (sim->clock->sleep_until_ns(sim->clock->ctx, wake) != 0) return -1;
      refresh_settings(sim, false);
      continue;
    }
    if (fast || n <= now_period) break;
    if (sim->clock->sleep_until_ns(sim->clock->ctx, period_start(n, rate)) != 0) return -1;
    refresh_settings(sim, false);  // a test may have changed them meanwhile
    // Still a picture of a delivering camera: it is due now. Otherwise look
    // again from the first period not yet delivered.
    if (picture_camera(*p, silent_cameras(sim->set), n) >= 0) break;
  }
  const int camera = camera_of(*p, n);
  bool signal;
  int idx = fill_buffer(sim, camera, n, ntsc, &signal);
  int64_t delta = period_ms(n, rate) - period_ms(sim->last >= 0 ? sim->last : n - 1, rate);
  if (delta < 0) delta = 0;
  if (delta > 0x7FFF) delta = 0x7FFF;
  sim->last = n;
  sim->next = n + 1;
  ++sim->delivered;
  sim->current = idx;
  return idx | (camera << 8) | (signal ? 0 : CAP_FRAME_NO_SIGNAL) | static_cast<int>(delta << 16);
}

// A camera that is not captured gives -1; errno is EPERM, which is what a
// kernel driver's -1 becomes in the caller.
int not_captured() { return fail(EPERM); }

int get_latest(CaptureSim* sim, int camera) {
  if (camera < 0 || camera > 3) return fail(EINVAL);
  refresh_settings(sim, false);
  const Programming* p = effective(sim);
  const bool ntsc = p ? p->ntsc : sim->set.ntsc;
  int64_t n = period_of(sim->clock->now_ns(sim->clock->ctx), rate_of(ntsc));
  if (p) {
    if (!p->started) return not_captured();
    int back = 0;
    while (back < 4 && camera_of(*p, n) != camera) {
      --n;
      ++back;
    }
    if (back == 4) return not_captured();
  } else if (!(sim->set.free_run & (1u << camera))) {
    return not_captured();
  }
  if (!sim->set.cam[camera].deliver) return not_captured();  // nothing ever arrives
  if (!sim->set.cam[camera].signal || sim->file_bad[camera]) return CAP_LATEST_NO_SIGNAL;
  bool signal;
  int idx = fill_buffer(sim, camera, n, ntsc, &signal);
  return signal ? idx : CAP_LATEST_NO_SIGNAL;
}

int clamp_int(int64_t v) { return v > INT_MAX ? INT_MAX : static_cast<int>(v); }

int get_stats(CaptureSim* sim, int* out) {
  int64_t in_buff = 0;
  const Programming* p = effective(sim);
  if (p && p->started && any_camera(*p) && sim->next >= 0 && !sim->set.fast) {
    int64_t now_period = period_of(sim->clock->now_ns(sim->clock->ctx), rate_of(p->ntsc));
    in_buff = pictures_between(*p, silent_cameras(sim->set), sim->next, now_period + 1);
    if (in_buff > kCapSimBuffers) in_buff = kCapSimBuffers;
  }
  out[CAP_STAT_FRAME_NUMBER] = clamp_int(sim->delivered);
  out[CAP_STAT_FRAME_CURRENT] = sim->current;
  out[CAP_STAT_FRAMES_LOST] = clamp_int(sim->lost);
  out[CAP_STAT_FRAMES_IN_BUFF] = clamp_int(in_buff);
  out[CAP_STAT_RESET] = clamp_int(sim->resets);
  return 0;
}

}  // namespace

const CapSimClock* capsim_real_clock() { return &kRealClock; }

int capsim_parse_settings(std::string_view text, CapSimSettings* out,
                          std::vector<std::string>* errors) {
  int refused = 0;
  int line_no = 0;
  while (!text.empty()) {
    ++line_no;
    size_t nl = text.find('\n');
    std::string_view line = trim(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty() || line[0] == '#') continue;
    std::string where = "line " + std::to_string(line_no) + ": ";
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      errors->push_back(where + "expected key=value, got '" + printable(line) + "'");
      ++refused;
      continue;
    }
    std::string_view key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    bool known;
    if (!apply_setting(key, value, out, &known)) {
      errors->push_back(where + (known
                                     ? "bad value '" + printable(value) + "' for " + printable(key)
                                     : "unknown key '" + printable(key) + "'"));
      ++refused;
    }
  }
  return refused;
}

CaptureSim* capsim_open(const std::string& settings_path, const CapSimClock* clock) {
  CaptureSim* sim = new CaptureSim;
  sim->path = settings_path;
  size_t slash = settings_path.rfind('/');
  sim->dir = slash == std::string::npos ? "" : settings_path.substr(0, slash + 1);
  sim->state_path = settings_path + ".state";
  if (clock) sim->clock = clock;
  if (refresh_settings(sim, true) != 0) {
    int e = errno;
    delete sim;
    errno = e;
    return nullptr;
  }
  void* a = ::mmap(nullptr, kAreaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (a == MAP_FAILED) {
    int e = errno;
    delete sim;
    errno = e;
    return nullptr;
  }
  sim->area = static_cast<uint8_t*>(a);
  return sim;
}

void capsim_keep_private(CaptureSim* sim) { sim->keep_private = true; }

int capsim_request(CaptureSim* sim, unsigned long request, uintptr_t arg) {
  const uint32_t value = static_cast<uint32_t>(arg);
  int* ptr = reinterpret_cast<int*>(arg);
  switch (request) {
    case CAP_START: {
      Programming* p = program(sim);
      p->started = true;
      sim->next = -1;
      sim->last = -1;
      ++sim->resets;
      publish_state(sim);
      return 0;
    }
    case CAP_STOP:
      program(sim)->started = false;
      publish_state(sim);
      return 0;
    case CAP_SET_NTSC:
    case CAP_SET_PAL: {
      Programming* p = program(sim);
      bool ntsc = request == CAP_SET_NTSC;
      if (p->ntsc != ntsc) {
        p->ntsc = ntsc;
        sim->next = -1;  // the periods changed
        sim->last = -1;
      }
      publish_state(sim);
      return 0;
    }
    case CAP_SET_MAIN:
      if (value != CAP_NONE && value > 3) return fail(EINVAL);
      program(sim)->main = value == CAP_NONE ? -1 : static_cast<int>(value);
      publish_state(sim);
      return 0;
    case CAP_SET_SLOT: {
      const uint32_t slot = value & 0xFF, camera = (value >> 8) & 0xFF;
      if (value & CAP_NONE) {
        if ((value & ~(CAP_NONE | 0xFFFFu)) != 0 || slot > 3 || camera != slot) {
          return fail(EINVAL);
        }
        program(sim)->slots[slot] = -1;
      } else {
        if ((value & 0xFFFF0000u) != 0 || slot > 3 || camera > 3) return fail(EINVAL);
        program(sim)->slots[slot] = static_cast<int>(camera);
      }
      publish_state(sim);
      return 0;
    }
    case CAP_GET_FRAME:
      return get_frame(sim);
    case CAP_GET_STATS:
      if (!ptr) return fail(EFAULT);
      return get_stats(sim, ptr);
    case CAP_GET_BUFSIZE:
      if (!ptr) return fail(EFAULT);
      *ptr = static_cast<int>(kAreaSize);
      return 0;
    case CAP_GET_WIDTH:
      return kCapSimWidth;
    case CAP_GET_HEIGHT:
      return effective_ntsc(sim) ? kCapSimNtscHeight : kCapSimPalHeight;
    case CAP_GET_LATEST:
      return get_latest(sim, static_cast<int>(value));
    default:
      return fail(ENOTTY);
  }
}

uint8_t* capsim_area(CaptureSim* sim, size_t* length) {
  *length = kAreaSize;
  return sim->area;
}

void capsim_close(CaptureSim* sim) {
  if (!sim) return;
  if (sim->wrote_state) {
    // Leave no programming behind; only our own file is removed.
    FILE* f = std::fopen(sim->state_path.c_str(), "re");
    int pid = 0;
    if (f) {
      if (std::fscanf(f, "pid=%d", &pid) != 1) pid = 0;
      std::fclose(f);
    }
    if (pid == static_cast<int>(::getpid())) ::unlink(sim->state_path.c_str());
  }
  for (CapFile& f : sim->files) capfile_close(&f);
  if (sim->area) ::munmap(sim->area, kAreaSize);
  delete sim;
}

int capsim_picture(CaptureSim* sim, int camera, int64_t n, uint8_t* out, bool* signal) {
  if (camera < 0 || camera > 3 || n < 0) return fail(EINVAL);
  refresh_settings(sim, false);
  *signal = draw(sim, camera, n, effective_ntsc(sim), out);
  return 0;
}

void capsim_picture_size(CaptureSim* sim, int* width, int* height) {
  *width = kCapSimWidth;
  *height = effective_ntsc(sim) ? kCapSimNtscHeight : kCapSimPalHeight;
}

}  // namespace dv
