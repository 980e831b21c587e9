#include "export/host/host_assimp_import.h"

#include "export/host/host_assimp_gltf.h"
#include "export/host/host_assimp_mesh.h"
#include "export/host/host_assimp_properties.h"
#include "export/host/host_assimp_takes.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

#include <assimp/config.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/Importer.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

namespace ketrel::host {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A similarity transform (uniform scale, rotation, translation) applied after
// the local transform of every top-level node: the file's axes and root
// transform folded into the host frame.
struct Frame {
  float Scale = 1;
  Quaternion Rotation;
  Vector3 Translation;
};

Vector3 Rotate(const Quaternion& q, const Vector3& v) {
  Matrix3 m = MatrixFromQuaternion(q);
  return {m.m[0][0] * v.x + m.m[0][1] * v.y + m.m[0][2] * v.z,
          m.m[1][0] * v.x + m.m[1][1] * v.y + m.m[1][2] * v.z,
          m.m[2][0] * v.x + m.m[2][1] * v.y + m.m[2][2] * v.z};
}

struct Parts {
  Vector3 Position;
  Quaternion Rotation;
  Vector3 Scale{1, 1, 1};
};

Parts Decompose(const aiMatrix4x4& matrix) {
  aiVector3D scaling, position;
  aiQuaternion rotation;
  matrix.Decompose(scaling, rotation, position);
  Parts parts;
  parts.Position = {position.x, position.y, position.z};
  parts.Rotation = Normalize(Quaternion{rotation.x, rotation.y, rotation.z, rotation.w});
  parts.Scale = {scaling.x, scaling.y, scaling.z};
  return parts;
}

void ApplyFrame(const Frame& frame, Vector3* position, Quaternion* rotation, Vector3* scale) {
  if (position) {
    Vector3 p = Rotate(frame.Rotation, *position);
    *position = {p.x * frame.Scale + frame.Translation.x, p.y * frame.Scale + frame.Translation.y,
                 p.z * frame.Scale + frame.Translation.z};
  }
  if (rotation) *rotation = Normalize(Multiply(frame.Rotation, *rotation));
  if (scale) *scale = {scale->x * frame.Scale, scale->y * frame.Scale, scale->z * frame.Scale};
}

// The file's up axis: Y unless an FBX file says otherwise.
int UpAxis(const aiScene* scene) {
  int32_t up = 1;
  if (scene->mMetaData) scene->mMetaData->Get("UpAxis", up);
  return up == 0 || up == 2 ? up : 1;
}

// The turn into the host frame (kHostRight, kHostUp, kHostBack).
Quaternion ToZUp(int upAxis) {
  const float h = std::sqrt(0.5f);
  if (upAxis == 2) return Quaternion{};
  if (upAxis == 0) return Quaternion{0, -h, 0, h};  // X up -> Z up
  return Quaternion{h, 0, 0, h};                    // Y up -> Z up: +90 degrees about X
}

class Converter {
 public:
  Converter(const aiScene* source, const std::string& path, Scene& scene)
      : source_(source),
        path_(path),
        directory_(fs::path(path).parent_path().string()),
        extension_(Lower(fs::path(path).extension().string())),
        scene_(scene) {}

  bool Run(const std::vector<const FileTake*>& takes, std::string& error) {
    ReadUnit();
    scene_.SourceFormat = FormatLabel();
    ConvertMaterials();
    CollectRoles();
    const aiNode* root = source_->mRootNode;
    if (!root) {
      error = "the file has no scene hierarchy";
      return false;
    }
    // The file's root becomes the host's scene root when it can be folded into
    // the host frame; otherwise it stays a node of its own.
    Frame frame;
    Quaternion up = ToZUp(UpAxis(source_));
    Parts rootParts = Decompose(root->mTransformation);
    bool uniform =
        std::fabs(rootParts.Scale.x - rootParts.Scale.y) <= 1e-4f * std::fabs(rootParts.Scale.x) &&
        std::fabs(rootParts.Scale.x - rootParts.Scale.z) <= 1e-4f * std::fabs(rootParts.Scale.x) &&
        rootParts.Scale.x > 0;
    bool foldRoot = root->mNumMeshes == 0 && uniform && !animatedNodes_.count(root->mName.C_Str());
    if (foldRoot) {
      frame.Scale = rootParts.Scale.x;
      frame.Rotation = Normalize(Multiply(up, rootParts.Rotation));
      frame.Translation = Rotate(up, rootParts.Position);
      for (unsigned i = 0; i < root->mNumChildren; ++i)
        AddNode(root->mChildren[i], nullptr, &frame);
    } else {
      frame.Rotation = up;
      AddNode(root, nullptr, &frame);
    }
    ConvertGeometry();
    ConvertSceneProperties(*source_, path_, nodes_, materials_, scene_);
    return ConvertTakes(takes, foldRoot ? root : nullptr, frame, error);
  }

 private:
  // glTF is in metres; FBX says how many centimetres a unit is; Collada's
  // unit is folded into the root by the importer. Other formats (BVH, OBJ,
  // X, ...) give no unit: the host's metre is then only an assumption.
  void ReadUnit() {
    double factor = 0;
    if (source_->mMetaData && source_->mMetaData->Get("UnitScaleFactor", factor) && factor > 0) {
      scene_.SystemUnit = factor / 100.0;  // FBX: centimetres per unit
      scene_.UnitFromSource = true;
      return;
    }
    const std::string format = source_->mMetaData ? SourceFormat() : std::string();
    scene_.UnitFromSource = format.find("glTF") != std::string::npos ||
                            format.find("Collada") != std::string::npos || extension_ == ".gltf" ||
                            extension_ == ".glb" || extension_ == ".dae";
  }

  // What the file is, as a person names it: by its extension for the usual
  // formats, else as the importer that read it calls itself.
  std::string FormatLabel() const {
    static const std::pair<const char*, const char*> kLabels[] = {
        {".gltf", "glTF 2.0"},     {".glb", "glTF 2.0"},      {".fbx", "FBX"},
        {".dae", "Collada"},       {".bvh", "BVH"},           {".obj", "Wavefront OBJ"},
        {".x", "DirectX X"},       {".3ds", "3D Studio 3DS"}, {".blend", "Blender"},
        {".ply", "PLY"},           {".stl", "STL"},           {".md5mesh", "MD5"},
        {".ms3d", "Milkshape 3D"}, {".lwo", "LightWave"},     {".ase", "ASE"},
    };
    for (const auto& [extension, label] : kLabels) {
      if (extension_ == extension) return label;
    }
    const std::string format = source_->mMetaData ? SourceFormat() : std::string();
    if (!format.empty()) return format;
    return extension_.empty() ? std::string("unknown format") : extension_.substr(1);
  }

  std::string SourceFormat() const {
    aiString format;
    if (source_->mMetaData->Get("SourceAsset_Format", format)) return format.C_Str();
    return "";
  }

  // One map per file and placement: a file laid differently by two
  // materials is two maps, as in the host.
  Material* AddBitmap(const aiString& path, const MapCoordinates& coordinates) {
    std::string name = path.C_Str();
    const float* t = coordinates.Transform;
    std::pair<std::string, std::vector<float>> key{name, {t, t + 12}};
    key.second.push_back(float(coordinates.TilingFlags));
    key.second.push_back(float(coordinates.Channel));
    auto found = bitmaps_.find(key);
    if (found != bitmaps_.end()) return found->second;
    Material* map = scene_.AddMaterial(fs::path(name).filename().string());
    map->SuperClass = kTextureMapSuperClass;
    map->Class = kBitmapTextureClass;
    map->FileName = name;
    map->Coordinates = coordinates;
    if (const aiTexture* embedded = source_->GetEmbeddedTexture(name.c_str())) {
      EmbedImage(*embedded, *map);
    } else if (!name.empty() && name[0] != '*') {
      map->ResolvedFileName = ResolveBitmap(name);
    }
    bitmaps_[key] = map;
    return map;
  }

  // Where a texture file is: as the scene names it (relative to the scene),
  // else beside the scene. Files written on Windows name textures with
  // backslashes and drive letters. A file found nowhere keeps the first
  // place, so the message about it names that.
  std::string ResolveBitmap(const std::string& name) const {
    std::string portable = name;
    std::replace(portable.begin(), portable.end(), '\\', '/');
    const bool drive = portable.size() > 1 && portable[1] == ':';
    std::vector<fs::path> places;
    if (!drive) {
      fs::path given(portable);
      places.push_back(given.is_absolute() ? given : fs::path(directory_) / given);
    }
    places.push_back(fs::path(directory_) / fs::path(portable).filename());
    std::error_code error;
    for (const fs::path& place : places)
      if (fs::is_regular_file(place, error)) return place.lexically_normal().string();
    return places.front().lexically_normal().string();
  }

  // An image the file carries: its own bytes, or its raw texels as a TGA
  // (32-bit, top row first), so every bitmap is an image file to decode.
  static void EmbedImage(const aiTexture& texture, Material& map) {
    std::string hint = texture.achFormatHint;
    if (texture.mFilename.length > 0) {
      map.Name = fs::path(texture.mFilename.C_Str()).filename().string();
    } else {
      map.Name = "embedded " + map.FileName.substr(map.FileName[0] == '*') + "." +
                 (texture.mHeight == 0 && !hint.empty() ? hint : "tga");
    }
    if (!texture.pcData) return;
    if (texture.mHeight == 0) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(texture.pcData);
      map.EmbeddedImage.assign(bytes, bytes + texture.mWidth);
      return;
    }
    if (texture.mWidth > 0xFFFF || texture.mHeight > 0xFFFF) return;
    const uint8_t header[18] = {0,
                                0,
                                2,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0,
                                uint8_t(texture.mWidth),
                                uint8_t(texture.mWidth >> 8),
                                uint8_t(texture.mHeight),
                                uint8_t(texture.mHeight >> 8),
                                32,
                                0x28};
    std::vector<uint8_t>& image = map.EmbeddedImage;
    image.assign(header, header + sizeof header);
    size_t texels = size_t(texture.mWidth) * texture.mHeight;
    image.reserve(image.size() + texels * 4);
    for (size_t i = 0; i < texels; ++i) {  // aiTexel is b, g, r, a: TGA's own order
      const aiTexel& t = texture.pcData[i];
      image.insert(image.end(), {t.b, t.g, t.r, t.a});
    }
  }

  void ConvertMaterials() {
    for (unsigned i = 0; i < source_->mNumMaterials; ++i) {
      const aiMaterial* in = source_->mMaterials[i];
      aiString name;
      in->Get(AI_MATKEY_NAME, name);
      Material* out =
          scene_.AddMaterial(name.length ? name.C_Str() : "Material " + std::to_string(i));
      aiColor4D colour;
      if (in->Get(AI_MATKEY_BASE_COLOR, colour) == AI_SUCCESS ||
          in->Get(AI_MATKEY_COLOR_DIFFUSE, colour) == AI_SUCCESS) {
        out->Diffuse[0] = colour.r;
        out->Diffuse[1] = colour.g;
        out->Diffuse[2] = colour.b;
      }
      int twoSided = 0;
      if (in->Get(AI_MATKEY_TWOSIDED, twoSided) == AI_SUCCESS) out->TwoSided = twoSided != 0;
      ConvertMaterialMaps(*in, *out);
      ConvertMaterialColors(*in, *out);
      materials_.push_back(out);
    }
  }

  // Every texture of the material becomes a map slot named after what it
  // is. Assimp files one image under several types (glTF's base colour is
  // also its diffuse, its metallic-roughness image also metalness and
  // roughness): a file already in a slot of the same kind is not repeated.
  // Textures of other types keep Assimp's name for the type, so none is
  // left out.
  void ConvertMaterialMaps(const aiMaterial& in, Material& out) {
    enum Kind { Colour, Normal, Bump, Surface, Occlusion, Emissive, Opacity, Specular, Other };
    struct Slot {
      aiTextureType type;
      const char* name;
      Kind kind;
    };
    auto path = [&in](aiTextureType type) {
      aiString p;
      return in.GetTextureCount(type) > 0 && in.GetTexture(type, 0, &p) == AI_SUCCESS
                 ? std::string(p.C_Str())
                 : std::string();
    };
    // glTF keeps metallic-roughness under "unknown" and again under
    // metalness and roughness; one file in two of them is the combined map.
    const std::string unknown = path(aiTextureType_UNKNOWN), metal = path(aiTextureType_METALNESS),
                      rough = path(aiTextureType_DIFFUSE_ROUGHNESS);
    const bool combined = (!unknown.empty() && (unknown == metal || unknown == rough)) ||
                          (!metal.empty() && metal == rough);
    const Slot kSlots[] = {
        {aiTextureType_BASE_COLOR, "Base Color", Colour},
        {aiTextureType_DIFFUSE, "Diffuse", Colour},
        {aiTextureType_NORMALS, "Normal", Normal},
        {aiTextureType_NORMAL_CAMERA, "Normal", Normal},
        {aiTextureType_HEIGHT, "Bump", Bump},
        {aiTextureType_UNKNOWN, combined ? "Metallic Roughness" : "Unknown",
         combined ? Surface : Other},
        {aiTextureType_METALNESS, combined ? "Metallic Roughness" : "Metalness", Surface},
        {aiTextureType_DIFFUSE_ROUGHNESS, combined ? "Metallic Roughness" : "Roughness", Surface},
        {aiTextureType_AMBIENT_OCCLUSION, "Occlusion", Occlusion},
        {aiTextureType_LIGHTMAP, "Occlusion", Occlusion},
        {aiTextureType_EMISSIVE, "Emissive", Emissive},
        {aiTextureType_EMISSION_COLOR, "Emissive", Emissive},
        {aiTextureType_OPACITY, "Opacity", Opacity},
        {aiTextureType_SPECULAR, "Specular", Specular},
        {aiTextureType_AMBIENT, aiTextureTypeToString(aiTextureType_AMBIENT), Other},
        {aiTextureType_SHININESS, aiTextureTypeToString(aiTextureType_SHININESS), Other},
        {aiTextureType_DISPLACEMENT, aiTextureTypeToString(aiTextureType_DISPLACEMENT), Other},
        {aiTextureType_REFLECTION, aiTextureTypeToString(aiTextureType_REFLECTION), Other},
        {aiTextureType_SHEEN, aiTextureTypeToString(aiTextureType_SHEEN), Other},
        {aiTextureType_CLEARCOAT, aiTextureTypeToString(aiTextureType_CLEARCOAT), Other},
        {aiTextureType_TRANSMISSION, aiTextureTypeToString(aiTextureType_TRANSMISSION), Other},
    };
    std::set<std::pair<int, std::string>> placed;  // (kind, file); Other never merges
    std::map<std::string, int> uses;               // slot name -> how many so far
    for (const Slot& slot : kSlots) {
      for (unsigned k = 0; k < in.GetTextureCount(slot.type); ++k) {
        aiString file;
        if (in.GetTexture(slot.type, k, &file) != AI_SUCCESS || file.length == 0) continue;
        if (slot.kind != Other && !placed.insert({int(slot.kind), file.C_Str()}).second) continue;
        int n = ++uses[slot.name];
        std::string name = n == 1 ? slot.name : std::string(slot.name) + " " + std::to_string(n);
        out.Maps.push_back({name, AddBitmap(file, MapCoordinatesOf(in, slot.type, k))});
      }
    }
  }

  // Which nodes are bones of a skin or animated: they are exported as bones.
  void CollectRoles() {
    for (unsigned m = 0; m < source_->mNumMeshes; ++m) {
      const aiMesh* mesh = source_->mMeshes[m];
      for (unsigned b = 0; b < mesh->mNumBones; ++b)
        boneNames_.insert(mesh->mBones[b]->mName.C_Str());
    }
    for (unsigned a = 0; a < source_->mNumAnimations; ++a) {
      const aiAnimation* clip = source_->mAnimations[a];
      for (unsigned c = 0; c < clip->mNumChannels; ++c) {
        animatedNodes_.insert(clip->mChannels[c]->mNodeName.C_Str());
      }
    }
    for (unsigned c = 0; c < source_->mNumCameras; ++c)
      cameras_.insert(source_->mCameras[c]->mName.C_Str());
    for (unsigned l = 0; l < source_->mNumLights; ++l)
      lights_.insert(source_->mLights[l]->mName.C_Str());
  }

  void SetObject(Node* node, const aiNode* in) {
    const std::string name = in->mName.C_Str();
    node->HasObject = true;
    if (in->mNumMeshes > 0) {
      node->Object.SuperClass = kGeometrySuperClass;
      node->Object.Class = node->Object.BaseClass = ClassId{0x9, 0};
    } else if (cameras_.count(name)) {
      node->Object.SuperClass = kCameraSuperClass;
      node->Object.Class = node->Object.BaseClass = ClassId{0x1001, 0};
    } else if (lights_.count(name)) {
      node->Object.SuperClass = kLightSuperClass;
      node->Object.Class = node->Object.BaseClass = ClassId{0x1011, 0};
    } else if (boneNames_.count(name) || animatedNodes_.count(name) || in->mNumChildren > 0) {
      node->Object.SuperClass = kHelperSuperClass;
      node->Object.Class = node->Object.BaseClass = ClassId{0x9125, 0};
    } else {
      node->Object.SuperClass = kHelperSuperClass;
      node->Object.Class = node->Object.BaseClass = ClassId{0x876234, 0};
    }
  }

  // One material, or a multi-material of the node's aiMeshes' materials;
  // each aiMesh's faces get the id of its own in it.
  void SetMaterial(Node* node, const aiNode* in) {
    std::vector<Material*> used;
    std::vector<int32_t>& ids = materialIds_[in];
    for (unsigned i = 0; i < in->mNumMeshes; ++i) {
      unsigned index = source_->mMeshes[in->mMeshes[i]]->mMaterialIndex;
      Material* material = index < materials_.size() ? materials_[index] : nullptr;
      auto found = std::find(used.begin(), used.end(), material);
      ids.push_back(material ? int32_t(found - used.begin()) : 0);
      if (material && found == used.end()) used.push_back(material);
      if (source_->mMeshes[in->mMeshes[i]]->mNumAnimMeshes > 0) node->HasMorpher = true;
    }
    if (used.size() == 1) {
      node->NodeMaterial = used[0];
    } else if (used.size() > 1) {
      Material* multi = scene_.AddMaterial(node->Name + " materials");
      multi->Class = kMultiMaterialClass;
      multi->SubMaterials = used;
      node->NodeMaterial = multi;
    }
  }

  // The node's name. A glTF node without one (Assimp calls it "nodes[i]")
  // takes its mesh's name where the mesh has one of its own (not Assimp's
  // "meshes[i]") that no other node has or takes: a name shared by many
  // would only be told apart by paths of "nodes[i]".
  static bool IsGltfId(const std::string& name, const char* kind) {
    const std::string head = std::string(kind) + "[";
    return name.empty() || (name.rfind(head, 0) == 0 && name.find(']') != std::string::npos &&
                            name.find_first_not_of("0123456789", head.size()) == name.find(']'));
  }
  std::string MeshNameFor(const aiNode* in) const {
    const bool gltf = extension_ == ".gltf" || extension_ == ".glb";
    if (!gltf || in->mNumMeshes == 0 || !IsGltfId(in->mName.C_Str(), "nodes")) return "";
    const std::string mesh = source_->mMeshes[in->mMeshes[0]]->mName.C_Str();
    return IsGltfId(mesh, "meshes") ? "" : mesh;
  }
  void CountNames(const aiNode* in, std::map<std::string, int>& counts) const {
    const std::string mesh = MeshNameFor(in);
    ++counts[mesh.empty() ? in->mName.C_Str() : mesh];
    for (unsigned i = 0; i < in->mNumChildren; ++i) CountNames(in->mChildren[i], counts);
  }
  std::string NodeName(const aiNode* in) {
    if (nameCounts_.empty() && source_->mRootNode) CountNames(source_->mRootNode, nameCounts_);
    const std::string mesh = MeshNameFor(in);
    return !mesh.empty() && nameCounts_[mesh] == 1 ? mesh : in->mName.C_Str();
  }

  void AddNode(const aiNode* in, Node* parent, const Frame* frame) {
    Node* node = scene_.AddNode(NodeName(in), parent);
    nodes_[in] = node;
    if (!byName_.count(in->mName.C_Str())) byName_[in->mName.C_Str()] = node;
    SetObject(node, in);
    SetMaterial(node, in);
    ConvertNodeProperties(*source_, *in, extension_ == ".gltf" || extension_ == ".glb", *node);
    Parts parts = Decompose(in->mTransformation);
    if (frame) ApplyFrame(*frame, &parts.Position, &parts.Rotation, &parts.Scale);
    TransformController& t = node->Transform;
    t.Position.Value = {parts.Position.x, parts.Position.y, parts.Position.z};
    t.Rotation.Value = parts.Rotation;
    t.Scale.Value = {parts.Scale.x, parts.Scale.y, parts.Scale.z};
    if (frame) topLevel_.insert(node);
    for (unsigned i = 0; i < in->mNumChildren; ++i) AddNode(in->mChildren[i], node, nullptr);
  }

  // Meshes, skins and morphers, once every node is placed and before any
  // keys replace the rest pose the skins are bound in.
  void ConvertGeometry() {
    BoneLookup findBone = [this](const std::string& name) -> Node* {
      auto found = byName_.find(name);
      return found == byName_.end() ? nullptr : found->second;
    };
    for (const auto& [in, node] : nodes_) {
      if (in->mNumMeshes == 0) continue;
      ConvertNodeGeometry(*source_, *in, materialIds_[in], findBone, scene_.NodeTransform(node, 0),
                          *node);
    }
  }

  // The node a morph clip animates (named by the node, or else by the mesh).
  Node* MorphClipNode(const aiMeshMorphAnim& clip) const {
    auto found = byName_.find(clip.mName.C_Str());
    if (found != byName_.end()) return found->second;
    for (const auto& [in, node] : nodes_) {
      for (unsigned i = 0; i < in->mNumMeshes; ++i) {
        if (source_->mMeshes[in->mMeshes[i]]->mName == clip.mName) return node;
      }
    }
    return nullptr;
  }

  // A morph clip's weights, one track per channel of its node. A key that
  // leaves a channel out sets it to 0.
  static void ConvertMorphChannel(const aiMeshMorphAnim& clip, double tps,
                                  std::vector<ValueTrack>& weights) {
    for (size_t c = 0; c < weights.size(); ++c) {
      ValueTrack& track = weights[c];
      track.KeyTicks.clear();
      track.KeyValues.clear();
      ConvertKeys(clip.mKeys, clip.mNumKeys, tps, track.KeyTicks, [&](unsigned k, bool replace) {
        const aiMeshMorphKey& key = clip.mKeys[k];
        float weight = 0;
        for (unsigned j = 0; key.mValues && key.mWeights && j < key.mNumValuesAndWeights; ++j) {
          if (key.mValues[j] == c) weight = float(key.mWeights[j] * 100.0);
        }
        if (replace) track.KeyValues.pop_back();
        track.KeyValues.push_back(weight);
      });
    }
  }

  TakeKeys ReadTake(const FileTake& take, const aiNode* foldedRoot, const Frame& frame) {
    TakeKeys keys;
    keys.Name = take.Name;
    // The take's rate is its keys' own, so that sampling every frame lands
    // on every key; clips without an even key rate keep the old rule (a
    // clock that counts frames at a usable rate) or the host's default.
    const int32_t keyRate = KeyFrameRate(take.Clips);
    int32_t end = 0, first = 0;
    double fps = keyRate;
    auto cover = [&](int32_t tick) {
      end = std::max(end, tick);
      first = std::min(first, tick);
    };
    for (const aiAnimation* clip : take.Clips) {
      const double tps = SnappedTicksPerSecond(TicksPerSecond(clip), keyRate);
      end = std::max(end, HostTick(clip->mDuration, tps));
      // A clock that counts frames at a rate the host can use sets the rate.
      if (fps == 0 && std::fabs(tps - std::round(tps)) < 1e-9 && tps >= 1 && tps <= 4800 &&
          IsValidFrameRate(int32_t(tps)) && tps <= 240) {
        fps = tps;
      }
      for (unsigned c = 0; c < clip->mNumChannels; ++c) {
        const aiNodeAnim* channel = clip->mChannels[c];
        auto found = byName_.find(channel->mNodeName.C_Str());
        if (found == byName_.end()) continue;
        if (foldedRoot && foldedRoot->mName == channel->mNodeName) continue;
        TransformController& t = keys.Nodes[found->second];
        ConvertChannel(channel, tps, t, topLevel_.count(found->second) ? &frame : nullptr);
        for (const std::vector<int32_t>* ticks :
             {&t.Position.KeyTicks, &t.Rotation.KeyTicks, &t.Scale.KeyTicks}) {
          if (!ticks->empty()) cover(ticks->front()), cover(ticks->back());
        }
      }
      for (unsigned c = 0; c < clip->mNumMorphMeshChannels; ++c) {
        const aiMeshMorphAnim* channel = clip->mMorphMeshChannels[c];
        Node* node = channel && channel->mKeys ? MorphClipNode(*channel) : nullptr;
        if (!node || node->MorphChannels.empty()) continue;
        std::vector<ValueTrack>& weights = keys.Weights[node];
        weights.assign(node->MorphChannels.size(), ValueTrack{});
        ConvertMorphChannel(*channel, tps, weights);
        for (const ValueTrack& w : weights) {
          if (!w.KeyTicks.empty()) cover(w.KeyTicks.front()), cover(w.KeyTicks.back());
        }
      }
    }
    // Without a rate of its own a take runs at the host's default, whatever
    // rate the takes before it set for the scene.
    keys.FrameRate = fps > 0 ? int32_t(fps) : 30;
    const int32_t perFrame = kTicksPerSecond / keys.FrameRate;
    // The range ends on a whole frame at or after the last key, so the last
    // key is sampled; keys before the clip's zero start it earlier.
    if (end % perFrame != 0 && end < 2000000000 - perFrame) end += perFrame - end % perFrame;
    if (first < 0) {
      first -= (perFrame + first % perFrame) % perFrame;
      KT_LOG_WARNING_CODE(Host, warning::TakeLengthChanged, take.Name.c_str(),
                          "Take %s has keys from %.4g s, before the clip's start; it starts there",
                          take.Name.c_str(), double(first) / kTicksPerSecond);
    }
    if (end == first) {
      KT_LOG_WARNING_CODE(Host, warning::TakeLengthChanged, take.Name.c_str(),
                          "Take %s has no length (all its keys at one time); it is one frame long",
                          take.Name.c_str());
      end = first + perFrame;
    }
    keys.First = first;
    keys.End = end;
    return keys;
  }

  // Every take, read and then laid on the scene's timeline.
  bool ConvertTakes(const std::vector<const FileTake*>& takes, const aiNode* foldedRoot,
                    const Frame& frame, std::string& error) {
    std::vector<TakeKeys> read;
    for (const FileTake* take : takes) read.push_back(ReadTake(*take, foldedRoot, frame));
    return PlaceTakes(read, scene_, error);
  }

  static void ConvertChannel(const aiNodeAnim* channel, double tps, TransformController& t,
                             const Frame* frame) {
    if (channel->mNumPositionKeys > 0) {
      ValueTrack& track = t.Position;
      track.KeyTicks.clear();
      track.KeyValues.clear();
      ConvertKeys(channel->mPositionKeys, channel->mNumPositionKeys, tps, track.KeyTicks,
                  [&](unsigned k, bool replace) {
                    Vector3 p{channel->mPositionKeys[k].mValue.x,
                              channel->mPositionKeys[k].mValue.y,
                              channel->mPositionKeys[k].mValue.z};
                    if (frame) ApplyFrame(*frame, &p, nullptr, nullptr);
                    if (replace) track.KeyValues.resize(track.KeyValues.size() - 3);
                    track.KeyValues.insert(track.KeyValues.end(), {p.x, p.y, p.z});
                  });
    }
    if (channel->mNumRotationKeys > 0) {
      RotationTrack& track = t.Rotation;
      track.KeyTicks.clear();
      track.KeyValues.clear();
      ConvertKeys(channel->mRotationKeys, channel->mNumRotationKeys, tps, track.KeyTicks,
                  [&](unsigned k, bool replace) {
                    const aiQuaternion& v = channel->mRotationKeys[k].mValue;
                    Quaternion q = Normalize(Quaternion{v.x, v.y, v.z, v.w});
                    if (frame) ApplyFrame(*frame, nullptr, &q, nullptr);
                    if (replace) track.KeyValues.pop_back();
                    track.KeyValues.push_back(q);
                  });
    }
    if (channel->mNumScalingKeys > 0) {
      ValueTrack& track = t.Scale;
      track.KeyTicks.clear();
      track.KeyValues.clear();
      ConvertKeys(channel->mScalingKeys, channel->mNumScalingKeys, tps, track.KeyTicks,
                  [&](unsigned k, bool replace) {
                    Vector3 s{channel->mScalingKeys[k].mValue.x, channel->mScalingKeys[k].mValue.y,
                              channel->mScalingKeys[k].mValue.z};
                    if (frame) ApplyFrame(*frame, nullptr, nullptr, &s);
                    if (replace) track.KeyValues.resize(track.KeyValues.size() - 3);
                    track.KeyValues.insert(track.KeyValues.end(), {s.x, s.y, s.z});
                  });
    }
  }

  const aiScene* source_;
  std::string path_;
  std::string directory_;
  std::string extension_;  // the file's, lower case
  Scene& scene_;
  std::vector<Material*> materials_;
  std::map<std::pair<std::string, std::vector<float>>, Material*> bitmaps_;
  std::set<std::string> boneNames_, animatedNodes_, cameras_, lights_;
  std::map<const aiNode*, Node*> nodes_;
  std::map<const aiNode*, std::vector<int32_t>> materialIds_;  // per aiMesh of the node
  std::unordered_map<std::string, Node*> byName_;
  std::set<const Node*> topLevel_;
  std::map<std::string, int> nameCounts_;  // of the names nodes would take
};

const aiScene* ReadWithAssimp(Assimp::Importer& importer, const std::string& path,
                              std::string& error) {
  std::string extension = UnsupportedGltfExtension(path);
  if (!extension.empty()) {
    error = "the file uses the glTF extension " + extension +
            ", which this importer cannot read correctly";
    return nullptr;
  }
  // Never add nodes the file did not have, never touch skin weights.
  importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  // A file of bones only is a scene of bones, not a generated skeleton mesh.
  importer.SetPropertyBool(AI_CONFIG_IMPORT_NO_SKELETON_MESHES, true);
  // glTF extras too deep for Assimp to copy in time are read by us alone.
  if (Assimp::IOSystem* files = GltfWithoutDeepExtras(path)) importer.SetIOHandler(files);
  const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate);
  if (scene && scene->mNumMeshes == 0) {
    // A scene of bones only (BVH, animation-only FBX) is valid for us; the
    // validator checks everything else it holds.
    const_cast<aiScene*>(scene)->mFlags |= AI_SCENE_FLAGS_INCOMPLETE;
  }
  if (scene) scene = importer.ApplyPostProcessing(aiProcess_ValidateDataStructure);
  if (!scene) {
    error = importer.GetErrorString();
    if (error.empty()) error = "the importer could not read it";
    return nullptr;
  }
  return scene;
}

}  // namespace

std::string UnsupportedGltfExtension(const std::string& path) {
  std::string extension = Lower(fs::path(path).extension().string());
  if (extension != ".gltf" && extension != ".glb") return "";
  std::ifstream in(path, std::ios::binary);
  std::string text;
  if (extension == ".glb") {
    // 12-byte header, then the JSON chunk: length, type, data.
    char header[20];
    if (!in.read(header, sizeof header)) return "";
    uint32_t length;
    std::memcpy(&length, header + 12, 4);
    if (length > (64u << 20)) return "";
    text.resize(length);
    if (!in.read(text.data(), length)) return "";
  } else {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  for (const char* name : {"KHR_mesh_quantization"}) {
    if (text.find(std::string("\"") + name + "\"") != std::string::npos) return name;
  }
  return "";
}

bool ImportSceneFile(const std::string& path, const ImportOptions& options, Scene& scene,
                     std::string& error) {
  auto owned = std::make_unique<Assimp::Importer>();
  Assimp::Importer& importer = *owned;
  // Released on every return: the memory goes with the process.
  struct KeepForExit {
    std::unique_ptr<Assimp::Importer>& importer;
    bool keep;
    ~KeepForExit() {
      if (keep) (void)importer.release();
    }
  } keepForExit{owned, options.ProcessEndsAfterImport};
  const aiScene* source = ReadWithAssimp(importer, path, error);
  if (!source) return false;

  // Every take, or those named (by name or index), in the file's order.
  std::vector<FileTake> takes = GroupTakes(source);
  std::vector<const FileTake*> chosen;
  std::vector<bool> wanted(takes.size(), options.Takes.empty());
  for (const std::string& asked : options.Takes) {
    size_t found = takes.size();
    for (size_t i = 0; i < takes.size() && found == takes.size(); ++i)
      if (takes[i].Name == asked) found = i;
    char* end = nullptr;
    const long index = std::strtol(asked.c_str(), &end, 10);
    if (found == takes.size() && !asked.empty() && end && *end == 0 && index >= 0 &&
        size_t(index) < takes.size())
      found = size_t(index);
    if (found == takes.size()) {
      error = "no take \"" + asked + "\" in the file (takes:";
      for (size_t i = 0; i < takes.size(); ++i) {
        error += " " + std::to_string(i) + " \"" + takes[i].Name + "\"";
      }
      error += takes.empty() ? " none)" : ")";
      return false;
    }
    wanted[found] = true;
  }
  for (size_t i = 0; i < takes.size(); ++i)
    if (wanted[i]) chosen.push_back(&takes[i]);

  Scene result;
  result.FileName = fs::path(path).filename().string();
  result.FilePath = path;
  Converter converter(source, path, result);
  if (!converter.Run(chosen, error)) return false;
  scene = std::move(result);
  return true;
}

}  // namespace ketrel::host
