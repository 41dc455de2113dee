// memhub: start-up, signals and the request loop around the hub engine.
//
// Owns the hub request queue (key 0x5F5A) and the shared segment (key 0x6F5A)
// and removes both when it stops. SIGTERM, SIGINT and SIGQUIT stop it; SIGHUP
// reloads the configuration into the other digest half. The watchdog is
// armed at start (unless the first argument begins with "-nowd") and kept
// alive at every GOP mark; it is never disarmed.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "hub/digest.h"
#include "hub/hub_client.h"
#include "hub/hub_engine.h"
#include "hub/hub_protocol.h"
#include "lib/devices/watchdog.h"
#include "lib/inistore/ini_store.h"
#include "lib/platform/ipc.h"
#include "lib/platform/log.h"
#include "lib/platform/signals.h"

namespace {

constexpr int kWatchdogTimeout = 120;

dv::SigFlag g_stop = 0;
dv::SigFlag g_reload = 0;

HubState g_hub;  // large (the PendingRing); kept out of the stack
dv::Watchdog g_wd;

int io_send(void*, int qid, const HubMessage& m) { return hub_send(qid, m, IPC_NOWAIT); }

int io_send_text(void*, int qid, const char* text) {
  HubTextReply r;
  std::memset(&r, 0, sizeof r);
  r.mtype = HUB_TEXT_REPLY_TYPE;
  std::strncpy(r.text, text, HUB_TEXT_SIZE - 1);
  return dv::msg_send(qid, &r, HUB_TEXT_SIZE, IPC_NOWAIT);
}

int32_t io_now(void*) { return static_cast<int32_t>(std::time(nullptr)); }

void io_kick(void*) {
  if (dv::watchdog_is_open(&g_wd)) dv::watchdog_kick(&g_wd);
}

bool io_queue_alive(void*, int qid) {
  struct msqid_ds ds;
  if (msgctl(qid, IPC_STAT, &ds) == 0) return true;
  return errno != EINVAL && errno != EIDRM;
}

int io_build_digest(void*, uint8_t* dst, HubStreamTables* tables, HubSettings* settings) {
  return digest_build(DigestSources(), g_hub.memsize, dst, HUB_DIGEST_HALF_SIZE, tables, settings);
}

void open_watchdog() {
  if (dv::watchdog_open(&g_wd) != 0) {
    dv::log_msg("Can't open wd");
    return;
  }
  if (dv::watchdog_set_timeout(&g_wd, kWatchdogTimeout) != 0) {
    dv::log_msg("Can't set wd timeout");
    dv::watchdog_close(&g_wd);
    return;
  }
  if (dv::watchdog_set_options(&g_wd, dv::kWatchdogEnable) != 0) {
    dv::log_msg("Can't enable wd");
    dv::watchdog_close(&g_wd);
    return;
  }
  dv::log_msg("WD enabled");
}

// [common] memsize, at least 16 MiB. -1 when the file cannot be opened.
int read_memsize(int32_t* memsize) {
  ConfigHandle* h = ConfigOpen(HUB_CONFIG_FILE, 0);
  if (h == nullptr) return -1;
  int32_t v = 0;
  int rc = ConfigGetInt(h, &v, "common", "memsize");
  ConfigClose(h);
  if (rc != CONFIG_OK) {
    dv::log_msg("common/memsize %s\n", ConfigError(rc));
    v = HUB_MIN_MEMSIZE;
  }
  if (v < HUB_MIN_MEMSIZE) v = HUB_MIN_MEMSIZE;
  *memsize = v;
  return 0;
}

// The request loop. Returns 0 after a stop, 1 after a failed reload.
int serve() {
  struct {
    long mtype;
    uint8_t body[64];
  } raw;
  while (!g_stop) {
    if (g_reload) {
      g_reload = 0;
      dv::log_msg("SIGHUP\n");
      if (hub_reload(&g_hub) != 0) return 1;
      continue;
    }
    ssize_t n = msgrcv(g_hub.hub_qid, &raw, sizeof raw.body, 0, MSG_NOERROR);
    if (n < 0) {
      if (errno == EINTR) continue;
      dv::log_msg("msgrcv %s\n", std::strerror(errno));
      if (errno == EIDRM || errno == EINVAL) return 1;  // the queue was removed under us
      continue;
    }
    if (static_cast<size_t>(n) != HUB_BODY_SIZE) {
      dv::log_msg("Bad request size %d\n", static_cast<int>(n));
      continue;
    }
    HubMessage m;
    hub_decode_body(raw.mtype, raw.body, &m);
    hub_handle(&g_hub, m);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  dv::log_open("memhub", LOG_NDELAY | LOG_NOWAIT);
  dv::log_msg("memhub v2.3\n");
  if (dv::set_priority(-10) != 0) dv::log_msg("Unable set priority(-10)");

  if (argc > 1 && std::strncmp(argv[1], "-nowd", 5) == 0) {
    dv::log_msg("Watchdog off");
  } else {
    open_watchdog();
  }

  dv::on_stop_signals(&g_stop);
  dv::on_signal(SIGHUP, &g_reload);

  // The hub queue. A queue left over by an earlier hub is taken over; one we
  // create here is removed again on every way out.
  bool queue_created = true;
  int qid = msgget(HUB_QUEUE_KEY, IPC_CREAT | IPC_EXCL | 0777);
  if (qid < 0 && errno == EEXIST) {
    queue_created = false;
    qid = msgget(HUB_QUEUE_KEY, IPC_CREAT | 0777);
  }
  if (qid < 0) {
    dv::log_msg("shmsgid error %s\n", std::strerror(errno));
    dv::log_close();
    return -1;
  }
  auto drop_queue = [&] {
    if (queue_created) msgctl(qid, IPC_RMID, nullptr);
  };

  int32_t memsize = 0;
  if (read_memsize(&memsize) != 0) {
    dv::log_msg("Config file is not found %s\n", HUB_CONFIG_FILE);
    drop_queue();
    dv::log_close();
    return 1;
  }

  // The segment is created exclusively: a left-over one (or a running hub's)
  // makes the start fail. A new segment is zero-filled by the kernel.
  int shmid = shmget(HUB_SEGMENT_KEY, static_cast<size_t>(memsize), IPC_CREAT | IPC_EXCL | 0777);
  if (shmid < 0) {
    dv::log_msg("shmID error %s\n", std::strerror(errno));
    drop_queue();
    dv::log_close();
    return -1;
  }
  void* base = shmat(shmid, nullptr, 0);
  if (base == reinterpret_cast<void*>(-1)) {
    dv::log_msg("shmID error %s\n", std::strerror(errno));
    shmctl(shmid, IPC_RMID, nullptr);
    drop_queue();
    dv::log_close();
    return -1;
  }
  // Once the queue holds the hub's requests it is ours to remove.
  queue_created = true;

  HubState* h = &g_hub;
  h->io.send = io_send;
  h->io.send_text = io_send_text;
  h->io.now = io_now;
  h->io.kick = io_kick;
  h->io.queue_alive = io_queue_alive;
  h->io.build_digest = io_build_digest;
  h->hub_qid = qid;
  h->shm_id = shmid;
  h->memsize = memsize;
  h->base = static_cast<uint8_t*>(base);

  int status = 0;
  int len = digest_build(DigestSources(), memsize, h->base + HUB_DIGEST_HALF_A,
                         HUB_DIGEST_HALF_SIZE, &h->streams, &h->settings);
  if (len < 0) {
    status = 1;  // nothing to serve
  } else {
    h->digest_length = len;
    hub_start(h);
    if (dv::daemonize() != 0) {
      dv::log_msg("Demonization failed");
      status = 1;
    } else {
      status = serve();
    }
  }

  shmdt(base);
  shmctl(shmid, IPC_RMID, nullptr);
  drop_queue();
  dv::watchdog_close(&g_wd);
  dv::log_msg("Done, WATCH DOG CONTINUE WORK\n");
  dv::log_close();
  return status;
}
