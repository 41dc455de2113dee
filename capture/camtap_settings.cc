#include "capture/camtap_settings.h"

#include <cstdio>
#include <cstring>

#include "lib/inistore/ini_store.h"
#include "lib/platform/log.h"
#include "lib/platform/text.h"

namespace camtap {
namespace {

void copy_text(char* dest, size_t size, const char* src) { std::snprintf(dest, size, "%s", src); }

int clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// An integer key: true when present (its value in *v).
bool get_int(ConfigHandle* h, const char* section, const char* key, int* v) {
  int32_t value = 0;
  if (ConfigGetInt(h, &value, section, key) != CONFIG_OK) return false;
  *v = value;
  return true;
}

// ON of a stream section: logs the section, a read error or " - IS OFF".
bool read_on(ConfigHandle* h, const char* section) {
  dv::log_msg("%s\n", section);
  int32_t on = 0;
  int rc = ConfigGetInt(h, &on, section, "ON");
  if (rc != CONFIG_OK) {
    dv::log_msg(" %s/ON %s\n", section, ConfigError(rc));
    return false;
  }
  if (on == 0) {
    dv::log_msg(" - IS OFF\n");
    return false;
  }
  return true;
}

// dval, drep and dtime, shared by video and audio streams.
void read_event_keys(ConfigHandle* h, const char* section, int* threshold, int* drep,
                     int* holdoff) {
  int v = 0;
  if (get_int(h, section, "dval", &v) && v != 0) {
    *threshold = v / 2;
    dv::log_msg(" dval = %d", v);
  }
  if (get_int(h, section, "drep", &v) && v != 0) {
    dv::log_msg(" drep = %d", v);
    // The number goes into the low byte of a hub message type: anything
    // outside 1..255 would change the message kind.
    if (v >= 1 && v <= 255) {
      *drep = v;
    } else {
      dv::log_msg(" invalid drep = %d, text stream %d kept\n", v, *drep);
    }
  }
  if (get_int(h, section, "dtime", &v) && v != 0) {
    dv::log_msg(" dtime = %d", v);
    // A negative hold-off would never count down to 0 and silence the texts.
    if (v > 0) {
      *holdoff = holdoff_from_dtime(v);
    } else {
      dv::log_msg(" invalid dtime = %d, hold-off %d kept\n", v, *holdoff);
    }
  }
}

void read_message(ConfigHandle* h, const char* section, char* message, const char* fallback) {
  char text[kTemplateMax + 1];
  int rc = ConfigGetStr(h, text, section, "message", sizeof text);
  if (rc != CONFIG_OK) {
    dv::log_msg(" %s/message %s\n", section, ConfigError(rc));
    copy_text(message, kTemplateMax + 1, fallback);
  } else {
    copy_text(message, kTemplateMax + 1, text);
  }
  dv::log_msg(" message = %s\n", message);
}

void read_camtap(ConfigHandle* h, Settings* s) {
  int v = 0;
  if (get_int(h, "camtap", "ntsc", &v)) s->ntsc = v != 0;
  dv::log_msg(s->ntsc ? "NTSC setup\n" : "PAL/SECAM setup\n");
  if (get_int(h, "camtap", "auto_mode", &v)) s->auto_mode = v != 0;

  char text[kTemplateMax + 1];
  int rc = ConfigGetStr(h, text, "camtap", "nosig", sizeof text);
  if (rc == CONFIG_OK) {
    copy_text(s->nosig, sizeof s->nosig, text);
  } else {
    dv::log_msg(" camtap/nosig %s\n", ConfigError(rc));
  }
  dv::log_msg("nosig_msg = %s\n", s->nosig);
  rc = ConfigGetStr(h, text, "camtap", "sig", sizeof text);
  if (rc == CONFIG_OK) {
    copy_text(s->sig, sizeof s->sig, text);
  } else {
    dv::log_msg(" camtap/sig %s\n", ConfigError(rc));
  }
  dv::log_msg("sig_msg = %s\n", s->sig);
  if (get_int(h, "camtap", "stat_gops", &v)) s->stat_gops = v < 0 ? 0 : v;
  dv::log_msg("stat_gops = %d\n", s->stat_gops);
}

void read_video(ConfigHandle* h, Settings* s, int camera) {
  char section[24];
  std::snprintf(section, sizeof section, "stream_%d", camera);
  VideoSettings& v = s->video[camera];
  if (!read_on(h, section)) return;

  char codec[65];
  if (ConfigGetStr(h, codec, section, "codec", sizeof codec) == CONFIG_OK) {
    v.mjpeg = std::strncmp(codec, "mjpeg", 64) == 0;
    dv::log_msg(" codec = %s\n", codec);
  }
  int n = 0;
  if (get_int(h, section, "quant", &n)) {
    v.quant = clamp(n, 2, 30);
    dv::log_msg(" quant = %d", v.quant);
  }
  if (get_int(h, section, "bitrate", &n)) {
    // A negative rate would read as a huge unsigned target in the encoder.
    v.bitrate = n < 0 ? 0 : n;
    dv::log_msg(" bitrate = %d", v.bitrate);
  }
  if (get_int(h, section, "minquant", &n)) {
    v.minquant = clamp(n, 2, 30);
    dv::log_msg(" minquant = %d", v.minquant);
  }
  if (get_int(h, section, "maxquant", &n)) {
    v.maxquant = clamp(n, 2, 30);
    dv::log_msg(" maxquant = %d", v.maxquant);
  }
  if (get_int(h, section, "width", &n)) {
    v.width = n;
    dv::log_msg(" width = %d", v.width);
  }
  if (get_int(h, section, "height", &n)) {
    v.height = n > 300 ? n / 2 : n;  // frame height to field height
    dv::log_msg(" height = %d", v.height);
  }
  v.drep = kFirstTextStream + camera;
  read_event_keys(h, section, &v.threshold, &v.drep, &v.holdoff);
  if (get_int(h, section, "fdiv", &n) && n != 0) {
    // A divider below 1 would never let a picture through.
    if (n > 0) v.fdiv = n;
    dv::log_msg(" fdiv = %d", v.fdiv);
  }
  read_message(h, section, v.message, "Motion %d");
  char mask[kMaskTextMax + 1];
  if (ConfigGetStr(h, mask, section, "motion_mask", sizeof mask) == CONFIG_OK) {
    copy_text(v.motion_mask, sizeof v.motion_mask, mask);
  } else {
    std::memset(v.motion_mask, '0', 100);
    v.motion_mask[100] = '\0';
  }

  const int std_height = settings_standard_height(*s);
  if (v.height != std_height) {
    dv::log_msg(s->ntsc ? " WARNING!! invalid height = %d for NTSC standart setitng to 240\n"
                        : " WARNING!! invalid height = %d for PAL/SECAM standart setitng to 288\n",
                v.height);
    v.height = std_height;
  }
  if (s->active_count == 0) {
    s->base_width = v.width;
    s->base_height = v.height;
  } else if (v.width != s->base_width || v.height != s->base_height) {
    dv::log_msg("Invalid with or height %dx%d (base %dx%d)\n", v.width, v.height, s->base_width,
                s->base_height);
    dv::log_msg("Channel will be off!!\n");
    return;
  }
  v.on = true;
  s->active[s->active_count++] = camera;
  s->camera_mask |= 1u << camera;
}

void read_audio(ConfigHandle* h, Settings* s, int index) {
  char section[24];
  std::snprintf(section, sizeof section, "stream_%d", kAudioFirstStream + index);
  AudioSettings& a = s->audio[index];
  if (!read_on(h, section)) return;
  a.on = true;
  int n = 0;
  if (get_int(h, section, "rate", &n) && n != 0) {
    // Rates above the input's, or negative ones, leave the stream inactive.
    a.divisor = n > 0 ? kAudioInputRate / n : 0;
    dv::log_msg(" rate = %d", n);
  }
  if (get_int(h, section, "stereo", &n) && n != 0) {
    a.stereo = true;
    dv::log_msg(" stereo");
  }
  if (get_int(h, section, "nosnd", &n) && n != 0) {
    a.nosnd = true;
    dv::log_msg(" nosnd");
  }
  if (get_int(h, section, "filt", &n)) {
    a.filt = n;
    dv::log_msg(" filt = %d", a.filt);
  }
  a.drep = index == 0 ? kLeftSoundTextStream : kRightSoundTextStream;
  read_event_keys(h, section, &a.threshold, &a.drep, &a.holdoff);
  read_message(h, section, a.message, "Sound %d");
}

}  // namespace

void settings_defaults(Settings* s) {
  *s = Settings{};
  for (int c = 0; c < kCameras; ++c) {
    s->video[c].drep = kFirstTextStream + c;
    std::memset(s->video[c].motion_mask, '0', 100);
    s->video[c].motion_mask[100] = '\0';
  }
  s->audio[0].drep = kLeftSoundTextStream;
  s->audio[1].drep = kRightSoundTextStream;
}

int settings_read(ConfigHandle* h, Settings* s) {
  read_camtap(h, s);
  for (int c = 0; c < kCameras; ++c) read_video(h, s, c);
  dv::log_msg("camera mask = 0x%x\n", s->camera_mask);
  for (int i = 0; i < kAudioStreams; ++i) read_audio(h, s, i);
  return s->active_count;
}

int plan_slots(const Settings& s, int slots[4], int fps[kCameras]) {
  const int base = settings_base_rate(s);
  for (int i = 0; i < 4; ++i) slots[i] = -1;
  for (int c = 0; c < kCameras; ++c) fps[c] = 0;
  const int* a = s.active;
  auto rate = [&](int camera, int r) { fps[camera] = r / s.video[camera].fdiv; };
  if (s.auto_mode) {
    if (s.active_count != 2) return -1;
    slots[0] = a[0];
    slots[1] = a[1];
    rate(a[0], 25);
    rate(a[1], 6);
    return 0;
  }
  switch (s.active_count) {
    case 1:
      slots[0] = slots[1] = slots[2] = slots[3] = a[0];
      rate(a[0], base);
      break;
    case 2:
      slots[0] = slots[2] = a[0];
      slots[1] = slots[3] = a[1];
      rate(a[0], base / 2);
      rate(a[1], base / 2);
      break;
    case 3:
      slots[0] = slots[2] = a[0];
      slots[1] = a[1];
      slots[3] = a[2];
      rate(a[0], base / 2);
      rate(a[1], base / 4);
      rate(a[2], base / 4);
      break;
    case 4:
      for (int i = 0; i < 4; ++i) {
        slots[i] = a[i];
        rate(a[i], base / 4);
      }
      break;
    default:
      break;
  }
  return 0;
}

using dv::hex_digit;

int build_mask(const char* text, uint8_t mask[kMaskEntries]) {
  std::memset(mask, 1, kMaskEntries);
  int active = 0;
  const size_t len = text ? std::strlen(text) : 0;
  for (int pair = 0; pair < kMaskPairsMax && static_cast<size_t>(2 * pair + 1) < len; ++pair) {
    const int hi = hex_digit(text[2 * pair]);
    const int lo = hex_digit(text[2 * pair + 1]);
    const int byte = (hi < 0 || lo < 0) ? 0 : hi * 16 + lo;
    for (int b = 0; b < 8; ++b) {
      const int entry = 2 * (pair * 8 + b);
      if (entry >= kMaskEntries) break;  // bits beyond entry 791
      const bool ignored = (byte >> b) & 1;
      mask[entry] = mask[entry + 1] = ignored ? 0 : 1;
      if (!ignored) ++active;
    }
  }
  return active;
}

int activity_level(uint32_t activity, int active_cells) {
  if (active_cells <= 0) return 0;
  const uint32_t level = activity * 63u / (2u * static_cast<uint32_t>(active_cells));
  return level > 63 ? 63 : static_cast<int>(level);
}

void event_text(const char* tmpl, int number, char out[kEventTextSize]) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%d", number);
  size_t n = 0;
  bool replaced = false;
  for (const char* p = tmpl; *p != '\0' && n < static_cast<size_t>(kTemplateMax);) {
    if (!replaced && p[0] == '%' && p[1] == 'd') {
      for (const char* d = digits; *d != '\0' && n < static_cast<size_t>(kTemplateMax); ++d) {
        out[n++] = *d;
      }
      replaced = true;
      p += 2;
    } else {
      out[n++] = *p++;
    }
  }
  out[n] = '\0';
}

}  // namespace camtap
