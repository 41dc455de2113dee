#include "recorder/archive_format.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "lib/platform/le.h"
#include "lib/platform/text.h"

namespace dv {

const char* arc_status_text(ArcStatus s) {
  switch (s) {
    case ArcStatus::kOk:
      return "ok";
    case ArcStatus::kTruncated:
      return "truncated";
    case ArcStatus::kBadMagic:
      return "bad magic";
    case ArcStatus::kCorrupt:
      return "corrupt";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Names.

std::string arc_file_name(std::string_view folder, uint32_t set, std::string_view ext) {
  char num[16];
  std::snprintf(num, sizeof num, "%.8x.", set);
  std::string s(folder);
  s += num;
  s += ext;
  return s;
}

std::string arc_summary_name(std::string_view folder, uint32_t set, std::string_view ext) {
  std::string s(folder);
  s += '/';
  return arc_file_name(s, set, ext);
}

using dv::hex_digit;

bool arc_parse_data_name(std::string_view name, uint32_t* set) {
  uint32_t v = 0;
  size_t i = 0;
  for (; i < name.size() && i < 9; ++i) {
    int d = hex_digit(name[i]);
    if (d < 0) break;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  if (i == 0 || i > 8) return false;
  if (name.substr(i, 5) != ".qvs3") return false;
  *set = v;
  return true;
}

bool arc_next_set_number(const std::string& folder, uint32_t* next) {
  *next = 0;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return false;
  bool any = false;
  uint32_t largest = 0;
  while (struct dirent* e = readdir(d)) {
    uint32_t n;
    if (!arc_parse_data_name(e->d_name, &n)) continue;
    if (!any || n > largest) largest = n;
    any = true;
  }
  closedir(d);
  *next = any ? largest + 1 : 0;
  return true;
}

// ---------------------------------------------------------------------------
// File header.

namespace {
// Reads a NUL-terminated string that must end before limit.
bool take_string(const uint8_t* p, size_t* pos, size_t limit, std::string* out) {
  const void* z = std::memchr(p + *pos, 0, limit - *pos);
  if (z == nullptr) return false;
  size_t len = static_cast<size_t>(static_cast<const uint8_t*>(z) - (p + *pos));
  out->assign(reinterpret_cast<const char*>(p + *pos), len);
  *pos += len + 1;
  return true;
}
}  // namespace

ArcStatus arc_decode_file_header(const uint8_t* p, size_t n, ArcFileHeader* out) {
  *out = ArcFileHeader{};
  if (n < ARC_FILE_HEADER_MIN) return ArcStatus::kTruncated;
  if (get_u32le(p) != ARC_FILE_MAGIC) return ArcStatus::kBadMagic;
  size_t trailer = get_u16le(p + 4);
  size_t trailer_len = get_u16le(p + 6);
  if (trailer < ARC_FILE_HEADER_MIN + 1) return ArcStatus::kCorrupt;  // device id
  if (trailer + trailer_len > n) return ArcStatus::kTruncated;
  size_t pos = ARC_FILE_HEADER_MIN;
  if (!take_string(p, &pos, trailer, &out->device_id)) return ArcStatus::kCorrupt;
  while (pos < trailer) {
    if (out->streams.size() >= 256) return ArcStatus::kCorrupt;
    if (trailer - pos < 2) return ArcStatus::kCorrupt;
    ArcStreamInfo s;
    s.number = p[pos];
    s.type = p[pos + 1];
    pos += 2;
    if (!take_string(p, &pos, trailer, &s.codec) || !take_string(p, &pos, trailer, &s.name) ||
        !take_string(p, &pos, trailer, &s.params)) {
      return ArcStatus::kCorrupt;
    }
    out->streams.push_back(std::move(s));
  }
  out->length = trailer + trailer_len;
  return ArcStatus::kOk;
}

void arc_stream_types(const ArcFileHeader& h, uint8_t types[256]) {
  std::memset(types, 0, 256);
  for (const ArcStreamInfo& s : h.streams) types[s.number] = s.type;
}

// ---------------------------------------------------------------------------
// Group header.

size_t arc_encode_group_header(const ArcGroupHeader& h, uint8_t* out) {
  put_u32le(out, ARC_GROUP_MAGIC);
  put_i32le(out + 4, h.time);      // group time
  put_u32le(out + 8, h.prev_len);  // length of the previous group
  out[12] = h.count;               // streams with an alarm text
  std::memcpy(out + ARC_GROUP_HEADER_BASE, h.streams, h.count);
  return arc_group_header_size(h);
}

ArcStatus arc_decode_group_header(const uint8_t* p, size_t n, ArcGroupHeader* out) {
  *out = ArcGroupHeader{};
  if (n < 4) return ArcStatus::kTruncated;
  if (get_u32le(p) != ARC_GROUP_MAGIC) return ArcStatus::kBadMagic;
  if (n < ARC_GROUP_HEADER_BASE) return ArcStatus::kTruncated;
  uint8_t count = p[12];
  if (n < ARC_GROUP_HEADER_BASE + count) return ArcStatus::kTruncated;
  const uint8_t* s = p + ARC_GROUP_HEADER_BASE;
  for (size_t i = 1; i < count; ++i) {
    if (s[i] <= s[i - 1]) return ArcStatus::kCorrupt;
  }
  out->time = get_i32le(p + 4);
  out->prev_len = get_u32le(p + 8);
  out->count = count;
  std::memcpy(out->streams, s, count);
  return ArcStatus::kOk;
}

// ---------------------------------------------------------------------------
// Chunks.

uint32_t arc_pack_chunk_word(const ArcChunkWord& c) {
  return static_cast<uint32_t>(c.length) | (static_cast<uint32_t>(c.level & 0x3F) << 16) |
         (c.last ? ARC_CHUNK_LAST : 0) | (c.first ? ARC_CHUNK_FIRST : 0) |
         (static_cast<uint32_t>(c.stream) << 24);
}

ArcChunkWord arc_unpack_chunk_word(uint32_t w) {
  ArcChunkWord c;
  c.length = static_cast<uint16_t>(w & 0xFFFF);
  c.level = static_cast<uint8_t>((w >> 16) & 0x3F);
  c.last = (w & ARC_CHUNK_LAST) != 0;
  c.first = (w & ARC_CHUNK_FIRST) != 0;
  c.stream = static_cast<uint8_t>(w >> 24);
  return c;
}

uint32_t arc_pack_time_word(const ArcTimeWord& t) {
  return static_cast<uint32_t>(t.time_code) | (static_cast<uint32_t>(t.frame_no) << 16);
}

ArcStatus arc_unpack_time_word(uint32_t w, ArcTimeWord* out) {
  if ((w >> 24) != 0) return ArcStatus::kCorrupt;
  out->time_code = static_cast<uint16_t>(w & 0xFFFF);
  out->frame_no = static_cast<uint8_t>(w >> 16);
  return ArcStatus::kOk;
}

uint32_t arc_chunk_count(uint32_t size) {
  if (size == 0) return 1;
  return static_cast<uint32_t>((static_cast<uint64_t>(size) + ARC_CHUNK_MAX - 1) / ARC_CHUNK_MAX);
}

uint64_t arc_frame_block_size(const ArcFrame& f) {
  return 4ull * arc_chunk_count(f.size) + (f.video ? 4u : 0u) + f.size;
}

size_t arc_chunk_header(const ArcFrame& f, uint32_t i, uint8_t out[8], uint32_t* payload_offset,
                        uint32_t* payload_len) {
  uint32_t count = arc_chunk_count(f.size);
  uint32_t off = i * ARC_CHUNK_MAX;
  uint32_t len = (i + 1 == count) ? f.size - off : ARC_CHUNK_MAX;
  ArcChunkWord c;
  c.length = static_cast<uint16_t>(len);
  c.level = f.level & 0x3F;
  c.first = (i == 0);
  c.last = (i + 1 == count);
  c.stream = f.stream;
  put_u32le(out, arc_pack_chunk_word(c));
  size_t used = 4;
  if (i == 0 && f.video) {
    ArcTimeWord t;
    t.time_code = f.time_code;
    t.frame_no = arc_stored_frame_no(f.frame_no);
    put_u32le(out + 4, arc_pack_time_word(t));
    used = 8;
  }
  *payload_offset = off;
  *payload_len = len;
  return used;
}

// ---------------------------------------------------------------------------
// Index and summary records.

void arc_encode_index_record(const ArcIndexRecord& r, uint8_t out[ARC_INDEX_RECORD_SIZE]) {
  out[0] = r.first_alarm;  // first alarm stream (+0x80 for 0..3, 16, 17)
  out[1] = r.pair_count;   // (stream, level) pairs that follow
  out[2] = 0;
  out[3] = 0;
  put_i32le(out + 4, r.time);    // group time
  put_u32le(out + 8, r.offset);  // group header offset in the .qvs3 file
  for (int i = 0; i < ARC_LEVEL_PAIRS; ++i) {
    bool used = i < r.pair_count;
    out[12 + 2 * i] = used ? r.pairs[i].stream : 0;
    out[13 + 2 * i] = used ? r.pairs[i].level : 0;
  }
}

ArcStatus arc_decode_index_record(const uint8_t* p, size_t n, ArcIndexRecord* out) {
  *out = ArcIndexRecord{};
  if (n < ARC_INDEX_RECORD_SIZE) return ArcStatus::kTruncated;
  if (p[1] > ARC_LEVEL_PAIRS || p[2] != 0 || p[3] != 0) return ArcStatus::kCorrupt;
  out->first_alarm = p[0];
  out->pair_count = p[1];
  out->time = get_i32le(p + 4);
  out->offset = get_u32le(p + 8);
  for (int i = 0; i < out->pair_count; ++i) {
    out->pairs[i].stream = p[12 + 2 * i];
    out->pairs[i].level = p[13 + 2 * i];
  }
  return ArcStatus::kOk;
}

uint8_t arc_first_alarm_byte(bool has_alarm, uint8_t lowest_stream) {
  if (!has_alarm) return 0;
  bool av = lowest_stream <= 3 || lowest_stream == 16 || lowest_stream == 17;
  return static_cast<uint8_t>(av ? lowest_stream + 0x80 : lowest_stream);
}

ArcIndexRecord arc_make_index_record(int32_t time, uint32_t offset, const uint8_t levels[256],
                                     const uint8_t alarms[256]) {
  ArcIndexRecord r;
  r.time = time;
  r.offset = offset;
  for (int s = 0; s < 256; ++s) {
    if (alarms[s]) {
      r.first_alarm = arc_first_alarm_byte(true, static_cast<uint8_t>(s));
      break;
    }
  }
  r.pair_count = ARC_LEVEL_PAIRS;
  for (int i = 0; i < ARC_LEVEL_PAIRS; ++i) {
    r.pairs[i].stream = ARC_LEVEL_STREAMS[i];
    r.pairs[i].level = levels[ARC_LEVEL_STREAMS[i]] & 0x3F;
  }
  return r;
}

bool ArcSummary::feed(const ArcIndexRecord& r, ArcIndexRecord* out) {
  if (!open_) {
    open_ = true;
    start_ = r.time;
    head_ = r;
    std::memset(seen_, 0, sizeof seen_);
    std::memset(low_, 0, sizeof low_);
    std::memset(high_, 0, sizeof high_);
  }
  for (int i = 0; i < r.pair_count && i < ARC_LEVEL_PAIRS; ++i) {
    for (int k = 0; k < ARC_LEVEL_PAIRS; ++k) {
      if (r.pairs[i].stream != ARC_LEVEL_STREAMS[k]) continue;
      seen_[k] = 1;
      uint8_t lv = r.pairs[i].level;
      if ((lv & 0x3F) > low_[k]) low_[k] = lv & 0x3F;
      high_[k] |= lv & 0xC0;
    }
  }
  // 64-bit: a period start near the end of the 32-bit range must not wrap.
  if (static_cast<int64_t>(r.time) >= static_cast<int64_t>(start_) + period_) {
    *out = make();
    open_ = false;
    return true;
  }
  return false;
}

bool ArcSummary::flush(ArcIndexRecord* out) {
  if (!open_) return false;
  *out = make();
  open_ = false;
  return true;
}

ArcIndexRecord ArcSummary::make() const {
  ArcIndexRecord r;
  r.first_alarm = head_.first_alarm;
  r.time = head_.time;
  r.offset = head_.offset;
  for (int k = 0; k < ARC_LEVEL_PAIRS; ++k) {
    if (!seen_[k]) continue;
    r.pairs[r.pair_count].stream = ARC_LEVEL_STREAMS[k];
    r.pairs[r.pair_count].level = static_cast<uint8_t>(low_[k] | high_[k]);
    ++r.pair_count;
  }
  return r;
}

// ---------------------------------------------------------------------------
// Event entries.

void arc_encode_event_head(int32_t time, uint32_t record, uint8_t count,
                           uint8_t out[ARC_EVENT_HEAD_SIZE]) {
  put_i32le(out, time);        // gop_time of the first alarm text
  put_u32le(out + 4, record);  // index record of the group
  out[8] = count;              // alarm texts of the group
}

size_t arc_event_text_length(const uint8_t* payload, size_t size) {
  const void* z = std::memchr(payload, 0, size);
  return z == nullptr ? size : static_cast<size_t>(static_cast<const uint8_t*>(z) - payload);
}

ArcStatus arc_decode_event_entry(const uint8_t* p, size_t n, ArcEventEntry* out, size_t* used) {
  *out = ArcEventEntry{};
  *used = 0;
  if (n < ARC_EVENT_HEAD_SIZE) return ArcStatus::kTruncated;
  out->time = get_i32le(p);
  out->record = get_u32le(p + 4);
  uint8_t count = p[8];
  if (count == 0) return ArcStatus::kCorrupt;  // entries exist only for alarm texts
  size_t pos = ARC_EVENT_HEAD_SIZE;
  for (uint8_t i = 0; i < count; ++i) {
    if (pos >= n) return ArcStatus::kTruncated;
    ArcEventText t;
    t.stream = p[pos++];
    if (!take_string(p, &pos, n, &t.text)) return ArcStatus::kTruncated;
    out->texts.push_back(std::move(t));
  }
  *used = pos;
  return ArcStatus::kOk;
}

// ---------------------------------------------------------------------------
// Data file walker.

void ArcDataWalker::use_header(const ArcFileHeader& h) {
  arc_stream_types(h, types_);
  std::memset(listed_, 0, sizeof listed_);
  for (const ArcStreamInfo& s : h.streams) listed_[s.number] = true;
  have_header_ = true;
}

bool ArcDataWalker::seek(size_t pos) {
  if (pos > size_) return false;
  pos_ = pos;
  open_stream_ = -1;
  return true;
}

ArcStatus ArcDataWalker::next(ArcUnit* out) {
  *out = ArcUnit{};
  out->offset = pos_;
  const uint8_t* p = data_ + pos_;
  size_t n = size_ - pos_;
  if (n == 0) return ArcStatus::kTruncated;
  if (n < 4) return ArcStatus::kTruncated;
  uint32_t w = get_u32le(p);

  if (w == ARC_FILE_MAGIC) {
    // A header only opens the file.
    if (pos_ != 0) return ArcStatus::kCorrupt;
    ArcStatus s = arc_decode_file_header(p, n, &out->file);
    if (s != ArcStatus::kOk) return s;
    use_header(out->file);
    out->kind = ArcUnit::kFileHeader;
    out->length = out->file.length;
    pos_ += out->length;
    return ArcStatus::kOk;
  }
  if (!have_header_) return ArcStatus::kBadMagic;

  if (w == ARC_GROUP_MAGIC) {
    if (open_stream_ >= 0) return ArcStatus::kCorrupt;  // frame cut by a group
    ArcStatus s = arc_decode_group_header(p, n, &out->group);
    if (s != ArcStatus::kOk) return s;
    out->kind = ArcUnit::kGroupHeader;
    out->length = arc_group_header_size(out->group);
    pos_ += out->length;
    return ArcStatus::kOk;
  }

  // A chunk. The magics cannot be valid chunk words: both would be chunks
  // that are not a frame's last but are shorter than 0xFFFF bytes.
  ArcChunkWord c = arc_unpack_chunk_word(w);
  if (!listed_[c.stream]) return ArcStatus::kCorrupt;
  if (!c.last && c.length != ARC_CHUNK_MAX) return ArcStatus::kCorrupt;
  if (c.first) {
    if (open_stream_ >= 0) return ArcStatus::kCorrupt;  // previous frame cut
  } else if (open_stream_ != c.stream) {
    return ArcStatus::kCorrupt;  // continuation without its first chunk
  }
  size_t head = 4;
  if (c.first && (types_[c.stream] & ARC_TYPE_VIDEO)) {
    if (n < 8) return ArcStatus::kTruncated;
    ArcStatus s = arc_unpack_time_word(get_u32le(p + 4), &out->time);
    if (s != ArcStatus::kOk) return s;
    out->has_time = true;
    head = 8;
  }
  if (n - head < c.length) return ArcStatus::kTruncated;
  out->kind = ArcUnit::kChunk;
  out->chunk = c;
  out->payload = pos_ + head;
  out->length = head + c.length;
  open_stream_ = c.last ? -1 : c.stream;
  pos_ += out->length;
  return ArcStatus::kOk;
}

}  // namespace dv
