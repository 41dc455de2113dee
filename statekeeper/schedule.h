// The weekly schedule of /etc/timer.ini: in which hours of the week the system
// records continuously and in which it sends live pictures.
//
// One module for every reader: memhub packs it into the configuration digest,
// statekeeper and snapbot evaluate it. The file is read once (through
// libinistore) into a WeekSchedule; evaluating never touches the file again.
// No state besides the record the caller holds; no signals, no threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// In-memory form: one 24-bit mask per C weekday (0 = sunday .. 6 = saturday),
// bit h set when hour h (h:00-h:59) is on.
struct WeekSchedule {
  int32_t mode;     // [common] mode: 0 both by schedule, 1 record always, 2 live always,
                    // 3 or more both always; 2 when missing
  uint32_t day[7];  // indexed by tm_wday
};

inline constexpr const char* SCHEDULE_FILE = "/etc/timer.ini";
inline constexpr int32_t SCHEDULE_DEFAULT_MODE = 2;

// Section names by C weekday.
extern const char* const kScheduleDayNames[7];

// What schedule_read found, for callers that log the details.
struct ScheduleReadStatus {
  bool file_opened;  // false: the file could not be opened (all masks 0, mode 2)
  int mode_result;   // ConfigGetInt's result for [common] mode (0 found, 1 no section, 2 no key)
};

// Reads the schedule from the file at a logical path (/etc/timer.ini by
// default). Key h<N> of a day section is on when it is a non-zero integer; a
// missing key or day section is off. Always fills *s (a missing file leaves
// every mask 0 and mode 2). Returns 0 when the file was read, -1 when it could
// not be opened. status may be null.
int schedule_read(WeekSchedule* s, const char* path = SCHEDULE_FILE,
                  ScheduleReadStatus* status = nullptr);

// Today's mask and this hour's bit for local time t (the caller has set TZ).
void schedule_mask_at(const WeekSchedule* s, time_t t, uint32_t* mask, uint32_t* bit);

// Recording allowed: mode is neither 0 nor 2, or the hour is on.
bool schedule_record_allowed(int32_t mode, uint32_t mask, uint32_t bit);

// How the live rule compares mode with 2. statekeeper compares it as an
// unsigned number (a negative mode then allows live sending); the snapshot
// service compares it as a signed one (a negative mode follows the schedule).
enum class ScheduleModeCompare { kUnsigned, kSigned };

// Live sending allowed: mode is 2 or more, or the hour is on.
bool schedule_live_allowed(int32_t mode, uint32_t mask, uint32_t bit, ScheduleModeCompare cmp);

// The packed text form of the digest: "%i,%.6X%.6X%.6X%.6X%.6X%.6X%.6X" with
// mode and the masks of monday .. saturday, sunday, each with its bits reversed
// (hour h is bit 23 - h). Writes at most size bytes including the NUL; returns
// the length of the full text (as snprintf).
int schedule_pack(const WeekSchedule* s, char* out, size_t size);

// Hour h at bit h <-> hour h at bit 23 - h.
uint32_t schedule_reverse_hours(uint32_t mask);
