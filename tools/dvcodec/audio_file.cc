#include "tools/dvcodec/audio_file.h"

#include <cstring>

#include "capture/audio/adpcm.h"
#include "lib/platform/le.h"

namespace dv::codec {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr uint32_t kToTheEnd = 0xFFFFFFFFu;

bool tag_is(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

}  // namespace

int wav_parse(const uint8_t* data, size_t size, WavInfo* info, std::string* err) {
  if (size < 12 || !tag_is(data, "RIFF") || !tag_is(data + 8, "WAVE")) {
    *err = "not a RIFF/WAVE file";
    return -1;
  }
  WavInfo w;
  bool have_fmt = false;
  size_t pos = 12;
  while (pos < size) {
    if (size - pos < 8) {
      *err = "truncated chunk header at byte " + std::to_string(pos);
      return -1;
    }
    const uint8_t* chunk = data + pos;
    uint32_t len = get_u32le(chunk + 4);
    const size_t body = pos + 8;
    const size_t avail = size - body;
    const bool is_data = tag_is(chunk, "data");
    if (is_data && len == kToTheEnd)
      len = static_cast<uint32_t>(avail > 0xFFFFFFFEu ? 0xFFFFFFFEu : avail);
    if (len > avail) {
      *err = "truncated: the '" + std::string(reinterpret_cast<const char*>(chunk), 4) +
             "' chunk claims " + std::to_string(len) + " bytes, the file holds " +
             std::to_string(avail);
      return -1;
    }
    if (tag_is(chunk, "fmt ")) {
      if (len < 16) {
        *err = "fmt chunk too short";
        return -1;
      }
      const uint8_t* f = data + body;
      uint16_t format = get_u16le(f);
      const uint16_t channels = get_u16le(f + 2);
      const uint32_t rate = get_u32le(f + 4);
      const uint16_t align = get_u16le(f + 12);
      const uint16_t bits = get_u16le(f + 14);
      if (format == kFormatExtensible) {
        if (len < 40) {
          *err = "fmt chunk of WAVE_FORMAT_EXTENSIBLE too short";
          return -1;
        }
        format = get_u16le(f + 24);  // first bytes of the sub-format GUID
      }
      if (format != kFormatPcm) {
        *err = "not uncompressed PCM (format " + std::to_string(format) + ")";
        return -1;
      }
      if (bits != 16) {
        *err = "not a 16-bit WAV (" + std::to_string(bits) + " bits per sample)";
        return -1;
      }
      if (channels == 0 || align != channels * 2u || rate == 0) {
        *err = "inconsistent fmt chunk (" + std::to_string(channels) + " channels, " +
               std::to_string(rate) + " Hz, " + std::to_string(align) + " bytes per frame)";
        return -1;
      }
      w.channels = channels;
      w.rate = rate;
      have_fmt = true;
    } else if (is_data) {
      if (!have_fmt) {
        *err = "data chunk before the fmt chunk";
        return -1;
      }
      const size_t frame = static_cast<size_t>(w.channels) * 2;
      if (len % frame != 0) {
        *err = "truncated: the data chunk ends inside a sample frame";
        return -1;
      }
      w.frames = len / frame;
      w.data_offset = body;
      *info = w;
      return 0;
    }
    // Chunks are padded to an even length.
    pos = body + len + (len & 1u);
  }
  *err = have_fmt ? "no data chunk" : "no fmt chunk";
  return -1;
}

int16_t wav_sample(const uint8_t* data, const WavInfo& info, size_t frame, int channel) {
  const size_t at = info.data_offset + (frame * static_cast<size_t>(info.channels) + channel) * 2;
  return get_i16le(data + at);
}

std::vector<uint8_t> wav_build_mono(const std::vector<int16_t>& samples, uint32_t rate) {
  const uint32_t data_bytes = static_cast<uint32_t>(samples.size() * 2);
  std::vector<uint8_t> out(44 + static_cast<size_t>(data_bytes));
  uint8_t* p = out.data();
  std::memcpy(p, "RIFF", 4);
  put_u32le(p + 4, 36 + data_bytes);
  std::memcpy(p + 8, "WAVEfmt ", 8);
  put_u32le(p + 16, 16);
  put_u16le(p + 20, kFormatPcm);
  put_u16le(p + 22, 1);         // channels
  put_u32le(p + 24, rate);      // samples per second
  put_u32le(p + 28, rate * 2);  // bytes per second
  put_u16le(p + 32, 2);         // bytes per frame
  put_u16le(p + 34, 16);        // bits per sample
  std::memcpy(p + 36, "data", 4);
  put_u32le(p + 40, data_bytes);
  for (size_t i = 0; i < samples.size(); ++i) put_i16le(p + 44 + 2 * i, samples[i]);
  return out;
}

namespace {

int16_t decode_nibble(AdpcmDecoder* d, unsigned code) {
  const int step = StepSizeTable[d->index];
  int diff = step >> 3;
  if (code & 4) diff += step;
  if (code & 2) diff += step >> 1;
  if (code & 1) diff += step >> 2;
  int p = (code & 8) ? d->predictor - diff : d->predictor + diff;
  // The coder keeps its predictor within -32767..32767; so does the decoder.
  if (p > 32767) p = 32767;
  if (p < -32767) p = -32767;
  d->predictor = p;
  int i = d->index + IndexTable[code];
  d->index = i < 0 ? 0 : i > 88 ? 88 : i;
  return static_cast<int16_t>(p);
}

}  // namespace

void adpcm_decode(AdpcmDecoder* d, const uint8_t* block, size_t bytes, std::vector<int16_t>* out) {
  for (size_t i = 0; i < bytes; ++i) {
    out->push_back(decode_nibble(d, block[i] >> 4));
    out->push_back(decode_nibble(d, block[i] & 15u));
  }
}

}  // namespace dv::codec
