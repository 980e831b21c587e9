#include "export/host/host_mesh_access.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

constexpr int32_t kHighestMapChannel = 99;
constexpr size_t kChannelListLimit = 256;

struct Vec {
  double x = 0, y = 0, z = 0;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec Cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Length(Vec a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }
// Unit length, or zero when there is no direction (never NaN).
Vec Unit(Vec a) {
  double length = Length(a);
  if (!(length > 1e-30) || !std::isfinite(length)) return {};
  return {a.x / length, a.y / length, a.z / length};
}
Vec At(const std::vector<float>& values, size_t index) {
  return {values[index * 3], values[index * 3 + 1], values[index * 3 + 2]};
}
void Store(Vec v, float* out) {
  out[0] = float(v.x);
  out[1] = float(v.y);
  out[2] = float(v.z);
}

double Determinant(const HostMatrix& a) {
  const auto& m = a.m;
  return double(m[0][0]) * (double(m[1][1]) * m[2][2] - double(m[1][2]) * m[2][1]) -
         double(m[0][1]) * (double(m[1][0]) * m[2][2] - double(m[1][2]) * m[2][0]) +
         double(m[0][2]) * (double(m[1][0]) * m[2][1] - double(m[1][1]) * m[2][0]);
}

// Row vectors: a point is p * M (rows 0..2 linear, row 3 translation).
Vec TransformPoint(const HostMatrix& a, Vec p) {
  const auto& m = a.m;
  return {p.x * m[0][0] + p.y * m[1][0] + p.z * m[2][0] + m[3][0],
          p.x * m[0][1] + p.y * m[1][1] + p.z * m[2][1] + m[3][1],
          p.x * m[0][2] + p.y * m[1][2] + p.z * m[2][2] + m[3][2]};
}
Vec TransformDirection(const HostMatrix& a, Vec d) {
  const auto& m = a.m;
  return {d.x * m[0][0] + d.y * m[1][0] + d.z * m[2][0],
          d.x * m[0][1] + d.y * m[1][1] + d.z * m[2][1],
          d.x * m[0][2] + d.y * m[1][2] + d.z * m[2][2]};
}

// The inverse transpose of the linear part, which keeps normals
// perpendicular to the transformed surface. A singular transform keeps its
// cofactors: the direction that survives (normalised afterwards anyway).
struct NormalMatrix {
  double m[3][3];
  explicit NormalMatrix(const HostMatrix& a) {
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
        m[i][j] = double(a.m[i1][j1]) * a.m[i2][j2] - double(a.m[i1][j2]) * a.m[i2][j1];
      }
    }
    double det = Determinant(a);
    if (std::isfinite(det) && std::fabs(det) > 1e-30)
      for (auto& row : m)
        for (double& v : row) v /= det;
  }
  Vec Apply(Vec n) const {
    return {n.x * m[0][0] + n.y * m[1][0] + n.z * m[2][0],
            n.x * m[0][1] + n.y * m[1][1] + n.z * m[2][1],
            n.x * m[0][2] + n.y * m[1][2] + n.z * m[2][2]};
  }
};

// A weighted sum of host matrices, kept in doubles until it is complete.
struct MatrixSum {
  double m[4][3] = {};
  void Add(const HostMatrix& a, double weight) {
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] += a.m[i][j] * weight;
  }
  HostMatrix Result() const {
    HostMatrix out;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) out.m[i][j] = float(m[i][j]);
    return out;
  }
};

bool IndicesInRange(const std::vector<int32_t>& indices, size_t count) {
  for (int32_t index : indices)
    if (index < 0 || size_t(index) >= count) return false;
  return true;
}

HostMatrix ObjectTransform(const Scene& scene, const Node& node, int32_t tick) {
  return Multiply(node.ObjectOffset, scene.NodeTransform(&node, tick));
}

// Per-vertex object-to-world transforms of a skinned mesh at `tick`, or
// empty when the skin does not apply (no bones, or not one weight list per
// vertex). `meshBind` receives the mesh's bind transform.
std::vector<HostMatrix> SkinTransforms(const Scene& scene, const Node& node, int32_t tick,
                                       const HostMatrix& objectTransform, HostMatrix& meshBind) {
  size_t vertexCount = node.Mesh.Vertices.size() / 3;
  if (node.SkinBones.empty() || node.SkinWeights.size() != vertexCount) return {};
  bool storedBinds = !node.BindMatrices.empty();
  meshBind = storedBinds ? node.MeshBindMatrix : ObjectTransform(scene, node, scene.RestTick());
  // Each bone's matrix: from the mesh at bind time into the bone's bind
  // space, then out by the bone's transform now.
  size_t boneCount = node.SkinBones.size();
  std::vector<HostMatrix> boneMatrices(boneCount);
  std::vector<bool> usable(boneCount, false);
  for (size_t b = 0; b < boneCount; ++b) {
    const Node* bone = node.SkinBones[b];
    if (!bone) continue;
    HostMatrix bind = b < node.BindMatrices.size() ? node.BindMatrices[b]
                                                   : scene.NodeTransform(bone, scene.RestTick());
    HostMatrix inverse;
    if (!Inverse(bind, inverse)) continue;
    boneMatrices[b] = Multiply(Multiply(meshBind, inverse), scene.NodeTransform(bone, tick));
    usable[b] = true;
  }
  auto usableBone = [&](int32_t bone) {
    return bone >= 0 && size_t(bone) < boneCount && usable[size_t(bone)];
  };
  std::vector<HostMatrix> vertexMatrices(vertexCount, objectTransform);
  for (size_t v = 0; v < vertexCount; ++v) {
    // The raw weights stay as stored; only the blend divides by their sum.
    double total = 0;
    for (const SkinInfluence& influence : node.SkinWeights[v])
      if (usableBone(influence.Bone)) total += influence.Weight;
    if (!(total > 1e-12)) continue;  // unweighted: follows the node
    MatrixSum blend;
    for (const SkinInfluence& influence : node.SkinWeights[v])
      if (usableBone(influence.Bone))
        blend.Add(boneMatrices[size_t(influence.Bone)], influence.Weight / total);
    vertexMatrices[v] = blend.Result();
  }
  return vertexMatrices;
}

// Smoothing-group normals per corner, in object space: each vertex keeps a
// chain of (normal sum, group mask) entries, one per smoothed face touching
// it; entries sharing a group bit merge until none do.
struct SmoothEntry {
  Vec normal;
  uint32_t mask;
};

std::vector<Vec> SmoothingNormals(const TriMesh& mesh, const std::vector<Vec>& faceNormals) {
  size_t faceCount = mesh.Faces.size() / 3;
  auto group = [&](size_t f) {
    return f < mesh.SmoothingGroups.size() ? mesh.SmoothingGroups[f] : 0u;
  };
  std::vector<std::vector<SmoothEntry>> chains(mesh.Vertices.size() / 3);
  for (size_t f = 0; f < faceCount; ++f) {
    if (group(f) == 0) continue;
    for (size_t c = 0; c < 3; ++c)
      chains[size_t(mesh.Faces[f * 3 + c])].push_back({faceNormals[f], group(f)});
  }
  for (auto& chain : chains) {
    for (bool merged = true; merged;) {
      merged = false;
      for (size_t i = 0; i < chain.size() && !merged; ++i) {
        for (size_t j = i + 1; j < chain.size(); ++j) {
          if (!(chain[i].mask & chain[j].mask)) continue;
          chain[i].mask |= chain[j].mask;
          chain[i].normal = chain[i].normal + chain[j].normal;
          chain.erase(chain.begin() + long(j));
          merged = true;
          break;
        }
      }
    }
  }
  std::vector<Vec> corners(faceCount * 3);
  for (size_t f = 0; f < faceCount; ++f) {
    for (size_t c = 0; c < 3; ++c) {
      Vec normal = faceNormals[f];
      if (group(f) != 0) {
        for (const SmoothEntry& entry : chains[size_t(mesh.Faces[f * 3 + c])]) {
          if (entry.mask & group(f)) {
            normal = entry.normal;
            break;
          }
        }
      }
      corners[f * 3 + c] = normal;
    }
  }
  return corners;
}

}  // namespace

std::unique_ptr<HostMeshAccess> HostMeshAccess::Open(const Scene& scene, const Node& node,
                                                     int32_t tick, bool useColorHeuristic) {
  if (!node.HasMesh) return nullptr;
  std::unique_ptr<HostMeshAccess> access(new HostMeshAccess());
  if (!access->Build(scene, node, node.Mesh, tick, true, useColorHeuristic)) return nullptr;
  return access;
}

std::unique_ptr<HostMeshAccess> HostMeshAccess::OpenMorphTarget(const Scene& scene,
                                                                const Node& node, int32_t channel,
                                                                int32_t tick,
                                                                bool useColorHeuristic) {
  if (!node.HasMesh || channel < 0) return nullptr;
  int32_t active = 0;
  for (const MorphChannel& morph : node.MorphChannels) {
    if (!morph.Active) continue;
    if (active++ != channel) continue;
    std::unique_ptr<HostMeshAccess> access(new HostMeshAccess());
    if (!access->Build(scene, node, morph.Target, tick, false, useColorHeuristic)) return nullptr;
    return access;
  }
  return nullptr;
}

bool HostMeshAccess::Build(const Scene& scene, const Node& node, const TriMesh& mesh, int32_t tick,
                           bool deform, bool useColorHeuristic) {
  size_t vertexCount = mesh.Vertices.size() / 3;
  size_t faceCount = mesh.Faces.size() / 3;
  // Documents are checked when loaded; scenes built in code are checked here,
  // since every later query indexes by these.
  if (mesh.Vertices.size() % 3 || mesh.Faces.size() % 3 ||
      !IndicesInRange(mesh.Faces, vertexCount)) {
    KT_LOG_ERROR(Host, "The mesh of %s has a face whose vertex is out of range", node.Name.c_str());
    return false;
  }
  faces_ = mesh.Faces;
  if (mesh.MaterialIds.size() == faceCount) materialIds_ = mesh.MaterialIds;

  // Object-space positions, morphed.
  std::vector<Vec> points(vertexCount);
  for (size_t v = 0; v < vertexCount; ++v) points[v] = At(mesh.Vertices, v);
  if (deform) {
    for (const MorphChannel& morph : node.MorphChannels) {
      if (!morph.Active || morph.Target.Vertices.size() != mesh.Vertices.size()) continue;
      float weight = 0;
      morph.Weight.Evaluate(tick, &weight);
      if (weight == 0 || !std::isfinite(weight)) continue;
      double w = weight / 100.0;
      for (size_t v = 0; v < vertexCount; ++v) {
        Vec delta = At(morph.Target.Vertices, v) - At(mesh.Vertices, v);
        points[v] = points[v] + Vec{delta.x * w, delta.y * w, delta.z * w};
      }
    }
  }

  HostMatrix objectTransform = ObjectTransform(scene, node, tick);
  HostMatrix meshBind = objectTransform;
  std::vector<HostMatrix> skin;
  if (deform) skin = SkinTransforms(scene, node, tick, objectTransform, meshBind);
  mirrored_ = Determinant(skin.empty() ? objectTransform : meshBind) < 0;
  auto vertexMatrix = [&](size_t v) -> const HostMatrix& {
    return skin.empty() ? objectTransform : skin[v];
  };
  positions_.resize(vertexCount * 3);
  for (size_t v = 0; v < vertexCount; ++v)
    Store(TransformPoint(vertexMatrix(v), points[v]), &positions_[v * 3]);

  // Normals: made in object space, then carried by each corner's vertex
  // transform. Face normals are needed for smoothing groups, and otherwise
  // only where an explicit normal has no direction.
  auto faceNormal = [&](size_t f) {
    Vec a = points[size_t(faces_[f * 3])], b = points[size_t(faces_[f * 3 + 1])],
        c = points[size_t(faces_[f * 3 + 2])];
    return Unit(Cross(b - a, c - a));
  };
  std::vector<Vec> faceNormals, corners;
  bool explicitNormals = !mesh.Normals.empty() && mesh.Normals.size() % 3 == 0 &&
                         mesh.NormalFaces.size() == mesh.Faces.size() &&
                         IndicesInRange(mesh.NormalFaces, mesh.Normals.size() / 3);
  if (!explicitNormals) {
    faceNormals.resize(faceCount);
    for (size_t f = 0; f < faceCount; ++f) faceNormals[f] = faceNormal(f);
    corners = SmoothingNormals(mesh, faceNormals);
  }
  auto cornerNormal = [&](size_t i) {
    return explicitNormals ? At(mesh.Normals, size_t(mesh.NormalFaces[i])) : corners[i];
  };
  NormalMatrix objectNormals(objectTransform);
  // One normal matrix per skinned vertex, not one per corner that uses it.
  std::vector<NormalMatrix> skinNormals;
  skinNormals.reserve(skin.size());
  for (const HostMatrix& matrix : skin) skinNormals.emplace_back(matrix);
  normals_.resize(faceCount * 9);
  for (size_t f = 0; f < faceCount; ++f) {
    for (size_t c = 0; c < 3; ++c) {
      size_t v = size_t(faces_[f * 3 + c]);
      const NormalMatrix& vertexNormals = skin.empty() ? objectNormals : skinNormals[v];
      Vec normal = Unit(vertexNormals.Apply(cornerNormal(f * 3 + c)));
      if (Length(normal) == 0)
        normal = Unit(vertexNormals.Apply(faceNormals.empty() ? faceNormal(f) : faceNormals[f]));
      Store(normal, &normals_[f * 9 + c * 3]);
    }
  }

  // Map channels whose faces fit the mesh; the rest are not offered.
  for (const MapChannel& map : mesh.Maps) {
    if (map.Channel < -2 || map.Channel > kHighestMapChannel) continue;
    if (map.Vertices.size() % 3 || map.Faces.size() != mesh.Faces.size() ||
        !IndicesInRange(map.Faces, map.Vertices.size() / 3)) {
      KT_LOG_WARNING_CODE(Host, warning::MapChannelLeftOut, node.Name.c_str(),
                          "Map channel %d of %s does not fit its mesh and is left out",
                          int(map.Channel), node.Name.c_str());
      continue;
    }
    if (Map(map.Channel)) continue;  // the first of a repeated channel
    maps_.push_back(&map);
    if (map.Channel >= 0) mapChannelCount_ = std::max(mapChannelCount_, map.Channel + 1);
  }
  std::vector<int32_t> colors, heuristicColors, texCoords, heuristicTexCoords;
  if (Map(0)) colors.push_back(0);
  if (Map(-1)) colors.push_back(-1);
  heuristicColors = colors;
  for (int32_t m = 1; m < mapChannelCount_; ++m) {
    if (heuristicColors.size() >= kChannelListLimit ||
        heuristicTexCoords.size() >= kChannelListLimit)
      break;
    const MapChannel* map = Map(m);
    if (!map) continue;
    texCoords.push_back(m);
    bool flat = true;  // texture coordinates leave the third coordinate at 0
    for (size_t i = 2; i < map->Vertices.size() && flat; i += 3) flat = map->Vertices[i] == 0;
    (flat ? heuristicTexCoords : heuristicColors).push_back(m);
  }
  colorChannels_ = useColorHeuristic ? heuristicColors : colors;
  texCoordChannels_ = useColorHeuristic ? heuristicTexCoords : texCoords;

  // Tool tangents, carried like directions on the surface.
  if (!mesh.Tangents.empty() && mesh.Tangents.size() % 3 == 0 &&
      mesh.Binormals.size() == mesh.Tangents.size() &&
      mesh.TangentFaces.size() == mesh.Faces.size() &&
      IndicesInRange(mesh.TangentFaces, mesh.Tangents.size() / 3)) {
    tangentChannel_ = mesh.TangentChannel;
    tangents_.resize(faceCount * 9);
    binormals_.resize(faceCount * 9);
    for (size_t i = 0; i < faceCount * 3; ++i) {
      const HostMatrix& m = vertexMatrix(size_t(faces_[i]));
      size_t t = size_t(mesh.TangentFaces[i]);
      Store(Unit(TransformDirection(m, At(mesh.Tangents, t))), &tangents_[i * 3]);
      Store(Unit(TransformDirection(m, At(mesh.Binormals, t))), &binormals_[i * 3]);
    }
  }

  material_ = node.NodeMaterial;
  if (material_ && !material_->SubMaterials.empty())
    materialCount_ = int32_t(material_->SubMaterials.size());
  return true;
}

const MapChannel* HostMeshAccess::Map(int32_t channel) const {
  for (const MapChannel* map : maps_)
    if (map->Channel == channel) return map;
  return nullptr;
}

bool HostMeshAccess::ValidCorner(int32_t face, int32_t corner) const {
  return face >= 0 && face < int32_t(faces_.size() / 3) && corner >= 0 && corner < 3;
}

void HostMeshAccess::GetPosition(int32_t vertex, float out[3]) {
  if (vertex < 0 || vertex >= VertexCount()) {
    out[0] = out[1] = out[2] = 0;
    return;
  }
  std::memcpy(out, &positions_[size_t(vertex) * 3], 3 * sizeof(float));
}

void HostMeshAccess::GetFaceVertices(int32_t face, int32_t out[3]) {
  for (int32_t c = 0; c < 3; ++c) out[c] = ValidCorner(face, c) ? faces_[size_t(face * 3 + c)] : 0;
}

void HostMeshAccess::GetCornerNormal(int32_t face, int32_t corner, float out[3]) {
  if (!ValidCorner(face, corner)) {
    out[0] = out[1] = out[2] = 0;
    return;
  }
  std::memcpy(out, &normals_[size_t(face * 9 + corner * 3)], 3 * sizeof(float));
}

int32_t HostMeshAccess::GetFaceMaterialIndex(int32_t face) {
  if (face < 0 || size_t(face) >= materialIds_.size()) return 0;
  return materialIds_[size_t(face)];
}

bool HostMeshAccess::IsFaceTwoSided(int32_t face) {
  if (!material_ || face < 0 || face >= FaceCount()) return false;
  if (material_->SubMaterials.empty()) return material_->TwoSided;
  int32_t count = int32_t(material_->SubMaterials.size());
  int32_t slot = ((GetFaceMaterialIndex(face) % count) + count) % count;
  const Material* sub = material_->SubMaterials[size_t(slot)];
  return sub && sub->TwoSided;
}

int32_t HostMeshAccess::TexCoordChannelNumber(int32_t k) {
  if (k < 0 || k >= TexCoordChannelCount()) return 0;
  return texCoordChannels_[size_t(k)];
}

void HostMeshAccess::GetCornerColor(int32_t face, int32_t corner, int32_t k, float out[4]) {
  if (!ValidCorner(face, corner)) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return;
  }
  out[0] = out[1] = out[2] = out[3] = 1;
  if (k < 0 || k >= ColorChannelCount()) return;
  size_t at = size_t(face * 3 + corner);
  const MapChannel* map = Map(colorChannels_[size_t(k)]);
  std::memcpy(out, &map->Vertices[size_t(map->Faces[at]) * 3], 3 * sizeof(float));
  // The host keeps alpha in a channel of its own, all three coordinates equal.
  if (const MapChannel* alpha = Map(-1)) out[3] = alpha->Vertices[size_t(alpha->Faces[at]) * 3];
}

void HostMeshAccess::GetCornerTexCoord(int32_t face, int32_t corner, int32_t k, float out[3]) {
  out[0] = out[1] = out[2] = 0;
  if (!ValidCorner(face, corner) || k < 0 || k >= TexCoordChannelCount()) return;
  const MapChannel* map = Map(texCoordChannels_[size_t(k)]);
  std::memcpy(out, &map->Vertices[size_t(map->Faces[size_t(face * 3 + corner)]) * 3],
              3 * sizeof(float));
}

bool HostMeshAccess::GetCornerToolTangent(int32_t face, int32_t corner, int32_t mapChannel,
                                          float tangent[3], float binormal[3]) {
  if (tangents_.empty() || mapChannel != tangentChannel_ || !ValidCorner(face, corner))
    return false;
  size_t at = size_t(face * 9 + corner * 3);
  std::memcpy(tangent, &tangents_[at], 3 * sizeof(float));
  std::memcpy(binormal, &binormals_[at], 3 * sizeof(float));
  return true;
}

}  // namespace ketrel::host
