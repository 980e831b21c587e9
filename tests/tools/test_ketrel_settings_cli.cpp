// Runs the ketrel program's settings commands as a user would.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome Ketrel(const std::string& arguments) {
  Outcome run;
  std::string command = std::string(KETREL_EXE) + " " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string ReadText(const std::string& path) {
  std::string text;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
    fclose(f);
  }
  return text;
}

const std::string kData = KETREL_TEST_DATA;

TEST(SettingsCommand, SchemaListingIsTheGoldenOne) {
  Outcome run = Ketrel("settings schema");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, ReadText(kData + "/settings/schema.txt"));
  Outcome json = Ketrel("settings schema --json");
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out.rfind("{\"categories\":[{\"label\":\"Root settings\"", 0), 0u);
}

TEST(SettingsCommand, DumpPrintsValuesAndRefusesBadFiles) {
  Outcome run = Ketrel("settings dump " + kData + "/settings/default.kes");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("File settings\n  Include exporter info: true\n", 0), 0u);
  EXPECT_NE(run.out.find("  File compression: Tessik2 Compression\n"), std::string::npos);
  EXPECT_EQ(Ketrel("settings dump " + kData + "/settings/schema.txt").status, 1);
  EXPECT_EQ(Ketrel("settings dump " + kData + "/settings/missing.kes").status, 1);
  EXPECT_EQ(Ketrel("settings dump").status, 2);
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t word = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) word |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) word |= uint8_t(bytes[i + 2]);
    out += kAlphabet[(word >> 18) & 63];
    out += kAlphabet[(word >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(word >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[word & 63] : '=';
  }
  return out;
}

TEST(SettingsCommand, SaveWritesTheSettingsStoredInAScene) {
  std::string out = std::string(KETREL_BINARY_DIR) + "/h5_cli_saved.kes";
  // A scene without stored settings gives the defaults.
  EXPECT_EQ(
      Ketrel("settings save " + std::string(KETREL_SOURCE_DIR) + "/examples/figure.kscene " + out)
          .status,
      0);
  EXPECT_EQ(ReadText(out), ReadText(kData + "/settings/default.kes"));
  // Settings stored on the scene root come back byte for byte.
  std::string changed =
      ReadText(std::string(KETREL_SOURCE_DIR) + "/tests/fuzz/corpus/settings_blob/changed.kes");
  ASSERT_FALSE(changed.empty());
  std::string scene = std::string(KETREL_BINARY_DIR) + "/h5_cli_stored.kscene";
  if (FILE* f = fopen(scene.c_str(), "wb")) {
    std::string document =
        R"({"format": "kscene", "version": 1, "scene": {"frameRate": 30, "animationStart": 0,)"
        R"( "animationEnd": 0, "systemUnit": 1.0, "settings": [{"kind": 6, "index": -1,)"
        R"( "data": ")" +
        Base64(changed) + R"("}]}, "materials": [], "nodes": []})";
    fwrite(document.data(), 1, document.size(), f);
    fclose(f);
  }
  EXPECT_EQ(Ketrel("settings save " + scene + " " + out).status, 0);
  EXPECT_EQ(ReadText(out), changed);
  // A scene that does not load writes nothing.
  std::remove(out.c_str());
  EXPECT_EQ(Ketrel("settings save " + kData + "/settings/missing.kscene " + out).status, 1);
  EXPECT_EQ(ReadText(out), "");
  std::remove(scene.c_str());
}

}  // namespace
