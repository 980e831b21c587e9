// Reading files back: every platform round-trips the rich graph member by
// member, shared objects stay shared, and damaged openings are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_crc.h"
#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_platform_conversion.h"
#include "rt/ketrel_pointer_hash.h"
#include "tests/rt/test_ketrel_file_graph.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

const file_platform kPlatforms[] = {Platform32Little, Platform32Big, Platform64Little,
                                    Platform64Big};

uint32_t Word(const std::vector<unsigned char>& bytes, size_t offset, bool big = false) {
  uint32_t word;
  std::memcpy(&word, bytes.data() + offset, 4);
  return big ? ByteSwap32(word) : word;
}

void PutWord(std::vector<unsigned char>& bytes, size_t offset, uint32_t word) {
  std::memcpy(bytes.data() + offset, &word, 4);
}

void FixCrc(std::vector<unsigned char>& bytes) {
  PutWord(bytes, 40, ComputeCrc32(bytes.data() + 104, bytes.size() - 104));
}

TEST(FileReader, RichGraphRoundTripsOnEveryPlatform) {
  for (file_platform platform : kPlatforms) {
    SCOPED_TRACE(GetPlatformName(platform));
    test::RichGraph graph;
    std::vector<unsigned char> bytes = test::BuildRichFile(platform);
    ASSERT_FALSE(bytes.empty());
    ketrel_file* file = ReadEntireFileFromMemory(bytes.data(), bytes.size());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->SourcePlatform, platform);
    EXPECT_EQ(file->Header.TypeTag, 0x4B543201u);
    EXPECT_EQ(test::CompareGraphs(FileInfoType, graph.Root(), file->RootType, file->RootObject),
              "");
    // Shared objects are one object after reading, and the cycle closes.
    // Packed members are copied out before comparing (no references to them).
    auto* info = static_cast<file_info*>(file->RootObject);
    skeleton* modelSkeleton = info->Models[0]->Skeleton;
    EXPECT_EQ(modelSkeleton, info->Skeletons[0]);
    vertex_data* morphData = info->Meshes[0]->MorphTargets[0].VertexData;
    vertex_data* primaryData = info->Meshes[0]->PrimaryVertexData;
    EXPECT_EQ(morphData, primaryData);
    EXPECT_EQ(info->Animations[0]->TrackGroups[0], info->TrackGroups[0]);
    EXPECT_EQ(info->Animations[0]->TrackGroups[1], nullptr);
    material* brick = info->Materials[0];
    material* back = brick->Maps[0].Map;
    EXPECT_EQ(back, info->Materials[1]);
    material* again = back->Maps[0].Map;
    EXPECT_EQ(again, brick);
    material* bound = info->Meshes[0]->MaterialBindings[1].Material;
    EXPECT_EQ(bound, info->Materials[1]);
    data_type_definition* brickType = brick->ExtendedData.Type;
    data_type_definition* rootExtendedType = info->ExtendedData.Type;
    EXPECT_EQ(brickType, rootExtendedType);
    texture* brickTexture = brick->Texture;
    EXPECT_EQ(brickTexture, info->Textures[0]);
    FreeFile(file);
  }
}

TEST(FileReader, ForeignLayoutsHaveTheirOwnSizesAndByteOrder) {
  std::vector<unsigned char> big32 = test::BuildRichFile(Platform32Big);
  ASSERT_GE(big32.size(), 104u);
  const unsigned char start[] = {0xb5, 0x95, 0x11, 0x0e};
  EXPECT_EQ(std::memcmp(big32.data(), start, 4), 0);
  const unsigned char version[] = {0, 0, 0, 7};
  EXPECT_EQ(std::memcmp(big32.data() + 32, version, 4), 0);

  for (file_platform platform : {Platform32Little, Platform32Big}) {
    std::vector<unsigned char> bytes = test::BuildRichFile(platform);
    file_image image;
    ASSERT_TRUE(OpenFileImage(bytes.data(), bytes.size(), &image));
    ASSERT_TRUE(LoadAllFileImageSections(&image));
    const bool big = platform == Platform32Big;
    // file_info: 13 member records of 32 bytes, then the end record.
    const file_reference type = image.Header.RootObjectTypeDefinition;
    const unsigned char* records = image.Sections[type.SectionIndex].Data + type.Offset;
    uint32_t last, end;
    std::memcpy(&last, records + 12 * 32, 4);
    std::memcpy(&end, records + 13 * 32, 4);
    EXPECT_EQ(big ? ByteSwap32(last) : last, uint32_t(VariantReferenceMember));
    EXPECT_EQ(end, 0u);
    // A fix-up's three fields are in the file's order: the target section is small.
    const file_section_header& main = image.Sections[0].Header;
    ASSERT_GT(main.FixupCount, 0u);
    EXPECT_LT(Word(bytes, main.FixupOffset + 4, big), 8u);
    CloseFileImage(&image);
  }
}

TEST(FileReader, DamagedOpeningsAreRefusedWithTheirMessages) {
  std::vector<unsigned char> good = test::BuildRichFile(Platform64Little);
  ASSERT_FALSE(good.empty());
  test::LogCapture log;
  EXPECT_EQ(ReadEntireFileFromMemory(good.data(), 20), nullptr);
  EXPECT_TRUE(log.Contains("Unable to read magic value"));

  std::vector<unsigned char> bytes = good;
  bytes[3] ^= 1;
  EXPECT_EQ(ReadEntireFileFromMemory(bytes.data(), bytes.size()), nullptr);
  EXPECT_TRUE(log.Contains("doesn't match any known file format"));
  EXPECT_TRUE(log.Contains("File is not a Ketrel file"));

  bytes = good;
  PutWord(bytes, 20, 3);
  EXPECT_EQ(ReadEntireFileFromMemory(bytes.data(), bytes.size()), nullptr);
  EXPECT_TRUE(log.Contains("File has an unrecognized header format (3)"));

  bytes = good;
  PutWord(bytes, 16, 105);
  EXPECT_EQ(ReadEntireFileFromMemory(bytes.data(), bytes.size()), nullptr);
  EXPECT_TRUE(log.Contains("Unable to read file header"));

  bytes = good;
  bytes[bytes.size() - 1] ^= 0x40;
  EXPECT_EQ(ReadEntireFileFromMemory(bytes.data(), bytes.size()), nullptr);
  EXPECT_TRUE(log.Contains("File CRC does not match"));

  // Version 6 is read with a warning.
  log.Clear();
  bytes = good;
  PutWord(bytes, 32, 6);
  ketrel_file* file = ReadEntireFileFromMemory(bytes.data(), bytes.size());
  EXPECT_NE(file, nullptr);
  EXPECT_TRUE(log.Contains("File is file format revision 6 (current version is 7)"));
  FreeFile(file);
}

TEST(FileReader, HostileStructureIsRefusedAfterTheCrcIsMadeRight) {
  std::vector<unsigned char> good = test::BuildRichFile(Platform64Little);
  test::LogCapture log;
  struct Damage {
    const char* name;
    uint32_t offset;  // a word of the file
    uint32_t value;
  };
  const uint32_t section0 = 104, fixups = Word(good, section0 + 28);
  const Damage damages[] = {
      {"data past the end", section0 + 4, 0xFFFFFF00u},
      {"huge expanded size", section0 + 12, 0x7FFFFFFFu},
      {"part offsets out of order", section0 + 20, 0xFFFFu},
      {"alignment 3", section0 + 16, 3},
      {"too many fix-ups", section0 + 32, 0x10000000u},
      {"fix-up slot outside the section", fixups, 0xFFFFFFF0u},
      {"fix-up to a missing section", fixups + 4, 40},
      {"fix-up target outside its section", fixups + 8, 0x7FFFFFF0u},
      {"root outside its section", 32 + 32, 0x7FFFFFF0u},
      {"root type in a missing section", 32 + 20, 99},
  };
  for (const Damage& d : damages) {
    std::vector<unsigned char> bytes = good;
    PutWord(bytes, d.offset, d.value);
    FixCrc(bytes);
    EXPECT_EQ(ReadEntireFileFromMemory(bytes.data(), bytes.size()), nullptr) << d.name;
  }
}

// A native file is fixed up where it lies, but a piece whose bytes another
// piece's pointers are written over is read from a copy: here the file name
// is made to point at the slot of the exporter info, which must read as the
// file holds it (empty), not as the pointer written there.
TEST(FileReader, NativePiecesAreFixedWhereTheyLieUnlessTheyOverlap) {
  std::vector<unsigned char> good = test::BuildRichFile(Platform64Little);
  file_image image;
  ASSERT_TRUE(OpenFileImage(good.data(), good.size(), &image));
  const file_reference root = image.Header.RootObject;
  const file_section_header section = image.Sections[root.SectionIndex].Header;
  CloseFileImage(&image);
  ASSERT_EQ(section.Compression, kNoCompression);

  ketrel_file* file = ReadEntireFileFromMemory(good.data(), good.size());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->RootObject, file->SectionData[root.SectionIndex] + root.Offset);
  FreeFile(file);

  std::vector<unsigned char> bytes = good;
  bool retargeted = false;
  for (uint32_t f = 0; f < section.FixupCount; ++f) {
    const size_t record = section.FixupOffset + size_t(f) * sizeof(file_pointer_fixup);
    if (Word(bytes, record) == root.Offset + offsetof(file_info, FromFileName)) {
      PutWord(bytes, record + 4, root.SectionIndex);
      PutWord(bytes, record + 8, root.Offset + offsetof(file_info, ExporterInfo));
      retargeted = true;
    }
  }
  ASSERT_TRUE(retargeted);
  FixCrc(bytes);
  file = ReadEntireFileFromMemory(bytes.data(), bytes.size());
  ASSERT_NE(file, nullptr);
  test::RichGraph graph;
  graph.Root()->FromFileName = "";
  EXPECT_EQ(test::CompareGraphs(FileInfoType, graph.Root(), file->RootType, file->RootObject), "");
  FreeFile(file);
}

// A damaged compressed section is refused, whichever way the file is read.
TEST(FileReader, DamagedCompressedSectionsAreRefused) {
  uint32_t compression[kStandardSectionCount];
  std::fill(compression, compression + kStandardSectionCount, uint32_t(kTessik2Compression));
  for (file_platform platform : {Platform32Little, Platform64Little}) {
    SCOPED_TRACE(GetPlatformName(platform));
    std::vector<unsigned char> good = test::BuildRichFile(platform, compression);
    ASSERT_FALSE(good.empty());
    const uint32_t section0 = 104;
    const uint32_t dataOffset = Word(good, section0 + 4), dataSize = Word(good, section0 + 8);
    const uint32_t expanded = Word(good, section0 + 12);
    struct Damage {
      const char* name;
      uint32_t offset;  // a word of the file
      uint32_t value;
    };
    const Damage damages[] = {
        {"stream cut to its header", section0 + 8, 5},
        {"stream cut in half", section0 + 8, dataSize / 2},
        {"expanded size one larger", section0 + 12, expanded + 1},
        {"not a Tessik stream", dataOffset, Word(good, dataOffset) ^ 0xFFu},
    };
    for (const Damage& d : damages) {
      std::vector<unsigned char> bytes = good;
      PutWord(bytes, d.offset, d.value);
      FixCrc(bytes);
      test::LogCapture log;
      EXPECT_EQ(ReadEntireFileFromMemory(bytes.data(), bytes.size()), nullptr) << d.name;
      EXPECT_TRUE(log.Contains("Unable to decompress section 0")) << d.name;
    }
  }
}

TEST(FileReader, RawFilesLoadOnlyNatively) {
  // A raw file: an empty root type over a block of bytes.
  file_builder* builder = BeginFileInMemory(1, 7, MakeMagicRecord(kNativePlatform), 64);
  const unsigned char empty[44] = {};
  const char text[] = "raw bytes";
  file_location type, object;
  AddFileObject(builder, 0, 4, sizeof(empty), empty, &type);
  AddFileObject(builder, 0, 1, sizeof(text), text, &object);
  SetFileRoot(builder, type, object);
  file_writer* writer = CreateMemoryFileWriter(-1, 1024);
  ASSERT_TRUE(EndFileToWriter(builder, writer));
  size_t size = 0;
  const void* bytes = GetMemoryWriterBytes(writer, &size);
  ketrel_file* file = ReadEntireFileFromMemory(bytes, size);
  ASSERT_NE(file, nullptr);
  EXPECT_STREQ(static_cast<const char*>(file->RootObject), "raw bytes");
  FreeFile(file);

  // It cannot be converted: there is no type tree to convert it by.
  test::LogCapture log;
  file_reader* reader = CreateMemoryFileReader(bytes, size);
  file_writer* out = CreateMemoryFileWriter(-1, 1024);
  EXPECT_FALSE(PlatformConvertReaderToWriter(reader, out, MakeMagicRecord(Platform32Big), false, 4,
                                             0, nullptr));
  EXPECT_TRUE(
      log.Contains("Cannot convert Raw File types (empty type as root object type detected)"));
  DeleteFileWriter(out);
  DeleteFileReader(reader);
  DeleteFileWriter(writer);
}

// Running out of memory anywhere in building, converting or reading a file
// fails cleanly (no crash, nothing leaked, failure reported), and the pointer
// map the converter relies on keeps its order.
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
