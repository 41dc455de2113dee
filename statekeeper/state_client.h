// Client helpers for the state manager: what the recorder framework, the live
// servers and serialalarm use to register with statekeeper, report states and
// take its messages from their own queues.
//
// Every send and receive is retried after EINTR until a stop flag is raised.
// Messages from statekeeper arrive on the client's own reply queue, beside
// the hub's notices when the client is also a hub consumer; state_recv takes
// either and tells them apart by their size.
//
// Single-threaded; no state of its own.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "lib/platform/ipc.h"
#include "statekeeper/state_protocol.h"

// Opens statekeeper's queue (key 0x9F9F, never created). Returns its id, or
// -1 with errno (ENOENT: statekeeper is not running).
int state_open();

// Sends one message. flags: 0 or IPC_NOWAIT. Returns 0, -2 when qid is below
// 1 (no statekeeper), -1 on failure (errno kept; EINTR when stopped).
int state_send(int qid, const StateMessage& m, int flags = 0, dv::StopFlags stop = {});

// Registers reply_qid as a client of the class (STATE_CLASS_*).
int state_register(int qid, int32_t client_class, int32_t reply_qid, dv::StopFlags stop = {});

// Unregisters reply_qid; does not wait on a full queue (for exit paths).
int state_unregister(int qid, int32_t reply_qid);

// Reports one state (type 1).
int state_report(int qid, int32_t kind, int32_t reply_qid, uint32_t state, uint8_t value,
                 uint8_t alarm, uint8_t hold, dv::StopFlags stop = {});

// What state_recv took from the queue.
enum StateRecvResult {
  STATE_RECV_ERROR = -1,  // msgrcv failed or was stopped (errno kept)
  STATE_RECV_NONE = 0,    // nothing queued (IPC_NOWAIT)
  STATE_RECV_STATE = 1,   // a StateMessage: *state filled
  STATE_RECV_OTHER = 2,   // any other message (a hub notice): *raw holds it
};

// Takes the next message of up to 24 body bytes from qid (msgtype 0: any).
// A 19-byte message is decoded into *state; any other size is left in *raw
// with its size in *raw_size (24 for a hub notice). A message longer than 24
// bytes cannot be taken whole: it is removed and dropped, so that it does not
// block the queue, and the next message is read. flags: 0 or IPC_NOWAIT.
StateRecvResult state_recv(int qid, StateMessage* state, MixedWire* raw, size_t* raw_size,
                           int flags, dv::StopFlags stop = {});
