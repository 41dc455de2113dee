#include "lib/platform/sysroot.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>

namespace dv {

const std::string& sys_root() {
  static const std::string root = [] {
    const char* r = std::getenv("DEEPVAULT_ROOT");
    std::string s = r ? r : "";
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    if (s == "/") s.clear();
    return s;
  }();
  return root;
}

static bool is_real_process_path(std::string_view p) {
  if (p.substr(0, 6) != "/proc/") return false;
  std::string_view rest = p.substr(6);
  if (rest.substr(0, 4) == "self" && (rest.size() == 4 || rest[4] == '/')) return true;
  size_t i = 0;
  while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) ++i;
  return i > 0 && (i == rest.size() || rest[i] == '/');
}

std::string sys_path(std::string_view logical) {
  if (logical.empty() || logical[0] != '/' || is_real_process_path(logical)) {
    return std::string(logical);
  }
  const std::string& root = sys_root();
  if (root.empty()) return std::string(logical);
  std::string out;
  out.reserve(root.size() + logical.size());
  out.append(root);
  out.append(logical);
  return out;
}

bool is_char_device(const std::string& resolved_path) {
  struct stat st;
  return ::stat(resolved_path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace dv
