#include "lib/platform/timezone.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lib/platform/sysroot.h"

namespace dv {

TzResult load_tz() {
  FILE* f = std::fopen(sys_path("/etc/TZ").c_str(), "r");
  if (f == nullptr) return kTzCannotOpen;
  char line[256] = "";
  if (std::fgets(line, sizeof line, f) == nullptr) line[0] = '\0';
  std::fclose(f);
  line[std::strcspn(line, "\r\n")] = '\0';
  if (setenv("TZ", line, 1) != 0) return kTzCannotSet;
  tzset();
  return kTzOk;
}

}  // namespace dv
