// recorder: writes the archive (see recorder.h).
//
//   recorder [-p dir] [-s size] [-h 0|1] [-m 0|1] [-i 0|1] [-n value]
//
// Runs in the foreground until SIGTERM, SIGINT or SIGQUIT; SIGHUP reloads.
// Exit status 0 after an orderly stop (on_exit runs), 255 after a failure
// (on_error runs).
#include <syslog.h>

#include <cstring>
#include <new>

#include "lib/platform/log.h"
#include "lib/reccore/reccore.h"
#include "recorder/recorder.h"

namespace {

const char* base_name(const char* path) {
  if (path == nullptr) return "recorder";
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

int main(int argc, char** argv) {
  dv::log_open(base_name(argc > 0 ? argv[0] : nullptr), LOG_NDELAY | LOG_NOWAIT);
  RecorderState* gv = new (std::nothrow) RecorderState;
  if (gv == nullptr) {
    dv::log_msg("gv->malloc error\n");
    return -1;
  }
  gv->max_size = REC_DEFAULT_MAX;
  gv->argc = argc;
  gv->argv = argv;

  SaverCallbacks cb;
  std::memset(&cb, 0, sizeof cb);
  cb.user = gv;
  cb.OnConfigReload = OnConfigReload;
  cb.FileCloseCheck = FileCloseCheck;
  cb.BeforeSaveGOPData = BeforeSaveGOPData;
  cb.CalcActivAndEvents = CalcActivAndEvents;
  cb.SaveBlock = SaveBlock;
  cb.AfterSaveGOPData = AfterSaveGOPData;
  cb.SyncFiles = SyncFiles;
  cb.SaveAllData = SaveAllData;
  cb.CloseFiles = CloseFiles;

  int result = DoRecCore(argc, argv, &cb, 1);

  if (result != 0) {
    rec_run_hook(gv->on_error, "On error execute '%s'\n");
  } else {
    rec_run_hook(gv->on_exit, "On exit execute '%s'\n");
  }
  dv::log_close();
  delete gv;
  return result;
}
