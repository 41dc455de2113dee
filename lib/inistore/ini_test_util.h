// Helpers shared by the store's unit tests: a private system root (so logical
// paths like "/etc/streams.ini" land in a temporary folder and never on the
// host), and small file helpers over logical paths.
#pragma once

#include <string>
#include <vector>

#include "lib/inistore/ini_store.h"

namespace initest {

// The temporary folder DEEPVAULT_ROOT points at during the tests.
const std::string& root();

// A fresh, empty logical folder ("/etc/t<n>") for one test.
std::string fresh_dir();

// Resolved path of a logical one.
std::string real(const std::string& logical);

void write_file(const std::string& logical, const std::string& bytes);
std::string read_file(const std::string& logical);
bool exists(const std::string& logical);
// Names in a logical folder, sorted.
std::vector<std::string> list_dir(const std::string& logical);

// The store's line list as one string, NULs kept ("" for an empty store).
std::string list_of(ConfigHandle* h);
// Builds a line list from lines: each NUL-terminated, then the closing NUL.
std::string make_list(const std::vector<std::string>& lines);

// Writes content to a fresh file and opens it.
ConfigHandle* open_text(const std::string& content, int writable);

}  // namespace initest
