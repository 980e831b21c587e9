#include <gtest/gtest.h>

#include <map>
#include <string>

#include "export/ketrel_settings_hierarchy.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "tests/export/test_ketrel_neutral_tool.h"
#include "tests/export/test_ketrel_settings_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

// Answers only what the settings tree asks; chunks live in a memory store.
class FakeTool : public test::NeutralTool {
 public:
  const char* GetTextureName(const TextureNode* texture) override { return texture->Name; }
  const char* GetHostObjectName(HostHandle) override { return "morph"; }
  int32_t GetBoneDepth(const BoneNode* bone) override { return depths[bone]; }
  HostHandle GetSceneRoot() override { return &sceneRoot; }
  bool ReadSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                         std::vector<uint8_t>& out) override {
    return store.ReadSettingsChunk(object, kind, index, out);
  }
  bool WriteSettingsChunk(HostHandle object, uint32_t kind, int32_t index, const uint8_t* data,
                          size_t size) override {
    return store.WriteSettingsChunk(object, kind, index, data, size);
  }
  void RemoveSettingsChunk(HostHandle object, uint32_t kind, int32_t index) override {
    store.RemoveSettingsChunk(object, kind, index);
  }
  void SetSaveRequired() override { saveRequired = true; }

  int sceneRoot = 0;
  std::map<const BoneNode*, int32_t> depths;
  test::MemoryChunkStore store;
  bool saveRequired = false;
};

// A character (two bones and a mesh), a lone material, an empty model, two
// textures of one map, the scene animation and a morph source.
struct Scene {
  Scene() : graph(CreateNodeGraph()) {
    hip = AddBoneNode(graph);
    hip->HostNode = &hosts[0];
    knee = AddBoneNode(graph);
    knee->HostNode = &hosts[1];
    tool.depths[knee] = 1;
    mesh = AddMeshNode(graph);
    mesh->HostNode = &hosts[1];
    ModelNode* body = MergeModels(graph, hip->Model, knee->Model);
    MergeModels(graph, body, mesh->Model);
    material = AddMaterialNode(graph);
    material->HostMaterial = &hosts[2];
    AddModelNode(graph);  // neither bones nor materials: no host object at all
    for (int i = 0; i < 2; ++i) {
      TextureNode* t = AddTextureNode(graph, i == 0 ? "wall.png" : "wall_bump.png");
      t->HostMap = &hosts[3];
      t->Index = i;
    }
    AnimationNode* animation = AddAnimationNode(graph);
    animation->HostNode = &tool.sceneRoot;
    AddMorphSourceNode(graph)->HostNode = &hosts[1];
  }
  ~Scene() {
    DestroySettingsItem(root);
    DestroyNodeGraph(graph);
  }
  void Build() {
    DestroySettingsItem(root);
    root = BuildSettingsHierarchy(tool, graph);
  }

  FakeTool tool;
  int hosts[4] = {};
  NodeGraph* graph;
  BoneNode* hip;
  BoneNode* knee;
  MeshNode* mesh;
  MaterialNode* material;
  SettingsItem* root = nullptr;
};

TEST(SettingsTree, BuildsLinksAndStoresOneChunkPerItem) {
  Scene scene;
  scene.Build();
  ASSERT_NE(scene.root, nullptr);
  // Objects read their category's defaults; a bone has its own Requester.
  ASSERT_NE(scene.mesh->Settings, nullptr);
  EXPECT_EQ(scene.mesh->Settings->Parent, FindChildItem(scene.root, "Meshes"));
  EXPECT_EQ(GetSettingInt(scene.mesh->Settings, 8), 4);
  EXPECT_TRUE(IsDataIncluded(scene.material->Settings));
  ASSERT_NE(scene.hip->Settings, nullptr);
  EXPECT_EQ(scene.hip->Settings->Parent, scene.hip->Model->Settings);
  EXPECT_STREQ(scene.hip->Model->Settings->ChildListLabel, "Bones");
  EXPECT_EQ(scene.hip->Settings->Requester->Label, std::string("Bone settings"));
  ASSERT_NE(scene.knee->AnimationSettings, nullptr);
  EXPECT_EQ(scene.knee->AnimationSettings->Requester->Id, 65u);
  EXPECT_EQ(scene.material->Model->Settings, nullptr);  // no skeleton, no model item
  ASSERT_NE(scene.material->Model->AnimationSettings, nullptr);
  EXPECT_STREQ(scene.graph->Animations->Settings->ChildListLabel, "Track Groups");
  EXPECT_EQ(scene.graph->MorphSources->Settings->Requester->Id, 293u);
  EXPECT_EQ(scene.graph->Textures->Settings->Parent, FindChildItem(scene.root, "Textures"));

  ASSERT_TRUE(StoreSceneSettings(scene.tool, scene.root, scene.graph));
  EXPECT_TRUE(scene.tool.saveRequired);
  auto& chunks = scene.tool.store.chunks;
  // File, 2 textures, material, mesh, model, 2 bones, morph, animation, 2
  // track groups (the empty model has no host object), 2 bone animations, Settings.
  EXPECT_EQ(chunks.size(), 15u);
  const void* hip = scene.hip->HostNode;
  EXPECT_EQ(chunks.count({hip, kChunkModel, -1}), 1u);  // on the shallowest bone
  EXPECT_EQ(chunks.count({hip, kChunkTrackGroup, -1}), 1u);
  EXPECT_EQ(chunks.count({scene.material->HostMaterial, kChunkTrackGroup, -1}), 1u);
  EXPECT_EQ(chunks.count({&scene.hosts[3], kChunkTexture, 1}), 1u);
  EXPECT_EQ(chunks.count({&scene.tool.sceneRoot, kChunkSettings, -1}), 1u);
}

TEST(SettingsTree, StoredValuesComeBackAndStoreAgainIsIdentical) {
  Scene scene;
  scene.Build();
  SetSettingInt(scene.mesh->Settings, 8, 7);
  SetSettingInt(scene.knee->AnimationSettings, 173, 5);  // not in bone animation: ignored
  SetSettingInt(scene.knee->AnimationSettings, 53, 1);
  SetSettingInt(FindChildItem(scene.root, "File"), 74, 256);
  FindPropertyById(scene.hip->Settings->Requester, 75)->Locked = 1;
  ASSERT_TRUE(StoreSceneSettings(scene.tool, scene.root, scene.graph));
  auto first = scene.tool.store.chunks;

  scene.Build();
  ASSERT_NE(scene.root, nullptr);
  EXPECT_EQ(GetSettingInt(scene.mesh->Settings, 8), 7);
  EXPECT_EQ(GetSettingInt(scene.knee->AnimationSettings, 53), 1);
  EXPECT_EQ(GetSettingInt(scene.hip->AnimationSettings, 53), 2);
  EXPECT_EQ(GetSettingInt(FindChildItem(scene.root, "File"), 74), 256);
  EXPECT_EQ(FindPropertyById(scene.hip->Settings->Requester, 75)->Locked, 1u);
  ASSERT_TRUE(StoreSceneSettings(scene.tool, scene.root, scene.graph));
  EXPECT_EQ(scene.tool.store.chunks, first);

  // A settings file brought in over the scene: locked values stay.
  std::string path = test::ScratchPath("tree.kes");
  SettingsItem* fresh = CreateSettingsRoot();
  SetPropertyInt(FindPropertyById(FindChildItem(fresh, "Models")->Requester, 75), 0);
  SetPropertyInt(FindPropertyById(FindChildItem(fresh, "Meshes")->Requester, 8), 2);
  ASSERT_TRUE(SaveSettingsFile(fresh, path.c_str()));
  DestroySettingsItem(fresh);
  ASSERT_TRUE(LoadSettingsFile(scene.root, path.c_str()));
  EXPECT_EQ(GetSettingInt(scene.mesh->Settings, 8), 2);
  EXPECT_TRUE(GetSettingBool(scene.hip->Settings, 75));  // locked
  EXPECT_FALSE(GetSettingBool(scene.knee->Settings, 75));
  std::remove(path.c_str());
}

TEST(SettingsTree, CorruptChunksAndMemoryFailures) {
  Scene scene;
  scene.Build();
  SetSettingInt(scene.mesh->Settings, 8, 9);
  ASSERT_TRUE(StoreSceneSettings(scene.tool, scene.root, scene.graph));
  scene.tool.store.chunks[{scene.mesh->HostNode, kChunkMesh, -1}].resize(30);
  {
    test::LogCapture log;
    scene.Build();
    EXPECT_TRUE(log.Contains("Corrupted settings data encountered"));
  }
  ASSERT_NE(scene.root, nullptr);
  EXPECT_EQ(GetSettingInt(scene.mesh->Settings, 8), 4);  // the category's value

  test::LogCapture log;
  for (long failAt = 0; failAt < 3000; failAt += 37) {
    DestroySettingsItem(scene.root);
    scene.root = nullptr;
    SetAllocationFailureCountdown(failAt);
    scene.root = BuildSettingsHierarchy(scene.tool, scene.graph);
    SetAllocationFailureCountdown(-1);
    if (scene.root == nullptr) {
      EXPECT_EQ(scene.mesh->Settings, nullptr);
      EXPECT_EQ(scene.knee->AnimationSettings, nullptr);
    }
  }
}

// The listing itself is held to the golden listing by the settings command's
// test; here, every category's requester is its own.
TEST(SettingsSchema, CategoriesAreFresh) {
  for (uint32_t i = 0; i < static_cast<uint32_t>(SettingsCategory::Count); ++i) {
    auto category = static_cast<SettingsCategory>(i);
    Requester* a = CreateCategoryRequester(category);
    Requester* b = CreateCategoryRequester(category);
    ASSERT_NE(a, nullptr) << SettingsCategoryLabel(category);
    EXPECT_EQ(a->Id, SettingsCategoryId(category));
    SetPropertyInt(FindPropertyById(a, setting::IncludeReference), 0);
    // No shared state: the second copy keeps its default.
    if (RequesterProperty* p = FindPropertyById(b, setting::IncludeReference)) {
      EXPECT_EQ(GetPropertyInt(p), 1);
    }
    DestroyRequester(a);
    DestroyRequester(b);
  }
}

}  // namespace
}  // namespace ketrel
