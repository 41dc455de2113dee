#include "statekeeper/state_protocol.h"

#include <cstring>

#include "lib/platform/le.h"

StateMessage state_message(int32_t kind, int32_t reply_id, uint32_t state, uint8_t value,
                           uint8_t alarm, uint8_t hold) {
  StateMessage m;
  m.type = STATE_MSG_STATE;
  m.kind = kind;
  m.reply_id = reply_id;
  m.state = state;
  m.value = value;
  m.alarm = alarm;
  m.hold = hold;
  return m;
}

void state_encode_body(const StateMessage& m, uint8_t body[STATE_BODY_SIZE]) {
  dv::put_i32le(body + STATE_OFF_KIND, m.kind);       // class or source
  dv::put_i32le(body + STATE_OFF_REPLY, m.reply_id);  // sender's reply queue
  body[STATE_OFF_ALARM] = m.alarm;                    // counts for the general event
  std::memcpy(body + STATE_OFF_RESERVED, m.reserved, 4);
  dv::put_u32le(body + STATE_OFF_STATE, m.state);  // unaligned
  body[STATE_OFF_VALUE] = m.value;
  body[STATE_OFF_HOLD] = m.hold;  // 1: pass on, do not store
}

void state_decode_body(long mtype, const uint8_t body[STATE_BODY_SIZE], StateMessage* m) {
  m->type = static_cast<uint32_t>(mtype);
  m->kind = dv::get_i32le(body + STATE_OFF_KIND);
  m->reply_id = dv::get_i32le(body + STATE_OFF_REPLY);
  m->alarm = body[STATE_OFF_ALARM];
  std::memcpy(m->reserved, body + STATE_OFF_RESERVED, 4);
  m->state = dv::get_u32le(body + STATE_OFF_STATE);
  m->value = body[STATE_OFF_VALUE];
  m->hold = body[STATE_OFF_HOLD];
}

void state_to_wire(const StateMessage& m, StateWire* w) {
  w->mtype = static_cast<long>(m.type);
  state_encode_body(m, w->body);
}

bool state_from_body(long mtype, const void* body, size_t n, StateMessage* m) {
  if (n != STATE_BODY_SIZE) return false;
  state_decode_body(mtype, static_cast<const uint8_t*>(body), m);
  return true;
}
