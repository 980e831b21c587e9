#pragma once
// Our host's mesh accessor: a mesh node's evaluated mesh at one tick, as
// mesh conversion reads it (export/ketrel_mesh_access.h).
//
// Evaluation, as the host's modifier stack does it: the base mesh; plus each
// active morph channel whose target has the base's vertex count, blended by
// its weight in percent ((target - base) * weight / 100); then the skin, when
// it has bones and one weight list per vertex: each vertex goes to world
// space by the blend of its bones' matrices (mesh bind transform, inverse of
// the bone's bind transform, bone's node transform at the tick), weights
// divided by their sum for this only. Binds not stored are taken at the
// animation start, so the skin moves nothing there. Vertices without a usable
// weight, and every vertex of an unskinned mesh, go to world space by the
// node's object transform (object offset, then node transform).
//
// Normals are made in object space (explicit normals when there is one
// normal face per face and their indices are valid, else smoothing-group
// normals) and taken to world space by the inverse transpose of the vertex's
// transform, then normalised; a zero result falls back to the face normal,
// and a degenerate face gives (0, 0, 0), never NaN. Mirrored is the parity
// of the object transform (of the mesh bind transform for a skinned mesh).
//
// Channels: colour channels are 0 (when present) and -1 (when present),
// followed with the colour heuristic by every map channel 1..99 with a
// non-zero third coordinate; texture-coordinate channels are every map
// channel 1..99, or with the heuristic those whose third coordinates are all
// exactly 0. Map channels whose faces do not match the mesh are left out
// (with a warning). Material count: a material with sub-materials has that
// many, anything else 1; a face is two-sided when the material it uses
// (sub-material of its id modulo the count) is.
//
// The accessor copies what it needs at opening: it stays valid when the
// scene's time moves, but not when the node's mesh or material is changed or
// destroyed (it keeps pointers to its map data and materials).

#include <cstdint>
#include <memory>
#include <vector>

#include "export/host/host_scene.h"
#include "export/ketrel_mesh_access.h"

namespace ketrel::host {

class HostMeshAccess final : public MeshAccess {
 public:
  // The evaluated mesh of `node` at `tick`; null when the node has no mesh.
  static std::unique_ptr<HostMeshAccess> Open(const Scene& scene, const Node& node, int32_t tick,
                                              bool useColorHeuristic);
  // The target mesh of the node's active morph channel `channel` (counting
  // active channels only), under the node's object transform at `tick`,
  // neither morphed nor skinned; null when there is no such channel.
  static std::unique_ptr<HostMeshAccess> OpenMorphTarget(const Scene& scene, const Node& node,
                                                         int32_t channel, int32_t tick,
                                                         bool useColorHeuristic);

  int32_t VertexCount() override { return int32_t(positions_.size() / 3); }
  int32_t FaceCount() override { return int32_t(faces_.size() / 3); }
  int32_t MapChannelCount() override { return mapChannelCount_; }
  int32_t MaterialCount() override { return materialCount_; }
  bool Mirrored() override { return mirrored_; }

  void GetPosition(int32_t vertex, float out[3]) override;
  void GetFaceVertices(int32_t face, int32_t out[3]) override;
  void GetCornerNormal(int32_t face, int32_t corner, float out[3]) override;
  int32_t GetFaceMaterialIndex(int32_t face) override;
  bool IsFaceTwoSided(int32_t face) override;

  int32_t ColorChannelCount() override { return int32_t(colorChannels_.size()); }
  int32_t TexCoordChannelCount() override { return int32_t(texCoordChannels_.size()); }
  int32_t TexCoordChannelNumber(int32_t k) override;
  void GetCornerColor(int32_t face, int32_t corner, int32_t k, float out[4]) override;
  void GetCornerTexCoord(int32_t face, int32_t corner, int32_t k, float out[3]) override;
  bool GetCornerToolTangent(int32_t face, int32_t corner, int32_t mapChannel, float tangent[3],
                            float binormal[3]) override;

 private:
  HostMeshAccess() = default;
  bool Build(const Scene& scene, const Node& node, const TriMesh& mesh, int32_t tick, bool deform,
             bool useColorHeuristic);
  bool ValidCorner(int32_t face, int32_t corner) const;
  const MapChannel* Map(int32_t channel) const;

  std::vector<float> positions_;         // world space, 3 per vertex
  std::vector<int32_t> faces_;           // 3 per face
  std::vector<float> normals_;           // world space, 9 per face
  std::vector<int32_t> materialIds_;     // one per face, or empty
  std::vector<const MapChannel*> maps_;  // usable map channels
  std::vector<int32_t> colorChannels_;
  std::vector<int32_t> texCoordChannels_;
  int32_t mapChannelCount_ = 0;
  // Tool tangents in world space, 9 per face each; empty without them.
  int32_t tangentChannel_ = 0;
  std::vector<float> tangents_, binormals_;
  int32_t materialCount_ = 1;
  const Material* material_ = nullptr;
  bool mirrored_ = false;
};

}  // namespace ketrel::host
