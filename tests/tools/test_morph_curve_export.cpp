// Vertex morph curves end to end: the figure exported frame by frame with
// "Create vertex morph curves" decodes, vertex by vertex and frame by frame,
// to the host's evaluated meshes within the position tolerance.
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
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_standard_types.h"
#include "rt/posix/posix_ketrel_file_reader.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

using test::Get;
using test::kFigure;

using Point = std::array<float, 3>;

float Distance(const Point& a, const Point& b) {
  return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
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

class MorphCurveExportTest : public test::CommandTest {};

TEST_F(MorphCurveExportTest, PositionCurvesDecodeToTheHostsFramesWithinTolerance) {
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
  ketrel_file* file = ReadEntireFile(out.c_str());
  ASSERT_NE(file, nullptr);
  const auto* info = static_cast<const file_info*>(file->RootObject);
  const int32_t meshCount = Get(info->MeshCount);
  ASSERT_EQ(meshCount, 2);
  EXPECT_EQ(Get(info->VertexDataCount), meshCount);  // no morph target data

  // The range's frames and their end: 30 frames of 160 ticks, 31 samples.
  const int32_t start = scene.AnimationStart, range = scene.AnimationEnd - scene.AnimationStart;
  const int32_t frames = range / scene.TicksPerFrame() + 1;
  const float step = float(range) / float(host::kTicksPerSecond) / float(frames - 1);
  mesh** meshes = Get(info->Meshes);
  int32_t moving = 0;
  for (int32_t m = 0; m < meshCount; ++m) {
    const mesh* exported = meshes[m];
    SCOPED_TRACE(Get(exported->Name));
    const host::Node* node = scene.FindNode(Get(exported->Name));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(Get(exported->MorphTargetCount), 0);
    const vertex_data* data = Get(exported->PrimaryVertexData);
    ASSERT_GE(Get(data->VertexAnnotationSetCount), 2);
    const vertex_annotation_set* sets = Get(data->VertexAnnotationSets);
    EXPECT_STREQ(Get(sets[0].Name), "VertexMorphCurvePosition");
    EXPECT_STREQ(Get(sets[1].Name), "VertexMorphCurveNormal");
    const variant_array curves = Get(sets[0].VertexAnnotations);
    const variant_array vertices = Get(data->Vertices);
    ASSERT_EQ(curves.Count, vertices.Count);
    ASSERT_TRUE(DataTypesAreEqualWithNames(curves.Type, Curve2Type));

    // Each built vertex follows the host vertex it sat on at the start.
    const std::vector<Point> first = HostVertices(scene, *node, start);
    const int32_t stride = GetTotalObjectSize(vertices.Type);
    std::vector<int32_t> source(size_t(vertices.Count), -1);
    for (int32_t i = 0; i < vertices.Count; ++i) {
      Point p;
      std::memcpy(p.data(), static_cast<const uint8_t*>(vertices.Items) + size_t(i) * stride,
                  sizeof p);
      for (size_t j = 0; j < first.size() && source[size_t(i)] < 0; ++j) {
        if (Distance(p, first[j]) < 1e-5f) source[size_t(i)] = int32_t(j);
      }
      ASSERT_GE(source[size_t(i)], 0) << i;
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
  FreeFile(file);

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
