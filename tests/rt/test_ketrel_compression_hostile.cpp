// Decoders against truncated, corrupted and crafted stored data: they must
// fail cleanly (or, where the damage is invisible, reproduce the original),
// never write outside the expanded range and never read outside the input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_tessik.h"
#include "tests/rt/test_ketrel_compression_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using test::Bytes;

constexpr size_t kGuard = 64;

struct Sample {
  uint32_t type;
  Bytes data;
  Bytes stored;
  uint32_t stop0, stop1;
};

Sample MakeSample(uint32_t type, size_t size, uint32_t seed) {
  Sample s{type, test::SectionLikeBytes(size, seed), {}, 0, 0};
  s.stop0 = static_cast<uint32_t>(size / 3) & ~3u;
  s.stop1 = static_cast<uint32_t>(2 * size / 3) & ~3u;
  std::vector<Bytes> streams;
  if (GetCompressionStreamCount(type) == 3) {
    streams = {Bytes(s.data.begin(), s.data.begin() + s.stop0),
               Bytes(s.data.begin() + s.stop0, s.data.begin() + s.stop1),
               Bytes(s.data.begin() + s.stop1, s.data.end())};
  } else {
    streams = {s.data};
  }
  EXPECT_TRUE(test::CompressStreams(type, streams, false, &s.stored));
  return s;
}

// Decodes `stored` (exactly its bytes, in a buffer of its own so ASan sees
// any read past it) into a guarded output. Returns whether it succeeded and
// checks that nothing outside the expanded range was written.
bool DecodeGuarded(const Sample& s, const Bytes& stored, Bytes* expanded) {
  std::unique_ptr<uint8_t[]> input(new uint8_t[stored.size() + 1]);
  if (!stored.empty()) std::memcpy(input.get(), stored.data(), stored.size());
  Bytes out(s.data.size() + 2 * kGuard, 0xEE);
  bool ok = DecompressData(s.type, false, static_cast<uint32_t>(stored.size()), input.get(),
                           s.stop0, s.stop1, static_cast<uint32_t>(s.data.size()),
                           out.data() + kGuard);
  for (size_t i = 0; i < kGuard; ++i) {
    EXPECT_EQ(out[i], 0xEE);
    EXPECT_EQ(out[out.size() - 1 - i], 0xEE);
  }
  expanded->assign(out.begin() + kGuard, out.end() - kGuard);
  return ok;
}

TEST(CompressionHostile, EveryTruncationFailsOrReproducesTheData) {
  MuteLogOrigin(LogOrigin::Compression, true);
  for (uint32_t type : {0u, 2u, 3u, 4u}) {
    Sample s = MakeSample(type, 2500, type);
    for (size_t length = 0; length < s.stored.size(); ++length) {
      Bytes truncated(s.stored.begin(), s.stored.begin() + length);
      Bytes expanded;
      bool ok = DecodeGuarded(s, truncated, &expanded);
      EXPECT_FALSE(ok) << "type " << type << " length " << length;
    }
  }
  MuteLogOrigin(LogOrigin::Compression, false);
}

TEST(CompressionHostile, RandomCorruptionNeverEscapesTheBuffers) {
  MuteLogOrigin(LogOrigin::Compression, true);
  std::mt19937 random(77);
  for (uint32_t type : {2u, 3u, 4u}) {
    Sample s = MakeSample(type, 8000, 10 + type);
    int failures = 0;
    for (int round = 0; round < 300; ++round) {
      Bytes damaged = s.stored;
      int flips = 1 + static_cast<int>(random() % 4);
      for (int i = 0; i < flips; ++i) {
        damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1 + random() % 255);
      }
      Bytes expanded;
      failures += DecodeGuarded(s, damaged, &expanded) ? 0 : 1;
    }
    // Neither format has a checksum (the file has one), but most damage to a
    // Tessik stream breaks one of its checks. An arithmetic-coded stream
    // decodes almost any bytes.
    if (type != kLorpa1Compression) {
      EXPECT_GT(failures, 150) << "type " << type;
    }
  }
  MuteLogOrigin(LogOrigin::Compression, false);
}

TEST(CompressionHostile, IncrementalDecoderSurvivesCorruption) {
  MuteLogOrigin(LogOrigin::Compression, true);
  std::mt19937 random(3);
  Sample s = MakeSample(kTessik2Compression, 150000, 5);
  for (int round = 0; round < 200; ++round) {
    Bytes damaged = s.stored;
    damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1 + random() % 255);
    if (round % 2) damaged.resize(random() % damaged.size());
    Bytes out(s.data.size() + 2 * kGuard, 0xEE);
    file_decompressor* d = BeginFileDecompression(
        kTessik2Compression, static_cast<uint32_t>(s.data.size()), out.data() + kGuard);
    ASSERT_NE(d, nullptr);
    size_t chunk = 1 + random() % 5000;
    for (size_t at = 0; at < damaged.size(); at += chunk) {
      uint32_t n = static_cast<uint32_t>(std::min(chunk, damaged.size() - at));
      if (!DecompressFileChunk(d, n, damaged.data() + at)) break;
    }
    bool ok = EndFileDecompression(d);
    if (round % 2 && damaged.size() < s.stored.size()) {
      EXPECT_FALSE(ok);
    }
    for (size_t i = 0; i < kGuard; ++i) {
      ASSERT_EQ(out[i], 0xEE);
      ASSERT_EQ(out[out.size() - 1 - i], 0xEE);
    }
  }
  MuteLogOrigin(LogOrigin::Compression, false);
}

TEST(CompressionHostile, CraftedHeadersAndOffsetsAreRejected) {
  test::LogCapture log;
  Sample lorpa = MakeSample(kLorpa1Compression, 3000, 1);
  Bytes expanded(3000);
  // Stops out of order or past the expanded size.
  EXPECT_FALSE(DecompressData(kLorpa1Compression, false, static_cast<uint32_t>(lorpa.stored.size()),
                              lorpa.stored.data(), 2000, 1000, 3000, expanded.data()));
  EXPECT_FALSE(DecompressData(kTessikCompression, false, 64, lorpa.stored.data(), 0, 4000, 3000,
                              expanded.data()));
  EXPECT_TRUE(log.Contains("not ordered"));
  // Model sizes beyond what the coder allows: alphabet, increment, limit.
  const std::vector<std::pair<size_t, uint32_t>> bad = {
      {0, 257}, {0, 0xFFFFFFFFu}, {1, 0}, {1, 4097}, {2, 0x40000}, {2, 10}, {2, 0xFFFFFFFFu}};
  for (auto [word, value] : bad) {
    Bytes crafted = lorpa.stored;
    std::memcpy(crafted.data() + 4 * word, &value, 4);
    log.Clear();
    EXPECT_FALSE(DecompressData(kLorpa1Compression, false, static_cast<uint32_t>(crafted.size()),
                                crafted.data(), lorpa.stop0, lorpa.stop1, 3000, expanded.data()))
        << word << " " << value;
    EXPECT_TRUE(log.Contains("invalid model header"));
  }
  Bytes crafted = lorpa.stored;
  std::memset(crafted.data(), 0, 4);  // alphabet 0 for a stream that has bytes
  EXPECT_FALSE(DecompressData(kLorpa1Compression, false, static_cast<uint32_t>(crafted.size()),
                              crafted.data(), lorpa.stop0, lorpa.stop1, 3000, expanded.data()));
  // A Tessik stream that announces another size than the section's part.
  Sample tessik = MakeSample(kTessik2Compression, 3000, 2);
  EXPECT_FALSE(DecompressDataChunk(kTessik2Compression, false,
                                   static_cast<uint32_t>(tessik.stored.size()),
                                   tessik.stored.data(), 2999, expanded.data()));
  // Data after the stream that is not zero padding.
  Bytes longer = tessik.stored;
  longer.push_back(9);
  EXPECT_FALSE(DecompressDataChunk(kTessik2Compression, false,
                                   static_cast<uint32_t>(longer.size()), longer.data(), 3000,
                                   expanded.data()));
  // A type 0 section shorter than it expands to.
  EXPECT_FALSE(DecompressData(kNoCompression, false, 100, expanded.data(), 0, 0, 3000,
                              expanded.data() + 100));
}

}  // namespace
}  // namespace ketrel
