// System root: every fixed path of the system (configuration under /etc, the
// discs under /mnt, /tmp, /var, /dev, the /proc files that describe the
// machine, the absolute paths of platform scripts and programs) is resolved
// here and nowhere else. With DEEPVAULT_ROOT set, it is a prefix for all of
// them, so a whole system can run inside a sandbox folder; unset, the real
// paths are used. Logic on paths ("a name that begins with /tmp") is applied
// to the logical path, before resolving.
//
// /proc/<pid>/... and /proc/self/... always mean the real process table and
// are never prefixed.
#pragma once

#include <string>
#include <string_view>

namespace dv {

// The root prefix ("" when DEEPVAULT_ROOT is unset or empty). Read once.
const std::string& sys_root();

// Resolves a logical absolute path ("/etc/streams.ini") to the path to open.
// Relative paths are returned unchanged.
std::string sys_path(std::string_view logical);

// True when the resolved path is a character device (the real device is
// present); device modules pick their simulator otherwise.
bool is_char_device(const std::string& resolved_path);

}  // namespace dv
