#include "export/host/host_scene_document_properties.h"

#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "export/host/host_scene_document_reader.h"

namespace ketrel::host::document {
namespace {

bool ReadValue(Reader& r, const json& value, const std::string& path, int depth,
               PropertyValue& out);

bool ReadProperty(Reader& r, const json& entry, const std::string& at, int depth, Property& p) {
  if (!r.Object(entry, at) || !r.Keys(entry, at, {"name", "id", "value"})) return false;
  if (const json* v = r.Optional(entry, "name"))
    if (!r.String(*v, Member(at, "name"), p.Name)) return false;
  if (const json* v = r.Optional(entry, "id"))
    if (!r.Int32(*v, Member(at, "id"), p.Id)) return false;
  const json* v = r.Required(entry, at, "value");
  return v && ReadValue(r, *v, Member(at, "value"), depth, p.Value);
}

bool ReadProperties(Reader& r, const json& list, const std::string& path, int depth,
                    std::vector<Property>& out) {
  if (!r.Array(list, path)) return false;
  out.resize(list.size());
  for (size_t i = 0; i < list.size(); ++i)
    if (!ReadProperty(r, list[i], NamedItem(path, i, list[i]), depth, out[i])) return false;
  return true;
}

bool ReadTagged(Reader& r, const json& value, const std::string& path, PropertyValue& out) {
  using K = PropertyValue::Kind;
  const std::string& tag = value.begin().key();
  const json& body = value.begin().value();
  const std::string at = Member(path, tag.c_str());
  if (tag == "$reals") {
    out.Type = K::Reals;
    if (!r.Array(body, at)) return false;
    out.Reals.resize(body.size());
    return body.empty() || r.Floats(body, at, body.size(), out.Reals.data());
  }
  if (tag == "$date") {
    out.Type = K::Date;
    if (!r.Array(body, at) || body.size() != 6) return r.Fail(at, "expected 6 whole numbers");
    for (size_t i = 0; i < 6; ++i)
      if (!r.Int32(body[i], Item(at, i), out.Date[i])) return false;
    return true;
  }
  out.Type = K::Real;
  std::string text;
  if (!r.String(body, at, text)) return false;
  if (text == "nan")
    out.Real = std::numeric_limits<double>::quiet_NaN();
  else if (text == "inf")
    out.Real = std::numeric_limits<double>::infinity();
  else if (text == "-inf")
    out.Real = -std::numeric_limits<double>::infinity();
  else
    return r.Fail(at, "expected \"nan\", \"inf\" or \"-inf\"");
  return true;
}

bool ReadValue(Reader& r, const json& value, const std::string& path, int depth,
               PropertyValue& out) {
  using K = PropertyValue::Kind;
  if (depth >= kMostValueDepth)
    return r.Fail(path, "values nest deeper than " + std::to_string(kMostValueDepth));
  if (value.is_boolean()) {
    out.Type = K::Bool;
    out.Int = value.get<bool>();
  } else if (value.is_number_integer() &&
             (!value.is_number_unsigned() ||
              value.get<uint64_t>() <= uint64_t(std::numeric_limits<int64_t>::max()))) {
    out.Type = K::Int;
    out.Int = value.get<int64_t>();
  } else if (value.is_number()) {
    out.Type = K::Real;
    out.Real = value.get<double>();
  } else if (value.is_string()) {
    out.Type = K::Text;
    out.Text = value.get<std::string>();
  } else if (value.is_array()) {
    out.Type = K::List;
    out.Items.resize(value.size());
    for (size_t i = 0; i < value.size(); ++i)
      if (!ReadValue(r, value[i], Item(path, i), depth + 1, out.Items[i])) return false;
  } else if (value.is_object()) {
    if (value.size() == 1) {
      const std::string& key = value.begin().key();
      if (key == "$reals" || key == "$date" || key == "$real")
        return ReadTagged(r, value, path, out);
    }
    out.Type = K::Object;
    for (auto it = value.begin(); it != value.end(); ++it) {
      Property& p = out.Members.emplace_back();
      p.Name = it.key();
      if (!ReadValue(r, it.value(), Member(path, it.key().c_str()), depth + 1, p.Value))
        return false;
    }
  } else {
    return r.Fail(path, "expected a value (a number, text, boolean, array or object)");
  }
  return true;
}

bool ReadIndexList(Reader& r, const json& list, const std::string& path, const OwnerTable& owners,
                   std::vector<std::shared_ptr<PropertyOwner>>& out) {
  if (!r.Array(list, path)) return false;
  for (size_t i = 0; i < list.size(); ++i) {
    int32_t index = 0;
    if (!r.Index(list[i], Item(path, i), owners.size(), index)) return false;
    out.push_back(owners[size_t(index)]);
  }
  return true;
}

bool Flag(Reader& r, const json& object, const std::string& path, const char* key, bool& out) {
  const json* v = r.Optional(object, key);
  return !v || r.Bool(*v, Member(path, key), out);
}
bool Number(Reader& r, const json& object, const std::string& path, const char* key, float& out) {
  const json* v = r.Optional(object, key);
  return !v || r.Float(*v, Member(path, key), out);
}
bool Whole(Reader& r, const json& object, const std::string& path, const char* key, int32_t& out) {
  const json* v = r.Optional(object, key);
  return !v || r.Int32(*v, Member(path, key), out);
}
bool Floats(Reader& r, const json& object, const std::string& path, const char* key, size_t n,
            float* out) {
  const json* v = r.Optional(object, key);
  return !v || r.Floats(*v, Member(path, key), n, out);
}

json FloatValue(double v) {
  if (std::isnan(v)) return {{"$real", "nan"}};
  if (std::isinf(v)) return {{"$real", v > 0 ? "inf" : "-inf"}};
  return v;
}

bool ReadOwnersWithoutCycles(Reader& r, const json& list, OwnerTable& owners) {
  const std::string path = "propertyOwners";
  if (!r.Array(list, path)) return false;
  owners.clear();
  for (size_t i = 0; i < list.size(); ++i) owners.push_back(std::make_shared<PropertyOwner>());
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string at = NamedItem(path, i, list[i]);
    PropertyOwner& owner = *owners[i];
    if (!r.Object(list[i], at) || !r.Keys(list[i], at, {"name", "properties", "customAttributes"}))
      return false;
    if (const json* v = r.Optional(list[i], "name"))
      if (!r.String(*v, Member(at, "name"), owner.Name)) return false;
    if (const json* v = r.Optional(list[i], "properties"))
      if (!ReadProperties(r, *v, Member(at, "properties"), 0, owner.Parameters)) return false;
    if (const json* v = r.Optional(list[i], "customAttributes"))
      if (!ReadIndexList(r, *v, Member(at, "customAttributes"), owners, owner.CustomAttributes))
        return false;
  }
  // Owners hold their custom attributes by counted references, so a cycle
  // would never be freed (and has no record to stand for it): refuse one,
  // walking each chain once (1: on the walk, 2: done).
  std::vector<unsigned char> state(owners.size(), 0);
  std::vector<std::pair<size_t, size_t>> stack;  // owner, next attribute
  std::unordered_map<const PropertyOwner*, size_t> indices;
  for (size_t k = 0; k < owners.size(); ++k) indices.emplace(owners[k].get(), k);
  for (size_t start = 0; start < owners.size(); ++start) {
    if (state[start]) continue;
    stack.assign(1, {start, 0});
    state[start] = 1;
    while (!stack.empty()) {
      auto& [at, next] = stack.back();
      if (next == owners[at]->CustomAttributes.size()) {
        state[at] = 2;
        stack.pop_back();
        continue;
      }
      const size_t from = at, to = indices.at(owners[at]->CustomAttributes[next++].get());
      if (state[to] == 1)
        return r.Fail(Member(NamedItem(path, from, list[from]), "customAttributes"),
                      "custom attribute cycle through " + NamedItem(path, to, list[to]));
      if (state[to] == 0) {
        state[to] = 1;
        stack.push_back({to, 0});
      }
    }
  }
  return true;
}

}  // namespace

bool ReadPropertyOwners(Reader& r, const json& list, OwnerTable& owners) {
  if (ReadOwnersWithoutCycles(r, list, owners)) return true;
  // A refused list may hold a cycle already: break every link, so that the
  // owners are freed.
  for (const auto& owner : owners) owner->CustomAttributes.clear();
  return false;
}

bool ReadAnimatables(Reader& r, const json& list, const std::string& path, const OwnerTable& owners,
                     std::vector<std::shared_ptr<PropertyOwner>>& out) {
  return ReadIndexList(r, list, path, owners, out);
}

bool ReadNodeFlags(Reader& r, const json& value, const std::string& path, NodeFlags& flags) {
  if (!r.Object(value, path)) return false;
  for (auto it = value.begin(); it != value.end(); ++it) {
    const std::string& key = it.key();
    bool known =
        key == "GBufferObjId" || key == "MotionBlur_Type" || key == "MotionBlur_Multiplier";
    for (const NodeFlagEntry& entry : kNodeFlagTable) known = known || key == entry.Name;
    if (!known) {
      std::vector<std::string_view> names = {"GBufferObjId", "MotionBlur_Type",
                                             "MotionBlur_Multiplier"};
      for (const NodeFlagEntry& entry : kNodeFlagTable) names.push_back(entry.Name);
      return r.Fail(Member(path, key.c_str()), "unknown flag" + DidYouMean(key, names));
    }
  }
  for (const NodeFlagEntry& entry : kNodeFlagTable)
    if (!Flag(r, value, path, entry.Name, flags.*entry.Flag)) return false;
  return Whole(r, value, path, "GBufferObjId", flags.GBufferObjId) &&
         Whole(r, value, path, "MotionBlur_Type", flags.MotionBlurType) &&
         Number(r, value, path, "MotionBlur_Multiplier", flags.MotionBlurMultiplier);
}

bool ReadMaterialColors(Reader& r, const json& value, const std::string& path, MaterialColors& c) {
  return r.Object(value, path) &&
         r.Keys(value, path,
                {"ambient", "specular", "shininess", "shininessStrength", "transparency",
                 "selfIllumination", "selfIlluminationColorOn", "selfIlluminationColor"}) &&
         Floats(r, value, path, "ambient", 3, c.Ambient) &&
         Floats(r, value, path, "specular", 3, c.Specular) &&
         Number(r, value, path, "shininess", c.Shininess) &&
         Number(r, value, path, "shininessStrength", c.ShininessStrength) &&
         Number(r, value, path, "transparency", c.Transparency) &&
         Number(r, value, path, "selfIllumination", c.SelfIllumination) &&
         Flag(r, value, path, "selfIlluminationColorOn", c.SelfIlluminationColorOn) &&
         Floats(r, value, path, "selfIlluminationColor", 3, c.SelfIlluminationColor);
}

bool ReadMapCoordinates(Reader& r, const json& value, const std::string& path, MapCoordinates& c) {
  return r.Object(value, path) &&
         r.Keys(value, path,
                {"transform", "offset", "tiling", "source", "channel", "blur", "blurOffset",
                 "noiseAmount", "noiseSize", "noiseLevel", "noisePhase", "hideMapBack",
                 "useRealWorldScale"}) &&
         Floats(r, value, path, "transform", 12, c.Transform) &&
         Floats(r, value, path, "offset", 3, c.Offset) &&
         Whole(r, value, path, "tiling", c.TilingFlags) &&
         Whole(r, value, path, "source", c.Source) && Whole(r, value, path, "channel", c.Channel) &&
         Number(r, value, path, "blur", c.Blur) &&
         Number(r, value, path, "blurOffset", c.BlurOffset) &&
         Number(r, value, path, "noiseAmount", c.NoiseAmount) &&
         Number(r, value, path, "noiseSize", c.NoiseSize) &&
         Number(r, value, path, "noiseLevel", c.NoiseLevel) &&
         Number(r, value, path, "noisePhase", c.NoisePhase) &&
         Flag(r, value, path, "hideMapBack", c.HideMapBack) &&
         Flag(r, value, path, "useRealWorldScale", c.UseRealWorldScale);
}

bool ReadDocumentProperties(Reader& r, const json& list, std::vector<PropertySet>& sets) {
  const std::string path = "documentProperties";
  if (!r.Array(list, path)) return false;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string at = NamedItem(path, i, list[i]);
    PropertySet& set = sets.emplace_back();
    if (!r.Object(list[i], at) || !r.Keys(list[i], at, {"name", "properties"})) return false;
    const json* name = r.Required(list[i], at, "name");
    if (!name || !r.String(*name, Member(at, "name"), set.Name)) return false;
    if (set.Name != "SummaryInfo" && set.Name != "DocumentContents" && set.Name != "UserDefined")
      return r.Fail(Member(at, "name"),
                    "\"" + set.Name + "\" is not SummaryInfo, DocumentContents or UserDefined");
    if (const json* v = r.Optional(list[i], "properties"))
      if (!ReadProperties(r, *v, Member(at, "properties"), 0, set.Properties)) return false;
  }
  return true;
}

bool ReadNodeSets(Reader& r, const json& list, const std::string& path,
                  std::vector<NamedNodeSet>& sets) {
  if (!r.Array(list, path)) return false;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string at = NamedItem(path, i, list[i]);
    NamedNodeSet& set = sets.emplace_back();
    if (!r.Object(list[i], at) || !r.Keys(list[i], at, {"name", "nodes"})) return false;
    const json* name = r.Required(list[i], at, "name");
    if (!name || !r.String(*name, Member(at, "name"), set.Name)) return false;
    if (const json* v = r.Optional(list[i], "nodes")) {
      const std::string nodesPath = Member(at, "nodes");
      if (!r.Array(*v, nodesPath)) return false;
      set.Nodes.resize(v->size());
      for (size_t k = 0; k < v->size(); ++k)
        if (!r.String((*v)[k], Item(nodesPath, k), set.Nodes[k])) return false;
    }
  }
  return true;
}

size_t OwnerWriter::IndexOf(const PropertyOwner* owner) {
  for (size_t i = 0; i < Written.size(); ++i)
    if (Written[i] == owner) return i;
  const size_t index = Written.size();
  Written.push_back(owner);
  Owners.push_back(json::object());  // its place, filled below (a cycle finds it here)
  json entry = {{"name", owner->Name}, {"properties", PropertiesJson(owner->Parameters)}};
  entry["customAttributes"] = Animatables(owner->CustomAttributes);
  Owners[index] = std::move(entry);
  return index;
}

json OwnerWriter::Animatables(const std::vector<std::shared_ptr<PropertyOwner>>& owners) {
  json list = json::array();
  for (const auto& owner : owners)
    if (owner) list.push_back(IndexOf(owner.get()));
  return list;
}

json PropertyValueJson(const PropertyValue& v) {
  using K = PropertyValue::Kind;
  switch (v.Type) {
    case K::Int:
      return v.Int;
    case K::Bool:
      return v.Int != 0;
    case K::Real:
      return FloatValue(v.Real);
    case K::Text:
      return v.Text;
    case K::Reals: {
      json reals = json::array();
      for (float f : v.Reals) reals.push_back(FloatValue(f));
      return {{"$reals", reals}};
    }
    case K::Date:
      return {{"$date", std::vector<int32_t>(v.Date, v.Date + 6)}};
    case K::List: {
      json list = json::array();
      for (const PropertyValue& item : v.Items) list.push_back(PropertyValueJson(item));
      return list;
    }
    case K::Object: {
      json object = json::object();
      for (const Property& p : v.Members) object[p.Name] = PropertyValueJson(p.Value);
      return object;
    }
  }
  return nullptr;
}

json PropertiesJson(const std::vector<Property>& properties) {
  json list = json::array();
  for (const Property& p : properties) {
    json entry = {{"name", p.Name}, {"value", PropertyValueJson(p.Value)}};
    if (p.Id != 0) entry["id"] = p.Id;
    list.push_back(std::move(entry));
  }
  return list;
}

json NodeFlagsJson(const NodeFlags& flags) {
  const NodeFlags defaults;
  json out = json::object();
  for (const NodeFlagEntry& entry : kNodeFlagTable)
    if (flags.*entry.Flag != defaults.*entry.Flag) out[entry.Name] = flags.*entry.Flag;
  if (flags.GBufferObjId != defaults.GBufferObjId) out["GBufferObjId"] = flags.GBufferObjId;
  if (flags.MotionBlurType != defaults.MotionBlurType)
    out["MotionBlur_Type"] = flags.MotionBlurType;
  if (flags.MotionBlurMultiplier != defaults.MotionBlurMultiplier)
    out["MotionBlur_Multiplier"] = flags.MotionBlurMultiplier;
  return out.empty() ? json(nullptr) : out;
}

json MaterialColorsJson(const MaterialColors& c) {
  auto rgb = [](const float* v) { return json::array({v[0], v[1], v[2]}); };
  return {{"ambient", rgb(c.Ambient)},
          {"specular", rgb(c.Specular)},
          {"shininess", c.Shininess},
          {"shininessStrength", c.ShininessStrength},
          {"transparency", c.Transparency},
          {"selfIllumination", c.SelfIllumination},
          {"selfIlluminationColorOn", c.SelfIlluminationColorOn},
          {"selfIlluminationColor", rgb(c.SelfIlluminationColor)}};
}

json MapCoordinatesJson(const MapCoordinates& c) {
  return {{"transform", std::vector<float>(c.Transform, c.Transform + 12)},
          {"offset", std::vector<float>(c.Offset, c.Offset + 3)},
          {"tiling", c.TilingFlags},
          {"source", c.Source},
          {"channel", c.Channel},
          {"blur", c.Blur},
          {"blurOffset", c.BlurOffset},
          {"noiseAmount", c.NoiseAmount},
          {"noiseSize", c.NoiseSize},
          {"noiseLevel", c.NoiseLevel},
          {"noisePhase", c.NoisePhase},
          {"hideMapBack", c.HideMapBack},
          {"useRealWorldScale", c.UseRealWorldScale}};
}

json NodeSetsJson(const std::vector<NamedNodeSet>& sets) {
  json list = json::array();
  for (const NamedNodeSet& set : sets) list.push_back({{"name", set.Name}, {"nodes", set.Nodes}});
  return list;
}

}  // namespace ketrel::host::document
