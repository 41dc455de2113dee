#include "lib/inistore/ini_test_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "lib/platform/sysroot.h"

namespace initest {
namespace {

std::string g_root;

// Creates the private root before the first test and removes it after the
// last; DEEPVAULT_ROOT must be set before the platform layer reads it.
class RootEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/inistore-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    g_root = tmpl;
    setenv("DEEPVAULT_ROOT", g_root.c_str(), 1);
    ASSERT_EQ(dv::sys_root(), g_root) << "the system root was read before the test set it";
    for (const char* d : {"/etc", "/tmp", "/mnt", "/mnt/disc"}) {
      std::filesystem::create_directories(g_root + d);
    }
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
  }
};

const testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new RootEnvironment);

}  // namespace

const std::string& root() { return g_root; }

std::string fresh_dir() {
  static int n = 0;
  std::string d = "/etc/t" + std::to_string(++n);
  std::filesystem::create_directories(real(d));
  return d;
}

std::string real(const std::string& logical) { return dv::sys_path(logical); }

void write_file(const std::string& logical, const std::string& bytes) {
  std::ofstream f(real(logical), std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& logical) {
  std::ifstream f(real(logical), std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool exists(const std::string& logical) {
  struct stat st;
  return lstat(real(logical).c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& logical) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(real(logical))) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string list_of(ConfigHandle* h) {
  const char* b = ConfigGetBuffer(h);
  if (b == nullptr) return "";
  return std::string(b, static_cast<size_t>(ConfigGetSize(h)));
}

std::string make_list(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) {
    s += l;
    s.push_back('\0');
  }
  s.push_back('\0');
  return s;
}

ConfigHandle* open_text(const std::string& content, int writable) {
  std::string path = fresh_dir() + "/test.ini";
  write_file(path, content);
  return ConfigOpen(path.c_str(), writable);
}

}  // namespace initest
