#include "capture/camtap_state.h"

namespace camtap {

void event_new_gop(EventState* e) {
  if (e->holdoff_counter != 0) --e->holdoff_counter;
  e->marked = false;
}

EventDecision event_check(EventState* e, int level) {
  EventDecision d;
  if (level <= e->threshold) return d;
  d.text = e->holdoff_counter == 0;
  if (!e->marked) {
    d.mark = true;
    e->marked = true;
    e->holdoff_counter = e->holdoff;
  }
  return d;
}

FrameDecision video_frame(VideoState* v, bool key, bool no_signal) {
  FrameDecision d;
  if (key) {
    v->fdiv_countdown = v->fdiv - 1;
    v->frame_no = 0;
    event_new_gop(&v->events);
    if (!no_signal) {
      if (v->lost) {
        v->lost = false;
        d.text = TEXT_SIGNAL_BACK;
      }
      d.action = FRAME_CODE_INTRA;
    } else {
      if (!v->lost) {
        v->lost = true;
        d.text = TEXT_SIGNAL_LOST;
      }
      d.no_signal = true;
      d.activity = kNoSignalActivity;
      d.action = FRAME_EMPTY;
    }
    return d;
  }
  if (v->fdiv_countdown != 0) {
    --v->fdiv_countdown;
    d.action = FRAME_SKIP;
    return d;
  }
  v->fdiv_countdown = v->fdiv - 1;
  ++v->frame_no;
  if (!no_signal) {
    if (v->lost) {
      v->lost = false;
      d.text = TEXT_SIGNAL_BACK;
      d.action = FRAME_CODE_INTRA;
    } else {
      d.action = FRAME_CODE_PREDICTED;
    }
  } else {
    d.no_signal = true;
    if (!v->lost) {
      v->lost = true;
      d.text = TEXT_SIGNAL_LOST;
      d.action = FRAME_EMPTY;
    } else {
      d.action = FRAME_SKIP;
    }
  }
  return d;
}

void cycle_loop_start(CycleState* c) {
  c->cycle_counter = 0;
  c->missing_mask = 0;
  c->stat_countdown = 0;
}

void cycle_picture(CycleState* c, int camera) {
  if (c->missing_mask != 0) c->missing_mask &= ~(1u << camera);
}

CycleDecision cycle_key_grant(CycleState* c, unsigned camera_mask, int active_count,
                              int stat_gops) {
  CycleDecision d;
  if (c->cycle_counter == 0) {
    d.new_cycle = true;
    if (c->missing_mask != 0) {
      if (c->reconfig_countdown == 0) {
        d.reconfigure = true;
        d.attempt = c->attempts;
        d.missing = c->missing_mask;
        d.reboot = c->attempts > 10;
        ++c->attempts;
        c->reconfig_countdown = 9;
      } else {
        --c->reconfig_countdown;
      }
    }
    c->missing_mask = camera_mask;
    c->cycle_counter = active_count;
    if (stat_gops != 0) {
      if (c->stat_countdown == 0) {
        d.stats = true;
        c->stat_countdown = stat_gops;
      }
      --c->stat_countdown;
    }
  }
  --c->cycle_counter;
  return d;
}

}  // namespace camtap
