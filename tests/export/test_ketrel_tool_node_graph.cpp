#include "export/ketrel_tool_node_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "rt/ketrel_memory.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

// The length of a node list; with `model`, each node must name it.
template <typename List>
int32_t Count(List list, const ModelNode* model = nullptr) {
  int32_t n = 0;
  for (auto* node : list) {
    if (model != nullptr) {
      EXPECT_EQ(node->Model, model);
    }
    ++n;
  }
  return n;
}

// Checks the graph's invariants: counts equal list lengths, every node is in
// the model it names, the ring is consistent.
void ExpectConsistent(const NodeGraph* graph) {
  for (BoneNode* bone : GraphBones(graph)) {
    bool found = false;
    for (BoneNode* b : ModelBones(bone->Model)) found |= b == bone;
    EXPECT_TRUE(found);
  }
  for (TrackSourceNode* source : GraphTrackSources(graph)) {
    // Exactly one owner, and it is still in the graph.
    EXPECT_NE(source->Bone == nullptr, source->Mesh == nullptr);
    bool found = false;
    for (BoneNode* bone : GraphBones(graph)) found |= bone == source->Bone;
    for (MeshNode* mesh : GraphMeshes(graph)) found |= mesh == source->Mesh;
    EXPECT_TRUE(found);
  }
  EXPECT_EQ(Count(GraphBones(graph)), graph->BoneCount);
  EXPECT_EQ(Count(GraphMeshes(graph)), graph->MeshCount);
  EXPECT_EQ(Count(GraphTrackSources(graph)), graph->TrackSourceCount);
  EXPECT_EQ(Count(GraphMaterials(graph)), graph->MaterialCount);
  int32_t models = 0, bones = 0, meshes = 0, sources = 0, materials = 0;
  for (ModelNode* model : GraphModels(graph)) {
    ++models;
    EXPECT_EQ(model->Next->Previous, model);
    EXPECT_EQ(Count(ModelBones(model), model), model->BoneCount);
    EXPECT_EQ(Count(ModelMeshes(model), model), model->MeshCount);
    EXPECT_EQ(Count(ModelTrackSources(model), model), model->TrackSourceCount);
    const int32_t owned = Count(ModelMaterials(model), model);
    EXPECT_EQ(owned, model->MaterialCount);
    bones += model->BoneCount;
    meshes += model->MeshCount;
    sources += model->TrackSourceCount;
    materials += owned;
  }
  EXPECT_EQ(models, graph->ModelCount);
  EXPECT_EQ(bones, graph->BoneCount);
  EXPECT_EQ(meshes, graph->MeshCount);
  EXPECT_EQ(sources, graph->TrackSourceCount);
  EXPECT_EQ(materials, graph->MaterialCount);
}

TEST(NodeGraph, EmptyGraphAndListsRunNewestFirst) {
  NodeGraph* graph = CreateNodeGraph();
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(graph->ModelCount, 0);
  EXPECT_TRUE(GraphModels(graph).begin().Done());
  BoneNode* first = AddBoneNode(graph);
  BoneNode* second = AddBoneNode(graph);
  MeshNode* mesh = AddMeshNode(graph);
  ASSERT_TRUE(first && second && mesh);
  EXPECT_EQ(first->Index, -1);
  std::vector<BoneNode*> order;
  for (BoneNode* bone : GraphBones(graph)) order.push_back(bone);
  EXPECT_EQ(order, (std::vector<BoneNode*>{second, first}));
  std::vector<ModelNode*> models;
  for (ModelNode* model : GraphModels(graph)) models.push_back(model);
  EXPECT_EQ(models, (std::vector<ModelNode*>{mesh->Model, second->Model, first->Model}));
  EXPECT_EQ(graph->ModelCount, 3);
  ExpectConsistent(graph);
  DestroyNodeGraph(graph);
  DestroyNodeGraph(nullptr);
}

TEST(NodeGraph, MergeKeepsLargerModelAndReversesMovedNodes) {
  NodeGraph* graph = CreateNodeGraph();
  BoneNode* a = AddBoneNode(graph);
  BoneNode* b1 = AddBoneNode(graph);
  BoneNode* b2 = AddBoneNode(graph);
  ModelNode* modelA = a->Model;
  ModelNode* modelB = MergeModels(graph, b1->Model, b2->Model);
  ASSERT_EQ(modelB, b1->Model);  // tie: the first argument survives
  EXPECT_EQ(b2->Model, modelB);
  EXPECT_EQ(MergeModels(graph, modelB, modelB), modelB);  // itself: nothing changes
  EXPECT_EQ(graph->ModelCount, 2);
  // modelB (2 bones) absorbs modelA (1) although it is the second argument.
  EXPECT_EQ(MergeModels(graph, modelA, modelB), modelB);
  EXPECT_EQ(a->Model, modelB);
  std::vector<BoneNode*> order;
  for (BoneNode* bone : ModelBones(modelB)) order.push_back(bone);
  EXPECT_EQ(order, (std::vector<BoneNode*>{a, b2, b1}));
  ExpectConsistent(graph);
  DestroyNodeGraph(graph);
}

TEST(NodeGraph, EqualModelsMoveSecondsNodesToFrontReversed) {
  NodeGraph* graph = CreateNodeGraph();
  BoneNode* a1 = AddBoneNode(graph);
  BoneNode* a2 = AddBoneNode(graph);
  MergeModels(graph, a1->Model, a2->Model);  // a1's model: a2, a1
  BoneNode* b1 = AddBoneNode(graph);
  BoneNode* b2 = AddBoneNode(graph);
  MergeModels(graph, b1->Model, b2->Model);  // b1's model: b2, b1
  ModelNode* survivor = MergeModels(graph, a1->Model, b1->Model);
  ASSERT_EQ(survivor, a1->Model);
  std::vector<BoneNode*> order;
  for (BoneNode* bone : ModelBones(survivor)) order.push_back(bone);
  EXPECT_EQ(order, (std::vector<BoneNode*>{b1, b2, a2, a1}));
  EXPECT_EQ(graph->ModelCount, 1);
  ExpectConsistent(graph);
  DestroyNodeGraph(graph);
}

TEST(NodeGraph, ModelsWithMaterialsAreNeverAbsorbed) {
  NodeGraph* graph = CreateNodeGraph();
  MaterialNode* material = AddMaterialNode(graph);
  BoneNode* bone1 = AddBoneNode(graph);
  BoneNode* bone2 = AddBoneNode(graph);
  ModelNode* bones = MergeModels(graph, bone1->Model, bone2->Model);
  test::LogCapture log;
  EXPECT_EQ(MergeModels(graph, bones, material->Model), nullptr);
  EXPECT_EQ(log.errors(), 1u);
  EXPECT_EQ(material->Model->MaterialCount, 1);
  ExpectConsistent(graph);
  DestroyNodeGraph(graph);
}

TEST(NodeGraph, RemoveLoneBoneModelDropsBoneAndAllItsTrackSources) {
  NodeGraph* graph = CreateNodeGraph();
  BoneNode* keep = AddBoneNode(graph);
  BoneNode* lone = AddBoneNode(graph);
  // Two sources on the lone bone: both must go, or one would dangle.
  for (int i = 0; i < 2; ++i) {
    TrackSourceNode* source = AddBoneTrackSource(graph, lone);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->Bone, lone);
    MergeModels(graph, lone->Model, source->Model);
  }
  // A third one still in a model of its own: it goes too, with that model.
  ASSERT_NE(AddBoneTrackSource(graph, lone), nullptr);
  TrackSourceNode* kept = AddBoneTrackSource(graph, keep);
  MergeModels(graph, keep->Model, kept->Model);
  ASSERT_EQ(lone->Model->TrackSourceCount, 2);
  MeshNode* mesh = AddMeshNode(graph);
  EXPECT_FALSE(RemoveLoneBoneModel(graph, mesh->Model));  // not a lone bone
  EXPECT_TRUE(RemoveLoneBoneModel(graph, lone->Model));
  EXPECT_EQ(graph->BoneCount, 1);
  EXPECT_EQ(graph->TrackSourceCount, 1);
  EXPECT_EQ(graph->TrackSources, kept);
  EXPECT_EQ(graph->ModelCount, 2);
  ExpectConsistent(graph);
  DestroyNodeGraph(graph);
}

bool HasIndex(const TextureNode* texture, const void* context) {
  return texture->Index == *static_cast<const int32_t*>(context);
}

TEST(NodeGraph, TexturesMorphSourcesAndAnimations) {
  NodeGraph* graph = CreateNodeGraph();
  char name[] = "skin.png";
  TextureNode* first = AddTextureNode(graph, name);
  name[0] = 'S';  // the graph holds its own copy
  TextureNode* second = AddTextureNode(graph, "skin.png");
  second->Index = 3;
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Index, -1);
  EXPECT_STREQ(first->Name, "skin.png");
  EXPECT_EQ(FindTexture(graph, "skin.png"), second);  // list order: newest first
  EXPECT_EQ(FindTexture(graph, "Skin.png"), nullptr);
  int32_t wanted = -1;
  EXPECT_EQ(FindTextureBy(graph, HasIndex, &wanted), first);
  MorphSourceNode* m0 = AddMorphSourceNode(graph);
  MorphSourceNode* m1 = AddMorphSourceNode(graph);
  EXPECT_EQ(GetMorphSource(graph, 0), m1);
  EXPECT_EQ(GetMorphSource(graph, 1), m0);
  EXPECT_EQ(GetMorphSource(graph, 2), nullptr);
  ASSERT_NE(AddAnimationNode(graph), nullptr);
  EXPECT_EQ(graph->AnimationCount, 1);
  EXPECT_EQ(graph->TextureCount, 2);
  test::LogCapture log;
  EXPECT_EQ(AddTextureNode(graph, nullptr), nullptr);
  EXPECT_EQ(AddBoneNode(nullptr), nullptr);
  EXPECT_TRUE(log.Contains(kParameterCheckFailed));
  DestroyNodeGraph(graph);
}

TEST(NodeGraph, InvariantsHoldAfterRandomOperations) {
  std::mt19937 random(12345);
  for (int round = 0; round < 20; ++round) {
    NodeGraph* graph = CreateNodeGraph();
    auto pickModel = [&]() -> ModelNode* {
      if (graph->ModelCount == 0) return nullptr;
      int32_t n = int32_t(random() % uint32_t(graph->ModelCount));
      ModelCursor cursor(graph);
      for (; n > 0; --n) cursor.Advance();
      return cursor.Get();
    };
    test::LogCapture log;  // refused merges of material models log
    for (int step = 0; step < 200; ++step) {
      switch (random() % 8) {
        case 0:
          AddBoneNode(graph);
          break;
        case 1:
          AddMeshNode(graph);
          break;
        case 2:
          AddMaterialNode(graph);
          break;
        case 3:
          if (graph->Bones) {
            TrackSourceNode* source = AddBoneTrackSource(graph, graph->Bones);
            if (random() % 2) MergeModels(graph, graph->Bones->Model, source->Model);
          }
          break;
        case 4:
          if (graph->Meshes) AddMeshTrackSource(graph, graph->Meshes);
          break;
        case 5:
        case 6:
          if (ModelNode* a = pickModel()) MergeModels(graph, a, pickModel());
          break;
        case 7:
          if (ModelNode* model = pickModel()) RemoveLoneBoneModel(graph, model);
          break;
      }
      if (step % 20 == 0) ExpectConsistent(graph);
    }
    ExpectConsistent(graph);
    DestroyNodeGraph(graph);
  }
}

TEST(NodeGraph, AllocationFailureLeavesNothingLinked) {
  NodeGraph* graph = CreateNodeGraph();
  test::LogCapture log;
  for (long countdown = 0; countdown < 2; ++countdown) {
    SetAllocationFailureCountdown(countdown);
    EXPECT_EQ(AddBoneNode(graph), nullptr);
  }
  for (long countdown = 0; countdown < 2; ++countdown) {
    SetAllocationFailureCountdown(countdown);
    EXPECT_EQ(AddTextureNode(graph, "a.png"), nullptr);
  }
  SetAllocationFailureCountdown(-1);
  EXPECT_EQ(graph->BoneCount, 0);
  EXPECT_EQ(graph->ModelCount, 0);
  EXPECT_EQ(graph->TextureCount, 0);
  DestroyNodeGraph(graph);
}

}  // namespace
}  // namespace ketrel
