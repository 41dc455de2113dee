// libFuzzer target: arbitrary bytes as an INI store.
//
// The input is loaded twice: as a file through ConfigOpen (the loader: NUL
// bytes, long lines, bytes 0x80-0xFF, no final line feed), and as a memory
// store through ConfigOpenMem over a line list built from the bytes. On both,
// look-ups, section iteration and edits run with section and key names taken
// from the input itself; the line list's invariants are checked after every
// edit. The file is committed too (under DEEPVAULT_ROOT, in a private folder).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/inistore/ini_store.h"

namespace {

// The list is closed, every line non-empty, the size is that of the list.
void check_list(ConfigHandle* h) {
  const char* b = ConfigGetBuffer(h);
  int32_t size = ConfigGetSize(h);
  if (b == nullptr) {
    if (size != 0) abort();
    return;
  }
  const char* p = b;
  while (*p != '\0') p += strlen(p) + 1;
  if (p - b + 1 != size) abort();
}

// Names to look up: the first words of the input's lines, plus fixed ones.
std::vector<std::string> names_from(const uint8_t* data, size_t size) {
  std::vector<std::string> names = {"common", "stream_", "port", "", "[", "="};
  std::string cur;
  for (size_t i = 0; i < size && names.size() < 16; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\n' || c == ' ' || c == '\0') {
      if (!cur.empty()) names.push_back(cur.substr(0, 64));
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) names.push_back(cur.substr(0, 64));
  return names;
}

void exercise(ConfigHandle* h, const std::vector<std::string>& names, bool edit) {
  check_list(h);
  char small[5];
  char big[256];
  for (const std::string& s : names) {
    for (const std::string& k : names) {
      ConfigGetStr(h, small, s.c_str(), k.c_str(), sizeof small);
      ConfigGetStr(h, big, nullptr, k.c_str(), sizeof big);
      int32_t v;
      ConfigGetInt(h, &v, s.c_str(), k.c_str());
    }
  }
  ConfigSearchRewind(h);
  while (ConfigSearchSection(h, nullptr) != nullptr) {
  }
  for (const std::string& s : names) {
    ConfigSearchRewind(h);
    while (ConfigSearchSection(h, s.c_str()) != nullptr) {
    }
  }
  if (!edit) return;
  size_t n = names.size();
  for (size_t i = 0; i < n; ++i) {
    const char* s = names[i].c_str();
    const char* k = names[(i * 7 + 3) % n].c_str();
    switch (i % 7) {
      case 0:
        ConfigAddSection(h, s);
        break;
      case 1:
        ConfigWriteStr(h, s, k, names[(i + 1) % n].c_str());
        break;
      case 2:
        ConfigWriteInt(h, nullptr, k, static_cast<int32_t>(i));
        break;
      case 3:
        ConfigDelKey(h, s, k);
        break;
      case 4:
        ConfigPrintf(h, s, k, "%s\n%s", k, s);
        break;
      case 5:
        ConfigDelSection(h, s);
        break;
      case 6:
        ConfigWriteStrWoQuotes(h, s, k, s);
        break;
    }
    check_list(h);
    ConfigSearchSection(h, "stream_");
  }
}

std::string g_dir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/inistore-fuzz-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  g_dir = tmpl;
  atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
  });
  // Logical names below resolve into the private folder.
  setenv("DEEPVAULT_ROOT", g_dir.c_str(), 1);
  mkdir((g_dir + "/etc").c_str(), 0700);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> names = names_from(data, size);

  // Memory store over a closed line list made of the bytes: NULs split lines,
  // empty strings dropped (an empty string would close the list early).
  std::string list;
  std::string cur;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      if (!cur.empty()) list += cur + '\0';
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  list.push_back('\0');
  ConfigHandle* m = ConfigOpenMem(list.data(), static_cast<int32_t>(list.size()));
  if (m == nullptr) abort();
  exercise(m, names, false);
  ConfigClose(m);
  // The raw bytes as a memory buffer: accepted only when closed.
  ConfigHandle* raw =
      ConfigOpenMem(reinterpret_cast<const char*>(data), static_cast<int32_t>(size));
  if (raw != nullptr) {
    exercise(raw, names, false);
    ConfigClose(raw);
  }

  // The bytes as a file.
  const char* logical = "/etc/fuzz.ini";
  std::string real = g_dir + logical;
  FILE* f = fopen(real.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0) fwrite(data, 1, size, f);
  fclose(f);
  ConfigHandle* h = ConfigOpen(logical, 1);
  if (h == nullptr) abort();
  exercise(h, names, true);
  // Committing runs md5sum in a shell: only now and then, to keep the pace.
  if (size > 0 && data[0] == 'C') {
    int rc = ConfigCommit(h);
    if (rc != 0 && rc != 4) abort();
  }
  h->modified = 0;
  ConfigClose(h);
  return 0;
}
