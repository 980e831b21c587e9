// Skeletons through the whole export road: the bones written to the file must
// rebuild the scene's own world matrices, and `ketrel dump --path Skeletons`
// must show them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "export/host/host_scene.h"
#include "export/host/host_scene_document.h"
#include "rt/ketrel_standard_types.h"
#include "rt/ketrel_transform.h"
#include "tests/tools/command_test.h"
#include "tools/ketrel/cmd_export.h"

namespace ketrel {
namespace {

using test::kFigure;

// Two bones named "Hand" under different parents, turned and moved so that
// every part of the transforms matters.
const char kTwoHands[] = R"({
  "format": "kscene", "version": 1,
  "scene": { "frameRate": 30, "animationStart": 0, "animationEnd": 0, "systemUnit": 1.0 },
  "nodes": [
    { "name": "Root", "parent": -1, "object": { "type": "bone" }, "position": [1, 2, 3],
      "rotation": { "interpolation": "linear", "keys": [ { "tick": 0, "axisAngle": [0, 0, 1, 90] } ] } },
    { "name": "Left", "parent": 0, "object": { "type": "bone" }, "position": [0.5, 0, 0],
      "rotation": { "interpolation": "linear", "keys": [ { "tick": 0, "axisAngle": [1, 0, 0, 30] } ] } },
    { "name": "Hand", "parent": 1, "object": { "type": "bone" }, "position": [0, 0.25, 0] },
    { "name": "Right", "parent": 0, "object": { "type": "bone" }, "position": [-0.5, 0, 0],
      "scale": [2, 2, 2] },
    { "name": "Hand", "parent": 3, "object": { "type": "bone" }, "position": [0, -0.25, 0.1] }
  ]
})";

using Matrix = float[4][4];

void Multiply(const Matrix a, const Matrix b, Matrix out) {  // a first, then b
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      out[i][j] = 0;
      for (int k = 0; k < 4; ++k) out[i][j] += a[i][k] * b[k][j];
    }
}

void FromHost(const HostMatrix& h, Matrix out) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) out[i][j] = h.m[i][j];
    out[i][3] = i == 3 ? 1.0f : 0.0f;
  }
}

class SkeletonExport : public test::CommandTest {
 protected:
  // Exports `scenePath` and checks every written bone against the host scene
  // at the start of the range: placement * parents' transforms * the bone's
  // transform is the node's world matrix, and the inverse world matrix
  // undoes it. Returns the bone names written.
  std::map<std::string, int32_t> ExportAndCompare(const std::string& scenePath,
                                                  const std::string& moveToOrigin) {
    host::Scene scene;
    std::string error;
    EXPECT_TRUE(host::LoadSceneDocument(scenePath, scene, &error)) << error;
    cli::ExportOptions options;
    options.Scene = scenePath;
    options.Output = Path("out.kt2");
    options.Silent = true;
    options.Set = {"Move to Origin=" + moveToOrigin};
    EXPECT_EQ(cli::RunExport(options), 0);
    test::LoadedFile info = test::Load(options.Output);
    EXPECT_NE(info, nullptr);
    std::map<std::string, int32_t> parents;
    if (!info) return parents;
    model** models = info->Models;
    for (int32_t m = 0; m < info->ModelCount; ++m) {
      skeleton* s = models[m]->Skeleton;
      if (!s) continue;
      transform placementParts = models[m]->InitialPlacement;
      Matrix placement;
      BuildCompositeMatrix(placementParts, placement);
      bone* bones = s->Bones;
      std::vector<std::array<std::array<float, 4>, 4>> worlds(static_cast<size_t>(s->BoneCount));
      for (int32_t b = 0; b < s->BoneCount; ++b) {
        const char* name = bones[b].Name;
        int32_t parent = bones[b].ParentIndex;
        EXPECT_LT(parent, b) << name;
        parents[name] = parent;
        transform local = bones[b].Transform;
        Matrix localMatrix, world;
        BuildCompositeMatrix(local, localMatrix);
        Matrix parentWorld;
        if (parent < 0) {
          std::memcpy(parentWorld, placement, sizeof(Matrix));
        } else {
          for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) parentWorld[i][j] = worlds[parent][i][j];
        }
        Multiply(localMatrix, parentWorld, world);
        for (int i = 0; i < 4; ++i)
          for (int j = 0; j < 4; ++j) worlds[b][i][j] = world[i][j];

        const host::Node* node = test::FindBoneNode(scene, name);
        EXPECT_NE(node, nullptr) << name;
        if (!node) continue;
        Matrix expected, inverse, product;
        FromHost(scene.NodeTransform(node, scene.AnimationStart), expected);
        for (int i = 0; i < 4; ++i)
          for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(world[i][j], expected[i][j], 1e-4f) << name << " " << i << "," << j;
        std::memcpy(inverse, bones[b].InverseWorldTransform, sizeof(Matrix));
        Multiply(expected, inverse, product);
        for (int i = 0; i < 4; ++i)
          for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(product[i][j], i == j ? 1.0f : 0.0f, 1e-4f) << name;
      }
    }
    return parents;
  }
};

TEST_F(SkeletonExport, ExampleBonesRebuildTheSceneWithAndWithoutMoveToOrigin) {
  for (const char* move : {"true", "false"}) {
    std::map<std::string, int32_t> bones = ExportAndCompare(kFigure, move);
    // Both arms are called "Arm" in the scene; their parents tell them apart.
    EXPECT_EQ(bones.count("ClavicleL|Arm"), 1u) << move;
    EXPECT_EQ(bones.count("ClavicleR|Arm"), 1u) << move;
    EXPECT_EQ(bones.count("Head"), 1u) << move;
  }
}

TEST_F(SkeletonExport, SameNamedBonesAndTheDumpOfSkeletons) {
  std::string scenePath = Path("hands.kscene");
  std::ofstream(scenePath) << kTwoHands;
  std::map<std::string, int32_t> bones = ExportAndCompare(scenePath, "true");
  ASSERT_EQ(bones.size(), 5u);
  EXPECT_EQ(bones["Root"], -1);
  EXPECT_EQ(bones.count("Left|Hand"), 1u);
  EXPECT_EQ(bones.count("Right|Hand"), 1u);
  EXPECT_GE(bones["Left|Hand"], 0);

  std::string dump;
  ASSERT_EQ(Run("dump " + Path("out.kt2") + " --path Skeletons", &dump), 0);
  for (const char* text :
       {"Left|Hand", "Right|Hand", "ParentIndex", "InverseWorldTransform", "LODError"})
    EXPECT_NE(dump.find(text), std::string::npos) << text << "\n" << dump;
}

}  // namespace
}  // namespace ketrel
