// Fuzz target for the repair of cut sets: arbitrary data, index and event
// files (split from the input) must never crash the repair, and whatever it
// does, a second pass must find nothing more to do.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "recorder/archive_format.h"
#include "recorder/set_repair.h"

namespace {

std::string g_folder;

void put(const std::string& name, const uint8_t* p, size_t n) {
  FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) abort();
  if (n > 0) std::fwrite(p, 1, n, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_folder.empty()) {
    char tmpl[] = "/tmp/set_repair_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    g_folder = std::string(tmpl) + "/";
  }
  // Input: u16 index length, u16 event length, then index, events, data.
  if (size < 4) return 0;
  size_t ni = data[0] | (data[1] << 8);
  size_t ne = data[2] | (data[3] << 8);
  data += 4;
  size -= 4;
  if (ni > size) ni = size;
  if (ne > size - ni) ne = size - ni;
  put(dv::arc_file_name(g_folder, 1, "id3"), data, ni);
  put(dv::arc_file_name(g_folder, 1, "evt"), data + ni, ne);
  put(dv::arc_file_name(g_folder, 1, "qvs3"), data + ni + ne, size - ni - ne);
  dv::RepairReport rep;
  dv::RepairResult r = dv::arc_repair_set(g_folder, 1, 1 << 20, &rep);
  if (r == dv::RepairResult::kRepaired || r == dv::RepairResult::kClean) {
    dv::RepairResult again = dv::arc_repair_set(g_folder, 1, 1 << 20, &rep);
    if (again != dv::RepairResult::kClean) abort();
  }
  return 0;
}
