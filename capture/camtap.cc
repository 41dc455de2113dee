#include "capture/camtap.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture/audio/adpcm.h"
#include "capture/audio/audio.h"
#include "capture/camtap_settings.h"
#include "capture/camtap_state.h"
#include "capture/mpeg4/mp4enc.h"
#include "hub/hub_client.h"
#include "hub/hub_protocol.h"
#include "lib/devices/capture_device.h"
#include "lib/devices/i2c_device.h"
#include "lib/inistore/ini_store.h"
#include "lib/jcodec/jcodec.h"
#include "lib/platform/exec.h"
#include "lib/platform/log.h"

namespace camtap {
namespace {

// Room asked for every coded picture: the largest picture allowed.
constexpr int32_t kVideoGrant = 131072;
constexpr int kAudioDiscard = 512;

struct Camera {
  VideoState state;
  int fps = 0;
  int active_cells = 0;
  uint8_t mask[kMaskEntries];
  MP4encodeContext* mp4 = nullptr;
  MJPEGHandle* mjpeg = nullptr;
  bool has_encoder() const { return mp4 != nullptr || mjpeg != nullptr; }
};

struct AudioStream {
  EventState events;
  ADPCMState coder;
};

struct Engine {
  const char* argv0 = nullptr;
  const CamtapFlags* flags = nullptr;
  uint8_t* audio_buffer = nullptr;

  HubClient hub;
  Settings settings;
  Camera cam[kCameras];
  AudioStream audio[kAudioStreams];
  int slots[4] = {-1, -1, -1, -1};

  dv::CaptureDevice dev;
  uint8_t* area = nullptr;
  size_t area_size = 0;
  size_t picture_size = 0;
  bool started = false;
  int audio_handle = -1;

  CycleState* cycle = nullptr;  // the caller's, kept across reloads
  CameraText camera_text = TEXT_NONE;
  uint16_t time_sum = 0;
  int frames_captured = 0;
  int no_video_frames = 0;
};

bool stop_raised(const Engine& e) { return *e.flags->stop != 0; }
bool reload_raised(const Engine& e) { return *e.flags->reload != 0; }

// ---- hub ---------------------------------------------------------------------

// The one-second timer that interrupts a grant wait.
void arm_wait_timer(bool on) {
  itimerval t{};
  if (on) {
    t.it_value.tv_sec = 1;
    t.it_interval.tv_sec = 1;
  }
  setitimer(ITIMER_REAL, &t, nullptr);
}

// False once the hub queue is gone or the process that last read it is.
bool hub_alive(const Engine& e) {
  msqid_ds ds{};
  if (msgctl(e.hub.hub_qid, IPC_STAT, &ds) != 0) return false;
  if (ds.msg_lrpid > 0 && kill(ds.msg_lrpid, 0) != 0 && errno == ESRCH) return false;
  return true;
}

bool is_grant_for(const HubMessage& m, int stream) {
  return hub_kind(m.type) == SHM_MSG_TYPE_ACK_MEM && hub_stream(m.type) == (stream & 0xFF) &&
         (m.type & (SHM_MSG_FLAG_GOP | SHM_MSG_FLAG_RELOAD | SHM_MSG_FLAG_EVENT)) == 0;
}

constexpr long kHighestGrant = static_cast<long>(SHM_MSG_FLAG_KEY | SHM_MSG_TYPE_ACK_MEM | 0xFF);

// After a stop during a grant wait: takes the grant if it comes within half a
// second and hands the arena back, so that the hub does not keep waiting for
// an acknowledgement that never comes.
void return_late_grant(Engine* e, int stream) {
  for (int i = 0; i < 50; ++i) {
    HubMessage grant;
    int r = hub_recv(e->hub.reply_qid, &grant, -kHighestGrant, IPC_NOWAIT);
    if (r == 1 && is_grant_for(grant, stream)) {
      grant.size = -1;
      hub_ack_mem(&e->hub, grant);
      return;
    }
    if (r < 0 && errno != EBADMSG) return;
    if (r == 0) {
      timespec ts{0, 10 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
  }
}

// SHM_MSG_TYPE_REQ_MEM for stream and the wait for its grant. Only the stop
// flag (or a hub that is gone) ends the wait: a grant that was asked for is
// always taken and acknowledged, since the hub serves no other producer until
// then. A reload is handled once the frame is done.
int request_mem(Engine* e, int stream, int32_t size, HubMessage* grant) {
  HubMessage req{};
  req.type = SHM_MSG_TYPE_REQ_MEM | (static_cast<uint32_t>(stream) & 0xFF);
  req.reply_id = e->hub.reply_qid;
  req.size = size;
  if (hub_send(e->hub.hub_qid, req, 0, dv::StopFlags{e->flags->stop, nullptr}) != 0) {
    dv::log_msg("send SHM_MSG_TYPE_REQ_MEM %s\n", std::strerror(errno));
    return HUB_SEND_FAILED;
  }
  *e->flags->wake = 0;
  arm_wait_timer(true);
  int result = HUB_OK;
  for (;;) {
    int r = hub_recv(e->hub.reply_qid, grant, -kHighestGrant, 0,
                     dv::StopFlags{e->flags->stop, e->flags->wake});
    if (r == 1) {
      if (is_grant_for(*grant, stream)) break;
      continue;
    }
    const int err = errno;
    if (err == EBADMSG) continue;
    if (err == EINTR && !stop_raised(*e)) {
      *e->flags->wake = 0;
      if (hub_alive(*e)) continue;
      errno = EIDRM;
    }
    if (err == EINTR && stop_raised(*e)) {
      arm_wait_timer(false);
      return_late_grant(e, stream);
      errno = EINTR;
    }
    dv::log_msg("recv SHM_MSG_TYPE_REQ_MEM %s\n", std::strerror(errno));
    result = HUB_RECV_FAILED;
    break;
  }
  arm_wait_timer(false);
  return result;
}

// Sends a grant back as the acknowledgement. Not ended by a reload: the hub
// waits for it.
int ack_mem(Engine* e, const HubMessage& ack) {
  HubMessage m = ack;
  m.type = (m.type & ~SHM_MSG_KIND_MASK) | SHM_MSG_TYPE_ACK_MEM;
  m.reply_id = e->hub.reply_qid;
  if (hub_send(e->hub.hub_qid, m, 0, dv::StopFlags{e->flags->stop, nullptr}) != 0) {
    dv::log_msg("send SHM_MSG_TYPE_ACK_MEM %s\n", std::strerror(errno));
    return -1;
  }
  return 0;
}

// One event text (with its NUL) on stream, flagged as an event.
int publish_text(Engine* e, int stream, const char* text) {
  const int32_t len = static_cast<int32_t>(std::strlen(text) + 1);
  HubMessage grant;
  if (request_mem(e, stream, len, &grant) != HUB_OK) return -1;
  uint8_t* dst = hub_grant_ptr(&e->hub, grant, len);
  HubMessage ack = grant;
  ack.frame_no = 0;
  ack.time_code = 0;
  ack.level = 0;
  if (dst == nullptr) {
    ack.size = -1;
  } else {
    std::memcpy(dst, text, static_cast<size_t>(len));
    ack.size = len;
    ack.type |= SHM_MSG_FLAG_EVENT;
  }
  return ack_mem(e, ack);
}

// ---- devices -----------------------------------------------------------------

int cap(Engine* e, unsigned long request, uint32_t arg) {
  return dv::capture_ioctl(&e->dev, request, static_cast<int>(arg));
}

void log_stats(Engine* e) {
  int st[CAP_STATS_COUNT] = {};
  dv::capture_ioctl(&e->dev, CAP_GET_STATS, st);
  dv::log_msg("Frames Captured %d\n", e->frames_captured);
  dv::log_msg("No Video Frames %d\n", e->no_video_frames);
  dv::log_msg("FrameNumber  %d\n", st[CAP_STAT_FRAME_NUMBER]);
  dv::log_msg("FrameCurrent %d\n", st[CAP_STAT_FRAME_CURRENT]);
  dv::log_msg("FramesLost   %d\n", st[CAP_STAT_FRAMES_LOST]);
  dv::log_msg("FramesInBuff %d\n", st[CAP_STAT_FRAMES_IN_BUFF]);
  dv::log_msg("Reset %d\n", st[CAP_STAT_RESET]);
}

void program_decoders(const Settings& s) {
  const int standard = settings_decoder_standard(s);
  set_tvp(0, 0xB8, standard);
  set_tvp(0, 0xBA, standard);
  set_tvp(1, 0xB8, standard);
  set_tvp(1, 0xBA, standard);
}

void clear_slots(Engine* e) {
  cap(e, CAP_SET_MAIN, CAP_NONE);
  for (int slot = 0; slot < 4; ++slot) cap(e, CAP_SET_SLOT, cap_slot_off_arg(slot));
}

// Opens, maps and programs the capture driver. Returns 0 or -1 (logged).
int open_driver(Engine* e) {
  if (dv::capture_open(&e->dev) != 0) {
    dv::log_msg("TVP5150 OPEN : %s %s\n", dv::kCaptureDevice, std::strerror(errno));
    return -1;
  }
  int bufsize = 0;
  if (dv::capture_ioctl(&e->dev, CAP_GET_BUFSIZE, &bufsize) != 0 || bufsize <= 0) {
    dv::log_msg("MMAP ERROR : %s\n", std::strerror(errno != 0 ? errno : EINVAL));
    return -1;
  }
  void* area = dv::capture_mmap(&e->dev, static_cast<size_t>(bufsize));
  if (area == nullptr) {
    dv::log_msg("MMAP ERROR : %s\n", std::strerror(errno));
    return -1;
  }
  e->area = static_cast<uint8_t*>(area);
  e->area_size = static_cast<size_t>(bufsize);
  cap(e, e->settings.ntsc ? CAP_SET_NTSC : CAP_SET_PAL, 0);
  clear_slots(e);
  const Settings& s = e->settings;
  if (s.auto_mode) {
    cap(e, CAP_SET_MAIN, static_cast<uint32_t>(s.active[0]));
    cap(e, CAP_SET_SLOT, cap_slot_arg(s.active[1], 1));
  } else if (s.active_count == 1) {
    cap(e, CAP_SET_MAIN, static_cast<uint32_t>(s.active[0]));
  } else {
    for (int slot = 0; slot < 4; ++slot) {
      if (e->slots[slot] >= 0) cap(e, CAP_SET_SLOT, cap_slot_arg(e->slots[slot], slot));
    }
  }
  return 0;
}

// Opens one encoder per active camera. Returns 0 or -1 (logged).
int open_encoders(Engine* e) {
  const Settings& s = e->settings;
  for (int i = 0; i < s.active_count; ++i) {
    const int c = s.active[i];
    const VideoSettings& v = s.video[c];
    Camera& cam = e->cam[c];
    cam.active_cells = build_mask(v.motion_mask, cam.mask);
    if (v.mjpeg) {
      cam.mjpeg = MJPEGencodeOPEN(cam.mask);
      if (cam.mjpeg != nullptr && MJPEGencodeSIZE(cam.mjpeg, v.width, v.height) != 0) {
        MJPEGencodeCLOSE(cam.mjpeg);
        cam.mjpeg = nullptr;
      }
      if (cam.mjpeg == nullptr) {
        dv::log_msg("MJPEGencodeOPEN error!\n");
        return -1;
      }
    } else {
      MP4encodeParams p{};
      // Sizes outside 16 bits are refused rather than wrapped.
      const bool size_ok = v.width > 0 && v.width <= 0xFFFF && v.height > 0 && v.height <= 0xFFFF;
      p.width = static_cast<uint16_t>(size_ok ? v.width : 0);
      p.height = static_cast<uint16_t>(size_ok ? v.height : 0);
      p.quant = static_cast<uint16_t>(v.quant);
      p.gop = static_cast<uint16_t>(cam.fps);
      p.reserved = 0;
      p.bitrate = static_cast<uint32_t>(v.bitrate);
      p.minquant = static_cast<uint16_t>(v.minquant);
      p.maxquant = static_cast<uint16_t>(v.maxquant);
      p.time_resolution = static_cast<uint16_t>(cam.fps);
      p.input_layout = MP4_LAYOUT_ZARN3;
      std::memcpy(p.mask, cam.mask, sizeof p.mask);
      cam.mp4 = size_ok ? MP4encodeOPEN(&p) : nullptr;
      if (cam.mp4 == nullptr) {
        dv::log_msg("MP4encodeOPEN error!\n");
        return -1;
      }
    }
  }
  return 0;
}

void open_audio(Engine* e) {
  e->audio_handle = AudioOpen();
  if (e->audio_handle <= 0) {
    e->audio_handle = -1;
    dv::log_msg("audio.dsp error!\n");
    return;
  }
  AudioDiscard(e->audio_handle, kAudioDiscard);
}

void reconfigure(Engine* e, const CycleDecision& d) {
  dv::log_msg("Reconfigure camera fault %d (cam:0x%x)\n", d.attempt, d.missing);
  if (d.reboot) {
    dv::log_msg("Reconfigured 10 times - Rebooting!!\n");
    dv::run_shell("reboot");
    return;
  }
  cap(e, CAP_STOP, 0);
  program_decoders(e->settings);
  cap(e, CAP_START, 0);
}

// ---- the capture loop ----------------------------------------------------------

// Motion or sound text of a stream.
int event_text_out(Engine* e, int stream, const char* tmpl, EventState* ev) {
  char text[kEventTextSize];
  event_text(tmpl, ev->counter, text);
  ++ev->counter;
  return publish_text(e, stream, text);
}

// One picture of an active camera: grant, code, acknowledge, texts.
// Returns 0, or -1 when the hub failed (the loop ends).
int video_pass(Engine* e, int word) {
  const int index = cap_frame_index(word);
  const int c = cap_frame_camera(word);
  const bool no_signal = cap_frame_no_signal(word);
  uint16_t delta = static_cast<uint16_t>(cap_frame_delta(word));
  Camera& cam = e->cam[c];
  const VideoSettings& vs = e->settings.video[c];

  HubMessage grant;
  if (request_mem(e, c, kVideoGrant, &grant) != HUB_OK) return -1;
  const bool key = (grant.type & SHM_MSG_FLAG_KEY) != 0;
  if (key) {
    CycleDecision cd = cycle_key_grant(e->cycle, e->settings.camera_mask, e->settings.active_count,
                                       e->settings.stat_gops);
    if (cd.reconfigure) reconfigure(e, cd);
    if (cd.new_cycle) {
      e->time_sum = 0;
      delta = 0;
    }
    if (cd.stats) log_stats(e);
  }
  FrameDecision fd = video_frame(&cam.state, key, no_signal);
  if (fd.no_signal) ++e->no_video_frames;
  if (fd.text != TEXT_NONE) e->camera_text = fd.text;

  uint32_t activity = fd.activity;
  int32_t size = -1;
  if (fd.action == FRAME_EMPTY) {
    size = 0;
  } else if (fd.action == FRAME_CODE_INTRA || fd.action == FRAME_CODE_PREDICTED) {
    uint8_t* dst = hub_grant_ptr(&e->hub, grant, kVideoGrant);
    const size_t offset = static_cast<size_t>(index) * e->picture_size;
    const bool src_ok = offset + e->picture_size <= e->area_size;
    if (dst != nullptr && src_ok) {
      const uint8_t* src = e->area + offset;
      MP4encodeStats stats{};
      int n = 0;
      if (cam.mp4 != nullptr) {
        const int kind = fd.action == FRAME_CODE_INTRA ? MP4_FRAME_INTRA : MP4_FRAME_PREDICTED;
        n = MP4encodeENCODE(cam.mp4, dst, kVideoGrant, src, kind, &stats);
        if (n < 0) n = 0;
      } else {
        n = MJPEGencodeENCODE(cam.mjpeg, dst, src, 0, &stats, kVideoGrant);
      }
      activity = stats.activity;
      // A picture the coder could not fit is not announced (an empty frame
      // would read as "no signal").
      size = n > 0 ? n : -1;
    } else if (!src_ok) {
      dv::log_msg("RES error!\n");
    }
  }

  HubMessage ack = grant;
  ack.size = size;
  ack.frame_no = cam.state.frame_no;
  e->time_sum = static_cast<uint16_t>(e->time_sum + delta);
  ack.time_code = e->time_sum;
  const int level = activity_level(activity, cam.active_cells);
  ack.level = static_cast<uint8_t>(level);
  EventDecision ed = event_check(&cam.state.events, level);
  if (ed.mark) ack.type |= SHM_MSG_FLAG_EVENT;
  if (ack_mem(e, ack) != 0) return -1;

  if (ed.text && event_text_out(e, vs.drep, vs.message, &cam.state.events) != 0) return -1;
  if (e->camera_text != TEXT_NONE) {
    char text[kEventTextSize];
    event_text(e->camera_text == TEXT_SIGNAL_LOST ? e->settings.nosig : e->settings.sig, c, text);
    e->camera_text = TEXT_NONE;
    if (publish_text(e, HUB_STREAM_SIGNAL_TEXT, text) != 0) return -1;
  }
  return 0;
}

// One audio channel's block of the bytes just read.
int audio_stream_pass(Engine* e, int i, int bytes) {
  const AudioSettings& as = e->settings.audio[i];
  AudioStream& st = e->audio[i];
  const int stream = kAudioFirstStream + i;
  HubMessage grant;
  if (request_mem(e, stream, bytes, &grant) != HUB_OK) return -1;
  if (grant.type & SHM_MSG_FLAG_KEY) {
    ADPCMInit(&st.coder);
    event_new_gop(&st.events);
  }
  int count = 0;
  int step = 0;
  AudioBlockLayout(bytes, as.divisor, as.stereo ? 1 : 0, &count, &step);
  const int16_t* first = reinterpret_cast<const int16_t*>(e->audio_buffer) + i;
  int level = AudioCNTActiv(first, count, step);
  uint8_t* dst = hub_grant_ptr(&e->hub, grant, bytes);
  HubMessage ack = grant;
  ack.frame_no = 0;
  ack.time_code = 0;
  ack.size = -1;
  if (dst != nullptr) {
    if (!as.nosnd && level > as.filt && count >= 2) {
      ack.size = ADPCMEncodeBlock(dst, first, &st.coder, count, step);
    } else {
      ack.size = ADPCMQuietBlock(dst, count);
      level = 0;
    }
  }
  ack.level = static_cast<uint8_t>(level);
  EventDecision ed = event_check(&st.events, level);
  if (ed.mark) ack.type |= SHM_MSG_FLAG_EVENT;
  if (ack_mem(e, ack) != 0) return -1;
  if (ed.text && event_text_out(e, as.drep, as.message, &st.events) != 0) return -1;
  return 0;
}

int audio_pass(Engine* e) {
  if (e->audio_handle <= 0) return 0;
  const int bytes = AudioProc(e->audio_handle, e->audio_buffer, AUDIO_BUFFER_SIZE);
  if (bytes <= 0) return 0;
  for (int i = 0; i < kAudioStreams; ++i) {
    if (e->settings.audio[i].divisor <= 0) continue;
    if (audio_stream_pass(e, i, bytes) != 0) return -1;
  }
  return 0;
}

// The capture loop. Returns RUN_STOPPED, RUN_RELOAD or RUN_FAILED.
int capture_loop(Engine* e) {
  for (;;) {
    if (stop_raised(*e)) return RUN_STOPPED;
    if (reload_raised(*e)) return RUN_RELOAD;
    const int word = cap(e, CAP_GET_FRAME, 0);
    if (word < 0) {
      // A signal that ended the wait is looked at above; anything else is a
      // failed frame request.
      if (errno == EINTR) continue;
      dv::log_msg("RES error!\n");
    } else {
      ++e->frames_captured;
      cycle_picture(e->cycle, cap_frame_camera(word));
      if (e->cam[cap_frame_camera(word)].has_encoder() && video_pass(e, word) != 0) {
        return stop_raised(*e) ? RUN_STOPPED : RUN_FAILED;
      }
    }
    if (audio_pass(e) != 0) return stop_raised(*e) ? RUN_STOPPED : RUN_FAILED;
  }
}

// ---- start and stop ------------------------------------------------------------

// Registration with the hub and the settings. Returns 0 or a RunResult.
int start_hub(Engine* e) {
  e->hub.stop = dv::StopFlags{e->flags->stop, nullptr};
  if (hub_open(&e->hub) != 0) {
    dv::log_msg("shmsgid error %s\n", std::strerror(errno));
    return RUN_FAILED;
  }
  dv::log_msg("PID = %d\n", static_cast<int>(getpid()));
  if (hub_create_reply_queue(&e->hub, e->argv0) < 0) {
    dv::log_msg("my_msgid error %s\n", std::strerror(errno));
    return RUN_FAILED;
  }
  dv::log_msg("Request shared memory from memhub\n");
  int rc = hub_request_shm(&e->hub, false);
  if (rc != HUB_OK) {
    if (rc == HUB_SEND_FAILED || rc == HUB_RECV_FAILED) {
      dv::log_msg("%s SHM_MSG_TYPE_REQ_SHM %s\n", hub_result_word(rc), std::strerror(errno));
    } else {
      dv::log_msg("shared memory attach error %s\n", std::strerror(errno));
    }
    return stop_raised(*e) ? RUN_STOPPED : RUN_FAILED;
  }
  dv::log_msg("shared memory size = %d\n", e->hub.shm_size);
  dv::log_msg("Request config file from memhub\n");
  char name[HUB_TEXT_SIZE];
  rc = hub_request_config_file(&e->hub, name, sizeof name);
  if (rc != HUB_OK) {
    dv::log_msg("%s SHM_MSG_TYPE_REQ_CONFIG_FILE %s\n", hub_result_word(rc), std::strerror(errno));
    return stop_raised(*e) ? RUN_STOPPED : RUN_FAILED;
  }
  dv::log_msg("Config filename = '%s'\n", name);
  ConfigHandle* h = ConfigOpen(name, 0);
  if (h == nullptr) {
    dv::log_msg("Unable to open config file %s\n", name);
    return RUN_FAILED;
  }
  settings_defaults(&e->settings);
  settings_read(h, &e->settings);
  ConfigClose(h);
  return 0;
}

void stop_all(Engine* e) {
  if (dv::capture_is_open(&e->dev)) {
    if (e->started) cap(e, CAP_STOP, 0);
    e->started = false;
  }
  AudioClose(e->audio_handle);
  e->audio_handle = -1;
  if (dv::capture_is_open(&e->dev)) {
    clear_slots(e);
    log_stats(e);
    if (e->area != nullptr) dv::capture_munmap(&e->dev, e->area, e->area_size);
    e->area = nullptr;
  }
  for (Camera& c : e->cam) {
    MP4encodeCLOSE(c.mp4);
    c.mp4 = nullptr;
    MJPEGencodeCLOSE(c.mjpeg);
    c.mjpeg = nullptr;
  }
  dv::capture_close(&e->dev);
  hub_close(&e->hub);
}

int run(Engine* e) {
  int rc = start_hub(e);
  if (rc != 0) return rc;
  Settings& s = e->settings;
  if (s.active_count == 0) {
    dv::log_msg("no video source found!!\n");
    return RUN_NO_VIDEO;
  }
  int fps[kCameras];
  if (plan_slots(s, e->slots, fps) != 0) {
    dv::log_msg("Error: there must be exactly two cameras 0 and 1 for auto_mode!\n");
    return RUN_STOPPED;
  }
  for (int i = 0; i < s.active_count; ++i) {
    const int c = s.active[i];
    e->cam[c].fps = fps[c];
    e->cam[c].state.fdiv = s.video[c].fdiv;
    e->cam[c].state.fdiv_countdown = s.video[c].fdiv;
    e->cam[c].state.events.threshold = s.video[c].threshold;
    e->cam[c].state.events.holdoff = s.video[c].holdoff;
    dv::log_msg("Camera %d FPS = %d\n", c, fps[c]);
  }
  dv::log_msg("slot/camera : %d %d %d %d\n", e->slots[0], e->slots[1], e->slots[2], e->slots[3]);
  for (int i = 0; i < kAudioStreams; ++i) {
    e->audio[i].events.threshold = s.audio[i].threshold;
    e->audio[i].events.holdoff = s.audio[i].holdoff;
    ADPCMInit(&e->audio[i].coder);
  }
  e->picture_size = static_cast<size_t>(s.base_width > 0 ? s.base_width : 0) *
                    static_cast<size_t>(s.base_height) * 3 / 2;

  program_decoders(s);
  if (open_driver(e) != 0) return RUN_FAILED;
  if (open_encoders(e) != 0) return RUN_FAILED;
  open_audio(e);
  cap(e, CAP_START, 0);
  e->started = true;
  cycle_loop_start(e->cycle);
  return capture_loop(e);
}

}  // namespace

int set_tvp(int bus, int address, int standard) {
  dv::log_msg("setup TVP5150 i2c bus %d addr 0x%x\n", bus, address);
  char path[32];
  std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
  dv::I2cDevice dev;
  if (dv::i2c_open(&dev, path) != 0) {
    dv::log_msg("i2c driver not found\n");
    return -1;
  }
  if (dv::i2c_ioctl(&dev, I2C_SLAVE, static_cast<unsigned long>(address / 2)) != 0) {
    dv::log_msg("i2c error %d(0x%x) slave device not found\n", address, address);
    dv::i2c_close(&dev);
    return -2;
  }
  const uint8_t standard_reg[] = {0x28, static_cast<uint8_t>(standard)};
  const uint8_t output_reg[] = {0x08, 0x00};
  const uint8_t pins_reg[] = {0x1A, 0x02, 0x00};
  struct {
    const uint8_t* bytes;
    size_t n;
  } writes[] = {{standard_reg, 2}, {output_reg, 2}, {pins_reg, 3}};
  for (const auto& w : writes) {
    if (dv::i2c_write(&dev, w.bytes, w.n) != static_cast<ssize_t>(w.n)) {
      dv::log_msg("I2C Write error\n");
      dv::i2c_close(&dev);
      return -3;
    }
  }
  dv::i2c_close(&dev);
  return 0;
}

int camtap_run(const char* argv0, uint8_t* audio_buffer, CycleState* cycle,
               const CamtapFlags& flags) {
  Engine* e = new Engine;
  e->argv0 = argv0;
  e->flags = &flags;
  e->audio_buffer = audio_buffer;
  e->cycle = cycle;
  int rc = run(e);
  if (rc == RUN_STOPPED && reload_raised(*e) && !stop_raised(*e)) rc = RUN_RELOAD;
  if (rc == RUN_RELOAD) dv::log_msg("SIGHUP\n");
  stop_all(e);
  delete e;
  return rc;
}

}  // namespace camtap
