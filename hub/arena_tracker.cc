#include "hub/arena_tracker.h"

#include "hub/hub_client.h"

namespace {

uint64_t arena_size(const ArenaTracker* t) {
  return static_cast<uint64_t>(t->memsize - HUB_ARENA_START);
}

}  // namespace

void arena_tracker_init(ArenaTracker* t, int32_t memsize, int32_t ahead) {
  *t = ArenaTracker();
  t->memsize = memsize;
  t->ahead = ahead < 0 ? 0 : ahead;
}

uint64_t arena_observe(ArenaTracker* t, const HubMessage& notice) {
  if (hub_kind(notice.type) != SHM_MSG_TYPE_ACK_MEM || (notice.type & SHM_MSG_FLAG_RELOAD)) {
    return kArenaNoStamp;
  }
  if (t->memsize <= HUB_ARENA_START || !hub_notice_in_arena(notice, t->memsize)) {
    return kArenaNoStamp;
  }
  if (!t->started) {
    t->started = true;
    t->lap = 0;
  } else if (notice.offset < t->end) {
    ++t->lap;  // the writer started again at the arena's start
  }
  int64_t end = (static_cast<int64_t>(notice.offset) + notice.size + 3) & ~int64_t{3};
  t->end = static_cast<int32_t>(end > t->memsize ? t->memsize : end);
  return t->lap * arena_size(t) + static_cast<uint64_t>(notice.offset - HUB_ARENA_START);
}

bool arena_intact(const ArenaTracker* t, uint64_t stamp) {
  if (stamp == kArenaNoStamp || !t->started) return false;
  uint64_t a = arena_size(t);
  uint64_t frontier = t->lap * a + static_cast<uint64_t>(t->end - HUB_ARENA_START);
  // The furthest byte the writer may have reached: the next grant either
  // follows the last frame or, when it may not fit, starts the next lap.
  uint64_t reach = static_cast<int64_t>(t->end) + t->ahead < t->memsize
                       ? frontier + static_cast<uint64_t>(t->ahead)
                       : (t->lap + 1) * a + static_cast<uint64_t>(t->ahead);
  if (stamp > frontier) return false;  // not a stamp of this tracker
  return reach <= stamp + a;
}
