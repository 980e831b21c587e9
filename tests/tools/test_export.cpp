// The export road end to end: `ketrel export` of the example scene, read back
// through the file reader.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "export/ketrel_version.h"
#include "rt/ketrel_standard_types.h"
#include "tests/tools/command_test.h"
#include "tools/ketrel/cmd_export.h"

namespace ketrel {
namespace {

using test::kFigure;

namespace fs = std::filesystem;

class ExportTest : public test::CommandTest {
 protected:
  int Run(const std::string& arguments, std::string* err = nullptr,
          const std::string& environment = "") {
    return CommandTest::Run(arguments, nullptr, err, environment);
  }

  cli::ExportOptions Options(const std::string& output) {
    cli::ExportOptions options;
    options.Scene = kFigure;
    options.Output = Path(output);
    options.Silent = true;
    return options;
  }
};

// Lines of stderr that are stages (not the title), without the time each
// shows: "Meshes (0.12 s)" is "Meshes".
std::vector<std::string> Stages(const std::string& err) {
  std::vector<std::string> stages;
  std::istringstream lines(err);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.find("is exporting") != std::string::npos) continue;
    EXPECT_NE(line[0], ' ') << "item lines are for terminals only: " << line;
    const size_t time = line.rfind(" (");
    if (time != std::string::npos && line.size() > 3 &&
        line.compare(line.size() - 3, 3, " s)") == 0)
      line.erase(time);
    stages.push_back(line);
  }
  return stages;
}

// The figure's texture asks for Murra compression (the default), which has
// no codec here, and its face's morph channels are not asked for: those two
// warnings and the summary line are all a silent export prints.
TEST_F(ExportTest, StagesComeInOrderAndSilentPrintsOnlyWarnings) {
  const std::string murra =
      "warning: KT1002 Texture figure_diffuse.png: Murra still-image compression is not "
      "available; stored as 8-bit S3TC auto alpha";
  const std::string morph =
      "warning: KT1303 Mesh Face has 2 morph channels that are not exported: its \"Morph "
      "Targets\" setting is \"Don't Extract Morphs\"";
  std::string err;
  ASSERT_EQ(Run("export " + kFigure + " " + Path("a.kt2"), &err), 0) << err;
  std::vector<std::string> stages = Stages(err);
  // A user sees the warnings, not where in our source they were raised.
  std::vector<std::string> expected = {"Importing figure.kscene",
                                       "Textures",
                                       murra,
                                       "Materials",
                                       "Skeletons",
                                       "Meshes",
                                       morph,
                                       "Models",
                                       "Animations",
                                       "I/O",
                                       "Packaging file",
                                       "Export Complete"};
  ASSERT_EQ(stages.size(), expected.size() + 1) << err;
  EXPECT_EQ(stages.back().rfind("wrote " + Path("a.kt2") + ": 8,", 0), 0u) << err;
  stages.pop_back();
  EXPECT_EQ(stages, expected) << err;
  EXPECT_NE(err.find("Ketrel 2.11.8.0 is exporting a KT2 File"), std::string::npos);

  std::string out;
  ASSERT_EQ(CommandTest::Run("export --silent " + kFigure + " " + Path("b.kt2"), &out, &err), 0)
      << err;
  EXPECT_EQ(out, "");
  const std::string size = std::to_string(fs::file_size(Path("b.kt2")));
  const std::string summary = "wrote " + Path("b.kt2") + ": " + size.substr(0, size.size() - 3) +
                              "," + size.substr(size.size() - 3) + " bytes in ";
  ASSERT_NE(err.find(summary), std::string::npos) << err;
  EXPECT_EQ(err.substr(0, err.find(summary)), murra + "\n" + morph + "\n");
  EXPECT_NE(err.find(" s; 1 animation, 2 meshes, 1 skeleton, 2 materials, 1 texture; 2 warnings "
                     "(KT1002 x1, KT1303 x1)\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(Slurp(Path("a.kt2")), Slurp(Path("b.kt2")));
  // --verbose says where it came from, before the command or after it.
  for (const std::string& command :
       {"--verbose export --silent " + kFigure + " " + Path("c.kt2"),
        "export --silent " + kFigure + " " + Path("c.kt2") + " --verbose"}) {
    ASSERT_EQ(Run(command, &err), 0) << err;
    EXPECT_NE(err.find("ketrel_texture_conversion.cpp("), std::string::npos) << err;
  }
}

// Native is the 64-bit little-endian file. (The same scene giving the same
// bytes is held by the stage test's two exports.)
TEST_F(ExportTest, NativeIsThe64BitLittleEndianFile) {
  cli::ExportOptions options = Options("native.kt2");
  options.Set = {"File platform=Native"};
  ASSERT_EQ(cli::RunExport(options), 0);
  options.Output = Path("le64.kt2");
  options.Set = {"File platform=64-bit, little endian"};
  ASSERT_EQ(cli::RunExport(options), 0);
  const std::string native = Slurp(Path("native.kt2"));
  ASSERT_GT(native.size(), 104u);
  EXPECT_EQ(native, Slurp(Path("le64.kt2")));
}

TEST_F(ExportTest, AttachStoresTheFileExactlyAndAMissingOneIsNoError) {
  std::string contents(10000, '\0');
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = char((i * 7919) >> 3);
  std::ofstream(Path("notes.bin"), std::ios::binary) << contents;

  cli::ExportOptions options = Options("attach.kt2");
  options.Attach = Path("notes.bin");
  ASSERT_EQ(cli::RunExport(options), 0);
  test::LoadedFile info = test::Load(options.Output);
  ASSERT_NE(info, nullptr);
  // {Filename: char*, FileContents: {int32 count, uint8* data}}
  const data_type_definition* members = info->ExtendedData.Type;
  ASSERT_NE(members, nullptr);
  EXPECT_STREQ(members[0].Name, "Filename");
  EXPECT_STREQ(members[1].Name, "FileContents");
  const char* object = static_cast<const char*>(info->ExtendedData.Object);
  const char* name;
  int32_t count;
  const unsigned char* bytes;
  std::memcpy(&name, object, 8);
  std::memcpy(&count, object + 8, 4);
  std::memcpy(&bytes, object + 12, 8);
  EXPECT_EQ(std::string(name), options.Attach);
  ASSERT_EQ(count, 10000);
  EXPECT_EQ(std::memcmp(bytes, contents.data(), 10000), 0);

  // A file that opens but cannot be read fails the export instead of being
  // stored cut short.
  options.Output = Path("unreadable.kt2");
  options.Attach = dir_.string();
  EXPECT_EQ(cli::RunExport(options), 1);
  EXPECT_FALSE(fs::exists(options.Output));

  options.Output = Path("missing.kt2");
  options.Attach = Path("no-such-file.txt");
  ASSERT_EQ(cli::RunExport(options), 0);
  info = test::Load(options.Output);
  ASSERT_NE(info, nullptr);
  const data_type_definition* noType = info->ExtendedData.Type;
  EXPECT_EQ(noType, nullptr);
}

// The file says which tool made it: our host, and for a real file what it
// was imported from; the version agrees with the exporter's. Turned off,
// both records are left out.
TEST_F(ExportTest, ArtToolAndExporterInfoNameWhatMadeTheFile) {
  const struct {
    std::string scene;
    const char* tool;  // null: both records are asked to be left out
  } cases[] = {
      {kFigure, "Ketrel host"},
      {"/usr/share/assimp/models/glTF2/simple_skin/simple_skin.gltf",
       "Ketrel host (Assimp import: glTF 2.0)"},
      {kFigure, nullptr},
  };
  for (const auto& c : cases) {
    cli::ExportOptions options = Options("tool.kt2");
    options.Scene = c.scene;
    if (!c.tool)
      options.Set = {"Include exporter info=false", "Include art tool specific data=off"};
    ASSERT_EQ(cli::RunExport(options), 0) << c.scene;
    test::LoadedFile info = test::Load(options.Output);
    ASSERT_NE(info, nullptr);
    const art_tool_info* tool = info->ArtToolInfo;
    const exporter_info* exporter = info->ExporterInfo;
    if (!c.tool) {
      EXPECT_EQ(tool, nullptr);
      EXPECT_EQ(exporter, nullptr);
      continue;
    }
    ASSERT_NE(tool, nullptr);
    ASSERT_NE(exporter, nullptr);
    EXPECT_STREQ(tool->FromArtToolName, c.tool);
    const std::string version = std::to_string(exporter->ExporterMajorRevision) + "." +
                                std::to_string(exporter->ExporterMinorRevision) + "." +
                                std::to_string(exporter->ExporterBuildNumber) + "." +
                                std::to_string(exporter->ExporterCustomization);
    EXPECT_EQ(version, ExporterVersionString());
  }
}

TEST_F(ExportTest, FailuresLeaveThePreviousFileAlone) {
  const std::string old = "previous file contents";
  std::ofstream(Path("keep.kt2"), std::ios::binary) << old;

  // Cancelled as a user would with Ctrl-C once the meshes begin: the exit
  // status of a program stopped by SIGINT.
  std::string err;
  EXPECT_EQ(Run("export " + kFigure + " " + Path("keep.kt2") + " --test-cancel-at Meshes", &err),
            130);
  EXPECT_NE(err.find("Export Aborted"), std::string::npos) << err;
  EXPECT_EQ(err.find("Export Complete"), std::string::npos) << err;
  EXPECT_EQ(Slurp(Path("keep.kt2")), old);

  // A bad settings file and a missing scene. (Bad --set values and missing
  // folders: UserErrors.SayWhatIsWrongInPlainWords.)
  EXPECT_EQ(Run("export --silent --settings " + Path("none.kes") + " " + kFigure + " " +
                Path("keep.kt2")),
            1);
  EXPECT_EQ(Run("export --silent " + Path("nothing.kscene") + " " + Path("keep.kt2"), &err), 1);
  EXPECT_NE(err.find("nothing.kscene"), std::string::npos);
  EXPECT_EQ(Slurp(Path("keep.kt2")), old);

  // A target that cannot be replaced: a directory, and (where the file
  // system allows it) an immutable file. Nothing is left beside them.
  fs::create_directories(Path("occupied.kt2"));
  for (const char* atomic : {"", "--atomic "}) {
    EXPECT_EQ(Run(std::string("export --silent ") + atomic + kFigure + " " + Path("occupied.kt2")),
              1);
    EXPECT_TRUE(fs::is_directory(Path("occupied.kt2")));
  }
  if (std::system(("chattr +i " + Path("keep.kt2") + " 2>/dev/null").c_str()) == 0) {
    EXPECT_EQ(Run("export --silent --atomic " + kFigure + " " + Path("keep.kt2")), 1);
    std::system(("chattr -i " + Path("keep.kt2")).c_str());
    EXPECT_EQ(Slurp(Path("keep.kt2")), old);
  }
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 4u);  // keep.kt2, occupied.kt2, stdout.txt, stderr.txt
}

// Settings given on the command line are stored in the scene like a
// confirmed settings dialog's; --save-scene keeps them for the next export.
TEST_F(ExportTest, SettingsEditsAreStoredInTheSavedScene) {
  const std::string examples = std::string(KETREL_SOURCE_DIR) + "/examples/";
  fs::create_directories(Path("copy"));
  fs::copy_file(examples + "figure_diffuse.png", Path("copy/figure_diffuse.png"));
  const std::string saved = Path("copy/figure.kscene");
  const std::string morphs = " --set \"Morph Targets=Look for morph modifier meshes\"";

  ASSERT_EQ(Run("export --silent" + morphs + " " + kFigure + " " + Path("a.kt2") +
                " --save-scene " + saved),
            0);
  ASSERT_EQ(Run("export --silent " + saved + " " + Path("b.kt2")), 0);
  ASSERT_EQ(Run("export --silent " + kFigure + " " + Path("plain.kt2")), 0);
  EXPECT_EQ(Slurp(Path("a.kt2")), Slurp(Path("b.kt2")));
  EXPECT_NE(Slurp(Path("a.kt2")), Slurp(Path("plain.kt2")));

  // No scene is saved from an export that failed, nor where it cannot go.
  EXPECT_EQ(Run("export --silent" + morphs + " " + kFigure + " " + Path("no/dir/out.kt2") +
                " --save-scene " + Path("failed.kscene")),
            1);
  EXPECT_FALSE(fs::exists(Path("failed.kscene")));
  std::string err;
  EXPECT_EQ(Run("export --silent " + kFigure + " " + Path("c.kt2") + " --save-scene " +
                    Path("no/dir/scene.kscene"),
                &err),
            1);
  EXPECT_NE(err.find("could not save the scene"), std::string::npos) << err;
}

}  // namespace
}  // namespace ketrel
