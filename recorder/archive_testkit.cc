#include "recorder/archive_testkit.h"

#include <cstdio>
#include <cstring>

#include "lib/platform/le.h"

namespace dv {

std::vector<uint8_t> arc_build_file_header(std::string_view device_id,
                                           const std::vector<ArcStreamInfo>& streams) {
  std::vector<uint8_t> h(8, 0);
  put_u32le(h.data(), ARC_FILE_MAGIC);
  auto add_str = [&h](std::string_view s) {
    h.insert(h.end(), s.begin(), s.end());
    h.push_back(0);
  };
  add_str(device_id);
  for (const ArcStreamInfo& s : streams) {
    h.push_back(s.number);
    h.push_back(s.type);
    add_str(s.codec);
    add_str(s.name);
    add_str(s.params);
  }
  size_t trailer = h.size();
  for (uint8_t tag = 1; tag <= 8; ++tag) {
    h.push_back(tag);
    h.push_back(0);
  }
  put_u16le(h.data() + 4, static_cast<uint16_t>(trailer));
  put_u16le(h.data() + 6, static_cast<uint16_t>(h.size() - trailer));
  return h;
}

ArcSetBuilder::ArcSetBuilder(std::vector<uint8_t> file_header) : data_(std::move(file_header)) {
  ArcFileHeader h;
  if (arc_decode_file_header(data_.data(), data_.size(), &h) == ArcStatus::kOk) {
    arc_stream_types(h, types_);
  }
  for (int i = 0; i < ARC_SUMMARY_COUNT; ++i) sums_.emplace_back(ARC_SUMMARY_PERIOD[i]);
}

void ArcSetBuilder::begin_group(int32_t time) {
  group_.clear();
  group_time_ = time;
}

void ArcSetBuilder::add_frame(ArcFrame f, std::string_view payload, bool alarm) {
  f.video = (types_[f.stream] & ARC_TYPE_VIDEO) != 0;
  f.size = static_cast<uint32_t>(payload.size());
  group_.push_back(Pending{f, std::string(payload), alarm});
}

void ArcSetBuilder::add_text(uint8_t stream, std::string_view text, bool alarm) {
  ArcFrame f;
  f.stream = stream;
  std::string p(text);
  p.push_back('\0');
  add_frame(f, p, alarm);
}

void ArcSetBuilder::end_group() {
  if (group_.empty()) return;
  // First pass: level maxima and alarm marks.
  uint8_t levels[256] = {};
  uint8_t alarms[256] = {};
  uint8_t alarm_count = 0;
  for (const Pending& p : group_) {
    uint8_t lv = p.frame.level & 0x3F;
    if (lv > levels[p.frame.stream]) levels[p.frame.stream] = lv;
    if (p.alarm) {
      alarms[p.frame.stream] = 1;
      ++alarm_count;
    }
  }
  // Index record, summaries, group header.
  size_t here = data_.size();
  ArcIndexRecord r =
      arc_make_index_record(group_time_, static_cast<uint32_t>(here), levels, alarms);
  uint8_t rec[ARC_INDEX_RECORD_SIZE];
  arc_encode_index_record(r, rec);
  index_.insert(index_.end(), rec, rec + sizeof rec);
  for (int i = 0; i < ARC_SUMMARY_COUNT; ++i) {
    ArcIndexRecord s;
    if (sums_[i].feed(r, &s)) {
      arc_encode_index_record(s, rec);
      summaries_[i].insert(summaries_[i].end(), rec, rec + sizeof rec);
    }
  }
  ArcGroupHeader g;
  g.time = group_time_;
  g.prev_len = any_group_ ? static_cast<uint32_t>(here - last_group_) : 0;
  for (int s = 0; s < 256; ++s) {
    if (alarms[s]) g.streams[g.count++] = static_cast<uint8_t>(s);
  }
  uint8_t gh[ARC_GROUP_HEADER_MAX];
  size_t gn = arc_encode_group_header(g, gh);
  data_.insert(data_.end(), gh, gh + gn);
  last_group_ = here;
  any_group_ = true;

  // Second pass: frame blocks and the .evt entry.
  bool first_text = true;
  for (const Pending& p : group_) {
    for (uint32_t i = 0; i < arc_chunk_count(p.frame.size); ++i) {
      uint8_t hdr[8];
      uint32_t off, len;
      size_t hn = arc_chunk_header(p.frame, i, hdr, &off, &len);
      data_.insert(data_.end(), hdr, hdr + hn);
      data_.insert(data_.end(), p.payload.begin() + off, p.payload.begin() + off + len);
    }
    if (p.alarm) {
      if (first_text) {
        uint8_t head[ARC_EVENT_HEAD_SIZE];
        arc_encode_event_head(group_time_, records_, alarm_count, head);
        events_.insert(events_.end(), head, head + sizeof head);
        first_text = false;
      }
      events_.push_back(p.frame.stream);
      const uint8_t* t = reinterpret_cast<const uint8_t*>(p.payload.data());
      size_t tn = arc_event_text_length(t, p.payload.size());
      events_.insert(events_.end(), t, t + tn);
      events_.push_back(0);
    }
  }
  ++records_;
  group_.clear();
}

void ArcSetBuilder::close() {
  for (int i = 0; i < ARC_SUMMARY_COUNT; ++i) {
    ArcIndexRecord s;
    if (sums_[i].flush(&s)) {
      uint8_t rec[ARC_INDEX_RECORD_SIZE];
      arc_encode_index_record(s, rec);
      summaries_[i].insert(summaries_[i].end(), rec, rec + sizeof rec);
    }
  }
}

namespace {
int write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return -1;
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (std::fclose(f) == 0) && ok;
  return ok ? 0 : -1;
}
}  // namespace

int ArcSetBuilder::write(const std::string& folder, uint32_t set, bool summaries,
                         bool marker) const {
  int r = 0;
  r |= write_file(arc_file_name(folder, set, ARC_EXT_DATA), data_);
  r |= write_file(arc_file_name(folder, set, ARC_EXT_INDEX), index_);
  r |= write_file(arc_file_name(folder, set, ARC_EXT_EVENTS), events_);
  if (summaries) {
    for (int i = 0; i < ARC_SUMMARY_COUNT; ++i) {
      r |= write_file(arc_summary_name(folder, set, ARC_SUMMARY_EXT[i]), summaries_[i]);
    }
  }
  if (marker) {
    r |= write_file(arc_file_name(folder, set, ARC_EXT_MARKER),
                    std::vector<uint8_t>(ARC_MARKER_SIZE, 0));
  }
  return r == 0 ? 0 : -1;
}

}  // namespace dv
