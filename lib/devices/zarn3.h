// The capture driver's picture layout ("ZARN3") and its conversion to and from
// planar YUV 4:2:0.
//
// A ZARN3 picture of W x H (W a multiple of 8, H even) is H/2 line-pair records
// of 3*W bytes. The first 2*W bytes of a record hold the upper line of the pair
// with the pair's chroma, in groups of 16 bytes per 8 pixel columns: 8 luma
// samples, 4 Cb samples, 4 Cr samples. The last W bytes hold the lower line's
// luma in plain order. A picture is 1.5*W*H bytes, as large as planar 4:2:0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dv {

// Bytes of one picture of w x h in either layout.
inline size_t yuv420_size(int w, int h) { return static_cast<size_t>(w) * h * 3 / 2; }

// True when w x h can be held in the ZARN3 layout (w a positive multiple of 8,
// h a positive even number).
bool zarn3_size_ok(int w, int h);

// Planar (Y plane, then U, then V) to ZARN3. Both buffers hold yuv420_size(w, h)
// bytes. Returns 0, or -1 for a size the layout cannot hold.
int planar_to_zarn3(const uint8_t* planar, uint8_t* zarn3, int w, int h);

// ZARN3 to planar; the inverse of planar_to_zarn3.
int zarn3_to_planar(const uint8_t* zarn3, uint8_t* planar, int w, int h);

}  // namespace dv
