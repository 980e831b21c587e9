#include "tools/ketrel/cmd_import.h"

#include <cstdio>
#include <filesystem>

#include "export/host/host_scene_document.h"
#include "export/host/host_scene_loader.h"
#include "tools/ketrel/ketrel_commands.h"

namespace ketrel::cli {
namespace {

// The document finds texture files from its own folder: each bitmap on
// disk is named relative to where the document goes (absolute when no
// relative path leads there).
void NameBitmapsFromDocument(host::Scene& scene, const std::string& output) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = fs::absolute(fs::path(output), error).parent_path();
  for (const auto& material : scene.Materials) {
    if (material->ResolvedFileName.empty() || !material->EmbeddedImage.empty()) continue;
    const fs::path file = fs::absolute(material->ResolvedFileName, error).lexically_normal();
    const fs::path relative = file.lexically_relative(folder);
    material->FileName = relative.empty() ? file.string() : relative.string();
  }
}

}  // namespace

int RunImport(const ImportOptions& options) {
  if (!options.ListTakes && !OutputIsNoInput("ketrel import", options.Output, {options.Scene}))
    return kExitUsage;
  host::Scene scene;
  std::string error;
  host::ImportOptions import;
  import.Takes = options.Takes;
  import.Fault = host::ImportFault(options.ImportFault);
  if (!host::LoadHostScene(options.Scene, scene, error, import)) {
    std::fprintf(stderr, "ketrel import: %s\n", error.c_str());
    return kExitFailed;
  }
  if (options.ListTakes) {
    PrintTakes(scene);
    return kExitOk;
  }
  NameBitmapsFromDocument(scene, options.Output);
  if (!host::SaveSceneDocument(scene, options.Output, &error)) {
    std::fprintf(stderr, "ketrel import: could not write %s: %s\n", options.Output.c_str(),
                 error.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

void AddImportCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ImportOptions>();
  CLI::App* command =
      app.add_subcommand("import", "Turn a real scene file into a host scene document");
  command->add_option("scene", options->Scene, "A scene file Assimp reads (glTF, FBX, ...)")
      ->required();
  command->add_option("output", options->Output, "The .kscene document to write");
  command
      ->add_option("--take", options->Takes,
                   "Import only this take, by name or index (repeatable); every take without it")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command->add_flag("--list-takes", options->ListTakes,
                    "List the file's takes (name, duration, frames) and stop");
  AddImportFaultOption(command, &options->ImportFault);
  command->callback([options, &exitCode, command] {
    if (!options->ListTakes && options->Output.empty()) {
      std::fprintf(stderr, "ketrel import: OUT.kscene is required\n%s", command->help().c_str());
      exitCode = kExitUsage;
      return;
    }
    exitCode = RunImport(*options);
  });
}

}  // namespace ketrel::cli
