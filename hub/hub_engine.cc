#include "hub/hub_engine.h"

#include <cerrno>
#include <cstring>

#include "hub/hub_client.h"
#include "lib/platform/log.h"

namespace {

void demand_key_frames(HubState* h) { std::memset(h->key_demand, 1, sizeof h->key_demand); }

// Sends a message to every connected consumer, in slot order. A consumer
// whose send fails (queue full, queue gone) is dropped.
void broadcast(HubState* h, const HubMessage& m) {
  for (int32_t& slot : h->clients) {
    if (slot == 0) continue;
    if (h->io.send(h->io.ctx, slot, m) != 0) {
      dv::log_msg("BCAST %s\n", std::strerror(errno));
      slot = 0;
    }
  }
}

// Steps 2-4 of granting: the GOP countdown, the position (wrapping when the
// room does not fit before the end), the grant itself. Returns 0 when the
// grant was sent (it is then outstanding), -1 with errno when not.
int grant(HubState* h, const HubMessage& req) {
  int stream = hub_stream(req.type);
  if (stream <= HUB_LAST_VIDEO_STREAM) {
    if (--h->gop_countdown <= 0) {
      h->gop_countdown = h->settings.gop;
      demand_key_frames(h);
      h->gop_mark_pending = true;
      if (h->io.kick != nullptr) h->io.kick(h->io.ctx);
    }
  }
  if (static_cast<int64_t>(h->write_pos) + req.size >= h->memsize) h->write_pos = HUB_ARENA_START;

  bool key = h->key_demand[stream] != 0;
  h->key_demand[stream] = 0;
  HubMessage g = req;
  g.type = SHM_MSG_TYPE_ACK_MEM | static_cast<uint32_t>(stream) | (key ? SHM_MSG_FLAG_KEY : 0);
  g.offset = h->write_pos;
  g.level = 0;
  g.stream_type = h->streams.type_bits[stream];
  h->grant_outstanding = true;
  h->grant = g;
  if (h->io.send(h->io.ctx, req.reply_id, g) != 0) {
    int e = errno;
    h->grant_outstanding = false;
    if (key) h->key_demand[stream] = 1;  // the demand stays for the next grant
    errno = e;
    return -1;
  }
  return 0;
}

// Hands the arena to the oldest waiting request whose grant can be sent;
// with none left, no grant is outstanding.
void serve_pending(HubState* h) {
  while (h->ring_head != h->ring_tail) {
    const HubPending& e = h->ring[h->ring_head % HUB_PENDING_SIZE];
    ++h->ring_head;
    HubMessage req;
    std::memset(&req, 0, sizeof req);
    req.type = e.type;
    req.reply_id = e.reply_id;
    req.size = e.size;
    if (grant(h, req) == 0) return;
    dv::log_msg("SHM_MSG_TYPE_REQ_MEM %s\n", std::strerror(errno));
  }
  h->grant_outstanding = false;
}

void request_mem(HubState* h, const HubMessage& m) {
  // Room that cannot fit into the arena even at its start would make the
  // producer write past the end of the segment.
  if (m.size > h->memsize - HUB_ARENA_START) {
    dv::log_msg("SHM_MSG_TYPE_REQ_MEM size %d does not fit\n", m.size);
    return;
  }
  if (h->grant_outstanding) {
    if (hub_pending_count(h) >= HUB_PENDING_SIZE) {
      dv::log_msg("SHM_MSG_TYPE_REQ_MEM pending requests full, %d refused\n", m.reply_id);
      return;
    }
    h->ring[h->ring_tail % HUB_PENDING_SIZE] = HubPending{m.reply_id, m.size, m.type};
    ++h->ring_tail;
    // A holder that left without acknowledging (its queue is gone) would
    // block every producer: take the grant back.
    if (h->io.queue_alive != nullptr && !h->io.queue_alive(h->io.ctx, h->grant.reply_id)) {
      dv::log_msg("Grant holder %d is gone\n", h->grant.reply_id);
      serve_pending(h);
    }
    return;
  }
  if (grant(h, m) != 0) dv::log_msg("SHM_MSG_TYPE_REQ_MEM %s\n", std::strerror(errno));
}

void ack_mem(HubState* h, const HubMessage& m) {
  int stream = hub_stream(m.type);
  // Only the holder of the grant may acknowledge it; anything else would let
  // a second writer into the arena.
  if (!h->grant_outstanding || m.reply_id != h->grant.reply_id ||
      stream != hub_stream(h->grant.type)) {
    dv::log_msg("SHM_MSG_TYPE_ACK_MEM without a grant from %d\n", m.reply_id);
    return;
  }
  if (!h->streams.configured[stream]) {
    dv::log_msg("STREAM %d is NOT SET!!\n", stream);
  } else if (m.size < 0) {
    // Nothing written, nothing announced.
  } else if (m.size > h->grant.size) {
    dv::log_msg("SHM_MSG_TYPE_ACK_MEM size %d over the %d granted\n", m.size, h->grant.size);
  } else {
    HubMessage n = m;
    n.type &= ~(SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_RELOAD);  // the hub's own flags
    n.offset = h->grant.offset;                           // the frame is where it was granted
    int8_t alarm = h->streams.alarm[stream];
    if (alarm < 0) n.type &= ~SHM_MSG_FLAG_EVENT;
    if (alarm > 0) n.type |= SHM_MSG_FLAG_EVENT;
    if (h->gop_mark_pending) {
      n.type |= SHM_MSG_FLAG_GOP;
      h->gop_time = h->io.now(h->io.ctx);
      h->gop_mark_pending = false;
    }
    n.gop_time = h->gop_time;
    n.stream_type = h->streams.type_bits[stream];
    broadcast(h, n);
    h->write_pos =
        static_cast<int32_t>((static_cast<int64_t>(h->write_pos) + m.size + 3) & ~int64_t{3});
  }
  serve_pending(h);
}

void connect_client(HubState* h, int32_t id) {
  for (int32_t& slot : h->clients) {
    if (slot == 0) {
      slot = id;
      return;
    }
  }
  dv::log_msg("!!!!!! NO PLACE TO CLIENT!\n");
}

void disconnect_client(HubState* h, int32_t id) {
  for (int32_t& slot : h->clients) {
    if (slot == id) {
      slot = 0;
      return;
    }
  }
  dv::log_msg("CLIENT is not found!\n");
}

void reply(HubState* h, const HubMessage& m, const HubMessage& r) {
  if (h->io.send(h->io.ctx, m.reply_id, r) != 0) {
    dv::log_msg("%s %s\n", hub_kind_name(m.type), std::strerror(errno));
  }
}

void reply_text(HubState* h, const HubMessage& m, const char* text) {
  if (h->io.send_text(h->io.ctx, m.reply_id, text) != 0) {
    dv::log_msg("%s %s\n", hub_kind_name(m.type), std::strerror(errno));
  }
}

}  // namespace

void hub_start(HubState* h) {
  std::memset(h->clients, 0, sizeof h->clients);
  h->ring_head = h->ring_tail = 0;
  h->grant_outstanding = false;
  std::memset(&h->grant, 0, sizeof h->grant);
  h->digest_offset = HUB_DIGEST_HALF_A;
  h->write_pos = HUB_ARENA_START;
  h->gop_countdown = h->settings.gop;
  demand_key_frames(h);
  h->gop_mark_pending = true;
  h->gop_time = 0;
}

void hub_handle(HubState* h, const HubMessage& m) {
  // The hub's own queue is no reply queue: answers sent there would come
  // back as requests.
  if (m.reply_id == 0 || m.reply_id == h->hub_qid) {
    dv::log_msg("INVALID REPLYID!!\n");
    return;
  }
  switch (hub_kind(m.type)) {
    case SHM_MSG_TYPE_REQ_SHM: {
      HubMessage r = m;
      r.reply_id = h->shm_id;
      r.size = h->memsize;
      reply(h, m, r);
      break;
    }
    case SHM_MSG_TYPE_REQ_CONFIG_FILE:
      reply_text(h, m, HUB_CONFIG_FILE);
      break;
    case SHM_MSG_TYPE_REQ_PREFIX:
      reply_text(h, m, h->settings.prefix);
      break;
    case SHM_MSG_TYPE_REQ_CONFIG: {
      HubMessage r = m;
      r.offset = h->digest_offset;
      r.size = h->digest_length;
      reply(h, m, r);
      break;
    }
    case SHM_MSG_TYPE_REQ_MEM:
      request_mem(h, m);
      break;
    case SHM_MSG_TYPE_CONNECT:
      connect_client(h, m.reply_id);
      break;
    case SHM_MSG_TYPE_DISCONNECT:
      disconnect_client(h, m.reply_id);
      break;
    case SHM_MSG_TYPE_ACK_MEM:
      ack_mem(h, m);
      break;
    default:
      dv::log_msg("Unknown request %d(0x%x)\n", static_cast<int>(m.type), m.type);
      break;
  }
}

int hub_reload(HubState* h) {
  dv::log_msg("(sighup)RELOAD CONFIG FILE\n");
  int32_t next = h->digest_offset == HUB_DIGEST_HALF_A ? HUB_DIGEST_HALF_B : HUB_DIGEST_HALF_A;
  int len = h->io.build_digest(h->io.ctx, h->base + next, &h->streams, &h->settings);
  if (len < 0) {
    dv::log_msg("Unable to reload config!!! exiting!!\n");
    return -1;
  }
  h->digest_offset = next;
  h->digest_length = len;

  HubMessage n;
  std::memset(&n, 0, sizeof n);
  n.type = SHM_MSG_RELOAD_NOTICE;
  n.offset = next;
  n.size = len;
  n.gop_time = h->io.now(h->io.ctx);
  broadcast(h, n);

  h->gop_countdown = h->settings.gop;
  demand_key_frames(h);
  h->gop_mark_pending = true;
  return 0;
}
