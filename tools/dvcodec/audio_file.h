// Audio files of dvcodec: reading 16-bit PCM WAV files, writing mono 16-bit
// WAV files, and decoding the ADPCM blocks of the audio streams again (so a
// user can listen to what the device's coder keeps).
//
// The WAV reader works on the whole file image in memory and checks every
// chunk length against the bytes that are really there; it accepts only
// uncompressed 16-bit PCM (format tag 1, or WAVE_FORMAT_EXTENSIBLE with the
// PCM sub-format), which is what the audio streams are coded from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dv::codec {

struct WavInfo {
  int channels = 0;
  uint32_t rate = 0;
  size_t frames = 0;       // sample frames (one sample per channel each)
  size_t data_offset = 0;  // first sample byte in the file image
};

// Parses a RIFF/WAVE file image of size bytes. A data chunk whose length
// field is 0xFFFFFFFF (a stream written to a pipe) runs to the end of the
// file. Returns 0, or -1 with the reason in *err.
int wav_parse(const uint8_t* data, size_t size, WavInfo* info, std::string* err);

// Sample `frame` of `channel` (little-endian in the file image).
int16_t wav_sample(const uint8_t* data, const WavInfo& info, size_t frame, int channel);

// Builds the image of a mono 16-bit PCM WAV file holding samples.
std::vector<uint8_t> wav_build_mono(const std::vector<int16_t>& samples, uint32_t rate);

// Decoder state of one audio stream; the same start as the coder's
// (predictor 0, index 0, at every new group of pictures).
struct AdpcmDecoder {
  int predictor = 0;
  int index = 0;
};

// Decodes `bytes` ADPCM bytes (two samples each, the earlier in the high
// nibble) and appends the samples to out.
void adpcm_decode(AdpcmDecoder* d, const uint8_t* block, size_t bytes, std::vector<int16_t>* out);

}  // namespace dv::codec
