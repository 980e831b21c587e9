#pragma once
// A fake host for the mesh conversion tests: meshes given as plain arrays,
// skins, morph channels, frames and materials, and a hand-made parser
// around a node graph.

#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_mesh_conversion.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_string_table.h"
#include "tests/export/test_ketrel_neutral_tool.h"
#include "tests/support/packed_value.h"

namespace ketrel::test {

using Vec3 = std::array<float, 3>;

// Mesh setting ids.
constexpr uint32_t kBonesPerVertex = 8, kTruncate16 = 76, kTopologyInfo = 77, kAllowCoords = 81,
                   kCoordsPerVertex = 82, kAllowColors = 84, kColorsPerVertex = 85,
                   kInsertDummyColors = 89, kPerBoneTriangles = 98, kTangents = 99,
                   kBinormals = 100, kCross = 101, kClockwise = 143, kSetTotalFrames = 165,
                   kFrameCount = 166, kBindNearest = 174, kDouble = 186, kMorphCurves = 188,
                   kPositionTolerance = 190, kRelativeToBones = 210, kQuantizedCurves = 230,
                   kMorphTargets = 237, kModifier = 240, kFrames = 241, kDeltas = 242, kFlipV = 243,
                   kPreserveBones = 247, kToolTangents = 249, kWeightFormat = 255,
                   kFloat32Weights = 258, kNormalFormat = 287, kDec3N = 289, kColorFormat = 290,
                   kUByte8 = 292, kDisableMerging = 295, kFilterZero = 296, kFloat16 = 297;

struct FakeMesh {
  std::vector<Vec3> positions;
  std::vector<std::array<int32_t, 3>> faces;
  std::vector<std::array<Vec3, 3>> normals;           // per face and corner
  std::vector<int32_t> materials;                     // per face; empty: all 0
  std::vector<bool> twoSided;                         // per face; empty: none
  std::vector<std::vector<std::array<Vec3, 3>>> uvs;  // [channel][face][corner]
  std::vector<int32_t> uvNumbers;                     // host channel of each uv channel
  std::vector<Vec3> toolTangent;  // the host's tangent and binormal for every corner
  int32_t faceWithoutTangents = -1;
  int32_t materialCount = 1;
  int32_t mapChannels = 1;
  bool mirrored = false;
};

// Counts every out-of-range question, which conversion must never ask.
class FakeAccess : public MeshAccess {
 public:
  FakeAccess(FakeMesh mesh, int* outOfRange) : m_(std::move(mesh)), bad_(outOfRange) {}
  int32_t VertexCount() override { return int32_t(m_.positions.size()); }
  int32_t FaceCount() override { return int32_t(m_.faces.size()); }
  int32_t MapChannelCount() override { return m_.mapChannels; }
  int32_t MaterialCount() override { return m_.materialCount; }
  bool Mirrored() override { return m_.mirrored; }
  void GetPosition(int32_t v, float out[3]) override {
    Copy(Vertex(v) ? m_.positions[size_t(v)] : Vec3{}, out);
  }
  void GetFaceVertices(int32_t f, int32_t out[3]) override {
    for (int c = 0; c < 3; ++c) out[c] = Face(f) ? m_.faces[size_t(f)][size_t(c)] : 0;
  }
  void GetCornerNormal(int32_t f, int32_t c, float out[3]) override {
    Copy(Face(f) && Corner(c) ? m_.normals[size_t(f)][size_t(c)] : Vec3{}, out);
  }
  int32_t GetFaceMaterialIndex(int32_t f) override {
    return Face(f) && !m_.materials.empty() ? m_.materials[size_t(f)] : 0;
  }
  bool IsFaceTwoSided(int32_t f) override {
    return Face(f) && !m_.twoSided.empty() && m_.twoSided[size_t(f)];
  }
  int32_t ColorChannelCount() override { return 0; }
  int32_t TexCoordChannelCount() override { return int32_t(m_.uvs.size()); }
  int32_t TexCoordChannelNumber(int32_t k) override {
    return k >= 0 && size_t(k) < m_.uvNumbers.size() ? m_.uvNumbers[size_t(k)] : k + 1;
  }
  void GetCornerColor(int32_t f, int32_t c, int32_t, float out[4]) override {
    Face(f);
    Corner(c);
    for (int i = 0; i < 4; ++i) out[i] = 1.0f;
  }
  void GetCornerTexCoord(int32_t f, int32_t c, int32_t k, float out[3]) override {
    const bool ok = Face(f) && Corner(c) && k >= 0 && size_t(k) < m_.uvs.size();
    Copy(ok ? m_.uvs[size_t(k)][size_t(f)][size_t(c)] : Vec3{}, out);
  }
  bool GetCornerToolTangent(int32_t f, int32_t c, int32_t, float tangent[3],
                            float binormal[3]) override {
    if (m_.toolTangent.empty() || !Face(f) || !Corner(c)) return false;
    if (f == m_.faceWithoutTangents) return false;
    Copy(m_.toolTangent[0], tangent);
    Copy(m_.toolTangent[1], binormal);
    return true;
  }

 private:
  static void Copy(const Vec3& v, float out[3]) {
    for (int i = 0; i < 3; ++i) out[i] = v[size_t(i)];
  }
  bool Vertex(int32_t v) { return Check(v >= 0 && size_t(v) < m_.positions.size()); }
  bool Face(int32_t f) { return Check(f >= 0 && size_t(f) < m_.faces.size()); }
  bool Corner(int32_t c) { return Check(c >= 0 && c < 3); }
  bool Check(bool ok) {
    if (!ok) ++*bad_;
    return ok;
  }
  FakeMesh m_;
  int* bad_;
};

class FakeTool : public test::NeutralTool {
 public:
  int32_t GetAnimationEnd() override { return hostFrames * 160; }
  int32_t GetFrameCount() override { return hostFrames; }
  void SetSampleTimeToStart() override { frame = frameCount = 0; }
  void SetSampleTimeToFrame(int32_t i, int32_t n) override {
    frame = i;
    frameCount = n;
    moves.push_back({i, n});
  }
  const char* GetBoneName(const BoneNode* bone) override { return names[bone].c_str(); }
  const char* GetMeshName(const MeshNode*, bool fullPath) override {
    return fullPath ? "scene|mesh" : "mesh";
  }
  BoneNode* FindBoneOfHostNode(HostHandle node) override {
    return hostBones.count(node) ? hostBones[node] : nullptr;
  }
  bool GetBoneTransforms(const BoneNode* bone, TransformParts& local,
                         TransformParts& world) override {
    world = worlds[bone];
    if (frameCount > 0 && lift.count(bone)) world.Position[2] += lift[bone] * float(frame);
    local = world;
    return true;
  }
  int32_t GetSkinBoneCount(const MeshNode* mesh) override {
    return skins.count(mesh) ? int32_t(skins[mesh].size()) : 0;
  }
  BoneNode* GetSkinBone(const MeshNode* mesh, int32_t k) override { return skins[mesh][size_t(k)]; }
  int32_t GetSkinInfluenceCount(const MeshNode* mesh, int32_t v) override {
    auto& all = influences[mesh];
    return v >= 0 && size_t(v) < all.size() ? int32_t(all[size_t(v)].size()) : 0;
  }
  bool GetSkinInfluence(const MeshNode* mesh, int32_t v, int32_t k, int32_t* bone,
                        float* weight) override {
    auto& all = influences[mesh];
    if (v < 0 || size_t(v) >= all.size() || k < 0 || size_t(k) >= all[size_t(v)].size()) {
      return false;
    }
    *bone = all[size_t(v)][size_t(k)].first;
    *weight = all[size_t(v)][size_t(k)].second;
    return true;
  }
  bool HasMorpher(const MeshNode* mesh) override { return channels.count(mesh) > 0; }
  int32_t GetMorphChannelCount(const MeshNode* mesh) override {
    return channels.count(mesh) ? int32_t(channels[mesh].size()) : 0;
  }
  const char* GetMorphChannelName(const MeshNode* mesh, int32_t c) override {
    return channels[mesh][size_t(c)].first.c_str();
  }
  MeshAccess* OpenMeshAccess(const MeshNode* mesh, bool) override {
    if (!meshes.count(mesh)) return nullptr;
    if (frames && frameCount > 0) return new FakeAccess(frames(frame, frameCount), &outOfRange);
    return new FakeAccess(meshes[mesh], &outOfRange);
  }
  MeshAccess* OpenMorphTargetAccess(const MeshNode* mesh, int32_t c, bool) override {
    return new FakeAccess(channels[mesh][size_t(c)].second, &outOfRange);
  }
  MaterialNode* GetMeshMaterial(const MeshNode* mesh) override {
    return meshMaterials.count(mesh) ? meshMaterials[mesh] : nullptr;
  }
  int32_t GetSubMaterialCount(const MaterialNode* m) override {
    return subMaterials.count(m) ? int32_t(subMaterials[m].size()) : 0;
  }
  MaterialNode* GetSubMaterial(const MaterialNode* m, int32_t i) override {
    return subMaterials[m][size_t(i)];
  }

  std::map<const MeshNode*, FakeMesh> meshes;
  std::function<FakeMesh(int32_t frame, int32_t count)> frames;
  std::map<const MeshNode*, std::vector<std::pair<std::string, FakeMesh>>> channels;
  std::map<const MeshNode*, std::vector<BoneNode*>> skins;
  std::map<const MeshNode*, std::vector<std::vector<std::pair<int32_t, float>>>> influences;
  std::map<HostHandle, BoneNode*> hostBones;
  std::map<const BoneNode*, std::string> names;
  std::map<const BoneNode*, TransformParts> worlds;
  std::map<const BoneNode*, float> lift;  // rise in z per frame of SetSampleTimeToFrame
  std::map<const MeshNode*, MaterialNode*> meshMaterials;
  std::map<const MaterialNode*, std::vector<MaterialNode*>> subMaterials;
  std::vector<std::pair<int32_t, int32_t>> moves;
  int32_t hostFrames = 0;
  int32_t frame = 0;
  int32_t frameCount = 0;
  int outOfRange = 0;
};

class Scene : public test::ParserHarness {
 public:
  Scene() : ParserHarness(&tool) {}
  MeshNode* Mesh(const FakeMesh& data) {
    MeshNode* node = AddMeshNode(graph);
    node->Settings = Settings(SettingsCategory::Mesh);
    node->HostNode = node;
    tool.meshes[node] = data;
    return node;
  }
  BoneNode* Bone(const char* name, const TransformParts& world = {}) {
    BoneNode* bone = AddBoneNode(graph);
    bone->Settings = Settings(SettingsCategory::Bone);
    tool.names[bone] = name;
    tool.worlds[bone] = world;
    return bone;
  }
  // A cleared file_info with the room ConvertScene gives the phase.
  void Begin() {
    parser.info = static_cast<file_info*>(KT_PARSER_ALLOCATE(&parser, sizeof(file_info)));
    MakeEmptyDataTypeObject(FileInfoType, parser.info);
    const int32_t meshes = graph->MeshCount;
    const int32_t datas = CountMeshVertexDatas(&parser);
    ReserveFileList(&parser, FileList::Meshes, meshes);
    ReserveFileList(&parser, FileList::TriTopologies, meshes);
    ReserveFileList(&parser, FileList::VertexDatas, datas);
  }
  bool Convert() {
    Begin();
    return ConvertMeshes(&parser);
  }
  mesh* Result(const MeshNode* node) const { return static_cast<mesh*>(node->Object); }

  FakeTool tool;
};

inline void Set(SettingsItem* item, uint32_t id, int64_t value) { SetSettingInt(item, id, value); }
inline void Choose(SettingsItem* item, uint32_t combobox, uint32_t choice) {
  RequesterProperty* p = FindPropertyById(ResolveRequester(item), combobox);
  SelectChoice(p, FindChoiceById(p, choice));
}
inline void SetInChoice(SettingsItem* item, uint32_t combobox, uint32_t id, int64_t value) {
  RequesterProperty* p = FindPropertyById(ResolveRequester(item), combobox);
  SetPropertyInt(FindPropertyById(p->Combobox.Selected, id), value);
}

// Reads members of a vertex_data by name.
class Vertices {
 public:
  explicit Vertices(const vertex_data* data)
      : type_(data->Vertices.Type),
        items_(static_cast<const uint8_t*>(data->Vertices.Items)),
        count_(data->Vertices.Count),
        stride_(GetTotalObjectSize(data->Vertices.Type)) {}
  int32_t Count() const { return count_; }
  bool Has(const char* name) const { return FindMatchingMember(type_, 0, name, nullptr); }
  const data_type_definition* Member(const char* name) const {
    found_member found;
    FindMatchingMember(type_, 0, name, &found);
    return found.Member;
  }
  float Real(int32_t v, const char* name, int32_t i) const {
    found_member found;
    FindMatchingMember(type_, 0, name, &found);
    const int32_t size = GetMemberTypeInfo(found.Member->Type)->Size64;
    return ConvertMemberToReal32(found.Member->Type, At(v) + found.Offset + i * size);
  }
  int32_t Int(int32_t v, const char* name, int32_t i) const {
    found_member found;
    FindMatchingMember(type_, 0, name, &found);
    const int32_t size = GetMemberTypeInfo(found.Member->Type)->Size64;
    return ConvertMemberToInt32(found.Member->Type, At(v) + found.Offset + i * size);
  }
  // A byte member's stored value (quantised weights).
  int32_t Byte(int32_t v, const char* name, int32_t i) const {
    found_member found;
    FindMatchingMember(type_, 0, name, &found);
    return At(v)[found.Offset + i];
  }
  Vec3 Get3(int32_t v, const char* name) const {
    return {Real(v, name, 0), Real(v, name, 1), Real(v, name, 2)};
  }
  const uint8_t* At(int32_t v) const { return items_ + size_t(v) * size_t(stride_); }

 private:
  data_type_definition* type_;
  const uint8_t* items_;
  int32_t count_;
  int32_t stride_;
};

inline const float kCubeCorners[8][3] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                                         {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
inline const int kCubeFaces[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                                     {2, 3, 7, 6}, {1, 2, 6, 5}, {0, 4, 7, 3}};
inline const float kCubeNormals[6][3] = {{0, 0, -1}, {0, 0, 1}, {0, -1, 0},
                                         {0, 1, 0},  {1, 0, 0}, {-1, 0, 0}};

// A cube of 12 triangles: one smoothing group per face gives each corner its
// face's normal; all faces in one group give each corner the smoothed normal.
inline FakeMesh Cube(bool smooth) {
  FakeMesh m;
  for (const auto& p : kCubeCorners) m.positions.push_back({p[0], p[1], p[2]});
  for (int f = 0; f < 6; ++f) {
    const int split[2][3] = {{0, 1, 2}, {0, 2, 3}};
    for (const auto& tri : split) {
      std::array<int32_t, 3> face;
      std::array<Vec3, 3> normals;
      for (int c = 0; c < 3; ++c) {
        face[size_t(c)] = kCubeFaces[f][tri[c]];
        const float* p = kCubeCorners[face[size_t(c)]];
        const float s = 1.0f / std::sqrt(3.0f);
        normals[size_t(c)] = smooth
                                 ? Vec3{p[0] * s, p[1] * s, p[2] * s}
                                 : Vec3{kCubeNormals[f][0], kCubeNormals[f][1], kCubeNormals[f][2]};
      }
      m.faces.push_back(face);
      m.normals.push_back(normals);
    }
  }
  return m;
}

// A unit quad in the z = 0 plane facing +z, as two triangles.
inline FakeMesh Quad() {
  FakeMesh m;
  m.positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  m.faces = {{0, 1, 2}, {0, 2, 3}};
  const std::array<Vec3, 3> up = {Vec3{0, 0, 1}, Vec3{0, 0, 1}, Vec3{0, 0, 1}};
  m.normals = {up, up};
  return m;
}

}  // namespace ketrel::test
