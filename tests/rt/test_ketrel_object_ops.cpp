#include "rt/ketrel_object_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_half.h"
#include "rt/ketrel_standard_types.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using type_table::M;

// Converts one element of `sourceType` holding `value` into `destType`.
template <typename D, typename S>
D ConvertOne(member_type sourceType, S value, member_type destType) {
  data_type_definition source[] = {M(sourceType, "V"), {}};
  data_type_definition dest[] = {M(destType, "v"), {}};
  D out{};
  EXPECT_TRUE(ConvertSingleObject(source, &value, dest, &out));
  return out;
}

TEST(ObjectClearing, TransformsBecomeIdentityAndInlineRecurses) {
  model m;
  std::memset(&m, 0xAB, sizeof(m));
  EXPECT_EQ(MakeEmptyDataTypeObject(ModelType, &m), 112);
  EXPECT_EQ(static_cast<const char*>(m.Name), nullptr);
  EXPECT_EQ(m.InitialPlacement.Flags, 0u);
  EXPECT_EQ(m.InitialPlacement.Orientation[3], 1.0f);
  EXPECT_EQ(m.InitialPlacement.ScaleShear[1][1], 1.0f);
  EXPECT_EQ(m.InitialPlacement.ScaleShear[0][1], 0.0f);
  EXPECT_EQ(static_cast<void*>(m.ExtendedData.Object), nullptr);

  transform_track track;
  std::memset(&track, 0xCD, sizeof(track));
  EXPECT_EQ(MakeEmptyDataTypeObject(TransformTrackType, &track), 60);
  EXPECT_EQ(static_cast<data_type_definition*>(track.ScaleShearCurve.CurveData.Type), nullptr);
  EXPECT_EQ(track.Flags, 0);
}

TEST(TypeComparison, NamesCaseAndStructure) {
  data_type_definition a[] = {M(Real32Member, "Position", nullptr, 3), {}};
  data_type_definition b[] = {M(Real32Member, "position", nullptr, 3), {}};
  data_type_definition c[] = {M(Real32Member, "Position", nullptr, 4), {}};
  data_type_definition longer[] = {
      M(Real32Member, "Position", nullptr, 3), M(Int32Member, "X"), {}};
  EXPECT_TRUE(DataTypesAreEqual(a, b, nullptr));
  EXPECT_FALSE(DataTypesAreEqualWithNames(a, b));
  EXPECT_FALSE(DataTypesAreEqual(a, c, nullptr));
  EXPECT_FALSE(DataTypesAreEqual(a, longer, nullptr));
  EXPECT_FALSE(DataTypesAreEqual(longer, a, nullptr));
  EXPECT_TRUE(DataTypesAreEqual(nullptr, nullptr, nullptr));
  EXPECT_FALSE(DataTypesAreEqual(a, nullptr, nullptr));

  found_member found;
  EXPECT_TRUE(FindMatchingMember(longer, 100, "x", &found));
  EXPECT_EQ(found.Member, &longer[1]);
  EXPECT_EQ(found.Offset, 112);
  EXPECT_TRUE(FindMatchingMember(a, 0, "position", nullptr));
  EXPECT_FALSE(FindMatchingMember(a, 0, "Normal", &found));
  EXPECT_EQ(found.Member, nullptr);
  EXPECT_EQ(found.Offset, 0);
}

TEST(TypeComparison, MutuallyReferencingPairsTerminate) {
  // Two copies of the material <-> material_map cycle.
  data_type_definition mapA[3] = {}, matA[3] = {}, mapB[3] = {}, matB[3] = {};
  matA[0] = M(StringMember, "Name");
  matA[1] = M(ReferenceToArrayMember, "Maps", mapA);
  mapA[0] = M(StringMember, "Usage");
  mapA[1] = M(ReferenceMember, "Map", matA);
  matB[0] = M(StringMember, "Name");
  matB[1] = M(ReferenceToArrayMember, "Maps", mapB);
  mapB[0] = M(StringMember, "Usage");
  mapB[1] = M(ReferenceMember, "Map", matB);
  EXPECT_TRUE(DataTypesAreEqualWithNames(matA, matB));
  EXPECT_FALSE(DataTypesAreEqualWithNames(matA, MaterialType));  // the real one is longer
  mapB[0].Name = "Purpose";
  EXPECT_FALSE(DataTypesAreEqualWithNames(matA, matB));
  EXPECT_TRUE(DataTypesAreEqual(matA, matB, nullptr));
}

TEST(TypeComparison, RemovedMemberTypeWarnsAndIsSkipped) {
  test::LogCapture log;
  data_type_definition a[] = {M(RemovedSwitchableMember, "Old"), M(Int32Member, "I"), {}};
  data_type_definition b[] = {M(Int32Member, "I"), {}};
  EXPECT_TRUE(DataTypesAreEqual(a, b, nullptr));
  EXPECT_TRUE(log.Contains("Switchable types no longer supported in Ketrel 2.7+"));
}

TEST(MemberConversion, SpecifiedValues) {
  EXPECT_EQ((ConvertOne<uint8_t>(Real32Member, 0.6f, NormalUInt8Member)), 153);
  EXPECT_EQ((ConvertOne<int32_t>(Real32Member, -0.6f, Int32Member)), -1);  // half away from zero
  EXPECT_EQ((ConvertOne<int32_t>(Real32Member, -0.4f, Int32Member)), 0);
  EXPECT_EQ((ConvertOne<int32_t>(Real32Member, -2.5f, Int32Member)), -3);
  EXPECT_EQ((ConvertOne<float>(Int8Member, int8_t{-1}, Real32Member)), -1.0f);
  EXPECT_EQ((ConvertOne<float>(UInt8Member, uint8_t{255}, Real32Member)), 255.0f);
  EXPECT_EQ((ConvertOne<int32_t>(BinormalInt8Member, int8_t{64}, Int32Member)), 1);
  EXPECT_EQ((ConvertOne<int32_t>(BinormalInt8Member, int8_t{-64}, Int32Member)), -1);
  EXPECT_EQ((ConvertOne<int32_t>(BinormalInt8Member, int8_t{63}, Int32Member)), 0);
  EXPECT_EQ((ConvertOne<int16_t>(Real32Member, -1.0f, BinormalInt16Member)), -32767);
  EXPECT_EQ((ConvertOne<int8_t>(Real32Member, -0.5f, BinormalInt8Member)), -64);
  EXPECT_NEAR((ConvertOne<float>(NormalUInt16Member, uint16_t{65535}, Real32Member)), 1.0f, 1e-6);
}

TEST(MemberConversion, SaturatesAndMapsNaNToZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ((ConvertOne<int32_t>(Real32Member, 3e9f, Int32Member)), INT32_MAX);
  EXPECT_EQ((ConvertOne<int32_t>(Real32Member, -3e9f, Int32Member)), INT32_MIN);
  EXPECT_EQ((ConvertOne<int32_t>(Real32Member, nan, Int32Member)), 0);
  EXPECT_EQ((ConvertOne<uint8_t>(Real32Member, 2.0f, NormalUInt8Member)), 255);
  EXPECT_EQ((ConvertOne<uint8_t>(Real32Member, -0.3f, NormalUInt8Member)), 0);
  EXPECT_EQ((ConvertOne<int8_t>(Real32Member, 7.0f, BinormalInt8Member)), 127);
  EXPECT_EQ((ConvertOne<uint8_t>(Int32Member, int32_t{300}, UInt8Member)), 255);
  EXPECT_EQ((ConvertOne<int16_t>(Int32Member, int32_t{-40000}, Int16Member)), -32768);
  EXPECT_EQ((ConvertOne<uint32_t>(Real32Member, 3e9f, UInt32Member)), 3000000000u);
  EXPECT_EQ((ConvertOne<uint16_t>(Real32Member, nan, NormalUInt16Member)), 0);
  const float infinity = std::numeric_limits<float>::infinity();
  EXPECT_EQ(ConvertMemberToInt32(Real32Member, &infinity), INT32_MAX);
}

TEST(MemberConversion, TextBothWays) {
  const char* number = "-12.75xyz";
  EXPECT_EQ(ConvertMemberToReal32(StringMember, &number), -12.75f);
  EXPECT_EQ(ConvertMemberToInt32(StringMember, &number), -12);
  const char* none = nullptr;
  EXPECT_EQ(ConvertMemberToInt32(StringMember, &none), 0);

  struct Source {
    float Real;
    int32_t Int;
    uint32_t Big;
  };
  data_type_definition sourceType[] = {
      M(Real32Member, "A"), M(Int32Member, "B"), M(UInt32Member, "C"), {}};
  data_type_definition destType[] = {
      M(StringMember, "A"), M(StringMember, "B"), M(StringMember, "C"), {}};
  Source source{1.5f, -42, 4000000000u};
  const char* dest[3] = {"x", "y", "z"};

  // A first pass without an area only measures.
  conversion_string_area measure;
  EXPECT_TRUE(ConvertSingleObject(sourceType, &source, destType, dest, {}, &measure));
  EXPECT_EQ(measure.FillOffset, 12 + 4 + 12);  // "1.500000", "-42", "4000000000"
  EXPECT_EQ(dest[0], nullptr);

  char area[28];
  conversion_string_area strings{area, sizeof(area), 0};
  EXPECT_TRUE(ConvertSingleObject(sourceType, &source, destType, dest, {}, &strings));
  EXPECT_STREQ(dest[0], "1.500000");
  EXPECT_STREQ(dest[1], "-42");
  EXPECT_STREQ(dest[2], "4000000000");
  EXPECT_EQ(strings.FillOffset, 28);

  test::LogCapture log;
  conversion_string_area tooSmall{area, 20, 0};
  EXPECT_FALSE(ConvertSingleObject(sourceType, &source, destType, dest, {}, &tooSmall));
  EXPECT_EQ(dest[2], nullptr);
  EXPECT_EQ(log.errors(), 1u);
}

TEST(ObjectConversion, ByNameWithInlineAndUnmatchedMembers) {
  struct Src {
    int32_t Count;
    float Weights[4];
    transform_track Track;
  };
  data_type_definition src[] = {M(Int32Member, "count"),
                                M(Real32Member, "WEIGHTS", nullptr, 4),
                                M(InlineMember, "Track", TransformTrackType),
                                {}};
#pragma pack(push, 1)
  struct Dst {
    transform Placement;
    transform_track Track;
    int16_t Count;
    uint8_t Weights[2];
  };
#pragma pack(pop)
  data_type_definition dst[] = {M(TransformMember, "Placement"),
                                M(InlineMember, "Track", TransformTrackType),
                                M(Int16Member, "Count"),
                                M(NormalUInt8Member, "Weights", nullptr, 2),
                                {}};
  ASSERT_EQ(GetTotalObjectSize(dst), static_cast<int32_t>(sizeof(Dst)));
  Src s{};
  s.Count = 7;
  s.Weights[0] = 1.0f;
  s.Weights[1] = 0.5f;
  s.Track.Name = "Hips";
  s.Track.Flags = 3;
  Dst d;
  std::memset(&d, 0x55, sizeof(d));
  ASSERT_TRUE(ConvertSingleObject(src, &s, dst, &d));
  EXPECT_EQ(d.Weights[0], 255);
  EXPECT_EQ(d.Weights[1], 128);
  EXPECT_EQ(d.Placement.Orientation[3], 1.0f);  // unmatched: cleared to identity
  EXPECT_STREQ(static_cast<const char*>(d.Track.Name), "Hips");
  EXPECT_EQ(static_cast<int32_t>(d.Track.Flags), 3);
  EXPECT_EQ(static_cast<int16_t>(d.Count), 7);

  // Merging keeps unmatched destination members.
  d.Placement.Position[0] = 9.0f;
  s.Count = 8;
  ASSERT_TRUE(MergeSingleObject(src, &s, dst, &d));
  EXPECT_EQ(d.Placement.Position[0], 9.0f);
  EXPECT_EQ(static_cast<int16_t>(d.Count), 8);
}

TEST(ObjectConversion, NoSharedNamesLeavesDestinationEmpty) {
  bone b;
  std::memset(&b, 0x77, sizeof(b));
  data_type_definition other[] = {M(Int32Member, "Unrelated"), {}};
  int32_t value = 5;
  ASSERT_TRUE(ConvertSingleObject(other, &value, BoneType, &b));
  bone empty;
  MakeEmptyDataTypeObject(BoneType, &empty);
  EXPECT_EQ(std::memcmp(&b, &empty, sizeof(b)), 0);
  EXPECT_EQ(b.Transform.ScaleShear[2][2], 1.0f);
}

TEST(ObjectConversion, CallbackTakesOverMembers) {
  data_type_definition type[] = {M(Int32Member, "A"), M(Int32Member, "B"), {}};
  int32_t source[2] = {1, 2};
  int32_t dest[2] = {0, 0};
  member_conversion_callback callback;
  callback.Function = [](const data_type_definition* s, const void*, const data_type_definition*,
                         void* destination, void*) {
    if (std::strcmp(s->Name, "A") != 0) return false;
    const int32_t replaced = 100;
    std::memcpy(destination, &replaced, 4);
    return true;
  };
  ASSERT_TRUE(ConvertSingleObject(type, source, type, dest, callback));
  EXPECT_EQ(dest[0], 100);
  EXPECT_EQ(dest[1], 2);
}

TEST(HalfFloat, RoundTripAndEdges) {
  EXPECT_EQ(FloatToHalf(1.0f), 0x3C00);
  EXPECT_EQ(FloatToHalf(-2.0f), 0xC000);
  EXPECT_EQ(FloatToHalf(65504.0f), 0x7BFF);
  EXPECT_EQ(FloatToHalf(1e6f), 0x7C00);
  EXPECT_EQ(FloatToHalf(-0.0f), 0x8000);
  EXPECT_EQ(FloatToHalf(1e-10f), 0x0000);
  EXPECT_EQ(FloatToHalf(5.9604645e-8f), 0x0001);  // smallest subnormal
  EXPECT_EQ(HalfToFloat(0x0001), 5.9604645e-8f);
  EXPECT_EQ(HalfToFloat(0x7C00), std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(HalfToFloat(FloatToHalf(std::numeric_limits<float>::quiet_NaN()))));
  // Every finite half survives the trip through float.
  for (uint32_t h = 0; h < 0x10000; ++h) {
    if ((h & 0x7C00) == 0x7C00) continue;
    ASSERT_EQ(FloatToHalf(HalfToFloat(static_cast<uint16_t>(h))), h) << h;
  }
  EXPECT_EQ((ConvertOne<uint16_t>(Real32Member, 0.5f, Real16Member)), 0x3800);
  EXPECT_EQ((ConvertOne<int32_t>(Real16Member, uint16_t{0xBE00}, Int32Member)), -2);  // -1.5
}

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

// The standard types' sizes at both pointer sizes and their marshalling are
// held byte for byte by the golden files (GoldenFiles.MatchWhatTheBuilderWritesToday).
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
