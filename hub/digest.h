// The configuration digest: memhub condenses /etc/streams.ini and a few small
// system files into one compact record in the shared segment, and in the same
// pass fills its own per-stream tables and global settings.
//
// Layout (all integers little-endian):
//   0  u32 magic 0xB505B5B5
//   4  u16 trailer offset (header + device id + stream records)
//   6  u16 trailer length (first tag byte through the last NUL)
//   8  device id, NUL-terminated
//      stream records in ascending stream number:
//        u8 number, u8 type bits, codec\0 (<= 9), name\0 (<= 79), params\0 (<= 255)
//      trailer: tags 1..8, each one tag byte and a NUL-terminated string
// The whole digest never exceeds 65535 bytes; a stream record that would push
// it over is left out (and its stream is not configured), and a parameter
// piece that would push a parameter string over 255 bytes is left out whole.
//
// Every line the pass logs goes through dv::log_msg. Not thread-safe (it is
// only ever run by memhub's single thread).
#pragma once

#include <cstddef>
#include <cstdint>

#include "hub/hub_protocol.h"

// The hub's per-stream tables, rebuilt by every pass.
struct HubStreamTables {
  uint8_t configured[HUB_STREAM_COUNT];  // 1 when the stream has a record in the digest
  uint8_t type_bits[HUB_STREAM_COUNT];   // T_* bits, 0 when undefined or switched off
  int8_t alarm[HUB_STREAM_COUNT];        // -1 never an alarm, 0 as sent, +1 always
};

// Global settings taken in the same pass.
struct HubSettings {
  int32_t gop;                              // frames between GOP marks (75 when missing or < 1)
  char prefix[HUB_DIGEST_TEXT_MAX + 1];     // archive prefix, always ending in "/"
  char device_id[HUB_DIGEST_TEXT_MAX + 1];  // [common] DeviceID
};

// Where the pass reads from: logical system paths (resolved through
// dv::sys_path). The defaults are the system's files.
struct DigestSources {
  const char* streams_ini = "/etc/streams.ini";
  const char* timer_ini = "/etc/timer.ini";
  const char* tz = "/etc/TZ";
  const char* cserv = "/etc/cserv";
  const char* time_cfg = "/etc/time.cfg";
};

constexpr int32_t HUB_DEFAULT_GOP = 75;
inline constexpr const char* HUB_DEFAULT_PREFIX = "/videodata/";
inline constexpr const char* HUB_DEFAULT_DEVICE_ID = "VideoServer";

// Builds the digest into dst (capacity bytes; at most 65535 are used) and
// fills *tables and *settings. memsize is only logged. Returns the digest's
// length, or -1 when the configuration file cannot be opened or holds no
// "stream_" section (*tables is then cleared, *settings may be partly set,
// dst may hold a partial digest).
int digest_build(const DigestSources& src, int32_t memsize, uint8_t* dst, size_t capacity,
                 HubStreamTables* tables, HubSettings* settings);
