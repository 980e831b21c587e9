// Runs the ketrel program's settings commands as a user would.
#include <gtest/gtest.h>

#include <sys/wait.h>
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

}  // namespace
