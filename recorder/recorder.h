// recorder: the program that writes the archive. Its main hands the
// callbacks below to DoRecCore (libreccore), which decides what is recorded
// and when; the callbacks turn each recorded group into the files of a set
// (archive_format.h): data (.qvs3), index (.id3), events (.evt), the six
// summaries and the optional marker.
//
// Write order of a group, chosen so that a set killed at any moment is still
// readable up to its last complete group: the group header and the frame
// blocks go to the data file first; only when the whole group is in the
// data file (AfterSaveGOPData) are its .evt entry, its index record and the
// summary records written. An index record therefore never names a group
// that is not all there; what a killed recorder leaves after its last index
// record is cut off by the next recorder before it opens a new set
// (set_repair.h). A write that fails takes the whole group back out of the
// set (files truncated to where the group began) and ends the run.
//
// Disc safe mode: while "holding", recorded notices are only kept (28-byte
// copies with their arena stamps); at the end of the holding period they
// are written in one burst, group by group, exactly as live writing would
// have written them. A held payload that the hub's writer may have reached
// in the meantime is dropped, never written.
//
// Single-threaded; hooks run synchronously through the shell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hub/hub_protocol.h"
#include "lib/inistore/ini_store.h"
#include "recorder/archive_format.h"

constexpr int REC_TEXT = 255;                       // settings texts, without the NUL
constexpr int64_t REC_DEFAULT_MAX = 600000000;      // bytes
constexpr int64_t REC_MIB_LIMIT = 999999;           // sizes up to this are MiB
constexpr int64_t REC_HARD_MAX = int64_t{1} << 31;  // index offsets stay 32-bit
constexpr int32_t REC_SAFE_START_IVAL = 86400;
constexpr int32_t REC_SAFE_STOP_IVAL = 40;
constexpr int REC_HELD_STEP = 2048;

// A notice kept while holding.
struct HeldNotice {
  HubMessage m;
  uint64_t stamp;
};

// The data file: bytes are staged in memory and go to the file in large
// writes; large payloads are written straight from the segment.
struct DataOut {
  int fd = -1;
  int64_t size = 0;  // bytes of the file including what is staged
  std::vector<uint8_t> stage;
  size_t staged = 0;
};

// The open set.
struct OpenSet {
  bool open = false;
  uint32_t number = 0;
  std::string data_name;
  DataOut data;
  int index_fd = -1;
  int evt_fd = -1;
  int sum_fd[dv::ARC_SUMMARY_COUNT] = {-1, -1, -1, -1, -1, -1};
  std::vector<dv::ArcSummary> si;
  uint32_t index_count = 0;  // index records written
  int64_t evt_size = 0;      // bytes of the event file
  int64_t last_group = -1;   // offset of the previous group header in the data file
};

// The group being written.
struct GroupState {
  int32_t time = 0;
  uint8_t levels[256] = {};  // level maxima of the first pass
  uint8_t alarms[256] = {};  // streams with an alarm text
  int alarm_count = 0;
  bool first_text = true;
  bool index_pending = true;         // group header not written yet
  bool open = false;                 // header written, not committed yet
  int64_t start = 0;                 // offset of its group header
  uint8_t written_levels[256] = {};  // level maxima of the frames written
  std::vector<uint8_t> evt;          // its .evt entry (texts), written at commit
  int evt_texts = 0;
  int32_t evt_time = 0;
};

struct RecorderState {
  // Set, group.
  OpenSet set;
  GroupState group;
  bool fatal = false;         // a write failed after the callback could say so
  int64_t clean_closed = -1;  // number of the last set this process closed cleanly
  bool repaired_once = false;

  // From the framework.
  const uint8_t* base = nullptr;
  int32_t digest_offset = 0;
  int32_t digest_length = 0;
  int32_t budget = 0;
  uint8_t on[16] = {};
  uint8_t fdiv[16] = {};
  uint8_t types[256] = {};   // stream type bits from the digest
  uint8_t listed[256] = {};  // streams the digest lists

  // Settings.
  std::string folder;  // ends in "/"
  int64_t max_size = REC_DEFAULT_MAX;
  std::string on_exit, on_error, on_safe_start, on_safe_stop;
  int write_marker = 0;     // -h
  int write_summaries = 1;  // -i
  int notify = 1;           // -m
  int disc_safe = 0;
  int32_t safe_start_ival = REC_SAFE_START_IVAL;
  int32_t safe_stop_ival = REC_SAFE_STOP_IVAL;

  // Disc safe mode.
  bool continuous = false;  // some stream 0..15 is ON without rmove
  bool holding = false;
  int64_t next_switch = 0;
  std::vector<HeldNotice> held;
  int64_t held_bytes = 0;
  bool mark_group = false;  // the next held notice starts a group

  int argc = 0;
  char** argv = nullptr;

  // Test seams: the payload of a notice (default: the segment) and whether
  // a held payload is still intact (default: the framework's tracker).
  const uint8_t* (*payload)(RecorderState* gv, const HubMessage& m) = nullptr;
  bool (*held_intact)(RecorderState* gv, uint64_t stamp) = nullptr;
  // Fails data-file writes once this many more bytes have gone out (-1: off).
  int64_t fail_data_after = -1;
};

// ---------------------------------------------------------------------------
// Callbacks (slots of SaverCallbacks); user is the RecorderState.
void OnConfigReload(void* user, ConfigHandle* ini, const char* prefix, const uint8_t* base,
                    int32_t digest_offset, int32_t digest_length, int32_t budget, const uint8_t* on,
                    const uint8_t* fdiv, const uint8_t* rmove, int* notify);
void FileCloseCheck(void* user);
int BeforeSaveGOPData(void* user, HubMessage* queue);
void CalcActivAndEvents(void* user, HubMessage* notice, int record, int schedule, int clip);
int SaveBlock(void* user, HubMessage* notice, int record, int schedule, int clip);
void AfterSaveGOPData(void* user);
void SyncFiles(void* user);
void SaveAllData(void* user);
void CloseFiles(void* user);

// ---------------------------------------------------------------------------
// Options and settings.

// Parses the command line over the settings (-p -s -h -m -i -n); anything
// else prints the usage to standard error and parsing goes on.
void rec_parse_options(RecorderState* gv, int argc, char** argv);
// maxisize / -s: values up to 999999 are MiB, larger ones bytes.
int64_t rec_size_setting(int64_t v);
// Runs a hook command line (empty: nothing) after logging fmt with it.
void rec_run_hook(const std::string& cmd, const char* fmt);
// "%d/%m/%Y %H:%M:%S" in UTC.
std::string rec_utc_text(int64_t t);

// ---------------------------------------------------------------------------
// The set files.

// Opens a new set in the folder: repairs the newest existing set first
// (once per process, and whenever this process did not close it cleanly),
// numbers the new one, creates index, events, summaries and marker, and
// puts the data file in place with its digest copy. 0, or -1 (logged; no
// file of the failed set is left behind).
int openQVS3File(RecorderState* gv);
// Closes the set: the pending group is committed, open summary periods are
// written, files synced and closed.
void closeQVS3File(RecorderState* gv);
// Starts a group: time, cleared maxima and marks, index pending.
void rec_start_group(RecorderState* gv, int32_t time);
// Writes the group header of the current group (its index record follows
// at commit). 0 or -1 ("saveQVS3idx %s").
int saveQVS3idx(RecorderState* gv);
// Writes one frame block. 0 or -1 ("saveQVS3data %s").
int saveQVS3data(RecorderState* gv, const HubMessage& m, const uint8_t* payload);
// Adds an alarm text to the group's .evt entry (written at commit).
int save_evt_to_storage(RecorderState* gv, const HubMessage& m, const uint8_t* payload);
// Creates the six summary files of set n. 0 or -1.
int open_si(RecorderState* gv);
// Feeds one index record to the summaries, writing every record that ends
// a period (flush and fdatasync after each).
void save_all_si(RecorderState* gv, const dv::ArcIndexRecord& r);
// Writes the held notices, group by group. 0 or -1.
int StoreSafeQueue(RecorderState* gv);

// Writes one recorded notice of the current group as live writing does
// (opens a set if none, header first, frame block, event text). 0 or -1.
int rec_write_notice(RecorderState* gv, const HubMessage& m);
// Commits the current group: staged data out, .evt entry, index record,
// summaries. 0 or -1 (the group is taken back out).
int rec_commit_group(RecorderState* gv);
// Takes the current group back out of the set and closes it.
void rec_rollback_group(RecorderState* gv);
// Flushes staged data and fdatasyncs data, index and events. 0 or -1.
int rec_sync(RecorderState* gv);
// The payload of a notice inside the segment, or null.
const uint8_t* rec_payload(RecorderState* gv, const HubMessage& m);
