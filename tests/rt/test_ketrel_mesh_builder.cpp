#include "rt/ketrel_mesh_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "rt/ketrel_memory.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using test::LogCapture;

data_type_definition Member(member_type type, const char* name, int32_t width) {
  return data_type_definition{type, name, nullptr, width, {0, 0, 0}, 0};
}
const data_type_definition End = Member(EndMember, nullptr, 0);

// Position, Normal, TextureCoordinates0: 32 bytes.
data_type_definition BasicType[] = {Member(Real32Member, "Position", 3),
                                    Member(Real32Member, "Normal", 3),
                                    Member(Real32Member, "TextureCoordinates0", 2), End};

struct BasicVertex {
  float Position[3];
  float Normal[3];
  float UV[2];
};

// Owns the blocks EndMesh lays its results into.
struct Ended {
  vertex_data* Data = nullptr;
  tri_topology* Topology = nullptr;
  void* VertexMemory = nullptr;
  void* TopologyMemory = nullptr;
  ~Ended() {
    FreeBlock(VertexMemory);
    FreeBlock(TopologyMemory);
  }
  template <typename T>
  const T& Vertex(int32_t i) const {
    return static_cast<const T*>(Data->Vertices.Items)[i];
  }
};

bool Finish(mesh_builder* b, Ended& out) {
  out.VertexMemory = KT_ALLOCATE(GetResultingVertexDataSize(b));
  out.TopologyMemory = KT_ALLOCATE(GetResultingTopologySize(b));
  return EndMeshAndFree(b, out.VertexMemory, &out.Data, out.TopologyMemory, &out.Topology);
}

const float CubeCorners[8][3] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                                 {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
// Six outward quads (counter-clockwise seen from outside) and their normals.
const int CubeFaces[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                             {2, 3, 7, 6}, {1, 2, 6, 5}, {0, 4, 7, 3}};
const float CubeNormals[6][3] = {{0, 0, -1}, {0, 0, 1}, {0, -1, 0},
                                 {0, 1, 0},  {1, 0, 0}, {-1, 0, 0}};

// A cube as 12 triangles; smooth normals point away from the centre.
mesh_builder* BuildCube(bool smooth, bool mergingDisabled = false) {
  mesh_builder* b = BeginMesh(8, 12, 1, 0, BasicType);
  if (mergingDisabled) DisableVertexMerging(b);
  for (const auto& p : CubeCorners) {
    SetPosition(b, p[0], p[1], p[2]);
    PushVertex(b);
  }
  const float uvs[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (int f = 0; f < 6; ++f) {
    const int order[2][3] = {{0, 1, 2}, {0, 2, 3}};
    for (const auto& tri : order) {
      for (int c = 0; c < 3; ++c) {
        const int position = CubeFaces[f][tri[c]];
        const float* p = CubeCorners[position];
        const float s = 1.0f / std::sqrt(3.0f);
        SetCornerPositionIndex(b, c, position);
        SetCornerPolygonIndex(b, c, tri[c]);
        if (smooth) {
          SetCornerNormal(b, c, p[0] * s, p[1] * s, p[2] * s);
        } else {
          SetCornerNormal(b, c, CubeNormals[f][0], CubeNormals[f][1], CubeNormals[f][2]);
        }
        // One smoothing group also means one texture mapping per position.
        const float planar[2] = {p[0], p[1]};
        SetCornerChannel(b, c, 0, smooth ? planar : uvs[tri[c]], 2);
      }
      SetTriangleValue(b, f);
      EXPECT_TRUE(PushTriangle(b));
    }
    EndPolygon(b);
  }
  return b;
}

TEST(MeshBuilderWeld, CubeSplitsPerFaceNormalsAndSharesSmoothOnes) {
  Ended hard;
  ASSERT_TRUE(Finish(BuildCube(false), hard));
  EXPECT_EQ(hard.Data->Vertices.Count, 24);
  EXPECT_EQ(hard.Topology->IndexCount, 36);
  EXPECT_EQ(hard.Data->Vertices.Type[3].Type, EndMember);
  EXPECT_STREQ(hard.Data->Vertices.Type[2].Name, "TextureCoordinates0");
  // Every vertex keeps its position and the normal of the face that made it.
  for (int32_t i = 0; i < hard.Topology->IndexCount; ++i) {
    const auto& v = hard.Vertex<BasicVertex>(hard.Topology->Indices[i]);
    EXPECT_EQ(std::fabs(v.Position[0]) + std::fabs(v.Position[1]) + std::fabs(v.Position[2]), 3.0f);
  }
  // Rings: each position holds three vertices linked in a cycle.
  for (int32_t p = 0; p < 8; ++p) {
    int32_t count = 0;
    int32_t v = p;
    do {
      ++count;
      v = hard.Topology->VertexToVertexMap[v];
    } while (v != p && count < 100);
    EXPECT_EQ(count, 3);
  }

  Ended smooth;
  ASSERT_TRUE(Finish(BuildCube(true), smooth));
  EXPECT_EQ(smooth.Data->Vertices.Count, 8);
  EXPECT_EQ(smooth.Topology->IndexCount, 36);
  // Polygons: one quad of four vertices per face.
  ASSERT_EQ(smooth.Topology->PolygonIndexStartCount, 6);
  ASSERT_EQ(smooth.Topology->PolygonIndexCount, 24);
  EXPECT_EQ(smooth.Topology->PolygonIndices[4 + 2], CubeFaces[1][2]);

  Ended unmerged;
  ASSERT_TRUE(Finish(BuildCube(true, true), unmerged));
  EXPECT_EQ(unmerged.Data->Vertices.Count, 36);
}

TEST(MeshBuilderWeld, NormalsWithinToleranceShareAVertex) {
  mesh_builder* b = BeginMesh(3, 3, 1, 0, BasicType);
  for (int i = 0; i < 3; ++i) {
    SetPosition(b, static_cast<float>(i), 0, 0);
    PushVertex(b);
  }
  const float zs[3] = {1.0f, 0.9995f, 0.99f};
  for (int t = 0; t < 3; ++t) {
    for (int c = 0; c < 3; ++c) {
      SetCornerPositionIndex(b, c, c);
      SetCornerNormal(b, c, 0, 0, zs[t]);
    }
    SetTriangleValue(b, 10 + t);
    PushTriangle(b);
  }
  EXPECT_EQ(GetVertexCount(b), 6);
  int32_t value = 0, place = 0;
  ASSERT_TRUE(GetVertexSourceValues(b, 4, &value, &place));
  EXPECT_EQ(value, 12);
  EXPECT_EQ(place, -1);
  EXPECT_EQ(GetPositionOfVertex(b, 4), 1);
  Ended out;
  ASSERT_TRUE(Finish(b, out));
  // Groups list the last pushed triangle first: its corners are the new
  // vertices 3, 4, 5, created by the (output) triangle 0.
  EXPECT_EQ(out.Topology->Indices[0], 3);
  EXPECT_EQ(out.Topology->VertexToTriangleMap[5], 0);
  EXPECT_EQ(out.Topology->VertexToTriangleMap[0], 2);
  EXPECT_EQ(out.Topology->VertexToVertexMap[1], 4);
  EXPECT_EQ(out.Topology->VertexToVertexMap[4], 1);
}

TEST(MeshBuilderWeld, QuantisedMembersAgreeByTheirStoredValues) {
  // Byte colours and DEC3N normals: corners are compared as their vertices
  // store them. Colours 0.5 and 0.5016 are both byte 128, normals with x
  // 0.5999 and 0.6015 the same DEC3N word: one vertex per position although
  // both differ by more than the tolerance. Colours 0.4998 and 0.5002
  // straddle a byte step: two vertices although they differ by less.
  data_type_definition type[] = {Member(Real32Member, "Position", 3),
                                 Member(UInt32Member, "Normal", 0),
                                 Member(NormalUInt8Member, "DiffuseColor0", 3), End};
  struct Case {
    float red[2];
    float normalX[2];
    int32_t vertices;
  };
  const Case cases[] = {{{0.5f, 0.5016f}, {0.5999f, 0.6015f}, 3},
                        {{0.4998f, 0.5002f}, {0.6f, 0.6f}, 6}};
  for (const Case& c : cases) {
    mesh_builder* b = BeginMesh(3, 2, 1, 0, type);
    for (int i = 0; i < 3; ++i) PushVertex(b);
    for (int t = 0; t < 2; ++t) {
      for (int k = 0; k < 3; ++k) {
        SetCornerPositionIndex(b, k, k);
        SetCornerNormal(b, k, c.normalX[t], 0.0f, 0.8f);
        const float color[3] = {c.red[t], 1.0f, 1.0f};
        SetCornerChannel(b, k, 0, color, 3);
      }
      ASSERT_TRUE(PushTriangle(b));
    }
    EXPECT_EQ(GetVertexCount(b), c.vertices) << c.red[0];
    FreeMeshBuilder(b);
  }
}

TEST(MeshBuilderWeld, VerticesSurviveGrowthPastTheFirstBlock) {
  // A small mesh starts with small storage; 9000 corners at three positions
  // outgrow it and then a whole block.
  mesh_builder* b = BeginMesh(3, 1, 1, 0, BasicType);
  for (int i = 0; i < 3; ++i) {
    SetPosition(b, static_cast<float>(i), 1, 2);
    PushVertex(b);
  }
  for (int t = 0; t < 3000; ++t) {
    for (int c = 0; c < 3; ++c) {
      SetCornerPositionIndex(b, c, c);
      SetCornerNormal(b, c, static_cast<float>(t), 0, 0);
    }
    ASSERT_TRUE(PushTriangle(b));
  }
  ASSERT_EQ(GetVertexCount(b), 9000);
  Ended out;
  ASSERT_TRUE(Finish(b, out));
  for (int32_t i = 0; i < 9000; i += 7) {
    const int32_t v = out.Topology->Indices[i];
    const auto& vertex = out.Vertex<BasicVertex>(v);
    EXPECT_EQ(vertex.Position[0], static_cast<float>(i % 3));
    // Output triangles run backwards: output triangle k is pushed 2999 - k.
    EXPECT_EQ(vertex.Normal[0], static_cast<float>(2999 - i / 3));
  }
}

TEST(MeshBuilderTopology, MaterialGroupsSkipUnusedMaterialsAndReverseOrder) {
  mesh_builder* b = BeginMesh(3, 4, 3, 0, BasicType);
  for (int i = 0; i < 3; ++i) PushVertex(b);
  const int materials[4] = {2, 0, 2, 2};
  for (int t = 0; t < 4; ++t) {
    for (int c = 0; c < 3; ++c) SetCornerPositionIndex(b, c, c);
    SetMaterial(b, materials[t]);
    PushTriangle(b);
  }
  {
    LogCapture log;
    SetMaterial(b, 3);
    EXPECT_TRUE(log.Contains(kParameterCheckFailed));
  }
  EXPECT_EQ(GetEndedTriangleNumber(b, 0), -1);
  Ended out;
  out.VertexMemory = KT_ALLOCATE(GetResultingVertexDataSize(b));
  out.TopologyMemory = KT_ALLOCATE(GetResultingTopologySize(b));
  ASSERT_TRUE(EndMesh(b, out.VertexMemory, &out.Data, out.TopologyMemory, &out.Topology));
  // Pushed 2, 0, 2, 2: material 0 first, then material 2 last pushed first.
  const int32_t expected[4] = {3, 0, 2, 1};
  for (int t = 0; t < 4; ++t) EXPECT_EQ(GetEndedTriangleNumber(b, t), expected[t]);
  FreeMeshBuilder(b);
  ASSERT_EQ(out.Topology->GroupCount, 2);
  EXPECT_EQ(out.Topology->Groups[0].MaterialIndex, 0);
  EXPECT_EQ(out.Topology->Groups[0].TriCount, 1);
  EXPECT_EQ(out.Topology->Groups[1].MaterialIndex, 2);
  EXPECT_EQ(out.Topology->Groups[1].TriFirst, 1);
  EXPECT_EQ(out.Topology->Groups[1].TriCount, 3);
  // A lone triangle: each side is its own neighbour chain over 4 copies.
  EXPECT_EQ(out.Topology->SideToNeighborMap[0] / 4, 1);
}

data_type_definition SkinnedType[] = {
    Member(Real32Member, "Position", 3), Member(NormalUInt8Member, "BoneWeights", 3),
    Member(UInt8Member, "BoneIndices", 3), Member(Real32Member, "Normal", 3), End};
#pragma pack(push, 1)
struct SkinnedVertex {
  float Position[3];
  uint8_t Weights[3];
  uint8_t Indices[3];
  float Normal[3];
};
#pragma pack(pop)

TEST(MeshBuilderWeights, KeepHeaviestRenormaliseAndSumExactly) {
  mesh_builder* b = BeginMesh(5, 0, 1, 6, SkinnedType);
  // 0.335, 0.335, 0.330 quantise to 85, 85, 84 and must become 86, 85, 84.
  AddWeight(b, 4, 0.335f);
  AddWeight(b, 1, 0.335f);
  AddWeight(b, 2, 0.330f);
  PushVertex(b);
  // Four bones: the lightest is dropped; repeated bones add up.
  AddWeight(b, 0, 0.1f);
  AddWeight(b, 3, 0.2f);
  AddWeight(b, 5, 0.3f);
  AddWeight(b, 3, 0.2f);
  AddWeight(b, 1, 0.15f);
  PushVertex(b);
  // No weight at all: everything on slot 0.
  PushVertex(b);
  // One bone: the empty slots repeat its index.
  AddWeight(b, 5, 2.0f);
  PushVertex(b);
  {
    LogCapture log;
    AddWeight(b, 6, 1.0f);
    AddWeight(b, 0, -1.0f);
    AddWeight(b, 0, NAN);
    EXPECT_EQ(log.errors(), 3u);
    PushVertex(b);
    PushVertex(b);  // a sixth position does not exist
    EXPECT_EQ(log.errors(), 4u);
  }
  const auto* v = static_cast<const SkinnedVertex*>(GetVertex(b, 0));
  EXPECT_EQ(v[0].Weights[0], 86);
  EXPECT_EQ(v[0].Weights[1], 85);
  EXPECT_EQ(v[0].Weights[2], 84);
  // Equal weights keep bone order.
  EXPECT_EQ(v[0].Indices[0], 1);
  EXPECT_EQ(v[0].Indices[1], 4);
  EXPECT_EQ(v[0].Indices[2], 2);
  EXPECT_EQ(v[1].Indices[0], 3);
  EXPECT_EQ(v[1].Indices[1], 5);
  EXPECT_EQ(v[1].Indices[2], 1);
  EXPECT_EQ(v[2].Weights[0], 255);
  EXPECT_EQ(v[3].Weights[0], 255);
  EXPECT_EQ(v[3].Indices[1], 5);
  EXPECT_EQ(v[3].Indices[2], 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(v[i].Weights[0] + v[i].Weights[1] + v[i].Weights[2], 255) << i;
  }
  FreeMeshBuilder(b);
}

TEST(MeshBuilderWeights, EveryVertexSumsExactlyWhateverTheWeights) {
  const int count = 2000;
  mesh_builder* b = BeginMesh(count, 0, 1, 4, SkinnedType);
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(seed >> 8) / static_cast<float>(1 << 24);
  };
  for (int i = 0; i < count; ++i) {
    for (int bone = 0; bone < 4; ++bone) AddWeight(b, bone, next());
    PushVertex(b);
  }
  for (int i = 0; i < count; ++i) {
    const auto* v = static_cast<const SkinnedVertex*>(GetVertex(b, i));
    ASSERT_EQ(v->Weights[0] + v->Weights[1] + v->Weights[2], 255) << i;
  }
  FreeMeshBuilder(b);
}

TEST(MeshBuilderVertexData, EnsureExactOneNormFixesBothDirections) {
  data_type_definition bytes = Member(NormalUInt8Member, "BoneWeights", 3);
  uint8_t over[3] = {86, 86, 85};
  EXPECT_TRUE(EnsureExactOneNorm(&bytes, over));
  EXPECT_EQ(over[0], 86);
  EXPECT_EQ(over[1], 85);
  EXPECT_EQ(over[2], 84);
  data_type_definition shorts = Member(NormalUInt16Member, "BoneWeights", 2);
  uint16_t under[2] = {65535, 65000};
  EXPECT_TRUE(EnsureExactOneNorm(&shorts, under));
  EXPECT_EQ(under[0] + under[1], 65535);
  data_type_definition floats = Member(Real32Member, "BoneWeights", 2);
  float untouched[2] = {0.7f, 0.7f};
  EXPECT_TRUE(EnsureExactOneNorm(&floats, untouched));
  EXPECT_EQ(untouched[0], 0.7f);
  LogCapture log;
  data_type_definition ints = Member(Int32Member, "BoneWeights", 2);
  int32_t other[2] = {1, 2};
  EXPECT_FALSE(EnsureExactOneNorm(&ints, other));
  EXPECT_TRUE(log.Contains("EnsureExactOneNorm called on unsupported type 19"));
}

TEST(MeshBuilderVertexData, ConvertIndicesBetweenWidths) {
  const uint32_t wide[3] = {1, 0x12345, 65535};
  uint16_t narrow[3];
  ASSERT_TRUE(ConvertIndices(3, 4, wide, 2, narrow));
  EXPECT_EQ(narrow[1], 0x2345);
  EXPECT_EQ(narrow[2], 65535);
  // Widening in place.
  uint32_t buffer[3] = {0, 0, 0};
  std::memcpy(buffer, narrow, sizeof(narrow));
  ASSERT_TRUE(ConvertIndices(3, 2, buffer, 4, buffer));
  EXPECT_EQ(buffer[0], 1u);
  EXPECT_EQ(buffer[1], 0x2345u);
  EXPECT_EQ(buffer[2], 65535u);
  LogCapture log;
  EXPECT_FALSE(ConvertIndices(3, 3, wide, 2, narrow));
  EXPECT_TRUE(log.Contains("Illegal value for FromBytesPerIndex (3)"));
  EXPECT_FALSE(ConvertIndices(3, 4, wide, 8, narrow));
  EXPECT_TRUE(log.Contains("Illegal value for ToBytesPerIndex (8)"));
}

TEST(MeshBuilderVertexData, Dec3NNormalsArePackedIntoOneWord) {
  data_type_definition packed[] = {Member(Real32Member, "Position", 3),
                                   Member(UInt32Member, "Normal", 0), End};
  mesh_builder* b = BeginMesh(3, 1, 1, 0, packed);
  for (int i = 0; i < 3; ++i) PushVertex(b);
  for (int c = 0; c < 3; ++c) {
    SetCornerPositionIndex(b, c, c);
    SetCornerNormal(b, c, 0.6f, -0.8f, 0.0f);
  }
  PushTriangle(b);
  uint32_t word;
  std::memcpy(&word, static_cast<const uint8_t*>(GetVertex(b, 1)) + 12, 4);
  float n[3];
  UnpackDec3N(word, n);
  EXPECT_NEAR(n[0], 0.6f, 1.0f / 511);
  EXPECT_NEAR(n[1], -0.8f, 1.0f / 511);
  EXPECT_EQ(n[2], 0.0f);
  EXPECT_EQ(word >> 30, 0u);
  FreeMeshBuilder(b);
}

data_type_definition FrameType[] = {Member(Real32Member, "Position", 3),
                                    Member(Real32Member, "Normal", 3),
                                    Member(Real32Member, "Tangent", 3),
                                    Member(Real32Member, "Binormal", 3),
                                    Member(Real32Member, "TangentBinormalCross", 3),
                                    Member(Real32Member, "TextureCoordinates0", 2),
                                    End};
struct FrameVertex {
  float Position[3], Normal[3], Tangent[3], Binormal[3], Cross[3], UV[2];
};

// Two quads side by side in the z = 0 plane sharing the edge x = 1. With
// `mirrored` the right quad's u runs backwards (a mirrored texture island).
mesh_builder* BuildStrip(bool mirrored, float normalZ = 1.0f, bool flatUV = false) {
  mesh_builder* b = BeginMesh(6, 4, 1, 0, FrameType);
  const float xs[3] = {0, 1, 2};
  for (int row = 0; row < 2; ++row) {
    for (float x : xs) {
      SetPosition(b, x, static_cast<float>(row), 0);
      PushVertex(b);
    }
  }
  auto u = [&](int column) {
    if (flatUV) return 0.0f;
    if (!mirrored) return static_cast<float>(column);
    return column == 2 ? 0.0f : static_cast<float>(column);
  };
  const int quads[2][4] = {{0, 1, 4, 3}, {1, 2, 5, 4}};
  for (const auto& q : quads) {
    const int order[2][3] = {{0, 1, 2}, {0, 2, 3}};
    for (const auto& tri : order) {
      for (int c = 0; c < 3; ++c) {
        const int p = q[tri[c]];
        const float uv[2] = {u(p % 3), flatUV ? 0.0f : static_cast<float>(p / 3)};
        SetCornerPositionIndex(b, c, p);
        SetCornerNormal(b, c, 0, 0, normalZ);
        SetCornerChannel(b, c, 0, uv, 2);
      }
      PushTriangle(b);
    }
  }
  return b;
}

float Length(const float* v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

TEST(MeshBuilderTangents, PlanarStripGetsOneOrthonormalFrame) {
  mesh_builder* b = BuildStrip(false);
  ASSERT_TRUE(GenerateTangentSpace(b));
  EXPECT_EQ(GetVertexCount(b), 6);
  for (int i = 0; i < 6; ++i) {
    const auto* v = static_cast<const FrameVertex*>(GetVertex(b, i));
    // Our frame convention: tangent and binormal both point against +u, +v.
    EXPECT_NEAR(v->Tangent[0], -1.0f, 1e-5f);
    EXPECT_NEAR(v->Binormal[1], -1.0f, 1e-5f);
    EXPECT_NEAR(v->Cross[2], 1.0f, 1e-5f);
  }
  FreeMeshBuilder(b);
}

TEST(MeshBuilderTangents, MirroredIslandSplitsSharedVerticesWithoutZeroTangents) {
  mesh_builder* b = BuildStrip(true);
  ASSERT_TRUE(GenerateTangentSpace(b));
  // The shared edge's two positions each get a second vertex.
  EXPECT_EQ(GetVertexCount(b), 8);
  for (int i = 0; i < GetVertexCount(b); ++i) {
    const auto* v = static_cast<const FrameVertex*>(GetVertex(b, i));
    EXPECT_NEAR(Length(v->Tangent), 1.0f, 1e-4f) << i;
    EXPECT_NEAR(Length(v->Binormal), 1.0f, 1e-4f) << i;
  }
  const auto* left = static_cast<const FrameVertex*>(GetVertex(b, 1));
  const auto* right = static_cast<const FrameVertex*>(GetVertex(b, 6));
  EXPECT_EQ(GetPositionOfVertex(b, 6), 1);
  EXPECT_NEAR(left->Tangent[0], -right->Tangent[0], 1e-5f);
  Ended out;
  ASSERT_TRUE(Finish(b, out));
  // The split vertices are used by the triangles of the right quad, which
  // come first in the output.
  EXPECT_GE(out.Topology->VertexToTriangleMap[6], 0);
  EXPECT_LT(out.Topology->VertexToTriangleMap[6], 2);
}

TEST(MeshBuilderTangents, DegenerateInputStillGivesUnitFrames) {
  // Flat texture coordinates and zero normals: the frame falls back to the
  // face normal and some tangent around it, never NaN.
  mesh_builder* b = BuildStrip(false, 0.0f, true);
  ASSERT_TRUE(GenerateTangentSpace(b));
  for (int i = 0; i < GetVertexCount(b); ++i) {
    const auto* v = static_cast<const FrameVertex*>(GetVertex(b, i));
    EXPECT_NEAR(v->Cross[2], 1.0f, 1e-5f);
    EXPECT_NEAR(Length(v->Tangent), 1.0f, 1e-4f);
    EXPECT_NEAR(
        v->Tangent[0] * v->Cross[0] + v->Tangent[1] * v->Cross[1] + v->Tangent[2] * v->Cross[2],
        0.0f, 1e-5f);
  }
  FreeMeshBuilder(b);
}

TEST(MeshBuilderTangents, OutOfMemoryWritesTheDefaultFrame) {
  mesh_builder* b = BuildStrip(false);
  LogCapture log;
  SetAllocationFailureCountdown(0);
  EXPECT_FALSE(GenerateTangentSpace(b));
  SetAllocationFailureCountdown(-1);
  EXPECT_TRUE(log.Contains("Unable to allocate the appropriate number of tangent frames"));
  EXPECT_TRUE(log.Contains("Failed to create the tangent space"));
  const auto* v = static_cast<const FrameVertex*>(GetVertex(b, 0));
  EXPECT_EQ(v->Tangent[0], 1.0f);
  EXPECT_EQ(v->Binormal[1], 1.0f);
  Ended out;
  EXPECT_TRUE(Finish(b, out));
}

TEST(MeshBuilderFailures, BadArgumentsAreRefusedAndLogged) {
  LogCapture log;
  EXPECT_EQ(BeginMesh(3, 1, 1, 0, nullptr), nullptr);
  EXPECT_EQ(BeginMesh(-1, 1, 1, 0, BasicType), nullptr);
  data_type_definition withString[] = {Member(StringMember, "Name", 0), End};
  EXPECT_EQ(BeginMesh(3, 1, 1, 0, withString), nullptr);
  EXPECT_EQ(log.errors(), 3u);
  // 300 bones cannot be numbered by bytes.
  EXPECT_EQ(BeginMesh(3, 1, 1, 300, SkinnedType), nullptr);
  EXPECT_TRUE(log.Contains("cannot number 300 bones"));
  log.Clear();

  mesh_builder* b = BeginMesh(3, 1, 1, 0, BasicType);
  ASSERT_NE(b, nullptr);
  SetCornerPositionIndex(b, 0, 3);
  SetCornerPositionIndex(b, 3, 0);
  SetCornerPolygonIndex(b, 0, -1);
  const float values[4] = {1, 2, 3, 4};
  SetCornerChannel(b, 0, 1, values, 2);
  SetCornerChannel(b, 0, 0, values, 5);
  EXPECT_FALSE(SetVertexComponentNames(b, 2, nullptr));
  EXPECT_EQ(GetVertex(b, 3), nullptr);
  EXPECT_EQ(GetPositionOfVertex(b, -1), -1);
  EXPECT_EQ(log.errors(), 8u);
  // Corner 0 never got a valid position: the triangle is refused.
  SetCornerPositionIndex(b, 1, 1);
  SetCornerPositionIndex(b, 2, 2);
  EXPECT_FALSE(PushTriangle(b));
  EXPECT_EQ(GetTriangleCount(b), 0);
  const char* names[3] = {"Position", "Normal", "TextureCoordinates0"};
  EXPECT_TRUE(SetVertexComponentNames(b, 3, names));
  Ended out;
  ASSERT_TRUE(Finish(b, out));
  ASSERT_EQ(out.Data->VertexComponentNameCount, 3);
  EXPECT_STREQ(out.Data->VertexComponentNames[2], "TextureCoordinates0");
  EXPECT_EQ(out.Topology->IndexCount, 0);
}

TEST(MeshBuilderFailures, AllocationFailuresLeaveNothingBehind) {
  LogCapture log;
  // Every allocation of BeginMesh in turn fails; each gives null, no leak.
  for (long n = 0; n < 40; ++n) {
    SetAllocationFailureCountdown(n);
    mesh_builder* b = BeginMesh(8, 12, 2, 4, SkinnedType);
    SetAllocationFailureCountdown(-1);
    if (b != nullptr) {
      FreeMeshBuilder(b);
      break;
    }
  }
  // A failing EndMesh leaves both outputs null; the builder can try again.
  mesh_builder* b = BuildCube(false);
  void* vertexMemory = KT_ALLOCATE(GetResultingVertexDataSize(b));
  void* topologyMemory = KT_ALLOCATE(GetResultingTopologySize(b));
  vertex_data* data = reinterpret_cast<vertex_data*>(1);
  tri_topology* topology = reinterpret_cast<tri_topology*>(1);
  SetAllocationFailureCountdown(0);
  EXPECT_FALSE(EndMesh(b, vertexMemory, &data, topologyMemory, &topology));
  SetAllocationFailureCountdown(-1);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(topology, nullptr);
  EXPECT_TRUE(EndMeshAndFree(b, vertexMemory, &data, topologyMemory, &topology));
  EXPECT_EQ(data->Vertices.Count, 24);
  FreeBlock(vertexMemory);
  FreeBlock(topologyMemory);
}

TEST(MeshBuilderFailures, RunningOutOfMemoryWhileWeldingRefusesToEnd) {
  // The positions fill the first vertex block exactly, so room for the
  // triangle's possible extra vertices needs a new block.
  const int32_t positions = 8192;
  mesh_builder* b = BeginMesh(positions, 2, 1, 0, BasicType);
  for (int32_t p = 0; p < positions; ++p) PushVertex(b);
  for (int c = 0; c < 3; ++c) SetCornerPositionIndex(b, c, c);
  LogCapture log;
  SetAllocationFailureCountdown(0);
  EXPECT_FALSE(PushTriangle(b));
  SetAllocationFailureCountdown(-1);
  EXPECT_EQ(GetTriangleCount(b), 0);
  Ended out;
  EXPECT_FALSE(Finish(b, out));
  EXPECT_EQ(out.Data, nullptr);
  EXPECT_TRUE(log.Contains("memory ran out"));
}

}  // namespace
}  // namespace ketrel
