#include "export/ketrel_settings_hierarchy.h"

#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

// The shallowest bone, the last in list order on a tie: the root that the
// model's name, its placement and its root motion take too.
const BoneNode* RootBone(ToolInterface& tool, const ModelNode* model) {
  const BoneNode* root = nullptr;
  int32_t rootDepth = 0;
  for (const BoneNode* bone : ModelBones(model)) {
    int32_t depth = tool.GetBoneDepth(bone);
    if (root == nullptr || depth <= rootDepth) {
      root = bone;
      rootDepth = depth;
    }
  }
  return root;
}

void UnlinkGraph(NodeGraph* graph) {
  for (TextureNode* t = graph->Textures; t != nullptr; t = t->Next) t->Settings = nullptr;
  for (MaterialNode* m : GraphMaterials(graph)) m->Settings = nullptr;
  for (MeshNode* m : GraphMeshes(graph)) m->Settings = nullptr;
  for (BoneNode* b : GraphBones(graph)) b->Settings = b->AnimationSettings = nullptr;
  for (ModelNode* m : GraphModels(graph)) m->Settings = m->AnimationSettings = nullptr;
  for (MorphSourceNode* m = graph->MorphSources; m != nullptr; m = m->Next) m->Settings = nullptr;
  for (AnimationNode* a = graph->Animations; a != nullptr; a = a->Next) a->Settings = nullptr;
}

// Creates items and loads their chunks, remembering whether memory ran out.
class Builder {
 public:
  Builder(ToolInterface& tool) : tool_(tool), store_(tool) {}

  // An item that starts as a duplicate of its parent's values.
  SettingsItem* Inheriting(SettingsItem* parent, const char* name, SettingsHandle handle) {
    return Add(parent, name, nullptr, handle);
  }
  // An item with a new Requester of `category`, at the schema defaults.
  SettingsItem* Own(SettingsItem* parent, const char* name, SettingsCategory category,
                    SettingsHandle handle) {
    if (!ok_) return nullptr;
    Requester* requester = CreateCategoryRequester(category);
    if (requester == nullptr) {
      ok_ = false;
      return nullptr;
    }
    return Add(parent, name, requester, handle);
  }
  bool ok() const { return ok_; }
  SettingsChunkStore& store() { return store_; }

 private:
  SettingsItem* Add(SettingsItem* parent, const char* name, Requester* requester,
                    SettingsHandle handle) {
    if (!ok_ || parent == nullptr) {
      DestroyRequester(requester);
      return nullptr;
    }
    SettingsItem* item = CreateSettingsItem(parent, name, requester);
    if (item == nullptr) {
      ok_ = false;
      return nullptr;
    }
    // A corrupt chunk is logged and leaves the item as it was; only a failed
    // duplicate (out of memory) stops the build.
    ApplyStoredSettings(item, &store_, &handle);
    if (item->Requester == nullptr) ok_ = false;
    return item;
  }

  ToolInterface& tool_;
  ToolChunkStore store_;
  bool ok_ = true;
};

}  // namespace

HostHandle ModelSettingsObject(ToolInterface& tool, const ModelNode* model) {
  const BoneNode* root = RootBone(tool, model);
  return root != nullptr ? root->HostNode : nullptr;
}

HostHandle TrackGroupSettingsObject(ToolInterface& tool, const ModelNode* model) {
  if (HostHandle node = ModelSettingsObject(tool, model)) return node;
  const MaterialNode* last = nullptr;
  for (const MaterialNode* material : ModelMaterials(model)) last = material;
  return last != nullptr ? last->HostMaterial : nullptr;
}

SettingsItem* BuildSettingsHierarchy(ToolInterface& tool, NodeGraph* graph) {
  if (!KT_CHECK_PARAMETER(Settings, graph != nullptr)) return nullptr;
  // Links left from an earlier tree must not survive a failed build.
  UnlinkGraph(graph);
  SettingsItem* root = CreateSettingsRoot();
  if (root == nullptr) return nullptr;
  Builder build(tool);
  HostHandle sceneRoot = tool.GetSceneRoot();
  ApplySettingsItemChunk(root, build.store(), sceneRoot);
  SettingsHandle fileHandle{sceneRoot, kChunkFile, -1};
  ApplyStoredSettings(FindChildItem(root, "File"), &build.store(), &fileHandle);

  SettingsItem* textures = FindChildItem(root, "Textures");
  for (TextureNode* texture = graph->Textures; texture != nullptr; texture = texture->Next) {
    texture->Settings = build.Inheriting(textures, tool.GetTextureName(texture),
                                         {texture->HostMap, kChunkTexture, texture->Index});
  }
  SettingsItem* materials = FindChildItem(root, "Materials");
  for (MaterialNode* material : GraphMaterials(graph)) {
    material->Settings = build.Inheriting(materials, tool.GetMaterialName(material),
                                          {material->HostMaterial, kChunkMaterial, -1});
  }
  SettingsItem* meshes = FindChildItem(root, "Meshes");
  for (MeshNode* mesh : GraphMeshes(graph)) {
    mesh->Settings =
        build.Inheriting(meshes, tool.GetMeshName(mesh, false), {mesh->HostNode, kChunkMesh, -1});
  }
  SettingsItem* models = FindChildItem(root, "Models");
  for (ModelNode* model : GraphModels(graph)) {
    if (model->BoneCount == 0) continue;
    SettingsItem* item = build.Inheriting(models, tool.GetModelName(model),
                                          {ModelSettingsObject(tool, model), kChunkModel, -1});
    model->Settings = item;
    if (item != nullptr && !SetChildListLabel(item, "Bones")) break;
    for (BoneNode* bone : ModelBones(model)) {
      bone->Settings = build.Own(item, tool.GetBoneName(bone), SettingsCategory::Bone,
                                 {bone->HostNode, kChunkModelBone, -1});
    }
  }
  SettingsItem* animations = FindChildItem(root, "Animations");
  for (AnimationNode* animation = graph->Animations; animation != nullptr;
       animation = animation->Next) {
    // Each take keeps its own chunks: the animation's, and those of its
    // track groups, their bones and its morph tracks, under its index.
    const int32_t take = animation->SettingsIndex;
    SettingsItem* item = build.Inheriting(animations, tool.GetAnimationName(animation),
                                          {animation->HostNode, kChunkAnimation, take});
    animation->Settings = item;
    if (item != nullptr && !SetChildListLabel(item, "Track Groups")) break;
    for (ModelNode* model : GraphModels(graph)) {
      SettingsItem* group =
          build.Own(item, tool.GetModelName(model), SettingsCategory::TrackGroup,
                    {TrackGroupSettingsObject(tool, model), kChunkTrackGroup, take});
      model->AnimationSettings = group;
      if (model->BoneCount == 0) continue;
      if (group != nullptr && !SetChildListLabel(group, "Bones")) break;
      for (BoneNode* bone : ModelBones(model)) {
        bone->AnimationSettings =
            build.Own(group, tool.GetBoneName(bone), SettingsCategory::BoneAnimation,
                      {bone->HostNode, kChunkTrackGroupBone, take});
      }
    }
    for (MorphSourceNode* morph = graph->MorphSources; morph != nullptr; morph = morph->Next) {
      morph->Settings =
          build.Own(item, tool.GetHostObjectName(morph->HostNode), SettingsCategory::MorphTrack,
                    {morph->HostNode, kChunkMorphTrack, take});
    }
  }
  if (!build.ok()) {
    KT_LOG_ERROR(Settings, "Unable to build the settings of the scene");
    UnlinkGraph(graph);
    DestroySettingsItem(root);
    return nullptr;
  }
  return root;
}

bool StoreSceneSettings(ToolInterface& tool, const SettingsItem* root, const NodeGraph* graph) {
  if (!KT_CHECK_PARAMETER(Settings, root != nullptr && graph != nullptr)) return false;
  ToolChunkStore store(tool);
  HostHandle sceneRoot = tool.GetSceneRoot();
  bool ok = StoreSettings(FindChildItem(root, "File"), store, {sceneRoot, kChunkFile, -1});
  for (TextureNode* texture = graph->Textures; texture != nullptr; texture = texture->Next) {
    ok &=
        StoreSettings(texture->Settings, store, {texture->HostMap, kChunkTexture, texture->Index});
  }
  for (MaterialNode* material : GraphMaterials(graph)) {
    ok &= StoreSettings(material->Settings, store, {material->HostMaterial, kChunkMaterial, -1});
  }
  for (MeshNode* mesh : GraphMeshes(graph)) {
    ok &= StoreSettings(mesh->Settings, store, {mesh->HostNode, kChunkMesh, -1});
  }
  for (ModelNode* model : GraphModels(graph)) {
    if (model->BoneCount == 0) continue;
    ok &=
        StoreSettings(model->Settings, store, {ModelSettingsObject(tool, model), kChunkModel, -1});
    for (BoneNode* bone : ModelBones(model)) {
      ok &= StoreSettings(bone->Settings, store, {bone->HostNode, kChunkModelBone, -1});
    }
  }
  // The track group items of every animation were built in graph order, so
  // the children of each animation item pair up with the models, then the
  // morph sources.
  for (AnimationNode* animation = graph->Animations; animation != nullptr;
       animation = animation->Next) {
    const SettingsItem* item = animation->Settings;
    const int32_t take = animation->SettingsIndex;
    ok &= StoreSettings(item, store, {animation->HostNode, kChunkAnimation, take});
    const SettingsItem* group = item != nullptr ? item->FirstChild : nullptr;
    for (ModelNode* model : GraphModels(graph)) {
      if (group == nullptr) break;
      ok &= StoreSettings(group, store,
                          {TrackGroupSettingsObject(tool, model), kChunkTrackGroup, take});
      const SettingsItem* boneItem = group->FirstChild;
      for (BoneNode* bone : ModelBones(model)) {
        if (boneItem == nullptr) break;
        ok &= StoreSettings(boneItem, store, {bone->HostNode, kChunkTrackGroupBone, take});
        boneItem = boneItem->Next;
      }
      group = group->Next;
    }
    for (MorphSourceNode* morph = graph->MorphSources; morph != nullptr && group != nullptr;
         morph = morph->Next, group = group->Next) {
      ok &= StoreSettings(group, store, {morph->HostNode, kChunkMorphTrack, take});
    }
  }
  ok &= StoreSettingsItemChunk(root, store, sceneRoot);
  tool.SetSaveRequired();
  return ok;
}

void LinkAnimationSettings(NodeGraph* graph, const AnimationNode* animation) {
  if (!KT_CHECK_PARAMETER(Settings, graph != nullptr && animation != nullptr)) return;
  SettingsItem* group = animation->Settings != nullptr ? animation->Settings->FirstChild : nullptr;
  for (ModelNode* model : GraphModels(graph)) {
    model->AnimationSettings = group;
    SettingsItem* boneItem = group != nullptr ? group->FirstChild : nullptr;
    for (BoneNode* bone : ModelBones(model)) {
      bone->AnimationSettings = boneItem;
      if (boneItem != nullptr) boneItem = boneItem->Next;
    }
    if (group != nullptr) group = group->Next;
  }
  for (MorphSourceNode* morph = graph->MorphSources; morph != nullptr; morph = morph->Next) {
    morph->Settings = group;
    if (group != nullptr) group = group->Next;
  }
}

}  // namespace ketrel
