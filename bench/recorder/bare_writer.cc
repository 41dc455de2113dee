// rec_bare_writer: the least a hub consumer must do to write the archive's
// bytes. It connects to memhub, keeps the notices of the current group, and
// at every GOP mark syncs its files (fdatasync of data and index, as the
// recorder's SyncFiles does before each group) and writes the group: group
// header, chunk words, time words and payloads straight from the segment in
// gathered writes, then the index record. No decisions, no events, no
// summaries: the yardstick for the recorder. It writes payloads whatever
// state they are in, but counts (with an arena tracker, as a measurement
// only) the frames the hub's writer had overtaken by then: "lost".
//
//   rec_bare_writer FOLDER
//
// Runs until SIGTERM; prints "frames F bytes B lost L" (bytes of the data
// file).
#include <fcntl.h>
#include <sys/msg.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hub/arena_tracker.h"
#include "hub/hub_client.h"
#include "lib/platform/signals.h"
#include "recorder/archive_format.h"

namespace {

dv::SigFlag g_stop = 0;

struct Out {
  int data = -1, index = -1;
  int64_t size = 0;
  int64_t last_group = -1;
  long frames = 0;
  long lost = 0;
  ArenaTracker tracker;
};

struct Kept {
  HubMessage m;
  uint64_t stamp;
};

int write_v(int fd, std::vector<struct iovec>& v) {
  size_t i = 0;
  while (i < v.size()) {
    int n = static_cast<int>(v.size() - i < 512 ? v.size() - i : 512);
    ssize_t w = ::writev(fd, &v[i], n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    size_t left = static_cast<size_t>(w);
    while (i < v.size() && left >= v[i].iov_len) left -= v[i++].iov_len;
    if (i < v.size()) {
      v[i].iov_base = static_cast<uint8_t*>(v[i].iov_base) + left;
      v[i].iov_len -= left;
    }
  }
  return 0;
}

void write_group(Out* o, const HubClient& c, const std::vector<Kept>& kept) {
  if (kept.empty()) return;
  std::vector<HubMessage> g;
  for (const Kept& k : kept) {
    if (k.m.size > 0 && !arena_intact(&o->tracker, k.stamp)) ++o->lost;
    g.push_back(k.m);
  }
  fdatasync(o->data);
  fdatasync(o->index);
  dv::ArcGroupHeader h;
  h.time = g[0].gop_time;
  h.prev_len = o->last_group >= 0 ? static_cast<uint32_t>(o->size - o->last_group) : 0;
  uint8_t hb[dv::ARC_GROUP_HEADER_MAX];
  size_t hl = dv::arc_encode_group_header(h, hb);
  size_t chunks_total = 0;
  for (const HubMessage& m : g) {
    chunks_total += dv::arc_chunk_count(m.size > 0 ? static_cast<uint32_t>(m.size) : 0);
  }
  std::vector<uint8_t> heads(chunks_total * 8);
  std::vector<struct iovec> v;
  v.reserve(chunks_total * 2 + 1);
  v.push_back({hb, hl});
  uint8_t levels[256] = {}, alarms[256] = {};
  size_t hp = 0;
  int64_t bytes = static_cast<int64_t>(hl);
  for (const HubMessage& m : g) {
    const uint8_t* p = hub_payload(&c, m);
    dv::ArcFrame f;
    f.stream = static_cast<uint8_t>(m.type & 0xFF);
    f.level = m.level;
    f.video = (m.stream_type & T_VIDEO) != 0;
    f.time_code = m.time_code;
    f.frame_no = static_cast<uint32_t>(m.frame_no);
    f.size = p != nullptr && m.size > 0 ? static_cast<uint32_t>(m.size) : 0;
    uint32_t chunks = dv::arc_chunk_count(f.size);
    for (uint32_t i = 0; i < chunks; ++i) {
      uint32_t off, len;
      size_t n = dv::arc_chunk_header(f, i, heads.data() + hp, &off, &len);
      v.push_back({heads.data() + hp, n});
      hp += n;
      bytes += static_cast<int64_t>(n);
      if (len > 0) v.push_back({const_cast<uint8_t*>(p) + off, len});
      bytes += len;
    }
    if ((m.level & 0x3F) > levels[f.stream]) levels[f.stream] = m.level & 0x3F;
  }
  if (write_v(o->data, v) != 0) return;
  dv::ArcIndexRecord r =
      dv::arc_make_index_record(h.time, static_cast<uint32_t>(o->size), levels, alarms);
  uint8_t rec[dv::ARC_INDEX_RECORD_SIZE];
  dv::arc_encode_index_record(r, rec);
  if (::write(o->index, rec, sizeof rec) != sizeof rec) return;
  o->last_group = o->size;
  o->size += bytes;
  o->frames += static_cast<long>(g.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rec_bare_writer FOLDER\n");
    return 2;
  }
  dv::on_stop_signals(&g_stop);
  HubClient c;
  c.stop = dv::StopFlags{&g_stop, nullptr};
  int32_t off = 0, len = 0;
  if (hub_open(&c) != 0 || hub_create_reply_queue(&c, argv[0]) < 0 ||
      hub_request_shm(&c, true) != HUB_OK || hub_request_config(&c, &off, &len) != HUB_OK ||
      hub_connect(&c) != HUB_OK) {
    std::fprintf(stderr, "rec_bare_writer: hub: %s\n", std::strerror(errno));
    return 1;
  }
  // The same room in the own queue as the recorder asks for.
  struct msqid_ds ds;
  if (msgctl(c.reply_qid, IPC_STAT, &ds) == 0 && ds.msg_qbytes < (1u << 20)) {
    ds.msg_qbytes = 1u << 20;
    msgctl(c.reply_qid, IPC_SET, &ds);
  }
  std::string folder = argv[1];
  Out o;
  o.data = ::open((folder + "/bare.qvs3").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  o.index = ::open((folder + "/bare.id3").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const uint8_t* digest = hub_digest_ptr(&c, off, len);
  if (o.data < 0 || o.index < 0 || digest == nullptr ||
      ::write(o.data, digest, static_cast<size_t>(len)) != len) {
    std::fprintf(stderr, "rec_bare_writer: %s\n", std::strerror(errno));
    return 1;
  }
  o.size = len;
  arena_tracker_init(&o.tracker, c.shm_size);
  // Notices taken from the queue but not written yet, in order; groups are
  // written as soon as they are complete. The queue is drained before each
  // write so that the loss count is up to date.
  std::vector<Kept> pending;
  bool started = false;
  auto take = [&](const HubMessage& m) {
    uint64_t stamp = arena_observe(&o.tracker, m);
    if (hub_kind(m.type) != SHM_MSG_TYPE_ACK_MEM || (m.type & SHM_MSG_FLAG_RELOAD)) return;
    if (m.type & SHM_MSG_FLAG_GOP) started = true;
    if (started) pending.push_back({m, stamp});
  };
  while (!g_stop) {
    HubMessage m;
    if (hub_receive(&c, &m, true) != 1) break;
    take(m);
    for (;;) {
      size_t end = 0;
      for (size_t i = 1; i < pending.size(); ++i) {
        if (pending[i].m.type & SHM_MSG_FLAG_GOP) {
          end = i;
          break;
        }
      }
      if (end == 0) break;
      while (hub_receive(&c, &m, false) == 1) take(m);
      std::vector<Kept> group(pending.begin(), pending.begin() + static_cast<long>(end));
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(end));
      write_group(&o, c, group);
    }
  }
  write_group(&o, c, pending);
  fdatasync(o.data);
  fdatasync(o.index);
  std::printf("frames %ld bytes %lld lost %ld\n", o.frames, static_cast<long long>(o.size), o.lost);
  return 0;
}
