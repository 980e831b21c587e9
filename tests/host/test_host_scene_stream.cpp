// The binary scene stream between the importer's child and its parent: every
// field comes back, and damaged streams are refused without harm.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "export/host/host_assimp_import.h"
#include "export/host/host_import_process.h"
#include "export/host/host_scene_document.h"
#include "export/host/host_scene_stream.h"

namespace ketrel::host {
namespace {

ValueTrack Keys(int32_t dimension, float base) {
  ValueTrack track;
  track.Dimension = dimension;
  track.Mode = Interpolation::Smooth;
  track.Value.assign(size_t(dimension), base);
  for (int32_t k = 0; k < 3; ++k) {
    track.KeyTicks.push_back(k * 160);
    for (int32_t d = 0; d < dimension; ++d) track.KeyValues.push_back(base + float(k + d));
  }
  return track;
}

TriMesh Triangle(float z) {
  TriMesh mesh;
  mesh.Vertices = {0, 0, z, 1, 0, z, 0, 1, z};
  mesh.Faces = {0, 1, 2};
  mesh.SmoothingGroups = {5};
  mesh.MaterialIds = {1};
  mesh.Normals = {0, 0, 1};
  mesh.NormalFaces = {0, 0, 0};
  mesh.Maps.push_back({-1, {0.5f, 0.5f, 0.5f}, {0, 0, 0}});
  mesh.Maps.push_back({2, {0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 1, 2}});
  mesh.TangentChannel = 2;
  mesh.Tangents = {1, 0, 0};
  mesh.Binormals = {0, 1, 0};
  mesh.TangentFaces = {0, 0, 0};
  return mesh;
}

PropertyValue Value(PropertyValue::Kind kind, int64_t whole = 0, double real = 0) {
  PropertyValue value;
  value.Type = kind;
  value.Int = whole;
  value.Real = real;
  return value;
}

// A scene with every field away from its default.
void BuildRichScene(Scene& scene) {
  scene.Takes = {{"Walk", 0, 4800, 0}, {"Run", 9600, 12000, 24}};
  scene.HasRestTime = true;
  scene.RestTime = -4800;
  scene.AnimationStart = -160;
  scene.AnimationEnd = 4800;
  scene.FrameRate = 60;
  scene.SystemUnit = 0.0254;
  scene.UnitFromSource = false;
  scene.FileName = "rich.kscene";
  scene.FilePath = "/scenes/rich.kscene";
  scene.NeedsSave = true;
  scene.Root->Settings[{7, -1}] = {1, 2, 3};

  Material* bitmap = scene.AddMaterial("skin.png");
  bitmap->SuperClass = kTextureMapSuperClass;
  bitmap->Class = kBitmapTextureClass;
  bitmap->FileName = "*0";
  bitmap->ResolvedFileName = "/textures/skin.png";
  bitmap->EmbeddedImage = {0x89, 'P', 'N', 'G'};
  Material* standard = scene.AddMaterial("Skin");
  standard->TwoSided = true;
  standard->Diffuse[1] = 0.25f;
  standard->Maps.push_back({"Diffuse", bitmap});
  standard->Parameters.push_back({"Glossiness", Keys(1, 10)});
  standard->Settings[{3, 0}] = {9};
  Material* multi = scene.AddMaterial("Body materials");
  multi->Class = kMultiMaterialClass;
  multi->SubMaterials = {standard, nullptr, standard};

  Node* hips = scene.AddNode("Hips");
  Node* body = scene.AddNode("Body", hips);
  Node* light = scene.AddNode("Light");
  Node* target = scene.AddNode("Light.Target", light);
  hips->Selected = true;
  hips->HasObject = true;
  hips->Object = {kHelperSuperClass, {0x9125, 0}, {0x9125, 1}, {0x10000, 0x20}, "Dummy"};
  hips->Transform.Class = {0x2005, 7};
  hips->Transform.Position = Keys(3, 1);
  hips->Transform.Rotation.Mode = Interpolation::Step;
  hips->Transform.Rotation.Value = Quaternion{0, 0, 0.6f, 0.8f};
  hips->Transform.Rotation.KeyTicks = {0, 480};
  hips->Transform.Rotation.KeyValues = {Quaternion{}, Quaternion{0.6f, 0, 0, 0.8f}};
  hips->Transform.Scale = Keys(3, 2);
  hips->HasVisibility = true;
  hips->Visibility = Keys(1, 0);
  hips->NoteTracks = {{{0, "step"}, {320, "land"}}, {}, {{16, "x"}}};
  hips->UserProperties = "exportAs=root";
  hips->Parameters.push_back({"Length", Keys(2, 4)});
  hips->Settings[{1, 2}] = {4, 5};
  light->LookAt = target;
  target->LookedAtBy = light;
  light->ProjectorMap = bitmap;
  light->ObjectOffset.m[3][2] = 7;

  body->HasObject = true;
  body->HasMesh = true;
  body->Mesh = Triangle(0);
  body->NodeMaterial = multi;
  body->SkinBones = {hips, light};
  HostMatrix bind;
  bind.m[3][0] = 3;
  body->BindMatrices = {bind, HostMatrix()};
  body->MeshBindMatrix.m[0][1] = 0.5f;
  body->SkinWeights = {{{0, 0.75f}, {1, 0.25f}}, {}, {{1, 1.5f}}};
  body->HasMorpher = true;
  MorphChannel smile;
  smile.Name = "Smile";
  smile.Active = false;
  smile.Target = Triangle(1);
  smile.Weight = Keys(1, 50);
  body->MorphChannels.push_back(smile);

  // Host properties: owners shared between nodes, a custom attribute held
  // by two owners, values of every kind.
  auto attribute = std::make_shared<PropertyOwner>();
  attribute->Name = "extras";
  PropertyValue list = Value(PropertyValue::Kind::List);
  list.Items = {Value(PropertyValue::Kind::Real, 0, 2.5), Value(PropertyValue::Kind::Text)};
  list.Items[1].Type = PropertyValue::Kind::Text;
  list.Items[1].Text = "x";
  PropertyValue object = Value(PropertyValue::Kind::Object);
  object.Members = {{"inner", 0, list}};
  PropertyValue date = Value(PropertyValue::Kind::Date);
  date.Date[0] = 2026;
  date.Date[5] = 59;
  PropertyValue reals = Value(PropertyValue::Kind::Reals);
  reals.Reals = {1, 2, 3};
  attribute->Parameters = {{"count", 0, Value(PropertyValue::Kind::Int, -7)},
                           {"on", 0, Value(PropertyValue::Kind::Bool, 1)},
                           {"nested", 0, object},
                           {"when", 0, date},
                           {"where", 0, reals}};
  auto own = std::make_shared<PropertyOwner>();
  own->CustomAttributes = {attribute};
  auto shared = std::make_shared<PropertyOwner>();
  shared->CustomAttributes = {attribute};
  hips->Animatables = {own, shared};
  body->Animatables = {std::make_shared<PropertyOwner>(), shared};
  hips->InstanceGroup = body->InstanceGroup = 3;
  hips->Flags.Hide = true;
  hips->Flags.Renderable = false;
  hips->Flags.GBufferObjId = 9;
  hips->Flags.MotionBlurMultiplier = 0.5f;
  standard->Animatables = {own};
  standard->Colors.Ambient[2] = 0.125f;
  standard->Colors.Transparency = 0.75f;
  standard->Colors.SelfIlluminationColorOn = true;
  bitmap->Coordinates.Channel = 3;
  bitmap->Coordinates.Transform[9] = 0.5f;
  bitmap->Coordinates.TilingFlags = 5;
  bitmap->Coordinates.HideMapBack = true;
  scene.DocumentProperties = {{"SummaryInfo", {{"Author", 4, list.Items[1]}}},
                              {"UserDefined", {{"Created", 2, date}}}};
  scene.SelectionSets = {{"Upper", {"Hips", "Body"}}};
  scene.Layers = {{"0", {"Light"}}, {"Lights", {}}};
}

TEST(HostSceneStream, EveryFieldComesBack) {
  Scene scene;
  BuildRichScene(scene);
  std::string stream = WriteSceneStream(scene);
  Scene back;
  std::string error;
  ASSERT_TRUE(ReadSceneStream(stream, back, error)) << error;
  // Written again it is the same stream, and the scene document (which
  // names every field it knows) is the same text.
  EXPECT_EQ(WriteSceneStream(back), stream);
  EXPECT_EQ(SceneDocumentText(back), SceneDocumentText(scene));

  // References point into the new scene, in the same places.
  ASSERT_EQ(back.Nodes.size(), 4u);
  const Node* body = back.FindNode("Body");
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->Parent, back.FindNode("Hips"));
  EXPECT_EQ(body->SkinBones[1], back.FindNode("Light"));
  EXPECT_EQ(back.FindNode("Light")->LookAt, back.FindNode("Light.Target"));
  EXPECT_EQ(back.FindNode("Hips")->Parent, back.Root.get());
  EXPECT_EQ(back.Root->Children.size(), 2u);
  const Material* multi = body->NodeMaterial;
  ASSERT_EQ(multi->SubMaterials.size(), 3u);
  EXPECT_EQ(multi->SubMaterials[1], nullptr);
  EXPECT_EQ(multi->SubMaterials[0], back.Materials[1].get());
  EXPECT_EQ(back.Materials[0]->EmbeddedImage, (std::vector<uint8_t>{0x89, 'P', 'N', 'G'}));
  EXPECT_EQ(back.Materials[0]->ResolvedFileName, "/textures/skin.png");
  EXPECT_EQ(back.Materials[1]->Maps[0].Map, back.Materials[0].get());
  EXPECT_FALSE(body->MorphChannels[0].Active);
  // Shared owners are shared again; the attribute two owners hold is one.
  const Node* hips = back.FindNode("Hips");
  ASSERT_EQ(hips->Animatables.size(), 2u);
  EXPECT_EQ(hips->Animatables[1], body->Animatables[1]);
  EXPECT_EQ(hips->Animatables[0]->CustomAttributes[0], hips->Animatables[1]->CustomAttributes[0]);
  EXPECT_EQ(back.Materials[1]->Animatables[0], hips->Animatables[0]);
  EXPECT_EQ(
      hips->Animatables[0]->CustomAttributes[0]->Parameters[2].Value.Members[0].Value.Items[1].Text,
      "x");
  EXPECT_EQ(back.Layers.size(), 2u);
  for (size_t i = 0; i < back.Nodes.size(); ++i) EXPECT_EQ(back.Nodes[i]->Index, int32_t(i));
}

TEST(HostSceneStream, ImportedFilesComeBackFromTheChildAsImported) {
  const std::string models = "/usr/share/assimp/models/";
  if (!std::filesystem::exists(models)) GTEST_SKIP() << "assimp-testmodels is not installed";
  for (const char* name : {"glTF2/simple_skin/simple_skin.gltf",
                           "glTF2/glTF-Sample-Models/AnimatedMorphCube-glTF/AnimatedMorphCube.gltf",
                           "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb",
                           // A stream of several MiB: the parent reads it in many pieces.
                           "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb",
                           // Host properties: extras, instances, cameras and lights.
                           "@extras/extras.gltf", "FBX/box_orphant_embedded_texture.fbx"}) {
    SCOPED_TRACE(name);
    const std::string path =
        name[0] == '@' ? std::string(KETREL_TEST_DATA) + "/" + (name + 1) : models + name;
    Scene direct, isolated;
    std::string error;
    ASSERT_TRUE(ImportSceneFile(path, ImportOptions(), direct, error)) << error;
    ASSERT_TRUE(ImportSceneIsolated(path, ImportOptions(), isolated, error)) << error;
    EXPECT_TRUE(WriteSceneStream(isolated) == WriteSceneStream(direct));
  }
}

TEST(HostSceneStream, DamagedStreamsAreRefused) {
  Scene scene;
  BuildRichScene(scene);
  std::string stream = WriteSceneStream(scene);
  Scene back;
  back.FileName = "untouched";
  std::string error;
  for (size_t size = 0; size < stream.size(); ++size) {
    error.clear();
    EXPECT_FALSE(ReadSceneStream(stream.substr(0, size), back, error)) << size;
    EXPECT_FALSE(error.empty()) << size;
  }
  EXPECT_EQ(back.FileName, "untouched");
  EXPECT_FALSE(ReadSceneStream(stream + "x", back, error));
  EXPECT_FALSE(ReadSceneStream("KHX2" + stream.substr(4), back, error));
  EXPECT_EQ(error, "not a scene stream");
  // A stream of an older version (without takes) is refused, never misread.
  EXPECT_FALSE(ReadSceneStream("KHS1" + stream.substr(4), back, error));
  EXPECT_EQ(error, "a scene stream of version 1, not 4");

  // Each byte set to 0xFF in turn: counts and indices go wild; the reader
  // must refuse or read something, never crash or overrun (sanitizers
  // watch this).
  for (size_t at = 0; at < stream.size(); ++at) {
    std::string damaged = stream;
    damaged[at] = char(0xFF);
    Scene any;
    ReadSceneStream(damaged, any, error);
  }

  // Values nested past the reader's bound, and attributes that hold each
  // other (the writer lists each attribute before its holders; a damaged
  // table could point forward) are refused.
  Scene deep;
  PropertyValue value = Value(PropertyValue::Kind::Int, 1);
  for (int i = 0; i < 100; ++i) {
    PropertyValue outer = Value(PropertyValue::Kind::List);
    outer.Items.push_back(value);
    value = outer;
  }
  deep.DocumentProperties = {{"UserDefined", {{"deep", 2, value}}}};
  EXPECT_FALSE(ReadSceneStream(WriteSceneStream(deep), back, error));
  EXPECT_NE(error.find("nested"), std::string::npos) << error;
  Scene owners;
  auto inner = std::make_shared<PropertyOwner>();
  auto outer = std::make_shared<PropertyOwner>();
  outer->CustomAttributes = {inner};
  owners.AddNode("N")->Animatables = {outer};
  std::string table = WriteSceneStream(owners);
  // The outer owner (no name, no parameters, one attribute: owner 0) is
  // made to hold itself.
  const std::string outerEntry = std::string(16, '\0') + '\x01' + std::string(11, '\0');
  const size_t at = table.find(outerEntry);
  ASSERT_NE(at, std::string::npos);
  table[at + 24] = 1;
  EXPECT_FALSE(ReadSceneStream(table, back, error));
  EXPECT_NE(error.find("custom attribute"), std::string::npos) << error;

  // Nodes that are each other's parents would make transforms loop forever.
  Scene cycle;
  Node* a = cycle.AddNode("A");
  Node* b = cycle.AddNode("B", a);
  cycle.Root->Children.clear();
  a->Parent = b;
  b->Children.push_back(a);
  EXPECT_FALSE(ReadSceneStream(WriteSceneStream(cycle), back, error));
  EXPECT_NE(error.find("cycle"), std::string::npos) << error;
}

}  // namespace
}  // namespace ketrel::host
