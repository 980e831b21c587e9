#include "export/host/host_tool_interface.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>

#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

constexpr ClassId kCapsuleClass{0x6D3D77AC, 0x79C939A9};
constexpr uint32_t kBoneInterface = 0x10D0;
constexpr uint32_t kBoneGeometryClasses[] = {
    0x0A, 0xAA, 0x1040, 0x1065, 0x1097, 0x1993, 0x1996, 0x1999, 0x93257030, 0xA2B72EF6, 0xFAEAD70C};
constexpr ClassId kBipedControllers[] = {{0x9154, 0}, {0x9156, 0}, {0x3011, 0}};
constexpr ClassId kExporterHelperClass{0x3A22708B, 0x2DB14ACC};
constexpr uint32_t kSkippedClassSecondParts[] = {0x1EB34100, 0x1EB34200, 0x1EB34300, 0x1EB34400};
constexpr ClassId kBoneBaseClasses[] = {{0x2E6A0C09, 0x43D5C9C0}, {0x73DC4833, 0x65C93CAA}};
constexpr ClassId kParameterlessMaterialClass{0x61DC0CD7, 0x13640AF6};

constexpr const char* kCameraParameters[] = {"FOV",
                                             "Target Distance",
                                             "Near Clip Distance",
                                             "Far Clip Distance",
                                             "Near Environment Range",
                                             "Far Environment Range"};
constexpr const char* kLightParameters[] = {"Hotspot",
                                            "Falloff",
                                            "Near Attenuation Start",
                                            "Near Attenuation End",
                                            "Far Attenuation Start",
                                            "Far Attenuation End",
                                            "Target Distance",
                                            "Color",
                                            "Intensity",
                                            "Aspect",
                                            "Map Bias",
                                            "Map Size",
                                            "Ray Bias"};

template <typename T, size_t N>
bool Contains(const T (&list)[N], const T& value) {
  return std::find(std::begin(list), std::end(list), value) != std::end(list);
}

bool ContainsNoCase(const std::string& text, const std::string& part) {
  auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

// The kind from the object alone, before the controller and helper overrides.
NodeKind ClassifyObject(const Node* node, bool followTarget) {
  // Mesh data without an object description (an imported mesh) is a mesh.
  if (!node->HasObject) return node->HasMesh ? NodeKind::Mesh : NodeKind::Other;
  const SceneObject& object = node->Object;
  switch (object.SuperClass) {
    case kGeometrySuperClass:
    case kShapeSuperClass: {
      if (object.Class == kCapsuleClass) return NodeKind::Capsule;
      if (std::find(object.Interfaces.begin(), object.Interfaces.end(), kBoneInterface) !=
          object.Interfaces.end())
        return NodeKind::InterfaceBone;
      uint32_t first = object.Class.a;
      if (first == 0x10) return NodeKind::Box;
      if (first == 0x11) return NodeKind::Sphere;
      if (Contains(kBoneGeometryClasses, first)) return NodeKind::BoneGeometry;
      if (first == kTargetObjectClass.a) {
        // A target is treated like the object that looks at it; one level
        // only, so targets looking at each other cannot loop.
        if (!followTarget || !node->LookedAtBy) return NodeKind::Other;
        return ClassifyObject(node->LookedAtBy, false);
      }
      return NodeKind::Mesh;
    }
    case kCameraSuperClass:
      return NodeKind::Camera;
    case kLightSuperClass:
      return NodeKind::Light;
    default:
      return NodeKind::Other;
  }
}

}  // namespace

NodeKind ClassifyNode(const Node* node) {
  if (!node) return NodeKind::Other;
  NodeKind kind = ClassifyObject(node, true);
  if (Contains(kBipedControllers, node->Transform.Class)) kind = NodeKind::Other;
  if (node->HasObject) {
    const SceneObject& object = node->Object;
    if (object.Class == kExporterHelperClass || Contains(kSkippedClassSecondParts, object.Class.b))
      kind = NodeKind::Skipped;
    if (Contains(kBoneBaseClasses, object.BaseClass)) kind = NodeKind::Other;
  }
  return kind;
}

HostToolInterface::HostToolInterface(Scene& scene, WalkOptions options)
    : scene_(scene), options_(std::move(options)) {
  handles_.insert(scene_.Root.get());
  for (const auto& node : scene_.Nodes) handles_.insert(node.get());
  for (const auto& material : scene_.Materials) handles_.insert(material.get());
}

HostToolInterface::~HostToolInterface() { ReleaseNodeGraph(graph_); }

std::unique_ptr<HostToolInterface> CreateToolInterface(Scene& scene, const WalkOptions& options) {
  return std::make_unique<HostToolInterface>(scene, options);
}

void HostToolInterface::ResetWalk() {
  worlds_.clear();
  attributeRecords_.clear();
  instanceGroups_.clear();
  bones_.clear();
  meshes_.clear();
  materials_.clear();
  mapTextures_.clear();
  texturesByKey_.clear();
  sources_.clear();
  depths_.clear();
  boneNames_.clear();
  animationNames_.clear();
  namesBuilt_ = false;
  syntheticRoot_ = nullptr;
  localSyntheticRoot_ = false;
}

void HostToolInterface::ReleaseNodeGraph(NodeGraph* graph) {
  if (!graph) return;
  if (graph == graph_) {
    graph_ = nullptr;
    ResetWalk();
  }
  DestroyNodeGraph(graph);
}

// --- the walk ---

// One animation node per take, named after it (a repeated name gets "_2",
// "_3", ...), or one for the scene's range, named after the file. The list
// runs newest first, so the takes are added last to first and the file
// keeps their order. A take shorter than a frame is one frame long.
void HostToolInterface::AddAnimationNodes() {
  animationNames_.clear();
  if (scene_.Takes.empty()) {
    const int32_t frames = GetFrameCount();
    if (frames == 0) return;
    if (AnimationNode* animation = AddAnimationNode(graph_)) {
      animation->HostNode = HandleOf(scene_.Root.get());
      animation->StartTime = scene_.AnimationStart;
      animation->EndTime = scene_.AnimationEnd;
      animation->TicksPerSample = scene_.TicksPerFrame();
      animation->SampleCount = frames;
    }
    return;
  }
  const std::vector<std::string> names = UniqueTakeNames(scene_);
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] != scene_.Takes[i].Name)
      KT_LOG_WARNING_CODE(Host, warning::TakeRenamed, scene_.Takes[i].Name.c_str(),
                          "Two takes are named %s; the later one is called %s",
                          scene_.Takes[i].Name.c_str(), names[i].c_str());
  }
  for (size_t i = scene_.Takes.size(); i-- > 0;) {
    const Take& take = scene_.Takes[i];
    const std::vector<int32_t>& only = options_.Takes;
    if (!only.empty() && std::find(only.begin(), only.end(), int32_t(i)) == only.end()) continue;
    const int32_t perFrame = scene_.TakeTicksPerFrame(take);
    const int64_t length = int64_t(take.End) - take.Start;
    int32_t frames = perFrame > 0 && length > 0 ? int32_t(length / perFrame) : 0;
    if (frames == 0) {
      KT_LOG_WARNING_CODE(
          Host, warning::TakeLengthChanged, names[i].c_str(),
          "Take %s is %lld ticks long, less than a frame; it is exported as one frame",
          names[i].c_str(), static_cast<long long>(length));
      frames = 1;
    } else if (length % perFrame != 0) {
      KT_LOG_WARNING_CODE(
          Host, warning::TakeLengthChanged, names[i].c_str(),
          "Take %s ends %lld ticks after its last whole frame; its animation ends at "
          "that frame",
          names[i].c_str(), static_cast<long long>(length % perFrame));
    }
    AnimationNode* animation = AddAnimationNode(graph_);
    if (!animation) continue;
    animation->HostNode = HandleOf(scene_.Root.get());
    animation->StartTime = take.Start;
    animation->EndTime = int32_t(int64_t(take.Start) + int64_t(frames) * perFrame);
    animation->TicksPerSample = perFrame;
    animation->SampleCount = frames;
    animation->SettingsIndex = int32_t(i);
    animationNames_[animation] = names[i];
  }
}

NodeGraph* HostToolInterface::GetNodeGraph() {
  ReleaseNodeGraph(graph_);
  worlds_.clear();  // the scene may have changed since the last walk
  graph_ = CreateNodeGraph();
  if (!graph_) return nullptr;
  WalkChildren(scene_.Root.get());
  AddAnimationNodes();
  if (graph_->AnimationCount > 0) {
    for (MeshNode* mesh : GraphMeshes(graph_)) {
      const Node* node = NodeOf(mesh->HostNode);
      if (!node || !node->HasMorpher) continue;
      if (MorphSourceNode* source = AddMorphSourceNode(graph_)) {
        source->HostNode = mesh->HostNode;
        // The morpher is part of the node in our scene model.
        source->HostModifier = mesh->HostNode;
      }
    }
  }
  if (!FindSyntheticRoot()) {
    ReleaseNodeGraph(graph_);
    return nullptr;
  }
  MergeModelsOfGraph();
  return graph_;
}

void HostToolInterface::WalkChildren(const Node* parent) {
  // Depth-first in child order, with an explicit stack so that deep
  // hierarchies cannot exhaust the call stack.
  std::vector<std::pair<const Node*, size_t>> stack{{parent, 0}};
  while (!stack.empty()) {
    auto& [at, next] = stack.back();
    if (next >= at->Children.size()) {
      stack.pop_back();
      continue;
    }
    const Node* child = at->Children[next++];
    if (!child) continue;
    if (!options_.SelectedOnly || child->Selected) AddNodeAndAncestors(child, false);
    stack.push_back({child, 0});
  }
}

void HostToolInterface::AddNodeAndAncestors(const Node* start, bool force) {
  // Skin bones found on the way are added by force, after the node in hand;
  // a work list instead of recursion keeps the stack flat.
  std::vector<std::pair<const Node*, bool>> work{{start, force}};
  while (!work.empty()) {
    auto [node, forced] = work.back();
    work.pop_back();
    std::vector<const Node*> skinBones;
    for (const Node* at = node; at && at != scene_.Root.get(); at = at->Parent) {
      NodeKind kind = ClassifyNode(at);
      if (kind == NodeKind::Skipped) break;
      if (!(forced && at == node) && IsMeshKind(kind) && !meshes_.count(at))
        AddMeshOf(at, skinBones);
      if (bones_.count(at)) break;
      if (!AddBoneOf(at, kind)) break;
    }
    for (auto it = skinBones.rbegin(); it != skinBones.rend(); ++it) work.push_back({*it, true});
  }
}

void HostToolInterface::AddMeshOf(const Node* node, std::vector<const Node*>& skinBones) {
  MeshNode* mesh = AddMeshNode(graph_);
  if (!mesh) return;
  mesh->HostNode = HandleOf(node);
  meshes_[node] = mesh;
  GatherMaterial(node->NodeMaterial, mesh);
  for (const Node* bone : node->SkinBones)
    if (bone) skinBones.push_back(bone);
}

BoneNode* HostToolInterface::AddBoneOf(const Node* node, NodeKind kind) {
  BoneNode* bone = AddBoneNode(graph_);
  if (!bone) return nullptr;
  bone->HostNode = HandleOf(node);
  bones_[node] = bone;
  // Space warps, systems and the like: the node's transform goes in as a
  // bone, what its object is goes nowhere.
  if (node->HasObject) {
    const uint32_t super = node->Object.SuperClass;
    if (super != kGeometrySuperClass && super != kShapeSuperClass && super != kCameraSuperClass &&
        super != kLightSuperClass && super != kHelperSuperClass) {
      KT_LOG_WARNING_CODE(Host, warning::HostObjectUnsupported, node->Name.c_str(),
                          "Node %s holds an object of a kind that is not exported (super class "
                          "0x%x, class 0x%x:0x%x); only its transform is exported, as a bone",
                          node->Name.c_str(), unsigned(super), unsigned(node->Object.Class.a),
                          unsigned(node->Object.Class.b));
    }
  }
  if (kind == NodeKind::Light && node->ProjectorMap) {
    GatherMaterial(node->ProjectorMap, nullptr);
    if (node->ProjectorMap->IsBitmap()) AddTexture(node->ProjectorMap, -1, false);
  }
  AddNodeTrackSources(node, kind, bone);
  return bone;
}

void HostToolInterface::GatherMaterial(const Material* root, MeshNode* owner) {
  if (!root || materials_.count(root)) return;
  std::vector<const Material*> pending{root};
  while (!pending.empty()) {
    const Material* material = pending.back();
    pending.pop_back();
    if (!material || materials_.count(material)) continue;
    MaterialNode* node = AddMaterialNode(graph_);
    if (!node) {
      KT_LOG_ERROR(Host, "Out of memory for material list");
      continue;
    }
    node->HostMaterial = HandleOf(material);
    node->TwoSided = material->TwoSided;
    materials_[material] = node;
    if (owner && material->Class != kParameterlessMaterialClass) {
      for (const Parameter& parameter : material->Parameters) {
        if (parameter.Track.Animated())
          AddTrackSource(nullptr, owner, HandleOf(material), parameter.Name, &parameter.Track,
                         parameter.Track.Dimension, false);
      }
    }
    if (material->IsMaterial())
      for (const Material* sub : material->SubMaterials) pending.push_back(sub);
    for (size_t slot = 0; slot < material->Maps.size(); ++slot) {
      const Material* map = material->Maps[slot].Map;
      if (!map) continue;
      pending.push_back(map);
      // Normal maps are bump maps to the exporter (their own formats).
      const std::string& name = material->Maps[slot].Slot;
      if (map->IsBitmap()) AddTexture(map, int32_t(slot), name == "Bump" || name == "Normal");
    }
  }
}

void HostToolInterface::AddTexture(const Material* map, int32_t slot, bool bump) {
  // Shared: one texture per file, whichever slots and materials use it;
  // otherwise one per map and slot. Looked up by key, so a scene of many
  // map slots is walked in time linear in them.
  std::string key =
      options_.ShareTextures
          ? "file:" + map->FileName
          : "map:" + std::to_string(reinterpret_cast<uintptr_t>(map)) + ":" + std::to_string(slot);
  auto found = texturesByKey_.find(key);
  TextureNode* texture = found != texturesByKey_.end() ? found->second : nullptr;
  if (!texture) {
    texture = AddTextureNode(graph_, map->FileName.c_str());
    if (!texture) {
      KT_LOG_ERROR(Host, "Out of memory for texture list");
      return;
    }
    texture->HostMap = HandleOf(map);
    texture->Index = slot;
    texturesByKey_.emplace(std::move(key), texture);
  }
  texture->Bump = texture->Bump || bump;
  mapTextures_.emplace(map, texture);
}

void HostToolInterface::AddTrackSource(BoneNode* bone, MeshNode* mesh, HostHandle object,
                                       std::string name, const ValueTrack* track, int32_t dimension,
                                       bool boneFlag) {
  TrackSourceNode* source =
      bone ? AddBoneTrackSource(graph_, bone) : AddMeshTrackSource(graph_, mesh);
  if (!source) return;
  source->HostObject = object;
  source->Flags = boneFlag ? kTrackSourceBoneFlag : 0;
  source->Sample = &HostToolInterface::Sample;
  source->Descriptor.Dimension = dimension;
  if (name.size() >= kTrackNameCapacity) name.resize(kTrackNameCapacity - 1);
  sources_[source] = SourceInfo{std::move(name), track, dimension};
  MergeModels(graph_, bone ? bone->Model : mesh->Model, source->Model);
}

void HostToolInterface::AddNodeTrackSources(const Node* node, NodeKind kind, BoneNode* bone) {
  if (node->HasVisibility)
    AddTrackSource(bone, nullptr, HandleOf(node), node->Name + "_visibility", &node->Visibility, 1,
                   true);
  auto parameter = [&](const char* name) -> const ValueTrack* {
    for (const Parameter& p : node->Parameters)
      if (p.Name == name) return &p.Track;
    return nullptr;
  };
  std::vector<std::string> named;
  if (kind == NodeKind::Camera && node->HasObject && node->Object.SuperClass == kCameraSuperClass)
    named.assign(std::begin(kCameraParameters), std::end(kCameraParameters));
  if (kind == NodeKind::Light && node->HasObject && node->Object.SuperClass == kLightSuperClass)
    named.assign(std::begin(kLightParameters), std::end(kLightParameters));
  for (const std::string& name : named) {
    const ValueTrack* track = parameter(name.c_str());
    AddTrackSource(bone, nullptr, HandleOf(node), name, track, track ? track->Dimension : 1, false);
  }
  for (const Parameter& p : node->Parameters) {
    if (!p.Track.Animated()) continue;
    if (std::find(named.begin(), named.end(), p.Name) != named.end()) continue;
    AddTrackSource(bone, nullptr, HandleOf(node), p.Name, &p.Track, p.Track.Dimension, false);
  }
}

bool HostToolInterface::Sample(const TrackSourceNode* source, void* context, int32_t tick,
                               TrackSampleDescriptor* descriptor, char* name, float* values,
                               int32_t capacity) {
  auto* self = static_cast<HostToolInterface*>(context);
  if (!self) return false;
  auto it = self->sources_.find(source);
  if (it == self->sources_.end()) return false;
  const SourceInfo& info = it->second;
  if (descriptor) {
    *descriptor = TrackSampleDescriptor{};
    descriptor->Dimension = info.Dimension;
  }
  if (name) std::snprintf(name, kTrackNameCapacity, "%s", info.Name.c_str());
  if (values && capacity > 0) {
    std::vector<float> sample(size_t(std::max(info.Dimension, 1)), 0.0f);
    if (info.Track && info.Track->Dimension == info.Dimension)
      info.Track->Evaluate(tick, sample.data());
    for (int32_t d = 0; d < std::min(capacity, info.Dimension); ++d) values[d] = sample[size_t(d)];
  }
  return true;
}

bool HostToolInterface::SampleTrackSource(const TrackSourceNode* source,
                                          TrackSampleDescriptor& descriptor, char* name,
                                          float* values, int32_t capacity) {
  if (!KT_CHECK_PARAMETER(Host, source && source->Sample)) return false;
  return source->Sample(source, this, currentTime_, &descriptor, name, values, capacity);
}

// --- synthetic root and merging ---

bool HostToolInterface::FindSyntheticRoot() {
  bool named = !options_.SyntheticRootName.empty();
  std::string sought = named ? options_.SyntheticRootName : "KetrelRootBone";
  for (BoneNode* bone : GraphBones(graph_)) {
    const Node* node = HostNodeOfBone(bone);
    if (!node || !ContainsNoCase(node->Name, sought)) continue;
    if (syntheticRoot_)
      KT_LOG_ERROR(Host,
                   "Found two SRBs in the scene. Using a random one, which is probably not what "
                   "you wanted.");
    syntheticRoot_ = bone;
  }
  if (named && !syntheticRoot_) {
    KT_LOG_ERROR(Host, "Synthetic root bone \"%s\" not found in the scene", sought.c_str());
    return false;
  }
  localSyntheticRoot_ =
      named ? options_.LocalSyntheticRoot
            : syntheticRoot_ &&
                  ContainsNoCase(HostNodeOfBone(syntheticRoot_)->Name, "KetrelRootBoneLocal");
  return true;
}

// A local synthetic root adopts only the parentless bones of its own host
// hierarchy (same top-level ancestor); a global one adopts all of them.
bool HostToolInterface::AssignedToLocalRoot(const BoneNode* bone) const {
  auto top = [&](const Node* node) {
    while (node && node->Parent && node->Parent != scene_.Root.get()) node = node->Parent;
    return node;
  };
  return top(HostNodeOfBone(bone)) == top(HostNodeOfBone(syntheticRoot_));
}

BoneNode* HostToolInterface::GetParentBone(const BoneNode* bone) {
  if (!KT_CHECK_PARAMETER(Host, bone)) return nullptr;
  // The synthetic root is a root even when its host node sits under a bone;
  // anything else would let its own ancestors hang below it in a cycle.
  if (bone == syntheticRoot_) return nullptr;
  const Node* node = HostNodeOfBone(bone);
  if (node && node->Parent) {
    auto it = bones_.find(node->Parent);
    if (it != bones_.end()) return it->second;
  }
  if (syntheticRoot_ && (!localSyntheticRoot_ || AssignedToLocalRoot(bone))) return syntheticRoot_;
  return nullptr;
}

int32_t HostToolInterface::GetBoneDepth(const BoneNode* bone) {
  if (!KT_CHECK_PARAMETER(Host, bone)) return 0;
  // Depths are cached, since deep hierarchies ask for every bone. Parent
  // chains end (host parents are finite and the synthetic root has none);
  // the limit only guards against a damaged scene.
  std::vector<const BoneNode*> chain;
  int32_t depth = -1;
  for (const BoneNode* at = bone; at && chain.size() <= bones_.size(); at = GetParentBone(at)) {
    auto it = depths_.find(at);
    if (it != depths_.end()) {
      depth = it->second;
      break;
    }
    chain.push_back(at);
  }
  for (size_t k = chain.size(); k-- > 0;) depths_[chain[k]] = ++depth;
  return depths_[bone];
}

void HostToolInterface::MergeModelsOfGraph() {
  for (BoneNode* bone : GraphBones(graph_)) {
    if (bone == syntheticRoot_) continue;
    if (BoneNode* parent = GetParentBone(bone)) MergeModels(graph_, bone->Model, parent->Model);
  }
  for (MeshNode* mesh : GraphMeshes(graph_)) {
    const Node* node = NodeOf(mesh->HostNode);
    if (!node) continue;
    auto own = bones_.find(node);
    if (!node->SkinBones.empty()) {
      for (const Node* skinBone : node->SkinBones) {
        auto it = bones_.find(skinBone);
        if (it != bones_.end()) MergeModels(graph_, mesh->Model, it->second->Model);
      }
      // A skinned mesh's own node is usually just its container: drop it
      // when it is a bone on its own.
      if (own != bones_.end() && own->second != syntheticRoot_ &&
          own->second->Model != mesh->Model && own->second->Model->MeshCount == 0) {
        const BoneNode* ownBone = own->second;
        std::vector<const TrackSourceNode*> doomed;
        for (TrackSourceNode* source : GraphTrackSources(graph_))
          if (source->Bone == ownBone) doomed.push_back(source);
        if (RemoveLoneBoneModel(graph_, own->second->Model)) {
          for (const TrackSourceNode* source : doomed) sources_.erase(source);
          boneNames_.erase(ownBone);
          bones_.erase(own);
        }
      }
    } else if (own != bones_.end()) {
      MergeModels(graph_, mesh->Model, own->second->Model);
    }
  }
}

}  // namespace ketrel::host
