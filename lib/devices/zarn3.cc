#include "lib/devices/zarn3.h"

#include <cstring>

namespace dv {

bool zarn3_size_ok(int w, int h) {
  return w > 0 && h > 0 && w % 8 == 0 && h % 2 == 0 && w <= 8192 && h <= 8192;
}

int planar_to_zarn3(const uint8_t* planar, uint8_t* zarn3, int w, int h) {
  if (!zarn3_size_ok(w, h)) return -1;
  const uint8_t* yp = planar;
  const uint8_t* up = planar + static_cast<size_t>(w) * h;
  const uint8_t* vp = up + static_cast<size_t>(w / 2) * (h / 2);
  for (int pair = 0; pair < h / 2; ++pair) {
    uint8_t* rec = zarn3 + static_cast<size_t>(pair) * 3 * w;
    const uint8_t* y0 = yp + static_cast<size_t>(2 * pair) * w;
    const uint8_t* y1 = y0 + w;
    const uint8_t* u = up + static_cast<size_t>(pair) * (w / 2);
    const uint8_t* v = vp + static_cast<size_t>(pair) * (w / 2);
    for (int g = 0; g < w / 8; ++g) {
      std::memcpy(rec + 16 * g, y0 + 8 * g, 8);
      std::memcpy(rec + 16 * g + 8, u + 4 * g, 4);
      std::memcpy(rec + 16 * g + 12, v + 4 * g, 4);
    }
    std::memcpy(rec + 2 * w, y1, w);
  }
  return 0;
}

int zarn3_to_planar(const uint8_t* zarn3, uint8_t* planar, int w, int h) {
  if (!zarn3_size_ok(w, h)) return -1;
  uint8_t* yp = planar;
  uint8_t* up = planar + static_cast<size_t>(w) * h;
  uint8_t* vp = up + static_cast<size_t>(w / 2) * (h / 2);
  for (int pair = 0; pair < h / 2; ++pair) {
    const uint8_t* rec = zarn3 + static_cast<size_t>(pair) * 3 * w;
    uint8_t* y0 = yp + static_cast<size_t>(2 * pair) * w;
    uint8_t* u = up + static_cast<size_t>(pair) * (w / 2);
    uint8_t* v = vp + static_cast<size_t>(pair) * (w / 2);
    for (int g = 0; g < w / 8; ++g) {
      std::memcpy(y0 + 8 * g, rec + 16 * g, 8);
      std::memcpy(u + 4 * g, rec + 16 * g + 8, 4);
      std::memcpy(v + 4 * g, rec + 16 * g + 12, 4);
    }
    std::memcpy(y0 + w, rec + 2 * w, w);
  }
  return 0;
}

}  // namespace dv
