// The hub protocol: the one definition of every message, constant and key that
// memhub and its producers and consumers share.
//
// Every request, grant, acknowledgement and broadcast is one SysV message: a
// type word followed by a 24-byte body. HubMessage is the record as the system
// stores and passes it around (type word at 0, body at 4, 28 bytes, layout
// pinned below); HubWire is what msgsnd/msgrcv see on this host (the kernel's
// `long` type, then the same 24 body bytes). On the 32-bit target the two
// are the same bytes; elsewhere hub_client.h converts between them.
//
// The shared segment: two 64 KiB digest halves, then the frame arena from
// HUB_ARENA_START to the segment size. Nothing in the segment says where a
// frame is: offset and size travel only in the notices.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Well-known SysV keys.
constexpr key_t HUB_QUEUE_KEY = 0x5F5A;    // hub request queue, created by memhub
constexpr key_t HUB_SEGMENT_KEY = 0x6F5A;  // shared segment, created by memhub

// Segment layout.
constexpr int32_t HUB_DIGEST_HALF_A = 0x00000;
constexpr int32_t HUB_DIGEST_HALF_B = 0x10000;
constexpr int32_t HUB_DIGEST_HALF_SIZE = 0x10000;
constexpr int32_t HUB_ARENA_START = 0x20000;
constexpr int32_t HUB_MIN_MEMSIZE = 0x1000000;  // 16 MiB; smaller settings are raised

// Room a video producer asks for one frame.
constexpr int32_t HUB_VIDEO_REQUEST = 0x20000;

// Type word: bits 0-7 stream number, 8-11 kind, 12-15 flags.
constexpr uint32_t SHM_MSG_STREAM_MASK = 0x00FF;
constexpr uint32_t SHM_MSG_KIND_MASK = 0x0F00;

constexpr uint32_t SHM_MSG_TYPE_REQ_SHM = 0x100;          // segment id and size
constexpr uint32_t SHM_MSG_TYPE_REQ_CONFIG_FILE = 0x200;  // text: "/etc/streams.ini"
constexpr uint32_t SHM_MSG_TYPE_REQ_PREFIX = 0x300;       // text: archive prefix
constexpr uint32_t SHM_MSG_TYPE_REQ_CONFIG = 0x400;       // digest offset and length
constexpr uint32_t SHM_MSG_TYPE_REQ_MEM = 0x500;          // room for one frame
constexpr uint32_t SHM_MSG_TYPE_CONNECT = 0x600;          // join the broadcast list
constexpr uint32_t SHM_MSG_TYPE_DISCONNECT = 0x700;       // leave it
constexpr uint32_t SHM_MSG_TYPE_ACK_MEM = 0x800;          // grant, acknowledgement, notice

constexpr uint32_t SHM_MSG_FLAG_KEY = 0x1000;     // write a key frame / is a key frame
constexpr uint32_t SHM_MSG_FLAG_GOP = 0x2000;     // first frame after a GOP mark
constexpr uint32_t SHM_MSG_FLAG_RELOAD = 0x4000;  // configuration reloaded
constexpr uint32_t SHM_MSG_FLAG_EVENT = 0x8000;   // the frame carries an alarm

// The reload notice's whole type word.
constexpr uint32_t SHM_MSG_RELOAD_NOTICE = SHM_MSG_FLAG_RELOAD | SHM_MSG_TYPE_ACK_MEM;

// Type of a HubTextReply.
constexpr long HUB_TEXT_REPLY_TYPE = 1;

// Stream type bits (digest records, grants and notices).
constexpr uint8_t T_UNDEF = 0;
constexpr uint8_t T_VIDEO = 1;
constexpr uint8_t T_AUDIO = 2;
constexpr uint8_t T_TEXT = 4;
constexpr uint8_t T_IMAGE = 8;
constexpr uint8_t T_BINARY = 16;

// Stream numbers with a fixed meaning.
constexpr int HUB_STREAM_COUNT = 256;
constexpr int HUB_LAST_VIDEO_STREAM = 15;  // requests for 0..15 count towards GOP marks
constexpr int HUB_STREAM_AUDIO_LEFT = 16;
constexpr int HUB_STREAM_AUDIO_RIGHT = 17;
constexpr int HUB_STREAM_SIGNAL_TEXT = 255;

inline constexpr uint32_t hub_kind(uint32_t type) { return type & SHM_MSG_KIND_MASK; }
inline constexpr int hub_stream(uint32_t type) {
  return static_cast<int>(type & SHM_MSG_STREAM_MASK);
}

// One hub message as stored by the system (copies kept in notice queues are
// these 28 bytes). All fields little-endian, as the machine stores them.
struct HubMessage {
  uint32_t type;        // type word
  int32_t reply_id;     // sender's reply queue; segment id in the REQ_SHM reply
  int32_t offset;       // segment offset: grant, frame, digest
  int32_t size;         // room asked, bytes written (<0: none), digest or segment size
  int32_t frame_no;     // producer: frame within its group, 0 = key frame
  int32_t gop_time;     // hub: UNIX time of the latest GOP mark / of the reload
  uint16_t time_code;   // producer: ms since the group started (video only)
  uint8_t level;        // producer: activity 0..63; 0 in a grant
  uint8_t stream_type;  // hub: the stream's type bits
};
static_assert(sizeof(HubMessage) == 28);
static_assert(offsetof(HubMessage, type) == 0);
static_assert(offsetof(HubMessage, reply_id) == 4);
static_assert(offsetof(HubMessage, offset) == 8);
static_assert(offsetof(HubMessage, size) == 12);
static_assert(offsetof(HubMessage, frame_no) == 16);
static_assert(offsetof(HubMessage, gop_time) == 20);
static_assert(offsetof(HubMessage, time_code) == 24);
static_assert(offsetof(HubMessage, level) == 26);
static_assert(offsetof(HubMessage, stream_type) == 27);

// Bytes after the type word: the size given to msgsnd and msgrcv.
constexpr size_t HUB_BODY_SIZE = 24;

// The message as msgsnd/msgrcv see it on this host.
struct HubWire {
  long mtype;
  uint8_t body[HUB_BODY_SIZE];
};

// Text answer to REQ_CONFIG_FILE and REQ_PREFIX: type 1, then 256 bytes that
// hold a NUL-terminated text (msgsnd size 256).
constexpr size_t HUB_TEXT_SIZE = 256;
struct HubTextReply {
  long mtype;
  char text[HUB_TEXT_SIZE];
};

// The name served by REQ_CONFIG_FILE.
inline constexpr const char* HUB_CONFIG_FILE = "/etc/streams.ini";

// Configuration digest.
constexpr uint32_t HUB_DIGEST_MAGIC = 0xB505B5B5;
constexpr size_t HUB_DIGEST_HEADER = 8;     // magic, trailer offset, trailer length
constexpr size_t HUB_DIGEST_MAX = 0xFFFF;   // a digest never exceeds this length
constexpr size_t HUB_DIGEST_CODEC_MAX = 9;  // characters, NUL not counted
constexpr size_t HUB_DIGEST_NAME_MAX = 79;
constexpr size_t HUB_DIGEST_PARAMS_MAX = 255;
constexpr size_t HUB_DIGEST_TEXT_MAX = 255;  // device id, trailer strings, prefix

// Trailer tags, written in this order.
enum HubDigestTag : uint8_t {
  HUB_TAG_CODEPAGE = 1,   // [common] codepage
  HUB_TAG_TZ = 2,         // first line of /etc/TZ
  HUB_TAG_RS_DEVICE = 3,  // [rsconfig] device
  HUB_TAG_SCHEDULE = 4,   // packed weekly schedule of /etc/timer.ini
  HUB_TAG_MAIL_TO = 5,    // [smtp_mail] smtp_to
  HUB_TAG_CSERV = 6,      // first line of /etc/cserv
  HUB_TAG_TIME_CFG = 7,   // first line of /etc/time.cfg
  HUB_TAG_NTSC = 8,       // [camtap] ntsc
};
constexpr int HUB_TAG_COUNT = 8;
