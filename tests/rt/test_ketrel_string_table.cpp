#include "rt/ketrel_string_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

TEST(StringTable, EqualTextsShareOnePointer) {
  string_table* table = NewStringTable();
  ASSERT_NE(table, nullptr);
  char buffer[] = "Name";
  const char* a = MapString(table, "Name");
  const char* b = MapString(table, buffer);
  const char* lower = MapString(table, "name");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, buffer);
  EXPECT_NE(a, lower);
  EXPECT_STREQ(lower, "name");
  EXPECT_NE(MapString(table, "Nam"), a);  // a prefix is a text of its own
  EXPECT_EQ(MapString(table, ""), MapString(table, ""));
  EXPECT_EQ(StringTableCount(table), 4);
  FreeStringTable(table);
}

TEST(StringTable, ManyTextsStayDistinctAndStable) {
  string_table* table = NewStringTable();
  std::vector<const char*> first;
  for (int i = 0; i < 3000; ++i)
    first.push_back(MapString(table, std::to_string(i * 7919 % 3001).c_str()));
  for (int i = 0; i < 3000; ++i) {
    const std::string text = std::to_string(i * 7919 % 3001);
    ASSERT_STREQ(first[i], text.c_str());
    ASSERT_EQ(MapString(table, text.c_str()), first[i]);
  }
  EXPECT_EQ(StringTableCount(table), 3000);
  FreeStringTable(table);
}

TEST(StringTable, LongTextsGetTheirOwnBlock) {
  string_table* table = NewStringTable();
  const char* before = MapString(table, "short");
  const std::string big(5000, 'x');
  const char* bigCopy = MapString(table, big.c_str());
  const char* after = MapString(table, "after");
  EXPECT_EQ(std::strlen(bigCopy), 5000u);
  // The block in use before the long text keeps taking short ones.
  EXPECT_EQ(after, before + 6);
  // Exactly a block's length plus its terminator does not fit a standard block.
  const std::string exact(4000, 'y');
  const char* exactCopy = MapString(table, exact.c_str());
  ASSERT_NE(exactCopy, nullptr);
  EXPECT_EQ(std::string(exactCopy), exact);
  EXPECT_EQ(MapString(table, "next"), after + 6);
  FreeStringTable(table);
}

TEST(StringTable, ArenaBlocksOutliveTheTable) {
  Arena* arena = NewArena();
  string_table* table = NewArenaStringTable(ArenaAllocator(arena));
  const char* text = MapString(table, "kept");
  FreeStringTable(table);
  EXPECT_STREQ(text, "kept");
  FreeArena(arena);
}

TEST(StringTable, FailuresAreReportedNotCrashes) {
  test::LogCapture log;
  EXPECT_EQ(MapString(nullptr, "x"), nullptr);
  string_table* table = NewStringTable();
  EXPECT_EQ(MapString(table, nullptr), nullptr);
  SetAllocationFailureCountdown(0);
  EXPECT_EQ(MapString(table, "lost"), nullptr);
  SetAllocationFailureCountdown(1);  // node pool succeeds, text block fails
  EXPECT_EQ(MapString(table, "lost"), nullptr);
  SetAllocationFailureCountdown(-1);
  EXPECT_STREQ(MapString(table, "lost"), "lost");
  EXPECT_EQ(StringTableCount(table), 1);
  FreeStringTable(table);
  EXPECT_GE(log.errors(), 4u);
}

}  // namespace
}  // namespace ketrel
