#include "export/host/host_tool_interface.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "export/host/host_scene_document.h"
#include "tests/support/log_capture.h"

namespace ketrel::host {
namespace {

const std::string kFigure = std::string(KETREL_SOURCE_DIR) + "/examples/figure.kscene";

Node* AddTyped(Scene& scene, const std::string& name, Node* parent, uint32_t superClass,
               ClassId classId) {
  Node* node = scene.AddNode(name, parent);
  node->HasObject = true;
  node->Object.SuperClass = superClass;
  node->Object.Class = node->Object.BaseClass = classId;
  return node;
}
Node* AddBone(Scene& scene, const std::string& name, Node* parent = nullptr) {
  return AddTyped(scene, name, parent, kHelperSuperClass, {0x9125, 0});
}
Node* AddMesh(Scene& scene, const std::string& name, Node* parent = nullptr) {
  return AddTyped(scene, name, parent, kGeometrySuperClass, {0x9, 0});
}

std::set<std::string> BoneNames(HostToolInterface& tool, const NodeGraph* graph) {
  std::set<std::string> names;
  for (BoneNode* bone : GraphBones(graph)) names.insert(tool.GetBoneName(bone));
  return names;
}

float Length(const float q[4]) {
  return std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
}

TEST(NodeWalk, FigureBecomesOneSkinnedModel) {
  Scene scene;
  ASSERT_TRUE(LoadSceneDocument(kFigure, scene));
  auto tool = CreateToolInterface(scene, {});
  NodeGraph* graph = tool->GetNodeGraph();
  ASSERT_NE(graph, nullptr);
  // Body's own bone is gone: a skinned mesh's container is not a bone. The
  // face is a rigid mesh on the head and its own bone.
  EXPECT_EQ(graph->BoneCount, 9);
  EXPECT_EQ(tool->FindBoneOfHostNode(scene.FindNode("Body")), nullptr);
  EXPECT_NE(tool->FindBoneOfHostNode(scene.FindNode("Face")), nullptr);
  EXPECT_EQ(graph->MeshCount, 2);
  EXPECT_EQ(graph->MaterialCount, 2);  // the material and its bitmap map
  EXPECT_EQ(graph->ModelCount, 3);
  ModelNode* figure = graph->Meshes->Model;
  EXPECT_EQ(figure->BoneCount, 9);
  EXPECT_STREQ(tool->GetModelName(figure), "Figure");
  EXPECT_EQ(tool->GetSkinBoneCount(graph->Meshes), 5);
  EXPECT_NE(tool->GetSkinBone(graph->Meshes, 4), nullptr);
  EXPECT_EQ(BoneNames(*tool, graph),
            (std::set<std::string>{"Figure", "Hips", "Spine", "Head", "ClavicleL", "ClavicleR",
                                   "ClavicleL|Arm", "ClavicleR|Arm", "Face"}));
  ASSERT_EQ(graph->TextureCount, 1);
  EXPECT_STREQ(graph->Textures->Name, "figure_diffuse.png");
  EXPECT_EQ(graph->Textures->Index, 0);
  // As the scene writes it, wherever the scene lies.
  EXPECT_STREQ(tool->GetTextureFileName(graph->Textures), "figure_diffuse.png");
  ASSERT_EQ(graph->AnimationCount, 1);
  EXPECT_EQ(graph->Animations->SampleCount, 30);
  EXPECT_DOUBLE_EQ(tool->GetSampleDuration(graph->Animations), 1.0 / 30);
  EXPECT_STREQ(tool->GetAnimationName(graph->Animations), "figure.kscene");
  // The head's visibility is the one track source.
  ASSERT_EQ(graph->TrackSourceCount, 1);
  TrackSampleDescriptor descriptor;
  char name[kTrackNameCapacity];
  float value = -1;
  tool->SetCurrentTime(4000);
  ASSERT_TRUE(tool->SampleTrackSource(graph->TrackSources, descriptor, name, &value, 1));
  EXPECT_STREQ(name, "Head_visibility");
  EXPECT_EQ(descriptor.Dimension, 1);
  EXPECT_EQ(value, 0);
  // Notes: times relative to the animation start, names from the bone.
  BoneNode* hips = tool->FindBoneOfHostNode(scene.FindNode("Hips"));
  EXPECT_EQ(tool->GetNoteTrackCount(hips), 1);
  EXPECT_EQ(tool->GetNoteKeyCount(hips, 0), 2);
  EXPECT_STREQ(tool->GetNoteKeyText(hips, 0, 1), "step_right");
  EXPECT_EQ(tool->GetNoteKeyTime(hips, 0, 0), 800);
  EXPECT_STREQ(tool->GetNoteTrackName(hips, 0), "Hips");
  EXPECT_STREQ(tool->GetNoteTrackName(hips, 2), "Hips|Notes_2");
  EXPECT_EQ(tool->GetBoneDepth(hips), 1);
  test::LogCapture log;
  EXPECT_STREQ(tool->GetNoteKeyText(hips, 1, 0), "");
  EXPECT_EQ(log.errors(), 1u);
  tool->ReleaseNodeGraph(graph);
}

TEST(NodeWalk, TransformsAreLocalToTheGraphParentAndMirrorsStayProper) {
  Scene scene;
  ASSERT_TRUE(LoadSceneDocument(kFigure, scene));
  auto tool = CreateToolInterface(scene, {});
  NodeGraph* graph = tool->GetNodeGraph();
  ASSERT_NE(graph, nullptr);
  tool->SetSampleTimeToFrame(15, 31);
  EXPECT_EQ(tool->GetCurrentTime(), 2400);
  Node* mirrored = scene.Nodes[7].get();
  BoneNode* arm = tool->FindBoneOfHostNode(mirrored);
  TransformParts local, world;
  ASSERT_TRUE(tool->GetBoneTransforms(arm, local, world));
  EXPECT_NEAR(Length(local.Orientation), 1, 1e-5);
  EXPECT_NEAR(Length(world.Orientation), 1, 1e-5);
  EXPECT_LT(local.ScaleShear[0][0] * local.ScaleShear[1][1] * local.ScaleShear[2][2], 0);
  EXPECT_NEAR(local.Position[0], -0.1f, 1e-5);  // relative to its clavicle
  HostMatrix expected = scene.NodeTransform(mirrored, 2400);
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(world.Position[j], expected.m[3][j], 1e-5);
  // A child of a skipped node has no graph parent: local is world.
  Node* skipped = AddTyped(scene, "Skip", nullptr, kHelperSuperClass, {0x3A22708B, 0x2DB14ACC});
  skipped->Transform.Position.Value = {5, 0, 0};
  Node* orphan = AddBone(scene, "Orphan", skipped);
  orphan->Transform.Position.Value = {1, 0, 0};
  auto tool2 = CreateToolInterface(scene, {});
  graph = tool2->GetNodeGraph();
  EXPECT_EQ(tool2->FindBoneOfHostNode(skipped), nullptr);
  BoneNode* orphanBone = tool2->FindBoneOfHostNode(orphan);
  ASSERT_NE(orphanBone, nullptr);
  EXPECT_EQ(tool2->GetParentBone(orphanBone), nullptr);
  ASSERT_TRUE(tool2->GetBoneTransforms(orphanBone, local, world));
  EXPECT_FLOAT_EQ(local.Position[0], 6);
  EXPECT_FLOAT_EQ(world.Position[0], 6);
}

TEST(NodeWalk, SelectedOnlyAddsAncestorsAndSkinBonesButNotSiblings) {
  Scene scene;
  Node* top = AddBone(scene, "Top");
  Node* picked = AddMesh(scene, "Picked", top);
  Node* sibling = AddBone(scene, "Sibling", top);
  AddBone(scene, "SiblingChild", sibling);
  Node* rigRoot = AddBone(scene, "RigRoot");
  Node* skinBone = AddBone(scene, "SkinBone", rigRoot);
  AddBone(scene, "Unrelated", rigRoot);
  Node* skinned = AddMesh(scene, "Skinned");
  skinned->SkinBones = {skinBone};
  Node* hidden = AddBone(scene, "Hidden");
  Node* deep = AddBone(scene, "Deep", hidden);
  picked->Selected = skinned->Selected = deep->Selected = true;
  WalkOptions options;
  options.SelectedOnly = true;
  auto tool = CreateToolInterface(scene, options);
  NodeGraph* graph = tool->GetNodeGraph();
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(BoneNames(*tool, graph),
            (std::set<std::string>{"Top", "Picked", "RigRoot", "SkinBone", "Hidden", "Deep"}));
  EXPECT_EQ(graph->MeshCount, 2);
  EXPECT_EQ(tool->FindMeshOfHostNode(picked)->Model, tool->FindBoneOfHostNode(top)->Model);
  EXPECT_EQ(tool->FindMeshOfHostNode(skinned)->Model, tool->FindBoneOfHostNode(rigRoot)->Model);
  EXPECT_EQ(graph->AnimationCount, 0);  // the range is empty
}

TEST(NodeWalk, ClassifiesByObjectControllerAndBaseClass) {
  Scene scene;
  EXPECT_EQ(ClassifyNode(scene.AddNode("Empty")), NodeKind::Other);
  EXPECT_EQ(ClassifyNode(AddMesh(scene, "Mesh")), NodeKind::Mesh);
  EXPECT_EQ(ClassifyNode(AddTyped(scene, "Box", nullptr, kGeometrySuperClass, {0x10, 0})),
            NodeKind::Box);
  EXPECT_EQ(ClassifyNode(AddTyped(scene, "Ball", nullptr, kGeometrySuperClass, {0x11, 7})),
            NodeKind::Sphere);
  EXPECT_EQ(
      ClassifyNode(AddTyped(scene, "Cap", nullptr, kGeometrySuperClass, {0x6D3D77AC, 0x79C939A9})),
      NodeKind::Capsule);
  EXPECT_EQ(ClassifyNode(AddTyped(scene, "Line", nullptr, kShapeSuperClass, {0x1999, 0})),
            NodeKind::BoneGeometry);
  Node* special = AddMesh(scene, "Special");
  special->Object.Interfaces = {0x10D0};
  EXPECT_EQ(ClassifyNode(special), NodeKind::InterfaceBone);
  Node* camera = AddTyped(scene, "Cam", nullptr, kCameraSuperClass, {0x1001, 0});
  Node* target = AddTyped(scene, "Cam.Target", nullptr, kGeometrySuperClass, kTargetObjectClass);
  EXPECT_EQ(ClassifyNode(target), NodeKind::Other);  // nobody looks at it yet
  camera->LookAt = target;
  target->LookedAtBy = camera;
  EXPECT_EQ(ClassifyNode(target), NodeKind::Camera);
  Node* biped = AddMesh(scene, "BipedPelvis");
  biped->Transform.Class = {0x9156, 0};
  EXPECT_EQ(ClassifyNode(biped), NodeKind::Other);
  Node* boneBase = AddMesh(scene, "BoneBase");
  boneBase->Object.BaseClass = {0x2E6A0C09, 0x43D5C9C0};
  EXPECT_EQ(ClassifyNode(boneBase), NodeKind::Other);
  EXPECT_EQ(ClassifyNode(AddTyped(scene, "Skip", nullptr, kHelperSuperClass, {7, 0x1EB34300})),
            NodeKind::Skipped);
  // A camera target and a camera become bones only; the box is a mesh too.
  auto tool = CreateToolInterface(scene, {});
  NodeGraph* graph = tool->GetNodeGraph();
  EXPECT_EQ(tool->FindMeshOfHostNode(target), nullptr);
  EXPECT_NE(tool->FindBoneOfHostNode(target), nullptr);
  EXPECT_NE(tool->FindMeshOfHostNode(scene.FindNode("Box")), nullptr);
  EXPECT_EQ(graph->MeshCount, 4);  // mesh, box, ball, capsule
  // The camera's six parameters are sampled even when not animated.
  int cameraSources = 0;
  for (TrackSourceNode* source : GraphTrackSources(graph))
    cameraSources += source->Bone == tool->FindBoneOfHostNode(camera);
  EXPECT_EQ(cameraSources, 6);
}

TEST(NodeWalk, SyntheticRootIsFoundByNameAndNeverMakesACycle) {
  Scene scene;
  Node* hips = AddBone(scene, "Hips");
  Node* srb = AddBone(scene, "my_ketrelROOTbonelocal_1", hips);
  Node* leg = AddBone(scene, "Leg", srb);
  Node* other = AddBone(scene, "OtherRig");
  auto tool = CreateToolInterface(scene, {});
  NodeGraph* graph = tool->GetNodeGraph();
  ASSERT_NE(graph, nullptr);
  BoneNode* root = tool->SyntheticRoot();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->HostNode, srb);
  EXPECT_TRUE(tool->LocalSyntheticRoot());
  EXPECT_EQ(tool->GetParentBone(root), nullptr);
  BoneNode* hipsBone = tool->FindBoneOfHostNode(hips);
  EXPECT_EQ(tool->GetParentBone(hipsBone), root);  // nested under a bone, still the root
  EXPECT_EQ(tool->GetBoneDepth(tool->FindBoneOfHostNode(leg)), 1);
  // Local: the other hierarchy keeps its own model.
  EXPECT_EQ(tool->GetParentBone(tool->FindBoneOfHostNode(other)), nullptr);
  EXPECT_EQ(graph->ModelCount, 2);

  WalkOptions named;
  named.SyntheticRootName = "Hips";
  auto tool2 = CreateToolInterface(scene, named);
  ASSERT_NE(tool2->GetNodeGraph(), nullptr);
  EXPECT_FALSE(tool2->LocalSyntheticRoot());
  EXPECT_EQ(tool2->GetParentBone(tool2->FindBoneOfHostNode(other)), tool2->SyntheticRoot());

  named.SyntheticRootName = "Missing";
  auto tool3 = CreateToolInterface(scene, named);
  test::LogCapture log;
  EXPECT_EQ(tool3->GetNodeGraph(), nullptr);
  EXPECT_TRUE(log.Contains("Missing"));
  log.Clear();
  AddBone(scene, "KetrelRootBone2");
  auto tool4 = CreateToolInterface(scene, {});
  ASSERT_NE(tool4->GetNodeGraph(), nullptr);
  EXPECT_TRUE(log.Contains("Found two SRBs in the scene."));
}

TEST(NodeWalk, UniqueBoneNamesUseTheFewestAncestors) {
  {
    Scene hands;
    AddBone(hands, "Hand", AddBone(hands, "L"));
    AddBone(hands, "Hand", AddBone(hands, "R"));
    auto tool = CreateToolInterface(hands, {});
    EXPECT_EQ(BoneNames(*tool, tool->GetNodeGraph()),
              (std::set<std::string>{"L", "R", "L|Hand", "R|Hand"}));
  }
  Scene scene;
  Node* a = AddBone(scene, "A");
  Node* b = AddBone(scene, "B");
  AddBone(scene, "Hand", AddBone(scene, "Left", a));
  AddBone(scene, "Hand", AddBone(scene, "Right", a));
  AddBone(scene, "Hand", AddBone(scene, "Left", b));
  AddBone(scene, "Twin", b);
  AddBone(scene, "Twin", b);
  auto tool = CreateToolInterface(scene, {});
  test::LogCapture log;
  NodeGraph* graph = tool->GetNodeGraph();
  std::set<std::string> names = BoneNames(*tool, graph);
  EXPECT_TRUE(names.count("A|Left|Hand"));
  EXPECT_TRUE(names.count("B|Left|Hand"));
  EXPECT_TRUE(names.count("Right|Hand"));
  EXPECT_TRUE(names.count("A|Left"));
  EXPECT_TRUE(names.count("B|Left"));
  EXPECT_TRUE(names.count("Right"));
  EXPECT_EQ(names.size(), size_t(graph->BoneCount));  // all distinct
  EXPECT_EQ(log.warnings(), 2u);                      // the twins share their whole path
  EXPECT_TRUE(log.Contains("Duplicate FQN for bone found: B|Twin"));
}

TEST(NodeWalk, DeepHierarchiesWalkWithoutRecursion) {
  Scene scene;
  Node* at = nullptr;
  const int depth = 20000;
  for (int i = 0; i < depth; ++i)
    at = AddBone(scene, std::string("B").append(std::to_string(i)), at);
  at->Selected = true;
  WalkOptions options;
  options.SelectedOnly = true;  // the climb adds every ancestor
  auto tool = CreateToolInterface(scene, options);
  NodeGraph* graph = tool->GetNodeGraph();
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(graph->BoneCount, depth);
  EXPECT_EQ(graph->ModelCount, 1);
  EXPECT_STREQ(tool->GetModelName(graph->Bones->Model), "B0");
  EXPECT_EQ(tool->GetBoneDepth(tool->FindBoneOfHostNode(at)), depth - 1);
}

TEST(NodeWalk, MaterialsTexturesMorphsAndSettingsChunks) {
  Scene scene;
  scene.AnimationEnd = 160;  // exactly one frame
  Material* multi = scene.AddMaterial("Multi");
  multi->Class = kMultiMaterialClass;
  Material* first = scene.AddMaterial("First");
  Material* second = scene.AddMaterial("Second");
  multi->SubMaterials = {first, nullptr, second};
  for (Material* m : {first, second}) {
    Material* bitmap = scene.AddMaterial(m->Name + "Map");
    bitmap->SuperClass = kTextureMapSuperClass;
    bitmap->Class = kBitmapTextureClass;
    bitmap->FileName = "shared.png";
    m->Maps = {{"Diffuse", nullptr}, {"Bump", bitmap}};
  }
  Node* mesh = AddMesh(scene, "Mesh");
  mesh->NodeMaterial = multi;
  mesh->HasMorpher = true;
  auto tool = CreateToolInterface(scene, {});
  NodeGraph* graph = tool->GetNodeGraph();
  EXPECT_EQ(graph->MaterialCount, 5);
  ASSERT_EQ(graph->TextureCount, 1);  // same file, same slot: shared
  EXPECT_TRUE(graph->Textures->Bump);
  EXPECT_EQ(graph->Textures->Index, 1);
  EXPECT_EQ(graph->MorphSourceCount, 1);
  EXPECT_EQ(graph->AnimationCount, 1);
  EXPECT_TRUE(tool->HasMorpher(graph->Meshes));
  EXPECT_STREQ(tool->GetMaterialName(tool->FindMaterialOfHost(second)), "Second");
  MaterialNode* multiNode = tool->FindMaterialOfHost(multi);
  ASSERT_EQ(tool->GetSubMaterialCount(multiNode), 3);
  EXPECT_EQ(tool->GetSubMaterial(multiNode, 1), nullptr);  // the empty slot
  EXPECT_EQ(tool->GetSubMaterial(multiNode, 2), tool->FindMaterialOfHost(second));
  MaterialNode* secondNode = tool->FindMaterialOfHost(second);
  const char* slot = nullptr;
  ASSERT_EQ(tool->GetMaterialMapCount(secondNode), 2);
  EXPECT_EQ(tool->GetMaterialMap(secondNode, 0, &slot), nullptr);
  EXPECT_STREQ(slot, "Diffuse");
  MaterialNode* bumpMap = tool->GetMaterialMap(secondNode, 1, &slot);
  EXPECT_STREQ(slot, "Bump");
  ASSERT_NE(bumpMap, nullptr);
  EXPECT_EQ(tool->GetMaterialTexture(bumpMap), graph->Textures);
  EXPECT_EQ(tool->GetMaterialTexture(secondNode), nullptr);
  float rgb[3];
  EXPECT_TRUE(tool->GetMaterialDiffuse(secondNode, rgb));
  EXPECT_FALSE(tool->GetMaterialDiffuse(bumpMap, rgb));

  WalkOptions separate;
  separate.ShareTextures = false;
  auto tool2 = CreateToolInterface(scene, separate);
  EXPECT_EQ(tool2->GetNodeGraph()->TextureCount, 2);
  scene.AnimationEnd = 159;
  auto tool3 = CreateToolInterface(scene, {});
  NodeGraph* short_range = tool3->GetNodeGraph();
  EXPECT_EQ(short_range->AnimationCount, 0);
  EXPECT_EQ(short_range->MorphSourceCount, 0);

  // Settings chunks live on host objects, keyed by kind and index.
  std::vector<uint8_t> data;
  HostHandle node = HandleOf(mesh), material = HandleOf(first);
  EXPECT_FALSE(tool->ReadSettingsChunk(node, 4, -1, data));
  const uint8_t bytes[] = {1, 2, 3};
  ASSERT_TRUE(tool->WriteSettingsChunk(node, 4, -1, bytes, 3));
  ASSERT_TRUE(tool->WriteSettingsChunk(material, 2, 0, bytes, 1));
  EXPECT_TRUE(scene.NeedsSave);
  EXPECT_TRUE(tool->ReadSettingsChunk(node, 4, -1, data));
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(tool->ReadSettingsChunk(node, 4, 0, data));
  EXPECT_TRUE(tool->ReadSettingsChunk(material, 2, 0, data));
  EXPECT_EQ(data.size(), 1u);
  tool->RemoveSettingsChunk(node, 4, -1);
  EXPECT_FALSE(tool->ReadSettingsChunk(node, 4, -1, data));
  EXPECT_STREQ(tool->GetHostObjectName(material), "First");
  EXPECT_STREQ(tool->GetHostObjectName(tool->GetSceneRoot()), "Scene Root");
  test::LogCapture log;
  int unrelated = 0;
  EXPECT_FALSE(tool->WriteSettingsChunk(&unrelated, 4, -1, bytes, 3));
  EXPECT_FALSE(tool->ReadSettingsChunk(nullptr, 4, -1, data));
  EXPECT_TRUE(log.Contains(kParameterCheckFailed));
}

}  // namespace
}  // namespace ketrel::host
