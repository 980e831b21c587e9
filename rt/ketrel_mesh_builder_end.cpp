// Ending a mesh: lays out the `vertex_data` and the `tri_topology` (material
// groups, indices, vertex, triangle, neighbour and polygon maps) in
// caller-owned blocks that were measured first.

#include <algorithm>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_mesh_builder.h"
#include "rt/ketrel_mesh_builder_internal.h"

namespace ketrel {
namespace {

size_t AlignUp(size_t offset, size_t alignment) {
  return (offset + alignment - 1) & ~(alignment - 1);
}

// Walks a block the same way whether measuring (Base null) or writing, so
// the written layout is exactly the measured one.
struct block_layout {
  uint8_t* Base = nullptr;
  size_t Offset = 0;

  void* Take(size_t bytes, size_t alignment) {
    Offset = AlignUp(Offset, alignment);
    void* at = Base != nullptr ? Base + Offset : nullptr;
    Offset += bytes;
    return at;
  }
};

size_t NameBytes(const char* name) { return (name != nullptr ? std::strlen(name) : 0) + 1; }

char* CopyText(block_layout& layout, const char* text) {
  const size_t bytes = NameBytes(text);
  char* at = static_cast<char*>(layout.Take(bytes, 1));
  if (at != nullptr) {
    if (text != nullptr) {
      std::memcpy(at, text, bytes);
    } else {
      at[0] = '\0';
    }
  }
  return at;
}

// The vertex block: the record, a copy of the vertex type (names included),
// the vertices, and the component names.
vertex_data* LayOutVertexData(const mesh_builder* b, block_layout& layout) {
  auto* record = static_cast<vertex_data*>(layout.Take(sizeof(vertex_data), 16));
  const size_t members = static_cast<size_t>(b->MemberCount);
  auto* type = static_cast<data_type_definition*>(
      layout.Take(sizeof(data_type_definition) * (members + 1), 8));
  for (size_t i = 0; i < members; ++i) {
    char* name = CopyText(layout, b->VertexType[i].Name);
    if (type != nullptr) {
      type[i] = b->VertexType[i];
      type[i].Name = b->VertexType[i].Name != nullptr ? name : nullptr;
      type[i].ReferenceType = nullptr;
    }
  }
  const size_t vertexCount = static_cast<size_t>(VertexCountOf(b));
  const size_t vertexBytes = vertexCount * static_cast<size_t>(b->VertexSize);
  void* vertices = layout.Take(vertexBytes, 16);
  const int32_t nameCount = b->ComponentNames != nullptr ? b->MemberCount : 0;
  auto* names = static_cast<const char**>(
      layout.Take(sizeof(const char*) * static_cast<size_t>(nameCount), 8));
  for (int32_t i = 0; i < nameCount; ++i) {
    const char* copy = CopyText(layout, b->ComponentNames[i]);
    if (names != nullptr) names[i] = copy;
  }
  if (record == nullptr) return nullptr;
  std::memset(static_cast<void*>(type + members), 0, sizeof(data_type_definition));
  type[members].Type = EndMember;
  // Whole blocks at a time; the last one may be partly filled.
  const size_t blockItems = block_array<uint8_t>::BlockItems;
  for (size_t first = 0; first < vertexCount; first += blockItems) {
    const size_t items = vertexCount - first < blockItems ? vertexCount - first : blockItems;
    std::memcpy(static_cast<uint8_t*>(vertices) + first * static_cast<size_t>(b->VertexSize),
                b->Vertices.At(first), items * static_cast<size_t>(b->VertexSize));
  }
  std::memset(static_cast<void*>(record), 0, sizeof(vertex_data));
  record->Vertices.Type = type;
  record->Vertices.Count = static_cast<int32_t>(vertexCount);
  record->Vertices.Items = vertexCount > 0 ? vertices : nullptr;
  record->VertexComponentNameCount = nameCount;
  record->VertexComponentNames = nameCount > 0 ? names : nullptr;
  return record;
}

int32_t GroupCount(const mesh_builder* b, const int32_t* perMaterial) {
  int32_t groups = 0;
  for (int32_t m = 0; m < b->MaterialCount; ++m) groups += perMaterial[m] > 0 ? 1 : 0;
  return groups;
}

// Counts the triangles of each material (MaterialCount entries).
void CountPerMaterial(const mesh_builder* b, int32_t* perMaterial) {
  for (int32_t m = 0; m < b->MaterialCount; ++m) perMaterial[m] = 0;
  for (size_t t = 0; t < b->Materials.Count; ++t) ++perMaterial[b->Materials[t]];
}

// A side by the positions it joins, for grouping sides of one edge.
struct side_key {
  int32_t High;  // the larger position
  int32_t Side;  // 3 x output triangle + side
};

// Links the sides of one lower position into cycles per upper position, in
// registration (side) order. Small lists are matched directly; long ones
// (a fan around one position) are sorted first so the work stays n log n.
void LinkBucket(side_key* sides, size_t count, int32_t* nextSide) {
  if (count <= 32) {
    for (size_t k = 0; k < count; ++k) {
      int32_t next = -1;
      for (size_t j = k + 1; j < count && next < 0; ++j) {
        if (sides[j].High == sides[k].High) next = sides[j].Side;
      }
      for (size_t j = 0; j <= k && next < 0; ++j) {
        if (sides[j].High == sides[k].High) next = sides[j].Side;
      }
      nextSide[sides[k].Side] = next;
    }
    return;
  }
  std::sort(sides, sides + count, [](const side_key& a, const side_key& c) {
    return a.High != c.High ? a.High < c.High : a.Side < c.Side;
  });
  for (size_t i = 0; i < count;) {
    size_t end = i + 1;
    while (end < count && sides[end].High == sides[i].High) ++end;
    for (size_t k = i; k < end; ++k) {
      nextSide[sides[k].Side] = sides[k + 1 < end ? k + 1 : i].Side;
    }
    i = end;
  }
}

// Scratch for ending: output order of triangles and the side list.
struct end_scratch {
  int32_t* PerMaterial = nullptr;
  int32_t* NewNumber = nullptr;  // pushed triangle -> output triangle
  int32_t* OldNumber = nullptr;  // output triangle -> pushed triangle
  int32_t* NextSide = nullptr;   // output side -> next side on the same edge
  ~end_scratch() {
    FreeBlock(PerMaterial);
    FreeBlock(NewNumber);
    FreeBlock(OldNumber);
    FreeBlock(NextSide);
  }
};

int32_t* TakeInts(block_layout& layout, size_t count) {
  return static_cast<int32_t*>(layout.Take(sizeof(int32_t) * count, 8));
}

tri_topology* LayOutTopology(const mesh_builder* b, const end_scratch& scratch,
                             block_layout& layout) {
  const size_t triangles = b->Materials.Count;
  const size_t vertices = static_cast<size_t>(VertexCountOf(b));
  const int32_t groupCount = GroupCount(b, scratch.PerMaterial);
  auto* record = static_cast<tri_topology*>(layout.Take(sizeof(tri_topology), 16));
  auto* groups = static_cast<tri_material_group*>(
      layout.Take(sizeof(tri_material_group) * static_cast<size_t>(groupCount), 8));
  int32_t* indices = TakeInts(layout, 3 * triangles);
  int32_t* vertexToVertex = TakeInts(layout, vertices);
  int32_t* vertexToTriangle = TakeInts(layout, vertices);
  int32_t* sideToNeighbor = TakeInts(layout, 3 * triangles);
  int32_t* polygonStarts = TakeInts(layout, b->PolygonStarts.Count);
  int32_t* polygonIndices = TakeInts(layout, b->PolygonIndices.Count);
  if (record == nullptr) return nullptr;

  std::memset(static_cast<void*>(record), 0, sizeof(tri_topology));
  int32_t first = 0;
  int32_t group = 0;
  for (int32_t m = 0; m < b->MaterialCount; ++m) {
    if (scratch.PerMaterial[m] == 0) continue;
    groups[group++] = tri_material_group{m, first, scratch.PerMaterial[m]};
    first += scratch.PerMaterial[m];
  }
  for (size_t t = 0; t < triangles; ++t) {
    const int32_t old = scratch.OldNumber[t];
    for (int c = 0; c < 3; ++c) indices[3 * t + c] = b->Corners3[3 * static_cast<size_t>(old) + c];
  }
  for (size_t v = 0; v < vertices; ++v) {
    vertexToVertex[v] = b->Next[v];
    const int32_t creator = b->Creator[v];
    vertexToTriangle[v] = creator >= 0 ? scratch.NewNumber[creator] : -1;
  }
  // Sides that join the same two positions form a cycle in registration
  // order: a boundary side names itself, a shared side the other triangle's.
  const size_t sideCount = 3 * triangles;
  for (size_t i = 0; i < sideCount; ++i) {
    const int32_t next = scratch.NextSide[i];
    sideToNeighbor[i] = 4 * (next / 3) + next % 3;
  }
  if (b->PolygonStarts.Count > 0) {
    std::memcpy(polygonStarts, b->PolygonStarts.Items, sizeof(int32_t) * b->PolygonStarts.Count);
  }
  if (b->PolygonIndices.Count > 0) {
    std::memcpy(polygonIndices, b->PolygonIndices.Items, sizeof(int32_t) * b->PolygonIndices.Count);
  }
  // The record is packed: its members are assigned, never bound by reference.
  auto count = [](size_t n) { return static_cast<int32_t>(n); };
  auto items = [](int32_t* array, size_t n) { return n > 0 ? array : nullptr; };
  record->GroupCount = groupCount;
  record->Groups = groupCount > 0 ? groups : nullptr;
  record->IndexCount = count(3 * triangles);
  record->Indices = items(indices, 3 * triangles);
  record->VertexToVertexCount = count(vertices);
  record->VertexToVertexMap = items(vertexToVertex, vertices);
  record->VertexToTriangleCount = count(vertices);
  record->VertexToTriangleMap = items(vertexToTriangle, vertices);
  record->SideToNeighborCount = count(sideCount);
  record->SideToNeighborMap = items(sideToNeighbor, sideCount);
  record->PolygonIndexStartCount = count(b->PolygonStarts.Count);
  record->PolygonIndexStarts = items(polygonStarts, b->PolygonStarts.Count);
  record->PolygonIndexCount = count(b->PolygonIndices.Count);
  record->PolygonIndices = items(polygonIndices, b->PolygonIndices.Count);
  return record;
}

int32_t PositionOf(const mesh_builder* b, int32_t vertex) {
  while (vertex >= b->PositionCount) vertex = b->Next[vertex];
  return vertex;
}

bool PrepareScratch(const mesh_builder* b, end_scratch& scratch) {
  const size_t triangles = b->Materials.Count;
  scratch.PerMaterial = KT_ALLOCATE_ARRAY(int32_t, static_cast<size_t>(b->MaterialCount));
  scratch.NewNumber = KT_ALLOCATE_ARRAY(int32_t, triangles + 1);
  scratch.OldNumber = KT_ALLOCATE_ARRAY(int32_t, triangles + 1);
  scratch.NextSide = KT_ALLOCATE_ARRAY(int32_t, 3 * triangles + 1);
  if (scratch.PerMaterial == nullptr || scratch.NewNumber == nullptr ||
      scratch.OldNumber == nullptr || scratch.NextSide == nullptr) {
    return false;
  }
  CountPerMaterial(b, scratch.PerMaterial);
  // Groups in material order; within a group the last pushed comes first.
  int32_t* next = KT_ALLOCATE_ARRAY(int32_t, static_cast<size_t>(b->MaterialCount));
  if (next == nullptr) return false;
  int32_t first = 0;
  for (int32_t m = 0; m < b->MaterialCount; ++m) {
    next[m] = first;
    first += scratch.PerMaterial[m];
  }
  for (size_t t = triangles; t-- > 0;) {
    const int32_t number = next[b->Materials[t]]++;
    scratch.NewNumber[t] = number;
    scratch.OldNumber[number] = static_cast<int32_t>(t);
  }
  FreeBlock(next);
  // Sides are bucketed by their lower position (a stable counting sort, so
  // each bucket keeps registration order), then matched by upper position.
  const size_t sideCount = 3 * triangles;
  const size_t positions = static_cast<size_t>(b->PositionCount);
  int32_t* bucketStart = KT_ALLOCATE_ARRAY(int32_t, positions + 1);
  side_key* sides = KT_ALLOCATE_ARRAY(side_key, sideCount + 1);
  int32_t* low = KT_ALLOCATE_ARRAY(int32_t, sideCount + 1);
  if (bucketStart == nullptr || sides == nullptr || low == nullptr) {
    FreeBlock(bucketStart);
    FreeBlock(sides);
    FreeBlock(low);
    return false;
  }
  for (size_t p = 0; p <= positions; ++p) bucketStart[p] = 0;
  int32_t* high = scratch.NextSide;  // holds the upper positions until linked
  for (size_t t = 0; t < triangles; ++t) {
    const int32_t* corners = b->Corners3.Items + 3 * static_cast<size_t>(scratch.OldNumber[t]);
    const int32_t p[3] = {PositionOf(b, corners[0]), PositionOf(b, corners[1]),
                          PositionOf(b, corners[2])};
    for (int e = 0; e < 3; ++e) {
      const int32_t p0 = p[e];
      const int32_t p1 = p[(e + 1) % 3];
      low[3 * t + e] = p0 < p1 ? p0 : p1;
      high[3 * t + e] = p0 < p1 ? p1 : p0;
      ++bucketStart[(p0 < p1 ? p0 : p1) + 1];
    }
  }
  for (size_t p = 0; p < positions; ++p) bucketStart[p + 1] += bucketStart[p];
  for (size_t side = 0; side < sideCount; ++side) {
    const int32_t at = bucketStart[low[side]]++;
    sides[at] = side_key{high[side], static_cast<int32_t>(side)};
  }
  // bucketStart[p] is now the end of bucket p, i.e. the start of p + 1.
  size_t bucketFirst = 0;
  for (size_t p = 0; p < positions; ++p) {
    const size_t bucketEnd = static_cast<size_t>(bucketStart[p]);
    LinkBucket(sides + bucketFirst, bucketEnd - bucketFirst, scratch.NextSide);
    bucketFirst = bucketEnd;
  }
  FreeBlock(bucketStart);
  FreeBlock(sides);
  FreeBlock(low);
  return true;
}

}  // namespace

size_t GetResultingVertexDataSize(const mesh_builder* b) {
  if (b == nullptr) return 0;
  block_layout layout;
  LayOutVertexData(b, layout);
  return layout.Offset;
}

size_t GetResultingTopologySize(const mesh_builder* b) {
  if (b == nullptr) return 0;
  const size_t triangles = b->Materials.Count;
  const size_t vertices = static_cast<size_t>(VertexCountOf(b));
  int32_t groups = 0;
  int32_t* perMaterial = KT_ALLOCATE_ARRAY(int32_t, static_cast<size_t>(b->MaterialCount));
  if (perMaterial == nullptr) return 0;
  CountPerMaterial(b, perMaterial);
  groups = GroupCount(b, perMaterial);
  FreeBlock(perMaterial);
  // Same sequence of pieces as LayOutTopology.
  block_layout layout;
  layout.Take(sizeof(tri_topology), 16);
  layout.Take(sizeof(tri_material_group) * static_cast<size_t>(groups), 8);
  TakeInts(layout, 3 * triangles);
  TakeInts(layout, vertices);
  TakeInts(layout, vertices);
  TakeInts(layout, 3 * triangles);
  TakeInts(layout, b->PolygonStarts.Count);
  TakeInts(layout, b->PolygonIndices.Count);
  return layout.Offset;
}

bool EndMesh(mesh_builder* b, void* vertexMemory, vertex_data** vertexData, void* topologyMemory,
             tri_topology** topology) {
  if (vertexData != nullptr) *vertexData = nullptr;
  if (topology != nullptr) *topology = nullptr;
  if (b == nullptr) return false;
  if (!KT_CHECK_PARAMETER(Mesh, vertexMemory != nullptr && vertexData != nullptr &&
                                    topologyMemory != nullptr && topology != nullptr)) {
    return false;
  }
  if (b->OutOfMemory) {
    KT_LOG_ERROR(Mesh, "The mesh is incomplete: memory ran out while it was built");
    return false;
  }
  b->EndedNumber.Count = 0;
  end_scratch scratch;
  if (!PrepareScratch(b, scratch) || !b->EndedNumber.Reserve(b->Materials.Count)) return false;
  const size_t vertexSize = GetResultingVertexDataSize(b);
  const size_t topologySize = GetResultingTopologySize(b);
  if (topologySize == 0) return false;

  block_layout vertexLayout;
  vertexLayout.Base = static_cast<uint8_t*>(vertexMemory);
  vertex_data* data = LayOutVertexData(b, vertexLayout);
  block_layout topologyLayout;
  topologyLayout.Base = static_cast<uint8_t*>(topologyMemory);
  tri_topology* topo = LayOutTopology(b, scratch, topologyLayout);
  // What was written must be what was measured, or the caller's blocks
  // were overrun.
  if (vertexLayout.Offset != vertexSize || topologyLayout.Offset != topologySize) {
    KT_LOG_ERROR(Mesh, "Mesh layout differs from its measured size");
    return false;
  }
  for (size_t t = 0; t < b->Materials.Count; ++t) b->EndedNumber.Append(scratch.NewNumber[t]);
  *vertexData = data;
  *topology = topo;
  return true;
}

int32_t GetEndedTriangleNumber(const mesh_builder* b, int32_t pushedTriangle) {
  if (b == nullptr || pushedTriangle < 0 ||
      static_cast<size_t>(pushedTriangle) >= b->EndedNumber.Count) {
    return -1;
  }
  return b->EndedNumber[static_cast<size_t>(pushedTriangle)];
}

bool EndMeshAndFree(mesh_builder* b, void* vertexMemory, vertex_data** vertexData,
                    void* topologyMemory, tri_topology** topology) {
  const bool ended = EndMesh(b, vertexMemory, vertexData, topologyMemory, topology);
  FreeMeshBuilder(b);
  return ended;
}

}  // namespace ketrel
