#include "capture/camtap_state.h"

#include <gtest/gtest.h>

#include <vector>

namespace camtap {
namespace {

TEST(CamtapState, FdivThreeSkipsTwoOfThreeAndKeepsFrameNumber) {
  VideoState v;
  v.fdiv = 3;
  FrameDecision d = video_frame(&v, true, false);
  EXPECT_EQ(d.action, FRAME_CODE_INTRA);
  EXPECT_EQ(v.frame_no, 0);
  const FrameAction expected[] = {FRAME_SKIP, FRAME_SKIP, FRAME_CODE_PREDICTED,
                                  FRAME_SKIP, FRAME_SKIP, FRAME_CODE_PREDICTED};
  const int frame_no[] = {0, 0, 1, 1, 1, 2};
  for (int i = 0; i < 6; ++i) {
    d = video_frame(&v, false, false);
    EXPECT_EQ(d.action, expected[i]) << i;
    EXPECT_EQ(v.frame_no, frame_no[i]) << i;
  }
}

TEST(CamtapState, SignalLostAndBack) {
  VideoState v;
  video_frame(&v, true, false);
  // First picture without signal: text, size 0; later ones size -1.
  FrameDecision d = video_frame(&v, false, true);
  EXPECT_EQ(d.action, FRAME_EMPTY);
  EXPECT_EQ(d.text, TEXT_SIGNAL_LOST);
  EXPECT_TRUE(d.no_signal);
  d = video_frame(&v, false, true);
  EXPECT_EQ(d.action, FRAME_SKIP);
  EXPECT_EQ(d.text, TEXT_NONE);
  // A key grant without signal: size 0 with activity 320, no second text.
  d = video_frame(&v, true, true);
  EXPECT_EQ(d.action, FRAME_EMPTY);
  EXPECT_EQ(d.activity, kNoSignalActivity);
  EXPECT_EQ(d.text, TEXT_NONE);
  // Back on a predicted grant: coded intra, text due.
  d = video_frame(&v, false, false);
  EXPECT_EQ(d.action, FRAME_CODE_INTRA);
  EXPECT_EQ(d.text, TEXT_SIGNAL_BACK);
  d = video_frame(&v, false, false);
  EXPECT_EQ(d.action, FRAME_CODE_PREDICTED);
}

TEST(CamtapState, SignalLostOnKeyGrant) {
  VideoState v;
  FrameDecision d = video_frame(&v, true, true);
  EXPECT_EQ(d.text, TEXT_SIGNAL_LOST);
  EXPECT_EQ(d.action, FRAME_EMPTY);
  d = video_frame(&v, true, false);
  EXPECT_EQ(d.text, TEXT_SIGNAL_BACK);
  EXPECT_EQ(d.action, FRAME_CODE_INTRA);
}

TEST(CamtapState, EventMarkOncePerGopTextAfterHoldOff) {
  EventState e;
  e.threshold = 8;
  e.holdoff = 2;
  EXPECT_FALSE(event_check(&e, 8).mark);  // not above the threshold
  EventDecision d = event_check(&e, 9);
  EXPECT_TRUE(d.mark);
  EXPECT_TRUE(d.text);
  d = event_check(&e, 20);  // same GOP: no second mark, hold-off running
  EXPECT_FALSE(d.mark);
  EXPECT_FALSE(d.text);
  event_new_gop(&e);  // hold-off 2 -> 1
  d = event_check(&e, 20);
  EXPECT_TRUE(d.mark);
  EXPECT_FALSE(d.text);  // reloads the hold-off to 2
  event_new_gop(&e);
  event_new_gop(&e);
  d = event_check(&e, 20);
  EXPECT_TRUE(d.mark);
  EXPECT_TRUE(d.text);
}

TEST(CamtapState, DefaultThresholdNeverFires) {
  EventState e;  // threshold 64
  for (int level = 0; level <= 63; ++level) {
    EventDecision d = event_check(&e, level);
    EXPECT_FALSE(d.mark);
    EXPECT_FALSE(d.text);
  }
}

TEST(CamtapState, ReconfigureOnEleventhFaultyCycleThenEveryTenthAndReboot) {
  CycleState c;
  const unsigned mask = 0x3;  // cameras 0 and 1; camera 1 never delivers
  std::vector<int> reconfig_cycles;
  std::vector<int> reboot_cycles;
  for (int cycle = 0; cycle < 140; ++cycle) {
    // One cycle: camera 0 delivers its key picture and a few more; camera 1
    // is gone, yet a key grant arrives for camera 0 twice per cycle.
    for (int k = 0; k < 2; ++k) {
      CycleDecision d = cycle_key_grant(&c, mask, 2, 0);
      cycle_picture(&c, 0);
      if (d.reconfigure) {
        reconfig_cycles.push_back(cycle);
        EXPECT_EQ(d.missing, 0x2u);
        EXPECT_EQ(d.reboot, d.attempt > 10);
        if (d.reboot) reboot_cycles.push_back(cycle);
      }
    }
  }
  ASSERT_GE(reconfig_cycles.size(), 13u);
  // Cycle 0 sets the mask up; cycles 1..10 count down; cycle 11 reconfigures.
  EXPECT_EQ(reconfig_cycles[0], 11);
  for (size_t i = 1; i < reconfig_cycles.size(); ++i) {
    EXPECT_EQ(reconfig_cycles[i] - reconfig_cycles[i - 1], 10);
  }
  ASSERT_FALSE(reboot_cycles.empty());
  EXPECT_EQ(reboot_cycles[0], reconfig_cycles[11]);
  EXPECT_EQ(c.attempts, static_cast<int>(reconfig_cycles.size()));
}

// One cycle of cameras 0 and 1 with camera 1 gone: two key grants, camera 0's
// pictures. Returns the attempt number of a reconfiguration, else -1.
int faulty_cycle(CycleState* c) {
  int attempt = -1;
  for (int k = 0; k < 2; ++k) {
    CycleDecision d = cycle_key_grant(c, 0x3, 2, 0);
    cycle_picture(c, 0);
    if (d.reconfigure) attempt = d.attempt;
  }
  return attempt;
}

// A reload starts a new capture loop: the cycle and the missing mask start
// afresh, the countdown and the attempts go on.
TEST(CamtapState, LoopStartKeepsTheReconfigurationHistory) {
  CycleState c;
  int cycle = 0;
  while (faulty_cycle(&c) != 0) ++cycle;
  EXPECT_EQ(cycle, 11);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(faulty_cycle(&c), -1);
  c.stat_countdown = 2;
  cycle_loop_start(&c);
  EXPECT_EQ(c.cycle_counter, 0);
  EXPECT_EQ(c.missing_mask, 0u);
  EXPECT_EQ(c.stat_countdown, 0);
  EXPECT_EQ(c.reconfig_countdown, 6);
  EXPECT_EQ(c.attempts, 1);
  // The first cycle of the loop sets the mask up; six faulty cycle ends
  // count down; the seventh reconfigures, as attempt 1.
  cycle = 0;
  int attempt;
  while ((attempt = faulty_cycle(&c)) < 0) ++cycle;
  EXPECT_EQ(cycle, 7);
  EXPECT_EQ(attempt, 1);
}

TEST(CamtapState, NoReconfigurationWhileEveryCameraDelivers) {
  CycleState c;
  for (int cycle = 0; cycle < 50; ++cycle) {
    for (int cam = 0; cam < 2; ++cam) {
      CycleDecision d = cycle_key_grant(&c, 0x3, 2, 0);
      EXPECT_FALSE(d.reconfigure);
      cycle_picture(&c, cam);
      cycle_picture(&c, 1 - cam);
    }
  }
  EXPECT_EQ(c.reconfig_countdown, 10);
}

TEST(CamtapState, StatisticsEveryStatGopsCycles) {
  CycleState c;
  std::vector<int> stats;
  for (int cycle = 0; cycle < 10; ++cycle) {
    CycleDecision d = cycle_key_grant(&c, 0x1, 1, 3);
    EXPECT_TRUE(d.new_cycle);
    if (d.stats) stats.push_back(cycle);
  }
  EXPECT_EQ(stats, (std::vector<int>{0, 3, 6, 9}));
}

}  // namespace
}  // namespace camtap
