#include <gtest/gtest.h>

#include <cstring>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_standard_types.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using type_table::M;

TEST(DataTypeSizes, MemberTableRowsAndBadTypes) {
  EXPECT_EQ(GetMemberTypeSizeForPointerSize(ReferenceToVariantArrayMember, 32), 12);
  EXPECT_EQ(GetMemberTypeSizeForPointerSize(ReferenceToVariantArrayMember, 64), 20);
  EXPECT_EQ(GetMemberTypeSizeForPointerSize(VariantReferenceMember, 32), 8);
  EXPECT_EQ(GetMemberTypeSizeForPointerSize(TransformMember, 32), 68);
  EXPECT_EQ(GetMemberTypeSizeForPointerSize(Int16Member, 16), 0);
  EXPECT_STREQ(GetMemberTypeInfo(ArrayOfReferencesMember)->CTypeName, "void **");
  EXPECT_EQ(GetMemberTypeInfo(StringMember)->Marshalling, 4);
  EXPECT_EQ(GetMemberTypeInfo(EmptyReferenceMember)->Marshalling, 0);

  test::LogCapture log;
  EXPECT_EQ(GetMemberTypeSizeForPointerSize(InlineMember, 64), 0);
  EXPECT_EQ(GetMemberTypeInfo(23), nullptr);
  data_type_definition badInline[] = {M(InlineMember, "X"), {}};
  EXPECT_EQ(GetTotalObjectSize(badInline), 0);
  EXPECT_EQ(log.errors(), 3u);
  EXPECT_TRUE(log.Contains("Parameter check failed. (Verbose logging disabled)"));
}

TEST(DataTypeSizes, PointerMembersIgnoreWidthWithComplaint) {
  test::LogCapture log;
  data_type_definition type[] = {M(StringMember, "S", nullptr, 3), {}};
  EXPECT_EQ(GetMemberArrayWidth(type), 1);
  EXPECT_EQ(GetTotalObjectSize(type), 8);
  EXPECT_GE(log.errors(), 1u);
}

TEST(DataTypeSizes, StandardTypesAtBothPointerSizes) {
  struct Expected {
    const char* name;
    int32_t size64, size32;
  };
  const Expected expected[] = {
      {"animation", 56, 40},
      {"art_tool_info", 88, 76},
      {"curve2", 16, 8},
      {"exporter_info", 40, 28},
      {"material_map", 16, 8},
      {"material", 44, 24},
      {"bone_binding", 44, 36},
      {"material_binding", 8, 4},
      {"morph_target", 20, 12},
      {"mesh", 76, 44},
      {"model_mesh_binding", 8, 4},
      {"model", 112, 92},
      {"periodic_loop", 48, 48},
      {"pixel_layout", 36, 36},
      {"bone", 164, 152},
      {"skeleton", 40, 24},
      {"strings", 8, 4},
      {"texture_mip_level", 16, 12},
      {"texture_image", 12, 8},
      {"texture", 92, 76},
      {"vector_track", 32, 20},
      {"transform_track", 60, 32},
      {"text_track_entry", 12, 8},
      {"text_track", 20, 12},
      {"track_group", 164, 132},
      {"tri_material_group", 12, 12},
      {"tri_annotation_set", 44, 28},
      {"tri_topology", 132, 88},
      {"vertex_annotation_set", 44, 28},
      {"vertex_data", 44, 28},
  };
  ASSERT_EQ(GetStandardTypeCount(), 30);
  for (const Expected& e : expected) {
    const standard_type_entry* entry = FindStandardTypeByName(e.name);
    ASSERT_NE(entry, nullptr) << e.name;
    EXPECT_EQ(GetTotalObjectSize(entry->Type), e.size64) << e.name;
    EXPECT_EQ(GetTotalObjectSizeForPointerSize(entry->Type, 32), e.size32) << e.name;
  }
  EXPECT_EQ(GetTotalObjectSize(FileInfoType), 148);
  EXPECT_EQ(GetTotalObjectSizeForPointerSize(FileInfoType, 32), 92);
  EXPECT_EQ(GetTotalTypeSize(FileInfoType), 616);
  EXPECT_EQ(GetTotalObjectSize(EmptyType), 0);
  EXPECT_EQ(GetTotalTypeSize(EmptyType), 44);
}

TEST(DataTypeSizes, RegistryOrderAndIdentifiers) {
  EXPECT_EQ(GetStandardType(0)->Identifier, 0x10001u);
  EXPECT_STREQ(GetStandardType(13)->Name, "pixel_layout");
  EXPECT_EQ(GetStandardType(14)->Identifier, 0x10011u);
  EXPECT_EQ(GetStandardType(29)->Type, VertexDataType);
  EXPECT_EQ(FindStandardTypeByIdentifier(0x1000F), nullptr);
  EXPECT_EQ(FindStandardTypeByIdentifier(0x10013)->Type, StringType);
  test::LogCapture log;
  EXPECT_EQ(GetStandardType(30), nullptr);
  EXPECT_EQ(log.errors(), 1u);
}

TEST(DataTypeMarshalling, StandardTypesAreUniform) {
  for (int32_t i = 0; i < GetStandardTypeCount(); ++i) {
    const standard_type_entry* entry = GetStandardType(i);
    const uint32_t expected = (std::strcmp(entry->Name, "curve2") == 0 ||
                               std::strcmp(entry->Name, "material_binding") == 0 ||
                               std::strcmp(entry->Name, "model_mesh_binding") == 0)
                                  ? 0u
                                  : 4u;
    EXPECT_EQ(GetObjectMarshalling(entry->Type), expected) << entry->Name;
  }
  EXPECT_EQ(GetObjectMarshalling(FileInfoType), 4u);
}

TEST(DataTypeMarshalling, MixedVertexTypeAndInlineContribution) {
  data_type_definition vertex[] = {M(Real32Member, "Position", nullptr, 3),
                                   M(NormalUInt8Member, "BoneWeights", nullptr, 4),
                                   M(Real16Member, "TextureCoordinates0", nullptr, 2),
                                   {}};
  EXPECT_EQ(GetObjectMarshalling(vertex), 7u);
  EXPECT_TRUE(IsMixedMarshalling(7));
  EXPECT_FALSE(IsMixedMarshalling(4));
  EXPECT_FALSE(IsMixedMarshalling(0));
  data_type_definition holder[] = {M(InlineMember, "V", vertex, 2), {}};
  EXPECT_EQ(GetObjectMarshalling(holder), 7u);
  EXPECT_EQ(GetTotalObjectSize(holder), 2 * (12 + 4 + 4));
}

TEST(DataTypePointers, WhatCountsAsAPointer) {
  EXPECT_TRUE(DataTypeHasPointers(BoneType));
  EXPECT_FALSE(DataTypeHasPointers(PixelLayoutType));
  EXPECT_FALSE(DataTypeHasPointers(EmptyType));
  data_type_definition untyped[] = {M(ReferenceMember, "R"), M(EmptyReferenceMember, "E"), {}};
  EXPECT_FALSE(DataTypeHasPointers(untyped));
  data_type_definition viaInline[] = {M(Int32Member, "I"), M(InlineMember, "C", Curve2Type), {}};
  EXPECT_TRUE(DataTypeHasPointers(viaInline));
}

TEST(DataTypeSizes, CyclicInlineTypeDoesNotRecurseForever) {
  test::LogCapture log;
  data_type_definition a[2] = {};
  a[0] = M(InlineMember, "Self", a);
  EXPECT_EQ(GetTotalObjectSize(a), 0);
  EXPECT_GE(log.errors(), 1u);
}

}  // namespace
}  // namespace ketrel
