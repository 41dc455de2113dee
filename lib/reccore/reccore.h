// libreccore: the run loop of a recording program (recorder, clipsaver).
//
// A program fills a SaverCallbacks table and calls DoRecCore. The library
// connects to memhub and statekeeper, keeps every frame notice of the hub in
// its notice queue (28-byte copies; the payloads stay in the shared segment),
// keeps a number of groups of pictures as pre-record, decides per stream and
// per group whether the group is recorded (continuously while the weekly
// schedule allows, or for a time after motion, alarm texts, serial alarms
// and general events), reports camera recording states to statekeeper, and
// hands every queued notice to the program's callbacks in order. The program
// only stores; the library decides when.
//
// Payload validity. The hub overwrites the oldest frames when its arena
// wraps and tells nobody. The library follows the writer with an
// ArenaTracker fed by every notice it takes from its queue, drains its queue
// (without handling the messages yet) before it hands a notice over, and
// never hands a saving callback (CalcActivAndEvents, SaveBlock) a notice
// whose payload the writer may already have reused: such a notice is
// dropped, with the following frames of its video stream up to that
// stream's next key frame (they could not be decoded without it), and the
// group logs "Frames overwritten in shared memory: %d dropped". Programs
// that keep notices beyond the callback (the recorder's disc safe queue)
// ask RecCoreNoticeStamp/RecCorePayloadIntact before they use them.
//
// Processes and signals: single-threaded. DoRecCore installs handlers for
// SIGTERM, SIGINT, SIGQUIT (stop) and SIGHUP (reload) that only set
// s_sigterm / s_sighup; the loop polls them. One DoRecCore runs at a time in
// a process.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "hub/arena_tracker.h"
#include "hub/hub_client.h"
#include "hub/hub_protocol.h"
#include "lib/inistore/ini_store.h"
#include "statekeeper/state_protocol.h"

// ---------------------------------------------------------------------------
// The program's callback table: 17 words, slot 0 the user pointer handed
// back as the first argument of every callback. A null slot is skipped. The
// library reads a slot at every use, so a program may change it while
// running.
//
// Flags passed with a notice: record = the stream's record countdown > 0
// (recording on an event); schedule = hour_rec set and the record countdown
// non-zero (-1, continuous, counts); clip = the stream's clip countdown > 0.
struct SaverCallbacks {
  void* user;  // 0
  // 1: after every configuration read. ini is open for reading; prefix is
  // the archive folder served by the hub; base is the attached segment
  // (read-only), the digest is at base + digest_offset, digest_length bytes;
  // budget is the byte budget (2/3 of the segment). on and fdiv have 16
  // entries (streams 0..15), rmove 256. The program may clear *notify to
  // switch state reports off for this run.
  void (*OnConfigReload)(void* user, ConfigHandle* ini, const char* prefix, const uint8_t* base,
                         int32_t digest_offset, int32_t digest_length, int32_t budget,
                         const uint8_t* on, const uint8_t* fdiv, const uint8_t* rmove, int* notify);
  // 2: at every GOP mark, after the groups due have been written.
  void (*FileCloseCheck)(void* user);
  // 3: before a group is written; queue is the notice queue, whose first
  // entry is the group's first notice. Non-zero ends the run (failure).
  int (*BeforeSaveGOPData)(void* user, HubMessage* queue);
  // 4: first pass over the group, once per notice.
  void (*CalcActivAndEvents)(void* user, HubMessage* notice, int record, int schedule, int clip);
  // 5: second pass, once per notice. Non-zero ends the run (failure).
  int (*SaveBlock)(void* user, HubMessage* notice, int record, int schedule, int clip);
  // 6: the clip countdown of stream (0..15) ran out.
  void (*CloseVids)(void* user, int stream);
  // 7: after a group has been written.
  void (*AfterSaveGOPData)(void* user);
  // 8: before groups are written because pre-record or budget is full, and
  // when the queue has been drained.
  void (*SyncFiles)(void* user);
  // 9: when the queue has been drained (end of a run).
  void (*SaveAllData)(void* user);
  // 10: at the end of a run.
  void (*CloseFiles)(void* user);
  // 11 / 12: around the handling of an event notice or a serial alarm.
  void (*BeforeAchtungLogic)(void* user);
  void (*AfterAchtungLogic)(void* user);
  // 13: an alarm text of text_stream that counts for source_stream. text is
  // a NUL-terminated copy of the notice's text (at most 255 bytes). Non-zero
  // starts a clip of source_stream.
  int (*VidsAchtung)(void* user, int text_stream, int source_stream, int32_t gop_time,
                     const char* text);
  // 14: serial alarm input 0..3 became active. Non-zero starts a clip.
  int (*VidsRSAchtung)(void* user, int input, int32_t gop_time);
  // 15: a general event reaches stream (rgevt). Non-zero starts a clip.
  int (*VidsCommonAchtung)(void* user, int stream);
  // 16: statekeeper sent the schedule state (hour_rec is updated).
  void (*OnRecordEnable)(void* user, int32_t gop_time);
};
static_assert(sizeof(SaverCallbacks) == 17 * sizeof(void*));

// ---------------------------------------------------------------------------
constexpr int RC_STREAMS = 256;
constexpr int RC_CLIP_STREAMS = 16;  // streams with ON, fdiv and a clip countdown
constexpr int RC_CAMERAS = 4;        // cameras whose recording state is reported
constexpr int RC_QUEUE_STEP = 2048;  // notice queue capacity and growth
constexpr int32_t RC_GROUP_SECONDS = 3;
constexpr int32_t RC_PRERECORD_FOREVER = 0x0FFFFFFF;  // seconds, for a negative prerecord

// A message taken from the own queue but not handled yet (see rc_pump).
struct RcStashed {
  bool is_state;
  StateMessage state;
  HubMessage notice;
  uint64_t stamp;  // arena stamp of a frame notice
};

// One run's state, zero-filled (and set to its defaults) at every (re)start.
struct SaverContext {
  // Queues and segment.
  int state_qid = -1;  // statekeeper's queue, -1 = none
  HubClient hub;       // hub queue, own reply queue, the attached segment
  const uint8_t* base = nullptr;
  int32_t shm_size = 0;
  int32_t digest_offset = 0;
  int32_t digest_length = 0;
  char prefix[HUB_TEXT_SIZE] = {};
  char config_file[HUB_TEXT_SIZE] = {};

  // The notice queue: copies of the kept notices, their arena stamps, and a
  // per-notice scratch mark used while a group is written.
  HubMessage* queue = nullptr;
  uint64_t* stamps = nullptr;
  uint8_t* lost = nullptr;
  int max_msgs = 0;
  int msgs = 0;              // notices queued
  int groups = 0;            // complete groups queued
  int64_t queued_bytes = 0;  // payload bytes of the queued notices
  int32_t budget = 0;        // segment size * 2 / 3
  int32_t prerecord = 1;     // pre-record length in groups

  // Per stream.
  int32_t record[RC_STREAMS] = {};       // record countdown; -1 continuous
  int32_t report[RC_STREAMS] = {};       // report countdown
  int32_t dtime[RC_STREAMS] = {};        // groups recorded after an event
  uint8_t rmove[RC_STREAMS] = {};        // record only on events
  uint8_t rgevt[RC_STREAMS] = {};        // record on a general event
  uint8_t grevt[RC_STREAMS] = {};        // events of this stream are general events
  uint16_t report_map[RC_STREAMS] = {};  // text stream -> stream its events count for
  int32_t clip[RC_CLIP_STREAMS] = {};
  uint8_t on[RC_CLIP_STREAMS] = {};
  uint8_t fdiv[RC_CLIP_STREAMS] = {};
  int32_t ge_hold[RC_CAMERAS] = {};  // general-event hold per camera

  SaverCallbacks* cb = nullptr;
  int report_flag = 0;  // the program reports camera recording states
  int notify = 0;       // reports switched on for this run (the program may clear it)
  int32_t last_gop_time = 0;

  // Payload validity and the messages drained ahead of their handling.
  ArenaTracker tracker;
  RcStashed* stash = nullptr;
  int stash_cap = 0;
  int stash_head = 0;
  int stash_count = 0;
  bool stash_only_observe = false;  // end of run: follow the writer, keep nothing

  // Run control.
  bool reload = false;    // a reload notice arrived
  bool failed = false;    // a callback or the queue failed: the run ends with -1
  bool gop_seen = false;  // a GOP mark was taken in since FileCloseCheck ran

  // Test seam: when set, state messages go here instead of to state_qid.
  int (*send_state)(SaverContext* ctx, const StateMessage& m) = nullptr;
  void* test_data = nullptr;

  SaverContext() = default;
  ~SaverContext();
  SaverContext(const SaverContext&) = delete;
  SaverContext& operator=(const SaverContext&) = delete;
};

// ---------------------------------------------------------------------------
// Exported state.

// Recording allowed by the weekly schedule (state 21 of statekeeper). Starts
// 0; kept across reloads.
extern uint8_t hour_rec;
// Set by the signal handlers: stop (SIGTERM, SIGINT, SIGQUIT) and reload
// (SIGHUP).
extern volatile sig_atomic_t s_sigterm;
extern volatile sig_atomic_t s_sighup;

void sigquit(int sig);  // sets s_sigterm
void sighup(int sig);   // sets s_sighup
// For SIGSEGV: restores the default action and raises the signal again, so
// the process ends with a core instead of looping on the fault.
void sigfault(int sig);

// ---------------------------------------------------------------------------
// Exported operations.

// Runs until stopped: 0 after an orderly stop, -1 after a failure. argv[0]
// is the program path (key of the reply queue). report = 1: the program
// reports camera recording states to statekeeper.
int DoRecCore(int argc, char** argv, SaverCallbacks* callbacks, int report);

// Writes the oldest queued group: 0 = written or nothing queued, 1 = a
// callback failed (the run must end).
int SaveGOPData(SaverContext* ctx);

// SaveGOPData until the queue is empty (or a callback fails), then slots 8
// and 9. 0, or 1 when a group could not be written.
int SaveALLData(SaverContext* ctx);

// Asks the hub for the configuration file name, the prefix and the digest,
// then reads the configuration (see rc_apply_config). 0 or -1.
int ReloadConfigFile(SaverContext* ctx, int hub_qid, int own_qid);

// For stream < 4 while reports are on: state 16 + stream with value
// (on and ON[stream]) and alarm byte (general and grevt[stream]).
void change_write_cam(SaverContext* ctx, int stream, int on, int general);

// Sends one StateMessage (19 bytes) without blocking on a full queue,
// retrying after EINTR until stopped. -2 when queue < 1, -1 on error.
int ss_send(int queue, const StateMessage* m);

// Takes the next message of up to 24 bytes from queue, waiting; EINTR (until
// a stop or reload flag is raised) and E2BIG are retried. Returns 2 with
// *out filled for a 19-byte message (a StateMessage), 1 for any other size
// (the message is in *buffer, its size in *size), 0 on stop or error (errno
// kept; EINTR on stop).
int do_recv(int queue, MixedWire* buffer, size_t* size, StateMessage* out);

// For programs that keep notices beyond a callback. Valid only while
// DoRecCore runs, called from a callback: the arena stamp of a notice handed
// to a callback (a pointer into the notice queue), kArenaNoStamp otherwise;
// and whether a payload so stamped is still intact (the queue is drained
// first so the answer is up to date).
uint64_t RecCoreNoticeStamp(const HubMessage* notice);
bool RecCorePayloadIntact(uint64_t stamp);

// ---------------------------------------------------------------------------
// The engine, exposed for the unit tests and for the program's own tests.
// None of these talk to the hub except rc_pump (a no-op without a reply
// queue).

// Zero-fills the context and sets the defaults of a new run.
void rc_context_reset(SaverContext* ctx, SaverCallbacks* cb, int report);
// Allocates the notice queue (2048 entries and a spare). 0 or -1.
int rc_queue_alloc(SaverContext* ctx);
// Steps 2-5 of a configuration read over an open store and the digest:
// prerecord, the per-stream keys of every stream in the digest, then the
// notify flag and slot 1.
void rc_apply_config(SaverContext* ctx, ConfigHandle* ini, const uint8_t* digest, size_t length);
// Handles one hub notice taken from the queue (stamp from the tracker).
// Returns 0, or -1 when the run must end (ctx->failed).
int rc_on_notice(SaverContext* ctx, const HubMessage& m, uint64_t stamp);
// Handles one state message from statekeeper.
void rc_on_state(SaverContext* ctx, const StateMessage& m);
// Drains the own queue without waiting: every message is kept in the stash
// (or, at the end of a run, only followed by the tracker) for later
// handling.
void rc_pump(SaverContext* ctx);
// Takes the oldest stashed message. false when the stash is empty.
bool rc_stash_pop(SaverContext* ctx, RcStashed* out);
// Number of notices of the oldest group (0 when the queue is empty).
int rc_group_length(const SaverContext* ctx);
// Makes ctx the context RecCoreNoticeStamp and RecCorePayloadIntact use.
void rc_set_current(SaverContext* ctx);
