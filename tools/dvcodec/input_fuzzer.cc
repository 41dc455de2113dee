// Fuzz target for the parsers of dvcodec's outside input: the Y4M stream
// header and the WAV file image.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/dvcodec/audio_file.h"
#include "tools/dvcodec/video_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string err;
  dv::codec::Y4mHeader h;
  dv::codec::y4m_parse_header(reinterpret_cast<const char*>(data), size, &h, &err);
  dv::codec::WavInfo info;
  if (dv::codec::wav_parse(data, size, &info, &err) == 0) {
    int64_t sum = 0;
    for (size_t i = 0; i < info.frames; ++i)
      for (int c = 0; c < info.channels; ++c) sum += dv::codec::wav_sample(data, info, i, c);
    (void)sum;
  }
  return 0;
}
