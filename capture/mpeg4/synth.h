// Synthesised test pictures for the encoder's tests, timing programs and
// benchmarks: deterministic functions of (scene, frame number, size).
//  - still: a fixed room-like scene (gradients, edges, textured areas) with
//    one textured object moving across it and light sensor noise
//    (binomial, standard deviation 1 on luma);
//  - motion: a textured pattern that moves under the whole picture (3 pixels
//    right and 1 down per frame), with the same noise.
#pragma once

#include <cstdint>

namespace dv::mp4 {

enum class Scene { kStill, kMotion };

// Writes frame `frame` of the scene as planar YUV 4:2:0 (w x h x 3 / 2 bytes;
// w and h even).
void synth_picture(Scene scene, int frame, int w, int h, uint8_t* planar);

}  // namespace dv::mp4
