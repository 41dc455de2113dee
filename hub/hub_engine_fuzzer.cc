// Drives the hub engine with arbitrary message sequences and checks that no
// grant and no notice ever names bytes outside the frame arena, and that the
// engine's own bookkeeping stays in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hub/hub_engine.h"

namespace {

constexpr int kHubQ = 1000;
constexpr int32_t kMem = HUB_ARENA_START + 0x10001;  // odd on purpose

struct World {
  int failing = 0;  // sends to this queue fail
};

void check(bool ok) {
  if (!ok) std::abort();
}

int fake_send(void* ctx, int qid, const HubMessage& m) {
  World* w = static_cast<World*>(ctx);
  int kind = static_cast<int>(m.type & SHM_MSG_KIND_MASK);
  if (kind == SHM_MSG_TYPE_ACK_MEM && !(m.type & SHM_MSG_FLAG_RELOAD)) {
    // Grants and notices: inside the arena.
    check(m.offset >= HUB_ARENA_START);
    if (m.size > 0) check(static_cast<int64_t>(m.offset) + m.size <= kMem);
  }
  return qid == w->failing ? -1 : 0;
}
int fake_text(void*, int, const char* text) { return std::strlen(text) < 256 ? 0 : -1; }
int32_t fake_now(void*) { return 1; }
bool fake_alive(void* ctx, int qid) { return qid != static_cast<World*>(ctx)->failing; }
int fake_build(void*, uint8_t* dst, HubStreamTables* t, HubSettings* s) {
  std::memset(t, 0, sizeof *t);
  for (int i = 0; i < 256; i += 3) {
    t->configured[i] = 1;
    t->type_bits[i] = 4;
    t->alarm[i] = static_cast<int8_t>(i % 3 - 1);
  }
  s->gop = 3;
  dst[0] = 1;
  return 9;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("DEEPVAULT_LOG", "stderr", 1);  // never the machine's syslog
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HubState h;
  static uint8_t segment[0x20000];
  World w;
  std::memset(static_cast<void*>(&h), 0, sizeof h);
  h.io = HubIo{&w, fake_send, fake_text, fake_now, nullptr, fake_alive, fake_build};
  h.hub_qid = kHubQ;
  h.shm_id = 5;
  h.memsize = kMem;
  h.base = segment;
  h.digest_length = fake_build(&w, segment, &h.streams, &h.settings);
  hub_start(&h);
  // Each message: 1 control byte, then 4 type bytes, 1 sender byte, 4 size bytes.
  while (size >= 10) {
    uint8_t ctl = data[0];
    HubMessage m;
    std::memset(&m, 0, sizeof m);
    std::memcpy(&m.type, data + 1, 4);
    int senders[] = {0, kHubQ, 11, 12, 13, 14, -1, 77};
    m.reply_id = senders[data[5] & 7];
    std::memcpy(&m.size, data + 6, 4);
    w.failing = (ctl & 0x70) == 0x70 ? 12 : 0;
    if (ctl == 0xFF) {
      hub_reload(&h);
    } else {
      hub_handle(&h, m);
    }
    check(h.write_pos >= HUB_ARENA_START && h.write_pos <= kMem + 3);
    check(hub_pending_count(&h) <= HUB_PENDING_SIZE);
    if (h.grant_outstanding) check(h.grant.offset >= HUB_ARENA_START);
    data += 10;
    size -= 10;
  }
  return 0;
}
