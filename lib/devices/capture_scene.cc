#include "lib/devices/capture_scene.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lib/devices/zarn3.h"

namespace dv {
namespace {

// Samples of the scene stay inside [kLo, kHi] so that adding noise of -2..2
// never wraps a byte.
constexpr int kLo = 20;
constexpr int kHi = 235;
constexpr int kNoiseTable = 1 << 16;  // power of two
constexpr int kBall = 40;             // ball diameter, even

uint64_t mix64(uint64_t x) {  // splitmix64 finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

int clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

struct Style {
  int sky_top, sky_bottom, sky_u, sky_v;  // sky (or wall) gradient
  int ground_y, ground_u, ground_v;       // ground (or floor)
  int tiles;                              // floor with tiles instead of grass
  int house_y, house_u, house_v;          // houses (or cupboards)
  int window_y;
  int ball_y, ball_u, ball_v;
  int vx, vy, phase_x, phase_y;  // ball speed (pixels per period) and phase
};

// One look per camera, so that pictures of different cameras differ at a
// glance: day, dusk, indoors, night.
constexpr Style kStyles[4] = {
    {205, 165, 150, 112, 105, 100, 104, 0, 150, 118, 140, 200, 82, 92, 218, 5, 3, 0, 40},
    {185, 120, 100, 172, 82, 112, 140, 0, 95, 120, 128, 225, 60, 205, 104, 4, 2, 300, 10},
    {172, 160, 116, 134, 110, 128, 128, 1, 130, 140, 120, 190, 150, 72, 62, 7, 1, 120, 90},
    {40, 62, 142, 124, 36, 126, 126, 0, 48, 132, 124, 205, 210, 40, 150, 3, 4, 500, 70},
};

// 5x7 digits, one row per byte, bit 4 = leftmost column.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// Planar picture under construction.
struct Planar {
  int w, h;
  std::vector<uint8_t> buf;
  uint8_t* y() { return buf.data(); }
  uint8_t* u() { return buf.data() + static_cast<size_t>(w) * h; }
  uint8_t* v() { return u() + static_cast<size_t>(w / 2) * (h / 2); }
};

void fill_rect(Planar* p, int x0, int y0, int x1, int y1, int yv, int uv, int vv) {
  x0 = clampi(x0, 0, p->w);
  x1 = clampi(x1, 0, p->w);
  y0 = clampi(y0, 0, p->h);
  y1 = clampi(y1, 0, p->h);
  for (int yy = y0; yy < y1; ++yy) {
    std::memset(p->y() + static_cast<size_t>(yy) * p->w + x0, yv, std::max(0, x1 - x0));
  }
  for (int yy = y0 / 2; yy < (y1 + 1) / 2; ++yy) {
    for (int xx = x0 / 2; xx < (x1 + 1) / 2; ++xx) {
      p->u()[static_cast<size_t>(yy) * (p->w / 2) + xx] = static_cast<uint8_t>(uv);
      p->v()[static_cast<size_t>(yy) * (p->w / 2) + xx] = static_cast<uint8_t>(vv);
    }
  }
}

void draw_background(int camera, int w, int h, uint8_t* zarn3) {
  const Style& s = kStyles[camera];
  Planar p{w, h, std::vector<uint8_t>(yuv420_size(w, h))};
  const int horizon = h * 9 / 20;
  // Sky (or wall): vertical gradient.
  for (int yy = 0; yy < horizon; ++yy) {
    int yv = s.sky_top + (s.sky_bottom - s.sky_top) * yy / std::max(1, horizon);
    std::memset(p.y() + static_cast<size_t>(yy) * w, yv, w);
  }
  // Ground (or floor): grass texture or tiles, fixed per camera.
  for (int yy = horizon; yy < h; ++yy) {
    uint8_t* row = p.y() + static_cast<size_t>(yy) * w;
    for (int xx = 0; xx < w; ++xx) {
      int t;
      if (s.tiles) {
        t = (((xx / 32) + (yy - horizon) / 16) & 1) ? 14 : -14;
        if (xx % 32 == 0 || (yy - horizon) % 16 == 0) t = -30;
      } else {
        t = static_cast<int>(mix64((static_cast<uint64_t>(camera) << 40) ^
                                   (static_cast<uint64_t>(yy) << 20) ^ static_cast<uint64_t>(xx)) %
                             25) -
            12;
      }
      row[xx] = static_cast<uint8_t>(clampi(s.ground_y + t, 0, 255));
    }
  }
  const int cw = w / 2;
  for (int cy = 0; cy < h / 2; ++cy) {
    bool sky = 2 * cy < horizon;
    std::memset(p.u() + static_cast<size_t>(cy) * cw, sky ? s.sky_u : s.ground_u, cw);
    std::memset(p.v() + static_cast<size_t>(cy) * cw, sky ? s.sky_v : s.ground_v, cw);
  }
  // Houses standing on the horizon, each with a grid of windows.
  uint64_t seed = mix64(0xCA3E0000ull + static_cast<uint64_t>(camera));
  int x = 40 + static_cast<int>(seed % 40);
  for (int i = 0; i < 5 && x < w - 60; ++i) {
    seed = mix64(seed);
    int hw = 60 + static_cast<int>(seed % 60);
    int hh = 40 + static_cast<int>((seed >> 16) % static_cast<uint64_t>(std::max(1, horizon - 50)));
    int top = horizon - hh;
    fill_rect(&p, x, top, x + hw, horizon + 6, s.house_y - 10 * (i & 1), s.house_u, s.house_v);
    for (int wy = top + 8; wy + 10 < horizon; wy += 18) {
      for (int wx = x + 8; wx + 10 < x + hw; wx += 18) {
        fill_rect(&p, wx, wy, wx + 10, wy + 10, s.window_y, 128, 128);
      }
    }
    x += hw + 20 + static_cast<int>((seed >> 32) % 50);
  }
  // The camera number in the top-left corner, white on black.
  const int scale = 5;
  fill_rect(&p, 10, 10, 10 + 7 * scale, 10 + 9 * scale, 20, 128, 128);
  for (int r = 0; r < 7; ++r) {
    for (int c = 0; c < 5; ++c) {
      if (kDigits[camera][r] & (0x10 >> c)) {
        int px = 10 + scale + c * scale, py = 10 + scale + r * scale;
        fill_rect(&p, px, py, px + scale, py + scale, 235, 128, 128);
      }
    }
  }
  for (uint8_t& b : p.buf) b = static_cast<uint8_t>(clampi(b, kLo, kHi));
  planar_to_zarn3(p.buf.data(), zarn3, w, h);
}

// o[i] = b[i] + z[i] modulo 256 for every byte, sixteen bytes at a time
// (a compiler vector type: one SIMD add where the machine has one, plain
// code elsewhere).
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

void add_bytes(const uint8_t* b, const uint8_t* z, uint8_t* o, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    Bytes16 x, y;
    std::memcpy(&x, b + i, 16);
    std::memcpy(&y, z + i, 16);
    x += y;
    std::memcpy(o + i, &x, 16);
  }
  for (; i < n; ++i) o[i] = static_cast<uint8_t>(b[i] + z[i]);
}

int64_t triangle(int64_t pos, int64_t len) {
  if (len <= 0) return 0;
  int64_t m = pos % (2 * len);
  if (m < 0) m += 2 * len;
  return m <= len ? m : 2 * len - m;
}

}  // namespace

void capscene_set_size(CapScene* scene, int w, int h) {
  if (scene->width == w && scene->height == h) return;
  scene->width = w;
  scene->height = h;
  for (auto& b : scene->background) b.clear();
  scene->noise.clear();
}

void capscene_ball(const CapScene* scene, int camera, int64_t n, bool moving, int* x, int* y,
                   int* size) {
  const Style& s = kStyles[camera & 3];
  int64_t k = moving ? n : 0;
  int top = scene->height * 3 / 10;
  *x = static_cast<int>(triangle(k * s.vx + s.phase_x, scene->width - kBall)) & ~1;
  *y = (top + static_cast<int>(triangle(k * s.vy + s.phase_y, scene->height - kBall - top))) & ~1;
  *size = kBall;
}

void capscene_render(CapScene* scene, int camera, int64_t n, bool moving, uint8_t* out) {
  const int w = scene->width, h = scene->height;
  const size_t rec = static_cast<size_t>(3) * w;
  std::vector<uint8_t>& bg = scene->background[camera & 3];
  if (bg.empty()) {
    bg.resize(yuv420_size(w, h));
    draw_background(camera & 3, w, h, bg.data());
  }
  if (scene->noise.empty()) {
    scene->noise.resize(kNoiseTable + rec);
    uint64_t seed = 0x5EED;
    for (auto& z : scene->noise) {
      seed = mix64(seed);
      static constexpr int8_t kSteps[8] = {-2, -1, -1, 0, 0, 1, 1, 2};
      z = static_cast<uint8_t>(kSteps[seed & 7]);
    }
  }
  // Background plus noise: one slice of the table per line pair, picked by
  // the frame number, so the noise changes every period.
  const uint64_t frame_key = mix64(static_cast<uint64_t>(n) * 4 + static_cast<uint64_t>(camera));
  for (int p = 0; p < h / 2; ++p) {
    size_t off = mix64(frame_key + static_cast<uint64_t>(p)) & (kNoiseTable - 1);
    add_bytes(bg.data() + p * rec, scene->noise.data() + off, out + p * rec, rec);
  }
  // The ball: a shaded disc with a highlight, in the camera's colour.
  const Style& s = kStyles[camera & 3];
  int bx, by, size;
  capscene_ball(scene, camera, n, moving, &bx, &by, &size);
  const int r = size / 2;
  for (int dy = 0; dy < size; ++dy) {
    int yy = by + dy;
    if (yy < 0 || yy >= h) continue;
    uint8_t* recp = out + static_cast<size_t>(yy / 2) * rec;
    for (int dx = 0; dx < size; ++dx) {
      int xx = bx + dx;
      if (xx < 0 || xx >= w) continue;
      int ex = 2 * dx + 1 - size, ey = 2 * dy + 1 - size;  // doubled offsets from the centre
      int d2 = ex * ex + ey * ey;
      if (d2 > 4 * r * r) continue;
      int hx = 2 * dx + 1 - size * 2 / 3, hy = 2 * dy + 1 - size * 2 / 3;  // highlight
      int shade = 40 - (hx * hx + hy * hy) * 40 / (4 * r * r);
      uint8_t yv = static_cast<uint8_t>(clampi(s.ball_y + std::max(shade, -30), kLo, kHi));
      if ((yy & 1) == 0) {
        recp[(xx >> 3) * 16 + (xx & 7)] = yv;
        if ((xx & 1) == 0) {
          int c = xx >> 1;
          recp[(c >> 2) * 16 + 8 + (c & 3)] = static_cast<uint8_t>(s.ball_u);
          recp[(c >> 2) * 16 + 12 + (c & 3)] = static_cast<uint8_t>(s.ball_v);
        }
      } else {
        recp[2 * static_cast<size_t>(w) + xx] = yv;
      }
    }
  }
}

void capscene_black(int w, int h, uint8_t* out) {
  const size_t rec = static_cast<size_t>(3) * w;
  for (int p = 0; p < h / 2; ++p) {
    uint8_t* r = out + p * rec;
    for (int g = 0; g < w / 8; ++g) {
      std::memset(r + 16 * g, 16, 8);
      std::memset(r + 16 * g + 8, 128, 8);
    }
    std::memset(r + 2 * static_cast<size_t>(w), 16, w);
  }
}

// ---------------------------------------------------------------------------
// Looped files.

namespace {

constexpr int kMaxFileDim = 4096;
constexpr int64_t kMaxFrames = 1 << 22;

ssize_t pread_full(int fd, void* buf, size_t n, int64_t off) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(fd, static_cast<uint8_t*>(buf) + done, n - done,
                        static_cast<off_t>(off + static_cast<int64_t>(done)));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char a = s[s.size() - n + i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != suffix[i]) return false;
  }
  return true;
}

bool parse_dim(const std::string& tok, int* out) {
  if (tok.size() < 2 || tok.size() > 6) return false;
  int v = 0;
  for (size_t i = 1; i < tok.size(); ++i) {
    if (tok[i] < '0' || tok[i] > '9') return false;
    v = v * 10 + (tok[i] - '0');
  }
  *out = v;
  return true;
}

bool dims_ok(int w, int h) {
  return w >= 2 && h >= 2 && w <= kMaxFileDim && h <= kMaxFileDim && w % 2 == 0 && h % 2 == 0;
}

// Reads the YUV4MPEG2 stream header and indexes the frames.
int open_y4m(CapFile* f, int64_t file_size, std::string* err, std::string* note) {
  char head[1024];
  ssize_t n = pread_full(f->fd, head, sizeof head, 0);
  if (n < 0) {
    *err = std::string("read: ") + std::strerror(errno);
    return -1;
  }
  const char* nl = static_cast<const char*>(std::memchr(head, '\n', static_cast<size_t>(n)));
  if (n < 10 || std::memcmp(head, "YUV4MPEG2 ", 10) != 0 || !nl) {
    *err = "not a YUV4MPEG2 file";
    return -1;
  }
  std::string line(static_cast<const char*>(head), nl);
  int w = 0, h = 0;
  size_t pos = 10;
  while (pos < line.size()) {
    size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    std::string tok = line.substr(pos, end - pos);
    pos = end + 1;
    if (tok.empty()) continue;
    if (tok[0] == 'W' && !parse_dim(tok, &w)) {
      *err = "bad width in header";
      return -1;
    }
    if (tok[0] == 'H' && !parse_dim(tok, &h)) {
      *err = "bad height in header";
      return -1;
    }
    if (tok[0] == 'C' && tok != "C420" && tok != "C420jpeg" && tok != "C420paldv" &&
        tok != "C420mpeg2") {
      *err = "colour space " + tok.substr(1) + " is not 4:2:0";
      return -1;
    }
  }
  if (!dims_ok(w, h)) {
    *err = "picture size missing, odd or too large in header";
    return -1;
  }
  f->w = w;
  f->h = h;
  const int64_t frame_bytes = static_cast<int64_t>(yuv420_size(w, h));
  int64_t at = (nl - head) + 1;
  while (at < file_size && static_cast<int64_t>(f->offsets.size()) < kMaxFrames) {
    char fh[128];
    ssize_t m = pread_full(f->fd, fh, sizeof fh, at);
    if (m < 0) {
      *err = std::string("read: ") + std::strerror(errno);
      return -1;
    }
    const char* fnl = static_cast<const char*>(std::memchr(fh, '\n', static_cast<size_t>(m)));
    if (m < 6 || std::memcmp(fh, "FRAME", 5) != 0 || !fnl) {
      *note = "bad frame header after frame " + std::to_string(f->offsets.size()) +
              "; looping the frames before it";
      break;
    }
    int64_t data = at + (fnl - fh) + 1;
    if (data + frame_bytes > file_size) {
      *note = "ignoring a partial frame at the end";
      break;
    }
    f->offsets.push_back(data);
    at = data + frame_bytes;
  }
  f->frames = static_cast<int64_t>(f->offsets.size());
  if (f->frames == 0) {
    *err = "no whole frame";
    return -1;
  }
  return 0;
}

}  // namespace

int capfile_open(CapFile* f, const std::string& path, int raw_w, int raw_h, std::string* err,
                 std::string* note) {
  capfile_close(f);
  err->clear();
  note->clear();
  f->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (f->fd < 0) {
    *err = std::strerror(errno);
    return -1;
  }
  struct stat st;
  if (::fstat(f->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *err = "not a regular file";
    capfile_close(f);
    return -1;
  }
  int rc;
  if (ends_with(path, ".y4m")) {
    rc = open_y4m(f, st.st_size, err, note);
  } else if (!dims_ok(raw_w, raw_h)) {
    *err = "bad raw frame size " + std::to_string(raw_w) + "x" + std::to_string(raw_h);
    rc = -1;
  } else {
    f->w = raw_w;
    f->h = raw_h;
    const int64_t frame_bytes = static_cast<int64_t>(yuv420_size(raw_w, raw_h));
    f->frames = std::min<int64_t>(st.st_size / frame_bytes, kMaxFrames);
    f->first = 0;
    if (f->frames == 0) {
      *err = "shorter than one " + std::to_string(raw_w) + "x" + std::to_string(raw_h) + " frame";
      rc = -1;
    } else {
      if (st.st_size % frame_bytes != 0) {
        *note = "ignoring " + std::to_string(st.st_size % frame_bytes) + " bytes after the last " +
                "whole frame";
      }
      rc = 0;
    }
  }
  if (rc != 0) {
    capfile_close(f);
    return -1;
  }
  f->planar.resize(yuv420_size(f->w, f->h));
  f->cached = -1;
  return 0;
}

int capfile_render(CapFile* f, int64_t k, int w, int h, uint8_t* out) {
  if (f->fd < 0 || f->frames <= 0) return -1;
  int64_t idx = k % f->frames;
  if (idx < 0) idx += f->frames;
  if (idx != f->cached) {
    int64_t off = f->offsets.empty() ? f->first + idx * static_cast<int64_t>(f->planar.size())
                                     : f->offsets[static_cast<size_t>(idx)];
    ssize_t n = pread_full(f->fd, f->planar.data(), f->planar.size(), off);
    if (n != static_cast<ssize_t>(f->planar.size())) {
      f->cached = -1;
      return -1;  // the file shrank or became unreadable
    }
    f->cached = idx;
  }
  if (f->w == w && f->h == h) return planar_to_zarn3(f->planar.data(), out, w, h);
  if (f->map_w != w || f->map_h != h) {
    f->xmap.resize(w);
    f->ymap.resize(h);
    for (int x = 0; x < w; ++x) f->xmap[x] = static_cast<int>(static_cast<int64_t>(x) * f->w / w);
    for (int y = 0; y < h; ++y) f->ymap[y] = static_cast<int>(static_cast<int64_t>(y) * f->h / h);
    f->map_w = w;
    f->map_h = h;
  }
  const uint8_t* sy = f->planar.data();
  const uint8_t* su = sy + static_cast<size_t>(f->w) * f->h;
  const uint8_t* sv = su + static_cast<size_t>(f->w / 2) * (f->h / 2);
  const size_t sw = static_cast<size_t>(f->w), scw = static_cast<size_t>(f->w / 2);
  const size_t rec = static_cast<size_t>(3) * w;
  for (int p = 0; p < h / 2; ++p) {
    uint8_t* r = out + p * rec;
    const uint8_t* y0 = sy + f->ymap[2 * p] * sw;
    const uint8_t* y1 = sy + f->ymap[2 * p + 1] * sw;
    const size_t crow = static_cast<size_t>(f->ymap[2 * p] / 2) * scw;
    for (int x = 0; x < w; ++x) {
      r[(x >> 3) * 16 + (x & 7)] = y0[f->xmap[x]];
      r[2 * static_cast<size_t>(w) + x] = y1[f->xmap[x]];
    }
    for (int c = 0; c < w / 2; ++c) {
      size_t sc = crow + static_cast<size_t>(f->xmap[2 * c] / 2);
      r[(c >> 2) * 16 + 8 + (c & 3)] = su[sc];
      r[(c >> 2) * 16 + 12 + (c & 3)] = sv[sc];
    }
  }
  return 0;
}

void capfile_close(CapFile* f) {
  if (f->fd >= 0) ::close(f->fd);
  *f = CapFile();
}

}  // namespace dv
