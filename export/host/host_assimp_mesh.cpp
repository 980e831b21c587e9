#include "export/host/host_assimp_mesh.h"

#include <assimp/scene.h>

#include <cmath>
#include <cstring>
#include <string_view>

#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

using Meshes = std::vector<const aiMesh*>;

// Assimp's matrices map column vectors; the host's map row vectors.
HostMatrix HostFromAssimp(const aiMatrix4x4& a) {
  HostMatrix h;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) h.m[i][j] = a[j][i];
  }
  return h;
}

void AppendKey(std::string& key, float value) {
  value += 0.0f;  // -0 and +0 are the same position
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  key.append(bytes, sizeof value);
}

void AppendKey(std::string& key, int32_t value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  key.append(bytes, sizeof value);
}

bool IsTriangle(const aiFace& face) { return face.mNumIndices == 3 && face.mIndices; }

// The number of UV or colour sets in use: Assimp fills them from 0 up, but
// a gap would still keep the later sets on their own channel.
unsigned UvSetCount(const aiMesh& mesh) {
  unsigned count = 0;
  for (unsigned k = 0; k < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++k) {
    if (mesh.HasTextureCoords(k)) count = k + 1;
  }
  return count;
}

unsigned ColourSetCount(const aiMesh& mesh) {
  unsigned count = 0;
  for (unsigned k = 0; k < AI_MAX_NUMBER_OF_COLOR_SETS; ++k) {
    if (mesh.HasVertexColors(k)) count = k + 1;
  }
  return count;
}

// A target of morph channel `channel` that matches its base mesh, or null.
const aiAnimMesh* Target(const aiMesh& mesh, unsigned channel) {
  if (channel >= mesh.mNumAnimMeshes || !mesh.mAnimMeshes) return nullptr;
  const aiAnimMesh* target = mesh.mAnimMeshes[channel];
  if (!target || !target->mVertices || target->mNumVertices != mesh.mNumVertices) return nullptr;
  return target;
}

// Per-vertex data of the node's aiMeshes (3 floats per Assimp vertex),
// indexed per face corner as the file indexes it. The faces of a mesh that
// lacks the data use one shared `fallback` value.
template <typename Has, typename Value>
void FillPerCorner(const Meshes& meshes, Has has, Value value, const float fallback[3],
                   std::vector<float>& values, std::vector<int32_t>& faces) {
  int32_t fallbackIndex = -1;
  for (const aiMesh* mesh : meshes) {
    int32_t base = int32_t(values.size() / 3);
    bool present = has(*mesh);
    if (present) {
      values.resize(values.size() + size_t(mesh->mNumVertices) * 3);
      for (unsigned v = 0; v < mesh->mNumVertices; ++v)
        value(*mesh, v, &values[size_t(base + v) * 3]);
    } else if (fallbackIndex < 0) {
      fallbackIndex = base;
      values.insert(values.end(), fallback, fallback + 3);
    }
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      const aiFace& face = mesh->mFaces[f];
      if (!IsTriangle(face)) continue;
      for (int c = 0; c < 3; ++c) {
        faces.push_back(present ? base + int32_t(face.mIndices[c]) : fallbackIndex);
      }
    }
  }
}

void CopyVector(const aiVector3D& v, float* out) {
  out[0] = v.x;
  out[1] = v.y;
  out[2] = v.z;
}

class GeometryBuilder {
 public:
  GeometryBuilder(const aiScene& scene, const aiNode& in, Node& node) : node_(node) {
    for (unsigned i = 0; i < in.mNumMeshes; ++i) {
      if (in.mMeshes[i] < scene.mNumMeshes && scene.mMeshes[in.mMeshes[i]]) {
        meshes_.push_back(scene.mMeshes[in.mMeshes[i]]);
      }
    }
  }

  void Run(const std::vector<int32_t>& materialIds, const BoneLookup& findBone,
           const HostMatrix& meshWorld) {
    if (meshes_.empty()) return;
    node_.HasMesh = true;
    for (const aiMesh* mesh : meshes_) channels_ = std::max(channels_, mesh->mNumAnimMeshes);
    CollectBones(findBone, meshWorld);
    targets_.resize(channels_);
    for (size_t i = 0; i < meshes_.size(); ++i) Weld(i);
    AddFaces(materialIds);
    AddNormals();
    AddMaps();
    AddTangents();
    AddMorphChannels();
  }

 private:
  // The node's skin: the bones of all its aiMeshes, each listed once, bound
  // where the first aiMesh naming it says.
  void CollectBones(const BoneLookup& findBone, const HostMatrix& meshWorld) {
    boneSlots_.resize(meshes_.size());
    for (size_t i = 0; i < meshes_.size(); ++i) {
      const aiMesh& mesh = *meshes_[i];
      for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        const aiBone* bone = mesh.mBones[b];
        Node* host = bone ? findBone(bone->mName.C_Str()) : nullptr;
        if (bone && !host) {
          KT_LOG_WARNING_CODE(Host, warning::BoneDropped, bone->mName.C_Str(),
                              "Skin bone %s of mesh %s names no node of the scene; it and its "
                              "%u weights are left out",
                              bone->mName.C_Str(), node_.Name.c_str(), bone->mNumWeights);
        }
        int32_t slot = -1;
        for (size_t k = 0; host && k < node_.SkinBones.size(); ++k) {
          if (node_.SkinBones[k] == host) slot = int32_t(k);
        }
        if (host && slot < 0) {
          slot = int32_t(node_.SkinBones.size());
          node_.SkinBones.push_back(host);
          // The offset maps mesh space to bone space at binding time, so the
          // bone's world then is the mesh's world times its inverse.
          HostMatrix inverse;
          if (!Inverse(HostFromAssimp(bone->mOffsetMatrix), inverse)) inverse = HostMatrix();
          node_.BindMatrices.push_back(Multiply(inverse, meshWorld));
        }
        boneSlots_[i].push_back(slot);
      }
    }
    if (!node_.SkinBones.empty()) node_.MeshBindMatrix = meshWorld;
  }

  // One host vertex per distinct (position, influences, target positions)
  // of the aiMesh.
  void Weld(size_t index) {
    const aiMesh& mesh = *meshes_[index];
    std::vector<std::vector<SkinInfluence>> influences;
    if (!node_.SkinBones.empty()) {
      influences.resize(mesh.mNumVertices);
      for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        int32_t slot = boneSlots_[index][b];
        const aiBone* bone = mesh.mBones[b];
        if (slot < 0) continue;
        for (unsigned w = 0; w < bone->mNumWeights; ++w) {
          const aiVertexWeight& weight = bone->mWeights[w];
          if (weight.mVertexId < mesh.mNumVertices) {
            influences[weight.mVertexId].push_back({slot, weight.mWeight});
          }
        }
      }
    }
    std::vector<const aiAnimMesh*> targets(channels_);
    for (unsigned c = 0; c < channels_; ++c) targets[c] = Target(mesh, c);

    std::vector<int32_t>& hostVertex = hostVertex_.emplace_back(mesh.mNumVertices);
    // Keys of the vertices kept so far, back to back in one buffer and found
    // through an open-addressed table of their hashes: no allocation per
    // vertex, no node per entry.
    std::string keys;
    std::vector<size_t> keyStart{0};
    std::vector<int32_t> keptHost;
    std::vector<uint64_t> keptHash;
    size_t capacity = 16;
    while (capacity < 2 * size_t(mesh.mNumVertices)) capacity *= 2;
    std::vector<int32_t> slots(capacity, -1);
    std::string key;
    for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
      const aiVector3D& p = mesh.mVertices[v];
      key.clear();
      AppendKey(key, p.x);
      AppendKey(key, p.y);
      AppendKey(key, p.z);
      for (const aiAnimMesh* target : targets) {
        if (!target) continue;
        AppendKey(key, target->mVertices[v].x);
        AppendKey(key, target->mVertices[v].y);
        AppendKey(key, target->mVertices[v].z);
      }
      if (!influences.empty()) {
        for (const SkinInfluence& influence : influences[v]) {
          AppendKey(key, influence.Bone);
          AppendKey(key, influence.Weight);
        }
      }
      const uint64_t hash = std::hash<std::string_view>()(key);
      size_t slot = size_t(hash) & (capacity - 1);
      int32_t same = -1;
      for (; slots[slot] >= 0; slot = (slot + 1) & (capacity - 1)) {
        const size_t kept = size_t(slots[slot]);
        if (keptHash[kept] == hash &&
            std::string_view(keys).substr(keyStart[kept], keyStart[kept + 1] - keyStart[kept]) ==
                key) {
          same = slots[slot];
          break;
        }
      }
      if (same >= 0) {
        hostVertex[v] = keptHost[size_t(same)];
        continue;
      }
      slots[slot] = int32_t(keptHost.size());
      keptHash.push_back(hash);
      keptHost.push_back(node_.Mesh.VertexCount());
      keys += key;
      keyStart.push_back(keys.size());
      hostVertex[v] = keptHost.back();
      node_.Mesh.Vertices.insert(node_.Mesh.Vertices.end(), {p.x, p.y, p.z});
      if (!node_.SkinBones.empty()) {
        node_.SkinWeights.push_back(influences.empty() ? std::vector<SkinInfluence>()
                                                       : std::move(influences[v]));
      }
      for (unsigned c = 0; c < channels_; ++c) {
        const aiVector3D& t = targets[c] ? targets[c]->mVertices[v] : p;
        targets_[c].insert(targets_[c].end(), {t.x, t.y, t.z});
      }
    }
  }

  void AddFaces(const std::vector<int32_t>& materialIds) {
    TriMesh& out = node_.Mesh;
    bool anyMaterial = false;
    for (size_t i = 0; i < meshes_.size(); ++i) {
      const aiMesh& mesh = *meshes_[i];
      int32_t material = i < materialIds.size() ? materialIds[i] : 0;
      anyMaterial = anyMaterial || material != 0;
      for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        if (!IsTriangle(face)) continue;
        for (int c = 0; c < 3; ++c) out.Faces.push_back(hostVertex_[i][face.mIndices[c]]);
        out.MaterialIds.push_back(material);
      }
    }
    if (!anyMaterial) out.MaterialIds.clear();
  }

  // The file's normals; faces of an aiMesh without normals get their flat
  // face normal (what the host would give them). None at all: the host's own.
  void AddNormals() {
    TriMesh& out = node_.Mesh;
    bool any = false;
    for (const aiMesh* mesh : meshes_) any = any || mesh->HasNormals();
    if (!any) return;
    for (const aiMesh* mesh : meshes_) {
      int32_t base = int32_t(out.Normals.size() / 3);
      normalBase_.push_back(mesh->HasNormals() ? base : -1);
      if (mesh->HasNormals()) {
        out.Normals.resize(out.Normals.size() + size_t(mesh->mNumVertices) * 3);
        for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
          CopyVector(mesh->mNormals[v], &out.Normals[size_t(base + v) * 3]);
        }
      }
      for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        const aiFace& face = mesh->mFaces[f];
        if (!IsTriangle(face)) continue;
        if (mesh->HasNormals()) {
          for (int c = 0; c < 3; ++c) out.NormalFaces.push_back(base + int32_t(face.mIndices[c]));
          continue;
        }
        aiVector3D a = mesh->mVertices[face.mIndices[0]], b = mesh->mVertices[face.mIndices[1]],
                   c = mesh->mVertices[face.mIndices[2]];
        aiVector3D n = (b - a) ^ (c - a);
        float length = n.Length();
        if (length > 0) n /= length;
        int32_t index = int32_t(out.Normals.size() / 3);
        out.Normals.insert(out.Normals.end(), {n.x, n.y, n.z});
        out.NormalFaces.insert(out.NormalFaces.end(), {index, index, index});
      }
    }
  }

  void AddMaps() {
    unsigned uvSets = 0, colourSets = 0;
    bool alpha = false;
    for (const aiMesh* mesh : meshes_) {
      uvSets = std::max(uvSets, UvSetCount(*mesh));
      colourSets = std::max(colourSets, ColourSetCount(*mesh));
      for (unsigned v = 0; !alpha && mesh->HasVertexColors(0) && v < mesh->mNumVertices; ++v) {
        alpha = mesh->mColors[0][v].a < 1;
      }
    }
    std::vector<MapChannel>& maps = node_.Mesh.Maps;
    static const float kWhite[3] = {1, 1, 1}, kZero[3] = {0, 0, 0};
    auto colourMap = [&](int32_t channel, unsigned set, bool alphaOnly) {
      MapChannel& map = maps.emplace_back();
      map.Channel = channel;
      FillPerCorner(
          meshes_, [set](const aiMesh& m) { return m.HasVertexColors(set); },
          [set, alphaOnly](const aiMesh& m, unsigned v, float* out) {
            const aiColor4D& colour = m.mColors[set][v];
            out[0] = alphaOnly ? colour.a : colour.r;
            out[1] = alphaOnly ? colour.a : colour.g;
            out[2] = alphaOnly ? colour.a : colour.b;
          },
          kWhite, map.Vertices, map.Faces);
    };
    if (alpha) colourMap(-1, 0, true);
    if (colourSets > 0) colourMap(0, 0, false);
    for (unsigned set = 0; set < uvSets; ++set) {
      MapChannel& map = maps.emplace_back();
      map.Channel = int32_t(set) + 1;
      FillPerCorner(
          meshes_, [set](const aiMesh& m) { return m.HasTextureCoords(set); },
          [set](const aiMesh& m, unsigned v, float* out) {
            CopyVector(m.mTextureCoords[set][v], out);
            if (m.mNumUVComponents[set] < 3) out[2] = 0;
          },
          kZero, map.Vertices, map.Faces);
    }
    for (unsigned set = 1; set < colourSets; ++set) colourMap(int32_t(uvSets + set), set, false);
  }

  // Only when every aiMesh has them: the host has no way to say "none" for
  // some faces, and conversion computes frames for the whole mesh instead.
  void AddTangents() {
    for (const aiMesh* mesh : meshes_) {
      if (!mesh->HasTangentsAndBitangents() || !mesh->HasTextureCoords(0)) return;
    }
    TriMesh& out = node_.Mesh;
    static const float kZero[3] = {0, 0, 0};
    auto always = [](const aiMesh&) { return true; };
    out.TangentChannel = 1;
    FillPerCorner(
        meshes_, always,
        [](const aiMesh& m, unsigned v, float* o) { CopyVector(m.mTangents[v], o); }, kZero,
        out.Tangents, out.TangentFaces);
    std::vector<int32_t> sameFaces;
    FillPerCorner(
        meshes_, always,
        [](const aiMesh& m, unsigned v, float* o) { CopyVector(m.mBitangents[v], o); }, kZero,
        out.Binormals, sameFaces);
  }

  // One channel per target index across the node's aiMeshes; an aiMesh
  // without that target keeps its base shape in it.
  void AddMorphChannels() {
    if (channels_ == 0) return;
    node_.HasMorpher = true;
    for (unsigned c = 0; c < channels_; ++c) {
      MorphChannel& channel = node_.MorphChannels.emplace_back();
      channel.Target = node_.Mesh;
      channel.Target.Vertices = std::move(targets_[c]);
      bool named = false, weighted = false;
      for (size_t i = 0; i < meshes_.size(); ++i) {
        const aiAnimMesh* target = Target(*meshes_[i], c);
        if (!target) continue;
        if (!named && target->mName.length > 0) {
          channel.Name = target->mName.C_Str();
          named = true;
        }
        if (!weighted) {
          channel.Weight.Value = {target->mWeight * 100.0f};
          weighted = true;
        }
        if (target->mNormals && i < normalBase_.size() && normalBase_[i] >= 0) {
          float* normals = &channel.Target.Normals[size_t(normalBase_[i]) * 3];
          for (unsigned v = 0; v < target->mNumVertices; ++v) {
            CopyVector(target->mNormals[v], normals + size_t(v) * 3);
          }
        }
      }
      if (!named) channel.Name = "Target " + std::to_string(c);
      if (!weighted) channel.Weight.Value = {0.0f};
    }
  }

  Node& node_;
  Meshes meshes_;
  unsigned channels_ = 0;                         // morph channels of the node
  std::vector<std::vector<int32_t>> boneSlots_;   // per aiMesh, per aiBone: skin bone or -1
  std::vector<std::vector<int32_t>> hostVertex_;  // per aiMesh, per Assimp vertex
  std::vector<std::vector<float>> targets_;       // per channel, 3 per host vertex
  std::vector<int32_t> normalBase_;               // per aiMesh: first normal, or -1
};

}  // namespace

void ConvertNodeGeometry(const aiScene& scene, const aiNode& in,
                         const std::vector<int32_t>& materialIds, const BoneLookup& findBone,
                         const HostMatrix& meshWorld, Node& node) {
  GeometryBuilder(scene, in, node).Run(materialIds, findBone, meshWorld);
}

}  // namespace ketrel::host
