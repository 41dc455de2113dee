#include "hub/hub_client.h"
#include "lib/platform/ipc.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "lib/platform/le.h"
#include "lib/platform/sysroot.h"

namespace {

// Receive buffer large enough to take (and reject) a message of another size.
struct RawMessage {
  long mtype;
  uint8_t body[64];
};

HubMessage request(uint32_t type, int reply_qid) {
  HubMessage m;
  std::memset(&m, 0, sizeof m);
  m.type = type;
  m.reply_id = reply_qid;
  return m;
}

int send_request(HubClient* c, const HubMessage& m, int flags = 0) {
  if (c->hub_qid < 0) {
    errno = EIDRM;
    return HUB_SEND_FAILED;
  }
  return hub_send(c->hub_qid, m, flags, c->stop) == 0 ? HUB_OK : HUB_SEND_FAILED;
}

int request_text(HubClient* c, uint32_t kind, char* out, size_t size) {
  int rc = send_request(c, request(kind, c->reply_qid));
  if (rc != HUB_OK) return rc;
  HubTextReply reply;
  ssize_t n =
      dv::msg_recv(c->reply_qid, &reply, HUB_TEXT_SIZE, HUB_TEXT_REPLY_TYPE, MSG_NOERROR, c->stop);
  if (n < 0) return HUB_RECV_FAILED;
  reply.text[HUB_TEXT_SIZE - 1] = '\0';
  size_t len = strnlen(reply.text, static_cast<size_t>(n));
  if (size > 0) {
    if (len >= size) len = size - 1;
    std::memcpy(out, reply.text, len);
    out[len] = '\0';
  }
  return HUB_OK;
}

}  // namespace

const char* hub_result_word(int result) {
  switch (result) {
    case HUB_OK:
      return "ok";
    case HUB_SEND_FAILED:
      return "send";
    case HUB_RECV_FAILED:
      return "recv";
    case HUB_ATTACH_FAILED:
      return "attach";
    default:
      return "reply";
  }
}

const char* hub_kind_name(uint32_t kind) {
  switch (kind & SHM_MSG_KIND_MASK) {
    case SHM_MSG_TYPE_REQ_SHM:
      return "SHM_MSG_TYPE_REQ_SHM";
    case SHM_MSG_TYPE_REQ_CONFIG_FILE:
      return "SHM_MSG_TYPE_REQ_CONFIG_FILE";
    case SHM_MSG_TYPE_REQ_PREFIX:
      return "SHM_MSG_TYPE_REQ_PREFIX";
    case SHM_MSG_TYPE_REQ_CONFIG:
      return "SHM_MSG_TYPE_REQ_CONFIG";
    case SHM_MSG_TYPE_REQ_MEM:
      return "SHM_MSG_TYPE_REQ_MEM";
    case SHM_MSG_TYPE_CONNECT:
      return "SHM_MSG_TYPE_CONNECT";
    case SHM_MSG_TYPE_DISCONNECT:
      return "SHM_MSG_TYPE_DISCONNECT";
    case SHM_MSG_TYPE_ACK_MEM:
      return "SHM_MSG_TYPE_ACK_MEM";
    default:
      return "UNKNOWN";
  }
}

void hub_to_wire(const HubMessage& m, HubWire* w) {
  w->mtype = static_cast<long>(m.type);
  std::memcpy(w->body, reinterpret_cast<const uint8_t*>(&m) + 4, HUB_BODY_SIZE);
}

void hub_from_wire(const HubWire& w, HubMessage* m) { hub_decode_body(w.mtype, w.body, m); }

void hub_decode_body(long mtype, const void* body, HubMessage* m) {
  m->type = static_cast<uint32_t>(mtype);
  std::memcpy(reinterpret_cast<uint8_t*>(m) + 4, body, HUB_BODY_SIZE);
}

int hub_send(int qid, const HubMessage& m, int flags, dv::StopFlags stop) {
  HubWire w;
  hub_to_wire(m, &w);
  return dv::msg_send(qid, &w, HUB_BODY_SIZE, flags, stop);
}

int hub_recv(int qid, HubMessage* m, long type, int flags, dv::StopFlags stop) {
  RawMessage raw;
  ssize_t n = dv::msg_recv(qid, &raw, sizeof raw.body, type, flags | MSG_NOERROR, stop);
  if (n < 0) {
    if ((flags & IPC_NOWAIT) && errno == ENOMSG) return 0;
    return -1;
  }
  if (static_cast<size_t>(n) != HUB_BODY_SIZE) {
    errno = EBADMSG;
    return -1;
  }
  hub_decode_body(raw.mtype, raw.body, m);
  return 1;
}

HubClient::~HubClient() { hub_close(this); }

int hub_open(HubClient* c) {
  c->hub_qid = dv::queue_open(HUB_QUEUE_KEY);
  return c->hub_qid < 0 ? -1 : 0;
}

std::string hub_program_path(const char* argv0) {
  std::string name = argv0 != nullptr ? argv0 : "";
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (!name.empty()) {
    std::string candidate = dv::sys_path("/usr/bin/" + name);
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  buf[n] = '\0';
  return buf;
}

int hub_create_reply_queue(HubClient* c, const char* argv0) {
  std::string path = hub_program_path(argv0);
  key_t key =
      path.empty() ? static_cast<key_t>(-1) : ftok(path.c_str(), static_cast<int>(getpid()));
  int id = -1;
  if (key != static_cast<key_t>(-1)) id = c->own.create(key);
  if (id < 0) id = c->own.create(IPC_PRIVATE);  // key taken or not formed
  c->reply_qid = id;
  return id;
}

int hub_create_reply_queue_key(HubClient* c, key_t key) {
  int id = c->own.create(key);
  c->reply_qid = id;
  return id;
}

void hub_use_reply_queue(HubClient* c, int qid) {
  c->own.release();
  c->reply_qid = qid;
}

int hub_request_shm(HubClient* c, bool read_only) {
  int rc = send_request(c, request(SHM_MSG_TYPE_REQ_SHM, c->reply_qid));
  if (rc != HUB_OK) return rc;
  HubMessage reply;
  if (hub_recv(c->reply_qid, &reply, SHM_MSG_TYPE_REQ_SHM, 0, c->stop) != 1) return HUB_RECV_FAILED;
  struct shmid_ds ds;
  if (reply.size < HUB_ARENA_START || shmctl(reply.reply_id, IPC_STAT, &ds) != 0 ||
      ds.shm_segsz < static_cast<size_t>(reply.size)) {
    errno = EPROTO;
    return HUB_BAD_REPLY;
  }
  void* base = c->shm.attach(reply.reply_id, read_only);
  if (base == nullptr) return HUB_ATTACH_FAILED;
  c->base = static_cast<uint8_t*>(base);
  c->shm_id = reply.reply_id;
  c->shm_size = reply.size;
  c->read_only = read_only;
  return HUB_OK;
}

int hub_request_config_file(HubClient* c, char* out, size_t size) {
  return request_text(c, SHM_MSG_TYPE_REQ_CONFIG_FILE, out, size);
}

int hub_request_prefix(HubClient* c, char* out, size_t size) {
  return request_text(c, SHM_MSG_TYPE_REQ_PREFIX, out, size);
}

int hub_request_config(HubClient* c, int32_t* offset, int32_t* size) {
  int rc = send_request(c, request(SHM_MSG_TYPE_REQ_CONFIG, c->reply_qid));
  if (rc != HUB_OK) return rc;
  HubMessage reply;
  if (hub_recv(c->reply_qid, &reply, SHM_MSG_TYPE_REQ_CONFIG, 0, c->stop) != 1) {
    return HUB_RECV_FAILED;
  }
  bool half = reply.offset == HUB_DIGEST_HALF_A || reply.offset == HUB_DIGEST_HALF_B;
  if (!half || reply.size < static_cast<int32_t>(HUB_DIGEST_HEADER) ||
      reply.size > HUB_DIGEST_HALF_SIZE) {
    errno = EPROTO;
    return HUB_BAD_REPLY;
  }
  *offset = reply.offset;
  *size = reply.size;
  return HUB_OK;
}

const uint8_t* hub_digest_ptr(const HubClient* c, int32_t offset, int32_t size) {
  if (c->base == nullptr) return nullptr;
  if (offset != HUB_DIGEST_HALF_A && offset != HUB_DIGEST_HALF_B) return nullptr;
  if (size < static_cast<int32_t>(HUB_DIGEST_HEADER) || size > HUB_DIGEST_HALF_SIZE) return nullptr;
  if (static_cast<int64_t>(offset) + size > c->shm_size) return nullptr;
  return c->base + offset;
}

int hub_connect(HubClient* c) {
  int rc = send_request(c, request(SHM_MSG_TYPE_CONNECT, c->reply_qid));
  if (rc == HUB_OK) c->connected = true;
  return rc;
}

int hub_disconnect(HubClient* c, bool nowait) {
  int rc = send_request(c, request(SHM_MSG_TYPE_DISCONNECT, c->reply_qid), nowait ? IPC_NOWAIT : 0);
  if (rc == HUB_OK) c->connected = false;
  return rc;
}

int hub_request_mem(HubClient* c, int stream, int32_t size, HubMessage* grant) {
  HubMessage req =
      request(SHM_MSG_TYPE_REQ_MEM | (static_cast<uint32_t>(stream) & 0xFF), c->reply_qid);
  req.size = size;
  int rc = send_request(c, req);
  if (rc != HUB_OK) return rc;
  // A grant is 0x800 | stream, perhaps with the key-frame flag; take the
  // lowest type up to that and skip anything else.
  const long highest = static_cast<long>(SHM_MSG_FLAG_KEY | SHM_MSG_TYPE_ACK_MEM | 0xFF);
  for (;;) {
    int r = hub_recv(c->reply_qid, grant, -highest, 0, c->stop);
    if (r != 1) {
      if (r < 0 && errno == EBADMSG) continue;
      return HUB_RECV_FAILED;
    }
    if (hub_kind(grant->type) == SHM_MSG_TYPE_ACK_MEM &&
        hub_stream(grant->type) == (stream & 0xFF) &&
        (grant->type & (SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_RELOAD | SHM_MSG_FLAG_EVENT)) == 0) {
      return HUB_OK;
    }
  }
}

uint8_t* hub_grant_ptr(const HubClient* c, const HubMessage& grant, int32_t size) {
  if (c->base == nullptr || c->read_only || size < 0) return nullptr;
  if (grant.offset < HUB_ARENA_START) return nullptr;
  if (static_cast<int64_t>(grant.offset) + size > c->shm_size) return nullptr;
  return c->base + grant.offset;
}

int hub_ack_mem(HubClient* c, const HubMessage& ack) {
  HubMessage m = ack;
  m.type = (m.type & ~SHM_MSG_KIND_MASK) | SHM_MSG_TYPE_ACK_MEM;
  m.reply_id = c->reply_qid;
  return send_request(c, m);
}

int hub_publish_text(HubClient* c, int stream, const char* text, bool event) {
  size_t len = std::strlen(text) + 1;
  if (len > static_cast<size_t>(INT32_MAX)) {
    errno = EINVAL;
    return HUB_BAD_REPLY;
  }
  HubMessage grant;
  int rc = hub_request_mem(c, stream, static_cast<int32_t>(len), &grant);
  if (rc != HUB_OK) return rc;
  uint8_t* dst = hub_grant_ptr(c, grant, static_cast<int32_t>(len));
  HubMessage ack = grant;
  ack.frame_no = 0;
  ack.time_code = 0;
  ack.level = 0;
  if (dst == nullptr) {
    // Hand the arena back without writing anything.
    ack.size = -1;
    hub_ack_mem(c, ack);
    errno = EPROTO;
    return HUB_BAD_REPLY;
  }
  std::memcpy(dst, text, len);
  ack.size = static_cast<int32_t>(len);
  if (event) ack.type |= SHM_MSG_FLAG_EVENT;
  return hub_ack_mem(c, ack);
}

int hub_receive(HubClient* c, HubMessage* m, bool wait) {
  for (;;) {
    int r = hub_recv(c->reply_qid, m, 0, wait ? 0 : IPC_NOWAIT, c->stop);
    if (r < 0 && errno == EBADMSG) continue;  // not a hub message: skip it
    return r;
  }
}

bool hub_notice_in_arena(const HubMessage& notice, int32_t segment_size) {
  if (notice.offset < HUB_ARENA_START || notice.size < 0) return false;
  return static_cast<int64_t>(notice.offset) + notice.size <= segment_size;
}

const uint8_t* hub_payload(const HubClient* c, const HubMessage& notice) {
  if (c->base == nullptr || !hub_notice_in_arena(notice, c->shm_size)) return nullptr;
  return c->base + notice.offset;
}

void hub_forget(HubClient* c) {
  c->own.disown();
  c->shm.detach();
  c->base = nullptr;
  c->connected = false;
  c->reply_qid = -1;
  c->hub_qid = -1;
}

void hub_close(HubClient* c) {
  if (c->connected && c->hub_qid >= 0 && c->reply_qid >= 0) hub_disconnect(c, true);
  c->connected = false;
  c->shm.detach();
  c->base = nullptr;
  c->shm_id = -1;
  c->shm_size = 0;
  c->own.release();
  c->reply_qid = -1;
  c->hub_qid = -1;
}
