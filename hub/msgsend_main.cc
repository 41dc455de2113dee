// msgsend: posts one text into a stream through memhub.
//
//   msgsend -n STREAM [-a] -s TEXT
//
// The text and its NUL become one text frame of stream STREAM (0..255); -a
// marks it as an alarm (SHM_MSG_FLAG_EVENT). Exit status 0 when the frame was
// handed to the hub, 1 on bad arguments, when the hub is not running, when
// the stream is not in the hub's configuration, or when no grant comes.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hub/digest_reader.h"
#include "hub/hub_client.h"
#include "hub/hub_protocol.h"
#include "lib/platform/signals.h"

namespace {

// Seconds to wait for the hub before giving up (a producer that never
// acknowledges holds every other producer).
constexpr unsigned kTimeout = 10;

dv::SigFlag g_stop = 0;

void usage() {
  std::fprintf(stderr,
               "usage: msgsend -n STREAM [-a] -s TEXT\n"
               "  -n STREAM  stream number 0..255\n"
               "  -a         mark the text as an alarm\n"
               "  -s TEXT    the text to post\n");
}

bool parse_stream(const char* s, int* out) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s, &end, 0);
  if (errno != 0 || end == s || *end != '\0' || v < 0 || v > 255) return false;
  *out = static_cast<int>(v);
  return true;
}

// Whether the hub's digest lists the stream (-1 when it cannot be read).
int stream_configured(HubClient* c, int stream) {
  int32_t off = 0, len = 0;
  if (hub_request_config(c, &off, &len) != HUB_OK) return -1;
  const uint8_t* d = hub_digest_ptr(c, off, len);
  DigestReader r;
  if (d == nullptr || digest_reader_open(&r, d, static_cast<size_t>(len)) != 0) return -1;
  DigestStream s;
  while (digest_next_stream(&r, &s) == 1) {
    if (s.number == stream) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int stream = -1;
  bool alarm_flag = false;
  const char* text = nullptr;
  int opt;
  opterr = 0;
  while ((opt = getopt(argc, argv, "n:as:")) != -1) {
    switch (opt) {
      case 'n':
        if (!parse_stream(optarg, &stream)) {
          std::fprintf(stderr, "msgsend: bad stream number '%s'\n", optarg);
          usage();
          return 1;
        }
        break;
      case 'a':
        alarm_flag = true;
        break;
      case 's':
        text = optarg;
        break;
      default:
        usage();
        return 1;
    }
  }
  if (stream < 0 || text == nullptr || optind != argc) {
    usage();
    return 1;
  }
  size_t len = std::strlen(text) + 1;
  if (len > static_cast<size_t>(HUB_VIDEO_REQUEST)) {
    std::fprintf(stderr, "msgsend: text longer than %d bytes\n", HUB_VIDEO_REQUEST - 1);
    return 1;
  }

  dv::on_stop_signals(&g_stop);
  dv::on_signal(SIGALRM, &g_stop);
  alarm(kTimeout);

  HubClient c;
  c.stop.a = &g_stop;
  if (hub_open(&c) != 0) {
    std::fprintf(stderr, "msgsend: hub is not running\n");
    return 1;
  }
  if (hub_create_reply_queue(&c, argv[0]) < 0) {
    std::fprintf(stderr, "msgsend: cannot create a queue: %s\n", std::strerror(errno));
    return 1;
  }
  int rc = hub_request_shm(&c, false);
  if (rc != HUB_OK) {
    std::fprintf(stderr, "msgsend: %s SHM_MSG_TYPE_REQ_SHM %s\n", hub_result_word(rc),
                 std::strerror(errno));
    return 1;
  }
  int known = stream_configured(&c, stream);
  if (known == 0) {
    std::fprintf(stderr, "msgsend: stream %d is not configured\n", stream);
    return 1;
  }
  if (known < 0) {
    std::fprintf(stderr, "msgsend: cannot read the hub's configuration: %s\n",
                 std::strerror(errno));
    return 1;
  }
  rc = hub_publish_text(&c, stream, text, alarm_flag);
  if (rc != HUB_OK) {
    std::fprintf(stderr, "msgsend: %s SHM_MSG_TYPE_REQ_MEM %s\n", hub_result_word(rc),
                 g_stop ? "no answer from the hub" : std::strerror(errno));
    return 1;
  }
  return 0;
}
