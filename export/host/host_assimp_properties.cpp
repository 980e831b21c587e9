#include "export/host/host_assimp_properties.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "export/host/host_assimp_gltf.h"
#include "export/host/host_property_json.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

namespace fs = std::filesystem;

constexpr double kDegrees = 180.0 / 3.14159265358979323846;

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// ---- Property owners ------------------------------------------------------

// ---- Assimp metadata ------------------------------------------------------

std::optional<PropertyValue> ValueOf(const aiMetadataEntry& entry, const std::string& owner,
                                     const std::string& path, int depth);

std::vector<Property> PropertiesOf(const aiMetadata& metadata, const std::string& owner,
                                   const std::string& path, int depth,
                                   const std::set<std::string>* skip = nullptr) {
  std::vector<Property> properties;
  for (unsigned i = 0; i < metadata.mNumProperties; ++i) {
    const std::string key = metadata.mKeys[i].C_Str();
    if (skip && skip->count(key)) continue;
    std::optional<PropertyValue> value =
        ValueOf(metadata.mValues[i], owner, path + "." + key, depth);
    if (!value) continue;
    properties.push_back({key, 0, std::move(*value)});
  }
  return properties;
}

std::optional<PropertyValue> ValueOf(const aiMetadataEntry& entry, const std::string& owner,
                                     const std::string& path, int depth) {
  PropertyValue out;
  if (!entry.mData) return std::nullopt;
  switch (entry.mType) {
    case AI_BOOL:
      out.Type = PropertyValue::Kind::Bool;
      out.Int = *static_cast<const bool*>(entry.mData) ? 1 : 0;
      return out;
    case AI_INT32:
      out.Int = *static_cast<const int32_t*>(entry.mData);
      return out;
    case AI_UINT64: {
      const uint64_t number = *static_cast<const uint64_t*>(entry.mData);
      if (number > uint64_t(INT64_MAX)) {
        out.Type = PropertyValue::Kind::Real;
        out.Real = double(number);
      } else {
        out.Int = int64_t(number);
      }
      return out;
    }
    // Not-a-number and infinities are kept: what an export makes of them is
    // the core's to decide.
    case AI_FLOAT:
      out.Type = PropertyValue::Kind::Real;
      out.Real = *static_cast<const float*>(entry.mData);
      return out;
    case AI_DOUBLE:
      out.Type = PropertyValue::Kind::Real;
      out.Real = *static_cast<const double*>(entry.mData);
      return out;
    case AI_AISTRING:
      out.Type = PropertyValue::Kind::Text;
      out.Text =
          BoundedPropertyText(static_cast<const aiString*>(entry.mData)->C_Str(), owner, path);
      return out;
    case AI_AIVECTOR3D: {
      const auto* v = static_cast<const aiVector3D*>(entry.mData);
      out.Type = PropertyValue::Kind::Reals;
      out.Reals = {v->x, v->y, v->z};
      return out;
    }
    case AI_AIMETADATA: {
      const auto* nested = static_cast<const aiMetadata*>(entry.mData);
      out.Type = PropertyValue::Kind::Object;
      if (depth >= kMaxPropertyDepth) {
        KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, owner.c_str(),
                            "%s of %s nests deeper than %d levels; that part is left out",
                            path.c_str(), owner.c_str(), kMaxPropertyDepth);
        return std::nullopt;
      }
      out.Members = PropertiesOf(*nested, owner, path, depth + 1);
      return out;
    }
    default:
      KT_LOG_WARNING_CODE(Host, warning::HostPropertyShortened, owner.c_str(),
                          "%s of %s has a type the importer does not know; it is left out",
                          path.c_str(), owner.c_str());
      return std::nullopt;
  }
}

// What Assimp and FBX keep on every node for themselves: the standard node
// properties (transform limits, pivots, display), Assimp's IsNull, 3ds Max's
// node handle and Collada's ids. Anything else on an FBX node is a property
// the artist or a plug-in added (Maya's currentUVSet, mental ray's
// displacement settings, ...).
bool IsNodeBookkeeping(const std::string& key) {
  static const std::set<std::string> kKeys = {"IsNull",
                                              "InheritType",
                                              "DefaultAttributeIndex",
                                              "RotationOrder",
                                              "RotationActive",
                                              "ScalingActive",
                                              "TranslationActive",
                                              "RotationSpaceForLimitOnly",
                                              "AxisLen",
                                              "PreRotation",
                                              "PostRotation",
                                              "RotationOffset",
                                              "RotationPivot",
                                              "ScalingOffset",
                                              "ScalingPivot",
                                              "LookAtProperty",
                                              "UpVectorProperty",
                                              "NegativePercentShapeSupport",
                                              "LODBox",
                                              "Visibility",
                                              "Visibility Inheritance",
                                              "QuaternionInterpolate",
                                              "MaxHandle",
                                              "Collada_id",
                                              "Collada_sid",
                                              "Show",
                                              "Freeze",
                                              "UserProperties"};
  static const char* const kPrefixes[] = {"Lcl ",         "Geometric",     "MinDamp",
                                          "MaxDamp",      "PreferedAngle", "RotationStiffness",
                                          "TranslationM", "RotationM",     "ScalingM"};
  if (kKeys.count(key)) return true;
  for (const char* prefix : kPrefixes) {
    if (key.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void ConvertNodeMetadata(const aiMetadata& metadata, bool fbx, Node& node) {
  const std::string owner = "node " + node.Name;
  std::vector<Property> user;
  for (unsigned i = 0; i < metadata.mNumProperties; ++i) {
    const std::string key = metadata.mKeys[i].C_Str();
    const aiMetadataEntry& entry = metadata.mValues[i];
    if (key == "UserProperties" && entry.mType == AI_AISTRING && entry.mData) {
      node.UserProperties = static_cast<const aiString*>(entry.mData)->C_Str();
      continue;
    }
    if ((key == "Show" || key == "Freeze") && entry.mType == AI_BOOL && entry.mData) {
      const bool on = *static_cast<const bool*>(entry.mData);
      if (key == "Show") node.Flags.Hide = !on;
      if (key == "Freeze") node.Flags.Freeze = on;
      continue;
    }
    if (IsNodeBookkeeping(key)) continue;
    std::optional<PropertyValue> value = ValueOf(entry, owner, key, 1);
    if (value) user.push_back({key, 0, std::move(*value)});
  }
  if (!user.empty())
    AddImportedAttribute(ImportedNodeOwner(node), fbx ? "UserProperties" : "Metadata", user);
}

// ---- Cameras and lights ---------------------------------------------------

void SetParameter(Node& node, const std::string& name, std::vector<float> values) {
  auto found = std::find_if(node.Parameters.begin(), node.Parameters.end(),
                            [&](const Parameter& p) { return p.Name == name; });
  Parameter& p = found != node.Parameters.end() ? *found : node.Parameters.emplace_back();
  p.Name = name;
  p.Track = ValueTrack{};
  p.Track.Dimension = int32_t(values.size());
  p.Track.Value = std::move(values);
}

void ConvertCamera(const aiCamera& camera, Node& node) {
  node.Object.TypeName = "Free Camera";
  const bool orthographic = camera.mOrthographicWidth > 0;
  SetParameter(node, "Orthographic", {orthographic ? 1.0f : 0.0f});
  if (orthographic) {
    SetParameter(node, "Orthographic Width", {camera.mOrthographicWidth * 2});
  } else if (camera.mHorizontalFOV > 0) {
    SetParameter(node, "FOV", {float(camera.mHorizontalFOV * kDegrees)});
  }
  SetParameter(node, "Near Clip Distance", {camera.mClipPlaneNear});
  SetParameter(node, "Far Clip Distance", {camera.mClipPlaneFar});
  if (camera.mAspect > 0) SetParameter(node, "Aspect", {camera.mAspect});
}

void ConvertLight(const aiLight& light, const aiNode& in, bool gltf, Node& node) {
  int type = 0;
  switch (light.mType) {
    case aiLightSource_POINT:
      node.Object.TypeName = "Omni";
      break;
    case aiLightSource_SPOT:
      node.Object.TypeName = "Free Spot";
      type = 1;
      break;
    case aiLightSource_DIRECTIONAL:
      node.Object.TypeName = "Free Direct";
      type = 2;
      break;
    case aiLightSource_AMBIENT:
      node.Object.TypeName = "Skylight";
      type = 3;
      break;
    case aiLightSource_AREA:
      node.Object.TypeName = "Area";
      type = 4;
      break;
    default:
      KT_LOG_WARNING_CODE(Host, warning::HostObjectUnsupported, node.Name.c_str(),
                          "Light %s is of a kind the importer does not know; it is an omni light",
                          node.Name.c_str());
      node.Object.TypeName = "Omni";
      break;
  }
  SetParameter(node, "Type", {float(type)});
  // Assimp folds the intensity into the colour: the brightest channel is
  // the intensity and the colour is scaled to it.
  const aiColor3D& c = type == 3 ? light.mColorAmbient : light.mColorDiffuse;
  const float intensity = std::max({c.r, c.g, c.b});
  if (intensity > 0) {
    SetParameter(node, "Color", {c.r / intensity, c.g / intensity, c.b / intensity});
  } else {
    SetParameter(node, "Color", {0, 0, 0});
  }
  SetParameter(node, "Intensity", {intensity});
  if (type == 0 || type == 1) {
    SetParameter(node, "Attenuation Constant", {light.mAttenuationConstant});
    SetParameter(node, "Attenuation Linear", {light.mAttenuationLinear});
    SetParameter(node, "Attenuation Quadratic", {light.mAttenuationQuadratic});
    float range = 0;
    if (in.mMetaData && in.mMetaData->Get("PBR_LightRange", range) && range > 0) {
      SetParameter(node, "Use Far Attenuation", {1});
      SetParameter(node, "Far Attenuation End", {range});
    }
  }
  if (type == 1) {
    // Assimp's glTF reader keeps glTF's half angles; the others whole ones.
    const float scale = float(kDegrees) * (gltf ? 2.0f : 1.0f);
    SetParameter(node, "Hotspot", {light.mAngleInnerCone * scale});
    SetParameter(node, "Falloff", {light.mAngleOuterCone * scale});
  }
  if (type == 4) {
    SetParameter(node, "Width", {light.mSize.x});
    SetParameter(node, "Length", {light.mSize.y});
  }
}

// ---- Instances -------------------------------------------------------------

void ShareInstances(const std::map<const aiNode*, Node*>& nodes) {
  std::map<std::vector<unsigned>, std::vector<Node*>> byMeshes;
  for (const auto& [in, node] : nodes) {
    if (in->mNumMeshes == 0) continue;
    std::vector<unsigned> meshes(in->mMeshes, in->mMeshes + in->mNumMeshes);
    std::sort(meshes.begin(), meshes.end());
    byMeshes[meshes].push_back(node);
  }
  int32_t group = 0;
  for (auto& [meshes, instances] : byMeshes) {
    if (instances.size() < 2) continue;
    std::sort(instances.begin(), instances.end(),
              [](const Node* a, const Node* b) { return a->Index < b->Index; });
    ImportedObjectOwner(*instances[0]);
    const std::shared_ptr<PropertyOwner> shared = instances[0]->Animatables[1];
    for (Node* node : instances) {
      ImportedNodeOwner(*node);
      node->Animatables[1] = shared;
      node->InstanceGroup = group;
    }
    ++group;
  }
}

// ---- The document's description ---------------------------------------------

// "2006-06-21T21:15:16Z" (Collada's created and modified) as a date.
bool ParseDate(const std::string& text, PropertyValue& out) {
  int32_t d[6] = {};
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5]) != 6)
    return false;
  out.Type = PropertyValue::Kind::Date;
  std::copy(std::begin(d), std::end(d), out.Date);
  return true;
}

// Collada names the summary's five parts as they are; glTF's copyright and
// every format's generator and version are the user-defined set's (a
// copyright is not always its author). Assimp's own record of the reader,
// and what FBX's global settings hold (axes, unit, frame rate, time span,
// ambient colour), the importer has already used or has no place for: they
// stay out.
void ConvertDocument(const aiScene& source, Scene& scene) {
  static const std::pair<const char*, int32_t> kSummary[] = {
      {"Title", 2}, {"Subject", 3}, {"Author", 4}, {"Keywords", 5}, {"Comments", 6}};
  static const std::set<std::string> kLeftOut = {"SourceAsset_Format",
                                                 "UpAxis",
                                                 "UpAxisSign",
                                                 "FrontAxis",
                                                 "FrontAxisSign",
                                                 "CoordAxis",
                                                 "CoordAxisSign",
                                                 "OriginalUpAxis",
                                                 "OriginalUpAxisSign",
                                                 "UnitScaleFactor",
                                                 "OriginalUnitScaleFactor",
                                                 "FrameRate",
                                                 "CustomFrameRate",
                                                 "TimeSpanStart",
                                                 "TimeSpanStop",
                                                 "AmbientColor"};
  static const std::pair<const char*, const char*> kRenamed[] = {
      {"SourceAsset_Generator", "Generator"},
      {"SourceAsset_FormatVersion", "FormatVersion"},
      {"SourceAsset_Copyright", "Copyright"}};
  PropertySet summary{"SummaryInfo", {}}, user{"UserDefined", {}};
  const aiMetadata* metadata = source.mMetaData;
  for (unsigned i = 0; metadata && i < metadata->mNumProperties; ++i) {
    std::string key = metadata->mKeys[i].C_Str();
    if (kLeftOut.count(key)) continue;
    std::optional<PropertyValue> value = ValueOf(metadata->mValues[i], "the scene", key, 1);
    if (!value || (value->Type == PropertyValue::Kind::Text && value->Text.empty())) continue;
    if ((key == "Created" || key == "Modified") && value->Type == PropertyValue::Kind::Text)
      ParseDate(value->Text, *value);
    int32_t id = 0;
    for (const auto& [name, pid] : kSummary) {
      if (key == name) id = pid;
    }
    for (const auto& [from, to] : kRenamed) {
      if (key == from) key = to;
    }
    PropertySet& set = id ? summary : user;
    set.Properties.push_back(
        {key, id ? id : int32_t(user.Properties.size()) + 2, std::move(*value)});
  }
  std::sort(summary.Properties.begin(), summary.Properties.end(),
            [](const Property& a, const Property& b) { return a.Id < b.Id; });
  if (!summary.Properties.empty()) scene.DocumentProperties.push_back(std::move(summary));
  if (!user.Properties.empty()) scene.DocumentProperties.push_back(std::move(user));
}

}  // namespace

// The node's own owner and its object's, created on first use (in that
// order, as Node::Animatables lists them).
PropertyOwner& ImportedNodeOwner(Node& node) {
  while (node.Animatables.size() < 2) node.Animatables.push_back(std::make_shared<PropertyOwner>());
  return *node.Animatables[0];
}
PropertyOwner& ImportedObjectOwner(Node& node) {
  ImportedNodeOwner(node);
  return *node.Animatables[1];
}
PropertyOwner& ImportedMaterialOwner(Material& material) {
  if (material.Animatables.empty())
    material.Animatables.push_back(std::make_shared<PropertyOwner>());
  return *material.Animatables[0];
}

void AddImportedAttribute(PropertyOwner& owner, const std::string& name,
                          std::vector<Property> members) {
  if (members.empty()) return;
  auto attribute = std::make_shared<PropertyOwner>();
  attribute->Name = name;
  attribute->Parameters = std::move(members);
  owner.CustomAttributes.push_back(std::move(attribute));
}

void ConvertNodeProperties(const aiScene& source, const aiNode& in, bool gltf, Node& node) {
  if (in.mMetaData && !gltf) {
    aiString format;
    const bool fbx = source.mMetaData && source.mMetaData->Get("SourceAsset_Format", format) &&
                     std::strstr(format.C_Str(), "FBX") != nullptr;
    ConvertNodeMetadata(*in.mMetaData, fbx, node);
  }
  if (in.mNumMeshes > 0) return;
  for (unsigned c = 0; c < source.mNumCameras; ++c) {
    if (source.mCameras[c]->mName == in.mName) return ConvertCamera(*source.mCameras[c], node);
  }
  for (unsigned l = 0; l < source.mNumLights; ++l) {
    if (source.mLights[l]->mName == in.mName)
      return ConvertLight(*source.mLights[l], in, gltf, node);
  }
}

void ConvertMaterialColors(const aiMaterial& in, Material& out) {
  MaterialColors& colors = out.Colors;
  aiColor3D colour;
  if (in.Get(AI_MATKEY_COLOR_AMBIENT, colour) == AI_SUCCESS)
    std::copy_n(&colour.r, 3, colors.Ambient);
  if (in.Get(AI_MATKEY_COLOR_SPECULAR, colour) == AI_SUCCESS)
    std::copy_n(&colour.r, 3, colors.Specular);
  if (in.Get(AI_MATKEY_COLOR_EMISSIVE, colour) == AI_SUCCESS) {
    std::copy_n(&colour.r, 3, colors.SelfIlluminationColor);
    colors.SelfIlluminationColorOn = colour.r > 0 || colour.g > 0 || colour.b > 0;
    colors.SelfIllumination = std::clamp(std::max({colour.r, colour.g, colour.b}), 0.0f, 1.0f);
  }
  // Assimp's shininess is a Phong exponent; the host's a 0..1 glossiness
  // whose exponent is 2^(10 glossiness).
  float value = 0;
  if (in.Get(AI_MATKEY_SHININESS, value) == AI_SUCCESS && value >= 0)
    colors.Shininess = value > 1 ? std::clamp(std::log2(value) / 10.0f, 0.0f, 1.0f) : 0.0f;
  if (in.Get(AI_MATKEY_SHININESS_STRENGTH, value) == AI_SUCCESS) colors.ShininessStrength = value;
  if (in.Get(AI_MATKEY_OPACITY, value) == AI_SUCCESS)
    colors.Transparency = std::clamp(1.0f - value, 0.0f, 1.0f);
}

MapCoordinates MapCoordinatesOf(const aiMaterial& in, aiTextureType type, unsigned index) {
  MapCoordinates coordinates;
  int source = 0;
  if (in.Get(AI_MATKEY_UVWSRC(type, index), source) == AI_SUCCESS && source >= 0)
    coordinates.Channel = source + 1;  // Assimp's UV set 0 is map channel 1
  aiUVTransform transform;
  if (in.Get(AI_MATKEY_UVTRANSFORM(type, index), transform) == AI_SUCCESS) {
    const float c = std::cos(transform.mRotation), s = std::sin(transform.mRotation);
    const float su = transform.mScaling.x, sv = transform.mScaling.y;
    const float rows[12] = {su * c,
                            su * s,
                            0,
                            -sv * s,
                            sv * c,
                            0,
                            0,
                            0,
                            1,
                            transform.mTranslation.x,
                            transform.mTranslation.y,
                            0};
    std::copy(std::begin(rows), std::end(rows), coordinates.Transform);
    coordinates.Offset[0] = transform.mTranslation.x;
    coordinates.Offset[1] = transform.mTranslation.y;
  }
  // Bits 0 and 1 tile in U and V, 2 and 3 mirror there.
  int modes[2] = {-1, -1};
  in.Get(AI_MATKEY_MAPPINGMODE_U(type, index), modes[0]);
  in.Get(AI_MATKEY_MAPPINGMODE_V(type, index), modes[1]);
  for (int axis = 0; axis < 2; ++axis) {
    if (modes[axis] < 0) continue;
    coordinates.TilingFlags &= ~(1 << axis) & ~(4 << axis);
    if (modes[axis] == aiTextureMapMode_Wrap) coordinates.TilingFlags |= 1 << axis;
    if (modes[axis] == aiTextureMapMode_Mirror) coordinates.TilingFlags |= (1 | 4) << axis;
  }
  return coordinates;
}

void ConvertSceneProperties(const aiScene& source, const std::string& path,
                            const std::map<const aiNode*, Node*>& nodes,
                            const std::vector<Material*>& materials, Scene& scene) {
  ShareInstances(nodes);
  ConvertDocument(source, scene);
  const std::string extension = Lower(fs::path(path).extension().string());
  if (extension == ".gltf" || extension == ".glb")
    AttachGltfExtras(path, source, nodes, materials, scene);
}

}  // namespace ketrel::host
