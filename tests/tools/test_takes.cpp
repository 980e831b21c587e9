// Takes through the whole export road: every clip of a file becomes one
// animation of its own, the skeleton and meshes come from the file's rest
// pose whatever the takes, and per-clip settings reach their clip.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/host/host_assimp_import.h"
#include "export/host/host_fidelity.h"
#include "export/host/host_scene_loader.h"
#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_standard_types.h"
#include "rt/ketrel_transform.h"
#include "rt/posix/posix_ketrel_file_reader.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

const std::string kModels = "/usr/share/assimp/models/";

class Takes : public test::CommandTest {
 protected:
  // The skinned bar with four clips (scripts/make_test_clips.py); `early`:
  // the Twist keys start before the clip does.
  std::string Clips(bool early = false) {
    const std::string path = Path(early ? "early.gltf" : "clips.gltf");
    if (!std::filesystem::exists(path)) {
      const std::string command = "python3 " + std::string(KETREL_SOURCE_DIR) +
                                  "/scripts/make_test_clips.py " + path + (early ? " --early" : "");
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    return path;
  }
  std::string Export(const std::string& scene, const std::string& name,
                     const std::string& options = "") {
    const std::string out = Path(name);
    std::string err;
    EXPECT_EQ(Run("export --silent " + scene + " " + out + " " + options, nullptr, &err), 0) << err;
    return out;
  }
};

std::vector<std::string> AnimationNames(const file_info* info) {
  std::vector<std::string> names;
  for (int32_t a = 0; info && a < info->AnimationCount; ++a)
    names.push_back(info->Animations[a]->Name ? info->Animations[a]->Name : "");
  return names;
}

// Every clip is exported, named after it, with its own duration and time
// step; --take narrows the list (by name or index, in the file's order);
// --list-takes tells each clip's length and says so of a file without any.
TEST_F(Takes, EveryClipOfAFileIsAnAnimation) {
  const std::string clips = Clips();
  {
    test::LoadedFile all = test::Load(Export(clips, "all.kt2"));
    ASSERT_NE(all.get(), nullptr);
    EXPECT_EQ(AnimationNames(all.get()),
              (std::vector<std::string>{"Bend", "Lift", "Twist", "Bend_2"}));
    const float seconds[] = {1.0f, 0.5f, 2.0f, 1.5f};
    for (int32_t a = 0; a < all.get()->AnimationCount; ++a) {
      const animation* clip = all.get()->Animations[a];
      EXPECT_NEAR(clip->Duration, seconds[a], 1e-5) << clip->Name;
      EXPECT_NEAR(clip->TimeStep, 1.0f / 60, 1e-6) << clip->Name;  // 30 fps, oversampled twice
      EXPECT_EQ(clip->TrackGroupCount, 1) << clip->Name;
    }
    // An unnamed glTF node is named after its mesh.
    ASSERT_EQ(all.get()->MeshCount, 1);
    EXPECT_STREQ(all.get()->Meshes[0]->Name, "BarMesh");
  }
  {
    test::LoadedFile some = test::Load(Export(clips, "some.kt2", "--take Twist --take 0"));
    EXPECT_EQ(AnimationNames(some.get()), (std::vector<std::string>{"Bend", "Twist"}));
  }
  std::string out, err;
  EXPECT_EQ(Run("export --list-takes " + clips, &out, &err), 0) << err;
  EXPECT_NE(out.find("1 \"Lift\" 0.500 s, 15 frames at 30 fps"), std::string::npos) << out;
  EXPECT_NE(out.find("3 \"Bend_2\" 1.500 s, 45 frames at 30 fps"), std::string::npos) << out;
  EXPECT_NE(err.find("Two takes are named Bend; the later one is called Bend_2"), std::string::npos)
      << err;
  EXPECT_EQ(Run("export --silent --take Dance " + clips + " " + Path("none.kt2"), nullptr, &err),
            1);
  EXPECT_NE(err.find("3 \"Bend_2\""), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(Path("none.kt2")));
  const std::string still = kModels + "glTF2/BoxTextured-glTF/BoxTextured.gltf";
  if (std::filesystem::exists(still)) {
    EXPECT_EQ(Run("export --list-takes " + still, &out, &err), 0) << err;
    EXPECT_NE(out.find("has no takes"), std::string::npos) << out;
  }
  const std::string wuson = kModels + "X/Testwuson.X";
  if (std::filesystem::exists(wuson)) {
    test::LoadedFile file = test::Load(Export(wuson, "wuson.kt2"));
    EXPECT_EQ(AnimationNames(file.get()),
              (std::vector<std::string>{"Wuson_Run", "Wuson_Walk", "Wuson_Bind"}));
  }
}

// Keys before a clip's start start its take there, with a warning: none is
// lost, and the clip plays the file's motion from its first key.
TEST_F(Takes, KeysBeforeTheClipStartItEarlier) {
  const std::string early = Clips(true);
  std::string err;
  ASSERT_EQ(Run("export --silent --take Twist " + early + " " + Path("early.kt2"), nullptr, &err),
            0)
      << err;
  EXPECT_NE(err.find("Take Twist has keys from -0.5 s, before the clip's start; it starts there"),
            std::string::npos)
      << err;
  test::LoadedFile file = test::Load(Path("early.kt2"));
  ASSERT_NE(file.get(), nullptr);
  ASSERT_EQ(file.get()->AnimationCount, 1);
  EXPECT_NEAR(file.get()->Animations[0]->Duration, 1.5f, 1e-5);
  host::Scene scene;
  std::string error;
  host::ImportOptions import;
  import.Takes = {"Twist"};
  ASSERT_TRUE(host::LoadHostScene(early, scene, error, import)) << error;
  host::FidelityOptions measure;
  measure.UnitsToCm = 100;
  host::FidelityResult result;
  ASSERT_TRUE(host::MeasureAnimationFidelity(scene, file.get(), measure, result, error)) << error;
  EXPECT_LT(result.MaxCm, 0.05);
}

// The skeleton, its inverse world transforms and the mesh come from the
// file's rest pose with skins in their bind pose: the same bytes whichever
// take is exported, and each bone's world transform is its bind matrix
// (the Tip node's own transform is turned away from it).
TEST_F(Takes, SkeletonAndMeshComeFromTheBindPose) {
  const std::string clips = Clips();
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadHostScene(clips, scene, error)) << error;
  const host::Node* bar = scene.FindNode("BarMesh");
  ASSERT_NE(bar, nullptr);
  ASSERT_EQ(bar->SkinBones.size(), 3u);
  ASSERT_EQ(bar->BindMatrices.size(), 3u);

  // Every bone's parent and transforms (the records also hold name pointers).
  std::vector<std::vector<uint8_t>> skeletons, vertices;
  for (const char* take : {"0", "1", "2", "3"}) {
    test::LoadedFile file = test::Load(
        Export(clips, std::string("take") + take + ".kt2", std::string("--take ") + take));
    ASSERT_NE(file.get(), nullptr);
    ASSERT_EQ(file.get()->SkeletonCount, 1);
    const skeleton* bones = file.get()->Skeletons[0];
    skeletons.emplace_back();
    for (int32_t i = 0; i < bones->BoneCount; ++i) {
      const bone& b = bones->Bones[i];
      const auto* at = reinterpret_cast<const uint8_t*>(&b.ParentIndex);
      const auto* end = reinterpret_cast<const uint8_t*>(&b.LODError);
      skeletons.back().insert(skeletons.back().end(), at, end);
    }
    const vertex_data* data = file.get()->VertexDatas[0];
    const auto* v = static_cast<const uint8_t*>(data->Vertices.Items);
    const size_t stride = size_t(GetTotalObjectSize(data->Vertices.Type));
    vertices.emplace_back(v, v + stride * size_t(data->Vertices.Count));
    // The bar stands straight, as bound: the Tip node's own turn would bend
    // its top ring 0.5 m off the axis.
    ASSERT_STREQ(data->Vertices.Type[0].Name, "Position");
    for (int32_t i = 0; i < data->Vertices.Count; ++i) {
      float p[3];
      std::memcpy(p, v + stride * size_t(i), sizeof p);
      EXPECT_LE(std::hypot(p[0], p[1]), 0.1415f) << "vertex " << i << " take " << take;
    }
    for (size_t b = 0; b < bar->SkinBones.size(); ++b) {
      const bone* record = nullptr;
      for (int32_t i = 0; i < bones->BoneCount; ++i)
        if (bar->SkinBones[b]->Name == bones->Bones[i].Name) record = &bones->Bones[i];
      ASSERT_NE(record, nullptr) << bar->SkinBones[b]->Name;
      float world[4][4];
      ASSERT_TRUE(InvertAffineMatrix(record->InverseWorldTransform, world));
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
          EXPECT_NEAR(world[r][c], bar->BindMatrices[b].m[r][c], 2e-5)  // 1e-5 of the 2 m bar
              << record->Name << " take " << take << " [" << r << "][" << c << "]";
    }
  }
  for (size_t t = 1; t < skeletons.size(); ++t) {
    EXPECT_EQ(skeletons[t], skeletons[0]) << "take " << t;
    EXPECT_EQ(vertices[t], vertices[0]) << "take " << t;
  }
}

// All clips' channels are fitted on one pool of workers: the file is the
// same whatever their number, for a file of clips, the walker and the figure.
TEST_F(Takes, WorkerCountDoesNotChangeTheFile) {
  const std::string walker = std::string(KETREL_TEST_DATA) + "/animation/walker.kscene";
  for (const std::string& scene : {Clips(), walker, test::kFigure}) {
    const std::string one = Slurp(Export(scene, "one.kt2", "--threads 1"));
    EXPECT_FALSE(one.empty()) << scene;
    for (const char* workers : {"2", "8"})
      EXPECT_TRUE(Slurp(Export(scene, "many.kt2", std::string("--threads ") + workers)) == one)
          << scene << " with " << workers << " workers";
  }
}

// Each clip has its own settings: --set reaches them all, --clip-set one;
// settings stored in a document stay with their take.
TEST_F(Takes, EachClipHasItsOwnSettings) {
  const std::string clips = Clips();
  auto steps = [](const std::string& path) {
    test::LoadedFile file = test::Load(path);
    std::vector<float> out;
    for (int32_t a = 0; file.get() && a < file.get()->AnimationCount; ++a)
      out.push_back(std::round(1.0f / file.get()->Animations[a]->TimeStep));
    return out;
  };
  EXPECT_EQ(steps(Export(clips, "set.kt2", "--set Oversampling=1 --clip-set Lift:Oversampling=3")),
            (std::vector<float>{30, 90, 30, 30}));
  std::string err;
  EXPECT_EQ(Run("import " + clips + " " + Path("clips.kscene"), nullptr, &err), 0) << err;
  Export(Path("clips.kscene"), "stored.kt2",
         "--clip-set Twist:Oversampling=4 --save-scene " + Path("stored.kscene"));
  EXPECT_EQ(steps(Export(Path("stored.kscene"), "again.kt2")),
            (std::vector<float>{60, 60, 120, 60}));
  // A document narrows by take too, and the stored settings keep to theirs.
  EXPECT_EQ(steps(Export(Path("stored.kscene"), "narrow.kt2", "--take Twist")),
            (std::vector<float>{120}));
  EXPECT_EQ(
      Run("export --silent " + clips + " " + Path("bad.kt2") + " --clip-set Jump:Oversampling=2",
          nullptr, &err),
      1);
  EXPECT_NE(err.find("No animation \"Jump\""), std::string::npos) << err;
  EXPECT_EQ(Run("export --silent " + clips + " " + Path("bad.kt2") + " --clip-set Oversampling=2",
                nullptr, &err),
            2);
  EXPECT_FALSE(std::filesystem::exists(Path("bad.kt2")));
}

// A scene document with three takes at three rates: names, durations,
// sample counts, and every clip's curves play the host's transforms.
const char kThreeTakes[] = R"({
  "format": "kscene", "version": 1,
  "scene": { "frameRate": 30, "animationStart": 0, "animationEnd": 4800, "systemUnit": 0.01,
             "takes": [ { "name": "Reach", "start": 0, "end": 4800 },
                        { "name": "Spin", "start": 9600, "end": 12000, "frameRate": 24 },
                        { "name": "Sway", "start": 14400, "end": 19200, "frameRate": 60 },
                        { "name": "Pose", "start": 24000, "end": 24000 },
                        { "name": "Reach", "start": 2400, "end": 4850 } ] },
  "nodes": [
    { "name": "Hips", "parent": -1, "object": { "type": "bone" },
      "position": { "interpolation": "smooth", "keys": [
        { "tick": 0, "value": [0, 0, 90] }, { "tick": 4800, "value": [50, 0, 95] },
        { "tick": 9600, "value": [0, 0, 90] }, { "tick": 19200, "value": [0, 30, 90] } ] } },
    { "name": "Arm", "parent": 0, "object": { "type": "bone" }, "position": [0, 20, 40],
      "rotation": { "interpolation": "smooth", "keys": [
        { "tick": 0, "axisAngle": [1, 0, 0, 0] }, { "tick": 4800, "axisAngle": [1, 0, 0, 90] },
        { "tick": 9600, "axisAngle": [0, 0, 1, 0] }, { "tick": 12000, "axisAngle": [0, 0, 1, 120] },
        { "tick": 14400, "axisAngle": [0, 1, 0, -30] },
        { "tick": 19200, "axisAngle": [0, 1, 0, 30] } ] } },
    { "name": "Hand", "parent": 1, "object": { "type": "bone" }, "position": [0, 30, 0] }
  ]
})";

// A take of no length is one frame long, a repeated name is told apart,
// and a take that ends between frames ends at the frame before; each is said.
TEST_F(Takes, ThreeTakesPlayTheirPartOfTheTimeline) {
  const std::string document = Path("three.kscene");
  std::ofstream(document) << kThreeTakes;
  std::string err;
  ASSERT_EQ(Run("export --silent " + document + " " + Path("three.kt2"), nullptr, &err), 0) << err;
  EXPECT_NE(err.find("Take Pose is 0 ticks long, less than a frame; it is exported as one frame"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Two takes are named Reach; the later one is called Reach_2"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Take Reach_2 ends 50 ticks after its last whole frame"), std::string::npos)
      << err;
  test::LoadedFile file = test::Load(Path("three.kt2"));
  ASSERT_NE(file.get(), nullptr);
  EXPECT_EQ(AnimationNames(file.get()),
            (std::vector<std::string>{"Reach", "Spin", "Sway", "Pose", "Reach_2"}));
  struct Expected {
    float seconds;
    int32_t rate;
  };
  const Expected expected[] = {{1.0f, 30}, {0.5f, 24}, {1.0f, 60}, {1.0f / 30, 30}, {0.5f, 30}};
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadHostScene(document, scene, error)) << error;
  for (int32_t a = 0; a < file.get()->AnimationCount; ++a) {
    const animation* clip = file.get()->Animations[a];
    EXPECT_NEAR(clip->Duration, expected[a].seconds, 1e-5) << clip->Name;
    // Oversampled twice by default.
    EXPECT_NEAR(clip->TimeStep, 0.5f / float(expected[a].rate), 1e-6) << clip->Name;
    host::FidelityOptions measure;
    measure.Animation = a;
    measure.UnitsToCm = 1;
    host::FidelityResult result;
    ASSERT_TRUE(host::MeasureAnimationFidelity(scene, file.get(), measure, result, error)) << error;
    EXPECT_EQ(result.Samples,
              int32_t(std::lround(expected[a].seconds * float(expected[a].rate))) * 2 + 1)
        << clip->Name;
    // The default tolerances keep points 3 cm from the joints within a
    // tenth of a millimetre or so; playing another take's part of the
    // timeline would be centimetres off.
    EXPECT_LT(result.MaxCm, 0.05) << clip->Name << " " << result.MaxCm;
  }
}

// "Move to Origin" rebases every root of a skeleton under one placement, in
// the skeleton and in the tracks alike: a mesh skinned to two hierarchies
// plays both where the host has them. (The roots tie; the one named and
// placed is the later in the model's list, not the first of the scene.)
const char kTwoRoots[] = R"({
  "format": "kscene", "version": 1,
  "scene": { "frameRate": 30, "animationStart": 0, "animationEnd": 3200, "systemUnit": 0.01 },
  "nodes": [
    { "name": "Right", "parent": -1, "object": { "type": "bone" }, "position": [-30, 0, 20],
      "rotation": { "interpolation": "linear", "keys": [
        { "tick": 0, "axisAngle": [1, 0, 0, 10] }, { "tick": 3200, "axisAngle": [1, 0, 0, 50] } ] } },
    { "name": "Left", "parent": -1, "object": { "type": "bone" },
      "position": { "interpolation": "linear", "keys": [
        { "tick": 0, "value": [40, 10, 0] }, { "tick": 3200, "value": [60, 10, 5] } ] },
      "rotation": [0, 0, 1, 60] },
    { "name": "Cloth", "parent": -1, "object": { "type": "mesh" },
      "mesh": { "vertices": [[40, 10, 0], [-30, 0, 20], [0, 5, 10]], "faces": [[0, 1, 2]] },
      "skin": { "bones": [1, 0], "weights": [[[0, 1]], [[1, 1]], [[0, 0.5], [1, 0.5]]] } }
  ]
})";

TEST_F(Takes, MoveToOriginPlaysEveryRootInPlace) {
  const std::string document = Path("roots.kscene");
  std::ofstream(document) << kTwoRoots;
  test::LoadedFile file = test::Load(Export(document, "roots.kt2"));
  ASSERT_NE(file.get(), nullptr);
  ASSERT_EQ(file.get()->SkeletonCount, 1);
  int32_t roots = 0;
  for (int32_t b = 0; b < file.get()->Skeletons[0]->BoneCount; ++b)
    roots += file.get()->Skeletons[0]->Bones[b].ParentIndex < 0;
  EXPECT_EQ(roots, 2);
  // One root decides the model's name, its placement and its root motion:
  // the root rebased to the origin carries the model's name, and its track
  // starts at the origin too.
  const skeleton* bones = file.get()->Skeletons[0];
  const char* placed = nullptr;
  for (int32_t b = 0; b < bones->BoneCount; ++b)
    if (bones->Bones[b].ParentIndex < 0 && bones->Bones[b].Transform.Flags == 0)
      placed = bones->Bones[b].Name;
  ASSERT_NE(placed, nullptr);
  EXPECT_STREQ(file.get()->Models[0]->Name, placed);
  EXPECT_STREQ(bones->Name, placed);
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadHostScene(document, scene, error)) << error;
  host::FidelityOptions measure;
  measure.UnitsToCm = 1;
  host::FidelityResult result;
  ASSERT_TRUE(host::MeasureAnimationFidelity(scene, file.get(), measure, result, error)) << error;
  EXPECT_EQ(result.Bones, 2);
  EXPECT_LT(result.MaxCm, 0.05);
}

// A bone scaled to nothing at the rest pose keeps its place in the
// skeleton, with its child, and the user is told which bone it is.
const char kVanishing[] = R"({
  "format": "kscene", "version": 1,
  "scene": { "frameRate": 30, "animationStart": 0, "animationEnd": 1600, "systemUnit": 0.01 },
  "nodes": [
    { "name": "Base", "parent": -1, "object": { "type": "bone" } },
    { "name": "Pop", "parent": 0, "object": { "type": "bone" }, "position": [0, 0, 10],
      "scale": { "interpolation": "linear", "keys": [
        { "tick": 0, "value": [0, 0, 0] }, { "tick": 1600, "value": [1, 1, 1] } ] } },
    { "name": "Tip", "parent": 1, "object": { "type": "bone" }, "position": [0, 0, 5] }
  ]
})";

TEST_F(Takes, SingularBonesStayInTheSkeleton) {
  const std::string document = Path("vanishing.kscene");
  std::ofstream(document) << kVanishing;
  std::string err;
  ASSERT_EQ(Run("export --silent " + document + " " + Path("vanishing.kt2"), nullptr, &err), 0)
      << err;
  test::LoadedFile file = test::Load(Path("vanishing.kt2"));
  ASSERT_NE(file.get(), nullptr);
  ASSERT_EQ(file.get()->SkeletonCount, 1);
  EXPECT_EQ(file.get()->Skeletons[0]->BoneCount, 3);
  EXPECT_NE(err.find("Bone Pop of skeleton Base has a singular or invalid transform at the rest "
                     "pose; it takes the one +0.033 s from it"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Bone Tip of skeleton Base"), std::string::npos) << err;
}

}  // namespace
}  // namespace ketrel
