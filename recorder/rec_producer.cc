// rec_producer: a test producer for the recorder's system tests and
// benchmark. It publishes video frames (MPEG-4-like: a VOL header and an
// I-VOP on key frames, P-VOPs between; or JPEG-like: SOI ... EOI, every frame
// a key frame), ADPCM-sized audio blocks and texts through memhub exactly as
// a capture daemon does (REQ_MEM, write at the grant, ACK_MEM with size,
// frame_no, time_code, level and the event flag; a key frame whenever the
// grant carries the key flag), and optionally lists every notice the hub
// broadcasts, with a CRC-32 of its payload, as JSON lines.
//
// Every video and audio payload carries an ident after its start code:
// "DVRT", stream (1 byte), sequence number (4), size (4), so a test can tell
// which published frame an archived one is.
//
//   rec_producer [--video N] [--audio] [--frames N | --seconds S] [--fps R]
//                [--size MIN:MAX] [--key-size N] [--big K] [--mjpeg]
//                [--motion I]... [--text I:STREAM:TEXT]... [--alarm I:STREAM:TEXT]...
//                [--nosignal I]... [--manifest FILE] [--start-delay MS] [--throttle N]
//
// Video frame i (0-based, counted over all cameras) belongs to camera
// i % N. --fps 0 publishes flat out; with --throttle N it still waits
// whenever some consumer's queue holds more than N messages (so that a
// benchmark measures how fast the consumer writes, not how fast the hub
// drops it). Prints "frames F bytes B seconds S" at
// the end. Exit 0, or 1 when the hub is not there or a grant fails.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hub/hub_client.h"
#include "hub/hub_protocol.h"
#include "lib/platform/le.h"
#include "lib/platform/signals.h"

namespace {

dv::SigFlag g_stop = 0;

struct Options {
  int video = 1;
  bool audio = false;
  long frames = 100;
  double seconds = 0;
  double fps = 50;
  uint32_t min_size = 2000, max_size = 8000;
  uint32_t key_size = 0;  // 0: 4 x max_size
  long big = 0;
  bool mjpeg = false;
  std::map<long, bool> motion;
  std::multimap<long, std::pair<int, std::string>> texts;  // after frame i
  std::multimap<long, std::pair<int, std::string>> alarms;
  std::map<long, bool> nosignal;
  std::string manifest;
  long start_delay_ms = 0;
  long throttle = 0;  // wait while a consumer's queue holds more notices
};

uint32_t crc_table[256];

void crc_init() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    crc_table[i] = c;
  }
}

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = crc_table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// Random bytes the payload bodies are cut from.
constexpr size_t kPool = 1 << 20;
std::vector<uint8_t> g_pool;

void pool_init() {
  g_pool.resize(kPool + 0x20000);
  uint32_t x = 0x9E3779B9u;
  for (uint8_t& b : g_pool) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
}

// A video or audio payload of size bytes for (stream, seq).
void fill_payload(uint8_t* p, uint32_t size, int stream, uint32_t seq, bool key, bool video,
                  bool mjpeg) {
  static const uint8_t kVol[] = {0x00, 0x00, 0x01, 0xB0, 0xF5, 0x00, 0x00, 0x01, 0xB5, 0x09,
                                 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20, 0x00, 0x84,
                                 0x5D, 0x4C, 0x28, 0x2C, 0x20, 0x90, 0xA2, 0x1F};
  static const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                                  0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  std::vector<uint8_t> head;
  if (video && mjpeg) {
    head.assign(kJpeg, kJpeg + sizeof kJpeg);
  } else if (video) {
    if (key) head.assign(kVol, kVol + sizeof kVol);
    head.insert(head.end(), {0x00, 0x00, 0x01, 0xB6, static_cast<uint8_t>(key ? 0x10 : 0x50)});
  }
  uint8_t ident[13] = {'D', 'V', 'R', 'T'};
  ident[4] = static_cast<uint8_t>(stream);
  dv::put_u32le(ident + 5, seq);
  dv::put_u32le(ident + 9, size);
  head.insert(head.end(), ident, ident + sizeof ident);
  size_t h = head.size() < size ? head.size() : size;
  std::memcpy(p, head.data(), h);
  if (size > h) {
    size_t from = (static_cast<size_t>(seq) * 4099u + static_cast<size_t>(stream) * 131u) % kPool;
    std::memcpy(p + h, g_pool.data() + from, size - h);
  }
  if (video && mjpeg && size >= h + 2) {
    p[size - 2] = 0xFF;
    p[size - 1] = 0xD9;
  }
}

std::string json_text(const uint8_t* p, size_t n) {
  std::string s = "\"";
  for (size_t i = 0; i < n && p[i] != 0; ++i) {
    uint8_t c = p[i];
    if (c == '"' || c == '\\') {
      s += '\\';
      s += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      s += b;
    } else {
      s += static_cast<char>(c);
    }
  }
  return s + "\"";
}

struct Manifest {
  FILE* f = nullptr;
  HubClient* cons = nullptr;
  long count = 0;

  void drain(bool wait_a_little) {
    if (f == nullptr) return;
    int idle = 0;
    for (;;) {
      HubMessage m;
      int r = hub_receive(cons, &m, false);
      if (r != 1) {
        if (!wait_a_little || ++idle > 50) return;
        usleep(2000);
        continue;
      }
      idle = 0;
      const uint8_t* p = hub_payload(cons, m);
      uint32_t crc = p != nullptr && m.size > 0 ? crc32(p, static_cast<size_t>(m.size)) : 0;
      long seq = -1;
      std::string text = "null";
      if (p != nullptr && (m.stream_type & T_TEXT) && m.size > 0) {
        text = json_text(p, static_cast<size_t>(m.size));
      } else if (p != nullptr && m.size >= 13) {
        // The ident follows the start codes: look for it near the front.
        size_t lim = m.size < 64 ? static_cast<size_t>(m.size) - 12 : 52;
        for (size_t i = 0; i < lim; ++i) {
          if (std::memcmp(p + i, "DVRT", 4) == 0) {
            seq = static_cast<long>(dv::get_u32le(p + i + 5));
            break;
          }
        }
      }
      std::fprintf(f,
                   "{\"n\": %ld, \"type\": %u, \"offset\": %d, \"size\": %d, \"frame_no\": %d, "
                   "\"gop_time\": %d, \"time_code\": %u, \"level\": %u, \"stream_type\": %u, "
                   "\"crc\": %u, \"seq\": %ld, \"text\": %s}\n",
                   count++, m.type, m.offset, m.size, m.frame_no, m.gop_time, m.time_code, m.level,
                   m.stream_type, crc, seq, text.c_str());
    }
  }
};

// The fullest message queue of the namespace other than the hub's and the
// given ones: how far the slowest consumer is behind.
long fullest_queue(int skip1, int skip2) {
  FILE* f = std::fopen("/proc/sysvipc/msg", "r");
  if (f == nullptr) return 0;
  char line[512];
  long most = 0;
  if (std::fgets(line, sizeof line, f) != nullptr) {
    while (std::fgets(line, sizeof line, f) != nullptr) {
      long key, id, perms, cbytes, qnum;
      if (std::sscanf(line, "%ld %ld %lo %ld %ld", &key, &id, &perms, &cbytes, &qnum) != 5) {
        continue;
      }
      if (key == HUB_QUEUE_KEY || id == skip1 || id == skip2) continue;
      if (qnum > most) most = qnum;
    }
  }
  std::fclose(f);
  return most;
}

double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

bool parse_indexed(const char* arg, long* index, int* stream, std::string* text) {
  char* end = nullptr;
  *index = std::strtol(arg, &end, 0);
  if (end == arg || *end != ':') return false;
  const char* s = end + 1;
  *stream = static_cast<int>(std::strtol(s, &end, 0));
  if (end == s || *end != ':' || *stream < 0 || *stream > 255) return false;
  *text = end + 1;
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: rec_producer [--video N] [--audio] [--frames N | --seconds S] [--fps R]\n"
               "  [--size MIN:MAX] [--key-size N] [--big K] [--mjpeg] [--motion I]...\n"
               "  [--text I:STREAM:TEXT]... [--alarm I:STREAM:TEXT]... [--nosignal I]...\n"
               "  [--manifest FILE] [--start-delay MS] [--throttle N]\n");
  return 2;
}

// Publishes one frame. Returns 0 or -1.
int publish(HubClient* prod, int stream, uint32_t want, bool video, bool audio, uint32_t seq,
            const Options& o, int* frame_no, double* key_time, bool event, uint8_t level,
            uint64_t* bytes, bool* was_key) {
  HubMessage grant;
  int32_t ask = video ? HUB_VIDEO_REQUEST : static_cast<int32_t>(want);
  if (want > static_cast<uint32_t>(ask)) ask = static_cast<int32_t>(want);
  if (hub_request_mem(prod, stream, ask, &grant) != HUB_OK) return -1;
  bool key = (grant.type & SHM_MSG_FLAG_KEY) != 0 || (video && o.mjpeg);
  uint32_t size = want;
  if (video && key && want > 0) {
    size = o.key_size ? o.key_size : 4 * o.max_size;
    if (size < want) size = want;
    if (size > HUB_VIDEO_REQUEST) size = HUB_VIDEO_REQUEST;
  }
  uint8_t* dst = hub_grant_ptr(prod, grant, static_cast<int32_t>(size));
  HubMessage ack = grant;
  if (dst == nullptr) {
    ack.size = -1;
    hub_ack_mem(prod, ack);
    return -1;
  }
  if (size > 0) fill_payload(dst, size, stream, seq, key, video, o.mjpeg);
  if (video) {
    double t = now_s();
    if (key) {
      *frame_no = 0;
      *key_time = t;
    } else {
      ++*frame_no;
    }
    ack.frame_no = *frame_no;
    ack.time_code = static_cast<uint16_t>(static_cast<long>((t - *key_time) * 1000) & 0xFFFF);
  } else {
    ack.frame_no = 0;
    ack.time_code = 0;
  }
  (void)audio;
  ack.level = level;
  ack.size = static_cast<int32_t>(size);
  if (event) ack.type |= SHM_MSG_FLAG_EVENT;
  if (hub_ack_mem(prod, ack) != HUB_OK) return -1;
  *bytes += size;
  *was_key = key;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto val = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--audio") {
      o.audio = true;
    } else if (a == "--mjpeg") {
      o.mjpeg = true;
    } else if ((v = val()) == nullptr) {
      return usage();
    } else if (a == "--video") {
      o.video = std::atoi(v);
    } else if (a == "--frames") {
      o.frames = std::atol(v);
    } else if (a == "--seconds") {
      o.seconds = std::atof(v);
      o.frames = -1;
    } else if (a == "--fps") {
      o.fps = std::atof(v);
    } else if (a == "--size") {
      if (std::sscanf(v, "%u:%u", &o.min_size, &o.max_size) != 2 || o.min_size > o.max_size) {
        return usage();
      }
    } else if (a == "--key-size") {
      o.key_size = static_cast<uint32_t>(std::atol(v));
    } else if (a == "--big") {
      o.big = std::atol(v);
    } else if (a == "--motion") {
      o.motion[std::atol(v)] = true;
    } else if (a == "--nosignal") {
      o.nosignal[std::atol(v)] = true;
    } else if (a == "--text" || a == "--alarm") {
      long idx;
      int stream;
      std::string text;
      if (!parse_indexed(v, &idx, &stream, &text)) return usage();
      (a == "--text" ? o.texts : o.alarms).insert({idx, {stream, text}});
    } else if (a == "--manifest") {
      o.manifest = v;
    } else if (a == "--throttle") {
      o.throttle = std::atol(v);
    } else if (a == "--start-delay") {
      o.start_delay_ms = std::atol(v);
    } else {
      return usage();
    }
  }
  if (o.video < 1 || o.video > 4) return usage();
  crc_init();
  pool_init();
  dv::on_stop_signals(&g_stop);

  HubClient prod;
  prod.stop = dv::StopFlags{&g_stop, nullptr};
  if (hub_open(&prod) != 0 || hub_create_reply_queue(&prod, argv[0]) < 0 ||
      hub_request_shm(&prod, false) != HUB_OK) {
    std::fprintf(stderr, "rec_producer: hub not reachable: %s\n", std::strerror(errno));
    return 1;
  }
  HubClient cons;
  Manifest man;
  if (!o.manifest.empty()) {
    cons.stop = prod.stop;
    if (hub_open(&cons) != 0 || hub_create_reply_queue(&cons, argv[0]) < 0 ||
        hub_request_shm(&cons, true) != HUB_OK || hub_connect(&cons) != HUB_OK) {
      std::fprintf(stderr, "rec_producer: cannot connect: %s\n", std::strerror(errno));
      return 1;
    }
    man.f = std::fopen(o.manifest.c_str(), "w");
    if (man.f == nullptr) {
      std::fprintf(stderr, "rec_producer: %s: %s\n", o.manifest.c_str(), std::strerror(errno));
      return 1;
    }
    man.cons = &cons;
  }
  if (o.start_delay_ms > 0) usleep(static_cast<useconds_t>(o.start_delay_ms) * 1000);

  int frame_no[4] = {};
  double key_time[4] = {};
  uint32_t audio_seq = 0;
  uint64_t bytes = 0;
  long published = 0;
  double start = now_s();
  uint32_t rnd = 12345;
  int rc = 0;
  for (long i = 0; !g_stop; ++i) {
    if (o.frames >= 0 && i >= o.frames) break;
    if (o.frames < 0 && now_s() - start >= o.seconds) break;
    if (o.fps > 0) {
      double due = start + static_cast<double>(i) / o.fps;
      double wait = due - now_s();
      if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
    }
    if (o.throttle > 0 && i % 8 == 0) {
      while (!g_stop && fullest_queue(prod.reply_qid, cons.reply_qid) > o.throttle) usleep(200);
    }
    int cam = static_cast<int>(i % o.video);
    rnd = rnd * 1103515245u + 12345u;
    uint32_t size =
        o.min_size + (o.max_size > o.min_size ? (rnd >> 8) % (o.max_size - o.min_size + 1) : 0);
    if (o.big > 0 && i % o.big == o.big - 1) size = 70000;
    if (o.nosignal.count(i)) size = 0;
    bool event = o.motion.count(i) > 0;
    uint8_t level = event ? 50 : static_cast<uint8_t>((i * 13) % 40);
    bool key = false;
    if (publish(&prod, cam, size, true, false, static_cast<uint32_t>(i), o, &frame_no[cam],
                &key_time[cam], event, level, &bytes, &key) != 0) {
      if (!g_stop) rc = 1;
      break;
    }
    ++published;
    if (o.audio) {
      int fn = 0;
      double kt = 0;
      bool k2;
      if (publish(&prod, HUB_STREAM_AUDIO_LEFT, 512, false, true, audio_seq++, o, &fn, &kt, false,
                  static_cast<uint8_t>((i * 7) % 64), &bytes, &k2) != 0) {
        if (!g_stop) rc = 1;
        break;
      }
    }
    if (event) {
      std::string t = "Motion " + std::to_string(i) + " on camera " + std::to_string(cam);
      if (hub_publish_text(&prod, 128 + cam, t.c_str(), true) != HUB_OK) rc = 1;
      bytes += t.size() + 1;
    }
    for (auto it = o.alarms.lower_bound(i); it != o.alarms.upper_bound(i); ++it) {
      if (hub_publish_text(&prod, it->second.first, it->second.second.c_str(), true) != HUB_OK) {
        rc = 1;
      }
    }
    for (auto it = o.texts.lower_bound(i); it != o.texts.upper_bound(i); ++it) {
      if (hub_publish_text(&prod, it->second.first, it->second.second.c_str(), false) != HUB_OK) {
        rc = 1;
      }
    }
    man.drain(false);
  }
  double secs = now_s() - start;
  man.drain(true);
  if (man.f != nullptr) std::fclose(man.f);
  std::printf("frames %ld bytes %llu seconds %.3f\n", published,
              static_cast<unsigned long long>(bytes), secs);
  return rc;
}
