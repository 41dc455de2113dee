// Hub client helpers: what every producer and consumer of memhub uses instead
// of speaking the queue protocol by hand.
//
// A HubClient holds the hub queue id, the client's own reply queue, and the
// attachment of the shared segment. The usual order:
//   hub_open                       hub queue (missing = hub not running)
//   hub_create_reply_queue         own queue, key ftok(program path, pid)
//   hub_request_shm                segment id and size, attached
//   hub_request_config_file / hub_request_prefix / hub_request_config
//   hub_connect                    from now on notices arrive (hub_receive)
//   ... hub_request_mem + hub_ack_mem per frame (producers) ...
//   hub_close                      disconnect, detach, remove own queue
//
// Every send and receive is retried after EINTR until one of the client's
// stop flags is raised (then it fails with errno EINTR). Replies are taken
// from the own queue by their type, so notices that arrive meanwhile stay
// queued for hub_receive. A client that produces should not also be
// connected on the same queue: a grant and a notice of the same stream look
// alike.
//
// Single-threaded; a HubClient is owned by one process (it is not copyable,
// and a forked child must not close its parent's client).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "hub/hub_protocol.h"
#include "lib/platform/ipc.h"

// Results of the request helpers. errno keeps the system's reason.
enum HubResult {
  HUB_OK = 0,
  HUB_SEND_FAILED = -1,    // msgsnd to the hub failed (or was stopped)
  HUB_RECV_FAILED = -2,    // msgrcv on the own queue failed (or was stopped)
  HUB_ATTACH_FAILED = -3,  // shmat of the segment failed
  HUB_BAD_REPLY = -4,      // the reply does not make sense (errno EPROTO)
};

// "send"/"recv"/... for log lines such as "send SHM_MSG_TYPE_REQ_SHM %s\n".
const char* hub_result_word(int result);

// The name of a kind ("SHM_MSG_TYPE_REQ_MEM"), or "UNKNOWN".
const char* hub_kind_name(uint32_t kind);

// Wire conversion (msgsnd/msgrcv layout <-> the 28-byte record).
void hub_to_wire(const HubMessage& m, HubWire* w);
void hub_from_wire(const HubWire& w, HubMessage* m);
// From a raw 24-byte body as received into a caller's own buffer (queues that
// also carry other messages tell them apart by the body size).
void hub_decode_body(long mtype, const void* body, HubMessage* m);

// One message, retried after EINTR until a stop flag is raised. 0 or -1.
int hub_send(int qid, const HubMessage& m, int flags, dv::StopFlags stop = {});
// One 24-byte message of the given msgrcv type (0 any, >0 exact, <0 lowest up
// to -type). Returns 1 for a message, 0 when flags has IPC_NOWAIT and none is
// queued, -1 on failure (a message of another size is consumed and fails
// with EBADMSG).
int hub_recv(int qid, HubMessage* m, long type, int flags, dv::StopFlags stop = {});

struct HubClient {
  int hub_qid = -1;
  dv::OwnedQueue own;  // own reply queue, when created by hub_create_reply_queue
  int reply_qid = -1;  // the queue the hub answers on (own.id() or an adopted one)
  int shm_id = -1;
  int32_t shm_size = 0;  // bytes of the segment
  dv::ShmAttachment shm;
  uint8_t* base = nullptr;  // segment base while attached
  bool read_only = true;
  bool connected = false;
  dv::StopFlags stop;  // raised flags end EINTR retries

  HubClient() = default;
  ~HubClient();
  HubClient(const HubClient&) = delete;
  HubClient& operator=(const HubClient&) = delete;
};

// Opens the hub queue (key 0x5F5A, never created). Returns 0, or -1 with
// errno (ENOENT: the hub is not running).
int hub_open(HubClient* c);

// The real file behind a program name for the reply-queue key: the resolved
// /usr/bin/<base name of argv0> when it exists, else this process's own
// executable (/proc/self/exe).
std::string hub_program_path(const char* argv0);

// Creates the own reply queue with key ftok(hub_program_path(argv0), pid),
// exclusively, mode 0777. When that key is taken (two processes whose pids
// agree in the bits ftok keeps) or cannot be formed, falls back to a private
// key, so every process still gets a queue of its own. Returns the id or -1.
int hub_create_reply_queue(HubClient* c, const char* argv0);

// Creates the own reply queue with exactly this key (exclusively, mode 0777),
// for programs with their own key rule; no fallback. Returns the id, or -1
// with errno (EEXIST when the key is taken).
int hub_create_reply_queue_key(HubClient* c, key_t key);

// Uses an existing queue as the reply queue (statekeeper answers on its
// well-known queue). It is not removed by hub_close.
void hub_use_reply_queue(HubClient* c, int qid);

// SHM_MSG_TYPE_REQ_SHM, then attaches the segment (read-only when asked).
int hub_request_shm(HubClient* c, bool read_only);

// SHM_MSG_TYPE_REQ_CONFIG_FILE / SHM_MSG_TYPE_REQ_PREFIX: the text of the
// reply, cut to size-1 bytes.
int hub_request_config_file(HubClient* c, char* out, size_t size);
int hub_request_prefix(HubClient* c, char* out, size_t size);

// SHM_MSG_TYPE_REQ_CONFIG: where the digest is. The reply is checked against
// the segment (a digest half, at most 64 KiB): HUB_BAD_REPLY otherwise.
int hub_request_config(HubClient* c, int32_t* offset, int32_t* size);

// The digest bytes in the attached segment, or null when offset/size do not
// name a digest inside it.
const uint8_t* hub_digest_ptr(const HubClient* c, int32_t offset, int32_t size);

// SHM_MSG_TYPE_CONNECT / SHM_MSG_TYPE_DISCONNECT (no answer). Disconnect with
// nowait does not block on a full hub queue (for exit paths).
int hub_connect(HubClient* c);
int hub_disconnect(HubClient* c, bool nowait = false);

// Producer: SHM_MSG_TYPE_REQ_MEM for stream with room for size bytes, then
// waits for the grant. On HUB_OK *grant holds it: write at hub_grant_ptr and
// send it back with hub_ack_mem.
int hub_request_mem(HubClient* c, int stream, int32_t size, HubMessage* grant);

// Where to write a granted frame of up to size bytes: null when the grant does
// not lie inside the attached, writable segment.
uint8_t* hub_grant_ptr(const HubClient* c, const HubMessage& grant, int32_t size);

// Producer: acknowledges a grant. The caller has set size (negative: nothing
// written), frame_no, time_code, level and, for an alarm, SHM_MSG_FLAG_EVENT.
int hub_ack_mem(HubClient* c, const HubMessage& ack);

// Producer: one text frame (the text and its NUL) into stream, with
// SHM_MSG_FLAG_EVENT when event is set.
int hub_publish_text(HubClient* c, int stream, const char* text, bool event);

// Consumer: the next notice from the own queue. Returns 1, 0 (nowait and
// nothing queued) or -1.
int hub_receive(HubClient* c, HubMessage* m, bool wait);

// Consumer: the payload a frame notice names, or null when it does not lie
// inside the segment (a notice never trusted blindly).
const uint8_t* hub_payload(const HubClient* c, const HubMessage& notice);

// True when a notice's offset and size name bytes inside a segment of
// segment_size bytes, in the frame arena.
bool hub_notice_in_arena(const HubMessage& notice, int32_t segment_size);

// Disconnects (without waiting) when connected, detaches, removes the own
// queue when the client created it, forgets the hub queue. Also run by the
// destructor.
void hub_close(HubClient* c);

// For a forked child holding a copy of its parent's client: detaches the
// child's mapping and forgets everything without sending or removing anything.
void hub_forget(HubClient* c);
