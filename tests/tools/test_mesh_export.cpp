// Exported meshes decode back to the scene's own geometry: every vertex of
// the file is a scene vertex in world space at the export time, every scene
// vertex reaches the file, and morph targets land on their target meshes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "export/host/host_scene.h"
#include "export/host/host_scene_document.h"
#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_standard_types.h"
#include "rt/posix/posix_ketrel_file_reader.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

using test::Get;
using test::kFigure;

struct Point {
  float v[3];
};

// The first three floats of every vertex (the position leads both the
// vertex and the morph vertex types).
std::vector<Point> Positions(const vertex_data* data) {
  std::vector<Point> out;
  if (!data) return out;
  variant_array array = Get(data->Vertices);
  int32_t stride = GetTotalObjectSize(array.Type);
  const auto* bytes = static_cast<const unsigned char*>(array.Items);
  for (int32_t i = 0; i < array.Count; ++i) {
    Point p;
    std::memcpy(p.v, bytes + size_t(i) * size_t(stride), sizeof p.v);
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
      w.v[c] = p[0] * m.m[0][c] + p[1] * m.m[1][c] + p[2] * m.m[2][c] + m.m[3][c];
    out.push_back(w);
  }
  return out;
}

bool Near(const Point& a, const Point& b) {
  for (int c = 0; c < 3; ++c)
    if (std::fabs(a.v[c] - b.v[c]) > 1e-5f) return false;
  return true;
}

// The index of the scene vertex at `p`, or -1.
int32_t Find(const std::vector<Point>& points, const Point& p) {
  for (size_t i = 0; i < points.size(); ++i)
    if (Near(points[i], p)) return int32_t(i);
  return -1;
}

class MeshExportTest : public test::CommandTest {};

TEST_F(MeshExportTest, DecodedVerticesAreTheScenesAndMorphTargetsReachTheirTargets) {
  ASSERT_EQ(Run("export --silent --set \"Morph Targets=Look for morph modifier meshes\" " +
                kFigure + " " + Path("figure.kt2")),
            0);
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadSceneDocument(kFigure, scene, &error)) << error;
  ketrel_file* file = ReadEntireFile(Path("figure.kt2").c_str());
  ASSERT_NE(file, nullptr);
  const auto* info = static_cast<const file_info*>(file->RootObject);

  int32_t meshCount = Get(info->MeshCount);
  mesh** meshes = Get(info->Meshes);
  int32_t checkedTargets = 0;
  ASSERT_EQ(meshCount, 2);
  for (int32_t m = 0; m < meshCount; ++m) {
    const mesh* exported = meshes[m];
    const char* name = Get(exported->Name);
    SCOPED_TRACE(name);
    const host::Node* node = scene.FindNode(name);
    ASSERT_NE(node, nullptr);
    std::vector<Point> expected = WorldVertices(scene, node, node->Mesh);
    std::vector<Point> decoded = Positions(Get(exported->PrimaryVertexData));
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
    int32_t targets = Get(exported->MorphTargetCount);
    morph_target* list = Get(exported->MorphTargets);
    ASSERT_EQ(size_t(targets), node->MorphChannels.size());
    for (int32_t t = 0; t < targets; ++t) {
      const host::MorphChannel& channel = node->MorphChannels[size_t(t)];
      EXPECT_STREQ(Get(list[t].ScalarName), channel.Name.c_str());
      std::vector<Point> target = WorldVertices(scene, node, channel.Target);
      std::vector<Point> values = Positions(Get(list[t].VertexData));
      ASSERT_EQ(values.size(), decoded.size());
      bool deltas = Get(list[t].DataIsDeltas) != 0;
      for (size_t i = 0; i < values.size(); ++i) {
        Point p = values[i];
        if (deltas)
          for (int c = 0; c < 3; ++c) p.v[c] += decoded[i].v[c];
        EXPECT_TRUE(Near(p, target[size_t(source[i])])) << channel.Name << " vertex " << i;
      }
      ++checkedTargets;
    }
  }
  EXPECT_EQ(checkedTargets, 2);
  FreeFile(file);
}

}  // namespace
}  // namespace ketrel
