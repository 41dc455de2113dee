// The exported building blocks of the line list.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "lib/inistore/ini_store.h"
#include "lib/inistore/ini_test_util.h"

using initest::list_of;
using initest::make_list;

namespace {

TEST(IniStripTail, ReturnsPastTheNewNul) {
  struct {
    std::string in;
    std::string out;
    size_t ret;  // offset of the result from the string
  } cases[] = {
      {"abc", "abc", 4}, {"abc  \t\r", "abc", 4}, {"a b\xff\x80 ", "a b", 4}, {"   ", "", 0},
      {"", "", 0},       {"\xe9", "", 0},         {" x\x01", " x", 3},
  };
  for (const auto& c : cases) {
    std::string buf = c.in + '\0' + "tail";
    char* s = buf.data();
    char* r = stripTail(s);
    EXPECT_EQ(std::string(s), c.out) << testing::PrintToString(c.in);
    EXPECT_EQ(static_cast<size_t>(r - s), c.ret) << testing::PrintToString(c.in);
  }
}

TEST(IniNextString, SkipsPastNul) {
  std::string list = make_list({"ab", "c"});
  EXPECT_STREQ(nextString(list.data()), "c");
  const char* p = list.c_str();
  EXPECT_EQ(nextString(nextString(p)), p + 5);
}

TEST(IniLineKinds, CommentAndSection) {
  struct {
    const char* line;
    int comment;
    int section;
  } cases[] = {
      {"# x", 1, 0},        {"  ; x", 1, 0}, {"\t/ x", 1, 0}, {"// [ s ]", 1, 0}, {"[ s ]", 0, 1},
      {" \xe9[ s ]", 0, 1}, {"k = [", 0, 0}, {"k = #", 0, 0}, {"", 0, 0},         {"   ", 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_comment(c.line), c.comment) << c.line;
    EXPECT_EQ(is_section(c.line), c.section) << c.line;
  }
}

TEST(IniFind, SectionAndKeyAddresses) {
  std::string list = make_list({"top = 0", "[ a ]", "k = 1", "j", "[ b ]", "k = 2"});
  char* lines = list.data();
  EXPECT_EQ(find_section(lines, nullptr), lines);
  char* a = find_section(lines, "a");
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a, "k = 1");
  EXPECT_EQ(find_section(lines, "c"), nullptr);
  EXPECT_EQ(find_section(nullptr, "a"), nullptr);
  char* v = find_key(a, "k");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v, a + 4);
  char* j = find_key(a, "j");
  ASSERT_NE(j, nullptr);
  EXPECT_EQ(*j, '\0');  // empty value: the line's NUL
  EXPECT_EQ(find_key(a, "x"), nullptr);
  EXPECT_EQ(find_key(lines, "k"), nullptr);  // stops at the header
  EXPECT_STREQ(find_key(find_section(lines, "b"), "k"), "2");
  // The section of the last header starts at the closing NUL.
  std::string tail = make_list({"[ z ]"});
  char* z = find_section(tail.data(), "z");
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(*z, '\0');
  EXPECT_EQ(find_key(z, "k"), nullptr);
}

TEST(IniEditors, InsertReplaceDeleteByAddress) {
  std::string path = initest::fresh_dir() + "/e.ini";
  initest::write_file(path, "[ a ]\nk = 1\n");
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_NE(h, nullptr);
  char* k = find_key(find_section(h->lines, "a"), "k");
  // An address inside a line means that line.
  ASSERT_EQ(addLine(h, k, "%s", "x = 0"), 0);
  EXPECT_EQ(list_of(h), make_list({"[ a ]", "x = 0", "k = 1"}));
  EXPECT_EQ(h->search, h->lines);
  EXPECT_EQ(h->modified, 1);
  // Before the closing NUL: append.
  ASSERT_EQ(addLine(h, h->lines + h->size - 1, "end"), 0);
  EXPECT_EQ(list_of(h), make_list({"[ a ]", "x = 0", "k = 1", "end"}));
  ASSERT_EQ(replaceLine(h, find_key(h->lines + 6, "k"), "k = %d", 2), 0);
  EXPECT_EQ(list_of(h), make_list({"[ a ]", "x = 0", "k = 2", "end"}));
  ASSERT_EQ(delLine(h, h->lines + 2), 0);
  EXPECT_EQ(list_of(h), make_list({"x = 0", "k = 2", "end"}));
  // Addresses outside the list, or the closing NUL for replace/delete.
  std::string before = list_of(h);
  char outside[4] = "x";
  EXPECT_EQ(addLine(h, outside, "y"), 3);
  EXPECT_EQ(replaceLine(h, h->lines + h->size - 1, "y"), 3);
  EXPECT_EQ(delLine(h, h->lines + h->size - 1), 3);
  EXPECT_EQ(delLine(h, h->lines + h->size), 3);
  EXPECT_EQ(delLine(h, nullptr), 3);
  // An empty text changes nothing.
  EXPECT_EQ(addLine(h, h->lines, "%s", ""), 0);
  EXPECT_EQ(replaceLine(h, h->lines, "\nfoo"), 0);
  EXPECT_EQ(list_of(h), before);
  h->modified = 0;
  ConfigClose(h);
}

TEST(IniEditors, EmptyStoreGetsItsFirstLine) {
  std::string path = initest::fresh_dir() + "/e.ini";
  ConfigHandle* h = ConfigOpen(path.c_str(), 1);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(addLine(h, nullptr, "[ %s ]", "s"), 0);
  EXPECT_EQ(list_of(h), make_list({"[ s ]"}));
  EXPECT_EQ(ConfigClose(h), 0);
  EXPECT_EQ(initest::read_file(path), "[ s ]\n\n");
}

TEST(IniEditors, BorrowedListIsCopiedNotFreed) {
  std::string list = make_list({"[ a ]", "k = 1"});
  ConfigHandle* h = ConfigOpenMem(list.data(), static_cast<int32_t>(list.size()));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(delLine(h, h->lines + 6), 0);
  EXPECT_EQ(h->borrowed, 0);
  EXPECT_EQ(list_of(h), make_list({"[ a ]"}));
  EXPECT_EQ(list, make_list({"[ a ]", "k = 1"}));
  EXPECT_EQ(ConfigClose(h), 5);  // modified, but a memory store is never written
}

}  // namespace
