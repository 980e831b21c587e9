#pragma once
// The settings tree of one scene, built over its node graph: one item per
// texture, material, mesh, model, bone, animation, track group and morph
// track, each linked from its graph node, each loading its stored values
// from the settings chunk of its host object, and stored back the same way.

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_tool_interface.h"

namespace ketrel {

// Lets the settings storage use a tool interface's chunk operations.
class ToolChunkStore final : public SettingsChunkStore {
 public:
  explicit ToolChunkStore(ToolInterface& tool) : tool_(tool) {}
  bool ReadSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                         std::vector<uint8_t>& out) override {
    return tool_.ReadSettingsChunk(object, kind, index, out);
  }
  bool WriteSettingsChunk(HostHandle object, uint32_t kind, int32_t index, const uint8_t* data,
                          size_t size) override {
    return tool_.WriteSettingsChunk(object, kind, index, data, size);
  }
  void RemoveSettingsChunk(HostHandle object, uint32_t kind, int32_t index) override {
    tool_.RemoveSettingsChunk(object, kind, index);
  }

 private:
  ToolInterface& tool_;
};

// Builds "Settings" and its categories, applies the scene's stored values
// and links every graph node to its item (`Settings`, and for models and
// bones `AnimationSettings` under the last animation). A corrupt chunk is
// logged and leaves that item at the values it inherited. Links left from an
// earlier tree are cleared first; null (logged, and no node left linked)
// when memory runs out. The caller destroys the tree
// with DestroySettingsItem after unlinking or destroying the graph.
SettingsItem* BuildSettingsHierarchy(ToolInterface& tool, NodeGraph* graph);

// Writes every item's chunk back into the scene (files, textures, materials,
// meshes, models and their bones, morph tracks, animations with their track
// groups and bones, last "Settings" itself) and marks the scene as needing a
// save. Items whose host object is unknown are skipped. False when the host
// refused a chunk (the others are still written).
bool StoreSceneSettings(ToolInterface& tool, const SettingsItem* root, const NodeGraph* graph);

// Links every model's and bone's `AnimationSettings` and every morph
// source's `Settings` to the items under `animation` (its track groups, their
// bones, its morph tracks): each animation has its own, and the tree is
// built with the last animation's linked. The animations phase links each
// animation's before converting it.
void LinkAnimationSettings(NodeGraph* graph, const AnimationNode* animation);

// The host object that keeps a model's settings: the node of its shallowest
// bone; null for a model without bones.
HostHandle ModelSettingsObject(ToolInterface& tool, const ModelNode* model);
// The host object of a model's track group settings: its root bone's node,
// or for a model without bones the host material of its last material.
HostHandle TrackGroupSettingsObject(ToolInterface& tool, const ModelNode* model);

}  // namespace ketrel
