#include "rt/ketrel_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include <cstring>
#include <string>
#include <vector>
#include "rt/ketrel_string_table.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

TEST(Memory, LeakScopeNamesEachLiveBlockAndOnlyThose) {
  void* before = KT_ALLOCATE(8);
  LeakScope scope = OpenLeakScope();
  void* kept = KT_ALLOCATE(24);
  void* freed = KT_ALLOCATE(40);
  FreeBlock(freed);
  test::LogCapture log;
  EXPECT_EQ(CloseLeakScope(scope), 1u);
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_NE(log.messages()[0].text.find("Unfreed block\n"), std::string::npos);
  EXPECT_NE(log.messages()[0].text.find("(24 bytes at 0x"), std::string::npos);
  EXPECT_NE(log.messages()[0].text.find("test_ketrel_memory.cpp"), std::string::npos);
  FreeBlock(kept);
  FreeBlock(before);
}

TEST(Memory, FailuresAreLoggedAndNull) {
  test::LogCapture log;
  EXPECT_EQ(KT_ALLOCATE(std::numeric_limits<size_t>::max() - 4), nullptr);
  EXPECT_EQ(KT_ALLOCATE_ARRAY(uint64_t, std::numeric_limits<size_t>::max() / 4), nullptr);
  SetAllocationFailureCountdown(1);
  void* first = KT_ALLOCATE(4);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(KT_ALLOCATE(4), nullptr);
  EXPECT_TRUE(log.Contains("Unable to allocate"));
  EXPECT_EQ(log.errors(), 3u);
  void* after = KT_ALLOCATE(4);  // the hook fires once
  EXPECT_NE(after, nullptr);
  FreeBlock(first);
  FreeBlock(after);
  FreeBlock(nullptr);
}

TEST(Arena, PiecesAreAlignedZeroedAndFreedTogether) {
  size_t live = LiveBlockCount();
  Arena* arena = NewArena(256);
  ASSERT_NE(arena, nullptr);
  for (int i = 0; i < 100; ++i) {
    size_t alignment = size_t(1) << (i % 5);
    auto* p = static_cast<unsigned char*>(KT_ARENA_ALLOCATE(arena, 1 + i * 7, alignment));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u);
    for (int j = 0; j < 1 + i * 7; ++j) ASSERT_EQ(p[j], 0);
    p[0] = 0xff;
  }
  void* big = KT_ARENA_ALLOCATE(arena, 100000, 16);
  EXPECT_NE(big, nullptr);
  void* small = KT_ARENA_ALLOCATE(arena, 4, 4);
  EXPECT_NE(small, nullptr);
  {
    test::LogCapture log;
    EXPECT_EQ(KT_ARENA_ALLOCATE(arena, 4, 3), nullptr);
    EXPECT_TRUE(log.Contains("Parameter check failed"));
  }
  FreeArena(arena);
  FreeArena(nullptr);
  EXPECT_EQ(LiveBlockCount(), live);
}

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
