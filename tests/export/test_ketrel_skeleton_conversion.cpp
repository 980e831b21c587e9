#include "export/ketrel_skeleton_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_string_table.h"
#include "rt/ketrel_transform.h"
#include "tests/export/test_ketrel_neutral_tool.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

transform ToTransform(const TransformParts& p) {
  return MakeTransform(p.Position, p.Orientation, &p.ScaleShear[0][0]);
}

TransformParts ToParts(const transform& t) {
  TransformParts p;
  std::memcpy(p.Position, t.Position, sizeof p.Position);
  std::memcpy(p.Orientation, t.Orientation, sizeof p.Orientation);
  std::memcpy(p.ScaleShear, t.ScaleShear, sizeof p.ScaleShear);
  return p;
}

// A host that knows each bone's parent, name and world transform (rigid, so
// local = inverse(parent world) * world is exact).
class FakeTool : public test::NeutralTool {
 public:
  void SetSampleTimeToStart() override { ++timeResets; }
  const char* GetBoneName(const BoneNode* bone) override { return names[bone].c_str(); }
  const char* GetModelName(const ModelNode* model) override {
    return modelNames.count(model) ? modelNames[model].c_str() : "model";
  }
  BoneNode* GetParentBone(const BoneNode* bone) override {
    return parents.count(bone) ? parents[bone] : nullptr;
  }
  bool GetBoneTransforms(const BoneNode* bone, TransformParts& local,
                         TransformParts& world) override {
    world = worlds[bone];
    BoneNode* parent = GetParentBone(bone);
    local =
        parent ? ToParts(RemovePlacement(ToTransform(worlds[parent]), ToTransform(world))) : world;
    return true;
  }

  std::map<const BoneNode*, std::string> names;
  std::map<const ModelNode*, std::string> modelNames;
  std::map<const BoneNode*, BoneNode*> parents;
  std::map<const BoneNode*, TransformParts> worlds;
  int timeResets = 0;
};

// A graph, its settings items and a hand-made parser around them.
class Scene : public test::ParserHarness {
 public:
  Scene() : ParserHarness(&tool) {}

  // Bones are created in order; each joins the model of `parent` (or the
  // first bone's model).
  BoneNode* Bone(const char* name, BoneNode* parent, const TransformParts& world) {
    BoneNode* bone = AddBoneNode(graph);
    bone->Settings = Settings(SettingsCategory::Bone);
    tool.names[bone] = name;
    tool.worlds[bone] = world;
    if (parent) tool.parents[bone] = parent;
    if (!node) {
      node = bone->Model;
      node->Settings = Settings(SettingsCategory::Model);
      tool.modelNames[node] = name;
    } else {
      ModelNode* survivor = MergeModels(graph, node, bone->Model);
      if (survivor != node) {  // keep the settings on whichever model survives
        survivor->Settings = node->Settings;
        tool.modelNames[survivor] = tool.modelNames[node];
        node = survivor;
      }
    }
    return bone;
  }

  // Gives the parser a cleared file_info with room for every model.
  void Begin() {
    parser.info = static_cast<file_info*>(KT_PARSER_ALLOCATE(&parser, sizeof(file_info)));
    MakeEmptyDataTypeObject(FileInfoType, parser.info);
    int32_t n = graph->ModelCount;
    ReserveFileList(&parser, FileList::Skeletons, n);
    ReserveFileList(&parser, FileList::Models, n);
  }

  bool Convert() {
    Begin();
    return ConvertSkeletons(&parser) && ConvertModels(&parser);
  }

  skeleton* Skeleton() const { return static_cast<skeleton*>(node->Skeleton); }
  bone& Record(const BoneNode* bone) const { return *static_cast<ketrel::bone*>(bone->Object); }
  model* Model(int32_t i) const {
    model** models = parser.info->Models;
    return models[i];
  }

  FakeTool tool;
  ModelNode* node = nullptr;  // the model node
};

std::string NameOf(const bone& b) {
  const char* name = b.Name;
  return name ? name : "(null)";
}

void ExpectSameRigid(const transform& a, const TransformParts& b, float tolerance = 1e-5f) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(a.Position[i], b.Position[i], tolerance) << i;
  // q and -q are one rotation.
  float dot = 0;
  for (int i = 0; i < 4; ++i) dot += a.Orientation[i] * b.Orientation[i];
  EXPECT_NEAR(std::fabs(dot), 1.0f, tolerance);
}

TEST(SkeletonConversion, BonesParentsAndTransformsFollowTheScene) {
  Scene scene;
  BoneNode* hip = scene.Bone("hip", nullptr, test::Rigid(1, 2, 3, 1.5707964f));
  BoneNode* spine = scene.Bone("spine", hip, test::Rigid(1, 3, 3, 0.5f));
  BoneNode* head = scene.Bone("head", spine, test::Rigid(1, 5, 3, 0.5f));
  BoneNode* hand = scene.Bone("hand", spine, test::Rigid(2, 4, 3, 0.0f));
  SetSettingInt(spine->Settings, setting::IncludeData, 0);
  SetSettingInt(scene.node->Settings, setting::MoveToOrigin, 0);
  ASSERT_TRUE(scene.Convert());
  EXPECT_GE(scene.tool.timeResets, 2);

  skeleton* s = scene.Skeleton();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(scene.parser.info->SkeletonCount, 1);
  EXPECT_STREQ(static_cast<const char*>(s->Name), "hip");
  ASSERT_EQ(s->BoneCount, 3);
  EXPECT_EQ(spine->Index, -1);  // data off: not in the skeleton
  EXPECT_EQ(spine->Object, nullptr);
  for (BoneNode* node : {hip, head, hand}) {
    ASSERT_GE(node->Index, 0);
    const bone& record = scene.Record(node);
    EXPECT_EQ(&record, &s->Bones[node->Index]);
    EXPECT_EQ(NameOf(record), scene.tool.names[node]);
    // Children of the excluded spine are roots placed in model space.
    EXPECT_EQ(record.ParentIndex, -1);
    ExpectSameRigid(record.Transform, scene.tool.worlds[node]);
    float world[4][4];
    BuildCompositeMatrix(ToTransform(scene.tool.worlds[node]), world);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        float product = 0;
        for (int k = 0; k < 4; ++k) product += world[i][k] * record.InverseWorldTransform[k][j];
        EXPECT_NEAR(product, i == j ? 1.0f : 0.0f, 1e-5f);
      }
  }
  // Without Move to Origin the placement stays the identity.
  ASSERT_EQ(scene.parser.info->ModelCount, 1);
  transform placement = scene.Model(0)->InitialPlacement;
  EXPECT_EQ(placement.Flags, 0u);
  EXPECT_EQ(scene.Model(0)->Skeleton, s);

  // With the spine back in, head and hand hang under it with local transforms.
  Scene again;
  hip = again.Bone("hip", nullptr, test::Rigid(1, 2, 3, 1.5707964f));
  spine = again.Bone("spine", hip, test::Rigid(1, 3, 3, 0.5f));
  head = again.Bone("head", spine, test::Rigid(1, 5, 3, 0.5f));
  SetSettingInt(again.node->Settings, setting::MoveToOrigin, 0);
  ASSERT_TRUE(again.Convert());
  EXPECT_EQ(again.Record(hip).ParentIndex, -1);
  EXPECT_EQ(again.Record(spine).ParentIndex, hip->Index);
  EXPECT_EQ(again.Record(head).ParentIndex, spine->Index);
  TransformParts headLocal, headWorld;
  again.tool.GetBoneTransforms(head, headLocal, headWorld);
  ExpectSameRigid(again.Record(head).Transform, headLocal);
}

TEST(SkeletonConversion, MoveToOriginRebasesEveryRootUnderTheRootPlacement) {
  Scene scene;
  BoneNode* hip = scene.Bone("hip", nullptr, test::Rigid(1, 2, 3, 1.0f));
  BoneNode* spine = scene.Bone("spine", hip, test::Rigid(1, 3, 3, 0.5f));
  BoneNode* head = scene.Bone("head", spine, test::Rigid(-2, 5, 3, 0.25f));
  SetSettingInt(spine->Settings, setting::IncludeData, 0);  // head becomes a second root
  ASSERT_TRUE(scene.Convert());
  EXPECT_EQ(FindModelRootBone(&scene.tool, scene.node), hip);

  transform placement = scene.Model(0)->InitialPlacement;
  ExpectSameRigid(placement, scene.tool.worlds[hip]);
  transform rebasedHip = scene.Record(hip).Transform;
  EXPECT_EQ(rebasedHip.Flags, 0u);  // the root now sits at the origin
  transform rebasedHead = scene.Record(head).Transform;
  ExpectSameRigid(ApplyPlacement(placement, rebasedHead), scene.tool.worlds[head]);
  // The animation phase samples the same model-space transform for the head.
  TransformParts local;
  ASSERT_TRUE(GetSkeletonLocalTransform(&scene.tool, head, local));
  ExpectSameRigid(ToTransform(local), scene.tool.worlds[head]);
}

TEST(SkeletonConversion, PlacementWithoutUsableSkeleton) {
  Scene scene;  // every bone's data off: an empty skeleton
  BoneNode* hip = scene.Bone("hip", nullptr, test::Rigid(4, 5, 6, 0.3f));
  BoneNode* tip = scene.Bone("tip", hip, test::Rigid(4, 6, 6, 0.3f));
  SetSettingInt(hip->Settings, setting::IncludeData, 0);
  SetSettingInt(tip->Settings, setting::IncludeData, 0);
  ASSERT_TRUE(scene.Convert());
  ASSERT_NE(scene.Skeleton(), nullptr);
  EXPECT_EQ(scene.Skeleton()->BoneCount, 0);
  ExpectSameRigid(scene.Model(0)->InitialPlacement, scene.tool.worlds[hip]);

  Scene flat;  // a root with a near-zero quaternion gets an identity orientation
  TransformParts degenerate = test::Rigid(1, 1, 1, 0);
  degenerate.Orientation[3] = 0.00001f;
  flat.Bone("root", nullptr, degenerate);
  ASSERT_TRUE(flat.Convert());
  transform placement = flat.Model(0)->InitialPlacement;
  EXPECT_EQ(placement.Orientation[3], 1.0f);
  EXPECT_EQ(placement.Flags, uint32_t{HasPosition});

  test::LogCapture log;
  // A zero-scale root stays, with its child under it: with no frame where
  // it can be inverted it keeps the identity, and the user is told.
  Scene broken;
  TransformParts squashed = test::Rigid(0, 0, 0, 0);
  squashed.ScaleShear[2][2] = 0;
  BoneNode* root = broken.Bone("root", nullptr, squashed);
  BoneNode* child = broken.Bone("child", root, test::Rigid(0, 1, 0, 0));
  SetSettingInt(broken.node->Settings, setting::MoveToOrigin, 0);
  ASSERT_TRUE(broken.Convert());
  EXPECT_TRUE(
      log.Contains("Bone root of skeleton root has a singular or invalid transform at "
                   "every frame; it keeps the identity"));
  ASSERT_EQ(broken.Skeleton()->BoneCount, 2);
  EXPECT_EQ(broken.Record(root).Transform.Flags, 0u);
  EXPECT_EQ(broken.Record(child).ParentIndex, root->Index);
}

TEST(SkeletonConversion, ExcludedModelsBindingsAndCancel) {
  Scene scene;
  BoneNode* a = scene.Bone("a", nullptr, test::Rigid(0, 0, 0, 0));
  BoneNode* b = scene.Bone("b", a, test::Rigid(0, 1, 0, 0));
  BoneNode* c = scene.Bone("c", b, test::Rigid(0, 2, 0, 0));
  SetSettingInt(scene.node->Settings, setting::IncludeReference, 0);
  ASSERT_TRUE(scene.Convert());
  EXPECT_EQ(scene.Skeleton(), nullptr);
  EXPECT_EQ(scene.parser.info->ModelCount, 0);
  EXPECT_EQ(scene.parser.info->SkeletonCount, 0);
  int32_t expected = 0;  // list order: newest first
  for (BoneNode* bone : ModelBones(scene.node)) EXPECT_EQ(bone->Index, expected++);
  EXPECT_EQ(c->Index, 0);

  Scene meshes;
  BoneNode* root = meshes.Bone("root", nullptr, test::Rigid(0, 0, 0, 0));
  MeshNode* skipped = AddMeshNode(meshes.graph);
  MeshNode* converted = AddMeshNode(meshes.graph);
  meshes.node = MergeModels(meshes.graph, root->Model, skipped->Model);
  meshes.node = MergeModels(meshes.graph, meshes.node, converted->Model);
  int fakeMesh = 0;
  converted->Object = &fakeMesh;
  ASSERT_TRUE(meshes.Convert());
  model* record = meshes.Model(0);
  EXPECT_EQ(record->MeshBindingCount, 1);
  model_mesh_binding* bindings = record->MeshBindings;
  mesh* bound = bindings[0].Mesh;
  EXPECT_EQ(static_cast<void*>(bound), &fakeMesh);

  Scene cancelled;
  cancelled.Bone("root", nullptr, test::Rigid(0, 0, 0, 0));
  ProgressWindow window;
  window.open = true;
  window.cancelled = 1;
  cancelled.parser.progress = &window;
  cancelled.Begin();
  EXPECT_FALSE(ConvertSkeletons(&cancelled.parser));
  EXPECT_FALSE(ConvertModels(&cancelled.parser));
  EXPECT_EQ(cancelled.parser.info->ModelCount, 0);
}

TEST(SkeletonConversion, RootBoneIsTheShallowestLastInListAndCycleSafe) {
  Scene scene;
  BoneNode* first = scene.Bone("first", nullptr, test::Rigid(0, 0, 0, 0));
  BoneNode* second = scene.Bone("second", nullptr, test::Rigid(1, 0, 0, 0));
  scene.Bone("child", second, test::Rigid(1, 1, 0, 0));
  // List order is newest first, so the last root in the list is `first`.
  EXPECT_EQ(FindModelRootBone(&scene.tool, scene.node), first);
  scene.tool.parents[first] = second;
  scene.tool.parents[second] = first;  // a host cycle must not hang the search
  EXPECT_NE(FindModelRootBone(&scene.tool, scene.node), nullptr);
}

}  // namespace
}  // namespace ketrel
