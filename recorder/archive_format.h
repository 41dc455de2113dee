// Archive format information shared by the writer (recorder) and the readers
// (the archive roles of video.qvs, diskkeeper, arcspan, the test tools).
//
// The archive is a folder of numbered file sets. Set N (a 32-bit counter,
// printed as eight lower-case hexadecimal digits) is:
//   N.qvs3   data: a copy of the configuration digest, then groups. A group is
//            a group header followed by one frame block per recorded frame; a
//            frame block is one or more chunks (chunk word [+ time word for
//            the first chunk of a video frame] + bytes).
//   N.id3    index: one 24-byte index record per group, in group order.
//   N.evt    events: one entry per group that holds alarm texts.
//   N.hdr    marker: 8 zero bytes (optional).
//   N.30m N.1h N.6h N.12h N.24h N.7d
//            summaries: index records condensed over periods of 18, 36, 216,
//            432, 864 and 6048 seconds (optional).
// All integers are little-endian. Every record is encoded and decoded here,
// byte by byte; decoders check the length first, then the magic, then the
// contents, and report corruption instead of trusting a count read from disc.
//
// Nothing here keeps state between calls except ArcSummary (one open period)
// and ArcDataWalker (a cursor over a caller-owned buffer). No I/O except
// arc_next_set_number, which lists a folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dv {

// ---------------------------------------------------------------------------
// Results of the decoders.
enum class ArcStatus {
  kOk = 0,
  kTruncated,  // fewer bytes than the record needs (may still be growing)
  kBadMagic,   // the record does not start with its magic
  kCorrupt,    // the magic is right but a field is impossible
};
const char* arc_status_text(ArcStatus s);

// ---------------------------------------------------------------------------
// Names.
inline constexpr const char* ARC_EXT_DATA = "qvs3";
inline constexpr const char* ARC_EXT_INDEX = "id3";
inline constexpr const char* ARC_EXT_EVENTS = "evt";
inline constexpr const char* ARC_EXT_MARKER = "hdr";

inline constexpr int ARC_SUMMARY_COUNT = 6;
// Suffixes of the summary files and the periods they condense, in seconds (a
// hundredth of the span each suffix names).
inline constexpr const char* ARC_SUMMARY_EXT[ARC_SUMMARY_COUNT] = {"30m", "1h",  "6h",
                                                                   "12h", "24h", "7d"};
inline constexpr int32_t ARC_SUMMARY_PERIOD[ARC_SUMMARY_COUNT] = {18, 36, 216, 432, 864, 6048};

// "%s%.8x.%s": folder (ending in "/"), set number, extension ("qvs3", ...).
std::string arc_file_name(std::string_view folder, uint32_t set, std::string_view ext);
// "%s/%.8x.%s": the summary files carry an extra "/" after the folder, which
// names the same file.
std::string arc_summary_name(std::string_view folder, uint32_t set, std::string_view ext);

// Reads the set number of a data file name: one to eight hexadecimal digits
// followed directly by ".qvs3" at the start of the name (anything may follow,
// as in "0000000a.qvs3"). Returns false for any other name.
bool arc_parse_data_name(std::string_view name, uint32_t* set);

// Number for a new set in folder: 1 + the largest number among the data file
// names, 0 when there is none (or the folder cannot be listed). Returns false
// when the folder cannot be listed.
bool arc_next_set_number(const std::string& folder, uint32_t* next);

// ---------------------------------------------------------------------------
// Data file header: a byte copy of the configuration digest.
inline constexpr uint32_t ARC_FILE_MAGIC = 0xB505B5B5;  // bytes B5 B5 05 B5
inline constexpr size_t ARC_FILE_HEADER_MIN = 8;        // magic, two u16

struct ArcStreamInfo {
  uint8_t number = 0;
  uint8_t type = 0;  // type bits: 1 video, 2 audio, 4 text, 8 image, 16 binary
  std::string codec;
  std::string name;
  std::string params;
};

struct ArcFileHeader {
  size_t length = 0;  // bytes of the header = trailer offset + trailer length
  std::string device_id;
  std::vector<ArcStreamInfo> streams;  // in file order
};

// Decodes the header at the start of a data file. Checks that the whole
// header is present, that the trailer offset lies after the device id, and
// that every string ends inside its area.
ArcStatus arc_decode_file_header(const uint8_t* p, size_t n, ArcFileHeader* out);

// Type bits per stream number (0 for streams the header does not list).
void arc_stream_types(const ArcFileHeader& h, uint8_t types[256]);

inline constexpr uint8_t ARC_TYPE_VIDEO = 1;
inline constexpr uint8_t ARC_TYPE_AUDIO = 2;
inline constexpr uint8_t ARC_TYPE_TEXT = 4;

// ---------------------------------------------------------------------------
// Group header: magic, group time, length of the previous group of the file
// (0 for the first), n, then the n streams that had an alarm text, ascending.
inline constexpr uint32_t ARC_GROUP_MAGIC = 0xB5B5B505;  // bytes 05 B5 B5 B5
inline constexpr size_t ARC_GROUP_HEADER_BASE = 13;
inline constexpr size_t ARC_GROUP_HEADER_MAX = ARC_GROUP_HEADER_BASE + 255;

struct ArcGroupHeader {
  int32_t time = 0;       // gop_time of the group's first notice
  uint32_t prev_len = 0;  // previous group, from its header to this one
  uint8_t count = 0;      // number of alarm streams
  uint8_t streams[255] = {};
};

inline size_t arc_group_header_size(const ArcGroupHeader& h) {
  return ARC_GROUP_HEADER_BASE + h.count;
}
// Writes arc_group_header_size(h) bytes (at most ARC_GROUP_HEADER_MAX).
size_t arc_encode_group_header(const ArcGroupHeader& h, uint8_t* out);
// Checks length, magic, and that the stream list is strictly ascending.
ArcStatus arc_decode_group_header(const uint8_t* p, size_t n, ArcGroupHeader* out);

// ---------------------------------------------------------------------------
// Chunk word: bits 0-15 length, 16-21 level, 22 last chunk, 23 first chunk,
// 24-31 stream.
inline constexpr uint32_t ARC_CHUNK_MAX = 0xFFFF;
inline constexpr uint32_t ARC_CHUNK_LAST = 1u << 22;
inline constexpr uint32_t ARC_CHUNK_FIRST = 1u << 23;

struct ArcChunkWord {
  uint16_t length = 0;
  uint8_t level = 0;  // 0..63
  bool last = false;
  bool first = false;
  uint8_t stream = 0;
};

uint32_t arc_pack_chunk_word(const ArcChunkWord& c);
ArcChunkWord arc_unpack_chunk_word(uint32_t w);

// Time word after the first chunk word of a video frame: bits 0-15 time code
// (ms since the group started), 16-23 frame number (0 = key frame), 24-31 zero.
struct ArcTimeWord {
  uint16_t time_code = 0;
  uint8_t frame_no = 0;
};
uint32_t arc_pack_time_word(const ArcTimeWord& t);
// kCorrupt when bits 24-31 are not zero.
ArcStatus arc_unpack_time_word(uint32_t w, ArcTimeWord* out);

// Frame number as stored: the field has 8 bits. Numbers above 255 are stored
// as 255 so that a late frame of a long group never reads back as a key frame
// (0); readers only tell key frames from the rest.
inline uint8_t arc_stored_frame_no(uint32_t frame_no) {
  return frame_no > 255 ? 255 : static_cast<uint8_t>(frame_no);
}

// A frame to be stored as a frame block.
struct ArcFrame {
  uint8_t stream = 0;
  uint8_t level = 0;   // notice level; the low 6 bits are stored
  bool video = false;  // stream type bits include video: a time word follows
  uint16_t time_code = 0;
  uint32_t frame_no = 0;
  uint32_t size = 0;  // payload bytes
};

// Chunks of a frame of size bytes: 1 for 0..0xFFFF, else ceil(size / 0xFFFF).
uint32_t arc_chunk_count(uint32_t size);
// Total bytes of the frame block (chunk words, the time word, payload).
uint64_t arc_frame_block_size(const ArcFrame& f);
// Header of chunk i (0 <= i < arc_chunk_count): writes the chunk word and, for
// the first chunk of a video frame, the time word into out[8]; returns the
// header bytes (4 or 8). *payload_offset and *payload_len give the slice of
// the frame's payload that follows this header.
size_t arc_chunk_header(const ArcFrame& f, uint32_t i, uint8_t out[8], uint32_t* payload_offset,
                        uint32_t* payload_len);

// ---------------------------------------------------------------------------
// Index record (.id3) and summary record (.30m ... .7d): 24 bytes.
inline constexpr size_t ARC_INDEX_RECORD_SIZE = 24;
inline constexpr int ARC_LEVEL_PAIRS = 6;
// The streams whose levels the records carry, in this order.
inline constexpr uint8_t ARC_LEVEL_STREAMS[ARC_LEVEL_PAIRS] = {0, 1, 2, 3, 16, 17};

struct ArcLevelPair {
  uint8_t stream = 0;
  uint8_t level = 0;
};

struct ArcIndexRecord {
  uint8_t first_alarm = 0;  // see arc_first_alarm_byte
  uint8_t pair_count = 0;   // 6 in .id3; 0..6 in summaries
  int32_t time = 0;         // group time
  uint32_t offset = 0;      // offset of the group header in the .qvs3 file
  ArcLevelPair pairs[ARC_LEVEL_PAIRS] = {};
};

void arc_encode_index_record(const ArcIndexRecord& r, uint8_t out[ARC_INDEX_RECORD_SIZE]);
// Checks length, the zero bytes 2-3 and pair count <= 6.
ArcStatus arc_decode_index_record(const uint8_t* p, size_t n, ArcIndexRecord* out);

// Byte 0 of an index record from the lowest alarm stream of the group
// (has_alarm false: 0). Streams 0..3, 16 and 17 get 0x80 added.
uint8_t arc_first_alarm_byte(bool has_alarm, uint8_t lowest_stream);

// Builds the index record of a group from its per-stream level maxima (256
// entries, low 6 bits used) and its alarm marks (256 entries, non-zero =
// marked).
ArcIndexRecord arc_make_index_record(int32_t time, uint32_t offset, const uint8_t levels[256],
                                     const uint8_t alarms[256]);

// One summary file's open period. Feed every index record of the set in
// order; a record comes out when a fed record's time is at or past the
// period's start + period (that record still belongs to the ending period);
// the next record opens a new period. At close, flush() gives the open period.
class ArcSummary {
 public:
  explicit ArcSummary(int32_t period) : period_(period) {}
  // Returns true and fills *out when a period ends with r.
  bool feed(const ArcIndexRecord& r, ArcIndexRecord* out);
  // Returns true and fills *out when a period is open; closes it.
  bool flush(ArcIndexRecord* out);
  bool open() const { return open_; }

 private:
  int32_t period_;
  bool open_ = false;
  int32_t start_ = 0;
  ArcIndexRecord head_;  // time, offset, byte 0 of the period's first record
  uint8_t seen_[ARC_LEVEL_PAIRS] = {};
  uint8_t low_[ARC_LEVEL_PAIRS] = {};   // largest low-6-bit level
  uint8_t high_[ARC_LEVEL_PAIRS] = {};  // upper two bits ORed
  ArcIndexRecord make() const;
};

// ---------------------------------------------------------------------------
// Event file (.evt) entries: time (4), index record number (4), count (1),
// then count times: stream (1), text, 0.
inline constexpr size_t ARC_EVENT_HEAD_SIZE = 9;

// Writes the 9-byte entry head.
void arc_encode_event_head(int32_t time, uint32_t record, uint8_t count,
                           uint8_t out[ARC_EVENT_HEAD_SIZE]);
// Length of the stored text of an alarm text payload of size bytes: up to its
// first NUL, at most size.
size_t arc_event_text_length(const uint8_t* payload, size_t size);

struct ArcEventText {
  uint8_t stream = 0;
  std::string text;
};
struct ArcEventEntry {
  int32_t time = 0;
  uint32_t record = 0;
  std::vector<ArcEventText> texts;
};

// Decodes one entry at p; *used gets its length. kTruncated when the entry
// (its head, or a text's terminating 0) is not all there.
ArcStatus arc_decode_event_entry(const uint8_t* p, size_t n, ArcEventEntry* out, size_t* used);

// Marker file: 8 zero bytes.
inline constexpr size_t ARC_MARKER_SIZE = 8;

// ---------------------------------------------------------------------------
// Walking a data file held in memory (mapped or read). The walker returns one
// unit at a time: the file header, a group header, or a chunk with its time
// word and payload slice. It needs the type of every stream (from the file
// header) to know which chunks carry a time word.
struct ArcUnit {
  enum Kind { kFileHeader, kGroupHeader, kChunk } kind = kChunk;
  size_t offset = 0;      // where the unit starts
  size_t length = 0;      // bytes of the unit, header words and payload
  ArcFileHeader file;     // kFileHeader
  ArcGroupHeader group;   // kGroupHeader
  ArcChunkWord chunk;     // kChunk
  bool has_time = false;  // kChunk: a time word followed the chunk word
  ArcTimeWord time;
  size_t payload = 0;  // kChunk: offset of the chunk's bytes
};

class ArcDataWalker {
 public:
  // data/size: the whole file (caller-owned, must outlive the walker).
  ArcDataWalker(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // Reads the unit at the cursor. kOk: *out filled and the cursor moved past
  // it. End of data: returns kTruncated with at_end() true. Any other status
  // leaves the cursor on the bad unit. The first unit must be the file
  // header; its streams give the types used for the chunks that follow.
  // Besides each unit's own fields it checks the chunk sequence: a chunk of a
  // stream the header does not list, a continuation chunk with no frame
  // open, a frame cut by another unit, or a chunk that is not a frame's last
  // but holds fewer than 0xFFFF bytes is kCorrupt.
  ArcStatus next(ArcUnit* out);
  bool at_end() const { return pos_ == size_; }
  // True while a frame's last chunk is still due (at the end of the data:
  // the file ends inside a frame).
  bool frame_open() const { return open_stream_ >= 0; }
  size_t pos() const { return pos_; }
  // Moves the cursor (to an index record's group offset, for example).
  bool seek(size_t pos);
  // Takes the stream list of a header read elsewhere (when starting at a
  // group offset with seek()).
  void use_header(const ArcFileHeader& h);
  bool have_header() const { return have_header_; }
  uint8_t stream_type(uint8_t stream) const { return types_[stream]; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool have_header_ = false;
  uint8_t types_[256] = {};
  bool listed_[256] = {};
  int open_stream_ = -1;  // stream of a frame whose last chunk is still due
};

}  // namespace dv
