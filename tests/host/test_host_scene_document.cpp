#include "export/host/host_scene_document.h"

#include "export/host/host_base64.h"

#include <gtest/gtest.h>

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
  ASSERT_EQ(scene.Nodes.size(), 9u);
  EXPECT_EQ(scene.FrameRate, 30);
  EXPECT_EQ(scene.TicksPerFrame(), 160);
  EXPECT_EQ(scene.AnimationEnd, 4800);
  const Node* body = scene.FindNode("Body");
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->Parent, scene.Root.get());
  EXPECT_EQ(body->SkinBones.size(), 5u);
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
  for (int tick : {0, 700, 2400, 4100}) {
    HostMatrix a = scene.NodeTransform(scene.Nodes[7].get(), tick);
    HostMatrix b = again.NodeTransform(again.Nodes[7].get(), tick);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_FLOAT_EQ(a.m[i][j], b.m[i][j]);
  }
  std::filesystem::remove(path);
}

TEST(SceneDocument, FailedSaveKeepsTheOldFile) {
  Scene scene;
  scene.AddNode("A");
  std::string directory = std::string(KETREL_BINARY_DIR) + "/no_such_dir/x.kscene";
  test::LogCapture log;
  EXPECT_FALSE(SaveSceneDocument(scene, directory));
  EXPECT_EQ(log.errors(), 1u);
  // A target that is a directory cannot be replaced; the directory survives.
  std::string target = std::string(KETREL_BINARY_DIR) + "/scene_dir.kscene";
  std::filesystem::create_directories(target + "/inside");
  scene.NeedsSave = true;
  EXPECT_FALSE(SaveSceneDocument(scene, target));
  EXPECT_TRUE(scene.NeedsSave);
  EXPECT_TRUE(std::filesystem::exists(target + "/inside"));
  for (const auto& entry : std::filesystem::directory_iterator(KETREL_BINARY_DIR))
    EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
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
            "nodes[4].parent: index 9 out of range 0..4");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "parent": 1}, {"name": "b", "parent": 0}])")),
            "nodes[0].parent: parent cycle through nodes[0]");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "parent": 0}])")),
            "nodes[0].parent: parent cycle through nodes[0]");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"parent": -1}])")), "nodes[0]: missing field \"name\"");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": 3}])")), "nodes[0].name: expected a string");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "skin": {"bones": [0, 1]}}])")),
            "nodes[0].skin.bones[1]: index 1 out of range 0..0");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "material": 0}])")),
            "nodes[0].material: index 0 but there are none");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "position": {"keys": [
                {"tick": 5, "value": [0, 0, 0]}, {"tick": 5, "value": [1, 0, 0]}]}}])")),
            "nodes[0].position.keys[1].tick: 5 not after the previous key 5");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "rotation": [0, 0, 0, 0]}])")),
            "nodes[0].rotation: quaternion of zero length");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "object": {"type": "teapot"}}])")),
            "nodes[0].object.type: unknown object type \"teapot\"");
  EXPECT_EQ(ParseError(Doc(R"("nodes": [{"name": "a", "settings": [{"kind": 1, "index": -1,
                "data": "AB$="}]}])")),
            "nodes[0].settings[0].data: invalid base64");
  EXPECT_EQ(ParseError(Doc(R"("scene": {"frameRate": 7})")),
            "scene.frameRate: 7 does not divide 4800 ticks per second");
  EXPECT_EQ(ParseError(Doc(R"("scene": {"frameRate": 0})")),
            "scene.frameRate: value 0 out of range 1..4800");
  EXPECT_EQ(ParseError(Doc(R"("materials": [{"name": "m", "subMaterials": [0]}])")),
            "materials[0]: reference cycle through materials[0]");
  EXPECT_EQ(ParseError(Doc(R"("materials": [{"name": "m", "maps": [{"slot": "Diffuse",
                "map": 1}]}, {"name": "n", "type": "multi", "subMaterials": [0]}])")),
            "materials[1]: reference cycle through materials[0]");
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

}  // namespace
}  // namespace ketrel::host
