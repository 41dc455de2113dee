// Test helpers for libjcodec: synthetic pictures, a libjpeg-turbo decoder and
// PSNR. Used by the unit tests only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dv::jtest {

enum class Scene { kCamera, kNoise, kGrey, kCheckers, kBars };

// A planar YUV 4:2:0 picture of w x h (w, h even).
std::vector<uint8_t> make_planar(int w, int h, Scene scene, uint32_t seed = 1);

// The same picture in the ZARN3 layout.
std::vector<uint8_t> make_zarn3(int w, int h, Scene scene, uint32_t seed = 1);

// Decodes a JPEG with libjpeg-turbo into planar 4:2:0 (raw, no upsampling).
struct Decoded {
  bool ok = false;
  int width = 0, height = 0;
  int warnings = 0;
  std::string error;
  std::vector<uint8_t> planar;
};
Decoded decode_libjpeg(const uint8_t* data, size_t size);

// PSNR in dB of two byte arrays of n bytes (99 for identical ones).
double psnr(const uint8_t* a, const uint8_t* b, size_t n);

// A temporary folder removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs a shell command line, returns its exit status; standard error and
// output are captured into *output.
int run_command(const std::string& command, std::string* output);

bool write_file(const std::string& path, const void* data, size_t size);
std::vector<uint8_t> read_file(const std::string& path);

}  // namespace dv::jtest
