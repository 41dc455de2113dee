#include "statekeeper/state_engine.h"

#include <cstring>

#include "lib/platform/log.h"

namespace {

int send_to(StateKeeper* k, int32_t q, const StateMessage& m) {
  if (q < 1 || k->io.send == nullptr) return -1;
  return k->io.send(k->io.ctx, q, m);
}

bool alive(StateKeeper* k, int32_t q) {
  return k->io.alive == nullptr || k->io.alive(k->io.ctx, q);
}

// Every entry of a list; failed sends are dropped.
void send_list(StateKeeper* k, const int32_t* list, const StateMessage& m) {
  for (int i = 0; i < STATE_MAX_CLIENTS; ++i) {
    if (list[i] != 0) send_to(k, list[i], m);
  }
}

// Receivers of recording states: one that cannot be reached is dropped.
void send_notify(StateKeeper* k, const StateMessage& m) {
  for (int i = 0; i < STATE_MAX_CLIENTS; ++i) {
    int32_t q = k->clients_notify[i];
    if (q == 0) continue;
    if (send_to(k, q, m) != 0) {
      dv::log_msg("Client %d is down\n", q);
      k->clients_notify[i] = 0;
    }
  }
}

// Puts q into the first free slot; a queue already listed is not listed
// twice. Returns false when the list is full.
bool list_add(int32_t* list, int32_t q) {
  for (int i = 0; i < STATE_MAX_CLIENTS; ++i) {
    if (list[i] == q) return true;
  }
  for (int i = 0; i < STATE_MAX_CLIENTS; ++i) {
    if (list[i] == 0) {
      list[i] = q;
      return true;
    }
  }
  return false;
}

void list_remove(int32_t* list, int32_t q) {
  for (int i = 0; i < STATE_MAX_CLIENTS; ++i) {
    if (list[i] == q) list[i] = 0;
  }
}

StateMessage own_state(const StateKeeper* k, uint32_t state, uint8_t value, uint8_t alarm = 0,
                       uint8_t hold = 0, int32_t kind = STATE_KIND_RECORDER) {
  return state_message(kind, k->own_id, state, value, alarm, hold);
}

// State 21 to every recorder (recording rule) and live server (live rule).
void send_schedule(StateKeeper* k) {
  send_list(k, k->saver_id, own_state(k, STATE_SCHEDULE, state_keeper_record_allowed(k)));
  send_list(k, k->online_id, own_state(k, STATE_SCHEDULE, state_keeper_live_allowed(k)));
}

// States 16..19 to one queue: the stored values, or 0.
void send_cameras(StateKeeper* k, int32_t q, bool zero) {
  for (uint32_t c = 0; c < STATE_CAMERA_COUNT; ++c) {
    uint32_t s = STATE_CAMERA_RECORD_0 + c;
    send_to(k, q, own_state(k, s, zero ? 0 : k->state[s], zero ? 0 : k->common[s]));
  }
}

// After a change of common[]: state 20 to the serial alarm program when the
// general event changed.
void update_general_event(StateKeeper* k) {
  uint8_t evt = 0;
  for (uint32_t s = 0; s < STATE_TABLE_SIZE; ++s) {
    if (k->common[s] != 0) {
      evt = 1;
      break;
    }
  }
  if (evt != k->common_evt) {
    send_to(k, k->rsevent_id, own_state(k, STATE_GENERAL_EVENT, evt));
    k->common_evt = evt;
  }
}

void do_register(StateKeeper* k, const StateMessage& m) {
  int32_t q = m.reply_id;
  if (q < 1) {
    dv::log_msg("Can't connect client with broken id");
    return;
  }
  switch (m.kind) {
    case STATE_CLASS_SAVER:
      if (!list_add(k->saver_id, q)) {
        dv::log_msg("Can't attach client %d, max clients connected\n", q);
        return;
      }
      send_schedule(k);
      break;
    case STATE_CLASS_ONLINE:
      if (!list_add(k->online_id, q)) {
        dv::log_msg("Error: can't register video.online\n");
        return;
      }
      if (!list_add(k->clients_notify, q)) {
        dv::log_msg("Can't attach client %d, max clients connected\n", q);
      }
      send_schedule(k);
      send_cameras(k, q, false);
      break;
    case STATE_CLASS_CLIENT:
    case STATE_CLASS_CLIENT3:
      if (!list_add(k->clients, q)) {
        dv::log_msg("Can't attach client %d, max clients connected\n", q);
      }
      break;
    case STATE_CLASS_RSEVENT:
      // The slot is taken only while its queue exists: a serial alarm
      // program that died without unregistering can be replaced.
      if (k->rsevent_id != 0 && k->rsevent_id != q && alive(k, k->rsevent_id)) {
        dv::log_msg("RSevent already registered");
        return;
      }
      k->rsevent_id = q;
      if (k->generic_cli_id == 0) send_cameras(k, q, false);
      break;
    case STATE_CLASS_GENERIC:
      if (k->generic_cli_id != 0 && k->generic_cli_id != q && alive(k, k->generic_cli_id)) {
        return;
      }
      k->generic_cli_id = q;
      send_cameras(k, k->rsevent_id, true);
      break;
    default:
      dv::log_msg("Unknown client type: %d\n", m.kind);
      break;
  }
}

// Camera states back to 0 (the main recorder left): stored values and alarm
// bytes cleared, receivers told.
void reset_cameras(StateKeeper* k) {
  bool alarm_changed = false;
  for (uint32_t c = 0; c < STATE_CAMERA_COUNT; ++c) {
    uint32_t s = STATE_CAMERA_RECORD_0 + c;
    k->state[s] = 0;
    if (k->common[s] != 0) alarm_changed = true;
    k->common[s] = 0;
    StateMessage m = own_state(k, s, 0);
    send_notify(k, m);
    if (k->generic_cli_id == 0) send_to(k, k->rsevent_id, m);
  }
  if (alarm_changed) update_general_event(k);
}

void do_unregister(StateKeeper* k, const StateMessage& m) {
  int32_t q = m.reply_id;
  if (q < 1) return;
  if (q == k->rsevent_id) {
    k->rsevent_id = 0;
    return;
  }
  if (q == k->generic_cli_id) {
    k->generic_cli_id = 0;
    send_cameras(k, k->rsevent_id, false);
    return;
  }
  list_remove(k->clients, q);
  list_remove(k->clients_notify, q);
  for (int i = 0; i < STATE_MAX_CLIENTS; ++i) {
    if (k->saver_id[i] == q) {
      if (i == 0) reset_cameras(k);
      k->saver_id[i] = 0;
    }
    if (k->online_id[i] == q) k->online_id[i] = 0;
  }
}

void do_state(StateKeeper* k, const StateMessage& m) {
  if (m.state >= STATE_TABLE_SIZE) {
    dv::log_msg("Bad state number %u\n", m.state);
    return;
  }
  uint32_t s = m.state;
  uint8_t v = m.value;
  if (m.kind == STATE_KIND_RECORDER) {
    if (v != k->state[s]) {
      send_notify(k, m);
      if (k->generic_cli_id == 0) send_to(k, k->rsevent_id, m);
    }
    k->state[s] = v;
  } else if (m.kind == STATE_KIND_TO_RSEVENT) {
    send_to(k, k->rsevent_id, m);
    return;  // neither stored nor counted for the general event
  } else {
    if (v == k->state[s] && m.hold == 0) return;
    if (m.kind == STATE_KIND_RSEVENT) {
      if (k->generic_cli_id == 0) {
        if (v == 1) send_list(k, k->saver_id, m);
      } else if (send_to(k, k->generic_cli_id, m) != 0) {
        k->generic_cli_id = 0;
        send_cameras(k, k->rsevent_id, false);
      }
    }
    if (m.hold == 0) k->state[s] = v;
  }
  uint8_t a = v ? m.alarm : 0;
  if (a != k->common[s]) {
    k->common[s] = a;
    update_general_event(k);
  }
}

}  // namespace

uint8_t state_keeper_record_allowed(const StateKeeper* k) {
  return schedule_record_allowed(k->t_mode, k->current_day, k->current_hour) ? 1 : 0;
}

uint8_t state_keeper_live_allowed(const StateKeeper* k) {
  return schedule_live_allowed(k->t_mode, k->current_day, k->current_hour,
                               ScheduleModeCompare::kUnsigned)
             ? 1
             : 0;
}

namespace {
void mask_at(const StateKeeper* k, time_t t, uint32_t* mask, uint32_t* bit) {
  WeekSchedule w;
  w.mode = k->t_mode;
  std::memcpy(w.day, k->day, sizeof w.day);
  schedule_mask_at(&w, t, mask, bit);
}
}  // namespace

void state_keeper_init(StateKeeper* k, const WeekSchedule& schedule, int32_t own_id, StateIo io,
                       time_t now) {
  *k = StateKeeper{};
  std::memcpy(k->day, schedule.day, sizeof k->day);
  k->t_mode = schedule.mode;
  k->own_id = own_id;
  k->io = io;
  mask_at(k, now, &k->current_day, &k->current_hour);
}

void state_keeper_message(StateKeeper* k, const StateMessage& m) {
  switch (m.type) {
    case STATE_MSG_STATE:
      do_state(k, m);
      break;
    case STATE_MSG_IGNORED:
      break;
    case STATE_MSG_REGISTER:
      do_register(k, m);
      break;
    case STATE_MSG_UNREGISTER:
      do_unregister(k, m);
      break;
    default:
      dv::log_msg("unknown action: 0x%.8x\n", m.type);
      break;
  }
}

void state_keeper_gop(StateKeeper* k, int32_t gop_time) {
  uint32_t mask, bit;
  mask_at(k, static_cast<time_t>(gop_time), &mask, &bit);
  if (mask != k->current_day || bit != k->current_hour) {
    k->current_day = mask;
    k->current_hour = bit;
    send_schedule(k);
  }
  // Active serial inputs are repeated once per group so that recorders keep
  // recording while an input stays active.
  for (uint32_t i = 0; i < STATE_SERIAL_INPUT_COUNT; ++i) {
    uint32_t s = STATE_SERIAL_INPUT_0 + i;
    if (k->state[s] != 0) {
      send_list(k, k->saver_id, own_state(k, s, 1, k->common[s], 0, STATE_KIND_REPEAT));
    } else if (k->common[s] != 0) {
      send_list(k, k->saver_id, own_state(k, s, 1, k->common[s], 1, STATE_KIND_REPEAT));
    }
  }
}

void state_keeper_stop(StateKeeper* k) {
  StateMessage m;
  m.type = STATE_MSG_UNREGISTER;
  m.reply_id = k->own_id;
  int32_t sent[4 * STATE_MAX_CLIENTS + 2];
  int n = 0;
  auto tell = [&](int32_t q) {
    if (q < 1) return;
    for (int i = 0; i < n; ++i) {
      if (sent[i] == q) return;
    }
    sent[n++] = q;
    send_to(k, q, m);
  };
  for (int i = 0; i < STATE_MAX_CLIENTS; ++i) {
    tell(k->saver_id[i]);
    tell(k->clients[i]);
    tell(k->clients_notify[i]);
    tell(k->online_id[i]);
  }
  // The serial alarm program and its stand-in also end on this notice.
  tell(k->rsevent_id);
  tell(k->generic_cli_id);
}
