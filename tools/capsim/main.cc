// capsim: writes pictures of the simulated capture driver /dev/tvp5150 as a
// YUV4MPEG2 stream (or raw planar 4:2:0), to look at them with any player or
// to feed a coder. The pictures are exactly those a program would get from
// the simulator with the same settings file for the same camera and frame
// number.
//
//   capsim [-d SETTINGS] [-c CAMERA] [-f FIRST] [-n COUNT] [-N] [-o FILE] [-t]
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "lib/devices/capture_device.h"
#include "lib/devices/capture_sim.h"
#include "lib/devices/zarn3.h"
#include "lib/platform/sysroot.h"

namespace {

void usage(const char* prog) {
  std::fprintf(stderr,
               "usage: %s [-d SETTINGS] [-c CAMERA] [-f FIRST] [-n COUNT] [-N] [-o FILE] [-t]\n"
               "  -d SETTINGS  simulator settings file (default: the resolved /dev/tvp5150)\n"
               "  -c CAMERA    camera 0..3 (default 0)\n"
               "  -f FIRST     first frame number (default: the period due now)\n"
               "  -n COUNT     number of pictures (default 1)\n"
               "  -N           NTSC (704x240) instead of PAL (704x288)\n"
               "  -o FILE      output; YUV4MPEG2 unless the name ends in .yuv (raw)\n"
               "               (default \"-\": standard output, YUV4MPEG2)\n"
               "  -t           report the time spent drawing on standard error\n",
               prog);
}

bool parse_long(const char* s, long long min, long long max, long long* out) {
  char* end;
  errno = 0;
  long long v = std::strtoll(s, &end, 10);
  if (errno || *end || end == s || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string settings = dv::sys_path(dv::kCaptureDevice);
  std::string out_name = "-";
  long long camera = 0, first = -1, count = 1;
  bool ntsc = false, timing = false;
  int opt;
  while ((opt = getopt(argc, argv, "d:c:f:n:No:th")) != -1) {
    switch (opt) {
      case 'd':
        settings = optarg;
        break;
      case 'c':
        if (!parse_long(optarg, 0, 3, &camera)) {
          std::fprintf(stderr, "capsim: bad camera '%s'\n", optarg);
          return 2;
        }
        break;
      case 'f':
        if (!parse_long(optarg, 0, (1LL << 50), &first)) {
          std::fprintf(stderr, "capsim: bad frame number '%s'\n", optarg);
          return 2;
        }
        break;
      case 'n':
        if (!parse_long(optarg, 1, 1000000, &count)) {
          std::fprintf(stderr, "capsim: bad count '%s'\n", optarg);
          return 2;
        }
        break;
      case 'N':
        ntsc = true;
        break;
      case 'o':
        out_name = optarg;
        break;
      case 't':
        timing = true;
        break;
      default:
        usage(argv[0]);
        return opt == 'h' ? 0 : 2;
    }
  }
  dv::CaptureSim* sim = dv::capsim_open(settings, nullptr);
  if (!sim) {
    std::fprintf(stderr, "capsim: %s: %s\n", settings.c_str(), std::strerror(errno));
    return 1;
  }
  dv::capsim_keep_private(sim);
  dv::capsim_request(sim, ntsc ? CAP_SET_NTSC : CAP_SET_PAL, 0);
  int w, h;
  dv::capsim_picture_size(sim, &w, &h);
  const int rate = ntsc ? 30 : 25;
  if (first < 0) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    first = static_cast<long long>(ts.tv_sec) * rate + ts.tv_nsec / (1000000000L / rate);
  }
  const bool raw = out_name.size() >= 4 && out_name.compare(out_name.size() - 4, 4, ".yuv") == 0;
  FILE* out = out_name == "-" ? stdout : std::fopen(out_name.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "capsim: %s: %s\n", out_name.c_str(), std::strerror(errno));
    dv::capsim_close(sim);
    return 1;
  }
  if (!raw) std::fprintf(out, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n", w, h, rate);
  std::vector<uint8_t> zarn3(dv::yuv420_size(w, h)), planar(zarn3.size());
  std::chrono::nanoseconds drawing{0};
  int status = 0;
  for (long long i = 0; i < count; ++i) {
    bool signal;
    auto t0 = std::chrono::steady_clock::now();
    dv::capsim_picture(sim, static_cast<int>(camera), first + i, zarn3.data(), &signal);
    drawing += std::chrono::steady_clock::now() - t0;
    dv::zarn3_to_planar(zarn3.data(), planar.data(), w, h);
    if ((!raw && std::fputs("FRAME\n", out) < 0) ||
        std::fwrite(planar.data(), 1, planar.size(), out) != planar.size()) {
      std::fprintf(stderr, "capsim: %s: %s\n", out_name.c_str(), std::strerror(errno));
      status = 1;
      break;
    }
  }
  if (out != stdout ? std::fclose(out) != 0 : std::fflush(out) != 0) status = 1;
  if (timing) {
    double ms = static_cast<double>(drawing.count()) / 1e6;
    std::fprintf(stderr, "capsim: %lld pictures %dx%d drawn in %.3f ms (%.1f us each)\n", count, w,
                 h, ms, ms * 1000.0 / static_cast<double>(count));
  }
  dv::capsim_close(sim);
  return status;
}
