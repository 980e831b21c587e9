// The committed golden files pin the layout of every platform byte for byte;
// damaging them in every possible place must never crash a reader nor make it
// accept a file whose CRC or structure is wrong. A game loads every one of
// them from a path and from memory; damaged, missing and foreign files are
// refused with a message.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "rt/ketrel_crc.h"
#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_load.h"
#include "tests/rt/test_ketrel_file_graph.h"
#include "tests/rt/test_ketrel_playback_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

struct Golden {
  file_platform platform;
  const char* name;
};
const Golden kGoldens[] = {
    {Platform32Little, "golden_32le.kt2"},
    {Platform32Big, "golden_32be.kt2"},
    {Platform64Little, "golden_64le.kt2"},
    {Platform64Big, "golden_64be.kt2"},
};

std::string GoldenPath(const Golden& golden) {
  return std::string(KETREL_TEST_DATA) + "/" + golden.name;
}

std::vector<unsigned char> ReadGolden(const Golden& golden) {
  std::ifstream in(GoldenPath(golden), std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
}

// Header words that no check covers (reserved and caller tags) or that only
// warn (the version): damage there still reads the same objects.
bool IsUncheckedHeaderByte(size_t offset) {
  return (offset >= 24 && offset < 36) || (offset >= 68 && offset < 104);
}

TEST(GoldenFiles, MatchWhatTheBuilderWritesToday) {
  // KETREL_UPDATE_GOLDEN=1 rewrites them after a deliberate format change.
  const bool update = std::getenv("KETREL_UPDATE_GOLDEN") != nullptr;
  for (const Golden& golden : kGoldens) {
    std::vector<unsigned char> built = test::BuildRichFile(golden.platform);
    ASSERT_FALSE(built.empty());
    if (update) {
      std::ofstream(GoldenPath(golden), std::ios::binary)
          .write(reinterpret_cast<const char*>(built.data()), std::streamsize(built.size()));
    }
    EXPECT_EQ(ReadGolden(golden), built) << golden.name << " differs from the builder's output";
  }
}

TEST(GoldenFiles, EveryTruncationIsRefused) {
  for (const Golden& golden : kGoldens) {
    std::vector<unsigned char> bytes = ReadGolden(golden);
    ASSERT_GT(bytes.size(), 456u) << golden.name;
    test::LogCapture log;
    for (size_t length = 0; length < bytes.size(); ++length) {
      // A copy of exactly `length` bytes, so ASan sees any read past it.
      std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + std::ptrdiff_t(length));
      ketrel_file* file = ReadEntireFileFromMemory(cut.data(), cut.size());
      EXPECT_EQ(file, nullptr) << golden.name << " cut to " << length;
      FreeFile(file);
    }
    EXPECT_GE(log.errors(), bytes.size());
  }
}

TEST(GoldenFiles, EveryFlippedByteIsRefusedOrHarmless) {
  for (const Golden& golden : kGoldens) {
    std::vector<unsigned char> bytes = ReadGolden(golden);
    ASSERT_FALSE(bytes.empty());
    test::RichGraph graph;
    test::LogCapture log;
    for (size_t offset = 0; offset < bytes.size(); ++offset) {
      bytes[offset] ^= 0xFF;
      ketrel_file* file = ReadEntireFileFromMemory(bytes.data(), bytes.size());
      if (IsUncheckedHeaderByte(offset)) {
        ASSERT_NE(file, nullptr) << golden.name << " byte " << offset;
        EXPECT_EQ(test::CompareGraphs(FileInfoType, graph.Root(), file->RootType, file->RootObject),
                  "");
      } else {
        EXPECT_EQ(file, nullptr) << golden.name << " byte " << offset;
      }
      FreeFile(file);
      bytes[offset] ^= 0xFF;
    }
  }
}

TEST(GoldenFiles, FlipsBehindARepairedCrcNeverCrash) {
  // With the CRC made right again, every flip reaches the structural checks
  // and the converter's walk; whatever they decide, they must stay in bounds.
  // Every byte of the section table, then a sample of the data (a full sweep
  // of all files is the fuzzer's job).
  for (const Golden& golden : {kGoldens[1]}) {
    std::vector<unsigned char> bytes = ReadGolden(golden);
    ASSERT_FALSE(bytes.empty());
    const bool big = golden.platform == Platform32Big || golden.platform == Platform64Big;
    test::LogCapture log;
    size_t accepted = 0;
    size_t tried = 0;
    for (size_t offset = 104; offset < bytes.size(); offset += offset < 456 ? 1 : 7, ++tried) {
      bytes[offset] ^= 0xFF;
      uint32_t crc = ComputeCrc32(bytes.data() + 104, bytes.size() - 104);
      uint32_t stored = big ? ByteSwap32(crc) : crc;
      uint32_t original;
      std::memcpy(&original, bytes.data() + 40, 4);
      std::memcpy(bytes.data() + 40, &stored, 4);
      ketrel_file* file = ReadEntireFileFromMemory(bytes.data(), bytes.size());
      accepted += file != nullptr;
      FreeFile(file);
      std::memcpy(bytes.data() + 40, &original, 4);
      bytes[offset] ^= 0xFF;
    }
    // Flipped values in the data are still valid files; flipped structure is not.
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, tried);
  }
}

TEST(Load, EveryPlatformLoadsFromAPathAndFromMemory) {
  test::RichGraph graph;
  for (const Golden& golden : kGoldens) {
    const std::vector<unsigned char> bytes = ReadGolden(golden);
    ASSERT_FALSE(bytes.empty()) << golden.name;
    for (bool fromMemory : {false, true}) {
      file_info* info = fromMemory ? LoadFileInfoFromMemory(bytes.data(), bytes.size())
                                   : LoadFileInfo(GoldenPath(golden).c_str());
      ASSERT_NE(info, nullptr) << golden.name;
      EXPECT_EQ(test::CompareGraphs(FileInfoType, graph.Root(), FileInfoType, info), "")
          << golden.name;
      const ketrel_file* file = GetLoadedFile(info);
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->RootObject != nullptr, true);
      FreeFileInfo(info);
    }
  }
}

TEST(Load, DamagedMissingAndForeignFilesAreRefused) {
  const std::vector<unsigned char> bytes = ReadGolden(kGoldens[3]);
  ASSERT_GT(bytes.size(), 100u);
  test::LogCapture log;
  EXPECT_EQ(LoadFileInfo((std::string(KETREL_TEST_DATA) + "/no_such_file.kt2").c_str()), nullptr);
  EXPECT_GE(log.errors(), 1u);
  EXPECT_EQ(LoadFileInfo(nullptr), nullptr);
  for (size_t length : {size_t(0), size_t(3), bytes.size() / 2, bytes.size() - 1}) {
    // A copy of exactly `length` bytes, so a sanitizer sees any read past it.
    std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + std::ptrdiff_t(length));
    log.Clear();
    EXPECT_EQ(LoadFileInfoFromMemory(cut.data(), cut.size()), nullptr) << length;
    EXPECT_GE(log.errors(), 1u) << length;
  }
  const std::string text = "not a KT2 file at all, just some words of text for the reader";
  EXPECT_EQ(LoadFileInfoFromMemory(text.data(), text.size()), nullptr);

  // A well-formed file whose root is a skeleton.
  test::TestCharacter c;
  file_builder* builder = BeginFileInMemory(8, 0x4B543254, MakeMagicRecord(kNativePlatform), 4096);
  test::WriteGraph(builder, SkeletonType, c.Skeleton);
  file_writer* out = CreateMemoryFileWriter(-1, 4096);
  ASSERT_TRUE(EndFileToWriter(builder, out));
  size_t size = 0;
  const void* skeletonFile = GetMemoryWriterBytes(out, &size);
  log.Clear();
  EXPECT_EQ(LoadFileInfoFromMemory(skeletonFile, size), nullptr);
  EXPECT_TRUE(log.Contains("root object is not a file_info")) << log.All();
  DeleteFileWriter(out);

  // Only what a load handed out is freed.
  struct {
    uint64_t before[2] = {0, 0};
    file_info info{};
  } foreign;
  log.Clear();
  FreeFileInfo(&foreign.info);
  EXPECT_TRUE(log.Contains("no load handed out"));
  EXPECT_EQ(GetLoadedFile(&foreign.info), nullptr);
  FreeFileInfo(nullptr);
}

}  // namespace
}  // namespace ketrel
