// mp4_testenc: codes synthesised (or raw planar) pictures with the MPEG-4
// encoder into an elementary stream, for the tests' ffmpeg checks and for
// quick local timing. Pictures are made (and converted to the input layout)
// before the clock starts; only MP4encodeENCODE is timed.
//
//   mp4_testenc [--scene still|motion] [--input raw.yuv] [--size WxH]
//               [--frames N] [--quant Q] [--gop G] [--bitrate B]
//               [--minquant Q] [--maxquant Q] [--res R]
//               [--layout zarn3|planar] [--flags camtap|auto|intra]
//               [--out stream.m4v] [--recon recon.yuv] [--source source.yuv]
//               [--kernels portable|sse2|avx2] [--portable] [--repeat N]
//               [--warm]
//
// Prints one summary line: frames, bytes, empty VOPs, processor seconds of
// the coding calls, frames per processor second.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/mpeg4/mp4_dsp.h"
#include "capture/mpeg4/mp4enc.h"
#include "capture/mpeg4/mp4enc_internal.h"
#include "capture/mpeg4/synth.h"
#include "lib/devices/zarn3.h"

namespace {

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "mp4_testenc: %s\n", why);
  std::exit(2);
}

// Processor time of this thread (the machine may be shared), in seconds.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool write_all(FILE* f, const void* p, size_t n) { return std::fwrite(p, 1, n, f) == n; }

}  // namespace

int main(int argc, char** argv) {
  std::string scene = "still", input, out, recon, source, layout = "zarn3", flags_mode = "camtap";
  int w = 704, h = 288, frames = 25, quant = 4, gop = 25, minq = 0, maxq = 0, res = 25, repeat = 1;
  unsigned bitrate = 0;
  std::string kernels;  // default: the fastest
  bool warm = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) usage(("missing value for " + a).c_str());
      return argv[++i];
    };
    if (a == "--scene")
      scene = next();
    else if (a == "--input")
      input = next();
    else if (a == "--size") {
      if (std::sscanf(next().c_str(), "%dx%d", &w, &h) != 2) usage("bad --size");
    } else if (a == "--frames")
      frames = std::atoi(next().c_str());
    else if (a == "--quant")
      quant = std::atoi(next().c_str());
    else if (a == "--gop")
      gop = std::atoi(next().c_str());
    else if (a == "--bitrate")
      bitrate = static_cast<unsigned>(std::strtoul(next().c_str(), nullptr, 10));
    else if (a == "--minquant")
      minq = std::atoi(next().c_str());
    else if (a == "--maxquant")
      maxq = std::atoi(next().c_str());
    else if (a == "--res")
      res = std::atoi(next().c_str());
    else if (a == "--layout")
      layout = next();
    else if (a == "--flags")
      flags_mode = next();
    else if (a == "--out")
      out = next();
    else if (a == "--recon")
      recon = next();
    else if (a == "--source")
      source = next();
    else if (a == "--warm")
      warm = true;
    else if (a == "--portable")
      kernels = "portable";
    else if (a == "--kernels")
      kernels = next();
    else if (a == "--repeat")
      repeat = std::atoi(next().c_str());
    else
      usage(("unknown option " + a).c_str());
  }
  if (frames <= 0 || w <= 0 || h <= 0 || repeat <= 0) usage("bad numbers");
  const size_t pic = dv::yuv420_size(w, h);

  // Source pictures (planar), then in the input layout.
  std::vector<uint8_t> planar(pic * static_cast<size_t>(frames));
  if (!input.empty()) {
    FILE* f = std::fopen(input.c_str(), "rb");
    if (!f) usage("cannot open --input");
    size_t got = std::fread(planar.data(), 1, planar.size(), f);
    std::fclose(f);
    if (got < planar.size()) usage("--input holds fewer frames than --frames");
  } else {
    dv::mp4::Scene s = scene == "motion" ? dv::mp4::Scene::kMotion : dv::mp4::Scene::kStill;
    for (int n = 0; n < frames; ++n) dv::mp4::synth_picture(s, n, w, h, planar.data() + pic * n);
  }
  std::vector<uint8_t> pictures = planar;
  if (layout == "zarn3") {
    for (int n = 0; n < frames; ++n)
      if (dv::planar_to_zarn3(planar.data() + pic * n, pictures.data() + pic * n, w, h) != 0)
        usage("size not possible in ZARN3");
  }

  MP4encodeParams p{};
  p.width = static_cast<uint16_t>(w);
  p.height = static_cast<uint16_t>(h);
  p.quant = static_cast<uint16_t>(quant);
  p.gop = static_cast<uint16_t>(gop);
  p.bitrate = bitrate;
  p.minquant = static_cast<uint16_t>(minq);
  p.maxquant = static_cast<uint16_t>(maxq);
  p.time_resolution = static_cast<uint16_t>(res);
  p.input_layout = layout == "zarn3" ? MP4_LAYOUT_ZARN3 : MP4_LAYOUT_PLANAR;
  std::memset(p.mask, 1, sizeof p.mask);
  MP4encodeContext* ctx = MP4encodeOPEN(&p);
  if (!ctx) usage(MP4encodeLastError());
  if (kernels == "portable") {
    dv::mp4::mp4_dsp_use(dv::mp4::dsp_portable());
  } else if (kernels == "sse2" || kernels == "avx2") {
    const dv::mp4::DspFunctions* k = kernels == "sse2" ? dv::mp4::dsp_sse2() : dv::mp4::dsp_avx2();
    if (!k) usage("kernel set not available here");
    dv::mp4::mp4_dsp_use(*k);
  } else if (!kernels.empty()) {
    usage("--kernels takes portable, sse2 or avx2");
  }

  const size_t cap = 1 << 20;
  std::vector<std::vector<uint8_t>> streams(static_cast<size_t>(frames));
  std::vector<uint8_t> buf(cap);
  std::vector<uint8_t> staging(pic);
  std::vector<uint8_t> recon_all;
  long long bytes = 0;
  int empty = 0;
  double seconds = 0;
  for (int rep = 0; rep < repeat; ++rep) {
    bytes = 0;
    empty = 0;
    recon_all.clear();
    for (int n = 0; n < frames; ++n) {
      int fl = 0;
      if (flags_mode == "camtap")
        fl = n % gop == 0 ? MP4_FRAME_INTRA : MP4_FRAME_PREDICTED;
      else if (flags_mode == "intra")
        fl = MP4_FRAME_INTRA;
      MP4encodeStats st{};
      // Pictures come from a large array (not in any cache, as from the
      // capture hardware), or with --warm from a buffer just written.
      const uint8_t* src = pictures.data() + pic * n;
      if (warm) {
        std::memcpy(staging.data(), src, pic);
        src = staging.data();
      }
      double t0 = cpu_seconds();
      int size = MP4encodeENCODE(ctx, buf.data(), cap, src, fl, &st);
      seconds += cpu_seconds() - t0;
      if (size < 0) usage(MP4encodeLastError());
      bytes += size;
      if (st.activity == 320 && !st.intra && ctx->empty_vop) ++empty;
      if (rep == repeat - 1) {
        streams[static_cast<size_t>(n)].assign(buf.begin(), buf.begin() + size);
        if (!recon.empty()) {
          size_t at = recon_all.size();
          recon_all.resize(at + pic);
          MP4encodeReconstruction(ctx, recon_all.data() + at, pic);
        }
      }
    }
  }
  MP4encodeCLOSE(ctx);

  if (!out.empty()) {
    FILE* f = std::fopen(out.c_str(), "wb");
    if (!f) usage("cannot write --out");
    for (auto& s : streams) write_all(f, s.data(), s.size());
    std::fclose(f);
  }
  if (!recon.empty()) {
    FILE* f = std::fopen(recon.c_str(), "wb");
    if (!f || !write_all(f, recon_all.data(), recon_all.size())) usage("cannot write --recon");
    std::fclose(f);
  }
  if (!source.empty()) {
    FILE* f = std::fopen(source.c_str(), "wb");
    if (!f || !write_all(f, planar.data(), planar.size())) usage("cannot write --source");
    std::fclose(f);
  }
  int total = frames * repeat;
  std::printf("frames %d bytes %lld empty %d seconds %.4f fps %.1f\n", frames, bytes, empty,
              seconds, total / seconds);
  return 0;
}
