// Builds archive file sets in memory, for tests of the programs that read the
// archive (the server's archive roles, diskkeeper, arcspan, the archive
// reader). It follows the writing rules of the archive format: a group's
// index record and group header come before its frames, levels and alarm
// marks are gathered over the whole group first, the .evt entry of a group
// lists its alarm texts, and the six summaries condense the index.
//
// Not a recorder: everything is kept in memory until write().
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/archive_format.h"

namespace dv {

// A data file header (configuration digest) listing the given streams, with
// an empty trailer of tags 1..8.
std::vector<uint8_t> arc_build_file_header(std::string_view device_id,
                                           const std::vector<ArcStreamInfo>& streams);

class ArcSetBuilder {
 public:
  explicit ArcSetBuilder(std::vector<uint8_t> file_header);

  // Starts a group with the given time (the gop_time of its notices).
  void begin_group(int32_t time);
  // Adds a frame of the current group. video/size of f are taken from the
  // header's stream type and the payload. alarm: the frame is an alarm text
  // (a text stream notice with the event flag).
  void add_frame(ArcFrame f, std::string_view payload, bool alarm = false);
  // Adds a text frame (payload = text + NUL).
  void add_text(uint8_t stream, std::string_view text, bool alarm);
  // Writes the current group (nothing when it holds no frame).
  void end_group();
  // Flushes the open summary periods (as at file close).
  void close();

  const std::vector<uint8_t>& data() const { return data_; }
  const std::vector<uint8_t>& index() const { return index_; }
  const std::vector<uint8_t>& events() const { return events_; }
  const std::vector<uint8_t>& summary(int i) const { return summaries_[i]; }
  uint32_t groups() const { return records_; }

  // Writes the set's files into folder (ending in "/"). Returns 0 or -1.
  int write(const std::string& folder, uint32_t set, bool summaries = true,
            bool marker = false) const;

 private:
  struct Pending {
    ArcFrame frame;
    std::string payload;
    bool alarm;
  };
  uint8_t types_[256] = {};
  std::vector<uint8_t> data_, index_, events_;
  std::array<std::vector<uint8_t>, ARC_SUMMARY_COUNT> summaries_;
  std::vector<ArcSummary> sums_;
  std::vector<Pending> group_;
  int32_t group_time_ = 0;
  uint32_t records_ = 0;
  size_t last_group_ = 0;  // offset of the previous group header (0: none)
  bool any_group_ = false;
};

}  // namespace dv
