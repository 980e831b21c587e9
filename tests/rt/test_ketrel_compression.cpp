#include "rt/ketrel_compression.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

#include <random>
#include "rt/ketrel_log.h"
#include "rt/ketrel_lorpa.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_tessik.h"
#include "tests/rt/test_ketrel_compression_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using test::Bytes;
using test::CompressStreams;

// Every level (fast tables or hash chains, greedy or lazy) decodes with the
// one decoder, and a buffer smaller than the stream is refused rather than
// overrun.
TEST(Compression, TessikLevelsRoundTrip) {
  Bytes data = test::SectionLikeBytes(300000, 21);
  for (int level : {0, 1, 2, 3, 12, 24, 47}) {
    SCOPED_TRACE(level);
    Bytes work(TessikWorkMemorySize(level, data.size()));
    Bytes stream(TessikBound(data.size()));
    size_t stored =
        TessikCompress(level, data.data(), data.size(), stream.data(), stream.size(), work.data());
    ASSERT_NE(stored, 0u);
    EXPECT_LT(stored, data.size() / 2);
    Bytes expanded(data.size());
    size_t consumed = 0;
    ASSERT_TRUE(
        TessikDecompress(stream.data(), stored, expanded.data(), expanded.size(), &consumed));
    EXPECT_EQ(consumed, stored);
    EXPECT_TRUE(expanded == data);
    EXPECT_EQ(
        TessikCompress(level, data.data(), data.size(), stream.data(), stored - 1, work.data()),
        0u);
  }
  EXPECT_EQ(TessikWorkMemorySize(48, 100), 0u);
  EXPECT_LE(TessikWorkMemorySize(kTessikFileLevel, size_t{1} << 30), 4u * 8388608u + 421695u);
}

// Literals of a geometric spread (each rarer value half as common) get a
// code that meets the length limit with gaps left in the code space; an even
// spread of 64 values gets a complete one. The decoder has a loop for each,
// and both end in a tail for the literals a whole group of look-ups misses.
TEST(Compression, TessikLiteralCodesRoundTrip) {
  uint32_t seed = 7;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed;
  };
  for (bool geometric : {true, false}) {
    for (size_t size : {4099, 70001, 300003}) {
      SCOPED_TRACE(testing::Message() << geometric << " " << size);
      Bytes data(size);
      for (uint8_t& b : data) {
        uint32_t r = next();
        b = geometric
                ? static_cast<uint8_t>(std::countr_zero((r >> 12) | 0x80000u) * 12 + (r >> 30))
                : static_cast<uint8_t>(r >> 26);
      }
      Bytes work(TessikWorkMemorySize(kTessikFileLevel, size));
      Bytes stream(TessikBound(size));
      size_t stored = TessikCompress(kTessikFileLevel, data.data(), size, stream.data(),
                                     stream.size(), work.data());
      ASSERT_NE(stored, 0u);
      EXPECT_LT(stored, size * 7 / 8);  // Huffman-coded, not stored raw
      Bytes expanded(size);
      size_t consumed = 0;
      ASSERT_TRUE(TessikDecompress(stream.data(), stored, expanded.data(), size, &consumed));
      EXPECT_TRUE(expanded == data);
    }
  }
}

// Random literal runs and matches at every length and offset boundary the
// decoder treats apart: code boundaries of both lengths, offsets below 8
// and 16 (copied from a nearer multiple), runs and matches over 32 bytes
// (copied in loops), matches far back and across a block's end, a sequence
// too long for one load (both length fields and the offset's bits), streams
// that end with each kind of match (the last 32 bytes of the output are
// copied without slack). Decoded in one piece and in pieces of 1000 bytes.
TEST(Compression, TessikSequenceBoundariesRoundTrip) {
  uint32_t seed = 11;
  auto literals = [&](Bytes& data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      seed = seed * 1664525u + 1013904223u;
      data.push_back(static_cast<uint8_t>(seed >> 24));
    }
  };
  auto match = [](Bytes& data, size_t offset, size_t length) {
    for (size_t i = 0; i < length; ++i) data.push_back(data[data.size() - offset]);
  };
  const size_t offsets[] = {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 1000, 65536, 65537};
  const size_t lengths[] = {4, 5, 11, 12, 13, 19, 20, 21, 35, 36, 37, 100, 1027, 1028, 1029};
  const size_t runs[] = {1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 1023, 1024, 1025};
  std::vector<Bytes> inputs;
  Bytes all;
  literals(all, 70000);
  size_t k = 0;
  for (size_t offset : offsets) {
    for (size_t length : lengths) {
      literals(all, runs[k++ % std::size(runs)]);
      match(all, offset, length);
    }
  }
  inputs.push_back(all);
  // The same kinds of sequences packed densely: blocks of thousands of
  // sequences take the decoder's larger look-ups, the blocks above none.
  Bytes dense(all.begin(), all.begin() + 70000);
  for (size_t i = 0; i < 20000; ++i) {
    literals(dense, i % 3);
    match(dense, offsets[i % std::size(offsets)], 4 + i % 29);
  }
  inputs.push_back(dense);
  Bytes far;  // sequences of 40 length bits and 17 offset bits, common enough for short codes
  literals(far, 200000);
  for (int i = 0; i < 40; ++i) {
    literals(far, 1100);
    match(far, 190000, 1100);
  }
  inputs.push_back(far);
  for (size_t offset : {1, 3, 12, 40, 70000}) {
    for (size_t length : {4, 31, 33, 200}) {
      Bytes tail(all.begin(), all.begin() + 131072 - 20);  // a match across the block's end
      match(tail, offset, 60);
      literals(tail, 3);
      match(tail, offset, length);  // the stream's last bytes
      inputs.push_back(tail);
    }
  }
  for (const Bytes& data : inputs) {
    for (int level : {kTessikFileLevel, 12}) {
      SCOPED_TRACE(testing::Message() << data.size() << " " << level);
      Bytes work(TessikWorkMemorySize(level, data.size()));
      Bytes stream(TessikBound(data.size()));
      size_t stored = TessikCompress(level, data.data(), data.size(), stream.data(), stream.size(),
                                     work.data());
      ASSERT_NE(stored, 0u);
      Bytes expanded(data.size());
      size_t consumed = 0;
      ASSERT_TRUE(
          TessikDecompress(stream.data(), stored, expanded.data(), expanded.size(), &consumed));
      EXPECT_TRUE(expanded == data);
      Bytes pieces(data.size());
      tessik_stream_decoder* d = BeginTessikStreamDecoder(pieces.data(), pieces.size());
      for (size_t at = 0; at < stored; at += 1000) {
        ASSERT_TRUE(
            FeedTessikStreamDecoder(d, stream.data() + at, std::min<size_t>(1000, stored - at)));
      }
      EXPECT_TRUE(EndTessikStreamDecoder(d));
      EXPECT_TRUE(pieces == data);
    }
  }
}

TEST(Compression, BeginRejectsWhatCannotBeWritten) {
  Bytes out;
  compression_output output{test::AppendToVector, &out};
  test::LogCapture log;
  EXPECT_EQ(BeginFileCompression(100, 3, kTessik2Compression, false, output), nullptr);
  EXPECT_EQ(BeginFileCompression(100, 1, kLorpa0Compression, false, output), nullptr);
  EXPECT_EQ(BeginFileCompression(100, 1, 5, false, output), nullptr);
  EXPECT_TRUE(log.Contains("Unrecognized compression type 5"));
  EXPECT_EQ(BeginFileCompression(100, 0, kTessikCompression, false, output), nullptr);
  EXPECT_EQ(BeginFileCompression(100, 4, kLorpa1Compression, false, output), nullptr);
  uint8_t stored[8] = {};
  uint8_t expanded[8];
  EXPECT_FALSE(DecompressData(7, false, 8, stored, 0, 0, 8, expanded));
  EXPECT_TRUE(log.Contains("Unrecognized compression type 7"));
  EXPECT_FALSE(DecompressData(kLorpa0Compression, false, 8, stored, 0, 0, 8, expanded));
  EXPECT_EQ(BeginFileDecompression(kTessikCompression, 8, expanded), nullptr);
  EXPECT_TRUE(out.empty());
}

// Every type, three-part sections and one-stream sections, over data that
// compresses well, data that does not, and sizes around the block sizes.
TEST(Compression, SectionsRoundTripForEveryType) {
  const size_t sizes[] = {0, 1, 5, 4096, 65535, 65536, 65537, 131073, 300001};
  for (uint32_t type : {0u, 2u, 3u, 4u}) {
    for (size_t size : sizes) {
      for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(testing::Message() << "type " << type << " size " << size << " kind " << kind);
        Bytes data = kind == 0   ? test::SectionLikeBytes(size, 7)
                     : kind == 1 ? test::RandomBytes(size, 11)
                                 : Bytes(size, 0);
        uint32_t stop0 = static_cast<uint32_t>(size / 2) & ~3u;
        uint32_t stop1 = stop0;  // an empty 16-bit part, as most sections have
        std::vector<Bytes> streams;
        if (GetCompressionStreamCount(type) == 3) {
          streams = {Bytes(data.begin(), data.begin() + stop0), Bytes(),
                     Bytes(data.begin() + stop1, data.end())};
        } else {
          streams = {data};
        }
        Bytes stored;
        ASSERT_TRUE(CompressStreams(type, streams, false, &stored));
        if (type == kNoCompression) {
          EXPECT_EQ(stored.size(), size);
        }
        if (type >= kTessikCompression) {
          EXPECT_LE(stored.size(), TessikBound(size) + 48);
        }
        if (kind == 2 && size >= 4096 && type != 0) {
          EXPECT_LT(stored.size(), size / 50);
        }
        // Readers round the stored size up and pad with zeros.
        stored.resize(stored.size() + (4 - stored.size() % 4) % 4 +
                      GetCompressionPaddingSize(type));
        Bytes expanded(size, 0xCD);
        ASSERT_TRUE(DecompressData(type, false, static_cast<uint32_t>(stored.size()), stored.data(),
                                   stop0, stop1, static_cast<uint32_t>(size), expanded.data()));
        EXPECT_TRUE(expanded == data);
      }
    }
  }
}

TEST(Compression, OneStreamChunksAndArraysRoundTrip) {
  Bytes data = test::SectionLikeBytes(70000, 3);
  for (uint32_t type : {0u, 2u, 3u, 4u}) {
    SCOPED_TRACE(type);
    Bytes stored;
    ASSERT_TRUE(CompressStreams(type, {data}, false, &stored));
    Bytes expanded(data.size());
    ASSERT_TRUE(DecompressDataChunk(type, false, static_cast<uint32_t>(stored.size()),
                                    stored.data(), static_cast<uint32_t>(data.size()),
                                    expanded.data()));
    EXPECT_TRUE(expanded == data);
  }
  // A Tessik2 array: uint32 stored size in the file's byte order, then the
  // stream; whatever follows in the file is not part of it.
  for (bool reversed : {false, true}) {
    Bytes stream;
    ASSERT_TRUE(CompressStreams(kTessik2Compression, {data}, false, &stream));
    uint32_t size = static_cast<uint32_t>(stream.size());
    if (reversed) size = __builtin_bswap32(size);
    Bytes array(4);
    std::memcpy(array.data(), &size, 4);
    array.insert(array.end(), stream.begin(), stream.end());
    array.insert(array.end(), {1, 2, 3, 4, 5});
    Bytes expanded(data.size());
    uint32_t used = 0;
    ASSERT_TRUE(DecompressFileArray(kTessik2Compression, reversed,
                                    static_cast<uint32_t>(array.size()), array.data(),
                                    static_cast<uint32_t>(data.size()), expanded.data(), &used));
    EXPECT_EQ(used, stream.size() + 4);
    EXPECT_TRUE(expanded == data);
    test::LogCapture log;
    EXPECT_FALSE(DecompressFileArray(kTessik2Compression, reversed, used - 1, array.data(),
                                     static_cast<uint32_t>(data.size()), expanded.data(), nullptr));
  }
}

TEST(Compression, LorpaHeadersFollowTheFileByteOrder) {
  Bytes a = test::SectionLikeBytes(3000, 1), b = test::RandomBytes(100, 2);
  Bytes native, reversed;
  ASSERT_TRUE(CompressStreams(kLorpa1Compression, {a, Bytes(), b}, false, &native));
  ASSERT_TRUE(CompressStreams(kLorpa1Compression, {a, Bytes(), b}, true, &reversed));
  ASSERT_EQ(native.size(), reversed.size());
  for (size_t word = 0; word < 9; ++word) {
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(native[4 * word + i], reversed[4 * word + 3 - i]);
  }
  EXPECT_TRUE(std::equal(native.begin() + 36, native.end(), reversed.begin() + 36));
  Bytes expanded(3100);
  EXPECT_TRUE(DecompressData(kLorpa1Compression, true, static_cast<uint32_t>(reversed.size()),
                             reversed.data(), 3000, 3000, 3100, expanded.data()));
  EXPECT_TRUE(std::equal(a.begin(), a.end(), expanded.begin()));
  test::LogCapture log;
  EXPECT_FALSE(DecompressData(kLorpa1Compression, false, static_cast<uint32_t>(reversed.size()),
                              reversed.data(), 3000, 3000, 3100, expanded.data()));
}

// An adaptive model pays more than 9 bits for a byte it has rarely seen: the
// output must grow rather than overrun the buffer sized for 9 bits a byte.
TEST(Compression, LorpaSurvivesInputThatCostsMoreThanNineBitsPerByte) {
  Bytes data;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 256; ++i) data.push_back(static_cast<uint8_t>((i * 167 + round) & 255));
  }
  Bytes stored;
  ASSERT_TRUE(CompressStreams(kLorpa1Compression, {data}, false, &stored));
  EXPECT_GT(stored.size(), (9 * data.size() + 7) / 8 + 36 + 12);
  Bytes expanded(data.size());
  ASSERT_TRUE(DecompressDataChunk(kLorpa1Compression, false, static_cast<uint32_t>(stored.size()),
                                  stored.data(), static_cast<uint32_t>(data.size()),
                                  expanded.data()));
  EXPECT_TRUE(expanded == data);
}

// The coder's last partial byte is part of the stored block: a block that
// lost its last byte no longer decodes.
TEST(Compression, LorpaBlocksKeepTheirLastByte) {
  test::LogCapture log;
  for (uint32_t seed = 0; seed < 20; ++seed) {
    Bytes data = test::SectionLikeBytes(100 + 37 * seed, seed);
    Bytes stored;
    ASSERT_TRUE(CompressStreams(kLorpa1Compression, {data}, false, &stored));
    Bytes expanded(data.size());
    EXPECT_FALSE(DecompressDataChunk(kLorpa1Compression, false,
                                     static_cast<uint32_t>(stored.size() - 1), stored.data(),
                                     static_cast<uint32_t>(data.size()), expanded.data()))
        << seed;
  }
}

// On a stationary source the adaptive coder stays close to the order-0
// entropy of what it codes.
TEST(Compression, LorpaComesCloseToTheOrderZeroEntropy) {
  std::mt19937 random(5);
  std::geometric_distribution<int> geometric(0.08);
  Bytes data(1 << 20);
  for (auto& b : data) b = static_cast<uint8_t>(std::min(geometric(random), 255));
  double counts[256] = {};
  for (uint8_t b : data) counts[b] += 1;
  double bits = 0;
  for (double c : counts) {
    if (c > 0) bits -= c * std::log2(c / data.size());
  }
  Bytes stored;
  ASSERT_TRUE(CompressStreams(kLorpa1Compression, {data}, false, &stored));
  EXPECT_LT(stored.size(), bits / 8 * 1.01 + 12);
}

TEST(Compression, OutputIsDeterministic) {
  Bytes data = test::SectionLikeBytes(200000, 9);
  Bytes first, second;
  ASSERT_TRUE(CompressStreams(kTessik2Compression, {data}, false, &first));
  // Leave different garbage in the memory the next compressor will reuse.
  void* garbage = KT_ALLOCATE(TessikWorkMemorySize(kTessikFileLevel, data.size()));
  std::memset(garbage, 0x5A, TessikWorkMemorySize(kTessikFileLevel, data.size()));
  FreeBlock(garbage);
  ASSERT_TRUE(CompressStreams(kTessik2Compression, {data}, false, &second));
  EXPECT_TRUE(first == second);
}

TEST(Compression, IncrementalDecodingInAnyChunkSize) {
  Bytes data = test::SectionLikeBytes(300000, 4);
  for (uint32_t type : {0u, 4u}) {
    Bytes stored;
    ASSERT_TRUE(CompressStreams(type, {data}, false, &stored));
    if (type == kTessik2Compression) stored.insert(stored.end(), 3, 0);  // file padding
    for (size_t chunk : {1u, 7u, 4096u, 1000000u}) {
      SCOPED_TRACE(testing::Message() << "type " << type << " chunk " << chunk);
      Bytes expanded(data.size());
      file_decompressor* d =
          BeginFileDecompression(type, static_cast<uint32_t>(data.size()), expanded.data());
      ASSERT_NE(d, nullptr);
      for (size_t at = 0; at < stored.size(); at += chunk) {
        size_t n = std::min(chunk, stored.size() - at);
        ASSERT_TRUE(DecompressFileChunk(d, static_cast<uint32_t>(n), stored.data() + at));
      }
      EXPECT_TRUE(EndFileDecompression(d));
      EXPECT_TRUE(expanded == data);
    }
    // Ending early is an error, and so is stored data after the end.
    test::LogCapture log;
    Bytes expanded(data.size());
    file_decompressor* d =
        BeginFileDecompression(type, static_cast<uint32_t>(data.size()), expanded.data());
    EXPECT_TRUE(DecompressFileChunk(d, static_cast<uint32_t>(stored.size() / 2), stored.data()));
    EXPECT_FALSE(EndFileDecompression(d));
    d = BeginFileDecompression(type, static_cast<uint32_t>(data.size()), expanded.data());
    Bytes longer = stored;
    longer.push_back(1);
    EXPECT_FALSE(DecompressFileChunk(d, static_cast<uint32_t>(longer.size()), longer.data()));
    EXPECT_FALSE(EndFileDecompression(d));
  }
}

TEST(Compression, CompressorMisuseFailsWithoutWriting) {
  Bytes out;
  compression_output output{test::AppendToVector, &out};
  Bytes data(64, 1);
  test::LogCapture log;
  uint32_t stored = 0;
  for (uint32_t type : {0u, 2u, 3u}) {
    out.clear();
    // Fewer streams than announced.
    file_compressor* c = BeginFileCompression(64, 3, type, false, output);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(CompressContentsOfMemory(c, 32, data.data()));
    EXPECT_FALSE(EndFileCompression(c, &stored));
    // More bytes than announced.
    c = BeginFileCompression(32, 1, type, false, output);
    EXPECT_FALSE(CompressContentsOfMemory(c, 64, data.data()));
    EXPECT_FALSE(EndFileCompression(c, &stored));
    if (type != 0) {
      EXPECT_TRUE(out.empty());
    }
  }
  // A writer that fails makes the end fail.
  compression_output failing{[](void*, const void*, size_t) { return false; }, nullptr};
  file_compressor* c = BeginFileCompression(64, 1, kTessik2Compression, false, failing);
  EXPECT_TRUE(CompressContentsOfMemory(c, 64, data.data()));
  EXPECT_FALSE(EndFileCompression(c, &stored));
}

TEST(Compression, ReaderInputIsCompressedLikeMemory) {
  Bytes data = test::SectionLikeBytes(5000, 8);
  auto read = [](void* user, size_t offset, size_t size, void* bytes) {
    auto* source = static_cast<Bytes*>(user);
    if (offset + size > source->size()) return false;
    std::memcpy(bytes, source->data() + offset, size);
    return true;
  };
  for (uint32_t type : {0u, 2u, 4u}) {
    Bytes viaMemory, viaReader;
    ASSERT_TRUE(CompressStreams(type, {data}, false, &viaMemory));
    file_compressor* c = BeginFileCompression(5000, 1, type, false,
                                              compression_output{test::AppendToVector, &viaReader});
    ASSERT_TRUE(CompressContentsOfReader(c, 5000, compression_input{read, &data}));
    uint32_t stored = 0;
    ASSERT_TRUE(EndFileCompression(c, &stored));
    EXPECT_TRUE(viaMemory == viaReader);
  }
  test::LogCapture log;
  file_compressor* c =
      BeginFileCompression(9000, 1, 4, false, compression_output{test::AppendToVector, &data});
  EXPECT_FALSE(CompressContentsOfReader(c, 9000, compression_input{read, &data}));
  uint32_t stored = 0;
  EXPECT_FALSE(EndFileCompression(c, &stored));
}

TEST(Compression, AllocationFailuresAreReported) {
  Bytes data = test::SectionLikeBytes(10000, 2);
  Bytes stored;
  ASSERT_TRUE(CompressStreams(kLorpa1Compression, {data}, false, &stored));
  test::LogCapture log;
  Bytes expanded(data.size());
  SetAllocationFailureCountdown(0);
  EXPECT_FALSE(DecompressDataChunk(kLorpa1Compression, false, static_cast<uint32_t>(stored.size()),
                                   stored.data(), static_cast<uint32_t>(data.size()),
                                   expanded.data()));
  EXPECT_TRUE(log.Contains("Lorpa1Decompress unable to alloc"));
  // The compressor, its output buffer, its work memory.
  for (long countdown = 0; countdown < 3; ++countdown) {
    SetAllocationFailureCountdown(countdown);
    Bytes out;
    EXPECT_FALSE(CompressStreams(kTessik2Compression, {data}, false, &out));
    SetAllocationFailureCountdown(-1);
  }
}

// Decoders against truncated, corrupted and crafted stored data: they must
// fail cleanly (or, where the damage is invisible, reproduce the original),
// never write outside the expanded range and never read outside the input.

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
  bool ok =
      DecompressData(s.type, false, static_cast<uint32_t>(stored.size()), input.get(), s.stop0,
                     s.stop1, static_cast<uint32_t>(s.data.size()), out.data() + kGuard);
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
  EXPECT_FALSE(DecompressDataChunk(kTessik2Compression, false, static_cast<uint32_t>(longer.size()),
                                   longer.data(), 3000, expanded.data()));
  // A type 0 section shorter than it expands to.
  EXPECT_FALSE(DecompressData(kNoCompression, false, 100, expanded.data(), 0, 0, 3000,
                              expanded.data() + 100));
}

}  // namespace
}  // namespace ketrel
