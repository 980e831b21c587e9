#pragma once
// The exporter's warning codes: one stable number per kind of thing an
// export drops, ignores or approximates, shown as "KT" and the number
// (KT1001) beside the warning's own message and the name of its object.
// Numbers never change meaning; new kinds take new numbers in their topic:
//   10xx textures and materials     11xx skeletons and bones
//   12xx meshes                     13xx morph targets
//   14xx takes and animations       15xx curves and their tolerances
//   16xx settings and units         17xx the scene and its files
// KT1000 stands for a warning raised without a code of its own.
#include <cstdint>

namespace ketrel {

namespace warning {
enum Code : uint32_t {
  Other = 1000,

  TextureByReference = 1001,
  TextureFormatSubstituted = 1002,
  TextureFormatUnknown = 1003,
  MaterialMapLeftOut = 1004,
  MaterialTextureLeftOut = 1005,
  SubMaterialMissing = 1006,

  SkeletonByReference = 1101,
  BoneTransformSingular = 1102,
  TransformDecompositionInexact = 1103,
  BonePathDuplicate = 1104,
  BoneDropped = 1105,

  MeshByName = 1201,
  MeshIndicesNot16Bit = 1202,
  // 1203 is retired ("mesh without bones"): a mesh always has at least the
  // binding of its own node, so there was never a mesh without bounds.
  SkinInfluencesDropped = 1204,
  FacesLeftOut = 1205,
  MapChannelLeftOut = 1206,
  BoneIndicesWide = 1207,

  MorphCountClamped = 1301,
  MorphTargetRepeatsBase = 1302,
  MorphDataNotExtracted = 1303,

  TakeRenamed = 1401,
  TakeLengthChanged = 1402,
  BindPoseSheared = 1403,

  AnimationToleranceMissed = 1501,
  ConvertedCurveToleranceMissed = 1502,
  VertexCurveToleranceMissed = 1503,
  TrackTooWide = 1504,
  FittingResources = 1505,

  SettingWithoutEffect = 1601,
  SettingOverruled = 1602,
  SettingChoiceUnknown = 1603,
  SceneUnitAssumed = 1604,

  HostObjectUnsupported = 1701,
  AttachFileMissing = 1702,
  HostPropertyRenamed = 1703,
  HostPropertyAsText = 1704,
  HostPropertyNotFinite = 1705,
  HostPropertyShortened = 1706,
};
}  // namespace warning

struct WarningCodeInfo {
  uint32_t Code;
  const char* Name;     // short, lower case: "texture stored by reference only"
  const char* Meaning;  // one line for a user
};

// The whole table, in code order.
const WarningCodeInfo* WarningCodeTable(int32_t* count);
// The row of `code`, or null for a number the table does not hold.
const WarningCodeInfo* FindWarningCode(uint32_t code);
// The code a warning is reported under: its own when the table holds it,
// else warning::Other.
uint32_t ReportedWarningCode(uint32_t code);

}  // namespace ketrel
