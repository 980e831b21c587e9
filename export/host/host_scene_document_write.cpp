// Writing host scene documents: the scene as JSON, saved atomically.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "export/host/host_base64.h"
#include "export/host/host_scene_document.h"
#include "export/host/host_scene_document_properties.h"
#include "rt/ketrel_log.h"
#include "rt/posix/posix_ketrel_os_error.h"

namespace ketrel::host {
namespace {

using json = nlohmann::json;

json ClassJson(const ClassId& id) { return json::array({id.a, id.b}); }

json TrackJson(const ValueTrack& track) {
  static const char* const kModes[] = {"step", "linear", "smooth"};
  json out = json::object();
  out["interpolation"] = kModes[int(track.Mode)];
  out["value"] = track.Value;
  json keys = json::array();
  size_t n = size_t(track.Dimension);
  for (size_t k = 0; k < track.KeyTicks.size(); ++k) {
    std::vector<float> v(track.KeyValues.begin() + long(k * n),
                         track.KeyValues.begin() + long((k + 1) * n));
    keys.push_back({{"tick", track.KeyTicks[k]}, {"value", v}});
  }
  out["keys"] = keys;
  return out;
}

json QuaternionJson(const Quaternion& q) { return json::array({q.x, q.y, q.z, q.w}); }

json RotationJson(const RotationTrack& track) {
  static const char* const kModes[] = {"step", "linear", "smooth"};
  json keys = json::array();
  for (size_t k = 0; k < track.KeyTicks.size(); ++k)
    keys.push_back({{"tick", track.KeyTicks[k]}, {"value", QuaternionJson(track.KeyValues[k])}});
  return {{"interpolation", kModes[int(track.Mode)]},
          {"value", QuaternionJson(track.Value)},
          {"keys", keys}};
}

json ChunksJson(const SettingsChunks& chunks) {
  json out = json::array();
  for (const auto& [key, data] : chunks)
    out.push_back({{"kind", key.first}, {"index", key.second}, {"data", EncodeBase64(data)}});
  return out;
}

json ParametersJson(const std::vector<Parameter>& parameters) {
  json out = json::array();
  for (const Parameter& p : parameters) {
    json entry = TrackJson(p.Track);
    entry["name"] = p.Name;
    entry["dimension"] = p.Track.Dimension;
    out.push_back(entry);
  }
  return out;
}

// A float as the shortest decimal that reads back to the same float (a
// plain double conversion would write 0.1f as 0.10000000149011612). Should
// the decimal's double land on a different float, the exact value is kept.
json FloatJson(float value) {
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  double shortest = 0;
  if (ec == std::errc()) {
    *end = '\0';
    shortest = std::strtod(text, nullptr);
  }
  if (ec != std::errc() || float(shortest) != value) return double(value);
  return shortest;
}

// Rows of `width` floats: [[x, y, z], ...].
json FloatRowsJson(const std::vector<float>& values, size_t width) {
  json out = json::array();
  for (size_t i = 0; i + width <= values.size(); i += width) {
    json row = json::array();
    for (size_t k = 0; k < width; ++k) row.push_back(FloatJson(values[i + k]));
    out.push_back(std::move(row));
  }
  return out;
}

json TrianglesJson(const std::vector<int32_t>& indices) {
  json out = json::array();
  for (size_t i = 0; i + 3 <= indices.size(); i += 3)
    out.push_back(json::array({indices[i], indices[i + 1], indices[i + 2]}));
  return out;
}

json MatrixJson(const HostMatrix& matrix) {
  json out = json::array();
  for (int i = 0; i < 12; ++i) out.push_back(FloatJson(matrix.m[i / 3][i % 3]));
  return out;
}

json MeshJson(const TriMesh& mesh) {
  json out = {{"vertices", FloatRowsJson(mesh.Vertices, 3)}, {"faces", TrianglesJson(mesh.Faces)}};
  if (!mesh.SmoothingGroups.empty()) out["smoothingGroups"] = mesh.SmoothingGroups;
  if (!mesh.MaterialIds.empty()) out["materialIds"] = mesh.MaterialIds;
  if (!mesh.Normals.empty() || !mesh.NormalFaces.empty()) {
    out["normals"] = FloatRowsJson(mesh.Normals, 3);
    out["normalFaces"] = TrianglesJson(mesh.NormalFaces);
  }
  if (!mesh.Maps.empty()) {
    json maps = json::array();
    for (const MapChannel& map : mesh.Maps)
      maps.push_back({{"channel", map.Channel},
                      {"vertices", FloatRowsJson(map.Vertices, 3)},
                      {"faces", TrianglesJson(map.Faces)}});
    out["maps"] = std::move(maps);
  }
  out["tangentChannel"] = mesh.TangentChannel;
  if (!mesh.Tangents.empty() || !mesh.TangentFaces.empty()) {
    out["tangents"] = FloatRowsJson(mesh.Tangents, 3);
    out["binormals"] = FloatRowsJson(mesh.Binormals, 3);
    out["tangentFaces"] = TrianglesJson(mesh.TangentFaces);
  }
  return out;
}

// Text of a plain value. Names that are not valid UTF-8 (some scene files
// carry Latin-1) get replacement characters instead of failing the save.
std::string Plain(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Indented with tabs, except that an array of plain values (a vertex, a
// face, a track value) stays on one line: a large mesh then takes a third of
// the bytes and time of one number per line.
void WriteIndented(const json& value, int depth, std::string& out) {
  bool flat = !value.is_structured() ||
              (value.is_array() && std::none_of(value.begin(), value.end(),
                                                [](const json& v) { return v.is_structured(); }));
  if (flat && value.is_array()) {
    // Numbers straight into the text: shortest round-trip forms, as dump()
    // would write them, without a serializer per row.
    out += '[';
    for (size_t i = 0; i < value.size(); ++i) {
      const json& item = value[i];
      if (i) out += ',';
      char number[40];
      std::to_chars_result written{};
      if (item.is_number_integer() && !item.is_number_unsigned())
        written = std::to_chars(number, number + sizeof number, item.get<int64_t>());
      else if (item.is_number_unsigned())
        written = std::to_chars(number, number + sizeof number, item.get<uint64_t>());
      else if (item.is_number_float() && std::isfinite(item.get<double>()))
        written = std::to_chars(number, number + sizeof number, item.get<double>());
      else
        written.ec = std::errc::invalid_argument;
      if (written.ec != std::errc()) {
        out += Plain(item);
        continue;
      }
      out.append(number, written.ptr);
      // A whole float keeps a fraction, or it would read back as an integer
      // ("-0" would lose its sign).
      if (item.is_number_float() && std::find_if(number, written.ptr, [](char c) {
                                      return c == '.' || c == 'e';
                                    }) == written.ptr)
        out += ".0";
    }
    out += ']';
    return;
  }
  if (flat || value.empty()) {
    out += Plain(value);
    return;
  }
  bool object = value.is_object();
  out += object ? "{\n" : "[\n";
  size_t i = 0;
  for (auto it = value.begin(); it != value.end(); ++it, ++i) {
    out.append(size_t(depth + 1), '\t');
    if (object) {
      out += Plain(json(it.key()));
      out += ": ";
    }
    WriteIndented(it.value(), depth + 1, out);
    if (i + 1 < value.size()) out += ',';
    out += '\n';
  }
  out.append(size_t(depth), '\t');
  out += object ? '}' : ']';
}

}  // namespace

std::string SceneDocumentText(const Scene& scene) {
  json document = json::object();
  document["format"] = "kscene";
  document["version"] = kSceneDocumentVersion;
  document["scene"] = {{"frameRate", scene.FrameRate},
                       {"animationStart", scene.AnimationStart},
                       {"animationEnd", scene.AnimationEnd},
                       {"systemUnit", scene.SystemUnit},
                       {"settings", ChunksJson(scene.Root->Settings)}};
  // Written only when false, so documents of scenes with a unit stay as they were.
  if (!scene.UnitFromSource) document["scene"]["unitFromSource"] = false;
  // An imported scene keeps saying what it was imported from.
  if (!scene.SourceFormat.empty()) document["scene"]["sourceFormat"] = scene.SourceFormat;
  if (scene.HasRestTime) document["scene"]["restTime"] = scene.RestTime;
  if (!scene.Takes.empty()) {
    json takes = json::array();
    for (const Take& take : scene.Takes) {
      json entry = {{"name", take.Name}, {"start", take.Start}, {"end", take.End}};
      if (take.FrameRate > 0) entry["frameRate"] = take.FrameRate;
      takes.push_back(entry);
    }
    document["scene"]["takes"] = takes;
  }
  auto materialIndex = [&](const Material* m) -> json {
    for (size_t i = 0; i < scene.Materials.size(); ++i)
      if (scene.Materials[i].get() == m) return i;
    return nullptr;
  };
  document::OwnerWriter owners;
  json materials = json::array();
  for (const auto& m : scene.Materials) {
    json entry = {{"name", m->Name},
                  {"superClass", m->SuperClass},
                  {"class", ClassJson(m->Class)},
                  {"twoSided", m->TwoSided},
                  {"diffuse", {m->Diffuse[0], m->Diffuse[1], m->Diffuse[2]}}};
    if (!m->FileName.empty()) entry["fileName"] = m->FileName;
    if (!m->EmbeddedImage.empty()) entry["embeddedImage"] = EncodeBase64(m->EmbeddedImage);
    json subs = json::array();
    for (const Material* sub : m->SubMaterials) subs.push_back(materialIndex(sub));
    entry["subMaterials"] = subs;
    json maps = json::array();
    for (const auto& slot : m->Maps)
      maps.push_back({{"slot", slot.Slot}, {"map", materialIndex(slot.Map)}});
    entry["maps"] = maps;
    entry["parameters"] = ParametersJson(m->Parameters);
    entry["settings"] = ChunksJson(m->Settings);
    if (m->IsMaterial()) {
      entry["colors"] = document::MaterialColorsJson(m->Colors);
    } else {
      entry["coordinates"] = document::MapCoordinatesJson(m->Coordinates);
    }
    if (!m->Animatables.empty()) entry["animatables"] = owners.Animatables(m->Animatables);
    materials.push_back(std::move(entry));
  }
  document["materials"] = std::move(materials);
  auto nodeIndex = [&](const Node* n) -> json {
    return n && n->Index >= 0 ? json(n->Index) : json(nullptr);
  };
  json nodes = json::array();
  for (const auto& n : scene.Nodes) {
    json entry = {
        {"name", n->Name},
        {"parent", n->Parent && n->Parent != scene.Root.get() ? json(n->Parent->Index) : json(-1)},
        {"selected", n->Selected}};
    if (n->HasObject) {
      json object = {{"superClass", n->Object.SuperClass},
                     {"class", ClassJson(n->Object.Class)},
                     {"baseClass", ClassJson(n->Object.BaseClass)},
                     {"interfaces", n->Object.Interfaces}};
      if (!n->Object.TypeName.empty()) object["typeName"] = n->Object.TypeName;
      entry["object"] = object;
    } else {
      entry["object"] = nullptr;
    }
    if (n->LookAt) entry["lookAt"] = nodeIndex(n->LookAt);
    entry["controllerClass"] = ClassJson(n->Transform.Class);
    entry["position"] = TrackJson(n->Transform.Position);
    entry["rotation"] = RotationJson(n->Transform.Rotation);
    entry["scale"] = TrackJson(n->Transform.Scale);
    std::vector<float> offset;
    for (int i = 0; i < 12; ++i) offset.push_back(n->ObjectOffset.m[i / 3][i % 3]);
    entry["objectOffset"] = offset;
    if (n->HasVisibility) entry["visibility"] = TrackJson(n->Visibility);
    json notes = json::array();
    for (const NoteTrack& track : n->NoteTracks) {
      json keys = json::array();
      for (const NoteKey& key : track) keys.push_back({{"tick", key.Tick}, {"text", key.Text}});
      notes.push_back(keys);
    }
    entry["noteTracks"] = notes;
    if (n->NodeMaterial) entry["material"] = materialIndex(n->NodeMaterial);
    if (n->ProjectorMap) entry["projectorMap"] = materialIndex(n->ProjectorMap);
    if (!n->SkinBones.empty()) {
      json bones = json::array();
      for (const Node* bone : n->SkinBones) bones.push_back(nodeIndex(bone));
      json skin = {{"bones", bones}};
      if (!n->SkinWeights.empty()) {
        json weights = json::array();
        for (const auto& influences : n->SkinWeights) {
          json vertex = json::array();
          for (const SkinInfluence& influence : influences)
            vertex.push_back(json::array({influence.Bone, FloatJson(influence.Weight)}));
          weights.push_back(std::move(vertex));
        }
        skin["weights"] = std::move(weights);
      }
      if (!n->BindMatrices.empty()) {
        json binds = json::array();
        for (const HostMatrix& bind : n->BindMatrices) binds.push_back(MatrixJson(bind));
        skin["bindMatrices"] = std::move(binds);
      }
      skin["meshBindMatrix"] = MatrixJson(n->MeshBindMatrix);
      entry["skin"] = std::move(skin);
    }
    if (n->HasMesh) entry["mesh"] = MeshJson(n->Mesh);
    if (!n->MorphChannels.empty()) {
      json channels = json::array();
      for (const MorphChannel& channel : n->MorphChannels)
        channels.push_back({{"name", channel.Name},
                            {"active", channel.Active},
                            {"target", MeshJson(channel.Target)},
                            {"weight", TrackJson(channel.Weight)}});
      entry["morphChannels"] = std::move(channels);
    }
    entry["morpher"] = n->HasMorpher;
    entry["userProperties"] = n->UserProperties;
    entry["parameters"] = ParametersJson(n->Parameters);
    entry["settings"] = ChunksJson(n->Settings);
    if (json flags = document::NodeFlagsJson(n->Flags); !flags.is_null()) entry["flags"] = flags;
    if (n->InstanceGroup >= 0) entry["instanceGroup"] = n->InstanceGroup;
    if (!n->Animatables.empty()) entry["animatables"] = owners.Animatables(n->Animatables);
    nodes.push_back(std::move(entry));
  }
  document["nodes"] = std::move(nodes);
  if (!owners.Written.empty()) document["propertyOwners"] = std::move(owners.Owners);
  if (!scene.DocumentProperties.empty()) {
    json sets = json::array();
    for (const PropertySet& set : scene.DocumentProperties)
      sets.push_back(
          {{"name", set.Name}, {"properties", document::PropertiesJson(set.Properties)}});
    document["documentProperties"] = std::move(sets);
  }
  if (!scene.SelectionSets.empty())
    document["selectionSets"] = document::NodeSetsJson(scene.SelectionSets);
  if (!scene.Layers.empty()) document["layers"] = document::NodeSetsJson(scene.Layers);
  std::string text;
  WriteIndented(document, 0, text);
  return text + "\n";
}

bool SaveSceneDocument(Scene& scene, const std::string& path, std::string* error) {
  std::string text = SceneDocumentText(scene);
  // Write beside the target, then rename over it: the old document stays
  // whole until the new one is complete on disk.
  std::string temporary = path + ".tmp." + std::to_string(::getpid());
  std::string message;
  {
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    const char* call = "fopen";
    bool written = file != nullptr;
    if (written) {
      call = "fwrite";
      written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    }
    if (written) {
      call = "fsync";
      written = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    }
    if (file && std::fclose(file) != 0 && written) {
      call = "fclose";
      written = false;
    }
    // In plain words ("cannot write out/a.kscene: folder out/ does not exist").
    if (!written) message = OsErrorMessage(true, path.c_str(), call, errno);
  }
  if (message.empty()) {
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) message = OsErrorMessage(true, path.c_str(), "rename", ec.value());
  }
  if (!message.empty()) {
    std::remove(temporary.c_str());
    // Said once: to the caller who asked for it, else in the log.
    if (error) {
      *error = message;
    } else {
      KT_LOG_ERROR(Host, "%s", message.c_str());
    }
    return false;
  }
  scene.NeedsSave = false;
  return true;
}

}  // namespace ketrel::host
