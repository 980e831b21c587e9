// Real scene files in: Assimp-read files exported end to end, checked against
// what Assimp itself reads from them.
#include <gtest/gtest.h>

#include <assimp/config.h>
#include <assimp/scene.h>
#include <sys/wait.h>
#include <assimp/Importer.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "export/host/host_import_process.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_standard_types.h"
#include "rt/posix/posix_ketrel_file_reader.h"
#include "tests/tools/command_test.h"
#include "tools/ketrel/cmd_export.h"
#include "tools/ketrel/cmd_import.h"

namespace ketrel {
namespace {

namespace fs = std::filesystem;

const std::string kModels = "/usr/share/assimp/models/";

bool HaveModels() { return fs::exists(kModels + "BVH/01_01.bvh"); }

class ImportTest : public test::CommandTest {
 protected:
  void SetUp() override {
    if (!HaveModels()) GTEST_SKIP() << "assimp-testmodels is not installed";
    CommandTest::SetUp();
  }
};

// What Assimp itself says about a file's hierarchy: every node name (its root
// is a node when it carries meshes or animation, else it is the scene root)
// and how many nodes carry meshes.
struct Reference {
  std::multiset<std::string> nodes;
  std::set<std::string> meshes;  // an unnamed glTF node may take its mesh's name
  size_t meshNodes = 0;
  double seconds = 0;
};

void Collect(const aiNode* node, const aiScene* scene, Reference& reference) {
  reference.nodes.insert(node->mName.C_Str());
  for (unsigned i = 0; i < node->mNumMeshes; ++i)
    reference.meshes.insert(scene->mMeshes[node->mMeshes[i]]->mName.C_Str());
  reference.meshNodes += node->mNumMeshes > 0;
  for (unsigned i = 0; i < node->mNumChildren; ++i) Collect(node->mChildren[i], scene, reference);
}

Reference ReadReference(const std::string& file) {
  Assimp::Importer importer;
  importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  importer.SetPropertyBool(AI_CONFIG_IMPORT_NO_SKELETON_MESHES, true);
  const aiScene* scene = importer.ReadFile(file, 0);
  Reference reference;
  if (!scene) return reference;
  const aiNode* root = scene->mRootNode;
  bool animated = false;
  for (unsigned a = 0; a < scene->mNumAnimations; ++a) {
    for (unsigned c = 0; c < scene->mAnimations[a]->mNumChannels; ++c) {
      animated = animated || scene->mAnimations[a]->mChannels[c]->mNodeName == root->mName;
    }
  }
  if (root->mNumMeshes > 0 || animated) {
    Collect(root, scene, reference);
  } else {
    for (unsigned i = 0; i < root->mNumChildren; ++i) Collect(root->mChildren[i], scene, reference);
  }
  if (scene->mNumAnimations > 0) {
    const aiAnimation* clip = scene->mAnimations[0];
    double tps = clip->mTicksPerSecond > 0 ? clip->mTicksPerSecond : 25.0;
    reference.seconds = clip->mDuration / tps;
  }
  return reference;
}

TEST_F(ImportTest, RealFilesExportToValidFilesWithTheFilesHierarchy) {
  const char* files[] = {"glTF2/simple_skin/simple_skin.gltf",
                         "glTF2/glTF-Sample-Models/AnimatedMorphCube-glTF/AnimatedMorphCube.gltf",
                         "FBX/animation_with_skeleton.fbx",
                         "X/BCN_Epileptic.X",
                         "Collada/duck.dae",
                         "BVH/01_01.bvh",
                         "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb"};
  for (const char* name : files) {
    SCOPED_TRACE(name);
    std::string file = kModels + name;
    std::string out = Path("out.kt2");
    std::string err;
    ASSERT_EQ(Run("export --silent " + file + " " + out, nullptr, &err), 0) << err;
    ASSERT_EQ(Run("info " + out), 0);

    // The host scene holds exactly the file's nodes, under the same names.
    host::Scene scene;
    std::string error;
    ASSERT_TRUE(host::ImportSceneIsolated(file, host::ImportOptions(), scene, error)) << error;
    Reference reference = ReadReference(file);
    EXPECT_EQ(scene.Nodes.size(), reference.nodes.size());
    for (const auto& node : scene.Nodes) {
      EXPECT_TRUE(reference.nodes.count(node->Name) || reference.meshes.count(node->Name))
          << node->Name;
    }
    double seconds = double(scene.AnimationEnd - scene.AnimationStart) / host::kTicksPerSecond;
    EXPECT_NEAR(seconds, reference.seconds, 1.0 / host::kTicksPerSecond);

    // Every node is a bone of some skeleton in the file, except skinned
    // mesh nodes that hold nothing but their mesh; bones carry the nodes'
    // names (a clash is told apart by an ancestor path before a "|").
    ketrel_file* kt2 = ReadEntireFile(out.c_str());
    ASSERT_NE(kt2, nullptr);
    auto* info = static_cast<file_info*>(kt2->RootObject);
    int32_t skeletons = info->SkeletonCount;
    skeleton** list = info->Skeletons;
    size_t bones = 0;
    for (int32_t s = 0; s < skeletons; ++s) {
      int32_t count = list[s]->BoneCount;
      bone* array = list[s]->Bones;
      for (int32_t b = 0; b < count; ++b) {
        std::string boneName = array[b].Name;
        std::string own = boneName.substr(boneName.rfind('|') + 1);
        EXPECT_TRUE(reference.nodes.count(own) || reference.meshes.count(own)) << boneName;
      }
      bones += size_t(count);
    }
    EXPECT_LE(bones, reference.nodes.size());
    EXPECT_GE(bones, reference.nodes.size() - reference.meshNodes);

    // The clip's length arrives, in whole host frames, sampled at whole
    // time steps.
    int32_t animations = info->AnimationCount;
    if (reference.seconds > 0) {
      ASSERT_GE(animations, 1);
      animation* clip = info->Animations[0];
      double duration = clip->Duration, step = clip->TimeStep;
      double frame = double(scene.TicksPerFrame()) / host::kTicksPerSecond;
      EXPECT_LE(duration, reference.seconds + 1e-4);
      EXPECT_GT(duration, reference.seconds - frame - 1e-4);
      ASSERT_GT(step, 0);
      double samples = duration / step;
      EXPECT_NEAR(samples, std::round(samples), 1e-3);
      EXPECT_GT(int32_t(clip->TrackGroupCount), 0);
    }
    FreeFile(kt2);
  }
}

TEST_F(ImportTest, ImportedDocumentExportsTheSameTreeAsTheFile) {
  std::string file = kModels + "glTF2/simple_skin/simple_skin.gltf";
  ASSERT_EQ(Run("import " + file + " " + Path("scene.kscene")), 0);
  ASSERT_EQ(Run("export --silent " + Path("scene.kscene") + " " + Path("a.kt2")), 0);
  ASSERT_EQ(Run("export --silent " + file + " " + Path("b.kt2")), 0);
  std::string a, b;
  ASSERT_EQ(Run("dump --all " + Path("a.kt2"), &a), 0);
  ASSERT_EQ(Run("dump --all " + Path("b.kt2"), &b), 0);
  // Only the scene's own file name differs; the whole scene's animation is
  // named after it too.
  auto strip = [](std::string text) {
    std::istringstream lines(text);
    std::string line, kept;
    while (std::getline(lines, line)) {
      if (line.find("FromFileName") != std::string::npos) continue;
      if (line.find("\"scene.kscene\"") != std::string::npos) continue;
      if (line.find("\"simple_skin.gltf\"") != std::string::npos) continue;
      kept += line + "\n";
    }
    return kept;
  };
  EXPECT_GT(a.size(), 1000u);
  EXPECT_EQ(strip(a), strip(b));
}

TEST_F(ImportTest, ImporterCrashesAndUnreadableFilesAreReportedAndWriteNothing) {
  std::string file = kModels + "BVH/01_01.bvh";
  std::string err;
  EXPECT_EQ(Run("export --silent --test-import-fault crash " + file + " " + Path("crash.kt2"),
                nullptr, &err),
            1);
  EXPECT_NE(err.find("could not import " + file + ": the importer crashed (signal 6)"),
            std::string::npos)
      << err;
  EXPECT_FALSE(fs::exists(Path("crash.kt2")));
  EXPECT_EQ(
      Run("import --test-import-fault crash " + file + " " + Path("crash.kscene"), nullptr, &err),
      1);
  EXPECT_FALSE(fs::exists(Path("crash.kscene")));

  // A truncated file: the importer's own complaint, nothing written.
  std::string gltf = Slurp(kModels + "glTF2/simple_skin/simple_skin.gltf");
  std::ofstream(Path("cut.gltf")) << gltf.substr(0, gltf.size() / 2);
  EXPECT_EQ(Run("export --silent " + Path("cut.gltf") + " " + Path("cut.kt2"), nullptr, &err), 1);
  EXPECT_NE(err.find("could not import"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(Path("cut.kt2")));

  // A take that is not there lists those that are.
  EXPECT_EQ(Run("export --silent --take Dance " + file + " " + Path("take.kt2"), nullptr, &err), 1);
  EXPECT_NE(err.find("no take \"Dance\""), std::string::npos) << err;
}

TEST_F(ImportTest, QuantizedGltfIsRefusedInsteadOfExportingZeros) {
  // One triangle whose positions are stored as normalised shorts.
  std::ofstream(Path("quantized.gltf")) << R"({
    "asset": {"version": "2.0"},
    "extensionsUsed": ["KHR_mesh_quantization"],
    "extensionsRequired": ["KHR_mesh_quantization"],
    "buffers": [{"byteLength": 24,
      "uri": "data:application/octet-stream;base64,AAAAAAAAAAD/fwAAAAAAAAAA/38AAAAA"}],
    "bufferViews": [{"buffer": 0, "byteLength": 24, "byteStride": 8}],
    "accessors": [{"bufferView": 0, "componentType": 5122, "normalized": true, "count": 3,
                   "type": "VEC3", "min": [0, 0, 0], "max": [1, 1, 0]}],
    "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
    "nodes": [{"mesh": 0}],
    "scenes": [{"nodes": [0]}], "scene": 0})";
  std::string err;
  EXPECT_EQ(Run("export --silent " + Path("quantized.gltf") + " " + Path("q.kt2"), nullptr, &err),
            1);
  EXPECT_NE(err.find("KHR_mesh_quantization"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(Path("q.kt2")));
}

}  // namespace
}  // namespace ketrel
