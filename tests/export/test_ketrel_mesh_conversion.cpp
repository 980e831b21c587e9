// Mesh conversion: welding, topology, index width, winding, vertex formats,
// bounds in bone space and material bindings.

#include <gtest/gtest.h>

#include <set>

#include "rt/ketrel_mesh_builder.h"
#include "tests/export/test_ketrel_mesh_conversion_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using namespace test;

Vec3 Sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 CrossP(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
float Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Each triangle's geometric normal (from its winding) against the normal
// stored at its first vertex: +1 when they agree, -1 when opposite.
std::vector<int> WindingAgainstNormals(const mesh* m) {
  Vertices v(m->PrimaryVertexData);
  const tri_topology* t = m->PrimaryTopology;
  std::vector<int> result;
  for (int32_t i = 0; i + 2 < t->IndexCount; i += 3) {
    const int32_t* tri = t->Indices + i;
    Vec3 g = CrossP(Sub(v.Get3(tri[1], "Position"), v.Get3(tri[0], "Position")),
                    Sub(v.Get3(tri[2], "Position"), v.Get3(tri[0], "Position")));
    result.push_back(Dot(g, v.Get3(tri[0], "Normal")) > 0 ? 1 : -1);
  }
  return result;
}

int32_t PositionSlot(const tri_topology* t, int32_t vertex, int32_t positions) {
  while (vertex >= positions) vertex = t->VertexToVertexMap[vertex];
  return vertex;
}

// Every side of a closed mesh names a partner side in another triangle that
// joins the same two positions and names it back.
void ExpectClosedNeighbours(const tri_topology* t, int32_t positions) {
  ASSERT_EQ(Value(t->SideToNeighborCount), Value(t->IndexCount));
  for (int32_t side = 0; side < t->SideToNeighborCount; ++side) {
    const int32_t tri = side / 3, edge = side % 3;
    const int32_t code = t->SideToNeighborMap[side];
    ASSERT_GE(code, 0);
    const int32_t other = code / 4, otherEdge = code % 4;
    ASSERT_LT(otherEdge, 3);
    EXPECT_NE(other, tri) << side;
    EXPECT_EQ(Value(t->SideToNeighborMap[3 * other + otherEdge]), 4 * tri + edge) << side;
    auto ends = [&](int32_t tr, int32_t e) {
      int32_t a = PositionSlot(t, t->Indices[3 * tr + e], positions);
      int32_t b = PositionSlot(t, t->Indices[3 * tr + (e + 1) % 3], positions);
      return std::make_pair(std::min(a, b), std::max(a, b));
    };
    EXPECT_EQ(ends(tri, edge), ends(other, otherEdge)) << side;
  }
}

TEST(MeshConversion, CubeWeldsBySmoothingGroupsAndEverySideHasAPartner) {
  Scene scene;
  test::FakeMesh hardCube = Cube(false);
  MeshNode* hard = scene.Mesh(hardCube);
  MeshNode* smooth = scene.Mesh(Cube(true));
  MeshNode* unmerged = scene.Mesh(Cube(true));
  Set(hard->Settings, kTopologyInfo, 1);
  Set(smooth->Settings, kTopologyInfo, 1);
  Set(unmerged->Settings, kDisableMerging, 1);
  ASSERT_TRUE(scene.Convert());
  EXPECT_EQ(Value(scene.parser.info->MeshCount), 3);
  EXPECT_EQ(Value(scene.parser.info->VertexDataCount), 3);
  EXPECT_EQ(Value(scene.parser.info->TriTopologyCount), 3);

  mesh* h = scene.Result(hard);
  ASSERT_NE(Value(h->PrimaryVertexData), nullptr);
  EXPECT_STREQ(h->Name, "mesh");
  EXPECT_EQ(Value(h->PrimaryVertexData->Vertices.Count), 24);
  EXPECT_EQ(Value(h->PrimaryTopology->IndexCount), 36);
  mesh* s = scene.Result(smooth);
  EXPECT_EQ(Value(s->PrimaryVertexData->Vertices.Count), 8);
  EXPECT_EQ(Value(s->PrimaryTopology->IndexCount), 36);
  EXPECT_EQ(Value(scene.Result(unmerged)->PrimaryVertexData->Vertices.Count), 36);
  ExpectClosedNeighbours(h->PrimaryTopology, 8);
  ExpectClosedNeighbours(s->PrimaryTopology, 8);
  for (int sign : WindingAgainstNormals(h)) EXPECT_EQ(sign, 1);

  // Without topology information only the groups and indices stay.
  const tri_topology* bare = scene.Result(unmerged)->PrimaryTopology;
  EXPECT_EQ(Value(bare->GroupCount), 1);
  EXPECT_EQ(Value(bare->IndexCount), 36);
  EXPECT_EQ(Value(bare->SideToNeighborMap), nullptr);
  EXPECT_EQ(Value(bare->VertexToVertexMap), nullptr);
  EXPECT_EQ(Value(bare->PolygonIndices), nullptr);

  // The default layout: position, normal and one inserted (dummy) coordinate.
  const vertex_data* data = h->PrimaryVertexData;
  ASSERT_EQ(Value(data->VertexComponentNameCount), 3);
  EXPECT_STREQ(data->VertexComponentNames[0], "Position");
  EXPECT_STREQ(data->VertexComponentNames[1], "Normal");
  EXPECT_STREQ(data->VertexComponentNames[2], "InsertedChannel_0");
  EXPECT_TRUE(Vertices(data).Has("TextureCoordinates0"));
  EXPECT_EQ(scene.tool.outOfRange, 0);
}

TEST(MeshConversion, ClockwiseWindingKeepsNeighboursConsistent) {
  Scene scene;
  MeshNode* node = scene.Mesh(Cube(false));
  Set(node->Settings, kTopologyInfo, 1);
  Set(node->Settings, kClockwise, 1);
  ASSERT_TRUE(scene.Convert());
  mesh* m = scene.Result(node);
  for (int sign : WindingAgainstNormals(m)) EXPECT_EQ(sign, -1);
  ExpectClosedNeighbours(m->PrimaryTopology, 8);
}

TEST(MeshConversion, IndicesStay16BitUpTo65536Vertices) {
  for (int32_t positions : {65536, 65537}) {
    Scene scene;
    FakeMesh m;
    m.positions.resize(size_t(positions), Vec3{0, 0, 0});
    for (int32_t i = 0; i < positions; ++i) m.positions[size_t(i)] = {float(i), 0, 0};
    m.faces = {{0, 1, positions - 1}};
    m.normals = {{Vec3{0, 0, 1}, Vec3{0, 0, 1}, Vec3{0, 0, 1}}};
    MeshNode* node = scene.Mesh(m);
    Set(node->Settings, kTruncate16, 1);
    Set(node->Settings, kAllowCoords, 0);
    LogCapture log;
    ASSERT_TRUE(scene.Convert());
    const tri_topology* t = scene.Result(node)->PrimaryTopology;
    EXPECT_EQ(Value(scene.Result(node)->PrimaryVertexData->Vertices.Count), positions);
    if (positions == 65536) {
      EXPECT_EQ(Value(t->IndexCount), 0);
      ASSERT_EQ(Value(t->Index16Count), 3);
      std::set<uint16_t> indices;
      for (int i = 0; i < 3; ++i) indices.insert(uint16_t(t->Indices16[i]));
      EXPECT_EQ(indices, (std::set<uint16_t>{0, 1, 65535}));
      EXPECT_EQ(log.warnings(), 0u);
    } else {
      EXPECT_EQ(Value(t->Index16Count), 0);
      EXPECT_EQ(Value(t->Indices16), nullptr);
      ASSERT_EQ(Value(t->IndexCount), 3);
      EXPECT_TRUE(
          log.Contains("Mesh (mesh) has too many vertices to fit into 16-bit, leaving "
                       "in 32-bit mode"));
    }
  }
}

TEST(MeshConversion, DoubledTwoSidedTrianglesFaceBothWays) {
  for (bool mirrored : {false, true}) {
    Scene scene;
    FakeMesh quad = Quad();
    quad.twoSided = {true, true};
    quad.mirrored = mirrored;
    if (mirrored) {
      // A mirroring transform: world positions flipped in x, normals still +z,
      // so the host's winding now points down.
      for (auto& p : quad.positions) p[0] = -p[0];
    }
    MeshNode* doubled = scene.Mesh(quad);
    MeshNode* single = scene.Mesh(quad);
    Set(doubled->Settings, kDouble, 1);
    ASSERT_TRUE(scene.Convert());
    EXPECT_EQ(Value(scene.Result(single)->PrimaryTopology->IndexCount), 6);
    for (int sign : WindingAgainstNormals(scene.Result(single))) EXPECT_EQ(sign, 1) << mirrored;

    mesh* m = scene.Result(doubled);
    ASSERT_EQ(Value(m->PrimaryTopology->IndexCount), 12);
    EXPECT_EQ(Value(m->PrimaryVertexData->Vertices.Count), 8);  // each corner with +z and -z
    for (int sign : WindingAgainstNormals(m)) EXPECT_EQ(sign, 1) << mirrored;
    int up = 0, down = 0;
    Vertices v(m->PrimaryVertexData);
    for (int32_t i = 0; i < 12; i += 3) {
      const float z = v.Get3(m->PrimaryTopology->Indices[i], "Normal")[2];
      (z > 0 ? up : down) += 1;
    }
    EXPECT_EQ(up, 2);
    EXPECT_EQ(down, 2);
  }
}

TEST(MeshConversion, NormalFormats) {
  Scene scene;
  FakeMesh quad = Quad();
  const Vec3 tilted = {0.6f, 0.0f, 0.8f};
  quad.normals = {{tilted, tilted, tilted}, {tilted, tilted, tilted}};
  MeshNode* packed = scene.Mesh(quad);
  MeshNode* half = scene.Mesh(quad);
  Choose(packed->Settings, kNormalFormat, kDec3N);
  Choose(half->Settings, kNormalFormat, kFloat16);
  ASSERT_TRUE(scene.Convert());

  Vertices p(scene.Result(packed)->PrimaryVertexData);
  const data_type_definition* normal = p.Member("Normal");
  ASSERT_NE(normal, nullptr);
  EXPECT_EQ(Value(normal->Type), UInt32Member);
  EXPECT_EQ(GetMemberArrayWidth(normal), 1);
  EXPECT_EQ(GetTotalObjectSize(scene.Result(packed)->PrimaryVertexData->Vertices.Type), 12 + 4 + 8);
  uint32_t bits = uint32_t(p.Int(0, "Normal", 0));
  float unpacked[3];
  UnpackDec3N(bits, unpacked);
  EXPECT_NEAR(unpacked[0], 0.6f, 0.004f);
  EXPECT_NEAR(unpacked[2], 0.8f, 0.004f);

  Vertices h(scene.Result(half)->PrimaryVertexData);
  EXPECT_EQ(Value(h.Member("Normal")->Type), Real16Member);
  EXPECT_EQ(GetMemberArrayWidth(h.Member("Normal")), 3);
  EXPECT_NEAR(h.Real(0, "Normal", 0), 0.6f, 0.001f);
}

TEST(MeshConversion, ChannelsNamesFlipsAndTangents) {
  Scene scene;
  FakeMesh quad = Quad();
  quad.uvNumbers = {3};
  quad.uvs.resize(1);
  for (const auto& face : quad.faces) {
    std::array<Vec3, 3> corners;
    for (size_t c = 0; c < 3; ++c) {
      const Vec3& p = quad.positions[size_t(face[c])];
      corners[c] = {p[0], p[1], 0.5f};
    }
    quad.uvs[0].push_back(corners);
  }
  MeshNode* node = scene.Mesh(quad);
  Set(node->Settings, kCoordsPerVertex, 2);
  Set(node->Settings, kFlipV, 1);
  Set(node->Settings, kAllowColors, 1);
  Choose(node->Settings, kColorFormat, kUByte8);
  Set(node->Settings, kTangents, 1);
  Set(node->Settings, kBinormals, 1);
  ASSERT_TRUE(scene.Convert());
  const vertex_data* data = scene.Result(node)->PrimaryVertexData;
  const char* names[] = {"Position",      "Normal",       "Tangent",          "Binormal",
                         "DiffuseColor0", "MaxChannel_3", "InsertedChannel_1"};
  ASSERT_EQ(Value(data->VertexComponentNameCount), 7);
  for (int i = 0; i < 7; ++i) EXPECT_STREQ(data->VertexComponentNames[i], names[i]) << i;
  Vertices v(data);
  EXPECT_EQ(Value(v.Member("DiffuseColor0")->Type), NormalUInt8Member);
  EXPECT_EQ(GetMemberArrayWidth(v.Member("DiffuseColor0")), 3);
  EXPECT_EQ(GetMemberArrayWidth(v.Member("TextureCoordinates0")), 2);
  ASSERT_EQ(v.Count(), 4);
  for (int32_t i = 0; i < 4; ++i) {
    const Vec3 p = v.Get3(i, "Position");
    EXPECT_EQ(v.Real(i, "TextureCoordinates0", 0), p[0]);
    EXPECT_EQ(v.Real(i, "TextureCoordinates0", 1), 1.0f - p[1]);
    EXPECT_EQ(v.Real(i, "TextureCoordinates1", 0), 0.0f);
    EXPECT_EQ(v.Byte(i, "DiffuseColor0", 2), 255);
    const Vec3 t = v.Get3(i, "Tangent"), n = v.Get3(i, "Normal"), b = v.Get3(i, "Binormal");
    EXPECT_NEAR(Dot(t, t), 1.0f, 1e-4f);
    EXPECT_NEAR(Dot(b, b), 1.0f, 1e-4f);
    EXPECT_NEAR(Dot(t, n), 0.0f, 1e-4f);
    EXPECT_NEAR(std::fabs(t[0]), 1.0f, 1e-4f);  // u runs along x
  }
}

TEST(MeshConversion, ToolTangentsAreUsedOnlyWhenEveryCornerHasThem) {
  Scene scene;
  FakeMesh quad = Quad();
  quad.toolTangent = {Vec3{0, 1, 0}, Vec3{-1, 0, 0}};
  MeshNode* complete = scene.Mesh(quad);
  quad.faceWithoutTangents = 1;
  MeshNode* partial = scene.Mesh(quad);
  for (MeshNode* node : {complete, partial}) {
    Set(node->Settings, kToolTangents, 1);
    Set(node->Settings, kTangents, 1);
    Set(node->Settings, kCross, 1);
  }
  ASSERT_TRUE(scene.Convert());
  Vertices host(scene.Result(complete)->PrimaryVertexData);
  Vertices generated(scene.Result(partial)->PrimaryVertexData);
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(host.Get3(i, "Tangent"), (Vec3{0, 1, 0}));
    EXPECT_EQ(host.Get3(i, "TangentBinormalCross"), (Vec3{0, 0, 1}));
    // Generated from the (dummy, all zero) texture coordinates instead: some
    // unit tangent in the plane, not the host's.
    const Vec3 t = generated.Get3(i, "Tangent");
    EXPECT_NEAR(Dot(t, t), 1.0f, 1e-4f);
    EXPECT_NEAR(t[2], 0.0f, 1e-4f);
    EXPECT_GT(std::fabs(t[0]), 0.5f);
  }
}

TEST(MeshConversion, RigidMeshBoxIsItsBoundsInBoneSpace) {
  Scene scene;
  FakeMesh cube = Cube(false);
  for (auto& p : cube.positions) p = {p[0] * 2 + 10, p[1] + 5, p[2] * 3};  // a box in the world
  MeshNode* node = scene.Mesh(cube);
  // The bone sits at (10, 5, 0), turned a quarter about z: in its space the
  // box spans x in [-1, 1], y in [-2, 2], z in [-3, 3].
  BoneNode* bone = scene.Bone("holder", test::Rigid(10, 5, 0, 1.5707964f));
  scene.tool.hostBones[node] = bone;
  MeshNode* loose = scene.Mesh(Quad());  // no bone at all
  LogCapture log;
  ASSERT_TRUE(scene.Convert());
  mesh* m = scene.Result(node);
  ASSERT_EQ(Value(m->BoneBindingCount), 1);
  bone_binding binding = m->BoneBindings[0];
  EXPECT_STREQ(binding.BoneName, "holder");
  const float low[3] = {-1, -2, -3}, high[3] = {1, 2, 3};
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(binding.OBBMin[i], low[i], 1e-4f) << i;
    EXPECT_NEAR(binding.OBBMax[i], high[i], 1e-4f) << i;
  }
  EXPECT_EQ(Value(scene.Result(loose)->BoneBindingCount), 0);
  EXPECT_TRUE(log.Contains("BuildMeshBounds: mesh bone bindings size mismatch"));

  // "Bind meshes to nearest parent" with the own bone excluded falls back to it.
  Scene nearest;
  MeshNode* child = nearest.Mesh(Quad());
  BoneNode* own = nearest.Bone("own");
  Set(own->Settings, setting::IncludeData, 0);
  nearest.tool.hostBones[child] = own;
  Set(child->Settings, kBindNearest, 1);
  ASSERT_TRUE(nearest.Convert());
  ASSERT_EQ(Value(nearest.Result(child)->BoneBindingCount), 1);
  EXPECT_STREQ(nearest.Result(child)->BoneBindings[0].BoneName, "own");
}

TEST(MeshConversion, MaterialBindingsFollowSubMaterialsWithoutDividingByZero) {
  Scene scene;
  MaterialNode* multi = AddMaterialNode(scene.graph);
  MaterialNode* red = AddMaterialNode(scene.graph);
  MaterialNode* blue = AddMaterialNode(scene.graph);
  MaterialNode* plain = AddMaterialNode(scene.graph);
  material objects[3] = {};
  red->Object = &objects[0];
  blue->Object = &objects[1];
  plain->Object = &objects[2];
  scene.tool.subMaterials[multi] = {red, blue, nullptr};

  FakeMesh cube = Cube(false);
  cube.materialCount = 3;
  for (int f = 0; f < 12; ++f) cube.materials.push_back(f % 2 == 0 ? 1 : 3);  // 3 -> slot 0
  MeshNode* colored = scene.Mesh(cube);
  scene.tool.meshMaterials[colored] = multi;

  FakeMesh odd = Quad();
  odd.materialCount = 0;  // a host that reports no materials at all
  odd.materials = {5, -7};
  MeshNode* single = scene.Mesh(odd);
  scene.tool.meshMaterials[single] = plain;

  FakeMesh gap = Quad();
  gap.materialCount = 3;
  gap.materials = {2, 2};
  MeshNode* empty = scene.Mesh(gap);
  scene.tool.meshMaterials[empty] = multi;

  LogCapture log;
  ASSERT_TRUE(scene.Convert());
  mesh* m = scene.Result(colored);
  ASSERT_EQ(Value(m->MaterialBindingCount), 2);
  const tri_topology* t = m->PrimaryTopology;
  ASSERT_EQ(Value(t->GroupCount), 2);
  for (int32_t g = 0; g < 2; ++g) {
    EXPECT_EQ(Value(t->Groups[g].MaterialIndex), g);
    EXPECT_EQ(Value(t->Groups[g].TriCount), 6);
  }
  EXPECT_EQ(Value(m->MaterialBindings[0].Material), &objects[0]);  // group of id 3 -> slot 0
  EXPECT_EQ(Value(m->MaterialBindings[1].Material), &objects[1]);

  mesh* s = scene.Result(single);
  ASSERT_EQ(Value(s->MaterialBindingCount), 1);
  EXPECT_EQ(Value(s->MaterialBindings[0].Material), &objects[2]);
  EXPECT_EQ(Value(s->PrimaryTopology->IndexCount), 6);

  mesh* e = scene.Result(empty);
  ASSERT_EQ(Value(e->MaterialBindingCount), 1);
  EXPECT_EQ(Value(e->MaterialBindings[0].Material), nullptr);
  EXPECT_TRUE(log.Contains("Material material has null sub-material used by one or more meshes"));
}

TEST(MeshConversion, ExcludedMeshesKeepOnlyTheirNameAndBadFacesAreSkipped) {
  Scene scene;
  MeshNode* excluded = scene.Mesh(Cube(false));
  Set(excluded->Settings, setting::IncludeData, 0);
  FakeMesh broken = Quad();
  broken.faces.push_back({0, 1, 9});  // vertex 9 does not exist
  broken.normals.push_back(broken.normals[0]);
  MeshNode* node = scene.Mesh(broken);
  Set(node->Settings, 246, 1);  // full path names
  LogCapture log;
  ASSERT_TRUE(scene.Convert());
  mesh* e = scene.Result(excluded);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->Name, "mesh");
  EXPECT_EQ(Value(e->PrimaryVertexData), nullptr);
  EXPECT_EQ(Value(e->BoneBindingCount), 0);
  mesh* m = scene.Result(node);
  EXPECT_STREQ(m->Name, "scene|mesh");
  EXPECT_EQ(Value(m->PrimaryTopology->IndexCount), 6);
  EXPECT_TRUE(log.Contains("1 faces name vertices outside its 4 vertices"));
  EXPECT_EQ(Value(scene.parser.info->VertexDataCount), 1);
}

}  // namespace
}  // namespace ketrel
