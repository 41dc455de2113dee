// archive_sample: writes one small archive set for tests of archive readers.
//
//   archive_sample FOLDER SET [-g groups] [-t start_time] [-d seconds_per_group]
//                  [-i 0|1 summaries] [-h 0|1 marker]
//
// Streams: 0 and 1 video, 16 audio, 128 and 255 text. Every group has a key
// frame and a few predicted frames per camera and audio blocks; every fifth
// group holds a 70000-byte picture (two chunks); group 2 a no-signal frame on
// camera 1; group 3 alarm texts on 128 and 255; group 4 two alarm texts on
// 128 and a plain text on 255.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "recorder/archive_testkit.h"

namespace {

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

void usage(const char* prog) {
  std::fprintf(stderr, "usage: %s FOLDER SET [-g groups] [-t start] [-d step] [-i 0|1] [-h 0|1]\n",
               prog);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    usage(argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  if (folder.empty() || folder.back() != '/') folder += '/';
  uint32_t set = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0));
  int groups = 12;
  long start = 1700000000;
  int step = 3;
  bool summaries = true, marker = false;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string o = argv[i];
    long v = std::strtol(argv[i + 1], nullptr, 0);
    if (o == "-g") {
      groups = static_cast<int>(v);
    } else if (o == "-t") {
      start = v;
    } else if (o == "-d") {
      step = static_cast<int>(v);
    } else if (o == "-i") {
      summaries = v != 0;
    } else if (o == "-h") {
      marker = v != 0;
    } else {
      usage(argv[0]);
      return 2;
    }
  }

  std::vector<dv::ArcStreamInfo> streams = {
      {0, dv::ARC_TYPE_VIDEO, "mpeg4", "camera 1", "-width=704 -height=288"},
      {1, dv::ARC_TYPE_VIDEO, "mjpeg", "camera 2", "-none"},
      {16, dv::ARC_TYPE_AUDIO, "adpcm", "left", "-none"},
      {128, dv::ARC_TYPE_TEXT, "text", "motion", "-none"},
      {255, dv::ARC_TYPE_TEXT, "text", "signal", "-none"},
  };
  dv::ArcSetBuilder b(dv::arc_build_file_header("VideoServer", streams));
  for (int g = 0; g < groups; ++g) {
    int32_t t = static_cast<int32_t>(start + static_cast<long>(g) * step);
    b.begin_group(t);
    for (int k = 0; k < 4; ++k) {
      for (uint8_t cam = 0; cam < 2; ++cam) {
        dv::ArcFrame f;
        f.stream = cam;
        f.frame_no = static_cast<uint32_t>(k);
        f.time_code = static_cast<uint16_t>(k * 40);
        f.level = static_cast<uint8_t>((g * 7 + k * 3 + cam) % 64);
        size_t size = k == 0 ? 3000 + 100 * g : 400 + 10 * k;
        if (cam == 0 && k == 0 && g % 5 == 0) size = 70000;
        if (cam == 1 && g == 2) size = 0;  // no signal
        b.add_frame(f, pattern(size, static_cast<unsigned>(g * 100 + k * 10 + cam)));
      }
      dv::ArcFrame a;
      a.stream = 16;
      a.level = static_cast<uint8_t>((g + k) % 64);
      b.add_frame(a, pattern(k == 3 ? 2 : 512, static_cast<unsigned>(g * 100 + k)));
    }
    if (g == 3) {
      b.add_text(128, "Motion on camera 1", true);
      b.add_text(255, "General alarm", true);
    }
    if (g == 4) {
      b.add_text(255, "Camera 2 signal on", false);
      b.add_text(128, "Motion on camera 1", true);
      b.add_text(128, "Motion again", true);
    }
    b.end_group();
  }
  b.close();
  if (b.write(folder, set, summaries, marker) != 0) {
    std::perror("archive_sample: write");
    return 1;
  }
  return 0;
}
