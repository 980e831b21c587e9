#pragma once
// The questions scene conversion asks the host side, as one abstract class.
//
// A host side (ours: export/host/host_tool_interface.h) walks its scene into a
// NodeGraph and answers these about single graph nodes. Conversion never sees
// the host scene. All answers are given at the current sample time, which
// starts at 0 and is moved by the time operations.
//
// Names: every `const char*` returned stays valid, unchanged, until the tool
// interface is destroyed; equal texts may share one pointer. Null node
// arguments log a parameter check and give a neutral answer (null, 0, false).
//
// Ownership: the tool interface owns the graph from GetNodeGraph until
// ReleaseNodeGraph (or its own destruction).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "export/ketrel_math.h"
#include "export/ketrel_mesh_access.h"
#include "export/ketrel_tool_node_graph.h"
#include "export/ketrel_tool_properties.h"

namespace ketrel {

// A texture's image as the host decodes it: 32-bit pixels (R at byte 0, G 1,
// B 2, A 3), top row first, `Stride` bytes per row.
struct ToolImage {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Stride = 0;
  std::vector<uint8_t> Pixels;
  bool HasAlpha = false;  // the file stores an alpha channel
};

class ToolInterface {
 public:
  virtual ~ToolInterface() = default;

  // --- graph ---
  // Walks the host scene into a new graph; null (after logging) on failure.
  virtual NodeGraph* GetNodeGraph() = 0;
  // Destroys a graph handed out by GetNodeGraph. Accepts null.
  virtual void ReleaseNodeGraph(NodeGraph* graph) = 0;

  // --- time (host ticks) ---
  virtual int32_t GetAnimationStart() = 0;
  virtual int32_t GetAnimationEnd() = 0;
  virtual int32_t GetTicksPerFrame() = 0;
  virtual int32_t GetFrameRate() = 0;
  // (end - start) / ticks per frame, integer division.
  virtual int32_t GetFrameCount() = 0;
  virtual int32_t GetCurrentTime() = 0;
  virtual void SetSampleTimeToStart() = 0;
  // Frame i of n frames spread evenly over the range (the start when n < 2).
  virtual void SetSampleTimeToFrame(int32_t i, int32_t n) = 0;
  // Moves the sample time to host tick `tick` exactly (animation sampling).
  // False when the tool cannot; the animations phase then samples nothing.
  virtual bool SetSampleTime(int32_t /*tick*/) { return false; }
  // Ticks per sample / (ticks per frame * frame rate); 0 when undefined.
  virtual double GetSampleDuration(const AnimationNode* animation) = 0;
  virtual int32_t GetSampleCount(const AnimationNode* animation) = 0;

  // --- names ---
  // Unique among all bones of the graph (shortest distinguishing path).
  virtual const char* GetBoneName(const BoneNode* bone) = 0;
  // The scene node's own name, or with fullPath its ancestors' names below
  // the scene root and its own, top down, joined by "|".
  virtual const char* GetMeshName(const MeshNode* mesh, bool fullPath) = 0;
  // Its root bone's name; a model holding a material is named after its last
  // material.
  virtual const char* GetModelName(const ModelNode* model) = 0;
  virtual const char* GetMaterialName(const MaterialNode* material) = 0;
  // "<unknown>" when it has none.
  virtual const char* GetTextureName(const TextureNode* texture) = 0;
  // The scene node's name, or the scene file's name for the whole scene.
  virtual const char* GetAnimationName(const AnimationNode* animation) = 0;
  virtual const char* GetSceneFileName() = 0;
  // The length of the host's system unit in metres (its master scale).
  virtual double GetSystemUnitInMeters() { return 1.0; }
  // False when the scene's source gave no unit and the one above is only
  // assumed (a BVH capture, an OBJ file).
  virtual bool IsSystemUnitKnown() { return true; }
  // Who made the scene, for the file's art tool record: the host's name
  // (with what it imported the scene from, when it did) and its revision.
  virtual const char* GetArtToolName() = 0;
  virtual void GetArtToolRevision(int32_t& major, int32_t& minor) = 0;
  // The host's axis frame: where its right, up and back directions point in
  // its own coordinates. Unless a host says otherwise, the modelling host's
  // right-handed Z-up frame (right X, up Z, back -Y).
  virtual void GetAxisFrame(float right[3], float up[3], float back[3]) {
    const float r[3] = {1, 0, 0}, u[3] = {0, 0, 1}, b[3] = {0, -1, 0};
    for (int i = 0; i < 3; ++i) right[i] = r[i], up[i] = u[i], back[i] = b[i];
  }
  // The bone's name for n = 0, else the bone's name, "|" and "Notes_<n>".
  virtual const char* GetNoteTrackName(const BoneNode* bone, int32_t n) = 0;
  // The own name of any host object (node, material, map); "" when unknown.
  virtual const char* GetHostObjectName(HostHandle object) = 0;

  // --- hierarchy ---
  // Through the host parent, or the synthetic root bone; null for a root.
  virtual BoneNode* GetParentBone(const BoneNode* bone) = 0;
  // 0 for a bone without a parent bone.
  virtual int32_t GetBoneDepth(const BoneNode* bone) = 0;
  // The scene root, owner of scene-wide settings chunks.
  virtual HostHandle GetSceneRoot() = 0;
  // The bone node standing for a host scene node, or null.
  virtual BoneNode* FindBoneOfHostNode(HostHandle node) = 0;

  // --- transforms (at the current sample time) ---
  // Relative to the graph parent bone (world when there is none) and world.
  // False when either decomposition did not converge (parts still usable).
  virtual bool GetBoneTransforms(const BoneNode* bone, TransformParts& local,
                                 TransformParts& world) = 0;
  // The local part alone, as sampling asks at every tick: a host may skip
  // decomposing the world transform.
  virtual bool GetBoneLocalTransform(const BoneNode* bone, TransformParts& local) {
    TransformParts world;
    return GetBoneTransforms(bone, local, world);
  }

  // --- notes ---
  virtual int32_t GetNoteTrackCount(const BoneNode* bone) = 0;
  virtual int32_t GetNoteKeyCount(const BoneNode* bone, int32_t track) = 0;
  virtual const char* GetNoteKeyText(const BoneNode* bone, int32_t track, int32_t key) = 0;
  // Ticks relative to the animation start.
  virtual int32_t GetNoteKeyTime(const BoneNode* bone, int32_t track, int32_t key) = 0;

  // --- track sources ---
  // Calls the source's sampler at the current sample time. False when it
  // cannot be sampled.
  virtual bool SampleTrackSource(const TrackSourceNode* source, TrackSampleDescriptor& descriptor,
                                 char* name, float* values, int32_t capacity) = 0;

  // --- skins and morphs ---
  // The number of bones the mesh's skin lists (0: no skin).
  virtual int32_t GetSkinBoneCount(const MeshNode* mesh) = 0;
  // The graph bone of skin bone k, or null when that node was not walked.
  virtual BoneNode* GetSkinBone(const MeshNode* mesh, int32_t k) = 0;
  // A skinned vertex's influences as the host stores them (raw weights, not
  // limited or normalised); the bone is a skin bone index. False for
  // arguments out of range.
  virtual int32_t GetSkinInfluenceCount(const MeshNode* /*mesh*/, int32_t /*vertex*/) { return 0; }
  virtual bool GetSkinInfluence(const MeshNode* /*mesh*/, int32_t /*vertex*/, int32_t /*k*/,
                                int32_t* /*bone*/, float* /*weight*/) {
    return false;
  }
  virtual bool HasMorpher(const MeshNode* mesh) = 0;
  // The morph modifier's active channels, numbered 0..count-1.
  virtual int32_t GetMorphChannelCount(const MeshNode* /*mesh*/) { return 0; }
  virtual const char* GetMorphChannelName(const MeshNode* /*mesh*/, int32_t /*channel*/) {
    return nullptr;
  }
  // The channel's weight in percent at the current sample time.
  virtual float GetMorphChannelWeight(const MeshNode* /*mesh*/, int32_t /*channel*/) { return 0; }

  // --- mesh data ---
  // The node's mesh at the current sample time; null when it has none. The
  // colour-map heuristic sorts painted map channels into colours.
  virtual MeshAccess* OpenMeshAccess(const MeshNode* /*mesh*/, bool /*useColorHeuristic*/) {
    return nullptr;
  }
  // The target mesh of an active morph channel, placed like the node's mesh.
  virtual MeshAccess* OpenMorphTargetAccess(const MeshNode* /*mesh*/, int32_t /*channel*/,
                                            bool /*useColorHeuristic*/) {
    return nullptr;
  }
  // Accepts null.
  virtual void CloseMeshAccess(MeshAccess* access) { delete access; }
  // The node's host material (null without one) and the graph node made for it.
  virtual MaterialNode* GetMeshMaterial(const MeshNode* /*mesh*/) { return nullptr; }

  // --- materials and textures ---
  // The texture's source file name ("" when none).
  virtual const char* GetTextureFileName(const TextureNode* texture) = 0;
  // The texture's image, decoded. False, with `error` naming the file and
  // what is wrong with it, when it cannot be had (missing, unreadable,
  // damaged, empty or beyond the sides the host reads).
  virtual bool GetTextureImage(const TextureNode* /*texture*/, ToolImage& /*image*/,
                               std::string& error) {
    error = "the host offers no images";
    return false;
  }
  // A material's sub-materials (multi-materials); null for an empty slot or
  // one that was not gathered.
  virtual int32_t GetSubMaterialCount(const MaterialNode* /*material*/) { return 0; }
  virtual MaterialNode* GetSubMaterial(const MaterialNode* /*material*/, int32_t /*i*/) {
    return nullptr;
  }
  // A material's map slots: the map's material node (null for an empty slot)
  // and the host's name for the slot ("Diffuse", "Bump", ...) in `slot`.
  virtual int32_t GetMaterialMapCount(const MaterialNode* /*material*/) { return 0; }
  virtual MaterialNode* GetMaterialMap(const MaterialNode* /*material*/, int32_t /*i*/,
                                       const char** slot) {
    if (slot) *slot = "";
    return nullptr;
  }
  // For a material that is a bitmap texture: its texture node; else null.
  virtual TextureNode* GetMaterialTexture(const MaterialNode* /*material*/) { return nullptr; }
  // The diffuse colour (RGB, 0..1); false when the material has none.
  virtual bool GetMaterialDiffuse(const MaterialNode* /*material*/, float /*rgb*/[3]) {
    return false;
  }

  // --- host properties (an item's ExtendedData) ---
  // What the host keeps about an item, as records in file order (member
  // names, types and order are the host's description of the item). False
  // when it keeps nothing for it; the item then has no extended data.
  virtual bool GetBoneProperties(const BoneNode* /*bone*/, ToolPropertyScope /*scope*/,
                                 ToolRecord& /*out*/) {
    return false;
  }
  virtual bool GetMeshProperties(const MeshNode* /*mesh*/, ToolPropertyScope /*scope*/,
                                 ToolRecord& /*out*/) {
    return false;
  }
  virtual bool GetMaterialProperties(const MaterialNode* /*material*/, ToolPropertyScope /*scope*/,
                                     ToolRecord& /*out*/) {
    return false;
  }
  // The scene document's property sets, selection sets and layers.
  virtual bool GetSceneProperties(ToolPropertyScope /*scope*/, ToolRecord& /*out*/) {
    return false;
  }

  // --- settings chunks stored on host objects ---
  // False when there is none.
  virtual bool ReadSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                                 std::vector<uint8_t>& out) = 0;
  virtual bool WriteSettingsChunk(HostHandle object, uint32_t kind, int32_t index,
                                  const uint8_t* data, size_t size) = 0;
  virtual void RemoveSettingsChunk(HostHandle object, uint32_t kind, int32_t index) = 0;
  // Marks the host scene as needing a save (settings were stored).
  virtual void SetSaveRequired() = 0;
};

}  // namespace ketrel
