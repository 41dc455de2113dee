// camtap: the capture daemon. Start-up (log, priority, signals, the audio
// buffer and the cycle bookkeeping kept across reloads), then one run of the engine after another:
// SIGHUP tears everything down and registers anew, SIGTERM, SIGINT and
// SIGQUIT stop. Takes no arguments.
//
// Exit status: 0 after a stop, 1 when something it needs failed (hub,
// configuration, capture driver, encoder), 255 (-1) without any active camera
// or audio buffer.
#include <syslog.h>

#include <csignal>
#include <cstdlib>

#include "capture/audio/audio.h"
#include "capture/camtap.h"
#include "lib/jcodec/jcodec.h"
#include "lib/platform/log.h"
#include "lib/platform/signals.h"

namespace {

dv::SigFlag g_stop = 0;
dv::SigFlag g_reload = 0;
dv::SigFlag g_wake = 0;

}  // namespace

int main(int /*argc*/, char** argv) {
  dv::log_open("camtap", LOG_NDELAY | LOG_NOWAIT);
  dv::log_msg("Camtap v2.4\n");
  if (dv::set_priority(-20) != 0) dv::log_msg("Unable set priority(-20)");

  dv::on_stop_signals(&g_stop);
  dv::on_signal(SIGHUP, &g_reload);
  dv::on_signal(SIGALRM, &g_wake);
  dv::ignore_signal(SIGPIPE);

  auto* audio_buffer = static_cast<uint8_t*>(std::malloc(AUDIO_BUFFER_SIZE));
  if (audio_buffer == nullptr) {
    dv::log_msg("audio_buff malloc - nomem\n");
    dv::log_close();
    return -1;
  }
  if (dv::daemonize() != 0) dv::log_msg("Demonization failed");

  const camtap::CamtapFlags flags{&g_stop, &g_reload, &g_wake};
  // The reconfiguration countdown and attempt counter live as long as the
  // daemon.
  camtap::CycleState cycle;
  int status = 0;
  for (;;) {
    const int rc = camtap::camtap_run(argv[0], audio_buffer, &cycle, flags);
    if (rc == camtap::RUN_RELOAD && !g_stop) {
      g_reload = 0;
      dv::log_msg("RELOADING CONFIG!\n");
      continue;
    }
    if (rc == camtap::RUN_FAILED) status = 1;
    if (rc == camtap::RUN_NO_VIDEO) status = -1;
    break;
  }
  free_stream_table();
  std::free(audio_buffer);
  dv::log_close();
  return status;
}
