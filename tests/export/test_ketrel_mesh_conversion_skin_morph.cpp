// Mesh conversion: skin weights and bone bindings, and morph targets.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/export/test_ketrel_mesh_conversion_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using namespace test;

std::string Name(const bone_binding& binding) {
  const char* name = binding.BoneName;
  return name ? name : "(null)";
}

TEST(MeshConversionSkin, WeightsSumExactlyAndUnusedBonesAreRemovedAndRenumbered) {
  for (bool preserve : {false, true}) {
    Scene scene;
    MeshNode* node = scene.Mesh(Cube(true));
    BoneNode* idle = scene.Bone("idle");
    BoneNode* a = scene.Bone("a");
    BoneNode* b = scene.Bone("b");
    BoneNode* c = scene.Bone("c");
    scene.tool.skins[node] = {idle, a, b, c};
    // Thirds quantise to 85, 85, 85 and must come out summing to 255; the
    // idle bone 0 weighs nothing anywhere.
    auto& weights = scene.tool.influences[node];
    for (int v = 0; v < 8; ++v) {
      if (v < 4) {
        weights.push_back({{1, 1.0f}, {2, 1.0f}, {3, 1.0f}});
      } else {
        weights.push_back({{3, 0.7f}, {1, 0.2f}, {2, 0.1f}});
      }
    }
    Set(node->Settings, kTopologyInfo, 1);
    Set(node->Settings, kPerBoneTriangles, 1);
    Set(node->Settings, kPreserveBones, preserve ? 1 : 0);
    ASSERT_TRUE(scene.Convert());
    mesh* m = scene.Result(node);
    Vertices v(m->PrimaryVertexData);
    ASSERT_TRUE(v.Has("BoneWeights"));
    EXPECT_EQ(Value(v.Member("BoneWeights")->Type), NormalUInt8Member);
    EXPECT_EQ(Value(v.Member("BoneIndices")->Type), UInt8Member);
    ASSERT_EQ(Value(m->BoneBindingCount), preserve ? 4 : 3);
    for (int32_t i = 0; i < v.Count(); ++i) {
      int32_t sum = 0;
      std::set<std::string> bones;
      for (int k = 0; k < 4; ++k) {
        sum += v.Byte(i, "BoneWeights", k);
        const int32_t index = v.Int(i, "BoneIndices", k);
        ASSERT_LT(index, Value(m->BoneBindingCount));
        if (v.Byte(i, "BoneWeights", k) > 0) bones.insert(Name(m->BoneBindings[index]));
      }
      EXPECT_EQ(sum, 255) << i;
      EXPECT_EQ(bones, (std::set<std::string>{"a", "b", "c"})) << i;
      const int32_t heaviest = v.Int(i, "BoneIndices", 0);
      if (v.Real(i, "Position", 2) > 0) {
        EXPECT_EQ(Name(m->BoneBindings[heaviest]), "c");
      }
    }
    // Per-triangle bone lists and per-bone triangle arrays name bindings
    // that exist after the renumbering.
    const tri_topology* t = m->PrimaryTopology;
    ASSERT_EQ(Value(t->BonesForTriangleCount), 12);
    int32_t listed = 0;
    for (int32_t i = 0; i < 12; ++i) listed += t->BonesForTriangle[i];
    ASSERT_EQ(listed, Value(t->TriangleToBoneCount));
    std::set<std::string> named;
    for (int32_t i = 0; i < listed; ++i) {
      ASSERT_LT(Value(t->TriangleToBoneIndices[i]), Value(m->BoneBindingCount));
      named.insert(Name(m->BoneBindings[t->TriangleToBoneIndices[i]]));
    }
    EXPECT_EQ(named, (std::set<std::string>{"a", "b", "c"}));
    for (int32_t i = 0; i < m->BoneBindingCount; ++i) {
      bone_binding binding = m->BoneBindings[i];
      const bool idleBone = Name(binding) == "idle";
      EXPECT_EQ(Value(binding.TriangleCount), idleBone ? 0 : 12) << Name(binding);
      // Every box is finite: the idle bone's, reached by no vertex, is zero.
      for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(Value(binding.OBBMin[k]), idleBone ? 0.0f : -1.0f);
        EXPECT_EQ(Value(binding.OBBMax[k]), idleBone ? 0.0f : 1.0f);
      }
    }
    if (preserve) {
      EXPECT_EQ(Name(m->BoneBindings[0]), "idle");
    }
  }
}

TEST(MeshConversionSkin, BadInfluencesAreDroppedAndWideSkinsGetWideIndices) {
  Scene scene;
  MeshNode* node = scene.Mesh(Quad());
  BoneNode* a = scene.Bone("a");
  BoneNode* b = scene.Bone("b");
  scene.tool.skins[node] = {a, b};
  // Bone 7 does not exist: its weight must not land on bone 0.
  scene.tool.influences[node] = {{{7, 1.0f}, {1, 0.5f}}, {{1, 1.0f}}, {{0, 1.0f}}, {{0, 1.0f}}};
  Set(node->Settings, kPreserveBones, 1);

  std::vector<BoneNode*> many;
  for (int i = 0; i < 300; ++i) many.push_back(scene.Bone(("bone" + std::to_string(i)).c_str()));
  MeshNode* wide = scene.Mesh(Quad());
  scene.tool.skins[wide] = many;
  scene.tool.influences[wide] = {{{299, 1.0f}}, {{257, 1.0f}}, {{0, 1.0f}}, {{1, 1.0f}}};

  MeshNode* single = scene.Mesh(Quad());
  scene.tool.skins[single] = {a, b};
  scene.tool.influences[single] = {{{0, 0.25f}, {1, 0.75f}}, {{0, 1.0f}}, {{1, 1.0f}}, {}};
  Set(single->Settings, kBonesPerVertex, 1);

  LogCapture log;
  ASSERT_TRUE(scene.Convert());
  EXPECT_TRUE(log.Contains("1 skin influences name no bone of its 2-bone skin"));
  // One bone per vertex: a single 32-bit index naming the heaviest bone.
  mesh* s = scene.Result(single);
  Vertices one(s->PrimaryVertexData);
  EXPECT_FALSE(one.Has("BoneWeights"));
  EXPECT_EQ(Value(one.Member("BoneIndices")->Type), UInt32Member);
  EXPECT_EQ(Name(s->BoneBindings[one.Int(0, "BoneIndices", 0)]), "b");
  EXPECT_EQ(Name(s->BoneBindings[one.Int(1, "BoneIndices", 0)]), "a");
  EXPECT_EQ(Value(s->PrimaryVertexData->VertexComponentNameCount), 4);
  EXPECT_STREQ(s->PrimaryVertexData->VertexComponentNames[1], "BoneIndices");
  Vertices v(scene.Result(node)->PrimaryVertexData);
  EXPECT_EQ(v.Int(0, "BoneIndices", 0), 1);
  EXPECT_EQ(v.Byte(0, "BoneWeights", 0), 255);

  mesh* m = scene.Result(wide);
  Vertices w(m->PrimaryVertexData);
  EXPECT_EQ(Value(w.Member("BoneIndices")->Type), UInt16Member);
  EXPECT_TRUE(log.Contains("has 300 skin bones"));
  // Unused bones are gone; the renumbered indices still name the right ones.
  ASSERT_EQ(Value(m->BoneBindingCount), 4);
  const char* expected[4] = {"bone299", "bone257", "bone0", "bone1"};
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Name(m->BoneBindings[w.Int(i, "BoneIndices", 0)]), expected[i]) << i;
  }
}

TEST(MeshConversionMorph, TargetLimitAndFrameCounts) {
  EXPECT_EQ(ComputeMorphTargetLimit(1), 65536);
  EXPECT_EQ(ComputeMorphTargetLimit(4), 65535);  // 4 x 65537 just exceeds 262144
  EXPECT_EQ(ComputeMorphTargetLimit(5), 262144 / 5 - 1);
  EXPECT_EQ(ComputeMorphTargetLimit(1 << 20), 1);
  for (int32_t meshes : {1, 5}) {
    EXPECT_LE(int64_t(ComputeMorphTargetLimit(meshes) + 1) * meshes, 262144);
  }

  Scene scene;
  scene.tool.hostFrames = 99999;  // 100000 frames in the range
  std::vector<MeshNode*> nodes;
  for (int i = 0; i < 5; ++i) {
    nodes.push_back(scene.Mesh(Quad()));
    Choose(nodes.back()->Settings, kMorphTargets, kFrames);
  }
  SetInChoice(nodes[0]->Settings, kMorphTargets, kSetTotalFrames, 1);
  SetInChoice(nodes[0]->Settings, kMorphTargets, kFrameCount, 1);
  EXPECT_EQ(CountMeshMorphTargets(&scene.parser, nodes[0]), 2);
  EXPECT_EQ(CountMeshMorphTargets(&scene.parser, nodes[1]), 262144 / 5 - 1);
  EXPECT_EQ(CountMeshVertexDatas(&scene.parser), 5 + 2 + 4 * (262144 / 5 - 1));

  scene.Begin();
  LogCapture log;
  MeshConversion* record = nullptr;
  ASSERT_TRUE(ConvertMesh(&scene.parser, nodes[0]->Model, nodes[0], &record));
  EXPECT_EQ(GetMorphTargetCount(record), 2);
  EXPECT_TRUE(log.Contains("Morph target count of 1 is clamped to 2."));
  AbortMesh(record);
  ASSERT_TRUE(ConvertMesh(&scene.parser, nodes[1]->Model, nodes[1], &record));
  EXPECT_EQ(GetMorphTargetCount(record), 262144 / 5 - 1);
  EXPECT_TRUE(
      log.Contains("Morph target count of 100000 exceeds limit of 52427 - count has been "
                   "clamped."));
  EXPECT_EQ(Value(scene.Result(nodes[1])->MorphTargetCount), 262144 / 5 - 1);
  AbortMesh(record);
}

// Vertex 0 of the quad rises by 0.5 per frame; everything else stays.
FakeMesh RisingQuad(int32_t frame) {
  FakeMesh m = Quad();
  m.positions[0][2] += 0.5f * float(frame);
  return m;
}

// A range of F frames gives F + 1 targets, one at each end of every frame,
// so the range's last pose is a target too.
TEST(MeshConversionMorph, FrameByFrameTakesBothEndsOfTheRange) {
  Scene scene;
  MeshNode* node = scene.Mesh(Quad());
  scene.tool.hostFrames = 4;
  scene.tool.frames = [](int32_t frame, int32_t) { return RisingQuad(frame); };
  Choose(node->Settings, kMorphTargets, kFrames);
  ASSERT_TRUE(scene.Convert());
  EXPECT_EQ(Value(scene.Result(node)->MorphTargetCount), 5);
  ASSERT_EQ(scene.tool.moves.size(), 5u);
  EXPECT_EQ(scene.tool.moves.back(), (std::pair<int32_t, int32_t>{4, 5}));
}

TEST(MeshConversionMorph, FrameByFrameDeltasAndZeroMemberFiltering) {
  for (bool filter : {false, true}) {
    Scene scene;
    MeshNode* node = scene.Mesh(Quad());
    scene.tool.frames = [](int32_t frame, int32_t) { return RisingQuad(frame); };
    Choose(node->Settings, kMorphTargets, kFrames);
    SetInChoice(node->Settings, kMorphTargets, kSetTotalFrames, 1);
    SetInChoice(node->Settings, kMorphTargets, kFrameCount, 3);
    Set(node->Settings, kFilterZero, filter ? 1 : 0);
    ASSERT_TRUE(scene.Convert());
    EXPECT_EQ(scene.tool.moves, (std::vector<std::pair<int32_t, int32_t>>{{0, 3}, {1, 3}, {2, 3}}));
    EXPECT_EQ(scene.tool.frameCount, 0);  // back at the start
    mesh* m = scene.Result(node);
    ASSERT_EQ(Value(m->MorphTargetCount), 3);
    EXPECT_EQ(Value(scene.parser.info->VertexDataCount), 4);
    const int32_t count = m->PrimaryVertexData->Vertices.Count;
    Vertices base(m->PrimaryVertexData);
    for (int32_t t = 0; t < 3; ++t) {
      morph_target target = m->MorphTargets[t];
      EXPECT_EQ(Value(target.ScalarName), nullptr);
      EXPECT_EQ(Value(target.DataIsDeltas), 1);
      ASSERT_NE(Value(target.VertexData), nullptr);
      Vertices d(target.VertexData);
      ASSERT_EQ(d.Count(), count);
      EXPECT_FALSE(d.Has("BoneWeights"));
      EXPECT_EQ(d.Has("Normal"), !filter);
      EXPECT_EQ(Value(target.VertexData->VertexComponentNameCount), filter ? 1 : 3);
      for (int32_t i = 0; i < count; ++i) {
        const bool rising = base.Real(i, "Position", 0) == 0 && base.Real(i, "Position", 1) == 0;
        EXPECT_EQ(d.Real(i, "Position", 2), rising ? 0.5f * float(t) : 0.0f) << t << " " << i;
        EXPECT_EQ(d.Real(i, "Position", 0), Value(0.0f));
        if (!filter) {
          EXPECT_EQ(d.Real(i, "Normal", 2), Value(0.0f));
        }
      }
    }
  }
}

TEST(MeshConversionMorph, UnchangedPackedNormalsGiveExactZeroDeltas) {
  // Normals that DEC3N or float16 cannot hold exactly: the frames only move
  // a position, so the normal deltas must be exactly zero and filtered away.
  auto tilted = [](int32_t frame) {
    FakeMesh m = RisingQuad(frame);
    const Vec3 n = {0.6f, 0.0f, 0.8f};
    m.normals = {{n, n, n}, {n, n, n}};
    return m;
  };
  Scene scene;
  scene.tool.frames = [&](int32_t frame, int32_t) { return tilted(frame); };
  struct Case {
    uint32_t format;
    bool filter;
  };
  const Case cases[] = {{kDec3N, false}, {kDec3N, true}, {kFloat16, false}, {kFloat16, true}};
  std::vector<MeshNode*> nodes;
  for (const Case& c : cases) {
    MeshNode* node = scene.Mesh(tilted(0));
    Choose(node->Settings, kNormalFormat, c.format);
    Choose(node->Settings, kMorphTargets, kFrames);
    SetInChoice(node->Settings, kMorphTargets, kSetTotalFrames, 1);
    SetInChoice(node->Settings, kMorphTargets, kFrameCount, 2);
    Set(node->Settings, kFilterZero, c.filter ? 1 : 0);
    Set(node->Settings, kAllowCoords, 0);
    nodes.push_back(node);
  }
  ASSERT_TRUE(scene.Convert());
  for (size_t k = 0; k < nodes.size(); ++k) {
    mesh* m = scene.Result(nodes[k]);
    ASSERT_EQ(Value(m->MorphTargetCount), 2) << k;
    Vertices base(m->PrimaryVertexData);
    for (int32_t t = 0; t < 2; ++t) {
      Vertices d(m->MorphTargets[t].VertexData);
      EXPECT_EQ(d.Has("Normal"), !cases[k].filter) << k;
      for (int32_t i = 0; i < d.Count(); ++i) {
        const bool rising = base.Real(i, "Position", 0) == 0 && base.Real(i, "Position", 1) == 0;
        EXPECT_EQ(d.Real(i, "Position", 2), rising ? 0.5f * float(t) : 0.0f) << k;
        if (!cases[k].filter) {
          EXPECT_EQ(d.Get3(i, "Normal"), (Vec3{0, 0, 0})) << k << " " << t << " " << i;
        }
      }
    }
  }
}

TEST(MeshConversionMorph, ModifierTargetsAreAbsoluteAndNamed) {
  Scene scene;
  MeshNode* node = scene.Mesh(Quad());
  scene.tool.channels[node] = {{"smile", RisingQuad(2)}, {"frown", RisingQuad(4)}};
  Choose(node->Settings, kMorphTargets, kModifier);
  Set(node->Settings, kDeltas, 0);
  Set(node->Settings, kAllowCoords, 0);
  ASSERT_TRUE(scene.Convert());
  EXPECT_TRUE(scene.tool.moves.empty());
  mesh* m = scene.Result(node);
  ASSERT_EQ(Value(m->MorphTargetCount), 2);
  const char* names[2] = {"smile", "frown"};
  Vertices base(m->PrimaryVertexData);
  for (int32_t t = 0; t < 2; ++t) {
    morph_target target = m->MorphTargets[t];
    EXPECT_STREQ(target.ScalarName, names[t]);
    EXPECT_EQ(Value(target.DataIsDeltas), 0);
    Vertices d(target.VertexData);
    for (int32_t i = 0; i < d.Count(); ++i) {
      const Vec3 p = base.Get3(i, "Position");
      const bool rising = p[0] == 0 && p[1] == 0;
      EXPECT_EQ(d.Real(i, "Position", 2), rising ? 1.0f + 1.0f * float(t) : 0.0f);
      EXPECT_EQ(d.Real(i, "Normal", 2), Value(1.0f));
    }
  }
}

TEST(MeshConversionMorph, FramesOfAnotherTopologyAreRefused) {
  Scene scene;
  MeshNode* node = scene.Mesh(Cube(false));
  // Frame 1 lost half its faces and vertices: reading it through the base
  // mesh's corners would run past its ends.
  scene.tool.frames = [](int32_t frame, int32_t) {
    FakeMesh m = Cube(false);
    if (frame == 1) {
      m.positions.resize(4);
      m.faces.resize(2);
      m.normals.resize(2);
    }
    for (auto& p : m.positions) p[2] += float(frame);
    return m;
  };
  Choose(node->Settings, kMorphTargets, kFrames);
  SetInChoice(node->Settings, kMorphTargets, kSetTotalFrames, 1);
  SetInChoice(node->Settings, kMorphTargets, kFrameCount, 3);
  LogCapture log;
  ASSERT_TRUE(scene.Convert());
  EXPECT_EQ(scene.tool.outOfRange, 0);
  EXPECT_TRUE(log.Contains("Morph target 1 of mesh mesh has 4 vertices, 2 faces"));
  EXPECT_TRUE(
      log.Contains("ERROR: Different frames of a morph-target animation have "
                   "differently triangulated meshes."));
  mesh* m = scene.Result(node);
  ASSERT_EQ(Value(m->MorphTargetCount), 3);
  Vertices refused(m->MorphTargets[1].VertexData);
  Vertices moved(m->MorphTargets[2].VertexData);
  for (int32_t i = 0; i < refused.Count(); ++i) {
    EXPECT_EQ(refused.Real(i, "Position", 2), Value(0.0f));  // the base mesh, as a zero delta
    EXPECT_EQ(moved.Real(i, "Position", 2), Value(2.0f));
  }
}

TEST(MeshConversionMorph, RelativeToBonesKeepsOnlyTheMotionTheBonesDoNotExplain) {
  for (bool relative : {false, true}) {
    Scene scene;
    MeshNode* node = scene.Mesh(Quad());
    BoneNode* a = scene.Bone("a");
    BoneNode* b = scene.Bone("b");
    scene.tool.skins[node] = {a, b};
    scene.tool.influences[node] = {
        {{0, 1.0f}}, {{0, 1.0f}}, {{0, 0.5f}, {1, 0.5f}}, {{0, 0.5f}, {1, 0.5f}}};
    scene.tool.lift[a] = 1.0f;
    scene.tool.lift[b] = 3.0f;
    // The host's skinned frames, plus vertex 0 rising a quarter on its own.
    scene.tool.frames = [](int32_t frame, int32_t) {
      FakeMesh m = Quad();
      const float f = float(frame);
      const float rise[4] = {1.25f * f, f, 2.0f * f, 2.0f * f};
      for (size_t v = 0; v < 4; ++v) m.positions[v][2] += rise[v];
      return m;
    };
    Choose(node->Settings, kWeightFormat, kFloat32Weights);
    Choose(node->Settings, kMorphTargets, kFrames);
    SetInChoice(node->Settings, kMorphTargets, kSetTotalFrames, 1);
    SetInChoice(node->Settings, kMorphTargets, kFrameCount, 3);
    SetInChoice(node->Settings, kMorphTargets, kRelativeToBones, relative ? 1 : 0);
    ASSERT_TRUE(scene.Convert());
    mesh* m = scene.Result(node);
    ASSERT_EQ(Value(m->MorphTargetCount), 3);
    Vertices base(m->PrimaryVertexData);
    Vertices last(m->MorphTargets[2].VertexData);
    for (int32_t i = 0; i < base.Count(); ++i) {
      const Vec3 p = base.Get3(i, "Position");
      const int32_t v = p[0] == 0 ? (p[1] == 0 ? 0 : 3) : (p[1] == 0 ? 1 : 2);
      const float skinned[4] = {2.0f, 2.0f, 4.0f, 4.0f};
      const float own = v == 0 ? 0.5f : 0.0f;
      EXPECT_NEAR(last.Real(i, "Position", 2), relative ? own : skinned[v] + own, 1e-5f) << v;
      EXPECT_NEAR(last.Real(i, "Normal", 2), 0.0f, 1e-5f);
    }
  }
}

TEST(MeshConversionFailures, EveryAllocationFailureEndsCleanly) {
  // One allocation after another fails while a skinned mesh with morph
  // targets, topology and per-bone data is converted: each run ends without
  // a crash or a leak, and whatever mesh data it kept is whole.
  bool completed = false;
  int failures = 0;
  for (long n = 0; n < 2000 && !completed; ++n) {
    Scene scene;
    MeshNode* node = scene.Mesh(Cube(false));
    BoneNode* a = scene.Bone("a");
    BoneNode* b = scene.Bone("b");
    BoneNode* idle = scene.Bone("idle");
    scene.tool.skins[node] = {a, idle, b};
    for (int v = 0; v < 8; ++v) scene.tool.influences[node].push_back({{v % 2 ? 0 : 2, 1.0f}});
    scene.tool.channels[node] = {{"up", RisingQuad(1)}, {"cube", Cube(true)}};
    Choose(node->Settings, kMorphTargets, kModifier);
    Set(node->Settings, kFilterZero, 1);
    Set(node->Settings, kTopologyInfo, 1);
    Set(node->Settings, kPerBoneTriangles, 1);
    Set(node->Settings, 99, 1);  // tangents
    scene.Begin();
    LogCapture log;
    SetAllocationFailureCountdown(n);
    const bool ok = ConvertMeshes(&scene.parser);
    SetAllocationFailureCountdown(-1);
    completed = !log.Contains("Unable to allocate");
    if (!completed) ++failures;
    mesh* m = scene.Result(node);
    if (completed) {
      ASSERT_TRUE(ok);
    }
    if (!m) continue;
    EXPECT_EQ(Value(m->PrimaryVertexData == nullptr), Value(m->PrimaryTopology == nullptr)) << n;
    // A run that reports success lost nothing of the mesh on the way.
    if (ok) {
      ASSERT_NE(Value(m->PrimaryVertexData), nullptr) << n;
      EXPECT_EQ(Value(m->BoneBindingCount), 2) << n;
      EXPECT_NE(Value(m->PrimaryTopology->BonesForTriangle), nullptr) << n;
      EXPECT_NE(Value(m->BoneBindings[0].TriangleIndices), nullptr) << n;
      EXPECT_EQ(Value(m->PrimaryVertexData->VertexComponentNameCount), 6) << n;
      EXPECT_EQ(Value(m->MorphTargetCount), 2) << n;
      ASSERT_NE(Value(m->MorphTargets[0].VertexData), nullptr);  // another topology: the base again
      EXPECT_EQ(Value(m->MorphTargets[1].VertexData->Vertices.Count),
                Value(m->PrimaryVertexData->Vertices.Count));
    }
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(failures, 20);
}

}  // namespace
}  // namespace ketrel
