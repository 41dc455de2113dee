#include "lib/jcodec/jcodec_test_util.h"

#include <setjmp.h>
#include <stdio.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <jpeglib.h>

#include "lib/devices/zarn3.h"

namespace dv::jtest {

namespace {

struct Lcg {
  uint32_t s;
  uint32_t next() {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  }
};

uint8_t clamp8(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); }

}  // namespace

std::vector<uint8_t> make_planar(int w, int h, Scene scene, uint32_t seed) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2);
  uint8_t* y = p.data();
  uint8_t* u = y + static_cast<size_t>(w) * h;
  uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
  Lcg rng{seed};
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w; ++c) {
      double val = 128;
      switch (scene) {
        case Scene::kCamera: {
          // Sky gradient, a building with windows, a textured field, a round
          // object, a little sensor noise.
          val = 60 + 120.0 * r / h + 30 * std::sin(c * 0.02);
          if (c > w / 5 && c < w / 2 && r > h / 4) {
            val = 90 + ((c / 12 + r / 14) % 2 ? 40 : 0);
            if ((c % 24) > 14 && (r % 28) > 16) val = 210;
          }
          if (r > 3 * h / 4) val = 100 + 50 * std::sin(c * 0.7 + r * 0.3) * std::sin(r * 0.45);
          const double dx = c - 0.72 * w, dy = r - 0.45 * h;
          if (dx * dx + dy * dy < (h * 0.15) * (h * 0.15)) val = 230 - 0.3 * (dx + dy);
          val += static_cast<int>(rng.next() % 7) - 3;
          break;
        }
        case Scene::kNoise:
          val = rng.next() & 0xFF;
          break;
        case Scene::kGrey:
          val = 128;
          break;
        case Scene::kCheckers:
          val = ((r ^ c) & 1) ? 255 : 0;
          break;
        case Scene::kBars:
          val = (c / 7) % 2 ? 250 : 5;
          break;
      }
      y[static_cast<size_t>(r) * w + c] = clamp8(val);
    }
  }
  for (int r = 0; r < h / 2; ++r) {
    for (int c = 0; c < w / 2; ++c) {
      double cu = 128, cv = 128;
      switch (scene) {
        case Scene::kCamera:
          cu = 128 + 40 * std::sin(c * 0.03) - (r > h / 3 ? 20 : 0);
          cv = 128 + 30 * std::cos(r * 0.05) + (c > w / 3 ? 25 : -10);
          break;
        case Scene::kNoise:
          cu = rng.next() & 0xFF;
          cv = rng.next() & 0xFF;
          break;
        case Scene::kGrey:
          break;
        case Scene::kCheckers:
          cu = ((r ^ c) & 1) ? 0 : 255;
          cv = ((r ^ c) & 1) ? 255 : 0;
          break;
        case Scene::kBars:
          cu = (c / 5) % 2 ? 240 : 16;
          cv = 128;
          break;
      }
      u[static_cast<size_t>(r) * (w / 2) + c] = clamp8(cu);
      v[static_cast<size_t>(r) * (w / 2) + c] = clamp8(cv);
    }
  }
  return p;
}

std::vector<uint8_t> make_zarn3(int w, int h, Scene scene, uint32_t seed) {
  std::vector<uint8_t> planar = make_planar(w, h, scene, seed);
  std::vector<uint8_t> z(planar.size());
  if (planar_to_zarn3(planar.data(), z.data(), w, h) != 0) z.clear();
  return z;
}

namespace {

struct ErrorMgr {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void on_error(j_common_ptr cinfo) {
  ErrorMgr* e = reinterpret_cast<ErrorMgr*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, e->message);
  longjmp(e->jump, 1);
}

void on_message(j_common_ptr cinfo, int level) {
  if (level < 0) ++cinfo->err->num_warnings;  // warnings are counted, not printed
}

}  // namespace

Decoded decode_libjpeg(const uint8_t* data, size_t size) {
  Decoded out;
  jpeg_decompress_struct cinfo;
  ErrorMgr err;
  std::memset(&err, 0, sizeof(err));
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = on_error;
  err.pub.emit_message = on_message;
  std::vector<uint8_t> planar;
  if (setjmp(err.jump)) {
    out.error = err.message;
    jpeg_destroy_decompress(&cinfo);
    return out;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.raw_data_out = TRUE;
  cinfo.out_color_space = JCS_YCbCr;
  jpeg_start_decompress(&cinfo);
  const int w = static_cast<int>(cinfo.output_width), h = static_cast<int>(cinfo.output_height);
  if (cinfo.num_components != 3 || cinfo.comp_info[0].h_samp_factor != 2 ||
      cinfo.comp_info[0].v_samp_factor != 2 || w % 16 || h % 16) {
    out.error = "unexpected layout";
    jpeg_destroy_decompress(&cinfo);
    return out;
  }
  planar.assign(static_cast<size_t>(w) * h * 3 / 2, 0);
  uint8_t* yp = planar.data();
  uint8_t* up = yp + static_cast<size_t>(w) * h;
  uint8_t* vp = up + static_cast<size_t>(w / 2) * (h / 2);
  JSAMPROW yrows[16], urows[8], vrows[8];
  JSAMPARRAY planes[3] = {yrows, urows, vrows};
  while (cinfo.output_scanline < cinfo.output_height) {
    const int line = static_cast<int>(cinfo.output_scanline);
    for (int i = 0; i < 16; ++i) yrows[i] = yp + static_cast<size_t>(line + i) * w;
    for (int i = 0; i < 8; ++i) {
      urows[i] = up + static_cast<size_t>(line / 2 + i) * (w / 2);
      vrows[i] = vp + static_cast<size_t>(line / 2 + i) * (w / 2);
    }
    if (jpeg_read_raw_data(&cinfo, planes, 16) != 16) break;
  }
  jpeg_finish_decompress(&cinfo);
  out.warnings = static_cast<int>(err.pub.num_warnings);
  jpeg_destroy_decompress(&cinfo);
  out.ok = true;
  out.width = w;
  out.height = h;
  out.planar = std::move(planar);
  return out;
}

double psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "jcodec_test.XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

int run_command(const std::string& command, std::string* output) {
  std::string cmd = command + " 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) output->append(buf, n);
  const int status = pclose(f);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool write_file(const std::string& path, const void* data, size_t size) {
  std::ofstream f(path, std::ios::binary);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(f);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace dv::jtest
