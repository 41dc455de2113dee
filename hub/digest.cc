#include "hub/digest.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "lib/inistore/ini_store.h"
#include "lib/platform/le.h"
#include "lib/platform/log.h"
#include "lib/platform/sysroot.h"
#include "statekeeper/schedule.h"

namespace {

// Upper bound of sections the pass visits.
constexpr int kMaxSections = 65536;

// Type names by index; the type bits are 0 for index 0, else 1 << (index - 1).
const char* const kTypeNames[] = {"T_UNDEF", "T_VIDEO", "T_AUDIO", "T_TEXT", "T_IMAGE", "T_BINARY"};

// Text keys appended to the parameter string as " -key=value", then integer
// keys appended as " -key" when non-zero.
const char* const kParamTextKeys[] = {"width", "height", "quant",       "bits",
                                      "rate",  "fdiv",   "motion_mask", "base_fps"};
const char* const kParamFlagKeys[] = {"nosnd", "mono", "stereo", "utf-8",
                                      "utf8",  "koi8", "cp1251", "bw"};

struct StreamRecord {
  bool set = false;
  uint8_t type = 0;
  int8_t alarm = 0;
  std::string codec, name, params;
};

// A byte that ends a word in an INI header (the store's notion of blank).
bool is_blank(char c) { return static_cast<signed char>(c) < 33; }

// The number token after "stream_" in a header ("12 ]" gives "12").
std::string header_token(const char* p) {
  std::string tok;
  while (*p != '\0' && !is_blank(*p) && *p != ']' && tok.size() < 64) tok.push_back(*p++);
  return tok;
}

// Parses a whole token as a number with C base prefixes. false for garbage,
// a sign-only or empty token, or a value that does not fit a long.
bool parse_stream_number(const std::string& tok, long* out) {
  if (tok.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(tok.c_str(), &end, 0);
  if (errno != 0 || end == tok.c_str() || *end != '\0') return false;
  *out = v;
  return true;
}

// Reads key as text into a std::string (at most max characters). Returns the
// store's result code.
int get_text(ConfigHandle* h, const char* section, const char* key, size_t max, std::string* out) {
  char buf[HUB_DIGEST_TEXT_MAX + 2];
  if (max > HUB_DIGEST_TEXT_MAX) max = HUB_DIGEST_TEXT_MAX;
  int rc = ConfigGetStr(h, buf, section, key, static_cast<int32_t>(max + 1));
  if (rc == CONFIG_OK) out->assign(buf);
  return rc;
}

// First line of a small system file, as read (line end included, at most 255
// bytes). Empty when the file cannot be opened or is empty.
bool first_line(const char* logical, std::string* out) {
  out->clear();
  FILE* f = std::fopen(dv::sys_path(logical).c_str(), "r");
  if (f == nullptr) return false;
  char buf[256];
  if (std::fgets(buf, sizeof buf, f) != nullptr) out->assign(buf);
  std::fclose(f);
  return true;
}

// Reads one [stream_N] section. Returns false when the stream is skipped.
bool read_stream(ConfigHandle* h, const char* section, StreamRecord* rec) {
  int32_t on = 0;
  int rc = ConfigGetInt(h, &on, section, "ON");
  if (rc != CONFIG_OK) {
    dv::log_msg(" %s/ON %s\n", section, ConfigError(rc));
    return false;
  }
  uint8_t bits = 0;
  if (on != 0) {
    std::string type;
    rc = get_text(h, section, "type", HUB_DIGEST_TEXT_MAX, &type);
    if (rc != CONFIG_OK) {
      dv::log_msg(" %s/type %s\n", section, ConfigError(rc));
      return false;
    }
    int index = -1;
    for (int i = 0; i < 6; ++i) {
      if (strcasecmp(type.c_str(), kTypeNames[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      dv::log_msg(" %s unknown type %s\n", section, type.c_str());
      return false;
    }
    bits = index == 0 ? 0 : static_cast<uint8_t>(1u << (index - 1));
  } else {
    dv::log_msg(" - IS OFF\n");
  }
  dv::log_msg(" type = 0x%x", bits);

  std::string codec;
  rc = get_text(h, section, "codec", HUB_DIGEST_CODEC_MAX, &codec);
  if (rc != CONFIG_OK) {
    dv::log_msg(" %s/codec %s\n", section, ConfigError(rc));
    return false;
  }
  dv::log_msg(" codec = '%s'", codec.c_str());

  std::string name;
  rc = get_text(h, section, "name", HUB_DIGEST_NAME_MAX, &name);
  if (rc != CONFIG_OK) {
    dv::log_msg(" %s/name %s\n", section, ConfigError(rc));
    return false;
  }
  if (name.empty()) name = "noname";
  dv::log_msg(" name = '%s'", name.c_str());

  std::string params;
  if (get_text(h, section, "params", HUB_DIGEST_PARAMS_MAX, &params) != CONFIG_OK) params.clear();
  auto append = [&](const std::string& piece, const char* key) {
    if (params.size() + piece.size() > HUB_DIGEST_PARAMS_MAX) {
      dv::log_msg(" %s params too long, -%s left out\n", section, key);
      return;
    }
    params += piece;
  };
  for (const char* key : kParamTextKeys) {
    std::string value;
    if (get_text(h, section, key, HUB_DIGEST_TEXT_MAX, &value) == CONFIG_OK) {
      append(" -" + std::string(key) + "=" + value, key);
    }
  }
  for (const char* key : kParamFlagKeys) {
    int32_t v = 0;
    if (ConfigGetInt(h, &v, section, key) == CONFIG_OK && v != 0) {
      append(" -" + std::string(key), key);
    }
  }
  if (params.empty()) params = "-none";
  dv::log_msg(" params = '%s'\n", params.c_str());

  int32_t achtung = 0;
  int8_t alarm = 0;
  if (ConfigGetInt(h, &achtung, section, "ACHTUNG") == CONFIG_OK && achtung != 0) {
    dv::log_msg("%s achtung = %d\n", section, achtung);
    alarm = achtung < 0 ? -1 : 1;
  }

  rec->set = true;
  rec->type = bits;
  rec->alarm = alarm;
  rec->codec = codec;
  rec->name = name;
  rec->params = params;
  return true;
}

// A trailer string from an INI key; empty (with the log line) when missing.
std::string trailer_key(ConfigHandle* h, const char* section, const char* key) {
  std::string v;
  int rc = get_text(h, section, key, HUB_DIGEST_TEXT_MAX, &v);
  if (rc != CONFIG_OK) {
    dv::log_msg("%s/%s %s\n", section, key, ConfigError(rc));
    v.clear();
  }
  return v;
}

std::string trailer_file(const char* logical) {
  std::string v;
  if (!first_line(logical, &v)) dv::log_msg("Error: Can't open %s", logical);
  return v;
}

std::string trailer_schedule(const char* logical) {
  WeekSchedule ws;
  ScheduleReadStatus st;
  if (schedule_read(&ws, logical, &st) != 0) {
    dv::log_msg("Can't open %s", logical);
    return std::string();
  }
  if (st.mode_result != CONFIG_OK) {
    dv::log_msg("%s: common/mode %s\n", logical, ConfigError(st.mode_result));
  }
  char buf[64];
  schedule_pack(&ws, buf, sizeof buf);
  return buf;
}

}  // namespace

int digest_build(const DigestSources& src, int32_t memsize, uint8_t* dst, size_t capacity,
                 HubStreamTables* tables, HubSettings* settings) {
  std::memset(tables, 0, sizeof *tables);

  ConfigHandle* h = ConfigOpen(src.streams_ini, 0);
  if (h == nullptr) {
    dv::log_msg("Config file is not found %s\n", src.streams_ini);
    return -1;
  }

  // Global settings.
  int32_t gop = 0;
  int rc = ConfigGetInt(h, &gop, "common", "gop");
  if (rc != CONFIG_OK) dv::log_msg("common/gop %s\n", ConfigError(rc));
  if (rc != CONFIG_OK || gop < 1) gop = HUB_DEFAULT_GOP;
  settings->gop = gop;

  std::string prefix;
  rc = get_text(h, "common", "prefix", HUB_DIGEST_TEXT_MAX, &prefix);
  if (rc != CONFIG_OK) {
    dv::log_msg("common/prefix %s\n", ConfigError(rc));
    prefix = HUB_DEFAULT_PREFIX;
  }
  if (prefix.empty() || prefix.back() != '/') {
    if (prefix.size() >= HUB_DIGEST_TEXT_MAX) prefix.resize(HUB_DIGEST_TEXT_MAX - 1);
    prefix += '/';
  }
  std::snprintf(settings->prefix, sizeof settings->prefix, "%s", prefix.c_str());

  std::string device_id;
  rc = get_text(h, "common", "DeviceID", HUB_DIGEST_TEXT_MAX, &device_id);
  if (rc != CONFIG_OK) {
    dv::log_msg("common/DeviceID %s\n", ConfigError(rc));
    device_id = HUB_DEFAULT_DEVICE_ID;
  }
  std::snprintf(settings->device_id, sizeof settings->device_id, "%s", device_id.c_str());

  dv::log_msg("GOP = %d\n", settings->gop);
  dv::log_msg("prefix = %s\n", settings->prefix);
  dv::log_msg("memsize = %d\n", memsize);
  dv::log_msg("DeviceID = %s\n", settings->device_id);

  // Stream sections.
  std::vector<StreamRecord> streams(HUB_STREAM_COUNT);
  bool any_section = false;
  ConfigSearchRewind(h);
  for (int visited = 0; visited < kMaxSections; ++visited) {
    const char* rest = ConfigSearchSection(h, "stream_");
    if (rest == nullptr) break;
    any_section = true;
    std::string token = header_token(rest);
    std::string section = "stream_" + token;
    long number = -1;
    if (!parse_stream_number(token, &number) || number < 0 || number >= HUB_STREAM_COUNT) {
      dv::log_msg(" %s: stream number not in 0..255, skipped\n", section.c_str());
      continue;
    }
    dv::log_msg("Found stream %d", static_cast<int>(number));
    StreamRecord rec;
    if (read_stream(h, section.c_str(), &rec)) streams[static_cast<size_t>(number)] = rec;
  }
  if (!any_section) {
    dv::log_msg("streams not found\n");
    ConfigClose(h);
    return -1;
  }

  // Trailer strings, tags 1 to 8.
  std::string trailer_text[HUB_TAG_COUNT];
  trailer_text[0] = trailer_key(h, "common", "codepage");
  trailer_text[1] = trailer_file(src.tz);
  trailer_text[2] = trailer_key(h, "rsconfig", "device");
  trailer_text[3] = trailer_schedule(src.timer_ini);
  trailer_text[4] = trailer_key(h, "smtp_mail", "smtp_to");
  trailer_text[5] = trailer_file(src.cserv);
  trailer_text[6] = trailer_file(src.time_cfg);
  trailer_text[7] = trailer_key(h, "camtap", "ntsc");
  ConfigClose(h);

  size_t trailer_len = 0;
  for (const std::string& s : trailer_text) trailer_len += 1 + s.size() + 1;

  size_t limit = capacity < HUB_DIGEST_MAX ? capacity : HUB_DIGEST_MAX;
  size_t head_len = HUB_DIGEST_HEADER + device_id.size() + 1;
  if (head_len + trailer_len > limit) {
    // Cannot happen with the bounded strings above unless the caller's buffer is tiny.
    dv::log_msg("Digest does not fit in %zu bytes\n", limit);
    return -1;
  }

  // Header and device id.
  size_t pos = 0;
  dv::put_u32le(dst, HUB_DIGEST_MAGIC);
  pos = HUB_DIGEST_HEADER;
  std::memcpy(dst + pos, device_id.c_str(), device_id.size() + 1);
  pos += device_id.size() + 1;

  // Stream records, ascending; the trailer's room stays reserved.
  auto put_str = [&](const std::string& s) {
    std::memcpy(dst + pos, s.c_str(), s.size() + 1);
    pos += s.size() + 1;
  };
  for (int n = 0; n < HUB_STREAM_COUNT; ++n) {
    const StreamRecord& r = streams[static_cast<size_t>(n)];
    if (!r.set) continue;
    size_t rec_len = 2 + r.codec.size() + 1 + r.name.size() + 1 + r.params.size() + 1;
    if (pos + rec_len + trailer_len > limit) {
      dv::log_msg(" stream %d does not fit in the digest, left out\n", n);
      continue;
    }
    dst[pos++] = static_cast<uint8_t>(n);
    dst[pos++] = r.type;
    put_str(r.codec);
    put_str(r.name);
    put_str(r.params);
    tables->configured[n] = 1;
    tables->type_bits[n] = r.type;
    tables->alarm[n] = r.alarm;
  }

  // Trailer.
  size_t trailer_off = pos;
  for (int t = 0; t < HUB_TAG_COUNT; ++t) {
    dst[pos++] = static_cast<uint8_t>(t + 1);
    put_str(trailer_text[t]);
  }
  dv::put_u16le(dst + 4, static_cast<uint16_t>(trailer_off));
  dv::put_u16le(dst + 6, static_cast<uint16_t>(pos - trailer_off));
  return static_cast<int>(pos);
}
