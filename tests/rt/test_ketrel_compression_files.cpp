// Compressed sections inside whole files: every platform with every
// compression type must read back exactly as the uncompressed file does.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_file_builder.h"
#include "rt/ketrel_file_layout.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_file_writer.h"
#include "tests/rt/test_ketrel_compression_support.h"
#include "tests/rt/test_ketrel_file_graph.h"

namespace ketrel {
namespace {

using Bytes = std::vector<unsigned char>;

// Loads every section of both files and expects the same expanded data,
// fix-ups and marshalling records, with `compressed` stored as `type`.
void ExpectSameSections(const Bytes& plain, const Bytes& compressed, uint32_t type) {
  file_image a, b;
  ASSERT_TRUE(OpenFileImage(plain.data(), plain.size(), &a));
  ASSERT_TRUE(OpenFileImage(compressed.data(), compressed.size(), &b));
  ASSERT_TRUE(LoadAllFileImageSections(&a));
  ASSERT_TRUE(LoadAllFileImageSections(&b));
  ASSERT_EQ(a.SectionCount, b.SectionCount);
  EXPECT_EQ(ComputeFileImageCrc(&b), b.Header.CRC);
  for (uint32_t s = 0; s < a.SectionCount; ++s) {
    SCOPED_TRACE(testing::Message() << "section " << s);
    const file_section_header& ha = a.Sections[s].Header;
    const file_section_header& hb = b.Sections[s].Header;
    EXPECT_EQ(hb.Compression, type);
    EXPECT_EQ(ha.Compression, kNoCompression);
    EXPECT_EQ(ha.DataSize, ha.ExpandedDataSize);
    ASSERT_EQ(ha.ExpandedDataSize, hb.ExpandedDataSize);
    EXPECT_EQ(ha.First16BitOffset, hb.First16BitOffset);
    EXPECT_EQ(ha.First8BitOffset, hb.First8BitOffset);
    ASSERT_EQ(ha.FixupCount, hb.FixupCount);
    ASSERT_EQ(ha.MarshallingCount, hb.MarshallingCount);
    EXPECT_EQ(std::memcmp(a.Sections[s].Data, b.Sections[s].Data, ha.ExpandedDataSize), 0);
    if (ha.FixupCount != 0) {
      EXPECT_EQ(std::memcmp(a.Sections[s].Fixups, b.Sections[s].Fixups,
                            ha.FixupCount * sizeof(file_pointer_fixup)),
                0);
    }
    if (ha.MarshallingCount != 0) {
      EXPECT_EQ(std::memcmp(a.Sections[s].Marshallings, b.Sections[s].Marshallings,
                            ha.MarshallingCount * sizeof(file_mixed_marshalling_fixup)),
                0);
    }
  }
  CloseFileImage(&a);
  CloseFileImage(&b);
}

TEST(CompressedFiles, EveryPlatformAndTypeReadsBackAsTheUncompressedFile) {
  for (file_platform platform :
       {Platform32Little, Platform32Big, Platform64Little, Platform64Big}) {
    Bytes plain = test::BuildRichFile(platform);
    ASSERT_FALSE(plain.empty());
    for (uint32_t type : {0u, 2u, 3u, 4u}) {
      SCOPED_TRACE(testing::Message() << GetPlatformName(platform) << ", type " << type);
      uint32_t compression[kStandardSectionCount];
      for (uint32_t& c : compression) c = type;
      Bytes compressed = test::BuildRichFile(platform, compression);
      ASSERT_FALSE(compressed.empty());
      ExpectSameSections(plain, compressed, type);
      test::RichGraph graph;
      ketrel_file* file = ReadEntireFileFromMemory(compressed.data(), compressed.size());
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(test::CompareGraphs(FileInfoType, graph.Root(), file->RootType, file->RootObject),
                "");
      FreeFile(file);
    }
  }
}

// Sections large enough that every coder works for real: all three parts
// filled, an empty 16-bit part in one section, thousands of fix-ups (so the
// Tessik2 arrays are compressed) and marshalling records.
Bytes BuildLargeRawFile(uint32_t type) {
  file_builder* builder =
      BeginFileInMemory(3, 0x4B543201u, MakeMagicRecord(Platform64Little), 4096);
  for (uint32_t s = 0; s < 3; ++s) SetFileSectionFormat(builder, s, type, 8);
  file_location blocks[3][3];
  for (uint32_t s = 0; s < 3; ++s) {
    test::Bytes part0 = test::SectionLikeBytes(90000 + 1000 * s, s);
    test::Bytes part1 = test::SectionLikeBytes(s == 1 ? 0 : 30002, 10 + s);
    test::Bytes part2 = test::RandomBytes(70001, 20 + s);
    AddFileObject(builder, s, 4, static_cast<uint32_t>(part0.size()), part0.data(), &blocks[s][0]);
    if (!part1.empty()) {
      AddFileObject(builder, s, 2, static_cast<uint32_t>(part1.size()), part1.data(),
                    &blocks[s][1]);
    }
    AddFileObject(builder, s, 1, static_cast<uint32_t>(part2.size()), part2.data(), &blocks[s][2]);
  }
  for (uint32_t i = 0; i < 3000; ++i) {
    uint32_t from = i % 3, to = (i * 7) % 3;
    file_location target;
    OffsetFileLocation(builder, blocks[to][2], (i * 40) % 70000, &target);
    AddFilePointerFixup(builder, blocks[from][0], 8 * (i / 3) * 3, target);
  }
  for (uint32_t i = 0; i < 500; ++i) {
    file_location object;
    OffsetFileLocation(builder, blocks[i % 3][2], i * 100, &object);
    AddFileMarshallingFixup(builder, blocks[0][0], object, 1);
  }
  file_writer* writer = CreateMemoryFileWriter(4096, 1 << 20);
  Bytes bytes;
  if (EndFileToWriter(builder, writer)) {
    size_t size = 0;
    const auto* data = static_cast<const unsigned char*>(GetMemoryWriterBytes(writer, &size));
    bytes.assign(data, data + size);
  }
  DeleteFileWriter(writer);
  return bytes;
}

TEST(CompressedFiles, LargeSectionsAndArraysRoundTrip) {
  Bytes plain = BuildLargeRawFile(kNoCompression);
  ASSERT_FALSE(plain.empty());
  for (uint32_t type : {2u, 3u, 4u}) {
    SCOPED_TRACE(type);
    Bytes compressed = BuildLargeRawFile(type);
    ASSERT_FALSE(compressed.empty());
    // A third of every section is random; the rest must shrink.
    EXPECT_LT(compressed.size(), plain.size() * 9 / 10);
    ExpectSameSections(plain, compressed, type);
  }
}

// Sections compressed two at a time store the same bytes as one by one,
// whichever thread takes which, and a failing section fails the whole.
TEST(CompressedFiles, SharedSectionCompressionStoresWhatOneByOneDoes) {
  constexpr uint32_t kCount = 5;
  const uint32_t sizes[kCount] = {900000, 0, 700000, 64, 300000};
  std::mt19937 random(7);
  std::vector<Bytes> data(kCount);
  const void* expanded[kCount];
  for (uint32_t s = 0; s < kCount; ++s) {
    data[s].resize(sizes[s] + 16);
    for (size_t i = 0; i < sizes[s]; ++i) data[s][i] = uint8_t(i % 97 < 60 ? i % 13 : random());
    expanded[s] = data[s].data();
  }
  auto fresh = [&](stored_section* out, uint32_t type) {
    std::memset(out, 0, sizeof(stored_section) * kCount);
    for (uint32_t s = 0; s < kCount; ++s) {
      out[s].Header.Compression = s == 3 ? kNoCompression : type;
      out[s].Header.ExpandedDataSize = sizes[s];
      out[s].Header.First16BitOffset = sizes[s] / 2;
      out[s].Header.First8BitOffset = sizes[s] * 3 / 4;
    }
  };
  for (uint32_t type : {3u, 4u}) {
    SCOPED_TRACE(type);
    stored_section shared[kCount], single[kCount];
    fresh(shared, type);
    fresh(single, type);
    ASSERT_TRUE(StoreSectionsData(shared, expanded, kCount, false));
    for (uint32_t s = 0; s < kCount; ++s) {
      ASSERT_TRUE(StoreSectionData(&single[s], expanded[s], false));
      ASSERT_EQ(shared[s].DataBytes, single[s].DataBytes) << "section " << s;
      if (single[s].DataBytes > 0) {
        EXPECT_EQ(0, std::memcmp(shared[s].Data, single[s].Data, single[s].DataBytes));
      }
    }
    for (uint32_t s = 0; s < kCount; ++s) {
      FreeStoredSection(&shared[s]);
      FreeStoredSection(&single[s]);
    }
  }
  stored_section broken[kCount];
  fresh(broken, kTessik2Compression);
  broken[2].Header.Compression = 9;  // no such type
  EXPECT_FALSE(StoreSectionsData(broken, expanded, kCount, false));
  for (stored_section& section : broken) FreeStoredSection(&section);
}

}  // namespace
}  // namespace ketrel
