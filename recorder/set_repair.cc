#include "recorder/set_repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "lib/platform/le.h"
#include "recorder/archive_format.h"

namespace dv {
namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool read_at(int fd, int64_t off, void* p, size_t n) {
  uint8_t* out = static_cast<uint8_t*>(p);
  while (n > 0) {
    ssize_t r = ::pread(fd, out, n, off);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    out += r;
    n -= static_cast<size_t>(r);
    off += r;
  }
  return true;
}

bool write_at(int fd, int64_t off, const void* p, size_t n) {
  const uint8_t* in = static_cast<const uint8_t*>(p);
  while (n > 0) {
    ssize_t r = ::pwrite(fd, in, n, off);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    in += r;
    n -= static_cast<size_t>(r);
    off += r;
  }
  return true;
}

bool read_file(int fd, std::vector<uint8_t>* out) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  out->resize(static_cast<size_t>(st.st_size));
  return out->empty() || read_at(fd, 0, out->data(), out->size());
}

enum class Walk { kNextGroup, kEnd, kTorn, kCorrupt };

// Walks the group whose header is at off, chunk word by chunk word (the
// payloads are skipped, not read). *end: where the group ends (the next
// group header, the end of the file) or, for a torn group, where its last
// whole frame ends.
Walk walk_group(int fd, int64_t size, int64_t off, const uint8_t types[256], const bool listed[256],
                int32_t* time, int64_t* end) {
  uint8_t h[ARC_GROUP_HEADER_MAX];
  if (size - off < static_cast<int64_t>(ARC_GROUP_HEADER_BASE)) return Walk::kCorrupt;
  if (!read_at(fd, off, h, ARC_GROUP_HEADER_BASE)) return Walk::kCorrupt;
  if (get_u32le(h) != ARC_GROUP_MAGIC) return Walk::kCorrupt;
  size_t hlen = ARC_GROUP_HEADER_BASE + h[12];
  if (size - off < static_cast<int64_t>(hlen)) return Walk::kCorrupt;
  if (!read_at(fd, off + ARC_GROUP_HEADER_BASE, h + ARC_GROUP_HEADER_BASE, h[12])) {
    return Walk::kCorrupt;
  }
  ArcGroupHeader gh;
  if (arc_decode_group_header(h, hlen, &gh) != ArcStatus::kOk) return Walk::kCorrupt;
  *time = gh.time;
  int64_t pos = off + static_cast<int64_t>(hlen);
  int64_t frame_start = pos;
  int open_stream = -1;
  for (;;) {
    if (pos == size) {
      *end = open_stream < 0 ? pos : frame_start;
      return open_stream < 0 ? Walk::kEnd : Walk::kTorn;
    }
    if (size - pos < 4) {
      *end = frame_start;
      return Walk::kTorn;
    }
    uint8_t w[8];
    if (!read_at(fd, pos, w, 4)) return Walk::kCorrupt;
    uint32_t word = get_u32le(w);
    if (word == ARC_GROUP_MAGIC) {
      if (open_stream >= 0) return Walk::kCorrupt;
      *end = pos;
      return Walk::kNextGroup;
    }
    if (word == ARC_FILE_MAGIC) return Walk::kCorrupt;
    ArcChunkWord c = arc_unpack_chunk_word(word);
    if (!listed[c.stream]) return Walk::kCorrupt;
    if (!c.last && c.length != ARC_CHUNK_MAX) return Walk::kCorrupt;
    int64_t head = 4;
    if (c.first) {
      if (open_stream >= 0) return Walk::kCorrupt;
      frame_start = pos;
      open_stream = c.stream;
      if (types[c.stream] & ARC_TYPE_VIDEO) {
        head = 8;
        if (size - pos < 8) {
          *end = frame_start;
          return Walk::kTorn;
        }
        if (!read_at(fd, pos + 4, w + 4, 4)) return Walk::kCorrupt;
        ArcTimeWord tw;
        if (arc_unpack_time_word(get_u32le(w + 4), &tw) != ArcStatus::kOk) return Walk::kCorrupt;
      }
    } else if (open_stream != c.stream) {
      return Walk::kCorrupt;
    }
    if (size - pos - head < c.length) {
      *end = frame_start;
      return Walk::kTorn;
    }
    pos += head + c.length;
    if (c.last) {
      open_stream = -1;
      frame_start = pos;
    }
  }
}

}  // namespace

RepairResult arc_repair_set(const std::string& folder, uint32_t set, int64_t tail_limit,
                            RepairReport* rep) {
  *rep = RepairReport{};
  std::string data_name = arc_file_name(folder, set, ARC_EXT_DATA);
  Fd data;
  data.fd = ::open(data_name.c_str(), O_RDWR | O_CLOEXEC);
  if (data.fd < 0) {
    rep->why = std::string("data file: ") + std::strerror(errno);
    return RepairResult::kLeft;
  }
  struct stat st;
  if (fstat(data.fd, &st) != 0) {
    rep->why = std::strerror(errno);
    return RepairResult::kFailed;
  }
  int64_t size = st.st_size;
  rep->data_before = rep->data_after = size;

  // The header: a digest copy of at most 64 KiB.
  std::vector<uint8_t> head(static_cast<size_t>(size < 0x10000 ? size : 0x10000));
  if (!head.empty() && !read_at(data.fd, 0, head.data(), head.size())) {
    rep->why = std::strerror(errno);
    return RepairResult::kFailed;
  }
  ArcFileHeader fh;
  if (arc_decode_file_header(head.data(), head.size(), &fh) != ArcStatus::kOk) {
    rep->why = "no valid header";
    return RepairResult::kLeft;
  }
  uint8_t types[256];
  bool listed[256] = {};
  arc_stream_types(fh, types);
  for (const ArcStreamInfo& s : fh.streams) listed[s.number] = true;
  int64_t header_len = static_cast<int64_t>(fh.length);

  std::string index_name = arc_file_name(folder, set, ARC_EXT_INDEX);
  Fd index;
  index.fd = ::open(index_name.c_str(), O_RDWR | O_CLOEXEC);
  if (index.fd < 0) {
    rep->why = std::string("index file: ") + std::strerror(errno);
    return RepairResult::kLeft;
  }
  std::vector<uint8_t> idx;
  if (!read_file(index.fd, &idx)) {
    rep->why = std::strerror(errno);
    return RepairResult::kFailed;
  }
  uint32_t count = static_cast<uint32_t>(idx.size() / ARC_INDEX_RECORD_SIZE);

  // The last index record that names a whole group.
  int64_t end = header_len;
  uint32_t keep = count;
  while (keep > 0) {
    ArcIndexRecord r;
    const uint8_t* p = idx.data() + (keep - 1) * ARC_INDEX_RECORD_SIZE;
    if (arc_decode_index_record(p, ARC_INDEX_RECORD_SIZE, &r) == ArcStatus::kOk &&
        static_cast<int64_t>(r.offset) >= header_len && static_cast<int64_t>(r.offset) < size) {
      int32_t t = 0;
      int64_t gend = 0;
      Walk w = walk_group(data.fd, size, r.offset, types, listed, &t, &gend);
      if (w != Walk::kCorrupt && t == r.time) {
        if (w == Walk::kTorn) {
          // An indexed group is written whole before its record: damage
          // that is not ours to cut.
          rep->why = "indexed group damaged";
          return RepairResult::kLeft;
        }
        end = gend;
        break;
      }
    }
    --keep;
  }
  if (keep < count && count - keep > 1) {
    // More than the one record a kill can leave half-done is bad: not a set
    // cut short.
    rep->why = "index records do not match the data";
    return RepairResult::kLeft;
  }
  if (size - end > tail_limit) {
    rep->why = "unindexed data too long for a cut-short group";
    return RepairResult::kLeft;
  }

  bool changed = false;
  if (size > end) {
    if (ftruncate(data.fd, end) != 0) {
      rep->why = std::strerror(errno);
      return RepairResult::kFailed;
    }
    rep->data_after = end;
    changed = true;
  }
  size_t idx_keep = static_cast<size_t>(keep) * ARC_INDEX_RECORD_SIZE;
  if (idx.size() > idx_keep) {
    if (ftruncate(index.fd, static_cast<off_t>(idx_keep)) != 0) {
      rep->why = std::strerror(errno);
      return RepairResult::kFailed;
    }
    rep->records_dropped = count - keep + (idx.size() % ARC_INDEX_RECORD_SIZE ? 1 : 0);
    idx.resize(idx_keep);
    changed = true;
  }
  rep->records = keep;

  // Events: whole entries of kept records.
  std::string evt_name = arc_file_name(folder, set, ARC_EXT_EVENTS);
  Fd evt;
  evt.fd = ::open(evt_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (evt.fd < 0) {
    rep->why = std::string("event file: ") + std::strerror(errno);
    return RepairResult::kFailed;
  }
  std::vector<uint8_t> ev;
  if (!read_file(evt.fd, &ev)) {
    rep->why = std::strerror(errno);
    return RepairResult::kFailed;
  }
  size_t epos = 0;
  while (epos < ev.size()) {
    ArcEventEntry e;
    size_t used = 0;
    if (arc_decode_event_entry(ev.data() + epos, ev.size() - epos, &e, &used) != ArcStatus::kOk) {
      break;
    }
    if (e.record >= keep) break;
    epos += used;
  }
  rep->evt_before = static_cast<int64_t>(ev.size());
  rep->evt_after = static_cast<int64_t>(epos);
  if (epos < ev.size()) {
    if (ftruncate(evt.fd, static_cast<off_t>(epos)) != 0) {
      rep->why = std::strerror(errno);
      return RepairResult::kFailed;
    }
    changed = true;
  }

  // Summaries: as a clean close leaves them, from the index.
  bool any_summary = false;
  std::string si_names[ARC_SUMMARY_COUNT];
  for (int i = 0; i < ARC_SUMMARY_COUNT; ++i) {
    si_names[i] = arc_summary_name(folder, set, ARC_SUMMARY_EXT[i]);
    if (::access(si_names[i].c_str(), F_OK) == 0) any_summary = true;
  }
  if (any_summary) {
    for (int i = 0; i < ARC_SUMMARY_COUNT; ++i) {
      ArcSummary sum(ARC_SUMMARY_PERIOD[i]);
      std::vector<uint8_t> want;
      ArcIndexRecord out;
      uint8_t rec[ARC_INDEX_RECORD_SIZE];
      for (uint32_t k = 0; k < keep; ++k) {
        ArcIndexRecord r;
        if (arc_decode_index_record(idx.data() + k * ARC_INDEX_RECORD_SIZE, ARC_INDEX_RECORD_SIZE,
                                    &r) != ArcStatus::kOk) {
          continue;
        }
        if (sum.feed(r, &out)) {
          arc_encode_index_record(out, rec);
          want.insert(want.end(), rec, rec + ARC_INDEX_RECORD_SIZE);
        }
      }
      if (sum.flush(&out)) {
        arc_encode_index_record(out, rec);
        want.insert(want.end(), rec, rec + ARC_INDEX_RECORD_SIZE);
      }
      Fd s;
      s.fd = ::open(si_names[i].c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      std::vector<uint8_t> have;
      if (s.fd < 0 || !read_file(s.fd, &have)) {
        rep->why = std::string("summary: ") + std::strerror(errno);
        return RepairResult::kFailed;
      }
      if (have == want) continue;
      if (ftruncate(s.fd, 0) != 0 ||
          (!want.empty() && !write_at(s.fd, 0, want.data(), want.size())) || fdatasync(s.fd) != 0) {
        rep->why = std::string("summary: ") + std::strerror(errno);
        return RepairResult::kFailed;
      }
      rep->summaries_rewritten = true;
      changed = true;
    }
  }
  if (changed) {
    fdatasync(data.fd);
    fdatasync(index.fd);
    fdatasync(evt.fd);
  }
  return changed ? RepairResult::kRepaired : RepairResult::kClean;
}

}  // namespace dv
