#include "hub/digest_reader.h"

#include <cstring>

#include "hub/hub_protocol.h"
#include "lib/platform/le.h"

namespace {

// Length of the NUL-terminated string at p inside [p, end), or -1 when it has
// no NUL there.
long bounded_len(const uint8_t* p, const uint8_t* end) {
  if (p >= end) return -1;
  const void* nul = std::memchr(p, 0, static_cast<size_t>(end - p));
  if (nul == nullptr) return -1;
  return static_cast<const uint8_t*>(nul) - p;
}

}  // namespace

int digest_reader_open(DigestReader* r, const void* data, size_t size) {
  *r = DigestReader();
  const uint8_t* d = static_cast<const uint8_t*>(data);
  if (d == nullptr || size < HUB_DIGEST_HEADER) return -1;
  if (dv::get_u32le(d) != HUB_DIGEST_MAGIC) return -1;
  size_t toff = dv::get_u16le(d + 4);
  size_t tlen = dv::get_u16le(d + 6);
  if (toff < HUB_DIGEST_HEADER + 1 || toff + tlen > size) return -1;
  long idlen = bounded_len(d + HUB_DIGEST_HEADER, d + toff);
  if (idlen < 0) return -1;
  r->data = d;
  r->length = toff + tlen;
  r->trailer_offset = toff;
  r->trailer_length = tlen;
  r->device_id = reinterpret_cast<const char*>(d + HUB_DIGEST_HEADER);
  r->pos = HUB_DIGEST_HEADER + static_cast<size_t>(idlen) + 1;
  return 0;
}

void digest_rewind(DigestReader* r) {
  if (r->data != nullptr) r->pos = HUB_DIGEST_HEADER + std::strlen(r->device_id) + 1;
}

int digest_next_stream(DigestReader* r, DigestStream* s) {
  if (r->data == nullptr) return -1;
  if (r->pos >= r->trailer_offset) return 0;
  const uint8_t* end = r->data + r->trailer_offset;
  const uint8_t* p = r->data + r->pos;
  if (end - p < 2) {
    r->pos = r->trailer_offset;
    return -1;
  }
  DigestStream out;
  out.number = p[0];
  out.type = p[1];
  p += 2;
  const char** fields[3] = {&out.codec, &out.name, &out.params};
  for (const char** f : fields) {
    long n = bounded_len(p, end);
    if (n < 0) {
      r->pos = r->trailer_offset;
      return -1;
    }
    *f = reinterpret_cast<const char*>(p);
    p += n + 1;
  }
  r->pos = static_cast<size_t>(p - r->data);
  *s = out;
  return 1;
}

const char* digest_trailer_text(const DigestReader* r, int tag) {
  if (r->data == nullptr) return nullptr;
  const uint8_t* p = r->data + r->trailer_offset;
  const uint8_t* end = r->data + r->length;
  while (p < end) {
    int t = *p++;
    long n = bounded_len(p, end);
    if (n < 0) return nullptr;
    if (t == tag) return reinterpret_cast<const char*>(p);
    p += n + 1;
  }
  return nullptr;
}
