// Exported meshes decode back to the scene's own geometry: every vertex of
// the file is a scene vertex in world space at the export time, every scene
// vertex reaches the file, morph targets land on their target meshes, and
// vertex morph curves follow the host's evaluated meshes frame by frame.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "export/host/host_mesh_access.h"
#include "export/host/host_scene.h"
#include "export/host/host_scene_document.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_data_types.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_standard_types.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

using test::kFigure;
using test::Value;

using Point = std::array<float, 3>;

float Distance(const Point& a, const Point& b) {
  return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

// The first three floats of every vertex (the position leads both the
// vertex and the morph vertex types).
std::vector<Point> Positions(const vertex_data* data) {
  std::vector<Point> out;
  if (!data) return out;
  variant_array array = Value(data->Vertices);
  int32_t stride = GetTotalObjectSize(array.Type);
  const auto* bytes = static_cast<const unsigned char*>(array.Items);
  for (int32_t i = 0; i < array.Count; ++i) {
    Point p;
    std::memcpy(p.data(), bytes + size_t(i) * size_t(stride), sizeof p);
    out.push_back(p);
  }
  return out;
}

// A mesh's vertices in world space: object offset, then the node transform.
std::vector<Point> WorldVertices(const host::Scene& scene, const host::Node* node,
                                 const host::TriMesh& mesh) {
  HostMatrix m = Multiply(node->ObjectOffset, scene.NodeTransform(node, scene.AnimationStart));
  std::vector<Point> out;
  for (int32_t i = 0; i < mesh.VertexCount(); ++i) {
    const float* p = &mesh.Vertices[size_t(i) * 3];
    Point w;
    for (int c = 0; c < 3; ++c)
      w[c] = p[0] * m.m[0][c] + p[1] * m.m[1][c] + p[2] * m.m[2][c] + m.m[3][c];
    out.push_back(w);
  }
  return out;
}

bool Near(const Point& a, const Point& b) {
  for (int c = 0; c < 3; ++c)
    if (std::fabs(a[c] - b[c]) > 1e-5f) return false;
  return true;
}

// The index of the scene vertex at `p`, or -1.
int32_t Find(const std::vector<Point>& points, const Point& p) {
  for (size_t i = 0; i < points.size(); ++i)
    if (Near(points[i], p)) return int32_t(i);
  return -1;
}

// The node's evaluated vertices at `tick`, as the exporter reads them.
std::vector<Point> HostVertices(const host::Scene& scene, const host::Node& node, int32_t tick) {
  std::unique_ptr<host::HostMeshAccess> access =
      host::HostMeshAccess::Open(scene, node, tick, false);
  std::vector<Point> out;
  for (int32_t v = 0; access && v < access->VertexCount(); ++v) {
    Point p;
    access->GetPosition(v, p.data());
    out.push_back(p);
  }
  return out;
}

class MeshExportTest : public test::CommandTest {};

TEST_F(MeshExportTest, DecodedVerticesAreTheScenesAndMorphTargetsReachTheirTargets) {
  ASSERT_EQ(Run("export --silent --set \"Morph Targets=Look for morph modifier meshes\" " +
                kFigure + " " + Path("figure.kt2")),
            0);
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadSceneDocument(kFigure, scene, &error)) << error;
  test::LoadedFile info = test::Load(Path("figure.kt2"));
  ASSERT_NE(info, nullptr);

  int32_t meshCount = Value(info->MeshCount);
  mesh** meshes = Value(info->Meshes);
  int32_t checkedTargets = 0;
  ASSERT_EQ(meshCount, 2);
  for (int32_t m = 0; m < meshCount; ++m) {
    const mesh* exported = meshes[m];
    const char* name = Value(exported->Name);
    SCOPED_TRACE(name);
    const host::Node* node = scene.FindNode(name);
    ASSERT_NE(node, nullptr);
    std::vector<Point> expected = WorldVertices(scene, node, node->Mesh);
    std::vector<Point> decoded = Positions(Value(exported->PrimaryVertexData));
    ASSERT_GE(decoded.size(), expected.size());

    std::vector<bool> reached(expected.size(), false);
    std::vector<int32_t> source(decoded.size(), -1);
    for (size_t i = 0; i < decoded.size(); ++i) {
      source[i] = Find(expected, decoded[i]);
      ASSERT_GE(source[i], 0) << "vertex " << i << " is no scene vertex";
      reached[size_t(source[i])] = true;
    }
    for (size_t j = 0; j < reached.size(); ++j) EXPECT_TRUE(reached[j]) << "scene vertex " << j;

    // Morph targets follow the morph channels, in order, vertex for vertex.
    int32_t targets = Value(exported->MorphTargetCount);
    morph_target* list = Value(exported->MorphTargets);
    ASSERT_EQ(size_t(targets), node->MorphChannels.size());
    for (int32_t t = 0; t < targets; ++t) {
      const host::MorphChannel& channel = node->MorphChannels[size_t(t)];
      EXPECT_STREQ(Value(list[t].ScalarName), channel.Name.c_str());
      std::vector<Point> target = WorldVertices(scene, node, channel.Target);
      std::vector<Point> values = Positions(Value(list[t].VertexData));
      ASSERT_EQ(values.size(), decoded.size());
      bool deltas = Value(list[t].DataIsDeltas) != 0;
      for (size_t i = 0; i < values.size(); ++i) {
        Point p = values[i];
        if (deltas)
          for (int c = 0; c < 3; ++c) p[c] += decoded[i][c];
        EXPECT_TRUE(Near(p, target[size_t(source[i])])) << channel.Name << " vertex " << i;
      }
      ++checkedTargets;
    }
  }
  EXPECT_EQ(checkedTargets, 2);
  // The skinned body binds only the bones that weight it (the arms weight
  // nothing and are dropped); the face has its two targets.
  std::string out;
  ASSERT_EQ(Run("info " + Path("figure.kt2"), &out), 0);
  EXPECT_NE(out.find("    Figure: 9 bones\n"), std::string::npos) << out;
  EXPECT_NE(out.find(", 3 bone bindings, 0 morph targets\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    Face: 12 vertices, 12 triangles (32-bit indices), 1 bone bindings, "
                     "2 morph targets\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Result             valid"), std::string::npos) << out;
}

TEST_F(MeshExportTest, PositionCurvesDecodeToTheHostsFramesWithinTolerance) {
  const std::string out = Path("figure.kt2");
  std::string printed, errors;
  ASSERT_EQ(Run("export --silent --set \"Morph Targets=Extract mesh frame by frame\" --set "
                "\"Create vertex morph curves=1\" " +
                    kFigure + " " + out,
                &printed, &errors),
            0)
      << errors;
  EXPECT_EQ(errors.find("didn't achieve"), std::string::npos) << errors;
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadSceneDocument(kFigure, scene, &error)) << error;
  test::LoadedFile info = test::Load(out);
  ASSERT_NE(info, nullptr);
  const int32_t meshCount = Value(info->MeshCount);
  ASSERT_EQ(meshCount, 2);
  EXPECT_EQ(Value(info->VertexDataCount), meshCount);  // no morph target data

  // The range's frames and their end: 30 frames of 160 ticks, 31 samples.
  const int32_t start = scene.AnimationStart, range = scene.AnimationEnd - scene.AnimationStart;
  const int32_t frames = range / scene.TicksPerFrame() + 1;
  const float step = float(range) / float(host::kTicksPerSecond) / float(frames - 1);
  mesh** meshes = Value(info->Meshes);
  int32_t moving = 0;
  for (int32_t m = 0; m < meshCount; ++m) {
    const mesh* exported = meshes[m];
    SCOPED_TRACE(Value(exported->Name));
    const host::Node* node = scene.FindNode(Value(exported->Name));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(Value(exported->MorphTargetCount), 0);
    const vertex_data* data = Value(exported->PrimaryVertexData);
    ASSERT_GE(Value(data->VertexAnnotationSetCount), 2);
    const vertex_annotation_set* sets = Value(data->VertexAnnotationSets);
    EXPECT_STREQ(Value(sets[0].Name), "VertexMorphCurvePosition");
    EXPECT_STREQ(Value(sets[1].Name), "VertexMorphCurveNormal");
    const variant_array curves = Value(sets[0].VertexAnnotations);
    const variant_array vertices = Value(data->Vertices);
    ASSERT_EQ(curves.Count, vertices.Count);
    ASSERT_TRUE(DataTypesAreEqualWithNames(curves.Type, Curve2Type));

    // Each built vertex follows the host vertex it sat on at the start.
    const std::vector<Point> first = HostVertices(scene, *node, start), built = Positions(data);
    std::vector<int32_t> source(built.size(), -1);
    for (size_t i = 0; i < built.size(); ++i) {
      source[i] = Find(first, built[i]);
      ASSERT_GE(source[i], 0) << i;
    }
    for (int32_t f = 0; f < frames; ++f) {
      const std::vector<Point> host = HostVertices(scene, *node, start + range * f / (frames - 1));
      for (int32_t i = 0; i < curves.Count; ++i) {
        curve2 curve;
        std::memcpy(&curve, static_cast<const curve2*>(curves.Items) + i, sizeof curve);
        Point p;
        const float zero[3] = {0, 0, 0};
        ASSERT_TRUE(EvaluateCurveAtT(3, false, &curve, nullptr, nullptr, 0, step * float(f),
                                     p.data(), zero));
        const Point& expected = host[size_t(source[size_t(i)])];
        EXPECT_LE(Distance(p, expected), 0.01f * 1.001f) << "vertex " << i << " frame " << f;
        if (f == frames - 1 && !CurveIsConstantOrIdentity(&curve)) ++moving;
      }
    }
  }
  EXPECT_GT(moving, 12);  // the face morphs and the body's skin moves

  ASSERT_EQ(Run("info " + out, &printed), 0);
  EXPECT_NE(printed.find("      morph curves: Position, Normal, TextureCoordinates0 (12 vertices, "
                         "1.000 s)\n"),
            std::string::npos)
      << printed;
  ASSERT_EQ(Run("dump " + out, &printed), 0);
  EXPECT_NE(printed.find("\"VertexMorphCurvePosition\""), std::string::npos);
}

}  // namespace
}  // namespace ketrel
