#include "export/host/host_scene_document.h"

#include "export/host/host_base64.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/log_capture.h"

namespace ketrel::host {
namespace {

const std::string kFigure = std::string(KETREL_SOURCE_DIR) + "/examples/figure.kscene";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Parses `text` into a scene that already holds one node; on failure the
// scene must be unchanged. Returns the error message ("" on success).
std::string ParseError(const std::string& text) {
  Scene scene;
  scene.AddNode("Keep");
  std::string error;
  test::LogCapture log;
  bool ok = ParseSceneDocument(text, "", scene, &error);
  if (ok) return "";
  EXPECT_EQ(scene.Nodes.size(), 1u);
  EXPECT_EQ(scene.Nodes[0]->Name, "Keep");
  // Reported once: to the caller who asked for the message, else to the log.
  EXPECT_FALSE(log.Contains(error));
  EXPECT_FALSE(ParseSceneDocument(text, "", scene));
  EXPECT_TRUE(log.Contains(error));
  return error.empty() ? "(empty message)" : error;
}

std::string Doc(const std::string& body) {
  return R"({"format": "kscene", "version": 1, )" + body + "}";
}

TEST(SceneDocument, LoadsTheExampleFigure) {
  Scene scene;
  std::string error;
  ASSERT_TRUE(LoadSceneDocument(kFigure, scene, &error)) << error;
  EXPECT_EQ(scene.FileName, "figure.kscene");
  ASSERT_EQ(scene.Nodes.size(), 10u);
  EXPECT_EQ(scene.FrameRate, 30);
  EXPECT_EQ(scene.TicksPerFrame(), 160);
  EXPECT_EQ(scene.AnimationEnd, 4800);
  const Node* body = scene.FindNode("Body");
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->Parent, scene.Root.get());
  EXPECT_EQ(body->SkinBones.size(), 5u);
  EXPECT_TRUE(body->HasMesh);
  EXPECT_EQ(body->SkinWeights.size(), size_t(body->Mesh.VertexCount()));
  const Node* face = scene.FindNode("Face");
  ASSERT_NE(face, nullptr);
  EXPECT_EQ(face->MorphChannels.size(), 2u);
  ASSERT_NE(body->NodeMaterial, nullptr);
  const Material* bitmap = body->NodeMaterial->Maps.at(0).Map;
  ASSERT_NE(bitmap, nullptr);
  EXPECT_TRUE(bitmap->IsBitmap());
  EXPECT_TRUE(std::filesystem::exists(bitmap->ResolvedFileName)) << bitmap->ResolvedFileName;
  const Node* hips = scene.FindNode("Hips");
  ASSERT_EQ(hips->NoteTracks.size(), 1u);
  EXPECT_EQ(hips->NoteTracks[0][1].Text, "step_right");
  EXPECT_EQ(scene.FindNode("Spine")->Parent, hips);
  EXPECT_EQ(hips->Children.size(), 1u);
}

TEST(SceneDocument, SaveAndLoadRoundTripsEverything) {
  Scene scene;
  ASSERT_TRUE(LoadSceneDocument(kFigure, scene));
  scene.Nodes[2]->Settings[{1, -1}] = {0xEE, 0xEE, 0x5E, 0xCA, 0, 1};
  scene.Root->Settings[{6, -1}] = {};
  scene.Materials[0]->Settings[{3, -1}] = {1, 2, 3, 4, 5};
  scene.Nodes[3]->Selected = true;
  scene.NeedsSave = true;
  scene.UnitFromSource = false;  // a capture's: its metre only assumed
  scene.Takes = {{"Walk", 0, 2400, 0}, {"Run", 4800, 6000, 24}};
  scene.HasRestTime = true;
  scene.RestTime = -4800;
  // Values JSON cannot hold as plain numbers.
  PropertyOwner& data = *scene.Nodes[0]->Animatables[0]->CustomAttributes[0];
  PropertyValue nan, date, reals;
  nan.Type = PropertyValue::Kind::Real;
  nan.Real = -std::numeric_limits<double>::infinity();
  date.Type = PropertyValue::Kind::Date;
  date.Date[0] = 2026;
  reals.Type = PropertyValue::Kind::Reals;
  reals.Reals = {0.1f, 0.2f};
  data.Parameters.push_back({"far", 0, nan});
  data.Parameters.push_back({"when", 0, date});
  data.Parameters.push_back({"where", 0, reals});
  std::string path = std::string(KETREL_BINARY_DIR) + "/roundtrip.kscene";
  std::string error;
  ASSERT_TRUE(SaveSceneDocument(scene, path, &error)) << error;
  EXPECT_FALSE(scene.NeedsSave);
  Scene again;
  ASSERT_TRUE(LoadSceneDocument(path, again, &error)) << error;
  // Saving the loaded copy gives the same text: nothing was lost or changed.
  EXPECT_EQ(SceneDocumentText(again), SceneDocumentText(scene));
  EXPECT_EQ(again.Nodes[2]->Settings.at({1, -1}), scene.Nodes[2]->Settings.at({1, -1}));
  EXPECT_TRUE(again.Root->Settings.count({6, -1}));
  EXPECT_TRUE(again.Nodes[3]->Selected);
  EXPECT_FALSE(again.UnitFromSource);
  ASSERT_EQ(again.Takes.size(), 2u);
  EXPECT_EQ(again.Takes[1].Name, "Run");
  EXPECT_EQ(again.Takes[1].FrameRate, 24);
  EXPECT_EQ(again.RestTick(), -4800);
  // One custom attribute shared by the Figure and the Body stays one.
  const auto& shared = again.Nodes[0]->Animatables[0]->CustomAttributes[0];
  EXPECT_EQ(shared, again.Nodes[8]->Animatables[0]->CustomAttributes[0]);
  EXPECT_TRUE(std::isinf(shared->Parameters[4].Value.Real));
  for (int tick : {0, 700, 2400, 4100}) {
    HostMatrix a = scene.NodeTransform(scene.Nodes[7].get(), tick);
    HostMatrix b = again.NodeTransform(again.Nodes[7].get(), tick);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_FLOAT_EQ(a.m[i][j], b.m[i][j]);
  }
  std::filesystem::remove(path);
}

// Unit quaternions from an importer travel bit for bit: a document that is
// loaded and saved again must not drift by an ulp each time.
TEST(SceneDocument, UnitRotationsKeepTheirBits) {
  Scene scene;
  Node* node = scene.AddNode("spinner");
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return float(seed >> 8) / float(1u << 24) * 2.0f - 1.0f;
  };
  for (int32_t k = 0; k < 200; ++k) {
    node->Transform.Rotation.KeyTicks.push_back(k * 160);
    node->Transform.Rotation.KeyValues.push_back(Normalize({next(), next(), next(), next()}));
  }
  std::string error;
  Scene again;
  ASSERT_TRUE(ParseSceneDocument(SceneDocumentText(scene), "", again, &error)) << error;
  const RotationTrack& a = scene.Nodes[0]->Transform.Rotation;
  const RotationTrack& b = again.Nodes[0]->Transform.Rotation;
  ASSERT_EQ(a.KeyValues.size(), b.KeyValues.size());
  for (size_t k = 0; k < a.KeyValues.size(); ++k) {
    EXPECT_EQ(std::memcmp(&a.KeyValues[k], &b.KeyValues[k], sizeof(Quaternion)), 0) << k;
  }
  // Quaternions written by hand at any length are still normalised.
  ASSERT_TRUE(ParseSceneDocument(
      Doc(R"("nodes": [{"name": "a", "rotation": {"value": [0, 0, 2, 0]}}])"), "", again, &error))
      << error;
  EXPECT_FLOAT_EQ(again.Nodes[0]->Transform.Rotation.Value.z, 1.0f);
}

// A .glb's textures live inside the file; an imported document keeps them.
TEST(SceneDocument, EmbeddedImagesTravelAndBadOnesAreRefused) {
  Scene scene;
  Material* bitmap = scene.AddMaterial("packed");
  bitmap->SuperClass = kTextureMapSuperClass;
  bitmap->Class = kBitmapTextureClass;
  bitmap->EmbeddedImage = {0x89, 'P', 'N', 'G', 0, 255, 7};
  Scene again;
  std::string error;
  ASSERT_TRUE(ParseSceneDocument(SceneDocumentText(scene), "", again, &error)) << error;
  ASSERT_EQ(again.Materials.size(), 1u);
  EXPECT_EQ(again.Materials[0]->EmbeddedImage, bitmap->EmbeddedImage);

  Scene bad;
  EXPECT_FALSE(ParseSceneDocument(Doc(R"("materials": [{"name": "m", "embeddedImage": "abc"}])"),
                                  "", bad, &error));
  EXPECT_NE(error.find("materials[0] \"m\".embeddedImage"), std::string::npos) << error;
}

TEST(SceneDocument, FailedSaveKeepsTheOldFile) {
  Scene scene;
  scene.AddNode("A");
  std::string directory = std::string(KETREL_BINARY_DIR) + "/no_such_dir/x.kscene";
  test::LogCapture log;
  EXPECT_FALSE(SaveSceneDocument(scene, directory));
  EXPECT_EQ(log.errors(), 1u);
  EXPECT_TRUE(log.Contains("cannot write " + directory + ": folder " + KETREL_BINARY_DIR +
                           "/no_such_dir/ does not exist"))
      << log.All();
  // A target that is a directory cannot be replaced; the directory survives.
  std::string target = std::string(KETREL_BINARY_DIR) + "/scene_dir.kscene";
  std::filesystem::create_directories(target + "/inside");
  scene.NeedsSave = true;
  EXPECT_FALSE(SaveSceneDocument(scene, target));
  EXPECT_TRUE(scene.NeedsSave);
  EXPECT_TRUE(std::filesystem::exists(target + "/inside"));
  // Only this save's own temporary files: other tests save beside it meanwhile.
  for (const auto& entry : std::filesystem::directory_iterator(KETREL_BINARY_DIR))
    EXPECT_NE(entry.path().string().rfind(target + ".tmp.", 0), 0u) << entry.path();
  std::filesystem::remove_all(target);
}

TEST(SceneDocument, Base64RoundTripsEveryPaddingAndRefusesJunk) {
  std::vector<uint8_t> data, back;
  for (int n = 0; n < 7; ++n) {
    std::string text = EncodeBase64(data);
    EXPECT_EQ(text.size() % 4, 0u);
    ASSERT_TRUE(DecodeBase64(text, back)) << text;
    EXPECT_EQ(back, data);
    data.push_back(uint8_t(0xF0 + n * 3));
  }
  EXPECT_EQ(EncodeBase64({'M', 'a'}), "TWE=");
  for (const char* bad : {"TWE", "T=E=", "TW==TWE=", "TWE*", "=AAA"})
    EXPECT_FALSE(DecodeBase64(bad, back)) << bad;
}

TEST(SceneDocument, RefusesBadDocumentsNamingThePlace) {
  EXPECT_NE(ParseError("{"), "");
  EXPECT_NE(ParseError("[]").find("expected an object"), std::string::npos);
  EXPECT_NE(ParseError(R"({"version": 1})").find("missing field \"format\""), std::string::npos);
  EXPECT_NE(ParseError(R"({"format": "gltf", "version": 1})").find("format:"), std::string::npos);
  EXPECT_NE(ParseError(R"({"format": "kscene", "version": 2})").find("version"), std::string::npos);
  const std::string nodes5 = R"({"name": "a"}, {"name": "b"}, {"name": "c"}, {"name": "d"})";
  EXPECT_EQ(ParseError(Doc(R"("nodes": [)" + nodes5 + R"(, {"name": "e", "parent": 9}])")),
            "nodes[4] \"e\".parent: index 9 out of range 0..4");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "parent": 1}, {"name": "b", "parent": 0}])")),
            "nodes[0] \"a\".parent: parent cycle through nodes[0] \"a\"");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "parent": 0}])")),
            "nodes[0] \"a\".parent: parent cycle through nodes[0] \"a\"");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"parent": -1}])")), "nodes[0]: missing field \"name\"");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": 3}])")), "nodes[0].name: expected a string");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "skin": {"bones": [0, 1]}}])")),
            "nodes[0] \"a\".skin.bones[1]: index 1 out of range 0..0");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "material": 0}])")),
            "nodes[0] \"a\".material: index 0 but there are none");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "position": {"keys": [
                {"tick": 5, "value": [0, 0, 0]}, {"tick": 5, "value": [1, 0, 0]}]}}])")),
            "nodes[0] \"a\".position.keys[1].tick: 5 not after the previous key 5");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "rotation": [0, 0, 0, 0]}])")),
            "nodes[0] \"a\".rotation: quaternion of zero length");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "object": {"type": "teapot"}}])")),
            "nodes[0] \"a\".object.type: unknown object type \"teapot\"");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "settings": [{"kind": 1, "index": -1,
                "data": "AB$="}]}])")),
            "nodes[0] \"a\".settings[0].data: invalid base64");
  EXPECT_EQ(ParseError(Doc(R"("scene": {"frameRate": 7})")),
            "scene.frameRate: 7 does not divide 4800 ticks per second");
  EXPECT_EQ(ParseError(Doc(R"("scene": {"takes": [{"name": "a", "start": 90, "end": 10}]})")),
            "scene.takes[0] \"a\".end: before start");
  EXPECT_EQ(ParseError(Doc(R"("scene": {"takes": [{"name": "a", "start": 0, "end": 10,
                "frameRate": 7}]})")),
            "scene.takes[0] \"a\".frameRate: 7 does not divide 4800 ticks per second");
  EXPECT_EQ(ParseError(Doc(R"("scene": {"frameRate": 0})")),
            "scene.frameRate: value 0 out of range 1..4800");
  EXPECT_EQ(ParseError(Doc(R"("materials": [{"name": "m", "subMaterials": [0]}])")),
            "materials[0] \"m\": reference cycle through materials[0] \"m\"");
  EXPECT_EQ(ParseError(Doc(R"("materials": [{"name": "m", "maps": [{"slot": "Diffuse",
                "map": 1}]}, {"name": "n", "type": "multi", "subMaterials": [0]}])")),
            "materials[1] \"n\": reference cycle through materials[0] \"m\"");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "animatables": [0]}])")),
            "nodes[0] \"a\".animatables[0]: index 0 but there are none");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "flags": {"Freze": true}}])")),
            "nodes[0] \"a\".flags.Freze: unknown flag; did you mean \"Freeze\"?");
  EXPECT_EQ(ParseError(Doc(R"("propertyOwners": [{"properties": [{"name": "d",
                "value": {"$date": [2026, 1]}}]}])")),
            "propertyOwners[0].properties[0] \"d\".value.$date: expected 6 whole numbers");
  // Shared owners are held by counted references: a cycle would never be freed.
  EXPECT_EQ(ParseError(Doc(R"("propertyOwners": [{"name": "a", "customAttributes": [1]},
                {"name": "b", "customAttributes": [0]}])")),
            "propertyOwners[1] \"b\".customAttributes: custom attribute cycle through "
            "propertyOwners[0] \"a\"");
  EXPECT_EQ(ParseError(Doc(R"("documentProperties": [{"name": "Summary"}])")),
            "documentProperties[0] \"Summary\".name: \"Summary\" is not SummaryInfo, "
            "DocumentContents or UserDefined");
  std::string deep = "1";
  for (int i = 0; i < 40; ++i) deep = "[" + deep + "]";
  EXPECT_NE(ParseError(Doc(R"("propertyOwners": [{"properties": [{"name": "x", "value": )" + deep +
                           "}]}]"))
                .find("values nest deeper than 32"),
            std::string::npos);
}

TEST(SceneDocument, TruncatedAndCorruptedFiguresNeverLoadHalfway) {
  std::string text = ReadFile(kFigure);
  ASSERT_FALSE(text.empty());
  test::LogCapture log;
  // Every cut of the document is refused (the text only closes at its end).
  size_t end = text.find_last_of('}');
  for (size_t length = 0; length < end; length += 7) {
    Scene scene;
    ASSERT_FALSE(ParseSceneDocument(text.substr(0, length), "", scene)) << length;
    EXPECT_TRUE(scene.Nodes.empty());
  }
  // Corrupt single bytes: either a clean refusal or a consistent scene.
  for (size_t at = 0; at < text.size(); at += 11) {
    for (char c : {'9', '"', '-'}) {
      std::string bad = text;
      bad[at] = c;
      Scene scene;
      if (ParseSceneDocument(bad, "", scene)) {
        for (const auto& node : scene.Nodes) ASSERT_NE(node->Parent, nullptr);
      }
    }
  }
  // Deep nesting is refused without exhausting the stack.
  Scene scene;
  EXPECT_FALSE(ParseSceneDocument(std::string(100000, '['), "", scene));
  EXPECT_FALSE(ParseSceneDocument(
      Doc(R"("nodes": [)" + std::string(50000, '[') + std::string(50000, ']') + "]"), "", scene));
  Scene missing;
  std::string error;
  EXPECT_FALSE(
      LoadSceneDocument(std::string(KETREL_BINARY_DIR) + "/missing.kscene", missing, &error));
  EXPECT_NE(error.find("no such scene document"), std::string::npos);
  EXPECT_FALSE(LoadSceneDocument(KETREL_BINARY_DIR, missing));  // a directory
}

// Floats that a decimal round trip easily gets wrong.
const float kAwkward[] = {0.1f,     -0.0f,     1.0f / 3.0f, 16777217.0f, 3.4028235e38f,
                          1.4e-45f, -2.5e-39f, 123456.789f, 1e-7f};

TriMesh AwkwardMesh(int seed) {
  TriMesh mesh;
  for (int i = 0; i < 15; ++i)
    mesh.Vertices.push_back(kAwkward[(i + seed) % 9] * (i % 2 ? -1.0f : 1.0f));
  mesh.Faces = {0, 1, 2, 2, 3, 4, 4, 0, 1};
  return mesh;
}

// A node with every part of a mesh, a skin and a morpher.
void AddFullMeshNode(Scene& scene) {
  Node* bone = scene.AddNode("Bone");
  Node* other = scene.AddNode("Other");
  Node* n = scene.AddNode("Mesh");
  n->HasObject = true;
  n->HasMesh = true;
  n->Mesh = AwkwardMesh(0);
  TriMesh& mesh = n->Mesh;
  mesh.SmoothingGroups = {1, 0x80000000u, 0};
  mesh.MaterialIds = {0, 7, 65535};
  mesh.Normals = {0, 0, 1, 0.1f, -0.0f, 0.7f};
  mesh.NormalFaces = {0, 1, 1, 1, 0, 0};  // two faces: stale explicit normals
  mesh.Maps.push_back({-2, {0.5f, 0.25f, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0}});
  mesh.Maps.push_back({3, {0.1f, 0.2f, 0.3f, 1, 1, 1e-7f}, {0, 1, 0, 1, 1, 0, 0, 0, 1}});
  mesh.TangentChannel = 3;
  mesh.Tangents = {1, 0, 0, 0.1f, 0.2f, 0.3f};
  mesh.Binormals = {0, 1, 0, 0.3f, 0.2f, 0.1f};
  mesh.TangentFaces = {0, 0, 0, 1, 1, 1, 0, 1, 0};
  n->SkinBones = {bone, other};
  n->SkinWeights = {{{0, 0.1f}, {1, 1.0f / 3.0f}}, {}, {{1, 2.5f}}, {{0, -0.0f}}, {{0, 1}}};
  n->BindMatrices.resize(2);
  n->BindMatrices[1].m[3][0] = 0.1f;
  n->MeshBindMatrix.m[0][1] = 1.0f / 3.0f;
  n->HasMorpher = true;
  MorphChannel smile;
  smile.Name = "Smile";
  smile.Target = AwkwardMesh(4);
  smile.Weight.KeyTicks = {0, 480};
  smile.Weight.KeyValues = {0, 100};
  MorphChannel off;
  off.Name = "Off";
  off.Active = false;
  off.Target = AwkwardMesh(2);
  off.Target.Vertices.resize(6);  // fewer vertices than the base: still loads
  off.Target.Faces = {0, 1, 1};
  n->MorphChannels = {smile, off};
}

template <typename T>
bool SameBits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

void ExpectSameMesh(const TriMesh& a, const TriMesh& b) {
  EXPECT_TRUE(SameBits(a.Vertices, b.Vertices));
  EXPECT_EQ(a.Faces, b.Faces);
  EXPECT_EQ(a.SmoothingGroups, b.SmoothingGroups);
  EXPECT_EQ(a.MaterialIds, b.MaterialIds);
  EXPECT_TRUE(SameBits(a.Normals, b.Normals));
  EXPECT_EQ(a.NormalFaces, b.NormalFaces);
  ASSERT_EQ(a.Maps.size(), b.Maps.size());
  for (size_t i = 0; i < a.Maps.size(); ++i) {
    EXPECT_EQ(a.Maps[i].Channel, b.Maps[i].Channel);
    EXPECT_TRUE(SameBits(a.Maps[i].Vertices, b.Maps[i].Vertices));
    EXPECT_EQ(a.Maps[i].Faces, b.Maps[i].Faces);
  }
  EXPECT_EQ(a.TangentChannel, b.TangentChannel);
  EXPECT_TRUE(SameBits(a.Tangents, b.Tangents));
  EXPECT_TRUE(SameBits(a.Binormals, b.Binormals));
  EXPECT_EQ(a.TangentFaces, b.TangentFaces);
}

TEST(SceneDocument, MeshSkinAndMorpherRoundTripBitExact) {
  Scene scene;
  AddFullMeshNode(scene);
  std::string text = SceneDocumentText(scene);
  EXPECT_NE(text.find("0.1,"), std::string::npos) << "floats are written in their short form";
  Scene again;
  std::string error;
  ASSERT_TRUE(ParseSceneDocument(text, "", again, &error)) << error;
  EXPECT_EQ(SceneDocumentText(again), text);
  const Node& a = *scene.Nodes[2];
  const Node& b = *again.Nodes[2];
  ASSERT_TRUE(b.HasMesh);
  EXPECT_FALSE(again.Nodes[0]->HasMesh);
  ExpectSameMesh(a.Mesh, b.Mesh);
  ASSERT_EQ(b.SkinBones.size(), 2u);
  EXPECT_EQ(b.SkinBones[1], again.Nodes[1].get());
  ASSERT_EQ(b.SkinWeights.size(), a.SkinWeights.size());
  for (size_t v = 0; v < a.SkinWeights.size(); ++v) {
    ASSERT_EQ(b.SkinWeights[v].size(), a.SkinWeights[v].size());
    for (size_t k = 0; k < a.SkinWeights[v].size(); ++k) {
      EXPECT_EQ(b.SkinWeights[v][k].Bone, a.SkinWeights[v][k].Bone);
      EXPECT_EQ(std::memcmp(&b.SkinWeights[v][k].Weight, &a.SkinWeights[v][k].Weight, 4), 0);
    }
  }
  ASSERT_EQ(b.BindMatrices.size(), 2u);
  EXPECT_EQ(std::memcmp(&b.BindMatrices[1], &a.BindMatrices[1], sizeof(HostMatrix)), 0);
  EXPECT_EQ(std::memcmp(&b.MeshBindMatrix, &a.MeshBindMatrix, sizeof(HostMatrix)), 0);
  EXPECT_TRUE(b.HasMorpher);
  ASSERT_EQ(b.MorphChannels.size(), 2u);
  for (size_t c = 0; c < 2; ++c) {
    EXPECT_EQ(b.MorphChannels[c].Name, a.MorphChannels[c].Name);
    EXPECT_EQ(b.MorphChannels[c].Active, a.MorphChannels[c].Active);
    ExpectSameMesh(a.MorphChannels[c].Target, b.MorphChannels[c].Target);
  }
  float weight = 0;
  b.MorphChannels[0].Weight.Evaluate(240, &weight);
  EXPECT_FLOAT_EQ(weight, 50.0f);
  b.MorphChannels[1].Weight.Evaluate(240, &weight);
  EXPECT_EQ(weight, 0.0f);
}

// What the loader promises of any mesh it accepts: every index in range.
bool MeshIndicesInRange(const TriMesh& mesh) {
  auto within = [](const std::vector<int32_t>& indices, size_t count) {
    for (int32_t i : indices)
      if (i < 0 || size_t(i) >= count) return false;
    return true;
  };
  bool ok = mesh.Vertices.size() % 3 == 0 && within(mesh.Faces, mesh.Vertices.size() / 3) &&
            within(mesh.NormalFaces, mesh.Normals.size() / 3) &&
            within(mesh.TangentFaces, mesh.Tangents.size() / 3);
  for (const MapChannel& map : mesh.Maps)
    ok = ok && map.Faces.size() == mesh.Faces.size() && within(map.Faces, map.Vertices.size() / 3);
  return ok;
}

TEST(SceneDocument, CutOrCorruptedMeshDocumentsNeverLoadHalfway) {
  Scene scene;
  AddFullMeshNode(scene);
  std::string text = SceneDocumentText(scene);
  test::LogCapture log;
  size_t end = text.find_last_of('}');
  for (size_t length = 0; length < end; length += 23) {
    Scene cut;
    ASSERT_FALSE(ParseSceneDocument(text.substr(0, length), "", cut)) << length;
    EXPECT_TRUE(cut.Nodes.empty());
  }
  size_t loaded = 0;
  for (size_t at = 0; at < text.size(); at += 11) {
    for (char c : {'9', '-', ']'}) {
      std::string bad = text;
      bad[at] = c;
      Scene corrupted;
      if (!ParseSceneDocument(bad, "", corrupted)) continue;
      ++loaded;
      for (const auto& node : corrupted.Nodes) {
        ASSERT_TRUE(MeshIndicesInRange(node->Mesh)) << at << " " << c;
        for (const MorphChannel& channel : node->MorphChannels)
          ASSERT_TRUE(MeshIndicesInRange(channel.Target)) << at << " " << c;
        ASSERT_TRUE(node->SkinWeights.empty() ||
                    node->SkinWeights.size() == size_t(node->Mesh.VertexCount()));
        for (const auto& influences : node->SkinWeights)
          for (const SkinInfluence& influence : influences)
            ASSERT_LT(size_t(influence.Bone), node->SkinBones.size());
      }
    }
  }
  EXPECT_GT(loaded, 0u);  // some corruptions are harmless numbers
}

TEST(SceneDocument, NumbersBeyondADoubleAndNamesBeyondUtf8NeverThrow) {
  // The JSON reader reports an overflowing number differently from a syntax
  // error; both are refusals.
  EXPECT_NE(ParseError(Doc(R"("scene": {"systemUnit": 1e999})")).find("invalid JSON"),
            std::string::npos);
  // A Latin-1 name (as some scene files carry) is saved with replacement
  // characters rather than failing the save.
  Scene scene;
  scene.AddNode("caf\xE9");
  Scene again;
  ASSERT_TRUE(ParseSceneDocument(SceneDocumentText(scene), "", again));
  EXPECT_EQ(again.Nodes[0]->Name, "caf\xEF\xBF\xBD");
}

TEST(SceneDocument, MeshListsMayComeInAnyChannelOrderAndMorphersImplyThemselves) {
  Scene scene;
  std::string error;
  ASSERT_TRUE(ParseSceneDocument(Doc(R"("nodes": [{"name": "a", "mesh": {
      "vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "faces": [[0, 1, 2]],
      "maps": [{"channel": 5, "vertices": [[0, 0, 0]], "faces": [[0, 0, 0]]},
               {"channel": -1, "vertices": [[1, 1, 1]], "faces": [[0, 0, 0]]}]},
      "morphChannels": [{"name": "m", "target": {"vertices": [], "faces": []}}]},
      {"name": "b", "morphChannels": [], "morpher": true},
      {"name": "c", "morphChannels": [{"name": "m", "target": {"vertices": [], "faces": []}}],
       "morpher": false}])"),
                                 "", scene, &error))
      << error;
  const TriMesh& mesh = scene.Nodes[0]->Mesh;
  ASSERT_EQ(mesh.Maps.size(), 2u);
  EXPECT_EQ(mesh.Maps[0].Channel, -1);
  EXPECT_EQ(mesh.FindMap(5), &mesh.Maps[1]);
  EXPECT_TRUE(scene.Nodes[0]->HasMorpher);
  EXPECT_TRUE(scene.Nodes[1]->HasMorpher);
  EXPECT_FALSE(scene.Nodes[2]->HasMorpher);
  EXPECT_EQ(scene.Nodes[0]->MorphChannels[0].Weight.Value, std::vector<float>{0.0f});
}

// A mistyped key would be skipped and change the export in silence: every
// object kind refuses keys it does not have, naming the place and the
// nearest key it does have (and an object type, the nearest type).
TEST(SceneDocument, RefusesUnknownKeysNamingThePlace) {
  const struct {
    std::string document;
    const char* error;
  } cases[] = {
      {Doc(R"("nodse": [])"), "nodse: unknown key; did you mean \"nodes\"?"},
      {Doc(R"("scene": {"frameRat": 30})"),
       "scene.frameRat: unknown key; did you mean \"frameRate\"?"},
      {Doc(R"("scene": {"takes": [{"name": "Walk", "start": 0, "end": 9, "ned": 3}]})"),
       "scene.takes[0] \"Walk\".ned: unknown key; did you mean \"end\"?"},
      {Doc(R"("nodes": [{"name": "Root"}, {"name": "Hips", "positon": [0, 0, 1]}])"),
       "nodes[1] \"Hips\".positon: unknown key; did you mean \"position\"?"},
      {Doc(R"("nodes": [{"name": "Hips", "rotation": {"keys": [{"tick": 0, "valeu": [0, 0, 0, 1]}]}}])"),
       "nodes[0] \"Hips\".rotation.keys[0].valeu: unknown key; did you mean \"value\"?"},
      {Doc(R"("nodes": [{"name": "Hips", "scale": {"Value": [1, 1, 1]}}])"),
       "nodes[0] \"Hips\".scale.Value: unknown key; did you mean \"value\"?"},
      {Doc(R"("nodes": [{"name": "Box", "object": {"tpye": "box"}}])"),
       "nodes[0] \"Box\".object.tpye: unknown key; did you mean \"type\"?"},
      {Doc(R"("nodes": [{"name": "Box", "mesh": {"vertices": [], "faces": [], "normal": []}}])"),
       "nodes[0] \"Box\".mesh.normal: unknown key; did you mean \"normals\"?"},
      {Doc(R"("nodes": [{"name": "Box", "settings": [{"kind": 1, "index": 0, "data": "", "x": 1}]}])"),
       "nodes[0] \"Box\".settings[0].x: unknown key (known: kind index data)"},
      {Doc(R"("nodes": [{"name": "Hips", "object": {"type": "bnoe"}}])"),
       "nodes[0] \"Hips\".object.type: unknown object type \"bnoe\"; did you mean \"bone\"?"},
      {Doc(R"("materials": [{"name": "Skin", "difuse": [1, 0, 0]}])"),
       "materials[0] \"Skin\".difuse: unknown key; did you mean \"diffuse\"?"},
      {Doc(R"("materials": [{"name": "Skin", "parameters": [{"name": "Gloss", "vaule": 1}]}])"),
       "materials[0] \"Skin\".parameters[0] \"Gloss\".vaule: unknown key; did you mean \"value\"?"},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseError(c.document), c.error) << c.document;
}

TEST(SceneDocument, RefusesBadMeshesNamingThePlace) {
  auto mesh = [](const std::string& body, const std::string& rest = "") {
    return Doc(R"("nodes": [{"name": "a"}, {"name": "b", "mesh": {)" + body + "}" + rest + "}]");
  };
  const std::string cube = R"("vertices": [[0,0,0],[1,0,0],[1,1,0],[0,1,0],[0,0,1],[1,0,1],
      [1,1,1],[0,1,1]], )";
  const std::string faces = R"("faces": [[0,1,2],[2,3,0]])";
  EXPECT_EQ(ParseError(mesh(cube + R"("faces": [[0,1,2],[0,1,99]])")),
            "nodes[1] \"b\".mesh.faces[1]: vertex 99 out of range 0..7");
  EXPECT_EQ(ParseError(mesh(cube + R"("faces": [[0,1,-1]])")),
            "nodes[1] \"b\".mesh.faces[0]: vertex -1 out of range 0..7");
  EXPECT_EQ(ParseError(mesh(R"("vertices": [], "faces": [[0,0,0]])")),
            "nodes[1] \"b\".mesh.faces[0]: vertex 0 but there are none");
  EXPECT_EQ(ParseError(mesh(cube + R"("faces": [[0,1]])")),
            "nodes[1] \"b\".mesh.faces[0]: expected 3 indices");
  EXPECT_EQ(ParseError(mesh(cube + R"("faces": [[0,1,2.5]])")),
            "nodes[1] \"b\".mesh.faces[0]: expected 3 indices");
  EXPECT_EQ(ParseError(mesh(R"("vertices": [[0,0]], "faces": [])")),
            "nodes[1] \"b\".mesh.vertices[0]: expected an array of 3 numbers");
  EXPECT_EQ(ParseError(mesh(R"("vertices": [[0,0,1e39]], "faces": [])")),
            "nodes[1] \"b\".mesh.vertices[0][2]: number out of range");
  EXPECT_EQ(ParseError(mesh(R"("faces": [])")), "nodes[1] \"b\".mesh: missing field \"vertices\"");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "smoothingGroups": [1])")),
            "nodes[1] \"b\".mesh.smoothingGroups: 1 smoothing groups for 2 faces");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "materialIds": [0, 70000])")),
            "nodes[1] \"b\".mesh.materialIds[1]: value 70000 out of range 0..65535");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "normals": [[0,0,1]])")),
            "nodes[1] \"b\".mesh: \"normals\" and \"normalFaces\" come together");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "normals": [[0,0,1]], "normalFaces": [[0,0,1]])")),
            "nodes[1] \"b\".mesh.normalFaces[0]: normal 1 out of range 0..0");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "maps": [{"channel": 1,
      "vertices": [[0,0,0]], "faces": [[0,0,0]]}])")),
            "nodes[1] \"b\".mesh.maps[0].faces: 1 map faces for 2 faces");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "maps": [{"channel": 1,
      "vertices": [[0,0,0]], "faces": [[0,0,0],[0,3,0]]}])")),
            "nodes[1] \"b\".mesh.maps[0].faces[1]: map vertex 3 out of range 0..0");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "maps": [{"channel": 100,
      "vertices": [], "faces": []}])")),
            "nodes[1] \"b\".mesh.maps[0].channel: value 100 out of range -2..99");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "maps": [
      {"channel": 2, "vertices": [[0,0,0]], "faces": [[0,0,0],[0,0,0]]},
      {"channel": 2, "vertices": [[0,0,0]], "faces": [[0,0,0],[0,0,0]]}])")),
            "nodes[1] \"b\".mesh.maps[1].channel: channel 2 given twice");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "tangents": [[1,0,0]])")),
            "nodes[1] \"b\".mesh: \"tangents\", \"binormals\" and \"tangentFaces\" come together");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "tangents": [[1,0,0]], "binormals": [],
      "tangentFaces": [[0,0,0],[0,0,0]])")),
            "nodes[1] \"b\".mesh.binormals: 0 binormals for 1 tangents");
  EXPECT_EQ(ParseError(mesh(cube + faces + R"(, "tangents": [[1,0,0]], "binormals": [[0,1,0]],
      "tangentFaces": [[0,0,0],[0,0,2]])")),
            "nodes[1] \"b\".mesh.tangentFaces[1]: tangent 2 out of range 0..0");
  // Skins: one weight list per vertex, bones of the skin's own list.
  const std::string skin = R"(, "skin": {"bones": [0], )";
  EXPECT_EQ(ParseError(mesh(cube + faces, skin + R"("weights": [[[0, 1]]]})")),
            "nodes[1] \"b\".skin.weights: 1 weighted vertices for a mesh of 8");
  EXPECT_EQ(ParseError(mesh(cube + faces, skin + R"("weights": [[], [], [], [], [], [], [],
      [[0, 0.5], [1, 0.5]]]})")),
            "nodes[1] \"b\".skin.weights[7][1]: bone 1 out of range 0..0");
  EXPECT_EQ(ParseError(mesh(cube + faces, skin + R"("weights": [[], [], [], [], [], [], [],
      [[0, 0.5, 1]]]})")),
            "nodes[1] \"b\".skin.weights[7][0]: expected [bone, weight]");
  EXPECT_EQ(ParseError(mesh(cube + faces, skin + R"("bindMatrices": []})")),
            "nodes[1] \"b\".skin.bindMatrices: 0 bind matrices for 1 bones");
  EXPECT_EQ(ParseError(mesh(cube + faces, skin + R"("meshBindMatrix": [1, 0, 0]})")),
            "nodes[1] \"b\".skin.meshBindMatrix: expected an array of 12 numbers");
  // Morph targets: their own counts, but indices in range of their own vertices.
  EXPECT_EQ(ParseError(mesh(cube + faces, R"(, "morphChannels": [{"name": "m",
      "target": {"vertices": [[0,0,0]], "faces": [[0,0,1]]}}])")),
            "nodes[1] \"b\".morphChannels[0] \"m\".target.faces[0]: vertex 1 out of range 0..0");
  EXPECT_EQ(ParseError(mesh(cube + faces, R"(, "morphChannels": [{"target": {}}])")),
            "nodes[1] \"b\".morphChannels[0]: missing field \"name\"");
  EXPECT_EQ(ParseError(mesh(cube + faces, R"(, "morphChannels": [{"name": "m",
      "target": {"vertices": [], "faces": []}, "weight": [1, 2]}])")),
            "nodes[1] \"b\".morphChannels[0] \"m\".weight: expected an array of 1 numbers");
}

}  // namespace
}  // namespace ketrel::host
