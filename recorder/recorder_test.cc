// The recorder's set writer, driven through its callbacks the way the
// framework calls them, checked against the archive test kit's in-memory
// set builder (byte for byte) and the format's decoders; the repair of cut
// sets; set numbering; roll-over; write failures; disc safe mode; options.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "recorder/archive_format.h"
#include "recorder/archive_testkit.h"
#include "recorder/recorder.h"
#include "recorder/set_repair.h"

namespace {

using dv::ArcFrame;
using dv::ArcSetBuilder;
using dv::ArcStreamInfo;

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

void write_file(const std::string& path, const std::vector<uint8_t>& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::vector<std::string> list_dir(const std::string& folder) {
  std::vector<std::string> v;
  DIR* d = opendir(folder.c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr) {
    if (e->d_name[0] != '.' || std::strlen(e->d_name) > 2) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        v.push_back(e->d_name);
      }
    }
  }
  if (d) closedir(d);
  std::sort(v.begin(), v.end());
  return v;
}

const std::vector<ArcStreamInfo> kStreams = {
    {0, 1, "mpeg4", "Camera 0", "-none"},    {1, 1, "mjpeg", "Camera 1", "-none"},
    {16, 2, "adpcm", "Audio left", "-none"}, {128, 4, "text", "Motion 0", "-none"},
    {255, 4, "text", "Signal", "-none"},
};

// One frame as the test describes it.
struct F {
  int stream;
  uint32_t size;  // payload bytes (texts: including the NUL)
  uint8_t level = 0;
  bool event = false;
  std::string text;  // for texts
  int frame_no = 0;
  uint16_t time_code = 0;
};

class Writer : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/rec_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
    header_ = dv::arc_build_file_header("Test NVR", kStreams);
    segment_.assign(4 << 20, 0);
    std::memcpy(segment_.data(), header_.data(), header_.size());
    configure({});
  }
  void TearDown() override {
    closeQVS3File(&gv_);
    for (const std::string& n : list_dir(folder_)) ::unlink((folder_ + n).c_str());
    ::rmdir(folder_.c_str());
  }

  // A configuration read with the given command line.
  void configure(std::vector<std::string> args, const std::vector<std::string>& saver = {}) {
    args_ = std::move(args);
    args_.insert(args_.begin(), "recorder");
    argv_.clear();
    for (std::string& a : args_) argv_.push_back(a.data());
    gv_.argc = static_cast<int>(argv_.size());
    gv_.argv = argv_.data();
    std::vector<char> ini;
    std::vector<std::string> lines = {"[ saver ]"};
    lines.insert(lines.end(), saver.begin(), saver.end());
    for (const std::string& l : lines) {
      ini.insert(ini.end(), l.begin(), l.end());
      ini.push_back('\0');
    }
    ini.push_back('\0');
    ini_ = ini;
    ConfigHandle* h = ConfigOpenMem(ini_.data(), static_cast<int32_t>(ini_.size()));
    uint8_t on[16] = {1, 1}, fdiv[16] = {1, 1}, rmove[256] = {};
    int notify = 1;
    OnConfigReload(&gv_, h, folder_.c_str(), segment_.data(), 0,
                   static_cast<int32_t>(header_.size()), 2 << 20, on, fdiv, rmove, &notify);
    notify_ = notify;
    ConfigClose(h);
  }

  // Lays a frame into the segment and returns its notice.
  HubMessage lay(const F& f, bool gop, int32_t gop_time) {
    if (pos_ + static_cast<int32_t>(f.size) >= static_cast<int32_t>(segment_.size())) {
      pos_ = HUB_ARENA_START;
    }
    HubMessage m;
    std::memset(&m, 0, sizeof m);
    m.type = SHM_MSG_TYPE_ACK_MEM | static_cast<uint32_t>(f.stream) | (gop ? SHM_MSG_FLAG_GOP : 0) |
             (f.event ? SHM_MSG_FLAG_EVENT : 0);
    m.offset = pos_;
    m.size = static_cast<int32_t>(f.size);
    m.frame_no = f.frame_no;
    m.gop_time = gop_time;
    m.time_code = f.time_code;
    m.level = f.level;
    for (const ArcStreamInfo& s : kStreams) {
      if (s.number == f.stream) m.stream_type = s.type;
    }
    uint8_t* p = segment_.data() + pos_;
    if (!f.text.empty()) {
      std::memcpy(p, f.text.c_str(), f.size);
    } else {
      for (uint32_t i = 0; i < f.size; ++i) p[i] = static_cast<uint8_t>(i * 7 + f.stream + seq_);
    }
    ++seq_;
    pos_ = (pos_ + static_cast<int32_t>(f.size) + 3) & ~3;
    return m;
  }

  // One group handed over as the framework hands it; also built in the
  // test kit's builder.
  void group(int32_t time, const std::vector<F>& frames, ArcSetBuilder* b = nullptr) {
    std::vector<HubMessage> q;
    for (size_t i = 0; i < frames.size(); ++i) q.push_back(lay(frames[i], i == 0, time));
    ASSERT_EQ(BeforeSaveGOPData(&gv_, q.data()), 0);
    for (HubMessage& m : q) CalcActivAndEvents(&gv_, &m, 1, 1, 0);
    for (HubMessage& m : q) ASSERT_EQ(SaveBlock(&gv_, &m, 1, 1, 0), 0);
    AfterSaveGOPData(&gv_);
    FileCloseCheck(&gv_);
    if (b != nullptr) {
      b->begin_group(time);
      for (size_t i = 0; i < frames.size(); ++i) {
        ArcFrame af;
        af.stream = static_cast<uint8_t>(frames[i].stream);
        af.level = frames[i].level;
        af.time_code = frames[i].time_code;
        af.frame_no = static_cast<uint32_t>(frames[i].frame_no);
        const uint8_t* p = segment_.data() + q[i].offset;
        b->add_frame(af, std::string_view(reinterpret_cast<const char*>(p), frames[i].size),
                     frames[i].event && !frames[i].text.empty());
      }
      b->end_group();
    }
  }

  std::string name(uint32_t n, const char* ext) { return dv::arc_file_name(folder_, n, ext); }

  void expect_same_set(uint32_t n, ArcSetBuilder& b, bool summaries = true) {
    EXPECT_EQ(read_file(name(n, "qvs3")), b.data());
    EXPECT_EQ(read_file(name(n, "id3")), b.index());
    EXPECT_EQ(read_file(name(n, "evt")), b.events());
    if (summaries) {
      for (int i = 0; i < dv::ARC_SUMMARY_COUNT; ++i) {
        EXPECT_EQ(read_file(dv::arc_summary_name(folder_, n, dv::ARC_SUMMARY_EXT[i])), b.summary(i))
            << dv::ARC_SUMMARY_EXT[i];
      }
    }
  }

  // A few typical groups: video with a multi-chunk key frame, audio, a
  // no-signal frame, an alarm text and a plain text.
  std::vector<F> typical(int k) {
    std::vector<F> v;
    v.push_back({0, 70000, static_cast<uint8_t>(5 + k % 30), false, "", 0, 0});
    v.push_back({16, 512, 40, false, "", 0, 0});
    v.push_back({1, 0, 0, false, "", 0, 40});  // no signal
    v.push_back({0, 3000, 12, false, "", 1, 40});
    if (k % 3 == 1) {
      std::string t = "Motion " + std::to_string(k) + " on camera 0";
      v.push_back({128, static_cast<uint32_t>(t.size() + 1), 0, true, t});
      v.push_back({255, 13, 0, false, "Camera 1 off"});
    }
    v.push_back({0, 0x20000, 63, false, "", 2, 80});
    return v;
  }

  RecorderState gv_;
  std::string folder_;
  std::vector<uint8_t> header_;
  std::vector<uint8_t> segment_;
  std::vector<std::string> args_;
  std::vector<char*> argv_;
  std::vector<char> ini_;
  int notify_ = 1;
  int32_t pos_ = HUB_ARENA_START;
  int seq_ = 0;
};

TEST_F(Writer, WritesWhatTheFormatSays) {
  ArcSetBuilder b(header_);
  for (int k = 0; k < 30; ++k) group(1000 + 3 * k, typical(k), &b);
  closeQVS3File(&gv_);
  b.close();
  expect_same_set(0, b);
  EXPECT_FALSE(exists(name(0, "hdr")));
  EXPECT_EQ(list_dir(folder_).size(), 9u);  // qvs3, id3, evt, six summaries
}

TEST_F(Writer, ChunksAndTimeWords) {
  group(500, {{0, 70000, 9, false, "", 0, 0}, {1, 0, 0, false, "", 3, 120}, {16, 70000, 2}});
  closeQVS3File(&gv_);
  std::vector<uint8_t> d = read_file(name(0, "qvs3"));
  dv::ArcDataWalker w(d.data(), d.size());
  std::vector<std::tuple<int, int, bool, bool, bool>> units;  // stream, length, first, last, time
  dv::ArcUnit u;
  while (w.next(&u) == dv::ArcStatus::kOk) {
    if (u.kind == dv::ArcUnit::kChunk) {
      units.emplace_back(u.chunk.stream, u.chunk.length, u.chunk.first, u.chunk.last, u.has_time);
    }
  }
  EXPECT_TRUE(w.at_end());
  std::vector<std::tuple<int, int, bool, bool, bool>> want = {{0, 65535, true, false, true},
                                                              {0, 4465, false, true, false},
                                                              {1, 0, true, true, true},
                                                              {16, 65535, true, false, false},
                                                              {16, 4465, false, true, false}};
  EXPECT_EQ(units, want);
}

TEST_F(Writer, MarkerAndNoSummariesByOption) {
  configure({"-h", "1", "-i", "0"});
  ArcSetBuilder b(header_);
  group(10, typical(1), &b);
  closeQVS3File(&gv_);
  b.close();
  expect_same_set(0, b, false);
  EXPECT_EQ(read_file(name(0, "hdr")), std::vector<uint8_t>(8, 0));
  EXPECT_FALSE(exists(dv::arc_summary_name(folder_, 0, "30m")));
}

struct NumberCase {
  const char* name;
  std::vector<std::string> present;
  bool opens;
  const char* first;
};

class Numbering : public Writer, public testing::WithParamInterface<NumberCase> {};

TEST_P(Numbering, NextSetNumber) {
  for (const std::string& n : GetParam().present) write_file(folder_ + n, {1, 2, 3});
  std::vector<F> g = {{0, 100, 1}};
  std::vector<HubMessage> q = {lay(g[0], true, 5)};
  ASSERT_EQ(BeforeSaveGOPData(&gv_, q.data()), 0);
  int r = SaveBlock(&gv_, q.data(), 1, 1, 0);
  EXPECT_EQ(r == 0, GetParam().opens);
  if (GetParam().opens) {
    EXPECT_EQ(gv_.set.data_name, folder_ + GetParam().first);
  } else {
    // Nothing of the refused set is left, the foreign files are untouched.
    std::vector<std::string> want = GetParam().present;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(list_dir(folder_), want);
  }
  for (const std::string& n : GetParam().present) {
    EXPECT_EQ(read_file(folder_ + n), (std::vector<uint8_t>{1, 2, 3})) << n;
  }
}

const NumberCase kNumberCases[] = {
    {"Empty", {}, true, "00000000.qvs3"},
    {"AfterA", {"0000000a.qvs3", "00000003.qvs3"}, true, "0000000b.qvs3"},
    {"ForeignNamesIgnored",
     {"notes.txt", "zzz.qvs3", "00000002.id3", "123456789.qvs3"},
     true,
     "00000000.qvs3"},
    {"UpperCaseHex", {"0000000F.qvs3"}, true, "00000010.qvs3"},
    {"LastNumber", {"fffffffe.qvs3"}, true, "ffffffff.qvs3"},
    {"NumbersUsedUp", {"ffffffff.qvs3", "00000000.qvs3"}, false, ""},
};

INSTANTIATE_TEST_SUITE_P(Writer, Numbering, testing::ValuesIn(kNumberCases),
                         [](const testing::TestParamInfo<NumberCase>& i) { return i.param.name; });

TEST_F(Writer, RollsOverAtTheMaximumSizeBetweenGroups) {
  configure({"-s", "1000000"});  // bytes
  // Each group is about 200 KB: a set passes 1000000 bytes with its fifth
  // group and is closed at the next GOP mark; no group is split.
  std::vector<ArcSetBuilder> sets;
  sets.emplace_back(header_);
  for (int k = 0; k < 12; ++k) {
    group(100 + 3 * k, typical(0), &sets.back());
    if (sets.back().data().size() > 1000000 && k < 11) sets.emplace_back(header_);
  }
  closeQVS3File(&gv_);
  ASSERT_EQ(sets.size(), 3u);
  for (uint32_t n = 0; n < sets.size(); ++n) {
    sets[n].close();
    expect_same_set(n, sets[n]);
  }
}

struct SizeCase {
  std::vector<std::string> args;
  std::vector<std::string> saver;
  int64_t want;
};

TEST_F(Writer, MaximumSizeSettings) {
  const SizeCase cases[] = {
      {{}, {}, 600000000},
      {{}, {"maxisize = 500"}, int64_t{500} << 20},
      {{}, {"maxisize = 700000000"}, 700000000},
      {{}, {"maxisize = 999999"}, int64_t{999999} << 20},
      {{"-s", "0x10"}, {"maxisize = 700000000"}, int64_t{16} << 20},
      {{"-s", "010"}, {}, int64_t{8} << 20},
      {{"-s", "1000000"}, {}, 1000000},
  };
  for (const SizeCase& c : cases) {
    configure(c.args, c.saver);
    EXPECT_EQ(gv_.max_size, c.want) << (c.saver.empty() ? "" : c.saver[0]);
  }
}

TEST_F(Writer, OptionsOverrideAndUnknownOnesAreSkipped) {
  testing::internal::CaptureStderr();
  configure({"-x", "-p", "/tmp/other", "-m", "0", "-n", "7", "-q", "1", "-h"});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(gv_.folder, "/tmp/other/");
  EXPECT_EQ(notify_, 0);
  EXPECT_EQ(gv_.write_marker, 0);
  EXPECT_EQ(gv_.write_summaries, 1);
  // -x, -q, the 1 after -q (not an option either), and -h without its value.
  size_t usages = 0;
  for (size_t p = 0; (p = err.find("Usage recorder [-p dir]", p)) != std::string::npos; ++p) {
    ++usages;
  }
  EXPECT_EQ(usages, 4u);
  EXPECT_NE(err.find("-i [0|1] generate {.30m, .1h, .6h, .12h, .24h, .7d} files"),
            std::string::npos);
  // The next read starts from the defaults again.
  configure({});
  EXPECT_EQ(gv_.folder, folder_);
  EXPECT_EQ(notify_, 1);
}

TEST_F(Writer, FailedWriteTakesTheGroupOutAndEndsTheRun) {
  ArcSetBuilder b(header_);
  for (int k = 0; k < 3; ++k) group(100 + 3 * k, typical(k), &b);
  gv_.fail_data_after = 150000;  // in the middle of the next group
  std::vector<F> g = typical(1);
  std::vector<HubMessage> q;
  for (size_t i = 0; i < g.size(); ++i) q.push_back(lay(g[i], i == 0, 200));
  ASSERT_EQ(BeforeSaveGOPData(&gv_, q.data()), 0);
  for (HubMessage& m : q) CalcActivAndEvents(&gv_, &m, 1, 1, 0);
  int failed = 0;
  for (HubMessage& m : q) failed += SaveBlock(&gv_, &m, 1, 1, 0) != 0;
  EXPECT_GT(failed, 0);
  EXPECT_FALSE(gv_.set.open);
  EXPECT_EQ(BeforeSaveGOPData(&gv_, q.data()), 1);  // the run ends
  // The set holds the three whole groups; the summaries were closed.
  b.close();
  expect_same_set(0, b);
}

TEST_F(Writer, UnlistedStreamsAreNotWritten) {
  ArcSetBuilder b(header_);
  group(10, {{0, 100, 1}}, &b);
  std::vector<HubMessage> q = {lay({0, 100, 1}, true, 13), lay({77, 50, 1}, false, 13)};
  ASSERT_EQ(BeforeSaveGOPData(&gv_, q.data()), 0);
  for (HubMessage& m : q) ASSERT_EQ(SaveBlock(&gv_, &m, 1, 1, 0), 0);
  AfterSaveGOPData(&gv_);
  b.begin_group(13);
  ArcFrame f;
  f.stream = 0;
  f.level = 1;
  b.add_frame(f,
              std::string_view(reinterpret_cast<const char*>(segment_.data() + q[0].offset), 100));
  b.end_group();
  closeQVS3File(&gv_);
  b.close();
  expect_same_set(0, b);
}

// ---------------------------------------------------------------------------
// Repair of a cut set.

struct Cut {
  const char* name;
  int64_t data;  // bytes to cut off the data file (-1: none)
  int64_t index;
  int64_t evt;
  bool summaries_lose_tail;
};

class Repair : public Writer, public testing::WithParamInterface<Cut> {};

TEST_P(Repair, CutSetIsWholeUpToItsLastCommittedGroup) {
  const Cut& c = GetParam();
  // Write 8 groups; remember the files after 6, then let the 7th group go
  // as far as a kill may have left it.
  ArcSetBuilder b(header_);
  for (int k = 0; k < 6; ++k) group(100 + 7 * k, typical(k * 3 + 1), &b);
  ASSERT_EQ(rec_sync(&gv_), 0);
  std::vector<uint8_t> data6 = read_file(name(0, "qvs3"));
  std::vector<uint8_t> index6 = read_file(name(0, "id3"));
  std::vector<uint8_t> evt6 = read_file(name(0, "evt"));
  group(200, typical(1));  // group 6 with an alarm text
  ASSERT_EQ(rec_sync(&gv_), 0);
  std::vector<uint8_t> data7 = read_file(name(0, "qvs3"));
  std::vector<uint8_t> index7 = read_file(name(0, "id3"));
  std::vector<uint8_t> evt7 = read_file(name(0, "evt"));
  // Stop writing without closing: as if killed.
  gv_.set = OpenSet();
  gv_.group = GroupState();
  // The kill: group 6 is in the data file up to some point, its .evt entry
  // and index record may or may not be there.
  auto cut = [](std::vector<uint8_t> v, const std::vector<uint8_t>& base, int64_t n) {
    if (n >= 0) v.resize(base.size() + static_cast<size_t>(n));
    return v;
  };
  write_file(name(0, "qvs3"), cut(data7, data6, c.data));
  write_file(name(0, "id3"), cut(index7, index6, c.index));
  write_file(name(0, "evt"), cut(evt7, evt6, c.evt));
  dv::RepairReport rep;
  dv::RepairResult r = dv::arc_repair_set(folder_, 0, 64 << 20, &rep);
  bool whole7 = c.data < 0 && c.index < 0;  // group 6 committed
  if (whole7) {
    EXPECT_EQ(read_file(name(0, "qvs3")), data7);
    EXPECT_EQ(read_file(name(0, "id3")), index7);
    EXPECT_EQ(read_file(name(0, "evt")), evt7);
  } else {
    EXPECT_EQ(r, dv::RepairResult::kRepaired) << rep.why;
    b.close();
    expect_same_set(0, b);
  }
  // A second pass finds nothing to do.
  EXPECT_EQ(dv::arc_repair_set(folder_, 0, 64 << 20, &rep), dv::RepairResult::kClean);
}

const Cut kCuts[] = {
    // Killed while group 6 was going into the data file.
    {"GroupHeaderOnly", 10, 0, 0, true},
    {"InsideAChunkWord", 15, 0, 0, true},
    {"InsideAPayload", 40000, 0, 0, true},
    {"AtAFrameBoundary", 70013 + 8 + 4, 0, 0, true},
    {"DataWholeNoEntryNoRecord", -1, 0, 0, true},
    // Killed while it was being committed.
    {"EntryHalfWritten", -1, 0, 5, true},
    {"EntryWithoutRecord", -1, 0, -1, true},
    {"RecordHalfWritten", -1, 11, -1, true},
    // Committed; only the summaries' open period is missing.
    {"Committed", -1, -1, -1, true},
};

INSTANTIATE_TEST_SUITE_P(Writer, Repair, testing::ValuesIn(kCuts),
                         [](const testing::TestParamInfo<Cut>& i) { return i.param.name; });

TEST_F(Writer, RepairLeavesForeignAndDamagedSetsAlone) {
  // Not a data file of ours.
  std::vector<uint8_t> junk(5000, 0x41);
  write_file(name(5, "qvs3"), junk);
  write_file(name(5, "id3"), std::vector<uint8_t>(48, 7));
  dv::RepairReport rep;
  EXPECT_EQ(dv::arc_repair_set(folder_, 5, 64 << 20, &rep), dv::RepairResult::kLeft);
  EXPECT_EQ(read_file(name(5, "qvs3")), junk);
  // A set whose index is missing: nothing tells where its groups end.
  ArcSetBuilder b(header_);
  for (int k = 0; k < 3; ++k) {
    b.begin_group(10 + k);
    b.add_text(128, "x", true);
    b.end_group();
  }
  b.close();
  ASSERT_EQ(b.write(folder_, 6, true, false), 0);
  ::unlink(name(6, "id3").c_str());
  EXPECT_EQ(dv::arc_repair_set(folder_, 6, 64 << 20, &rep), dv::RepairResult::kLeft);
  EXPECT_EQ(read_file(name(6, "qvs3")), b.data());
  // Damage in the middle of an indexed group.
  ASSERT_EQ(b.write(folder_, 7, true, false), 0);
  std::vector<uint8_t> d = b.data();
  d[d.size() - 4] = 0xEE;         // inside the last text: harmless, payload bytes
  d[header_.size() + 13] = 0x77;  // the first chunk word's length
  write_file(name(7, "qvs3"), d);
  dv::RepairResult r = dv::arc_repair_set(folder_, 7, 64 << 20, &rep);
  EXPECT_NE(r, dv::RepairResult::kRepaired);
  EXPECT_EQ(read_file(name(7, "qvs3")), d);
}

TEST_F(Writer, NewSetRepairsTheOneAKilledRecorderLeft) {
  ArcSetBuilder b(header_);
  for (int k = 0; k < 4; ++k) group(100 + 3 * k, typical(k), &b);
  ASSERT_EQ(rec_sync(&gv_), 0);
  // Half of a group more, then "killed".
  std::vector<uint8_t> d = read_file(name(0, "qvs3"));
  gv_.set = OpenSet();
  gv_.group = GroupState();
  gv_.clean_closed = -1;
  d.insert(d.end(), {0x05, 0xB5, 0xB5, 0xB5, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0x10, 0, 0});
  write_file(name(0, "qvs3"), d);
  // A new recorder's first group repairs set 0 and opens set 1.
  RecorderState fresh;
  std::swap(fresh.folder, gv_.folder);
  fresh.base = gv_.base;
  fresh.digest_length = gv_.digest_length;
  fresh.budget = gv_.budget;
  std::memcpy(fresh.types, gv_.types, sizeof fresh.types);
  std::memcpy(fresh.listed, gv_.listed, sizeof fresh.listed);
  std::vector<HubMessage> q = {lay({0, 100, 1}, true, 300)};
  ASSERT_EQ(BeforeSaveGOPData(&fresh, q.data()), 0);
  ASSERT_EQ(SaveBlock(&fresh, q.data(), 1, 1, 0), 0);
  AfterSaveGOPData(&fresh);
  EXPECT_EQ(fresh.set.number, 1u);
  closeQVS3File(&fresh);
  b.close();
  expect_same_set(0, b);
  gv_.folder = fresh.folder;
}

// ---------------------------------------------------------------------------
// Disc safe mode.

TEST_F(Writer, HeldGroupsReachTheDiscAsLiveWritingWritesThem) {
  // Live writing, for comparison.
  ArcSetBuilder b(header_);
  std::vector<std::vector<F>> groups;
  for (int k = 0; k < 8; ++k) groups.push_back(typical(k));
  configure({}, {"disc_safe = 1", "safe_start_ival = -100", "safe_stop_ival = 10",
                 "on_safe_start = 'true'", "on_safe_stop = 'true'"});
  ASSERT_TRUE(gv_.continuous);
  gv_.held_intact = [](RecorderState*, uint64_t) { return true; };
  // Group times now, now + 3, ...: holding starts at once (the switch time
  // lies in the past), lasts 10 s, then the burst; the next period starts
  // after safe_start_ival (-100 s: at once again).
  const int32_t t0 = static_cast<int32_t>(time(nullptr));
  for (int k = 0; k < 8; ++k) {
    std::vector<HubMessage> q;
    for (size_t i = 0; i < groups[k].size(); ++i) {
      q.push_back(lay(groups[k][i], i == 0, t0 + 3 * k));
    }
    ASSERT_EQ(BeforeSaveGOPData(&gv_, q.data()), 0);
    if (k == 0) {
      EXPECT_TRUE(gv_.holding);
    }
    for (HubMessage& m : q) CalcActivAndEvents(&gv_, &m, 1, 1, 0);
    for (HubMessage& m : q) ASSERT_EQ(SaveBlock(&gv_, &m, 1, 1, 0), 0);
    AfterSaveGOPData(&gv_);
    FileCloseCheck(&gv_);
    b.begin_group(t0 + 3 * k);
    for (size_t i = 0; i < groups[k].size(); ++i) {
      const F& f = groups[k][i];
      ArcFrame af;
      af.stream = static_cast<uint8_t>(f.stream);
      af.level = f.level;
      af.time_code = f.time_code;
      af.frame_no = static_cast<uint32_t>(f.frame_no);
      b.add_frame(
          af,
          std::string_view(reinterpret_cast<const char*>(segment_.data() + q[i].offset), f.size),
          f.event && !f.text.empty());
    }
    b.end_group();
  }
  SaveAllData(&gv_);  // the end of the run writes what is held
  EXPECT_FALSE(gv_.holding);
  closeQVS3File(&gv_);
  b.close();
  expect_same_set(0, b);
}

TEST_F(Writer, HoldingNeverStartsWhenEveryStreamRecordsOnEvents) {
  std::vector<char> ini;
  for (const char* l : {"[ saver ]", "disc_safe = 1", "safe_start_ival = -100"}) {
    ini.insert(ini.end(), l, l + std::strlen(l) + 1);
  }
  ini.push_back('\0');
  ConfigHandle* h = ConfigOpenMem(ini.data(), static_cast<int32_t>(ini.size()));
  uint8_t on[16] = {1, 1}, fdiv[16] = {1, 1}, rmove[256] = {1, 1};
  int notify = 1;
  OnConfigReload(&gv_, h, folder_.c_str(), segment_.data(), 0, static_cast<int32_t>(header_.size()),
                 2 << 20, on, fdiv, rmove, &notify);
  ConfigClose(h);
  EXPECT_FALSE(gv_.continuous);
  const int32_t t = static_cast<int32_t>(time(nullptr));
  for (int k = 0; k < 3; ++k) {
    std::vector<HubMessage> q = {lay({0, 100, 1}, true, t + 3 * k)};
    ASSERT_EQ(BeforeSaveGOPData(&gv_, q.data()), 0);
    EXPECT_FALSE(gv_.holding);
    ASSERT_EQ(SaveBlock(&gv_, q.data(), 1, 0, 0), 0);
    AfterSaveGOPData(&gv_);
  }
  EXPECT_EQ(gv_.set.index_count, 3u);
}

TEST_F(Writer, HeldPayloadsOverwrittenMeanwhileAreDropped) {
  configure({}, {"disc_safe = 1", "safe_start_ival = -100", "safe_stop_ival = 100"});
  // Every payload of stream 16 (audio) counts as overwritten; stream 0's
  // key frame too, which takes its group's later frames along.
  static std::map<uint64_t, bool> intact;
  intact.clear();
  gv_.held_intact = [](RecorderState*, uint64_t stamp) { return intact[stamp]; };
  const int32_t t = static_cast<int32_t>(time(nullptr));
  std::vector<HubMessage> q = {
      lay({0, 1000, 1, false, "", 0}, true, t), lay({16, 100, 1}, false, t),
      lay({0, 1000, 2, false, "", 1}, false, t), lay({1, 500, 3}, false, t)};
  ASSERT_EQ(BeforeSaveGOPData(&gv_, q.data()), 0);
  ASSERT_TRUE(gv_.holding);
  for (HubMessage& m : q) ASSERT_EQ(SaveBlock(&gv_, &m, 1, 1, 0), 0);
  // Stamps here are outside a framework run: give each its index.
  for (size_t i = 0; i < gv_.held.size(); ++i) gv_.held[i].stamp = i;
  intact = {{0, false}, {1, false}, {2, true}, {3, true}};
  ASSERT_EQ(StoreSafeQueue(&gv_), 0);
  closeQVS3File(&gv_);
  std::vector<uint8_t> d = read_file(name(0, "qvs3"));
  dv::ArcDataWalker w(d.data(), d.size());
  dv::ArcUnit u;
  std::vector<int> streams;
  while (w.next(&u) == dv::ArcStatus::kOk) {
    if (u.kind == dv::ArcUnit::kChunk) streams.push_back(u.chunk.stream);
  }
  EXPECT_EQ(streams, std::vector<int>{1});
}

}  // namespace
