// memhub's engine: the state of the hub and what it does with each request.
//
// One outstanding grant serialises all producers; requests that arrive while
// it is out wait in the PendingRing in arrival order. Acknowledged frames are
// broadcast to every connected consumer, never blocking: a consumer whose
// queue is full or gone is dropped ("BCAST %s"), so one stuck client cannot
// stop the frames of everyone else. GOP marks come from counting video
// requests; each mark demands key frames and keeps the watchdog alive.
//
// The engine does no I/O of its own: sending, the clock, the watchdog and the
// digest pass are reached through HubIo, so the same code runs in memhub and
// in unit tests. Single-threaded; no allocation.
#pragma once

#include <cstdint>

#include "hub/digest.h"
#include "hub/hub_protocol.h"

constexpr int HUB_MAX_CLIENTS = 64;
constexpr uint32_t HUB_PENDING_SIZE = 1024;

struct HubIo {
  void* ctx = nullptr;
  // Sends a message to a queue without blocking. 0, or -1 with errno.
  int (*send)(void* ctx, int qid, const HubMessage& m) = nullptr;
  // Sends a HubTextReply holding text. 0, or -1 with errno.
  int (*send_text)(void* ctx, int qid, const char* text) = nullptr;
  // UNIX time now.
  int32_t (*now)(void* ctx) = nullptr;
  // Keeps the watchdog alive (may do nothing).
  void (*kick)(void* ctx) = nullptr;
  // Whether a reply queue still exists.
  bool (*queue_alive)(void* ctx, int qid) = nullptr;
  // Runs the digest pass into dst (one 64 KiB half). Length or -1.
  int (*build_digest)(void* ctx, uint8_t* dst, HubStreamTables* tables,
                      HubSettings* settings) = nullptr;
};

struct HubPending {
  int32_t reply_id;
  int32_t size;
  uint32_t type;
};

struct HubState {
  HubIo io;
  int hub_qid = -1;  // own request queue (never a valid reply queue)
  int shm_id = -1;
  int32_t memsize = 0;
  uint8_t* base = nullptr;

  int32_t digest_offset = HUB_DIGEST_HALF_A;
  int32_t digest_length = 0;
  HubStreamTables streams;
  HubSettings settings;
  uint8_t key_demand[HUB_STREAM_COUNT];

  int32_t clients[HUB_MAX_CLIENTS];  // reply queue ids, 0 = free

  HubPending ring[HUB_PENDING_SIZE];
  uint32_t ring_head = 0;  // oldest entry; entries are head..tail-1 modulo the size
  uint32_t ring_tail = 0;

  bool grant_outstanding = false;
  HubMessage grant;  // the grant as sent, while outstanding
  int32_t write_pos = HUB_ARENA_START;

  int32_t gop_countdown = 0;
  bool gop_mark_pending = false;
  int32_t gop_time = 0;
};

// Puts the state into its start-up form once the digest is built at half A
// (digest_length, streams and settings filled): no clients, nothing pending,
// no grant, write position 0x20000, GOP countdown = gop, every key frame
// demanded, a GOP mark pending.
void hub_start(HubState* h);

// Handles one message from the hub queue.
void hub_handle(HubState* h, const HubMessage& m);

// Reload: rebuilds the digest and the tables in the other half, announces it
// (type 0x4800) and starts a new group. Returns 0, or -1 when the pass failed
// (the hub must then shut down).
int hub_reload(HubState* h);

// Number of requests waiting in the PendingRing.
inline uint32_t hub_pending_count(const HubState* h) { return h->ring_tail - h->ring_head; }
