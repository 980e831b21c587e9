// Honest exports: every kind of dropped, ignored or approximated data raises
// its coded warning through the real `ketrel export`, shows up in the --json
// summary with its object and message, and makes --strict fail.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/host/host_base64.h"
#include "export/ketrel_export_report.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_blob.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

using test::kFigure;

// Bones with a flat scale and a shared path, a missing image, a space warp.
const char kOddBones[] = R"({"format": "kscene", "version": 1,
  "scene": {"frameRate": 30, "animationStart": 0, "animationEnd": 0, "systemUnit": 1.0},
  "materials": [{"name": "Skin", "type": "standard", "maps": [{"slot": "Diffuse", "map": 1}]},
                {"name": "Missing", "type": "bitmap", "fileName": "no_such_image.png"}],
  "nodes": [
    {"name": "Root", "parent": -1, "object": {"type": "bone"}},
    {"name": "Flat", "parent": 0, "object": {"type": "bone"}, "scale": [0, 0, 0]},
    {"name": "Hand", "parent": 0, "object": {"type": "bone"}},
    {"name": "Hand", "parent": 0, "object": {"type": "bone"}},
    {"name": "Warp", "parent": -1, "object": {"superClass": 80, "class": [1, 2]}},
    {"name": "Plate", "parent": -1, "object": {"type": "mesh"}, "material": 0,
     "mesh": {"vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "faces": [[0, 1, 2]]}}]})";

// A bad weight, an empty sub-material slot, a mesh without data, a morph
// target of another shape.
const char kOddMeshes[] = R"({"format": "kscene", "version": 1,
  "scene": {"frameRate": 30, "animationStart": 0, "animationEnd": 0, "systemUnit": 1.0},
  "materials": [{"name": "Skin", "type": "standard"},
                {"name": "Multi", "type": "multi", "subMaterials": [0, null]}],
  "nodes": [
    {"name": "Root", "parent": -1, "object": {"type": "bone"}},
    {"name": "Plate", "parent": -1, "object": {"type": "mesh"}, "material": 1,
     "mesh": {"vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "faces": [[0, 1, 2]],
              "materialIds": [1]},
     "skin": {"bones": [0], "weights": [[[0, 1.0]], [[0, 1.0]], [[0, -2.0]]]}},
    {"name": "Empty", "parent": -1, "object": {"type": "mesh"}},
    {"name": "Face", "parent": -1, "object": {"type": "mesh"},
     "mesh": {"vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "faces": [[0, 1, 2]]},
     "morphChannels": [{"name": "Odd", "weight": 50, "target": {
       "vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], "faces": [[0, 1, 2], [1, 3, 2]]}}]}
  ]})";

// Two takes of one name and one shorter than a frame (160 ticks); no unit.
const char kOddTakes[] = R"({"format": "kscene", "version": 1,
  "scene": {"frameRate": 30, "animationStart": 0, "animationEnd": 400, "unitFromSource": false,
            "takes": [{"name": "Walk", "start": 0, "end": 160}, {"name": "Walk", "start": 160,
                       "end": 320}, {"name": "Blink", "start": 320, "end": 400}]},
  "nodes": [{"name": "Root", "parent": -1, "object": {"type": "bone"}}]})";

// A triangle 10 km out whose morph weight swings: its vertex curves cannot
// come within 0.01 mm in single precision.
const char kFarMorph[] = R"({"format": "kscene", "version": 1,
  "scene": {"frameRate": 30, "animationStart": 0, "animationEnd": 1600, "systemUnit": 1.0},
  "nodes": [{"name": "Far", "parent": -1, "object": {"type": "mesh"},
    "mesh": {"vertices": [[10000, 0, 0], [10001, 0, 0], [10000, 1, 0]], "faces": [[0, 1, 2]]},
    "morphChannels": [{"name": "Bulge", "weight": {"interpolation": "smooth", "keys": [
      {"tick": 0, "value": 0}, {"tick": 800, "value": 100}, {"tick": 1600, "value": 30}]},
      "target": {"vertices": [[10000, 0, 3], [10001.3, 0, 0], [10000, 1.7, 0]],
                 "faces": [[0, 1, 2]]}}]}]})";

// A material whose bump map the map's own stored settings leave out.
std::string MapLeftOut(const std::string& chunk) {
  return R"({"format": "kscene", "version": 1,
    "scene": {"frameRate": 30, "animationStart": 0, "animationEnd": 0, "systemUnit": 1.0},
    "materials": [{"name": "Skin", "type": "standard", "maps": [{"slot": "Bump", "map": 1}]},
                  {"name": "Bumps", "type": "bitmap", "fileName": "bumps.png",
                   "settings": [{"kind": 3, "index": -1, "data": ")" +
         chunk + R"("}]}],
    "nodes": [{"name": "Plate", "parent": -1, "object": {"type": "mesh"}, "material": 0,
      "mesh": {"vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "faces": [[0, 1, 2]]}}]})";
}

// 21,846 separate triangles: more vertices than 16-bit indices reach.
std::string WideMesh() {
  std::string vertices, faces;
  for (int t = 0; t < 21846; ++t) {
    for (int k = 0; k < 3; ++k) {
      vertices += (t || k ? ",[" : "[") + std::to_string(t) + "," + std::to_string(k) + ",0]";
    }
    faces += (t ? ",[" : "[") + std::to_string(3 * t) + "," + std::to_string(3 * t + 1) + "," +
             std::to_string(3 * t + 2) + "]";
  }
  return R"({"format": "kscene", "version": 1, "scene": {"frameRate": 30, "animationStart": 0,
    "animationEnd": 0, "systemUnit": 1.0}, "nodes": [{"name": "Wide", "parent": -1,
    "object": {"type": "mesh"}, "mesh": {"vertices": [)" +
         vertices + R"(], "faces": [)" + faces + "]}}]}";
}

// A triangle skinned to a chain of 257 bones.
std::string ManyBones() {
  std::string nodes, bones;
  for (int b = 0; b < 257; ++b) {
    nodes += R"({"name": "B)" + std::to_string(b) + R"(", "parent": )" + std::to_string(b - 1) +
             R"(, "object": {"type": "bone"}, "position": [0, 0, 0.1]},)";
    if (b > 0) bones += ",";
    bones += std::to_string(b);
  }
  return R"({"format": "kscene", "version": 1, "scene": {"frameRate": 30, "animationStart": 0,
    "animationEnd": 0, "systemUnit": 1.0}, "nodes": [)" +
         nodes + R"({"name": "Skin", "parent": -1, "object": {"type": "mesh"},
    "mesh": {"vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "faces": [[0, 1, 2]]},
    "skin": {"bones": [)" +
         bones + R"(], "weights": [[[0, 0.5], [256, 0.5]], [[0, 1]], [[1, 1]]]}}]})";
}

struct WarningCase {
  std::string Code;
  std::string Object;
  std::string Message;  // a part of it
  std::string Scene;    // kFigure, a scene file of the fixture's, or a generated file
  std::vector<std::string> Arguments = {};
  std::string Limits = "";  // shell commands run before ketrel
};

class Warnings : public test::CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    for (const auto& [name, text] :
         {std::pair{"bones.kscene", kOddBones}, std::pair{"meshes.kscene", kOddMeshes},
          std::pair{"takes.kscene", kOddTakes}})
      std::ofstream(Path(name)) << text;
    std::ofstream(Path("wide.kscene")) << WideMesh();
    std::ofstream(Path("bones257.kscene")) << ManyBones();
    std::ofstream(Path("far.kscene")) << kFarMorph;
    std::ofstream(Path("props.kscene")) << R"({"format": "kscene", "version": 1,
      "propertyOwners": [{"properties": [{"name": "tag", "value": 1}, {"name": "tag", "value": 2},
        {"name": "mixed", "value": [1, "a"]}, {"name": "far", "value": {"$real": "inf"}}]}],
      "nodes": [{"name": "Holder", "object": {"type": "helper"}, "animatables": [0]}]})";
    // Textures left out by the settings file: their materials lose them.
    SettingsItem* root = CreateSettingsRoot();
    ASSERT_NE(root, nullptr);
    SetPropertyInt(FindPropertyById(FindChildItem(root, "Textures")->Requester, 75), 0);
    EXPECT_TRUE(SaveSettingsFile(root, Path("no_textures.kes").c_str()));
    // A stored choice that names no choice of its setting.
    FindPropertyById(FindChildItem(root, "File")->Requester, 212)->Combobox.Legacy = 999;
    EXPECT_TRUE(SaveSettingsFile(root, Path("odd_choice.kes").c_str()));
    // A material's own chunk that leaves it out of the export.
    Requester* materials = FindChildItem(root, "Materials")->Requester;
    SetPropertyInt(FindPropertyById(materials, 75), 0);
    std::vector<uint8_t> chunk(RequesterBlobSize(materials));
    EXPECT_EQ(WriteRequester(materials, chunk.data(), chunk.size()), chunk.size());
    std::ofstream(Path("map.kscene")) << MapLeftOut(host::EncodeBase64(chunk));
    DestroySettingsItem(root);
  }

  // `ketrel export --json`, parsed; fails the test unless it wrote the file.
  nlohmann::json ExportJson(const std::string& scene, const std::string& arguments,
                            const std::string& limits = "") {
    std::string out, err;
    const std::string output = Path("out.kt2");
    std::filesystem::remove(output);
    EXPECT_EQ(Run("export --json " + scene + " " + output + " " + arguments, &out, &err, limits), 0)
        << err;
    EXPECT_TRUE(std::filesystem::exists(output));
    nlohmann::json json = nlohmann::json::parse(out, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << out;
    return json;
  }
};

std::string Joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& a : arguments) text += " \"" + a + "\"";
  return text;
}

TEST_F(Warnings, EachCodeIsRaisedReportedAndFailsStrict) {
  const std::string clips = Path("clips.gltf");
  ASSERT_EQ(std::system(("python3 " + std::string(KETREL_SOURCE_DIR) +
                         "/scripts/make_test_clips.py " + clips + " >/dev/null")
                            .c_str()),
            0);
  const std::string sheared = Path("sheared.gltf");
  ASSERT_EQ(std::system(("python3 " + std::string(KETREL_SOURCE_DIR) +
                         "/scripts/make_test_clips.py " + sheared + " --sheared >/dev/null")
                            .c_str()),
            0);
  const std::string bones = Path("bones.kscene"), meshes = Path("meshes.kscene"),
                    takes = Path("takes.kscene"), missing = Path("missing.bin");
  std::vector<WarningCase> cases = {
      {"KT1001", "no_such_image.png", "Texture no_such_image.png stored by reference only", bones},
      {"KT1002", "figure_diffuse.png", "Murra still-image compression is not available", kFigure},
      {"KT1005",
       "SkinDiffuse",
       "Material SkinDiffuse: its texture figure_diffuse.png is not exported",
       kFigure,
       {"--settings", Path("no_textures.kes")}},
      {"KT1004", "Skin", "Material Skin: its Bump map (Bumps) is not exported", Path("map.kscene")},
      {"KT1006", "Multi", "Material Multi has null sub-material", meshes},
      {"KT1102", "Flat", "Bone Flat of skeleton Root has a singular or invalid transform", bones},
      {"KT1103", "Flat", "Unable to accurately decompose MAX transform Q", bones},
      {"KT1104", "Root|Hand", "Duplicate FQN for bone found: Root|Hand", bones},
      {"KT1105",
       "Hips",
       "Bone Hips is left out of skeleton Figure",
       kFigure,
       {"--set", "Include data in export=false"}},
      {"KT1201", "Empty", "Mesh Empty has no mesh data and is stored by name only", meshes},
      {"KT1204", "Plate", "1 skin influences name no bone", meshes},
      {"KT1202",
       "Wide",
       "Mesh (Wide) has too many vertices to fit into 16-bit",
       Path("wide.kscene"),
       {"--set", "Truncate vertex indices to 16-bit=true"}},
      {"KT1207", "Skin", "Mesh Skin has 257 skin bones", Path("bones257.kscene")},
      {"KT1301",
       "Face",
       "Morph target count of 1 is clamped to 2.",
       kFigure,
       {"--set", "Morph Targets=Extract mesh frame by frame", "--set", "Set total frame count=true",
        "--set", "Frame count=1"}},
      {"KT1302",
       "Face",
       "Morph target 0 of mesh Face has 4 vertices",
       meshes,
       {"--set", "Morph Targets=Look for morph modifier meshes"}},
      {"KT1303", "Face", "Mesh Face has 2 morph channels that are not exported", kFigure},
      {"KT1401", "Walk", "Two takes are named Walk; the later one is called Walk_2", takes},
      {"KT1401", "Bend", "Two takes are named Bend; the later one is called Bend_2", clips},
      {"KT1402", "Blink", "Take Blink is 80 ticks long, less than a frame", takes},
      {"KT1403", "Tip", "The bind pose of Tip is sheared; its rest pose keeps only its scale",
       sheared},
      {"KT1501",
       "Figure",
       "Animation figure.kscene, track group Figure: 4 curves miss their",
       kFigure,
       {"--set", "Orientation curve tolerance=0.00001", "--set",
        "Position curve tolerance=0.00001"}},
      {"KT1503",
       "Far",
       "Some animated vert parameters didn't achieve the",
       Path("far.kscene"),
       {"--set", "Morph Targets=Extract mesh frame by frame", "--set",
        "Create vertex morph curves=true", "--set",
        "Mesh settings/Position curve tolerance=0.00001"}},
      {"KT1601",
       "Include vertex annotation",
       "Setting \"Include vertex annotation\" (Meshes and 2 more) is changed but has no effect",
       kFigure,
       {"--set", "Include vertex annotation=true"}},
      {"KT1602",
       "Units per Meter",
       "\"Units per Meter\" (100) has no effect",
       kFigure,
       {"--set", "Units per Meter=100"}},
      {"KT1603",
       "File platform",
       "Unknown choice 999 of setting \"File platform\" ignored",
       kFigure,
       {"--settings", Path("odd_choice.kes")}},
      {"KT1604",
       "Units per Meter",
       "The scene's source gives no unit",
       takes,
       {"--set", "Rescale scene on export=true"}},
      {"KT1703", "Holder", "host property \"tag\" repeats a name", Path("props.kscene")},
      {"KT1704", "Holder", "host property \"mixed\" is a list of mixed values",
       Path("props.kscene")},
      {"KT1705", "Holder", "host property \"far\" is not a finite number", Path("props.kscene")},
      {"KT1701", "Warp", "Node Warp holds an object of a kind that is not exported", bones},
      {"KT1702",
       missing.c_str(),
       "Attach file " + missing + " cannot be opened",
       kFigure,
       {"--attach", missing}},
      {"KT1706", "node Long", "extras.text of node Long is 70002 bytes long",
       std::string(KETREL_TEST_DATA) + "/extras/extras.gltf"},
  };
#if !defined(__SANITIZE_ADDRESS__)  // address limits do not apply under AddressSanitizer
  // Fitting threads whose 2 GB stacks do not all fit under a 3 GB limit:
  // the rest of the work is done by those that started. (Only where the
  // stack may be raised that far.)
  struct rlimit stack = {};
  const bool raisable = getrlimit(RLIMIT_STACK, &stack) == 0 &&
                        (stack.rlim_max == RLIM_INFINITY || stack.rlim_max >= (rlim_t(2) << 30));
  if (raisable)
    cases.push_back({"KT1505",
                     "",
                     "Unable to start fitting thread",
                     kFigure,
                     {"--threads", "8"},
                     "ulimit -s 2000000; ulimit -v 3000000;"});
#endif
  for (const WarningCase& c : cases) {
    SCOPED_TRACE(c.Code + " " + c.Scene + Joined(c.Arguments));
    const nlohmann::json json = ExportJson(c.Scene, Joined(c.Arguments), c.Limits);
    bool found = false;
    for (const nlohmann::json& w : json["warnings"]) {
      if (w["code"] != c.Code || w["object"] != c.Object) continue;
      found = w["message"].get<std::string>().find(c.Message) != std::string::npos;
      if (found) break;
    }
    EXPECT_TRUE(found) << json["warnings"].dump(1);
    std::string err;
    EXPECT_EQ(Run("export --strict " + c.Scene + " " + Path("strict.kt2") + Joined(c.Arguments),
                  nullptr, &err, c.Limits),
              1);
    EXPECT_NE(err.find("ketrel export: --strict: "), std::string::npos) << err;
  }
}

// The summary of a whole figure: counts, animations and bytes as the file
// has them; --strict --atomic keeps the old file
// and leaves nothing beside it, and passes once nothing is warned about.
TEST_F(Warnings, SummaryTellsWhatWasWrittenAndStrictKeepsTheOldFile) {
  const nlohmann::json json = ExportJson(kFigure, "");
  const std::string output = Path("out.kt2");
  EXPECT_EQ(json["output"], output);
  EXPECT_EQ(json["written"], true);
  EXPECT_EQ(json["bytes"].get<int64_t>(), int64_t(std::filesystem::file_size(output)));
  EXPECT_EQ(json["counts"], nlohmann::json({{"animations", 1},
                                            {"meshes", 2},
                                            {"skeletons", 1},
                                            {"models", 1},
                                            {"materials", 2},
                                            {"textures", 1},
                                            {"trackGroups", 2}}));
  ASSERT_EQ(json["animations"].size(), 1u);
  EXPECT_EQ(json["animations"][0]["name"], "figure.kscene");
  EXPECT_DOUBLE_EQ(json["animations"][0]["duration"].get<double>(), 1.0);
  EXPECT_GT(json["animations"][0]["bytes"].get<int64_t>(), 0);
  EXPECT_EQ(json["warnings"].size(), 2u);

  std::string out, err;
  const std::string target = Path("kept.kt2");
  std::ofstream(target) << "old";
  EXPECT_EQ(Run("export --strict --atomic --json " + kFigure + " " + target, &out, &err), 1);
  EXPECT_EQ(Slurp(target), "old");
  const nlohmann::json refused = nlohmann::json::parse(out, nullptr, false);
  EXPECT_EQ(refused["written"], false) << out;
  EXPECT_EQ(refused["warnings"].size(), 2u);
  EXPECT_NE(err.find("the target was left as it was"), std::string::npos) << err;
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    entries += entry.path().filename().string().rfind("kept.kt2", 0) == 0;
  EXPECT_EQ(entries, 1);

  // The figure without its two warnings: strict and atomic, it replaces.
  EXPECT_EQ(Run("export --strict --atomic " + kFigure + " " + target +
                    " --set \"No alpha=8-bit S3TC auto alpha\" --set \"Alpha=8-bit S3TC auto "
                    "alpha\" --set \"Morph Targets=Look "
                    "for morph modifier meshes\"",
                nullptr, &err),
            0)
      << err;
  EXPECT_NE(Slurp(target), "old");
  EXPECT_NE(err.find("; 0 warnings\n"), std::string::npos) << err;
}

// A warning raised without a code of its own still counts, under KT1000.
TEST(WarningRecord, UncodedWarningsCountAsOther) {
  ExportReport report;
  BeginWarningRecord(&report);
  const LogCallback quiet = SetLogCallback(
      LogCallback{[](LogType, LogOrigin, const char*, int, const char*, void*) {}, nullptr});
  KT_LOG_WARNING(General, "something odd\r\n");
  KT_LOG_WARNING_CODE(General, 1001, "Skin", "coded");
  KT_LOG_ERROR(General, "errors are not warnings");
  SetLogCallback(quiet);
  EndWarningRecord(&report);
  ASSERT_EQ(report.Warnings.size(), 2u);
  EXPECT_EQ(report.Warnings[0].Code, 1000u);
  EXPECT_EQ(report.Warnings[0].Message, "something odd");
  EXPECT_EQ(report.Warnings[1].Object, "Skin");
  EXPECT_EQ(SummarizeWarningCodes(report), "KT1000 x1, KT1001 x1");
}

// What a user sees when something is wrong: the command, setting, key or
// folder at fault in plain words with the nearest right name, never a source
// file and line or a system call (those only with --verbose), and the exit
// code of a usage error (2) or a failure (1).
class UserErrors : public test::CommandTest {
 protected:
  // The example figure with its first "position" key mistyped by hand.
  std::string MistypedScene() {
    std::string text = Slurp(test::kFigure);
    text.replace(text.find("\"position\""), 10, "\"positon\"");
    const std::string path = Path("mistyped.kscene");
    std::ofstream(path) << text;
    return path;
  }
};

TEST_F(UserErrors, SayWhatIsWrongInPlainWords) {
  const std::string figure = test::kFigure, out = Path("out.kt2");
  const std::string mistyped = MistypedScene();
  const struct {
    std::string arguments;
    int exitCode;
    std::string said;  // the whole of stderr when it ends in "\n", else a part of it
  } cases[] = {
      {"frob", 2, "ketrel: unknown command frob\n"},
      {"expotr a b", 2, "ketrel: unknown command expotr; did you mean \"export\"?\n"},
      {"--verbose settings sceham", 2,
       "ketrel settings: unknown command sceham; did you mean \"schema\"?\n"},
      {"", 2, "ketrel: no command given (commands: export, import, settings, info, dump, verify"},
      {"export --silent " + mistyped + " " + out, 1,
       mistyped + ": nodes[1] \"Hips\".positon: unknown key; did you mean \"position\"?"},
      {"export --silent " + figure + " " + Path("nodir") + "/x.kt2", 1,
       "cannot write " + Path("nodir") + "/x.kt2: folder " + Path("nodir") + "/ does not exist"},
      {"export --silent " + figure + " " + out + " --set \"Positon curve tolerance=0.1\"", 2,
       "Unknown setting \"Positon curve tolerance\"; did you mean \"Position curve tolerance\"?"},
      {"export --silent " + figure + " " + out +
           " --set \"Morph Targets=Extract mesh frame by frame\"" +
           " --set \"Create vertex morph curves=on\" --set \"Position curve tolerance=0.1\"",
       2,
       "means different settings in \"Mesh settings\", \"Animation settings\"; name the "
       "category, as in \"Animation settings/Position curve tolerance=0.1\""},
      {"info " + Path("missing.kt2"), 1, "cannot read " + Path("missing.kt2") + ": no such file"},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_EQ(Run(c.arguments, nullptr, &err), c.exitCode) << c.arguments << "\n" << err;
    if (c.said.back() == '\n') {
      EXPECT_EQ(err, c.said) << c.arguments;
    } else {
      EXPECT_NE(err.find(c.said), std::string::npos) << c.arguments << "\n" << err;
    }
    EXPECT_EQ(err.find(".cpp("), std::string::npos) << c.arguments << "\n" << err;
    EXPECT_EQ(err.find("mkstemp"), std::string::npos) << c.arguments << "\n" << err;
    EXPECT_FALSE(std::filesystem::exists(out)) << c.arguments;
  }
  // The bone animation settings alone: accepted, and the export is written.
  EXPECT_EQ(Run("export --silent " + figure + " " + out +
                " --set \"Bone animation settings/Position curve tolerance=0.1\""),
            0);
  EXPECT_TRUE(std::filesystem::exists(out));
}

// --verbose keeps the system call and the source position for whoever
// debugs. The folder is looked at before any work: no warning of the
// conversion comes first.
TEST_F(UserErrors, VerboseAlsoNamesTheSystemCall) {
  std::string err;
  EXPECT_EQ(
      Run("export --silent --verbose " + test::kFigure + " " + Path("nodir/x.kt2"), nullptr, &err),
      1);
  EXPECT_NE(
      err.find("folder " + Path("nodir") + "/ does not exist (stat: No such file or directory)"),
      std::string::npos)
      << err;
  EXPECT_NE(err.find(".cpp("), std::string::npos) << err;
  EXPECT_EQ(err.find("warning"), std::string::npos) << err;
}

}  // namespace
}  // namespace ketrel
