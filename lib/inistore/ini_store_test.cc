// Loading, look-ups, edits and iteration of the store.
#include "lib/inistore/ini_store.h"

#include <climits>
#include <ostream>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/inistore/ini_test_util.h"

using initest::list_of;
using initest::make_list;
using initest::open_text;

namespace {

using Lines = std::vector<std::string>;

// Closes a store without committing it.
struct Store {
  ConfigHandle* h;
  explicit Store(ConfigHandle* handle) : h(handle) {}
  ~Store() {
    if (h != nullptr) {
      h->modified = 0;
      ConfigClose(h);
    }
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
};

std::string get_str(ConfigHandle* h, const char* section, const char* key, int* rc,
                    int32_t size = 2047) {
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 1, '#');
  *rc = ConfigGetStr(h, buf.data(), section, key, size);
  return *rc == 0 ? std::string(buf.data()) : std::string();
}

// --- loading ---------------------------------------------------------------

struct LoadCase {
  const char* name;
  std::string content;
  std::string list;  // expected line list, "" for an empty store
};
// Readable test names in CTest.
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class IniLoadTest : public testing::TestWithParam<LoadCase> {};

TEST_P(IniLoadTest, BuildsTheLineList) {
  const LoadCase& c = GetParam();
  Store s(open_text(c.content, 0));
  ASSERT_NE(s.h, nullptr);
  EXPECT_EQ(list_of(s.h), c.list);
  EXPECT_EQ(ConfigGetSize(s.h), static_cast<int32_t>(c.list.size()));
  if (c.list.empty()) {
    EXPECT_EQ(ConfigGetBuffer(s.h), nullptr);
  }
}

const LoadCase kLoadCases[] = {
    {"EmptyFile", "", ""},
    {"OnlyBlankLines", "\n \n\t\r\n", make_list({})},
    {"PlainLines", "[ a ]\nk = 1\n", make_list({"[ a ]", "k = 1"})},
    {"NoFinalLineFeed", "[ a ]\nk = 1", make_list({"[ a ]", "k = 1"})},
    {"TrailingBlanksAndCr", "k = 1 \t\r\n\r\n  x\r", make_list({"k = 1", "  x"})},
    {"LeadingBlanksKept", "   [ a ]\n\t k=1\n", make_list({"   [ a ]", "\t k=1"})},
    {"HighBytesAreBlanks", "k = v\xe9\xff\x80\n\xc4\xd6\n", make_list({"k = v"})},
    {"NulEndsTheLine", std::string("k = ab\0cd\nz = 1\n", 16), make_list({"k = ab", "z = 1"})},
    {"NulFirst", std::string("\0abc\n\0\nq\0", 9), make_list({"q"})},
    {"NulsOnly", std::string(5, '\0'), make_list({})},
    {"ControlBytes", "\x01\x02k\x03\x1f\n", make_list({"\x01\x02k"})},
};

INSTANTIATE_TEST_SUITE_P(Ini, IniLoadTest, testing::ValuesIn(kLoadCases),
                         [](const testing::TestParamInfo<LoadCase>& i) { return i.param.name; });

TEST(IniLoad, LineOfMegabytes) {
  std::string big(3 << 20, 'v');
  Store s(open_text("[ a ]\nk = " + big + "   \nz = 1", 0));
  ASSERT_NE(s.h, nullptr);
  EXPECT_EQ(list_of(s.h), make_list({"[ a ]", "k = " + big, "z = 1"}));
  int rc;
  EXPECT_EQ(get_str(s.h, "a", "k", &rc, 8), "vvvvvvv");
  EXPECT_EQ(get_str(s.h, "a", "z", &rc), "1");
}

TEST(IniLoad, MissingFileReadOnlyFails) {
  std::string path = initest::fresh_dir() + "/missing.ini";
  EXPECT_EQ(ConfigOpen(path.c_str(), 0), nullptr);
  EXPECT_FALSE(initest::exists(path));
}

TEST(IniLoad, MissingFileWritableIsCreatedEmpty) {
  std::string path = initest::fresh_dir() + "/new.ini";
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(initest::exists(path));
  EXPECT_EQ(ConfigGetSize(h), 0);
  EXPECT_STREQ(ConfigGetFilename(h), path.c_str());
  EXPECT_EQ(ConfigClose(h), 0);
  EXPECT_EQ(initest::read_file(path), "");
}

TEST(IniLoad, FolderIsNotAStore) {
  std::string dir = initest::fresh_dir();
  EXPECT_EQ(ConfigOpen(dir.c_str(), 0), nullptr);
  EXPECT_EQ(ConfigOpen(dir.c_str(), 1), nullptr);
}

TEST(IniLoad, MissingFolderFails) {
  EXPECT_EQ(ConfigOpen("/etc/no-such-folder/x.ini", 1), nullptr);
}

// --- sections --------------------------------------------------------------

struct SectionCase {
  const char* header;
  const char* name;
  bool found;
};
void PrintTo(const SectionCase& c, std::ostream* os) {
  *os << "header " << testing::PrintToString(std::string(c.header)) << " name " << c.name;
}

class IniSectionTest : public testing::TestWithParam<SectionCase> {};

TEST_P(IniSectionTest, FindsByNameInsideHeader) {
  const SectionCase& c = GetParam();
  std::string list = make_list({"k = 0", c.header, "k = 1"});
  Store s(ConfigOpenMem(list.data(), static_cast<int32_t>(list.size())));
  ASSERT_NE(s.h, nullptr);
  int rc;
  std::string v = get_str(s.h, c.name, "k", &rc);
  if (c.found) {
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(v, "1");
  } else {
    EXPECT_EQ(rc, 1);
  }
}

const SectionCase kSectionCases[] = {
    {"[Common]", "common", true},
    {"[ common ]", "common", true},
    {"  [COMMON]", "common", true},
    {"[ Common ] x", "common", true},
    {"[\tcommon\t]", "COMMON", true},
    {"[common", "common", true},
    {"[ common2 ]", "common", false},
    {"[ xcommon ]", "common", false},
    {"[ stream_10 ]", "stream_1", false},
    {"[ stream_1 ]", "stream_1", true},
    // Only the first occurrence is tested.
    {"[ xcommon common ]", "common", false},
    {"# [ common ]", "common", false},
    {"common = [x]", "common", false},
    {"[ stream 1 ]", "stream 1", true},
};

INSTANTIATE_TEST_SUITE_P(Ini, IniSectionTest, testing::ValuesIn(kSectionCases));

TEST(IniSection, NullNameIsTheTopOfTheFile) {
  Store s(open_text("top = 1\n[ a ]\ntop = 2\nonly = 3\n", 0));
  int rc;
  EXPECT_EQ(get_str(s.h, nullptr, "top", &rc), "1");
  get_str(s.h, nullptr, "only", &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(get_str(s.h, "a", "top", &rc), "2");
}

TEST(IniSection, FirstDuplicateWins) {
  Store s(open_text("[ a ]\nk = 1\nk = 2\n[ a ]\nk = 3\nj = 4\n", 0));
  int rc;
  EXPECT_EQ(get_str(s.h, "a", "k", &rc), "1");
  get_str(s.h, "a", "j", &rc);
  EXPECT_EQ(rc, 2);
}

// --- keys and values -------------------------------------------------------

struct KeyCase {
  const char* line;
  const char* key;
  int rc;
  const char* value;
};
void PrintTo(const KeyCase& c, std::ostream* os) {
  *os << "line " << testing::PrintToString(std::string(c.line)) << " key " << c.key;
}

class IniKeyTest : public testing::TestWithParam<KeyCase> {};

TEST_P(IniKeyTest, MatchesLeadingWord) {
  const KeyCase& c = GetParam();
  std::string list = make_list({"[ s ]", c.line, "[ t ]", "port = 9"});
  Store s(ConfigOpenMem(list.data(), static_cast<int32_t>(list.size())));
  ASSERT_NE(s.h, nullptr);
  int rc;
  std::string v = get_str(s.h, "s", c.key, &rc);
  EXPECT_EQ(rc, c.rc);
  if (rc == 0) {
    EXPECT_EQ(v, c.value);
  }
}

const KeyCase kKeyCases[] = {
    {"port = 80", "port", 0, "80"},
    {"PORT=80", "port", 0, "80"},
    {"port 80", "port", 0, "80"},
    {"  port==80", "port", 0, "80"},
    {"port\t= =\t80 x", "Port", 0, "80 x"},
    {"port", "port", 0, ""},
    {"port =", "port", 0, ""},
    {"ports = 1", "port", 2, ""},
    {"# port = 80", "port", 2, ""},
    {"; port = 80", "port", 2, ""},
    {"// port = 80", "port", 2, ""},
    {"por = 1", "port", 2, ""},
    {"port\xe9x", "port", 0, "x"},
    // Values: quotes, no end-of-line comments.
    {"k = 'abc'", "k", 0, "abc"},
    {"k = 'abc", "k", 0, "abc"},
    {"k = \"abc'", "k", 0, "abc'"},
    {"k = \"abc\"", "k", 0, "abc"},
    {"k = '", "k", 0, ""},
    {"k = ''", "k", 0, ""},
    {"k = abc ; x", "k", 0, "abc ; x"},
    {"k = 'a\\'b'", "k", 0, "a\\'b"},
    {"k = =x", "k", 0, "x"},
    {"k = '\xc4\xd6'", "k", 0, "\xc4\xd6"},
    {"k = \xc4\xd6z", "k", 0, "z"},
};

INSTANTIATE_TEST_SUITE_P(Ini, IniKeyTest, testing::ValuesIn(kKeyCases));

TEST(IniValue, HighBytesUnquotedReadAsEmpty) {
  Store s(open_text("[ s ]\nk = \xc4\xd6\nq = '\xc4\xd6'\n", 0));
  int rc;
  EXPECT_EQ(get_str(s.h, "s", "k", &rc), "");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(get_str(s.h, "s", "q", &rc), "\xc4\xd6");
}

TEST(IniValue, CutToDestinationSize) {
  std::string list = make_list({"[ s ]", "k = 'abcdef'", "u = abcdef"});
  Store s(ConfigOpenMem(list.data(), static_cast<int32_t>(list.size())));
  int rc;
  EXPECT_EQ(get_str(s.h, "s", "k", &rc, 4), "abc");
  EXPECT_EQ(get_str(s.h, "s", "u", &rc, 4), "abc");
  EXPECT_EQ(get_str(s.h, "s", "u", &rc, 1), "");
  EXPECT_EQ(get_str(s.h, "s", "k", &rc, 8), "abcdef");
}

TEST(IniValue, DestinationUntouchedOnFailure) {
  std::string list = make_list({"[ s ]", "k = 1"});
  Store s(ConfigOpenMem(list.data(), static_cast<int32_t>(list.size())));
  struct {
    const char* section;
    const char* key;
    int32_t size;
    int rc;
  } cases[] = {{"s", "k", 0, 1}, {"x", "k", 8, 1}, {"s", "x", 8, 2}, {"s", nullptr, 8, 2}};
  for (const auto& c : cases) {
    char buf[8] = "keep";
    EXPECT_EQ(ConfigGetStr(s.h, buf, c.section, c.key, c.size), c.rc);
    EXPECT_STREQ(buf, "keep");
  }
}

struct IntCase {
  const char* value;  // null: the key is missing
  int rc;
  int32_t result;
};
void PrintTo(const IntCase& c, std::ostream* os) {
  *os << "value " << (c.value ? c.value : "(missing)");
}

class IniIntTest : public testing::TestWithParam<IntCase> {};

TEST_P(IniIntTest, ConvertsWithBasePrefix) {
  const IntCase& c = GetParam();
  std::string list = make_list({"[ s ]", c.value ? std::string("k = ") + c.value : "j = 1"});
  Store s(ConfigOpenMem(list.data(), static_cast<int32_t>(list.size())));
  int32_t v = 12345;
  EXPECT_EQ(ConfigGetInt(s.h, &v, "s", "k"), c.rc);
  EXPECT_EQ(v, c.result);
}

const IntCase kIntCases[] = {
    {"0x10", 0, 16},
    {"010", 0, 8},
    {"'5'", 0, 0},
    {nullptr, 2, 0},
    {"42", 0, 42},
    {"-7", 0, -7},
    {"12abc", 0, 12},
    {"abc", 0, 0},
    {"", 0, 0},
    {"99999999999", 0, INT32_MAX},
    {"-99999999999", 0, INT32_MIN},
    {"0XfF", 0, 255},
};

INSTANTIATE_TEST_SUITE_P(Ini, IniIntTest, testing::ValuesIn(kIntCases));

TEST(IniValue, IntMissingSectionIsZero) {
  std::string list = make_list({"[ s ]", "k = 3"});
  Store s(ConfigOpenMem(list.data(), static_cast<int32_t>(list.size())));
  int32_t v = 7;
  EXPECT_EQ(ConfigGetInt(s.h, &v, "x", "k"), 1);
  EXPECT_EQ(v, 0);
}

// --- editing ---------------------------------------------------------------

TEST(IniEdit, NewKeyGoesFirstInItsSection) {
  Store s(open_text("[ s ]\na = 1\nb = 2\n[ t ]\nc = 3\n", 1));
  ASSERT_EQ(ConfigWriteStr(s.h, "s", "key", "text"), 0);
  EXPECT_EQ(list_of(s.h), make_list({"[ s ]", "key = 'text'", "a = 1", "b = 2", "[ t ]", "c = 3"}));
  EXPECT_EQ(s.h->modified, 1);
}

TEST(IniEdit, ExistingKeyLineIsReplacedWhole) {
  Store s(open_text("[ s ]\n  PORT==80\nz = 1\n", 1));
  ASSERT_EQ(ConfigWriteInt(s.h, "s", "port", 81), 0);
  EXPECT_EQ(list_of(s.h), make_list({"[ s ]", "port = 81", "z = 1"}));
}

TEST(IniEdit, WriteFormsAndTrailingBlanks) {
  Store s(open_text("[ s ]\n", 1));
  ASSERT_EQ(ConfigWriteStrWoQuotes(s.h, "s", "a", "x y  "), 0);
  ASSERT_EQ(ConfigPrintf(s.h, "s", "b", "%d-%s\t", 5, "z"), 0);
  ASSERT_EQ(ConfigWriteInt(s.h, "s", "c", -3), 0);
  ASSERT_EQ(ConfigWriteStr(s.h, "s", "d", "it's"), 0);
  ASSERT_EQ(ConfigWriteStrWoQuotes(s.h, "s", "e", ""), 0);
  EXPECT_EQ(list_of(s.h),
            make_list({"[ s ]", "e = ", "d = 'it's'", "c = -3", "b = 5-z", "a = x y"}));
}

TEST(IniEdit, NullSectionKeyGoesBeforeFirstLine) {
  Store s(open_text("# head\n[ s ]\n", 1));
  ASSERT_EQ(ConfigWriteInt(s.h, nullptr, "top", 1), 0);
  EXPECT_EQ(list_of(s.h), make_list({"top = 1", "# head", "[ s ]"}));
}

TEST(IniEdit, EmptyStoreHasNoSection) {
  Store s(open_text("", 1));
  EXPECT_EQ(ConfigWriteInt(s.h, nullptr, "k", 1), 1);
  EXPECT_EQ(ConfigWriteInt(s.h, "s", "k", 1), 1);
  EXPECT_EQ(ConfigDelKey(s.h, nullptr, "k"), 1);
  EXPECT_EQ(ConfigDelSection(s.h, "s"), 0);
  EXPECT_EQ(s.h->modified, 0);
  ASSERT_EQ(ConfigAddSection(s.h, "s"), 0);
  ASSERT_EQ(ConfigWriteInt(s.h, "s", "k", 1), 0);
  EXPECT_EQ(list_of(s.h), make_list({"[ s ]", "k = 1"}));
}

TEST(IniEdit, StoreOfNoLinesTakesTopKeys) {
  Store s(open_text("\n\n", 1));
  ASSERT_EQ(ConfigGetSize(s.h), 1);
  ASSERT_EQ(ConfigWriteInt(s.h, nullptr, "k", 1), 0);
  EXPECT_EQ(list_of(s.h), make_list({"k = 1"}));
}

TEST(IniEdit, LongValueIsCut) {
  Store s(open_text("[ s ]\n", 1));
  std::string big(3000, 'x');
  ASSERT_EQ(ConfigWriteStrWoQuotes(s.h, "s", "k", big.c_str()), 0);
  std::string line = "k = " + std::string(2046 - 4, 'x');
  EXPECT_EQ(list_of(s.h), make_list({"[ s ]", line}));
  std::string key(2100, 'q');
  ASSERT_EQ(ConfigWriteInt(s.h, "s", key.c_str(), 1), 0);
  EXPECT_EQ(list_of(s.h), make_list({"[ s ]", key.substr(0, 2046), line}));
}

TEST(IniEdit, LineFeedCannotForgeLines) {
  Store s(open_text("[ s ]\n", 1));
  ASSERT_EQ(ConfigWriteStr(s.h, "s", "k", "a\n[ evil ]\nx = 1"), 0);
  ASSERT_EQ(ConfigWriteStrWoQuotes(s.h, "s", "j\nk", "v"), 0);
  ASSERT_EQ(ConfigAddSection(s.h, "n\n[ evil ]"), 0);
  EXPECT_EQ(list_of(s.h), make_list({"[ s ]", "j", "k = 'a", "[ n"}));
  EXPECT_EQ(ConfigSearchRewind(s.h), ConfigGetBuffer(s.h));
  EXPECT_STREQ(ConfigSearchSection(s.h, "evil"), nullptr);
}

struct NoChangeCase {
  const char* name;
  int (*op)(ConfigHandle*);
};
void PrintTo(const NoChangeCase& c, std::ostream* os) { *os << c.name; }

class IniNoChangeTest : public testing::TestWithParam<NoChangeCase> {};

TEST_P(IniNoChangeTest, ReturnsZeroAndKeepsTheStore) {
  Store s(open_text("[ a ]\nk = 1\n[ b ]\n", 1));
  std::string before = list_of(s.h);
  const char* block = ConfigGetBuffer(s.h);
  EXPECT_EQ(GetParam().op(s.h), 0);
  EXPECT_EQ(list_of(s.h), before);
  EXPECT_EQ(ConfigGetBuffer(s.h), block);
  EXPECT_EQ(s.h->modified, 0);
}

const NoChangeCase kNoChangeCases[] = {
    {"AddExistingSection", [](ConfigHandle* h) { return ConfigAddSection(h, "A"); }},
    {"DelMissingSection", [](ConfigHandle* h) { return ConfigDelSection(h, "c"); }},
    {"DelNullSection", [](ConfigHandle* h) { return ConfigDelSection(h, nullptr); }},
    {"DelMissingKey", [](ConfigHandle* h) { return ConfigDelKey(h, "a", "j"); }},
    {"DelKeyOfNextSection", [](ConfigHandle* h) { return ConfigDelKey(h, "b", "k"); }},
};

INSTANTIATE_TEST_SUITE_P(Ini, IniNoChangeTest, testing::ValuesIn(kNoChangeCases),
                         [](const testing::TestParamInfo<NoChangeCase>& i) {
                           return i.param.name;
                         });

TEST(IniEdit, AddSectionAppends) {
  Store s(open_text("[ a ]\nk = 1\n", 1));
  ASSERT_EQ(ConfigAddSection(s.h, "b"), 0);
  EXPECT_EQ(list_of(s.h), make_list({"[ a ]", "k = 1", "[ b ]"}));
  EXPECT_EQ(ConfigAddSection(s.h, nullptr), 1);
}

TEST(IniEdit, DelSectionTakesCommentsAboveNextHeader) {
  Store s(open_text("top\n[ a ]\nk = 1\n# about b\n[ b ]\nj = 2\n[ a ]\nk = 3\n", 1));
  ASSERT_EQ(ConfigDelSection(s.h, "a"), 0);
  EXPECT_EQ(list_of(s.h), make_list({"top", "[ b ]", "j = 2", "[ a ]", "k = 3"}));
  ASSERT_EQ(ConfigDelSection(s.h, "a"), 0);
  EXPECT_EQ(list_of(s.h), make_list({"top", "[ b ]", "j = 2"}));
  ASSERT_EQ(ConfigDelSection(s.h, "b"), 0);
  EXPECT_EQ(list_of(s.h), make_list({"top"}));
}

TEST(IniEdit, DelKeyRemovesFirstMatch) {
  Store s(open_text("[ a ]\n# k = 0\nK = 1\nk = 2\n", 1));
  ASSERT_EQ(ConfigDelKey(s.h, "a", "k"), 0);
  EXPECT_EQ(list_of(s.h), make_list({"[ a ]", "# k = 0", "k = 2"}));
  EXPECT_EQ(ConfigDelKey(s.h, "x", "k"), 1);
  ASSERT_EQ(ConfigDelKey(s.h, "a", "k"), 0);
  ASSERT_EQ(ConfigDelSection(s.h, "a"), 0);
  EXPECT_EQ(list_of(s.h), make_list({}));
  EXPECT_EQ(ConfigGetSize(s.h), 1);
}

TEST(IniEdit, ReadOnlyRefusesEveryEdit) {
  Store s(open_text("[ a ]\nk = 1\n", 0));
  std::string list = make_list({"[ a ]", "k = 1"});
  Store m(ConfigOpenMem(list.data(), static_cast<int32_t>(list.size())));
  for (ConfigHandle* h : {s.h, m.h, static_cast<ConfigHandle*>(nullptr)}) {
    EXPECT_EQ(ConfigPrintf(h, "a", "k", "%d", 2), 5);
    EXPECT_EQ(ConfigWriteStr(h, "a", "k", "x"), 5);
    EXPECT_EQ(ConfigWriteStrWoQuotes(h, "a", "k", "x"), 5);
    EXPECT_EQ(ConfigWriteInt(h, "a", "k", 1), 5);
    EXPECT_EQ(ConfigAddSection(h, "b"), 5);
    EXPECT_EQ(ConfigDelSection(h, "a"), 5);
    EXPECT_EQ(ConfigDelKey(h, "a", "k"), 5);
    EXPECT_EQ(ConfigCommit(h), 5);
  }
  EXPECT_EQ(list_of(s.h), list);
  EXPECT_EQ(list_of(m.h), list);
}

// --- memory stores -----------------------------------------------------------

TEST(IniMemory, BorrowsTheCallersList) {
  std::string list = make_list({"[ a ]", "k = 'v'"});
  ConfigHandle* h = ConfigOpenMem(list.data(), static_cast<int32_t>(list.size()));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ConfigGetBuffer(h), list.data());
  EXPECT_EQ(ConfigGetSize(h), static_cast<int32_t>(list.size()));
  EXPECT_EQ(ConfigGetFilename(h), nullptr);
  EXPECT_EQ(h->writable, 0);
  EXPECT_EQ(h->borrowed, 1);
  int rc;
  EXPECT_EQ(get_str(h, "a", "k", &rc), "v");
  EXPECT_EQ(ConfigClose(h), 0);  // ASan: the caller's buffer is not freed
  EXPECT_EQ(list, make_list({"[ a ]", "k = 'v'"}));
}

TEST(IniMemory, RejectsAListNotClosedInsideTheBuffer) {
  struct {
    std::string bytes;
    bool ok;
    int32_t size;  // the store's size when ok
  } cases[] = {
      {std::string("\0", 1), true, 1},         {std::string("a\0\0", 3), true, 3},
      {std::string("a\0\0b\0\0", 6), true, 3},  // the list ends at its first empty string
      {std::string("a\0", 2), false, 0},       {std::string("a", 1), false, 0},
      {std::string("ab\0c", 4), false, 0},
  };
  for (const auto& c : cases) {
    ConfigHandle* h = ConfigOpenMem(c.bytes.data(), static_cast<int32_t>(c.bytes.size()));
    EXPECT_EQ(h != nullptr, c.ok) << testing::PrintToString(c.bytes);
    if (h != nullptr) {
      EXPECT_EQ(ConfigGetSize(h), c.size);
    }
    ConfigClose(h);
  }
  ConfigHandle* empty = ConfigOpenMem(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(ConfigGetSize(empty), 0);
  EXPECT_EQ(ConfigSearchSection(empty, nullptr), nullptr);
  int rc;
  get_str(empty, nullptr, "k", &rc);
  EXPECT_EQ(rc, 1);
  ConfigClose(empty);
}

// --- section iteration -------------------------------------------------------

TEST(IniSearch, PrefixWalksNumberedSections) {
  Store s(open_text(
      "[ common ]\nx = 1\n[ stream_1 ]\n# [ stream_9 ]\n[ Stream_2 ]\n[ mystream_3 ]\n", 1));
  EXPECT_STREQ(ConfigSearchSection(s.h, "stream_"), "1 ]");
  EXPECT_STREQ(ConfigSearchSection(s.h, "stream_"), "2 ]");
  EXPECT_EQ(ConfigSearchSection(s.h, "stream_"), nullptr);
  EXPECT_EQ(ConfigSearchSection(s.h, "stream_"), nullptr);
  EXPECT_EQ(ConfigSearchSection(s.h, nullptr), nullptr);  // the cursor stays at the end
  EXPECT_EQ(ConfigSearchRewind(s.h), ConfigGetBuffer(s.h));
  EXPECT_STREQ(ConfigSearchSection(s.h, nullptr), "[ common ]");
  EXPECT_STREQ(ConfigSearchSection(s.h, nullptr), "[ stream_1 ]");
  // Any edit starts the search again.
  ASSERT_EQ(ConfigWriteInt(s.h, "common", "y", 2), 0);
  EXPECT_STREQ(ConfigSearchSection(s.h, nullptr), "[ common ]");
  ASSERT_EQ(ConfigDelSection(s.h, "common"), 0);
  EXPECT_STREQ(ConfigSearchSection(s.h, "STREAM_"), "1 ]");
}

TEST(IniSearch, PrefixAtLineStartAndEmptyStore) {
  std::string list = make_list({"[x]", "[x"});
  Store s(ConfigOpenMem(list.data(), static_cast<int32_t>(list.size())));
  EXPECT_STREQ(ConfigSearchSection(s.h, "[x"), "]");
  EXPECT_STREQ(ConfigSearchSection(s.h, "[x"), "");
  EXPECT_EQ(ConfigSearchSection(s.h, "[x"), nullptr);
  Store e(open_text("", 0));
  EXPECT_EQ(ConfigSearchRewind(e.h), nullptr);
  EXPECT_EQ(ConfigSearchSection(e.h, "x"), nullptr);
}

// --- result texts --------------------------------------------------------------

TEST(IniError, TextsOfEveryCode) {
  struct {
    int code;
    const char* text;
  } cases[] = {{0, "OK"},
               {1, "Section is not found"},
               {2, "Key is not found"},
               {3, "No memory"},
               {4, "File error"},
               {5, "Config is readonly"},
               {-1, "Commit failed"},
               {6, "Unknown error"},
               {-2, "Unknown error"},
               {INT_MIN, "Unknown error"},
               {INT_MAX, "Unknown error"}};
  for (const auto& c : cases) EXPECT_STREQ(ConfigError(c.code), c.text) << c.code;
}

TEST(IniClose, NullHandle) { EXPECT_EQ(ConfigClose(nullptr), 0); }

}  // namespace
