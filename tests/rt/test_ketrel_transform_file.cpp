// Basis conversion of whole files: a small skinned, animated file converted
// to other axes, units and origins, checked through what a game computes
// from it (skinned positions, curve values, root motion, neighbours).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rt/ketrel_curve.h"
#include "rt/ketrel_load.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_playback_curves.h"
#include "rt/ketrel_playback_root_motion.h"
#include "rt/ketrel_skeleton_builder.h"
#include "rt/ketrel_transform.h"
#include "rt/ketrel_transform_file.h"
#include "tests/rt/test_ketrel_file_graph.h"
#include "tests/rt/test_ketrel_playback_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using test::CurvePointer;
using test::MakeTestCurve;

data_type_definition kVertex[] = {
    {Real32Member, "Position", nullptr, 3, {0, 0, 0}, 0},
    {Real32Member, "Normal", nullptr, 3, {0, 0, 0}, 0},
    {Real32Member, "Tangent", nullptr, 3, {0, 0, 0}, 0},
    {EndMember, nullptr, nullptr, 0, {0, 0, 0}, 0},
};

// A two-bone figure standing on a square of two triangles, one clip.
struct Figure {
  Figure() {
    const float q[4] = {0, 0, 0, 1}, h = std::sqrt(0.5f), turn[4] = {0, 0, h, h};
    const float rootAt[3] = {0, 0, 1}, armLocal[3] = {1, 0, 0}, armWorld[3] = {0, 1, 1};
    skeleton_builder* s = BeginSkeleton(2);
    AddBone(s, "Root", rootAt, turn, nullptr, rootAt, turn, nullptr);
    AddBone(s, "Arm", armLocal, q, nullptr, armWorld, turn, nullptr);
    SetBoneParent(s, 0, -1);
    SetBoneParent(s, 1, 0);
    SetBoneLODError(s, 1, 0.5f);
    bones.resize(size_t(GetResultingSkeletonSize(s)));
    Skeleton = EndSkeletonInPlace(s, bones.data(), nullptr);

    const float v[4][9] = {{0, 0, 0, 0, 0, 1, 1, 0, 0},
                           {1, 0, 0, 0, 0, 1, 1, 0, 0},
                           {1, 1, 0, 0, 0, 1, 1, 0, 0},
                           {0, 1, 1, 0, 0, 1, 1, 0, 0}};
    std::memcpy(vertices, v, sizeof v);
    data.Vertices = {kVertex, 4, vertices};
    std::memcpy(deltaVertices, v, sizeof v);
    deltas.Vertices = {kVertex, 4, deltaVertices};
    morph = {"Smile", &deltas, 1};
    // Vertex morph curves: each vertex rises by 1 and its normal tips to +Y.
    for (int32_t i = 0; i < 4; ++i) {
      const float* p = v[i];
      morphCurves.push_back(
          MakeTestCurve(DaK32fC32fType, 1, 3, {0, 1}, {p[0], p[1], p[2], p[0], p[1], p[2] + 1}));
      morphCurves.push_back(MakeTestCurve(DaK32fC32fType, 1, 3, {0, 1}, {0, 0, 1, 0, 1, 0}));
      positionCurves[i] = *morphCurves[2 * size_t(i)];
      normalCurves[i] = *morphCurves[2 * size_t(i) + 1];
    }
    sets[0] = {"VertexMorphCurvePosition", {Curve2Type, 4, positionCurves}, 0, 0, nullptr};
    sets[1] = {"VertexMorphCurveNormal", {Curve2Type, 4, normalCurves}, 0, 0, nullptr};
    data.VertexAnnotationSetCount = 2;
    data.VertexAnnotationSets = sets;
    const int32_t corners[6] = {0, 1, 2, 0, 2, 3};
    // Side e of triangle t joins corners e and e + 1; a shared side names
    // the other triangle's (4 x triangle + side), a boundary side itself.
    const int32_t sides[6] = {0, 1, 4, 2, 5, 6};
    std::memcpy(indices, corners, sizeof indices);
    std::memcpy(neighbours, sides, sizeof neighbours);
    topology.IndexCount = 6;
    topology.Indices = indices;
    topology.SideToNeighborCount = 6;
    topology.SideToNeighborMap = neighbours;
    box = {"Arm", {-1, 0, 0}, {1, 2, 3}, 0, nullptr};
    Mesh = {"Square", &data, 1, &morph, &topology, 0, nullptr, 1, &box, {}};
    meshBinding.Mesh = &Mesh;
    Model.Name = "Root";
    Model.Skeleton = Skeleton;
    Model.InitialPlacement = IdentityTransform();
    Model.MeshBindingCount = 1;
    Model.MeshBindings = &meshBinding;

    // Root slides up Z; its turn about Z grows; the Arm's keys are unsmoothed.
    rootPosition = MakeTestCurve(D3K16uC16uType, 1, 3, {0, 1}, {0, 0, 1, 0, 0, 3});
    rootTurn = MakeTestCurve(D4nK16uC15uType, 1, 4, {0, 1}, {0, 0, 0, 1, 0, 0, h, h});
    armKeys = MakeTestCurve(DaKeyframes32fType, 0, 3, {}, {1, 0, 0, 1, 0, 2});
    const curve2 identity4 = GetSharedIdentityCurve(4), identity9 = GetSharedIdentityCurve(9);
    tracks[0] = {"Root", 0, *rootTurn, *rootPosition, identity9};
    tracks[1] = {"Arm", 0, identity4, *armKeys, identity9};
    loop = {2.0f, 1.0f, 0.5f, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    Group.Name = "Root";
    Group.TransformTrackCount = 2;
    Group.TransformTracks = tracks;
    Group.InitialPlacement = IdentityTransform();
    Group.AccumulationFlags = 1;
    Group.PeriodicLoop = &loop;
    Walk.Name = "Walk";
    Walk.Duration = 1.0f;
    Walk.TimeStep = 0.5f;
    // The same group twice, and once more in the file's own list below.
    clipGroups[0] = clipGroups[1] = &Group;
    Walk.TrackGroupCount = 2;
    Walk.TrackGroups = clipGroups;

    skeletons[0] = Skeleton;
    meshes[0] = meshes[1] = &Mesh;
    models[0] = &Model;
    animations[0] = &Walk;
    Info.SkeletonCount = 1;
    Info.Skeletons = skeletons;
    Info.MeshCount = 2;
    Info.Meshes = meshes;
    Info.ModelCount = 1;
    Info.Models = models;
    // A group only the file lists (a take no animation kept).
    const float lifted[3] = {0, 0, 1};
    Loose.Name = "Loose";
    Loose.InitialPlacement = MakeTransform(lifted, nullptr, nullptr);
    fileGroups[0] = &Group;
    fileGroups[1] = &Loose;
    Info.TrackGroupCount = 2;
    Info.TrackGroups = fileGroups;
    Info.AnimationCount = 1;
    Info.Animations = animations;
  }

  // Where vertex v lands when the Arm at rest moves it: its bind position
  // through the Arm's inverse world, the rest pose and the model placement.
  void Skinned(int32_t v, float out[3]) const {
    float p[4] = {vertices[9 * v], vertices[9 * v + 1], vertices[9 * v + 2], 1};
    float inverse[4][4], rest[4][4], root[4][4], place[4][4];
    std::memcpy(inverse, Skeleton->Bones[1].InverseWorldTransform, sizeof inverse);
    BuildCompositeMatrix(Skeleton->Bones[1].Transform, rest);
    BuildCompositeMatrix(Skeleton->Bones[0].Transform, root);
    BuildCompositeMatrix(Model.InitialPlacement, place);
    for (auto* m : {&inverse, &rest, &root, &place}) {
      float q[4] = {0, 0, 0, 0};
      for (int j = 0; j < 4; ++j)
        for (int k = 0; k < 4; ++k) q[j] += p[k] * (*m)[k][j];
      std::memcpy(p, q, sizeof q);
    }
    std::memcpy(out, p, 3 * sizeof(float));
  }

  std::vector<unsigned char> bones;
  skeleton* Skeleton = nullptr;
  float vertices[36], deltaVertices[36];
  vertex_data data{}, deltas{};
  std::vector<CurvePointer> morphCurves;
  curve2 positionCurves[4]{}, normalCurves[4]{};
  vertex_annotation_set sets[2]{};
  morph_target morph{};
  int32_t indices[6], neighbours[6];
  tri_topology topology{};
  bone_binding box{};
  mesh Mesh{};
  model_mesh_binding meshBinding{};
  model Model{};
  CurvePointer rootPosition, rootTurn, armKeys;
  transform_track tracks[2]{};
  periodic_loop loop{};
  track_group Group{};
  track_group* clipGroups[2]{};
  track_group Loose{};
  track_group* fileGroups[2]{};
  animation Walk{};
  skeleton* skeletons[1]{};
  mesh* meshes[2]{};
  model* models[1]{};
  animation* animations[1]{};
  file_info Info{};
};

// Curves that outgrow their records are rebuilt in this arena.
struct ScopedArena {
  ScopedArena() : arena(NewArena()) {}
  ~ScopedArena() { FreeArena(arena); }
  Arena* arena;
};

basis_conversion Conversion(const float l[3][3], const float a[3] = nullptr,
                            Arena* arena = nullptr) {
  basis_conversion c;
  EXPECT_TRUE(SetBasisLinear(c, l));
  if (a) std::memcpy(c.Affine, a, sizeof c.Affine);
  if (arena) c.Memory = ArenaAllocator(arena);
  return c;
}

void Map(const basis_conversion& c, const float p[3], float out[3]) {
  for (int r = 0; r < 3; ++r)
    out[r] = c.Linear[r][0] * p[0] + c.Linear[r][1] * p[1] + c.Linear[r][2] * p[2] + c.Affine[r];
}

void ExpectNear3(const float* a, const float* b, float tolerance, const std::string& what) {
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], tolerance) << what << " [" << k << "]";
}

const float kZUpToYUp[3][3] = {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}};
const float kCentimetres[3][3] = {{100, 0, 0}, {0, 100, 0}, {0, 0, 100}};
const float kMirrorX[3][3] = {{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

// Every triangle side's neighbour entry names a side that joins the same
// two vertices.
bool NeighboursAgree(const Figure& f) {
  for (int32_t side = 0; side < 6; ++side) {
    const int32_t entry = f.neighbours[side], other = 3 * (entry >> 2) + (entry & 3);
    auto ends = [&](int32_t s) {
      const int32_t t = s / 3, e = s % 3;
      const int32_t a = f.indices[3 * t + e], b = f.indices[3 * t + (e + 1) % 3];
      return std::pair<int32_t, int32_t>(std::min(a, b), std::max(a, b));
    };
    if (other < 0 || other >= 6 || ends(side) != ends(other)) return false;
  }
  return true;
}

TEST(TransformFile, TableOfConversionsMovesWhatAGameComputesByTheSameMap) {
  struct Case {
    const char* name;
    const float (*linear)[3];
    float origin[3];
  };
  const Case cases[] = {{"Z up to Y up", kZUpToYUp, {0, 0, 0}},
                        {"metres to centimetres", kCentimetres, {0, 0, 0}},
                        {"mirror with an origin", kMirrorX, {5, -2, 1}}};
  for (const Case& c : cases) {
    Figure f;
    ScopedArena memory;
    const basis_conversion conversion = Conversion(c.linear, c.origin, memory.arena);
    float skinnedBefore[4][3], expected[3], after[3];
    for (int32_t v = 0; v < 4; ++v) f.Skinned(v, skinnedBefore[v]);
    float t0[3], tEnd[3], turnEnd[4];
    const float zero[3] = {0, 0, 0}, id[4] = {0, 0, 0, 1};
    ASSERT_TRUE(
        EvaluateCurveAtT(3, false, &f.tracks[0].PositionCurve, nullptr, nullptr, 1, 0, t0, zero));
    ASSERT_TRUE(
        EvaluateCurveAtT(3, false, &f.tracks[0].PositionCurve, nullptr, nullptr, 1, 1, tEnd, zero));
    ASSERT_TRUE(EvaluateCurveAtT(4, true, &f.tracks[0].OrientationCurve, nullptr, nullptr, 1, 1,
                                 turnEnd, id));
    transform motionBefore;
    ASSERT_TRUE(GetRootMotion(&f.Group, 1.0f, 0.7f, &motionBefore));
    float risen[3], tipped[3];
    ASSERT_TRUE(
        EvaluateCurveAtT(3, false, &f.positionCurves[3], nullptr, nullptr, 1, 1, risen, zero));
    ASSERT_TRUE(
        EvaluateCurveAtT(3, false, &f.normalCurves[3], nullptr, nullptr, 1, 1, tipped, zero));

    ASSERT_TRUE(TransformFile(&f.Info, conversion)) << c.name;

    // Skinned points: the same material point, in the new frame.
    for (int32_t v = 0; v < 4; ++v) {
      f.Skinned(v, after);
      Map(conversion, skinnedBefore[v], expected);
      ExpectNear3(after, expected, 1e-3f, std::string(c.name) + " skinned vertex");
    }
    // Vertex morph curves: points with the origin, normals turned, unit.
    ASSERT_TRUE(
        EvaluateCurveAtT(3, false, &f.positionCurves[3], nullptr, nullptr, 1, 1, after, zero));
    Map(conversion, risen, expected);
    ExpectNear3(after, expected, 1e-3f, std::string(c.name) + " morph curve");
    ASSERT_TRUE(
        EvaluateCurveAtT(3, false, &f.normalCurves[3], nullptr, nullptr, 1, 1, after, zero));
    Map(Conversion(c.linear), tipped, expected);
    const float length = std::hypot(expected[0], expected[1], expected[2]);
    for (float& x : expected) x /= length;
    ExpectNear3(after, expected, 1e-5f, std::string(c.name) + " normal curve");
    // Animated curves: positions without the origin (it rides on the
    // group's placement), orientations conjugated.
    float now[3], turnNow[4];
    const basis_conversion turnOnly = Conversion(c.linear);
    ASSERT_TRUE(
        EvaluateCurveAtT(3, false, &f.tracks[0].PositionCurve, nullptr, nullptr, 1, 1, now, zero));
    Map(turnOnly, tEnd, expected);
    ExpectNear3(now, expected, 1e-3f * (std::fabs(c.linear[0][0]) + 1),
                std::string(c.name) + " root track");
    ASSERT_TRUE(EvaluateCurveAtT(4, true, &f.tracks[0].OrientationCurve, nullptr, nullptr, 1, 1,
                                 turnNow, id));
    float turned[4] = {turnEnd[0], turnEnd[1], turnEnd[2], turnEnd[3]};
    transform probe = MakeTransform(nullptr, turned, nullptr);
    TransformTransform(probe, conversion, false);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(turnNow[k], probe.Orientation[k], 2e-4f) << c.name;
    // Root motion of the periodic loop: M'(t) = L M(t) L^-1.
    transform motionAfter;
    ASSERT_TRUE(GetRootMotion(&f.Group, 1.0f, 0.7f, &motionAfter));
    transform motionExpected = motionBefore;
    TransformTransform(motionExpected, conversion, false);
    ExpectNear3(motionAfter.Position, motionExpected.Position, 1e-3f,
                std::string(c.name) + " loop");
    for (int k = 0; k < 4; ++k)
      EXPECT_NEAR(motionAfter.Orientation[k], motionExpected.Orientation[k], 1e-4f) << c.name;
    // The shared group and mesh were converted once, not three and two times.
    EXPECT_NEAR(f.Group.InitialPlacement.Position[0], c.origin[0], 1e-6f) << c.name;
    EXPECT_TRUE(NeighboursAgree(f)) << c.name;
  }
}

TEST(TransformFile, ZUpToYUpMapsUpAndUnitsScaleOnlyLengths) {
  Figure f;
  ScopedArena memory;
  ASSERT_TRUE(TransformFile(&f.Info, Conversion(kZUpToYUp, nullptr, memory.arena)));
  // Vertex 3 (0, 1, 1) -> (0, 1, -1); the root bone and the Arm's keys go up Y.
  EXPECT_FLOAT_EQ(f.vertices[27 + 1], 1.0f);
  EXPECT_FLOAT_EQ(f.vertices[27 + 2], -1.0f);
  EXPECT_FLOAT_EQ(f.Skeleton->Bones[0].Transform.Position[1], 1.0f);
  EXPECT_FLOAT_EQ(f.vertices[5], 0.0f);  // normal (0, 0, 1) -> (0, 1, 0)
  EXPECT_FLOAT_EQ(f.vertices[4], 1.0f);
  float key[3];
  ASSERT_TRUE(ExtractCurveKnotsControls(&f.tracks[1].PositionCurve, 1, 1, nullptr, key, nullptr));
  EXPECT_FLOAT_EQ(key[1], 2.0f);
  EXPECT_FLOAT_EQ(f.Loose.InitialPlacement.Position[1], 1.0f);

  Figure g;
  const transform turnBefore = g.Skeleton->Bones[0].Transform;
  ASSERT_TRUE(TransformFile(&g.Info, Conversion(kCentimetres, nullptr, memory.arena)));
  EXPECT_FLOAT_EQ(g.Skeleton->Bones[0].Transform.Position[2], 100.0f);
  for (int k = 0; k < 4; ++k)
    EXPECT_FLOAT_EQ(g.Skeleton->Bones[0].Transform.Orientation[k], turnBefore.Orientation[k]);
  EXPECT_FLOAT_EQ(g.vertices[27 + 2], 100.0f);
  EXPECT_FLOAT_EQ(g.vertices[5], 1.0f);       // normals stay unit
  EXPECT_FLOAT_EQ(g.vertices[6], 1.0f);       // tangents too
  EXPECT_FLOAT_EQ(g.deltaVertices[5], 1.0f);  // a delta normal turns, keeps its size
  EXPECT_FLOAT_EQ(g.box.OBBMax[2], 300.0f);
  EXPECT_FLOAT_EQ(g.Skeleton->Bones[1].LODError, 50.0f);
  EXPECT_FLOAT_EQ(g.loop.Radius, 200.0f);

  // A shear: tangents follow the surface (L), normals stay perpendicular to
  // it (inverse transpose), and the skewed orientations are reported.
  Figure h;
  test::LogCapture log;
  const float shear[3][3] = {{1, 0, 1}, {0, 1, 0}, {0, 0, 1}};
  ASSERT_TRUE(TransformFile(&h.Info, Conversion(shear, nullptr, memory.arena)));
  const float* normal = h.vertices + 3;
  const float* tangent = h.vertices + 6;
  EXPECT_NEAR(normal[0] * tangent[0] + normal[1] * tangent[1] + normal[2] * tangent[2], 0.0f,
              1e-6f);
  EXPECT_NEAR(std::hypot(normal[0], normal[1], normal[2]), 1.0f, 1e-6f);
  EXPECT_TRUE(log.Contains("not a rotation with a uniform scale")) << log.All();
}

TEST(TransformFile, MirrorTwiceRestoresTheFileAndIdentityChangesNothing) {
  Figure f, original;
  ScopedArena memory;
  ASSERT_TRUE(TransformFile(&f.Info, Conversion(kMirrorX, nullptr, memory.arena)));
  EXPECT_EQ(f.indices[0], 2);  // winding reversed
  EXPECT_EQ(f.indices[2], 0);
  EXPECT_TRUE(NeighboursAgree(f));
  ASSERT_TRUE(TransformFile(&f.Info, Conversion(kMirrorX, nullptr, memory.arena)));
  EXPECT_EQ(std::memcmp(f.indices, original.indices, sizeof f.indices), 0);
  EXPECT_EQ(std::memcmp(f.neighbours, original.neighbours, sizeof f.neighbours), 0);
  EXPECT_EQ(std::memcmp(f.vertices, original.vertices, sizeof f.vertices), 0);
  const periodic_loop a = f.loop, b = original.loop;  // values: -0 equals 0
  EXPECT_TRUE(a.Radius == b.Radius && a.dZ == b.dZ && a.dAngle == b.dAngle);
  for (int k = 0; k < 3; ++k)
    EXPECT_TRUE(a.Axis[k] == b.Axis[k] && a.BasisX[k] == b.BasisX[k] && a.BasisY[k] == b.BasisY[k]);

  // The identity leaves every golden file's objects exactly as they were.
  for (const char* name : {"golden_32le.kt2", "golden_64be.kt2"}) {
    const std::string path = std::string(KETREL_TEST_DATA) + "/" + name;
    file_info* kept = LoadFileInfo(path.c_str());
    file_info* converted = LoadFileInfo(path.c_str());
    ASSERT_TRUE(kept && converted) << name;
    EXPECT_TRUE(TransformFile(converted, basis_conversion{}));
    EXPECT_EQ(test::CompareGraphs(FileInfoType, kept, FileInfoType, converted), "") << name;
    FreeFileInfo(kept);
    FreeFileInfo(converted);
  }
}

TEST(TransformFile, BadConversionsAndUnrepresentableCurvesAreReported) {
  test::LogCapture log;
  const float singular[3][3] = {{1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  basis_conversion c;
  EXPECT_FALSE(SetBasisLinear(c, singular));
  EXPECT_FALSE(InvertLinear(singular, c.InverseLinear));
  // An L whose stored inverse does not undo it is refused before any change.
  Figure f;
  std::memcpy(c.Linear, kCentimetres, sizeof c.Linear);
  EXPECT_FALSE(TransformFile(&f.Info, c));
  EXPECT_TRUE(log.Contains("inverse does not match"));
  EXPECT_FLOAT_EQ(f.vertices[27 + 2], 1.0f);

  // A zero quaternion stays zero, with no NaN.
  transform zero = IdentityTransform();
  std::memset(zero.Orientation, 0, sizeof zero.Orientation);
  TransformTransform(zero, Conversion(kZUpToYUp), false);
  for (float q : zero.Orientation) EXPECT_EQ(q, 0.0f);

  // A turn that no 8-bit code keeps within a tight tolerance: with no memory
  // to grow into, the nearest fit is written and the track named.
  const float c30 = std::cos(0.5f), s30 = std::sin(0.5f);
  const float turn[3][3] = {{c30, -s30, 0}, {s30, c30, 0}, {0, 0, 1}};
  CurvePointer coarse =
      MakeTestCurve(D3K8uC8uType, 1, 3, {0, 0.5f, 1}, {0, 0, 0, 1, 2, 3, 3, 1, 2});
  basis_conversion tight;
  ASSERT_TRUE(SetBasisLinear(tight, turn));
  tight.AffineTolerance = 1e-5f;
  curve2 inPlace = *coarse;
  log.Clear();
  EXPECT_TRUE(
      TransformTrackCurve(&inPlace, basis_curve_kind::Point, nullptr, &turn[0][0], tight, "Hips"));
  EXPECT_TRUE(log.Contains("Track Hips")) << log.All();
  // Given memory, it moves to a format that holds it.
  CurvePointer again = MakeTestCurve(D3K8uC8uType, 1, 3, {0, 0.5f, 1}, {0, 0, 0, 1, 2, 3, 3, 1, 2});
  ScopedArena memory;
  tight.Memory = ArenaAllocator(memory.arena);
  curve2 grown = *again;
  log.Clear();
  EXPECT_TRUE(
      TransformTrackCurve(&grown, basis_curve_kind::Point, nullptr, &turn[0][0], tight, "Hips"));
  EXPECT_EQ(log.warnings(), 0u) << log.All();
  EXPECT_NE(GetCurveFormat(&grown), CurveFormatD3K8uC8u);

  // A record whose format number names another layout than its type (a
  // damaged or hostile file) is refused, not read through pointers that are
  // not there (found by fuzzing a loaded file's transform).
  curve2 mislabelled = *again;
  mislabelled.CurveData.Type = D4nK8uC7uType;
  log.Clear();
  EXPECT_FALSE(CurveRecordMatchesType(&mislabelled));
  EXPECT_FALSE(TransformTrackCurve(&mislabelled, basis_curve_kind::Point, nullptr, &turn[0][0],
                                   tight, "Hips"));
  EXPECT_TRUE(log.Contains("does not match its type")) << log.All();
  EXPECT_TRUE(CurveRecordMatchesType(&grown));
  EXPECT_EQ(GetCurveKnotCount(&mislabelled), 0);
  EXPECT_EQ(GetCurveByteSize(&mislabelled), 0);

  // A record that is no curve at all (one byte, under a type without a
  // curve header) is never read as the format its first byte names.
  data_type_definition oneByte[] = {type_table::M(UInt8Member, "Format"), {}};
  auto byte = std::make_unique<uint8_t>(uint8_t(CurveFormatDaK16uC16u));
  curve2 stranger = *again;
  stranger.CurveData.Type = oneByte;
  stranger.CurveData.Object = byte.get();
  EXPECT_EQ(GetCurveFormat(&stranger), CurveFormatUnknown);
  EXPECT_EQ(GetCurveDegree(&stranger), 0);
  bound_curve bound;
  EXPECT_FALSE(BindCurve(stranger, 3, nullptr, &bound));
}

}  // namespace
}  // namespace ketrel
