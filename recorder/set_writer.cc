// The set files of the recorder: opening a set, group headers, frame blocks,
// event entries, index records, summaries, sync, close, roll-back.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/platform/le.h"
#include "lib/platform/log.h"
#include "lib/platform/sysroot.h"
#include "recorder/recorder.h"
#include "recorder/set_repair.h"

using dv::ArcChunkWord;
using dv::ArcFrame;
using dv::ArcGroupHeader;
using dv::ArcIndexRecord;

namespace {

// The archive folder as the file system sees it (the folder setting is a
// path of the device; a sandbox root may lie in front of it). Log lines
// name the logical paths.
std::string disk(const RecorderState* gv) { return dv::sys_path(gv->folder); }

constexpr size_t kStageSize = 256 * 1024;
constexpr uint32_t kDirectWrite = 16 * 1024;  // payloads from this size skip the stage
constexpr int kMaxIov = 512;

// Writes all of iov, going on after partial writes and EINTR. 0 or -1.
int write_all_v(int fd, struct iovec* iov, int n, RecorderState* gv) {
  int64_t total = 0;
  for (int i = 0; i < n; ++i) total += static_cast<int64_t>(iov[i].iov_len);
  if (gv != nullptr && gv->fail_data_after >= 0) {
    if (total > gv->fail_data_after) {
      gv->fail_data_after = 0;
      errno = ENOSPC;
      return -1;
    }
    gv->fail_data_after -= total;
  }
  while (n > 0) {
    ssize_t w = ::writev(fd, iov, n < IOV_MAX ? n : IOV_MAX);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) {
      errno = EIO;
      return -1;
    }
    size_t left = static_cast<size_t>(w);
    while (n > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --n;
    }
    if (n > 0) {
      iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return 0;
}

int write_all(int fd, const void* p, size_t len) {
  struct iovec v = {const_cast<void*>(p), len};
  return write_all_v(fd, &v, 1, nullptr);
}

int stage_flush(RecorderState* gv) {
  DataOut& d = gv->set.data;
  if (d.staged == 0) return 0;
  struct iovec v = {d.stage.data(), d.staged};
  int r = write_all_v(d.fd, &v, 1, gv);
  if (r == 0) d.staged = 0;
  return r;
}

// Appends header bytes and a payload slice sequence to the data file.
// pieces: (pointer, length) pairs.
int data_append(RecorderState* gv, const struct iovec* pieces, int n) {
  DataOut& d = gv->set.data;
  size_t bytes = 0;
  for (int i = 0; i < n; ++i) bytes += pieces[i].iov_len;
  if (d.staged + bytes <= d.stage.size() && bytes < kDirectWrite) {
    for (int i = 0; i < n; ++i) {
      std::memcpy(d.stage.data() + d.staged, pieces[i].iov_base, pieces[i].iov_len);
      d.staged += pieces[i].iov_len;
    }
    d.size += static_cast<int64_t>(bytes);
    return 0;
  }
  // Large: the staged bytes and the pieces in one gathered write.
  struct iovec iov[kMaxIov + 1];
  int k = 0;
  if (d.staged > 0) iov[k++] = {d.stage.data(), d.staged};
  for (int i = 0; i < n; ++i) {
    if (k == kMaxIov) {
      if (write_all_v(d.fd, iov, k, gv) != 0) return -1;
      k = 0;
    }
    if (pieces[i].iov_len > 0) iov[k++] = pieces[i];
  }
  if (k > 0 && write_all_v(d.fd, iov, k, gv) != 0) return -1;
  d.staged = 0;
  d.size += static_cast<int64_t>(bytes);
  return 0;
}

void start_writeback(int fd, int64_t off, int64_t len) {
#ifdef SYNC_FILE_RANGE_WRITE
  if (len > 0) sync_file_range(fd, off, len, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
  (void)off;
  (void)len;
#endif
}

void close_fd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

int create_file(const std::string& name) {
  return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// The temporary name of a data file being put in place: no ".qvs3" in it,
// so nobody counts it as a set.
std::string temp_data_name(const std::string& folder, uint32_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, ".%.8x.newset", n);
  return folder + buf;
}

// Lists the folder: the largest set number, and removes stale temporaries.
bool scan_folder(const std::string& folder, bool* any, uint32_t* largest) {
  *any = false;
  *largest = 0;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return false;
  while (struct dirent* e = readdir(d)) {
    uint32_t n;
    if (dv::arc_parse_data_name(e->d_name, &n)) {
      if (!*any || n > *largest) *largest = n;
      *any = true;
      continue;
    }
    unsigned tmp;
    char tail[8];
    if (std::sscanf(e->d_name, ".%8x.newse%1s", &tmp, tail) == 2 && std::strlen(e->d_name) == 16) {
      ::unlink((folder + e->d_name).c_str());
    }
  }
  closedir(d);
  return true;
}

void repair_newest(RecorderState* gv, uint32_t n) {
  if (gv->clean_closed == static_cast<int64_t>(n)) return;
  int64_t limit = int64_t{3} * gv->budget;
  if (limit < (int64_t{64} << 20)) limit = int64_t{64} << 20;
  dv::RepairReport rep;
  dv::RepairResult r = dv::arc_repair_set(disk(gv), n, limit, &rep);
  std::string name = dv::arc_file_name(gv->folder, n, dv::ARC_EXT_DATA);
  switch (r) {
    case dv::RepairResult::kClean:
      break;
    case dv::RepairResult::kRepaired:
      dv::log_msg("Set %s repaired: data %lld -> %lld bytes, %u index records kept\n", name.c_str(),
                  static_cast<long long>(rep.data_before), static_cast<long long>(rep.data_after),
                  rep.records);
      break;
    case dv::RepairResult::kLeft:
      dv::log_msg("Set %s left as it is: %s\n", name.c_str(), rep.why.c_str());
      break;
    case dv::RepairResult::kFailed:
      dv::log_msg("Set %s could not be repaired: %s\n", name.c_str(), rep.why.c_str());
      break;
  }
}

// Removes what a failed set opening created.
void discard_new_set(RecorderState* gv, uint32_t n, const std::string& temp) {
  OpenSet& s = gv->set;
  close_fd(&s.index_fd);
  close_fd(&s.evt_fd);
  for (int& fd : s.sum_fd) close_fd(&fd);
  close_fd(&s.data.fd);
  std::string folder = disk(gv);
  ::unlink(dv::arc_file_name(folder, n, dv::ARC_EXT_INDEX).c_str());
  ::unlink(dv::arc_file_name(folder, n, dv::ARC_EXT_EVENTS).c_str());
  ::unlink(dv::arc_file_name(folder, n, dv::ARC_EXT_MARKER).c_str());
  for (int i = 0; i < dv::ARC_SUMMARY_COUNT; ++i) {
    ::unlink(dv::arc_summary_name(folder, n, dv::ARC_SUMMARY_EXT[i]).c_str());
  }
  ::unlink(temp.c_str());
  s = OpenSet();
}

int fail_open(RecorderState* gv, uint32_t n, const std::string& temp, const std::string& name,
              int err) {
  dv::log_msg("Unable to open file %s (%s).. exiting!!\n", name.c_str(), std::strerror(err));
  discard_new_set(gv, n, temp);
  return -1;
}

}  // namespace

const uint8_t* rec_payload(RecorderState* gv, const HubMessage& m) {
  if (gv->payload != nullptr) return gv->payload(gv, m);
  if (gv->base == nullptr || m.offset < HUB_ARENA_START || m.size < 0) return nullptr;
  return gv->base + m.offset;
}

int open_si(RecorderState* gv) {
  OpenSet& s = gv->set;
  s.si.clear();
  for (int i = 0; i < dv::ARC_SUMMARY_COUNT; ++i) {
    std::string name = dv::arc_summary_name(gv->folder, s.number, dv::ARC_SUMMARY_EXT[i]);
    s.sum_fd[i] = create_file(dv::sys_path(name));
    if (s.sum_fd[i] < 0) {
      dv::log_msg("Unable to open file %s (%s).. exiting!!\n", name.c_str(), std::strerror(errno));
      return -1;
    }
    s.si.emplace_back(dv::ARC_SUMMARY_PERIOD[i]);
  }
  return 0;
}

void save_all_si(RecorderState* gv, const ArcIndexRecord& r) {
  OpenSet& s = gv->set;
  for (size_t i = 0; i < s.si.size(); ++i) {
    ArcIndexRecord out;
    if (!s.si[i].feed(r, &out) || s.sum_fd[i] < 0) continue;
    uint8_t rec[dv::ARC_INDEX_RECORD_SIZE];
    dv::arc_encode_index_record(out, rec);
    // A summary is derived from the index; a failed write is made good by
    // the repair of the set.
    if (write_all(s.sum_fd[i], rec, sizeof rec) == 0) fdatasync(s.sum_fd[i]);
  }
}

int openQVS3File(RecorderState* gv) {
  OpenSet& s = gv->set;
  bool any = false;
  uint32_t largest = 0;
  scan_folder(disk(gv), &any, &largest);
  if (any) repair_newest(gv, largest);
  gv->repaired_once = true;
  uint32_t n = any ? largest + 1 : 0;
  std::string temp = temp_data_name(disk(gv), n);
  std::string data_name = dv::arc_file_name(gv->folder, n, dv::ARC_EXT_DATA);
  s = OpenSet();
  s.number = n;
  if (any && largest == UINT32_MAX) {
    // The numbers are used up: a new set would have to take 00000000 and
    // sort before every other set, or overwrite it.
    return fail_open(gv, n, temp, data_name, EOVERFLOW);
  }

  std::string index_name = dv::arc_file_name(gv->folder, n, dv::ARC_EXT_INDEX);
  s.index_fd = create_file(dv::sys_path(index_name));
  if (s.index_fd < 0) return fail_open(gv, n, temp, index_name, errno);
  std::string evt_name = dv::arc_file_name(gv->folder, n, dv::ARC_EXT_EVENTS);
  s.evt_fd = create_file(dv::sys_path(evt_name));
  if (s.evt_fd < 0) return fail_open(gv, n, temp, evt_name, errno);
  if (gv->write_summaries && open_si(gv) != 0) {
    discard_new_set(gv, n, temp);
    return -1;
  }
  if (gv->write_marker) {
    std::string marker = dv::arc_file_name(gv->folder, n, dv::ARC_EXT_MARKER);
    int fd = create_file(dv::sys_path(marker));
    uint8_t zeros[dv::ARC_MARKER_SIZE] = {};
    if (fd < 0 || write_all(fd, zeros, sizeof zeros) != 0) {
      dv::log_msg("Unable to open file %s (%s)\n", marker.c_str(), std::strerror(errno));
    }
    if (fd >= 0) ::close(fd);
  }

  // The data file appears under its name only with its whole header.
  s.data.fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (s.data.fd < 0) return fail_open(gv, n, temp, data_name, errno);
  const uint8_t* digest = gv->base != nullptr ? gv->base + gv->digest_offset : nullptr;
  if (digest == nullptr || gv->digest_length < static_cast<int32_t>(dv::ARC_FILE_HEADER_MIN)) {
    dv::log_msg("Unable to save config! %s\n", std::strerror(EINVAL));
    discard_new_set(gv, n, temp);
    return -1;
  }
  if (write_all(s.data.fd, digest, static_cast<size_t>(gv->digest_length)) != 0) {
    dv::log_msg("Unable to save config! %s\n", std::strerror(errno));
    discard_new_set(gv, n, temp);
    return -1;
  }
  if (fdatasync(s.data.fd) != 0 || ::rename(temp.c_str(), dv::sys_path(data_name).c_str()) != 0) {
    return fail_open(gv, n, temp, data_name, errno);
  }
  s.open = true;
  s.data_name = data_name;
  s.data.size = gv->digest_length;
  s.data.stage.resize(kStageSize);
  s.data.staged = 0;
  s.index_count = 0;
  s.evt_size = 0;
  s.last_group = -1;
  return 0;
}

void closeQVS3File(RecorderState* gv) {
  OpenSet& s = gv->set;
  if (!s.open) return;
  bool clean = true;
  if (gv->group.open && rec_commit_group(gv) != 0) clean = false;
  if (!s.open) return;  // the commit failed and took the set down
  if (stage_flush(gv) != 0) {
    dv::log_msg("saveQVS3data %s\n", std::strerror(errno));
    clean = false;
  }
  for (size_t i = 0; i < s.si.size(); ++i) {
    ArcIndexRecord out;
    if (s.sum_fd[i] < 0 || !s.si[i].flush(&out)) continue;
    uint8_t rec[dv::ARC_INDEX_RECORD_SIZE];
    dv::arc_encode_index_record(out, rec);
    if (write_all(s.sum_fd[i], rec, sizeof rec) == 0) fdatasync(s.sum_fd[i]);
  }
  fdatasync(s.data.fd);
  fdatasync(s.index_fd);
  fdatasync(s.evt_fd);
  close_fd(&s.data.fd);
  close_fd(&s.index_fd);
  close_fd(&s.evt_fd);
  for (int& fd : s.sum_fd) close_fd(&fd);
  if (clean) gv->clean_closed = s.number;
  s = OpenSet();
}

void rec_start_group(RecorderState* gv, int32_t time) {
  GroupState& g = gv->group;
  g.time = time;
  std::memset(g.levels, 0, sizeof g.levels);
  std::memset(g.alarms, 0, sizeof g.alarms);
  std::memset(g.written_levels, 0, sizeof g.written_levels);
  g.alarm_count = 0;
  g.first_text = true;
  g.index_pending = true;
  g.open = false;
  g.start = 0;
  g.evt.clear();
  g.evt_texts = 0;
  g.evt_time = 0;
}

int saveQVS3idx(RecorderState* gv) {
  OpenSet& s = gv->set;
  GroupState& g = gv->group;
  ArcGroupHeader h;
  h.time = g.time;
  g.start = s.data.size;
  h.prev_len = s.last_group >= 0 ? static_cast<uint32_t>(g.start - s.last_group) : 0;
  h.count = 0;
  for (int st = 0; st < 256 && h.count < 255; ++st) {
    if (g.alarms[st]) h.streams[h.count++] = static_cast<uint8_t>(st);
  }
  uint8_t buf[dv::ARC_GROUP_HEADER_MAX];
  size_t len = dv::arc_encode_group_header(h, buf);
  g.open = true;  // from here a failure takes the group back out
  g.index_pending = false;
  struct iovec v = {buf, len};
  if (data_append(gv, &v, 1) != 0) {
    dv::log_msg("saveQVS3idx %s\n", std::strerror(errno));
    return -1;
  }
  return 0;
}

int saveQVS3data(RecorderState* gv, const HubMessage& m, const uint8_t* payload) {
  ArcFrame f;
  f.stream = static_cast<uint8_t>(hub_stream(m.type));
  f.level = m.level & 0x3F;
  f.video = (gv->types[f.stream] & dv::ARC_TYPE_VIDEO) != 0;
  f.time_code = m.time_code;
  f.frame_no = m.frame_no < 0 ? 255u : static_cast<uint32_t>(m.frame_no);
  f.size = m.size > 0 ? static_cast<uint32_t>(m.size) : 0;
  uint32_t chunks = dv::arc_chunk_count(f.size);
  // Headers of all chunks, then one gathered append.
  std::vector<uint8_t> heads(static_cast<size_t>(chunks) * 8);
  std::vector<struct iovec> pieces;
  pieces.reserve(static_cast<size_t>(chunks) * 2);
  for (uint32_t i = 0; i < chunks; ++i) {
    uint32_t off = 0, len = 0;
    size_t hl = dv::arc_chunk_header(f, i, heads.data() + i * 8, &off, &len);
    pieces.push_back({heads.data() + i * 8, hl});
    if (len > 0) pieces.push_back({const_cast<uint8_t*>(payload) + off, len});
  }
  if (data_append(gv, pieces.data(), static_cast<int>(pieces.size())) != 0) {
    dv::log_msg("saveQVS3data %s\n", std::strerror(errno));
    return -1;
  }
  uint8_t lv = m.level & 0x3F;
  if (lv > gv->group.written_levels[f.stream]) gv->group.written_levels[f.stream] = lv;
  return 0;
}

int save_evt_to_storage(RecorderState* gv, const HubMessage& m, const uint8_t* payload) {
  GroupState& g = gv->group;
  if (g.evt_texts >= 255) return 0;  // the entry counts its texts in one byte
  if (g.first_text) {
    g.first_text = false;
    g.evt_time = m.gop_time;
  }
  size_t len = m.size > 0 ? dv::arc_event_text_length(payload, static_cast<size_t>(m.size)) : 0;
  g.evt.push_back(static_cast<uint8_t>(hub_stream(m.type)));
  g.evt.insert(g.evt.end(), payload, payload + len);
  g.evt.push_back(0);
  ++g.evt_texts;
  return 0;
}

int rec_write_notice(RecorderState* gv, const HubMessage& m) {
  int stream = hub_stream(m.type);
  if (!gv->listed[stream]) return 0;  // readers could not walk past it
  const uint8_t* payload = nullptr;
  if (m.size > 0) {
    payload = rec_payload(gv, m);
    if (payload == nullptr) return 0;
  }
  if (!gv->set.open && openQVS3File(gv) != 0) return -1;
  if (gv->group.index_pending && saveQVS3idx(gv) != 0) {
    rec_rollback_group(gv);
    return -1;
  }
  if (saveQVS3data(gv, m, payload) != 0) {
    rec_rollback_group(gv);
    return -1;
  }
  if ((gv->types[stream] & dv::ARC_TYPE_TEXT) && (m.type & SHM_MSG_FLAG_EVENT) && m.size > 0 &&
      save_evt_to_storage(gv, m, payload) != 0) {
    dv::log_msg("Error in save_evts_2_storage");
  }
  return 0;
}

int rec_commit_group(RecorderState* gv) {
  OpenSet& s = gv->set;
  GroupState& g = gv->group;
  if (!g.open || !s.open) return 0;
  if (stage_flush(gv) != 0) {
    dv::log_msg("saveQVS3data %s\n", std::strerror(errno));
    rec_rollback_group(gv);
    return -1;
  }
  // The .evt entry first: an index record without its entry would be worse
  // than an entry whose record a repair removes.
  if (g.evt_texts > 0) {
    uint8_t head[dv::ARC_EVENT_HEAD_SIZE];
    dv::arc_encode_event_head(g.evt_time, s.index_count, static_cast<uint8_t>(g.evt_texts), head);
    struct iovec v[2] = {{head, sizeof head}, {g.evt.data(), g.evt.size()}};
    if (write_all_v(s.evt_fd, v, 2, nullptr) == 0) {
      s.evt_size += static_cast<int64_t>(sizeof head + g.evt.size());
    } else {
      dv::log_msg("Error in save_evts_2_storage");
      if (ftruncate(s.evt_fd, s.evt_size) != 0) {
        // The repair of the set cuts a partial entry.
      }
      lseek(s.evt_fd, s.evt_size, SEEK_SET);
    }
  }
  ArcIndexRecord r =
      dv::arc_make_index_record(g.time, static_cast<uint32_t>(g.start), g.written_levels, g.alarms);
  uint8_t rec[dv::ARC_INDEX_RECORD_SIZE];
  dv::arc_encode_index_record(r, rec);
  if (write_all(s.index_fd, rec, sizeof rec) != 0) {
    dv::log_msg("save id3 %s\n", std::strerror(errno));
    rec_rollback_group(gv);
    return -1;
  }
  ++s.index_count;
  // Start writing the group back now, without waiting: the fdatasync of the
  // next sync point then finds little left to do, so the loop (and with it
  // the reading of the hub's notices) is held up for a shorter time.
  start_writeback(s.data.fd, g.start, s.data.size - g.start);
  s.last_group = g.start;
  g.open = false;
  save_all_si(gv, r);
  return 0;
}

void rec_rollback_group(RecorderState* gv) {
  OpenSet& s = gv->set;
  GroupState& g = gv->group;
  gv->fatal = true;
  if (!s.open) return;
  bool ok = true;
  if (g.open) {
    s.data.staged = 0;
    if (ftruncate(s.data.fd, g.start) != 0 || lseek(s.data.fd, g.start, SEEK_SET) < 0) ok = false;
    s.data.size = g.start;
  }
  int64_t idx = static_cast<int64_t>(s.index_count) * dv::ARC_INDEX_RECORD_SIZE;
  if (ftruncate(s.index_fd, idx) != 0 || lseek(s.index_fd, idx, SEEK_SET) < 0) ok = false;
  if (ftruncate(s.evt_fd, s.evt_size) != 0 || lseek(s.evt_fd, s.evt_size, SEEK_SET) < 0) ok = false;
  g.open = false;
  g.index_pending = true;
  uint32_t n = s.number;
  // Close without committing anything more.
  for (size_t i = 0; i < s.si.size(); ++i) {
    ArcIndexRecord out;
    if (s.sum_fd[i] < 0 || !s.si[i].flush(&out)) continue;
    uint8_t rec[dv::ARC_INDEX_RECORD_SIZE];
    dv::arc_encode_index_record(out, rec);
    if (write_all(s.sum_fd[i], rec, sizeof rec) == 0) fdatasync(s.sum_fd[i]);
  }
  close_fd(&s.data.fd);
  close_fd(&s.index_fd);
  close_fd(&s.evt_fd);
  for (int& fd : s.sum_fd) close_fd(&fd);
  if (ok) gv->clean_closed = n;
  s = OpenSet();
}

int rec_sync(RecorderState* gv) {
  OpenSet& s = gv->set;
  if (!s.open) return 0;
  int r = 0;
  if (stage_flush(gv) != 0) {
    dv::log_msg("saveQVS3data %s\n", std::strerror(errno));
    rec_rollback_group(gv);
    return -1;
  }
  if (fdatasync(s.data.fd) != 0) r = -1;
  if (fdatasync(s.index_fd) != 0) r = -1;
  if (fdatasync(s.evt_fd) != 0) r = -1;
  return r;
}
