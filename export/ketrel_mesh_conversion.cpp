// Mesh conversion: the record of one mesh, its bone bindings, the morph
// target count, reading the host mesh into the mesh builder, and the
// "Meshes" phase that drives ConvertMesh, ExtractMorphFrame and FinishMesh.

#include "export/ketrel_mesh_conversion.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_extended_data.h"
#include "export/ketrel_mesh_conversion_internal.h"
#include "export/ketrel_progress.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_transform.h"

namespace ketrel {
namespace {

constexpr int32_t kFrameSlots = 262144;
constexpr int32_t kMaxMorphTargets = 65536;

// Section placement comboboxes of the file settings and their defaults.
constexpr uint32_t kRigidVertices = 127, kRigidIndices = 128;
constexpr uint32_t kDeformableVertices = 129, kDeformableIndices = 130;

const char* DisplayName(const char* name) { return name && *name ? name : "(unnamed)"; }

uint32_t Placement(const SceneParser* parser, uint32_t comboboxId, uint32_t fallback) {
  return GetFilePlacement(parser, comboboxId, fallback);
}

void SetIdentity(float m[4][4]) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m[i][j] = i == j ? 1.0f : 0.0f;
}

// The bone's world matrix at the current sample time (row-vector layout).
bool BoneWorldMatrix(ToolInterface* tool, const BoneNode* bone, float out[4][4]) {
  TransformParts local, world;
  tool->GetBoneTransforms(bone, local, world);
  transform t = MakeTransform(world.Position, world.Orientation, &world.ScaleShear[0][0]);
  if (!TransformIsFinite(t)) return false;
  BuildCompositeMatrix(t, out);
  return true;
}

// The inverse of the bone's world matrix; the identity (with a warning) for
// a bone whose transform cannot be inverted.
void InverseWorld(ToolInterface* tool, const BoneNode* bone, const char* meshName,
                  float out[4][4]) {
  float world[4][4];
  if (BoneWorldMatrix(tool, bone, world) && InvertAffineMatrix(world, out)) return;
  KT_LOG_WARNING_CODE(Export, warning::BoneTransformSingular, DisplayName(tool->GetBoneName(bone)),
                      "Bone %s of mesh %s has a singular transform; its binding uses the identity",
                      DisplayName(tool->GetBoneName(bone)), meshName);
  SetIdentity(out);
}

void EmptyBox(bone_binding& binding) {
  for (int i = 0; i < 3; ++i) {
    binding.OBBMin[i] = FLT_MAX;
    binding.OBBMax[i] = -FLT_MAX;
  }
}

// The bone an unskinned mesh is bound to: its own bone node, or with "Bind
// meshes to nearest parent" the first included one from it upwards.
BoneNode* MeshBone(ToolInterface* tool, const MeshNode* node, bool nearest) {
  BoneNode* own = tool->FindBoneOfHostNode(node->HostNode);
  if (!own || !nearest) return own;
  int32_t steps = 0;  // a host cycle must not hang the search
  for (BoneNode* bone = own; bone && steps < 1 << 20; bone = tool->GetParentBone(bone), ++steps) {
    if (IsReferenceIncluded(bone->Settings) && IsDataIncluded(bone->Settings)) return bone;
  }
  return own;
}

bool BuildBoneBindings(SceneParser* parser, MeshConversion* r) {
  ToolInterface* tool = parser->tool;
  int32_t count = r->SkinBones;
  BoneNode* single = nullptr;
  if (count == 0) {
    single = MeshBone(tool, r->Node, r->Options.BindNearest);
    count = single ? 1 : 0;
  }
  if (count == 0) return true;
  auto* bindings = static_cast<bone_binding*>(
      KT_PARSER_ALLOCATE(parser, sizeof(bone_binding) * static_cast<size_t>(count)));
  r->BindingTransforms = KT_ALLOCATE_ARRAY(RowMatrix, static_cast<size_t>(count));
  r->BindingBones = KT_ALLOCATE_ARRAY(BoneNode*, static_cast<size_t>(count));
  if (!bindings || !r->BindingTransforms || !r->BindingBones) return false;
  for (int32_t k = 0; k < count; ++k) {
    MakeEmptyDataTypeObject(BoneBindingType, &bindings[k]);
    BoneNode* bone = single ? single : tool->GetSkinBone(r->Node, k);
    r->BindingBones[k] = bone;
    bindings[k].BoneName = bone ? InternString(parser, tool->GetBoneName(bone)) : nullptr;
    EmptyBox(bindings[k]);
    if (bone) {
      InverseWorld(tool, bone, r->Name, r->BindingTransforms[k].m);
    } else {
      SetIdentity(r->BindingTransforms[k].m);
    }
  }
  r->BindingCount = count;
  r->Object->BoneBindingCount = count;
  r->Object->BoneBindings = bindings;
  return true;
}

int32_t MorphCountFor(SceneParser* parser, const MeshNode* node, const MeshOptions& o,
                      const char* name) {
  ToolInterface* tool = parser->tool;
  const bool log = name != nullptr;
  if (o.MorphMode == kMorphModifier) {
    if (!tool->HasMorpher(node)) return 0;
    const int32_t channels = tool->GetMorphChannelCount(node);
    return channels > 0 ? channels : 0;
  }
  if (o.MorphMode != kMorphFrameByFrame) {
    // The morpher's channels are there but nothing asks for them.
    if (log && tool->HasMorpher(node) && tool->GetMorphChannelCount(node) > 0) {
      KT_LOG_WARNING_CODE(Export, warning::MorphDataNotExtracted, name,
                          "Mesh %s has %d morph channels that are not exported: its \"Morph "
                          "Targets\" setting is \"Don't Extract Morphs\"",
                          name, tool->GetMorphChannelCount(node));
    }
    return 0;
  }
  // A range of F frames gives F + 1 targets, one at each end of every frame
  // (both ends of the range), so a clip's last pose is a target too. The
  // range is the scene's animation range (a scene with takes: its first).
  double frames = o.SetTotalFrames ? std::floor(double(o.FrameCount) + 0.5)
                                   : double(tool->GetFrameCount()) + 1.0;
  const int32_t limit = ComputeMorphTargetLimit(parser->graph ? parser->graph->MeshCount : 1);
  int32_t count = frames > double(limit) ? limit + 1 : (frames < 0 ? 0 : int32_t(frames));
  if (count > limit) {
    if (log) {
      KT_LOG_WARNING_CODE(Export, warning::MorphCountClamped, name,
                          "Morph target count of %i exceeds limit of %i - count has been clamped.",
                          frames > 2e9 ? int32_t(2000000000) : int32_t(frames), limit);
    }
    count = limit;
  }
  if (count < 2) {
    if (log)
      KT_LOG_WARNING_CODE(Export, warning::MorphCountClamped, name,
                          "Morph target count of %i is clamped to 2.", count);
    count = 2;
  }
  return count;
}

void Normalize3(float v[3]) {
  const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (!(length > 0.00001f)) {
    v[0] = v[1] = v[2] = 0.0f;
    return;
  }
  for (int i = 0; i < 3; ++i) v[i] /= length;
}

// Feeds the host mesh into the builder: positions with their skin weights,
// then the corners of every face (twice for a doubled two-sided face).
void FeedBuilder(SceneParser* parser, MeshConversion* r, MeshAccess* access) {
  ToolInterface* tool = parser->tool;
  const MeshOptions& o = r->Options;
  mesh_builder* b = r->Builder;
  int32_t dropped = 0;
  for (int32_t v = 0; v < r->VertexCount; ++v) {
    float p[3];
    access->GetPosition(v, p);
    SetPosition(b, p[0], p[1], p[2]);
    const int32_t influences = r->SkinBones > 0 ? tool->GetSkinInfluenceCount(r->Node, v) : 0;
    for (int32_t k = 0; k < influences; ++k) {
      int32_t bone = -1;
      float weight = 0.0f;
      if (!tool->GetSkinInfluence(r->Node, v, k, &bone, &weight)) continue;
      // A bone the skin does not have must not land on some other bone.
      if (bone < 0 || bone >= r->SkinBones || !std::isfinite(weight) || weight < 0.0f) {
        ++dropped;
        continue;
      }
      if (r->Weighted) AddWeight(b, bone, weight);
    }
    PushVertex(b);
  }
  if (dropped > 0) {
    KT_LOG_WARNING_CODE(
        Export, warning::SkinInfluencesDropped, r->Name,
        "Mesh %s: %d skin influences name no bone of its %d-bone skin or have invalid "
        "weights and were dropped",
        r->Name, dropped, r->SkinBones);
  }

  const bool toolTangents = o.ToolTangents && (o.Tangents || o.Binormals || o.Cross);
  bool toolTangentsComplete = true;
  const bool mirrored = access->Mirrored();
  int32_t skipped = 0;
  for (int32_t f = 0; f < r->FaceCount; ++f) {
    int32_t corners[3];
    access->GetFaceVertices(f, corners);
    bool valid = true;
    for (int32_t c : corners) valid = valid && c >= 0 && c < r->VertexCount;
    if (!valid) {
      ++skipped;
      continue;
    }
    // Any material id, negative ones too, selects one of the mesh's materials.
    const int32_t id = access->GetFaceMaterialIndex(f);
    const int32_t material = ((id % r->MaterialCount) + r->MaterialCount) % r->MaterialCount;
    const int32_t passes = o.DoubleTwoSided && access->IsFaceTwoSided(f) ? 2 : 1;
    for (int32_t pass = 0; pass < passes; ++pass) {
      // A mirroring object transform turns the host's winding inside out in
      // world space; the doubled copy faces the other way.
      const bool reversed = mirrored != (pass == 1);
      const float sign = pass == 1 ? -1.0f : 1.0f;
      for (int32_t k = 0; k < 3; ++k) {
        const int32_t hostCorner = reversed ? 2 - k : k;
        SetCornerPositionIndex(b, k, corners[hostCorner]);
        SetCornerPolygonIndex(b, k, hostCorner);
        float n[3];
        access->GetCornerNormal(f, hostCorner, n);
        SetCornerNormal(b, k, sign * n[0], sign * n[1], sign * n[2]);
        if (toolTangents) {
          float t[3], bn[3];
          if (access->GetCornerToolTangent(f, hostCorner, o.TangentUVSet, t, bn)) {
            SetCornerTangent(b, k, t[0], t[1], t[2]);
            SetCornerBinormal(b, k, bn[0], bn[1], bn[2]);
            float cross[3] = {t[1] * bn[2] - t[2] * bn[1], t[2] * bn[0] - t[0] * bn[2],
                              t[0] * bn[1] - t[1] * bn[0]};
            Normalize3(cross);
            SetCornerTangentBinormalCross(b, k, cross[0], cross[1], cross[2]);
          } else {
            toolTangentsComplete = false;
          }
        }
        for (int32_t c = 0; c < r->ColorChannels; ++c) {
          float rgba[4];
          access->GetCornerColor(f, hostCorner, c, rgba);
          SetCornerChannel(b, k, c, rgba, 4);
        }
        for (int32_t c = 0; c < r->TexChannels; ++c) {
          float uvw[3];
          access->GetCornerTexCoord(f, hostCorner, c, uvw);
          const float values[4] = {o.FlipU ? 1.0f - uvw[0] : uvw[0],
                                   o.FlipV ? 1.0f - uvw[1] : uvw[1], uvw[2], 0.0f};
          SetCornerChannel(b, k, r->ColorChannels + c, values, 4);
        }
      }
      SetMaterial(b, material);
      // The morph targets find each vertex's host corner through this value
      // (face and pass) and the polygon place (the host corner).
      SetTriangleValue(b, 2 * f + pass);
      PushTriangle(b);
      EndPolygon(b);
    }
  }
  if (skipped > 0) {
    KT_LOG_WARNING_CODE(Export, warning::FacesLeftOut, r->Name,
                        "Mesh %s: %d faces name vertices outside its %d vertices and were left out",
                        r->Name, skipped, r->VertexCount);
  }
  if ((o.Tangents || o.Binormals || o.Cross) && !(toolTangents && toolTangentsComplete)) {
    float cosine = std::cos(o.TangentTolerance * 3.14159265358979f / 180.0f);
    cosine = cosine < -1.0f ? -1.0f : (cosine > 1.0f ? 1.0f : cosine);
    SetTangentMergeTolerance(b, cosine);
    GenerateTangentSpace(b);
  }
}

// Reads the host mesh into a new builder. False (logged) when the mesh has
// no usable data; the record then has no builder. `outOfMemory` is set when
// the arena ran out.
bool BeginMeshData(SceneParser* parser, MeshConversion* r, bool& outOfMemory) {
  ToolInterface* tool = parser->tool;
  const MeshOptions& o = r->Options;
  MeshAccess* access = tool->OpenMeshAccess(r->Node, o.ColorHeuristic);
  if (!access) {
    KT_LOG_WARNING_CODE(Export, warning::MeshByName, r->Name,
                        "Mesh %s has no mesh data and is stored by name only", r->Name);
    return false;
  }
  r->VertexCount = std::max(access->VertexCount(), 0);
  r->FaceCount = std::max(access->FaceCount(), 0);
  // A mesh without sub-materials still has its one material: face ids are
  // reduced modulo this, never by zero.
  r->MaterialCount = std::max(access->MaterialCount(), 1);
  r->MapChannelCount = access->MapChannelCount();
  r->Weighted = r->SkinBones >= 2 ? (o.AllowWeighting || o.AlwaysSkinned) : o.AlwaysSkinned;
  r->Deformable = r->SkinBones > 1 || o.AlwaysSkinned;
  r->VertexSection = Placement(parser, r->Deformable ? kDeformableVertices : kRigidVertices,
                               r->Deformable ? 3u : 1u);
  r->IndexSection = Placement(parser, r->Deformable ? kDeformableIndices : kRigidIndices,
                              r->Deformable ? 4u : 2u);
  auto channels = [](int32_t host, bool allow, int32_t cap, bool dummy) {
    if (!allow) return 0;
    host = std::max(host, 0);
    int32_t n = std::min(host, cap);
    return n < cap && dummy ? cap : n;
  };
  r->TexChannels = channels(access->TexCoordChannelCount(), o.AllowCoords, o.CoordsPerVertex,
                            o.InsertDummyCoords);
  r->ColorChannels =
      channels(access->ColorChannelCount(), o.AllowColors, o.ColorsPerVertex, o.InsertDummyColors);
  if (r->SkinBones > 256 && r->Weighted && o.BonesPerVertex > 1) {
    KT_LOG_WARNING_CODE(Export, warning::BoneIndicesWide, r->Name,
                        "Mesh %s has %d skin bones; its bone indices are stored wider than bytes",
                        r->Name, r->SkinBones);
  }
  bool ok = BuildVertexLayout(parser, o, r->SkinBones, r->Weighted, r->ColorChannels,
                              r->TexChannels, access, false, r->Layout);
  if (ok && r->MorphCount > 0) {
    ok = BuildVertexLayout(parser, o, r->SkinBones, false, r->ColorChannels, r->TexChannels, access,
                           true, r->MorphLayout);
  }
  if (!ok) {
    outOfMemory = true;
    tool->CloseMeshAccess(access);
    return false;
  }
  const int64_t triangles = int64_t(r->FaceCount) * (o.DoubleTwoSided ? 2 : 1);
  if (triangles > MeshBuilderMaxCount || r->VertexCount > MeshBuilderMaxCount ||
      r->MaterialCount > MeshBuilderMaxCount || r->SkinBones > MeshBuilderMaxCount) {
    KT_LOG_ERROR(Export, "Mesh %s has too many vertices (%d), faces (%d) or materials (%d)",
                 r->Name, r->VertexCount, r->FaceCount, r->MaterialCount);
    tool->CloseMeshAccess(access);
    return false;
  }
  // With the counts in range, a builder that cannot begin or take its names
  // ran out of memory: the export fails rather than lose the mesh's data.
  r->Builder = BeginMesh(r->VertexCount, int32_t(triangles), r->MaterialCount,
                         std::max(r->SkinBones, 1), r->Layout.Type);
  if (!r->Builder || !SetVertexComponentNames(r->Builder, r->Layout.MemberCount, r->Layout.Names)) {
    outOfMemory = true;
    tool->CloseMeshAccess(access);
    return false;
  }
  if (o.DisableMerging) DisableVertexMerging(r->Builder);
  FeedBuilder(parser, r, access);
  tool->CloseMeshAccess(access);
  return true;
}

void FreeRecord(MeshConversion* r) {
  FreeMeshBuilder(r->Builder);
  FreeBlock(r->BindingTransforms);
  FreeBlock(r->BindingBones);
  FreeBlock(r->FrameBoneMatrices);
  FreeMorphCurveSamples(r);
  r->~MeshConversion();
  FreeBlock(r);
}

struct frame_slot {
  int32_t Record;
  int32_t Frame;
  int32_t Count;
};

// Frame i of n sits at i / (n - 1) of the range; compared exactly.
int64_t PlaceCompare(const frame_slot& a, const frame_slot& b) {
  return int64_t(a.Frame) * (b.Count - 1) - int64_t(b.Frame) * (a.Count - 1);
}

bool ExtractFrameByFrame(SceneParser* parser, MeshConversion** records, int32_t count) {
  int64_t total = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (IsFrameByFrameMorph(records[i])) total += GetMorphTargetCount(records[i]);
  }
  if (total == 0) return true;
  auto* slots = KT_ALLOCATE_ARRAY(frame_slot, static_cast<size_t>(total));
  if (!slots) return false;
  size_t n = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (!IsFrameByFrameMorph(records[i])) continue;
    const int32_t frames = GetMorphTargetCount(records[i]);
    for (int32_t f = 0; f < frames; ++f) slots[n++] = frame_slot{i, f, frames};
  }
  std::sort(slots, slots + n, [](const frame_slot& a, const frame_slot& b) {
    const int64_t place = PlaceCompare(a, b);
    if (place != 0) return place < 0;
    return a.Record != b.Record ? a.Record < b.Record : a.Frame < b.Frame;
  });
  bool ok = true;
  for (size_t i = 0; i < n && ok; ++i) {
    ok = ProgressShouldContinue(parser->progress);
    if (!ok) break;
    if (i == 0 || PlaceCompare(slots[i - 1], slots[i]) != 0) {
      parser->tool->SetSampleTimeToFrame(slots[i].Frame, slots[i].Count);
    }
    ok = ExtractMorphFrame(parser, records[slots[i].Record], slots[i].Frame);
  }
  FreeBlock(slots);
  return ok;
}

}  // namespace

int32_t ComputeMorphTargetLimit(int32_t meshCount) {
  if (meshCount <= 0 || int64_t(meshCount) * (kMaxMorphTargets + 1) <= kFrameSlots) {
    return kMaxMorphTargets;
  }
  return std::max(1, kFrameSlots / meshCount - 1);
}

int32_t CountMeshMorphTargets(SceneParser* parser, const MeshNode* node) {
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool && node)) return 0;
  if (!IsReferenceIncluded(node->Settings) || !IsDataIncluded(node->Settings)) return 0;
  const MeshOptions options = ReadMeshOptions(node->Settings);
  // Vertex morph curves take the frames' place: no morph targets.
  if (options.MorphMode == kMorphFrameByFrame && options.MorphCurves) return 0;
  return MorphCountFor(parser, node, options, nullptr);
}

int32_t CountMeshVertexDatas(SceneParser* parser) {
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool)) return 0;
  int64_t count = 0;
  for (MeshNode* node : GraphMeshes(parser->graph)) {
    if (!IsReferenceIncluded(node->Settings) || !IsDataIncluded(node->Settings)) continue;
    count += 1 + CountMeshMorphTargets(parser, node);
  }
  return count > INT32_MAX ? INT32_MAX : int32_t(count);
}

bool ConvertMesh(SceneParser* parser, ModelNode* modelNode, MeshNode* meshNode,
                 MeshConversion** record) {
  (void)modelNode;  // the mesh's bones come from its skin or its own node
  if (record) *record = nullptr;
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool && meshNode && record)) return false;
  ToolInterface* tool = parser->tool;
  auto* object = static_cast<mesh*>(KT_PARSER_ALLOCATE(parser, sizeof(mesh)));
  if (!object) return false;
  MakeEmptyDataTypeObject(MeshType, object);
  if (!AppendFileObject(parser, object)) return false;
  meshNode->Object = object;
  const MeshOptions options = ReadMeshOptions(meshNode->Settings);
  object->Name = InternString(parser, tool->GetMeshName(meshNode, options.FullPath));
  if (!IsReferenceIncluded(meshNode->Settings) || !IsDataIncluded(meshNode->Settings)) {
    return true;
  }
  if (!AttachMeshExtendedData(parser, meshNode, &object->ExtendedData)) return false;

  void* memory = KT_ALLOCATE(sizeof(MeshConversion));
  if (!memory) return false;
  auto* r = new (memory) MeshConversion;
  r->Node = meshNode;
  r->Object = object;
  r->Options = options;
  const char* name = object->Name;
  r->Name = InternString(parser, DisplayName(name));
  r->SkinBones = std::max(tool->GetSkinBoneCount(meshNode), 0);
  r->MorphCount = MorphCountFor(parser, meshNode, options, r->Name);
  bool ok = r->Name != nullptr && BuildBoneBindings(parser, r);
  r->Material = tool->GetMeshMaterial(meshNode);
  bool outOfMemory = !ok;
  if (ok && !BeginMeshData(parser, r, outOfMemory)) r->MorphCount = 0;
  r->MorphCurves = options.MorphCurves && options.MorphMode == kMorphFrameByFrame;
  if (!outOfMemory && r->MorphCount > 0 && r->MorphCurves) {
    outOfMemory = !BeginMorphCurves(parser, r);
  } else if (!outOfMemory && r->MorphCount > 0) {
    auto* targets = static_cast<morph_target*>(
        KT_PARSER_ALLOCATE(parser, sizeof(morph_target) * (size_t(r->MorphCount) + 1)));
    outOfMemory = targets == nullptr;
    if (targets) {
      for (int32_t i = 0; i <= r->MorphCount; ++i) {
        MakeEmptyDataTypeObject(MorphTargetType, &targets[i]);
      }
      object->MorphTargetCount = r->MorphCount;
      object->MorphTargets = targets;
    }
  }
  if (outOfMemory) {
    KT_LOG_ERROR(Export, "Out of memory while converting mesh %s", DisplayName(name));
    FreeRecord(r);
    return false;
  }
  *record = r;
  return true;
}

int32_t GetMorphTargetCount(const MeshConversion* record) {
  return record ? record->MorphCount : 0;
}

bool IsFrameByFrameMorph(const MeshConversion* record) {
  return record && record->MorphCount > 0 && record->Options.MorphMode == kMorphFrameByFrame;
}

void AbortMesh(MeshConversion* record) {
  if (record) FreeRecord(record);
}

bool ConvertMeshes(SceneParser* parser) {
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool && parser->graph)) return false;
  ToolInterface* tool = parser->tool;
  tool->SetSampleTimeToStart();
  const size_t capacity = static_cast<size_t>(std::max(parser->graph->MeshCount, 1));
  auto** records = KT_ALLOCATE_ARRAY(MeshConversion*, capacity);
  if (!records) return false;
  int32_t count = 0;
  bool ok = true;
  for (MeshNode* node : GraphMeshes(parser->graph)) {
    if (!(ok = ProgressShouldContinue(parser->progress))) break;
    ProgressItem(parser->progress, DisplayName(tool->GetMeshName(node, false)));
    if (!IsReferenceIncluded(node->Settings)) continue;
    MeshConversion* record = nullptr;
    if (!(ok = ConvertMesh(parser, node->Model, node, &record))) break;
    if (record && size_t(count) < capacity) records[count++] = record;
  }
  // Morph modifier targets are all at the start of the range.
  for (int32_t i = 0; i < count && ok; ++i) {
    if (IsFrameByFrameMorph(records[i])) continue;
    for (int32_t t = 0; t < GetMorphTargetCount(records[i]) && ok; ++t) {
      ok = ProgressShouldContinue(parser->progress) && ExtractMorphFrame(parser, records[i], t);
    }
  }
  if (ok) ok = ExtractFrameByFrame(parser, records, count);
  tool->SetSampleTimeToStart();
  for (int32_t i = 0; i < count; ++i) {
    if (ok) {
      ok = FinishMesh(parser, records[i]);
    } else {
      AbortMesh(records[i]);
    }
  }
  FreeBlock(records);
  return ok;
}

}  // namespace ketrel
