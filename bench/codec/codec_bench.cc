// codec_bench: the recorder's MPEG-4 and JPEG coders against the peers that
// a recorder of its kind would otherwise use, on the same pictures, in one
// process and one thread:
//  - MPEG-4: our coder against libavcodec's mpeg4 encoder set up the same
//    way (no motion search, no B-frames, fixed quantiser, same GOP);
//  - JPEG: our coder (Motion-JPEG handle, ZARN3 input as from the capture
//    driver) against libjpeg-turbo fed planar 4:2:0 through
//    jpeg_write_raw_data (no colour conversion), at the quality whose output
//    size is closest to ours.
// Two scenes of 704 x 288: a still scene with a moving object and light
// noise, and a test pattern in full motion (capture/mpeg4/synth.h).
//
// Speed: processor time of the coding calls only (pictures are made and laid
// out before the clock starts), best of several rounds. Quality: both
// outputs are decoded by the peer's decoder (libavcodec, libjpeg-turbo) and
// compared with the source pictures; "PSNR at our size" interpolates the
// peer's PSNR between its two runs whose sizes bracket ours (linear in the
// logarithm of the size), so the comparison does not depend on both coders
// landing on the same number of bytes.
//
//   codec_bench [--frames N] [--rounds R] [--scene still|motion|all]
//               [--codec mpeg4|jpeg|all] [--warmup P] [--strict]
//
// --warmup P: passes over the pictures before the measured one (default 1).
// --strict: exit status 1 when a goal is missed.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "capture/mpeg4/mp4enc.h"
#include "capture/mpeg4/synth.h"
#include "lib/devices/zarn3.h"
#include "lib/jcodec/jcodec.h"

namespace {

constexpr int kWidth = 704;
constexpr int kHeight = 288;
constexpr int kQuant = 4;
constexpr int kGop = 25;
constexpr int kRate = 25;

// Goals on the development machine.
constexpr double kMpeg4StillSpeedGoal = 2.0;
constexpr double kMpeg4MotionSpeedGoal = 1.0;
constexpr double kJpegSpeedGoal = 1.0;
constexpr double kPsnrGoal = -0.5;  // dB, ours minus the peer's at our size

// Passes over the pictures before the measured one, in the same coder
// context, so that the measure is the steady state of a running stream
// (buffers touched, tables built) rather than the start of one.
int g_warmup = 1;

double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void die(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::fputs("codec_bench: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
  std::exit(2);
}

// ---- pictures and measures -------------------------------------------------

struct Pictures {
  const char* name;
  int frames = 0;
  size_t size = 0;              // bytes per picture
  std::vector<uint8_t> planar;  // frames pictures, planar 4:2:0
  std::vector<uint8_t> zarn3;   // the same in the capture layout
  const uint8_t* planar_at(int n) const { return planar.data() + size * n; }
  const uint8_t* zarn3_at(int n) const { return zarn3.data() + size * n; }
};

void make_pictures(Pictures* p, dv::mp4::Scene scene, int frames) {
  p->frames = frames;
  p->size = dv::yuv420_size(kWidth, kHeight);
  p->planar.resize(p->size * frames);
  p->zarn3.resize(p->size * frames);
  for (int n = 0; n < frames; ++n) {
    dv::mp4::synth_picture(scene, n, kWidth, kHeight, p->planar.data() + p->size * n);
    dv::planar_to_zarn3(p->planar_at(n), p->zarn3.data() + p->size * n, kWidth, kHeight);
  }
}

// Squared errors per plane, summed over pictures.
struct Distortion {
  double y = 0, c = 0;
  double samples_y = 0, samples_c = 0;
  void add(const uint8_t* src, const uint8_t* dec) {
    const size_t ny = static_cast<size_t>(kWidth) * kHeight, nc = ny / 2;
    uint64_t sy = 0, sc = 0;
    for (size_t i = 0; i < ny; ++i) {
      const int d = src[i] - dec[i];
      sy += static_cast<uint64_t>(d * d);
    }
    for (size_t i = ny; i < ny + nc; ++i) {
      const int d = src[i] - dec[i];
      sc += static_cast<uint64_t>(d * d);
    }
    y += static_cast<double>(sy);
    c += static_cast<double>(sc);
    samples_y += static_cast<double>(ny);
    samples_c += static_cast<double>(nc);
  }
  static double psnr(double sse, double n) {
    return sse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * n / sse);
  }
  double psnr_y() const { return psnr(y, samples_y); }
  double psnr_yuv() const { return psnr(y + c, samples_y + samples_c); }
};

uint64_t fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// One coder's run over a scene.
struct Run {
  std::string label;
  double seconds = 1e30;       // best round
  std::vector<double> rounds;  // seconds of every round
  size_t bytes = 0;
  std::vector<std::vector<uint8_t>> units;  // coded pictures of the last round
  std::vector<uint64_t> recon_hash;         // our MPEG-4 coder's reconstruction
  double psnr_y = 0, psnr_yuv = 0;
  int decode_warnings = 0;
  int recon_equal = -1;  // pictures whose decode equals our reconstruction
  double fps(int frames) const { return frames / seconds; }
  double per_frame() const {
    return static_cast<double>(bytes) / static_cast<double>(units.size());
  }
};

// A point of a rate-distortion curve.
struct RdPoint {
  int setting;  // quantiser or quality
  double bytes, psnr_y, psnr_yuv;
};

// The peer's PSNR at `bytes`, interpolated linearly in log(bytes) between the
// two points that bracket it (extrapolated from the nearest two otherwise).
double psnr_at(std::vector<RdPoint> pts, double bytes, bool luma, bool* extrapolated,
               int* lo_setting, int* hi_setting) {
  std::sort(pts.begin(), pts.end(),
            [](const RdPoint& a, const RdPoint& b) { return a.bytes < b.bytes; });
  size_t i = 0;
  while (i + 2 < pts.size() && pts[i + 1].bytes < bytes) ++i;
  const RdPoint& a = pts[i];
  const RdPoint& b = pts[i + 1];
  *extrapolated = bytes < a.bytes || bytes > b.bytes;
  *lo_setting = std::min(a.setting, b.setting);
  *hi_setting = std::max(a.setting, b.setting);
  const double pa = luma ? a.psnr_y : a.psnr_yuv, pb = luma ? b.psnr_y : b.psnr_yuv;
  if (a.bytes == b.bytes) return (pa + pb) / 2;
  const double t = (std::log(bytes) - std::log(a.bytes)) / (std::log(b.bytes) - std::log(a.bytes));
  return pa + t * (pb - pa);
}

// ---- libavcodec -----------------------------------------------------------------

int g_av_warnings = 0;
bool g_count_av = false;

void av_log_counter(void* avcl, int level, const char* fmt, va_list ap) {
  if (level > AV_LOG_WARNING) return;
  if (g_count_av) {
    ++g_av_warnings;
    char line[512];
    std::vsnprintf(line, sizeof line, fmt, ap);
    if (g_av_warnings <= 5) std::fprintf(stderr, "  decoder: %s", line);
    return;
  }
  av_log_default_callback(avcl, level, fmt, ap);
}

void no_free(void*, uint8_t*) {}

// Wraps a planar picture in a reference-counted frame without copying it.
AVFrame* wrap_picture(const uint8_t* planar, size_t size) {
  AVFrame* f = av_frame_alloc();
  f->format = AV_PIX_FMT_YUV420P;
  f->width = kWidth;
  f->height = kHeight;
  f->buf[0] = av_buffer_create(const_cast<uint8_t*>(planar), size, no_free, nullptr,
                               AV_BUFFER_FLAG_READONLY);
  f->data[0] = const_cast<uint8_t*>(planar);
  f->data[1] = f->data[0] + kWidth * kHeight;
  f->data[2] = f->data[1] + kWidth * kHeight / 4;
  f->linesize[0] = kWidth;
  f->linesize[1] = f->linesize[2] = kWidth / 2;
  return f;
}

// rd_decision: libavcodec's rate-distortion macroblock decision (mbd rd)
// instead of its default, the plain comparison of SADs.
AVCodecContext* open_av_mpeg4(int quant, bool rd_decision) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (!codec) die("libavcodec has no mpeg4 encoder");
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->width = kWidth;
  c->height = kHeight;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, kRate};
  c->framerate = AVRational{kRate, 1};
  c->gop_size = kGop;
  c->max_b_frames = 0;
  c->thread_count = 1;
  c->flags |= AV_CODEC_FLAG_QSCALE;
  c->global_quality = quant * FF_QP2LAMBDA;
  av_opt_set(c, "motion_est", "zero", AV_OPT_SEARCH_CHILDREN);
  // No scene-change intra pictures: intra VOPs exactly every GOP, as ours.
  av_opt_set_int(c, "sc_threshold", 1000000000, AV_OPT_SEARCH_CHILDREN);
  if (rd_decision) av_opt_set(c, "mbd", "rd", AV_OPT_SEARCH_CHILDREN);
  if (avcodec_open2(c, codec, nullptr) < 0) die("cannot open libavcodec's mpeg4 encoder");
  return c;
}

// One round of libavcodec's mpeg4 encoder over the pictures.
void av_mpeg4_round(const Pictures& p, int quant, bool rd_decision, Run* run) {
  AVCodecContext* c = open_av_mpeg4(quant, rd_decision);
  std::vector<AVFrame*> frames(static_cast<size_t>(p.frames));
  for (int n = 0; n < p.frames; ++n) {
    frames[n] = wrap_picture(p.planar_at(n), p.size);
    frames[n]->quality = quant * FF_QP2LAMBDA;
  }
  AVPacket* pkt = av_packet_alloc();
  run->units.clear();
  size_t bytes = 0;
  double t = 0;
  for (int n = -g_warmup * p.frames; n <= p.frames; ++n) {
    const int k = (n + g_warmup * p.frames) % p.frames;
    AVFrame* f = n < p.frames ? frames[k] : nullptr;  // null: drain
    if (f) f->pts = n + g_warmup * p.frames;
    double t0 = cpu_seconds();
    avcodec_send_frame(c, f);
    for (;;) {
      const int rc = avcodec_receive_packet(c, pkt);
      if (n >= 0) t += cpu_seconds() - t0;
      if (rc != 0) break;
      if (n < 0) {
        av_packet_unref(pkt);
        t0 = cpu_seconds();
        continue;
      }
      // Keeping the packet is not the coder's work.
      run->units.emplace_back(pkt->data, pkt->data + pkt->size);
      bytes += static_cast<size_t>(pkt->size);
      av_packet_unref(pkt);
      t0 = cpu_seconds();
    }
  }
  av_packet_free(&pkt);
  for (AVFrame*& f : frames) av_frame_free(&f);
  avcodec_free_context(&c);
  run->bytes = bytes;
  run->seconds = std::min(run->seconds, t);
  run->rounds.push_back(t);
}

// Decodes MPEG-4 pictures with libavcodec and measures them against the
// source (and, when given, against our coder's reconstruction).
void decode_mpeg4(const Pictures& p, Run* run) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->thread_count = 1;
  if (avcodec_open2(c, codec, nullptr) < 0) die("cannot open libavcodec's mpeg4 decoder");
  AVPacket* pkt = av_packet_alloc();
  AVFrame* f = av_frame_alloc();
  Distortion d;
  std::vector<uint8_t> pic(p.size);
  int n = 0, equal = 0;
  g_av_warnings = 0;
  g_count_av = true;
  auto take = [&]() {
    while (avcodec_receive_frame(c, f) == 0) {
      if (n < p.frames) {
        av_image_copy_to_buffer(pic.data(), static_cast<int>(pic.size()), f->data, f->linesize,
                                AV_PIX_FMT_YUV420P, kWidth, kHeight, 1);
        d.add(p.planar_at(n), pic.data());
        if (!run->recon_hash.empty() && fnv1a(pic.data(), pic.size()) == run->recon_hash[n])
          ++equal;
      }
      ++n;
      av_frame_unref(f);
    }
  };
  for (const auto& u : run->units) {
    av_new_packet(pkt, static_cast<int>(u.size()));
    std::memcpy(pkt->data, u.data(), u.size());
    if (avcodec_send_packet(c, pkt) < 0) ++g_av_warnings;
    av_packet_unref(pkt);
    take();
  }
  avcodec_send_packet(c, nullptr);
  take();
  g_count_av = false;
  if (n != p.frames) {
    std::fprintf(stderr, "  decoder: %d pictures out of %d\n", n, p.frames);
    ++g_av_warnings;
  }
  run->decode_warnings = g_av_warnings;
  run->psnr_y = d.psnr_y();
  run->psnr_yuv = d.psnr_yuv();
  run->recon_equal = run->recon_hash.empty() ? -1 : equal;
  av_frame_free(&f);
  av_packet_free(&pkt);
  avcodec_free_context(&c);
}

// ---- our MPEG-4 coder ---------------------------------------------------------------

void our_mpeg4_round(const Pictures& p, bool zarn3, Run* run) {
  MP4encodeParams prm{};
  prm.width = kWidth;
  prm.height = kHeight;
  prm.quant = kQuant;
  prm.gop = kGop;
  prm.time_resolution = kRate;
  prm.input_layout = zarn3 ? MP4_LAYOUT_ZARN3 : MP4_LAYOUT_PLANAR;
  std::memset(prm.mask, 1, sizeof prm.mask);
  MP4encodeContext* ctx = MP4encodeOPEN(&prm);
  if (!ctx) die("MP4encodeOPEN: %s", MP4encodeLastError());
  std::vector<uint8_t> out(MP4encodeMaxFrameBytes(kWidth, kHeight));
  std::vector<uint8_t> recon(p.size);
  run->units.clear();
  run->recon_hash.clear();
  size_t bytes = 0;
  double t = 0;
  for (int n = -g_warmup * p.frames; n < p.frames; ++n) {
    const int k = (n + g_warmup * p.frames) % p.frames;
    const uint8_t* src = zarn3 ? p.zarn3_at(k) : p.planar_at(k);
    MP4encodeStats st;
    const double t0 = cpu_seconds();
    const int size = MP4encodeENCODE(ctx, out.data(), out.size(), src, MP4_FRAME_AUTO, &st);
    const double t1 = cpu_seconds();
    if (size < 0) die("MP4encodeENCODE: %s", MP4encodeLastError());
    if (n < 0) continue;
    t += t1 - t0;
    run->units.emplace_back(out.begin(), out.begin() + size);
    MP4encodeReconstruction(ctx, recon.data(), recon.size());
    run->recon_hash.push_back(fnv1a(recon.data(), recon.size()));
    bytes += static_cast<size_t>(size);
  }
  MP4encodeCLOSE(ctx);
  run->bytes = bytes;
  run->seconds = std::min(run->seconds, t);
  run->rounds.push_back(t);
}

// ---- JPEG ---------------------------------------------------------------------

void our_jpeg_round(const Pictures& p, Run* run) {
  MJPEGHandle* h = MJPEGencodeOPEN(nullptr);
  if (!h || MJPEGencodeSIZE(h, kWidth, kHeight) != 0) die("MJPEGencodeOPEN failed");
  std::vector<uint8_t> out(dv::jcodec_max_size(kWidth, kHeight));
  init_stream_table();  // built once per process, as on the device
  run->units.clear();
  size_t bytes = 0;
  double t = 0;
  for (int n = -g_warmup * p.frames; n < p.frames; ++n) {
    const int k = (n + g_warmup * p.frames) % p.frames;
    uint8_t stats[16];
    const double t0 = cpu_seconds();
    const int size =
        MJPEGencodeENCODE(h, out.data(), p.zarn3_at(k), 0, stats, static_cast<int>(out.size()));
    const double t1 = cpu_seconds();
    if (size <= 0) die("MJPEGencodeENCODE failed");
    if (n < 0) continue;
    t += t1 - t0;
    run->units.emplace_back(out.begin(), out.begin() + size);
    bytes += static_cast<size_t>(size);
  }
  MJPEGencodeCLOSE(h);
  run->bytes = bytes;
  run->seconds = std::min(run->seconds, t);
  run->rounds.push_back(t);
}

// Natural (row-major) position of the k-th coefficient in zigzag order.
const int kNaturalOrder[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                               12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                               35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                               58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// quality < 0: our stream's format (our quantisation table, scaled by
// -quality percent, for all planes; the luminance Huffman tables for chroma
// too), to tell the cost of the format from the cost of the coder.
void turbo_jpeg_round(const Pictures& p, int quality, J_DCT_METHOD method, Run* run) {
  jpeg_compress_struct c;
  jpeg_error_mgr jerr;
  c.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&c);
  c.image_width = kWidth;
  c.image_height = kHeight;
  c.input_components = 3;
  c.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&c);
  if (quality > 0) {
    jpeg_set_quality(&c, quality, TRUE);
  } else {
    unsigned int basic[64];
    for (int k = 0; k < 64; ++k) basic[kNaturalOrder[k]] = qtable[k];
    jpeg_add_quant_table(&c, 0, basic, -quality, TRUE);
    for (int k = 0; k < 3; ++k) {
      c.comp_info[k].quant_tbl_no = 0;
      c.comp_info[k].dc_tbl_no = 0;
      c.comp_info[k].ac_tbl_no = 0;
    }
  }
  c.raw_data_in = TRUE;
  c.dct_method = method;
  c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2;
  for (int k = 1; k < 3; ++k) c.comp_info[k].h_samp_factor = c.comp_info[k].v_samp_factor = 1;
  std::vector<uint8_t> out(dv::jcodec_max_size(kWidth, kHeight) * 2);
  run->units.clear();
  size_t bytes = 0;
  double t = 0;
  JSAMPROW y[16], cb[8], cr[8];
  JSAMPARRAY planes[3] = {y, cb, cr};
  for (int n = -g_warmup * p.frames; n < p.frames; ++n) {
    const uint8_t* yp = p.planar_at((n + g_warmup * p.frames) % p.frames);
    const uint8_t* up = yp + kWidth * kHeight;
    const uint8_t* vp = up + kWidth * kHeight / 4;
    unsigned char* buf = out.data();
    unsigned long size = out.size();
    const double t0 = cpu_seconds();
    jpeg_mem_dest(&c, &buf, &size);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
      const unsigned row = c.next_scanline;
      for (int i = 0; i < 16; ++i) y[i] = const_cast<uint8_t*>(yp + (row + i) * kWidth);
      for (int i = 0; i < 8; ++i) {
        cb[i] = const_cast<uint8_t*>(up + (row / 2 + i) * (kWidth / 2));
        cr[i] = const_cast<uint8_t*>(vp + (row / 2 + i) * (kWidth / 2));
      }
      jpeg_write_raw_data(&c, planes, 16);
    }
    jpeg_finish_compress(&c);
    const double t1 = cpu_seconds();
    if (buf != out.data()) die("libjpeg-turbo outgrew the output buffer");
    if (n < 0) continue;
    t += t1 - t0;
    run->units.emplace_back(out.begin(), out.begin() + size);
    bytes += size;
  }
  jpeg_destroy_compress(&c);
  run->bytes = bytes;
  run->seconds = std::min(run->seconds, t);
  run->rounds.push_back(t);
}

// Decodes JPEG pictures with libjpeg-turbo (raw 4:2:0 out, no upsampling)
// and measures them against the source.
void decode_jpeg(const Pictures& p, Run* run) {
  Distortion d;
  std::vector<uint8_t> pic(p.size);
  int warnings = 0;
  for (int n = 0; n < p.frames; ++n) {
    const auto& u = run->units[n];
    jpeg_decompress_struct c;
    jpeg_error_mgr jerr;
    c.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, u.data(), u.size());
    jpeg_read_header(&c, TRUE);
    if (c.image_width != kWidth || c.image_height != kHeight || c.num_components != 3 ||
        c.comp_info[0].h_samp_factor != 2 || c.comp_info[0].v_samp_factor != 2 ||
        c.comp_info[1].h_samp_factor != 1 || c.comp_info[2].v_samp_factor != 1) {
      die("%s: picture %d is not 704x288 4:2:0", run->label.c_str(), n);
    }
    c.raw_data_out = TRUE;
    jpeg_start_decompress(&c);
    uint8_t* yp = pic.data();
    uint8_t* up = yp + kWidth * kHeight;
    uint8_t* vp = up + kWidth * kHeight / 4;
    JSAMPROW y[16], cb[8], cr[8];
    JSAMPARRAY planes[3] = {y, cb, cr};
    while (c.output_scanline < c.output_height) {
      const unsigned row = c.output_scanline;
      for (int i = 0; i < 16; ++i) y[i] = yp + (row + i) * kWidth;
      for (int i = 0; i < 8; ++i) {
        cb[i] = up + (row / 2 + i) * (kWidth / 2);
        cr[i] = vp + (row / 2 + i) * (kWidth / 2);
      }
      jpeg_read_raw_data(&c, planes, 16);
    }
    jpeg_finish_decompress(&c);
    warnings += static_cast<int>(jerr.num_warnings);
    jpeg_destroy_decompress(&c);
    d.add(p.planar_at(n), pic.data());
  }
  run->decode_warnings = warnings;
  run->psnr_y = d.psnr_y();
  run->psnr_yuv = d.psnr_yuv();
}

// ---- report ---------------------------------------------------------------------

struct Options {
  int frames = 250;
  int rounds = 5;
  bool still = true, motion = true;
  bool mpeg4 = true, jpeg = true;
  bool strict = false;
};

int g_missed = 0;

void row(const Run& r, int frames) {
  std::printf("  %-38s %8.1f %12.1f %8.2f %9.2f\n", r.label.c_str(), r.fps(frames), r.per_frame(),
              r.psnr_y, r.psnr_yuv);
}

// Speed ratio and PSNR per byte of ours against one peer; goals count only
// when speed_goal > 0 (else the lines are for information).
void compare(const char* peer, const Run& ours, const Run& peer_run, const std::vector<RdPoint>& rd,
             const char* setting, int frames, double speed_goal) {
  const bool goals = speed_goal > 0;
  const double ratio = ours.fps(frames) / peer_run.fps(frames);
  if (goals) {
    const bool met = ratio >= speed_goal;
    if (!met) ++g_missed;
    std::printf("  speed ours/%s: %.2fx (goal >= %.1fx: %s)\n", peer, ratio, speed_goal,
                met ? "met" : "NOT MET");
  } else {
    std::printf("  speed ours/%s: %.2fx\n", peer, ratio);
  }
  // Rounds run one after the other, ours then the peer's: the ratio within
  // each round, and their median, tell a busy machine from a real difference.
  std::vector<double> paired;
  for (size_t i = 0; i < ours.rounds.size() && i < peer_run.rounds.size(); ++i)
    paired.push_back(peer_run.rounds[i] / ours.rounds[i]);
  if (paired.size() > 1) {
    std::sort(paired.begin(), paired.end());
    const size_t m = paired.size() / 2;
    const double median = paired.size() % 2 ? paired[m] : (paired[m - 1] + paired[m]) / 2;
    std::printf("    paired rounds: median %.2fx, range %.2fx..%.2fx\n", median, paired.front(),
                paired.back());
  }
  bool ex_y = false, ex_c = false;
  int lo = 0, hi = 0;
  const double py = psnr_at(rd, static_cast<double>(ours.bytes), true, &ex_y, &lo, &hi);
  const double pc = psnr_at(rd, static_cast<double>(ours.bytes), false, &ex_c, &lo, &hi);
  std::printf(
      "  %s at our size (%.1f bytes/frame): PSNR-Y %.2f dB, PSNR-YUV %.2f dB (%s %d..%d%s)\n", peer,
      ours.per_frame(), py, pc, setting, lo, hi, ex_y ? ", extrapolated" : "");
  const double dy = ours.psnr_y - py;
  if (goals) {
    const bool met = dy >= kPsnrGoal - 0.005;  // as printed, to the hundredth
    if (!met) ++g_missed;
    std::printf("  PSNR-Y per byte, ours - %s: %+.2f dB (goal >= %.2f dB: %s)\n", peer, dy,
                kPsnrGoal, met ? "met" : "NOT MET");
  } else {
    std::printf("  PSNR-Y per byte, ours - %s: %+.2f dB\n", peer, dy);
  }
  std::printf("  PSNR-YUV per byte, ours - %s: %+.2f dB\n", peer, ours.psnr_yuv - pc);
}

// The peer's rate-distortion points around our size: the run at our
// quantiser, then quantisers stepping towards our size until one passes it.
std::vector<RdPoint> mpeg4_curve(const Pictures& p, const Run& peer, bool rd_decision,
                                 size_t our_bytes) {
  std::vector<RdPoint> rd = {{kQuant, static_cast<double>(peer.bytes), peer.psnr_y, peer.psnr_yuv}};
  const int dir = our_bytes < peer.bytes ? 1 : -1;
  for (int q = kQuant + dir; q >= 1 && q <= 31; q += dir) {
    Run r;
    av_mpeg4_round(p, q, rd_decision, &r);
    decode_mpeg4(p, &r);
    rd.push_back({q, static_cast<double>(r.bytes), r.psnr_y, r.psnr_yuv});
    if (dir > 0 ? r.bytes <= our_bytes : r.bytes >= our_bytes) break;
  }
  return rd;
}

void bench_mpeg4(const Pictures& p, const Options& o, double speed_goal) {
  std::printf("MPEG-4, %s scene (quantiser %d, GOP %d, no B-frames, zero motion vectors)\n", p.name,
              kQuant, kGop);
  std::printf("  %-38s %8s %12s %8s %9s\n", "coder", "fps", "bytes/frame", "PSNR-Y", "PSNR-YUV");
  Run ours, ours_z, peer, peer_rd;
  ours.label = "ours (planar input)";
  ours_z.label = "ours (ZARN3 input, as on the device)";
  peer.label = "libavcodec mpeg4 (motion_est zero)";
  peer_rd.label = "libavcodec mpeg4 (the same, mbd rd)";
  for (int r = 0; r < o.rounds; ++r) {
    our_mpeg4_round(p, false, &ours);
    our_mpeg4_round(p, true, &ours_z);
    av_mpeg4_round(p, kQuant, false, &peer);
    av_mpeg4_round(p, kQuant, true, &peer_rd);
  }
  decode_mpeg4(p, &ours);
  decode_mpeg4(p, &ours_z);
  decode_mpeg4(p, &peer);
  decode_mpeg4(p, &peer_rd);
  row(ours, p.frames);
  row(ours_z, p.frames);
  row(peer, p.frames);
  row(peer_rd, p.frames);
  compare("libavcodec", ours, peer, mpeg4_curve(p, peer, false, ours.bytes), "quantisers", p.frames,
          speed_goal);
  std::printf("  ZARN3 input: %.2fx libavcodec\n", ours_z.fps(p.frames) / peer.fps(p.frames));
  std::printf("  for information, against libavcodec's rate-distortion macroblock decision:\n");
  compare("libavcodec-mbd-rd", ours, peer_rd, mpeg4_curve(p, peer_rd, true, ours.bytes),
          "quantisers", p.frames, 0);
  std::printf("  our stream: %s, %d of %d pictures equal to our coder's reconstruction\n",
              ours.decode_warnings ? "libavcodec WARNED while decoding it"
                                   : "libavcodec decodes it without warnings",
              ours.recon_equal, p.frames);
  if (ours.decode_warnings || ours.units != ours_z.units) {
    if (ours.units != ours_z.units) std::printf("  the ZARN3 and planar streams DIFFER\n");
    ++g_missed;
  }
  std::printf("\n");
}

void bench_jpeg(const Pictures& p, const Options& o) {
  std::printf("JPEG, %s scene (4:2:0 baseline, no colour conversion)\n", p.name);
  std::printf("  %-38s %8s %12s %8s %9s\n", "coder", "fps", "bytes/frame", "PSNR-Y", "PSNR-YUV");
  Run ours;
  ours.label = "ours (ZARN3, Motion-JPEG handle)";
  our_jpeg_round(p, &ours);
  decode_jpeg(p, &ours);

  // libjpeg-turbo's size grows with the quality: find the two qualities
  // whose sizes bracket ours.
  std::vector<RdPoint> rd;
  auto measure = [&](int q) -> const RdPoint& {
    for (const RdPoint& x : rd)
      if (x.setting == q) return x;
    Run r;
    r.label = "libjpeg-turbo";
    turbo_jpeg_round(p, q, JDCT_ISLOW, &r);
    decode_jpeg(p, &r);
    rd.push_back({q, static_cast<double>(r.bytes), r.psnr_y, r.psnr_yuv});
    return rd.back();
  };
  int lo = 1, hi = 100;
  while (hi - lo > 1) {
    const int mid = (lo + hi) / 2;
    if (measure(mid).bytes <= static_cast<double>(ours.bytes))
      lo = mid;
    else
      hi = mid;
  }
  const double dlo = std::fabs(measure(lo).bytes - static_cast<double>(ours.bytes));
  const double dhi = std::fabs(measure(hi).bytes - static_cast<double>(ours.bytes));
  const int q = dlo <= dhi ? lo : hi;
  std::vector<RdPoint> bracket = {measure(lo), measure(hi)};

  Run peer, fast, same;
  same.label = "libjpeg-turbo, our tables (islow)";
  peer.label = "libjpeg-turbo q" + std::to_string(q) + " (raw 4:2:0, islow)";
  fast.label = "libjpeg-turbo q" + std::to_string(q) + " (raw 4:2:0, ifast)";
  ours.rounds.clear();
  for (int r = 0; r < o.rounds; ++r) {
    our_jpeg_round(p, &ours);
    turbo_jpeg_round(p, q, JDCT_ISLOW, &peer);
    turbo_jpeg_round(p, q, JDCT_IFAST, &fast);
    turbo_jpeg_round(p, -100, JDCT_ISLOW, &same);
  }
  decode_jpeg(p, &peer);
  decode_jpeg(p, &fast);
  decode_jpeg(p, &same);
  row(ours, p.frames);
  row(peer, p.frames);
  row(fast, p.frames);
  row(same, p.frames);
  compare("libjpeg-turbo", ours, peer, bracket, "qualities", p.frames, kJpegSpeedGoal);
  std::printf("  against the ifast transform: %.2fx\n", ours.fps(p.frames) / fast.fps(p.frames));
  // libjpeg-turbo in our format, its table scaled around ours: what the
  // coder itself gives away, apart from the format.
  std::vector<RdPoint> same_rd = {
      {100, static_cast<double>(same.bytes), same.psnr_y, same.psnr_yuv}};
  const int dir = ours.bytes < same.bytes ? 1 : -1;
  for (int scale = 100 + 5 * dir; scale >= 50 && scale <= 200; scale += 5 * dir) {
    Run r;
    r.label = "libjpeg-turbo, our tables";
    turbo_jpeg_round(p, -scale, JDCT_ISLOW, &r);
    decode_jpeg(p, &r);
    same_rd.push_back({scale, static_cast<double>(r.bytes), r.psnr_y, r.psnr_yuv});
    if (dir > 0 ? r.bytes <= ours.bytes : r.bytes >= ours.bytes) break;
  }
  std::printf("  for information, against libjpeg-turbo writing our format (tables scaled):\n");
  compare("libjpeg-turbo-our-tables", ours, same, same_rd, "table scale %", p.frames, 0);
  std::printf("  our pictures: %s\n", ours.decode_warnings
                                          ? "libjpeg-turbo WARNED while decoding them"
                                          : "libjpeg-turbo decodes them without warnings");
  if (ours.decode_warnings) ++g_missed;
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("%s needs a value", a.c_str());
      return argv[++i];
    };
    if (a == "--frames") {
      o.frames = std::atoi(value().c_str());
    } else if (a == "--rounds") {
      o.rounds = std::atoi(value().c_str());
    } else if (a == "--scene") {
      const std::string s = value();
      o.still = s == "still" || s == "all";
      o.motion = s == "motion" || s == "all";
      if (!o.still && !o.motion) die("--scene still|motion|all");
    } else if (a == "--codec") {
      const std::string s = value();
      o.mpeg4 = s == "mpeg4" || s == "all";
      o.jpeg = s == "jpeg" || s == "all";
      if (!o.mpeg4 && !o.jpeg) die("--codec mpeg4|jpeg|all");
    } else if (a == "--warmup") {
      g_warmup = std::atoi(value().c_str());
    } else if (a == "--strict") {
      o.strict = true;
    } else {
      die("usage: codec_bench [--frames N] [--rounds R] [--scene still|motion|all] "
          "[--codec mpeg4|jpeg|all] [--warmup P] [--strict]");
    }
  }
  if (o.frames < 1 || o.frames > 100000 || o.rounds < 1 || g_warmup < 0 || g_warmup > 100)
    die("bad --frames, --rounds or --warmup");
  av_log_set_callback(av_log_counter);
  std::printf(
      "codec_bench: %dx%d, %d frames per scene, one thread, best of %d rounds of "
      "processor time, each after %d warm-up pass(es)\n\n",
      kWidth, kHeight, o.frames, o.rounds, g_warmup);
  for (int s = 0; s < 2; ++s) {
    if ((s == 0 && !o.still) || (s == 1 && !o.motion)) continue;
    Pictures p;
    p.name = s == 0 ? "still" : "full-motion";
    make_pictures(&p, s == 0 ? dv::mp4::Scene::kStill : dv::mp4::Scene::kMotion, o.frames);
    if (o.mpeg4) bench_mpeg4(p, o, s == 0 ? kMpeg4StillSpeedGoal : kMpeg4MotionSpeedGoal);
    if (o.jpeg) bench_jpeg(p, o);
  }
  free_stream_table();
  std::printf("%s\n", g_missed ? "Some goals were NOT met." : "All goals met.");
  return o.strict && g_missed ? 1 : 0;
}
