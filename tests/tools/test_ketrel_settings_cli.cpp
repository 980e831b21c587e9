// Runs the ketrel program's settings commands as a user would.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/host/host_base64.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

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

}  // namespace
}  // namespace ketrel
