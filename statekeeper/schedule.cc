#include "statekeeper/schedule.h"

#include <cstdio>

#include "lib/inistore/ini_store.h"

const char* const kScheduleDayNames[7] = {"sunday",   "monday", "tuesday", "wednesday",
                                          "thursday", "friday", "saturday"};

int schedule_read(WeekSchedule* s, const char* path, ScheduleReadStatus* status) {
  s->mode = SCHEDULE_DEFAULT_MODE;
  for (uint32_t& d : s->day) d = 0;
  ScheduleReadStatus st{false, CONFIG_NO_SECTION};

  ConfigHandle* h = ConfigOpen(path, 0);
  if (h == nullptr) {
    if (status != nullptr) *status = st;
    return -1;
  }
  st.file_opened = true;

  int32_t mode = 0;
  st.mode_result = ConfigGetInt(h, &mode, "common", "mode");
  if (st.mode_result == CONFIG_OK) s->mode = mode;

  for (int wday = 0; wday < 7; ++wday) {
    uint32_t mask = 0;
    for (int hour = 0; hour < 24; ++hour) {
      char key[8];
      std::snprintf(key, sizeof key, "h%d", hour);
      int32_t on = 0;
      if (ConfigGetInt(h, &on, kScheduleDayNames[wday], key) == CONFIG_OK && on != 0) {
        mask |= 1u << hour;
      }
    }
    s->day[wday] = mask;
  }
  ConfigClose(h);
  if (status != nullptr) *status = st;
  return 0;
}

void schedule_mask_at(const WeekSchedule* s, time_t t, uint32_t* mask, uint32_t* bit) {
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) {
    *mask = 0;
    *bit = 0;
    return;
  }
  *mask = s->day[tm.tm_wday % 7];
  *bit = 1u << (tm.tm_hour % 24);
}

bool schedule_record_allowed(int32_t mode, uint32_t mask, uint32_t bit) {
  return (mode != 0 && mode != 2) || (mask & bit) != 0;
}

bool schedule_live_allowed(int32_t mode, uint32_t mask, uint32_t bit, ScheduleModeCompare cmp) {
  bool always =
      cmp == ScheduleModeCompare::kUnsigned ? static_cast<uint32_t>(mode) >= 2u : mode >= 2;
  return always || (mask & bit) != 0;
}

uint32_t schedule_reverse_hours(uint32_t mask) {
  uint32_t out = 0;
  for (int h = 0; h < 24; ++h) {
    if (mask & (1u << h)) out |= 1u << (23 - h);
  }
  return out;
}

int schedule_pack(const WeekSchedule* s, char* out, size_t size) {
  // Monday first, sunday last.
  uint32_t m[7];
  for (int i = 0; i < 7; ++i) m[i] = schedule_reverse_hours(s->day[(i + 1) % 7]);
  return std::snprintf(out, size, "%i,%.6X%.6X%.6X%.6X%.6X%.6X%.6X", static_cast<int>(s->mode),
                       m[0], m[1], m[2], m[3], m[4], m[5], m[6]);
}
