// camtap's settings: section [camtap], the video sections [stream_0] ..
// [stream_3] and the audio sections [stream_16], [stream_17] of the main
// configuration file, with their defaults, clamps, corrections and log lines;
// and what follows from them before any device is touched: the active camera
// list, the base picture size, the slot table and frame rates, the 792-entry
// macroblock mask of each camera, event texts.
//
// Everything here is plain data and pure functions (logging through
// lib/platform/log.h is the only side effect), so the daemon's start-up rules
// are tested without a hub or devices.
#pragma once

#include <cstdint>

struct ConfigHandle;

namespace camtap {

constexpr int kCameras = 4;
constexpr int kAudioStreams = 2;  // stream 16 (left) and 17 (right)
constexpr int kAudioFirstStream = 16;
constexpr int kMaskEntries = 792;  // 44 x 18 macroblocks of a 704 x 288 picture
constexpr int kMaskTextMax = 256;  // bytes of the motion_mask text
constexpr int kMaskPairsMax = 50;  // hex digit pairs taken from it (400 bits)
constexpr int kTemplateMax = 64;   // bytes of an event text template
constexpr int kEventTextSize = 80;
constexpr int kDefaultThreshold = 64;  // dval / 2 when dval is absent
constexpr int kFirstTextStream = 128;  // motion texts of camera N: 128 + N
constexpr int kLeftSoundTextStream = 145;
// The right channel's sound texts: the stream after the left channel's, which
// the default configuration names "Sound right".
constexpr int kRightSoundTextStream = 146;
constexpr int kAudioInputRate = 22050;

struct VideoSettings {
  bool on = false;  // ON read and nonzero
  bool mjpeg = false;
  int quant = 4;
  int bitrate = 0;
  int minquant = 0;
  int maxquant = 0;
  int width = 704;
  int height = 288;
  int threshold = kDefaultThreshold;  // dval / 2
  int drep = 0;                       // event text stream (128 + N)
  int holdoff = 1;                    // GOPs between two event texts
  int fdiv = 1;
  char message[kTemplateMax + 1] = "Motion %d";
  char motion_mask[kMaskTextMax + 1] = {};
};

struct AudioSettings {
  bool on = false;  // ON read and nonzero
  int divisor = 0;  // 22050 / rate; 0 = the stream is inactive
  bool stereo = false;
  bool nosnd = false;
  int filt = 0;
  int threshold = kDefaultThreshold;
  int drep = 0;
  int holdoff = 1;
  char message[kTemplateMax + 1] = "Sound %d";
};

struct Settings {
  bool ntsc = false;
  bool auto_mode = false;
  char nosig[kTemplateMax + 1] = "Camera %d off";
  char sig[kTemplateMax + 1] = "Camera %d on";
  int stat_gops = 0;
  VideoSettings video[kCameras];
  AudioSettings audio[kAudioStreams];

  // Derived while reading.
  unsigned camera_mask = 0;   // bit N: camera N active
  int active[kCameras] = {};  // active cameras in increasing number
  int active_count = 0;
  int base_width = 0;  // size of the first active camera
  int base_height = 0;
};

// Every field at its default (what a start or reload begins from).
void settings_defaults(Settings* s);

// Reads [camtap], [stream_0..3] and [stream_16..17] from an open store into
// *s (which settings_defaults has prepared), logging every key as the daemon
// does. Returns the number of active cameras.
int settings_read(ConfigHandle* h, Settings* s);

// Frames per second of the standard: 30 (NTSC) or 25.
inline int settings_base_rate(const Settings& s) { return s.ntsc ? 30 : 25; }
inline int settings_standard_height(const Settings& s) { return s.ntsc ? 240 : 288; }
// TVP5150 video standard register value.
inline int settings_decoder_standard(const Settings& s) { return s.ntsc ? 10 : 4; }

// The slot table (camera or -1 per slot) and the frame rate of every camera
// (0 for inactive ones), from the active list and the fdiv of each camera.
// Returns 0, or -1 when auto_mode is set without exactly two cameras.
int plan_slots(const Settings& s, int slots[4], int fps[kCameras]);

// Builds the macroblock mask from a motion_mask text: at most 50 hex digit
// pairs; bit k of the byte stream (least significant bit first) covers
// entries 2k and 2k+1; a 0 bit watches both (1) and counts one active cell, a
// 1 bit ignores them (0). Entries the text does not cover stay watched without
// counting. A pair that is not hex counts as 0; a lone last digit covers
// nothing. Returns the active cells.
int build_mask(const char* text, uint8_t mask[kMaskEntries]);

// Activity level 0..63 of a picture: activity x 63 / (2 x active cells) in
// unsigned arithmetic, 0 without active cells, at most 63.
int activity_level(uint32_t activity, int active_cells);

// Hold-off in GOPs from a dtime value: (dtime | 3) / 3.
inline int holdoff_from_dtime(int dtime) { return (dtime | 3) / 3; }

// Event text: the template with its first "%d" replaced by number, at most 64
// characters, into out (kEventTextSize bytes, NUL-terminated). No other
// conversion is interpreted: a template is data, never a format.
void event_text(const char* tmpl, int number, char out[kEventTextSize]);

}  // namespace camtap
