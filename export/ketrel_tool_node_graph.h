#pragma once
// The scene node graph: the tool-neutral picture of what one export writes.
//
// The host side fills it (by walking its scene) and conversion reads it: it
// iterates the node lists below and asks the ToolInterface about single
// nodes; it never walks the host scene itself. Every node refers to the host
// object it stands for through a HostHandle, which the graph never follows.
//
// Layout: for each kind a count and a singly linked list in creation order,
// new nodes pushed at the head (so lists run newest first). Bones, meshes,
// materials and track sources also belong to exactly one model and are
// linked into that model's lists; models sit in a circular doubly linked
// ring with a sentinel (`NodeGraph::ModelRing`).
//
// Ownership: the graph owns its nodes and the texture names (allocated with
// the library allocator); host objects and SettingsItems are only referred
// to. Creating operations return null when memory runs out, and the node is
// then not linked anywhere. Not thread-safe.

#include <cstddef>
#include <cstdint>

namespace ketrel {

// Identifies a host object (scene node, material, map, modifier). Opaque to
// everything but the host side that made it.
using HostHandle = const void*;

// Defined by the settings tree (export/ketrel_export_ui_tunneling.h).
struct SettingsItem;

struct ModelNode;
struct BoneNode;
struct MeshNode;
struct MaterialNode;
struct TextureNode;
struct TrackSourceNode;
struct MorphSourceNode;
struct AnimationNode;

struct ModelNode {
  SettingsItem* Settings = nullptr;           // model settings
  SettingsItem* AnimationSettings = nullptr;  // settings of its track group
  void* UserData = nullptr;                   // free for conversion
  void* Skeleton = nullptr;                   // the `skeleton` built for it
  ModelNode* Next = nullptr;                  // ring links
  ModelNode* Previous = nullptr;
  int32_t MeshCount = 0;
  MeshNode* Meshes = nullptr;
  int32_t BoneCount = 0;
  BoneNode* Bones = nullptr;
  int32_t MaterialCount = 0;
  MaterialNode* Materials = nullptr;
  int32_t TrackSourceCount = 0;
  TrackSourceNode* TrackSources = nullptr;
};

struct BoneNode {
  SettingsItem* Settings = nullptr;           // bone settings
  SettingsItem* AnimationSettings = nullptr;  // bone animation settings
  int32_t Index = -1;                         // -1 until numbered
  void* Object = nullptr;                     // its `bone` inside the built skeleton
  ModelNode* Model = nullptr;
  BoneNode* NextInModel = nullptr;
  BoneNode* Next = nullptr;
  HostHandle HostNode = nullptr;
};

struct MeshNode {
  SettingsItem* Settings = nullptr;
  void* Object = nullptr;  // the converted mesh
  ModelNode* Model = nullptr;
  MeshNode* NextInModel = nullptr;
  MeshNode* Next = nullptr;
  // Per-export scratch space of mesh conversion, which resets it before use.
  void* Scratch[2] = {nullptr, nullptr};
  int32_t ScratchValues[2] = {0, 0};
  HostHandle HostNode = nullptr;
};

struct MaterialNode {
  SettingsItem* Settings = nullptr;
  void* Object = nullptr;  // its `material`
  ModelNode* Model = nullptr;
  MaterialNode* NextInModel = nullptr;
  MaterialNode* Next = nullptr;
  bool TwoSided = false;  // from the host material
  HostHandle HostMaterial = nullptr;
};

struct TextureNode {
  SettingsItem* Settings = nullptr;
  char* Name = nullptr;    // the texture's file name; owned by the graph
  void* Object = nullptr;  // its `texture`
  bool Bump = false;       // some material uses it in its "Bump" slot
  TextureNode* Next = nullptr;
  HostHandle HostMap = nullptr;
  int32_t Index = -1;  // the host's sub-texture slot, -1 for none
};

// What a track source's sampler reports about its values.
struct TrackSampleDescriptor {
  int32_t Dimension = 0;  // floats per sample
  int32_t Reserved[3] = {0, 0, 0};
};

// Longest track name a sampler reports, terminating zero included.
inline constexpr size_t kTrackNameCapacity = 512;

// Samples one track source at the host time `tick`: fills `descriptor`,
// writes the track name (at most kTrackNameCapacity bytes with its zero) to
// `name` when not null, and, when `values` is not null, min(Dimension,
// capacity) floats of the value. Returns false when the source cannot be
// sampled. `context` is the host side's (its ToolInterface).
using TrackSampleFunction = bool (*)(const TrackSourceNode* source, void* context, int32_t tick,
                                     TrackSampleDescriptor* descriptor, char* name, float* values,
                                     int32_t capacity);

inline constexpr uint32_t kTrackSourceBoneFlag = 1;  // `Flags`: a bone's own source

struct TrackSourceNode {
  BoneNode* Bone = nullptr;  // exactly one of Bone and Mesh is set
  MeshNode* Mesh = nullptr;
  int32_t Index = -1;
  ModelNode* Model = nullptr;
  TrackSourceNode* NextInModel = nullptr;
  TrackSourceNode* Next = nullptr;
  TrackSampleDescriptor Descriptor;  // filled by the sampler
  HostHandle HostObject = nullptr;   // what is sampled
  void* Scratch[2] = {nullptr, nullptr};
  uint32_t Flags = 0;
  uint32_t SecondFlags = 0;
  TrackSampleFunction Sample = nullptr;
  int32_t HostIndex = 0;  // which value of HostObject the sampler reads
};

struct MorphSourceNode {
  SettingsItem* Settings = nullptr;
  MorphSourceNode* Next = nullptr;
  HostHandle HostNode = nullptr;
  HostHandle HostModifier = nullptr;  // the morph modifier found on it
};

struct AnimationNode {
  SettingsItem* Settings = nullptr;
  AnimationNode* Next = nullptr;
  HostHandle HostNode = nullptr;  // the node whose range it covers
  void* Scratch = nullptr;
  int32_t StartTime = 0;  // host ticks
  int32_t EndTime = 0;
  int32_t TicksPerSample = 0;
  int32_t SampleCount = 0;
  // Which of the host's takes it is: its settings chunks are kept under
  // this index. -1 for the scene's one range.
  int32_t SettingsIndex = -1;
};

struct NodeGraph {
  int32_t MeshCount = 0;
  MeshNode* Meshes = nullptr;
  int32_t BoneCount = 0;
  BoneNode* Bones = nullptr;
  int32_t TrackSourceCount = 0;
  TrackSourceNode* TrackSources = nullptr;
  int32_t MaterialCount = 0;
  MaterialNode* Materials = nullptr;
  int32_t TextureCount = 0;
  TextureNode* Textures = nullptr;
  int32_t ModelCount = 0;
  ModelNode ModelRing;  // sentinel: Next is the first model, Previous the last
  int32_t MorphSourceCount = 0;
  MorphSourceNode* MorphSources = nullptr;
  int32_t AnimationCount = 0;
  AnimationNode* Animations = nullptr;
};

// An empty graph (every count zero, the ring holding only its sentinel), or
// null when memory runs out.
NodeGraph* CreateNodeGraph();
// Frees every node, model, texture name and the graph. Accepts null.
void DestroyNodeGraph(NodeGraph* graph);

// A new empty model at the end of the ring.
ModelNode* AddModelNode(NodeGraph* graph);
// A new node of that kind in a new model of its own.
BoneNode* AddBoneNode(NodeGraph* graph);
MeshNode* AddMeshNode(NodeGraph* graph);
MaterialNode* AddMaterialNode(NodeGraph* graph);
// A new track source in a new model, referring to `bone` or `mesh` (not
// null); the caller then merges it into the model of that bone or mesh.
TrackSourceNode* AddBoneTrackSource(NodeGraph* graph, BoneNode* bone);
TrackSourceNode* AddMeshTrackSource(NodeGraph* graph, MeshNode* mesh);
// A new texture with a copy of `name` (not null) and Index -1.
TextureNode* AddTextureNode(NodeGraph* graph, const char* name);
MorphSourceNode* AddMorphSourceNode(NodeGraph* graph);
AnimationNode* AddAnimationNode(NodeGraph* graph);

// Joins two models and returns the survivor (null on bad arguments). The same
// model twice changes nothing. Otherwise the model with the larger sum of
// material, bone and mesh counts absorbs the other (`a` on a tie): the other's
// meshes, bones and track sources move one by one to the front of the
// survivor's lists (so their order reverses), and the absorbed model leaves
// the ring and is freed. Refuses (logs, returns null) when the absorbed model
// holds materials, since those are never moved.
ModelNode* MergeModels(NodeGraph* graph, ModelNode* a, ModelNode* b);

// For a model that holds exactly one bone, no mesh, no material and no track
// source of anything else: unlinks that bone and every track source of that
// bone (wherever it sits; a model left empty by that goes too) from the
// graph, frees them, and removes and frees the model. Returns false (nothing
// changed) for any other model.
bool RemoveLoneBoneModel(NodeGraph* graph, ModelNode* model);

// The first texture (list order) whose name equals `name` (case-sensitive),
// or null.
TextureNode* FindTexture(const NodeGraph* graph, const char* name);
using TexturePredicate = bool (*)(const TextureNode* texture, const void* context);
TextureNode* FindTextureBy(const NodeGraph* graph, TexturePredicate predicate, const void* context);
// The n-th morph source in list order, or null when there are not that many.
MorphSourceNode* GetMorphSource(const NodeGraph* graph, int32_t n);

// Cursors. A cursor over meshes, bones, materials or track sources walks
// either the graph-wide list (`Next`) or one model's list (`NextInModel`);
// it records which. Usable in range-for:
//   for (BoneNode* bone : GraphBones(graph)) ...
template <typename Node>
class NodeCursor {
 public:
  NodeCursor(Node* first, bool inModel) : node_(first), inModel_(inModel) {}
  Node* Get() const { return node_; }
  bool Done() const { return node_ == nullptr; }
  bool InModel() const { return inModel_; }
  void Advance() {
    if (node_) node_ = inModel_ ? node_->NextInModel : node_->Next;
  }
  // Range-for support.
  NodeCursor begin() const { return *this; }
  NodeCursor end() const { return NodeCursor(nullptr, inModel_); }
  Node* operator*() const { return node_; }
  NodeCursor& operator++() {
    Advance();
    return *this;
  }
  bool operator!=(const NodeCursor& other) const { return node_ != other.node_; }

 private:
  Node* node_;
  bool inModel_;
};

inline NodeCursor<MeshNode> GraphMeshes(const NodeGraph* graph) {
  return NodeCursor<MeshNode>(graph ? graph->Meshes : nullptr, false);
}
inline NodeCursor<BoneNode> GraphBones(const NodeGraph* graph) {
  return NodeCursor<BoneNode>(graph ? graph->Bones : nullptr, false);
}
inline NodeCursor<MaterialNode> GraphMaterials(const NodeGraph* graph) {
  return NodeCursor<MaterialNode>(graph ? graph->Materials : nullptr, false);
}
inline NodeCursor<TrackSourceNode> GraphTrackSources(const NodeGraph* graph) {
  return NodeCursor<TrackSourceNode>(graph ? graph->TrackSources : nullptr, false);
}
inline NodeCursor<MeshNode> ModelMeshes(const ModelNode* model) {
  return NodeCursor<MeshNode>(model ? model->Meshes : nullptr, true);
}
inline NodeCursor<BoneNode> ModelBones(const ModelNode* model) {
  return NodeCursor<BoneNode>(model ? model->Bones : nullptr, true);
}
inline NodeCursor<MaterialNode> ModelMaterials(const ModelNode* model) {
  return NodeCursor<MaterialNode>(model ? model->Materials : nullptr, true);
}
inline NodeCursor<TrackSourceNode> ModelTrackSources(const ModelNode* model) {
  return NodeCursor<TrackSourceNode>(model ? model->TrackSources : nullptr, true);
}

// Models newest first: from the last model of the ring back to the sentinel.
class ModelCursor {
 public:
  explicit ModelCursor(const NodeGraph* graph)
      : sentinel_(graph ? &graph->ModelRing : nullptr),
        node_(graph ? graph->ModelRing.Previous : nullptr) {}
  ModelNode* Get() const { return Done() ? nullptr : const_cast<ModelNode*>(node_); }
  bool Done() const { return node_ == nullptr || node_ == sentinel_; }
  void Advance() {
    if (!Done()) node_ = node_->Previous;
  }
  ModelCursor begin() const { return *this; }
  ModelCursor end() const { return ModelCursor(sentinel_); }
  ModelNode* operator*() const { return Get(); }
  ModelCursor& operator++() {
    Advance();
    return *this;
  }
  bool operator!=(const ModelCursor& other) const { return Get() != other.Get(); }

 private:
  explicit ModelCursor(const ModelNode* sentinel) : sentinel_(sentinel), node_(nullptr) {}
  const ModelNode* sentinel_;
  const ModelNode* node_;
};
inline ModelCursor GraphModels(const NodeGraph* graph) { return ModelCursor(graph); }

}  // namespace ketrel
