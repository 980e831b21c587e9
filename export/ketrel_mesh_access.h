#pragma once
// What mesh conversion reads of one host mesh: an accessor the tool
// interface opens on a mesh node at the current sample time (or on one of
// its morph channels' targets) and closes afterwards.
//
// Positions are in world space at the time of opening: the node's evaluated
// mesh (morphed and skinned as the host deforms it) under its object
// transform. Corner normals are in world space too, normalised. Faces are
// triangles; corners are numbered 0, 1, 2 in the host's order.
//
// Channels: colour channel k and texture-coordinate channel k are the k-th of
// the lists the host sorted its map channels into (with or without the colour
// map heuristic, chosen at opening). Asking for a channel that does not exist
// gives white (1, 1, 1, 1) or (0, 0, 0). Out-of-range vertex, face or corner
// arguments give zeros.

#include <cstdint>

namespace ketrel {

class MeshAccess {
 public:
  virtual ~MeshAccess() = default;

  virtual int32_t VertexCount() = 0;
  virtual int32_t FaceCount() = 0;
  // Host map channels the mesh supports (for comparing morph frames).
  virtual int32_t MapChannelCount() = 0;
  // Sub-materials of the node's multi-material, else 1.
  virtual int32_t MaterialCount() = 0;
  // Whether the object transform mirrors (negative determinant).
  virtual bool Mirrored() = 0;

  virtual void GetPosition(int32_t vertex, float out[3]) = 0;
  virtual void GetFaceVertices(int32_t face, int32_t out[3]) = 0;
  virtual void GetCornerNormal(int32_t face, int32_t corner, float out[3]) = 0;
  // The face's material id as the host stores it (not reduced).
  virtual int32_t GetFaceMaterialIndex(int32_t face) = 0;
  // Whether the material the face uses is two-sided.
  virtual bool IsFaceTwoSided(int32_t face) = 0;

  virtual int32_t ColorChannelCount() = 0;
  virtual int32_t TexCoordChannelCount() = 0;
  // The host map channel number of texture-coordinate channel k.
  virtual int32_t TexCoordChannelNumber(int32_t k) = 0;
  // RGB from the map channel; alpha from the host's alpha channel, else 1.
  virtual void GetCornerColor(int32_t face, int32_t corner, int32_t k, float out[4]) = 0;
  virtual void GetCornerTexCoord(int32_t face, int32_t corner, int32_t k, float out[3]) = 0;
  // The host's own tangent frame of a corner for a host map channel; false
  // when it has none (conversion then computes the frame).
  virtual bool GetCornerToolTangent(int32_t face, int32_t corner, int32_t mapChannel,
                                    float tangent[3], float binormal[3]) = 0;
};

}  // namespace ketrel
