// The mesh builder: the vertex layout plan, the builder's lifetime, corner
// records, the welding of triangle corners into vertices, and queries.

#include "rt/ketrel_mesh_builder.h"

#include <cstring>
#include <new>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_mesh_builder_internal.h"
#include "rt/ketrel_object_ops.h"

namespace ketrel {
namespace {

constexpr float DefaultTolerance = 0.001f;

bool NameIs(const data_type_definition* member, const char* name) {
  return member->Name != nullptr && MemberNamesMatch(member->Name, name);
}

bool NameStartsWith(const char* name, const char* prefix) {
  if (name == nullptr) return false;
  for (; *prefix != '\0'; ++name, ++prefix) {
    const char a = (*name >= 'A' && *name <= 'Z') ? static_cast<char>(*name + 32) : *name;
    const char b = (*prefix >= 'A' && *prefix <= 'Z') ? static_cast<char>(*prefix + 32) : *prefix;
    if (a != b) return false;
  }
  return true;
}

// Vertices are plain numbers: anything holding pointers or nested records
// could not be copied, compared byte for byte or swapped as one vertex.
bool IsVertexMemberType(uint32_t type) {
  return type >= TransformMember + 1 && type < MemberTypeCount && type != EmptyReferenceMember;
}

bool BuildPlans(mesh_builder* b) {
  int32_t offset = 0;
  int32_t keyFloats = 0;
  for (int32_t i = 0; i < b->MemberCount; ++i) {
    const data_type_definition* member = b->VertexType + i;
    if (!KT_CHECK_PARAMETER(Mesh, IsVertexMemberType(member->Type))) return false;
    vertex_member_plan& plan = b->Plans[i];
    plan.Member = member;
    plan.Offset = offset;
    plan.Width = GetMemberArrayWidth(member);
    plan.PackedDec3N = false;
    plan.CornerOffset = 0;
    plan.CompareCount = 0;
    plan.KeyOffset = 0;
    plan.Tolerance = DefaultTolerance;
    offset += GetMemberTypeSize(member);

    int32_t direction = -1;
    int32_t* directionPlan = nullptr;
    if (NameIs(member, "Position")) {
      plan.Kind = vertex_member_kind::Position;
      if (b->PositionPlan < 0) b->PositionPlan = i;
    } else if (NameIs(member, "BoneWeights")) {
      if (!IsRealValuedMemberType(member->Type)) {
        KT_LOG_ERROR(Mesh, "Bone weights of member type %d cannot hold normalised weights",
                     static_cast<int>(member->Type));
        return false;
      }
      plan.Kind = vertex_member_kind::BoneWeights;
      if (b->WeightsPlan < 0) b->WeightsPlan = i;
    } else if (NameIs(member, "BoneIndices")) {
      // A narrow index type must never wrap a bone index onto another bone.
      if (b->BoneCount > 0 && LargestStorableInteger(member->Type) < b->BoneCount - 1) {
        KT_LOG_ERROR(Mesh, "Bone indices of member type %d cannot number %d bones",
                     static_cast<int>(member->Type), b->BoneCount);
        return false;
      }
      plan.Kind = vertex_member_kind::BoneIndices;
      if (b->IndicesPlan < 0) b->IndicesPlan = i;
    } else if (NameIs(member, "Normal")) {
      direction = CornerNormalOffset;
      directionPlan = &b->NormalPlan;
    } else if (NameIs(member, "Tangent")) {
      direction = CornerTangentOffset;
      directionPlan = &b->TangentPlan;
    } else if (NameIs(member, "Binormal")) {
      direction = CornerBinormalOffset;
      directionPlan = &b->BinormalPlan;
    } else if (NameIs(member, "TangentBinormalCross")) {
      direction = CornerCrossOffset;
      directionPlan = &b->CrossPlan;
    } else {
      if (!KT_CHECK_PARAMETER(Mesh, b->ChannelCount < MeshBuilderMaxChannels)) return false;
      plan.Kind = vertex_member_kind::Channel;
      plan.CornerOffset = CornerChannelsOffset + ChannelWidth * b->ChannelCount;
      plan.CompareCount = plan.Width < ChannelWidth ? plan.Width : ChannelWidth;
      if (b->TexturePlan < 0 && NameStartsWith(member->Name, "TextureCoordinates")) {
        b->TexturePlan = i;
      }
      ++b->ChannelCount;
    }
    if (direction >= 0) {
      plan.Kind = vertex_member_kind::Direction;
      plan.PackedDec3N = member->Type == UInt32Member && plan.Width == 1;
      plan.CornerOffset = direction;
      plan.CompareCount = 3;
      if (*directionPlan < 0) *directionPlan = i;
    }
    if (plan.CompareCount > 0) {
      if (member->Type == Real32Member && !plan.PackedDec3N && plan.Width >= plan.CompareCount) {
        plan.KeyOffset = -1;
      } else {
        plan.KeyOffset = keyFloats;
        keyFloats += plan.CompareCount;
      }
      b->Compared[b->ComparedCount++] = i;
    }
    if (plan.Kind == vertex_member_kind::Direction || plan.Kind == vertex_member_kind::Channel) {
      b->Written[b->WrittenCount++] = i;
    }
  }
  b->VertexSize = offset;
  b->KeyFloats = keyFloats;
  b->CornerFloats = CornerChannelsOffset + ChannelWidth * b->ChannelCount;
  if (b->WeightsPlan >= 0) {
    b->WeightSlots = b->Plans[b->WeightsPlan].Width;
  } else if (b->IndicesPlan >= 0) {
    // A layout with one bone index and no weights still names the heaviest
    // bone, not always bone 0.
    b->WeightSlots = b->Plans[b->IndicesPlan].Width;
  }
  return true;
}

void ClearCorners(mesh_builder* b) {
  for (corner_record& corner : b->Corners) {
    corner.PositionIndex = -1;
    corner.PolygonIndex = -1;
    std::memset(corner.Data, 0, sizeof(float) * static_cast<size_t>(b->CornerFloats));
  }
  b->CurrentMaterial = 0;
}

template <typename T>
T* AllocateArray(size_t count) {
  return KT_ALLOCATE_ARRAY(T, count == 0 ? 1 : count);
}

bool ValidCorner(int32_t corner) { return KT_CHECK_PARAMETER(Mesh, corner >= 0 && corner < 3); }

void SetCornerVector(mesh_builder* b, int32_t corner, int32_t offset, float x, float y, float z) {
  if (b == nullptr || !ValidCorner(corner)) return;
  float* data = b->Corners[corner].Data + offset;
  data[0] = x;
  data[1] = y;
  data[2] = z;
}

int32_t CornerStoreCount(const vertex_member_plan& plan) {
  return plan.Kind == vertex_member_kind::Direction ? 3 : ChannelWidth;
}

// Corners are compared by what their vertex would hold: a DEC3N normal or a
// byte colour agrees with a vertex by its stored value, not by the float the
// host gave. Real32 members hold the floats as given and need no key.
void ConvertCornerKey(mesh_builder* b, const corner_record& corner) {
  for (int32_t i = 0; i < b->ComparedCount; ++i) {
    const vertex_member_plan& plan = b->Plans[b->Compared[i]];
    if (plan.KeyOffset < 0) continue;
    StoreMemberFloats(plan, b->ScratchVertex, corner.Data + plan.CornerOffset,
                      CornerStoreCount(plan));
    LoadMemberFloats(plan, b->ScratchVertex, b->CornerKey + plan.KeyOffset, plan.CompareCount);
  }
}

// Writes the corner into a vertex; its key must have been converted.
void WriteCornerToVertex(mesh_builder* b, const corner_record& corner, int32_t vertex) {
  uint8_t* bytes = VertexBytes(b, vertex);
  for (int32_t i = 0; i < b->WrittenCount; ++i) {
    const vertex_member_plan& plan = b->Plans[b->Written[i]];
    StoreMemberFloats(plan, bytes, corner.Data + plan.CornerOffset, CornerStoreCount(plan));
  }
  if (b->KeyFloats > 0) {
    std::memcpy(VertexKey(b, vertex), b->CornerKey,
                sizeof(float) * static_cast<size_t>(b->KeyFloats));
  }
}

// The corner agrees with a vertex when every compared member lies within its
// tolerance (squared distance against squared tolerance).
bool KeyAgrees(mesh_builder* b, const float* corner, int32_t vertex) {
  const float* key = VertexKey(b, vertex);
  const uint8_t* bytes = VertexBytes(b, vertex);
  for (int32_t i = 0; i < b->ComparedCount; ++i) {
    const vertex_member_plan& plan = b->Plans[b->Compared[i]];
    const float* a = corner + plan.CornerOffset;
    if (plan.KeyOffset >= 0) a = b->CornerKey + plan.KeyOffset;
    float distance = 0.0f;
    for (int32_t k = 0; k < plan.CompareCount; ++k) {
      // Members of the packed vertex may be unaligned: copy, never cast.
      float stored;
      if (plan.KeyOffset < 0) {
        std::memcpy(&stored, bytes + plan.Offset + 4 * k, sizeof(float));
      } else {
        stored = key[plan.KeyOffset + k];
      }
      const float d = a[k] - stored;
      distance += d * d;
    }
    // Written so that NaN never agrees.
    if (!(distance <= plan.Tolerance * plan.Tolerance)) return false;
  }
  return true;
}

}  // namespace

int32_t VertexCountOf(const mesh_builder* b) { return static_cast<int32_t>(b->Next.Count); }

bool ReserveVertices(mesh_builder* b, int32_t extra) {
  const size_t count = b->Next.Count + static_cast<size_t>(extra);
  if (count > static_cast<size_t>(MeshBuilderMaxCount) || !b->Vertices.Reserve(count) ||
      (b->KeyFloats > 0 && !b->Keys.Reserve(count)) || !b->Next.Reserve(count) ||
      !b->Creator.Reserve(count) || !b->SourceValue.Reserve(count) ||
      !b->SourcePlace.Reserve(count)) {
    if (count > static_cast<size_t>(MeshBuilderMaxCount)) {
      KT_LOG_ERROR(Mesh, "Mesh has more than %d vertices", MeshBuilderMaxCount);
    }
    b->OutOfMemory = true;
    return false;
  }
  return true;
}

int32_t AppendVertexCopy(mesh_builder* b, int32_t source, int32_t slot) {
  const int32_t vertex = VertexCountOf(b);
  const size_t size = static_cast<size_t>(b->VertexSize);
  ++b->Vertices.Count;
  std::memcpy(VertexBytes(b, vertex), VertexBytes(b, source), size);
  if (b->KeyFloats > 0) {
    ++b->Keys.Count;
    std::memcpy(VertexKey(b, vertex), VertexKey(b, source), sizeof(float) * b->KeyFloats);
  }
  const int32_t tail = b->RingTail[slot];
  b->Next.Append(b->Next[tail]);
  b->Next[tail] = vertex;
  b->RingTail[slot] = vertex;
  b->Creator.Append(b->Creator[source]);
  b->SourceValue.Append(b->SourceValue[source]);
  b->SourcePlace.Append(b->SourcePlace[source]);
  return vertex;
}

mesh_builder* BeginMesh(int32_t positionCount, int32_t triangleCount, int32_t materialCount,
                        int32_t boneCount, const data_type_definition* vertexType) {
  if (!KT_CHECK_PARAMETER(Mesh, vertexType != nullptr && positionCount >= 0 &&
                                    positionCount <= MeshBuilderMaxCount && triangleCount >= 0 &&
                                    triangleCount <= MeshBuilderMaxCount && materialCount >= 0 &&
                                    materialCount <= MeshBuilderMaxCount && boneCount >= 0 &&
                                    boneCount <= MeshBuilderMaxCount)) {
    return nullptr;
  }
  void* memory = KT_ALLOCATE(sizeof(mesh_builder));
  if (memory == nullptr) return nullptr;
  mesh_builder* b = new (memory) mesh_builder();
  b->PositionCount = positionCount;
  b->MaterialCount = materialCount > 0 ? materialCount : 1;
  b->BoneCount = boneCount;
  b->VertexType = vertexType;
  b->MemberCount = GetMemberCount(vertexType);
  b->Plans = AllocateArray<vertex_member_plan>(static_cast<size_t>(b->MemberCount));
  b->Compared = AllocateArray<int32_t>(static_cast<size_t>(b->MemberCount));
  b->Written = AllocateArray<int32_t>(static_cast<size_t>(b->MemberCount));
  if (b->Plans == nullptr || b->Compared == nullptr || b->Written == nullptr || !BuildPlans(b)) {
    FreeMeshBuilder(b);
    return nullptr;
  }
  b->Vertices.Stride = static_cast<size_t>(b->VertexSize);
  b->Keys.Stride = static_cast<size_t>(b->KeyFloats);
  const size_t bones = static_cast<size_t>(boneCount);
  const size_t slots = static_cast<size_t>(b->WeightSlots);
  const size_t positions = static_cast<size_t>(positionCount);
  b->CurrentWeights = AllocateArray<float>(bones);
  b->TouchedBones = AllocateArray<int32_t>(bones);
  b->BoneTouched = static_cast<uint8_t*>(KT_ALLOCATE_CLEARED(bones == 0 ? 1 : bones));
  b->SlotWeights = AllocateArray<float>(slots);
  b->SlotBones = AllocateArray<int32_t>(slots);
  b->RingTail = AllocateArray<int32_t>(positions);
  b->CornerKey = AllocateArray<float>(static_cast<size_t>(b->KeyFloats));
  b->ScratchVertex = AllocateArray<uint8_t>(static_cast<size_t>(b->VertexSize));
  bool ok = b->CurrentWeights != nullptr && b->TouchedBones != nullptr &&
            b->BoneTouched != nullptr && b->SlotWeights != nullptr && b->SlotBones != nullptr &&
            b->RingTail != nullptr && b->CornerKey != nullptr && b->ScratchVertex != nullptr;
  for (corner_record& corner : b->Corners) {
    corner.Data = ok ? AllocateArray<float>(static_cast<size_t>(b->CornerFloats)) : nullptr;
    ok = ok && corner.Data != nullptr;
  }
  const size_t triangles = static_cast<size_t>(triangleCount);
  ok = ok && ReserveVertices(b, positionCount) && b->Corners3.Reserve(3 * triangles) &&
       b->CornerPlaces.Reserve(3 * triangles) && b->Materials.Reserve(triangles) &&
       b->TriangleValues.Reserve(triangles) && b->TrianglePolygon.Reserve(triangles);
  if (!ok) {
    FreeMeshBuilder(b);
    return nullptr;
  }
  for (size_t i = 0; i < bones; ++i) b->CurrentWeights[i] = 0.0f;
  // Every position starts as an unused vertex that is a ring of its own.
  const size_t vertexSize = static_cast<size_t>(b->VertexSize);
  const size_t keySize = sizeof(float) * static_cast<size_t>(b->KeyFloats);
  for (size_t v = 0; v < positions; ++v) {
    std::memset(b->Vertices.At(v), 0, vertexSize);
    if (keySize > 0) std::memset(b->Keys.At(v), 0, keySize);
    b->Next.Append(static_cast<int32_t>(v));
    b->Creator.Append(-1);
    b->SourceValue.Append(-1);
    b->SourcePlace.Append(-1);
    b->RingTail[v] = static_cast<int32_t>(v);
  }
  b->Vertices.Count = positions;
  if (keySize > 0) b->Keys.Count = positions;
  for (int32_t& entry : b->Polygon) entry = -1;
  ClearCorners(b);
  return b;
}

void FreeMeshBuilder(mesh_builder* b) {
  if (b == nullptr) return;
  FreeBlock(b->Plans);
  FreeBlock(b->CurrentWeights);
  FreeBlock(b->TouchedBones);
  FreeBlock(b->BoneTouched);
  FreeBlock(b->SlotWeights);
  FreeBlock(b->SlotBones);
  FreeBlock(b->Compared);
  FreeBlock(b->Written);
  FreeBlock(b->RingTail);
  FreeBlock(b->CornerKey);
  FreeBlock(b->ScratchVertex);
  for (corner_record& corner : b->Corners) FreeBlock(corner.Data);
  if (b->ComponentNames != nullptr) {
    for (int32_t i = 0; i < b->MemberCount; ++i) FreeBlock(b->ComponentNames[i]);
    FreeBlock(b->ComponentNames);
  }
  b->~mesh_builder();
  FreeBlock(b);
}

void SetTangentMergeTolerance(mesh_builder* b, float cosine) {
  if (b == nullptr) return;
  if (!KT_CHECK_PARAMETER(Mesh, cosine >= -1.0f && cosine <= 1.0f)) return;
  b->TangentMergeCosine = cosine;
}

void DisableVertexMerging(mesh_builder* b) {
  if (b != nullptr) b->MergingDisabled = true;
}

void SetCornerPositionIndex(mesh_builder* b, int32_t corner, int32_t positionIndex) {
  if (b == nullptr || !ValidCorner(corner)) return;
  if (!KT_CHECK_PARAMETER(Mesh, positionIndex >= 0 && positionIndex < b->PositionCount)) return;
  b->Corners[corner].PositionIndex = positionIndex;
}

void SetCornerPolygonIndex(mesh_builder* b, int32_t corner, int32_t polygonIndex) {
  if (b == nullptr || !ValidCorner(corner)) return;
  if (!KT_CHECK_PARAMETER(Mesh, polygonIndex >= 0)) return;
  b->Corners[corner].PolygonIndex = polygonIndex;
}

void SetCornerNormal(mesh_builder* b, int32_t corner, float x, float y, float z) {
  SetCornerVector(b, corner, CornerNormalOffset, x, y, z);
}
void SetCornerTangent(mesh_builder* b, int32_t corner, float x, float y, float z) {
  SetCornerVector(b, corner, CornerTangentOffset, x, y, z);
}
void SetCornerBinormal(mesh_builder* b, int32_t corner, float x, float y, float z) {
  SetCornerVector(b, corner, CornerBinormalOffset, x, y, z);
}
void SetCornerTangentBinormalCross(mesh_builder* b, int32_t corner, float x, float y, float z) {
  SetCornerVector(b, corner, CornerCrossOffset, x, y, z);
}

void SetCornerChannel(mesh_builder* b, int32_t corner, int32_t channel, const float* values,
                      int32_t count) {
  if (b == nullptr || !ValidCorner(corner)) return;
  if (!KT_CHECK_PARAMETER(Mesh, channel >= 0 && channel < b->ChannelCount && count >= 0 &&
                                    count <= ChannelWidth && (count == 0 || values != nullptr))) {
    return;
  }
  float* data = b->Corners[corner].Data + CornerChannelsOffset + ChannelWidth * channel;
  for (int32_t i = 0; i < ChannelWidth; ++i) data[i] = i < count ? values[i] : 0.0f;
}

int32_t GetChannelCount(const mesh_builder* b) { return b != nullptr ? b->ChannelCount : 0; }

void SetMaterial(mesh_builder* b, int32_t materialIndex) {
  if (b == nullptr) return;
  if (!KT_CHECK_PARAMETER(Mesh, materialIndex >= 0 && materialIndex < b->MaterialCount)) return;
  b->CurrentMaterial = materialIndex;
}

void SetTriangleValue(mesh_builder* b, int32_t value) {
  if (b != nullptr) b->TriangleValue = value;
}

bool PushTriangle(mesh_builder* b) {
  if (b == nullptr) return false;
  bool ok = KT_CHECK_PARAMETER(Mesh, b->Corners[0].PositionIndex >= 0 &&
                                         b->Corners[1].PositionIndex >= 0 &&
                                         b->Corners[2].PositionIndex >= 0);
  const size_t triangles = b->Materials.Count;
  if (ok && triangles >= static_cast<size_t>(MeshBuilderMaxCount)) {
    KT_LOG_ERROR(Mesh, "Mesh has more than %d triangles", MeshBuilderMaxCount);
    ok = false;
  }
  // Room for everything this triangle may add, so it is stored whole or not
  // at all.
  if (ok &&
      !(ReserveVertices(b, 3) && b->Corners3.Reserve(3 * triangles + 3) &&
        b->CornerPlaces.Reserve(3 * triangles + 3) && b->Materials.Reserve(triangles + 1) &&
        b->TriangleValues.Reserve(triangles + 1) && b->TrianglePolygon.Reserve(triangles + 1))) {
    b->OutOfMemory = true;
    ok = false;
  }
  if (!ok) {
    ClearCorners(b);
    return false;
  }
  const int32_t triangle = static_cast<int32_t>(triangles);
  for (const corner_record& corner : b->Corners) {
    const int32_t slot = corner.PositionIndex;
    int32_t vertex = -1;
    bool written = false;
    if (b->KeyFloats > 0) ConvertCornerKey(b, corner);
    if (b->Creator[slot] < 0) {
      vertex = slot;
      written = true;
    } else if (!b->MergingDisabled) {
      int32_t candidate = slot;
      do {
        if (KeyAgrees(b, corner.Data, candidate)) {
          vertex = candidate;
          break;
        }
        candidate = b->Next[candidate];
      } while (candidate != slot);
    }
    if (vertex < 0) {
      vertex = AppendVertexCopy(b, slot, slot);
      written = true;
    }
    if (written) {
      WriteCornerToVertex(b, corner, vertex);
      b->Creator[vertex] = triangle;
      b->SourceValue[vertex] = b->TriangleValue;
      b->SourcePlace[vertex] = corner.PolygonIndex;
    }
    const bool recorded =
        corner.PolygonIndex >= 0 && corner.PolygonIndex < MeshBuilderMaxPolygonCorners;
    if (recorded) {
      b->Polygon[corner.PolygonIndex] = vertex;
      if (corner.PolygonIndex > b->PolygonLargest) b->PolygonLargest = corner.PolygonIndex;
    }
    b->Corners3.Append(vertex);
    b->CornerPlaces.Append(recorded ? corner.PolygonIndex : -1);
  }
  b->Materials.Append(b->CurrentMaterial);
  b->TriangleValues.Append(b->TriangleValue);
  b->TrianglePolygon.Append(static_cast<int32_t>(b->PolygonStarts.Count));
  ClearCorners(b);
  return true;
}

void EndPolygon(mesh_builder* b) {
  if (b == nullptr) return;
  const size_t entries = static_cast<size_t>(b->PolygonLargest + 1);
  if (!b->PolygonStarts.Reserve(b->PolygonStarts.Count + 1) ||
      !b->PolygonIndices.Reserve(b->PolygonIndices.Count + entries)) {
    b->OutOfMemory = true;
  } else {
    b->PolygonStarts.Append(static_cast<int32_t>(b->PolygonIndices.Count));
    for (size_t i = 0; i < entries; ++i) b->PolygonIndices.Append(b->Polygon[i]);
  }
  for (int32_t i = 0; i <= b->PolygonLargest; ++i) b->Polygon[i] = -1;
  b->PolygonLargest = -1;
}

int32_t GetVertexCount(const mesh_builder* b) { return b != nullptr ? VertexCountOf(b) : 0; }

int32_t GetTriangleCount(const mesh_builder* b) {
  return b != nullptr ? static_cast<int32_t>(b->Materials.Count) : 0;
}

const void* GetVertex(const mesh_builder* b, int32_t vertex) {
  if (b == nullptr) return nullptr;
  if (!KT_CHECK_PARAMETER(Mesh, vertex >= 0 && vertex < VertexCountOf(b))) return nullptr;
  return b->Vertices.At(static_cast<size_t>(vertex));
}

bool GetVertexSourceValues(const mesh_builder* b, int32_t vertex, int32_t* triangleValue,
                           int32_t* polygonIndex) {
  if (triangleValue != nullptr) *triangleValue = -1;
  if (polygonIndex != nullptr) *polygonIndex = -1;
  if (b == nullptr) return false;
  if (!KT_CHECK_PARAMETER(Mesh, vertex >= 0 && vertex < VertexCountOf(b))) return false;
  if (b->Creator[vertex] < 0) return false;
  if (triangleValue != nullptr) *triangleValue = b->SourceValue[vertex];
  if (polygonIndex != nullptr) *polygonIndex = b->SourcePlace[vertex];
  return true;
}

int32_t GetPositionOfVertex(const mesh_builder* b, int32_t vertex) {
  if (b == nullptr) return -1;
  if (!KT_CHECK_PARAMETER(Mesh, vertex >= 0 && vertex < VertexCountOf(b))) return -1;
  // Every ring holds its position slot, so this ends within one lap.
  while (vertex >= b->PositionCount) vertex = b->Next[vertex];
  return vertex;
}

bool SetVertexComponentNames(mesh_builder* b, int32_t count, const char* const* names) {
  if (b == nullptr) return false;
  if (!KT_CHECK_PARAMETER(Mesh, count == b->MemberCount && (count == 0 || names != nullptr))) {
    return false;
  }
  char** copies = AllocateArray<char*>(static_cast<size_t>(count));
  if (copies == nullptr) return false;
  for (int32_t i = 0; i < count; ++i) copies[i] = nullptr;
  for (int32_t i = 0; i < count; ++i) {
    const char* name = names[i] != nullptr ? names[i] : "";
    const size_t length = std::strlen(name) + 1;
    copies[i] = static_cast<char*>(KT_ALLOCATE(length));
    if (copies[i] == nullptr) {
      for (int32_t k = 0; k < i; ++k) FreeBlock(copies[k]);
      FreeBlock(copies);
      return false;
    }
    std::memcpy(copies[i], name, length);
  }
  if (b->ComponentNames != nullptr) {
    for (int32_t i = 0; i < b->MemberCount; ++i) FreeBlock(b->ComponentNames[i]);
    FreeBlock(b->ComponentNames);
  }
  b->ComponentNames = copies;
  return true;
}

}  // namespace ketrel
