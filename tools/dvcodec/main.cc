// dvcodec: codes pictures and sound with the recorder's own coders, so that a
// user can see what the device makes of their footage, and so that tests and
// benchmarks have one way to drive the coders from files.
//
//   dvcodec mpeg4 | jpeg | adpcm | to-zarn3 | from-zarn3 [options] ...
//
// (usage() below is the full description). Statistics go to standard output,
// errors to standard error as "dvcodec: <text>". Exit status: 0 done, 1 bad
// input or failed output (files this run created are removed), 2 bad command
// line.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/audio/adpcm.h"
#include "capture/audio/audio.h"
#include "capture/mpeg4/mp4enc.h"
#include "capture/mpeg4/mp4enc_internal.h"
#include "lib/devices/zarn3.h"
#include "lib/jcodec/jcodec.h"
#include "lib/platform/log.h"
#include "tools/dvcodec/audio_file.h"
#include "tools/dvcodec/video_input.h"

namespace {

using dv::codec::VideoReader;
using dv::codec::VideoWriter;

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

constexpr int kJpegMaxSide = 16 * 255;
constexpr int kDefaultBlock = 2048;
constexpr size_t kMaxWavBytes = size_t{1} << 31;

const char kUsage[] =
    "Usage: dvcodec COMMAND [options] ...\n"
    "\n"
    "Codes pictures and sound with the recorder's own coders, to inspect its\n"
    "coding on your own footage.\n"
    "\n"
    "Commands:\n"
    "  mpeg4 [options] INPUT OUTPUT.m4v\n"
    "      MPEG-4 Part 2 Simple Profile elementary stream, as the camera streams.\n"
    "      -q, --quant Q       quantiser 1..31 (default 4)\n"
    "      -b, --bitrate BITS  target bit/s; above 64000 the quantiser follows the\n"
    "                          rate between --minquant and --maxquant (default 0:\n"
    "                          fixed quantiser)\n"
    "          --minquant Q    lower bound of the rate control, 0..31\n"
    "          --maxquant Q    upper bound, 0..31 (0: 31)\n"
    "      -g, --gop N         pictures from one intra VOP to the next, 1..65535\n"
    "                          (default 25)\n"
    "      -r, --rate FPS      frame rate of the stream, 1..65535 (default: the Y4M\n"
    "                          header's, else 25)\n"
    "          --via-zarn3     feed the coder in the capture layout, as the device\n"
    "                          does (the stream is the same)\n"
    "          --recon FILE    the pictures a decoder shows (raw planar, or Y4M\n"
    "                          when FILE ends in .y4m)\n"
    "  jpeg [options] INPUT --mjpeg FILE | --jpg PATTERN (or both)\n"
    "      Baseline JPEG pictures, as the Motion-JPEG streams and snapshots.\n"
    "          --mjpeg FILE    Motion-JPEG: the JPEG pictures one after another\n"
    "          --jpg PATTERN   one file per picture; PATTERN holds %d or %0Nd,\n"
    "                          replaced by the picture number from 0\n"
    "                          (for example out%04d.jpg)\n"
    "  adpcm [options] INPUT.wav OUTPUT.adpcm\n"
    "      IMA ADPCM blocks of one channel of a 16-bit PCM WAV file, as the audio\n"
    "      streams (the device codes 22050 Hz; other rates are coded as they are).\n"
    "          --channel C     left, right, or a channel number from 0\n"
    "                          (default left)\n"
    "          --block N       samples per block, even, 2..1048576 (default 2048)\n"
    "          --gop N         start the coder afresh every N blocks, as at every\n"
    "                          group of pictures (default 0: never)\n"
    "          --decoded FILE  the decoded sound as a mono 16-bit WAV file\n"
    "  to-zarn3 [options] INPUT OUTPUT\n"
    "      Planar 4:2:0 pictures to the capture driver's ZARN3 layout.\n"
    "  from-zarn3 -s WxH [options] INPUT OUTPUT\n"
    "      ZARN3 pictures to planar 4:2:0 (raw, or Y4M when OUTPUT ends in .y4m;\n"
    "      -r gives its frame rate, default 25).\n"
    "\n"
    "Picture input (mpeg4, jpeg, to-zarn3): a Y4M file (8-bit 4:2:0; it gives its\n"
    "own size) or raw planar 4:2:0 (Y, then U, then V) of the size given by\n"
    "--size; \"-\" reads standard input.\n"
    "  -s, --size WxH          size of raw pictures\n"
    "      --zarn3             the raw input pictures are in the ZARN3 layout\n"
    "                          (mpeg4, jpeg)\n"
    "  -n, --frames N          code at most N pictures\n"
    "  -v, --verbose           one line per picture (block) on standard output:\n"
    "                          mpeg4: frame, vop (I intra, P predicted, E empty),\n"
    "                          bytes, quant, activity, psnr-y (dB, against the\n"
    "                          input); jpeg: frame, bytes, activity; adpcm: block,\n"
    "                          samples, bytes, level, predictor, index\n"
    "  -h, --help              this text\n"
    "\n"
    "Sizes: mpeg4 16..2048 and jpeg 16..4080 pixels a side, multiples of 16;\n"
    "to-zarn3 and from-zarn3: width a multiple of 8, height even, up to 8192.\n"
    "A summary line goes to standard output at the end.\n"
    "Exit status: 0 done, 1 bad input or failed output, 2 bad command line.\n";

// ---- command line ----------------------------------------------------------

struct OptionSpec {
  const char* name;  // long name without "--"
  char short_name;   // 0: none
  bool value;        // takes a value
};

const OptionSpec kOptions[] = {
    {"size", 's', true},  {"zarn3", 0, false},    {"frames", 'n', true},   {"verbose", 'v', false},
    {"quant", 'q', true}, {"bitrate", 'b', true}, {"minquant", 0, true},   {"maxquant", 0, true},
    {"gop", 'g', true},   {"rate", 'r', true},    {"via-zarn3", 0, false}, {"recon", 0, true},
    {"mjpeg", 0, true},   {"jpg", 0, true},       {"channel", 0, true},    {"block", 0, true},
    {"decoded", 0, true},
};

struct Command;

struct Args {
  const Command* command = nullptr;
  std::vector<std::string> files;
  std::vector<std::pair<std::string, std::string>> opts;  // in order given

  bool has(const char* name) const {
    for (auto& o : opts)
      if (o.first == name) return true;
    return false;
  }
  // The last value given for name, or null.
  const char* get(const char* name) const {
    const char* v = nullptr;
    for (auto& o : opts)
      if (o.first == name) v = o.second.c_str();
    return v;
  }
};

struct Command {
  const char* name;
  int positional;              // input and output files
  const char* const* allowed;  // option names, null-terminated
  int (*run)(Args&);
};

[[noreturn]] void usage_error(const std::string& text) {
  std::fprintf(stderr, "dvcodec: %s\nTry 'dvcodec --help'.\n", text.c_str());
  std::exit(kExitUsage);
}

void error(const std::string& text) { std::fprintf(stderr, "dvcodec: %s\n", text.c_str()); }

// Parses a whole decimal number within [lo, hi]; a bad value is a usage error.
long long number(const Args& a, const char* name, long long lo, long long hi, long long def) {
  const char* v = a.get(name);
  if (!v) return def;
  errno = 0;
  char* end = nullptr;
  const long long n = std::strtoll(v, &end, 10);
  if (*v == '\0' || *end != '\0' || errno != 0 || n < lo || n > hi || *v == '+' || *v == ' ') {
    usage_error(std::string("--") + name + ": expected a whole number from " + std::to_string(lo) +
                " to " + std::to_string(hi) + ", got '" + v + "'");
  }
  return n;
}

const OptionSpec* find_option(const std::string& arg) {
  for (const OptionSpec& o : kOptions) {
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0 && arg.substr(2) == o.name) return &o;
    if (arg.size() == 2 && arg[0] == '-' && o.short_name != 0 && arg[1] == o.short_name) return &o;
  }
  return nullptr;
}

bool allowed(const Command& c, const char* name) {
  for (const char* const* p = c.allowed; *p; ++p)
    if (std::strcmp(*p, name) == 0) return true;
  return false;
}

// ---- shared helpers ---------------------------------------------------------

// Files created by this run; removed when the run fails.
std::vector<std::string> g_created;

void created(const std::string& path) { g_created.push_back(path); }

int fail(const std::string& text) {
  error(text);
  for (const std::string& p : g_created) ::unlink(p.c_str());
  return kExitError;
}

// Files this run reads or has written (device and inode): an output must be
// none of them, else opening it would destroy the input before it is read
// (and a failed run would then remove it).
std::vector<std::pair<dev_t, ino_t>> g_files;

void remember(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) g_files.emplace_back(st.st_dev, st.st_ino);
}

bool output_ok(const std::string& path, std::string* err) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return true;
  for (const auto& f : g_files) {
    if (f.first == st.st_dev && f.second == st.st_ino) {
      *err = path + ": is the input or another output of this run";
      return false;
    }
  }
  return true;
}

FILE* create_file(const std::string& path, std::string* err) {
  if (!output_ok(path, err)) return nullptr;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    *err = path + ": " + std::strerror(errno);
    return nullptr;
  }
  created(path);
  remember(fileno(f));
  return f;
}

// video_create with the same checks as create_file.
int create_video(VideoWriter* w, const std::string& path, int width, int height, int rate,
                 std::string* err) {
  if (!output_ok(path, err)) return -1;
  if (dv::codec::video_create(w, path, width, height, rate, 1, err) != 0) {
    if (w->file) {  // created, but the header could not be written
      std::fclose(w->file);
      created(path);
    }
    w->file = nullptr;
    return -1;
  }
  created(path);
  remember(fileno(w->file));
  return 0;
}

bool write_bytes(FILE* f, const void* p, size_t n) { return std::fwrite(p, 1, n, f) == n; }

// Closes f; false (with *err) when a write failed.
bool close_file(FILE* f, const std::string& path, std::string* err) {
  const bool bad = std::ferror(f) != 0;
  const int rc = std::fclose(f);
  if (bad || rc != 0) {
    *err = path + ": " + (rc != 0 ? std::strerror(errno) : "write error");
    return false;
  }
  return true;
}

// Opens the picture input named by the first file argument with --size and
// --zarn3 (zarn3_ok: the command takes ZARN3 input).
int open_pictures(const Args& a, VideoReader* r, bool zarn3_ok, std::string* err) {
  int w = 0, h = 0;
  if (const char* s = a.get("size")) {
    if (dv::codec::parse_size(s, &w, &h) != 0)
      usage_error(std::string("--size: expected WxH, got '") + s + "'");
  }
  if (a.has("zarn3") && !zarn3_ok) usage_error("--zarn3 is not an option of this command");
  if (a.has("size") && dv::codec::check_picture_size(w, h, err) != 0) return -1;
  if (dv::codec::video_open(r, a.files[0], w, h, err) != 0) return -1;
  remember(fileno(r->file));
  if (a.has("zarn3") && r->y4m) {
    *err = r->name + ": a Y4M file holds planar pictures; --zarn3 is for raw ZARN3 files";
    dv::codec::video_close(r);
    return -1;
  }
  return 0;
}

// Checks the size a coder accepts: multiples of 16 up to max_side.
int check_coder_size(const VideoReader& r, int max_side, std::string* err) {
  const std::string size = std::to_string(r.width) + "x" + std::to_string(r.height);
  if (r.width < 16 || r.height < 16 || r.width > max_side || r.height > max_side) {
    *err = r.name + ": picture size " + size + " is out of range (each side 16 to " +
           std::to_string(max_side) + ")";
    return -1;
  }
  if (r.width % 16 != 0 || r.height % 16 != 0) {
    *err = r.name + ": picture size " + size + ": width and height must be multiples of 16";
    return -1;
  }
  return 0;
}

double psnr(double sse, double samples) {
  if (sse <= 0) return 99.0;
  const double p = 10.0 * std::log10(255.0 * 255.0 * samples / sse);
  return p > 99.0 ? 99.0 : p;
}

double sse(const uint8_t* a, const uint8_t* b, size_t n) {
  uint64_t s = 0;
  for (size_t i = 0; i < n; ++i) {
    const int d = static_cast<int>(a[i]) - static_cast<int>(b[i]);
    s += static_cast<uint64_t>(d * d);
  }
  return static_cast<double>(s);
}

// ---- mpeg4 -----------------------------------------------------------------

int run_mpeg4(Args& a) {
  const int quant = static_cast<int>(number(a, "quant", 1, 31, 4));
  const long long bitrate = number(a, "bitrate", 0, 0xFFFFFFFFLL, 0);
  const int minq = static_cast<int>(number(a, "minquant", 0, 31, 0));
  const int maxq = static_cast<int>(number(a, "maxquant", 0, 31, 0));
  const int gop = static_cast<int>(number(a, "gop", 1, 65535, 25));
  const long long max_frames = number(a, "frames", 1, 1LL << 40, 1LL << 40);
  const bool verbose = a.has("verbose");

  VideoReader in;
  std::string err;
  if (open_pictures(a, &in, true, &err) != 0) return fail(err);
  if (check_coder_size(in, MP4_MAX_WIDTH < MP4_MAX_HEIGHT ? MP4_MAX_WIDTH : MP4_MAX_HEIGHT, &err) !=
      0) {
    dv::codec::video_close(&in);
    return fail(err);
  }
  int rate_default = 25;
  if (in.rate_num > 0 && in.rate_den > 0) {
    const long long r = (static_cast<long long>(in.rate_num) + in.rate_den / 2) / in.rate_den;
    rate_default = r < 1 ? 1 : r > 65535 ? 65535 : static_cast<int>(r);
  }
  const int rate = static_cast<int>(number(a, "rate", 1, 65535, rate_default));
  const bool input_zarn3 = a.has("zarn3");
  const bool feed_zarn3 = input_zarn3 || a.has("via-zarn3");

  MP4encodeParams p{};
  p.width = static_cast<uint16_t>(in.width);
  p.height = static_cast<uint16_t>(in.height);
  p.quant = static_cast<uint16_t>(quant);
  p.gop = static_cast<uint16_t>(gop);
  p.bitrate = static_cast<uint32_t>(bitrate);
  p.minquant = static_cast<uint16_t>(minq);
  p.maxquant = static_cast<uint16_t>(maxq);
  p.time_resolution = static_cast<uint16_t>(rate);
  p.input_layout = feed_zarn3 ? MP4_LAYOUT_ZARN3 : MP4_LAYOUT_PLANAR;
  std::memset(p.mask, 1, sizeof p.mask);
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  if (!ctx) {
    dv::codec::video_close(&in);
    return fail(std::string("cannot open the MPEG-4 coder: ") + MP4encodeLastError());
  }

  const size_t pic = in.frame_bytes;
  std::vector<uint8_t> input(pic), planar(pic), coded(pic), recon(pic);
  std::vector<uint8_t> out(MP4encodeMaxFrameBytes(in.width, in.height));
  FILE* f = create_file(a.files[1], &err);
  VideoWriter rw;
  const char* recon_path = a.get("recon");
  int rc = 0;
  if (!f) rc = -1;
  if (rc == 0 && recon_path) {
    rc = create_video(&rw, recon_path, in.width, in.height, rate, &err);
  }

  const size_t ny = static_cast<size_t>(in.width) * in.height;
  long long frames = 0, bytes = 0, intra = 0, empty = 0;
  double sse_y = 0, sse_all = 0;
  while (rc == 0 && frames < max_frames) {
    const int got = dv::codec::video_read(&in, input.data(), &err);
    if (got <= 0) {
      rc = got;
      break;
    }
    // The picture the coder reads and the planar picture it stands for.
    const uint8_t* src = input.data();
    const uint8_t* source_planar = input.data();
    if (input_zarn3) {
      dv::zarn3_to_planar(input.data(), planar.data(), in.width, in.height);
      source_planar = planar.data();
    } else if (feed_zarn3) {
      dv::planar_to_zarn3(input.data(), coded.data(), in.width, in.height);
      src = coded.data();
    }
    MP4encodeStats st{};
    const int n = MP4encodeENCODE(ctx, out.data(), out.size(), src, MP4_FRAME_AUTO, &st);
    if (n < 0) {
      err = "picture " + std::to_string(frames) + ": " + MP4encodeLastError();
      rc = -1;
      break;
    }
    if (!write_bytes(f, out.data(), static_cast<size_t>(n))) {
      err = a.files[1] + ": " + std::strerror(errno);
      rc = -1;
      break;
    }
    MP4encodeReconstruction(ctx, recon.data(), pic);
    const double fy = sse(source_planar, recon.data(), ny);
    const double fall = fy + sse(source_planar + ny, recon.data() + ny, pic - ny);
    sse_y += fy;
    sse_all += fall;
    if (rw.file && dv::codec::video_write(&rw, recon.data(), &err) != 0) {
      rc = -1;
      break;
    }
    const char kind = st.intra ? 'I' : ctx->empty_vop ? 'E' : 'P';
    intra += st.intra ? 1 : 0;
    empty += kind == 'E' ? 1 : 0;
    if (verbose) {
      std::printf("frame %lld vop %c bytes %d quant %u activity %u psnr-y %.2f\n", frames, kind, n,
                  st.quant, st.activity, psnr(fy, static_cast<double>(ny)));
    }
    bytes += n;
    ++frames;
  }
  MP4encodeCLOSE(ctx);
  dv::codec::video_close(&in);
  std::string late;  // a failure while closing, reported when nothing failed before
  if (f && !close_file(f, a.files[1], &late) && rc == 0) {
    rc = -1;
    err = late;
  }
  if (dv::codec::video_finish(&rw, &late) != 0 && rc == 0) {
    rc = -1;
    err = late;
  }
  if (rc == 0 && frames == 0) {
    err = in.name + ": holds no picture";
    rc = -1;
  }
  if (rc != 0) return fail(err);
  std::printf(
      "mpeg4: %lld frames %dx%d, %lld I, %lld P, %lld empty, %lld bytes, %.1f bytes/frame, "
      "%.1f kbit/s at %d fps, psnr-y %.2f dB, psnr-yuv %.2f dB\n",
      frames, in.width, in.height, intra, frames - intra - empty, empty, bytes,
      static_cast<double>(bytes) / frames, static_cast<double>(bytes) * 8 * rate / frames / 1000,
      rate, psnr(sse_y, static_cast<double>(ny) * frames),
      psnr(sse_all, static_cast<double>(pic) * frames));
  return 0;
}

// ---- jpeg ------------------------------------------------------------------

// Expands a --jpg pattern for picture n: exactly one %d or %0Nd (N 1..9),
// "%%" for a percent sign. Returns false for any other pattern.
bool expand_pattern(const std::string& pattern, long long n, std::string* out) {
  out->clear();
  int conversions = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out->push_back(pattern[i]);
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out->push_back('%');
      ++i;
      continue;
    }
    int width = 0;
    size_t j = i + 1;
    if (j < pattern.size() && pattern[j] == '0') {
      ++j;
      if (j >= pattern.size() || pattern[j] < '1' || pattern[j] > '9') return false;
      width = pattern[j] - '0';
      ++j;
    }
    if (j >= pattern.size() || pattern[j] != 'd') return false;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%0*lld", width, n);
    out->append(digits);
    ++conversions;
    i = j;
  }
  return conversions == 1;
}

int run_jpeg(Args& a) {
  const long long max_frames = number(a, "frames", 1, 1LL << 40, 1LL << 40);
  const bool verbose = a.has("verbose");
  const char* mjpeg_path = a.get("mjpeg");
  const char* pattern = a.get("jpg");
  if (!mjpeg_path && !pattern) usage_error("jpeg: give --mjpeg FILE, --jpg PATTERN or both");
  std::string name;
  if (pattern && !expand_pattern(pattern, 0, &name)) {
    usage_error(std::string("--jpg: the pattern must hold one %d or %0Nd (N 1..9), got '") +
                pattern + "'");
  }

  VideoReader in;
  std::string err;
  if (open_pictures(a, &in, true, &err) != 0) return fail(err);
  if (check_coder_size(in, kJpegMaxSide, &err) != 0) {
    dv::codec::video_close(&in);
    return fail(err);
  }
  MJPEGHandle* handle = MJPEGencodeOPEN(nullptr);
  if (!handle || MJPEGencodeSIZE(handle, in.width, in.height) != 0) {
    MJPEGencodeCLOSE(handle);
    dv::codec::video_close(&in);
    return fail("cannot open the JPEG coder");
  }
  const bool input_zarn3 = a.has("zarn3");
  const size_t pic = in.frame_bytes;
  std::vector<uint8_t> input(pic), zarn3(pic);
  std::vector<uint8_t> out(dv::jcodec_max_size(in.width, in.height));
  int rc = 0;
  FILE* mj = nullptr;
  if (mjpeg_path) {
    mj = create_file(mjpeg_path, &err);
    if (!mj) rc = -1;
  }
  long long frames = 0, bytes = 0;
  while (rc == 0 && frames < max_frames) {
    const int got = dv::codec::video_read(&in, input.data(), &err);
    if (got <= 0) {
      rc = got;
      break;
    }
    const uint8_t* src = input.data();
    if (!input_zarn3) {
      dv::planar_to_zarn3(input.data(), zarn3.data(), in.width, in.height);
      src = zarn3.data();
    }
    uint8_t stats[16] = {};
    const int n =
        MJPEGencodeENCODE(handle, out.data(), src, 0, stats, static_cast<int>(out.size()));
    if (n <= 0) {
      err = "picture " + std::to_string(frames) + ": the JPEG coder failed";
      rc = -1;
      break;
    }
    if (mj && !write_bytes(mj, out.data(), static_cast<size_t>(n))) {
      err = std::string(mjpeg_path) + ": " + std::strerror(errno);
      rc = -1;
      break;
    }
    if (pattern) {
      expand_pattern(pattern, frames, &name);
      FILE* jf = create_file(name, &err);
      if (!jf) {
        rc = -1;
        break;
      }
      const bool ok = write_bytes(jf, out.data(), static_cast<size_t>(n));
      if (!close_file(jf, name, &err) || !ok) {
        if (ok == false) err = name + ": " + std::strerror(errno);
        rc = -1;
        break;
      }
    }
    uint32_t activity = 0;
    std::memcpy(&activity, stats + 12, 4);
    if (verbose) std::printf("frame %lld bytes %d activity %u\n", frames, n, activity);
    bytes += n;
    ++frames;
  }
  MJPEGencodeCLOSE(handle);
  free_stream_table();
  dv::codec::video_close(&in);
  std::string late;
  if (mj && !close_file(mj, mjpeg_path, &late) && rc == 0) {
    rc = -1;
    err = late;
  }
  if (rc == 0 && frames == 0) {
    err = in.name + ": holds no picture";
    rc = -1;
  }
  if (rc != 0) return fail(err);
  std::printf("jpeg: %lld frames %dx%d, %lld bytes, %.1f bytes/frame\n", frames, in.width,
              in.height, bytes, static_cast<double>(bytes) / frames);
  return 0;
}

// ---- adpcm -----------------------------------------------------------------

int read_whole_file(const std::string& path, std::vector<uint8_t>* data, std::string* err) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *err = path + ": " + std::strerror(errno);
    return -1;
  }
  remember(fileno(f));
  data->clear();
  uint8_t buf[65536];
  for (;;) {
    const size_t n = std::fread(buf, 1, sizeof buf, f);
    if (n > 0) {
      if (data->size() + n > kMaxWavBytes) {
        std::fclose(f);
        *err = path + ": larger than 2 GiB";
        return -1;
      }
      data->insert(data->end(), buf, buf + n);
    }
    if (n < sizeof buf) break;
  }
  const bool bad = std::ferror(f) != 0;
  const int saved = errno;
  std::fclose(f);
  if (bad) {
    *err = path + ": " + std::strerror(saved == 0 ? EIO : saved);
    return -1;
  }
  return 0;
}

int run_adpcm(Args& a) {
  const long long block = number(a, "block", 2, 1 << 20, kDefaultBlock);
  if (block % 2 != 0) usage_error("--block: the number of samples per block must be even");
  const long long gop = number(a, "gop", 0, 1LL << 40, 0);
  const bool verbose = a.has("verbose");

  std::vector<uint8_t> file;
  std::string err;
  if (read_whole_file(a.files[0], &file, &err) != 0) return fail(err);
  dv::codec::WavInfo info;
  if (dv::codec::wav_parse(file.data(), file.size(), &info, &err) != 0)
    return fail(a.files[0] + ": " + err);

  int channel = 0;
  const char* c = a.get("channel");
  if (c && std::strcmp(c, "left") == 0) {
    channel = 0;
  } else if (c && std::strcmp(c, "right") == 0) {
    channel = 1;
  } else if (c) {
    char* end = nullptr;
    const long v = std::strtol(c, &end, 10);
    if (*c < '0' || *c > '9' || *end != '\0' || v > 65535)
      usage_error(std::string("--channel: expected left, right or a channel number, got '") + c +
                  "'");
    channel = static_cast<int>(v);
  }
  if (channel >= info.channels) {
    return fail(a.files[0] + ": has " + std::to_string(info.channels) + " channel" +
                (info.channels == 1 ? "" : "s") + ", no channel " + std::to_string(channel));
  }
  if (info.frames < 2) return fail(a.files[0] + ": fewer than 2 samples to code");

  std::vector<int16_t> samples(info.frames);
  for (size_t i = 0; i < info.frames; ++i)
    samples[i] = dv::codec::wav_sample(file.data(), info, i, channel);

  FILE* f = create_file(a.files[1], &err);
  if (!f) return fail(err);
  std::vector<uint8_t> out(static_cast<size_t>(block / 2));
  std::vector<int16_t> decoded;
  decoded.reserve(samples.size());
  ADPCMState state;
  ADPCMInit(&state);
  dv::codec::AdpcmDecoder dec;
  long long blocks = 0, bytes = 0;
  size_t at = 0;
  int rc = 0;
  while (at + 1 < samples.size()) {
    const size_t left = samples.size() - at;
    const int count = static_cast<int>(left < static_cast<size_t>(block) ? left : block);
    if (gop > 0 && blocks % gop == 0) {
      ADPCMInit(&state);
      dec = dv::codec::AdpcmDecoder{};
    }
    const int n = ADPCMEncodeBlock(out.data(), samples.data() + at, &state, count, 1);
    if (!write_bytes(f, out.data(), static_cast<size_t>(n))) {
      err = a.files[1] + ": " + std::strerror(errno);
      rc = -1;
      break;
    }
    dv::codec::adpcm_decode(&dec, out.data(), static_cast<size_t>(n), &decoded);
    if (verbose) {
      std::printf("block %lld samples %d bytes %d level %d predictor %d index %u\n", blocks, count,
                  n, AudioCNTActiv(samples.data() + at, count, 1), state.predictor, state.index);
    }
    at += static_cast<size_t>(count);
    bytes += n;
    ++blocks;
  }
  std::string late;
  if (!close_file(f, a.files[1], &late) && rc == 0) {
    rc = -1;
    err = late;
  }
  if (rc == 0) {
    if (const char* dpath = a.get("decoded")) {
      const std::vector<uint8_t> wav = dv::codec::wav_build_mono(decoded, info.rate);
      FILE* df = create_file(dpath, &err);
      if (!df) {
        rc = -1;
      } else {
        const bool ok = write_bytes(df, wav.data(), wav.size());
        if (!close_file(df, dpath, &err) || !ok) {
          if (!ok) err = std::string(dpath) + ": " + std::strerror(errno);
          rc = -1;
        }
      }
    }
  }
  if (rc != 0) return fail(err);
  double signal = 0, noise = 0;
  for (size_t i = 0; i < decoded.size(); ++i) {
    const double s = samples[i], d = s - decoded[i];
    signal += s * s;
    noise += d * d;
  }
  const double snr = noise > 0 ? 10 * std::log10(signal / noise) : 99.0;
  std::printf(
      "adpcm: channel %d of %d, %u Hz, %zu samples in %lld blocks, %zu coded, %lld bytes, "
      "snr %.2f dB\n",
      channel, info.channels, info.rate, samples.size(), blocks, decoded.size(), bytes,
      signal > 0 ? snr : 0.0);
  return 0;
}

// ---- ZARN3 conversion ----------------------------------------------------------

int convert(Args& a, bool to_zarn3) {
  const long long max_frames = number(a, "frames", 1, 1LL << 40, 1LL << 40);
  VideoReader in;
  std::string err;
  if (!to_zarn3 && !a.has("size")) usage_error("from-zarn3: give the picture size with --size WxH");
  if (open_pictures(a, &in, false, &err) != 0) return fail(err);
  if (!to_zarn3 && in.y4m) {
    dv::codec::video_close(&in);
    return fail(in.name + ": a Y4M file holds planar pictures, not ZARN3");
  }
  if (!dv::zarn3_size_ok(in.width, in.height)) {
    dv::codec::video_close(&in);
    return fail(in.name + ": picture size " + std::to_string(in.width) + "x" +
                std::to_string(in.height) +
                ": the ZARN3 layout needs a width that is a multiple of 8 and an even height");
  }
  int rate = 25;
  if (!to_zarn3) rate = static_cast<int>(number(a, "rate", 1, 65535, 25));
  if (to_zarn3 && dv::codec::has_suffix(a.files[1], ".y4m")) {
    dv::codec::video_close(&in);
    return fail(a.files[1] + ": ZARN3 pictures are written raw, not as Y4M");
  }
  VideoWriter out;
  if (create_video(&out, a.files[1], in.width, in.height, rate, &err) != 0) {
    dv::codec::video_close(&in);
    return fail(err);
  }
  std::vector<uint8_t> src(in.frame_bytes), dst(in.frame_bytes);
  long long frames = 0;
  int rc = 0;
  while (frames < max_frames) {
    const int got = dv::codec::video_read(&in, src.data(), &err);
    if (got <= 0) {
      rc = got;
      break;
    }
    if (to_zarn3)
      dv::planar_to_zarn3(src.data(), dst.data(), in.width, in.height);
    else
      dv::zarn3_to_planar(src.data(), dst.data(), in.width, in.height);
    if (dv::codec::video_write(&out, dst.data(), &err) != 0) {
      rc = -1;
      break;
    }
    ++frames;
  }
  dv::codec::video_close(&in);
  std::string late;
  if (dv::codec::video_finish(&out, &late) != 0 && rc == 0) {
    rc = -1;
    err = late;
  }
  if (rc == 0 && frames == 0) {
    err = in.name + ": holds no picture";
    rc = -1;
  }
  if (rc != 0) return fail(err);
  std::printf("%s: %lld frames %dx%d\n", to_zarn3 ? "to-zarn3" : "from-zarn3", frames, in.width,
              in.height);
  return 0;
}

int run_to_zarn3(Args& a) { return convert(a, true); }
int run_from_zarn3(Args& a) { return convert(a, false); }

// ---- dispatch ----------------------------------------------------------------

const char* const kMpeg4Opts[] = {"size",      "zarn3",    "frames",   "verbose", "quant",
                                  "bitrate",   "minquant", "maxquant", "gop",     "rate",
                                  "via-zarn3", "recon",    nullptr};
const char* const kJpegOpts[] = {"size", "zarn3", "frames", "verbose", "mjpeg", "jpg", nullptr};
const char* const kAdpcmOpts[] = {"verbose", "channel", "block", "gop", "decoded", nullptr};
const char* const kToZarn3Opts[] = {"size", "frames", nullptr};
const char* const kFromZarn3Opts[] = {"size", "frames", "rate", nullptr};

const Command kCommands[] = {
    {"mpeg4", 2, kMpeg4Opts, run_mpeg4},
    {"jpeg", 1, kJpegOpts, run_jpeg},
    {"adpcm", 2, kAdpcmOpts, run_adpcm},
    {"to-zarn3", 2, kToZarn3Opts, run_to_zarn3},
    {"from-zarn3", 2, kFromZarn3Opts, run_from_zarn3},
};

}  // namespace

int main(int argc, char** argv) {
  // The coders log their failures through the system's log; a tool shows them
  // on standard error unless the caller chose otherwise.
  setenv("DEEPVAULT_LOG", "stderr", 0);
  dv::log_open("dvcodec");

  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string cmd = argv[1];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Args a;
  for (const Command& c : kCommands)
    if (cmd == c.name) a.command = &c;
  if (!a.command) usage_error("unknown command '" + cmd + "'");

  bool only_files = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (only_files || arg == "-" || arg.empty() || arg[0] != '-') {
      a.files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::string value;
    std::string key = arg;
    const size_t eq = arg.find('=');
    bool inline_value = false;
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      key = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    const OptionSpec* o = find_option(key);
    if (!o || !allowed(*a.command, o->name)) usage_error(cmd + ": unknown option '" + key + "'");
    if (o->value && !inline_value) {
      if (i + 1 >= argc) usage_error(cmd + ": option '" + key + "' needs a value");
      value = argv[++i];
    } else if (!o->value && inline_value) {
      usage_error(cmd + ": option '" + key + "' takes no value");
    }
    a.opts.emplace_back(o->name, value);
  }
  if (static_cast<int>(a.files.size()) != a.command->positional) {
    usage_error(cmd + ": expected " +
                (a.command->positional == 1 ? std::string("an input file")
                                            : std::string("an input and an output file")) +
                ", got " + std::to_string(a.files.size()) + " file name(s)");
  }
  return a.command->run(a);
}
