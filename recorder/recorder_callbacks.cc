// The recorder's callbacks for libreccore, its settings and options, and
// the disc safe mode.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "hub/digest_reader.h"
#include "lib/platform/exec.h"
#include "lib/platform/log.h"
#include "lib/reccore/reccore.h"
#include "recorder/recorder.h"

namespace {

RecorderState* state(void* user) { return static_cast<RecorderState*>(user); }

bool parse_number(const char* s, int64_t* out) {
  if (s == nullptr || *s == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s, &end, 0);
  if (errno != 0 || end == s) return false;
  *out = v;
  return true;
}

void usage(const char* prog) {
  std::fprintf(stderr, "Usage %s [-p dir] [-s size] [-h 0|1]\n", prog);
  std::fprintf(stderr, "-p [dir] videodata folder\n");
  std::fprintf(stderr, "-s [size] maximum .qvs3 file size\n");
  std::fprintf(stderr, "-h [0|1] generate .hdr file (default NOT generate)\n");
  std::fprintf(stderr, "-m [0|1] notify state manager (default notify)\n");
  std::fprintf(stderr,
               "-i [0|1] generate {.30m, .1h, .6h, .12h, .24h, .7d} files (default generate)\n");
}

void read_text(ConfigHandle* ini, const char* key, std::string* out) {
  char buf[REC_TEXT + 1];
  int rc = ConfigGetStr(ini, buf, "saver", key, sizeof buf);
  if (rc != CONFIG_OK) {
    dv::log_msg("saver/%s %s\n", key, ConfigError(rc));
    out->clear();
    return;
  }
  *out = buf;
}

void read_int(ConfigHandle* ini, const char* key, int32_t def, int32_t* out) {
  int32_t v = 0;
  int rc = ConfigGetInt(ini, &v, "saver", key);
  if (rc != CONFIG_OK) {
    dv::log_msg("saver/%s %s\n", key, ConfigError(rc));
    v = def;
  }
  *out = v;
}

bool held_payload_intact(RecorderState* gv, uint64_t stamp) {
  if (gv->held_intact != nullptr) return gv->held_intact(gv, stamp);
  return RecCorePayloadIntact(stamp);
}

// The end of a holding period: the hook, the burst, the next switch time.
int stop_holding(RecorderState* gv, int64_t group_time) {
  rec_run_hook(gv->on_safe_stop, "On safe stop '%s'\n");
  gv->holding = false;  // the burst is written as live groups are
  int r = StoreSafeQueue(gv);
  gv->next_switch = group_time + gv->safe_start_ival;
  dv::log_msg("Disc safe mode Next Time: %s", rec_utc_text(gv->next_switch).c_str());
  return r;
}

}  // namespace

int64_t rec_size_setting(int64_t v) { return v <= REC_MIB_LIMIT ? v * (int64_t{1} << 20) : v; }

std::string rec_utc_text(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char buf[64];
  if (gmtime_r(&tt, &tm) == nullptr ||
      std::strftime(buf, sizeof buf, "%d/%m/%Y %H:%M:%S", &tm) == 0) {
    return "?";
  }
  return buf;
}

void rec_run_hook(const std::string& cmd, const char* fmt) {
  if (cmd.empty()) return;
  dv::log_msg(fmt, cmd.c_str());
  dv::run_shell(cmd);
}

void rec_parse_options(RecorderState* gv, int argc, char** argv) {
  const char* prog = argc > 0 && argv[0] != nullptr ? argv[0] : "recorder";
  for (int i = 1; i < argc; ++i) {
    const char* opt = argv[i];
    bool known = opt[0] == '-' && opt[1] != '\0' && opt[2] == '\0' &&
                 std::strchr("pshmin", opt[1]) != nullptr;
    if (!known || i + 1 >= argc) {
      usage(prog);
      continue;
    }
    const char* val = argv[++i];
    int64_t n = 0;
    switch (opt[1]) {
      case 'p':
        if (std::strlen(val) + 1 > REC_TEXT || val[0] == '\0') {
          usage(prog);
        } else {
          gv->folder = val;
        }
        break;
      case 's':
        if (parse_number(val, &n)) gv->max_size = rec_size_setting(n);
        break;
      case 'h':
        if (parse_number(val, &n)) gv->write_marker = n != 0;
        break;
      case 'm':
        if (parse_number(val, &n)) gv->notify = n != 0;
        break;
      case 'i':
        if (parse_number(val, &n)) gv->write_summaries = n != 0;
        break;
      case 'n':
        break;  // accepted, ignored
    }
  }
}

void OnConfigReload(void* user, ConfigHandle* ini, const char* prefix, const uint8_t* base,
                    int32_t digest_offset, int32_t digest_length, int32_t budget, const uint8_t* on,
                    const uint8_t* fdiv, const uint8_t* rmove, int* notify) {
  RecorderState* gv = state(user);
  if (gv == nullptr || ini == nullptr) return;
  gv->base = base;
  gv->digest_offset = digest_offset;
  gv->digest_length = digest_length;
  gv->budget = budget;
  gv->continuous = false;
  for (int s = 0; s < 16; ++s) {
    gv->on[s] = on[s];
    gv->fdiv[s] = fdiv[s];
    if (on[s] && !rmove[s]) gv->continuous = true;
  }
  std::memset(gv->types, 0, sizeof gv->types);
  std::memset(gv->listed, 0, sizeof gv->listed);
  DigestReader r;
  if (base != nullptr && digest_length > 0 &&
      digest_reader_open(&r, base + digest_offset, static_cast<size_t>(digest_length)) == 0) {
    DigestStream ds;
    while (digest_next_stream(&r, &ds) == 1) {
      gv->types[ds.number & 0xFF] = ds.type;
      gv->listed[ds.number & 0xFF] = 1;
    }
  }

  gv->folder = prefix != nullptr ? prefix : "";
  int32_t v = 0;
  int rc = ConfigGetInt(ini, &v, "saver", "maxisize");
  if (rc != CONFIG_OK) dv::log_msg("saver/maxisize %s\n", ConfigError(rc));
  int64_t max_setting = rc == CONFIG_OK ? v : REC_DEFAULT_MAX;
  read_text(ini, "on_exit", &gv->on_exit);
  read_text(ini, "on_error", &gv->on_error);
  read_int(ini, "disc_safe", 0, &v);
  gv->disc_safe = v;
  if (gv->disc_safe) {
    read_int(ini, "safe_start_ival", REC_SAFE_START_IVAL, &gv->safe_start_ival);
    read_int(ini, "safe_stop_ival", REC_SAFE_STOP_IVAL, &gv->safe_stop_ival);
    read_text(ini, "on_safe_start", &gv->on_safe_start);
    read_text(ini, "on_safe_stop", &gv->on_safe_stop);
    gv->next_switch = static_cast<int64_t>(std::time(nullptr)) + gv->safe_start_ival;
    dv::log_msg("Disc Safe Mode - enable, safe_start_ival=%d, safe_stop_ival=%d",
                gv->safe_start_ival, gv->safe_stop_ival);
    if (gv->continuous) {
      dv::log_msg("Disc safe mode Next Time: %s", rec_utc_text(gv->next_switch).c_str());
    }
  }

  gv->write_marker = 0;
  gv->notify = 1;
  gv->write_summaries = 1;
  gv->max_size = rec_size_setting(max_setting);  // -s may replace it
  rec_parse_options(gv, gv->argc, gv->argv);
  dv::log_msg("Maximum capture size = %lld\n", static_cast<long long>(gv->max_size));
  if (gv->folder.empty() || gv->folder.back() != '/') gv->folder += '/';
  if (notify != nullptr) *notify = gv->notify;
}

void FileCloseCheck(void* user) {
  RecorderState* gv = state(user);
  int64_t limit = gv->max_size < REC_HARD_MAX ? gv->max_size : REC_HARD_MAX;
  if (gv->set.open && gv->set.data.size > limit) closeQVS3File(gv);
}

int BeforeSaveGOPData(void* user, HubMessage* queue) {
  RecorderState* gv = state(user);
  if (gv->fatal) return 1;
  int32_t t = queue != nullptr ? queue[0].gop_time : 0;
  if (!gv->disc_safe || (!gv->holding && gv->next_switch >= t)) {
    rec_start_group(gv, t);
    return 0;
  }
  if (!gv->holding && gv->continuous && gv->next_switch < t) {
    gv->holding = true;
    gv->next_switch = static_cast<int64_t>(t) + gv->safe_stop_ival;
    rec_run_hook(gv->on_safe_start, "On safe start '%s'\n");
  }
  if (gv->holding && (gv->next_switch < t || gv->held_bytes > gv->budget)) {
    if (stop_holding(gv, t) != 0) return 1;
  }
  if (gv->holding) {
    gv->mark_group = true;
  } else {
    rec_start_group(gv, t);
  }
  return 0;
}

void CalcActivAndEvents(void* user, HubMessage* m, int record, int schedule, int) {
  RecorderState* gv = state(user);
  if ((!record && !schedule) || gv->holding) return;
  int s = hub_stream(m->type);
  uint8_t lv = m->level & 0x3F;
  if (lv > gv->group.levels[s]) gv->group.levels[s] = lv;
  if ((gv->types[s] & T_TEXT) && (m->type & SHM_MSG_FLAG_EVENT) && m->size > 0) {
    gv->group.alarms[s] = 1;
    ++gv->group.alarm_count;
  }
}

int SaveBlock(void* user, HubMessage* m, int record, int schedule, int) {
  RecorderState* gv = state(user);
  if (gv->fatal) return 1;
  if (!record && !schedule) return 0;
  if (!gv->holding) return rec_write_notice(gv, *m) == 0 ? 0 : 1;
  HeldNotice h;
  h.m = *m;
  h.stamp = RecCoreNoticeStamp(m);
  if (gv->mark_group) {
    h.m.type |= SHM_MSG_FLAG_GOP;
    gv->mark_group = false;
  } else {
    h.m.type &= ~SHM_MSG_FLAG_GOP;
  }
  if (gv->held.size() == gv->held.capacity()) gv->held.reserve(gv->held.size() + REC_HELD_STEP);
  gv->held.push_back(h);
  if (m->size > 0) gv->held_bytes += m->size;
  return 0;
}

void AfterSaveGOPData(void* user) {
  RecorderState* gv = state(user);
  if (gv->group.open && rec_commit_group(gv) != 0) gv->fatal = true;
}

void SyncFiles(void* user) {
  RecorderState* gv = state(user);
  if (gv->group.open) return;  // only between groups
  rec_sync(gv);
}

void SaveAllData(void* user) {
  RecorderState* gv = state(user);
  if (!gv->holding) return;
  if (stop_holding(gv, static_cast<int64_t>(std::time(nullptr))) != 0) gv->fatal = true;
}

void CloseFiles(void* user) { closeQVS3File(state(user)); }

int StoreSafeQueue(RecorderState* gv) {
  if (gv->held.empty()) return 0;
  size_t n = gv->held.size();
  int32_t first_time = gv->held.front().m.gop_time;
  int32_t last_time = gv->held.back().m.gop_time;
  int64_t bytes = gv->held_bytes;
  int dropped = 0;
  int result = 0;
  size_t i = 0;
  while (i < n && result == 0) {
    size_t end = i + 1;
    while (end < n && !(gv->held[end].m.type & SHM_MSG_FLAG_GOP)) ++end;
    FileCloseCheck(gv);
    rec_start_group(gv, gv->held[i].m.gop_time);
    // Which payloads are still there, with the video frames that depend on
    // a lost one.
    std::vector<uint8_t> lost(end - i, 0);
    for (size_t k = i; k < end; ++k) {
      const HubMessage& m = gv->held[k].m;
      if (lost[k - i] || m.size <= 0 || held_payload_intact(gv, gv->held[k].stamp)) continue;
      lost[k - i] = 1;
      if (!(m.stream_type & T_VIDEO)) continue;
      for (size_t j = k + 1; j < end; ++j) {
        const HubMessage& q = gv->held[j].m;
        if (hub_stream(q.type) != hub_stream(m.type)) continue;
        if (q.frame_no == 0 || (q.type & SHM_MSG_FLAG_KEY)) break;
        lost[j - i] = 1;
      }
    }
    for (size_t k = i; k < end; ++k) {
      if (lost[k - i]) {
        ++dropped;
        continue;
      }
      HubMessage m = gv->held[k].m;
      m.type &= ~SHM_MSG_FLAG_GOP;
      CalcActivAndEvents(gv, &m, 1, 1, 0);
    }
    for (size_t k = i; k < end && result == 0; ++k) {
      if (lost[k - i]) continue;
      // Checked again right before the write: the writer goes on meanwhile.
      if (gv->held[k].m.size > 0 && !held_payload_intact(gv, gv->held[k].stamp)) {
        ++dropped;
        continue;
      }
      if (rec_write_notice(gv, gv->held[k].m) != 0) result = -1;
    }
    if (result == 0 && gv->group.open && rec_commit_group(gv) != 0) result = -1;
    i = end;
  }
  if (result == 0) rec_sync(gv);
  if (dropped > 0) dv::log_msg("Frames overwritten in shared memory: %d dropped\n", dropped);
  dv::log_msg("Disc safe mode: Begin Time: %s, End Time: %s, Data Size = %lld bytes (%d sec)",
              rec_utc_text(first_time).c_str(), rec_utc_text(last_time).c_str(),
              static_cast<long long>(bytes), static_cast<int>(last_time - first_time));
  gv->held.clear();
  gv->held_bytes = 0;
  return result;
}
