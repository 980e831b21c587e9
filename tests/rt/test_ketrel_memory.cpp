#include "rt/ketrel_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

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

}  // namespace
}  // namespace ketrel
