// Drives the mesh builder with arbitrary calls: any sequence of positions,
// weights, corners (valid or not), materials, polygons and tangent
// generation must end in a consistent mesh or a clean refusal, never a crash
// or a leak, and building the same input twice gives the same result.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_mesh_builder.h"

namespace {

using namespace ketrel;

struct reader {
  const uint8_t* Data;
  size_t Size;
  size_t At = 0;
  uint8_t Byte() { return At < Size ? Data[At++] : 0; }
  float Real() { return static_cast<float>(static_cast<int8_t>(Byte())) / 64.0f; }
  bool Done() const { return At >= Size; }
};

data_type_definition Member(member_type type, const char* name, int32_t width) {
  return data_type_definition{type, name, nullptr, width, {0, 0, 0}, 0};
}

// The result of one build, without the addresses.
struct outcome {
  bool Ended = false;
  std::vector<uint8_t> Vertices;
  std::vector<int32_t> Topology;
};

void Append(std::vector<int32_t>& out, const int32_t* items, int32_t count) {
  if (count > 0) out.insert(out.end(), items, items + count);
}

outcome Build(const uint8_t* data, size_t size) {
  reader in{data, size};
  const uint8_t flags = in.Byte();
  const int32_t positions = 1 + in.Byte() % 32;
  const int32_t materials = in.Byte() % 4;
  const int32_t bones = in.Byte() % 8;
  const member_type weightTypes[3] = {NormalUInt8Member, Real16Member, Real32Member};
  const member_type normalType = (flags & 1) ? UInt32Member : Real32Member;
  std::vector<data_type_definition> type = {
      Member(Real32Member, "Position", 3),
      Member(weightTypes[(flags >> 1) % 3], "BoneWeights", 3),
      Member(UInt8Member, "BoneIndices", 3),
      Member(normalType, "Normal", normalType == UInt32Member ? 0 : 3),
      Member(Real32Member, "Tangent", 3),
      Member(Real32Member, "Binormal", 3),
      Member(Real32Member, "TangentBinormalCross", 3),
      Member(NormalUInt8Member, "DiffuseColor0", 4),
      Member(Real32Member, "TextureCoordinates0", 2),
      Member(EndMember, nullptr, 0)};
  outcome result;
  mesh_builder* b = BeginMesh(positions, 4, materials, bones, type.data());
  if (b == nullptr) return result;
  if (flags & 8) DisableVertexMerging(b);
  for (int32_t p = 0; p < positions; ++p) {
    SetPosition(b, in.Real(), in.Real(), in.Real());
    const int weights = in.Byte() % 5;
    for (int w = 0; w < weights; ++w) AddWeight(b, in.Byte() % 9, in.Real());
    PushVertex(b);
  }
  while (!in.Done()) {
    const uint8_t op = in.Byte();
    const int32_t corner = op % 4;  // 3 is out of range on purpose
    switch ((op >> 2) % 6) {
      case 0:
        SetCornerPositionIndex(b, corner, in.Byte() % (positions + 1));
        break;
      case 1:
        SetCornerNormal(b, corner, in.Real(), in.Real(), in.Real());
        break;
      case 2: {
        const float values[4] = {in.Real(), in.Real(), in.Real(), in.Real()};
        SetCornerChannel(b, corner, in.Byte() % 3, values, in.Byte() % 5);
        break;
      }
      case 3:
        SetMaterial(b, in.Byte() % 5);
        SetCornerPolygonIndex(b, corner, in.Byte() % 140);
        break;
      case 4:
        PushTriangle(b);
        break;
      default:
        EndPolygon(b);
        break;
    }
  }
  if (flags & 16) GenerateTangentSpace(b);
  void* vertexMemory = KT_ALLOCATE(GetResultingVertexDataSize(b));
  void* topologyMemory = KT_ALLOCATE(GetResultingTopologySize(b));
  vertex_data* vertices = nullptr;
  tri_topology* topology = nullptr;
  result.Ended = EndMeshAndFree(b, vertexMemory, &vertices, topologyMemory, &topology);
  if (result.Ended) {
    const int32_t count = vertices->Vertices.Count;
    const uint8_t* bytes = static_cast<const uint8_t*>(vertices->Vertices.Items);
    const size_t vertexSize = static_cast<size_t>(GetTotalObjectSize(vertices->Vertices.Type));
    if (count > 0) result.Vertices.assign(bytes, bytes + count * vertexSize);
    // Every index names a vertex, every neighbour code a side.
    for (int32_t i = 0; i < topology->IndexCount; ++i) {
      if (topology->Indices[i] < 0 || topology->Indices[i] >= count) std::abort();
    }
    for (int32_t i = 0; i < topology->SideToNeighborCount; ++i) {
      const int32_t code = topology->SideToNeighborMap[i];
      if (code < 0 || code % 4 > 2 || 3 * (code / 4) >= topology->IndexCount) std::abort();
    }
    for (int32_t v = 0; v < count; ++v) {
      // Weights of 8-bit vertices sum exactly to 255.
      if (type[1].Type == NormalUInt8Member &&
          bytes[v * vertexSize + 12] + bytes[v * vertexSize + 13] + bytes[v * vertexSize + 14] !=
              255) {
        std::abort();
      }
    }
    Append(result.Topology, &topology->GroupCount, 1);
    for (int32_t g = 0; g < topology->GroupCount; ++g) {
      Append(result.Topology, &topology->Groups[g].MaterialIndex, 3);
    }
    Append(result.Topology, topology->Indices, topology->IndexCount);
    Append(result.Topology, topology->VertexToVertexMap, topology->VertexToVertexCount);
    Append(result.Topology, topology->VertexToTriangleMap, topology->VertexToTriangleCount);
    Append(result.Topology, topology->SideToNeighborMap, topology->SideToNeighborCount);
    Append(result.Topology, topology->PolygonIndexStarts, topology->PolygonIndexStartCount);
    Append(result.Topology, topology->PolygonIndices, topology->PolygonIndexCount);
  }
  FreeBlock(vertexMemory);
  FreeBlock(topologyMemory);
  return result;
}

void Quiet(LogType, LogOrigin, const char*, int, const char*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScopedLogCallback quiet(Quiet, nullptr);
  const size_t live = LiveBlockCount();
  const outcome first = Build(data, size);
  const outcome second = Build(data, size);
  if (first.Ended != second.Ended || first.Vertices != second.Vertices ||
      first.Topology != second.Topology) {
    std::abort();
  }
  if (LiveBlockCount() != live) std::abort();
  return 0;
}
