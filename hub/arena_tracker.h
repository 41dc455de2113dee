// Payload validity for consumers that keep notices and use their payloads
// later (the live spooler, the recorder's hold queue).
//
// The frame arena is a ring: the writer lays frames one after another from
// 0x20000 and, when a frame would not fit before the end of the segment,
// starts again at 0x20000, overwriting the oldest bytes without telling
// anyone. From the notices it sees, the tracker follows the writer: it counts
// the writer's laps and gives every frame a stamp, its start in a byte count
// that never wraps. A kept payload may still be used only while the writer
// cannot have reached that spot again: the tracker assumes the writer may
// already be writing up to `ahead` bytes beyond the last frame it knows of
// (one grant of the largest request, by default).
//
// The tracker only knows what the consumer has read from its queue: drain the
// queue (without waiting) before asking whether an old payload is intact, or
// raise `ahead` by the bytes the unread notices may name.
#pragma once

#include <cstdint>

#include "hub/hub_protocol.h"

constexpr uint64_t kArenaNoStamp = UINT64_MAX;

struct ArenaTracker {
  int32_t memsize = 0;  // segment size
  int32_t ahead = HUB_VIDEO_REQUEST;
  bool started = false;
  uint64_t lap = 0;  // wraps seen
  int32_t end = 0;   // writer position after the last frame seen
};

// Starts a tracker for a segment of memsize bytes; ahead as above.
void arena_tracker_init(ArenaTracker* t, int32_t memsize, int32_t ahead = HUB_VIDEO_REQUEST);

// Follows one notice from the hub. For a frame notice inside the arena,
// returns the frame's stamp; for anything else (reload notices, notices that
// do not lie in the arena) kArenaNoStamp, and the writer position is kept.
uint64_t arena_observe(ArenaTracker* t, const HubMessage& notice);

// True while the payload stamped `stamp` cannot have been overwritten.
bool arena_intact(const ArenaTracker* t, uint64_t stamp);
