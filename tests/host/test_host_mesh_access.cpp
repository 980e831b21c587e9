#include "export/host/host_mesh_access.h"

#include <gtest/gtest.h>

#include <cmath>

#include "export/host/host_tool_interface.h"
#include "tests/support/log_capture.h"

namespace ketrel::host {
namespace {

struct V {
  float x, y, z;
};

V Read3(const float* p) { return {p[0], p[1], p[2]}; }
float Dot(V a, V b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V Unit(V a) {
  float l = std::sqrt(Dot(a, a));
  return {a.x / l, a.y / l, a.z / l};
}

::testing::AssertionResult Near(V a, V b) {
  if (std::fabs(a.x - b.x) <= 1e-5f && std::fabs(a.y - b.y) <= 1e-5f &&
      std::fabs(a.z - b.z) <= 1e-5f)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "(" << a.x << ", " << a.y << ", " << a.z << ") is not ("
                                       << b.x << ", " << b.y << ", " << b.z << ")";
}
#define EXPECT_VEC_NEAR(actual, ex, ey, ez) \
  EXPECT_TRUE(Near((actual), V{float(ex), float(ey), float(ez)}))

V Normal(MeshAccess& mesh, int32_t face, int32_t corner) {
  float n[3];
  mesh.GetCornerNormal(face, corner, n);
  return Read3(n);
}
V Position(MeshAccess& mesh, int32_t vertex) {
  float p[3];
  mesh.GetPosition(vertex, p);
  return Read3(p);
}

Node* AddMeshNode(Scene& scene, const std::string& name) {
  Node* node = scene.AddNode(name);
  node->HasObject = true;
  node->HasMesh = true;
  return node;
}

// A unit cube, two triangles per side, wound so each side faces out. Side s
// has outward normal kSides[s].normal; faces 2s and 2s+1 belong to it.
struct Side {
  int corners[4];
  V normal;
};
const Side kSides[6] = {{{0, 2, 4, 6}, {-1, 0, 0}}, {{1, 3, 5, 7}, {1, 0, 0}},
                        {{0, 1, 4, 5}, {0, -1, 0}}, {{2, 3, 6, 7}, {0, 1, 0}},
                        {{0, 1, 2, 3}, {0, 0, -1}}, {{4, 5, 6, 7}, {0, 0, 1}}};

TriMesh Cube() {
  TriMesh mesh;
  for (int i = 0; i < 8; ++i)
    mesh.Vertices.insert(mesh.Vertices.end(), {float(i & 1), float(i >> 1 & 1), float(i >> 2 & 1)});
  for (const Side& side : kSides) {
    // Corners 0,1,3,2 go round the side; wind them against its normal.
    int a = side.corners[0], b = side.corners[1], c = side.corners[3], d = side.corners[2];
    V pa = Read3(&mesh.Vertices[a * 3]), pb = Read3(&mesh.Vertices[b * 3]),
      pc = Read3(&mesh.Vertices[c * 3]);
    V e1{pb.x - pa.x, pb.y - pa.y, pb.z - pa.z}, e2{pc.x - pa.x, pc.y - pa.y, pc.z - pa.z};
    V cross{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
    if (Dot(cross, side.normal) < 0) std::swap(b, d);
    mesh.Faces.insert(mesh.Faces.end(), {a, b, c, a, c, d});
  }
  return mesh;
}

TEST(MeshAccess, SmoothingGroupsPickFaceOrAveragedNormals) {
  Scene scene;
  Node* node = AddMeshNode(scene, "Cube");
  node->Mesh = Cube();
  // One group per side: every corner has its side's normal.
  for (int s = 0; s < 6; ++s)
    node->Mesh.SmoothingGroups.insert(node->Mesh.SmoothingGroups.end(), 2, 1u << s);
  auto access = HostMeshAccess::Open(scene, *node, 0, false);
  ASSERT_NE(access, nullptr);
  ASSERT_EQ(access->FaceCount(), 12);
  for (int f = 0; f < 12; ++f)
    for (int c = 0; c < 3; ++c) {
      const V& n = kSides[f / 2].normal;
      EXPECT_VEC_NEAR(Normal(*access, f, c), n.x, n.y, n.z) << f << " " << c;
    }
  // One group for all: a corner has the sum of the normals of the faces at
  // its vertex, normalised (a side counts once per triangle touching it).
  node->Mesh.SmoothingGroups.assign(12, 0x10);
  access = HostMeshAccess::Open(scene, *node, 0, false);
  for (int f = 0; f < 12; ++f) {
    for (int c = 0; c < 3; ++c) {
      int vertex = node->Mesh.Faces[f * 3 + c];
      V sum{0, 0, 0};
      for (int g = 0; g < 12; ++g)
        for (int k = 0; k < 3; ++k)
          if (node->Mesh.Faces[g * 3 + k] == vertex) {
            sum = {sum.x + kSides[g / 2].normal.x, sum.y + kSides[g / 2].normal.y,
                   sum.z + kSides[g / 2].normal.z};
          }
      V expected = Unit(sum);
      EXPECT_VEC_NEAR(Normal(*access, f, c), expected.x, expected.y, expected.z);
      // Corners at one vertex agree; each is a unit vector.
      EXPECT_NEAR(Dot(Normal(*access, f, c), Normal(*access, f, c)), 1.0f, 1e-5f);
    }
  }
  // Group 0 is never smoothed.
  node->Mesh.SmoothingGroups.assign(12, 0);
  access = HostMeshAccess::Open(scene, *node, 0, false);
  EXPECT_VEC_NEAR(Normal(*access, 11, 1), 0, 0, 1);
}

TEST(MeshAccess, SmoothingChainsMergeThroughSharedBitsAndNeverGiveNaN) {
  Scene scene;
  Node* node = AddMeshNode(scene, "Fan");
  // Three faces around vertex 0, tilted differently.
  node->Mesh.Vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0, -1, 0, 1, 0, -1, 1};
  node->Mesh.Faces = {0, 1, 2, 0, 2, 3, 0, 4, 1};
  auto normalsAtVertex0 = [&](std::vector<uint32_t> groups) {
    node->Mesh.SmoothingGroups = groups;
    auto access = HostMeshAccess::Open(scene, *node, 0, false);
    return std::vector<V>{Normal(*access, 0, 0), Normal(*access, 1, 0), Normal(*access, 2, 0)};
  };
  // Groups 1 and 2 meet only through face 1's group 3: all three merge.
  std::vector<V> chained = normalsAtVertex0({1, 3, 2});
  EXPECT_VEC_NEAR(chained[0], chained[1].x, chained[1].y, chained[1].z);
  EXPECT_VEC_NEAR(chained[2], chained[1].x, chained[1].y, chained[1].z);
  // Without the bridge, faces 0 and 2 keep their own normals.
  std::vector<V> apart = normalsAtVertex0({1, 4, 2});
  EXPECT_VEC_NEAR(apart[0], 0, 0, 1);
  EXPECT_LT(Dot(apart[0], apart[2]), 0.99f);
  // Opposite faces sharing a group sum to zero: the face normal is used.
  node->Mesh.Vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
  node->Mesh.Faces = {0, 1, 2, 0, 2, 1, 3, 4, 5};  // the last face is degenerate
  node->Mesh.SmoothingGroups = {1, 1, 1};
  auto access = HostMeshAccess::Open(scene, *node, 0, false);
  EXPECT_VEC_NEAR(Normal(*access, 0, 0), 0, 0, 1);
  EXPECT_VEC_NEAR(Normal(*access, 1, 0), 0, 0, -1);
  V degenerate = Normal(*access, 2, 0);
  EXPECT_FALSE(std::isnan(degenerate.x) || std::isnan(degenerate.y) || std::isnan(degenerate.z));
}

TEST(MeshAccess, ExplicitNormalsOnlyWhenTheyFitAndEverythingGoesToWorldSpace) {
  Scene scene;
  Node* node = AddMeshNode(scene, "Slope");
  node->Mesh.Vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  node->Mesh.Faces = {0, 1, 2};
  node->Mesh.Normals = {1, 1, 0};
  node->Mesh.NormalFaces = {0, 0, 0};
  // Squash x by 2 and move: positions follow the matrix, normals its inverse
  // transpose; then the object offset comes first.
  node->Transform.Scale.Value = {2, 1, 1};
  node->Transform.Position.Value = {10, 0, 0};
  node->ObjectOffset.m[3][2] = 5;
  auto access = HostMeshAccess::Open(scene, *node, 0, false);
  ASSERT_NE(access, nullptr);
  EXPECT_VEC_NEAR(Position(*access, 1), 12, 0, 5);
  V expected = Unit({0.5f, 1, 0});
  EXPECT_VEC_NEAR(Normal(*access, 0, 2), expected.x, expected.y, expected.z);
  EXPECT_FALSE(access->Mirrored());
  // Stale explicit normals (made for two faces): the smoothing normals win.
  node->Mesh.NormalFaces = {0, 0, 0, 0, 0, 0};
  access = HostMeshAccess::Open(scene, *node, 0, false);
  EXPECT_VEC_NEAR(Normal(*access, 0, 0), 0, 0, 1);
  // A mirroring transform is reported; normals still follow the inverse
  // transpose.
  node->Transform.Scale.Value = {-1, 1, 1};
  access = HostMeshAccess::Open(scene, *node, 0, false);
  EXPECT_TRUE(access->Mirrored());
  EXPECT_VEC_NEAR(Normal(*access, 0, 0), 0, 0, 1);
  // Out-of-range queries give zeros; a node without a mesh gives no accessor.
  EXPECT_VEC_NEAR(Normal(*access, 1, 0), 0, 0, 0);
  EXPECT_VEC_NEAR(Normal(*access, 0, 3), 0, 0, 0);
  EXPECT_VEC_NEAR(Position(*access, 3), 0, 0, 0);
  int32_t corners[3] = {7, 7, 7};
  access->GetFaceVertices(-1, corners);
  EXPECT_EQ(corners[0] + corners[1] + corners[2], 0);
  EXPECT_EQ(HostMeshAccess::Open(scene, *scene.AddNode("Empty"), 0, false), nullptr);
  // A face pointing outside the vertices (a scene built in code) is refused.
  node->Mesh.Faces = {0, 1, 3};
  test::LogCapture log;
  EXPECT_EQ(HostMeshAccess::Open(scene, *node, 0, false), nullptr);
  EXPECT_EQ(log.errors(), 1u);
}

TEST(MeshAccess, ColourHeuristicSortsMapChannels) {
  Scene scene;
  Node* node = AddMeshNode(scene, "Painted");
  node->Mesh.Vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  node->Mesh.Faces = {0, 1, 2};
  auto map = [](int32_t channel, std::vector<float> vertices) {
    return MapChannel{channel, vertices, {0, 1, 2}};
  };
  node->Mesh.Maps = {map(-1, {0.5f, 0.5f, 0.5f, 0.25f, 0.25f, 0.25f, 1, 1, 1}),
                     map(0, {1, 0, 0, 0, 1, 0, 0, 0, 1}), map(1, {0, 0, 0, 1, 0, 0, 0, 1, 0}),
                     map(2, {0.2f, 0.3f, 0, 0.1f, 0.1f, 0.4f, 0, 0, 0}),  // painted
                     map(3, {0, 0, 0, 0, 0, 0, 0, 0, 0})};                // all black
  auto plain = HostMeshAccess::Open(scene, *node, 0, false);
  auto heuristic = HostMeshAccess::Open(scene, *node, 0, true);
  ASSERT_EQ(plain->ColorChannelCount(), 2);
  ASSERT_EQ(plain->TexCoordChannelCount(), 3);
  EXPECT_EQ(plain->TexCoordChannelNumber(1), 2);
  ASSERT_EQ(heuristic->ColorChannelCount(), 3);  // 0, -1, and the painted 2
  ASSERT_EQ(heuristic->TexCoordChannelCount(), 2);
  EXPECT_EQ(heuristic->TexCoordChannelNumber(0), 1);
  EXPECT_EQ(heuristic->TexCoordChannelNumber(1), 3);  // black reads as coordinates
  EXPECT_EQ(heuristic->TexCoordChannelNumber(2), 0);
  EXPECT_EQ(plain->MapChannelCount(), 4);
  float rgba[4];
  heuristic->GetCornerColor(0, 1, 2, rgba);  // channel 2, alpha from -1
  EXPECT_FLOAT_EQ(rgba[0], 0.1f);
  EXPECT_FLOAT_EQ(rgba[2], 0.4f);
  EXPECT_FLOAT_EQ(rgba[3], 0.25f);
  plain->GetCornerColor(0, 2, 0, rgba);
  EXPECT_EQ(std::vector<float>(rgba, rgba + 4), (std::vector<float>{0, 0, 1, 1}));
  plain->GetCornerColor(0, 0, 3, rgba);  // no colour channel 3: white
  EXPECT_EQ(std::vector<float>(rgba, rgba + 4), (std::vector<float>{1, 1, 1, 1}));
  float uvw[3] = {9, 9, 9};
  plain->GetCornerTexCoord(0, 1, 0, uvw);
  EXPECT_EQ(std::vector<float>(uvw, uvw + 3), (std::vector<float>{1, 0, 0}));
  plain->GetCornerTexCoord(0, 1, 3, uvw);  // no texture channel 3: zeros
  EXPECT_EQ(std::vector<float>(uvw, uvw + 3), (std::vector<float>{0, 0, 0}));
  // Without alpha, alpha is 1; a map whose faces do not fit is left out.
  node->Mesh.Maps.erase(node->Mesh.Maps.begin());
  node->Mesh.Maps.back().Faces = {0, 1, 5};
  test::LogCapture log;
  auto fewer = HostMeshAccess::Open(scene, *node, 0, false);
  EXPECT_EQ(log.warnings(), 1u);
  EXPECT_EQ(fewer->ColorChannelCount(), 1);
  EXPECT_EQ(fewer->TexCoordChannelCount(), 2);
  fewer->GetCornerColor(0, 0, 0, rgba);
  EXPECT_EQ(std::vector<float>(rgba, rgba + 4), (std::vector<float>{1, 0, 0, 1}));
}

TEST(MeshAccess, ToolTangentsForTheirChannelOnly) {
  Scene scene;
  Node* node = AddMeshNode(scene, "T");
  node->Mesh.Vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  node->Mesh.Faces = {0, 1, 2};
  node->Mesh.TangentChannel = 2;
  node->Mesh.Tangents = {3, 0, 0};
  node->Mesh.Binormals = {0, 0.5f, 0};
  node->Mesh.TangentFaces = {0, 0, 0};
  node->Transform.Rotation.Value = QuaternionFromAxisAngle({0, 0, 1}, float(M_PI / 2));
  auto access = HostMeshAccess::Open(scene, *node, 0, false);
  float t[3], b[3];
  EXPECT_FALSE(access->GetCornerToolTangent(0, 0, 1, t, b));
  ASSERT_TRUE(access->GetCornerToolTangent(0, 2, 2, t, b));
  EXPECT_VEC_NEAR(Read3(t), 0, 1, 0);  // turned with the node, unit length
  EXPECT_VEC_NEAR(Read3(b), -1, 0, 0);
  EXPECT_FALSE(access->GetCornerToolTangent(1, 0, 2, t, b));
}

// Bone A at the origin; bone B at (0, 0, 1) moving up by 1 at tick 480 and
// turning 90 degrees about z at tick 960. A 4-vertex mesh at z = 1.
struct SkinScene {
  Scene scene;
  Node *a, *b, *mesh;
  SkinScene() {
    scene.AnimationStart = 0;
    scene.AnimationEnd = 960;
    a = scene.AddNode("A");
    b = scene.AddNode("B");
    b->Transform.Position.KeyTicks = {0, 480};
    b->Transform.Position.KeyValues = {0, 0, 1, 0, 0, 2};
    b->Transform.Rotation.KeyTicks = {480, 960};
    b->Transform.Rotation.KeyValues = {Quaternion{},
                                       QuaternionFromAxisAngle({0, 0, 1}, float(M_PI / 2))};
    mesh = AddMeshNode(scene, "Skinned");
    mesh->Mesh.Vertices = {1, 0, 1, 0, 1, 1, 0, 0, 1, 2, 0, 1};
    mesh->Mesh.Faces = {0, 1, 2, 0, 3, 1};
    mesh->SkinBones = {a, b};
    // Raw weights: vertex 1 sums to 4 and is blended half and half.
    mesh->SkinWeights = {{{1, 1}}, {{0, 2}, {1, 2}}, {{0, 1}}, {}};
  }
};

TEST(MeshAccess, SkinMovesNothingAtBindTimeAndFollowsItsBones) {
  SkinScene s;
  auto atStart = HostMeshAccess::Open(s.scene, *s.mesh, 0, false);
  for (int v = 0; v < 4; ++v) {
    V expected = Read3(&s.mesh->Mesh.Vertices[v * 3]);
    EXPECT_VEC_NEAR(Position(*atStart, v), expected.x, expected.y, expected.z) << v;
  }
  EXPECT_VEC_NEAR(Normal(*atStart, 0, 0), 0, 0, 1);
  auto moved = HostMeshAccess::Open(s.scene, *s.mesh, 480, false);
  EXPECT_VEC_NEAR(Position(*moved, 0), 1, 0, 2);     // all on B
  EXPECT_VEC_NEAR(Position(*moved, 1), 0, 1, 1.5f);  // half on B
  EXPECT_VEC_NEAR(Position(*moved, 2), 0, 0, 1);     // all on A
  EXPECT_VEC_NEAR(Position(*moved, 3), 2, 0, 1);     // unweighted: follows the node
  auto turned = HostMeshAccess::Open(s.scene, *s.mesh, 960, false);
  EXPECT_VEC_NEAR(Position(*turned, 0), 0, 1, 2);  // turned about B's pivot
  // Stored binds: B was bound one unit higher, so at its start pose it
  // pulls its vertices down by one.
  s.mesh->BindMatrices.resize(2);
  s.mesh->BindMatrices[1].m[3][2] = 2;
  auto bound = HostMeshAccess::Open(s.scene, *s.mesh, 0, false);
  EXPECT_VEC_NEAR(Position(*bound, 0), 1, 0, 0);
  EXPECT_VEC_NEAR(Position(*bound, 2), 0, 0, 1);
  // The mesh's own bind transform places the mesh at bind time.
  s.mesh->MeshBindMatrix.m[3][0] = 5;
  bound = HostMeshAccess::Open(s.scene, *s.mesh, 0, false);
  EXPECT_VEC_NEAR(Position(*bound, 2), 5, 0, 1);
  // Weights for the wrong number of vertices: the skin does not apply.
  s.mesh->SkinWeights.pop_back();
  auto unskinned = HostMeshAccess::Open(s.scene, *s.mesh, 480, false);
  EXPECT_VEC_NEAR(Position(*unskinned, 0), 1, 0, 1);
}

TEST(MeshAccess, MorphChannelsBlendByWeightPercent) {
  Scene scene;
  Node* node = AddMeshNode(scene, "Face");
  node->Mesh.Vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  node->Mesh.Faces = {0, 1, 2};
  node->Transform.Position.Value = {0, 0, 10};
  node->HasMorpher = true;
  MorphChannel up;
  up.Name = "Up";
  up.Target = node->Mesh;
  up.Target.Vertices[2] = 4;  // vertex 0 raised by 4
  up.Weight.KeyTicks = {0, 100};
  up.Weight.KeyValues = {0, 100};
  MorphChannel off = up;
  off.Name = "Off";
  off.Active = false;
  MorphChannel side = up;
  side.Name = "Side";
  side.Target = node->Mesh;
  side.Target.Vertices[3] = 3;  // vertex 1 moved out by 2
  side.Weight = {1, Interpolation::Linear, {-50}, {}, {}};
  MorphChannel wrong = up;
  wrong.Name = "Wrong";
  wrong.Target.Vertices.resize(6);  // counts differ: never blended
  wrong.Target.Faces = {0, 1, 1};
  node->MorphChannels = {up, off, side, wrong};
  auto half = HostMeshAccess::Open(scene, *node, 50, false);
  EXPECT_VEC_NEAR(Position(*half, 0), 0, 0, 12);
  EXPECT_VEC_NEAR(Position(*half, 1), 0, 0, 10);  // -50 % of +2
  auto none = HostMeshAccess::Open(scene, *node, 0, false);
  EXPECT_VEC_NEAR(Position(*none, 0), 0, 0, 10);
  // Targets by active channel number, under the object transform, unmorphed.
  auto target = HostMeshAccess::OpenMorphTarget(scene, *node, 1, 50, false);
  ASSERT_NE(target, nullptr);
  EXPECT_VEC_NEAR(Position(*target, 1), 3, 0, 10);
  target = HostMeshAccess::OpenMorphTarget(scene, *node, 2, 50, false);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(target->VertexCount(), 2);
  EXPECT_EQ(HostMeshAccess::OpenMorphTarget(scene, *node, 3, 50, false), nullptr);
}

TEST(MeshAccess, ToolInterfaceAnswersSkinMorphAndMaterialQuestions) {
  SkinScene s;
  Material* red = s.scene.AddMaterial("Red");
  Material* glass = s.scene.AddMaterial("Glass");
  glass->TwoSided = true;
  Material* multi = s.scene.AddMaterial("Multi");
  multi->Class = kMultiMaterialClass;
  multi->SubMaterials = {red, glass, nullptr};
  s.mesh->NodeMaterial = multi;
  s.mesh->Mesh.MaterialIds = {4, 5};
  s.mesh->HasMorpher = true;
  MorphChannel off{"Off", false, s.mesh->Mesh, {}};
  MorphChannel smile{"Smile", true, s.mesh->Mesh, {1, Interpolation::Linear, {30}, {}, {}}};
  s.mesh->MorphChannels = {off, smile};
  Node* bare = s.scene.AddNode("Imported");  // mesh data without an object
  bare->HasMesh = true;
  bare->Mesh = s.mesh->Mesh;
  auto tool = CreateToolInterface(s.scene, {});
  NodeGraph* graph = tool->GetNodeGraph();
  ASSERT_NE(graph, nullptr);
  MeshNode* mesh = tool->FindMeshOfHostNode(s.mesh);
  ASSERT_NE(mesh, nullptr);
  ASSERT_NE(tool->FindMeshOfHostNode(bare), nullptr);
  int32_t bone = -1;
  float weight = 0;
  EXPECT_EQ(tool->GetSkinInfluenceCount(mesh, 1), 2);
  ASSERT_TRUE(tool->GetSkinInfluence(mesh, 1, 1, &bone, &weight));
  EXPECT_EQ(bone, 1);
  EXPECT_EQ(weight, 2.0f);  // raw
  EXPECT_EQ(tool->GetSkinInfluenceCount(mesh, 4), 0);
  EXPECT_FALSE(tool->GetSkinInfluence(mesh, 1, 2, &bone, &weight));
  EXPECT_EQ(tool->GetMorphChannelCount(mesh), 1);
  EXPECT_STREQ(tool->GetMorphChannelName(mesh, 0), "Smile");
  EXPECT_EQ(tool->GetMorphChannelName(mesh, 1), nullptr);
  EXPECT_EQ(tool->GetMorphChannelWeight(mesh, 0), 30.0f);
  EXPECT_EQ(tool->GetMeshMaterial(mesh), tool->FindMaterialOfHost(multi));
  MeshAccess* access = tool->OpenMeshAccess(mesh, false);
  ASSERT_NE(access, nullptr);
  EXPECT_EQ(access->MaterialCount(), 3);
  EXPECT_EQ(access->GetFaceMaterialIndex(0), 4);  // as stored, not reduced
  EXPECT_TRUE(access->IsFaceTwoSided(0));         // 4 mod 3: glass
  EXPECT_FALSE(access->IsFaceTwoSided(1));        // 5 mod 3: the empty slot
  tool->CloseMeshAccess(access);
  tool->SetCurrentTime(480);
  access = tool->OpenMorphTargetAccess(mesh, 0, false);
  ASSERT_NE(access, nullptr);
  float p[3];
  access->GetPosition(0, p);  // the target is not skinned
  EXPECT_EQ(Read3(p).z, 1.0f);
  tool->CloseMeshAccess(access);
  EXPECT_EQ(tool->OpenMorphTargetAccess(mesh, 1, false), nullptr);
  tool->CloseMeshAccess(nullptr);
  // Without a material, one material and nothing two-sided.
  access = tool->OpenMeshAccess(tool->FindMeshOfHostNode(bare), true);
  EXPECT_EQ(access->MaterialCount(), 1);
  EXPECT_FALSE(access->IsFaceTwoSided(0));
  tool->CloseMeshAccess(access);
}

}  // namespace
}  // namespace ketrel::host
