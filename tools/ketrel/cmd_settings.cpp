// `ketrel settings ...`: the settings vocabulary and settings files.
//   settings schema [--json]      every property with id, label, kind, default,
//                                 bounds, detail level and category
//   settings dump FILE.kes        the text dump of a settings file
//   settings save SCENE OUT.kes   the settings stored in a scene, as a settings file
#include <cstdio>
#include <string>

#include "export/host/host_scene_loader.h"
#include "export/host/host_tool_interface.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_hierarchy.h"
#include "export/ketrel_settings_schema.h"
#include "tools/ketrel/ketrel_commands.h"

namespace ketrel::cli {
namespace {

struct SettingsOptions {
  bool Json = false;
  std::string File;
  std::string Scene;
};

bool WriteAll(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
         std::fflush(stdout) == 0;
}

int RunSettingsSchema(const SettingsOptions& options) {
  std::string text = options.Json ? FormatSchemaJson() : FormatSchemaListing();
  if (text.empty() || !WriteAll(text)) {
    std::fprintf(stderr, "ketrel settings schema: could not list the settings\n");
    return kExitFailed;
  }
  return kExitOk;
}

int RunSettingsDump(const SettingsOptions& options) {
  std::string text;
  if (!DumpSettingsFileToText(options.File.c_str(), text)) {
    std::fprintf(stderr, "ketrel settings dump: %s is not a readable settings file\n",
                 options.File.c_str());
    return kExitFailed;
  }
  return WriteAll(text) ? kExitOk : kExitFailed;
}

int RunSettingsSave(const SettingsOptions& options) {
  if (!OutputIsNoInput("ketrel settings save", options.File, {options.Scene})) return kExitUsage;
  host::Scene scene;
  std::string error;
  if (!host::LoadHostScene(options.Scene, scene, error)) {
    std::fprintf(stderr, "ketrel settings save: %s\n", error.c_str());
    return kExitFailed;
  }
  host::WalkOptions walk;
  walk.ShareTextures = false;
  auto tool = host::CreateToolInterface(scene, walk);
  NodeGraph* graph = tool->GetNodeGraph();
  if (graph == nullptr) {
    std::fprintf(stderr, "ketrel settings save: could not walk %s\n", options.Scene.c_str());
    return kExitFailed;
  }
  SettingsItem* root = BuildSettingsHierarchy(*tool, graph);
  bool saved = root != nullptr && SaveSettingsFile(root, options.File.c_str());
  DestroySettingsItem(root);
  tool->ReleaseNodeGraph(graph);
  if (!saved) {
    std::fprintf(stderr, "ketrel settings save: could not write %s\n", options.File.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

void AddSettingsCommand(CLI::App& app, int& exitCode) {
  CLI::App* settings =
      app.add_subcommand("settings", "List the export settings, dump and save settings files");
  settings->require_subcommand(1);
  auto options = std::make_shared<SettingsOptions>();

  CLI::App* schema = settings->add_subcommand("schema", "List every export setting");
  schema->add_flag("--json", options->Json, "Write the listing as JSON");
  schema->callback([options, &exitCode] { exitCode = RunSettingsSchema(*options); });

  CLI::App* dump = settings->add_subcommand("dump", "Print the values of a settings file (.kes)");
  dump->add_option("FILE", options->File, "Settings file")->required();
  dump->callback([options, &exitCode] { exitCode = RunSettingsDump(*options); });

  CLI::App* save =
      settings->add_subcommand("save", "Write the settings stored in a scene to a settings file");
  save->add_option("SCENE", options->Scene, "Scene (.kscene or any file the importer reads)")
      ->required();
  save->add_option("OUT", options->File, "Settings file to write (.kes)")->required();
  save->callback([options, &exitCode] { exitCode = RunSettingsSave(*options); });
}

}  // namespace ketrel::cli
