// The per-frame rules of camtap's capture loop, as pure state machines:
// what a grant means for a camera (new GOP, frame divider, signal lost or
// back, which picture kind to code and what size to report), when an event
// mark and an event text are due, and the cycle bookkeeping that notices
// cameras the driver stopped delivering (reconfiguration, and the reboot
// after ten of them). The daemon (camtap.cc) performs the actions these
// functions decide; tests drive them directly.
#pragma once

#include <cstdint>

namespace camtap {

// Event state of one stream (video camera or audio channel).
struct EventState {
  int threshold = 64;       // level must exceed it
  int holdoff = 1;          // GOPs between texts
  int holdoff_counter = 0;  // counts GOPs down to 0; texts only at 0
  bool marked = false;      // an event mark was set in this GOP
  int counter = 0;          // running number of the event texts
};

// A new GOP of the stream (key grant): hold-off counted down, mark cleared.
void event_new_gop(EventState* e);

// Result of the event check of one frame.
struct EventDecision {
  bool mark = false;  // OR SHM_MSG_FLAG_EVENT into the acknowledgement
  bool text = false;  // publish an event text
};

// The level of a frame against the threshold: a text is due when the hold-off
// counter is 0; the first frame of a GOP over the threshold is marked and
// loads the hold-off.
EventDecision event_check(EventState* e, int level);

// What to do with a picture of a camera.
enum FrameAction {
  FRAME_CODE_INTRA,      // code an intra picture (MPEG-4 kind 2; JPEG anyway)
  FRAME_CODE_PREDICTED,  // code a predicted picture (MPEG-4 kind 4)
  FRAME_EMPTY,           // report size 0: no signal, nothing written
  FRAME_SKIP,            // report size -1: picture not taken
};

// Camera text due after a frame.
enum CameraText { TEXT_NONE = 0, TEXT_SIGNAL_LOST = -1, TEXT_SIGNAL_BACK = 1 };

struct VideoState {
  int fdiv = 1;
  int fdiv_countdown = 1;
  int frame_no = 0;
  bool lost = false;  // signal-lost state
  EventState events;
};

struct FrameDecision {
  FrameAction action = FRAME_SKIP;
  CameraText text = TEXT_NONE;
  bool no_signal = false;  // count the picture as one without signal
  uint32_t activity = 0;   // activity before coding (320 for an empty key picture)
};

// Applies a grant to the camera's state. key: the grant carries the key-frame
// flag; no_signal: the driver's no-signal bit of the picture.
//
// A camera whose signal comes back on a predicted grant is coded intra: the
// stream resumes with a picture that decodes without the pictures it missed.
FrameDecision video_frame(VideoState* v, bool key, bool no_signal);

// Activity count of a no-signal key picture.
constexpr uint32_t kNoSignalActivity = 320;

// The cycle bookkeeping (one cycle = one key grant per active camera). The
// reconfiguration countdown and attempt counter belong to the daemon and
// live across reloads; the rest starts afresh with every capture loop.
struct CycleState {
  int cycle_counter = 0;        // key grants left in the cycle
  unsigned missing_mask = 0;    // cameras that delivered nothing this cycle
  int reconfig_countdown = 10;  // faulty cycles until the next reconfiguration
  int attempts = 0;             // reconfigurations so far (never reset)
  int stat_countdown = 0;       // cycles until the next statistics lines
};

// A capture loop starts (at start-up and after every reload): the next key
// grant starts a cycle and no camera counts as missing yet. The
// reconfiguration countdown and attempt counter stay as they are, so a
// reload gives a camera that keeps failing no fresh start towards the reboot.
void cycle_loop_start(CycleState* c);

struct CycleDecision {
  bool new_cycle = false;    // time sum restarts, this frame's delta dropped
  bool reconfigure = false;  // "Reconfigure camera fault" ...
  bool reboot = false;       // ... and over 10 attempts: "reboot"
  int attempt = 0;           // attempt number to log (before counting it)
  unsigned missing = 0;      // missing-camera mask to log
  bool stats = false;        // log the driver statistics
};

// A picture of camera arrived from the driver.
void cycle_picture(CycleState* c, int camera);

// A key grant of an active camera. camera_mask/active_count: the active
// cameras; stat_gops: [camtap] stat_gops.
CycleDecision cycle_key_grant(CycleState* c, unsigned camera_mask, int active_count, int stat_gops);

}  // namespace camtap
