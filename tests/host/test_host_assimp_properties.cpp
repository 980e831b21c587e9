// Host properties from real files: glTF extras (read from the file's JSON),
// FBX user-defined properties, cameras and lights, material values and map
// coordinates, instances and the document's description; and the bounds
// every imported value is kept within.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <string>

#include "export/host/host_assimp_import.h"
#include "export/host/host_property_json.h"
#include "tests/support/log_capture.h"

namespace ketrel::host {
namespace {

const std::string kModels = "/usr/share/assimp/models/";
constexpr double kDeg = 180.0 / 3.14159265358979323846;

Scene Import(const std::string& path) {
  Scene scene;
  std::string error;
  EXPECT_TRUE(ImportSceneFile(path, ImportOptions(), scene, error)) << path << ": " << error;
  return scene;
}

// The custom attribute `name` of an owner list's `owner`-th owner.
const PropertyOwner* Attribute(const std::vector<std::shared_ptr<PropertyOwner>>& owners,
                               size_t owner, const std::string& name) {
  if (owner >= owners.size()) return nullptr;
  for (const auto& attribute : owners[owner]->CustomAttributes)
    if (attribute->Name == name) return attribute.get();
  return nullptr;
}

// A member by path: "nested.inner.value", "list[2]".
const PropertyValue* Find(const std::vector<Property>& members, const std::string& path) {
  const std::string head = path.substr(0, path.find_first_of(".["));
  const Property* found = nullptr;
  for (const Property& p : members)
    if (p.Name == head) found = &p;
  if (!found) return nullptr;
  const PropertyValue* value = &found->Value;
  std::string rest = path.substr(head.size());
  while (!rest.empty()) {
    if (rest[0] == '[') {
      const size_t index = std::stoul(rest.substr(1));
      if (index >= value->Items.size()) return nullptr;
      value = &value->Items[index];
      rest = rest.substr(rest.find(']') + 1);
    } else {
      return Find(value->Members, rest.substr(1));
    }
  }
  return value;
}

const ValueTrack* Param(const Node& node, const std::string& name) {
  for (const Parameter& p : node.Parameters)
    if (p.Name == name) return &p.Track;
  return nullptr;
}

std::string Data(const char* name) { return std::string(KETREL_TEST_DATA) + "/extras/" + name; }

TEST(HostAssimpProperties, GltfExtrasKeepTheirTypes) {
  test::LogCapture log;
  Scene scene = Import(Data("extras.gltf"));
  using K = PropertyValue::Kind;
  struct Case {
    const char* node;
    size_t owner;  // 0: the node's own, 1: its object's
    const char* attribute;
    const char* path;
    K kind;
    double number;
    const char* text;
  };
  const Case cases[] = {
      {"Holder", 0, "extras", "count", K::Int, 7, ""},
      {"Holder", 0, "extras", "weight", K::Real, 2.5, ""},
      {"Holder", 0, "extras", "label", K::Text, 0, "crate"},
      {"Holder", 0, "extras", "active", K::Bool, 1, ""},
      {"Holder", 0, "extras", "off", K::Bool, 0, ""},
      {"Holder", 0, "extras", "list", K::List, 4, ""},
      {"Holder", 0, "extras", "list[1]", K::Real, 2.5, ""},
      {"Holder", 0, "extras", "list[2]", K::Text, 0, "x"},
      {"Holder", 0, "extras", "list[3]", K::Bool, 1, ""},
      {"Holder", 0, "extras", "nested.inner.value", K::Int, -3, ""},
      {"Holder", 0, "extras", "nested.name", K::Text, 0, "n"},
      {"InstanceA", 0, "extras", "slot", K::Int, 1, ""},
      {"InstanceA", 1, "meshExtras", "lod", K::Int, 2, ""},
      {"InstanceB", 1, "meshExtras", "tags[1]", K::Text, 0, "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.node) + " " + c.path);
    const Node* node = scene.FindNode(c.node);
    ASSERT_NE(node, nullptr);
    const PropertyOwner* attribute = Attribute(node->Animatables, c.owner, c.attribute);
    ASSERT_NE(attribute, nullptr);
    const PropertyValue* value = Find(attribute->Parameters, c.path);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->Type, c.kind);
    const double number = c.kind == K::Real   ? value->Real
                          : c.kind == K::List ? double(value->Items.size())
                                              : double(value->Int);
    if (c.kind == K::Text) {
      EXPECT_EQ(value->Text, c.text);
    } else {
      EXPECT_EQ(number, c.number);
    }
  }
  // Extras nested past the bound become the JSON text of the rest, warned
  // (Assimp is handed the file without them, and without the node's as deep
  // extension, which is left out: it would take hours).
  const PropertyValue* deep =
      Find(Attribute(scene.FindNode("Deep")->Animatables, 0, "extras")->Parameters, "deep");
  int depth = 2;  // the extras object is level 1, its member "deep" level 2
  while (deep && deep->Type == K::Object) deep = &deep->Members[0].Value, ++depth;
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->Type, K::Text);
  EXPECT_EQ(depth, kMaxPropertyDepth + 1);
  EXPECT_TRUE(log.Contains("of node Deep nests deeper")) << log.All();
  EXPECT_TRUE(log.Contains("extension EXT_deep_test nests deeper")) << log.All();
  // Nodes without extras get no attributes; the long string is cut, warned.
  EXPECT_EQ(Attribute(scene.FindNode("Single")->Animatables, 0, "extras"), nullptr);
  const PropertyValue* text =
      Find(Attribute(scene.FindNode("Long")->Animatables, 0, "extras")->Parameters, "text");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->Text.size(), kMaxPropertyText);
  EXPECT_TRUE(log.Contains("70002 bytes long")) << log.All();

  // Instances share one object owner and a group; a mesh of its own has none.
  const Node* a = scene.FindNode("InstanceA");
  const Node* b = scene.FindNode("InstanceB");
  EXPECT_GE(a->InstanceGroup, 0);
  EXPECT_EQ(a->InstanceGroup, b->InstanceGroup);
  EXPECT_EQ(a->Animatables[1], b->Animatables[1]);
  EXPECT_NE(a->Animatables[0], b->Animatables[0]);
  EXPECT_EQ(scene.FindNode("Single")->InstanceGroup, -1);

  // The document: generator, copyright and the asset's extras.
  ASSERT_EQ(scene.DocumentProperties.size(), 1u);
  const PropertySet& user = scene.DocumentProperties[0];
  EXPECT_EQ(user.Name, "UserDefined");
  EXPECT_EQ(Find(user.Properties, "Generator")->Text, "make_extras.py");
  EXPECT_EQ(Find(user.Properties, "Copyright")->Text, "Ketrel test data");
  EXPECT_EQ(Find(user.Properties, "extras.project")->Text, "ketrel");
  EXPECT_EQ(Find(user.Properties, "SourceAsset_Format"), nullptr);
}

// The same scene as a GLB: the binary container is read, and rebuilt for
// Assimp without the deep extras.
TEST(HostAssimpProperties, GlbExtrasComeFromItsJsonChunk) {
  const std::string path = Data("extras.glb");
  Scene scene = Import(path);
  const Node* holder = scene.FindNode("Holder");
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(Find(Attribute(holder->Animatables, 0, "extras")->Parameters, "count")->Int, 7);
  const Node* deep = scene.FindNode("Deep");
  ASSERT_NE(deep, nullptr);
  EXPECT_NE(Attribute(deep->Animatables, 0, "extras"), nullptr);
}

TEST(HostAssimpProperties, GltfMaterialsAndMaps) {
  Scene scene = Import(Data("extras.gltf"));
  const Material* painted = nullptr;
  for (const auto& m : scene.Materials)
    if (m->Name == "Painted") painted = m.get();
  ASSERT_NE(painted, nullptr);
  const PropertyOwner* extras = Attribute(painted->Animatables, 0, "extras");
  ASSERT_NE(extras, nullptr);
  EXPECT_EQ(Find(extras->Parameters, "surface")->Text, "metal");
  EXPECT_EQ(Find(extras->Parameters, "wear")->Real, 0.25);
  // Base colour alpha 0.75 is a quarter transparent; emissive is self-illumination.
  EXPECT_FLOAT_EQ(painted->Colors.Transparency, 0.25f);
  EXPECT_TRUE(painted->Colors.SelfIlluminationColorOn);
  EXPECT_FLOAT_EQ(painted->Colors.SelfIlluminationColor[0], 0.5f);
  EXPECT_FLOAT_EQ(painted->Colors.SelfIlluminationColor[1], 0.25f);
  // The base colour map reads UV set 1 (map channel 2), scaled 2 by 4.
  ASSERT_FALSE(painted->Maps.empty());
  const MapCoordinates& c = painted->Maps[0].Map->Coordinates;
  EXPECT_EQ(c.Channel, 2);
  EXPECT_FLOAT_EQ(c.Transform[0], 2);
  EXPECT_FLOAT_EQ(c.Transform[4], 4);
}

TEST(HostAssimpProperties, FbxMaterialValues) {
  if (!std::filesystem::exists(kModels)) GTEST_SKIP() << "assimp-testmodels is not installed";
  Scene scene = Import(kModels + "FBX/phong_cube.fbx");
  const Material* phong = nullptr;
  for (const auto& m : scene.Materials)
    if (m->Name == "phong1") phong = m.get();
  ASSERT_NE(phong, nullptr);
  const MaterialColors& c = phong->Colors;
  // The file's values: ambient, specular, emissive, a Phong exponent of 10,
  // specular factor 0.5 and opacity 0.5.
  const std::pair<const float*, std::vector<float>> colours[] = {
      {c.Ambient, {0.125f, 0.25f, 0.25f}},
      {c.Specular, {0.25f, 0.25f, 0.5f}},
      {c.SelfIlluminationColor, {0.25f, 0.125f, 0.25f}}};
  for (const auto& [have, want] : colours) EXPECT_EQ(std::vector<float>(have, have + 3), want);
  EXPECT_TRUE(c.SelfIlluminationColorOn);
  EXPECT_NEAR(c.Shininess, std::log2(10.0) / 10, 1e-6);
  EXPECT_FLOAT_EQ(c.ShininessStrength, 0.5f);
  EXPECT_FLOAT_EQ(c.Transparency, 0.5f);
}

TEST(HostAssimpProperties, CamerasAndLights) {
  Scene scene = Import(Data("extras.gltf"));
  struct Case {
    const char* node;
    const char* type;
    const char* parameter;
    float value;
  };
  const Case cases[] = {
      {"Lens", "Free Camera", "FOV", float(1.2 * kDeg)},  // Assimp: yfov times aspect
      {"Lens", "Free Camera", "Orthographic", 0},
      {"Lens", "Free Camera", "Near Clip Distance", 0.1f},
      {"Lens", "Free Camera", "Far Clip Distance", 250},
      {"Flat", "Free Camera", "Orthographic", 1},
      {"Flat", "Free Camera", "Far Clip Distance", 40},
      {"Bulb", "Omni", "Type", 0},
      {"Bulb", "Omni", "Intensity", 3},
      {"Bulb", "Omni", "Far Attenuation End", 20},
      {"Bulb", "Omni", "Use Far Attenuation", 1},
      {"Cone", "Free Spot", "Type", 1},
      {"Cone", "Free Spot", "Hotspot", float(0.5 * kDeg)},  // glTF's half angles doubled
      {"Cone", "Free Spot", "Falloff", float(1.0 * kDeg)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.node) + " " + c.parameter);
    const Node* node = scene.FindNode(c.node);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->Object.TypeName, c.type);
    const ValueTrack* track = Param(*node, c.parameter);
    ASSERT_NE(track, nullptr);
    EXPECT_NEAR(track->Value[0], c.value, 1e-4 * std::max(1.0f, std::fabs(c.value)));
  }
  const ValueTrack* color = Param(*scene.FindNode("Bulb"), "Color");
  ASSERT_NE(color, nullptr);
  EXPECT_EQ(color->Value, (std::vector<float>{1, 0.5f, 0.25f}));
  EXPECT_EQ(Param(*scene.FindNode("Bulb"), "Hotspot"), nullptr);  // an omni has no cone

  // Collada: the file's ambient, directional, point and spot lights.
  if (!std::filesystem::exists(kModels)) GTEST_SKIP() << "assimp-testmodels is not installed";
  Scene lights = Import(kModels + "Collada/lights.dae");
  std::set<std::string> kinds;
  for (const auto& node : lights.Nodes)
    if (node->Object.SuperClass == kLightSuperClass) kinds.insert(node->Object.TypeName);
  EXPECT_EQ(kinds, (std::set<std::string>{"Free Direct", "Free Spot", "Omni", "Skylight"}));
}

TEST(HostAssimpProperties, FbxUserPropertiesAndColladaSummary) {
  if (!std::filesystem::exists(kModels)) GTEST_SKIP() << "assimp-testmodels is not installed";
  // 3ds Max wrote mental ray's displacement settings on the box as
  // user-defined properties; FBX's own node properties stay out.
  Scene fbx = Import(kModels + "FBX/box_orphant_embedded_texture.fbx");
  const PropertyOwner* user = nullptr;
  for (const auto& node : fbx.Nodes)
    if (!user) user = Attribute(node->Animatables, 0, "UserProperties");
  ASSERT_NE(user, nullptr);
  using K = PropertyValue::Kind;
  const std::pair<const char*, K> kinds[] = {{"mr displacement method", K::Int},
                                             {"mr displacement smoothing on", K::Bool},
                                             {"mr displacement edge length", K::Real}};
  for (const auto& [name, kind] : kinds) {
    const PropertyValue* value = Find(user->Parameters, name);
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(value->Type, kind) << name;
  }
  for (const char* bookkeeping : {"IsNull", "InheritType", "DefaultAttributeIndex", "MaxHandle"})
    EXPECT_EQ(Find(user->Parameters, bookkeeping), nullptr) << bookkeeping;

  // Collada's asset: author and comments are the summary's, dates typed.
  Scene dae = Import(kModels + "Collada/duck.dae");
  ASSERT_EQ(dae.DocumentProperties.size(), 2u);
  const PropertySet& summary = dae.DocumentProperties[0];
  EXPECT_EQ(summary.Name, "SummaryInfo");
  ASSERT_FALSE(summary.Properties.empty());
  EXPECT_EQ(summary.Properties[0].Name, "Author");
  EXPECT_EQ(summary.Properties[0].Id, 4);
  EXPECT_EQ(summary.Properties[0].Value.Text, "gcorson");
  const PropertyValue* created = Find(dae.DocumentProperties[1].Properties, "Created");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->Type, K::Date);
  EXPECT_EQ(created->Date[0], 2006);
}

TEST(HostAssimpProperties, JsonValuesStayWithinBounds) {
  test::LogCapture log;
  nlohmann::json deep = "leaf";
  for (int i = 0; i < 40; ++i) deep = nlohmann::json{{"d", deep}};
  std::optional<PropertyValue> value = PropertyValueFromJson(deep, "node Deep", "extras");
  ASSERT_TRUE(value);
  int depth = 1;
  const PropertyValue* at = &*value;
  while (at->Type == PropertyValue::Kind::Object) at = &at->Members[0].Value, ++depth;
  EXPECT_EQ(depth, kMaxPropertyDepth + 1);
  EXPECT_EQ(at->Type, PropertyValue::Kind::Text);
  EXPECT_EQ(nlohmann::json::parse(at->Text)["d"]["d"].is_object(), true);
  EXPECT_TRUE(log.Contains("node Deep")) << log.All();

  // A cut never splits a character; huge integers become reals; null is left out.
  std::string text(kMaxPropertyText - 1, 'a');
  text += "\xC3\xA9";
  EXPECT_EQ(BoundedPropertyText(text, "x", "y").size(), kMaxPropertyText - 1);
  EXPECT_EQ(BoundedPropertyText("short", "x", "y"), "short");
  EXPECT_EQ(PropertyValueFromJson(nlohmann::json(uint64_t(1) << 63), "x", "y")->Type,
            PropertyValue::Kind::Real);
  EXPECT_FALSE(PropertyValueFromJson(nlohmann::json(nullptr), "x", "y"));
}

}  // namespace
}  // namespace ketrel::host
