#include "rt/ketrel_data_tree_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_platform_conversion.h"
#include "rt/ketrel_standard_types.h"
#include "tests/rt/test_ketrel_file_graph.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using type_table::M;

// An uncompressed native file, read back field by field.
struct WrittenFile {
  std::vector<unsigned char> bytes;
  file_header header{};
  std::vector<file_section_header> sections;
  std::vector<std::vector<file_pointer_fixup>> fixups;
  std::vector<std::vector<file_mixed_marshalling_fixup>> marshallings;

  const unsigned char* Data(uint32_t section) const {
    return bytes.data() + sections[section].DataOffset;
  }
  // The target of the pointer slot at (section, offset), or null.
  const file_pointer_fixup* At(uint32_t section, uint32_t offset) const {
    for (const file_pointer_fixup& f : fixups[section]) {
      if (f.FromOffset == offset) return &f;
    }
    return nullptr;
  }
  std::string StringAt(const file_pointer_fixup* f) const {
    return f == nullptr ? "<none>"
                        : reinterpret_cast<const char*>(Data(f->ToSection) + f->ToOffset);
  }
  size_t FixupCount() const {
    size_t n = 0;
    for (const auto& list : fixups) n += list.size();
    return n;
  }
};

WrittenFile Write(file_data_tree_writer* writer, file_platform platform = kNativePlatform) {
  WrittenFile file;
  file_builder* builder = BeginFileInMemory(8, 0x4B543254, MakeMagicRecord(platform), 4096);
  EXPECT_NE(builder, nullptr);
  EXPECT_TRUE(WriteDataTreeToFileBuilder(writer, builder));
  file_writer* out = CreateMemoryFileWriter(-1, 4096);
  EXPECT_TRUE(EndFileToWriter(builder, out));
  size_t size = 0;
  const unsigned char* bytes = static_cast<const unsigned char*>(GetMemoryWriterBytes(out, &size));
  file.bytes.assign(bytes, bytes + size);
  DeleteFileWriter(out);
  if (platform != kNativePlatform) return file;
  std::memcpy(&file.header, file.bytes.data() + kMagicRecordSize, sizeof(file.header));
  file.sections.resize(file.header.SectionArrayCount);
  file.fixups.resize(file.sections.size());
  file.marshallings.resize(file.sections.size());
  for (size_t i = 0; i < file.sections.size(); ++i) {
    file_section_header& s = file.sections[i];
    std::memcpy(&s, file.bytes.data() + kFileOpeningSize + i * kSectionHeaderSize, sizeof(s));
    EXPECT_EQ(s.Compression, 0u);
    file.fixups[i].resize(s.FixupCount);
    if (s.FixupCount) {
      std::memcpy(file.fixups[i].data(), file.bytes.data() + s.FixupOffset,
                  s.FixupCount * kFixupRecordSize);
    }
    file.marshallings[i].resize(s.MarshallingCount);
    if (s.MarshallingCount) {
      std::memcpy(file.marshallings[i].data(), file.bytes.data() + s.MarshallingOffset,
                  s.MarshallingCount * kMarshallingRecordSize);
    }
  }
  return file;
}

#pragma pack(push, 1)
struct Item {
  int32_t Value;
  const char* Label;
};
struct Holder {
  Item* First;
  Item* Second;
  int32_t ItemCount;
  Item* Items;
  variant Extra;
  variant Other;
};
#pragma pack(pop)

data_type_definition ItemType[] = {M(Int32Member, "Value"), M(StringMember, "Label"), {}};
data_type_definition HolderType[] = {
    M(ReferenceMember, "First", ItemType),        M(ReferenceMember, "Second", ItemType),
    M(ReferenceToArrayMember, "Items", ItemType), M(VariantReferenceMember, "Extra"),
    M(VariantReferenceMember, "Other"),           {}};

TEST(DataTreeWriter, TwiceReferencedObjectIsWrittenOnce) {
  char label[] = "shared";
  Item item{7, label};
  Holder holder{};
  holder.First = &item;
  holder.Second = &item;
  file_data_tree_writer* writer = BeginFileDataTreeWriting(HolderType, &holder, 0, 0);
  ASSERT_NE(writer, nullptr);
  WrittenFile file = Write(writer);
  EndFileDataTreeWriting(writer);

  EXPECT_EQ(file.header.RootObject.SectionIndex, 0u);
  const uint32_t root = file.header.RootObject.Offset;
  const file_pointer_fixup* first = file.At(0, root + 0);
  const file_pointer_fixup* second = file.At(0, root + 8);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->ToOffset, second->ToOffset);
  int32_t value;
  std::memcpy(&value, file.Data(0) + first->ToOffset, 4);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(file.StringAt(file.At(0, first->ToOffset + 4)), "shared");
  // Pointer slots hold zero in the file; the fix-ups carry the targets.
  uint64_t slot;
  std::memcpy(&slot, file.Data(0) + root, 8);
  EXPECT_EQ(slot, 0u);
}

TEST(DataTreeWriter, EqualTypesAndEqualTextsAreWrittenOnce) {
  // Two distinct definitions with the same members and names, one differing
  // only in case.
  data_type_definition a[] = {M(Real32Member, "Weight"), M(StringMember, "Name"), {}};
  data_type_definition b[] = {M(Real32Member, "Weight"), M(StringMember, "Name"), {}};
  data_type_definition c[] = {M(Real32Member, "weight"), M(StringMember, "Name"), {}};
  EXPECT_EQ(ComputeTypeCrc(a), ComputeTypeCrc(b));
  EXPECT_NE(ComputeTypeCrc(a), ComputeTypeCrc(c));
  EXPECT_EQ(ComputeTypeCrc(EmptyType), 0u);
#pragma pack(push, 1)
  struct Extra {
    float Weight;
    const char* Name;
  };
#pragma pack(pop)
  char name1[] = "same", name2[] = "same";
  Extra e1{1.0f, name1}, e2{2.0f, name2};
  Holder holder{};
  holder.Extra = variant{a, &e1};
  holder.Other = variant{b, &e2};
  file_data_tree_writer* writer = BeginFileDataTreeWriting(HolderType, &holder, 0, 0);
  WrittenFile file = Write(writer);
  const uint32_t root = file.header.RootObject.Offset;
  const file_pointer_fixup* typeA = file.At(0, root + 28);
  const file_pointer_fixup* typeB = file.At(0, root + 44);
  ASSERT_NE(typeA, nullptr);
  ASSERT_NE(typeB, nullptr);
  EXPECT_EQ(typeA->ToOffset, typeB->ToOffset);
  const file_pointer_fixup* object1 = file.At(0, root + 36);
  const file_pointer_fixup* object2 = file.At(0, root + 52);
  ASSERT_NE(object1, nullptr);
  ASSERT_NE(object2, nullptr);
  EXPECT_NE(object1->ToOffset, object2->ToOffset);
  // Equal texts from different buffers share one block.
  EXPECT_EQ(file.At(0, object1->ToOffset + 4)->ToOffset,
            file.At(0, object2->ToOffset + 4)->ToOffset);
  // Member names are written as strings too.
  EXPECT_EQ(file.StringAt(file.At(0, typeA->ToOffset + 44 + 4)), "Name");
  EndFileDataTreeWriting(writer);

  // Types differing in the case of a name, or in their owners' Extra words,
  // are types of their own.
  data_type_definition d[] = {M(Real32Member, "Weight"), M(StringMember, "Name"), {}};
  d[1].Extra[2] = 9;
  holder.Other = variant{d, &e2};
  writer = BeginFileDataTreeWriting(HolderType, &holder, 0, 0);
  file = Write(writer);
  EndFileDataTreeWriting(writer);
  EXPECT_NE(file.At(0, root + 28)->ToOffset, file.At(0, root + 44)->ToOffset);
  holder.Other = variant{c, &e2};
  writer = BeginFileDataTreeWriting(HolderType, &holder, 0, 0);
  file = Write(writer);
  EndFileDataTreeWriting(writer);
  EXPECT_NE(file.At(0, root + 28)->ToOffset, file.At(0, root + 44)->ToOffset);
}

TEST(DataTreeWriter, NormalisesEmptyReferencesInPlace) {
  Item items[2] = {{1, nullptr}, {2, nullptr}};
  Holder holder{};
  holder.ItemCount = 0;
  holder.Items = items;  // count 0: written as {0, null}
  data_type_definition typeOnly[] = {M(Int32Member, "X"), {}};
  holder.Extra = variant{typeOnly, nullptr};  // a type without an object is kept
  holder.Other = variant{nullptr, items};     // an object without a type is dropped
  file_data_tree_writer* writer = BeginFileDataTreeWriting(HolderType, &holder, 0, 0);
  WrittenFile file = Write(writer);
  EndFileDataTreeWriting(writer);
  EXPECT_EQ(holder.ItemCount, 0);
  EXPECT_EQ(static_cast<Item*>(holder.Items), nullptr);
  EXPECT_EQ(static_cast<void*>(holder.Other.Object), nullptr);
  const uint32_t root = file.header.RootObject.Offset;
  EXPECT_EQ(file.At(0, root + 20), nullptr);
  EXPECT_NE(file.At(0, root + 28), nullptr);  // the variant's type
  EXPECT_EQ(file.At(0, root + 36), nullptr);
  EXPECT_EQ(file.At(0, root + 44), nullptr);
}

TEST(DataTreeWriter, SectionsByDefaultTypeAndObject) {
  char label[] = "text";
  Item first{1, label}, second{2, nullptr};
  Item items[2] = {{3, nullptr}, {4, nullptr}};
  Holder holder{};
  holder.First = &first;
  holder.Second = &second;
  holder.ItemCount = 2;
  holder.Items = items;
  file_data_tree_writer* writer = BeginFileDataTreeWriting(HolderType, &holder, 6, 1);
  SetFileSectionForObjectsOfType(writer, ItemType, 2);
  SetFileSectionForObject(writer, &second, 3);
  SetFileSectionForObjectsOfType(writer, StringType, 4);
  WrittenFile file = Write(writer);
  EndFileDataTreeWriting(writer);
  EXPECT_EQ(file.header.RootObject.SectionIndex, 1u);
  EXPECT_EQ(file.header.RootObjectTypeDefinition.SectionIndex, 6u);
  const uint32_t root = file.header.RootObject.Offset;
  EXPECT_EQ(file.At(1, root + 0)->ToSection, 2u);   // by type
  EXPECT_EQ(file.At(1, root + 8)->ToSection, 3u);   // by object
  EXPECT_EQ(file.At(1, root + 20)->ToSection, 1u);  // arrays stay with their holder
  const file_pointer_fixup* toFirst = file.At(1, root + 0);
  EXPECT_EQ(file.At(2, toFirst->ToOffset + 4)->ToSection, 4u);  // strings by the strings type
  EXPECT_EQ(file.StringAt(file.At(2, toFirst->ToOffset + 4)), "text");
}

TEST(DataTreeWriter, ExcludedTypeTreeKeepsVariantAndMixedTypes) {
  data_type_definition vertex[] = {
      M(Real32Member, "Position", nullptr, 3), M(NormalUInt8Member, "BoneWeights", nullptr, 4), {}};
#pragma pack(push, 1)
  struct Vertex {
    float Position[3];
    uint8_t Weights[4];
  };
#pragma pack(pop)
  Vertex vertices[3] = {};
  vertex_data data{};
  data.Vertices = variant_array{vertex, 3, vertices};
  file_data_tree_writer* writer = BeginFileDataTreeWriting(VertexDataType, &data, 0, 0);
  SetFileDataTreeFlags(writer, ExcludeTypeTree);
  WrittenFile file = Write(writer);
  EndFileDataTreeWriting(writer);
  // The root type is a lone, all-zero end record.
  const file_reference rootType = file.header.RootObjectTypeDefinition;
  const unsigned char* definition = file.Data(rootType.SectionIndex) + rootType.Offset;
  EXPECT_EQ(std::vector<unsigned char>(definition, definition + 44),
            std::vector<unsigned char>(44, 0));
  // The vertex array is mixed: it has a marshalling record naming its type.
  const uint32_t root = file.header.RootObject.Offset;
  const file_pointer_fixup* type = file.At(0, root + 0);
  const file_pointer_fixup* array = file.At(0, root + 12);
  ASSERT_NE(type, nullptr);
  ASSERT_NE(array, nullptr);
  ASSERT_EQ(file.marshallings[0].size(), 1u);
  EXPECT_EQ(file.marshallings[0][0].Count, 3u);
  EXPECT_EQ(file.marshallings[0][0].Offset, array->ToOffset);
  EXPECT_EQ(file.marshallings[0][0].TypeOffset, type->ToOffset);
  EXPECT_EQ(file.StringAt(file.At(0, type->ToOffset + 4)), "Position");
}

TEST(DataTreeWriter, FullTypeTreeDescribesTheRoot) {
  data_type_definition rootType[] = {M(StringMember, "Name"),
                                     M(InlineMember, "Inner", ItemType),
                                     M(ArrayOfReferencesMember, "Refs", ItemType),
                                     {}};
#pragma pack(push, 1)
  struct Root {
    const char* Name;
    Item Inner;
    int32_t RefCount;
    Item** Refs;
  };
#pragma pack(pop)
  char label[] = "inner";
  Item shared{5, nullptr};
  Item* refs[3] = {&shared, nullptr, &shared};
  Root object{nullptr, {1, label}, 3, refs};
  file_data_tree_writer* writer = BeginFileDataTreeWriting(rootType, &object, 0, 0);
  WrittenFile file = Write(writer);
  // Writing again into a new builder is a new pass: the same layout again.
  WrittenFile again = Write(writer);
  EndFileDataTreeWriting(writer);
  EXPECT_EQ(file.bytes, again.bytes);

  const uint32_t root = file.header.RootObject.Offset;
  EXPECT_EQ(file.StringAt(file.At(0, root + 12)), "inner");  // inside the inline member
  const file_pointer_fixup* pointers = file.At(0, root + 24);
  ASSERT_NE(pointers, nullptr);
  EXPECT_EQ(file.At(0, pointers->ToOffset)->ToOffset,
            file.At(0, pointers->ToOffset + 16)->ToOffset);
  EXPECT_EQ(file.At(0, pointers->ToOffset + 8), nullptr);

  const uint32_t type = file.header.RootObjectTypeDefinition.Offset;
  EXPECT_EQ(file.StringAt(file.At(0, type + 4)), "Name");
  EXPECT_EQ(file.StringAt(file.At(0, type + 44 + 4)), "Inner");
  const file_pointer_fixup* inner = file.At(0, type + 44 + 12);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(file.StringAt(file.At(0, inner->ToOffset + 44 + 4)), "Label");
  EXPECT_EQ(file.At(0, type + 12), nullptr);  // a string member refers to no type
  // Reserved words never carry this process's addresses.
  uint64_t ignored;
  std::memcpy(&ignored, file.Data(0) + type + 36, 8);
  EXPECT_EQ(ignored, 0u);
}

TEST(DataTreeWriter, WholeFileReadsBackOnEveryPlatform) {
  for (uint32_t p = 0; p < PlatformCount; ++p) {
    const file_platform platform = static_cast<file_platform>(p);
    test::RichGraph graph;
    file_data_tree_writer* writer = BeginFileDataTreeWriting(FileInfoType, graph.Root(), 0, 0);
    // Asked to leave the type tree out; other platforms keep it anyway.
    if (platform != kNativePlatform) SetFileDataTreeFlags(writer, ExcludeTypeTree);
    WrittenFile file = Write(writer, platform);
    EndFileDataTreeWriting(writer);
    ketrel_file* read = ReadEntireFileFromMemory(file.bytes.data(), file.bytes.size());
    ASSERT_NE(read, nullptr) << GetPlatformName(platform);
    test::RichGraph expected;
    EXPECT_EQ(test::CompareGraphs(FileInfoType, expected.Root(), read->RootType, read->RootObject),
              "")
        << GetPlatformName(platform);
    FreeFile(read);
  }
}

// The builder hands its native image to the converter without copying it; that must give the
// same bytes as converting the written native file read back through a reader.
TEST(DataTreeWriter, BuilderConversionMatchesConvertingTheNativeFile) {
  std::vector<unsigned char> native;
  {
    test::RichGraph graph;
    file_data_tree_writer* writer = BeginFileDataTreeWriting(FileInfoType, graph.Root(), 0, 0);
    native = Write(writer).bytes;
    EndFileDataTreeWriting(writer);
  }
  ASSERT_FALSE(native.empty());
  const uint32_t noCompression[8] = {};
  for (uint32_t p = 0; p < PlatformCount; ++p) {
    const file_platform platform = static_cast<file_platform>(p);
    if (platform == kNativePlatform) continue;
    test::RichGraph graph;
    file_data_tree_writer* writer = BeginFileDataTreeWriting(FileInfoType, graph.Root(), 0, 0);
    WrittenFile built = Write(writer, platform);
    EndFileDataTreeWriting(writer);

    file_reader* reader = CreateMemoryFileReader(native.data(), native.size());
    file_writer* out = CreateMemoryFileWriter(-1, 4096);
    ASSERT_TRUE(PlatformConvertReaderToWriter(reader, out, MakeMagicRecord(platform), false,
                                              kFileAlignment, 8, noCompression))
        << GetPlatformName(platform);
    size_t size = 0;
    auto* bytes = static_cast<const unsigned char*>(GetMemoryWriterBytes(out, &size));
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + size), built.bytes)
        << GetPlatformName(platform);
    DeleteFileWriter(out);
    DeleteFileReader(reader);
  }
}

TEST(DataTreeWriter, LongerArrayAtAWrittenAddressGetsAFullBlock) {
  data_type_definition twoArrays[] = {M(ReferenceToArrayMember, "Short", Int32Type),
                                      M(ReferenceToArrayMember, "Long", Int32Type),
                                      M(ReferenceToArrayMember, "Again", Int32Type),
                                      {}};
#pragma pack(push, 1)
  struct Arrays {
    int32_t ShortCount;
    int32_t* Short;
    int32_t LongCount;
    int32_t* Long;
    int32_t AgainCount;
    int32_t* Again;
  };
#pragma pack(pop)
  int32_t values[4] = {10, 20, 30, 40};
  Arrays arrays{2, values, 4, values, 3, values};
  file_data_tree_writer* writer = BeginFileDataTreeWriting(twoArrays, &arrays, 0, 0);
  WrittenFile file = Write(writer);
  EndFileDataTreeWriting(writer);
  const uint32_t root = file.header.RootObject.Offset;
  const file_pointer_fixup* longer = file.At(0, root + 16);
  ASSERT_NE(longer, nullptr);
  EXPECT_NE(file.At(0, root + 4)->ToOffset, longer->ToOffset);
  EXPECT_EQ(file.At(0, root + 28)->ToOffset, longer->ToOffset);  // fits in the longer block
  int32_t read[4];
  std::memcpy(read, file.Data(0) + longer->ToOffset, sizeof(read));
  EXPECT_EQ(read[3], 40);
}

TEST(DataTreeWriter, LongChainOfReferencesDoesNotExhaustTheStack) {
  data_type_definition node[3] = {};
  node[0] = M(ReferenceMember, "Next", node);
  node[1] = M(Int32Member, "Value");
#pragma pack(push, 1)
  struct Node {
    Node* Next;
    int32_t Value;
  };
#pragma pack(pop)
  constexpr int kCount = 200000;
  std::vector<Node> list(kCount);
  for (int i = 0; i < kCount; ++i) list[i] = Node{i + 1 < kCount ? &list[i + 1] : nullptr, i};
  file_data_tree_writer* writer = BeginFileDataTreeWriting(node, list.data(), 0, 0);
  WrittenFile file = Write(writer);
  EndFileDataTreeWriting(writer);
  // The links, then the type's two member names and its reference to itself.
  EXPECT_EQ(file.fixups[0].size(), size_t{kCount - 1} + 3);
}

TEST(DataTreeWriter, BadArguments) {
  test::LogCapture log;
  int32_t value = 0;
  EXPECT_EQ(BeginFileDataTreeWriting(nullptr, &value, 0, 0), nullptr);
  EXPECT_EQ(BeginFileDataTreeWriting(Int32Type, nullptr, 0, 0), nullptr);
  file_data_tree_writer* writer = BeginFileDataTreeWriting(Int32Type, &value, 0, 0);
  EXPECT_FALSE(WriteDataTreeToFileBuilder(writer, nullptr));
  EndFileDataTreeWriting(writer);
  EndFileDataTreeWriting(nullptr);
  EXPECT_EQ(log.errors(), 3u);
}

}  // namespace
}  // namespace ketrel
