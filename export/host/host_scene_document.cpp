#include "export/host/host_scene_document.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unordered_map>

#include "export/host/host_base64.h"
#include "export/host/host_scene_document_properties.h"
#include "export/host/host_scene_document_reader.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

using namespace document;

bool ReadMesh(Reader& r, const json& value, const std::string& path, TriMesh& mesh) {
  if (!r.Object(value, path) ||
      !r.Keys(value, path,
              {"vertices", "faces", "smoothingGroups", "materialIds", "normals", "normalFaces",
               "maps", "tangentChannel", "tangents", "binormals", "tangentFaces"}))
    return false;
  const json* vertices = r.Required(value, path, "vertices");
  if (!vertices || !FloatRows(r, *vertices, Member(path, "vertices"), 3, mesh.Vertices))
    return false;
  const json* faces = r.Required(value, path, "faces");
  size_t vertexCount = mesh.Vertices.size() / 3;
  if (!faces ||
      !IndexTriangles(r, *faces, Member(path, "faces"), vertexCount, "vertex", mesh.Faces))
    return false;
  size_t faceCount = mesh.Faces.size() / 3;
  if (const json* v = r.Optional(value, "smoothingGroups")) {
    std::string at = Member(path, "smoothingGroups");
    if (!PerFace(r, *v, at, faceCount, "smoothing groups")) return false;
    mesh.SmoothingGroups.resize(faceCount);
    for (size_t f = 0; f < faceCount; ++f)
      if (!r.Uint32((*v)[f], Item(at, f), mesh.SmoothingGroups[f])) return false;
  }
  if (const json* v = r.Optional(value, "materialIds")) {
    std::string at = Member(path, "materialIds");
    if (!PerFace(r, *v, at, faceCount, "material ids")) return false;
    mesh.MaterialIds.resize(faceCount);
    // The host keeps material ids in 16 bits.
    for (size_t f = 0; f < faceCount; ++f)
      if (!r.Int32((*v)[f], Item(at, f), mesh.MaterialIds[f], 0, 65535)) return false;
  }
  const json* normals = r.Optional(value, "normals");
  const json* normalFaces = r.Optional(value, "normalFaces");
  if (bool(normals) != bool(normalFaces))
    return r.Fail(path, "\"normals\" and \"normalFaces\" come together");
  if (normals) {
    // Normal faces may be fewer or more than the mesh's (stale explicit
    // normals); the mesh access then falls back to smoothing groups.
    if (!FloatRows(r, *normals, Member(path, "normals"), 3, mesh.Normals) ||
        !IndexTriangles(r, *normalFaces, Member(path, "normalFaces"), mesh.Normals.size() / 3,
                        "normal", mesh.NormalFaces))
      return false;
  }
  if (const json* maps = r.Optional(value, "maps")) {
    std::string mapsPath = Member(path, "maps");
    if (!r.Array(*maps, mapsPath)) return false;
    for (size_t k = 0; k < maps->size(); ++k) {
      std::string at = Item(mapsPath, k);
      const json& entry = (*maps)[k];
      MapChannel map;
      if (!r.Object(entry, at) || !r.Keys(entry, at, {"channel", "vertices", "faces"}))
        return false;
      const json* channel = r.Required(entry, at, "channel");
      if (!channel || !r.Int32(*channel, Member(at, "channel"), map.Channel, -2, 99)) return false;
      if (mesh.FindMap(map.Channel))
        return r.Fail(Member(at, "channel"),
                      "channel " + std::to_string(map.Channel) + " given twice");
      const json* mapVertices = r.Required(entry, at, "vertices");
      if (!mapVertices || !FloatRows(r, *mapVertices, Member(at, "vertices"), 3, map.Vertices))
        return false;
      const json* mapFaces = r.Required(entry, at, "faces");
      if (!mapFaces || !PerFace(r, *mapFaces, Member(at, "faces"), faceCount, "map faces") ||
          !IndexTriangles(r, *mapFaces, Member(at, "faces"), map.Vertices.size() / 3, "map vertex",
                          map.Faces))
        return false;
      mesh.Maps.push_back(std::move(map));
    }
    std::sort(mesh.Maps.begin(), mesh.Maps.end(),
              [](const MapChannel& a, const MapChannel& b) { return a.Channel < b.Channel; });
  }
  if (const json* v = r.Optional(value, "tangentChannel"))
    if (!r.Int32(*v, Member(path, "tangentChannel"), mesh.TangentChannel, -2, 99)) return false;
  const json* tangents = r.Optional(value, "tangents");
  const json* binormals = r.Optional(value, "binormals");
  const json* tangentFaces = r.Optional(value, "tangentFaces");
  if (tangents || binormals || tangentFaces) {
    if (!tangents || !binormals || !tangentFaces)
      return r.Fail(path, "\"tangents\", \"binormals\" and \"tangentFaces\" come together");
    if (!FloatRows(r, *tangents, Member(path, "tangents"), 3, mesh.Tangents) ||
        !FloatRows(r, *binormals, Member(path, "binormals"), 3, mesh.Binormals))
      return false;
    if (mesh.Binormals.size() != mesh.Tangents.size())
      return r.Fail(Member(path, "binormals"),
                    std::to_string(mesh.Binormals.size() / 3) + " binormals for " +
                        std::to_string(mesh.Tangents.size() / 3) + " tangents");
    std::string at = Member(path, "tangentFaces");
    if (!PerFace(r, *tangentFaces, at, faceCount, "tangent faces") ||
        !IndexTriangles(r, *tangentFaces, at, mesh.Tangents.size() / 3, "tangent",
                        mesh.TangentFaces))
      return false;
  }
  return true;
}

// The skin's weights, bind matrices and the mesh's bind matrix; the bones
// are read with the node.
bool ReadSkinData(Reader& r, const json& skin, const std::string& path, Node& n) {
  if (!r.Keys(skin, path, {"bones", "weights", "bindMatrices", "meshBindMatrix"})) return false;
  size_t boneCount = n.SkinBones.size();
  if (const json* weights = r.Optional(skin, "weights")) {
    std::string at = Member(path, "weights");
    if (!r.Array(*weights, at)) return false;
    size_t vertexCount = size_t(n.Mesh.VertexCount());
    if (weights->size() != vertexCount)
      return r.Fail(at, std::to_string(weights->size()) + " weighted vertices for a mesh of " +
                            std::to_string(vertexCount));
    n.SkinWeights.resize(vertexCount);
    for (size_t v = 0; v < vertexCount; ++v) {
      std::string vertexPath = Item(at, v);
      const json& influences = (*weights)[v];
      if (!r.Array(influences, vertexPath)) return false;
      for (size_t k = 0; k < influences.size(); ++k) {
        std::string influencePath = Item(vertexPath, k);
        const json& pair = influences[k];
        SkinInfluence influence;
        if (!pair.is_array() || pair.size() != 2)
          return r.Fail(influencePath, "expected [bone, weight]");
        int64_t bone;
        if (!r.Integer(pair[0], influencePath, INT32_MIN, INT32_MAX, bone)) return false;
        if (bone < 0 || uint64_t(bone) >= boneCount)
          return r.Fail(influencePath,
                        "bone " + std::to_string(bone) +
                            (boneCount == 0 ? " but the skin has no bones"
                                            : " out of range 0.." + std::to_string(boneCount - 1)));
        influence.Bone = int32_t(bone);
        if (!r.Float(pair[1], influencePath, influence.Weight)) return false;
        n.SkinWeights[v].push_back(influence);
      }
    }
  }
  if (const json* binds = r.Optional(skin, "bindMatrices")) {
    std::string at = Member(path, "bindMatrices");
    if (!r.Array(*binds, at)) return false;
    if (binds->size() != boneCount)
      return r.Fail(at, std::to_string(binds->size()) + " bind matrices for " +
                            std::to_string(boneCount) + " bones");
    n.BindMatrices.resize(boneCount);
    for (size_t b = 0; b < boneCount; ++b)
      if (!Matrix(r, (*binds)[b], Item(at, b), n.BindMatrices[b])) return false;
  }
  if (const json* v = r.Optional(skin, "meshBindMatrix"))
    if (!Matrix(r, *v, Member(path, "meshBindMatrix"), n.MeshBindMatrix)) return false;
  return true;
}

bool ReadMorphChannels(Reader& r, const json& value, const std::string& path,
                       std::vector<MorphChannel>& out) {
  if (!r.Array(value, path)) return false;
  for (size_t c = 0; c < value.size(); ++c) {
    const json& entry = value[c];
    std::string at = NamedItem(path, c, entry);
    MorphChannel channel;
    if (!r.Object(entry, at) || !r.Keys(entry, at, {"name", "active", "target", "weight"}))
      return false;
    const json* name = r.Required(entry, at, "name");
    if (!name || !r.String(*name, Member(at, "name"), channel.Name)) return false;
    if (const json* v = r.Optional(entry, "active"))
      if (!r.Bool(*v, Member(at, "active"), channel.Active)) return false;
    // Targets whose counts differ from the base still load: conversion
    // reports the mismatch, which is the host's behaviour too.
    const json* target = r.Required(entry, at, "target");
    if (!target || !ReadMesh(r, *target, Member(at, "target"), channel.Target)) return false;
    if (const json* v = r.Optional(entry, "weight"))
      if (!r.Track(*v, Member(at, "weight"), 1, channel.Weight)) return false;
    out.push_back(std::move(channel));
  }
  return true;
}

struct ObjectPreset {
  const char* name;
  uint32_t superClass;
  ClassId classId;
};

// The object types a hand-written document can name instead of ids.
constexpr ObjectPreset kObjectPresets[] = {
    {"mesh", kGeometrySuperClass, {0x9, 0}},
    {"box", kGeometrySuperClass, {0x10, 0}},
    {"sphere", kGeometrySuperClass, {0x11, 0}},
    {"capsule", kGeometrySuperClass, {0x6D3D77AC, 0x79C939A9}},
    {"bone", kHelperSuperClass, {0x9125, 0}},
    {"helper", kHelperSuperClass, {0x876234, 0}},
    {"camera", kCameraSuperClass, {0x1001, 0}},
    {"light", kLightSuperClass, {0x1011, 0}},
    {"shape", kShapeSuperClass, {0x2001, 0}},
    {"target", kGeometrySuperClass, kTargetObjectClass},
};

struct MaterialPreset {
  const char* name;
  uint32_t superClass;
  ClassId classId;
};
constexpr MaterialPreset kMaterialPresets[] = {
    {"standard", kMaterialSuperClass, kStandardMaterialClass},
    {"multi", kMaterialSuperClass, kMultiMaterialClass},
    {"bitmap", kTextureMapSuperClass, kBitmapTextureClass},
    {"map", kTextureMapSuperClass, {0x1, 0}},
};

bool ReadSceneObject(Reader& r, const json& value, const std::string& path, SceneObject& object) {
  if (!r.Object(value, path) ||
      !r.Keys(value, path, {"type", "superClass", "class", "baseClass", "interfaces", "typeName"}))
    return false;
  bool typed = false;
  if (const json* type = r.Optional(value, "type")) {
    std::string name;
    if (!r.String(*type, Member(path, "type"), name)) return false;
    for (const ObjectPreset& preset : kObjectPresets) {
      if (name == preset.name) {
        object.SuperClass = preset.superClass;
        object.Class = object.BaseClass = preset.classId;
        typed = true;
      }
    }
    if (!typed) {
      std::vector<std::string_view> names;
      for (const ObjectPreset& preset : kObjectPresets) names.push_back(preset.name);
      return r.Fail(Member(path, "type"),
                    "unknown object type \"" + name + "\"" + DidYouMean(name, names));
    }
  }
  const json* superClass = r.Optional(value, "superClass");
  const json* classId = r.Optional(value, "class");
  if (!typed && (!superClass || !classId))
    return r.Fail(path, "needs a \"type\" or both \"superClass\" and \"class\"");
  if (superClass && !r.Uint32(*superClass, Member(path, "superClass"), object.SuperClass))
    return false;
  if (classId) {
    if (!r.Class(*classId, Member(path, "class"), object.Class)) return false;
    object.BaseClass = object.Class;
  }
  if (const json* base = r.Optional(value, "baseClass"))
    if (!r.Class(*base, Member(path, "baseClass"), object.BaseClass)) return false;
  if (const json* v = r.Optional(value, "typeName"))
    if (!r.String(*v, Member(path, "typeName"), object.TypeName)) return false;
  if (const json* interfaces = r.Optional(value, "interfaces")) {
    std::string at = Member(path, "interfaces");
    if (!r.Array(*interfaces, at)) return false;
    for (size_t i = 0; i < interfaces->size(); ++i) {
      uint32_t id;
      if (!r.Uint32((*interfaces)[i], Item(at, i), id)) return false;
      object.Interfaces.push_back(id);
    }
  }
  return true;
}

// The clips on the timeline: a name, a start and an end, and optionally a
// frame rate of their own. Ranges the export could not use are refused here.
bool ReadTakes(Reader& r, const json& list, const std::string& path, Scene& scene) {
  if (!r.Array(list, path)) return false;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string at = NamedItem(path, i, list[i]);
    Take take;
    if (!r.Object(list[i], at) || !r.Keys(list[i], at, {"name", "start", "end", "frameRate"}))
      return false;
    const json* name = r.Required(list[i], at, "name");
    if (!name || !r.String(*name, Member(at, "name"), take.Name)) return false;
    const json* start = r.Required(list[i], at, "start");
    if (!start || !r.Int32(*start, Member(at, "start"), take.Start)) return false;
    const json* end = r.Required(list[i], at, "end");
    if (!end || !r.Int32(*end, Member(at, "end"), take.End)) return false;
    if (take.End < take.Start) return r.Fail(Member(at, "end"), "before start");
    if (const json* v = r.Optional(list[i], "frameRate")) {
      if (!r.Int32(*v, Member(at, "frameRate"), take.FrameRate, 1, kTicksPerSecond)) return false;
      if (!IsValidFrameRate(take.FrameRate))
        return r.Fail(Member(at, "frameRate"),
                      std::to_string(take.FrameRate) + " does not divide 4800 ticks per second");
    }
    scene.Takes.push_back(std::move(take));
  }
  return true;
}

bool ReadSceneSettings(Reader& r, const json& value, Scene& scene) {
  const std::string path = "scene";
  if (!r.Object(value, path) ||
      !r.Keys(value, path,
              {"frameRate", "animationStart", "animationEnd", "restTime", "takes", "systemUnit",
               "unitFromSource", "sourceFormat", "settings"}))
    return false;
  if (const json* v = r.Optional(value, "frameRate")) {
    if (!r.Int32(*v, Member(path, "frameRate"), scene.FrameRate, 1, kTicksPerSecond)) return false;
    if (!IsValidFrameRate(scene.FrameRate))
      return r.Fail(Member(path, "frameRate"),
                    std::to_string(scene.FrameRate) + " does not divide 4800 ticks per second");
  }
  if (const json* v = r.Optional(value, "animationStart"))
    if (!r.Int32(*v, Member(path, "animationStart"), scene.AnimationStart)) return false;
  if (const json* v = r.Optional(value, "animationEnd"))
    if (!r.Int32(*v, Member(path, "animationEnd"), scene.AnimationEnd)) return false;
  if (scene.AnimationEnd < scene.AnimationStart)
    return r.Fail(Member(path, "animationEnd"), "before animationStart");
  if (const json* v = r.Optional(value, "restTime")) {
    if (!r.Int32(*v, Member(path, "restTime"), scene.RestTime)) return false;
    scene.HasRestTime = true;
  }
  if (const json* v = r.Optional(value, "takes"))
    if (!ReadTakes(r, *v, Member(path, "takes"), scene)) return false;
  if (const json* v = r.Optional(value, "systemUnit")) {
    if (!r.Double(*v, Member(path, "systemUnit"), scene.SystemUnit)) return false;
    if (!(scene.SystemUnit > 0)) return r.Fail(Member(path, "systemUnit"), "must be positive");
  }
  if (const json* v = r.Optional(value, "unitFromSource"))
    if (!r.Bool(*v, Member(path, "unitFromSource"), scene.UnitFromSource)) return false;
  if (const json* v = r.Optional(value, "sourceFormat"))
    if (!r.String(*v, Member(path, "sourceFormat"), scene.SourceFormat)) return false;
  if (const json* v = r.Optional(value, "settings"))
    if (!r.Chunks(*v, Member(path, "settings"), scene.Root->Settings)) return false;
  return true;
}

bool ReadMaterials(Reader& r, const json& list, const std::string& baseDirectory, Scene& scene) {
  const std::string path = "materials";
  if (!r.Array(list, path)) return false;
  for (size_t i = 0; i < list.size(); ++i) scene.AddMaterial("");
  for (size_t i = 0; i < list.size(); ++i) {
    const json& value = list[i];
    std::string at = NamedItem(path, i, value);
    Material& m = *scene.Materials[i];
    if (!r.Object(value, at) ||
        !r.Keys(value, at,
                {"name", "type", "superClass", "class", "twoSided", "diffuse", "fileName",
                 "embeddedImage", "subMaterials", "maps", "parameters", "settings", "colors",
                 "coordinates", "animatables"}))
      return false;
    const json* name = r.Required(value, at, "name");
    if (!name || !r.String(*name, Member(at, "name"), m.Name)) return false;
    if (const json* type = r.Optional(value, "type")) {
      std::string text;
      if (!r.String(*type, Member(at, "type"), text)) return false;
      bool known = false;
      for (const MaterialPreset& preset : kMaterialPresets) {
        if (text == preset.name) {
          m.SuperClass = preset.superClass;
          m.Class = preset.classId;
          known = true;
        }
      }
      if (!known) {
        std::vector<std::string_view> names;
        for (const MaterialPreset& preset : kMaterialPresets) names.push_back(preset.name);
        return r.Fail(Member(at, "type"),
                      "unknown material type \"" + text + "\"" + DidYouMean(text, names));
      }
    }
    if (const json* v = r.Optional(value, "superClass"))
      if (!r.Uint32(*v, Member(at, "superClass"), m.SuperClass)) return false;
    if (const json* v = r.Optional(value, "class"))
      if (!r.Class(*v, Member(at, "class"), m.Class)) return false;
    if (const json* v = r.Optional(value, "twoSided"))
      if (!r.Bool(*v, Member(at, "twoSided"), m.TwoSided)) return false;
    if (const json* v = r.Optional(value, "diffuse"))
      if (!r.Floats(*v, Member(at, "diffuse"), 3, m.Diffuse)) return false;
    if (const json* v = r.Optional(value, "fileName")) {
      if (!r.String(*v, Member(at, "fileName"), m.FileName)) return false;
      std::filesystem::path file(m.FileName);
      m.ResolvedFileName = file.is_relative() && !baseDirectory.empty()
                               ? (std::filesystem::path(baseDirectory) / file).string()
                               : m.FileName;
    }
    // An image the scene file carried inside itself (a .glb's textures).
    if (const json* v = r.Optional(value, "embeddedImage")) {
      std::string text;
      if (!r.String(*v, Member(at, "embeddedImage"), text)) return false;
      if (!DecodeBase64(text, m.EmbeddedImage))
        return r.Fail(Member(at, "embeddedImage"), "invalid base64");
    }
    if (const json* subs = r.Optional(value, "subMaterials")) {
      std::string subPath = Member(at, "subMaterials");
      if (!r.Array(*subs, subPath)) return false;
      for (size_t k = 0; k < subs->size(); ++k) {
        int32_t index;
        if ((*subs)[k].is_null()) {
          m.SubMaterials.push_back(nullptr);  // an empty slot
          continue;
        }
        if (!r.Index((*subs)[k], Item(subPath, k), list.size(), index)) return false;
        m.SubMaterials.push_back(scene.Materials[size_t(index)].get());
      }
    }
    if (const json* maps = r.Optional(value, "maps")) {
      std::string mapsPath = Member(at, "maps");
      if (!r.Array(*maps, mapsPath)) return false;
      for (size_t k = 0; k < maps->size(); ++k) {
        std::string slotPath = Item(mapsPath, k);
        const json& slot = (*maps)[k];
        Material::MapSlot entry;
        int32_t index;
        if (!r.Object(slot, slotPath) || !r.Keys(slot, slotPath, {"slot", "map"})) return false;
        const json* slotName = r.Required(slot, slotPath, "slot");
        const json* map = r.Required(slot, slotPath, "map");
        if (!slotName || !map || !r.String(*slotName, Member(slotPath, "slot"), entry.Slot))
          return false;
        if (!map->is_null()) {
          if (!r.Index(*map, Member(slotPath, "map"), list.size(), index)) return false;
          entry.Map = scene.Materials[size_t(index)].get();
        }
        m.Maps.push_back(entry);
      }
    }
    if (const json* v = r.Optional(value, "parameters"))
      if (!r.Parameters(*v, Member(at, "parameters"), m.Parameters)) return false;
    if (const json* v = r.Optional(value, "settings"))
      if (!r.Chunks(*v, Member(at, "settings"), m.Settings)) return false;
    if (const json* v = r.Optional(value, "colors"))
      if (!ReadMaterialColors(r, *v, Member(at, "colors"), m.Colors)) return false;
    if (const json* v = r.Optional(value, "coordinates"))
      if (!ReadMapCoordinates(r, *v, Member(at, "coordinates"), m.Coordinates)) return false;
    if (const json* v = r.Optional(value, "animatables"))
      if (!ReadAnimatables(r, *v, Member(at, "animatables"), r.owners, m.Animatables)) return false;
  }
  // The walk follows sub-materials and maps recursively: refuse cycles.
  std::vector<int> state(scene.Materials.size(), 0);  // 0 new, 1 on the path, 2 done
  std::vector<std::pair<const Material*, size_t>> stack;
  // In time linear in the references: a material may hold tens of
  // thousands of map slots.
  std::unordered_map<const Material*, size_t> indices;
  for (size_t i = 0; i < scene.Materials.size(); ++i) indices.emplace(scene.Materials[i].get(), i);
  auto indexOf = [&](const Material* m) {
    auto found = indices.find(m);
    return found != indices.end() ? found->second : size_t(0);
  };
  for (size_t start = 0; start < scene.Materials.size(); ++start) {
    if (state[start]) continue;
    stack.push_back({scene.Materials[start].get(), 0});
    state[start] = 1;
    while (!stack.empty()) {
      auto& [m, next] = stack.back();
      const size_t subs = m->SubMaterials.size();
      if (next >= subs + m->Maps.size()) {
        state[indexOf(m)] = 2;
        stack.pop_back();
        continue;
      }
      const Material* ref = next < subs ? m->SubMaterials[next] : m->Maps[next - subs].Map;
      ++next;
      if (!ref) continue;
      size_t refIndex = indexOf(ref);
      if (state[refIndex] == 1)
        return r.Fail(NamedItem(path, indexOf(m), list[indexOf(m)]),
                      "reference cycle through " + NamedItem(path, refIndex, list[refIndex]));
      if (state[refIndex] == 0) {
        state[refIndex] = 1;
        stack.push_back({ref, 0});
      }
    }
  }
  return true;
}

// An optional index into one of the scene's arrays (nodes or materials);
// null or absent leaves `out` as it is.
template <typename T>
bool IndexedReference(Reader& r, const json& node, const std::string& at, const char* key,
                      const std::vector<std::unique_ptr<T>>& items, T*& out) {
  const json* v = r.Optional(node, key);
  if (!v || v->is_null()) return true;
  int32_t index;
  if (!r.Index(*v, Member(at, key), items.size(), index)) return false;
  out = items[size_t(index)].get();
  return true;
}

bool ReadNode(Reader& r, const json& value, const std::string& at, Scene& scene, Node& n) {
  if (!r.Object(value, at) ||
      !r.Keys(value, at, {"name",          "parent",          "selected",       "object",
                          "lookAt",        "controllerClass", "position",       "rotation",
                          "scale",         "objectOffset",    "visibility",     "noteTracks",
                          "material",      "projectorMap",    "mesh",           "skin",
                          "morphChannels", "morpher",         "userProperties", "parameters",
                          "settings",      "flags",           "instanceGroup",  "animatables"}))
    return false;
  const json* name = r.Required(value, at, "name");
  if (!name || !r.String(*name, Member(at, "name"), n.Name)) return false;
  if (const json* v = r.Optional(value, "selected"))
    if (!r.Bool(*v, Member(at, "selected"), n.Selected)) return false;
  if (const json* v = r.Optional(value, "object"); v && !v->is_null()) {
    n.HasObject = true;
    if (!ReadSceneObject(r, *v, Member(at, "object"), n.Object)) return false;
  }
  if (!IndexedReference(r, value, at, "lookAt", scene.Nodes, n.LookAt)) return false;
  if (const json* v = r.Optional(value, "controllerClass"))
    if (!r.Class(*v, Member(at, "controllerClass"), n.Transform.Class)) return false;
  if (const json* v = r.Optional(value, "position"))
    if (!r.Track(*v, Member(at, "position"), 3, n.Transform.Position)) return false;
  if (const json* v = r.Optional(value, "rotation"))
    if (!r.RotationTrackOf(*v, Member(at, "rotation"), n.Transform.Rotation)) return false;
  if (const json* v = r.Optional(value, "scale"))
    if (!r.Track(*v, Member(at, "scale"), 3, n.Transform.Scale)) return false;
  if (const json* v = r.Optional(value, "objectOffset")) {
    float m[12];
    if (!r.Floats(*v, Member(at, "objectOffset"), 12, m)) return false;
    for (int i = 0; i < 12; ++i) n.ObjectOffset.m[i / 3][i % 3] = m[i];
  }
  if (const json* v = r.Optional(value, "visibility")) {
    n.HasVisibility = true;
    n.Visibility.Value = {1.0f};
    if (!r.Track(*v, Member(at, "visibility"), 1, n.Visibility)) return false;
  }
  if (const json* v = r.Optional(value, "noteTracks")) {
    std::string tracksPath = Member(at, "noteTracks");
    if (!r.Array(*v, tracksPath)) return false;
    for (size_t t = 0; t < v->size(); ++t) {
      std::string trackPath = Item(tracksPath, t);
      const json& keys = (*v)[t];
      if (!r.Array(keys, trackPath)) return false;
      NoteTrack track;
      std::vector<int32_t> ticks;
      for (size_t k = 0; k < keys.size(); ++k) {
        std::string keyPath = Item(trackPath, k);
        NoteKey key;
        if (!r.Object(keys[k], keyPath) || !r.Keys(keys[k], keyPath, {"tick", "text"}) ||
            !r.KeyTick(keys[k], keyPath, ticks))
          return false;
        key.Tick = ticks.back();
        const json* text = r.Required(keys[k], keyPath, "text");
        if (!text || !r.String(*text, Member(keyPath, "text"), key.Text)) return false;
        track.push_back(std::move(key));
      }
      n.NoteTracks.push_back(std::move(track));
    }
  }
  if (!IndexedReference(r, value, at, "material", scene.Materials, n.NodeMaterial)) return false;
  if (!IndexedReference(r, value, at, "projectorMap", scene.Materials, n.ProjectorMap))
    return false;
  if (const json* v = r.Optional(value, "mesh"); v && !v->is_null()) {
    n.HasMesh = true;
    if (!ReadMesh(r, *v, Member(at, "mesh"), n.Mesh)) return false;
  }
  if (const json* v = r.Optional(value, "skin"); v && !v->is_null()) {
    std::string skinPath = Member(at, "skin");
    if (!r.Object(*v, skinPath)) return false;
    const json* bones = r.Required(*v, skinPath, "bones");
    std::string bonesPath = Member(skinPath, "bones");
    if (!bones || !r.Array(*bones, bonesPath)) return false;
    for (size_t b = 0; b < bones->size(); ++b) {
      int32_t index;
      if (!r.Index((*bones)[b], Item(bonesPath, b), scene.Nodes.size(), index)) return false;
      n.SkinBones.push_back(scene.Nodes[size_t(index)].get());
    }
    if (!ReadSkinData(r, *v, skinPath, n)) return false;
  }
  if (const json* v = r.Optional(value, "morphChannels")) {
    if (!ReadMorphChannels(r, *v, Member(at, "morphChannels"), n.MorphChannels)) return false;
    n.HasMorpher = !n.MorphChannels.empty();
  }
  if (const json* v = r.Optional(value, "morpher"))
    if (!r.Bool(*v, Member(at, "morpher"), n.HasMorpher)) return false;
  if (const json* v = r.Optional(value, "userProperties"))
    if (!r.String(*v, Member(at, "userProperties"), n.UserProperties)) return false;
  if (const json* v = r.Optional(value, "parameters"))
    if (!r.Parameters(*v, Member(at, "parameters"), n.Parameters)) return false;
  if (const json* v = r.Optional(value, "settings"))
    if (!r.Chunks(*v, Member(at, "settings"), n.Settings)) return false;
  if (const json* v = r.Optional(value, "flags"); v && !v->is_null())
    if (!ReadNodeFlags(r, *v, Member(at, "flags"), n.Flags)) return false;
  if (const json* v = r.Optional(value, "instanceGroup"))
    if (!r.Int32(*v, Member(at, "instanceGroup"), n.InstanceGroup)) return false;
  if (const json* v = r.Optional(value, "animatables"))
    if (!ReadAnimatables(r, *v, Member(at, "animatables"), r.owners, n.Animatables)) return false;
  return true;
}

bool ReadNodes(Reader& r, const json& list, Scene& scene) {
  const std::string path = "nodes";
  if (!r.Array(list, path)) return false;
  // Nodes first, so references may point forwards; links afterwards.
  for (size_t i = 0; i < list.size(); ++i) {
    auto node = std::make_unique<Node>();
    node->Index = int32_t(i);
    scene.Nodes.push_back(std::move(node));
  }
  std::vector<int32_t> parents(list.size(), -1);
  for (size_t i = 0; i < list.size(); ++i) {
    std::string at = NamedItem(path, i, list[i]);
    if (!ReadNode(r, list[i], at, scene, *scene.Nodes[i])) return false;
    const json* parent = r.Optional(list[i], "parent");
    if (parent && !parent->is_null() &&
        !(parent->is_number_integer() && parent->get<int64_t>() == -1))
      if (!r.Index(*parent, Member(at, "parent"), list.size(), parents[i])) return false;
  }
  // Parent cycles, in one pass over each chain: a walk that meets a node of
  // its own walk (1) has a cycle; one that meets a finished node (2) stops.
  std::vector<unsigned char> seen(list.size(), 0);
  std::vector<size_t> walk;
  for (size_t i = 0; i < list.size(); ++i) {
    walk.clear();
    for (int32_t at = int32_t(i); at >= 0 && seen[size_t(at)] != 2; at = parents[size_t(at)]) {
      if (seen[size_t(at)] == 1)
        return r.Fail(Member(NamedItem(path, i, list[i]), "parent"),
                      "parent cycle through " + NamedItem(path, i, list[i]));
      seen[size_t(at)] = 1;
      walk.push_back(size_t(at));
    }
    for (size_t k : walk) seen[k] = 2;
  }
  for (size_t i = 0; i < list.size(); ++i) {
    Node* node = scene.Nodes[i].get();
    node->Parent = parents[i] < 0 ? scene.Root.get() : scene.Nodes[size_t(parents[i])].get();
    node->Parent->Children.push_back(node);
    if (node->LookAt && !node->LookAt->LookedAtBy) node->LookAt->LookedAtBy = node;
  }
  return true;
}

bool ParseInto(const std::string& text, const std::string& baseDirectory, Scene& scene,
               std::string& error) {
  json document = json::parse(text, nullptr, false);
  Reader r;
  if (document.is_discarded()) {
    // Find where it stopped, for the message.
    try {
      json again = json::parse(text);
      (void)again;
    } catch (const json::exception& e) {  // parse errors, and numbers beyond a double
      error = std::string("invalid JSON: ") + e.what();
      return false;
    }
    error = "invalid JSON";
    return false;
  }
  if (!r.Object(document, "") ||
      !r.Keys(document, "",
              {"format", "version", "scene", "materials", "nodes", "propertyOwners",
               "documentProperties", "selectionSets", "layers"})) {
    error = r.error;
    return false;
  }
  const json* format = r.Required(document, "", "format");
  std::string formatText;
  int32_t version = 0;
  bool ok = format && r.String(*format, "format", formatText);
  if (ok && formatText != "kscene")
    ok = r.Fail("format", "\"" + formatText + "\" is not \"kscene\"");
  const json* versionValue = ok ? r.Required(document, "", "version") : nullptr;
  ok = ok && versionValue && r.Int32(*versionValue, "version", version);
  if (ok && version != kSceneDocumentVersion)
    ok = r.Fail("version", "version " + std::to_string(version) + " is not supported (only 1)");
  if (ok) {
    if (const json* v = r.Optional(document, "scene")) ok = ReadSceneSettings(r, *v, scene);
  }
  if (ok) {
    if (const json* v = r.Optional(document, "propertyOwners"))
      ok = ReadPropertyOwners(r, *v, r.owners);
  }
  if (ok) {
    if (const json* v = r.Optional(document, "documentProperties"))
      ok = ReadDocumentProperties(r, *v, scene.DocumentProperties);
  }
  if (ok) {
    if (const json* v = r.Optional(document, "selectionSets"))
      ok = ReadNodeSets(r, *v, "selectionSets", scene.SelectionSets);
  }
  if (ok) {
    if (const json* v = r.Optional(document, "layers"))
      ok = ReadNodeSets(r, *v, "layers", scene.Layers);
  }
  if (ok) {
    if (const json* v = r.Optional(document, "materials"))
      ok = ReadMaterials(r, *v, baseDirectory, scene);
  }
  if (ok) {
    if (const json* v = r.Optional(document, "nodes")) ok = ReadNodes(r, *v, scene);
  }
  error = r.error;
  return ok;
}

// Hands the message to a caller who asked for it (and prints it), else logs
// it: never both, so a failed load is reported once.
bool Fail(const std::string& message, std::string* error) {
  if (error) {
    *error = message;
  } else {
    KT_LOG_ERROR(Host, "%s", message.c_str());
  }
  return false;
}

}  // namespace

bool ParseSceneDocument(const std::string& text, const std::string& baseDirectory, Scene& scene,
                        std::string* error) {
  Scene loaded;
  std::string message;
  if (!ParseInto(text, baseDirectory, loaded, message)) return Fail(message, error);
  scene = std::move(loaded);
  return true;
}

bool LoadSceneDocument(const std::string& path, Scene& scene, std::string* error) {
  std::string message;
  std::error_code code;
  if (!std::filesystem::is_regular_file(path, code)) {
    return Fail(path + ": no such scene document", error);
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    return Fail(path + ": cannot read the scene document", error);
  }
  std::filesystem::path file(path);
  Scene loaded;
  if (!ParseInto(text.str(), file.parent_path().string(), loaded, message)) {
    return Fail(path + ": " + message, error);
  }
  loaded.FilePath = path;
  loaded.FileName = file.filename().string();
  scene = std::move(loaded);
  return true;
}

}  // namespace ketrel::host
