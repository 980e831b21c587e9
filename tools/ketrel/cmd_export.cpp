#include "tools/ketrel/cmd_export.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "export/host/host_export.h"
#include "export/host/host_fidelity.h"
#include "export/host/host_progress.h"
#include "export/host/host_scene_document.h"
#include "export/host/host_scene_loader.h"
#include "export/ketrel_animation_sampling.h"
#include "export/ketrel_bone_tolerances.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_progress.h"
#include "export/ketrel_settings_read.h"
#include "rt/posix/posix_ketrel_file_writer.h"
#include "tools/ketrel/export_summary.h"
#include "tools/ketrel/ketrel_commands.h"

namespace ketrel::cli {
namespace {

// Applies each "Label=value" in order; false (said on stderr) at the first
// that does not apply, which changes nothing.
bool ApplyAssignments(SettingsItem* root, const std::vector<std::string>& assignments) {
  for (const std::string& assignment : assignments) {
    std::string message;
    if (!SetCategorySettingByLabel(root, assignment.c_str(), message)) {
      std::fprintf(stderr, "ketrel export: --set \"%s\": %s\n", assignment.c_str(),
                   message.c_str());
      return false;
    }
  }
  return true;
}

struct SettingsEdits {
  const ExportOptions* options;
  double errorMeters = 0;  // --animation-error; 0: not given
  int32_t keyOversampling = 1;
  float tighten = 1.0f;  // lowered when an export measured above the budget
  bool noted = false;    // the unit note is said once
  bool failed = false;
};

// Loads the settings file, applies each "Label=value" in order, then gives
// every animated bone its tolerances from --animation-error. That option
// also turns sampled key curves on and samples at the source's key rate,
// before the --set list so that either can be set otherwise.
bool EditSettings(SettingsItem* root, ToolInterface& tool, NodeGraph* graph, void* user) {
  auto* edits = static_cast<SettingsEdits*>(user);
  const ExportOptions& options = *edits->options;
  if (!options.SettingsFile.empty() && !LoadSettingsFile(root, options.SettingsFile.c_str())) {
    std::fprintf(stderr, "ketrel export: could not load settings file %s\n",
                 options.SettingsFile.c_str());
    edits->failed = true;
    return false;
  }
  std::vector<std::string> assignments;
  if (edits->errorMeters > 0) assignments = AnimationErrorAssignments(edits->keyOversampling);
  assignments.insert(assignments.end(), options.Set.begin(), options.Set.end());
  if (!ApplyAssignments(root, assignments)) {
    edits->failed = true;
    return false;
  }
  for (const std::string& edit : options.ClipSet) {
    const size_t colon = edit.find(':');
    std::string message = "expected \"Clip:Label=value\"";
    if (colon == std::string::npos || !SetClipSettingByLabel(root, edit.substr(0, colon).c_str(),
                                                             edit.c_str() + colon + 1, message)) {
      std::fprintf(stderr, "ketrel export: --clip-set \"%s\": %s\n", edit.c_str(), message.c_str());
      edits->failed = true;
      return false;
    }
  }
  if (edits->errorMeters > 0) {
    std::string note;
    const bool applied =
        ApplyAnimationError(root, tool, graph, edits->errorMeters, &note, edits->tighten);
    if (!note.empty() && !edits->noted)
      std::fprintf(stderr, "ketrel export: --animation-error: %s\n", note.c_str());
    edits->noted = true;
    if (!applied) {
      std::fprintf(stderr,
                   "ketrel export: --animation-error %s: the bones' tolerances could not be set\n",
                   options.AnimationError.c_str());
      edits->failed = true;
      return false;
    }
  }
  return true;
}

// Checks every --set against a default tree so that a typo is a usage error
// before anything is loaded or written.
bool CheckAssignments(const std::vector<std::string>& assignments) {
  if (assignments.empty()) return true;
  SettingsItem* root = CreateSettingsRoot();
  if (!root) return false;
  const bool ok = ApplyAssignments(root, assignments);
  DestroySettingsItem(root);
  return ok;
}

// An option's distance, when given: false (said on stderr) when it is not one.
bool ParseOptionalDistance(const char* option, const std::string& text, double* meters) {
  if (text.empty()) return true;
  std::string message;
  if (ParseDistance(text, meters, &message)) return true;
  std::fprintf(stderr, "ketrel export: %s: %s\n", option, message.c_str());
  return false;
}

// A distance with its unit, as ParseDistance takes it.
CLI::Validator DistanceValidator() {
  return CLI::Validator(
      [](std::string& text) {
        double meters = 0;
        std::string message;
        return ParseDistance(text, &meters, &message) ? std::string() : message;
      },
      "DISTANCE");
}

int64_t FileBytes(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : int64_t(size);
}

// The command without its summary: `report` collects the counts (its
// warnings are recorded by the caller); `ran` tells whether an export was
// attempted.
int ExportCommand(const ExportOptions& options, ExportReport& report, ExportOutcome& outcome,
                  bool& ran) {
  if (!options.Synthetic.empty() && !options.LocalSynthetic.empty()) {
    std::fprintf(stderr, "ketrel export: --synthetic and --local-synthetic exclude each other\n");
    return kExitUsage;
  }
  if (!CheckAssignments(options.Set)) return kExitUsage;
  if (!options.ListTakes && options.Output.empty()) {
    std::fprintf(stderr, "ketrel export: OUT.kt2 is required\n");
    return kExitUsage;
  }
  for (const std::string& edit : options.ClipSet) {
    const size_t colon = edit.find(':');
    if (colon == 0 || colon == std::string::npos || edit.find('=', colon) == std::string::npos) {
      std::fprintf(stderr, "ketrel export: --clip-set \"%s\": expected \"Clip:Label=value\"\n",
                   edit.c_str());
      return kExitUsage;
    }
  }
  for (const std::string& output : {options.Output, options.SaveScene}) {
    if (!output.empty() && !OutputIsNoInput("ketrel export", output,
                                            {options.Scene, options.Attach, options.SettingsFile}))
      return kExitUsage;
  }
  if (!options.SaveScene.empty() &&
      !OutputIsNoInput("ketrel export", options.SaveScene, {options.Output}))
    return kExitUsage;

  host::Scene scene;
  std::string error;
  std::error_code ignored;
  host::ImportOptions import;
  // A real file imports only the takes asked for; a document keeps all of
  // them (and their settings) and the walk leaves the others out.
  const bool document = host::IsSceneDocumentPath(options.Scene);
  if (!document) import.Takes = options.Takes;
  import.Fault = host::ImportFault(options.ImportFault);
  // The import is the export's first phase: a real file can take a while.
  host::TerminalProgress terminal;
  host::PrepareTerminalProgress(&terminal);
  if (!options.Silent && !options.ListTakes) {
    const std::string name = std::filesystem::path(options.Scene).filename().string();
    host::ShowTerminalStage(&terminal, ("Importing " + name).c_str());
  }
  if (!host::LoadHostScene(options.Scene, scene, error, import)) {
    std::fprintf(stderr, "ketrel export: %s\n", error.c_str());
    return kExitFailed;
  }
  if (options.ListTakes) {
    PrintTakes(scene);
    return kExitOk;
  }

  host::HostExportOptions exportOptions;
  exportOptions.FileName = options.Output;
  exportOptions.Request.AttachFileName = options.Attach.c_str();
  if (!options.Selected.empty()) {
    scene.ClearSelection();
    for (const std::string& name : options.Selected) {
      host::Node* node = scene.FindNode(name);
      if (!node) {
        std::fprintf(stderr, "ketrel export: --selected %s: no node of that name in %s\n",
                     name.c_str(), options.Scene.c_str());
        return kExitUsage;
      }
      node->Selected = true;
    }
    exportOptions.Walk.SelectedOnly = true;
  }
  exportOptions.Walk.SyntheticRootName =
      !options.Synthetic.empty() ? options.Synthetic : options.LocalSynthetic;
  exportOptions.Walk.LocalSyntheticRoot = !options.LocalSynthetic.empty();
  if (document && !options.Takes.empty() &&
      !host::ResolveTakes(scene, options.Takes, exportOptions.Walk.Takes, error)) {
    std::fprintf(stderr, "ketrel export: --take: %s\n", error.c_str());
    return kExitUsage;
  }
  exportOptions.Request.ShowProgress = !options.Silent;
  exportOptions.Request.AtomicWrite = options.Atomic;
  exportOptions.Request.FitWorkers = options.Threads;
  exportOptions.Request.Report = &report;
  // --strict --atomic: the file is made beside the target and replaces it
  // only when no warning was raised, as --max-error keeps the old file.
  const bool keepOld = options.Strict && options.Atomic;
  if (keepOld) exportOptions.FileName = host::TrialFileName(options.Output, "strict");

  terminal.cancelAtStage = options.CancelAtStage;
  terminal.showSource = VerboseLogs();
  exportOptions.Request.Display = host::TerminalProgressDisplay();
  exportOptions.Request.DisplayUser = &terminal;

  SettingsEdits edits{&options};
  // The validators took these already when the command line was parsed;
  // RunExport may also be called with options of a caller's own.
  double maxMeters = 0;
  if (!ParseOptionalDistance("--animation-error", options.AnimationError, &edits.errorMeters) ||
      !ParseOptionalDistance("--max-error", options.MaxError, &maxMeters)) {
    return kExitUsage;
  }
  if (edits.errorMeters > 0)
    edits.keyOversampling = host::KeyRateOversampling(scene, kMaxOversampling);
  if (!options.SettingsFile.empty() || !options.Set.empty() || !options.ClipSet.empty() ||
      edits.errorMeters > 0) {
    exportOptions.Request.EditSettings = EditSettings;
    exportOptions.Request.EditSettingsUser = &edits;
  }

  // With an error budget the file is measured against the scene before it
  // replaces the target: --animation-error exports again tighter while it is
  // above, --max-error only checks.
  bool ok = true;
  if (edits.errorMeters > 0 || maxMeters > 0) {
    host::BudgetedExport budget;
    float fixed = 1.0f;
    const bool tighten = edits.errorMeters > 0;
    double meters = tighten ? edits.errorMeters : maxMeters;
    if (maxMeters > 0 && maxMeters < meters) meters = maxMeters;
    budget.BudgetCm = meters * 100.0;
    budget.Tighten = tighten ? &edits.tighten : &fixed;
    if (!tighten) budget.Attempts = 1;
    std::string why;
    ok = host::ExportWithinBudget(scene, exportOptions, budget, why);
    if (!ok && !edits.failed) {
      std::fprintf(
          stderr, "ketrel export: %s %s: %s\n", tighten ? "--animation-error" : "--max-error",
          tighten ? options.AnimationError.c_str() : options.MaxError.c_str(), why.c_str());
    }
  } else {
    ok = host::ExportHostScene(scene, exportOptions);
  }
  ran = true;
  if (!ok) {
    if (keepOld) std::filesystem::remove(exportOptions.FileName, ignored);
    // A cancelled export is not a failure to report: main says it stopped.
    if (CancelRequested() == 0) {
      std::fprintf(stderr, "ketrel export: export of %s to %s failed\n", options.Scene.c_str(),
                   options.Output.c_str());
    }
    return kExitFailed;
  }
  outcome.Bytes = FileBytes(exportOptions.FileName);
  if (options.Strict && !report.Warnings.empty()) {
    if (keepOld) {
      std::filesystem::remove(exportOptions.FileName, ignored);
      outcome.Refused = true;
    } else {
      outcome.Written = true;
    }
    std::fprintf(stderr, "ketrel export: --strict: %zu warning%s raised%s\n",
                 report.Warnings.size(), report.Warnings.size() == 1 ? "" : "s",
                 keepOld ? "; the target was left as it was" : "");
    return kExitFailed;
  }
  if (keepOld && !ReplaceFileWith(options.Output.c_str(), exportOptions.FileName.c_str())) {
    std::filesystem::remove(exportOptions.FileName, ignored);
    std::fprintf(stderr, "ketrel export: could not move the file onto %s\n",
                 options.Output.c_str());
    return kExitFailed;
  }
  outcome.Written = true;
  // The settings that --settings and --set stored go with the scene, so that
  // the next export of the saved document uses them without options.
  if (!options.SaveScene.empty()) {
    std::string saveError;
    if (!host::SaveSceneDocument(scene, options.SaveScene, &saveError)) {
      std::fprintf(stderr, "ketrel export: could not save the scene to %s: %s\n",
                   options.SaveScene.c_str(), saveError.c_str());
      return kExitFailed;
    }
  }
  return kExitOk;
}

}  // namespace

int RunExport(const ExportOptions& options) {
  const auto start = std::chrono::steady_clock::now();
  // Every warning from the scene's loading to the file in place counts.
  ExportReport report;
  BeginWarningRecord(&report);
  ExportOutcome outcome;
  outcome.Output = options.Output;
  outcome.Report = &report;
  bool ran = false;
  const int code = ExportCommand(options, report, outcome, ran);
  EndWarningRecord(&report);
  outcome.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (ran && options.Json) {
    std::printf("%s\n", FormatExportJson(outcome).c_str());
    std::fflush(stdout);
  } else if (ran && (outcome.Written || outcome.Refused)) {
    std::fprintf(stderr, "%s\n", FormatExportSummary(outcome).c_str());
  }
  return code;
}

void AddExportCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ExportOptions>();
  CLI::App* command = app.add_subcommand("export", "Export a scene to a KT2 file");
  command->add_option("scene", options->Scene, "The scene: a .kscene or any file Assimp reads")
      ->required();
  command->add_option("output", options->Output, "The KT2 file to write (not with --list-takes)");
  command
      ->add_option("--selected", options->Selected,
                   "Export only this node (repeatable), with its ancestors and skin bones")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command->add_flag("--silent", options->Silent, "No progress output");
  command->add_flag("--atomic", options->Atomic,
                    "Build the file in memory and replace the target in one step");
  command->add_option("--attach", options->Attach,
                      "Store this file's contents in the file's extended data");
  command->add_option("--synthetic", options->Synthetic, "The synthetic root bone");
  command->add_option("--local-synthetic", options->LocalSynthetic,
                      "A synthetic root bone for the bones assigned to it");
  command->add_option("--settings", options->SettingsFile,
                      "Load this settings file (.kes) into the scene's settings first");
  command
      ->add_option("--set", options->Set,
                   "\"Label=value\": set a root-category setting (repeatable)")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command
      ->add_option("--max-error", options->MaxError,
                   "Measure the file against the scene before it replaces the target (as "
                   "ketrel verify does) and fail, keeping the old file, when a point of the "
                   "skin strays further than DISTANCE (with its unit: 0.5cm, 2mm)")
      ->check(DistanceValidator());
  command
      ->add_option("--animation-error", options->AnimationError,
                   "Give every animated bone its own curve tolerances so that a point of the "
                   "skin stays within DISTANCE (with its unit: 0.01cm, 0.1mm, 0.0001m) of the "
                   "source, each bone by its reach; sample at the source's key rate and let "
                   "tracks keep sampled keys where they are smaller (stored in the scene like "
                   "--set)")
      ->check(DistanceValidator());
  command
      ->add_option("--threads", options->Threads,
                   "Curve-fitting threads, 1 to 8 (default: one per processor, at most 8); "
                   "the file is the same for any count")
      ->check(CLI::Range(1, 8));
  AddImportFaultOption(command, &options->ImportFault);
  command->add_option("--test-cancel-at", options->CancelAtStage)->group("");
  command
      ->add_option("--take", options->Takes,
                   "Export only this take (clip), by name or index (repeatable); every take "
                   "without it")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command
      ->add_option("--clip-set", options->ClipSet,
                   "\"Clip:Label=value\": set an animation setting of one clip, its track "
                   "groups or their bones (repeatable; after --set)")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command->add_flag("--list-takes", options->ListTakes,
                    "List the scene's takes (name, duration, frames) and stop");
  command->add_flag("--json", options->Json,
                    "Instead of the summary line, print one JSON object on stdout: the output, "
                    "its bytes and time, counts per kind of object, each animation's name, "
                    "duration and curve bytes, and every warning with code, object and message");
  command->add_flag("--strict", options->Strict,
                    "Exit 1 when any warning was raised; with --atomic the target is then left "
                    "as it was");
  command->add_option("--save-scene", options->SaveScene,
                      "After the export, write the scene with its stored settings to this "
                      "scene document (.kscene)");
  command->callback([options, &exitCode] { exitCode = RunExport(*options); });
}

}  // namespace ketrel::cli
