#include "capture/mpeg4/synth.h"

#include <cstddef>

namespace dv::mp4 {

namespace {

inline uint32_t hash3(uint32_t a, uint32_t b, uint32_t c) {
  uint32_t h = a * 0x9E3779B1u ^ b * 0x85EBCA77u ^ c * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  h ^= h >> 15;
  return h;
}

// Binomial noise -2..2 (standard deviation 1).
inline int noise(uint32_t h) {
  return static_cast<int>((h & 1) + ((h >> 1) & 1) + ((h >> 2) & 1) + ((h >> 3) & 1)) - 2;
}

inline uint8_t clip(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Smooth periodic wave 0..64 of period 64 (triangle with rounded shape).
inline int wave(int t) {
  t &= 63;
  int v = t < 32 ? t : 63 - t;  // 0..31
  return v * v / 16;            // 0..60
}

// Luma of the fixed scene at (x, y) of a w x h picture.
int room_luma(int x, int y, int w, int h) {
  int v = 70 + 90 * y / h + 30 * x / w;                   // lit from below-right
  if (x > w / 10 && x < w / 3 && y > h / 8 && y < h / 2)  // window: bright, with bars
    v = ((x - w / 10) % 24 < 3 || (y - h / 8) % 30 < 3) ? 90 : 200 + wave(x + y) / 4;
  if (x > w / 2 && x < w / 2 + w / 8 && y > h / 4)  // door: dark wood grain
    v = 50 + wave(3 * x + y / 8) / 3;
  if (y > 3 * h / 4)  // floor: tiles
    v = (((x / 32) + (y / 16)) & 1) ? 150 : 120;
  if (x > 3 * w / 4 && y > h / 6 && y < h / 6 + h / 5)  // shelf with books
    v = 60 + 40 * ((x / 6) % 4);
  return v;
}

// A pattern over the whole plane (for the moving scene).
int pattern_luma(int x, int y) {
  int v = 40 + wave(x) + wave(y + x / 3) + wave(2 * x - y) / 2;
  if ((((x >> 5) ^ (y >> 5)) & 3) == 0) v += 50;  // blocks
  if (((x + 2 * y) & 127) < 6) v = 230;           // thin diagonal lines
  return v;
}

}  // namespace

void synth_picture(Scene scene, int frame, int w, int h, uint8_t* planar) {
  uint8_t* yp = planar;
  uint8_t* up = planar + static_cast<size_t>(w) * h;
  uint8_t* vp = up + static_cast<size_t>(w / 2) * (h / 2);
  const uint32_t f = static_cast<uint32_t>(frame);
  // Moving object of the still scene: a textured disc crossing the picture.
  const int r = h / 6 > 8 ? h / 6 : 8;
  const int span = w + 2 * r;
  const int ox = (frame * 4) % span - r;
  const int oy = h / 2 + (h / 8) * wave(frame * 2) / 60 - h / 16;
  const int dx = scene == Scene::kMotion ? 3 * frame : 0;
  const int dy = scene == Scene::kMotion ? frame : 0;

  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int v;
      if (scene == Scene::kMotion) {
        v = pattern_luma(x - dx + 4096, y - dy + 4096);
      } else {
        v = room_luma(x, y, w, h);
        int ex = x - ox, ey = y - oy;
        if (ex * ex + ey * ey < r * r) v = 150 + wave(4 * ex + 2 * ey) - wave(3 * ey) / 2;
      }
      v += noise(hash3(f, static_cast<uint32_t>(x), static_cast<uint32_t>(y)));
      yp[static_cast<size_t>(y) * w + x] = clip(v);
    }
  }
  for (int y = 0; y < h / 2; ++y) {
    for (int x = 0; x < w / 2; ++x) {
      int u, v;
      if (scene == Scene::kMotion) {
        int px = 2 * x - dx + 4096, py = 2 * y - dy + 4096;
        u = 110 + wave(px / 2) / 3 + (((px >> 6) & 1) ? 20 : 0);
        v = 140 - wave(py / 2 + px / 4) / 3;
      } else {
        u = 120 + 16 * x / (w / 2) - 8 * ((y * 2 > 3 * h / 4) ? 1 : 0);
        v = 132 - 10 * y / (h / 2);
        int ex = 2 * x - ox, ey = 2 * y - oy;
        if (ex * ex + ey * ey < r * r) {
          u = 90 + wave(ex) / 4;
          v = 170;
        }
      }
      uint32_t hn = hash3(f + 0x1000, static_cast<uint32_t>(x), static_cast<uint32_t>(y));
      int nu = ((hn & 3) == 0) - ((hn & 3) == 1);  // -1, 0, +1
      int nv = (((hn >> 2) & 3) == 0) - (((hn >> 2) & 3) == 1);
      up[static_cast<size_t>(y) * (w / 2) + x] = clip(u + nu);
      vp[static_cast<size_t>(y) * (w / 2) + x] = clip(v + nv);
    }
  }
}

}  // namespace dv::mp4
