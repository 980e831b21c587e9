// CRC-32 of large buffers (folded by a multiple of the polynomial before the
// table look-ups) against the bit-by-bit definition: every length where the
// folding starts and its runs end, lengths around block sizes, unaligned
// starts, resumed states, and calls split anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "rt/ketrel_crc.h"

namespace ketrel {
namespace {

std::vector<unsigned char> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(size);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

// The running state after every prefix of `bytes` (entry n: after n bytes),
// one bit at a time as the polynomial defines it.
std::vector<uint32_t> ReferenceStates(uint32_t state, const unsigned char* bytes, size_t size) {
  std::vector<uint32_t> states{state};
  states.reserve(size + 1);
  for (size_t i = 0; i < size; ++i) {
    state ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) state = (state & 1) ? (state >> 1) ^ 0xEDB88320u : state >> 1;
    states.push_back(state);
  }
  return states;
}

// Lengths a few bytes either side of every multiple of 4 KiB up to `limit`.
std::vector<size_t> LengthsAroundBlocks(size_t limit) {
  std::vector<size_t> lengths;
  for (size_t block = 4096; block <= limit; block += 4096)
    for (size_t length = block - 9; length <= block + 9 && length <= limit; ++length)
      lengths.push_back(length);
  return lengths;
}

TEST(Crc32, LargeBuffersMatchTheDefinitionAtEveryStartAndLength) {
  constexpr size_t kSize = 136 * 1024 + 9;
  constexpr size_t kEveryLengthUpTo = 12000;
  const std::vector<unsigned char> bytes = RandomBytes(kSize + 8, 1);
  const uint32_t initials[] = {kCrc32Initial, 0u, 0x9E3779B9u};
  for (size_t start = 0; start < 8; ++start) {
    const uint32_t initial = initials[start % 3];
    const std::vector<uint32_t> expected = ReferenceStates(initial, bytes.data() + start, kSize);
    std::vector<size_t> lengths = LengthsAroundBlocks(kSize);
    // Every length up to a few thousand words, each start taking its turn.
    for (size_t length = start; length <= kEveryLengthUpTo; length += 8) lengths.push_back(length);
    for (size_t length : lengths)
      ASSERT_EQ(UpdateCrc32(initial, bytes.data() + start, length), expected[length])
          << "start " << start << ", length " << length << ", initial " << initial;
  }
}

TEST(Crc32, CallsSplitAnywhereGiveTheSameStateAsOne) {
  constexpr size_t kSize = 100 * 1000 + 7;
  const std::vector<unsigned char> bytes = RandomBytes(kSize, 2);
  const unsigned char* p = bytes.data();
  const uint32_t whole = UpdateCrc32(kCrc32Initial, p, kSize);
  EXPECT_EQ(whole, ReferenceStates(kCrc32Initial, p, kSize).back());

  std::vector<size_t> splits = LengthsAroundBlocks(kSize);
  std::mt19937 random(3);
  for (int i = 0; i < 200; ++i) splits.push_back(random() % (kSize + 1));
  for (size_t split : splits) {
    const uint32_t first = UpdateCrc32(kCrc32Initial, p, split);
    ASSERT_EQ(UpdateCrc32(first, p + split, kSize - split), whole) << "split at " << split;
  }
  // Many pieces of uneven sizes, some of them empty.
  uint32_t state = kCrc32Initial;
  for (size_t at = 0, piece = 0; at < kSize; at += piece) {
    piece = std::min<size_t>(random() % 40000, kSize - at);
    state = UpdateCrc32(state, p + at, piece);
  }
  EXPECT_EQ(state, whole);
}

}  // namespace
}  // namespace ketrel
