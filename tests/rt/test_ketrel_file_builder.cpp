// The builder, the writers and the CRC: layout rules, rejected arguments,
// and the exact bytes of the smallest file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "rt/ketrel_crc.h"
#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_memory.h"
#include "rt/posix/posix_ketrel_file_writer.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

uint32_t Word(const std::vector<unsigned char>& bytes, size_t offset) {
  uint32_t word;
  std::memcpy(&word, bytes.data() + offset, 4);
  return word;
}

// Ends a builder into memory and returns the bytes (empty on failure).
std::vector<unsigned char> End(file_builder* builder) {
  file_writer* writer = CreateMemoryFileWriter(4096, 4096);
  std::vector<unsigned char> bytes;
  if (EndFileToWriter(builder, writer)) {
    size_t size = 0;
    auto* data = static_cast<const unsigned char*>(GetMemoryWriterBytes(writer, &size));
    bytes.assign(data, data + size);
  }
  DeleteFileWriter(writer);
  return bytes;
}

file_builder* NativeBuilder(uint32_t sections = 8) {
  return BeginFileInMemory(sections, 0x1234, MakeMagicRecord(kNativePlatform), 64);
}

// Section header field `field` (word index) of section `s`.
uint32_t SectionField(const std::vector<unsigned char>& bytes, uint32_t s, uint32_t field) {
  return Word(bytes, 104 + 44 * s + 4 * field);
}

std::string TempPath(const char* name) { return std::string(KETREL_BINARY_DIR) + "/h2_" + name; }

TEST(Crc32, CheckValueAndIncrementalUpdate) {
  EXPECT_EQ(ComputeCrc32("123456789", 9), 0xCBF43926u);
  uint32_t state = UpdateCrc32(kCrc32Initial, "1234", 4);
  state = UpdateCrc32(state, "56789", 5);
  EXPECT_EQ(FinishCrc32(state), 0xCBF43926u);
  EXPECT_EQ(ComputeCrc32(nullptr, 0), 0u);
  // Every length and split against the bit-by-bit definition.
  unsigned char bytes[77];
  for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
  for (size_t length = 0; length <= sizeof bytes; ++length) {
    uint32_t slow = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
      slow ^= bytes[i];
      for (int bit = 0; bit < 8; ++bit) slow = (slow & 1) ? (slow >> 1) ^ 0xEDB88320u : slow >> 1;
    }
    size_t split = length / 3;
    uint32_t fast =
        UpdateCrc32(UpdateCrc32(kCrc32Initial, bytes, split), bytes + split, length - split);
    EXPECT_EQ(FinishCrc32(fast), ~slow) << "length " << length;
  }
}

TEST(FileBuilder, EightEmptySectionsMakeThe456ByteFile) {
  std::vector<unsigned char> bytes = End(NativeBuilder());
  ASSERT_EQ(bytes.size(), 456u);
  const unsigned char magic[] = {0xe5, 0x9b, 0x49, 0x5e, 0x6f, 0x63, 0x1f, 0x14,
                                 0x1e, 0x13, 0xeb, 0xa9, 0x90, 0xbe, 0xed, 0xc4};
  EXPECT_EQ(std::memcmp(bytes.data(), magic, 16), 0);
  EXPECT_EQ(Word(bytes, 16), 456u);  // HeaderSize
  EXPECT_EQ(Word(bytes, 20), 0u);    // HeaderFormat
  EXPECT_EQ(Word(bytes, 32), 7u);    // Version
  EXPECT_EQ(Word(bytes, 36), 456u);  // TotalSize
  EXPECT_EQ(Word(bytes, 44), 72u);   // SectionArrayOffset
  EXPECT_EQ(Word(bytes, 48), 8u);    // SectionArrayCount
  for (uint32_t offset = 52; offset < 68; offset += 4) EXPECT_EQ(Word(bytes, offset), 0u);
  EXPECT_EQ(Word(bytes, 68), 0x1234u);  // TypeTag
  for (uint32_t s = 0; s < 8; ++s) {
    EXPECT_EQ(SectionField(bytes, s, 1), 456u);  // DataOffset
    EXPECT_EQ(SectionField(bytes, s, 7), 456u);  // FixupOffset
    EXPECT_EQ(SectionField(bytes, s, 9), 456u);  // MarshallingOffset
    for (uint32_t f : {0u, 2u, 3u, 5u, 6u, 8u, 10u}) EXPECT_EQ(SectionField(bytes, s, f), 0u);
    EXPECT_EQ(SectionField(bytes, s, 4), 4u);  // Alignment
  }
  // The standard CRC-32 (pinned by its check value above) of bytes 104..end.
  EXPECT_EQ(Word(bytes, 40), ComputeCrc32(bytes.data() + 104, 352));
}

TEST(FileBuilder, BlocksGoToPartsByMarshallingAndAreAligned) {
  file_builder* builder = NativeBuilder(2);
  SetFileSectionFormat(builder, 1, 0, 32);
  file_location a, b, c;
  const unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(AddFileObject(builder, 0, 1, 5, bytes, &a));
  ASSERT_TRUE(AddFileObject(builder, 1, 4, 6, bytes, &b));
  ASSERT_TRUE(AddFileObject(builder, 1, 4, 2, bytes, &c));
  EXPECT_EQ(a.PartIndex, 2u);
  EXPECT_EQ(b.Offset, 0u);
  EXPECT_EQ(c.Offset, 32u);
  std::vector<unsigned char> file = End(builder);
  ASSERT_FALSE(file.empty());
  // One 5-byte byte block: expanded 8, both part offsets 0.
  EXPECT_EQ(SectionField(file, 0, 3), 8u);
  EXPECT_EQ(SectionField(file, 0, 5), 0u);
  EXPECT_EQ(SectionField(file, 0, 6), 0u);
  EXPECT_EQ(SectionField(file, 0, 2), 8u);  // stored bytes of a type 0 section
  // Two word blocks in alignment 32: the 32-bit part is 64 bytes.
  EXPECT_EQ(SectionField(file, 1, 5), 64u);
  EXPECT_EQ(SectionField(file, 1, 3), 64u);
  uint32_t data = SectionField(file, 1, 1);
  EXPECT_EQ(std::memcmp(file.data() + data + 32, bytes, 2), 0);
  EXPECT_EQ(file[data + 6], 0);  // padding is zero
}

TEST(FileBuilder, FixupsAreSortedBySlotAndSlotsCleared) {
  file_builder* builder = NativeBuilder(1);
  unsigned char block[48];
  std::memset(block, 0xAB, sizeof(block));
  file_location at;
  AddFileObject(builder, 0, 4, sizeof(block), block, &at);
  for (uint32_t slot : {40u, 8u, 24u}) AddFilePointerFixup(builder, at, slot, at);
  std::vector<unsigned char> file = End(builder);
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(SectionField(file, 0, 8), 3u);
  uint32_t fixups = SectionField(file, 0, 7);
  EXPECT_EQ(Word(file, fixups), 8u);
  EXPECT_EQ(Word(file, fixups + 12), 24u);
  EXPECT_EQ(Word(file, fixups + 24), 40u);
  uint32_t data = SectionField(file, 0, 1);
  for (uint32_t slot : {8u, 24u, 40u}) {
    EXPECT_EQ(Word(file, data + slot), 0u);
    EXPECT_EQ(Word(file, data + slot + 4), 0u);
  }
  EXPECT_EQ(file[data + 16], 0xAB);
}

TEST(FileBuilder, ManySortedFixupsEndQuickly) {
  file_builder* builder = NativeBuilder(1);
  std::vector<unsigned char> block(8 * 200000);
  file_location at;
  AddFileObject(builder, 0, 0, uint32_t(block.size()), block.data(), &at);
  for (uint32_t i = 0; i < 200000; ++i) AddFilePointerFixup(builder, at, 8 * i, at);
  std::vector<unsigned char> file = End(builder);
  EXPECT_EQ(SectionField(file, 0, 8), 200000u);
}

TEST(FileBuilder, RejectedArgumentsFailTheEnd) {
  test::LogCapture log;
  file_location at;
  unsigned char block[16] = {};
  struct Case {
    const char* name;
    void (*misuse)(file_builder*, const file_location&);
  } cases[] = {
      {"alignment 0",
       [](file_builder* b, const file_location&) { SetFileSectionFormat(b, 0, 0, 0); }},
      {"alignment 12",
       [](file_builder* b, const file_location&) { SetFileSectionFormat(b, 0, 0, 12); }},
      {"compression 5",
       [](file_builder* b, const file_location&) { SetFileSectionFormat(b, 0, 5, 4); }},
      {"section 2",
       [](file_builder* b, const file_location&) { SetFileSectionFormat(b, 2, 0, 4); }},
      {"slot past block",
       [](file_builder* b, const file_location& l) { AddFilePointerFixup(b, l, 12, l); }},
      {"slot far away",
       [](file_builder* b, const file_location& l) { AddFilePointerFixup(b, l, 4000, l); }},
      {"target section",
       [](file_builder* b, const file_location& l) {
         AddFilePointerFixup(b, l, 0, file_location{5, 0, 0});
       }},
      {"marshalling section",
       [](file_builder* b, const file_location& l) {
         AddFileMarshallingFixup(b, l, file_location{9, 0, 0}, 1);
       }},
      {"null out location",
       [](file_builder* b, const file_location& l) { OffsetFileLocation(b, l, 4, nullptr); }},
  };
  for (const Case& c : cases) {
    file_builder* builder = NativeBuilder(2);
    ASSERT_TRUE(AddFileObject(builder, 0, 4, sizeof(block), block, &at));
    log.Clear();
    c.misuse(builder, at);
    EXPECT_TRUE(log.Contains("Parameter check failed. (Verbose logging disabled)")) << c.name;
    EXPECT_TRUE(End(builder).empty()) << c.name;
  }
  EXPECT_EQ(BeginFileInMemory(0, 0, MakeMagicRecord(kNativePlatform), 64), nullptr);
  EXPECT_EQ(BeginFileInMemory(32, 0, MakeMagicRecord(kNativePlatform), 64), nullptr);
  EXPECT_EQ(BeginFileInMemory(8, 0, MakeMagicRecord(kNativePlatform), 1), nullptr);
  EXPECT_EQ(BeginFileInMemory(8, 0, file_magic_record{}, 64), nullptr);
  EXPECT_FALSE(EndFileToWriter(NativeBuilder(), nullptr));
  AbortFile(nullptr);
}

TEST(FileBuilder, ObsoleteCompressionIsSubstituted) {
  test::LogCapture log;
  file_builder* builder = NativeBuilder(1);
  SetFileSectionFormat(builder, 0, 1, 4);
  EXPECT_EQ(log.warnings(), 1u);
  EXPECT_TRUE(log.Contains("Substituting Lorpa1 compression for obsolete Lorpa0 compression\n"));
  std::vector<unsigned char> file = End(builder);
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(SectionField(file, 0, 0), 2u);
}

TEST(FileBuilder, FailedBlockWriteFailsTheEndAndLaterBlocksStillGetPlaces) {
  file_builder* builder = NativeBuilder(1);
  unsigned char block[8192] = {};
  file_location first, second;
  SetAllocationFailureCountdown(0);
  test::LogCapture log;
  EXPECT_FALSE(AddFileObject(builder, 0, 4, sizeof(block), block, &first));
  SetAllocationFailureCountdown(-1);
  EXPECT_FALSE(AddFileObject(builder, 0, 4, 4, block, &second));
  EXPECT_EQ(second.PartIndex, 0u);
  EXPECT_TRUE(End(builder).empty());
}

TEST(MemoryWriter, GrowsSeeksAndHandsOverItsBufferOnce) {
  test::LogCapture log;
  file_writer* writer = CreateMemoryFileWriter(16, 4);
  ASSERT_NE(writer, nullptr);
  EXPECT_TRUE(WriteToWriter(writer, 3, "abc"));
  EXPECT_EQ(SeekWriter(writer, 10, SeekFromStart), 10);  // past the end grows
  EXPECT_TRUE(WriteToWriter(writer, 2, "xy"));
  EXPECT_EQ(SeekWriter(writer, 2, SeekBackFromEnd), 10);
  EXPECT_EQ(SeekWriter(writer, -20, SeekFromCurrent), -1);
  EXPECT_TRUE(log.Contains("Attempting to seek before beginning of a memory stream"));
  EXPECT_EQ(AlignWriter(writer, 3), -1);
  EXPECT_EQ(SeekWriter(writer, 0, SeekBackFromEnd), 12);
  EXPECT_EQ(AlignWriter(writer, 8), 4);
  EXPECT_EQ(GetPaddingForAlignment(13, 4), 3u);
  void* bytes = nullptr;
  size_t size = 0;
  ASSERT_TRUE(StealMemoryWriterBuffer(writer, &bytes, &size));
  ASSERT_EQ(size, 16u);
  EXPECT_EQ(std::memcmp(bytes, "abc\0\0\0\0\0\0\0xy\0\0\0\0", 16), 0);
  FreeBlock(bytes);
  EXPECT_FALSE(StealMemoryWriterBuffer(writer, &bytes, &size));
  DeleteFileWriter(writer);
}

// Spare capacity is not cleared when the buffer grows, so seeking past the end must clear
// what it skips. A freed block full of 0xFF is likely to be handed back as the new buffer.
TEST(MemoryWriter, SeekingPastTheEndInsideTheCapacityReadsZeros) {
  void* dirty = KT_ALLOCATE(256);
  ASSERT_NE(dirty, nullptr);
  std::memset(dirty, 0xFF, 256);
  FreeBlock(dirty);
  file_writer* writer = CreateMemoryFileWriter(-1, 256);
  ASSERT_NE(writer, nullptr);
  EXPECT_TRUE(WriteToWriter(writer, 1, "a"));
  EXPECT_EQ(SeekWriter(writer, 200, SeekFromStart), 200);
  EXPECT_TRUE(WriteToWriter(writer, 1, "b"));
  EXPECT_EQ(SeekWriter(writer, 100, SeekFromStart), 100);
  EXPECT_TRUE(WriteToWriter(writer, 1, "c"));
  void* bytes = nullptr;
  size_t size = 0;
  ASSERT_TRUE(StealMemoryWriterBuffer(writer, &bytes, &size));
  ASSERT_EQ(size, 201u);
  std::vector<unsigned char> expected(201, 0);
  expected[0] = 'a';
  expected[100] = 'c';
  expected[200] = 'b';
  EXPECT_EQ(std::memcmp(bytes, expected.data(), size), 0);
  FreeBlock(bytes);
  DeleteFileWriter(writer);
}

TEST(MemoryWriter, CrcCoversOnlyWritesBetweenBeginAndEnd) {
  file_writer* writer = CreateMemoryFileWriter(-1, 8);
  WriteToWriter(writer, 3, "xyz");
  BeginWriterCrc(writer);
  WriteToWriter(writer, 4, "1234");
  WriteToWriter(writer, 5, "56789");
  EXPECT_EQ(EndWriterCrc(writer), 0xCBF43926u);
  DeleteFileWriter(writer);
}

TEST(FileWriter, EndFileReplacesTheTargetOnlyWhenComplete) {
  std::string path = TempPath("replace.kt2");
  std::remove(path.c_str());
  ASSERT_TRUE(EndFile(NativeBuilder(), path.c_str()));
  std::ifstream first(path, std::ios::binary | std::ios::ate);
  EXPECT_EQ(first.tellg(), 456);

  // A failing builder leaves the previous file as it was, and no stray files.
  test::LogCapture log;
  file_builder* failing = NativeBuilder(1);
  SetFileSectionFormat(failing, 0, 0, 0);
  EXPECT_FALSE(EndFile(failing, path.c_str()));
  std::ifstream second(path, std::ios::binary | std::ios::ate);
  EXPECT_EQ(second.tellg(), 456);
  std::string listing = "ls " + path + ".tmp-* >/dev/null 2>&1";
  EXPECT_NE(std::system(listing.c_str()), 0);
  std::remove(path.c_str());

  // A missing directory is an error, not a crash.
  EXPECT_FALSE(EndFile(NativeBuilder(), "/nonexistent-dir/x.kt2"));
  EXPECT_TRUE(
      log.Contains("cannot write /nonexistent-dir/x.kt2: folder /nonexistent-dir/ does not exist"))
      << log.All();
}

TEST(FileWriter, BatchesSmallWritesAndSeeks) {
  std::string path = TempPath("writer.bin");
  file_writer* writer = CreateFileWriter(path.c_str());
  ASSERT_NE(writer, nullptr);
  std::vector<unsigned char> big(3000, 7);
  EXPECT_TRUE(WriteToWriter(writer, 10, "0123456789"));
  EXPECT_TRUE(WriteToWriter(writer, big.size(), big.data()));
  EXPECT_EQ(SeekWriter(writer, 2, SeekFromStart), 2);
  EXPECT_TRUE(WriteToWriter(writer, 2, "ab"));
  EXPECT_EQ(SeekWriter(writer, 0, SeekBackFromEnd), 3010);
  EXPECT_TRUE(FinishFileWriter(writer));
  DeleteFileWriter(writer);
  std::ifstream in(path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(content.size(), 3010u);
  EXPECT_EQ(content.substr(0, 10), "01ab456789");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace ketrel
