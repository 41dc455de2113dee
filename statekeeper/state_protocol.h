// The state manager protocol: the one definition of the messages, constants
// and key that statekeeper and its clients (the recorder framework, the live
// servers of video.qvs, serialalarm) share.
//
// A StateMessage is one SysV message: a type word followed by a 19-byte body
// (msgsnd/msgrcv size 19). The body, counted from the type word:
//
//   offset width field
//   0      4     type: 1 state, 2 ignored, 3 register, 4 unregister
//   4      4     kind: registration: the client class; state: the source
//   8      4     sender's reply queue id
//   12     1     alarm byte: the state counts for the general event
//   13     4     reserved (byte 13 is 1 in the recorder framework's
//                general-event messages)
//   17     4     state number, little-endian, not aligned
//   21     1     value
//   22     1     hold flag: 1 = do not store the value, pass it on anyway
//
// The state number sits at an odd offset, so the body is never read through
// a C struct: state_encode_body/state_decode_body copy it field by field.
// statekeeper's own queue also carries the hub's 24-byte notices (it is its
// reply queue towards memhub); the message size tells them apart.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The state manager queue, created by statekeeper (IPC_CREAT, mode 0777);
// clients open it without creating it.
constexpr key_t STATE_QUEUE_KEY = 0x9F9F;

// Bytes after the type word.
constexpr size_t STATE_BODY_SIZE = 19;
// Largest body on a queue that carries both state messages and hub notices.
constexpr size_t STATE_MIXED_BODY_MAX = 24;

// Message types (the type word).
constexpr uint32_t STATE_MSG_STATE = 1;
constexpr uint32_t STATE_MSG_IGNORED = 2;
constexpr uint32_t STATE_MSG_REGISTER = 3;
constexpr uint32_t STATE_MSG_UNREGISTER = 4;  // also sent by statekeeper when it stops

// Kind of a state message: where it comes from.
constexpr int32_t STATE_KIND_RECORDER = 0;    // a recorder (camera states, general event)
constexpr int32_t STATE_KIND_RSEVENT = 4;     // the serial alarm program (its inputs)
constexpr int32_t STATE_KIND_TO_RSEVENT = 5;  // to be passed to the serial alarm program
constexpr int32_t STATE_KIND_REPEAT = -1;     // periodic repeat from statekeeper

// Kind of a registration: the client class.
constexpr int32_t STATE_CLASS_SAVER = 0;    // recorders (recorder, clipsaver)
constexpr int32_t STATE_CLASS_ONLINE = 1;   // live servers (video.online children)
constexpr int32_t STATE_CLASS_CLIENT = 2;   // plain clients
constexpr int32_t STATE_CLASS_CLIENT3 = 3;  // plain clients
constexpr int32_t STATE_CLASS_RSEVENT = 4;  // the serial alarm program
constexpr int32_t STATE_CLASS_GENERIC = 5;  // takes over the serial alarm program's outputs

// State numbers.
constexpr uint32_t STATE_SERIAL_INPUT_0 = 6;  // 6..9: serial alarm inputs 0..3 active
constexpr uint32_t STATE_SERIAL_INPUT_COUNT = 4;
constexpr uint32_t STATE_CAMERA_RECORD_0 = 16;  // 16..19: camera 0..3 records on an event
constexpr uint32_t STATE_CAMERA_COUNT = 4;
constexpr uint32_t STATE_GENERAL_EVENT = 20;  // some stored state has its alarm byte set
constexpr uint32_t STATE_SCHEDULE = 21;       // recording / live sending allowed now
constexpr uint32_t STATE_TABLE_SIZE = 256;    // state numbers 0..255 are kept

// One state message, decoded. Build it with state_message(); every field is
// copied to its place by state_encode_body.
struct StateMessage {
  uint32_t type = 0;
  int32_t kind = 0;
  int32_t reply_id = 0;
  uint8_t alarm = 0;
  uint8_t reserved[4] = {};
  uint32_t state = 0;
  uint8_t value = 0;
  uint8_t hold = 0;
};

// The message as msgsnd/msgrcv see it on this host: the kernel's long type,
// then the 19 body bytes.
struct StateWire {
  long mtype;
  uint8_t body[STATE_BODY_SIZE];
};

// A message of either family as received from a mixed queue.
struct MixedWire {
  long mtype;
  uint8_t body[STATE_MIXED_BODY_MAX];
};

// Field offsets inside the body (message offset - 4).
constexpr size_t STATE_OFF_KIND = 0;
constexpr size_t STATE_OFF_REPLY = 4;
constexpr size_t STATE_OFF_ALARM = 8;
constexpr size_t STATE_OFF_RESERVED = 9;
constexpr size_t STATE_OFF_STATE = 13;
constexpr size_t STATE_OFF_VALUE = 17;
constexpr size_t STATE_OFF_HOLD = 18;
static_assert(STATE_OFF_HOLD + 1 == STATE_BODY_SIZE);
static_assert(sizeof(StateWire::body) == STATE_BODY_SIZE);

// A state message (type 1) with the given fields.
StateMessage state_message(int32_t kind, int32_t reply_id, uint32_t state, uint8_t value,
                           uint8_t alarm = 0, uint8_t hold = 0);

void state_encode_body(const StateMessage& m, uint8_t body[STATE_BODY_SIZE]);
void state_decode_body(long mtype, const uint8_t body[STATE_BODY_SIZE], StateMessage* m);

void state_to_wire(const StateMessage& m, StateWire* w);
// Decodes a received message of n body bytes. Returns false (m untouched)
// unless n is exactly STATE_BODY_SIZE.
bool state_from_body(long mtype, const void* body, size_t n, StateMessage* m);
