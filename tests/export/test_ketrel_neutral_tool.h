#pragma once
#include <string>
// Test hosts for the conversion phases.
//
// NeutralTool: a tool interface that answers every question neutrally: no graph, no time
// range at 30 frames per second, fixed names, no hierarchy, identity
// transforms, no notes, samples, skins, morphs or settings chunks. Test hosts
// derive from it and answer only what their test asks.

#include <cmath>
#include <vector>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_scene_parser.h"
#include "export/ketrel_tool_interface.h"
#include "rt/ketrel_string_table.h"

namespace ketrel::test {

class NeutralTool : public ToolInterface {
 public:
  NodeGraph* GetNodeGraph() override { return nullptr; }
  void ReleaseNodeGraph(NodeGraph*) override {}
  int32_t GetAnimationStart() override { return 0; }
  int32_t GetAnimationEnd() override { return 0; }
  int32_t GetTicksPerFrame() override { return 160; }
  int32_t GetFrameRate() override { return 30; }
  int32_t GetFrameCount() override { return 0; }
  int32_t GetCurrentTime() override { return 0; }
  void SetSampleTimeToStart() override {}
  void SetSampleTimeToFrame(int32_t, int32_t) override {}
  double GetSampleDuration(const AnimationNode*) override { return 0; }
  int32_t GetSampleCount(const AnimationNode*) override { return 0; }
  const char* GetBoneName(const BoneNode*) override { return "bone"; }
  const char* GetMeshName(const MeshNode*, bool) override { return "mesh"; }
  const char* GetModelName(const ModelNode*) override { return "model"; }
  const char* GetMaterialName(const MaterialNode*) override { return "material"; }
  const char* GetTextureName(const TextureNode*) override { return "texture"; }
  const char* GetAnimationName(const AnimationNode*) override { return "scene"; }
  const char* GetSceneFileName() override { return "scene"; }
  const char* GetArtToolName() override { return "neutral tool"; }
  void GetArtToolRevision(int32_t& major, int32_t& minor) override { major = minor = 1; }
  const char* GetNoteTrackName(const BoneNode* bone, int32_t n) override {
    noteTrackName_ = GetBoneName(bone);
    if (n > 0) noteTrackName_ += "|Notes_" + std::to_string(n);
    return noteTrackName_.c_str();
  }
  const char* GetHostObjectName(HostHandle) override { return ""; }
  BoneNode* GetParentBone(const BoneNode*) override { return nullptr; }
  int32_t GetBoneDepth(const BoneNode*) override { return 0; }
  HostHandle GetSceneRoot() override { return this; }
  BoneNode* FindBoneOfHostNode(HostHandle) override { return nullptr; }
  bool GetBoneTransforms(const BoneNode*, TransformParts&, TransformParts&) override {
    return false;
  }
  int32_t GetNoteTrackCount(const BoneNode*) override { return 0; }
  int32_t GetNoteKeyCount(const BoneNode*, int32_t) override { return 0; }
  const char* GetNoteKeyText(const BoneNode*, int32_t, int32_t) override { return ""; }
  int32_t GetNoteKeyTime(const BoneNode*, int32_t, int32_t) override { return 0; }
  bool SampleTrackSource(const TrackSourceNode*, TrackSampleDescriptor&, char*, float*,
                         int32_t) override {
    return false;
  }
  int32_t GetSkinBoneCount(const MeshNode*) override { return 0; }
  BoneNode* GetSkinBone(const MeshNode*, int32_t) override { return nullptr; }
  bool HasMorpher(const MeshNode*) override { return false; }
  const char* GetTextureFileName(const TextureNode*) override { return ""; }
  bool ReadSettingsChunk(HostHandle, uint32_t, int32_t, std::vector<uint8_t>&) override {
    return false;
  }
  bool WriteSettingsChunk(HostHandle, uint32_t, int32_t, const uint8_t*, size_t) override {
    return false;
  }
  void RemoveSettingsChunk(HostHandle, uint32_t, int32_t) override {}
  void SetSaveRequired() override {}

 private:
  std::string noteTrackName_;
};

// A rigid placement: at (x, y, z), turned by `angleAboutZ` radians.
inline TransformParts Rigid(float x, float y, float z, float angleAboutZ) {
  TransformParts p;
  p.Position[0] = x;
  p.Position[1] = y;
  p.Position[2] = z;
  p.Orientation[2] = std::sin(angleAboutZ / 2);
  p.Orientation[3] = std::cos(angleAboutZ / 2);
  return p;
}

// A node graph and a hand-made parser (arena, string table, the host) that a
// phase runs on, and settings items that live as long as it.
class ParserHarness {
 public:
  explicit ParserHarness(ToolInterface* tool) : graph(CreateNodeGraph()) {
    parser.arena = NewArena();
    parser.strings = NewArenaStringTable(ArenaAllocator(parser.arena));
    parser.tool = tool;
    parser.graph = graph;
  }
  ~ParserHarness() {
    for (SettingsItem* item : items) DestroySettingsItem(item);
    FreeStringTable(parser.strings);
    FreeArena(parser.arena);
    DestroyNodeGraph(graph);
  }
  ParserHarness(const ParserHarness&) = delete;
  ParserHarness& operator=(const ParserHarness&) = delete;

  SettingsItem* Settings(SettingsCategory category) {
    items.push_back(CreateSettingsItem(nullptr, "item", CreateCategoryRequester(category)));
    return items.back();
  }

  NodeGraph* graph;
  SceneParser parser;
  std::vector<SettingsItem*> items;
};

}  // namespace ketrel::test
