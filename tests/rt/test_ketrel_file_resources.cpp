// Running out of memory anywhere in building, converting or reading a file
// fails cleanly (no crash, nothing leaked, failure reported), and the pointer
// map the converter relies on keeps its order.
#include <gtest/gtest.h>

#include <vector>

#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_pointer_hash.h"
#include "tests/rt/test_ketrel_file_graph.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

TEST(FileResources, EveryAllocationFailureWhileBuildingIsReported) {
  std::vector<unsigned char> good = test::BuildRichFile(Platform32Big);
  ASSERT_FALSE(good.empty());
  test::LogCapture log;
  bool succeeded = false;
  for (long countdown = 0; countdown < 5000 && !succeeded; ++countdown) {
    size_t live = LiveBlockCount();
    SetAllocationFailureCountdown(countdown);
    std::vector<unsigned char> bytes = test::BuildRichFile(Platform32Big);
    SetAllocationFailureCountdown(-1);
    EXPECT_EQ(LiveBlockCount(), live) << "after failing allocation " << countdown;
    succeeded = !bytes.empty();
    if (succeeded) {
      EXPECT_EQ(bytes, good);
    }
  }
  EXPECT_TRUE(succeeded);
}

TEST(FileResources, EveryAllocationFailureWhileReadingIsReported) {
  std::vector<unsigned char> bytes = test::BuildRichFile(Platform64Big);
  ASSERT_FALSE(bytes.empty());
  test::LogCapture log;
  ketrel_file* file = nullptr;
  for (long countdown = 0; countdown < 5000 && file == nullptr; ++countdown) {
    size_t live = LiveBlockCount();
    SetAllocationFailureCountdown(countdown);
    file = ReadEntireFileFromMemory(bytes.data(), bytes.size());
    SetAllocationFailureCountdown(-1);
    if (file == nullptr) {
      EXPECT_EQ(LiveBlockCount(), live) << "after failing allocation " << countdown;
    }
  }
  ASSERT_NE(file, nullptr);
  test::RichGraph graph;
  EXPECT_EQ(test::CompareGraphs(FileInfoType, graph.Root(), file->RootType, file->RootObject), "");
  FreeFile(file);
}

TEST(PointerHash, AddsFindsReplacesAndIteratesInOrder) {
  pointer_hash* hash = NewPointerHash();
  ASSERT_NE(hash, nullptr);
  // More than one node block, inserted in a scrambled order.
  const uint64_t count = 3000;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t key = (i * 7919) % count * 16;
    EXPECT_TRUE(AddPointerToHash(hash, key, key + 1));
  }
  EXPECT_FALSE(AddPointerToHash(hash, 16, 0));  // already there
  EXPECT_TRUE(SetHashedPointerData(hash, 16, 99));
  EXPECT_TRUE(SetHashedPointerData(hash, 5, 6));  // new
  uint64_t datum = 1;
  EXPECT_TRUE(GetHashedPointerData(hash, 16, &datum));
  EXPECT_EQ(datum, 99u);
  EXPECT_FALSE(GetHashedPointerData(hash, 17, &datum));
  EXPECT_EQ(datum, 0u);
  EXPECT_EQ(GetPointerHashCount(hash), count + 1);
  uint64_t previous = 0, seen = 0;
  for (pointer_hash_iterator it = FirstHashedPointer(hash); IsValidHashedPointer(it);
       it = NextHashedPointer(hash, it), ++seen) {
    if (seen > 0) {
      EXPECT_GT(it.Key, previous);
    }
    previous = it.Key;
  }
  EXPECT_EQ(seen, count + 1);
  DeletePointerHash(hash);

  test::LogCapture log;
  hash = NewPointerHash();
  SetAllocationFailureCountdown(0);
  EXPECT_FALSE(AddPointerToHash(hash, 1, 1));
  SetAllocationFailureCountdown(-1);
  EXPECT_TRUE(log.Contains("Out of space in pointer hash table"));
  DeletePointerHash(hash);
}

}  // namespace
}  // namespace ketrel
