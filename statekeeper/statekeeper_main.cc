// statekeeper: start-up, signals and the service loop around the state
// engine (state_engine.h).
//
// It owns the state manager queue (key 0x9F9F), which is also its reply queue
// towards memhub: client messages (19 bytes) and hub notices (24 bytes) arrive
// on it side by side. SIGTERM, SIGINT, SIGQUIT and SIGHUP end the loop;
// SIGSEGV logs and goes the same way out. Every send to a client is made
// without blocking, so one stuck client cannot stall the others.
#include <setjmp.h>
#include <syslog.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "hub/hub_client.h"
#include "lib/inistore/ini_store.h"
#include "lib/platform/ipc.h"
#include "lib/platform/log.h"
#include "lib/platform/signals.h"
#include "lib/platform/sysroot.h"
#include "lib/platform/timezone.h"
#include "statekeeper/schedule.h"
#include "statekeeper/state_client.h"
#include "statekeeper/state_engine.h"

namespace {

dv::SigFlag g_stop = 0;
dv::SigFlag g_hup = 0;
sigjmp_buf g_fault_jump;

// A fault cannot be survived by returning (the instruction would fault
// again): jump to the way out instead. The handler is reset on entry, so a
// second fault ends the process.
void on_fault(int) { siglongjmp(g_fault_jump, 1); }

struct Io {
  int own = -1;
  dv::StopFlags stop;
};

int io_send(void* ctx, int qid, const StateMessage& m) {
  Io* io = static_cast<Io*>(ctx);
  return state_send(qid, m, IPC_NOWAIT, io->stop) == 0 ? 0 : -1;
}

bool io_alive(void*, int qid) {
  struct msqid_ds ds;
  if (msgctl(qid, IPC_STAT, &ds) == 0) return true;
  return errno != EINVAL && errno != EIDRM;
}

// TZ from the first line of /etc/TZ.
void read_tz() {
  switch (dv::load_tz()) {
    case dv::kTzCannotOpen:
      dv::log_msg("Error: Can't open time zone info %s\n", "/etc/TZ");
      break;
    case dv::kTzCannotSet:
      dv::log_msg("Error: Can't set TZ");
      break;
    case dv::kTzOk:
      break;
  }
}

const dv::StopFlags kStop{&g_stop, &g_hup};

// The service loop: client messages to the engine, GOP marks of the hub's
// notices to the schedule.
void serve(int own, StateKeeper* keeper) {
  while (!kStop.raised()) {
    StateMessage m;
    MixedWire raw;
    size_t n = 0;
    StateRecvResult got = state_recv(own, &m, &raw, &n, 0, kStop);
    if (got == STATE_RECV_ERROR) {
      if (!kStop.raised()) dv::log_msg("Internal error, exiting...\n");
      return;
    }
    if (got == STATE_RECV_STATE) {
      state_keeper_message(keeper, m);
    } else if (got == STATE_RECV_OTHER && n == HUB_BODY_SIZE) {
      HubMessage notice;
      hub_decode_body(raw.mtype, raw.body, &notice);
      if (hub_kind(notice.type) == SHM_MSG_TYPE_ACK_MEM && (notice.type & SHM_MSG_FLAG_GOP)) {
        state_keeper_gop(keeper, notice.gop_time);
      }
    }
  }
}

}  // namespace

int main(int, char**) {
  dv::log_open("statekeeper", LOG_NDELAY | LOG_NOWAIT);
  dv::on_stop_signals(&g_stop);
  dv::on_signal(SIGHUP, &g_hup);

  HubClient hub;
  hub.stop = kStop;
  if (hub_open(&hub) != 0) {
    dv::log_msg("shm_id error %s\n", std::strerror(errno));
    return -1;
  }
  int own = msgget(STATE_QUEUE_KEY, IPC_CREAT | 0777);
  if (own < 0) {
    dv::log_msg("Can't create queue\n");
    return -1;
  }
  dv::OwnedQueue own_queue;
  own_queue.adopt(own);
  hub_use_reply_queue(&hub, own);
  int r = hub_request_shm(&hub, true);
  if (r != HUB_OK) {
    if (r == HUB_SEND_FAILED) {
      dv::log_msg("Can't send data to shm\n");
    } else if (r == HUB_ATTACH_FAILED) {
      dv::log_msg("shmat error %s\n", std::strerror(errno));
    } else {
      dv::log_msg("Can't recv data from shm\n");
    }
    return -1;
  }

  ConfigHandle* config = ConfigOpen(HUB_CONFIG_FILE, 0);
  if (config == nullptr) {
    dv::log_msg("Can't read config\n");
    return -1;
  }
  ConfigClose(config);

  // Without a schedule file nothing is allowed by the schedule: every mask
  // 0 and mode 0.
  WeekSchedule schedule;
  if (schedule_read(&schedule) != 0) {
    std::memset(&schedule, 0, sizeof schedule);
  }

  if (hub_connect(&hub) != HUB_OK) {
    dv::log_msg("Can't connect to shm\n");
    return -1;
  }
  read_tz();

  Io io;
  io.own = own;
  io.stop = kStop;
  StateIo sio;
  sio.ctx = &io;
  sio.send = io_send;
  sio.alive = io_alive;
  static StateKeeper keeper;
  state_keeper_init(&keeper, schedule, own, sio, std::time(nullptr));

  if (sigsetjmp(g_fault_jump, 1) == 0) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_fault;
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);
    serve(own, &keeper);
  } else {
    dv::log_msg("Sigfault :)\n");
  }

  state_keeper_stop(&keeper);
  own_queue.release();
  hub_disconnect(&hub, true);
  hub_close(&hub);
  dv::log_close();
  return 0;
}
