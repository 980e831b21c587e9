// Mesh conversion's settings and vertex types: which members a mesh's
// vertices (and its morph targets' vertices) have, their component names,
// and reading and writing member values as floats.

#include <cmath>
#include <cstdio>
#include <cstring>

#include "export/ketrel_mesh_conversion_internal.h"
#include "export/ketrel_settings_read.h"
#include "rt/ketrel_data_tree_writer.h"
#include "rt/ketrel_half.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_object_ops.h"

namespace ketrel {
namespace {

// "Mesh settings" ids read here.
namespace id {
constexpr uint32_t FullPath = 246, PreserveBones = 247, BindNearest = 174, Truncate16 = 76;
constexpr uint32_t Clockwise = 143, DoubleTwoSided = 186, DisableMerging = 295;
constexpr uint32_t NormalFormat = 287, ColorFormat = 290, AllowWeighting = 7;
constexpr uint32_t BonesPerVertex = 8, WeightFormat = 255, AlwaysSkinned = 286;
constexpr uint32_t AllowCoords = 81, CoordsPerVertex = 82, InsertDummyCoords = 88;
constexpr uint32_t ElementsPerCoord = 83, FlipU = 244, FlipV = 243, AllowColors = 84;
constexpr uint32_t ColorsPerVertex = 85, InsertDummyColors = 89, ColorHeuristic = 259;
constexpr uint32_t ElementsPerColor = 86, ToolTangents = 249, TangentUVSet = 250;
constexpr uint32_t Tangents = 99, Binormals = 100, Cross = 101, TangentTolerance = 211;
constexpr uint32_t PerBoneTriangles = 98, TopologyInfo = 77, MorphTargets = 237;
constexpr uint32_t SetTotalFrames = 165, FrameCount = 166, RelativeToBones = 210;
constexpr uint32_t MorphCurves = 188, Deltas = 242, FilterZeroDeltas = 296;
// Inside "Create vertex morph curves": type, tolerance, jump, crease per set.
constexpr uint32_t QuantizedCurves = 230, QuantizeOnMiss = 231, AggressiveCurves = 232;
constexpr uint32_t CurveIds[4][4] = {
    {189, 190, 191, 192}, {194, 195, 196, 197}, {200, 199, 201, 202}, {204, 205, 206, 207}};
}  // namespace id

// Choices.
constexpr uint32_t kNormalDec3N = 289, kNormalFloat16 = 297;
constexpr uint32_t kColorUByte8 = 292, kColorFloat16 = 298;
constexpr uint32_t kWeightUByte8 = 256, kWeightFloat16 = 257;

int32_t Clamp(int32_t value, int32_t low, int32_t high) {
  return value < low ? low : (value > high ? high : value);
}

int32_t ElementSize(uint32_t type) {
  const member_type_info* info = GetMemberTypeInfo(type);
  return info ? info->Size64 : 0;
}

struct layout_builder {
  SceneParser* Parser;
  VertexLayout& Layout;
  int32_t Capacity;
  bool Ok = true;

  void Add(VertexPart part, int32_t channel, member_type type, int32_t width, const char* name,
           const char* componentName) {
    if (!Ok || Layout.MemberCount >= Capacity) {
      Ok = false;
      return;
    }
    const int32_t i = Layout.MemberCount++;
    const bool packed = part == VertexPart::Normal && type == UInt32Member && width == 0;
    Layout.Type[i] = type_table::M(type, InternString(Parser, name), nullptr, width);
    Layout.Names[i] = InternString(Parser, componentName);
    Layout.Members[i] = VertexMember{
        part, channel, static_cast<uint32_t>(type), width > 0 ? width : 1, Layout.Size, packed};
    Layout.Size += ElementSize(type) * (width > 0 ? width : 1);
    Ok = Layout.Type[i].Name != nullptr && Layout.Names[i] != nullptr;
  }
};

}  // namespace

MeshOptions ReadMeshOptions(const SettingsItem* s) {
  MeshOptions o;
  o.DisableMerging = GetSettingBool(s, id::DisableMerging);
  o.FullPath = GetSettingBool(s, id::FullPath);
  o.PreserveBones = GetSettingBool(s, id::PreserveBones);
  o.BindNearest = GetSettingBool(s, id::BindNearest);
  o.Truncate16 = GetSettingBool(s, id::Truncate16);
  o.Clockwise = GetSettingBool(s, id::Clockwise);
  o.DoubleTwoSided = GetSettingBool(s, id::DoubleTwoSided);
  o.NormalFormat = GetSettingChoice(s, id::NormalFormat);
  o.ColorFormat = GetSettingChoice(s, id::ColorFormat);
  o.AllowWeighting = GetSettingBool(s, id::AllowWeighting);
  o.BonesPerVertex = Clamp(GetSettingInt(s, id::BonesPerVertex), 1, 16);
  o.WeightFormat = GetSettingChoice(s, id::WeightFormat);
  o.AlwaysSkinned = GetSettingBool(s, id::AlwaysSkinned);
  o.AllowCoords = GetSettingBool(s, id::AllowCoords);
  o.CoordsPerVertex = Clamp(GetSettingInt(s, id::CoordsPerVertex), 0, 64);
  o.InsertDummyCoords = GetSettingBool(s, id::InsertDummyCoords);
  o.ElementsPerCoord = Clamp(GetSettingInt(s, id::ElementsPerCoord), 1, 4);
  o.FlipU = GetSettingBool(s, id::FlipU);
  o.FlipV = GetSettingBool(s, id::FlipV);
  o.AllowColors = GetSettingBool(s, id::AllowColors);
  o.ColorsPerVertex = Clamp(GetSettingInt(s, id::ColorsPerVertex), 0, 64);
  o.InsertDummyColors = GetSettingBool(s, id::InsertDummyColors);
  o.ColorHeuristic = GetSettingBool(s, id::ColorHeuristic);
  o.ElementsPerColor = Clamp(GetSettingInt(s, id::ElementsPerColor), 1, 4);
  o.ToolTangents = GetSettingBool(s, id::ToolTangents);
  o.TangentUVSet = GetSettingInt(s, id::TangentUVSet);
  o.Tangents = GetSettingBool(s, id::Tangents);
  o.Binormals = GetSettingBool(s, id::Binormals);
  o.Cross = GetSettingBool(s, id::Cross);
  o.TangentTolerance = GetSettingFloat(s, id::TangentTolerance);
  o.PerBoneTriangles = GetSettingBool(s, id::PerBoneTriangles);
  o.TopologyInfo = GetSettingBool(s, id::TopologyInfo);
  o.MorphMode = GetSettingChoice(s, id::MorphTargets);
  if (o.MorphMode != kMorphModifier && o.MorphMode != kMorphFrameByFrame) o.MorphMode = kMorphNone;
  o.SetTotalFrames = GetChoiceSettingBool(s, id::MorphTargets, id::SetTotalFrames);
  o.FrameCount = GetChoiceSettingFloat(s, id::MorphTargets, id::FrameCount);
  o.RelativeToBones = GetChoiceSettingBool(s, id::MorphTargets, id::RelativeToBones);
  o.MorphCurves = GetChoiceSettingBool(s, id::MorphTargets, id::MorphCurves);
  o.QuantizedCurves = GetChoiceSettingBool(s, id::MorphTargets, id::QuantizedCurves);
  o.QuantizeOnMiss = GetChoiceSettingBool(s, id::MorphTargets, id::QuantizeOnMiss);
  o.AggressiveCurves = GetChoiceSettingBool(s, id::MorphTargets, id::AggressiveCurves);
  for (int k = 0; k < 4; ++k) {
    CurveSetOptions& c = o.Curves[k];
    c.Degree = Clamp(GetChoiceSettingInt(s, id::MorphTargets, id::CurveIds[k][0]), 0, 3);
    c.Tolerance = GetChoiceSettingFloat(s, id::MorphTargets, id::CurveIds[k][1]);
    c.Jump = GetChoiceSettingFloat(s, id::MorphTargets, id::CurveIds[k][2]);
    c.Crease = GetChoiceSettingFloat(s, id::MorphTargets, id::CurveIds[k][3]);
  }
  o.Deltas = GetSettingBool(s, id::Deltas);
  o.FilterZeroDeltas = GetSettingBool(s, id::FilterZeroDeltas);
  return o;
}

bool BuildVertexLayout(SceneParser* parser, const MeshOptions& o, int32_t skinBones, bool weighted,
                       int32_t colorChannels, int32_t texChannels, MeshAccess* access, bool morph,
                       VertexLayout& layout) {
  layout = VertexLayout{};
  const int32_t capacity = 8 + colorChannels + texChannels;
  const size_t count = static_cast<size_t>(capacity);
  layout.Type = static_cast<data_type_definition*>(
      KT_PARSER_ALLOCATE(parser, sizeof(data_type_definition) * (count + 1)));
  layout.Names = static_cast<const char**>(KT_PARSER_ALLOCATE(parser, sizeof(char*) * count));
  layout.Members =
      static_cast<VertexMember*>(KT_PARSER_ALLOCATE(parser, sizeof(VertexMember) * count));
  if (!layout.Type || !layout.Names || !layout.Members) return false;
  layout_builder b{parser, layout, capacity};
  // Deltas may be negative: members that cannot hold a signed difference
  // (bytes in 0..1, DEC3N clamped to unit length) are stored as floats.
  const bool signedOnly = morph && o.Deltas;

  b.Add(VertexPart::Position, 0, Real32Member, 3, "Position", "Position");
  if (weighted && !morph) {
    if (o.BonesPerVertex == 1) {
      b.Add(VertexPart::BoneIndices, 0, UInt32Member, 1, "BoneIndices", "BoneIndices");
    } else {
      member_type weight = o.WeightFormat == kWeightUByte8    ? NormalUInt8Member
                           : o.WeightFormat == kWeightFloat16 ? Real16Member
                                                              : Real32Member;
      // Byte indices number 256 bones; a larger skin gets wider indices
      // rather than bones wrapped onto others.
      member_type index = skinBones > 65536 ? UInt32Member
                          : skinBones > 256 ? UInt16Member
                                            : UInt8Member;
      b.Add(VertexPart::BoneWeights, 0, weight, o.BonesPerVertex, "BoneWeights", "BoneWeights");
      b.Add(VertexPart::BoneIndices, 0, index, o.BonesPerVertex, "BoneIndices", "BoneIndices");
    }
  }
  if (o.NormalFormat == kNormalDec3N && !signedOnly) {
    b.Add(VertexPart::Normal, 0, UInt32Member, 0, "Normal", "Normal");
  } else if (o.NormalFormat == kNormalFloat16) {
    b.Add(VertexPart::Normal, 0, Real16Member, 3, "Normal", "Normal");
  } else {
    b.Add(VertexPart::Normal, 0, Real32Member, 3, "Normal", "Normal");
  }
  if (o.Tangents) b.Add(VertexPart::Tangent, 0, Real32Member, 3, "Tangent", "Tangent");
  if (o.Binormals) b.Add(VertexPart::Binormal, 0, Real32Member, 3, "Binormal", "Binormal");
  if (o.Cross) {
    b.Add(VertexPart::Cross, 0, Real32Member, 3, "TangentBinormalCross", "TangentBinormalCross");
  }
  const member_type color = o.ColorFormat == kColorUByte8 && !signedOnly ? NormalUInt8Member
                            : o.ColorFormat == kColorFloat16             ? Real16Member
                                                                         : Real32Member;
  char name[64];
  for (int32_t k = 0; k < colorChannels; ++k) {
    std::snprintf(name, sizeof name, "%s%d", "DiffuseColor", k);
    b.Add(VertexPart::Color, k, color, o.ElementsPerColor, name, name);
  }
  const int32_t hostTexChannels = access ? access->TexCoordChannelCount() : 0;
  for (int32_t k = 0; k < texChannels; ++k) {
    char component[64];
    std::snprintf(name, sizeof name, "%s%d", "TextureCoordinates", k);
    if (k < hostTexChannels) {
      std::snprintf(component, sizeof component, "MaxChannel_%d", access->TexCoordChannelNumber(k));
    } else {
      std::snprintf(component, sizeof component, "InsertedChannel_%d", k);
    }
    b.Add(VertexPart::TexCoord, k, Real32Member, o.ElementsPerCoord, name, component);
  }
  if (!b.Ok) return false;
  layout.Type[layout.MemberCount] = type_table::End();
  return true;
}

int32_t VertexMemberFloats(const VertexMember& member) {
  return member.PackedDec3N ? 3 : member.Width;
}

void StoreVertexFloats(const VertexMember& member, uint8_t* vertex, const float* values,
                       int32_t count) {
  uint8_t* at = vertex + member.Offset;
  if (member.PackedDec3N) {
    const uint32_t packed = PackDec3N(count > 0 ? values[0] : 0.0f, count > 1 ? values[1] : 0.0f,
                                      count > 2 ? values[2] : 0.0f);
    std::memcpy(at, &packed, sizeof packed);
    return;
  }
  const int32_t size = ElementSize(member.Type);
  for (int32_t i = 0; i < member.Width; ++i) {
    const float value = i < count ? values[i] : 0.0f;
    uint8_t* element = at + i * size;
    if (member.Type == Real32Member) {
      std::memcpy(element, &value, sizeof value);
    } else if (member.Type == Real16Member) {
      const uint16_t half = FloatToHalf(value);
      std::memcpy(element, &half, sizeof half);
    } else if (member.Type == NormalUInt8Member) {
      const float clamped = value > 0.0f ? (value < 1.0f ? value : 1.0f) : 0.0f;
      *element = static_cast<uint8_t>(std::lround(clamped * 255.0f));
    }
  }
}

void LoadVertexFloats(const VertexMember& member, const uint8_t* vertex, float* values,
                      int32_t count) {
  const uint8_t* at = vertex + member.Offset;
  if (member.PackedDec3N) {
    uint32_t packed;
    std::memcpy(&packed, at, sizeof packed);
    float unpacked[3];
    UnpackDec3N(packed, unpacked);
    for (int32_t i = 0; i < count; ++i) values[i] = i < 3 ? unpacked[i] : 0.0f;
    return;
  }
  const int32_t size = ElementSize(member.Type);
  for (int32_t i = 0; i < count; ++i) {
    values[i] = i < member.Width ? ConvertMemberToReal32(member.Type, at + i * size) : 0.0f;
  }
}

const VertexMember* FindVertexMember(const VertexLayout& layout, VertexPart part, int32_t channel) {
  for (int32_t i = 0; i < layout.MemberCount; ++i) {
    if (layout.Members[i].Part == part && layout.Members[i].Channel == channel) {
      return &layout.Members[i];
    }
  }
  return nullptr;
}

int32_t VertexInfluences(const VertexLayout& layout, const uint8_t* vertex, int32_t* bones,
                         int32_t capacity, int32_t fallback) {
  if (capacity <= 0) return 0;
  const VertexMember* indices = FindVertexMember(layout, VertexPart::BoneIndices);
  if (!indices) {
    if (fallback < 0) return 0;
    bones[0] = fallback;
    return 1;
  }
  const VertexMember* weights = FindVertexMember(layout, VertexPart::BoneWeights);
  const int32_t size = ElementSize(indices->Type);
  auto index = [&](int32_t slot) {
    return ConvertMemberToInt32(indices->Type, vertex + indices->Offset + slot * size);
  };
  if (!weights) {
    bones[0] = index(0);
    return 1;
  }
  float w[16];
  const int32_t slots = indices->Width < 16 ? indices->Width : 16;
  LoadVertexFloats(*weights, vertex, w, slots);
  int32_t found = 0;
  for (int32_t j = 0; j < slots && found < capacity; ++j) {
    if (!(w[j] > 0.0f)) continue;
    const int32_t bone = index(j);
    bool seen = false;
    for (int32_t k = 0; k < found; ++k) seen = seen || bones[k] == bone;
    if (!seen) bones[found++] = bone;
  }
  if (found == 0) bones[found++] = index(0);
  return found;
}

void PlaceObject(SceneParser* parser, const void* object, uint32_t section) {
  if (parser->writer && object) SetFileSectionForObject(parser->writer, object, section);
}

}  // namespace ketrel
