#include "tools/ketrel/ketrel_commands.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <string_view>
#include <vector>

#include "export/host/host_scene.h"
#include "export/shared/ketrel_did_you_mean.h"
#include "tools/ketrel/cmd_export.h"
#include "tools/ketrel/cmd_import.h"

namespace ketrel::cli {

// Each command file defines its Add*Command; they are listed here so that
// adding a command is one declaration and one call.

bool OutputIsNoInput(const char* command, const std::string& output,
                     std::initializer_list<std::string> inputs) {
  for (const std::string& input : inputs) {
    if (input.empty()) continue;
    // The same file, or (for files not written yet) the same place.
    std::error_code error, first, second;
    const bool same = std::filesystem::equivalent(output, input, error) ||
                      (error &&
                       std::filesystem::weakly_canonical(output, first) ==
                           std::filesystem::weakly_canonical(input, second) &&
                       !first && !second);
    if (!same) continue;
    std::fprintf(stderr, "%s: %s is %s, which this command reads: writing it would destroy it\n",
                 command, output.c_str(), input.c_str());
    return false;
  }
  return true;
}

void PrintTakes(const host::Scene& scene) {
  std::vector<host::Take> takes = scene.Takes;
  // A scene without takes has its animation range as its one clip.
  if (takes.empty() && scene.AnimationEnd - scene.AnimationStart >= scene.TicksPerFrame())
    takes.push_back({scene.FileName, scene.AnimationStart, scene.AnimationEnd, 0});
  if (takes.empty()) {
    std::printf("%s has no takes\n", scene.FileName.c_str());
    return;
  }
  for (size_t i = 0; i < takes.size(); ++i) {
    const host::Take& take = takes[i];
    const int32_t perFrame = scene.TakeTicksPerFrame(take);
    const int64_t length = int64_t(take.End) - take.Start;
    std::printf("%zu \"%s\" %.3f s, %lld frames at %d fps\n", i, take.Name.c_str(),
                double(length) / host::kTicksPerSecond, static_cast<long long>(length / perFrame),
                host::kTicksPerSecond / perFrame);
  }
}

void AddCommands(CLI::App& app, int& exitCode) {
  AddExportCommand(app, exitCode);
  AddImportCommand(app, exitCode);
  AddSettingsCommand(app, exitCode);
  AddInfoCommand(app, exitCode);
  AddDumpCommand(app, exitCode);
  AddVerifyCommand(app, exitCode);
}

bool CommandNamesAreKnown(const CLI::App& app, int argc, const char* const* argv) {
  const CLI::App* at = &app;
  std::string said = "ketrel";
  bool named = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--help" || word == "-h" || word == "--version") return true;
    if (!word.empty() && word[0] == '-') continue;  // the program's own flags
    const std::vector<const CLI::App*> commands = at->get_subcommands({});
    if (commands.empty()) return true;  // the command's own arguments follow
    std::vector<std::string_view> names;
    const CLI::App* chosen = nullptr;
    for (const CLI::App* command : commands) {
      names.push_back(command->get_name());
      if (command->get_name() == word) chosen = command;
    }
    if (chosen == nullptr) {
      std::fprintf(stderr, "%s: unknown command %s%s\n", said.c_str(), word.c_str(),
                   DidYouMean(word, names).c_str());
      return false;
    }
    at = chosen;
    said += " " + word;
    named = true;
  }
  if (named && at->get_subcommands({}).empty()) return true;
  std::string list;
  for (const CLI::App* command : at->get_subcommands({}))
    list += (list.empty() ? "" : ", ") + command->get_name();
  std::fprintf(stderr, "%s: no command given (commands: %s; --help tells more)\n", said.c_str(),
               list.c_str());
  return false;
}

void AddImportFaultOption(CLI::App* command, int* fault) {
  const std::map<std::string, int> faults = {{"crash", 1}, {"hang", 2}};
  command->add_option("--test-import-fault", *fault)
      ->transform(CLI::CheckedTransformer(faults))
      ->group("");
}

bool& VerboseLogs() {
  static bool verbose = false;
  return verbose;
}

}  // namespace ketrel::cli
