#include "rt/ketrel_variant_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_standard_types.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

struct Built {
  std::vector<unsigned char> type, object;
  data_type_definition* Type = nullptr;
  void* Object = nullptr;
  bool ok = false;
};

Built End(variant_builder* builder) {
  Built b;
  b.type.resize(GetResultingVariantTypeSize(builder));
  b.object.resize(GetResultingVariantObjectSize(builder));
  b.ok = EndVariant(builder, b.type.data(), b.object.data(), &b.Type, &b.Object);
  return b;
}

TEST(VariantBuilder, EmptyVariantHasEndRecordAndFourByteObject) {
  string_table* strings = NewStringTable();
  variant_builder* builder = BeginVariant(strings);
  EXPECT_EQ(GetResultingVariantTypeSize(builder), 44);
  EXPECT_EQ(GetResultingVariantObjectSize(builder), 4);
  Built b = End(builder);
  EXPECT_TRUE(b.ok);
  EXPECT_TRUE(IsEmptyDataType(b.Type));
  FreeStringTable(strings);
}

TEST(VariantBuilder, MembersLaidOutInOrderAsTheTypeSays) {
  string_table* strings = NewStringTable();
  variant_builder* builder = BeginVariant(strings);
  char note[] = "hello";
  EXPECT_TRUE(AddInt32Member(builder, "Flags", -3));
  EXPECT_TRUE(AddStringMember(builder, "Note", note));
  EXPECT_EQ(GetResultingVariantTypeSize(builder), 132);
  EXPECT_EQ(GetResultingVariantObjectSize(builder), 12);
  const float color[3] = {0.25f, 0.5f, 1.0f};
  bone target{};
  EXPECT_TRUE(AddReal32ArrayMember(builder, "Color", 3, color));
  EXPECT_TRUE(AddReferenceMember(builder, "Target", BoneType, &target));
  EXPECT_TRUE(AddReferenceToArrayMember(builder, "Bones", BoneType, 1, &target));
  EXPECT_TRUE(AddUInt32Member(builder, "Key", 0xFFFFFFFFu));
  Built b = End(builder);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(GetMemberCount(b.Type), 6);
  EXPECT_EQ(GetTotalObjectSize(b.Type), static_cast<int32_t>(b.object.size()));
  EXPECT_EQ(b.Type[1].Name, MapString(strings, "Note"));
  EXPECT_EQ(b.Type[3].ReferenceType, BoneType);

  found_member found;
  ASSERT_TRUE(FindMatchingMember(b.Type, 0, "note", &found));
  const char* stored;
  std::memcpy(&stored, b.object.data() + found.Offset, 8);
  EXPECT_EQ(stored, MapString(strings, "hello"));
  ASSERT_TRUE(FindMatchingMember(b.Type, 0, "Color", &found));
  EXPECT_EQ(ConvertMemberToReal32(Real32Member, b.object.data() + found.Offset + 4), 0.5f);
  ASSERT_TRUE(FindMatchingMember(b.Type, 0, "Bones", &found));
  int32_t count;
  void* array;
  std::memcpy(&count, b.object.data() + found.Offset, 4);
  std::memcpy(&array, b.object.data() + found.Offset + 4, 8);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(array, &target);
  FreeStringTable(strings);
}

TEST(VariantBuilder, FailedMemberFailsTheWholeVariant) {
  test::LogCapture log;
  string_table* strings = NewStringTable();
  MapString(strings, "A");  // the name is already interned: the entry is the next allocation
  variant_builder* builder = BeginVariant(strings);
  SetAllocationFailureCountdown(0);
  EXPECT_FALSE(AddInt32Member(builder, "A", 1));
  SetAllocationFailureCountdown(-1);
  EXPECT_TRUE(AddInt32Member(builder, "B", 2));
  Built b = End(builder);
  EXPECT_FALSE(b.ok);
  EXPECT_EQ(b.Type, nullptr);
  EXPECT_EQ(b.Object, nullptr);
  EXPECT_TRUE(log.Contains("Variant is incomplete"));
  FreeStringTable(strings);
}

TEST(VariantBuilder, BadArgumentsAndMissingMemory) {
  test::LogCapture log;
  EXPECT_EQ(BeginVariant(nullptr), nullptr);
  EXPECT_FALSE(AddInt32Member(nullptr, "X", 1));
  string_table* strings = NewStringTable();
  variant_builder* builder = BeginVariant(strings);
  AddInt32Member(builder, "X", 1);
  data_type_definition* type = reinterpret_cast<data_type_definition*>(1);
  void* object = &type;
  unsigned char memory[64];
  EXPECT_FALSE(EndVariant(builder, memory, nullptr, &type, &object));  // frees the builder
  EXPECT_EQ(type, nullptr);
  EXPECT_EQ(object, nullptr);
  builder = BeginVariant(strings);
  EXPECT_FALSE(AddReal32ArrayMember(builder, "Bad", 0, nullptr));
  AbortVariant(builder);
  FreeStringTable(strings);
  EXPECT_GE(log.errors(), 2u);
}

}  // namespace
}  // namespace ketrel
