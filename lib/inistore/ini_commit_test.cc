// Committing a store, the md5 sidecar, running commands, and what readers see
// while another process commits.
#include "lib/inistore/ini_store.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/inistore/ini_test_util.h"
#include "lib/platform/exec.h"

using initest::exists;
using initest::fresh_dir;
using initest::list_dir;
using initest::read_file;
using initest::real;
using initest::write_file;

namespace {

// The md5 digest of a resolved file, through the same tool the store uses.
std::string md5_of(const std::string& real_path) {
  std::string out;
  dv::run_capture("md5sum < " + dv::shell_quote(real_path), &out);
  return out.substr(0, out.find(' '));
}

// Opens path writable, sets [s] k, and commits.
int edit_and_commit(const std::string& path, const char* value) {
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  if (h == nullptr) return 100;
  if (ConfigGetSize(h) == 0) ConfigAddSection(h, "s");
  int rc = ConfigWriteStr(h, "s", "k", value);
  int closed = ConfigClose(h);
  return rc != 0 ? rc : closed;
}

// Restores PATH when it goes out of scope.
struct PathOverride {
  std::string old = getenv("PATH") ? getenv("PATH") : "";
  explicit PathOverride(const std::string& p) { setenv("PATH", p.c_str(), 1); }
  ~PathOverride() { setenv("PATH", old.c_str(), 1); }
};

TEST(IniCommit, WritesNormalisedTextAndSidecar) {
  std::string dir = fresh_dir();
  std::string path = dir + "/streams.ini";
  write_file(path, "\n[ common ]  \r\n\n  # note\nport=80\n\n");
  ASSERT_EQ(edit_and_commit(path, "x"), 1);  // no section "s" yet
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ConfigWriteStr(h, "common", "deviceid", "cam1"), 0);
  ASSERT_EQ(ConfigClose(h), 0);
  std::string text = "[ common ]\ndeviceid = 'cam1'\n  # note\nport=80\n\n";
  EXPECT_EQ(read_file(path), text);
  EXPECT_EQ(read_file(path + ".md5"), md5_of(real(path)) + "  " + path);
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"streams.ini", "streams.ini.md5"}));
}

TEST(IniCommit, UnmodifiedStoreIsNotWritten) {
  std::string path = fresh_dir() + "/a.ini";
  write_file(path, "[ s ]\n\n\nk = 1\n");
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ConfigCommit(h), 0);
  EXPECT_EQ(ConfigClose(h), 0);
  EXPECT_EQ(read_file(path), "[ s ]\n\n\nk = 1\n");
  EXPECT_FALSE(exists(path + ".md5"));
}

TEST(IniCommit, EmptyStoreIsNeverWritten) {
  std::string path = fresh_dir() + "/a.ini";
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ConfigCommit(h), 4);
  EXPECT_EQ(ConfigClose(h), 0);
}

TEST(IniCommit, ClearsModifiedAndKeepsWorking) {
  std::string path = fresh_dir() + "/a.ini";
  write_file(path, "[ s ]\n");
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_EQ(ConfigWriteInt(h, "s", "a", 1), 0);
  ASSERT_EQ(ConfigCommit(h), 0);
  EXPECT_EQ(h->modified, 0);
  ASSERT_EQ(ConfigWriteInt(h, "s", "b", 2), 0);
  ASSERT_EQ(ConfigClose(h), 0);
  EXPECT_EQ(read_file(path), "[ s ]\nb = 2\na = 1\n\n");
}

TEST(IniCommit, TmpNameIsWrittenDirectlyWithoutSidecar) {
  std::filesystem::create_directories(real("/tmp/d"));
  for (const char* path : {"/tmp/d/x.ini", "/tmpx.ini"}) {
    write_file(path, "[ s ]\n");
    ConfigHandle* h = ConfigOpen(path, 1);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ConfigWriteInt(h, "s", "k", 5), 0);
    ASSERT_EQ(ConfigClose(h), 0);
    EXPECT_EQ(read_file(path), "[ s ]\nk = 5\n\n");
    EXPECT_FALSE(exists(std::string(path) + ".md5"));
  }
  EXPECT_EQ(list_dir("/tmp/d"), (std::vector<std::string>{"x.ini"}));
}

TEST(IniCommit, TargetOutsideEtc) {
  std::filesystem::create_directories(real("/mnt/disc/cfg"));
  std::string path = "/mnt/disc/cfg/rec.ini";
  write_file(path, "[ s ]\n");
  ASSERT_EQ(edit_and_commit(path, "v"), 0);
  EXPECT_EQ(read_file(path), "[ s ]\nk = 'v'\n\n");
  EXPECT_EQ(read_file(path + ".md5"), md5_of(real(path)) + "  " + path);
}

TEST(IniCommit, KeepsThePermissionsOfTheTarget) {
  std::string path = fresh_dir() + "/user.cfg";
  write_file(path, "[ s ]\n");
  ASSERT_EQ(chmod(real(path).c_str(), 0600), 0);
  ASSERT_EQ(edit_and_commit(path, "secret"), 0);
  struct stat st;
  ASSERT_EQ(stat(real(path).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(IniCommit, ReplacesASymlinkNotItsTarget) {
  std::string dir = fresh_dir();
  write_file(dir + "/default.ini", "[ s ]\n");
  ASSERT_EQ(symlink("default.ini", real(dir + "/a.ini").c_str()), 0);
  ASSERT_EQ(edit_and_commit(dir + "/a.ini", "v"), 0);
  EXPECT_EQ(read_file(dir + "/default.ini"), "[ s ]\n");
  EXPECT_EQ(read_file(dir + "/a.ini"), "[ s ]\nk = 'v'\n\n");
}

// --- failures: the old file stays, nothing is left behind -------------------

TEST(IniCommitFailure, MissingMd5ToolKeepsOldFile) {
  std::string dir = fresh_dir();
  std::string path = dir + "/a.ini";
  write_file(path, "[ s ]\nk = old\n");
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_EQ(ConfigWriteStr(h, "s", "k", "new"), 0);
  std::string empty_bin = real(fresh_dir());
  testing::internal::CaptureStderr();
  int rc;
  {
    PathOverride p(empty_bin);
    rc = ConfigCommit(h);
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err, "Error in getting md5 of " + path + "Error in write md5\n");
  EXPECT_EQ(read_file(path), "[ s ]\nk = old\n");
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a.ini"}));
  EXPECT_EQ(h->modified, 1);
  // Once the tool is back, the same store commits.
  EXPECT_EQ(ConfigClose(h), 0);
  EXPECT_EQ(read_file(path), "[ s ]\nk = 'new'\n\n");
}

TEST(IniCommitFailure, FolderGoneGivesFileError) {
  std::string dir = fresh_dir();
  std::string path = dir + "/a.ini";
  write_file(path, "[ s ]\n");
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_EQ(ConfigWriteInt(h, "s", "k", 1), 0);
  std::filesystem::remove_all(real(dir));
  EXPECT_EQ(ConfigClose(h), 4);
  EXPECT_FALSE(exists(dir));
}

TEST(IniCommitFailure, RenameFailureKeepsTargetAndCleansUp) {
  std::string dir = fresh_dir();
  std::string path = dir + "/a.ini";
  write_file(path, "[ s ]\n");
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_EQ(ConfigWriteInt(h, "s", "k", 1), 0);
  // The target became a non-empty folder: the rename cannot replace it.
  std::filesystem::remove(real(path));
  std::filesystem::create_directories(real(path + "/keep"));
  EXPECT_EQ(ConfigClose(h), -1);
  EXPECT_TRUE(std::filesystem::is_directory(real(path + "/keep")));
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a.ini", "a.ini.md5"}));
}

TEST(IniCommitFailure, StagingNameTakenByFolder) {
  std::string dir = fresh_dir();
  std::string path = dir + "/a.ini";
  write_file(path, "[ s ]\n");
  std::string staged = path + ".tmp-" + std::to_string(getpid());
  std::filesystem::create_directories(real(staged));
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_EQ(ConfigWriteInt(h, "s", "k", 1), 0);
  EXPECT_EQ(ConfigClose(h), 4);
  EXPECT_EQ(read_file(path), "[ s ]\n");
  std::filesystem::remove(real(staged));
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a.ini"}));
}

// A full disc: a tiny tmpfs, only inside the private mount namespace the unit
// tests run in under tests/run_in_ns (never on the host's mount table).
TEST(IniCommitFailure, FullDiscKeepsOldFile) {
  const char* ns = getenv("DEEPVAULT_PRIVATE_NS");
  if (ns == nullptr || strcmp(ns, "1") != 0 || geteuid() != 0) {
    GTEST_SKIP() << "needs tests/run_in_ns (private mount namespace)";
  }
  std::string dir = fresh_dir();
  ASSERT_EQ(mount("tmpfs", real(dir).c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
  std::string path = dir + "/a.ini";
  write_file(path, "[ s ]\nk = old\n");
  // Fill the disc.
  {
    std::string filler(4096, 'f');
    FILE* f = fopen(real(dir + "/filler").c_str(), "w");
    ASSERT_NE(f, nullptr);
    while (fwrite(filler.data(), 1, filler.size(), f) == filler.size() && fflush(f) == 0) {
    }
    fclose(f);
  }
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_NE(h, nullptr);
  std::string big(2000, 'x');
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(ConfigWriteStr(h, "s", ("k" + std::to_string(i)).c_str(), big.c_str()), 0);
  }
  EXPECT_EQ(ConfigCommit(h), 4);
  EXPECT_EQ(read_file(path), "[ s ]\nk = old\n");
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a.ini", "filler"}));
  // Room again: the same store commits.
  std::filesystem::remove(real(dir + "/filler"));
  EXPECT_EQ(ConfigClose(h), 0);
  EXPECT_EQ(read_file(path).substr(0, 6), "[ s ]\n");
  umount2(real(dir).c_str(), MNT_DETACH);
}

// --- md5 sidecar and commands -------------------------------------------------

TEST(IniMd5, FileNameIsNeverShellSyntax) {
  std::string dir = fresh_dir();
  std::string path = dir + "/a'$(touch pwned);'b `touch pwned2`\\x.ini";
  write_file(path, "hello\n");
  ASSERT_EQ(write_md5(path.c_str(), path.c_str()), 0);
  EXPECT_EQ(read_file(path + ".md5"), md5_of(real(path)) + "  " + path);
  EXPECT_FALSE(exists(dir + "/pwned"));
  EXPECT_FALSE(exists("/pwned"));
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  EXPECT_FALSE(std::filesystem::exists("pwned2"));
}

TEST(IniMd5, RecordsTheGivenName) {
  std::string dir = fresh_dir();
  write_file(dir + "/copy", "text\n");
  ASSERT_EQ(write_md5((dir + "/copy").c_str(), (dir + "/final.ini").c_str()), 0);
  EXPECT_EQ(read_file(dir + "/final.ini.md5"),
            md5_of(real(dir + "/copy")) + "  " + dir + "/final.ini");
}

TEST(IniMd5, FailureMessages) {
  std::string dir = fresh_dir();
  struct {
    std::string file, name, message;
  } cases[] = {
      {dir + "/missing", dir + "/n.ini", "Error in getting md5 of " + dir + "/n.ini"},
      {dir + "/f", dir + "/no/such/n.ini", "Error in writing md5 of " + dir + "/no/such/n.ini"},
  };
  write_file(dir + "/f", "x");
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_md5(c.file.c_str(), c.name.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
  }
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"f"}));
}

TEST(IniExec, CollectsWholeOutput) {
  struct {
    const char* cmd;
    std::string out;
  } cases[] = {
      {"true", ""},
      {"printf 'a b\\n'", "a b\n"},
      {"echo visible; echo hidden >&2", "visible\n"},
      {"head -c 5000 /dev/zero | tr '\\0' z", std::string(5000, 'z')},
      {"no-such-command-here", ""},
  };
  char* buf = static_cast<char*>(malloc(16));  // replaced (and freed) on success
  for (const auto& c : cases) {
    ASSERT_EQ(ExecExternalToBuffer(c.cmd, &buf), 0) << c.cmd;
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(std::string(buf), c.out) << c.cmd;
  }
  free(buf);
  EXPECT_EQ(ExecExternalToBuffer(nullptr, &buf), -1);
}

// --- readers during commits ----------------------------------------------------

// One process commits the file over and over, numbering its values; another
// opens it all the time and must always find it whole, with a value that never
// goes back. At the end the writer is killed in the middle of its work: the
// file is still whole.
TEST(IniConcurrency, ReaderNeverSeesMissingOrPartialFile) {
  std::string dir = fresh_dir();
  std::string path = dir + "/streams.ini";
  std::string body;
  for (int i = 0; i < 200; ++i) {
    body += "key_" + std::to_string(i) + " = value " + std::to_string(i) + "\n";
  }
  write_file(path, "[ s ]\nk = 0\n" + body + "[ last ]\nend = 1\n");

  struct Writer {
    pid_t pid = -1;
    ~Writer() {
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } writer;
  writer.pid = fork();
  ASSERT_GE(writer.pid, 0);
  if (writer.pid == 0) {
    for (int i = 1;; ++i) {
      ConfigHandle* h = ConfigOpen(path.c_str(), 1);
      if (h == nullptr || ConfigWriteInt(h, "s", "k", i) != 0 || ConfigClose(h) != 0) _exit(1);
    }
  }
  // Returns the value, or -1 after a failed expectation.
  auto read_whole = [&]() -> int32_t {
    ConfigHandle* h = ConfigOpen(path.c_str(), 0);
    EXPECT_NE(h, nullptr) << "target missing";
    if (h == nullptr) return -1;
    int32_t k = -1;
    int32_t end = 0;
    char v[32];
    EXPECT_EQ(ConfigGetInt(h, &k, "s", "k"), 0);
    EXPECT_EQ(ConfigGetStr(h, v, "s", "key_199", sizeof v), 0);
    EXPECT_STREQ(v, "value 199");
    EXPECT_EQ(ConfigGetInt(h, &end, "last", "end"), 0);
    EXPECT_EQ(end, 1);
    ConfigClose(h);
    return HasFailure() ? -1 : k;
  };
  int32_t last = 0;
  int opens = 0;
  int status = 0;
  // Until the writer has committed 200 times (no time limit: ctest has one).
  while (last < 200) {
    int32_t k = read_whole();
    ASSERT_GE(k, last) << "after " << opens << " opens";
    last = k;
    ++opens;
    ASSERT_EQ(waitpid(writer.pid, &status, WNOHANG), 0) << "writer stopped: " << status;
  }
  EXPECT_GT(opens, 200);
  kill(writer.pid, SIGKILL);
  waitpid(writer.pid, &status, 0);
  pid_t dead = writer.pid;
  writer.pid = -1;
  EXPECT_GE(read_whole(), last);
  // Only the file, its sidecar and at most the staged files of the killed writer.
  std::vector<std::string> names = list_dir(dir);
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[0], "streams.ini");
  EXPECT_EQ(names[1], "streams.ini.md5");
  for (size_t i = 2; i < names.size(); ++i) {
    EXPECT_NE(names[i].find(".tmp-" + std::to_string(dead)), std::string::npos) << names[i];
  }
}

}  // namespace
