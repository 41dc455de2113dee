// DoRecCore: the handshake with memhub and statekeeper, the main loop, the
// end of a run and the restart after a reload.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "lib/platform/log.h"
#include "lib/platform/signals.h"
#include "lib/reccore/reccore.h"
#include "statekeeper/state_client.h"

namespace {

// Room the own queue may hold. The hub drops a consumer whose queue is full,
// so while the disc is slow the kernel should buffer more notices than its
// default 16 KiB (about 680). Raising it needs the privilege to pass the
// system limit; without it the default stays.
constexpr msglen_t kQueueBytes = 1 << 20;

enum RunEnd { kRunStopped = 0, kRunReload = 1, kRunFailed = -1 };

bool stop_raised() { return s_sigterm != 0 || s_sighup != 0; }

void install_signals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: msgrcv must return with EINTR
  sa.sa_handler = sigquit;
  sigaction(SIGQUIT, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = sighup;
  sigaction(SIGHUP, &sa, nullptr);
}

void raise_queue_room(int qid) {
  struct msqid_ds ds;
  if (msgctl(qid, IPC_STAT, &ds) != 0 || ds.msg_qbytes >= kQueueBytes) return;
  ds.msg_qbytes = kQueueBytes;
  msgctl(qid, IPC_SET, &ds);  // best effort
}

// The next message: a stashed one first (taken from the queue earlier, in
// order), else a new one, waiting. 1 with *e filled, 0 on stop, -1 on a
// receive failure.
int next_message(SaverContext* ctx, RcStashed* e) {
  if (rc_stash_pop(ctx, e)) return 1;
  for (;;) {
    MixedWire raw;
    size_t size = 0;
    StateMessage sm;
    int r = do_recv(ctx->hub.reply_qid, &raw, &size, &sm);
    if (r == 0) return stop_raised() ? 0 : -1;
    *e = RcStashed{};
    if (r == 2) {
      e->is_state = true;
      e->state = sm;
      return 1;
    }
    if (size != HUB_BODY_SIZE) continue;  // neither family: not ours
    hub_decode_body(raw.mtype, raw.body, &e->notice);
    e->stamp = arena_observe(&ctx->tracker, e->notice);
    return 1;
  }
}

// End of a run: write what is queued, close, leave the hub and statekeeper.
int end_run(SaverContext* ctx, int result) {
  SaverCallbacks* cb = ctx->cb;
  // From now on the queue is only drained to follow the writer; nothing
  // more is kept.
  ctx->stash_only_observe = true;
  ctx->stash_count = 0;
  if (ctx->failed) {
    // A store that failed is not asked to write more; sync what it has.
    if (cb->SyncFiles != nullptr) cb->SyncFiles(cb->user);
    result = kRunFailed;
  } else if (ctx->queue != nullptr && SaveALLData(ctx) != 0) {
    result = kRunFailed;
  }
  if (cb->CloseFiles != nullptr) cb->CloseFiles(cb->user);
  if (ctx->hub.connected) hub_disconnect(&ctx->hub, true);
  if (ctx->state_qid > 0 && ctx->hub.reply_qid >= 0) {
    state_unregister(ctx->state_qid, ctx->hub.reply_qid);
  }
  ctx->state_qid = -1;
  hub_close(&ctx->hub);
  ctx->base = nullptr;
  return result;
}

int log_hub_failure(int rc, const char* what) {
  dv::log_msg("%s %s %s\n", hub_result_word(rc), what, std::strerror(errno));
  return -1;
}

// One run from the handshake to its end.
int run_once(SaverContext* ctx, const char* argv0) {
  ctx->hub.stop = dv::StopFlags{&s_sigterm, &s_sighup};
  if (hub_open(&ctx->hub) != 0) {
    dv::log_msg("shmsgid error %s\n", std::strerror(errno));
    return kRunFailed;
  }
  if (hub_create_reply_queue(&ctx->hub, argv0) < 0) {
    dv::log_msg("my_msgid error %s\n", std::strerror(errno));
    return kRunFailed;
  }
  raise_queue_room(ctx->hub.reply_qid);
  int rc = hub_request_shm(&ctx->hub, true);
  if (rc != HUB_OK) {
    if (stop_raised()) return end_run(ctx, s_sigterm ? kRunStopped : kRunReload);
    log_hub_failure(rc, "SHM_MSG_TYPE_REQ_SHM");
    return end_run(ctx, kRunFailed);
  }
  ctx->base = ctx->hub.base;
  ctx->shm_size = ctx->hub.shm_size;
  ctx->budget = static_cast<int32_t>(static_cast<int64_t>(ctx->shm_size) * 2 / 3);
  arena_tracker_init(&ctx->tracker, ctx->shm_size);

  if (ReloadConfigFile(ctx, ctx->hub.hub_qid, ctx->hub.reply_qid) != 0) {
    if (stop_raised()) return end_run(ctx, s_sigterm ? kRunStopped : kRunReload);
    return end_run(ctx, kRunFailed);
  }
  if (hub_connect(&ctx->hub) != HUB_OK) {
    if (stop_raised()) return end_run(ctx, s_sigterm ? kRunStopped : kRunReload);
    dv::log_msg("send SHM_MSG_TYPE_CONNECT %s\n", std::strerror(errno));
    return end_run(ctx, kRunFailed);
  }

  // Wait for a GOP mark, so that the queue starts with a whole group.
  for (;;) {
    RcStashed e;
    int r = next_message(ctx, &e);
    if (r == 0) return end_run(ctx, s_sigterm ? kRunStopped : kRunReload);
    if (r < 0) {
      dv::log_msg("recv from server %s\n", std::strerror(errno));
      return end_run(ctx, kRunFailed);
    }
    if (e.is_state) continue;
    if (e.notice.type & SHM_MSG_FLAG_RELOAD) {
      if (ReloadConfigFile(ctx, ctx->hub.hub_qid, ctx->hub.reply_qid) != 0) {
        return end_run(ctx, stop_raised() ? (s_sigterm ? kRunStopped : kRunReload) : kRunFailed);
      }
      continue;
    }
    if (hub_kind(e.notice.type) == SHM_MSG_TYPE_ACK_MEM && (e.notice.type & SHM_MSG_FLAG_GOP)) {
      if (rc_on_notice(ctx, e.notice, e.stamp) != 0) return end_run(ctx, kRunFailed);
      break;
    }
  }

  ctx->state_qid = state_open();
  if (ctx->state_qid < 0) {
    dv::log_msg("Can't get state_key or disabled with args");
    ctx->state_qid = -1;
  } else if (state_register(ctx->state_qid, STATE_CLASS_SAVER, ctx->hub.reply_qid,
                            dv::StopFlags{&s_sigterm, &s_sighup}) != 0) {
    dv::log_msg("Can't connect to statekeeper");
    ctx->state_qid = -1;
  }

  int result = kRunStopped;
  while (!ctx->failed && !ctx->reload && !stop_raised()) {
    RcStashed e;
    int r = next_message(ctx, &e);
    if (r == 0) break;
    if (r < 0) {
      dv::log_msg("recv from server %s\n", std::strerror(errno));
      result = kRunFailed;
      break;
    }
    if (e.is_state) {
      rc_on_state(ctx, e.state);
    } else if (rc_on_notice(ctx, e.notice, e.stamp) != 0) {
      break;
    }
  }
  if (result == kRunStopped && !ctx->failed && (ctx->reload || (s_sighup && !s_sigterm))) {
    result = kRunReload;
  }
  return end_run(ctx, result);
}

}  // namespace

int ReloadConfigFile(SaverContext* ctx, int hub_qid, int own_qid) {
  dv::log_msg("Config Reload\n");
  if (hub_qid >= 0) ctx->hub.hub_qid = hub_qid;
  if (own_qid >= 0) ctx->hub.reply_qid = own_qid;
  int rc = hub_request_config_file(&ctx->hub, ctx->config_file, sizeof ctx->config_file);
  if (rc != HUB_OK) return log_hub_failure(rc, "SHM_MSG_TYPE_REQ_CONFIG_FILE");
  dv::log_msg("Config filename = '%s'\n", ctx->config_file);
  rc = hub_request_prefix(&ctx->hub, ctx->prefix, sizeof ctx->prefix);
  if (rc != HUB_OK) return log_hub_failure(rc, "SHM_MSG_TYPE_REQ_PREFIX");
  int32_t offset = 0, length = 0;
  rc = hub_request_config(&ctx->hub, &offset, &length);
  if (rc != HUB_OK) return log_hub_failure(rc, "SHM_MSG_TYPE_REQ_CONFIG");
  const uint8_t* digest = hub_digest_ptr(&ctx->hub, offset, length);
  ctx->digest_offset = offset;
  ctx->digest_length = digest != nullptr ? length : 0;

  ConfigHandle* ini = ConfigOpen(ctx->config_file, 0);
  if (ini == nullptr) {
    dv::log_msg("Unable to open config file %s\n", ctx->config_file);
    return -1;
  }
  rc_apply_config(ctx, ini, digest, digest != nullptr ? static_cast<size_t>(length) : 0);
  ConfigClose(ini);
  return 0;
}

int DoRecCore(int argc, char** argv, SaverCallbacks* callbacks, int report) {
  (void)argc;
  dv::log_msg("RecCore v1.0");
  if (callbacks == nullptr) {
    dv::log_msg("callback table undefined");
    return -1;
  }
  if (dv::set_priority(-10) != 0) dv::log_msg("Unable set priority(-10)");
  const char* argv0 = (argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
  bool restart = false;
  for (;;) {
    if (restart) dv::log_msg("(sighup) config reloading!\n");
    SaverContext* ctx = new (std::nothrow) SaverContext;
    if (ctx == nullptr) {
      dv::log_msg("cgv->malloc error");
      return -1;
    }
    rc_context_reset(ctx, callbacks, report);
    if (rc_queue_alloc(ctx) != 0) {
      dv::log_msg("cgv->msg_queue malloc error\n");
      delete ctx;
      return -1;
    }
    install_signals();
    rc_set_current(ctx);
    int r = run_once(ctx, argv0);
    rc_set_current(nullptr);
    delete ctx;
    if (r == kRunReload && !s_sigterm) {
      s_sighup = 0;
      restart = true;
      continue;
    }
    return r == kRunFailed ? -1 : 0;
  }
}
