// Host properties in the scene stream: typed values (recursive, so their
// depth is bounded on reading), the property owner table, node flags,
// material values, map coordinates and the document's sets.

#include "export/host/host_scene_stream_io.h"

namespace ketrel::host::stream {
namespace {

// Deeper values are refused: no loader makes them (imports turn deeper
// extras into text), and the reader recurses once per level.
constexpr int32_t kMaxValueDepth = 64;
// Every value is at least its kind and one 8-byte field; a property adds its
// name's count and its id.
constexpr size_t kMinimumValueBytes = 9;
constexpr size_t kMinimumPropertyBytes = 8 + 4 + kMinimumValueBytes;

void PutValue(Writer& w, const PropertyValue& value);

void PutProperties(Writer& w, const std::vector<Property>& properties) {
  w.Put(uint64_t(properties.size()));
  for (const Property& p : properties) {
    w.PutString(p.Name);
    w.Put(p.Id);
    PutValue(w, p.Value);
  }
}

void PutValue(Writer& w, const PropertyValue& value) {
  w.Put(uint8_t(value.Type));
  switch (value.Type) {
    case PropertyValue::Kind::Int:
    case PropertyValue::Kind::Bool:
      w.Put(value.Int);
      break;
    case PropertyValue::Kind::Real:
      w.Put(value.Real);
      break;
    case PropertyValue::Kind::Text:
      w.PutString(value.Text);
      break;
    case PropertyValue::Kind::Reals:
      w.PutVector(value.Reals);
      break;
    case PropertyValue::Kind::Date:
      for (int32_t part : value.Date) w.Put(part);
      break;
    case PropertyValue::Kind::List:
      w.Put(uint64_t(value.Items.size()));
      for (const PropertyValue& item : value.Items) PutValue(w, item);
      break;
    case PropertyValue::Kind::Object:
      PutProperties(w, value.Members);
      break;
  }
}

void GetValue(Reader& r, PropertyValue& value, int32_t depth);

void GetProperties(Reader& r, std::vector<Property>& properties, int32_t depth) {
  properties.resize(r.GetCount(kMinimumPropertyBytes));
  for (Property& p : properties) {
    if (r.Failed()) return;
    p.Name = r.GetString();
    p.Id = r.Get<int32_t>();
    GetValue(r, p.Value, depth);
  }
}

void GetValue(Reader& r, PropertyValue& value, int32_t depth) {
  if (depth > kMaxValueDepth) {
    r.Fail("the scene stream holds a value nested more than " + std::to_string(kMaxValueDepth) +
           " levels deep");
    return;
  }
  const uint8_t kind = r.Get<uint8_t>();
  if (r.Failed()) return;
  if (kind > uint8_t(PropertyValue::Kind::Object)) {
    r.Fail("the scene stream holds a value of unknown kind " + std::to_string(kind));
    return;
  }
  value.Type = PropertyValue::Kind(kind);
  switch (value.Type) {
    case PropertyValue::Kind::Int:
      value.Int = r.Get<int64_t>();
      break;
    case PropertyValue::Kind::Bool:
      value.Int = r.Get<int64_t>();
      if (value.Int != 0 && value.Int != 1) r.Fail("the scene stream holds a damaged boolean");
      break;
    case PropertyValue::Kind::Real:
      value.Real = r.Get<double>();
      break;
    case PropertyValue::Kind::Text:
      value.Text = r.GetString();
      break;
    case PropertyValue::Kind::Reals:
      r.GetVector(value.Reals);
      break;
    case PropertyValue::Kind::Date:
      for (int32_t& part : value.Date) part = r.Get<int32_t>();
      break;
    case PropertyValue::Kind::List:
      value.Items.resize(r.GetCount(kMinimumValueBytes));
      for (PropertyValue& item : value.Items) {
        if (r.Failed()) return;
        GetValue(r, item, depth + 1);
      }
      break;
    case PropertyValue::Kind::Object:
      GetProperties(r, value.Members, depth + 1);
      break;
  }
}

void PutNodeSets(Writer& w, const std::vector<NamedNodeSet>& sets) {
  w.Put(uint64_t(sets.size()));
  for (const NamedNodeSet& set : sets) {
    w.PutString(set.Name);
    w.Put(uint64_t(set.Nodes.size()));
    for (const std::string& node : set.Nodes) w.PutString(node);
  }
}

void GetNodeSets(Reader& r, std::vector<NamedNodeSet>& sets) {
  sets.resize(r.GetCount(16));
  for (NamedNodeSet& set : sets) {
    if (r.Failed()) return;
    set.Name = r.GetString();
    set.Nodes.resize(r.GetCount(8));
    for (std::string& node : set.Nodes) {
      if (r.Failed()) return;
      node = r.GetString();
    }
  }
}

}  // namespace

void OwnerTableWriter::Visit(const std::shared_ptr<PropertyOwner>& owner) {
  if (!owner) return;
  auto [at, added] = index_.emplace(owner.get(), -2);
  if (!added) return;  // listed already, or being listed (a cycle no loader makes)
  for (const auto& attribute : owner->CustomAttributes) Visit(attribute);
  at->second = int32_t(order_.size());
  order_.push_back(owner.get());
}

void OwnerTableWriter::Collect(const Scene& scene) {
  for (const auto& material : scene.Materials) {
    for (const auto& owner : material->Animatables) Visit(owner);
  }
  for (const auto& owner : scene.Root->Animatables) Visit(owner);
  for (const auto& node : scene.Nodes) {
    for (const auto& owner : node->Animatables) Visit(owner);
  }
}

void OwnerTableWriter::PutRefs(Writer& w,
                               const std::vector<std::shared_ptr<PropertyOwner>>& owners) const {
  std::vector<int32_t> refs;
  for (const auto& owner : owners) {
    auto found = owner ? index_.find(owner.get()) : index_.end();
    if (found != index_.end() && found->second >= 0) refs.push_back(found->second);
  }
  w.PutVector(refs);
}

void OwnerTableWriter::Write(Writer& w) const {
  w.Put(uint64_t(order_.size()));
  for (const PropertyOwner* owner : order_) {
    w.PutString(owner->Name);
    PutProperties(w, owner->Parameters);
    std::vector<int32_t> attributes;
    for (const auto& attribute : owner->CustomAttributes) {
      auto found = attribute ? index_.find(attribute.get()) : index_.end();
      if (found != index_.end() && found->second >= 0) attributes.push_back(found->second);
    }
    w.PutVector(attributes);
  }
}

void OwnerTableReader::Read(Reader& r) {
  // An owner is at least its name's count and two counts.
  const size_t count = r.GetCount(24);
  for (size_t i = 0; i < count && !r.Failed(); ++i) {
    auto owner = std::make_shared<PropertyOwner>();
    owner->Name = r.GetString();
    GetProperties(r, owner->Parameters, 1);
    std::vector<int32_t> attributes;
    r.GetVector(attributes);
    for (int32_t at : attributes) {
      if (at < 0 || size_t(at) >= owners_.size()) {
        r.Fail("the scene stream holds a custom attribute out of order");
        return;
      }
      owner->CustomAttributes.push_back(owners_[size_t(at)]);
    }
    owners_.push_back(std::move(owner));
  }
}

void OwnerTableReader::GetRefs(Reader& r,
                               std::vector<std::shared_ptr<PropertyOwner>>& owners) const {
  std::vector<int32_t> refs;
  r.GetVector(refs);
  for (int32_t at : refs) {
    if (at < 0 || size_t(at) >= owners_.size()) {
      r.Fail("the scene stream names property owner " + std::to_string(at) +
             ", which it does not hold");
      return;
    }
    owners.push_back(owners_[size_t(at)]);
  }
}

void PutFlags(Writer& w, const NodeFlags& flags) {
  for (const NodeFlagEntry& entry : kNodeFlagTable) w.Put(uint8_t(flags.*entry.Flag));
  w.Put(flags.GBufferObjId);
  w.Put(flags.MotionBlurType);
  w.Put(flags.MotionBlurMultiplier);
}

void GetFlags(Reader& r, NodeFlags& flags) {
  for (const NodeFlagEntry& entry : kNodeFlagTable) flags.*entry.Flag = r.Get<uint8_t>() != 0;
  flags.GBufferObjId = r.Get<int32_t>();
  flags.MotionBlurType = r.Get<int32_t>();
  flags.MotionBlurMultiplier = r.Get<float>();
}

void PutColors(Writer& w, const MaterialColors& c) {
  w.Put(c.Ambient);
  w.Put(c.Specular);
  w.Put(c.Shininess);
  w.Put(c.ShininessStrength);
  w.Put(c.Transparency);
  w.Put(c.SelfIllumination);
  w.Put(uint8_t(c.SelfIlluminationColorOn));
  w.Put(c.SelfIlluminationColor);
}

void GetColors(Reader& r, MaterialColors& c) {
  for (float& v : c.Ambient) v = r.Get<float>();
  for (float& v : c.Specular) v = r.Get<float>();
  c.Shininess = r.Get<float>();
  c.ShininessStrength = r.Get<float>();
  c.Transparency = r.Get<float>();
  c.SelfIllumination = r.Get<float>();
  c.SelfIlluminationColorOn = r.Get<uint8_t>() != 0;
  for (float& v : c.SelfIlluminationColor) v = r.Get<float>();
}

void PutCoordinates(Writer& w, const MapCoordinates& c) {
  w.Put(c.Transform);
  w.Put(c.Offset);
  w.Put(c.TilingFlags);
  w.Put(c.Source);
  w.Put(c.Channel);
  for (float v : {c.Blur, c.BlurOffset, c.NoiseAmount, c.NoiseSize, c.NoiseLevel, c.NoisePhase})
    w.Put(v);
  w.Put(uint8_t(c.HideMapBack));
  w.Put(uint8_t(c.UseRealWorldScale));
}

void GetCoordinates(Reader& r, MapCoordinates& c) {
  for (float& v : c.Transform) v = r.Get<float>();
  for (float& v : c.Offset) v = r.Get<float>();
  c.TilingFlags = r.Get<int32_t>();
  c.Source = r.Get<int32_t>();
  c.Channel = r.Get<int32_t>();
  for (float* v :
       {&c.Blur, &c.BlurOffset, &c.NoiseAmount, &c.NoiseSize, &c.NoiseLevel, &c.NoisePhase})
    *v = r.Get<float>();
  c.HideMapBack = r.Get<uint8_t>() != 0;
  c.UseRealWorldScale = r.Get<uint8_t>() != 0;
}

void PutDocument(Writer& w, const Scene& scene) {
  w.Put(uint64_t(scene.DocumentProperties.size()));
  for (const PropertySet& set : scene.DocumentProperties) {
    w.PutString(set.Name);
    PutProperties(w, set.Properties);
  }
  PutNodeSets(w, scene.SelectionSets);
  PutNodeSets(w, scene.Layers);
}

void GetDocument(Reader& r, Scene& scene) {
  scene.DocumentProperties.resize(r.GetCount(16));
  for (PropertySet& set : scene.DocumentProperties) {
    if (r.Failed()) return;
    set.Name = r.GetString();
    GetProperties(r, set.Properties, 1);
  }
  GetNodeSets(r, scene.SelectionSets);
  GetNodeSets(r, scene.Layers);
}

}  // namespace ketrel::host::stream
