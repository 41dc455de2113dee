// camtap's engine: one run of the daemon from registration with memhub to the
// stop (or the reload) - settings, decoder programming over I2C, the capture
// driver, one encoder per camera, the audio input, and the capture loop that
// codes every picture into the space memhub grants.
//
// Processes and signals: single-threaded. The signal handlers of main.cc only
// set the flags of CamtapFlags; the loop tests them between passes and every
// hub wait tests them after an interruption. While it waits for a grant the
// engine arms a one-second interval timer (SIGALRM sets `wake`), so that a hub
// that died without removing its queue is noticed instead of waited for
// forever.
#pragma once

#include <csignal>
#include <cstdint>

#include "capture/camtap_state.h"

namespace camtap {

struct CamtapFlags {
  volatile sig_atomic_t* stop;    // SIGTERM, SIGINT, SIGQUIT
  volatile sig_atomic_t* reload;  // SIGHUP
  volatile sig_atomic_t* wake;    // SIGALRM of the grant-wait timer
};

// Results of camtap_run.
enum RunResult {
  RUN_STOPPED = 0,   // stop flag, or a stop "as on SIGTERM"
  RUN_RELOAD = 1,    // SIGHUP: tear down, then run again
  RUN_FAILED = 2,    // something the daemon cannot go on without (exit status 1)
  RUN_NO_VIDEO = 3,  // no active camera (exit status -1)
};

// One run. argv0 names the program for the reply queue key; audio_buffer is
// the 131072-byte capture buffer and cycle the cycle bookkeeping that the
// caller keeps across reloads (the run starts its capture loop with
// cycle_loop_start). Everything acquired here is released before it returns.
int camtap_run(const char* argv0, uint8_t* audio_buffer, CycleState* cycle,
               const CamtapFlags& flags);

// Programs one TVP5150 decoder: bus (0, 1), 8-bit address (0xB8, 0xBA),
// standard register value (4 PAL/SECAM, 10 NTSC). Returns 0, -1 (no bus), -2
// (no slave), -3 (write failed).
int set_tvp(int bus, int address, int standard);

}  // namespace camtap
