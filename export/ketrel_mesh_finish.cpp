// Finishing a mesh: the builder's result into the arena, bone binding
// boxes and per-bone triangle data, winding, index width, sections, zero
// delta filtering, material bindings and removal of unused bone bindings.

#include <algorithm>
#include <cfloat>
#include <cstring>

#include "export/ketrel_mesh_conversion_internal.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"

namespace ketrel {
namespace {

// Bones a vertex or a triangle names at most (16 per vertex).
constexpr int32_t kMaxInfluences = 16;

const uint8_t* VertexAt(const vertex_data* data, int32_t layoutSize, int32_t v) {
  return static_cast<const uint8_t*>(data->Vertices.Items) + size_t(v) * size_t(layoutSize);
}

// The distinct bones (below `limit`) of a triangle's three vertices,
// ascending.
int32_t TriangleBones(const MeshConversion* r, const vertex_data* data, const int32_t* corners,
                      int32_t limit, int32_t* out) {
  int32_t found = 0;
  for (int c = 0; c < 3; ++c) {
    const int32_t v = corners[c];
    if (v < 0 || v >= data->Vertices.Count) continue;
    int32_t bones[kMaxInfluences];
    const int32_t n =
        VertexInfluences(r->Layout, VertexAt(data, r->Layout.Size, v), bones, kMaxInfluences, 0);
    for (int32_t i = 0; i < n; ++i) {
      if (bones[i] < 0 || bones[i] >= limit) continue;
      bool seen = false;
      for (int32_t k = 0; k < found; ++k) seen = seen || out[k] == bones[i];
      if (!seen) out[found++] = bones[i];
    }
  }
  std::sort(out, out + found);
  return found;
}

void ReverseWinding(tri_topology* topology) {
  int32_t* indices = topology->Indices;
  const int32_t indexCount = topology->IndexCount;
  for (int32_t t = 0; t + 2 < indexCount; t += 3) std::swap(indices[t], indices[t + 2]);
  // Side 0 (corner 0 to 1) and side 1 (1 to 2) trade places; every code
  // naming a side changes with them, so neighbours still find each other.
  int32_t* sides = topology->SideToNeighborMap;
  const int32_t sideCount = topology->SideToNeighborCount;
  for (int32_t t = 0; t + 2 < sideCount; t += 3) std::swap(sides[t], sides[t + 1]);
  for (int32_t i = 0; i < sideCount; ++i) {
    if (sides[i] < 0) continue;
    const int32_t edge = sides[i] & 3;
    if (edge < 2) sides[i] = (sides[i] & ~3) | (1 - edge);
  }
}

void TruncateIndices(const MeshConversion* r, tri_topology* topology) {
  const int32_t count = topology->IndexCount;
  int32_t* indices = topology->Indices;
  for (int32_t i = 0; i < count; ++i) {
    if (uint32_t(indices[i]) >= 0x10000u) {
      KT_LOG_WARNING_CODE(
          Export, warning::MeshIndicesNot16Bit, r->Name,
          "Mesh (%s) has too many vertices to fit into 16-bit, leaving in 32-bit mode", r->Name);
      return;
    }
  }
  if (count > 0) ConvertIndices(count, 4, indices, 2, indices);
  topology->Index16Count = count;
  topology->Indices16 = count > 0 ? reinterpret_cast<int16_t*>(indices) : nullptr;
  topology->IndexCount = 0;
  topology->Indices = nullptr;
}

void KeepOnlyGroupsAndIndices(tri_topology* t) {
  t->VertexToVertexCount = 0;
  t->VertexToVertexMap = nullptr;
  t->VertexToTriangleCount = 0;
  t->VertexToTriangleMap = nullptr;
  t->SideToNeighborCount = 0;
  t->SideToNeighborMap = nullptr;
  t->PolygonIndexStartCount = 0;
  t->PolygonIndexStarts = nullptr;
  t->PolygonIndexCount = 0;
  t->PolygonIndices = nullptr;
  t->BonesForTriangleCount = 0;
  t->BonesForTriangle = nullptr;
  t->TriangleToBoneCount = 0;
  t->TriangleToBoneIndices = nullptr;
  t->TriAnnotationSetCount = 0;
  t->TriAnnotationSets = nullptr;
}

// Morph members that are zero in every target are left out of a reduced
// type (the first member, the position, always stays).
bool FilterZeroDeltas(SceneParser* parser, MeshConversion* r) {
  const VertexLayout& full = r->MorphLayout;
  mesh* object = r->Object;
  const int32_t targets = object->MorphTargetCount;
  bool keep[512] = {};
  if (full.MemberCount > 512) return true;
  keep[0] = true;
  int32_t kept = 1;
  for (int32_t m = 1; m < full.MemberCount; ++m) {
    const VertexMember& member = full.Members[m];
    for (int32_t t = 0; t < targets && !keep[m]; ++t) {
      const vertex_data* data = object->MorphTargets[t].VertexData;
      if (!data) continue;
      for (int32_t v = 0; v < data->Vertices.Count && !keep[m]; ++v) {
        float values[4];
        LoadVertexFloats(member, VertexAt(data, full.Size, v), values, VertexMemberFloats(member));
        for (int32_t i = 0; i < VertexMemberFloats(member); ++i)
          keep[m] = keep[m] || values[i] != 0;
      }
    }
    kept += keep[m] ? 1 : 0;
  }
  if (kept == full.MemberCount) return true;
  VertexLayout reduced;
  reduced.Type = static_cast<data_type_definition*>(
      KT_PARSER_ALLOCATE(parser, sizeof(data_type_definition) * size_t(kept + 1)));
  reduced.Names =
      static_cast<const char**>(KT_PARSER_ALLOCATE(parser, sizeof(char*) * size_t(kept)));
  reduced.Members =
      static_cast<VertexMember*>(KT_PARSER_ALLOCATE(parser, sizeof(VertexMember) * size_t(kept)));
  if (!reduced.Type || !reduced.Names || !reduced.Members) return false;
  for (int32_t m = 0; m < full.MemberCount; ++m) {
    if (!keep[m]) continue;
    const int32_t i = reduced.MemberCount++;
    reduced.Type[i] = full.Type[m];
    reduced.Names[i] = full.Names[m];
    reduced.Members[i] = full.Members[m];
    reduced.Members[i].Offset = reduced.Size;
    reduced.Size += GetMemberTypeSize(&full.Type[m]);
  }
  reduced.Type[kept] = type_table::End();
  for (int32_t t = 0; t < targets; ++t) {
    vertex_data* data = object->MorphTargets[t].VertexData;
    if (!data) continue;
    const int32_t count = data->Vertices.Count;
    auto* vertices =
        static_cast<uint8_t*>(KT_PARSER_ALLOCATE(parser, size_t(count) * size_t(reduced.Size) + 1));
    if (!vertices) return false;
    for (int32_t v = 0; v < count; ++v) {
      const uint8_t* from = VertexAt(data, full.Size, v);
      uint8_t* to = vertices + size_t(v) * size_t(reduced.Size);
      for (int32_t m = 0, i = 0; m < full.MemberCount; ++m) {
        if (!keep[m]) continue;
        std::memcpy(to + reduced.Members[i].Offset, from + full.Members[m].Offset,
                    size_t(GetMemberTypeSize(&full.Type[m])));
        ++i;
      }
    }
    data->Vertices.Type = reduced.Type;
    data->Vertices.Items = count > 0 ? vertices : nullptr;
    data->VertexComponentNameCount = reduced.MemberCount;
    data->VertexComponentNames = reduced.Names;
    PlaceObject(parser, data->Vertices.Items, r->VertexSection);
  }
  r->MorphLayout = reduced;
  return true;
}

bool BindMaterials(SceneParser* parser, MeshConversion* r, tri_topology* topology) {
  ToolInterface* tool = parser->tool;
  const int32_t groups = topology->GroupCount;
  if (!r->Material || groups <= 0) return true;
  auto* bindings = static_cast<material_binding*>(
      KT_PARSER_ALLOCATE(parser, sizeof(material_binding) * size_t(groups)));
  if (!bindings) return false;
  const int32_t subCount = tool->GetSubMaterialCount(r->Material);
  bool reported = false;
  tri_material_group* group = topology->Groups;
  for (int32_t i = 0; i < groups; ++i) {
    const int32_t former = group[i].MaterialIndex;
    group[i].MaterialIndex = i;
    MaterialNode* node = r->Material;
    // A plain material (no sub-materials) serves every group; no modulo by 0.
    if (subCount > 0) {
      node = tool->GetSubMaterial(r->Material, ((former % subCount) + subCount) % subCount);
      if (!node && !reported) {
        KT_LOG_WARNING_CODE(Export, warning::SubMaterialMissing, tool->GetMaterialName(r->Material),
                            "Material %s has null sub-material used by one or more meshes",
                            tool->GetMaterialName(r->Material));
        reported = true;
      }
    }
    bindings[i].Material = node ? static_cast<material*>(node->Object) : nullptr;
  }
  r->Object->MaterialBindingCount = groups;
  r->Object->MaterialBindings = bindings;
  return true;
}

// Removes bone bindings no vertex uses and renumbers every bone index that
// refers to them: in the vertices and in the per-triangle bone lists.
// False when memory ran out.
bool RemoveUnusedBones(MeshConversion* r, vertex_data* data, tri_topology* topology) {
  mesh* object = r->Object;
  const int32_t count = object->BoneBindingCount;
  const VertexMember* indices = FindVertexMember(r->Layout, VertexPart::BoneIndices);
  if (count < 2 || !data || !indices) return true;
  int32_t* remap = KT_ALLOCATE_ARRAY(int32_t, size_t(count));
  if (!remap) return false;
  for (int32_t b = 0; b < count; ++b) remap[b] = -1;
  for (int32_t v = 0; v < data->Vertices.Count; ++v) {
    int32_t bones[kMaxInfluences];
    const int32_t n =
        VertexInfluences(r->Layout, VertexAt(data, r->Layout.Size, v), bones, kMaxInfluences, -1);
    for (int32_t i = 0; i < n; ++i) {
      if (bones[i] >= 0 && bones[i] < count) remap[bones[i]] = 0;
    }
  }
  int32_t used = 0;
  for (int32_t b = 0; b < count; ++b) {
    if (remap[b] == 0) remap[b] = used++;
  }
  if (used > 0 && used < count) {
    bone_binding* bindings = object->BoneBindings;
    for (int32_t b = 0; b < count; ++b) {
      if (remap[b] >= 0 && remap[b] != b) bindings[remap[b]] = bindings[b];
    }
    object->BoneBindingCount = used;
    const int32_t size = GetMemberTypeInfo(indices->Type)->Size64;
    uint8_t* vertices = static_cast<uint8_t*>(data->Vertices.Items);
    for (int32_t v = 0; v < data->Vertices.Count; ++v) {
      uint8_t* at = vertices + size_t(v) * size_t(r->Layout.Size) + indices->Offset;
      for (int32_t j = 0; j < indices->Width; ++j) {
        const int32_t old = ConvertMemberToInt32(indices->Type, at + j * size);
        // Zero-weight slots name their vertex's main bone, which is used.
        const uint32_t renumbered = old >= 0 && old < count && remap[old] >= 0 ? remap[old] : 0;
        if (size == 1) {
          at[j] = uint8_t(renumbered);
        } else if (size == 2) {
          const uint16_t value = uint16_t(renumbered);
          std::memcpy(at + 2 * j, &value, 2);
        } else {
          std::memcpy(at + 4 * j, &renumbered, 4);
        }
      }
    }
    int32_t* lists = topology ? topology->TriangleToBoneIndices : nullptr;
    const int32_t listCount = topology ? topology->TriangleToBoneCount : 0;
    for (int32_t i = 0; i < listCount; ++i) {
      const int32_t old = lists[i];
      lists[i] = old >= 0 && old < count && remap[old] >= 0 ? remap[old] : 0;
    }
  }
  FreeBlock(remap);
  return true;
}

}  // namespace

bool BuildMeshBounds(SceneParser* parser, MeshConversion* r, const vertex_data* data,
                     tri_topology* topology) {
  // A mesh without skin bones has the one binding of its own node.
  const int32_t bones = r->SkinBones > 0 ? r->SkinBones : 1;
  int32_t usable = bones;
  if (bones > r->BindingCount) {
    KT_LOG_ERROR(Export,
                 "BuildMeshBounds: mesh bone bindings size mismatch (Can be legitimately "
                 "caused by export selected)");
    usable = r->BindingCount;
  }
  bone_binding* bindings = r->Object->BoneBindings;
  const VertexMember* position = FindVertexMember(r->Layout, VertexPart::Position);
  for (int32_t v = 0; v < data->Vertices.Count && usable > 0; ++v) {
    const uint8_t* vertex = VertexAt(data, r->Layout.Size, v);
    float p[3];
    LoadVertexFloats(*position, vertex, p, 3);
    int32_t influences[kMaxInfluences];
    const int32_t n = VertexInfluences(r->Layout, vertex, influences, kMaxInfluences, 0);
    for (int32_t i = 0; i < n; ++i) {
      const int32_t b = influences[i];
      if (b < 0 || b >= usable) continue;
      const float(*m)[4] = r->BindingTransforms[b].m;
      for (int j = 0; j < 3; ++j) {
        const float q = p[0] * m[0][j] + p[1] * m[1][j] + p[2] * m[2][j] + m[3][j];
        const float low = bindings[b].OBBMin[j], high = bindings[b].OBBMax[j];
        if (q < low) bindings[b].OBBMin[j] = q;
        if (q > high) bindings[b].OBBMax[j] = q;
      }
    }
  }
  const MeshOptions& o = r->Options;
  if (!o.PerBoneTriangles && !o.TopologyInfo) return true;
  const int32_t triangles = topology->IndexCount / 3;
  const int32_t* indices = topology->Indices;
  int32_t* perBone = KT_ALLOCATE_ARRAY(int32_t, size_t(usable) + 1);
  if (!perBone) return false;
  for (int32_t b = 0; b < usable; ++b) perBone[b] = 0;
  int64_t listed = 0;
  int32_t bonesOf[3 * kMaxInfluences];
  for (int32_t t = 0; t < triangles; ++t) {
    const int32_t n = TriangleBones(r, data, indices + 3 * t, usable, bonesOf);
    for (int32_t i = 0; i < n; ++i) ++perBone[bonesOf[i]];
    listed += n;
  }
  int32_t* forTriangle = nullptr;
  int32_t* toBone = nullptr;
  if (o.TopologyInfo && triangles > 0) {
    forTriangle =
        static_cast<int32_t*>(KT_PARSER_ALLOCATE(parser, sizeof(int32_t) * size_t(triangles)));
    toBone =
        static_cast<int32_t*>(KT_PARSER_ALLOCATE(parser, sizeof(int32_t) * size_t(listed) + 4));
  }
  bool complete = !(o.TopologyInfo && triangles > 0) || (forTriangle && toBone);
  int32_t** lists = nullptr;
  if (o.PerBoneTriangles) {
    lists = KT_ALLOCATE_ARRAY(int32_t*, size_t(usable) + 1);
    complete = complete && lists;
    for (int32_t b = 0; lists && b < usable; ++b) {
      lists[b] = perBone[b] > 0 ? static_cast<int32_t*>(KT_PARSER_ALLOCATE(
                                      parser, sizeof(int32_t) * size_t(perBone[b])))
                                : nullptr;
      complete = complete && (lists[b] || perBone[b] == 0);
      bindings[b].TriangleCount = lists[b] ? perBone[b] : 0;
      bindings[b].TriangleIndices = lists[b];
      perBone[b] = 0;
    }
  }
  int32_t written = 0;
  for (int32_t t = 0; t < triangles; ++t) {
    const int32_t n = TriangleBones(r, data, indices + 3 * t, usable, bonesOf);
    for (int32_t i = 0; i < n && lists; ++i) {
      const int32_t b = bonesOf[i];
      if (lists[b]) lists[b][perBone[b]++] = t;
    }
    if (forTriangle && toBone) {
      forTriangle[t] = n;
      for (int32_t i = 0; i < n; ++i) toBone[written++] = bonesOf[i];
    }
  }
  if (forTriangle && toBone) {
    topology->BonesForTriangleCount = triangles;
    topology->BonesForTriangle = forTriangle;
    topology->TriangleToBoneCount = written;
    topology->TriangleToBoneIndices = written > 0 ? toBone : nullptr;
  }
  FreeBlock(lists);
  FreeBlock(perBone);
  return complete;
}

bool FinishMesh(SceneParser* parser, MeshConversion* r) {
  if (!r) return true;
  if (!KT_CHECK_PARAMETER(Export, parser && parser->tool)) {
    AbortMesh(r);
    return false;
  }
  const MeshOptions& o = r->Options;
  mesh* object = r->Object;
  bool ok = true;
  vertex_data* data = nullptr;
  tri_topology* topology = nullptr;
  if (r->Builder) {
    const size_t vertexSize = GetResultingVertexDataSize(r->Builder);
    const size_t topologySize = GetResultingTopologySize(r->Builder);
    void* vertexMemory = vertexSize ? KT_PARSER_ALLOCATE(parser, vertexSize) : nullptr;
    void* topologyMemory = topologySize ? KT_PARSER_ALLOCATE(parser, topologySize) : nullptr;
    // The builder fails to end only when memory ran out (while building or
    // now): the export fails instead of writing the mesh without its data.
    if (!vertexMemory || !topologyMemory ||
        !EndMesh(r->Builder, vertexMemory, &data, topologyMemory, &topology)) {
      data = nullptr;
      topology = nullptr;
      ok = false;
    }
  }
  if (data && topology) {
    object->PrimaryVertexData = data;
    object->PrimaryTopology = topology;
    // The vertex morph curves, fitted after the last frame, annotate the
    // vertices they follow (the builder's vertex order is the data's).
    if (r->FittedCurves) {
      data->VertexAnnotationSetCount = r->CurveSetCount;
      data->VertexAnnotationSets = r->FittedCurves;
    }
    ok = AppendFileObject(parser, data) && AppendFileObject(parser, topology);
    ok = BuildMeshBounds(parser, r, data, topology) && ok;
    if (o.Clockwise) ReverseWinding(topology);
    if (o.Truncate16) TruncateIndices(r, topology);
    if (!o.TopologyInfo) KeepOnlyGroupsAndIndices(topology);
    PlaceObject(parser, data->Vertices.Items, r->VertexSection);
    PlaceObject(parser, topology->Indices, r->IndexSection);
    PlaceObject(parser, topology->Indices16, r->IndexSection);
    if (ok && object->MorphTargetCount > 0 && o.Deltas && o.FilterZeroDeltas) {
      ok = FilterZeroDeltas(parser, r);
    }
    ok = ok && BindMaterials(parser, r, topology);
  }
  // A box no vertex reached is stored as zeros rather than as infinities.
  bone_binding* bindings = object->BoneBindings;
  for (int32_t b = 0; b < object->BoneBindingCount; ++b) {
    for (int j = 0; j < 3; ++j) {
      const float low = bindings[b].OBBMin[j], high = bindings[b].OBBMax[j];
      if (!(high >= low)) {
        bindings[b].OBBMin[j] = 0.0f;
        bindings[b].OBBMax[j] = 0.0f;
      }
    }
  }
  if (!o.PreserveBones && !RemoveUnusedBones(r, data, topology)) ok = false;
  if (!ok) KT_LOG_ERROR(Export, "Out of memory while finishing mesh %s", r->Name);
  AbortMesh(r);
  return ok;
}

}  // namespace ketrel
