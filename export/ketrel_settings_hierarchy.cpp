#include "export/ketrel_settings_hierarchy.h"

#include <functional>
#include <unordered_map>

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

// One item of the tree as the walk meets it: what it is called, whether it
// has a Requester of its own (else it starts as its parent's), where its
// chunk lives, what its children are called in the dialog, and the graph
// node's link to it.
struct SettingsEntry {
  const char* name;
  bool own;
  SettingsCategory category;  // with `own`
  SettingsHandle handle;
  const char* childListLabel;  // null: keep the default
  SettingsItem** link;         // null: no node links it
};

// Every item under the six categories, parents before their children and in
// the order the tree holds them, so that building and storing agree on which
// item is whose. `visit(parent, entry)` gives the entry's item (made, or
// found), or null to pass over its children.
template <typename Visit>
void WalkSettingsEntries(ToolInterface& tool, const NodeGraph* graph, const SettingsItem* root,
                         Visit visit) {
  const auto inheriting = [](const char* name, SettingsHandle handle, SettingsItem** link,
                             const char* label = nullptr) {
    return SettingsEntry{name, false, SettingsCategory::Root, handle, label, link};
  };
  const auto own = [](const char* name, SettingsCategory category, SettingsHandle handle,
                      SettingsItem** link, const char* label = nullptr) {
    return SettingsEntry{name, true, category, handle, label, link};
  };
  SettingsItem* textures = FindChildItem(root, "Textures");
  for (TextureNode* texture = graph->Textures; texture != nullptr; texture = texture->Next) {
    visit(textures,
          inheriting(tool.GetTextureName(texture),
                     {texture->HostMap, kChunkTexture, texture->Index}, &texture->Settings));
  }
  SettingsItem* materials = FindChildItem(root, "Materials");
  for (MaterialNode* material : GraphMaterials(graph)) {
    visit(materials, inheriting(tool.GetMaterialName(material),
                                {material->HostMaterial, kChunkMaterial, -1}, &material->Settings));
  }
  SettingsItem* meshes = FindChildItem(root, "Meshes");
  for (MeshNode* mesh : GraphMeshes(graph)) {
    visit(meshes, inheriting(tool.GetMeshName(mesh, false), {mesh->HostNode, kChunkMesh, -1},
                             &mesh->Settings));
  }
  SettingsItem* models = FindChildItem(root, "Models");
  for (ModelNode* model : GraphModels(graph)) {
    if (model->BoneCount == 0) continue;
    SettingsItem* item =
        visit(models, inheriting(tool.GetModelName(model),
                                 {ModelSettingsObject(tool, model), kChunkModel, -1},
                                 &model->Settings, "Bones"));
    if (item == nullptr) continue;
    for (BoneNode* bone : ModelBones(model)) {
      visit(item, own(tool.GetBoneName(bone), SettingsCategory::Bone,
                      {bone->HostNode, kChunkModelBone, -1}, &bone->Settings));
    }
  }
  // Each take keeps its own chunks: the animation's, and those of its track
  // groups, their bones and its morph tracks, under its index.
  SettingsItem* animations = FindChildItem(root, "Animations");
  for (AnimationNode* animation = graph->Animations; animation != nullptr;
       animation = animation->Next) {
    const int32_t take = animation->SettingsIndex;
    SettingsItem* item = visit(animations, inheriting(tool.GetAnimationName(animation),
                                                      {animation->HostNode, kChunkAnimation, take},
                                                      &animation->Settings, "Track Groups"));
    if (item == nullptr) continue;
    for (ModelNode* model : GraphModels(graph)) {
      SettingsItem* group =
          visit(item, own(tool.GetModelName(model), SettingsCategory::TrackGroup,
                          {TrackGroupSettingsObject(tool, model), kChunkTrackGroup, take},
                          &model->AnimationSettings, model->BoneCount > 0 ? "Bones" : nullptr));
      if (group == nullptr || model->BoneCount == 0) continue;
      for (BoneNode* bone : ModelBones(model)) {
        visit(group, own(tool.GetBoneName(bone), SettingsCategory::BoneAnimation,
                         {bone->HostNode, kChunkTrackGroupBone, take}, &bone->AnimationSettings));
      }
    }
    for (MorphSourceNode* morph = graph->MorphSources; morph != nullptr; morph = morph->Next) {
      visit(item, own(tool.GetHostObjectName(morph->HostNode), SettingsCategory::MorphTrack,
                      {morph->HostNode, kChunkMorphTrack, take}, &morph->Settings));
    }
  }
}

// Makes each item and loads its chunk, remembering whether memory ran out.
class Builder {
 public:
  explicit Builder(ToolInterface& tool) : store_(tool) {}

  SettingsItem* operator()(SettingsItem* parent, const SettingsEntry& entry) {
    if (!ok_ || parent == nullptr) return nullptr;
    Requester* requester = nullptr;
    if (entry.own && (requester = CreateCategoryRequester(entry.category)) == nullptr) {
      return Failed();
    }
    SettingsItem* item = CreateSettingsItem(parent, entry.name, requester);
    if (item == nullptr) return Failed();
    // A corrupt chunk is logged and leaves the item as it was; only a failed
    // duplicate (out of memory) stops the build.
    ApplyStoredSettings(item, &store_, &entry.handle);
    if (item->Requester == nullptr) return Failed();
    if (entry.childListLabel != nullptr && !SetChildListLabel(item, entry.childListLabel)) {
      return Failed();
    }
    if (entry.link != nullptr) *entry.link = item;
    return item;
  }
  bool ok() const { return ok_; }
  SettingsChunkStore& store() { return store_; }

 private:
  SettingsItem* Failed() {
    ok_ = false;
    return nullptr;
  }

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

  WalkSettingsEntries(tool, graph, root, std::ref(build));
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
  // The tree was built by the same walk: each entry's item is the next
  // child of its parent.
  std::unordered_map<const SettingsItem*, SettingsItem*> next;
  WalkSettingsEntries(tool, graph, root,
                      [&](SettingsItem* parent, const SettingsEntry& entry) -> SettingsItem* {
                        if (parent == nullptr) return nullptr;
                        auto at = next.find(parent);
                        SettingsItem* item = at == next.end() ? parent->FirstChild : at->second;
                        if (item == nullptr) return nullptr;
                        next[parent] = item->Next;
                        ok &= StoreSettings(item, store, entry.handle);
                        return item;
                      });
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
