#pragma once
// The mesh builder's state, shared by its source files (building, ending,
// tangent frames and the vertex member readers and writers). Not part of the
// library's interface.

#include <cstdint>
#include <cstring>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_growable_array.h"

namespace ketrel {

// Floats of a corner record before its channels: normal, tangent, binormal and
// tangent-binormal cross, 3 each.
inline constexpr int32_t CornerNormalOffset = 0;
inline constexpr int32_t CornerTangentOffset = 3;
inline constexpr int32_t CornerBinormalOffset = 6;
inline constexpr int32_t CornerCrossOffset = 9;
inline constexpr int32_t CornerChannelsOffset = 12;
inline constexpr int32_t ChannelWidth = 4;

enum class vertex_member_kind : uint8_t {
  Position,
  BoneWeights,
  BoneIndices,
  Direction,  // normal or a tangent frame vector: 3 corner floats
  Channel,    // 4 corner floats
};

// How one member of the vertex type is filled.
struct vertex_member_plan {
  const data_type_definition* Member;
  int32_t Offset;  // byte offset in the vertex
  int32_t Width;   // elements
  vertex_member_kind Kind;
  bool PackedDec3N;      // a direction stored as one UInt32
  int32_t CornerOffset;  // first corner float (Direction, Channel)
  int32_t CompareCount;  // corner floats compared when welding (0: not compared)
  // First float of this member in a vertex's weld key (its stored value read
  // back as floats), or -1 when the member holds the corner's floats exactly
  // (Real32) and is compared in place.
  int32_t KeyOffset;
  float Tolerance;
};

// Per-vertex storage in blocks of 8192 items of `Stride` elements: growing
// never moves what is stored, so a large mesh is not copied (and its pages
// not touched twice) each time it outgrows its room. A small mesh's only
// block is sized to the mesh and grows by copying until it is full-sized,
// so the many small meshes of a scene, which live side by side until the
// scene is written, do not each hold a full block.
template <typename T>
struct block_array {
  static constexpr size_t BlockShift = 13;
  static constexpr size_t BlockItems = size_t{1} << BlockShift;

  growable_array<T*> Blocks;
  size_t Count = 0;  // items
  size_t Stride = 1;
  size_t FirstCapacity = 0;  // items block 0 holds

  block_array() = default;
  block_array(const block_array&) = delete;
  block_array& operator=(const block_array&) = delete;
  ~block_array() {
    for (T* block : Blocks) FreeBlock(block);
  }
  // False (logged by the allocator) when memory runs out; nothing changes.
  bool Reserve(size_t items) {
    const size_t stride = Stride > 0 ? Stride : 1;
    if (Blocks.Count <= 1 && items > FirstCapacity && FirstCapacity < BlockItems) {
      size_t capacity = FirstCapacity * 2;
      if (capacity < items) capacity = items;
      if (capacity < 64) capacity = 64;
      if (capacity > BlockItems) capacity = BlockItems;
      if (!Blocks.Reserve(1)) return false;
      T* block = KT_ALLOCATE_ARRAY(T, capacity * stride);
      if (block == nullptr) return false;
      if (Blocks.Count == 1) {
        std::memcpy(static_cast<void*>(block), Blocks[0], sizeof(T) * Count * stride);
        FreeBlock(Blocks[0]);
        Blocks[0] = block;
      } else {
        Blocks.Append(block);
      }
      FirstCapacity = capacity;
    }
    while (Blocks.Count * BlockItems < items) {
      if (!Blocks.Reserve(Blocks.Count + 1)) return false;
      T* block = KT_ALLOCATE_ARRAY(T, BlockItems * stride);
      if (block == nullptr) return false;
      Blocks.Append(block);
    }
    return true;
  }
  T* At(size_t item) { return Blocks[item >> BlockShift] + (item & (BlockItems - 1)) * Stride; }
  const T* At(size_t item) const {
    return Blocks[item >> BlockShift] + (item & (BlockItems - 1)) * Stride;
  }
  T& operator[](size_t item) { return *At(item); }
  const T& operator[](size_t item) const { return *At(item); }
  // Room must be reserved.
  void Append(const T& value) { *At(Count++) = value; }
};

struct corner_record {
  int32_t PositionIndex;
  int32_t PolygonIndex;
  float* Data;  // corner layout: 12 + 4 x channels floats
};

struct mesh_builder {
  int32_t PositionCount = 0;
  int32_t MaterialCount = 0;
  int32_t BoneCount = 0;
  const data_type_definition* VertexType = nullptr;
  int32_t VertexSize = 0;
  int32_t MemberCount = 0;

  vertex_member_plan* Plans = nullptr;  // one per member
  // Plans compared when welding, then plans a corner writes (indices into
  // Plans), so the per-corner loops skip the rest.
  int32_t* Compared = nullptr;
  int32_t ComparedCount = 0;
  int32_t* Written = nullptr;
  int32_t WrittenCount = 0;
  int32_t ChannelCount = 0;
  int32_t CornerFloats = 0;
  int32_t KeyFloats = 0;  // floats of one vertex's weld key
  int32_t PositionPlan = -1;
  int32_t WeightsPlan = -1;
  int32_t IndicesPlan = -1;
  int32_t NormalPlan = -1;
  int32_t TangentPlan = -1;
  int32_t BinormalPlan = -1;
  int32_t CrossPlan = -1;
  int32_t TexturePlan = -1;  // first "TextureCoordinates" channel
  int32_t WeightSlots = 0;   // K: bones kept per vertex

  float TangentMergeCosine = 0.25f;
  bool MergingDisabled = false;
  bool OutOfMemory = false;

  float CurrentPosition[3] = {0, 0, 0};
  float* CurrentWeights = nullptr;  // B
  int32_t* TouchedBones = nullptr;  // bones with a weight, in the order added
  uint8_t* BoneTouched = nullptr;   // B flags
  int32_t TouchedCount = 0;
  float* SlotWeights = nullptr;  // K
  int32_t* SlotBones = nullptr;  // K
  int32_t PushedPositions = 0;

  corner_record Corners[3] = {};
  // The corner being welded as its vertex will store it: the keyed members
  // converted to their types and read back (KeyFloats), via a scratch vertex.
  float* CornerKey = nullptr;
  uint8_t* ScratchVertex = nullptr;
  int32_t CurrentMaterial = 0;
  int32_t TriangleValue = 0;
  int32_t Polygon[128];
  int32_t PolygonLargest = -1;

  int32_t* RingTail = nullptr;  // P: last vertex of each position's ring

  // Per vertex (Next.Count is the vertex count).
  block_array<uint8_t> Vertices;     // VertexSize bytes each
  block_array<float> Keys;           // KeyFloats each
  block_array<int32_t> Next;         // ring of vertices sharing a position
  block_array<int32_t> Creator;      // triangle that wrote it, or -1
  block_array<int32_t> SourceValue;  // triangle value of that triangle
  block_array<int32_t> SourcePlace;  // polygon place of that corner

  // Per triangle.
  growable_array<int32_t> Corners3;  // 3 vertices each
  growable_array<int32_t> Materials;
  growable_array<int32_t> TriangleValues;
  growable_array<int32_t> CornerPlaces;     // 3 each: polygon place, or -1
  growable_array<int32_t> TrianglePolygon;  // polygon ordinal of each triangle

  // Polygons.
  growable_array<int32_t> PolygonStarts;
  growable_array<int32_t> PolygonIndices;

  char** ComponentNames = nullptr;      // MemberCount copied texts, or null
  growable_array<int32_t> EndedNumber;  // pushed -> output triangle, after EndMesh
};

int32_t VertexCountOf(const mesh_builder* builder);

inline uint8_t* VertexBytes(mesh_builder* b, int32_t vertex) {
  return b->Vertices.At(static_cast<size_t>(vertex));
}
// The weld key of a vertex; null when no member needs one.
inline float* VertexKey(mesh_builder* b, int32_t vertex) {
  return b->KeyFloats > 0 ? b->Keys.At(static_cast<size_t>(vertex)) : nullptr;
}

// Puts the current position's kept bone weights and indices into a vertex.
void WriteWeights(mesh_builder* builder, uint8_t* vertex);
// Copies the members a position owns (position, weights, indices).
void CopyPositionMembers(mesh_builder* builder, int32_t from, int32_t to);

// Makes room for `extra` more vertices; false (logged, builder marked out of
// memory) when memory runs out.
bool ReserveVertices(mesh_builder* builder, int32_t extra);
// Appends a copy of vertex `source` (bytes, key and source values) at the end
// of the ring of position `slot` and returns its index. Room must be reserved.
int32_t AppendVertexCopy(mesh_builder* builder, int32_t source, int32_t slot);

// Stores `count` floats (missing elements 0) into a member by its type:
// rounding and clamping like the library's member conversion; a packed DEC3N
// member takes 3 floats.
void StoreMemberFloats(const vertex_member_plan& plan, uint8_t* vertex, const float* values,
                       int32_t count);
// Reads up to `count` floats of a member (missing ones 0).
void LoadMemberFloats(const vertex_member_plan& plan, const uint8_t* vertex, float* values,
                      int32_t count);
// Largest integer a member type stores exactly (0 for non-numeric types).
int64_t LargestStorableInteger(uint32_t type);

}  // namespace ketrel
