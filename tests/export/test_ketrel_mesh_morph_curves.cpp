// Mesh conversion: vertex morph curves ("Create vertex morph curves") in
// place of frame-by-frame morph targets.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "rt/ketrel_curve.h"
#include "rt/ketrel_memory.h"
#include "tests/export/test_ketrel_mesh_conversion_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using namespace test;

constexpr float kStep = 1.0f / 30.0f;  // one host frame: the range has F - 1 frames

// The quad's vertices over the frames: 0 stays at the origin, 1 stays where
// it is, 2 swings on a curve and 3 moves along a line.
Vec3 Path(int32_t vertex, int32_t frame) {
  const float f = float(frame);
  const Vec3 start[4] = {Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{1, 1, 0}, Vec3{0, 1, 0}};
  Vec3 p = start[vertex];
  if (vertex == 2) {
    p[2] += std::sin(0.7f * f);
    p[0] += 0.05f * f * f;
  } else if (vertex == 3) {
    p[1] += 0.25f * f;
  }
  return p;
}

FakeMesh Frame(int32_t frame) {
  FakeMesh m = Quad();
  for (int32_t v = 0; v < 4; ++v) m.positions[size_t(v)] = Path(v, frame);
  return m;
}

// The quad vertex a built vertex came from, by its place at frame 0.
int32_t Source(const Vertices& base, int32_t i) {
  const Vec3 p = base.Get3(i, "Position");
  for (int32_t v = 0; v < 4; ++v) {
    if (p == Path(v, 0)) return v;
  }
  return -1;
}

MeshNode* CurveMesh(Scene& scene, int32_t frames) {
  MeshNode* node = scene.Mesh(Frame(0));
  scene.tool.frames = [](int32_t frame, int32_t) { return Frame(frame); };
  scene.tool.hostFrames = frames - 1;
  Choose(node->Settings, kMorphTargets, kFrames);
  SetInChoice(node->Settings, kMorphTargets, kSetTotalFrames, 1);
  SetInChoice(node->Settings, kMorphTargets, kFrameCount, frames);
  SetInChoice(node->Settings, kMorphTargets, kMorphCurves, 1);
  Set(node->Settings, kAllowCoords, 0);
  return node;
}

vertex_annotation_set SetOf(const mesh* m, int32_t s) {
  return m->PrimaryVertexData->VertexAnnotationSets[s];
}

curve2 CurveOf(const vertex_annotation_set& set, int32_t v) {
  return static_cast<const curve2*>(Value(set.VertexAnnotations.Items))[v];
}

TEST(MeshConversionMorphCurves, PositionCurvesFollowEveryFrameWithinTolerance) {
  constexpr int32_t kFramesSampled = 12;
  for (bool quantized : {false, true}) {
    SCOPED_TRACE(quantized ? "quantized" : "floats");
    Scene scene;
    MeshNode* node = CurveMesh(scene, kFramesSampled);
    SetInChoice(node->Settings, kMorphTargets, kQuantizedCurves, quantized ? 1 : 0);
    EXPECT_EQ(CountMeshVertexDatas(&scene.parser), 1);  // no morph target data
    ASSERT_TRUE(scene.Convert());
    EXPECT_EQ(scene.tool.moves.size(), size_t(kFramesSampled));
    mesh* m = scene.Result(node);
    EXPECT_EQ(Value(m->MorphTargetCount), 0);
    EXPECT_EQ(Value(m->MorphTargets), nullptr);
    EXPECT_EQ(Value(scene.parser.info->VertexDataCount), 1);

    Vertices base(m->PrimaryVertexData);
    ASSERT_EQ(Value(m->PrimaryVertexData->VertexAnnotationSetCount), 2);
    const vertex_annotation_set position = SetOf(m, 0), normal = SetOf(m, 1);
    EXPECT_STREQ(Value(position.Name), "VertexMorphCurvePosition");
    EXPECT_STREQ(Value(normal.Name), "VertexMorphCurveNormal");
    for (const vertex_annotation_set& set : {position, normal}) {
      EXPECT_EQ(Value(set.VertexAnnotations.Type), Curve2Type);
      EXPECT_EQ(Value(set.VertexAnnotations.Count), base.Count());
      EXPECT_EQ(Value(set.IndicesMapFromVertexToAnnotation), 0);
      EXPECT_EQ(Value(set.VertexAnnotationIndexCount), 0);
    }
    const float zero[3] = {0, 0, 0};
    for (int32_t i = 0; i < base.Count(); ++i) {
      const int32_t v = Source(base, i);
      ASSERT_GE(v, 0) << i;
      curve2 curve = CurveOf(position, i);
      EXPECT_EQ(CurveIsIdentity(&curve), v == 0) << v;
      EXPECT_EQ(CurveIsConstantNotIdentity(&curve), v == 1) << v;
      if (!quantized && v >= 2) {
        EXPECT_EQ(GetCurveFormat(&curve), CurveFormatDaK32fC32f);
      }
      for (int32_t f = 0; f < kFramesSampled; ++f) {
        float p[3];
        ASSERT_TRUE(EvaluateCurveAtT(3, false, &curve, nullptr, nullptr, 0, kStep * f, p, zero));
        const Vec3 expected = Path(v, f);
        const float error = std::hypot(p[0] - expected[0], p[1] - expected[1], p[2] - expected[2]);
        EXPECT_LE(error, 0.01f * 1.001f) << "vertex " << v << " frame " << f;
      }
      // The quad's normals never change: one constant per vertex.
      curve2 n = CurveOf(normal, i);
      EXPECT_TRUE(CurveIsConstantNotIdentity(&n)) << v;
      float value[3];
      ASSERT_TRUE(EvaluateCurveAtT(3, false, &n, nullptr, nullptr, 0, kStep * 3, value, nullptr));
      EXPECT_EQ((Vec3{value[0], value[1], value[2]}), (Vec3{0, 0, 1}));
    }
  }
}

TEST(MeshConversionMorphCurves, ChannelSetsAreNamedInOrderAndAMissIsReportedOncePerSet) {
  Scene scene;
  MeshNode* node = CurveMesh(scene, 6);
  // Two dummy colour channels (the host has none) give two colour sets.
  Set(node->Settings, kAllowColors, 1);
  Set(node->Settings, kColorsPerVertex, 2);
  Set(node->Settings, kInsertDummyColors, 1);
  // A host that loses both moving vertices for a frame (not a number): no
  // curve can meet the tolerance there, and the set says so once.
  scene.tool.frames = [](int32_t frame, int32_t) {
    FakeMesh m = Frame(frame);
    if (frame == 3) m.positions[2][2] = m.positions[3][2] = std::nanf("");
    return m;
  };
  LogCapture log;
  ASSERT_TRUE(scene.Convert());
  mesh* m = scene.Result(node);
  ASSERT_EQ(Value(m->PrimaryVertexData->VertexAnnotationSetCount), 4);
  const char* names[4] = {"VertexMorphCurvePosition", "VertexMorphCurveNormal",
                          "VertexMorphCurveDiffuseColor", "VertexMorphCurveSpecularColor"};
  for (int32_t s = 0; s < 4; ++s) {
    vertex_annotation_set set = SetOf(m, s);
    EXPECT_STREQ(Value(set.Name), names[s]);
    ASSERT_EQ(Value(set.VertexAnnotations.Count), 4);
    if (s < 2) continue;
    // Dummy colours are white in every frame.
    curve2 curve = CurveOf(set, 0);
    EXPECT_TRUE(CurveIsConstantNotIdentity(&curve));
    EXPECT_EQ(GetCurveStoredDimension(&curve), 4);
  }
  const std::string miss =
      "Warning: Some animated vert parameters didn't achieve the\r\nspecified tolerance.  "
      "(Mesh: mesh)";
  size_t reported = 0;
  for (const test::LoggedMessage& message : log.messages()) {
    reported += message.text.find(miss) != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(reported, 1u);
}

TEST(MeshConversionMorphCurves, FramesOfAnotherTopologyAndTooFewFramesStillGiveWholeSets) {
  Scene scene;
  MeshNode* node = CurveMesh(scene, 1);  // clamped to 2 frames
  scene.tool.frames = [](int32_t frame, int32_t) {
    FakeMesh m = Frame(frame + 3);
    if (frame == 1) m.faces.resize(1);  // refused: the base mesh stands in
    return m;
  };
  LogCapture log;
  ASSERT_TRUE(scene.Convert());
  EXPECT_TRUE(log.Contains("Morph target count of 1 is clamped to 2."));
  EXPECT_TRUE(log.Contains("ERROR: Different frames of a morph-target animation"));
  EXPECT_TRUE(log.Contains("Frame 1 of mesh"));
  EXPECT_EQ(scene.tool.outOfRange, 0);
  mesh* m = scene.Result(node);
  Vertices base(m->PrimaryVertexData);
  const vertex_annotation_set position = SetOf(m, 0);
  ASSERT_EQ(Value(position.VertexAnnotations.Count), base.Count());
  for (int32_t i = 0; i < base.Count(); ++i) {
    const int32_t v = Source(base, i);
    curve2 curve = CurveOf(position, i);
    float p[3];
    // Frame 0 is the host's frame 3; frame 1 repeats the base mesh.
    ASSERT_TRUE(EvaluateCurveAtT(3, false, &curve, nullptr, nullptr, 0, 0, p, nullptr));
    EXPECT_NEAR(p[2], Path(v, 3)[2], 0.01f) << v;
    ASSERT_TRUE(EvaluateCurveAtT(3, false, &curve, nullptr, nullptr, 0, kStep, p, nullptr));
    EXPECT_NEAR(p[2], Path(v, 0)[2], 0.01f) << v;
  }
}

TEST(MeshConversionMorphCurves, EveryAllocationFailureEndsCleanly) {
  bool completed = false;
  int failures = 0;
  for (long n = 0; n < 3000 && !completed; ++n) {
    Scene scene;
    MeshNode* node = CurveMesh(scene, 5);
    Set(node->Settings, kAllowColors, 1);
    Set(node->Settings, kColorsPerVertex, 1);
    Set(node->Settings, kInsertDummyColors, 1);
    scene.Begin();
    LogCapture log;
    SetAllocationFailureCountdown(n);
    const bool ok = ConvertMeshes(&scene.parser);
    SetAllocationFailureCountdown(-1);
    completed = !log.Contains("Unable to allocate");
    if (!completed) ++failures;
    if (completed) {
      ASSERT_TRUE(ok);
    }
    mesh* m = scene.Result(node);
    if (!ok || !m) continue;
    // Success means every set is whole: a curve with data for every vertex.
    ASSERT_NE(Value(m->PrimaryVertexData), nullptr) << n;
    ASSERT_EQ(Value(m->PrimaryVertexData->VertexAnnotationSetCount), 3) << n;
    for (int32_t s = 0; s < 3; ++s) {
      vertex_annotation_set set = SetOf(m, s);
      ASSERT_EQ(Value(set.VertexAnnotations.Count), 4) << n;
      for (int32_t v = 0; v < 4; ++v) {
        curve2 curve = CurveOf(set, v);
        EXPECT_NE(Value(curve.CurveData.Object), nullptr) << n << " " << s << " " << v;
      }
    }
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(failures, 10);
}

}  // namespace
}  // namespace ketrel
