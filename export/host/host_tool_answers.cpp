// The node walk's answers to conversion: time, names (with the unique bone
// names), transforms, notes, skins, morph channels, mesh accessors and
// settings chunks.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>

#include "export/host/host_mesh_access.h"
#include "export/host/host_tool_interface.h"
#include "export/ketrel_version.h"

#include "export/host/host_bitmap.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

// The names of `count` nearest ancestors (below the scene root) and the
// node's own, top down, joined by "|".
std::string PathName(const Node* node, size_t count, const Node* root) {
  std::vector<const Node*> chain{node};
  for (const Node* at = node->Parent; at && at != root && chain.size() <= count; at = at->Parent)
    chain.push_back(at);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += "|";
    path += (*it)->Name;
  }
  return path;
}

size_t AncestorCount(const Node* node, const Node* root) {
  size_t count = 0;
  for (const Node* at = node->Parent; at && at != root; at = at->Parent) ++count;
  return count;
}

const char* Safe(const char* text) { return text ? text : ""; }

}  // namespace

// --- handles ---

const Node* HostToolInterface::NodeOf(HostHandle handle) const {
  const auto* object = static_cast<const HostObject*>(handle);
  if (!handle || !handles_.count(object) || object->Type != HostObjectType::Node) return nullptr;
  return static_cast<const Node*>(object);
}

const Material* HostToolInterface::MaterialOf(HostHandle handle) const {
  const auto* object = static_cast<const HostObject*>(handle);
  if (!handle || !handles_.count(object) || object->Type != HostObjectType::Material)
    return nullptr;
  return static_cast<const Material*>(object);
}

const Node* HostToolInterface::HostNodeOfBone(const BoneNode* bone) const {
  return bone ? NodeOf(bone->HostNode) : nullptr;
}

BoneNode* HostToolInterface::FindBoneOfHostNode(HostHandle handle) {
  auto it = bones_.find(NodeOf(handle));
  return it == bones_.end() ? nullptr : it->second;
}

MeshNode* HostToolInterface::FindMeshOfHostNode(const Node* node) const {
  auto it = meshes_.find(node);
  return it == meshes_.end() ? nullptr : it->second;
}

MaterialNode* HostToolInterface::FindMaterialOfHost(const Material* material) const {
  auto it = materials_.find(material);
  return it == materials_.end() ? nullptr : it->second;
}

const char* HostToolInterface::Intern(const std::string& text) {
  return strings_.insert(text).first->c_str();
}

// --- time ---

int32_t HostToolInterface::GetFrameCount() {
  int64_t range = int64_t(scene_.AnimationEnd) - scene_.AnimationStart;
  return range > 0 ? int32_t(range / scene_.TicksPerFrame()) : 0;
}

void HostToolInterface::SetSampleTimeToFrame(int32_t i, int32_t n) {
  if (n < 2) {
    currentTime_ = scene_.AnimationStart;
    return;
  }
  int64_t range = int64_t(scene_.AnimationEnd) - scene_.AnimationStart;
  // Rounded to the nearest tick; computed in 64 bits so long ranges cannot overflow.
  int64_t offset = (range * i * 2 + (n - 1)) / (int64_t(n - 1) * 2);
  currentTime_ = int32_t(scene_.AnimationStart + offset);
}

double HostToolInterface::GetSampleDuration(const AnimationNode* animation) {
  if (!KT_CHECK_PARAMETER(Host, animation)) return 0;
  double ticksPerSecond = double(scene_.TicksPerFrame()) * scene_.FrameRate;
  return ticksPerSecond > 0 ? animation->TicksPerSample / ticksPerSecond : 0;
}

int32_t HostToolInterface::GetSampleCount(const AnimationNode* animation) {
  if (!KT_CHECK_PARAMETER(Host, animation)) return 0;
  return animation->SampleCount;
}

// --- names ---

void HostToolInterface::BuildBoneNames() {
  namesBuilt_ = true;
  boneNames_.clear();
  const Node* root = scene_.Root.get();
  // Each name is held by one bone or contended (held by nobody); a bone
  // climbs to longer paths until it finds a name nobody else reached.
  std::map<std::string, const BoneNode*> table;
  std::unordered_map<const BoneNode*, size_t> level;
  std::deque<const BoneNode*> work;
  for (BoneNode* bone : GraphBones(graph_)) work.push_back(bone);
  while (!work.empty()) {
    const BoneNode* bone = work.front();
    work.pop_front();
    const Node* node = HostNodeOfBone(bone);
    if (!node) continue;
    size_t at = level[bone];
    if (at > 0 && at > AncestorCount(node, root)) {
      // The whole path is shared: tell them apart by the node's identity,
      // numbered from the scene order so that exports stay reproducible.
      std::string path = PathName(node, SIZE_MAX, root);
      void* identity = reinterpret_cast<void*>(uintptr_t(node->Index) + 1);
      KT_LOG_WARNING_CODE(Host, warning::BonePathDuplicate, path.c_str(),
                          "Duplicate FQN for bone found: %s (UUID assigned: %p)\n", path.c_str(),
                          identity);
      char prefix[32];
      std::snprintf(prefix, sizeof(prefix), "%p", identity);
      boneNames_[bone] = Intern(std::string(prefix) + "|" + path);
      continue;
    }
    std::string candidate = PathName(node, at, root);
    auto it = table.find(candidate);
    if (it == table.end()) {
      table.emplace(candidate, bone);
      boneNames_[bone] = Intern(candidate);
      continue;
    }
    if (const BoneNode* holder = it->second) {
      it->second = nullptr;  // contended from now on
      boneNames_.erase(holder);
      ++level[holder];
      work.push_back(holder);
    }
    ++level[bone];
    work.push_front(bone);
  }
}

const char* HostToolInterface::GetBoneName(const BoneNode* bone) {
  if (!KT_CHECK_PARAMETER(Host, bone)) return "";
  if (!namesBuilt_) BuildBoneNames();
  auto it = boneNames_.find(bone);
  if (it != boneNames_.end()) return it->second;
  const Node* node = HostNodeOfBone(bone);
  return node ? Intern(node->Name) : "";
}

const char* HostToolInterface::GetMeshName(const MeshNode* mesh, bool fullPath) {
  if (!KT_CHECK_PARAMETER(Host, mesh)) return "";
  const Node* node = NodeOf(mesh->HostNode);
  if (!node) return "";
  return Intern(fullPath ? PathName(node, SIZE_MAX, scene_.Root.get()) : node->Name);
}

const char* HostToolInterface::GetModelName(const ModelNode* model) {
  if (!KT_CHECK_PARAMETER(Host, model)) return "";
  if (model->Materials) return GetMaterialName(model->Materials);
  // The shallowest bone, the last in list order on a tie, as the
  // placement, root motion and model settings take it.
  const BoneNode* rootBone = nullptr;
  int32_t bestDepth = 0;
  for (BoneNode* bone : ModelBones(model)) {
    const int32_t depth = GetBoneDepth(bone);
    if (!rootBone || depth <= bestDepth) {
      rootBone = bone;
      bestDepth = depth;
    }
  }
  if (rootBone) return GetBoneName(rootBone);
  if (model->Meshes) return GetMeshName(model->Meshes, false);
  return "";
}

const char* HostToolInterface::GetMaterialName(const MaterialNode* material) {
  if (!KT_CHECK_PARAMETER(Host, material)) return "";
  const Material* host = MaterialOf(material->HostMaterial);
  return host ? Intern(host->Name) : "";
}

const char* HostToolInterface::GetTextureName(const TextureNode* texture) {
  if (!KT_CHECK_PARAMETER(Host, texture)) return "";
  // An image the scene file embeds is known by its own name, not by the
  // file's reference to it ("*0").
  const Material* map = MaterialOf(texture->HostMap);
  if (map && !map->EmbeddedImage.empty() && !map->Name.empty()) return Intern(map->Name);
  return Intern(texture->Name && texture->Name[0] ? texture->Name : "<unknown>");
}

const char* HostToolInterface::GetAnimationName(const AnimationNode* animation) {
  if (!KT_CHECK_PARAMETER(Host, animation)) return "";
  const auto take = animationNames_.find(animation);
  if (take != animationNames_.end()) return Intern(take->second);
  const Node* node = NodeOf(animation->HostNode);
  if (!node || node == scene_.Root.get()) return GetSceneFileName();
  return Intern(node->Name);
}

const char* HostToolInterface::GetSceneFileName() { return Intern(scene_.FileName); }

// Our own host; a scene it imported says from what.
const char* HostToolInterface::GetArtToolName() {
  artToolName_ = scene_.SourceFormat.empty()
                     ? std::string("Ketrel host")
                     : "Ketrel host (Assimp import: " + scene_.SourceFormat + ")";
  return artToolName_.c_str();
}

void HostToolInterface::GetArtToolRevision(int32_t& major, int32_t& minor) {
  major = kExporterMajorRevision;
  minor = kExporterMinorRevision;
}

const char* HostToolInterface::GetNoteTrackName(const BoneNode* bone, int32_t n) {
  const char* name = GetBoneName(bone);
  if (n == 0) return name;
  return Intern(std::string(name) + "|Notes_" + std::to_string(n));
}

const char* HostToolInterface::GetHostObjectName(HostHandle object) {
  const auto* host = static_cast<const HostObject*>(object);
  if (!object || !handles_.count(host)) return "";
  return Intern(host->Name);
}

// --- transforms ---

HostMatrix HostToolInterface::WorldAtCurrentTime(const Node* node) {
  if (worldTick_ != currentTime_) {
    worlds_.clear();
    worldTick_ = currentTime_;
  }
  // Up to the first ancestor already known (or the root), then down again,
  // composing as Scene::NodeTransform does: this node's local first.
  std::vector<const Node*> chain;
  HostMatrix above;  // the world of the node above the chain
  for (const Node* at = node; at && at != scene_.Root.get(); at = at->Parent) {
    auto known = worlds_.find(at);
    if (known != worlds_.end()) {
      above = known->second;
      break;
    }
    // The loader refuses cycles; the cap keeps a hand-built cyclic scene from hanging.
    if (chain.size() > scene_.Nodes.size()) return scene_.NodeTransform(node, currentTime_);
    chain.push_back(at);
  }
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
    above = Multiply((*at)->Transform.Evaluate(currentTime_), above);
    worlds_[*at] = above;
  }
  return above;
}

bool HostToolInterface::GetBoneTransforms(const BoneNode* bone, TransformParts& local,
                                          TransformParts& world) {
  const Node* node = HostNodeOfBone(bone);
  if (!KT_CHECK_PARAMETER(Host, node)) return false;
  HostMatrix matrix = WorldAtCurrentTime(node);
  bool converged = DecomposeHostMatrix(matrix, world);
  if (!converged)
    KT_LOG_WARNING_CODE(Host, warning::TransformDecompositionInexact, node->Name.c_str(),
                        "Unable to accurately decompose MAX transform Q");
  // Relative to the graph parent, which is not always the host parent: the
  // synthetic root, or nothing when the host parent was skipped.
  const Node* parent = HostNodeOfBone(GetParentBone(bone));
  if (!parent) {
    local = world;
    return converged;
  }
  HostMatrix inverse;
  if (!Inverse(WorldAtCurrentTime(parent), inverse)) {
    KT_LOG_WARNING_CODE(Host, warning::BoneTransformSingular, node->Name.c_str(),
                        "Parent transform of %s is singular; using its world transform",
                        node->Name.c_str());
    local = world;
    return false;
  }
  bool localConverged = DecomposeHostMatrix(Multiply(matrix, inverse), local);
  if (!localConverged)
    KT_LOG_WARNING_CODE(Host, warning::TransformDecompositionInexact, node->Name.c_str(),
                        "Unable to accurately decompose MAX transform Q");
  return converged && localConverged;
}

bool HostToolInterface::GetBoneLocalTransform(const BoneNode* bone, TransformParts& local) {
  const Node* node = HostNodeOfBone(bone);
  if (!KT_CHECK_PARAMETER(Host, node)) return false;
  const Node* parent = HostNodeOfBone(GetParentBone(bone));
  HostMatrix inverse;
  if (!parent || !Inverse(WorldAtCurrentTime(parent), inverse)) {
    // The world transform stands in: GetBoneTransforms says so where it must.
    TransformParts world;
    return GetBoneTransforms(bone, local, world);
  }
  bool converged = DecomposeHostMatrix(Multiply(WorldAtCurrentTime(node), inverse), local);
  if (!converged)
    KT_LOG_WARNING_CODE(Host, warning::TransformDecompositionInexact, node->Name.c_str(),
                        "Unable to accurately decompose MAX transform Q");
  return converged;
}

// --- notes ---

int32_t HostToolInterface::GetNoteTrackCount(const BoneNode* bone) {
  const Node* node = HostNodeOfBone(bone);
  if (!KT_CHECK_PARAMETER(Host, node)) return 0;
  return int32_t(node->NoteTracks.size());
}

int32_t HostToolInterface::GetNoteKeyCount(const BoneNode* bone, int32_t track) {
  const Node* node = HostNodeOfBone(bone);
  if (!KT_CHECK_PARAMETER(Host, node && track >= 0 && size_t(track) < node->NoteTracks.size()))
    return 0;
  return int32_t(node->NoteTracks[size_t(track)].size());
}

const char* HostToolInterface::GetNoteKeyText(const BoneNode* bone, int32_t track, int32_t key) {
  if (key < 0 || key >= GetNoteKeyCount(bone, track)) return "";
  return Intern(HostNodeOfBone(bone)->NoteTracks[size_t(track)][size_t(key)].Text);
}

int32_t HostToolInterface::GetNoteKeyTime(const BoneNode* bone, int32_t track, int32_t key) {
  if (key < 0 || key >= GetNoteKeyCount(bone, track)) return 0;
  int64_t tick = HostNodeOfBone(bone)->NoteTracks[size_t(track)][size_t(key)].Tick;
  return int32_t(std::clamp<int64_t>(tick - scene_.AnimationStart, INT32_MIN, INT32_MAX));
}

// --- skins and morphs ---

int32_t HostToolInterface::GetSkinBoneCount(const MeshNode* mesh) {
  const Node* node = mesh ? NodeOf(mesh->HostNode) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, node)) return 0;
  return int32_t(node->SkinBones.size());
}

BoneNode* HostToolInterface::GetSkinBone(const MeshNode* mesh, int32_t k) {
  if (k < 0 || k >= GetSkinBoneCount(mesh)) return nullptr;
  auto it = bones_.find(NodeOf(mesh->HostNode)->SkinBones[size_t(k)]);
  return it == bones_.end() ? nullptr : it->second;
}

bool HostToolInterface::HasMorpher(const MeshNode* mesh) {
  const Node* node = mesh ? NodeOf(mesh->HostNode) : nullptr;
  return node && node->HasMorpher;
}

int32_t HostToolInterface::GetSkinInfluenceCount(const MeshNode* mesh, int32_t vertex) {
  if (GetSkinBoneCount(mesh) == 0) return 0;
  const Node* node = NodeOf(mesh->HostNode);
  if (vertex < 0 || size_t(vertex) >= node->SkinWeights.size()) return 0;
  return int32_t(node->SkinWeights[size_t(vertex)].size());
}

bool HostToolInterface::GetSkinInfluence(const MeshNode* mesh, int32_t vertex, int32_t k,
                                         int32_t* bone, float* weight) {
  if (k < 0 || k >= GetSkinInfluenceCount(mesh, vertex)) return false;
  const SkinInfluence& influence = NodeOf(mesh->HostNode)->SkinWeights[size_t(vertex)][size_t(k)];
  if (bone) *bone = influence.Bone;
  if (weight) *weight = influence.Weight;
  return true;
}

const MorphChannel* HostToolInterface::ActiveMorphChannel(const MeshNode* mesh,
                                                          int32_t channel) const {
  const Node* node = mesh ? NodeOf(mesh->HostNode) : nullptr;
  if (!node || !node->HasMorpher || channel < 0) return nullptr;
  for (const MorphChannel& morph : node->MorphChannels)
    if (morph.Active && channel-- == 0) return &morph;
  return nullptr;
}

int32_t HostToolInterface::GetMorphChannelCount(const MeshNode* mesh) {
  const Node* node = mesh ? NodeOf(mesh->HostNode) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, node)) return 0;
  if (!node->HasMorpher) return 0;
  return int32_t(std::count_if(node->MorphChannels.begin(), node->MorphChannels.end(),
                               [](const MorphChannel& morph) { return morph.Active; }));
}

const char* HostToolInterface::GetMorphChannelName(const MeshNode* mesh, int32_t channel) {
  const MorphChannel* morph = ActiveMorphChannel(mesh, channel);
  return morph ? Intern(morph->Name) : nullptr;
}

float HostToolInterface::GetMorphChannelWeight(const MeshNode* mesh, int32_t channel) {
  const MorphChannel* morph = ActiveMorphChannel(mesh, channel);
  float weight = 0;
  if (morph) morph->Weight.Evaluate(currentTime_, &weight);
  return weight;
}

// --- mesh data ---

MeshAccess* HostToolInterface::OpenMeshAccess(const MeshNode* mesh, bool useColorHeuristic) {
  const Node* node = mesh ? NodeOf(mesh->HostNode) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, node)) return nullptr;
  return HostMeshAccess::Open(scene_, *node, currentTime_, useColorHeuristic).release();
}

MeshAccess* HostToolInterface::OpenMorphTargetAccess(const MeshNode* mesh, int32_t channel,
                                                     bool useColorHeuristic) {
  const Node* node = mesh ? NodeOf(mesh->HostNode) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, node) || !node->HasMorpher) return nullptr;
  return HostMeshAccess::OpenMorphTarget(scene_, *node, channel, currentTime_, useColorHeuristic)
      .release();
}

void HostToolInterface::CloseMeshAccess(MeshAccess* access) { delete access; }

MaterialNode* HostToolInterface::GetMeshMaterial(const MeshNode* mesh) {
  const Node* node = mesh ? NodeOf(mesh->HostNode) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, node)) return nullptr;
  return FindMaterialOfHost(node->NodeMaterial);
}

const char* HostToolInterface::GetTextureFileName(const TextureNode* texture) {
  if (!KT_CHECK_PARAMETER(Host, texture)) return "";
  // As the scene writes it: a file must not change with the folder the
  // scene is exported from. Images are read from the resolved path.
  const Material* map = MaterialOf(texture->HostMap);
  if (map && !map->EmbeddedImage.empty() && !map->Name.empty()) return Intern(map->Name);
  return Intern(map ? map->FileName : Safe(texture->Name));
}

bool HostToolInterface::GetTextureImage(const TextureNode* texture, ToolImage& image,
                                        std::string& error) {
  const Material* map = texture ? MaterialOf(texture->HostMap) : nullptr;
  if (!map) {
    error = "the texture has no bitmap in the scene";
    return false;
  }
  Bitmap bitmap;
  if (!LoadHostBitmap(*map, bitmap, error)) return false;
  image.Width = bitmap.Width;
  image.Height = bitmap.Height;
  image.Stride = bitmap.Width * 4;
  image.HasAlpha = bitmap.HasAlpha;
  image.Pixels = std::move(bitmap.Pixels);
  return true;
}

int32_t HostToolInterface::GetSubMaterialCount(const MaterialNode* material) {
  const Material* host = material ? MaterialOf(material->HostMaterial) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, host)) return 0;
  return host->IsMaterial() ? int32_t(host->SubMaterials.size()) : 0;
}

MaterialNode* HostToolInterface::GetSubMaterial(const MaterialNode* material, int32_t i) {
  if (i < 0 || i >= GetSubMaterialCount(material)) return nullptr;
  return FindMaterialOfHost(MaterialOf(material->HostMaterial)->SubMaterials[size_t(i)]);
}

int32_t HostToolInterface::GetMaterialMapCount(const MaterialNode* material) {
  const Material* host = material ? MaterialOf(material->HostMaterial) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, host)) return 0;
  return int32_t(host->Maps.size());
}

MaterialNode* HostToolInterface::GetMaterialMap(const MaterialNode* material, int32_t i,
                                                const char** slot) {
  if (slot) *slot = "";
  if (i < 0 || i >= GetMaterialMapCount(material)) return nullptr;
  const Material::MapSlot& entry = MaterialOf(material->HostMaterial)->Maps[size_t(i)];
  if (slot) *slot = Intern(entry.Slot);
  return FindMaterialOfHost(entry.Map);
}

TextureNode* HostToolInterface::GetMaterialTexture(const MaterialNode* material) {
  const Material* host = material ? MaterialOf(material->HostMaterial) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, host)) return nullptr;
  auto it = mapTextures_.find(host);
  return host->IsBitmap() && it != mapTextures_.end() ? it->second : nullptr;
}

bool HostToolInterface::GetMaterialDiffuse(const MaterialNode* material, float rgb[3]) {
  const Material* host = material ? MaterialOf(material->HostMaterial) : nullptr;
  if (!KT_CHECK_PARAMETER(Host, host && rgb)) return false;
  if (!host->IsMaterial()) return false;
  for (int c = 0; c < 3; ++c) rgb[c] = host->Diffuse[c];
  return true;
}

// --- settings chunks ---

bool HostToolInterface::ReadSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                                          std::vector<uint8_t>& out) {
  const auto* host = static_cast<const HostObject*>(object);
  if (!KT_CHECK_PARAMETER(Host, object && handles_.count(host))) return false;
  auto it = host->Settings.find({kind, index});
  if (it == host->Settings.end()) return false;
  out = it->second;
  return true;
}

bool HostToolInterface::WriteSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                                           const uint8_t* data, size_t size) {
  const auto* host = static_cast<const HostObject*>(object);
  if (!KT_CHECK_PARAMETER(Host, object && handles_.count(host) && (data || size == 0)))
    return false;
  // The scene is ours to change; handles are const only to conversion.
  auto* target = const_cast<HostObject*>(host);
  target->Settings[{kind, index}] = std::vector<uint8_t>(data, data + size);
  scene_.NeedsSave = true;
  return true;
}

void HostToolInterface::RemoveSettingsChunk(HostHandle object, uint32_t kind, int32_t index) {
  const auto* host = static_cast<const HostObject*>(object);
  if (!KT_CHECK_PARAMETER(Host, object && handles_.count(host))) return;
  if (const_cast<HostObject*>(host)->Settings.erase({kind, index})) scene_.NeedsSave = true;
}

}  // namespace ketrel::host
