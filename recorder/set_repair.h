// Making a set that a killed recorder left behind whole again.
//
// The recorder writes a group's index record only after the whole group is
// in the data file, its .evt entry just before that, and its summary records
// after it. A recorder killed at any moment therefore leaves a set whose
// index records all name complete groups, followed perhaps by the start of
// an unindexed group in the data file, an .evt entry of that group, and
// summaries without their open period. arc_repair_set cuts the data file
// after the last indexed group, the index and the event file after their
// last whole record, and rewrites the summaries from the index as a clean
// close would have left them.
//
// It never touches data that an index record names, and it leaves a set
// alone when it does not look like a set of ours that was cut short: a
// data file without a valid header, a missing index, damage before the last
// indexed group's end, or an unindexed tail longer than tail_limit bytes.
#pragma once

#include <cstdint>
#include <string>

namespace dv {

enum class RepairResult {
  kClean,     // nothing to do
  kRepaired,  // files were cut or rewritten
  kLeft,      // not a set cut short: left as it is
  kFailed,    // a file could not be read or changed
};

struct RepairReport {
  int64_t data_before = 0, data_after = 0;
  uint32_t records = 0;          // index records kept
  uint32_t records_dropped = 0;  // index records (or partial record) removed
  int64_t evt_before = 0, evt_after = 0;
  bool summaries_rewritten = false;
  std::string why;  // for kLeft / kFailed
};

// folder ends in "/".
RepairResult arc_repair_set(const std::string& folder, uint32_t set, int64_t tail_limit,
                            RepairReport* report);

}  // namespace dv
