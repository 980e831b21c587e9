// The host's properties of its nodes, materials and document as records for
// the export's extended data: member names, types and order are the host's
// fixed description of each item; values come from the scene at the current
// sample time.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "export/host/host_scene_document_properties.h"
#include "export/host/host_tool_interface.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

using RecordPtr = std::shared_ptr<const ToolRecord>;

std::string DateText(const int32_t d[6]) {
  char text[64];
  std::snprintf(text, sizeof text, "%d/%02d/%02d - %02d:%02d:%02d", d[0], d[1], d[2], d[3], d[4],
                d[5]);
  return text;
}

using AttributeCache = std::unordered_map<const PropertyOwner*, RecordPtr>;

struct Converter {
  const char* owner;
  AttributeCache* attributes;

  void Add(ToolRecord& record, const std::string& name, const PropertyValue& v) const {
    using K = PropertyValue::Kind;
    switch (v.Type) {
      case K::Int:
      case K::Bool:
        record.AddInt32(name, v.Int);
        return;
      case K::Real:
        record.AddReal32(name, float(v.Real));
        return;
      case K::Text:
        record.AddString(name, v.Text);
        return;
      case K::Date:
        record.AddString(name, DateText(v.Date));
        return;
      case K::Reals:
        if (v.Reals.empty()) {
          record.Add(name, ToolValueType::Real32List);
        } else {
          record.AddReals(name, v.Reals.data(), int32_t(v.Reals.size()));
        }
        return;
      case K::Object:
        record.AddRecord(name, Object(v));
        return;
      case K::List:
        List(record, name, v);
        return;
    }
  }

  RecordPtr Object(const PropertyValue& v) const {
    auto nested = std::make_shared<ToolRecord>();
    for (const Property& p : v.Members) Add(*nested, p.Name, p.Value);
    return nested;
  }

  // A list whose items share one kind becomes an array of that kind; items of
  // several kinds (or lists of lists) cannot, and become text.
  void List(ToolRecord& record, const std::string& name, const PropertyValue& v) const {
    using K = PropertyValue::Kind;
    bool ints = true, numbers = true, texts = true, objects = true;
    for (const PropertyValue& item : v.Items) {
      ints = ints && (item.Type == K::Int || item.Type == K::Bool);
      numbers = numbers && (item.Type == K::Int || item.Type == K::Bool || item.Type == K::Real);
      texts = texts && (item.Type == K::Text || item.Type == K::Date);
      objects = objects && (item.Type == K::Object || item.Type == K::Reals);
    }
    if (ints) {
      ToolValue& value = record.Add(name, ToolValueType::Int32List);
      for (const PropertyValue& item : v.Items) {
        if (item.Int < INT32_MIN || item.Int > INT32_MAX) {
          value.Type = ToolValueType::Real32List;  // whole numbers too wide for Int32
          break;
        }
        value.Ints.push_back(int32_t(item.Int));
      }
      if (value.Type == ToolValueType::Real32List) {
        value.Ints.clear();
        for (const PropertyValue& item : v.Items) value.Reals.push_back(float(item.Int));
      }
    } else if (numbers) {
      ToolValue& value = record.Add(name, ToolValueType::Real32List);
      for (const PropertyValue& item : v.Items)
        value.Reals.push_back(item.Type == K::Real ? float(item.Real) : float(item.Int));
    } else if (texts) {
      ToolValue& value = record.Add(name, ToolValueType::StringArray);
      for (const PropertyValue& item : v.Items)
        value.Texts.push_back(item.Type == K::Text ? item.Text : DateText(item.Date));
    } else if (objects) {
      // Table rows: records, or points and colours as one-member records.
      ToolValue& value = record.Add(name, ToolValueType::RecordArray);
      for (const PropertyValue& item : v.Items) {
        if (item.Type == K::Object) {
          value.Records.push_back(Object(item));
        } else {
          auto row = std::make_shared<ToolRecord>();
          Add(*row, "Value", item);
          value.Records.push_back(row);
        }
      }
    } else {
      // As the scene document writes the value: JSON, with its quotes
      // escaped and the document's forms for dates, points and NaN.
      const std::string text = document::PropertyValueJson(v).dump(
          -1, ' ', false, nlohmann::json::error_handler_t::replace);
      KT_LOG_WARNING_CODE(Host, warning::HostPropertyAsText, owner,
                          "%s: host property \"%s\" is a list of mixed values; written as text",
                          owner, name.c_str());
      record.AddString(name, text);
    }
  }

  // A custom attribute: its own parameters and custom attributes, built once
  // however many owners share it.
  RecordPtr Attribute(const PropertyOwner& attribute, std::set<const void*>& open) const {
    if (auto it = attributes->find(&attribute); it != attributes->end()) return it->second;
    auto record = std::make_shared<ToolRecord>();
    record->Identity = &attribute;
    if (!open.insert(&attribute).second) return record;  // a cycle: stop here
    for (const Property& p : attribute.Parameters) Add(*record, p.Name, p.Value);
    for (const auto& nested : attribute.CustomAttributes)
      if (nested) record->AddRecord(nested->Name, Attribute(*nested, open));
    open.erase(&attribute);
    (*attributes)[&attribute] = record;
    return record;
  }
};

void AddParameterTrack(ToolRecord& record, const Parameter& p, int32_t tick) {
  float value[4] = {};
  const int32_t dimension = std::clamp(p.Track.Dimension, 1, 4);
  if (p.Track.Dimension == dimension) p.Track.Evaluate(tick, value);
  if (dimension == 1) {
    record.AddReal32(p.Name, value[0]);
  } else {
    record.AddReals(p.Name, value, dimension);
  }
}

// The parameters (unless only the user's are asked for) and the custom
// attributes of each owner, each owner once.
void AddAnimatables(ToolRecord& record, const std::vector<std::shared_ptr<PropertyOwner>>& owners,
                    size_t count, ToolPropertyScope scope, const Converter& convert) {
  std::set<const PropertyOwner*> seen;
  for (size_t i = 0; i < owners.size() && i < count; ++i) {
    const PropertyOwner* owner = owners[i].get();
    if (!owner || !seen.insert(owner).second) continue;
    if (scope == ToolPropertyScope::All)
      for (const Property& p : owner->Parameters) convert.Add(record, p.Name, p.Value);
    std::set<const void*> open;
    for (const auto& attribute : owner->CustomAttributes)
      if (attribute) record.AddRecord(attribute->Name, convert.Attribute(*attribute, open));
  }
}

float ParameterAt(const std::vector<Parameter>& parameters, const char* name, int32_t tick,
                  int32_t component = 0) {
  for (const Parameter& p : parameters) {
    if (p.Name != name) continue;
    float value[4] = {};
    if (p.Track.Dimension >= 1 && p.Track.Dimension <= 4) p.Track.Evaluate(tick, value);
    return component < 4 ? value[component] : 0.0f;
  }
  return 0.0f;
}

void AddNodeFlags(ToolRecord& record, const NodeFlags& flags) {
  auto properties = std::make_shared<ToolRecord>();
  for (const NodeFlagEntry& entry : kNodeFlagTable)
    properties->AddInt8(entry.Name, flags.*entry.Flag ? 1 : 0);
  properties->Add("Unused", ToolValueType::UInt8Array).Bytes.assign(3, 0);
  record.AddRecord("MaxProperties", properties);
  record.AddInt32("GBufferObjId", flags.GBufferObjId);
  record.AddInt32("MotionBlur_Type", flags.MotionBlurType);
  record.AddReal32("MotionBlur_Multiplier", flags.MotionBlurMultiplier);
}

RecordPtr CameraRecord(const Node& node, const char* typeName, int32_t tick) {
  auto camera = std::make_shared<ToolRecord>();
  camera->AddString("typeName", typeName);
  camera->AddInt32("Orthographic", ParameterAt(node.Parameters, "Orthographic", tick) != 0);
  for (const char* name : {"FOV", "Target Distance", "Near Clip Distance", "Far Clip Distance",
                           "Near Environment Range", "Far Environment Range"})
    camera->AddReal32(name, ParameterAt(node.Parameters, name, tick));
  return camera;
}

RecordPtr LightRecord(const Node& node, const char* typeName, int32_t tick) {
  auto light = std::make_shared<ToolRecord>();
  const auto& p = node.Parameters;
  // Whole numbers and switches; a switch the light does not have is off,
  // except the ones a light has on unless told otherwise.
  auto number = [&](const char* name, int64_t fallback = 0) {
    for (const Parameter& parameter : p)
      if (parameter.Name == name) return int64_t(std::lround(ParameterAt(p, name, tick)));
    return fallback;
  };
  auto flag = [&](const char* name, bool fallback = false) {
    return int64_t(number(name, fallback) != 0);
  };
  light->AddString("typeName", typeName);
  light->AddInt32("Use", flag("Use", true));
  light->AddReal32("Hotspot", ParameterAt(p, "Hotspot", tick));
  light->AddReal32("Falloff", ParameterAt(p, "Falloff", tick));
  light->AddInt32("Use Near Attenuation", flag("Use Near Attenuation"));
  light->AddReal32("Near Attenuation Start", ParameterAt(p, "Near Attenuation Start", tick));
  light->AddReal32("Near Attenuation End", ParameterAt(p, "Near Attenuation End", tick));
  light->AddInt32("Use Far Attenuation", flag("Use Far Attenuation"));
  light->AddReal32("Far Attenuation Start", ParameterAt(p, "Far Attenuation Start", tick));
  light->AddReal32("Far Attenuation End", ParameterAt(p, "Far Attenuation End", tick));
  light->AddReal32("Target Distance", ParameterAt(p, "Target Distance", tick));
  light->AddInt32("Cone Display", flag("Cone Display"));
  light->AddInt32("Shadow Method", number("Shadow Method"));
  const float color[3] = {ParameterAt(p, "Color", tick, 0), ParameterAt(p, "Color", tick, 1),
                          ParameterAt(p, "Color", tick, 2)};
  light->AddReals("Color", color, 3);
  for (const char* name : {"Intensity", "Aspect", "Map Bias", "Map Size", "Ray Bias"})
    light->AddReal32(name, ParameterAt(p, name, tick));
  for (const char* name : {"Use Global", "Shadow", "Shadow Type", "Absolute Map Bias", "Overshoot",
                           "Projector", "Type", "Shape"})
    light->AddInt32(name, number(name));
  light->AddInt32("Affect Diffuse", number("Affect Diffuse", 1));
  light->AddInt32("Affect Specular", number("Affect Specular", 1));
  for (const char* name : {"Ambient Only", "Extra", "Include"}) light->AddInt32(name, number(name));
  ToolValue& projected = light->Add("Projected Material", ToolValueType::MaterialMap);
  projected.Text = "Projector";
  projected.Handle = node.ProjectorMap ? HandleOf(node.ProjectorMap) : nullptr;
  return light;
}

// The shape records of sphere, box and capsule objects: sizes from the
// object's parameters, placement from its object offset.
void AddShapeRecord(ToolRecord& record, const Node& node, NodeKind kind, int32_t tick) {
  const char* recordName = kind == NodeKind::Sphere    ? "SphereInfo"
                           : kind == NodeKind::Capsule ? "CapsuleInfo"
                                                       : "BoxInfo";
  auto shape = std::make_shared<ToolRecord>();
  std::vector<const char*> sizes;
  if (kind == NodeKind::Sphere) sizes = {"Radius"};
  if (kind == NodeKind::Capsule) sizes = {"Height", "Radius"};
  if (kind == NodeKind::Box) sizes = {"Length", "Width", "Height"};
  for (const char* size : sizes) shape->AddReal32(size, ParameterAt(node.Parameters, size, tick));
  shape->AddReals("Matrix", &node.ObjectOffset.m[0][0], 9);
  shape->AddReals("Center", node.ObjectOffset.m[3], 3);
  record.AddRecord(recordName, shape);
}

const char* ObjectTypeName(const Node& node, NodeKind kind) {
  if (!node.Object.TypeName.empty()) return node.Object.TypeName.c_str();
  switch (kind) {
    case NodeKind::Mesh:
      return "Editable Mesh";
    case NodeKind::Sphere:
      return "Sphere";
    case NodeKind::Box:
      return "Box";
    case NodeKind::Capsule:
      return "Capsule";
    case NodeKind::Camera:
      return node.LookAt ? "Target Camera" : "Free Camera";
    case NodeKind::Light:
      return node.LookAt ? "Target Spot" : "Omni";
    case NodeKind::BoneGeometry:
    case NodeKind::InterfaceBone:
      return "Bone";
    default:
      return node.HasObject ? "Dummy" : "";
  }
}

const char* MaterialTypeName(const Material& material) {
  if (material.IsBitmap()) return "Bitmap";
  if (material.Class == kMultiMaterialClass) return "Multi/Sub-Object";
  return material.IsMaterial() ? "Standard" : "Map";
}

// The document property ids that name a property with no name of its own,
// by set: the same number means another property in each set (2 is "Title"
// in the summary and "Category" in the document contents).
struct PropertyIdName {
  const char* Set;
  int32_t Id;
  const char* Name;
};
constexpr PropertyIdName kPropertyIdNames[] = {
    {"SummaryInfo", 2, "Title"},         {"SummaryInfo", 3, "Subject"},
    {"SummaryInfo", 4, "Author"},        {"DocumentContents", 14, "Manager"},
    {"DocumentContents", 15, "Company"}, {"DocumentContents", 2, "Category"},
    {"SummaryInfo", 5, "Keywords"},      {"SummaryInfo", 6, "Comments"},
    {"DocumentContents", 12, "Headers"}, {"DocumentContents", 13, "Elements"},
};

std::string PropertyName(const std::string& set, const Property& p) {
  if (!p.Name.empty()) return p.Name;
  const char* any = nullptr;
  for (const PropertyIdName& entry : kPropertyIdNames) {
    if (entry.Id != p.Id) continue;
    if (set == entry.Set) return entry.Name;
    if (!any) any = entry.Name;
  }
  return any ? any : "PID_" + std::to_string(p.Id);
}

void AddNodeSets(ToolRecord& record, const char* name, const std::vector<NamedNodeSet>& sets) {
  if (sets.empty()) return;
  ToolValue& value = record.Add(name, ToolValueType::RecordArray);
  for (const NamedNodeSet& set : sets) {
    auto row = std::make_shared<ToolRecord>();
    row->AddString("Name", set.Name);
    row->Add("Objects", ToolValueType::StringArray).Texts = set.Nodes;
    value.Records.push_back(row);
  }
}

}  // namespace

bool HostToolInterface::GetBoneProperties(const BoneNode* bone, ToolPropertyScope scope,
                                          ToolRecord& out) {
  const Node* node = HostNodeOfBone(bone);
  if (!node || node == scene_.Root.get()) return false;
  const Converter convert{GetBoneName(bone), &attributeRecords_};
  AddAnimatables(out, node->Animatables, SIZE_MAX, scope, convert);
  if (scope == ToolPropertyScope::All)
    for (const Parameter& p : node->Parameters) AddParameterTrack(out, p, currentTime_);
  out.AddString("UserDefinedProperties", node->UserProperties);
  if (scope == ToolPropertyScope::UserOnly) return true;
  AddNodeFlags(out, node->Flags);
  const NodeKind kind = ClassifyNode(node);
  if (kind == NodeKind::Camera)
    out.AddRecord("CameraInfo", CameraRecord(*node, ObjectTypeName(*node, kind), currentTime_));
  if (kind == NodeKind::Light)
    out.AddRecord("LightInfo", LightRecord(*node, ObjectTypeName(*node, kind), currentTime_));
  return true;
}

bool HostToolInterface::GetMeshProperties(const MeshNode* mesh, ToolPropertyScope scope,
                                          ToolRecord& out) {
  const Node* node = mesh ? NodeOf(mesh->HostNode) : nullptr;
  if (!node) return false;
  const Converter convert{GetMeshName(mesh, false), &attributeRecords_};
  // The node's own owner and its object's.
  AddAnimatables(out, node->Animatables, 2, scope, convert);
  if (scope == ToolPropertyScope::All)
    for (const Parameter& p : node->Parameters) AddParameterTrack(out, p, currentTime_);
  out.AddString("UserDefinedProperties", node->UserProperties);
  out.AddString("FullPath", GetMeshName(mesh, true));
  if (scope == ToolPropertyScope::UserOnly) return true;
  ToolValue& siblings = out.Add("SiblingInstances", ToolValueType::StringArray);
  int32_t siblingCount = 0;
  if (node->InstanceGroup >= 0) {
    if (instanceGroups_.empty())
      for (const auto& other : scene_.Nodes)
        if (other->InstanceGroup >= 0) instanceGroups_[other->InstanceGroup].push_back(other.get());
    for (const Node* other : instanceGroups_[node->InstanceGroup])
      if (other != node) {
        siblings.Texts.push_back(other->Name);
        ++siblingCount;
      }
  }
  out.Add("SiblingIsReference", ToolValueType::Int32List).Ints.assign(size_t(siblingCount), 0);
  const HostMatrix vertex = Multiply(node->ObjectOffset, scene_.NodeTransform(node, currentTime_));
  // Normals go by the inverse transpose of the vertex transform's 3x3 part.
  HostMatrix inverse, normal;
  if (Inverse(vertex, inverse))
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) normal.m[r][c] = inverse.m[c][r];
  for (int c = 0; c < 3; ++c) normal.m[3][c] = 0;
  out.AddReals("NormalTransform_4x3", &normal.m[0][0], 12);
  out.AddReals("VertexTransform_4x3", &vertex.m[0][0], 12);
  const NodeKind kind = ClassifyNode(node);
  out.AddString("typeName", ObjectTypeName(*node, kind));
  AddNodeFlags(out, node->Flags);
  if (kind == NodeKind::Sphere || kind == NodeKind::Box || kind == NodeKind::Capsule)
    AddShapeRecord(out, *node, kind, currentTime_);
  return true;
}

bool HostToolInterface::GetMaterialProperties(const MaterialNode* material, ToolPropertyScope scope,
                                              ToolRecord& out) {
  const Material* m = material ? MaterialOf(material->HostMaterial) : nullptr;
  if (!m) return false;
  const Converter convert{GetMaterialName(material), &attributeRecords_};
  if (scope == ToolPropertyScope::All)
    for (const Parameter& p : m->Parameters) AddParameterTrack(out, p, currentTime_);
  AddAnimatables(out, m->Animatables, SIZE_MAX, scope, convert);
  if (scope == ToolPropertyScope::UserOnly) return true;
  out.AddString("typeName", MaterialTypeName(*m));
  if (m->IsMaterial()) {
    const MaterialColors& c = m->Colors;
    out.AddReals("Ambient Color", c.Ambient, 3);
    out.AddReals("Diffuse Color", m->Diffuse, 3);
    out.AddReals("Specular Color", c.Specular, 3);
    out.AddReal32("Shininess", c.Shininess);
    out.AddReal32("Shininess Strength", c.ShininessStrength);
    out.AddReal32("Transparency", c.Transparency);
    out.AddReal32("Self Illumination", c.SelfIllumination);
    out.AddInt32("SelfIlluminationIsOn", c.SelfIlluminationColorOn);
    out.AddReals("Self Illumination Color", c.SelfIlluminationColor, 3);
  } else {
    const MapCoordinates& uvw = m->Coordinates;
    out.AddReals("UVWTransform", uvw.Transform, 12);
    out.AddReals("UVWOffset", uvw.Offset, 3);
    out.AddInt32("UVWTiling", uvw.TilingFlags);
    out.AddInt32("UVWSource", uvw.Source);
    out.AddInt32("UVWChannel", uvw.Channel);
    out.AddReal32("Blur", uvw.Blur);
    out.AddReal32("BlurOffset", uvw.BlurOffset);
    out.AddReal32("NoiseAmount", uvw.NoiseAmount);
    out.AddReal32("NoiseSize", uvw.NoiseSize);
    out.AddReal32("NoiseLevel", uvw.NoiseLevel);
    out.AddReal32("NoisePhase", uvw.NoisePhase);
    out.AddInt32("HideMapBack", uvw.HideMapBack);
    out.AddInt32("UseRealWorldScale", uvw.UseRealWorldScale);
  }
  return true;
}

bool HostToolInterface::GetSceneProperties(ToolPropertyScope scope, ToolRecord& out) {
  const Converter convert{GetSceneFileName(), &attributeRecords_};
  for (const char* setName : {"SummaryInfo", "DocumentContents", "UserDefined"}) {
    if (scope == ToolPropertyScope::UserOnly && std::string(setName) != "UserDefined") continue;
    for (const PropertySet& set : scene_.DocumentProperties) {
      if (set.Name != setName || set.Properties.empty()) continue;
      auto record = std::make_shared<ToolRecord>();
      for (const Property& p : set.Properties)
        convert.Add(*record, PropertyName(set.Name, p), p.Value);
      out.AddRecord(setName, record);
    }
  }
  if (scope == ToolPropertyScope::All) {
    AddNodeSets(out, "SelectionSets", scene_.SelectionSets);
    AddNodeSets(out, "Layers", scene_.Layers);
  }
  return !out.Members.empty();
}

}  // namespace ketrel::host
