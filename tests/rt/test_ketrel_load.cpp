// Loading a file for a game: every platform's golden file loads from a path
// and from memory to the same objects; damaged, missing and foreign files
// are refused with a message.
#include "rt/ketrel_load.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_file_writer.h"
#include "tests/rt/test_ketrel_file_graph.h"
#include "tests/rt/test_ketrel_playback_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

const char* const kGoldens[] = {"golden_32le.kt2", "golden_32be.kt2", "golden_64le.kt2",
                                "golden_64be.kt2"};

std::string DataPath(const char* name) { return std::string(KETREL_TEST_DATA) + "/" + name; }

std::vector<unsigned char> Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
}

TEST(Load, EveryPlatformLoadsFromAPathAndFromMemory) {
  test::RichGraph graph;
  for (const char* name : kGoldens) {
    const std::vector<unsigned char> bytes = Slurp(DataPath(name));
    ASSERT_FALSE(bytes.empty()) << name;
    for (bool fromMemory : {false, true}) {
      file_info* info = fromMemory ? LoadFileInfoFromMemory(bytes.data(), bytes.size())
                                   : LoadFileInfo(DataPath(name).c_str());
      ASSERT_NE(info, nullptr) << name;
      EXPECT_EQ(test::CompareGraphs(FileInfoType, graph.Root(), FileInfoType, info), "") << name;
      const ketrel_file* file = GetLoadedFile(info);
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->RootObject != nullptr, true);
      FreeFileInfo(info);
    }
  }
}

TEST(Load, DamagedMissingAndForeignFilesAreRefused) {
  const std::vector<unsigned char> bytes = Slurp(DataPath("golden_64be.kt2"));
  ASSERT_GT(bytes.size(), 100u);
  test::LogCapture log;
  EXPECT_EQ(LoadFileInfo((DataPath("no_such_file.kt2")).c_str()), nullptr);
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
