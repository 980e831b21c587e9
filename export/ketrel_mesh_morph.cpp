// Morph targets: one `vertex_data` of the morph vertex type per target, with
// one vertex per built vertex, read from the frame's host mesh through the
// host corner each built vertex came from.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "export/ketrel_mesh_conversion_internal.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_transform.h"

namespace ketrel {
namespace {

constexpr int32_t kMemberFloats = kMorphMemberFloats;

void Multiply(const float a[4][4], const float b[4][4], float out[4][4]) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float sum = 0.0f;
      for (int k = 0; k < 4; ++k) sum += a[i][k] * b[k][j];
      out[i][j] = sum;
    }
}

// Relative to bones: each skin bone's skinning matrix at this frame (its
// binding transform, then its world matrix now).
bool PrepareBoneMatrices(SceneParser* parser, MeshConversion* r) {
  if (!r->FrameBoneMatrices) {
    r->FrameBoneMatrices = KT_ALLOCATE_ARRAY(RowMatrix, static_cast<size_t>(r->BindingCount));
    if (!r->FrameBoneMatrices) return false;
  }
  for (int32_t k = 0; k < r->BindingCount; ++k) {
    float world[4][4];
    transform identity = IdentityTransform();
    BuildCompositeMatrix(identity, world);
    BoneNode* bone = r->BindingBones[k];
    if (bone) {
      TransformParts local, parts;
      parser->tool->GetBoneTransforms(bone, local, parts);
      transform t = MakeTransform(parts.Position, parts.Orientation, &parts.ScaleShear[0][0]);
      if (TransformIsFinite(t)) BuildCompositeMatrix(t, world);
    }
    Multiply(r->BindingTransforms[k].m, world, r->FrameBoneMatrices[k].m);
  }
  return true;
}

// Takes the skinning of this frame back out of a position and a normal, so
// the target holds only the motion the bones do not explain.
void Unskin(const MeshConversion* r, const uint8_t* baseVertex, float position[3],
            float normal[3]) {
  const VertexMember* indices = FindVertexMember(r->Layout, VertexPart::BoneIndices);
  const VertexMember* weights = FindVertexMember(r->Layout, VertexPart::BoneWeights);
  float w[16] = {1.0f};
  int32_t bones[16] = {0};
  int32_t slots = 1;
  if (indices) {
    slots = indices->Width < 16 ? indices->Width : 16;
    float values[16];
    const member_type_info* info = GetMemberTypeInfo(indices->Type);
    for (int32_t j = 0; j < slots; ++j) {
      bones[j] =
          ConvertMemberToInt32(indices->Type, baseVertex + indices->Offset + j * info->Size64);
    }
    if (weights) {
      LoadVertexFloats(*weights, baseVertex, values, slots);
      for (int32_t j = 0; j < slots; ++j) w[j] = values[j];
    } else {
      slots = 1;
    }
  }
  float blend[4][4] = {};
  for (int32_t j = 0; j < slots; ++j) {
    if (!(w[j] > 0.0f) || bones[j] < 0 || bones[j] >= r->BindingCount) continue;
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) blend[a][b] += w[j] * r->FrameBoneMatrices[bones[j]].m[a][b];
  }
  float inverse[4][4];
  if (!InvertAffineMatrix(blend, inverse)) return;
  float p[3];
  for (int j = 0; j < 3; ++j) {
    p[j] = position[0] * inverse[0][j] + position[1] * inverse[1][j] + position[2] * inverse[2][j] +
           inverse[3][j];
  }
  // Normals map by the inverse transpose; undoing that applies the transpose.
  float n[3];
  for (int j = 0; j < 3; ++j) {
    n[j] = normal[0] * blend[j][0] + normal[1] * blend[j][1] + normal[2] * blend[j][2];
  }
  const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  for (int j = 0; j < 3; ++j) {
    position[j] = p[j];
    if (length > 0.00001f) normal[j] = n[j] / length;
  }
}

// The morph member's value in the base mesh's vertex (0 for a member the
// base does not have).
void BaseValues(const MeshConversion* r, const VertexMember& member, const uint8_t* base,
                float* out) {
  for (int32_t i = 0; i < kMemberFloats; ++i) out[i] = 0.0f;
  const VertexMember* source = FindVertexMember(r->Layout, member.Part, member.Channel);
  if (source) LoadVertexFloats(*source, base, out, kMemberFloats);
}

// A frame's value as the base mesh's member would store it, so that a
// difference from the (stored) base is exactly 0 where nothing changed, even
// for DEC3N normals or byte colours.
void QuantizeLikeBase(const MeshConversion* r, const VertexMember& member, float* values) {
  const VertexMember* source = FindVertexMember(r->Layout, member.Part, member.Channel);
  if (!source) return;
  VertexMember scratch = *source;
  scratch.Offset = 0;
  uint8_t bytes[kMemberFloats * sizeof(float)];
  if (VertexMemberFloats(scratch) > kMemberFloats) return;
  StoreVertexFloats(scratch, bytes, values, kMemberFloats);
  LoadVertexFloats(scratch, bytes, values, kMemberFloats);
}

// Stores one target vertex from its sampled values: quantized like the base
// mesh and made differences with deltas.
void FillVertex(MeshConversion* r, int32_t v, MorphMemberValues* values, uint8_t* out) {
  const uint8_t* base = static_cast<const uint8_t*>(GetVertex(r->Builder, v));
  for (int32_t m = 0; m < r->MorphLayout.MemberCount; ++m) {
    const VertexMember& member = r->MorphLayout.Members[m];
    if (r->Options.Deltas) {
      float baseValues[kMemberFloats];
      BaseValues(r, member, base, baseValues);
      QuantizeLikeBase(r, member, values[m]);
      for (int32_t i = 0; i < kMemberFloats; ++i) values[m][i] -= baseValues[i];
    }
    StoreVertexFloats(member, out, values[m], VertexMemberFloats(member));
  }
}

}  // namespace

void SampleMorphVertex(MeshConversion* r, MeshAccess* access, int32_t v, bool fromHost,
                       bool relative, MorphMemberValues* out) {
  const uint8_t* base = static_cast<const uint8_t*>(GetVertex(r->Builder, v));
  int32_t value = -1, place = -1;
  const bool sourced = fromHost && GetVertexSourceValues(r->Builder, v, &value, &place) &&
                       value >= 0 && place >= 0 && place < 3;
  const int32_t face = value >> 1;
  const bool flipped = (value & 1) != 0;
  const MeshOptions& o = r->Options;

  float position[3] = {0, 0, 0}, normal[3] = {0, 0, 0};
  bool haveNormal = false;
  if (fromHost) access->GetPosition(GetPositionOfVertex(r->Builder, v), position);
  if (sourced) {
    access->GetCornerNormal(face, place, normal);
    for (float& n : normal) n = flipped ? -n : n;
    haveNormal = true;
  }
  if (relative && fromHost) {
    if (!haveNormal) {
      // BaseValues fills a whole member's worth of floats.
      float stored[kMemberFloats];
      BaseValues(r, *FindVertexMember(r->Layout, VertexPart::Normal), base, stored);
      std::memcpy(normal, stored, sizeof normal);
    }
    Unskin(r, base, position, normal);
    haveNormal = true;
  }
  for (int32_t m = 0; m < r->MorphLayout.MemberCount; ++m) {
    const VertexMember& member = r->MorphLayout.Members[m];
    float* values = out[m];
    BaseValues(r, member, base, values);
    if (member.Part == VertexPart::Position && fromHost) {
      std::memcpy(values, position, sizeof position);
    } else if (member.Part == VertexPart::Normal && haveNormal) {
      std::memcpy(values, normal, sizeof normal);
    } else if (member.Part == VertexPart::Color && sourced) {
      access->GetCornerColor(face, place, member.Channel, values);
    } else if (member.Part == VertexPart::TexCoord && sourced) {
      float uvw[3];
      access->GetCornerTexCoord(face, place, member.Channel, uvw);
      values[0] = o.FlipU ? 1.0f - uvw[0] : uvw[0];
      values[1] = o.FlipV ? 1.0f - uvw[1] : uvw[1];
      values[2] = uvw[2];
      values[3] = 0.0f;
    }
    // Tangent frames keep the base mesh's: they are not rebuilt per frame.
  }
}

bool ExtractMorphFrame(SceneParser* parser, MeshConversion* r, int32_t target) {
  if (!KT_CHECK_PARAMETER(Export, parser && r && target >= 0 && target < r->MorphCount)) {
    return true;
  }
  if (!r->Builder) return true;
  ToolInterface* tool = parser->tool;
  const bool frameByFrame = r->Options.MorphMode == kMorphFrameByFrame;
  MeshAccess* access =
      frameByFrame ? tool->OpenMeshAccess(r->Node, r->Options.ColorHeuristic)
                   : tool->OpenMorphTargetAccess(r->Node, target, r->Options.ColorHeuristic);
  // A frame that is not the base mesh's topology cannot be read through the
  // base mesh's corners: it is refused and the target repeats the base.
  bool usable = access != nullptr;
  // With vertex morph curves there are no targets, only frames.
  const char* what = r->MorphCurves ? "Frame" : "Morph target";
  if (access && (access->VertexCount() != r->VertexCount || access->FaceCount() != r->FaceCount ||
                 access->MapChannelCount() != r->MapChannelCount)) {
    KT_LOG_WARNING_CODE(Export, warning::MorphTargetRepeatsBase, r->Name,
                        "%s %d of mesh %s has %d vertices, %d faces and %d map channels where "
                        "the base mesh has %d, %d and %d; it repeats the base mesh",
                        what, target, r->Name, access->VertexCount(), access->FaceCount(),
                        access->MapChannelCount(), r->VertexCount, r->FaceCount,
                        r->MapChannelCount);
    usable = false;
  } else if (!access) {
    KT_LOG_WARNING_CODE(Export, warning::MorphTargetRepeatsBase, r->Name,
                        "%s %d of mesh %s has no mesh data; it repeats the base mesh", what, target,
                        r->Name);
  }
  if (!usable && !r->Mismatch) {
    r->Mismatch = true;
    KT_LOG_ERROR(Export,
                 "ERROR: Different frames of a morph-target animation have differently "
                 "triangulated meshes. \nTo use morph-targets, you need to triangulate the mesh "
                 "manually before \ndeforming the mesh. The export may have succeeded, but some "
                 "keyframes may be incorrect.");
  }
  const bool relative = frameByFrame && r->Options.RelativeToBones && r->SkinBones > 0 &&
                        r->BindingCount == r->SkinBones;
  bool ok = !relative || !usable || PrepareBoneMatrices(parser, r);
  if (r->MorphCurves) {
    // The frame's values go into the curve samples; no morph target is made.
    ok = ok && SampleMorphCurveFrame(r, access, target, usable, relative && usable);
    if (!ok) {
      KT_LOG_ERROR(Export, "Out of memory while sampling frame %d of mesh %s", target, r->Name);
    } else if (target == r->MorphCount - 1) {
      ok = FitMorphCurves(parser, r);
    }
    tool->CloseMeshAccess(access);
    return ok;
  }

  const int32_t vertexCount = GetVertexCount(r->Builder);
  const size_t bytes = size_t(vertexCount) * size_t(r->MorphLayout.Size);
  auto* values =
      ok ? KT_ALLOCATE_ARRAY(MorphMemberValues, size_t(std::max(r->MorphLayout.MemberCount, 1)))
         : nullptr;
  auto* data =
      values ? static_cast<vertex_data*>(KT_PARSER_ALLOCATE(parser, sizeof(vertex_data))) : nullptr;
  auto* vertices =
      data ? static_cast<uint8_t*>(KT_PARSER_ALLOCATE(parser, bytes ? bytes : 1)) : nullptr;
  ok = vertices != nullptr;
  if (ok) {
    for (int32_t v = 0; v < vertexCount; ++v) {
      SampleMorphVertex(r, access, v, usable, relative && usable, values);
      FillVertex(r, v, values, vertices + size_t(v) * size_t(r->MorphLayout.Size));
    }
    MakeEmptyDataTypeObject(VertexDataType, data);
    data->Vertices.Type = r->MorphLayout.Type;
    data->Vertices.Count = vertexCount;
    data->Vertices.Items = vertexCount > 0 ? vertices : nullptr;
    data->VertexComponentNameCount = r->MorphLayout.MemberCount;
    data->VertexComponentNames = r->MorphLayout.Names;
    ok = AppendFileObject(parser, data);
    PlaceObject(parser, data->Vertices.Items, r->VertexSection);
    morph_target& morph = r->Object->MorphTargets[target];
    morph.ScalarName =
        frameByFrame ? nullptr : InternString(parser, tool->GetMorphChannelName(r->Node, target));
    morph.VertexData = data;
    morph.DataIsDeltas = r->Options.Deltas ? 1 : 0;
  } else {
    KT_LOG_ERROR(Export, "Out of memory while extracting morph target %d of mesh %s", target,
                 r->Name);
  }
  FreeBlock(values);
  tool->CloseMeshAccess(access);
  return ok;
}

}  // namespace ketrel
