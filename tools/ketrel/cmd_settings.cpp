// `ketrel settings ...`: the settings vocabulary and settings files.
//   settings schema [--json]      every property with id, label, kind, default,
//                                 bounds, detail level and category
//   settings dump FILE.kes        the text dump of a settings file
#include <cstdio>
#include <string>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_schema.h"
#include "tools/ketrel/ketrel_commands.h"

namespace ketrel::cli {
namespace {

struct SettingsOptions {
  bool Json = false;
  std::string File;
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

}  // namespace

void AddSettingsCommand(CLI::App& app, int& exitCode) {
  CLI::App* settings =
      app.add_subcommand("settings", "List the export settings, dump settings files");
  settings->require_subcommand(1);
  auto options = std::make_shared<SettingsOptions>();

  CLI::App* schema = settings->add_subcommand("schema", "List every export setting");
  schema->add_flag("--json", options->Json, "Write the listing as JSON");
  schema->callback([options, &exitCode] { exitCode = RunSettingsSchema(*options); });

  CLI::App* dump = settings->add_subcommand("dump", "Print the values of a settings file (.kes)");
  dump->add_option("FILE", options->File, "Settings file")->required();
  dump->callback([options, &exitCode] { exitCode = RunSettingsDump(*options); });
}

}  // namespace ketrel::cli
