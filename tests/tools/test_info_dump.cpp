// `ketrel info` and `ketrel dump` on the golden files: the same objects print
// the same way whatever the platform, damage gives a non-zero exit; and the
// settings commands as a user runs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <cstdint>
#include <filesystem>
#include "export/host/host_base64.h"
#include "tests/support/log_capture.h"
#include "tests/tools/command_test.h"
#include "tools/ketrel/cmd_inspect.h"
#include "tools/ketrel/ketrel_commands.h"

namespace ketrel::cli {
namespace {

const char* const kGoldens[] = {"golden_32le.kt2", "golden_32be.kt2", "golden_64le.kt2",
                                "golden_64be.kt2"};

std::string Golden(const char* name) { return std::string(KETREL_TEST_DATA) + "/" + name; }

std::string Info(const std::string& file, int* exitCode) {
  std::ostringstream out;
  *exitCode = RunInfo(InfoOptions{file}, out);
  return out.str();
}

std::string Dump(const std::string& file, int* exitCode, bool json = false, bool all = false,
                 const std::string& path = "") {
  std::ostringstream out;
  DumpOptions options;
  options.File = file;
  options.Json = json;
  options.All = all;
  options.Path = path;
  *exitCode = RunDump(options, out);
  return out.str();
}

// A damaged copy of a golden file: one byte of its data flipped, or cut short.
std::string DamagedCopy(const char* name, bool truncate) {
  std::ifstream in(Golden(name), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (truncate) {
    bytes.resize(bytes.size() / 2);
  } else {
    bytes[bytes.size() - 100] ^= 0x10;
  }
  // One file per test: ctest runs tests side by side, and a copy another
  // test is rewriting would be read half-written.
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string path = std::string(KETREL_BINARY_DIR) + "/damaged_" + test->test_suite_name() + "_" +
                     test->name() + (truncate ? "_truncated" : "") + "_" + name;
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  return path;
}

TEST(InfoCommand, DescribesEveryGoldenFileAsValid) {
  for (const char* name : kGoldens) {
    int code = -1;
    std::string text = Info(Golden(name), &code);
    EXPECT_EQ(code, kExitOk) << name << "\n" << text;
    EXPECT_NE(text.find("(matches)"), std::string::npos) << name;
    EXPECT_NE(text.find("Result             valid"), std::string::npos) << name;
    EXPECT_NE(text.find("Section 7 \"7 - StandardUnloadedSection\""), std::string::npos);
    EXPECT_NE(text.find("HeaderSize         456"), std::string::npos);
    EXPECT_NE(text.find("TypeTag            0x4b543201"), std::string::npos);
  }
  int code = -1;
  EXPECT_NE(Info(Golden("golden_32be.kt2"), &code).find("Platform           32-bit, big endian"),
            std::string::npos);
}

TEST(DumpCommand, PrintsTheSameObjectsForEveryPlatform) {
  int code = -1;
  std::string reference = Dump(Golden("golden_64le.kt2"), &code);
  ASSERT_EQ(code, kExitOk);
  EXPECT_NE(reference.find("FromFileName (StringMember): \"scenes/hero.json\""), std::string::npos);
  EXPECT_NE(reference.find("Orientation: [0, 0, 0.707106769, 0.707106769]"), std::string::npos)
      << reference;
  EXPECT_NE(reference.find("Origin (Real32Member[3]): [0, 0, 0]"), std::string::npos);
  // The cycle and the shared skeleton are printed once, then referred to.
  EXPECT_NE(reference.find("Map (ReferenceMember): -> #"), std::string::npos);
  EXPECT_NE(reference.find("Skeleton (ReferenceMember): -> #"), std::string::npos);
  // Long arrays are abbreviated unless --all.
  EXPECT_NE(reference.find(", ... 16 more (use --all to see them)]"), std::string::npos);
  std::string all = Dump(Golden("golden_64le.kt2"), &code, false, true);
  EXPECT_EQ(all.find("more (use --all"), std::string::npos);
  EXPECT_NE(all.find("253"), std::string::npos);  // the 24th pixel byte, 23 * 11
  for (const char* name : kGoldens) {
    EXPECT_EQ(Dump(Golden(name), &code), reference) << name;
  }
}

TEST(DumpCommand, PathsNameOnePartOfTheGraph) {
  int code = -1;
  std::string skeleton = Dump(Golden("golden_32be.kt2"), &code, false, false, "Models[0].Skeleton");
  ASSERT_EQ(code, kExitOk);
  EXPECT_NE(skeleton.find("Name (StringMember): \"Biped\""), std::string::npos) << skeleton;
  EXPECT_NE(skeleton.find("\"Head\""), std::string::npos);
  std::string name = Dump(Golden("golden_32le.kt2"), &code, false, false, "materials[1].name");
  EXPECT_EQ(code, kExitOk);
  EXPECT_NE(name.find("\"Brick Back\""), std::string::npos) << name;
  test::LogCapture log;
  for (const char* bad : {"Models[3]", "Nothing", "Models[0].Skeleton.Bones[9]", "Models[", "."}) {
    Dump(Golden("golden_64le.kt2"), &code, false, false, bad);
    EXPECT_EQ(code, kExitFailed) << bad;
  }
}

// The JSON dump of every golden file parses, its arrays are whole and of one
// type, and their lengths are the counts `info --json` reads from the file
// (bones, vertices, triangles, pixel bytes, maps, track groups).
TEST(DumpCommand, JsonArraysAreWholeAndMatchTheFileCounts) {
  const std::string dir = std::string(KETREL_BINARY_DIR) + "/";
  for (const char* name : kGoldens) {
    int code = -1;
    std::string json = Dump(Golden(name), &code, true);
    ASSERT_EQ(code, kExitOk) << name;
    EXPECT_NE(json.find("\"$ref\": "), std::string::npos);
    EXPECT_NE(json.find("\"$type\": {\"Position\": \"Real32Member[3]\""), std::string::npos);
    std::ostringstream info;
    ASSERT_EQ(RunInfo(InfoOptions{Golden(name), true}, info), kExitOk) << name;
    std::ofstream(dir + "h2_dump.json") << json;
    std::ofstream(dir + "h2_info.json") << info.str();
    const std::string check = "python3 " KETREL_SOURCE_DIR "/tests/tools/dump_json_counts.py " +
                              dir + "h2_info.json " + dir + "h2_dump.json";
    EXPECT_EQ(std::system(check.c_str()), 0) << name;
  }
  std::remove((dir + "h2_dump.json").c_str());
  std::remove((dir + "h2_info.json").c_str());
}

// `info --json` states what the text states; a damaged file fails.
TEST(InfoCommand, JsonCarriesTheTextFacts) {
  std::ostringstream out;
  ASSERT_EQ(RunInfo(InfoOptions{Golden("golden_32be.kt2"), true}, out), kExitOk);
  const std::string json = out.str();
  for (const char* fact : {"\"platform\": \"32-bit, big endian\"", "\"crcMatches\": true",
                           "\"headerSize\": 456", "\"typeTag\": 1263809025",
                           "\"name\": \"Biped\",\n        \"bones\": 3", "\"valid\": true"}) {
    EXPECT_NE(json.find(fact), std::string::npos) << fact << "\n" << json;
  }
  // A damaged file fails, in text and in JSON.
  test::LogCapture log;
  const std::string flipped = DamagedCopy("golden_64be.kt2", false);
  int code = -1;
  EXPECT_NE(Info(flipped, &code).find("MISMATCH"), std::string::npos);
  EXPECT_EQ(code, kExitFailed);
  std::ostringstream damaged;
  EXPECT_EQ(RunInfo(InfoOptions{flipped, true}, damaged), kExitFailed);
  EXPECT_NE(damaged.str().find("\"result\": \"invalid: the CRC does not match\""),
            std::string::npos)
      << damaged.str();
  EXPECT_NE(Info(DamagedCopy("golden_32le.kt2", true), &code).find("not a valid KT2 file"),
            std::string::npos);
  EXPECT_EQ(code, kExitFailed);
  Info("/nonexistent/file.kt2", &code);
  EXPECT_EQ(code, kExitFailed);
}

TEST(InspectCommands, ExitCodesFromTheProgram) {
  std::string exe = KETREL_EXE;
  std::string quiet = " >/dev/null 2>&1";
  EXPECT_EQ(std::system((exe + " info " + Golden("golden_32be.kt2") + quiet).c_str()), 0);
  EXPECT_NE(std::system((exe + " info " + DamagedCopy("golden_32be.kt2", false) + quiet).c_str()),
            0);
  EXPECT_EQ(std::system((exe + " dump --json " + Golden("golden_64le.kt2") + quiet).c_str()), 0);
  EXPECT_NE(std::system((exe + " dump " + DamagedCopy("golden_64le.kt2", true) + quiet).c_str()),
            0);
}

// Runs the ketrel program's settings commands as a user would.
const std::string kData = KETREL_TEST_DATA;

class SettingsCommand : public test::CommandTest {};

// The listing is the settings vocabulary: its ids are stored in scenes and
// files, so any change must show up against the golden listing.
TEST_F(SettingsCommand, SchemaListingIsTheGoldenOneAndJsonIsWellFormed) {
  std::string out;
  EXPECT_EQ(Run("settings schema", &out), 0);
  EXPECT_EQ(out, Slurp(kData + "/settings/schema.txt"));
  EXPECT_EQ(Run("settings schema --json", &out), 0);
  EXPECT_EQ(out.rfind("{\"categories\":[{\"label\":\"Root settings\"", 0), 0u);
  EXPECT_NE(out.find("\"label\":\"Tessik2 Compression\""), std::string::npos);
  std::ofstream(Path("schema.json")) << out;
  const std::string check =
      "python3 -c \"import json,sys; json.load(open(sys.argv[1]))\" " + Path("schema.json");
  EXPECT_EQ(std::system(check.c_str()), 0);
}

TEST_F(SettingsCommand, DumpPrintsValuesAndRefusesBadFiles) {
  std::string out;
  EXPECT_EQ(Run("settings dump " + kData + "/settings/default.kes", &out), 0);
  EXPECT_EQ(out.rfind("File settings\n  Include exporter info: true\n", 0), 0u);
  EXPECT_NE(out.find("  File compression: Tessik2 Compression\n"), std::string::npos);
  EXPECT_EQ(Run("settings dump " + kData + "/settings/schema.txt"), 1);
  EXPECT_EQ(Run("settings dump " + kData + "/settings/missing.kes"), 1);
  EXPECT_EQ(Run("settings dump"), 2);
}

TEST_F(SettingsCommand, SaveWritesTheSettingsStoredInAScene) {
  const std::string out = Path("saved.kes");
  // A scene without stored settings gives the defaults.
  EXPECT_EQ(Run("settings save " + test::kFigure + " " + out), 0);
  EXPECT_EQ(Slurp(out), Slurp(kData + "/settings/default.kes"));
  // Settings stored on the scene root come back byte for byte.
  const std::string changed =
      Slurp(std::string(KETREL_SOURCE_DIR) + "/tests/fuzz/corpus/settings_blob/changed.kes");
  ASSERT_FALSE(changed.empty());
  std::ofstream(Path("stored.kscene"))
      << R"({"format": "kscene", "version": 1, "scene": {"frameRate": 30, "animationStart": 0,)"
      << R"( "animationEnd": 0, "systemUnit": 1.0, "settings": [{"kind": 6, "index": -1,)"
      << R"( "data": ")" << host::EncodeBase64(std::vector<uint8_t>(changed.begin(), changed.end()))
      << R"("}]}, "materials": [], "nodes": []})";
  EXPECT_EQ(Run("settings save " + Path("stored.kscene") + " " + out), 0);
  EXPECT_EQ(Slurp(out), changed);
  // A scene that does not load writes nothing.
  std::filesystem::remove(out);
  EXPECT_EQ(Run("settings save " + kData + "/settings/missing.kscene " + out), 1);
  EXPECT_FALSE(std::filesystem::exists(out));
}

// Host properties as a user finds them in a file: the example's user
// properties and shared custom attribute, a glTF's extras of nodes, meshes
// and materials, an FBX's user-defined properties, each with its type.
class HostPropertiesDump : public test::CommandTest {};

TEST_F(HostPropertiesDump, ExtrasAndUserPropertiesAppearWithTheirTypes) {
  const struct {
    std::string Scene;
    std::vector<std::string> Lines;
  } cases[] = {
      {test::kFigure,
       {"UserDefinedProperties (StringMember): \"lod = 0\\u000d\\u000akind = \\\"figure\\\"\"",
        "GameData (ReferenceMember): -> #", "health (Int32Member): 100",
        "armor (Real32Member): 0.25", "Title (StringMember): \"Ketrel figure\""}},
      {kData + "/extras/extras.gltf",
       {"count (Int32Member): 7", "weight (Real32Member): 2.5", "label (StringMember): \"crate\"",
        "active (Int32Member): 1", "value (Int32Member): -3", "meshExtras (ReferenceMember)",
        "lod (Int32Member): 2", "tags (ReferenceToArrayMember)",
        "surface (StringMember): \"metal\""}},
      {"/usr/share/assimp/models/FBX/box_orphant_embedded_texture.fbx",
       {"UserProperties (ReferenceMember)", "mr displacement method (Int32Member): 6",
        "mr displacement max displace (Real32Member): 20"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Scene);
    std::string out, err;
    ASSERT_EQ(Run("export --silent " + c.Scene + " " + Path("out.kt2"), nullptr, &err), 0) << err;
    ASSERT_EQ(Run("dump " + Path("out.kt2"), &out), 0);
    for (const std::string& line : c.Lines) EXPECT_NE(out.find(line), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace ketrel::cli
