#include "statekeeper/schedule.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class ScheduleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/schedule_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/timer.ini";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  void Write(const std::string& text) {
    FILE* f = std::fopen(path_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
  std::string Pack(const WeekSchedule& s) {
    char buf[64];
    schedule_pack(&s, buf, sizeof buf);
    return buf;
  }
  std::string dir_, path_;
};

TEST_F(ScheduleTest, MondayFirstAndLastHour) {
  Write("[common]\nmode=2\n[monday]\nh0=1\nh23=1\n");
  WeekSchedule s;
  ScheduleReadStatus st;
  ASSERT_EQ(schedule_read(&s, path_.c_str(), &st), 0);
  EXPECT_TRUE(st.file_opened);
  EXPECT_EQ(st.mode_result, 0);
  EXPECT_EQ(s.mode, 2);
  EXPECT_EQ(s.day[1], 0x800001u);
  for (int d : {0, 2, 3, 4, 5, 6}) EXPECT_EQ(s.day[d], 0u) << d;
  EXPECT_EQ(Pack(s), "2,800001" + std::string(36, '0'));
}

TEST_F(ScheduleTest, PackReversesBitsAndOrdersMondayToSunday) {
  Write(
      "[common]\nmode = 0\n"
      "[sunday]\nh1=1\n"
      "[monday]\nh0=5\nh2=0\n"
      "[saturday]\nh12 = -1\n");
  WeekSchedule s;
  ASSERT_EQ(schedule_read(&s, path_.c_str()), 0);
  EXPECT_EQ(s.day[0], 0x2u);     // sunday: hour 1
  EXPECT_EQ(s.day[1], 0x1u);     // monday: hour 0; h2=0 is off
  EXPECT_EQ(s.day[6], 0x1000u);  // saturday: hour 12
  // mon tue wed thu fri sat sun, hour h at bit 23-h.
  EXPECT_EQ(Pack(s), "0,800000000000000000000000000000000800400000");
}

TEST_F(ScheduleTest, MissingModeIsTwoAndMissingFileLeavesEverythingOff) {
  Write("[tuesday]\nh3=1\n");
  WeekSchedule s;
  ScheduleReadStatus st;
  ASSERT_EQ(schedule_read(&s, path_.c_str(), &st), 0);
  EXPECT_EQ(st.mode_result, 1);  // no [common] section
  EXPECT_EQ(s.mode, 2);
  EXPECT_EQ(s.day[2], 0x8u);

  std::remove(path_.c_str());
  s.day[2] = 77;
  ASSERT_EQ(schedule_read(&s, path_.c_str(), &st), -1);
  EXPECT_FALSE(st.file_opened);
  EXPECT_EQ(s.mode, 2);
  for (uint32_t d : s.day) EXPECT_EQ(d, 0u);
}

TEST(ScheduleRules, RecordAndLiveTable) {
  struct Case {
    int32_t mode;
    uint32_t mask, bit;
    bool record, live_unsigned, live_signed;
  };
  const Case cases[] = {
      {0, 0, 1, false, false, false}, {0, 1, 1, true, true, true},   {1, 0, 1, true, false, false},
      {2, 0, 1, false, true, true},   {2, 4, 4, true, true, true},   {3, 0, 1, true, true, true},
      {7, 0, 1, true, true, true},    {-1, 0, 1, true, true, false}, {-1, 2, 2, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    EXPECT_EQ(schedule_record_allowed(c.mode, c.mask, c.bit), c.record);
    EXPECT_EQ(schedule_live_allowed(c.mode, c.mask, c.bit, ScheduleModeCompare::kUnsigned),
              c.live_unsigned);
    EXPECT_EQ(schedule_live_allowed(c.mode, c.mask, c.bit, ScheduleModeCompare::kSigned),
              c.live_signed);
  }
}

TEST_F(ScheduleTest, NoDaySectionsRecordsNothingInModesZeroAndTwo) {
  Write("[common]\nmode=0\n");
  WeekSchedule s;
  ASSERT_EQ(schedule_read(&s, path_.c_str()), 0);
  for (int32_t mode : {0, 2}) {
    for (int d = 0; d < 7; ++d) {
      for (int h = 0; h < 24; ++h) EXPECT_FALSE(schedule_record_allowed(mode, s.day[d], 1u << h));
    }
  }
}

TEST(ScheduleMask, LocalTimeGivesWeekdayAndHour) {
  setenv("TZ", "UTC0", 1);
  tzset();
  WeekSchedule s{2, {1, 2, 3, 4, 5, 6, 7}};
  uint32_t mask = 0, bit = 0;
  schedule_mask_at(&s, 1704715200, &mask, &bit);  // 2024-01-08 12:00 UTC, a monday
  EXPECT_EQ(mask, 2u);
  EXPECT_EQ(bit, 1u << 12);
}

TEST(ScheduleMask, ReverseHoursIsItsOwnInverse) {
  for (uint32_t m : {0u, 1u, 0x800000u, 0x123456u, 0xFFFFFFu}) {
    EXPECT_EQ(schedule_reverse_hours(schedule_reverse_hours(m)), m);
  }
  EXPECT_EQ(schedule_reverse_hours(1u), 0x800000u);
}

}  // namespace
