// The recording decisions of libreccore: the configuration read, the notice
// queue, event, serial-alarm, general-event and schedule handling, the
// countdowns, and SaveGOPData. Nothing here waits on a queue; rc_pump only
// drains what is already there.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hub/digest_reader.h"
#include "lib/platform/log.h"
#include "lib/reccore/reccore.h"
#include "statekeeper/state_client.h"

uint8_t hour_rec = 0;
volatile sig_atomic_t s_sigterm = 0;
volatile sig_atomic_t s_sighup = 0;

namespace {

// The context of the running DoRecCore, for RecCoreNoticeStamp and
// RecCorePayloadIntact (programs reach them from their callbacks).
SaverContext* g_current = nullptr;

int32_t seconds_to_groups(int64_t seconds) {
  return static_cast<int32_t>((seconds + RC_GROUP_SECONDS) / RC_GROUP_SECONDS);
}

bool reporting(const SaverContext* ctx) { return ctx->report_flag == 1 && ctx->notify != 0; }

// Sends one state message (type 1, kind 0, the own queue) to statekeeper.
void send_state(SaverContext* ctx, uint32_t state, uint8_t value, uint8_t alarm,
                bool general_event) {
  StateMessage m = state_message(STATE_KIND_RECORDER, ctx->hub.reply_qid, state, value, alarm, 0);
  if (general_event) {
    m.reserved[0] = 1;  // byte 13
    m.hold = 1;         // byte 22
  }
  if (ctx->send_state != nullptr) {
    ctx->send_state(ctx, m);
    return;
  }
  if (ctx->state_qid < 1) return;
  int r = ss_send(ctx->state_qid, &m);
  if (r == -1 && errno != EINTR) {
    dv::log_msg("Can't send message to statekeeper");
    // A removed queue does not come back under the same id: stop trying
    // until the next run registers again.
    if (errno == EIDRM || errno == EINVAL) ctx->state_qid = -1;
  }
}

void send_camera(SaverContext* ctx, int cam, uint8_t value, uint8_t alarm) {
  if (cam < 0 || cam >= RC_CAMERAS || !reporting(ctx)) return;
  send_state(ctx, STATE_CAMERA_RECORD_0 + static_cast<uint32_t>(cam), value, alarm, false);
}

void send_general_event(SaverContext* ctx, uint8_t value) {
  // The end of a general event needs only the notify flag, so a program that
  // does not report camera states still ends what another one started.
  if (ctx->notify == 0) return;
  if (value != 0 && ctx->report_flag != 1) return;
  send_state(ctx, STATE_GENERAL_EVENT, value, 1, true);
}

// Starts recording stream u for dtime groups after the queued ones, as a
// general event reaches it (the loop of the event step).
void general_event_reaches(SaverContext* ctx, uint8_t u) {
  SaverCallbacks* cb = ctx->cb;
  if (hour_rec && ctx->record[u] >= 0) {
    ctx->record[u] = ctx->dtime[u] + ctx->groups;
    if (ctx->report[u] == 0 && u < RC_CAMERAS) send_camera(ctx, u, ctx->on[u], 0);
    ctx->report[u] = ctx->dtime[u];
  }
  if (u < RC_CLIP_STREAMS && ctx->clip[u] == 0 && cb->VidsCommonAchtung != nullptr &&
      cb->VidsCommonAchtung(cb->user, u) != 0) {
    ctx->clip[u] = ctx->dtime[u] + ctx->groups;
  }
}

// A notice that carries SHM_MSG_FLAG_EVENT.
void handle_event(SaverContext* ctx, const HubMessage& n) {
  SaverCallbacks* cb = ctx->cb;
  int s = hub_stream(n.type);
  int m = ctx->report_map[s];
  if (cb->BeforeAchtungLogic != nullptr) cb->BeforeAchtungLogic(cb->user);
  if (hour_rec) {
    if (!ctx->rmove[m]) {
      if (ctx->grevt[m] && m < RC_CAMERAS) send_general_event(ctx, 1);
    } else {
      ctx->record[m] = ctx->dtime[m] + ctx->groups;
      if (ctx->report[m] == 0 && m < RC_CAMERAS) {
        send_camera(ctx, m, ctx->on[m], ctx->grevt[m]);
      }
      ctx->report[m] = ctx->dtime[m];
    }
    if (ctx->grevt[m] && m < RC_CAMERAS) ctx->ge_hold[m] = ctx->dtime[m];
  }
  if (m < RC_CLIP_STREAMS && (n.stream_type & T_TEXT) && ctx->clip[m] == 0 &&
      cb->VidsAchtung != nullptr) {
    // The text as a bounded, terminated copy: the payload need not end in a
    // NUL and may lie at the very end of the segment.
    char text[256];
    size_t len = 0;
    const uint8_t* p = hub_payload(&ctx->hub, n);
    if (p == nullptr && ctx->base != nullptr && hub_notice_in_arena(n, ctx->shm_size)) {
      p = ctx->base + n.offset;
    }
    if (p != nullptr && n.size > 0) {
      size_t max = static_cast<size_t>(n.size) < sizeof text - 1 ? static_cast<size_t>(n.size)
                                                                 : sizeof text - 1;
      const void* z = std::memchr(p, 0, max);
      len = z != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(z) - p) : max;
      std::memcpy(text, p, len);
    }
    text[len] = '\0';
    if (cb->VidsAchtung(cb->user, s, m, n.gop_time, text) != 0) {
      ctx->clip[m] = ctx->dtime[m] + ctx->groups;
    }
  }
  if (ctx->grevt[m]) {
    for (int u = 0; u < RC_STREAMS; ++u) {
      if (ctx->rgevt[u]) general_event_reaches(ctx, static_cast<uint8_t>(u));
    }
  }
  if (cb->AfterAchtungLogic != nullptr) cb->AfterAchtungLogic(cb->user);
}

int grow_queue(SaverContext* ctx) {
  int cap = ctx->max_msgs + RC_QUEUE_STEP;
  dv::log_msg("Realloc cgv->max_msgs to %d\n", cap);
  size_t entries = static_cast<size_t>(cap) + 1;
  HubMessage* q = static_cast<HubMessage*>(std::realloc(ctx->queue, entries * sizeof(HubMessage)));
  if (q == nullptr) {
    dv::log_msg("cgv->msg_queue REalloc failed!\n");
    return -1;
  }
  ctx->queue = q;
  uint64_t* st = static_cast<uint64_t*>(std::realloc(ctx->stamps, entries * sizeof(uint64_t)));
  if (st == nullptr) {
    dv::log_msg("cgv->msg_queue REalloc failed!\n");
    return -1;
  }
  ctx->stamps = st;
  uint8_t* lost = static_cast<uint8_t*>(std::realloc(ctx->lost, entries));
  if (lost == nullptr) {
    dv::log_msg("cgv->msg_queue REalloc failed!\n");
    return -1;
  }
  ctx->lost = lost;
  ctx->max_msgs = cap;
  return 0;
}

// Writes groups while the budget or the pre-record is full. only_complete:
// outside a GOP mark, only whole groups may go (never the one still
// growing).
int forced_writing(SaverContext* ctx, bool at_gop_mark) {
  auto due = [ctx, at_gop_mark]() {
    if (ctx->msgs == 0) return false;
    if (!at_gop_mark) return ctx->groups > 0 && ctx->queued_bytes >= ctx->budget;
    return ctx->queued_bytes >= ctx->budget || ctx->groups >= ctx->prerecord;
  };
  if (!due()) return 0;
  SaverCallbacks* cb = ctx->cb;
  if (cb->SyncFiles != nullptr) cb->SyncFiles(cb->user);
  while (due()) {
    if (SaveGOPData(ctx) != 0) {
      ctx->failed = true;
      return -1;
    }
  }
  return 0;
}

bool stamp_intact(const SaverContext* ctx, int i) {
  const HubMessage& n = ctx->queue[i];
  if (n.size == 0) return true;  // names no bytes (a camera without signal)
  return arena_intact(&ctx->tracker, ctx->stamps[i]);
}

// Marks notice i lost, and with it the frames of its video stream that
// follow in the group up to that stream's next key frame.
int mark_lost(SaverContext* ctx, int i, int n) {
  int count = 0;
  const HubMessage& first = ctx->queue[i];
  if (!ctx->lost[i]) {
    ctx->lost[i] = 1;
    ++count;
  }
  if (!(first.stream_type & T_VIDEO)) return count;
  int s = hub_stream(first.type);
  for (int k = i + 1; k < n; ++k) {
    const HubMessage& q = ctx->queue[k];
    if (hub_stream(q.type) != s) continue;
    if (q.frame_no == 0 || (q.type & SHM_MSG_FLAG_KEY)) break;
    if (!ctx->lost[k]) {
      ctx->lost[k] = 1;
      ++count;
    }
  }
  return count;
}

}  // namespace

SaverContext::~SaverContext() {
  if (g_current == this) g_current = nullptr;
  std::free(queue);
  std::free(stamps);
  std::free(lost);
  std::free(stash);
}

void sigquit(int) { s_sigterm = 1; }
void sighup(int) { s_sighup = 1; }
void sigfault(int sig) {
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void rc_set_current(SaverContext* ctx) { g_current = ctx; }

void rc_context_reset(SaverContext* ctx, SaverCallbacks* cb, int report) {
  std::free(ctx->queue);
  std::free(ctx->stamps);
  std::free(ctx->lost);
  std::free(ctx->stash);
  ctx->queue = nullptr;
  ctx->stamps = nullptr;
  ctx->lost = nullptr;
  ctx->stash = nullptr;
  hub_close(&ctx->hub);
  ctx->state_qid = -1;
  ctx->base = nullptr;
  ctx->shm_size = 0;
  ctx->digest_offset = 0;
  ctx->digest_length = 0;
  std::memset(ctx->prefix, 0, sizeof ctx->prefix);
  std::memset(ctx->config_file, 0, sizeof ctx->config_file);
  ctx->max_msgs = 0;
  ctx->msgs = 0;
  ctx->groups = 0;
  ctx->queued_bytes = 0;
  ctx->budget = 0;
  ctx->prerecord = 1;
  for (int s = 0; s < RC_STREAMS; ++s) {
    ctx->record[s] = -1;
    ctx->report[s] = 0;
    ctx->dtime[s] = 1;
    ctx->rmove[s] = 0;
    ctx->rgevt[s] = 0;
    ctx->grevt[s] = 0;
    ctx->report_map[s] = static_cast<uint16_t>(s);
  }
  for (int s = 0; s < RC_CLIP_STREAMS; ++s) {
    ctx->clip[s] = 0;
    ctx->on[s] = 0;
    ctx->fdiv[s] = 0;
  }
  for (int c = 0; c < RC_CAMERAS; ++c) ctx->ge_hold[c] = 0;
  ctx->cb = cb;
  ctx->report_flag = report;
  ctx->notify = 0;
  ctx->last_gop_time = 0;
  ctx->tracker = ArenaTracker();
  ctx->stash_cap = 0;
  ctx->stash_head = 0;
  ctx->stash_count = 0;
  ctx->stash_only_observe = false;
  ctx->reload = false;
  ctx->failed = false;
  ctx->gop_seen = false;
}

int rc_queue_alloc(SaverContext* ctx) {
  size_t entries = RC_QUEUE_STEP + 1;  // and one spare
  ctx->queue = static_cast<HubMessage*>(std::calloc(entries, sizeof(HubMessage)));
  ctx->stamps = static_cast<uint64_t*>(std::calloc(entries, sizeof(uint64_t)));
  ctx->lost = static_cast<uint8_t*>(std::calloc(entries, 1));
  if (ctx->queue == nullptr || ctx->stamps == nullptr || ctx->lost == nullptr) return -1;
  ctx->max_msgs = RC_QUEUE_STEP;
  return 0;
}

void rc_apply_config(SaverContext* ctx, ConfigHandle* ini, const uint8_t* digest, size_t length) {
  int32_t pre = 0;
  int rc = ConfigGetInt(ini, &pre, "saver", "prerecord");
  if (rc != CONFIG_OK) {
    dv::log_msg("saver/prerecord %s\n", ConfigError(rc));
    pre = 0;
  }
  if (pre < 0) pre = RC_PRERECORD_FOREVER;
  ctx->prerecord = seconds_to_groups(pre);

  bool any_rmove = false;
  DigestReader r;
  if (digest != nullptr && digest_reader_open(&r, digest, length) == 0) {
    DigestStream ds;
    while (digest_next_stream(&r, &ds) == 1) {
      int g = ds.number;
      if (g < 0 || g >= RC_STREAMS) continue;
      char section[32];
      std::snprintf(section, sizeof section, "stream_%d", g);
      int32_t v = 0;
      if (g < RC_CLIP_STREAMS) {
        ctx->on[g] = (ConfigGetInt(ini, &v, section, "ON") == CONFIG_OK && v != 0) ? 1 : 0;
        ctx->fdiv[g] =
            ConfigGetInt(ini, &v, section, "fdiv") == CONFIG_OK ? static_cast<uint8_t>(v) : 1;
      }
      if (ConfigGetInt(ini, &v, section, "dtime") == CONFIG_OK && v > 0) {
        ctx->dtime[g] = seconds_to_groups(v);
      }
      ctx->record[g] = -1;
      if (ConfigGetInt(ini, &v, section, "rmove") == CONFIG_OK && v != 0) {
        ctx->rmove[g] = 1;
        ctx->record[g] = 0;
        any_rmove = true;
      }
      ctx->rgevt[g] = (ConfigGetInt(ini, &v, section, "rgevt") == CONFIG_OK && v != 0) ? 1 : 0;
      ctx->grevt[g] = (ConfigGetInt(ini, &v, section, "grevt") == CONFIG_OK && v != 0) ? 1 : 0;
      if (ConfigGetInt(ini, &v, section, "drep") == CONFIG_OK && v >= 0 && v < RC_STREAMS) {
        ctx->report_map[v] = static_cast<uint16_t>(g);
      }
    }
  }
  if (!any_rmove) {
    dv::log_msg("Prerecord will be off!\n");
    ctx->prerecord = 1;
  }
  ctx->notify = 1;
  SaverCallbacks* cb = ctx->cb;
  if (cb->OnConfigReload != nullptr) {
    cb->OnConfigReload(cb->user, ini, ctx->prefix, ctx->base, ctx->digest_offset,
                       ctx->digest_length, ctx->budget, ctx->on, ctx->fdiv, ctx->rmove,
                       &ctx->notify);
  }
}

int rc_on_notice(SaverContext* ctx, const HubMessage& n, uint64_t stamp) {
  if (n.type & SHM_MSG_FLAG_RELOAD) {
    ctx->reload = true;
    return 0;
  }
  if (hub_kind(n.type) != SHM_MSG_TYPE_ACK_MEM) return 0;
  SaverCallbacks* cb = ctx->cb;
  if (n.type & SHM_MSG_FLAG_GOP) {
    ctx->last_gop_time = n.gop_time;
    if (ctx->msgs > 0) ++ctx->groups;
    if (forced_writing(ctx, true) != 0) return -1;
    ctx->gop_seen = false;
    if (cb->FileCloseCheck != nullptr) cb->FileCloseCheck(cb->user);
  } else if (ctx->queued_bytes >= ctx->budget && ctx->groups > 0) {
    // The budget is full between two GOP marks: whole groups go now rather
    // than at the next mark, when the writer may have reached them.
    if (forced_writing(ctx, false) != 0) return -1;
  }
  if (n.type & SHM_MSG_FLAG_EVENT) handle_event(ctx, n);

  if (ctx->msgs >= ctx->max_msgs && grow_queue(ctx) != 0) {
    ctx->failed = true;
    return -1;
  }
  ctx->queue[ctx->msgs] = n;
  ctx->stamps[ctx->msgs] = stamp;
  ctx->lost[ctx->msgs] = 0;
  ++ctx->msgs;
  if (n.size > 0) ctx->queued_bytes += n.size;
  return 0;
}

void rc_on_state(SaverContext* ctx, const StateMessage& m) {
  SaverCallbacks* cb = ctx->cb;
  if (m.type == STATE_MSG_STATE) {
    uint32_t st = m.state;
    if (st >= STATE_SERIAL_INPUT_0 && st < STATE_SERIAL_INPUT_0 + STATE_SERIAL_INPUT_COUNT) {
      if (m.value != 1 || !hour_rec) return;
      int c = static_cast<int>(st - STATE_SERIAL_INPUT_0);
      if (cb->BeforeAchtungLogic != nullptr) cb->BeforeAchtungLogic(cb->user);
      if (m.hold == 0 && ctx->record[c] != -1 && ctx->report[c] < 2) {
        ctx->record[c] = ctx->dtime[c] + ctx->groups;
        if (ctx->report[c] == 0) send_camera(ctx, c, ctx->on[c], ctx->grevt[c]);
        ctx->report[c] = ctx->dtime[c];
      }
      if (m.kind != STATE_KIND_REPEAT && ctx->clip[c] == 0 && cb->VidsRSAchtung != nullptr &&
          cb->VidsRSAchtung(cb->user, c, ctx->last_gop_time) != 0) {
        int t = ctx->report_map[c];
        if (t < RC_CLIP_STREAMS) ctx->clip[t] = ctx->dtime[t] + ctx->groups;
      }
      if (m.alarm) {
        for (int u = 0; u < RC_STREAMS; ++u) {
          if (ctx->rgevt[u] && ctx->report[u] < ctx->dtime[u]) {
            general_event_reaches(ctx, static_cast<uint8_t>(u));
          }
        }
        ctx->ge_hold[c] = ctx->dtime[c];
      }
      if (cb->AfterAchtungLogic != nullptr) cb->AfterAchtungLogic(cb->user);
      return;
    }
    if (st == STATE_SCHEDULE) {
      hour_rec = m.value;
      if (ctx->report_flag == 1) {
        for (int i = 0; i < RC_CAMERAS; ++i) {
          uint8_t v =
              (hour_rec == 1 && ctx->on[i] && (ctx->record[i] == -1 || ctx->report[i] > 0)) ? 1 : 0;
          send_camera(ctx, i, v, ctx->ge_hold[i] >= 1 ? v : 0);
        }
      }
      if (cb->OnRecordEnable != nullptr) cb->OnRecordEnable(cb->user, ctx->last_gop_time);
    }
    return;
  }
  if (m.type == STATE_MSG_IGNORED) return;
  // Unregister (statekeeper stops) or anything else: no more reports.
  ctx->state_qid = -1;
}

int rc_group_length(const SaverContext* ctx) {
  if (ctx->msgs == 0) return 0;
  for (int i = 1; i < ctx->msgs; ++i) {
    if (ctx->queue[i].type & SHM_MSG_FLAG_GOP) return i;
  }
  return ctx->msgs;
}

int SaveGOPData(SaverContext* ctx) {
  if (ctx->msgs == 0) return 0;
  SaverCallbacks* cb = ctx->cb;
  if (cb->BeforeSaveGOPData != nullptr && cb->BeforeSaveGOPData(cb->user, ctx->queue) != 0) {
    return 1;
  }
  int n = rc_group_length(ctx);

  // The flags of each stream for this group, taken once: messages drained
  // while the group is written are handled only afterwards, but keep them
  // from changing a group half way.
  uint8_t rec[RC_STREAMS], sched[RC_STREAMS], clip[RC_STREAMS];
  for (int s = 0; s < RC_STREAMS; ++s) {
    rec[s] = ctx->record[s] > 0;
    sched[s] = hour_rec && ctx->record[s] != 0;
    clip[s] = s < RC_CLIP_STREAMS && ctx->clip[s] > 0;
  }

  // Which payloads the writer may have reached already.
  rc_pump(ctx);
  int dropped = 0;
  for (int i = 0; i < n; ++i) ctx->lost[i] = 0;
  for (int i = 0; i < n; ++i) {
    if (!ctx->lost[i] && !stamp_intact(ctx, i)) dropped += mark_lost(ctx, i, n);
  }

  if (cb->CalcActivAndEvents != nullptr) {
    for (int i = 0; i < n; ++i) {
      if (ctx->lost[i]) continue;
      int s = hub_stream(ctx->queue[i].type);
      cb->CalcActivAndEvents(cb->user, &ctx->queue[i], rec[s], sched[s], clip[s]);
    }
  }
  for (int i = 0; i < n; ++i) {
    if (!ctx->lost[i]) {
      rc_pump(ctx);
      if (!stamp_intact(ctx, i)) dropped += mark_lost(ctx, i, n);
    }
    if (ctx->lost[i]) continue;
    int s = hub_stream(ctx->queue[i].type);
    if (cb->SaveBlock != nullptr &&
        cb->SaveBlock(cb->user, &ctx->queue[i], rec[s], sched[s], clip[s]) != 0) {
      return 1;
    }
  }
  if (dropped > 0) dv::log_msg("Frames overwritten in shared memory: %d dropped\n", dropped);

  for (int i = 0; i < n; ++i) {
    if (ctx->queue[i].size > 0) ctx->queued_bytes -= ctx->queue[i].size;
  }
  if (ctx->queued_bytes < 0) ctx->queued_bytes = 0;
  int rest = ctx->msgs - n;
  if (rest > 0) {
    std::memmove(ctx->queue, ctx->queue + n, static_cast<size_t>(rest) * sizeof(HubMessage));
    std::memmove(ctx->stamps, ctx->stamps + n, static_cast<size_t>(rest) * sizeof(uint64_t));
  }
  ctx->msgs = rest;
  if (ctx->groups > 0) --ctx->groups;

  for (int s = 0; s < RC_STREAMS; ++s) {
    if (ctx->record[s] > 0) --ctx->record[s];
    if (ctx->report[s] > 0) {
      --ctx->report[s];
      if (ctx->report[s] == 0 && s < RC_CAMERAS) send_camera(ctx, s, 0, ctx->grevt[s]);
    }
  }
  bool reached = false;
  for (int c = 0; c < RC_CAMERAS; ++c) {
    if (ctx->ge_hold[c] > 0 && --ctx->ge_hold[c] == 0) reached = true;
  }
  if (reached && ctx->ge_hold[0] == 0 && ctx->ge_hold[1] == 0 && ctx->ge_hold[2] == 0 &&
      ctx->ge_hold[3] == 0) {
    send_general_event(ctx, 0);
  }
  for (int s = 0; s < RC_CLIP_STREAMS; ++s) {
    if (ctx->clip[s] > 0 && --ctx->clip[s] == 0 && cb->CloseVids != nullptr) {
      cb->CloseVids(cb->user, s);
    }
  }
  if (cb->AfterSaveGOPData != nullptr) cb->AfterSaveGOPData(cb->user);
  return 0;
}

int SaveALLData(SaverContext* ctx) {
  int result = 0;
  while (ctx->msgs > 0) {
    if (SaveGOPData(ctx) != 0) {
      result = 1;
      break;
    }
  }
  SaverCallbacks* cb = ctx->cb;
  if (cb->SyncFiles != nullptr) cb->SyncFiles(cb->user);
  if (cb->SaveAllData != nullptr) cb->SaveAllData(cb->user);
  return result;
}

void change_write_cam(SaverContext* ctx, int stream, int on, int general) {
  if (stream < 0 || stream >= RC_CAMERAS) return;
  send_camera(ctx, stream, (on && ctx->on[stream]) ? 1 : 0,
              (general && ctx->grevt[stream]) ? 1 : 0);
}

int ss_send(int queue, const StateMessage* m) {
  return state_send(queue, *m, IPC_NOWAIT, dv::StopFlags{&s_sigterm, nullptr});
}

int do_recv(int queue, MixedWire* buffer, size_t* size, StateMessage* out) {
  StateRecvResult r = state_recv(queue, out, buffer, size, 0, dv::StopFlags{&s_sigterm, &s_sighup});
  if (r == STATE_RECV_STATE) return 2;
  if (r == STATE_RECV_OTHER) return 1;
  return 0;
}

// ---------------------------------------------------------------------------
// The stash: messages drained from the own queue ahead of their handling.

namespace {

bool stash_push(SaverContext* ctx, const RcStashed& e) {
  if (ctx->stash_count == ctx->stash_cap) {
    int cap = ctx->stash_cap == 0 ? 256 : ctx->stash_cap * 2;
    RcStashed* ns =
        static_cast<RcStashed*>(std::malloc(static_cast<size_t>(cap) * sizeof(RcStashed)));
    if (ns == nullptr) return false;
    for (int i = 0; i < ctx->stash_count; ++i) {
      ns[i] = ctx->stash[(ctx->stash_head + i) % ctx->stash_cap];
    }
    std::free(ctx->stash);
    ctx->stash = ns;
    ctx->stash_cap = cap;
    ctx->stash_head = 0;
  }
  ctx->stash[(ctx->stash_head + ctx->stash_count) % ctx->stash_cap] = e;
  ++ctx->stash_count;
  return true;
}

}  // namespace

bool rc_stash_pop(SaverContext* ctx, RcStashed* out) {
  if (ctx->stash_count == 0) return false;
  *out = ctx->stash[ctx->stash_head];
  ctx->stash_head = (ctx->stash_head + 1) % ctx->stash_cap;
  --ctx->stash_count;
  return true;
}

void rc_pump(SaverContext* ctx) {
  if (ctx->hub.reply_qid < 0) return;
  for (;;) {
    MixedWire raw;
    size_t size = 0;
    StateMessage sm;
    StateRecvResult r = state_recv(ctx->hub.reply_qid, &sm, &raw, &size, IPC_NOWAIT);
    if (r != STATE_RECV_STATE && r != STATE_RECV_OTHER) return;
    RcStashed e{};
    if (r == STATE_RECV_STATE) {
      e.is_state = true;
      e.state = sm;
    } else {
      if (size != HUB_BODY_SIZE) continue;
      hub_decode_body(raw.mtype, raw.body, &e.notice);
      e.stamp = arena_observe(&ctx->tracker, e.notice);
    }
    if (ctx->stash_only_observe) continue;
    if (!stash_push(ctx, e)) {
      // Out of memory: what cannot be kept is dropped, like a frame the hub
      // could not deliver.
      return;
    }
  }
}

uint64_t RecCoreNoticeStamp(const HubMessage* notice) {
  SaverContext* ctx = g_current;
  if (ctx == nullptr || notice == nullptr || ctx->queue == nullptr) return kArenaNoStamp;
  if (notice < ctx->queue || notice >= ctx->queue + ctx->msgs) return kArenaNoStamp;
  return ctx->stamps[notice - ctx->queue];
}

bool RecCorePayloadIntact(uint64_t stamp) {
  SaverContext* ctx = g_current;
  if (ctx == nullptr) return false;
  rc_pump(ctx);
  return arena_intact(&ctx->tracker, stamp);
}
