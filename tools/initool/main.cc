// initool: reads and changes single keys and sections of an INI file through
// the configuration store, for the platform's scripts. Values are printed
// without a line feed so that scripts can capture them; with -ir an integer
// comes back as the exit status.
//
//   initool <config file> [-as|-ds|-dk|-i...|-l] <section> [key] [value]
//
// Exit status: 0 on success, 255 on any failure, the value (mod 256) with -ir.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/inistore/ini_store.h"

namespace {

constexpr int kFail = -1;  // exit status 255

struct Options {
  bool add_section = false;
  bool del_section = false;
  bool del_key = false;
  bool writing = false;  // any -a / -d option
  bool integer = false;
  bool int_return = false;
  char int_format = 'd';  // 'd', 'x' ("%x") or 'X' ("0x%x")
  bool list = false;
  const char* file = nullptr;
  const char* section = nullptr;
  const char* key = nullptr;
  const char* value = nullptr;
  int positional = 0;
};

const char* tool_name(const char* argv0) {
  const char* slash = strrchr(argv0, '/');
  return slash ? slash + 1 : argv0;
}

void usage(const char* name) {
  fprintf(stderr, "Usage : %s <config file> [-as|-ds|-dk|-i] <section> [key] [value]\n", name);
  fputs(
      " -as : add section to config file\n"
      " -ds : delete section from config file\n"
      " -dk : delete key from config file\n"
      " -i  : key is integer value\n"
      " -ir : return integer value in exit state\n"
      " -ix : print integer value as hex\n"
      " -iX : print integer value as hex in 0x0000 format\n"
      " -l  : list sections with [section pattern]\n"
      " <config file> <section> <key> [value] : get / set value to config key\n",
      stderr);
}

void parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (a[0] == '-') {
      char refine = a[1] != '\0' ? a[2] : '\0';
      switch (a[1]) {
        case 'a':
          o->writing = true;
          if (refine == 's') o->add_section = true;
          break;
        case 'd':
          o->writing = true;
          if (refine == 's') o->del_section = true;
          if (refine == 'k') o->del_key = true;
          break;
        case 'i':
          o->integer = true;
          if (refine == 'r') o->int_return = true;
          if (refine == 'x' || refine == 'X') o->int_format = refine;
          break;
        case 'l':
          o->list = true;
          break;
        default:
          break;
      }
      continue;
    }
    switch (o->positional++) {
      case 0:
        o->file = a;
        break;
      case 1:
        o->section = a;
        break;
      case 2:
        o->key = a;
        break;
      case 3:
        o->value = a;
        break;
      default:
        break;  // further positional arguments are ignored
    }
  }
}

// Same conversion as the store's integer reading: base prefix rules,
// saturated to 32 bits.
int32_t to_int(const char* s) {
  long long x = strtoll(s, nullptr, 0);
  if (x > INT32_MAX) x = INT32_MAX;
  if (x < INT32_MIN) x = INT32_MIN;
  return static_cast<int32_t>(x);
}

// Prints every header line the search finds, whole, one per line.
void list_sections(ConfigHandle* h, const char* prefix) {
  const char* start = ConfigGetBuffer(h);
  ConfigSearchRewind(h);
  const char* hit;
  while ((hit = ConfigSearchSection(h, prefix)) != nullptr) {
    const char* line = hit;
    while (line > start && line[-1] != '\0') --line;
    printf("%s\n", line);
  }
}

int fail_with(ConfigHandle* h, int rc) {
  fprintf(stderr, "%s\n", ConfigError(rc));
  ConfigClose(h);
  return kFail;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    usage(tool_name(argc > 0 ? argv[0] : "initool"));
    return 0;
  }
  Options o;
  parse(argc, argv, &o);
  if (o.file == nullptr) {
    usage(tool_name(argv[0]));
    return 0;
  }
  bool writable = o.writing || o.positional >= 4;
  ConfigHandle* h = ConfigOpen(o.file, writable ? 1 : 0);
  if (h == nullptr) {
    fprintf(stderr, "File %s not found!\n", o.file);
    return kFail;
  }

  int rc = 0;
  bool complaint = false;
  if (o.add_section) {
    if (o.section == nullptr) {
      fputs("No section name to add\n", stderr);
      complaint = true;
    } else {
      rc = ConfigAddSection(h, o.section);
    }
  } else if (o.del_section) {
    if (o.section == nullptr) {
      fputs("No section name to delete\n", stderr);
      complaint = true;
    } else {
      rc = ConfigDelSection(h, o.section);
    }
  } else if (o.del_key) {
    if (o.section == nullptr || o.key == nullptr) {
      fputs("No key name to delete\n", stderr);
      complaint = true;
    } else {
      rc = ConfigDelKey(h, o.section, o.key);
    }
  } else if (o.list) {
    list_sections(h, o.section);
  } else if (o.section != nullptr && o.key != nullptr && o.value != nullptr) {
    if (o.integer) {
      rc = ConfigWriteInt(h, o.section, o.key, to_int(o.value));
    } else {
      rc = ConfigWriteStr(h, o.section, o.key, o.value);
    }
  } else if (o.section != nullptr && o.key != nullptr) {
    if (o.integer) {
      int32_t v = 0;
      rc = ConfigGetInt(h, &v, o.section, o.key);
      if (o.int_return) {
        ConfigClose(h);
        exit(v);  // taken modulo 256 by the system
      }
      if (rc == 0) {
        if (o.int_format == 'x') {
          printf("%x", static_cast<unsigned>(v));
        } else if (o.int_format == 'X') {
          printf("0x%x", static_cast<unsigned>(v));
        } else {
          printf("%d", v);
        }
      }
    } else {
      static char value[2047];
      rc = ConfigGetStr(h, value, o.section, o.key, sizeof value);
      if (rc == 0) fputs(value, stdout);
    }
  } else {
    fputs("Nothing to do?\n", stderr);
    complaint = true;
  }

  if (rc != 0) return fail_with(h, rc);
  rc = ConfigClose(h);
  if (rc != 0) {
    fprintf(stderr, "%s\n", ConfigError(rc));
    return kFail;
  }
  return complaint ? kFail : 0;
}
