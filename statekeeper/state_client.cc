#include "statekeeper/state_client.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>

int state_open() { return dv::queue_open(STATE_QUEUE_KEY); }

int state_send(int qid, const StateMessage& m, int flags, dv::StopFlags stop) {
  if (qid < 1) return -2;
  StateWire w;
  state_to_wire(m, &w);
  return dv::msg_send(qid, &w, STATE_BODY_SIZE, flags, stop) == 0 ? 0 : -1;
}

int state_register(int qid, int32_t client_class, int32_t reply_qid, dv::StopFlags stop) {
  StateMessage m;
  m.type = STATE_MSG_REGISTER;
  m.kind = client_class;
  m.reply_id = reply_qid;
  return state_send(qid, m, 0, stop);
}

int state_unregister(int qid, int32_t reply_qid) {
  StateMessage m;
  m.type = STATE_MSG_UNREGISTER;
  m.reply_id = reply_qid;
  return state_send(qid, m, IPC_NOWAIT);
}

int state_report(int qid, int32_t kind, int32_t reply_qid, uint32_t state, uint8_t value,
                 uint8_t alarm, uint8_t hold, dv::StopFlags stop) {
  return state_send(qid, state_message(kind, reply_qid, state, value, alarm, hold), 0, stop);
}

StateRecvResult state_recv(int qid, StateMessage* state, MixedWire* raw, size_t* raw_size,
                           int flags, dv::StopFlags stop) {
  for (;;) {
    ssize_t n = dv::msg_recv(qid, raw, STATE_MIXED_BODY_MAX, 0, flags, stop);
    if (n >= 0) {
      *raw_size = static_cast<size_t>(n);
      if (state_from_body(raw->mtype, raw->body, *raw_size, state)) return STATE_RECV_STATE;
      return STATE_RECV_OTHER;
    }
    if (errno == ENOMSG || (errno == EAGAIN && (flags & IPC_NOWAIT))) return STATE_RECV_NONE;
    if (errno != E2BIG) return STATE_RECV_ERROR;
    // The first message is too long for any of our messages: take it cut
    // short and drop it, else every later receive would stop on it.
    MixedWire scrap;
    if (dv::msg_recv(qid, &scrap, STATE_MIXED_BODY_MAX, 0, MSG_NOERROR | IPC_NOWAIT, stop) < 0 &&
        errno != ENOMSG && errno != EAGAIN) {
      return STATE_RECV_ERROR;
    }
  }
}
