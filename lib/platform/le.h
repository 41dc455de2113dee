// Fixed-width little-endian encode/decode. Every file, wire and IPC record of
// the system goes through these (or through structs whose layout is pinned by
// static_assert), so the code behaves the same on the little-endian target and
// on any development host, whatever the compiler's padding.
#pragma once

#include <cstdint>
#include <cstring>

namespace dv {

inline void put_u8(uint8_t* p, uint8_t v) { p[0] = v; }
inline void put_u16le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline void put_i32le(uint8_t* p, int32_t v) { put_u32le(p, static_cast<uint32_t>(v)); }
inline void put_i16le(uint8_t* p, int16_t v) { put_u16le(p, static_cast<uint16_t>(v)); }

inline uint8_t get_u8(const uint8_t* p) { return p[0]; }
inline uint16_t get_u16le(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (static_cast<uint16_t>(p[1]) << 8));
}
inline uint32_t get_u32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t get_i32le(const uint8_t* p) { return static_cast<int32_t>(get_u32le(p)); }
inline int16_t get_i16le(const uint8_t* p) { return static_cast<int16_t>(get_u16le(p)); }

// Bounds-checked reader over a byte range that came from outside (a file, a
// socket, a payload). Every get fails (returns false and leaves the cursor)
// instead of reading past the end.
struct ByteReader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;

  size_t remaining() const { return size - pos; }
  bool skip(size_t n) {
    if (n > remaining()) return false;
    pos += n;
    return true;
  }
  bool u8(uint8_t* v) {
    if (remaining() < 1) return false;
    *v = data[pos++];
    return true;
  }
  bool u16(uint16_t* v) {
    if (remaining() < 2) return false;
    *v = get_u16le(data + pos);
    pos += 2;
    return true;
  }
  bool u32(uint32_t* v) {
    if (remaining() < 4) return false;
    *v = get_u32le(data + pos);
    pos += 4;
    return true;
  }
  bool i32(int32_t* v) {
    uint32_t u;
    if (!u32(&u)) return false;
    *v = static_cast<int32_t>(u);
    return true;
  }
  bool bytes(void* dst, size_t n) {
    if (n > remaining()) return false;
    std::memcpy(dst, data + pos, n);
    pos += n;
    return true;
  }
};

}  // namespace dv
