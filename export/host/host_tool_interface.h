#pragma once
// The node walk: our host's answer to the exporter's ToolInterface. It walks
// a host scene into a scene node graph (which host nodes become bones, which
// also become meshes, materials, textures, the scene animation, morph
// sources, track sources, the synthetic root bone, model merging) and answers
// conversion's questions about names, time, hierarchy, transforms, notes and
// settings chunks.
//
// The scene must outlive the tool interface and keep its nodes and materials
// while it lives; settings chunks written through it go into the scene and
// mark it as needing a save.

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "export/host/host_scene.h"
#include "export/ketrel_tool_interface.h"

namespace ketrel::host {

struct WalkOptions {
  bool SelectedOnly = false;
  // The synthetic root bone sought (`--synthetic NAME`); empty: any bone whose
  // name holds "KetrelRootBone". A name given here that no bone holds makes
  // the walk fail.
  std::string SyntheticRootName;
  // With a given name: whether that root is local (`--local-synthetic`).
  bool LocalSyntheticRoot = false;
  // False while settings commands load, dump or clear settings: every host
  // map then gets its own texture node instead of sharing by name and slot.
  bool ShareTextures = true;
  // The takes to walk (indices into Scene::Takes); empty: every take.
  std::vector<int32_t> Takes;
};

// How the walk treats a host node.
enum class NodeKind : int {
  Mesh = 0,
  Sphere = 1,
  Box = 2,
  Capsule = 3,
  Camera = 4,
  Light = 5,
  Other = 6,          // helpers, nodes without an object, biped parts
  BoneGeometry = 7,   // geometry classes exported as bones only
  InterfaceBone = 8,  // geometry answering interface 0x10D0
  Skipped = 9,        // no graph node; its children are still walked
};
inline bool IsMeshKind(NodeKind kind) { return int(kind) <= int(NodeKind::Capsule); }

NodeKind ClassifyNode(const Node* node);

// The handle of a host object, and back (null when the handle is not one).
inline HostHandle HandleOf(const HostObject* object) { return object; }

class HostToolInterface final : public ToolInterface {
 public:
  HostToolInterface(Scene& scene, WalkOptions options);
  ~HostToolInterface() override;
  HostToolInterface(const HostToolInterface&) = delete;
  HostToolInterface& operator=(const HostToolInterface&) = delete;

  // graph: null after logging when a requested synthetic root is missing.
  NodeGraph* GetNodeGraph() override;
  void ReleaseNodeGraph(NodeGraph* graph) override;

  int32_t GetAnimationStart() override { return scene_.AnimationStart; }
  int32_t GetAnimationEnd() override { return scene_.AnimationEnd; }
  int32_t GetTicksPerFrame() override { return scene_.TicksPerFrame(); }
  int32_t GetFrameRate() override { return scene_.FrameRate; }
  int32_t GetFrameCount() override;
  int32_t GetCurrentTime() override { return currentTime_; }
  // The rest pose (Scene::RestTick): skeletons and meshes are taken there.
  void SetSampleTimeToStart() override { currentTime_ = scene_.RestTick(); }
  void SetSampleTimeToFrame(int32_t i, int32_t n) override;
  void SetCurrentTime(int32_t tick) { currentTime_ = tick; }
  bool SetSampleTime(int32_t tick) override {
    currentTime_ = tick;
    return true;
  }
  double GetSampleDuration(const AnimationNode* animation) override;
  int32_t GetSampleCount(const AnimationNode* animation) override;

  const char* GetBoneName(const BoneNode* bone) override;
  const char* GetMeshName(const MeshNode* mesh, bool fullPath) override;
  const char* GetModelName(const ModelNode* model) override;
  const char* GetMaterialName(const MaterialNode* material) override;
  const char* GetTextureName(const TextureNode* texture) override;
  const char* GetAnimationName(const AnimationNode* animation) override;
  const char* GetSceneFileName() override;
  double GetSystemUnitInMeters() override { return scene_.SystemUnit; }
  bool IsSystemUnitKnown() override { return scene_.UnitFromSource; }
  const char* GetArtToolName() override;
  void GetArtToolRevision(int32_t& major, int32_t& minor) override;
  void GetAxisFrame(float right[3], float up[3], float back[3]) override {
    for (int i = 0; i < 3; ++i)
      right[i] = kHostRight[i], up[i] = kHostUp[i], back[i] = kHostBack[i];
  }
  const char* GetNoteTrackName(const BoneNode* bone, int32_t n) override;
  const char* GetHostObjectName(HostHandle object) override;

  BoneNode* GetParentBone(const BoneNode* bone) override;
  int32_t GetBoneDepth(const BoneNode* bone) override;
  HostHandle GetSceneRoot() override { return HandleOf(scene_.Root.get()); }
  BoneNode* FindBoneOfHostNode(HostHandle node) override;

  bool GetBoneTransforms(const BoneNode* bone, TransformParts& local,
                         TransformParts& world) override;
  bool GetBoneLocalTransform(const BoneNode* bone, TransformParts& local) override;

  int32_t GetNoteTrackCount(const BoneNode* bone) override;
  int32_t GetNoteKeyCount(const BoneNode* bone, int32_t track) override;
  const char* GetNoteKeyText(const BoneNode* bone, int32_t track, int32_t key) override;
  int32_t GetNoteKeyTime(const BoneNode* bone, int32_t track, int32_t key) override;

  bool SampleTrackSource(const TrackSourceNode* source, TrackSampleDescriptor& descriptor,
                         char* name, float* values, int32_t capacity) override;

  int32_t GetSkinBoneCount(const MeshNode* mesh) override;
  BoneNode* GetSkinBone(const MeshNode* mesh, int32_t k) override;
  bool HasMorpher(const MeshNode* mesh) override;
  // Straight from the skin's weight lists, raw.
  int32_t GetSkinInfluenceCount(const MeshNode* mesh, int32_t vertex) override;
  bool GetSkinInfluence(const MeshNode* mesh, int32_t vertex, int32_t k, int32_t* bone,
                        float* weight) override;
  // Active channels only, in the morpher's order.
  int32_t GetMorphChannelCount(const MeshNode* mesh) override;
  const char* GetMorphChannelName(const MeshNode* mesh, int32_t channel) override;
  float GetMorphChannelWeight(const MeshNode* mesh, int32_t channel) override;

  // At the current sample time (export/host/host_mesh_access.h); null for a
  // node without mesh data.
  MeshAccess* OpenMeshAccess(const MeshNode* mesh, bool useColorHeuristic) override;
  MeshAccess* OpenMorphTargetAccess(const MeshNode* mesh, int32_t channel,
                                    bool useColorHeuristic) override;
  void CloseMeshAccess(MeshAccess* access) override;
  MaterialNode* GetMeshMaterial(const MeshNode* mesh) override;

  const char* GetTextureFileName(const TextureNode* texture) override;
  bool GetTextureImage(const TextureNode* texture, ToolImage& image, std::string& error) override;
  int32_t GetSubMaterialCount(const MaterialNode* material) override;
  MaterialNode* GetSubMaterial(const MaterialNode* material, int32_t i) override;
  int32_t GetMaterialMapCount(const MaterialNode* material) override;
  MaterialNode* GetMaterialMap(const MaterialNode* material, int32_t i, const char** slot) override;
  TextureNode* GetMaterialTexture(const MaterialNode* material) override;
  bool GetMaterialDiffuse(const MaterialNode* material, float rgb[3]) override;

  // Host properties (host_tool_properties.cpp): parameters and custom
  // attributes, the user property text and the fixed records of the node,
  // mesh, material and document.
  bool GetBoneProperties(const BoneNode* bone, ToolPropertyScope scope, ToolRecord& out) override;
  bool GetMeshProperties(const MeshNode* mesh, ToolPropertyScope scope, ToolRecord& out) override;
  bool GetMaterialProperties(const MaterialNode* material, ToolPropertyScope scope,
                             ToolRecord& out) override;
  bool GetSceneProperties(ToolPropertyScope scope, ToolRecord& out) override;

  bool ReadSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                         std::vector<uint8_t>& out) override;
  bool WriteSettingsChunk(HostHandle object, uint32_t kind, int32_t index, const uint8_t* data,
                          size_t size) override;
  void RemoveSettingsChunk(HostHandle object, uint32_t kind, int32_t index) override;
  void SetSaveRequired() override { scene_.NeedsSave = true; }

  // For the host side and tests.
  BoneNode* SyntheticRoot() const { return syntheticRoot_; }
  bool LocalSyntheticRoot() const { return localSyntheticRoot_; }
  MeshNode* FindMeshOfHostNode(const Node* node) const;
  MaterialNode* FindMaterialOfHost(const Material* material) const;
  // The host objects behind handles (null when the handle is not ours).
  const Node* NodeOf(HostHandle handle) const;
  const Material* MaterialOf(HostHandle handle) const;

 private:
  // The node's world transform at the current time (cached per tick).
  HostMatrix WorldAtCurrentTime(const Node* node);
  struct SourceInfo {
    std::string Name;
    const ValueTrack* Track = nullptr;  // null: reads 0
    int32_t Dimension = 1;
  };

  void ResetWalk();
  void AddAnimationNodes();
  void WalkChildren(const Node* parent);
  void AddNodeAndAncestors(const Node* node, bool force);
  // Steps shared by the walk and the climb: a mesh (with material and skin
  // bones) and a bone (with track sources); returns the bone or null.
  void AddMeshOf(const Node* node, std::vector<const Node*>& skinBones);
  BoneNode* AddBoneOf(const Node* node, NodeKind kind);
  void GatherMaterial(const Material* material, MeshNode* owner);
  void AddTexture(const Material* map, int32_t slot, bool bump);
  void AddTrackSource(BoneNode* bone, MeshNode* mesh, HostHandle object, std::string name,
                      const ValueTrack* track, int32_t dimension, bool boneFlag);
  void AddNodeTrackSources(const Node* node, NodeKind kind, BoneNode* bone);
  bool FindSyntheticRoot();
  bool AssignedToLocalRoot(const BoneNode* bone) const;
  void MergeModelsOfGraph();
  void BuildBoneNames();
  const char* Intern(const std::string& text);
  const Node* HostNodeOfBone(const BoneNode* bone) const;
  const MorphChannel* ActiveMorphChannel(const MeshNode* mesh, int32_t channel) const;
  static bool Sample(const TrackSourceNode* source, void* context, int32_t tick,
                     TrackSampleDescriptor* descriptor, char* name, float* values,
                     int32_t capacity);

  Scene& scene_;
  WalkOptions options_;
  NodeGraph* graph_ = nullptr;
  BoneNode* syntheticRoot_ = nullptr;
  bool localSyntheticRoot_ = false;
  int32_t currentTime_ = 0;
  // World transforms at worldTick_: sampling asks for every bone and its
  // parent at each tick, and each chain would otherwise be walked anew.
  std::unordered_map<const Node*, HostMatrix> worlds_;
  int32_t worldTick_ = 0;
  std::unordered_map<const Node*, BoneNode*> bones_;
  std::unordered_map<const Node*, MeshNode*> meshes_;
  std::unordered_map<const Material*, MaterialNode*> materials_;
  std::unordered_map<const Material*, TextureNode*> mapTextures_;  // first texture of a map
  std::unordered_map<std::string, TextureNode*> texturesByKey_;    // see AddTexture
  std::unordered_map<const TrackSourceNode*, SourceInfo> sources_;
  std::unordered_map<const BoneNode*, int32_t> depths_;
  std::unordered_set<const HostObject*> handles_;
  std::unordered_map<const AnimationNode*, std::string> animationNames_;  // of takes
  bool namesBuilt_ = false;
  std::unordered_map<const BoneNode*, const char*> boneNames_;
  std::unordered_set<std::string> strings_;
  std::string artToolName_;
  // Custom attributes as records, each converted once per walk: several
  // items share one, and its warnings are said once.
  std::unordered_map<const PropertyOwner*, std::shared_ptr<const ToolRecord>> attributeRecords_;
  // The nodes of each instance group, gathered when a mesh first asks.
  std::unordered_map<int32_t, std::vector<const Node*>> instanceGroups_;
};

// A tool interface over `scene`; never null.
std::unique_ptr<HostToolInterface> CreateToolInterface(Scene& scene, const WalkOptions& options);

}  // namespace ketrel::host
